#include "web_text.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <ctime>

namespace web {
namespace {

constexpr char hex_digits[] = "0123456789abcdef";

// ,"name":
void append_key(std::string& out, const char* name) {
    out += ",\"";
    out += name;
    out += "\":";
}

void append_number_field(std::string& out, const char* name, double value) {
    append_key(out, name);
    append_json_number(out, value);
}

void append_optional(std::string& out, const std::optional<double>& value) {
    if (value)
        append_json_number(out, *value);
    else
        out += "null";
}

void append_integer(std::string& out, std::int64_t value) {
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, end);
}

void append_integer_field(std::string& out, const char* name, std::int64_t value) {
    append_key(out, name);
    append_integer(out, value);
}

void append_csv_number(std::string& out, double value) {
    if (std::isfinite(value)) append_json_number(out, value);
}

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

namespace {

void append_optional_id(std::string& out, const std::optional<StationId>& id) {
    if (id)
        append_json_string(out, id->view());
    else
        out += "null";
}

void append_string_field(std::string& out, const char* name, std::string_view text) {
    append_key(out, name);
    append_json_string(out, text);
}

}  // namespace

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

void append_station_json(std::string& out, const StationView& view) {
    out += "{\"id\":";
    append_json_string(out, view.id.view());
    out += ",\"t\":";
    append_integer(out, view.last.received_ms);
    append_number_field(out, "pressure", view.last.pressure);
    append_number_field(out, "temperature", view.last.temperature);
    append_number_field(out, "wind", view.last.wind);
    append_number_field(out, "direction", view.last.direction);
    append_number_field(out, "wind_mean_2min", view.wind_mean_2min);
    append_number_field(out, "gust_10min", view.gust_10min);
    out += ",\"pressure_tendency_3h\":";
    append_optional(out, view.pressure_tendency_3h);
    append_number_field(out, "period", view.period_s);
    out += view.silent ? ",\"silent\":true}" : ",\"silent\":false}";
}

std::string status_json(const PageStatus& status) {
    std::string out = "{\"now\":";
    append_integer(out, status.now_ms);
    out += ",\"wind_limit\":";
    append_optional(out, status.wind_limit);
    out += ",\"refused\":";
    append_integer(out, static_cast<std::int64_t>(status.refused));
    out += status.log_ok ? ",\"log\":{\"ok\":true,\"path\":" : ",\"log\":{\"ok\":false,\"path\":";
    append_json_string(out, status.log_path);
    append_string_field(out, "error", status.log_error);
    append_string_field(out, "notice", status.log_notice);
    append_integer_field(out, "notice_at", status.log_notice_ms);
    out += "},\"default\":";
    append_optional_id(out, status.default_id);
    out += ",\"stations\":[";
    for (std::size_t i = 0; i < status.stations.size(); ++i) {
        if (i > 0) out += ',';
        append_station_json(out, status.stations[i]);
    }
    out += "]}";
    return out;
}

std::string readings_json(const ReadingsAnswer& answer, const std::vector<Bucket>& buckets) {
    std::string out = "{\"id\":";
    append_optional_id(out, answer.id);
    append_integer_field(out, "from", answer.from_ms);
    append_integer_field(out, "to", answer.to_ms);
    append_integer_field(out, "bucket", answer.bucket_ms);
    append_string_field(out, "source", answer.source);
    out += ",\"points\":[";
    out.reserve(out.size() + buckets.size() * 72);
    for (std::size_t i = 0; i < buckets.size(); ++i) {
        const Bucket& b = buckets[i];
        out += i > 0 ? ",[" : "[";
        append_integer(out, b.start_ms);
        out += ',';
        append_integer(out, static_cast<std::int64_t>(b.count));
        for (double v : {b.wind_mean, b.wind_max}) {
            out += ',';
            append_json_number(out, v);
        }
        out += ',';
        append_optional(out, b.direction_mean);
        for (double v : {b.pressure_mean, b.temperature_mean}) {
            out += ',';
            append_json_number(out, v);
        }
        out += ']';
    }
    out += "]}";
    return out;
}

std::string csv_header() {
    return "time_utc,aircraft,pressure_pa,temperature_c,wind_m_s,direction_deg\r\n";
}

void append_csv_row(std::string& out, const StationId& id, const Reading& reading) {
    out += format_utc(reading.received_ms);
    out += ",\"";
    const std::string_view text = id.view();
    // A spreadsheet runs a cell that starts like this as a formula.
    if (!text.empty() && std::string_view("=+-@").find(text.front()) != std::string_view::npos)
        out += '\'';
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    out += '"';
    for (double v : {reading.pressure, reading.temperature, reading.wind, reading.direction}) {
        out += ',';
        append_csv_number(out, v);
    }
    out += "\r\n";
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

std::optional<std::int64_t> parse_iso_utc(const std::string& text) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, used = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d%n", &year, &month, &day, &hour, &minute,
                    &used) != 5 ||
        used != 16)
        return std::nullopt;
    std::string_view rest = std::string_view(text).substr(16);
    double seconds = 0;
    if (!rest.empty() && rest.front() == ':') {
        auto [end, ec] = std::from_chars(rest.data() + 1, rest.data() + rest.size(), seconds);
        if (ec != std::errc() || seconds < 0 || seconds >= 61) return std::nullopt;
        rest.remove_prefix(static_cast<std::size_t>(end - rest.data()));
    }
    if (rest == "Z") rest.remove_prefix(1);
    if (!rest.empty() || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 ||
        minute > 59 || year < 1970)
        return std::nullopt;
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = hour;
    tm.tm_min = minute;
    const std::time_t t = timegm(&tm);
    return static_cast<std::int64_t>(t) * 1000 + std::llround(seconds * 1000);
}

}  // namespace

std::optional<std::int64_t> parse_time_ms(std::string_view text) {
    if (text.empty() || text.size() > 40) return std::nullopt;
    std::int64_t ms = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), ms);
    if (ec == std::errc() && end == text.data() + text.size()) {
        if (ms < 0) return std::nullopt;
        return ms;
    }
    return parse_iso_utc(std::string(text));
}

std::optional<RangeQuery> parse_range_query(const RangeTexts& texts, std::int64_t now_ms,
                                            std::string* error) {
    constexpr std::int64_t hour_ms = std::int64_t{3600} * 1000;
    constexpr std::int64_t max_span_ms = std::int64_t{400} * 24 * hour_ms;
    RangeQuery q;
    const auto time_or = [&](const std::optional<std::string_view>& text, std::int64_t fallback,
                             const char* name, std::int64_t* out) {
        if (!text) {
            *out = fallback;
            return true;
        }
        auto t = parse_time_ms(*text);
        if (!t) *error = std::string(name) + " is neither milliseconds since 1970 nor a UTC time";
        *out = t.value_or(0);
        return t.has_value();
    };
    if (!time_or(texts.to, now_ms, "to", &q.to_ms)) return std::nullopt;
    if (!time_or(texts.from, q.to_ms - hour_ms, "from", &q.from_ms)) return std::nullopt;
    if (q.from_ms > q.to_ms || q.to_ms - q.from_ms > max_span_ms) {
        *error = "from must come before to, at most 400 days before";
        return std::nullopt;
    }
    if (texts.id) {
        q.id = StationId::from(*texts.id);
        if (!q.id) {
            *error = "id is not an aircraft id";
            return std::nullopt;
        }
    }
    if (texts.points) {
        std::size_t points = 0;
        const char* end = texts.points->data() + texts.points->size();
        auto [ptr, ec] = std::from_chars(texts.points->data(), end, points);
        if (ec != std::errc() || ptr != end || points < 10 || points > 5000) {
            *error = "points must be a whole number from 10 to 5000";
            return std::nullopt;
        }
        q.points = points;
    }
    return q;
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

}  // namespace web
