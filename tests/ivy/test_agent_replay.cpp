// Our agent against the recorded traffic of classic agents: a scripted peer
// plays one side of a recording, our agent does what the other side did, and
// what our agent sends must be the recorded bytes (TCP ports aside).
#include <gtest/gtest.h>

#include "agent_harness.h"

namespace {

using harness::capture_frames;
using harness::show;
using harness::without_ports;
using std::chrono::milliseconds;

const std::string weather1 = "1 WEATHER 101591.656250 22.500000 4.470400 180.000000";
const std::string weather2 = "2 WEATHER 101590.000000 22.600000 3.100000 175.500000";

std::vector<std::string> read_lines(harness::RawPeer& peer, std::size_t count) {
    std::vector<std::string> lines;
    while (lines.size() < count) {
        auto line = peer.read_line();
        if (!line) break;
        lines.push_back(*line);
    }
    return without_ports(lines);
}

// s01, our agent in WXRELAY's place: accepted handshake, ready message only
// after the peer's EndRegexp, two Msgs, two texts nobody wants.
TEST(AgentReplay, S01RelaySideSendsTheRecordedFrames) {
    const int bus_port = test_support::random_bus_port();
    harness::BusSocket bus(bus_port);
    harness::Agent relay({bus_port, "WXRELAY", "WXRELAY Ready", {}}, bus);
    ASSERT_NE(relay.tcp_port(), 0) << relay.child().describe();
    const auto expected = capture_frames("s01-handshake-weather/WXRELAY-to-WXMON.txt");
    auto mon = harness::RawPeer::connect_to(relay.tcp_port());
    ASSERT_TRUE(mon);
    mon->send(harness::replay_stream(capture_frames("s01-handshake-weather/WXMON-to-WXRELAY.txt"),
                                     mon->local_port()));
    ASSERT_TRUE(relay.wait_out("connected WXMON"));

    EXPECT_EQ(relay.command("send " + weather1 + "\\n", "sent"), "sent 1");
    EXPECT_EQ(relay.command("send " + weather2, "sent"), "sent 1");
    EXPECT_EQ(relay.command("send hello world", "sent"), "sent 0");
    EXPECT_EQ(relay.command("send 1 weather 101591.656250", "sent"), "sent 0");
    const auto got = read_lines(*mon, expected.size());
    EXPECT_EQ(got, expected) << "got:\n" << show(got) << "expected:\n" << show(expected);
    EXPECT_TRUE(mon->stays_silent(milliseconds(100)));
}

// s01, our agent in WXMON's place: it hears WXRELAY's announcement, connects,
// sends its handshake (newest binding first) and gets the Msgs.
TEST(AgentReplay, S01MonitorSideConnectsAndReceives) {
    const int bus_port = test_support::random_bus_port();
    harness::BusSocket bus(bus_port);
    harness::Agent mon(
        {bus_port, "WXMON", std::nullopt, {"^(\\\\S+) WEATHER (.*)", "^(\\\\S+) Ready$"}}, bus);
    harness::RawListener listener;
    bus.broadcast("3 " + std::to_string(listener.port()) + " 1:2:3 WXRELAY\n");
    auto relay = listener.accept();
    ASSERT_TRUE(relay) << mon.child().describe();
    const auto expected = capture_frames("s01-handshake-weather/WXMON-to-WXRELAY.txt");
    const auto got = read_lines(*relay, expected.size());
    EXPECT_EQ(got, expected) << "got:\n" << show(got) << "expected:\n" << show(expected);

    relay->send(harness::replay_stream(capture_frames("s01-handshake-weather/WXRELAY-to-WXMON.txt"),
                                       listener.port()));
    EXPECT_TRUE(mon.wait_out("connected WXRELAY\n"));
    EXPECT_TRUE(mon.wait_out("msg 1 WXRELAY 1 'WXRELAY'\n"));
    EXPECT_TRUE(mon.wait_out("msg 0 WXRELAY 2 '1' '101591.656250 22.500000 4.470400 180.000000'"));
    EXPECT_TRUE(mon.wait_out("msg 0 WXRELAY 2 '2' '101590.000000 22.600000 3.100000 175.500000'"))
        << mon.child().describe();
}

// s04, our agent in SRC's place: MON's eleven regexps, the Msg of every
// texts in the recorded order; the bad regexp answered with Error (PCRE2's
// message is worded differently: only the id and the start are compared).
TEST(AgentReplay, S04MatchingAndMsgOrder) {
    const int bus_port = test_support::random_bus_port();
    harness::BusSocket bus(bus_port);
    harness::Agent src({bus_port, "SRC", std::nullopt, {}}, bus);
    auto expected = capture_frames("s04-regexp-matching/SRC-to-MON.txt");
    const auto mon_frames = capture_frames("s04-regexp-matching/MON-to-SRC.txt");
    auto mon = harness::RawPeer::connect_to(src.tcp_port());
    ASSERT_TRUE(mon);
    // Up to EndRegexp.
    mon->send(
        harness::replay_stream({mon_frames.begin(), mon_frames.begin() + 13}, mon->local_port()));
    ASSERT_TRUE(src.wait_out("connected MON"));

    const std::vector<std::string> texts = {weather1,      "opt",
                                            "opta",        "optb",
                                            "optc",        "optac",
                                            "hello world", "",
                                            "xxx",         "CASE Foo",
                                            "ETX a\\x03b", "bc",
                                            "ac",          "1 weather 101591.656250 22.500000"};
    for (const auto& text : texts) src.command("send " + text, "sent");
    mon->send(mon_frames[13]);  // 4 0: unbind WEATHER
    ASSERT_TRUE(src.wait_out("bindev MON 0 remove"));
    src.command("send " + weather2, "sent");
    mon->send(mon_frames[14]);  // 1 11: a late binding, served last
    ASSERT_TRUE(src.wait_out("bindev MON 11 add"));
    src.command("send 3 WEATHER 101589.500000 22.700000 0.000000 0.000000", "sent");

    auto got = read_lines(*mon, expected.size());
    ASSERT_EQ(got.size(), expected.size()) << show(got);
    EXPECT_EQ(got[2].rfind("3 1\x02"
                           "Error compiling '(', missing",
                           0),
              0u)
        << show({got[2]});
    got[2] = expected[2];
    EXPECT_EQ(got, expected) << "got:\n" << show(got) << "expected:\n" << show(expected);
}

// s06, our agent in WXRELAY's place, texts ending with a line feed. MON gets
// the recorded bytes. MON2's [^ ]* would have swallowed that line feed with
// a classic sender and lost the connection; ours removes it before matching,
// so MON2 gets a clean Msg and stays connected.
TEST(AgentReplay, S06TrailingLineFeedNeverReachesTheWire) {
    const int bus_port = test_support::random_bus_port();
    harness::BusSocket bus(bus_port);
    harness::Agent relay({bus_port, "WXRELAY", "READY", {}}, bus);
    auto mon = relay.connect_peer("MON", {"(.*)", "^(\\S+) WEATHER (.*)", "^(\\S+) ALIVE (.*)$"});
    auto mon2 = relay.connect_peer("MON2", {"^(\\S+) ALIVE ([^ ]*)$"});
    ASSERT_TRUE(relay.wait_out("connected MON\n"));
    ASSERT_TRUE(relay.wait_out("connected MON2\n"));
    const std::string alive = "1 ALIVE 0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0";
    relay.command("send " + weather1 + "\\n", "sent");
    relay.command("send " + alive + "\\n", "sent");
    relay.command("send 1 WEATHER 101590.000000 22.600000 3.100000 175.500000\\n", "sent");

    const auto expected = capture_frames("s06-trailing-newline/WXRELAY-to-MON.txt");
    const auto got = read_lines(*mon, expected.size());
    EXPECT_EQ(got, expected) << "got:\n" << show(got) << "expected:\n" << show(expected);
    const std::vector<std::string> expected2 = {"6 <port>\x02WXRELAY\n", "5 0\x02\n",
                                                "2 0\x02"
                                                "1\x03"
                                                "0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0\x03\n"};
    EXPECT_EQ(read_lines(*mon2, 3), expected2);
    mon2->send("9 5\x02\n");
    EXPECT_EQ(mon2->read_line(), "10 5\x02\n");
}

}  // namespace
