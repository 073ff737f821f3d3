#include "field_rig.h"

#include <signal.h>

#include <sstream>

namespace mqtt_test {

using namespace std::chrono_literals;

Field::Field(const TestBroker& broker, std::string site, std::vector<std::string> bridge_args)
    : broker_(broker),
      site_(std::move(site)),
      bridge_args_(std::move(bridge_args)),
      rig_({}, {}, true, false) {
    start_bridge();
}

bool Field::start_relay() {
    if (!rig_.ready() || !monitor().wait_err("anemobus-mqtt connected", 10000ms)) return false;
    rig_.restart_relay({});
    return true;
}

void Field::start_bridge() {
    std::vector<std::string> args = {
        "-b", rig_.bus(), "--outbox", broker_.dir() + "/outbox-" + site_ + ".db", "--site", site_};
    args.insert(args.end(), bridge_args_.begin(), bridge_args_.end());
    if (bridge_) old_bridge_logs_ += bridge_->err();
    bridge_.emplace(test_support::program_path("anemobus-mqtt"), args);
}

void Field::kill_bridge() {
    bridge_->signal(SIGKILL);
    bridge_->wait_exit(5000ms);
}

void Field::stop_relay() {
    rig_.relay().signal(SIGINT);
    rig_.relay().wait_exit(5000ms);
}

std::vector<Values> Field::relay_readings() {
    std::vector<Values> found;
    for (const std::string& text : rig_.messages()) {
        const auto at = text.find(" WEATHER ");
        Values v{};
        std::istringstream fields(at == std::string::npos ? "" : text.substr(at + 9));
        if (fields >> v[0] >> v[1] >> v[2] >> v[3]) found.push_back(v);
    }
    return found;
}

std::string Field::describe() {
    return "=== bridge " + site_ + " (earlier runs) ===\n" + old_bridge_logs_ + "\n=== bridge " +
           site_ + " ===\n" + bridge_->describe() + "\n" + rig_.describe();
}

}  // namespace mqtt_test
