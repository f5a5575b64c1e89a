/*
 * gptrace.h - the trace facility: the trace control block (GTCB) with its
 * options, its life cycle (initialise, attach, enable, disable, clear,
 * options), the process-wide values every record carries, the trace-point
 * filter preOptions, the record format, and the record writers that
 * instrumented code calls.
 *
 * The library never allocates a control block.  A controlling program asks
 * gtraceGetAllocSize for the size, places that many bytes (normally in
 * shared memory), lays them out with gtraceInitialize, and every process
 * that writes into the block calls gtraceAttach.  Tracing is off until
 * somebody calls gtraceEnable.
 *
 * A writer is called only when g_pGTCB is set and its `enabled` word is
 * non-zero; the writers do not test either again.  The thread id is passed
 * as two 32-bit words, low first.  All writers are plain C functions with
 * the caller removing the arguments.
 */
#ifndef GPTRACE_H
#define GPTRACE_H

#include "kivbase.h"
#include "gtmask.h"
#include "rambo.h"

/* ---- Record types ---------------------------------------------------------- */
#define GTRACE_TYPE_ENTRY        1
#define GTRACE_TYPE_EXIT         2
#define GTRACE_TYPE_DATA         3
#define GTRACE_TYPE_ERROR_DATA   4
#define GTRACE_TYPE_CORRELATOR   12
#define GTRACE_TYPE_ERROR_TRANS  13

/* ---- Item types of the ...Var writers --------------------------------------
 * Each item is three words in the argument list: type, size, and either the
 * value itself (immediate types 1 and 2, at most 4 bytes of it) or the
 * address of `size` bytes.  On 64-bit builds the third word is read as a
 * pointer-sized word: pass addresses as pointers (nullptr, not 0).  Type 4
 * in a record marks an item cut short by the record's length limit. */
#define GTRACE_ITEM_BLOCK        0
#define GTRACE_ITEM_IMMEDIATE1   1
#define GTRACE_ITEM_IMMEDIATE2   2
#define GTRACE_ITEM_SHORTENED    4
#define GTRACE_ITEM_NULL_SIZE    0xFFFFFFFFu  /* recorded size of a null block */
#define GTRACE_MAX_DATA_LENGTH   0xFFFFu      /* descriptors plus item bytes */

/* ---- Trace kinds (GtraceOptions::traceKind) --------------------------------- */
#define GTRACE_KIND_WRAP         0x01u  /* ring wraps */
#define GTRACE_KIND_STOP         0x02u  /* ring stops when full */
#define GTRACE_KIND_CHUNKED      0x04u  /* ring wraps in chunks for an automatic dumper */
#define GTRACE_KIND_PROFILE      0x08u  /* call counts and elapsed times */
#define GTRACE_KIND_RANDSLEEP    0x10u  /* random sleeps instead of records */
#define GTRACE_KIND_GCTRACE      0x80u  /* point and exit-bit counters */
#define GTRACE_KIND_SELECT       0x88u  /* traceKind & this selects the kind */

/* ---- Behaviour and filter bits (GtraceOptions::traceFlags) ------------------ */
#define GTRACE_FLAG_TIMESTAMP      0x00002u  /* QueryPerformanceCounter per record */
#define GTRACE_FLAG_BITMAPS        0x00004u  /* filter by the five bitmaps */
#define GTRACE_FLAG_PROCESS        0x00020u  /* filter by processFilters */
#define GTRACE_FLAG_STOP_ON_RC     0x00040u  /* with bit 7: stop after stopCount exits */
#define GTRACE_FLAG_COMPARE_RC     0x00080u  /* compare exit codes with stopReturnCode */
#define GTRACE_FLAG_APP_CALLBACK   0x00100u  /* application callback after each record */
#define GTRACE_FLAG_PROFILE        0x00200u  /* set by the library: profile kind */
#define GTRACE_FLAG_CALL_STACKS    0x00400u  /* profile: call stacks and elapsed times */
#define GTRACE_FLAG_RANDSLEEP      0x00800u  /* set by the library: random-sleep mode */
#define GTRACE_FLAG_MASK           0x02000u  /* filter by traceMask (bit 2 clear) */
#define GTRACE_FLAG_ERRORS_ONLY    0x04000u  /* only error record types, failing exits */
#define GTRACE_FLAG_GCTRACE        0x08000u  /* set by the library: gctrace kind */
#define GTRACE_FLAG_FIXED_DATA2    0x10000u  /* filter by fixedData2Filters */
#define GTRACE_FLAG_PRE_CALLBACK   0x20000u  /* ask the pre-trace callback */
/* Any of these sends a writer through preOptions and the kind checks. */
#define GTRACE_FLAGS_SLOW_PATH     0x1EA3Eu
/* Any of these makes a writer do more after the seal. */
#define GTRACE_FLAGS_AFTER_SEAL    0x001C0u

/* ---- Process filter entries ------------------------------------------------ */
#define GTRACE_PFILTER_IN_USE      0x1u
#define GTRACE_PFILTER_THREAD      0x2u  /* the thread id must match too */
#define GTRACE_MAX_PROCESS_FILTERS 64u
#define GTRACE_MAX_FIXED_DATA2     65u

/* ---- Sizes ----------------------------------------------------------------- */
#define GTRACE_OPTIONS_SIZE        0x30F60u  /* 200544 */
#define GTRACE_HEADER_SIZE         0x30F70u  /* the block up to its kind area */
#define GTRACE_MIN_BUFFER_SIZE     0x80000u
#define GTRACE_MAX_BUFFER_SIZE     0x40000000u

struct GtraceProcessFilter {
    Uint32 flags;       /* GTRACE_PFILTER_... */
    Uint32 processId;
    Uint64 threadId;
};
static_assert(sizeof(GtraceProcessFilter) == 16, "a process filter is 16 bytes");
static_assert(offsetof(GtraceProcessFilter, processId) == 4, "process id at 4");
static_assert(offsetof(GtraceProcessFilter, threadId) == 8, "thread id at 8");

/* The trace options: kept in the control block and stored whole in every
 * trace dump header.  The five bitmaps from typeBitmap to
 * functionGroupBitmap are one GTMask block (see gtraceOptionsBitmaps). */
struct GtraceOptions {
    Uint32 bufferSize;          /* kind area's data buffer (ring: power of two) */
    Uint32 traceKind;           /* GTRACE_KIND_... */
    Uint64 wrapFileSize;        /* non-zero: dumped as a circular file */
    Uint32 traceFlags;          /* GTRACE_FLAG_... */
    Uint32 reserved1[2];        /* not interpreted by the library */
    Uint32 stopCount;           /* matching exits after which tracing stops */
    Uint32 stopReturnCode;      /* the code counted; random-sleep: the period */
    Uint32 processFilterCount;  /* used entries of processFilters */
    GtraceProcessFilter processFilters[GTRACE_MAX_PROCESS_FILTERS];
    Uint8  typeBitmap[2];       /* bit n: record type n */
    Uint8  productBitmap[4];    /* bit n: product n (function id bits 27..31) */
    Uint8  componentBitmap[32]; /* bit n: component n (bits 19..26) */
    Uint8  functionBitmap[512]; /* bit n: function n (bits 0..15), 0..4095 */
    Uint8  functionGroupBitmap; /* bit n: group n (bits 16..18) */
    Uint8  reserved2;
    GTM_TRC_MASK traceMask;     /* asked when GTRACE_FLAG_MASK is set */
    Uint32 fixedData2FilterCount;
    Uint32 fixedData2Filters[GTRACE_MAX_FIXED_DATA2];
};
static_assert(sizeof(GtraceOptions) == GTRACE_OPTIONS_SIZE, "GtraceOptions is 200544 bytes");
static_assert(offsetof(GtraceOptions, bufferSize) == 0, "bufferSize at 0");
static_assert(offsetof(GtraceOptions, traceKind) == 4, "traceKind at 4");
static_assert(offsetof(GtraceOptions, wrapFileSize) == 8, "wrapFileSize at 8");
static_assert(offsetof(GtraceOptions, traceFlags) == 16, "traceFlags at 16");
static_assert(offsetof(GtraceOptions, reserved1) == 20, "two free words at 20");
static_assert(offsetof(GtraceOptions, stopCount) == 28, "stopCount at 28");
static_assert(offsetof(GtraceOptions, stopReturnCode) == 32, "stopReturnCode at 32");
static_assert(offsetof(GtraceOptions, processFilterCount) == 36, "processFilterCount at 36");
static_assert(offsetof(GtraceOptions, processFilters) == 40, "processFilters at 40");
static_assert(offsetof(GtraceOptions, typeBitmap) == 1064, "typeBitmap at 1064");
static_assert(offsetof(GtraceOptions, productBitmap) == 1066, "productBitmap at 1066");
static_assert(offsetof(GtraceOptions, componentBitmap) == 1070, "componentBitmap at 1070");
static_assert(offsetof(GtraceOptions, functionBitmap) == 1102, "functionBitmap at 1102");
static_assert(offsetof(GtraceOptions, functionGroupBitmap) == 1614, "group bitmap at 1614");
static_assert(offsetof(GtraceOptions, reserved2) == 1615, "zero byte at 1615");
static_assert(offsetof(GtraceOptions, traceMask) == 1616, "traceMask at 1616");
static_assert(offsetof(GtraceOptions, fixedData2FilterCount) == 200280,
              "fixedData2FilterCount at 200280");
static_assert(offsetof(GtraceOptions, fixedData2Filters) == 200284, "fixedData2Filters at 200284");

/* The bitmap block of the options seen as the GTMask that gtmReplicateMask
 * fills (its byte 550 is functionGroupBitmap). */
inline GTMask* gtraceOptionsBitmaps(GtraceOptions* options)
{
    return reinterpret_cast<GTMask*>(options->typeBitmap);
}

/* The trace control block: a 16-byte header, the options, then the kind
 * area at GTRACE_HEADER_SIZE (ring buffer, profile table or gctrace area),
 * whose size depends on options.bufferSize.  Offsets are the same in every
 * process that maps the block. */
struct GTCB {
    volatile Uint32 initialized;  /* 1 once gtraceInitialize succeeded */
    volatile Uint32 enabled;      /* 0 off, else on */
    volatile Uint32 stopCounter;  /* stop-on-rc counter; profile: calls without a slot */
    Uint32 reserved;              /* 0 */
    GtraceOptions options;
};
static_assert(sizeof(GTCB) == GTRACE_HEADER_SIZE, "the header of GTCB is 0x30F70 bytes");
static_assert(offsetof(GTCB, initialized) == 0, "initialized at 0");
static_assert(offsetof(GTCB, enabled) == 4, "enabled at 4");
static_assert(offsetof(GTCB, stopCounter) == 8, "stopCounter at 8");
static_assert(offsetof(GTCB, reserved) == 12, "zero word at 12");
static_assert(offsetof(GTCB, options) == 16, "options at 16");

/* The kind area that follows the header. */
inline Uint8* gtraceKindArea(GTCB* block)
{
    return reinterpret_cast<Uint8*>(block) + GTRACE_HEADER_SIZE;
}
inline RAMBOCB* gtraceRingBuffer(GTCB* block)
{
    return reinterpret_cast<RAMBOCB*>(gtraceKindArea(block));
}

/* ---- Trace records -----------------------------------------------------------
 * The payload of a ring-buffer record.  The words from 0x28 on depend on the
 * writer: a, b, c and the item count of data records, then d and e of the
 * error-rc records (where the other data records begin their items). */
struct GtraceRecord {
    Uint64 timestamp;    /* 0x00: set only on the slow path with GTRACE_FLAG_TIMESTAMP */
    Uint64 threadId;     /* 0x08 */
    Uint32 processId;    /* 0x10 */
    Uint32 functionId;   /* 0x14 */
    Uint32 fixedData1;   /* 0x18 */
    Uint32 fixedData2;   /* 0x1C */
    Uint16 recordType;   /* 0x20 */
    Uint16 recordFlags;  /* 0x22: 2 for a flagged marker */
    Uint16 probe;        /* 0x24 */
    Uint16 dataLength;   /* 0x26: data records: descriptors plus item bytes */
    Uint32 a;            /* 0x28 */
    Uint32 b;            /* 0x2C */
    Uint32 c;            /* 0x30: exit records: the return code */
    Uint32 itemCount;    /* 0x34: data records */
    Uint32 d;            /* 0x38: error-rc and translation records */
    Uint32 e;            /* 0x3C */
};
static_assert(sizeof(GtraceRecord) == 64, "the record view is 64 bytes");
static_assert(offsetof(GtraceRecord, threadId) == 0x08, "threadId at 0x08");
static_assert(offsetof(GtraceRecord, processId) == 0x10, "process id at 0x10");
static_assert(offsetof(GtraceRecord, functionId) == 0x14, "function id at 0x14");
static_assert(offsetof(GtraceRecord, fixedData1) == 0x18, "fixed data 1 at 0x18");
static_assert(offsetof(GtraceRecord, fixedData2) == 0x1C, "fixed data 2 at 0x1C");
static_assert(offsetof(GtraceRecord, recordType) == 0x20, "recordType at 0x20");
static_assert(offsetof(GtraceRecord, recordFlags) == 0x22, "record flags at 0x22");
static_assert(offsetof(GtraceRecord, probe) == 0x24, "probe at 0x24");
static_assert(offsetof(GtraceRecord, dataLength) == 0x26, "data length at 0x26");
static_assert(offsetof(GtraceRecord, a) == 0x28, "a at 0x28");
static_assert(offsetof(GtraceRecord, b) == 0x2C, "b at 0x2C");
static_assert(offsetof(GtraceRecord, c) == 0x30, "c at 0x30");
static_assert(offsetof(GtraceRecord, itemCount) == 0x34, "item count at 0x34");
static_assert(offsetof(GtraceRecord, d) == 0x38, "d at 0x38");
static_assert(offsetof(GtraceRecord, e) == 0x3C, "e at 0x3C");

#define GTRACE_FIXED_PAYLOAD     0x28u  /* header fields of every record */
#define GTRACE_ENTRY_PAYLOAD     0x30u  /* entry, error: a and b */
#define GTRACE_EXIT_PAYLOAD      0x34u  /* exit: a, b and the return code */
#define GTRACE_WIDE_PAYLOAD      0x40u  /* error-rc and translation records */
#define GTRACE_ITEMS_BASE        0x38u  /* descriptors of the data writers */
#define GTRACE_ITEMS_BASE_RC     0x40u  /* descriptors of gtraceErrorRcVar */

/* An item descriptor of a data record. */
struct GtraceItemDescriptor {
    Uint32 type;
    Uint32 size;  /* GTRACE_ITEM_NULL_SIZE for a block item with a null address */
};
static_assert(sizeof(GtraceItemDescriptor) == 8, "item descriptors are 8 bytes");

/* ---- Profile kind -------------------------------------------------------------
 * The kind area is a table of bufferSize / 16 entries. */
struct GtraceProfileEntry {
    Uint32 callCount;
    Uint32 functionId;   /* 0: free */
    Uint64 elapsed;      /* QueryPerformanceCounter units */
};
static_assert(sizeof(GtraceProfileEntry) == 16, "profile entries are 16 bytes");
static_assert(offsetof(GtraceProfileEntry, functionId) == 4, "function id at 4");
static_assert(offsetof(GtraceProfileEntry, elapsed) == 8, "elapsed at 8");

/* ---- Gctrace kind ---------------------------------------------------------------
 * The kind area: a header, 262144 buckets, then the entry area.  All offsets
 * are from the start of the kind area. */
#define GCTRACE_BUCKETS          0x40000u
#define GCTRACE_BUCKET_MASK      0x3FFFFu
#define GCTRACE_BUCKETS_OFFSET   32u
#define GCTRACE_ENTRIES_OFFSET   0x400020u
#define GCTRACE_ENTRY_SIZE       32u
#define GCTRACE_BIT_COUNTERS     64u
#define GCTRACE_EXIT_ENTRY_SIZE  0x120u     /* entry plus 64 bit counters */
#define GCTRACE_EXIT_PROBE       0x1D4CBu   /* hashed with the function for exits */

struct GctraceHeader {
    KIVLatch latch;           /* claims in the entry area */
    Uint8    reserved[7];
    Uint64   bucketsOffset;   /* 32 */
    Uint64   entriesOffset;   /* 0x400020 */
    Uint64   nextFree;        /* next unclaimed entry */
};
static_assert(sizeof(GctraceHeader) == 32, "the gctrace header is 32 bytes");
static_assert(offsetof(GctraceHeader, bucketsOffset) == 8, "bucket table offset at 8");
static_assert(offsetof(GctraceHeader, entriesOffset) == 16, "entry area offset at 16");
static_assert(offsetof(GctraceHeader, nextFree) == 24, "next free at 24");

struct GctraceBucket {
    Uint64   head;            /* first entry of the chain, 0: none */
    KIVLatch latch;
    Uint8    reserved[7];
};
static_assert(sizeof(GctraceBucket) == 16, "buckets are 16 bytes");
static_assert(offsetof(GctraceBucket, latch) == 8, "bucket latch at 8");

struct GctraceEntry {
    Uint32 functionId;
    Uint16 type;
    Uint16 probe;
    Uint32 count;
    Uint32 reserved;
    Uint64 bitCounters;       /* exit entries: offset of 64 u32 counters */
    Uint64 next;              /* next entry of the chain, 0: end */
};
static_assert(sizeof(GctraceEntry) == GCTRACE_ENTRY_SIZE, "gctrace entries are 32 bytes");
static_assert(offsetof(GctraceEntry, type) == 4, "type at 4");
static_assert(offsetof(GctraceEntry, probe) == 6, "probe at 6");
static_assert(offsetof(GctraceEntry, count) == 8, "count at 8");
static_assert(offsetof(GctraceEntry, bitCounters) == 0x10, "bit counters at 0x10");
static_assert(offsetof(GctraceEntry, next) == 0x18, "next at 0x18");

/* ---- Callbacks ---------------------------------------------------------------
 * Application callback, after each record when GTRACE_FLAG_APP_CALLBACK is
 * set: arg4 is the address of the return code for exit records, else 0;
 * data writers pass the item count as arg5 and, as arg6, the address of a
 * va_list positioned at their first item triple.  Its result is ignored.
 * Pre-trace callback, before each record when GTRACE_FLAG_PRE_CALLBACK is
 * set: a non-zero result suppresses the record.  Disable callback: when
 * tracing is switched off. */
typedef Uint32 (*GtraceAppCallback)(Uint32 recordType, Uint32 functionId, Uint32 probe,
                                    uintptr_t arg4, Uint32 arg5, uintptr_t arg6);
typedef Uint64 (*GtracePreTraceCallback)(Uint32 recordType, Uint32 functionId, Uint32 probe);
typedef void (*GtraceDisableCallback)(void);

#ifdef __cplusplus
extern "C" {
#endif

/* The attached control block, null when tracing is not attached. */
KIV_API extern GTCB* volatile g_pGTCB;

/* ---- Control block life cycle --------------------------------------------------
 * Errors: ECF_GTRACE_NOT_ATTACHED (g_pGTCB null), ECF_GTRACE_NOT_INITIALIZED,
 * ECF_INVALID_PARAMETER, ECF_GTRACE_INVALID_BUFFER_SIZE, and the ring
 * buffer's own codes. */

/* Bytes to allocate for a ring-kind block, 0 for an unusable size. */
KIV_API Uint32 gtraceGetAllocSize(Uint32 bufferSize);
KIV_API Uint32 gtraceInitialize(GTCB* block, const GtraceOptions* options);
KIV_API Uint32 gtraceAttach(GTCB* block, Uint32 processId, GtraceAppCallback appCallback,
                            GtraceDisableCallback disableCallback,
                            GtracePreTraceCallback preTraceCallback);
KIV_API Uint32 gtraceDetach(void);
KIV_API Uint32 gtraceEnable(void);
KIV_API Uint32 gtraceDisable(void);
KIV_API Uint32 gtraceClear(void);
/* Replaces everything from traceFlags on; bufferSize, traceKind and
 * wrapFileSize stay.  For the profile kind the caller's traceFlags lose the
 * time-stamp and call-stack bits. */
KIV_API Uint32 gtraceSetOptions(GtraceOptions* newOptions);
KIV_API Uint32 gtraceGetOptions(GtraceOptions* out);
KIV_API Uint32 gtraceGetOptionsPtr(GtraceOptions** out);

/* Process-wide values; the setters return the value set. */
KIV_API Uint32 gtraceSetProcessID(Uint32 processId);
KIV_API Uint32 gtraceGetProcessID(void);
KIV_API Uint32 gtraceSetFixedData1(Uint32 value);
KIV_API Uint32 gtraceGetFixedData1(void);
KIV_API Uint32 gtraceSetFixedData2(Uint32 value);
KIV_API Uint32 gtraceGetFixedData2(void);
KIV_API GtraceAppCallback gtraceGetAppCallBackFnPtr(void);
KIV_API GtracePreTraceCallback gtraceGetAppPreTraceCallBackFnPtr(void);

/* The ring buffer's automatic-dumper hand-shake. */
KIV_API Uint32 gtraceAutoDumpEnabled(Uint8 enable);
KIV_API Uint32 gtraceInitializeChunkWalker(RamboChunkWalker* walker);

/* The trace-point filter: true when a record of this type, function and
 * probe is to be written; stores the time stamp when asked to. */
KIV_API bool preOptions(Uint16 recordType, Uint32 functionId, Uint16 probe, Uint64 threadId,
                        Uint64* timestamp);

/* ---- Record writers --------------------------------------------------------------
 * Results carry no meaning (0). */
KIV_API Uint32 gtraceEntry(Uint32 tidLow, Uint32 tidHigh, Uint32 fn, Uint32 a, Uint32 b);
KIV_API Uint32 gtraceExit(Uint32 tidLow, Uint32 tidHigh, Uint32 fn, Uint32* rc, Uint32 a,
                          Uint32 b);
KIV_API Uint32 gtraceError(Uint32 tidLow, Uint32 tidHigh, Uint32 fn, Uint16 probe, Uint16 type,
                           Uint32 a, Uint32 b);
KIV_API Uint32 gtraceMarker(Uint32 tidLow, Uint32 tidHigh, Uint32 fn, Uint16 probe,
                            Uint32 typeAndFlag);
KIV_API Uint32 gtraceErrorRc(Uint32 tidLow, Uint32 tidHigh, Uint32 fn, Uint16 probe, Uint16 type,
                             Uint32 a, Uint32 b, Uint32 c, Uint32 d, Uint32 e);
KIV_API Uint32 gtraceErrorTrans(Uint32 tidLow, Uint32 tidHigh, Uint32 fn, Uint16 probe, Uint32 a,
                                Uint32 b, Uint32 c, Uint32 d);
KIV_API Uint32 gtraceEntryVar(Uint32 tidLow, Uint32 tidHigh, Uint32 fn, Uint32 a, Uint32 b,
                              Uint32 count, ...);
KIV_API Uint32 gtraceExitVar(Uint32 tidLow, Uint32 tidHigh, Uint32 fn, Uint32* rc, Uint32 a,
                             Uint32 b, Uint32 count, ...);
KIV_API Uint32 gtraceVar(Uint32 tidLow, Uint32 tidHigh, Uint32 fn, Uint16 probe, Uint16 type,
                         Uint32 count, ...);
KIV_API Uint32 gtraceErrorVar(Uint32 tidLow, Uint32 tidHigh, Uint32 fn, Uint16 probe, Uint16 type,
                              Uint32 a, Uint32 b, Uint32 count, ...);
KIV_API Uint32 gtraceErrorRcVar(Uint32 tidLow, Uint32 tidHigh, Uint32 fn, Uint16 probe,
                                Uint16 type, Uint32 a, Uint32 b, Uint32 c, Uint32 d, Uint32 e,
                                Uint32 count, ...);
KIV_API Uint32 gtraceMarkerVar(Uint32 tidLow, Uint32 tidHigh, Uint32 fn, Uint16 probe,
                               Uint32 typeAndFlag, Uint32 count, ...);
KIV_API Uint32 gtraceCorrelatorVar(Uint32 tidLow, Uint32 tidHigh, Uint32 fn, Uint16 probe,
                                   Uint32 a, Uint32 b, Uint32 c, Uint32 count, ...);
/* Accepted for callers that emit events; they record nothing. */
KIV_API Uint32 gtraceEvent(Uint32 tidLow, Uint32 tidHigh, Uint32 fn, ...);
KIV_API Uint32 gtraceEventVar(Uint32 tidLow, Uint32 tidHigh, Uint32 fn, ...);

/* Random-sleep mode's step: every stopReturnCode-th call sleeps up to 200
 * ms; returns the new call count. */
KIV_API Uint32 gtraceRandSleep(void);

/* ---- Gctrace kind ---------------------------------------------------------------- */
/* The address of the kind area (ECF_INVALID_ADDRESS without a block). */
KIV_API Uint32 gctraceGetOffset(uintptr_t* out);
/* 0 for a gctrace block; ECF_INVALID_ADDRESS without a block,
 * ECF_INVALID_PARAMETER for another kind. */
KIV_API Uint32 gctraceValidateTraceType(void);

#ifdef __cplusplus
}
#endif

#endif /* GPTRACE_H */
