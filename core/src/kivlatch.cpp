/*
 * kivlatch.cpp - the contended path of the one-byte latch, its process-wide
 * spin tuning, the versioned latch, the printing and verifying of latch
 * bytes, and the processor facts decided at process attach.
 *
 * The tuning is five words read without a lock: a conflict reads each word
 * when it needs it, so a change made by updateSpinCounts reaches latches
 * that are already waiting.
 */
#include "kivlatch.h"
#include "kivecf.h"
#include "kivinternal.h"
#include "kivos.h"

#include <stdio.h>

#if defined(__i386__) || defined(__x86_64__)
#  include <cpuid.h>
#endif

namespace {

KIVSpinTune g_spinTune;        // written at attach and by updateSpinCounts
bool g_canUseRegister = false; // written once at attach

inline Uint32 tuneWord(const Uint32& word) { return __atomic_load_n(&word, __ATOMIC_RELAXED); }
inline void setTuneWord(Uint32& word, Uint32 v) { __atomic_store_n(&word, v, __ATOMIC_RELAXED); }

/* Busy delay between two attempts.  The bound and the addend are re-read on
 * every iteration, and the sum is handed to an empty asm statement, so the
 * compiler can neither hoist nor drop the loop. */
void busyDelay()
{
    Uint32 sum = 0;
    for (Uint32 i = 0; i < tuneWord(g_spinTune.spinDelay); ++i)
        sum += tuneWord(g_spinTune.spinDelay);
    __asm__ volatile("" : : "r"(sum) : "memory");
}

/* One try: test, then test-and-set, so that waiters spin on reads and do
 * not keep pulling the cache line over with locked writes. */
inline bool tryTake(KIVLatch* latch) { return latch->tryGet(); }

bool timeStampCounterUsable(WORD processorLevel)
{
    if (processorLevel < 5)
        return false;
#if defined(__i386__) || defined(__x86_64__)
    unsigned int eax, ebx, ecx, edx;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx))
        return false;
    return (edx & (1u << 4)) != 0;
#else
    return false;
#endif
}

const char* stateText(Uint8 byte)
{
    switch (byte) {
    case KIV_LATCH_HELD:    return "locked";
    case KIV_LATCH_FREE:    return "unlocked";
    case KIV_LATCH_WAITING: return "locked;waiting";
    default:                return nullptr;
    }
}

Uint32 checkVersioned(const KIVVLatch* latch)
{
    if (!latch)
        return ECF_INVALID_PARAMETER;
    if (latch->version < KIV_VERSION_MIN)
        return ECF_INVALID_VERSION;
    return 0;
}

} // namespace

void kivLatchProcessInit()
{
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    KIVLatch::updateSpinCounts(KIVLatch::defaultSpinCounts(si.dwNumberOfProcessors));
    g_canUseRegister = timeStampCounterUsable(si.wProcessorLevel);
}

/* ---- Spin tuning ----------------------------------------------------------- */

void KIVLatch::getSpinCounts(KIVSpinTune& out)
{
    out.spinClass = tuneWord(g_spinTune.spinClass);
    out.spinCount = tuneWord(g_spinTune.spinCount);
    out.spinDelay = tuneWord(g_spinTune.spinDelay);
    out.reserved = tuneWord(g_spinTune.reserved);
    out.sleepIncrement = tuneWord(g_spinTune.sleepIncrement);
}

void KIVLatch::updateSpinCounts(const KIVSpinTune& tune)
{
    setTuneWord(g_spinTune.spinClass, tune.spinClass);
    setTuneWord(g_spinTune.spinCount, tune.spinCount);
    setTuneWord(g_spinTune.spinDelay, tune.spinDelay);
    setTuneWord(g_spinTune.reserved, tune.reserved);
    setTuneWord(g_spinTune.sleepIncrement, tune.sleepIncrement);
}

/* ---- Contended get ---------------------------------------------------------
 * Spin spinCount attempts with a busy delay between them, try once more,
 * sleep, try again; the sleep grows by sleepIncrement per pass and falls
 * back to 1 ms once it exceeds eight increments.  No limit. */

Uint32 kivLockGetConflict(KIVLatch* latch)
{
    if (!latch)
        return 0;
    DWORD sleepMs = 1;
    for (;;) {
        for (Uint32 i = 0; i < tuneWord(g_spinTune.spinCount); ++i) {
            if (tryTake(latch))
                return 1;
            busyDelay();
        }
        if (tryTake(latch))
            return 1;
        Sleep(sleepMs);
        Uint32 increment = tuneWord(g_spinTune.sleepIncrement);
        sleepMs += increment;
        if (sleepMs > 8ull * increment)
            sleepMs = 1;
        if (tryTake(latch))
            return 1;
    }
}

/* ---- Printing and verifying ------------------------------------------------ */

Uint32 kivLockToString(const KIVLatch* latch, char* buffer, Uint32 bufferSize)
{
    if (!latch)
        return ECF_INVALID_PARAMETER;
    Uint8 byte = latch->value();
    const char* text = stateText(byte);
    if (buffer && bufferSize)
        snprintf(buffer, bufferSize, "{ 0x%02X [ %s ] }", static_cast<unsigned>(byte),
                 text ? text : "corrupt");
    return text ? 0u : ECF_KIVLOCK_CORRUPT;
}

/* Mode 2 asks whether the latch is held, for code that must only run under
 * it: of the sound bytes, "unlocked" fails.  Every other mode checks the
 * state bits only: bit 7 held, bit 6 waiters, the low six bits always
 * clear. */
Uint32 kivLockVerify(const KIVLatch* latch, Uint32 mode)
{
    Uint32 rc = kivLockToString(latch, nullptr, 0);
    if (rc != 0)
        return rc;
    Uint8 byte = latch->value();
    if (mode == KIV_LOCK_VERIFY_HELD)
        return (byte & KIV_LATCH_HELD) ? 0u : ECF_KIVLOCK_CORRUPT;
    return (byte & 0x3Fu) ? ECF_KIVLOCK_CORRUPT : 0u;
}

/* ---- Versioned latch ------------------------------------------------------- */

void kivVLatchInit(KIVVLatch* latch, Uint32)
{
    if (!latch)
        return;
    latch->version = KIV_VERSION_CURRENT;
    latch->latch.init();
}

Uint32 kivVLatchGet(KIVVLatch* latch)
{
    Uint32 rc = checkVersioned(latch);
    if (rc == 0)
        latch->latch.get();
    return rc;
}

Uint32 kivVLatchTestGet(KIVVLatch* latch)
{
    Uint32 rc = checkVersioned(latch);
    if (rc != 0)
        return rc;
    // Setting only bit 7 leaves a held byte exactly as it was.
    return kivWin32Lock8TestGetInternal(latch->latch.cell()) == 0 ? 0u : ECF_FAILED;
}

Uint32 kivVLatchRelease(KIVVLatch* latch)
{
    Uint32 rc = checkVersioned(latch);
    if (rc == 0)
        latch->latch.release();
    return rc;
}

/* ---- Processor helpers ----------------------------------------------------- */

Uint32 kivWasteTime(Uint32 n)
{
    Uint32 result = 77;
    if (n < 2)
        return result;
    // The running term is kept opaque so that the compiler cannot replace
    // the loop by its closed form: the work is the point.
    Uint32 term = 0;
    for (Uint32 i = 1; i < n; ++i) {
        term += n;
        __asm__ volatile("" : "+r"(term));
        result += term;
    }
    return result;
}

bool kivCanUseRegister(void) { return g_canUseRegister; }
