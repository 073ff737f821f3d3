// The programs of an end-to-end test: the station simulator on a real
// pseudo-terminal, the relay reading it, and the bus monitor listening on a
// bus of the test's own.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "test_support.h"

namespace relay_test {

inline const std::string resetting = "Resetting communication\n";

// A path under /tmp of this test process's own, different at every call.
std::string temp_path(const std::string& what);

// The simulator, the monitor and the relay, started in that order.
class Rig {
public:
    // The simulator gets sim_args and its link, -v and seed 1; the relay
    // the link, the bus and -s 1, then relay_args, which win. Without
    // start_relay, the relay waits for restart_relay().
    Rig(std::vector<std::string> sim_args, std::vector<std::string> relay_args,
        bool with_monitor = true, bool start_relay = true);
    ~Rig();
    Rig(const Rig&) = delete;
    Rig& operator=(const Rig&) = delete;

    bool ready() const { return ready_; }
    test_support::Child& sim() { return *sim_; }
    test_support::Child& relay() { return *relay_; }
    test_support::Child& monitor() { return *monitor_; }
    const std::string& link() const { return link_; }
    const std::string& bus() const { return bus_; }

    // Starts the relay again, as the first was started; the earlier one,
    // if still running, is killed first.
    void restart_relay(std::vector<std::string> relay_args);

    // The relay's weather and keep-alive messages as the monitor printed
    // them ("anemobus<TAB>text"), in order, text only.
    std::vector<std::string> messages();
    int weather_count();
    // Waits for one more weather message than there are now.
    bool next_weather(std::chrono::milliseconds within = std::chrono::milliseconds(4000));
    std::string describe();

private:
    std::string bus_, link_;
    bool ready_ = false;
    std::optional<test_support::Child> sim_, monitor_, relay_;
};

}  // namespace relay_test
