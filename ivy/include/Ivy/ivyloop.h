/*
 * The main loop: the only loop of a program that uses the bus. It serves bus
 * traffic, timers (timer.h) and channels (ivychannel.h) on the calling thread.
 */
#ifndef IVY_LOOP_H
#define IVY_LOOP_H

#include "ivychannel.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef void (*IvyHookPtr)(void* data);

/*
 * Runs until IvyStop is called (from a callback or from a signal handler) or
 * the agent is told to die by a peer. Returns at once if IvyStop was called
 * after the last IvyInit and before this call.
 */
void IvyMainLoop(void);

/* Called before and after each wait of the loop. */
void IvySetBeforeSelectHook(IvyHookPtr before, void* data);
void IvySetAfterSelectHook(IvyHookPtr after, void* data);

#ifdef __cplusplus
}
#endif

#endif
