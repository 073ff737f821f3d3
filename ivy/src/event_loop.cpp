// The loop itself, its stop request and the hooks of ivyloop.h.
//
// A stop request has to be safe from a signal handler, so it is only an
// atomic flag plus a write to an eventfd; the loop watches that eventfd like
// any descriptor and does the actual stopping on its own thread. The flag is
// checked before every run, and the eventfd stays readable until drained, so
// a signal that lands just before the loop starts waiting is not lost.
#include "event_loop.h"

#include <Ivy/ivy.h>
#include <Ivy/ivychannel.h>
#include <Ivy/ivyloop.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <asio/executor_work_guard.hpp>
#include <asio/posix/stream_descriptor.hpp>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>

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

struct Loop {
    // Hint 1: one thread runs this context, which lets Asio skip some work.
    asio::io_context context{1};
    asio::executor_work_guard<asio::io_context::executor_type> guard{context.get_executor()};
    asio::posix::stream_descriptor wake{context};
};

void arm_wake(Loop& loop);

void on_wake(Loop& loop, const asio::error_code& ec) {
    if (ec) return;
    std::uint64_t count = 0;
    // Drains the counter; EAGAIN (already drained) is fine.
    [[maybe_unused]] auto n = ::read(loop.wake.native_handle(), &count, sizeof count);
    arm_wake(loop);
    if (g_stop.load()) loop.context.stop();
}

void arm_wake(Loop& loop) {
    loop.wake.async_wait(asio::posix::stream_descriptor::wait_read,
                         [&loop](const asio::error_code& ec) { on_wake(loop, ec); });
}

Loop& make_loop() {
    // Never destroyed: see loop_context().
    auto* loop = new Loop;
    int fd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (fd < 0) {
        std::fprintf(stderr, "ivy: eventfd: %s (a stop from a signal is seen late)\n",
                     std::strerror(errno));
        return *loop;
    }
    asio::error_code ec;
    loop->wake.assign(fd, ec);
    if (ec) {
        std::fprintf(stderr, "ivy: watching the stop descriptor: %s\n", ec.message().c_str());
        ::close(fd);
        return *loop;
    }
    g_wake_fd.store(fd);
    arm_wake(*loop);
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
    try {
        ivy::loop_run();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "ivy: the loop cannot run: %s\n", e.what());
    }
}

void IvyStop(void) {
    ivy::loop_request_stop();
}

void IvyChannelStop(void) {
    ivy::loop_request_stop();
}

void IvySetBeforeSelectHook(IvyHookPtr before, void* data) {
    ivy::set_hook(ivy::g_before, before, data);
}

void IvySetAfterSelectHook(IvyHookPtr after, void* data) {
    ivy::set_hook(ivy::g_after, after, data);
}

}  // extern "C"
