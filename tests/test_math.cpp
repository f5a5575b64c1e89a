/*
 * test_math.cpp - greatest common divisor, least common multiple and the
 * Montgomery constant.
 */
#include "kivmath.h"
#include "kivtest.h"

#include <random>

TEST(Math, GreatestCommonDivisor)
{
    EXPECT_EQ(6u, kivComputeGCD(12, 18));
    EXPECT_EQ(6u, kivComputeGCD(18, 12));
    EXPECT_EQ(7u, kivComputeGCD(7, 0));
    EXPECT_EQ(7u, kivComputeGCD(0, 7));
    EXPECT_EQ(0u, kivComputeGCD(0, 0));
    EXPECT_EQ(1u, kivComputeGCD(0xFFFFFFFFu, 0xFFFFFFFEu));
    EXPECT_EQ(0x80000000u, kivComputeGCD(0x80000000u, 0x80000000u));
    EXPECT_EQ(65537u, kivComputeGCD(0xFFFFFFFFu, 65537u * 7u));
}

TEST(Math, LeastCommonMultiple)
{
    EXPECT_EQ(12u, kivComputeLCM(4, 6));
    EXPECT_EQ(0u, kivComputeLCM(0, 0));
    EXPECT_EQ(0u, kivComputeLCM(0, 5));
    EXPECT_EQ(0u, kivComputeLCM(5, 0));
    EXPECT_EQ(9u, kivComputeLCM(9, 9));
    // The product is taken modulo 2^32 before the division.
    EXPECT_EQ(0u, kivComputeLCM(65536, 65536));
    EXPECT_EQ((100000u * 300000u) / 100000u, kivComputeLCM(100000, 300000));
}

TEST(Math, MontgomeryInverseFixedValues)
{
    EXPECT_EQ(0x55555555u, kivComputeMontgomeryInverse32(3));
    EXPECT_EQ(0x55555555u, kivComputeMontgomeryInverse32(12)); // 12 reduces to 3
    EXPECT_EQ(0xFFFFFFFFu, kivComputeMontgomeryInverse32(1));
    EXPECT_EQ(0xFFFFFFFFu, kivComputeMontgomeryInverse32(0x80000000u)); // reduces to 1
    EXPECT_EQ(1u, kivComputeMontgomeryInverse32(0xFFFFFFFFu));          // -1 * 1 == -1
    EXPECT_EQ(0u, kivComputeMontgomeryInverse32(0));                    // no odd part
}

TEST(Math, MontgomeryInverseTimesOddPartIsMinusOne)
{
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
