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
// and the attacks on fairness, from three attackers' addresses (127.0.0.2-4)
// against one user's (127.0.0.5), the log holding 400 days of readings:
//
//   fair_600_idle              GET / by the user, 40 times, while 600 idle
//                              connections are reopened as soon as closed
//   fair_513_keep_alive        the same while 513 keep-alive connections ask
//                              /api/latest every 4 s
//   fair_32_stalled_streams    how long until a new page is live while 32
//                              live streams read nothing: from the user's
//                              address, and from an attacker's (which waits
//                              for a stalled stream to be closed)
//   fair_40_exports            the page's /api/readings while 40 exports of
//                              400 days run, each started again when done
//
//   bench_web_clients [seconds per scenario, default 20] [name prefix...]
//
// BENCH_WEB_PROGRAM=path runs another build of anemobus-web (an older one,
// to compare).
//
// Every loop here is bounded in count and time; the traffic stays on
// 127.0.0.0/8.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <mutex>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_children.h"
#include "reading_store.h"
#include "synthetic_weather.h"
#include "wall_clock.h"
#include "web_client.h"

namespace {

using bench::Child;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

double ms_since(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// The attackers' addresses and the user's: four machines to the server.
const char* const attacker_addresses[] = {"127.0.0.2", "127.0.0.3", "127.0.0.4"};
const char* const user_address = "127.0.0.5";

using tools::now_ms;

using web_test::connect_from;

int connect_to(int port) {
    return connect_from(port, "127.0.0.1");
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
double timed_get(int port, const std::string& target, std::string* answer = nullptr,
                 const char* source = "127.0.0.1", std::chrono::milliseconds timeout = 30s) {
    const auto start = Clock::now();
    const int fd = connect_from(port, source);
    if (fd < 0) return -1;
    send_text(fd, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    std::string in = read_answer(fd, timeout);
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
        const char* program = std::getenv("BENCH_WEB_PROGRAM");
        web.spawn_program(
            program != nullptr ? program : BENCH_WEB,
            {"-q", "-b", bus, "--db", db(), "--listen", "127.0.0.1:0", "--keep-days", "500"});
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

// Attackers from 127.0.0.2-4 in turn, each connection doing one thing over
// and over and opened again as soon as the server closes it; live streams
// excepted: they hold their place and read nothing.
class Swarm {
public:
    enum class Kind { idle, keep_alive, stream, csv };
    Swarm(int port, Kind kind, int count, std::string target = {})
        : port_(port), kind_(kind), target_(std::move(target)), conns_(count) {
        for (int i = 0; i < count; ++i) {
            Conn& c = conns_[static_cast<std::size_t>(i)];
            c.source = attacker_addresses[i % 3];
            // Keep-alive requests spread over their 4 s.
            c.next_ask = start_ + std::chrono::milliseconds(4000L * i / count);
            open(c);
        }
        thread_ = std::thread([this] { run(); });
    }
    ~Swarm() {
        stop_ = true;
        thread_.join();
        for (const Conn& c : conns_)
            if (c.fd >= 0) ::close(c.fd);
    }
    long reopened() const { return reopened_; }
    long finished() const { return finished_; }
    long refused() const { return refused_; }
    int most_unread() const { return most_unread_; }
    // Live streams reset by the server: seconds from the swarm's start until
    // each stopped taking bytes, and until it was reset.
    std::vector<std::pair<double, double>> stalls() {
        std::lock_guard lock(mutex_);
        return stalls_;
    }

private:
    struct Conn {
        int fd = -1;
        const char* source = nullptr;
        Clock::time_point next_ask{}, grew{};
        std::string head;
        int unread = 0;
    };

    void open(Conn& c) {
        c.fd = connect_from(port_, c.source);
        c.head.clear();
        c.unread = 0;
        c.grew = Clock::now();
        if (c.fd < 0) return;
        ::fcntl(c.fd, F_SETFL, ::fcntl(c.fd, F_GETFL) | O_NONBLOCK);
        if (kind_ == Kind::stream)
            send_text(c.fd, "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
        if (kind_ == Kind::csv)
            send_text(c.fd, "GET " + target_ +
                                " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n");
    }
    void reopen(Conn& c) {
        if (kind_ == Kind::csv && c.head.find(" 200 ") != std::string::npos) ++finished_;
        ::close(c.fd);
        c.fd = -1;
        ++reopened_;
        open(c);
    }
    // Takes what came; false once the server has closed.
    bool drain(Conn& c) {
        char buf[65536];
        for (;;) {
            const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK)) return false;
            if (n < 0) return true;
            if (c.head.size() < 64) {
                c.head.append(buf, std::min<std::size_t>(static_cast<std::size_t>(n), 64));
                if (c.head.find(" 503 ") != std::string::npos) ++refused_;
            }
        }
    }
    // A stream is watched, never read: when its unread bytes last grew, and
    // when the server reset it.
    void watch(Conn& c, short revents, Clock::time_point now) {
        if (c.fd < 0) return;
        if ((revents & (POLLERR | POLLHUP | POLLRDHUP)) != 0) {
            // A reset is a stalled stream closed; a plain end, one that gave
            // its place to another address's page.
            std::lock_guard lock(mutex_);
            if ((revents & POLLERR) != 0)
                stalls_.emplace_back(std::chrono::duration<double>(c.grew - start_).count(),
                                     std::chrono::duration<double>(now - start_).count());
            ::close(c.fd);
            c.fd = -1;
            return;
        }
        int unread = 0;
        ::ioctl(c.fd, FIONREAD, &unread);
        if (unread != c.unread) {
            c.unread = unread;
            c.grew = now;
            most_unread_ = std::max(most_unread_.load(), unread);
        }
    }
    void ask(Conn& c, Clock::time_point now) {
        if (kind_ != Kind::keep_alive || now < c.next_ask) return;
        c.next_ask += 4s;
        if (!send_text(c.fd, "GET /api/latest HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")) reopen(c);
    }
    void run() {
        while (!stop_) {
            std::vector<pollfd> polls;
            const short events = kind_ == Kind::stream ? POLLRDHUP : POLLIN;
            for (const Conn& c : conns_) polls.push_back({c.fd, events, 0});
            ::poll(polls.data(), polls.size(), 50);
            const auto now = Clock::now();
            for (std::size_t i = 0; i < conns_.size(); ++i) {
                Conn& c = conns_[i];
                if (kind_ == Kind::stream) {
                    watch(c, polls[i].revents, now);
                    continue;
                }
                if (c.fd < 0 || (polls[i].revents != 0 && !drain(c))) {
                    reopen(c);
                    continue;
                }
                ask(c, now);
            }
        }
    }

    int port_;
    Kind kind_;
    std::string target_;
    const Clock::time_point start_ = Clock::now();
    std::vector<Conn> conns_;
    std::atomic<bool> stop_{false};
    std::atomic<long> reopened_{0}, finished_{0}, refused_{0};
    std::atomic<int> most_unread_{0};
    std::mutex mutex_;
    std::vector<std::pair<double, double>> stalls_;
    std::thread thread_;
};

struct Tally {
    int answered = 0, in_time = 0;
    double worst_ms = 0;
};

// The user's GETs of target, each on a new connection from 127.0.0.5,
// `spacing` apart: how many were answered 200 (within 5 s), how many
// within 1 s, and the slowest.
Tally user_requests(int port, const std::string& target, int count,
                    std::chrono::milliseconds spacing) {
    Tally t;
    for (int i = 0; i < count; ++i) {
        std::string answer;
        const double ms = timed_get(port, target, &answer, user_address, 5s);
        if (answer.compare(0, 12, "HTTP/1.1 200") == 0) {
            ++t.answered;
            if (ms <= 1000) ++t.in_time;
        }
        t.worst_ms = std::max(t.worst_ms, ms);
        std::this_thread::sleep_for(spacing);
    }
    return t;
}

void print_tally(const char* name, const Tally& t, int count, const Swarm& swarm) {
    std::printf(
        "%-26s GET / from a fourth address answered %d of %d (%d within 1 s), worst %.0f ms; "
        "%ld reconnections by the attackers\n",
        name, t.answered, count, t.in_time, t.worst_ms, swarm.reopened());
}

void fair_600_idle(Web& web) {
    Swarm swarm(web.port, Swarm::Kind::idle, 600);
    std::this_thread::sleep_for(2s);
    print_tally("fair_600_idle", user_requests(web.port, "/", 40, 250ms), 40, swarm);
}

void fair_513_keep_alive(Web& web) {
    Swarm swarm(web.port, Swarm::Kind::keep_alive, 513);
    std::this_thread::sleep_for(5s);
    print_tally("fair_513_keep_alive", user_requests(web.port, "/", 40, 250ms), 40, swarm);
}

// A page as a browser opens it: refused (503), it asks again 10 s later.
// Seconds from `since` until its stream is live (negative past limit); its
// connection stays open in *fd. meanwhile() runs every 100 ms.
double seconds_until_live(int port, const char* source, Clock::time_point since, int* fd,
                          const std::function<void()>& meanwhile) {
    const auto limit = since + 180s;
    while (Clock::now() < limit) {
        *fd = connect_from(port, source);
        if (*fd >= 0) {
            send_text(*fd, "GET /api/events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
            const std::string head = read_answer(*fd, 2s);
            if (head.find(" 200 ") != std::string::npos)
                return std::chrono::duration<double>(Clock::now() - since).count();
            ::close(*fd);
            *fd = -1;
        }
        const auto again = Clock::now() + 10s;
        while (Clock::now() < again) {
            meanwhile();
            std::this_thread::sleep_for(100ms);
        }
    }
    return -1;
}

// The user's page reads what came, as a browser does.
void read_waiting(int fd) {
    char buf[65536];
    while (fd >= 0 && ::recv(fd, buf, sizeof buf, MSG_DONTWAIT) > 0) {
    }
}

void fair_32_stalled_streams(Web& web) {
    std::atomic<bool> feeding{true};
    // 16 stations at the relay's pace, one reading a second each: what a
    // stream carries on a busy page, so that a stream that reads nothing
    // fills its receive buffer (a few hundred kilobytes) within a minute.
    std::thread feeder([&] {
        for (int i = 0; feeding && i < 600; ++i) {
            std::string lines;
            for (int id = 0; id < 16; ++id)
                lines += "s" + std::to_string(id) + " WEATHER 101000 15 " +
                         std::to_string(3 + i % 5) + " 180\n";
            web.send(lines);
            std::this_thread::sleep_for(1s);
        }
    });
    const auto start = Clock::now();
    Swarm swarm(web.port, Swarm::Kind::stream, 32);
    std::this_thread::sleep_for(1s);
    int user_fd = -1, same_fd = -1;
    const double user_s = seconds_until_live(web.port, user_address, start, &user_fd, [] {});
    const double same_s = seconds_until_live(web.port, attacker_addresses[0], start, &same_fd,
                                             [&] { read_waiting(user_fd); });
    feeding = false;
    feeder.join();
    double stalled_first = -1, longest_wait = 0;
    const auto stalls = swarm.stalls();
    for (const auto& [stalled, closed] : stalls) {
        stalled_first = stalled_first < 0 ? stalled : std::min(stalled_first, stalled);
        longest_wait = std::max(longest_wait, closed - stalled);
    }
    std::printf(
        "%-26s a new page live after %.1f s from a fourth address, %.1f s from an "
        "attacker's; %zu streams reset, the first stalled %.0f s in, each at most "
        "%.1f s after it stalled (with %d kB unread)\n",
        "fair_32_stalled_streams", user_s, same_s, stalls.size(), stalled_first, longest_wait,
        swarm.most_unread() / 1024);
    for (const int fd : {user_fd, same_fd})
        if (fd >= 0) ::close(fd);
}

void fair_40_exports(Web& web, int seconds) {
    const std::int64_t day = std::int64_t{86400} * 1000, now = now_ms();
    const std::string target =
        "/api/readings.csv?from=" + std::to_string(now - 400 * day) + "&to=" + std::to_string(now);
    Swarm swarm(web.port, Swarm::Kind::csv, 40, target);
    std::this_thread::sleep_for(1s);
    const Tally t = user_requests(web.port, "/api/readings", 40,
                                  std::chrono::milliseconds(seconds * 1000 / 40));
    std::printf(
        "%-26s /api/readings answered %.0f%% (%d of 40, %d within 1 s, worst %.0f ms); "
        "the attackers finished %ld exports of 400 days, %ld refused with 503\n",
        "fair_40_exports", 100.0 * t.answered / 40, t.answered, t.in_time, t.worst_ms,
        swarm.finished(), swarm.refused());
}

// 400 days of readings, one every 5 minutes, for the exports to read.
bool fill_history(const std::string& path) {
    auto store = web::ReadingStore::open(path);
    if (!store) {
        std::fprintf(stderr, "cannot fill the log: %s\n", store.error().c_str());
        return false;
    }
    const auto id = web::StationId::from("s0");
    const std::int64_t step = 300'000, count = 400 * 288, end = now_ms() - 3'600'000;
    std::vector<web::StationReading> batch;
    for (std::int64_t i = 0; i < count; ++i) {
        batch.push_back({*id, web_test::synthetic_reading(end - (count - i) * step, i)});
        if (batch.size() < 10000 && i + 1 < count) continue;
        if (const tools::Status written = (*store)->insert(batch); !written) {
            std::fprintf(stderr, "cannot fill the log: %s\n", written.error().c_str());
            return false;
        }
        batch.clear();
    }
    return true;
}

bool chosen(const std::vector<std::string>& names, const std::string& scenario) {
    if (names.empty()) return true;
    for (const std::string& name : names)
        if (scenario.rfind(name, 0) == 0) return true;
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    const int seconds = argc > 1 ? std::max(4, std::atoi(argv[1])) : 20;
    const std::vector<std::string> names(argv + std::min(argc, 2), argv + argc);
    if (!fill_history(Web::db())) return 1;
    Web web;
    if (web.port == 0) {
        std::fprintf(stderr, "anemobus-web did not start\n");
        return 1;
    }
    if (chosen(names, "slow_request_closed")) slow_request_closed(web);
    if (chosen(names, "latency_100_slow"))
        with_crowd(web, Crowd::Kind::slow, "latency_100_slow", seconds);
    if (chosen(names, "latency_100_idle"))
        with_crowd(web, Crowd::Kind::idle, "latency_100_idle", seconds);
    if (chosen(names, "page_33_refused")) page_33_refused(web, seconds);
    if (chosen(names, "cpu_32_pages")) cpu_32_pages(web, seconds);
    if (chosen(names, "latest_during_flood")) latest_during_flood(web, seconds);
    if (chosen(names, "fair_600_idle")) fair_600_idle(web);
    if (chosen(names, "fair_513_keep_alive")) fair_513_keep_alive(web);
    if (chosen(names, "fair_32_stalled_streams")) fair_32_stalled_streams(web);
    if (chosen(names, "fair_40_exports")) fair_40_exports(web, seconds);
    return 0;
}
