/*
 * test_trcmask.cpp - trace masks: set/delete, points and exclusions,
 * full-mask questions, replication, the point scan, shared masks.
 */
#include "gtmask.h"
#include "kivecf.h"
#include "kivtest.h"

#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>

namespace {

const Uint32 ALL = GTM_ALL;
const Uint32 POINT = GTM_MODE_POINT;
Uint32 fid(Uint32 p, Uint32 c, Uint32 f, Uint32 group = 0) { return p << 27 | c << 19 | group << 16 | f; }

struct Elem { Uint32 fn, type, probe; bool passes; };

typedef std::set<std::pair<Uint32, Uint32>> PointSet;
typedef std::map<std::pair<Uint32, Uint32>, Uint64> PointValues;

/* A heap mask filled with junk first, so gtmClearMask does all the emptying. */
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
    bool addPoint(Uint32 p, Uint32 c, Uint32 f, Uint32 pr, Uint64 v = 0) { return m().gtmSetMask(p, c, f, pr, POINT, v); }
    bool delPoint(Uint32 p, Uint32 c, Uint32 f, Uint32 pr) { return m().gtmDelMask(p, c, f, pr, POINT); }
    void expectElems(std::initializer_list<Elem> elems)
    {
        for (const Elem& e : elems)
            EXPECT_EQ(e.passes, m().gtmIsElemInMask(e.fn, e.type, e.probe))
                << std::hex << e.fn << " type " << std::dec << e.type << " probe " << e.probe;
    }

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
    EXPECT_FALSE(m().gtmIsElemInMask(0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu));
    EXPECT_TRUE(scanAll().empty());
    EXPECT_EQ(m().points.numPoints, 0u);
}

TEST_F(TraceMaskTest, FunctionWithOneTypePassesThatTypeAndItsPoints)
{
    ASSERT_TRUE(set(1, 5, 7, 3));
    const Uint32 fn = fid(1, 5, 7);
    expectElems({{fn, 3, 0, true}, {fn, 3, 65535, true},
                 {fid(1, 5, 7, 5), 3, 10, true},  // the function group bits take no part
                 {fn, 2, 20, false}, {fn, 19, 10, false}, {fid(1, 5, 8), 3, 10, false},
                 {fid(1, 6, 7), 3, 10, false}, {fid(2, 5, 7), 3, 10, false}});
    EXPECT_TRUE(m().gtmIsFuncInMask(1, 5, 7));
    EXPECT_TRUE(m().gtmIsTypeInMask(1, 5, 3));
    /* A point lets one probe through for every type. */
    ASSERT_TRUE(addPoint(1, 5, 7, 20));
    expectElems({{fn, 2, 20, true}, {fn, 9, 20, true}, {fn, 2, 21, false}});
    /* A function with a point and no type passes only its probe. */
    ASSERT_TRUE(addPoint(1, 3, 40, 30, 0x1234));
    EXPECT_TRUE(m().gtmIsFuncInMask(1, 3, 40));
    for (Uint32 t = 0; t < 16; ++t)
        expectElems({{fid(1, 3, 40), t, 30, true}, {fid(1, 3, 40), t, 31, false}});
}

TEST_F(TraceMaskTest, PointTableHoldsExactly1999Points)
{
    /* One key, many probes: all in one bucket chain. */
    for (Uint32 probe = 0; probe < GTM_MAX_POINTS; ++probe)
        ASSERT_TRUE(addPoint(1, 5, 7, probe, probe + 100)) << probe;
    EXPECT_EQ(m().points.numPoints, Uint64(GTM_MAX_POINTS));
    EXPECT_FALSE(addPoint(1, 5, 7, 5000));
    ASSERT_TRUE(set(1, 9, 7, ALL));
    EXPECT_FALSE(delPoint(1, 9, 7, 30));
    EXPECT_TRUE(m().gtmIsElemInMask(fid(1, 9, 7), 3, 30));
    /* An existing point is accepted and keeps its first value. */
    EXPECT_TRUE(addPoint(1, 5, 7, 17, 0xDEAD));
    PointValues values;
    EXPECT_EQ(scanAll(&values).size(), size_t(GTM_MAX_POINTS));
    EXPECT_EQ((values[{fid(1, 5, 7), 17}]), 117u);
    /* Removing from the middle of the long chain keeps the rest findable. */
    for (Uint32 probe = 0; probe < GTM_MAX_POINTS; probe += 2)
        ASSERT_TRUE(delPoint(1, 5, 7, probe));
    EXPECT_EQ(m().points.numPoints, Uint64(GTM_MAX_POINTS / 2));
    for (Uint32 probe = 0; probe < GTM_MAX_POINTS; ++probe)
        ASSERT_EQ(m().gtmIsElemInMask(fid(1, 5, 7), 2, probe), probe % 2 == 1) << probe;
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
    /* A point no function id can name is refused; "all" adds nothing. */
    EXPECT_FALSE(addPoint(32, 1, 1, 1));
    EXPECT_TRUE(addPoint(ALL, 1, 1, 1));
    EXPECT_EQ(m().points.numPoints, 0u);
}

TEST_F(TraceMaskTest, DeletingACoveredPointCutsItOutOfTheBroadMask)
{
    ASSERT_TRUE(set(1, 5, 7, ALL));
    const Uint32 fn = fid(1, 5, 7);
    ASSERT_TRUE(delPoint(1, 5, 7, 30));
    EXPECT_EQ(m().points.numPoints, 1u);
    EXPECT_EQ(m().points.numExclusions, 1u);
    for (Uint32 t = 0; t < 16; ++t) /* types 3, 4, 5, 11, 13 and 15 are cut out */
        expectElems({{fn, t, 30, !(0xA838u >> t & 1)}, {fn, t, 31, true}});

    /* Setting the point again finds it there: it stays an exclusion. */
    EXPECT_TRUE(addPoint(1, 5, 7, 30, 0));
    EXPECT_FALSE(m().gtmIsElemInMask(fn, 3, 30));
    /* Deleting it once more removes the exclusion point itself. */
    ASSERT_TRUE(delPoint(1, 5, 7, 30));
    EXPECT_EQ(m().points.numPoints, 0u);
    EXPECT_EQ(m().points.numExclusions, 0u);
    EXPECT_TRUE(m().gtmIsElemInMask(fn, 3, 30));
}

TEST_F(TraceMaskTest, DeletingATypeOrAFunction)
{
    ASSERT_TRUE(set(1, 5, 7, 3));
    ASSERT_TRUE(set(1, 5, 8, 3));
    ASSERT_TRUE(set(1, 5, 8, 4));
    ASSERT_TRUE(addPoint(1, 5, 7, 10));
    ASSERT_TRUE(addPoint(1, 5, 8, 10));    ASSERT_TRUE(addPoint(1, 5, 7, 20));
    ASSERT_TRUE(addPoint(1, 5, 8, 10));
    /* All types of function 7: the function and its points go, 8 stays. */
    ASSERT_TRUE(del(1, 5, 7, ALL));
    EXPECT_FALSE(m().gtmIsFuncInMask(1, 5, 7));
    EXPECT_EQ(m().points.numPoints, 1u);
    expectElems({{fid(1, 5, 7), 3, 0, false}, {fid(1, 5, 7), 2, 10, false},
                 {fid(1, 5, 8), 3, 0, true}, {fid(1, 5, 8), 2, 10, true}});

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

TEST_F(TraceMaskTest, FullMaskQuestionsNoticeOneMissingBit)
{
    ASSERT_TRUE(set(ALL, ALL, ALL, ALL));
    EXPECT_TRUE(m().gtmIsProdMaskFull());
    EXPECT_TRUE(m().gtmIsElemInMask(fid(2, 31, 1, 3), 11, 99));
    m().productBits &= ~(1u << 30);
    EXPECT_FALSE(m().gtmIsProdMaskFull());
    ASSERT_TRUE(del(1, 31, ALL, ALL));
    EXPECT_FALSE(m().gtmIsCompMaskFull(1));
    ASSERT_TRUE(del(2, 4, 4095, ALL));
    EXPECT_FALSE(m().gtmIsFuncMaskFull(2, 4));
    /* Everything deleted: the catalogue's products go, others stay. */
    ASSERT_TRUE(del(ALL, ALL, ALL, ALL));
    EXPECT_EQ(m().productBits & 0xEu, 0u);
    EXPECT_FALSE(m().gtmIsElemInMask(fid(2, 31, 1), 11, 99));

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
    GTMask out;
    memset(&out, 0, sizeof out);
    /* Product 1: component 2 has 434 function slots, component 3 has 205 (so
     * function 205 is outside); function 0 and type 0 are never replicated. */
    ASSERT_TRUE(set(1, 3, 7, 2));
    ASSERT_TRUE(set(1, 3, 204, 1));
    ASSERT_TRUE(set(1, 2, 433, 9));
    ASSERT_TRUE(set(1, 3, 205, 0));
    ASSERT_TRUE(set(1, 3, 0, 0));
    out.functionBitmap[100] = 0x5A; /* ORed into, never cleared */
    m().gtmReplicateMask(&out);
    EXPECT_EQ(out.productBitmap[0], 0x02);
    EXPECT_EQ(out.componentBitmap[0], 0x0C);
    EXPECT_EQ(out.functionBitmap[0], 0x80);     /* 7 */
    EXPECT_EQ(out.functionBitmap[25], 0x10);    /* 204 = 25 * 8 + 4 */
    EXPECT_EQ(out.functionBitmap[54], 0x02);    /* 433 = 54 * 8 + 1 */
    EXPECT_EQ(out.functionBitmap[100], 0x5A);
    EXPECT_EQ(out.typeBitmap[0], 0x06);         /* 1, 2 */
    EXPECT_EQ(out.typeBitmap[1], 0x02);         /* 9 */
    EXPECT_EQ(out.functionGroupBitmap, 0xFF);

    /* A function with points lets types 3..11, 13 and 15 through. */
    ASSERT_TRUE(m().gtmClearMask());
    ASSERT_TRUE(addPoint(1, 3, 12, 10));
    memset(&out, 0, sizeof out);
    m().gtmReplicateMask(&out);
    EXPECT_EQ(out.functionBitmap[1], 0x10); /* 12 */
    EXPECT_EQ(out.typeBitmap[0], 0xF8);
    EXPECT_EQ(out.typeBitmap[1], 0xAF);
    EXPECT_EQ(out.functionGroupBitmap, 0xFF);
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
