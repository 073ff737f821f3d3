// The recorded traffic of classic agents, replayed twice. Through our line
// reader and parser: every line they wrote must come out as they cut it,
// parse as they parsed it, and re-encode to the same bytes. Against our
// agent: a scripted peer plays one side of a recording, our agent does what
// the other side did, and what it sends must be the recorded bytes (TCP
// ports aside).
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>

#include "agent_harness.h"
#include "capture_file.h"
#include "ivy_limits.h"
#include "test_support.h"
#include "wire_codec.h"

namespace {

using capture::CaptureFile;

std::string captures_root() {
    return test_support::data_path("ivy-wire");
}

CaptureFile load(const std::string& path) {
    std::string error;
    auto file = capture::read_capture(path, &error);
    EXPECT_TRUE(file.has_value()) << error;
    return file.value_or(CaptureFile{});
}

std::vector<CaptureFile> all_tcp_captures() {
    std::vector<CaptureFile> files;
    for (const auto& dir : capture::scenario_dirs(captures_root())) {
        for (const auto& path : capture::tcp_capture_paths(dir)) files.push_back(load(path));
    }
    return files;
}

// "scenario/A-to-B.txt" relative to the root, for tables and messages.
std::string short_name(const std::string& path) {
    const std::filesystem::path p(path);
    return p.parent_path().filename().string() + "/" + p.filename().string();
}

std::string reverse_path(const std::string& path) {
    const std::filesystem::path p(path);
    const std::string name = p.filename().string();
    const std::size_t to = name.find("-to-");
    const std::size_t dot = name.find('.', to);
    const std::string from = name.substr(0, to);
    const std::string dest = name.substr(to + 4, dot - to - 4);
    return (p.parent_path() / (dest + "-to-" + from + name.substr(dot))).string();
}

// The lines classic agents refused (they answered Error + Bye), as rows.
const std::map<std::string, std::string> refused_lines = {
    {"r01-odd-lines/T-EMPTY-LINE-to-IVYC.txt", "\\n"},
    {"r01-odd-lines/T-NO-STX-to-IVYC.txt", "2 0 hello\\n"},
    {"r01-odd-lines/T-NOT-NUMBERS-to-IVYC.txt", "hello\\x02world\\n"},
    {"r01-odd-lines/T-ONE-NUMBER-to-IVYC.txt", "2\\x02x\\x03\\n"},
    {"s05-newline-in-message/SRC-to-MON.txt", "second\\x03\\n"},
    {"s06-trailing-newline/WXRELAY-to-MON2.txt", "\\x03\\n"},
};

TEST(CaptureFile, ReadsRowsAndRefusesBrokenOnes) {
    const std::string bytes("\\\n\x02\x7f\x00 ~", 7);
    EXPECT_EQ(capture::unescape_row(capture::escape_bytes(bytes)), bytes);
    for (const char* bad : {"\\", "\\x0", "\\xZZ", "\\t", "a\\x4"}) {
        EXPECT_EQ(capture::unescape_row(bad), std::nullopt) << bad;
    }
    std::string error;
    const auto ok = capture::parse_capture(
        "# direction: A -> B (TCP, from port 35990); B listens on TCP port 38279)\n"
        "# datagram from x to y (3 bytes)\n"
        "ab\\n\n",
        "mem", &error);
    ASSERT_TRUE(ok) << error;
    EXPECT_EQ(ok->frames, std::vector<std::string>{"ab\n"});
    EXPECT_EQ(capture::direction_ports(*ok), (std::vector<int>{35990, 38279}));

    EXPECT_FALSE(capture::parse_capture("# datagram from x to y (4 bytes)\nab\\n\n", "m", &error));
    EXPECT_EQ(error, "m:2: datagram size differs from its header");
    EXPECT_FALSE(capture::parse_capture("ok\\n\n\nafter\\n\n", "m", &error));
}

// The datagram sizes recorded in the files check the reader on real data.
TEST(CaptureFile, ReadsEveryRecordedFile) {
    std::size_t files = 0;
    for (const auto& dir : capture::scenario_dirs(captures_root())) {
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            if (entry.path().filename() == "timeline.txt") continue;
            const CaptureFile file = load(entry.path().string());
            EXPECT_FALSE(file.metadata.empty()) << entry.path();
            ++files;
        }
    }
    EXPECT_GT(files, 60u);
}

// TCP keeps no write boundaries: whatever the read sizes, the same lines.
TEST(CaptureReplay, AssemblerCutsEveryStreamAsRecorded) {
    for (const CaptureFile& file : all_tcp_captures()) {
        const std::string stream = capture::stream_of(file);
        for (const std::size_t chunk : {1, 2, 3, 7, 64, 4096, 1 << 20}) {
            ivy::LineAssembler assembler(ivy::max_line_length);
            std::vector<std::string> lines;
            for (std::size_t at = 0; at < stream.size(); at += chunk) {
                const std::size_t n = std::min(chunk, stream.size() - at);
                std::copy_n(stream.data() + at, n, assembler.prepare(n));
                assembler.commit(n);
                while (const auto line = assembler.next_line()) lines.emplace_back(*line);
            }
            std::vector<std::string> expected;
            for (const auto& frame : file.frames)
                expected.push_back(frame.substr(0, frame.size() - 1));
            EXPECT_EQ(lines, expected) << short_name(file.path) << " in chunks of " << chunk;
            EXPECT_EQ(assembler.buffered(), 0u);
            EXPECT_EQ(assembler.take_overlong(), 0u);
        }
    }
}

// Our parser must accept what classic agents accepted and refuse exactly the
// lines they answered with the bad-format Error.
TEST(CaptureReplay, ParsesEveryLineAsClassicAgentsDid) {
    std::set<std::string> refusing_files;
    for (const CaptureFile& file : all_tcp_captures()) {
        const std::string name = short_name(file.path);
        const auto refused = refused_lines.find(name);
        for (const auto& frame : file.frames) {
            const std::string row = capture::escape_bytes(frame);
            const bool expect_refused = refused != refused_lines.end() && refused->second == row;
            const auto parsed =
                ivy::parse_line(std::string_view(frame).substr(0, frame.size() - 1));
            EXPECT_EQ(parsed.has_value(), !expect_refused) << name << ": " << row;
        }
        std::string bad_format;
        ivy::append_line(bad_format, ivy::MsgType::error, ivy::bad_format_error_id,
                         ivy::bad_format_text);
        if (std::count(file.frames.begin(), file.frames.end(), bad_format) != 0) {
            refusing_files.insert(short_name(reverse_path(file.path)));
        }
    }
    std::set<std::string> table;
    for (const auto& [name, row] : refused_lines) table.insert(name);
    EXPECT_EQ(refusing_files, table) << "the refused lines are those answered by Error";
}

// Lines written by classic agents are canonical: re-encoding gives the bytes.
TEST(CaptureReplay, ReencodesClassicAgentLinesByteForByte) {
    std::size_t checked = 0;
    for (const CaptureFile& file : all_tcp_captures()) {
        const std::string name = short_name(file.path);
        if (name[0] == 'r' && name.find("/IVYC-to-") == std::string::npos) continue;
        for (const auto& frame : file.frames) {
            const auto parsed =
                ivy::parse_line(std::string_view(frame).substr(0, frame.size() - 1));
            if (!parsed) continue;  // second half of a line broken by a captured LF
            std::string out;
            ASSERT_TRUE(ivy::append_line(out, static_cast<ivy::MsgType>(parsed->type), parsed->id,
                                         parsed->payload));
            EXPECT_EQ(capture::escape_bytes(out), capture::escape_bytes(frame)) << name;
            ++checked;
        }
    }
    EXPECT_GT(checked, 200u);
}

// The agent's side.

using harness::capture_frames;
using harness::show;
using harness::without_ports;
using std::chrono::milliseconds;

const std::string weather1 = "1 WEATHER 101591.656250 22.500000 4.470400 180.000000";
const std::string weather2 = "2 WEATHER 101590.000000 22.600000 3.100000 175.500000";

std::vector<std::string> read_lines(harness::RawPeer& peer, std::size_t count) {
    std::vector<std::string> lines;
    while (lines.size() < count) {
        auto line = peer.read_line();
        if (!line) break;
        lines.push_back(*line);
    }
    return without_ports(lines);
}

// s01, our agent in WXRELAY's place: accepted handshake, ready message only
// after the peer's EndRegexp, two Msgs, two texts nobody wants.
TEST(AgentReplay, S01RelaySideSendsTheRecordedFrames) {
    const int bus_port = test_support::random_bus_port();
    harness::BusSocket bus(bus_port);
    harness::Agent relay({bus_port, "WXRELAY", "WXRELAY Ready", {}}, bus);
    ASSERT_NE(relay.tcp_port(), 0) << relay.child().describe();
    const auto expected = capture_frames("s01-handshake-weather/WXRELAY-to-WXMON.txt");
    auto mon = harness::RawPeer::connect_to(relay.tcp_port());
    ASSERT_TRUE(mon);
    mon->send(harness::replay_stream(capture_frames("s01-handshake-weather/WXMON-to-WXRELAY.txt"),
                                     mon->local_port()));
    ASSERT_TRUE(relay.wait_out("connected WXMON"));

    EXPECT_EQ(relay.command("send " + weather1 + "\\n", "sent"), "sent 1");
    EXPECT_EQ(relay.command("send " + weather2, "sent"), "sent 1");
    EXPECT_EQ(relay.command("send hello world", "sent"), "sent 0");
    EXPECT_EQ(relay.command("send 1 weather 101591.656250", "sent"), "sent 0");
    const auto got = read_lines(*mon, expected.size());
    EXPECT_EQ(got, expected) << "got:\n" << show(got) << "expected:\n" << show(expected);
    EXPECT_TRUE(mon->stays_silent(milliseconds(100)));
}

// s01, our agent in WXMON's place: it hears WXRELAY's announcement, connects,
// sends its handshake (newest binding first) and gets the Msgs.
TEST(AgentReplay, S01MonitorSideConnectsAndReceives) {
    const int bus_port = test_support::random_bus_port();
    harness::BusSocket bus(bus_port);
    harness::Agent mon(
        {bus_port, "WXMON", std::nullopt, {"^(\\\\S+) WEATHER (.*)", "^(\\\\S+) Ready$"}}, bus);
    harness::RawListener listener;
    bus.broadcast("3 " + std::to_string(listener.port()) + " 1:2:3 WXRELAY\n");
    auto relay = listener.accept();
    ASSERT_TRUE(relay) << mon.child().describe();
    const auto expected = capture_frames("s01-handshake-weather/WXMON-to-WXRELAY.txt");
    const auto got = read_lines(*relay, expected.size());
    EXPECT_EQ(got, expected) << "got:\n" << show(got) << "expected:\n" << show(expected);

    relay->send(harness::replay_stream(capture_frames("s01-handshake-weather/WXRELAY-to-WXMON.txt"),
                                       listener.port()));
    EXPECT_TRUE(mon.wait_out("connected WXRELAY\n"));
    EXPECT_TRUE(mon.wait_out("msg 1 WXRELAY 1 'WXRELAY'\n"));
    EXPECT_TRUE(mon.wait_out("msg 0 WXRELAY 2 '1' '101591.656250 22.500000 4.470400 180.000000'"));
    EXPECT_TRUE(mon.wait_out("msg 0 WXRELAY 2 '2' '101590.000000 22.600000 3.100000 175.500000'"))
        << mon.child().describe();
}

// s04, our agent in SRC's place: MON's eleven regexps, the Msg of every
// texts in the recorded order; the bad regexp answered with Error (PCRE2's
// message is worded differently: only the id and the start are compared).
TEST(AgentReplay, S04MatchingAndMsgOrder) {
    const int bus_port = test_support::random_bus_port();
    harness::BusSocket bus(bus_port);
    harness::Agent src({bus_port, "SRC", std::nullopt, {}}, bus);
    auto expected = capture_frames("s04-regexp-matching/SRC-to-MON.txt");
    const auto mon_frames = capture_frames("s04-regexp-matching/MON-to-SRC.txt");
    auto mon = harness::RawPeer::connect_to(src.tcp_port());
    ASSERT_TRUE(mon);
    // Up to EndRegexp.
    mon->send(
        harness::replay_stream({mon_frames.begin(), mon_frames.begin() + 13}, mon->local_port()));
    ASSERT_TRUE(src.wait_out("connected MON"));

    const std::vector<std::string> texts = {weather1,      "opt",
                                            "opta",        "optb",
                                            "optc",        "optac",
                                            "hello world", "",
                                            "xxx",         "CASE Foo",
                                            "ETX a\\x03b", "bc",
                                            "ac",          "1 weather 101591.656250 22.500000"};
    for (const auto& text : texts) src.command("send " + text, "sent");
    mon->send(mon_frames[13]);  // 4 0: unbind WEATHER
    ASSERT_TRUE(src.wait_out("bindev MON 0 remove"));
    src.command("send " + weather2, "sent");
    mon->send(mon_frames[14]);  // 1 11: a late binding, served last
    ASSERT_TRUE(src.wait_out("bindev MON 11 add"));
    src.command("send 3 WEATHER 101589.500000 22.700000 0.000000 0.000000", "sent");

    auto got = read_lines(*mon, expected.size());
    ASSERT_EQ(got.size(), expected.size()) << show(got);
    EXPECT_EQ(got[2].rfind("3 1\x02"
                           "Error compiling '(', missing",
                           0),
              0u)
        << show({got[2]});
    got[2] = expected[2];
    EXPECT_EQ(got, expected) << "got:\n" << show(got) << "expected:\n" << show(expected);
}

// s06, our agent in WXRELAY's place, texts ending with a line feed. MON gets
// the recorded bytes. MON2's [^ ]* would have swallowed that line feed with
// a classic sender and lost the connection; ours removes it before matching,
// so MON2 gets a clean Msg and stays connected.
TEST(AgentReplay, S06TrailingLineFeedNeverReachesTheWire) {
    const int bus_port = test_support::random_bus_port();
    harness::BusSocket bus(bus_port);
    harness::Agent relay({bus_port, "WXRELAY", "READY", {}}, bus);
    auto mon = relay.connect_peer("MON", {"(.*)", "^(\\S+) WEATHER (.*)", "^(\\S+) ALIVE (.*)$"});
    auto mon2 = relay.connect_peer("MON2", {"^(\\S+) ALIVE ([^ ]*)$"});
    ASSERT_TRUE(relay.wait_out("connected MON\n"));
    ASSERT_TRUE(relay.wait_out("connected MON2\n"));
    const std::string alive = "1 ALIVE 0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0";
    relay.command("send " + weather1 + "\\n", "sent");
    relay.command("send " + alive + "\\n", "sent");
    relay.command("send 1 WEATHER 101590.000000 22.600000 3.100000 175.500000\\n", "sent");

    const auto expected = capture_frames("s06-trailing-newline/WXRELAY-to-MON.txt");
    const auto got = read_lines(*mon, expected.size());
    EXPECT_EQ(got, expected) << "got:\n" << show(got) << "expected:\n" << show(expected);
    const std::vector<std::string> expected2 = {"6 <port>\x02WXRELAY\n", "5 0\x02\n",
                                                "2 0\x02"
                                                "1\x03"
                                                "0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0\x03\n"};
    EXPECT_EQ(read_lines(*mon2, 3), expected2);
    mon2->send("9 5\x02\n");
    EXPECT_EQ(mon2->read_line(), "10 5\x02\n");
}

}  // namespace
