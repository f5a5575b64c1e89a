/*
 * bench_string.cpp - cost of the formatting and conversion helpers the log
 * writer and the trace use on their hot paths: a typical log line through
 * kivSnprintf, a 256-byte hex dump, and text-to-integer conversions.
 */
#include "kivstring.h"

#include <benchmark/benchmark.h>

#include <cstring>

namespace {

void BM_SnprintfLogLine(benchmark::State& state)
{
    char line[512];
    Uint32 pid = 4242, tid = 17, rc = 0x9000001Au;
    for (auto _ : state) {
        Uint32 n = kivSnprintf(line, sizeof line,
                               "2024-05-17-14.03.59.123456 PID %u TID %u %s probe %d rc 0x%08X %s",
                               pid, tid, "KIVHFile::open", 20, rc, "File doesn't exist");
        benchmark::DoNotOptimize(n);
        benchmark::ClobberMemory();
    }
}
BENCHMARK(BM_SnprintfLogLine);

void BM_HexDumpToBuffer256(benchmark::State& state)
{
    unsigned char data[256];
    for (int i = 0; i < 256; ++i)
        data[i] = static_cast<unsigned char>(i * 37);
    char out[4096];
    const Uint32 flags = static_cast<Uint32>(state.range(0));
    for (auto _ : state) {
        kivHexDumpToBuffer(data, sizeof data, out, sizeof out, "    ", flags);
        benchmark::DoNotOptimize(out);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * 256);
}
BENCHMARK(BM_HexDumpToBuffer256)->Arg(0)->Arg(KIV_HEXDUMP_ADDRESS);

void BM_StrToUint64(benchmark::State& state)
{
    static const char* const texts[] = {"42", "0x7FFFFFFF", "18446744073709551615", "  -017"};
    const char* text = texts[state.range(0)];
    for (auto _ : state) {
        char* end;
        Uint64 v = kivStrToUint64(text, &end, 0);
        benchmark::DoNotOptimize(v);
        benchmark::DoNotOptimize(end);
    }
    state.SetLabel(text);
}
BENCHMARK(BM_StrToUint64)->DenseRange(0, 3);

} // namespace
