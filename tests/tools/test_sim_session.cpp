// The station's side of the protocol: what it answers, and how each fault
// changes the answer, with the relay's own sequence of bytes.
#include <gtest/gtest.h>

#include "station_session.h"

namespace {

using sim::FaultKind;

const std::string wake = "\n";
const std::string request = "LOOP 1\n";
const std::string answer = "\n\r";

struct Station {
    explicit Station(std::vector<std::string_view> rules = {}, std::uint64_t seed = 1)
        : session(
              schedule(rules, seed), [this] { return next_packet(); }, seed,
              [this](const std::string& line) { log.push_back(line); }) {}

    static sim::FaultSchedule schedule(const std::vector<std::string_view>& rules,
                                       std::uint64_t seed) {
        std::vector<sim::FaultRule> parsed;
        for (auto r : rules) parsed.push_back(*sim::parse_fault_rule(r));
        return {parsed, seed};
    }
    sim::Packet next_packet() {
        ++packets;
        return sim::build_packet({30000, 725, 10, static_cast<std::uint16_t>(packets)});
    }
    // All answers to these bytes, concatenated; delays must all be zero.
    std::string send(std::string_view bytes) {
        const auto out = session.on_bytes(bytes);
        std::string all;
        for (const auto& a : out.answers) {
            EXPECT_EQ(a.delay_ms, 0);
            all += a.bytes;
        }
        return all;
    }
    std::string packet_with_ack(int n) {
        const auto p = sim::build_packet({30000, 725, 10, static_cast<std::uint16_t>(n)});
        return "\x06" + std::string(p.begin(), p.end());
    }

    int packets = 0;
    std::vector<std::string> log;
    sim::StationSession session;
};

TEST(SimSession, AnswersWakeUpAndRequestInOnePieceEach) {
    Station s;
    EXPECT_EQ(s.send(wake), answer);
    const auto out = s.session.on_bytes(request);
    ASSERT_EQ(out.answers.size(), 1u) << "acknowledgement and packet must go out together";
    EXPECT_EQ(out.answers[0].bytes, s.packet_with_ack(1));
    // Bytes split anywhere make the same lines.
    EXPECT_EQ(s.send("LO"), "");
    EXPECT_EQ(s.send("OP 1"), "");
    EXPECT_EQ(s.send("\n"), s.packet_with_ack(2));
    // A carriage return is part of the line: what a line that maps line
    // feeds to CR LF makes of the relay's bytes wakes nothing and asks nothing.
    EXPECT_EQ(s.send("\r\n"), "");
    EXPECT_EQ(s.send("LOOP 1\r\n"), "");
    EXPECT_EQ(s.session.polls_started(), 2);
    EXPECT_EQ(s.log.back(), "ignored command 'LOOP 1\\r'");
}

TEST(SimSession, IgnoresOtherLinesAndOverlongNoise) {
    Station s;
    EXPECT_EQ(s.send("TEST\n"), "");
    EXPECT_EQ(s.send("LOOP\nLOOP x\nLOOP 0\nLOOP 1 2\n"), "");
    EXPECT_EQ(s.send(std::string(500, 'L') + "\n"), "");
    EXPECT_EQ(s.send(std::string(500, 'x') + request), "") << "the request is part of the noise";
    EXPECT_EQ(s.send(request), s.packet_with_ack(1));
    EXPECT_EQ(s.packets, 1);
}

TEST(SimSession, WakeUpFaults) {
    Station silent({"silent"});
    EXPECT_EQ(silent.send(wake + wake + wake + wake + request), "");
    Station wrong({"wrong-wakeup"});
    EXPECT_EQ(wrong.send(wake), "\n\n");
    Station drowsy({"drowsy"});
    EXPECT_EQ(drowsy.send(wake + wake + wake), "");
    EXPECT_EQ(drowsy.send(wake), answer) << "answers the fourth line feed";
    EXPECT_EQ(drowsy.send(request), drowsy.packet_with_ack(1));
    Station garbage({"garbage=5"});
    EXPECT_EQ(garbage.send(wake).size(), 5u);
    EXPECT_EQ(garbage.send(request).size(), 5u);

    Station late({"late=80"});
    const auto out = late.session.on_bytes(wake);
    ASSERT_EQ(out.answers.size(), 1u);
    EXPECT_EQ(out.answers[0].delay_ms, 80);
    EXPECT_EQ(out.answers[0].bytes, answer);
}

TEST(SimSession, StaleBytesComeFromTheLastPacketAheadOfTheFirstAnswer) {
    Station s({"stale=3@2"});
    s.send(wake);
    const std::string packet = s.send(request);
    EXPECT_EQ(s.send(wake), packet.substr(packet.size() - 3) + answer);
    EXPECT_EQ(s.send(wake), answer);
}

TEST(SimSession, RequestFaults) {
    Station no_ack({"no-ack"});
    EXPECT_EQ(no_ack.send(wake), answer);
    EXPECT_EQ(no_ack.send(request), "");
    Station wrong_ack({"wrong-ack"});
    wrong_ack.send(wake);
    EXPECT_EQ(wrong_ack.send(request), "\x15" + wrong_ack.packet_with_ack(1).substr(1));
    Station short_packet({"short"});
    short_packet.send(wake);
    EXPECT_EQ(short_packet.send(request), short_packet.packet_with_ack(1).substr(0, 51));
    Station no_mark({"no-mark"});
    no_mark.send(wake);
    const std::string p = no_mark.send(request);
    ASSERT_EQ(p.size(), 100u);
    EXPECT_EQ(p.substr(0, 4), std::string("\x06\0\0\0", 4));
    EXPECT_EQ(p.substr(4), no_mark.packet_with_ack(1).substr(4));
}

TEST(SimSession, UnplugsAtThePollsFirstByte) {
    Station s({"unplug@2"});
    s.send(wake + request);
    const auto out = s.session.on_bytes(wake + request);
    EXPECT_TRUE(out.unplug);
    EXPECT_TRUE(out.answers.empty());
}

TEST(SimSession, PollsAreCountedAsTheRelayMakesThem) {
    // Poll 2 fails its acknowledgement; the relay then writes its reset line
    // feed and closes the port. That line feed must not use up poll 3.
    Station s({"no-ack@2", "silent@3", "short@4"});
    EXPECT_EQ(s.send(wake + request).size(), 102u);
    EXPECT_EQ(s.send(wake), answer);
    EXPECT_EQ(s.send(request), "");
    s.send(wake);  // the reset's goodbye, answered or not: the port closes
    s.session.on_port_closed();
    EXPECT_EQ(s.session.polls_started(), 2);
    // Poll 3: silent through four attempts and the goodbye (one poll, kept).
    EXPECT_EQ(s.send(wake + wake + wake + wake + wake), "");
    s.session.on_port_closed();
    EXPECT_EQ(s.session.polls_started(), 3);
    // Poll 4 is the short one.
    EXPECT_EQ(s.send(wake + request).size(), 2u + 51u);
    // A line cut by the close does not run into the next one.
    s.send("LOOP");
    s.session.on_port_closed();
    EXPECT_EQ(s.send(" 1\n"), "");
}

}  // namespace
