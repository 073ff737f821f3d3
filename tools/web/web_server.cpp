// The only file that includes Boost.Beast and Boost.Asio: their headers cost
// seconds per translation unit, in the build and in clang-tidy alike.
#include "web_server.h"

#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <array>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/asio/write.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/core/tcp_stream.hpp>
#include <boost/beast/http.hpp>
#include <cctype>
#include <deque>
#include <map>
#include <optional>
#include <thread>
#include <unordered_set>

#include "live_feed.h"

namespace web {
namespace {

namespace net = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = net::ip::tcp;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A whole request, from the connection or the end of the previous answer.
constexpr auto request_deadline = 5s;
// One answer, or one event of a live stream, taken by the client.
constexpr auto write_deadline = 30s;
constexpr auto status_interval = 1s;
// New readings go to the live streams at most this often: under a flood
// each stream gets each station's latest, not every message.
constexpr auto fanout_spacing = 20ms;
// Beyond these a request is refused or a connection closed: the page's
// log reads queued, and a live stream's unsent bytes (a memory bound; a
// stream that stalls is closed long before, see ServerLimits).
constexpr std::size_t max_queued_jobs = 32;
constexpr std::size_t max_stream_backlog = std::size_t{1} << 20;
constexpr std::uint32_t max_header_bytes = 8192;
constexpr std::uint64_t max_body_bytes = 16384;
constexpr int worker_threads = 2;
// Exports read the log on a thread of their own, one slice at a time in
// turn, so that the page's own history never waits behind them.
constexpr int export_threads = 1;

bool is_loopback(const tcp::endpoint& peer) {
    const auto address = peer.address();
    if (address.is_v6() && address.to_v6().is_v4_mapped())
        return net::ip::make_address_v4(net::ip::v4_mapped, address.to_v6()).is_loopback();
    return address.is_loopback();
}

std::string lower_first(std::string text) {
    if (!text.empty())
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

using Text = std::shared_ptr<const std::string>;

// Whom a connection counts for: its address (IPv4 as mapped IPv6), an IPv6
// one by its /64, which one machine may hold whole.
using AddressKey = std::array<unsigned char, 16>;

AddressKey address_key(const net::ip::address& address) {
    if (address.is_v4())
        return net::ip::make_address_v6(net::ip::v4_mapped, address.to_v4()).to_bytes();
    AddressKey key = address.to_v6().to_bytes();
    if (!address.to_v6().is_v4_mapped()) std::fill(key.begin() + 8, key.end(), 0);
    return key;
}

// How many connections (or live streams, or exports) each address holds.
class Shares {
public:
    void add(const AddressKey& a) {
        ++counts_[a];
        ++total_;
    }
    void remove(const AddressKey& a) {
        const auto it = counts_.find(a);
        if (it == counts_.end()) return;
        if (--it->second == 0) counts_.erase(it);
        --total_;
    }
    std::size_t of(const AddressKey& a) const {
        const auto it = counts_.find(a);
        return it == counts_.end() ? 0 : it->second;
    }
    std::size_t total() const { return total_; }
    // Who gives a place up to a newcomer from `own` when all are taken: the
    // address holding the most, if it would still hold at least as many as
    // `own` after; else `own` itself. Places thus even out between
    // addresses and never pass back and forth.
    AddressKey giver(const AddressKey& own) const {
        AddressKey best = own;
        std::size_t most = of(own) + 1;
        for (const auto& [address, count] : counts_)
            if (count > most) {
                best = address;
                most = count;
            }
        return best;
    }

private:
    std::map<AddressKey, std::size_t> counts_;
    std::size_t total_ = 0;
};

}  // namespace

class Session;

struct WebServer::Impl {
    Impl(LiveState& live_state, LogWriter& writer, const ReadingStore* store, std::string log_path,
         ServerLimits server_limits)
        : live(live_state),
          routes(live_state, writer, store, std::move(log_path)),
          limits(server_limits) {}

    void accept();
    void admit(tcp::socket socket);
    bool make_room(const AddressKey& own);
    bool free_stream_for(const AddressKey& own);
    void tick();
    void send_status();
    void broadcast(const Text& text);
    void close_all();

    LiveState& live;
    Routes routes;
    const ServerLimits limits;
    // Every connection, and the live streams among them (io thread only).
    // Before io: sessions whose handlers are still queued leave these sets
    // when io is destroyed. A live stream is held here until it closes, as
    // it may have no operation pending between two events.
    std::unordered_set<Session*> sessions;
    std::unordered_set<std::shared_ptr<Session>> live_streams;
    // What each address holds of the open connections, the live streams and
    // the exports (io thread only).
    Shares connections, stream_shares, export_shares;
    std::atomic<std::size_t> queued_jobs{0};
    std::atomic<int> streams{0};
    net::io_context io{1};
    tcp::acceptor acceptor{io};
    net::steady_timer status_timer{io}, accept_pause{io};
    Clock::time_point next_status{};
    net::thread_pool workers{worker_threads};
    net::thread_pool export_workers{export_threads};
    std::thread io_thread;
    std::optional<LiveFeed> feed;
    bool started = false;
};

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(WebServer::Impl& server, tcp::socket socket, const tcp::endpoint& peer)
        : server_(server),
          stream_(std::move(socket)),
          address_(address_key(peer.address())),
          loopback_(is_loopback(peer)) {
        beast::error_code ec;
        stream_.socket().set_option(tcp::no_delay(true), ec);
        server_.sessions.insert(this);
        server_.connections.add(address_);
    }
    ~Session() {
        if (!closed_) server_.connections.remove(address_);
        server_.sessions.erase(this);
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void read_request();
    void close();
    // Closed at once, its unsent bytes dropped: for a client that takes
    // nothing, whose bytes would otherwise wait in the kernel for nobody.
    void abort();
    // A live stream's event; a stream too far behind is closed.
    void push(const Text& text);
    // Whether a live stream's client has taken none of its bytes for
    // timeout (checked once a second).
    bool stalled(Clock::time_point now, std::chrono::milliseconds timeout);
    bool loopback() const { return loopback_; }
    bool status_only() const { return status_only_; }
    const AddressKey& address() const { return address_; }
    bool closed() const { return closed_; }
    bool streaming() const { return live_ && !closed_; }
    Clock::time_point last_progress() const { return last_progress_; }
    Clock::time_point drained_at() const { return drained_at_; }

private:
    void on_request(beast::error_code ec);
    void dispatch(const http::request<http::string_body>& req);
    template <typename Body>
    std::shared_ptr<http::response<Body>> response_to(const Reply& reply) const;
    void send(Reply reply, bool close_after = false);
    bool admit_job();
    bool admit_export();
    void release_export();
    void start_live(std::string_view query);
    template <typename Result, typename Work, typename Done>
    void run_job(net::thread_pool& pool, Work work, Done done);
    void start_stream(Reply headers, bool live);
    void next_csv_slice();
    void write_text(const Text& text, std::function<void()> then);
    void end_stream();
    void write_next_event();
    void watch_hangup();

    WebServer::Impl& server_;
    beast::tcp_stream stream_;
    const AddressKey address_;
    // The last request read or answer written: the idlest gives way first.
    Clock::time_point last_progress_ = Clock::now();
    beast::flat_buffer buffer_{max_header_bytes + max_body_bytes};
    std::optional<http::request_parser<http::string_body>> parser_;
    std::shared_ptr<std::atomic<bool>> cancel_ = std::make_shared<std::atomic<bool>>(false);
    const bool loopback_;
    bool keep_alive_ = true, head_ = false, chunked_ = true;
    bool closed_ = false, watching_ = false, wait_armed_ = false, live_ = false, exporting_ = false;
    bool status_only_ = false;  // a live stream without the reading events
    unsigned version_ = 11;
    std::shared_ptr<CsvStream> csv_;
    std::deque<Text> outbox_;
    std::size_t backlog_ = 0;
    bool writing_ = false;
    // A live stream's bytes written into the socket, and how many of them
    // the client had taken when it last took some (or had all).
    std::int64_t written_ = 0, taken_ = 0;
    Clock::time_point drained_at_{};
};

void Session::read_request() {
    watching_ = false;
    last_progress_ = Clock::now();
    parser_.emplace();
    parser_->header_limit(max_header_bytes);
    parser_->body_limit(max_body_bytes);
    stream_.expires_after(request_deadline);
    http::async_read(
        stream_, buffer_, *parser_,
        [self = shared_from_this()](beast::error_code ec, std::size_t) { self->on_request(ec); });
}

void Session::on_request(beast::error_code ec) {
    if (closed_) return;
    const bool malformed =
        ec && ec.category() == http::make_error_code(http::error::bad_target).category() &&
        ec != http::error::end_of_stream && ec != http::error::partial_message;
    if (malformed) return send(Routes::error(400, "not a request this server reads"), true);
    if (ec) return close();  // gone, too slow, or a socket error: nobody to answer
    last_progress_ = Clock::now();
    const auto& req = parser_->get();
    keep_alive_ = req.keep_alive();
    head_ = req.method() == http::verb::head;
    version_ = req.version();
    chunked_ = version_ >= 11;
    dispatch(req);
}

void Session::dispatch(const http::request<http::string_body>& req) {
    const std::string_view target(req.target().data(), req.target().size());
    const std::string_view path = target.substr(0, target.find('?'));
    const std::string_view query =
        path.size() < target.size() ? target.substr(path.size() + 1) : std::string_view();
    const auto header = [&](http::field f) {
        const auto v = req[f];
        return std::string_view(v.data(), v.size());
    };
    const std::string_view method(req.method_string().data(), req.method_string().size());
    const Routes& routes = server_.routes;
    switch (route_of(method, path)) {
        case Route::not_allowed: {
            Reply reply = Routes::error(405, "only GET is served");
            reply.headers.emplace_back("Allow", "GET, HEAD");
            return send(std::move(reply));
        }
        case Route::not_found:
            return send(Routes::error(404, "not found"));
        case Route::file:
            return send(routes.file(path, query, header(http::field::if_none_match),
                                    header(http::field::accept_encoding)));
        case Route::latest:
            return send(routes.latest(loopback_));
        case Route::readings:
            if (!admit_job()) return;
            server_.queued_jobs.fetch_add(1);
            return run_job<Reply>(
                server_.workers,
                [&routes, &queued = server_.queued_jobs, q = std::string(query), cancel = cancel_] {
                    Reply reply = routes.readings(q, *cancel);
                    queued.fetch_sub(1);
                    return reply;
                },
                [this](Reply reply) { send(std::move(reply)); });
        case Route::csv: {
            Reply reply = routes.csv(query, header(http::field::accept_encoding), &csv_);
            if (reply.status != 200 || head_) return send(std::move(reply));
            if (!admit_export()) return;
            return start_stream(std::move(reply), false);
        }
        case Route::events:
            if (head_) return send(Routes::events_headers());
            return start_live(query);
    }
}

// A page beyond the live streams' cap takes the place of a page of an
// address that holds more (see free_stream_for), else is told at once.
void Session::start_live(std::string_view query) {
    if (server_.stream_shares.total() >= server_.limits.live_streams &&
        !server_.free_stream_for(address_)) {
        Reply reply = Routes::error(503, "too many pages open");
        reply.headers.emplace_back("Retry-After", "10");
        return send(std::move(reply));
    }
    live_ = true;  // the slot is ours until close()
    status_only_ = Routes::status_only(query);
    server_.stream_shares.add(address_);
    server_.streams.fetch_add(1);
    start_stream(Routes::events_headers(), true);
}

template <typename Body>
std::shared_ptr<http::response<Body>> Session::response_to(const Reply& reply) const {
    auto res =
        std::make_shared<http::response<Body>>(static_cast<http::status>(reply.status), version_);
    for (const auto& [name, value] : common_headers) res->set(name, value);
    for (const auto& [name, value] : reply.headers) res->set(name, value);
    return res;
}

void Session::send(Reply reply, bool close_after) {
    auto res = response_to<http::string_body>(reply);
    res->keep_alive(keep_alive_ && !close_after);
    const std::size_t size = reply.body.size();
    res->body() = head_ ? std::string() : std::move(reply.body);
    res->prepare_payload();
    if (head_ && reply.status != 304) res->content_length(size);
    stream_.expires_after(write_deadline);
    http::async_write(stream_, *res,
                      [self = shared_from_this(), res](beast::error_code ec, std::size_t) {
                          if (ec || !res->keep_alive()) return self->close();
                          self->read_request();
                      });
}

// A new request that reads the log waits behind at most max_queued_jobs
// others; beyond that it is told to come back (the page's own requests are
// few and spaced).
bool Session::admit_job() {
    if (server_.queued_jobs.load() < max_queued_jobs) return true;
    Reply reply = Routes::error(503, "busy: try again in a moment");
    reply.headers.emplace_back("Retry-After", "2");
    send(std::move(reply));
    return false;
}

// An export holds one of the exports' places until it ends; an address
// holds a few at most, so others always find one.
bool Session::admit_export() {
    const ServerLimits& limits = server_.limits;
    Shares& exports = server_.export_shares;
    if (exports.total() < limits.exports && exports.of(address_) < limits.exports_per_address) {
        exports.add(address_);
        exporting_ = true;
        return true;
    }
    Reply reply = Routes::error(503, "busy with other exports: try again in a moment");
    reply.headers.emplace_back("Retry-After", "2");
    send(std::move(reply));
    return false;
}

void Session::release_export() {
    if (!exporting_) return;
    exporting_ = false;
    server_.export_shares.remove(address_);
}

template <typename Result, typename Work, typename Done>
void Session::run_job(net::thread_pool& pool, Work work, Done done) {
    watch_hangup();
    net::post(pool, [self = shared_from_this(), work = std::move(work),
                     done = std::move(done)]() mutable {
        Result result = work();
        // The reference moves on: a session must end on the io thread.
        auto& io = self->server_.io;
        net::post(io, [self = std::move(self), result = std::move(result), done]() mutable {
            if (!self->closed_) done(std::move(result));
        });
    });
}

// While something is done for the client, a hang-up is noticed at once (a
// read that gives nothing), rather than at the next write.
void Session::watch_hangup() {
    watching_ = true;
    if (wait_armed_) return;
    wait_armed_ = true;
    stream_.socket().async_wait(
        tcp::socket::wait_read, [self = shared_from_this()](beast::error_code ec) {
            self->wait_armed_ = false;
            if (ec || !self->watching_ || self->closed_) return;
            char byte = 0;
            const auto n =
                ::recv(self->stream_.socket().native_handle(), &byte, 1, MSG_PEEK | MSG_DONTWAIT);
            // Bytes are a next request: left for read_request.
            if (n <= 0) self->close();
        });
}

void Session::start_stream(Reply headers, bool live) {
    auto res = response_to<http::empty_body>(headers);
    if (chunked_)
        res->chunked(true);
    else
        keep_alive_ = false;  // HTTP/1.0: the body ends with the connection
    res->keep_alive(keep_alive_);
    auto serializer = std::make_shared<http::response_serializer<http::empty_body>>(*res);
    watch_hangup();
    stream_.expires_after(write_deadline);
    http::async_write_header(
        stream_, *serializer,
        [self = shared_from_this(), res, serializer, live](beast::error_code ec, std::size_t n) {
            if (ec || self->closed_) return self->close();
            if (!live) return self->next_csv_slice();
            // Events flow once the headers are out.
            self->written_ += static_cast<std::int64_t>(n);
            self->taken_ = self->written_;
            self->drained_at_ = Clock::now();
            self->server_.live_streams.insert(self);
            const auto status = self->server_.routes.status_events();
            self->push(std::make_shared<const std::string>(self->loopback_ ? status.first
                                                                           : status.second));
        });
}

void Session::write_text(const Text& text, std::function<void()> then) {
    const auto done = [self = shared_from_this(), text, then = std::move(then)](
                          beast::error_code ec, std::size_t n) {
        if (ec) return self->close();
        self->written_ += static_cast<std::int64_t>(n);
        self->last_progress_ = Clock::now();
        then();
    };
    stream_.expires_after(write_deadline);
    if (chunked_)
        net::async_write(stream_, http::make_chunk(net::buffer(*text)), done);
    else
        net::async_write(stream_, net::buffer(*text), done);
}

void Session::next_csv_slice() {
    run_job<std::string>(
        server_.export_workers, [csv = csv_, cancel = cancel_] { return csv->next(*cancel); },
        [this](std::string text) {
            const auto then = [self = shared_from_this()] {
                if (self->csv_->done()) return self->end_stream();
                self->next_csv_slice();
            };
            // An empty chunk would end the body: none is written.
            if (text.empty()) return then();
            write_text(std::make_shared<const std::string>(std::move(text)), then);
        });
}

void Session::end_stream() {
    csv_.reset();
    release_export();
    if (!chunked_) return close();
    stream_.expires_after(write_deadline);
    net::async_write(stream_, http::make_chunk_last(),
                     [self = shared_from_this()](beast::error_code ec, std::size_t) {
                         if (ec || !self->keep_alive_) return self->close();
                         self->read_request();
                     });
}

void Session::push(const Text& text) {
    if (closed_) return;
    if (backlog_ + text->size() > max_stream_backlog) return close();
    backlog_ += text->size();
    outbox_.push_back(text);
    if (!writing_) write_next_event();
}

void Session::write_next_event() {
    writing_ = !outbox_.empty() && !closed_;
    if (!writing_) return;
    const Text text = outbox_.front();
    write_text(text, [self = shared_from_this(), size = text->size()] {
        self->backlog_ -= size;
        self->outbox_.pop_front();
        self->write_next_event();
    });
}

// The bytes the kernel still holds for the client (unsent, or sent and not
// acknowledged) tell how many it has taken; a client that takes some, or
// has all, is not stalled, however slowly it reads.
bool Session::stalled(Clock::time_point now, std::chrono::milliseconds timeout) {
    int queued = 0;
    if (::ioctl(stream_.socket().native_handle(), SIOCOUTQ, &queued) != 0) return false;
    const std::int64_t taken = written_ - queued;
    if (queued == 0 || taken > taken_) {
        taken_ = std::max(taken_, taken);
        drained_at_ = now;
        return false;
    }
    return now - drained_at_ >= timeout;
}

void Session::close() {
    if (closed_) return;
    const auto self = shared_from_this();  // the sets may hold the last reference
    closed_ = true;
    cancel_->store(true);
    server_.connections.remove(address_);
    release_export();
    if (live_) {
        server_.live_streams.erase(self);
        server_.stream_shares.remove(address_);
        server_.streams.fetch_sub(1);
    }
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.close();
}

void Session::abort() {
    beast::error_code ignored;
    stream_.socket().set_option(net::socket_base::linger(true, 0), ignored);
    close();
}

void WebServer::Impl::accept() {
    acceptor.async_accept([this](beast::error_code ec, tcp::socket socket) {
        if (ec == net::error::operation_aborted) return;
        if (ec) {
            // Out of descriptors, most likely: pause rather than spin.
            accept_pause.expires_after(100ms);
            return accept_pause.async_wait([this](beast::error_code e) {
                if (!e) accept();
            });
        }
        admit(std::move(socket));
        accept();
    });
}

// Every connection is taken: when the server is full, room is made rather
// than the newcomer turned away, so the clients that reconnect fastest
// cannot hold the server.
void WebServer::Impl::admit(tcp::socket socket) {
    beast::error_code ec;
    const tcp::endpoint peer = socket.remote_endpoint(ec);
    if (ec) return;  // gone already
    const AddressKey own = address_key(peer.address());
    if (connections.total() >= limits.connections && !make_room(own)) return;
    std::make_shared<Session>(*this, std::move(socket), peer)->read_request();
}

// The giver's idlest connection that is no live stream (those have their
// own cap), else its idlest. False when the giver is the newcomer's own
// address and it holds nothing: more addresses than places.
bool WebServer::Impl::make_room(const AddressKey& own) {
    const AddressKey from = connections.giver(own);
    Session* victim = nullptr;
    const auto rank = [](const Session* s) {
        return std::pair(s->streaming(), s->last_progress());
    };
    for (Session* s : sessions)
        if (!s->closed() && s->address() == from && (victim == nullptr || rank(s) < rank(victim)))
            victim = s;
    if (victim == nullptr) return false;
    victim->close();
    return true;
}

// A page from an address that holds fewer live streams than another takes
// that one's stream that drained longest ago; pages of one address never
// take each other's place.
bool WebServer::Impl::free_stream_for(const AddressKey& own) {
    const AddressKey from = stream_shares.giver(own);
    if (from == own) return false;
    Session* victim = nullptr;
    for (Session* s : sessions)
        if (s->streaming() && s->address() == from &&
            (victim == nullptr || s->drained_at() < victim->drained_at()))
            victim = s;
    if (victim == nullptr) return false;
    victim->close();
    return true;
}

void WebServer::Impl::tick() {
    next_status += status_interval;
    status_timer.expires_at(next_status);
    status_timer.async_wait([this](beast::error_code ec) {
        if (ec) return;
        if (!live_streams.empty()) send_status();
        tick();
    });
}

// The status to every live stream, once each is known not to be stalled.
void WebServer::Impl::send_status() {
    const auto [local, remote] = routes.status_events();
    const auto local_text = std::make_shared<const std::string>(local);
    const auto remote_text = std::make_shared<const std::string>(remote);
    const auto now = Clock::now();
    // A copy: closing a stream takes it out of the set.
    for (const auto& s : std::vector(live_streams.begin(), live_streams.end())) {
        if (s->stalled(now, limits.stall_timeout))
            s->abort();
        else
            s->push(s->loopback() ? local_text : remote_text);
    }
}

void WebServer::Impl::broadcast(const Text& text) {
    for (const auto& s : std::vector(live_streams.begin(), live_streams.end()))
        if (!s->status_only()) s->push(text);
}

void WebServer::Impl::close_all() {
    beast::error_code ignored;
    acceptor.close(ignored);
    status_timer.cancel();
    accept_pause.cancel();
    for (Session* s : std::vector<Session*>(sessions.begin(), sessions.end())) s->close();
}

WebServer::WebServer(LiveState& live, LogWriter& writer, const ReadingStore* store,
                     std::string log_path, ServerLimits limits)
    : impl_(std::make_unique<Impl>(live, writer, store, std::move(log_path), limits)) {}

WebServer::~WebServer() {
    stop();
}

tools::Result<int> WebServer::bind(const std::string& host, int port) {
    const bool v6 = host.find(':') != std::string::npos;
    const std::string where = (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
    beast::error_code ec;
    tcp::resolver resolver(impl_->io);
    const auto found = resolver.resolve(
        host, std::to_string(port), tcp::resolver::passive | tcp::resolver::numeric_service, ec);
    tcp::acceptor& acceptor = impl_->acceptor;
    if (!ec && found.empty()) ec = net::error::host_not_found;
    if (!ec) acceptor.open(found.begin()->endpoint().protocol(), ec);
    // SO_REUSEADDR lets a restart take the port over from connections still
    // closing; unlike SO_REUSEPORT it never lets two servers share it.
    if (!ec) acceptor.set_option(tcp::acceptor::reuse_address(true), ec);
    if (!ec) acceptor.bind(found.begin()->endpoint(), ec);
    if (!ec) acceptor.listen(net::socket_base::max_listen_connections, ec);
    if (ec) {
        tools::Failure failed =
            tools::fail("cannot listen on " + where + ": " + lower_first(ec.message()));
        acceptor.close(ec);
        return failed;
    }
    return acceptor.local_endpoint().port();
}

void WebServer::start() {
    Impl& s = *impl_;
    s.started = true;
    s.accept();
    s.next_status = Clock::now();
    s.tick();
    s.io_thread = std::thread([&s] { s.io.run(); });
    s.feed.emplace(
        s.live, fanout_spacing, [&s] { return s.streams.load() > 0; },
        [&s](const Text& text) { net::post(s.io, [&s, text] { s.broadcast(text); }); });
}

void WebServer::stop() {
    Impl& s = *impl_;
    s.live.shut_down();
    if (!s.started) return;
    s.started = false;
    s.feed.reset();
    net::post(s.io, [&s] {
        s.close_all();
        s.io.stop();
    });
    s.io_thread.join();
    s.workers.join();
    s.export_workers.join();
}

}  // namespace web
