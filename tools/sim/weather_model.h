// A plausible, slowly varying weather for the simulated station: pressure
// drifting with a wandering trend, temperature wandering about a mean, a
// mean wind with gusts on top and a direction that veers. Pure and seeded.
//
// Principles: the weather moves on by one second per step, whatever the real
// clock says, so that a seed always gives the same sequence of readings (the
// simulator steps once per packet served). Random numbers come from the
// standard 64-bit Mersenne Twister through our own conversions, because the
// standard distributions may differ between library versions.
#pragma once

#include <cstdint>
#include <random>

#include "station_packet.h"

namespace sim {

class WeatherModel {
public:
    explicit WeatherModel(std::uint64_t seed);

    // Advances the weather by one second.
    void step();
    // The current weather as the station's raw words; always within the
    // station's usual ranges (pressure 28.5 to 31 inHg, temperature above
    // 0 °F, direction 1..360).
    RawReadings readings() const;

private:
    double uniform();   // [0, 1)
    double gaussian();  // mean 0, deviation 1

    std::mt19937_64 rng_;
    double pressure_inhg_ = 29.92;
    double pressure_trend_ = 0.0;  // inHg per second
    double temperature_f_ = 59.0;
    double mean_wind_mph_ = 8.0;
    double gust_mph_ = 0.0;
    double wind_mph_ = 8.0;
    double direction_deg_ = 225.0;
    double veer_deg_per_s_ = 0.2;
};

}  // namespace sim
