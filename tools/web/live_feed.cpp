#include "live_feed.h"

#include <algorithm>

#include "web_routes.h"

namespace web {

LiveFeed::LiveFeed(LiveState& live, std::chrono::milliseconds spacing, std::function<bool()> wanted,
                   Send send)
    : live_(live), spacing_(spacing), wanted_(std::move(wanted)), send_(std::move(send)) {
    thread_ = std::thread([this] { run(); });
}

LiveFeed::~LiveFeed() {
    thread_.join();
}

std::vector<StationView> LiveFeed::latest_of_each(const std::vector<StationView>& views) {
    std::vector<StationView> latest;
    for (auto it = views.rbegin(); it != views.rend(); ++it) {
        const bool seen = std::any_of(latest.begin(), latest.end(),
                                      [&](const StationView& v) { return v.id == it->id; });
        if (!seen) latest.push_back(*it);
    }
    std::reverse(latest.begin(), latest.end());
    return latest;
}

void LiveFeed::run() {
    std::uint64_t seq = live_.sequence();
    for (;;) {
        // Readings, or a second of nothing (the status has its own timer).
        const auto views = live_.wait_readings(&seq, std::chrono::seconds(1));
        if (live_.shutting_down()) return;
        if (views.empty() || !wanted_()) continue;
        send_(std::make_shared<const std::string>(Routes::reading_events(latest_of_each(views))));
        std::this_thread::sleep_for(spacing_);
    }
}

}  // namespace web
