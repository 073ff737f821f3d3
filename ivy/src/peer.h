// One TCP connection to another agent: reading lines, writing queued lines,
// and closing, on the process's loop. The protocol itself is the agent's
// (agent.h); a Peer only moves bytes and keeps the agent's notes about it.
//
// Principles: everything is asynchronous and nothing here blocks: connect,
// read and write go through Asio, and a write is first tried directly on the
// non-blocking socket, so a line usually leaves at once and the queue only
// fills when the peer reads slower than we write. One write is in flight at a
// time. Lines sent while the loop is inside one handler are coalesced: the
// first goes out at once (a lone message never waits), the ones after it are
// written together when the handler returns, or as soon as about
// coalesce_bytes are waiting, so a burst costs one system call per peer
// rather than one per line. Handlers keep the Peer alive (shared_ptr) and check that it is still
// open before acting, so the agent may close a peer at any point, even from
// inside that peer's own line handler. Events that can reach the application
// (congestion) are never raised from inside send(): the application's
// callback could otherwise re-enter a send under way.
#pragma once

#include <asio/ip/tcp.hpp>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "ivy_limits.h"
#include "send_queue.h"
#include "wire_codec.h"

namespace ivy {

class Peer;

// What a Peer tells its owner. Called on the loop's thread, never from
// inside Peer::send().
class PeerEvents {
public:
    virtual void on_connected(Peer& peer) = 0;
    virtual void on_connect_failed(Peer& peer, const asio::error_code& ec) = 0;
    // One line, its LF included, in the peer's read buffer: the handler may
    // write over those bytes (to cut fields in place). Valid during the call.
    // false: the line is not taken yet (nothing written over it); the peer
    // is held, keeps it and the lines after it, reads nothing more, and hands
    // it out again once resume() is called.
    virtual bool on_line(Peer& peer, std::span<char> line) = 0;
    virtual void on_overlong(Peer& peer, std::size_t count) = 0;
    // The connection is closed (end of stream, error, or a deadline set by
    // finish()); the peer will not call again.
    virtual void on_closed(Peer& peer, const asio::error_code& ec) = 0;
    virtual void on_congestion(Peer& peer, bool congested) = 0;
    // The peer's buffers have just grown (memory_total() with them). Called
    // from inside send() too: only bookkeeping and closing peers are allowed.
    virtual void on_memory_grew(Peer& peer) = 0;

protected:
    ~PeerEvents() = default;
};

enum class Direction { outgoing, incoming };

class Peer : public std::enable_shared_from_this<Peer> {
public:
    using tcp = asio::ip::tcp;
    using Ms = std::chrono::milliseconds;

    // A connection we accepted: open at once; call start() once set up.
    static std::shared_ptr<Peer> accepted(tcp::socket socket, PeerEvents& events);
    // Starts connecting; on_connected or on_connect_failed follows (the
    // latter also when the connection is not made within timeout).
    static std::shared_ptr<Peer> connect(const tcp::endpoint& to, Ms timeout, PeerEvents& events);

    Peer(tcp::socket socket, PeerEvents& events, Direction direction);
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    // Starts reading lines (after the handshake has been queued).
    void start();

    // Queues one line; it is written at once, or with the lines queued after
    // it in the same handler when that returns. Full: nothing queued, the
    // peer is left as it is (the caller decides). Only while sendable().
    PushResult send(MsgType type, int id, std::string_view payload);
    // The same for a payload checked once for all peers (never refused).
    PushResult send(MsgType type, int id, OneLine payload);

    // Hands out again the line the owner did not take, and those after it,
    // then reads on (see PeerEvents::on_line). Does nothing unless held.
    void resume();
    bool held() const { return held_; }

    // Writes what the kernel takes of the queue now, without waiting for the
    // handler to return (before closing, say).
    void flush();

    // Winds the connection down: no more sends; what is queued is written;
    // then, if shut_down_send, our side of the stream is shut down; lines
    // from the peer are still handed out if keep_lines; the connection is
    // closed (on_closed) at the peer's end of stream or after deadline.
    void finish(bool keep_lines, bool shut_down_send, Ms deadline);

    // Closes at once, without any event. Idempotent.
    void close();

    bool sendable() const { return state_ == State::open; }
    bool closed() const { return state_ == State::closed; }
    bool connecting() const { return state_ == State::connecting; }
    std::size_t queued_bytes() const { return queue_.size(); }
    // Bytes the read and send buffers hold, and what every peer's hold together.
    std::size_t memory() const { return accounted_; }
    static std::size_t memory_total();

    const Direction direction;
    // Filled when the connection is made: numeric addresses only (host order).
    std::uint32_t remote_ip = 0;
    std::uint16_t remote_port = 0;
    std::uint32_t local_ip = 0;
    std::uint16_t local_port = 0;  // known as soon as connecting has begun
    std::string remote_host;       // "a.b.c.d"

    // The agent's notes about this peer (see agent.cpp).
    struct Notes {
        std::uint16_t listen_port = 0;  // announced or declared; 0: not known
        std::string app_id;             // from its announcement; may be empty
        std::string name;
        bool identified = false;  // listen_port known and duplicates checked
        bool end_seen = false;    // its EndRegexp arrived
        bool reported = false;    // the application was told it is connected
        bool ready_sent = false;
        bool doomed = false;  // a duplicate of another connection: winding down
        bool unknown_type_reported = false;
        bool forgotten = false;  // its bindings are being freed
        // Bindings a duplicate connection brought, held until this
        // connection's own handshake confirms them (Agent::stand_in_bindings).
        std::vector<int> stand_ins;
        std::uintptr_t handle = 0;  // the IvyClientPtr the application sees
        int last_ping_id = 0;
        std::chrono::steady_clock::time_point ping_sent{};
        // Messages whose matching for this peer waits its turn, oldest
        // first, and how far the oldest has got (agent_matching.cpp).
        struct Backlog {
            std::deque<std::shared_ptr<const std::string>> messages;
            std::uint64_t resume_at = 0;  // a MatchPosition in the oldest
            std::size_t bytes = 0;
            std::chrono::nanoseconds spent{};  // CPU time on the oldest so far
            bool slow = false;                 // its last message took long: waits its turn
            bool measured = false;             // has had a message matched whole
            bool in_line = false;              // in the agent's line of peers to serve
        } backlog;
    } notes;

    // Reused for each received Msg handed to the application.
    std::vector<char*> argv;

private:
    enum class State { connecting, open, finishing, closed };

    void on_connect(const asio::error_code& ec);
    void learn_endpoints();
    void learn_local_endpoint();
    void read_more();
    void on_read(const asio::error_code& ec, std::size_t n);
    void hand_out_lines();
    template <typename Payload>
    PushResult queue_line(MsgType type, int id, Payload payload);
    void account();
    bool handing_out_lines() const;
    void pump();
    void flush_when_handler_returns();
    void on_written(const asio::error_code& ec, std::size_t n);
    void set_congested(bool congested);
    void end(const asio::error_code& ec);
    void end_later(const asio::error_code& ec);
    void arm_deadline(Ms after);

    tcp::socket socket_;
    asio::steady_timer timer_;
    PeerEvents& events_;
    State state_ = State::open;
    LineAssembler lines_;
    SendQueue queue_;
    bool writing_ = false;
    bool flush_pending_ = false;  // a flush is posted: sends only queue
    bool congested_ = false;
    bool keep_lines_ = true;
    bool shut_down_when_flushed_ = false;
    bool reading_ = false;
    bool broken_ = false;        // a write failed: the connection is being closed
    bool held_ = false;          // a line waits for resume()
    std::size_t accounted_ = 0;  // this peer's share of memory_total()
};

}  // namespace ivy
