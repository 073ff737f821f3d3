#include "web_text.h"

#include <algorithm>
#include <charconv>
#include <chrono>
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
    out += ",\"unexpected_sender\":";
    if (view.unexpected_sender.empty())
        out += "null";
    else
        append_json_string(out, view.unexpected_sender);
    out += view.silent ? ",\"silent\":true}" : ",\"silent\":false}";
}

std::string status_json(const PageStatus& status) {
    std::string out = "{\"now\":";
    append_integer(out, status.now_ms);
    out += ",\"wind_limit\":";
    append_optional(out, status.wind_limit);
    out += ",\"refused\":";
    append_integer(out, static_cast<std::int64_t>(status.refused));
    out += status.log_ok ? ",\"log\":{\"ok\":true" : ",\"log\":{\"ok\":false";
    // The path is told to the server's own machine only (see PageStatus).
    if (!status.log_path.empty()) append_string_field(out, "path", status.log_path);
    append_string_field(out, "error", status.log_error);
    append_string_field(out, "notice", status.log_notice);
    append_integer_field(out, "notice_at", status.log_notice_ms);
    out += '}';
    if (status.broker) {
        const BrokerLink& b = *status.broker;
        out += ",\"broker\":{\"url\":";
        append_json_string(out, b.url);
        out += b.connected ? ",\"connected\":true" : ",\"connected\":false";
        append_string_field(out, "state", b.state);
        append_integer_field(out, "since", b.since_ms);
        append_integer_field(out, "duplicates", static_cast<std::int64_t>(b.duplicates));
        out += '}';
    }
    out += ",\"default\":";
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
        if (!t)
            *error = std::string(name) +
                     " is neither milliseconds since 1970 nor a UTC time (2026-06-01T14:00Z),"
                     " from 1970 to 2100";
        *out = t.value_or(0);
        return t.has_value();
    };
    if (!time_or(texts.to, now_ms, "to", &q.to_ms)) return std::nullopt;
    if (!time_or(texts.from, std::max<std::int64_t>(q.to_ms - hour_ms, 0), "from", &q.from_ms))
        return std::nullopt;
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

namespace {

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool percent_decode(std::string_view in, std::string* out) {
    out->clear();
    for (std::size_t i = 0; i < in.size(); ++i) {
        if (in[i] == '+') {
            *out += ' ';
        } else if (in[i] != '%') {
            *out += in[i];
        } else {
            const int high = i + 2 < in.size() ? hex_value(in[i + 1]) : -1;
            const int low = high >= 0 ? hex_value(in[i + 2]) : -1;
            if (low < 0) return false;
            *out += static_cast<char>(high * 16 + low);
            i += 2;
        }
    }
    return true;
}

}  // namespace

bool parse_query_string(std::string_view query, QueryParams* params) {
    params->clear();
    while (!query.empty()) {
        const std::string_view pair = query.substr(0, query.find('&'));
        query.remove_prefix(std::min(query.size(), pair.size() + 1));
        if (pair.empty()) continue;
        if (params->size() == max_query_params) return false;
        const std::size_t equals = pair.find('=');
        std::string name, value;
        if (!percent_decode(pair.substr(0, equals), &name) ||
            !percent_decode(equals == std::string_view::npos ? "" : pair.substr(equals + 1),
                            &value))
            return false;
        params->emplace_back(std::move(name), std::move(value));
    }
    return true;
}

std::optional<std::string_view> query_param(const QueryParams& params, std::string_view name) {
    for (const auto& [key, value] : params)
        if (key == name) return std::string_view(value);
    return std::nullopt;
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
