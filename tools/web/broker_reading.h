// A message from the broker as anemobus-web takes it: one on
// anemobus/<site>/<id>/weather is a reading of the station "site/id",
// stamped with the time its bridge took it off its bus.
//
// Principles: the payload is checked as strictly as a bus message (the
// bridge's own reader, then the same physical bounds), and so is its time,
// since it is another machine's clock: a time ahead of ours by more than
// max_clock_skew_ms would keep a silent station looking live until our clock
// caught up, so it is refused, saying by how much; a time before what the
// log keeps would be deleted at its next cleaning, so it is refused too.
// Pure: the time is passed in.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "web_readings.h"

namespace web {

// Two clocks kept by NTP agree within milliseconds; a few seconds more
// allow for one that is not, without hiding a station's silence for long
// (the page calls a station silent after three of its periods).
inline constexpr std::int64_t max_clock_skew_ms = 5000;

// "site/id" for anemobus/<site>/<id>/weather; nullopt for another topic, or
// when the two do not make a station name (printable ASCII, at most
// max_id_length bytes).
std::optional<StationId> station_of_topic(std::string_view topic);

// Whether a reading stamped t_ms can be taken at now_ms, the log keeping
// keep_days: none, ahead_of_clock or too_old.
Refusal check_reading_time(std::int64_t t_ms, std::int64_t now_ms, int keep_days);

struct BrokerMessage {
    Refusal refusal = Refusal::none;
    std::string detail;      // more than the reason, for the report; may be empty
    StationReading reading;  // stamped
};

// Checks one message; only_id is -i (a station name).
BrokerMessage check_broker_message(std::string_view topic, std::string_view payload,
                                   const std::optional<StationId>& only_id, std::int64_t now_ms,
                                   int keep_days);

}  // namespace web
