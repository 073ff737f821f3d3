#include "downsample.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace web {
namespace {

constexpr std::int64_t nice_widths_s[] = {1,   2,   5,    10,   15,   30,    60,    120,   300,
                                          600, 900, 1800, 3600, 7200, 10800, 21600, 43200, 86400};

// Floor division, so that times before the epoch still land on a grid.
std::int64_t floor_to(std::int64_t t, std::int64_t width) {
    std::int64_t q = t / width;
    if (t % width != 0 && t < 0) --q;
    return q * width;
}

double degrees_to_radians(double degrees) {
    return degrees * std::numbers::pi / 180.0;
}

}  // namespace

std::int64_t bucket_width_ms(std::int64_t from_ms, std::int64_t to_ms, std::size_t max_points) {
    const std::int64_t span = std::max<std::int64_t>(to_ms - from_ms, 0);
    const auto points = static_cast<std::int64_t>(std::max<std::size_t>(max_points, 1));
    for (std::int64_t width_s : nice_widths_s) {
        if (span / (width_s * 1000) <= points) return width_s * 1000;
    }
    // Beyond a day per bucket: whole days.
    const std::int64_t day = std::int64_t{86400} * 1000;
    return (span / points / day + 1) * day;
}

Downsampler::Downsampler(std::int64_t width_ms) : width_ms_(std::max<std::int64_t>(width_ms, 1)) {}

Sums Sums::of(const Reading& reading) {
    Sums s;
    s.t_ms = reading.received_ms;
    if (!within_physical_bounds(reading)) return s;
    s.count = 1;
    s.wind_sum = s.wind_max = reading.wind;
    s.pressure_sum = reading.pressure;
    s.temperature_sum = reading.temperature;
    if (reading.direction >= 0 && reading.direction <= 360) {
        const double angle = degrees_to_radians(reading.direction);
        s.east = std::sin(angle);
        s.north = std::cos(angle);
        s.directions = 1;
    }
    return s;
}

void Sums::merge(const Sums& other) {
    if (other.count == 0) return;
    wind_max = count == 0 ? other.wind_max : std::max(wind_max, other.wind_max);
    count += other.count;
    wind_sum += other.wind_sum;
    pressure_sum += other.pressure_sum;
    temperature_sum += other.temperature_sum;
    east += other.east;
    north += other.north;
    directions += other.directions;
}

void Downsampler::add(const Sums& sums) {
    if (sums.count == 0) return;
    const std::int64_t start = floor_to(sums.t_ms, width_ms_);
    if (open_ && start > start_ms_) close_bucket();
    if (!open_) {
        current_ = Sums{};
        start_ms_ = start;
        open_ = true;
    }
    current_.merge(sums);
}

void Downsampler::close_bucket() {
    const Sums& s = current_;
    const auto n = static_cast<double>(s.count);
    Bucket b;
    b.start_ms = start_ms_;
    b.count = s.count;
    b.wind_mean = s.wind_sum / n;
    b.wind_max = s.wind_max;
    b.pressure_mean = s.pressure_sum / n;
    b.temperature_mean = s.temperature_sum / n;
    // Opposite directions in equal measure have no mean.
    if (s.directions > 0 &&
        std::hypot(s.east, s.north) > 1e-9 * static_cast<double>(s.directions)) {
        // A hair below north (-1e-15) is north, not 359.99...
        const double degrees = std::atan2(s.east, s.north) * 180.0 / std::numbers::pi;
        b.direction_mean = std::fmod(degrees + 360.0, 360.0);
    }
    done_.push_back(b);
    open_ = false;
}

std::vector<Bucket> Downsampler::take() {
    if (open_) close_bucket();
    std::vector<Bucket> buckets = std::move(done_);
    done_.clear();
    return buckets;
}

}  // namespace web
