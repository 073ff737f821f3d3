// The bus tools' way out: SIGINT and SIGTERM end the bus loop, so that the
// program leaves the bus and closes what it holds on its own way out.
#pragma once

#include <signal.h>

#include <Ivy/ivyloop.h>

namespace tools {

inline void stop_loop(int) {
    IvyStop();  // async-signal-safe: it only wakes the loop
}

inline void stop_loop_on_signals() {
    struct sigaction sa {};
    sa.sa_handler = stop_loop;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}

}  // namespace tools
