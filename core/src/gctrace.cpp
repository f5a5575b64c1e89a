/*
 * gctrace.cpp - the gctrace kind: every trace point is counted per
 * (function, type) in a hash of 262144 chained buckets, and every exit per
 * function together with how often each bit of its 64-bit value was set.
 *
 * The area is shared memory written by any attached process.  Handlers only
 * try their latches - one exchange - and give up when a latch is held, so a
 * contended point loses its count instead of waiting.  Entries are claimed
 * from the entry area under the header latch and never given back until
 * the area is cleared.
 */
#include "gtinternal.h"

#include <string.h>

#include "kivecf.h"
#include "kivthread.h"

namespace {

/* Writers that passed their caller's enabled test before tracing was
 * switched off get this long to finish before the area changes under them. */
const Uint32 kQuiesceMilliseconds = 5000;

inline Uint8* area(GTCB* block) { return gtraceKindArea(block); }
inline GctraceHeader* header(GTCB* block) { return reinterpret_cast<GctraceHeader*>(area(block)); }
inline GctraceBucket* buckets(GTCB* block)
{
    return reinterpret_cast<GctraceBucket*>(area(block) + GCTRACE_BUCKETS_OFFSET);
}

/* `bytes` at `offset` of the area, or null when the offset does not name
 * room inside the entry area (a torn or foreign chain link). */
GctraceEntry* entryAt(GTCB* block, Uint64 offset, Uint32 bytes)
{
    if (offset < GCTRACE_ENTRIES_OFFSET || offset + bytes > block->options.bufferSize)
        return nullptr;
    return reinterpret_cast<GctraceEntry*>(area(block) + offset);
}

Uint32 hash(Uint32 x, Uint32 y)
{
    Uint32 v = (x + y + (y << 15)) * 4097u;
    v = (v ^ (v >> 22)) * 17u;
    v = (v ^ (v >> 9)) * 1025u;
    v = (v ^ (v >> 2)) * 129u;
    return v ^ (v >> 12);
}

inline bool kindUnchanged(const GTCB* block)
{
    return block->options.traceKind == GTRACE_KIND_GCTRACE;
}

bool active(const GTCB* block)
{
    return block->initialized != 0 && block->enabled != 0 && kindUnchanged(block) &&
           (block->options.traceFlags & GTRACE_FLAG_GCTRACE) != 0;
}

/* The entry of (fn, type) in a bucket's chain; the walk is bounded by the
 * number of entries the area can hold. */
GctraceEntry* findInChain(GTCB* block, const GctraceBucket* bucket, Uint32 fn, Uint32 type)
{
    Uint64 limit = block->options.bufferSize / GCTRACE_ENTRY_SIZE;
    Uint64 offset = bucket->head;
    for (Uint64 steps = 0; offset != 0 && steps < limit; ++steps) {
        GctraceEntry* e = entryAt(block, offset, GCTRACE_ENTRY_SIZE);
        if (e == nullptr)
            return nullptr;
        if (e->functionId == fn && e->type == type)
            return e;
        offset = e->next;
    }
    return nullptr;
}

/* Claims `bytes` of the entry area as the new head of `bucket`'s chain,
 * under the header latch; null when the area is full, tracing went off, the
 * kind changed, or the latch is held. */
GctraceEntry* claim(GTCB* block, GctraceBucket* bucket, Uint32 bytes)
{
    GctraceHeader* h = header(block);
    if (!(h->nextFree + bytes < block->options.bufferSize && block->enabled != 0 &&
          kindUnchanged(block) && h->latch.tryGet()))
        return nullptr;
    GctraceEntry* e = nullptr;
    Uint64 offset = h->nextFree;
    // Tested again under the latch: another process may have taken the
    // last room since.
    if (offset + bytes < block->options.bufferSize) {
        h->nextFree = offset + bytes;
        e = reinterpret_cast<GctraceEntry*>(area(block) + offset);
        e->next = bucket->head;
        bucket->head = offset;
    }
    h->latch.release();
    return e;
}

void countBits(Uint32* counters, Uint64 v)
{
    for (Uint32 i = 0; i < GCTRACE_BIT_COUNTERS; ++i)
        counters[i] += static_cast<Uint32>((v >> i) & 1u);
}

} // namespace

Uint32 gctraceInitialize(GTCB* block, const GtraceOptions* options)
{
    if (options == nullptr || block == nullptr)
        return ECF_INVALID_ADDRESS;
    if (options->bufferSize == 0)
        return ECF_GTRACE_INVALID_BUFFER_SIZE;
    block->enabled = 0;
    kivSleep(kQuiesceMilliseconds);
    memcpy(&block->options, options, GTRACE_OPTIONS_SIZE);
    block->options.traceKind = GTRACE_KIND_GCTRACE;
    block->options.traceFlags &= ~GTRACE_FLAG_GCTRACE;
    block->stopCounter = 0;
    GctraceHeader* h = header(block);
    h->bucketsOffset = GCTRACE_BUCKETS_OFFSET;
    h->entriesOffset = GCTRACE_ENTRIES_OFFSET;
    h->nextFree = GCTRACE_ENTRIES_OFFSET;
    if (options->bufferSize < GCTRACE_ENTRIES_OFFSET) {
        block->initialized = 0;
        return ECF_GTRACE_INVALID_BUFFER_SIZE;
    }
    h->latch.init();
    GctraceBucket* b = buckets(block);
    for (Uint32 i = 0; i < GCTRACE_BUCKETS; ++i) {
        b[i].head = 0;
        b[i].latch.init();
    }
    memset(area(block) + GCTRACE_ENTRIES_OFFSET, 0, options->bufferSize - GCTRACE_ENTRIES_OFFSET);
    block->initialized = 1;
    block->options.traceFlags |= GTRACE_FLAG_GCTRACE;
    return 0;
}

void gctraceClear(GTCB* block)
{
    Uint32 wasEnabled = block->enabled;
    block->enabled = 0;
    kivSleep(kQuiesceMilliseconds);
    block->options.traceFlags &= ~GTRACE_FLAG_GCTRACE;
    GctraceBucket* b = buckets(block);
    for (Uint32 i = 0; i < GCTRACE_BUCKETS; ++i)
        b[i].head = 0;
    memset(area(block) + GCTRACE_ENTRIES_OFFSET, 0,
           block->options.bufferSize - GCTRACE_ENTRIES_OFFSET);
    header(block)->nextFree = GCTRACE_ENTRIES_OFFSET;
    block->enabled = wasEnabled;
    block->options.traceFlags |= GTRACE_FLAG_GCTRACE;
}

void gctracePointHandler(GTCB* block, Uint32 fn, Uint32 probe, Uint32 type)
{
    if (!active(block))
        return;
    GctraceBucket* bucket = &buckets(block)[hash(fn, probe) & GCTRACE_BUCKET_MASK];
    if (!bucket->latch.tryGet())
        return;
    GctraceEntry* e = findInChain(block, bucket, fn, type);
    if (e != nullptr) {
        ++e->count;
    } else if ((e = claim(block, bucket, GCTRACE_ENTRY_SIZE)) != nullptr) {
        e->functionId = fn;
        e->type = static_cast<Uint16>(type);
        e->probe = static_cast<Uint16>(probe);
        e->count = 1;
        e->bitCounters = 0;
    }
    bucket->latch.release();
}

void gctraceExitHandler(GTCB* block, Uint32 fn, Uint32 a, Uint32 b)
{
    if (!active(block))
        return;
    Uint64 v = (Uint64)b << 32 | a;
    GctraceBucket* bucket = &buckets(block)[hash(fn, GCTRACE_EXIT_PROBE) & GCTRACE_BUCKET_MASK];
    if (!bucket->latch.tryGet())
        return;
    GctraceEntry* e = findInChain(block, bucket, fn, GTRACE_TYPE_EXIT);
    if (e != nullptr) {
        ++e->count;
        GctraceEntry* counters = entryAt(block, e->bitCounters, GCTRACE_BIT_COUNTERS * 4);
        if (v != 0 && counters != nullptr)
            countBits(reinterpret_cast<Uint32*>(counters), v);
    } else if ((e = claim(block, bucket, GCTRACE_EXIT_ENTRY_SIZE)) != nullptr) {
        e->functionId = fn;
        e->type = GTRACE_TYPE_EXIT;
        e->probe = 0;
        e->count = 1;
        e->bitCounters = bucket->head + GCTRACE_ENTRY_SIZE;
        Uint32* counters = reinterpret_cast<Uint32*>(e + 1);
        memset(counters, 0, GCTRACE_BIT_COUNTERS * 4);
        countBits(counters, v);
    }
    bucket->latch.release();
}

extern "C" {

Uint32 gctraceGetOffset(uintptr_t* out)
{
    if (out == nullptr)
        return ECF_INVALID_PARAMETER;
    GTCB* block = g_pGTCB;
    *out = block != nullptr ? reinterpret_cast<uintptr_t>(gtraceKindArea(block)) : 0;
    return *out != 0 ? 0 : ECF_INVALID_ADDRESS;
}

Uint32 gctraceValidateTraceType(void)
{
    GTCB* block = g_pGTCB;
    if (block == nullptr)
        return ECF_INVALID_ADDRESS;
    return kindUnchanged(block) ? 0 : ECF_INVALID_PARAMETER;
}

} // extern "C"
