/*
 * rambo.cpp - the lock-free trace ring buffer.
 *
 * Writers never take the latch: a claim is one fetch-and-add on the counter,
 * and everything a writer needs afterwards (mask, slot count, offsets, mode
 * bytes) is fixed at initialisation and read without ordering.  The latch
 * only keeps the administrative calls from interleaving with each other.
 */
#include "rambo.h"

#include <string.h>

#include "kivatomic.h"
#include "kivecf.h"
#include "kivthread.h"

namespace {

const char kControlEye[8] = {'R', 'A', 'M', 'B', 'O', 'C', 'B', '\0'};
const char kChunkEye[8]   = {'R', 'A', 'M', 'B', 'O', 'C', 'K', '\0'};
const char kHeadEye[8]    = {'@', 'H', 'E', 'A', 'D', '\r', '\n', '\0'};
const char kTailEye[8]    = {'@', 'T', 'A', 'I', 'L', '\r', '\n', '\0'};

/* Each process registers its own: the shared block cannot hold a code
 * address that is valid in every process. */
RamboFullCallback g_fullCallback = nullptr;

inline Uint32 descriptorBytes(Uint32 chunkCount)
{
    return (chunkCount * RAMBO_CHUNK_DESC_SIZE + 7u) & ~7u;
}

inline bool isInitialized(const RAMBOCB* cb)
{
    return memcmp(cb->eyeCatcher, kControlEye, sizeof kControlEye) == 0;
}

/* The checks every administrative call starts with. */
inline Uint32 checkBuffer(const RAMBOCB* cb)
{
    if (cb == nullptr)
        return ECF_INVALID_PARAMETER;
    return isInitialized(cb) ? 0u : ECF_RAMBO_NOT_INITIALIZED;
}

/* The same for an operation that fills `out`, which is checked first. */
inline Uint32 checkBufferAndOut(const RAMBOCB* cb, const void* out)
{
    return out == nullptr ? ECF_INVALID_PARAMETER : checkBuffer(cb);
}

class LatchHold {
public:
    explicit LatchHold(RAMBOCB* cb) : m_latch(cb->latch) { m_latch.get(); }
    ~LatchHold() { m_latch.release(); }
    LatchHold(const LatchHold&) = delete;
    LatchHold& operator=(const LatchHold&) = delete;

private:
    KIVLatch& m_latch;
};

inline Uint8* slotAt(RAMBOCB* cb, Uint32 index)
{
    return ramboSlots(cb) + (static_cast<size_t>(index) << RAMBO_SLOT_SHIFT);
}

inline RAMBOCK* chunkOfSlot(RAMBOCB* cb, Uint32 index)
{
    return ramboChunks(cb) + (index >> RAMBO_CHUNK_SHIFT);
}

inline Uint8* scratchArea(RAMBOCB* cb)
{
    return reinterpret_cast<Uint8*>(cb) + cb->scratchOffset;
}

inline bool autoDumpOn(const RAMBOCB* cb)
{
    return __atomic_load_n(&cb->autoDump, __ATOMIC_ACQUIRE) != 0;
}

/* A writer of lap `generation` enters a chunk once the dumper has made that
 * lap writable there.  The generation is only compared, never written: it
 * belongs to the dumper.  Switching auto-dump off ends every wait. */
void waitForChunk(RAMBOCB* cb, RAMBOCK* chunk, Uint32 generation)
{
    while (autoDumpOn(cb)) {
        if (kivWin32CompareSwapAndReturn32Internal(&chunk->writableGeneration, generation,
                                                   generation) == generation)
            return;
        kivYield();
    }
}

inline void countCompleted(RAMBOCB* cb, RAMBOCK* chunk, Uint32 slots)
{
    if (autoDumpOn(cb))
        kivWin32FetchAndAdd32Internal(&chunk->completed, slots);
}

/* A stop-when-full buffer has no room: the record goes to the scratch area,
 * which is never dumped, and the claimed sequence numbers stay lost. */
Uint8* overflow(RAMBOCB* cb, Uint32 sequence, RamboSlotInfo* info)
{
    RamboFullCallback callback = __atomic_load_n(&g_fullCallback, __ATOMIC_ACQUIRE);
    if (callback != nullptr)
        callback();
    info->slot = scratchArea(cb);
    info->chunk = nullptr;
    info->sequence = sequence;
    info->slots = 1;
    info->firstChunkSlots = 1;
    return info->slot + RAMBO_PAYLOAD_OFFSET;
}

/* Chunked mode, a claim of n slots from index i that would run past the end:
 * blank the tail of this lap and the head of the next (so the dumper's counts
 * stay whole and no reader sees stale records there) and let the caller claim
 * again.  The tail lies in the last chunk and the head in chunk 0, because a
 * record spans at most one chunk's worth of slots. */
void padChunkedWrap(RAMBOCB* cb, Uint32 sequence, Uint32 index, Uint32 n)
{
    const Uint32 tailPart = cb->slotCount - index;
    const Uint32 wrapPart = n - tailPart;
    const Uint32 generation = sequence / cb->slotCount;

    RAMBOCK* last = chunkOfSlot(cb, index);
    waitForChunk(cb, last, generation);
    memset(slotAt(cb, index), 0, static_cast<size_t>(tailPart) << RAMBO_SLOT_SHIFT);
    countCompleted(cb, last, tailPart);

    RAMBOCK* first = ramboChunks(cb);
    waitForChunk(cb, first, generation + 1);
    memset(slotAt(cb, 0), 0, static_cast<size_t>(wrapPart) << RAMBO_SLOT_SHIFT);
    countCompleted(cb, first, wrapPart);
}

/* Chunked mode: wait until the dumper lets this lap into the record's chunk,
 * and into the next one too when the record runs over into it. */
void enterChunks(RAMBOCB* cb, Uint32 index, RamboSlotInfo* info)
{
    const Uint32 generation = info->sequence / cb->slotCount;
    const Uint32 n = info->slots;
    info->chunk = chunkOfSlot(cb, index);
    waitForChunk(cb, info->chunk, generation);

    const Uint32 room = RAMBO_CHUNK_SLOTS - (index & (RAMBO_CHUNK_SLOTS - 1));
    if (room >= n) {
        info->firstChunkSlots = static_cast<Uint16>(n);
        return;
    }
    info->firstChunkSlots = static_cast<Uint16>(room);
    waitForChunk(cb, info->chunk + 1, generation);
}

inline Uint8* claimed(RAMBOCB* cb, Uint32 sequence, Uint32 index, Uint32 n, RamboSlotInfo* info)
{
    info->slot = slotAt(cb, index);
    info->chunk = nullptr;
    info->sequence = sequence;
    info->slots = static_cast<Uint16>(n);
    info->firstChunkSlots = static_cast<Uint16>(n);
    if (cb->chunked)
        enterChunks(cb, index, info);
    return info->slot + RAMBO_PAYLOAD_OFFSET;
}

} // namespace

Uint32 ramboRoundNearest2(Uint32 v)
{
    return v == 0 ? 0u : 1u << (31 - __builtin_clz(v));
}

Uint32 ramboGetAllocSize(Uint32 bufferSize)
{
    if (bufferSize < RAMBO_MIN_BUFFER_SIZE || bufferSize > RAMBO_MAX_BUFFER_SIZE ||
        ramboRoundNearest2(bufferSize) != bufferSize)
        return 0;
    return bufferSize + RAMBO_CB_SIZE + descriptorBytes(bufferSize >> 17) + RAMBO_SPARE_SIZE +
           RAMBO_SCRATCH_SIZE;
}

Uint32 ramboInitialize(RAMBOCB* cb, Uint32 bufferSize, Uint32 mode)
{
    if (ramboGetAllocSize(bufferSize) == 0)
        return ECF_RAMBO_INVALID_BUFFER_SIZE;
    if (cb == nullptr)
        return ECF_INVALID_PARAMETER;

    memset(cb, 0, sizeof *cb);
    cb->latch.init();
    cb->latch.get();
    if (mode != RAMBO_MODE_WRAP && mode != RAMBO_MODE_STOP && mode != RAMBO_MODE_CHUNKED) {
        cb->latch.release();
        return ECF_INVALID_PARAMETER;
    }

    const Uint32 chunkCount = bufferSize >> 17;
    cb->counter = 0;
    cb->sequenceStart = 0;
    cb->bufferSize = bufferSize;
    cb->chunksOffset = RAMBO_CB_SIZE;
    cb->slotsOffset = RAMBO_CB_SIZE + descriptorBytes(chunkCount);
    cb->scratchOffset = cb->slotsOffset + bufferSize;
    cb->chunkCount = chunkCount;
    cb->slotCount = (bufferSize >> RAMBO_SLOT_SHIFT) & 0x3FFF800u;
    memset(ramboSlots(cb), 0, bufferSize);

    cb->wraps = mode != RAMBO_MODE_STOP ? 1 : 0;
    cb->chunked = mode == RAMBO_MODE_CHUNKED ? 1 : 0;
    cb->autoDump = cb->chunked;
    /* A stop-when-full buffer counts two laps before its index comes round,
     * so that a full buffer stays full for a whole lap of claims. */
    cb->indexMask = mode == RAMBO_MODE_STOP ? chunkCount * 4096u - 1 : cb->slotCount - 1;

    RAMBOCK* chunks = ramboChunks(cb);
    for (Uint32 k = 0; k < chunkCount; ++k) {
        memcpy(chunks[k].eyeCatcher, kChunkEye, sizeof kChunkEye);
        chunks[k].completed = 0;
        chunks[k].writableGeneration = 0;
        chunks[k].chunkNumber = k;
    }

    /* Other processes test the eye-catcher before anything else: it must
     * not become visible before the layout it vouches for. */
    __atomic_thread_fence(__ATOMIC_RELEASE);
    memcpy(cb->eyeCatcher, kControlEye, sizeof kControlEye);
    cb->latch.release();
    return 0;
}

void ramboSetCallBack(RamboFullCallback fullCallback)
{
    __atomic_store_n(&g_fullCallback, fullCallback, __ATOMIC_RELEASE);
}

Uint8* ramboReserveOneSlot(RAMBOCB* cb, RamboSlotInfo* info)
{
    const Uint32 sequence = kivWin32FetchAndAdd32Internal(&cb->counter, 1);
    const Uint32 index = sequence & cb->indexMask;
    if (index >= cb->slotCount)
        return overflow(cb, sequence, info);
    return claimed(cb, sequence, index, 1, info);
}

Uint8* ramboReserveSlots(RAMBOCB* cb, Uint32 payloadBytes, RamboSlotInfo* info)
{
    const Uint32 n = ramboSlotsFor(payloadBytes);
    for (;;) {
        const Uint32 sequence = kivWin32FetchAndAdd32Internal(&cb->counter, n);
        const Uint32 index = sequence & cb->indexMask;
        if (index + n <= cb->slotCount)
            return claimed(cb, sequence, index, n, info);
        if (!cb->wraps)
            return overflow(cb, sequence, info);
        /* Records never cross the end of a wrapping ring: the slots up to
         * the end are given up and the record is claimed again. */
        if (cb->chunked)
            padChunkedWrap(cb, sequence, index, n);
    }
}

void ramboSync(RAMBOCB* cb, RamboSlotInfo* info)
{
    Uint8* slot = info->slot;
    const Uint32 sequence = info->sequence;
    const Uint32 n = info->slots;

    /* Release stores keep the order payload, sequence, marker, count,
     * trailer: a reader that finds the trailer matching the sequence has a
     * whole record. */
    __atomic_store_n(reinterpret_cast<Uint32*>(slot), sequence, __ATOMIC_RELEASE);
    __atomic_store_n(reinterpret_cast<Uint16*>(slot + 4), static_cast<Uint16>(RAMBO_SEAL_MARKER),
                     __ATOMIC_RELEASE);
    __atomic_store_n(reinterpret_cast<Uint16*>(slot + 6), static_cast<Uint16>(n),
                     __ATOMIC_RELEASE);
    __atomic_store_n(reinterpret_cast<Uint32*>(slot + (n << RAMBO_SLOT_SHIFT) - 4), ~sequence,
                     __ATOMIC_RELEASE);

    if (!cb->chunked || info->chunk == nullptr)
        return;
    const Uint32 first = info->firstChunkSlots;
    countCompleted(cb, info->chunk, first);
    if (n > first)
        countCompleted(cb, info->chunk + 1, n - first);
}

Uint32 ramboNewSequence(RAMBOCB* cb)
{
    Uint32 rc = checkBuffer(cb);
    if (rc != 0)
        return rc;
    if (cb->chunked)
        return ECF_NOT_SUPPORTED;

    LatchHold hold(cb);
    const Uint32 slotCount = cb->slotCount;
    if (cb->wraps) {
        /* A whole lap later: the index stays where it is, and every record
         * so far lies more than a lap behind the new start. */
        cb->sequenceStart = slotCount + kivWin32FetchAndAdd32Internal(&cb->counter, slotCount);
        return 0;
    }
    /* On to the next multiple of the two-lap period, which is slot 0. */
    for (;;) {
        const Uint32 c = kivAtomicLoad32(&cb->counter);
        if (kivAtomicCompareAndSwap32(&cb->counter, c, c + 2 * slotCount - (c & cb->indexMask)))
            return 0;
    }
}

Uint32 ramboAutoDumpEnabled(RAMBOCB* cb, Uint8 enable)
{
    Uint32 rc = checkBuffer(cb);
    if (rc != 0)
        return rc;
    if (!cb->chunked)
        return ECF_RAMBO_AUTO_DUMP_NOT_ALLOWED;

    LatchHold hold(cb);
    __atomic_store_n(&cb->autoDump, static_cast<Uint8>(enable ? 1 : 0), __ATOMIC_RELEASE);
    return 0;
}

Uint32 ramboInitializeChunkWalker(RAMBOCB* cb, RamboChunkWalker* walker)
{
    Uint32 rc = checkBuffer(cb);
    if (rc != 0)
        return rc;
    if (!cb->chunked)
        return ECF_RAMBO_AUTO_DUMP_NOT_ALLOWED;
    if (walker == nullptr)
        return ECF_INVALID_PARAMETER;

    walker->cb = cb;
    walker->chunk = ramboChunks(cb);
    walker->chunkNumber = 0;
    walker->data = ramboSlots(cb);
    return 0;
}

Uint32 ramboGetDumpHeaderBuffer(RAMBOCB* cb, Uint8 instantaneous, RamboDumpHeader* out,
                                void** dataAddress, Uint32* dataSize)
{
    Uint32 rc = checkBufferAndOut(cb, out);
    if (rc != 0)
        return rc;

    LatchHold hold(cb);
    memcpy(out->eyeCatcher, kHeadEye, sizeof kHeadEye);
    out->bufferSize = cb->bufferSize;
    out->dumpType = static_cast<Uint16>(instantaneous ? RAMBO_DUMP_INSTANTANEOUS
                                                      : RAMBO_DUMP_CONTINUOUS);
    out->wraps = cb->wraps ? 1 : 0;
    out->reserved = 0;
    if (dataAddress != nullptr)
        *dataAddress = ramboSlots(cb);
    if (dataSize != nullptr)
        *dataSize = cb->bufferSize;
    return 0;
}

Uint32 ramboGetDumpTail(RAMBOCB* cb, RamboDumpTail* out)
{
    Uint32 rc = checkBufferAndOut(cb, out);
    if (rc != 0)
        return rc;

    LatchHold hold(cb);
    /* One plain read: writers go on while the dump is taken, and whatever
     * they leave half-written the reader rejects by its seal. */
    const Uint32 counter = kivAtomicLoad32(&cb->counter);
    const Uint32 index = counter & cb->indexMask;
    memcpy(out->eyeCatcher, kTailEye, sizeof kTailEye);
    if (cb->wraps) {
        out->counter = counter;
        out->slotIndex = index;
        out->sequenceStart = cb->sequenceStart;
        out->truncated = 0;
        return 0;
    }
    const bool lost = index > cb->slotCount;
    out->counter = lost ? counter & ~(cb->slotCount - 1) : counter;
    out->slotIndex = 0;
    out->sequenceStart = 0;
    out->truncated = lost ? 1 : 0;
    return 0;
}
