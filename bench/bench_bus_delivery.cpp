// Messages per second one agent delivers to 1 and to 10 subscribers on a
// loopback bus. The subscribers are child processes (bus_subscriber): the
// library serves one agent per process. A case sends batches of messages
// and ends each iteration when every subscriber has counted the whole batch,
// so the time is sender, sockets and receivers together, end to end.
//
// The sender keeps at most window messages ahead of the slowest subscriber:
// without that the benchmark would only measure how fast the send queues
// fill, and a queue past the library's bound drops the peer.
#include <Ivy/ivy.h>
#include <Ivy/ivychannel.h>
#include <Ivy/ivyloop.h>
#include <Ivy/timer.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "event_loop.h"

extern char** environ;

namespace {

constexpr long batch = 10000;
constexpr long window = 20000;
constexpr int stall_limit_ticks = 10;  // seconds without progress: give up

struct Subscriber {
    pid_t pid = -1;
    int to_child = -1;
    int from_child = -1;
    long count = 0;
    std::string partial;
    Channel channel = nullptr;
};

struct Run {
    std::vector<Subscriber> subs;
    long sent = 0;
    long target = 0;
    int connected = 0;
    int wanted = 0;      // IvyStop once `connected` reaches this
    long last_min = -1;  // progress seen by the stall watchdog
    int stalled_ticks = 0;
    bool failed = false;
};

Run run;

long slowest_count() {
    long least = run.target;
    for (const Subscriber& s : run.subs) least = std::min(least, s.count);
    return least;
}

void top_up() {
    long least = slowest_count();
    while (run.sent < run.target && run.sent - least < window) {
        IvySendMsg("bench %ld", run.sent);
        ++run.sent;
    }
    if (least >= run.target) IvyStop();
}

void on_application(IvyClientPtr, void*, IvyApplicationEvent event) {
    if (event == IvyApplicationConnected) ++run.connected;
    if (event == IvyApplicationDisconnected) --run.connected;
    if (run.connected == run.wanted) IvyStop();
}

// A subscriber's running count arrives as "<count>\n" lines.
void on_subscriber_output(Channel channel, IVY_HANDLE fd, void* data) {
    Subscriber& s = run.subs[reinterpret_cast<std::uintptr_t>(data)];
    char buf[4096];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) {
        IvyChannelRemove(channel);
        s.channel = nullptr;
        return;
    }
    s.partial.append(buf, static_cast<std::size_t>(n));
    std::size_t end = s.partial.rfind('\n');
    if (end == std::string::npos) return;
    std::size_t begin = s.partial.rfind('\n', end == 0 ? 0 : end - 1);
    begin = (begin == std::string::npos || begin == end) ? 0 : begin + 1;
    s.count = std::atol(s.partial.c_str() + begin);
    s.partial.erase(0, end + 1);
    top_up();
}

void on_watchdog(TimerId, void*, unsigned long) {
    long least = slowest_count();
    run.stalled_ticks = least == run.last_min ? run.stalled_ticks + 1 : 0;
    run.last_min = least;
    if (run.stalled_ticks >= stall_limit_ticks) {
        run.failed = true;
        IvyStop();
    }
}

// Runs the loop until something stops it, giving up after a stall. A stop
// request holds until IvyInit clears it; this program runs the loop many
// times under one IvyInit, so it clears the request itself.
void serve() {
    ivy::loop_reset_stop();
    run.stalled_ticks = 0;
    run.last_min = -1;
    TimerId watchdog = TimerRepeatAfter(TIMER_LOOP, 1000, on_watchdog, nullptr);
    IvyMainLoop();
    TimerRemove(watchdog);
}

bool spawn_subscriber(const std::string& bus, std::size_t index) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0) return false;
    if (::pipe2(out, O_CLOEXEC) != 0) return false;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
    std::string program = BENCH_SUBSCRIBER;
    char* argv[] = {program.data(), const_cast<char*>(bus.c_str()), nullptr};
    Subscriber& s = run.subs[index];
    int rc = posix_spawn(&s.pid, program.c_str(), &fa, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(in[0]);
    ::close(out[1]);
    s.to_child = in[1];
    s.from_child = out[0];
    if (rc != 0) return false;
    s.channel = IvyChannelAdd(s.from_child, reinterpret_cast<void*>(index), nullptr,
                              on_subscriber_output, nullptr);
    return s.channel != nullptr;
}

// Closing a subscriber's standard input ends it; waits until the sender has
// seen every one leave, so that the next case counts only its own.
void stop_subscribers() {
    for (Subscriber& s : run.subs) {
        if (s.channel != nullptr) IvyChannelRemove(s.channel);
        ::close(s.to_child);
    }
    run.wanted = 0;
    if (run.connected > 0) serve();
    for (Subscriber& s : run.subs) {
        ::close(s.from_child);
        if (s.pid > 0) ::waitpid(s.pid, nullptr, 0);
    }
    run.subs.clear();
}

std::string loopback_bus() {
    // A port the kernel picks as free for UDP, so parallel runs do not meet.
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return "127.255.255.255:" + std::to_string(ntohs(a.sin_port));
}

const std::string& bus() {
    static const std::string b = [] {
        std::string text = loopback_bus();
        IvyInit("bench-sender", nullptr, on_application, nullptr, nullptr, nullptr);
        IvyStart(text.c_str());
        return text;
    }();
    return b;
}

void bus_delivery(benchmark::State& state) {
    const auto n = static_cast<std::size_t>(state.range(0));
    run = Run{};
    run.subs.resize(n);
    run.wanted = static_cast<int>(n);
    for (std::size_t i = 0; i < n; ++i) {
        if (!spawn_subscriber(bus(), i)) state.SkipWithError("cannot start a subscriber");
    }
    serve();  // until all are connected
    for (auto _ : state) {
        if (run.failed) break;
        run.target += batch;
        top_up();
        serve();
    }
    if (run.failed) state.SkipWithError("no progress for 10 s");
    long delivered = run.target * static_cast<long>(n);
    state.SetItemsProcessed(run.target);
    state.counters["deliveries/s"] =
        benchmark::Counter(static_cast<double>(delivered), benchmark::Counter::kIsRate);
    stop_subscribers();
}

BENCHMARK(bus_delivery)
    ->ArgName("subscribers")
    ->Arg(1)
    ->Arg(10)
    ->Iterations(20)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
