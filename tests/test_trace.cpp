/*
 * test_trace.cpp - the trace control block and the record writers: layout
 * and life cycle, the records of a real failing operation decoded from the
 * ring buffer, the writer formats and item limits, every filter of
 * preOptions, stopping on a return code, the callbacks, random-sleep mode,
 * the profile and gctrace kinds, and several processes writing into one
 * block in shared memory.
 */
#include "gptrace.h"
#include "kivecf.h"
#include "kivfile.h"
#include "kivthread.h"
#include "kivtest.h"
#include "rambo.h"

#include <stdarg.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

const Uint32 kRingSize = 0x80000;      /* 8192 slots */
const Uint32 kGcSize = 0x800000;       /* room for the gctrace bucket table */
const Uint32 kPid = 4711;
/* Product 1, component 0x34, group 0, function 0x123. */
const Uint32 kFn = (1u << 27) | (0x34u << 19) | 0x123u;

/* ---- Callbacks that record what they were given ----------------------------- */
struct CallbackLog {
    int disables = 0;
    int appCalls = 0;
    Uint32 appType = 0, appFn = 0, appProbe = 0, appArg5 = 0;
    uintptr_t appArg4 = 0, appArg6 = 0;
    Uint32 appRcSeen = 0, appFirstItemType = 0, appFirstItemSize = 0;
    int preCalls = 0;
    Uint32 preType = 0, preFn = 0, preProbe = 0;
    Uint64 preResult = 0;
};
CallbackLog g_log;

void onDisable() { ++g_log.disables; }

Uint32 onApp(Uint32 type, Uint32 fn, Uint32 probe, uintptr_t arg4, Uint32 arg5, uintptr_t arg6)
{
    ++g_log.appCalls;
    g_log.appType = type;
    g_log.appFn = fn;
    g_log.appProbe = probe;
    g_log.appArg4 = arg4;
    g_log.appArg5 = arg5;
    g_log.appArg6 = arg6;
    if (arg4 != 0)
        g_log.appRcSeen = *reinterpret_cast<Uint32*>(arg4);
    if (arg6 != 0) {
        va_list* cursor = reinterpret_cast<va_list*>(arg6);
        g_log.appFirstItemType = va_arg(*cursor, Uint32);
        g_log.appFirstItemSize = va_arg(*cursor, Uint32);
    }
    return 0;
}

Uint64 onPreTrace(Uint32 type, Uint32 fn, Uint32 probe)
{
    ++g_log.preCalls;
    g_log.preType = type;
    g_log.preFn = fn;
    g_log.preProbe = probe;
    return g_log.preResult;
}

/* ---- Blocks ------------------------------------------------------------------- */
std::unique_ptr<GtraceOptions> makeOptions(Uint32 kind, Uint32 flags = 0, Uint32 bufferSize = kRingSize)
{
    std::unique_ptr<GtraceOptions> o(new GtraceOptions());
    o->bufferSize = bufferSize;
    o->traceKind = kind;
    o->traceFlags = flags;
    return o;
}

size_t blockBytes(Uint32 kind, Uint32 bufferSize)
{
    if ((kind & GTRACE_KIND_SELECT) == GTRACE_KIND_PROFILE || (kind & GTRACE_KIND_SELECT) == GTRACE_KIND_GCTRACE)
        return GTRACE_HEADER_SIZE + (size_t)bufferSize;
    return gtraceGetAllocSize(bufferSize);
}

/* Private memory for a block, 8-aligned. */
struct BlockMemory {
    explicit BlockMemory(size_t bytes) : words((bytes + 7) / 8, 0) {}
    GTCB* block() { return reinterpret_cast<GTCB*>(words.data()); }
    std::vector<Uint64> words;
};

/* A block initialised with the options, attached with the recording
 * callbacks, and enabled; detached again at the end of the scope. */
class AttachedTrace {
public:
    explicit AttachedTrace(Uint32 kind, Uint32 flags = 0, Uint32 bufferSize = kRingSize)
        : memory_(blockBytes(kind, bufferSize)), options_(makeOptions(kind, flags, bufferSize))
    {
        g_log = CallbackLog();
        initRc = gtraceInitialize(block(), options_.get());
        gtraceAttach(block(), kPid, onApp, onDisable, onPreTrace);
        gtraceSetFixedData1(0x0F1D0001);
        gtraceSetFixedData2(0x0F1D0002);
        gtraceEnable();
    }
    ~AttachedTrace() { gtraceDetach(); }
    GTCB* block() { return memory_.block(); }
    GtraceOptions& options() { return block()->options; }
    Uint32 initRc = 0;

private:
    BlockMemory memory_;
    std::unique_ptr<GtraceOptions> options_;
};

/* ---- Reading records back from the ring buffer ------------------------------- */
struct Item {
    Uint32 type;
    Uint32 size;
    std::vector<Uint8> bytes;
    Uint32 word() const
    {
        Uint32 v = 0;
        memcpy(&v, bytes.data(), std::min<size_t>(4, bytes.size()));
        return v;
    }
};

struct Record {
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
    /* The items of a data record whose descriptors begin at `base`. */
    std::vector<Item> items(Uint32 base = GTRACE_ITEMS_BASE) const
    {
        std::vector<Item> out;
        Uint32 count = h().itemCount;
        size_t data = base + 8ull * count;
        for (Uint32 i = 0; i < count && data <= payloadBytes; ++i) {
            Item it;
            it.type = word(base + 8 * i);
            it.size = word(base + 8 * i + 4);
            size_t n = it.size == GTRACE_ITEM_NULL_SIZE ? 0 : it.size;
            if (data + n > payloadBytes)
                break;
            it.bytes.assign(payload.begin() + data, payload.begin() + data + n);
            data += n;
            out.push_back(it);
        }
        return out;
    }
};

/* Every sealed record of the slot array, oldest first. */
std::vector<Record> readRing(GTCB* block)
{
    RAMBOCB* cb = gtraceRingBuffer(block);
    Uint8* slots = ramboSlots(cb);
    std::vector<Record> out;
    for (Uint32 i = 0; i < cb->slotCount;) {
        Uint8* at = slots + (size_t)i * RAMBO_SLOT_SIZE;
        Uint32 n = ramboSealedSlots(at, (cb->slotCount - i) * RAMBO_SLOT_SIZE);
        if (n == 0) {
            ++i;
            continue;
        }
        Record r;
        memcpy(&r.sequence, at, 4);
        r.slots = n;
        r.payloadBytes = n * RAMBO_SLOT_SIZE - RAMBO_RECORD_OVERHEAD;
        r.payload.assign(at + RAMBO_PAYLOAD_OFFSET, at + RAMBO_PAYLOAD_OFFSET + r.payloadBytes);
        r.payload.resize(std::max<size_t>(r.payload.size(), 64), 0);
        out.push_back(r);
        i += n;
    }
    std::sort(out.begin(), out.end(),
              [](const Record& a, const Record& b) { return a.sequence < b.sequence; });
    return out;
}

/* Slots claimed so far, and records written. */
Uint32 counter(GTCB* block) { return gtraceRingBuffer(block)->counter; }
size_t written(GTCB* block) { return readRing(block).size(); }
Uint32 tid() { return kivThreadID(); }

void entry(Uint32 fn = kFn) { gtraceEntry(tid(), 0, fn, 0, 1000000); }
void exitWith(Uint32 rc, Uint32 fn = kFn) { gtraceExit(tid(), 0, fn, &rc, 0, 0); }
void dataPoint(Uint16 type, Uint32 fn = kFn)
{
    Uint32 v = 0xABCD;
    gtraceVar(tid(), 0, fn, 30, type, 1, GTRACE_ITEM_BLOCK, (Uint32)sizeof v, &v);
}


} // namespace

/* ---- Control block: layout and life cycle ---------------------------------- */

TEST(TraceControl, InitializeChecksArgumentsAndSizes)
{
    // The block is the ring buffer's allocation and the header.
    EXPECT_EQ(0xA0168u + GTRACE_HEADER_SIZE, gtraceGetAllocSize(0x80000));
    EXPECT_EQ(ramboGetAllocSize(0x100000) + 0x30F70u, gtraceGetAllocSize(0x100000));
    EXPECT_EQ(0u, gtraceGetAllocSize(0x90000));
    EXPECT_EQ(0u, gtraceGetAllocSize(0x40000));
    EXPECT_EQ(ramboGetAllocSize(0x40000000) + 0x30F70u, gtraceGetAllocSize(0x40000000));

    BlockMemory mem(gtraceGetAllocSize(kRingSize));
    auto o = makeOptions(GTRACE_KIND_WRAP);
    EXPECT_EQ(ECF_INVALID_PARAMETER, gtraceInitialize(mem.block(), nullptr));
    EXPECT_EQ(ECF_INVALID_PARAMETER, gtraceInitialize(nullptr, o.get()));

    o->bufferSize = 0x7FFFF;
    EXPECT_EQ(ECF_GTRACE_INVALID_BUFFER_SIZE, gtraceInitialize(mem.block(), o.get()));
    o->bufferSize = 0x40000001;
    EXPECT_EQ(ECF_GTRACE_INVALID_BUFFER_SIZE, gtraceInitialize(mem.block(), o.get()));
    // The size check comes before the block check.
    EXPECT_EQ(ECF_GTRACE_INVALID_BUFFER_SIZE, gtraceInitialize(nullptr, o.get()));

    o->bufferSize = 0x90000;
    EXPECT_EQ(ECF_RAMBO_INVALID_BUFFER_SIZE, gtraceInitialize(mem.block(), o.get()));
    EXPECT_EQ(0u, mem.block()->initialized);

    o->bufferSize = kRingSize;
    o->traceKind = 0x20;  // no ring mode
    EXPECT_EQ(ECF_INVALID_PARAMETER, gtraceInitialize(mem.block(), o.get()));
    EXPECT_EQ(0u, mem.block()->initialized);

    // Options read from the block itself would be cleared before the copy.
    o->traceKind = GTRACE_KIND_WRAP;
    ASSERT_EQ(0u, gtraceInitialize(mem.block(), o.get()));
    EXPECT_EQ(ECF_INVALID_PARAMETER, gtraceInitialize(mem.block(), &mem.block()->options));
}

TEST(TraceControl, InitializeLaysOutARingBlockDisabled)
{
    BlockMemory mem(gtraceGetAllocSize(kRingSize));
    memset(mem.words.data(), 0x5A, mem.words.size() * 8);
    auto o = makeOptions(GTRACE_KIND_WRAP, GTRACE_FLAG_TIMESTAMP);
    o->stopCount = 77;
    o->fixedData2Filters[64] = 0xFEED;
    ASSERT_EQ(0u, gtraceInitialize(mem.block(), o.get()));
    GTCB* b = mem.block();
    EXPECT_EQ(1u, b->initialized);
    EXPECT_EQ(0u, b->enabled);
    EXPECT_EQ(1u, b->stopCounter);
    EXPECT_EQ(0u, b->reserved);
    EXPECT_EQ(0, memcmp(o.get(), &b->options, sizeof *o));
    RAMBOCB* ring = gtraceRingBuffer(b);
    EXPECT_EQ(0, memcmp(ring->eyeCatcher, "RAMBOCB", 8));
    EXPECT_EQ(kRingSize, ring->bufferSize);

    // The kind bits choose the ring mode: chunked beats wrap beats stop.
    struct { Uint32 kind; Uint8 wraps, chunked; } modes[] = {
        {GTRACE_KIND_WRAP, 1, 0},
        {GTRACE_KIND_CHUNKED | GTRACE_KIND_WRAP, 1, 1},
        {GTRACE_KIND_WRAP | GTRACE_KIND_STOP, 1, 0},
        {GTRACE_KIND_STOP, 0, 0},
        {GTRACE_KIND_RANDSLEEP, 0, 0},
    };
    for (auto& m : modes) {
        SCOPED_TRACE(m.kind);
        o->traceKind = m.kind;
        ASSERT_EQ(0u, gtraceInitialize(b, o.get()));
        EXPECT_EQ(m.wraps, ring->wraps);
        EXPECT_EQ(m.chunked, ring->chunked);
    }
}

TEST(TraceControl, OperationsNeedAnAttachedInitialisedBlock)
{
    gtraceDetach();
    GtraceOptions* ptr = nullptr;
    std::unique_ptr<GtraceOptions> o(new GtraceOptions());
    RamboChunkWalker walker;
    EXPECT_EQ(ECF_GTRACE_NOT_ATTACHED, gtraceEnable());
    EXPECT_EQ(ECF_GTRACE_NOT_ATTACHED, gtraceDisable());
    EXPECT_EQ(ECF_GTRACE_NOT_ATTACHED, gtraceClear());
    EXPECT_EQ(ECF_GTRACE_NOT_ATTACHED, gtraceSetOptions(o.get()));
    EXPECT_EQ(ECF_GTRACE_NOT_ATTACHED, gtraceGetOptions(o.get()));
    EXPECT_EQ(ECF_GTRACE_NOT_ATTACHED, gtraceGetOptionsPtr(&ptr));
    EXPECT_EQ(ECF_GTRACE_NOT_ATTACHED, gtraceAutoDumpEnabled(1));
    EXPECT_EQ(ECF_GTRACE_NOT_ATTACHED, gtraceInitializeChunkWalker(&walker));
    EXPECT_EQ(ECF_INVALID_PARAMETER, gtraceInitializeChunkWalker(nullptr));
    EXPECT_EQ(ECF_INVALID_PARAMETER, gtraceAttach(nullptr, 1, nullptr, nullptr, nullptr));
    EXPECT_EQ(0u, gtraceDetach());

    BlockMemory mem(gtraceGetAllocSize(kRingSize));
    ASSERT_EQ(0u, gtraceAttach(mem.block(), 1, nullptr, nullptr, nullptr));
    EXPECT_EQ(mem.block(), g_pGTCB);
    EXPECT_EQ(ECF_GTRACE_NOT_INITIALIZED, gtraceEnable());
    EXPECT_EQ(ECF_GTRACE_NOT_INITIALIZED, gtraceClear());
    EXPECT_EQ(ECF_GTRACE_NOT_INITIALIZED, gtraceGetOptions(o.get()));
    EXPECT_EQ(ECF_GTRACE_NOT_INITIALIZED, gtraceSetOptions(o.get()));
    EXPECT_EQ(0u, mem.block()->enabled);
    gtraceDetach();
    EXPECT_EQ(nullptr, g_pGTCB);
}

TEST(TraceControl, OptionsKeepTheLayoutWordsAndMarkTheKind)
{
    AttachedTrace t(GTRACE_KIND_WRAP);
    auto o = makeOptions(GTRACE_KIND_PROFILE | GTRACE_KIND_RANDSLEEP | GTRACE_KIND_GCTRACE,
                         GTRACE_FLAG_BITMAPS, 0x100000);
    o->wrapFileSize = 123;
    o->stopReturnCode = 0x90000002;
    o->fixedData2Filters[3] = 99;
    EXPECT_EQ(ECF_INVALID_PARAMETER, gtraceSetOptions(nullptr));
    ASSERT_EQ(0u, gtraceSetOptions(o.get()));
    EXPECT_EQ(kRingSize, t.options().bufferSize);
    EXPECT_EQ((Uint32)GTRACE_KIND_WRAP, t.options().traceKind);
    EXPECT_EQ(0u, t.options().wrapFileSize);
    EXPECT_EQ((Uint32)GTRACE_FLAG_BITMAPS, t.options().traceFlags);  // a ring kind adds nothing
    EXPECT_EQ(0x90000002u, t.options().stopReturnCode);
    EXPECT_EQ(99u, t.options().fixedData2Filters[3]);
    EXPECT_EQ((Uint32)GTRACE_FLAG_BITMAPS, o->traceFlags);  // the caller's block is unchanged

    std::unique_ptr<GtraceOptions> copy(new GtraceOptions());
    EXPECT_EQ(ECF_INVALID_PARAMETER, gtraceGetOptions(nullptr));
    ASSERT_EQ(0u, gtraceGetOptions(copy.get()));
    EXPECT_EQ(0, memcmp(copy.get(), &t.options(), sizeof *copy));
    GtraceOptions* ptr = nullptr;
    EXPECT_EQ(ECF_INVALID_PARAMETER, gtraceGetOptionsPtr(nullptr));
    ASSERT_EQ(0u, gtraceGetOptionsPtr(&ptr));
    EXPECT_EQ(&t.block()->options, ptr);

    // The random-sleep kind marks its flag, and keeps it through new options.
    AttachedTrace r(GTRACE_KIND_WRAP | GTRACE_KIND_RANDSLEEP);
    ASSERT_EQ(0u, r.initRc);
    EXPECT_TRUE(r.options().traceFlags & GTRACE_FLAG_RANDSLEEP);
    auto none = makeOptions(0);
    ASSERT_EQ(0u, gtraceSetOptions(none.get()));
    EXPECT_EQ((Uint32)GTRACE_FLAG_RANDSLEEP, r.options().traceFlags);
}

KIVTEST_CHILD(gtraceFreshProcess)
{
    (void)args;
    bool ok = g_pGTCB == nullptr && gtraceGetProcessID() == 0xFFFFFFFFu &&
              gtraceGetFixedData1() == 0xFFFFFFFFu && gtraceGetFixedData2() == 0xFFFFFFFFu &&
              gtraceGetAppCallBackFnPtr() == nullptr && gtraceGetAppPreTraceCallBackFnPtr() == nullptr;
    return ok ? 0 : 1;
}

TEST(TraceControl, ProcessValuesCallbacksAndEnable)
{
    EXPECT_EQ(0, kivtestRunChild("gtraceFreshProcess")) << "values start unset";
    AttachedTrace t(GTRACE_KIND_WRAP);
    ASSERT_EQ(0u, t.initRc);
    EXPECT_EQ(1u, t.block()->enabled);
    EXPECT_EQ(0, g_log.disables);  // enabling does not call it
    EXPECT_EQ(0u, gtraceDisable());
    EXPECT_EQ(0u, t.block()->enabled);
    EXPECT_EQ(1, g_log.disables);
    EXPECT_EQ(0u, gtraceEnable());
    EXPECT_EQ(1u, t.block()->enabled);
    EXPECT_EQ(1, g_log.disables);

    EXPECT_EQ(kPid, gtraceGetProcessID());
    EXPECT_EQ(17u, gtraceSetProcessID(17));
    EXPECT_EQ(0xAAu, gtraceSetFixedData1(0xAA));
    EXPECT_EQ(0xBBu, gtraceSetFixedData2(0xBB));
    EXPECT_EQ(&onApp, gtraceGetAppCallBackFnPtr());
    EXPECT_EQ(&onPreTrace, gtraceGetAppPreTraceCallBackFnPtr());
    // Detaching forgets the block and the callbacks, not the values.
    gtraceDetach();
    EXPECT_EQ(nullptr, g_pGTCB);
    EXPECT_EQ(nullptr, gtraceGetAppCallBackFnPtr());
    EXPECT_EQ(nullptr, gtraceGetAppPreTraceCallBackFnPtr());
    EXPECT_EQ(17u, gtraceGetProcessID());
    EXPECT_EQ(0xAAu, gtraceGetFixedData1());
    EXPECT_EQ(0xBBu, gtraceGetFixedData2());
}

TEST(TraceControl, ClearStartsANewSequenceAndAutoDumpNeedsAChunkedRing)
{
    {
        AttachedTrace t(GTRACE_KIND_WRAP);
        RAMBOCB* ring = gtraceRingBuffer(t.block());
        entry();
        entry();
        ASSERT_EQ(0u, gtraceClear());
        EXPECT_EQ(2u + ring->slotCount, ring->counter);
        EXPECT_EQ(2u + ring->slotCount, ring->sequenceStart);
        entry();
        auto recs = readRing(t.block());
        ASSERT_EQ(3u, recs.size());
        EXPECT_EQ(2u + ring->slotCount, recs.back().sequence);

        RamboChunkWalker walker;
        EXPECT_EQ(ECF_RAMBO_AUTO_DUMP_NOT_ALLOWED, gtraceAutoDumpEnabled(0));
        EXPECT_EQ(ECF_RAMBO_AUTO_DUMP_NOT_ALLOWED, gtraceInitializeChunkWalker(&walker));
    }
    AttachedTrace t(GTRACE_KIND_CHUNKED);
    RAMBOCB* ring = gtraceRingBuffer(t.block());
    EXPECT_EQ(1u, ring->autoDump);
    EXPECT_EQ(0u, gtraceAutoDumpEnabled(0));
    EXPECT_EQ(0u, ring->autoDump);
    RamboChunkWalker walker;
    memset(&walker, 0xEE, sizeof walker);
    ASSERT_EQ(0u, gtraceInitializeChunkWalker(&walker));
    EXPECT_EQ(ring, walker.cb);
    EXPECT_EQ(0u, walker.chunkNumber);
    EXPECT_EQ(ramboSlots(ring), walker.data);
}

/* ---- Records --------------------------------------------------------------- */

namespace {

struct MissingFile {
    MissingFile() : name(dir.file("missing.dat"))
    {
        param.fileName = name.c_str();
        param.openMode = KIV_FILE_OPEN_EXISTING;
        param.accessMode = KIV_FILE_READ;
    }
    Uint32 open() { return file.open(&param); }
    KivTestTempDir dir;
    std::string name;
    KIVFileOpenParam param;
    KIVHFile file;
};

} // namespace

TEST(TraceRecords, FailingFileOpenIsTracedWithItsParameterErrorPointAndExit)
{
    MissingFile missing;
    AttachedTrace t(GTRACE_KIND_WRAP);
    ASSERT_EQ(ECF_FILE_DOESNT_EXIST, missing.open());

    std::vector<Record> recs;
    for (const Record& r : readRing(t.block()))
        if (r.h().functionId == KIVFN_KIVHFILE_OPEN)
            recs.push_back(r);
    /* Entry, the parameter object, the path, the error point, the exit. */
    const Uint16 types[] = {1, 3, 3, 4, 2}, probes[] = {0, 200, 220, 270, 0};
    ASSERT_EQ(5u, recs.size());
    for (size_t i = 0; i < recs.size(); ++i) {
        const GtraceRecord& h = recs[i].h();
        SCOPED_TRACE(i);
        EXPECT_EQ(types[i], h.recordType);
        EXPECT_EQ(probes[i], h.probe);
        EXPECT_EQ((Uint64)kivThreadID(), h.threadId);
        EXPECT_EQ(kPid, h.processId);
        EXPECT_EQ(0x0F1D0001u, h.fixedData1);
        EXPECT_EQ(0x0F1D0002u, h.fixedData2);
        EXPECT_EQ(0u, h.timestamp);
        EXPECT_EQ(0u, h.recordFlags);
    }
    EXPECT_EQ(1u, recs[0].slots);
    EXPECT_EQ(0u, recs[0].h().a);
    EXPECT_EQ(1000000u, recs[0].h().b);

    auto objItems = recs[1].items();
    ASSERT_EQ(1u, objItems.size());
    EXPECT_EQ((Uint32)GTRACE_ITEM_BLOCK, objItems[0].type);
    ASSERT_EQ(sizeof missing.param, objItems[0].size);
    EXPECT_EQ(0, memcmp(objItems[0].bytes.data(), &missing.param, sizeof missing.param));
    EXPECT_EQ(8u + sizeof missing.param, recs[1].h().dataLength);

    auto pathItems = recs[2].items();
    ASSERT_EQ(1u, pathItems.size());
    EXPECT_EQ(missing.name, std::string(reinterpret_cast<const char*>(pathItems[0].bytes.data())));

    EXPECT_EQ(0u, recs[3].h().a);
    EXPECT_EQ(0u, recs[3].h().b);
    auto errItems = recs[3].items();
    ASSERT_EQ(1u, errItems.size());
    ASSERT_EQ(4u, errItems[0].size);
    EXPECT_EQ(ECF_FILE_DOESNT_EXIST, errItems[0].word());

    EXPECT_EQ(ECF_FILE_DOESNT_EXIST, recs[4].h().c);
    EXPECT_EQ(1u, recs[4].slots);

    // Nothing more while disabled or detached.
    const Uint32 before = counter(t.block());
    gtraceDisable();
    EXPECT_EQ(ECF_FILE_DOESNT_EXIST, missing.open());
    gtraceDetach();
    EXPECT_EQ(ECF_FILE_DOESNT_EXIST, missing.open());
    EXPECT_EQ(before, counter(t.block()));
}

/* One call of every writer, each record checked against its row: the words
 * a writer owns, and the items of the data writers. */
TEST(TraceRecords, EveryWriterFillsItsWordsAndItems)
{
    AttachedTrace t(GTRACE_KIND_WRAP);
    Uint32 rc = 0x90000002, rc7 = 7;
    const char text[] = "hello";
    gtraceEntry(5, 6, kFn, 11, 22);
    gtraceExit(5, 6, kFn, &rc, 33, 44);
    gtraceError(5, 6, kFn, 40, 11, 55, 66);
    gtraceMarker(5, 6, kFn, 7, 0x10005);
    gtraceMarker(5, 6, kFn, 8, 0x00006);
    gtraceErrorRc(5, 6, kFn, 50, 4, 1, 2, 3, 4, 5);
    gtraceErrorTrans(5, 6, kFn, 60, 1, 2, 3, 4);
    gtraceEvent(5, 6, kFn, 1, 2, 3);       // the event writers write nothing
    gtraceEventVar(5, 6, kFn, 1, 2, 3);
    gtraceEntryVar(5, 6, kFn, 10, 20, 1, GTRACE_ITEM_BLOCK, 6u, text);
    gtraceExitVar(5, 6, kFn, &rc7, 30, 40, 0);
    gtraceErrorVar(5, 6, kFn, 15, 4, 50, 60, 1, GTRACE_ITEM_IMMEDIATE1, 4u, (uintptr_t)0x11223344);
    gtraceErrorRcVar(5, 6, kFn, 25, 4, 1, 2, 3, 4, 5, 1, GTRACE_ITEM_BLOCK, 6u, text);
    gtraceMarkerVar(5, 6, kFn, 35, 0x10009, 1, GTRACE_ITEM_IMMEDIATE2, 2u, (uintptr_t)0xBEEF);
    gtraceCorrelatorVar(5, 6, kFn, 45, 0xA, 0xB, 0xC, 0);

    const Uint32 X = 0xFFFFFFFFu;  // a word the writer does not own
    struct Want {
        const char* writer;
        Uint32 slots, type, flags, probe, a, b, c, d, e, dataLength;
    } want[] = {
        {"entry",        1, 1,  X, X,  11, 22, X,          X, X, 0},
        {"exit",         X, 2,  X, X,  33, 44, 0x90000002, X, X, 0},
        {"error",        X, 11, X, 40, 55, 66, X,          X, X, 0},
        {"marker",       X, 5,  2, 7,  X,  X,  X,          X, X, 0},
        {"marker",       X, 6,  0, X,  X,  X,  X,          X, X, 0},
        {"errorRc",      2, 4,  X, 50, 1,  2,  3,          4, 5, 0},
        {"errorTrans",   2, 13, X, X,  1,  2,  X,          3, 4, 0},
        {"entryVar",     X, 1,  X, 0,  10, 20, X,          X, X, 14},
        {"exitVar",      2, 2,  X, X,  X,  X,  7,          X, X, 0},  // 0x38 bytes + 12
        {"errorVar",     X, 4,  X, X,  50, X,  X,          X, X, X},
        {"errorRcVar",   X, X,  X, X,  X,  X,  3,          4, 5, X},
        {"markerVar",    X, 9,  2, X,  X,  X,  X,          X, X, X},
        {"correlator",   X, 12, X, 45, 0xB, 0xC, 0xA,      X, X, X},
    };
    auto r = readRing(t.block());
    ASSERT_EQ(sizeof want / sizeof want[0], r.size());
    Uint32 slots = 0;
    for (size_t i = 0; i < r.size(); ++i) {
        SCOPED_TRACE(want[i].writer);
        const GtraceRecord& h = r[i].h();
        const Want& w = want[i];
        EXPECT_EQ(0x600000005ull, h.threadId);
        EXPECT_EQ(kFn, h.functionId);
        const std::pair<Uint32, Uint32> words[] = {
            {w.slots, r[i].slots}, {w.type, h.recordType}, {w.flags, h.recordFlags},
            {w.probe, h.probe}, {w.a, h.a}, {w.b, h.b}, {w.c, h.c}, {w.d, h.d}, {w.e, h.e},
            {w.dataLength, h.dataLength}};
        for (size_t k = 0; k < sizeof words / sizeof words[0]; ++k)
            if (words[k].first != X) {
                EXPECT_EQ(words[k].first, words[k].second) << "word " << k;
            }
        slots += r[i].slots;
    }
    EXPECT_EQ(slots, counter(t.block())) << "a writer claimed slots it did not fill";
    EXPECT_EQ(0u, r[8].h().itemCount);

    auto entryItems = r[7].items();
    ASSERT_EQ(1u, entryItems.size());
    EXPECT_STREQ("hello", reinterpret_cast<const char*>(entryItems[0].bytes.data()));
    auto errorItems = r[9].items();
    ASSERT_EQ(1u, errorItems.size());
    EXPECT_EQ(1u, errorItems[0].type);
    EXPECT_EQ(0x11223344u, errorItems[0].word());
    auto rcItems = r[10].items(GTRACE_ITEMS_BASE_RC);
    ASSERT_EQ(1u, rcItems.size());
    EXPECT_STREQ("hello", reinterpret_cast<const char*>(rcItems[0].bytes.data()));
    auto markerItems = r[11].items();
    ASSERT_EQ(1u, markerItems.size());
    ASSERT_EQ(2u, markerItems[0].size);
    EXPECT_EQ(0xEF, markerItems[0].bytes[0]);
    EXPECT_EQ(0xBE, markerItems[0].bytes[1]);
}

/* The data of a record ends at 0xFFFF bytes: the item that crosses the
 * bound is shortened, the ones after it dropped. */
TEST(TraceRecords, DataItemsAreBoundedAt0xFFFF)
{
    AttachedTrace t(GTRACE_KIND_WRAP);
    std::vector<Uint8> big(70000);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = Uint8(i * 7);
    gtraceVar(1, 0, kFn, 10, 3, 1, GTRACE_ITEM_BLOCK, (Uint32)big.size(), big.data());
    std::vector<Uint8> a(40000, 0xAA), b(40000, 0xBB);
    Uint32 small = 0x12345678;
    // a fits; b is cut to what is left; the third item is dropped.
    gtraceVar(1, 0, kFn, 20, 3, 3, GTRACE_ITEM_BLOCK, 40000u, a.data(), GTRACE_ITEM_BLOCK, 40000u,
              b.data(), GTRACE_ITEM_BLOCK, 4u, &small);
    // Exactly 0xFFFF - 8 bytes in the first item leave no room for another
    // descriptor: the second item is dropped without being shortened.
    std::vector<Uint8> c(0xFFFF - 8, 0xCC);
    gtraceVar(1, 0, kFn, 30, 3, 2, GTRACE_ITEM_BLOCK, (Uint32)c.size(), c.data(), GTRACE_ITEM_BLOCK,
              4u, &small);

    auto r = readRing(t.block());
    ASSERT_EQ(3u, r.size());
    for (const Record& x : r)
        EXPECT_EQ(0xFFFFu, x.h().dataLength);
    EXPECT_EQ(ramboSlotsFor(GTRACE_ITEMS_BASE + 0xFFFF), r[0].slots);
    auto i0 = r[0].items();
    ASSERT_EQ(1u, i0.size());
    EXPECT_EQ((Uint32)GTRACE_ITEM_SHORTENED, i0[0].type);
    ASSERT_EQ(65527u, i0[0].size);
    EXPECT_EQ(0, memcmp(i0[0].bytes.data(), big.data(), 65527));

    EXPECT_EQ(2u, r[1].h().itemCount);
    auto i1 = r[1].items();
    ASSERT_EQ(2u, i1.size());
    EXPECT_EQ((Uint32)GTRACE_ITEM_BLOCK, i1[0].type);
    EXPECT_EQ(40000u, i1[0].size);
    EXPECT_EQ((Uint32)GTRACE_ITEM_SHORTENED, i1[1].type);
    EXPECT_EQ(0xFFFFu - 40008u - 8u, i1[1].size);
    EXPECT_EQ(0xBB, i1[1].bytes.back());

    EXPECT_EQ(1u, r[2].h().itemCount);
    auto i2 = r[2].items();
    ASSERT_EQ(1u, i2.size());
    EXPECT_EQ((Uint32)GTRACE_ITEM_BLOCK, i2[0].type);
}

TEST(TraceRecords, NullBlockItemsAndImmediates)
{
    AttachedTrace t(GTRACE_KIND_WRAP);
    Uint32 after = 0xCAFEF00D;
    gtraceVar(1, 0, kFn, 10, 3, 4, GTRACE_ITEM_BLOCK, 10u, (const void*)nullptr,
              GTRACE_ITEM_IMMEDIATE1, 4u, (uintptr_t)0x01020304, GTRACE_ITEM_BLOCK, 0u,
              (const void*)nullptr, GTRACE_ITEM_BLOCK, 4u, &after);
    auto r = readRing(t.block());
    ASSERT_EQ(1u, r.size());
    // The null block still counts its 10 bytes in the length and the room.
    Uint32 total = (8 + 10) + (8 + 4) + 8 + (8 + 4);
    EXPECT_EQ(total, r[0].h().dataLength);
    EXPECT_EQ(ramboSlotsFor(GTRACE_ITEMS_BASE + total), r[0].slots);
    auto items = r[0].items();
    ASSERT_EQ(4u, items.size());
    EXPECT_EQ(GTRACE_ITEM_NULL_SIZE, items[0].size);
    EXPECT_TRUE(items[0].bytes.empty());
    EXPECT_EQ(0x01020304u, items[1].word());
    EXPECT_EQ(0u, items[2].size);  // an empty null block is just empty
    EXPECT_EQ(after, items[3].word());
}

/* Time stamps (only when asked for: see the failing open) rise per thread. */
TEST(TraceRecords, ConcurrentThreadsLoseNoRecords)
{
    AttachedTrace t(GTRACE_KIND_WRAP, GTRACE_FLAG_TIMESTAMP);
    const Uint32 perThread = 1500;
    std::vector<std::thread> threads;
    for (Uint32 k = 0; k < 4; ++k)
        threads.emplace_back([k, perThread] {
            for (Uint32 i = 0; i < perThread; ++i)
                gtraceEntry(100 + k, 0, kFn, k, i);
        });
    for (auto& th : threads)
        th.join();
    auto r = readRing(t.block());
    ASSERT_EQ(4 * perThread, r.size());
    std::vector<Uint32> next(4, 0);
    std::vector<Uint64> stamp(4, 1);
    for (auto& x : r) {
        Uint32 k = x.h().a;
        ASSERT_LT(k, 4u);
        EXPECT_EQ(100u + k, x.h().threadId);
        EXPECT_EQ(next[k]++, x.h().b);  // each thread's records in its order
        EXPECT_LE(stamp[k], x.h().timestamp);
        stamp[k] = x.h().timestamp;
    }
}

/* ---- Filters --------------------------------------------------------------- */

TEST(TraceFilters, ErrorsOnlyPassesErrorTypesAndFailingExits)
{
    AttachedTrace t(GTRACE_KIND_WRAP, GTRACE_FLAG_ERRORS_ONLY);
    entry();
    exitWith(0);
    exitWith(0x90000002);
    for (Uint16 type = 1; type < 16; ++type)
        dataPoint(type);
    auto r = readRing(t.block());
    std::vector<Uint32> types;
    for (auto& x : r)
        types.push_back(x.h().recordType);
    EXPECT_EQ((std::vector<Uint32>{2, 2, 4, 5, 11, 13}), types);
    EXPECT_EQ(0x90000002u, r[0].h().c);

    // An exit without a return code records 0, success: errors-only drops
    // it; without the filter it is written.
    gtraceExit(1, 0, kFn, nullptr, 0, 0);
    gtraceExitVar(1, 0, kFn, nullptr, 0, 0, 0);
    EXPECT_EQ(r.size(), written(t.block()));
    t.options().traceFlags = 0;
    gtraceExit(1, 0, kFn, nullptr, 0, 0);
    r = readRing(t.block());
    ASSERT_EQ(7u, r.size());
    EXPECT_EQ(0u, r.back().h().c);
}

TEST(TraceFilters, ProcessAndFixedData2Filters)
{
    AttachedTrace t(GTRACE_KIND_WRAP, GTRACE_FLAG_PROCESS);
    GtraceOptions& o = t.options();
    entry();  // an empty filter list passes nothing
    EXPECT_EQ(0u, counter(t.block()));
    o.processFilterCount = 3;
    o.processFilters[0] = {0, kPid, 0};                          // not in use
    o.processFilters[1] = {GTRACE_PFILTER_IN_USE, kPid + 1, 0};  // another process
    o.processFilters[2] = {GTRACE_PFILTER_IN_USE | GTRACE_PFILTER_THREAD, kPid, 77};
    gtraceEntry(76, 0, kFn, 0, 0);
    EXPECT_EQ(0u, counter(t.block()));
    gtraceEntry(77, 0, kFn, 0, 0);
    EXPECT_EQ(1u, counter(t.block()));
    o.processFilters[0].flags = GTRACE_PFILTER_IN_USE;  // any thread of this process
    gtraceEntry(76, 0, kFn, 0, 0);
    EXPECT_EQ(2u, counter(t.block()));
    gtraceSetProcessID(kPid + 2);
    gtraceEntry(77, 0, kFn, 0, 0);
    EXPECT_EQ(2u, counter(t.block()));

    o.traceFlags = GTRACE_FLAG_FIXED_DATA2;
    entry();  // no fixed data 2 filters yet
    EXPECT_EQ(2u, counter(t.block()));
    o.fixedData2FilterCount = 2;
    o.fixedData2Filters[0] = 1;
    o.fixedData2Filters[1] = 0x0F1D0002;
    entry();
    EXPECT_EQ(3u, counter(t.block()));
    gtraceSetFixedData2(3);
    entry();
    EXPECT_EQ(3u, counter(t.block()));
    o.fixedData2Filters[64] = 3;  // the last of the list
    o.fixedData2FilterCount = 65;
    entry();
    EXPECT_EQ(4u, counter(t.block()));
}

TEST(TraceFilters, EachBitmapMustHoldItsBit)
{
    AttachedTrace t(GTRACE_KIND_WRAP, GTRACE_FLAG_BITMAPS);
    GtraceOptions& o = t.options();
    const Uint32 fn = kFn | (2u << 16);
    struct { Uint8* map; Uint32 bit; } bits[] = {
        {o.productBitmap, 1}, {o.typeBitmap, 3}, {o.componentBitmap, 0x34},
        {o.functionBitmap, 0x123}, {&o.functionGroupBitmap, 2},
    };
    for (auto& b : bits)
        gtmBitSet(b.map, b.bit);
    dataPoint(3, fn);
    ASSERT_EQ(1u, written(t.block()));
    size_t expected = 1;
    for (auto& b : bits) {
        SCOPED_TRACE(b.bit);
        gtmBitClear(b.map, b.bit);
        dataPoint(3, fn);
        EXPECT_EQ(expected, written(t.block()));
        gtmBitSet(b.map, b.bit);
        dataPoint(3, fn);
        EXPECT_EQ(++expected, written(t.block()));
    }
    dataPoint(4, fn);  // type 4 not in the bitmap
    EXPECT_EQ(expected, written(t.block()));
    // Function numbers beyond the bitmap's 4096 never pass.
    memset(o.functionBitmap, 0xFF, sizeof o.functionBitmap);
    dataPoint(3, (fn & ~0xFFFFu) | 4096u);
    EXPECT_EQ(expected, written(t.block()));
}

TEST(TraceFilters, TraceMaskIsAskedOnlyWithoutTheBitmapFilter)
{
    AttachedTrace t(GTRACE_KIND_WRAP, GTRACE_FLAG_MASK);
    GtraceOptions& o = t.options();
    ASSERT_TRUE(o.traceMask.gtmClearMask());
    // A function the catalogue knows, so that the mask can be condensed
    // into the bitmaps below.
    const Uint32 fn = KIVFN_KIVHFILE_OPEN;
    ASSERT_TRUE(o.traceMask.gtmSetMask(fn >> 27, (fn >> 19) & 0xFF, fn & 0xFFFF, 3, 0, 0));
    dataPoint(3, fn);
    dataPoint(4, fn);
    dataPoint(3, fn + 1);
    EXPECT_EQ(1u, written(t.block()));

    // With the bitmap filter on, the bitmaps decide and the mask is not asked.
    o.traceFlags |= GTRACE_FLAG_BITMAPS;
    dataPoint(3, fn);
    EXPECT_EQ(1u, written(t.block()));
    o.traceMask.gtmReplicateMask(gtraceOptionsBitmaps(&o));
    dataPoint(3, fn);
    EXPECT_EQ(2u, written(t.block()));
}

TEST(TraceFilters, PreOptionsTestsInOrderAndTakesTheTimeStampLast)
{
    AttachedTrace t(GTRACE_KIND_WRAP, GTRACE_FLAG_ERRORS_ONLY | GTRACE_FLAG_PROCESS | GTRACE_FLAG_TIMESTAMP);
    GtraceOptions& o = t.options();
    Uint64 ts = 0;
    // Errors only rejects type 1 before the (empty) process filter is read.
    EXPECT_FALSE(preOptions(1, kFn, 0, 1, &ts));
    EXPECT_FALSE(preOptions(2, kFn, 0, 1, &ts));
    EXPECT_EQ(0u, ts);
    o.processFilterCount = 1;
    o.processFilters[0] = {GTRACE_PFILTER_IN_USE, kPid, 0};
    EXPECT_TRUE(preOptions(2, kFn, 0, 1, &ts));
    EXPECT_NE(0u, ts);

    o.traceFlags = GTRACE_FLAG_FIXED_DATA2;
    ts = 0;
    EXPECT_FALSE(preOptions(1, kFn, 0, 1, &ts));
    o.traceFlags = 0;
    EXPECT_TRUE(preOptions(1, kFn, 0, 1, &ts));
    EXPECT_EQ(0u, ts);
}

TEST(TraceFilters, PreTraceCallbackDecidesAfterTheFilters)
{
    AttachedTrace t(GTRACE_KIND_WRAP, GTRACE_FLAG_PRE_CALLBACK | GTRACE_FLAG_ERRORS_ONLY);
    entry();  // refused by errors-only before the callback is asked
    EXPECT_EQ(0, g_log.preCalls);
    gtraceError(1, 0, kFn, 30, 4, 0, 0);
    EXPECT_EQ(1, g_log.preCalls);
    EXPECT_EQ(4u, g_log.preType);
    EXPECT_EQ(kFn, g_log.preFn);
    EXPECT_EQ(30u, g_log.preProbe);
    EXPECT_EQ(1u, counter(t.block()));
    g_log.preResult = 1;
    gtraceError(1, 0, kFn, 30, 4, 0, 0);
    EXPECT_EQ(1u, counter(t.block()));

    // Without a pre-trace callback nothing is written at all.
    gtraceAttach(t.block(), kPid, nullptr, nullptr, nullptr);
    gtraceError(1, 0, kFn, 30, 4, 0, 0);
    EXPECT_EQ(1u, counter(t.block()));
}

TEST(TraceFilters, StopOnReturnCodeCountsMatchingExits)
{
    AttachedTrace t(GTRACE_KIND_WRAP, GTRACE_FLAG_STOP_ON_RC | GTRACE_FLAG_COMPARE_RC);
    t.options().stopCount = 3;
    t.options().stopReturnCode = 0x9000001A;
    exitWith(0x9000001A);
    exitWith(0x90000002);
    exitWith(0x9000001A);
    EXPECT_EQ(1u, t.block()->enabled);
    EXPECT_EQ(3u, t.block()->stopCounter);
    exitWith(0x9000001A);
    EXPECT_EQ(0u, t.block()->enabled);
    EXPECT_EQ(1, g_log.disables);
    auto r = readRing(t.block());
    ASSERT_EQ(4u, r.size());
    EXPECT_EQ(0x9000001Au, r.back().h().c);  // the stopping exit is recorded

    // Bit 7 alone only compares; a count of 0 stops at the first match.
    gtraceEnable();
    t.options().traceFlags = GTRACE_FLAG_COMPARE_RC;
    exitWith(0x9000001A);
    EXPECT_EQ(1u, t.block()->enabled);
    t.options().traceFlags = GTRACE_FLAG_STOP_ON_RC | GTRACE_FLAG_COMPARE_RC;
    t.options().stopCount = 0;
    t.block()->stopCounter = 1;
    exitWith(0x9000001A);
    EXPECT_EQ(0u, t.block()->enabled);
}

TEST(TraceFilters, ApplicationCallbackSeesEveryRecord)
{
    AttachedTrace t(GTRACE_KIND_WRAP, GTRACE_FLAG_APP_CALLBACK);
    entry();
    EXPECT_EQ(1, g_log.appCalls);
    EXPECT_EQ(1u, g_log.appType);
    EXPECT_EQ(0u, g_log.appArg4);
    EXPECT_EQ(0u, g_log.appArg6);

    Uint32 rc = 0x90000044;
    gtraceExit(tid(), 0, kFn, &rc, 0, 0);
    EXPECT_EQ(2, g_log.appCalls);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(&rc), g_log.appArg4);
    EXPECT_EQ(rc, g_log.appRcSeen);

    Uint32 v = 5;
    gtraceVar(tid(), 0, kFn, 70, 3, 2, GTRACE_ITEM_BLOCK, 4u, &v, GTRACE_ITEM_IMMEDIATE1, 4u,
              (uintptr_t)9);
    EXPECT_EQ(3, g_log.appCalls);
    EXPECT_EQ(3u, g_log.appType);
    EXPECT_EQ(70u, g_log.appProbe);
    EXPECT_EQ(kFn, g_log.appFn);
    EXPECT_EQ(2u, g_log.appArg5);
    EXPECT_NE(0u, g_log.appArg6);
    EXPECT_EQ((Uint32)GTRACE_ITEM_BLOCK, g_log.appFirstItemType);
    EXPECT_EQ(4u, g_log.appFirstItemSize);
    EXPECT_EQ(3u, readRing(t.block()).size());

    // Without the flag the callback stays quiet.
    t.options().traceFlags = 0;
    entry();
    EXPECT_EQ(3, g_log.appCalls);
}

TEST(TraceFilters, RandomSleepModeWritesNothing)
{
    AttachedTrace t(GTRACE_KIND_WRAP | GTRACE_KIND_RANDSLEEP);
    t.options().stopReturnCode = 0x7FFFFFFF;  // a period no test reaches: no sleeps
    entry();
    exitWith(1);
    dataPoint(3);
    EXPECT_EQ(0u, counter(t.block()));
    Uint32 n = gtraceRandSleep();
    EXPECT_EQ(n + 1, gtraceRandSleep());

    // A period of 3: the counter runs 1, 2, 3 and every third call sleeps.
    t.options().stopReturnCode = 3;
    std::vector<Uint32> seen;
    for (int i = 0; i < 7; ++i)
        seen.push_back(gtraceRandSleep());
    auto first = std::find(seen.begin(), seen.end(), 1u);
    ASSERT_TRUE(first != seen.end());
    ASSERT_LE(first - seen.begin(), 3);
    EXPECT_EQ(2u, first[1]);
    EXPECT_EQ(3u, first[2]);
    EXPECT_EQ(1u, first[3]);
}

TEST(TraceFilters, FullStopWhenFullRingSwitchesTracingOff)
{
    AttachedTrace t(GTRACE_KIND_STOP);
    RAMBOCB* ring = gtraceRingBuffer(t.block());
    for (Uint32 i = 0; i < ring->slotCount; ++i)
        entry();
    EXPECT_EQ(1u, t.block()->enabled);
    EXPECT_EQ(0, g_log.disables);
    entry();
    EXPECT_EQ(0u, t.block()->enabled);
    EXPECT_EQ(1, g_log.disables);
    EXPECT_EQ(ring->slotCount, readRing(t.block()).size());
}

/* ---- Profile kind ---------------------------------------------------------- */

namespace {

const GtraceProfileEntry* profileOf(GTCB* block, Uint32 fn)
{
    const GtraceProfileEntry* e = reinterpret_cast<const GtraceProfileEntry*>(gtraceKindArea(block));
    for (Uint32 i = 0; i < block->options.bufferSize / 16; ++i)
        if (e[i].functionId == fn)
            return &e[i];
    return nullptr;
}

} // namespace

TEST(TraceProfile, CountsCallsWithoutRecords)
{
    AttachedTrace t(GTRACE_KIND_PROFILE);
    ASSERT_EQ(0u, t.initRc);
    EXPECT_EQ(0u, t.block()->stopCounter);
    EXPECT_TRUE(t.options().traceFlags & GTRACE_FLAG_PROFILE);
    for (int i = 0; i < 3; ++i) {
        entry(kFn);
        exitWith(0, kFn);
    }
    gtraceEntryVar(tid(), 0, kFn + 1, 0, 0, 0);
    dataPoint(3);
    gtraceError(tid(), 0, kFn + 2, 10, 4, 0, 0);

    const GtraceProfileEntry* a = profileOf(t.block(), kFn);
    const GtraceProfileEntry* b = profileOf(t.block(), kFn + 1);
    ASSERT_NE(nullptr, a);
    ASSERT_NE(nullptr, b);
    EXPECT_EQ(3u, a->callCount);
    EXPECT_EQ(0u, a->elapsed);  // no call stacks asked for
    EXPECT_EQ(1u, b->callCount);
    EXPECT_EQ(nullptr, profileOf(t.block(), kFn + 2));
    EXPECT_EQ(0u, t.block()->stopCounter);

    ASSERT_EQ(0u, gtraceClear());
    EXPECT_EQ(nullptr, profileOf(t.block(), kFn));

    // New options cannot switch time stamps or call stacks on later.
    auto o = makeOptions(GTRACE_KIND_PROFILE,
                         GTRACE_FLAG_TIMESTAMP | GTRACE_FLAG_CALL_STACKS | GTRACE_FLAG_APP_CALLBACK);
    ASSERT_EQ(0u, gtraceSetOptions(o.get()));
    EXPECT_EQ((Uint32)GTRACE_FLAG_APP_CALLBACK, o->traceFlags);  // the caller's copy is changed
    EXPECT_EQ((Uint32)(GTRACE_FLAG_APP_CALLBACK | GTRACE_FLAG_PROFILE), t.options().traceFlags);

    // Every slot occupied: no function can be placed, and each failed
    // probe sequence counts in the stop counter.
    GtraceProfileEntry* e = reinterpret_cast<GtraceProfileEntry*>(gtraceKindArea(t.block()));
    for (Uint32 i = 0; i < kRingSize / 16; ++i)
        e[i].functionId = 0xFFFF0000u + 1;
    entry(kFn);
    entry(kFn);
    EXPECT_EQ(2u, t.block()->stopCounter);
    EXPECT_EQ(nullptr, profileOf(t.block(), kFn));
}



TEST(TraceProfile, NestedCallsAccumulateElapsedTime)
{
    AttachedTrace t(GTRACE_KIND_PROFILE, GTRACE_FLAG_TIMESTAMP | GTRACE_FLAG_CALL_STACKS);
    const Uint32 outer = kFn, inner = kFn + 1;
    entry(outer);
    for (int i = 0; i < 2; ++i) {
        entry(inner);
        kivSleep(2);
        exitWith(0, inner);
    }
    exitWith(0, outer);
    const GtraceProfileEntry* o = profileOf(t.block(), outer);
    const GtraceProfileEntry* n = profileOf(t.block(), inner);
    ASSERT_NE(nullptr, o);
    ASSERT_NE(nullptr, n);
    EXPECT_EQ(1u, o->callCount);
    EXPECT_EQ(2u, n->callCount);
    EXPECT_GT(n->elapsed, 0u);
    EXPECT_GE(o->elapsed, n->elapsed);  // the outer interval holds both inner ones
    // An exit without its entry on this thread's stack adds nothing.
    Uint64 before = o->elapsed;
    exitWith(0, outer);
    EXPECT_EQ(before, o->elapsed);

    // Recursion through another function: the exit accounts both frames of
    // its function and pops the frame between them with them.
    const Uint32 f = kFn + 2, g = kFn + 3;
    entry(f);
    entry(g);
    entry(f);
    kivSleep(2);
    exitWith(0, f);
    const GtraceProfileEntry* pf = profileOf(t.block(), f);
    const GtraceProfileEntry* pg = profileOf(t.block(), g);
    ASSERT_NE(nullptr, pf);
    ASSERT_NE(nullptr, pg);
    EXPECT_EQ(2u, pf->callCount);
    Uint64 after = pf->elapsed;
    EXPECT_GT(after, 0u);
    exitWith(0, g);  // g's frame is gone
    EXPECT_EQ(0u, pg->elapsed);
    exitWith(0, f);
    EXPECT_EQ(after, pf->elapsed);
}

TEST(TraceProfile, CallStacksArePerThread)
{
    AttachedTrace t(GTRACE_KIND_PROFILE, GTRACE_FLAG_TIMESTAMP | GTRACE_FLAG_CALL_STACKS);
    entry(kFn);
    std::thread other([] {
        kivSleep(2);
        exitWith(0, kFn);
    });
    other.join();
    const GtraceProfileEntry* p = profileOf(t.block(), kFn);
    ASSERT_NE(nullptr, p);
    EXPECT_EQ(0u, p->elapsed);
    exitWith(0, kFn);
    EXPECT_GT(p->elapsed, 0u);
}

/* ---- Gctrace kind ---------------------------------------------------------- */

namespace {

Uint32 gcHash(Uint32 x, Uint32 y)
{
    Uint32 v = (x + y + (y << 15)) * 4097u;
    v = (v ^ (v >> 22)) * 17u;
    v = (v ^ (v >> 9)) * 1025u;
    v = (v ^ (v >> 2)) * 129u;
    return v ^ (v >> 12);
}

GctraceBucket* gcBucket(GTCB* block, Uint32 fn, Uint32 probe)
{
    Uint8* area = gtraceKindArea(block);
    return reinterpret_cast<GctraceBucket*>(area + 32) + (gcHash(fn, probe) & 0x3FFFF);
}

const GctraceEntry* gcFind(GTCB* block, Uint32 fn, Uint32 probe, Uint32 type)
{
    Uint8* area = gtraceKindArea(block);
    for (Uint64 off = gcBucket(block, fn, probe)->head; off != 0;) {
        const GctraceEntry* e = reinterpret_cast<const GctraceEntry*>(area + off);
        if (e->functionId == fn && e->type == type)
            return e;
        off = e->next;
    }
    return nullptr;
}

} // namespace

TEST(TraceGctrace, CountsPointsAndExitBits)
{
    AttachedTrace t(GTRACE_KIND_GCTRACE | GTRACE_KIND_WRAP, GTRACE_FLAG_TIMESTAMP, kGcSize);
    ASSERT_EQ(0u, t.initRc);
    GTCB* b = t.block();
    EXPECT_EQ((Uint32)GTRACE_KIND_GCTRACE, b->options.traceKind);
    EXPECT_TRUE(b->options.traceFlags & GTRACE_FLAG_GCTRACE);
    GctraceHeader* h = reinterpret_cast<GctraceHeader*>(gtraceKindArea(b));
    EXPECT_EQ(32u, h->bucketsOffset);
    EXPECT_EQ(0x400020u, h->entriesOffset);
    EXPECT_EQ(0x400020u, h->nextFree);
    EXPECT_EQ(0u, gctraceValidateTraceType());
    uintptr_t where = 0;
    EXPECT_EQ(0u, gctraceGetOffset(&where));
    EXPECT_EQ(reinterpret_cast<uintptr_t>(gtraceKindArea(b)), where);

    for (int i = 0; i < 3; ++i)
        gtraceError(tid(), 0, kFn, 10, 4, 0, 0);
    gtraceMarker(tid(), 0, kFn, 10, 5);
    entry();
    const GctraceEntry* e4 = gcFind(b, kFn, 10, 4);
    const GctraceEntry* e5 = gcFind(b, kFn, 10, 5);
    const GctraceEntry* e1 = gcFind(b, kFn, 0, 1);
    ASSERT_NE(nullptr, e4);
    ASSERT_NE(nullptr, e5);
    ASSERT_NE(nullptr, e1);
    EXPECT_EQ(3u, e4->count);
    EXPECT_EQ(10u, e4->probe);
    EXPECT_EQ(1u, e5->count);
    EXPECT_EQ(1u, e1->count);
    EXPECT_EQ(0x400020u + 3 * 32, h->nextFree);

    // Exits count per function with one counter per bit of a + b * 2^32.
    Uint32 rc = 0;
    gtraceExit(tid(), 0, kFn, &rc, 0x5, 0x80000000u);
    gtraceExit(tid(), 0, kFn, &rc, 0x5, 0x80000000u);
    gtraceExit(tid(), 0, kFn, &rc, 0x1, 0);
    gtraceExit(tid(), 0, kFn, &rc, 0, 0);
    const GctraceEntry* x = gcFind(b, kFn, 0x1D4CB, 2);
    ASSERT_NE(nullptr, x);
    EXPECT_EQ(4u, x->count);
    EXPECT_EQ(0x400020u + 3 * 32 + 0x120, h->nextFree);
    const Uint32* bits = reinterpret_cast<const Uint32*>(gtraceKindArea(b) + x->bitCounters);
    EXPECT_EQ(reinterpret_cast<const Uint8*>(x) + 32, reinterpret_cast<const Uint8*>(bits));
    for (Uint32 i = 0; i < 64; ++i) {
        Uint32 want = i == 0 ? 3 : (i == 2 || i == 63) ? 2 : 0;
        EXPECT_EQ(want, bits[i]) << "bit " << i;
    }

    // A held bucket latch makes the point give up: it is not counted.
    GctraceBucket* bucket = gcBucket(b, kFn, 10);
    bucket->latch.get();
    gtraceError(tid(), 0, kFn, 10, 4, 0, 0);
    EXPECT_EQ(3u, e4->count);
    bucket->latch.release();
    gtraceError(tid(), 0, kFn, 10, 4, 0, 0);
    EXPECT_EQ(4u, e4->count);

    // Disabled: the handlers do nothing even when reached.
    gtraceDisable();
    gtraceError(tid(), 0, kFn, 10, 4, 0, 0);
    EXPECT_EQ(4u, e4->count);
    gtraceEnable();

    // Clearing empties the area and restores the enabled word.
    ASSERT_EQ(0u, gtraceClear());
    EXPECT_EQ(1u, b->enabled);
    EXPECT_TRUE(b->options.traceFlags & GTRACE_FLAG_GCTRACE);
    EXPECT_EQ(0x400020u, h->nextFree);
    EXPECT_EQ(nullptr, gcFind(b, kFn, 10, 4));
    gtraceError(tid(), 0, kFn, 10, 4, 0, 0);
    ASSERT_NE(nullptr, gcFind(b, kFn, 10, 4));
    EXPECT_EQ(1u, gcFind(b, kFn, 10, 4)->count);
}

TEST(TraceGctrace, SmallAreaIsRefusedAndOtherKindsAreNotGctrace)
{
    BlockMemory mem(GTRACE_HEADER_SIZE + 0x400000);
    auto o = makeOptions(GTRACE_KIND_GCTRACE, 0, 0x400000);
    EXPECT_EQ(ECF_GTRACE_INVALID_BUFFER_SIZE, gtraceInitialize(mem.block(), o.get()));
    EXPECT_EQ(0u, mem.block()->initialized);

    AttachedTrace t(GTRACE_KIND_WRAP);
    EXPECT_EQ(ECF_INVALID_PARAMETER, gctraceValidateTraceType());
    gtraceDetach();
    uintptr_t where = 1;
    EXPECT_EQ(ECF_INVALID_ADDRESS, gctraceValidateTraceType());
    EXPECT_EQ(ECF_INVALID_ADDRESS, gctraceGetOffset(&where));
    EXPECT_EQ(0u, where);
    EXPECT_EQ(ECF_INVALID_PARAMETER, gctraceGetOffset(nullptr));
}

/* ---- Several processes, one block in shared memory ------------------------- */

namespace {

const Uint32 kChildRecords = 150;

size_t sharedBytes() { return gtraceGetAllocSize(kRingSize); }

} // namespace

/* args: shared memory name, child index.  Writes kChildRecords entry/exit
 * pairs and one data record under process id 1000 + index. */
KIVTEST_CHILD(gtraceWriter)
{
    if (args.size() != 2)
        return 10;
    Uint32 index = (Uint32)atoi(args[1].c_str());
    void* p = kivtestShmOpen(args[0], sharedBytes(), false);
    if (p == nullptr)
        return 11;
    GTCB* block = static_cast<GTCB*>(p);
    if (gtraceAttach(block, 1000 + index, nullptr, nullptr, nullptr) != 0)
        return 12;
    gtraceSetFixedData1(index);
    gtraceSetFixedData2(0xF00 + index);
    for (Uint32 i = 0; i < kChildRecords; ++i) {
        if (block->enabled == 0)
            break;
        Uint32 rc = i;
        gtraceEntry(kivThreadID(), 0, kFn, index, i);
        gtraceExit(kivThreadID(), 0, kFn, &rc, index, i);
    }
    if (block->enabled != 0)
        gtraceVar(kivThreadID(), 0, kFn, 99, 3, 1, GTRACE_ITEM_IMMEDIATE1, 4u,
                  (uintptr_t)(0xC0DE0000u + index));
    gtraceDetach();
    kivtestShmClose(p, sharedBytes());
    return 0;
}

/* args: shared memory name.  Switches tracing off for every process. */
KIVTEST_CHILD(gtraceSwitchOff)
{
    void* p = args.empty() ? nullptr : kivtestShmOpen(args[0], sharedBytes(), false);
    if (p == nullptr)
        return 11;
    gtraceAttach(static_cast<GTCB*>(p), 1, nullptr, nullptr, nullptr);
    Uint32 rc = gtraceDisable();
    gtraceDetach();
    kivtestShmClose(p, sharedBytes());
    return rc == 0 ? 0 : 12;
}

class TraceShared : public ::testing::Test {
protected:
    void SetUp() override
    {
        name_ = kivtestUniqueName("gtrace");
        mem_ = kivtestShmOpen(name_, sharedBytes(), true);
        ASSERT_NE(nullptr, mem_);
        auto o = makeOptions(GTRACE_KIND_WRAP);
        ASSERT_EQ(0u, gtraceInitialize(block(), o.get()));
        ASSERT_EQ(0u, gtraceAttach(block(), 1, nullptr, nullptr, nullptr));
        ASSERT_EQ(0u, gtraceEnable());
    }
    void TearDown() override
    {
        gtraceDetach();
        if (mem_ != nullptr)
            kivtestShmClose(mem_, sharedBytes());
        kivtestShmUnlink(name_);
    }
    GTCB* block() { return static_cast<GTCB*>(mem_); }
    void runWriters(Uint32 count)
    {
        std::vector<KivTestProcess> children;
        for (Uint32 i = 0; i < count; ++i)
            children.push_back(kivtestSpawnChild("gtraceWriter", {name_, std::to_string(i)}));
        for (auto& c : children)
            EXPECT_EQ(0, kivtestWaitChild(c));
    }
    std::string name_;
    void* mem_ = nullptr;
};

/* Two writers under a process filter that passes only the second: its
 * records arrive whole and in order; then another process switches tracing
 * off for every process. */
TEST_F(TraceShared, ChildProcessesWriteIntoOneBlockUnderSharedFilters)
{
    GtraceOptions& o = block()->options;
    o.processFilterCount = 1;
    o.processFilters[0] = {GTRACE_PFILTER_IN_USE, 1001, 0};
    o.traceFlags = GTRACE_FLAG_PROCESS;
    runWriters(2);
    auto recs = readRing(block());
    ASSERT_EQ(2 * kChildRecords + 1, recs.size());
    Uint32 nextEntry = 0, nextExit = 0;
    for (auto& r : recs) {
        EXPECT_EQ(1001u, r.h().processId);
        EXPECT_EQ(1u, r.h().fixedData1);
        EXPECT_EQ(0xF01u, r.h().fixedData2);
        if (r.h().recordType == 1) {
            EXPECT_EQ(nextEntry++, r.h().b);
        } else if (r.h().recordType == 2) {
            EXPECT_EQ(nextExit, r.h().c);
            EXPECT_EQ(nextExit++, r.h().b);
        } else {
            auto items = r.items();
            ASSERT_EQ(1u, items.size());
            EXPECT_EQ(0xC0DE0001u, items[0].word());
        }
    }
    EXPECT_EQ(kChildRecords, nextEntry);
    EXPECT_EQ(kChildRecords, nextExit);

    const Uint32 before = counter(block());
    EXPECT_EQ(0, kivtestRunChild("gtraceSwitchOff", {name_}));
    EXPECT_EQ(0u, block()->enabled);
    runWriters(2);  // the writers find tracing off
    EXPECT_EQ(before, counter(block()));
}
