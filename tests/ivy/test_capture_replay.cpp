// The recorded traffic between classic agents, replayed through our reader,
// line assembler and line parser: every line they wrote must come out as they
// cut it, parse as they parsed it, and re-encode to the same bytes.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>

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

}  // namespace
