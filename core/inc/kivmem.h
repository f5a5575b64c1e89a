/*
 * kivmem.h - the library's heap interface: kivMemAlloc and kivMemFree, the
 * debug modes with their guard patterns, the allocation list and its leak
 * report, and the pointer plausibility checks.
 *
 * Every block carries a 16-byte header just before the caller's pointer U.
 * What else surrounds it depends on the debug mode that was current when it
 * was allocated (R is the request rounded up to a multiple of 8):
 *
 *   off    header | user area (not rounded)
 *   IDLE   0, 0, size, mode | header | user area
 *   LIGHT  guard, size, mode | header | user area, slack 0xCC | guard, size, mode
 *   FULL   front guards | allocation record (list links, file, line, sizes,
 *          pad counts, mode, header) | user area, slack 0xCC | back guards |
 *          size, mode
 *
 * The mode is chosen at process start from the environment variable
 * KIVEMEMDBG ("<directory>,<level>", level FULL, CORRUPTIONS, LIGHT, LEAKS
 * or ALL); without it the allocator runs in IDLE mode.
 */
#ifndef KIVMEM_H
#define KIVMEM_H

#include "kivbase.h"
#include "kivlatch.h"

/* Mode words, kept in the control block and copied into each block. */
#define KIVMEM_MODE_OFF   0x00000000u
#define KIVMEM_MODE_IDLE  0x1D1EC0DEu
#define KIVMEM_MODE_LIGHT 0xE7AC011Au
#define KIVMEM_MODE_FULL  0xA110CA7Eu
#define KIVMEM_MODE_FREED 0xF4EEDA7Au /* a block's mode word once it is freed */

/* Block header eye-catchers; the low four bits carry allocation flags and
 * are ignored when the eye-catcher is compared. */
#define KIVMEM_EYE_LIVE  0x5AFEB100u
#define KIVMEM_EYE_FREED 0xDEADB100u
#define KIVMEM_EYE_MASK  0xFFFFFFF0u

/* Guard unit: 0x600DBEEF then 0xFEEDFACE, one little-endian 64-bit word. */
#define KIVMEM_GUARD_LOW  0x600DBEEFu
#define KIVMEM_GUARD_HIGH 0xFEEDFACEu
#define KIVMEM_GUARD_UNIT 0xFEEDFACE600DBEEFull
#define KIVMEM_GUARD_SIZE 8u
#define KIVMEM_SLACK_BYTE 0xCCu

/* kivMemAlloc flags. */
#define KIVMEM_ZERO_FILL 0x1u
#define KIVMEM_MARKED    0x2u /* sets the lowest bit of the eye-catcher */

/* debugFlags bits. */
#define KIVMEM_DBG_FILL_ON_ALLOC 0x01u /* new user areas filled with 0xFF */
#define KIVMEM_DBG_FILL_ON_FREE  0x02u /* LIGHT/FULL user areas 0xFF when freed */
#define KIVMEM_DBG_OTHER_4       0x04u /* kept for other modules */
#define KIVMEM_DBG_OTHER_8       0x08u /* kept for other modules */
#define KIVMEM_DBG_LONG_REPORT   0x20u /* leak report in its long, named form */

/* The largest pad count kivMemSetDebug accepts (guard units on each side).
 * A block whose recorded counts exceed it has a damaged front. */
#define KIVMEM_MAX_PAD_COUNT 4096u

/* kivMemAllocCheck result when the mode is off. */
#define KIVMEM_CHECK_MODE_OFF 0xFFFFFFFFu

/* Block header, the 16 bytes just before the caller's pointer. */
struct KIVMemBlockHeader {
    Uint32 eyeCatcher;
    Uint32 requestedSize;
    Uint32 reserved;
    Uint32 lineNumber;
};

/* The 16-byte front record of IDLE and LIGHT blocks (IDLE: two zero words
 * in place of the guard unit); a LIGHT block's trailer is a copy of it. */
struct KIVMemFrontRecord {
    Uint32 guardLow;
    Uint32 guardHigh;
    Uint32 requestedSize;
    Uint32 modeWord;
};

/* The allocation record in front of a FULL block; it ends with the block
 * header, so the user area starts right after it. */
struct KIVMemAllocRecord {
    KIVMemAllocRecord* next;   /* toward older records */
    KIVMemAllocRecord* prev;   /* toward newer records, null at the head */
    char               fileName[20];
    Uint32             requestedSize;
    Uint32             lineNumber;
    Uint32             frontPadCount;
    Uint32             backPadCount;
    Uint32             modeWord;
    KIVMemBlockHeader  header;
};

/* The trailer behind a FULL block's back guards. */
struct KIVMemFullTrailer {
    Uint32 requestedSize;
    Uint32 modeWord;
};

/* The process's memory debug control block. */
struct KIVMemDebugCB {
    Uint32             debugFlags;
    Uint32             debugMode;
    Uint32             allocationMade;
    Uint32             reserved[5];
    Uint32             frontPadCount;
    Uint32             backPadCount;
    KIVMemAllocRecord* allocListHead;
    KIVLatch           listLatch;
};

static_assert(sizeof(KIVMemBlockHeader) == 16, "block header is 16 bytes");
static_assert(sizeof(KIVMemFrontRecord) == 16, "front record is 16 bytes");
static_assert(sizeof(KIVMemFullTrailer) == 8, "FULL trailer is 8 bytes");
static_assert(offsetof(KIVMemDebugCB, frontPadCount) == 32, "pad counts after the reserved words");
/* The mode word sits right before the header in every layout (U - 20). */
static_assert(offsetof(KIVMemAllocRecord, header) == sizeof(KIVMemAllocRecord) - 16,
              "the header ends the allocation record");
static_assert(offsetof(KIVMemAllocRecord, modeWord) + 4 == offsetof(KIVMemAllocRecord, header),
              "mode word right before the header");
static_assert(sizeof(KIVMemAllocRecord) % 8 == 0, "user areas stay 8-aligned");
/* The fixed figures hold for 32-bit pointers.  With 64-bit pointers
 * the links are 8 bytes each: the record is 72 bytes (file name at 16,
 * mode word at 52, header at 56) and the control block 56. */
#define KIVMEM_PTR32_LAYOUT(cond) (sizeof(void*) != 4 || (cond))
static_assert(KIVMEM_PTR32_LAYOUT(sizeof(KIVMemAllocRecord) == 64), "allocation record is 64 bytes");
static_assert(KIVMEM_PTR32_LAYOUT(offsetof(KIVMemAllocRecord, fileName) == 8), "file name at 8");
static_assert(KIVMEM_PTR32_LAYOUT(offsetof(KIVMemAllocRecord, requestedSize) == 28), "size at 28");
static_assert(KIVMEM_PTR32_LAYOUT(offsetof(KIVMemAllocRecord, modeWord) == 44), "mode word at 44");
static_assert(KIVMEM_PTR32_LAYOUT(offsetof(KIVMemAllocRecord, header) == 48), "header at 48");
static_assert(KIVMEM_PTR32_LAYOUT(offsetof(KIVMemDebugCB, allocListHead) == 40), "list head at 40");
static_assert(KIVMEM_PTR32_LAYOUT(offsetof(KIVMemDebugCB, listLatch) == 44), "latch at 44");
static_assert(KIVMEM_PTR32_LAYOUT(sizeof(KIVMemDebugCB) == 48), "control block is 48 bytes");
static_assert(sizeof(void*) != 8 || (sizeof(KIVMemAllocRecord) == 72 &&
                                     offsetof(KIVMemAllocRecord, header) == 56),
              "64-bit record: 72 bytes, header at 56");
#undef KIVMEM_PTR32_LAYOUT

#ifdef __cplusplus
extern "C" {
#endif

/* Points to the control block when FULL mode was chosen at start-up. */
KIV_API extern KIVMemDebugCB* g_pMemDebugCB;
/* Directory of the debug log, the leak reports and the assertion reports of
 * the allocator; empty when unset. */
KIV_API extern char g_szMemDebugLogPath[261];
/* Set by another module: the next kivMemAlloc or kivMemFree clears it and
 * writes the leak report to file. */
KIV_API extern volatile Uint8 g_bDumpMemAllocListFlag;
/* With a log path, the leak report is written at process detach. */
KIV_API extern volatile Uint8 g_bIsMemoryFFDCEnabledFlag;

/* Allocates `size` bytes (0 is refused) for the caller at fileName/line.
 * 0, ECF_INVALID_PARAMETER (null ppMem, size 0, unknown flags; nothing
 * logged), or the system error handler's code when the heap is exhausted
 * (*ppMem is then untouched). */
KIV_API Uint32 kivMemAlloc(void** ppMem, void* reserved, Uint32 size, Uint32 flags,
                           const char* fileName, Uint32 lineNumber);
/* Checks the block's guards, reports any damage, releases it and sets
 * *ppMem to null.  0, ECF_INVALID_PARAMETER for a null ppMem, or
 * ECF_MEM_NULL_POINTER (logged) when *ppMem is null.  Damage never changes
 * the result; a block found already freed or of unknown layout is left
 * alone. */
KIV_API Uint32 kivMemFree(void** ppMem, Uint32 reserved1, Uint32 reserved2,
                          const char* fileName, Uint32 lineNumber);
/* Checks a block and reports every finding.  With `release` non-zero the
 * block is marked freed and *ppMem is set to the start of its heap
 * allocation (null when it must not be handed to free).  Returns the
 * requested size, KIVMEM_CHECK_MODE_OFF when the mode is off, 0 for a null
 * pointer or a block already freed or of unknown layout. */
KIV_API Uint32 kivMemAllocCheck(void** ppMem, const char* fileName, Uint32 lineNumber,
                                Uint32 release);
/* Writes the FULL-mode list of live blocks (the leak report) to a file in
 * the log directory (toFile) or to standard output.  Always 0. */
KIV_API Uint32 kivMemAllocList(bool toFile);
/* Sets flags, mode and pad counts.  After the first allocation switching
 * between off and any other mode is refused with
 * ECF_MEM_CANNOT_TOGGLE_MEM_DEBUG_AFTER_ALLOC (flags and pad counts are
 * still stored).  An unknown mode word or a pad count above
 * KIVMEM_MAX_PAD_COUNT gives ECF_INVALID_PARAMETER and changes nothing. */
KIV_API Uint32 kivMemSetDebug(Uint32 debugFlags, Uint32 mode, Uint32 frontPadCount,
                              Uint32 backPadCount);
KIV_API void kivMemSetMemFFDCEnabledFlag(void);
KIV_API bool kivMemIsMemFFDCAndKIVeMemDebugPathSet(void);
/* The start-up configuration from KIVEMEMDBG, run once at process attach.
 * Running it again re-reads the variable (for hosts and tests that change
 * it): flags, mode, pad counts, the log path and the first-failure flag are
 * set afresh; live blocks and the allocation list are kept. */
KIV_API void kivMemOneTimeOnly(void);

/* Non-zero when the pointer or string cannot be used: null (or, for the
 * pointer checks, below 4096 or one of the fill patterns 0xCCCCCCCC and
 * 0xDDDDDDDD), a length of 0, or memory the process may not read (or
 * write, for kivIsBadWritePtr with `write`). */
KIV_API Uint32 kivIsBadString(const char* s, Uint32 maxLength);
KIV_API Uint32 kivIsBadWritePtr(void* p, Uint32 size, bool write);
KIV_API Uint32 kivIsBadReadPtr(const void* p, Uint32 size, Uint32 reserved);

#ifdef __cplusplus
}
#endif

#endif /* KIVMEM_H */
