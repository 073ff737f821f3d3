// The two station stages of every poll: wake the station, then ask it for
// one packet and receive it into loop_packet.
//
// Principles:
//  - Both stages talk only through link_state.port_fd, are paced by fixed
//    waits (30 ms per wake-up attempt, 120 ms before the acknowledgement is
//    read) and never wait on the descriptor.
//  - A stage that fails writes one diagnostic line to standard error, resets
//    the link and returns 0 (success is 1); its caller only stops. Nothing is counted or
//    remembered between calls apart from loop_packet and the port.
//  - No allocation: the reply and request buffers live on the stack.
#pragma once

#include "relay_state.h"

// Sends a line feed and reads back up to two bytes 30 ms later, up to
// retries + 1 times, until one read gives line feed, carriage return.
// Returns 1 then. Otherwise reports the last read ("no bytes received",
// or the two bytes it left in the reply area), resets the link and returns
// 0.
int wake_station(int retries);

// Sends "LOOP 1\n", waits 120 ms, reads the acknowledgement byte and then,
// with no further wait, the 99 bytes of loop_packet in one read. Returns 1
// when all 99 arrived. A missing or wrong acknowledgement, or a short packet,
// is reported, the link is reset and 0 returned; the bytes of a short
// packet stay in loop_packet unused.
int request_loop_packet();
