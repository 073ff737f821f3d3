#include "agent_harness.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <stdexcept>

#include "capture_file.h"

namespace harness {
namespace {

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

bool readable(int fd, milliseconds timeout) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, static_cast<int>(test_support::scaled(timeout).count())) > 0;
}

int local_port_of(int fd) {
    sockaddr_in a{};
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

}  // namespace

RawPeer::~RawPeer() {
    if (fd_ >= 0) ::close(fd_);
}

std::unique_ptr<RawPeer> RawPeer::connect_to(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a = loopback(port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return nullptr;
    }
    return std::make_unique<RawPeer>(fd);
}

int RawPeer::local_port() const {
    return local_port_of(fd_);
}

void RawPeer::send(std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0) return;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

int RawPeer::fill(milliseconds timeout) {
    if (!readable(fd_, timeout)) return -1;
    char chunk[65536];
    const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) return 0;
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return static_cast<int>(n);
}

std::optional<std::string> RawPeer::read_line(milliseconds timeout) {
    const auto deadline = test_support::Clock::now() + test_support::scaled(timeout);
    for (;;) {
        const auto lf = buffer_.find('\n');
        if (lf != std::string::npos) {
            std::string line = buffer_.substr(0, lf + 1);
            buffer_.erase(0, lf + 1);
            return line;
        }
        const auto left =
            std::chrono::duration_cast<milliseconds>(deadline - test_support::Clock::now());
        if (left.count() <= 0 || fill(left / test_support::timeout_scale()) <= 0) {
            return std::nullopt;
        }
    }
}

std::vector<std::string> RawPeer::read_until(std::string_view line, milliseconds timeout) {
    std::vector<std::string> lines;
    while (auto next = read_line(timeout)) {
        lines.push_back(*next);
        if (*next == line) return lines;
    }
    lines.push_back("<no '" + std::string(line) + "' before the deadline>");
    return lines;
}

bool RawPeer::wait_closed(milliseconds timeout, std::vector<std::string>* seen) {
    const auto deadline = test_support::Clock::now() + test_support::scaled(timeout);
    while (test_support::Clock::now() < deadline) {
        const int got = fill(milliseconds(50));
        if (got == 0) break;
    }
    const bool closed = test_support::Clock::now() < deadline;
    while (seen != nullptr) {
        const auto lf = buffer_.find('\n');
        if (lf == std::string::npos) break;
        seen->push_back(buffer_.substr(0, lf + 1));
        buffer_.erase(0, lf + 1);
    }
    return closed;
}

bool RawPeer::stays_silent(milliseconds quiet) {
    return buffer_.empty() && !readable(fd_, quiet);
}

RawListener::RawListener(int port, int backlog) {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    const sockaddr_in a = loopback(port);
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(fd_, backlog) != 0) {
        return;
    }
    port_ = local_port_of(fd_);
}

RawListener::~RawListener() {
    ::close(fd_);
}

std::unique_ptr<RawPeer> RawListener::accept(milliseconds timeout) {
    if (!readable(fd_, timeout)) return nullptr;
    const int fd = ::accept(fd_, nullptr, nullptr);
    return fd < 0 ? nullptr : std::make_unique<RawPeer>(fd);
}

bool RawListener::gets_connection(milliseconds quiet, std::unique_ptr<RawPeer>* peer) {
    auto got = accept(quiet);
    const bool any = got != nullptr;
    if (peer != nullptr) *peer = std::move(got);
    return any;
}

BusSocket::BusSocket(int bus_port) : bus_port_(bus_port) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    const int one = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one);
    ::setsockopt(fd_, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(bus_port));
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd_, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        throw std::runtime_error("test bus socket");
    }
}

BusSocket::~BusSocket() {
    ::close(fd_);
}

void BusSocket::broadcast(std::string_view datagram) {
    sockaddr_in a = loopback(bus_port_);
    a.sin_addr.s_addr = htonl(0x7fffffffu);  // 127.255.255.255
    ::sendto(fd_, datagram.data(), datagram.size(), 0, reinterpret_cast<const sockaddr*>(&a),
             sizeof a);
}

std::optional<std::string> BusSocket::wait_announcement(std::string_view name,
                                                        milliseconds timeout) {
    const auto deadline = test_support::Clock::now() + test_support::scaled(timeout);
    while (test_support::Clock::now() < deadline) {
        if (!readable(fd_, milliseconds(50))) continue;
        char buffer[4096];
        const ssize_t n = ::recv(fd_, buffer, sizeof buffer, 0);
        if (n <= 0) continue;
        std::string datagram(buffer, static_cast<std::size_t>(n));
        if (datagram.rfind("3 ", 0) == 0 && datagram.find(name) != std::string::npos) {
            return datagram;
        }
    }
    return std::nullopt;
}

int announced_port(std::string_view datagram) {
    return std::atoi(std::string(datagram.substr(2)).c_str());
}

Agent::Agent(const AgentOptions& options, BusSocket& bus) {
    std::vector<std::string> args = {"-b", test_support::loopback_bus(options.bus_port), "-n",
                                     options.name};
    if (options.ready) args.insert(args.end(), {"-r", *options.ready});
    args.insert(args.end(), options.flags.begin(), options.flags.end());
    args.insert(args.end(), options.regexps.begin(), options.regexps.end());
    child_ = std::make_unique<test_support::Child>(
        std::string(ANEMOBUS_BIN_DIR) + "/tests/ivy/ivy_test_agent", args);
    if (const auto datagram = bus.wait_announcement(" " + options.name + "\n")) {
        port_ = announced_port(*datagram);
        announcement_ = *datagram;
    }
}

std::string Agent::command(const std::string& line, std::string_view reply) {
    const std::size_t from = child_->out().size();
    child_->write_stdin(line + "\n");
    if (reply.empty()) return {};
    std::string found;
    test_support::wait_until(
        [&] {
            const std::string& out = child_->out();
            for (std::size_t at = from; at < out.size();) {
                const std::size_t lf = out.find('\n', at);
                if (lf == std::string::npos) return false;
                if (out.compare(at, reply.size(), reply) == 0) {
                    found = out.substr(at, lf - at);
                    return true;
                }
                at = lf + 1;
            }
            return false;
        },
        milliseconds(3000));
    return found;
}

std::unique_ptr<RawPeer> Agent::connect_peer(std::string_view name,
                                             const std::vector<std::string>& regexps) {
    auto peer = RawPeer::connect_to(port_);
    if (!peer) return nullptr;
    std::string handshake =
        "6 " + std::to_string(peer->local_port()) + "\x02" + std::string(name) + "\n";
    for (std::size_t i = regexps.size(); i-- > 0;) {
        handshake += "1 " + std::to_string(i) + "\x02" + regexps[i] + "\n";
    }
    handshake += "5 0\x02\n";
    peer->send(handshake);
    return peer;
}

std::vector<std::string> capture_frames(const std::string& relative_path) {
    std::string error;
    const auto file =
        capture::read_capture(test_support::data_path("ivy-wire/" + relative_path), &error);
    if (!file) throw std::runtime_error(error);
    return without_ports(file->frames);
}

std::vector<std::string> without_ports(std::vector<std::string> frames) {
    for (auto& frame : frames) {
        if (frame.rfind("6 ", 0) != 0) continue;
        const auto stx = frame.find('\x02');
        if (stx != std::string::npos) frame.replace(2, stx - 2, "<port>");
    }
    return frames;
}

std::string replay_stream(const std::vector<std::string>& frames, int port) {
    std::string out;
    for (std::string frame : frames) {
        if (frame.rfind("6 <port>", 0) == 0) frame.replace(2, 6, std::to_string(port));
        out += frame;
    }
    return out;
}

std::string show(const std::vector<std::string>& frames) {
    std::string out;
    for (const auto& frame : frames) out += "  " + capture::escape_bytes(frame) + "\n";
    return out;
}

std::string escaped(std::string_view text) {
    std::string out;
    for (const char c : text) {
        if (c == '\\') out += '\\';
        out += c;
    }
    return out;
}

}  // namespace harness
