/*
 * kivatomic.h - processor-level atomic operations on 8-, 16-, 32- and 64-bit
 * cells, the same 32-bit operations on bare cells, and the versioned atomic
 * counter KIVVAtomicSigned32.
 *
 * Every read-modify-write below is a full barrier (one locked instruction,
 * or a locked compare-exchange loop where the processor has no single
 * instruction for it).  Plain stores and loads are ordinary moves that the
 * compiler may not move across other memory accesses of the caller.
 *
 * The cells are plain memory: placed in shared memory they work between
 * processes that map it at different addresses.  Each cell must be naturally
 * aligned.
 */
#ifndef KIVATOMIC_H
#define KIVATOMIC_H

#include "kivbase.h"

/* The primitives take their arguments in registers where the ABI has a
 * register convention for it (32-bit x86); elsewhere they already do. */
#if defined(__i386__)
#  define KIV_REGCALL __attribute__((fastcall))
#else
#  define KIV_REGCALL
#endif

/* Returned by the 8-bit test-get when bit 7 was already set. */
#define KIV_LOCK_BUSY 0x870F0035u

/* The bit that marks a latch cell held, and the "held with waiters" value
 * that the printing and verifying functions also accept. */
#define KIV_LATCH_FREE    0x00u
#define KIV_LATCH_HELD    0x80u
#define KIV_LATCH_WAITING 0xC0u

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Latch cells of 8, 16 and 32 bits ------------------------------------
 * TestGet   sets bit 7; 0 when it was clear (taken), KIV_LOCK_BUSY when set.
 * Exchange  exchanges in 0x80; returns the old value (0 means taken).
 * Release   stores 0.
 * ReleaseAndReturn exchanges in 0; returns the old value. */
KIV_API Uint32 KIV_REGCALL kivWin32Lock8TestGetInternal(volatile Uint8* cell);
KIV_API Uint8  KIV_REGCALL kivWin32Lock8ExchangeInternal(volatile Uint8* cell);
KIV_API void   KIV_REGCALL kivWin32Lock8ReleaseInternal(volatile Uint8* cell);
KIV_API Uint8  KIV_REGCALL kivWin32Lock8ReleaseAndReturnInternal(volatile Uint8* cell);

KIV_API Uint32 KIV_REGCALL kivWin32Lock16TestGetInternal(volatile Uint16* cell);
KIV_API Uint16 KIV_REGCALL kivWin32Lock16ExchangeInternal(volatile Uint16* cell);
KIV_API void   KIV_REGCALL kivWin32Lock16ReleaseInternal(volatile Uint16* cell);
KIV_API Uint16 KIV_REGCALL kivWin32Lock16ReleaseAndReturnInternal(volatile Uint16* cell);

KIV_API Uint32 KIV_REGCALL kivWin32Lock32TestGetInternal(volatile Uint32* cell);
KIV_API Uint32 KIV_REGCALL kivWin32Lock32ExchangeInternal(volatile Uint32* cell);
KIV_API void   KIV_REGCALL kivWin32Lock32ReleaseInternal(volatile Uint32* cell);
KIV_API Uint32 KIV_REGCALL kivWin32Lock32ReleaseAndReturnInternal(volatile Uint32* cell);

/* ---- Exchange, fetch-and-add and compare-and-swap --------------------------
 * Each returns the cell's value before the operation.  The compare-and-swap
 * stores `newValue` only when the cell holds `expected`. */
KIV_API Uint8  KIV_REGCALL kivWin32AtomicExchange8Internal(volatile Uint8* cell, Uint8 value);
KIV_API Uint16 KIV_REGCALL kivWin32AtomicExchange16Internal(volatile Uint16* cell, Uint16 value);
KIV_API Uint32 KIV_REGCALL kivWin32AtomicExchange32Internal(volatile Uint32* cell, Uint32 value);

KIV_API Uint8  KIV_REGCALL kivWin32FetchAndAdd8Internal(volatile Uint8* cell, Uint8 delta);
KIV_API Uint16 KIV_REGCALL kivWin32FetchAndAdd16Internal(volatile Uint16* cell, Uint16 delta);
KIV_API Uint32 KIV_REGCALL kivWin32FetchAndAdd32Internal(volatile Uint32* cell, Uint32 delta);

KIV_API Uint8  KIV_REGCALL kivWin32CompareSwapAndReturn8Internal(volatile Uint8* cell,
                                                                 Uint8 newValue, Uint8 expected);
KIV_API Uint16 KIV_REGCALL kivWin32CompareSwapAndReturn16Internal(volatile Uint16* cell,
                                                                  Uint16 newValue,
                                                                  Uint16 expected);
KIV_API Uint32 KIV_REGCALL kivWin32CompareSwapAndReturn32Internal(volatile Uint32* cell,
                                                                  Uint32 newValue,
                                                                  Uint32 expected);

/* 64-bit compare-and-swap of `cell` against *expected, the new value given
 * as two halves, low first.  Returns 1 when it swapped, else 0; either way
 * the value found in the cell is written back into *expected. */
KIV_API Uint32 KIV_REGCALL kivWin32CompareSwapAndReturn64Internal(volatile Uint64* cell,
                                                                  Uint64* expected,
                                                                  Uint32 newLow,
                                                                  Uint32 newHigh);
/* Atomic 64-bit read, also on 32-bit processors: a compare-and-swap that
 * writes back what it finds.  The cell must therefore be writable. */
KIV_API Uint64 KIV_REGCALL kivWin32Fetch64Internal(volatile Uint64* cell);

/* ---- Bare 32-bit cells -----------------------------------------------------
 * What KIVVAtomicSigned32 does to its value field, on any 32-bit word (for
 * example one inside a shared control block).  Arithmetic wraps modulo 2^32.
 *   kivAtomicInit32           store `value` unless flags has bit 1 (0x2) set,
 *                             which keeps the value already there
 *   kivAtomicStore32 / Load32 plain store / plain load
 *   kivAtomicSwap32           exchange; returns the old value
 *   kivAtomicCompareAndSwap32 stores `newValue` when the cell holds
 *                             `expected`; returns 1 when it swapped, else 0
 *   kivAtomicAdd32            fetch-and-add of `delta`; returns the old value
 *   kivAtomicIncrement32 / Decrement32  +1 / -1; return the old value */
#define KIV_ATOMIC_INIT_KEEP 0x2u

KIV_API void   kivAtomicInit32(volatile Uint32* cell, Uint32 value, Uint32 flags);
KIV_API void   kivAtomicStore32(volatile Uint32* cell, Uint32 value);
KIV_API Uint32 kivAtomicLoad32(const volatile Uint32* cell);
KIV_API Uint32 kivAtomicSwap32(volatile Uint32* cell, Uint32 value);
KIV_API Uint32 kivAtomicCompareAndSwap32(volatile Uint32* cell, Uint32 expected, Uint32 newValue);
KIV_API Uint32 kivAtomicAdd32(volatile Uint32* cell, Uint32 delta);
KIV_API Uint32 kivAtomicIncrement32(volatile Uint32* cell);
KIV_API Uint32 kivAtomicDecrement32(volatile Uint32* cell);

#ifdef __cplusplus
} /* extern "C" */

/* The same on signed cells (signed and unsigned words may alias). */
inline void kivAtomicInit32(volatile Sint32* cell, Sint32 value, Uint32 flags)
{
    kivAtomicInit32(reinterpret_cast<volatile Uint32*>(cell), static_cast<Uint32>(value), flags);
}
inline void kivAtomicStore32(volatile Sint32* cell, Sint32 value)
{
    kivAtomicStore32(reinterpret_cast<volatile Uint32*>(cell), static_cast<Uint32>(value));
}
inline Sint32 kivAtomicLoad32(const volatile Sint32* cell)
{
    return static_cast<Sint32>(kivAtomicLoad32(reinterpret_cast<const volatile Uint32*>(cell)));
}
inline Sint32 kivAtomicSwap32(volatile Sint32* cell, Sint32 value)
{
    return static_cast<Sint32>(
        kivAtomicSwap32(reinterpret_cast<volatile Uint32*>(cell), static_cast<Uint32>(value)));
}
inline Uint32 kivAtomicCompareAndSwap32(volatile Sint32* cell, Sint32 expected, Sint32 newValue)
{
    return kivAtomicCompareAndSwap32(reinterpret_cast<volatile Uint32*>(cell),
                                     static_cast<Uint32>(expected), static_cast<Uint32>(newValue));
}
inline Sint32 kivAtomicAdd32(volatile Sint32* cell, Sint32 delta)
{
    return static_cast<Sint32>(
        kivAtomicAdd32(reinterpret_cast<volatile Uint32*>(cell), static_cast<Uint32>(delta)));
}
inline Sint32 kivAtomicIncrement32(volatile Sint32* cell)
{
    return static_cast<Sint32>(kivAtomicIncrement32(reinterpret_cast<volatile Uint32*>(cell)));
}
inline Sint32 kivAtomicDecrement32(volatile Sint32* cell)
{
    return static_cast<Sint32>(kivAtomicDecrement32(reinterpret_cast<volatile Uint32*>(cell)));
}

/* ---- Versioned atomic counter ----------------------------------------------
 * Plain memory, no constructor: it may live in shared memory, where the
 * first process initialises it and later ones join with init(v,
 * KIV_ATOMIC_INIT_KEEP).  Every operation but init and size refuses a
 * version below KIV_VERSION_MIN with ECF_INVALID_VERSION.  The value is 32
 * bits wide; a `long` argument wider than that is cut to its low 32 bits.
 * Result pointers of the modifying operations may be null when the caller
 * does not want the old value; peek needs one (ECF_INVALID_PARAMETER). */
class KIV_API KIVVAtomicSigned32 {
public:
    Uint32 init(long value, unsigned flags);
    Uint32 poke(long value);
    Uint32 peek(long* out) const;
    Uint32 swap(long value, long* old);
    /* 0 when swapped, ECF_FAILED when the value was not `expected`. */
    Uint32 compareAndSwap(long expected, long newValue);
    Uint32 increment(long* out);
    Uint32 decrement(long* out);
    Uint32 add(long delta, long* out);
    Uint32 size() const { return static_cast<Uint32>(sizeof value); }

    Uint32 version;
    Sint32 value;
};

static_assert(sizeof(KIVVAtomicSigned32) == 8, "KIVVAtomicSigned32 is two words");
static_assert(offsetof(KIVVAtomicSigned32, version) == 0, "version first");
static_assert(offsetof(KIVVAtomicSigned32, value) == 4, "value at 4");

#endif /* __cplusplus */

#endif /* KIVATOMIC_H */
