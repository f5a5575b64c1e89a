/*
 * fuzz_strtoint.cpp - kivStrToUint64, kivStrToSint64 and kivStrToBoolean on
 * any text.
 *
 * The first input byte picks the base (0 and 2..36, now and then one the
 * conversions do not document), the second a value for the round trip, the
 * rest is the text.  Checked: the end pointer lies inside the text; for
 * the documented bases the results equal the C library's strtoull /
 * strtoll, which follow the same rules but one: where no digit follows the
 * white space and sign, the C library points the end at the text, these
 * conversions at the first character they did not convert (the text itself
 * only when the sign is followed by the end or white space); a value
 * printed in canonical form in any base parses back to itself with the end
 * at the terminator; the boolean words are the twelve.
 */
#include "kivecf.h"
#include "kivstring.h"

#include <ctype.h>
#include <errno.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#include <memory>
#include <string>

#include "fuzz_common.h"

namespace {

int baseFrom(uint8_t b)
{
    if (b >= 240)
        return (int)b - 250;   /* -10..5: a few outside the documented range */
    int base = b % 37;
    return base == 1 ? 0 : base;
}

bool documentedBase(int base) { return base == 0 || (base >= 2 && base <= 36); }

/* The text in a heap block of its exact length: a read past the NUL shows. */
std::unique_ptr<char[]> exactCopy(const std::string& s)
{
    std::unique_ptr<char[]> p(new char[s.size() + 1]);
    memcpy(p.get(), s.c_str(), s.size() + 1);
    return p;
}

void checkEnd(const char* text, size_t length, const char* end)
{
    FUZZ_CHECK(end >= text && end <= text + length);
}

/* Where the end goes when no digit was converted. */
const char* endWithoutNumber(const char* text)
{
    const char* s = text;
    while (isspace((unsigned char)*s))
        ++s;
    if (*s == '+' || *s == '-')
        ++s;
    return (*s == '\0' || isspace((unsigned char)*s)) ? text : s;
}

/* One conversion against its C library twin. */
template <class T, class Ours, class Theirs>
void compare(const char* text, size_t length, int base, Ours ours, Theirs theirs)
{
    char* end = nullptr;
    char* libEnd = nullptr;
    errno = 0;
    const T value = ours(text, &end, base);
    const int err = errno;
    errno = 0;
    const T libValue = theirs(text, &libEnd, base);
    checkEnd(text, length, end);
    FUZZ_CHECK(value == libValue && (err == ERANGE) == (errno == ERANGE));
    FUZZ_CHECK(end == (libEnd == text ? endWithoutNumber(text) : libEnd));
}

void compareWithLibrary(const char* text, size_t length, int base)
{
    compare<Uint64>(text, length, base, kivStrToUint64,
                    [](const char* t, char** e, int b) { return (Uint64)strtoull(t, e, b); });
    compare<Sint64>(text, length, base, kivStrToSint64,
                    [](const char* t, char** e, int b) { return (Sint64)strtoll(t, e, b); });
}

void checkUndocumentedBase(const char* text, size_t length, int base)
{
    char* end = nullptr;
    Uint64 u = kivStrToUint64(text, &end, base);
    checkEnd(text, length, end);
    if (end == text)
        FUZZ_CHECK(u == 0);
    kivStrToSint64(text, &end, base);
    checkEnd(text, length, end);
}

/* Canonical text of `v` in `base` (2..36), letters in either case. */
std::string canonical(Uint64 v, int base, bool upper, bool negative)
{
    const char* digits = upper ? "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"
                               : "0123456789abcdefghijklmnopqrstuvwxyz";
    std::string out;
    do {
        out.insert(out.begin(), digits[v % (Uint64)base]);
        v /= (Uint64)base;
    } while (v != 0);
    return negative ? "-" + out : out;
}

void roundTrip(Uint64 v, int base, bool upper)
{
    if (base < 2)
        base = 10;
    char* end = nullptr;
    std::unique_ptr<char[]> text = exactCopy(canonical(v, base, upper, false));
    errno = 0;
    FUZZ_CHECK(kivStrToUint64(text.get(), &end, base) == v);
    FUZZ_CHECK(*end == '\0' && errno == 0);

    const Sint64 s = (Sint64)v;
    const Uint64 magnitude = s < 0 ? 0 - v : v;
    text = exactCopy(canonical(magnitude, base, upper, s < 0));
    FUZZ_CHECK(kivStrToSint64(text.get(), &end, base) == s);
    FUZZ_CHECK(*end == '\0' && errno == 0);
}

void checkBoolean(const char* text)
{
    static const char* const kTrue[] = {"1", "ON", "Y", "YES", "T", "TRUE"};
    static const char* const kFalse[] = {"0", "OFF", "N", "NO", "F", "FALSE"};
    int expected = -1;
    for (int i = 0; i < 6; ++i) {
        if (strcasecmp(text, kTrue[i]) == 0)
            expected = 1;
        else if (strcasecmp(text, kFalse[i]) == 0)
            expected = 0;
    }
    Uint8 out = 0xEE;
    Uint32 rc = kivStrToBoolean(text, &out);
    if (expected < 0)
        FUZZ_CHECK(rc == ECF_KIV_NOT_BOOLEAN_STRING && out == 0);
    else
        FUZZ_CHECK(rc == 0 && out == (Uint8)expected);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 2)
        return 0;
    const int base = baseFrom(data[0]);
    // A 64-bit value for the round trip from the text's first bytes too.
    Uint64 v = data[1];
    for (size_t i = 2; i < size && i < 10; ++i)
        v = v << 8 | data[i];
    std::string s(reinterpret_cast<const char*>(data + 2), size - 2);
    s = s.c_str();   /* C text: up to the first NUL */
    std::unique_ptr<char[]> text = exactCopy(s);

    if (documentedBase(base))
        compareWithLibrary(text.get(), s.size(), base);
    else
        checkUndocumentedBase(text.get(), s.size(), base);
    roundTrip(v, base, (data[1] & 1) != 0);
    checkBoolean(text.get());
    return 0;
}
