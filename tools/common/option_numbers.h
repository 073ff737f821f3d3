// A whole number from a command line or a URL: decimal digits (a sign for a
// negative one), read whole, from low to high. The caller words the
// complaint, since only it knows what the number was for.
#pragma once

#include <charconv>
#include <optional>
#include <string_view>

namespace tools {

inline std::optional<long> whole_number(std::string_view text, long low, long high) {
    long value = 0;
    const char* const end = text.data() + text.size();
    const auto [stop, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || stop != end || value < low || value > high)
        return std::nullopt;
    return value;
}

}  // namespace tools
