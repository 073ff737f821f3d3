#include "match_clock.h"

#include <time.h>

#include <cerrno>
#include <cstring>

#include "diagnostics.h"

namespace ivy {

// The thread's CPU clock cannot fail on Linux short of a sandbox refusing
// the call. Should it, the wall clock stands in: a loaded machine then makes
// more peers wait their turn, which is why it is reported (once: the call
// fails for good or never).
MatchClock::Ns MatchClock::thread_cpu_time() {
    timespec ts{};
    if (::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts) != 0) {
        static bool reported = false;
        if (!reported) {
            reported = true;
            report(
                "the thread's CPU clock cannot be read (%s): matching is scheduled by the wall "
                "clock",
                std::strerror(errno));
        }
        return std::chrono::steady_clock::now().time_since_epoch();
    }
    return std::chrono::seconds(ts.tv_sec) + Ns(ts.tv_nsec);
}

}  // namespace ivy
