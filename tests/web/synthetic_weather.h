// Plausible readings for tests, benchmarks and screenshots: a wind of about
// 5 m/s with gusts (always under 9.5 m/s), veering slowly between south-west
// and south-east, pressure falling a little, temperature with a slow swing.
// Deterministic: reading i is the same every time.
#pragma once

#include <cmath>
#include <cstdint>

#include "weather_message.h"

namespace web_test {

inline web::Reading synthetic_reading(std::int64_t t_ms, std::int64_t i) {
    const double s = static_cast<double>(i);
    const double noise = std::sin(s * 12.9898) * 0.5 + std::sin(s * 78.233) * 0.5;
    web::Reading r;
    r.received_ms = t_ms;
    r.wind = 5.0 + 1.5 * std::sin(s / 400.0) + 1.4 * noise + (i % 97 == 0 ? 1.5 : 0.0);
    r.direction = std::fmod(200.0 + 40.0 * std::sin(s / 900.0) + 12.0 * noise + 360.0, 360.0);
    r.pressure = 101620.0 - s * 0.01 + 20.0 * std::sin(s / 5000.0);
    r.temperature = 21.0 + 2.0 * std::sin(s / 7000.0);
    return r;
}

}  // namespace web_test
