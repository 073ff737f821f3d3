// The simulator's one loop: waits on the port and on signals, hands the
// relay's bytes to the station session, writes its answers when they fall
// due, and follows the relay opening and closing the port.
//
// Principles: one thread, no sleeping except in poll. While nobody holds the
// port the master reports POLLHUP without pause, so the loop then looks again
// every 2 ms instead of waiting on it: a cost of a few hundred wake-ups per
// second, only while the port is closed, for noticing the relay's reopen
// within 2 ms. Answers that fall due while the port is closed are lost, as on
// a serial line.
#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "pty_port.h"
#include "station_session.h"

namespace sim {

// Lines on standard error with milliseconds since the start, only when
// verbose; otherwise nothing at all.
class Logger {
public:
    explicit Logger(bool verbose) : verbose_(verbose), start_(std::chrono::steady_clock::now()) {}
    void operator()(const std::string& line) const;
    bool verbose() const { return verbose_; }

private:
    bool verbose_;
    std::chrono::steady_clock::time_point start_;
};

// "0a 0d", at most the first 24 bytes, then how many there were.
std::string hex_bytes(std::string_view bytes);

// Runs until SIGINT, SIGTERM or SIGHUP (returns 0), or until a fault unplugs
// the device (returns 0 once it is gone). The caller has blocked those
// signals. Returns 1 when the loop cannot run (its reason logged on stderr).
int run_station(PtyPort& port, StationSession& session, const Logger& log);

}  // namespace sim
