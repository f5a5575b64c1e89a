/*
 * kivmath.h - small 32-bit integer helpers.
 */
#ifndef KIVMATH_H
#define KIVMATH_H

#include "kivbase.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Greatest common divisor by Euclid's remainders; gcd(a, 0) is a, so both
 * zero give 0. */
KIV_API Uint32 kivComputeGCD(Uint32 a, Uint32 b);

/* Least common multiple: the low 32 bits of a * b divided by their gcd
 * (unsigned).  0 when either is 0; a product that overflows 32 bits gives
 * the quotient of its low word (lcm(65536, 65536) is 0). */
KIV_API Uint32 kivComputeLCM(Uint32 a, Uint32 b);

/* Montgomery constant of the odd part m of x: r with m * r == -1 modulo
 * 2^32.  Even x is first shifted right until odd; x = 0 has no odd part and
 * gives 0. */
KIV_API Uint32 kivComputeMontgomeryInverse32(Uint32 x);

#ifdef __cplusplus
}
#endif

#endif /* KIVMATH_H */
