// A reading as JSON on the broker:
//   {"time":"2026-12-08T13:42:58.123Z","pressure_pa":101591.65625,
//    "temperature_c":22.5,"wind_m_s":4.4704,"direction_deg":180}
// `time` is when the bridge took the reading from the bus, UTC, milliseconds.
//
// Principles: the numbers are written as anemobus-web writes them (shortest
// text that reads back to the same double), so a reading compares equal on
// the bus, in the page's log and on the broker. The reader is strict: exactly
// these five members, each once, finite numbers, a UTC time; anything else is
// refused with the reason, since a payload comes from whoever can publish.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "result.h"
#include "weather_message.h"

namespace mqtt {

// Appends the JSON of the reading (received_ms is the time) to out.
void append_weather_payload(std::string& out, const readings::Reading& reading);

// The reading in a payload, or why there is none.
tools::Result<readings::Reading> parse_weather_payload(std::string_view json);

}  // namespace mqtt
