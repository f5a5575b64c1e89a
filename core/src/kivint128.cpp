/*
 * kivint128.cpp - the out-of-line operations of the 128-bit integers:
 * floating point in and out, multiplication, division, the arithmetic right
 * shift and decimal text. Only 32- and 64-bit arithmetic is used, as the
 * 32-bit targets have nothing wider.
 */
#include "kivint128.h"

#include <cctype>
#include <cstring>
#include <limits>

static_assert(std::numeric_limits<double>::is_iec559 && std::numeric_limits<float>::is_iec559,
              "the conversions take floating point apart as IEEE 754 binary formats");

namespace {

/* What the conversion from floating point needs to know of a format. */
struct FloatFormat
{
    unsigned fractionBits;
    unsigned exponentBits;
    int bias;
};

const FloatFormat kDoubleFormat = {52, 11, 1023};
const FloatFormat kFloatFormat = {23, 8, 127};

Uint64 bitsOf(double v)
{
    Uint64 bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

Uint64 bitsOf(float v)
{
    Uint32 bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

/* Truncates a floating value, given by its raw bits, toward zero. Below 1
 * everything is 0; an unsigned target takes every negative value as 0 and
 * saturates from 2^128, a signed one saturates from 2^127 by the sign. The
 * exponent test comes first, so infinities and NaNs saturate as well. */
void fromFloatBits(int128& out, Uint64 bits, const FloatFormat& fmt, bool isSigned)
{
    const bool negative = ((bits >> (fmt.fractionBits + fmt.exponentBits)) & 1) != 0;
    const Uint64 exponentMask = (Uint64(1) << fmt.exponentBits) - 1;
    const int e = int((bits >> fmt.fractionBits) & exponentMask) - fmt.bias;

    out.set(0, 0, 0, 0);
    if (e < 0 || (negative && !isSigned))
        return;
    if (!isSigned && e >= 128) {
        out.setAllOnes();
        return;
    }
    if (isSigned && e >= 127) {
        if (negative)
            out.set(0, 0, 0, 0x80000000u);
        else
            out.set(~0u, ~0u, ~0u, 0x7FFFFFFFu);
        return;
    }
    const Uint64 hidden = Uint64(1) << fmt.fractionBits;
    const Uint64 m = (bits & (hidden - 1)) | hidden;
    if (unsigned(e) < fmt.fractionBits) {
        out.setHalves(m >> (fmt.fractionBits - unsigned(e)), 0);
    } else {
        out.setHalves(m, 0);
        out.shl(unsigned(e) - fmt.fractionBits);
    }
    if (negative)
        out.negate();
}

/* Number of the highest set bit plus one, 0 for 0: halving steps down to a
 * nibble, then a table. */
unsigned bitLength64(Uint64 x)
{
    static const Uint8 nibbleLength[16] = {0, 1, 2, 2, 3, 3, 3, 3, 4, 4, 4, 4, 4, 4, 4, 4};
    unsigned n = 0;
    for (unsigned step = 32; step >= 4; step /= 2) {
        if (x >> step) {
            n += step;
            x >>= step;
        }
    }
    return n + nibbleLength[x];
}

unsigned bitLength(const int128& v)
{
    return v.high64() != 0 ? 64 + bitLength64(v.high64()) : bitLength64(v.low64());
}

/* The value read as unsigned, its leading 53 bits kept and the rest dropped. */
double unsignedToDouble(const int128& v)
{
    const unsigned length = bitLength(v);
    if (length == 0)
        return 0.0;
    int128 m(v);
    if (length > 52)
        m.shr(length - 53);
    else
        m.shl(53 - length);
    const Uint64 fractionMask = (Uint64(1) << 52) - 1;
    const Uint64 bits = Uint64(length + 1022) << 52 | (m.low64() & fractionMask);
    double d;
    std::memcpy(&d, &bits, sizeof d);
    return d;
}

/* |v| as unsigned; the most negative value is its own magnitude, 2^127. */
Uint128 magnitude(const int128& v)
{
    Uint128 m(v);
    if (m.signBit())
        m.negate();
    return m;
}

/* An arithmetic right shift of a 64-bit word, below 64. */
Uint64 sar64(Uint64 v, unsigned n)
{
    return (v >> 63) != 0 ? ~(~v >> n) : v >> n;
}

/* v * 2^(32 * word), cut to 128 bits, for word 0 to 2. */
int128 placed(Uint64 v, unsigned word)
{
    int128 r;
    const Uint32 lo = Uint32(v), hi = Uint32(v >> 32);
    if (word == 0)
        r.set(lo, hi, 0, 0);
    else if (word == 1)
        r.set(0, lo, hi, 0);
    else
        r.set(0, 0, lo, hi);
    return r;
}

} // namespace

Uint128::Uint128(double v)
{
    fromFloatBits(*this, bitsOf(v), kDoubleFormat, false);
}

Uint128::Uint128(float v)
{
    fromFloatBits(*this, bitsOf(v), kFloatFormat, false);
}

Sint128::Sint128(double v)
{
    fromFloatBits(*this, bitsOf(v), kDoubleFormat, true);
}

Sint128::Sint128(float v)
{
    fromFloatBits(*this, bitsOf(v), kFloatFormat, true);
}

Uint128::operator double() const
{
    return unsignedToDouble(*this);
}

Sint128::operator double() const
{
    if (!signBit())
        return unsignedToDouble(*this);
    return -unsignedToDouble(magnitude(*this));
}

Uint128 operator*(const Uint128& a, const Uint128& b)
{
    const Uint32 a0 = a.word(0), a1 = a.word(1), b0 = b.word(0), b1 = b.word(1);
    Uint128 r;
    r.add(placed(Uint64(a0) * b0, 0));
    r.add(placed(Uint64(a0) * b1, 1));
    r.add(placed(Uint64(a1) * b0, 1));
    r.add(placed(Uint64(a1) * b1, 2));
    // Above 2^128 these two contribute nothing, so 64-bit products suffice.
    r.add(placed(a.high64() * b.low64(), 2));
    r.add(placed(a.low64() * b.high64(), 2));
    return r;
}

Sint128 operator*(const Sint128& a, const Sint128& b)
{
    Uint128 p = magnitude(a) * magnitude(b);
    if (a.signBit() != b.signBit())
        p.negate();
    return Sint128(p);
}

Uint128 operator/(const Uint128& n, const Uint128& d)
{
    if (d.isZero())
        return Uint128::maxValue();
    if (n.high64() < d.high64() || (n.high64() == d.high64() && n.low64() < d.low64()))
        return Uint128();
    if (n.high64() == 0 && d.high64() == 0)
        return Uint128(n.low64() / d.low64());

    // Restoring division, one bit of the dividend at a time. The remainder
    // stays below the divisor, so shifting it left cannot lose a bit unless
    // the divisor exceeds 2^127 - and then only the last step subtracts.
    // Kept in 64-bit halves: this loop is where decimal text spends its time.
    const Uint64 nLo = n.low64(), nHi = n.high64(), dLo = d.low64(), dHi = d.high64();
    Uint64 qLo = 0, qHi = 0, rLo = 0, rHi = 0;
    for (unsigned i = 128; i-- > 0;) {
        rHi = rHi << 1 | rLo >> 63;
        rLo = rLo << 1 | ((i >= 64 ? nHi >> (i - 64) : nLo >> i) & 1);
        qHi = qHi << 1 | qLo >> 63;
        qLo <<= 1;
        if (rHi > dHi || (rHi == dHi && rLo >= dLo)) {
            qLo |= 1;
            rHi = rHi - dHi - (rLo < dLo ? 1 : 0);
            rLo -= dLo;
        }
    }
    Uint128 q;
    q.setHalves(qLo, qHi);
    return q;
}

Sint128 operator/(const Sint128& n, const Sint128& d)
{
    if (d.isZero())
        return Sint128(-1);
    Uint128 q = magnitude(n) / magnitude(d);
    if (n.signBit() != d.signBit())
        q.negate();
    return Sint128(q);
}

Sint128& Sint128::operator>>=(unsigned n)
{
    const Uint64 lo = low64(), hi = high64();
    const Uint64 fill = signBit() ? ~Uint64(0) : 0;
    if (n == 0)
        return *this;
    if (n < 64)
        setHalves(lo >> n | hi << (64 - n), sar64(hi, n));
    else if (n < 128)
        setHalves(sar64(hi, n - 64), fill);
    else
        setHalves(fill, fill);
    return *this;
}

int int128::tostr(char* buf, unsigned size, bool isSigned) const
{
    if (size == 0 || buf == nullptr)
        return -1;
    if (isZero()) {
        if (size < 2)
            return -1;
        buf[0] = '0';
        buf[1] = '\0';
        return 1;
    }

    Uint128 v(*this);
    unsigned signLength = 0;
    if (isSigned && signBit()) {
        buf[0] = '-';
        signLength = 1;
        v.negate();
    }

    // Least significant digit first; 2^128 - 1 has 39 digits.
    char digits[40];
    unsigned count = 0;
    const Uint128 ten(10);
    while (!v.isZero()) {
        const Uint128 q = v / ten;
        digits[count++] = char('0' + (v - q * ten).word(0));
        v = q;
    }
    if (count >= size - signLength)
        return -1;
    for (unsigned i = 0; i < count; ++i)
        buf[signLength + i] = digits[count - 1 - i];
    buf[signLength + count] = '\0';
    return int(signLength + count);
}

int128 int128::strToInt128(const char* text)
{
    int128 value;
    if (text == nullptr)
        return value;
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    while (std::isspace(*p))
        ++p;
    if (*p == '+')
        ++p;
    bool negative = false;
    if (*p == '-') {
        negative = true;
        ++p;
    }
    while (*p == '0')
        ++p;

    for (; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9')
            return value; // stopped early: the sign is not applied
        int128 twice(value);
        twice.shl(1);
        value.shl(3);
        value.add(twice);
        int128 digit;
        digit.set32(Sint32(*p - '0'));
        value.add(digit);
    }
    if (negative)
        value.negate();
    return value;
}
