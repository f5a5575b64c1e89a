/*
 * test_tick.cpp - ticks and their conversion to and from time with
 * hand-made factors, the limits of the time-to-tick conversion, its 128-bit
 * path, and the once-per-process measurement of the factor.
 */
#include "kivecf.h"
#include "kivtick.h"
#include "kivtest.h"

#include <thread>
#include <vector>

namespace {

struct Time {
    unsigned int seconds;
    unsigned int nanoseconds;
};

template <class T>
Time timeOf(Uint64 ticks, Sint64 frequency)
{
    T t(ticks);
    Time out = {12345, 67890};
    t.convertToTime(KIVTickConversionFactor(frequency), out.seconds, out.nanoseconds);
    return out;
}

/* The same conversions through both classes. */
template <class T>
class TickConversion : public ::testing::Test {};
typedef ::testing::Types<KIVTick, KIVTickDelta> TickTypes;
TYPED_TEST_SUITE(TickConversion, TickTypes);

TYPED_TEST(TickConversion, TicksToTime)
{
    Time t = timeOf<TypeParam>(25000000, 10000000);
    EXPECT_EQ(t.seconds, 2u);
    EXPECT_EQ(t.nanoseconds, 500000000u);

    t = timeOf<TypeParam>(0, 10000000);
    EXPECT_EQ(t.seconds, 0u);
    EXPECT_EQ(t.nanoseconds, 0u);

    t = timeOf<TypeParam>(3, 4);
    EXPECT_EQ(t.seconds, 0u);
    EXPECT_EQ(t.nanoseconds, 750000000u);

    t = timeOf<TypeParam>(1000000001ULL, 1000000000);
    EXPECT_EQ(t.seconds, 1u);
    EXPECT_EQ(t.nanoseconds, 1u);
}

TYPED_TEST(TickConversion, SecondsWrapAndNegativeCounts)
{
    /* Seconds are a 32-bit value. */
    Time t = timeOf<TypeParam>((Uint64(1) << 32) + 5, 1);
    EXPECT_EQ(t.seconds, 5u);
    EXPECT_EQ(t.nanoseconds, 0u);
    /* The count is read as signed: -1 tick of a quarter second. */
    t = timeOf<TypeParam>(~Uint64(0), 4);
    EXPECT_EQ(t.seconds, 0xFFFFFFFFu);
    EXPECT_EQ(t.nanoseconds, 750000000u);
    /* The largest counts do not overflow anything. */
    t = timeOf<TypeParam>(0x7FFFFFFFFFFFFFFFULL, 1);
    EXPECT_LT(t.nanoseconds, 1000000000u);
    t = timeOf<TypeParam>(0x8000000000000000ULL, 1);
    EXPECT_EQ(t.seconds, 0u);
    EXPECT_EQ(t.nanoseconds, 0u);
}

TYPED_TEST(TickConversion, FrequencyBelowOneConvertsAsOne)
{
    for (Sint64 frequency : {Sint64(0), Sint64(-5)}) {
        Time t = timeOf<TypeParam>(7, frequency);
        EXPECT_EQ(t.seconds, 7u);
        EXPECT_EQ(t.nanoseconds, 0u);
    }
}

TYPED_TEST(TickConversion, TimeToTicks)
{
    const KIVTickConversionFactor factor(10000000);
    TypeParam t(99);
    EXPECT_EQ(t.initFromTimeValue(factor, 1000u), 0u);
    EXPECT_EQ(t.getTicks(), 10u);
    EXPECT_EQ(t.initFromTimeValue(factor, 2500000000u), 0u);
    EXPECT_EQ(t.getTicks(), 25000000u);
    EXPECT_EQ(t.initFromTimeValue(factor, 0xFFFFFFFFu), 0u);
    EXPECT_EQ(t.getTicks(), 42949672u);
    /* Partial ticks are cut off. */
    EXPECT_EQ(t.initFromTimeValue(factor, 1099u), 0u);
    EXPECT_EQ(t.getTicks(), 10u);
}

TYPED_TEST(TickConversion, TimeTooSmall)
{
    const KIVTickConversionFactor factor(10000000);
    TypeParam t(99);
    EXPECT_EQ(t.initFromTimeValue(factor, 999u), ECF_KIVTICK_TIME_VALUE_TOO_SMALL);
    EXPECT_EQ(t.getTicks(), 0u);
    t.setTicks(99);
    EXPECT_EQ(t.initFromTimeValue(factor, 0u), ECF_KIVTICK_TIME_VALUE_TOO_SMALL);
    EXPECT_EQ(t.getTicks(), 0u);
    /* Enough nanoseconds, but less than one tick of a one-tick-a-second
     * counter. */
    t.setTicks(99);
    EXPECT_EQ(t.initFromTimeValue(KIVTickConversionFactor(1), 999999999u),
              ECF_KIVTICK_TIME_VALUE_TOO_SMALL);
    EXPECT_EQ(t.getTicks(), 0u);
    EXPECT_EQ(t.initFromTimeValue(KIVTickConversionFactor(1), 1000000000u), 0u);
    EXPECT_EQ(t.getTicks(), 1u);
}

TYPED_TEST(TickConversion, TimeTooBig)
{
    const KIVTickConversionFactor factor(10000000);
    TypeParam t(99);
    EXPECT_EQ(t.initFromTimeValue64(factor, 4294967295000000001ULL), ECF_KIVTICK_TIME_VALUE_TOO_BIG);
    EXPECT_EQ(t.getTicks(), 0u);
    EXPECT_EQ(t.initFromTimeValue64(factor, ~Uint64(0)), ECF_KIVTICK_TIME_VALUE_TOO_BIG);
    EXPECT_EQ(t.initFromTimeValue64(factor, 4294967295000000000ULL), 0u);
    EXPECT_EQ(t.getTicks(), 42949672950000000ULL);
}

TYPED_TEST(TickConversion, WideTimesUse128BitArithmetic)
{
    /* At 1 GHz 65536 ticks are 65536 ns: the tick count is the time, which
     * t * 65536 in 64 bits would get wrong from 2^48 up. */
    const KIVTickConversionFactor gigahertz(1000000000);
    TypeParam t;
    for (Uint64 ns : {(Uint64(1) << 48) - 1, Uint64(1) << 48, (Uint64(1) << 48) + 1,
                      Uint64(1) << 50, 1234567890123456789ULL, 4294967295000000000ULL}) {
        ASSERT_EQ(t.initFromTimeValue64(gigahertz, ns), 0u) << ns;
        EXPECT_EQ(t.getTicks(), ns) << ns;
    }
    /* At 10 MHz a tick is 100 ns. */
    const KIVTickConversionFactor tenMegahertz(10000000);
    ASSERT_EQ(t.initFromTimeValue64(tenMegahertz, (Uint64(1) << 50) + 99), 0u);
    EXPECT_EQ(t.getTicks(), ((Uint64(1) << 50) + 99) / 100);
}

TYPED_TEST(TickConversion, TickCountsBeyond64BitsAreTooBig)
{
    /* 65536 ticks last 1000 ns (65.536 ticks per ns, rounded so that the
     * floor is safely 1000): 10^17 ns fits, 10^18 ns does not. */
    const KIVTickConversionFactor fast(65503248376LL);
    TypeParam t(99);
    ASSERT_EQ(t.initFromTimeValue64(fast, 100000000000000000ULL), 0u);
    EXPECT_EQ(t.getTicks(), 6553600000000000000ULL);
    EXPECT_EQ(t.initFromTimeValue64(fast, 1000000000000000000ULL), ECF_KIVTICK_TIME_VALUE_TOO_BIG);
    EXPECT_EQ(t.getTicks(), 0u);
    /* A counter so fast that 65536 ticks take no whole nanosecond. */
    EXPECT_EQ(t.initFromTimeValue(KIVTickConversionFactor(Sint64(1) << 62), 5000u),
              ECF_KIVTICK_TIME_VALUE_TOO_BIG);
}

TYPED_TEST(TickConversion, RoundTrip)
{
    const KIVTickConversionFactor factor(3579545); /* an odd frequency */
    TypeParam t;
    for (unsigned int ns : {1001u, 1234567891u, 4000000000u}) {
        ASSERT_EQ(t.initFromTimeValue(factor, ns), 0u);
        Time back = {0, 0};
        t.convertToTime(factor, back.seconds, back.nanoseconds);
        const Sint64 error = Sint64(back.seconds) * 1000000000 + back.nanoseconds - Sint64(ns);
        /* Cut down to whole ticks of about 280 ns. */
        EXPECT_LE(error, 0) << ns;
        EXPECT_GT(error, -300) << ns;
    }
}

TEST(Tick, DeltaBetweenTwoTicks)
{
    const KIVTick start(1000), end(1250);
    EXPECT_EQ(KIVTickDelta(start, end).getTicks(), 250u);
    EXPECT_EQ((end - start).getTicks(), 250u);
    /* Backwards: a count that converts as negative. */
    Time t = {0, 0};
    (start - end).convertToTime(KIVTickConversionFactor(1000), t.seconds, t.nanoseconds);
    EXPECT_EQ(t.seconds, 0xFFFFFFFFu);
    EXPECT_EQ(t.nanoseconds, 750000000u);
}

TEST(Tick, NowMovesForward)
{
    const KIVTick a = KIVTick::now();
    const KIVTick b = KIVTick::now();
    EXPECT_NE(a.getTicks(), 0u);
    EXPECT_GE(b.getTicks(), a.getTicks());
}

TEST(Tick, DefaultFactorIsTheUnavailableCounter)
{
    const KIVTickConversionFactor f;
    EXPECT_EQ(f.counterTicks, 1u);
    EXPECT_EQ(f.timestampTicks, 1u);
    EXPECT_EQ(f.frequency, 1);
}

bool sameFactor(const KIVTickConversionFactor& a, const KIVTickConversionFactor& b)
{
    return a.counterTicks == b.counterTicks && a.timestampTicks == b.timestampTicks &&
           a.frequency == b.frequency;
}

TEST(Tick, FactorIsMeasuredOncePerProcess)
{
    KIVTickConversionFactor first, second(5, 6, 7);
    first.initialize();
    second.initialize();
    EXPECT_TRUE(sameFactor(first, second));
    EXPECT_GE(first.frequency, 1);
    EXPECT_GE(first.counterTicks, 1u);
    EXPECT_GE(first.timestampTicks, 1u);
}

/* A fresh process whose first initialize calls race: one measures, the
 * others wait for it, and all copy the same values. */
KIVTEST_CHILD(tickConcurrentFirstInitialize)
{
    const int threads = 6;
    std::vector<KIVTickConversionFactor> factors(threads);
    std::vector<std::thread> running;
    for (int i = 0; i < threads; ++i)
        running.emplace_back([&factors, i] { factors[i].initialize(); });
    for (auto& th : running)
        th.join();
    for (int i = 1; i < threads; ++i)
        if (!sameFactor(factors[0], factors[i]))
            return 1;
    KIVTickConversionFactor later;
    later.initialize();
    return sameFactor(factors[0], later) && factors[0].frequency >= 1 ? 0 : 2;
}

TEST(Tick, ConcurrentFirstCallersShareOneMeasurement)
{
    EXPECT_EQ(kivtestRunChild("tickConcurrentFirstInitialize"), 0);
}

} // namespace
