// The page and its data over HTTP, on cpp-httplib's own threads: the page's
// files (embedded in the program), /api/latest, /api/readings (downsampled),
// /api/readings.csv (every reading), and /api/events, the live stream
// (Server-Sent Events).
//
// Principles: only GET (and HEAD) is served; anything else is 405. Every
// answer carries a Content-Security-Policy that allows the page's own files
// only, so nothing from the bus can run in the page even if it slipped past
// the escaping. A live stream holds one thread while the page is open, so
// the pool is sized for them and their number is capped; beyond it a page
// gets 503 and its browser tries again.
#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "live_state.h"
#include "log_writer.h"
#include "reading_store.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace web {

inline constexpr int max_live_streams = 32;

class WebServer {
public:
    // store may be null (no log): history then comes from memory.
    WebServer(LiveState& live, LogWriter& writer, const ReadingStore* store, std::string log_path);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Binds the listening socket; the port (the one chosen when port is 0),
    // or -1 with the reason.
    int bind(const std::string& host, int port, std::string* error);
    // Serves on a thread of its own until stop().
    void start();
    void stop();

private:
    void add_routes();
    void serve_status(const httplib::Request& req, httplib::Response& res);
    void serve_readings(const httplib::Request& req, httplib::Response& res);
    void serve_csv(const httplib::Request& req, httplib::Response& res);
    void serve_events(const httplib::Request& req, httplib::Response& res);
    PageStatus page_status() const;
    // Visits readings from the log, or from memory when the log is absent or
    // fails; returns which ("log" or "memory").
    std::string visit_history(const std::optional<StationId>& id, std::int64_t from_ms,
                              std::int64_t to_ms, const ReadingStore::Visit& visit) const;

    LiveState& live_;
    LogWriter& writer_;
    const ReadingStore* store_;
    std::string log_path_;
    std::unique_ptr<httplib::Server> server_;
    std::thread thread_;
    std::shared_ptr<std::atomic<int>> streams_;
};

}  // namespace web
