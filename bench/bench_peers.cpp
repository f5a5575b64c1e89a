/*
 * bench_peers.cpp - the library next to the tools a user would otherwise
 * pick, in one run:
 *
 *  (a) a trace point with a given payload: ours (a record in a wrapping
 *      ring-kind control block), an LTTng-UST tracepoint with the same
 *      fields, and a bare lock-free ring (one fetch_add per record, then the
 *      payload and a sequence word) written here as the floor;
 *  (b) one diagnostic log record to a file: our file destination (open,
 *      exclusive lock, position field, write, unlock, close per record)
 *      against fopen/fprintf/fclose per record with the same text.
 *
 * The LTTng tracepoints are measured first with no tracing session, then,
 * when KIVE_PEERS_SESSION_START names a command (bench/run_peers.sh sets it
 * up), with an active session that records them; KIVE_PEERS_SESSION_STOP
 * ends it.  Our trace points are measured off and on in the same two runs.
 */
#include "benchtrace.h"
#include "gptrace.h"
#include "kivlog.h"
#include "kivthread.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "peers_tp.h"

namespace {

using benchtrace::Block64;
using benchtrace::countRecords;
using benchtrace::kBufferSize;
using benchtrace::kFn;

/* ---- LTTng-UST ------------------------------------------------------------------- */

void lttngState(benchmark::State& state)
{
    state.counters["enabled"] = benchmark::Counter(tracepoint_enabled(kive_peers, entry) ? 1 : 0,
                                                   benchmark::Counter::kAvgThreads);
}

void BM_EntryLttng(benchmark::State& state)
{
    const uint64_t tid = kivThreadID();
    for (auto _ : state) {
        tracepoint(kive_peers, entry, tid, kFn, 0, 1000000);
        benchmark::ClobberMemory();
    }
    countRecords(state);
    lttngState(state);
}

void BM_Data64Lttng(benchmark::State& state)
{
    const uint64_t tid = kivThreadID();
    const Block64 block;
    for (auto _ : state) {
        tracepoint(kive_peers, data64, tid, kFn, block.bytes);
        benchmark::ClobberMemory();
    }
    countRecords(state);
    lttngState(state);
}

/* ---- The bare ring ----------------------------------------------------------------
 * The least a multi-writer ring can do: one fetch_add claims a slot, the
 * payload is stored, a release store of the sequence marks it complete. */

struct BareSlot {
    std::atomic<uint64_t> sequence;
    uint8_t               payload[56];
};
static_assert(sizeof(BareSlot) == 64, "one cache line per slot");

struct BareRing {
    std::atomic<uint64_t> head{0};
    std::vector<BareSlot> slots = std::vector<BareSlot>(kBufferSize / sizeof(BareSlot));
    const uint64_t        mask = kBufferSize / sizeof(BareSlot) - 1;
};

BareRing& bareRing()
{
    static BareRing ring;
    return ring;
}

/* `n` payload bytes into ceil(n / 56) consecutive slots of one claim. */
inline void bareRecord(BareRing& ring, const void* payload, size_t n)
{
    const uint64_t slots = (n + sizeof(BareSlot::payload) - 1) / sizeof(BareSlot::payload);
    const uint64_t s = ring.head.fetch_add(slots, std::memory_order_relaxed);
    const uint8_t* from = static_cast<const uint8_t*>(payload);
    for (uint64_t k = 0; k < slots; ++k) {
        BareSlot& slot = ring.slots[(s + k) & ring.mask];
        const size_t piece = std::min(n, sizeof slot.payload);
        memcpy(slot.payload, from, piece);
        from += piece;
        n -= piece;
        slot.sequence.store(s + k, std::memory_order_release);
    }
}

struct EntryPayload {
    uint64_t tid;
    uint32_t fn, a, b;
};

void BM_EntryBareRing(benchmark::State& state)
{
    BareRing& ring = bareRing();
    const EntryPayload p{kivThreadID(), kFn, 0, 1000000};
    for (auto _ : state)
        bareRecord(ring, &p, sizeof p);
    countRecords(state);
}

void BM_Data64BareRing(benchmark::State& state)
{
    BareRing& ring = bareRing();
    struct {
        uint64_t tid;
        uint32_t fn;
        uint8_t  data[64];
    } p;
    p.tid = kivThreadID();
    p.fn = kFn;
    memset(p.data, 0x5A, sizeof p.data);
    for (auto _ : state)
        bareRecord(ring, &p, sizeof p);
    countRecords(state);
}

/* ---- Log records to a file ---------------------------------------------------------- */

std::string g_logDir;

std::string logPath(const char* name)
{
    std::string path = g_logDir + "/" + name;
    remove(path.c_str());
    return path;
}

/* The text of the items, the same for both. */
const char kItemText[] = "the quick brown fox jumps over the lazy dog 0123456789";

void BM_LogRecordOurs(benchmark::State& state)
{
    KIVLogFacParam p;
    snprintf(p.fileName, sizeof p.fileName, "%s", logPath("ours.log").c_str());
    snprintf(p.name, sizeof p.name, "%s", "kivbench");
    p.level = KIVLOG_INFO;
    p.destination = KIVLOG_DEST_FILE;
    p.permissions = 0644;
    KIVLogFac fac{};
    if (kivLogFacOpen(&p, &fac) != 0) {
        state.SkipWithError("log facility did not open");
        return;
    }
    Uint32 seq = 0;
    for (auto _ : state) {
        if (kivLog(&fac, kFn, 0, 10, KIVLOG_INFO, 2, KIVLOG_UINT(seq), KIVLOG_STRING(kItemText)) !=
            0) {
            state.SkipWithError("kivLog failed");
            break;
        }
        ++seq;
    }
    kivLogFacClose(&fac);
    countRecords(state);
}

/* The same record with stdio: local time, zone, level, process and thread,
 * function names, probe and the two items, one open/print/close each. */
void BM_LogRecordFprintf(benchmark::State& state)
{
    const std::string path = logPath("fprintf.log");
    const unsigned long pid = (unsigned long)getpid();
    const unsigned long long tid = kivThreadID();
    Uint32 seq = 0;
    for (auto _ : state) {
        FILE* f = fopen(path.c_str(), "ab");
        if (f == nullptr) {
            state.SkipWithError("fopen failed");
            break;
        }
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        struct tm local;
        localtime_r(&now.tv_sec, &local);
        char zone[24];
        snprintf(zone, sizeof zone, "%+.3ld", local.tm_gmtoff / 60);
        fprintf(f,
                "\r\n%04d-%02d-%02d-%02d.%02d.%02d.%06ld %-23s LEVEL: %s\r\n"
                "PID     : %-21luTID : %llu\r\n"
                "FUNCTION: %.40s, %.40s, %.40s, probe:%u\r\n"
                "DATA #1 : Uint32, 4 bytes\r\n%u\r\n"
                "DATA #2 : String, %u bytes\r\n%s\r\n",
                local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                local.tm_min, local.tm_sec, now.tv_nsec / 1000000 * 1000, zone, "Info", pid, tid,
                "KIVE", "Operating System Services", "KIVHFile::open", 10u, seq,
                (unsigned)strlen(kItemText), kItemText);
        fclose(f);
        ++seq;
    }
    countRecords(state);
}

/* ---- The run ---------------------------------------------------------------------- */

void registerTracePoints(const char* phase, bool withOurs)
{
    const std::string p = std::string("/") + phase;
    auto both = [](benchmark::internal::Benchmark* b) {
        b->Threads(1)->Threads(2)->UseRealTime();
    };
    if (withOurs) {
        both(benchmark::RegisterBenchmark(("Entry/ours_off" + p).c_str(), benchtrace::entryRecords, false));
        both(benchmark::RegisterBenchmark(("Entry/ours_on" + p).c_str(), benchtrace::entryRecords, true));
        both(benchmark::RegisterBenchmark(("Data64/ours_on" + p).c_str(), benchtrace::dataRecords64, true));
        both(benchmark::RegisterBenchmark(("Entry/bare_ring" + p).c_str(), BM_EntryBareRing));
        both(benchmark::RegisterBenchmark(("Data64/bare_ring" + p).c_str(), BM_Data64BareRing));
    }
    both(benchmark::RegisterBenchmark(("Entry/lttng" + p).c_str(), BM_EntryLttng));
    both(benchmark::RegisterBenchmark(("Data64/lttng" + p).c_str(), BM_Data64Lttng));
}

/* Runs a session command; waits until the tracepoints see the change. */
bool sessionCommand(const char* variable, bool expectEnabled)
{
    const char* command = getenv(variable);
    if (command == nullptr || *command == '\0')
        return false;
    if (system(command) != 0) {
        fprintf(stderr, "%s failed: %s\n", variable, command);
        return false;
    }
    for (int i = 0; i < 100; ++i) {
        if ((tracepoint_enabled(kive_peers, entry) != 0) == expectEnabled)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    fprintf(stderr, "the tracepoints did not follow %s\n", variable);
    return expectEnabled == false;
}

} // namespace

int main(int argc, char** argv)
{
    char dir[] = "/tmp/kivbench.XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return 1;
    g_logDir = dir;
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;

    // Both phases are registered at once and chosen by name: the phases
    // replace --benchmark_filter.
    registerTracePoints("no_session", true);
    benchmark::RegisterBenchmark("LogRecord/ours_file", BM_LogRecordOurs);
    benchmark::RegisterBenchmark("LogRecord/fopen_fprintf_fclose", BM_LogRecordFprintf);
    registerTracePoints("session", false);
    // One reporter for both runs: the library's own does not outlive a run.
    benchmark::ConsoleReporter reporter(benchmark::ConsoleReporter::OO_None);
    benchmark::RunSpecifiedBenchmarks(&reporter, "no_session|LogRecord");

    if (sessionCommand("KIVE_PEERS_SESSION_START", true)) {
        benchmark::RunSpecifiedBenchmarks(&reporter, "/session");
        sessionCommand("KIVE_PEERS_SESSION_STOP", false);
    }
    benchmark::Shutdown();
    remove((g_logDir + "/ours.log").c_str());
    remove((g_logDir + "/fprintf.log").c_str());
    rmdir(dir);
    return 0;
}
