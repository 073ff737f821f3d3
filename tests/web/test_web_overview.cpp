// The overview of an operations centre, end to end: anemobus-web fed by
// Debian's mosquitto (started by the test) with three sites, one calm, one
// over the limit, one silent, and by its own bus; headless Chromium
// (browser/overview.test.mjs) then reads every station's state off
// /overview and opens north/1 by its link.
#include <filesystem>
#include <sstream>

#include <gtest/gtest.h>

#include "broker_rig.h"
#include "payload.h"
#include "wall_clock.h"
#include "web_rig.h"

namespace {

using namespace std::chrono_literals;
using mqtt_test::TestBroker;
using test_support::Child;
using web_test::WebRig;

using tools::now_ms;

// A site's readings a minute apart, the last at `last_ms`: a station's
// period is the spacing of its readings, so these stay current for three
// minutes after the last, without a publisher kept running.
void publish_minutes(const TestBroker& broker, const std::string& site, std::int64_t last_ms,
                     double wind) {
    std::string lines;
    for (int i = 3; i >= 0; --i) {
        mqtt::append_weather_payload(lines, {last_ms - i * 60'000, 101325, 12, wind, 225});
        lines += '\n';
    }
    Child pub("/usr/bin/mosquitto_pub", {"-h", "127.0.0.1", "-p", std::to_string(broker.port()),
                                         "-u", "bridge", "-P", mqtt_test::bridge_user.password,
                                         "-q", "1", "-t", "anemobus/" + site + "/1/weather", "-l"});
    pub.write_stdin(lines);
    pub.close_stdin();
    EXPECT_EQ(pub.wait_exit(10000ms), 0) << pub.describe();
}

TEST(WebOverview, ThreeSitesAndTheBusEachWithItsStateAndNorthByItsLink) {
    const std::string node = ANEMOBUS_NODE;
    if (node.empty()) GTEST_SKIP() << "no node";
    TestBroker broker;
    ASSERT_TRUE(broker.start()) << broker.describe();
    // The bus's station 1 comes under the relay's name, as from the relay.
    WebRig page(
        broker.dir() + "/ops.db",
        broker.with_login(mqtt_test::reader_user, {"--broker", broker.url(), "--wind-limit", "10"}),
        "anemobus");
    ASSERT_TRUE(page.web().wait_err("connected to mqtt://", 10000ms)) << page.web().describe();
    ASSERT_TRUE(page.connected()) << page.describe();

    const std::int64_t now = now_ms();
    publish_minutes(broker, "north", now, 2);
    publish_minutes(broker, "south", now, 15);
    publish_minutes(broker, "west", now - 10 * 60'000, 3);
    for (const char* id : {"north/1", "south/1", "west/1"})
        ASSERT_TRUE(page.wait_get("/api/latest", std::string("{\"id\":\"") + id + "\""))
            << id << page.get("/api/latest");

    // Station 1 of the bus sends while the browser looks.
    Child browser(node, {ANEMOBUS_OVERVIEW_SCRIPT, "--url",
                         "http://127.0.0.1:" + std::to_string(page.port()) + "/", "--out",
                         std::filesystem::current_path().string()});
    std::optional<int> status;
    for (int i = 0; i < 240 && !status; ++i) {
        page.send("1 WEATHER 101325 15 3 90");
        status = browser.wait_exit(500ms);
    }
    if (status == 77) GTEST_SKIP() << browser.describe();
    EXPECT_EQ(status, 0) << browser.describe() << page.describe();
}

}  // namespace
