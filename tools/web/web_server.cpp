// The only file that includes Boost.Beast and Boost.Asio: their headers cost
// seconds per translation unit, in the build and in clang-tidy alike.
#include "web_server.h"

#include <sys/socket.h>

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
using namespace std::chrono_literals;

// A whole request, from the connection or the end of the previous answer.
constexpr auto request_deadline = 5s;
// One answer, or one event of a live stream, taken by the client.
constexpr auto write_deadline = 30s;
constexpr auto status_interval = 1s;
// New readings go to the live streams at most this often: under a flood
// each stream gets each station's latest, not every message.
constexpr auto fanout_spacing = 20ms;
// Beyond these a connection is closed at once: the file descriptors, the
// log readers queued, and a live stream's unsent bytes.
constexpr std::size_t max_connections = 512;
constexpr std::size_t max_queued_jobs = 32;
constexpr std::size_t max_stream_backlog = std::size_t{1} << 20;
constexpr std::uint32_t max_header_bytes = 8192;
constexpr std::uint64_t max_body_bytes = 16384;
constexpr int worker_threads = 2;

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

}  // namespace

class Session;

struct WebServer::Impl {
    Impl(LiveState& live_state, LogWriter& writer, const ReadingStore* store, std::string log_path)
        : live(live_state), routes(live_state, writer, store, std::move(log_path)) {}

    void accept();
    void tick();
    void broadcast(const Text& text);
    void close_all();

    LiveState& live;
    Routes routes;
    // Every open connection, and the live streams among them (io thread
    // only). Before io: sessions whose handlers are still queued leave these
    // sets when io is destroyed. A live stream is held here until it closes,
    // as it may have no operation pending between two events.
    std::unordered_set<Session*> sessions;
    std::unordered_set<std::shared_ptr<Session>> live_streams;
    std::atomic<std::size_t> queued_jobs{0};
    std::atomic<int> streams{0};
    net::io_context io{1};
    tcp::acceptor acceptor{io};
    net::steady_timer status_timer{io}, accept_pause{io};
    std::chrono::steady_clock::time_point next_status{};
    net::thread_pool workers{worker_threads};
    std::thread io_thread;
    std::optional<LiveFeed> feed;
    bool started = false;
};

class Session : public std::enable_shared_from_this<Session> {
public:
    Session(WebServer::Impl& server, tcp::socket socket)
        : server_(server), stream_(std::move(socket)) {
        beast::error_code ec;
        const auto peer = stream_.socket().remote_endpoint(ec);
        loopback_ = !ec && is_loopback(peer);
        stream_.socket().set_option(tcp::no_delay(true), ec);
        server_.sessions.insert(this);
    }
    ~Session() { server_.sessions.erase(this); }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    void read_request();
    void close();
    // A live stream's event; a stream too far behind is closed.
    void push(const Text& text);
    bool loopback() const { return loopback_; }
    bool status_only() const { return status_only_; }

private:
    void on_request(beast::error_code ec);
    void dispatch(const http::request<http::string_body>& req);
    template <typename Body>
    std::shared_ptr<http::response<Body>> response_to(const Reply& reply) const;
    void send(Reply reply, bool close_after = false);
    bool admit_job();
    template <typename Result, typename Work, typename Done>
    void run_job(Work work, Done done);
    void start_stream(Reply headers, bool live);
    void next_csv_slice();
    void write_text(const Text& text, std::function<void()> then);
    void end_stream();
    void write_next_event();
    void watch_hangup();

    WebServer::Impl& server_;
    beast::tcp_stream stream_;
    beast::flat_buffer buffer_{max_header_bytes + max_body_bytes};
    std::optional<http::request_parser<http::string_body>> parser_;
    std::shared_ptr<std::atomic<bool>> cancel_ = std::make_shared<std::atomic<bool>>(false);
    bool loopback_ = false, keep_alive_ = true, head_ = false, chunked_ = true;
    bool closed_ = false, watching_ = false, wait_armed_ = false, live_ = false;
    bool status_only_ = false;  // a live stream without the reading events
    unsigned version_ = 11;
    std::shared_ptr<CsvStream> csv_;
    std::deque<Text> outbox_;
    std::size_t backlog_ = 0;
    bool writing_ = false;
};

void Session::read_request() {
    watching_ = false;
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
            return run_job<Reply>([&routes, q = std::string(query),
                                   cancel = cancel_] { return routes.readings(q, *cancel); },
                                  [this](Reply reply) { send(std::move(reply)); });
        case Route::csv: {
            Reply reply = routes.csv(query, header(http::field::accept_encoding), &csv_);
            if (reply.status != 200 || head_) return send(std::move(reply));
            if (!admit_job()) return;
            return start_stream(std::move(reply), false);
        }
        case Route::events:
            if (head_) return send(Routes::events_headers());
            if (server_.streams.fetch_add(1) >= max_live_streams) {
                server_.streams.fetch_sub(1);
                Reply reply = Routes::error(503, "too many pages open");
                reply.headers.emplace_back("Retry-After", "10");
                return send(std::move(reply));
            }
            live_ = true;  // the slot is ours until close()
            status_only_ = Routes::status_only(query);
            return start_stream(Routes::events_headers(), true);
    }
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

template <typename Result, typename Work, typename Done>
void Session::run_job(Work work, Done done) {
    server_.queued_jobs.fetch_add(1);
    watch_hangup();
    net::post(server_.workers, [self = shared_from_this(), work = std::move(work),
                                done = std::move(done)]() mutable {
        Result result = work();
        self->server_.queued_jobs.fetch_sub(1);
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
        [self = shared_from_this(), res, serializer, live](beast::error_code ec, std::size_t) {
            if (ec || self->closed_) return self->close();
            if (!live) return self->next_csv_slice();
            // Events flow once the headers are out.
            self->server_.live_streams.insert(self);
            const auto status = self->server_.routes.status_events();
            self->push(std::make_shared<const std::string>(self->loopback_ ? status.first
                                                                           : status.second));
        });
}

void Session::write_text(const Text& text, std::function<void()> then) {
    const auto done = [self = shared_from_this(), text, then = std::move(then)](
                          beast::error_code ec, std::size_t) {
        if (ec) return self->close();
        then();
    };
    stream_.expires_after(write_deadline);
    if (chunked_)
        net::async_write(stream_, http::make_chunk(net::buffer(*text)), done);
    else
        net::async_write(stream_, net::buffer(*text), done);
}

void Session::next_csv_slice() {
    run_job<std::string>([csv = csv_, cancel = cancel_] { return csv->next(*cancel); },
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

void Session::close() {
    if (closed_) return;
    closed_ = true;
    cancel_->store(true);
    if (live_) {
        const auto self = shared_from_this();  // the set may hold the last reference
        server_.live_streams.erase(self);
        server_.streams.fetch_sub(1);
    }
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_both, ignored);
    stream_.close();
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
        if (sessions.size() < max_connections)
            std::make_shared<Session>(*this, std::move(socket))->read_request();
        accept();
    });
}

void WebServer::Impl::tick() {
    next_status += status_interval;
    status_timer.expires_at(next_status);
    status_timer.async_wait([this](beast::error_code ec) {
        if (ec) return;
        if (!live_streams.empty()) {
            const auto [local, remote] = routes.status_events();
            const auto local_text = std::make_shared<const std::string>(local);
            const auto remote_text = std::make_shared<const std::string>(remote);
            // A copy: a push may close a stream, which leaves the set.
            for (const auto& s : std::vector(live_streams.begin(), live_streams.end()))
                s->push(s->loopback() ? local_text : remote_text);
        }
        tick();
    });
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
                     std::string log_path)
    : impl_(std::make_unique<Impl>(live, writer, store, std::move(log_path))) {}

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
    s.next_status = std::chrono::steady_clock::now();
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
}

}  // namespace web
