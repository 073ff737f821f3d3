// The one loop of the process: an Asio io_context run on the calling thread,
// with the C facade's timers and channels on top. Everything in the library
// that waits (sockets, timers, descriptors, the stop request) waits here.
//
// Principles: one thread runs the loop and every handler; nothing here throws
// across the loop; the only entry point that is safe from a signal handler
// (or another thread) is loop_request_stop().
#pragma once

#include <asio/io_context.hpp>

namespace ivy {

// The process-wide io_context. Created on first use, lives until exit (never
// destroyed, so handlers still queued at exit cannot run against freed state).
asio::io_context& loop_context();

// Runs the loop on the calling thread until loop_request_stop(). Returns at
// once if a stop was requested since the last loop_reset_stop(); the request
// stays in force (a second loop_run() also returns at once) until reset.
// A handler that throws is reported on standard error and the loop goes on.
void loop_run();

// fn is called each time loop_run() returns: what handlers left to be done
// "when the handler returns" must not wait for a loop that may never run again.
void loop_on_return(void (*fn)());

// Async-signal-safe: sets a flag and wakes the loop through a descriptor.
// Handlers already running finish; loop_run() returns right after.
void loop_request_stop();

// Forgets an earlier stop request (IvyInit calls it).
void loop_reset_stop();

// Whether a stop is requested and not yet reset.
bool loop_stop_requested();

}  // namespace ivy
