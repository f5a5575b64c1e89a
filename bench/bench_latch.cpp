/*
 * bench_latch.cpp - cost of the latch and the atomic primitives: the
 * uncontended get/release pair, fetch-and-add, and a latch shared by two
 * threads.
 */
#include "kivatomic.h"
#include "kivlatch.h"

#include <benchmark/benchmark.h>

namespace {

KIVLatch g_shared{};
Uint32 g_sharedCounter = 0;

void BM_LatchUncontended(benchmark::State& state)
{
    KIVLatch latch{};
    for (auto _ : state) {
        latch.get();
        latch.release();
    }
}
BENCHMARK(BM_LatchUncontended);

void BM_VLatchUncontended(benchmark::State& state)
{
    KIVVLatch latch;
    kivVLatchInit(&latch, 0);
    for (auto _ : state) {
        kivVLatchGet(&latch);
        kivVLatchRelease(&latch);
    }
}
BENCHMARK(BM_VLatchUncontended);

void BM_FetchAndAdd32(benchmark::State& state)
{
    volatile Uint32 cell = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(kivWin32FetchAndAdd32Internal(&cell, 1));
}
BENCHMARK(BM_FetchAndAdd32);

void BM_AtomicSigned32Increment(benchmark::State& state)
{
    KIVVAtomicSigned32 counter;
    counter.init(0, 0);
    for (auto _ : state)
        counter.increment(nullptr);
}
BENCHMARK(BM_AtomicSigned32Increment);

void BM_CompareSwap64(benchmark::State& state)
{
    volatile Uint64 cell = 0;
    Uint64 expected = 0;
    for (auto _ : state) {
        Uint32 next = static_cast<Uint32>(expected) + 1;
        benchmark::DoNotOptimize(kivWin32CompareSwapAndReturn64Internal(&cell, &expected, next, 0));
    }
}
BENCHMARK(BM_CompareSwap64);

/* Both threads take one latch (static, hence free) around a short critical
 * section, with the library's load-time spin tuning. */
void BM_LatchContended(benchmark::State& state)
{
    for (auto _ : state) {
        g_shared.get();
        ++g_sharedCounter;
        g_shared.release();
    }
}
BENCHMARK(BM_LatchContended)->Threads(2)->UseRealTime();

} // namespace
