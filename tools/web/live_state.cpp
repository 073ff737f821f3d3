#include "live_state.h"

#include <algorithm>
#include <tuple>

namespace web {
namespace {

// Every station's reading of one second, four times over: a stream that
// wakes late after all 64 stations sent still gets each of them.
constexpr std::size_t event_capacity = 4 * max_stations;
// Four hours at one reading a second: the 1-hour chart and some.
constexpr std::size_t recent_capacity = std::size_t{4} * 3600;

}  // namespace

LiveState::LiveState(std::optional<double> wind_limit, std::optional<StationId> only_id)
    : only_id_(only_id), wind_limit_(wind_limit), default_(only_id), events_(event_capacity) {
    recent_.reserve(recent_capacity);
}

LiveState::Station* LiveState::station_for(const StationId& id) {
    auto it = stations_.find(id);
    if (it != stations_.end()) return &it->second;
    if (stations_.size() >= max_stations) return nullptr;
    return &stations_.emplace(id, Station{.stats = StationStats(id), .unexpected_sender = {}})
                .first->second;
}

void LiveState::publish(const StationView& view) {
    auto it = std::find_if(views_.begin(), views_.end(),
                           [&](const StationView& v) { return v.id == view.id; });
    if (it != views_.end())
        *it = view;
    else
        views_.push_back(view);
}

void LiveState::keep(const StationReading& reading, std::uint64_t seq) {
    if (recent_.size() < recent_capacity) {
        recent_.push_back({reading, seq});
    } else {
        recent_[recent_first_] = {reading, seq};
        recent_first_ = (recent_first_ + 1) % recent_capacity;
    }
}

void LiveState::prime(const StationReading& reading) {
    std::lock_guard taking(taking_mutex_);
    Station* station = station_for(reading.id);
    if (station == nullptr) return;
    const bool first = station->stats.empty();
    station->stats.add(reading.reading);
    station->published = false;  // tick() works the figures out once, at the end
    std::lock_guard lock(mutex_);
    // Its place in the list is where it was first heard.
    if (first) publish(station->view());
    keep(reading, 0);
}

StationView LiveState::Station::view() const {
    StationView view = stats.view();
    view.unexpected_sender = unexpected_sender;
    return view;
}

std::uint64_t LiveState::add(const StationReading& reading, std::string_view unexpected_sender) {
    return take(reading, unexpected_sender).seq;
}

LiveState::Taken LiveState::add_stamped(const StationReading& reading) {
    return take(reading);
}

LiveState::Taken LiveState::take(const StationReading& reading,
                                 std::string_view unexpected_sender) {
    std::uint64_t seq = 0;
    {
        std::lock_guard taking(taking_mutex_);
        Station* station = station_for(reading.id);
        if (station == nullptr) return {Outcome::too_many_stations};
        StationStats& stats = station->stats;
        const std::int64_t t = reading.reading.received_ms;
        if (reading.stamped && stats.holds(reading.reading)) {
            std::lock_guard lock(mutex_);
            ++duplicates_;
            return {Outcome::duplicate};
        }
        if (reading.stamped && !stats.empty() && t < stats.last().received_ms)
            stats.add_late(reading.reading);
        else
            stats.add(reading.reading);
        if (!unexpected_sender.empty()) {
            station->unexpected_sender = unexpected_sender;
            station->unexpected_ms = t;
        }
        station->published = true;
        const StationView view = station->view();
        std::lock_guard lock(mutex_);
        publish(view);
        seq = ++seq_;
        events_[seq % event_capacity] = view;
        keep(reading, seq);
        if (!default_) default_ = reading.id;
    }
    changed_.notify_all();
    return {Outcome::added, seq};
}

// A station only the relay (or the broker) fed comes first, whatever the
// others' traffic; then the most readings over the last busiest_span_ms; a
// tie, or a quiet span, goes to the one heard last.
std::optional<StationId> LiveState::busiest(std::int64_t now_ms) const {
    std::optional<StationId> best;
    std::tuple<bool, std::size_t, std::int64_t> best_rank{};
    for (const auto& [id, station] : stations_) {
        const std::tuple rank(station.unexpected_sender.empty(),
                              station.stats.readings_since(now_ms - busiest_span_ms),
                              station.stats.last().received_ms);
        if (!best || rank > best_rank) {
            best = id;
            best_rank = rank;
        }
    }
    return best;
}

void LiveState::tick(std::int64_t now_ms) {
    std::lock_guard taking(taking_mutex_);
    std::vector<StationView> primed;
    for (auto it = stations_.begin(); it != stations_.end();) {
        Station& station = it->second;
        if (it->first != only_id_ && now_ms - station.stats.last().received_ms > forget_after_ms) {
            it = stations_.erase(it);
            continue;
        }
        if (!station.unexpected_sender.empty() && now_ms - station.unexpected_ms > gust_window_ms) {
            station.unexpected_sender.clear();
            station.published = false;
        }
        if (!station.published) primed.push_back(station.view());
        station.published = true;
        ++it;
    }
    const std::optional<StationId> opens_on = only_id_ ? only_id_ : busiest(now_ms);
    std::lock_guard lock(mutex_);
    for (const StationView& view : primed) publish(view);
    std::erase_if(views_, [&](const StationView& v) { return stations_.count(v.id) == 0; });
    default_ = opens_on;
}

void LiveState::set_refused(std::uint64_t total) {
    std::lock_guard lock(mutex_);
    refused_ = total;
}

void LiveState::set_broker(const BrokerLink& link) {
    std::lock_guard lock(mutex_);
    broker_ = link;
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
    {
        std::lock_guard lock(mutex_);
        status.wind_limit = wind_limit_;
        status.refused = refused_;
        status.default_id = default_;
        status.stations = views_;
        status.broker = broker_;
        if (status.broker) status.broker->duplicates = duplicates_;
    }
    for (StationView& view : status.stations) mark_silence(view, now_ms);
    return status;
}

std::optional<StationId> LiveState::default_station() const {
    std::lock_guard lock(mutex_);
    return default_;
}

bool LiveState::opens_overview(std::int64_t now_ms) const {
    if (only_id_) return false;
    std::lock_guard lock(mutex_);
    std::size_t live = 0;
    for (StationView view : views_) live += mark_silence(view, now_ms) ? 0 : 1;
    return live > 1;
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
            const StationReading& r = recent_[(recent_first_ + i) % recent_.size()].reading;
            if (r.reading.received_ms >= from_ms && r.reading.received_ms <= to_ms &&
                (!id || r.id == *id))
                copy.push_back(r);
        }
    }
    // Late readings were kept as they came, and a duplicate older than the
    // windows may be here twice.
    const auto same = [](const StationReading& a, const StationReading& b) {
        return a.stamped && b.stamped && same_reading(a, b);
    };
    std::stable_sort(
        copy.begin(), copy.end(), [](const StationReading& a, const StationReading& b) {
            const Reading &x = a.reading, &y = b.reading;
            return std::tie(x.received_ms, a.id, x.pressure, x.temperature, x.wind, x.direction) <
                   std::tie(y.received_ms, b.id, y.pressure, y.temperature, y.wind, y.direction);
        });
    copy.erase(std::unique(copy.begin(), copy.end(), same), copy.end());
    for (const StationReading& r : copy) visit(r.id, r.reading);
}

std::vector<StationReading> LiveState::kept_readings(std::uint64_t up_to_seq) const {
    std::vector<StationReading> kept;
    std::lock_guard lock(mutex_);
    kept.reserve(recent_.size());
    for (std::size_t i = 0; i < recent_.size(); ++i) {
        const Kept& k = recent_[(recent_first_ + i) % recent_.size()];
        if (k.seq <= up_to_seq) kept.push_back(k.reading);
    }
    return kept;
}

}  // namespace web
