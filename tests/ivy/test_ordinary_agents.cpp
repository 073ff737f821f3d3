// Agents of ground software bind hundreds of ordinary regexps. Whatever the
// machine, fast or slow, idle or busy (this test is also run with the agent
// under an emulated CPU), they stay on the bus and get every message that
// matches, in order: only counted bounds decide about a peer, and a peer
// whose matching takes long merely waits its turn.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "agent_harness.h"

namespace {

using std::chrono::milliseconds;

// 1024 regexps of the shapes ground software binds, each numbered as its
// messages are; the last takes the relay's WEATHER.
std::vector<std::string> ordinary_regexps() {
    const char* const shapes[] = {
        "^(\\S*) (\\S*) MSG_NAME%d (\\S*) (\\S*) (\\S*) ([0-9.,-]*)$",
        "^ground NAV_STATUS%d (\\S*) (\\S*) (\\S*) (\\S*)$",
        "^(\\S*) ENGINE_STATUS%d ([0-9]+) ([0-9.-]+),([0-9.-]+)$",
        "^(\\S+) DL_VALUE%d ([^ ]*) (.*)$",
    };
    std::vector<std::string> regexps;
    for (int i = 0; i < 1023; ++i) {
        char text[128];
        std::snprintf(text, sizeof text, shapes[i % 4], i);
        regexps.emplace_back(text);
    }
    regexps.emplace_back("^(\\S+) WEATHER (\\S+) (\\S+) (\\S+) (\\S+)$");
    return regexps;
}

TEST(OrdinaryAgents, AThousandRegexpsStayOnTheBusAndGetEveryMessage) {
    const int bus_port = test_support::random_bus_port();
    harness::BusSocket bus(bus_port);
    harness::Agent agent({bus_port, "GROUND", std::nullopt, {}}, bus);
    ASSERT_NE(agent.tcp_port(), 0) << agent.child().describe();
    // Peers connect in the order of their ids: their handshakes list the
    // regexps newest first, so they are matched from the WEATHER down.
    std::vector<std::unique_ptr<harness::RawPeer>> peers;
    for (const char* name : {"NAV", "DISPLAY"}) {
        peers.push_back(agent.connect_peer(name, ordinary_regexps()));
        ASSERT_TRUE(peers.back());
        peers.back()->send("9 1\x02\n");  // answered once every binding is taken
        // The agent reports each binding on its standard output, which
        // must be read meanwhile or it would block on a full pipe.
        EXPECT_TRUE(test_support::wait_until(
            [&] {
                agent.child().out();
                return peers.back()->read_line(milliseconds(10)) == "10 1\x02\n";
            },
            milliseconds(30000)))
            << agent.child().describe();
    }
    std::vector<std::string> expected;
    for (int k = 0; k < 40; ++k) {
        const std::string n = std::to_string(k);
        const int nav = 4 * k + 1;  // a NAV_STATUS binding
        agent.command("send 1 WEATHER 1015" + n + " 22.5 4.4 180.0", "sent");
        agent.command("send ground NAV_STATUS" + std::to_string(nav) + " a" + n + " b c d", "sent");
        agent.command("send ground NAV_STATUS9999 not bound", "sent");
        expected.push_back(
            "2 1023\x02"
            "1\x03"
            "1015" +
            n +
            "\x03"
            "22.5\x03"
            "4.4\x03"
            "180.0\x03\n");
        expected.push_back("2 " + std::to_string(nav) + "\x02" + "a" + n + "\x03" + "b\x03" +
                           "c\x03" + "d\x03\n");
    }
    for (auto& peer : peers) {
        for (const std::string& line : expected) {
            ASSERT_EQ(peer->read_line(milliseconds(20000)), line) << agent.child().describe();
        }
        peer->send("9 2\x02\n");
        EXPECT_EQ(peer->read_line(), "10 2\x02\n");
    }
    EXPECT_EQ(agent.child().count_err("disconnect"), 0) << agent.child().describe();
}

}  // namespace
