/*
 * fuzz_int128.cpp - the 128-bit decimal text both ways, against the
 * compiler's own 128-bit integers.
 *
 * The input's first 32 bytes are two values, the rest is text.  Checked:
 * printing a value gives the reference's decimal text, needs exactly its
 * length plus one bytes and fails with -1 one byte short (writing nothing
 * past the buffer), and parses back to the value; parsing any text gives
 * the value of the documented rules; a text already in canonical form
 * prints back to itself.  The two values also go through the exported
 * multiplication and division.
 */
#include "kivint128.h"

#include <ctype.h>
#include <stdint.h>
#include <string.h>

#include <memory>
#include <string>

#include "fuzz_common.h"

namespace {

typedef unsigned __int128 U128;
typedef __int128 S128;

U128 ref(const int128& v) { return (U128)v.high64() << 64 | v.low64(); }

template <class T> T make(U128 v)
{
    T out;
    out.setHalves((Uint64)v, (Uint64)(v >> 64));
    return out;
}

U128 load(const uint8_t* p)
{
    U128 v = 0;
    for (int i = 15; i >= 0; --i)
        v = v << 8 | p[i];
    return v;
}

std::string decimal(U128 v)
{
    std::string out;
    do {
        out.insert(out.begin(), char('0' + (int)(v % 10)));
        v /= 10;
    } while (v != 0);
    return out;
}

std::string decimalSigned(U128 v)
{
    return (S128)v < 0 ? "-" + decimal(0 - v) : decimal(v);
}

/* The documented parse: white space, one '+', one '-', zeros, then digits
 * modulo 2^128; a non-digit stops it and leaves the sign unapplied. */
U128 referenceParse(const char* p)
{
    while (isspace((unsigned char)*p))
        ++p;
    if (*p == '+')
        ++p;
    bool negative = false;
    if (*p == '-') {
        negative = true;
        ++p;
    }
    U128 v = 0;
    for (; *p; ++p) {
        if (*p < '0' || *p > '9')
            return v;
        v = v * 10 + (unsigned)(*p - '0');
    }
    return negative ? 0 - v : v;
}

/* Prints with a heap buffer of exactly `size` bytes. */
template <class T> int print(const T& v, unsigned size, std::string* text)
{
    std::unique_ptr<char[]> buf(new char[size ? size : 1]);
    int n = v.toString(size ? buf.get() : nullptr, size);
    if (n >= 0)
        *text = std::string(buf.get(), n);
    return n;
}

template <class T> void checkPrint(const T& v, const std::string& expected)
{
    const unsigned need = (unsigned)expected.size() + 1;
    std::string text;
    FUZZ_CHECK(print(v, need, &text) == (int)expected.size() && text == expected);
    FUZZ_CHECK(print(v, need - 1, &text) == -1);
    FUZZ_CHECK(T::fromString(expected.c_str()) == v);
}

void checkValue(U128 v)
{
    checkPrint(make<Uint128>(v), decimal(v));
    checkPrint(make<Sint128>(v), decimalSigned(v));
}

void checkParse(const std::string& s)
{
    std::unique_ptr<char[]> text(new char[s.size() + 1]);
    memcpy(text.get(), s.c_str(), s.size() + 1);
    const U128 expected = referenceParse(text.get());
    FUZZ_CHECK(ref(Uint128::fromString(text.get())) == expected);
    FUZZ_CHECK(ref(Sint128::fromString(text.get())) == expected);
    if (s == decimal(expected)) {
        std::string back;
        FUZZ_CHECK(print(Uint128::fromString(text.get()), 41, &back) >= 0 && back == s);
    }
    if (s == decimalSigned(expected)) {
        std::string back;
        FUZZ_CHECK(print(Sint128::fromString(text.get()), 41, &back) >= 0 && back == s);
    }
}

void checkArithmetic(U128 a, U128 b)
{
    FUZZ_CHECK(ref(make<Uint128>(a) * make<Uint128>(b)) == a * b);
    // Sign and magnitude or not, the product modulo 2^128 is the same.
    FUZZ_CHECK(ref(make<Sint128>(a) * make<Sint128>(b)) == a * b);
    if (b == 0)
        return;
    FUZZ_CHECK(ref(make<Uint128>(a) / make<Uint128>(b)) == a / b);
    const S128 sa = (S128)a, sb = (S128)b;
    const S128 min = (S128)((U128)1 << 127);
    if (!(sa == min && sb == -1))   /* overflows in the reference; wraps in ours */
        FUZZ_CHECK(ref(make<Sint128>(a) / make<Sint128>(b)) == (U128)(sa / sb));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 32) {
        checkParse(std::string(reinterpret_cast<const char*>(data), size).c_str());
        return 0;
    }
    const U128 a = load(data), b = load(data + 16);
    checkValue(a);
    checkValue(b);
    checkArithmetic(a, b);
    checkParse(std::string(reinterpret_cast<const char*>(data + 32), size - 32).c_str());
    return 0;
}
