// Weather messages as anemobus-web takes them from the bus: the binding's
// regular expression, and the check of what a peer sent for it.
//
// Principles: anything on the bus may be hostile. The binding is loose on
// purpose, so that a broken message still reaches us and is counted; the
// check is strict: an aircraft id of printable ASCII (at most 32 bytes), then
// exactly four finite decimal numbers, each within what a station on Earth
// can measure. A refused message is never stored nor shown. No allocation: a
// reading fits in a fixed-size value.
//
// A station is an aircraft id on the bus ("1"), or a site and an aircraft id
// from a broker ("north/1"). Its name is bounded at 64 bytes: a bus id's 32
// beside a site of up to 31, or a longer site (up to 62, a host name's first
// label) beside a short id such as the relay's numbers. Twice the bus's bound
// costs 32 bytes a reading in the queues, a few MB at their fullest.
#pragma once

#include <array>
#include <compare>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace readings {

inline constexpr std::size_t max_aircraft_id_length = 32;  // on the bus
inline constexpr std::size_t max_id_length = 64;           // a station's name

// A station's name: an aircraft id as the relay sends it ("1"), or
// "site/id" from a broker. Printable ASCII, no space.
class StationId {
public:
    StationId() = default;
    // nullopt when text is empty, too long, or has a byte outside 0x21-0x7e.
    static std::optional<StationId> from(std::string_view text);
    std::string_view view() const { return {bytes_.data(), length_}; }
    bool operator==(const StationId& other) const { return view() == other.view(); }
    auto operator<=>(const StationId& other) const { return view() <=> other.view(); }

private:
    std::array<char, max_id_length> bytes_{};
    std::size_t length_ = 0;
};

// One reading, stamped with the time it was received.
struct Reading {
    std::int64_t received_ms = 0;  // milliseconds since the Unix epoch, UTC
    double pressure = 0;           // Pa
    double temperature = 0;        // °C
    double wind = 0;               // m/s
    double direction = 0;          // degrees, as the station gives it
    // Its time and all four values alike (see same_reading).
    bool operator==(const Reading&) const = default;
};

// An aircraft id as the bus carries it: a StationId of at most
// max_aircraft_id_length bytes.
std::optional<StationId> aircraft_id(std::string_view text);

struct StationReading {
    StationId id;
    Reading reading;
    // The time is its sender's (a broker's reading), not ours: the same
    // reading (aircraft, time and values) may come twice, and is kept once.
    bool stamped = false;
};

// The one definition of the same reading, which every place that keeps a
// reading once follows (the page's log, live state, memory history and
// intake, and the bridge's outbox): its station (the site with the aircraft),
// its time and all four values. QoS 1 may deliver a reading twice, and a
// bridge restarted after a kill -9 sends again what it had not seen
// acknowledged: such a copy is the same reading, dropped and counted.
// Readings taken in one millisecond share their time, not their values, and
// are all kept; two that share every value too could not be told apart by
// anyone downstream, so they are one.
bool same_reading(const StationReading& a, const StationReading& b);

enum class Refusal {
    none,
    wrong_fields,    // the peer sent another number of fields than the binding has
    bad_id,          // empty, too long, or with control bytes, spaces or non-ASCII
    other_aircraft,  // not the id we were told to keep (-i)
    not_four_values,
    not_a_number,
    not_finite,         // inf, nan, or out of the range of a double
    out_of_bounds,      // a finite value no station measures (within_physical_bounds)
    too_many_stations,  // a new id when max_stations are already shown
    // A bus id with a '/' would take the name of a station from the broker.
    slash_in_bus_id,
    // A bus id with '/', '+' or '#' cannot be a topic level of the bridge's.
    not_a_topic_level,
    // From a broker:
    not_a_station_name,  // the site and id make no station name
    bad_payload,         // not the JSON of a reading
    ahead_of_clock,      // stamped later than now, beyond a small skew
    too_old,             // stamped before what the log keeps
};

// What a station on Earth can report. Beyond them a value is a fault or an
// attack, and it would also break the sums kept of the readings (1e308 plus
// 1e308 is no longer a number). The direction has no bound: outside 0-360
// it means "no vane" and is shown as no direction.
inline constexpr double min_pressure_pa = 30000, max_pressure_pa = 120000;
inline constexpr double min_temperature_c = -100, max_temperature_c = 80;
inline constexpr double min_wind_m_s = 0, max_wind_m_s = 150;

bool within_physical_bounds(const Reading& reading);

// A short phrase for a report: "the values are not numbers".
const char* describe(Refusal refusal);

struct CheckedMessage {
    Refusal refusal = Refusal::none;
    StationId id;
    Reading reading;  // received_ms left 0: the caller stamps it
};

// The regular expression to bind: every aircraft, or only `only_id`. The
// first capture is the id, the second the rest of the message (empty or
// starting with a space).
std::string binding_regexp(const std::optional<StationId>& only_id);

// Checks the fields a peer sent for that binding.
CheckedMessage check_weather_message(int argc, const char* const* argv,
                                     const std::optional<StationId>& only_id);

// One number of a message: a decimal or exponent form that std::from_chars
// reads whole. nullopt with the reason otherwise.
std::optional<double> parse_value(std::string_view text, Refusal* why);

}  // namespace readings
