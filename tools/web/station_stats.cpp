#include "station_stats.h"

#include <algorithm>
#include <array>
#include <cstdlib>

namespace web {
namespace {

// Ten minutes at 10 readings a second; a station at 1 Hz uses 600.
constexpr std::size_t wind_capacity = 6000;
// A sample a minute for 3 h plus the tolerance, and some spare.
constexpr std::size_t pressure_capacity = 256;
constexpr std::int64_t pressure_sample_ms = std::int64_t{60} * 1000;
constexpr std::size_t arrival_capacity = 17;
constexpr double min_period_s = 1.0;

}  // namespace

StationStats::StationStats(StationId id)
    : id_(id), winds_(wind_capacity), pressures_(pressure_capacity), arrivals_(arrival_capacity) {}

void StationStats::add(const Reading& reading) {
    const std::int64_t t = reading.received_ms;
    if (!winds_.empty() && t < last_.received_ms) {
        winds_ = TimedRing<Reading>(wind_capacity);
        pressures_ = TimedRing<>(pressure_capacity);
        arrivals_ = TimedRing<>(arrival_capacity);
    }
    last_ = reading;
    winds_.push(t, reading);
    arrivals_.push(t, 0);
    if (pressures_.empty() || t - pressures_.time(pressures_.size() - 1) >= pressure_sample_ms)
        pressures_.push(t, reading.pressure);
}

void StationStats::add_late(const Reading& reading) {
    // Older than the gust's window it changes no figure.
    if (reading.received_ms > last_.received_ms - gust_window_ms)
        winds_.insert(reading.received_ms, reading);
}

bool StationStats::holds(const Reading& r) const {
    return winds_.holds(r.received_ms, r);  // the latest is there too
}

double StationStats::wind_mean_2min() const {
    double sum = 0;
    std::size_t n = 0;
    for (std::size_t i = winds_.size(); i-- > 0;) {
        if (winds_.time(i) <= last_.received_ms - mean_window_ms) break;
        sum += winds_.value(i).wind;
        ++n;
    }
    return n == 0 ? 0 : sum / static_cast<double>(n);
}

double StationStats::gust_10min() const {
    double gust = 0;
    for (std::size_t i = winds_.size(); i-- > 0;) {
        if (winds_.time(i) <= last_.received_ms - gust_window_ms) break;
        gust =
            (i + 1 == winds_.size()) ? winds_.value(i).wind : std::max(gust, winds_.value(i).wind);
    }
    return gust;
}

std::optional<double> StationStats::pressure_tendency_3h() const {
    const std::int64_t target = last_.received_ms - tendency_span_ms;
    std::optional<std::size_t> best;
    for (std::size_t i = 0; i < pressures_.size(); ++i) {
        const std::int64_t off = std::llabs(pressures_.time(i) - target);
        if (off <= tendency_tolerance_ms &&
            (!best || off < std::llabs(pressures_.time(*best) - target)))
            best = i;
    }
    if (!best) return std::nullopt;
    return last_.pressure - pressures_.value(*best);
}

double StationStats::period_s() const {
    if (arrivals_.size() < 2) return min_period_s;
    std::array<std::int64_t, arrival_capacity> gaps{};
    std::size_t n = 0;
    for (std::size_t i = 1; i < arrivals_.size(); ++i)
        gaps[n++] = arrivals_.time(i) - arrivals_.time(i - 1);
    auto middle = gaps.begin() + static_cast<std::ptrdiff_t>(n / 2);
    std::nth_element(gaps.begin(), middle, gaps.begin() + static_cast<std::ptrdiff_t>(n));
    return std::max(min_period_s, static_cast<double>(*middle) / 1000.0);
}

std::size_t StationStats::readings_since(std::int64_t t_ms) const {
    // The ring is in time order: a clock stepped back empties it, and a
    // late reading goes in its place.
    return winds_.size() - winds_.first_from(t_ms);
}

StationView StationStats::view() const {
    StationView view;
    view.id = id_;
    view.last = last_;
    view.wind_mean_2min = wind_mean_2min();
    view.gust_10min = gust_10min();
    view.pressure_tendency_3h = pressure_tendency_3h();
    view.period_s = period_s();
    return view;
}

StationView StationStats::view_at(std::int64_t now_ms) const {
    StationView v = view();
    if (!empty()) mark_silence(v, now_ms);
    return v;
}

bool mark_silence(StationView& view, std::int64_t now_ms) {
    const double quiet_ms = static_cast<double>(now_ms - view.last.received_ms);
    view.silent = quiet_ms > silent_periods * view.period_s * 1000.0;
    return view.silent;
}

}  // namespace web
