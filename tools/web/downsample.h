// Long spans of readings cut down to a few hundred points for a chart: the
// readings fall into buckets of equal width, and each bucket gives the mean
// and the maximum of the wind, the mean direction, pressure and temperature.
//
// Principles: bucket edges are multiples of the width since the epoch, so
// that a page that adds live readings to the last bucket agrees with the
// server. Directions are averaged as vectors (350° and 10° make 0°, not
// 180°); a direction outside 0-360 (a station with no vane sends 65535)
// counts in no mean. Readings are fed one by one, so a day of them is never
// held in memory. Pure: no I/O.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "web_readings.h"

namespace web {

struct Bucket {
    std::int64_t start_ms = 0;
    std::size_t count = 0;
    double wind_mean = 0;
    double wind_max = 0;
    std::optional<double> direction_mean;  // degrees, [0, 360)
    double pressure_mean = 0;
    double temperature_mean = 0;
};

// The smallest of the usual widths (1 s, 2 s, 5 s, 10 s, ... 1 h, 2 h, ...)
// that keeps [from, to] within max_points buckets.
std::int64_t bucket_width_ms(std::int64_t from_ms, std::int64_t to_ms, std::size_t max_points);

// Sums over some readings, from which buckets are made: one reading, or a
// minute of them as the log keeps them. Sums add up, means do not. A reading
// beyond what a station measures (a log written by an older version may hold
// one) adds nothing, so that sums stay finite whatever the log holds.
struct Sums {
    std::int64_t t_ms = 0;  // of the reading, or the start of the minute
    std::size_t count = 0;
    double wind_sum = 0, wind_max = 0, pressure_sum = 0, temperature_sum = 0;
    double east = 0, north = 0;  // of the unit vectors of the directions
    std::size_t directions = 0;  // readings with a direction in 0-360

    static Sums of(const Reading& reading);
    void merge(const Sums& other);
};

class Downsampler {
public:
    explicit Downsampler(std::int64_t width_ms);
    // Readings (or sums) in time order; one that goes back in time joins the
    // current bucket rather than making a second bucket of the same start.
    void add(const Reading& reading) { add(Sums::of(reading)); }
    void add(const Sums& sums);
    // The buckets that have readings, in time order.
    std::vector<Bucket> take();
    std::int64_t width_ms() const { return width_ms_; }

private:
    void close_bucket();
    std::int64_t width_ms_;
    std::vector<Bucket> done_;
    bool open_ = false;
    std::int64_t start_ms_ = 0;
    Sums current_;
};

}  // namespace web
