/*
 * kivatomic.cpp - the atomic primitives and the versioned atomic counter.
 *
 * All read-modify-writes use sequentially consistent compiler builtins: on
 * x86 each is a locked instruction (xchg, xadd, cmpxchg, cmpxchg8b), and
 * therefore a full barrier.  Setting bit 7 of a byte or word has no locked
 * instruction of its own size that returns the old bit, so it is a locked
 * compare-exchange loop.  Plain stores and loads are release and acquire
 * moves, which on x86 are ordinary moves.
 */
#include "kivatomic.h"
#include "kivecf.h"

namespace {

template <class T> inline T exchange(volatile T* cell, T value)
{
    return __atomic_exchange_n(cell, value, __ATOMIC_SEQ_CST);
}

template <class T> inline T fetchAdd(volatile T* cell, T delta)
{
    return __atomic_fetch_add(cell, delta, __ATOMIC_SEQ_CST);
}

/* Compare-and-swap returning the value found (== expected when swapped). */
template <class T> inline T compareSwap(volatile T* cell, T newValue, T expected)
{
    __atomic_compare_exchange_n(cell, &expected, newValue, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return expected;
}

template <class T> inline void plainStore(volatile T* cell, T value)
{
    __atomic_store_n(cell, value, __ATOMIC_RELEASE);
}

template <class T> inline Uint32 testGet(volatile T* cell)
{
    T old = __atomic_fetch_or(cell, static_cast<T>(KIV_LATCH_HELD), __ATOMIC_SEQ_CST);
    return (old & KIV_LATCH_HELD) ? KIV_LOCK_BUSY : 0u;
}

template <class T> inline T lockExchange(volatile T* cell)
{
    return exchange(cell, static_cast<T>(KIV_LATCH_HELD));
}

template <class T> inline T releaseAndReturn(volatile T* cell)
{
    return exchange(cell, static_cast<T>(0));
}

} // namespace

/* ---- Latch cells ---------------------------------------------------------- */

Uint32 KIV_REGCALL kivWin32Lock8TestGetInternal(volatile Uint8* cell) { return testGet(cell); }
Uint8 KIV_REGCALL kivWin32Lock8ExchangeInternal(volatile Uint8* cell) { return lockExchange(cell); }
void KIV_REGCALL kivWin32Lock8ReleaseInternal(volatile Uint8* cell) { plainStore<Uint8>(cell, 0); }
Uint8 KIV_REGCALL kivWin32Lock8ReleaseAndReturnInternal(volatile Uint8* cell)
{
    return releaseAndReturn(cell);
}

Uint32 KIV_REGCALL kivWin32Lock16TestGetInternal(volatile Uint16* cell) { return testGet(cell); }
Uint16 KIV_REGCALL kivWin32Lock16ExchangeInternal(volatile Uint16* cell) { return lockExchange(cell); }
void KIV_REGCALL kivWin32Lock16ReleaseInternal(volatile Uint16* cell) { plainStore<Uint16>(cell, 0); }
Uint16 KIV_REGCALL kivWin32Lock16ReleaseAndReturnInternal(volatile Uint16* cell)
{
    return releaseAndReturn(cell);
}

Uint32 KIV_REGCALL kivWin32Lock32TestGetInternal(volatile Uint32* cell) { return testGet(cell); }
Uint32 KIV_REGCALL kivWin32Lock32ExchangeInternal(volatile Uint32* cell) { return lockExchange(cell); }
void KIV_REGCALL kivWin32Lock32ReleaseInternal(volatile Uint32* cell) { plainStore<Uint32>(cell, 0); }
Uint32 KIV_REGCALL kivWin32Lock32ReleaseAndReturnInternal(volatile Uint32* cell)
{
    return releaseAndReturn(cell);
}

/* ---- Exchange, fetch-and-add, compare-and-swap ----------------------------- */

Uint8 KIV_REGCALL kivWin32AtomicExchange8Internal(volatile Uint8* cell, Uint8 value)
{
    return exchange(cell, value);
}
Uint16 KIV_REGCALL kivWin32AtomicExchange16Internal(volatile Uint16* cell, Uint16 value)
{
    return exchange(cell, value);
}
Uint32 KIV_REGCALL kivWin32AtomicExchange32Internal(volatile Uint32* cell, Uint32 value)
{
    return exchange(cell, value);
}

Uint8 KIV_REGCALL kivWin32FetchAndAdd8Internal(volatile Uint8* cell, Uint8 delta)
{
    return fetchAdd(cell, delta);
}
Uint16 KIV_REGCALL kivWin32FetchAndAdd16Internal(volatile Uint16* cell, Uint16 delta)
{
    return fetchAdd(cell, delta);
}
Uint32 KIV_REGCALL kivWin32FetchAndAdd32Internal(volatile Uint32* cell, Uint32 delta)
{
    return fetchAdd(cell, delta);
}

Uint8 KIV_REGCALL kivWin32CompareSwapAndReturn8Internal(volatile Uint8* cell, Uint8 newValue,
                                                        Uint8 expected)
{
    return compareSwap(cell, newValue, expected);
}
Uint16 KIV_REGCALL kivWin32CompareSwapAndReturn16Internal(volatile Uint16* cell, Uint16 newValue,
                                                          Uint16 expected)
{
    return compareSwap(cell, newValue, expected);
}
Uint32 KIV_REGCALL kivWin32CompareSwapAndReturn32Internal(volatile Uint32* cell, Uint32 newValue,
                                                          Uint32 expected)
{
    return compareSwap(cell, newValue, expected);
}

Uint32 KIV_REGCALL kivWin32CompareSwapAndReturn64Internal(volatile Uint64* cell, Uint64* expected,
                                                          Uint32 newLow, Uint32 newHigh)
{
    Uint64 want = *expected;
    Uint64 found = compareSwap(cell, (static_cast<Uint64>(newHigh) << 32) | newLow, want);
    *expected = found;
    return found == want ? 1u : 0u;
}

Uint64 KIV_REGCALL kivWin32Fetch64Internal(volatile Uint64* cell)
{
    // Swapping 0 for 0 changes nothing, and the value found comes back whole.
    return compareSwap<Uint64>(cell, 0, 0);
}

/* ---- Bare 32-bit cells ----------------------------------------------------- */

void kivAtomicInit32(volatile Uint32* cell, Uint32 value, Uint32 flags)
{
    if (!(flags & KIV_ATOMIC_INIT_KEEP))
        plainStore(cell, value);
}

void kivAtomicStore32(volatile Uint32* cell, Uint32 value) { plainStore(cell, value); }

Uint32 kivAtomicLoad32(const volatile Uint32* cell)
{
    return __atomic_load_n(cell, __ATOMIC_ACQUIRE);
}

Uint32 kivAtomicSwap32(volatile Uint32* cell, Uint32 value) { return exchange(cell, value); }

Uint32 kivAtomicCompareAndSwap32(volatile Uint32* cell, Uint32 expected, Uint32 newValue)
{
    return compareSwap(cell, newValue, expected) == expected ? 1u : 0u;
}

Uint32 kivAtomicAdd32(volatile Uint32* cell, Uint32 delta) { return fetchAdd(cell, delta); }
Uint32 kivAtomicIncrement32(volatile Uint32* cell) { return fetchAdd(cell, 1u); }
Uint32 kivAtomicDecrement32(volatile Uint32* cell) { return fetchAdd(cell, 0xFFFFFFFFu); }

/* ---- KIVVAtomicSigned32 ---------------------------------------------------- */

namespace {

inline bool badVersion(Uint32 version) { return version < KIV_VERSION_MIN; }

/* The counter's value cell seen as the unsigned word the primitives use. */
inline volatile Uint32* cellOf(Sint32* value) { return reinterpret_cast<volatile Uint32*>(value); }
inline const volatile Uint32* cellOf(const Sint32* value)
{
    return reinterpret_cast<const volatile Uint32*>(value);
}

/* A long argument cut to the 32-bit cell (the low word, as on a 32-bit long). */
inline Uint32 toCell(long v) { return static_cast<Uint32>(static_cast<unsigned long>(v)); }
inline long fromCell(Uint32 v) { return static_cast<long>(static_cast<Sint32>(v)); }

inline void putOld(long* out, Uint32 old)
{
    if (out)
        *out = fromCell(old);
}

} // namespace

Uint32 KIVVAtomicSigned32::init(long v, unsigned flags)
{
    version = KIV_VERSION_CURRENT;
    kivAtomicInit32(cellOf(&value), toCell(v), flags);
    return 0;
}

Uint32 KIVVAtomicSigned32::poke(long v)
{
    if (badVersion(version))
        return ECF_INVALID_VERSION;
    kivAtomicStore32(cellOf(&value), toCell(v));
    return 0;
}

Uint32 KIVVAtomicSigned32::peek(long* out) const
{
    if (badVersion(version))
        return ECF_INVALID_VERSION;
    if (!out)
        return ECF_INVALID_PARAMETER;
    *out = fromCell(kivAtomicLoad32(cellOf(&value)));
    return 0;
}

Uint32 KIVVAtomicSigned32::swap(long v, long* old)
{
    if (badVersion(version))
        return ECF_INVALID_VERSION;
    putOld(old, kivAtomicSwap32(cellOf(&value), toCell(v)));
    return 0;
}

Uint32 KIVVAtomicSigned32::compareAndSwap(long expected, long newValue)
{
    if (badVersion(version))
        return ECF_INVALID_VERSION;
    return kivAtomicCompareAndSwap32(cellOf(&value), toCell(expected), toCell(newValue))
               ? 0u
               : ECF_FAILED;
}

Uint32 KIVVAtomicSigned32::increment(long* out) { return add(1, out); }
Uint32 KIVVAtomicSigned32::decrement(long* out) { return add(-1, out); }

Uint32 KIVVAtomicSigned32::add(long delta, long* out)
{
    if (badVersion(version))
        return ECF_INVALID_VERSION;
    putOld(out, kivAtomicAdd32(cellOf(&value), toCell(delta)));
    return 0;
}
