/*
 * test_trcmask.cpp - trace masks: setting and deleting products,
 * components, functions, types and probe points, exclusion points, the
 * full-mask questions, replication into the bitmap block, the scan of the
 * point table, and a mask shared between processes.
 */
#include "gtmask.h"
#include "kivecf.h"
#include "kivtest.h"

#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>

namespace {

const Uint32 ALL = GTM_ALL;
const Uint32 POINT = GTM_MODE_POINT;

Uint32 fid(Uint32 p, Uint32 c, Uint32 f, Uint32 group = 0)
{
    return p << 27 | c << 19 | group << 16 | f;
}

/* The types an exclusion point cuts out of a broad mask. */
bool isExclusionType(Uint32 t)
{
    return t == 3 || t == 4 || t == 5 || t == 11 || t == 13 || t == 15;
}

/* One question to gtmIsElemInMask and the answer it must give. */
struct Elem {
    Uint32 fn, type, probe;
    bool passes;
};

typedef std::set<std::pair<Uint32, Uint32>> PointSet;
typedef std::map<std::pair<Uint32, Uint32>, Uint64> PointValues;

/* A mask on the heap (it is almost 200 KB), filled with junk first so that
 * gtmClearMask has to do all the emptying. */
class TraceMaskTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        mask_.reset(new GTM_TRC_MASK);
        memset(mask_.get(), 0xA5, sizeof(GTM_TRC_MASK));
        ASSERT_TRUE(m().gtmClearMask());
    }
    GTM_TRC_MASK& m() { return *mask_; }

    bool set(Uint32 p, Uint32 c, Uint32 f, Uint32 t) { return m().gtmSetMask(p, c, f, t, 0, 0); }
    bool del(Uint32 p, Uint32 c, Uint32 f, Uint32 t) { return m().gtmDelMask(p, c, f, t, 0); }
    bool addPoint(Uint32 p, Uint32 c, Uint32 f, Uint32 probe, Uint64 value = 0)
    {
        return m().gtmSetMask(p, c, f, probe, POINT, value);
    }
    bool delPoint(Uint32 p, Uint32 c, Uint32 f, Uint32 probe)
    {
        return m().gtmDelMask(p, c, f, probe, POINT);
    }
    void expectElems(std::initializer_list<Elem> elems)
    {
        for (const Elem& e : elems)
            EXPECT_EQ(e.passes, m().gtmIsElemInMask(e.fn, e.type, e.probe))
                << std::hex << e.fn << " type " << std::dec << e.type << " probe " << e.probe;
    }

    /* Every point of the table, read with a fresh scan. */
    PointSet scanAll(PointValues* values = nullptr)
    {
        GTM_TRC_MASK::gtmRestartPointsScan();
        PointSet found;
        Uint32 key = 0;
        Uint64 value = 0;
        Uint16 probe = 0;
        while (m().gtmScanPointsHash(&key, &value, &probe)) {
            found.insert({key, probe});
            if (values)
                (*values)[{key, probe}] = value;
        }
        return found;
    }

    std::unique_ptr<GTM_TRC_MASK> mask_;
};

TEST_F(TraceMaskTest, ClearedMaskPassesNothing)
{
    EXPECT_FALSE(m().gtmIsProdMaskFull());
    EXPECT_EQ(m().productBits, 0u);
    for (Uint32 p = 0; p < 32; ++p)
        for (Uint32 c : {0u, 1u, 31u, 223u, 255u})
            EXPECT_FALSE(m().gtmIsElemInMask(fid(p, c, 7, 2), (p + c) % 17, 10)) << p << " " << c;
    EXPECT_FALSE(m().gtmIsElemInMask(0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu));
    EXPECT_TRUE(scanAll().empty());
    EXPECT_EQ(m().points.numPoints, 0u);
    EXPECT_EQ(m().points.numExclusions, 0u);
}

TEST_F(TraceMaskTest, FunctionWithOneTypePassesThatTypeAndItsPoints)
{
    ASSERT_TRUE(set(1, 5, 7, 3));
    const Uint32 fn = fid(1, 5, 7);
    expectElems({{fn, 3, 0, true}, {fn, 3, 65535, true},
                 {fid(1, 5, 7, 5), 3, 10, true},  // the function group bits take no part
                 {fn, 2, 20, false}, {fn, 19, 10, false}, {fid(1, 5, 8), 3, 10, false},
                 {fid(1, 6, 7), 3, 10, false}, {fid(2, 5, 7), 3, 10, false}});
    EXPECT_TRUE(m().gtmIsCompInMask(1, 5));
    EXPECT_TRUE(m().gtmIsFuncInMask(1, 5, 7));
    EXPECT_FALSE(m().gtmIsFuncInMask(1, 5, 8));
    EXPECT_TRUE(m().gtmIsTypeInMask(1, 5, 3));
    EXPECT_FALSE(m().gtmIsTypeInMask(1, 5, 2));
    EXPECT_FALSE(m().gtmIsTypeInMask(1, 5, 16));

    /* A point lets one probe through for every type. */
    ASSERT_TRUE(addPoint(1, 5, 7, 20));
    expectElems({{fn, 2, 20, true}, {fn, 9, 20, true}, {fn, 2, 21, false}});

    /* A function with a point and no type passes only its probe. */
    ASSERT_TRUE(addPoint(1, 3, 40, 30, 0x1234));
    EXPECT_TRUE(m().gtmIsFuncInMask(1, 3, 40));
    EXPECT_FALSE(m().gtmIsFuncInMask(1, 3, 41));
    EXPECT_FALSE(m().gtmIsTypeInMask(1, 3, 1));
    for (Uint32 t = 0; t < 16; ++t)
        expectElems({{fid(1, 3, 40), t, 30, true}, {fid(1, 3, 40), t, 31, false}});
    EXPECT_EQ(m().points.numPoints, 2u);
    EXPECT_EQ(m().points.numExclusions, 0u);
}

TEST_F(TraceMaskTest, PointTableHoldsExactly1999Points)
{
    /* One key, many probes: all in one bucket chain. */
    for (Uint32 probe = 0; probe < GTM_MAX_POINTS; ++probe)
        ASSERT_TRUE(addPoint(1, 5, 7, probe, probe + 100)) << probe;
    EXPECT_EQ(m().points.numPoints, Uint64(GTM_MAX_POINTS));
    EXPECT_FALSE(addPoint(1, 5, 7, 5000));
    EXPECT_FALSE(addPoint(2, 1, 1, 1));
    /* Nor is there room for an exclusion point. */
    ASSERT_TRUE(set(1, 9, 7, ALL));
    EXPECT_FALSE(delPoint(1, 9, 7, 30));
    EXPECT_TRUE(m().gtmIsElemInMask(fid(1, 9, 7), 3, 30));

    /* An existing point is accepted and keeps its first value. */
    EXPECT_TRUE(addPoint(1, 5, 7, 17, 0xDEAD));
    PointValues values;
    EXPECT_EQ(scanAll(&values).size(), size_t(GTM_MAX_POINTS));
    EXPECT_EQ((values[{fid(1, 5, 7), 17}]), 117u);

    /* Removing from the middle of the long chain keeps the rest findable,
     * and the freed entries are used again. */
    for (Uint32 probe = 0; probe < GTM_MAX_POINTS; probe += 2)
        ASSERT_TRUE(delPoint(1, 5, 7, probe));
    EXPECT_EQ(m().points.numPoints, Uint64(GTM_MAX_POINTS / 2));
    for (Uint32 probe = 0; probe < GTM_MAX_POINTS; ++probe)
        ASSERT_EQ(m().gtmIsElemInMask(fid(1, 5, 7), 2, probe), probe % 2 == 1) << probe;
    for (Uint32 f = 0; f < GTM_MAX_POINTS / 2 + 1; ++f)
        ASSERT_TRUE(addPoint(1, 6, 100 + f, 1)) << f;
    EXPECT_FALSE(addPoint(1, 6, 9999, 1));
}

TEST_F(TraceMaskTest, KeysSharingABucketStayApart)
{
    /* Functions 7, 7 + 1024, ... have keys equal in their low ten bits. */
    for (Uint32 i = 0; i < 8; ++i)
        ASSERT_TRUE(addPoint(1, 5, 7 + 1024 * i, 40));
    ASSERT_TRUE(addPoint(1, 21, 7, 40)); /* differs only above the bucket bits */
    ASSERT_TRUE(delPoint(1, 5, 7 + 1024 * 3, 40));
    for (Uint32 i = 0; i < 8; ++i)
        EXPECT_EQ(m().gtmIsElemInMask(fid(1, 5, 7 + 1024 * i), 1, 40), i != 3) << i;
    expectElems({{fid(1, 21, 7), 1, 40, true}, {fid(1, 5, 7), 1, 41, false}});
}

TEST_F(TraceMaskTest, UnreachableComponentsSetOnlyTheProductBit)
{
    std::unique_ptr<GTM_TRC_MASK> before(new GTM_TRC_MASK(m()));
    /* Global index 65 + 224 = 289 has no entry; nor has a component beyond
     * its product's 32 slots (no spill into product 2), or a product
     * outside the catalogue. */
    ASSERT_TRUE(set(3, 224, 7, 3));
    ASSERT_TRUE(set(1, 40, ALL, ALL));
    ASSERT_TRUE(set(9, 1, 7, 3));
    EXPECT_EQ(m().productBits, (1u << 1) | (1u << 3) | (1u << 9));
    m().productBits = 0;
    EXPECT_EQ(memcmp(before.get(), &m(), sizeof(GTM_TRC_MASK)), 0);
    EXPECT_FALSE(m().gtmIsElemInMask(fid(2, 8, 7), 3, 0));

    /* Points that no function id can name are refused; "all" in point
     * mode adds nothing and is not an error. */
    EXPECT_FALSE(addPoint(32, 1, 1, 1));
    EXPECT_FALSE(addPoint(1, 256, 1, 1));
    EXPECT_FALSE(addPoint(1, 1, 0x10000, 1));
    EXPECT_FALSE(addPoint(0, 0, 0, 1));
    EXPECT_TRUE(addPoint(ALL, 1, 1, 1));
    EXPECT_TRUE(addPoint(1, ALL, 1, 1));
    EXPECT_TRUE(addPoint(1, 1, ALL, 1));
    EXPECT_EQ(m().points.numPoints, 0u);
    EXPECT_FALSE(m().gtmIsFuncInMask(1, 1, 1));

    /* Product 3, component 223 is global index 288, the last reachable. */
    ASSERT_TRUE(m().gtmClearMask());
    ASSERT_TRUE(set(3, 223, 7, 3));
    EXPECT_TRUE(m().gtmIsCompInMask(3, 223));
    EXPECT_TRUE(m().gtmIsElemInMask(fid(3, 223, 7), 3, 0));
    EXPECT_FALSE(m().gtmIsCompInMask(3, 222));
    EXPECT_FALSE(m().gtmIsCompInMask(1, 0));
    ASSERT_TRUE(del(3, 223, 7, 3));
    EXPECT_FALSE(m().gtmIsCompInMask(3, 223));
    EXPECT_EQ(m().productBits, 0u);
}

TEST_F(TraceMaskTest, DeletingACoveredPointCutsItOutOfTheBroadMask)
{
    ASSERT_TRUE(set(1, 5, 7, ALL));
    const Uint32 fn = fid(1, 5, 7);
    ASSERT_TRUE(delPoint(1, 5, 7, 30));
    EXPECT_EQ(m().points.numPoints, 1u);
    EXPECT_EQ(m().points.numExclusions, 1u);
    for (Uint32 t = 0; t < 16; ++t)
        expectElems({{fn, t, 30, !isExclusionType(t)}, {fn, t, 31, true}});
    PointValues values;
    scanAll(&values);
    EXPECT_EQ((values[{fn, 30}]), Uint64(GTM_POINT_EXCLUDE));

    /* Setting the point again finds it there: it stays an exclusion. */
    EXPECT_TRUE(addPoint(1, 5, 7, 30, 0));
    EXPECT_FALSE(m().gtmIsElemInMask(fn, 3, 30));
    /* Deleting it once more removes the exclusion point itself. */
    ASSERT_TRUE(delPoint(1, 5, 7, 30));
    EXPECT_EQ(m().points.numPoints, 0u);
    EXPECT_EQ(m().points.numExclusions, 0u);
    EXPECT_TRUE(m().gtmIsElemInMask(fn, 3, 30));

    /* Types 1 and 2 cannot be cut out; a function outside the mask needs
     * no cutting. */
    ASSERT_TRUE(m().gtmClearMask());
    ASSERT_TRUE(set(1, 5, 7, 1));
    ASSERT_TRUE(set(1, 5, 7, 2));
    ASSERT_TRUE(delPoint(1, 5, 7, 30));
    ASSERT_TRUE(delPoint(1, 5, 8, 30));
    ASSERT_TRUE(delPoint(1, 6, 7, 30));
    EXPECT_EQ(m().points.numPoints, 0u);
    EXPECT_TRUE(m().gtmIsElemInMask(fn, 2, 30));
}

TEST_F(TraceMaskTest, DeletingATypeOrAFunction)
{
    ASSERT_TRUE(set(1, 5, 7, 3));
    ASSERT_TRUE(set(1, 5, 8, 3));
    ASSERT_TRUE(set(1, 5, 8, 4));
    ASSERT_TRUE(addPoint(1, 5, 7, 10));
    ASSERT_TRUE(addPoint(1, 5, 7, 20));
    ASSERT_TRUE(addPoint(1, 5, 8, 10));
    /* The type bits are the component's: with function 8 still there,
     * deleting one type of function 7 changes nothing. */
    ASSERT_TRUE(del(1, 5, 7, 3));
    EXPECT_TRUE(m().gtmIsElemInMask(fid(1, 5, 7), 3, 0));
    /* All types of function 7: the function and its points go, 8 stays. */
    ASSERT_TRUE(del(1, 5, 7, ALL));
    EXPECT_FALSE(m().gtmIsFuncInMask(1, 5, 7));
    EXPECT_EQ(m().points.numPoints, 1u);
    expectElems({{fid(1, 5, 7), 3, 0, false}, {fid(1, 5, 7), 2, 10, false},
                 {fid(1, 5, 8), 3, 0, true}, {fid(1, 5, 8), 2, 10, true}});
    /* Function 8 alone: its types go one by one, then its last point, and
     * with it the function, the component and the product. */
    ASSERT_TRUE(del(1, 5, 8, 3));
    expectElems({{fid(1, 5, 8), 3, 0, false}, {fid(1, 5, 8), 4, 0, true}});
    ASSERT_TRUE(del(1, 5, 8, 4));
    EXPECT_TRUE(m().gtmIsFuncInMask(1, 5, 8));
    ASSERT_TRUE(delPoint(1, 5, 8, 10));
    EXPECT_FALSE(m().gtmIsFuncInMask(1, 5, 8));
    EXPECT_FALSE(m().gtmIsCompInMask(1, 5));
    EXPECT_EQ(m().productBits, 0u);

    /* A component left without types keeps only its functions with points;
     * deleting all its types takes the points and the component too. */
    ASSERT_TRUE(set(1, 5, 7, 3));
    ASSERT_TRUE(addPoint(1, 5, 9, 40));
    ASSERT_TRUE(del(1, 5, ALL, 3));
    EXPECT_TRUE(m().gtmIsCompInMask(1, 5));
    expectElems({{fid(1, 5, 7), 3, 0, false}, {fid(1, 5, 9), 6, 40, true}});
    ASSERT_TRUE(del(1, 5, ALL, ALL));
    EXPECT_EQ(m().points.numPoints, 0u);
    EXPECT_FALSE(m().gtmIsElemInMask(fid(1, 5, 9), 6, 40));
    EXPECT_FALSE(m().gtmIsCompInMask(1, 5));
    EXPECT_EQ(m().productBits, 0u);
}

TEST_F(TraceMaskTest, WholeProductSetAndDeleted)
{
    ASSERT_TRUE(set(1, ALL, ALL, ALL));
    ASSERT_TRUE(set(2, 3, 7, 4));
    EXPECT_TRUE(m().gtmIsCompMaskFull(1));
    EXPECT_TRUE(m().gtmIsFuncMaskFull(1, 31));
    EXPECT_TRUE(m().gtmIsTypeMaskFull(1, 0));
    EXPECT_TRUE(m().gtmIsElemInMask(fid(1, 31, 4095, 7), 0, 0));
    EXPECT_FALSE(m().gtmIsCompInMask(2, 0));

    ASSERT_TRUE(del(1, ALL, ALL, ALL));
    EXPECT_EQ(m().productBits, 1u << 2);
    for (Uint32 c = 0; c < 32; ++c)
        EXPECT_FALSE(m().gtmIsCompInMask(1, c)) << c;
    expectElems({{fid(1, 3, 7), 3, 0, false}, {fid(2, 3, 7), 4, 0, true}});

    /* One type deleted from a whole product leaves the others. */
    ASSERT_TRUE(set(1, ALL, ALL, 3));
    ASSERT_TRUE(set(1, ALL, ALL, 4));
    ASSERT_TRUE(del(1, ALL, ALL, 3));
    expectElems({{fid(1, 3, 7), 3, 0, false}, {fid(1, 3, 7), 4, 0, true}});
    EXPECT_TRUE(m().gtmIsCompMaskFull(1));
    ASSERT_TRUE(del(1, ALL, ALL, 4));
    EXPECT_EQ(m().productBits, 1u << 2);
}

TEST_F(TraceMaskTest, FullMaskQuestionsNoticeOneMissingBit)
{
    ASSERT_TRUE(set(ALL, ALL, ALL, ALL));
    EXPECT_TRUE(m().gtmIsProdMaskFull());
    for (Uint32 p = 1; p <= 3; ++p)
        EXPECT_TRUE(m().gtmIsCompMaskFull(p)) << p;
    EXPECT_TRUE(m().gtmIsFuncMaskFull(2, 17));
    EXPECT_TRUE(m().gtmIsTypeMaskFull(3, 100));
    EXPECT_TRUE(m().gtmIsElemInMask(fid(2, 31, 1, 3), 11, 99));
    EXPECT_TRUE(m().gtmIsElemInMask(fid(3, 223, 4000), 15, 0));

    m().productBits &= ~(1u << 30);
    EXPECT_FALSE(m().gtmIsProdMaskFull());
    ASSERT_TRUE(del(1, 31, ALL, ALL));
    EXPECT_FALSE(m().gtmIsCompMaskFull(1));
    EXPECT_TRUE(m().gtmIsCompMaskFull(2));
    ASSERT_TRUE(del(2, 4, 4095, ALL));
    EXPECT_FALSE(m().gtmIsFuncMaskFull(2, 4));
    EXPECT_TRUE(m().gtmIsTypeMaskFull(2, 4));

    /* Everything deleted: the catalogue's products go, the bits of the
     * others stay. */
    ASSERT_TRUE(del(ALL, ALL, ALL, ALL));
    EXPECT_EQ(m().productBits & 0xEu, 0u);
    for (Uint32 p = 1; p <= 3; ++p)
        for (Uint32 c : {0u, 1u, 17u, 31u})
            EXPECT_FALSE(m().gtmIsCompInMask(p, c)) << p << " " << c;
    EXPECT_FALSE(m().gtmIsElemInMask(fid(2, 31, 1), 11, 99));

    ASSERT_TRUE(m().gtmClearMask());
    ASSERT_TRUE(set(2, 5, ALL, 15));
    EXPECT_TRUE(m().gtmIsFuncMaskFull(2, 5));
    EXPECT_FALSE(m().gtmIsTypeMaskFull(2, 5));
    EXPECT_FALSE(m().gtmIsCompMaskFull(2));
    /* A product with fewer than two component slots is always full;
     * unreachable components never are. */
    EXPECT_TRUE(m().gtmIsCompMaskFull(0));
    EXPECT_TRUE(m().gtmIsCompMaskFull(7));
    EXPECT_FALSE(m().gtmIsFuncMaskFull(3, 224));
    EXPECT_FALSE(m().gtmIsTypeMaskFull(3, 224));
}

TEST_F(TraceMaskTest, FunctionsBeyondTheBitsPassOnlyWhenAllFunctionsDo)
{
    ASSERT_TRUE(set(1, 5, 5000, 3));
    EXPECT_FALSE(m().gtmIsElemInMask(fid(1, 5, 5000), 3, 0));
    ASSERT_TRUE(addPoint(1, 5, 6000, 10));
    expectElems({{fid(1, 5, 6000), 3, 10, true}, {fid(1, 5, 6000), 3, 11, false}});
    ASSERT_TRUE(set(1, 5, ALL, 3));
    expectElems({{fid(1, 5, 5000), 3, 0, true}, {fid(1, 5, 5000), 2, 0, false}});
}

TEST_F(TraceMaskTest, ReplicationFollowsTheBitRule)
{
    GTMask out, zero;
    memset(&out, 0, sizeof out);
    memset(&zero, 0, sizeof zero);
    m().gtmReplicateMask(&out);
    EXPECT_EQ(memcmp(&out, &zero, sizeof out), 0) << "an empty mask replicates to nothing";

    /* Product 1: component 2 has 434 function slots, component 3 has 205.
     * Function 205 of component 3 lies outside them, function 0 is never
     * replicated, and type 0 is not. */
    ASSERT_TRUE(set(1, 3, 7, 2));
    ASSERT_TRUE(set(1, 3, 204, 1));
    ASSERT_TRUE(set(1, 2, 433, 9));
    ASSERT_TRUE(set(1, 3, 205, 0));
    ASSERT_TRUE(set(1, 3, 0, 0));
    out.functionBitmap[100] = 0x5A; /* ORed into, never cleared */
    m().gtmReplicateMask(&out);
    EXPECT_EQ(out.productBitmap[0], 0x02);
    EXPECT_EQ(out.productBitmap[1] | out.productBitmap[2] | out.productBitmap[3], 0);
    EXPECT_EQ(out.componentBitmap[0], 0x0C);
    EXPECT_EQ(out.functionBitmap[0], 0x80);     /* 7 */
    EXPECT_EQ(out.functionBitmap[25], 0x10);    /* 204 = 25 * 8 + 4 */
    EXPECT_EQ(out.functionBitmap[54], 0x02);    /* 433 = 54 * 8 + 1 */
    EXPECT_EQ(out.functionBitmap[100], 0x5A);
    EXPECT_EQ(out.typeBitmap[0], 0x06);         /* 1, 2 */
    EXPECT_EQ(out.typeBitmap[1], 0x02);         /* 9 */
    EXPECT_EQ(out.functionGroupBitmap, 0xFF);
    int setBytes = 0;
    for (Uint8 b : out.functionBitmap)
        setBytes += b != 0;
    EXPECT_EQ(setBytes, 4);

    /* A function with points lets types 3..11, 13 and 15 through. */
    ASSERT_TRUE(m().gtmClearMask());
    ASSERT_TRUE(addPoint(1, 3, 12, 10));
    memset(&out, 0, sizeof out);
    m().gtmReplicateMask(&out);
    EXPECT_EQ(out.functionBitmap[1], 0x10); /* 12 */
    EXPECT_EQ(out.typeBitmap[0], 0xF8);
    EXPECT_EQ(out.typeBitmap[1], 0xAF);
    EXPECT_EQ(out.functionGroupBitmap, 0xFF);

    /* Nothing with a type: the group byte stays clear. */
    ASSERT_TRUE(m().gtmClearMask());
    ASSERT_TRUE(set(1, 3, 7, 0));
    memset(&out, 0, sizeof out);
    m().gtmReplicateMask(&out);
    EXPECT_EQ(out.functionBitmap[0], 0x80);
    EXPECT_EQ(out.typeBitmap[0] | out.typeBitmap[1], 0);
    EXPECT_EQ(out.functionGroupBitmap, 0);
    m().gtmReplicateMask(nullptr);
}

TEST_F(TraceMaskTest, ScanReportsEveryLivePointOnce)
{
    ASSERT_TRUE(addPoint(1, 5, 7, 10, 1));
    ASSERT_TRUE(addPoint(1, 5, 7, 20, 2));
    ASSERT_TRUE(addPoint(2, 1, 3, 30, 3));
    ASSERT_TRUE(addPoint(3, 200, 0xFFFF, 65535, 4));
    ASSERT_TRUE(delPoint(1, 5, 7, 20));

    PointValues values;
    const PointSet expected = {{fid(1, 5, 7), 10}, {fid(2, 1, 3), 30}, {fid(3, 200, 0xFFFF), 65535}};
    EXPECT_EQ(scanAll(&values), expected);
    EXPECT_EQ((values[{fid(3, 200, 0xFFFF), 65535}]), 4u);

    /* The cursor stays at the end. */
    Uint32 key = 0;
    Uint64 value = 0;
    Uint16 probe = 0;
    EXPECT_FALSE(m().gtmScanPointsHash(&key, &value, &probe));
    GTM_TRC_MASK::gtmRestartPointsScan();
    EXPECT_FALSE(m().gtmScanPointsHash(nullptr, &value, &probe));
}

KIVTEST_CHILD(maskScanOnce)
{
    /* A fresh process scans from the start, once. */
    std::unique_ptr<GTM_TRC_MASK> mask(new GTM_TRC_MASK);
    mask->gtmClearMask();
    mask->gtmSetMask(1, 5, 7, 10, GTM_MODE_POINT, 0);
    Uint32 key = 0;
    Uint64 value = 0;
    Uint16 probe = 0;
    if (!mask->gtmScanPointsHash(&key, &value, &probe) || key != fid(1, 5, 7) || probe != 10)
        return 1;
    if (mask->gtmScanPointsHash(&key, &value, &probe))
        return 2;
    mask->gtmSetMask(1, 5, 8, 10, GTM_MODE_POINT, 0);
    return mask->gtmScanPointsHash(&key, &value, &probe) ? 3 : 0;
}

TEST(TraceMaskProcess, ScanCursorIsPerProcessAndNeverRewinds)
{
    EXPECT_EQ(kivtestRunChild("maskScanOnce"), 0);
}

/* The mask lives in shared memory: what one process sets, another reads. */
KIVTEST_CHILD(maskSharedReader)
{
    const size_t size = sizeof(GTM_TRC_MASK);
    GTM_TRC_MASK* mask = static_cast<GTM_TRC_MASK*>(kivtestShmOpen(args.at(0), size, false));
    if (mask == nullptr)
        return 10;
    int rc = 0;
    if (!mask->gtmIsElemInMask(fid(1, 3, 7), 3, 0))
        rc = 1;
    else if (mask->gtmIsElemInMask(fid(1, 3, 7), 3, 30))
        rc = 2; /* exclusion point */
    else if (!mask->gtmIsElemInMask(fid(2, 1, 9), 1, 40))
        rc = 3; /* point only */
    else if (!mask->gtmSetMask(3, 100, 1, 20, GTM_MODE_POINT, 0))
        rc = 4;
    kivtestShmClose(mask, size);
    return rc;
}

TEST(TraceMaskProcess, MaskInSharedMemoryWorksAcrossProcesses)
{
    const std::string name = kivtestUniqueName("gtmask");
    const size_t size = sizeof(GTM_TRC_MASK);
    GTM_TRC_MASK* mask = static_cast<GTM_TRC_MASK*>(kivtestShmOpen(name, size, true));
    ASSERT_NE(mask, nullptr);
    mask->gtmClearMask();
    ASSERT_TRUE(mask->gtmSetMask(1, 3, 7, ALL, 0, 0));
    ASSERT_TRUE(mask->gtmDelMask(1, 3, 7, 30, GTM_MODE_POINT));
    ASSERT_TRUE(mask->gtmSetMask(2, 1, 9, 40, GTM_MODE_POINT, 0));
    EXPECT_EQ(kivtestRunChild("maskSharedReader", {name}), 0);
    EXPECT_TRUE(mask->gtmIsElemInMask(fid(3, 100, 1), 5, 20));
    kivtestShmClose(mask, size);
    kivtestShmUnlink(name);
}

} // namespace
