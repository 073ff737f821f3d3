#include "station/serial_port.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "station/station_protocol.h"
#include "station/steady_sleep.h"

namespace {

void configure_station_line(int fd) {
    termios attributes{};
    // Without the current attributes there is nothing sound to write back:
    // applying a zeroed record would wipe the local modes we promise to keep.
    if (tcgetattr(fd, &attributes) != 0) return;
    attributes.c_cflag = station_control_modes;
    tcsetattr(fd, TCSANOW, &attributes);
}

}  // namespace

void open_port(const char* path) {
    link_state.port_fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (link_state.port_fd < 0) {
        const int reason = errno;
        std::fprintf(stderr, "open_port: unable to open device %s - %s\n", path,
                     std::strerror(reason));
        std::exit(1);
    }
    configure_station_line(link_state.port_fd);
}

void send_to_port(const void* bytes, std::size_t count) {
    if (write(link_state.port_fd, bytes, count) < 0) {
        // Ignored on purpose: the exchange that follows notices a dead line.
    }
}

void close_port() {
    if (link_state.port_fd < 0) return;
    close(link_state.port_fd);
    link_state.port_fd = -1;
}

void reset_link() {
    std::fputs("Resetting communication\n", stderr);
    send_to_port(&reset_byte, 1);
    close_port();
    sleep_full(std::chrono::seconds(1));
    open_port(run_settings.device_path);
}
