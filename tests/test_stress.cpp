/*
 * test_stress.cpp - bounded stress runs of the parts that several threads
 * and processes share: trace records written into one shared control block
 * while it is dumped (wrapping and chunked rings), one log file appended to
 * by many processes, and one message queue with writer and reader processes.
 * Counts are fixed (smaller under Wine); nothing here measures time.
 */
#include "gptrace.h"
#include "gtattach.h"
#include "gtdump.h"
#include "kivecf.h"
#include "kivfile.h"
#include "kivipc.h"
#include "kivipcqueue.h"
#include "kivlog.h"
#include "kivtest.h"
#include "kivtestlog.h"
#include "kivthread.h"

#include <stdio.h>
#include <string.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

typedef std::vector<Uint8> Bytes;
typedef std::vector<std::string> Errors;

Uint64 seedOf(Uint32 writer, Uint32 sequence) { return (Uint64)writer << 32 | sequence; }
Uint32 fnv1a(const void* data, size_t n, Uint32 h = 2166136261u)
{
    const Uint8* p = static_cast<const Uint8*>(data);
    for (size_t i = 0; i < n; ++i)
        h = (h ^ p[i]) * 16777619u;
    return h;
}

/* Mostly up to `small`, now and then up to `large`, rarely up to `huge`. */
Uint32 mixedSize(Uint64 seed, Uint32 small, Uint32 large, Uint32 huge)
{
    Uint64 r = kivtestMix(seed ^ 0x5151);
    const Uint32 bound = r % 64 == 0 ? huge : r % 8 == 1 ? large : small;
    return Uint32((r >> 8) % (bound + 1));
}

Uint32 scaled(Uint32 linuxCount, Uint32 wineCount)
{
    return kivtestUnderWine() ? wineCount : linuxCount;
}

/* A start line in shared memory: every party checks in and waits for all. */
struct StartLine {
    std::atomic<Uint32> ready;
    std::atomic<Uint32> go;
    std::atomic<Uint32> lapped;   /* trace records during which the ring went round */
};

void waitAtStartLine(StartLine* line)
{
    line->ready.fetch_add(1);
    while (line->go.load() == 0)
        std::this_thread::yield();
}

/* A child's side of a start line; closes it at the end of the scope. */
struct ChildStartLine {
    explicit ChildStartLine(const std::string& name)
        : line(static_cast<StartLine*>(kivtestShmOpen(name, sizeof(StartLine), false))) {}
    ~ChildStartLine() { if (line != nullptr) kivtestShmClose(line, sizeof(StartLine)); }
    bool wait() { if (line != nullptr) waitAtStartLine(line); return line != nullptr; }
    StartLine* line;
};

/* The parent's side: release() lets everybody go once `parties` checked in. */
struct ParentStartLine {
    ParentStartLine()
        : name(kivtestUniqueName("kivstress_go")),
          line(static_cast<StartLine*>(kivtestShmOpen(name, sizeof(StartLine), true))) {}
    ~ParentStartLine()
    {
        if (line != nullptr)
            kivtestShmClose(line, sizeof(StartLine));
        kivtestShmUnlink(name);
    }
    void release(Uint32 parties)
    {
        while (line->ready.load() < parties)
            std::this_thread::yield();
        line->go.store(1);
    }
    std::string name;
    StartLine*  line;
};

std::string join(const Errors& errors)
{
    std::string s;
    for (size_t i = 0; i < errors.size() && i < 20; ++i)
        s += errors[i] + "\n";
    return errors.size() > 20 ? s + "... and more\n" : s;
}

std::string str(Uint64 v) { return std::to_string(v); }
// ---- Trace records ----

/* A function id of no library operation; the library's own records are skipped. */
const Uint32 kTraceFn = 0x0FFF0F01u;
const Uint32 kParentTraceProcess = 77;        /* process id of the threads' records */
const Uint32 kChildTraceProcess = 7000;       /* plus the writer number */
const Uint32 kTraceRing = 0x80000;            /* 8192 slots, 4 chunks */
/* As many chunks as the ring: no record runs over the circular file's seam. */
const Uint32 kCircularChunks = kTraceRing / RAMBO_CHUNK_BYTES;
const Uint32 kTraceRecordSlotsMax = 200;      /* the most slots one record takes */
/* The block item of every record: writer, sequence, length, bytes, checksum. */
struct TraceItemHead {
    Uint32 writer;
    Uint32 sequence;
    Uint32 length;   /* of the whole item */
};
const Uint32 kTraceItemMin = sizeof(TraceItemHead) + 4;
Uint32 traceItemLength(Uint32 writer, Uint32 sequence)
{
    /* 1 or 2 slots mostly, up to 33 slots now and then, rarely 190. */
    return kTraceItemMin + mixedSize(seedOf(writer, sequence), 60, 2000, 12000);
}

void writeTraceRecord(Uint32 writer, Uint32 sequence, Bytes& item)
{
    GTCB* block = g_pGTCB;
    if (block == nullptr || block->enabled == 0)
        return;
    const Uint32 length = traceItemLength(writer, sequence);
    item.resize(length);
    TraceItemHead head{writer, sequence, length};
    memcpy(item.data(), &head, sizeof head);
    kivtestFillBytes(item.data() + sizeof head, length - kTraceItemMin, seedOf(writer, sequence));
    const Uint32 sum = fnv1a(item.data(), length - 4);
    memcpy(item.data() + length - 4, &sum, 4);
    gtraceEntryVar(kivThreadID(), 0, kTraceFn, writer, sequence, 1, (Uint32)GTRACE_ITEM_BLOCK,
                   length, (const void*)item.data());
}

/* Writes the records; counts those during which the ring may have gone round
 * (a lapped writer can tear a newer record without breaking its seal: the
 * ring format's known limit, not a fault the reader should have caught). */
void writeTraceRecords(Uint32 writer, Uint32 count, StartLine* line)
{
    Bytes item;
    RAMBOCB* cb = g_pGTCB != nullptr ? gtraceRingBuffer(g_pGTCB) : nullptr;
    for (Uint32 s = 0; s < count; ++s) {
        const Uint32 before = cb != nullptr ? __atomic_load_n(&cb->counter, __ATOMIC_ACQUIRE) : 0;
        writeTraceRecord(writer, s, item);
        if (cb != nullptr &&
            __atomic_load_n(&cb->counter, __ATOMIC_ACQUIRE) - before + kTraceRecordSlotsMax >=
                cb->slotCount)
            line->lapped.fetch_add(1);
    }
}

struct TraceRun {
    Uint32 threads;
    Uint32 children;
    Uint32 count;   /* records per writer */
    Uint32 writers() const { return threads + children; }
    Uint32 processOf(Uint32 writer) const
    {
        return writer < threads ? kParentTraceProcess : kChildTraceProcess + writer;
    }
};

/* Checks one payload the parser returned; on success stores who wrote it. */
bool checkTracePayload(const TraceRun& run, const Uint8* p, Uint32 length, Uint32* writer,
                       Uint32* sequence, std::string& error)
{
    GtraceRecord h;
    memcpy(&h, p, std::min<size_t>(length, sizeof h));
    if (length < sizeof h || h.functionId != kTraceFn)
        return false;   // not a record of the test
    if (length < GTRACE_ITEMS_BASE + 8 + kTraceItemMin) {
        error = "payload of " + str(length) + " bytes";
        return false;
    }
    GtraceItemDescriptor d;
    memcpy(&d, p + GTRACE_ITEMS_BASE, sizeof d);
    const Uint8* item = p + GTRACE_ITEMS_BASE + 8;
    TraceItemHead head;
    memcpy(&head, item, sizeof head);
    const std::string who = "record of writer " + str(h.a) + " #" + str(h.b);
    if (h.recordType != GTRACE_TYPE_ENTRY || h.itemCount != 1 ||
        d.type != GTRACE_ITEM_BLOCK || d.size < kTraceItemMin ||
        GTRACE_ITEMS_BASE + 8 + d.size > length || h.dataLength != 8 + d.size) {
        error = who + ": header fields (size " + str(d.size) + ", length " + str(length) + ")";
        return false;
    }
    Uint32 sum = 0;
    memcpy(&sum, item + d.size - 4, 4);
    if (head.writer != h.a || head.sequence != h.b || head.length != d.size ||
        sum != fnv1a(item, d.size - 4)) {
        error = who + ": item torn or corrupt";
        return false;
    }
    if (h.a >= run.writers() || h.b >= run.count ||
        d.size != traceItemLength(h.a, h.b) || h.processId != run.processOf(h.a)) {
        error = who + ": not one that was written";
        return false;
    }
    *writer = h.a;
    *sequence = h.b;
    return true;
}

/* What a walk over one dump found: per writer its sequences in walk order. */
struct TraceWalk {
    std::vector<std::vector<Uint32>> perWriter;
    Uint32 records = 0;
};

/* Walks a dump with the parser, checking each record and each writer's order. */
TraceWalk walkTraceDump(const TraceRun& run, const std::string& path, bool forward,
                        Errors& errors)
{
    TraceWalk w;
    w.perWriter.resize(run.writers());
    const std::string what = path.substr(path.find_last_of("/\\") + 1) +
                             (forward ? " forwards" : " backwards");
    KIVHFile file;
    KIVFileOpenParam op;
    op.fileName = path.c_str();
    op.openMode = KIV_FILE_OPEN_EXISTING;
    op.accessMode = KIV_FILE_READ;
    if (file.open(&op) != 0) {
        errors.push_back(what + ": cannot open");
        return w;
    }
    GtraceDumpFileParser parser;
    Uint32 rc = gtraceValidateDumpFile(&file, GTRACE_PARSER_RING);
    if (rc == 0)
        rc = gtraceOpenDumpFileParser(&file, &parser, forward ? 1 : 0);
    if (rc != 0) {
        errors.push_back(what + ": validate/open gave " + str(rc));
        file.close();
        return w;
    }
    Bytes payload(RAMBO_MAX_PAYLOAD);
    Uint32 length;
    while ((length = gtraceParseRecords(&file, &parser, nullptr, payload.data(),
                                        (Uint32)payload.size())) != 0) {
        Uint32 writer = 0, sequence = 0;
        std::string error;
        if (!checkTracePayload(run, payload.data(), length, &writer, &sequence, error)) {
            if (!error.empty())
                errors.push_back(what + ": " + error);
            continue;
        }
        std::vector<Uint32>& seen = w.perWriter[writer];
        if (!seen.empty() && (forward ? sequence <= seen.back() : sequence >= seen.back()))
            errors.push_back(what + ": writer " + str(writer) + " #" + str(sequence) +
                             " after #" + str(seen.back()));
        seen.push_back(sequence);
        ++w.records;
    }
    gtraceCloseDumpFileParser(&parser);
    file.close();
    return w;
}

/* Per writer, the final dump must hold an unbroken run ending at count-1. */
void expectSuffixes(const TraceRun& run, const TraceWalk& w, Errors& errors)
{
    for (Uint32 writer = 0; writer < run.writers(); ++writer) {
        const std::vector<Uint32>& s = w.perWriter[writer];
        if (!s.empty() && (s.back() != run.count - 1 || s.back() - s.front() + 1 != s.size()))
            errors.push_back("final dump: writer " + str(writer) + " holds " + str(s.size()) +
                             " records from #" + str(s.front()) + " to #" + str(s.back()));
    }
}

void writeAll(FILE* f, const void* p, size_t n, Errors& errors)
{
    if (n != 0 && fwrite(p, 1, n, f) != n)
        errors.push_back("short write of a dump file");
}

/* Opens a dump file and writes the block's header, with a circular-file mark. */
FILE* openDump(const std::string& path, bool instantaneous, Uint64 wrapFileSize, void** data,
               Uint32* size, Errors& errors)
{
    Bytes header(GTRACE_DUMP_HEADER_SIZE);
    if (gtraceGetDumpHeaderBuffer(instantaneous ? 1 : 0, header.data(), data, size) != 0)
        errors.push_back("gtraceGetDumpHeaderBuffer failed");
    reinterpret_cast<GtraceDumpHeader*>(header.data())->options.wrapFileSize = wrapFileSize;
    FILE* f = fopen(path.c_str(), "wb");
    if (f == nullptr)
        errors.push_back("cannot create " + path);
    else
        writeAll(f, header.data(), header.size(), errors);
    return f;
}

/* An instantaneous dump: header, the live slot array, then the tail. */
void takeInstantaneousDump(const std::string& path, Errors& errors)
{
    void* data = nullptr;
    Uint32 size = 0;
    FILE* f = openDump(path, true, 0, &data, &size, errors);
    if (f == nullptr)
        return;
    writeAll(f, data, size, errors);
    RamboDumpTail tail;
    memset(&tail, 0, sizeof tail);
    if (gtraceGetDumpTail(&tail) != 0)
        errors.push_back("gtraceGetDumpTail failed");
    writeAll(f, &tail, sizeof tail, errors);
    fclose(f);
}

/* Drains each sealed chunk to a continuous and a circular dump, then frees it. */
class ChunkDrain {
public:
    ChunkDrain(const std::string& continuous, const std::string& circular, Errors& errors)
        : errors_(errors)
    {
        if (gtraceInitializeChunkWalker(&walker_) != 0)
            errors_.push_back("gtraceInitializeChunkWalker failed");
        void* data = nullptr;
        Uint32 size = 0;
        continuous_ = openDump(continuous, false, 0, &data, &size, errors_);
        circular_ = openDump(circular, false, (Uint64)kCircularChunks * RAMBO_CHUNK_BYTES,
                             &data, &size, errors_);
    }
    ~ChunkDrain()
    {
        if (continuous_ != nullptr)
            fclose(continuous_);
        if (circular_ != nullptr)
            fclose(circular_);
    }
    void drain()
    {
        if (continuous_ == nullptr || circular_ == nullptr || walker_.chunk == nullptr)
            return;
        while (__atomic_load_n(&walker_.chunk->completed, __ATOMIC_ACQUIRE) >= RAMBO_CHUNK_SLOTS) {
            writeAll(continuous_, walker_.data, RAMBO_CHUNK_BYTES, errors_);
            const long at = (long)(GTRACE_DUMP_HEADER_SIZE +
                                   (taken_ % kCircularChunks) * (Uint64)RAMBO_CHUNK_BYTES);
            if (fseek(circular_, at, SEEK_SET) != 0)
                errors_.push_back("seek in the circular dump failed");
            writeAll(circular_, walker_.data, RAMBO_CHUNK_BYTES, errors_);
            __atomic_store_n(&walker_.chunk->completed, 0u, __ATOMIC_RELEASE);
            __atomic_store_n(&walker_.chunk->writableGeneration, lap_ + 1, __ATOMIC_RELEASE);
            RAMBOCB* cb = walker_.cb;
            if (++walker_.chunkNumber == cb->chunkCount) {
                walker_.chunkNumber = 0;
                ++lap_;
            }
            walker_.chunk = ramboChunks(cb) + walker_.chunkNumber;
            walker_.data = ramboSlots(cb) + (size_t)walker_.chunkNumber * RAMBO_CHUNK_BYTES;
            ++taken_;
        }
    }
    Uint32 taken() const { return taken_; }
private:
    Errors&          errors_;
    RamboChunkWalker walker_{};
    Uint32           lap_ = 0;
    Uint32           taken_ = 0;
    FILE*            continuous_ = nullptr;
    FILE*            circular_ = nullptr;
};

/* The control block in named shared memory, attached here and switched on. */
struct SharedTrace {
    explicit SharedTrace(Uint32 traceKind) : name(kivtestUniqueName("kivstress_trc"))
    {
        KIVIPCMemoryCreateParam p;
        rc = gtraceNamedResID(name.c_str(), &p.resID);
        p.size = gtraceGetAllocSize(kTraceRing);
        if (rc == 0)
            rc = memory.create(&p);
        if (rc != 0)
            return;
        std::unique_ptr<GtraceOptions> o(new GtraceOptions());
        o->bufferSize = kTraceRing;
        o->traceKind = traceKind;
        GTCB* block = static_cast<GTCB*>(memory.address);
        rc = gtraceInitialize(block, o.get());
        if (rc == 0)
            rc = gtraceAttach(block, kParentTraceProcess, nullptr, nullptr, nullptr);
        if (rc == 0)
            rc = gtraceEnable();
    }
    ~SharedTrace()
    {
        gtraceDetach();
        if (memory.isAttached())
            memory.destroy();
    }
    std::string   name;
    KIVHIPCMemory memory;
    Uint32        rc = 0;
};

/* Runs the writers and `dumper` until they finish; returns the lapped count. */
template <class Dumper>
Uint32 runTraceWriters(const TraceRun& run, const std::string& traceName, Dumper dumper)
{
    ParentStartLine start;
    EXPECT_NE(nullptr, start.line);
    if (start.line == nullptr)
        return 0;
    std::vector<KivTestProcess> children;
    for (Uint32 c = 0; c < run.children; ++c)
        children.push_back(kivtestSpawnChild(
            "stressTraceWriter",
            {traceName, start.name, str(run.threads + c), str(run.count)}));
    std::vector<std::thread> threads;
    for (Uint32 t = 0; t < run.threads; ++t)
        threads.emplace_back([&start, &run, t] {
            waitAtStartLine(start.line);
            writeTraceRecords(t, run.count, start.line);
        });
    std::atomic<bool> done{false};
    std::thread dumperThread([&] {
        while (!done.load())
            dumper(false);
        dumper(true);
    });
    start.release(run.writers());
    for (std::thread& t : threads)
        t.join();
    for (KivTestProcess& c : children)
        EXPECT_EQ(0, kivtestWaitChild(c));
    done.store(true);
    dumperThread.join();
    return start.line->lapped.load();
}

} // namespace

/* args: trace name, start line, writer number, count. */
KIVTEST_CHILD(stressTraceWriter)
{
    if (gtraceAttachNamed(args.at(0).c_str()) != 0)
        return 2;
    const Uint32 writer = (Uint32)std::atol(args.at(2).c_str());
    gtraceSetProcessID(kChildTraceProcess + writer);
    ChildStartLine start(args.at(1));
    if (!start.wait())
        return 3;
    writeTraceRecords(writer, (Uint32)std::atol(args.at(3).c_str()), start.line);
    gtraceDetachNamed();
    return 0;
}

TEST(StressTrace, WrappingRingDumpedWhileThreadsAndProcessesWrite)
{
    SharedTrace trace(GTRACE_KIND_WRAP);
    ASSERT_EQ(0u, trace.rc);
    const TraceRun run{3, 3, scaled(100000, 20000)};
    KivTestTempDir dir;
    Errors errors;
    Uint32 dumps = 0, accepted = 0;
    TraceWalk final;
    const Uint32 lapped = runTraceWriters(run, trace.name, [&](bool last) {
        // A few hundred dumps at most: the writers decide how many.
        if (!last && dumps >= 300) {
            std::this_thread::yield();
            return;
        }
        const std::string path = dir.file("instant" + str(dumps++ % 2));
        takeInstantaneousDump(path, errors);
        TraceWalk fw = walkTraceDump(run, path, true, errors);
        accepted += fw.records;
        if (last)
            final = fw;
    });
    expectSuffixes(run, final, errors);
    // A lapped writer's late stores land in a newer record: behind an intact
    // seal they show as a torn item, across the seal the parser drops the
    // record and the final dump has a gap. Allowed, rarely, and only then.
    Errors torn, other;
    for (const std::string& e : errors)
        (e.find("item torn or corrupt") != std::string::npos ||
                 e.find("header fields") != std::string::npos ||
                 e.find("final dump:") != std::string::npos
             ? torn
             : other)
            .push_back(e);
    EXPECT_TRUE(other.empty()) << join(other);
    if (lapped == 0)
        EXPECT_TRUE(torn.empty()) << join(torn);
    else
        EXPECT_LE(torn.size(), accepted / 1000 + 8) << lapped << " records lapped\n" << join(torn);
    EXPECT_LT(0u, final.records);
    EXPECT_LT(0u, accepted);
}

TEST(StressTrace, ChunkedRingDrainedToContinuousAndCircularFiles)
{
    SharedTrace trace(GTRACE_KIND_CHUNKED);
    ASSERT_EQ(0u, trace.rc);
    const TraceRun run{2, 3, scaled(60000, 12000)};
    KivTestTempDir dir;
    Errors errors;
    const std::string continuous = dir.file("continuous"), circular = dir.file("circular");
    // The dumper makes no traced call: it would wait for a chunk only it frees.
    Uint32 taken = 0;
    {
        ChunkDrain drain(continuous, circular, errors);
        runTraceWriters(run, trace.name, [&](bool last) {
            drain.drain();
            if (last)
                takeInstantaneousDump(dir.file("instant"), errors);
            else
                std::this_thread::yield();
        });
        taken = drain.taken();
    }
    ASSERT_EQ(0u, gtraceDisable());
    ASSERT_LT(0u, taken) << "the writers filled no chunk";
    TraceWalk final = walkTraceDump(run, dir.file("instant"), true, errors);
    expectSuffixes(run, final, errors);
    TraceWalk forward = walkTraceDump(run, continuous, true, errors);
    TraceWalk backward = walkTraceDump(run, continuous, false, errors);
    EXPECT_EQ(forward.records, backward.records);
    TraceWalk round = walkTraceDump(run, circular, true, errors);
    // Drained chunks: each writer's first records, gapless; circular: a stretch.
    for (Uint32 w = 0; w < run.writers(); ++w) {
        const std::vector<Uint32>& c = forward.perWriter[w];
        if (!c.empty() && (c.front() != 0 || c.back() + 1 != c.size()))
            errors.push_back("continuous dump: writer " + str(w) + " has a gap");
        std::set<Uint32> all(c.begin(), c.end());
        all.insert(final.perWriter[w].begin(), final.perWriter[w].end());
        if (all.size() != run.count)
            errors.push_back("writer " + str(w) + ": " + str(run.count - all.size()) +
                             " records in no dump");
        const std::vector<Uint32>& r = round.perWriter[w];
        if (!r.empty() && (r.back() - r.front() + 1 != r.size() || c.empty() ||
                           r.back() > c.back()))
            errors.push_back("circular dump: writer " + str(w) +
                             " is no stretch of the continuous one");
    }
    EXPECT_LT(0u, round.records);
    EXPECT_TRUE(errors.empty()) << join(errors);
}

// ---- One log file, many processes ----

namespace {

const Uint32 kLogFn = 0x081A0002u;
std::string logText(Uint32 writer, Uint32 sequence)
{
    const Uint64 seed = seedOf(writer, sequence) ^ 0x7E57;
    std::string s(1 + mixedSize(seed, 40, 200, 400), ' ');
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = char('a' + kivtestMix(seed + i) % 26);
    return s;
}

/* Letters and control bytes only, which the hex dump shows unambiguously. */
Bytes logBytes(Uint32 writer, Uint32 sequence)
{
    const Uint64 seed = seedOf(writer, sequence) ^ 0xB17E;
    Bytes b(1 + mixedSize(seed, 30, 300, 600));
    for (size_t i = 0; i < b.size(); ++i) {
        Uint64 r = kivtestMix(seed + i);
        b[i] = r % 3 == 0 ? Uint8(r >> 8 & 0x1F) : Uint8('A' + (r >> 8) % 26);
    }
    return b;
}

Uint32 logChecksum(Uint32 writer, Uint32 sequence, const std::string& text, const Bytes& bytes)
{
    Uint32 h = fnv1a(&sequence, 4, fnv1a(&writer, 4));
    return fnv1a(bytes.data(), bytes.size(), fnv1a(text.data(), text.size(), h));
}

std::string format(const char* fmt, unsigned v)
{
    char buf[64];
    snprintf(buf, sizeof buf, fmt, v);
    return buf;
}

std::string uintItem(unsigned label, Uint32 v)
{
    return format("DATA #%-2u: Uint32, 4 bytes\r\n", label) + str(v) + "\r\n";
}

std::string hexDump(unsigned label, const Bytes& b)
{
    const size_t shown = std::min<size_t>(b.size(), 512);
    std::string s = format("DATA #%-2u: <hexdump>, ", label) + str(shown) + " bytes";
    if (shown != b.size())
        s += "of " + str(b.size());
    s += "\r\n";
    for (size_t line = 0; line < shown; line += 16) {
        std::string chars;
        for (size_t c = 0; c < 16; ++c) {
            const bool in = line + c < shown;
            const Uint8 v = in ? b[line + c] : 0;
            s += in ? format("%02X", v) : "  ";
            if (in)
                chars += v >= 0x20 && v < 0x7F ? char(v) : '.';
            if (c % 4 == 3)
                s += "  ";
        }
        s += "  " + chars + "\r\n";
    }
    return s;
}

/* The items of record `sequence` of `writer`, as the log writes them. */
std::string expectedLogItems(Uint32 writer, Uint32 sequence)
{
    const std::string text = logText(writer, sequence);
    const Bytes bytes = logBytes(writer, sequence);
    return uintItem(1, writer) + uintItem(2, sequence) +
           format("DATA #3 : String, %u bytes\r\n", (unsigned)text.size()) + text + "\r\n" +
           hexDump(4, bytes) + uintItem(5, logChecksum(writer, sequence, text, bytes));
}

/* The record at `pos`: its position field must name `pos` + 2 and its length end it. */
bool nextLogRecord(const std::string& file, size_t pos, std::string& record, std::string& error)
{
    unsigned long long at = 0;
    unsigned length = 0;
    if (file.compare(pos, 2, "\r\n") != 0 || pos + 50 > file.size() ||
        sscanf(file.substr(pos + 33, 17).c_str(), "I%lluH%u", &at, &length) != 2 ||
        at != pos + 2 || pos + 2 + length > file.size()) {
        error = "record at " + str(pos) + ": no record or bad position field";
        return false;
    }
    record = file.substr(pos, 2 + length);
    return true;
}

} // namespace

/* args: log file, start line, writer number, count (one thread per process). */
KIVTEST_CHILD(stressLogWriter)
{
    KIVLogFac fac{};
    KIVLogFacParam p;
    snprintf(p.fileName, sizeof p.fileName, "%s", args.at(0).c_str());
    snprintf(p.name, sizeof p.name, "%s", "kivstress");
    p.level = KIVLOG_INFO;
    p.destination = KIVLOG_DEST_FILE;
    p.permissions = 0644;
    if (kivLogFacOpen(&p, &fac) != 0)
        return 2;
    Uint32 writer = (Uint32)std::atol(args.at(2).c_str());
    const Uint32 count = (Uint32)std::atol(args.at(3).c_str());
    ChildStartLine start(args.at(1));
    if (!start.wait())
        return 3;
    for (Uint32 s = 0; s < count; ++s) {
        const std::string text = logText(writer, s);
        const Bytes bytes = logBytes(writer, s);
        Uint32 sum = logChecksum(writer, s, text, bytes);
        Uint32 sequence = s;
        if (kivLog(&fac, kLogFn, 0, 10, KIVLOG_INFO, 5, KIVLOG_UINT(writer),
                   KIVLOG_UINT(sequence), KIVLOG_STRING(text.c_str()),
                   KIVLOG_RAW(bytes.data(), bytes.size()), KIVLOG_UINT(sum)) != 0)
            return 4;
    }
    return 0;
}

TEST(StressLog, ProcessesAppendRecordsOfMixedSizesToOneFile)
{
    const Uint32 writers = 7, count = scaled(1000, 150);
    KivTestTempDir dir;
    const std::string path = dir.file("stress.log");
    ParentStartLine start;
    ASSERT_NE(nullptr, start.line);
    std::vector<KivTestProcess> children;
    for (Uint32 w = 0; w < writers; ++w)
        children.push_back(
            kivtestSpawnChild("stressLogWriter", {path, start.name, str(w), str(count)}));
    start.release(writers);
    for (KivTestProcess& c : children)
        EXPECT_EQ(0, kivtestWaitChild(c));
    const std::string file = kivtestReadFile(path);
    std::vector<Uint32> next(writers, 0);
    Errors errors;
    size_t pos = 0, records = 0;
    while (pos < file.size() && errors.size() < 10) {
        std::string record, error;
        if (!nextLogRecord(file, pos, record, error)) {
            errors.push_back(error);
            break;
        }
        const size_t items = record.find("DATA #1 : Uint32, 4 bytes\r\n");
        Uint32 w = 0;
        if (items == std::string::npos ||
            sscanf(record.c_str() + items + 27, "%u", &w) != 1 || w >= writers) {
            errors.push_back("record at " + str(pos) + " has no writer");
        } else if (next[w] >= count ||
                   record.substr(items) != expectedLogItems(w, next[w])) {
            // Each writer's records appear in its order, each whole.
            errors.push_back("record at " + str(pos) + " of writer " + str(w) +
                             " is not its #" + str(next[w]));
        } else {
            ++next[w];
        }
        ++records;
        pos += record.size();
    }
    EXPECT_TRUE(errors.empty()) << join(errors);
    for (Uint32 w = 0; w < writers; ++w)
        EXPECT_EQ(count, next[w]) << "records of writer " << w;
    EXPECT_EQ((size_t)writers * count, records);
}

// ---- One message queue, several writer and reader processes ----

namespace {

const Uint32 kQueueRing = 1024;
/* A message: sender, number, length, bytes, checksum; an empty one means stop. */
struct QueueHead {
    Uint32 writer;
    Uint32 sequence;
    Uint32 length;   /* of the whole message */
};
const Uint32 kQueueMin = sizeof(QueueHead) + 4;
Uint32 queueMessageLength(Uint32 writer, Uint32 sequence)
{
    /* Up to a fifth of the ring mostly, now and then up to three rings. */
    return kQueueMin + mixedSize(seedOf(writer, sequence) ^ 0x9E, kQueueRing / 5, kQueueRing,
                                 3 * kQueueRing);
}

/* The readers' report in shared memory: arrivals per message, corrupt per reader. */
struct QueueReport {
    Uint32 writers, count, readers;
    Uint32* received() { return reinterpret_cast<Uint32*>(this + 1); }
    Uint32* corrupt() { return received() + writers * count; }
    static size_t bytes(Uint32 writers, Uint32 count, Uint32 readers)
    {
        return sizeof(QueueReport) + 4 * ((size_t)writers * count + readers);
    }
};

/* Checks a message; its number, or -1 when it is corrupt. */
long checkQueueMessage(const QueueReport& r, const Bytes& m, Uint32 n)
{
    QueueHead head;
    if (n < kQueueMin)
        return -1;
    memcpy(&head, m.data(), sizeof head);
    Uint32 sum = 0;
    memcpy(&sum, m.data() + n - 4, 4);
    if (head.length != n || head.writer >= r.writers || head.sequence >= r.count ||
        n != queueMessageLength(head.writer, head.sequence) || sum != fnv1a(m.data(), n - 4))
        return -1;
    return (long)(head.writer * r.count + head.sequence);
}

} // namespace

/* args: queue path, start line, writer number, count. */
KIVTEST_CHILD(stressQueueWriter)
{
    KIVHIPCQueue q;
    KIVIPCQueResID ids = kivtestQueResID(args.at(0), 3);
    if (q.attach(&ids) != 0)
        return 2;
    const Uint32 writer = (Uint32)std::atol(args.at(2).c_str());
    const Uint32 count = (Uint32)std::atol(args.at(3).c_str());
    ChildStartLine start(args.at(1));
    if (!start.wait())
        return 3;
    Bytes m;
    for (Uint32 s = 0; s < count; ++s) {
        const Uint32 length = queueMessageLength(writer, s);
        m.resize(length);
        QueueHead head{writer, s, length};
        memcpy(m.data(), &head, sizeof head);
        kivtestFillBytes(m.data() + sizeof head, length - kQueueMin, seedOf(writer, s) ^ 0x9E);
        const Uint32 sum = fnv1a(m.data(), length - 4);
        memcpy(m.data() + length - 4, &sum, 4);
        if (q.put(m.data(), length) != 0)
            return 4;
    }
    return q.detach() == 0 ? 0 : 5;
}

/* args: queue path, start line, reader number, report name, report size. */
KIVTEST_CHILD(stressQueueReader)
{
    KIVHIPCQueue q;
    KIVIPCQueResID ids = kivtestQueResID(args.at(0), 3);
    if (q.attach(&ids) != 0)
        return 2;
    const Uint32 reader = (Uint32)std::atol(args.at(2).c_str());
    const size_t reportBytes = (size_t)std::atol(args.at(4).c_str());
    auto* report = static_cast<QueueReport*>(kivtestShmOpen(args.at(3), reportBytes, false));
    if (report == nullptr)
        return 3;
    ChildStartLine start(args.at(1));
    if (!start.wait())
        return 4;
    // Buffers of different sizes, most too small: a too-big get grows and retries.
    Bytes buffer(reader == 0 ? 4 * kQueueRing : 64 << reader);
    std::vector<long> last(report->writers, -1);
    int rc = 0;
    for (;;) {
        Uint32 n = 0, got;
        while ((got = q.get(buffer.data(), (Uint32)buffer.size(), &n, 60000)) ==
               ECF_QUE_MSG_TOO_BIG)
            buffer.resize(n);
        if (got != 0) {
            rc = 5;
            break;
        }
        if (n == 0)
            break;
        const long id = checkQueueMessage(*report, buffer, n);
        if (id < 0) {
            __atomic_fetch_add(&report->corrupt()[reader], 1u, __ATOMIC_SEQ_CST);
            continue;
        }
        __atomic_fetch_add(&report->received()[id], 1u, __ATOMIC_SEQ_CST);
        // One writer's messages reach one reader in their order.
        const Uint32 writer = (Uint32)(id / report->count);
        if (id <= last[writer])
            rc = 6;
        last[writer] = id;
    }
    kivtestShmClose(report, reportBytes);
    q.detach();
    return rc;
}

TEST(StressQueue, WriterAndReaderProcessesWithMessagesLargerThanTheRing)
{
    const Uint32 writers = 4, readers = 3, count = scaled(5000, 1000);
    const std::string path = kivtestUniqueName("kivstress_que");
    KIVIPCQueueCreateParam p;
    p.queResID = kivtestQueResID(path, 3);
    p.queueSize = kQueueRing;
    p.permissions = 0600;
    KIVHIPCQueue q;
    ASSERT_EQ(0u, q.create(&p));
    const std::string reportName = kivtestUniqueName("kivstress_rep");
    const size_t reportBytes = QueueReport::bytes(writers, count, readers);
    auto* report = static_cast<QueueReport*>(kivtestShmOpen(reportName, reportBytes, true));
    ASSERT_NE(nullptr, report);
    report->writers = writers;
    report->count = count;
    report->readers = readers;
    ParentStartLine start;
    ASSERT_NE(nullptr, start.line);
    std::vector<KivTestProcess> readerProcs, writerProcs;
    for (Uint32 r = 0; r < readers; ++r)
        readerProcs.push_back(kivtestSpawnChild(
            "stressQueueReader", {path, start.name, str(r), reportName, str(reportBytes)}));
    for (Uint32 w = 0; w < writers; ++w)
        writerProcs.push_back(
            kivtestSpawnChild("stressQueueWriter", {path, start.name, str(w), str(count)}));
    start.release(writers + readers);
    for (KivTestProcess& w : writerProcs)
        EXPECT_EQ(0, kivtestWaitChild(w));
    for (Uint32 r = 0; r < readers; ++r)
        EXPECT_EQ(0u, q.put(nullptr, 0));   // one stop mark per reader
    for (KivTestProcess& r : readerProcs)
        EXPECT_EQ(0, kivtestWaitChild(r));
    Uint32 missing = 0, duplicated = 0, corrupt = 0;
    for (Uint32 i = 0; i < writers * count; ++i) {
        missing += report->received()[i] == 0;
        duplicated += report->received()[i] > 1;
    }
    for (Uint32 r = 0; r < readers; ++r)
        corrupt += report->corrupt()[r];
    EXPECT_EQ(0u, missing);
    EXPECT_EQ(0u, duplicated);
    EXPECT_EQ(0u, corrupt);
    EXPECT_FALSE(q.hasMessage());
    kivtestShmClose(report, reportBytes);
    kivtestShmUnlink(reportName);
    EXPECT_EQ(0u, q.destroy());
}
