// Running the library's loop inside a test without ever hanging the test: a
// watchdog timer stops the loop at a deadline and says whether it had to.
#pragma once

#include <Ivy/ivy.h>
#include <Ivy/ivyloop.h>
#include <Ivy/timer.h>

#include <chrono>

#include "event_loop.h"
#include "test_support.h"

namespace loop_harness {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

inline void watchdog_fired(TimerId, void* fired, unsigned long) {
    *static_cast<bool*>(fired) = true;
    IvyStop();
}

// Clears any earlier stop, runs IvyMainLoop until something stops it or the
// (scaled) deadline passes. Returns true when the loop was stopped by the
// code under test, false when the watchdog had to.
inline bool run_loop(milliseconds deadline) {
    ivy::loop_reset_stop();
    bool fired = false;
    TimerId watchdog =
        TimerRepeatAfter(1, test_support::scaled(deadline).count(), watchdog_fired, &fired);
    IvyMainLoop();
    TimerRemove(watchdog);
    return !fired;
}

inline double ms_between(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

}  // namespace loop_harness
