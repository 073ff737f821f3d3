// Times the compiling of a peer's regexps and each peer's matching of a
// message, to schedule them (ivy_limits.h): who is matched at once, who
// waits its turn, how long a turn lasts. Nothing about a peer is decided by
// these times, which depend on the machine and on what else it is doing.
//
// The wall clock is cheap (vDSO); the thread's CPU clock is a system call,
// read at each peer's start and every few matches, and around each compile.
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
