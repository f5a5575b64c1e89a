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
#include "benchtrace.h"
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

using benchtrace::Block64;
using benchtrace::countRecords;
using benchtrace::kBufferSize;
using benchtrace::ready;

RAMBOCB* benchRing()
{
    static std::vector<Uint64> memory(ramboGetAllocSize(kBufferSize) / 8 + 1);
    static RAMBOCB* cb = [] {
        RAMBOCB* ring = reinterpret_cast<RAMBOCB*>(memory.data());
        if (ramboInitialize(ring, kBufferSize, RAMBO_MODE_WRAP) != 0)
            return static_cast<RAMBOCB*>(nullptr);
        return ring;
    }();
    return cb;
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
    const Block64 payload;
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
    const Block64 payload;
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
    const Block64 payload;
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

/* A trace point while tracing is off: the test and nothing else. */
void BM_TracePointOff(benchmark::State& state)
{
    benchtrace::entryRecords(state, false);
}
KIV_TRACE_BENCHMARK(BM_TracePointOff);

/* An entry record, as every traced operation writes one. */
void BM_TraceEntryRecord(benchmark::State& state)
{
    benchtrace::entryRecords(state, true);
}
KIV_TRACE_BENCHMARK(BM_TraceEntryRecord);

/* A data record with one 64-byte block item (two slots). */
void BM_TraceDataRecord64(benchmark::State& state)
{
    benchtrace::dataRecords64(state, true);
}
KIV_TRACE_BENCHMARK(BM_TraceDataRecord64);

} // namespace
