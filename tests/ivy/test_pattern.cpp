#include "pattern.h"

#include <gtest/gtest.h>

#include <list>
#include <map>

#include "capture_file.h"
#include "test_support.h"
#include "wire_codec.h"

namespace {

using ivy::MatchResult;
using ivy::Pattern;

std::unique_ptr<Pattern> compile_ok(std::string_view text) {
    ivy::CompileError error;
    auto pattern = Pattern::compile(text, &error);
    EXPECT_TRUE(pattern) << text << ": " << error.message;
    return pattern;
}

capture::CaptureFile load(const std::string& relative) {
    std::string error;
    auto file = capture::read_capture(test_support::data_path("ivy-wire/" + relative), &error);
    EXPECT_TRUE(file) << error;
    return file.value_or(capture::CaptureFile{});
}

std::optional<ivy::Frame> frame_of(const std::string& bytes) {
    return ivy::parse_line(std::string_view(bytes).substr(0, bytes.size() - 1));
}

// What a sender holds for one peer: its distinct regexps in the order they
// first arrived, each with the binding ids holding it, newest first.
class PeerRegexps {
public:
    void apply(const ivy::Frame& frame, std::vector<std::string>& sent) {
        if (frame.type == 4) {
            for (auto& entry : entries_) entry.ids.remove(frame.id);
            return;
        }
        if (frame.type != 1) return;
        for (auto& entry : entries_) {
            if (entry.text == frame.payload) return entry.ids.push_front(frame.id);
        }
        ivy::CompileError error;
        entries_.push_back(
            {std::string(frame.payload), Pattern::compile(frame.payload, &error), {frame.id}});
        if (!entries_.back().pattern) {
            ivy::append_line(sent.emplace_back(), ivy::MsgType::error, error.offset,
                             ivy::compile_error_text(frame.payload, error));
        }
    }

    // The Msg lines one text gives, in the order classic agents send them.
    void send(std::string_view text, std::vector<std::string>& sent,
              MatchResult expected = MatchResult::matched) const {
        for (const auto& entry : entries_) {
            std::string payload;
            if (!entry.pattern) continue;
            const MatchResult result = entry.pattern->append_msg_payload(text, payload);
            if (result == MatchResult::no_match) continue;
            EXPECT_EQ(result, expected) << entry.text << " on " << capture::escape_bytes(text);
            if (result != MatchResult::matched) continue;
            for (const int id : entry.ids) {
                ivy::append_line(sent.emplace_back(), ivy::MsgType::msg, id, payload);
            }
        }
    }

private:
    struct Entry {
        std::string text;
        std::unique_ptr<Pattern> pattern;
        std::list<int> ids;
    };
    std::vector<Entry> entries_;
};

std::vector<std::string> frames_of_type(const capture::CaptureFile& file, int type) {
    std::vector<std::string> out;
    for (const auto& bytes : file.frames) {
        if (const auto frame = frame_of(bytes); frame && frame->type == type) out.push_back(bytes);
    }
    return out;
}

std::vector<std::string> escaped(const std::vector<std::string>& frames) {
    std::vector<std::string> rows;
    for (const auto& f : frames) rows.push_back(capture::escape_bytes(f));
    return rows;
}

// MON's bindings, as it sent them, and the texts SRC sent, at the point in
// MON's stream where SRC sent them: every Msg SRC wrote must come out again.
TEST(PatternReplay, ReproducesEveryMsgOfTheRegexpScenario) {
    const std::map<std::string, std::vector<std::string>> texts_after = {
        {"5 0\\x02\\n",
         {"1 WEATHER 101591.656250 22.500000 4.470400 180.000000", "opt", "opta", "optb", "optc",
          "optac", "hello world", "", "xxx", "CASE Foo",
          "ETX a\x03"
          "b",
          "bc", "ac", "1 weather 101591.656250 22.500000 4.470400 180.000000"}},
        {"4 0\\x02\\n", {"2 WEATHER 101590.000000 22.600000 3.100000 175.500000"}},
        {"1 11\\x02^(\\\\S+) WEATHER\\n", {"3 WEATHER 101589.500000 22.700000 0.000000 0.000000"}},
    };
    PeerRegexps mon;
    std::vector<std::string> sent;
    for (const auto& bytes : load("s04-regexp-matching/MON-to-SRC.txt").frames) {
        mon.apply(*frame_of(bytes), sent);
        const auto texts = texts_after.find(capture::escape_bytes(bytes));
        if (texts == texts_after.end()) continue;
        for (const auto& text : texts->second) mon.send(text, sent);
    }
    const auto src = load("s04-regexp-matching/SRC-to-MON.txt");
    ASSERT_FALSE(sent.empty());
    // PCRE2 words its messages differently from the old PCRE; the offset,
    // which is what the Error line's id carries, is the same.
    const auto recorded_error = frames_of_type(src, 3);
    ASSERT_EQ(escaped(recorded_error),
              std::vector<std::string>{"3 1\\x02Error compiling '(', missing )\\n"});
    EXPECT_EQ(capture::escape_bytes(sent.front()),
              "3 1\\x02Error compiling '(', missing closing parenthesis\\n");
    sent.erase(sent.begin());
    EXPECT_EQ(escaped(sent), escaped(frames_of_type(src, 2)));
}

// A sender whose texts end with "\n": without the final LF removed, MON2's
// [^ ]* captures it, which classic agents put on the wire (breaking the
// line); we refuse that Msg. With it removed, the capture is clean, and
// MON's own Msgs are the recorded ones either way.
TEST(PatternReplay, TrailingLineFeedIsRefusedOrStrippedNeverSent) {
    const std::vector<std::string> texts = {
        "1 WEATHER 101591.656250 22.500000 4.470400 180.000000\n",
        "1 ALIVE 0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0\n",
        "1 WEATHER 101590.000000 22.600000 3.100000 175.500000\n",
    };
    PeerRegexps mon, mon2;
    std::vector<std::string> ignored;
    for (const auto& bytes : load("s06-trailing-newline/MON-to-WXRELAY.txt").frames) {
        mon.apply(*frame_of(bytes), ignored);
    }
    for (const auto& bytes : load("s06-trailing-newline/MON2-to-WXRELAY.txt").frames) {
        mon2.apply(*frame_of(bytes), ignored);
    }
    const auto recorded =
        escaped(frames_of_type(load("s06-trailing-newline/WXRELAY-to-MON.txt"), 2));
    for (const bool strip : {false, true}) {
        std::vector<std::string> to_mon, to_mon2;
        mon.send("READY", to_mon);
        for (const auto& text : texts) {
            const std::string_view sent = strip ? ivy::without_final_lf(text) : text;
            mon.send(sent, to_mon);
            mon2.send(sent, to_mon2, strip ? MatchResult::matched : MatchResult::unsafe_capture);
        }
        EXPECT_EQ(escaped(to_mon), recorded) << "strip " << strip;
        const auto clean = strip ? std::vector<std::string>{"2 0\\x021\\x030,0,0,0,0,0,0,0,0,0,0,0,"
                                                            "0,0,0,0\\x03\\n"}
                                 : std::vector<std::string>{};
        EXPECT_EQ(escaped(to_mon2), clean) << "strip " << strip;
    }
}

TEST(Pattern, ReportsCompileErrorsWithOffsetAndWholeRegexp) {
    ivy::CompileError error;
    EXPECT_EQ(Pattern::compile("(", &error), nullptr);
    EXPECT_EQ(error.offset, 1);
    EXPECT_EQ(ivy::compile_error_text("(", error),
              "Error compiling '(', missing closing parenthesis");

    // Classic agents overflow a fixed buffer on long bad regexps.
    const std::string text = "abc" + std::string(5000, '(');
    EXPECT_EQ(Pattern::compile(text, &error), nullptr);
    EXPECT_EQ(ivy::compile_error_text(text, error).substr(0, 20 + text.size()),
              "Error compiling '" + text + "', ");
    EXPECT_EQ(Pattern::compile("[", nullptr), nullptr);
}

TEST(Pattern, RefusesMoreGroupsThanAMsgCarries) {
    std::string groups;
    for (int i = 0; i < 120; ++i) groups += "(a)";
    const auto most = compile_ok(groups);
    std::string payload;
    ASSERT_EQ(most->append_msg_payload(std::string(120, 'a'), payload), MatchResult::matched);
    EXPECT_EQ(payload.size(), 240u);

    ivy::CompileError error;
    EXPECT_EQ(Pattern::compile(groups + "(a)", &error), nullptr);
    EXPECT_EQ(error.message, "too many capturing groups (121, at most 120)");
    EXPECT_EQ(Pattern::compile(groups + "(?:b)", &error) != nullptr, true);
}

TEST(Pattern, LeavesOutputAloneUnlessMatched) {
    const auto any = compile_ok("^(.*)$");
    const auto catastrophic = compile_ok("^(a+)+$");
    std::string out = "kept";
    EXPECT_EQ(any->append_msg_payload("a\rb", out), MatchResult::unsafe_capture);
    EXPECT_EQ(compile_ok("(?s)^(.*)")->append_msg_payload("a\nb", out),
              MatchResult::unsafe_capture);
    EXPECT_EQ(compile_ok("x")->append_msg_payload("y", out), MatchResult::no_match);
    EXPECT_EQ(catastrophic->append_msg_payload(std::string(40, 'a') + "b", out),
              MatchResult::limit_hit);
    EXPECT_EQ(out, "kept");
    // ...and the same pattern still works afterwards.
    EXPECT_EQ(catastrophic->append_msg_payload("aaa", out), MatchResult::matched);
    EXPECT_EQ(out, "keptaaa\x03");
}

TEST(Pattern, MatchesBytesAndLongTexts) {
    std::string out;
    EXPECT_EQ(compile_ok("^\xff(.)$")->append_msg_payload("\xff\xfe", out), MatchResult::matched);
    EXPECT_EQ(out, "\xfe\x03");
    out.clear();
    const std::string longtext = "1 " + std::string(200000, 'x');
    EXPECT_EQ(compile_ok("^(\\S+) (.*)$")->append_msg_payload(longtext, out), MatchResult::matched);
    EXPECT_EQ(out.size(), longtext.size() + 1);
    EXPECT_EQ(compile_ok("")->text(), "");
    EXPECT_EQ(ivy::without_final_lf("a\n\n"), "a\n");
    EXPECT_EQ(ivy::without_final_lf(""), "");
}

}  // namespace
