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

/* The same conversions through both classes. */
template <class T>
class TickConversion : public ::testing::Test {};
typedef ::testing::Types<KIVTick, KIVTickDelta> TickTypes;
TYPED_TEST_SUITE(TickConversion, TickTypes);

TYPED_TEST(TickConversion, TicksToTime)
{
    const struct {
        Uint64 ticks;
        Sint64 frequency;
        unsigned int seconds, nanoseconds;
    } cases[] = {
        {25000000, 10000000, 2, 500000000},
        {0, 10000000, 0, 0},
        {3, 4, 0, 750000000},
        {1000000001ULL, 1000000000, 1, 1},
        {(Uint64(1) << 32) + 5, 1, 5, 0},       // seconds are a 32-bit value
        {~Uint64(0), 4, 0xFFFFFFFFu, 750000000}, // the count is signed: -1 tick
        {0x8000000000000000ULL, 1, 0, 0},
        {7, 0, 7, 0},                             // a frequency below one converts as one
        {7, -5, 7, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.ticks << " ticks at " << c.frequency);
        unsigned int seconds = 12345, nanoseconds = 67890;
        TypeParam(c.ticks).convertToTime(KIVTickConversionFactor(c.frequency), seconds, nanoseconds);
        EXPECT_EQ(c.seconds, seconds);
        EXPECT_EQ(c.nanoseconds, nanoseconds);
    }
    // The largest count overflows nothing.
    unsigned int seconds = 0, nanoseconds = 0;
    TypeParam(0x7FFFFFFFFFFFFFFFULL).convertToTime(KIVTickConversionFactor(1), seconds, nanoseconds);
    EXPECT_LT(nanoseconds, 1000000000u);
}

TYPED_TEST(TickConversion, TimeToTicks)
{
    const KIVTickConversionFactor tenMegahertz(10000000), oneHertz(1), gigahertz(1000000000);
    /* 65536 ticks last 1000 ns (65.536 ticks per ns, rounded so that the
     * floor is safely 1000): 10^17 ns fits in 64 bits of ticks, 10^18 does not. */
    const KIVTickConversionFactor fast(65503248376LL), fastest(Sint64(1) << 62);
    const Uint32 tooSmall = ECF_KIVTICK_TIME_VALUE_TOO_SMALL, tooBig = ECF_KIVTICK_TIME_VALUE_TOO_BIG;
    const struct {
        const KIVTickConversionFactor& factor;
        bool wide;  /* initFromTimeValue64 */
        Uint64 ns;
        Uint32 rc;
        Uint64 ticks;
    } cases[] = {
        {tenMegahertz, false, 1000, 0, 10},
        {tenMegahertz, false, 2500000000u, 0, 25000000},
        {tenMegahertz, false, 0xFFFFFFFFu, 0, 42949672},
        {tenMegahertz, false, 1099, 0, 10},  // partial ticks are cut off
        {tenMegahertz, false, 999, tooSmall, 0},
        {tenMegahertz, false, 0, tooSmall, 0},
        {oneHertz, false, 999999999u, tooSmall, 0},  // less than one tick
        {oneHertz, false, 1000000000u, 0, 1},
        {tenMegahertz, true, 4294967295000000000ULL, 0, 42949672950000000ULL},
        {tenMegahertz, true, 4294967295000000001ULL, tooBig, 0},
        {tenMegahertz, true, ~Uint64(0), tooBig, 0},
        /* At 1 GHz the tick count is the time, which t * 65536 in 64 bits
         * would get wrong from 2^48 up. */
        {gigahertz, true, (Uint64(1) << 48) - 1, 0, (Uint64(1) << 48) - 1},
        {gigahertz, true, Uint64(1) << 48, 0, Uint64(1) << 48},
        {gigahertz, true, (Uint64(1) << 48) + 1, 0, (Uint64(1) << 48) + 1},
        {gigahertz, true, 1234567890123456789ULL, 0, 1234567890123456789ULL},
        {gigahertz, true, 4294967295000000000ULL, 0, 4294967295000000000ULL},
        {tenMegahertz, true, (Uint64(1) << 50) + 99, 0, ((Uint64(1) << 50) + 99) / 100},
        {fast, true, 100000000000000000ULL, 0, 6553600000000000000ULL},
        {fast, true, 1000000000000000000ULL, tooBig, 0},
        {fastest, false, 5000, tooBig, 0},  // 65536 ticks take no whole nanosecond
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.ns << " ns at " << c.factor.frequency);
        TypeParam t(99);
        const Uint32 rc = c.wide ? t.initFromTimeValue64(c.factor, c.ns)
                                 : t.initFromTimeValue(c.factor, (unsigned int)c.ns);
        EXPECT_EQ(c.rc, rc);
        EXPECT_EQ(c.ticks, t.getTicks());
    }
}

TYPED_TEST(TickConversion, RoundTrip)
{
    const KIVTickConversionFactor factor(3579545); /* an odd frequency */
    TypeParam t;
    for (unsigned int ns : {1001u, 1234567891u, 4000000000u}) {
        ASSERT_EQ(t.initFromTimeValue(factor, ns), 0u);
        unsigned int seconds = 0, nanoseconds = 0;
        t.convertToTime(factor, seconds, nanoseconds);
        const Sint64 error = Sint64(seconds) * 1000000000 + nanoseconds - Sint64(ns);
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
    unsigned int seconds = 0, nanoseconds = 0;
    (start - end).convertToTime(KIVTickConversionFactor(1000), seconds, nanoseconds);
    EXPECT_EQ(seconds, 0xFFFFFFFFu);
    EXPECT_EQ(nanoseconds, 750000000u);

    const KIVTick a = KIVTick::now();
    const KIVTick b = KIVTick::now();
    EXPECT_NE(a.getTicks(), 0u);
    EXPECT_GE(b.getTicks(), a.getTicks());
}

bool sameFactor(const KIVTickConversionFactor& a, const KIVTickConversionFactor& b)
{
    return a.counterTicks == b.counterTicks && a.timestampTicks == b.timestampTicks &&
           a.frequency == b.frequency;
}

TEST(Tick, FactorIsMeasuredOncePerProcess)
{
    /* Until measured, a factor describes the unavailable counter. */
    const KIVTickConversionFactor unmeasured;
    EXPECT_TRUE(sameFactor(KIVTickConversionFactor(1, 1, 1), unmeasured));

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
