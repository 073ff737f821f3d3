// What the loop and the C facade must survive that would change a process
// for good, each in a process of its own:
//
//   loop_probe no-eventfd          eventfd() fails: a signal's IvyStop still
//                                  stops the idle loop ("stopped")
//   loop_probe no-wake-descriptor  no descriptor left after the loop's own:
//                                  the same ("stopped")
//   loop_probe no-loop             no descriptor at all, so no loop can be
//                                  made: every entry point of timer.h,
//                                  ivychannel.h, ivyloop.h and ivy.h returns
//                                  ("survived") instead of throwing into C
#include <Ivy/ivy.h>
#include <Ivy/ivychannel.h>
#include <Ivy/ivyloop.h>
#include <Ivy/timer.h>
#include <signal.h>
#include <sys/resource.h>
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

// Descriptors 0, 1 and 2 only, and `more` new ones at most.
bool only_standard_descriptors_and(rlim_t more) {
    rlimit now{};
    getrlimit(RLIMIT_NOFILE, &now);
    for (rlim_t fd = 3; fd < now.rlim_cur && fd < 65536; ++fd) ::close(static_cast<int>(fd));
    return sandbox::limit_descriptors(3 + more);
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
    // The loop's own: its epoll set, Asio's wake-up eventfd and its timerfd.
    if (std::strcmp(mode, "no-wake-descriptor") == 0) {
        if (!only_standard_descriptors_and(3)) return 2;
        return stop_from_a_signal();
    }
    if (std::strcmp(mode, "no-loop") == 0) {
        if (!only_standard_descriptors_and(0)) return 2;
        return every_entry_point_without_a_loop();
    }
    std::fprintf(stderr, "usage: loop_probe no-eventfd|no-wake-descriptor|no-loop\n");
    return 2;
}
