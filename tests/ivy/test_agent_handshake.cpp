// One agent and scripted peers: the handshake, bindings made and dropped at
// any time on either side, the ready message, Ping, DirectMsg, Bye and Die.
#include <gtest/gtest.h>

#include "agent_harness.h"

namespace {

using std::chrono::milliseconds;

class AgentSession : public ::testing::Test {
protected:
    void start(std::optional<std::string> ready = std::nullopt,
               std::vector<std::string> regexps = {}, std::vector<std::string> flags = {}) {
        agent_ = std::make_unique<harness::Agent>(
            harness::AgentOptions{bus_port_, "AG", std::move(ready), std::move(regexps),
                                  std::move(flags)},
            bus_);
        ASSERT_NE(agent_->tcp_port(), 0) << agent_->child().describe();
    }
    // A peer connected with its handshake sent, ours read up to EndRegexp.
    std::unique_ptr<harness::RawPeer> peer(const std::string& name,
                                           const std::vector<std::string>& regexps = {}) {
        auto p = agent_->connect_peer(name, regexps);
        EXPECT_TRUE(p);
        if (!p) return p;
        const auto handshake = p->read_until("5 0\x02\n");
        EXPECT_EQ(handshake.front(), "6 " + std::to_string(agent_->tcp_port()) +
                                         "\x02"
                                         "AG\n");
        EXPECT_TRUE(agent_->wait_out("connected " + name + "\n")) << agent_->child().describe();
        return p;
    }

    int bus_port_ = test_support::random_bus_port();
    harness::BusSocket bus_{bus_port_};
    std::unique_ptr<harness::Agent> agent_;
};

TEST_F(AgentSession, BindingsComeAndGoOnBothSides) {
    start();
    auto p = peer("P");
    // Ours, after the handshake: AddRegexp; a change is an unbind and a new id.
    agent_->command("bind ^STATUS (\\\\S+)$", "bound");
    EXPECT_EQ(p->read_line(), "1 0\x02^STATUS (\\S+)$\n");
    p->send("2 0\x02ok\x03\n");
    EXPECT_TRUE(agent_->wait_out("msg 0 P 1 'ok'\n"));
    agent_->command("change 0 ^STATE (\\\\S+)$", "changed");
    EXPECT_EQ(p->read_line(), "4 0\x02\n");
    EXPECT_EQ(p->read_line(), "1 1\x02^STATE (\\S+)$\n");
    agent_->command("unbind 0", "unbound");
    EXPECT_EQ(p->read_line(), "4 1\x02\n");

    // Theirs: 0, 1 and several groups; a removed one no longer matches.
    p->send("1 7\x02^NOGROUP\n1 8\x02^ONE (\\d+)\n1 9\x02^(\\w+) (\\w+) (\\w+)$\n");
    ASSERT_TRUE(agent_->wait_out("bindev P 9 add"));
    EXPECT_EQ(agent_->command("send NOGROUP", "sent"), "sent 1");
    EXPECT_EQ(agent_->command("send ONE 42", "sent"), "sent 1");
    EXPECT_EQ(agent_->command("send a b c", "sent"), "sent 1");
    EXPECT_EQ(p->read_line(), "2 7\x02\n");
    EXPECT_EQ(p->read_line(),
              "2 8\x02"
              "42\x03\n");
    EXPECT_EQ(p->read_line(),
              "2 9\x02"
              "a\x03"
              "b\x03"
              "c\x03\n");
    p->send("4 8\x02\n");
    ASSERT_TRUE(agent_->wait_out("bindev P 8 remove '^ONE (\\\\d+)'"));
    EXPECT_EQ(agent_->command("send ONE 43", "sent"), "sent 0");
    EXPECT_TRUE(p->stays_silent(milliseconds(100)));
}

TEST_F(AgentSession, ReadyMessageFollowsThePeersEndRegexpOnly) {
    start("AG Ready");
    auto p = agent_->connect_peer("P");  // no regexps: nothing to match the ready message
    EXPECT_EQ(p->read_until("5 0\x02\n").size(), 2u);
    auto q = harness::RawPeer::connect_to(agent_->tcp_port());
    q->send("6 1\x02Q\n1 0\x02^(\\S+) Ready$\n");
    EXPECT_EQ(q->read_until("5 0\x02\n").size(), 2u);
    EXPECT_TRUE(q->stays_silent(milliseconds(200)));
    q->send("5 0\x02\n");
    EXPECT_EQ(q->read_line(),
              "2 0\x02"
              "AG\x03\n");
    EXPECT_TRUE(p->stays_silent(milliseconds(100)));

    // A peer that never completes its handshake is served, but gets no ready
    // message and is not announced to the application.
    auto r = harness::RawPeer::connect_to(agent_->tcp_port());
    r->send("1 3\x02^C (.*)\n");
    r->read_until("5 0\x02\n");
    ASSERT_TRUE(agent_->wait_out("bindev 127.0.0.1:"));
    EXPECT_EQ(agent_->command("send C three", "sent"), "sent 1");
    EXPECT_EQ(r->read_line(), "2 3\x02three\x03\n");
    EXPECT_EQ(agent_->child().count_out("connected"), 2);
}

TEST_F(AgentSession, PingDirectAndErrorBothWays) {
    start();
    auto p = peer("P");
    p->send("9 12345\x02\n");
    EXPECT_EQ(p->read_line(), "10 12345\x02\n");
    agent_->command("ping P");
    EXPECT_EQ(p->read_line(), "9 1\x02\n");
    p->send("10 1\x02\n");
    EXPECT_TRUE(agent_->wait_out("pong P\n"));

    p->send(
        "7 42\x02"
        "direct text\n");
    EXPECT_TRUE(agent_->wait_out("direct P 42 'direct text'\n"));
    agent_->command("direct P 7 hello direct");
    EXPECT_EQ(p->read_line(), "7 7\x02hello direct\n");
    agent_->command("error P 5 some error\\n");  // the final LF is dropped
    EXPECT_EQ(p->read_line(), "3 5\x02some error\n");
    agent_->command("direct P 8 two\\nlines");  // would forge a second line: refused
    p->send("9 2\x02\n");
    EXPECT_EQ(p->read_line(), "10 2\x02\n");
    EXPECT_TRUE(agent_->child().wait_err("line feed", milliseconds(1000)));
}

TEST_F(AgentSession, ByeAndVanishingPeersAreDisconnected) {
    start(std::nullopt, {"(.*)"});
    auto p = peer("P");
    p->send("0 0\x02\n");
    EXPECT_TRUE(p->wait_closed(milliseconds(2000)));
    EXPECT_TRUE(agent_->wait_out("disconnected P\n"));

    auto q = peer("Q");
    q->send("2 0\x02half a li");  // then the peer is gone mid-line
    q.reset();
    EXPECT_TRUE(agent_->wait_out("disconnected Q\n"));
    EXPECT_EQ(agent_->child().count_out("msg "), 0);

    auto r = peer("R", {"^(.*)$"});
    EXPECT_EQ(agent_->command("send still here", "sent"), "sent 1");
    EXPECT_EQ(r->read_line(), "2 0\x02still here\x03\n");
}

// Die: the die callback, Bye to every peer, everything closed, and the main
// loop returns (the program prints "stopped" and exits by itself).
TEST_F(AgentSession, DieSaysByeToEveryPeerAndEndsTheLoop) {
    start();
    auto p = peer("P");
    auto q = peer("Q");
    p->send("8 0\x02\n");
    EXPECT_TRUE(agent_->wait_out("dying P 0\n"));
    for (auto* peer : {p.get(), q.get()}) {
        std::vector<std::string> seen;
        EXPECT_TRUE(peer->wait_closed(milliseconds(2000), &seen));
        EXPECT_EQ(seen, std::vector<std::string>{"0 0\x02\n"});
    }
    EXPECT_EQ(agent_->child().wait_exit(milliseconds(3000)), 0) << agent_->child().describe();
    EXPECT_TRUE(agent_->child().out().find("stopped\n") != std::string::npos);
    EXPECT_EQ(agent_->child().count_out("disconnected"), 0);
    EXPECT_EQ(agent_->child().count_err("ivy: Die from P at 127.0.0.1: leaving the bus\n"), 1)
        << agent_->child().describe();
}

// The application may leave the bus from inside its own callbacks.
TEST_F(AgentSession, TerminateFromTheDisconnectedCallback) {
    start(std::nullopt, {}, {"-t"});
    auto p = peer("P");
    auto q = peer("Q");
    p->send("0 0\x02\n");
    EXPECT_TRUE(q->wait_closed(milliseconds(3000)));
    EXPECT_EQ(agent_->child().wait_exit(milliseconds(3000)), 0) << agent_->child().describe();
}

}  // namespace
