// anemobus-web as the field network sees it: the program itself (started
// here, fed through anemobus-monitor on a loopback bus of its own), and
// clients that misbehave or merely crowd it. One line per scenario:
//
//   slow_request_closed        how long a request that never ends is kept
//   latency_100_slow           GET / and /api/latest while 100 connections
//                              send one header byte every 2 s (and reconnect
//                              when dropped, as an attacker would)
//   latency_100_idle           the same while 100 keep-alive connections idle
//   page_33_refused            the 503 for one page more than the live limit,
//                              and GET / while 100 pages try to be open
//   cpu_32_pages_16_stations   the server's CPU with 32 live pages and 16
//                              stations at 1 Hz
//   latest_during_flood        /api/latest while the bus brings 5,000
//                              readings a second
//
//   bench_web_clients [seconds per scenario, default 20]
//
// Every loop here is bounded in count and time; the traffic stays on
// 127.0.0.1.
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_children.h"

namespace {

using bench::Child;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

int connect_to(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

bool send_text(int fd, const std::string& text) {
    return ::send(fd, text.data(), text.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(text.size());
}

// Reads until the answer's headers and Content-Length bytes of body are in
// (the headers only for a stream), or the connection closes, or the
// deadline; the text read.
std::string read_answer(int fd, std::chrono::milliseconds deadline) {
    const auto end = Clock::now() + deadline;
    std::string in;
    char buf[16384];
    while (Clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (::poll(&p, 1, static_cast<int>(left.count()) + 1) <= 0) continue;
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0) break;
        in.append(buf, static_cast<std::size_t>(n));
        const auto head_end = in.find("\r\n\r\n");
        if (head_end == std::string::npos) continue;
        std::smatch m;
        const std::string head = in.substr(0, head_end);
        // A stream (no length) is left to the caller once its headers are in.
        if (!std::regex_search(head, m, std::regex("[Cc]ontent-[Ll]ength: *(\\d+)")) ||
            in.size() >= head_end + 4 + std::stoul(m[1]))
            break;
    }
    return in;
}

// One GET on a new connection: milliseconds until its whole answer, and the answer.
double timed_get(int port, const std::string& target, std::string* answer = nullptr) {
    const auto start = Clock::now();
    const int fd = connect_to(port);
    if (fd < 0) return -1;
    send_text(fd, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    std::string in = read_answer(fd, 30s);
    const double ms = ms_since(start);
    ::close(fd);
    if (answer) *answer = std::move(in);
    return ms;
}

// The program under test and a monitor to send readings through.
struct Web {
    Child web, monitor;
    int port = 0;

    Web() {
        const std::string bus = bench::loopback_bus();
        web.spawn_program(BENCH_WEB, {"-q", "-b", bus, "--db", db(), "--listen", "127.0.0.1:0"});
        const auto start = Clock::now();
        std::smatch m;
        while (port == 0 && ms_since(start) < 10000) {
            web.read_lines();
            if (std::regex_search(web.partial, m, std::regex("serving http://127.0.0.1:(\\d+)/")))
                port = std::stoi(m[1]);
            std::this_thread::sleep_for(10ms);
        }
        monitor.spawn_program(BENCH_MONITOR, {"-q", "-b", bus, "^nothing$"});
        // Readings flow once the two have met on the bus.
        for (int i = 0; i < 200 && latest().find("\"id\":\"s0\"") == std::string::npos; ++i) {
            send("s0 WEATHER 101000 15 3 180\n");
            std::this_thread::sleep_for(50ms);
        }
    }
    ~Web() {
        for (Child* child : {&monitor, &web}) {
            ::kill(child->pid, SIGTERM);
            child->reap();
        }
        for (const char* suffix : {"", "-wal", "-shm"}) ::unlink((db() + suffix).c_str());
    }
    static std::string db() {
        return "/tmp/anemobus-bench-clients-" + std::to_string(::getpid()) + ".db";
    }
    void send(const std::string& lines) const {
        if (::write(monitor.to, lines.data(), lines.size()) < 0) std::perror("monitor");
    }
    std::string latest() const {
        std::string answer;
        timed_get(port, "/api/latest", &answer);
        return answer;
    }
    // utime + stime of the program, in seconds.
    double cpu_seconds() const {
        std::ifstream in("/proc/" + std::to_string(web.pid) + "/stat");
        std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        std::istringstream fields(text.substr(text.rfind(')') + 2));
        std::string field;
        double ticks = 0;
        for (int i = 3; i <= 15 && fields >> field; ++i)
            if (i >= 14) ticks += std::stod(field);
        return ticks / static_cast<double>(::sysconf(_SC_CLK_TCK));
    }
};

// Connections held open in the background: slow requests, idle keep-alive
// connections or live pages. Slow ones that the server drops come back.
class Crowd {
public:
    enum class Kind { slow, idle, page };
    Crowd(int port, Kind kind, int count) : port_(port), kind_(kind) {
        for (int i = 0; i < count; ++i) fds_.push_back(open());
        thread_ = std::thread([this] { run(); });
    }
    ~Crowd() {
        stop_ = true;
        thread_.join();
        for (const int fd : fds_)
            if (fd >= 0) ::close(fd);
    }
    int dropped() const { return dropped_; }
    // The pages whose stream is open, and those refused.
    int streaming() const { return streaming_; }
    int refused() const { return refused_; }

private:
    int open() {
        const int fd = connect_to(port_);
        if (fd < 0) return fd;
        if (kind_ == Kind::slow) send_text(fd, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ");
        if (kind_ == Kind::idle) {
            send_text(fd, "GET /api/latest HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
            read_answer(fd, 10s);
        }
        if (kind_ == Kind::page) {
            send_text(fd, "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
            const std::string head = read_answer(fd, 10s);
            if (head.find(" 200 ") != std::string::npos) ++streaming_;
            if (head.find(" 503 ") != std::string::npos) ++refused_;
        }
        ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
        return fd;
    }
    void run() {
        auto next_byte = Clock::now() + 2s;
        while (!stop_) {
            std::vector<pollfd> polls;
            for (const int fd : fds_) polls.push_back({fd, POLLIN, 0});
            ::poll(polls.data(), polls.size(), 100);
            char buf[65536];
            for (std::size_t i = 0; i < fds_.size(); ++i) {
                if (fds_[i] < 0 || (polls[i].revents & (POLLIN | POLLHUP | POLLERR)) == 0) continue;
                if (::recv(fds_[i], buf, sizeof buf, 0) > 0) continue;
                ::close(fds_[i]);
                ++dropped_;
                fds_[i] = kind_ == Kind::slow ? open() : -1;
            }
            if (kind_ != Kind::slow || Clock::now() < next_byte) continue;
            next_byte += 2s;
            for (int& fd : fds_)
                if (fd >= 0 && !send_text(fd, "x")) {
                    ::close(fd);
                    ++dropped_;
                    fd = open();
                }
        }
    }
    int port_;
    Kind kind_;
    std::vector<int> fds_;
    std::atomic<bool> stop_{false};
    std::atomic<int> dropped_{0}, streaming_{0}, refused_{0};
    std::thread thread_;
};

// GET / and /api/latest, `count` times each, spread over `seconds`. The
// page is asked by a station's link: with several stations live, "/" is a
// redirect to the overview.
std::string page_latencies(int port, int count, int seconds) {
    std::vector<double> page, latest;
    for (int i = 0; i < count; ++i) {
        page.push_back(timed_get(port, "/?id=1"));
        latest.push_back(timed_get(port, "/api/latest"));
        std::this_thread::sleep_for(std::chrono::milliseconds(seconds * 1000 / count));
    }
    const auto p = bench::percentiles(page), l = bench::percentiles(latest);
    char line[200];
    std::snprintf(line, sizeof line, "GET / p50 %.1f p99 %.1f ms, /api/latest p50 %.1f p99 %.1f ms",
                  p.p50, p.p99, l.p50, l.p99);
    return line;
}

void slow_request_closed(Web& web) {
    const int fd = connect_to(web.port);
    const auto start = Clock::now();
    send_text(fd, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\nX-Slow: ");
    char c = 0;
    // One byte a second until the server closes (or 30 s).
    while (ms_since(start) < 30000) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, 1000) > 0 && ::recv(fd, &c, 1, 0) <= 0) break;
        if (!send_text(fd, "x")) break;
    }
    std::printf("%-26s closed after %.0f ms\n", "slow_request_closed", ms_since(start));
}

void with_crowd(Web& web, Crowd::Kind kind, const char* name, int seconds) {
    Crowd crowd(web.port, kind, 100);
    std::this_thread::sleep_for(1s);
    const std::string line = page_latencies(web.port, 20, seconds);
    std::printf("%-26s %s (%d dropped by the server)\n", name, line.c_str(), crowd.dropped());
}

void page_33_refused(Web& web, int seconds) {
    Crowd pages(web.port, Crowd::Kind::page, 32);
    std::string answer;
    const double ms = timed_get(web.port, "/api/events", &answer);
    const bool says = answer.find("too many pages open") != std::string::npos;
    std::printf("%-26s %s in %.1f ms, %s the reason\n", "page_33_refused",
                answer.substr(9, 3).c_str(), ms, says ? "with" : "WITHOUT");
    Crowd more(web.port, Crowd::Kind::page, 68);
    std::printf("%-26s %d streaming, %d refused; %s\n", "pages_100", pages.streaming(),
                more.refused(), page_latencies(web.port, 10, seconds / 2).c_str());
}

// Readings of `stations` ids at `rate` a second for `seconds`.
void feed(Web& web, int stations, int rate, int seconds) {
    const auto start = Clock::now();
    for (long i = 0; ms_since(start) < seconds * 1000.0; ++i) {
        std::string lines;
        for (int s = 0; s < std::max(1, rate / 100); ++s)
            lines += "s" + std::to_string((i + s) % stations) + " WEATHER 101000 15 " +
                     std::to_string(3 + i % 7) + " 180\n";
        web.send(lines);
        const auto due = start + std::chrono::microseconds(i * (1000000 / std::min(rate, 100)));
        std::this_thread::sleep_until(due);
    }
}

void cpu_32_pages(Web& web, int seconds) {
    Crowd pages(web.port, Crowd::Kind::page, 32);
    const double before = web.cpu_seconds();
    const auto start = Clock::now();
    std::thread feeder([&] {
        for (int s = 0; s < seconds; ++s) {
            std::string lines;
            for (int id = 0; id < 16; ++id)
                lines += "s" + std::to_string(id) + " WEATHER 101000 15 4 90\n";
            web.send(lines);
            std::this_thread::sleep_until(start + std::chrono::seconds(s + 1));
        }
    });
    feeder.join();
    const double used = web.cpu_seconds() - before;
    std::printf("%-26s %.2f%% of one core over %d s (%d pages streaming)\n",
                "cpu_32_pages_16_stations", 100.0 * used / (ms_since(start) / 1000.0), seconds,
                pages.streaming());
}

void latest_during_flood(Web& web, int seconds) {
    Crowd pages(web.port, Crowd::Kind::page, 32);
    std::thread feeder([&] { feed(web, 16, 5000, seconds); });
    std::vector<double> samples;
    const auto start = Clock::now();
    while (ms_since(start) < seconds * 1000.0 - 500) {
        samples.push_back(timed_get(web.port, "/api/latest"));
        std::this_thread::sleep_for(20ms);
    }
    feeder.join();
    const auto p = bench::percentiles(samples);
    std::printf("%-26s /api/latest p50 %.1f p99 %.1f ms over %zu requests, 32 pages open\n",
                "latest_during_flood", p.p50, p.p99, samples.size());
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const int seconds = argc > 1 ? std::max(4, std::atoi(argv[1])) : 20;
    Web web;
    if (web.port == 0) {
        std::fprintf(stderr, "anemobus-web did not start\n");
        return 1;
    }
    slow_request_closed(web);
    with_crowd(web, Crowd::Kind::slow, "latency_100_slow", seconds);
    with_crowd(web, Crowd::Kind::idle, "latency_100_idle", seconds);
    page_33_refused(web, seconds);
    cpu_32_pages(web, seconds);
    latest_during_flood(web, seconds);
    return 0;
}
