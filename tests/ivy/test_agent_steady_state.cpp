// The library in this very process: once a peer is served and the buffers
// have grown to fit, sending and receiving allocate nothing per message (a
// relay sends for months; the heap must not churn).
#include <Ivy/ivy.h>
#include <Ivy/ivyloop.h>
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <thread>

#include "agent_harness.h"

#include "allocation_counter.h"

namespace {

using std::chrono::milliseconds;
using test_support::allocations;
using test_support::counting_allocations;

TEST(AgentSteadyState, SendingAllocatesNothingPerMessage) {
    counting_allocations = false;
    const int bus_port = test_support::random_bus_port();
    harness::BusSocket bus(bus_port);
    IvyInit("INPROC", nullptr, nullptr, nullptr, nullptr, nullptr);
    IvyStart(test_support::loopback_bus(bus_port).c_str());
    const auto datagram = bus.wait_announcement(" INPROC\n");
    ASSERT_TRUE(datagram);

    // The loop runs while the peer's handshake is taken in, then stops; the
    // sends below run on this thread with no loop running (allowed: one
    // thread at a time).
    std::thread loop([] { IvyMainLoop(); });
    auto peer = harness::RawPeer::connect_to(harness::announced_port(*datagram));
    peer->send("6 1\x02PEER\n1 0\x02^(\\S+) WEATHER (\\S+) (.*)$\n5 0\x02\n9 1\x02\n");
    // The Pong comes after the agent has taken in everything before the Ping.
    EXPECT_EQ(peer->read_until("10 1\x02\n").back(), "10 1\x02\n");
    IvyStop();
    loop.join();

    for (int i = 0; i < 100; ++i) IvySendMsg("%d WEATHER %d.5 %s\n", i, i * 7, "22.5 180.0");
    allocations = 0;
    counting_allocations = true;
    int sent = 0;
    for (int i = 0; i < 1000; ++i)
        sent += IvySendMsg("%d WEATHER %d.5 %s\n", i, i * 7, "22.5 180.0");
    counting_allocations = false;
    EXPECT_EQ(sent, 1000);
    EXPECT_EQ(allocations.load(), 0);

    std::string last;
    for (int i = 0; i < 1100; ++i) last = peer->read_line().value_or("");
    EXPECT_EQ(last,
              "2 0\x02"
              "999\x03"
              "6993.5\x03"
              "22.5 180.0\x03\n");
    IvyTerminate();
}

// Msgs arriving in large reads, many lines to a read and lines cut across
// reads, are handed to the application without a heap allocation, and its
// answers, sent from inside the loop's handlers (coalesced), take none
// either. Counted on the loop's thread, from the callback of the 5000th Msg
// to the last one's.
std::atomic<int> received{0};
long allocations_after_warm_up = 0;
long allocations_at_end = 0;
std::string last_fields;

void on_reading(IvyClientPtr, void*, int argc, char** argv) {
    const int n = ++received;
    IvySendMsg("echo %d", n);
    if (n == 5000) allocations_after_warm_up = allocations.load();
    if (n < 20000) return;
    allocations_at_end = allocations.load();
    last_fields = std::to_string(argc) + ":" + argv[0] + "," + argv[1];
    IvyStop();
}

TEST(AgentSteadyState, ReceivingAllocatesNothingPerMessage) {
    counting_allocations = true;
    const int bus_port = test_support::random_bus_port();
    harness::BusSocket bus(bus_port);
    IvyInit("INPROC", nullptr, nullptr, nullptr, nullptr, nullptr);
    IvyBindMsg(on_reading, nullptr, "^(\\S+) WEATHER (.*)");
    IvyStart(test_support::loopback_bus(bus_port).c_str());
    const auto datagram = bus.wait_announcement(" INPROC\n");
    ASSERT_TRUE(datagram);
    auto peer = harness::RawPeer::connect_to(harness::announced_port(*datagram));
    std::string lines = "6 1\x02PEER\n1 0\x02^echo (.*)\n5 0\x02\n";
    for (int i = 0; i < 20000; ++i) {
        lines += "2 0\x02" + std::to_string(i) + "\x03" + "101591.6 22.5 4.4 180.0\x03\n";
    }
    std::thread loop([] { IvyMainLoop(); });
    peer->send(lines);
    loop.join();
    EXPECT_EQ(received.load(), 20000);
    EXPECT_EQ(allocations_at_end - allocations_after_warm_up, 0);
    EXPECT_EQ(last_fields, "2:19999,101591.6 22.5 4.4 180.0");
    IvyTerminate();
}

}  // namespace
