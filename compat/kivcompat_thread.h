/*
 * kivcompat_thread.h - the Windows thread services on POSIX threads: thread
 * start and end, thread handles that can be waited on, exit codes, and
 * thread-local storage slots.
 *
 * A thread started with _beginthreadex is a kernel object of the handle
 * model (kivcompat_handle.h): its handle becomes signalled when the thread
 * ends and stays usable (waitable, exit code readable) until it is closed.
 * Closing the handle of a running thread does not stop it; the thread runs
 * on detached and its resources go when it ends.
 */
#ifndef KIVCOMPAT_THREAD_H
#define KIVCOMPAT_THREAD_H

#include "kivcompat.h"

/* Shared with other parts of the subset: defined by whichever comes first. */
#ifndef STILL_ACTIVE
#  define STILL_ACTIVE        259u
#endif
#ifndef ERROR_NO_MORE_ITEMS
#  define ERROR_NO_MORE_ITEMS 259u
#endif
#ifndef CREATE_SUSPENDED
#  define CREATE_SUSPENDED    0x00000004u
#endif
#define TLS_OUT_OF_INDEXES    0xFFFFFFFFu

#ifdef __cplusplus
extern "C" {
#endif

/* Thread start routine of the C runtime. */
typedef unsigned (*_beginthreadex_proc_type)(void* argument);

/* Starts a thread running start(argument) with a stack of at least
 * stackSize bytes (0: the process default).  Returns the thread's handle,
 * or 0 with errno and the last error set.  Security attributes are ignored;
 * initFlag must be 0 (a thread cannot be started suspended here).  The
 * identifier written to *threadId (when given) is what GetCurrentThreadId
 * returns inside the thread. */
KIVCOMPAT_API uintptr_t _beginthreadex(void* security, unsigned stackSize,
                                       _beginthreadex_proc_type start, void* argument,
                                       unsigned initFlag, unsigned* threadId);
/* Ends the calling thread with the exit code; its handle becomes signalled. */
KIVCOMPAT_API void _endthreadex(unsigned exitCode) __attribute__((noreturn));
KIVCOMPAT_API void ExitThread(DWORD exitCode) __attribute__((noreturn));
/* STILL_ACTIVE while the thread runs, then its exit code. */
KIVCOMPAT_API BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode);

/* Thread-local storage: an index names one pointer-sized value per thread,
 * null in every thread until that thread sets it.  TlsGetValue sets the
 * last error to 0 when it succeeds, so a null result can be told from a
 * failure (ERROR_INVALID_PARAMETER for an index not allocated). */
KIVCOMPAT_API DWORD  TlsAlloc(void);
KIVCOMPAT_API BOOL   TlsFree(DWORD index);
KIVCOMPAT_API LPVOID TlsGetValue(DWORD index);
KIVCOMPAT_API BOOL   TlsSetValue(DWORD index, LPVOID value);

#ifdef __cplusplus
}
#endif

#endif /* KIVCOMPAT_THREAD_H */
