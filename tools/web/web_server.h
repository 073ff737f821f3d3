// The page and its data over HTTP (see web_routes.h for what is answered):
// Boost.Beast on one Asio thread that holds every connection, two worker
// threads that read the log, and one thread that carries new readings to
// the live streams.
//
// Principles: a connection costs a socket and a few kilobytes, never a
// thread, so slow or idle clients cannot starve the page: a whole request
// must arrive within 5 s of the connection (or of the previous answer), and
// an answer that a client does not take within 30 s ends its connection.
// Only GET (and HEAD) is served; anything else is 405. Live streams are
// capped (max_live_streams); beyond it a page gets 503 at once with the
// reason, and its browser tries again. Every live stream gets the status
// every second on the second, and each reading as it comes. A client that
// leaves stops what is being done for it.
//
// Fair to every address: the field network's users are told apart by their
// address (an IPv6 one by its /64), and a full server takes room from the
// address that holds the most, never from one that holds less than the
// newcomer's own. So three machines that open all they can do not shut out a
// fourth. A live stream whose client stops taking its bytes is closed after
// a stall timeout, whatever room the kernel's buffers still have. Exports
// (the CSV) have workers of their own and a bounded number of places, so
// the page's own history is never queued behind them. Every verdict is a
// count or a wall-clock timeout, never the machine's speed.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "result.h"
#include "web_routes.h"

namespace web {

struct ServerLimits {
    // Open connections; when full, a new one takes the place of the idlest
    // of the address holding the most.
    std::size_t connections = 512;
    // Live streams; when full, a page from an address holding fewer than
    // another takes that one's stream that drained longest ago.
    std::size_t live_streams = max_live_streams;
    // A live stream that took none of its queued bytes for this long. Long
    // enough for a phone's link to come back from a hand-over; short enough
    // that, counted from a full receive buffer, a new page waits well under
    // a minute. A page reset by mistake reconnects and fills the gap from
    // the log.
    std::chrono::milliseconds stall_timeout{10000};
    // CSV exports running at once, and per address.
    std::size_t exports = 8;
    std::size_t exports_per_address = 2;
};

class WebServer {
public:
    // store may be null (no log): history then comes from memory.
    WebServer(LiveState& live, LogWriter& writer, const ReadingStore* store, std::string log_path,
              ServerLimits limits = {});
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;

    // Binds the listening socket (never shared with another process); the
    // port (the one chosen when port is 0), or why not, e.g. "cannot
    // listen on 127.0.0.1:8020: address already in use".
    tools::Result<int> bind(const std::string& host, int port);
    // Serves on threads of its own until stop().
    void start();
    void stop();

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace web
