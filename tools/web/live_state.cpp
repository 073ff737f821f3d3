#include "live_state.h"

#include <algorithm>

namespace web {
namespace {

constexpr std::size_t event_capacity = 64;
// Four hours at one reading a second: the 1-hour chart and some.
constexpr std::size_t recent_capacity = std::size_t{4} * 3600;

}  // namespace

LiveState::LiveState(std::optional<double> wind_limit)
    : wind_limit_(wind_limit), events_(event_capacity) {
    recent_.reserve(recent_capacity);
}

StationStats* LiveState::stats_for(const StationId& id) {
    auto it = stations_.find(id);
    if (it != stations_.end()) return &it->second;
    if (stations_.size() >= max_stations) return nullptr;
    order_.push_back(id);
    return &stations_.emplace(id, StationStats(id)).first->second;
}

void LiveState::prime(const StationReading& reading) {
    std::lock_guard lock(mutex_);
    if (StationStats* stats = stats_for(reading.id)) {
        stats->add(reading.reading);
        newest_ = reading.id;
    }
}

bool LiveState::add(const StationReading& reading) {
    {
        std::lock_guard lock(mutex_);
        StationStats* stats = stats_for(reading.id);
        if (stats == nullptr) return false;
        stats->add(reading.reading);
        newest_ = reading.id;
        ++seq_;
        events_[seq_ % event_capacity] = stats->view_at(reading.reading.received_ms);
        if (recent_.size() < recent_capacity) {
            recent_.push_back(reading);
        } else {
            recent_[recent_first_] = reading;
            recent_first_ = (recent_first_ + 1) % recent_capacity;
        }
    }
    changed_.notify_all();
    return true;
}

void LiveState::set_refused(std::uint64_t total) {
    std::lock_guard lock(mutex_);
    refused_ = total;
}

void LiveState::shut_down() {
    {
        std::lock_guard lock(mutex_);
        shutting_down_ = true;
    }
    changed_.notify_all();
}

PageStatus LiveState::status(std::int64_t now_ms) const {
    PageStatus status;
    status.now_ms = now_ms;
    std::lock_guard lock(mutex_);
    status.wind_limit = wind_limit_;
    status.refused = refused_;
    for (const StationId& id : order_) status.stations.push_back(stations_.at(id).view_at(now_ms));
    return status;
}

std::optional<StationId> LiveState::newest_station() const {
    std::lock_guard lock(mutex_);
    return newest_;
}

bool LiveState::has_station(const StationId& id) const {
    std::lock_guard lock(mutex_);
    return stations_.count(id) > 0;
}

bool LiveState::shutting_down() const {
    std::lock_guard lock(mutex_);
    return shutting_down_;
}

std::uint64_t LiveState::sequence() const {
    std::lock_guard lock(mutex_);
    return seq_;
}

std::vector<StationView> LiveState::wait_readings(std::uint64_t* seq,
                                                  std::chrono::milliseconds timeout) {
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return shutting_down_ || seq_ > *seq; });
    std::vector<StationView> views;
    if (shutting_down_ || seq_ <= *seq) return views;
    // A stream too far behind skips to the latest reading.
    std::uint64_t next = seq_ - *seq > event_capacity ? seq_ : *seq + 1;
    for (; next <= seq_; ++next) views.push_back(events_[next % event_capacity]);
    *seq = seq_;
    return views;
}

void LiveState::visit_recent(
    const std::optional<StationId>& id, std::int64_t from_ms, std::int64_t to_ms,
    const std::function<void(const StationId&, const Reading&)>& visit) const {
    std::vector<StationReading> copy;
    {
        std::lock_guard lock(mutex_);
        copy.reserve(recent_.size());
        for (std::size_t i = 0; i < recent_.size(); ++i) {
            const StationReading& r = recent_[(recent_first_ + i) % recent_.size()];
            if (r.reading.received_ms >= from_ms && r.reading.received_ms <= to_ms &&
                (!id || r.id == *id))
                copy.push_back(r);
        }
    }
    for (const StationReading& r : copy) visit(r.id, r.reading);
}

}  // namespace web
