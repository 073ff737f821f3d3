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
#pragma once

#include <memory>
#include <string>

#include "result.h"
#include "web_routes.h"

namespace web {

class WebServer {
public:
    // store may be null (no log): history then comes from memory.
    WebServer(LiveState& live, LogWriter& writer, const ReadingStore* store, std::string log_path);
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
