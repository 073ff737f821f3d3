// A field site for the tests against a broker: the relay's end-to-end rig
// (the simulator, the relay, and the bus monitor recording what the relay
// published) on a bus of the site's own, and the bridge forwarding it under
// the site's name. The bridge can be killed and started again on the same
// outbox.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "broker_rig.h"
#include "e2e_rig.h"

namespace mqtt_test {

using Values = std::array<double, 4>;

class Field {
public:
    Field(const TestBroker& broker, std::string site, std::vector<std::string> bridge_args);
    // After the bridge has joined the bus, so that it hears the first reading.
    bool start_relay();
    void start_bridge();
    void kill_bridge();
    void stop_relay();
    test_support::Child& bridge() { return *bridge_; }
    test_support::Child& monitor() { return rig_.monitor(); }
    // The relay's readings as the bus monitor printed them, in order.
    std::vector<Values> relay_readings();
    std::string describe();

private:
    const TestBroker& broker_;
    std::string site_;
    std::vector<std::string> bridge_args_;
    relay_test::Rig rig_;
    std::optional<test_support::Child> bridge_;
    std::string old_bridge_logs_;
};

}  // namespace mqtt_test
