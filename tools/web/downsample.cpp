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
    const std::int64_t day = 86400 * 1000;
    return (span / points / day + 1) * day;
}

Downsampler::Downsampler(std::int64_t width_ms) : width_ms_(std::max<std::int64_t>(width_ms, 1)) {}

void Downsampler::add(const Reading& reading) {
    const std::int64_t start = floor_to(reading.received_ms, width_ms_);
    if (open_ && start > current_.start_ms) close_bucket();
    if (!open_) {
        current_ = Bucket{};
        current_.start_ms = start;
        current_.wind_max = reading.wind;
        open_ = true;
    }
    ++current_.count;
    wind_sum_ += reading.wind;
    current_.wind_max = std::max(current_.wind_max, reading.wind);
    pressure_sum_ += reading.pressure;
    temperature_sum_ += reading.temperature;
    if (reading.direction >= 0 && reading.direction <= 360) {
        const double angle = degrees_to_radians(reading.direction);
        east_ += std::sin(angle);
        north_ += std::cos(angle);
        ++directions_;
    }
}

void Downsampler::close_bucket() {
    const auto n = static_cast<double>(current_.count);
    current_.wind_mean = wind_sum_ / n;
    current_.pressure_mean = pressure_sum_ / n;
    current_.temperature_mean = temperature_sum_ / n;
    // Opposite directions in equal measure have no mean.
    if (directions_ > 0 && std::hypot(east_, north_) > 1e-9 * static_cast<double>(directions_)) {
        // A hair below north (-1e-15) is north, not 359.99...
        const double degrees = std::atan2(east_, north_) * 180.0 / std::numbers::pi;
        current_.direction_mean = std::fmod(degrees + 360.0, 360.0);
    }
    done_.push_back(current_);
    open_ = false;
    wind_sum_ = pressure_sum_ = temperature_sum_ = east_ = north_ = 0;
    directions_ = 0;
}

std::vector<Bucket> Downsampler::take() {
    if (open_) close_bucket();
    std::vector<Bucket> buckets = std::move(done_);
    done_.clear();
    return buckets;
}

}  // namespace web
