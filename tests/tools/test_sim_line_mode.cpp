// The simulator's fresh line, seen from both ends: the relay's side opened as
// the relay opens it, the station's side through the simulator's own port.
// It must do to the bytes what a fresh USB adapter does, and the station's
// end nothing (the raw line is test_sim_pty's).
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "pty_port.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;

// One read on the relay's side once something is there: a canonical line
// hands over one line per read.
std::string one_read(int fd) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, static_cast<int>(test_support::scaled(1000ms).count())) <= 0) return {};
    char buf[256];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

// What the station has read once `count` bytes came, or the deadline passed.
std::string station_reads(sim::PtyPort& port, std::size_t count) {
    std::string got;
    test_support::wait_until(
        [&] {
            got += port.read_available();
            return got.size() >= count;
        },
        1000ms);
    return got;
}

TEST(SimLineMode, AFreshLineMapsEditsAndEchoesAsAFreshAdapterDoes) {
    auto port = sim::PtyPort::create("", sim::LineMode::fresh);
    ASSERT_TRUE(port) << port.error();
    const int relay = ::open(port->path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(relay, 0);
    termios t{};
    ASSERT_EQ(::tcgetattr(relay, &t), 0);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), static_cast<tcflag_t>(ICANON | ECHO | ISIG));
    EXPECT_EQ(t.c_iflag & ICRNL, static_cast<tcflag_t>(ICRNL));
    EXPECT_EQ(t.c_oflag & (OPOST | ONLCR), static_cast<tcflag_t>(OPOST | ONLCR));
    t.c_cflag = B19200 | CS8 | CREAD | CLOCAL;  // all the relay changes
    ::tcsetattr(relay, TCSANOW, &t);

    // The wake-up leaves as CR LF.
    EXPECT_EQ(::write(relay, "\n", 1), 1);
    EXPECT_EQ(station_reads(*port, 2), "\r\n");
    // The station's answer comes back as two lines, one per read, and goes
    // back to the station as it is echoed.
    port->write_some("\n\r");
    EXPECT_EQ(one_read(relay), "\n");
    EXPECT_EQ(one_read(relay), "\n");
    EXPECT_EQ(station_reads(*port, 4), "\r\n\r\n");
    // Packet bytes are line editing: 0x7F erases the byte before it.
    port->write_some("\x06LOO\x7f\n");
    EXPECT_EQ(one_read(relay), "\x06LO\n");
    ::close(relay);
}

}  // namespace
