#include "peer.h"

#include <asio/error.hpp>
#include <asio/post.hpp>
#include <asio/write.hpp>
#include <exception>

#include "diagnostics.h"
#include "event_loop.h"
#include "ivy_limits.h"

namespace ivy {
namespace {

// Bytes asked of the kernel per read. A burst from a fast sender then takes
// one system call per 64 KiB, not per line; an idle peer's buffer only grows
// to this once it has sent that much.
constexpr std::size_t read_chunk = std::size_t{64} * 1024;

// Lines of one handler waiting for it to return are written early once this
// many bytes are queued: a larger write saves nothing more, and the receiver
// can start on the first lines while we match the rest.
constexpr std::size_t coalesce_bytes = std::size_t{64} * 1024;

bool would_block(const asio::error_code& ec) {
    return ec == asio::error::would_block || ec == asio::error::try_again;
}

// The buffers of every peer together; each peer keeps its own share in step.
std::size_t g_memory_total = 0;

}  // namespace

std::size_t Peer::memory_total() {
    return g_memory_total;
}

Peer::Peer(tcp::socket socket, PeerEvents& events, Direction dir)
    : direction(dir),
      socket_(std::move(socket)),
      timer_(loop_context()),
      events_(events),
      lines_(max_line_length),
      queue_(max_send_queue_bytes) {}

// Asio's cancel may throw, and a throw from a destructor ends the process:
// the failure is reported, and the members' own destructors still close the
// socket and the timer.
Peer::~Peer() {
    try {
        close();
    } catch (const std::exception& e) {
        report("closing the connection to %s failed: %s", remote_host.c_str(), e.what());
    } catch (...) {
        report("closing the connection to %s failed", remote_host.c_str());
    }
}

std::shared_ptr<Peer> Peer::accepted(tcp::socket socket, PeerEvents& events) {
    auto peer = std::make_shared<Peer>(std::move(socket), events, Direction::incoming);
    asio::error_code ec;
    peer->socket_.set_option(tcp::no_delay(true), ec);
    peer->socket_.non_blocking(true, ec);
    peer->learn_endpoints();
    return peer;
}

std::shared_ptr<Peer> Peer::connect(const tcp::endpoint& to, Ms timeout, PeerEvents& events) {
    auto peer = std::make_shared<Peer>(tcp::socket(loop_context()), events, Direction::outgoing);
    peer->state_ = State::connecting;
    peer->remote_ip = to.address().to_v4().to_uint();
    peer->remote_port = to.port();
    peer->remote_host = to.address().to_string();
    peer->socket_.async_connect(to, [peer](const asio::error_code& ec) { peer->on_connect(ec); });
    // The connect has been issued: the kernel has bound our end already, so
    // a connection arriving at our own listener can be recognised as ours.
    peer->learn_local_endpoint();
    peer->arm_deadline(timeout);
    return peer;
}

void Peer::learn_endpoints() {
    asio::error_code ec;
    const auto remote = socket_.remote_endpoint(ec);
    if (!ec && remote.address().is_v4()) {
        remote_ip = remote.address().to_v4().to_uint();
        remote_port = remote.port();
        remote_host = remote.address().to_string();
    }
    learn_local_endpoint();
}

void Peer::learn_local_endpoint() {
    asio::error_code ec;
    const auto local = socket_.local_endpoint(ec);
    if (ec || !local.address().is_v4()) return;
    local_ip = local.address().to_v4().to_uint();
    local_port = local.port();
}

void Peer::on_connect(const asio::error_code& ec) {
    if (state_ != State::connecting) return;
    if (ec) {
        close();
        events_.on_connect_failed(*this, ec);
        return;
    }
    timer_.cancel();
    state_ = State::open;
    asio::error_code ignored;
    socket_.set_option(tcp::no_delay(true), ignored);
    socket_.non_blocking(true, ignored);
    learn_endpoints();
    events_.on_connected(*this);
}

void Peer::arm_deadline(Ms after) {
    timer_.expires_after(after);
    timer_.async_wait([self = shared_from_this()](const asio::error_code& ec) {
        if (ec || self->closed()) return;
        if (self->state_ == State::connecting) {
            self->close();
            self->events_.on_connect_failed(*self, asio::error::timed_out);
            return;
        }
        self->end(asio::error::timed_out);
    });
}

void Peer::start() {
    if (state_ == State::closed || state_ == State::connecting || reading_) return;
    reading_ = true;
    read_more();
}

void Peer::read_more() {
    char* space = lines_.prepare(read_chunk);
    account();
    if (closed()) return;  // let go for the memory it just took
    socket_.async_read_some(asio::buffer(space, read_chunk),
                            [self = shared_from_this()](const asio::error_code& ec, std::size_t n) {
                                self->on_read(ec, n);
                            });
}

bool Peer::handing_out_lines() const {
    return state_ == State::open || (state_ == State::finishing && keep_lines_);
}

void Peer::on_read(const asio::error_code& ec, std::size_t n) {
    if (closed()) return;
    if (ec) {
        end(ec);
        return;
    }
    lines_.commit(n);
    hand_out_lines();
}

// The complete lines buffered, then more reading; unless the owner holds
// the peer (a line it cannot take yet) or closes it.
void Peer::hand_out_lines() {
    while (auto line = lines_.next_line()) {
        if (!handing_out_lines()) continue;
        if (!events_.on_line(*this, lines_.writable(*line))) {
            if (closed()) return;
            lines_.unread(*line);
            held_ = true;
            return;
        }
        if (closed()) return;
    }
    if (const std::size_t overlong = lines_.take_overlong(); overlong != 0) {
        events_.on_overlong(*this, overlong);
        if (closed()) return;
    }
    read_more();
}

// From a handler of its own: resume() may be called from inside on_line.
void Peer::resume() {
    if (!held_) return;
    held_ = false;
    asio::post(loop_context(), [self = shared_from_this()] {
        if (!self->closed() && !self->held_) self->hand_out_lines();
    });
}

PushResult Peer::send(MsgType type, int id, std::string_view payload) {
    return queue_line(type, id, payload);
}

PushResult Peer::send(MsgType type, int id, OneLine payload) {
    return queue_line(type, id, payload);
}

template <typename Payload>
PushResult Peer::queue_line(MsgType type, int id, Payload payload) {
    if (state_ != State::open || broken_) return PushResult::queued;
    const PushResult result = queue_.push(type, id, payload);
    if (result != PushResult::queued) return result;
    account();
    // Outside the loop (before it runs, or after it returned) no handler is
    // going to return: nothing waits.
    const bool in_handler = loop_context().get_executor().running_in_this_thread();
    const bool first_of_handler = in_handler && !flush_pending_;
    if (!in_handler || first_of_handler || queue_.size() >= coalesce_bytes) pump();
    if (first_of_handler) flush_when_handler_returns();
    return result;
}

void Peer::flush() {
    if (!closed()) pump();
}

// A posted handler runs once the one under way has returned: what was queued
// meanwhile then leaves in one write.
void Peer::flush_when_handler_returns() {
    flush_pending_ = true;
    asio::post(loop_context(), [self = shared_from_this()] {
        self->flush_pending_ = false;
        self->flush();
    });
}

// Writes directly while the kernel takes the bytes; hands the rest to one
// async_write. Runs inside send(), so failures are dealt with later.
void Peer::pump() {
    while (!writing_ && (state_ == State::open || state_ == State::finishing)) {
        const std::string_view chunk = queue_.next_chunk();
        if (chunk.empty()) {
            account();  // the drained buffers may have been freed
            set_congested(false);
            if (shut_down_when_flushed_) {
                asio::error_code ignored;
                socket_.shutdown(tcp::socket::shutdown_send, ignored);
                shut_down_when_flushed_ = false;
            }
            return;
        }
        asio::error_code ec;
        const std::size_t n = socket_.write_some(asio::buffer(chunk.data(), chunk.size()), ec);
        if (ec && !would_block(ec)) {
            // The read side may not see the loss soon (a peer that shut down
            // its reading only): close now rather than queue for nobody.
            broken_ = true;
            queue_.clear();
            end_later(ec);
            return;
        }
        const std::size_t written = ec ? 0 : n;
        queue_.consume(written);
        if (written == chunk.size()) continue;
        writing_ = true;
        set_congested(true);
        asio::async_write(socket_, asio::buffer(chunk.data() + written, chunk.size() - written),
                          [self = shared_from_this()](const asio::error_code& e, std::size_t k) {
                              self->on_written(e, k);
                          });
    }
}

void Peer::on_written(const asio::error_code& ec, std::size_t n) {
    writing_ = false;
    if (closed()) return;
    if (ec) {
        end(ec);
        return;
    }
    queue_.consume(n);
    pump();
}

void Peer::set_congested(bool congested) {
    if (congested == congested_) return;
    congested_ = congested;
    asio::post(loop_context(), [self = shared_from_this(), congested] {
        if (!self->closed()) self->events_.on_congestion(*self, congested);
    });
}

void Peer::finish(bool keep_lines, bool shut_down_send, Ms deadline) {
    if (state_ != State::open) return;
    state_ = State::finishing;
    keep_lines_ = keep_lines;
    shut_down_when_flushed_ = shut_down_send;
    arm_deadline(deadline);
    pump();
}

void Peer::close() {
    if (state_ == State::closed) return;
    state_ = State::closed;
    asio::error_code ignored;
    timer_.cancel();
    socket_.close(ignored);
    queue_.clear();
    lines_.release();
    account();
}

void Peer::account() {
    const std::size_t now = lines_.memory() + queue_.memory();
    if (now == accounted_) return;
    const bool grew = now > accounted_;
    g_memory_total = g_memory_total - accounted_ + now;
    accounted_ = now;
    if (grew) events_.on_memory_grew(*this);
}

void Peer::end(const asio::error_code& ec) {
    if (closed()) return;
    close();
    events_.on_closed(*this, ec);
}

void Peer::end_later(const asio::error_code& ec) {
    asio::post(loop_context(), [self = shared_from_this(), ec] { self->end(ec); });
}

}  // namespace ivy
