// A budget of time that refills with the time passing: what compiling
// peers' regexps may take of the loop, all peers together (a small bucket
// refilling at a small share). It schedules, never judges: a peer that finds
// it empty waits its turn. Pure: times are handed in.
#pragma once

#include <chrono>

namespace ivy {

class TimeBucket {
public:
    using Clock = std::chrono::steady_clock;
    using Ns = std::chrono::nanoseconds;

    // Full (capacity) at first; refills at `share` of the time passing, up
    // to capacity.
    TimeBucket(Ns capacity, double share, Clock::time_point now)
        : capacity_(capacity), share_(share), level_(capacity), last_(now) {}

    // What is left at now; negative once more was taken than there was.
    Ns level(Clock::time_point now);
    void take(Ns cost, Clock::time_point now);
    // When the level will be back to at least `wanted` (now if it is).
    Clock::time_point time_to(Ns wanted, Clock::time_point now);

private:
    Ns capacity_;
    double share_;
    Ns level_;
    Clock::time_point last_;
};

}  // namespace ivy
