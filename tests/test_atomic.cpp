/*
 * test_atomic.cpp - atomic primitives, bare 32-bit cells, the versioned
 * counter, the one-byte latch (threads and real processes), its spin
 * tuning, and the printing and verifying of latch bytes.
 */
#include "kivatomic.h"
#include "kivecf.h"
#include "kivlatch.h"
#include "kivos.h"
#include "kivtest.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#if defined(__i386__) || defined(__x86_64__)
#  include <cpuid.h>
#endif

namespace {

/* Saves the process-wide spin tuning and puts it back, so that a test may
 * change it freely. */
class LatchTest : public ::testing::Test {
protected:
    void SetUp() override { KIVLatch::getSpinCounts(saved_); }
    void TearDown() override { KIVLatch::updateSpinCounts(saved_); }
    KIVSpinTune saved_{};
};

bool sameTune(const KIVSpinTune& a, const KIVSpinTune& b)
{
    return a.spinClass == b.spinClass && a.spinCount == b.spinCount &&
           a.spinDelay == b.spinDelay && a.reserved == b.reserved &&
           a.sleepIncrement == b.sleepIncrement;
}

KIVLatch latchWithByte(Uint8 byte)
{
    KIVLatch l{};
    kivWin32AtomicExchange8Internal(l.cell(), byte);
    return l;
}

/* Run `body` on `count` threads that all start together, so that they
 * really overlap instead of finishing one after the other. */
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

/* Increment a plain counter under the latch.  Every so often the holder
 * yields inside the critical section, so that the others really collide
 * and go through the conflict path while it is held. */
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

} // namespace

/* ---- Latch cells of each width --------------------------------------------- */

template <class T> struct LatchCellOps {
    Uint32 (KIV_REGCALL* testGet)(volatile T*);
    T (KIV_REGCALL* exchange)(volatile T*);
    void (KIV_REGCALL* release)(volatile T*);
    T (KIV_REGCALL* releaseAndReturn)(volatile T*);
};

template <class T> void checkLatchCell(const LatchCellOps<T>& ops)
{
    // The cell sits between two guards that no operation may touch.
    T cells[3] = {static_cast<T>(0x5A), 0, static_cast<T>(0xA5)};
    volatile T* cell = &cells[1];

    EXPECT_EQ(0u, ops.testGet(cell));
    EXPECT_EQ(0x80u, cells[1]);
    EXPECT_EQ(KIV_LOCK_BUSY, ops.testGet(cell));
    EXPECT_EQ(0x80u, cells[1]);

    EXPECT_EQ(0x80u, ops.releaseAndReturn(cell));
    EXPECT_EQ(0u, cells[1]);
    EXPECT_EQ(0u, ops.releaseAndReturn(cell));

    EXPECT_EQ(0u, ops.exchange(cell));
    EXPECT_EQ(0x80u, cells[1]);
    EXPECT_EQ(0x80u, ops.exchange(cell));
    ops.release(cell);
    EXPECT_EQ(0u, cells[1]);

    // Test-get sets bit 7 only: the waiter bit survives, and a cell that is
    // already held is left exactly as it was.
    cells[1] = 0x40;
    EXPECT_EQ(0u, ops.testGet(cell));
    EXPECT_EQ(0xC0u, cells[1]);
    EXPECT_EQ(KIV_LOCK_BUSY, ops.testGet(cell));
    EXPECT_EQ(0xC0u, cells[1]);

    EXPECT_EQ(static_cast<T>(0x5A), cells[0]);
    EXPECT_EQ(static_cast<T>(0xA5), cells[2]);
}

TEST(AtomicLatchCell, EightSixteenAndThirtyTwoBits)
{
    checkLatchCell<Uint8>({kivWin32Lock8TestGetInternal, kivWin32Lock8ExchangeInternal,
                           kivWin32Lock8ReleaseInternal, kivWin32Lock8ReleaseAndReturnInternal});
    checkLatchCell<Uint16>({kivWin32Lock16TestGetInternal, kivWin32Lock16ExchangeInternal,
                            kivWin32Lock16ReleaseInternal,
                            kivWin32Lock16ReleaseAndReturnInternal});
    checkLatchCell<Uint32>({kivWin32Lock32TestGetInternal, kivWin32Lock32ExchangeInternal,
                            kivWin32Lock32ReleaseInternal,
                            kivWin32Lock32ReleaseAndReturnInternal});
}

/* ---- Exchange, fetch-and-add, compare-and-swap ------------------------------ */

template <class T> struct ValueOps {
    T (KIV_REGCALL* exchange)(volatile T*, T);
    T (KIV_REGCALL* fetchAdd)(volatile T*, T);
    T (KIV_REGCALL* compareSwap)(volatile T*, T, T);
};

template <class T> void checkValueOps(const ValueOps<T>& ops)
{
    const T top = static_cast<T>(~T(0));
    T cells[3] = {0x11, 0, 0x22};
    volatile T* cell = &cells[1];

    EXPECT_EQ(0u, ops.exchange(cell, top));
    EXPECT_EQ(top, cells[1]);

    // Fetch-and-add returns the old value and wraps at the cell's width.
    EXPECT_EQ(top, ops.fetchAdd(cell, 1));
    EXPECT_EQ(0u, cells[1]);
    EXPECT_EQ(0u, ops.fetchAdd(cell, top)); // adding all ones is -1
    EXPECT_EQ(top, cells[1]);

    // Argument order: new value, then expected; the result is the old value.
    EXPECT_EQ(top, ops.compareSwap(cell, 7, 3));
    EXPECT_EQ(top, cells[1]);
    EXPECT_EQ(top, ops.compareSwap(cell, 7, top));
    EXPECT_EQ(7u, cells[1]);

    EXPECT_EQ(0x11u, cells[0]);
    EXPECT_EQ(0x22u, cells[2]);
}

TEST(AtomicPrimitives, ExchangeAddAndCompareSwapOfEachWidth)
{
    checkValueOps<Uint8>({kivWin32AtomicExchange8Internal, kivWin32FetchAndAdd8Internal,
                          kivWin32CompareSwapAndReturn8Internal});
    checkValueOps<Uint16>({kivWin32AtomicExchange16Internal, kivWin32FetchAndAdd16Internal,
                           kivWin32CompareSwapAndReturn16Internal});
    checkValueOps<Uint32>({kivWin32AtomicExchange32Internal, kivWin32FetchAndAdd32Internal,
                           kivWin32CompareSwapAndReturn32Internal});
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
    EXPECT_EQ(0xDEADBEEFCAFEF00Dull, cell);
    EXPECT_EQ(0x1122334455667788ull, expected);

    EXPECT_EQ(0xDEADBEEFCAFEF00Dull, kivWin32Fetch64Internal(&cell));
    EXPECT_EQ(0xDEADBEEFCAFEF00Dull, cell);
    cell = 0;
    EXPECT_EQ(0u, kivWin32Fetch64Internal(&cell));
    EXPECT_EQ(0u, cell);
}

/* Writers keep both halves of a 64-bit cell equal, stepping them together
 * with compare-and-swap loops; a reader that ever sees unequal halves has
 * caught a torn read or write (the 32-bit build must use cmpxchg8b). */
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

TEST(AtomicPrimitives, ConcurrentFetchAndAddLosesNothing)
{
    const int threads = 4, steps = 50000;
    volatile Uint32 word = 0;
    volatile Uint16 half = 0;
    runThreads(threads, [&](int) {
        for (int i = 0; i < steps; ++i) {
            kivWin32FetchAndAdd32Internal(&word, 3);
            kivWin32FetchAndAdd16Internal(&half, 1);
        }
    });
    EXPECT_EQ(static_cast<Uint32>(3 * threads * steps), word);
    EXPECT_EQ(static_cast<Uint16>(threads * steps), half);
}

/* ---- Bare 32-bit cells ------------------------------------------------------ */

TEST(AtomicCell, OperationsOnABareWord)
{
    volatile Uint32 cell = 41;
    kivAtomicInit32(&cell, 5, KIV_ATOMIC_INIT_KEEP);
    EXPECT_EQ(41u, kivAtomicLoad32(&cell));
    kivAtomicInit32(&cell, 5, 0x1); // only bit 1 keeps
    EXPECT_EQ(5u, kivAtomicLoad32(&cell));

    kivAtomicStore32(&cell, 0xFFFFFFFFu);
    EXPECT_EQ(0xFFFFFFFFu, kivAtomicIncrement32(&cell));
    EXPECT_EQ(0u, cell);
    EXPECT_EQ(0u, kivAtomicDecrement32(&cell));
    EXPECT_EQ(0xFFFFFFFFu, cell);

    EXPECT_EQ(0xFFFFFFFFu, kivAtomicSwap32(&cell, 10));
    EXPECT_EQ(10u, kivAtomicAdd32(&cell, 100));
    EXPECT_EQ(110u, cell);

    EXPECT_EQ(0u, kivAtomicCompareAndSwap32(&cell, 109, 1));
    EXPECT_EQ(110u, cell);
    EXPECT_EQ(1u, kivAtomicCompareAndSwap32(&cell, 110, 1));
    EXPECT_EQ(1u, cell);
}

TEST(AtomicCell, SignedWordsTakeNegativeDeltas)
{
    volatile Sint32 cell = 0;
    kivAtomicInit32(&cell, -3, 0);
    EXPECT_EQ(-3, kivAtomicAdd32(&cell, -7));
    EXPECT_EQ(-10, kivAtomicLoad32(&cell));
    EXPECT_EQ(-10, kivAtomicIncrement32(&cell));
    EXPECT_EQ(-9, kivAtomicSwap32(&cell, -1));
    EXPECT_EQ(1u, kivAtomicCompareAndSwap32(&cell, -1, 2));
    EXPECT_EQ(2, cell);
}

/* ---- KIVVAtomicSigned32 ------------------------------------------------------ */

TEST(AtomicSigned32, JoiningKeepsTheValueAndIncrementReportsTheOldOne)
{
    KIVVAtomicSigned32 c;
    c.version = 0;
    c.value = 41;
    EXPECT_EQ(0u, c.init(7, 2));
    EXPECT_EQ(KIV_VERSION_CURRENT, c.version);
    EXPECT_EQ(41, c.value);

    long out = 0;
    EXPECT_EQ(0u, c.increment(&out));
    EXPECT_EQ(41, out);
    EXPECT_EQ(42, c.value);

    EXPECT_EQ(0u, c.init(7, 0));
    EXPECT_EQ(7, c.value);
    EXPECT_EQ(4u, c.size());
}

TEST(AtomicSigned32, OperationsReportTheOldValue)
{
    KIVVAtomicSigned32 c;
    c.init(-2, 0);
    long v = 0;
    EXPECT_EQ(0u, c.decrement(&v));
    EXPECT_EQ(-2, v);
    EXPECT_EQ(0u, c.add(-100, &v));
    EXPECT_EQ(-3, v);
    EXPECT_EQ(0u, c.swap(5, &v));
    EXPECT_EQ(-103, v);
    EXPECT_EQ(0u, c.peek(&v));
    EXPECT_EQ(5, v);
    EXPECT_EQ(0u, c.poke(-9));
    EXPECT_EQ(0u, c.peek(&v));
    EXPECT_EQ(-9, v);

    // The old value is optional for the modifying operations.
    EXPECT_EQ(0u, c.increment(nullptr));
    EXPECT_EQ(0u, c.add(10, nullptr));
    EXPECT_EQ(0u, c.swap(3, nullptr));
    EXPECT_EQ(3, c.value);
    EXPECT_EQ(ECF_INVALID_PARAMETER, c.peek(nullptr));
}

TEST(AtomicSigned32, CompareAndSwap)
{
    KIVVAtomicSigned32 c;
    c.init(10, 0);
    EXPECT_EQ(ECF_FAILED, c.compareAndSwap(9, 20));
    EXPECT_EQ(10, c.value);
    EXPECT_EQ(0u, c.compareAndSwap(10, 20));
    EXPECT_EQ(20, c.value);
}

TEST(AtomicSigned32, ValueIsThirtyTwoBitsWide)
{
    KIVVAtomicSigned32 c;
    c.init(0x7FFFFFFFL, 0);
    long v = 0;
    EXPECT_EQ(0u, c.increment(&v));
    EXPECT_EQ(0x7FFFFFFFL, v);
    EXPECT_EQ(0u, c.peek(&v));
    EXPECT_EQ(-0x7FFFFFFFL - 1, v); // wrapped in 32 bits, read back signed
    if (sizeof(long) > 4) {
        // A wider long keeps only its low word.
        c.poke(static_cast<long>(0x100000005LL));
        EXPECT_EQ(5, c.value);
    }
}

TEST(AtomicSigned32, OldVersionIsRefusedAndNothingChanges)
{
    KIVVAtomicSigned32 c;
    c.init(50, 0);
    c.version = KIV_VERSION_MIN - 1;
    long v = 123;
    EXPECT_EQ(ECF_INVALID_VERSION, c.poke(1));
    EXPECT_EQ(ECF_INVALID_VERSION, c.peek(&v));
    EXPECT_EQ(ECF_INVALID_VERSION, c.swap(1, &v));
    EXPECT_EQ(ECF_INVALID_VERSION, c.compareAndSwap(50, 1));
    EXPECT_EQ(ECF_INVALID_VERSION, c.increment(&v));
    EXPECT_EQ(ECF_INVALID_VERSION, c.decrement(&v));
    EXPECT_EQ(ECF_INVALID_VERSION, c.add(5, &v));
    EXPECT_EQ(50, c.value);
    EXPECT_EQ(123, v);
    EXPECT_EQ(4u, c.size());

    c.version = KIV_VERSION_MIN; // the minimum itself is accepted
    EXPECT_EQ(0u, c.increment(&v));
    EXPECT_EQ(50, v);
}

TEST(AtomicSigned32, ConcurrentIncrementsAndDecrements)
{
    KIVVAtomicSigned32 c;
    c.init(1000, 0);
    runThreads(4, [&](int t) {
        for (int i = 0; i < 20000; ++i)
            if (t % 2)
                c.decrement(nullptr);
            else
                c.add(2, nullptr);
    });
    EXPECT_EQ(1000 + 2 * 20000 * 2 - 20000 * 2, c.value);
}

/* ---- The one-byte latch -------------------------------------------------------- */

TEST_F(LatchTest, GetReleaseAndTryGet)
{
    KIVLatch l{};
    EXPECT_EQ(0u, l.value());
    l.get();
    EXPECT_EQ(0x80u, l.value());
    EXPECT_TRUE(l.isHeld());
    EXPECT_FALSE(l.tryGet());
    EXPECT_EQ(0x80u, l.value());
    l.release();
    EXPECT_EQ(0u, l.value());
    EXPECT_TRUE(l.tryGet());
    EXPECT_EQ(0x80u, l.value());
    l.init();
    EXPECT_EQ(0u, l.value());

    // The conflict path on a free latch takes it at the first try.
    EXPECT_NE(0u, kivLockGetConflict(&l));
    EXPECT_EQ(0x80u, l.value());
}

TEST_F(LatchTest, WaiterGetsTheLatchOnceItIsReleased)
{
    // One tuning that spins and one that only sleeps (a single processor).
    const KIVSpinTune tunes[] = {{5, 30, 50, 0, 0}, {0, 0, 0, 0, 0}, {2, 3, 10, 0, 2}};
    for (const KIVSpinTune& tune : tunes) {
        KIVLatch::updateSpinCounts(tune);
        KIVLatch l{};
        l.get();
        std::atomic<int> stage{0};
        std::thread waiter([&] {
            stage = 1;
            l.get();
            stage = 2;
            l.release();
        });
        while (stage != 1)
            std::this_thread::yield();
        Sleep(30);
        EXPECT_EQ(1, stage.load()) << "got a latch that was held";
        l.release();
        waiter.join();
        EXPECT_EQ(2, stage.load());
        EXPECT_EQ(0u, l.value());
    }
}

TEST_F(LatchTest, MutualExclusionBetweenThreads)
{
    struct Case {
        KIVSpinTune tune;
        int iterations;
    };
    // The sleeping tuning costs a millisecond per conflict: fewer rounds.
    const Case cases[] = {{saved_, 20000}, {{5, 30, 50, 0, 0}, 20000}, {{0, 0, 0, 0, 0}, 500}};
    const int threads = 4;
    for (const Case& c : cases) {
        KIVLatch::updateSpinCounts(c.tune);
        KIVLatch latch{};
        Uint32 counter = 0;
        runThreads(threads, [&](int) { incrementUnderLatch(latch, counter, c.iterations); });
        EXPECT_EQ(static_cast<Uint32>(threads * c.iterations), counter)
            << "spinCount " << c.tune.spinCount;
        EXPECT_EQ(0u, latch.value());
    }
}

/* ---- Across processes ---------------------------------------------------------- */

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

/* ---- Spin tuning and processor facts ------------------------------------------- */

TEST_F(LatchTest, SpinCountsRoundTrip)
{
    const KIVSpinTune tune = {7, 8, 9, 10, 11};
    KIVLatch::updateSpinCounts(tune);
    KIVSpinTune out{};
    KIVLatch::getSpinCounts(out);
    EXPECT_TRUE(sameTune(tune, out));
}

TEST(LatchTuning, DefaultsFollowTheProcessorCount)
{
    const KIVSpinTune one = {0, 0, 0, 0, 0}, two = {2, 10, 50, 0, 0},
                      four = {5, 20, 50, 0, 0}, many = {5, 30, 50, 0, 0};
    EXPECT_TRUE(sameTune(one, KIVLatch::defaultSpinCounts(1)));
    EXPECT_TRUE(sameTune(one, KIVLatch::defaultSpinCounts(0)));
    EXPECT_TRUE(sameTune(two, KIVLatch::defaultSpinCounts(2)));
    EXPECT_TRUE(sameTune(four, KIVLatch::defaultSpinCounts(3)));
    EXPECT_TRUE(sameTune(four, KIVLatch::defaultSpinCounts(4)));
    EXPECT_TRUE(sameTune(many, KIVLatch::defaultSpinCounts(5)));
    EXPECT_TRUE(sameTune(many, KIVLatch::defaultSpinCounts(64)));
}

KIVTEST_CHILD(reportTuning)
{
    // A fresh process: what the library chose when it was loaded.
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    KIVSpinTune now{};
    KIVLatch::getSpinCounts(now);
    return sameTune(now, KIVLatch::defaultSpinCounts(si.dwNumberOfProcessors)) ? 0 : 1;
}

TEST(LatchTuning, LoadTimeTuningMatchesThisMachine)
{
    EXPECT_EQ(0, kivtestRunChild("reportTuning"));
}

TEST(LatchTuning, RegisterFlagFollowsTheTimeStampCounter)
{
#if defined(__i386__) || defined(__x86_64__)
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    unsigned a, b, c, d;
    bool tsc = __get_cpuid(1, &a, &b, &c, &d) && (d & (1u << 4));
    EXPECT_EQ(si.wProcessorLevel >= 5 && tsc, kivCanUseRegister());
    // Every processor this builds for has one.
    EXPECT_TRUE(kivCanUseRegister());
#else
    GTEST_SKIP() << "no time-stamp counter probe on this processor";
#endif
}

/* ---- Versioned latch ------------------------------------------------------------ */

TEST(VersionedLatch, TestGetOnAHeldLatchFailsAndLeavesItHeld)
{
    KIVVLatch v;
    std::memset(&v, 0xEE, sizeof v);
    kivVLatchInit(&v, 12345);
    EXPECT_EQ(KIV_VERSION_CURRENT, v.version);
    EXPECT_EQ(0u, v.latch.value());

    EXPECT_EQ(0u, kivVLatchTestGet(&v));
    EXPECT_EQ(0x80u, v.latch.value());
    EXPECT_EQ(ECF_FAILED, kivVLatchTestGet(&v));
    EXPECT_EQ(0x80u, v.latch.value());
    EXPECT_EQ(0u, kivVLatchRelease(&v));
    EXPECT_EQ(0u, v.latch.value());

    EXPECT_EQ(0u, kivVLatchGet(&v));
    EXPECT_EQ(0x80u, v.latch.value());
    EXPECT_EQ(ECF_FAILED, kivVLatchTestGet(&v));
    EXPECT_EQ(0u, kivVLatchRelease(&v));
}

TEST(VersionedLatch, RefusesOldVersionsAndNull)
{
    KIVVLatch v;
    kivVLatchInit(&v, 0);
    v.version = 0x0131CBFDu;
    EXPECT_EQ(ECF_INVALID_VERSION, kivVLatchGet(&v));
    EXPECT_EQ(ECF_INVALID_VERSION, kivVLatchTestGet(&v));
    EXPECT_EQ(0u, v.latch.value());
    v.latch.get();
    EXPECT_EQ(ECF_INVALID_VERSION, kivVLatchRelease(&v));
    EXPECT_EQ(0x80u, v.latch.value());

    EXPECT_EQ(ECF_INVALID_PARAMETER, kivVLatchGet(nullptr));
    EXPECT_EQ(ECF_INVALID_PARAMETER, kivVLatchTestGet(nullptr));
    EXPECT_EQ(ECF_INVALID_PARAMETER, kivVLatchRelease(nullptr));
    kivVLatchInit(nullptr, 0); // nothing to do, and no crash
}

TEST(VersionedLatch, MutualExclusionBetweenThreads)
{
    KIVVLatch v;
    kivVLatchInit(&v, 0);
    Uint32 counter = 0;
    bool refused = false;
    runThreads(4, [&](int) {
        for (int i = 0; i < 10000; ++i) {
            if (kivVLatchGet(&v) != 0) {
                refused = true;
                return;
            }
            ++counter;
            kivVLatchRelease(&v);
        }
    });
    EXPECT_FALSE(refused);
    EXPECT_EQ(40000u, counter);
}

/* ---- Printing and verifying latch bytes ----------------------------------------- */

TEST(LatchText, StatesAndFormat)
{
    struct Case {
        Uint8 byte;
        Uint32 rc;
        const char* text;
    };
    const Case cases[] = {
        {0x80, 0, "{ 0x80 [ locked ] }"},
        {0x00, 0, "{ 0x00 [ unlocked ] }"},
        {0xC0, 0, "{ 0xC0 [ locked;waiting ] }"},
        {0x01, ECF_KIVLOCK_CORRUPT, "{ 0x01 [ corrupt ] }"},
        {0x40, ECF_KIVLOCK_CORRUPT, "{ 0x40 [ corrupt ] }"},
        {0xFF, ECF_KIVLOCK_CORRUPT, "{ 0xFF [ corrupt ] }"},
    };
    for (const Case& c : cases) {
        KIVLatch l = latchWithByte(c.byte);
        char buf[32];
        std::memset(buf, 'x', sizeof buf);
        EXPECT_EQ(c.rc, kivLockToString(&l, buf, sizeof buf));
        EXPECT_STREQ(c.text, buf);
        EXPECT_EQ(c.rc, kivLockToString(&l, nullptr, 0));
        EXPECT_EQ(c.rc, kivLockToString(&l, nullptr, 32));
    }
}

TEST(LatchText, ShortBufferIsCutAndTerminated)
{
    KIVLatch l = latchWithByte(0x80);
    char buf[8];
    std::memset(buf, 'x', sizeof buf);
    EXPECT_EQ(0u, kivLockToString(&l, buf, 6));
    EXPECT_STREQ("{ 0x8", buf);
    EXPECT_EQ('x', buf[6]);

    buf[0] = 'q';
    EXPECT_EQ(0u, kivLockToString(&l, buf, 0)); // no room: nothing written
    EXPECT_EQ('q', buf[0]);

    EXPECT_EQ(ECF_INVALID_PARAMETER, kivLockToString(nullptr, buf, sizeof buf));
}

TEST(LatchVerify, EveryByteInEveryMode)
{
    for (unsigned b = 0; b < 256; ++b) {
        KIVLatch l = latchWithByte(static_cast<Uint8>(b));
        bool sound = b == 0x00 || b == 0x80 || b == 0xC0;
        bool held = b == 0x80 || b == 0xC0;
        for (Uint32 mode : {0u, 1u, 3u, 0xFFFFFFFFu})
            EXPECT_EQ(sound ? 0u : ECF_KIVLOCK_CORRUPT, kivLockVerify(&l, mode))
                << "byte " << b << " mode " << mode;
        EXPECT_EQ(held ? 0u : ECF_KIVLOCK_CORRUPT, kivLockVerify(&l, KIV_LOCK_VERIFY_HELD))
            << "byte " << b;
        EXPECT_EQ(static_cast<Uint8>(b), l.value()); // verifying never changes it
    }
    EXPECT_EQ(ECF_INVALID_PARAMETER, kivLockVerify(nullptr, 1));
}

/* ---- Busy work ------------------------------------------------------------------ */

TEST(WasteTime, FixedResults)
{
    EXPECT_EQ(77u, kivWasteTime(0));
    EXPECT_EQ(77u, kivWasteTime(1));
    EXPECT_EQ(79u, kivWasteTime(2));
    EXPECT_EQ(86u, kivWasteTime(3));
    EXPECT_EQ(77u + 350u * 350u * 349u / 2u, kivWasteTime(350));
    // Large n wraps in 32 bits.
    const Uint64 n = 100000;
    EXPECT_EQ(static_cast<Uint32>(77 + n * n * (n - 1) / 2), kivWasteTime(100000));
}
