#include "web_text.h"

#include <algorithm>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <ctime>

#include "option_numbers.h"

namespace web {
namespace {

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

tools::Result<RangeQuery> parse_range_query(const RangeTexts& texts, std::int64_t now_ms) {
    constexpr std::int64_t hour_ms = std::int64_t{3600} * 1000;
    constexpr std::int64_t max_span_ms = std::int64_t{400} * 24 * hour_ms;
    RangeQuery q;
    const auto time_or = [](const std::optional<std::string_view>& text, std::int64_t fallback) {
        return text ? parse_time_ms(*text) : std::optional<std::int64_t>(fallback);
    };
    const auto not_a_time = [](const char* name) {
        return tools::fail(std::string(name) +
                           " is neither milliseconds since 1970 nor a UTC time (2026-06-01T14:00Z),"
                           " from 1970 to 2100");
    };
    const auto to = time_or(texts.to, now_ms);
    if (!to) return not_a_time("to");
    const auto from = time_or(texts.from, std::max<std::int64_t>(*to - hour_ms, 0));
    if (!from) return not_a_time("from");
    q.from_ms = *from;
    q.to_ms = *to;
    if (q.from_ms > q.to_ms || q.to_ms - q.from_ms > max_span_ms)
        return tools::fail("from must come before to, at most 400 days before");
    if (texts.id) {
        q.id = StationId::from(*texts.id);
        if (!q.id) return tools::fail("id is not an aircraft id");
    }
    if (texts.points) {
        const auto points = tools::whole_number(*texts.points, 10, 5000);
        if (!points) return tools::fail("points must be a whole number from 10 to 5000");
        q.points = static_cast<std::size_t>(*points);
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

}  // namespace web
