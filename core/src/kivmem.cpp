/*
 * kivmem.cpp - the library's allocator: block layouts of the four debug
 * modes, the guard check run at every free, the FULL-mode allocation list,
 * and the pointer plausibility checks.
 *
 * The control block is read and changed under its one-byte latch only where
 * several threads could otherwise disagree: the settings taken at
 * allocation, kivMemSetDebug, and the list.  Guard checking and filling
 * touch only the caller's own block and run without it.
 *
 * Damage is reported as a non-fatal assertion naming the caller's file and
 * line; it never changes a result and never stops a free, except that a
 * block which looks freed already, or whose layout cannot be trusted to
 * find the start of its heap allocation, is left alone: handing it to the
 * heap would do more harm than losing it.
 */
#include "kivmem.h"

#include <errno.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include "kivassert.h"
#include "kivecf.h"
#include "kiverror.h"
#include "kivinternal.h"
#include "kivlog.h"
#include "kivos.h"
#include "kivstring.h"
#if !defined(_WIN32)
#  include "kivcompat_mem.h"
#endif

KIVMemDebugCB* g_pMemDebugCB = nullptr;
char g_szMemDebugLogPath[261] = "";
volatile Uint8 g_bDumpMemAllocListFlag = 0;
volatile Uint8 g_bIsMemoryFFDCEnabledFlag = 0;

/* The common path (off and IDLE blocks) is kept short; the guarded
 * layouts, their checks and the reports are out of its way. */
#define KIVMEM_COLD __attribute__((noinline, cold))
#define KIVMEM_NOINLINE __attribute__((noinline))
#define KIVMEM_INLINE inline __attribute__((always_inline))
#define KIVMEM_UNLIKELY(x) __builtin_expect(!!(x), 0)

namespace {

/* Zero at load: mode off until the start-up configuration runs. */
KIVMemDebugCB s_cb;

/* Sequence number of the settings (mode, flags, pad counts): odd while
 * kivMemSetDebug rewrites them under the latch.  Once the first allocation
 * has been made the off/on decision is final, and later allocations take
 * a consistent copy by reading around this number instead of taking the
 * latch, which would cost as much as the heap call itself. */
Uint32 s_settingsSequence = 0;

/* What the common allocation needs of the settings, in one word: the mode,
 * when it is IDLE or off, new blocks are not to be filled and the control
 * block is not published; otherwise kTakeSettings, and the allocation
 * reads the whole settings.  Written with them, so the common allocation
 * makes one load instead of the copy. */
const Uint32 kTakeSettings = 0xFFFFFFFFu;
Uint32 s_plainMode = kTakeSettings;

const Uint32 kHeaderSize = sizeof(KIVMemBlockHeader);
const Uint32 kPrefixSize = kHeaderSize + sizeof(KIVMemFrontRecord); /* IDLE, LIGHT */
const Uint32 kRecordSize = sizeof(KIVMemAllocRecord);
const Uint32 kModeWordOffset = kHeaderSize + 4; /* the mode word sits at U - 20 */

/* Messages of the block check. */
const char kMsgNull[] = "NULL pointer for memory allocation address found at:";
const char kMsgFreedTwice[] = "Freeing freed memory found at:";
const char kMsgEyeCatcher[] = "Invalid block eye-catcher (0x%X) found at:";
const char kMsgLightFront[] = "Front memory pad corruption found at:";
const char kMsgLightBack[] = "Back memory pad corruption found at:";
const char kMsgLightSize[] = "Memory pad size corruption found at:";
const char kMsgFullFront[] = "Front pad corruption found at:";
const char kMsgFullSlack[] = "Back Uint8 memory pad corruption found at:";
const char kMsgFullBack[] = "Back pad corruption (0x%llX) found at:";
const char kMsgFullMode[] = "Back pad mode (0x%x)found at:";
const char kMsgFullSize[] =
    "Allocation size does not match between front and back pad structures found at:";
const char kMsgPadType[] = "Invalid pad type (0x%X) found at:";

/* The settings an allocation works with, taken as one consistent copy. */
struct Settings {
    Uint32 mode;
    Uint32 flags;
    Uint32 front;
    Uint32 back;
};

/* What the check found out about a block. */
struct Found {
    Uint8* start;   /* the heap allocation, null when it must not be freed */
    Uint32 size;    /* the requested size, 0 when unknown */
};

template <class T> T loadRelaxed(const T& cell)
{
    return __atomic_load_n(&cell, __ATOMIC_RELAXED);
}

template <class T> void storeRelaxed(T& cell, T value)
{
    __atomic_store_n(&cell, value, __ATOMIC_RELAXED);
}

Settings readSettings()
{
    return Settings{loadRelaxed(s_cb.debugMode), loadRelaxed(s_cb.debugFlags),
                    loadRelaxed(s_cb.frontPadCount), loadRelaxed(s_cb.backPadCount)};
}

/* The settings for one allocation.  The first allocation of the process
 * takes them under the latch, together with the allocationMade mark that
 * kivMemSetDebug tests under the same latch. */
KIVMEM_NOINLINE Settings takeFirstSettings()
{
    KIVMemLatchHold latch;
    storeRelaxed(s_cb.allocationMade, 1u);
    return readSettings();
}

KIVMEM_INLINE Settings takeSettings()
{
    if (__builtin_expect(loadRelaxed(s_cb.allocationMade) != 0, 1)) {
        for (;;) {
            const Uint32 before = __atomic_load_n(&s_settingsSequence, __ATOMIC_ACQUIRE);
            const Settings s = readSettings();
            __atomic_thread_fence(__ATOMIC_ACQUIRE);
            if ((before & 1u) == 0 && loadRelaxed(s_settingsSequence) == before)
                return s;
        }
    }
    return takeFirstSettings();
}

/* Changes settings; the caller holds the latch. */
void writeSettings(const Settings& s)
{
    const Uint32 sequence = s_settingsSequence;
    storeRelaxed(s_settingsSequence, sequence + 1);
    __atomic_thread_fence(__ATOMIC_RELEASE);
    storeRelaxed(s_cb.debugMode, s.mode);
    storeRelaxed(s_cb.debugFlags, s.flags);
    storeRelaxed(s_cb.frontPadCount, s.front);
    storeRelaxed(s_cb.backPadCount, s.back);
    /* While the control block is published through g_pMemDebugCB, other
     * modules may change its fields directly, past this word: every
     * allocation then reads the block itself. */
    const bool plain = g_pMemDebugCB == nullptr &&
                       (s.mode == KIVMEM_MODE_IDLE || s.mode == KIVMEM_MODE_OFF) &&
                       (s.flags & KIVMEM_DBG_FILL_ON_ALLOC) == 0;
    storeRelaxed(s_plainMode, plain ? s.mode : kTakeSettings);
    __atomic_store_n(&s_settingsSequence, sequence + 2, __ATOMIC_RELEASE);
}

Uint64 roundUp8(Uint32 size)
{
    return (static_cast<Uint64>(size) + 7u) & ~static_cast<Uint64>(7u);
}

bool knownMode(Uint32 mode)
{
    return mode == KIVMEM_MODE_OFF || mode == KIVMEM_MODE_IDLE || mode == KIVMEM_MODE_LIGHT ||
           mode == KIVMEM_MODE_FULL;
}

/* Below the first page (or below `floor`), or one of the patterns debug
 * heaps fill memory with: such a value was never a valid address.  Every
 * free asks, so the common answer takes one test of the low word: only
 * words made of 0xC and 0xD nibbles go on to the exact comparison. */
KIVMEM_INLINE bool implausible(const void* p, uintptr_t floor = 4096u)
{
    const uintptr_t v = reinterpret_cast<uintptr_t>(p);
    if (KIVMEM_UNLIKELY(v < floor))
        return true;
    const Uint32 low = static_cast<Uint32>(v);
    if (__builtin_expect(((low ^ 0xCCCCCCCCu) & 0xEEEEEEEEu) != 0, 1))
        return false;
    const Uint64 wide = v;
    return wide == 0xCCCCCCCCu || wide == 0xDDDDDDDDu || wide == 0xCCCCCCCCCCCCCCCCull ||
           wide == 0xDDDDDDDDDDDDDDDDull;
}

bool plausibleRecord(const KIVMemAllocRecord* r)
{
    return !implausible(r) && reinterpret_cast<uintptr_t>(r) % alignof(KIVMemAllocRecord) == 0;
}

Uint64 blockTotal(const Settings& s, Uint32 size)
{
    switch (s.mode) {
    case KIVMEM_MODE_OFF:
        return static_cast<Uint64>(size) + kHeaderSize;
    case KIVMEM_MODE_IDLE:
        return roundUp8(size) + kPrefixSize;
    case KIVMEM_MODE_LIGHT:
        return roundUp8(size) + kPrefixSize + sizeof(KIVMemFrontRecord);
    default:
        return roundUp8(size) +
               KIVMEM_GUARD_SIZE * (static_cast<Uint64>(s.front) + s.back) + kRecordSize +
               sizeof(KIVMemFullTrailer);
    }
}

KIVMemBlockHeader* headerOf(Uint8* u)
{
    return reinterpret_cast<KIVMemBlockHeader*>(u - kHeaderSize);
}

Uint32 loadWord(const Uint8* p)
{
    Uint32 v;
    memcpy(&v, p, sizeof v);
    return v;
}

void storeWord(Uint8* p, Uint32 v)
{
    memcpy(p, &v, sizeof v);
}

Uint64 loadUnit(const Uint8* p)
{
    Uint64 v;
    memcpy(&v, p, sizeof v);
    return v;
}

void writeGuards(Uint8* p, Uint32 count)
{
    const Uint64 unit = KIVMEM_GUARD_UNIT;
    for (Uint32 i = 0; i < count; ++i)
        memcpy(p + KIVMEM_GUARD_SIZE * i, &unit, sizeof unit);
}

void writeFrontRecord(KIVMemFrontRecord* r, bool guarded, Uint32 size, Uint32 mode)
{
    r->guardLow = guarded ? KIVMEM_GUARD_LOW : 0u;
    r->guardHigh = guarded ? KIVMEM_GUARD_HIGH : 0u;
    r->requestedSize = size;
    r->modeWord = mode;
}

/* The caller's file name after its last directory separator, cut to fit. */
void copyBaseName(char (&out)[20], const char* fileName)
{
    const char* base = fileName ? fileName : "";
    for (const char* p = base; *p; ++p)
        if (*p == '\\' || *p == '/')
            base = p + 1;
    size_t n = strlen(base);
    if (n > sizeof out - 1)
        n = sizeof out - 1;
    memcpy(out, base, n);
    memset(out + n, 0, sizeof out - n);
}

void pushRecord(KIVMemAllocRecord* d)
{
    KIVMemLatchHold latch;
    d->prev = nullptr;
    d->next = s_cb.allocListHead;
    if (d->next)
        d->next->prev = d;
    s_cb.allocListHead = d;
}

/* Takes a record out of the list; refuses (false) when its neighbours do
 * not point back at it, as unlinking it then would spread the damage. */
bool unlinkRecord(KIVMemAllocRecord* d)
{
    KIVMemLatchHold latch;
    KIVMemAllocRecord* prev = d->prev;
    KIVMemAllocRecord* next = d->next;
    if ((prev && (!plausibleRecord(prev) || prev->next != d)) ||
        (next && (!plausibleRecord(next) || next->prev != d)))
        return false;
    if (prev)
        prev->next = next;
    else if (s_cb.allocListHead == d)
        s_cb.allocListHead = next;
    if (next)
        next->prev = prev;
    d->next = nullptr;
    d->prev = nullptr;
    return true;
}

/* Lays out a fresh heap allocation of the LIGHT or FULL mode; returns U. */
KIVMEM_NOINLINE Uint8* layOutGuarded(Uint8* base, const Settings& s, Uint32 size,
                                     const char* fileName, Uint32 lineNumber,
                                     KIVMemAllocRecord** record)
{
    const Uint32 rounded = static_cast<Uint32>(roundUp8(size));
    Uint8* u;
    *record = nullptr;
    switch (s.mode) {
    case KIVMEM_MODE_LIGHT: {
        KIVMemFrontRecord* front = reinterpret_cast<KIVMemFrontRecord*>(base);
        writeFrontRecord(front, true, size, s.mode);
        u = base + kPrefixSize;
        memset(u + size, KIVMEM_SLACK_BYTE, rounded - size);
        memcpy(u + rounded, front, sizeof *front);
        return u;
    }
    default: {
        writeGuards(base, s.front);
        KIVMemAllocRecord* d =
            reinterpret_cast<KIVMemAllocRecord*>(base + KIVMEM_GUARD_SIZE * s.front);
        d->next = nullptr;
        d->prev = nullptr;
        copyBaseName(d->fileName, fileName);
        d->requestedSize = size;
        d->lineNumber = lineNumber;
        d->frontPadCount = s.front;
        d->backPadCount = s.back;
        d->modeWord = s.mode;
        u = reinterpret_cast<Uint8*>(d) + kRecordSize;
        memset(u + size, KIVMEM_SLACK_BYTE, rounded - size);
        writeGuards(u + rounded, s.back);
        KIVMemFullTrailer trailer = {size, s.mode};
        memcpy(u + rounded + KIVMEM_GUARD_SIZE * s.back, &trailer, sizeof trailer);
        *record = d;
        return u;
    }
    }
}

KIVMEM_COLD Uint32 allocationFailed(Uint64 total, Uint32 flags)
{
    DWORD error = GetLastError();
    /* The C runtime's heap says why through errno, not through the
     * thread's last error; a request beyond the address space never
     * reached it. */
    if (total > SIZE_MAX || errno == ENOMEM || error == ERROR_SUCCESS)
        error = ERROR_NOT_ENOUGH_MEMORY;
    Uint32 total32 = total > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<Uint32>(total);
    KIVErrorContext context;
    context.setRequestSize(total32);
    return kivSystemErrorHandler(KIVFN_KIVMEMALLOC, KIVOSFN_MALLOC, error, 40, KIVLOG_INFO, 0,
                                 &context, 2, KIVLOG_UINT(total32), KIVLOG_HEX(flags));
}

/* One finding: a non-fatal assertion with the caller's file and line, its
 * report going to the memory debug directory when one is set. */
KIVMEM_COLD void report(const char* fileName, Uint32 lineNumber, const char* format, ...)
    KIV_PRINTF_FORMAT(3, 4);
void report(const char* fileName, Uint32 lineNumber, const char* format, ...)
{
    char message[1024];
    va_list ap;
    va_start(ap, format);
    kivVsnprintf(message, sizeof message, format, ap);
    va_end(ap);
    kivAssertFailedDir(message, fileName, lineNumber, g_szMemDebugLogPath);
}

struct Caller {
    const char* file;
    Uint32      line;
};

Found checkIdle(Uint8* u)
{
    Uint8* start = u - kPrefixSize;
    return Found{start, reinterpret_cast<KIVMemFrontRecord*>(start)->requestedSize};
}

bool guardMatches(const Uint8* p)
{
    return loadUnit(p) == KIVMEM_GUARD_UNIT;
}

KIVMEM_NOINLINE Found checkLight(Uint8* u, Caller c)
{
    KIVMemFrontRecord* front = reinterpret_cast<KIVMemFrontRecord*>(u - kPrefixSize);
    Uint8* start = reinterpret_cast<Uint8*>(front);
    if (!guardMatches(start))
        report(c.file, c.line, kMsgLightFront);
    const Uint32 size = front->requestedSize;
    /* Without agreeing sizes the trailer cannot be found: leave the back
     * alone rather than read at a guessed address. */
    if (size != headerOf(u)->requestedSize) {
        report(c.file, c.line, kMsgLightSize);
        return Found{start, 0};
    }
    const Uint32 rounded = static_cast<Uint32>(roundUp8(size));
    for (Uint32 i = size; i < rounded; ++i)
        if (u[i] != KIVMEM_SLACK_BYTE)
            report(c.file, c.line, kMsgLightBack);
    const Uint8* trailer = u + rounded;
    if (loadWord(trailer + 12) != KIVMEM_MODE_LIGHT || !guardMatches(trailer))
        report(c.file, c.line, kMsgLightBack);
    if (loadWord(trailer + 8) != size)
        report(c.file, c.line, kMsgLightSize);
    return Found{start, size};
}

/* The back of a FULL block: slack bytes, back guards, trailer. */
void checkFullBack(const KIVMemAllocRecord* d, const Uint8* u, Caller c)
{
    const Uint32 size = d->requestedSize;
    const Uint32 rounded = static_cast<Uint32>(roundUp8(size));
    for (Uint32 i = size; i < rounded; ++i)
        if (u[i] != KIVMEM_SLACK_BYTE)
            report(c.file, c.line, kMsgFullSlack);
    const Uint8* guards = u + rounded;
    for (Uint32 i = 0; i < d->backPadCount; ++i) {
        Uint64 unit = loadUnit(guards + KIVMEM_GUARD_SIZE * i);
        if (unit != KIVMEM_GUARD_UNIT)
            report(c.file, c.line, kMsgFullBack, static_cast<unsigned long long>(unit));
    }
    const Uint8* trailer = guards + KIVMEM_GUARD_SIZE * d->backPadCount;
    Uint32 mode = loadWord(trailer + 4);
    if (mode != KIVMEM_MODE_FULL)
        report(c.file, c.line, kMsgFullMode, mode);
    if (loadWord(trailer) != size)
        report(c.file, c.line, kMsgFullSize);
}

KIVMEM_NOINLINE Found checkFull(Uint8* u, Caller c, bool release)
{
    KIVMemAllocRecord* d = reinterpret_cast<KIVMemAllocRecord*>(u - kRecordSize);
    /* Pad counts beyond what kivMemSetDebug accepts: the record is damaged
     * and neither the start nor the back can be located. */
    if (d->frontPadCount > KIVMEM_MAX_PAD_COUNT || d->backPadCount > KIVMEM_MAX_PAD_COUNT) {
        report(c.file, c.line, kMsgFullFront);
        return Found{nullptr, 0};
    }
    Uint8* start = reinterpret_cast<Uint8*>(d) - KIVMEM_GUARD_SIZE * d->frontPadCount;
    for (Uint32 i = 0; i < d->frontPadCount; ++i)
        if (!guardMatches(start + KIVMEM_GUARD_SIZE * i))
            report(c.file, c.line, kMsgFullFront);
    Found found{start, d->requestedSize};
    if (d->requestedSize == d->header.requestedSize) {
        checkFullBack(d, u, c);
    } else {
        report(c.file, c.line, kMsgFullFront);
        found.size = 0;
    }
    if (release && !unlinkRecord(d)) {
        report(c.file, c.line, kMsgFullFront);
        found.start = nullptr;
    }
    return found;
}

/* Releasing a block of the off mode: nothing but the header to go by. */
Uint32 releaseUnguarded(void** ppMem, KIVMemBlockHeader* h)
{
    /* A header that does not say live is never handed to the heap: it is
     * freed already or was never ours. */
    if ((h->eyeCatcher & KIVMEM_EYE_MASK) == KIVMEM_EYE_LIVE) {
        h->eyeCatcher = KIVMEM_EYE_FREED;
        *ppMem = h;
    } else {
        *ppMem = nullptr;
    }
    return KIVMEM_CHECK_MODE_OFF;
}

KIVMEM_INLINE Uint32 checkBlock(void** ppMem, Caller c, bool release)
{
    if (KIVMEM_UNLIKELY(!ppMem || !*ppMem)) {
        report(c.file, c.line, kMsgNull);
        return 0;
    }
    Uint8* u = static_cast<Uint8*>(*ppMem);
    if (KIVMEM_UNLIKELY(implausible(u, 4096u + kPrefixSize))) {
        /* Not readable: the eye-catcher is reported as unreadable (0). */
        report(c.file, c.line, kMsgEyeCatcher, 0u);
        if (release)
            *ppMem = nullptr;
        return 0;
    }
    KIVMemBlockHeader* h = headerOf(u);
    const Uint32 eye = h->eyeCatcher;
    if (KIVMEM_UNLIKELY((eye & KIVMEM_EYE_MASK) != KIVMEM_EYE_LIVE)) {
        if (release && (eye & KIVMEM_EYE_MASK) == KIVMEM_EYE_FREED)
            report(c.file, c.line, kMsgFreedTwice);
        report(c.file, c.line, kMsgEyeCatcher, eye);
    }
    if (loadRelaxed(s_cb.debugMode) == KIVMEM_MODE_OFF)
        return release ? releaseUnguarded(ppMem, h) : KIVMEM_CHECK_MODE_OFF;

    const Uint32 mode = loadWord(u - kModeWordOffset);
    Found found{nullptr, 0};
    switch (mode) {
    case KIVMEM_MODE_IDLE:
        found = checkIdle(u);
        break;
    case KIVMEM_MODE_LIGHT:
        found = checkLight(u, c);
        break;
    case KIVMEM_MODE_FULL:
        found = checkFull(u, c, release);
        break;
    case KIVMEM_MODE_FREED:
        report(c.file, c.line, kMsgFreedTwice);
        break;
    default:
        report(c.file, c.line, kMsgPadType, mode);
        break;
    }
    if (release) {
        /* Only a block that goes back to the heap is marked: memory that
         * is not released may belong to someone else by now. */
        if (found.start) {
            h->eyeCatcher = KIVMEM_EYE_FREED;
            if ((loadRelaxed(s_cb.debugFlags) & KIVMEM_DBG_FILL_ON_FREE) &&
                (mode == KIVMEM_MODE_LIGHT || mode == KIVMEM_MODE_FULL))
                memset(u, 0xFF, found.size);
            storeWord(u - kModeWordOffset, KIVMEM_MODE_FREED);
        }
        *ppMem = found.start;
    }
    return found.size;
}

/* Another module asked for the leak report: the first allocation or free
 * to see the flag takes it and writes the report. */
KIVMEM_COLD void dumpList()
{
    if (__atomic_exchange_n(&g_bDumpMemAllocListFlag, static_cast<Uint8>(0), __ATOMIC_ACQ_REL))
        kivMemAllocList(true);
}

KIVMEM_INLINE void dumpListIfAsked()
{
    if (KIVMEM_UNLIKELY(g_bDumpMemAllocListFlag != 0))
        dumpList();
}

/* The block header, then the fill asked for; common to every mode. */
KIVMEM_INLINE void finishBlock(Uint8* u, Uint32 size, Uint32 flags, Uint32 debugFlags,
                               Uint32 lineNumber)
{
    KIVMemBlockHeader* h = headerOf(u);
    h->eyeCatcher = KIVMEM_EYE_LIVE | ((flags & KIVMEM_MARKED) ? 1u : 0u);
    h->requestedSize = size;
    h->reserved = 0;
    h->lineNumber = lineNumber;
    if (flags & KIVMEM_ZERO_FILL)
        memset(u, 0, size);
    else if (KIVMEM_UNLIKELY(debugFlags & KIVMEM_DBG_FILL_ON_ALLOC))
        memset(u, 0xFF, size);
}

/* An allocation of the LIGHT or FULL mode. */
KIVMEM_NOINLINE Uint32 allocGuarded(void** ppMem, Uint32 size, Uint32 flags,
                                    const char* fileName, Uint32 lineNumber, Settings s)
{
    const Uint64 total = blockTotal(s, size);
    void* base = total <= SIZE_MAX ? malloc(static_cast<size_t>(total)) : nullptr;
    if (!base)
        return allocationFailed(total, flags);
    KIVMemAllocRecord* record = nullptr;
    Uint8* u = layOutGuarded(static_cast<Uint8*>(base), s, size, fileName, lineNumber, &record);
    finishBlock(u, size, flags, s.flags, lineNumber);
    /* Listed only once complete, so that a leak report running on another
     * thread never checks a half-written block. */
    if (record)
        pushRecord(record);
    *ppMem = u;
    return 0;
}

/* An allocation of the off or IDLE mode. */
KIVMEM_INLINE Uint32 allocPlain(void** ppMem, Uint32 size, Uint32 flags, Uint32 lineNumber,
                                Uint32 mode, Uint32 debugFlags)
{
    const bool idle = mode == KIVMEM_MODE_IDLE;
    const Uint64 total = idle ? roundUp8(size) + kPrefixSize : Uint64{size} + kHeaderSize;
    Uint8* base = static_cast<Uint8*>(total <= SIZE_MAX ? malloc(static_cast<size_t>(total))
                                                        : nullptr);
    if (KIVMEM_UNLIKELY(!base))
        return allocationFailed(total, flags);
    Uint8* u = base + kHeaderSize;
    if (idle) {
        writeFrontRecord(reinterpret_cast<KIVMemFrontRecord*>(base), false, size, mode);
        u = base + kPrefixSize;
    }
    finishBlock(u, size, flags, debugFlags, lineNumber);
    *ppMem = u;
    return 0;
}

/* An allocation that reads the whole settings: the first of the process,
 * a guarded mode, or blocks filled when they are made. */
KIVMEM_NOINLINE Uint32 allocBySettings(void** ppMem, Uint32 size, Uint32 flags,
                                       const char* fileName, Uint32 lineNumber)
{
    const Settings s = takeSettings();
    if (s.mode != KIVMEM_MODE_IDLE && s.mode != KIVMEM_MODE_OFF)
        return allocGuarded(ppMem, size, flags, fileName, lineNumber, s);
    return allocPlain(ppMem, size, flags, lineNumber, s.mode, s.flags);
}

KIVMEM_COLD Uint32 freeNullPointer(const char* fileName, Uint32 lineNumber)
{
    char message[1024];
    kivSnprintf(message, sizeof message, "%s %s, line %u", kMsgNull, fileName ? fileName : "",
                lineNumber);
    kivLog(nullptr, KIVFN_KIVMEMFREE, ECF_MEM_NULL_POINTER, 20, KIVLOG_ERROR, 1,
           KIVLOG_STRING(message));
    return ECF_MEM_NULL_POINTER;
}

} // namespace

/* ---- Shared with the leak report and the start-up configuration ---------- */

KIVMemDebugCB* kivMemControlBlock()
{
    return &s_cb;
}

/* The control block's latch is taken with the 8-bit exchange and released
 * with the 8-bit release, like every other latch of the library. */
void kivMemLatchGet()
{
    if (kivWin32Lock8ExchangeInternal(s_cb.listLatch.cell()) != 0)
        kivLockGetConflict(&s_cb.listLatch);
}

void kivMemLatchRelease()
{
    kivWin32Lock8ReleaseInternal(s_cb.listLatch.cell());
}

/* ---- Exported operations ---------------------------------------------------- */

Uint32 kivMemAlloc(void** ppMem, void* reserved, Uint32 size, Uint32 flags,
                   const char* fileName, Uint32 lineNumber)
{
    (void)reserved;
    if (!ppMem || size == 0 || (flags & ~(KIVMEM_ZERO_FILL | KIVMEM_MARKED)) != 0)
        return ECF_INVALID_PARAMETER;
    dumpListIfAsked();

    /* After the first allocation the plain modes need no settings copy. */
    if (__builtin_expect(loadRelaxed(s_cb.allocationMade) != 0, 1)) {
        const Uint32 mode = loadRelaxed(s_plainMode);
        if (__builtin_expect(mode != kTakeSettings, 1))
            return allocPlain(ppMem, size, flags, lineNumber, mode, 0);
    }
    return allocBySettings(ppMem, size, flags, fileName, lineNumber);
}

Uint32 kivMemFree(void** ppMem, Uint32 reserved1, Uint32 reserved2, const char* fileName,
                  Uint32 lineNumber)
{
    (void)reserved1;
    (void)reserved2;
    if (!ppMem)
        return ECF_INVALID_PARAMETER;
    if (KIVMEM_UNLIKELY(!*ppMem))
        return freeNullPointer(fileName, lineNumber);
    dumpListIfAsked();
    checkBlock(ppMem, Caller{fileName, lineNumber}, true);
    free(*ppMem);
    *ppMem = nullptr;
    return 0;
}

Uint32 kivMemAllocCheck(void** ppMem, const char* fileName, Uint32 lineNumber, Uint32 release)
{
    return checkBlock(ppMem, Caller{fileName, lineNumber}, release != 0);
}

Uint32 kivMemSetDebug(Uint32 debugFlags, Uint32 mode, Uint32 frontPadCount, Uint32 backPadCount)
{
    if (!knownMode(mode) || frontPadCount > KIVMEM_MAX_PAD_COUNT ||
        backPadCount > KIVMEM_MAX_PAD_COUNT)
        return ECF_INVALID_PARAMETER;
    KIVMemLatchHold latch;
    /* Blocks of the off mode have no mode word: once one exists, the
     * allocator can neither start nor stop writing them. */
    const bool refused = s_cb.allocationMade &&
                         (mode == KIVMEM_MODE_OFF) != (s_cb.debugMode == KIVMEM_MODE_OFF);
    writeSettings(Settings{refused ? s_cb.debugMode : mode, debugFlags, frontPadCount,
                           backPadCount});
    return refused ? ECF_MEM_CANNOT_TOGGLE_MEM_DEBUG_AFTER_ALLOC : 0;
}

/* ---- Pointer plausibility ---------------------------------------------------- */

Uint32 kivIsBadString(const char* s, Uint32 maxLength)
{
    if (!s || maxLength == 0)
        return 1;
    return IsBadStringPtrA(s, maxLength) ? 1u : 0u;
}

Uint32 kivIsBadWritePtr(void* p, Uint32 size, bool write)
{
    if (size == 0 || implausible(p))
        return 1;
    return (write ? IsBadWritePtr(p, size) : IsBadReadPtr(p, size)) ? 1u : 0u;
}

Uint32 kivIsBadReadPtr(const void* p, Uint32 size, Uint32 reserved)
{
    (void)reserved;
    if (size == 0 || implausible(p))
        return 1;
    return IsBadReadPtr(p, size) ? 1u : 0u;
}
