#include "time_bucket.h"

#include <algorithm>

namespace ivy {

TimeBucket::Ns TimeBucket::level(Clock::time_point now) {
    if (now > last_) {
        const auto gained = std::chrono::duration_cast<Ns>((now - last_) * share_);
        level_ = std::min(capacity_, level_ + gained);
        last_ = now;
    }
    return level_;
}

void TimeBucket::take(Ns cost, Clock::time_point now) {
    level(now);
    level_ -= cost;
}

TimeBucket::Clock::time_point TimeBucket::time_to(Ns wanted, Clock::time_point now) {
    const Ns missing = std::min(wanted, capacity_) - level(now);
    if (missing <= Ns{}) return now;
    return now + std::chrono::duration_cast<Clock::duration>(missing / share_);
}

}  // namespace ivy
