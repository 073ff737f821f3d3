#include "broker_rig.h"

#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <regex>
#include <sstream>

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

std::string read_file(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    if (!in) ADD_FAILURE() << "cannot read " << path;
    return text.str();
}

// The shipped example's line that starts with `key`, given another value
// (or removed when value is empty); a line missing from it is a failure, as
// the example would have changed under the tests.
void set_line(std::string& config, const std::string& key, const std::string& value) {
    const std::regex line("(^|\n)" + key + "[^\n]*");
    if (!std::regex_search(config, line)) ADD_FAILURE() << "the example has no '" << key << "'";
    config = std::regex_replace(config, line, value.empty() ? "$1" : "$1" + value,
                                std::regex_constants::format_first_only);
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

std::string example_config() {
    return read_file(std::string(ANEMOBUS_SOURCE_DIR) + "/docs/examples/mosquitto-anemobus.conf");
}

std::string broker_config(std::string example, const BrokerPaths& paths) {
    const Certificates& certs = certificates();
    set_line(example, "password_file ",
             paths.password_file.empty() ? "" : "password_file " + paths.password_file);
    set_line(example, "acl_file ", paths.acl_file.empty() ? "" : "acl_file " + paths.acl_file);
    set_line(example, "allow_anonymous ",
             std::string("allow_anonymous ") + (paths.password_file.empty() ? "true" : "false"));
    set_line(example, "persistence_location ", "persistence_location " + paths.dir + "/");
    set_line(example, "listener 1883 ", "listener " + std::to_string(paths.port) + " 127.0.0.1");
    set_line(example, "listener 8883",
             "listener " + std::to_string(paths.tls_port) + " 127.0.0.1\ncafile " + certs.ca);
    set_line(example, "certfile ", "certfile " + certs.server_cert);
    set_line(example, "keyfile ", "keyfile " + certs.server_key);
    return "user " + user_name() + "\nlog_dest stderr\nlog_type error\nlog_type warning\n" +
           "log_type notice\n" + example;
}

TestBroker::TestBroker(bool with_users, const std::string& example)
    : dir_(folder_.path()), port_(free_tcp_port()), tls_port_(free_tcp_port()) {
    BrokerPaths paths{dir_, port_, tls_port_, "", ""};
    if (with_users) {
        const User users[] = {bridge_user, reader_user, site_user, ops_user};
        paths.password_file = dir_ + "/passwd";
        for (const User& user : users)
            run("mosquitto_passwd -b " + std::string(&user == users ? "-c " : "") +
                paths.password_file + " " + user.name + " " + user.password);
        paths.acl_file = write_file("acl", test_acl());
    }
    std::ofstream(config_ = dir_ + "/mosquitto.conf")
        << broker_config(example.empty() ? example_config() : example, paths);
}

std::string TestBroker::test_acl() {
    // The shipped rules, and the tests' own users: the bridge writes any
    // site, the reader reads them all.
    return read_file(std::string(ANEMOBUS_SOURCE_DIR) + "/docs/examples/mosquitto-anemobus.acl") +
           "\nuser " + bridge_user.name + "\ntopic readwrite anemobus/#\n" + "user " +
           reader_user.name + "\ntopic read anemobus/#\n";
}

void TestBroker::kill() {
    if (!process_) return;
    process_->signal(SIGKILL);
    process_->wait_exit(10000ms);
}

void TestBroker::reload() {
    if (process_) process_->signal(SIGHUP);
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

std::vector<std::string> TestBroker::with_login(const User& user,
                                                std::vector<std::string> args) const {
    const std::string password = write_file(std::string(user.name) + "-password", user.password);
    args.insert(args.end(), {"--user", user.name, "--password-file", password});
    return args;
}

std::string TestBroker::describe() {
    return "=== broker log ===\n" + past_logs_ + (process_ ? process_->err() : "");
}

}  // namespace mqtt_test
