// The pure road from the station's packet bytes to the bus text: fields,
// unit conversions and the two messages.
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

// Packet bytes in, message text out.
std::string weather_text(std::int32_t id, unsigned pressure, unsigned temperature,
                         unsigned wind_speed, unsigned wind_direction) {
    const auto packet =
        packet_of(relay_test::station_packet(pressure, temperature, wind_speed, wind_direction));
    EXPECT_TRUE(has_loop_mark(packet));
    char text[message_capacity];
    const auto length = format_weather_message(text, id, convert_weather(read_raw_weather(packet)));
    return std::string(text, length);
}

// Values rounded to single precision: the printed digits show the float,
// not the double the product was computed in.
TEST(WeatherValues, ConversionsPrintTheSinglePrecisionValue) {
    struct Case {
        unsigned pressure, temperature, wind_speed, wind_direction;
        const char* text;
    };
    const Case cases[] = {
        {30000, 725, 10, 180, "1 WEATHER 101591.656250 22.500000 4.470400 180.000000\n"},
        {0, 0, 0, 0, "1 WEATHER 0.000000 -17.777779 0.000000 0.000000\n"},
        {0, 320, 0, 0, "1 WEATHER 0.000000 0.000000 0.000000 0.000000\n"},
        {0xFFFF, 0x7FFF, 255, 0xFFFF,
         "1 WEATHER 221926.984375 1802.611084 113.995201 65535.000000\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(weather_text(1, c.pressure, c.temperature, c.wind_speed, c.wind_direction),
                  c.text);
    }
}

// The station sends the temperature in two's complement, below 0 °F as a
// negative word; pressure, wind and direction words with the top bit set are
// still large positive readings.
TEST(WeatherValues, OnlyTheTemperatureWordIsSigned) {
    struct Case {
        unsigned temperature;
        const char* text;
    };
    const Case cases[] = {
        {0xFFFF, "1 WEATHER 221926.984375 -17.833334 113.995201 65535.000000\n"},  // -0.1 °F
        {0xFFD8, "1 WEATHER 221926.984375 -20.000000 113.995201 65535.000000\n"},  // -4 °F
        {0x8000, "1 WEATHER 221926.984375 -1838.222168 113.995201 65535.000000\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(weather_text(1, 0xFFFF, c.temperature, 255, 0xFFFF), c.text);
}

TEST(WeatherValues, MessagesStartWithTheAircraftId) {
    EXPECT_EQ(weather_text(7, 30000, 725, 10, 180).rfind("7 WEATHER ", 0), 0u);
    EXPECT_EQ(weather_text(-2147483647 - 1, 0xFFFF, 0, 255, 0xFFFF),
              "-2147483648 WEATHER 221926.984375 -17.777779 113.995201 65535.000000\n");

    char text[message_capacity];
    EXPECT_EQ(std::string(text, format_alive_message(text, 7)),
              "7 ALIVE 0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0\n");
    EXPECT_EQ(std::string(text, format_alive_message(text, -12)),
              "-12 ALIVE 0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0\n");
}

}  // namespace
