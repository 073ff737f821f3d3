#include "wire_codec.h"

#include <gtest/gtest.h>

#include <climits>

#include "capture_file.h"
#include "ivy_limits.h"
#include "test_support.h"

namespace {

using namespace std::string_literals;
using ivy::parse_line;

std::vector<std::string> fields_of(std::string_view payload,
                                   std::size_t max = ivy::max_fields_per_msg) {
    std::vector<std::string> fields;
    const auto n =
        ivy::for_each_field(payload, max, [&](std::string_view f) { fields.emplace_back(f); });
    if (!n) return {"<refused>"};
    EXPECT_EQ(*n, fields.size());
    return fields;
}

// The test line of an r01 scripted peer: the row after its handshake.
std::string r01_test_line(const std::string& test) {
    const auto file = capture::read_capture(
        test_support::data_path("ivy-wire/r01-odd-lines/" + test + "-to-IVYC.txt"), nullptr);
    EXPECT_TRUE(file && file->frames.size() >= 3);
    const std::string& frame = file->frames.at(2);
    return frame.substr(0, frame.size() - 1);
}

TEST(ParseLine, AcceptsOddLinesLikeClassicAgents) {
    const std::string spaces_line = r01_test_line("T-SPACES");
    const std::string nul_line = r01_test_line("T-NUL");
    const std::string crlf_line = r01_test_line("T-CRLF");
    const auto spaces = parse_line(spaces_line);
    ASSERT_TRUE(spaces);
    EXPECT_EQ(spaces->type, 2);
    EXPECT_EQ(spaces->id, 0);
    EXPECT_EQ(fields_of(spaces->payload), (std::vector<std::string>{"a", "b"}));

    const auto nul = parse_line(nul_line);
    ASSERT_TRUE(nul);
    EXPECT_EQ(fields_of(nul->payload), std::vector<std::string>{"a"});

    const auto crlf = parse_line(crlf_line);
    ASSERT_TRUE(crlf);
    EXPECT_EQ(fields_of(crlf->payload), (std::vector<std::string>{"1", "WX", "\r"}));

    const auto negative = parse_line("\t-1 +7 \x02");
    ASSERT_TRUE(negative);
    EXPECT_EQ(negative->type, -1);
    EXPECT_EQ(negative->id, 7);
    EXPECT_EQ(negative->payload, "");
    EXPECT_EQ(parse_line("2 0\x02"
                         "a\x02"
                         "b")
                  ->payload,
              "a\x02"
              "b");  // only the first STX cuts
}

TEST(ParseLine, RefusesLinesWithoutTwoNumbersOrStx) {
    for (const std::string& line :
         {""s, "2 0 hello"s, "hello\x02world"s, "2\x02x\x03"s, "- 1 2\x02"s,
          "2 \x00"
          "0\x02"s,
          "2 0\x00\x02x"s, "2x0\x02"s}) {
        EXPECT_EQ(parse_line(line), std::nullopt) << capture::escape_bytes(line);
    }
}

TEST(ParseLine, ClampsNumbersTooLargeForAnInt) {
    const std::string line = std::string(400, '9') + " -" + std::string(400, '9') + "\x02p";
    const auto huge = parse_line(line);
    ASSERT_TRUE(huge);
    EXPECT_EQ(huge->type, INT_MAX);
    EXPECT_EQ(huge->id, INT_MIN);
    EXPECT_EQ(huge->payload, "p");
    const auto edge = parse_line("2147483647 -2147483648\x02");
    EXPECT_EQ(edge->type, INT_MAX);
    EXPECT_EQ(edge->id, INT_MIN);
    EXPECT_EQ(parse_line("2147483648 -2147483649\x02")->type, INT_MAX);
    EXPECT_EQ(parse_line("2147483648 -2147483649\x02")->id, INT_MIN);
}

TEST(AppendLine, WritesLinesAndRefusesPayloadsThatWouldSplit) {
    std::string out = "x";
    EXPECT_TRUE(ivy::append_line(out, ivy::MsgType::start_regexp, 40637, "WXMON"));
    EXPECT_TRUE(ivy::append_line(out, ivy::MsgType::error, INT_MIN, "a\rb"));
    EXPECT_EQ(out,
              "x6 40637\x02WXMON\n3 -2147483648\x02"
              "a\rb\n");
    EXPECT_FALSE(ivy::append_line(out, ivy::MsgType::direct_msg, 1, "two\nlines"));
    EXPECT_EQ(out,
              "x6 40637\x02WXMON\n3 -2147483648\x02"
              "a\rb\n");
}

TEST(ForEachField, CutsAtEtxAndBoundsTheCount) {
    EXPECT_EQ(fields_of(""), std::vector<std::string>{});
    EXPECT_EQ(fields_of("\x03"), std::vector<std::string>{""});
    EXPECT_EQ(fields_of("\x03"
                        "b\x03"),
              (std::vector<std::string>{"", "b"}));
    EXPECT_EQ(fields_of("a\x03\x03"), (std::vector<std::string>{"a", ""}));
    EXPECT_EQ(fields_of("a\x03"
                        "b"),
              (std::vector<std::string>{"a", "b"}));

    std::string full;
    for (int i = 0; i < 120; ++i) full += "f\x03";
    EXPECT_EQ(fields_of(full).size(), 120u);
    EXPECT_EQ(fields_of(full + "x"), std::vector<std::string>{"<refused>"});
    EXPECT_EQ(fields_of(full + "\x03"), std::vector<std::string>{"<refused>"});
    bool called = false;
    EXPECT_EQ(ivy::for_each_field("a\x03"
                                  "b\x03",
                                  1, [&](std::string_view) { called = true; }),
              std::nullopt);
    EXPECT_FALSE(called);
}

void feed(ivy::LineAssembler& assembler, std::string_view bytes) {
    std::copy(bytes.begin(), bytes.end(), assembler.prepare(bytes.size()));
    assembler.commit(bytes.size());
}

std::vector<std::string> drain(ivy::LineAssembler& assembler) {
    std::vector<std::string> lines;
    while (const auto line = assembler.next_line()) lines.emplace_back(*line);
    return lines;
}

TEST(LineAssembler, SkipsLinesOverTheBoundWhetherWholeOrInPieces) {
    ivy::LineAssembler assembler(10);  // 9 bytes and the LF
    feed(assembler, "123456789\n0123456789\nok\n");
    EXPECT_EQ(drain(assembler), (std::vector<std::string>{"123456789", "ok"}));
    EXPECT_EQ(assembler.take_overlong(), 1u);
    EXPECT_EQ(assembler.take_overlong(), 0u);

    // Arriving without its LF, the long line is dropped as soon as it is
    // known to be too long, and nothing of it is held meanwhile.
    for (int i = 0; i < 1000; ++i) {
        feed(assembler, "xxxxxxx");
        EXPECT_EQ(drain(assembler), std::vector<std::string>{});
        EXPECT_LT(assembler.buffered(), 10u);
    }
    feed(assembler, "xx\n\nnext");
    EXPECT_EQ(drain(assembler), std::vector<std::string>{""});
    EXPECT_EQ(assembler.take_overlong(), 1u);
    feed(assembler, "\n");
    EXPECT_EQ(drain(assembler), std::vector<std::string>{"next"});
}

TEST(LineAssembler, ReusesItsBufferOnceWarm) {
    ivy::LineAssembler assembler(ivy::max_line_length);
    const std::string line =
        "2 0\x02"
        "1\x03"
        "101591.656250\x03"
        "22.500000\x03\n";
    const std::string chunk = line + line + line.substr(0, 9);  // ends mid-line
    const char* warm = nullptr;
    for (int i = 0; i < 200; ++i) {
        char* space = assembler.prepare(4096);
        if (i == 1) warm = space;
        if (i > 1) {
            ASSERT_EQ(space, warm) << "buffer moved on read " << i;
        }
        std::copy(chunk.begin(), chunk.end(), space);
        assembler.commit(chunk.size());
        for (const auto& got : drain(assembler)) ASSERT_EQ(got + "\n", line);
        feed(assembler, line.substr(9));
        ASSERT_EQ(drain(assembler).size(), 1u);
    }
}

std::vector<std::string> r02_lines() {
    const auto file = capture::read_capture(
        test_support::data_path("ivy-wire/r02-announcements/udp-announce.txt"), nullptr);
    EXPECT_TRUE(file);
    std::vector<std::string> lines;
    for (std::string_view datagram : file->frames) {
        while (!datagram.empty()) {
            const std::size_t lf = datagram.find('\n');
            lines.emplace_back(datagram.substr(0, lf));
            datagram.remove_prefix(lf == std::string_view::npos ? datagram.size() : lf + 1);
        }
    }
    return lines;
}

TEST(Announcement, ReadsEveryRecordedShape) {
    struct Expected {
        int version, port;
        std::string id, name;
    };
    const std::vector<std::optional<Expected>> expected = {
        Expected{3, 36655, "303166620:1796705652725:36655", "IVYC"},
        Expected{3, 46623, "PYID-1", "PEER-A"},
        Expected{4, 33081, "PYID-2", "PEER-V4"},
        Expected{3, 45477, "", ""},
        std::nullopt,                               // hello
        Expected{3, 37573, "PYID-4", "PEER-NOLF"},  // never glued to the next datagram
        Expected{3, 35741, "PYID-5", "PEER-AFTER"},
        Expected{3, 35247, "PYID-6", "PEER SPACES IN NAME"},
        Expected{3, 35171, "PYID-7", "PEER-TWO-1"},
        Expected{3, 40439, "PYID-8", "PEER-TWO-2"},
        Expected{3, 47677, "PYID-9", "PEER-DEAD"},
        Expected{3, 46623, "PYID-1", "PEER-A"},
    };
    const auto lines = r02_lines();
    ASSERT_EQ(lines.size(), expected.size());
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto got = ivy::parse_announcement(lines[i]);
        ASSERT_EQ(got.has_value(), expected[i].has_value()) << lines[i];
        if (!got) continue;
        EXPECT_EQ(got->version, expected[i]->version) << lines[i];
        EXPECT_EQ(got->port, expected[i]->port) << lines[i];
        EXPECT_EQ(got->app_id, expected[i]->id) << lines[i];
        EXPECT_EQ(got->app_name, expected[i]->name) << lines[i];
    }
}

TEST(Announcement, RefusesUnreachablePortsAndOverlongIdsAndCutsNames) {
    for (const char* line : {"3 0 ID N", "3 65536 ID N", "3 -5 ID N", "3", "3 x", ""}) {
        EXPECT_EQ(ivy::parse_announcement(line), std::nullopt) << line;
    }
    EXPECT_TRUE(ivy::parse_announcement("3 65535 " + std::string(127, 'i')));
    EXPECT_FALSE(ivy::parse_announcement("3 65535 " + std::string(128, 'i')));
    const std::string long_name = "3 1 ID " + std::string(5000, 'n');
    const auto cut = ivy::parse_announcement(long_name);
    ASSERT_TRUE(cut);
    EXPECT_EQ(cut->app_name.size(), ivy::max_app_name_length);
    EXPECT_EQ(ivy::parse_announcement(" 3  2010\tID  my name \r")->app_name, "my name \r");
    EXPECT_EQ(ivy::parse_announcement("3 2010 ID\0forged"s)->app_id, "ID");
}

TEST(Announcement, FormatsWhatPeersRead) {
    EXPECT_EQ(ivy::format_announcement(40637, "1602792078:1796705597658:40637", "WXMON"),
              "3 40637 1602792078:1796705597658:40637 WXMON\n");
    // A line feed in our name must not become a second announcement.
    const std::string text = ivy::format_announcement(2, "ID", "A\n3 9999 X EVIL");
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1);
    const auto back = ivy::parse_announcement(std::string_view(text).substr(0, text.size() - 1));
    ASSERT_TRUE(back);
    EXPECT_EQ(back->port, 2);
    EXPECT_EQ(back->app_name, "A 3 9999 X EVIL");
}

}  // namespace
