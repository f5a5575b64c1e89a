/*
 * bench_mem.cpp - an allocation and its free through the library in each
 * debug mode, next to the same pair through malloc/free.
 *
 * Every library benchmark also times malloc/free of the same size for the
 * same number of iterations and reports the quotient as the counter
 * "x_malloc" (1.0 = as fast as the C runtime).  The off mode can only be
 * chosen before a process's first allocation, so its benchmarks run in a
 * child process forked before anything is allocated.
 */
#include "kivmem.h"

#include <cstdio>
#include <cstdlib>
#include <string>

#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

namespace {

struct Mode {
    const char* name;
    Uint32      word;
    Uint32      flags; /* what the KIVEMEMDBG level of the mode sets */
};

const Mode kOff = {"off", KIVMEM_MODE_OFF, 0};
const Mode kModes[] = {
    {"IDLE", KIVMEM_MODE_IDLE, 0},
    {"LIGHT", KIVMEM_MODE_LIGHT, 0xB},
    {"FULL", KIVMEM_MODE_FULL, 0xF},
};
const Uint32 kSizes[] = {16, 256, 4096};

/* The quotient is taken on the thread's processor time, so that other
 * load on the machine does not tilt it. */
double threadSeconds()
{
    timespec ts;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

double mallocSeconds(Uint32 size, benchmark::IterationCount n)
{
    const double t0 = threadSeconds();
    for (benchmark::IterationCount i = 0; i < n; ++i) {
        void* p = std::malloc(size);
        benchmark::DoNotOptimize(p);
        std::free(p);
    }
    return threadSeconds() - t0;
}

void runLibrary(benchmark::State& state, Mode mode, Uint32 size)
{
    if (kivMemSetDebug(mode.flags, mode.word, 2, 2) != 0) {
        state.SkipWithError("mode refused");
        return;
    }
    const double t0 = threadSeconds();
    for (auto _ : state) {
        void* p = nullptr;
        kivMemAlloc(&p, nullptr, size, 0, __FILE__, __LINE__);
        benchmark::DoNotOptimize(p);
        kivMemFree(&p, 0, 0, __FILE__, __LINE__);
    }
    const double library = threadSeconds() - t0;
    const double crt = mallocSeconds(size, state.iterations());
    state.counters["x_malloc"] = crt > 0 ? library / crt : 0;
}

void runMalloc(benchmark::State& state, Uint32 size)
{
    for (auto _ : state) {
        void* p = std::malloc(size);
        benchmark::DoNotOptimize(p);
        std::free(p);
    }
}

void registerLibrary(const Mode& mode)
{
    for (Uint32 size : kSizes)
        benchmark::RegisterBenchmark(
            ("BM_MemAllocFree/" + std::string(mode.name) + "/" + std::to_string(size)).c_str(),
            runLibrary, mode, size);
}

} // namespace

int main(int argc, char** argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;

    std::fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        registerLibrary(kOff);
        benchmark::RunSpecifiedBenchmarks();
        std::fflush(nullptr);
        _exit(0);
    }
    if (child > 0)
        waitpid(child, nullptr, 0);

    for (Uint32 size : kSizes)
        benchmark::RegisterBenchmark(("BM_MallocFree/" + std::to_string(size)).c_str(), runMalloc,
                                     size);
    for (const Mode& m : kModes)
        registerLibrary(m);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
