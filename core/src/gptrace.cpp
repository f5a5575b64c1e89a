/*
 * gptrace.cpp - the trace control block: layout by gtraceInitialize,
 * attachment, switching tracing on and off, clearing, options, the values
 * each process stamps into its records, and the trace-point filter
 * preOptions.
 *
 * The block is shared by every attached process; the process id, the fixed
 * data and the callbacks are this process's own.  Apart from stopCounter
 * nothing in the header is changed atomically: `enabled` and the options
 * are plain words that trace points read without a lock, so a change takes
 * effect for trace points that start after it.
 */
#include "gtinternal.h"

#include <string.h>

#include "kivecf.h"
#include "kivlatch.h"
#include "kivos.h"

GTCB* volatile g_pGTCB = nullptr;

GtProcessValues g_gtProcess = {0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu, nullptr, nullptr, nullptr};

namespace {

Uint32 setEnabled(Uint32 value)
{
    GTCB* block;
    Uint32 rc = gtAttachedBlock(&block);
    if (rc != 0)
        return rc;
    block->enabled = value;
    GtraceDisableCallback onDisable = g_gtProcess.disableCallback;
    if (value == 0 && onDisable != nullptr)
        onDisable();
    return 0;
}

/* A full stop-when-full ring buffer switches tracing off for every process
 * of the block: each process registers this with its ring buffer. */
void ringBufferFull() { gtraceDisable(); }

/* The ring buffer mode the trace kind asks for, 0 for none. */
Uint32 ringMode(Uint32 traceKind)
{
    if (traceKind & GTRACE_KIND_CHUNKED)
        return RAMBO_MODE_CHUNKED;
    if (traceKind & GTRACE_KIND_WRAP)
        return RAMBO_MODE_WRAP;
    if (traceKind & (GTRACE_KIND_STOP | GTRACE_KIND_RANDSLEEP))
        return RAMBO_MODE_STOP;
    return 0;
}

Uint32 initializeRing(GTCB* block, const GtraceOptions* options)
{
    Uint32 mode = ringMode(options->traceKind);
    if (mode == 0)
        return ECF_INVALID_PARAMETER;
    memset(block, 0, GTRACE_HEADER_SIZE);
    Uint32 rc = ramboInitialize(gtraceRingBuffer(block), options->bufferSize, mode);
    if (rc != 0)
        return rc;
    memcpy(&block->options, options, GTRACE_OPTIONS_SIZE);
    // Random-sleep mode only works on the slow path, so its marker bit goes
    // on here as well as in gtraceSetOptions.
    if (options->traceKind & GTRACE_KIND_RANDSLEEP)
        block->options.traceFlags |= GTRACE_FLAG_RANDSLEEP;
    block->enabled = 0;
    block->stopCounter = 1;
    block->initialized = 1;
    return 0;
}

bool overlapsHeader(const GTCB* block, const GtraceOptions* options)
{
    const Uint8* start = reinterpret_cast<const Uint8*>(block);
    const Uint8* p = reinterpret_cast<const Uint8*>(options);
    return p + GTRACE_OPTIONS_SIZE > start && p < start + GTRACE_HEADER_SIZE;
}

inline bool bitSet(const Uint8* map, Uint32 n) { return (map[n >> 3] >> (n & 7)) & 1u; }

inline bool isErrorType(Uint32 recordType)
{
    return recordType == 2 || recordType == 4 || recordType == 5 || recordType == 11 ||
           recordType == 13;
}

bool processFilterPasses(const GtraceOptions& o, Uint64 threadId)
{
    Uint32 count = o.processFilterCount;
    if (count > GTRACE_MAX_PROCESS_FILTERS)
        count = GTRACE_MAX_PROCESS_FILTERS;
    for (Uint32 i = 0; i < count; ++i) {
        const GtraceProcessFilter& pf = o.processFilters[i];
        if (!(pf.flags & GTRACE_PFILTER_IN_USE) || pf.processId != g_gtProcess.processId)
            continue;
        if (!(pf.flags & GTRACE_PFILTER_THREAD) || pf.threadId == threadId)
            return true;
    }
    return false;
}

bool fixedData2Passes(const GtraceOptions& o)
{
    Uint32 count = o.fixedData2FilterCount;
    if (count > GTRACE_MAX_FIXED_DATA2)
        count = GTRACE_MAX_FIXED_DATA2;
    for (Uint32 i = 0; i < count; ++i)
        if (o.fixedData2Filters[i] == g_gtProcess.fixedData2)
            return true;
    return false;
}

/* Product, type, component, function, group - in that order.  Types from 16
 * up and function numbers from 4096 up have no bit and never pass. */
bool bitmapsPass(const GtraceOptions& o, Uint32 recordType, Uint32 functionId)
{
    Uint32 function = functionId & 0xFFFFu;
    return bitSet(o.productBitmap, functionId >> 27) && recordType < 16 &&
           bitSet(o.typeBitmap, recordType) && bitSet(o.componentBitmap, (functionId >> 19) & 0xFFu) &&
           function < GTM_NUM_FUNCTION_BITS && bitSet(o.functionBitmap, function) &&
           bitSet(&o.functionGroupBitmap, (functionId >> 16) & 7u);
}

} // namespace

Uint64 gtTimestamp()
{
    LARGE_INTEGER now;
    if (!QueryPerformanceCounter(&now))
        return 0;
    return static_cast<Uint64>(now.QuadPart);
}

void gtStopOnReturnCode(GTCB* block, Uint32 flags, Uint32 rc)
{
    const Uint32 both = GTRACE_FLAG_STOP_ON_RC | GTRACE_FLAG_COMPARE_RC;
    if ((flags & both) != both || rc != block->options.stopReturnCode)
        return;
    if (kivAtomicIncrement32(&block->stopCounter) >= block->options.stopCount)
        gtraceDisable();
}

extern "C" {

Uint32 gtraceGetAllocSize(Uint32 bufferSize)
{
    Uint32 ring = ramboGetAllocSize(bufferSize);
    return ring == 0 ? 0 : ring + GTRACE_HEADER_SIZE;
}

Uint32 gtraceInitialize(GTCB* block, const GtraceOptions* options)
{
    if (options == nullptr)
        return ECF_INVALID_PARAMETER;
    if (options->bufferSize < GTRACE_MIN_BUFFER_SIZE || options->bufferSize > GTRACE_MAX_BUFFER_SIZE)
        return ECF_GTRACE_INVALID_BUFFER_SIZE;
    if (block == nullptr)
        return ECF_INVALID_PARAMETER;
    // Laying the block out clears its header first: options taken from the
    // block itself would be gone before they are copied.
    if (overlapsHeader(block, options))
        return ECF_INVALID_PARAMETER;
    switch (gtKindOf(*options)) {
    case GTRACE_KIND_PROFILE:
        return gtProfileInitialize(block, options);
    case GTRACE_KIND_GCTRACE:
        return gctraceInitialize(block, options);
    default:
        return initializeRing(block, options);
    }
}

Uint32 gtraceAttach(GTCB* block, Uint32 processId, GtraceAppCallback appCallback,
                    GtraceDisableCallback disableCallback, GtracePreTraceCallback preTraceCallback)
{
    if (block == nullptr)
        return ECF_INVALID_PARAMETER;
    // The processor's time-stamp counter was probed once when the library
    // was loaded; the tick functions use it, tracing does not.
    (void)kivCanUseRegister();
    // The values go in before the block becomes visible to trace points.
    g_gtProcess.processId = processId;
    g_gtProcess.appCallback = appCallback;
    g_gtProcess.disableCallback = disableCallback;
    g_gtProcess.preTraceCallback = preTraceCallback;
    g_pGTCB = block;
    ramboSetCallBack(ringBufferFull);
    if (gtKindOf(block->options) == GTRACE_KIND_PROFILE &&
        (block->options.traceFlags & GTRACE_FLAG_CALL_STACKS))
        gtProfileAttach(block);
    return 0;
}

Uint32 gtraceDetach(void)
{
    g_pGTCB = nullptr;
    g_gtProcess.appCallback = nullptr;
    g_gtProcess.disableCallback = nullptr;
    g_gtProcess.preTraceCallback = nullptr;
    return 0;
}

Uint32 gtraceEnable(void) { return setEnabled(1); }
Uint32 gtraceDisable(void) { return setEnabled(0); }

Uint32 gtraceClear(void)
{
    GTCB* block;
    Uint32 rc = gtAttachedBlock(&block);
    if (rc != 0)
        return rc;
    switch (gtKindOf(block->options)) {
    case GTRACE_KIND_PROFILE:
        gtProfileClear(block);
        return 0;
    case GTRACE_KIND_GCTRACE:
        gctraceClear(block);
        return 0;
    default:
        return ramboNewSequence(gtraceRingBuffer(block));
    }
}

Uint32 gtraceSetOptions(GtraceOptions* newOptions)
{
    GTCB* block;
    Uint32 rc = gtAttachedBlockWith(newOptions, &block);
    if (rc != 0)
        return rc;
    // Time stamps and call stacks of the profile kind are decided when the
    // block is laid out; the caller's block is told so.
    if (gtKindOf(block->options) == GTRACE_KIND_PROFILE)
        newOptions->traceFlags &= ~(GTRACE_FLAG_TIMESTAMP | GTRACE_FLAG_CALL_STACKS);
    // bufferSize, traceKind and wrapFileSize describe the memory already laid
    // out: only what follows them is replaced.
    const size_t from = offsetof(GtraceOptions, traceFlags);
    memmove(reinterpret_cast<Uint8*>(&block->options) + from,
            reinterpret_cast<const Uint8*>(newOptions) + from, GTRACE_OPTIONS_SIZE - from);
    Uint32 kind = block->options.traceKind;
    if (kind & GTRACE_KIND_PROFILE)
        block->options.traceFlags |= GTRACE_FLAG_PROFILE;
    if (kind & GTRACE_KIND_RANDSLEEP)
        block->options.traceFlags |= GTRACE_FLAG_RANDSLEEP;
    if (kind & GTRACE_KIND_GCTRACE)
        block->options.traceFlags |= GTRACE_FLAG_GCTRACE;
    return 0;
}

Uint32 gtraceGetOptions(GtraceOptions* out)
{
    GTCB* block;
    Uint32 rc = gtAttachedBlockWith(out, &block);
    if (rc != 0)
        return rc;
    memmove(out, &block->options, GTRACE_OPTIONS_SIZE);
    return 0;
}

Uint32 gtraceGetOptionsPtr(GtraceOptions** out)
{
    GTCB* block;
    Uint32 rc = gtAttachedBlockWith(out, &block);
    if (rc != 0)
        return rc;
    *out = &block->options;
    return 0;
}

Uint32 gtraceSetProcessID(Uint32 processId) { return g_gtProcess.processId = processId; }
Uint32 gtraceGetProcessID(void) { return g_gtProcess.processId; }
Uint32 gtraceSetFixedData1(Uint32 value) { return g_gtProcess.fixedData1 = value; }
Uint32 gtraceGetFixedData1(void) { return g_gtProcess.fixedData1; }
Uint32 gtraceSetFixedData2(Uint32 value) { return g_gtProcess.fixedData2 = value; }
Uint32 gtraceGetFixedData2(void) { return g_gtProcess.fixedData2; }
GtraceAppCallback gtraceGetAppCallBackFnPtr(void) { return g_gtProcess.appCallback; }
GtracePreTraceCallback gtraceGetAppPreTraceCallBackFnPtr(void)
{
    return g_gtProcess.preTraceCallback;
}

Uint32 gtraceAutoDumpEnabled(Uint8 enable)
{
    GTCB* block;
    Uint32 rc = gtAttachedBlock(&block);
    if (rc != 0)
        return rc;
    return ramboAutoDumpEnabled(gtraceRingBuffer(block), enable);
}

Uint32 gtraceInitializeChunkWalker(RamboChunkWalker* walker)
{
    if (walker == nullptr)
        return ECF_INVALID_PARAMETER;
    GTCB* block;
    Uint32 rc = gtAttachedBlock(&block);
    if (rc != 0)
        return rc;
    return ramboInitializeChunkWalker(gtraceRingBuffer(block), walker);
}

bool preOptions(Uint16 recordType, Uint32 functionId, Uint16 probe, Uint64 threadId,
                Uint64* timestamp)
{
    GTCB* block = g_pGTCB;
    if (block == nullptr)
        return false;
    const GtraceOptions& o = block->options;
    Uint32 f = o.traceFlags;
    if ((f & GTRACE_FLAG_ERRORS_ONLY) && !isErrorType(recordType))
        return false;
    if ((f & GTRACE_FLAG_PROCESS) && !processFilterPasses(o, threadId))
        return false;
    if ((f & GTRACE_FLAG_FIXED_DATA2) && !fixedData2Passes(o))
        return false;
    if (f & GTRACE_FLAG_BITMAPS) {
        if (!bitmapsPass(o, recordType, functionId))
            return false;
    } else if ((f & GTRACE_FLAG_MASK) && !o.traceMask.gtmIsElemInMask(functionId, recordType, probe)) {
        return false;
    }
    if ((f & GTRACE_FLAG_TIMESTAMP) && timestamp != nullptr)
        *timestamp = gtTimestamp();
    return true;
}

} // extern "C"
