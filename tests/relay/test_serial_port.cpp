// The serial port in-process, on pseudo-terminals: what open_port changes and
// leaves alone, what a reset does to the line and to the descriptor, and the
// pacing waits.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "app/command_line.h"
#include "relay_helpers.h"
#include "station/serial_port.h"
#include "station/steady_sleep.h"

namespace {

using relay_test::Clock;
using namespace std::chrono_literals;

termios attributes_of(int fd) {
    termios t{};
    EXPECT_EQ(tcgetattr(fd, &t), 0);
    return t;
}

// Everything open_port promises to leave as it found it.
void expect_same_modes_but_control(const termios& before, const termios& after) {
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_oflag, before.c_oflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    for (std::size_t i = 0; i < NCCS; ++i) EXPECT_EQ(after.c_cc[i], before.c_cc[i]) << "c_cc " << i;
}

class SerialPort : public ::testing::Test {
protected:
    void SetUp() override {
        pty_ = relay_test::open_raw_pty();
        if (!pty_) GTEST_SKIP() << "no pseudo-terminal on this machine";
        run_settings.device_path = pty_->slave_path.c_str();
    }
    void TearDown() override { close_port(); }

    std::unique_ptr<test_support::Pty> pty_;
};

TEST_F(SerialPort, OnlyTheControlWordIsReplaced) {
    EXPECT_EQ(station_control_modes, 0x8BEu);
    for (bool canonical : {false, true}) {
        SCOPED_TRACE(canonical ? "canonical line" : "raw line");
        termios left = attributes_of(pty_->slave_keepalive);
        if (canonical) left.c_lflag |= ICANON | ECHO | ISIG;
        left.c_cc[VMIN] = 7;
        tcsetattr(pty_->slave_keepalive, TCSANOW, &left);
        const termios before = attributes_of(pty_->slave_keepalive);

        open_port(pty_->slave_path.c_str());
        const termios after = attributes_of(pty_->slave_keepalive);
        EXPECT_EQ(after.c_cflag, 0x8BEu);
        expect_same_modes_but_control(before, after);
        EXPECT_EQ(bool(after.c_lflag & ICANON), canonical);
        EXPECT_TRUE(fcntl(link_state.port_fd, F_GETFL) & O_NONBLOCK);
        close_port();
    }
}

TEST_F(SerialPort, ResetSendsALineFeedWaitsASecondAndReopensAlike) {
    open_port(run_settings.device_path);
    const termios before = attributes_of(link_state.port_fd);
    // Input is never flushed: what the station sent before the reset is
    // still there to be read after it.
    ASSERT_EQ(write(pty_->master, "xy", 2), 2);
    const auto start = Clock::now();
    {
        relay_test::StderrCapture err;
        reset_link();
        EXPECT_EQ(err.text(), "Resetting communication\n");
    }
    EXPECT_GE(Clock::now() - start, 1s);
    EXPECT_EQ(test_support::read_available(pty_->master, 200ms), "\n");
    ASSERT_GE(link_state.port_fd, 0);
    const termios after = attributes_of(link_state.port_fd);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    expect_same_modes_but_control(before, after);
    EXPECT_TRUE(fcntl(link_state.port_fd, F_GETFL) & O_NONBLOCK);
    char got[4] = {};
    EXPECT_EQ(read(link_state.port_fd, got, sizeof got), 2);
    EXPECT_STREQ(got, "xy");
}

// Signals land in the middle of a pacing wait as SIGINT would; the wait must
// still last its whole length.
TEST(Pacing, SleepLastsItsWholeLengthDespiteSignals) {
    struct sigaction quiet {};
    quiet.sa_handler = [](int) {};
    sigemptyset(&quiet.sa_mask);
    struct sigaction previous {};
    sigaction(SIGALRM, &quiet, &previous);
    itimerval every_5ms{{0, 5000}, {0, 5000}};
    setitimer(ITIMER_REAL, &every_5ms, nullptr);

    const auto start = Clock::now();
    sleep_full(120ms);
    const auto slept = Clock::now() - start;

    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous, nullptr);
    EXPECT_GE(slept, 120ms);
}

}  // namespace
