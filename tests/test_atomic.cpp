/* test_atomic.cpp - atomic primitives, the one-byte latch, its tuning and text. */
#include "kivatomic.h"
#include "kivecf.h"
#include "kivlatch.h"
#include "kivos.h"
#include "kivtest.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

/* Saves and restores the process-wide spin tuning. */
class LatchTest : public ::testing::Test {
protected:
    void SetUp() override { KIVLatch::getSpinCounts(saved_); }
    void TearDown() override { KIVLatch::updateSpinCounts(saved_); }
    KIVSpinTune saved_{};
};

bool sameTune(const KIVSpinTune& a, const KIVSpinTune& b) { return !std::memcmp(&a, &b, sizeof a); }

KIVLatch latchWithByte(Uint8 byte)
{
    KIVLatch l{};
    kivWin32AtomicExchange8Internal(l.cell(), byte);
    return l;
}

/* Run `body` on `count` threads that all start together. */
void runThreads(int count, const std::function<void(int)>& body)
{
    std::atomic<int> ready{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < count; ++t)
        threads.emplace_back([&, t] {
            ++ready;
            while (ready < count)
                std::this_thread::yield();
            body(t);
        });
    for (auto& th : threads)
        th.join();
}

/* Increment a plain counter under the latch, yielding while held now and then. */
void incrementUnderLatch(KIVLatch& latch, Uint32& counter, int iterations)
{
    for (int i = 0; i < iterations; ++i) {
        latch.get();
        Uint32 c = counter;
        if (i % 64 == 0)
            std::this_thread::yield();
        counter = c + 1;
        latch.release();
    }
}

template <class T> struct Width;
#define KIVTEST_WIDTH(T, N)                                                                 \
    template <> struct Width<T> {                                                           \
        static constexpr auto testGet = kivWin32Lock##N##TestGetInternal;                   \
        static constexpr auto lockExchange = kivWin32Lock##N##ExchangeInternal;             \
        static constexpr auto release = kivWin32Lock##N##ReleaseInternal;                   \
        static constexpr auto releaseAndReturn = kivWin32Lock##N##ReleaseAndReturnInternal; \
        static constexpr auto exchange = kivWin32AtomicExchange##N##Internal;               \
        static constexpr auto fetchAdd = kivWin32FetchAndAdd##N##Internal;                  \
        static constexpr auto compareSwap = kivWin32CompareSwapAndReturn##N##Internal;      \
    }
KIVTEST_WIDTH(Uint8, 8);
KIVTEST_WIDTH(Uint16, 16);
KIVTEST_WIDTH(Uint32, 32);
#undef KIVTEST_WIDTH

template <class T> class AtomicWidth : public ::testing::Test {};
typedef ::testing::Types<Uint8, Uint16, Uint32> Widths;
TYPED_TEST_SUITE(AtomicWidth, Widths);

} // namespace

TYPED_TEST(AtomicWidth, LatchCell)
{
    typedef Width<TypeParam> W;
    TypeParam cells[3] = {static_cast<TypeParam>(0x5A), 0, static_cast<TypeParam>(0xA5)};
    volatile TypeParam* cell = &cells[1];
    EXPECT_EQ(0u, W::testGet(cell));
    EXPECT_EQ(0x80u, cells[1]);
    EXPECT_EQ(0x80u, W::releaseAndReturn(cell));
    EXPECT_EQ(0u, cells[1]);
    EXPECT_EQ(0u, W::releaseAndReturn(cell));
    EXPECT_EQ(0u, W::lockExchange(cell));
    EXPECT_EQ(0x80u, W::lockExchange(cell));
    W::release(cell);
    EXPECT_EQ(0u, cells[1]);
    // Test-get sets bit 7 only; a held cell is left as it was.
    cells[1] = 0x40;
    EXPECT_EQ(0u, W::testGet(cell));
    EXPECT_EQ(0xC0u, cells[1]);
    EXPECT_EQ(KIV_LOCK_BUSY, W::testGet(cell));
    EXPECT_EQ(0xC0u, cells[1]);
    EXPECT_EQ(static_cast<TypeParam>(0x5A), cells[0]);
    EXPECT_EQ(static_cast<TypeParam>(0xA5), cells[2]);
}

TYPED_TEST(AtomicWidth, ExchangeAddAndCompareSwap)
{
    typedef Width<TypeParam> W;
    const TypeParam top = static_cast<TypeParam>(~TypeParam(0));
    TypeParam cells[3] = {0x11, 0, 0x22};
    volatile TypeParam* cell = &cells[1];
    EXPECT_EQ(0u, W::exchange(cell, top));
    EXPECT_EQ(top, cells[1]);
    // Fetch-and-add returns the old value and wraps at the cell's width.
    EXPECT_EQ(top, W::fetchAdd(cell, 1));
    EXPECT_EQ(0u, W::fetchAdd(cell, top)); // adding all ones is -1
    EXPECT_EQ(top, cells[1]);
    // Argument order: new value, then expected; the result is the old value.
    EXPECT_EQ(top, W::compareSwap(cell, 7, 3));
    EXPECT_EQ(top, cells[1]);
    EXPECT_EQ(top, W::compareSwap(cell, 7, top));
    EXPECT_EQ(7u, cells[1]);
    EXPECT_EQ(0x11u, cells[0]);
    EXPECT_EQ(0x22u, cells[2]);
}

TYPED_TEST(AtomicWidth, ConcurrentFetchAndAddLosesNothing)
{
    const int threads = 4, steps = 50000;
    volatile TypeParam cell = 0;
    runThreads(threads, [&](int) {
        for (int i = 0; i < steps; ++i)
            Width<TypeParam>::fetchAdd(&cell, 3);
    });
    EXPECT_EQ(static_cast<TypeParam>(3 * threads * steps), cell);
}

TEST(AtomicPrimitives, CompareSwap64WritesBackWhatItFound)
{
    volatile Uint64 cell = 0x1122334455667788ull;
    Uint64 expected = 0x1122334400000000ull; // stale: only the high half matches
    EXPECT_EQ(0u, kivWin32CompareSwapAndReturn64Internal(&cell, &expected, 1, 2));
    EXPECT_EQ(0x1122334455667788ull, cell);
    EXPECT_EQ(0x1122334455667788ull, expected);
    // With the value written back, the retry succeeds; halves go low first.
    EXPECT_EQ(1u, kivWin32CompareSwapAndReturn64Internal(&cell, &expected, 0xCAFEF00Du,
                                                         0xDEADBEEFu));
    EXPECT_EQ(0xDEADBEEFCAFEF00Dull, kivWin32Fetch64Internal(&cell));
}

/* Writers step both halves of a 64-bit cell together; a reader must never see them differ. */
TEST(AtomicPrimitives, SixtyFourBitCellNeverTears)
{
    const int writers = 2, steps = 20000;
    volatile Uint64 cell = 0xFFFFFF00FFFFFF00ull; // the halves wrap during the run
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!done) {
            Uint64 v = kivWin32Fetch64Internal(&cell);
            if (static_cast<Uint32>(v) != static_cast<Uint32>(v >> 32))
                ++torn;
        }
    });
    runThreads(writers, [&](int) {
        for (int i = 0; i < steps; ++i) {
            Uint64 expected = kivWin32Fetch64Internal(&cell);
            for (;;) {
                Uint32 next = static_cast<Uint32>(expected) + 1;
                if (kivWin32CompareSwapAndReturn64Internal(&cell, &expected, next, next))
                    break;
            }
        }
    });
    done = true;
    reader.join();
    EXPECT_EQ(0, torn.load());
    Uint32 finalHalf = 0xFFFFFF00u + static_cast<Uint32>(writers * steps);
    EXPECT_EQ((static_cast<Uint64>(finalHalf) << 32) | finalHalf, cell);
}

TEST(AtomicCell, OperationsOnABareWord)
{
    volatile Uint32 cell = 41;
    kivAtomicInit32(&cell, 5, 0x1); // only bit 1 keeps
    EXPECT_EQ(5u, kivAtomicLoad32(&cell));
    kivAtomicStore32(&cell, 0xFFFFFFFFu);
    EXPECT_EQ(0xFFFFFFFFu, kivAtomicIncrement32(&cell)); // old value, wraps
    EXPECT_EQ(0u, kivAtomicCompareAndSwap32(&cell, 9, 1)); // unchanged when it differs
    EXPECT_EQ(0u, cell);
    volatile Sint32 s = -3;
    EXPECT_EQ(-3, kivAtomicAdd32(&s, -7));
    EXPECT_EQ(-10, kivAtomicDecrement32(&s));
    EXPECT_EQ(-11, s);
}

TEST(AtomicSigned32, OperationsReportTheOldValue)
{
    KIVVAtomicSigned32 c;
    c.value = 41;
    EXPECT_EQ(0u, c.init(7, 2)); // joining keeps the value
    EXPECT_EQ(41, c.value);
    EXPECT_EQ(0u, c.init(-2, 0));
    long v = 0;
    EXPECT_EQ(0u, c.add(-100, &v));
    EXPECT_EQ(-2, v);
    EXPECT_EQ(0u, c.swap(5, &v));
    EXPECT_EQ(-102, v);
    EXPECT_EQ(ECF_FAILED, c.compareAndSwap(4, 20));
    EXPECT_EQ(0u, c.compareAndSwap(5, 20));
    EXPECT_EQ(ECF_INVALID_PARAMETER, c.peek(nullptr));
    // The old value is optional; the value is 32 bits wide, read back signed.
    EXPECT_EQ(0u, c.poke(0x7FFFFFFFL));
    EXPECT_EQ(0u, c.increment(nullptr));
    EXPECT_EQ(0u, c.peek(&v));
    EXPECT_EQ(-0x7FFFFFFFL - 1, v);
    // An old version is refused and nothing changes; the minimum is accepted.
    c.version = KIV_VERSION_MIN - 1;
    v = 123;
    EXPECT_EQ(ECF_INVALID_VERSION, c.add(5, &v));
    EXPECT_EQ(-0x7FFFFFFFL - 1, c.value);
    EXPECT_EQ(123, v);
    c.version = KIV_VERSION_MIN;
    EXPECT_EQ(0u, c.add(1, &v));
}

TEST_F(LatchTest, GetReleaseAndTryGet)
{
    KIVLatch l{};
    l.get();
    EXPECT_FALSE(l.tryGet());
    EXPECT_EQ(0x80u, l.value());
    l.release();
    EXPECT_EQ(0u, l.value());
    EXPECT_TRUE(l.tryGet());
    l.init();
    // The conflict path on a free latch takes it at the first try.
    EXPECT_NE(0u, kivLockGetConflict(&l));
    EXPECT_EQ(0x80u, l.value());
}

TEST_F(LatchTest, MutualExclusionBetweenThreads)
{
    struct Case {
        KIVSpinTune tune;
        int iterations;
    };
    // Spinning, sleep-only (single processor), and longer sleep each pass.
    const Case cases[] = {{saved_, 20000}, {{0, 0, 0, 0, 0}, 500}, {{2, 3, 10, 0, 2}, 200}};
    const int threads = 4;
    for (const Case& c : cases) {
        KIVLatch::updateSpinCounts(c.tune);
        KIVSpinTune now{};
        KIVLatch::getSpinCounts(now);
        EXPECT_TRUE(sameTune(c.tune, now));
        KIVLatch latch{};
        Uint32 counter = 0;
        runThreads(threads, [&](int) { incrementUnderLatch(latch, counter, c.iterations); });
        EXPECT_EQ(static_cast<Uint32>(threads * c.iterations), counter)
            << "spinCount " << c.tune.spinCount;
        EXPECT_EQ(0u, latch.value());
    }
}

namespace {
struct SharedCounter {
    KIVLatch latch;
    Uint8 pad[3];
    Uint32 started; // children check in here, so that they really overlap
    Uint32 counter; // plain: only the latch protects it
};
const int kChildren = 3;
const int kChildIterations = 10000;
} // namespace

KIVTEST_CHILD(latchCounter)
{
    if (args.size() != 1)
        return 2;
    void* p = kivtestShmOpen(args[0], sizeof(SharedCounter), false);
    if (!p)
        return 3;
    SharedCounter* s = static_cast<SharedCounter*>(p);
    kivAtomicIncrement32(&s->started);
    while (kivAtomicLoad32(&s->started) < static_cast<Uint32>(kChildren))
        std::this_thread::yield();
    incrementUnderLatch(s->latch, s->counter, kChildIterations);
    kivtestShmClose(p, sizeof(SharedCounter));
    return 0;
}

TEST_F(LatchTest, MutualExclusionBetweenProcesses)
{
    std::string name = kivtestUniqueName("kivatomlatch");
    void* p = kivtestShmOpen(name, sizeof(SharedCounter), true);
    ASSERT_NE(nullptr, p);
    SharedCounter* s = static_cast<SharedCounter*>(p);
    s->latch.init();
    std::vector<KivTestProcess> children;
    for (int i = 0; i < kChildren; ++i)
        children.push_back(kivtestSpawnChild("latchCounter", {name}));
    for (auto& child : children)
        EXPECT_EQ(0, kivtestWaitChild(child));
    EXPECT_EQ(static_cast<Uint32>(kChildren * kChildIterations), s->counter);
    EXPECT_EQ(0u, s->latch.value());
    kivtestShmClose(p, sizeof(SharedCounter));
    kivtestShmUnlink(name);
}

TEST(VersionedLatch, TestGetOnAHeldLatchFailsAndOldVersionsAreRefused)
{
    KIVVLatch v;
    std::memset(&v, 0xEE, sizeof v);
    kivVLatchInit(&v, 12345);
    EXPECT_EQ(KIV_VERSION_CURRENT, v.version);
    EXPECT_EQ(0u, kivVLatchTestGet(&v));
    EXPECT_EQ(ECF_FAILED, kivVLatchTestGet(&v));
    EXPECT_EQ(0x80u, v.latch.value());
    EXPECT_EQ(0u, kivVLatchRelease(&v));
    EXPECT_EQ(0u, v.latch.value());
    v.version = 0x0131CBFDu;
    EXPECT_EQ(ECF_INVALID_VERSION, kivVLatchGet(&v));
    EXPECT_EQ(0u, v.latch.value());
    v.latch.get();
    EXPECT_EQ(ECF_INVALID_VERSION, kivVLatchRelease(&v));
    EXPECT_EQ(0x80u, v.latch.value());
    EXPECT_EQ(ECF_INVALID_PARAMETER, kivVLatchGet(nullptr));
    kivVLatchInit(nullptr, 0); // nothing to do, and no crash
}

TEST(LatchText, StatesFormatAndShortBuffers)
{
    const std::pair<Uint8, const char*> cases[] = {{0xC0, "locked;waiting"}, {0x40, "corrupt"}};
    for (const auto& c : cases) {
        KIVLatch l = latchWithByte(c.first);
        const Uint32 rc = std::string(c.second) == "corrupt" ? ECF_KIVLOCK_CORRUPT : 0;
        char buf[32], expected[32];
        std::snprintf(expected, sizeof expected, "{ 0x%02X [ %s ] }", c.first, c.second);
        EXPECT_EQ(rc, kivLockToString(&l, buf, sizeof buf));
        EXPECT_STREQ(expected, buf);
        EXPECT_EQ(rc, kivLockToString(&l, nullptr, 32));
    }
    KIVLatch l = latchWithByte(0x80);
    char buf[8];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(0u, kivLockToString(&l, buf, 6)); // cut and terminated
    EXPECT_STREQ("{ 0x8", buf);
    EXPECT_EQ('x', buf[6]);
    EXPECT_EQ(ECF_INVALID_PARAMETER, kivLockToString(nullptr, buf, sizeof buf));
}

TEST(LatchVerify, EveryByteInEveryMode)
{
    for (unsigned b = 0; b < 256; ++b) {
        KIVLatch l = latchWithByte(static_cast<Uint8>(b));
        bool sound = b == 0x00 || b == 0x80 || b == 0xC0;
        bool held = b == 0x80 || b == 0xC0;
        EXPECT_EQ(sound ? 0u : ECF_KIVLOCK_CORRUPT, kivLockVerify(&l, 1)) << "byte " << b;
        EXPECT_EQ(held ? 0u : ECF_KIVLOCK_CORRUPT, kivLockVerify(&l, KIV_LOCK_VERIFY_HELD))
            << "byte " << b;
        EXPECT_EQ(static_cast<Uint8>(b), l.value()); // verifying never changes it
    }
    EXPECT_EQ(ECF_INVALID_PARAMETER, kivLockVerify(nullptr, 1));
}
