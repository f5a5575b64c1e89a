/*
 * kivtick.h - the high-resolution performance counter as points in time
 * (KIVTick) and durations (KIVTickDelta), and their conversion to and from
 * seconds and nanoseconds through a KIVTickConversionFactor.
 *
 * The factor carries the counter frequency, measured once per process by
 * the first KIVTickConversionFactor::initialize, together with a short
 * calibration of the counter against the processor's time-stamp counter;
 * later initialize calls copy the same values.  A missing performance
 * counter is not an error: frequency and both calibration words are then 1.
 *
 * Conversions are pure functions of the tick count and the factor, so a
 * hand-made factor (e.g. KIVTickConversionFactor(10000000)) converts the
 * same way on every machine.
 */
#ifndef KIVTICK_H
#define KIVTICK_H

#include "kivbase.h"

class KIV_API KIVTickConversionFactor {
public:
    /* Fewest performance-counter ticks measured for a fixed piece of work
     * (low 32 bits); 1 when the counter is unavailable or never advanced. */
    Uint32 counterTicks;
    /* Fewest time-stamp-counter ticks for the same work (low 32 bits); 1
     * when either counter is unavailable or never advanced. */
    Uint32 timestampTicks;
    /* Performance-counter ticks per second; 1 when unavailable.  A value
     * below 1 in a hand-made factor converts as 1. */
    Sint64 frequency;

    /* The values of an unavailable counter, until initialize. */
    KIVTickConversionFactor() : counterTicks(1), timestampTicks(1), frequency(1) {}
    explicit KIVTickConversionFactor(Sint64 frequencyIn, Uint32 counterTicksIn = 1,
                                     Uint32 timestampTicksIn = 1)
        : counterTicks(counterTicksIn), timestampTicks(timestampTicksIn), frequency(frequencyIn)
    {
    }

    /* Copies the process-wide factor into this object, measuring it first
     * if this is the first call of the process.  Concurrent first callers
     * wait for the one measurement. */
    void initialize();
};
static_assert(offsetof(KIVTickConversionFactor, counterTicks) == 0, "factor layout");
static_assert(offsetof(KIVTickConversionFactor, timestampTicks) == 4, "factor layout");
static_assert(offsetof(KIVTickConversionFactor, frequency) == 8, "factor layout");
static_assert(sizeof(KIVTickConversionFactor) == 16, "factor layout");

/* A raw 64-bit count of the performance counter; the part KIVTick and
 * KIVTickDelta share (they convert identically). */
class KIV_API KIVTickCount {
public:
    Uint64 getTicks() const { return m_ticks; }
    void setTicks(Uint64 ticks) { m_ticks = ticks; }

    /* The count as time: seconds = floor(q), nanoseconds = the rest, where
     * q = count (read as signed) / frequency, in double precision.  Seconds
     * are kept modulo 2^32; a negative q gives the wrapped floor. */
    void convertToTime(const KIVTickConversionFactor& factor, unsigned int& seconds,
                       unsigned int& nanoseconds) const;

    /* The count for `nanoseconds`: 0 with the count set, or
     * ECF_KIVTICK_TIME_VALUE_TOO_SMALL (below 1000 ns, or less than one
     * tick) or ECF_KIVTICK_TIME_VALUE_TOO_BIG (above 4 294 967 295 seconds,
     * or more ticks than 64 bits hold) with the count 0. */
    Uint32 initFromTimeValue(const KIVTickConversionFactor& factor, unsigned int nanoseconds)
    {
        return initFromTimeValue64(factor, nanoseconds);
    }
    /* The same for a 64-bit nanosecond value. */
    Uint32 initFromTimeValue64(const KIVTickConversionFactor& factor, Uint64 nanoseconds);

protected:
    KIVTickCount() : m_ticks(0) {}
    explicit KIVTickCount(Uint64 ticks) : m_ticks(ticks) {}

private:
    Uint64 m_ticks;
};

/* A point in time of the performance counter. */
class KIV_API KIVTick : public KIVTickCount {
public:
    KIVTick() = default;
    explicit KIVTick(Uint64 ticks) : KIVTickCount(ticks) {}

    /* The performance counter now (QueryPerformanceCounter); 0 when the
     * counter is unavailable. */
    static KIVTick now();
};

/* A duration in performance-counter ticks. */
class KIV_API KIVTickDelta : public KIVTickCount {
public:
    KIVTickDelta() = default;
    explicit KIVTickDelta(Uint64 ticks) : KIVTickCount(ticks) {}
    /* From `start` to `end`, modulo 2^64 (an end before the start gives a
     * count that converts as negative). */
    KIVTickDelta(const KIVTick& start, const KIVTick& end)
        : KIVTickCount(end.getTicks() - start.getTicks())
    {
    }
};

inline KIVTickDelta operator-(const KIVTick& end, const KIVTick& start)
{
    return KIVTickDelta(start, end);
}

static_assert(sizeof(KIVTick) == 8, "a tick is one 64-bit count");
static_assert(sizeof(KIVTickDelta) == 8, "a tick delta is one 64-bit count");

#endif /* KIVTICK_H */
