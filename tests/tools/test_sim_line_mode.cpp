// The simulator's two line modes, seen from both ends: the relay's side
// opened as the relay opens it, the station's side through the simulator's
// own port. A fresh line must do to the bytes what a fresh USB adapter does;
// a raw one nothing at all.
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

// What the station has read once `count` bytes came, or the deadline
// passed; with a count of 0, what came within a short while.
std::string station_reads(sim::PtyPort& port, std::size_t count) {
    std::string got;
    test_support::wait_until(
        [&] {
            got += port.read_available();
            return count > 0 && got.size() >= count;
        },
        count > 0 ? 1000ms : 100ms);
    return got;
}

std::optional<sim::PtyPort> new_port(sim::LineMode mode) {
    std::string why;
    return sim::PtyPort::create("", mode, &why);
}

struct Line {
    std::optional<sim::PtyPort> port;
    int relay = -1;
    explicit Line(sim::LineMode mode) : port(new_port(mode)) {
        if (!port) return;
        relay = ::open(port->path().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        termios t{};
        ::tcgetattr(relay, &t);
        t.c_cflag = B19200 | CS8 | CREAD | CLOCAL;
        ::tcsetattr(relay, TCSANOW, &t);
    }
    ~Line() {
        if (relay >= 0) ::close(relay);
    }
    void relay_sends(std::string_view bytes) const {
        ASSERT_EQ(::write(relay, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
};

TEST(SimLineMode, ARawLineCarriesEveryByteAsItIs) {
    Line line(sim::LineMode::raw);
    ASSERT_GE(line.relay, 0);
    line.relay_sends("\n");
    EXPECT_EQ(station_reads(*line.port, 1), "\n");
    line.port->write_some("\n\r");
    EXPECT_EQ(one_read(line.relay), "\n\r");
    line.port->write_some("\x06LOO\x7f\x15\x04\n");
    EXPECT_EQ(one_read(line.relay), "\x06LOO\x7f\x15\x04\n");
    EXPECT_EQ(station_reads(*line.port, 0), "") << "nothing is echoed";
}

TEST(SimLineMode, AFreshLineMapsEditsAndEchoesAsAFreshAdapterDoes) {
    Line line(sim::LineMode::fresh);
    ASSERT_GE(line.relay, 0);
    termios t{};
    ASSERT_EQ(::tcgetattr(line.relay, &t), 0);
    EXPECT_EQ(t.c_lflag & (ICANON | ECHO | ISIG), static_cast<tcflag_t>(ICANON | ECHO | ISIG));
    EXPECT_EQ(t.c_iflag & ICRNL, static_cast<tcflag_t>(ICRNL));
    EXPECT_EQ(t.c_oflag & (OPOST | ONLCR), static_cast<tcflag_t>(OPOST | ONLCR));

    // The wake-up leaves as CR LF.
    line.relay_sends("\n");
    EXPECT_EQ(station_reads(*line.port, 2), "\r\n");
    // The station's answer comes back as two lines, one per read, and goes
    // back to the station as it is echoed.
    line.port->write_some("\n\r");
    EXPECT_EQ(one_read(line.relay), "\n");
    EXPECT_EQ(one_read(line.relay), "\n");
    EXPECT_EQ(station_reads(*line.port, 4), "\r\n\r\n");
    // Packet bytes are line editing: 0x7F erases the byte before it.
    line.port->write_some("\x06LOO\x7f\n");
    EXPECT_EQ(one_read(line.relay), "\x06LO\n");
}

}  // namespace
