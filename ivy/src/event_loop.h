// The one loop of the process: an Asio io_context run on the calling thread,
// with the C facade's timers and channels on top. Everything in the library
// that waits (sockets, timers, descriptors, the stop request) waits here.
#pragma once

#include <asio/io_context.hpp>

namespace ivy {

// The process-wide io_context. Created on first use, lives until exit.
asio::io_context& loop_context();

// Runs the loop until loop_request_stop(). Returns at once if a stop was
// requested since the last loop_reset_stop().
void loop_run();

// Async-signal-safe: sets a flag and wakes the loop through a descriptor.
void loop_request_stop();

// Forgets an earlier stop request (IvyInit calls it).
void loop_reset_stop();

}  // namespace ivy
