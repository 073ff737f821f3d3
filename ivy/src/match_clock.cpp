#include "match_clock.h"

#include <time.h>

namespace ivy {

MatchClock::Ns MatchClock::thread_cpu_time() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return std::chrono::seconds(ts.tv_sec) + Ns(ts.tv_nsec);
}

}  // namespace ivy
