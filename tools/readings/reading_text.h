// A reading's texts wherever they are written: JSON strings and numbers, the
// time in UTC, and text from a peer quoted for a log line.
//
// Principles: everything that came from outside is escaped where it is
// written, whatever was checked before. In JSON: quotes, backslashes and
// control bytes, and also <, > and & so that no text can close a script or
// open markup in a page. A number that is not finite is written as null.
// Pure: no I/O.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace readings {

void append_json_string(std::string& out, std::string_view text);
void append_json_number(std::string& out, double value);

// "2026-11-01T12:34:56.789Z"
std::string format_utc(std::int64_t ms);
// The latest time a reading or a query may name, 2100-01-01T00:00Z: with
// times from 1970 to it, no sum or difference of two of them can overflow.
inline constexpr std::int64_t max_query_time_ms = 4'102'444'800'000;
// Milliseconds since the epoch, or ISO 8601 in UTC ("2026-11-01T12:34",
// seconds, fractions and a final Z optional), a day that exists, from 1970
// to max_query_time_ms.
std::optional<std::int64_t> parse_time_ms(std::string_view text);

// Text from a peer for a log line: at most max bytes (then "..."), bytes
// outside 0x20-0x7e as \xNN, a backslash as \\.
std::string quote_for_log(std::string_view text, std::size_t max = 120);

}  // namespace readings
