// Hostile bus peers against a running relay: the scene (the simulator, the
// relay polling every second, and a good listener bound to its WEATHER) and
// the attacks, each bounded in count and time and ending by itself. Shared
// by the test of what must never happen (test_hostile_peers) and the
// benchmark of how late the good listener's WEATHER comes (bench_hostile).
#pragma once

#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent_harness.h"
#include "test_support.h"

namespace hostile {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

class Scene {
public:
    Scene();
    ~Scene();
    Scene(const Scene&) = delete;
    Scene& operator=(const Scene&) = delete;

    // Whether the relay runs and the good listener has its first WEATHER;
    // otherwise describe() tells why.
    bool ready() const { return ready_; }
    int bus_port() const { return bus_port_; }
    int relay_port() const { return relay_port_; }
    harness::BusSocket& bus() { return *bus_; }
    bool relay_running() { return relay_->running(); }
    // Descriptors the relay holds now.
    int relay_fds() const;
    // Packets the simulator has served so far: each is one WEATHER.
    int served() const;
    // When each WEATHER reached the good listener.
    std::vector<Clock::time_point> arrivals() const;
    // The good listener binds its regexp again under a text of its own, so
    // that it is matched after every binding made so far (the relay matches
    // texts in the order they first came), and drops the older ones once the
    // new one has served. Called from one thread only.
    void listen_last();
    // The relay's resident memory now and at its peak, in KiB.
    struct Memory {
        long rss_kib = 0;
        long peak_kib = 0;
    };
    Memory relay_memory() const;
    std::string relay_err() { return relay_->err(); }
    std::string describe();

private:
    void listen_for_weather();

    int bus_port_;
    std::string dir_;
    std::unique_ptr<harness::BusSocket> bus_;
    std::unique_ptr<test_support::Child> sim_;
    std::unique_ptr<test_support::Child> relay_;
    std::unique_ptr<harness::RawPeer> listener_;
    int relay_port_ = 0;
    bool ready_ = false;
    std::string why_;
    mutable std::mutex mutex_;
    std::vector<Clock::time_point> arrivals_;
    int listening_id_ = 0;  // the listener thread's
    int last_binding_ = 0;  // listen_last()'s
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// A peer's handshake: StartRegexp, the regexps as AddRegexp ids 0..n-1,
// EndRegexp.
std::string handshake(int port, const std::string& name, const std::vector<std::string>& regexps);

// The attacks. Each returns when it is over and its sockets are closed.

// `peers` connections, each binding 1024 regexps that backtrack without end
// on the relay's messages, held for `hold` while reading what comes.
void regexp_bombs(Scene& scene, int peers, milliseconds hold);
// Announcements of the relay's own address and port under other app-ids.
void self_announcement(Scene& scene);
// 300 connections at once (beyond the relay's 256 peers), held, then closed.
void connection_storm(Scene& scene, milliseconds hold);
// A peer with a tiny receive buffer that binds 1000 variants of the WEATHER
// regexp and never reads, for `hold`.
void slow_reader(Scene& scene, milliseconds hold);

}  // namespace hostile
