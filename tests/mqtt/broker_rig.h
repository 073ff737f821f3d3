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
// Users as the shipped ACL knows them: a site's, which writes its own
// site only, and the operations centre's, which reads.
inline constexpr User site_user{"north", "north-secret"};
inline constexpr User ops_user{"ops", "ops-secret"};

// The shipped example (docs/examples/mosquitto-anemobus.conf), and that
// text made the test's own: its ports, folder, users and certificates.
struct BrokerPaths {
    std::string dir;
    int port = 0, tls_port = 0;
    std::string password_file, acl_file;  // empty: anonymous, no ACL
};
std::string example_config();
std::string broker_config(std::string example, const BrokerPaths& paths);

class TestBroker {
public:
    // The shipped configuration (or `example`, another text of it). With
    // users: anonymous clients are refused, the users above are known, and
    // the shipped ACL with the tests' own rules (test_acl()) is in force.
    // Without: anyone may connect, anything (benchmarks).
    explicit TestBroker(bool with_users = true, const std::string& example = "");
    static std::string test_acl();
    ~TestBroker();
    TestBroker(const TestBroker&) = delete;
    TestBroker& operator=(const TestBroker&) = delete;

    // Starts it and waits until both listeners take connections.
    bool start();
    // SIGTERM (it saves its sessions), and waits for the exit.
    void stop();
    // SIGHUP: reads the password file and the ACL again.
    void reload();
    // SIGKILL: what it had not saved is gone.
    void kill();

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
    // args, then --user and --password-file for one of the tests' users,
    // its password written to a file of its own.
    std::vector<std::string> with_login(const User& user, std::vector<std::string> args) const;
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
