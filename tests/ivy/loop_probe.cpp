// What the loop and the C facade must survive that would change a process
// for good, each in a process of its own:
//
//   loop_probe no-eventfd          eventfd() fails: a signal's IvyStop still
//                                  stops the idle loop ("stopped")
//   loop_probe no-wake-descriptor  neither eventfd nor a non-blocking pipe
//                                  for the stop: the same ("stopped")
//   loop_probe no-loop             no epoll set, so no loop can be made:
//                                  every entry point of timer.h,
//                                  ivychannel.h, ivyloop.h and ivy.h returns
//                                  ("survived") instead of throwing into C
#include <Ivy/ivy.h>
#include <Ivy/ivychannel.h>
#include <Ivy/ivyloop.h>
#include <Ivy/timer.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "sandbox.h"

namespace {

void stop_loop(int) {
    IvyStop();
}

// Nothing else is due: only the signal can end the loop.
int stop_from_a_signal() {
    struct sigaction sa {};
    sa.sa_handler = stop_loop;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGALRM, &sa, nullptr);
    itimerval in_100ms{};
    in_100ms.it_value.tv_usec = 100000;
    setitimer(ITIMER_REAL, &in_100ms, nullptr);
    IvyMainLoop();
    std::puts("stopped");
    return 0;
}

void on_timer(TimerId, void*, unsigned long) {}
void on_read(Channel, IVY_HANDLE, void*) {}
void on_msg(IvyClientPtr, void*, int, char**) {}
void hook(void*) {}

int every_entry_point_without_a_loop() {
    TimerId timer = TimerRepeatAfter(1, 10, on_timer, nullptr);
    TimerModify(timer, 20);
    TimerRemove(timer);
    IvyChannelInit();
    Channel channel = IvyChannelAdd(0, nullptr, nullptr, on_read, nullptr);
    IvyChannelAddWritableEvent(channel);
    IvyChannelClearWritableEvent(channel);
    IvyChannelRemove(channel);
    IvySetBeforeSelectHook(hook, nullptr);
    IvySetAfterSelectHook(hook, nullptr);
    IvyInit("PROBE", nullptr, nullptr, nullptr, nullptr, nullptr);
    IvyBindMsg(on_msg, nullptr, "^(.*)");
    IvyStart("127.255.255.255:2999");
    IvySendMsg("hello");
    IvyAnnouncedAddressCount();
    IvyGetApplicationName(nullptr);
    IvyMainLoop();
    IvyStop();
    IvyTerminate();
    std::puts(timer == nullptr && channel == nullptr ? "survived" : "a loop was made after all");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const char* mode = argc > 1 ? argv[1] : "";
    if (std::strcmp(mode, "no-eventfd") == 0) {
        if (!sandbox::refuse_calls({SYS_eventfd2}, EMFILE)) return 2;
        return stop_from_a_signal();
    }
    // Asio's own wake-up falls back on a plain pipe(), which stays allowed;
    // the loop's stop descriptor, an eventfd or else a non-blocking pipe,
    // cannot be had.
    if (std::strcmp(mode, "no-wake-descriptor") == 0) {
        if (!sandbox::refuse_calls({SYS_eventfd2}, EMFILE) ||
            !sandbox::refuse_call_with(SYS_pipe2, 1, O_NONBLOCK | O_CLOEXEC, EMFILE)) {
            return 2;
        }
        return stop_from_a_signal();
    }
    // No epoll set: the loop itself cannot be made.
    if (std::strcmp(mode, "no-loop") == 0) {
        if (!sandbox::refuse_calls({SYS_epoll_create1}, EMFILE)) return 2;
        return every_entry_point_without_a_loop();
    }
    std::fprintf(stderr, "usage: loop_probe no-eventfd|no-wake-descriptor|no-loop\n");
    return 2;
}
