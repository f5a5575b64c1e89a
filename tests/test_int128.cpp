/*
 * test_int128.cpp - 128-bit integers: the inline building blocks, floating
 * point in and out, multiplication, division, the arithmetic right shift and
 * decimal text.
 *
 * Randomised checks use a fixed seed. They compare against a reference kept
 * deliberately different from the library (16-bit limbs, schoolbook product)
 * so that the 32-bit build checks as much as the 64-bit one.
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

namespace {
template <class T> std::string text(const T& v)
{
    char buf[48];
    return v.toString(buf, sizeof buf) > 0 ? buf : "(error)";
}
} // namespace

void PrintTo(const Uint128& v, std::ostream* os) { *os << text(v); }
void PrintTo(const Sint128& v, std::ostream* os) { *os << text(v); }

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

Sint128 shalves(Uint64 hi, Uint64 lo) { return Sint128(halves(hi, lo)); }

const Uint128 kMax = Uint128::maxValue();
const Sint128 kSMin = Sint128::minValue(), kSMax = Sint128::maxValue();
const char* const kMaxText = "340282366920938463463374607431768211455";  // 2^128 - 1
const char* const kMinText = "-170141183460469231731687303715884105728"; // -2^127

/* Random values of every length, so that all the paths get their share. */
Uint128 randomValue(std::mt19937_64& rng)
{
    Uint128 v = halves(rng(), rng());
    v.shr(unsigned(rng() % 129));
    return v;
}

Sint128 randomSigned(std::mt19937_64& rng)
{
    return Sint128(randomValue(rng) ^ (rng() & 1 ? kMax : Uint128(0)));
}

Uint128 absolute(const Sint128& v) { return Uint128(v.signBit() ? -v : v); }

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
    return words(l[0] | l[1] << 16, l[2] | l[3] << 16, l[4] | l[5] << 16, l[6] | l[7] << 16);
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

} // namespace

/* ---- the building blocks ---- */

TEST(Int128Blocks, WordsHalvesAndIntegerConstruction)
{
    const Uint128 v = words(0x11111111, 0x22222222, 0x33333333, 0x44444444);
    EXPECT_EQ(0x2222222211111111ull, v.low64());
    EXPECT_EQ(0x4444444433333333ull, v.high64());
    // Integers widen like built-in conversions: sign-extended when signed;
    // the explicit conversions between the classes keep the bits.
    EXPECT_EQ(kMax, Uint128(-1));
    EXPECT_EQ(words(0, 0x80000000u, ~0u, ~0u), Uint128(Sint128(INT64_MIN)));
    EXPECT_EQ(words(~0u, 0, 0, 0), Uint128(Sint128(0xFFFFFFFFu)));
    EXPECT_EQ(kSMin, Sint128(words(0, 0, 0, 0x80000000u)));
    // set32 sign-extends into word one only.
    Uint128 w = words(9, 9, 9, 9);
    w.set32(-5);
    EXPECT_EQ(words(0xFFFFFFFBu, 0xFFFFFFFFu, 0, 0), w);
}

TEST(Int128Blocks, CarriesAcrossWordsAndHalves)
{
    const Uint128 cases[][3] = {
        // a, b, a + b
        {words(~0u, 0, 0, 0), 1, words(0, 1, 0, 0)},
        {words(~0u, ~0u, 0, 0), 1, words(0, 0, 1, 0)},
        {words(~0u, ~0u, ~0u, 0), 1, words(0, 0, 0, 1)},
        {kMax, 1, 0},
        {halves(0xFFFFFFFFull, ~0ull), halves(1, 1), words(0, 0, 1, 1)}, // two carries at once
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(text(c[0]) + " + " + text(c[1]));
        EXPECT_EQ(c[2], c[0] + c[1]);
        EXPECT_EQ(c[0], c[2] - c[1]);
        EXPECT_EQ(c[1], c[2] - c[0]);
        Uint128 incremented = c[0];
        incremented.inc();
        EXPECT_EQ(c[0] + 1, incremented);
    }
}

TEST(Int128Blocks, OrderOfEdgeValues)
{
    // Neighbours across the halves, and the sign against the magnitude.
    EXPECT_TRUE(halves(0, ~0ull) < halves(1, 0));
    EXPECT_TRUE(halves(7, 1) < halves(7, 2));
    EXPECT_TRUE(kSMin < shalves(~0ull, 1) && shalves(~0ull, 1) < Sint128(-1));
    EXPECT_TRUE(Sint128(-1) < Sint128(0) && kSMax >= Sint128(0) && kSMax != kSMin);
}

TEST(Int128Blocks, LogicalShiftsNegationAndWrapping)
{
    for (unsigned n : {0u, 31u, 32u, 63u, 64u, 96u, 127u}) {
        const Uint128 bit = Uint128(1) << n;
        for (unsigned i = 0; i < 128; ++i)
            EXPECT_EQ(i == n, bit.testBit(i)) << "bit " << i << " of 1 << " << n;
        EXPECT_EQ(Uint128(1), bit >> n);
    }
    EXPECT_EQ(halves(0x7FFFFFFFFFFFFFFFull, ~0ull), kMax >> 1); // zero fill
    // Everything shifts out from 128 on.
    EXPECT_TRUE((kMax << 128).isZero());
    EXPECT_TRUE((kMax >> 1000).isZero());
    EXPECT_FALSE(kMax.testBit(128));

    EXPECT_EQ(kSMin, -kSMin);
    EXPECT_EQ(kSMin + 1, -kSMax);
    Uint128 v = kMax;
    EXPECT_EQ(kMax, v++);
    EXPECT_EQ(kMax, --v);
    Sint128 s = kSMin;
    EXPECT_EQ(kSMax, --s);
}

/* ---- the arithmetic right shift ---- */

TEST(Int128Shift, ArithmeticRightShiftFillsWithTheSign)
{
    const struct {
        Sint128 value;
        unsigned n;
        Sint128 expected;
    } cases[] = {
        {kSMin, 0, kSMin}, {kSMin, 63, shalves(~0ull, 0)},
        {kSMin, 64, shalves(~0ull, 0x8000000000000000ull)}, {kSMin, 127, -1},
        {shalves(3, 1), 1, shalves(1, 0x8000000000000000ull)}, {kSMax, 127, 0},
        {-5, 1, -3}, // rounds toward minus infinity
        // Counts of 128 and more: the sign fill.
        {kSMin, 128, -1}, {-7, 4000, -1}, {kSMax, 128, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.expected, c.value >> c.n) << text(c.value) << " >> " << c.n;
}

/* ---- floating point ---- */

TEST(Int128Float, FromFloatTruncatesAndSaturates)
{
    const double inf = std::numeric_limits<double>::infinity();
    const Uint128 e30 = words(0, 0x46750000u, 0x9F2C9CD0u, 0x0000000Cu);
    const Uint128 e30f = words(0, 0, 0x9F2CA000u, 0x0000000Cu); // 1e30 rounded to a float
    const struct {
        double  d;
        bool    single; // converted as a float: its own format
        Uint128 u;
        Sint128 s;
    } cases[] = {
        {-3.99, false, 0, -3}, {-0.999999, false, 0, 0},
        {inf, false, kMax, kSMax}, {-inf, false, 0, kSMin},
        {std::numeric_limits<double>::quiet_NaN(), false, kMax, kSMax},
        {std::ldexp(1.0, 127), false, words(0, 0, 0, 0x80000000u), kSMax},
        {-std::ldexp(1.0, 127), false, 0, kSMin},
        // The largest double below 2^128: 53 ones above 75 zeros.
        {std::ldexp(1.0, 128) - std::ldexp(1.0, 75), false, words(0, 0, 0xFFFFF800u, ~0u), kSMax},
        {std::ldexp(1.0, 128), false, kMax, kSMax}, {1e30, false, e30, Sint128(e30)},
        {-3.99, true, 0, -3}, {1e30, true, e30f, Sint128(e30f)},
        {FLT_MAX, true, words(0, 0, 0, 0xFFFFFF00u), kSMax}, // 24 ones at the top
        {-FLT_MAX, true, 0, kSMin},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.d << (c.single ? " as float" : ""));
        EXPECT_EQ(c.u, c.single ? Uint128(float(c.d)) : Uint128(c.d));
        EXPECT_EQ(c.s, c.single ? Sint128(float(c.d)) : Sint128(c.d));
    }
}

TEST(Int128Float, ToDoubleTruncatesInsteadOfRounding)
{
    const std::pair<Uint128, double> unsignedCases[] = {
        {0, 0.0}, {(1ull << 54) - 1, std::ldexp(1.0, 54) - 2}, // nearest would give 2^54
        {halves(1, ~0ull), std::ldexp(1.0, 65) - std::ldexp(1.0, 12)},
        {kMax, std::ldexp(std::ldexp(1.0, 53) - 1, 75)},
        {Uint128(kSMin), std::ldexp(1.0, 127)}, // read as unsigned
    };
    for (const auto& c : unsignedCases)
        EXPECT_EQ(c.second, double(c.first)) << text(c.first);
    EXPECT_FALSE(std::signbit(double(Uint128(0))));
    const std::pair<Sint128, double> signedCases[] = {
        {-Sint64((1ull << 53) + 1), -std::ldexp(1.0, 53)},
        {kSMin, -std::ldexp(1.0, 127)},
        {kSMax, std::ldexp(1.0, 127) - std::ldexp(1.0, 74)},
    };
    for (const auto& c : signedCases)
        EXPECT_EQ(c.second, double(c.first)) << text(c.first);
}

/* ---- multiplication and division ---- */

TEST(Int128Mul, KnownProducts)
{
    const Uint128 cases[][3] = {
        {UINT64_MAX, UINT64_MAX, words(1, 0, 0xFFFFFFFEu, ~0u)},
        {kMax, kMax, 1},
        {1ull << 63, halves(1, 0), words(0, 0, 0, 0x80000000u)},
        {10000000000000000000ull, 10000000000000000000ull,
         words(0, 0x098A2240u, 0x5A86C47Au, 0x4B3B4CA8u)}, // 10^38
        // Products of the high halves lie wholly above 2^128.
        {halves(0xFFFFFFFFull, 0), halves(0xFFFFFFFFull, 0), 0},
        {halves(0, 0x100000001ull), halves(0x100000001ull, 0), halves(0x200000001ull, 0)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c[2], c[0] * c[1]) << text(c[0]) << " * " << text(c[1]);
    EXPECT_EQ(Sint128(-21), Sint128(-3) * Sint128(7));
    EXPECT_EQ(kSMin, kSMin * Sint128(-1));
    EXPECT_EQ(Sint128(1), kSMax * kSMax);
}

TEST(Int128Mul, RandomProductsAgainstReference)
{
    std::mt19937_64 rng(kSeed + 3);
    for (unsigned round = 0; round < kRandomRounds; ++round) {
        const Uint128 a = randomValue(rng), b = randomValue(rng);
        SCOPED_TRACE(text(a) + " * " + text(b));
        Uint128 lo, hi;
        referenceProduct(a, b, lo, hi);
        EXPECT_EQ(lo, a * b);
        // Modulo 2^128 the signed product has the same bits.
        EXPECT_EQ(lo, Uint128(Sint128(a) * Sint128(b)));
        EXPECT_EQ(lo, Uint128(Sint128(-a) * Sint128(-b)));
    }
}

TEST(Int128Div, FastPathsAndLongDivision)
{
    const Uint128 big = words(1, 0, 0, 0x80000000u); // above 2^127: the remainder's top bit
    const Uint128 cases[][3] = {
        {halves(1, ~0ull), halves(2, 0), 0}, // high half smaller
        {halves(2, 5), halves(2, 6), 0},     // same high, low smaller
        {100, 7, 14}, // 64-bit division
        {kMax, 3, words(0x55555555u, 0x55555555u, 0x55555555u, 0x55555555u)},
        {kMax, big, 1}, {kMax, kMax >> 1, 2},
        // A zero divisor gives all ones, and the remainder the dividend.
        {0, 0, kMax}, {halves(3, 0), 0, kMax},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c[2], c[0] / c[1]) << text(c[0]) << " / " << text(c[1]);
        if (c[1].isZero()) {
            EXPECT_EQ(c[0], c[0] % c[1]);
        }
    }
    EXPECT_EQ(halves(0x7FFFFFFFFFFFFFFFull, ~0ull - 1), kMax % big);

    const Sint128 signedCases[][4] = {
        // dividend, divisor, quotient, remainder: truncation toward zero
        {-7, 2, -3, -1}, {7, -2, -3, 1},
        {kSMin, -1, kSMin, 0}, // wraps
        {kSMax, kSMin, 0, kSMax}, {kSMin, kSMax, -1, -1}, {kSMin, 0, -1, kSMin},
    };
    for (const auto& c : signedCases) {
        SCOPED_TRACE(text(c[0]) + " / " + text(c[1]));
        EXPECT_EQ(c[2], c[0] / c[1]);
        EXPECT_EQ(c[3], c[0] % c[1]);
    }
}

TEST(Int128Div, RandomQuotientsAgainstReference)
{
    std::mt19937_64 rng(kSeed + 4);
    for (unsigned round = 0; round < kRandomRounds; ++round) {
        const Uint128 n = randomValue(rng);
        Uint128 d = randomValue(rng);
        if (d.isZero())
            d = 1;
        SCOPED_TRACE(text(n) + " / " + text(d));
        // q * d must not exceed n, and n - q * d must be below d.
        Uint128 lo, hi;
        referenceProduct(n / d, d, lo, hi);
        EXPECT_TRUE(hi.isZero() && lo <= n);
        EXPECT_TRUE(n - lo < d);
        EXPECT_EQ(n - lo, n % d);

        // Signed: n = q * d + r with |r| < |d|, r carrying the dividend's sign.
        const Sint128 sn = randomSigned(rng), sd = rng() & 1 ? Sint128(d) : -Sint128(d);
        const Sint128 q = sn / sd, r = sn - q * sd;
        referenceProduct(absolute(q), absolute(sd), lo, hi);
        EXPECT_TRUE(hi.isZero() && lo <= absolute(sn)) << text(sn) << " / " << text(sd);
        EXPECT_TRUE(absolute(r) < absolute(sd)) << text(sn) << " / " << text(sd);
        EXPECT_TRUE(r.isZero() || r.signBit() == sn.signBit()) << text(sn) << " / " << text(sd);
    }
}

/* ---- decimal text ---- */

TEST(Int128Text, BuffersAndDigitCounts)
{
    char buf[48];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(-1, Uint128(0).toString(buf, 1));
    EXPECT_EQ(1, Sint128(0).toString(buf, 2));
    EXPECT_STREQ("0", buf);
    EXPECT_EQ(-1, Sint128(-7).toString(nullptr, 3));
    EXPECT_EQ(39, kMax.toString(buf, 40));
    EXPECT_STREQ(kMaxText, buf);
    EXPECT_EQ(-1, kMax.toString(buf, 39));
    EXPECT_EQ(40, kSMin.toString(buf, 41));
    EXPECT_STREQ(kMinText, buf);
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(-1, kSMin.toString(buf, 40));
    EXPECT_EQ('-', buf[0]); // the sign is already written when the digits do not fit
    EXPECT_EQ('x', buf[1]);
    EXPECT_EQ(kMinText + 1, text(Uint128(kSMin))); // read as unsigned: no sign

    // Every change in the number of digits, up to 10^38.
    Uint128 power = 1;
    for (unsigned digits = 1; digits <= 38; ++digits) {
        power = power * Uint128(10);
        EXPECT_EQ(std::string(digits, '9'), text(power - 1));
        EXPECT_EQ("-1" + std::string(digits, '0'), text(-Sint128(power)));
    }
}

TEST(Int128Parse, SignsWhiteSpaceEarlyStopsAndWrapping)
{
    const std::pair<const char*, int> cases[] = {
        {"  -0012", -12}, {"-12a", 12}, // stopped early: no sign
        {"", 0}, {"+-7", -7}, {"-+7", 0}, {"- 5", 0}, {"\t\n\v\f\r 42", 42},
    };
    for (const auto& c : cases)
        EXPECT_EQ(Sint128(c.second), Sint128::fromString(c.first)) << '"' << c.first << '"';
    EXPECT_EQ(Sint128(0), Sint128::fromString(nullptr));

    // Modulo 2^128.
    EXPECT_EQ(kMax, Uint128::fromString(kMaxText));
    EXPECT_EQ(Uint128(1), Uint128::fromString("340282366920938463463374607431768211457"));
    EXPECT_EQ(kMax, Uint128::fromString("-1"));
    EXPECT_EQ(kSMin, Sint128::fromString(kMinText + 1)); // 2^127 wraps
    EXPECT_EQ(words(0, 0xB5640000u, 0xC40534FDu, 0x926687D2u), // 10^50
              Uint128::fromString("100000000000000000000000000000000000000000000000000"));
}
