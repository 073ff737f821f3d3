// The two station stages, run in-process against a station played on a
// pseudo-terminal: what goes over the line, what is read back, and the exact
// diagnostics of every failure, each followed by the link reset.
#include <gtest/gtest.h>
#include <termios.h>

#include <chrono>
#include <string>

#include "app/command_line.h"
#include "relay_helpers.h"
#include "station/serial_port.h"
#include "station/station_exchange.h"

namespace {

using relay_test::Clock;
using relay_test::StationPlayer;
using namespace std::chrono_literals;

class StationExchange : public ::testing::Test {
protected:
    void SetUp() override {
        pty_ = relay_test::open_raw_pty();
        if (!pty_) GTEST_SKIP() << "no pseudo-terminal on this machine";
        run_settings.device_path = pty_->slave_path.c_str();
        open_port(run_settings.device_path);
        loop_packet.fill(0);
    }
    void TearDown() override { close_port(); }

    int master() const { return pty_->master; }
    // Cases share one line: what a previous station answered to the reset's
    // line feed must not be read by the next case.
    void forget_pending_input() { tcflush(pty_->slave_keepalive, TCIFLUSH); }

    std::unique_ptr<test_support::Pty> pty_;
};

std::string silent(int) {
    return "";
}

constexpr const char* reset_line = "Resetting communication\n";

TEST_F(StationExchange, WakeSucceedsOnTheFirstOrTheFourthLineFeed) {
    for (int answered : {1, 4}) {
        SCOPED_TRACE("station answers line feed " + std::to_string(answered));
        StationPlayer station(
            master(), [&](int n) { return n == answered ? "\n\r" : ""; }, silent);
        relay_test::StderrCapture err;
        const auto start = Clock::now();
        EXPECT_EQ(wake_station(3), 1);
        EXPECT_GE(Clock::now() - start, answered * 30ms);
        EXPECT_EQ(station.line_feeds(), answered);
        EXPECT_EQ(err.text(), "");
    }
}

// Four attempts, then one diagnostic chosen by the last read only, then the
// reset (its own line feed is the fifth one the station sees).
TEST_F(StationExchange, WakeFailureReportsTheLastRead) {
    struct Case {
        const char* what;
        std::function<std::string(int)> station;
        std::string diagnostic;
    };
    const Case cases[] = {
        {"silent station", silent, "Could not wake up station: no bytes received\n"},
        {"two line feeds", [](int) { return "\n\n"; },
         "Could not wake up station: received 0a:0a instead of \\n\\r\n"},
        {"high bytes", [](int) { return "\xff\x80"; },
         "Could not wake up station: received ff:80 instead of \\n\\r\n"},
        {"one byte last", [](int n) { return n == 4 ? "A" : ""; },
         "Could not wake up station: received 41:00 instead of \\n\\r\n"},
        // A carriage return left over from an earlier attempt must not
        // complete a later lone line feed into the answer.
        {"answer split over attempts", [](int n) { return n == 1   ? "A\r"
                                                          : n == 2 ? "\n"
                                                                   : ""; },
         "Could not wake up station: no bytes received\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        forget_pending_input();
        StationPlayer station(master(), c.station, silent);
        relay_test::StderrCapture err;
        const auto start = Clock::now();
        EXPECT_EQ(wake_station(3), 0);
        EXPECT_GE(Clock::now() - start, 4 * 30ms + 1s) << "attempts and the reset take their time";
        EXPECT_EQ(err.text(), c.diagnostic + reset_line);
        const auto got = station.received();
        ASSERT_EQ(got.size(), 5u);
        // Seen on the other end of the line, where a busy machine can delay a
        // read, never advance it: line feed i comes after i waits for an answer.
        for (std::size_t i = 1; i < got.size(); ++i) {
            EXPECT_GE(got[i].at - start, static_cast<int>(i) * 30ms) << "line feed " << i;
        }
    }
}

TEST_F(StationExchange, PacketFailuresAreReportedAndResetTheLink) {
    const std::string packet = relay_test::station_packet(30000, 725, 10, 180);
    struct Case {
        const char* what;
        std::string answer;
        std::string diagnostic;
    };
    const Case cases[] = {
        {"no acknowledgement", "", "Failed to receive ACK from station\n"},
        {"wrong acknowledgement byte", "\x15" + packet, "Failed to receive ACK from station\n"},
        {"50 bytes", "\x06" + packet.substr(0, 50),
         "Received packet is incomplete, only 50 of 99 bytes\n"},
        {"nothing after the acknowledgement", "\x06",
         "Received packet is incomplete, only -1 of 99 bytes\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        forget_pending_input();
        StationPlayer station(master(), silent, [&](int) { return c.answer; });
        relay_test::StderrCapture err;
        EXPECT_EQ(request_loop_packet(), 0);
        EXPECT_EQ(err.text(), c.diagnostic + reset_line);
        EXPECT_EQ(station.requests(), 1);
    }
}

}  // namespace
