// Times the matching of one message against the bindings, to hold each peer
// to its matching budget (ivy_limits.h).
//
// Principles: the wall clock is cheap (vDSO) and read around every match;
// the thread's CPU clock is a system call, read only for a peer whose
// matches have already taken a good part of its budget. A wall-clock figure
// can include time the kernel gave other processes, and on a busy machine
// that alone could push a good peer over; so before anyone is blamed, the
// figure is capped by the CPU time this thread really spent meanwhile.
#pragma once

#include <chrono>

namespace ivy {

class MatchClock {
public:
    using Ns = std::chrono::nanoseconds;

    // Around one match: the wall time between the two.
    void begin_match() { last_ = Clock::now(); }
    Ns end_match() const { return Clock::now() - last_; }

    // CPU time of the calling thread so far.
    static Ns thread_cpu_time();

private:
    using Clock = std::chrono::steady_clock;

    Clock::time_point last_{};
};

}  // namespace ivy
