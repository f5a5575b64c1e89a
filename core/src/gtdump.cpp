/*
 * gtdump.cpp - trace dump files: the header and tail a dumping tool writes,
 * validation, and the ring and profile parsers.
 *
 * A dump is read through the caller's KIVHFile.  The validators put the
 * file position back where they found it; the parsers remember their own
 * positions and seek before every read.  Neither ever seeks past the end
 * of the file (the file handle would log that as a failure): sizes are
 * compared with the file's size first.
 *
 * The ring walk visits slots, not records.  Forwards it tests the record
 * that starts at the current slot and jumps over it when it is good;
 * backwards it tests every slot on its way down, so that a multi-slot
 * record is found at its first slot and its middle slots fail the test.
 * Instantaneous dumps of a wrapping buffer, and circular files that went
 * round, are walked modulo their size, starting at the oldest (forwards) or
 * newest (backwards) slot.
 */
#include "gtdump.h"

#include <string.h>

#include "gtinternal.h"
#include "kivecf.h"
#include "kivmem.h"

namespace {

const char kDumpEye[8] = {'G', 'T', 'D', 'U', 'M', 'P', '1', '\0'};
const char kHeadEye[8] = {'@', 'H', 'E', 'A', 'D', '\r', '\n', '\0'};
const char kTailEye[8] = {'@', 'T', 'A', 'I', 'L', '\r', '\n', '\0'};

const Uint32 kMaxReadBuffer = 0x100000u;
/* The largest record, and so the most a record test ever needs to see. */
const Uint32 kMaxRecordBytes = RAMBO_MAX_RECORD_SLOTS * RAMBO_SLOT_SIZE;
const Uint32 kPrefixPiece = 16384u;

/* The allocations are tagged with the names of the subsystems they serve. */
const char kRingTag[] = "rambo";
const char kProfileTag[] = "gptrace";

/* ---- File access --------------------------------------------------------------- */

Uint32 filePosition(KIVHFile* file, Uint64* position)
{
    KIVFileSeekParam p;
    p.offset = 0;
    p.origin = KIV_FILE_SEEK_CUR;
    return file->seek(&p, position);
}

Uint32 seekTo(KIVHFile* file, Uint64 position)
{
    KIVFileSeekParam p;
    p.offset = static_cast<Sint64>(position);
    p.origin = KIV_FILE_SEEK_SET;
    return file->seek(&p, nullptr);
}

/* Up to `length` bytes; the end of the file is no error (`*got` says how
 * many came). */
Uint32 readSome(KIVHFile* file, void* buffer, Uint32 length, Uint32* got)
{
    KIVFileReadParam p;
    p.byteCount = length;
    *got = 0;
    Uint32 rc = file->read(&p, buffer, got);
    return rc == ECF_FILE_EOF ? 0u : rc;
}

Uint32 readAt(KIVHFile* file, Uint64 position, void* buffer, Uint32 length, Uint32* got)
{
    *got = 0;
    Uint32 rc = seekTo(file, position);
    return rc != 0 ? rc : readSome(file, buffer, length, got);
}

/* A step that may fail, then a seek back that may fail too: the first
 * failure is the result. */
Uint32 restorePosition(KIVHFile* file, Uint64 position, Uint32 rc)
{
    Uint32 seekRc = seekTo(file, position);
    return rc != 0 ? rc : seekRc;
}

/* Runs the validation `check` on the dump that starts at the file's
 * current position, and leaves the position as it was. */
template <class Check> Uint32 validateInPlace(KIVHFile* file, Check check)
{
    if (file == nullptr)
        return ECF_INVALID_PARAMETER;
    Uint64 start = 0;
    Uint32 rc = filePosition(file, &start);
    if (rc != 0)
        return rc;
    return restorePosition(file, start, check(start));
}

inline Uint32 load32(const Uint8* p)
{
    Uint32 v;
    memcpy(&v, p, sizeof v);
    return v;
}

/* ---- The dump prefix: eye-catcher, options, tick factor ---------------------------
 * All 200568 bytes are read (a short file is a truncated header), through a
 * small buffer; only the words the readers need are kept. */
struct DumpPrefix {
    char   eyeCatcher[8];
    Uint32 bufferSize;
    Uint32 traceKind;
    Uint64 wrapFileSize;
};
static_assert(sizeof(DumpPrefix) == 24, "the prefix words are the dump's first 24 bytes");

Uint32 readPrefix(KIVHFile* file, DumpPrefix* out)
{
    Uint8 piece[kPrefixPiece];
    Uint32 done = 0;
    while (done < GTRACE_DUMP_PREFIX_SIZE) {
        Uint32 want = GTRACE_DUMP_PREFIX_SIZE - done;
        if (want > kPrefixPiece)
            want = kPrefixPiece;
        Uint32 got = 0;
        Uint32 rc = readSome(file, piece, want, &got);
        if (rc != 0)
            return rc;
        if (done == 0 && got >= sizeof *out)
            memcpy(out, piece, sizeof *out);
        done += got;
        if (got < want)
            return ECF_GTRACE_DUMP_HEADER_TRUNCATED;
    }
    return memcmp(out->eyeCatcher, kDumpEye, sizeof kDumpEye) == 0
               ? 0u
               : ECF_GTRACE_INVALID_DUMP_EYE_CATCHER;
}

inline Uint32 parserKindOf(const DumpPrefix& prefix)
{
    return (prefix.traceKind & GTRACE_KIND_PROFILE) ? GTRACE_PARSER_PROFILE : GTRACE_PARSER_RING;
}

/* ---- The ring part: RamboDumpHeader, slots, tail ------------------------------------ */

struct RingFacts {
    RamboDumpHeader header;
    RamboDumpTail   tail;
    Uint64          dataPosition;  /* right after the header */
    Uint64          dataBytes;     /* slot data in the file */
};

Uint32 checkTail(KIVHFile* file, RingFacts* facts, Uint64 fileSize)
{
    const Uint32 bufferSize = facts->header.bufferSize;
    if (fileSize < facts->dataPosition || fileSize - facts->dataPosition < bufferSize)
        return ECF_RAMBO_INSTANT_DUMP_TRUNCATED;
    Uint32 got = 0;
    Uint32 rc =
        readAt(file, facts->dataPosition + bufferSize, &facts->tail, sizeof facts->tail, &got);
    if (rc != 0)
        return rc;
    if (got < sizeof facts->tail)
        return ECF_RAMBO_INSTANT_DUMP_TRUNCATED;
    if (memcmp(facts->tail.eyeCatcher, kTailEye, sizeof kTailEye) != 0)
        return ECF_RAMBO_INVALID_DUMP_TAIL_EYE_CATCHER;
    if (facts->tail.slotIndex >= bufferSize / RAMBO_SLOT_SIZE)
        return ECF_RAMBO_INVALID_DUMP_SLOT_INDEX;
    facts->dataBytes = bufferSize;
    return 0;
}

/* The checks of a ring dump from its header (the file's current position,
 * `start`) on.  Leaves the position wherever the checks left it. */
Uint32 checkRing(KIVHFile* file, Uint64 start, RingFacts* facts)
{
    memset(facts, 0, sizeof *facts);
    Uint32 got = 0;
    Uint32 rc = readSome(file, &facts->header, sizeof facts->header, &got);
    if (rc != 0)
        return rc;
    if (got < sizeof facts->header)
        return ECF_RAMBO_DUMP_HEADER_TRUNCATED;
    const RamboDumpHeader& h = facts->header;
    if (memcmp(h.eyeCatcher, kHeadEye, sizeof kHeadEye) != 0)
        return ECF_RAMBO_INVALID_DUMP_HEADER_EYE_CATCHER;
    if (h.dumpType != RAMBO_DUMP_INSTANTANEOUS && h.dumpType != RAMBO_DUMP_CONTINUOUS)
        return ECF_RAMBO_INVALID_DUMP_TYPE;
    if (h.bufferSize < RAMBO_MIN_BUFFER_SIZE || h.bufferSize > RAMBO_MAX_BUFFER_SIZE)
        return ECF_RAMBO_INVALID_DUMP_BUFFER_SIZE;

    facts->dataPosition = start + sizeof facts->header;
    Uint64 fileSize = 0;
    rc = file->getSize(&fileSize);
    if (rc != 0)
        return rc;
    if (h.dumpType == RAMBO_DUMP_INSTANTANEOUS)
        return checkTail(file, facts, fileSize);

    facts->dataBytes = fileSize > facts->dataPosition ? fileSize - facts->dataPosition : 0;
    if (facts->dataBytes > 0 && facts->dataBytes < RAMBO_SLOT_SIZE)
        return ECF_RAMBO_DUMP_TRUNCATED;
    return 0;
}

/* ---- The ring walk ------------------------------------------------------------------ */

enum RecordTest { kGood, kReject, kShort };

inline bool walksModulo(const RamboDumpParser* s)
{
    return s->dumpType == RAMBO_DUMP_INSTANTANEOUS || (s->circular && s->wrapped);
}

inline Uint64 modulus(const RamboDumpParser* s)
{
    return static_cast<Uint64>(s->slotCount) * RAMBO_SLOT_SIZE;
}

/* How much a read at `offset` may take: instantaneous data ends where the
 * tail begins, a circular file at its last whole slot; a continuous file
 * simply ends. */
Uint32 readLimit(const RamboDumpParser* s, Uint64 offset)
{
    Uint32 limit = s->bufferSize;
    if (s->dumpType == RAMBO_DUMP_INSTANTANEOUS || s->circular) {
        const Uint64 end = modulus(s);
        const Uint64 rest = end > offset ? end - offset : 0;
        if (rest < limit)
            limit = static_cast<Uint32>(rest);
    }
    return limit;
}

/* The record at `record` with `available` bytes buffered from it.  A
 * record carrying the seal marker that fails for any reason but its age is
 * torn (`*torn`); one running past the buffered bytes is kShort. */
RecordTest testRecord(const RamboDumpParser* s, const Uint8* record, Uint32 available,
                      Uint32* slots, bool* torn)
{
    *torn = false;
    if (available > kMaxRecordBytes)
        available = kMaxRecordBytes;
    if (available < RAMBO_SLOT_SIZE)
        return kShort;
    RamboSlotHeader head;
    memcpy(&head, record, sizeof head);
    if (head.marker != RAMBO_SEAL_MARKER)
        return kReject;
    // An instantaneous dump holds the last lap only: counter - slots up to
    // counter - 1, computed modulo 2^32 so that neither a small counter nor
    // a counter that went round 2^32 underflows.  A record of an earlier
    // lap is stale, whatever else is wrong with it.
    if (s->dumpType == RAMBO_DUMP_INSTANTANEOUS &&
        static_cast<Uint32>(s->counter - 1u - head.sequence) >= s->slotCount)
        return kReject;
    *torn = true;
    if (head.slots == 0 || head.slots > RAMBO_MAX_RECORD_SLOTS)
        return kReject;
    const Uint32 bytes = static_cast<Uint32>(head.slots) * RAMBO_SLOT_SIZE;
    if (bytes > available)
        return kShort;
    if (load32(record + bytes - 4) != static_cast<Uint32>(~head.sequence))
        return kReject;
    *torn = false;
    *slots = head.slots;
    return kGood;
}

/* ---- Counting torn records on the way down ---------------------------------------------
 * The unused bytes at the end of a record's payload keep whatever the slots
 * held before, sometimes the head of an older record.  Walking up, the walk
 * jumps over them; walking down it meets them before the record they belong
 * to.  So a torn slot met on the way down waits in a queue (slot numbers,
 * falling) until a good record below shows whether it lies inside it; a
 * slot more than a record's length above the current one cannot. */
const Uint32 kPendingSlots = RAMBO_MAX_RECORD_SLOTS;

inline Uint32 pendingAreaOffset(Uint32 bufferSize) { return (bufferSize + 7u) & ~7u; }

inline Uint32* pendingArea(RamboDumpParser* s)
{
    return reinterpret_cast<Uint32*>(s->buffer + pendingAreaOffset(s->bufferSize));
}

inline Uint32 slotNumber(const RamboDumpParser* s)
{
    return static_cast<Uint32>(s->currentOffset / RAMBO_SLOT_SIZE);
}

/* Count the queued slots at or above `limit`: nothing below can hold them. */
void commitPendingFrom(RamboDumpParser* s, Uint64 limit)
{
    Uint32* area = pendingArea(s);
    while (s->pendingCount != 0 && area[s->pendingFirst] >= limit) {
        ++s->rejected;
        s->pendingFirst = (s->pendingFirst + 1) % kPendingSlots;
        --s->pendingCount;
    }
}

void notePending(RamboDumpParser* s, Uint32 slot)
{
    commitPendingFrom(s, static_cast<Uint64>(slot) + kPendingSlots);
    if (s->pendingCount == kPendingSlots)
        commitPendingFrom(s, 0);
    pendingArea(s)[(s->pendingFirst + s->pendingCount) % kPendingSlots] = slot;
    ++s->pendingCount;
}

/* A good record from `slot` on: the queued slots inside it were its own. */
void settlePending(RamboDumpParser* s, Uint32 slot, Uint32 slots)
{
    commitPendingFrom(s, static_cast<Uint64>(slot) + slots);
    s->pendingCount = 0;
}

void flushPending(RamboDumpParser* s)
{
    s->rejected += s->pendingCount;
    s->pendingCount = 0;
}

/* What a good record yields to the caller. */
Uint32 deliver(const RamboDumpParser* s, const Uint8* record, Uint32 slots, Uint64* payloadPosition,
               void* out, Uint32 outSize, Uint32* sequence)
{
    if (sequence != nullptr)
        *sequence = load32(record);
    const Uint32 length = slots * RAMBO_SLOT_SIZE - RAMBO_RECORD_OVERHEAD;
    if (payloadPosition != nullptr)
        *payloadPosition = s->dataPosition + s->currentOffset + RAMBO_PAYLOAD_OFFSET;
    if (out != nullptr && outSize != 0)
        memcpy(out, record + RAMBO_PAYLOAD_OFFSET, outSize < length ? outSize : length);
    return length;
}

/* Forward: read from the current slot on.  False when nothing came. */
bool refillForward(KIVHFile* file, RamboDumpParser* s)
{
    Uint32 got = 0;
    Uint32 limit = readLimit(s, s->currentOffset);
    if (readAt(file, s->dataPosition + s->currentOffset, s->buffer, limit, &got) != 0)
        return false;
    s->current = s->buffer;
    s->validBytes = got;
    return got >= RAMBO_SLOT_SIZE;
}

void advanceForward(RamboDumpParser* s, Uint32 slots)
{
    const Uint32 bytes = slots * RAMBO_SLOT_SIZE;
    s->bytesLeft -= bytes < s->bytesLeft ? bytes : s->bytesLeft;
    s->currentOffset += bytes;
    s->slotIndex += slots;
    if (s->validBytes > bytes) {
        s->validBytes -= bytes;
        s->current += bytes;
    } else {
        s->validBytes = 0;
    }
    if (walksModulo(s) && s->currentOffset >= modulus(s)) {
        // Round to the start of the data: the buffer holds the other end.
        s->currentOffset %= modulus(s);
        s->slotIndex = static_cast<Uint32>(s->currentOffset / RAMBO_SLOT_SIZE);
        s->validBytes = 0;
    }
}

Uint32 nextForward(KIVHFile* file, RamboDumpParser* s, Uint64* payloadPosition, void* out,
                   Uint32 outSize, Uint32* sequence = nullptr)
{
    while (s->bytesLeft >= RAMBO_SLOT_SIZE) {
        bool fresh = false;
        if (s->validBytes < RAMBO_SLOT_SIZE) {
            if (!refillForward(file, s))
                return 0;
            fresh = true;
        }
        Uint32 slots = 0;
        bool torn = false;
        RecordTest t = testRecord(s, s->current, s->validBytes, &slots, &torn);
        if (t == kShort && !fresh) {
            // The record runs past the buffered bytes: read again from it.
            if (!refillForward(file, s))
                return 0;
            t = testRecord(s, s->current, s->validBytes, &slots, &torn);
        }
        // Short once more: cut off by the end of the data.
        if (torn)
            ++s->rejected;
        if (t == kGood) {
            Uint32 length = deliver(s, s->current, slots, payloadPosition, out, outSize, sequence);
            advanceForward(s, slots);
            return length;
        }
        advanceForward(s, 1);
    }
    return 0;
}

/* Backward: read the block that ends with the current slot's record room,
 * with up to refillThreshold bytes before the slot.  False on failure. */
bool refillBackward(KIVHFile* file, RamboDumpParser* s)
{
    const Uint64 c = s->currentOffset;
    const Uint64 start = c > s->refillThreshold ? c - s->refillThreshold : 0;
    const Uint32 below = static_cast<Uint32>(c - start);
    Uint32 limit = readLimit(s, start);
    Uint32 got = 0;
    if (readAt(file, s->dataPosition + start, s->buffer, limit, &got) != 0)
        return false;
    if (got < below + RAMBO_SLOT_SIZE)
        return false;
    s->current = s->buffer + below;
    s->validBytes = got - below;
    s->slotsInBuffer = below / RAMBO_SLOT_SIZE + 1;
    return true;
}

void stepBackward(RamboDumpParser* s)
{
    s->bytesLeft -= s->bytesLeft < RAMBO_SLOT_SIZE ? s->bytesLeft : RAMBO_SLOT_SIZE;
    --s->slotsInBuffer;
    if (s->currentOffset >= RAMBO_SLOT_SIZE) {
        s->currentOffset -= RAMBO_SLOT_SIZE;
        s->current -= RAMBO_SLOT_SIZE;
        s->validBytes += RAMBO_SLOT_SIZE;
        --s->slotIndex;
        return;
    }
    // Below slot 0: a modulo walk goes on at the last slot, which the
    // buffer does not hold.  No record runs on from the last slot to the
    // first, so the queued slots are torn ones.
    s->slotsInBuffer = 0;
    flushPending(s);
    if (walksModulo(s)) {
        s->currentOffset = modulus(s) - RAMBO_SLOT_SIZE;
        s->slotIndex = s->slotCount - 1;
    }
}

Uint32 nextBackward(KIVHFile* file, RamboDumpParser* s, Uint64* payloadPosition, void* out,
                    Uint32 outSize)
{
    while (s->bytesLeft >= RAMBO_SLOT_SIZE) {
        if (s->slotsInBuffer == 0 && !refillBackward(file, s))
            break;
        Uint32 slots = 0;
        bool torn = false;
        const RecordTest t = testRecord(s, s->current, s->validBytes, &slots, &torn);
        Uint32 length = 0;
        if (t == kGood) {
            settlePending(s, slotNumber(s), slots);
            length = deliver(s, s->current, slots, payloadPosition, out, outSize, nullptr);
        } else if (torn) {
            notePending(s, slotNumber(s));
        }
        stepBackward(s);
        if (length != 0)
            return length;
    }
    flushPending(s);
    return 0;
}

Uint32 nextRecord(KIVHFile* file, RamboDumpParser* s, Uint64* payloadPosition, void* out,
                  Uint32 outSize)
{
    if (file == nullptr || s == nullptr || !s->open)
        return 0;
    return s->forward ? nextForward(file, s, payloadPosition, out, outSize)
                      : nextBackward(file, s, payloadPosition, out, outSize);
}

/* ---- Opening a ring walk --------------------------------------------------------------- */

/* What the walk will visit, which sizes its read buffer. */
Uint64 bytesToVisit(const RingFacts& facts)
{
    if (facts.header.dumpType == RAMBO_DUMP_CONTINUOUS)
        return facts.dataBytes;
    const Uint32 slots = facts.header.bufferSize / RAMBO_SLOT_SIZE;
    const Uint32 used = facts.tail.counter % slots;
    if (facts.header.wraps == 1 || used == 0)
        return facts.header.bufferSize;
    return static_cast<Uint64>(used) * RAMBO_SLOT_SIZE;
}

void placeInstantaneous(RamboDumpParser* s, const RingFacts& facts)
{
    const Uint32 slots = s->slotCount;
    s->bytesLeft = bytesToVisit(facts);
    s->counter = facts.tail.counter;
    Uint32 index;
    if (facts.header.wraps == 1) {
        // The tail's index is the next slot to be written: the oldest.
        index = s->forward ? facts.tail.slotIndex : (facts.tail.slotIndex + slots - 1) % slots;
        const Uint32 c = s->counter, start = facts.tail.sequenceStart;
        s->wrapped = (c > start ? c - start : start - c) > slots ? 1 : 0;
    } else {
        // Stop when full: the slots written in this pass lie at the start.
        index = s->forward ? 0 : static_cast<Uint32>(s->bytesLeft / RAMBO_SLOT_SIZE) - 1;
        s->lost = facts.tail.truncated != 0 ? 1 : 0;
    }
    s->slotIndex = index;
    s->currentOffset = static_cast<Uint64>(index) * RAMBO_SLOT_SIZE;
}

/* A circular file: one forward pass over every slot finds out whether the
 * file went round (its first record is newer than its last) and where the
 * sequence drops: there the oldest record lies.  The newest sequence is
 * kept in the counter field.  Sequences are compared modulo 2^32. */
void scanCircular(KIVHFile* file, RamboDumpParser* s, Uint64* dropOffset)
{
    bool any = false, dropped = false;
    Uint32 first = 0, previous = 0, newest = 0, sequence = 0;
    for (;;) {
        const Uint64 offset = s->currentOffset;
        if (nextForward(file, s, nullptr, nullptr, 0, &sequence) == 0)
            break;
        if (!any) {
            first = sequence;
            any = true;
        } else if (!dropped && static_cast<Sint32>(sequence - previous) < 0) {
            dropped = true;
            newest = previous;
            *dropOffset = offset;
        }
        previous = sequence;
    }
    s->wrapped = (dropped && static_cast<Sint32>(first - previous) > 0) ? 1 : 0;
    s->counter = s->wrapped ? newest : previous;
}

void placeContinuous(KIVHFile* file, RamboDumpParser* s, const RingFacts& facts)
{
    const Uint64 bytes = facts.dataBytes;
    s->bytesLeft = bytes;
    if (s->circular) {
        s->slotCount = static_cast<Uint32>(bytes / RAMBO_SLOT_SIZE);
        Uint64 drop = 0;
        const Uint8 forward = s->forward;
        s->forward = 1;
        scanCircular(file, s, &drop);
        s->forward = forward;
        s->rejected = 0;
        s->pendingCount = 0;
        s->validBytes = 0;
        s->bytesLeft = bytes;
        if (s->wrapped) {
            // Round the file once, from the oldest record (forwards) or
            // from the slot before it (backwards).
            s->bytesLeft = modulus(s);
            s->currentOffset = s->forward ? drop : drop - RAMBO_SLOT_SIZE;
            s->slotIndex = static_cast<Uint32>(s->currentOffset / RAMBO_SLOT_SIZE);
            return;
        }
    }
    s->counter = s->circular ? s->counter : 0;
    const Uint64 lastSlot = (bytes - RAMBO_SLOT_SIZE) & ~static_cast<Uint64>(RAMBO_SLOT_SIZE - 1);
    s->currentOffset = (s->forward || bytes < RAMBO_SLOT_SIZE) ? 0 : lastSlot;
    s->slotIndex = static_cast<Uint32>(s->currentOffset / RAMBO_SLOT_SIZE);
}

Uint32 allocateReadBuffer(RamboDumpParser* s, Uint64 bytes)
{
    Uint32 size = kMaxReadBuffer;
    if (bytes == 0)
        size = RAMBO_SLOT_SIZE;
    else if (bytes < kMaxReadBuffer)
        size = static_cast<Uint32>(bytes);
    void* p = nullptr;
    const Uint32 total = pendingAreaOffset(size) + kPendingSlots * sizeof(Uint32);
    Uint32 rc = kivMemAlloc(&p, nullptr, total, 0, kRingTag, __LINE__);
    if (rc != 0)
        return rc;
    s->buffer = static_cast<Uint8*>(p);
    s->current = s->buffer;
    s->bufferSize = size;
    s->validBytes = 0;
    s->slotsInBuffer = 0;
    return 0;
}

void setThreshold(RamboDumpParser* s)
{
    if (s->forward)
        s->refillThreshold = 0;
    else if (s->bufferSize > kMaxRecordBytes)
        s->refillThreshold = s->bufferSize - kMaxRecordBytes;
    else
        s->refillThreshold = s->bufferSize - RAMBO_SLOT_SIZE;
}

Uint32 openRing(KIVHFile* file, RamboDumpParser* s, Uint8 forward, bool circular)
{
    memset(s, 0, sizeof *s);
    Uint64 start = 0;
    Uint32 rc = filePosition(file, &start);
    if (rc != 0)
        return rc;
    RingFacts facts;
    rc = checkRing(file, start, &facts);
    if (rc != 0)
        return rc;

    s->dumpType = facts.header.dumpType;
    s->slotCount = facts.header.bufferSize / RAMBO_SLOT_SIZE;
    s->forward = forward ? 1 : 0;
    s->dataPosition = facts.dataPosition;
    const bool continuous = s->dumpType == RAMBO_DUMP_CONTINUOUS;
    s->circular = continuous && circular ? 1 : 0;

    rc = allocateReadBuffer(s, bytesToVisit(facts));
    if (rc != 0)
        return rc;
    s->open = 1;

    if (continuous)
        placeContinuous(file, s, facts);
    else
        placeInstantaneous(s, facts);
    s->validBytes = 0;
    s->slotsInBuffer = 0;
    s->current = s->buffer;
    setThreshold(s);
    return 0;
}

/* ---- Profile walk ------------------------------------------------------------------------ */

Uint32 readProfileBlock(KIVHFile* file, GtraceProfileParser* p)
{
    Uint32 got = 0;
    Uint32 rc = readAt(file, p->nextPosition, p->buffer, GTRACE_PROFILE_READ_SIZE, &got);
    p->bytesUsed = 0;
    p->bytesValid = rc == 0 ? got : 0;
    p->current = p->buffer;
    p->nextPosition += p->bytesValid;
    if (rc != 0 || got < GTRACE_PROFILE_READ_SIZE)
        p->endOfFile = 1;
    return rc;
}

Uint32 openProfile(KIVHFile* file, GtraceProfileParser* p, Uint64 start, const DumpPrefix& prefix)
{
    memset(p, 0, sizeof *p);
    void* buffer = nullptr;
    Uint32 rc = kivMemAlloc(&buffer, nullptr, GTRACE_PROFILE_READ_SIZE, 0, kProfileTag, __LINE__);
    if (rc != 0)
        return rc;
    p->buffer = static_cast<Uint8*>(buffer);
    p->current = p->buffer;
    p->entryLimit = prefix.bufferSize / sizeof(GtraceProfileEntry);
    // The 16 bytes after the prefix are not the profile's.
    p->nextPosition = start + GTRACE_DUMP_HEADER_SIZE;
    readProfileBlock(file, p);
    return 0;
}

Uint32 nextProfileEntry(KIVHFile* file, GtraceProfileParser* p, Uint64* position, void* out,
                        Uint32 outSize)
{
    if (file == nullptr || p->buffer == nullptr)
        return 0;
    while (p->entriesVisited < p->entryLimit) {
        if (p->bytesValid - p->bytesUsed < sizeof(GtraceProfileEntry)) {
            if (p->endOfFile || readProfileBlock(file, p) != 0 ||
                p->bytesValid < sizeof(GtraceProfileEntry))
                return 0;
        }
        const Uint8* entry = p->current;
        const Uint64 at = p->nextPosition - p->bytesValid + p->bytesUsed;
        p->current += sizeof(GtraceProfileEntry);
        p->bytesUsed += sizeof(GtraceProfileEntry);
        ++p->entriesVisited;
        if (load32(entry + offsetof(GtraceProfileEntry, functionId)) == 0)
            continue;
        if (position != nullptr)
            *position = at;
        if (out != nullptr && outSize != 0)
            memcpy(out, entry, outSize < sizeof(GtraceProfileEntry) ? outSize
                                                                    : sizeof(GtraceProfileEntry));
        return sizeof(GtraceProfileEntry);
    }
    return 0;
}

/* ---- Blocks without a ring ------------------------------------------------------------------- */

/* The 16 bytes after the prefix of a dump that has no ring: a continuous
 * header over the kind area, so that the validators accept it. */
RamboDumpHeader kindAreaHeader(const GtraceOptions& options)
{
    RamboDumpHeader h;
    memcpy(h.eyeCatcher, kHeadEye, sizeof kHeadEye);
    h.bufferSize = options.bufferSize;
    h.dumpType = RAMBO_DUMP_CONTINUOUS;
    h.wraps = 0;
    h.reserved = 0;
    return h;
}

} // namespace

extern "C" {

Uint32 gtraceGetDumpHeaderBuffer(Uint8 instantaneous, void* buffer, void** dataAddress,
                                 Uint32* dataSize)
{
    GTCB* block;
    Uint32 rc = gtAttachedBlockWith(buffer, &block);
    if (rc != 0)
        return rc;

    Uint8* out = static_cast<Uint8*>(buffer);
    RamboDumpHeader ring;
    void* address = nullptr;
    Uint32 size = 0;
    if (gtHasKindArea(block->options)) {
        ring = kindAreaHeader(block->options);
        address = gtraceKindArea(block);
        size = block->options.bufferSize;
    } else {
        rc = ramboGetDumpHeaderBuffer(gtraceRingBuffer(block), instantaneous, &ring, &address,
                                      &size);
        if (rc != 0)
            return rc;
    }
    KIVTickConversionFactor factor;
    factor.initialize();
    memcpy(out + offsetof(GtraceDumpHeader, eyeCatcher), kDumpEye, sizeof kDumpEye);
    memcpy(out + offsetof(GtraceDumpHeader, options), &block->options, GTRACE_OPTIONS_SIZE);
    memcpy(out + offsetof(GtraceDumpHeader, tickFactor), &factor, sizeof factor);
    memcpy(out + offsetof(GtraceDumpHeader, ring), &ring, sizeof ring);
    if (dataAddress != nullptr)
        *dataAddress = address;
    if (dataSize != nullptr)
        *dataSize = size;
    return 0;
}

Uint32 gtraceGetDumpTail(RamboDumpTail* tail)
{
    GTCB* block;
    Uint32 rc = gtAttachedBlockWith(tail, &block);
    if (rc != 0)
        return rc;
    if (gtHasKindArea(block->options))
        return 0;
    return ramboGetDumpTail(gtraceRingBuffer(block), tail);
}

Uint32 ramboValidateDumpFile(KIVHFile* file)
{
    return validateInPlace(file, [file](Uint64 start) {
        RingFacts facts;
        return checkRing(file, start, &facts);
    });
}

Uint32 gtraceValidateDumpFile(KIVHFile* file, Uint32 expectedKind)
{
    return validateInPlace(file, [file, expectedKind](Uint64 start) {
        DumpPrefix prefix;
        Uint32 rc = readPrefix(file, &prefix);
        if (rc == 0 && expectedKind != 0 && expectedKind != parserKindOf(prefix))
            rc = ECF_INVALID_PARAMETER;
        if (rc == 0) {
            RingFacts facts;
            rc = checkRing(file, start + GTRACE_DUMP_PREFIX_SIZE, &facts);
        }
        return rc;
    });
}

Uint32 ramboOpenDumpFileParser(KIVHFile* file, RamboDumpParser* state, Uint8 forward)
{
    if (file == nullptr || state == nullptr)
        return ECF_INVALID_PARAMETER;
    return openRing(file, state, forward, false);
}

Uint32 gtraceOpenDumpFileParser(KIVHFile* file, GtraceDumpFileParser* parser, Uint8 forward)
{
    if (file == nullptr || parser == nullptr)
        return ECF_INVALID_PARAMETER;
    memset(parser, 0, sizeof *parser);
    Uint64 start = 0;
    Uint32 rc = filePosition(file, &start);
    if (rc != 0)
        return rc;
    DumpPrefix prefix;
    rc = readPrefix(file, &prefix);
    if (rc != 0)
        return rc;
    if (parserKindOf(prefix) == GTRACE_PARSER_PROFILE) {
        rc = openProfile(file, &parser->profile, start, prefix);
        if (rc == 0)
            parser->kind = GTRACE_PARSER_PROFILE;
        return rc;
    }
    rc = openRing(file, &parser->ring, forward, prefix.wrapFileSize != 0);
    if (rc == 0)
        parser->kind = GTRACE_PARSER_RING;
    return rc;
}

Uint32 ramboParseDumpFile(KIVHFile* file, RamboDumpParser* state, Uint64* payloadPosition,
                          void* out, Uint32 outSize)
{
    return nextRecord(file, state, payloadPosition, out, outSize);
}

Uint32 gtraceParseRecords(KIVHFile* file, GtraceDumpFileParser* parser, Uint64* payloadPosition,
                          void* out, Uint32 outSize)
{
    if (parser == nullptr)
        return 0;
    switch (parser->kind) {
    case GTRACE_PARSER_RING:
        return nextRecord(file, &parser->ring, payloadPosition, out, outSize);
    case GTRACE_PARSER_PROFILE:
        return nextProfileEntry(file, &parser->profile, payloadPosition, out, outSize);
    default:
        return 0;
    }
}

Uint32 ramboCloseDumpFileParser(RamboDumpParser* state)
{
    if (state == nullptr || !state->open)
        return ECF_INVALID_PARAMETER;
    void* buffer = state->buffer;
    Uint32 rc = kivMemFree(&buffer, 0, 0, kRingTag, __LINE__);
    state->buffer = nullptr;
    state->current = nullptr;
    state->open = 0;
    return rc;
}

Uint32 gtraceCloseDumpFileParser(GtraceDumpFileParser* parser)
{
    if (parser == nullptr)
        return ECF_INVALID_PARAMETER;
    switch (parser->kind) {
    case GTRACE_PARSER_RING:
        return ramboCloseDumpFileParser(&parser->ring);
    case GTRACE_PARSER_PROFILE: {
        GtraceProfileParser& p = parser->profile;
        if (p.buffer == nullptr)
            return ECF_INVALID_PARAMETER;
        void* buffer = p.buffer;
        Uint32 rc = kivMemFree(&buffer, 0, 0, kProfileTag, __LINE__);
        p.buffer = nullptr;
        p.current = nullptr;
        return rc;
    }
    default:
        return 0;
    }
}

Uint32 ramboDidBufferWrap(RamboDumpParser* state, Uint8* out)
{
    if (state == nullptr || !state->open || out == nullptr)
        return ECF_INVALID_PARAMETER;
    *out = state->wrapped;
    return 0;
}

Uint32 ramboWasBufferTruncated(RamboDumpParser* state, Uint8* out)
{
    if (state == nullptr || !state->open || out == nullptr)
        return ECF_INVALID_PARAMETER;
    *out = state->lost;
    return 0;
}

Uint32 ramboGetRejectedRecords(RamboDumpParser* state, Uint32* out)
{
    if (state == nullptr || !state->open || out == nullptr)
        return ECF_INVALID_PARAMETER;
    *out = state->rejected + state->pendingCount;
    return 0;
}

} // extern "C"
