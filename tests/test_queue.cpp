/*
 * test_queue.cpp - message queues (KIVHIPCQueue): sizing and ring layout,
 * parameter and sequence checks, get, flush, attach and detach, streaming
 * and abandoned messages. Processes are covered by test_stress.cpp.
 */
#include "kivecf.h"
#include "kivipc.h"
#include "kivipcqueue.h"
#include "kivos.h"
#include "kivtest.h"
#include "kivtestlog.h"

#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

const Uint32 kOldVersion = 0x0131CBFDu;   // one below the minimum

Uint32 createQueue(KIVHIPCQueue& q, const KIVIPCQueResID& ids, Uint32 size)
{
    KIVIPCQueueCreateParam p;
    p.queResID = ids;
    p.queueSize = size;
    p.permissions = 0600;
    return q.create(&p);
}

/* A queue created under a fresh name, destroyed at the end of the scope. */
struct TestQueue {
    explicit TestQueue(Uint32 size, const char* stem = "kivque")
        : path(kivtestUniqueName(stem)), ids(kivtestQueResID(path))
    {
        rc = createQueue(q, ids, size);
    }
    ~TestQueue() { q.destroy(); }
    Uint8* ring() { return reinterpret_cast<Uint8*>(q.header) + KIV_IPC_QUEUE_HEADER_SIZE; }
    Uint32 used()
    {
        KIVIPCQueueInfo info;
        EXPECT_EQ(0u, q.query(&info));
        return info.usedBytes;
    }
    /* The next message, which must be there, as a string. */
    std::string take()
    {
        char b[64];
        Uint32 n = 0;
        EXPECT_EQ(0u, q.get(b, sizeof b, &n, 0));
        return std::string(b, n);
    }

    std::string    path;
    KIVIPCQueResID ids;
    KIVHIPCQueue   q;
    Uint32         rc = 0;
};

std::vector<Uint8> bytesOf(size_t n, Uint64 seed)
{
    std::vector<Uint8> v(n);
    kivtestFillBytes(v.data(), n, seed);
    return v;
}

/* A waiting flag of the header, read as another thread sets it. */
bool waiting(const Uint8& flag)
{
    return __atomic_load_n(&flag, __ATOMIC_SEQ_CST) == 1;
}

} // namespace

/* ---- creation and layout --------------------------------------------------------------- */

TEST(IPCQueue, CapacityIsTheSizeRoundedUpToFourBytes)
{
    const Uint32 sizes[][2] = {{0, 4}, {3, 8}, {4, 8}, {5, 8}, {10, 12}, {12, 12}, {4097, 4100}};
    for (const auto& s : sizes) {
        SCOPED_TRACE(s[0]);
        TestQueue t(s[0]);
        ASSERT_EQ(0u, t.rc);
        ASSERT_TRUE(t.q.isAttached());
        EXPECT_EQ(s[1], t.q.header->capacity);
        EXPECT_EQ(0u, t.q.header->writeOffset);
        EXPECT_EQ(0u, t.q.header->readOffset);
        EXPECT_EQ(0u, t.q.header->notEmpty);
        KIVIPCQueueInfo info;
        ASSERT_EQ(0u, t.q.query(&info));
        EXPECT_EQ(s[1], info.capacity);
        EXPECT_EQ(0u, info.usedBytes);
        EXPECT_EQ(s[1], info.freeBytes);
    }
}

TEST(IPCQueue, AMessageIsItsLengthItsBytesAndPadding)
{
    TestQueue t(32);
    ASSERT_EQ(0u, t.rc);
    const char ten[] = "0123456789";
    ASSERT_EQ(0u, t.q.put(ten, 10));
    EXPECT_EQ(16u, t.used());
    EXPECT_EQ(16u, t.q.header->writeOffset);
    Uint32 length;
    memcpy(&length, t.ring(), 4);
    EXPECT_EQ(10u, length);
    EXPECT_EQ(0, memcmp(t.ring() + 4, ten, 10));

    // The next message wraps: 16 of 32 bytes are in use, a 20-byte body
    // runs 12 bytes to the end and 8 from the start.
    std::vector<Uint8> twenty = bytesOf(20, 7);
    EXPECT_EQ(ten, t.take());
    ASSERT_EQ(0u, t.q.put(twenty.data(), 20));
    EXPECT_EQ(24u, t.used());
    EXPECT_EQ(8u, t.q.header->writeOffset);
    EXPECT_EQ(0, memcmp(t.ring() + 20, twenty.data(), 12));
    EXPECT_EQ(0, memcmp(t.ring(), twenty.data() + 12, 8));
    EXPECT_EQ(std::string(twenty.begin(), twenty.end()), t.take());
    EXPECT_EQ(0u, t.used());
    EXPECT_EQ(0u, t.q.header->notEmpty);
}

TEST(IPCQueue, AFullRingIsToldFromAnEmptyOne)
{
    TestQueue t(16);
    ASSERT_EQ(0u, t.rc);
    std::vector<Uint8> twelve = bytesOf(12, 3);
    ASSERT_EQ(0u, t.q.put(twelve.data(), 12));
    EXPECT_EQ(t.q.header->readOffset, t.q.header->writeOffset);
    EXPECT_EQ(16u, t.used());
    EXPECT_TRUE(t.q.hasMessage());
    EXPECT_EQ(std::string(twelve.begin(), twelve.end()), t.take());
    EXPECT_EQ(0u, t.used());
    EXPECT_FALSE(t.q.hasMessage());
}

TEST(IPCQueue, CreateRefusesNamesInUseAndBadParameters)
{
    KivLogCapture log;
    TestQueue t(64);
    ASSERT_EQ(0u, t.rc);

    KIVHIPCQueue second;
    EXPECT_NE(0u, createQueue(second, t.ids, 64));
    EXPECT_EQ(KIVFN_KIVHIPCMEMORY_CREATE,
              log.at(KIVFN_KIVHIPCQUEUE_CREATE, 50).calledFunctionId);
    EXPECT_FALSE(second.isAttached());

    EXPECT_EQ(ECF_INVALID_PARAMETER, second.create(nullptr));
    EXPECT_TRUE(log.has(KIVFN_KIVHIPCQUEUE_CREATE, 1111));
    KIVIPCQueueCreateParam old;
    old.version = kOldVersion;
    EXPECT_EQ(ECF_INVALID_VERSION, second.create(&old));
    EXPECT_TRUE(log.has(KIVFN_KIVHIPCQUEUE_CREATE, 1112));
    KIVIPCQueueCreateParam huge;
    huge.queResID = kivtestQueResID(kivtestUniqueName("kivque_huge"));
    huge.queueSize = 0xFFFFFFF0u;
    EXPECT_EQ(ECF_INVALID_PARAMETER, second.create(&huge));
    EXPECT_FALSE(second.isAttached());
}

TEST(IPCQueue, OperationsNeedAnAttachedQueueAndValidArguments)
{
    KivLogCapture log;
    char b[8] = {0};
    Uint32 n = 0;
    KIVIPCQueueInfo info;
    KIVHIPCQueue never;
    EXPECT_EQ(ECF_INVALID_INVOCATION_SEQUENCE, never.flush());
    EXPECT_EQ(ECF_INVALID_INVOCATION_SEQUENCE, never.query(&info));
    EXPECT_EQ(0u, never.detach());   // nothing held, nothing to fail
    // A destroyed queue keeps its header pointer but may not be used.
    TestQueue gone(64);
    ASSERT_EQ(0u, gone.q.destroy());
    EXPECT_NE(nullptr, gone.q.header);
    for (KIVHIPCQueue* q : {&never, &gone.q}) {
        EXPECT_FALSE(q->isAttached());
        EXPECT_EQ(ECF_INVALID_INVOCATION_SEQUENCE, q->put(b, 1));
        EXPECT_EQ(ECF_INVALID_INVOCATION_SEQUENCE, q->get(b, sizeof b, &n, 0));
        EXPECT_FALSE(q->hasMessage());
    }
    EXPECT_TRUE(log.has(KIVFN_KIVHIPCQUEUE_PUT, 10));
    EXPECT_TRUE(log.has(KIVFN_KIVHIPCQUEUE_GET, 10));

    TestQueue t(64);
    ASSERT_EQ(0u, t.rc);
    EXPECT_EQ(ECF_INVALID_PARAMETER, t.q.put(nullptr, 4));
    EXPECT_EQ(ECF_INVALID_PARAMETER, t.q.get(nullptr, 4, &n, 0));
    EXPECT_EQ(ECF_INVALID_PARAMETER, t.q.get(b, sizeof b, &n, -2));
    EXPECT_EQ(ECF_INVALID_PARAMETER, t.q.query(nullptr));
    info.version = kOldVersion;
    EXPECT_EQ(ECF_INVALID_VERSION, t.q.query(&info));
    EXPECT_EQ(0u, t.used());
    EXPECT_EQ(ECF_INVALID_PARAMETER, t.q.authorize(nullptr));
    KIVIPCSecurityParam sec;
    EXPECT_EQ(0u, t.q.authorize(&sec));
    sec.version = kOldVersion;
    EXPECT_EQ(ECF_INVALID_VERSION, t.q.authorize(&sec));
}

/* ---- get ------------------------------------------------------------------------------- */

TEST(IPCQueue, AnEmptyQueueAnswersAPollUnloggedAndAWaitWithATimeout)
{
    TestQueue t(64);
    ASSERT_EQ(0u, t.rc);
    KivLogCapture log;
    char b[8];
    Uint32 n = 77;
    EXPECT_EQ(ECF_QUE_INVALID_MSG_TYPE, t.q.get(b, sizeof b, &n, 0));
    EXPECT_EQ(0u, log.count());
    EXPECT_EQ(ECF_TIMEOUT, t.q.get(b, sizeof b, &n, 30));
    EXPECT_EQ(77u, n);
    KivLogRecord r = log.at(KIVFN_KIVHIPCQUEUE_GET, 80);
    EXPECT_EQ(KIVFN_KIVHIPCSEMAPHORE_WAIT, r.calledFunctionId);
    EXPECT_EQ(ECF_TIMEOUT, r.calledValue);
    // The stale wake-up the timed-out reader may draw later changes nothing.
    ASSERT_EQ(0u, t.q.put("abc", 3));
    EXPECT_EQ(0u, t.q.get(b, sizeof b, &n, 1000));
    EXPECT_EQ(3u, n);
    EXPECT_EQ(ECF_QUE_INVALID_MSG_TYPE, t.q.get(b, sizeof b, &n, 0));
}

TEST(IPCQueue, AMessageLongerThanTheBufferStaysQueued)
{
    TestQueue t(64);
    ASSERT_EQ(0u, t.rc);
    std::vector<Uint8> msg = bytesOf(20, 11);
    ASSERT_EQ(0u, t.q.put(msg.data(), 20));
    KivLogCapture log;
    Uint8 small[19];
    Uint32 n = 0;
    EXPECT_EQ(ECF_QUE_MSG_TOO_BIG, t.q.get(small, sizeof small, &n, 0));
    EXPECT_EQ(20u, n);
    KivLogRecord r = log.at(KIVFN_KIVHIPCQUEUE_GET, 100);
    ASSERT_EQ(2u, r.items.size());
    EXPECT_EQ(20u, r.items[0].asUint());
    EXPECT_EQ(19u, r.items[1].asUint());
    EXPECT_EQ(24u, t.used());
    EXPECT_EQ(std::string(msg.begin(), msg.end()), t.take());
}

TEST(IPCQueue, EmptyMessagesAreDelivered)
{
    TestQueue t(16);
    ASSERT_EQ(0u, t.rc);
    for (int i = 0; i < 4; ++i)
        ASSERT_EQ(0u, t.q.put(nullptr, 0));
    EXPECT_EQ(16u, t.used());
    for (int i = 0; i < 4; ++i) {
        Uint32 n = 99;
        ASSERT_EQ(0u, t.q.get(nullptr, 0, &n, 0));
        EXPECT_EQ(0u, n);
    }
    EXPECT_FALSE(t.q.hasMessage());
    // Without a place for the length, get still takes the message.
    ASSERT_EQ(0u, t.q.put("xy", 2));
    char b[2];
    EXPECT_EQ(0u, t.q.get(b, sizeof b, nullptr, 0));
    EXPECT_EQ(0, memcmp(b, "xy", 2));
}

/* ---- flush ------------------------------------------------------------------------------- */

TEST(IPCQueue, FlushEmptiesTheRing)
{
    TestQueue t(64);
    ASSERT_EQ(0u, t.rc);
    ASSERT_EQ(0u, t.q.put("abcdef", 6));
    ASSERT_EQ(0u, t.q.put("gh", 2));
    EXPECT_EQ("abcdef", t.take());
    EXPECT_TRUE(t.q.hasMessage()) << "one of two taken";
    ASSERT_EQ(0u, t.q.flush());
    EXPECT_FALSE(t.q.hasMessage());
    EXPECT_EQ(0u, t.q.header->writeOffset);
    EXPECT_EQ(0u, t.q.header->readOffset);
    char b[8];
    Uint32 n = 0;
    EXPECT_EQ(ECF_QUE_INVALID_MSG_TYPE, t.q.get(b, sizeof b, &n, 0));
    ASSERT_EQ(0u, t.q.put("ij", 2));
    EXPECT_EQ("ij", t.take());
}

TEST(IPCQueue, FlushWakesAWaitingReaderWhichWaitsAgain)
{
    TestQueue t(64);
    ASSERT_EQ(0u, t.rc);
    Uint32 rc = 1, n = 0;
    char b[8] = {0};
    std::thread reader([&] { rc = t.q.get(b, sizeof b, &n, KIV_IPC_QUEUE_WAIT_FOREVER); });
    ASSERT_TRUE(kivtestEventually([&] { return waiting(t.q.header->readerWaiting); }));
    ASSERT_EQ(0u, t.q.flush());
    // flush cleared the flag; only the woken reader sets it again.
    ASSERT_TRUE(kivtestEventually([&] { return waiting(t.q.header->readerWaiting); }));
    ASSERT_EQ(0u, t.q.put("late", 4));
    reader.join();
    EXPECT_EQ(0u, rc);
    EXPECT_EQ("late", std::string(b, n));
}

/* ---- attach and detach ------------------------------------------------------------------- */

TEST(IPCQueue, AttachingAMissingQueue)
{
    KivLogCapture log;
    KIVIPCQueResID ids = kivtestQueResID(kivtestUniqueName("kivque_missing"));
    KIVHIPCQueue q;
    EXPECT_EQ(ECF_QUE_DOESNT_EXIST, q.attach(&ids));
    EXPECT_FALSE(q.isAttached());
    EXPECT_EQ(nullptr, q.header);
    KivLogRecord r = log.at(KIVFN_KIVHIPCQUEUE_ATTACH, 40);
    EXPECT_EQ(KIVFN_KIVHIPCMEMORY_ATTACH, r.calledFunctionId);
    EXPECT_EQ(ECF_QUE_DOESNT_EXIST, r.calledValue);

    EXPECT_EQ(ECF_INVALID_PARAMETER, q.attach(nullptr));
    ids.version = kOldVersion;
    EXPECT_EQ(ECF_INVALID_VERSION, q.attach(&ids));
}

TEST(IPCQueue, TwoHandlesShareOneQueueWhichGoesWithTheLast)
{
    TestQueue t(64);
    ASSERT_EQ(0u, t.rc);
    KIVHIPCQueue other;
    ASSERT_EQ(0u, other.attach(&t.ids));
    EXPECT_EQ(64u, other.header->capacity);
    EXPECT_EQ(ECF_INVALID_INVOCATION_SEQUENCE, other.attach(&t.ids));
    ASSERT_EQ(0u, t.q.put("shared", 6));
    EXPECT_TRUE(other.hasMessage());
    char b[8];
    Uint32 n = 0;
    ASSERT_EQ(0u, other.get(b, sizeof b, &n, 0));
    EXPECT_EQ("shared", std::string(b, n));

    // The contents outlive the creator's handle while another remains.
    ASSERT_EQ(0u, t.q.put("kept", 4));
    ASSERT_EQ(0u, t.q.detach());
    EXPECT_EQ(nullptr, t.q.header);
    EXPECT_FALSE(t.q.isAttached());
    ASSERT_EQ(0u, other.get(b, sizeof b, &n, 0));
    EXPECT_EQ("kept", std::string(b, n));
    // With the last handle gone, so is the queue; its names can be reused.
    ASSERT_EQ(0u, other.destroy());
    EXPECT_EQ(ECF_QUE_DOESNT_EXIST, t.q.attach(&t.ids));
    EXPECT_EQ(0u, createQueue(t.q, t.ids, 64));
}

/* ---- streaming and abandoned messages ------------------------------------------------------ */

TEST(IPCQueue, AMessageLargerThanTheRingIsStreamedWhileTheReaderDrains)
{
    TestQueue t(64);
    ASSERT_EQ(0u, t.rc);
    const Uint32 size = 64 * 1000 + 3;
    std::vector<Uint8> msg = bytesOf(size, 99);
    Uint32 rc = 1;
    std::thread writer([&] { rc = t.q.put(msg.data(), size); });
    std::vector<Uint8> got(size + 8);
    Uint32 n = 0;
    ASSERT_EQ(0u, t.q.get(got.data(), (Uint32)got.size(), &n, KIV_IPC_QUEUE_WAIT_FOREVER));
    writer.join();
    EXPECT_EQ(0u, rc);
    ASSERT_EQ(size, n);
    EXPECT_EQ(0, memcmp(got.data(), msg.data(), size));
    EXPECT_FALSE(t.q.hasMessage());
}

TEST(IPCQueue, ARingThatHoldsOnlyTheLengthWordStillPassesMessages)
{
    // Capacity 4: the length word fills the ring, so each side must wake
    // the other after the length word alone, whichever side blocks first.
    for (bool readerFirst : {true, false}) {
        SCOPED_TRACE(readerFirst ? "reader waits first" : "writer waits first");
        TestQueue t(0);
        ASSERT_EQ(0u, t.rc);
        KIVIPCQueueHeader* h = t.q.header;
        char b[8] = {0};
        Uint32 n = 0, getRc = 1, putRc = 1;
        // A bounded wait, so that a lost wake-up fails the test instead of
        // hanging it.
        std::function<void()> reader = [&] { getRc = t.q.get(b, sizeof b, &n, 20000); };
        std::function<void()> writer = [&] { putRc = t.q.put("abcd", 4); };
        std::thread first(readerFirst ? reader : writer);
        ASSERT_TRUE(kivtestEventually(
            [&] { return waiting(readerFirst ? h->readerWaiting : h->writerWaiting); }));
        std::thread second(readerFirst ? writer : reader);
        (readerFirst ? first : second).join();
        if (getRc != 0)
            t.q.flush();   // release a writer stranded by the failed get
        (readerFirst ? second : first).join();
        EXPECT_EQ(0u, getRc);
        EXPECT_EQ(0u, putRc);
        EXPECT_EQ("abcd", std::string(b, n));
    }
}

TEST(IPCQueue, AReaderThatGivesUpHalfWayLeavesTheQueueUsable)
{
    TestQueue t(32);
    ASSERT_EQ(0u, t.rc);
    KIVIPCQueueHeader* h = t.q.header;
    // Play a writer that stalls: the length of a 100-byte message and its
    // first 20 bytes, then nothing.
    h->putLatch.get();
    h->queueLatch.get();
    Uint32 length = 100;
    memcpy(t.ring(), &length, 4);
    kivtestFillBytes(t.ring() + 4, 20, 1);
    h->writeOffset = 24;
    h->notEmpty = 1;
    h->queueLatch.release();

    KivLogCapture log;
    std::vector<Uint8> b(100);
    Uint32 n = 77;
    EXPECT_EQ(ECF_TIMEOUT, t.q.get(b.data(), 100, &n, 50));
    EXPECT_EQ(77u, n);
    EXPECT_EQ(KIVFN_KIVHIPCSEMAPHORE_WAIT, log.at(KIVFN_KIVHIPCQUEUE_GET, 110).calledFunctionId);
    EXPECT_EQ(1u, h->abandoned);
    // The rest that trickles in belongs to nobody: no message is seen.
    h->queueLatch.get();
    kivtestFillBytes(t.ring() + 24, 8, 2);
    h->writeOffset = 0;
    h->notEmpty = 1;
    h->queueLatch.release();
    EXPECT_FALSE(t.q.hasMessage());
    EXPECT_EQ(ECF_QUE_INVALID_MSG_TYPE, t.q.get(b.data(), 100, &n, 0));
    h->putLatch.release();
}

TEST(IPCQueue, AWriterDropsTheRestOfAnAbandonedMessage)
{
    TestQueue t(32);
    ASSERT_EQ(0u, t.rc);
    KIVIPCQueueHeader* h = t.q.header;
    std::vector<Uint8> big = bytesOf(200, 4);
    Uint32 rc = 1;
    std::thread writer([&] { rc = t.q.put(big.data(), 200); });
    ASSERT_TRUE(kivtestEventually([&] { return waiting(h->writerWaiting); }));
    // Play a reader that took part of the message and gave up: it empties
    // the ring, marks the message abandoned and wakes the writer.
    h->getLatch.get();
    h->queueLatch.get();
    h->readOffset = h->writeOffset;
    h->notEmpty = 0;
    h->abandoned = 1;
    h->writerWaiting = 0;
    ASSERT_EQ(0u, t.q.spaceSemaphore.post());
    h->queueLatch.release();
    h->getLatch.release();
    writer.join();
    EXPECT_EQ(0u, rc);
    EXPECT_EQ(0u, h->abandoned);
    EXPECT_FALSE(t.q.hasMessage());
    ASSERT_EQ(0u, t.q.put("next", 4));
    EXPECT_EQ("next", t.take());
}

TEST(IPCQueue, FlushWakesABlockedWriter)
{
    TestQueue t(16);
    ASSERT_EQ(0u, t.rc);
    std::vector<Uint8> big = bytesOf(40, 5);
    Uint32 rc = 1;
    std::thread writer([&] { rc = t.q.put(big.data(), 40); });
    ASSERT_TRUE(kivtestEventually([&] { return waiting(t.q.header->writerWaiting); }));
    ASSERT_EQ(0u, t.q.flush());
    // The writer carries on into the emptied ring and blocks again: the
    // message is broken, as a flush during a put must break it.
    ASSERT_TRUE(kivtestEventually([&] { return waiting(t.q.header->writerWaiting); }));
    EXPECT_EQ(16u, t.used());
    ASSERT_EQ(0u, t.q.flush());
    writer.join();
    EXPECT_EQ(0u, rc);
    ASSERT_EQ(0u, t.q.flush());
    ASSERT_EQ(0u, t.q.put("ok", 2));
    EXPECT_EQ("ok", t.take());
}

TEST(IPCQueue, AWriterBlockedByEmptyMessagesIsWokenByTheirReader)
{
    TestQueue t(8);
    ASSERT_EQ(0u, t.rc);
    ASSERT_EQ(0u, t.q.put(nullptr, 0));
    ASSERT_EQ(0u, t.q.put(nullptr, 0));
    std::thread writer([&] { EXPECT_EQ(0u, t.q.put(nullptr, 0)); });
    ASSERT_TRUE(kivtestEventually([&] { return waiting(t.q.header->writerWaiting); }));
    Uint32 n = 1;
    ASSERT_EQ(0u, t.q.get(nullptr, 0, &n, 0));
    writer.join();
    EXPECT_EQ(8u, t.used());
}

TEST(IPCQueue, AttachNeedsAllThreeObjects)
{
    KIVIPCQueResID ids = kivtestQueResID(kivtestUniqueName("kivque_part"));
    KIVHIPCMemory section;
    KIVIPCMemoryCreateParam mp;
    mp.resID = ids.memory;
    mp.size = 64;
    ASSERT_EQ(0u, section.create(&mp));

    KivLogCapture log;
    KIVHIPCQueue q;
    EXPECT_EQ(ECF_QUE_DOESNT_EXIST, q.attach(&ids));
    EXPECT_EQ(KIVFN_KIVHIPCSEMAPHORE_ATTACH,
              log.at(KIVFN_KIVHIPCQUEUE_ATTACH, 50).calledFunctionId);
    EXPECT_FALSE(q.memory.isAttached());

    KIVHIPCSemaphore data;
    KIVIPCSemaphoreCreateParam sp(0, 0600, 0);
    sp.resID = ids.dataSemaphore;
    ASSERT_EQ(0u, data.create(&sp));
    EXPECT_EQ(ECF_QUE_DOESNT_EXIST, q.attach(&ids));
    EXPECT_TRUE(log.has(KIVFN_KIVHIPCQUEUE_ATTACH, 60));
    EXPECT_FALSE(q.memory.isAttached());
    EXPECT_FALSE(q.dataSemaphore.isAttached());
    EXPECT_EQ(0u, data.destroy());
    EXPECT_EQ(0u, section.detach());
}
