// What goes over the serial line to the station and back, and the layout of
// the packet it answers with.
//
// Principles: constants and pure functions only, no I/O, so that every byte
// can be tested without a station. The packet is taken as the station sends
// it: little-endian words, unsigned but for the temperature, no integrity
// check; only its "LOO" mark is ever validated.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

inline constexpr std::size_t loop_packet_size = 99;
using LoopPacket = std::array<unsigned char, loop_packet_size>;

// Wake-up: one line feed; the station answers line feed, carriage return.
inline constexpr unsigned char wake_byte = 0x0A;
inline constexpr unsigned char wake_answer[2] = {0x0A, 0x0D};
// Packet request "LOOP <count>\n", always for one packet, acknowledged by ACK.
inline constexpr int loop_request_count = 1;
inline constexpr std::size_t loop_request_capacity = 32;
inline constexpr unsigned char ack_byte = 0x06;
// Sent just before the port is closed on a reset.
inline constexpr unsigned char reset_byte = 0x0A;

// The four fields the relay reads, as the station encodes them.
struct RawWeather {
    std::uint16_t pressure;        // thousandths of an inch of mercury
    std::int16_t temperature;      // tenths of a degree Fahrenheit, two's complement
    std::uint8_t wind_speed;       // miles per hour
    std::uint16_t wind_direction;  // the station's own unit
};

// Whether a read of `count` bytes into `reply` gave exactly the wake-up answer.
bool is_wake_answer(const unsigned char (&reply)[2], long count);

// Writes "LOOP 1\n" into buffer; returns its length (7).
std::size_t format_loop_request(char (&buffer)[loop_request_capacity]);

// Whether the packet starts with the letters "LOO".
bool has_loop_mark(const LoopPacket& packet);

// The pressure (offset 7), temperature (12), wind speed (14) and wind
// direction (16) fields; the other bytes are not looked at.
RawWeather read_raw_weather(const LoopPacket& packet);
