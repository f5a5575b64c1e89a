/*
 * bench_trace.cpp - cost of writing trace records, in records per second,
 * with one and two threads writing into the same buffer.
 *
 * Ring level: the practical limit (one fetch-and-add and a 64-byte store per
 * record, nothing else), then the ring buffer's own reserve + fill + seal
 * for a one-slot record and for a record with a 64-byte payload.
 *
 * Trace points: what instrumented code pays through the record writers of
 * an attached control block: a trace point while tracing is off, an entry
 * record on the fast path, and a data record with one 64-byte item.
 */
#include "gptrace.h"
#include "kivatomic.h"
#include "kivthread.h"
#include "rambo.h"

#include <string.h>

#include <memory>
#include <vector>

#include <benchmark/benchmark.h>

namespace {

/* Every benchmark: one and two writers, records per second of wall time. */
#define KIV_TRACE_BENCHMARK(fn)                                                \
    BENCHMARK(fn)->Threads(1)->Threads(2)->UseRealTime()

/* One wrapping buffer for the whole program, big enough that the writers of
 * a run do not sit on each other's cache lines; its pages are touched once
 * by initialisation, before any timing. */
const Uint32 kBenchBufferSize = 0x1000000;

RAMBOCB* benchRing()
{
    static std::vector<Uint64> memory(ramboGetAllocSize(kBenchBufferSize) / 8 + 1);
    static RAMBOCB* cb = [] {
        RAMBOCB* ring = reinterpret_cast<RAMBOCB*>(memory.data());
        if (ramboInitialize(ring, kBenchBufferSize, RAMBO_MODE_WRAP) != 0)
            return static_cast<RAMBOCB*>(nullptr);
        return ring;
    }();
    return cb;
}

/* What a writer puts into a record; the contents do not matter. */
struct Payload {
    Uint8 bytes[64];
    Payload() { memset(bytes, 0x5A, sizeof bytes); }
};

void countRecords(benchmark::State& state)
{
    state.counters["records/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

bool ready(benchmark::State& state, const void* p)
{
    if (p != nullptr)
        return true;
    state.SkipWithError("trace buffer did not initialise");
    return false;
}

/* ---- Ring level ------------------------------------------------------------ */

/* The practical limit: claim a slot, store 64 bytes into it. */
void BM_RingBareFetchAddStore64(benchmark::State& state)
{
    RAMBOCB* cb = benchRing();
    if (!ready(state, cb))
        return;
    Uint8* slots = ramboSlots(cb);
    const Uint32 mask = cb->indexMask;
    const Payload payload;
    for (auto _ : state) {
        const Uint32 s = kivWin32FetchAndAdd32Internal(&cb->counter, 1);
        memcpy(slots + static_cast<size_t>(s & mask) * RAMBO_SLOT_SIZE, payload.bytes,
               RAMBO_SLOT_SIZE);
        benchmark::ClobberMemory();
    }
    countRecords(state);
}
KIV_TRACE_BENCHMARK(BM_RingBareFetchAddStore64);

/* Reserve one slot, fill its 52 payload bytes, seal. */
void BM_RingOneSlotRecord(benchmark::State& state)
{
    RAMBOCB* cb = benchRing();
    if (!ready(state, cb))
        return;
    const Payload payload;
    for (auto _ : state) {
        RamboSlotInfo info;
        Uint8* p = ramboReserveOneSlot(cb, &info);
        memcpy(p, payload.bytes, RAMBO_ONE_SLOT_PAYLOAD);
        ramboSync(cb, &info);
    }
    countRecords(state);
}
KIV_TRACE_BENCHMARK(BM_RingOneSlotRecord);

/* Reserve a record for 64 payload bytes (two slots), fill, seal. */
void BM_RingRecord64BytePayload(benchmark::State& state)
{
    RAMBOCB* cb = benchRing();
    if (!ready(state, cb))
        return;
    const Payload payload;
    for (auto _ : state) {
        RamboSlotInfo info;
        Uint8* p = ramboReserveSlots(cb, sizeof payload.bytes, &info);
        memcpy(p, payload.bytes, sizeof payload.bytes);
        ramboSync(cb, &info);
    }
    countRecords(state);
}
KIV_TRACE_BENCHMARK(BM_RingRecord64BytePayload);

/* ---- Trace points ---------------------------------------------------------- */

const Uint32 kBenchFn = 0x081A0002;   /* KIVHFile::open */

/* One wrapping ring-kind control block for the whole program, attached,
 * with no filter bits: every writer takes the fast path.  Null when it did
 * not initialise. */
GTCB* benchTrace()
{
    static std::vector<Uint64> memory(gtraceGetAllocSize(kBenchBufferSize) / 8 + 1);
    static GTCB* block = [] {
        GTCB* b = reinterpret_cast<GTCB*>(memory.data());
        std::unique_ptr<GtraceOptions> o(new GtraceOptions());
        o->bufferSize = kBenchBufferSize;
        o->traceKind = GTRACE_KIND_WRAP;
        if (gtraceInitialize(b, o.get()) != 0 || gtraceAttach(b, 1, nullptr, nullptr, nullptr) != 0)
            return static_cast<GTCB*>(nullptr);
        return b;
    }();
    return block;
}

/* The test every traced operation makes before calling a writer. */
inline bool traceActive()
{
    GTCB* t = g_pGTCB;
    return t != nullptr && t->enabled != 0;
}

/* Switches tracing for a benchmark; the first thread does it for all. */
bool traceSwitched(benchmark::State& state, bool on)
{
    if (!ready(state, benchTrace()))
        return false;
    if (state.thread_index() == 0)
        on ? gtraceEnable() : gtraceDisable();
    return true;
}

/* A trace point while tracing is off: the test and nothing else. */
void BM_TracePointOff(benchmark::State& state)
{
    if (!traceSwitched(state, false))
        return;
    const Uint32 tid = kivThreadID();
    for (auto _ : state) {
        if (traceActive())
            gtraceEntry(tid, 0, kBenchFn, 0, 1000000);
        benchmark::ClobberMemory();
    }
    countRecords(state);
}
KIV_TRACE_BENCHMARK(BM_TracePointOff);

/* An entry record, as every traced operation writes one. */
void BM_TraceEntryRecord(benchmark::State& state)
{
    if (!traceSwitched(state, true))
        return;
    const Uint32 tid = kivThreadID();
    for (auto _ : state) {
        if (traceActive())
            gtraceEntry(tid, 0, kBenchFn, 0, 1000000);
    }
    countRecords(state);
}
KIV_TRACE_BENCHMARK(BM_TraceEntryRecord);

/* A data record with one 64-byte block item (two slots). */
void BM_TraceDataRecord64(benchmark::State& state)
{
    if (!traceSwitched(state, true))
        return;
    const Uint32 tid = kivThreadID();
    const Payload payload;
    for (auto _ : state) {
        if (traceActive())
            gtraceVar(tid, 0, kBenchFn, 200, GTRACE_TYPE_DATA, 1, (Uint32)GTRACE_ITEM_BLOCK,
                      (Uint32)sizeof payload.bytes, static_cast<const void*>(payload.bytes));
    }
    countRecords(state);
}
KIV_TRACE_BENCHMARK(BM_TraceDataRecord64);

} // namespace
