// Times the matching of one message against the bindings, to hold each peer
// to its matching budget (ivy_limits.h).
//
// Principles: the wall clock is cheap (vDSO) and read around every match;
// the thread's CPU clock is a system call and read only once a message has
// already taken a while. A wall-clock figure can include time the kernel
// gave other processes, and on a busy machine that alone could push a good
// peer over its budget; so before anyone is blamed, the figure is capped by
// the CPU time this thread really spent on the message.
#pragma once

#include <chrono>
#include <cstdint>

namespace ivy {

class MatchClock {
public:
    using Ns = std::chrono::nanoseconds;

    // A new message.
    void start();
    // Around one match: the wall time between the two.
    void begin_match() { last_ = Clock::now(); }
    Ns end_match();
    // At least the CPU time spent since start(), at most the wall time.
    Ns cpu_bound();

private:
    using Clock = std::chrono::steady_clock;

    static Ns thread_cpu_time();

    Clock::time_point start_{};
    Clock::time_point last_{};
    bool marked_ = false;
    Clock::time_point mark_wall_{};
    Ns mark_cpu_{};
};

}  // namespace ivy
