// Hostile bus peers against a running relay, with a good listener bound to
// its WEATHER: whatever the attack, the relay does not crash, every WEATHER
// it publishes reaches the good listener, and once the attackers are gone
// the relay holds as many descriptors as before. How late the WEATHER comes
// meanwhile is measured by bench_hostile, not judged here.
#include <gtest/gtest.h>

#include <functional>

#include "hostile_scene.h"

namespace {

using std::chrono::milliseconds;

// Returns the relay's stderr, for checks of the attack itself.
std::string survives(const std::function<void(hostile::Scene&)>& attack,
                     const std::function<void(hostile::Scene&, int fds_before)>& right_after = {}) {
    hostile::Scene scene;
    EXPECT_TRUE(scene.ready()) << scene.describe();
    if (!scene.ready()) return {};
    const int fds_before = scene.relay_fds();
    attack(scene);
    if (right_after) right_after(scene, fds_before);
    // Every packet served by now becomes one WEATHER for the listener.
    const int served = scene.served();
    EXPECT_TRUE(test_support::wait_until(
        [&] { return static_cast<int>(scene.arrivals().size()) >= served; }, milliseconds(30000)))
        << scene.arrivals().size() << " WEATHER received for " << served << " packets served\n"
        << scene.describe();
    EXPECT_LE(static_cast<int>(scene.arrivals().size()), scene.served());
    EXPECT_TRUE(test_support::wait_until([&] { return scene.relay_fds() == fds_before; },
                                         milliseconds(10000)))
        << scene.relay_fds() << " descriptors, " << fds_before << " before\n"
        << scene.describe();
    EXPECT_TRUE(scene.relay_running()) << scene.describe();
    return scene.relay_err();
}

TEST(HostilePeers, RegexpBombs) {
    const std::string err =
        survives([](hostile::Scene& s) { hostile::regexp_bombs(s, 1, milliseconds(3000)); });
    // The bombs reached the matcher, stopped at PCRE2's limits, and their
    // peer was let go for it: by counts, not time, so on any machine.
    const bool defused = err.find("matching limits: disconnecting") != std::string::npos;
    EXPECT_TRUE(defused) << "the bombs did not go off:\n" << err;
}

// Not even for a moment: the relay makes no connection to itself.
TEST(HostilePeers, SelfAnnouncement) {
    survives([](hostile::Scene& s) { hostile::self_announcement(s); },
             [](hostile::Scene& s, int fds_before) { EXPECT_EQ(s.relay_fds(), fds_before); });
}

TEST(HostilePeers, ConnectionStorm) {
    survives([](hostile::Scene& s) { hostile::connection_storm(s, milliseconds(2000)); });
}

TEST(HostilePeers, SlowReader) {
    survives([](hostile::Scene& s) { hostile::slow_reader(s, milliseconds(3000)); });
}

}  // namespace
