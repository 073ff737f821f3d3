#include "station/station_protocol.h"

#include <cstdio>
#include <cstring>

namespace {

constexpr std::size_t pressure_offset = 7;
constexpr std::size_t temperature_offset = 12;
constexpr std::size_t wind_speed_offset = 14;
constexpr std::size_t wind_direction_offset = 16;

std::uint16_t word_at(const LoopPacket& packet, std::size_t offset) {
    return static_cast<std::uint16_t>(packet[offset] | (packet[offset + 1] << 8));
}

}  // namespace

bool is_wake_answer(const unsigned char (&reply)[2], long count) {
    return count == 2 && reply[0] == wake_answer[0] && reply[1] == wake_answer[1];
}

std::size_t format_loop_request(char (&buffer)[loop_request_capacity]) {
    const int length = std::snprintf(buffer, sizeof buffer, "LOOP %i\n", loop_request_count);
    return length > 0 ? static_cast<std::size_t>(length) : 0;
}

bool has_loop_mark(const LoopPacket& packet) {
    return std::memcmp(packet.data(), "LOO", 3) == 0;
}

RawWeather read_raw_weather(const LoopPacket& packet) {
    return RawWeather{
        .pressure = word_at(packet, pressure_offset),
        // The station sends temperatures below 0 °F as negative words; read
        // unsigned, -0.1 °F would be published as 3623 °C.
        .temperature = static_cast<std::int16_t>(word_at(packet, temperature_offset)),
        .wind_speed = packet[wind_speed_offset],
        .wind_direction = word_at(packet, wind_direction_offset),
    };
}
