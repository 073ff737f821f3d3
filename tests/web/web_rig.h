// anemobus-web as a program on a loopback bus of the test's own, for the
// tests that run it: messages are sent by the bus monitor (each line of its
// standard input is one), and the answers read over HTTP.
#pragma once

#include <optional>
#include <regex>
#include <string>
#include <vector>

#include "test_support.h"
#include "web_client.h"

namespace web_test {

using namespace std::chrono_literals;
using test_support::Child;

using test_support::TempDir;

// A bus with anemobus-web on it and a monitor to talk through; `extra`
// goes on anemobus-web's command line at every start. The monitor joins the
// bus as `sender`, whose readings the page marks as not the relay's, or
// under the name given (the relay's, "anemobus", to stand in for it).
class WebRig {
public:
    explicit WebRig(const std::string& db, std::vector<std::string> extra = {},
                    const std::string& sender = "sender")
        : bus_(test_support::loopback_bus(test_support::random_bus_port())),
          extra_(std::move(extra)) {
        start_web(db);
        monitor_.emplace(test_support::program_path("anemobus-monitor"),
                         std::vector<std::string>{"-b", bus_, "-n", sender, "^nothing$"});
    }
    void start_web(const std::string& db) {
        web_.reset();
        std::vector<std::string> args = {"-b", bus_, "--db", db, "--listen", "127.0.0.1:0"};
        args.insert(args.end(), extra_.begin(), extra_.end());
        web_.emplace(test_support::program_path("anemobus-web"), args);
        std::smatch m;
        test_support::wait_until(
            [&] {
                const std::string& out = web_->out();
                return std::regex_search(out, m, std::regex("serving http://127.0.0.1:(\\d+)/")) ||
                       !web_->running();
            },
            5000ms);
        port_ = m.empty() ? 0 : std::stoi(m[1]);
    }
    bool connected() { return monitor_->wait_err("anemobus-web connected", 5000ms); }
    void send(const std::string& line) { monitor_->write_stdin(line + "\n"); }
    Child& web() { return *web_; }
    std::string get(const std::string& path) {
        auto res = web_test::http_get(port_, path);
        return res ? std::to_string(res->status) + " " + res->body : "no answer";
    }
    // Waits until the answer to path contains text.
    bool wait_get(const std::string& path, const std::string& text) {
        return test_support::wait_until([&] { return get(path).find(text) != std::string::npos; },
                                        5000ms);
    }
    int port() const { return port_; }
    std::string describe() {
        return web_->describe() + "\n=== monitor ===\n" + monitor_->describe();
    }

private:
    std::string bus_;
    std::vector<std::string> extra_;
    int port_ = 0;
    std::optional<Child> web_, monitor_;
};

}  // namespace web_test
