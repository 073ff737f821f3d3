// The relay's schedule while hostile peers bind regexp bombs: our sender
// publishes a WEATHER reading every 100 ms, as the relay does every second,
// to a good listener that connected after 0, 1 or 10 peers which each bound
// 1,024 distinct catastrophic regexps (`^(.+)+1$` variants) that every
// reading reaches. It prints, per case, how late the listener got the
// readings (worst and median, from the sender's clock to the listener's
// callback), the longest time one send took (wall and CPU), and how many
// bombers are still connected at the end.
//
//   bench_matching_budget [readings per case, default 20]
#include <Ivy/ivy.h>
#include <Ivy/ivychannel.h>
#include <Ivy/ivyloop.h>
#include <Ivy/timer.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench_children.h"
#include "event_loop.h"

namespace {

using bench::Child;

constexpr int period_ms = 100;
// Every agent takes in every other's bindings, the bombers each other's
// too: thousands of regexps to compile before the machine is quiet again.
constexpr int settle_ms = 1000;
constexpr int settle_ms_per_bomber = 500;

struct State {
    std::string bus;
    std::vector<Child> children;  // the bombers, then the listener last
    int connected = 0;
    int wanted = 0;
    std::vector<double> late_ms;
    double longest_send_ms = 0;
    double longest_send_cpu_ms = 0;
    int readings = 0;
} state;

long long clock_ns(clockid_t clock) {
    timespec ts{};
    ::clock_gettime(clock, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void on_application(IvyClientPtr, void*, IvyApplicationEvent event) {
    if (event == IvyApplicationConnected) ++state.connected;
    if (event == IvyApplicationDisconnected) --state.connected;
    if (state.wanted >= 0 && state.connected == state.wanted) IvyStop();
}

// The listener prints one delay in microseconds per reading.
void on_listener_output(Channel, IVY_HANDLE fd, void*) {
    char buf[4096];
    const ssize_t n = ::read(fd, buf, sizeof buf - 1);
    if (n <= 0) return;
    buf[n] = '\0';
    for (char* line = buf; *line != '\0';) {
        char* end = nullptr;
        const long us = std::strtol(line, &end, 10);
        if (end == line) break;
        state.late_ms.push_back(static_cast<double>(us) / 1000.0);
        line = end;
        while (*line == '\n') ++line;
    }
    if (static_cast<int>(state.late_ms.size()) >= state.readings) IvyStop();
}

// On a shared machine the wall time of a send also holds time the kernel
// gave other processes; its CPU time is what the send itself cost.
void on_reading(TimerId, void*, unsigned long) {
    const long long cpu = clock_ns(CLOCK_THREAD_CPUTIME_ID);
    const long long start = clock_ns(CLOCK_MONOTONIC);
    IvySendMsg("%lld WEATHER 101591.656250 22.500000 4.470400 180.000000", start);
    const double ms = static_cast<double>(clock_ns(CLOCK_MONOTONIC) - start) / 1e6;
    const double cpu_ms = static_cast<double>(clock_ns(CLOCK_THREAD_CPUTIME_ID) - cpu) / 1e6;
    state.longest_send_ms = std::max(state.longest_send_ms, ms);
    state.longest_send_cpu_ms = std::max(state.longest_send_cpu_ms, cpu_ms);
}

void on_stop(TimerId, void*, unsigned long) {
    IvyStop();
}

void serve_until_connected(int wanted) {
    state.wanted = wanted;
    ivy::loop_reset_stop();
    if (state.connected != wanted) IvyMainLoop();
}

void run_case(int bombers) {
    state.children.resize(static_cast<std::size_t>(bombers) + 1);
    for (int i = 0; i < bombers; ++i) {
        state.children[static_cast<std::size_t>(i)].spawn({"bombs", state.bus, std::to_string(i)});
    }
    serve_until_connected(bombers);
    Child& listener = state.children.back();
    listener.spawn({"late", state.bus});
    Channel channel = IvyChannelAdd(listener.from, nullptr, nullptr, on_listener_output, nullptr);
    serve_until_connected(bombers + 1);
    state.wanted = -1;
    TimerRepeatAfter(1, settle_ms + settle_ms_per_bomber * bombers, on_stop, nullptr);
    ivy::loop_reset_stop();
    IvyMainLoop();

    state.late_ms.clear();
    state.longest_send_ms = 0;
    state.longest_send_cpu_ms = 0;
    TimerId timer = TimerRepeatAfter(state.readings, period_ms, on_reading, nullptr);
    TimerId guard = TimerRepeatAfter(1, long{period_ms} * (state.readings + 20), on_stop, nullptr);
    ivy::loop_reset_stop();
    IvyMainLoop();
    TimerRemove(timer);
    TimerRemove(guard);

    std::vector<double> late = state.late_ms;
    std::sort(late.begin(), late.end());
    const double median = late.empty() ? 0 : late[late.size() / 2];
    const double worst = late.empty() ? 0 : late.back();
    std::printf("%-8d %8zu/%-3d %10.2f %10.2f %12.2f %12.2f %10d\n", bombers, late.size(),
                state.readings, worst, median, state.longest_send_ms, state.longest_send_cpu_ms,
                state.connected - 1);
    IvyChannelRemove(channel);
    for (Child& c : state.children) c.close_input();
    serve_until_connected(0);
    for (Child& c : state.children) c.reap();
    state.children.clear();
}

}  // namespace

int main(int argc, char** argv) {
    state.readings = argc > 1 ? std::atoi(argv[1]) : 20;
    state.bus = bench::loopback_bus();
    IvyInit("bench-relay", nullptr, on_application, nullptr, nullptr, nullptr);
    IvyStart(state.bus.c_str());
    std::printf("%-8s %12s %10s %10s %12s %12s %10s\n", "bombers", "received", "worst ms",
                "median ms", "send wall ms", "send cpu ms", "left");
    for (const int bombers : {0, 1, 10}) run_case(bombers);
    IvyTerminate();
    return 0;
}
