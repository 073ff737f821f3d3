// The outbox on disk and the forwarding, with a stand-in for the broker's
// session: order, the window, what a lost connection resends, `latest`
// never going back in time (across a restart too), the age bound, and one
// bridge per outbox.
#include <sys/resource.h>

#include <csignal>
#include <map>

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>

#include "forwarder.h"
#include "payload.h"
#include "succeeded.h"
#include "test_support.h"

namespace {

using namespace mqtt;
using test_support::succeeded;
using test_support::taken;

// Readings are stamped this far into the tests' day; the tests name them by
// their offset from it.
constexpr std::int64_t base_ms = 1'800'000'000'000;
constexpr std::int64_t day_ms = std::int64_t{24} * 3600 * 1000;

struct Published {
    std::string topic, payload;
    bool retain;
    int mid;
};

// Records what is published; message ids count up from 1.
class FakeSession : public Session {
public:
    int publish(std::string_view topic, std::string_view payload, bool retain) override {
        log.push_back({std::string(topic), std::string(payload), retain, ++last_mid});
        return last_mid;
    }
    bool subscribe(std::string_view) override { return true; }
    // The times of the readings published on id's `kind` topic since the
    // last call for that topic.
    std::vector<std::int64_t> times(const char* kind, std::string_view id = "1") {
        std::vector<std::int64_t> found;
        std::size_t& from = seen[std::string(kind) + "/" + std::string(id)];
        for (; from < log.size(); ++from) {
            const Published& p = log[from];
            if (p.topic != "anemobus/site/" + std::string(id) + "/" + kind) continue;
            found.push_back(parse_weather_payload(p.payload)->received_ms - base_ms);
            EXPECT_EQ(p.retain, std::string_view(kind) == "latest");
        }
        return found;
    }
    std::vector<std::int64_t> weather_times() { return times("weather"); }
    int mid_of_weather(std::int64_t ms) const {
        for (const Published& p : log) {
            if (p.topic.ends_with("/weather") &&
                parse_weather_payload(p.payload)->received_ms - base_ms == ms)
                return p.mid;
        }
        return -1;
    }
    std::vector<Published> log;
    std::map<std::string, std::size_t> seen;
    int last_mid = 0;
};

// An outbox's path in a folder of its own (SQLite adds its -wal and -shm).
class TempFile {
public:
    std::string path() const { return dir_.path() + "/outbox.db"; }

private:
    test_support::TempDir dir_{"outbox"};
};

readings::StationReading reading(const char* id, std::int64_t ms) {
    return {*readings::StationId::from(id), {ms, 101325.0, 15.0, 3.5, 270.0}};
}

// An outbox with its inbox and forwarder, at a time the test sets.
struct Rig {
    explicit Rig(const std::string& path, std::size_t window = 4096) {
        outbox = taken(Outbox::open(path));
        forwarder = std::make_unique<Forwarder>(
            *outbox, inbox, ForwarderSettings{.site = "site", .keep_days = 7, .window = window},
            [this](const std::string& line) { reports.push_back(line); }, [this] { return now; });
        EXPECT_TRUE(succeeded(forwarder->load()));
    }
    void put(const char* id, std::int64_t offset) { inbox.put(reading(id, base_ms + offset)); }
    std::int64_t waiting() { return taken(outbox->count()); }
    std::int64_t now = base_ms;
    Inbox inbox{1000};
    std::unique_ptr<Outbox> outbox;
    std::unique_ptr<Forwarder> forwarder;
    std::vector<std::string> reports;
};

TEST(Forwarder, SendsInOrderWithinTheWindowAndRemovesWhatIsAcknowledged) {
    TempFile file;
    Rig rig(file.path(), 3);
    FakeSession session;
    for (std::int64_t t = 1; t <= 5; ++t) rig.put("1", t);
    rig.forwarder->on_connected(session);
    EXPECT_EQ(session.log.front().topic, "anemobus/site/status");
    EXPECT_EQ(session.log.front().payload, "online");
    rig.forwarder->on_turn(&session);
    EXPECT_EQ(session.weather_times(), (std::vector<std::int64_t>{1, 2, 3}));
    rig.forwarder->on_turn(&session);
    EXPECT_TRUE(session.weather_times().empty()) << "the window is full";
    for (const Published& p : session.log)
        if (p.topic.ends_with("/weather")) rig.forwarder->on_acked(p.mid);
    rig.forwarder->on_turn(&session);
    EXPECT_EQ(session.weather_times(), (std::vector<std::int64_t>{4, 5}));
    EXPECT_EQ(rig.waiting(), 2);
    EXPECT_FALSE(rig.forwarder->settled());
}

TEST(Forwarder, ALostConnectionResendsFromTheOldestUnacknowledged) {
    TempFile file;
    Rig rig(file.path());
    FakeSession first, second;
    for (std::int64_t t = 1; t <= 4; ++t) rig.put("1", t);
    rig.forwarder->on_turn(nullptr);  // not connected: stored only
    EXPECT_EQ(rig.waiting(), 4);
    rig.forwarder->on_connected(first);
    rig.forwarder->on_turn(&first);
    ASSERT_EQ(first.weather_times(), (std::vector<std::int64_t>{1, 2, 3, 4}));
    rig.forwarder->on_acked(first.mid_of_weather(1));
    rig.forwarder->on_acked(first.mid_of_weather(2));
    rig.forwarder->on_lost();
    rig.put("1", 5);
    rig.forwarder->on_turn(nullptr);
    rig.forwarder->on_connected(second);
    rig.forwarder->on_turn(&second);
    EXPECT_EQ(second.weather_times(), (std::vector<std::int64_t>{3, 4, 5}));
    EXPECT_EQ(second.times("latest"), (std::vector<std::int64_t>{5}));
    EXPECT_EQ(rig.waiting(), 3);
}

// `latest` gets each aircraft's newest reading only, before its weather
// twin; a replay after a restart does the same from the outbox.
TEST(Forwarder, LatestNeverGoesBackInTimeAcrossARestart) {
    TempFile file;
    for (int run = 0; run < 2; ++run) {
        Rig rig(file.path());
        FakeSession session;
        if (run == 0) {
            rig.put("1", 1);
            rig.put("1", 2);
            rig.put("2", 3);
            rig.forwarder->on_turn(nullptr);
        }
        rig.forwarder->on_connected(session);
        rig.forwarder->on_turn(&session);
        EXPECT_EQ(session.weather_times(), (std::vector<std::int64_t>{1, 2}));
        EXPECT_EQ(session.times("latest"), (std::vector<std::int64_t>{2}));
        EXPECT_EQ(session.times("latest", "2"), (std::vector<std::int64_t>{3}));
        const auto latest_at = std::find_if(session.log.begin(), session.log.end(), [](auto& p) {
            return p.topic == "anemobus/site/1/latest";
        });
        ASSERT_NE(latest_at, session.log.end());
        EXPECT_EQ((latest_at + 1)->topic, "anemobus/site/1/weather");
        EXPECT_EQ((latest_at + 1)->payload, latest_at->payload);
    }
}

TEST(Forwarder, ReadingsPastTheAgeBoundAreDroppedCountedAndReported) {
    TempFile file;
    Rig rig(file.path());
    rig.put("1", -9 * day_ms);
    rig.put("2", -8 * day_ms);
    rig.put("1", -6 * day_ms);
    rig.forwarder->on_turn(nullptr);
    EXPECT_EQ(rig.waiting(), 1);
    ASSERT_EQ(rig.reports.size(), 1u);
    EXPECT_NE(rig.reports[0].find("dropped 2 reading(s) older than 7 days"), std::string::npos)
        << rig.reports[0];
    FakeSession session;
    rig.forwarder->on_connected(session);
    rig.forwarder->on_turn(&session);
    EXPECT_EQ(session.weather_times(), (std::vector<std::int64_t>{-6 * day_ms}));
    EXPECT_TRUE(session.times("latest", "2").empty());
}

TEST(Forwarder, AStopSaysOfflineAndWaitsForItsAcknowledgement) {
    TempFile file;
    Rig rig(file.path());
    FakeSession session;
    rig.forwarder->on_connected(session);
    rig.forwarder->on_stopping(session);
    EXPECT_EQ(session.log.back().topic, "anemobus/site/status");
    EXPECT_EQ(session.log.back().payload, "offline");
    EXPECT_TRUE(session.log.back().retain);
    EXPECT_FALSE(rig.forwarder->settled());
    rig.forwarder->on_acked(session.log.back().mid);
    EXPECT_TRUE(rig.forwarder->settled());
}

// A refusal is no acknowledgement: the reading stays, the reason is said
// once, and the outbox is sent again only after a wait that doubles while
// refusals go on.
TEST(Forwarder, RefusedReadingsStayAndAreSentAgainAfterAWait) {
    TempFile file;
    Rig rig(file.path());
    FakeSession session;
    for (std::int64_t t = 1; t <= 3; ++t) rig.put("1", t);
    rig.forwarder->on_connected(session);
    rig.forwarder->on_turn(&session);
    ASSERT_EQ(session.weather_times(), (std::vector<std::int64_t>{1, 2, 3}));
    rig.forwarder->on_acked(session.mid_of_weather(1));
    rig.forwarder->on_refused(session.mid_of_weather(2), 0x87);
    rig.forwarder->on_acked(session.mid_of_weather(3));
    rig.forwarder->on_turn(&session);
    EXPECT_EQ(rig.waiting(), 1);
    EXPECT_EQ(rig.forwarder->refused(), 1u);
    ASSERT_EQ(rig.reports.size(), 1u);
    EXPECT_NE(rig.reports[0].find("0x87 (Not authorized)"), std::string::npos) << rig.reports[0];
    EXPECT_TRUE(session.weather_times().empty()) << "within the first wait";

    rig.now += 1000;  // the first wait is at most 1 s
    rig.forwarder->on_turn(&session);
    ASSERT_EQ(session.weather_times(), (std::vector<std::int64_t>{2}));
    rig.forwarder->on_refused(session.log.back().mid, 0x87);
    rig.now += 1000;  // not enough for the second, of more than 1.6 s
    rig.forwarder->on_turn(&session);
    EXPECT_TRUE(session.weather_times().empty());
    rig.now += 1000;
    rig.forwarder->on_turn(&session);
    ASSERT_EQ(session.weather_times(), (std::vector<std::int64_t>{2}));
    rig.forwarder->on_acked(session.log.back().mid);
    rig.forwarder->on_turn(&session);
    EXPECT_EQ(rig.waiting(), 0);
    EXPECT_EQ(rig.reports.size(), 1u) << "the same reason within a minute is not said again";
}

// Writes past this many bytes fail in this process while it lives (a full
// disk, for SQLite), then it is lifted.
class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        std::signal(SIGXFSZ, SIG_IGN);
        ::getrlimit(RLIMIT_FSIZE, &old_);
        rlimit limit = old_;
        limit.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &limit);
    }
    ~FileSizeLimit() { ::setrlimit(RLIMIT_FSIZE, &old_); }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit old_{};
};

// An outbox that cannot be written: the readings go out from memory, those
// acknowledged are never written, the failure is said once and its end too;
// once it can be written, what is left is written and nothing goes twice.
TEST(Forwarder, AnUnwritableOutboxForwardsFromMemoryAndWritesWhatIsLeftLater) {
    TempFile file;
    Rig rig(file.path());
    FakeSession session;
    rig.forwarder->on_connected(session);
    rig.put("1", 1);
    rig.forwarder->on_turn(&session);
    ASSERT_EQ(session.weather_times(), (std::vector<std::int64_t>{1}));
    rig.forwarder->on_acked(session.mid_of_weather(1));
    {
        FileSizeLimit full(1);
        for (std::int64_t t = 2; t <= 5; ++t) rig.put("1", t);
        rig.put("1", 5);  // an exact copy: dropped and counted
        rig.forwarder->on_turn(&session);
        EXPECT_EQ(session.weather_times(), (std::vector<std::int64_t>{2, 3, 4, 5}));
        EXPECT_EQ(session.times("latest"), (std::vector<std::int64_t>{1, 5}));
        EXPECT_EQ(rig.forwarder->unwritten(), 4u);
        EXPECT_EQ(rig.forwarder->copies(), 1u);
        rig.forwarder->on_acked(session.mid_of_weather(2));
        rig.forwarder->on_acked(session.mid_of_weather(3));
        rig.put("1", 6);
        rig.forwarder->on_turn(&session);
        EXPECT_EQ(session.weather_times(), (std::vector<std::int64_t>{6}));
        EXPECT_EQ(rig.forwarder->unwritten(), 3u);
    }
    const auto said = [&](const char* text) {
        return std::count_if(rig.reports.begin(), rig.reports.end(), [&](const std::string& r) {
            return r.find(text) != std::string::npos;
        });
    };
    EXPECT_EQ(said("forwarded from memory"), 1);
    rig.forwarder->on_turn(&session);  // written now: 4, 5 and 6
    EXPECT_EQ(said("the outbox is written again"), 1);
    EXPECT_EQ(rig.forwarder->unwritten(), 0u);
    EXPECT_EQ(rig.waiting(), 3);
    EXPECT_TRUE(session.weather_times().empty()) << "in flight already: not sent again";
    rig.forwarder->on_acked(session.mid_of_weather(4));
    rig.forwarder->on_acked(session.mid_of_weather(5));
    rig.forwarder->on_turn(&session);
    EXPECT_EQ(rig.waiting(), 1);
    rig.forwarder->on_lost();  // a new connection sends what is left: 6
    rig.forwarder->on_connected(session);
    rig.forwarder->on_turn(&session);
    EXPECT_EQ(session.weather_times(), (std::vector<std::int64_t>{6}));
}

TEST(Outbox, OneBridgePerFileAndNumbersAreNeverReused) {
    TempFile file;
    std::int64_t first = 0;
    {
        auto outbox = taken(Outbox::open(file.path()));
        ASSERT_TRUE(outbox);
        const auto second_bridge = Outbox::open(file.path());
        ASSERT_FALSE(second_bridge);
        EXPECT_NE(second_bridge.error().find("in use by another anemobus-mqtt"), std::string::npos)
            << second_bridge.error();
        ASSERT_TRUE(succeeded(outbox->begin()));
        first = taken(outbox->append(reading("1", 1)));
        ASSERT_TRUE(succeeded(outbox->remove(first)));
        ASSERT_TRUE(succeeded(outbox->commit()));
    }
    auto outbox = taken(Outbox::open(file.path()));
    ASSERT_TRUE(outbox);
    EXPECT_EQ(taken(outbox->count()), 0);
    EXPECT_EQ(taken(outbox->last_seq()), first);
    ASSERT_TRUE(succeeded(outbox->begin()));
    const std::int64_t second = taken(outbox->append(reading("1", 2)));
    ASSERT_TRUE(succeeded(outbox->commit()));
    EXPECT_GT(second, first);
}

// SQL run on an outbox no bridge holds, as another program would.
void write_from_outside(const std::string& path, const char* sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

// An outbox written before its columns took the reading log's names: its
// readings are sent, whole.
TEST(Outbox, AnOlderOutboxKeepsItsReadings) {
    TempFile file;
    write_from_outside(file.path(),
                       "CREATE TABLE outbox (seq INTEGER PRIMARY KEY AUTOINCREMENT,"
                       " received_ms INTEGER NOT NULL, aircraft TEXT NOT NULL,"
                       " pressure REAL NOT NULL, temperature REAL NOT NULL,"
                       " wind REAL NOT NULL, direction REAL NOT NULL);"
                       "INSERT INTO outbox VALUES (NULL, 5, '1', 101325, 15, 3.5, 270);");
    auto outbox = taken(Outbox::open(file.path()));
    ASSERT_TRUE(outbox);
    std::vector<mqtt::OutboxRow> rows;
    ASSERT_TRUE(succeeded(outbox->read_after(0, 10, rows)));
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0].reading.received_ms, 5);
    EXPECT_EQ(rows[0].reading.pressure, 101325);
    EXPECT_EQ(rows[0].reading.direction, 270);
}

// A row whose id is no aircraft id, written from outside, is passed over;
// the rows after it are sent all the same, also when a read of the window's
// room finds only it.
TEST(Forwarder, ARowThatIsNoReadingHoldsBackNoneAfterIt) {
    TempFile file;
    {
        Rig rig(file.path());
        rig.put("1", 1);
        rig.forwarder->on_turn(nullptr);
    }
    write_from_outside(file.path(),
                       "INSERT INTO outbox (received_ms, aircraft, pressure_pa, temperature_c,"
                       " wind_m_s, direction_deg) VALUES (1800000000002, 'no id', 101325, 15,"
                       " 3.5, 270)");
    Rig rig(file.path(), 1);
    rig.put("1", 3);
    FakeSession session;
    rig.forwarder->on_connected(session);
    rig.forwarder->on_turn(&session);
    ASSERT_EQ(session.weather_times(), (std::vector<std::int64_t>{1}));
    rig.forwarder->on_acked(session.mid_of_weather(1));
    rig.forwarder->on_turn(&session);
    EXPECT_EQ(session.weather_times(), (std::vector<std::int64_t>{3}));
}

}  // namespace
