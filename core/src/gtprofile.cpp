/*
 * gtprofile.cpp - the profile trace kind: instead of records, a table of
 * call counts and accumulated elapsed times per function, and per thread a
 * call stack that pairs exits with their entries.
 *
 * The table lives in the shared block and is updated without atomics:
 * concurrent calls of one function may lose increments.  Only the count of
 * calls that found no table slot (the block's stopCounter) is atomic.
 */
#include "gtinternal.h"

#include <stdlib.h>
#include <string.h>

#include "kivos.h"

namespace {

const Uint32 kProbes = 10;
const Uint32 kStepModulus = 0xF16FFu;
/* The golden-ratio multiplier 0.618033989 as a fraction. */
const Uint64 kGoldenNumerator = 618033989u;
const Uint64 kGoldenDenominator = 1000000000u;
const Uint32 kStackDepth = 512;
/* The filter bits that make a profiled entry ask preOptions. */
const Uint32 kEntryFilterBits = 0x1203Eu;

/* A call stack frame: 16 bytes, the second word unused. */
struct CallFrame {
    Uint32 functionId;
    Uint32 unused;
    Uint64 timestamp;
};
static_assert(sizeof(CallFrame) == 16, "call frames are 16 bytes");

/* A thread's call stack: header and frame array, taken with malloc on the
 * thread's first profiled entry. */
struct CallStack {
    CallFrame* frames;
    Uint32 count;
};

/* ---- The per-thread slot of the call stack --------------------------------- */
/* One thread-local storage index per process, made by gtraceAttach or on
 * first use. */
KIVLatch g_slotLatch;
DWORD g_slot = TLS_OUT_OF_INDEXES;

bool haveSlot()
{
    if (__atomic_load_n(&g_slot, __ATOMIC_ACQUIRE) != TLS_OUT_OF_INDEXES)
        return true;
    g_slotLatch.get();
    if (g_slot == TLS_OUT_OF_INDEXES)
        __atomic_store_n(&g_slot, TlsAlloc(), __ATOMIC_RELEASE);
    g_slotLatch.release();
    return g_slot != TLS_OUT_OF_INDEXES;
}
CallStack* threadStack()
{
    return haveSlot() ? static_cast<CallStack*>(TlsGetValue(g_slot)) : nullptr;
}
bool setThreadStack(CallStack* s) { return haveSlot() && TlsSetValue(g_slot, s); }

/* A TLS slot has no destructor: the thread's own owner frees its stack
 * when the thread ends, or every profiled thread would leave its 8 KB
 * behind. */
struct ThreadStackOwner {
    CallStack* stack = nullptr;
    ~ThreadStackOwner()
    {
        if (stack == nullptr)
            return;
        (void)setThreadStack(nullptr);
        free(stack->frames);
        free(stack);
    }
};
thread_local ThreadStackOwner t_stackOwner;

CallStack* makeThreadStack()
{
    CallStack* s = static_cast<CallStack*>(malloc(sizeof(CallStack)));
    CallFrame* frames = static_cast<CallFrame*>(malloc(kStackDepth * sizeof(CallFrame)));
    if (s != nullptr && frames != nullptr) {
        s->frames = frames;
        s->count = 0;
        if (setThreadStack(s)) {
            t_stackOwner.stack = s;
            return s;
        }
    }
    free(frames);
    free(s);
    return nullptr;
}

/* ---- The table -------------------------------------------------------------- */
GtraceProfileEntry* table(GTCB* block)
{
    return reinterpret_cast<GtraceProfileEntry*>(gtraceKindArea(block));
}

/* Multiplicative hashing with the golden-ratio constant, then up to ten
 * probes with a step taken from the id.  A free slot is claimed with a
 * plain store.  Function id 0 marks free slots, so it has none. */
GtraceProfileEntry* lookup(GTCB* block, Uint32 f)
{
    Uint32 n = block->options.bufferSize / sizeof(GtraceProfileEntry);
    if (f == 0 || n == 0)
        return nullptr;
    // floor(frac(f * 0.618033989) * n) in integers: the fraction is
    // (f * 618033989 mod 10^9) / 10^9 exactly.  A double product keeps too
    // few bits of the fraction to give the same slot on every build (the
    // x87 unit of 32-bit builds rounds differently from SSE), and processes
    // of different builds may share one table.
    const Uint64 fraction = static_cast<Uint64>(f) * kGoldenNumerator % kGoldenDenominator;
    const Uint32 h0 = static_cast<Uint32>(fraction * n / kGoldenDenominator);
    Uint32 step = f % kStepModulus;
    GtraceProfileEntry* entries = table(block);
    for (Uint32 k = 0; k < kProbes; ++k) {
        GtraceProfileEntry* e = &entries[(h0 + k * step) % n];
        if (e->functionId == f)
            return e;
        if (e->functionId == 0) {
            e->functionId = f;
            return e;
        }
    }
    return nullptr;
}

void push(Uint32 fn, Uint64 timestamp)
{
    CallStack* s = threadStack();
    if (s == nullptr && (s = makeThreadStack()) == nullptr)
        return;
    if (s->count >= kStackDepth)
        return;
    s->frames[s->count].functionId = fn;
    s->frames[s->count].timestamp = timestamp;
    ++s->count;
}

} // namespace

Uint32 gtProfileInitialize(GTCB* block, const GtraceOptions* options)
{
    memset(block, 0, GTRACE_HEADER_SIZE);
    memset(gtraceKindArea(block), 0, options->bufferSize);
    memcpy(&block->options, options, GTRACE_OPTIONS_SIZE);
    block->options.traceFlags |= GTRACE_FLAG_PROFILE;
    block->enabled = 0;
    block->stopCounter = 0;
    block->initialized = 1;
    return 0;
}

void gtProfileAttach(GTCB*) { (void)haveSlot(); }

void gtProfileClear(GTCB* block) { memset(gtraceKindArea(block), 0, block->options.bufferSize); }

void gtProfileEntry(GTCB* block, Uint32 fn, Uint64 threadId)
{
    Uint32 flags = block->options.traceFlags;
    Uint64 timestamp = 0;
    if ((flags & kEntryFilterBits) &&
        !preOptions(GTRACE_TYPE_ENTRY, fn, 0, static_cast<Uint32>(threadId), &timestamp))
        return;
    if (flags & GTRACE_FLAG_CALL_STACKS)
        push(fn, timestamp);
    GtraceProfileEntry* e = lookup(block, fn);
    if (e != nullptr)
        ++e->callCount;
    else
        kivAtomicIncrement32(&block->stopCounter);
}

void gtProfileExit(GTCB* block, Uint32 fn, Uint64 threadId)
{
    if (!(block->options.traceFlags & GTRACE_FLAG_CALL_STACKS))
        return;
    Uint64 timestamp = 0;
    if (!preOptions(GTRACE_TYPE_EXIT, fn, 0, static_cast<Uint32>(threadId), &timestamp))
        return;
    CallStack* s = threadStack();
    if (s == nullptr)
        return;
    // Every frame of fn is accounted and popped, not only the top one: an
    // exit that was never traced leaves no stale frames below.
    for (Uint32 i = s->count; i-- > 0;) {
        if (s->frames[i].functionId != fn)
            continue;
        GtraceProfileEntry* e = lookup(block, fn);
        if (e == nullptr)
            continue;
        if (timestamp > s->frames[i].timestamp)
            e->elapsed += timestamp - s->frames[i].timestamp;
        s->count = i;
    }
}
