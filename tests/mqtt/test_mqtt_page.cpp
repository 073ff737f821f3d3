// anemobus-web --broker against Debian's mosquitto started by the test: two
// field sites on two buses, each with its bridge, reach one page; readings
// published late, twice or from the future land once, in their place, or
// not at all; what the page misses while it is away comes when it is back;
// a wrong password or CA is named.
#include <signal.h>

#include <regex>
#include <sstream>

#include <gtest/gtest.h>

#include "field_rig.h"
#include "payload.h"
#include "reading_text.h"
#include "wall_clock.h"
#include "web_rig.h"

namespace {

using namespace std::chrono_literals;
using mqtt_test::Field;
using mqtt_test::TestBroker;
using mqtt_test::Values;
using test_support::Child;
using web_test::WebRig;

using tools::now_ms;

struct Row {
    std::int64_t ms;
    Values values;
};

// The last hours, where the tests' readings are.
std::string recent_span() {
    return "from=" + std::to_string(now_ms() - 3 * 3600 * 1000);
}

// One station's rows in the page's CSV, in the order given.
std::vector<Row> csv_rows(WebRig& page, const std::string& id) {
    std::vector<Row> rows;
    std::istringstream lines(page.get("/api/readings.csv?" + recent_span() + "&id=" + id));
    std::string line;
    std::getline(lines, line);  // the status and the header
    while (std::getline(lines, line)) {
        for (char& c : line)
            if (c == ',') c = ' ';
        std::istringstream fields(line);
        std::string time, station;
        Row row{};
        fields >> time >> station >> row.values[0] >> row.values[1] >> row.values[2] >>
            row.values[3];
        row.ms = readings::parse_time_ms(time).value_or(-1);
        rows.push_back(row);
    }
    return rows;
}

TEST(MqttPage, TwoSitesOnTwoBusesReachOnePageThroughTheBroker) {
    TestBroker broker;
    ASSERT_TRUE(broker.start()) << broker.describe();
    const auto& ca = mqtt_test::certificates().ca;
    WebRig page(
        broker.dir() + "/ops.db",
        broker.with_login(mqtt_test::reader_user, {"--broker", broker.tls_url(), "--cafile", ca}));
    ASSERT_TRUE(page.web().wait_err("connected to mqtts://", 10000ms)) << page.web().describe();

    // North: the simulator and the relay, its bridge over TLS. South: readings
    // typed on its bus, its bridge on the plain listener.
    Field north(
        broker, "north",
        broker.with_login(mqtt_test::bridge_user, {"--broker", broker.tls_url(), "--cafile", ca}));
    Field south(broker, "south",
                broker.with_login(mqtt_test::bridge_user, {"--broker", broker.url()}));
    ASSERT_TRUE(north.start_relay()) << north.describe();
    ASSERT_TRUE(
        test_support::wait_until([&] { return csv_rows(page, "north/1").size() >= 3; }, 20000ms))
        << north.describe() << page.web().describe();
    ASSERT_TRUE(south.monitor().wait_err("anemobus-mqtt connected", 10000ms)) << south.describe();
    const std::vector<Values> typed = {
        {99000, -5.5, 12.25, 270}, {99010, -5.25, 13, 275}, {99020, -5, 11.5, 280}};
    for (const Values& v : typed) {
        std::ostringstream line;
        line << "1 WEATHER " << v[0] << ' ' << v[1] << ' ' << v[2] << ' ' << v[3] << '\n';
        south.monitor().write_stdin(line.str());
    }
    ASSERT_TRUE(
        test_support::wait_until([&] { return csv_rows(page, "south/1").size() >= 3; }, 15000ms))
        << south.describe() << page.web().describe() << page.get("/api/latest");

    // South's readings as typed, in order; north's each one the relay sent.
    const auto south_rows = csv_rows(page, "south/1");
    ASSERT_EQ(south_rows.size(), typed.size());
    for (std::size_t i = 0; i < typed.size(); ++i) EXPECT_EQ(south_rows[i].values, typed[i]);
    const auto north_rows = csv_rows(page, "north/1");
    const auto published = north.relay_readings();
    for (std::size_t i = 0; i < north_rows.size(); ++i) {
        EXPECT_NE(std::find(published.begin(), published.end(), north_rows[i].values),
                  published.end())
            << "row " << i;
        EXPECT_TRUE(i == 0 || north_rows[i].ms > north_rows[i - 1].ms) << "row " << i;
    }
    // Both in the selector, each with its figures and its chart.
    const std::string latest = page.get("/api/latest");
    EXPECT_NE(latest.find("{\"id\":\"north/1\""), std::string::npos) << latest;
    EXPECT_NE(latest.find("{\"id\":\"south/1\""), std::string::npos) << latest;
    EXPECT_NE(latest.find("\"broker\":{\"url\":\"" + broker.tls_url() + "\",\"connected\":true"),
              std::string::npos)
        << latest;
    for (const char* id : {"north/1", "south/1"}) {
        const std::string chart = page.get("/api/readings?" + recent_span() + "&id=" + id);
        EXPECT_NE(chart.find("\"points\":[["), std::string::npos) << chart;
    }
}

// mosquitto_pub publishing the lines given, one message each.
void publish(const TestBroker& broker, const std::string& topic, const std::string& lines) {
    Child pub("/usr/bin/mosquitto_pub",
              {"-h", "127.0.0.1", "-p", std::to_string(broker.port()), "-u", "bridge", "-P",
               mqtt_test::bridge_user.password, "-q", "1", "-t", topic, "-l"});
    pub.write_stdin(lines);
    pub.close_stdin();
    EXPECT_EQ(pub.wait_exit(10000ms), 0) << pub.describe();
}

std::string payload_line(std::int64_t ms, double wind) {
    std::string line;
    mqtt::append_weather_payload(line, {ms, 101325, 15, wind, 90});
    return line + "\n";
}

TEST(MqttPage, ReplayedOrDoubledReadingsLandOnceInTheirPlaceAndNothingIsMissedWhileAway) {
    TestBroker broker;
    ASSERT_TRUE(broker.start()) << broker.describe();
    const std::vector<std::string> args =
        broker.with_login(mqtt_test::reader_user, {"--broker", broker.url()});
    const std::string db = broker.dir() + "/ops.db";
    auto page = std::make_unique<WebRig>(db, args);
    ASSERT_TRUE(page->web().wait_err("connected to mqtt://", 10000ms)) << page->web().describe();

    // Reading i at start + i s, wind i / 10: the second half first, then
    // the first half late, some twice, one from a clock a minute ahead.
    const std::int64_t start = now_ms() - 120'000;
    const auto reading = [&](int i) { return payload_line(start + i * 1000, i / 10.0); };
    std::string lines;
    for (int i = 30; i < 60; ++i) lines += reading(i);
    for (int i = 0; i < 30; ++i) lines += reading(i);
    for (int i : {45, 10, 59}) lines += reading(i);
    lines += payload_line(now_ms() + 60'000, 1) + "{\"time\":1}\n";
    publish(broker, "anemobus/north/1/weather", lines);
    ASSERT_TRUE(test_support::wait_until(
        [&] { return page->get("/api/latest").find("\"refused\":2") != std::string::npos; },
        10000ms))
        << page->web().describe();
    EXPECT_NE(page->web().err().find("ahead of this machine's clock"), std::string::npos);

    // Published while the page is away: the broker keeps them for its session.
    page->web().signal(SIGTERM);
    ASSERT_EQ(page->web().wait_exit(10000ms), 0) << page->web().describe();
    lines.clear();
    for (int i = 60; i < 65; ++i) lines += reading(i);
    publish(broker, "anemobus/north/1/weather", lines + reading(59));
    page->start_web(db);
    ASSERT_TRUE(
        test_support::wait_until([&] { return csv_rows(*page, "north/1").size() >= 65; }, 15000ms))
        << page->web().describe();

    const auto rows = csv_rows(*page, "north/1");
    ASSERT_EQ(rows.size(), 65u);
    for (int i = 0; i < 65; ++i) {
        EXPECT_EQ(rows[static_cast<std::size_t>(i)].ms, start + i * 1000) << i;
        EXPECT_EQ(rows[static_cast<std::size_t>(i)].values[2], i / 10.0) << i;
    }
    // The newest is the station's now; the one from the future was refused.
    const std::string latest = page->get("/api/latest");
    EXPECT_NE(latest.find("\"t\":" + std::to_string(start + 64'000)), std::string::npos) << latest;
    // A chart of the hours, from the minutes' sums: each reading counted once.
    const std::string chart = page->get("/api/readings?" + recent_span() + "&points=10&id=north/1");
    const std::regex bucket(R"(\[\d+,(\d+),)");
    int counted = 0;
    for (auto it = std::sregex_iterator(chart.begin(), chart.end(), bucket);
         it != std::sregex_iterator(); ++it)
        counted += std::stoi((*it)[1]);
    EXPECT_EQ(counted, 65) << chart;
}

// A reading is the same only with the same station, time and values:
// three taken in one millisecond are three rows, and a QoS 1 copy of one is
// dropped and counted. With --sites, another site never becomes a station;
// a session asked to expire in a second does, once the page is gone.
TEST(MqttPage, OneMillisecondsReadingsAreAllKeptACopyIsDroppedAndTheSessionExpires) {
    TestBroker broker;
    ASSERT_TRUE(broker.start()) << broker.describe();
    WebRig page(
        broker.dir() + "/ops.db",
        broker.with_login(mqtt_test::reader_user, {"--broker", broker.url(), "--sites",
                                                   "north,south", "--session-expiry", "1"}));
    ASSERT_TRUE(page.web().wait_err("connected to mqtt://", 10000ms)) << page.web().describe();
    const std::int64_t t = now_ms() - 1000;
    std::string lines;
    for (double pressure : {101000.0, 101001.0, 101002.0, 101001.0})
        mqtt::append_weather_payload(lines, {t, pressure, 15, 3, 90}), lines += "\n";
    publish(broker, "anemobus/made-up/9/weather", payload_line(t, 1));
    publish(broker, "anemobus/north/1/weather", lines);
    ASSERT_TRUE(page.wait_get("/api/latest", "\"duplicates\":1")) << page.get("/api/latest");
    // All four taken; the log is written on its own thread.
    ASSERT_TRUE(
        test_support::wait_until([&] { return csv_rows(page, "north/1").size() >= 3; }, 10000ms));
    const auto rows = csv_rows(page, "north/1");
    ASSERT_EQ(rows.size(), 3u);
    for (std::size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].ms, t);
        EXPECT_EQ(rows[i].values[0], 101000.0 + static_cast<double>(i));
    }
    EXPECT_EQ(page.get("/api/latest").find("made-up"), std::string::npos);
    EXPECT_TRUE(std::regex_search(broker.describe(), std::regex(R"(\(p5, c0, k30, u'reader'\))")))
        << broker.describe();

    page.web().signal(SIGTERM);
    ASSERT_EQ(page.web().wait_exit(10000ms), 0) << page.web().describe();
    EXPECT_TRUE(test_support::wait_until(
        [&] { return broker.describe().find("Expiring client") != std::string::npos; }, 10000ms))
        << broker.describe();
}

TEST(MqttPage, AWrongPasswordOrCaIsNamedAndUnusableSettingsEndWithStatusOne) {
    TestBroker broker;
    ASSERT_TRUE(broker.start()) << broker.describe();
    const std::string wrong = broker.write_file("wrong", "guess\n");
    WebRig refused(broker.dir() + "/a.db",
                   {"--broker", broker.url(), "--user", "reader", "--password-file", wrong});
    EXPECT_TRUE(refused.web().wait_err("check --user and --password-file", 10000ms))
        << refused.web().describe();
    EXPECT_TRUE(
        refused.wait_get("/api/latest", "\"connected\":false,\"state\":\"cannot connect to"))
        << refused.get("/api/latest");
    WebRig rejected(broker.dir() + "/b.db",
                    {"--broker", broker.tls_url(), "--cafile", mqtt_test::certificates().wrong_ca});
    EXPECT_TRUE(rejected.web().wait_err("certificate rejected: ", 10000ms))
        << rejected.web().describe();

    const std::pair<std::vector<std::string>, const char*> unusable[] = {
        {{"--broker", broker.url(), "--user", "u", "--password-file", broker.dir() + "/none"},
         "cannot read --password-file"},
        {{"--broker", broker.tls_url(), "--cafile", broker.dir() + "/none"},
         "cannot load --cafile"},
        {{"--broker", broker.url(), "-i", "1"}, "give it as SITE/ID"},
        // Refused by libmosquitto on every attempt: the page ends at once.
        {{"--broker", broker.url(), "--user", "\xff"},
         "libmosquitto refuses --user and --password-file: Malformed UTF-8"},
    };
    for (const auto& [args, text] : unusable) {
        WebRig page(broker.dir() + "/c.db", args);
        EXPECT_EQ(page.web().wait_exit(10000ms), 1) << page.web().describe();
        EXPECT_NE(page.web().err().find(text), std::string::npos) << page.web().describe();
    }
}

}  // namespace
