#include "broker_rig.h"

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include <gtest/gtest.h>

namespace mqtt_test {
namespace {

using namespace std::chrono_literals;

void run(const std::string& command) {
    if (std::system((command + " >/dev/null 2>&1").c_str()) != 0)
        ADD_FAILURE() << "failed: " << command;
}

// EC keys: much quicker to make than RSA ones, and every TLS stack takes them.
std::string new_key(const std::string& out) {
    return "openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -keyout " + out;
}

struct CertificateFolder {
    test_support::TempDir folder{"mqtt-certs"};
    std::string dir = folder.path();
    Certificates files{dir + "/ca.pem", dir + "/wrong-ca.pem", dir + "/server.pem",
                       dir + "/server.key"};
    CertificateFolder() {
        run(new_key(dir + "/ca.key") + " -x509 -days 2 -subj '/CN=anemobus test CA' -out " +
            files.ca);
        run(new_key(dir + "/wrong.key") + " -x509 -days 2 -subj '/CN=another CA' -out " +
            files.wrong_ca);
        std::ofstream(dir + "/ext.cnf") << "subjectAltName=IP:127.0.0.1,DNS:localhost\n"
                                        << "basicConstraints=CA:FALSE\n";
        run(new_key(files.server_key) + " -subj /CN=localhost -out " + dir + "/server.csr");
        run("openssl x509 -req -in " + dir + "/server.csr -CA " + files.ca + " -CAkey " + dir +
            "/ca.key -CAcreateserial -days 2 -extfile " + dir + "/ext.cnf -out " +
            files.server_cert);
    }
};

std::string user_name() {
    const passwd* pw = ::getpwuid(::getuid());
    return pw != nullptr ? pw->pw_name : "root";
}

}  // namespace

const Certificates& certificates() {
    static CertificateFolder folder;
    return folder.files;
}

int free_tcp_port() {
    int port = 0;
    ::close(test_support::listen_loopback(&port));
    return port;
}

bool accepts_connections(int port) {
    const int fd = test_support::connect_loopback(port);
    if (fd >= 0) ::close(fd);
    return fd >= 0;
}

TestBroker::TestBroker(bool with_users)
    : dir_(folder_.path()), port_(free_tcp_port()), tls_port_(free_tcp_port()) {
    const Certificates& certs = certificates();
    std::ofstream config(config_ = dir_ + "/mosquitto.conf");
    config << "user " << user_name() << "\nper_listener_settings false\n"
           << "persistence true\npersistence_location " << dir_
           << "/\n"
           // Room for every message a test counts to wait for its subscriber
           // (0 here would mean none beyond those in flight, not no limit).
           << "max_queued_messages 1000000\n"
           << "log_dest stderr\nlog_type error\nlog_type warning\nlog_type notice\n";
    if (with_users) {
        run("mosquitto_passwd -b -c " + dir_ + "/passwd " + bridge_user.name + " " +
            bridge_user.password);
        run("mosquitto_passwd -b " + dir_ + "/passwd " + reader_user.name + " " +
            reader_user.password);
        config << "allow_anonymous false\npassword_file " << dir_ << "/passwd\n";
    } else {
        config << "allow_anonymous true\n";
    }
    config << "listener " << port_ << " 127.0.0.1\n"
           << "listener " << tls_port_ << " 127.0.0.1\n"
           << "cafile " << certs.ca << "\ncertfile " << certs.server_cert << "\nkeyfile "
           << certs.server_key << "\n";
}

TestBroker::~TestBroker() {
    process_.reset();  // before its folder goes
}

bool TestBroker::start() {
    if (process_) past_logs_ += process_->err();
    process_.emplace("/usr/sbin/mosquitto", std::vector<std::string>{"-c", config_});
    return test_support::wait_until(
               [&] {
                   return !process_->running()
                              ? true
                              : accepts_connections(port_) && accepts_connections(tls_port_);
               },
               10000ms) &&
           process_->running();
}

void TestBroker::stop() {
    if (!process_) return;
    process_->signal(SIGTERM);
    process_->wait_exit(10000ms);
}

std::string TestBroker::write_file(const std::string& name, const std::string& text) const {
    const std::string path = dir_ + "/" + name;
    std::ofstream(path) << text;
    ::chmod(path.c_str(), 0600);
    return path;
}

std::string TestBroker::describe() {
    return "=== broker log ===\n" + past_logs_ + (process_ ? process_->err() : "");
}

}  // namespace mqtt_test
