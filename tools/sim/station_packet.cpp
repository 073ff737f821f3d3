#include "station_packet.h"

#include <cmath>
#include <limits>

namespace sim {

namespace {

// The relay's factors, inverted: raw × 3.386388640341 gives pascals, raw mph
// × 0.44704 gives metres per second.
constexpr double pascals_per_raw = 3.386388640341;
constexpr double metres_per_second_per_mph = 0.44704;

void put_word(Packet& p, std::size_t offset, std::uint16_t value) {
    p[offset] = static_cast<std::uint8_t>(value & 0xFF);
    p[offset + 1] = static_cast<std::uint8_t>(value >> 8);
}

std::optional<long> rounded_within(double value, long low, long high) {
    if (!std::isfinite(value)) return std::nullopt;
    const double r = std::nearbyint(value);
    if (r < static_cast<double>(low) || r > static_cast<double>(high)) return std::nullopt;
    return static_cast<long>(r);
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool looks_binary(std::string_view contents) {
    for (unsigned char c : contents)
        if ((c < 0x20 || c > 0x7E) && c != '\n' && c != '\r' && c != '\t') return true;
    return false;
}

// One text line: hexadecimal byte pairs, spaces allowed between pairs.
std::optional<std::vector<std::uint8_t>> parse_hex_line(std::string_view line) {
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = 0; i < line.size();) {
        if (line[i] == ' ' || line[i] == '\t' || line[i] == '\r') {
            ++i;
            continue;
        }
        if (i + 1 >= line.size()) return std::nullopt;
        const int hi = hex_digit(line[i]), lo = hex_digit(line[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
        i += 2;
    }
    return bytes;
}

tools::Result<std::vector<Packet>> parse_text_recording(std::string_view contents) {
    std::vector<Packet> packets;
    int line_number = 0;
    while (!contents.empty()) {
        ++line_number;
        const auto end = contents.find('\n');
        std::string_view line = contents.substr(0, end);
        contents = end == std::string_view::npos ? std::string_view{} : contents.substr(end + 1);
        line = line.substr(0, line.find('#'));
        const auto bytes = parse_hex_line(line);
        if (!bytes)
            return tools::fail("line " + std::to_string(line_number) +
                               ": not hexadecimal byte pairs");
        if (bytes->empty()) continue;
        if (bytes->size() != packet_size)
            return tools::fail("line " + std::to_string(line_number) + ": " +
                               std::to_string(bytes->size()) + " bytes instead of 99");
        Packet& p = packets.emplace_back();
        std::copy(bytes->begin(), bytes->end(), p.begin());
    }
    return packets;
}

}  // namespace

std::uint16_t station_crc(const std::uint8_t* data, std::size_t size) {
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < size; ++i) {
        crc = static_cast<std::uint16_t>(crc ^ (data[i] << 8));
        for (int bit = 0; bit < 8; ++bit)
            crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
    }
    return crc;
}

Packet build_packet(const RawReadings& readings) {
    Packet p{};
    p[0] = 'L';
    p[1] = 'O';
    p[2] = 'O';
    put_word(p, offset_pressure, readings.pressure);
    put_word(p, offset_temperature, readings.temperature);
    p[offset_wind_speed] = readings.wind_speed;
    p[offset_wind_average] = readings.wind_speed;
    put_word(p, offset_direction, readings.direction);
    p[offset_trailer] = '\n';
    p[offset_trailer + 1] = '\r';
    const std::uint16_t crc = station_crc(p.data(), offset_trailer + 2);
    p[offset_trailer + 2] = static_cast<std::uint8_t>(crc >> 8);
    p[offset_trailer + 3] = static_cast<std::uint8_t>(crc & 0xFF);
    return p;
}

std::optional<std::uint16_t> pressure_from_pascals(double pascals) {
    const auto raw = rounded_within(pascals / pascals_per_raw, 0, 0xFFFF);
    if (!raw) return std::nullopt;
    return static_cast<std::uint16_t>(*raw);
}

std::optional<std::uint16_t> temperature_from_celsius(double celsius) {
    // The station's word is signed: below 0 °F it holds the two's complement.
    const auto raw = rounded_within((celsius * 9.0 / 5.0 + 32.0) * 10.0,
                                    std::numeric_limits<std::int16_t>::min(),
                                    std::numeric_limits<std::int16_t>::max());
    if (!raw) return std::nullopt;
    return static_cast<std::uint16_t>(static_cast<std::int16_t>(*raw));
}

std::optional<std::uint8_t> wind_from_metres_per_second(double metres_per_second) {
    const auto raw = rounded_within(metres_per_second / metres_per_second_per_mph, 0, 0xFF);
    if (!raw) return std::nullopt;
    return static_cast<std::uint8_t>(*raw);
}

namespace {

tools::Result<std::vector<Packet>> parse_binary_recording(std::string_view contents) {
    if (contents.size() % packet_size != 0)
        return tools::fail("binary recording of " + std::to_string(contents.size()) +
                           " bytes, not a whole number of 99-byte packets");
    std::vector<Packet> packets;
    for (std::size_t at = 0; at < contents.size(); at += packet_size) {
        Packet& p = packets.emplace_back();
        for (std::size_t i = 0; i < packet_size; ++i)
            p[i] = static_cast<std::uint8_t>(contents[at + i]);
    }
    return packets;
}

}  // namespace

tools::Result<std::vector<Packet>> parse_recording(std::string_view contents) {
    auto packets =
        looks_binary(contents) ? parse_binary_recording(contents) : parse_text_recording(contents);
    if (packets && packets->empty()) return tools::fail("no packets in the recording");
    return packets;
}

}  // namespace sim
