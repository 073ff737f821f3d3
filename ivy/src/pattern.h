// A peer's binding: a regular expression compiled with PCRE2 (no options, as
// classic agents compile them: case-sensitive, bytes, '.' stops at LF), JIT
// compiled where the platform allows, with match limits so that a hostile
// expression gives up instead of stalling the loop.
//
// The text to match is the application's message with ONE trailing line feed
// removed by the caller (without_final_lf below). Programs that format their
// messages like printf lines end them with "\n"; classic agents then copy that
// LF into the Msg whenever a group such as [^ ]* can take it, and the peer
// drops the connection. Without it, such groups capture what the sender meant.
// A capture that still holds LF or CR (a message with a line feed inside) is
// never sent: see MatchResult::unsafe_capture.
//
// Not thread-safe: every pattern's matches reuse one process-wide match data
// block and its limits. One block sized for the most groups a regexp may
// have, rather than one per pattern, keeps a peer's thousand bindings from
// also costing a thousand match data blocks (and the interpreter's frames
// each block keeps after a deep match).
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace ivy {

struct CompileError {
    int offset = 0;       // PCRE2's error offset: the id field of the Error line
    std::string message;  // PCRE2's text, e.g. "missing closing parenthesis"
};

enum class MatchResult {
    no_match,
    matched,          // payload appended
    unsafe_capture,   // a capture holds LF or CR: nothing appended, must not be sent
    too_many_groups,  // more fields than a Msg may carry: nothing appended
    limit_hit,        // PCRE2 gave up (match, depth or heap limit, or another
                      // matching error): nothing appended; treat as no match
};

class Pattern {
public:
    // nullptr and *error filled when the text does not compile. A regexp
    // with more than max_capture_groups groups is refused here too (offset 0,
    // "too many capturing groups ..."): a match of it could give more fields
    // than a Msg may carry, and refusing it once, with an Error line the peer
    // can read, is clearer than silently sending nothing later.
    static std::unique_ptr<Pattern> compile(std::string_view text, CompileError* error);
    ~Pattern();
    Pattern(const Pattern&) = delete;
    Pattern& operator=(const Pattern&) = delete;

    const std::string& text() const { return text_; }

    // Bytes this pattern holds: its text, PCRE2's compiled code and the
    // machine code of the JIT. What a peer's binding costs us.
    std::size_t memory() const { return memory_; }

    // Matches the whole text from offset 0, first match only. On Matched,
    // appends the Msg payload to out: groups 1..n each followed by ETX, where
    // n is the highest group that took part; lower groups that did not take
    // part give empty fields; no ETX at all when n is 0. Uses the shared match
    // data: no allocation per call. On any other result out is left as it
    // was.
    MatchResult append_msg_payload(std::string_view text, std::string& out) const;

private:
    Pattern() = default;
    struct Impl;
    std::unique_ptr<Impl> impl_;
    std::string text_;
    std::size_t memory_ = 0;
};

// Error line text for a regexp that does not compile:
// "Error compiling '<regexp>', <message>".
std::string compile_error_text(std::string_view regexp, const CompileError& error);

// text without its last byte if that is a line feed (one only).
inline std::string_view without_final_lf(std::string_view text) {
    if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
    return text;
}

}  // namespace ivy
