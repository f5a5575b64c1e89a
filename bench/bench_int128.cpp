/*
 * bench_int128.cpp - cost of the 128-bit operations that are done in
 * software: multiplication, the division paths, decimal text both ways and
 * the floating point conversions.
 */
#include "kivint128.h"

#include <benchmark/benchmark.h>

#include <random>
#include <vector>

namespace {

const size_t kOperands = 1024; // a power of two, indexed with a mask

/* Operands of a fixed bit length, so that each benchmark measures one path. */
std::vector<Uint128> operands(unsigned bits, unsigned seed)
{
    std::mt19937_64 rng(seed);
    std::vector<Uint128> v(kOperands);
    for (Uint128& x : v) {
        x.setHalves(rng(), rng());
        x >>= 128 - bits;
        x |= Uint128(1) << (bits - 1);
    }
    return v;
}

void BM_Multiply(benchmark::State& state)
{
    const std::vector<Uint128> a = operands(128, 1), b = operands(128, 2);
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(a[i] * b[i]);
        i = (i + 1) & (kOperands - 1);
    }
}
BENCHMARK(BM_Multiply);

void BM_MultiplySigned(benchmark::State& state)
{
    const std::vector<Uint128> a = operands(128, 3), b = operands(100, 4);
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Sint128(a[i]) * -Sint128(b[i]));
        i = (i + 1) & (kOperands - 1);
    }
}
BENCHMARK(BM_MultiplySigned);

/* Dividend and divisor lengths in bits: 64/64 takes the native division,
 * the others the bit-by-bit long division. */
void BM_Divide(benchmark::State& state)
{
    const std::vector<Uint128> n = operands(unsigned(state.range(0)), 5);
    const std::vector<Uint128> d = operands(unsigned(state.range(1)), 6);
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(n[i] / d[i]);
        i = (i + 1) & (kOperands - 1);
    }
}
BENCHMARK(BM_Divide)->Args({64, 64})->Args({128, 64})->Args({128, 96})->Args({128, 128});

void BM_ToString(benchmark::State& state)
{
    const std::vector<Uint128> v = operands(unsigned(state.range(0)), 7);
    char buf[48];
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(v[i].toString(buf, sizeof buf));
        benchmark::ClobberMemory();
        i = (i + 1) & (kOperands - 1);
    }
}
BENCHMARK(BM_ToString)->Arg(64)->Arg(128);

void BM_FromString(benchmark::State& state)
{
    for (auto _ : state)
        benchmark::DoNotOptimize(Sint128::fromString("-170141183460469231731687303715884105728"));
}
BENCHMARK(BM_FromString);

void BM_ToDouble(benchmark::State& state)
{
    const std::vector<Uint128> v = operands(120, 8);
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(double(v[i]));
        i = (i + 1) & (kOperands - 1);
    }
}
BENCHMARK(BM_ToDouble);

void BM_FromDouble(benchmark::State& state)
{
    double d = 1.2345678901234567e30;
    for (auto _ : state) {
        benchmark::DoNotOptimize(Sint128(d));
        benchmark::DoNotOptimize(d);
    }
}
BENCHMARK(BM_FromDouble);

} // namespace

BENCHMARK_MAIN();
