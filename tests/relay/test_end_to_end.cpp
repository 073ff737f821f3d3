// anemobus from end to end: the station simulator on a real pseudo-terminal,
// the relay reading it, and the bus monitor listening on a bus of the test's
// own. Each test runs one relay through several polls, so that a failure,
// the reset that follows it and the next good poll are seen together.
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>

#include <gtest/gtest.h>

#include "e2e_rig.h"
#include "station_packet.h"
#include "test_support.h"

namespace {

using namespace std::chrono_literals;
using relay_test::resetting;
using relay_test::Rig;
using relay_test::temp_path;
using test_support::Child;
using test_support::scaled;

// One line of the simulator's -v log: milliseconds since its start, and text.
struct LogLine {
    double ms;
    std::string text;
};

std::vector<LogLine> timeline(const std::string& log) {
    std::vector<LogLine> lines;
    std::size_t at = 0;
    while (at < log.size()) {
        const auto end = log.find('\n', at);
        if (end == std::string::npos) break;
        const std::string line = log.substr(at, end - at);
        at = end + 1;
        double ms = 0;
        int text_at = 0;
        if (std::sscanf(line.c_str(), "[ %lf] %n", &ms, &text_at) == 1 && text_at > 0)
            lines.push_back({ms, line.substr(static_cast<std::size_t>(text_at))});
    }
    return lines;
}

// Runs a relay through: failure, good poll, failure, good poll, checking
// after each failure its exact lines and that the relay goes on.
void expect_failures_then_recovery(const std::string& first_fault, const std::string& first_text,
                                   const std::string& second_fault,
                                   const std::string& second_text) {
    Rig rig({"--fixed-raw", "30000,725,10,180", "--fault", first_fault + "@1", "--fault",
             second_fault + "@3"},
            {});
    ASSERT_TRUE(rig.ready()) << rig.describe();
    std::string expected;
    for (const std::string& text : {first_text, second_text}) {
        expected += text + resetting;
        ASSERT_TRUE(rig.relay().wait_err(expected, 5000ms)) << rig.describe();
        ASSERT_TRUE(rig.next_weather()) << "no good poll after: " << text << "\n" << rig.describe();
        EXPECT_TRUE(rig.relay().running());
    }
    EXPECT_EQ(rig.relay().err(), expected) << rig.describe();
    for (const auto& m : rig.messages())
        EXPECT_EQ(m, "1 WEATHER 101591.656250 22.500000 4.470400 180.000000");
}

TEST(EndToEnd, WakeUpFailuresAreReportedAndTheNextPollSucceeds) {
    expect_failures_then_recovery("silent", "Could not wake up station: no bytes received\n",
                                  "wrong-wakeup",
                                  "Could not wake up station: received 0a:0a instead of \\n\\r\n");
}

TEST(EndToEnd, AcknowledgementFailuresAreReportedAndTheNextPollSucceeds) {
    expect_failures_then_recovery("no-ack", "Failed to receive ACK from station\n", "wrong-ack",
                                  "Failed to receive ACK from station\n");
}

TEST(EndToEnd, PacketFailuresAreReportedAndTheNextPollSucceeds) {
    expect_failures_then_recovery(
        "short=50", "Received packet is incomplete, only 50 of 99 bytes\n", "no-mark",
        "Received packet from the weather station which does not match the expected format\n");
}

// A recording of station packets as hex text, one per line.
std::string hex_packet(std::uint16_t pressure, std::uint16_t temperature, std::uint8_t wind,
                       std::uint16_t direction, bool marked = true) {
    sim::Packet p = sim::build_packet({pressure, temperature, wind, direction});
    if (!marked) p[0] = 'l';
    std::string text;
    char buf[4];
    for (unsigned char b : p) {
        std::snprintf(buf, sizeof buf, "%02x", b);
        text += buf;
    }
    return text + "\n";
}

TEST(EndToEnd, MessageTextsForRecordedPackets) {
    const std::string recording = temp_path("recording");
    std::ofstream(recording) << hex_packet(30000, 725, 10, 180)
                             << hex_packet(30000, 0xFFFF, 255, 65535)
                             << hex_packet(30000, 725, 10, 180, false);
    Rig rig({"--replay", recording}, {"-a", "-i", "7"});
    ASSERT_TRUE(rig.ready()) << rig.describe();
    // Polls 1 and 2 publish, poll 3 is refused, poll 4 plays the first packet again.
    ASSERT_TRUE(rig.relay().wait_err(resetting, 6000ms)) << rig.describe();
    ASSERT_TRUE(test_support::wait_until([&] { return rig.weather_count() >= 3; }, 5000ms))
        << rig.describe();
    ::unlink(recording.c_str());
    const std::string alive = "7 ALIVE 0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0";
    const std::string first = "7 WEATHER 101591.656250 22.500000 4.470400 180.000000";
    const std::vector<std::string> expected{
        alive, first, alive, "7 WEATHER 101591.656250 -17.833334 113.995201 65535.000000",
        alive, first};
    auto got = rig.messages();
    got.resize(std::min(got.size(), expected.size()));
    EXPECT_EQ(got, expected) << rig.describe();
    EXPECT_EQ(rig.relay().err(),
              "Received packet from the weather station which does not match the expected "
              "format\n" +
                  resetting)
        << rig.describe();
}

// Times between the simulator's log events, in milliseconds.
struct PollTimes {
    std::vector<double> line_feeds;  // of the poll, in order
    double request = -1;             // the LOOP request
    double goodbye = -1;             // the reset's line feed, if any
    double closed = -1, reopened = -1;
};

bool starts_with(const std::string& s, const std::string& prefix) {
    return s.rfind(prefix, 0) == 0;
}

// "poll 3" or "poll 3: fault silent", not "poll 3 was the link reset's line feed...".
bool starts_poll(const std::string& s, int n = -1) {
    if (n < 0) return starts_with(s, "poll ") && s.find(" was ") == std::string::npos;
    const std::string marker = "poll " + std::to_string(n);
    return s == marker || starts_with(s, marker + ":");
}

// Whether the poll begun at log[j] was only the link reset's line feed. The
// simulator may have answered that line feed before it saw the port close
// (on a busy machine it reads the byte before the hang-up): only its answer
// can come between.
bool taken_back_at(const std::vector<LogLine>& log, std::size_t j) {
    for (std::size_t k = j + 1; k < log.size(); ++k) {
        if (log[k].text.find("taken back") != std::string::npos) return true;
        if (!starts_with(log[k].text, "-> ")) return false;
    }
    return false;
}

// The events of poll n, as the simulator counts polls: its line feeds, its
// request, and when it ended in a reset, the reset's line feed and how long
// the port stayed closed.
PollTimes times_of_poll(const std::vector<LogLine>& log, int n) {
    PollTimes t;
    std::size_t i = 0;
    while (i < log.size() && !(starts_poll(log[i].text, n) && !taken_back_at(log, i))) ++i;
    if (i == 0 || i == log.size()) return t;
    // The line feed that starts a poll is logged just before the poll's line.
    for (std::size_t j = i - 1; j < log.size(); ++j) {
        const std::string& s = log[j].text;
        if (j > i && starts_poll(s) && !taken_back_at(log, j)) break;
        if (s == "<- 0a") {
            if (t.request < 0)
                t.line_feeds.push_back(log[j].ms);
            else if (t.goodbye < 0)
                t.goodbye = log[j].ms;
        }
        if (s == "<- 4c 4f 4f 50 20 31 0a") t.request = log[j].ms;
        if (starts_with(s, "port closed") && t.closed < 0) t.closed = log[j].ms;
        if (s == "port opened" && t.closed >= 0) {
            t.reopened = log[j].ms;
            break;
        }
    }
    if (t.closed < 0) t.goodbye = -1;  // that line feed began the next poll
    return t;
}

// The simulator sees each byte when the kernel hands it over and the machine
// lets it run: on a loaded machine a byte can be seen tens of milliseconds
// late, which makes the wait before it look longer and the wait after it
// shorter. The relay's waits are minimums the station needs (being later is
// no fault), so each is judged by the poll that shows it best: three
// drowsy polls, the longest of their waits against the minimum, the
// shortest against a generous maximum that only a relay waiting for the
// wrong thing would pass. A drowsy poll the simulator was too late for (it
// saw line feeds together, or none answered and the relay reset the link)
// shows nothing and is left out.
TEST(EndToEnd, FourthLineFeedStillWakesAndThePacingIsTheRelays) {
    Rig rig(
        {"--fixed-raw", "30000,725,10,180", "--fault", "drowsy=3@1,3,4", "--fault", "no-mark@2"},
        {});
    ASSERT_TRUE(rig.ready()) << rig.describe();
    ASSERT_TRUE(rig.relay().wait_err(resetting, 6000ms)) << rig.describe();
    ASSERT_TRUE(test_support::wait_until(
        [&] { return timeline(rig.sim().err()).size() > 0 && rig.sim().count_err("poll 5") > 0; },
        8000ms))
        << rig.describe();
    const std::string refused =
        "Received packet from the weather station which does not match the expected format\n" +
        resetting;
    const std::string err = rig.relay().err();
    EXPECT_NE(err.find(refused), std::string::npos) << rig.describe();

    const auto log = timeline(rig.sim().err());
    const double early = 15.0 * test_support::timeout_scale();
    const double late = 400.0 * test_support::timeout_scale();
    std::vector<double> wakes;  // from the first line feed to the request
    for (const int poll : {1, 3, 4}) {
        const PollTimes drowsy = times_of_poll(log, poll);
        if (drowsy.line_feeds.size() != 4 || drowsy.request < 0) continue;
        for (std::size_t i = 1; i < 4; ++i) {
            EXPECT_LE(drowsy.line_feeds[i] - drowsy.line_feeds[i - 1], 30.0 + late) << poll;
        }
        wakes.push_back(drowsy.request - drowsy.line_feeds[0]);
    }
    // Every drowsy poll woke the station on its fourth line feed and
    // published, but those the simulator was too slow for.
    const int too_slow = rig.relay().count_err("Could not wake up station");
    EXPECT_GE(rig.weather_count() + too_slow, 3) << rig.describe();
    ASSERT_FALSE(wakes.empty()) << "the simulator was late for every drowsy poll\n"
                                << rig.describe();
    EXPECT_GE(*std::max_element(wakes.begin(), wakes.end()), 4 * 30.0 - early);
    EXPECT_LE(*std::min_element(wakes.begin(), wakes.end()), 4 * 30.0 + late);

    // Poll 2 was answered at once and refused: the relay's reset line feed
    // marks the end of its exchange, about 150 ms after its start.
    const PollTimes refused_poll = times_of_poll(log, 2);
    ASSERT_EQ(refused_poll.line_feeds.size(), 1u) << rig.describe();
    const double wake = refused_poll.request - refused_poll.line_feeds[0];
    EXPECT_GE(wake, 30.0 - early);
    EXPECT_LE(wake, 30.0 + late);
    ASSERT_GE(refused_poll.goodbye, 0) << rig.describe();
    const double exchange = refused_poll.goodbye - refused_poll.line_feeds[0];
    EXPECT_GE(exchange, 150.0 - early);
    EXPECT_LE(exchange, 150.0 + late);
    ASSERT_GE(refused_poll.reopened, 0) << rig.describe();
    const double pause = refused_poll.reopened - refused_poll.closed;
    EXPECT_GE(pause, 1000.0 - early);
    EXPECT_LE(pause, 1000.0 + 2 * late);
    std::printf(
        "measured: wake-up answered at once %.1f ms, four attempts %.1f ms at best, "
        "refused poll %.1f ms, port closed by the reset %.1f ms\n",
        wake, *std::max_element(wakes.begin(), wakes.end()), exchange, pause);
}

TEST(EndToEnd, UnpluggingEndsTheRelayWithStatusOne) {
    Rig rig({"--fault", "unplug@1"}, {}, false);
    ASSERT_TRUE(rig.ready()) << rig.describe();
    const auto status = rig.relay().wait_exit(8000ms);
    ASSERT_TRUE(status) << rig.describe();
    EXPECT_EQ(*status, 1) << rig.describe();
    EXPECT_EQ(rig.relay().err(), "Could not wake up station: no bytes received\n" + resetting +
                                     "open_port: unable to open device " + rig.link() +
                                     " - No such file or directory\n")
        << rig.describe();
    EXPECT_EQ(rig.sim().wait_exit(2000ms), 0) << rig.describe();
}

// The port belongs to the first relay: a second one on the same device is
// refused as any unopenable device is, and the first carries on publishing.
// Tests run as root, whom the terminal's exclusive mode lets through, so the
// refusal seen here is the lock's; the exclusive mode is checked as a flag.
TEST(EndToEnd, ASecondRelayOnTheSameDeviceEndsWithStatusOne) {
    Rig rig({"--fixed-raw", "30000,725,10,180"}, {});
    ASSERT_TRUE(rig.ready()) << rig.describe();
    ASSERT_TRUE(rig.next_weather()) << rig.describe();
    const int look = ::open(rig.link().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    int exclusive = 0;
    if (look >= 0 && ::ioctl(look, TIOCGEXCL, &exclusive) == 0) {
        EXPECT_EQ(exclusive, 1) << "the terminal is not in exclusive mode";
    }
    if (look >= 0) ::close(look);

    Child second(test_support::program_path("anemobus"), {"-d", rig.link(), "-b", "127.0.0.1:9"});
    EXPECT_EQ(second.wait_exit(5000ms), 1) << second.describe();
    EXPECT_EQ(second.err(),
              "open_port: unable to open device " + rig.link() + " - Device or resource busy\n");
    EXPECT_TRUE(rig.next_weather()) << rig.describe();
    EXPECT_TRUE(rig.next_weather()) << rig.describe();
    EXPECT_TRUE(rig.relay().running());
    EXPECT_EQ(rig.relay().count_err("open_port"), 0) << rig.describe();
}

}  // namespace
