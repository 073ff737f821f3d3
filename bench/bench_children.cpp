#include "bench_children.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <stdexcept>

extern char** environ;

namespace bench {
namespace {

using Clock = std::chrono::steady_clock;

constexpr long drain_every = 64;  // writes to each receiver between two looks at the pipes

void write_all(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n <= 0) throw std::runtime_error("write to a raw receiver failed");
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

// A listening socket on 127.0.0.1, its port in *port.
int listen_loopback(int* port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 128) != 0) {
        throw std::runtime_error("cannot listen on 127.0.0.1");
    }
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    *port = ntohs(a.sin_port);
    return fd;
}

std::vector<int> accept_all(int listener, std::size_t n) {
    std::vector<int> fds;
    for (std::size_t i = 0; i < n; ++i) {
        const int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        fds.push_back(fd);
    }
    return fds;
}

}  // namespace

void Child::spawn(const std::vector<std::string>& args) {
    spawn_program(BENCH_PEER, args);
}

void Child::spawn_program(const std::string& program, const std::vector<std::string>& args) {
    int in[2], out[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe");
    }
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&fa, out[1], STDOUT_FILENO);
    std::vector<std::string> words{program};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);
    const int rc = posix_spawn(&pid, words[0].c_str(), &fa, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(in[0]);
    ::close(out[1]);
    to = in[1];
    from = out[0];
    ::fcntl(from, F_SETFL, ::fcntl(from, F_GETFL) | O_NONBLOCK);
    if (rc != 0) throw std::runtime_error("cannot start " + words[0]);
}

void Child::read_lines() {
    char buf[4096];
    ssize_t n = 0;
    while ((n = ::read(from, buf, sizeof buf)) > 0)
        partial.append(buf, static_cast<std::size_t>(n));
}

void Child::read_counts() {
    read_lines();
    const std::size_t end = partial.rfind('\n');
    if (end == std::string::npos) return;
    const std::size_t before = end == 0 ? std::string::npos : partial.rfind('\n', end - 1);
    count = std::atol(partial.c_str() + (before == std::string::npos ? 0 : before + 1));
    partial.erase(0, end + 1);
}

void Child::close_input() {
    if (to >= 0) ::close(to);
    to = -1;
}

void Child::reap() {
    close_input();
    if (from >= 0) ::close(from);
    from = -1;
    if (pid > 0) ::waitpid(pid, nullptr, 0);
    pid = -1;
}

std::string loopback_bus() {
    // A port the kernel picks as free for UDP, so parallel runs do not meet.
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        throw std::runtime_error("cannot bind a UDP socket on 127.0.0.1");
    }
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return "127.255.255.255:" + std::to_string(ntohs(a.sin_port));
}

double raw_fanout(std::size_t n, long messages, const std::string& frame, int batch) {
    int port = 0;
    const int listener = listen_loopback(&port);
    std::vector<Child> children(n);
    for (Child& c : children) c.spawn({"raw", std::to_string(port)});
    const std::vector<int> sockets = accept_all(listener, n);
    std::string burst;
    for (int i = 0; i < batch; ++i) burst += frame;

    const auto start = Clock::now();
    for (long sent = 0; sent < messages; sent += batch) {
        const auto k = static_cast<std::size_t>(std::min<long>(batch, messages - sent));
        for (const int fd : sockets) write_all(fd, burst.data(), k * frame.size());
        // A child blocked on a full pipe would stop reading its socket; it
        // reports every 256 lines and every 2 ms, which a pipe holds for long.
        if ((sent / batch) % drain_every == 0) {
            for (Child& c : children) c.read_counts();
        }
    }
    bool all = false;
    while (!all) {
        std::vector<pollfd> fds;
        for (const Child& c : children) fds.push_back({c.from, POLLIN, 0});
        ::poll(fds.data(), fds.size(), 100);
        all = true;
        for (Child& c : children) {
            c.read_counts();
            all = all && c.count >= messages;
        }
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    bool exact = true;
    for (Child& c : children) {
        exact = exact && c.count == messages;
        c.reap();
    }
    for (const int fd : sockets) ::close(fd);
    ::close(listener);
    return (exact ? 1 : -1) * static_cast<double>(messages) * static_cast<double>(n) / seconds;
}

std::vector<double> raw_round_trips(int count, const std::string& line) {
    int port = 0;
    const int listener = listen_loopback(&port);
    Child echo;
    echo.spawn({"raw-echo", std::to_string(port)});
    const int fd = accept_all(listener, 1).front();
    std::vector<double> out;
    char buf[4096];
    for (int i = 0; i < count; ++i) {
        const auto start = Clock::now();
        write_all(fd, line.data(), line.size());
        std::size_t got = 0;
        while (got < line.size()) {
            const ssize_t n = ::read(fd, buf, sizeof buf);
            if (n <= 0) break;
            got += static_cast<std::size_t>(n);
        }
        out.push_back(std::chrono::duration<double, std::micro>(Clock::now() - start).count());
    }
    echo.reap();
    ::close(fd);
    ::close(listener);
    return out;
}

Percentiles percentiles(std::vector<double> samples) {
    if (samples.empty()) return {};
    std::sort(samples.begin(), samples.end());
    const auto at = [&](double q) {
        return samples[static_cast<std::size_t>(q * static_cast<double>(samples.size() - 1))];
    };
    return {at(0.50), at(0.99)};
}

}  // namespace bench
