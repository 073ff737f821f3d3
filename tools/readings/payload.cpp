#include "payload.h"

#include <array>
#include <charconv>
#include <cmath>

#include "reading_text.h"

namespace mqtt {
namespace {

constexpr std::array<std::string_view, 5> member_names = {"time", "pressure_pa", "temperature_c",
                                                          "wind_m_s", "direction_deg"};

void skip_space(std::string_view& text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t' || text.front() == '\n' ||
                             text.front() == '\r'))
        text.remove_prefix(1);
}

bool take(std::string_view& text, char c) {
    skip_space(text);
    if (text.empty() || text.front() != c) return false;
    text.remove_prefix(1);
    return true;
}

// A string without escapes (none of ours has any).
std::optional<std::string_view> take_string(std::string_view& text) {
    if (!take(text, '"')) return std::nullopt;
    const auto end = text.find_first_of("\"\\");
    if (end == std::string_view::npos || text[end] != '"') return std::nullopt;
    const auto value = text.substr(0, end);
    text.remove_prefix(end + 1);
    return value;
}

// A JSON number (no inf or nan, which from_chars would take).
std::optional<double> take_number(std::string_view& text) {
    skip_space(text);
    if (text.empty() || (text.front() != '-' && (text.front() < '0' || text.front() > '9')))
        return std::nullopt;
    double value = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || !std::isfinite(value)) return std::nullopt;
    text.remove_prefix(static_cast<std::size_t>(end - text.data()));
    return value;
}

// "2026-12-08T13:42:58.123Z" only: a UTC time, as the bridge writes it.
std::optional<std::int64_t> take_time(std::string_view& text) {
    auto value = take_string(text);
    if (!value || value->size() < 17 || (*value)[10] != 'T' || value->back() != 'Z')
        return std::nullopt;
    return readings::parse_time_ms(*value);
}

// One member into the reading; its index among member_names.
tools::Result<std::size_t> take_member(std::string_view& text, readings::Reading& reading) {
    const auto name = take_string(text);
    if (!name || !take(text, ':')) return tools::fail("not a JSON object of names and values");
    double* const numbers[] = {nullptr, &reading.pressure, &reading.temperature, &reading.wind,
                               &reading.direction};
    for (std::size_t i = 0; i < member_names.size(); ++i) {
        if (*name != member_names[i]) continue;
        if (i == 0) {
            const auto time = take_time(text);
            if (!time) return tools::fail("time is not a UTC time like 2026-12-08T13:42:58.123Z");
            reading.received_ms = *time;
            return i;
        }
        const auto number = take_number(text);
        if (!number) return tools::fail(std::string(member_names[i]) + " is not a finite number");
        *numbers[i] = *number;
        return i;
    }
    return tools::fail("unknown member \"" + readings::quote_for_log(*name, 40) + "\"");
}

}  // namespace

void append_weather_payload(std::string& out, const readings::Reading& reading) {
    out += "{\"time\":\"";
    out += readings::format_utc(reading.received_ms);
    out += '"';
    const double values[] = {reading.pressure, reading.temperature, reading.wind,
                             reading.direction};
    for (std::size_t i = 0; i < 4; ++i) {
        out += ",\"";
        out += member_names[i + 1];
        out += "\":";
        readings::append_json_number(out, values[i]);
    }
    out += '}';
}

tools::Result<readings::Reading> parse_weather_payload(std::string_view json) {
    readings::Reading reading;
    unsigned seen = 0;
    if (!take(json, '{')) return tools::fail("not a JSON object");
    do {
        const auto index = take_member(json, reading);
        if (!index) return index.failure();
        if ((seen & (1U << *index)) != 0)
            return tools::fail(std::string(member_names[*index]) + " appears twice");
        seen |= 1U << *index;
    } while (take(json, ','));
    if (!take(json, '}') || (skip_space(json), !json.empty()))
        return tools::fail("not a JSON object of names and values");
    if (seen != (1U << member_names.size()) - 1)
        return tools::fail(
            "a member is missing: it needs time, pressure_pa, temperature_c, wind_m_s and "
            "direction_deg");
    return reading;
}

}  // namespace mqtt
