// anemobus-web as a program on a loopback bus of the test's own: messages are
// sent by the bus monitor (each line of its standard input is one), and the
// answers read over HTTP. The log: kept across a restart, and one that cannot
// be used is reported while the page goes on with live readings.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <regex>

#include <gtest/gtest.h>

#include <sqlite3.h>

#include "intake.h"
#include "live_state.h"
#include "log_writer.h"
#include "reading_store.h"
#include "succeeded.h"
#include "synthetic_weather.h"
#include "test_support.h"
#include "web_client.h"
#include "web_rig.h"
#include "web_text.h"

namespace {

using namespace std::chrono_literals;
using test_support::Child;
using web_test::TempDir;
using web_test::WebRig;

web::StationReading reading(const std::string& id, std::int64_t t_ms) {
    return {*web::StationId::from(id), web_test::synthetic_reading(t_ms, t_ms / 1000)};
}

// Rows in the log at path, and how many distinct times among them.
std::pair<int, int> count_rows(const std::string& path) {
    sqlite3* db = nullptr;
    std::pair<int, int> counts{-1, -1};
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* stmt = nullptr;
        sqlite3_prepare_v2(db, "SELECT count(*), count(DISTINCT received_ms) FROM readings", -1,
                           &stmt, nullptr);
        if (stmt != nullptr && sqlite3_step(stmt) == SQLITE_ROW)
            counts = {sqlite3_column_int(stmt, 0), sqlite3_column_int(stmt, 1)};
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return counts;
}

// The log's minute sums give the buckets the readings give; retention
// deletes both.
TEST(WebLog, MinuteSumsGiveTheBucketsOfTheReadingsAndOldOnesGo) {
    TempDir dir;
    auto store = test_support::taken(web::ReadingStore::open(dir.path() + "/readings.db"));
    ASSERT_TRUE(store);
    const auto id = *web::StationId::from("1");
    const std::int64_t start = 1'700'000'100'000;  // on the 5-minute grid
    std::vector<web::StationReading> batch;
    for (std::int64_t i = 0; i < 3 * 3600; ++i) {
        batch.push_back({id, web_test::synthetic_reading(start + i * 1000, i)});
        if (batch.size() < 777) continue;
        ASSERT_TRUE(test_support::succeeded(store->insert(batch)));
        batch.clear();
    }
    ASSERT_TRUE(test_support::succeeded(store->insert(batch)));
    const std::int64_t end = start + 3 * 3600 * 1000;
    web::Downsampler from_readings(300000), from_minutes(300000);
    ASSERT_TRUE(test_support::succeeded(store->read_range(
        id, start, end, [&](const auto&, const web::Reading& r) { from_readings.add(r); })));
    ASSERT_TRUE(test_support::succeeded(
        store->read_minutes(id, start, end, [&](const web::Sums& s) { from_minutes.add(s); })));
    const auto a = from_readings.take(), b = from_minutes.take();
    ASSERT_EQ(a.size(), 36u);
    ASSERT_EQ(b.size(), a.size());
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(a[i].start_ms, b[i].start_ms);
        EXPECT_EQ(a[i].count, b[i].count);
        EXPECT_NEAR(a[i].wind_mean, b[i].wind_mean, 1e-9);
        EXPECT_EQ(a[i].wind_max, b[i].wind_max);
        EXPECT_NEAR(*a[i].direction_mean, *b[i].direction_mean, 1e-6);
        EXPECT_NEAR(a[i].pressure_mean, b[i].pressure_mean, 1e-6);
    }
    const auto deleted = store->delete_before(start + 3600 * 1000, 100000);
    ASSERT_TRUE(test_support::succeeded(deleted));
    ASSERT_EQ(*deleted, 3600);
    std::size_t minutes = 0;
    EXPECT_TRUE(test_support::succeeded(
        store->read_minutes(id, 0, end, [&](const web::Sums&) { ++minutes; })));
    EXPECT_EQ(minutes, 120u);
}

// A log locked by someone else: the writer reports it, keeps the readings,
// and writes them all once the lock is gone. While writes keep failing, what
// is held (the batch kept and the queue) stays within twice max_queued, the
// rest counted as dropped, however many retries pass.
TEST(WebLog, AFailedWriteKeepsTheReadingsUntilTheLogTakesThem) {
    TempDir dir;
    const std::string path = dir.path() + "/readings.db";
    auto store = test_support::taken(web::ReadingStore::open(path));
    ASSERT_TRUE(store);
    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    const auto id = *web::StationId::from("1");
    std::int64_t pushed = 0;
    std::uint64_t written = 0;
    {
        web::LogWriter writer(
            store.get(), "",
            {.flush_interval = 20ms, .retry_pause = 20ms, .max_queued = 50, .quiet = true});
        const auto push = [&](int count) {
            for (int i = 0; i < count; ++i, ++pushed)
                writer.push(
                    {id, web_test::synthetic_reading(1'700'000'000'000 + pushed * 1000, pushed)});
        };
        push(50);
        ASSERT_TRUE(test_support::wait_until([&] { return !writer.state().ok; }, 10000ms));
        EXPECT_NE(writer.state().error.find("database is locked"), std::string::npos)
            << writer.state().error;
        EXPECT_EQ(writer.state().written, 0u);
        sqlite3_exec(other, "ROLLBACK", nullptr, nullptr, nullptr);
        ASSERT_TRUE(
            test_support::wait_until([&] { return writer.state().written == 50; }, 10000ms));
        EXPECT_TRUE(writer.state().ok);
        EXPECT_EQ(writer.state().dropped, 0u);

        // Writes refused at once from now on: a small batch fails, then
        // the queue fills behind it, retry after retry.
        ASSERT_EQ(sqlite3_exec(other,
                               "CREATE TRIGGER refuse BEFORE INSERT ON readings"
                               " BEGIN SELECT RAISE(ABORT, 'refused'); END",
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        push(10);
        ASSERT_TRUE(test_support::wait_until([&] { return !writer.state().ok; }, 10000ms));
        for (int round = 0; round < 10; ++round) {
            push(50);
            std::this_thread::sleep_for(50ms);  // time for retries
            EXPECT_LE(writer.state().queued, 100u) << "round " << round;
        }
        ASSERT_EQ(sqlite3_exec(other, "DROP TRIGGER refuse", nullptr, nullptr, nullptr), SQLITE_OK);
        ASSERT_TRUE(test_support::wait_until(
            [&] {
                const auto state = writer.state();
                return state.written + state.dropped == static_cast<std::uint64_t>(pushed);
            },
            10000ms));
        EXPECT_GT(writer.state().dropped, 0u);
        written = writer.state().written;
    }
    sqlite3_close(other);
    std::size_t rows = 0;
    EXPECT_TRUE(test_support::succeeded(
        store->read_range(std::nullopt, 0, INT64_MAX, [&](const auto&, const auto&) { ++rows; })));
    EXPECT_EQ(rows, written);
}

// A read whose client has left stops at the next row, whatever its span, and
// says so rather than blame the log. The log's bounds tell an empty log from
// one that cannot be read.
TEST(WebLog, AReadStopsOnceItsClientHasLeft) {
    TempDir dir;
    auto store = test_support::taken(web::ReadingStore::open(dir.path() + "/readings.db"));
    ASSERT_TRUE(store);
    const auto none = store->time_bounds();
    ASSERT_TRUE(test_support::succeeded(none));
    EXPECT_FALSE(*none);
    const auto id = *web::StationId::from("1");
    std::vector<web::StationReading> batch;
    for (std::int64_t i = 0; i < 5000; ++i)
        batch.push_back({id, web_test::synthetic_reading(1'700'000'000'000 + i * 1000, i)});
    ASSERT_TRUE(test_support::succeeded(store->insert(batch)));
    const auto bounds = store->time_bounds();
    ASSERT_TRUE(test_support::succeeded(bounds));
    EXPECT_EQ(*bounds,
              std::make_pair(std::int64_t{1'700'000'000'000}, std::int64_t{1'700'004'999'000}));
    std::atomic<bool> gone{false};
    int rows = 0;
    const tools::Status stopped = store->read_range(
        std::nullopt, 0, web::max_query_time_ms,
        [&](const auto&, const auto&) { gone = ++rows == 10; }, &gone);
    ASSERT_FALSE(stopped);
    EXPECT_EQ(rows, 10);
    EXPECT_NE(stopped.error().find("stopped: its client has left"), std::string::npos)
        << stopped.error();
    EXPECT_EQ(stopped.error().find("cannot read"), std::string::npos) << stopped.error();
    rows = 0;
    gone = false;
    EXPECT_FALSE(store->read_minutes(
        id, 0, web::max_query_time_ms, [&](const web::Sums&) { gone = ++rows == 3; }, &gone));
    EXPECT_EQ(rows, 3);

    // Another file put at a log's path (its write-ahead files gone) before
    // its first read: the reader opened then finds no log there.
    const std::string other_path = dir.path() + "/other.db";
    auto other = test_support::taken(web::ReadingStore::open(other_path));
    ASSERT_TRUE(other);
    { std::ofstream(other_path + ".new") << std::string(4096, 'x'); }
    ASSERT_EQ(::rename((other_path + ".new").c_str(), other_path.c_str()), 0);
    ::unlink((other_path + "-wal").c_str());
    ::unlink((other_path + "-shm").c_str());
    const auto unread = other->time_bounds();
    ASSERT_FALSE(unread);
    EXPECT_NE(unread.error().find("cannot read the reading log " + other_path), std::string::npos)
        << unread.error();
}

// The log deleted, then replaced, while it is written: a new log at the path
// holds what memory had (each reading once: the ones written to the lost
// file come from memory, the others from the queue), then what comes next.
TEST(WebLog, ALogDeletedOrReplacedStartsAgainWithWhatMemoryHolds) {
    TempDir dir;
    const std::string path = dir.path() + "/readings.db";
    auto store = test_support::taken(web::ReadingStore::open(path));
    ASSERT_TRUE(store);
    const std::int64_t t0 = 1'700'000'000'000;
    web::LiveState live(std::nullopt);
    live.prime(reading("1", t0));  // read back from the log at start
    web::LogWriter writer(store.get(), "",
                          {.flush_interval = 10ms,
                           .file_check_interval = 50ms,
                           .quiet = true,
                           .recall = [&](std::uint64_t seq) { return live.kept_readings(seq); }});
    const auto take = [&](std::int64_t i) {
        const auto r = reading("1", t0 + i * 1000);
        writer.push(r, live.add(r));
    };
    for (std::int64_t i = 1; i <= 3; ++i) take(i);
    ASSERT_TRUE(test_support::wait_until([&] { return writer.state().written == 3; }, 5000ms));

    ASSERT_EQ(::unlink(path.c_str()), 0);
    ASSERT_TRUE(test_support::wait_until([&] { return !writer.state().notice.empty(); }, 5000ms));
    EXPECT_EQ(writer.state().notice, "the reading log " + path +
                                         " was deleted; a new one starts with the 4 reading(s) "
                                         "still in memory");
    take(4);
    ASSERT_TRUE(test_support::wait_until([&] { return writer.state().written == 8; }, 5000ms));
    EXPECT_EQ(count_rows(path), std::make_pair(5, 5));

    const std::string other = dir.path() + "/other.db";
    {
        auto restored = web::ReadingStore::open(other);
        ASSERT_TRUE(test_support::succeeded(restored));
        ASSERT_TRUE(test_support::succeeded((*restored)->insert({reading("x", t0 - 60'000)})));
    }
    ASSERT_EQ(::rename(other.c_str(), path.c_str()), 0);
    ASSERT_TRUE(test_support::wait_until(
        [&] { return writer.state().notice.find("replaced") != std::string::npos; }, 5000ms));
    ASSERT_TRUE(test_support::wait_until([&] { return writer.state().written == 13; }, 5000ms));
    EXPECT_EQ(count_rows(path), std::make_pair(6, 6));
    EXPECT_TRUE(writer.state().ok) << writer.state().error;
    EXPECT_EQ(writer.finish(), 0u);
}

// A live stream gets every reading after the last it sent; one that fell
// behind the kept events gets the latest only. Ids past the bound are refused.
TEST(WebLive, StreamsCatchUpAndStationsAreBounded) {
    web::LiveState live(std::nullopt);
    std::uint64_t seq = live.sequence();
    ASSERT_TRUE(live.add(reading("1", 1)));
    ASSERT_TRUE(live.add(reading("2", 2)));
    auto views = live.wait_readings(&seq, 0ms);
    ASSERT_EQ(views.size(), 2u);
    EXPECT_EQ(views[1].id.view(), "2");
    EXPECT_TRUE(live.wait_readings(&seq, 10ms).empty());
    for (std::int64_t i = 3; i < 300; ++i) live.add(reading("1", i));
    views = live.wait_readings(&seq, 0ms);
    ASSERT_EQ(views.size(), 1u);
    EXPECT_EQ(views[0].last.received_ms, 299);
    for (std::size_t n = 3; n <= web::max_stations; ++n)
        EXPECT_TRUE(live.add(reading(std::to_string(n), 300)));
    EXPECT_FALSE(live.add(reading("one-too-many", 301)));
    EXPECT_EQ(live.status(301).stations.size(), web::max_stations);
}

// A new page opens on -i, else on the id with the most readings over ten
// minutes, not on a stray message heard last. Ids silent for an hour give
// their place up (but -i's), and silence is judged at the time asked.
TEST(WebLive, NewPagesOpenOnTheBusiestIdAndSilentIdsAreForgotten) {
    const std::int64_t t0 = 1'700'000'000'000, minute = 60'000;
    web::LiveState live(std::nullopt);
    EXPECT_FALSE(live.default_station());
    for (std::int64_t i = 0; i < 30; ++i) live.add(reading("main", t0 + i * 1000));
    live.add(reading("stray", t0 + 30'000));
    live.tick(t0 + 31'000);
    EXPECT_EQ(live.default_station()->view(), "main");
    const auto status = live.status(t0 + 33'000);
    EXPECT_EQ(status.default_id->view(), "main");
    EXPECT_FALSE(status.stations[1].silent);  // "stray": one period of 1 s, 3 s ago
    EXPECT_TRUE(live.status(t0 + 33'001).stations[1].silent);
    // Main stopped; stray goes on, slowly.
    for (std::int64_t m = 1; m <= 11; ++m) live.add(reading("stray", t0 + m * minute));
    live.tick(t0 + 11 * minute);
    EXPECT_EQ(live.default_station()->view(), "stray");

    for (int n = 2; n < static_cast<int>(web::max_stations); ++n)
        ASSERT_TRUE(live.add(reading("n" + std::to_string(n), t0 + 12 * minute)));
    EXPECT_FALSE(live.add(reading("late", t0 + 80 * minute)));
    live.tick(t0 + 80 * minute);  // an hour after the last of them
    ASSERT_TRUE(live.add(reading("late", t0 + 80 * minute)));
    ASSERT_EQ(live.status(t0 + 80 * minute).stations.size(), 1u);
    EXPECT_EQ(live.status(t0 + 80 * minute).stations[0].id.view(), "late");

    // "/" opens the overview while more than one station is live, never with -i.
    EXPECT_FALSE(live.opens_overview(t0 + 80 * minute));
    ASSERT_TRUE(live.add(reading("early", t0 + 80 * minute)));
    EXPECT_TRUE(live.opens_overview(t0 + 80 * minute + 3000));
    EXPECT_FALSE(live.opens_overview(t0 + 80 * minute + 3001));

    web::LiveState only(std::nullopt, web::StationId::from("7"));
    EXPECT_EQ(only.default_station()->view(), "7");
    only.add(reading("7", t0));
    only.add(reading("8", t0));
    EXPECT_FALSE(only.opens_overview(t0));
    only.add(reading("7", t0));
    only.tick(t0 + 80 * minute);
    EXPECT_EQ(only.status(t0 + 80 * minute).stations.size(), 1u);
    EXPECT_EQ(only.default_station()->view(), "7");
}

// Traffic alone does not choose: a flood of made-up ids from another bus
// agent neither takes new pages from the relay's station nor passes
// unmarked, and an agent that sends the relay's id marks that station for as
// long as its 10-minute figures hold the reading. Marks show in the JSON.
TEST(WebLive, NewPagesOpenOnTheRelaysStationAndOtherSendersAreMarked) {
    const std::int64_t t0 = 1'700'000'000'000, minute = 60'000;
    web::LiveState live(std::nullopt);
    web::LogWriter writer(nullptr, "", {.quiet = true});
    web::Intake intake(live, writer, {}, [](const std::string&) {});
    const auto send = [&](const char* sender, const char* id, std::int64_t t) {
        const char* fields[] = {id, " 101000 15 4 90"};  // as the binding captures them
        intake.take_bus(sender, 2, fields, t);
    };
    send("intruder", "fake", t0);  // heard first, before any tick
    for (std::int64_t i = 1; i <= 5; ++i) send("anemobus", "1", t0 + i * 1000);
    for (std::int64_t i = 0; i < 199; ++i)
        send("intruder", ("f" + std::to_string(i % 9)).c_str(), t0 + 6000 + i);
    live.tick(t0 + 7000);
    EXPECT_EQ(live.default_station()->view(), "1");
    const auto marks = [&](std::int64_t now) {
        std::map<std::string, std::string> by_id;
        for (const auto& v : live.status(now).stations)
            by_id[std::string(v.id.view())] = v.unexpected_sender;
        return by_id;
    };
    EXPECT_EQ(marks(t0 + 7000)["1"], "");
    EXPECT_EQ(marks(t0 + 7000)["f3"], "intruder");
    const std::string json = web::status_json(live.status(t0 + 7000));
    EXPECT_NE(json.find("{\"id\":\"1\",\"t\""), std::string::npos);
    EXPECT_NE(json.find("\"unexpected_sender\":null"), std::string::npos) << json;
    EXPECT_NE(json.find("\"unexpected_sender\":\"intruder\""), std::string::npos) << json;

    // The relay's id sent by another agent: marked, and while every station
    // is marked the busiest is chosen as before.
    send("anemobus-monitor", "1", t0 + 8000);
    live.tick(t0 + 8000);
    EXPECT_EQ(marks(t0 + 8000)["1"], "anemobus-monitor");
    EXPECT_EQ(live.default_station()->view(), "f0");
    // The relay goes on; ten minutes later the reading has left the windows.
    for (std::int64_t m = 1; m <= 10; ++m) send("anemobus", "1", t0 + 8000 + m * minute);
    live.tick(t0 + 8000 + 10 * minute);
    EXPECT_EQ(marks(t0 + 8000 + 10 * minute)["1"], "anemobus-monitor");
    live.tick(t0 + 8001 + 10 * minute);
    EXPECT_EQ(marks(t0 + 8001 + 10 * minute)["1"], "");
    EXPECT_EQ(live.default_station()->view(), "1");
}

TEST(WebProgram, StoresReadingsServesThemAndRefusesHostileMessages) {
    TempDir dir;
    WebRig rig(dir.path() + "/readings.db");
    ASSERT_NE(rig.port(), 0) << rig.describe();
    ASSERT_TRUE(rig.connected()) << rig.describe();
    rig.send("1 WEATHER nan 22.5 4.4704 180");
    rig.send("1 WEATHER 101591.656250 22.5");
    rig.send("<b> WEATHER 1e999 1 2 3");
    rig.send("1 WEATHER 101591.656250 22.500000 4.470400 180.000000");
    rig.send("<i> WEATHER 100000 10 12.5 90");
    ASSERT_TRUE(rig.wait_get("/api/latest", "\"refused\":3")) << rig.describe();
    // The last message sent, taken after the third refusal.
    ASSERT_TRUE(rig.wait_get("/api/latest", "\"id\":\"\\u003ci\\u003e\"")) << rig.describe();
    const std::string latest = rig.get("/api/latest");
    EXPECT_NE(latest.find("\"id\":\"1\",\"t\":"), std::string::npos) << latest;
    EXPECT_NE(latest.find("\"wind\":4.4704,\"direction\":180"), std::string::npos) << latest;
    EXPECT_NE(latest.find("\"id\":\"\\u003ci\\u003e\""), std::string::npos) << latest;
    EXPECT_EQ(latest.find("<i>"), std::string::npos) << latest;
    // One line for the first refusal, the others held back for ten seconds.
    EXPECT_EQ(rig.web().count_err("refused a message from sender"), 1) << rig.describe();
    EXPECT_EQ(rig.web().count_err("nan 22.5"), 1) << rig.describe();

    EXPECT_TRUE(rig.wait_get("/api/readings.csv?id=1", "\"1\",101591.65625,22.5,4.4704,180\r\n"))
        << rig.get("/api/readings.csv?id=1");
    const std::string readings = rig.get("/api/readings?id=%3Ci%3E");
    EXPECT_NE(readings.find(",1,12.5,12.5,90,100000,10]]"), std::string::npos) << readings;
    EXPECT_EQ(rig.get("/api/readings?from=tomorrow").substr(0, 4), "400 ");

    auto post = web_test::http_request(rig.port(), "POST", "/api/latest");
    ASSERT_TRUE(post);
    EXPECT_EQ(post->status, 405);
    EXPECT_EQ(post->header("allow"), "GET, HEAD");
    // The CSV compressed as it streams is whole once the client inflates it.
    auto csv =
        web_test::http_get(rig.port(), "/api/readings.csv?id=1", {{"Accept-Encoding", "gzip"}});
    ASSERT_TRUE(csv);
    EXPECT_EQ(csv->header("content-encoding"), "gzip");
    EXPECT_EQ(csv->body.rfind(web::csv_header(), 0), 0u) << csv->body;
    EXPECT_NE(csv->body.find("\"1\",101591.65625,22.5,4.4704,180\r\n"), std::string::npos);
    // Two stations are live ("/" is the overview): a station's link.
    auto page = web_test::http_get(rig.port(), "/?id=1");
    ASSERT_TRUE(page);
    EXPECT_NE(page->body.find("<canvas id=\"chart-wind\">"), std::string::npos);
    EXPECT_NE(page->header("content-security-policy").find("script-src 'self'"), std::string::npos);
    // Scripts: compressed once, kept by the browser until they change.
    auto script = web_test::http_get(rig.port(), "/app.js", {{"Accept-Encoding", "gzip"}});
    ASSERT_TRUE(script);
    EXPECT_EQ(script->header("content-encoding"), "gzip");
    auto again =
        web_test::http_get(rig.port(), "/app.js", {{"If-None-Match", script->header("etag")}});
    ASSERT_TRUE(again);
    EXPECT_EQ(again->status, 304);
    auto head = web_test::http_request(rig.port(), "HEAD", "/app.js");
    ASSERT_TRUE(head);
    EXPECT_EQ(head->status, 200);
    EXPECT_TRUE(head->body.empty());
    EXPECT_EQ(head->header("content-length"), std::to_string(script->body.size()));
    EXPECT_EQ(web_test::http_get(rig.port(), "/../etc/passwd")->status, 404);
}

TEST(WebProgram, HistoryAndFiguresComeBackAfterARestart) {
    TempDir dir;
    const std::string db = dir.path() + "/readings.db";
    WebRig rig(db);
    ASSERT_TRUE(rig.connected()) << rig.describe();
    rig.send("3 WEATHER 101000 15 7.5 270");
    rig.send("3 WEATHER 101000 15 2.5 270");
    ASSERT_TRUE(rig.wait_get("/api/readings.csv", ",2.5,270\r\n")) << rig.describe();
    rig.web().signal(SIGTERM);
    ASSERT_EQ(rig.web().wait_exit(5000ms), 0) << rig.describe();

    rig.start_web(db);
    ASSERT_NE(rig.port(), 0) << rig.describe();
    const std::string csv = rig.get("/api/readings.csv");
    EXPECT_NE(csv.find(",7.5,270\r\n"), std::string::npos) << csv;
    EXPECT_NE(csv.find(",2.5,270\r\n"), std::string::npos) << csv;
    const std::string latest = rig.get("/api/latest");
    EXPECT_NE(latest.find("\"wind\":2.5,"), std::string::npos) << latest;
    EXPECT_NE(latest.find("\"wind_mean_2min\":5,\"gust_10min\":7.5"), std::string::npos) << latest;
    EXPECT_NE(rig.get("/api/readings").find("\"source\":\"log\""), std::string::npos);
}

TEST(WebProgram, AnUnusableLogIsReportedAndLiveReadingsStillShow) {
    TempDir dir;
    const std::string not_a_dir = dir.path() + "/file";
    std::ofstream(not_a_dir) << "x";
    const std::string garbage = dir.path() + "/garbage.db";
    std::ofstream(garbage) << std::string(4096, 'g');
    for (const auto& [db, said] :
         {std::pair{not_a_dir + "/readings.db",
                    "cannot keep files in " + not_a_dir + ": it is not a directory"},
          std::pair{garbage,
                    "cannot use the reading log " + garbage + ": file is not a database"}}) {
        WebRig rig(db);
        ASSERT_NE(rig.port(), 0) << rig.describe();
        EXPECT_TRUE(rig.web().wait_err(said, 3000ms)) << rig.describe();
        ASSERT_TRUE(rig.connected()) << rig.describe();
        rig.send("5 WEATHER 99000 -3 11 45");
        EXPECT_TRUE(rig.wait_get("/api/latest", "\"wind\":11,")) << rig.describe();
        const std::string latest = rig.get("/api/latest");
        EXPECT_NE(latest.find("\"log\":{\"ok\":false"), std::string::npos) << latest;
        EXPECT_NE(rig.get("/api/readings").find("\"source\":\"memory\",\"points\":[["),
                  std::string::npos);
        EXPECT_TRUE(rig.web().running()) << rig.describe();
        // The reading shown was never kept: the end says so.
        rig.web().signal(SIGTERM);
        EXPECT_EQ(rig.web().wait_exit(5000ms), 1) << rig.describe();
        EXPECT_TRUE(rig.web().wait_err("1 reading(s) taken are not in the log", 1000ms))
            << rig.describe();
    }
}

// One program through the log's troubles. --db in folders that do not
// exist yet: made as mkdir -p would. A stray message heard last does not
// take new pages with it. Four messages once stopped the log for good (Inf
// - Inf in its sums); they are refused now. The file deleted under the
// running program: noticed, told on the page, and a new log holds the
// readings still in memory. A log that still cannot take the readings at
// the end (held by another program here) makes the exit a failure.
TEST(WebProgram, TheLogSurvivesImpossibleValuesAndADeletionAndAFailedEndIsOne) {
    TempDir dir;
    const std::string db = dir.path() + "/new/deeper/readings.db";
    WebRig rig(db);
    const mode_t mask = ::umask(0);
    ::umask(mask);
    for (const char* made : {"/new", "/new/deeper"}) {
        struct stat st {};
        ASSERT_EQ(::stat((dir.path() + made).c_str(), &st), 0) << made;
        EXPECT_EQ(st.st_mode & 07777, 0750 & ~mask) << made;
    }
    ASSERT_TRUE(rig.connected()) << rig.describe();
    for (int i = 0; i < 5; ++i) rig.send("main WEATHER 101000 15 3.5 90");
    ASSERT_TRUE(rig.wait_get("/api/latest", "\"default\":\"main\"")) << rig.describe();
    rig.send("stray WEATHER 101000 15 9.5 90");
    ASSERT_TRUE(rig.wait_get("/api/latest", "\"id\":\"stray\"")) << rig.describe();
    EXPECT_TRUE(rig.wait_get("/api/latest", "\"default\":\"main\"")) << rig.describe();

    for (const char* values : {"1e308 15 4 90", "-1e308 15 4 90", "101000 15 1e308 90",
                               "101000 15 -1e308 90", "101000 15 4.5 90"})
        rig.send(std::string("1 WEATHER ") + values);
    rig.send("2 WEATHER 99000 -5 6.5 400");
    ASSERT_TRUE(rig.wait_get("/api/latest", "\"refused\":4")) << rig.describe();
    EXPECT_TRUE(rig.web().wait_err("a value is beyond what a station measures", 1000ms));
    EXPECT_TRUE(rig.wait_get("/api/readings.csv", ",6.5,400\r\n")) << rig.describe();
    EXPECT_NE(rig.get("/api/readings.csv").find(",4.5,90\r\n"), std::string::npos);
    ASSERT_TRUE(test_support::wait_until([&] { return count_rows(db).first == 8; }, 5000ms));

    ASSERT_EQ(::unlink(db.c_str()), 0);
    EXPECT_TRUE(rig.web().wait_err(
        "the reading log " + db + " was deleted; a new one starts with the 8 reading(s)", 10000ms))
        << rig.describe();
    EXPECT_TRUE(rig.wait_get("/api/latest", "\"notice\":\"the reading log ")) << rig.describe();
    EXPECT_TRUE(test_support::wait_until([&] { return count_rows(db).first == 8; }, 5000ms));
    rig.send("1 WEATHER 101000 15 5.5 90");
    EXPECT_TRUE(test_support::wait_until([&] { return count_rows(db).first == 9; }, 5000ms));
    EXPECT_NE(rig.get("/api/latest").find("\"log\":{\"ok\":true"), std::string::npos);

    sqlite3* other = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &other), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(other, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    rig.send("1 WEATHER 101000 15 6.5 90");
    EXPECT_TRUE(rig.wait_get("/api/latest", "\"log\":{\"ok\":false")) << rig.describe();
    rig.web().signal(SIGTERM);
    EXPECT_EQ(rig.web().wait_exit(15000ms), 1) << rig.describe();
    EXPECT_TRUE(rig.web().wait_err("1 reading(s) taken are not in the log", 1000ms))
        << rig.describe();
    sqlite3_close(other);
}

}  // namespace
