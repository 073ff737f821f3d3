// Times the matching of one message against the bindings, and the
// compiling of a peer's regexp, to hold each peer to its budgets
// (ivy_limits.h).
//
// Principles: the wall clock is cheap (vDSO) and read around every usual
// match; the thread's CPU clock is a system call, read for a peer whose
// matches have already taken a good part of its budget, around each match
// of a crowded message (message_budget.h) and around each compile. A
// wall-clock figure can include time the kernel gave other processes, and on
// a busy machine that alone could push a good peer over; so before anyone
// is blamed, the figure is capped by the CPU time this thread really spent
// meanwhile.
#pragma once

#include <chrono>

namespace ivy {

class MatchClock {
public:
    using Ns = std::chrono::nanoseconds;

    // Around one match or compile: the wall time between the two, or the
    // thread's CPU time when cpu_time is set.
    void begin(bool cpu_time) {
        cpu_ = cpu_time;
        last_ = now();
    }
    Ns end() const { return now() - last_; }

    // CPU time of the calling thread so far.
    static Ns thread_cpu_time();

private:
    Ns now() const {
        return cpu_ ? thread_cpu_time() : std::chrono::steady_clock::now().time_since_epoch();
    }

    bool cpu_ = false;
    Ns last_{};
};

}  // namespace ivy
