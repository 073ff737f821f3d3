// Small text helpers shared by the pure parsers and the diagnostics.
//
// Principles: the C locale's classification, spelled out, so that a parser's
// reading of a peer's bytes can never depend on the process's locale.
#pragma once

#include <string>
#include <string_view>

namespace ivy {

// isspace() of the C locale.
constexpr bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

constexpr bool is_digit(char c) {
    return c >= '0' && c <= '9';
}

// A text fit for a diagnostic line: at most max_quoted_text bytes (then
// "..."), bytes outside 0x20-0x7e written as \xNN, a backslash as \\, so that
// whatever a peer or a user supplied can neither flood the log with one line
// nor forge lines in it.
std::string quote(std::string_view text);

}  // namespace ivy
