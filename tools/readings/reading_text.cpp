#include "reading_text.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace readings {
namespace {

constexpr char hex_digits[] = "0123456789abcdef";

}  // namespace

void append_json_string(std::string& out, std::string_view text) {
    out += '"';
    for (char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (c == '"' || c == '\\') {
            out += '\\';
            out += c;
        } else if (byte < 0x20 || c == '<' || c == '>' || c == '&' || byte == 0x7f) {
            out += "\\u00";
            out += hex_digits[byte >> 4];
            out += hex_digits[byte & 0xf];
        } else {
            out += c;
        }
    }
    out += '"';
}

void append_json_number(std::string& out, double value) {
    if (!std::isfinite(value)) {
        out += "null";
        return;
    }
    // Shortest round trip, in plain digits for the values a station gives
    // (100000, not 1e+05: people read the CSV in spreadsheets).
    char buf[64];
    const double size = std::fabs(value);
    const auto format = (size == 0 || (size >= 1e-6 && size < 1e15)) ? std::chars_format::fixed
                                                                     : std::chars_format::general;
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value, format);
    out.append(buf, end);
}

std::string format_utc(std::int64_t ms) {
    std::int64_t seconds = ms / 1000, millis = ms % 1000;
    if (millis < 0) millis += 1000, --seconds;
    const auto t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[96];  // room for any int the compiler can imagine in each field
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(millis));
    return buf;
}

namespace {

bool all_digits(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The value of the `count` digits at text[at] (count <= 4), or -1.
int digits_at(std::string_view text, std::size_t at, std::size_t count) {
    if (at + count > text.size() || !all_digits(text.substr(at, count))) return -1;
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) value = value * 10 + (text[i] - '0');
    return value;
}

// "SS" or "SS.f…" (any number of decimals, rounded to the millisecond).
std::optional<std::int64_t> parse_seconds_ms(std::string_view text) {
    const int whole = digits_at(text, 0, 2);
    if (whole < 0 || whole > 60) return std::nullopt;
    if (text.size() == 2) return std::int64_t{whole} * 1000;
    const std::string_view fraction = text.substr(std::min<std::size_t>(3, text.size()));
    if (text[2] != '.' || fraction.empty() || !all_digits(fraction)) return std::nullopt;
    std::int64_t tenths_of_ms = 0;  // the first four decimals
    for (std::size_t i = 0; i < 4; ++i)
        tenths_of_ms = tenths_of_ms * 10 + (i < fraction.size() ? fraction[i] - '0' : 0);
    return std::int64_t{whole} * 1000 + (tenths_of_ms + 5) / 10;
}

// "YYYY-MM-DDTHH:MM[:SS[.fff]][Z]", a real calendar day (no 31 February).
std::optional<std::int64_t> parse_iso_utc(std::string_view text) {
    if (!text.empty() && text.back() == 'Z') text.remove_suffix(1);
    if (text.size() < 16 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':')
        return std::nullopt;
    const int year = digits_at(text, 0, 4), month = digits_at(text, 5, 2),
              day = digits_at(text, 8, 2), hour = digits_at(text, 11, 2),
              minute = digits_at(text, 14, 2);
    std::optional<std::int64_t> seconds_ms = std::int64_t{0};
    if (text.size() > 16)
        seconds_ms = text[16] == ':' ? parse_seconds_ms(text.substr(17)) : std::nullopt;
    if (year < 0 || month < 1 || day < 1 || hour < 0 || hour > 23 || minute < 0 || minute > 59 ||
        !seconds_ms)
        return std::nullopt;
    using namespace std::chrono;
    const year_month_day date{std::chrono::year{year},
                              std::chrono::month(static_cast<unsigned>(month)),
                              std::chrono::day(static_cast<unsigned>(day))};
    if (!date.ok()) return std::nullopt;
    const std::int64_t days = sys_days(date).time_since_epoch().count();
    return ((days * 24 + hour) * 60 + minute) * 60000 + *seconds_ms;
}

}  // namespace

std::optional<std::int64_t> parse_time_ms(std::string_view text) {
    if (text.empty() || text.size() > 40) return std::nullopt;
    std::int64_t ms = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), ms);
    std::optional<std::int64_t> t;
    if (ec == std::errc() && end == text.data() + text.size())
        t = ms;
    else if (text.front() >= '0' && text.front() <= '9')
        t = parse_iso_utc(text);
    if (!t || *t < 0 || *t > max_query_time_ms) return std::nullopt;
    return t;
}

std::string quote_for_log(std::string_view text, std::size_t max) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i == max) {
            out += "...";
            break;
        }
        const auto byte = static_cast<unsigned char>(text[i]);
        if (text[i] == '\\') {
            out += "\\\\";
        } else if (byte < 0x20 || byte > 0x7e) {
            out += "\\x";
            out += hex_digits[byte >> 4];
            out += hex_digits[byte & 0xf];
        } else {
            out += text[i];
        }
    }
    return out;
}

}  // namespace readings
