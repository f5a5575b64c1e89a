/*
 * kivstring.cpp - bounded formatting and the conversions of text to booleans
 * and 64-bit integers.
 *
 * The log writer and the trace format with these while holding their
 * latches, so nothing here allocates or keeps state.
 */
#include "kivstring.h"

#include "kivecf.h"
#include "kivos.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstring>

static_assert(ERANGE == 34, "callers compare errno with the value 34");

Uint32 kivVsnprintf(char* buffer, Uint32 size, const char* format, va_list args)
{
    if (!buffer || size == 0)
        return 0;
    if (!format) {
        buffer[0] = '\0';
        return 0;
    }
    // C99 runtimes report a truncation as r >= size, older Windows ones as a
    // negative r without a terminator; both end up cut at size - 1.
    int r = vsnprintf(buffer, size, format, args);
    if (r >= 0 && static_cast<Uint32>(r) < size) {
        buffer[r] = '\0';
        return static_cast<Uint32>(r);
    }
    buffer[size - 1] = '\0';
    return size - 1;
}

Uint32 kivSnprintf(char* buffer, Uint32 size, const char* format, ...)
{
    va_list args;
    va_start(args, format);
    Uint32 n = kivVsnprintf(buffer, size, format, args);
    va_end(args);
    return n;
}

/* ---- booleans ------------------------------------------------------- */

namespace {

constexpr const char* kTrueWords[]  = {"1", "ON", "Y", "YES", "T", "TRUE"};
constexpr const char* kFalseWords[] = {"0", "OFF", "N", "NO", "F", "FALSE"};

template <size_t N>
bool isOneOf(const char* text, const char* const (&words)[N])
{
    for (const char* word : words) {
        if (_stricmp(text, word) == 0)
            return true;
    }
    return false;
}

} // namespace

Uint32 kivStrToBoolean(const char* text, Uint8* out)
{
    if (!text || !out) {
        if (out)
            *out = 0;
        return ECF_INVALID_PARAMETER;
    }
    if (isOneOf(text, kTrueWords)) {
        *out = 1;
        return 0;
    }
    *out = 0;
    return isOneOf(text, kFalseWords) ? 0 : ECF_KIV_NOT_BOOLEAN_STRING;
}

/* ---- integers ------------------------------------------------------- */

namespace {

constexpr Uint64 kSignedMax = 0x7FFFFFFFFFFFFFFFull;
constexpr Uint64 kSignedMinMagnitude = 0x8000000000000000ull;

/* Value of a digit or letter (either case) as 0..35; -1 for anything else. */
int digitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'Z')
        return c - 'A' + 10;
    return -1;
}

bool isHexDigit(char c)
{
    int d = digitValue(c);
    return d >= 0 && d < 16;
}

bool isSpace(char c) { return std::isspace(static_cast<unsigned char>(c)) != 0; }

void setEnd(char** end, const char* at)
{
    if (end)
        *end = const_cast<char*>(at);
}

/* Digits from `s` in `base`; `s` is left at the first character that is not
 * a digit below the base.  A base outside 2..36 is taken as it stands: base
 * 1 accepts only zeros, a base above 36 every digit and letter, a negative
 * one nothing.  The overflow test is exact (the true value would exceed 64
 * bits), not merely a wrap that happens to come out smaller; after an
 * overflow the remaining digits are consumed and the value kept. */
Uint64 scanDigits(const char*& s, int base, bool& overflow)
{
    if (base <= 0)
        return 0;
    const Uint64 b = static_cast<Uint64>(base);
    // value * b + d fits while value < limit, or value == limit and d <= lastDigit.
    const Uint64 limit = ~0ull / b;
    const Uint64 lastDigit = ~0ull % b;
    Uint64 value = 0;
    for (;; ++s) {
        int digit = digitValue(*s);
        if (digit < 0 || digit >= base)
            return value;
        if (overflow)
            continue;
        Uint64 d = static_cast<Uint64>(digit);
        if (value > limit || (value == limit && d > lastDigit))
            overflow = true;
        else
            value = value * b + d;
    }
}

/* The one routine behind both conversions; the result is the two's
 * complement bit pattern for the signed one. */
Uint64 strToInt64(const char* text, char** end, int base, bool isUnsigned)
{
    if (!text) {
        setEnd(end, nullptr);
        return 0;
    }
    const char* s = text;
    while (isSpace(*s))
        ++s;
    bool negative = false;
    if (*s == '-') {
        negative = true;
        ++s;
    } else if (*s == '+') {
        ++s;
    }
    if (*s == '\0' || isSpace(*s)) {
        setEnd(end, text);
        return 0;
    }

    bool hexPrefix = s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
    if (base == 0)
        base = hexPrefix ? 16 : (s[0] == '0' && s[1] != '\0') ? 8 : 10;
    if (base == 16 && hexPrefix) {
        if (!isHexDigit(s[2])) {
            setEnd(end, s + 1); // "0x" with nothing after it: converted up to the x
            return 0;
        }
        s += 2;
    } else if (base == 8 && s[0] == '0') {
        ++s;
    }

    bool overflow = false;
    Uint64 value = scanDigits(s, base, overflow);
    if (!isUnsigned && !overflow)
        overflow = value > (negative ? kSignedMinMagnitude : kSignedMax);
    setEnd(end, s);
    if (overflow) {
        // Saturated values are final: negating all ones would give 1.
        errno = ERANGE;
        if (isUnsigned)
            return ~0ull;
        return negative ? kSignedMinMagnitude : kSignedMax;
    }
    return negative ? 0 - value : value;
}

} // namespace

Uint64 kivStrToUint64(const char* text, char** end, int base)
{
    return strToInt64(text, end, base, true);
}

Sint64 kivStrToSint64(const char* text, char** end, int base)
{
    return static_cast<Sint64>(strToInt64(text, end, base, false));
}
