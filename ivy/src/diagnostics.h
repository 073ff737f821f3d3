// Fault reports of the agent: one line on standard error, "ivy: " first.
//
// Principles: the library prints nothing in normal operation (a program that
// uses it owns its standard error), so only faults come here: a hostile or
// broken peer, an unusable bus address, a socket that failed. Anything a peer
// supplied is quoted through quote(), bounded and with control bytes escaped,
// so that a peer can neither flood the log with one line nor forge lines in
// it. A peer could still send many faulty lines: reports are rate-limited
// per kind (a burst, then about one a second), and the number suppressed is
// told in the next report of that kind that gets through. A kind is one
// format string, that is one call site: a flood of one fault cannot hide
// another, and a report made once (Die, a sandbox refusing a call) always
// appears.
#pragma once

#include "text.h"

namespace ivy {

// Writes "ivy: <formatted>\n" to stderr unless the rate limit of its kind
// (fmt) holds it back. fmt must be a string literal: its address is the kind.
void report(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace ivy
