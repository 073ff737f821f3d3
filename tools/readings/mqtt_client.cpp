#include "mqtt_client.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace mqtt {
namespace {

using namespace std::chrono_literals;

constexpr auto turn_period = 250ms;
// While a connection is being set up, libmosquitto may need a turn that no
// socket event asks for (a TLS step); a short wait keeps that quick without
// spinning.
constexpr auto setup_period = 20ms;
constexpr int max_reads_per_turn = 1024;

// A broker that goes away mid-write must not end the program: SIGPIPE is
// ignored (the Ivy library does the same for its peers).
void init_library_once() {
    static std::once_flag once;
    std::call_once(once, [] {
        mosquitto_lib_init();
        std::signal(SIGPIPE, SIG_IGN);
    });
}

std::string random_client_id(std::mt19937& random) {
    static const char digits[] = "0123456789abcdef";
    std::string id = "anemobus-";
    for (int i = 0; i < 12; ++i) id += digits[random() & 15U];
    return id;
}

// What to add to the broker's refusal so that the user knows where to look;
// the codes are 3.1.1's CONNACK codes or MQTT 5's reasons.
const char* refusal_hint(int code) {
    switch (code) {
        case 4:
        case 5:
        case MQTT_RC_BAD_USERNAME_OR_PASSWORD:
        case MQTT_RC_NOT_AUTHORIZED:
            return " (check --user and --password-file)";
        case 2:
        case MQTT_RC_CLIENTID_NOT_VALID:
            return " (the client id)";
        case 1:
        case MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION:
            return " (a broker without MQTT 5 needs --mqtt-version 3.1.1)";
        default:
            return "";
    }
}

// A CONNACK's refusal in words. A 3.1.1 broker answers an MQTT 5 CONNECT
// with its own code 1, which MQTT 5 would read as a success.
std::string refusal_text(Protocol protocol, int code) {
    if (protocol == Protocol::v311 || code < 0x80)
        return mosquitto_connack_string(code < 0x80 ? code : 1);
    return mosquitto_reason_string(code);
}

// Whether libmosquitto took a setting; fails with what it refused and why.
tools::Status accepted(int rc, const std::string& setting) {
    if (rc == MOSQ_ERR_SUCCESS) return {};
    return tools::fail("libmosquitto refuses " + setting + ": " + mosquitto_strerror(rc));
}

}  // namespace

const char* protocol_name(Protocol protocol) {
    return protocol == Protocol::v5 ? "5" : "3.1.1";
}

std::string reason_text(int reason_code) {
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02x", static_cast<unsigned>(reason_code) & 0xffU);
    return std::string(hex) + " (" + mosquitto_reason_string(reason_code) + ")";
}

// libmosquitto calls these on the client's thread, with the Client as `self`.
struct LibraryCallbacks {
    static void on_connect(mosquitto*, void* self, int rc, int flags, const mosquitto_property*);
    static void on_publish(mosquitto*, void* self, int mid, int reason, const mosquitto_property*);
    static void on_message(mosquitto*, void* self, const mosquitto_message* message,
                           const mosquitto_property*);
    static void on_subscribe(mosquitto*, void* self, int mid, int count, const int* granted,
                             const mosquitto_property*);
    static void on_log(mosquitto*, void* self, int level, const char* text);
};

void Client::MosquittoFree::operator()(mosquitto* m) const {
    mosquitto_destroy(m);
}

tools::Result<std::unique_ptr<Client>> Client::create(ClientSettings settings, Handler& handler,
                                                      Report report) {
    init_library_once();
    std::unique_ptr<Client> client(new Client(std::move(settings), handler, std::move(report)));
    if (client->settings_.broker.tls) {
        auto tls = TlsContext::create(client->settings_.broker.host, client->settings_.tls);
        if (!tls) return tls.failure();
        client->tls_ = std::move(*tls);
    }
    // A setting libmosquitto refuses (a user name that is not UTF-8) would
    // be refused on every attempt: it ends the program here instead.
    if (const tools::Status session = client->new_session(); !session) return session.failure();
    client->mosq_.reset();
    client->wake_fd_ = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (client->wake_fd_ < 0) return tools::fail(std::string("eventfd: ") + std::strerror(errno));
    return client;
}

Client::Client(ClientSettings settings, Handler& handler, Report report)
    : settings_(std::move(settings)),
      handler_(handler),
      report_(std::move(report)),
      random_(std::random_device{}()) {
    if (settings_.client_id.empty()) settings_.client_id = random_client_id(random_);
}

Client::~Client() {
    stop();
    if (wake_fd_ >= 0) ::close(wake_fd_);
}

void Client::start() {
    if (!thread_.joinable()) thread_ = std::thread([this] { run(); });
}

void Client::wake() {
    const std::uint64_t one = 1;
    // A full counter already means "wake up"; nothing else can go wrong here.
    [[maybe_unused]] const auto written = ::write(wake_fd_, &one, sizeof one);
}

void Client::stop(std::chrono::milliseconds linger_limit) {
    if (!thread_.joinable()) return;
    linger_limit_ = linger_limit;
    stopping_ = true;
    wake();
    thread_.join();
}

void Client::run() {
    while (!stopping_) {
        if (!mosq_ && Clock::now() >= next_attempt_) begin_attempt();
        const short revents = wait_for_events(turn_timeout());
        if (mosq_) service(revents);
        handler_.on_turn(connected_ ? static_cast<Session*>(this) : nullptr);
    }
    handler_.on_turn(connected_ ? static_cast<Session*>(this) : nullptr);
    if (connected_) linger(linger_limit_);
    mosq_.reset();
    connected_ = false;
    handler_.on_turn(nullptr);
}

std::chrono::milliseconds Client::turn_timeout() const {
    using std::chrono::duration_cast;
    if (!mosq_) {
        const auto left = duration_cast<std::chrono::milliseconds>(next_attempt_ - Clock::now());
        return std::clamp(left, 0ms, std::chrono::milliseconds(turn_period));
    }
    return connected_ ? turn_period : setup_period;
}

short Client::wait_for_events(std::chrono::milliseconds timeout) {
    pollfd fds[2] = {{wake_fd_, POLLIN, 0}, {-1, 0, 0}};
    if (mosq_) {
        fds[1].fd = mosquitto_socket(mosq_.get());
        fds[1].events =
            static_cast<short>(POLLIN | (mosquitto_want_write(mosq_.get()) ? POLLOUT : 0));
    }
    ::poll(fds, fds[1].fd >= 0 ? 2 : 1, static_cast<int>(timeout.count()));
    if ((fds[0].revents & POLLIN) != 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] const auto got = ::read(wake_fd_, &count, sizeof count);
    }
    return fds[1].revents;
}

void Client::begin_attempt() {
    refused_ = 0;
    last_log_error_.clear();
    if (tls_) tls_->take_rejection();
    attempt_started_ = Clock::now();
    // create() made a session with the same settings: what fails now is
    // memory, which may come back, so it is tried again as a connection is.
    if (const tools::Status session = new_session(); !session) return end_attempt(session.error());
    const int rc = mosquitto_connect_async(mosq_.get(), settings_.broker.host.c_str(),
                                           settings_.broker.port, settings_.keepalive_s);
    const int error_number = errno;
    if (rc != MOSQ_ERR_SUCCESS && rc != MOSQ_ERR_CONN_PENDING)
        end_attempt(failure_reason(rc, error_number));
}

tools::Status Client::new_session() {
    mosq_.reset(mosquitto_new(settings_.client_id.c_str(), !settings_.keep_session, this));
    if (!mosq_)
        return tools::fail("libmosquitto refuses the client id " + settings_.client_id + ": " +
                           std::strerror(errno));
    return configure(mosq_.get());
}

tools::Status Client::configure(mosquitto* mosq) {
    mosquitto_int_option(
        mosq, MOSQ_OPT_PROTOCOL_VERSION,
        settings_.protocol == Protocol::v5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    mosquitto_int_option(mosq, MOSQ_OPT_TCP_NODELAY, 1);
    // The handler keeps its own window of messages in flight; a second
    // queue inside the library would only hide it.
    mosquitto_max_inflight_messages_set(mosq, 0);
    // The _v5 callbacks serve 3.1.1 too, with no reasons or properties.
    mosquitto_connect_v5_callback_set(mosq, &LibraryCallbacks::on_connect);
    mosquitto_publish_v5_callback_set(mosq, &LibraryCallbacks::on_publish);
    mosquitto_message_v5_callback_set(mosq, &LibraryCallbacks::on_message);
    mosquitto_subscribe_v5_callback_set(mosq, &LibraryCallbacks::on_subscribe);
    mosquitto_log_callback_set(mosq, &LibraryCallbacks::on_log);
    for (const auto set :
         {&Client::set_login, &Client::set_will, &Client::set_tls, &Client::set_connect_properties})
        if (tools::Status done = (this->*set)(mosq); !done) return done;
    return {};
}

tools::Status Client::set_login(mosquitto* mosq) const {
    const ClientSettings& s = settings_;
    if (s.user.empty()) return {};
    return accepted(mosquitto_username_pw_set(mosq, s.user.c_str(),
                                              s.password.empty() ? nullptr : s.password.c_str()),
                    "--user and --password-file");
}

tools::Status Client::set_will(mosquitto* mosq) const {
    const auto& will = settings_.will;
    if (!will) return {};
    return accepted(
        mosquitto_will_set(mosq, will->topic.c_str(), static_cast<int>(will->payload.size()),
                           will->payload.data(), 1, will->retain),
        "the last will on " + will->topic);
}

// A kept session's expiry goes in the CONNECT's properties. libmosquitto
// takes those only in mosquitto_connect_bind_v5, which connects blocking;
// it keeps them for the connections that follow, though, so they are given
// with a port it refuses before any network (-1), and the asynchronous
// connect sends them. The session expiry test against mosquitto checks it.
tools::Status Client::set_connect_properties(mosquitto* mosq) const {
    if (settings_.protocol != Protocol::v5 || !settings_.keep_session) return {};
    mosquitto_property* properties = nullptr;
    int rc = mosquitto_property_add_int32(&properties, MQTT_PROP_SESSION_EXPIRY_INTERVAL,
                                          settings_.session_expiry_s);
    if (rc == MOSQ_ERR_SUCCESS)
        rc = mosquitto_connect_bind_v5(mosq, settings_.broker.host.c_str(), -1,
                                       settings_.keepalive_s, nullptr, properties);
    mosquitto_property_free_all(&properties);
    return accepted(rc == MOSQ_ERR_INVAL ? MOSQ_ERR_SUCCESS : rc, "the session expiry");
}

tools::Status Client::set_tls(mosquitto* mosq) const {
    if (!tls_) return {};
    // Our context as it is: libmosquitto's defaults would replace our
    // verification with its own.
    int rc = mosquitto_int_option(mosq, MOSQ_OPT_SSL_CTX_WITH_DEFAULTS, 0);
    if (rc == MOSQ_ERR_SUCCESS) rc = mosquitto_void_option(mosq, MOSQ_OPT_SSL_CTX, tls_->get());
    return accepted(rc, "our TLS context");
}

// Connected, every packet waiting is read in one turn (up to a bound, so
// that the handler's turn comes): libmosquitto reads one per call when none
// of ours is in flight, which would cost a poll per message received.
int Client::exchange(short revents) {
    int rc = MOSQ_ERR_SUCCESS;
    for (int i = 0; i < max_reads_per_turn && (revents & POLLIN) != 0 && mosq_; ++i) {
        errno = 0;
        rc = mosquitto_loop_read(mosq_.get(), 1);
        if (rc != MOSQ_ERR_SUCCESS || errno == EAGAIN || errno == EWOULDBLOCK) break;
    }
    if (rc == MOSQ_ERR_SUCCESS && mosquitto_want_write(mosq_.get()))
        rc = mosquitto_loop_write(mosq_.get(), 1);
    return rc == MOSQ_ERR_SUCCESS ? mosquitto_loop_misc(mosq_.get()) : rc;
}

void Client::service(short revents) {
    // While the connection is set up, libmosquitto's own loop steps through
    // the TCP connect and the TLS handshake.
    int rc = connected_ ? exchange(revents) : mosquitto_loop(mosq_.get(), 0, 1);
    int error_number = errno;
    // A socket in error that libmosquitto does not see as one (a refused
    // connect under TLS) would make every poll return at once: end it here.
    if (rc == MOSQ_ERR_SUCCESS && (revents & (POLLERR | POLLHUP)) != 0) {
        socklen_t size = sizeof error_number;
        error_number = 0;
        getsockopt(mosquitto_socket(mosq_.get()), SOL_SOCKET, SO_ERROR, &error_number, &size);
        rc = error_number != 0 ? MOSQ_ERR_ERRNO : MOSQ_ERR_CONN_LOST;
    }
    if (rc == MOSQ_ERR_SUCCESS && refused_ != 0) rc = MOSQ_ERR_CONN_REFUSED;
    if (rc == MOSQ_ERR_SUCCESS && !connected_ &&
        Clock::now() - attempt_started_ > settings_.connect_timeout)
        rc = MOSQ_ERR_TIMEOUT;
    if (rc != MOSQ_ERR_SUCCESS) end_attempt(failure_reason(rc, error_number));
}

std::string Client::failure_reason(int rc, int error_number) {
    if (refused_ != 0)
        return "the broker refused the connection: " + refusal_text(settings_.protocol, refused_) +
               refusal_hint(refused_);
    const std::string rejection = tls_ ? tls_->take_rejection() : "";
    if (!rejection.empty())
        return "certificate rejected: the broker's certificate does not verify: " + rejection +
               (settings_.tls.cafile.empty() ? " (give --cafile with the broker's CA)"
                                             : " (is --cafile the CA of the broker?)");
    switch (rc) {
        case MOSQ_ERR_ERRNO:
            return std::strerror(error_number);
        case MOSQ_ERR_TIMEOUT:
            return "no answer within " + std::to_string(settings_.connect_timeout.count() / 1000) +
                   " s";
        case MOSQ_ERR_CONN_LOST:
            return connected_ ? "the connection was closed"
                              : "the connection was refused or closed before the broker answered";
        case MOSQ_ERR_EAI:
            return "cannot find the address of " + settings_.broker.host;
        case MOSQ_ERR_TLS:
            return "TLS failed" + (last_log_error_.empty() ? "" : ": " + last_log_error_);
        default:
            return mosquitto_strerror(rc);
    }
}

void Client::end_attempt(const std::string& reason) {
    const bool was_connected = connected_;
    mosq_.reset();
    connected_ = false;
    if (was_connected) handler_.on_lost();
    std::uniform_real_distribution<double> draw(0.0, 1.0);
    next_attempt_ = Clock::now() + backoff_.next(draw(random_));
    const std::string where = settings_.broker.text();
    say(was_connected ? "lost the connection to " + where + ": " + reason
                      : "cannot connect to " + where + ": " + reason);
}

void Client::say(const std::string& line) {
    if (line == last_said_) return;
    last_said_ = line;
    report_(line);
}

// Waits for the handler's last words to be acknowledged, then disconnects.
void Client::linger(std::chrono::milliseconds limit) {
    handler_.on_stopping(*this);
    const auto deadline = Clock::now() + limit;
    while (connected_ && !handler_.settled() && Clock::now() < deadline)
        service(wait_for_events(setup_period));
    if (!connected_) return;
    mosquitto_disconnect(mosq_.get());
    for (int i = 0; i < 10 && mosquitto_want_write(mosq_.get()); ++i) {
        wait_for_events(setup_period);
        mosquitto_loop(mosq_.get(), 0, 1);
    }
}

int Client::publish(std::string_view topic, std::string_view payload, bool retain) {
    if (!mosq_ || !connected_) return -1;
    int mid = 0;
    const std::string topic_text(topic);
    const int rc = mosquitto_publish(mosq_.get(), &mid, topic_text.c_str(),
                                     static_cast<int>(payload.size()), payload.data(), 1, retain);
    return rc == MOSQ_ERR_SUCCESS ? mid : -1;
}

bool Client::subscribe(std::string_view pattern) {
    if (!mosq_ || !connected_) return false;
    const std::string text(pattern);
    return mosquitto_subscribe(mosq_.get(), nullptr, text.c_str(), 1) == MOSQ_ERR_SUCCESS;
}

void LibraryCallbacks::on_connect(mosquitto*, void* self, int rc, int, const mosquitto_property*) {
    auto* client = static_cast<Client*>(self);
    if (rc != 0) {
        client->refused_ = rc;
        return;
    }
    client->connected_ = true;
    client->backoff_.reset();
    client->say("connected to " + client->settings_.broker.text() + " (MQTT " +
                protocol_name(client->settings_.protocol) + ")");
    client->handler_.on_connected(*client);
}

void LibraryCallbacks::on_publish(mosquitto*, void* self, int mid, int reason,
                                  const mosquitto_property*) {
    // Below 0x80 is a success, 0x10 (no matching subscribers) included.
    Handler& handler = static_cast<Client*>(self)->handler_;
    if (reason >= 0x80)
        handler.on_refused(mid, reason);
    else
        handler.on_acked(mid);
}

void LibraryCallbacks::on_message(mosquitto*, void* self, const mosquitto_message* message,
                                  const mosquitto_property*) {
    const std::string_view payload(static_cast<const char*>(message->payload),
                                   static_cast<std::size_t>(message->payloadlen));
    static_cast<Client*>(self)->handler_.on_message(message->topic, payload, message->retain);
}

void LibraryCallbacks::on_subscribe(mosquitto*, void* self, int, int count, const int* granted,
                                    const mosquitto_property*) {
    // One filter per request: its reason is the answer (0x80: refused).
    static_cast<Client*>(self)->handler_.on_subscribed(count > 0 ? granted[0] : 0x80);
}

void LibraryCallbacks::on_log(mosquitto*, void* self, int level, const char* text) {
    if ((level & MOSQ_LOG_ERR) != 0 && text != nullptr)
        static_cast<Client*>(self)->last_log_error_ = text;
}

}  // namespace mqtt
