/*
 * bench_gtrace.cpp - cost of the trace writers: a trace point while tracing
 * is off, an entry record on the fast path, and a record with one 64-byte
 * data item, each with one and two threads, next to the bare ring-buffer
 * loop (reserve one slot, seal) that bounds what a writer can reach.
 */
#include "gptrace.h"
#include "kivthread.h"
#include "rambo.h"

#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

namespace {

const Uint32 kBufferSize = 0x1000000;  /* 16 MB, wrapping */
const Uint32 kFn = 0x081A0002;

/* One wrapping ring-kind block for the whole program, attached, with no
 * filter bits: every writer takes the fast path. */
struct Trace {
    Trace() : memory((gtraceGetAllocSize(kBufferSize) + 7) / 8)
    {
        std::unique_ptr<GtraceOptions> o(new GtraceOptions());
        o->bufferSize = kBufferSize;
        o->traceKind = GTRACE_KIND_WRAP;
        gtraceInitialize(block(), o.get());
        gtraceAttach(block(), 1, nullptr, nullptr, nullptr);
    }
    GTCB* block() { return reinterpret_cast<GTCB*>(memory.data()); }
    std::vector<Uint64> memory;
};

Trace& trace()
{
    static Trace t;
    return t;
}

/* The test every traced operation makes before calling a writer. */
inline bool traceActive()
{
    GTCB* t = g_pGTCB;
    return t != nullptr && t->enabled != 0;
}

void setEnabled(const benchmark::State& state, bool on)
{
    trace();
    if (state.thread_index() == 0)
        on ? gtraceEnable() : gtraceDisable();
}

void BM_TracePointOff(benchmark::State& state)
{
    setEnabled(state, false);
    Uint32 tid = kivThreadID();
    for (auto _ : state) {
        if (traceActive())
            gtraceEntry(tid, 0, kFn, 0, 1000000);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_TracePointOff)->Threads(1)->Threads(2)->UseRealTime();

void BM_BareRingLoop(benchmark::State& state)
{
    setEnabled(state, true);
    RAMBOCB* ring = gtraceRingBuffer(trace().block());
    for (auto _ : state) {
        RamboSlotInfo info;
        Uint8* p = ramboReserveOneSlot(ring, &info);
        benchmark::DoNotOptimize(p);
        ramboSync(ring, &info);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BareRingLoop)->Threads(1)->Threads(2)->UseRealTime();

void BM_EntryRecord(benchmark::State& state)
{
    setEnabled(state, true);
    Uint32 tid = kivThreadID();
    for (auto _ : state) {
        if (traceActive())
            gtraceEntry(tid, 0, kFn, 0, 1000000);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_EntryRecord)->Threads(1)->Threads(2)->UseRealTime();

void BM_DataRecord64(benchmark::State& state)
{
    setEnabled(state, true);
    Uint32 tid = kivThreadID();
    Uint8 data[64];
    memset(data, 0x5A, sizeof data);
    for (auto _ : state) {
        if (traceActive())
            gtraceVar(tid, 0, kFn, 200, GTRACE_TYPE_DATA, 1, GTRACE_ITEM_BLOCK, (Uint32)sizeof data,
                      static_cast<const void*>(data));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DataRecord64)->Threads(1)->Threads(2)->UseRealTime();

} // namespace
