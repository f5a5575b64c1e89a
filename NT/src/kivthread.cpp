/*
 * kivthread.cpp - threads and the calling thread's identity, sleep and yield.
 */
#include "kivthread.h"
#include "kivos.h"

Uint32 kivThreadID(void) { return GetCurrentThreadId(); }

Uint32 kivSleep(Uint32 milliseconds)
{
    Sleep(milliseconds);
    return 0;
}

// Sleep(0) only yields to threads of equal priority; one millisecond lets
// any ready thread run.
void kivYield(void) { Sleep(1); }
