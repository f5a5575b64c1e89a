/*
 * rambo.h - the lock-free trace ring buffer: control block, chunk
 * descriptors, slot format, reservation and sealing, new sequences, the
 * automatic-dumper hand-shake, and the dump header and tail.
 *
 * One buffer is one contiguous block, normally in shared memory that several
 * processes map at different addresses, so it holds offsets only:
 *
 *   0                    RAMBOCB, 256 bytes
 *   256                  RAMBOCK[chunkCount], 20 bytes each, rounded up to 8
 *   slotsOffset          the slot array: bufferSize / 64 slots of 64 bytes
 *   scratchOffset        0x20000 bytes where records go that find no room
 *   scratchOffset+0x20000  24 spare bytes
 *
 * Writers of any thread in any process take no lock: a record costs one
 * atomic fetch-and-add on the counter (more only when a record would cross
 * the end of the ring), plain stores of the payload, and the seal.  The
 * seal's trailer, the complement of the sequence number, lets a reader of a
 * copy tell complete records from torn or overwritten ones.
 *
 * Reservation and sealing check nothing: the caller guarantees an
 * initialised buffer and a payload of at most RAMBO_MAX_PAYLOAD bytes.  The
 * administrative calls return an ECF code and change nothing on error.
 */
#ifndef RAMBO_H
#define RAMBO_H

#include "kivbase.h"
#include "kivlatch.h"

#include <string.h>

/* ---- Geometry --------------------------------------------------------------- */
#define RAMBO_SLOT_SIZE          64u
#define RAMBO_SLOT_SHIFT         6u
#define RAMBO_CHUNK_SLOTS        2048u     /* slots per chunk descriptor */
#define RAMBO_CHUNK_SHIFT        11u       /* slot index >> 11 = chunk number */
#define RAMBO_CHUNK_BYTES        0x20000u  /* 128 KB of slot array per chunk */
#define RAMBO_CB_SIZE            256u
#define RAMBO_CHUNK_DESC_SIZE    20u
#define RAMBO_SCRATCH_SIZE       0x20000u
#define RAMBO_SPARE_SIZE         24u
#define RAMBO_MIN_BUFFER_SIZE    0x80000u
#define RAMBO_MAX_BUFFER_SIZE    0x40000000u

/* ---- Record format ---------------------------------------------------------
 * A record of n slots (1..2048): u32 sequence, u16 marker 0xCAFE, u16 n, the
 * payload, and at 64n - 4 the u32 complement of the sequence number. */
#define RAMBO_SEAL_MARKER        0xCAFEu
#define RAMBO_RECORD_OVERHEAD    12u
#define RAMBO_PAYLOAD_OFFSET     8u
#define RAMBO_ONE_SLOT_PAYLOAD   52u       /* the largest payload of one slot */
#define RAMBO_MAX_RECORD_SLOTS   2048u
#define RAMBO_MAX_PAYLOAD        (RAMBO_SCRATCH_SIZE - RAMBO_RECORD_OVERHEAD)

/* ---- Modes ---------------------------------------------------------------- */
#define RAMBO_MODE_WRAP          1u  /* newest records overwrite the oldest */
#define RAMBO_MODE_STOP          2u  /* full: scratch area and full callback */
#define RAMBO_MODE_CHUNKED       4u  /* wrapping, with the auto-dump hand-shake */

/* ---- Dump types (RamboDumpHeader::dumpType) ------------------------------- */
#define RAMBO_DUMP_INSTANTANEOUS 1u
#define RAMBO_DUMP_CONTINUOUS    2u

/* The control block, at offset 0 of the buffer.  Fields not named are zero. */
struct RAMBOCB {
    volatile Uint32 counter;      /* next sequence number; atomic updates only */
    char     eyeCatcher[8];       /* "RAMBOCB\0", written last by initialisation */
    Uint8    reserved1[116];
    KIVLatch latch;               /* administrative operations only */
    Uint8    reserved2[3];
    Uint32   sequenceStart;       /* counter value where the sequence began */
    Uint32   indexMask;           /* slot index = sequence AND mask */
    Uint32   slotsOffset;         /* from the control block */
    Uint32   chunksOffset;        /* always 256 */
    Uint32   scratchOffset;       /* slotsOffset + bufferSize */
    Uint32   bufferSize;          /* bytes of the slot array */
    Uint32   chunkCount;          /* bufferSize >> 17 */
    Uint32   slotCount;           /* bufferSize / 64 */
    Uint8    wraps;               /* 1 in modes 1 and 4 */
    Uint8    chunked;             /* 1 in mode 4 */
    volatile Uint8 autoDump;      /* mode 4: writers wait for the dumper */
    Uint8    reserved3[89];
};

static_assert(sizeof(RAMBOCB) == 256, "RAMBOCB is 256 bytes");
static_assert(offsetof(RAMBOCB, counter) == 0, "counter at 0");
static_assert(offsetof(RAMBOCB, eyeCatcher) == 4, "eye-catcher at 4");
static_assert(offsetof(RAMBOCB, latch) == 128, "latch at 128");
static_assert(offsetof(RAMBOCB, sequenceStart) == 132, "sequence start at 132");
static_assert(offsetof(RAMBOCB, indexMask) == 136, "index mask at 136");
static_assert(offsetof(RAMBOCB, slotsOffset) == 140, "slots offset at 140");
static_assert(offsetof(RAMBOCB, chunksOffset) == 144, "chunks offset at 144");
static_assert(offsetof(RAMBOCB, scratchOffset) == 148, "scratch offset at 148");
static_assert(offsetof(RAMBOCB, bufferSize) == 152, "buffer size at 152");
static_assert(offsetof(RAMBOCB, chunkCount) == 156, "chunk count at 156");
static_assert(offsetof(RAMBOCB, slotCount) == 160, "slot count at 160");
static_assert(offsetof(RAMBOCB, wraps) == 164, "wraps at 164");
static_assert(offsetof(RAMBOCB, chunked) == 165, "chunked at 165");
static_assert(offsetof(RAMBOCB, autoDump) == 166, "auto-dump at 166");

/* A chunk descriptor: chunk k covers slots 2048k .. 2048k + 2047.  The
 * writable generation belongs to the automatic dumper; writers only compare
 * it, and add to the completed count while auto-dump is on. */
struct RAMBOCK {
    char   eyeCatcher[8];                 /* "RAMBOCK\0" */
    volatile Uint32 completed;            /* slots sealed in this chunk */
    volatile Uint32 writableGeneration;   /* lap whose writers may enter */
    Uint32 chunkNumber;
};

static_assert(sizeof(RAMBOCK) == 20, "RAMBOCK is 20 bytes");
static_assert(offsetof(RAMBOCK, eyeCatcher) == 0, "eye-catcher at 0");
static_assert(offsetof(RAMBOCK, completed) == 8, "completed at 8");
static_assert(offsetof(RAMBOCK, writableGeneration) == 12, "generation at 12");
static_assert(offsetof(RAMBOCK, chunkNumber) == 16, "chunk number at 16");

/* The first 8 bytes of a record; the trailer is the last u32 of its slots. */
struct RamboSlotHeader {
    Uint32 sequence;
    Uint16 marker;   /* RAMBO_SEAL_MARKER once sealed */
    Uint16 slots;    /* n */
};
static_assert(sizeof(RamboSlotHeader) == RAMBO_PAYLOAD_OFFSET, "slot header is 8 bytes");
static_assert(offsetof(RamboSlotHeader, marker) == 4, "marker at 4");
static_assert(offsetof(RamboSlotHeader, slots) == 6, "slot count at 6");

/* The reservation descriptor a writer keeps on its stack from reservation to
 * seal.  Addresses are those of the calling process's mapping. */
struct RamboSlotInfo {
    Uint8*   slot;             /* first slot of the record */
    RAMBOCK* chunk;            /* descriptor of the first slot (mode 4) */
    Uint32   sequence;         /* the counter value reserved */
    Uint16   slots;            /* n */
    Uint16   firstChunkSlots;  /* of the n slots, those in `chunk` (mode 4) */
};
#if defined(__SIZEOF_POINTER__) && __SIZEOF_POINTER__ == 4
static_assert(sizeof(RamboSlotInfo) == 16, "RamboSlotInfo is 16 bytes on 32-bit");
static_assert(offsetof(RamboSlotInfo, chunk) == 4, "chunk at 4");
static_assert(offsetof(RamboSlotInfo, sequence) == 8, "sequence at 8");
static_assert(offsetof(RamboSlotInfo, slots) == 12, "slots at 12");
static_assert(offsetof(RamboSlotInfo, firstChunkSlots) == 14, "first-chunk slots at 14");
#endif

/* The automatic dumper's position: four words, set to chunk 0 by
 * ramboInitializeChunkWalker.  The dumper advances it itself. */
struct RamboChunkWalker {
    RAMBOCB* cb;           /* the control block */
    RAMBOCK* chunk;        /* the current chunk descriptor */
    Uint32   chunkNumber;  /* its number */
    Uint8*   data;         /* its first slot */
};
#if defined(__SIZEOF_POINTER__) && __SIZEOF_POINTER__ == 4
static_assert(sizeof(RamboChunkWalker) == 16, "RamboChunkWalker is four words on 32-bit");
static_assert(offsetof(RamboChunkWalker, chunkNumber) == 8, "chunk number is the third word");
#endif

/* Written before the slot array in a dump file. */
struct RamboDumpHeader {
    char   eyeCatcher[8];   /* "@HEAD\r\n\0" */
    Uint32 bufferSize;
    Uint16 dumpType;        /* RAMBO_DUMP_INSTANTANEOUS or RAMBO_DUMP_CONTINUOUS */
    Uint8  wraps;           /* 1 in modes 1 and 4 */
    Uint8  reserved;        /* 0 */
};
static_assert(sizeof(RamboDumpHeader) == 16, "RamboDumpHeader is 16 bytes");
static_assert(offsetof(RamboDumpHeader, bufferSize) == 8, "buffer size at 8");
static_assert(offsetof(RamboDumpHeader, dumpType) == 12, "dump type at 12");
static_assert(offsetof(RamboDumpHeader, wraps) == 14, "wraps at 14");
static_assert(offsetof(RamboDumpHeader, reserved) == 15, "reserved at 15");

/* Written after the slot array of an instantaneous dump.  ramboGetDumpTail
 * fills bytes 0..20 and leaves the rest as the caller had them. */
struct RamboDumpTail {
    char   eyeCatcher[8];   /* "@TAIL\r\n\0" */
    Uint32 counter;         /* rounded down to whole laps when truncated */
    Uint32 slotIndex;       /* modes 1 and 4: next slot to be written; mode 2: 0 */
    Uint32 sequenceStart;   /* modes 1 and 4; mode 2: 0 */
    Uint8  truncated;       /* mode 2: records were lost */
    Uint8  reserved[11];
};
static_assert(sizeof(RamboDumpTail) == 32, "RamboDumpTail is 32 bytes");
static_assert(offsetof(RamboDumpTail, counter) == 8, "counter at 8");
static_assert(offsetof(RamboDumpTail, slotIndex) == 12, "slot index at 12");
static_assert(offsetof(RamboDumpTail, sequenceStart) == 16, "sequence start at 16");
static_assert(offsetof(RamboDumpTail, truncated) == 20, "truncated at 20");

/* The process-wide callback for a full mode-2 buffer. */
typedef void (*RamboFullCallback)(void);

#ifdef __cplusplus
extern "C" {
#endif

/* Bytes to allocate for a buffer of `bufferSize` slot-array bytes, or 0 when
 * bufferSize is not a power of two in 0x80000..0x40000000. */
KIV_API Uint32 ramboGetAllocSize(Uint32 bufferSize);
/* The largest power of two not above v; 0 for 0. */
KIV_API Uint32 ramboRoundNearest2(Uint32 v);

/* Lays out and zeroes a buffer of ramboGetAllocSize(bufferSize) bytes at cb
 * in mode 1, 2 or 4.  ECF_RAMBO_INVALID_BUFFER_SIZE, ECF_INVALID_PARAMETER. */
KIV_API Uint32 ramboInitialize(RAMBOCB* cb, Uint32 bufferSize, Uint32 mode);
/* This process's full callback (null removes it). */
KIV_API void ramboSetCallBack(RamboFullCallback fullCallback);

/* Reserve a record for `payloadBytes` (or for at most 52 bytes), fill
 * `info`, and return where the payload goes.  Seal with ramboSync. */
KIV_API Uint8* ramboReserveSlots(RAMBOCB* cb, Uint32 payloadBytes, RamboSlotInfo* info);
KIV_API Uint8* ramboReserveOneSlot(RAMBOCB* cb, RamboSlotInfo* info);
KIV_API void ramboSync(RAMBOCB* cb, RamboSlotInfo* info);

/* Make every record written so far obsolete (modes 1 and 2).
 * ECF_INVALID_PARAMETER, ECF_RAMBO_NOT_INITIALIZED, ECF_NOT_SUPPORTED. */
KIV_API Uint32 ramboNewSequence(RAMBOCB* cb);
/* Mode 4: switch the writers' hand-shake with the dumper on or off; off
 * releases every waiting writer.  ECF_INVALID_PARAMETER,
 * ECF_RAMBO_NOT_INITIALIZED, ECF_RAMBO_AUTO_DUMP_NOT_ALLOWED. */
KIV_API Uint32 ramboAutoDumpEnabled(RAMBOCB* cb, Uint8 enable);
/* Mode 4: set `walker` to chunk 0.  Errors as ramboAutoDumpEnabled. */
KIV_API Uint32 ramboInitializeChunkWalker(RAMBOCB* cb, RamboChunkWalker* walker);

/* The dump header, and (each when not null) the address and size of the
 * bytes a dumper writes after it.  ECF_INVALID_PARAMETER,
 * ECF_RAMBO_NOT_INITIALIZED. */
KIV_API Uint32 ramboGetDumpHeaderBuffer(RAMBOCB* cb, Uint8 instantaneous, RamboDumpHeader* out,
                                        void** dataAddress, Uint32* dataSize);
/* The dump tail.  ECF_INVALID_PARAMETER, ECF_RAMBO_NOT_INITIALIZED. */
KIV_API Uint32 ramboGetDumpTail(RAMBOCB* cb, RamboDumpTail* out);

#ifdef __cplusplus
}
#endif

/* ---- Helpers for writers and readers -------------------------------------- */

/* Slots taken by a record with `payloadBytes` of payload. */
inline Uint32 ramboSlotsFor(Uint32 payloadBytes)
{
    return (payloadBytes + RAMBO_RECORD_OVERHEAD + RAMBO_SLOT_SIZE - 1) >> RAMBO_SLOT_SHIFT;
}

/* The slot array and the chunk descriptors of a buffer, in this process. */
inline Uint8* ramboSlots(RAMBOCB* cb)
{
    return reinterpret_cast<Uint8*>(cb) + cb->slotsOffset;
}
inline RAMBOCK* ramboChunks(RAMBOCB* cb)
{
    return reinterpret_cast<RAMBOCK*>(reinterpret_cast<Uint8*>(cb) + cb->chunksOffset);
}

/* The reader's test of a record that starts at `record`, with `available`
 * bytes readable from there: its slot count when it is sealed and whole,
 * else 0 (not sealed, torn, overwritten half-way, or cut off). */
inline Uint32 ramboSealedSlots(const Uint8* record, Uint32 available)
{
    RamboSlotHeader head;
    if (available < RAMBO_SLOT_SIZE)
        return 0;
    memcpy(&head, record, sizeof head);
    if (head.marker != RAMBO_SEAL_MARKER || head.slots == 0 || head.slots > RAMBO_MAX_RECORD_SLOTS)
        return 0;
    Uint32 bytes = static_cast<Uint32>(head.slots) << RAMBO_SLOT_SHIFT;
    if (bytes > available)
        return 0;
    Uint32 trailer;
    memcpy(&trailer, record + bytes - 4, sizeof trailer);
    return trailer == static_cast<Uint32>(~head.sequence) ? head.slots : 0;
}

#endif /* RAMBO_H */
