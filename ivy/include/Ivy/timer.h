/*
 * Timers run by IvyMainLoop.
 *
 * Principles: every timer runs on the loop's thread, on a monotonic clock.
 * A repeating timer stays on its grid: its next expiry is its previous expiry
 * plus the period, so a slow or late callback causes no drift. Ticks that fell
 * due while a callback (any callback) was running are merged into one call,
 * never replayed. A handle stays harmless after its timer is gone: removing a
 * timer twice, or after its last call, does nothing.
 */
#ifndef IVY_TIMER_H
#define IVY_TIMER_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _timer* TimerId; /* NOLINT(bugprone-reserved-identifier): the classic tag */

/* Called with the timer's handle, the user data given at creation and how
 * late this call is, in milliseconds, relative to its due time. */
typedef void (*TimerCb)(TimerId id, void* user_data, unsigned long delta);

#define TIMER_LOOP (-1)

/*
 * Calls cb every `timeout` milliseconds, the first time `timeout` ms from now.
 * count > 0: that many calls, then the timer is gone. count == 0 or
 * TIMER_LOOP (or any negative count): repeats until TimerRemove.
 * A timeout of 0 or less never spins: it is taken as the shortest period the
 * library serves, 1 ms. Returns NULL (and creates nothing) when cb is NULL.
 */
TimerId TimerRepeatAfter(int count, long timeout, TimerCb cb, void* user_data);

/* Sets a new period; the next call is due `timeout` ms from now. */
void TimerModify(TimerId id, long timeout);

/* Stops the timer: no further calls, even from the dispatch under way. Safe
 * inside the timer's own callback; NULL, unknown and stale handles are ignored. */
void TimerRemove(TimerId id);

#ifdef __cplusplus
}
#endif

#endif
