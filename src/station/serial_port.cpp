#include "station/serial_port.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
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

// Makes the open descriptor the only user of the device. Two locks, since
// each covers what the other misses: flock holds against any other relay
// (root included, whom TIOCEXCL does not stop) and against tools that take
// the same lock; TIOCEXCL refuses every further open of the terminal, even by
// programs that take no lock at all. A device that is not a terminal keeps
// the flock alone. Returns 0, or the errno that tells why the device is not
// ours: a lock held elsewhere reads as EBUSY, the reason a terminal in
// exclusive use gives, so that both ways of being refused look alike.
int lock_exclusively(int fd) {
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) return errno == EWOULDBLOCK ? EBUSY : errno;
    if (ioctl(fd, TIOCEXCL) != 0 && errno != ENOTTY) return errno;
    return 0;
}

[[noreturn]] void fail_to_open(const char* path, int reason) {
    std::fprintf(stderr, "open_port: unable to open device %s - %s\n", path, std::strerror(reason));
    std::exit(1);
}

}  // namespace

void open_port(const char* path) {
    link_state.port_fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (link_state.port_fd < 0) fail_to_open(path, errno);
    if (const int reason = lock_exclusively(link_state.port_fd); reason != 0) {
        close(link_state.port_fd);
        link_state.port_fd = -1;
        fail_to_open(path, reason);
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
    // A pseudo-terminal outlives our close while its master is open, and so
    // would the exclusive mode: the relay's own reopen after a reset would
    // then be refused.
    ioctl(link_state.port_fd, TIOCNXCL);
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
