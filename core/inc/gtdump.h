/*
 * gtdump.h - trace dump files: the pieces a dumping tool writes (header,
 * data address and size, tail), the validators, and the parser that walks
 * the records of a dump forwards (oldest first) or backwards (newest
 * first), rejecting torn and stale records.
 *
 * A dump file, all integers little-endian:
 *
 *   0        "GTDUMP1\0"
 *   8        the trace options as they were at dump time (200544 bytes)
 *   200552   the tick conversion factor of the dumping process (16 bytes)
 *   200568   ring kind: RamboDumpHeader; profile kind: 16 bytes the parser
 *            does not interpret (the library writes a continuous
 *            RamboDumpHeader there too, so that both kinds validate alike)
 *   200584   ring kind: slots; profile kind: the profile table
 *   then     ring kind, instantaneous dumps only: RamboDumpTail
 *
 * Writing one: write the header buffer of gtraceGetDumpHeaderBuffer, then
 * dataSize bytes from dataAddress, then, for an instantaneous ring dump,
 * the tail of gtraceGetDumpTail.
 *
 * Reading one: validate, open, parse until 0, ask wrap and truncation,
 * close.  Validation starts at the file's current position and puts it
 * back; the parser seeks before every read, so nothing else may use the
 * file between open and close.
 */
#ifndef GTDUMP_H
#define GTDUMP_H

#include "kivbase.h"
#include "gptrace.h"
#include "kivfile.h"
#include "kivtick.h"
#include "rambo.h"

#define GTRACE_DUMP_PREFIX_SIZE  200568u  /* eye-catcher, options, tick factor */
#define GTRACE_DUMP_HEADER_SIZE  200584u  /* the prefix and the ring header */
#define RAMBO_DUMP_HEADER_SIZE   16u
#define RAMBO_DUMP_TAIL_SIZE     32u

/* Parser kinds, read from the stored options: traceKind bit 3 is the
 * profile kind, anything else a ring dump. */
#define GTRACE_PARSER_RING       1u
#define GTRACE_PARSER_PROFILE    2u

/* The first 200584 bytes of a dump. */
struct GtraceDumpHeader {
    char                    eyeCatcher[8];   /* "GTDUMP1\0" */
    GtraceOptions           options;
    KIVTickConversionFactor tickFactor;
    RamboDumpHeader         ring;
};
static_assert(offsetof(GtraceDumpHeader, options) == 8, "options at 8");
static_assert(offsetof(GtraceDumpHeader, tickFactor) == 200552, "tick factor at 200552");
static_assert(offsetof(GtraceDumpHeader, ring) == GTRACE_DUMP_PREFIX_SIZE, "ring header at 200568");
static_assert(sizeof(GtraceDumpHeader) == GTRACE_DUMP_HEADER_SIZE,
              "the dump header is 200584 bytes");

/* The state of a ring dump walk.  Positions are 64-bit: a continuous dump
 * may grow past 4 GB. */
struct RamboDumpParser {
    Uint64 dataPosition;     /* file position of the slot data */
    Uint64 currentOffset;    /* of the current slot within the data */
    Uint64 bytesLeft;        /* data still to visit */
    Uint8* buffer;           /* read buffer */
    Uint8* current;          /* current slot within the read buffer */
    Uint32 validBytes;       /* buffered bytes from the current slot on */
    Uint32 bufferSize;       /* of the read buffer */
    Uint32 refillThreshold;  /* backward walk: bytes buffered before the current slot */
    Uint32 slotsInBuffer;    /* backward walk: slots left below the current one, it included */
    Uint32 slotIndex;        /* current slot (instantaneous dumps) */
    Uint32 slotCount;
    Uint32 counter;          /* instantaneous: counter at dump time; circular: newest sequence */
    Uint16 dumpType;         /* RAMBO_DUMP_INSTANTANEOUS or RAMBO_DUMP_CONTINUOUS */
    Uint8  forward;          /* 1 oldest first, 0 newest first */
    Uint8  open;
    Uint8  wrapped;          /* the buffer (or circular file) went round */
    Uint8  lost;             /* a stop-when-full buffer overflowed */
    Uint8  circular;         /* continuous dump written as a circular file */
    Uint8  reserved;
    Uint32 rejected;         /* sealed-looking records that failed the test */
    /* Backward walk: rejected slots not yet counted, because the first slot
     * of a good record further down may show them to be its padding. */
    Uint32 pendingFirst;
    Uint32 pendingCount;
};
#if defined(__SIZEOF_POINTER__) && __SIZEOF_POINTER__ == 4
static_assert(offsetof(RamboDumpParser, buffer) == 24, "read buffer at 24");
static_assert(offsetof(RamboDumpParser, current) == 28, "current record at 28");
static_assert(offsetof(RamboDumpParser, validBytes) == 32, "valid bytes at 32");
static_assert(offsetof(RamboDumpParser, bufferSize) == 36, "buffer size at 36");
static_assert(offsetof(RamboDumpParser, refillThreshold) == 40, "refill threshold at 40");
static_assert(offsetof(RamboDumpParser, slotsInBuffer) == 44, "buffered slots at 44");
static_assert(offsetof(RamboDumpParser, slotIndex) == 48, "slot index at 48");
static_assert(offsetof(RamboDumpParser, slotCount) == 52, "slot count at 52");
static_assert(offsetof(RamboDumpParser, counter) == 56, "counter at 56");
static_assert(offsetof(RamboDumpParser, dumpType) == 60, "dump type at 60");
static_assert(offsetof(RamboDumpParser, forward) == 62, "direction at 62");
static_assert(offsetof(RamboDumpParser, open) == 63, "open flag at 63");
static_assert(offsetof(RamboDumpParser, wrapped) == 64, "wrap flag at 64");
static_assert(offsetof(RamboDumpParser, lost) == 65, "lost flag at 65");
static_assert(sizeof(RamboDumpParser) == 80, "the ring state is 80 bytes on 32-bit");
#endif

/* The state of a profile dump walk. */
struct GtraceProfileParser {
    Uint8* buffer;           /* read buffer, GTRACE_PROFILE_READ_SIZE bytes */
    Uint8* current;          /* next entry within it */
    Uint32 bytesUsed;        /* of the valid bytes, those already walked */
    Uint32 bytesValid;
    Uint32 entriesVisited;
    Uint32 entryLimit;       /* bufferSize / 16 */
    Uint32 endOfFile;
    Uint32 reserved;
    Uint64 nextPosition;     /* file position of the next block */
};
#define GTRACE_PROFILE_READ_SIZE 16384u

/* The parser object: one per open dump, owned by the caller. */
struct GtraceDumpFileParser {
    Uint32 kind;             /* GTRACE_PARSER_RING or GTRACE_PARSER_PROFILE; 0 when not open */
    Uint32 reserved;         /* 0 */
    union {
        RamboDumpParser     ring;
        GtraceProfileParser profile;
    };
};
static_assert(offsetof(GtraceDumpFileParser, ring) == 8, "kind-specific state at 8");

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Writing a dump (from the attached control block) ------------------------
 * Errors: ECF_GTRACE_NOT_ATTACHED, ECF_GTRACE_NOT_INITIALIZED,
 * ECF_INVALID_PARAMETER (null buffer). */

/* Fills the GTRACE_DUMP_HEADER_SIZE bytes at `buffer`.  For the ring kind,
 * `instantaneous` selects dump type 1 or 2 and the data is the slot array;
 * for the other kinds the data is the kind area, options.bufferSize bytes.
 * Either out pointer may be null. */
KIV_API Uint32 gtraceGetDumpHeaderBuffer(Uint8 instantaneous, void* buffer, void** dataAddress,
                                         Uint32* dataSize);
/* Ring kind: the ring buffer's dump tail.  Other kinds: 0, nothing written. */
KIV_API Uint32 gtraceGetDumpTail(RamboDumpTail* tail);

/* ---- Validation --------------------------------------------------------------
 * Both start at the file's current position and restore it. */

/* `expectedKind` 0 accepts either kind.  ECF_GTRACE_DUMP_HEADER_TRUNCATED,
 * ECF_GTRACE_INVALID_DUMP_EYE_CATCHER, ECF_INVALID_PARAMETER (null file,
 * other kind), the codes of ramboValidateDumpFile, or a read error. */
KIV_API Uint32 gtraceValidateDumpFile(KIVHFile* file, Uint32 expectedKind);
/* At a RamboDumpHeader: ECF_RAMBO_DUMP_HEADER_TRUNCATED,
 * ECF_RAMBO_INVALID_DUMP_HEADER_EYE_CATCHER, ECF_RAMBO_INVALID_DUMP_TYPE,
 * ECF_RAMBO_INVALID_DUMP_BUFFER_SIZE, ECF_RAMBO_INSTANT_DUMP_TRUNCATED,
 * ECF_RAMBO_INVALID_DUMP_TAIL_EYE_CATCHER,
 * ECF_RAMBO_INVALID_DUMP_SLOT_INDEX, ECF_RAMBO_DUMP_TRUNCATED. */
KIV_API Uint32 ramboValidateDumpFile(KIVHFile* file);

/* ---- Parsing -------------------------------------------------------------------
 * Open at the file's current position (the dump's start, or for the rambo
 * variant its RamboDumpHeader); `forward` 1 walks oldest first.  The read
 * buffer comes from kivMemAlloc; close gives it back. */
KIV_API Uint32 gtraceOpenDumpFileParser(KIVHFile* file, GtraceDumpFileParser* parser,
                                        Uint8 forward);
KIV_API Uint32 ramboOpenDumpFileParser(KIVHFile* file, RamboDumpParser* state, Uint8 forward);

/* The payload length of the next good record (profile kind: 16 for the next
 * used entry), 0 at the end.  `*payloadPosition` (if not null) is the file
 * position of the payload; min(outSize, length) bytes of it are copied to
 * `out` when both are given. */
KIV_API Uint32 gtraceParseRecords(KIVHFile* file, GtraceDumpFileParser* parser,
                                  Uint64* payloadPosition, void* out, Uint32 outSize);
KIV_API Uint32 ramboParseDumpFile(KIVHFile* file, RamboDumpParser* state, Uint64* payloadPosition,
                                  void* out, Uint32 outSize);

KIV_API Uint32 gtraceCloseDumpFileParser(GtraceDumpFileParser* parser);
KIV_API Uint32 ramboCloseDumpFileParser(RamboDumpParser* state);

/* After the walk: did the buffer go round, were records lost (a
 * stop-when-full buffer overflowed)?  ECF_INVALID_PARAMETER for a null or
 * closed state or a null `out`. */
KIV_API Uint32 ramboDidBufferWrap(RamboDumpParser* state, Uint8* out);
KIV_API Uint32 ramboWasBufferTruncated(RamboDumpParser* state, Uint8* out);
/* How many records the walk so far skipped although they carried the seal
 * marker: torn (written while the dump was taken), or cut off by the end of
 * the data.  Stale records of an earlier lap, and what is left of them in
 * the unused bytes of newer records, are not counted.  Both directions
 * count the same.  Errors as ramboDidBufferWrap. */
KIV_API Uint32 ramboGetRejectedRecords(RamboDumpParser* state, Uint32* out);

#ifdef __cplusplus
}
#endif

#endif /* GTDUMP_H */
