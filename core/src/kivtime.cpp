/*
 * kivtime.cpp - the current time and its calendar split, through the
 * run-time library's 64-bit time functions.
 */
#include "kivtime.h"

#include "kivos.h"

#if defined(_WIN32)
#  include <sys/timeb.h>
#endif
#include <cstring>

namespace {

/* The Windows runtime converts 1970-01-01 00:00:00 up to 3000-12-31
 * 23:59:59 UTC and treats anything else as an invalid parameter; the same
 * range holds on every platform so that results do not depend on it. */
constexpr Uint64 kLastConvertible = 32535215999ull;

struct tm* copyOrClear(const struct tm* result, struct tm* out)
{
    // The runtime's result is per thread; take it before anything else
    // converts on this thread.
    if (result)
        *out = *result;
    else
        std::memset(out, 0, sizeof *out);
    return out;
}

} // namespace

Uint64 kivTimeGetUTC(KIVTime* out)
{
    struct __timeb64 now;
    _ftime64(&now);
    Uint64 seconds = static_cast<Uint64>(now.time);
    if (out) {
        out->seconds = seconds;
        out->milliseconds = now.millitm;
        out->microseconds = static_cast<Uint32>(now.millitm) * 1000u;
    }
    return seconds;
}

struct tm* kivTimeLocalTime(Uint64 seconds, struct tm* out)
{
    if (!out)
        return nullptr;
    __time64_t t = static_cast<__time64_t>(seconds);
    return copyOrClear(seconds <= kLastConvertible ? _localtime64(&t) : nullptr, out);
}

struct tm* kivTimeGmTime(Uint64 seconds, struct tm* out)
{
    if (!out)
        return nullptr;
    __time64_t t = static_cast<__time64_t>(seconds);
    return copyOrClear(seconds <= kLastConvertible ? _gmtime64(&t) : nullptr, out);
}
