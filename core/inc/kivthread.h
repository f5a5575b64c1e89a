/*
 * kivthread.h - threads, thread-specific data, and the calling thread's
 * identity, sleep and yield.
 */
#ifndef KIVTHREAD_H
#define KIVTHREAD_H

#include "kivbase.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The calling thread's system identifier (widened to 64 bits in records). */
KIV_API Uint32 kivThreadID(void);
/* Suspends the calling thread; always returns 0. */
KIV_API Uint32 kivSleep(Uint32 milliseconds);
/* Gives up the processor for one millisecond. */
KIV_API void kivYield(void);

#ifdef __cplusplus
}
#endif

#endif /* KIVTHREAD_H */
