// The far ends of the fan-out and matching-budget benchmarks, one process
// each (the library serves one agent per process). Every mode ends when its
// standard input closes, so it never outlives the benchmark that started it.
//
//   count BUS REGEXP  an agent counting the Msgs of REGEXP
//   raw PORT          a TCP client of 127.0.0.1:PORT counting line feeds
//   echo BUS          an agent answering "ping X" with "pong X"
//   raw-echo PORT     a TCP client writing back every line it reads
//   bombs BUS TAG     an agent binding 1024 catastrophic regexps (TAG makes
//                     its texts differ from another bomber's)
//   late BUS          an agent printing, for each "<ns> WEATHER ..." Msg, how
//                     many microseconds after <ns> (CLOCK_MONOTONIC) it came
//
// Counters print "<count>\n" every 256 items and every 2 ms while it changes.
#include <Ivy/ivy.h>
#include <Ivy/ivychannel.h>
#include <Ivy/ivyloop.h>
#include <Ivy/timer.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

long received = 0;
long reported = 0;

void report_count() {
    if (received == reported) return;
    reported = received;
    std::printf("%ld\n", received);
    std::fflush(stdout);
}

void on_tick(TimerId, void*, unsigned long) {
    report_count();
}

void on_count(IvyClientPtr, void*, int, char**) {
    if (++received % 256 == 0) report_count();
}

void on_ping(IvyClientPtr, void*, int argc, char** argv) {
    if (argc == 1) IvySendMsg("pong %s", argv[0]);
}

long long monotonic_ns() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void on_late(IvyClientPtr, void*, int argc, char** argv) {
    if (argc < 1) return;
    const long long stamp = std::atoll(argv[0]);
    std::printf("%lld\n", (monotonic_ns() - stamp) / 1000);
    std::fflush(stdout);
}

void on_input(Channel channel, IVY_HANDLE fd, void*) {
    char buf[256];
    if (::read(fd, buf, sizeof buf) > 0) return;
    IvyChannelRemove(channel);
    IvyStop();
}

int run_agent(const char* bus) {
    IvyChannelAdd(STDIN_FILENO, nullptr, nullptr, on_input, nullptr);
    TimerRepeatAfter(TIMER_LOOP, 2, on_tick, nullptr);
    IvyStart(bus);
    IvyMainLoop();
    IvyTerminate();
    return 0;
}

int connect_loopback(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return -1;
    int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

// Until standard input or the socket closes.
int run_raw(int port, bool echo) {
    const int fd = connect_loopback(port);
    if (fd < 0) return 1;
    std::vector<char> buf(std::size_t{256} * 1024);
    pollfd fds[2] = {{fd, POLLIN, 0}, {STDIN_FILENO, POLLIN, 0}};
    for (;;) {
        if (::poll(fds, 2, 2) < 0) return 1;
        if (fds[1].revents != 0) return 0;
        if (fds[0].revents == 0) {
            report_count();
            continue;
        }
        const ssize_t n = ::read(fd, buf.data(), buf.size());
        if (n <= 0) return 0;
        if (echo) {
            if (::write(fd, buf.data(), static_cast<std::size_t>(n)) != n) return 1;
            continue;
        }
        for (ssize_t i = 0; i < n; ++i) received += buf[static_cast<std::size_t>(i)] == '\n';
        if (received - reported >= 256) report_count();
    }
}

void bind_bombs(const std::string& tag) {
    for (int i = 0; i < 1024; ++i) {
        const std::string text = "^(.+)+1$(?#" + tag + "-" + std::to_string(i) + ")";
        IvyBindMsg(on_count, nullptr, "%s", text.c_str());
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: %s count|raw|echo|raw-echo|bombs|late BUS|PORT [ARG]\n",
                     argv[0]);
        return 2;
    }
    const std::string mode = argv[1];
    if (mode == "raw" || mode == "raw-echo") return run_raw(std::atoi(argv[2]), mode == "raw-echo");
    const std::string name = "fanout-" + mode + "-" + std::to_string(::getpid());
    IvyInit(name.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    if (mode == "count" && argc > 3) {
        IvyBindMsg(on_count, nullptr, "%s", argv[3]);
    } else if (mode == "echo") {
        IvyBindMsg(on_ping, nullptr, "^ping (.*)");
    } else if (mode == "bombs" && argc > 3) {
        bind_bombs(argv[3]);
    } else if (mode == "late") {
        IvyBindMsg(on_late, nullptr, "^(\\d+) WEATHER (.*)");
    } else {
        std::fprintf(stderr, "%s: unknown mode or missing argument\n", argv[0]);
        return 2;
    }
    return run_agent(argv[2]);
}
