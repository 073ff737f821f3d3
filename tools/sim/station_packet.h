// The station's 99-byte data packet, built from readings and read back from
// recordings. Pure: no I/O here, so packets can be checked byte by byte.
//
// Principles: readings travel as the station's own raw words (thousandths of
// an inch of mercury, tenths of a degree Fahrenheit, miles per hour, the
// direction word); conversion from physical units happens once, at the edge,
// rounding to the nearest raw step. Fields no reader needs are filled in the
// way the station fills them (line feed, carriage return and a CRC at the
// end) so that a stricter reader than ours finds nothing odd.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "result.h"

namespace sim {

inline constexpr std::size_t packet_size = 99;
using Packet = std::array<std::uint8_t, packet_size>;

// Offsets of the fields a relay reads, and of the trailer.
inline constexpr std::size_t offset_pressure = 7;
inline constexpr std::size_t offset_temperature = 12;
inline constexpr std::size_t offset_wind_speed = 14;
inline constexpr std::size_t offset_wind_average = 15;
inline constexpr std::size_t offset_direction = 16;
inline constexpr std::size_t offset_trailer = 95;  // "\n\r", then the CRC high byte first

struct RawReadings {
    std::uint16_t pressure = 0;     // thousandths of an inch of mercury
    std::uint16_t temperature = 0;  // tenths of a degree Fahrenheit, two's complement below 0 °F
    std::uint8_t wind_speed = 0;    // miles per hour
    std::uint16_t direction = 0;    // the station's direction word (degrees, 1..360)
};

// Readings held fixed on the command line; the others follow the weather.
struct FixedReadings {
    std::optional<std::uint16_t> pressure, temperature, direction;
    std::optional<std::uint8_t> wind_speed;
    bool any() const { return pressure || temperature || wind_speed || direction; }
    RawReadings applied_to(RawReadings r) const {
        if (pressure) r.pressure = *pressure;
        if (temperature) r.temperature = *temperature;
        if (wind_speed) r.wind_speed = *wind_speed;
        if (direction) r.direction = *direction;
        return r;
    }
};

// The packet a station sends for these readings: "LOO" mark, the four fields
// little-endian, 10-minute average wind equal to the current speed, trailer
// and CRC. Never fails.
Packet build_packet(const RawReadings& readings);

// CRC-16/CCITT as the station computes it (polynomial 0x1021, initial 0).
// Over a whole packet, CRC included, it gives 0.
std::uint16_t station_crc(const std::uint8_t* data, std::size_t size);

// Physical units to raw words, rounded to the nearest step. nullopt when the
// value does not fit the word (or is not finite).
std::optional<std::uint16_t> pressure_from_pascals(double pascals);
std::optional<std::uint16_t> temperature_from_celsius(double celsius);
std::optional<std::uint8_t> wind_from_metres_per_second(double metres_per_second);

// Recordings: either the packets themselves, back to back (binary, a size
// that is a multiple of 99 with at least one byte that is not text), or text
// with one packet per line as 198 hexadecimal digits, spaces between bytes
// allowed, '#' starting a comment. The packets, or why there are none (the
// line, for text).
tools::Result<std::vector<Packet>> parse_recording(std::string_view contents);

}  // namespace sim
