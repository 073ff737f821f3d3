// The timers of timer.h, all driven by one Asio steady_timer set to the
// earliest due time.
//
// Each timer keeps its grid: the next due time is the previous one plus the
// period, advanced past "now" in whole periods when the call was late by more
// than a period. Those skipped ticks are the merged ones: one call stands for
// all of them, with delta telling how late the oldest was. The due time is
// advanced before the callback runs, so the callback's own duration counts as
// lateness for the next call, and TimerModify inside the callback wins.
//
// Finding the earliest timer is a linear scan: programs on the bus have a
// handful of timers. A heap would be the fix if that ever changes.
#include <Ivy/timer.h>

#include <algorithm>
#include <asio/steady_timer.hpp>
#include <chrono>
#include <exception>
#include <vector>

#include "diagnostics.h"
#include "event_loop.h"
#include "facade_guard.h"
#include "handle_table.h"
#include "ivy_limits.h"

namespace ivy {
namespace {

using Clock = std::chrono::steady_clock;
using Handle = std::uintptr_t;

// Longer periods are served as this: "never" in practice, and far enough
// from the clock's range that due-time arithmetic cannot overflow.
constexpr std::chrono::hours max_period{24 * 365 * 100};

struct Timer {
    TimerCb cb = nullptr;
    void* data = nullptr;
    Clock::time_point due;
    Clock::duration period{};
    int remaining = 0;  // calls left; 0: unlimited
};

struct TimerSet {
    HandleTable<Timer> table;
    asio::steady_timer driver{loop_context()};
    std::uint64_t wait_seq = 0;  // tells the current wait from cancelled ones
    bool armed = false;
    Clock::time_point armed_at;
    std::vector<Handle> spare_batch;  // reused so that a tick allocates nothing
};

TimerSet& timers() {
    // Never destroyed, like the loop it waits on.
    static TimerSet& set = *new TimerSet;
    return set;
}

Clock::duration period_of(long timeout_ms) {
    auto period = std::chrono::milliseconds(std::max(timeout_ms, min_timer_period_ms));
    return std::min<Clock::duration>(period, max_period);
}

void dispatch();

void rearm() {
    TimerSet& set = timers();
    bool any = false;
    Clock::time_point next;
    set.table.for_each([&](Handle, const Timer& t) {
        if (!any || t.due < next) next = t.due;
        any = true;
    });
    if (!any) {
        if (set.armed) set.driver.cancel();
        set.armed = false;
        return;
    }
    if (set.armed && set.armed_at == next) return;
    set.driver.expires_at(next);  // cancels the wait under way, if any
    set.armed = true;
    set.armed_at = next;
    std::uint64_t seq = ++set.wait_seq;
    set.driver.async_wait([seq](const asio::error_code& ec) {
        if (ec || seq != timers().wait_seq) return;
        timers().armed = false;
        dispatch();
    });
}

// Calls one timer that is due, first moving its due time to the next grid
// point after now (which merges every tick missed meanwhile).
void fire(Handle handle, Timer& t) {
    Clock::time_point now = Clock::now();
    if (t.due > now) return;  // modified by an earlier callback of this dispatch
    Clock::duration late = now - t.due;
    auto delta = std::chrono::duration_cast<std::chrono::milliseconds>(late).count();
    t.due += t.period * (late / t.period + 1);
    bool last = t.remaining > 0 && --t.remaining == 0;
    // Copied: the callback may create timers, which can move t.
    TimerCb cb = t.cb;
    void* data = t.data;
    cb(reinterpret_cast<TimerId>(handle), data, static_cast<unsigned long>(delta));
    // Harmless if the callback already removed it.
    if (last) timers().table.erase(handle);
}

// The timers due now are collected first, so that a timer created by one of
// the callbacks waits for a later dispatch; each is looked up again before its
// call, so one removed by an earlier callback is skipped.
// Runs at the end of a dispatch, also when a callback threw: the loop goes on
// after a throwing handler, and the timers must go on with it. A throw from
// here, during that unwinding, would end the process, so a failure to re-arm
// (Asio's timer, or memory) is reported instead, and the timers are marked
// unarmed so that the next TimerRepeatAfter, TimerModify or TimerRemove
// re-arms.
struct EndOfDispatch {
    std::vector<Handle>& batch;
    ~EndOfDispatch() {
        timers().spare_batch.swap(batch);
        try {
            rearm();
        } catch (const std::exception& e) {
            timers().armed = false;
            report("timers stopped: cannot wait for the next one: %s", e.what());
        } catch (...) {
            timers().armed = false;
            report("timers stopped: cannot wait for the next one");
        }
    }
};

void dispatch() {
    TimerSet& set = timers();
    std::vector<Handle> batch;
    batch.swap(set.spare_batch);
    batch.clear();
    EndOfDispatch end{batch};
    Clock::time_point now = Clock::now();
    set.table.for_each([&](Handle h, const Timer& t) {
        if (t.due <= now) batch.push_back(h);
    });
    // Not stable_sort: that one may allocate a buffer on every tick.
    std::sort(batch.begin(), batch.end(), [&set](Handle a, Handle b) {
        Clock::time_point da = set.table.find(a)->due, db = set.table.find(b)->due;
        return da != db ? da < db : a < b;
    });
    for (Handle h : batch) {
        if (Timer* t = set.table.find(h)) fire(h, *t);
    }
}

Handle handle_of(TimerId id) {
    return reinterpret_cast<Handle>(id);
}

}  // namespace
}  // namespace ivy

// Each entry point is guarded: the first one made builds the loop, which
// throws when no descriptor is left for it, and memory can run out.
extern "C" {

TimerId TimerRepeatAfter(int count, long timeout, TimerCb cb, void* user_data) {
    if (cb == nullptr) return nullptr;
    return ivy::guarded("TimerRepeatAfter", [&] {
        ivy::Timer t;
        t.cb = cb;
        t.data = user_data;
        t.period = ivy::period_of(timeout);
        t.due = ivy::Clock::now() + t.period;
        t.remaining = count > 0 ? count : 0;
        ivy::Handle h = ivy::timers().table.insert(t);
        ivy::rearm();
        return reinterpret_cast<TimerId>(h);
    });
}

void TimerModify(TimerId id, long timeout) {
    ivy::guarded("TimerModify", [&] {
        ivy::Timer* t = ivy::timers().table.find(ivy::handle_of(id));
        if (t == nullptr) return;
        t->period = ivy::period_of(timeout);
        t->due = ivy::Clock::now() + t->period;
        ivy::rearm();
    });
}

void TimerRemove(TimerId id) {
    ivy::guarded("TimerRemove", [&] {
        if (ivy::timers().table.erase(ivy::handle_of(id))) ivy::rearm();
    });
}

}  // extern "C"
