/*
 * test_dump.cpp - trace dump files: the header and tail a dumping tool writes,
 * each validation code with a damaged file, and the parser in both directions.
 */
#include "gtdump.h"
#include "kivecf.h"
#include "kivfile.h"
#include "kivtest.h"
#include "kivthread.h"

#include <stdio.h>
#include <string.h>

#include <memory>
#include <string>
#include <vector>

namespace {

const Uint32 kRing = 0x80000;            /* 8192 slots */
const Uint32 kSlots = kRing / 64;
const Uint32 kFn = 0x081A0002u;          /* KIVHFile::open */
const Uint32 kMark = 0x5EC0DE00u;        /* entry word b of the test's records */

typedef std::vector<Uint8> Bytes;
typedef std::vector<Uint32> Indexes;

/* A control block in private memory, initialised, attached and enabled. */
class Trace {
public:
    Trace(Uint32 kind, Uint32 bufferSize = kRing, Uint32 flags = 0)
    {
        std::unique_ptr<GtraceOptions> o(new GtraceOptions());
        o->bufferSize = bufferSize;
        o->traceKind = kind;
        o->traceFlags = flags;
        m_words.assign(gtraceGetAllocSize(bufferSize) / 8 + 1, 0);
        EXPECT_EQ(0u, gtraceInitialize(block(), o.get()));
        gtraceAttach(block(), 4711, nullptr, nullptr, nullptr);
        gtraceEnable();
    }
    ~Trace() { gtraceDetach(); }
    GTCB* block() { return reinterpret_cast<GTCB*>(m_words.data()); }
    RAMBOCB* ring() { return gtraceRingBuffer(block()); }

private:
    std::vector<Uint64> m_words;
};

/* Record `index` (its entry word a); with `extra` item bytes several slots. */
void record(Uint32 index, Uint32 extra = 0)
{
    if (extra == 0) {
        gtraceEntry(kivThreadID(), 0, kFn, index, kMark);
        return;
    }
    Bytes data(extra, static_cast<Uint8>(index));
    gtraceEntryVar(kivThreadID(), 0, kFn, index, kMark, 1, (Uint32)GTRACE_ITEM_BLOCK, extra,
                   (const void*)data.data());
}

/* Records from..to-1: mostly one slot, now and then several. */
void records(Uint32 from, Uint32 to)
{
    for (Uint32 i = from; i < to; ++i)
        record(i, i % 7 == 3 ? 40 + (i * 37) % 400 : 0);
}

void writeBytes(const std::string& path, const Bytes& bytes)
{
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    EXPECT_EQ(bytes.size(), fwrite(bytes.data(), 1, bytes.size(), f));
    fclose(f);
}

void append(Bytes& to, const void* p, size_t n)
{
    const Uint8* b = static_cast<const Uint8*>(p);
    to.insert(to.end(), b, b + n);
}

/* A dump of the attached block, made as a dumping tool makes it. */
Bytes dumpOf(bool instantaneous)
{
    Bytes out(GTRACE_DUMP_HEADER_SIZE);
    void* data = nullptr;
    Uint32 size = 0;
    EXPECT_EQ(0u, gtraceGetDumpHeaderBuffer(instantaneous ? 1 : 0, out.data(), &data, &size));
    append(out, data, size);
    GtraceOptions* o = nullptr;
    gtraceGetOptionsPtr(&o);
    // A profile's data is its table, with no ring behind it: no tail.
    if (instantaneous && !(o->traceKind & GTRACE_KIND_PROFILE)) {
        RamboDumpTail tail;
        memset(&tail, 0, sizeof tail);
        EXPECT_EQ(0u, gtraceGetDumpTail(&tail));
        append(out, &tail, sizeof tail);
    }
    return out;
}

GtraceDumpHeader* headerIn(Bytes& dump) { return reinterpret_cast<GtraceDumpHeader*>(dump.data()); }
RamboDumpTail* tailIn(Bytes& dump)
{
    return reinterpret_cast<RamboDumpTail*>(dump.data() + dump.size() - RAMBO_DUMP_TAIL_SIZE);
}

/* A continuous dump of the block's options with `data` as its slots. */
Bytes continuousDump(const Bytes& data)
{
    Bytes d = dumpOf(false);
    d.resize(GTRACE_DUMP_HEADER_SIZE);
    append(d, data.data(), data.size());
    return d;
}

class DumpFile {
public:
    explicit DumpFile(const std::string& path)
    {
        KIVFileOpenParam p;
        p.fileName = path.c_str();
        p.openMode = KIV_FILE_OPEN_EXISTING;
        p.accessMode = KIV_FILE_READ;
        rc = file.open(&p);
    }
    ~DumpFile() { if (rc == 0) file.close(); }
    Uint64 position()
    {
        KIVFileSeekParam p;
        p.origin = KIV_FILE_SEEK_CUR;
        Uint64 at = ~0ull;
        file.seek(&p, &at);
        return at;
    }
    void seek(Uint64 to)
    {
        KIVFileSeekParam p;
        p.offset = (Sint64)to;
        ASSERT_EQ(0u, file.seek(&p, nullptr));
    }
    KIVHFile file;
    Uint32 rc = 0;
};

struct Walk {
    Indexes records;     /* entry word a of each record, in walk order */
    Uint8 wrapped = 0xFF, lost = 0xFF;
    Uint32 rejected = 0;
};

/* As a tool does: validate, open, parse until 0, ask wrap/truncation, close. */
Walk walk(const std::string& path, bool forward)
{
    Walk w;
    DumpFile f(path);
    EXPECT_EQ(0u, f.rc);
    EXPECT_EQ(0u, gtraceValidateDumpFile(&f.file, GTRACE_PARSER_RING));
    EXPECT_EQ(0u, f.position());
    GtraceDumpFileParser parser;
    if (gtraceOpenDumpFileParser(&f.file, &parser, forward ? 1 : 0) != 0) {
        ADD_FAILURE() << "the parser did not open";
        return w;
    }
    GtraceRecord r;
    while (gtraceParseRecords(&f.file, &parser, nullptr, &r, sizeof r) != 0) {
        EXPECT_EQ(kMark, r.b) << "not a record of the test";
        w.records.push_back(r.a);
        if (w.records.size() > 10 * kSlots) {
            ADD_FAILURE() << "the walk does not end";
            break;
        }
    }
    EXPECT_EQ(0u, gtraceParseRecords(&f.file, &parser, nullptr, nullptr, 0)) << "0 stays 0";
    EXPECT_EQ(0u, ramboDidBufferWrap(&parser.ring, &w.wrapped));
    EXPECT_EQ(0u, ramboWasBufferTruncated(&parser.ring, &w.lost));
    EXPECT_EQ(0u, ramboGetRejectedRecords(&parser.ring, &w.rejected));
    EXPECT_EQ(0u, gtraceCloseDumpFileParser(&parser));
    return w;
}

Indexes range(Uint32 from, Uint32 to)
{
    Indexes out;
    for (Uint32 i = from; i < to; ++i)
        out.push_back(i);
    return out;
}

Indexes reversed(Indexes v) { return Indexes(v.rbegin(), v.rend()); }

const Uint32 kTail = 0xFFFFFFFFu;  /* the newest records, consecutive */
const Uint8 kAny = 0xFF;           /* a flag the case does not look at */

/* Records of up to 2048 slots, crossing every read-buffer refill boundary. */
Uint32 largeRecords()
{
    for (Uint32 i = 0; i < 700; ++i)
        record(i, i % 5 == 0 ? 0xFFFF - 8 : (i * 977) % 9000);
    return 700;
}

/* Fills a stop-when-full ring, overflows by 50; returns the number that fitted. */
Uint32 overflowStopRing()
{
    Uint32 i = 0;
    while (g_pGTCB != nullptr && gtraceRingBuffer(g_pGTCB)->counter < kSlots)
        record(i++);
    const Uint32 kept = i;
    for (Uint32 j = 0; j < 50; ++j)
        record(i++);
    return kept;
}

struct RoundTripCase {
    const char* name;
    Uint32 kind, ring;
    /* Writes the records and returns the end of the expected range. */
    Uint32 (*write)();
    Uint32 from;        /* first expected record, or kTail */
    size_t atLeast;     /* with kTail: the least number that must survive */
    Uint8 wrapped, lost, rejected;
};

const RoundTripCase kRoundTrips[] = {
    {"wrapping, not yet round", GTRACE_KIND_WRAP, kRing, [] { records(0, 300); return 300u; },
     0, 0, 0, 0, 0},
    {"wrapped: the last lap", GTRACE_KIND_WRAP, kRing, [] { records(0, 20000); return 20000u; },
     kTail, 5000, 1, 0, kAny},
    {"stop when full, overflowed", GTRACE_KIND_STOP, kRing, overflowStopRing, 0, 0, kAny, 1, kAny},
    {"empty", GTRACE_KIND_WRAP, kRing, [] { return 0u; }, 0, 0, kAny, kAny, kAny},
    {"large records", GTRACE_KIND_WRAP, 0x400000, largeRecords, kTail, 51, kAny, kAny, kAny},
};

void expectFlag(Uint8 want, Uint8 got, const char* what)
{
    if (want != kAny) {
        EXPECT_EQ(want, got) << what;
    }
}

/* Validate `dump` after `lead` other bytes: position restored, parser agrees. */
Uint32 validateAt(const Bytes& dump, Uint32 lead = 100, Uint32 expectedKind = 0)
{
    KivTestTempDir dir;
    Bytes file(lead, 0x33);
    append(file, dump.data(), dump.size());
    writeBytes(dir.file("v"), file);
    DumpFile f(dir.file("v"));
    f.seek(lead);
    Uint32 rc = gtraceValidateDumpFile(&f.file, expectedKind);
    EXPECT_EQ(lead, f.position()) << "position not restored, rc " << std::hex << rc;
    GtraceDumpFileParser parser;
    Uint32 openRc = gtraceOpenDumpFileParser(&f.file, &parser, 1);
    if (rc != ECF_INVALID_PARAMETER) {
        EXPECT_EQ(rc, openRc);
    }
    if (openRc == 0)
        gtraceCloseDumpFileParser(&parser);
    return rc;
}

} // namespace

TEST(DumpWrite, HeaderAndTailOfAnAttachedInitialisedBlock)
{
    Bytes h(GTRACE_DUMP_HEADER_SIZE);
    RamboDumpTail tail;
    gtraceDetach();
    EXPECT_EQ(ECF_GTRACE_NOT_ATTACHED, gtraceGetDumpHeaderBuffer(1, h.data(), nullptr, nullptr));
    EXPECT_EQ(ECF_GTRACE_NOT_ATTACHED, gtraceGetDumpTail(&tail));

    std::vector<Uint64> zeroed(gtraceGetAllocSize(kRing) / 8 + 1, 0);
    gtraceAttach(reinterpret_cast<GTCB*>(zeroed.data()), 1, nullptr, nullptr, nullptr);
    EXPECT_EQ(ECF_GTRACE_NOT_INITIALIZED,
              gtraceGetDumpHeaderBuffer(1, h.data(), nullptr, nullptr));
    EXPECT_EQ(ECF_GTRACE_NOT_INITIALIZED, gtraceGetDumpTail(&tail));
    gtraceDetach();

    Trace t(GTRACE_KIND_WRAP, kRing, GTRACE_FLAG_TIMESTAMP);
    EXPECT_EQ(ECF_INVALID_PARAMETER, gtraceGetDumpHeaderBuffer(1, nullptr, nullptr, nullptr));

    // The ring kind: options, tick factor, ring header, the slot array as
    // data, and a tail.
    records(0, 10);
    void* data = nullptr;
    Uint32 size = 0;
    ASSERT_EQ(0u, gtraceGetDumpHeaderBuffer(1, h.data(), &data, &size));
    EXPECT_EQ(0, memcmp(h.data(), "GTDUMP1", 8));
    EXPECT_EQ(0, memcmp(&headerIn(h)->options, &t.block()->options, GTRACE_OPTIONS_SIZE));
    EXPECT_EQ(RAMBO_DUMP_INSTANTANEOUS, headerIn(h)->ring.dumpType);
    EXPECT_EQ((void*)ramboSlots(t.ring()), data);
    EXPECT_EQ(kRing, size);

    memset(&tail, 0, sizeof tail);
    ASSERT_EQ(0u, gtraceGetDumpTail(&tail));
    EXPECT_EQ(0, memcmp(tail.eyeCatcher, "@TAIL\r\n", 8));
    EXPECT_EQ(t.ring()->counter, tail.counter);
    EXPECT_EQ(t.ring()->counter % kSlots, tail.slotIndex);
}

/* Instantaneous dumps of each ring mode: both directions, opposite orders. */
TEST(DumpRoundTrip, EachRingModeBothWays)
{
    for (const RoundTripCase& c : kRoundTrips) {
        SCOPED_TRACE(c.name);
        KivTestTempDir dir;
        Trace t(c.kind, c.ring);
        const Uint32 to = c.write();
        writeBytes(dir.file("d"), dumpOf(true));
        Walk fw = walk(dir.file("d"), true), bw = walk(dir.file("d"), false);
        const Indexes& f = fw.records;
        if (c.from == kTail) {
            ASSERT_GE(f.size(), c.atLeast);
            EXPECT_EQ(range(f.front(), to), f) << "consecutive, oldest surviving first";
        } else {
            EXPECT_EQ(range(c.from, to), f);
        }
        EXPECT_EQ(reversed(f), bw.records);
        for (const Walk* w : {&fw, &bw}) {
            expectFlag(c.wrapped, w->wrapped, "wrapped");
            expectFlag(c.lost, w->lost, "lost");
            expectFlag(c.rejected, Uint8(w->rejected), "rejected");
        }
    }
}

/* A dumping tool appended the slots written so far; a partial slot at the
 * end is not visited, nor is data shorter than one slot. */
TEST(DumpContinuous, PartialAndShortData)
{
    KivTestTempDir dir;
    Trace t(GTRACE_KIND_CHUNKED);
    gtraceAutoDumpEnabled(0);
    records(0, 400);
    // A copy taken before the dump calls, which trace themselves.
    const Uint8* slots = ramboSlots(t.ring());
    Bytes used(slots, slots + t.ring()->counter * 64);
    used.resize(used.size() + 40, 0x77);
    writeBytes(dir.file("partial"), continuousDump(used));
    Walk w = walk(dir.file("partial"), true);
    EXPECT_EQ(range(0, 400), w.records);
    EXPECT_EQ(reversed(range(0, 400)), walk(dir.file("partial"), false).records);
    EXPECT_EQ(0u, w.wrapped);
    EXPECT_EQ(0u, w.lost);

    writeBytes(dir.file("short"), continuousDump(Bytes(63, 0)));
    DumpFile f(dir.file("short"));
    EXPECT_EQ(ECF_RAMBO_DUMP_TRUNCATED, gtraceValidateDumpFile(&f.file, 0));
    GtraceDumpFileParser parser;
    EXPECT_EQ(ECF_RAMBO_DUMP_TRUNCATED, gtraceOpenDumpFileParser(&f.file, &parser, 1));
    EXPECT_EQ(0u, gtraceParseRecords(&f.file, &parser, nullptr, nullptr, 0));
    EXPECT_EQ(0u, gtraceCloseDumpFileParser(&parser)) << "a parser that never opened";
}

/* Every damage a dump can have, and its code. */
TEST(DumpValidate, DamagedHeadersAndTails)
{
    Bytes d;
    {
        Trace t(GTRACE_KIND_WRAP);
        records(0, 20);
        d = dumpOf(true);
    }
    EXPECT_EQ(0u, validateAt(d, 0));
    EXPECT_EQ(0u, validateAt(d, 100, GTRACE_PARSER_RING));
    EXPECT_EQ(ECF_INVALID_PARAMETER, validateAt(d, 100, GTRACE_PARSER_PROFILE));
    EXPECT_EQ(ECF_INVALID_PARAMETER, gtraceValidateDumpFile(nullptr, 0));
    EXPECT_EQ(ECF_INVALID_PARAMETER, ramboValidateDumpFile(nullptr));

    auto cut = [&d](size_t n) { return Bytes(d.begin(), d.begin() + n); };
    auto changed = [&d](void (*change)(Bytes&)) {
        Bytes b = d;
        change(b);
        return b;
    };
    const struct {
        const char* name;
        Bytes dump;
        Uint32 rc;
    } cases[] = {
        {"trace header cut", cut(GTRACE_DUMP_PREFIX_SIZE - 1), ECF_GTRACE_DUMP_HEADER_TRUNCATED},
        {"GTDUMP2", changed([](Bytes& b) { b[6] = '2'; }), ECF_GTRACE_INVALID_DUMP_EYE_CATCHER},
        {"ring header cut", cut(GTRACE_DUMP_PREFIX_SIZE + 10), ECF_RAMBO_DUMP_HEADER_TRUNCATED},
        {"ring eye-catcher", changed([](Bytes& b) { headerIn(b)->ring.eyeCatcher[1] = 'h'; }),
         ECF_RAMBO_INVALID_DUMP_HEADER_EYE_CATCHER},
        {"dump type 3", changed([](Bytes& b) { headerIn(b)->ring.dumpType = 3; }),
         ECF_RAMBO_INVALID_DUMP_TYPE},
        {"size too small", changed([](Bytes& b) { headerIn(b)->ring.bufferSize = 0x7FFFF; }),
         ECF_RAMBO_INVALID_DUMP_BUFFER_SIZE},
        {"no tail", cut(d.size() - 32), ECF_RAMBO_INSTANT_DUMP_TRUNCATED},
        {"tail eye-catcher", changed([](Bytes& b) { tailIn(b)->eyeCatcher[0] = '#'; }),
         ECF_RAMBO_INVALID_DUMP_TAIL_EYE_CATCHER},
        {"slot index", changed([](Bytes& b) { tailIn(b)->slotIndex = kSlots; }),
         ECF_RAMBO_INVALID_DUMP_SLOT_INDEX},
        {"last slot index", changed([](Bytes& b) { tailIn(b)->slotIndex = kSlots - 1; }), 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(c.rc, validateAt(c.dump));
    }
}

TEST(DumpProfile, EntriesOfUsedFunctionsRoundTrip)
{
    KivTestTempDir dir;
    std::map<Uint32, Uint32> calls;
    {
        Trace t(GTRACE_KIND_PROFILE, 0x80000, GTRACE_FLAG_TIMESTAMP | GTRACE_FLAG_CALL_STACKS);
        for (Uint32 i = 0; i < 30; ++i) {
            Uint32 fn = 0x081A0000u + 1 + i % 6;
            Uint32 rc = 0;
            gtraceEntry(kivThreadID(), 0, fn, 0, 1000000);
            gtraceExit(kivThreadID(), 0, fn, &rc, 0, 0);
            ++calls[fn];
        }
        // The data is the profile table; there is no tail.
        RamboDumpTail tail;
        memset(&tail, 0x5A, sizeof tail);
        EXPECT_EQ(0u, gtraceGetDumpTail(&tail));
        EXPECT_EQ(0x5A, reinterpret_cast<Uint8*>(&tail)[0]) << "nothing written";
        writeBytes(dir.file("p"), dumpOf(true));
    }
    EXPECT_EQ(GTRACE_DUMP_HEADER_SIZE + 0x80000u, kivtestReadFile(dir.file("p")).size());

    for (Uint8 forward = 0; forward < 2; ++forward) {
        DumpFile f(dir.file("p"));
        EXPECT_EQ(ECF_INVALID_PARAMETER, gtraceValidateDumpFile(&f.file, GTRACE_PARSER_RING));
        ASSERT_EQ(0u, gtraceValidateDumpFile(&f.file, GTRACE_PARSER_PROFILE));
        ASSERT_EQ(0u, gtraceValidateDumpFile(&f.file, 0));
        GtraceDumpFileParser parser;
        ASSERT_EQ(0u, gtraceOpenDumpFileParser(&f.file, &parser, forward));
        EXPECT_EQ(GTRACE_PARSER_PROFILE, parser.kind);
        std::map<Uint32, Uint32> seen;
        GtraceProfileEntry e;
        Uint64 at = 0;
        while (gtraceParseRecords(&f.file, &parser, &at, &e, sizeof e) == sizeof e) {
            EXPECT_EQ(0u, seen.count(e.functionId));
            seen[e.functionId] = e.callCount;
            EXPECT_EQ(0u, (at - GTRACE_DUMP_HEADER_SIZE) % 16);
        }
        EXPECT_EQ(calls, seen);
        EXPECT_EQ(0u, gtraceCloseDumpFileParser(&parser));
    }
}

namespace {

Bytes noiseBytes(size_t n, Uint64 seed)
{
    Bytes out(n);
    kivtestFillBytes(out.data(), n, seed);
    return out;
}

/* Walks a whole file with a fresh parser; the number of records. */
Uint32 countRecords(const std::string& path, Uint8 forward, Uint32* rejected)
{
    DumpFile f(path);
    GtraceDumpFileParser parser;
    EXPECT_EQ(0u, gtraceOpenDumpFileParser(&f.file, &parser, forward));
    Uint32 n = 0;
    while (gtraceParseRecords(&f.file, &parser, nullptr, nullptr, 0) != 0)
        ++n;
    if (parser.kind != GTRACE_PARSER_PROFILE) {
        EXPECT_EQ(0u, ramboGetRejectedRecords(&parser.ring, rejected));
    }
    EXPECT_EQ(0u, gtraceCloseDumpFileParser(&parser));
    return n;
}

} // namespace

/* Garbage: refused with its code, or walked to an end without a crash. */
TEST(DumpValidate, GarbageNeverValidatesOrCrashesTheParser)
{
    KivTestTempDir dir;
    Bytes garbage = noiseBytes(300000, 12345);
    EXPECT_EQ(ECF_GTRACE_INVALID_DUMP_EYE_CATCHER, validateAt(garbage));
    // With a correct eye-catcher and a ring kind, the ring header is garbage.
    memcpy(garbage.data(), "GTDUMP1", 8);
    GtraceOptions* o = &headerIn(garbage)->options;
    o->traceKind = GTRACE_KIND_WRAP;
    EXPECT_EQ(ECF_RAMBO_INVALID_DUMP_HEADER_EYE_CATCHER, validateAt(garbage));

    // A profile kind does not look at the ring header, and walks whatever
    // entries the file holds without running past its end.
    o->traceKind = GTRACE_KIND_PROFILE;
    o->bufferSize = 0xFFFFFFF0u;
    writeBytes(dir.file("p"), garbage);
    // Good headers with garbage slots, some of which look sealed with a
    // sequence number of the last lap but are not whole: nothing is found
    // and they are counted.
    Bytes d;
    {
        Trace t(GTRACE_KIND_WRAP);
        records(0, 20);
        d = dumpOf(true);
    }
    const Bytes noise = noiseBytes(kRing, 99);
    memcpy(d.data() + GTRACE_DUMP_HEADER_SIZE, noise.data(), kRing);
    for (Uint32 s = 0; s < kSlots; s += 97) {
        Uint8* slot = d.data() + GTRACE_DUMP_HEADER_SIZE + s * 64;
        const Uint32 sequence = 5;
        memcpy(slot, &sequence, 4);
        slot[4] = 0xFE;
        slot[5] = 0xCA;
    }
    writeBytes(dir.file("g"), d);

    for (Uint8 forward : {1, 0}) {
        SCOPED_TRACE(forward);
        Uint32 rejected = 0;
        const Uint32 entries = countRecords(dir.file("p"), forward, &rejected);
        EXPECT_LE(entries, (garbage.size() - GTRACE_DUMP_HEADER_SIZE) / 16);
        EXPECT_GT(entries, 0u);
        EXPECT_EQ(0u, countRecords(dir.file("g"), forward, &rejected));
        EXPECT_GE(rejected, kSlots / 97);
    }
}
