// The run cycle: bring the relay up, poll the station on every tick of a
// repeating bus timer, and take everything down on SIGINT.
//
// Principles:
//  - The bus library's main loop is the only loop; the process has one
//    thread. A poll runs synchronously inside the loop, waits included.
//  - The SIGINT handler does nothing but note the interrupt and wake the
//    loop through a self-pipe. The loop then runs the shutdown (stop the
//    loop, remove the poll timer, close the port), in that order and once.
//    So an interrupt in the middle of a poll lets the poll finish; one that
//    arrives before the port, bus and timer exist touches none of them, and
//    is acted on at the loop's first pass.
//  - The process prints nothing on the way out.
#pragma once

#include <cstdint>

#include <Ivy/timer.h>

// Creates the self-pipe, installs handle_interrupt for SIGINT (SA_RESTART)
// and unblocks SIGINT, so that an interrupt that was pending or blocked by
// whoever started us is delivered to the handler. Should the pipe not be
// created, that is said on stderr and SIGINT gets its default action (even
// if it was ignored): the process still ends on it.
void install_interrupt_handler();

// Prepares the bus connection as "anemobus" with the ready message "READY"
// and joins the bus named by bus_domain, which is handed over unchanged.
// Returns false when the library could use no address of that bus (it has
// reported why; see bus_status.h).
bool join_bus(const char* bus_domain);

// Starts the repeating poll timer (period handed over unchanged, 0 or less
// included) into link_state.poll_timer, then lets the loop watch for
// interrupts. Call once the port is open and the bus joined.
void start_polling(std::int32_t poll_period_ms);

// The timer callback: wake the station, request a packet, publish it,
// stopping at the first stage that fails. Its arguments are ignored.
void poll_station(TimerId timer, void* user_data, unsigned long delay);

// The SIGINT handler: async-signal-safe, ignores the signal number.
void handle_interrupt(int signal_number);
