/*
 * gtwrite.cpp - the record writers: entry, exit, error, marker and the data
 * writers with their variable item lists, and random-sleep mode.
 *
 * Every writer runs one frame: on the slow path (a filter, kind or
 * behaviour bit in traceFlags) the kind steps, preOptions and random-sleep
 * mode; the errors-only test of exits; the pre-trace callback; then
 * reserve, fill, seal; and after the seal stop-on-return-code and the
 * application callback.  With none of those bits set a writer reserves,
 * fills and seals and does nothing else: no filter call, no time stamp, no
 * lock - the one atomic operation is the ring buffer's claim.
 *
 * The writers are reached only while a block is attached and enabled (the
 * callers test that); they load g_pGTCB once and use that block throughout.
 * An exit without a return code is recorded as returning 0.
 */
#include "gtinternal.h"

#include <stdarg.h>
#include <stdlib.h>
#include <string.h>

#include "kivthread.h"

namespace {

/* Everything that takes a writer off the plain reserve-fill-seal path. */
const Uint32 kFrameBits = GTRACE_FLAGS_SLOW_PATH | GTRACE_FLAG_PRE_CALLBACK | GTRACE_FLAGS_AFTER_SEAL;

/* What a writer is to the kind steps: entries and exits feed the profile and
 * the gctrace exit counters, every other writer counts as a point. */
enum Role { ROLE_ENTRY, ROLE_EXIT, ROLE_OTHER };

/* The identity of one trace point. */
struct TracePoint {
    Uint64 threadId;
    Uint32 fn;
    Uint16 type;
    Uint16 probe;
    Uint16 recordFlags;
};

/* The writer-specific words; which of them a record carries is the
 * writer's choice (Fields). */
struct Words {
    Uint32 a, b, c, d, e;
};
enum Fields { F_AB = 1, F_C = 2, F_DE = 4 };

inline Uint64 threadIdOf(Uint32 low, Uint32 high) { return (Uint64)high << 32 | low; }

inline bool plainPath(const GTCB* block, Uint32 flags)
{
    // The kind is tested too: a profile table or gctrace area must never be
    // taken for a ring buffer, whatever a caller did to traceFlags.
    return ((flags & kFrameBits) | gtKindOf(block->options)) == 0;
}

/* Steps 2 to 4 of the frame: false when no record is to be written. */
bool admit(GTCB* block, Uint32 flags, Role role, const TracePoint& p, const Words& w,
           const Uint32* rc, Uint64* timestamp)
{
    switch (gtKindOf(block->options)) {
    case GTRACE_KIND_PROFILE:
        if (role == ROLE_ENTRY)
            gtProfileEntry(block, p.fn, p.threadId);
        else if (role == ROLE_EXIT)
            gtProfileExit(block, p.fn, p.threadId);
        return false;
    case GTRACE_KIND_GCTRACE:
        if (role == ROLE_EXIT)
            gctraceExitHandler(block, p.fn, w.a, w.b);
        else
            gctracePointHandler(block, p.fn, p.probe, p.type);
        return false;
    default:
        break;
    }
    if (flags & GTRACE_FLAGS_SLOW_PATH) {
        if (!preOptions(p.type, p.fn, p.probe, p.threadId, timestamp))
            return false;
        if (block->options.traceKind & GTRACE_KIND_RANDSLEEP) {
            gtraceRandSleep();
            return false;
        }
    }
    if (role == ROLE_EXIT && (flags & GTRACE_FLAG_ERRORS_ONLY) && *rc == 0)
        return false;
    if (flags & GTRACE_FLAG_PRE_CALLBACK) {
        GtracePreTraceCallback ask = g_gtProcess.preTraceCallback;
        if (ask == nullptr || ask(p.type, p.fn, p.probe) != 0)
            return false;
    }
    return true;
}

/* Steps 1 to 4 of the frame, as every writer opens it: the block loaded
 * once, its flags, whether the plain path applies and the time stamp;
 * false when no record is to be written.  An exit's return code becomes
 * its word c. */
struct Opening {
    GTCB*  block;
    Uint32 flags;
    Uint64 timestamp;
    bool   plain;
};

template <Role R>
inline __attribute__((always_inline)) bool openRecord(const TracePoint& p, Words& w, Uint32* rc,
                                                      Opening* o)
{
    o->block = g_pGTCB;
    if (o->block == nullptr)
        return false;
    o->flags = o->block->options.traceFlags;
    o->timestamp = 0;
    o->plain = plainPath(o->block, o->flags);
    if (!o->plain && !admit(o->block, o->flags, R, p, w, rc, &o->timestamp))
        return false;
    if (R == ROLE_EXIT)
        w.c = *rc;
    return true;
}

/* Step 8 of the frame, after the seal. */
void afterSeal(GTCB* block, Uint32 flags, Role role, const TracePoint& p, Uint32* rc,
               Uint32 itemCount, va_list* cursor)
{
    if (!(flags & GTRACE_FLAGS_AFTER_SEAL))
        return;
    if (role == ROLE_EXIT)
        gtStopOnReturnCode(block, flags, *rc);
    GtraceAppCallback app = g_gtProcess.appCallback;
    if ((flags & GTRACE_FLAG_APP_CALLBACK) && app != nullptr)
        app(p.type, p.fn, p.probe, role == ROLE_EXIT ? reinterpret_cast<uintptr_t>(rc) : 0,
            itemCount, reinterpret_cast<uintptr_t>(cursor));
}

inline void fillHeader(GtraceRecord* r, const TracePoint& p, Uint64 timestamp, Uint32 dataLength)
{
    r->timestamp = timestamp;
    r->threadId = p.threadId;
    r->processId = g_gtProcess.processId;
    r->functionId = p.fn;
    r->fixedData1 = g_gtProcess.fixedData1;
    r->fixedData2 = g_gtProcess.fixedData2;
    r->recordType = p.type;
    r->recordFlags = p.recordFlags;
    r->probe = p.probe;
    r->dataLength = static_cast<Uint16>(dataLength);
}

/* The writer-specific words, in payloads long enough to hold them. */
inline void fillWords(GtraceRecord* r, Uint32 fields, const Words& w)
{
    if (fields & F_AB) {
        r->a = w.a;
        r->b = w.b;
    }
    if (fields & F_C)
        r->c = w.c;
    if (fields & F_DE) {
        r->d = w.d;
        r->e = w.e;
    }
}

/* Clears the bytes between the payload and the trailer of a multi-slot
 * record.  Left alone they keep the previous lap's contents, and the start
 * of the last slot could still hold an old record's sealed header, which a
 * reader testing every slot on its way backwards would take for a record. */
inline void clearPadding(const RamboSlotInfo& info, Uint32 used)
{
    const Uint32 end = (info.slots << RAMBO_SLOT_SHIFT) - 4;
    if (info.slots > 1 && used < end)
        memset(info.slot + used, 0, end - used);
}

inline GtraceRecord* reserve(RAMBOCB* ring, Uint32 payload, RamboSlotInfo* info)
{
    Uint8* at = payload <= RAMBO_ONE_SLOT_PAYLOAD ? ramboReserveOneSlot(ring, info)
                                                  : ramboReserveSlots(ring, payload, info);
    return reinterpret_cast<GtraceRecord*>(at);
}

/* The writers of one fixed-size record. */
template <Role R>
inline __attribute__((always_inline)) Uint32
writeFixed(const TracePoint& p, Uint32 payload, Uint32 fields, Words w, Uint32* rc)
{
    Opening o;
    if (!openRecord<R>(p, w, rc, &o))
        return 0;
    RAMBOCB* ring = gtraceRingBuffer(o.block);
    RamboSlotInfo info;
    GtraceRecord* r = reserve(ring, payload, &info);
    fillHeader(r, p, o.timestamp, 0);
    fillWords(r, fields, w);
    ramboSync(ring, &info);
    if (!o.plain)
        afterSeal(o.block, o.flags, R, p, rc, 0, nullptr);
    return 0;
}

/* ---- Data items ------------------------------------------------------------ */

/* One item triple of the argument list.  The third word is read at pointer
 * width: an address, or an immediate value in its low 32 bits. */
struct Item {
    Uint32 type;
    Uint32 size;
    uintptr_t word;
};
inline Item nextItem(va_list* ap)
{
    Item it;
    it.type = va_arg(*ap, Uint32);
    it.size = va_arg(*ap, Uint32);
    it.word = va_arg(*ap, uintptr_t);
    return it;
}
inline bool isImmediate(Uint32 type)
{
    return type == GTRACE_ITEM_IMMEDIATE1 || type == GTRACE_ITEM_IMMEDIATE2;
}

/* The first pass: how many items fit under the length limit, their total,
 * and the size of the last one if it had to be cut short. */
struct ItemPlan {
    Uint32 count;
    Uint32 total;
    bool   shortened;
    Uint32 lastSize;
};

ItemPlan planItems(Uint32 count, va_list* ap)
{
    ItemPlan plan = {0, 0, false, 0};
    for (Uint32 i = 0; i < count; ++i) {
        Item it = nextItem(ap);
        if (plan.total + 8 > GTRACE_MAX_DATA_LENGTH)
            break;
        Uint64 grown = (Uint64)plan.total + 8 + it.size;
        plan.count = i + 1;
        if (grown > GTRACE_MAX_DATA_LENGTH) {
            plan.shortened = true;
            plan.lastSize = GTRACE_MAX_DATA_LENGTH - (plan.total + 8);
            plan.total = GTRACE_MAX_DATA_LENGTH;
            break;
        }
        plan.total = static_cast<Uint32>(grown);
    }
    return plan;
}

/* Copies one item's bytes to `data`; returns how many were stored there. */
Uint32 copyItem(GtraceItemDescriptor* d, Uint8* data, Uint32 originalType, uintptr_t word)
{
    Uint32 size = d->size;
    if (size == 0)
        return 0;
    if (isImmediate(originalType)) {
        // The value itself: at most its four bytes, anything beyond is 0.
        Uint32 value = static_cast<Uint32>(word);
        Uint32 n = size < sizeof value ? size : (Uint32)sizeof value;
        memcpy(data, &value, n);
        memset(data + n, 0, size - n);
        return size;
    }
    if (word == 0) {
        d->size = GTRACE_ITEM_NULL_SIZE;
        return 0;
    }
    memcpy(data, reinterpret_cast<const void*>(word), size);
    return size;
}

/* The second pass: descriptors at `base`, then the bytes back to back. */
void copyItems(Uint8* payload, Uint32 base, const ItemPlan& plan, va_list* ap)
{
    GtraceItemDescriptor* desc = reinterpret_cast<GtraceItemDescriptor*>(payload + base);
    Uint8* data = payload + base + 8 * plan.count;
    for (Uint32 i = 0; i < plan.count; ++i) {
        Item it = nextItem(ap);
        Uint32 originalType = it.type;
        if (plan.shortened && i + 1 == plan.count) {
            it.type = GTRACE_ITEM_SHORTENED;
            it.size = plan.lastSize;
        }
        desc[i].type = it.type;
        desc[i].size = it.size;
        data += copyItem(&desc[i], data, originalType, it.word);
    }
}

/* The writers of a data record; `*ap` stands at the first item triple and
 * is not moved. */
template <Role R>
Uint32 writeData(const TracePoint& p, Uint32 base, Uint32 fields, Words w, Uint32* rc,
                 Uint32 count, va_list* ap)
{
    Opening o;
    if (!openRecord<R>(p, w, rc, &o))
        return 0;

    va_list pass;
    va_copy(pass, *ap);
    ItemPlan plan = planItems(count, &pass);
    va_end(pass);

    RAMBOCB* ring = gtraceRingBuffer(o.block);
    RamboSlotInfo info;
    GtraceRecord* r = reserve(ring, base + plan.total, &info);
    fillHeader(r, p, o.timestamp, plan.total);
    fillWords(r, fields, w);
    r->itemCount = plan.count;
    va_copy(pass, *ap);
    copyItems(reinterpret_cast<Uint8*>(r), base, plan, &pass);
    va_end(pass);
    clearPadding(info, 8 + base + plan.total);
    ramboSync(ring, &info);

    if (!o.plain) {
        va_list cursor;
        va_copy(cursor, *ap);
        afterSeal(o.block, o.flags, R, p, rc, plan.count, &cursor);
        va_end(cursor);
    }
    return 0;
}

inline TracePoint point(Uint32 tidLow, Uint32 tidHigh, Uint32 fn, Uint32 type, Uint32 probe,
                        Uint32 recordFlags = 0)
{
    TracePoint p = {threadIdOf(tidLow, tidHigh), fn, static_cast<Uint16>(type),
                    static_cast<Uint16>(probe), static_cast<Uint16>(recordFlags)};
    return p;
}

inline Uint32 markerFlags(Uint32 typeAndFlag) { return (typeAndFlag & 0x10000u) ? 2u : 0u; }

/* Random-sleep mode's per-process state: unprotected, like the mode. */
bool   g_randSeeded = false;
Uint32 g_randCounter = 1;

} // namespace

extern "C" {

Uint32 gtraceEntry(Uint32 tidLow, Uint32 tidHigh, Uint32 fn, Uint32 a, Uint32 b)
{
    return writeFixed<ROLE_ENTRY>(point(tidLow, tidHigh, fn, GTRACE_TYPE_ENTRY, 0),
                                  GTRACE_ENTRY_PAYLOAD, F_AB, Words{a, b, 0, 0, 0}, nullptr);
}

Uint32 gtraceExit(Uint32 tidLow, Uint32 tidHigh, Uint32 fn, Uint32* rc, Uint32 a, Uint32 b)
{
    Uint32 none = 0;
    if (rc == nullptr)
        rc = &none;
    return writeFixed<ROLE_EXIT>(point(tidLow, tidHigh, fn, GTRACE_TYPE_EXIT, 0),
                                 GTRACE_EXIT_PAYLOAD, F_AB | F_C, Words{a, b, 0, 0, 0}, rc);
}

Uint32 gtraceError(Uint32 tidLow, Uint32 tidHigh, Uint32 fn, Uint16 probe, Uint16 type, Uint32 a,
                   Uint32 b)
{
    return writeFixed<ROLE_OTHER>(point(tidLow, tidHigh, fn, type, probe), GTRACE_ENTRY_PAYLOAD,
                                  F_AB, Words{a, b, 0, 0, 0}, nullptr);
}

Uint32 gtraceMarker(Uint32 tidLow, Uint32 tidHigh, Uint32 fn, Uint16 probe, Uint32 typeAndFlag)
{
    return writeFixed<ROLE_OTHER>(
        point(tidLow, tidHigh, fn, typeAndFlag & 0xFFFFu, probe, markerFlags(typeAndFlag)),
        GTRACE_FIXED_PAYLOAD, 0, Words{0, 0, 0, 0, 0}, nullptr);
}

Uint32 gtraceErrorRc(Uint32 tidLow, Uint32 tidHigh, Uint32 fn, Uint16 probe, Uint16 type, Uint32 a,
                     Uint32 b, Uint32 c, Uint32 d, Uint32 e)
{
    return writeFixed<ROLE_OTHER>(point(tidLow, tidHigh, fn, type, probe), GTRACE_WIDE_PAYLOAD,
                                  F_AB | F_C | F_DE, Words{a, b, c, d, e}, nullptr);
}

Uint32 gtraceErrorTrans(Uint32 tidLow, Uint32 tidHigh, Uint32 fn, Uint16 probe, Uint32 a, Uint32 b,
                        Uint32 c, Uint32 d)
{
    // c and d go to 0x38 and 0x3C; the word at 0x30 is left as it was.
    return writeFixed<ROLE_OTHER>(point(tidLow, tidHigh, fn, GTRACE_TYPE_ERROR_TRANS, probe),
                                  GTRACE_WIDE_PAYLOAD, F_AB | F_DE, Words{a, b, 0, c, d}, nullptr);
}

Uint32 gtraceEntryVar(Uint32 tidLow, Uint32 tidHigh, Uint32 fn, Uint32 a, Uint32 b, Uint32 count,
                      ...)
{
    va_list ap;
    va_start(ap, count);
    writeData<ROLE_ENTRY>(point(tidLow, tidHigh, fn, GTRACE_TYPE_ENTRY, 0), GTRACE_ITEMS_BASE,
                          F_AB, Words{a, b, 0, 0, 0}, nullptr, count, &ap);
    va_end(ap);
    return 0;
}

Uint32 gtraceExitVar(Uint32 tidLow, Uint32 tidHigh, Uint32 fn, Uint32* rc, Uint32 a, Uint32 b,
                     Uint32 count, ...)
{
    Uint32 none = 0;
    if (rc == nullptr)
        rc = &none;
    va_list ap;
    va_start(ap, count);
    writeData<ROLE_EXIT>(point(tidLow, tidHigh, fn, GTRACE_TYPE_EXIT, 0), GTRACE_ITEMS_BASE,
                         F_AB | F_C, Words{a, b, 0, 0, 0}, rc, count, &ap);
    va_end(ap);
    return 0;
}

Uint32 gtraceVar(Uint32 tidLow, Uint32 tidHigh, Uint32 fn, Uint16 probe, Uint16 type, Uint32 count,
                 ...)
{
    va_list ap;
    va_start(ap, count);
    writeData<ROLE_OTHER>(point(tidLow, tidHigh, fn, type, probe), GTRACE_ITEMS_BASE, 0,
                          Words{0, 0, 0, 0, 0}, nullptr, count, &ap);
    va_end(ap);
    return 0;
}

Uint32 gtraceErrorVar(Uint32 tidLow, Uint32 tidHigh, Uint32 fn, Uint16 probe, Uint16 type, Uint32 a,
                      Uint32 b, Uint32 count, ...)
{
    va_list ap;
    va_start(ap, count);
    writeData<ROLE_OTHER>(point(tidLow, tidHigh, fn, type, probe), GTRACE_ITEMS_BASE, F_AB,
                          Words{a, b, 0, 0, 0}, nullptr, count, &ap);
    va_end(ap);
    return 0;
}

Uint32 gtraceErrorRcVar(Uint32 tidLow, Uint32 tidHigh, Uint32 fn, Uint16 probe, Uint16 type,
                        Uint32 a, Uint32 b, Uint32 c, Uint32 d, Uint32 e, Uint32 count, ...)
{
    va_list ap;
    va_start(ap, count);
    writeData<ROLE_OTHER>(point(tidLow, tidHigh, fn, type, probe), GTRACE_ITEMS_BASE_RC,
                          F_AB | F_C | F_DE, Words{a, b, c, d, e}, nullptr, count, &ap);
    va_end(ap);
    return 0;
}

Uint32 gtraceMarkerVar(Uint32 tidLow, Uint32 tidHigh, Uint32 fn, Uint16 probe, Uint32 typeAndFlag,
                       Uint32 count, ...)
{
    va_list ap;
    va_start(ap, count);
    writeData<ROLE_OTHER>(
        point(tidLow, tidHigh, fn, typeAndFlag & 0xFFFFu, probe, markerFlags(typeAndFlag)),
        GTRACE_ITEMS_BASE, 0, Words{0, 0, 0, 0, 0}, nullptr, count, &ap);
    va_end(ap);
    return 0;
}

Uint32 gtraceCorrelatorVar(Uint32 tidLow, Uint32 tidHigh, Uint32 fn, Uint16 probe, Uint32 a,
                           Uint32 b, Uint32 c, Uint32 count, ...)
{
    va_list ap;
    va_start(ap, count);
    // b and c lead, a follows at 0x30.
    writeData<ROLE_OTHER>(point(tidLow, tidHigh, fn, GTRACE_TYPE_CORRELATOR, probe),
                          GTRACE_ITEMS_BASE, F_AB | F_C, Words{b, c, a, 0, 0}, nullptr, count, &ap);
    va_end(ap);
    return 0;
}

Uint32 gtraceEvent(Uint32, Uint32, Uint32, ...) { return 0; }
Uint32 gtraceEventVar(Uint32, Uint32, Uint32, ...) { return 0; }

Uint32 gtraceRandSleep(void)
{
    if (!g_randSeeded) {
        srand(1020);
        g_randSeeded = true;
    }
    // Fifteen bits of the draw, as the Windows runtime's rand() gives them,
    // so x stays in [0, 1) where RAND_MAX is larger.
    double x = static_cast<double>(rand() & 0x7FFF) / 32768.0;
    GTCB* block = g_pGTCB;
    Uint32 period = block != nullptr ? block->options.stopReturnCode : 0;
    if (period <= g_randCounter) {
        kivSleep(static_cast<Uint32>(200.0 * x * x * x * x));
        g_randCounter = 0;
    }
    return ++g_randCounter;
}

} // extern "C"
