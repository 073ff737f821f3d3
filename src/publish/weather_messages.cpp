#include "publish/weather_messages.h"

#include <cstdio>

#include <Ivy/ivy.h>

#include "relay_state.h"
#include "station/serial_port.h"

namespace {

constexpr double pascals_per_thousandth_inch_hg = 3.386388640341;
constexpr double metres_per_second_per_mph = 0.44704;

std::size_t text_length(int printed) {
    return printed > 0 ? static_cast<std::size_t>(printed) : 0;
}

}  // namespace

float pressure_pascals(std::uint16_t thousandths_inch_hg) {
    return static_cast<float>(thousandths_inch_hg * pascals_per_thousandth_inch_hg);
}

float temperature_celsius(std::int16_t tenths_fahrenheit) {
    // Kept in this order: it decides the last digits of the printed value.
    // Done in double from the signed word: -32768 gives -1838.2 °C with no
    // overflow on the way.
    return static_cast<float>((tenths_fahrenheit / 10.0 - 32.0) * 5.0 / 9.0);
}

float wind_speed_mps(std::uint8_t miles_per_hour) {
    return static_cast<float>(miles_per_hour * metres_per_second_per_mph);
}

WeatherValues convert_weather(const RawWeather& raw) {
    return WeatherValues{
        .pressure = pressure_pascals(raw.pressure),
        .temperature = temperature_celsius(raw.temperature),
        .wind_speed = wind_speed_mps(raw.wind_speed),
        .wind_direction = raw.wind_direction,
    };
}

std::size_t format_weather_message(char (&text)[message_capacity], std::int32_t aircraft_id,
                                   const WeatherValues& values) {
    return text_length(std::snprintf(
        text, sizeof text, "%d WEATHER %f %f %f %f\n", aircraft_id,
        static_cast<double>(values.pressure), static_cast<double>(values.temperature),
        static_cast<double>(values.wind_speed), static_cast<double>(values.wind_direction)));
}

std::size_t format_alive_message(char (&text)[message_capacity], std::int32_t aircraft_id) {
    return text_length(std::snprintf(text, sizeof text,
                                     "%d ALIVE 0,0,0,0,0,0,0,0,0,0,0,0,0,0,0,0\n", aircraft_id));
}

void publish_weather() {
    if (!has_loop_mark(loop_packet)) {
        std::fputs(
            "Received packet from the weather station which does not match the expected format\n",
            stderr);
        reset_link();
        return;
    }
    char text[message_capacity];
    if (run_settings.send_alive) {
        format_alive_message(text, run_settings.aircraft_id);
        IvySendMsg("%s", text);
    }
    format_weather_message(text, run_settings.aircraft_id,
                           convert_weather(read_raw_weather(loop_packet)));
    IvySendMsg("%s", text);
}
