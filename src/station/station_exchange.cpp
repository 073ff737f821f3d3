#include "station/station_exchange.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "station/serial_port.h"
#include "station/steady_sleep.h"

using std::chrono::milliseconds;

namespace {

constexpr milliseconds wake_answer_time{30};
constexpr milliseconds ack_time{120};

void report_wake_failure(long count, const unsigned char (&reply)[2]) {
    if (count <= 0) {
        std::fputs("Could not wake up station: no bytes received\n", stderr);
    } else {
        std::fprintf(stderr, "Could not wake up station: received %02x:%02x instead of \\n\\r\n",
                     reply[0], reply[1]);
    }
}

}  // namespace

int wake_station(int retries) {
    unsigned char reply[2];
    long count = 0;
    for (;;) {
        // Cleared for every attempt, so that a byte left over from an earlier
        // attempt can neither complete a later one-byte read into a false
        // answer nor be reported as if the last read had delivered it.
        reply[0] = reply[1] = 0;
        send_to_port(&wake_byte, 1);
        sleep_full(wake_answer_time);
        count = read(link_state.port_fd, reply, sizeof reply);
        if (is_wake_answer(reply, count)) return 1;
        if (retries <= 0) break;
        --retries;
    }
    report_wake_failure(count, reply);
    reset_link();
    return 0;
}

int request_loop_packet() {
    char request[loop_request_capacity];
    send_to_port(request, format_loop_request(request));
    sleep_full(ack_time);

    unsigned char ack = 0;
    if (read(link_state.port_fd, &ack, 1) != 1 || ack != ack_byte) {
        std::fputs("Failed to receive ACK from station\n", stderr);
        reset_link();
        return 0;
    }
    const long count = read(link_state.port_fd, loop_packet.data(), loop_packet.size());
    if (count == static_cast<long>(loop_packet.size())) return 1;
    // The count is printed as read returned it, -1 included: it tells a
    // silent line from a short packet.
    std::fprintf(stderr, "Received packet is incomplete, only %i of %i bytes\n",
                 static_cast<int>(count), static_cast<int>(loop_packet.size()));
    reset_link();
    return 0;
}
