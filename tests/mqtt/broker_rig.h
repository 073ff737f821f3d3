// Debian's mosquitto started by a test, on loopback ports of its own: a
// plain listener and a TLS listener (certificates made with openssl for
// 127.0.0.1 and localhost, by a test CA; another CA to be wrong with), users
// from a password file, and persistence so that a stop and a start keep the
// subscribers' sessions as a real broker's restart does.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "test_support.h"

namespace mqtt_test {

// Made once per test program, in a folder removed at exit.
struct Certificates {
    std::string ca, wrong_ca, server_cert, server_key;
};
const Certificates& certificates();

struct User {
    const char* name;
    const char* password;
};
inline constexpr User bridge_user{"bridge", "bridge-secret"};
inline constexpr User reader_user{"reader", "reader-secret"};

class TestBroker {
public:
    // With users: anonymous clients are refused, bridge_user and
    // reader_user are known. Without: anyone may connect (benchmarks).
    explicit TestBroker(bool with_users = true);
    ~TestBroker();
    TestBroker(const TestBroker&) = delete;
    TestBroker& operator=(const TestBroker&) = delete;

    // Starts it and waits until both listeners take connections.
    bool start();
    // SIGTERM (it saves its sessions), and waits for the exit.
    void stop();

    int port() const { return port_; }
    int tls_port() const { return tls_port_; }
    std::string url() const { return "mqtt://127.0.0.1:" + std::to_string(port_); }
    std::string tls_url(const char* host = "127.0.0.1") const {
        return std::string("mqtts://") + host + ":" + std::to_string(tls_port_);
    }
    // A folder for the test's own files, removed with the broker.
    const std::string& dir() const { return dir_; }
    // A file holding text, in dir().
    std::string write_file(const std::string& name, const std::string& text) const;
    std::string describe();

private:
    test_support::TempDir folder_{"mqtt-broker"};
    std::string dir_, config_;
    int port_ = 0, tls_port_ = 0;
    std::optional<test_support::Child> process_;
    std::string past_logs_;
};

// A port the kernel gives as free on 127.0.0.1 now.
int free_tcp_port();
// Whether something accepts TCP connections on 127.0.0.1:port.
bool accepts_connections(int port);

}  // namespace mqtt_test
