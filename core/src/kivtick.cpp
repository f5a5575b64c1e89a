/*
 * kivtick.cpp - performance-counter ticks, the process-wide conversion
 * factor and its calibration, and the conversions between ticks and time.
 */
#include "kivtick.h"

#include <math.h>
#include <x86intrin.h>

#include "kivecf.h"
#include "kivint128.h"
#include "kivlatch.h"
#include "kivos.h"

namespace {

/* The fixed piece of work both counters are timed over. */
const Uint32 kCalibrationWork = 350;
/* Positive measurements kept per counter, and the most attempts made to get
 * them: a counter that never advances must not hold the first caller of
 * the process for ever. */
const Uint32 kMeasurements   = 5;
const Uint32 kMaxAttempts    = 10000;
/* Times above this many nanoseconds (4 294 967 295 seconds) are refused. */
const Uint64 kMaxNanoseconds = 4294967295000000000ULL;
const Uint64 kMinNanoseconds = 1000;
/* Below this the product t * 65536 fits in 64 bits. */
const Uint64 kWideProductFrom = Uint64(1) << 48;
const Uint32 kUnitShift       = 16; /* the conversion unit: 65536 ticks */

/* The process-wide factor: plain zero-initialised statics, valid before any
 * constructor of the library has run. */
KIVLatch s_factorLatch;
bool     s_calibrated;
Uint32   s_counterTicks;
Uint32   s_timestampTicks;
Sint64   s_frequency;

/* The x87 unit of the 32-bit targets keeps intermediate results in
 * extended precision; storing one rounds it to double, as every other
 * target computes it, so that a conversion gives the same ticks and
 * nanoseconds everywhere. */
double roundedToDouble(double v)
{
    volatile double stored = v;
    return stored;
}

Uint64 readPerformanceCounter()
{
    LARGE_INTEGER now;
    return QueryPerformanceCounter(&now) ? Uint64(now.QuadPart) : 0;
}

Uint64 readTimestampCounter() { return __rdtsc(); }

/* Fewest ticks of `read` around the fixed work over kMeasurements positive
 * differences; 1 when not one difference was positive. */
Uint64 fewestTicks(Uint64 (*read)())
{
    Uint64 fewest = 0;
    Uint32 found = 0;
    for (Uint32 attempt = 0; attempt < kMaxAttempts && found < kMeasurements; ++attempt) {
        const Uint64 before = read();
        kivWasteTime(kCalibrationWork);
        const Sint64 elapsed = Sint64(read() - before);
        if (elapsed > 0) {
            if (found == 0 || Uint64(elapsed) < fewest)
                fewest = Uint64(elapsed);
            ++found;
        }
    }
    return found != 0 ? fewest : 1;
}

/* Runs once per process, under the latch. */
void calibrate()
{
    LARGE_INTEGER frequency;
    if (!QueryPerformanceFrequency(&frequency) || frequency.QuadPart <= 0) {
        s_frequency = 1;
        s_counterTicks = 1;
        s_timestampTicks = 1;
        return;
    }
    s_frequency = frequency.QuadPart;
    s_counterTicks = Uint32(fewestTicks(readPerformanceCounter));
    /* Without a usable time-stamp counter there is nothing to time. */
    s_timestampTicks = kivCanUseRegister() ? Uint32(fewestTicks(readTimestampCounter)) : 1;
}

} // namespace

void KIVTickConversionFactor::initialize()
{
    s_factorLatch.get();
    if (!s_calibrated) {
        calibrate();
        s_calibrated = true;
    }
    counterTicks = s_counterTicks;
    timestampTicks = s_timestampTicks;
    frequency = s_frequency;
    s_factorLatch.release();
}

void KIVTickCount::convertToTime(const KIVTickConversionFactor& factor, unsigned int& seconds,
                                 unsigned int& nanoseconds) const
{
    const double frequency = factor.frequency > 0 ? double(factor.frequency) : 1.0;
    const double q = roundedToDouble(double(Sint64(m_ticks)) / frequency);
    const double whole = floor(q);
    /* Seconds modulo 2^32, computed in double so that no value of q
     * (|q| up to 2^63) overflows an integer conversion. */
    const double twoTo32 = 4294967296.0;
    double wrapped = fmod(whole, twoTo32);
    if (wrapped < 0)
        wrapped += twoTo32;
    seconds = Uint32(wrapped);
    /* The fraction is below 1, but its product may round up to 10^9. */
    const double fraction = floor(roundedToDouble((q - whole) * 1e9));
    nanoseconds = fraction < 999999999.0 ? Uint32(fraction) : 999999999u;
}

Uint32 KIVTickCount::initFromTimeValue64(const KIVTickConversionFactor& factor, Uint64 nanoseconds)
{
    m_ticks = 0;
    if (nanoseconds > kMaxNanoseconds)
        return ECF_KIVTICK_TIME_VALUE_TOO_BIG;
    if (nanoseconds < kMinNanoseconds)
        return ECF_KIVTICK_TIME_VALUE_TOO_SMALL;

    unsigned int unitSeconds = 0, unitNanoseconds = 0;
    KIVTickCount(Uint64(1) << kUnitShift).convertToTime(factor, unitSeconds, unitNanoseconds);
    const Uint64 unit = Uint64(unitSeconds) * 1000000000u + unitNanoseconds;
    if (unit == 0)
        return ECF_KIVTICK_TIME_VALUE_TOO_BIG; /* 65536 ticks last less than 1 ns */

    Uint64 ticks;
    if (nanoseconds < kWideProductFrom) {
        ticks = (nanoseconds << kUnitShift) / unit;
    } else {
        Uint128 product(nanoseconds);
        product <<= kUnitShift;
        const Uint128 quotient = product / Uint128(unit);
        if (quotient.high64() != 0)
            return ECF_KIVTICK_TIME_VALUE_TOO_BIG;
        ticks = quotient.low64();
    }
    if (ticks == 0)
        return ECF_KIVTICK_TIME_VALUE_TOO_SMALL;
    m_ticks = ticks;
    return 0;
}

KIVTick KIVTick::now()
{
    return KIVTick(readPerformanceCounter());
}
