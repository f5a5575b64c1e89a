/*
 * gtinternal.h - what the trace facility's sources share and do not
 * export: the per-process values every record carries, the kind-specific
 * steps of the profile and gctrace kinds, and the small helpers of the
 * writers.
 */
#ifndef GTINTERNAL_H
#define GTINTERNAL_H

#include "gptrace.h"

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
