/*
 * kivtesttrace.h - reads the sealed records straight out of an attached
 * ring-kind trace block, for tests that check what the writers stored.
 */
#ifndef KIVTESTTRACE_H
#define KIVTESTTRACE_H

#include <string.h>

#include <algorithm>
#include <vector>

#include "gptrace.h"
#include "rambo.h"

struct KivRingRecord {
    Uint32 sequence = 0;
    Uint32 slots = 0;
    Uint32 payloadBytes = 0;
    std::vector<Uint8> payload;   /* at least 64 bytes, zero beyond the payload */

    const GtraceRecord& h() const { return *reinterpret_cast<const GtraceRecord*>(payload.data()); }
    Uint32 word(Uint32 offset) const
    {
        Uint32 v;
        memcpy(&v, payload.data() + offset, 4);
        return v;
    }
};

/* Every sealed record of the slot array, oldest first. */
inline std::vector<KivRingRecord> kivtestReadRing(GTCB* block)
{
    RAMBOCB* cb = gtraceRingBuffer(block);
    Uint8* slots = ramboSlots(cb);
    std::vector<KivRingRecord> out;
    for (Uint32 i = 0; i < cb->slotCount;) {
        Uint8* at = slots + (size_t)i * RAMBO_SLOT_SIZE;
        Uint32 n = ramboSealedSlots(at, (cb->slotCount - i) * RAMBO_SLOT_SIZE);
        if (n == 0) {
            ++i;
            continue;
        }
        KivRingRecord r;
        memcpy(&r.sequence, at, 4);
        r.slots = n;
        r.payloadBytes = n * RAMBO_SLOT_SIZE - RAMBO_RECORD_OVERHEAD;
        r.payload.assign(at + RAMBO_PAYLOAD_OFFSET, at + RAMBO_PAYLOAD_OFFSET + r.payloadBytes);
        r.payload.resize(std::max<size_t>(r.payload.size(), 64), 0);
        out.push_back(r);
        i += n;
    }
    std::sort(out.begin(), out.end(), [](const KivRingRecord& a, const KivRingRecord& b) {
        return a.sequence < b.sequence;
    });
    return out;
}

#endif /* KIVTESTTRACE_H */
