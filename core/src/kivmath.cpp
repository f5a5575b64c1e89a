/*
 * kivmath.cpp - greatest common divisor, least common multiple and the
 * Montgomery constant of a 32-bit modulus.
 */
#include "kivmath.h"

Uint32 kivComputeGCD(Uint32 a, Uint32 b)
{
    while (b != 0) {
        Uint32 r = a % b;
        a = b;
        b = r;
    }
    return a;
}

Uint32 kivComputeLCM(Uint32 a, Uint32 b)
{
    Uint32 g = kivComputeGCD(a, b);
    if (g == 0)
        return 0;
    return (a * b) / g; // the product wraps to its low 32 bits on purpose
}

/* Built one bit at a time: v always equals m * r (mod 2^32), and each step
 * sets bit i of v by adding m * 2^i where it is clear, until v is all ones,
 * i.e. m * r == -1.  Bit 0 of v starts set because m is odd. */
Uint32 kivComputeMontgomeryInverse32(Uint32 x)
{
    if (x == 0)
        return 0;
    Uint32 m = x;
    while ((m & 1u) == 0)
        m >>= 1;
    Uint32 r = 1;
    Uint32 v = m;
    for (unsigned i = 1; i < 32; ++i) {
        Uint32 bit = 1u << i;
        if ((v & bit) == 0) {
            v += m << i;
            r |= bit;
        }
    }
    return r;
}
