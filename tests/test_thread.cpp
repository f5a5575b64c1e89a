/*
 * test_thread.cpp - threads and thread-specific data slots: calling order, joinable and
 * detached threads, many threads at once, the start block in the allocator's list,
 * per-thread slot values, log records, and the Win32 subset's thread error numbers. */
#include "kivecf.h"
#include "kivlog.h"
#include "kivmem.h"
#include "kivos.h"
#include "kivtest.h"
#include "kivtestlog.h"
#include "kivthread.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <vector>

namespace {

/* True once `cond` holds; gives up after about ten seconds instead of hanging. */
template <class F>
bool eventually(F cond)
{
    for (int i = 0; i < 10000 && !cond(); ++i)
        kivYield();
    return cond();
}

/* Work handed to a thread: it waits for `go`, notes who it is, bumps the
 * counter and says it is done (its last access to the object). */
struct Work {
    std::atomic<bool> go{true}, started{false}, done{false}, afterExit{false};
    std::atomic<int> runs{0};
    std::atomic<Uint32> seenId{0};
};

void worker(void* p)
{
    Work* w = static_cast<Work*>(p);
    w->seenId = kivThreadID();
    w->started = true;
    eventually([w] { return w->go.load(); });
    ++w->runs;
    w->done = true;
}

/* Ends itself with kivThreadExit: nothing after it may run. */
void exitingWorker(void* p)
{
    Work* w = static_cast<Work*>(p);
    ++w->runs;
    w->done = true;
    kivThreadExit();
    w->afterExit = true;
}

KIVThreadParam joinableParam() { return KIVThreadParam(KIV_THREAD_JOINABLE); }

/* The parameter object is recorded whole in the trace: its size is fixed. */
static_assert(sizeof(KIVThreadParam) == 12, "thread parameter layout");

} // namespace

TEST(Thread, RunsTheFunctionWithItsArgumentAndReportsTheNewIdentifier)
{
    Work w;
    w.go = false;
    KIVHThread t;
    KIVThreadParam p = joinableParam();
    Uint32 id = 0;
    ASSERT_EQ(0u, t.create(worker, &w, &p, &id));
    EXPECT_TRUE(t.created);
    EXPECT_TRUE(t.joinable);
    ASSERT_TRUE(eventually([&] { return w.started.load(); }));
    w.go = true;
    ASSERT_EQ(0u, t.wait());
    EXPECT_TRUE(w.done.load()) << "wait returns after the function ended";
    EXPECT_EQ(1, w.runs.load());
    EXPECT_EQ(id, w.seenId.load());
    EXPECT_EQ(id, t.threadId);
    EXPECT_NE(kivThreadID(), id);
    ASSERT_EQ(0u, t.close());
    EXPECT_FALSE(t.created);
    EXPECT_FALSE(t.joinable);
    EXPECT_EQ(nullptr, t.threadHandle);
    EXPECT_EQ(0u, t.threadId);
}

TEST(Thread, CreateRefusesBadArgumentsAndLogsThem)
{
    KivLogCapture log;
    Work w;
    KIVHThread t;
    KIVThreadParam old;
    old.version = KIV_VERSION_MIN - 1;
    KIVThreadParam p;

    EXPECT_EQ(ECF_INVALID_PARAMETER, t.create(worker, &w, nullptr, nullptr));
    kivtestExpectNullRecord(log, KIVFN_KIVHTHREAD_CREATE);
    EXPECT_EQ(ECF_INVALID_VERSION, t.create(worker, &w, &old, nullptr));
    kivtestExpectVersionRecord(log, KIVFN_KIVHTHREAD_CREATE, KIV_VERSION_MIN - 1);
    log.clear();
    EXPECT_EQ(ECF_INVALID_PARAMETER, t.create(nullptr, &w, &p, nullptr));
    kivtestExpectNullRecord(log, KIVFN_KIVHTHREAD_CREATE);
    EXPECT_FALSE(t.created);
    EXPECT_EQ(nullptr, t.threadHandle);
}

TEST(Thread, CallingOrderOfWaitAndClose)
{
    KivLogCapture log;
    KIVHThread t;
    EXPECT_EQ(ECF_THREAD_NOT_CREATED, t.wait());
    EXPECT_EQ(ECF_THREAD_NOT_CREATED, t.close());

    /* Joinable: close is refused until the thread was waited for, and
     * nothing is released by the refusal. */
    Work w;
    w.go = false;
    KIVThreadParam p = joinableParam();
    ASSERT_EQ(0u, t.create(worker, &w, &p, nullptr));
    void* handle = t.threadHandle;
    EXPECT_EQ(ECF_THREAD_MUST_WAIT, t.close());
    EXPECT_TRUE(t.created);
    EXPECT_TRUE(t.joinable);
    EXPECT_EQ(handle, t.threadHandle);
    w.go = true;
    EXPECT_EQ(0u, t.wait());
    EXPECT_EQ(ECF_THREAD_CANNOT_WAIT, t.wait()) << "one wait per thread";
    EXPECT_EQ(0u, t.close());
    EXPECT_EQ(ECF_THREAD_NOT_CREATED, t.close());

    std::vector<KivLogRecord> waits = log.of(KIVFN_KIVHTHREAD_WAIT);
    ASSERT_EQ(2u, waits.size());
    EXPECT_EQ(10u, waits[0].probe);
    EXPECT_EQ(ECF_THREAD_NOT_CREATED, waits[0].messageCode);
    EXPECT_EQ(20u, waits[1].probe);
    EXPECT_EQ(ECF_THREAD_CANNOT_WAIT, waits[1].messageCode);
    std::vector<KivLogRecord> closes = log.of(KIVFN_KIVHTHREAD_CLOSE);
    ASSERT_EQ(3u, closes.size());
    EXPECT_EQ(20u, closes[1].probe);
    EXPECT_EQ(ECF_THREAD_MUST_WAIT, closes[1].messageCode);

}

TEST(Thread, ANonJoinableThreadCannotBeWaitedForAndRunsOnDetached)
{
    Work w;
    w.go = false;
    KIVHThread t;
    KIVThreadParam p;
    ASSERT_EQ(0u, t.create(worker, &w, &p, nullptr));
    EXPECT_FALSE(t.joinable);
    EXPECT_EQ(ECF_THREAD_CANNOT_WAIT, t.wait());
    ASSERT_TRUE(eventually([&] { return w.started.load(); }));
    ASSERT_EQ(0u, t.close()) << "closing does not wait for the thread";
    EXPECT_FALSE(t.created);
    EXPECT_EQ(0, w.runs.load());

    w.go = true;
    EXPECT_TRUE(eventually([&] { return w.done.load(); }));
    EXPECT_EQ(1, w.runs.load());
}

TEST(Thread, AFailedWaitIsMappedAndStillEndsTheJoinableState)
{
    KivLogCapture log;
    KIVHThread t;
    /* A thread object whose handle is no handle at all. */
    t.created = true;
    t.joinable = true;
    t.threadHandle = reinterpret_cast<void*>(static_cast<uintptr_t>(0x0BADF00Cu));
    EXPECT_EQ(ECF_INVALID_PARAMETER, t.wait());
    EXPECT_FALSE(t.joinable);
    EXPECT_TRUE(t.created);

    EXPECT_EQ(1u, log.of(KIVFN_KIVHTHREAD_WAIT).size());
    KivLogRecord r = log.at(KIVFN_KIVHTHREAD_WAIT, 50);
    EXPECT_EQ(KIVOSFN_WAITFORSINGLEOBJECT, r.calledFunctionId);
    EXPECT_EQ(static_cast<Uint32>(ERROR_INVALID_HANDLE), r.calledValue);

    EXPECT_EQ(0u, t.close()) << "the close result of the handle is not examined";
    EXPECT_FALSE(t.created);
}

TEST(Thread, KivThreadExitEndsTheThreadWithExitCodeZero)
{
    Work w;
    KIVHThread t;
    KIVThreadParam p = joinableParam();
    ASSERT_EQ(0u, t.create(exitingWorker, &w, &p, nullptr));
    ASSERT_EQ(0u, t.wait());
    EXPECT_EQ(1, w.runs.load());
    EXPECT_FALSE(w.afterExit.load());
    DWORD code = 1;
    ASSERT_TRUE(GetExitCodeThread(t.threadHandle, &code));
    EXPECT_EQ(0u, code);
    EXPECT_EQ(0u, t.close());

}

TEST(Thread, ManyThreadsJoinableAndDetached)
{
    /* Two thousand threads in rounds, half detached and closed while
     * running, half waited for.  A thread whose resources were never given
     * back keeps its stack mapped: in a 32-bit process a few hundred of them
     * use up the address space and the creates begin to fail. */
    const int kEach = 50;
    for (int round = 0; round < 20; ++round) {
        SCOPED_TRACE(round);
        std::vector<Work> joined(kEach), detached(kEach);
        std::vector<KIVHThread> threads(kEach);
        KIVThreadParam join = joinableParam();
        KIVThreadParam nojoin;
        std::set<Uint32> ids;
        for (int i = 0; i < kEach; ++i) {
            ASSERT_EQ(0u, threads[i].create(worker, &joined[i], &join, nullptr)) << i;
            ids.insert(threads[i].threadId);
            KIVHThread d;
            ASSERT_EQ(0u, d.create(worker, &detached[i], &nojoin, nullptr)) << i;
            ASSERT_EQ(0u, d.close()) << i;
        }
        EXPECT_EQ(static_cast<size_t>(kEach), ids.size()) << "live threads have distinct ids";
        for (int i = 0; i < kEach; ++i) {
            ASSERT_EQ(0u, threads[i].wait()) << i;
            ASSERT_EQ(0u, threads[i].close()) << i;
            EXPECT_EQ(1, joined[i].runs.load()) << i;
        }
        for (int i = 0; i < kEach; ++i) {
            ASSERT_TRUE(eventually([&] { return detached[i].done.load(); })) << i;
            EXPECT_EQ(1, detached[i].runs.load()) << i;
        }
    }
}

namespace {

/* Switches this (child) process's allocator to FULL mode, which keeps the
 * list of live blocks. */
bool fullMode(const KivTestTempDir& dir)
{
    kivtestSetEnv("KIVEMEMDBG", (dir.path() + ",FULL").c_str());
    kivMemOneTimeOnly();
    kivtestSetEnv("KIVEMEMDBG", nullptr);
    return g_pMemDebugCB != nullptr;
}

/* Live blocks allocated by the named source. */
int liveBlocksOf(const char* source)
{
    int n = 0;
    g_pMemDebugCB->listLatch.get();
    for (KIVMemAllocRecord* r = g_pMemDebugCB->allocListHead; r != nullptr; r = r->next)
        if (std::strncmp(r->fileName, source, sizeof r->fileName) == 0)
            ++n;
    g_pMemDebugCB->listLatch.release();
    return n;
}

std::atomic<int> g_blocksSeenInside{-1};

void countStartBlocks(void*) { g_blocksSeenInside = liveBlocksOf("kivthread"); }

} // namespace

KIVTEST_CHILD(thread_start_block)
{
    KivTestTempDir dir;
    if (!fullMode(dir))
        return 10;
    /* The list walk itself works: a block of our own is found. */
    void* mine = nullptr;
    if (kivMemAlloc(&mine, nullptr, 8, 0, "kivthread", 1) != 0 || liveBlocksOf("kivthread") != 1)
        return 11;
    kivMemFree(&mine, 0, 0, "kivthread", 2);
    if (liveBlocksOf("kivthread") != 0)
        return 12;

    for (int i = 0; i < 20; ++i) {
        KIVHThread t;
        KIVThreadParam p = joinableParam();
        g_blocksSeenInside = -1;
        if (t.create(countStartBlocks, nullptr, &p, nullptr) != 0 || t.wait() != 0)
            return 20;
        if (g_blocksSeenInside != 0)
            return 21; /* freed before the user's function runs */
    }
    return liveBlocksOf("kivthread") == 0 ? 0 : 22;
}

TEST(Thread, TheStartBlockIsFreedBeforeTheFunctionRuns)
{
    EXPECT_EQ(0, kivtestRunChild("thread_start_block"));
}

KIVTEST_CHILD(thread_start_failure)
{
    KivTestTempDir dir;
    if (!fullMode(dir))
        return 10;
    KivLogCapture log;
    Work w;
    KIVHThread t;
    /* More stack than a 32-bit address space can give. */
    KIVThreadParam p(KIV_THREAD_JOINABLE, 0xFFF00000u);
    if (t.create(worker, &w, &p, nullptr) != ECF_NO_MEMORY)
        return 20;
    if (t.created || t.joinable || t.threadHandle != nullptr || t.threadId != 0)
        return 21;
    std::vector<KivLogRecord> r = log.of(KIVFN_KIVHTHREAD_CREATE);
    if (r.size() != 1 || r[0].probe != 100 || r[0].calledFunctionId != KIVOSFN_BEGINTHREADEX_CRT ||
        r[0].messageCode != ECF_NO_MEMORY)
        return 22;
    if (liveBlocksOf("kivthread") != 0)
        return 23; /* no thread took the block over: it was released */
    return w.runs == 0 ? 0 : 24;
}

TEST(Thread, AFailedStartIsMappedLoggedAndLeavesNoBlock)
{
    if (sizeof(void*) != 4)
        GTEST_SKIP() << "a 64-bit process can reserve a 4 GB stack; start failure needs 32 bits";
    EXPECT_EQ(0, kivtestRunChild("thread_start_failure"));
}

namespace {
struct SlotView {
    Uint32 firstRc = 1;
    void* firstValue = reinterpret_cast<void*>(1);
    Uint32 setRc = 1;
    Uint32 againRc = 1;
    void* again = nullptr;
    int local = 0;
    KIVHThreadSpecificData* slot = nullptr;
};

void useSlot(void* p)
{
    SlotView* v = static_cast<SlotView*>(p);
    v->firstRc = v->slot->get(&v->firstValue);
    v->setRc = v->slot->set(&v->local);
    v->againRc = v->slot->get(&v->again);
}
} // namespace

TEST(ThreadSpecificData, EachThreadSeesItsOwnValue)
{
    KIVHThreadSpecificData slot;
    ASSERT_EQ(0u, slot.create());
    EXPECT_NE(KIV_TLS_INDEX_NONE, slot.tlsIndex);
    int mine = 0;
    ASSERT_EQ(0u, slot.set(&mine));

    const int kThreads = 16;
    std::vector<SlotView> views(kThreads);
    std::vector<KIVHThread> threads(kThreads);
    KIVThreadParam p = joinableParam();
    for (int i = 0; i < kThreads; ++i) {
        views[i].slot = &slot;
        ASSERT_EQ(0u, threads[i].create(useSlot, &views[i], &p, nullptr));
    }
    for (int i = 0; i < kThreads; ++i) {
        ASSERT_EQ(0u, threads[i].wait());
        EXPECT_EQ(ECF_INVALID_INVOCATION_SEQUENCE, views[i].firstRc) << i;
        EXPECT_EQ(nullptr, views[i].firstValue) << "not the main thread's value";
        EXPECT_EQ(0u, views[i].setRc);
        EXPECT_EQ(0u, views[i].againRc);
        EXPECT_EQ(&views[i].local, views[i].again);
    }
    void* v = nullptr;
    EXPECT_EQ(0u, slot.get(&v));
    EXPECT_EQ(&mine, v) << "other threads' sets leave this thread's value alone";
    EXPECT_EQ(0u, slot.destroy());
}

TEST(ThreadSpecificData, GetBeforeSetGivesNullAndAnInvocationSequenceCodeWithoutLog)
{
    KivLogCapture log;
    KIVHThreadSpecificData slot;
    ASSERT_EQ(0u, slot.create());
    void* v = &slot;
    EXPECT_EQ(ECF_INVALID_INVOCATION_SEQUENCE, slot.get(&v));
    EXPECT_EQ(nullptr, v);
    EXPECT_EQ(ECF_INVALID_PARAMETER, slot.get(nullptr));
    log.clear();
    EXPECT_EQ(0u, slot.destroy());
    EXPECT_EQ(0u, log.count()) << "get maps the error but writes no log record";
}

TEST(ThreadSpecificData, DestroyReleasesTheSlotOnce)
{
    KIVHThreadSpecificData slot;
    EXPECT_EQ(KIV_TLS_INDEX_NONE, slot.tlsIndex) << "a new object holds no slot";
    ASSERT_EQ(0u, slot.create());
    int x = 0;
    ASSERT_EQ(0u, slot.set(&x));
    ASSERT_EQ(0u, slot.destroy());
    EXPECT_EQ(KIV_TLS_INDEX_NONE, slot.tlsIndex);

    KivLogCapture log;
    EXPECT_EQ(ECF_INVALID_PARAMETER, slot.destroy());
    EXPECT_EQ(ECF_INVALID_PARAMETER, slot.set(&x));
    void* v = &x;
    EXPECT_EQ(ECF_INVALID_PARAMETER, slot.get(&v));
    EXPECT_EQ(nullptr, v);

    EXPECT_EQ(2u, log.count()) << "get maps the error without a record";
    EXPECT_EQ(KIVOSFN_TLSFREE,
              log.at(KIVFN_KIVHTHREADSPECIFICDATAINTERNAL_DESTROY, 20).calledFunctionId);
    EXPECT_EQ(KIVOSFN_TLSSETVALUE,
              log.at(KIVFN_KIVHTHREADSPECIFICDATAINTERNAL_SET, 20).calledFunctionId);
    EXPECT_TRUE(log.of(KIVFN_KIVHTHREADSPECIFICDATA_DESTROY).empty())
        << "logged under the internal identifiers";

}

KIVTEST_CHILD(thread_slots_exhausted)
{
    std::vector<KIVHThreadSpecificDataInternal> slots;
    Uint32 rc = 0;
    while (slots.size() < 100000) {
        KIVHThreadSpecificDataInternal s;
        rc = s.create();
        if (rc != 0)
            break;
        slots.push_back(s);
    }
    if (rc == 0 || slots.size() < 60)
        return 10;
    for (KIVHThreadSpecificDataInternal& s : slots)
        if (s.destroy() != 0)
            return 11;
    KIVHThreadSpecificData again;
    if (again.create() != 0 || again.destroy() != 0)
        return 12;
    return 0;
}

TEST(ThreadSpecificData, RunningOutOfSlotsIsAnErrorAndFreedSlotsComeBack)
{
    EXPECT_EQ(0, kivtestRunChild("thread_slots_exhausted"));
}

#if !defined(_WIN32)
namespace {
struct TlsSeen {
    DWORD index;
    void* value;
    DWORD error;
};

unsigned WINAPI readSlot(void* p)
{
    TlsSeen* s = static_cast<TlsSeen*>(p);
    s->value = TlsGetValue(s->index);
    s->error = GetLastError();
    return 0;
}
} // namespace
#endif

TEST(CompatThread, BadStartArgumentsAreRefused)
{
#if defined(_WIN32)
    GTEST_SKIP() << "the Windows runtime treats a null start routine as a fatal invalid "
                    "parameter; only the POSIX layer reports it";
#else
    errno = 0;
    SetLastError(0);
    EXPECT_EQ(0u, _beginthreadex(nullptr, 0, nullptr, nullptr, 0, nullptr));
    EXPECT_EQ(EINVAL, errno);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    TlsSeen seen{0, nullptr, 0};
    EXPECT_EQ(0u, _beginthreadex(nullptr, 0, readSlot, &seen, CREATE_SUSPENDED, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    DWORD code = 0;
    EXPECT_FALSE(GetExitCodeThread(GetCurrentProcess(), &code));
#endif
}

#if !defined(_WIN32)
namespace {
void stackOfThisThread(void* p)
{
    pthread_attr_t attr;
    size_t size = 0;
    if (pthread_getattr_np(pthread_self(), &attr) == 0) {
        pthread_attr_getstacksize(&attr, &size);
        pthread_attr_destroy(&attr);
    }
    *static_cast<size_t*>(p) = size;
}
} // namespace
#endif

TEST(Thread, TheStackSizeIsHonoured)
{
#if defined(_WIN32)
    GTEST_SKIP() << "the stack size goes to the system's thread start unchanged; "
                    "there is no portable way to read it back";
#else
    auto stackOf = [](Uint32 requested) {
        size_t seen = 0;
        KIVHThread t;
        KIVThreadParam p(KIV_THREAD_JOINABLE, requested);
        EXPECT_EQ(0u, t.create(stackOfThisThread, &seen, &p, nullptr));
        EXPECT_EQ(0u, t.wait());
        return seen;
    };
    const size_t byDefault = stackOf(0);
    const Uint32 small = 256 * 1024, large = 3 * 1024 * 1024 + 100;
    const size_t seenSmall = stackOf(small);
    EXPECT_GE(seenSmall, static_cast<size_t>(small));
    EXPECT_LT(seenSmall, byDefault) << "not the default size";
    EXPECT_GE(stackOf(large), static_cast<size_t>(large)) << "rounded up, never down";
#endif
}

TEST(Thread, TheDestructorClosesACreatedThread)
{
    Work w;
    void* handle = nullptr;
    {
        KIVHThread t;
        KIVThreadParam p = joinableParam();
        ASSERT_EQ(0u, t.create(worker, &w, &p, nullptr));
        ASSERT_EQ(0u, t.wait());
        handle = t.threadHandle;
    }
    DWORD code = 0;
    SetLastError(0);
    EXPECT_FALSE(GetExitCodeThread(handle, &code)) << "the handle was closed";
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}
