/*
 * kivint128.h - signed and unsigned 128-bit integers for targets that have
 * no native integer of that width.
 *
 * A value is four 32-bit words, least significant first; Sint128 is two's
 * complement with bit 127 as the sign. All arithmetic is done with 32- and
 * 64-bit pieces, so the 32-bit build runs the same code as the 64-bit one.
 *
 * Out of line (exported): construction from double and float, conversion to
 * double, multiplication, division, the arithmetic right shift of Sint128,
 * and decimal text (int128::tostr and int128::strToInt128, reached through
 * Uint128/Sint128::toString and ::fromString). Everything else is inline,
 * built from the building blocks of int128.
 *
 * Behaviour worth knowing before use:
 * - Floating point converts by truncation toward zero; magnitudes below 1
 *   (zero and subnormals included) give 0. Uint128 gives 0 for any negative
 *   input and 2^128-1 from 2^128 up, infinity and NaN included; Sint128
 *   saturates from a magnitude of 2^127 up to its most negative or most
 *   positive value, by the sign (NaN included).
 * - Conversion to double keeps the 53 leading bits and drops the rest: it
 *   truncates, it does not round. It is explicit, as it loses precision.
 * - Multiplication is modulo 2^128; division truncates toward zero.
 *   Sint128 MIN / -1 wraps to MIN.
 * - A zero divisor is a caller's error, but it does not trap: the quotient
 *   has all bits set (2^128-1 for Uint128, -1 for Sint128; for Uint128 that
 *   is what the long division produces anyway), and the remainder operator
 *   then gives back the dividend.
 * - Shift counts of 128 or more: the logical shifts give 0, the arithmetic
 *   right shift gives the sign fill (0 or -1); testBit(n >= 128) is false.
 * - set32 widens a 32-bit value to 64 bits only: words 2 and 3 are zero even
 *   for a negative value. The integer constructors widen to the full 128.
 * - toString writes decimal text and a NUL and returns the number of
 *   characters (the sign included); it returns -1 when the buffer is too
 *   small, in which case a leading '-' may already have been written.
 * - fromString skips white space, one '+' and then one '-', and leading
 *   zeros, then reads decimal digits modulo 2^128. Text that ends in a
 *   non-digit yields the digits read so far WITHOUT the minus sign ("-12x"
 *   gives 12); a null pointer gives 0.
 * - The two classes do not mix implicitly: convert explicitly with
 *   Uint128(s) or Sint128(u), which keep the bit pattern.
 */
#ifndef KIVINT128_H
#define KIVINT128_H

#include "kivbase.h"

#include <type_traits>

/* The words and the building blocks every operation is made of. */
class KIV_API int128
{
public:
    int128() : m_w{0, 0, 0, 0} {}

    /* Word i (0 to 3), least significant first. */
    Uint32 word(unsigned i) const { return m_w[i]; }
    Uint64 low64() const { return Uint64(m_w[1]) << 32 | m_w[0]; }
    Uint64 high64() const { return Uint64(m_w[3]) << 32 | m_w[2]; }

    /* Four words, least significant first. */
    void set(Uint32 w0, Uint32 w1, Uint32 w2, Uint32 w3)
    {
        m_w[0] = w0;
        m_w[1] = w1;
        m_w[2] = w2;
        m_w[3] = w3;
    }
    /* Word 0 = v, word 1 = its sign extension, words 2 and 3 = 0. */
    void set32(Sint32 v) { set(Uint32(v), v < 0 ? 0xFFFFFFFFu : 0u, 0, 0); }
    void setHalves(Uint64 lo, Uint64 hi)
    {
        set(Uint32(lo), Uint32(lo >> 32), Uint32(hi), Uint32(hi >> 32));
    }
    void setAllOnes() { set(~0u, ~0u, ~0u, ~0u); }
    void copy(const int128& o) { set(o.m_w[0], o.m_w[1], o.m_w[2], o.m_w[3]); }

    bool equals(const int128& o) const
    {
        return low64() == o.low64() && high64() == o.high64();
    }
    /* Unsigned order: the high halves decide unless they are equal. */
    bool ult(const int128& o) const
    {
        if (high64() != o.high64())
            return high64() < o.high64();
        return low64() < o.low64();
    }
    bool isZero() const { return (m_w[0] | m_w[1] | m_w[2] | m_w[3]) == 0; }
    bool testBit(unsigned n) const { return n < 128 && ((m_w[n >> 5] >> (n & 31)) & 1u); }
    bool signBit() const { return (m_w[3] >> 31) != 0; }

    /* Addition modulo 2^128, the carry going from the low half into the high. */
    void add(const int128& o)
    {
        const Uint64 lo = low64() + o.low64();
        const Uint64 carry = lo < o.low64() ? 1 : 0;
        setHalves(lo, high64() + o.high64() + carry);
    }
    void inc()
    {
        const Uint64 lo = low64() + 1;
        setHalves(lo, lo == 0 ? high64() + 1 : high64());
    }
    void invert() { set(~m_w[0], ~m_w[1], ~m_w[2], ~m_w[3]); }
    void negate()
    {
        invert();
        inc();
    }
    void sub(const int128& o)
    {
        int128 n(o);
        n.negate();
        add(n);
    }
    /* Logical shifts; 128 and more shift everything out. */
    void shl(unsigned n)
    {
        const Uint64 lo = low64(), hi = high64();
        if (n == 0)
            return;
        if (n >= 128)
            setHalves(0, 0);
        else if (n >= 64)
            setHalves(0, lo << (n - 64));
        else
            setHalves(lo << n, hi << n | lo >> (64 - n));
    }
    void shr(unsigned n)
    {
        const Uint64 lo = low64(), hi = high64();
        if (n == 0)
            return;
        if (n >= 128)
            setHalves(0, 0);
        else if (n >= 64)
            setHalves(hi >> (n - 64), 0);
        else
            setHalves(lo >> n | hi << (64 - n), hi >> n);
    }

protected:
    /* Decimal text of the value, read as signed when isSigned; see the
     * description at the top. Returns the length or -1. */
    int tostr(char* buf, unsigned size, bool isSigned) const;
    /* Decimal parse; see the description at the top. */
    static int128 strToInt128(const char* text);

    /* The high half of an integer widened to 128 bits. */
    template <class I>
    static Uint64 extensionOf(I v)
    {
        if constexpr (std::is_signed<I>::value)
            return v < 0 ? ~Uint64(0) : 0;
        else
            return 0;
    }

    Uint32 m_w[4];
};

/* The operators both classes share, written once; T is the class itself.
 * Comparisons go through T::less, the right shift through T::operator>>=. */
template <class T>
class int128Ops : public int128
{
public:
    int128Ops() = default;
    explicit int128Ops(const int128& v) : int128(v) {}

    T& operator+=(const T& b) { add(b); return self(); }
    T& operator-=(const T& b) { sub(b); return self(); }
    T& operator*=(const T& b) { return self() = self() * b; }
    T& operator/=(const T& b) { return self() = self() / b; }
    T& operator%=(const T& b) { return self() = self() % b; }
    T& operator&=(const T& b) { setHalves(low64() & b.low64(), high64() & b.high64()); return self(); }
    T& operator|=(const T& b) { setHalves(low64() | b.low64(), high64() | b.high64()); return self(); }
    T& operator^=(const T& b) { setHalves(low64() ^ b.low64(), high64() ^ b.high64()); return self(); }
    T& operator<<=(unsigned n) { shl(n); return self(); }
    T& operator++() { inc(); return self(); }
    T& operator--()
    {
        int128 minusOne;
        minusOne.setAllOnes();
        add(minusOne);
        return self();
    }
    T operator++(int) { T old(self()); ++*this; return old; }
    T operator--(int) { T old(self()); --*this; return old; }

    friend T operator+(T a, const T& b) { return a += b; }
    friend T operator-(T a, const T& b) { return a -= b; }
    /* Truncated division leaves a remainder with the dividend's sign. */
    friend T operator%(const T& a, const T& b) { return a - (a / b) * b; }
    friend T operator&(T a, const T& b) { return a &= b; }
    friend T operator|(T a, const T& b) { return a |= b; }
    friend T operator^(T a, const T& b) { return a ^= b; }
    friend T operator<<(T a, unsigned n) { return a <<= n; }
    friend T operator>>(T a, unsigned n) { return a >>= n; }
    friend T operator-(T a) { a.negate(); return a; }
    friend T operator~(T a) { a.invert(); return a; }
    friend bool operator==(const T& a, const T& b) { return a.equals(b); }
    friend bool operator!=(const T& a, const T& b) { return !a.equals(b); }
    friend bool operator<(const T& a, const T& b) { return T::less(a, b); }
    friend bool operator>(const T& a, const T& b) { return T::less(b, a); }
    friend bool operator<=(const T& a, const T& b) { return !T::less(b, a); }
    friend bool operator>=(const T& a, const T& b) { return !T::less(a, b); }

private:
    T& self() { return static_cast<T&>(*this); }
};

class KIV_API Uint128 : public int128Ops<Uint128>
{
public:
    Uint128() = default;
    /* Integers, zero- or sign-extended like a built-in conversion. */
    template <class I, typename std::enable_if<std::is_integral<I>::value, int>::type = 0>
    Uint128(I v) { setHalves(Uint64(v), extensionOf(v)); }
    /* The same bits, e.g. of a Sint128. */
    explicit Uint128(const int128& v) : int128Ops<Uint128>(v) {}
    explicit Uint128(double v);
    explicit Uint128(float v);

    explicit operator double() const;
    Uint128& operator>>=(unsigned n) { shr(n); return *this; }

    static Uint128 maxValue() { Uint128 v; v.setAllOnes(); return v; }
    static bool less(const Uint128& a, const Uint128& b) { return a.ult(b); }

    /* Decimal text, unsigned; see the description at the top. */
    int toString(char* buf, unsigned size) const { return tostr(buf, size, false); }
    static Uint128 fromString(const char* text) { return Uint128(strToInt128(text)); }
};

class KIV_API Sint128 : public int128Ops<Sint128>
{
public:
    Sint128() = default;
    template <class I, typename std::enable_if<std::is_integral<I>::value, int>::type = 0>
    Sint128(I v) { setHalves(Uint64(v), extensionOf(v)); }
    explicit Sint128(const int128& v) : int128Ops<Sint128>(v) {}
    explicit Sint128(double v);
    explicit Sint128(float v);

    explicit operator double() const;
    /* Arithmetic right shift: the sign bit fills from the left. */
    Sint128& operator>>=(unsigned n);

    static Sint128 minValue() { Sint128 v; v.set(0, 0, 0, 0x80000000u); return v; }
    static Sint128 maxValue() { Sint128 v; v.set(~0u, ~0u, ~0u, 0x7FFFFFFFu); return v; }
    /* Two's complement order: a sign difference decides, else unsigned order. */
    static bool less(const Sint128& a, const Sint128& b)
    {
        return a.signBit() != b.signBit() ? a.signBit() : a.ult(b);
    }

    /* Decimal text, signed; see the description at the top. */
    int toString(char* buf, unsigned size) const { return tostr(buf, size, true); }
    static Sint128 fromString(const char* text) { return Sint128(strToInt128(text)); }
};

KIV_API Uint128 operator*(const Uint128& a, const Uint128& b);
KIV_API Uint128 operator/(const Uint128& a, const Uint128& b);
KIV_API Sint128 operator*(const Sint128& a, const Sint128& b);
KIV_API Sint128 operator/(const Sint128& a, const Sint128& b);

static_assert(sizeof(int128) == 16, "int128 is exactly four 32-bit words");
static_assert(sizeof(Uint128) == 16, "Uint128 adds no fields");
static_assert(sizeof(Sint128) == 16, "Sint128 adds no fields");

#endif /* KIVINT128_H */
