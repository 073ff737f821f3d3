// Fault reports of the agent: one line on standard error, "ivy: " first.
//
// Principles: the library prints nothing in normal operation (a program that
// uses it owns its standard error), so only faults come here: a hostile or
// broken peer, an unusable bus address, a socket that failed. Anything a peer
// supplied is quoted through quote(), bounded and with control bytes escaped,
// so that a peer can neither flood the log with one line nor forge lines in
// it. A peer could still send many faulty lines: reports are rate-limited
// (a burst, then about one a second), and the number suppressed is told in
// the next report that gets through.
#pragma once

#include "text.h"

namespace ivy {

// Writes "ivy: <formatted>\n" to stderr unless the rate limit holds it back.
void report(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace ivy
