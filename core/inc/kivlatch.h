/*
 * kivlatch.h - the one-byte latch that guards every internal structure of
 * the library, its process-wide spin tuning, the versioned latch for
 * callers, and the functions that print and verify a latch byte.
 *
 * A latch byte is 0x00 when free and 0x80 when held (0xC0, held with
 * waiters, is accepted by the printing and verifying functions).  Getting it
 * is one exchange; only a conflict enters kivLockGetConflict, which spins,
 * burns time and sleeps according to the tuning.  Latches are not
 * re-entrant and have no owner: whoever holds one releases it.  Placed in
 * shared memory a latch works across processes.
 */
#ifndef KIVLATCH_H
#define KIVLATCH_H

#include "kivbase.h"
#include "kivatomic.h"

/* Process-wide spin tuning of the conflict path. */
struct KIVSpinTune {
    Uint32 spinClass;      /* 2 or 5 by default; not used by the conflict path */
    Uint32 spinCount;      /* attempts per pass before sleeping */
    Uint32 spinDelay;      /* iterations of the busy delay between attempts */
    Uint32 reserved;       /* 0 */
    Uint32 sleepIncrement; /* milliseconds added to the sleep after each pass */
};
static_assert(sizeof(KIVSpinTune) == 20, "KIVSpinTune is five words");

class KIVLatch;

#ifdef __cplusplus
extern "C" {
#endif

/* The contended path of KIVLatch::get: returns (non-zero) once the latch is
 * held.  It has no time limit. */
KIV_API Uint32 kivLockGetConflict(KIVLatch* latch);

/* State text of a latch byte: "locked", "unlocked", "locked;waiting" or
 * "corrupt".  With a buffer, "{ 0x%02X [ %s ] }" is written into it (cut to
 * bufferSize, always terminated).  0, or ECF_KIVLOCK_CORRUPT for a corrupt
 * byte, or ECF_INVALID_PARAMETER for a null latch. */
KIV_API Uint32 kivLockToString(const KIVLatch* latch, char* buffer, Uint32 bufferSize);

/* Verify a latch byte.  Every mode refuses a corrupt byte.  Mode 2 checks
 * that the latch is held (a free byte gives ECF_KIVLOCK_CORRUPT), for code
 * that must only run under it; all other modes check only the state bits.
 * 0, or ECF_KIVLOCK_CORRUPT, or ECF_INVALID_PARAMETER for a null latch. */
#define KIV_LOCK_VERIFY_STATE 1u
#define KIV_LOCK_VERIFY_HELD  2u
KIV_API Uint32 kivLockVerify(const KIVLatch* latch, Uint32 mode);

/* A fixed amount of busy work: 77 for n below 2, else
 * 77 + n + 2n + ... + (n-1)n in 32-bit arithmetic, one addition per step. */
KIV_API Uint32 kivWasteTime(Uint32 n);

/* True when the processor has a usable time-stamp counter (processor level 5
 * or more and the CPUID feature bit); decided once at process attach. */
KIV_API bool kivCanUseRegister(void);

#ifdef __cplusplus
}
#endif

/* The one-byte latch.  Plain memory with no constructor so that it can sit
 * in shared memory and in structures that are zero-filled; zero is free,
 * and init() makes it so explicitly. */
class KIVLatch {
public:
    void init() { __atomic_store_n(&m_byte, static_cast<Uint8>(KIV_LATCH_FREE), __ATOMIC_SEQ_CST); }

    /* Returns when held.  Uncontended this is a single exchange. */
    void get()
    {
        if (__atomic_exchange_n(&m_byte, static_cast<Uint8>(KIV_LATCH_HELD), __ATOMIC_SEQ_CST) != 0)
            kivLockGetConflict(this);
    }

    /* A plain byte store: the processor keeps stores in order, so the
     * guarded writes are visible before the latch reads free. */
    void release() { __atomic_store_n(&m_byte, static_cast<Uint8>(KIV_LATCH_FREE), __ATOMIC_RELEASE); }

    /* One attempt, never waits: test, then test-and-set.  True when taken. */
    bool tryGet()
    {
        return __atomic_load_n(&m_byte, __ATOMIC_RELAXED) < KIV_LATCH_HELD &&
               __atomic_exchange_n(&m_byte, static_cast<Uint8>(KIV_LATCH_HELD),
                                   __ATOMIC_SEQ_CST) == 0;
    }

    /* The byte as it is now (for printing; it may change at once). */
    Uint8 value() const { return __atomic_load_n(&m_byte, __ATOMIC_RELAXED); }
    bool isHeld() const { return (value() & KIV_LATCH_HELD) != 0; }

    /* The raw cell, for the primitives of kivatomic.h. */
    volatile Uint8* cell() { return &m_byte; }

    /* The process-wide tuning: read without a lock by every conflict;
     * updateSpinCounts writes the five words one by one and latches in
     * progress pick the new values up at their next read. */
    static KIV_API void getSpinCounts(KIVSpinTune& out);
    static KIV_API void updateSpinCounts(const KIVSpinTune& tune);

    /* The tuning the library starts with on a machine of `processors`. */
    static KIVSpinTune defaultSpinCounts(Uint32 processors)
    {
        if (processors >= 5)
            return KIVSpinTune{5, 30, 50, 0, 0};
        if (processors >= 3)
            return KIVSpinTune{5, 20, 50, 0, 0};
        if (processors == 2)
            return KIVSpinTune{2, 10, 50, 0, 0};
        return KIVSpinTune{0, 0, 0, 0, 0}; /* one processor: never spin */
    }

private:
    volatile Uint8 m_byte;
};
static_assert(sizeof(KIVLatch) == 1, "a latch is one byte");

/* A latch with a version word, for callers. */
struct KIVVLatch {
    Uint32   version;
    KIVLatch latch;
};
static_assert(offsetof(KIVVLatch, version) == 0, "version first");
static_assert(offsetof(KIVVLatch, latch) == 4, "latch after the version");
static_assert(sizeof(KIVVLatch) == 8, "KIVVLatch is two words");

#ifdef __cplusplus
extern "C" {
#endif

/* Version 0x09070000 and a free latch; the second argument is ignored. */
KIV_API void   kivVLatchInit(KIVVLatch* latch, Uint32 reserved);
/* 0 once held. */
KIV_API Uint32 kivVLatchGet(KIVVLatch* latch);
/* 0 when taken, ECF_FAILED when the latch is held (by anyone). */
KIV_API Uint32 kivVLatchTestGet(KIVVLatch* latch);
KIV_API Uint32 kivVLatchRelease(KIVVLatch* latch);
/* All three: ECF_INVALID_PARAMETER for null, ECF_INVALID_VERSION for a
 * version below KIV_VERSION_MIN. */

#ifdef __cplusplus
}
#endif

#endif /* KIVLATCH_H */
