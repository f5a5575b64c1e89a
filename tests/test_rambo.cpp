/* test_rambo.cpp - the lock-free trace ring buffer: layout, seal, the three
 * modes at their edges, dump header and tail, writers in several processes. */
#include "rambo.h"

#include <atomic>
#include <chrono>
#include <future>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <string.h>

#include "kivatomic.h"
#include "kivecf.h"
#include "kivtest.h"

namespace {

const Uint32 kSmall = RAMBO_MIN_BUFFER_SIZE; /* 8192 slots, 4 chunks */
const Uint32 kSmallSlots = kSmall / RAMBO_SLOT_SIZE;

/* A buffer in private memory; `fill`: what the memory held before. */
class Ring {
public:
    Ring(Uint32 mode, Uint32 bufferSize = kSmall, Uint8 fill = 0)
        : m_mem(ramboGetAllocSize(bufferSize) / 8 + 1, 0)
    {
        memset(m_mem.data(), fill, m_mem.size() * 8);
        EXPECT_EQ(0u, ramboInitialize(cb(), bufferSize, mode));
    }
    RAMBOCB* cb() { return reinterpret_cast<RAMBOCB*>(m_mem.data()); }
    Uint8* slot(Uint32 index) { return ramboSlots(cb()) + static_cast<size_t>(index) * 64; }
    RAMBOCK* chunk(Uint32 k) { return ramboChunks(cb()) + k; }
    Uint8* scratch() { return reinterpret_cast<Uint8*>(cb()) + cb()->scratchOffset; }

private:
    std::vector<Uint64> m_mem;
};

Uint32 load32(const void* p)
{
    Uint32 v;
    memcpy(&v, p, sizeof v);
    return v;
}
Uint16 load16(const void* p)
{
    Uint16 v;
    memcpy(&v, p, sizeof v);
    return v;
}

/* Payload: u32 writer, u32 length, u32 record number, then pattern bytes. */
const Uint32 kPayloadHead = 12;

inline Uint8 patternByte(Uint32 sequence, Uint32 writer, Uint32 j)
{
    return static_cast<Uint8>((sequence * 0x9Du) ^ (writer * 0x3Bu) ^ (j * 7u) ^ (j >> 8));
}

void fillPayload(Uint8* p, Uint32 length, Uint32 sequence, Uint32 writer, Uint32 k)
{
    memcpy(p, &writer, 4);
    memcpy(p + 4, &length, 4);
    memcpy(p + 8, &k, 4);
    for (Uint32 j = kPayloadHead; j < length; ++j)
        p[j] = patternByte(sequence, writer, j);
}

struct RecordId {
    Uint32 writer;
    Uint32 k;
};

/* Is a sealed record of n slots the payload its writer wrote? */
bool payloadIntact(const Uint8* record, Uint32 n, RecordId* id)
{
    const Uint32 sequence = load32(record);
    const Uint8* p = record + RAMBO_PAYLOAD_OFFSET;
    const Uint32 writer = load32(p);
    const Uint32 length = load32(p + 4);
    if (length < kPayloadHead || length > RAMBO_MAX_PAYLOAD || ramboSlotsFor(length) != n)
        return false;
    for (Uint32 j = kPayloadHead; j < length; ++j)
        if (p[j] != patternByte(sequence, writer, j))
            return false;
    id->writer = writer;
    id->k = load32(p + 8);
    return true;
}

/* Payload sizes: mostly one slot, many a few, some large, now and then the largest. */
Uint32 payloadSize(Uint32 writer, Uint32 k, Uint32 maxPayload)
{
    Uint32 h = writer * 0x10001u + k * 0x9E3779B9u + 1;
    h = (h ^ (h >> 16)) * 0x7FEB352Du;
    h = (h ^ (h >> 15)) * 0x846CA68Bu;
    h ^= h >> 16;
    const Uint32 kind = h & 63, r = h >> 8;
    return kind == 63  ? maxPayload
           : kind < 32 ? kPayloadHead + r % (RAMBO_ONE_SLOT_PAYLOAD - kPayloadHead + 1)
           : kind < 56 ? 53 + r % 548
                       : 601 + r % (maxPayload - 600);
}

Uint32 writeRecord(RAMBOCB* cb, Uint32 writer, Uint32 k, Uint32 length)
{
    RamboSlotInfo info;
    Uint8* p = length <= RAMBO_ONE_SLOT_PAYLOAD ? ramboReserveOneSlot(cb, &info)
                                                : ramboReserveSlots(cb, length, &info);
    fillPayload(p, length, info.sequence, writer, k);
    ramboSync(cb, &info);
    return info.sequence;
}

Uint32 writeSmall(RAMBOCB* cb, Uint32 writer = 0, Uint32 k = 0)
{
    return writeRecord(cb, writer, k, 20);
}

void writeSmalls(RAMBOCB* cb, Uint32 count)
{
    for (Uint32 k = 0; k < count; ++k)
        writeSmall(cb, 0, k);
}

RamboDumpTail tailOf(RAMBOCB* cb)
{
    RamboDumpTail tail;
    memset(&tail, 0xAB, sizeof tail);
    EXPECT_EQ(0u, ramboGetDumpTail(cb, &tail));
    return tail;
}


TEST(RamboSize, AllocSizeRoundingAndSlotsPerRecord)
{
    EXPECT_EQ(0xA0168u, ramboGetAllocSize(0x80000));
    for (Uint32 bad : {0xC0000u, 0x40000u, 0x80000000u, 0u})
        EXPECT_EQ(0u, ramboGetAllocSize(bad)) << std::hex << bad;
    /* 8192 descriptors of 20 bytes are already a multiple of 8. */
    EXPECT_EQ(0x40000000u + 256 + 8192 * 20 + 24 + 0x20000, ramboGetAllocSize(0x40000000));
    EXPECT_EQ(0x100000u + 256 + 160 + 24 + 0x20000, ramboGetAllocSize(0x100000));

    const Uint32 rounding[][2] = {{0, 0}, {3, 2}, {0xFFFFFFFFu, 0x80000000u}};
    for (const auto& r : rounding)
        EXPECT_EQ(r[1], ramboRoundNearest2(r[0])) << std::hex << r[0];

    EXPECT_EQ(1u, ramboSlotsFor(52));
    EXPECT_EQ(2u, ramboSlotsFor(53));
    EXPECT_EQ(2048u, ramboSlotsFor(RAMBO_MAX_PAYLOAD));
}

TEST(RamboInit, LayoutOfEachMode)
{
    const struct {
        Uint32 mode, mask;
        Uint8 wraps, chunked, autoDump;
    } cases[] = {
        {RAMBO_MODE_WRAP, 16383, 1, 0, 0},
        {RAMBO_MODE_STOP, 32767, 0, 0, 0},
        {RAMBO_MODE_CHUNKED, 16383, 1, 1, 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mode);
        Ring ring(c.mode, 0x100000, 0xA5); /* 16384 slots, 8 chunks */
        RAMBOCB* cb = ring.cb();
        EXPECT_EQ(0, memcmp(cb->eyeCatcher, "RAMBOCB", 8));
        EXPECT_EQ(0u, cb->counter);
        EXPECT_EQ(0u, cb->sequenceStart);
        EXPECT_EQ(c.mask, cb->indexMask);
        EXPECT_EQ(256u, cb->chunksOffset);
        EXPECT_EQ(256u + 160u, cb->slotsOffset);
        EXPECT_EQ(256u + 160u + 0x100000u, cb->scratchOffset);
        EXPECT_EQ(0x100000u, cb->bufferSize);
        EXPECT_EQ(8u, cb->chunkCount);
        EXPECT_EQ(16384u, cb->slotCount);
        EXPECT_EQ(c.wraps, cb->wraps);
        EXPECT_EQ(c.chunked, cb->chunked);
        EXPECT_EQ(c.autoDump, cb->autoDump);
        for (Uint32 k = 0; k < 8; ++k) {
            EXPECT_EQ(0, memcmp(ring.chunk(k)->eyeCatcher, "RAMBOCK", 8));
            EXPECT_EQ(0u, ring.chunk(k)->completed);
            EXPECT_EQ(0u, ring.chunk(k)->writableGeneration);
            EXPECT_EQ(k, ring.chunk(k)->chunkNumber);
        }
        const Uint8* raw = reinterpret_cast<const Uint8*>(cb);
        for (Uint32 off = 167; off < 256; ++off)
            ASSERT_EQ(0u, raw[off]) << "offset " << off;
        /* The slots are cleared, the scratch area is not. */
        const Uint8* slots = ramboSlots(cb);
        for (Uint32 i = 0; i < 0x100000; ++i)
            ASSERT_EQ(0u, slots[i]) << "slot byte " << i;
        EXPECT_EQ(0xA5u, ring.scratch()[0]);
        EXPECT_EQ(0xA5u, ring.scratch()[RAMBO_SCRATCH_SIZE - 1]);
    }
}

TEST(RamboInit, CallsCheckTheirArgumentsAndChangeNothingWhenRefused)
{
    Ring wrap(RAMBO_MODE_WRAP), stop(RAMBO_MODE_STOP), chunked(RAMBO_MODE_CHUNKED);
    std::vector<Uint64> zero(ramboGetAllocSize(kSmall) / 8 + 1, 0);
    RAMBOCB* blank = reinterpret_cast<RAMBOCB*>(zero.data());
    RamboDumpHeader head;
    RamboDumpTail tail;
    RamboChunkWalker walker;

    /* The size is checked first; a bad size changes nothing. */
    EXPECT_EQ(ECF_RAMBO_INVALID_BUFFER_SIZE, ramboInitialize(wrap.cb(), 0x90000, 1));
    EXPECT_EQ(ECF_RAMBO_INVALID_BUFFER_SIZE, ramboInitialize(nullptr, 0x90000, 1));
    EXPECT_EQ(ECF_INVALID_PARAMETER, ramboInitialize(nullptr, kSmall, 1));
    EXPECT_EQ(0u, ramboNewSequence(wrap.cb()));

    EXPECT_EQ(ECF_INVALID_PARAMETER, ramboNewSequence(nullptr));
    EXPECT_EQ(ECF_RAMBO_NOT_INITIALIZED, ramboNewSequence(blank));
    EXPECT_EQ(ECF_NOT_SUPPORTED, ramboNewSequence(chunked.cb()));
    EXPECT_EQ(ECF_INVALID_PARAMETER, ramboAutoDumpEnabled(nullptr, 1));
    EXPECT_EQ(ECF_RAMBO_AUTO_DUMP_NOT_ALLOWED, ramboAutoDumpEnabled(stop.cb(), 0));
    EXPECT_EQ(ECF_INVALID_PARAMETER, ramboInitializeChunkWalker(nullptr, &walker));
    EXPECT_EQ(ECF_INVALID_PARAMETER, ramboGetDumpHeaderBuffer(nullptr, 1, &head, nullptr, nullptr));
    EXPECT_EQ(ECF_INVALID_PARAMETER, ramboGetDumpTail(nullptr, &tail));
    EXPECT_EQ(ECF_RAMBO_NOT_INITIALIZED, ramboGetDumpTail(blank, &tail));
    EXPECT_EQ(0u, chunked.cb()->counter);
    EXPECT_EQ(1u, chunked.cb()->autoDump);
    EXPECT_EQ(0u, zero[0]);

    /* A bad mode leaves the buffer uninitialised, and its latch free. */
    for (Uint32 mode : {0u, 3u}) {
        EXPECT_EQ(ECF_INVALID_PARAMETER, ramboInitialize(stop.cb(), kSmall, mode));
        EXPECT_EQ(ECF_RAMBO_NOT_INITIALIZED, ramboNewSequence(stop.cb()));
    }
    for (RAMBOCB* cb : {wrap.cb(), stop.cb(), chunked.cb()})
        EXPECT_EQ(0u, cb->latch.value()) << "latch left held";
}


TEST(RamboSeal, RecordFormatAndSealOrder)
{
    Ring ring(RAMBO_MODE_WRAP);
    RAMBOCB* cb = ring.cb();
    writeSmall(cb);

    RamboSlotInfo info;
    Uint8* p = ramboReserveSlots(cb, 200, &info); /* 4 slots */
    EXPECT_EQ(ring.slot(1), info.slot);
    EXPECT_EQ(info.slot + 8, p);
    EXPECT_EQ(1u, info.sequence);
    EXPECT_EQ(4u, info.slots);
    fillPayload(p, 200, info.sequence, 7, 0);

    /* Claimed, filled, not sealed: a reader must not take it. */
    EXPECT_EQ(0u, ramboSealedSlots(info.slot, 4 * 64));
    ramboSync(cb, &info);

    EXPECT_EQ(1u, load32(info.slot));
    EXPECT_EQ(0xCAFEu, load16(info.slot + 4));
    EXPECT_EQ(4u, load16(info.slot + 6));
    EXPECT_EQ(~1u, load32(info.slot + 4 * 64 - 4));
    EXPECT_EQ(4u, ramboSealedSlots(info.slot, 4 * 64));

    /* A reader that has not got the whole record does not take it. */
    EXPECT_EQ(0u, ramboSealedSlots(info.slot, 4 * 64 - 1));
    /* Nor one whose end was overwritten (a writer a lap ahead). */
    info.slot[4 * 64 - 2] ^= 1;
    EXPECT_EQ(0u, ramboSealedSlots(info.slot, 4 * 64));
}

/* Writers never wait for the administrative latch; administrative calls do. */
TEST(RamboSeal, OnlyAdministrativeCallsTakeTheLatch)
{
    Ring ring(RAMBO_MODE_WRAP);
    RAMBOCB* cb = ring.cb();
    cb->latch.get();
    auto writer = std::async(std::launch::async, [cb] {
        writeSmall(cb);
        writeRecord(cb, 0, 1, 1000);
    });
    EXPECT_TRUE(writer.wait_for(std::chrono::seconds(30)) == std::future_status::ready)
        << "a writer waited for the administrative latch";
    std::atomic<bool> done{false};
    std::thread admin([&] {
        EXPECT_EQ(0u, ramboNewSequence(cb));
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(done.load());
    EXPECT_EQ(1u + 16u, cb->counter);
    cb->latch.release();
    writer.wait();
    admin.join();
    EXPECT_EQ(kSmallSlots + 17u, cb->counter);
}


TEST(RamboWrap, RecordThatWouldCrossTheEndIsClaimedAgainAtTheStart)
{
    Ring ring(RAMBO_MODE_WRAP);
    RAMBOCB* cb = ring.cb();
    /* A full lap and then all but two slots of the next. */
    writeSmalls(cb, 2 * kSmallSlots - 2);
    RamboSlotInfo info;
    Uint8* p = ramboReserveSlots(cb, 150, &info); /* 3 slots */
    EXPECT_EQ(2 * kSmallSlots + 1, info.sequence);
    EXPECT_EQ(ring.slot(1), info.slot);
    EXPECT_EQ(2 * kSmallSlots + 4, cb->counter);
    fillPayload(p, 150, info.sequence, 0, 99);
    ramboSync(cb, &info);

    /* The two slots at the end keep their records of the first lap. */
    EXPECT_EQ(1u, ramboSealedSlots(ring.slot(kSmallSlots - 2), 128));
    EXPECT_EQ(kSmallSlots - 1, load32(ring.slot(kSmallSlots - 1)));
    RecordId id;
    ASSERT_EQ(3u, ramboSealedSlots(ring.slot(1), 3 * 64));
    EXPECT_TRUE(payloadIntact(ring.slot(1), 3, &id));
    EXPECT_EQ(99u, id.k);
}


std::atomic<Uint32> g_fullCalls{0};
void countFull() { ++g_fullCalls; }

class RamboStop : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_fullCalls = 0;
        ramboSetCallBack(countFull);
    }
    void TearDown() override { ramboSetCallBack(nullptr); }
};

TEST_F(RamboStop, RecordThatDoesNotFitGoesToScratchAndCallsBack)
{
    Ring ring(RAMBO_MODE_STOP);
    RAMBOCB* cb = ring.cb();
    writeSmalls(cb, kSmallSlots - 2);
    RamboSlotInfo info;
    Uint8* p = ramboReserveSlots(cb, 150, &info); /* 3 slots, 2 left */
    EXPECT_EQ(ring.scratch(), info.slot);
    EXPECT_EQ(ring.scratch() + 8, p);
    EXPECT_EQ(1u, g_fullCalls.load());
    fillPayload(p, 150, info.sequence, 0, 0);
    ramboSync(cb, &info);
    /* The last two slots stay empty; the claim is not given back. */
    EXPECT_EQ(0u, load32(ring.slot(kSmallSlots - 2) + 4));
    EXPECT_EQ(0u, load32(ring.slot(kSmallSlots - 1) + 4));
    EXPECT_EQ(kSmallSlots + 1, cb->counter);
    const std::vector<Uint8> before(ring.slot(0), ring.slot(0) + kSmall);

    /* Nothing fits any more, not even one slot; the largest record goes to
     * the scratch area as one slot, and without a callback too. */
    ramboReserveOneSlot(cb, &info);
    EXPECT_EQ(ring.scratch(), info.slot);
    EXPECT_EQ(2u, g_fullCalls.load());
    ramboSetCallBack(nullptr);
    p = ramboReserveSlots(cb, RAMBO_MAX_PAYLOAD, &info);
    EXPECT_EQ(ring.scratch() + 8, p);
    EXPECT_EQ(1u, info.slots);
    fillPayload(p, RAMBO_MAX_PAYLOAD, info.sequence, 0, 0);
    ramboSync(cb, &info);
    EXPECT_EQ(2u, g_fullCalls.load());
    EXPECT_EQ(kSmallSlots + 2 + 2048, cb->counter);
    EXPECT_EQ(0, memcmp(before.data(), ring.slot(0), kSmall)) << "a full buffer was written";

    const RamboDumpTail tail = tailOf(cb);
    EXPECT_EQ(1u, tail.truncated);
    EXPECT_EQ(kSmallSlots, tail.counter);
    EXPECT_EQ(0u, tail.slotIndex);
    EXPECT_EQ(0u, tail.sequenceStart);
}

TEST_F(RamboStop, NewSequenceEmptiesTheBufferAgain)
{
    Ring ring(RAMBO_MODE_STOP);
    RAMBOCB* cb = ring.cb();
    cb->counter = kSmallSlots + 5; /* overflowed */
    ASSERT_EQ(0u, ramboNewSequence(cb));
    EXPECT_EQ(2 * kSmallSlots, cb->counter);

    EXPECT_EQ(0u, writeSmall(cb) & cb->indexMask);
    EXPECT_EQ(0u, g_fullCalls.load());
    EXPECT_EQ(0u, tailOf(cb).truncated);
    cb->counter = 0xFFFFFFF0u; /* about to wrap round */
    ASSERT_EQ(0u, ramboNewSequence(cb));
    EXPECT_EQ(0u, cb->counter);
}


std::future<Uint32> startWriter(RAMBOCB* cb)
{
    return std::async(std::launch::async, [cb] { return writeSmall(cb, 5); });
}
/* Still waiting after a pause (can only be wrongly false). */
bool stillWaiting(std::future<Uint32>& writer)
{
    return writer.wait_for(std::chrono::milliseconds(50)) == std::future_status::timeout;
}

TEST(RamboChunked, SealsAreCountedPerChunkWhileAutoDumpIsOn)
{
    Ring ring(RAMBO_MODE_CHUNKED);
    RAMBOCB* cb = ring.cb();
    /* A record from slot 2046 over the chunk boundary: 2 + 2 slots. */
    cb->counter = 2046;
    RamboSlotInfo info;
    ramboReserveSlots(cb, 200, &info);
    EXPECT_EQ(ring.chunk(0), info.chunk);
    EXPECT_EQ(2u, info.firstChunkSlots);
    ramboSync(cb, &info);
    EXPECT_EQ(2u, ring.chunk(0)->completed);
    EXPECT_EQ(2u, ring.chunk(1)->completed);

    ASSERT_EQ(0u, ramboAutoDumpEnabled(cb, 0));
    writeRecord(cb, 0, 0, 1000);
    EXPECT_EQ(2u, ring.chunk(1)->completed);
}

TEST(RamboChunked, WriterOfTheNextLapWaitsUntilAutoDumpIsSwitchedOff)
{
    Ring ring(RAMBO_MODE_CHUNKED);
    RAMBOCB* cb = ring.cb();
    writeSmalls(cb, kSmallSlots);
    for (Uint32 c = 0; c < 4; ++c)
        EXPECT_EQ(2048u, ring.chunk(c)->completed);

    /* Chunk 0 was never released for the second lap. */
    auto writer = startWriter(cb);
    EXPECT_TRUE(stillWaiting(writer));
    ASSERT_EQ(0u, ramboAutoDumpEnabled(cb, 0));
    EXPECT_EQ(kSmallSlots, writer.get());
    EXPECT_EQ(1u, ramboSealedSlots(ring.slot(0), 64));
    EXPECT_EQ(2048u, ring.chunk(0)->completed); /* not counted while off */

    /* Back on: the next writer in chunk 0 waits again, and the dumper's
     * release of the chunk lets it in. */
    ASSERT_EQ(0u, ramboAutoDumpEnabled(cb, 1));
    EXPECT_EQ(1u, cb->autoDump);
    auto second = startWriter(cb);
    EXPECT_TRUE(stillWaiting(second));
    ring.chunk(0)->completed = 0;
    kivAtomicStore32(&ring.chunk(0)->writableGeneration, 1);
    EXPECT_EQ(kSmallSlots + 1, second.get());
    EXPECT_EQ(1u, ring.chunk(0)->completed);
}


TEST(RamboDump, HeaderOfEachMode)
{
    for (Uint32 mode : {RAMBO_MODE_WRAP, RAMBO_MODE_STOP, RAMBO_MODE_CHUNKED}) {
        SCOPED_TRACE(mode);
        Ring ring(mode, 0x100000);
        RamboDumpHeader head;
        memset(&head, 0xFF, sizeof head);
        void* data = nullptr;
        Uint32 size = 0;
        ASSERT_EQ(0u, ramboGetDumpHeaderBuffer(ring.cb(), 1, &head, &data, &size));
        EXPECT_EQ(0x100000u, head.bufferSize);
        EXPECT_EQ(1u, head.dumpType);
        EXPECT_EQ(mode == RAMBO_MODE_STOP ? 0u : 1u, head.wraps);
        EXPECT_EQ(ring.slot(0), data);
        ASSERT_EQ(0u, ramboGetDumpHeaderBuffer(ring.cb(), 0, &head, nullptr, nullptr));
        EXPECT_EQ(2u, head.dumpType);
        EXPECT_EQ(0u, ring.cb()->latch.value());
    }
}

TEST(RamboDump, TailOfWrappingAndStopBuffers)
{
    Ring wrap(RAMBO_MODE_WRAP);
    wrap.cb()->counter = 3 * kSmallSlots + 17;
    wrap.cb()->sequenceStart = 2 * kSmallSlots;
    RamboDumpTail tail = tailOf(wrap.cb());
    EXPECT_EQ(3 * kSmallSlots + 17, tail.counter);
    EXPECT_EQ(17u, tail.slotIndex);
    EXPECT_EQ(2 * kSmallSlots, tail.sequenceStart);
    EXPECT_EQ(0u, tail.truncated);

    /* Stop when full: the counter is rounded to whole laps when truncated,
     * the sequence start never reported. */
    Ring stop(RAMBO_MODE_STOP);
    stop.cb()->sequenceStart = 55;
    const Uint32 cases[][3] = {{100, 100, 0},
                               {kSmallSlots + 3000, kSmallSlots, 1},
                               {5 * kSmallSlots + 1, 5 * kSmallSlots, 1}};
    for (const auto& c : cases) {
        stop.cb()->counter = c[0];
        tail = tailOf(stop.cb());
        EXPECT_EQ(c[1], tail.counter) << c[0];
        EXPECT_EQ(c[2], tail.truncated) << c[0];
        EXPECT_EQ(0u, tail.slotIndex);
        EXPECT_EQ(0u, tail.sequenceStart);
    }
}


/* Shared memory: this head, then the buffer at kRingOffset. */
struct SharedHead {
    volatile Uint32 started;
    volatile Uint32 go;
    volatile Uint32 fullCalls;
};
const size_t kRingOffset = 4096;
const Uint32 kChildren = 3;
const Uint32 kThreadsPerChild = 2;
const Uint32 kWriters = kChildren * kThreadsPerChild;
/* Only against hangs: far beyond anything a working buffer needs. */
const auto kHangGuard = std::chrono::seconds(120);

size_t sharedSize(Uint32 bufferSize) { return kRingOffset + ramboGetAllocSize(bufferSize); }
RAMBOCB* ringOf(void* shared)
{
    return reinterpret_cast<RAMBOCB*>(static_cast<Uint8*>(shared) + kRingOffset);
}

std::atomic<Uint32> g_childFullCalls{0};
void childFull() { ++g_childFullCalls; }

/* args: shared name, buffer size, first writer id, records per writer,
 * largest payload.  Each thread is one writer. */
KIVTEST_CHILD(ramboWriters)
{
    if (args.size() != 5)
        return 2;
    Uint32 n[5];
    for (int i = 1; i < 5; ++i)
        n[i] = static_cast<Uint32>(std::stoul(args[i]));
    const Uint32 bufferSize = n[1], firstWriter = n[2], records = n[3], maxPayload = n[4];
    void* shared = kivtestShmOpen(args[0], sharedSize(bufferSize), false);
    if (shared == nullptr)
        return 3;
    SharedHead* head = static_cast<SharedHead*>(shared);
    RAMBOCB* cb = ringOf(shared);
    ramboSetCallBack(childFull);

    /* Every writer of every process checks in, then all start at once. */
    std::vector<std::thread> threads;
    for (Uint32 t = 0; t < kThreadsPerChild; ++t)
        threads.emplace_back([=] {
            kivAtomicIncrement32(&head->started);
            while (kivAtomicLoad32(&head->go) == 0)
                std::this_thread::yield();
            for (Uint32 k = 0; k < records; ++k)
                writeRecord(cb, firstWriter + t, k, payloadSize(firstWriter + t, k, maxPayload));
        });
    for (auto& t : threads)
        t.join();
    kivAtomicAdd32(&head->fullCalls, g_childFullCalls.load());
    kivtestShmClose(shared, sharedSize(bufferSize));
    return 0;
}

TEST(RamboProcesses, StopBufferKeepsEveryRecordThatFitted)
{
    const Uint32 size = 0x400000, slots = size / 64, records = 3200, maxPayload = 2000;
    Uint32 total = 0;
    for (Uint32 w = 0; w < kWriters; ++w)
        for (Uint32 k = 0; k < records; ++k)
            total += ramboSlotsFor(payloadSize(w, k, maxPayload));
    /* Enough to overflow, not enough for the index to come round. */
    ASSERT_GT(total, slots + 2048);
    ASSERT_LT(total, 2 * slots);

    struct Shared {
        std::string name;
        size_t size;
        void* p = kivtestShmOpen(name, size, true);
        ~Shared() { if (p != nullptr) kivtestShmClose(p, size); kivtestShmUnlink(name); }
    } mem{kivtestUniqueName("kivrambo"), sharedSize(size)};
    ASSERT_NE(nullptr, mem.p);
    const std::string& name = mem.name;
    void* shared = mem.p;
    SharedHead* head = static_cast<SharedHead*>(shared);
    RAMBOCB* cb = ringOf(shared);
    EXPECT_EQ(0u, ramboInitialize(cb, size, RAMBO_MODE_STOP));
    std::vector<KivTestProcess> children;
    for (Uint32 c = 0; c < kChildren; ++c)
        children.push_back(kivtestSpawnChild(
            "ramboWriters", {name, std::to_string(size), std::to_string(c * kThreadsPerChild),
                             std::to_string(records), std::to_string(maxPayload)}));
    const auto deadline = std::chrono::steady_clock::now() + kHangGuard;
    while (kivAtomicLoad32(&head->started) < kWriters && !HasFailure()) {
        if (std::chrono::steady_clock::now() > deadline)
            ADD_FAILURE() << "writers did not start";
        std::this_thread::yield();
    }
    kivAtomicStore32(&head->go, 1);
    for (auto& child : children)
        EXPECT_EQ(0, kivtestWaitChild(child));
    EXPECT_EQ(total, cb->counter) << "every claim takes exactly its slots";

    /* Records tile the array from slot 0, in sequence order; after the
     * first claim that did not fit, nothing was written. */
    std::set<std::pair<Uint32, Uint32>> found; /* writer, record number */
    const Uint8* array = ramboSlots(cb);
    Uint32 i = 0;
    for (Uint32 n; i < slots && (n = ramboSealedSlots(array + static_cast<size_t>(i) * 64,
                                                       (slots - i) * 64)) != 0; i += n) {
        const Uint8* record = array + static_cast<size_t>(i) * 64;
        RecordId id;
        ASSERT_EQ(i, load32(record)) << "sequence is not the slot position";
        ASSERT_TRUE(payloadIntact(record, n, &id)) << "slot " << i;
        ASSERT_TRUE(id.writer < kWriters && id.k < records) << "slot " << i;
        ASSERT_TRUE(found.emplace(id.writer, id.k).second) << "slot " << i << " twice";
    }
    for (Uint32 j = i * 64; j < size; ++j)
        ASSERT_EQ(0u, array[j]) << "byte " << j << " written after the buffer was full";
    EXPECT_GT(i, slots - 2048);

    /* Every other record went to the scratch area and called back. */
    EXPECT_EQ(kWriters * records - found.size(), head->fullCalls);
    const RamboDumpTail tail = tailOf(cb);
    EXPECT_EQ(1u, tail.truncated);
    EXPECT_EQ(slots, tail.counter);
}

} // namespace

TEST(RamboSeal, NewerRecordOverTheEndOfAnOlderOneInvalidatesIt)
{
    Ring ring(RAMBO_MODE_WRAP);
    RAMBOCB* cb = ring.cb();
    const Uint32 oldSeq = writeRecord(cb, 1, 0, 150); /* slots 0..2 */
    ASSERT_EQ(3u, ramboSealedSlots(ring.slot(0), 3 * 64));

    /* One lap later a one-slot record lands on the old record's last slot:
     * both trailers live in the same word. */
    cb->counter = oldSeq + kSmallSlots + 2;
    EXPECT_EQ(2u, writeSmall(cb, 2) & cb->indexMask);
    EXPECT_EQ(0u, ramboSealedSlots(ring.slot(0), 3 * 64));
    EXPECT_EQ(1u, ramboSealedSlots(ring.slot(2), 64));
}
