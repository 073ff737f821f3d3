// Refused bus messages, reported on standard error without flooding it: the
// first one at once, then at most one line per interval, which tells how many
// were refused meanwhile and what the latest was. A peer's text is quoted
// (bounded, control bytes escaped) so that it cannot forge log lines. Pure:
// the caller passes the time and prints the lines.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "weather_message.h"

namespace readings {

inline constexpr std::int64_t refusal_report_interval_ms = std::int64_t{10} * 1000;

class RefusalLog {
public:
    explicit RefusalLog(std::int64_t interval_ms = refusal_report_interval_ms)
        : interval_ms_(interval_ms) {}

    // Counts a refusal; returns the line to print now, or an empty string.
    // detail, when not empty, says more than the reason ("by 12.0 s").
    std::string refuse(std::int64_t now_ms, std::string_view sender, Refusal why, int argc,
                       const char* const* argv, std::string_view detail = {});
    // The line about refusals held back, once the interval since the last
    // line has passed; empty otherwise. Called from a timer.
    std::string flush(std::int64_t now_ms);
    std::uint64_t total() const { return total_; }

private:
    std::int64_t interval_ms_;
    std::int64_t last_line_ms_ = 0;
    bool reported_ = false;
    std::uint64_t total_ = 0, held_ = 0;
    std::string held_sender_;
    Refusal held_why_ = Refusal::none;
};

}  // namespace readings
