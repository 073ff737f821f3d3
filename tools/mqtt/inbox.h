// Readings handed from the bus loop to the client's thread. The bus side only
// takes a lock and appends, so a slow disk or broker never holds the bus.
//
// Bounded: should the client's thread stop taking readings (a disk that
// hangs), the oldest are dropped past `bound` and counted, rather than
// memory growing without end.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "weather_message.h"

namespace mqtt {

class Inbox {
public:
    explicit Inbox(std::size_t bound) : bound_(bound) {}
    // Called after each put, outside the lock: wakes the taker.
    void on_put(std::function<void()> wake) { wake_ = std::move(wake); }

    void put(const readings::StationReading& reading);
    // Moves every waiting reading to the end of out.
    void take(std::vector<readings::StationReading>& out);
    // Readings dropped since the last call.
    std::uint64_t take_dropped();

private:
    std::size_t bound_;
    std::function<void()> wake_;
    std::mutex mutex_;
    std::deque<readings::StationReading> waiting_;
    std::uint64_t dropped_ = 0;
};

}  // namespace mqtt
