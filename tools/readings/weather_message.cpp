#include "weather_message.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstring>

namespace readings {

bool same_reading(const StationReading& a, const StationReading& b) {
    return a.id == b.id && a.reading == b.reading;
}

std::optional<StationId> StationId::from(std::string_view text) {
    if (text.empty() || text.size() > max_id_length) return std::nullopt;
    StationId id;
    for (char c : text) {
        if (c <= 0x20 || c >= 0x7f) return std::nullopt;
    }
    std::memcpy(id.bytes_.data(), text.data(), text.size());
    id.length_ = text.size();
    return id;
}

std::optional<StationId> aircraft_id(std::string_view text) {
    if (text.size() > max_aircraft_id_length) return std::nullopt;
    return StationId::from(text);
}

const char* describe(Refusal refusal) {
    switch (refusal) {
        case Refusal::none:
            return "accepted";
        case Refusal::wrong_fields:
            return "the message does not have the fields of the binding";
        case Refusal::bad_id:
            return "the aircraft id is empty, too long or not printable ASCII";
        case Refusal::other_aircraft:
            return "the message is for another aircraft";
        case Refusal::not_four_values:
            return "the message does not have exactly four values";
        case Refusal::not_a_number:
            return "a value is not a number";
        case Refusal::not_finite:
            return "a value is not a finite number";
        case Refusal::out_of_bounds:
            return "a value is beyond what a station measures";
        case Refusal::too_many_stations:
            return "too many stations already";
        case Refusal::slash_in_bus_id:
            return "an aircraft id with a '/' would pose as a station from the broker";
        case Refusal::not_a_topic_level:
            return "the aircraft id has a '/', '+' or '#', which cannot go in a topic";
        case Refusal::not_a_station_name:
            return "the site and aircraft id are not printable ASCII of at most 64 bytes together";
        case Refusal::bad_payload:
            return "the payload is not a reading";
        case Refusal::ahead_of_clock:
            return "the reading's time is ahead of this machine's clock";
        case Refusal::too_old:
            return "the reading is older than the log keeps";
    }
    return "refused";
}

bool within_physical_bounds(const Reading& r) {
    // Written so that NaN is outside too.
    return r.pressure >= min_pressure_pa && r.pressure <= max_pressure_pa &&
           r.temperature >= min_temperature_c && r.temperature <= max_temperature_c &&
           r.wind >= min_wind_m_s && r.wind <= max_wind_m_s && std::isfinite(r.direction);
}

std::string binding_regexp(const std::optional<StationId>& only_id) {
    std::string id_pattern = "\\S+";
    if (only_id) {
        // PCRE takes a backslash before any non-alphanumeric byte as that byte.
        id_pattern.clear();
        for (char c : only_id->view()) {
            if (std::isalnum(static_cast<unsigned char>(c)) == 0) id_pattern += '\\';
            id_pattern += c;
        }
    }
    return "^(" + id_pattern + ") WEATHER( .*|)$";
}

std::optional<double> parse_value(std::string_view text, Refusal* why) {
    double value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value, std::chars_format::general);
    if (ec == std::errc::result_out_of_range) {
        *why = Refusal::not_finite;
        return std::nullopt;
    }
    if (ec != std::errc() || ptr != end) {
        *why = Refusal::not_a_number;
        return std::nullopt;
    }
    if (!std::isfinite(value)) {
        *why = Refusal::not_finite;
        return std::nullopt;
    }
    return value;
}

namespace {

// Splits "<space>a b c d" on spaces into exactly four values.
Refusal parse_values(std::string_view rest, Reading& out) {
    double* targets[] = {&out.pressure, &out.temperature, &out.wind, &out.direction};
    std::size_t count = 0;
    while (!rest.empty()) {
        const auto start = rest.find_first_not_of(' ');
        if (start == std::string_view::npos) break;
        rest.remove_prefix(start);
        const auto stop = std::min(rest.find(' '), rest.size());
        if (count == 4) return Refusal::not_four_values;
        Refusal why = Refusal::none;
        auto value = parse_value(rest.substr(0, stop), &why);
        if (!value) return why;
        *targets[count++] = *value;
        rest.remove_prefix(stop);
    }
    return count == 4 ? Refusal::none : Refusal::not_four_values;
}

}  // namespace

CheckedMessage check_weather_message(int argc, const char* const* argv,
                                     const std::optional<StationId>& only_id) {
    CheckedMessage checked;
    if (argc != 2 || argv == nullptr || argv[0] == nullptr || argv[1] == nullptr) {
        checked.refusal = Refusal::wrong_fields;
        return checked;
    }
    auto id = aircraft_id(argv[0]);
    if (!id) {
        checked.refusal = Refusal::bad_id;
        return checked;
    }
    if (only_id && *id != *only_id) {
        checked.refusal = Refusal::other_aircraft;
        return checked;
    }
    checked.id = *id;
    const std::string_view rest = argv[1];
    // The binding gives the rest with its leading space; a peer may not.
    if (!rest.empty() && rest.front() != ' ') {
        checked.refusal = Refusal::not_four_values;
        return checked;
    }
    checked.refusal = parse_values(rest, checked.reading);
    if (checked.refusal == Refusal::none && !within_physical_bounds(checked.reading))
        checked.refusal = Refusal::out_of_bounds;
    return checked;
}

}  // namespace readings
