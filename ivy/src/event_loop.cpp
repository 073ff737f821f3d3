// The loop itself, its stop request and the hooks of ivyloop.h.
//
// A stop request has to be safe from a signal handler, so it is only an
// atomic flag plus a write to a wake descriptor; the loop watches that
// descriptor like any other and does the actual stopping on its own thread.
// The flag is checked before every run, and the descriptor stays readable
// until drained, so a signal that lands just before the loop starts waiting
// is not lost. The descriptor is an eventfd, or a pipe where eventfd fails;
// with neither (no descriptor left at all) a timer checks the flag every
// stop_check_period instead: a stop is then seen that much later, never
// lost.
#include "event_loop.h"

#include <Ivy/ivy.h>
#include <Ivy/ivychannel.h>
#include <Ivy/ivyloop.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <asio/executor_work_guard.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <asio/steady_timer.hpp>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "diagnostics.h"
#include "facade_guard.h"

namespace ivy {
namespace {

static_assert(std::atomic<bool>::is_always_lock_free, "the stop flag must be signal-safe");
static_assert(std::atomic<int>::is_always_lock_free, "the wake descriptor must be signal-safe");

std::atomic<bool> g_stop{false};
std::atomic<int> g_wake_fd{-1};

struct Hook {
    IvyHookPtr fn = nullptr;
    void* data = nullptr;
};
Hook g_before;
Hook g_after;

// How often the stop flag is looked at when no descriptor can wake the loop.
constexpr std::chrono::milliseconds stop_check_period{50};

struct Loop {
    // Hint 1: one thread runs this context, which lets Asio skip some work.
    asio::io_context context{1};
    asio::executor_work_guard<asio::io_context::executor_type> guard{context.get_executor()};
    asio::posix::stream_descriptor wake{context};
    asio::steady_timer stop_check{context};
};

void arm_wake(Loop& loop);

// Drains the descriptor: the eventfd's counter in one read, a pipe's bytes
// until EAGAIN (a pipe full of stop requests is as good as one).
void on_wake(Loop& loop, const asio::error_code& ec) {
    if (ec) return;
    char bytes[64];
    while (::read(loop.wake.native_handle(), bytes, sizeof bytes) > 0) {
    }
    arm_wake(loop);
    if (g_stop.load()) loop.context.stop();
}

void arm_wake(Loop& loop) {
    loop.wake.async_wait(asio::posix::stream_descriptor::wait_read,
                         [&loop](const asio::error_code& ec) { on_wake(loop, ec); });
}

void arm_stop_check(Loop& loop) {
    loop.stop_check.expires_after(stop_check_period);
    loop.stop_check.async_wait([&loop](const asio::error_code& ec) {
        if (ec) return;
        arm_stop_check(loop);
        if (g_stop.load()) loop.context.stop();
    });
}

// The read end of a new wake descriptor, its write end in g_wake_fd (the
// same descriptor for an eventfd); -1 when none can be had.
int open_wake_descriptor() {
    const int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd >= 0) {
        g_wake_fd.store(fd);
        return fd;
    }
    report("eventfd: %s: a pipe wakes the loop for a stop instead", std::strerror(errno));
    int ends[2];
    if (::pipe2(ends, O_NONBLOCK | O_CLOEXEC) != 0) return -1;
    g_wake_fd.store(ends[1]);
    return ends[0];
}

bool watch_wake_descriptor(Loop& loop) {
    const int fd = open_wake_descriptor();
    if (fd < 0) return false;
    asio::error_code ec;
    loop.wake.assign(fd, ec);
    if (!ec) {
        arm_wake(loop);
        return true;
    }
    const int write_end = g_wake_fd.exchange(-1);
    if (write_end != fd) ::close(write_end);
    ::close(fd);
    return false;
}

Loop& make_loop() {
    // Never destroyed: see loop_context().
    auto* loop = new Loop;
    if (!watch_wake_descriptor(*loop)) {
        report("no descriptor to wake the loop (%s): a stop is seen within %lld ms",
               std::strerror(errno), static_cast<long long>(stop_check_period.count()));
        arm_stop_check(*loop);
    }
    return *loop;
}

Loop& the_loop() {
    static Loop& loop = make_loop();
    return loop;
}

void (*g_on_return)() = nullptr;

bool hooks_set() {
    return g_before.fn != nullptr || g_after.fn != nullptr;
}

// run() keeps Asio's per-thread handler memory alive for the whole run, so a
// steady loop allocates nothing per event. With hooks we must come back after
// every handler, which run_one() does at the price of that recycling; hooks
// are rare, so the fast path stays the default.
void run_some(Loop& loop) {
    if (!hooks_set()) {
        loop.context.run();
        return;
    }
    if (g_before.fn != nullptr) g_before.fn(g_before.data);
    loop.context.run_one();
    if (g_after.fn != nullptr) g_after.fn(g_after.data);
}

void set_hook(Hook& hook, IvyHookPtr fn, void* data) {
    hook = Hook{fn, data};
    // Leaves run() so that loop_run() picks the mode that fits the hooks.
    the_loop().context.stop();
}

}  // namespace

asio::io_context& loop_context() {
    return the_loop().context;
}

void loop_run() {
    Loop& loop = the_loop();
    while (!g_stop.load()) {
        loop.context.restart();
        try {
            run_some(loop);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "ivy: a loop handler failed: %s\n", e.what());
        } catch (...) {
            std::fprintf(stderr, "ivy: a loop handler failed\n");
        }
    }
    if (g_on_return != nullptr) g_on_return();
}

void loop_on_return(void (*fn)()) {
    g_on_return = fn;
}

void loop_request_stop() {
    // Signal handlers must leave errno as they found it.
    int saved_errno = errno;
    g_stop.store(true);
    int fd = g_wake_fd.load();
    if (fd >= 0) {
        std::uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(fd, &one, sizeof one);
    }
    errno = saved_errno;
}

void loop_reset_stop() {
    g_stop.store(false);
}

bool loop_stop_requested() {
    return g_stop.load();
}

}  // namespace ivy

extern "C" {

void IvyMainLoop(void) {
    // The loop itself is made on first use; with no descriptor left for its
    // epoll set that fails, and no exception may cross into C.
    ivy::guarded("IvyMainLoop", [] { ivy::loop_run(); });
}

void IvyStop(void) {
    ivy::loop_request_stop();
}

void IvyChannelStop(void) {
    ivy::loop_request_stop();
}

void IvySetBeforeSelectHook(IvyHookPtr before, void* data) {
    ivy::guarded("IvySetBeforeSelectHook", [&] { ivy::set_hook(ivy::g_before, before, data); });
}

void IvySetAfterSelectHook(IvyHookPtr after, void* data) {
    ivy::guarded("IvySetAfterSelectHook", [&] { ivy::set_hook(ivy::g_after, after, data); });
}

}  // extern "C"
