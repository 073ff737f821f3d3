// One sender to N receiver processes on loopback, N = 1, 10, 50, each
// receiver bound to "^(\S+) WEATHER (.*)": deliveries per second of our
// library against two raw TCP writers of the very same Msg lines, one write
// per line and 64 lines per write, whose receivers only count line feeds.
// Then a round trip A -> B -> A through a binding, ours against raw TCP.
//
//   bench_bus_fanout [deliveries per case, default 500000] [round trips, default 2000] [N]
//
// With N, only that fan-out case runs, ours only (for profiling).
//
// Our sender sends from inside the loop's handlers, as applications do, and
// keeps at most `window` messages ahead of its slowest receiver (beyond the
// library's queue bound a peer is dropped). Every receiver must count every
// message exactly: a case that loses one says so.
#include <Ivy/ivy.h>
#include <Ivy/ivychannel.h>
#include <Ivy/ivyloop.h>
#include <Ivy/timer.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_children.h"
#include "event_loop.h"

namespace {

using bench::Child;
using Clock = std::chrono::steady_clock;

constexpr long window = 20000;
constexpr int settle_ms = 1000;
constexpr const char* text = "1 WEATHER 101591.656250 22.500000 4.470400 180.000000";
// What our library writes for it to a peer bound to the regexp below.
constexpr const char* frame =
    "2 0\x02"
    "1\x03"
    "101591.656250 22.500000 4.470400 180.000000\x03\n";
constexpr const char* regexp = "^(\\S+) WEATHER (.*)";

struct Ours {
    std::string bus;
    std::vector<Child> children;
    int connected = 0;
    int wanted = 0;
    long sent = 0;
    long target = 0;
    int round_trips = 0;
    std::vector<double> rtt_us;
    Clock::time_point ping_at;
} ours;

long slowest() {
    long least = ours.target;
    for (const Child& c : ours.children) least = std::min(least, c.count);
    return least;
}

void top_up() {
    const long least = slowest();
    while (ours.sent < ours.target && ours.sent - least < window) {
        IvySendMsg("%s", text);
        ++ours.sent;
    }
    if (least >= ours.target) IvyStop();
}

void on_application(IvyClientPtr, void*, IvyApplicationEvent event) {
    if (event == IvyApplicationConnected) ++ours.connected;
    if (event == IvyApplicationDisconnected) --ours.connected;
    if (ours.connected == ours.wanted) IvyStop();
}

void on_child_output(Channel, IVY_HANDLE, void* data) {
    Child& c = ours.children[reinterpret_cast<std::size_t>(data)];
    c.read_counts();
    if (ours.target > 0) top_up();
}

void on_start(TimerId, void*, unsigned long) {
    top_up();
}

void serve() {
    ivy::loop_reset_stop();
    IvyMainLoop();
}

void on_settled(TimerId, void*, unsigned long) {
    IvyStop();
}

void spawn_agents(std::size_t n, const std::vector<std::string>& args) {
    ours.children.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        ours.children[i].spawn(args);
        IvyChannelAdd(ours.children[i].from, reinterpret_cast<void*>(i), nullptr, on_child_output,
                      nullptr);
    }
    ours.wanted = static_cast<int>(n);
    if (ours.connected != ours.wanted) serve();
    // The receivers also connect to one another (every agent does): let that
    // settle before timing anything.
    TimerRepeatAfter(1, settle_ms, on_settled, nullptr);
    serve();
}

void stop_agents() {
    for (Child& c : ours.children) c.close_input();
    ours.wanted = 0;
    if (ours.connected > 0) serve();
    for (Child& c : ours.children) c.reap();
    ours.children.clear();
}

// Deliveries per second; negative when a receiver's count is not exact.
double ours_fanout(std::size_t n, long messages) {
    spawn_agents(n, {"count", ours.bus, regexp});
    ours.sent = 0;
    ours.target = messages;
    const auto start = Clock::now();
    TimerRepeatAfter(1, 0, on_start, nullptr);
    serve();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    ours.target = 0;
    bool exact = true;
    for (const Child& c : ours.children) exact = exact && c.count == messages;
    stop_agents();
    return (exact ? 1 : -1) * static_cast<double>(messages) * static_cast<double>(n) / seconds;
}

void send_ping() {
    ours.ping_at = Clock::now();
    IvySendMsg("ping %d", ours.round_trips);
}

void on_pong(IvyClientPtr, void*, int, char**) {
    ours.rtt_us.push_back(
        std::chrono::duration<double, std::micro>(Clock::now() - ours.ping_at).count());
    if (++ours.round_trips >= static_cast<int>(ours.rtt_us.capacity())) {
        IvyStop();
        return;
    }
    send_ping();
}

void on_first_ping(TimerId, void*, unsigned long) {
    send_ping();
}

std::vector<double> ours_round_trips(int count) {
    spawn_agents(1, {"echo", ours.bus});
    ours.rtt_us.clear();
    ours.rtt_us.reserve(static_cast<std::size_t>(count));
    ours.round_trips = 0;
    TimerRepeatAfter(1, 0, on_first_ping, nullptr);
    serve();
    stop_agents();
    return ours.rtt_us;
}

void print_fanout(std::size_t n, double mine, double one, double batched) {
    const auto rate = [](double r) { return std::abs(r) / 1e3; };
    std::printf("%-4zu %12.0fk %12.0fk %12.0fk %10.3f %10.3f%s\n", n, rate(mine), rate(one),
                rate(batched), rate(mine) / rate(one), rate(mine) / rate(batched),
                mine < 0 || one < 0 || batched < 0 ? "   LOST MESSAGES" : "");
}

}  // namespace

int main(int argc, char** argv) {
    const long deliveries = argc > 1 ? std::atol(argv[1]) : 500000;
    const int round_trips = argc > 2 ? std::atoi(argv[2]) : 2000;
    ours.bus = bench::loopback_bus();
    IvyInit("bench-fanout", nullptr, on_application, nullptr, nullptr, nullptr);
    IvyBindMsg(on_pong, nullptr, "^pong (.*)");
    IvyStart(ours.bus.c_str());

    std::printf("%-4s %13s %13s %13s %10s %10s\n", "N", "ours/s", "raw 1/wr/s", "raw 64/wr/s",
                "ours/raw1", "ours/raw64");
    if (argc > 3) {
        const auto n = static_cast<std::size_t>(std::atol(argv[3]));
        std::printf("%-4zu %12.0fk\n", n, ours_fanout(n, deliveries / std::atol(argv[3])) / 1e3);
        IvyTerminate();
        return 0;
    }
    for (const std::size_t n : {1UL, 10UL, 50UL}) {
        const long messages = std::max(1000L, deliveries / static_cast<long>(n));
        const double mine = ours_fanout(n, messages);
        const double one = bench::raw_fanout(n, messages, frame, 1);
        const double batched = bench::raw_fanout(n, messages, frame, 64);
        print_fanout(n, mine, one, batched);
    }
    const auto mine = bench::percentiles(ours_round_trips(round_trips));
    const auto raw = bench::percentiles(bench::raw_round_trips(round_trips, "ping 1\n"));
    std::printf("round trip us: ours p50 %.1f p99 %.1f, raw p50 %.1f p99 %.1f, p50 ours/raw %.2f\n",
                mine.p50, mine.p99, raw.p50, raw.p99, mine.p50 / raw.p50);
    IvyTerminate();
    return 0;
}
