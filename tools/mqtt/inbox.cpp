#include "inbox.h"

namespace mqtt {

void Inbox::put(const readings::StationReading& reading) {
    {
        std::lock_guard lock(mutex_);
        if (waiting_.size() >= bound_) {
            waiting_.pop_front();
            ++dropped_;
        }
        waiting_.push_back(reading);
    }
    if (wake_) wake_();
}

void Inbox::take(std::vector<readings::StationReading>& out) {
    std::lock_guard lock(mutex_);
    out.insert(out.end(), waiting_.begin(), waiting_.end());
    waiting_.clear();
}

std::uint64_t Inbox::take_dropped() {
    std::lock_guard lock(mutex_);
    const auto dropped = dropped_;
    dropped_ = 0;
    return dropped;
}

}  // namespace mqtt
