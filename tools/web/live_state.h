// What the side that takes readings (the bus loop) and the page's threads
// share: each station's latest figures, the readings of the last hours (for
// the page when the log is unavailable, and to start a new log when the file
// was deleted), the count of refused messages, the id a new page opens on,
// and the wake-up of the live streams.
//
// Principles: the taking side works a station's figures out once per
// reading (windows of up to thousands of readings), under a lock of its own;
// the shared lock is held only to copy finished values (a view per station,
// an event, a reading into the ring), never across I/O or arithmetic, so a
// page asking every second costs a copy of 64 views, and a flood of readings
// never waits for a page. Each reading gets a sequence number; a live stream
// asks for the readings after the last one it sent, and one that fell too
// far behind gets the latest only. The number of stations is bounded and an
// id silent for an hour gives its place up, so a peer that invents ids
// cannot grow memory nor hold the places for good.
//
// Readings from a broker carry their sender's time and may come late (a
// replay after an outage) or twice (QoS 1): a late one takes its place in
// the windows without becoming the station's latest, so that neither the
// "now" figures nor the silence a page judges from the latest time go back;
// one the station's windows already hold is dropped.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "station_stats.h"
#include "web_text.h"

namespace web {

// An operations centre watches every site's aircraft: 64 stations cost
// about 6.5 MB of windows (100 kB each, most of it the 10-minute wind ring);
// bench_web measures 8.4 MB with the ring of recent readings full.
inline constexpr std::size_t max_stations = 64;
// An id that sent nothing for this long is forgotten (its history stays in
// the log).
inline constexpr std::int64_t forget_after_ms = std::int64_t{3600} * 1000;
// A new page opens on the id with the most readings over this span, so that
// one stray or test message does not take every new page with it.
inline constexpr std::int64_t busiest_span_ms = std::int64_t{10} * 60 * 1000;
// The name the relay joins the bus under: a bus reading sent by any other
// agent marks its station (StationView::unexpected_sender) for as long as
// the 10-minute figures hold it, and such a station is no new page's choice
// while one that only the relay fed is there.
inline constexpr std::string_view relay_agent_name = "anemobus";

class LiveState {
public:
    // only_id (-i) is the id every new page opens on; it is never forgotten.
    explicit LiveState(std::optional<double> wind_limit,
                       std::optional<StationId> only_id = std::nullopt);

    // The taking side. add() gives the reading's sequence number (from 1),
    // or 0 when its station would be one too many (the reading is then
    // refused). unexpected_sender names the bus agent that sent it when
    // that is not the relay; empty for the relay's and the broker's.
    std::uint64_t add(const StationReading& reading, std::string_view unexpected_sender = {});
    // The same for a stamped reading, which may be a duplicate.
    enum class Outcome { added, duplicate, too_many_stations };
    struct Taken {
        Outcome outcome = Outcome::added;
        std::uint64_t seq = 0;
    };
    Taken add_stamped(const StationReading& reading);
    // History from the log at start: figures and memory, no live event;
    // these readings have sequence number 0.
    void prime(const StationReading& reading);
    // Every second or so, and after priming: forgets the ids silent for
    // forget_after_ms, lifts the marks of unexpected senders that left the
    // windows, and picks the id a new page opens on.
    void tick(std::int64_t now_ms);
    void set_refused(std::uint64_t total);
    void set_broker(const BrokerLink& link);
    // Wakes every live stream for good (the program is ending).
    void shut_down();

    // The page's side. Stations in the order they were first heard.
    PageStatus status(std::int64_t now_ms) const;
    std::optional<StationId> default_station() const;
    // Whether a page asked for without a station opens the overview: no -i,
    // and more than one station not silent at now_ms.
    bool opens_overview(std::int64_t now_ms) const;
    // Waits at most `timeout` for readings after *seq; returns them (their
    // views) and moves *seq on. Empty on a timeout or after shut_down().
    std::vector<StationView> wait_readings(std::uint64_t* seq, std::chrono::milliseconds timeout);
    bool shutting_down() const;
    std::uint64_t sequence() const;
    // The readings kept in memory within [from_ms, to_ms], in time order
    // (late ones in their place), each once.
    void visit_recent(const std::optional<StationId>& id, std::int64_t from_ms, std::int64_t to_ms,
                      const std::function<void(const StationId&, const Reading&)>& visit) const;
    // The readings kept in memory with a sequence number up to up_to_seq
    // (the primed ones included), in the order they came: what a new log
    // starts with when the old file is gone.
    std::vector<StationReading> kept_readings(std::uint64_t up_to_seq) const;

private:
    struct Kept {
        StationReading reading;
        std::uint64_t seq = 0;
    };
    struct Station {
        StationStats stats;
        bool published = false;  // its view reflects every reading it got
        // The last reading from a bus agent other than the relay.
        std::string unexpected_sender;
        std::int64_t unexpected_ms = 0;
        StationView view() const;
    };
    Station* station_for(const StationId& id);
    Taken take(const StationReading& reading, std::string_view unexpected_sender = {});
    std::optional<StationId> busiest(std::int64_t now_ms) const;
    // Under mutex_.
    void publish(const StationView& view);
    void keep(const StationReading& reading, std::uint64_t seq);

    // The taking side's own: the windows behind the figures.
    std::mutex taking_mutex_;
    std::map<StationId, Station> stations_;
    const std::optional<StationId> only_id_;

    // Shared, under mutex_.
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::optional<double> wind_limit_;
    std::vector<StationView> views_;  // in the order first heard
    std::optional<StationId> default_;
    std::uint64_t refused_ = 0;
    std::optional<BrokerLink> broker_;
    std::uint64_t duplicates_ = 0;
    bool shutting_down_ = false;
    // The latest views, seq-numbered, for the live streams.
    std::uint64_t seq_ = 0;
    std::vector<StationView> events_;
    // The last hours of readings, a ring.
    std::vector<Kept> recent_;
    std::size_t recent_first_ = 0;
};

}  // namespace web
