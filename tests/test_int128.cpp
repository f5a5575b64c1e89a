/*
 * test_int128.cpp - 128-bit integers: the inline building blocks, floating
 * point in and out, multiplication, division, the arithmetic right shift and
 * decimal text.
 *
 * Randomised checks use a fixed seed. They compare against a reference kept
 * deliberately different from the library (16-bit limbs, schoolbook product,
 * short division for decimal text) so that the 32-bit build checks as much
 * as the 64-bit one; where the compiler has a native 128-bit type they also
 * compare against it.
 */
#include "kivint128.h"
#include "kivtest.h"

#include <array>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <limits>
#include <ostream>
#include <random>
#include <string>

void PrintTo(const Uint128& v, std::ostream* os)
{
    char text[48];
    v.toString(text, sizeof text);
    *os << text;
}

void PrintTo(const Sint128& v, std::ostream* os)
{
    char text[48];
    v.toString(text, sizeof text);
    *os << text;
}

namespace {

const unsigned kRandomRounds = 3000;
const unsigned kSeed = 20040702;

Uint128 words(Uint32 w0, Uint32 w1, Uint32 w2, Uint32 w3)
{
    Uint128 v;
    v.set(w0, w1, w2, w3);
    return v;
}

Uint128 halves(Uint64 hi, Uint64 lo)
{
    Uint128 v;
    v.setHalves(lo, hi);
    return v;
}

Sint128 shalves(Uint64 hi, Uint64 lo)
{
    return Sint128(halves(hi, lo));
}

void expectWords(const int128& v, Uint32 w0, Uint32 w1, Uint32 w2, Uint32 w3)
{
    EXPECT_EQ(w0, v.word(0));
    EXPECT_EQ(w1, v.word(1));
    EXPECT_EQ(w2, v.word(2));
    EXPECT_EQ(w3, v.word(3));
}

/* Random values of every length, so that all the paths get their share. */
Uint128 randomValue(std::mt19937_64& rng)
{
    Uint128 v = halves(rng(), rng());
    v.shr(unsigned(rng() % 129));
    return v;
}

/* ---- the reference: 16-bit limbs, least significant first ---- */

typedef std::array<Uint32, 8> Limbs;

Limbs toLimbs(const int128& v)
{
    Limbs l;
    for (unsigned i = 0; i < 8; ++i)
        l[i] = (v.word(i / 2) >> (16 * (i % 2))) & 0xFFFF;
    return l;
}

Uint128 fromLimbs(const Uint32* l)
{
    Uint128 v;
    v.set(l[0] | l[1] << 16, l[2] | l[3] << 16, l[4] | l[5] << 16, l[6] | l[7] << 16);
    return v;
}

/* The full 256-bit product: low and high 128 bits. */
void referenceProduct(const int128& a, const int128& b, Uint128& lo, Uint128& hi)
{
    const Limbs x = toLimbs(a), y = toLimbs(b);
    Uint32 r[16] = {};
    for (unsigned i = 0; i < 8; ++i) {
        Uint32 carry = 0;
        for (unsigned j = 0; j < 8; ++j) {
            const Uint32 t = x[i] * y[j] + r[i + j] + carry; // below 2^32
            r[i + j] = t & 0xFFFF;
            carry = t >> 16;
        }
        r[i + 8] = carry;
    }
    lo = fromLimbs(r);
    hi = fromLimbs(r + 8);
}

/* Decimal text of the unsigned value by short division of the limbs. */
std::string referenceDecimal(const int128& v)
{
    Limbs l = toLimbs(v);
    std::string digits;
    for (;;) {
        Uint32 rem = 0;
        bool zero = true;
        for (unsigned i = 8; i-- > 0;) {
            const Uint32 cur = rem << 16 | l[i];
            l[i] = cur / 10;
            rem = cur % 10;
            zero = zero && l[i] == 0;
        }
        digits.insert(digits.begin(), char('0' + rem));
        if (zero)
            return digits;
    }
}

Uint128 absolute(const Sint128& v)
{
    Uint128 m(v);
    if (m.signBit())
        m.negate();
    return m;
}

std::string text(const Uint128& v)
{
    char buf[48];
    return v.toString(buf, sizeof buf) > 0 ? buf : "(error)";
}

std::string text(const Sint128& v)
{
    char buf[48];
    return v.toString(buf, sizeof buf) > 0 ? buf : "(error)";
}

#ifdef __SIZEOF_INT128__
typedef unsigned __int128 NativeU;
typedef __int128 NativeS;

NativeU toNative(const int128& v)
{
    return NativeU(v.high64()) << 64 | v.low64();
}

Uint128 fromNative(NativeU v)
{
    return halves(Uint64(v >> 64), Uint64(v));
}
#endif

const char* const kMaxText = "340282366920938463463374607431768211455";   // 2^128 - 1
const char* const kMinText = "-170141183460469231731687303715884105728";  // -2^127

} // namespace

/* ---- the building blocks ---- */

TEST(Int128Blocks, WordsHalvesAndIntegerConstruction)
{
    expectWords(Uint128(), 0, 0, 0, 0);
    const Uint128 v = words(0x11111111, 0x22222222, 0x33333333, 0x44444444);
    EXPECT_EQ(0x2222222211111111ull, v.low64());
    EXPECT_EQ(0x4444444433333333ull, v.high64());
    expectWords(halves(0x0123456789ABCDEFull, 0xFEDCBA9876543210ull), 0x76543210, 0xFEDCBA98,
                0x89ABCDEF, 0x01234567);

    // Integers widen like built-in conversions: sign-extended when signed.
    expectWords(Uint128(-1), ~0u, ~0u, ~0u, ~0u);
    expectWords(Sint128(INT64_MIN), 0, 0x80000000u, ~0u, ~0u);
    expectWords(Uint128(UINT64_MAX), ~0u, ~0u, 0, 0);
    expectWords(Sint128(0xFFFFFFFFu), ~0u, 0, 0, 0);

    // The explicit conversions between the classes keep the bits.
    EXPECT_EQ(Uint128::maxValue(), Uint128(Sint128(-1)));
    EXPECT_EQ(Sint128::minValue(), Sint128(words(0, 0, 0, 0x80000000u)));
}

TEST(Int128Blocks, Set32SignExtendsIntoWordOneOnly)
{
    Uint128 v;
    v.set(9, 9, 9, 9);
    v.set32(-5);
    expectWords(v, 0xFFFFFFFBu, 0xFFFFFFFFu, 0, 0);
    v.set32(7);
    expectWords(v, 7, 0, 0, 0);

    Uint128 c;
    c.copy(words(1, 2, 3, 4));
    expectWords(c, 1, 2, 3, 4);
}

TEST(Int128Blocks, AddAndIncrementCarryAcrossWordsAndHalves)
{
    expectWords(words(~0u, 0, 0, 0) + 1, 0, 1, 0, 0);
    expectWords(words(~0u, ~0u, 0, 0) + 1, 0, 0, 1, 0);
    expectWords(words(~0u, ~0u, ~0u, 0) + 1, 0, 0, 0, 1);
    expectWords(Uint128::maxValue() + 1, 0, 0, 0, 0);
    // A carry out of the low half and one inside the high half at once.
    expectWords(halves(0xFFFFFFFFull, ~0ull) + halves(1, 1), 0, 0, 1, 1);

    for (Uint128 v : {words(~0u, 0, 0, 0), words(~0u, ~0u, 0, 0), words(~0u, ~0u, ~0u, 0)}) {
        Uint128 incremented = v;
        incremented.inc();
        EXPECT_EQ(v + 1, incremented);
    }
    Uint128 top = Uint128::maxValue();
    top.inc();
    EXPECT_TRUE(top.isZero());

    expectWords(Uint128(0) - 1, ~0u, ~0u, ~0u, ~0u);
    expectWords(words(0, 0, 1, 0) - 1, ~0u, ~0u, 0, 0);
    expectWords(halves(5, 3) - halves(2, 4), ~0u, ~0u, 2, 0);
}

TEST(Int128Blocks, NegateAndInvert)
{
    EXPECT_EQ(Sint128(0), -Sint128(0));
    EXPECT_EQ(Sint128(-1), -Sint128(1));
    EXPECT_EQ(Sint128::minValue(), -Sint128::minValue());
    EXPECT_EQ(Sint128::minValue() + 1, -Sint128::maxValue());
    expectWords(-Uint128(1), ~0u, ~0u, ~0u, ~0u);
    expectWords(-halves(1, 0), 0, 0, ~0u, ~0u);
    expectWords(~words(0x0F0F0F0F, 0, ~0u, 0x80000000u), 0xF0F0F0F0u, ~0u, 0, 0x7FFFFFFFu);
}

TEST(Int128Blocks, OrderComparesHighHalfFirst)
{
    const Uint128 highOne = halves(1, 0), lowAll = halves(0, ~0ull);
    EXPECT_TRUE(lowAll.ult(highOne));
    EXPECT_FALSE(highOne.ult(lowAll));
    EXPECT_FALSE(highOne.ult(highOne));
    EXPECT_TRUE(halves(7, 1).ult(halves(7, 2)));
    EXPECT_TRUE(halves(7, ~0ull).ult(halves(8, 0)));
    EXPECT_TRUE(Uint128(0) < Uint128::maxValue());
    EXPECT_TRUE(Uint128::maxValue() >= Uint128::maxValue());

    // Signed order: the sign decides first.
    EXPECT_TRUE(Sint128(-1) < Sint128(0));
    EXPECT_TRUE(Sint128::minValue() < Sint128(-1));
    EXPECT_TRUE(Sint128::minValue() < Sint128::maxValue());
    EXPECT_TRUE(Sint128(-2) < Sint128(-1));
    EXPECT_TRUE(shalves(~0ull, 0) < shalves(~0ull, 1));
    EXPECT_TRUE(Sint128(5) > Sint128(-5));
    EXPECT_TRUE(Sint128(5) <= Sint128(5));
    EXPECT_TRUE(Sint128(5) != Sint128(-5));
}

TEST(Int128Blocks, LogicalShifts)
{
    for (unsigned n : {0u, 1u, 31u, 32u, 33u, 63u, 64u, 65u, 95u, 96u, 127u}) {
        const Uint128 bit = Uint128(1) << n;
        for (unsigned i = 0; i < 128; ++i)
            EXPECT_EQ(i == n, bit.testBit(i)) << "bit " << i << " of 1 << " << n;
        EXPECT_EQ(Uint128(1), bit >> n);
    }
    EXPECT_EQ(halves(1, 2), halves(0, 0x8000000000000001ull) << 1);
    EXPECT_EQ(halves(0, 0x8000000000000000ull), halves(1, 0) >> 1);
    EXPECT_EQ(halves(0x89ABCDEFull, 0), halves(0, 0x89ABCDEFull) << 64);
    EXPECT_EQ(halves(0, 0x89ABCDEFull << 4), halves(0x89ABCDEFull, 0) >> 60);
    EXPECT_EQ(halves(0x7FFFFFFFFFFFFFFFull, ~0ull), Uint128::maxValue() >> 1); // zero fill
    EXPECT_EQ(Uint128(1), Uint128::maxValue() >> 127);

    // Everything shifts out from 128 on.
    EXPECT_TRUE((Uint128::maxValue() << 128).isZero());
    EXPECT_TRUE((Uint128::maxValue() >> 128).isZero());
    EXPECT_TRUE((Uint128::maxValue() >> 1000).isZero());
    EXPECT_FALSE(Uint128::maxValue().testBit(128));
}

TEST(Int128Blocks, SignTestAndWrappingOperators)
{
    EXPECT_TRUE(Sint128(-1).signBit());
    EXPECT_FALSE(Sint128::maxValue().signBit());
    EXPECT_TRUE(words(0, 0, 0, 0x80000000u).signBit());

    Uint128 v = Uint128::maxValue();
    EXPECT_EQ(Uint128::maxValue(), v++);
    EXPECT_EQ(Uint128(0), v);
    EXPECT_EQ(Uint128::maxValue(), --v);
    Sint128 s = Sint128::minValue();
    EXPECT_EQ(Sint128::maxValue(), --s);
    EXPECT_EQ(Sint128::minValue(), ++s);

    const Uint128 a = words(0xF0F0F0F0u, 0xFFFF0000u, 1, 0x80000000u);
    const Uint128 b = words(0x0FF00FF0u, 0x00FFFF00u, 3, 0x00000001u);
    expectWords(a & b, 0x00F000F0u, 0x00FF0000u, 1, 0);
    expectWords(a | b, 0xFFF0FFF0u, 0xFFFFFF00u, 3, 0x80000001u);
    expectWords(a ^ b, 0xFF00FF00u, 0xFF00FF00u, 2, 0x80000001u);
}

/* ---- the arithmetic right shift ---- */

TEST(Int128Shift, ArithmeticRightShiftFillsWithTheSign)
{
    Sint128 minusOne(-1);
    minusOne >>= 100;
    EXPECT_EQ(Sint128(-1), minusOne);

    const Sint128 min = Sint128::minValue();
    EXPECT_EQ(shalves(0xC000000000000000ull, 0), min >> 1);
    EXPECT_EQ(shalves(~0ull, 0), min >> 63);
    EXPECT_EQ(shalves(~0ull, 0x8000000000000000ull), min >> 64);
    EXPECT_EQ(Sint128(-1), min >> 127);
    EXPECT_EQ(shalves(1, 0x8000000000000000ull), shalves(3, 1) >> 1); // funnel across the halves
    EXPECT_EQ(Sint128(1), Sint128::maxValue() >> 126);
    EXPECT_EQ(Sint128(0), Sint128::maxValue() >> 127);
    EXPECT_EQ(Sint128(-3), Sint128(-5) >> 1); // rounds toward minus infinity
    EXPECT_EQ(min, min >> 0);

    // Counts of 128 and more: the sign fill.
    EXPECT_EQ(Sint128(-1), min >> 128);
    EXPECT_EQ(Sint128(-1), Sint128(-7) >> 4000);
    EXPECT_EQ(Sint128(0), Sint128::maxValue() >> 128);
}

TEST(Int128Shift, RandomShiftsAgainstDivisionByPowersOfTwo)
{
    std::mt19937_64 rng(kSeed);
    for (unsigned round = 0; round < kRandomRounds; ++round) {
        const Sint128 v(randomValue(rng) ^ (rng() & 1 ? Uint128::maxValue() : Uint128(0)));
        const unsigned n = unsigned(rng() % 128);
        const Sint128 shifted = v >> n;
        // Shifting back and adding the bits shifted out restores the value.
        const Uint128 lost = Uint128(v) & ((Uint128(1) << n) - 1);
        EXPECT_EQ(Uint128(v), (Uint128(shifted) << n) + lost) << text(v) << " >> " << n;
        EXPECT_EQ(v.signBit(), shifted.signBit());
#ifdef __SIZEOF_INT128__
        EXPECT_EQ(fromNative(NativeU(NativeS(toNative(v)) >> n)), Uint128(shifted));
#endif
    }
}

/* ---- floating point in ---- */

TEST(Int128FromFloat, TruncatesAndSaturates)
{
    EXPECT_EQ(Uint128(0), Uint128(-1.0));
    EXPECT_EQ(Uint128::maxValue(), Uint128(1e40));
    EXPECT_EQ(Sint128::minValue(), Sint128(-1e40));
    EXPECT_EQ(Sint128::maxValue(), Sint128(1e40));
    EXPECT_EQ(Uint128(3), Uint128(3.99));
    EXPECT_EQ(Sint128(-3), Sint128(-3.99));
    EXPECT_EQ(Sint128(3), Sint128(3.99));
    EXPECT_EQ(Uint128(0), Uint128(-1e40));
}

TEST(Int128FromFloat, BelowOneAndNonFiniteValues)
{
    const double inf = std::numeric_limits<double>::infinity();
    const double nan = std::numeric_limits<double>::quiet_NaN();
    for (double small : {0.0, -0.0, 0.999999, -0.999999, std::numeric_limits<double>::denorm_min(),
                         DBL_MIN}) {
        EXPECT_EQ(Uint128(0), Uint128(small)) << small;
        EXPECT_EQ(Sint128(0), Sint128(small)) << small;
    }
    EXPECT_EQ(Uint128(1), Uint128(1.0));
    EXPECT_EQ(Sint128(-1), Sint128(-1.0));
    EXPECT_EQ(Uint128::maxValue(), Uint128(inf));
    EXPECT_EQ(Uint128(0), Uint128(-inf));
    EXPECT_EQ(Uint128::maxValue(), Uint128(nan));
    EXPECT_EQ(Sint128::maxValue(), Sint128(inf));
    EXPECT_EQ(Sint128::minValue(), Sint128(-inf));
    EXPECT_EQ(Sint128::maxValue(), Sint128(nan));
}

TEST(Int128FromFloat, PowersOfTwoAndTheLimits)
{
    EXPECT_EQ(words(0, 0, 0, 0x80000000u), Uint128(std::ldexp(1.0, 127)));
    EXPECT_EQ(Uint128::maxValue(), Uint128(std::ldexp(1.0, 128)));
    // The largest double below 2^128: 53 ones above 75 zeros.
    expectWords(Uint128(std::ldexp(1.0, 128) - std::ldexp(1.0, 75)), 0, 0, 0xFFFFF800u, ~0u);
    EXPECT_EQ(halves(1ull << 52, 0), Uint128(std::ldexp(1.0, 116)));
    EXPECT_EQ(Uint128(1ull << 52), Uint128(std::ldexp(1.0, 52) + 0.5));
    EXPECT_EQ(Uint128(1ull << 53), Uint128(std::ldexp(1.0, 53)));
    expectWords(Uint128(1e30), 0, 0x46750000u, 0x9F2C9CD0u, 0x0000000Cu);

    EXPECT_EQ(Sint128::maxValue(), Sint128(std::ldexp(1.0, 127)));
    EXPECT_EQ(Sint128::minValue(), Sint128(-std::ldexp(1.0, 127)));
    expectWords(Sint128(std::ldexp(1.0, 126)), 0, 0, 0, 0x40000000u);
    expectWords(Sint128(-std::ldexp(1.0, 126)), 0, 0, 0, 0xC0000000u);
    EXPECT_EQ(-Sint128(Uint128(1e30)), Sint128(-1e30));
}

TEST(Int128FromFloat, FloatUsesItsOwnFormat)
{
    EXPECT_EQ(Uint128(3), Uint128(3.99f));
    EXPECT_EQ(Sint128(-3), Sint128(-3.99f));
    EXPECT_EQ(Uint128(0), Uint128(-2.0f));
    EXPECT_EQ(Uint128(0), Uint128(0.5f));
    EXPECT_EQ(Uint128(16777216), Uint128(16777216.0f));
    EXPECT_EQ(Uint128(1) << 100, Uint128(std::ldexp(1.0f, 100)));
    expectWords(Uint128(1e30f), 0, 0, 0x9F2CA000u, 0x0000000Cu);
    expectWords(Uint128(FLT_MAX), 0, 0, 0, 0xFFFFFF00u); // 24 ones at the top
    EXPECT_EQ(Sint128::maxValue(), Sint128(FLT_MAX));
    EXPECT_EQ(Sint128::minValue(), Sint128(-FLT_MAX));
    EXPECT_EQ(Uint128::maxValue(), Uint128(std::numeric_limits<float>::infinity()));
    EXPECT_EQ(Sint128::minValue(), Sint128(-std::numeric_limits<float>::infinity()));
    EXPECT_EQ(Sint128(0), Sint128(std::numeric_limits<float>::denorm_min()));
}

TEST(Int128FromFloat, RandomValuesTruncateExactly)
{
    std::mt19937_64 rng(kSeed + 1);
    for (unsigned round = 0; round < kRandomRounds; ++round) {
        const double mantissa = double(rng() >> 11) / std::ldexp(1.0, 53); // [0, 1)
        const double d = std::ldexp(mantissa, int(rng() % 140) - 8) * (rng() & 1 ? -1 : 1);
        const double t = std::trunc(d);
        const Sint128 s(d);
        const Uint128 u(d);
        if (std::fabs(d) < std::ldexp(1.0, 127))
            EXPECT_EQ(t, double(s)) << d;
        else
            EXPECT_EQ(d < 0 ? Sint128::minValue() : Sint128::maxValue(), s) << d;
        if (d < 0)
            EXPECT_TRUE(u.isZero()) << d;
        else if (d < std::ldexp(1.0, 128))
            EXPECT_EQ(t, double(u)) << d;
        else
            EXPECT_EQ(Uint128::maxValue(), u) << d;
#ifdef __SIZEOF_INT128__
        if (std::fabs(d) < std::ldexp(1.0, 127)) {
            EXPECT_EQ(fromNative(NativeU(NativeS(d))), Uint128(s)) << d;
        }
        if (d >= 0 && d < std::ldexp(1.0, 128)) {
            EXPECT_EQ(fromNative(NativeU(d)), u) << d;
        }
#endif
    }
}

/* ---- floating point out ---- */

TEST(Int128ToDouble, TruncatesInsteadOfRounding)
{
    const double two53 = std::ldexp(1.0, 53);
    EXPECT_EQ(two53, double(Uint128((1ull << 53) + 1)));
    EXPECT_EQ(-two53, double(Sint128(-Sint64((1ull << 53) + 1))));
    // Rounding to nearest would give 2^54 here.
    EXPECT_EQ(std::ldexp(1.0, 54) - 2, double(Uint128((1ull << 54) - 1)));
    EXPECT_EQ(std::ldexp(1.0, 65) - std::ldexp(1.0, 12), double(halves(1, ~0ull)));
    EXPECT_EQ(std::ldexp(std::ldexp(1.0, 53) - 1, 75), double(Uint128::maxValue()));
    EXPECT_EQ(std::ldexp(1.0, 127), double(Uint128(Sint128::minValue()))); // read as unsigned
}

TEST(Int128ToDouble, SmallValuesSignsAndZero)
{
    const double zero = double(Uint128(0));
    EXPECT_EQ(0.0, zero);
    EXPECT_FALSE(std::signbit(zero));
    EXPECT_EQ(0.0, double(Sint128(0)));
    EXPECT_EQ(1.0, double(Uint128(1)));
    EXPECT_EQ(12345.0, double(Uint128(12345)));
    EXPECT_EQ(-1.0, double(Sint128(-1)));
    EXPECT_EQ(-12345.0, double(Sint128(-12345)));
    EXPECT_EQ(std::ldexp(1.0, 64), double(halves(1, 0)));
    EXPECT_EQ(-std::ldexp(1.0, 127), double(Sint128::minValue()));
    EXPECT_EQ(std::ldexp(1.0, 127) - std::ldexp(1.0, 74), double(Sint128::maxValue()));
}

TEST(Int128ToDouble, RandomValuesKeepTheLeading53Bits)
{
    std::mt19937_64 rng(kSeed + 2);
    for (unsigned round = 0; round < kRandomRounds; ++round) {
        const Uint128 x = randomValue(rng);
        const double d = double(x);
        const Uint128 back(d); // exact: d is an integer below 2^128
        EXPECT_EQ(d, double(back));
        EXPECT_TRUE(back <= x) << text(x);
        // What was dropped lies below the last of the 53 kept bits.
        unsigned length = 0;
        while (length < 128 && !(x >> length).isZero())
            ++length;
        if (length <= 53)
            EXPECT_EQ(x, back) << text(x);
        else
            EXPECT_TRUE(x - back < (Uint128(1) << (length - 53))) << text(x);
        EXPECT_EQ(-double(x >> 1), double(-Sint128(x >> 1))) << text(x);
    }
}

/* ---- multiplication ---- */

TEST(Int128Mul, KnownProducts)
{
    expectWords(Uint128(UINT64_MAX) * Uint128(UINT64_MAX), 1, 0, 0xFFFFFFFEu, ~0u);
    EXPECT_EQ(Uint128(1), Uint128::maxValue() * Uint128::maxValue());
    EXPECT_EQ(Uint128(UINT64_MAX), Uint128(0x100000001ull) * Uint128(0xFFFFFFFFull));
    EXPECT_EQ(Uint128(0), halves(1, 0) * halves(1, 0));
    EXPECT_EQ(words(0, 0, 0, 0x80000000u), Uint128(1ull << 63) * halves(1, 0));
    expectWords(Uint128(10000000000000000000ull) * Uint128(10000000000000000000ull), 0,
                0x098A2240u, 0x5A86C47Au, 0x4B3B4CA8u); // 10^38
    // Products of the high halves lie wholly above 2^128.
    EXPECT_EQ(Uint128(0), halves(0xFFFFFFFFull, 0) * halves(0xFFFFFFFFull, 0));
    EXPECT_EQ(halves(0x200000001ull, 0), halves(0, 0x100000001ull) * halves(0x100000001ull, 0));
    EXPECT_EQ(halves(15, 0), halves(3, 0) * Uint128(5));

    EXPECT_EQ(Sint128(-21), Sint128(-3) * Sint128(7));
    EXPECT_EQ(Sint128(-21), Sint128(3) * Sint128(-7));
    EXPECT_EQ(Sint128(21), Sint128(-3) * Sint128(-7));
    EXPECT_EQ(Sint128(1), Sint128(-1) * Sint128(-1));
    EXPECT_EQ(Sint128::minValue(), Sint128::minValue() * Sint128(-1));
    EXPECT_EQ(Sint128::minValue(), Sint128::minValue() * Sint128(1));
    EXPECT_EQ(Sint128(1), Sint128::maxValue() * Sint128::maxValue());
    EXPECT_EQ(Sint128(0), Sint128(0) * Sint128::minValue());
}

TEST(Int128Mul, RandomProductsAgainstReference)
{
    std::mt19937_64 rng(kSeed + 3);
    for (unsigned round = 0; round < kRandomRounds; ++round) {
        const Uint128 a = randomValue(rng), b = randomValue(rng);
        Uint128 lo, hi;
        referenceProduct(a, b, lo, hi);
        const Uint128 p = a * b;
        EXPECT_EQ(lo, p) << text(a) << " * " << text(b);
        EXPECT_EQ(p, b * a);
        // Modulo 2^128 the signed product has the same bits.
        EXPECT_EQ(p, Uint128(Sint128(a) * Sint128(b))) << text(a) << " * " << text(b);
        EXPECT_EQ(p, Uint128(Sint128(-a) * Sint128(-b)));
#ifdef __SIZEOF_INT128__
        EXPECT_EQ(fromNative(toNative(a) * toNative(b)), p);
#endif
    }
}

/* ---- division ---- */

TEST(Int128Div, FastPathsAndLongDivision)
{
    EXPECT_EQ(Uint128(0), halves(1, ~0ull) / halves(2, 0));    // high half smaller
    EXPECT_EQ(Uint128(0), halves(2, 5) / halves(2, 6));        // same high, low smaller
    EXPECT_EQ(Uint128(1), halves(2, 6) / halves(2, 6));
    EXPECT_EQ(Uint128(14), Uint128(100) / Uint128(7));         // 64-bit division
    EXPECT_EQ(Uint128(UINT64_MAX / 3), Uint128(UINT64_MAX) / Uint128(3));
    EXPECT_EQ(Uint128(UINT64_MAX), Uint128::maxValue() / halves(1, 0));
    EXPECT_EQ("34028236692093846346337460743176821145", text(Uint128::maxValue() / Uint128(10)));
    expectWords(Uint128::maxValue() / Uint128(3), 0x55555555u, 0x55555555u, 0x55555555u, 0x55555555u);
    EXPECT_EQ(Uint128::maxValue(), Uint128::maxValue() / Uint128(1));
    EXPECT_EQ(Uint128(1), Uint128::maxValue() / Uint128::maxValue());
    // Divisors above 2^127: the remainder's top bit is in play.
    const Uint128 big = words(1, 0, 0, 0x80000000u);
    EXPECT_EQ(Uint128(1), Uint128::maxValue() / big);
    EXPECT_EQ(halves(0x7FFFFFFFFFFFFFFFull, ~0ull - 1), Uint128::maxValue() % big);
    EXPECT_EQ(Uint128(1), (big + 4) / big);
    EXPECT_EQ(Uint128(2), Uint128::maxValue() / (Uint128::maxValue() >> 1));
}

TEST(Int128Div, SignedDivisionTruncatesTowardZero)
{
    EXPECT_EQ(Sint128(-3), Sint128(-7) / Sint128(2));
    EXPECT_EQ(Sint128(-3), Sint128(7) / Sint128(-2));
    EXPECT_EQ(Sint128(3), Sint128(-7) / Sint128(-2));
    EXPECT_EQ(Sint128(1), Sint128(7) % Sint128(-2));
    EXPECT_EQ(Sint128(-1), Sint128(-7) % Sint128(2));
    EXPECT_EQ(Sint128::minValue(), Sint128::minValue() / Sint128(-1)); // wraps
    EXPECT_EQ(Sint128::minValue(), Sint128::minValue() / Sint128(1));
    EXPECT_EQ(Sint128(1), Sint128::minValue() / Sint128::minValue());
    EXPECT_EQ(Sint128(0), Sint128::maxValue() / Sint128::minValue());
    EXPECT_EQ(Sint128(-1), Sint128::minValue() / Sint128::maxValue());
    EXPECT_EQ(Sint128(-1), Sint128::minValue() % Sint128::maxValue());
    EXPECT_EQ(kMinText, text(Sint128::minValue() / Sint128(-1)));
}

TEST(Int128Div, ZeroDivisorGivesAllOnes)
{
    for (Uint128 n : {Uint128(0), Uint128(5), halves(3, 0), Uint128::maxValue()}) {
        EXPECT_EQ(Uint128::maxValue(), n / Uint128(0));
        EXPECT_EQ(n, n % Uint128(0));
    }
    for (Sint128 n : {Sint128(0), Sint128(5), Sint128(-5), Sint128::minValue()}) {
        EXPECT_EQ(Sint128(-1), n / Sint128(0));
        EXPECT_EQ(n, n % Sint128(0));
    }
    Uint128 v(42);
    v /= 0;
    EXPECT_EQ(Uint128::maxValue(), v);
}

TEST(Int128Div, RandomQuotientsAgainstReference)
{
    std::mt19937_64 rng(kSeed + 4);
    for (unsigned round = 0; round < kRandomRounds; ++round) {
        const Uint128 n = randomValue(rng);
        Uint128 d = randomValue(rng);
        if (d.isZero())
            d = 1;
        const Uint128 q = n / d;
        // q * d must not exceed n, and n - q * d must be below d.
        Uint128 lo, hi;
        referenceProduct(q, d, lo, hi);
        EXPECT_TRUE(hi.isZero()) << text(n) << " / " << text(d);
        EXPECT_TRUE(lo <= n) << text(n) << " / " << text(d);
        EXPECT_TRUE(n - lo < d) << text(n) << " / " << text(d);
        EXPECT_EQ(n - lo, n % d);
#ifdef __SIZEOF_INT128__
        EXPECT_EQ(fromNative(toNative(n) / toNative(d)), q);
#endif
    }
}

TEST(Int128Div, RandomSignedQuotientsAgainstReference)
{
    std::mt19937_64 rng(kSeed + 5);
    for (unsigned round = 0; round < kRandomRounds; ++round) {
        const Sint128 n(randomValue(rng) ^ (rng() & 1 ? Uint128::maxValue() : Uint128(0)));
        Sint128 d(randomValue(rng) ^ (rng() & 1 ? Uint128::maxValue() : Uint128(0)));
        if (d.isZero())
            d = -1;
        const Sint128 q = n / d, r = n - q * d;
        // n = q * d + r with |r| < |d|, r carrying the dividend's sign.
        Uint128 lo, hi;
        referenceProduct(absolute(q), absolute(d), lo, hi);
        EXPECT_TRUE(hi.isZero() && lo <= absolute(n)) << text(n) << " / " << text(d);
        EXPECT_TRUE(absolute(r) < absolute(d)) << text(n) << " / " << text(d);
        EXPECT_TRUE(r.isZero() || r.signBit() == n.signBit()) << text(n) << " / " << text(d);
        EXPECT_EQ(r, n % d);
#ifdef __SIZEOF_INT128__
        if (!(n == Sint128::minValue() && d == Sint128(-1))) {
            EXPECT_EQ(fromNative(NativeU(NativeS(toNative(n)) / NativeS(toNative(d)))), Uint128(q));
        }
#endif
    }
}

/* ---- decimal text ---- */

TEST(Int128Text, LongestValuesNeedTheirWholeBuffer)
{
    char buf[48];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(39, Uint128::maxValue().toString(buf, 40));
    EXPECT_STREQ(kMaxText, buf);
    EXPECT_EQ(-1, Uint128::maxValue().toString(buf, 39));

    EXPECT_EQ(40, Sint128::minValue().toString(buf, 41));
    EXPECT_STREQ(kMinText, buf);
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(-1, Sint128::minValue().toString(buf, 40));
    EXPECT_EQ('-', buf[0]); // the sign is already written when the digits do not fit
    EXPECT_EQ('x', buf[1]);

    // Read as unsigned, the same bits have no sign.
    EXPECT_EQ("170141183460469231731687303715884105728", text(Uint128(Sint128::minValue())));
    EXPECT_EQ(kMaxText, text(Uint128(Sint128(-1))));
    EXPECT_EQ("170141183460469231731687303715884105727", text(Sint128::maxValue()));
}

TEST(Int128Text, ZeroSmallValuesAndSmallBuffers)
{
    char buf[8];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(-1, Uint128(5).toString(buf, 0));
    EXPECT_EQ('x', buf[0]);
    EXPECT_EQ(-1, Uint128(0).toString(buf, 1));
    EXPECT_EQ(1, Uint128(0).toString(buf, 2));
    EXPECT_STREQ("0", buf);
    EXPECT_EQ(1, Sint128(0).toString(buf, 2));
    EXPECT_STREQ("0", buf);
    EXPECT_EQ(-1, Uint128(7).toString(buf, 1));
    EXPECT_EQ(1, Uint128(7).toString(buf, 2));
    EXPECT_STREQ("7", buf);
    EXPECT_EQ(-1, Sint128(-7).toString(buf, 2));
    EXPECT_EQ(2, Sint128(-7).toString(buf, 3));
    EXPECT_STREQ("-7", buf);
    EXPECT_EQ(-1, Sint128(-7).toString(nullptr, 3));

    EXPECT_EQ("9", text(Uint128(9)));
    EXPECT_EQ("10", text(Uint128(10)));
    EXPECT_EQ("100", text(Uint128(100)));
    EXPECT_EQ("18446744073709551615", text(Uint128(UINT64_MAX)));
    EXPECT_EQ("18446744073709551616", text(halves(1, 0)));
    EXPECT_EQ("-18446744073709551616", text(-Sint128(halves(1, 0))));
}

TEST(Int128Text, RandomValuesAgainstReferenceAndBack)
{
    std::mt19937_64 rng(kSeed + 6);
    for (unsigned round = 0; round < kRandomRounds; ++round) {
        const Uint128 u = randomValue(rng);
        const std::string digits = referenceDecimal(u);
        char buf[48];
        ASSERT_EQ(int(digits.size()), u.toString(buf, unsigned(digits.size() + 1)));
        EXPECT_EQ(digits, buf);
        EXPECT_EQ(-1, u.toString(buf, unsigned(digits.size())));
        EXPECT_EQ(u, Uint128::fromString(buf));

        const Sint128 s(rng() & 1 ? -u : u);
        const std::string signedText = (s.signBit() ? "-" : "") + referenceDecimal(absolute(s));
        ASSERT_EQ(int(signedText.size()), s.toString(buf, unsigned(signedText.size() + 1)));
        EXPECT_EQ(signedText, buf);
        EXPECT_EQ(-1, s.toString(buf, unsigned(signedText.size())));
        EXPECT_EQ(s, Sint128::fromString(signedText.c_str()));
    }
}

/* ---- decimal parse ---- */

TEST(Int128Parse, SignsWhiteSpaceAndEarlyStops)
{
    EXPECT_EQ(Sint128(-12), Sint128::fromString("  -0012"));
    EXPECT_EQ(Sint128(12), Sint128::fromString("12a"));
    EXPECT_EQ(Sint128(12), Sint128::fromString("-12a")); // stopped early: no sign
    EXPECT_EQ(Sint128(12), Sint128::fromString("-12 "));
    EXPECT_EQ(Sint128(0), Sint128::fromString(""));
    EXPECT_EQ(Sint128(0), Sint128::fromString("000"));
    EXPECT_EQ(Sint128(0), Sint128::fromString("-0"));
    EXPECT_EQ(Sint128(-7), Sint128::fromString("+-7"));
    EXPECT_EQ(Sint128(0), Sint128::fromString("-+7"));
    EXPECT_EQ(Sint128(7), Sint128::fromString("+7"));
    EXPECT_EQ(Sint128(0), Sint128::fromString("++7"));
    EXPECT_EQ(Sint128(0), Sint128::fromString("--7"));
    EXPECT_EQ(Sint128(0), Sint128::fromString("- 5"));
    EXPECT_EQ(Sint128(0), Sint128::fromString("-"));
    EXPECT_EQ(Sint128(42), Sint128::fromString("\t\n\v\f\r 42"));
    EXPECT_EQ(Sint128(0), Sint128::fromString(nullptr));
    EXPECT_EQ(Uint128(0), Uint128::fromString(nullptr));
}

TEST(Int128Parse, WrapsModulo2To128)
{
    EXPECT_EQ(Uint128::maxValue(), Uint128::fromString(kMaxText));
    EXPECT_EQ(Uint128(0), Uint128::fromString("340282366920938463463374607431768211456"));
    EXPECT_EQ(Uint128(1), Uint128::fromString("340282366920938463463374607431768211457"));
    EXPECT_EQ(Uint128::maxValue(), Uint128::fromString("-1"));
    EXPECT_EQ(Sint128::minValue(), Sint128::fromString(kMinText));
    EXPECT_EQ(Sint128::minValue(), Sint128::fromString(kMinText + 1)); // 2^127 wraps
    // 10^50 modulo 2^128.
    expectWords(Uint128::fromString("100000000000000000000000000000000000000000000000000"), 0,
                0xB5640000u, 0xC40534FDu, 0x926687D2u);
}
