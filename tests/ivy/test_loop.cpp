// The loop: stopping it from a callback, a signal handler or beforehand, and
// the channels it watches (pipes, a descriptor epoll cannot watch).
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <asio/post.hpp>
#include <stdexcept>
#include <string>

#include "loop_harness.h"

namespace {

using loop_harness::Clock;
using loop_harness::ms_between;
using loop_harness::run_loop;
using std::chrono::milliseconds;

void stop_now(TimerId, void* calls, unsigned long) {
    ++*static_cast<int*>(calls);
    IvyStop();
}

TEST(LoopStop, StopBeforeTheLoopHoldsUntilReset) {
    ivy::loop_reset_stop();
    int calls = 0;
    // Far off: a loop that waited at all would show it, however loaded the machine.
    TimerId id = TimerRepeatAfter(TIMER_LOOP, 5000, stop_now, &calls);
    IvyStop();
    Clock::time_point start = Clock::now();
    IvyMainLoop();
    IvyMainLoop();  // still stopped: IvyInit is what clears it
    EXPECT_EQ(calls, 0);
    EXPECT_LT(ms_between(start, Clock::now()),
              static_cast<double>(test_support::scaled(milliseconds(500)).count()));

    ivy::loop_reset_stop();
    TimerModify(id, 10);
    IvyMainLoop();  // now runs until the timer stops it
    EXPECT_EQ(calls, 1);
    TimerRemove(id);
}

void throw_on_first(TimerId, void* calls, unsigned long) {
    if (++*static_cast<int*>(calls) == 1) throw std::runtime_error("timer");
    if (*static_cast<int*>(calls) == 3) IvyStop();
}

void throw_on_read(Channel, IVY_HANDLE fd, void* reads) {
    char c;
    if (::read(fd, &c, 1) == 1 && ++*static_cast<int*>(reads) == 1) {
        throw std::runtime_error("channel");
    }
}

TEST(LoopStop, ThrowingHandlersAreReportedAndEverythingGoesOn) {
    asio::post(ivy::loop_context(), [] { throw std::runtime_error("posted"); });
    int ticks = 0;
    TimerId timer = TimerRepeatAfter(TIMER_LOOP, 10, throw_on_first, &ticks);
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
    int reads = 0;
    Channel ch = IvyChannelAdd(fds[0], &reads, nullptr, throw_on_read, nullptr);
    ASSERT_EQ(::write(fds[1], "ab", 2), 2);

    testing::internal::CaptureStderr();
    bool stopped = run_loop(milliseconds(2000));
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_TRUE(stopped) << "the timer died with its first call";
    EXPECT_EQ(ticks, 3);
    EXPECT_EQ(reads, 2) << "the channel died with its first read";
    EXPECT_NE(err.find("ivy: "), std::string::npos);
    TimerRemove(timer);
    IvyChannelRemove(ch);
    ::close(fds[0]);
    ::close(fds[1]);
}

void on_alarm(int) {
    IvyStop();
}

TEST(LoopStop, SignalHandlerStopsALoopThatIsWaiting) {
    struct sigaction sa {};
    sa.sa_handler = on_alarm;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;  // the loop must not depend on EINTR
    struct sigaction old {};
    ASSERT_EQ(sigaction(SIGALRM, &sa, &old), 0);
    itimerval in_50ms{};
    in_50ms.it_value.tv_usec = 50000;
    ASSERT_EQ(setitimer(ITIMER_REAL, &in_50ms, nullptr), 0);

    // Nothing else is due before the watchdog: only the signal can end it.
    Clock::time_point start = Clock::now();
    EXPECT_TRUE(run_loop(milliseconds(5000)));
    EXPECT_GE(ms_between(start, Clock::now()), 45.0);
    sigaction(SIGALRM, &old, nullptr);
}

// A stop from a signal handler is never lost, whatever descriptors the loop
// could get for its wake-up: the probe's loop has nothing else to wake it.
TEST(LoopStop, SignalStopsTheLoopWithoutEventfdOrAnyWakeDescriptor) {
    const std::string probe = std::string(ANEMOBUS_BIN_DIR) + "/tests/ivy/loop_probe";
    const std::pair<const char*, const char*> cases[] = {
        {"no-eventfd", "a pipe wakes the loop"},
        {"no-wake-descriptor", "a stop is seen within 50 ms"},
    };
    for (const auto& [mode, fallback] : cases) {
        SCOPED_TRACE(mode);
        test_support::Child child(probe, {mode});
        EXPECT_EQ(child.wait_exit(milliseconds(5000)), 0) << child.describe();
        EXPECT_EQ(child.out(), "stopped\n") << child.describe();
        EXPECT_NE(child.err().find(fallback), std::string::npos) << child.describe();
    }
}

// Without an epoll set (as with no descriptor left for one) no loop can be
// made: every entry point of the facade reports it and returns, none throws
// into C (which would abort).
TEST(LoopStop, EveryEntryPointSurvivesALoopThatCannotBeMade) {
    test_support::Child child(std::string(ANEMOBUS_BIN_DIR) + "/tests/ivy/loop_probe", {"no-loop"});
    EXPECT_EQ(child.wait_exit(milliseconds(5000)), 0) << child.describe();
    EXPECT_EQ(child.out(), "survived\n") << child.describe();
    for (const char* call :
         {"TimerRepeatAfter failed", "IvyChannelAdd failed", "IvyMainLoop failed"}) {
        EXPECT_NE(child.err().find(call), std::string::npos) << call << "\n" << child.describe();
    }
}

int hook_calls = 0;
void count_hook(void*) {
    ++hook_calls;
}

TEST(LoopStop, HooksRunAroundTheWaitsAndCanBeRemoved) {
    hook_calls = 0;
    IvySetBeforeSelectHook(count_hook, nullptr);
    IvySetAfterSelectHook(count_hook, nullptr);
    int calls = 0;
    TimerRepeatAfter(1, 10, stop_now, &calls);
    EXPECT_TRUE(run_loop(milliseconds(2000)));
    EXPECT_GE(hook_calls, 2);
    IvySetBeforeSelectHook(nullptr, nullptr);
    IvySetAfterSelectHook(nullptr, nullptr);
    int before = hook_calls;
    TimerRepeatAfter(1, 10, stop_now, &calls);
    EXPECT_TRUE(run_loop(milliseconds(2000)));
    EXPECT_EQ(hook_calls, before);
}

// A pipe whose ends close with the test.
struct Pipe {
    int r = -1, w = -1;
    Pipe() {
        int fds[2];
        if (::pipe2(fds, O_NONBLOCK | O_CLOEXEC) == 0) r = fds[0], w = fds[1];
    }
    ~Pipe() {
        if (r >= 0) ::close(r);
        if (w >= 0) ::close(w);
    }
    void close_write() {
        ::close(w);
        w = -1;
    }
};

struct Reader {
    std::string got;
    int reads = 0, deletes = 0, eofs = 0;
    bool remove_on_read = false;
    bool remove_on_eof = false;
    Channel self = nullptr;
};

void reader_delete(void* data) {
    ++static_cast<Reader*>(data)->deletes;
    IvyStop();
}

void reader_read(Channel ch, IVY_HANDLE fd, void* data) {
    auto* r = static_cast<Reader*>(data);
    ++r->reads;
    char buf[256];
    ssize_t n = ::read(fd, buf, sizeof buf);
    if (n > 0) r->got.append(buf, static_cast<std::size_t>(n));
    if (n == 0) ++r->eofs;
    if (r->remove_on_read || (n == 0 && r->remove_on_eof)) {
        IvyChannelRemove(ch);
        IvyChannelRemove(ch);  // twice, inside its own callback
    }
}

TEST(Channels, RemovalInsideReadEndsCallsDeletesOnceAndLeavesTheDescriptorOpen) {
    Pipe p;
    Reader r;
    r.remove_on_read = true;
    r.self = IvyChannelAdd(p.r, &r, reader_delete, reader_read, nullptr);
    ASSERT_NE(r.self, nullptr);
    ASSERT_EQ(::write(p.w, "abc", 3), 3);
    EXPECT_TRUE(run_loop(milliseconds(2000)));  // reader_delete stops it
    ASSERT_EQ(::write(p.w, "more", 4), 4);
    run_loop(milliseconds(60));
    IvyChannelRemove(r.self);  // stale now
    EXPECT_EQ(r.got, "abc");
    EXPECT_EQ(r.reads, 1);
    EXPECT_EQ(r.deletes, 1);
    char buf[8];
    EXPECT_EQ(::read(p.r, buf, sizeof buf), 4) << "the library closed a descriptor it does not own";
}

TEST(Channels, HangUpDeliversTheLastBytesAndEndOfFileThenDeletesOnce) {
    Pipe p;
    Reader r;
    r.self = IvyChannelAdd(p.r, &r, reader_delete, reader_read, nullptr);
    ASSERT_NE(r.self, nullptr);
    ASSERT_EQ(::write(p.w, "last", 4), 4);
    p.close_write();
    EXPECT_TRUE(run_loop(milliseconds(2000)));
    run_loop(milliseconds(30));  // no read or delete after the hang-up
    EXPECT_EQ(r.got, "last");
    EXPECT_EQ(r.eofs, 1) << "a reader waiting for read() to return 0 must see it";
    EXPECT_EQ(r.reads, 2);
    EXPECT_EQ(r.deletes, 1);
    IvyChannelRemove(r.self);
    EXPECT_EQ(r.deletes, 1);
}

TEST(Channels, DescriptorEpollCannotWatchStillReadsToEndOfFile) {
    int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    Reader r;
    r.remove_on_eof = true;
    r.self = IvyChannelAdd(fd, &r, reader_delete, reader_read, nullptr);
    ASSERT_NE(r.self, nullptr);
    EXPECT_TRUE(run_loop(milliseconds(2000)));
    EXPECT_EQ(r.eofs, 1);
    EXPECT_EQ(r.deletes, 1);
    ::close(fd);
}

struct Writer {
    int writes = 0;
};

void writer_write(Channel ch, IVY_HANDLE, void* data) {
    auto* w = static_cast<Writer*>(data);
    if (++w->writes == 3) {
        IvyChannelClearWritableEvent(ch);
        IvyStop();
    }
}
void never_read(Channel, IVY_HANDLE, void*) {}

TEST(Channels, WritableEventsUntilCleared) {
    Pipe p;
    Writer w;
    Channel ch = IvyChannelAdd(p.w, &w, nullptr, never_read, writer_write);
    ASSERT_NE(ch, nullptr);
    IvyChannelAddWritableEvent(ch);
    EXPECT_TRUE(run_loop(milliseconds(2000)));
    run_loop(milliseconds(30));
    EXPECT_EQ(w.writes, 3);
    IvyChannelRemove(ch);

    EXPECT_EQ(IvyChannelAdd(p.r, nullptr, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(IvyChannelAdd(-1, nullptr, nullptr, never_read, nullptr), nullptr);
}

}  // namespace
