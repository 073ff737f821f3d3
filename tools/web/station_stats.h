// What the page shows of one station, worked out from its readings as they
// arrive: the 2-minute mean wind, the 10-minute gust, the 3-hour pressure
// tendency, the station's period and whether it has gone silent.
//
// Principles: the windows end at the latest reading, not at the wall clock,
// so the figures stay those of the last readings while a silent station is
// flagged as such. Memory is fixed: a station sending far faster than once a
// second keeps only its latest readings in the windows (then a 10-minute
// window covers less than ten minutes). Pure: no clock, no I/O.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "web_readings.h"

namespace web {

inline constexpr std::int64_t mean_window_ms = std::int64_t{2} * 60 * 1000;
inline constexpr std::int64_t gust_window_ms = std::int64_t{10} * 60 * 1000;
inline constexpr std::int64_t tendency_span_ms = std::int64_t{3} * 3600 * 1000;
// A tendency is given when a sample lies this close to three hours back.
inline constexpr std::int64_t tendency_tolerance_ms = std::int64_t{10} * 60 * 1000;
// No reading for this many periods and the station is silent.
inline constexpr int silent_periods = 3;

// A fixed-capacity ring of (time, value), oldest first.
template <typename Value = double>
class TimedRing {
public:
    explicit TimedRing(std::size_t capacity) : items_(capacity) {}
    void push(std::int64_t t_ms, const Value& value) {
        if (items_.empty()) return;
        if (size_ == items_.size()) {
            items_[first_] = {t_ms, value};
            first_ = (first_ + 1) % items_.size();
            return;
        }
        items_[index(size_)] = {t_ms, value};
        ++size_;
    }
    // In time order among the items held, for one that comes late; when
    // full, one older than every item is not kept. Costs a shift of the
    // newer items.
    void insert(std::int64_t t_ms, const Value& value) {
        if (items_.empty() || (size_ == items_.size() && t_ms < time(0))) return;
        push(t_ms, value);
        for (std::size_t i = size_ - 1; i > 0 && time(i - 1) > t_ms; --i)
            std::swap(items_[index(i - 1)], items_[index(i)]);
    }
    // With the items in time order: the index of the first at or after
    // t_ms (size() when none is), and whether one is exactly (t_ms, value).
    std::size_t first_from(std::int64_t t_ms) const {
        std::size_t low = 0, high = size_;
        while (low < high) {
            const std::size_t mid = low + (high - low) / 2;
            if (time(mid) < t_ms)
                low = mid + 1;
            else
                high = mid;
        }
        return low;
    }
    bool holds(std::int64_t t_ms, const Value& value) const {
        for (std::size_t i = first_from(t_ms); i < size_ && time(i) == t_ms; ++i)
            if (this->value(i) == value) return true;
        return false;
    }
    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    // i = 0 is the oldest.
    std::int64_t time(std::size_t i) const { return items_[index(i)].t_ms; }
    const Value& value(std::size_t i) const { return items_[index(i)].value; }

private:
    struct Item {
        std::int64_t t_ms;
        Value value;
    };
    std::size_t index(std::size_t i) const { return (first_ + i) % items_.size(); }
    std::vector<Item> items_;
    std::size_t first_ = 0, size_ = 0;
};

// One station as the page shows it.
struct StationView {
    StationId id;
    Reading last;
    double wind_mean_2min = 0;
    double gust_10min = 0;
    std::optional<double> pressure_tendency_3h;  // Pa, now minus three hours ago
    double period_s = 1;
    bool silent = false;  // filled by view_at() or mark_silence()
    // A bus agent other than the relay that sent one of the readings in the
    // 10-minute window, by its name; empty when the relay sent them all.
    std::string unexpected_sender;
};

// Whether the station of view has been quiet for silent_periods of its
// period at now_ms; sets view.silent and returns it.
bool mark_silence(StationView& view, std::int64_t now_ms);

class StationStats {
public:
    explicit StationStats(StationId id);
    // Readings come in time order. One older than the latest (the clock
    // was stepped back) starts the windows afresh from it.
    void add(const Reading& reading);
    // A reading stamped by its sender that comes after a newer one (a
    // replay): it joins the wind windows in its place; the latest reading,
    // the period and the tendency stay those of the newest readings.
    void add_late(const Reading& reading);
    // Whether this reading is in the wind window (the latest always is): a
    // stamped reading that comes twice. It is known there as everywhere
    // (same_reading): by its time and all four values, so that readings
    // stamped in one millisecond are all kept.
    bool holds(const Reading& reading) const;
    bool empty() const { return winds_.empty(); }
    const Reading& last() const { return last_; }

    double wind_mean_2min() const;
    double gust_10min() const;
    std::optional<double> pressure_tendency_3h() const;
    // The median spacing of the latest readings, in seconds; 1 until two
    // readings have come. Readings a second apart or more are what a
    // station gives; the floor keeps a burst from making the period tiny.
    double period_s() const;

    // How many readings came at or after t_ms, among the last ten minutes'.
    std::size_t readings_since(std::int64_t t_ms) const;

    // Everything at once: a few thousand steps for a station at 10 Hz, so
    // worked out once per reading, and only `silent` per look.
    StationView view() const;
    StationView view_at(std::int64_t now_ms) const;

private:
    StationId id_;
    Reading last_;
    TimedRing<Reading> winds_;  // every reading of the last ten minutes, within capacity
    TimedRing<> pressures_;     // one sample a minute, three hours and more
    TimedRing<> arrivals_;      // the latest arrival times, for the period
};

}  // namespace web
