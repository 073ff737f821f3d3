#include "station/steady_sleep.h"

#include <time.h>

#include <cerrno>

void sleep_full(std::chrono::microseconds duration) {
    if (duration.count() <= 0) return;
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    const auto whole = std::chrono::duration_cast<std::chrono::seconds>(duration);
    const auto rest = std::chrono::duration_cast<std::chrono::nanoseconds>(duration - whole);
    deadline.tv_sec += static_cast<time_t>(whole.count());
    deadline.tv_nsec += static_cast<long>(rest.count());
    if (deadline.tv_nsec >= 1'000'000'000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1'000'000'000L;
    }
    // An absolute deadline makes resuming after EINTR exact: no remaining
    // time to recompute, no accumulated rounding.
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
    }
}
