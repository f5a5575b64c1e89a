/*
 * gptrace.h - the trace facility's entry points as instrumented code sees
 * them: the attached control block and the record writers.
 *
 * A writer is called only when g_pGTCB is set and its `enabled` word is
 * non-zero; the writers do not test either again.  The thread id is passed
 * as two 32-bit words, low first.
 */
#ifndef GPTRACE_H
#define GPTRACE_H

#include "kivbase.h"

/* Record types used by the library's own operations. */
#define GTRACE_TYPE_ENTRY      1
#define GTRACE_TYPE_EXIT       2
#define GTRACE_TYPE_DATA       3
#define GTRACE_TYPE_ERROR_DATA 4

/* Item types of the ...Var writers. */
#define GTRACE_ITEM_IMMEDIATE1 1
#define GTRACE_ITEM_IMMEDIATE2 2
#define GTRACE_ITEM_BLOCK      0

/* The head of the trace control block; the full layout belongs to the trace
 * facility.  Only the first words are read by instrumented code. */
struct GTCB {
    Uint32 initialized;
    Uint32 enabled;
    Uint32 stopCounter;
    Uint32 reserved;
};

#ifdef __cplusplus
extern "C" {
#endif

/* The attached control block, null when tracing is not attached. */
KIV_API extern GTCB* volatile g_pGTCB;

KIV_API Uint32 gtraceEntry(Uint32 tidLow, Uint32 tidHigh, Uint32 fn, Uint32 a, Uint32 b);
KIV_API Uint32 gtraceExit(Uint32 tidLow, Uint32 tidHigh, Uint32 fn, Uint32* rc, Uint32 a, Uint32 b);
KIV_API Uint32 gtraceVar(Uint32 tidLow, Uint32 tidHigh, Uint32 fn, Uint16 probe, Uint16 type,
                         Uint32 count, ...);
KIV_API Uint32 gtraceErrorVar(Uint32 tidLow, Uint32 tidHigh, Uint32 fn, Uint16 probe, Uint16 type,
                              Uint32 a, Uint32 b, Uint32 count, ...);

#ifdef __cplusplus
}
#endif

#endif /* GPTRACE_H */
