#include "e2e_rig.h"

#include <unistd.h>

namespace relay_test {

using namespace std::chrono_literals;
using test_support::Child;

std::string temp_path(const std::string& what) {
    static int serial = 0;
    return "/tmp/anemobus-e2e-" + what + "-" + std::to_string(::getpid()) + "-" +
           std::to_string(++serial);
}

Rig::Rig(std::vector<std::string> sim_args, std::vector<std::string> relay_args, bool with_monitor,
         bool start_relay)
    : bus_(test_support::loopback_bus(test_support::random_bus_port())), link_(temp_path("tty")) {
    sim_args.insert(sim_args.end(), {"--link", link_, "-v", "--seed", "1"});
    sim_.emplace(test_support::program_path("anemobus-sim"), sim_args, true);
    ready_ = sim_->wait_out("\n", 5000ms);
    if (with_monitor)
        monitor_.emplace(test_support::program_path("anemobus-monitor"),
                         std::vector<std::string>{"-b", bus_, "(.*)"});
    if (start_relay) restart_relay(std::move(relay_args));
}

Rig::~Rig() {
    ::unlink(link_.c_str());
}

void Rig::restart_relay(std::vector<std::string> relay_args) {
    relay_.reset();
    relay_args.insert(relay_args.begin(), {"-d", link_, "-b", bus_, "-s", "1"});
    relay_.emplace(test_support::program_path("anemobus"), relay_args);
}

std::vector<std::string> Rig::messages() {
    std::vector<std::string> found;
    const std::string& out = monitor_->out();
    for (std::size_t at = 0, end; (end = out.find('\n', at)) != std::string::npos; at = end + 1) {
        const std::string line = out.substr(at, end - at);
        const auto tab = line.find('\t');
        if (tab == std::string::npos || line.substr(0, tab) != "anemobus") continue;
        const std::string text = line.substr(tab + 1);
        if (text.find(" WEATHER ") != std::string::npos ||
            text.find(" ALIVE ") != std::string::npos)
            found.push_back(text);
    }
    return found;
}

int Rig::weather_count() {
    int n = 0;
    for (const auto& m : messages()) n += m.find(" WEATHER ") != std::string::npos;
    return n;
}

bool Rig::next_weather(std::chrono::milliseconds within) {
    const int now = weather_count();
    return test_support::wait_until([&] { return weather_count() > now; }, within);
}

std::string Rig::describe() {
    std::string text = "=== relay ===\n" + (relay_ ? relay_->describe() : std::string()) +
                       "\n=== simulator ===\n" + sim_->describe();
    if (monitor_) text += "\n=== monitor ===\n" + monitor_->describe();
    return text;
}

}  // namespace relay_test
