#include "weather_model.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace sim {

namespace {

// Means the weather returns to, and how fast (per second). Faster than real
// weather, so that a demonstration shows pressure and temperature move
// within a minute, slow enough to look like weather and not like noise.
constexpr double mean_pressure_inhg = 29.92;
constexpr double mean_temperature_f = 59.0;
constexpr double mean_wind_mph = 8.0;
constexpr double gust_chance_per_s = 0.04;
constexpr double gust_decay_per_s = 0.7;

double wrap_degrees(double deg) {
    deg = std::fmod(deg, 360.0);
    return deg < 0 ? deg + 360.0 : deg;
}

}  // namespace

WeatherModel::WeatherModel(std::uint64_t seed) : rng_(seed) {
    pressure_inhg_ += 0.3 * (uniform() - 0.5);
    temperature_f_ += 20.0 * (uniform() - 0.5);
    mean_wind_mph_ += 6.0 * (uniform() - 0.5);
    wind_mph_ = mean_wind_mph_;
    direction_deg_ = 360.0 * uniform();
}

double WeatherModel::uniform() {
    return static_cast<double>(rng_() >> 11) * 0x1.0p-53;
}

double WeatherModel::gaussian() {
    // Box-Muller; 1 - uniform() keeps the logarithm away from zero.
    const double u = 1.0 - uniform(), v = uniform();
    return std::sqrt(-2.0 * std::log(u)) * std::cos(2.0 * std::numbers::pi * v);
}

void WeatherModel::step() {
    pressure_trend_ = std::clamp(pressure_trend_ + 0.00005 * gaussian(), -0.0004, 0.0004);
    pressure_inhg_ +=
        pressure_trend_ + 0.0005 * (mean_pressure_inhg - pressure_inhg_) + 0.0003 * gaussian();
    pressure_inhg_ = std::clamp(pressure_inhg_, 28.5, 31.0);

    temperature_f_ += 0.002 * (mean_temperature_f - temperature_f_) + 0.03 * gaussian();
    temperature_f_ = std::clamp(temperature_f_, 1.0, 120.0);

    mean_wind_mph_ += 0.01 * (mean_wind_mph - mean_wind_mph_) + 0.3 * gaussian();
    mean_wind_mph_ = std::clamp(mean_wind_mph_, 0.0, 60.0);
    gust_mph_ *= gust_decay_per_s;
    if (uniform() < gust_chance_per_s) gust_mph_ += 4.0 + 8.0 * uniform();
    wind_mph_ = std::clamp(mean_wind_mph_ + gust_mph_ + 0.8 * gaussian(), 0.0, 255.0);

    // Veering: the wind turns clockwise on average, at a rate that wanders.
    veer_deg_per_s_ = std::clamp(veer_deg_per_s_ + 0.02 * gaussian(), -0.5, 1.0);
    direction_deg_ = wrap_degrees(direction_deg_ + veer_deg_per_s_ + 3.0 * gaussian());
}

RawReadings WeatherModel::readings() const {
    RawReadings r;
    r.pressure = static_cast<std::uint16_t>(std::lround(pressure_inhg_ * 1000.0));
    r.temperature = static_cast<std::uint16_t>(std::lround(temperature_f_ * 10.0));
    r.wind_speed = static_cast<std::uint8_t>(std::lround(wind_mph_));
    // The station reports north as 360 and keeps 0 for "no reading".
    const long deg = std::lround(direction_deg_);
    r.direction = static_cast<std::uint16_t>(deg == 0 ? 360 : deg);
    return r;
}

}  // namespace sim
