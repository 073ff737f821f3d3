// Running the library's loop inside a test without ever hanging the test: a
// watchdog stops the loop at a deadline and says whether it had to.
#pragma once

#include <Ivy/ivy.h>
#include <Ivy/ivyloop.h>
#include <Ivy/timer.h>

#include <asio/steady_timer.hpp>
#include <chrono>
#include <memory>

#include "event_loop.h"
#include "test_support.h"

namespace loop_harness {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// Clears any earlier stop, runs IvyMainLoop until something stops it or the
// (scaled) deadline passes. Returns true when the loop was stopped by the
// code under test, false when the watchdog had to. The watchdog is an Asio
// timer, not one of the library's, so a fault in those cannot hang a test.
inline bool run_loop(milliseconds deadline) {
    ivy::loop_reset_stop();
    // Shared: the cancelled wait completes later, in some other run.
    auto fired = std::make_shared<bool>(false);
    asio::steady_timer watchdog(ivy::loop_context(), test_support::scaled(deadline));
    watchdog.async_wait([fired](const asio::error_code& ec) {
        if (ec) return;
        *fired = true;
        IvyStop();
    });
    IvyMainLoop();
    return !*fired;
}

inline double ms_between(Clock::time_point a, Clock::time_point b) {
    return std::chrono::duration<double, std::milli>(b - a).count();
}

}  // namespace loop_harness
