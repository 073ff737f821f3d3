// The library in this very process: once a peer is served and the buffers
// have grown to fit, sending allocates nothing per message (a relay sends
// for months; the heap must not churn).
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

}  // namespace
