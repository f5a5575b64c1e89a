/*
 * test_queue.cpp - message queues (KIVHIPCQueue): sizing and the layout of
 * messages in the ring, the parameter and sequence checks, gets that find
 * nothing, too little room or an empty message, flush, attach and detach,
 * messages larger than the ring, readers that give up half-way, and
 * producers and consumers in separate processes (the consumers waiting
 * for the producers' puts) exchanging thousands of messages checked byte
 * for byte.
 */
#include "kivecf.h"
#include "kivipc.h"
#include "kivipcqueue.h"
#include "kivos.h"
#include "kivtest.h"
#include "kivtestlog.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
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

/* The size of message i of a stream: mostly small, now and then up to
 * three rings. */
Uint32 messageSize(Uint64 seed, Uint32 i, Uint32 ring)
{
    Uint64 r = kivtestMix(seed * 1000003 + i);
    switch (r % 8) {
    case 0:
        return Uint32((r >> 8) % (3 * ring + 1));
    case 1:
        return Uint32((r >> 8) % 4);
    default:
        return Uint32((r >> 8) % (ring / 2));
    }
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
        Uint32 section = 0;
        ASSERT_EQ(0u, t.q.memory.getMemorySize(&section));
        EXPECT_GE(section, s[1] + KIV_IPC_QUEUE_HEADER_SIZE);
        KIVIPCQueueInfo info;
        ASSERT_EQ(0u, t.q.query(&info));
        EXPECT_EQ(s[1], info.capacity);
        EXPECT_EQ(0u, info.usedBytes);
        EXPECT_EQ(s[1], info.freeBytes);
        // Both semaphores start empty.
        KIVIPCSemaphoreWaitParam poll(0);
        EXPECT_EQ(ECF_TIMEOUT, t.q.dataSemaphore.wait(&poll));
        EXPECT_EQ(ECF_TIMEOUT, t.q.spaceSemaphore.wait(&poll));
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

TEST(IPCQueue, ASemaphoreNameInUseStopsCreateHalfWay)
{
    KIVIPCQueResID ids = kivtestQueResID(kivtestUniqueName("kivque_sem"));
    KIVHIPCSemaphore squatter;
    KIVIPCSemaphoreCreateParam sp(0, 0600, 0);
    sp.resID = ids.spaceSemaphore;
    ASSERT_EQ(0u, squatter.create(&sp));

    KivLogCapture log;
    KIVHIPCQueue q;
    EXPECT_NE(0u, createQueue(q, ids, 64));
    EXPECT_EQ(KIVFN_KIVHIPCSEMAPHORE_CREATE,
              log.at(KIVFN_KIVHIPCQUEUE_CREATE, 70).calledFunctionId);
    // The earlier parts stay for the caller to destroy.
    EXPECT_TRUE(q.memory.isAttached());
    EXPECT_TRUE(q.dataSemaphore.isAttached());
    EXPECT_FALSE(q.isAttached());
    EXPECT_EQ(0u, q.destroy());
    EXPECT_FALSE(q.memory.isAttached());
    EXPECT_FALSE(q.dataSemaphore.isAttached());
    EXPECT_EQ(0u, squatter.destroy());
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

/* ---- between processes ------------------------------------------------------------------- */

namespace {

const Uint32 kStreamRing = 4096;
const Uint32 kStreamSeed = 20040702;

/* A message of a multi-producer stream: who sent it and its number, then
 * bytes that follow from both. */
struct Tag {
    Uint32 producer;
    Uint32 sequence;
};

Uint64 tagSeed(Uint32 producer, Uint32 sequence)
{
    return (Uint64(producer + 1) << 32) | sequence;
}

bool attachTo(KIVHIPCQueue& q, const std::string& path)
{
    KIVIPCQueResID ids = kivtestQueResID(path);
    return q.attach(&ids) == 0;
}

Uint32 argU(const std::vector<std::string>& args, size_t i)
{
    return (Uint32)std::atol(args.at(i).c_str());
}

} // namespace

/* args: queue path, count.  Puts the seeded stream. */
KIVTEST_CHILD(queueProducer)
{
    KIVHIPCQueue q;
    if (!attachTo(q, args.at(0)))
        return 2;
    std::vector<Uint8> buf(3 * kStreamRing + 1);
    for (Uint32 i = 0; i < argU(args, 1); ++i) {
        Uint32 size = messageSize(kStreamSeed, i, kStreamRing);
        kivtestFillBytes(buf.data(), size, kStreamSeed + i);
        if (q.put(buf.data(), size) != 0)
            return 3;
    }
    return q.detach() == 0 ? 0 : 4;
}

/* args: queue path, count.  Gets the seeded stream and checks every byte. */
KIVTEST_CHILD(queueConsumer)
{
    KIVHIPCQueue q;
    if (!attachTo(q, args.at(0)))
        return 2;
    std::vector<Uint8> got(3 * kStreamRing + 1), want(got.size());
    for (Uint32 i = 0; i < argU(args, 1); ++i) {
        Uint32 n = 0;
        if (q.get(got.data(), (Uint32)got.size(), &n, 60000) != 0)
            return 3;
        Uint32 size = messageSize(kStreamSeed, i, kStreamRing);
        if (n != size)
            return 4;
        kivtestFillBytes(want.data(), size, kStreamSeed + i);
        if (memcmp(got.data(), want.data(), size) != 0)
            return 5;
    }
    Uint32 n = 0;
    if (q.get(got.data(), (Uint32)got.size(), &n, 0) != ECF_QUE_INVALID_MSG_TYPE)
        return 6;
    return q.detach() == 0 ? 0 : 7;
}

TEST(IPCQueueProcesses, AProducerAndAConsumerExchangeThousandsOfMessages)
{
    TestQueue t(kStreamRing, "kivque_pc");
    ASSERT_EQ(0u, t.rc);
    const std::string count = "3000";
    KivTestProcess consumer = kivtestSpawnChild("queueConsumer", {t.path, count});
    KivTestProcess producer = kivtestSpawnChild("queueProducer", {t.path, count});
    EXPECT_EQ(0, kivtestWaitChild(producer));
    EXPECT_EQ(0, kivtestWaitChild(consumer));
    EXPECT_FALSE(t.q.hasMessage());
}

/* args: queue path, producer index, count.  Puts tagged messages. */
KIVTEST_CHILD(queueTaggedProducer)
{
    KIVHIPCQueue q;
    if (!attachTo(q, args.at(0)))
        return 2;
    Uint32 producer = argU(args, 1);
    std::vector<Uint8> buf(sizeof(Tag) + 3 * kStreamRing);
    for (Uint32 i = 0; i < argU(args, 2); ++i) {
        Tag tag{producer, i};
        Uint32 body = messageSize(tagSeed(producer, i), i, kStreamRing);
        memcpy(buf.data(), &tag, sizeof tag);
        kivtestFillBytes(buf.data() + sizeof tag, body, tagSeed(producer, i));
        if (q.put(buf.data(), (Uint32)sizeof tag + body) != 0)
            return 3;
    }
    return q.detach() == 0 ? 0 : 4;
}

/* args: queue path, consumer index, producers, count.  Gets tagged
 * messages until an empty one, checks each, and marks it in the section. */
KIVTEST_CHILD(queueTaggedConsumer)
{
    KIVHIPCQueue q;
    KIVIPCResID sectionId = kivtestResID(args.at(0), 9);
    KIVHIPCMemory marks;
    if (!attachTo(q, args.at(0)) || marks.attach(&sectionId, nullptr) != 0)
        return 2;
    Uint8* seen = static_cast<Uint8*>(marks.address);
    Uint8 self = Uint8(argU(args, 1) + 1);
    Uint32 producers = argU(args, 2), count = argU(args, 3);
    std::vector<Sint64> last(producers, -1);
    std::vector<Uint8> got(sizeof(Tag) + 3 * kStreamRing), want(got.size());
    for (;;) {
        Uint32 n = 0;
        if (q.get(got.data(), (Uint32)got.size(), &n, 60000) != 0)
            return 4;
        if (n == 0)
            break;
        Tag tag;
        if (n < sizeof tag)
            return 5;
        memcpy(&tag, got.data(), sizeof tag);
        if (tag.producer >= producers || tag.sequence >= count)
            return 6;
        // One producer's messages reach one consumer in their order.
        if ((Sint64)tag.sequence <= last[tag.producer])
            return 7;
        last[tag.producer] = tag.sequence;
        Uint32 body = messageSize(tagSeed(tag.producer, tag.sequence), tag.sequence, kStreamRing);
        if (n != sizeof tag + body)
            return 8;
        kivtestFillBytes(want.data(), body, tagSeed(tag.producer, tag.sequence));
        if (memcmp(got.data() + sizeof tag, want.data(), body) != 0)
            return 9;
        Uint8& mark = seen[tag.producer * count + tag.sequence];
        if (mark != 0)
            return 10;
        mark = self;
    }
    marks.detach();
    return q.detach() == 0 ? 0 : 11;
}

TEST(IPCQueueProcesses, WritersAndReadersNeverInterleaveMessages)
{
    TestQueue t(kStreamRing, "kivque_many");
    ASSERT_EQ(0u, t.rc);
    const Uint32 producers = 3, consumers = 2, count = 800;
    KIVIPCMemoryCreateParam mp;
    mp.resID = kivtestResID(t.path, 9);
    mp.size = producers * count;
    KIVHIPCMemory marks;
    ASSERT_EQ(0u, marks.create(&mp));
    memset(marks.address, 0, mp.size);

    std::vector<KivTestProcess> readers, writers;
    for (Uint32 c = 0; c < consumers; ++c)
        readers.push_back(kivtestSpawnChild("queueTaggedConsumer",
                                            {t.path, std::to_string(c), std::to_string(producers),
                                             std::to_string(count)}));
    for (Uint32 p = 0; p < producers; ++p)
        writers.push_back(kivtestSpawnChild(
            "queueTaggedProducer", {t.path, std::to_string(p), std::to_string(count)}));
    for (auto& w : writers)
        EXPECT_EQ(0, kivtestWaitChild(w));
    for (Uint32 c = 0; c < consumers; ++c)
        ASSERT_EQ(0u, t.q.put(nullptr, 0));   // one end mark per reader
    for (auto& r : readers)
        EXPECT_EQ(0, kivtestWaitChild(r));

    // Every message reached exactly one reader (a second would have failed).
    const Uint8* seen = static_cast<const Uint8*>(marks.address);
    Uint32 missing = 0;
    for (Uint32 i = 0; i < producers * count; ++i)
        missing += seen[i] == 0;
    EXPECT_EQ(0u, missing);
    EXPECT_FALSE(t.q.hasMessage());
    EXPECT_EQ(0u, marks.detach());
}
