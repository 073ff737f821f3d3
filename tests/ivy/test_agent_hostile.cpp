// Peers that misbehave, on purpose or not: r01's odd lines answered as
// classic agents answer them (or better, where noted), and hostile peers
// that must each leave the agent serving a well-behaved peer.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include <algorithm>

#include "agent_harness.h"

namespace {

using harness::show;
using std::chrono::milliseconds;

class Hostile : public ::testing::Test {
protected:
    void SetUp() override {
        agent_ = std::make_unique<harness::Agent>(
            harness::AgentOptions{bus_port_, "IVYC", "IVYC Ready", {"^(\\\\S+) WEATHER (.*)"}},
            bus_);
        ASSERT_NE(agent_->tcp_port(), 0) << agent_->child().describe();
    }
    // A good peer is still served: handshake, Msg, Pong.
    void expect_still_serving() {
        auto good = agent_->connect_peer("GOOD", {"^good (.*)"});
        ASSERT_TRUE(good);
        good->read_until("5 0\x02\n");
        ASSERT_TRUE(agent_->wait_out("connected GOOD\n")) << agent_->child().describe();
        EXPECT_EQ(agent_->command("send good news", "sent"), "sent 1");
        EXPECT_EQ(good->read_line(), "2 0\x02news\x03\n");
        good->send("9 1\x02\n");
        EXPECT_EQ(good->read_line(), "10 1\x02\n");
    }
    std::unique_ptr<harness::RawPeer> peer(const std::string& name,
                                           const std::vector<std::string>& regexps = {}) {
        const std::string connected = "connected " + name + "\n";
        const int before = agent_->child().count_out(connected);
        auto p = agent_->connect_peer(name, regexps);
        p->read_until("5 0\x02\n");
        // Our handshake's end can come before the agent has read all of the
        // peer's: a send before it is matched against only some of them.
        if (!regexps.empty()) {
            EXPECT_TRUE(test_support::wait_until(
                [&] { return agent_->child().count_out(connected) > before; }, milliseconds(3000)))
                << agent_->child().describe();
        }
        return p;
    }

    int bus_port_ = test_support::random_bus_port();
    harness::BusSocket bus_{bus_port_};
    std::unique_ptr<harness::Agent> agent_;
};

struct OddLine {
    const char* test;      // r01 file pair
    bool closes;           // the agent hangs up after its answer
    const char* callback;  // expected on the agent's stdout, or ""
};

// Our agent as IVYC: every recorded answer byte for byte, and the same
// fields handed to the application.
TEST_F(Hostile, R01OddLinesGetTheRecordedAnswers) {
    const OddLine cases[] = {
        {"NO-STX", true, ""},
        {"NOT-NUMBERS", true, ""},
        {"ONE-NUMBER", true, ""},
        {"UNKNOWN-TYPE", false, ""},
        {"UNKNOWN-ID", false, ""},
        {"CRLF", false, "msg 0 T-CRLF 3 '1' 'WX' '\\x0d'\n"},
        {"SPACES", false, "msg 0 T-SPACES 2 'a' 'b'\n"},
        {"NUL", false, "msg 0 T-NUL 1 'a'\n"},
        {"LONG", false, "msg 0 T-LONG 1 'LLLLLLLL"},
        {"ERROR", false, ""},
        {"DELREGEXP-UNKNOWN", false, ""},
        {"DIRECT", false, "direct T-DIRECT 42 'direct text'\n"},
        {"PING", false, ""},
        {"READY-MATCH", false, ""},
        {"BYE", true, "disconnected T-BYE\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.test);
        const std::string dir = "r01-odd-lines/";
        auto ours = harness::RawPeer::connect_to(agent_->tcp_port());
        ours->send(harness::replay_stream(
            harness::capture_frames(dir + "T-" + c.test + "-to-IVYC.txt"), ours->local_port()));
        const auto expected = harness::capture_frames(dir + "IVYC-to-T-" + c.test + ".txt");
        std::vector<std::string> got;
        for (std::size_t i = 0; i < expected.size(); ++i) {
            auto line = ours->read_line();
            if (!line) break;
            got.push_back(*line);
        }
        EXPECT_EQ(harness::without_ports(got), expected) << "got:\n" << show(got);
        if (c.closes) {
            EXPECT_TRUE(ours->wait_closed(milliseconds(3000)));
        } else {
            EXPECT_TRUE(ours->stays_silent(milliseconds(50)));
        }
        if (*c.callback != '\0') {
            EXPECT_TRUE(agent_->wait_out(c.callback));
        }
    }
    EXPECT_TRUE(agent_->child().wait_err("reports error 5: 'some error text'", milliseconds(500)));
    expect_still_serving();
}

// Where we part from classic agents: an empty line is no fault, and an
// AddRegexp reusing an id replaces that id's regexp instead of adding one.
TEST_F(Hostile, EmptyLineAndReusedIdKeepTheConnection) {
    auto p = peer("T", {"^A (.*)"});
    p->send("\n\n1 0\x02^B (.*)\n9 77\x02\n");
    EXPECT_EQ(p->read_line(), "10 77\x02\n");
    EXPECT_EQ(agent_->command("send A one", "sent"), "sent 0");
    EXPECT_EQ(agent_->command("send B two", "sent"), "sent 1");
    EXPECT_EQ(p->read_line(), "2 0\x02two\x03\n");
    p.reset();  // classic agents crashed right here
    EXPECT_TRUE(agent_->wait_out("disconnected T\n"));
    expect_still_serving();
}

TEST_F(Hostile, GarbageGetsErrorByeAndClose) {
    auto p = peer("GARBAGE");
    p->send("\x01\xff\xfe garbage \x02\x03 \x80\n");
    EXPECT_EQ(p->read_line(),
              "3 3\x02"
              "bad format request expected 'type id ...'\n");
    EXPECT_EQ(p->read_line(), "0 0\x02\n");
    EXPECT_TRUE(p->wait_closed(milliseconds(3000)));
    EXPECT_TRUE(agent_->child().wait_err("malformed line from GARBAGE", milliseconds(500)));
    expect_still_serving();
}

// An over-long line is skipped (and reported); the stream is still sound,
// so the connection stays.
TEST_F(Hostile, OverlongLineIsSkippedAndTheConnectionKept) {
    auto p = peer("LONG");
    p->send("2 0\x02" + std::string(1100 * 1024, 'L'));
    p->send("\x03\n9 1\x02\n");
    EXPECT_EQ(p->read_line(milliseconds(5000)), "10 1\x02\n");
    EXPECT_TRUE(agent_->child().wait_err("longer than", milliseconds(1000)));
    EXPECT_EQ(agent_->child().count_out("msg "), 0);
}

TEST_F(Hostile, FieldAndBindingBoundsAnsweredNotObeyed) {
    auto p = peer("BOUNDS");
    std::string fields;
    for (int i = 0; i < 120; ++i) fields += "f\x03";
    p->send("2 0\x02" + fields + "\n");       // 120: delivered
    p->send("2 0\x02" + fields + "g\x03\n");  // 121: dropped
    ASSERT_TRUE(agent_->wait_out("msg 0 BOUNDS 120 "));
    EXPECT_TRUE(agent_->child().wait_err("more than 120 fields", milliseconds(1000)));
    EXPECT_EQ(agent_->child().count_out("msg 0 BOUNDS"), 1);

    std::string binds;
    for (int i = 0; i <= 1024; ++i)
        binds += "1 " + std::to_string(i) + "\x02^x" + std::to_string(i) + "$\n";
    p->send(binds);
    EXPECT_EQ(p->read_line(), "3 1024\x02Too many regexps: this one is ignored\n");
    // A thousand bindings may wait their turn to be matched (on a slow
    // machine): their Msgs come in order, so x1024's would come before.
    agent_->command("send x1024", "sent");
    agent_->command("send x1023", "sent");
    EXPECT_EQ(p->read_line(milliseconds(10000)), "2 1023\x02\n");
    expect_still_serving();
}

// A regexp that backtracks for ever gives up at PCRE2's limits: no Msg, one
// report, and the send returns at once.
TEST_F(Hostile, CatastrophicRegexpCannotStallASend) {
    auto p = peer("EVIL", {"^(a|a?)+$", "^(a+\\s?)*$"});
    const std::string text(40, 'a');
    EXPECT_EQ(agent_->command("send " + text + "!", "sent"), "sent 0");
    EXPECT_EQ(agent_->command("send " + text + "!", "sent"), "sent 0");
    // Once per binding, however late the reports are read.
    EXPECT_TRUE(test_support::wait_until(
        [&] { return agent_->child().count_err("matching limits") >= 2; }, milliseconds(3000)));
    EXPECT_EQ(agent_->child().count_err("matching limits"), 2) << agent_->child().describe();
    expect_still_serving();
}

// A peer that stops reading: its queue fills, the application hears
// FifoFull and the peer is dropped; no other peer is held up or gets a torn
// line.
TEST_F(Hostile, PeerThatNeverReadsIsDroppedWholeLinesOnly) {
    auto slow = peer("SLOW", {"^(FLOOD .*)"});
    auto good = peer("GOOD", {"^FLOOD (\\d+) "});
    ASSERT_TRUE(agent_->wait_out("connected GOOD\n"));
    const std::string reply = agent_->command("flood 400 65536", "flooded");
    EXPECT_TRUE(agent_->wait_out("fifofull SLOW\n", milliseconds(5000)))
        << agent_->child().describe();
    EXPECT_TRUE(agent_->wait_out("disconnected SLOW\n"));
    EXPECT_LT(std::stoi(reply.substr(8)), 800);  // SLOW's later copies were not queued
    for (int i = 0; i < 400; ++i) {
        ASSERT_EQ(good->read_line(), "2 0\x02" + std::to_string(i) + "\x03\n");
    }
    std::vector<std::string> seen;
    EXPECT_TRUE(slow->wait_closed(milliseconds(5000), &seen));
    for (const auto& line : seen)
        ASSERT_EQ(line.rfind("2 0\x02"
                             "FLOOD ",
                             0),
                  0u);
    expect_still_serving();
}

// More connections than the agent takes: the extra ones are closed at once,
// and a peer connected before is served throughout.
TEST_F(Hostile, FloodOfConnections) {
    auto before = peer("BEFORE", {"^before (.*)"});
    std::vector<std::unique_ptr<harness::RawPeer>> flood;
    for (int i = 0; i < 300; ++i) flood.push_back(harness::RawPeer::connect_to(agent_->tcp_port()));
    EXPECT_EQ(agent_->command("send before x", "sent"), "sent 1");
    EXPECT_EQ(before->read_line(), "2 0\x02x\x03\n");
    EXPECT_TRUE(agent_->child().wait_err("connection refused", milliseconds(3000)));
    flood.clear();
    // The agent frees their places as it sees them go; a newcomer is then
    // taken (a refused one is closed at once, without a handshake).
    EXPECT_TRUE(test_support::wait_until(
        [&] {
            auto probe = harness::RawPeer::connect_to(agent_->tcp_port());
            return probe && probe->read_line(milliseconds(200)).has_value();
        },
        milliseconds(5000)));
    expect_still_serving();
}

// A capture holding a line feed would break the peer's stream: that Msg is
// not sent (reported once per binding); a clean capture of the same text is.
TEST_F(Hostile, CaptureWithLineFeedIsNeverSent) {
    auto p = peer("ML", {"^ML1 (.*)", "(?s)^ML2 (.*)$"});
    EXPECT_EQ(agent_->command("send ML1 first\\nsecond", "sent"), "sent 1");
    EXPECT_EQ(p->read_line(),
              "2 0\x02"
              "first\x03\n");
    EXPECT_EQ(agent_->command("send ML2 first\\nsecond", "sent"), "sent 0");
    EXPECT_EQ(agent_->command("send ML2 first\\x0dsecond", "sent"), "sent 0");
    p->send("9 3\x02\n");
    EXPECT_EQ(p->read_line(), "10 3\x02\n");
    EXPECT_EQ(agent_->child().count_err("carriage return"), 1);
}

// A peer whose regexps hit PCRE2's limits again and again is a bomber: let
// go with an Error after a fixed number of them, on any machine; the send
// still returns and everyone else is served.
TEST_F(Hostile, BomberIsDisconnectedAfterSoManyLimitHits) {
    std::vector<std::string> bombs;
    for (int i = 0; i < 64; ++i) bombs.push_back("^(.+)+1$(?#" + std::to_string(i) + ")");
    auto evil = peer("EVIL", bombs);
    // All 64 taken (the last one comes first in the handshake: id 0 is last).
    ASSERT_TRUE(agent_->wait_out("bindev EVIL 0 add", milliseconds(10000)))
        << agent_->child().describe();
    EXPECT_EQ(agent_->command("send 1 WEATHER 101591.6 22.5 4.4 180.0", "sent"), "sent 0");
    std::vector<std::string> seen;
    EXPECT_TRUE(evil->wait_closed(milliseconds(10000), &seen));
    EXPECT_EQ(std::count_if(seen.begin(), seen.end(),
                            [](const std::string& line) {
                                return line.find("Regexp hit the matching limits") !=
                                       std::string::npos;
                            }),
              17);
    EXPECT_NE(std::find(seen.begin(), seen.end(),
                        "3 0\x02Your regexps hit the matching limits too often: disconnected\n"),
              seen.end());
    EXPECT_TRUE(
        agent_->child().wait_err("17 regexps of EVIL hit the matching limits", milliseconds(1000)))
        << agent_->child().describe();
    expect_still_serving();
}

// A peer whose regexps cost more than a send may spend on it, within
// PCRE2's limits, waits its turn: it still gets every Msg, in order, and is
// not let go; a cheap peer meanwhile gets each one within its send.
TEST_F(Hostile, CostlyPeerWaitsItsTurnAndGetsEveryMessageInOrder) {
    std::vector<std::string> costly_regexps;
    for (int i = 0; i < 1023; ++i) {
        costly_regexps.push_back("(*NO_START_OPT)^(?:.*\\d){3}x(?#" + std::to_string(i) + ")");
    }
    costly_regexps.push_back("^seq (\\d+)$");
    auto costly = peer("COSTLY", costly_regexps);
    auto cheap = peer("CHEAP", {"^seq (\\d+)$"});
    ASSERT_TRUE(agent_->wait_out("connected CHEAP\n"));
    for (int i = 0; i < 20; ++i) {
        const std::string n = std::to_string(i);
        // About 20 us a regexp here: 20 ms for the costly peer, alone.
        agent_->command("send 1 WEATHER 101591.656250 22.500000 4.470400 180.000000", "sent");
        agent_->command("send seq " + n, "sent");
        EXPECT_EQ(cheap->read_line(), "2 0\x02" + n + "\x03\n");
    }
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(costly->read_line(milliseconds(20000)),
                  "2 1023\x02" + std::to_string(i) + "\x03\n")
            << agent_->child().describe();
    }
    costly->send("9 1\x02\n");
    EXPECT_EQ(costly->read_line(), "10 1\x02\n");
    EXPECT_EQ(agent_->child().count_err("disconnect"), 0) << agent_->child().describe();
}

// A regexp over a bound, or one that does not compile, is answered with an
// Error and not kept; the peer's good bindings are served as before.
TEST_F(Hostile, RegexpsOverTheBoundsAreRefusedAndNotKept) {
    auto p = peer("BIG", {"^big good (.*)"});
    p->send("1 1\x02^big (.*)" + std::string(5000, 'x') + "\n");
    EXPECT_EQ(p->read_line(), "3 1\x02Regexp longer than 4096 bytes: ignored\n");
    p->send("1 2\x02^bad (\n");
    EXPECT_EQ(p->read_line(),
              "3 6\x02"
              "Error compiling '^bad (', missing closing parenthesis\n");
    // 64 texts of 4 KiB are all a peer may bind: the 65th is refused.
    std::string texts;
    for (int i = 0; i < 64; ++i) {
        texts += "1 " + std::to_string(10 + i) + "\x02^t" + std::to_string(i) + " " +
                 std::string(4096 - 4 - std::to_string(i).size() - 6, 'y') + "(.*)\n";
    }
    p->send(texts + "1 99\x02^more (.*)" + std::string(400, 'z') + "\n9 1\x02\n");
    EXPECT_EQ(p->read_line(milliseconds(10000)),
              "3 99\x02Your regexps are longer than 262144 bytes together: this one is ignored\n")
        << agent_->child().describe();
    EXPECT_EQ(p->read_line(), "10 1\x02\n");
    EXPECT_EQ(agent_->command("send big one", "sent"), "sent 0");
    EXPECT_EQ(agent_->command("send bad (", "sent"), "sent 0");
    EXPECT_EQ(agent_->command("send more " + std::string(400, 'z'), "sent"), "sent 0");
    EXPECT_EQ(agent_->command("send big good news", "sent"), "sent 1");
    EXPECT_EQ(p->read_line(), "2 0\x02news\x03\n");
    EXPECT_TRUE(agent_->child().wait_err("longer than a regexp may be", milliseconds(1000)));
    expect_still_serving();
}

// Compiling takes turns: a storm of costly texts, refused past the peer's
// memory bound once compiled, only waits for its turns; the peer is not let
// go for the time it takes (that would depend on the machine). How late the
// others are served meanwhile is bench_hostile's to measure.
TEST_F(Hostile, CompileStormWaitsItsTurnsAndIsNotDisconnected) {
    auto p = peer("SLOWCOMPILE");
    // Each takes about 2.5 ms to compile (JIT), and 260 KiB: past the
    // peer's memory bound from the sixteenth on.
    std::string heavy;
    for (int i = 0; i < 1333; ++i) heavy += ".*a";
    std::string texts;
    for (int i = 0; i < 40; ++i) {
        texts += "1 " + std::to_string(i) + "\x02" + heavy + "(?#" + std::to_string(i) + ")\n";
    }
    p->send(texts + "9 1\x02\n");
    int refused = 0;
    for (;;) {
        const auto line = p->read_line(milliseconds(30000));
        ASSERT_TRUE(line) << agent_->child().describe();
        if (*line == "10 1\x02\n") break;
        refused += line->find("once compiled: this one is ignored") != std::string::npos;
    }
    EXPECT_GT(refused, 0);
    EXPECT_LT(refused, 40);
    expect_still_serving();
    p->send("9 2\x02\n");
    EXPECT_EQ(p->read_line(), "10 2\x02\n");
}

// Reports are rate-limited per kind: a flood of one fault does not hide
// another, least of all the Die that ends the agent.
TEST_F(Hostile, FloodOfOneReportDoesNotHideTheDie) {
    auto p = peer("FLOODER");
    std::string fields;
    for (int i = 0; i < 121; ++i) fields += "f\x03";
    std::string lines;
    for (int i = 0; i < 100; ++i) lines += "2 0\x02" + fields + "\n";
    p->send(lines + "8 0\x02\n");
    EXPECT_TRUE(agent_->child().wait_err("Die from FLOODER", milliseconds(3000)))
        << agent_->child().describe();
    EXPECT_LE(agent_->child().count_err("more than 120 fields"), 21);
}

// Peers that stop reading while messages pile up for them: past the bound on
// what all peers hold together, the one holding the most goes first, and a
// peer that reads gets every message whole.
TEST_F(Hostile, CrowdHoldingTooMuchMemoryLosesItsLargestFirst) {
    std::vector<std::unique_ptr<harness::RawPeer>> crowd;
    for (int i = 0; i < 24; ++i) {
        crowd.push_back(peer("STILL" + std::to_string(i), {"^(FLOOD .*)"}));
        const int tiny = 4096;
        ::setsockopt(crowd.back()->fd(), SOL_SOCKET, SO_RCVBUF, &tiny, sizeof tiny);
    }
    auto good = peer("GOOD", {"^FLOOD (\\d+) "});
    ASSERT_TRUE(agent_->wait_out("connected GOOD\n"));
    // 100 x 64 KiB for each of 24 peers, 150 MiB were nobody let go; the
    // kernel takes a little of it, each peer's own bound (4 MiB) the rest.
    agent_->command("flood 100 65536", "flooded");
    for (int i = 0; i < 100; ++i) {
        ASSERT_EQ(good->read_line(), "2 0\x02" + std::to_string(i) + "\x03\n")
            << agent_->child().describe();
    }
    EXPECT_TRUE(agent_->child().wait_err("the most of all peers", milliseconds(3000)))
        << agent_->child().describe();
    expect_still_serving();
}

// A burst queued in one handler, far beyond what the socket takes at once,
// reaches a peer that reads late whole and in order, and so does a second
// burst queued while the first is still being written.
TEST_F(Hostile, CoalescedBurstsStayWholeAndInOrderForASlowReader) {
    auto slow = peer("SLOW", {"^FLOOD (\\d+) (x*)$"});
    EXPECT_EQ(agent_->command("flood 3500 1000", "flooded"), "flooded 3500");
    EXPECT_EQ(agent_->command("flood 3 10", "flooded"), "flooded 3");
    const std::string big(1000, 'x');
    for (int i = 0; i < 3500; ++i) {
        ASSERT_EQ(slow->read_line(), "2 0\x02" + std::to_string(i) + "\x03" + big + "\x03\n");
    }
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(slow->read_line(), "2 0\x02" + std::to_string(i) + "\x03xxxxxxxxxx\x03\n");
    }
    expect_still_serving();
}

}  // namespace
