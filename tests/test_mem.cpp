/*
 * test_mem.cpp - the allocator: layouts, damage reports, double and null
 * frees, the allocation list and leak report, KIVEMEMDBG, pointer checks.
 */
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "kivassert.h"
#include "kivecf.h"
#include "kivlog.h"
#include "kivmem.h"
#include "kivprocess.h"
#include "kivthread.h"
#include "kivtest.h"
#include "kivtestlog.h"

namespace {

constexpr bool kPointers32 = sizeof(void*) == 4;
constexpr size_t kRecordSize = kPointers32 ? 64 : 72;
static_assert(sizeof(KIVMemAllocRecord) == kRecordSize, "allocation record size per ABI");

const char* const kFile = "src/caller.cpp";

/* The separator the library puts between the debug directory and a file. */
#if defined(_WIN32)
constexpr char kPathSeparator = '\\';
#else
constexpr char kPathSeparator = '/';
#endif

/* ---- Capturing the allocator's assertion reports ---------------------------
 * Fixed storage: the callback must not touch the heap, or it could take
 * back a block that a double-free test is about to free again. */
struct Report {
    char   message[256];
    char   file[128];
    Uint32 line;
    char   directory[261];
    Uint32 fatal;
};
Report g_reports[64];
int    g_reportCount = 0;

void copyText(char* out, size_t size, const char* in)
{
    std::snprintf(out, size, "%s", in ? in : "(null)");
}

void captureAssertion(const char* expression, const char* file, Uint32 line,
                      const char* dumpDirectory, Uint32 fatal, va_list*)
{
    if (g_reportCount >= 64)
        return;
    Report& r = g_reports[g_reportCount++];
    copyText(r.message, sizeof r.message, expression);
    copyText(r.file, sizeof r.file, file);
    r.line = line;
    copyText(r.directory, sizeof r.directory, dumpDirectory);
    r.fatal = fatal;
}

std::vector<std::string> reportedMessages()
{
    std::vector<std::string> out;
    for (int i = 0; i < g_reportCount; ++i)
        out.push_back(g_reports[i].message);
    return out;
}

/* ---- Environment and files ---------------------------------------------------- */
/* Runs the start-up configuration as if the process had started with
 * KIVEMEMDBG set to `value` (unset for null). */
void configure(const char* value)
{
    kivtestSetEnv("KIVEMEMDBG", value);
    kivMemOneTimeOnly();
    kivtestSetEnv("KIVEMEMDBG", nullptr);
}

void configure(const std::string& value)
{
    configure(value.c_str());
}

/* Text files of the library are written in text mode: CR LF on Windows. */
std::string readText(const std::string& path)
{
    std::string s = kivtestReadFile(path);
    std::string out;
    for (char c : s)
        if (c != '\r')
            out += c;
    return out;
}

std::vector<std::string> filesIn(const std::string& dir)
{
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(std::filesystem::u8path(dir)))
        names.push_back(e.path().filename().u8string());
    return names;
}

std::string format(const char* fmt, ...)
{
    char buf[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    return buf;
}

/* ---- Block access --------------------------------------------------------------- */
Uint8* bytes(void* p)
{
    return static_cast<Uint8*>(p);
}

Uint32 wordAt(const void* p, ptrdiff_t offset)
{
    Uint32 v;
    std::memcpy(&v, static_cast<const Uint8*>(p) + offset, sizeof v);
    return v;
}

void setWord(void* p, ptrdiff_t offset, Uint32 v)
{
    std::memcpy(static_cast<Uint8*>(p) + offset, &v, sizeof v);
}

Uint32 modeWordOf(void* u)
{
    return wordAt(u, -20);
}

KIVMemAllocRecord* recordOf(void* u)
{
    return reinterpret_cast<KIVMemAllocRecord*>(bytes(u) - kRecordSize);
}

void* alloc(Uint32 size, Uint32 line = 1, Uint32 flags = 0)
{
    void* p = nullptr;
    EXPECT_EQ(0u, kivMemAlloc(&p, nullptr, size, flags, kFile, line));
    return p;
}

void release(void* p, Uint32 line = 2)
{
    EXPECT_EQ(0u, kivMemFree(&p, 0, 0, kFile, line));
    EXPECT_EQ(nullptr, p);
}

/* Every test starts in IDLE mode with no debug directory, reports captured,
 * and leaves the process that way. */
class Mem : public ::testing::Test {
protected:
    KivLogCapture log;
    void SetUp() override
    {
        configure(nullptr);
        g_reportCount = 0;
        kivSetAssertionCallback(captureAssertion);
    }
    void TearDown() override
    {
        kivSetAssertionCallback(nullptr);
        g_bDumpMemAllocListFlag = 0;
        configure(nullptr);
    }
    void expectReports(const std::vector<std::string>& expected, Uint32 line)
    {
        EXPECT_EQ(expected, reportedMessages());
        for (int i = 0; i < g_reportCount; ++i) {
            EXPECT_STREQ(kFile, g_reports[i].file);
            EXPECT_EQ(line, g_reports[i].line);
            EXPECT_STREQ(g_szMemDebugLogPath, g_reports[i].directory);
            EXPECT_EQ(0u, g_reports[i].fatal);
        }
        g_reportCount = 0;
    }
};

TEST_F(Mem, IdleBlockHasZeroWordsSizeModeAndHeader)
{
    void* u = alloc(13, 101);
    ASSERT_NE(nullptr, u);
    EXPECT_EQ(0u, reinterpret_cast<uintptr_t>(u) % 8);
    EXPECT_EQ(0u, wordAt(u, -32));
    EXPECT_EQ(0u, wordAt(u, -28));
    EXPECT_EQ(13u, wordAt(u, -24));
    EXPECT_EQ(KIVMEM_MODE_IDLE, wordAt(u, -20));
    EXPECT_EQ(KIVMEM_EYE_LIVE, wordAt(u, -16));
    EXPECT_EQ(13u, wordAt(u, -12));
    EXPECT_EQ(0u, wordAt(u, -8));
    EXPECT_EQ(101u, wordAt(u, -4));
    EXPECT_EQ(13u, kivMemAllocCheck(&u, kFile, 3, 0));
    release(u);
    EXPECT_EQ(0, g_reportCount);
}

TEST_F(Mem, LightBlockHasGuardedFrontRecordSlackAndTrailerCopy)
{
    ASSERT_EQ(0u, kivMemSetDebug(0, KIVMEM_MODE_LIGHT, 2, 2));
    void* u = alloc(13, 7);
    Uint8* base = bytes(u) - 32;
    EXPECT_EQ(KIVMEM_GUARD_LOW, wordAt(base, 0));
    EXPECT_EQ(KIVMEM_GUARD_HIGH, wordAt(base, 4));
    EXPECT_EQ(13u, wordAt(base, 8));
    EXPECT_EQ(KIVMEM_MODE_LIGHT, wordAt(base, 12));
    EXPECT_EQ(KIVMEM_EYE_LIVE, wordAt(u, -16));
    for (int i = 13; i < 16; ++i)
        EXPECT_EQ(0xCC, bytes(u)[i]) << i;
    /* R + 48 = 64 heap bytes: the trailer fills the last 16. */
    EXPECT_EQ(0, std::memcmp(base, bytes(u) + 16, 16));
    EXPECT_EQ(13u, kivMemAllocCheck(&u, kFile, 3, 0));
    release(u);
    EXPECT_EQ(0, g_reportCount);
}

TEST_F(Mem, FullBlockLayoutAndFigures)
{
    KivTestTempDir dir;
    configure(dir.path() + ",FULL");
    ASSERT_NE(nullptr, g_pMemDebugCB);
    void* u = alloc(13, 4242);

    const size_t userOffset = 16 + kRecordSize; /* two front guard units, then the record */
    const size_t heapBytes = userOffset + 16 + 16 + 8;
    Uint8* base = bytes(u) - userOffset;
    for (int g = 0; g < 2; ++g) {
        EXPECT_EQ(KIVMEM_GUARD_LOW, wordAt(base, 8 * g));
        EXPECT_EQ(KIVMEM_GUARD_HIGH, wordAt(base, 8 * g + 4));
    }
    KIVMemAllocRecord* d = recordOf(u);
    EXPECT_EQ(reinterpret_cast<Uint8*>(d), base + 16);
    EXPECT_EQ(nullptr, d->prev);
    EXPECT_EQ(g_pMemDebugCB->allocListHead, d);
    EXPECT_STREQ("caller.cpp", d->fileName);
    EXPECT_EQ(13u, d->requestedSize);
    EXPECT_EQ(4242u, d->lineNumber);
    EXPECT_EQ(2u, d->frontPadCount);
    EXPECT_EQ(2u, d->backPadCount);
    EXPECT_EQ(KIVMEM_MODE_FULL, d->modeWord);
    EXPECT_EQ(KIVMEM_MODE_FULL, modeWordOf(u));
    EXPECT_EQ(KIVMEM_EYE_LIVE, d->header.eyeCatcher);
    EXPECT_EQ(reinterpret_cast<void*>(&d->header), bytes(u) - 16);
    for (int i = 13; i < 16; ++i)
        EXPECT_EQ(0xCC, bytes(u)[i]) << i;
    for (int g = 0; g < 2; ++g) {
        EXPECT_EQ(KIVMEM_GUARD_LOW, wordAt(u, 16 + 8 * g));
        EXPECT_EQ(KIVMEM_GUARD_HIGH, wordAt(u, 16 + 8 * g + 4));
    }
    EXPECT_EQ(13u, wordAt(base, heapBytes - 8));
    EXPECT_EQ(KIVMEM_MODE_FULL, wordAt(base, heapBytes - 4));
    release(u);
    EXPECT_EQ(nullptr, g_pMemDebugCB->allocListHead);
    EXPECT_EQ(0, g_reportCount);
}

TEST_F(Mem, ListIsNewestFirstAndUnlinksFromAnyPosition)
{
    KivTestTempDir dir;
    configure(dir.path() + ",FULL");
    void* a = alloc(8);
    void* b = alloc(8);
    void* c = alloc(8);
    KIVMemAllocRecord *da = recordOf(a), *db = recordOf(b), *dc = recordOf(c);
    EXPECT_EQ(dc, g_pMemDebugCB->allocListHead);
    EXPECT_EQ(db, dc->next);
    EXPECT_EQ(da, db->next);
    EXPECT_EQ(nullptr, da->next);
    EXPECT_EQ(db, da->prev);
    EXPECT_EQ(dc, db->prev);

    release(b); /* middle */
    EXPECT_EQ(da, dc->next);
    EXPECT_EQ(dc, da->prev);
    release(c); /* head */
    EXPECT_EQ(da, g_pMemDebugCB->allocListHead);
    EXPECT_EQ(nullptr, da->prev);
    release(a);
    EXPECT_EQ(nullptr, g_pMemDebugCB->allocListHead);
}

TEST_F(Mem, FillPatterns)
{
    ASSERT_EQ(0u, kivMemSetDebug(KIVMEM_DBG_FILL_ON_ALLOC | KIVMEM_DBG_FILL_ON_FREE,
                                 KIVMEM_MODE_LIGHT, 2, 2));
    void* ff = alloc(12);
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(0xFF, bytes(ff)[i]);
    void* zero = alloc(12, 1, KIVMEM_ZERO_FILL); /* the caller's zero fill wins */
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(0, bytes(zero)[i]);
    release(zero);

    /* Released without being freed, the block can be looked at: filled,
     * marked freed, and its start handed back. */
    std::memset(ff, 0x11, 12);
    void* handle = ff;
    EXPECT_EQ(12u, kivMemAllocCheck(&handle, kFile, 5, 1));
    EXPECT_EQ(bytes(ff) - 32, handle);
    for (int i = 0; i < 12; ++i)
        EXPECT_EQ(0xFF, bytes(ff)[i]);
    EXPECT_EQ(KIVMEM_EYE_FREED, wordAt(ff, -16));
    EXPECT_EQ(KIVMEM_MODE_FREED, modeWordOf(ff));
    std::free(handle);
}

TEST_F(Mem, InvalidArgumentsAllocateNothingAndLogNothing)
{
    void* sentinel = reinterpret_cast<void*>(0x1234);
    void* p = sentinel;
    EXPECT_EQ(ECF_INVALID_PARAMETER, kivMemAlloc(&p, nullptr, 0, 0, kFile, 1));
    EXPECT_EQ(ECF_INVALID_PARAMETER, kivMemAlloc(&p, nullptr, 8, 4, kFile, 1));
    EXPECT_EQ(ECF_INVALID_PARAMETER, kivMemAlloc(nullptr, nullptr, 8, 0, kFile, 1));
    EXPECT_EQ(sentinel, p);
    EXPECT_EQ(ECF_INVALID_PARAMETER, kivMemFree(nullptr, 0, 0, kFile, 1));
    EXPECT_EQ(0u, log.count());
    EXPECT_EQ(0, g_reportCount);
}

TEST_F(Mem, NullPointersAreReportedNotFollowed)
{
    void* p = nullptr;
    EXPECT_EQ(ECF_MEM_NULL_POINTER, kivMemFree(&p, 0, 0, "some/dir/caller.cpp", 77));
    ASSERT_EQ(1u, log.count());
    const KivLogRecord r = log.at(KIVFN_KIVMEMFREE, 20);
    EXPECT_EQ(ECF_MEM_NULL_POINTER, r.messageCode);
    EXPECT_EQ(3u, r.level);
    EXPECT_EQ(1, r.itemCount);
    ASSERT_EQ(1u, r.items.size());
    EXPECT_EQ(KIVLOG_TYPE_STRING, r.items[0].type);
    EXPECT_EQ("NULL pointer for memory allocation address found at: some/dir/caller.cpp, line 77",
              r.items[0].asString());
    EXPECT_EQ(0, g_reportCount);

    EXPECT_EQ(0u, kivMemAllocCheck(&p, kFile, 31, 1));
    EXPECT_EQ(0u, kivMemAllocCheck(nullptr, kFile, 31, 0));
    expectReports({"NULL pointer for memory allocation address found at:",
                   "NULL pointer for memory allocation address found at:"},
                  31);
}

TEST_F(Mem, HeapExhaustionGoesThroughTheSystemErrorHandler)
{
    if (!kPointers32)
        GTEST_SKIP() << "with 64-bit pointers a 4 GB request may be granted";
    void* sentinel = reinterpret_cast<void*>(0x1234);
    void* p = sentinel;
    Uint32 rc = kivMemAlloc(&p, nullptr, 0xFFFFFFF0u, 0, kFile, 1);
    EXPECT_NE(0u, rc);
    EXPECT_EQ(sentinel, p);
    const KivLogRecord r = log.at(KIVFN_KIVMEMALLOC, 40);
    EXPECT_EQ(KIVOSFN_MALLOC, r.calledFunctionId);
    EXPECT_EQ(8u, r.calledValue); /* ERROR_NOT_ENOUGH_MEMORY */
    EXPECT_EQ(rc, r.messageCode);
}

struct DamageCase {
    const char* name;
    Uint32      mode;
    Uint32      size;
    ptrdiff_t   offset; /* from U; the byte there is flipped */
    const char* message;
};

TEST_F(Mem, EveryKindOfDamageIsReportedWithItsMessageAndTheBlockStillFreed)
{
    const ptrdiff_t fullFront = -static_cast<ptrdiff_t>(16 + kRecordSize);
    const DamageCase cases[] = {
        {"LIGHT one past 13", KIVMEM_MODE_LIGHT, 13, 13, "Back memory pad corruption found at:"},
        {"LIGHT front guard", KIVMEM_MODE_LIGHT, 13, -32, "Front memory pad corruption found at:"},
        {"LIGHT trailer size", KIVMEM_MODE_LIGHT, 13, 16 + 8,
         "Memory pad size corruption found at:"},
        {"FULL one past 13", KIVMEM_MODE_FULL, 13, 13,
         "Back Uint8 memory pad corruption found at:"},
        {"FULL one past 16", KIVMEM_MODE_FULL, 16, 16,
         "Back pad corruption (0xFEEDFACE600DBEFF) found at:"},
        {"FULL front guard", KIVMEM_MODE_FULL, 13, fullFront + 8,
         "Front pad corruption found at:"},
        {"FULL trailer mode", KIVMEM_MODE_FULL, 13, 16 + 16 + 4,
         "Back pad mode (0xa110ca6e)found at:"},
        {"FULL trailer size", KIVMEM_MODE_FULL, 13, 16 + 16,
         "Allocation size does not match between front and back pad structures found at:"},
        {"eye-catcher", KIVMEM_MODE_IDLE, 13, -16 + 3,
         "Invalid block eye-catcher (0x4AFEB100) found at:"},
    };
    for (const DamageCase& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(0u, kivMemSetDebug(0, c.mode, 2, 2));
        void* u = alloc(c.size);
        bytes(u)[c.offset] ^= 0x10u;
        /* A check reports without releasing; the free reports again. */
        EXPECT_EQ(c.size, kivMemAllocCheck(&u, kFile, 50, 0));
        expectReports({c.message}, 50);
        EXPECT_EQ(0u, kivMemFree(&u, 0, 0, kFile, 51));
        EXPECT_EQ(nullptr, u);
        expectReports({c.message}, 51);
    }
}

TEST_F(Mem, UnknownLayoutIsReportedAndNotFreed)
{
    void* u = alloc(13);
    void* copy = u;
    setWord(u, -20, 0xBADBAD00u);
    EXPECT_EQ(0u, kivMemFree(&u, 0, 0, kFile, 70));
    EXPECT_EQ(nullptr, u);
    expectReports({"Invalid pad type (0xBADBAD00) found at:"}, 70);
    /* Untouched, so once repaired it frees cleanly. */
    EXPECT_EQ(KIVMEM_EYE_LIVE, wordAt(copy, -16));
    setWord(copy, -20, KIVMEM_MODE_IDLE);
    release(copy);
    EXPECT_EQ(0, g_reportCount);
}

TEST_F(Mem, DoubleFreeIsReportedAndNotPerformed)
{
    KivTestTempDir dir;
    configure(dir.path() + ",FULL");
    void* older = alloc(40);
    void* u = alloc(13);
    void* second = u;
    release(u, 90);
    EXPECT_EQ(0, g_reportCount);
    EXPECT_EQ(0u, kivMemFree(&second, 0, 0, kFile, 91));
    EXPECT_EQ(nullptr, second);
    expectReports({"Freeing freed memory found at:",
                   "Invalid block eye-catcher (0xDEADB100) found at:",
                   "Freeing freed memory found at:"},
                  91);
    /* The list was not touched by the second free. */
    EXPECT_EQ(recordOf(older), g_pMemDebugCB->allocListHead);
    EXPECT_EQ(nullptr, recordOf(older)->prev);
    EXPECT_EQ(nullptr, recordOf(older)->next);
    release(older);
}

TEST_F(Mem, OffCannotBeToggledAfterAllocationButFlagsAreStored)
{
    release(alloc(4)); /* an allocation has certainly been made */
    EXPECT_EQ(ECF_MEM_CANNOT_TOGGLE_MEM_DEBUG_AFTER_ALLOC,
              kivMemSetDebug(KIVMEM_DBG_FILL_ON_ALLOC, KIVMEM_MODE_OFF, 0, 0));
    void* p = alloc(8);
    EXPECT_EQ(KIVMEM_MODE_IDLE, modeWordOf(p)); /* mode kept */
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(0xFF, bytes(p)[i]); /* flags stored */
    release(p);

    /* Words that are no mode, and pad counts beyond the limit, change nothing. */
    EXPECT_EQ(ECF_INVALID_PARAMETER, kivMemSetDebug(0, 0x12345678u, 2, 2));
    EXPECT_EQ(ECF_INVALID_PARAMETER,
              kivMemSetDebug(0, KIVMEM_MODE_FULL, KIVMEM_MAX_PAD_COUNT + 1, 2));
    void* q = alloc(8);
    EXPECT_EQ(KIVMEM_MODE_IDLE, modeWordOf(q));
    release(q);
}

/* A fresh process may choose the off mode before its first allocation. */
KIVTEST_CHILD(mem_off_mode)
{
    if (kivMemSetDebug(0, KIVMEM_MODE_OFF, 0, 0) != 0)
        return 10;
    void* u = nullptr;
    if (kivMemAlloc(&u, nullptr, 13, 0, kFile, 55) != 0 || !u)
        return 11;
    /* Only the header: eye-catcher, size, 0, line. */
    if (wordAt(u, -16) != KIVMEM_EYE_LIVE || wordAt(u, -12) != 13 || wordAt(u, -8) != 0 ||
        wordAt(u, -4) != 55)
        return 12;
    if (kivMemAllocCheck(&u, kFile, 1, 0) != KIVMEM_CHECK_MODE_OFF)
        return 13;
    if (kivMemSetDebug(KIVMEM_DBG_FILL_ON_ALLOC, KIVMEM_MODE_IDLE, 2, 2) !=
        ECF_MEM_CANNOT_TOGGLE_MEM_DEBUG_AFTER_ALLOC)
        return 14;
    if (kivMemFree(&u, 0, 0, kFile, 57) != 0 || u != nullptr)
        return 18;
    return 0;
}

TEST_F(Mem, OffModeInAFreshProcess)
{
    EXPECT_EQ(0, kivtestRunChild("mem_off_mode"));
}

std::string validEntry(const char* level, Uint32 flags)
{
    return format("PID            = 0x%X\n---------------------------------\n"
                  "mode           = %s\nflags          = 0x%X\nFront pad size = 2\n"
                  "Back pad size  = 2\n\n",
                  kivProcessID(), level, flags);
}

std::string invalidEntry(const std::string& value)
{
    return format("PID = 0x%X\n----------------------------------------------------\n"
                  "Original Debug String is %s\n",
                  kivProcessID(), value.c_str()) +
           "Invalid KIVEMEMDBG string detected.\n\n"
           "Usage : export KIVEMEMDBG=<PATH>,<LEVEL>\n"
           "   where <PATH> is the path to store kivememdbg.log\n"
           "         <LEVEL> is one of the KIVFULL, LIGHT, or IDLE\n\n";
}

Uint32 currentModeWord()
{
    void* p = nullptr;
    if (kivMemAlloc(&p, nullptr, 8, 0, kFile, 1) != 0)
        return 0;
    Uint32 m = modeWordOf(p);
    kivMemFree(&p, 0, 0, kFile, 1);
    return m;
}

TEST_F(Mem, ValidLevelsSelectModeFlagsAndPadsAndAreLogged)
{
    struct Level {
        const char* text;
        Uint32      mode;
        Uint32      flags;
        bool        ffdc;
    };
    const Level levels[] = {
        {"full", KIVMEM_MODE_FULL, 0xF, false},  {"CORRUPTIONS", KIVMEM_MODE_FULL, 0xF, false},
        {"LeAkS", KIVMEM_MODE_FULL, 0x2F, true}, {"all", KIVMEM_MODE_FULL, 0x2F, true},
        {"LIGHT", KIVMEM_MODE_LIGHT, 0xB, false},
    };
    KivTestTempDir dir;
    std::string expectedLog;
    for (const Level& l : levels) {
        SCOPED_TRACE(l.text);
        configure(dir.path() + "," + l.text);
        expectedLog += validEntry(l.text, l.flags);
        EXPECT_EQ(expectedLog, readText(dir.file("kivememdbg.log"))); /* appended */
        EXPECT_EQ(dir.path(), g_szMemDebugLogPath);
        EXPECT_EQ(l.ffdc, g_bIsMemoryFFDCEnabledFlag != 0);
        EXPECT_EQ(l.ffdc, kivMemIsMemFFDCAndKIVeMemDebugPathSet());
        EXPECT_EQ(l.mode, currentModeWord());
        if (l.mode == KIVMEM_MODE_FULL) {
            ASSERT_NE(nullptr, g_pMemDebugCB);
            EXPECT_EQ(l.flags, g_pMemDebugCB->debugFlags);
            EXPECT_EQ(KIVMEM_MODE_FULL, g_pMemDebugCB->debugMode);
            EXPECT_EQ(2u, g_pMemDebugCB->frontPadCount);
            EXPECT_EQ(2u, g_pMemDebugCB->backPadCount);
            EXPECT_EQ(1u, g_pMemDebugCB->allocationMade);
        } else {
            EXPECT_EQ(nullptr, g_pMemDebugCB);
        }
    }
}

TEST_F(Mem, InvalidValuesLeaveIdleAndExplainThemselves)
{
    KivTestTempDir dir;
    const std::string values[] = {
        dir.path() + ",IDLE", dir.path() + ",full,extra", dir.path(), dir.path() + ",fulll",
        dir.path() + ",FULLFULLFULLFULLFULLFULL",
    };
    for (const std::string& v : values) {
        SCOPED_TRACE(v);
        configure(v);
        /* Written afresh each time. */
        EXPECT_EQ(invalidEntry(v), readText(dir.file("kivememdbg.log")));
        EXPECT_EQ(KIVMEM_MODE_IDLE, currentModeWord());
        EXPECT_EQ(nullptr, g_pMemDebugCB);
        EXPECT_EQ(dir.path(), g_szMemDebugLogPath);
        EXPECT_FALSE(kivMemIsMemFFDCAndKIVeMemDebugPathSet());
    }
}

TEST_F(Mem, FirstFailureFlagNeedsAPath)
{
    EXPECT_FALSE(kivMemIsMemFFDCAndKIVeMemDebugPathSet());
    kivMemSetMemFFDCEnabledFlag();
    EXPECT_NE(0, g_bIsMemoryFFDCEnabledFlag);
    EXPECT_FALSE(kivMemIsMemFFDCAndKIVeMemDebugPathSet());
    KivTestTempDir dir;
    configure(dir.path() + ",FULL"); /* clears it again */
    EXPECT_FALSE(kivMemIsMemFFDCAndKIVeMemDebugPathSet());
    kivMemSetMemFFDCEnabledFlag();
    EXPECT_TRUE(kivMemIsMemFFDCAndKIVeMemDebugPathSet());
}

std::string leakFileLong(const std::string& dirPath)
{
    return format("%s%c%u.%llu.mem_leaks.txt", dirPath.c_str(), kPathSeparator, kivProcessID(),
                  static_cast<unsigned long long>(kivThreadID()));
}

const std::string kStars = std::string(76, '*') + "\n";
const std::string kEquals = std::string(76, '=') + "\n";

std::string fileLine(void* u)
{
    KIVMemAllocRecord* d = recordOf(u);
    return format("Addr: %08llx Code: 0x%x Size: %u Line: %u File: %s\n",
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(&d->header)),
                  d->header.eyeCatcher, d->requestedSize, d->lineNumber, d->fileName);
}

std::string stdoutLine(void* u)
{
    KIVMemAllocRecord* d = recordOf(u);
    return format("Address: %p Size: %u Line: %u File: %s\n", static_cast<void*>(&d->header),
                  d->requestedSize, d->lineNumber, d->fileName);
}

std::string longBanner(const std::string& path)
{
    return kStars +
           "QEL Support and Development can generate a report of possible memory leaks\n"
           "using the following command from any uselvl'd build:\n"
           "perl -S qelreportleaks -path " +
           path + "\n\n" +
           "To display all available options, run \"perl -S qelreportleaks -help\"\n" +
           kStars +
           "Legend:\n-------\nAddr - block address\nCode - block eye-catcher with flags\n"
           "Size - size of the block\nLine - line of code in a file\nFile - file name\n" +
           kEquals + "KIVe Unfreed Memory Blocks :\n" + kEquals;
}

std::string shortBanner()
{
    return kStars + "KIVe Unfreed Memory Blocks :\n" + kEquals;
}

TEST_F(Mem, LongLeakReportNamesEveryLiveBlockNewestFirst)
{
    KivTestTempDir dir;
    configure(dir.path() + ",LEAKS");
    void* a = alloc(13, 300);
    void* b = alloc(100, 301, KIVMEM_MARKED);
    EXPECT_EQ(0u, kivMemAllocList(true));
    const std::string report = longBanner(dir.path()) + fileLine(b) + fileLine(a) + kEquals;
    EXPECT_EQ(report, readText(leakFileLong(dir.path())));
    EXPECT_EQ(0u, kivMemAllocList(true)); /* appended */
    EXPECT_EQ(report + report, readText(leakFileLong(dir.path())));
    release(a);
    release(b);
    EXPECT_EQ(0u, kivMemAllocList(true)); /* empty list: nothing */
    EXPECT_EQ(report + report, readText(leakFileLong(dir.path())));
    EXPECT_EQ(0, g_reportCount);
}

TEST_F(Mem, ShortLeakReportSharesTheAssertionReportFile)
{
    KivTestTempDir dir;
    configure(dir.path() + ",FULL");
    void* a = alloc(13, 310);
    EXPECT_EQ(0u, kivMemAllocList(true));
    const std::string name =
        format("%s%cp%ut%llu.mem", dir.path().c_str(), kPathSeparator, kivProcessID(),
               static_cast<unsigned long long>(kivThreadID()));
    EXPECT_EQ(shortBanner() + fileLine(a) + kEquals, readText(name));
    release(a);
}

TEST_F(Mem, LeakReportToStandardOutput)
{
    KivTestTempDir dir;
    configure(dir.path() + ",LEAKS");
    void* a = alloc(13, 320);
    void* b = alloc(7, 321);
    testing::internal::CaptureStdout();
    EXPECT_EQ(0u, kivMemAllocList(false));
    EXPECT_EQ(stdoutLine(b) + stdoutLine(a), testing::internal::GetCapturedStdout());
    release(a);
    release(b);
}

/* The leaking call: its line is what the report must name. */
Uint32 leakSite(void** p)
{
    Uint32 line = __LINE__; if (p) kivMemAlloc(p, nullptr, 13, 0, __FILE__, __LINE__);
    return line;
}

/* Started with KIVEMEMDBG=<dir>,LEAKS: a host that leaks one block and exits. */
KIVTEST_CHILD(mem_leaker)
{
    if (!g_pMemDebugCB || g_pMemDebugCB->debugMode != KIVMEM_MODE_FULL ||
        !kivMemIsMemFFDCAndKIVeMemDebugPathSet())
        return 20;
    void* leaked = nullptr;
    leakSite(&leaked);
    void* freed = nullptr;
    kivMemAlloc(&freed, nullptr, 99, 0, __FILE__, 1);
    kivMemFree(&freed, 0, 0, __FILE__, 2);
    return leaked ? 0 : 21;
}

/* Started with an invalid KIVEMEMDBG. */
KIVTEST_CHILD(mem_bad_variable)
{
    return currentModeWord() == KIVMEM_MODE_IDLE && g_pMemDebugCB == nullptr ? 0 : 30;
}

int runWithVariable(const char* child, const std::string& value, long* pid)
{
    kivtestSetEnv("KIVEMEMDBG", value.c_str());
    KivTestProcess p = kivtestSpawnChild(child);
    kivtestSetEnv("KIVEMEMDBG", nullptr);
    *pid = p.pid;
    return kivtestWaitChild(p);
}

TEST(MemProcess, LeakReportIsWrittenWhenTheHostExits)
{
    KivTestTempDir dir;
    long pid = 0;
    ASSERT_EQ(0, runWithVariable("mem_leaker", dir.path() + ",LEAKS", &pid));

    const std::string log = readText(dir.file("kivememdbg.log"));
    EXPECT_EQ(format("PID            = 0x%X\n", static_cast<unsigned>(pid)),
              log.substr(0, log.find('\n') + 1));
    EXPECT_NE(std::string::npos, log.find("mode           = LEAKS\nflags          = 0x2F\n"));
    std::string leakFile;
    const std::string prefix = std::to_string(pid) + ".";
    for (const std::string& name : filesIn(dir.path()))
        if (name.compare(0, prefix.size(), prefix) == 0 &&
            name.size() > 14 && name.substr(name.size() - 14) == ".mem_leaks.txt")
            leakFile = dir.file(name);
    ASSERT_FALSE(leakFile.empty()) << "no leak report of process " << pid;
    const std::string text = readText(leakFile);
    EXPECT_EQ(0u, text.find(longBanner(dir.path())));
    const std::string expected =
        format("Code: 0x5afeb100 Size: 13 Line: %u File: test_mem.cpp\n", leakSite(nullptr));
    EXPECT_NE(std::string::npos, text.find(expected)) << text;
    EXPECT_EQ(std::string::npos, text.find("Size: 99 ")) << "freed block listed";
    EXPECT_EQ(kEquals, text.substr(text.size() - kEquals.size()));
}

TEST(MemProcess, InvalidVariableAtStartLeavesIdleAndWritesUsage)
{
    KivTestTempDir dir;
    long pid = 0;
    const std::string value = dir.path() + ",IDLE";
    ASSERT_EQ(0, runWithVariable("mem_bad_variable", value, &pid));
    const std::string text = readText(dir.file("kivememdbg.log"));
    EXPECT_EQ(format("PID = 0x%X\n", static_cast<unsigned>(pid)), text.substr(0, text.find('\n') + 1));
    EXPECT_NE(std::string::npos, text.find("Original Debug String is " + value + "\n"));
    EXPECT_NE(std::string::npos, text.find("Usage : export KIVEMEMDBG=<PATH>,<LEVEL>\n"));
}

TEST_F(Mem, ThreadsAllocateFreeAndReportConcurrently)
{
    KivTestTempDir dir;
    configure(dir.path() + ",FULL");
    KIVMemAllocRecord* headBefore = g_pMemDebugCB->allocListHead;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            void* held[16] = {};
            for (int i = 0; i < 3000; ++i) {
                void*& slot = held[(i * 7 + t) % 16];
                if (slot)
                    kivMemFree(&slot, 0, 0, kFile, 2);
                kivMemAlloc(&slot, nullptr, static_cast<Uint32>(1 + (i * 13 + t) % 200), 0,
                            kFile, 1);
            }
            for (void*& p : held)
                if (p)
                    kivMemFree(&p, 0, 0, kFile, 3);
        });
    threads.emplace_back([] {
        for (int i = 0; i < 20; ++i)
            kivMemAllocList(true);
    });
    for (std::thread& th : threads)
        th.join();
    EXPECT_EQ(headBefore, g_pMemDebugCB->allocListHead);
    EXPECT_EQ(0, g_reportCount);
}

TEST(MemPointers, ArgumentsAndPatternsThatWereNeverAddresses)
{
    char buf[32] = "text";
    EXPECT_NE(0u, kivIsBadString(nullptr, 10));
    EXPECT_NE(0u, kivIsBadString(buf, 0));
    EXPECT_EQ(0u, kivIsBadString(buf, 10));
    EXPECT_NE(0u, kivIsBadReadPtr(buf, 0, 0));
    EXPECT_EQ(0u, kivIsBadReadPtr(buf, sizeof buf, 0));
    EXPECT_EQ(0u, kivIsBadWritePtr(buf, sizeof buf, true));
    EXPECT_EQ(0u, kivIsBadWritePtr(buf, sizeof buf, false));
    EXPECT_NE(0u, kivIsBadWritePtr(buf, 0, true));
    const uintptr_t patterns[] = {0, 16, 4095, 0xCCCCCCCCu, 0xDDDDDDDDu};
    for (uintptr_t v : patterns) {
        void* p = reinterpret_cast<void*>(v);
        EXPECT_NE(0u, kivIsBadReadPtr(p, 4, 0)) << v;
        EXPECT_NE(0u, kivIsBadWritePtr(p, 4, true)) << v;
        EXPECT_NE(0u, kivIsBadWritePtr(p, 4, false)) << v;
    }
    /* Constant data can be read but not written. */
    static const char constant[] = "read only";
    EXPECT_EQ(0u, kivIsBadWritePtr(const_cast<char*>(constant), 4, false));
    EXPECT_NE(0u, kivIsBadWritePtr(const_cast<char*>(constant), 4, true));
}

} // namespace

TEST_F(Mem, EachDamagedByteAndGuardUnitIsOneFinding)
{
    ASSERT_EQ(0u, kivMemSetDebug(0, KIVMEM_MODE_FULL, 2, 2));
    void* u = alloc(13);
    std::memset(bytes(u) + 13, 0, 3 + 16); /* slack and both back guard units */
    EXPECT_EQ(0u, kivMemFree(&u, 0, 0, kFile, 60));
    expectReports({"Back Uint8 memory pad corruption found at:",
                   "Back Uint8 memory pad corruption found at:",
                   "Back Uint8 memory pad corruption found at:",
                   "Back pad corruption (0x0) found at:", "Back pad corruption (0x0) found at:"},
                  60);

    ASSERT_EQ(0u, kivMemSetDebug(0, KIVMEM_MODE_LIGHT, 2, 2));
    void* l = alloc(13);
    std::memset(bytes(l) + 13, 0, 3);
    EXPECT_EQ(0u, kivMemFree(&l, 0, 0, kFile, 61));
    expectReports({"Back memory pad corruption found at:", "Back memory pad corruption found at:",
                   "Back memory pad corruption found at:"},
                  61);
}

TEST_F(Mem, DamagedSizesLeaveTheBackAlone)
{
    /* A front record whose size disagrees with the header cannot locate the
     * trailer: one finding, and nothing is read or filled behind the block. */
    ASSERT_EQ(0u, kivMemSetDebug(KIVMEM_DBG_FILL_ON_FREE, KIVMEM_MODE_LIGHT, 2, 2));
    void* l = alloc(13);
    setWord(l, -24, 0x7FFFFFF0u);
    EXPECT_EQ(0u, kivMemAllocCheck(&l, kFile, 80, 0));
    expectReports({"Memory pad size corruption found at:"}, 80);
    release(l, 81);
    expectReports({"Memory pad size corruption found at:"}, 81);

    ASSERT_EQ(0u, kivMemSetDebug(KIVMEM_DBG_FILL_ON_FREE, KIVMEM_MODE_FULL, 2, 2));
    void* f = alloc(13);
    recordOf(f)->requestedSize = 0x7FFFFFF0u;
    release(f, 82);
    expectReports({"Front pad corruption found at:"}, 82);

    /* Pad counts no configuration can produce: the start is unknown, so
     * the block is neither unlinked nor freed. */
    void* g = alloc(13);
    void* copy = g;
    recordOf(g)->frontPadCount = 0x01000000u;
    EXPECT_EQ(0u, kivMemFree(&g, 0, 0, kFile, 83));
    expectReports({"Front pad corruption found at:"}, 83);
    recordOf(copy)->frontPadCount = 2;
    release(copy);
    EXPECT_EQ(0, g_reportCount);
}

TEST_F(Mem, BlocksAreFreedByTheirOwnModeAfterTheModeChanges)
{
    void* idle = alloc(10);
    ASSERT_EQ(0u, kivMemSetDebug(0, KIVMEM_MODE_LIGHT, 2, 2));
    void* light = alloc(10);
    ASSERT_EQ(0u, kivMemSetDebug(0, KIVMEM_MODE_FULL, 2, 2));
    void* full = alloc(10);
    ASSERT_EQ(0u, kivMemSetDebug(0, KIVMEM_MODE_IDLE, 0, 0));
    EXPECT_EQ(10u, kivMemAllocCheck(&full, kFile, 1, 0));
    release(full);
    release(light);
    release(idle);
    EXPECT_EQ(0, g_reportCount);
}

TEST_F(Mem, ChangesMadeThroughTheExportedControlBlockReachTheNextAllocation)
{
    /* Once FULL was chosen at start the block is public: another module
     * may set its flags or mode directly, even after the mode has become
     * IDLE and plain allocations have been made. */
    KivTestTempDir dir;
    configure(dir.path() + ",FULL");
    ASSERT_NE(nullptr, g_pMemDebugCB);
    ASSERT_EQ(0u, kivMemSetDebug(0, KIVMEM_MODE_IDLE, 0, 0));
    release(alloc(8));
    g_pMemDebugCB->debugFlags = KIVMEM_DBG_FILL_ON_ALLOC;
    void* filled = alloc(8);
    for (int i = 0; i < 8; ++i)
        EXPECT_EQ(0xFF, bytes(filled)[i]) << i;
    g_pMemDebugCB->debugFlags = 0;
    g_pMemDebugCB->debugMode = KIVMEM_MODE_LIGHT;
    void* light = alloc(8);
    EXPECT_EQ(KIVMEM_MODE_LIGHT, modeWordOf(light));
    release(light);
    release(filled);
    EXPECT_EQ(0, g_reportCount);
}

TEST_F(Mem, RequestedReportIsWrittenByTheNextAllocationOrFree)
{
    KivTestTempDir dir;
    configure(dir.path() + ",LEAKS");
    void* a = alloc(13, 330);
    g_bDumpMemAllocListFlag = 1;
    void* b = alloc(14, 331); /* reports before it allocates */
    EXPECT_EQ(0, g_bDumpMemAllocListFlag);
    const std::string first = longBanner(dir.path()) + fileLine(a) + kEquals;
    EXPECT_EQ(first, readText(leakFileLong(dir.path())));
    g_bDumpMemAllocListFlag = 1;
    const std::string second = longBanner(dir.path()) + fileLine(b) + fileLine(a) + kEquals;
    release(b); /* reports before it frees */
    EXPECT_EQ(0, g_bDumpMemAllocListFlag);
    EXPECT_EQ(first + second, readText(leakFileLong(dir.path())));
    release(a);
}

TEST_F(Mem, NoLeakReportOutsideFullMode)
{
    KivTestTempDir dir;
    configure(dir.path() + ",IDLE"); /* invalid: IDLE with the path set */
    void* a = alloc(13);
    EXPECT_EQ(0u, kivMemAllocList(true));
    configure(dir.path() + ",LIGHT");
    void* b = alloc(13);
    EXPECT_EQ(0u, kivMemAllocList(true));
    EXPECT_EQ(std::vector<std::string>{"kivememdbg.log"}, filesIn(dir.path()));
    release(a);
    release(b);
}
