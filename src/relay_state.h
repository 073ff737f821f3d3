// The relay's three process-wide records, declared in one place so that every
// layer reads them from here and no lower layer reaches up into app/.
//
// Principles:
//  - Each field has one writer, named beside it; everyone else only reads.
//  - All three live for the whole run and are never reallocated: nothing is
//    allocated per poll.
//  - TimerId is the bus library's opaque handle; only the run cycle touches
//    poll_timer, the station layer merely sees the type.
#pragma once

#include <cstdint>

#include <Ivy/timer.h>

#include "station/station_protocol.h"

// The values taken from the command line. Filled once by parse_command_line
// (app/command_line) before the port or the bus is touched; read-only after.
struct RunSettings {
    const char* device_path = "/dev/ttyUSB1";
    // Handed unchanged to the bus library: addresses and port.
    const char* bus_domain = "127.255.255.255:2010";
    std::int32_t poll_period_ms = 1000;
    std::int32_t aircraft_id = 1;
    bool send_alive = false;
};

struct LinkState {
    int port_fd = -1;              // written by station/serial_port only
    TimerId poll_timer = nullptr;  // written by app/run_cycle only
};

extern RunSettings run_settings;
extern LinkState link_state;

// The last packet received: zeroed by the run cycle at start, filled by the
// station exchange, read by the weather publication.
extern LoopPacket loop_packet;
