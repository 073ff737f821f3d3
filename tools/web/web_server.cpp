#include "web_server.h"

#include <httplib.h>

#include <chrono>

#include "gzip_stream.h"
#include "web_assets.h"

namespace web {
namespace {

using httplib::Request;
using httplib::Response;

// Live streams wait this long for a reading before they send the status
// again, which also tells the page that the server is there.
constexpr std::chrono::milliseconds status_interval{1000};
// The CSV is read from the log an hour at a time, so a month of it never
// sits in memory.
constexpr std::int64_t csv_slice_ms = std::int64_t{3600} * 1000;
// Live streams, the page's files and queries, and keep-alive connections.
constexpr std::size_t pool_threads = max_live_streams + 16;

// Types that cpp-httplib does not compress (see gzip_stream.h): it matches
// "application/json" and any "text/" exactly, and the charset or the case
// (types are case-insensitive) keeps these out.
const char* const json_type = "application/json; charset=utf-8";
const char* const script_type = "application/javascript; charset=utf-8";
const char* const csv_type = "Text/csv; charset=utf-8";

const char* const content_security_policy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self' data:; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

std::int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

std::optional<std::string_view> param(const Request& req, const char* key) {
    auto it = req.params.find(key);
    if (it == req.params.end()) return std::nullopt;
    return std::string_view(it->second);
}

void answer_error(Response& res, int status, const std::string& text) {
    std::string body = "{\"error\":";
    append_json_string(body, text);
    body += "}";
    res.status = status;
    res.set_content(body, json_type);
}

// An ETag per file, from its bytes (FNV-1a), so phones keep chart.js.
std::string etag_of(const Asset& asset) {
    std::uint64_t h = 1469598103934665603ull;
    for (std::size_t i = 0; i < asset.size; ++i) {
        h ^= asset.data[i];
        h *= 1099511628211ull;
    }
    char buf[24];
    std::snprintf(buf, sizeof buf, "\"%016llx\"", static_cast<unsigned long long>(h));
    return buf;
}

std::string sse_event(const char* name, const std::string& json) {
    return std::string("event: ") + name + "\ndata: " + json + "\n\n";
}

}  // namespace

WebServer::WebServer(LiveState& live, LogWriter& writer, const ReadingStore* store,
                     std::string log_path)
    : live_(live),
      writer_(writer),
      store_(store),
      log_path_(std::move(log_path)),
      server_(std::make_unique<httplib::Server>()),
      streams_(std::make_shared<std::atomic<int>>(0)) {
    server_->new_task_queue = [] { return new httplib::ThreadPool(pool_threads); };
    server_->set_default_headers({{"Content-Security-Policy", content_security_policy},
                                  {"X-Content-Type-Options", "nosniff"},
                                  {"Referrer-Policy", "no-referrer"}});
    add_routes();
}

WebServer::~WebServer() {
    stop();
}

void WebServer::add_routes() {
    server_->set_pre_routing_handler([](const Request& req, Response& res) {
        if (req.method == "GET" || req.method == "HEAD")
            return httplib::Server::HandlerResponse::Unhandled;
        res.set_header("Allow", "GET, HEAD");
        answer_error(res, 405, "only GET is served");
        return httplib::Server::HandlerResponse::Handled;
    });
    for (std::size_t i = 0; i < web_asset_count; ++i) {
        const Asset& asset = web_assets[i];
        const bool script = std::string_view(asset.content_type) == "application/javascript";
        const std::string_view bytes(reinterpret_cast<const char*>(asset.data), asset.size);
        auto packed = std::make_shared<const std::string>(script ? gzip(bytes) : "");
        const std::string type = script ? script_type : asset.content_type;
        server_->Get(asset.path, [&asset, packed, type, etag = etag_of(asset)](const Request& req,
                                                                               Response& res) {
            res.set_header("ETag", etag);
            res.set_header("Cache-Control", "no-cache");
            res.set_header("Vary", "Accept-Encoding");
            if (req.get_header_value("If-None-Match") == etag) {
                res.status = 304;
                return;
            }
            if (!packed->empty() && accepts_gzip(req.get_header_value("Accept-Encoding"))) {
                res.set_header("Content-Encoding", "gzip");
                res.set_content(*packed, type);
                return;
            }
            res.set_content(reinterpret_cast<const char*>(asset.data), asset.size, type);
        });
    }
    server_->Get("/api/latest", [this](const Request& q, Response& r) { serve_status(q, r); });
    server_->Get("/api/readings", [this](const Request& q, Response& r) { serve_readings(q, r); });
    server_->Get("/api/readings\\.csv", [this](const Request& q, Response& r) { serve_csv(q, r); });
    server_->Get("/api/events", [this](const Request& q, Response& r) { serve_events(q, r); });
}

int WebServer::bind(const std::string& host, int port, std::string* error) {
    const int bound = port == 0 ? server_->bind_to_any_port(host)
                                : (server_->bind_to_port(host, port) ? port : -1);
    if (bound < 0) *error = "cannot listen on " + host + ":" + std::to_string(port);
    return bound;
}

void WebServer::start() {
    thread_ = std::thread([this] { server_->listen_after_bind(); });
}

void WebServer::stop() {
    live_.shut_down();
    server_->stop();
    if (thread_.joinable()) thread_.join();
}

PageStatus WebServer::page_status() const {
    PageStatus status = live_.status(now_ms());
    const LogState log = writer_.state();
    status.log_ok = log.ok;
    status.log_error = log.error;
    status.log_notice = log.notice;
    status.log_notice_ms = log.notice_ms;
    status.log_path = log_path_;
    return status;
}

void WebServer::serve_status(const Request&, Response& res) {
    res.set_header("Cache-Control", "no-store");
    res.set_content(status_json(page_status()), json_type);
}

std::string WebServer::visit_history(const std::optional<StationId>& id, std::int64_t from_ms,
                                     std::int64_t to_ms, const ReadingStore::Visit& visit) const {
    if (store_ != nullptr) {
        // A read that fails before its first row is done from memory; one
        // that fails later keeps what it gave rather than give rows twice.
        std::size_t rows = 0;
        std::string error;
        const bool ok = store_->read_range(
            id, from_ms, to_ms,
            [&](const StationId& i, const Reading& r) {
                ++rows;
                visit(i, r);
            },
            &error);
        if (ok || rows > 0) return "log";
    }
    live_.visit_recent(id, from_ms, to_ms, visit);
    return "memory";
}

void WebServer::serve_readings(const Request& req, Response& res) {
    std::string error;
    auto query = parse_range_query(
        {param(req, "from"), param(req, "to"), param(req, "id"), param(req, "points")}, now_ms(),
        &error);
    if (!query) return answer_error(res, 400, error);
    if (!query->id) query->id = live_.default_station();
    ReadingsAnswer answer{query->id, query->from_ms, query->to_ms,
                          bucket_width_ms(query->from_ms, query->to_ms, query->points), ""};
    Downsampler buckets(answer.bucket_ms);
    // Buckets of a minute or more come from the log's minute sums.
    if (store_ != nullptr && query->id && answer.bucket_ms % 60000 == 0 &&
        store_->read_minutes(
            *query->id, query->from_ms, query->to_ms, [&](const Sums& sums) { buckets.add(sums); },
            &error)) {
        answer.source = "log";
    } else {
        buckets = Downsampler(answer.bucket_ms);
        answer.source = visit_history(query->id, query->from_ms, query->to_ms,
                                      [&](const StationId&, const Reading& r) { buckets.add(r); });
    }
    res.set_header("Cache-Control", "no-store");
    res.set_content(readings_json(answer, buckets.take()), json_type);
}

void WebServer::serve_csv(const Request& req, Response& res) {
    std::string error;
    auto query = parse_range_query({param(req, "from"), param(req, "to"), param(req, "id"), {}},
                                   now_ms(), &error);
    if (!query) return answer_error(res, 400, error);
    res.set_header("Content-Disposition", "attachment; filename=\"anemobus-" +
                                              format_utc(query->from_ms).substr(0, 16) + ".csv\"");
    res.set_header("Cache-Control", "no-store");
    if (accepts_gzip(req.get_header_value("Accept-Encoding")))
        res.set_header("Content-Encoding", "gzip");
    struct Cursor {
        std::optional<std::int64_t> next;  // the start of the next slice; the header goes first
        std::unique_ptr<GzipStream> gzip;
    };
    auto cursor = std::make_shared<Cursor>();
    if (res.has_header("Content-Encoding")) cursor->gzip = std::make_unique<GzipStream>();
    res.set_chunked_content_provider(
        csv_type, [this, query = *query, cursor](std::size_t, httplib::DataSink& sink) {
            std::string text;
            if (!cursor->next) {
                text = csv_header();
                cursor->next = query.from_ms;
            }
            const std::int64_t from = *cursor->next;
            const std::int64_t to = std::min(query.to_ms, from + csv_slice_ms - 1);
            visit_history(query.id, from, to, [&](const StationId& id, const Reading& r) {
                append_csv_row(text, id, r);
            });
            const bool last = to >= query.to_ms;
            if (cursor->gzip) text = cursor->gzip->push(text, last);
            if (!text.empty() && !sink.write(text.data(), text.size())) return false;
            cursor->next = to + 1;
            if (last) sink.done();
            return !cursor->gzip || !cursor->gzip->failed();
        });
}

void WebServer::serve_events(const Request&, Response& res) {
    if (streams_->fetch_add(1) >= max_live_streams) {
        streams_->fetch_sub(1);
        res.set_header("Retry-After", "10");
        return answer_error(res, 503, "too many live pages open");
    }
    res.set_header("Cache-Control", "no-store");
    struct Stream {
        std::uint64_t seq = 0;
        std::chrono::steady_clock::time_point last_status{};
    };
    auto stream = std::make_shared<Stream>();
    stream->seq = live_.sequence();
    res.set_chunked_content_provider(
        "text/event-stream",
        [this, stream](std::size_t, httplib::DataSink& sink) {
            std::string text;
            // The first call answers at once with the status, the page's start.
            const bool first = stream->last_status == std::chrono::steady_clock::time_point{};
            const auto wait = first ? std::chrono::milliseconds(0) : status_interval;
            for (const StationView& view : live_.wait_readings(&stream->seq, wait)) {
                std::string json;
                append_station_json(json, view);
                text += sse_event("reading", json);
            }
            if (live_.shutting_down()) return false;
            const auto now = std::chrono::steady_clock::now();
            if (now - stream->last_status >= status_interval) {
                text += sse_event("status", status_json(page_status()));
                stream->last_status = now;
            }
            return text.empty() || sink.write(text.data(), text.size());
        },
        [streams = streams_](bool) { streams->fetch_sub(1); });
}

}  // namespace web
