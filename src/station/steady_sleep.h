// Pacing of the station exchanges.
//
// Principles: the protocol is paced by fixed waits, never by waiting on the
// descriptor, so a wait must last its whole length. A signal (SIGINT) landing
// in the middle must neither cut it short (the station would not have had its
// time to answer, and a spurious failure would be reported) nor stretch it
// (the monotonic deadline is fixed before the first sleep).
#pragma once

#include <chrono>

// Sleeps until `duration` has passed on the monotonic clock, resuming after
// every interruption. Durations of zero or less return at once.
void sleep_full(std::chrono::microseconds duration);
