// A peer's binding: a regular expression compiled with PCRE2 (no options, as
// classic agents compile them: case-sensitive, bytes, '.' stops at LF), JIT
// compiled where the platform allows, with match limits so that a hostile
// expression gives up instead of stalling the loop.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace ivy {

struct CompileError {
    int offset = 0;        // PCRE2's error offset: the id field of the Error line
    std::string message;   // PCRE2's text, e.g. "missing closing parenthesis"
};

enum class MatchResult {
    NoMatch,
    Matched,       // payload appended
    UnsafeCapture, // a capture holds LF or CR: nothing appended, must not be sent
    TooManyGroups, // more fields than a Msg may carry: nothing appended
    LimitHit,      // PCRE2 gave up (match or depth limit): nothing appended
};

class Pattern {
public:
    // nullptr and *error filled when the text does not compile.
    static std::unique_ptr<Pattern> compile(std::string_view text, CompileError* error);
    ~Pattern();
    Pattern(const Pattern&) = delete;
    Pattern& operator=(const Pattern&) = delete;

    const std::string& text() const { return text_; }

    // Matches the whole text from offset 0, first match only. On Matched,
    // appends the Msg payload to out: groups 1..n each followed by ETX, where
    // n is the highest group that took part; lower groups that did not take
    // part give empty fields; no ETX at all when n is 0. Uses match data held
    // by the pattern: no allocation per call.
    MatchResult append_msg_payload(std::string_view text, std::string& out) const;

private:
    Pattern() = default;
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::string text_;
};

// Error line text for a regexp that does not compile:
// "Error compiling '<regexp>', <message>".
std::string compile_error_text(std::string_view regexp, const CompileError& error);

}  // namespace ivy
