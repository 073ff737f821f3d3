// A connection to an MQTT broker that keeps itself up: libmosquitto for the
// protocol, our own thread for the socket, OpenSSL set up by us for TLS.
//
// Principles:
//  - The caller's threads never wait on the network: the client runs on its
//    own thread, and everything a Handler is told happens there, one call at
//    a time. Other threads only wake() it.
//  - Each attempt is a fresh libmosquitto session with a clean start. Nothing
//    is left queued inside the library across a reconnect, so the handler's
//    own store (the outbox) is the only record of what is unacknowledged, and
//    a reconnect can never resend something behind the handler's back. A
//    subscriber may ask the broker to keep its session instead
//    (keep_session): the broker then queues what comes while it is away and
//    delivers it on the next connection; nothing is kept on our side.
//  - Reconnects back off from 1 s to 30 s with jitter (backoff.h). Every
//    change of state is reported once, as one line: connected, lost, refused
//    with the broker's reason, certificate rejected with why. A failure that
//    repeats the last one says nothing new, so it is not said again.
//  - Everything published is QoS 1: the broker acknowledges it, and
//    Handler::on_acked names its message id.
//  - MQTT 5 by default, 3.1.1 for brokers without it. Only MQTT 5 says
//    why a publish was not taken: a PUBACK reason of 0x80 or more (not
//    authorised, quota exceeded, ...) reaches Handler::on_refused, never
//    on_acked. 3.1.1 acknowledges a refused publish like a delivered one.
//    A kept session gets an expiry under MQTT 5 (session_expiry), so that a
//    client that never comes back does not hold the broker's memory for
//    ever; under 3.1.1 only the broker's persistent_client_expiration ends
//    it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <thread>

#include "backoff.h"
#include "broker_url.h"
#include "result.h"
#include "tls_context.h"

struct mosquitto;

namespace mqtt {

struct Message {
    std::string topic, payload;
    bool retain = false;
};

enum class Protocol { v5, v311 };

// "5" or "3.1.1".
const char* protocol_name(Protocol protocol);

// A broker's reason code with its name: "0x87 (Not authorized)".
std::string reason_text(int reason_code);

struct ClientSettings {
    BrokerUrl broker;
    Protocol protocol = Protocol::v5;
    std::string client_id;  // empty: "anemobus-" and random hex
    // The broker keeps our subscriptions and queues QoS 1 messages while we
    // are away; needs a client_id of our own that stays the same.
    bool keep_session = false;
    // Under MQTT 5, how long the broker keeps that session once we are gone.
    std::uint32_t session_expiry_s = 86400;
    std::string user;  // empty: no user name is sent
    std::string password;
    TlsFiles tls;                   // for mqtts:// only
    std::optional<Message> will{};  // published by the broker if we vanish
    int keepalive_s = 30;
    std::chrono::milliseconds connect_timeout{15000};
};

// What a handler can do while connected, on the client's thread.
class Session {
public:
    virtual ~Session() = default;
    // Publishes with QoS 1. Returns the message id that on_acked will name,
    // or -1 when the message could not be queued (the connection is going).
    virtual int publish(std::string_view topic, std::string_view payload, bool retain) = 0;
    // Subscribes with QoS 1; false when the request could not be queued.
    virtual bool subscribe(std::string_view pattern) = 0;
};

class Handler {
public:
    virtual ~Handler() = default;
    // The broker accepted us. Subscriptions and announcements go here.
    virtual void on_connected(Session&) {}
    // The connection is gone: nothing in flight will be acknowledged now.
    virtual void on_lost() {}
    virtual void on_acked(int /*message_id*/) {}
    // The broker answered a publish with a reason of 0x80 or more: it was
    // not taken (MQTT 5 only). reason_text() names it.
    virtual void on_refused(int /*message_id*/, int /*reason_code*/) {}
    virtual void on_message(std::string_view /*topic*/, std::string_view /*payload*/,
                            bool /*retained*/) {}
    // The broker's answer to a subscribe(): 0 to 2 granted (the QoS), 0x80
    // or more refused (the user may not read those topics).
    virtual void on_subscribed(int /*reason_code*/) {}
    // Each turn of the client's loop: after a wake(), after network events,
    // and at least four times a second. session is null while not connected.
    virtual void on_turn(Session* /*session*/) {}
    // A clean stop: the last messages to publish before disconnecting.
    virtual void on_stopping(Session&) {}
    // Whether a stop may disconnect now (nothing it waits for is in flight).
    virtual bool settled() const { return true; }
};

class Client : private Session {
public:
    using Report = std::function<void(const std::string& line)>;

    // Checks what can be checked before the network (the TLS files, and
    // that libmosquitto takes every setting); fails with the first that
    // cannot be used. Nothing runs before start().
    static tools::Result<std::unique_ptr<Client>> create(ClientSettings settings, Handler& handler,
                                                         Report report);
    ~Client() override;
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    void start();
    // Any thread: makes the client's thread take a turn soon.
    void wake();
    // Any thread but the client's: a clean end. The handler's last words
    // (on_stopping) get up to `linger` to be acknowledged. Idempotent.
    void stop(std::chrono::milliseconds linger = std::chrono::milliseconds(2000));

private:
    Client(ClientSettings settings, Handler& handler, Report report);
    int publish(std::string_view topic, std::string_view payload, bool retain) override;
    bool subscribe(std::string_view pattern) override;

    void run();
    void begin_attempt();
    tools::Status new_session();
    tools::Status configure(mosquitto* mosq);
    tools::Status set_login(mosquitto* mosq) const;
    tools::Status set_will(mosquitto* mosq) const;
    tools::Status set_tls(mosquitto* mosq) const;
    tools::Status set_connect_properties(mosquitto* mosq) const;
    short wait_for_events(std::chrono::milliseconds timeout);
    std::chrono::milliseconds turn_timeout() const;
    void service(short revents);
    int exchange(short revents);
    void end_attempt(const std::string& reason);
    std::string failure_reason(int rc, int error_number);
    void say(const std::string& line);
    void linger(std::chrono::milliseconds limit);

    // libmosquitto's callbacks, in the .cpp with its types.
    friend struct LibraryCallbacks;

    using Clock = std::chrono::steady_clock;
    struct MosquittoFree {
        void operator()(mosquitto* m) const;
    };

    ClientSettings settings_;
    Handler& handler_;
    Report report_;
    std::unique_ptr<TlsContext> tls_;
    int wake_fd_ = -1;
    std::atomic<bool> stopping_{false};
    std::chrono::milliseconds linger_limit_{2000};
    std::thread thread_;

    // The client's thread only, from here on.
    std::unique_ptr<mosquitto, MosquittoFree> mosq_;
    bool connected_ = false;
    int refused_ = 0;  // the CONNACK's refusal code, 0 when none
    std::string last_log_error_, last_said_;
    Clock::time_point attempt_started_{}, next_attempt_{};
    Backoff backoff_;
    std::mt19937 random_;
};

}  // namespace mqtt
