// Where readings come in, from the bus loop and from the broker's thread
// alike: each one is refused (counted, reported) or shown and queued for the
// log.
//
// Principles: one lock around the whole of taking a reading, so that the
// sequence numbers the live state gives reach the log's queue in their
// order whichever thread took them, and the refusals make one report. A
// stamped reading (from the broker) that is a duplicate is neither shown
// nor queued; one older than the hour after which a station is forgotten is
// history only: it goes to the log, never to the live figures, where its
// station would be forgotten at the next tick after taking a place a live
// one may need.
#pragma once

#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "live_state.h"
#include "log_writer.h"
#include "web_readings.h"

namespace web {

class Intake {
public:
    using Print = std::function<void(const std::string& line)>;
    struct Settings {
        std::optional<StationId> only_id{};
        // With a broker, a bus id with a '/' is refused: it would take the
        // name of a station from the broker.
        bool with_broker = false;
    };
    Intake(LiveState& live, LogWriter& writer, Settings settings, Print print);

    // A message from the bus, as the binding gave it; stamped now_ms.
    void take_bus(std::string_view sender, int argc, const char* const* argv, std::int64_t now_ms);
    // A reading from the broker, checked, stamped by its sender; the topic
    // and payload are for the report if it is refused.
    void take_stamped(std::string_view topic, std::string_view payload,
                      const StationReading& reading, std::int64_t now_ms);
    // A message from the broker that is no reading it can take.
    void refuse(std::string_view topic, std::string_view payload, Refusal why,
                std::string_view detail, std::int64_t now_ms);
    // The refusals held back, once their interval has passed (a timer's).
    void flush(std::int64_t now_ms);

private:
    // Under mutex_.
    void refuse_locked(std::int64_t now_ms, std::string_view sender, Refusal why, int argc,
                       const char* const* argv, std::string_view detail = {});

    LiveState& live_;
    LogWriter& writer_;
    const Settings settings_;
    Print print_;
    std::mutex mutex_;
    RefusalLog refusals_;
};

}  // namespace web
