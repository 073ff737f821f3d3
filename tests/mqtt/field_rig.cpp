#include "field_rig.h"

#include <signal.h>

#include <sstream>

namespace mqtt_test {

using namespace std::chrono_literals;
using test_support::Child;

std::vector<Values> relay_readings(Child& monitor) {
    std::vector<Values> found;
    std::istringstream lines(monitor.out());
    std::string line;
    while (std::getline(lines, line)) {
        Values v{};
        std::istringstream fields(line.substr(line.rfind('\t') + 1));
        if (line.starts_with("anemobus\t") && fields >> v[0] >> v[1] >> v[2] >> v[3])
            found.push_back(v);
    }
    return found;
}

Field::Field(const TestBroker& broker, std::string site, std::vector<std::string> bridge_args)
    : broker_(broker),
      site_(std::move(site)),
      bus_(test_support::loopback_bus(test_support::random_bus_port())),
      link_(broker.dir() + "/station-" + site_),
      bridge_args_(std::move(bridge_args)) {
    sim_.emplace(test_support::program_path("anemobus-sim"),
                 std::vector<std::string>{"--link", link_, "--seed", "1"});
    monitor_.emplace(test_support::program_path("anemobus-monitor"),
                     std::vector<std::string>{"-b", bus_, "^(\\S+) WEATHER (.*)"});
    start_bridge();
}

bool Field::start_relay() {
    if (!monitor_->wait_err("anemobus-mqtt connected", 10000ms)) return false;
    relay_.emplace(test_support::program_path("anemobus"),
                   std::vector<std::string>{"-d", link_, "-b", bus_, "-s", "1"});
    return true;
}

void Field::start_bridge() {
    std::vector<std::string> args = {
        "-b", bus_, "--outbox", broker_.dir() + "/outbox-" + site_ + ".db", "--site", site_};
    args.insert(args.end(), bridge_args_.begin(), bridge_args_.end());
    if (bridge_) old_bridge_logs_ += bridge_->err();
    bridge_.emplace(test_support::program_path("anemobus-mqtt"), args);
}

void Field::kill_bridge() {
    bridge_->signal(SIGKILL);
    bridge_->wait_exit(5000ms);
}

void Field::stop_relay() {
    relay_->signal(SIGINT);
    relay_->wait_exit(5000ms);
}

std::string Field::describe() {
    return "=== bridge " + site_ + " (earlier runs) ===\n" + old_bridge_logs_ + "\n=== bridge " +
           site_ + " ===\n" + bridge_->describe() + "\n=== relay ===\n" +
           (relay_ ? relay_->describe() : std::string()) + "\n=== monitor ===\n" +
           monitor_->describe();
}

}  // namespace mqtt_test
