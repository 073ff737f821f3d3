// anemobus-web's side of a broker, without one: topics as stations, the
// times a sender stamps, readings that come late or twice in the live
// figures and in the log, and the command line.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "broker_feed.h"
#include "broker_reading.h"
#include "intake.h"
#include "live_state.h"
#include "log_writer.h"
#include "reading_store.h"
#include "succeeded.h"
#include "synthetic_weather.h"
#include "test_support.h"
#include "web_options.h"
#include "web_rig.h"

namespace {

using namespace std::chrono_literals;
using namespace web;

constexpr std::int64_t t0 = 1'796'083'200'000;  // 2026-12-01T00:00Z

StationReading stamped(const std::string& id, std::int64_t t_ms, double wind = 5) {
    Reading r = web_test::synthetic_reading(t_ms, (t_ms - t0) / 1000);
    r.wind = wind;
    return {*StationId::from(id), r, true};
}

std::string payload(const std::string& time, double wind = 4.5) {
    return R"({"time":")" + time + R"(","pressure_pa":101325,"temperature_c":15,"wind_m_s":)" +
           std::to_string(wind) + R"(,"direction_deg":90})";
}

TEST(WebBroker, TopicsBecomeStationsNamedSiteSlashId) {
    EXPECT_EQ(station_of_topic("anemobus/north/1/weather")->view(), "north/1");
    EXPECT_EQ(station_of_topic("anemobus/field-a.example.org/17/weather")->view(),
              "field-a.example.org/17");
    const std::string longest = "anemobus/" + std::string(31, 's') + "/" + std::string(32, 'i');
    EXPECT_EQ(station_of_topic(longest + "/weather")->view().size(), max_id_length);
    // The topic's shape is the bridge's parser's; these are the station id's.
    for (const std::string& no :
         {std::string("anemobus//1/weather"), std::string("anemobus/Z\xc3\xbcrich/1/weather"),
          std::string("anemobus/field a/1/weather"),
          "anemobus/" + std::string(32, 's') + "/" + std::string(32, 'i') + "/weather"})
        EXPECT_FALSE(station_of_topic(no)) << no;
}

TEST(WebBroker, TimesAheadOfOurClockOrOlderThanTheLogAreRefused) {
    const std::int64_t day = 86'400'000;
    EXPECT_EQ(check_reading_time(t0 + max_clock_skew_ms, t0, 30), Refusal::none);
    EXPECT_EQ(check_reading_time(t0 + max_clock_skew_ms + 1, t0, 30), Refusal::ahead_of_clock);
    EXPECT_EQ(check_reading_time(t0 - 30 * day, t0, 30), Refusal::none);
    EXPECT_EQ(check_reading_time(t0 - 30 * day - 1, t0, 30), Refusal::too_old);
    EXPECT_EQ(check_reading_time(t0 - 2 * day, t0, 1), Refusal::too_old);

    const std::optional<StationId> all;
    const std::string topic = "anemobus/north/1/weather";
    auto m = check_broker_message(topic, payload("2026-12-01T00:00:00.000Z"), all, t0 + 1000, 30);
    ASSERT_EQ(m.refusal, Refusal::none) << m.detail;
    EXPECT_EQ(m.reading.id.view(), "north/1");
    EXPECT_EQ(m.reading.reading.received_ms, t0);
    EXPECT_EQ(m.reading.reading.wind, 4.5);
    EXPECT_TRUE(m.reading.stamped);
    m = check_broker_message(topic, payload("2026-12-01T00:00:12.000Z"), all, t0, 30);
    EXPECT_EQ(m.refusal, Refusal::ahead_of_clock);
    EXPECT_EQ(m.detail, "by 12.0 s: is the sender's clock set?");
    m = check_broker_message(topic, payload("2026-10-01T00:00:00.000Z"), all, t0, 30);
    EXPECT_EQ(m.refusal, Refusal::too_old);
    EXPECT_EQ(m.detail, "from 2026-10-01T00:00:00.000Z");
    m = check_broker_message(topic, payload("2026-12-01T01:00:00+01:00"), all, t0, 30);
    EXPECT_EQ(m.refusal, Refusal::bad_payload);
    EXPECT_NE(m.detail.find("time is not a UTC time"), std::string::npos) << m.detail;
    m = check_broker_message(topic, payload("2026-12-01T00:00:00.000Z", 151), all, t0, 30);
    EXPECT_EQ(m.refusal, Refusal::out_of_bounds);
    m = check_broker_message("anemobus/north/1/latest", payload("x"), all, t0, 30);
    EXPECT_EQ(m.refusal, Refusal::not_a_station_name);
    m = check_broker_message(topic, payload("2026-12-01T00:00:00.000Z"), StationId::from("south/1"),
                             t0, 30);
    EXPECT_EQ(m.refusal, Refusal::other_aircraft);
}

// Late readings take their place in the windows, behind the newest; a time
// the windows hold is a duplicate; a full ring keeps its newest items.
TEST(WebBroker, LateReadingsJoinTheWindowsAndDuplicatesAreKnown) {
    TimedRing ring(4);
    for (std::int64_t t : {10, 30, 40}) ring.push(t, static_cast<double>(t));
    ring.insert(20, 20);
    ring.insert(5, 5);  // full, and older than every item: not kept
    ring.insert(35, 35);
    ASSERT_EQ(ring.size(), 4u);
    const std::int64_t kept[] = {20, 30, 35, 40};
    for (std::size_t i = 0; i < 4; ++i) EXPECT_EQ(ring.time(i), kept[i]);
    EXPECT_TRUE(ring.holds(35, 35));
    EXPECT_FALSE(ring.holds(35, 36));
    EXPECT_FALSE(ring.holds(10, 10));

    StationStats stats(*StationId::from("north/1"));
    for (std::int64_t s = 0; s < 60; s += 2)
        stats.add(stamped("north/1", t0 + s * 1000, 2).reading);
    const Reading newest = stats.last();
    stats.add_late(stamped("north/1", t0 + 31'000, 62).reading);
    EXPECT_EQ(stats.last().received_ms, newest.received_ms);
    EXPECT_DOUBLE_EQ(stats.gust_10min(), 62);
    EXPECT_DOUBLE_EQ(stats.wind_mean_2min(), (30 * 2 + 62) / 31.0);
    EXPECT_DOUBLE_EQ(stats.period_s(), 2);
    EXPECT_TRUE(stats.holds(stamped("north/1", t0 + 31'000, 62).reading));
    EXPECT_TRUE(stats.holds(newest));
    EXPECT_FALSE(stats.holds(stamped("north/1", t0 + 33'000, 2).reading));
    // Another reading stamped in the same millisecond is no duplicate, even
    // with the same wind: every value counts.
    EXPECT_FALSE(stats.holds(stamped("north/1", t0 + 31'000, 61).reading));
    StationReading other_pressure = stamped("north/1", t0 + 31'000, 62);
    other_pressure.reading.pressure += 1;
    EXPECT_FALSE(stats.holds(other_pressure.reading));
    stats.add_late(stamped("north/1", t0 - 700'000, 99).reading);  // beyond the gust's window
    EXPECT_DOUBLE_EQ(stats.gust_10min(), 62);
}

// Neither a late reading nor a duplicate moves a station's "now", nor makes
// a silent station look live; a duplicate is not counted twice.
TEST(WebBroker, TheLiveStateKeepsTheNewestAndDropsDuplicates) {
    LiveState live(std::nullopt);
    for (std::int64_t s = 0; s < 10; ++s) {
        const auto taken = live.add_stamped(stamped("north/1", t0 + s * 1000, 3));
        ASSERT_EQ(taken.outcome, LiveState::Outcome::added);
        EXPECT_EQ(taken.seq, static_cast<std::uint64_t>(s + 1));
    }
    EXPECT_EQ(live.add_stamped(stamped("north/1", t0 + 4000, 3)).outcome,
              LiveState::Outcome::duplicate);
    EXPECT_EQ(live.add_stamped(stamped("north/1", t0 + 4500, 13)).outcome,
              LiveState::Outcome::added);
    // Same millisecond and wind, another pressure: a reading of its own.
    StationReading same_ms = stamped("north/1", t0 + 4000, 3);
    same_ms.reading.pressure += 1;
    EXPECT_TRUE(same_reading(same_ms, same_ms));
    EXPECT_FALSE(same_reading(same_ms, stamped("north/1", t0 + 4000, 3)));
    EXPECT_EQ(live.add_stamped(same_ms).outcome, LiveState::Outcome::added);
    EXPECT_EQ(live.add_stamped(same_ms).outcome, LiveState::Outcome::duplicate);
    const PageStatus status = live.status(t0 + 60'000);
    ASSERT_EQ(status.stations.size(), 1u);
    EXPECT_EQ(status.stations[0].last.received_ms, t0 + 9000);
    EXPECT_DOUBLE_EQ(status.stations[0].gust_10min, 13);
    EXPECT_TRUE(status.stations[0].silent);
    // From memory (no log): in time order, each once.
    std::vector<std::int64_t> times;
    live.visit_recent(std::nullopt, t0, t0 + 10'000,
                      [&](const StationId&, const Reading& r) { times.push_back(r.received_ms); });
    ASSERT_EQ(times.size(), 12u);
    EXPECT_TRUE(std::is_sorted(times.begin(), times.end()));
    EXPECT_EQ(times[5], t0 + 4000);
    EXPECT_EQ(times[6], t0 + 4500);
    live.set_broker({.url = "mqtt://b:1883", .connected = true});
    EXPECT_EQ(live.status(t0).broker->duplicates, 2u);
}

// What the log holds for a reading that came twice, or late: once, in its
// place, and the minutes' sums count it once.
TEST(WebBroker, TheLogKeepsAStampedReadingOnceAndItsMinuteRight) {
    web_test::TempDir dir;
    auto store = test_support::taken(ReadingStore::open(dir.path() + "/readings.db"));
    ASSERT_TRUE(store);
    std::vector<StationReading> first, again;
    for (std::int64_t s = 0; s < 120; s += 2) first.push_back(stamped("north/1", t0 + s * 1000, 2));
    for (std::int64_t s = 1; s < 120; s += 2) again.push_back(stamped("north/1", t0 + s * 1000, 4));
    again.insert(again.begin() + 10, first.begin(), first.begin() + 20);  // twice, mixed in
    again.push_back(again.back());                                        // twice in one batch
    std::uint64_t duplicates = 0;
    ASSERT_TRUE(test_support::succeeded(store->insert(first, &duplicates)));
    ASSERT_TRUE(test_support::succeeded(store->insert(again, &duplicates)));
    EXPECT_EQ(duplicates, 21u);
    // Bus readings are ours, stamped once each: two at the same time both
    // stay; so do two a bridge stamped in one millisecond.
    StationReading bus = stamped("1", t0, 1);
    bus.stamped = false;
    ASSERT_TRUE(test_support::succeeded(store->insert(
        {bus, bus, stamped("north/2", t0, 1), stamped("north/2", t0, 2)}, &duplicates)));
    EXPECT_EQ(duplicates, 21u);

    std::vector<std::int64_t> times;
    ASSERT_TRUE(test_support::succeeded(store->read_range(
        StationId::from("north/1"), t0, t0 + 120'000,
        [&](const StationId&, const Reading& r) { times.push_back(r.received_ms); })));
    ASSERT_EQ(times.size(), 120u);
    for (std::size_t i = 0; i < times.size(); ++i)
        EXPECT_EQ(times[i], t0 + static_cast<std::int64_t>(i) * 1000);
    std::vector<Sums> minutes;
    ASSERT_TRUE(
        test_support::succeeded(store->read_minutes(*StationId::from("north/1"), t0, t0 + 120'000,
                                                    [&](const Sums& s) { minutes.push_back(s); })));
    std::size_t counted = 0;
    double wind = 0;
    for (const Sums& m : minutes) counted += m.count, wind += m.wind_sum;
    EXPECT_EQ(counted, 120u);
    EXPECT_DOUBLE_EQ(wind, 60 * 2 + 60 * 4);
    for (const char* id : {"1", "north/2"}) {
        int rows = 0;
        EXPECT_TRUE(test_support::succeeded(store->read_range(
            StationId::from(id), t0, t0, [&](const StationId&, const Reading&) { ++rows; })));
        EXPECT_EQ(rows, 2) << id;
    }
}

// The intake, shared by the bus and the broker: a bus id that poses as a
// station from the broker, and a reading older than an hour that is
// history only.
TEST(WebBroker, TheIntakeRefusesSlashedBusIdsAndSendsOldReadingsToTheLogOnly) {
    web_test::TempDir dir;
    auto store = test_support::taken(ReadingStore::open(dir.path() + "/readings.db"));
    ASSERT_TRUE(store);
    LiveState live(std::nullopt);
    LogWriter writer(store.get(), "", {.flush_interval = 10ms, .quiet = true});
    std::vector<std::string> lines;
    Intake intake(live, writer, {.with_broker = true},
                  [&](const std::string& line) { lines.push_back(line); });
    const char* fields[] = {"north/1", " 101325 15 3 90"};
    intake.take_bus("peer", 2, fields, t0);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("would pose as a station from the broker"), std::string::npos);
    fields[0] = "1";
    intake.take_bus("peer", 2, fields, t0);
    intake.take_stamped("anemobus/north/1/weather", "{}", stamped("north/1", t0 - 7'200'000), t0);
    intake.take_stamped("anemobus/north/1/weather", "{}", stamped("north/1", t0 - 1000), t0);
    intake.take_stamped("anemobus/north/1/weather", "{}", stamped("north/1", t0 - 1000), t0);
    intake.refuse("anemobus/x/1/weather", "{nope", Refusal::bad_payload, "not JSON", t0);
    ASSERT_TRUE(test_support::wait_until([&] { return writer.state().written == 3; }, 5000ms));
    EXPECT_EQ(writer.finish(), 0u);
    const PageStatus status = live.status(t0);
    EXPECT_EQ(status.refused, 2u);
    ASSERT_EQ(status.stations.size(), 2u);
    EXPECT_EQ(status.stations[1].last.received_ms, t0 - 1000);
}

Options parse(std::vector<const char*> args, std::string* error) {
    args.insert(args.begin(), "anemobus-web");
    const auto r = parse_options(static_cast<int>(args.size()), const_cast<char**>(args.data()));
    *error = r.error;
    return r.options;
}

TEST(WebBroker, TheBrokersOptionsAreTheBridges) {
    std::string error;
    const Options o = parse({"--broker", "mqtts://ops", "-i", "north/1"}, &error);
    ASSERT_EQ(error, "");
    EXPECT_EQ(o.only_id->view(), "north/1");  // a station from the broker, as SITE/ID
    const std::pair<std::vector<const char*>, const char*> bad[] = {
        {{"--broker", "http://b"}, "mqtt://host[:port]"},
        {{"--broker", "mqtt://b", "--password", "x"}, "never taken on the command line"},
        {{"--broker", "mqtt://b", "--cafile", "/ca"}, "give the broker as mqtts://"},
        {{"--user", "ops"}, "go with --broker URL"},
        {{"--broker", "mqtt://b", "-i", "1"}, "give it as SITE/ID"},
        {{"--broker", "mqtt://b", "--mqtt-version", "3"}, "3.1.1 or 5"},
        {{"--broker", "mqtt://b", "--sites", "north,a/b"}, "--sites needs site names"},
        {{"--sites", "north"}, "--sites goes with --broker URL"},
        {{"--broker", "mqtt://b", "--session-expiry", "0"}, "--session-expiry needs"},
        // The password in clear across a network: refused unless meant.
        {{"--broker", "mqtt://10.0.0.5", "--user", "u", "--password-file", "/p"},
         "--allow-cleartext-password"},
        {{"--broker", "mqtt://127.0.0.2:8883", "--user", "u", "--password-file", "/p",
          "--mqtt-version", "5", "--user", "u", "--broker", "mqtt://broker.example.org"},
         "in clear text to mqtt://broker.example.org:1883"},
    };
    for (const auto& [args, reason] : bad) {
        parse(args, &error);
        EXPECT_NE(error.find(reason), std::string::npos) << reason << ": " << error;
    }
    const std::vector<const char*> fine[] = {
        {"--broker", "mqtt://127.0.0.2", "--user", "u", "--password-file", "/p"},
        {"--broker", "mqtt://[::1]", "--user", "u", "--password-file", "/p"},
        {"--broker", "mqtt://localhost", "--user", "u", "--password-file", "/p"},
        {"--broker", "mqtt://b", "--user", "u", "--password-file", "/p",
         "--allow-cleartext-password"},
        {"--broker", "mqtts://b", "--user", "u", "--password-file", "/p"},
    };
    for (const auto& args : fine) {
        parse(args, &error);
        EXPECT_EQ(error, "") << args[1];
    }
    const Options v311 = parse({"--broker", "mqtt://b", "--mqtt-version", "3.1.1", "--sites",
                                "north,south,north", "--session-expiry", "60"},
                               &error);
    EXPECT_EQ(v311.broker.protocol, mqtt::Protocol::v311);
    EXPECT_EQ(v311.sites, (std::vector<std::string>{"north", "south"}));
    EXPECT_EQ(v311.session_expiry_s, 60u);
    const Options defaults = parse({"--broker", "mqtt://b"}, &error);
    EXPECT_EQ(defaults.broker.protocol, mqtt::Protocol::v5);
    EXPECT_EQ(defaults.session_expiry_s, 86400u);
}

// The feed subscribes to the listed sites only, and a refused subscription
// is said, on the page too, with the broker's reason.
TEST(WebBroker, TheFeedNamesARefusedSubscriptionAndKeepsToItsSites) {
    web_test::TempDir dir;
    auto store = test_support::taken(ReadingStore::open(dir.path() + "/readings.db"));
    ASSERT_TRUE(store);
    LiveState live(std::nullopt);
    LogWriter writer(store.get(), "", {.flush_interval = 10ms, .quiet = true});
    std::vector<std::string> lines;
    const auto print = [&](const std::string& line) { lines.push_back(line); };
    Intake intake(live, writer, {.with_broker = true}, print);
    BrokerFeed feed(
        intake, live,
        {.url = "mqtt://b:1883", .only_id = {}, .keep_days = 30, .sites = {"north", "south"}},
        print, [] { return t0; });
    EXPECT_EQ(feed.filters(),
              (std::vector<std::string>{"anemobus/north/+/weather", "anemobus/south/+/weather"}));
    feed.on_subscribed(1);
    EXPECT_TRUE(lines.empty());
    feed.on_subscribed(0x87);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_NE(lines[0].find("refused the subscription to anemobus/north/+/weather "
                            "anemobus/south/+/weather: 0x87 (Not authorized)"),
              std::string::npos)
        << lines[0];
    EXPECT_FALSE(live.status(t0).broker->connected);
    EXPECT_NE(live.status(t0).broker->state.find("0x87"), std::string::npos);
    feed.on_message("anemobus/east/1/weather", payload("2026-11-30T23:59:59.000Z"), false);
    feed.on_message("anemobus/north/1/weather", payload("2026-11-30T23:59:59.000Z"), false);
    const PageStatus status = live.status(t0);
    ASSERT_EQ(status.stations.size(), 1u);
    EXPECT_EQ(status.stations[0].id.view(), "north/1");
    EXPECT_EQ(writer.finish(), 0u);
}

}  // namespace
