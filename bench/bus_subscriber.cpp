// The far end of the delivery benchmark: joins the bus given as its only
// argument, counts the messages matching "^bench ([0-9]+)", and reports the
// running count on standard output (as "<count>\n") every 256 messages and
// every few milliseconds while it changes. Ends when standard input closes,
// so it never outlives the benchmark that started it.
#include <Ivy/ivy.h>
#include <Ivy/ivychannel.h>
#include <Ivy/ivyloop.h>
#include <Ivy/timer.h>
#include <unistd.h>

#include <cstdio>
#include <string>

namespace {

long received = 0;
long reported = 0;

void report() {
    if (received == reported) return;
    reported = received;
    std::printf("%ld\n", received);
    std::fflush(stdout);
}

void on_message(IvyClientPtr, void*, int, char**) {
    if (++received % 256 == 0) report();
}

void on_tick(TimerId, void*, unsigned long) {
    report();
}

void on_input(Channel channel, IVY_HANDLE fd, void*) {
    char buf[256];
    if (::read(fd, buf, sizeof buf) > 0) return;
    IvyChannelRemove(channel);
    IvyStop();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s bus\n", argv[0]);
        return 1;
    }
    std::string name = "bench-subscriber-" + std::to_string(::getpid());
    IvyInit(name.c_str(), nullptr, nullptr, nullptr, nullptr, nullptr);
    IvyBindMsg(on_message, nullptr, "^bench ([0-9]+)");
    IvyChannelAdd(STDIN_FILENO, nullptr, nullptr, on_input, nullptr);
    TimerRepeatAfter(TIMER_LOOP, 2, on_tick, nullptr);
    IvyStart(argv[1]);
    IvyMainLoop();
    IvyTerminate();
    return 0;
}
