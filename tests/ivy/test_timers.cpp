// Timers of the loop: grid without drift, merged ticks, counts, removal from
// anywhere, stale handles, periods that would spin.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <new>
#include <thread>
#include <vector>

#include "loop_harness.h"

// Every allocation of the program is counted, to show that a steady timer
// allocates nothing per tick.
#include "allocation_counter.h"

namespace {

using loop_harness::Clock;
using loop_harness::ms_between;
using loop_harness::run_loop;
using std::chrono::milliseconds;

// One call as the callback saw it: the clock and the lateness it was told.
struct Call {
    Clock::time_point at;
    unsigned long delta;
};

// The due time a call claims, in ms after start: never before the true due
// time (the clock is read after the library's), rounded down by at most 1 ms.
double due_ms(const Call& c, Clock::time_point start) {
    return ms_between(start, c.at) - static_cast<double>(c.delta);
}

struct Recorder {
    std::vector<Call> calls;
    std::size_t stop_after = 0;
    milliseconds sleep_on_first{0};
};

void record(TimerId, void* data, unsigned long delta) {
    auto* r = static_cast<Recorder*>(data);
    r->calls.push_back({Clock::now(), delta});
    if (r->calls.size() == 1 && r->sleep_on_first.count() > 0) {
        std::this_thread::sleep_for(r->sleep_on_first);  // the slow callback under test
    }
    if (r->stop_after != 0 && r->calls.size() == r->stop_after) IvyStop();
}

TEST(Timers, StayOnTheirGridWithoutDriftAndMakeExactlyCountCalls) {
    constexpr long period = 20;
    constexpr int count = 50;
    Recorder r;
    r.calls.reserve(count + 1);
    r.stop_after = count;
    Clock::time_point start = Clock::now();
    TimerId id = TimerRepeatAfter(count, period, record, &r);
    ASSERT_NE(id, nullptr);
    ASSERT_TRUE(run_loop(milliseconds(10000))) << r.calls.size() << " calls";
    // Deliberately on past the last call: a 51st call would show.
    run_loop(milliseconds(period * 5));

    ASSERT_EQ(r.calls.size(), static_cast<std::size_t>(count));
    const Clock::time_point first_due = r.calls[0].at - milliseconds(r.calls[0].delta);
    double least_off_grid_at_end = 1e9;
    for (int k = 1; k <= count; ++k) {
        EXPECT_GE(due_ms(r.calls[k - 1], start), static_cast<double>(k * period) - 1.0)
            << "call " << k << " claims to be due before its grid point";
        // On the timer's own grid, from its first call. Ticks merged while
        // the machine was busy move a call to a later grid point: no drift.
        const double due = due_ms(r.calls[k - 1], first_due);
        const double off_grid = std::abs(due - period * std::round(due / period));
        if (k > count - 10) least_off_grid_at_end = std::min(least_off_grid_at_end, off_grid);
    }
    // A timer that counts from when it was served drifts by its loop latency
    // on every call; on the grid the last calls are due where they started.
    EXPECT_LE(least_off_grid_at_end, 5.0);
    TimerRemove(id);  // finished: must be harmless
}

TEST(Timers, SlowCallbackMergesMissedTicksIntoOneCall) {
    constexpr long period = 50;
    Recorder r;
    r.stop_after = 6;
    r.sleep_on_first = milliseconds(180);
    Clock::time_point start = Clock::now();
    TimerId id = TimerRepeatAfter(TIMER_LOOP, period, record, &r);
    ASSERT_TRUE(run_loop(milliseconds(3000)));
    TimerRemove(id);

    ASSERT_EQ(r.calls.size(), 6u);
    double slow_end = ms_between(start, r.calls[0].at) + 180.0;
    // The ticks missed during the slow call come back as one call, late by
    // at least the rest of the sleep, never as a burst.
    EXPECT_LE(due_ms(r.calls[1], start), slow_end);
    EXPECT_GE(static_cast<double>(r.calls[1].delta), 180.0 - period - 2.0);
    for (std::size_t i = 2; i < r.calls.size(); ++i) {
        EXPECT_GT(due_ms(r.calls[i], start), slow_end - 2.0) << "replayed tick at call " << i;
    }
    // Every call stands for a distinct grid point. The grid is the timer's
    // own, read from its first call: the loop may start late after `start`.
    // Each due time is read back from the callback's clock less the lateness
    // the timer reported, so it carries the time between the two readings:
    // more on a slow or emulated CPU, hence the scaled tolerance.
    const Clock::time_point first_due = r.calls[0].at - milliseconds(r.calls[0].delta);
    const double tolerance = 3.0 * test_support::timeout_scale();
    for (std::size_t i = 0; i < r.calls.size(); ++i) {
        double due = due_ms(r.calls[i], first_due);
        double off_grid = due - period * std::round(due / period);
        EXPECT_LE(std::abs(off_grid), tolerance) << "call " << i << " due at " << due;
        if (i > 0) {
            EXPECT_GT(due, due_ms(r.calls[i - 1], first_due) + period / 2.0);
        }
    }
}

void remove_self(TimerId id, void* data, unsigned long) {
    ++*static_cast<int*>(data);
    TimerRemove(id);
    TimerRemove(id);  // twice inside the callback
}

struct Pair {
    TimerId a = nullptr, b = nullptr;
    int a_calls = 0, b_calls = 0;
};

void pair_a(TimerId, void* data, unsigned long) {
    auto* p = static_cast<Pair*>(data);
    ++p->a_calls;
    TimerRemove(p->b);
}
void pair_b(TimerId, void* data, unsigned long) {
    auto* p = static_cast<Pair*>(data);
    ++p->b_calls;
    TimerRemove(p->a);
}

TEST(Timers, RemovalInsideCallbacksStopsEveryFurtherCall) {
    int self_calls = 0;
    TimerRepeatAfter(TIMER_LOOP, 5, remove_self, &self_calls);

    // Both due in the same dispatch (the loop starts late): the first called
    // removes the other, which must not be called from that dispatch.
    Pair p;
    p.a = TimerRepeatAfter(TIMER_LOOP, 5, pair_a, &p);
    p.b = TimerRepeatAfter(TIMER_LOOP, 5, pair_b, &p);
    std::this_thread::sleep_for(milliseconds(20));

    EXPECT_FALSE(run_loop(milliseconds(100)));  // nothing else stops it
    EXPECT_EQ(self_calls, 1);
    EXPECT_GE(p.a_calls + p.b_calls, 1);
    EXPECT_TRUE(p.a_calls == 0 || p.b_calls == 0) << "a: " << p.a_calls << " b: " << p.b_calls;
    TimerRemove(p.a);
    TimerRemove(p.b);
}

void count_call(TimerId, void* data, unsigned long) {
    ++*static_cast<int*>(data);
}

void count_to_three(TimerId, void* data, unsigned long) {
    if (++*static_cast<int*>(data) == 3) IvyStop();
}

TEST(Timers, StaleAndForeignHandlesAreHarmless) {
    int finished_calls = 0;
    TimerId finished = TimerRepeatAfter(2, 5, count_call, &finished_calls);
    int removed_calls = 0;
    TimerId removed = TimerRepeatAfter(TIMER_LOOP, 5, count_call, &removed_calls);
    TimerRemove(removed);
    TimerRemove(removed);

    // A new timer may take the removed one's slot: the old handle must not
    // reach it.
    int reused_calls = 0;
    TimerId reused = TimerRepeatAfter(TIMER_LOOP, 10, count_to_three, &reused_calls);
    TimerRemove(removed);
    TimerModify(removed, 1);
    TimerRemove(nullptr);
    TimerModify(nullptr, 5);
    TimerRemove(reinterpret_cast<TimerId>(0x5a5a5a5aUL));
    EXPECT_EQ(TimerRepeatAfter(1, 5, nullptr, nullptr), nullptr);

    EXPECT_TRUE(run_loop(milliseconds(2000))) << "the reused slot's timer was not served";
    EXPECT_EQ(finished_calls, 2);
    EXPECT_EQ(removed_calls, 0);
    EXPECT_EQ(reused_calls, 3);
    TimerRemove(finished);
    TimerModify(finished, 5);
    TimerRemove(reused);
}

TEST(Timers, PeriodsOfZeroOrLessAreServedAtMostOncePerMillisecond) {
    for (long period : {0L, -1L, -1000L}) {
        int calls = 0;
        Clock::time_point start = Clock::now();
        TimerId id = TimerRepeatAfter(TIMER_LOOP, period, count_call, &calls);
        run_loop(milliseconds(100));
        double elapsed = ms_between(start, Clock::now());
        TimerRemove(id);
        EXPECT_GE(calls, 1) << "period " << period;
        EXPECT_LE(calls, elapsed + 2.0) << "period " << period;
    }
}

struct Modify {
    std::vector<Clock::time_point> at;
};

void lengthen_on_first(TimerId id, void* data, unsigned long) {
    auto* m = static_cast<Modify*>(data);
    m->at.push_back(Clock::now());
    if (m->at.size() == 1) TimerModify(id, 120);
    if (m->at.size() == 3) IvyStop();
}

TEST(Timers, ModifyRestartsThePeriodFromNow) {
    // From very long to short: served on the new period.
    Modify shortened;
    Clock::time_point start = Clock::now();
    TimerId id = TimerRepeatAfter(TIMER_LOOP, 100000, lengthen_on_first, &shortened);
    TimerModify(id, 10);
    ASSERT_TRUE(run_loop(milliseconds(3000)));
    TimerRemove(id);
    ASSERT_EQ(shortened.at.size(), 3u);
    EXPECT_LT(ms_between(start, shortened.at[0]),
              static_cast<double>(test_support::scaled(milliseconds(1000)).count()));
    // Lengthened inside its own callback: the callback's choice is kept.
    // The later calls are on the new grid, which starts at the modification.
    EXPECT_GE(ms_between(shortened.at[0], shortened.at[1]), 120.0);
    EXPECT_GE(ms_between(shortened.at[0], shortened.at[2]), 240.0);
}

}  // namespace

namespace {

struct Steady {
    int calls = 0;
    long allocations_at_warm = 0;
    long allocations_at_end = 0;
};

void steady_tick(TimerId, void* data, unsigned long) {
    auto* s = static_cast<Steady*>(data);
    ++s->calls;
    if (s->calls == 10) s->allocations_at_warm = test_support::allocations.load();
    if (s->calls == 60) {
        s->allocations_at_end = test_support::allocations.load();
        IvyStop();
    }
}

TEST(Timers, SteadyTicksAllocateNothing) {
    Steady s;
    TimerId id = TimerRepeatAfter(TIMER_LOOP, 1, steady_tick, &s);
    ASSERT_TRUE(run_loop(milliseconds(5000)));
    TimerRemove(id);
    EXPECT_EQ(s.allocations_at_end - s.allocations_at_warm, 0);
}

}  // namespace
