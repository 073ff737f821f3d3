#include "web_routes.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "wall_clock.h"
#include "web_assets.h"

namespace web {
namespace {

// The CSV is read from the log an hour at a time.
constexpr std::int64_t csv_slice_ms = std::int64_t{3600} * 1000;

const char* const json_type = "application/json; charset=utf-8";
const char* const script_type = "application/javascript; charset=utf-8";
const char* const csv_type = "text/csv; charset=utf-8";

using tools::now_ms;

// An ETag per file, from its bytes (FNV-1a), so phones keep chart.js.
std::string etag_of(std::string_view bytes) {
    std::uint64_t h = 1469598103934665603ull;
    for (const char c : bytes) {
        h ^= static_cast<unsigned char>(c);
        h *= 1099511628211ull;
    }
    char buf[24];
    std::snprintf(buf, sizeof buf, "\"%016llx\"", static_cast<unsigned long long>(h));
    return buf;
}

std::string sse_event(const char* name, const std::string& json) {
    return std::string("event: ") + name + "\ndata: " + json + "\n\n";
}

Reply json_reply(std::string body) {
    return {200, {{"Content-Type", json_type}, {"Cache-Control", "no-store"}}, std::move(body)};
}

// The query's parameters for /api/readings and its CSV.
tools::Result<RangeQuery> range_query(std::string_view query, bool with_points) {
    QueryParams params;
    if (!parse_query_string(query, &params))
        return tools::fail("the query is not a list of name=value pairs");
    return parse_range_query(
        {query_param(params, "from"), query_param(params, "to"), query_param(params, "id"),
         with_points ? query_param(params, "points") : std::nullopt},
        now_ms());
}

}  // namespace

const std::pair<const char*, const char*> common_headers[3] = {
    {"Content-Security-Policy",
     "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
     "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"}};

Route route_of(std::string_view method, std::string_view path) {
    if (method != "GET" && method != "HEAD") return Route::not_allowed;
    if (path == "/api/latest") return Route::latest;
    if (path == "/api/readings") return Route::readings;
    if (path == "/api/readings.csv") return Route::csv;
    if (path == "/api/events") return Route::events;
    for (std::size_t i = 0; i < web_asset_count; ++i)
        if (path == web_assets[i].path) return Route::file;
    return Route::not_found;
}

Routes::Routes(LiveState& live, LogWriter& writer, const ReadingStore* store, std::string log_path)
    : live_(live), writer_(writer), store_(store), log_path_(std::move(log_path)) {
    // Scripts are compressed once here (the page's own, and Chart.js's
    // 200 kB); the HTML and style are small.
    for (std::size_t i = 0; i < web_asset_count; ++i) {
        const Asset& asset = web_assets[i];
        const std::string_view bytes(reinterpret_cast<const char*>(asset.data), asset.size);
        const bool script = std::string_view(asset.content_type) == "application/javascript";
        files_.push_back({asset.path, script ? script_type : asset.content_type, etag_of(bytes),
                          bytes, script ? gzip(bytes) : ""});
    }
}

Reply Routes::error(int status, std::string_view text) {
    std::string body = "{\"error\":";
    append_json_string(body, text);
    body += "}";
    return {status, {{"Content-Type", json_type}, {"Cache-Control", "no-store"}}, body};
}

Reply Routes::file(std::string_view path, std::string_view query, std::string_view if_none_match,
                   std::string_view accept_encoding) const {
    // Decided per request, never cached: which page "/" is follows the
    // stations heard. A query (a station's link) always gets the page.
    if (path == "/" && query.empty() && live_.opens_overview(now_ms()))
        return {302, {{"Location", "/overview"}, {"Cache-Control", "no-store"}}, ""};
    const auto it =
        std::find_if(files_.begin(), files_.end(), [&](const File& f) { return f.path == path; });
    if (it == files_.end()) return error(404, "not found");
    Reply reply{
        200, {{"ETag", it->etag}, {"Cache-Control", "no-cache"}, {"Vary", "Accept-Encoding"}}, ""};
    if (if_none_match == it->etag) {
        reply.status = 304;
        return reply;
    }
    reply.headers.emplace_back("Content-Type", it->type);
    if (!it->gzipped.empty() && accepts_gzip(accept_encoding)) {
        reply.headers.emplace_back("Content-Encoding", "gzip");
        reply.body = it->gzipped;
    } else {
        reply.body = std::string(it->bytes);
    }
    return reply;
}

PageStatus Routes::page_status() const {
    PageStatus status = live_.status(now_ms());
    const LogState log = writer_.state();
    status.log_ok = log.ok;
    status.log_error = log.error;
    status.log_notice = log.notice;
    status.log_notice_ms = log.notice_ms;
    status.log_path = log_path_;
    if (status.broker) status.broker->duplicates += log.duplicates;
    return status;
}

Reply Routes::latest(bool loopback) const {
    PageStatus status = page_status();
    if (!loopback) status.log_path.clear();
    return json_reply(status_json(status));
}

std::string Routes::visit_history(const std::optional<StationId>& id, std::int64_t from_ms,
                                  std::int64_t to_ms, const ReadingStore::Visit& visit,
                                  const std::atomic<bool>* cancel) const {
    if (store_ != nullptr) {
        // A read that fails before its first row is done from memory; one
        // that fails later keeps what it gave rather than give rows twice.
        std::size_t rows = 0;
        const tools::Status read = store_->read_range(
            id, from_ms, to_ms,
            [&](const StationId& i, const Reading& r) {
                ++rows;
                visit(i, r);
            },
            cancel);
        if (read || rows > 0 || (cancel != nullptr && *cancel)) return "log";
    }
    live_.visit_recent(id, from_ms, to_ms, visit);
    return "memory";
}

Reply Routes::readings(std::string_view query_text, const std::atomic<bool>& cancel) const {
    auto query = range_query(query_text, true);
    if (!query) return Routes::error(400, query.error());
    if (!query->id) query->id = live_.default_station();
    ReadingsAnswer answer{query->id, query->from_ms, query->to_ms,
                          bucket_width_ms(query->from_ms, query->to_ms, query->points), ""};
    Downsampler buckets(answer.bucket_ms);
    // Buckets of a minute or more come from the log's minute sums. A read
    // stopped because the client left is not read again from elsewhere.
    if (store_ != nullptr && query->id && answer.bucket_ms % 60000 == 0 &&
        (store_
             ->read_minutes(
                 *query->id, query->from_ms, query->to_ms,
                 [&](const Sums& sums) { buckets.add(sums); }, &cancel)
             .ok() ||
         cancel)) {
        answer.source = "log";
    } else {
        buckets = Downsampler(answer.bucket_ms);
        answer.source = visit_history(
            query->id, query->from_ms, query->to_ms,
            [&](const StationId&, const Reading& r) { buckets.add(r); }, &cancel);
    }
    return json_reply(readings_json(answer, buckets.take()));
}

Reply Routes::csv(std::string_view query_text, std::string_view accept_encoding,
                  std::shared_ptr<CsvStream>* stream) const {
    const auto query = range_query(query_text, false);
    if (!query) return Routes::error(400, query.error());
    auto csv = std::make_shared<CsvStream>();
    csv->routes_ = this;
    csv->id_ = query->id;
    csv->next_ms_ = query->from_ms;
    csv->end_ms_ = query->to_ms;
    Reply reply{200,
                {{"Content-Type", csv_type},
                 {"Cache-Control", "no-store"},
                 {"Content-Disposition", "attachment; filename=\"anemobus-" +
                                             format_utc(query->from_ms).substr(0, 16) + ".csv\""}},
                ""};
    if (accepts_gzip(accept_encoding)) {
        reply.headers.emplace_back("Content-Encoding", "gzip");
        csv->gzip_ = std::make_unique<GzipStream>();
    }
    *stream = std::move(csv);
    return reply;
}

// Slices walk only where the log holds readings. Without a log, or with an
// empty one, memory's few hours are read at once. When the bounds cannot be
// read, the whole span is walked: a month in one read would sit in memory,
// and each slice that cannot be read from the log comes from memory.
void CsvStream::bound_to_log(const std::atomic<bool>& cancel) {
    const ReadingStore* store = routes_->store_;
    if (store == nullptr) {
        sliced_ = false;
        return;
    }
    const auto read = store->time_bounds(&cancel);
    if (!read) return;
    const std::optional<ReadingStore::TimeBounds>& bounds = *read;
    if (!bounds) {
        sliced_ = false;
        return;
    }
    next_ms_ = std::max(next_ms_, bounds->first);
    end_ms_ = std::min(end_ms_, bounds->second);
}

std::string CsvStream::next(const std::atomic<bool>& cancel) {
    std::string text;
    if (!started_) {
        text = csv_header();
        started_ = true;
        bound_to_log(cancel);
    }
    const bool any = next_ms_ <= end_ms_;
    const std::int64_t to = sliced_ ? std::min(end_ms_, next_ms_ + csv_slice_ms - 1) : end_ms_;
    if (any) {
        routes_->visit_history(
            id_, next_ms_, to,
            [&](const StationId& id, const Reading& r) { append_csv_row(text, id, r); }, &cancel);
    }
    done_ = !any || to >= end_ms_ || cancel;
    next_ms_ = to + 1;
    if (gzip_) {
        text = gzip_->push(text, done_);
        done_ = done_ || gzip_->failed();
    }
    return text;
}

Reply Routes::events_headers() {
    return {200, {{"Content-Type", "text/event-stream"}, {"Cache-Control", "no-store"}}, ""};
}

bool Routes::status_only(std::string_view query) {
    QueryParams params;
    return parse_query_string(query, &params) && query_param(params, "readings") == "none";
}

std::pair<std::string, std::string> Routes::status_events() const {
    PageStatus status = page_status();
    std::string local = sse_event("status", status_json(status));
    status.log_path.clear();
    return {std::move(local), sse_event("status", status_json(status))};
}

std::string Routes::reading_events(const std::vector<StationView>& views) {
    std::string text;
    for (const StationView& view : views) {
        std::string json;
        append_station_json(json, view);
        text += sse_event("reading", json);
    }
    return text;
}

}  // namespace web
