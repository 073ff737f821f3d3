// The texts anemobus-web writes: JSON for the page and the API, CSV for the
// report, times, and bus text quoted for the log.
//
// Principles: everything that came from the bus is escaped where it is
// written, whatever was checked before: in JSON, quotes, backslashes and
// control bytes, and also <, > and & so that no text can close a script or
// open markup; in CSV, every text field is quoted and one that a spreadsheet
// would take for a formula gets a leading apostrophe. A number that is not
// finite is written as null (JSON) or left empty (CSV). Pure: no I/O.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "downsample.h"
#include "reading_text.h"
#include "result.h"
#include "station_stats.h"

namespace web {

// {"id":..,"t":..,"pressure":..,...,"silent":..}
void append_station_json(std::string& out, const StationView& view);

// The link to the broker, when there is one: its URL, whether it is up,
// the latest change as reported on standard error, and how many readings
// came twice and were kept once.
struct BrokerLink {
    std::string url{};
    bool connected = false;
    std::string state{};
    std::int64_t since_ms = 0;  // of the latest change
    std::uint64_t duplicates = 0;
};

// What /api/latest answers, and the page's status event.
struct PageStatus {
    std::int64_t now_ms = 0;
    std::optional<double> wind_limit{};  // m/s
    std::uint64_t refused = 0;
    bool log_ok = false;
    std::string log_path{};    // empty: not told (a client not on loopback)
    std::string log_error{};   // empty when the log is fine
    std::string log_notice{};  // what happened to the log that people should know, or empty
    std::int64_t log_notice_ms = 0;
    std::optional<StationId> default_id{};  // the station a new page opens on
    std::vector<StationView> stations{};
    std::optional<BrokerLink> broker{};
};
std::string status_json(const PageStatus& status);

// What /api/readings answers: the buckets as arrays
// [start_ms, count, wind_mean, wind_max, direction, pressure, temperature].
struct ReadingsAnswer {
    std::optional<StationId> id;
    std::int64_t from_ms = 0, to_ms = 0, bucket_ms = 0;
    std::string source;  // "log" or "memory"
};
std::string readings_json(const ReadingsAnswer& answer, const std::vector<Bucket>& buckets);

// CSV of raw readings, one line each, times in UTC.
std::string csv_header();
void append_csv_row(std::string& out, const StationId& id, const Reading& reading);

// The query of /api/readings and /api/readings.csv. Each text is absent
// when the parameter was not given: `to` is then now, `from` an hour before
// `to`, and `points` 720. A span over 400 days, from after to, an id that is
// no aircraft id, or points outside 10-5000 is an error (its text in error).
struct RangeQuery {
    std::int64_t from_ms = 0, to_ms = 0;
    std::optional<StationId> id;
    std::size_t points = 720;
};
struct RangeTexts {
    std::optional<std::string_view> from{}, to{}, id{}, points{};
};
tools::Result<RangeQuery> parse_range_query(const RangeTexts& texts, std::int64_t now_ms);

// A URL's query ("a=1&b=%3C") as decoded names and values, in order; "+" is
// a space. False on a broken %-escape or more than max_query_params pairs.
inline constexpr std::size_t max_query_params = 32;
using QueryParams = std::vector<std::pair<std::string, std::string>>;
bool parse_query_string(std::string_view query, QueryParams* params);
// The first value of name, if given.
std::optional<std::string_view> query_param(const QueryParams& params, std::string_view name);

}  // namespace web
