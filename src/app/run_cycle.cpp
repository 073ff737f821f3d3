#include "app/run_cycle.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>

#include <Ivy/ivy.h>
#include <Ivy/ivyloop.h>

#include "app/bus_status.h"
#include "publish/weather_messages.h"
#include "station/serial_port.h"
#include "station/station_exchange.h"

namespace {

constexpr int wake_retries = 3;

// Written by the handler, read by the loop; the pipe makes the loop look.
volatile std::sig_atomic_t interrupt_requested = 0;
int interrupt_pipe[2] = {-1, -1};
bool shut_down = false;

void shut_down_once() {
    if (shut_down) return;
    shut_down = true;
    IvyStop();
    TimerRemove(link_state.poll_timer);
    close_port();
}

void on_interrupt_pipe(Channel, IVY_HANDLE fd, void*) {
    char drained[64];
    while (read(fd, drained, sizeof drained) > 0) {
    }
    if (interrupt_requested) shut_down_once();
}

}  // namespace

void handle_interrupt(int) {
    const int saved_errno = errno;
    interrupt_requested = 1;
    // Non-blocking: with the pipe full the loop is already due to wake, and
    // a handler must never block.
    const char wake = 1;
    [[maybe_unused]] const auto written = write(interrupt_pipe[1], &wake, 1);
    errno = saved_errno;
}

void install_interrupt_handler() {
    struct sigaction action {};
    sigemptyset(&action.sa_mask);
    if (pipe2(interrupt_pipe, O_NONBLOCK | O_CLOEXEC) == 0) {
        action.sa_handler = handle_interrupt;
        action.sa_flags = SA_RESTART;
    } else {
        // Without the pipe nothing could wake the loop: SIGINT keeps its
        // default action, set here in case whoever started us ignored it.
        std::fprintf(stderr, "install_interrupt_handler: unable to create pipe - %s\n",
                     std::strerror(errno));
        action.sa_handler = SIG_DFL;
    }
    sigaction(SIGINT, &action, nullptr);
    sigset_t interrupt_only;
    sigemptyset(&interrupt_only);
    sigaddset(&interrupt_only, SIGINT);
    sigprocmask(SIG_UNBLOCK, &interrupt_only, nullptr);
}

bool join_bus(const char* bus_domain) {
    IvyInit("anemobus", "READY", nullptr, nullptr, nullptr, nullptr);
    IvyStart(bus_domain);
    return bus_joined();
}

void start_polling(std::int32_t poll_period_ms) {
    link_state.poll_timer = TimerRepeatAfter(0, poll_period_ms, poll_station, nullptr);
    // Watched only now: an interrupt that came earlier left its byte in the
    // pipe, so the loop's first pass shuts down what by now exists.
    if (interrupt_pipe[0] >= 0) {
        IvyChannelAdd(interrupt_pipe[0], nullptr, nullptr, on_interrupt_pipe, nullptr);
    }
}

void poll_station(TimerId, void*, unsigned long) {
    if (!wake_station(wake_retries)) return;
    if (!request_loop_packet()) return;
    publish_weather();
}
