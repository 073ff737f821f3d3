// The built program over a whole run: the station played on a
// pseudo-terminal, the bus on a test port. What the program does on the
// serial line and on standard error while it polls, and how it ends.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "relay_helpers.h"
#include "test_support.h"

namespace {

using relay_test::Clock;
using relay_test::StationPlayer;
using namespace std::chrono_literals;
using test_support::wait_until;

std::string silent(int) {
    return "";
}
std::string answer_wake(int) {
    return "\n\r";
}
std::string answer_request(int) {
    return relay_test::ack_and_packet();
}

const std::string wake_failure =
    "Could not wake up station: no bytes received\nResetting communication\n";

class RelayRun : public ::testing::Test {
protected:
    void SetUp() override {
        pty_ = relay_test::open_raw_pty();
        if (!pty_) GTEST_SKIP() << "no pseudo-terminal on this machine";
        bus_ = test_support::loopback_bus(test_support::random_bus_port());
    }

    void play_station(StationPlayer::Reply on_line_feed, StationPlayer::Reply on_request) {
        station_ = std::make_unique<StationPlayer>(pty_->master, std::move(on_line_feed),
                                                   std::move(on_request));
    }

    void start_relay(std::vector<std::string> extra = {}) {
        std::vector<std::string> args = {"-d", pty_->slave_path, "-b", bus_, "-s", "1"};
        args.insert(args.end(), extra.begin(), extra.end());
        relay_ =
            std::make_unique<test_support::Child>(test_support::program_path("anemobus"), args);
    }

    // A poll has run to its end: the request was answered and the loop is
    // idle until the next tick, a second away.
    bool wait_first_poll() {
        return wait_until([&] { return station_->requests() >= 1; }, 3000ms);
    }

    std::unique_ptr<test_support::Pty> pty_;
    std::string bus_;
    std::unique_ptr<StationPlayer> station_;
    std::unique_ptr<test_support::Child> relay_;
};

TEST_F(RelayRun, AnInterruptWhileIdleEndsQuietlyWithStatusZero) {
    for (int interrupts : {1, 2}) {
        SCOPED_TRACE(std::to_string(interrupts) + " interrupt(s)");
        play_station(answer_wake, answer_request);
        start_relay();
        ASSERT_TRUE(wait_first_poll()) << relay_->describe();
        for (int i = 0; i < interrupts; ++i) relay_->signal(SIGINT);
        EXPECT_EQ(relay_->wait_exit(3000ms), 0) << relay_->describe();
        EXPECT_EQ(relay_->err(), "");
        EXPECT_EQ(relay_->out(), "");
    }
}

// SIGINT blocked by whoever starts the relay and already pending: it reaches
// the handler as soon as the handler is in place, before the port, the bus
// and the timer exist, and the loop acts on it at its first pass.
TEST_F(RelayRun, AnInterruptBeforeTheLoopStartsEndsItAtOnce) {
    play_station(answer_wake, answer_request);
    sigset_t interrupt_only, previous;
    sigemptyset(&interrupt_only);
    sigaddset(&interrupt_only, SIGINT);
    pthread_sigmask(SIG_BLOCK, &interrupt_only, &previous);
    start_relay();
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
    relay_->signal(SIGINT);
    EXPECT_EQ(relay_->wait_exit(3000ms), 0) << relay_->describe();
    EXPECT_EQ(relay_->err(), "");
    EXPECT_EQ(station_->line_feeds(), 0) << "no poll ran";
}

// An interrupt in the middle of a poll lets the poll finish, waits included,
// without spurious diagnostics; then the run ends.
TEST_F(RelayRun, AnInterruptDuringAPollLetsItFinish) {
    play_station(silent, silent);
    start_relay();
    ASSERT_TRUE(relay_->wait_err("Resetting communication\n", 3000ms)) << relay_->describe();
    const auto reset_at = Clock::now();
    relay_->signal(SIGINT);
    EXPECT_EQ(relay_->wait_exit(3000ms), 0) << relay_->describe();
    EXPECT_GE(Clock::now() - reset_at, 900ms) << "the reset's second was not cut short";
    EXPECT_EQ(relay_->err(), wake_failure);
}

// Each tick's wake-up line feed, timestamped on the line: the ticks stay on
// a grid of one period although every poll takes 150 ms.
TEST_F(RelayRun, TicksKeepToThePeriodWithoutDrift) {
    play_station(answer_wake, answer_request);
    start_relay();
    ASSERT_TRUE(wait_until([&] { return station_->requests() >= 5; }, 8000ms))
        << relay_->describe();
    std::vector<Clock::time_point> ticks;
    bool after_request = true;
    for (const auto& r : station_->received()) {
        if (r.bytes == "\n" && after_request) ticks.push_back(r.at);
        after_request = r.bytes == "LOOP 1\n";
    }
    ASSERT_GE(ticks.size(), 5u);
    for (std::size_t k = 1; k < ticks.size(); ++k) {
        const auto offset = ticks[k] - ticks[0] - static_cast<int>(k) * 1000ms;
        EXPECT_LT(std::chrono::abs(offset), 300ms) << "tick " << k;
    }
    EXPECT_EQ(relay_->err(), "");
}

// A device that goes away while the relay runs (a USB adapter unplugged):
// the next failing poll resets the link and the reopen ends the run.
TEST_F(RelayRun, ADeviceThatVanishesEndsTheRunWithStatusOne) {
    const std::string link =
        ::testing::TempDir() + "anemobus-run-vanishing-" + std::to_string(getpid());
    ASSERT_EQ(symlink(pty_->slave_path.c_str(), link.c_str()), 0);
    play_station(silent, silent);
    relay_ = std::make_unique<test_support::Child>(
        test_support::program_path("anemobus"), std::vector<std::string>{"-d", link, "-b", bus_});
    ASSERT_TRUE(wait_until([&] { return station_->line_feeds() >= 1; }, 3000ms))
        << relay_->describe();
    unlink(link.c_str());
    EXPECT_EQ(relay_->wait_exit(5000ms), 1) << relay_->describe();
    EXPECT_EQ(relay_->err(), wake_failure + "open_port: unable to open device " + link +
                                 " - No such file or directory\n");
}

// A bus text with no usable address: after the library's diagnostic the run
// ends with status 1 instead of polling with nobody to hear.
TEST_F(RelayRun, ABusWithNoUsableAddressEndsTheRunWithStatusOne) {
    play_station(answer_wake, answer_request);
    test_support::Child relay(test_support::program_path("anemobus"),
                              {"-d", pty_->slave_path, "-b", "nonsense"});
    EXPECT_EQ(relay.wait_exit(3000ms), 1) << relay.describe();
    EXPECT_EQ(relay.err(),
              "ivy: bus 'nonsense': bad broadcast address 'nonsense'\n"
              "ivy: bus 'nonsense': no usable address, no agent will hear of us\n");
    EXPECT_EQ(station_->line_feeds(), 0) << "no poll ran";
}

TEST_F(RelayRun, JoinsTheBusAsAnemobusAndGreetsPeersWithReady) {
    play_station(answer_wake, answer_request);
    test_support::Child monitor(test_support::program_path("anemobus-monitor"),
                                {"-b", bus_, "-c", "1", "-t", "10", "^(READY)$"});
    start_relay();
    EXPECT_EQ(monitor.wait_exit(10000ms), 0) << monitor.describe();
    EXPECT_EQ(monitor.out(), "anemobus\tREADY\n") << monitor.describe();
    EXPECT_EQ(monitor.count_err("anemobus connected"), 1) << monitor.describe();
    EXPECT_EQ(relay_->err(), "");
}

// Listens to the bus port beside the agents (the bus library shares the port
// the same way), so every announcement sent on the bus is seen here too.
class BusListener {
public:
    explicit BusListener(int port) : fd_(socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0)) {
        const int on = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        setsockopt(fd_, SOL_SOCKET, SO_REUSEPORT, &on, sizeof on);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_ANY);
        bound_ = bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    }
    ~BusListener() { close(fd_); }
    bool bound() const { return bound_; }
    bool heard_something() {
        char datagram[512];
        return recv(fd_, datagram, sizeof datagram, 0) >= 0;
    }

private:
    int fd_;
    bool bound_ = false;
};

// A device that cannot be opened ends the run before the bus is joined: not
// one announcement leaves. A relay with a good device, started afterwards on
// the same bus, shows that the listener would have heard one.
TEST_F(RelayRun, AnUnopenableDeviceEndsTheRunBeforeAnyAnnouncement) {
    const int port = test_support::random_bus_port();
    const std::string bus = test_support::loopback_bus(port);
    BusListener listener(port);
    ASSERT_TRUE(listener.bound());

    test_support::Child failing(test_support::program_path("anemobus"),
                                {"-d", "/nonexistent/ttyUSB9", "-b", bus});
    EXPECT_EQ(failing.wait_exit(3000ms), 1) << failing.describe();
    EXPECT_EQ(failing.err(),
              "open_port: unable to open device /nonexistent/ttyUSB9 - No such file or "
              "directory\n");
    EXPECT_FALSE(listener.heard_something());

    test_support::Child working(test_support::program_path("anemobus"),
                                {"-d", pty_->slave_path, "-b", bus});
    EXPECT_TRUE(wait_until([&] { return listener.heard_something(); }, 3000ms))
        << working.describe();
}

}  // namespace
