// The serial port through which the station is reached.
//
// Principles:
//  - One port, one descriptor: link_state.port_fd, replaced on every reset.
//    Only this module opens it; closing it belongs here too (the shutdown
//    calls close_port).
//  - The port is opened non-blocking and stays so: every read returns at once
//    with what the line discipline holds. The exchanges are paced by fixed
//    waits, not by waiting on the descriptor.
//  - Only the control-mode word is replaced (19200 baud, 8N1, receiver on,
//    modem lines ignored). Input, output and local modes and the control
//    characters are left as found, and pending input is never flushed: a late
//    byte is taken by the next read.
//  - Results of writes, of close and of the attribute calls are deliberately
//    ignored: a dead line shows up as a failed exchange, which resets it.
//  - The port belongs to one relay: it is locked exclusively (flock and the
//    terminal's exclusive mode) as it is opened, and released as it is
//    closed. A device another process holds counts as one that cannot be
//    opened.
//  - A port that cannot be opened, at start or on a reset, ends the process
//    with status 1: it is the one fault the relay cannot work around.
#pragma once

#include <termios.h>

#include <cstddef>

#include "relay_state.h"

// On Linux this is 0x8BE.
inline constexpr tcflag_t station_control_modes = B19200 | CS8 | CREAD | CLOCAL;

// Opens path read-write, without becoming its controlling terminal,
// non-blocking, into link_state.port_fd, locks it exclusively, then replaces
// its control-mode word. A device that is not a terminal is used as it is
// (locked by flock only). If the open fails, or the device is held by another
// process, writes "open_port: unable to open device <path> - <reason>" to
// standard error (for a held device the reason is EBUSY's text, "Device or
// resource busy") and exits with status 1.
void open_port(const char* path);

// Writes one line feed to the station, closes the port, waits one full second
// and opens run_settings.device_path again (exiting as open_port does if it
// has gone). Announces itself with "Resetting communication" on standard error.
void reset_link();

// Leaves exclusive mode, closes the port (which drops the lock) and forgets
// its descriptor; a closed port is left alone.
void close_port();

// Writes bytes to the port; the result is ignored (see above).
void send_to_port(const void* bytes, std::size_t count);
