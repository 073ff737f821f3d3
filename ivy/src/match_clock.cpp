#include "match_clock.h"

#include <time.h>

namespace ivy {
namespace {

// Wall time after which the CPU clock is first read for a message. Nearly
// every message is matched well within it and never pays for that read.
constexpr std::chrono::microseconds cpu_mark_after{300};

}  // namespace

MatchClock::Ns MatchClock::thread_cpu_time() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return std::chrono::seconds(ts.tv_sec) + Ns(ts.tv_nsec);
}

void MatchClock::start() {
    start_ = last_ = Clock::now();
    marked_ = false;
}

MatchClock::Ns MatchClock::end_match() {
    const auto now = Clock::now();
    const Ns elapsed = now - last_;
    if (!marked_ && now - start_ >= cpu_mark_after) {
        marked_ = true;
        mark_wall_ = now;
        mark_cpu_ = thread_cpu_time();
    }
    return elapsed;
}

// Before the mark only the wall time is known, and it bounds the CPU time.
MatchClock::Ns MatchClock::cpu_bound() {
    const auto now = Clock::now();
    if (!marked_) return now - start_;
    return (mark_wall_ - start_) + (thread_cpu_time() - mark_cpu_);
}

}  // namespace ivy
