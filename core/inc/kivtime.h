/*
 * kivtime.h - the current time with millisecond resolution and its calendar
 * split.
 */
#ifndef KIVTIME_H
#define KIVTIME_H

#include <stddef.h>
#include <time.h>

#include "kivbase.h"

typedef struct KIVTime {
    Uint64 seconds;      /* since 1970-01-01 00:00 UTC */
    Uint16 milliseconds; /* 0..999 */
    Uint32 microseconds; /* always milliseconds * 1000 */
} KIVTime;

#ifdef __cplusplus
static_assert(offsetof(KIVTime, seconds) == 0, "KIVTime layout");
static_assert(offsetof(KIVTime, milliseconds) == 8, "KIVTime layout");
static_assert(offsetof(KIVTime, microseconds) == 12, "KIVTime layout");
static_assert(sizeof(KIVTime) == 16, "KIVTime layout");

extern "C" {
#endif

/* Fills `out` (may be null) and returns the seconds since 1970. */
KIV_API Uint64 kivTimeGetUTC(KIVTime* out);

/* Calendar split of `seconds` in local time / UTC into `out`; returns `out`.
 * Seconds the run-time library cannot convert (before 1970, or beyond its
 * last year) leave `out` zero-filled. */
KIV_API struct tm* kivTimeLocalTime(Uint64 seconds, struct tm* out);
KIV_API struct tm* kivTimeGmTime(Uint64 seconds, struct tm* out);

#ifdef __cplusplus
}
#endif

#endif /* KIVTIME_H */
