// What the bus loop and the page's threads share: each station's latest
// reading and figures, the readings of the last hours (for the page when the
// log is unavailable), the count of refused messages, and the wake-up of the
// live streams.
//
// Principles: the bus loop writes, the HTTP threads read, all under one
// mutex held only to copy small values (never across I/O). Each reading gets
// a sequence number; a live stream asks for the readings after the last one
// it sent, and one that fell too far behind gets the latest only. The number
// of stations is bounded, so a peer that invents ids cannot grow memory.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <vector>

#include "station_stats.h"
#include "web_text.h"

namespace web {

inline constexpr std::size_t max_stations = 16;

class LiveState {
public:
    explicit LiveState(std::optional<double> wind_limit);

    // The bus loop's side. add() is false when the station would be one too
    // many (the reading is then refused).
    bool add(const StationReading& reading);
    // History from the log at start: figures only, no live event.
    void prime(const StationReading& reading);
    void set_refused(std::uint64_t total);
    // Wakes every live stream for good (the program is ending).
    void shut_down();

    // The HTTP threads' side. Stations in the order they were first heard.
    PageStatus status(std::int64_t now_ms) const;
    std::optional<StationId> newest_station() const;
    bool has_station(const StationId& id) const;
    // Waits at most `timeout` for readings after *seq; returns them (their
    // views) and moves *seq on. Empty on a timeout or after shut_down().
    std::vector<StationView> wait_readings(std::uint64_t* seq, std::chrono::milliseconds timeout);
    bool shutting_down() const;
    std::uint64_t sequence() const;
    // The readings kept in memory within [from_ms, to_ms], in time order.
    void visit_recent(const std::optional<StationId>& id, std::int64_t from_ms, std::int64_t to_ms,
                      const std::function<void(const StationId&, const Reading&)>& visit) const;

private:
    StationStats* stats_for(const StationId& id);

    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<double> wind_limit_;
    std::map<StationId, StationStats> stations_;
    std::vector<StationId> order_;
    std::optional<StationId> newest_;
    std::uint64_t refused_ = 0;
    bool shutting_down_ = false;
    // The latest views, seq-numbered, for the live streams.
    std::uint64_t seq_ = 0;
    std::vector<StationView> events_;
    // The last hours of readings, a ring.
    std::vector<StationReading> recent_;
    std::size_t recent_first_ = 0;
};

}  // namespace web
