// The weather publication: the last stage of a successful poll.
//
// Principles:
//  - Conversion and message text are pure functions, tested bytes in, text
//    out; publish_weather checks the packet's mark (a packet without it resets
//    the link), calls them and hands the text to the bus.
//  - Pressure, temperature and wind speed are computed in double precision and
//    then rounded to single precision: the printed digits are those of the
//    float (30000 prints as 101591.656250, not 101591.659210). The wind
//    direction is the station's integer, printed exactly.
//  - No value is range-checked or remembered; every poll sends afresh. The
//    text is built in a fixed buffer: nothing is allocated per poll.
#pragma once

#include <cstddef>
#include <cstdint>

#include "station/station_protocol.h"

struct WeatherValues {
    float pressure;                // pascals
    float temperature;             // degrees Celsius
    float wind_speed;              // metres per second
    std::uint16_t wind_direction;  // as the station gives it
};

// Large enough for either message with any aircraft id and any raw values.
inline constexpr std::size_t message_capacity = 128;

// Pure unit conversions of the station's raw words.
float pressure_pascals(std::uint16_t thousandths_inch_hg);
float temperature_celsius(std::int16_t tenths_fahrenheit);
float wind_speed_mps(std::uint8_t miles_per_hour);
WeatherValues convert_weather(const RawWeather& raw);

// "<id> WEATHER <pressure> <temperature> <speed> <direction>\n", each value
// with six decimals. Returns the text length.
std::size_t format_weather_message(char (&text)[message_capacity], std::int32_t aircraft_id,
                                   const WeatherValues& values);

// "<id> ALIVE 0,...,0\n" with sixteen zero fields. Returns the text length.
std::size_t format_alive_message(char (&text)[message_capacity], std::int32_t aircraft_id);

// Sends loop_packet to the bus: the keep-alive message first when
// run_settings.send_alive is on, then the weather message. A packet that
// does not start with "LOO" is reported on standard error and resets the
// link instead; nothing is sent for it.
void publish_weather();
