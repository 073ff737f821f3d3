// A field site for the tests against a broker: the simulator and the relay
// on a bus of the site's own, the bus monitor recording what the relay
// published, and the bridge forwarding it under the site's name. The bridge
// can be killed and started again on the same outbox.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "broker_rig.h"

namespace mqtt_test {

using Values = std::array<double, 4>;

// The relay's readings as the bus monitor printed them, in order.
std::vector<Values> relay_readings(test_support::Child& monitor);

class Field {
public:
    Field(const TestBroker& broker, std::string site, std::vector<std::string> bridge_args);
    // After the bridge has joined the bus, so that it hears the first reading.
    bool start_relay();
    void start_bridge();
    void kill_bridge();
    void stop_relay();
    const std::string& bus() const { return bus_; }
    test_support::Child& bridge() { return *bridge_; }
    test_support::Child& monitor() { return *monitor_; }
    std::string describe();

private:
    const TestBroker& broker_;
    std::string site_, bus_, link_;
    std::vector<std::string> bridge_args_;
    std::optional<test_support::Child> sim_, monitor_, relay_, bridge_;
    std::string old_bridge_logs_;
};

}  // namespace mqtt_test
