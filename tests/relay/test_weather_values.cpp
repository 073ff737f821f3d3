// The pure pieces between the station's bytes and the bus text: packet
// fields, the request text, unit conversions and the two messages.
#include <gtest/gtest.h>

#include <string>

#include "publish/weather_messages.h"
#include "relay_helpers.h"
#include "station/station_protocol.h"

namespace {

LoopPacket packet_of(const std::string& bytes) {
    LoopPacket packet{};
    std::copy_n(bytes.begin(), packet.size(), packet.begin());
    return packet;
}

std::string weather_text(std::int32_t id, const RawWeather& raw) {
    char text[message_capacity];
    const auto length = format_weather_message(text, id, convert_weather(raw));
    return std::string(text, length);
}

TEST(StationProtocol, RequestAndWakeAnswer) {
    char request[loop_request_capacity];
    EXPECT_EQ(std::string(request, format_loop_request(request)), "LOOP 1\n");

    const unsigned char answer[2] = {0x0A, 0x0D}, reversed[2] = {0x0D, 0x0A};
    EXPECT_TRUE(is_wake_answer(answer, 2));
    EXPECT_FALSE(is_wake_answer(reversed, 2));
    EXPECT_FALSE(is_wake_answer(answer, 1)) << "the second byte did not come from this read";
    EXPECT_FALSE(is_wake_answer(answer, -1));
}

TEST(StationProtocol, FieldsAreUnsignedLittleEndianAtTheirOffsets) {
    const auto packet = packet_of(relay_test::station_packet(0xFFFF, 0x8001, 0xFF, 0x1234));
    const RawWeather raw = read_raw_weather(packet);
    EXPECT_EQ(raw.pressure, 0xFFFF);
    EXPECT_EQ(raw.temperature, 0x8001);
    EXPECT_EQ(raw.wind_speed, 0xFF);
    EXPECT_EQ(raw.wind_direction, 0x1234);
}

TEST(StationProtocol, OnlyTheFirstThreeLettersMarkAPacket) {
    auto packet = packet_of(relay_test::station_packet(1, 2, 3, 4));
    EXPECT_TRUE(has_loop_mark(packet));
    packet[3] = 'X';  // the byte after the mark is not checked
    EXPECT_TRUE(has_loop_mark(packet));
    for (std::size_t at : {0u, 1u, 2u}) {
        auto damaged = packet;
        damaged[at] = 'o';
        EXPECT_FALSE(has_loop_mark(damaged)) << "byte " << at;
    }
}

// Values rounded to single precision: the printed digits show the float,
// not the double the product was computed in.
TEST(WeatherValues, ConversionsPrintTheSinglePrecisionValue) {
    struct Case {
        RawWeather raw;
        const char* text;
    };
    const Case cases[] = {
        {{30000, 725, 10, 180}, "1 WEATHER 101591.656250 22.500000 4.470400 180.000000\n"},
        {{0, 0, 0, 0}, "1 WEATHER 0.000000 -17.777779 0.000000 0.000000\n"},
        {{0, 320, 0, 0}, "1 WEATHER 0.000000 0.000000 0.000000 0.000000\n"},
        {{0xFFFF, 0xFFFF, 255, 0xFFFF},
         "1 WEATHER 221926.984375 3623.055664 113.995201 65535.000000\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(weather_text(1, c.raw), c.text);
}

TEST(WeatherValues, MessagesStartWithTheAircraftId) {
    EXPECT_EQ(weather_text(7, {30000, 725, 10, 180}).rfind("7 WEATHER ", 0), 0u);
    EXPECT_EQ(weather_text(-2147483647 - 1, {0xFFFF, 0, 255, 0xFFFF}),
              "-2147483648 WEATHER 221926.984375 -17.777779 113.995201 65535.000000\n");

    char text[message_capacity];
    EXPECT_EQ(std::string(text, format_alive_message(text, 7)),
              "7 ALIVE 0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0\n");
    EXPECT_EQ(std::string(text, format_alive_message(text, -12)),
              "-12 ALIVE 0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0\n");
}

}  // namespace
