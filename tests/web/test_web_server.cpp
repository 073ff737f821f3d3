// anemobus-web's server against the clients a field network has: queries
// that would overflow, clients that send slowly or idle, more pages than it
// streams to, a second instance on the same port; and the live stream's pace.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <memory>

#include <gtest/gtest.h>

#include "live_feed.h"
#include "live_state.h"
#include "log_writer.h"
#include "web_rig.h"
#include "web_routes.h"
#include "web_server.h"

namespace {

using namespace std::chrono_literals;
using test_support::Clock;
using test_support::scaled;
using web_test::TempDir;
using web_test::WebRig;

using web_test::connect_from;

// One connection read as it comes, for streams and for clients that
// misbehave.
class RawClient {
public:
    explicit RawClient(int port) : fd_(test_support::connect_loopback(port)) {}
    RawClient(int port, const char* source, int receive_buffer = 0)
        : fd_(connect_from(port, source, receive_buffer)) {}
    ~RawClient() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool send(const std::string& text) {
        return fd_ >= 0 && ::send(fd_, text.data(), text.size(), MSG_NOSIGNAL) ==
                               static_cast<ssize_t>(text.size());
    }
    // Reads what came within wait; false once the server has closed.
    bool read(std::chrono::milliseconds wait) {
        pollfd p{fd_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(wait.count())) <= 0) return true;
        char buf[65536];
        const ssize_t n = ::recv(fd_, buf, sizeof buf, 0);
        if (n > 0) in_.append(buf, static_cast<std::size_t>(n));
        return n > 0;
    }
    bool wait_for(const std::string& text, std::chrono::milliseconds timeout) {
        return test_support::wait_until(
            [&] { return read(10ms) && in_.find(text) != std::string::npos; }, timeout);
    }
    const std::string& text() const { return in_; }
    // Whether the server answered a keep-alive request on this connection.
    bool ask(const std::string& path) {
        in_.clear();
        return send("GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n") && wait_for("\r\n\r\n", 3000ms);
    }
    // Whether the server closed this connection within timeout.
    bool closed_within(std::chrono::milliseconds timeout) {
        return test_support::wait_until([&] { return !read(10ms); }, timeout);
    }

private:
    int fd_;
    std::string in_;
};

const std::string events_request = "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";

// One server for what needs no crowd: queries that would overflow signed
// time are refused and long spans answer at once; the status comes every
// second, on the second, with each reading between; a second instance on
// the same port is refused and the first goes on; "/" opens the overview
// while two stations are live.
TEST(WebServer, RefusesOverflowingQueriesKeepsItsPaceAndItsPort) {
    TempDir dir;
    WebRig rig(dir.path() + "/readings.db");
    ASSERT_TRUE(rig.connected()) << rig.describe();
    for (const char* bad : {"/api/readings.csv?to=9223372036854775807",
                            "/api/readings?from=2023-11-14T22:13:nan", "/api/readings?from=:nan",
                            "/api/readings.csv?from=2026-02-31T00:00Z", "/api/readings?from=%zz"})
        EXPECT_EQ(rig.get(bad).substr(0, 4), "400 ") << bad;
    // 400 days with no reading: nothing to walk, an answer at once.
    const auto start = Clock::now();
    const std::string csv =
        rig.get("/api/readings.csv?from=2025-01-01T00:00Z&to=2026-02-05T00:00Z");
    EXPECT_EQ(csv, "200 " + web::csv_header());
    EXPECT_EQ(rig.get("/api/readings?from=0&to=34560000000").substr(0, 4), "200 ");
    EXPECT_LT(Clock::now() - start, scaled(2000ms));

    RawClient page(rig.port());
    ASSERT_TRUE(page.send(events_request));
    RawClient overview(rig.port());
    ASSERT_TRUE(overview.send("GET /api/events?readings=none HTTP/1.1\r\nHost: x\r\n\r\n"));
    for (int i = 0; i < 16; ++i) {
        rig.send("7 WEATHER 101000 15 " + std::to_string(i) + " 90");
        std::this_thread::sleep_for(300ms);
        page.read(0ms);
        overview.read(0ms);
    }
    page.wait_for("\"wind\":15,", 3000ms);
    // The overview's stream: the status each second, no reading events.
    EXPECT_TRUE(overview.wait_for("\"wind\":15,", 3000ms)) << overview.text();
    EXPECT_EQ(overview.text().find("event: reading"), std::string::npos) << overview.text();
    // One station live: "/" is its page. Two: "/" is the overview, but a
    // link to a station (a query) is always the station's page.
    EXPECT_EQ(rig.get("/").substr(0, 4), "200 ");
    std::optional<web_test::HttpAnswer> root;
    EXPECT_TRUE(test_support::wait_until(
        [&] {
            rig.send("7 WEATHER 101000 15 3 90");
            rig.send("8 WEATHER 101000 15 3 90");
            root = web_test::http_get(rig.port(), "/");
            return root && root->status == 302;
        },
        5000ms));
    EXPECT_EQ(root ? root->header("location") : "", "/overview");
    EXPECT_EQ(rig.get("/?id=8").substr(0, 4), "200 ");
    EXPECT_NE(rig.get("/overview").find("<script src=\"/overview.js\""), std::string::npos);
    std::vector<std::int64_t> nows;
    std::smatch m;
    const std::regex status("event: status\ndata: \\{\"now\":(\\d+)");
    for (std::string rest = page.text(); std::regex_search(rest, m, status); rest = m.suffix())
        nows.push_back(std::stoll(m[1]));
    ASSERT_GE(nows.size(), 4u) << page.text();
    // The first is the stream's start; the others are the ticks.
    const double mean =
        static_cast<double>(nows.back() - nows[1]) / static_cast<double>(nows.size() - 2);
    EXPECT_NEAR(mean, 1000, 100) << page.text();
    for (std::size_t i = 2; i < nows.size(); ++i) EXPECT_LT(nows[i] - nows[i - 1], 1600);
    for (int i = 0; i < 16; ++i)
        EXPECT_NE(page.text().find("\"wind\":" + std::to_string(i) + ","), std::string::npos) << i;

    const std::string address = "127.0.0.1:" + std::to_string(rig.port());
    test_support::Child second(test_support::program_path("anemobus-web"),
                               {"-b", test_support::loopback_bus(test_support::random_bus_port()),
                                "--db", dir.path() + "/other.db", "--listen", address});
    EXPECT_EQ(second.wait_exit(10000ms), 1) << second.describe();
    EXPECT_NE(second.err().find("cannot listen on " + address + ": address already in use"),
              std::string::npos)
        << second.describe();
    EXPECT_EQ(second.out().find("serving"), std::string::npos);
    EXPECT_EQ(rig.get("/api/latest").substr(0, 4), "200 ");
}

// Slow requests are dropped at their deadline while the page answers.
TEST(WebServer, SlowAndIdleClientsDoNotStarveThePage) {
    TempDir dir;
    WebRig rig(dir.path() + "/readings.db");
    ASSERT_NE(rig.port(), 0) << rig.describe();
    std::vector<std::unique_ptr<RawClient>> slow, idle;
    for (int i = 0; i < 40; ++i) {
        slow.push_back(std::make_unique<RawClient>(rig.port()));
        slow.back()->send("GET / HTTP/1.1\r\nHost: x\r\nX-Slow: ");
        idle.push_back(std::make_unique<RawClient>(rig.port()));
    }
    const auto start = Clock::now();
    std::size_t open = slow.size();
    while (open > 0 && Clock::now() - start < scaled(15s)) {
        const auto asked = Clock::now();
        EXPECT_EQ(rig.get("/api/latest").substr(0, 4), "200 ");
        EXPECT_LT(Clock::now() - asked, scaled(1000ms));
        open = 0;
        for (auto& c : slow) open += c->send("x") && c->read(0ms) ? 1 : 0;
        std::this_thread::sleep_for(300ms);
    }
    EXPECT_EQ(open, 0u) << "slow requests still open";
    EXPECT_GT(Clock::now() - start, 4s) << "dropped before their 5 s";
    for (auto& c : idle) EXPECT_FALSE(c->read(scaled(2000ms))) << "an idle connection stayed";
}

TEST(WebServer, PageOneTooManyIsToldAtOnceAndASlotFreesWhenAPageLeaves) {
    TempDir dir;
    WebRig rig(dir.path() + "/readings.db");
    ASSERT_NE(rig.port(), 0) << rig.describe();
    std::vector<std::unique_ptr<RawClient>> pages;
    for (int i = 0; i < web::max_live_streams; ++i) {
        pages.push_back(std::make_unique<RawClient>(rig.port()));
        pages.back()->send(events_request);
        ASSERT_TRUE(pages.back()->wait_for("event: status", 5000ms)) << i;
    }
    // A page that sends more on its stream keeps getting its events.
    const std::size_t before = pages[0]->text().size();
    ASSERT_TRUE(pages[0]->send("GET / HTTP/1.1\r\n\r\n"));
    EXPECT_TRUE(test_support::wait_until(
        [&] {
            pages[0]->read(10ms);
            return pages[0]->text().find("event: status", before) != std::string::npos;
        },
        3000ms));
    const auto asked = Clock::now();
    auto refused = web_test::http_get(rig.port(), "/api/events");
    ASSERT_TRUE(refused);
    EXPECT_LT(Clock::now() - asked, scaled(1000ms));
    EXPECT_EQ(refused->status, 503);
    EXPECT_EQ(refused->body, "{\"error\":\"too many pages open\"}");
    EXPECT_EQ(refused->header("retry-after"), "10");
    // A page closed: its place is taken at once, not at its next event.
    pages.pop_back();
    EXPECT_TRUE(test_support::wait_until(
        [&] {
            RawClient page(rig.port());
            return page.send(events_request) && page.wait_for("event: status", 500ms);
        },
        3000ms));
}

// A server of our own in this process, with small caps and timeouts.
struct SmallServer {
    explicit SmallServer(web::ServerLimits limits)
        : writer(nullptr, "", {.quiet = true}), server(live, writer, nullptr, "", limits) {
        const auto bound = server.bind("127.0.0.1", 0);
        port = bound ? *bound : -1;
        server.start();
    }
    ~SmallServer() { server.stop(); }
    web::LiveState live{std::nullopt};
    web::LogWriter writer;
    web::WebServer server;
    int port = -1;
};

// A full server takes room from the address that holds the most, its idlest
// connection first, and never from an address holding fewer: a newcomer
// from a crowding address takes the place of one of its own.
TEST(WebServer, AFullServerMakesRoomFromTheAddressHoldingTheMost) {
    SmallServer small({.connections = 6});
    ASSERT_GT(small.port, 0);
    std::vector<std::unique_ptr<RawClient>> crowd;
    for (int i = 0; i < 6; ++i) {
        crowd.push_back(std::make_unique<RawClient>(small.port, "127.0.0.2"));
        ASSERT_TRUE(crowd.back()->ask("/api/latest")) << i;
    }
    RawClient user(small.port, "127.0.0.5");
    ASSERT_TRUE(user.ask("/")) << "the user was not answered";
    EXPECT_NE(user.text().find(" 200 "), std::string::npos);
    EXPECT_TRUE(crowd[0]->closed_within(3000ms)) << "the idlest stayed";
    for (std::size_t i = 1; i < crowd.size(); ++i) EXPECT_TRUE(crowd[i]->ask("/api/latest")) << i;

    RawClient again(small.port, "127.0.0.2");
    ASSERT_TRUE(again.ask("/api/latest"));
    EXPECT_TRUE(crowd[1]->closed_within(3000ms)) << "the crowd's idlest stayed";
    EXPECT_TRUE(user.ask("/api/latest")) << "the user's connection was taken";
    for (std::size_t i = 2; i < crowd.size(); ++i) EXPECT_TRUE(crowd[i]->ask("/api/latest")) << i;
}

// Readings for 16 stations, fast enough to fill a small receive buffer.
void flood(web::LiveState& live, int batches) {
    for (int b = 0; b < batches; ++b) {
        for (int id = 0; id < 16; ++id)
            live.add({*web::StationId::from("station-" + std::to_string(id)),
                      {.received_ms = 1'700'000'000'000 + b * 1000, .wind = 3.0 + b % 5}});
        std::this_thread::sleep_for(25ms);
    }
}

// Live streams: a page from an address holding fewer takes a stream of the
// address holding the most, and never one of an address that holds as few;
// a stream whose client stops reading is closed once it took nothing for
// the stall timeout, while one that reads through the same flood stays.
TEST(WebServer, PagesShareTheLiveStreamsByAddressAndAStalledOneIsClosed) {
    SmallServer small({.live_streams = 2, .stall_timeout = 1000ms});
    ASSERT_GT(small.port, 0);
    RawClient first(small.port, "127.0.0.2");
    RawClient second(small.port, "127.0.0.2", 4096);
    for (RawClient* page : {&first, &second}) {
        ASSERT_TRUE(page->send(events_request));
        ASSERT_TRUE(page->wait_for("event: status", 3000ms));
    }
    const auto refused = [&](const char* source) {
        auto page = std::make_unique<RawClient>(small.port, source);
        return page->send(events_request) && page->wait_for(" 503 ", 3000ms);
    };
    EXPECT_TRUE(refused("127.0.0.2")) << "a third page of one address took a place";

    RawClient user(small.port, "127.0.0.5");
    ASSERT_TRUE(user.send(events_request));
    EXPECT_TRUE(user.wait_for("event: status", 3000ms)) << "the user's page was refused";
    // The one that drained longest ago gave its place: the first, which
    // read no event since.
    EXPECT_TRUE(first.closed_within(3000ms));
    EXPECT_TRUE(refused("127.0.0.3")) << "a page took a place from an address holding as few";

    // The second stops reading; the user's page reads on.
    std::thread feeder([&] { flood(small.live, 80); });
    bool live_again = test_support::wait_until(
        [&] {
            user.read(10ms);
            RawClient page(small.port, "127.0.0.2");
            return page.send(events_request) && page.wait_for("event: status", 300ms);
        },
        15000ms);
    feeder.join();
    EXPECT_TRUE(live_again) << "the stalled stream kept its place";
    const std::size_t before = user.text().size();
    EXPECT_TRUE(test_support::wait_until(
        [&] {
            return user.read(10ms) &&
                   user.text().find("event: status", before) != std::string::npos;
        },
        3000ms))
        << "the page that reads was closed";
}

// Under a flood the pages get each station's latest, in the order they came.
TEST(WebServer, ABatchOfReadingsGoesToThePagesAsEachStationsLatest) {
    const auto view = [](const char* id, std::int64_t t) {
        web::StationView v;
        v.id = *web::StationId::from(id);
        v.last.received_ms = t;
        return v;
    };
    const auto latest = web::LiveFeed::latest_of_each(
        {view("a", 1), view("b", 2), view("a", 3), view("c", 4), view("b", 5)});
    ASSERT_EQ(latest.size(), 3u);
    EXPECT_EQ(latest[0].last.received_ms, 3);
    EXPECT_EQ(latest[1].last.received_ms, 4);
    EXPECT_EQ(latest[2].last.received_ms, 5);
}

// The log's path is the server's business: told to its own machine only.
TEST(WebServer, TheLogPathIsToldOnLoopbackOnly) {
    web::LiveState live(std::nullopt);
    web::LogWriter writer(nullptr, "", {.quiet = true});
    const web::Routes routes(live, writer, nullptr, "/srv/wx/readings.db");
    EXPECT_NE(routes.latest(true).body.find("\"path\":\"/srv/wx/readings.db\""), std::string::npos);
    EXPECT_EQ(routes.latest(false).body.find("/srv/wx"), std::string::npos);
    const auto [local, remote] = routes.status_events();
    EXPECT_NE(local.find("/srv/wx"), std::string::npos);
    EXPECT_EQ(remote.find("/srv/wx"), std::string::npos);
}

}  // namespace
