/*
 * benchtrace.h - what the trace benchmarks share: one attached wrapping
 * ring-kind control block for the whole program, the payload its writers
 * copy, and the test every traced operation makes before calling a writer.
 */
#ifndef KIVE_BENCHTRACE_H
#define KIVE_BENCHTRACE_H

#include "gptrace.h"
#include "kivthread.h"

#include <string.h>

#include <memory>
#include <vector>

#include <benchmark/benchmark.h>

namespace benchtrace {

/* Big enough that the writers of a run do not sit on each other's cache
 * lines; its pages are touched once by initialisation, before any timing. */
const Uint32 kBufferSize = 0x1000000;
const Uint32 kFn = 0x081A0002;   /* KIVHFile::open */

/* What a writer puts into a record; the contents do not matter. */
struct Block64 {
    Uint8 bytes[64];
    Block64() { memset(bytes, 0x5A, sizeof bytes); }
};

inline void countRecords(benchmark::State& state)
{
    state.counters["records/s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}

/* False, with the benchmark skipped, when `p` did not initialise. */
inline bool ready(benchmark::State& state, const void* p)
{
    if (p != nullptr)
        return true;
    state.SkipWithError("trace buffer did not initialise");
    return false;
}

/* The control block, attached, with no filter bits: every writer takes
 * the fast path.  Null when it did not initialise. */
inline GTCB* traceBlock()
{
    static std::vector<Uint64> memory(gtraceGetAllocSize(kBufferSize) / 8 + 1);
    static GTCB* block = [] {
        GTCB* b = reinterpret_cast<GTCB*>(memory.data());
        std::unique_ptr<GtraceOptions> o(new GtraceOptions());
        o->bufferSize = kBufferSize;
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
inline bool traceSwitched(benchmark::State& state, bool on)
{
    if (!ready(state, traceBlock()))
        return false;
    if (state.thread_index() == 0)
        on ? gtraceEnable() : gtraceDisable();
    return true;
}

/* Entry records, as every traced operation writes one; with tracing off,
 * the trace point's test and nothing else. */
inline void entryRecords(benchmark::State& state, bool on)
{
    if (!traceSwitched(state, on))
        return;
    const Uint32 tid = kivThreadID();
    for (auto _ : state) {
        if (traceActive())
            gtraceEntry(tid, 0, kFn, 0, 1000000);
        benchmark::ClobberMemory();
    }
    countRecords(state);
}

/* Data records with one 64-byte block item (two slots). */
inline void dataRecords64(benchmark::State& state, bool on)
{
    if (!traceSwitched(state, on))
        return;
    const Uint32 tid = kivThreadID();
    const Block64 block;
    for (auto _ : state) {
        if (traceActive())
            gtraceVar(tid, 0, kFn, 200, GTRACE_TYPE_DATA, 1, (Uint32)GTRACE_ITEM_BLOCK,
                      (Uint32)sizeof block.bytes, static_cast<const void*>(block.bytes));
        benchmark::ClobberMemory();
    }
    countRecords(state);
}

} // namespace benchtrace

#endif
