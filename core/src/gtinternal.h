/*
 * gtinternal.h - what the trace facility's sources share and do not
 * export: the per-process values every record carries, the kind-specific
 * steps of the profile and gctrace kinds, and the small helpers of the
 * writers.
 */
#ifndef GTINTERNAL_H
#define GTINTERNAL_H

#include "gptrace.h"
#include "kivecf.h"

/* Per process, never in the shared block: set by gtraceAttach and the
 * setters, read without locks by every trace point. */
struct GtProcessValues {
    Uint32 processId;
    Uint32 fixedData1;
    Uint32 fixedData2;
    GtraceAppCallback appCallback;
    GtraceDisableCallback disableCallback;
    GtracePreTraceCallback preTraceCallback;
};
KIV_LOCAL extern GtProcessValues g_gtProcess;

inline Uint32 gtKindOf(const GtraceOptions& options)
{
    return options.traceKind & GTRACE_KIND_SELECT;
}

/* The kinds that keep their records in a kind area of their own instead
 * of a ring buffer. */
inline bool gtHasKindArea(const GtraceOptions& options)
{
    const Uint32 kind = gtKindOf(options);
    return kind == GTRACE_KIND_PROFILE || kind == GTRACE_KIND_GCTRACE;
}

/* The checks every operation on the attached block starts with. */
inline Uint32 gtAttachedBlock(GTCB** out)
{
    GTCB* block = g_pGTCB;
    if (block == nullptr)
        return ECF_GTRACE_NOT_ATTACHED;
    if (block->initialized == 0)
        return ECF_GTRACE_NOT_INITIALIZED;
    *out = block;
    return 0;
}

/* The same for an operation with a pointer argument, which is looked at
 * only once there is a block. */
inline Uint32 gtAttachedBlockWith(const void* argument, GTCB** out)
{
    const Uint32 rc = gtAttachedBlock(out);
    return rc == 0 && argument == nullptr ? ECF_INVALID_PARAMETER : rc;
}

/* QueryPerformanceCounter's value, 0 when the call fails. */
KIV_LOCAL Uint64 gtTimestamp();

/* Stop on a return code, run by the exit writers after their record is
 * sealed. */
KIV_LOCAL void gtStopOnReturnCode(GTCB* block, Uint32 flags, Uint32 rc);

/* ---- Profile kind ---- */
KIV_LOCAL Uint32 gtProfileInitialize(GTCB* block, const GtraceOptions* options);
KIV_LOCAL void gtProfileAttach(GTCB* block);
KIV_LOCAL void gtProfileClear(GTCB* block);
KIV_LOCAL void gtProfileEntry(GTCB* block, Uint32 fn, Uint64 threadId);
KIV_LOCAL void gtProfileExit(GTCB* block, Uint32 fn, Uint64 threadId);

/* ---- Gctrace kind ---- */
KIV_LOCAL Uint32 gctraceInitialize(GTCB* block, const GtraceOptions* options);
KIV_LOCAL void gctraceClear(GTCB* block);
KIV_LOCAL void gctracePointHandler(GTCB* block, Uint32 fn, Uint32 probe, Uint32 type);
KIV_LOCAL void gctraceExitHandler(GTCB* block, Uint32 fn, Uint32 a, Uint32 b);

#endif /* GTINTERNAL_H */
