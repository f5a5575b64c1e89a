/*
 * kivthread.h - threads, thread-specific data, and the calling thread's
 * identity, end, sleep and yield.
 *
 * A thread runs a caller's function with one pointer argument:
 *
 *   KIVThreadParam p;
 *   p.flags = KIV_THREAD_JOINABLE;
 *   KIVHThread t;
 *   t.create(worker, &work, &p, nullptr);
 *   ...
 *   t.wait();      // joinable threads only
 *   t.close();
 *
 * A thread-specific data slot holds one pointer per thread:
 * create, then set and get from any thread, then destroy.
 */
#ifndef KIVTHREAD_H
#define KIVTHREAD_H

#include "kivbase.h"

#ifdef __cplusplus
extern "C" {
#endif

/* The calling thread's system identifier (widened to 64 bits in records). */
KIV_API Uint32 kivThreadID(void);
/* Ends the calling thread with exit code 0; does not return. */
KIV_API void kivThreadExit(void) __attribute__((noreturn));
/* Suspends the calling thread; always returns 0. */
KIV_API Uint32 kivSleep(Uint32 milliseconds);
/* Gives up the processor for one millisecond. */
KIV_API void kivYield(void);

#ifdef __cplusplus
}

/* KIVThreadParam flags. */
#define KIV_THREAD_JOINABLE 0x1u /* must be waited for with wait() before close() */

/* The tlsIndex of a slot object that holds no slot. */
#define KIV_TLS_INDEX_NONE 0xFFFFFFFFu

/* The function a thread runs. */
typedef void (*KIVThreadFunction)(void* argument);

class KIV_API KIVThreadParam {
public:
    KIVThreadParam();
    explicit KIVThreadParam(Uint32 threadFlags, Uint32 threadStackSize = 0);

    Uint32 version;   /* at least KIV_VERSION_MIN */
    Uint32 flags;     /* KIV_THREAD_JOINABLE */
    Uint32 stackSize; /* bytes; 0 takes the process default */
};

class KIV_API KIVHThread {
public:
    KIVHThread();
    /* Closes a created thread's handle; the result is ignored (a joinable
     * thread not yet waited for keeps its handle). */
    ~KIVHThread();
    /* The object owns a system handle: it is not copied. */
    KIVHThread(const KIVHThread&) = delete;
    KIVHThread& operator=(const KIVHThread&) = delete;

    /* Starts `function(argument)` on a new thread.  threadIdOut, when
     * given, receives the new thread's identifier.  The caller does not
     * wait for the thread to start. */
    Uint32 create(KIVThreadFunction function, void* argument, const KIVThreadParam* param,
                  Uint32* threadIdOut);
    /* Waits for the end of a joinable thread (once). */
    Uint32 wait();
    /* Releases the handle; a thread still running runs on detached. */
    Uint32 close();

    Uint32 threadId;
    void*  threadHandle; /* the system's HANDLE */
    bool   created;
    bool   joinable;

private:
    void reset();
};

/* A thread-specific data slot that writes log records on failure but no
 * trace records, for the trace facility's own per-thread data. */
class KIV_API KIVHThreadSpecificDataInternal {
public:
    KIVHThreadSpecificDataInternal() : tlsIndex(KIV_TLS_INDEX_NONE) {}

    Uint32 create();
    /* Releases the slot; the object then holds none. */
    Uint32 destroy();
    /* Sets the calling thread's value. */
    Uint32 set(const void* value);
    /* The calling thread's value.  A slot this thread never set gives a
     * null value and ECF_INVALID_INVOCATION_SEQUENCE. */
    Uint32 get(void** value);

    Uint32 tlsIndex;
};

/* The same slot with entry and exit trace records around each operation.
 * The destructor does nothing: only destroy() releases the slot. */
class KIV_API KIVHThreadSpecificData : public KIVHThreadSpecificDataInternal {
public:
    Uint32 create();
    Uint32 destroy();
    Uint32 set(const void* value);
    Uint32 get(void** value);
};

#endif /* __cplusplus */

#endif /* KIVTHREAD_H */
