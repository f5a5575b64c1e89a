/*
 * kivinternal.h - declarations shared by the library's sources but not
 * exported: the start and stop hooks of each subsystem.
 */
#ifndef KIVINTERNAL_H
#define KIVINTERNAL_H

#include "kivbase.h"

/* Process attach, in this order, once per process. */
KIV_LOCAL void kivLatchProcessInit();      /* spin tuning and the TSC probe */
KIV_LOCAL void kivMemProcessInit();        /* memory debug mode from KIVEMEMDBG */
KIV_LOCAL void kivPlatformProcessInit();   /* platform flags, then the symbol locks */
KIV_LOCAL void kivTraceProcessInit();      /* attaches the block KIV_TRACE_NAME names */

/* A KIVEMEMDBG value read into the log path, the mode and its flags; false
 * when the value is not valid.  Writes nothing else. */
KIV_LOCAL bool kivMemReadDebugValue(const char* value, char* path, Uint32 pathSize, Uint32* mode,
                                    Uint32* flags, Uint8* ffdc);

/* Process detach, in this order. */
KIV_LOCAL void kivSymProcessTerm();        /* closes the symbol locks */
KIV_LOCAL void kivMemProcessTerm();        /* leak report when asked for */

KIV_LOCAL void kivProcessAttach();
KIV_LOCAL void kivProcessDetach();

/* A function of a loaded system library ("KERNEL32.DLL", "ntdll.dll") by
 * name, for the functions not every release has; null with the last error
 * set (ERROR_MOD_NOT_FOUND: no such library).  On the POSIX subset the
 * subset answers these names itself. */
typedef void (*KIVSystemProc)(void);
KIV_LOCAL KIVSystemProc kivSystemProc(const char* module, const char* name);

/* The memory allocator's control block and its latch, shared by the
 * allocator, its leak report and its start-up configuration. */
struct KIVMemDebugCB;
KIV_LOCAL KIVMemDebugCB* kivMemControlBlock();
KIV_LOCAL void kivMemLatchGet();
KIV_LOCAL void kivMemLatchRelease();

/* Holds the control block's latch for a scope. */
class KIVMemLatchHold {
public:
    KIVMemLatchHold() { kivMemLatchGet(); }
    ~KIVMemLatchHold() { kivMemLatchRelease(); }
    KIVMemLatchHold(const KIVMemLatchHold&) = delete;
    KIVMemLatchHold& operator=(const KIVMemLatchHold&) = delete;
};

#endif /* KIVINTERNAL_H */
