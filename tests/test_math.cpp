/*
 * test_math.cpp - greatest common divisor, least common multiple and the
 * Montgomery constant.
 */
#include "kivmath.h"
#include "kivtest.h"

#include <random>

TEST(Math, GreatestCommonDivisorAndLeastCommonMultiple)
{
    const struct {
        Uint32 a, b, gcd, lcm;
    } cases[] = {
        {12, 18, 6, 36},
        {18, 12, 6, 36},
        {7, 0, 7, 0},
        {0, 7, 7, 0},
        {0, 0, 0, 0},
        {9, 9, 9, 9},
        {0xFFFFFFFFu, 0xFFFFFFFEu, 1, 2},          // the product wraps: (-1)(-2) = 2
        {0x80000000u, 0x80000000u, 0x80000000u, 0}, // product modulo 2^32 is 0
        {0xFFFFFFFFu, 65537u * 7u, 65537u, 0xFFFFFFFFu * (65537u * 7u) / 65537u},
        {65536, 65536, 65536, 0},
        {100000, 300000, 100000, (100000u * 300000u) / 100000u},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.a << ", " << c.b);
        EXPECT_EQ(c.gcd, kivComputeGCD(c.a, c.b));
        EXPECT_EQ(c.lcm, kivComputeLCM(c.a, c.b));
    }
}

TEST(Math, MontgomeryInverse)
{
    EXPECT_EQ(0x55555555u, kivComputeMontgomeryInverse32(3));
    EXPECT_EQ(0x55555555u, kivComputeMontgomeryInverse32(12)); // 12 reduces to 3
    EXPECT_EQ(0xFFFFFFFFu, kivComputeMontgomeryInverse32(1));
    EXPECT_EQ(0xFFFFFFFFu, kivComputeMontgomeryInverse32(0x80000000u)); // reduces to 1
    EXPECT_EQ(1u, kivComputeMontgomeryInverse32(0xFFFFFFFFu));          // -1 * 1 == -1
    EXPECT_EQ(0u, kivComputeMontgomeryInverse32(0));                    // no odd part

    std::mt19937 rng(20040702u);
    for (int i = 0; i < 100000; ++i) {
        Uint32 m = static_cast<Uint32>(rng()) | 1u;
        EXPECT_EQ(0xFFFFFFFFu, m * kivComputeMontgomeryInverse32(m)) << "m = " << m;
        // Any power of two times m has the same constant.
        Uint32 shift = static_cast<Uint32>(rng() % 32);
        Uint32 x = m << shift;
        if (x != 0 && (x >> shift) == m) {
            EXPECT_EQ(kivComputeMontgomeryInverse32(m), kivComputeMontgomeryInverse32(x));
        }
    }
}
