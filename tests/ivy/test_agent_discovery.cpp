// Announcements out and in: who connects to whom, what is ignored, and one
// connection per pair of agents whatever the timing.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <regex>

#include "agent_harness.h"

namespace {

using std::chrono::milliseconds;

constexpr unsigned tcp_established = 1, tcp_syn_sent = 2;

// TCP connections in `state` with either of two ports at one end, as the
// kernel lists them: on loopback each connection shows once per end.
int ends_in_state(int port_a, int port_b, unsigned wanted) {
    std::ifstream table("/proc/net/tcp");
    std::string line;
    std::getline(table, line);  // the header
    int ends = 0;
    while (std::getline(table, line)) {
        unsigned local = 0, remote = 0, state = 0;
        if (std::sscanf(line.c_str(), " %*u: %*x:%x %*x:%x %x", &local, &remote, &state) != 3) {
            continue;
        }
        const bool ours =
            local == static_cast<unsigned>(port_a) || local == static_cast<unsigned>(port_b) ||
            remote == static_cast<unsigned>(port_a) || remote == static_cast<unsigned>(port_b);
        if (ours && state == wanted) ++ends;
    }
    return ends;
}

int established_ends(int port_a, int port_b) {
    return ends_in_state(port_a, port_b, tcp_established);
}

TEST(AgentDiscovery, AnnouncesOnceAndIgnoresItself) {
    const int bus_port = test_support::random_bus_port();
    harness::BusSocket bus(bus_port);
    harness::Agent agent({bus_port, "NAME WITH SPACES", std::nullopt, {}}, bus);
    const std::string port = std::to_string(agent.tcp_port());
    EXPECT_TRUE(std::regex_match(
        agent.announcement(),
        std::regex("3 " + port + " [0-9]+:[0-9]{13}:" + port + " NAME WITH SPACES\n")))
        << agent.announcement();
    EXPECT_FALSE(bus.wait_announcement("NAME", milliseconds(300)));
    EXPECT_EQ(agent.command("who", "peers"), "peers ");  // not connected to itself
    EXPECT_EQ(agent.child().err(), "");
}

// Our own port on our own address is ourselves, whatever app-id it comes
// with: no connection, reported; the next real announcement still served.
TEST(AgentDiscovery, OwnAddressAndPortUnderAnyAppIdIsIgnored) {
    const int bus_port = test_support::random_bus_port();
    harness::BusSocket bus(bus_port);
    harness::Agent agent({bus_port, "SELF", std::nullopt, {}}, bus);
    const std::string port = std::to_string(agent.tcp_port());
    bus.broadcast("3 " + port + " FORGED-ID SELF\n");
    bus.broadcast("3 " + port + "\n");
    EXPECT_TRUE(agent.child().wait_err("our own address", milliseconds(2000)));
    harness::RawListener other;
    bus.broadcast("3 " + std::to_string(other.port()) + " OTHER-ID OTHER\n");
    const auto peer = other.accept();
    ASSERT_TRUE(peer) << agent.child().describe();
    // Its handshake: the agent has seen that connection made.
    EXPECT_TRUE(peer->read_line()) << agent.child().describe();
    EXPECT_EQ(agent.child().count_out("connected"), 0) << agent.child().describe();
    EXPECT_EQ(agent.child().count_out("disconnected"), 0) << agent.child().describe();
    EXPECT_EQ(agent.command("who", "peers"), "peers OTHER,");
}

bool write_file(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    out.close();
    return static_cast<bool>(out);
}

// This process in a user and network namespace of its own whose loopback
// also carries `address`: an interface address that is not 127.x.
bool enter_namespace_with(const std::string& address) {
    const auto uid = ::getuid();
    const auto gid = ::getgid();
    return ::unshare(CLONE_NEWUSER | CLONE_NEWNET) == 0 &&
           write_file("/proc/self/setgroups", "deny") &&
           write_file("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") &&
           write_file("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1") &&
           std::system(("ip link set lo up && ip addr add " + address + "/8 dev lo").c_str()) == 0;
}

// On the loopback bus, from `address`: every socket on the bus port hears it.
void broadcast_from(const std::string& address, int port, const std::string& datagram) {
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
    ::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    ::inet_pton(AF_INET, "127.255.255.255", &a.sin_addr);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    ::sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&a),
             sizeof a);
    ::close(fd);
}

// Run in a child of its own (it changes namespaces for good): 0 when the
// agent, refused netlink sockets, knows its own interface address.
int own_address_known_without_netlink() {
    const std::string own = "10.9.8.7";
    if (!enter_namespace_with(own)) return 10;
    const int bus_port = test_support::random_bus_port();
    harness::BusSocket bus(bus_port);
    harness::Agent agent({bus_port, "SELF", std::nullopt, {}, {"-N"}}, bus);
    if (agent.tcp_port() == 0) {
        std::fputs(agent.child().describe().c_str(), stderr);
        return 11;
    }
    broadcast_from(own, bus_port, "3 " + std::to_string(agent.tcp_port()) + " FORGED SELF\n");
    const bool recognised = agent.child().wait_err("our own address", milliseconds(3000));
    const bool alone = agent.command("who", "peers") == "peers ";
    const bool silent = agent.child().err().find("cannot list") == std::string::npos;
    if (recognised && alone && silent) return 0;
    std::fputs(agent.child().describe().c_str(), stderr);
    return 12;
}

// Our hardened units refuse netlink sockets, which getifaddrs() needs: the
// agent still recognises an announcement of an interface address of its
// own with its own port (here in a private network namespace).
TEST(AgentDiscovery, OwnInterfaceAddressIsKnownWithoutNetlink) {
    if (std::system("/usr/bin/unshare -rn true >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "no network namespace here";
    }
    EXPECT_EXIT(std::_Exit(own_address_known_without_netlink()), ::testing::ExitedWithCode(0), "");
}

// The shapes of r02: what classic agents connect to, and where we differ
// (datagrams are never glued; a repeated announcement is no new peer).
TEST(AgentDiscovery, AnnouncementShapes) {
    const int bus_port = test_support::random_bus_port();
    harness::BusSocket bus(bus_port);
    harness::Agent agent({bus_port, "IVYC", std::nullopt, {}}, bus);
    harness::RawListener a, noappid, nolf, after, two1, two2, v4;
    const auto p = [](const harness::RawListener& l) { return std::to_string(l.port()); };
    bus.broadcast("3 " + p(a) + " PYID-1 PEER-A\n");
    bus.broadcast("4 " + p(v4) + " PYID-2 PEER-V4\n");
    bus.broadcast("3 " + p(noappid) + "\n");
    bus.broadcast("hello\n");
    bus.broadcast("3 " + p(nolf) + " PYID-4 PEER-NOLF");
    bus.broadcast("3 " + p(after) + " PYID-5 PEER-AFTER\n");
    bus.broadcast("3 " + p(two1) + " PYID-7 PEER-TWO-1\n3 " + p(two2) + " PYID-8 PEER-TWO-2\n");
    std::vector<std::unique_ptr<harness::RawPeer>> peers;
    for (auto* l : {&a, &noappid, &nolf, &after, &two1, &two2}) {
        auto& peer = peers.emplace_back(l->accept());
        ASSERT_TRUE(peer) << "no connection to " << l->port() << "\n" << agent.child().describe();
        EXPECT_EQ(peer->read_line(), "6 " + std::to_string(agent.tcp_port()) + "\x02IVYC\n");
    }
    bus.broadcast("3 " + p(a) + " PYID-1 PEER-A\n");            // again
    bus.broadcast("3 " + p(a) + " PYID-OTHER PEER-A-AGAIN\n");  // same address and port
    EXPECT_FALSE(a.gets_connection(milliseconds(300)));
    EXPECT_FALSE(v4.gets_connection(milliseconds(1)));
    EXPECT_TRUE(agent.child().wait_err("version 4", milliseconds(1000)));
    EXPECT_TRUE(agent.child().wait_err("bad announcement", milliseconds(1000)));
}

TEST(AgentDiscovery, DeadPortIsReportedAndTheAgentCarriesOn) {
    const int bus_port = test_support::random_bus_port();
    harness::BusSocket bus(bus_port);
    harness::Agent agent({bus_port, "IVYC", std::nullopt, {}}, bus);
    int dead_port;
    {
        harness::RawListener gone;
        dead_port = gone.port();
    }
    bus.broadcast("3 " + std::to_string(dead_port) + " PYID-9 PEER-DEAD\n");
    EXPECT_TRUE(agent.child().wait_err("PEER-DEAD", milliseconds(2000)));
    harness::RawListener alive;
    bus.broadcast("3 " + std::to_string(alive.port()) + " PYID-10 PEER-ALIVE\n");
    EXPECT_TRUE(alive.accept());
}

// Two of our agents: the one already running connects to the newcomer, and
// Msgs flow both ways over that one connection.
TEST(AgentDiscovery, RunningAgentConnectsToNewcomer) {
    const int bus_port = test_support::random_bus_port();
    harness::BusSocket bus(bus_port);
    harness::Agent first({bus_port, "FIRST", std::nullopt, {"^to first (.*)"}}, bus);
    harness::Agent second({bus_port, "SECOND", "SECOND Ready", {"^to second (.*)"}}, bus);
    ASSERT_TRUE(first.wait_out("connected SECOND\n")) << first.child().describe();
    ASSERT_TRUE(second.wait_out("connected FIRST\n")) << second.child().describe();
    EXPECT_EQ(first.command("send to second hi", "sent"), "sent 1");
    EXPECT_EQ(second.command("send to first hello", "sent"), "sent 1");
    EXPECT_TRUE(second.wait_out("msg 0 FIRST 1 'hi'\n"));
    EXPECT_TRUE(first.wait_out("msg 0 SECOND 1 'hello'\n"));
}

// Both agents hear each other's announcement at the same moment and connect
// to each other: both ends must settle on the same single connection,
// without the application seeing a second peer or a disconnection.
TEST(AgentDiscovery, SimultaneousStartLeavesOneConnection) {
    for (int round = 0; round < 5; ++round) {
        const int port_a = test_support::random_bus_port();
        const int port_b = test_support::random_bus_port();
        harness::BusSocket bus_a(port_a), bus_b(port_b);
        harness::Agent a({port_a, "A", "A READY", {"^to A (.*)", "^(\\\\S+) READY$"}}, bus_a);
        harness::Agent b({port_b, "B", "B READY", {"^to B (.*)", "^(\\\\S+) READY$"}}, bus_b);
        ASSERT_NE(a.tcp_port() * b.tcp_port(), 0);
        const std::string id_a = "3 " + std::to_string(a.tcp_port()) + " AID A\n";
        const std::string id_b = "3 " + std::to_string(b.tcp_port()) + " BID B\n";
        bus_a.broadcast(id_b);
        bus_b.broadcast(id_a);
        ASSERT_TRUE(a.wait_out("connected B\n")) << a.child().describe();
        ASSERT_TRUE(b.wait_out("connected A\n")) << b.child().describe();
        // The duplicate, if one was made, wound down on both sides.
        ASSERT_TRUE(test_support::wait_until(
            [&] { return established_ends(a.tcp_port(), b.tcp_port()) == 2; }, milliseconds(5000)))
            << "connections left: " << established_ends(a.tcp_port(), b.tcp_port()) / 2;
        EXPECT_EQ(a.command("send to B x", "sent"), "sent 1") << a.child().describe();
        EXPECT_EQ(b.command("send to A y", "sent"), "sent 1") << b.child().describe();
        EXPECT_TRUE(b.wait_out("msg 0 A 1 'x'\n"));
        EXPECT_TRUE(a.wait_out("msg 0 B 1 'y'\n"));
        EXPECT_EQ(a.command("who", "peers"), "peers B,");
        EXPECT_EQ(b.command("who", "peers"), "peers A,");
        // Each side's ready message, once, whichever connection carried it.
        EXPECT_TRUE(a.wait_out("msg 1 B 1 'B'\n")) << a.child().describe();
        EXPECT_TRUE(b.wait_out("msg 1 A 1 'A'\n")) << b.child().describe();
        for (auto* agent : {&a, &b}) {
            EXPECT_EQ(agent->child().count_out("connected"), 1) << agent->child().describe();
            EXPECT_EQ(agent->child().count_out("msg 1 "), 1) << agent->child().describe();
            EXPECT_EQ(agent->child().count_out("msg "), 2) << agent->child().describe();
            EXPECT_EQ(agent->child().err(), "");
        }
    }
}

// The duplicate that the test above can only sometimes make, made every
// time: the peer's connection to us is whole (the application was told of
// the peer and its bindings) when ours to it comes through, and ours is the
// one kept (our listening port is the lower), with no handshake from the
// peer on it yet. A send meanwhile still reaches the peer, on the kept
// connection; the handshake then confirms what it still holds, unreported,
// and what it no longer holds is removed.
TEST(AgentDiscovery, TheKeptDuplicateServesThePeersBindingsBeforeItsHandshake) {
    const int bus_port = test_support::random_bus_port();
    harness::BusSocket bus(bus_port);
    harness::Agent agent({bus_port, "A", std::nullopt, {}}, bus);
    ASSERT_NE(agent.tcp_port(), 0) << agent.child().describe();
    std::unique_ptr<harness::RawListener> listener;
    for (int port = agent.tcp_port() + 1; port <= 65535 && !listener; ++port) {
        listener = std::make_unique<harness::RawListener>(port, 0);
        if (listener->port() == 0) listener.reset();
    }
    ASSERT_TRUE(listener);
    const std::string port = std::to_string(listener->port());
    // The backlog's one place taken: our connect to the peer waits.
    const auto filler = harness::RawPeer::connect_to(listener->port());
    ASSERT_TRUE(filler);
    bus.broadcast("3 " + port + " RID R\n");
    ASSERT_TRUE(test_support::wait_until(
        [&] { return ends_in_state(listener->port(), listener->port(), tcp_syn_sent) == 1; },
        milliseconds(3000)))
        << "the agent did not connect to the announced peer";

    auto first = harness::RawPeer::connect_to(agent.tcp_port());
    ASSERT_TRUE(first);
    first->send("6 " + port + "\x02R\n1 1\x02^gone (.*)\n1 0\x02^to R (.*)\n5 0\x02\n");
    ASSERT_TRUE(agent.wait_out("connected R\n")) << agent.child().describe();
    ASSERT_TRUE(listener->accept());  // the filler: ours comes through now
    // At the connect's next SYN, which it sends 1, 3, 7 then 15 s after the first.
    const auto kept = listener->accept(milliseconds(16000));
    ASSERT_TRUE(kept) << agent.child().describe();
    kept->read_until("5 0\x02\n");

    EXPECT_EQ(agent.command("send to R x", "sent"), "sent 1") << agent.child().describe();
    EXPECT_EQ(kept->read_line(), "2 0\x02x\x03\n");
    kept->send("6 " + port + "\x02R\n1 0\x02^to R (.*)\n5 0\x02\n");
    EXPECT_TRUE(agent.wait_out("bindev R 1 remove '^gone (.*)'\n")) << agent.child().describe();
    EXPECT_EQ(agent.child().count_out("bindev R 0 "), 1) << agent.child().describe();
    EXPECT_EQ(agent.child().count_out("connected R"), 1);
    EXPECT_EQ(agent.command("send gone y", "sent"), "sent 0");
    EXPECT_EQ(agent.command("send to R z", "sent"), "sent 1");
    EXPECT_EQ(kept->read_line(), "2 0\x02z\x03\n");
}

// r03: a peer that connected to us and then announces itself is known
// already: no second connection, every Msg once.
TEST(AgentDiscovery, AnnouncementOfAConnectedPeerMakesNoDuplicate) {
    const int bus_port = test_support::random_bus_port();
    harness::BusSocket bus(bus_port);
    harness::Agent agent({bus_port, "IVYC", "IVYC Ready", {}}, bus);
    harness::RawListener listener;
    auto peer = harness::RawPeer::connect_to(agent.tcp_port());
    peer->send("6 " + std::to_string(listener.port()) +
               "\x02PEER-RACE\n1 0\x02^(\\S+) Ready$\n1 1\x02^DUP (.*)\n5 0\x02\n");
    ASSERT_TRUE(agent.wait_out("connected PEER-RACE\n"));
    bus.broadcast("3 " + std::to_string(listener.port()) + " PYID-RACE PEER-RACE\n");
    EXPECT_FALSE(listener.gets_connection(milliseconds(300)));
    EXPECT_EQ(agent.command("send DUP hello", "sent"), "sent 1");
    const auto lines = peer->read_until("2 1\x02hello\x03\n");
    EXPECT_EQ(lines.size(), 4u) << harness::show(lines);  // handshake, ready, Msg
}

// A duplicate that does arise (the announcement came before the peer's
// StartRegexp) with a peer that never closes duplicates itself, as classic
// agents don't: both branches of the rule, chosen through the peer's port.
TEST(AgentDiscovery, DuplicateWithAPeerThatKeepsBoth) {
    for (const bool peer_smaller : {true, false}) {
        SCOPED_TRACE(peer_smaller ? "peer's identity smaller" : "peer's identity larger");
        const int bus_port = test_support::random_bus_port();
        harness::BusSocket bus(bus_port);
        harness::Agent agent({bus_port, "IVYC", std::nullopt, {}}, bus);
        // Ephemeral ports (the agent's) lie in 32768-60999 on Linux.
        std::unique_ptr<harness::RawListener> listener;
        while (!listener || listener->port() == 0) {
            const int base = peer_smaller ? 10000 : 61000;
            listener = std::make_unique<harness::RawListener>(base + std::rand() % 4000);
        }
        const std::string port = std::to_string(listener->port());
        const std::string handshake = "6 " + port + "\x02RACE\n1 0\x02^DUP (.*)\n5 0\x02\n";
        auto in = harness::RawPeer::connect_to(agent.tcp_port());  // handshake comes late
        bus.broadcast("3 " + port + " PYID-RACE RACE\n");
        auto out = listener->accept();
        ASSERT_TRUE(out) << agent.child().describe();
        out->read_until("5 0\x02\n");
        in->send(handshake);
        out->send(handshake);
        in->read_until("5 0\x02\n");
        ASSERT_TRUE(agent.wait_out("connected RACE\n"));
        EXPECT_EQ(agent.command("send DUP hello", "sent"), "sent 1");
        // Kept: the one opened by the smaller identity. The other is closed by
        // us without a byte more, at once if we opened it, after a grace
        // period otherwise.
        auto& kept = peer_smaller ? in : out;
        auto& gone = peer_smaller ? out : in;
        EXPECT_EQ(kept->read_line(), "2 0\x02hello\x03\n");
        std::vector<std::string> extra;
        EXPECT_TRUE(gone->wait_closed(milliseconds(5000), &extra));
        EXPECT_EQ(extra, std::vector<std::string>{}) << harness::show(extra);
        EXPECT_EQ(agent.command("send DUP again", "sent"), "sent 1");
        EXPECT_EQ(kept->read_line(),
                  "2 0\x02"
                  "again\x03\n");
        EXPECT_EQ(agent.child().count_out("connected"), 1);
        EXPECT_EQ(agent.child().err(), "");
    }
}

// A multicast bus, for real, in a private network namespace whose loopback
// carries the group; skipped where no such namespace can be made.
TEST(AgentDiscovery, MulticastBusInANetworkNamespace) {
    if (std::system("/usr/bin/unshare -rn true >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "no network namespace here";
    }
    const std::string agent = std::string(ANEMOBUS_BIN_DIR) + "/tests/ivy/ivy_test_agent";
    const std::string bus = "224.5.6.7:" + std::to_string(test_support::random_bus_port());
    // A first (kept alive by a pipe that stays open), then B, on our stdin.
    const std::string script =
        "ip link set lo up && ip route add 224.0.0.0/4 dev lo || exit 1\n"
        "out=$(mktemp)\n"
        "sleep 60 | '" +
        agent + "' -b " + bus +
        " -n A '^to A (.*)' | tee $out &\n"
        "until grep -q started $out; do sleep 0.01; done; rm -f $out\n"
        "exec '" +
        agent + "' -b " + bus + " -n B\n";
    test_support::Child both("/usr/bin/unshare", {"-rn", "sh", "-c", script});
    ASSERT_TRUE(both.wait_out("connected B\n", milliseconds(5000))) << both.describe();
    ASSERT_TRUE(both.wait_out("connected A\n", milliseconds(3000))) << both.describe();
    both.write_stdin("send to A over multicast\n");
    EXPECT_TRUE(both.wait_out("msg 0 B 1 'over multicast'\n", milliseconds(3000)))
        << both.describe();
}

}  // namespace
