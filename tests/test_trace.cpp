/*
 * test_trace.cpp - the trace control block, the record writers, the filters,
 * the callbacks, and the profile and gctrace kinds.
 */
#include "gptrace.h"
#include "kivecf.h"
#include "kivfile.h"
#include "kivthread.h"
#include "kivtest.h"
#include "kivtesttrace.h"
#include "rambo.h"

#include <algorithm>
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
    Uint32 appType = 0;
    Uint32 appRcSeen = 0;
    int preCalls = 0;
    Uint32 preType = 0, preFn = 0, preProbe = 0;
    Uint64 preResult = 0;
};
CallbackLog g_log;

void onDisable() { ++g_log.disables; }

Uint32 onApp(Uint32 type, Uint32, Uint32, uintptr_t arg4, Uint32, uintptr_t)
{
    ++g_log.appCalls;
    g_log.appType = type;
    if (arg4 != 0)
        g_log.appRcSeen = *reinterpret_cast<Uint32*>(arg4);
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

struct Record : KivRingRecord {
    explicit Record(const KivRingRecord& r) : KivRingRecord(r) {}

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

std::vector<Record> readRing(GTCB* block)
{
    std::vector<KivRingRecord> all = kivtestReadRing(block);
    return std::vector<Record>(all.begin(), all.end());
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
    EXPECT_EQ(0u, gtraceGetAllocSize(0x90000));

    BlockMemory mem(gtraceGetAllocSize(kRingSize));
    auto o = makeOptions(GTRACE_KIND_WRAP);
    EXPECT_EQ(ECF_INVALID_PARAMETER, gtraceInitialize(mem.block(), nullptr));
    EXPECT_EQ(ECF_INVALID_PARAMETER, gtraceInitialize(nullptr, o.get()));

    o->bufferSize = 0x7FFFF;
    EXPECT_EQ(ECF_GTRACE_INVALID_BUFFER_SIZE, gtraceInitialize(mem.block(), o.get()));
    o->bufferSize = 0x40000001;
    EXPECT_EQ(ECF_GTRACE_INVALID_BUFFER_SIZE, gtraceInitialize(mem.block(), o.get()));

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
    EXPECT_EQ(0, memcmp(o.get(), &b->options, sizeof *o));
    RAMBOCB* ring = gtraceRingBuffer(b);
    EXPECT_EQ(kRingSize, ring->bufferSize);

    // The kind bits choose the ring mode: chunked beats wrap beats stop.
    struct { Uint32 kind; Uint8 wraps, chunked; } modes[] = {
        {GTRACE_KIND_WRAP, 1, 0},
        {GTRACE_KIND_CHUNKED | GTRACE_KIND_WRAP, 1, 1},
        {GTRACE_KIND_STOP, 0, 0},
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
    std::unique_ptr<GtraceOptions> o(new GtraceOptions());
    RamboChunkWalker walker;
    EXPECT_EQ(ECF_GTRACE_NOT_ATTACHED, gtraceDisable());
    EXPECT_EQ(ECF_GTRACE_NOT_ATTACHED, gtraceInitializeChunkWalker(&walker));
    EXPECT_EQ(ECF_INVALID_PARAMETER, gtraceInitializeChunkWalker(nullptr));
    EXPECT_EQ(ECF_INVALID_PARAMETER, gtraceAttach(nullptr, 1, nullptr, nullptr, nullptr));
    EXPECT_EQ(0u, gtraceDetach());

    BlockMemory mem(gtraceGetAllocSize(kRingSize));
    ASSERT_EQ(0u, gtraceAttach(mem.block(), 1, nullptr, nullptr, nullptr));
    EXPECT_EQ(mem.block(), g_pGTCB);
    EXPECT_EQ(ECF_GTRACE_NOT_INITIALIZED, gtraceEnable());
    EXPECT_EQ(ECF_GTRACE_NOT_INITIALIZED, gtraceSetOptions(o.get()));
    gtraceDetach();
}

TEST(TraceControl, OptionsKeepTheLayoutWordsAndMarkTheKind)
{
    AttachedTrace t(GTRACE_KIND_WRAP);
    auto o = makeOptions(GTRACE_KIND_PROFILE | GTRACE_KIND_RANDSLEEP | GTRACE_KIND_GCTRACE,
                         GTRACE_FLAG_BITMAPS, 0x100000);
    o->wrapFileSize = 123;
    o->stopReturnCode = 0x90000002;
    EXPECT_EQ(ECF_INVALID_PARAMETER, gtraceSetOptions(nullptr));
    ASSERT_EQ(0u, gtraceSetOptions(o.get()));
    EXPECT_EQ(kRingSize, t.options().bufferSize);
    EXPECT_EQ((Uint32)GTRACE_KIND_WRAP, t.options().traceKind);
    EXPECT_EQ(0u, t.options().wrapFileSize);
    EXPECT_EQ((Uint32)GTRACE_FLAG_BITMAPS, t.options().traceFlags);  // a ring kind adds nothing
    EXPECT_EQ(0x90000002u, t.options().stopReturnCode);

    std::unique_ptr<GtraceOptions> copy(new GtraceOptions());
    EXPECT_EQ(ECF_INVALID_PARAMETER, gtraceGetOptions(nullptr));
    ASSERT_EQ(0u, gtraceGetOptions(copy.get()));
    EXPECT_EQ(0, memcmp(copy.get(), &t.options(), sizeof *copy));
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
        RamboChunkWalker walker;
        EXPECT_EQ(ECF_RAMBO_AUTO_DUMP_NOT_ALLOWED, gtraceAutoDumpEnabled(0));
        EXPECT_EQ(ECF_RAMBO_AUTO_DUMP_NOT_ALLOWED, gtraceInitializeChunkWalker(&walker));
    }
    AttachedTrace t(GTRACE_KIND_CHUNKED);
    RAMBOCB* ring = gtraceRingBuffer(t.block());
    EXPECT_EQ(1u, ring->autoDump);
    EXPECT_EQ(0u, gtraceAutoDumpEnabled(0));
    EXPECT_EQ(0u, ring->autoDump);
}

/* ---- Records --------------------------------------------------------------- */

TEST(TraceRecords, FailingFileOpenIsTracedWithItsParameterErrorPointAndExit)
{
    KivTestTempDir dir;
    const std::string name = dir.file("missing.dat");
    KIVFileOpenParam param;
    param.fileName = name.c_str();
    param.openMode = KIV_FILE_OPEN_EXISTING;
    param.accessMode = KIV_FILE_READ;
    KIVHFile file;
    AttachedTrace t(GTRACE_KIND_WRAP);
    ASSERT_EQ(ECF_FILE_DOESNT_EXIST, file.open(&param));

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
        EXPECT_EQ(kPid, h.processId);
        EXPECT_EQ(0x0F1D0001u, h.fixedData1);
        EXPECT_EQ(0x0F1D0002u, h.fixedData2);
        EXPECT_EQ(0u, h.timestamp);  // only when asked for
    }

    auto pathItems = recs[2].items();
    ASSERT_EQ(1u, pathItems.size());
    EXPECT_EQ(name, std::string(reinterpret_cast<const char*>(pathItems[0].bytes.data())));

    auto errItems = recs[3].items();
    ASSERT_EQ(1u, errItems.size());
    ASSERT_EQ(4u, errItems[0].size);
    EXPECT_EQ(ECF_FILE_DOESNT_EXIST, errItems[0].word());
    EXPECT_EQ(ECF_FILE_DOESNT_EXIST, recs[4].h().c);
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
    gtraceMarker(5, 6, kFn, 7, 0x10005);
    gtraceErrorRc(5, 6, kFn, 50, 4, 1, 2, 3, 4, 5);
    gtraceEvent(5, 6, kFn, 1, 2, 3);       // the event writers write nothing
    gtraceEventVar(5, 6, kFn, 1, 2, 3);
    gtraceExitVar(5, 6, kFn, &rc7, 30, 40, 0);
    gtraceErrorRcVar(5, 6, kFn, 25, 4, 1, 2, 3, 4, 5, 1, GTRACE_ITEM_BLOCK, 6u, text);
    gtraceCorrelatorVar(5, 6, kFn, 45, 0xA, 0xB, 0xC, 0);

    const Uint32 X = 0xFFFFFFFFu;  // a word the writer does not own
    struct Want {
        const char* writer;
        Uint32 slots, type, flags, probe, a, b, c, d, e, dataLength;
    } want[] = {
        {"entry",        1, 1,  X, X,  11, 22, X,          X, X, 0},
        {"exit",         X, 2,  X, X,  33, 44, 0x90000002, X, X, 0},
        {"marker",       X, 5,  2, 7,  X,  X,  X,          X, X, 0},
        {"errorRc",      2, 4,  X, 50, 1,  2,  3,          4, 5, 0},
        {"exitVar",      2, 2,  X, X,  X,  X,  7,          X, X, 0},  // 0x38 bytes + 12
        {"errorRcVar",   X, X,  X, X,  X,  X,  3,          4, 5, X},
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
    EXPECT_EQ(0u, r[4].h().itemCount);

    // The items after the return code words sit further on.
    auto rcItems = r[5].items(GTRACE_ITEMS_BASE_RC);
    ASSERT_EQ(1u, rcItems.size());
    EXPECT_STREQ("hello", reinterpret_cast<const char*>(rcItems[0].bytes.data()));
}

/* The data of a record ends at 0xFFFF bytes: the item that crosses the
 * bound is shortened, the ones after it dropped. */
TEST(TraceRecords, DataItemsAreBoundedAt0xFFFF)
{
    AttachedTrace t(GTRACE_KIND_WRAP);
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
    ASSERT_EQ(2u, r.size());
    for (const Record& x : r)
        EXPECT_EQ(0xFFFFu, x.h().dataLength);
    EXPECT_EQ(ramboSlotsFor(GTRACE_ITEMS_BASE + 0xFFFF), r[0].slots);
    auto i1 = r[0].items();
    ASSERT_EQ(2u, i1.size());
    EXPECT_EQ(40000u, i1[0].size);
    EXPECT_EQ((Uint32)GTRACE_ITEM_SHORTENED, i1[1].type);
    EXPECT_EQ(0xFFFFu - 40008u - 8u, i1[1].size);
    EXPECT_EQ(0xBB, i1[1].bytes.back());

    auto i2 = r[1].items();
    ASSERT_EQ(1u, i2.size());
    EXPECT_EQ((Uint32)GTRACE_ITEM_BLOCK, i2[0].type);
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
    // An exit without a return code records 0, success.
    gtraceExitVar(1, 0, kFn, nullptr, 0, 0, 0);
    EXPECT_EQ(r.size(), written(t.block()));
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
    // Function numbers beyond the bitmap's 4096 never pass.
    memset(o.functionBitmap, 0xFF, sizeof o.functionBitmap);
    dataPoint(3, (fn & ~0xFFFFu) | 4096u);
    EXPECT_EQ(expected, written(t.block()));
}

/* One row per decision of the process, thread and fixed-data-2 filters;
 * the time stamp is taken only for a record that passes them all. */
TEST(TraceFilters, PreOptionsPassesWhatEachFilterAllows)
{
    AttachedTrace t(GTRACE_KIND_WRAP);
    GtraceOptions& o = t.options();
    const Uint32 inUse = GTRACE_PFILTER_IN_USE, process = GTRACE_FLAG_PROCESS;
    const GtraceProcessFilter unused = {0, kPid, 0}, other = {inUse, kPid + 1, 0},
                              thread77 = {inUse | GTRACE_PFILTER_THREAD, kPid, 77},
                              anyThread = {inUse, kPid, 0};
    const struct {
        const char* what;
        Uint32 flags;
        std::vector<GtraceProcessFilter> processes;
        std::vector<Uint32> fixedData2;
        Uint16 type;
        Uint64 thread;
        bool pass;
    } cases[] = {
        {"no filter", 0, {}, {}, 1, 76, true},
        {"empty process list", process, {}, {}, 1, 76, false},
        {"unused, other pid, other thread", process, {unused, other, thread77}, {}, 1, 76, false},
        {"this thread", process, {unused, other, thread77}, {}, 1, 77, true},
        {"any thread", process, {anyThread}, {}, 1, 76, true},
        {"empty fixed data 2 list", GTRACE_FLAG_FIXED_DATA2, {}, {}, 1, 76, false},
        {"fixed data 2 listed", GTRACE_FLAG_FIXED_DATA2, {}, {1, 0x0F1D0002}, 1, 76, true},
        {"fixed data 2 not listed", GTRACE_FLAG_FIXED_DATA2, {}, {1, 3}, 1, 76, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        o.traceFlags = c.flags | GTRACE_FLAG_TIMESTAMP;
        o.processFilterCount = (Uint32)c.processes.size();
        std::copy(c.processes.begin(), c.processes.end(), o.processFilters);
        o.fixedData2FilterCount = (Uint32)c.fixedData2.size();
        std::copy(c.fixedData2.begin(), c.fixedData2.end(), o.fixedData2Filters);
        Uint64 ts = 0;
        EXPECT_EQ(c.pass, preOptions(c.type, kFn, 0, c.thread, &ts));
        EXPECT_EQ(c.pass, ts != 0);
    }
    // The last entry of a full fixed data 2 list counts too.
    o.fixedData2Filters[64] = 0x0F1D0002;
    o.fixedData2FilterCount = 65;
    Uint64 ts = 0;
    EXPECT_TRUE(preOptions(1, kFn, 0, 76, &ts));
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
}

TEST(TraceFilters, ApplicationCallbackSeesEveryRecord)
{
    AttachedTrace t(GTRACE_KIND_WRAP, GTRACE_FLAG_APP_CALLBACK);
    Uint32 rc = 0x90000044;
    gtraceExit(tid(), 0, kFn, &rc, 0, 0);
    EXPECT_EQ(1, g_log.appCalls);
    EXPECT_EQ(rc, g_log.appRcSeen);
    EXPECT_EQ(2u, g_log.appType);

    // Without the flag the callback stays quiet.
    t.options().traceFlags = 0;
    entry();
    EXPECT_EQ(1, g_log.appCalls);
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
    // Enabling does not call the disable callback; disabling does.
    EXPECT_EQ(0u, gtraceEnable());
    EXPECT_EQ(0u, gtraceDisable());
    EXPECT_EQ(2, g_log.disables);
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

    ASSERT_EQ(0u, gtraceClear());
    EXPECT_EQ(nullptr, profileOf(t.block(), kFn));

    // A function's first probe is floor(frac(f * 0.618033989) * n) exactly,
    // on every build: ids whose double product rounds into the neighbouring
    // slot, one with x87 and one with SSE arithmetic.
    const GtraceProfileEntry* slots =
        reinterpret_cast<const GtraceProfileEntry*>(gtraceKindArea(t.block()));
    const struct { Uint32 fn, slot; } firstProbes[] = {{0x8000E8Eu, 20480}, {0x8000FE9u, 2712}};
    for (const auto& p : firstProbes) {
        entry(p.fn);
        EXPECT_EQ(p.fn, slots[p.slot].functionId) << std::hex << p.fn;
    }

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

/* Call stacks are per thread: an exit accounts the time since its own
 * thread's entry, and an exit without one adds nothing. */
TEST(TraceProfile, NestedCallsAccumulateElapsedTime)
{
    AttachedTrace t(GTRACE_KIND_PROFILE, GTRACE_FLAG_TIMESTAMP | GTRACE_FLAG_CALL_STACKS);
    const Uint32 outer = kFn, inner = kFn + 1;
    entry(outer);
    entry(inner);
    kivSleep(2);
    std::thread([inner] { exitWith(0, inner); }).join();
    const GtraceProfileEntry* o = profileOf(t.block(), outer);
    const GtraceProfileEntry* n = profileOf(t.block(), inner);
    ASSERT_NE(nullptr, o);
    ASSERT_NE(nullptr, n);
    EXPECT_EQ(0u, n->elapsed) << "another thread's exit";
    exitWith(0, inner);
    entry(inner);
    kivSleep(2);
    exitWith(0, inner);
    exitWith(0, outer);
    EXPECT_EQ(1u, o->callCount);
    EXPECT_EQ(2u, n->callCount);
    EXPECT_GT(n->elapsed, 0u);
    EXPECT_GE(o->elapsed, n->elapsed);  // the outer interval holds both inner ones
    Uint64 before = o->elapsed;
    exitWith(0, outer);
    EXPECT_EQ(before, o->elapsed);
}

/* ---- Gctrace kind ---------------------------------------------------------- */

namespace {

/* The entry of `fn`, `type` (and `probe`, for points), walking the entry
 * area in the order the entries were made; an exit entry is followed by
 * its 64 bit counters. */
const GctraceEntry* gcFind(GTCB* block, Uint32 fn, Uint32 probe, Uint32 type)
{
    const Uint8* area = gtraceKindArea(block);
    const GctraceHeader* h = reinterpret_cast<const GctraceHeader*>(area);
    for (Uint64 off = h->entriesOffset; off < h->nextFree;) {
        const GctraceEntry* e = reinterpret_cast<const GctraceEntry*>(area + off);
        if (e->functionId == fn && e->type == type &&
            (type == GTRACE_TYPE_EXIT || e->probe == probe))
            return e;
        off += GCTRACE_ENTRY_SIZE + (e->bitCounters != 0 ? 64 * 4 : 0);
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
    EXPECT_EQ(1u, e5->count);
    EXPECT_EQ(1u, e1->count);

    // Exits count per function with one counter per bit of a + b * 2^32.
    Uint32 rc = 0;
    gtraceExit(tid(), 0, kFn, &rc, 0x5, 0x80000000u);
    gtraceExit(tid(), 0, kFn, &rc, 0x5, 0x80000000u);
    gtraceExit(tid(), 0, kFn, &rc, 0x1, 0);
    gtraceExit(tid(), 0, kFn, &rc, 0, 0);
    const GctraceEntry* x = gcFind(b, kFn, 0, 2);
    ASSERT_NE(nullptr, x);
    EXPECT_EQ(4u, x->count);
    EXPECT_EQ(0x400020u + 3 * 32 + 0x120, h->nextFree);
    const Uint32* bits = reinterpret_cast<const Uint32*>(gtraceKindArea(b) + x->bitCounters);
    for (Uint32 i = 0; i < 64; ++i)
        EXPECT_EQ(i == 0 ? 3u : (i == 2 || i == 63) ? 2u : 0u, bits[i]) << "bit " << i;

    // Clearing empties the area and restores the enabled word.
    ASSERT_EQ(0u, gtraceClear());
    EXPECT_EQ(1u, b->enabled);
    EXPECT_TRUE(b->options.traceFlags & GTRACE_FLAG_GCTRACE);
    EXPECT_EQ(0x400020u, h->nextFree);
    EXPECT_EQ(nullptr, gcFind(b, kFn, 10, 4));
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
