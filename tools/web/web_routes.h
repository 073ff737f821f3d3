// What anemobus-web answers, apart from the connections that carry it: the
// page's files, /api/latest, /api/readings, the CSV in slices and the live
// stream's events. web_server.cpp reads requests and writes these answers;
// keeping HTTP's machinery out of here keeps this file quick to build and
// to read.
//
// Principles: every answer carries the Content-Security-Policy that allows
// the page's own files only, so nothing from the bus can run in the page
// even if it slipped past the escaping. What takes time (reading the log)
// is given a cancel flag and stops at the next row once it is set: the
// server sets it when the client has gone. Every walk over a span of time
// is bounded by the first and last reading the log really holds. The log's
// path on the server is told to loopback clients only.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "gzip_stream.h"
#include "live_state.h"
#include "log_writer.h"
#include "reading_store.h"
#include "web_text.h"

namespace web {

inline constexpr int max_live_streams = 32;

// An answer with its whole body. HEAD gets the same without the body.
struct Reply {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;  // besides the common ones
    std::string body;
};

// Headers every answer carries.
extern const std::pair<const char*, const char*> common_headers[3];

enum class Route { file, latest, readings, csv, events, not_found, not_allowed };
Route route_of(std::string_view method, std::string_view path);

// The CSV of a span, one slice of the log at a time (an hour), so that a
// month never sits in memory and a client that leaves stops it between two
// slices, or within one through the cancel flag.
class CsvStream {
public:
    // The next bytes to send (possibly empty); done() after the last. Reads
    // the log: for a worker thread.
    std::string next(const std::atomic<bool>& cancel);
    bool done() const { return done_; }

private:
    friend class Routes;
    void bound_to_log(const std::atomic<bool>& cancel);
    const class Routes* routes_ = nullptr;
    std::optional<StationId> id_;
    std::int64_t next_ms_ = 0, end_ms_ = 0;
    bool sliced_ = true, started_ = false, done_ = false;
    std::unique_ptr<GzipStream> gzip_;
};

class Routes {
public:
    // store may be null (no log): history then comes from memory.
    Routes(LiveState& live, LogWriter& writer, const ReadingStore* store, std::string log_path);

    // Quick answers, for the connections' thread.
    // "/" with no query sends the browser to the overview while more than
    // one station is live (see LiveState::opens_overview).
    Reply file(std::string_view path, std::string_view query, std::string_view if_none_match,
               std::string_view accept_encoding) const;
    Reply latest(bool loopback) const;
    static Reply error(int status, std::string_view text);
    // The CSV's headers (or an error), and the stream of its body, which
    // alone reads the log.
    Reply csv(std::string_view query, std::string_view accept_encoding,
              std::shared_ptr<CsvStream>* stream) const;

    // Answers that read the log, for a worker thread.
    Reply readings(std::string_view query, const std::atomic<bool>& cancel) const;

    // The live stream's texts: its headers, the status event (as a loopback
    // client sees it, and as others do), and the events of new readings.
    static Reply events_headers();
    // Whether a live stream asked for its status events only
    // (/api/events?readings=none): the overview, whose tiles are drawn
    // from the status, is spared a reading event per station and second.
    static bool status_only(std::string_view query);
    std::pair<std::string, std::string> status_events() const;
    static std::string reading_events(const std::vector<StationView>& views);

private:
    friend class CsvStream;
    PageStatus page_status() const;
    std::string visit_history(const std::optional<StationId>& id, std::int64_t from_ms,
                              std::int64_t to_ms, const ReadingStore::Visit& visit,
                              const std::atomic<bool>* cancel) const;

    struct File {
        std::string path, type, etag;
        std::string_view bytes;
        std::string gzipped;  // empty when served as it is
    };
    LiveState& live_;
    LogWriter& writer_;
    const ReadingStore* store_;
    std::string log_path_;
    std::vector<File> files_;
};

}  // namespace web
