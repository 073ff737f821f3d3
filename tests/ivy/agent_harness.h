// Scripted peers for the agent tests: raw TCP and UDP on loopback, bytes in
// and bytes out, so a test states exactly what a peer sends and expects.
// The agent under test is the ivy_test_agent program, one per test, driven
// through its standard input (a process holds one agent).
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "test_support.h"

namespace harness {

using std::chrono::milliseconds;

// One TCP connection, blocking reads with deadlines.
class RawPeer {
public:
    explicit RawPeer(int fd) : fd_(fd) {}
    ~RawPeer();
    RawPeer(const RawPeer&) = delete;
    RawPeer& operator=(const RawPeer&) = delete;

    static std::unique_ptr<RawPeer> connect_to(int port);

    void send(std::string_view bytes);
    // The next line with its LF; nullopt at the (scaled) deadline or at the
    // end of the stream.
    std::optional<std::string> read_line(milliseconds timeout = milliseconds(3000));
    // Lines until one equals `line`, which is included; empty at the deadline.
    std::vector<std::string> read_until(std::string_view line,
                                        milliseconds timeout = milliseconds(3000));
    // Whether the other end closed (end of stream or reset) before the
    // deadline; lines read meanwhile are kept in *seen.
    bool wait_closed(milliseconds timeout, std::vector<std::string>* seen = nullptr);
    // Whether nothing at all arrives during `quiet` (a deliberate wait).
    bool stays_silent(milliseconds quiet);
    int fd() const { return fd_; }
    int local_port() const;

private:
    int fill(milliseconds timeout);  // >0 bytes read, 0 closed, -1 timeout
    int fd_;
    std::string buffer_;
};

// A TCP listener on 127.0.0.1 for agents to connect to.
class RawListener {
public:
    // On a port the kernel picks, or on `port` (0 if it cannot be had).
    // With a backlog of 0 the kernel queues one connection; while it is not
    // accepted, a connect to us stays pending (its SYN is dropped, sent
    // again a second later).
    explicit RawListener(int port = 0, int backlog = 16);
    ~RawListener();
    int port() const { return port_; }
    std::unique_ptr<RawPeer> accept(milliseconds timeout = milliseconds(3000));
    // Whether a connection arrives within `quiet` (accepted and kept in *peer).
    bool gets_connection(milliseconds quiet, std::unique_ptr<RawPeer>* peer = nullptr);

private:
    int fd_ = -1;
    int port_ = 0;
};

// A socket on the bus port, like any agent's: hears announcements, sends them.
class BusSocket {
public:
    explicit BusSocket(int bus_port);
    ~BusSocket();
    void broadcast(std::string_view datagram);
    // The next datagram whose text starts with "3 " and holds name, or nullopt.
    std::optional<std::string> wait_announcement(std::string_view name,
                                                 milliseconds timeout = milliseconds(3000));

private:
    int fd_ = -1;
    int bus_port_;
};

// "3 <port> <app-id> <name>\n" -> port; 0 when unreadable.
int announced_port(std::string_view datagram);

// The agent program, started on a bus with a name, optional ready message
// and regexps (escaped as its command line wants).
struct AgentOptions {
    AgentOptions(int bus, std::string agent_name, std::optional<std::string> ready_message,
                 std::vector<std::string> bound, std::vector<std::string> options = {})
        : bus_port(bus),
          name(std::move(agent_name)),
          ready(std::move(ready_message)),
          regexps(std::move(bound)),
          flags(std::move(options)) {}
    int bus_port;
    std::string name;
    std::optional<std::string> ready;
    std::vector<std::string> regexps;
    std::vector<std::string> flags;  // extra options, e.g. "-t"
};

class Agent {
public:
    // Starts the program and waits for its announcement (the bus socket must
    // be bound first so it is heard); tcp_port() is then known.
    Agent(const AgentOptions& options, BusSocket& bus);
    test_support::Child& child() { return *child_; }
    int tcp_port() const { return port_; }
    const std::string& announcement() const { return announcement_; }
    // Writes one command line and waits for the reply starting with `reply`
    // (if not empty); returns that reply line.
    std::string command(const std::string& line, std::string_view reply = {});
    bool wait_out(std::string_view text, milliseconds timeout = milliseconds(3000)) {
        return child_->wait_out(text, timeout);
    }
    // A connection to this agent, with our handshake sent (name, port 1 by
    // default, regexps as AddRegexp ids 0..n-1, newest first).
    std::unique_ptr<RawPeer> connect_peer(std::string_view name,
                                          const std::vector<std::string>& regexps = {});

private:
    std::unique_ptr<test_support::Child> child_;
    int port_ = 0;
    std::string announcement_;
};

// The frames of a capture file, with the StartRegexp port replaced by
// "<port>" (run-specific) so recordings and live streams compare.
std::vector<std::string> capture_frames(const std::string& relative_path);
std::vector<std::string> without_ports(std::vector<std::string> frames);
// The frames joined, "<port>" put back as port: what a peer sends.
std::string replay_stream(const std::vector<std::string>& frames, int port);
// Readable form for failure messages.
std::string show(const std::vector<std::string>& frames);
// "\\" for each backslash: a text as the agent's commands expect it.
std::string escaped(std::string_view text);

}  // namespace harness
