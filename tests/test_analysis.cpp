/*
 * test_analysis.cpp - the error analysis: the record it writes after the
 * system error handler's, its header and titles, the target file, the walk
 * down the path, the memory and file-system texts, the memory shortfall,
 * and the failures that select nothing.
 *
 * The records are taken through the log callback, whole: the texts can be
 * longer than a generic capture keeps.
 */
#include "kivecf.h"
#include "kiverror.h"
#include "kivlog.h"
#include "kivos.h"
#include "kivpath.h"
#include "kivsysinfo.h"
#include "kivtest.h"

#include "../core/src/kiverranalysis.h"

#include <cerrno>
#include <cstdio>
#include <algorithm>
#include <cstring>
#include <fstream>
#include <mutex>
#include <string>
#include <sys/stat.h>
#include <vector>

#if !defined(_WIN32)
#  include <unistd.h>
#endif

namespace {

constexpr Uint32 kFn = 0x081A0002u;          /* KIVHFile::open */
constexpr Uint32 kIOAnalysis = 0x081A00ADu;
constexpr Uint32 kMemoryAnalysis = 0x081A00AEu;
constexpr Uint32 kAccess = 0x08140001u;
constexpr Uint32 kStat = 0x0814009Du;
constexpr Uint32 kRead = 0x0814004Bu;
constexpr Uint32 kMalloc = 0x08140020u;
constexpr Uint32 kCreateFile = 0x0814006Du;
constexpr Uint32 kWriteFile = 0x081400A8u;

const char kUserInfo[] = "Real / Effective user and group ID info is N/A on this platform.";
const char kWalkHeading[] =
    "Information of each subdirectory leading up to the first inaccessible one is shown in the "
    "format below :\n   <UID>:<GID>:<permissions> (subdirectories)\n\n";
const char kCannotDescend[] = "\n Cannot descend any further than the above subdirectory.";

struct Item {
    Sint32 type;
    Uint32 size;
    std::string text; /* String items: `size` bytes */
};

struct Record {
    Uint32 functionId, called, value, message, probe, level, flags;
    std::vector<Item> items;
};

std::mutex g_mutex;
std::vector<Record> g_records;

Uint32 capture(KIVLogFac*, Uint32 functionId, Uint32 called, Uint32 value, Uint32 message,
               Uint32 probe, Uint32 level, Uint32 flags, Sint32 count, va_list* items)
{
    Record r{functionId, called, value, message, probe, level, flags, {}};
    const Sint32 n = count < 0 ? __builtin_popcount((Uint32)count & 0x7FFFFFFFu) : count;
    for (Sint32 i = 0; items != nullptr && i < n; ++i) {
        const char* p = static_cast<const char*>(va_arg(*items, const void*));
        Item item{0, 0, {}};
        item.size = va_arg(*items, Uint32);
        item.type = va_arg(*items, Sint32);
        if (item.type == KIVLOG_TYPE_STRING && p != nullptr)
            item.text.assign(p, item.size);
        r.items.push_back(item);
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    g_records.push_back(r);
    return 0;
}

std::vector<Record> records()
{
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_records;
}

class Analysis : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_records.clear();
        kivSetKIVeLogCallback(capture);
    }
    void TearDown() override { kivSetKIVeLogCallback(nullptr); }
};

bool startsWith(const std::string& s, const std::string& prefix)
{
    return s.compare(0, prefix.size(), prefix) == 0;
}

bool endsWith(const std::string& s, const std::string& suffix)
{
    return s.size() >= suffix.size() && s.compare(s.size() - suffix.size(), suffix.size(), suffix) == 0;
}

/* Runs the system error handler for a failed call of `called` with
 * `error`, and returns the analysis record it wrote right after its own,
 * checked for what every analysis record has: `items` String items as
 * long as their texts. */
Record analyse(Uint32 called, Uint32 error, KIVErrorContext& ctx, size_t items,
               Uint32 analysisFn = kIOAnalysis, Uint32* handlerRc = nullptr)
{
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_records.clear();
    }
    const Uint32 rc = kivSystemErrorHandler(kFn, called, error, 30, 5, 0, &ctx, 0);
    if (handlerRc != nullptr)
        *handlerRc = rc;
    const std::vector<Record> r = records();
    EXPECT_EQ(2u, r.size());
    if (r.size() != 2)
        return Record{};
    EXPECT_EQ(kFn, r[0].functionId);
    EXPECT_EQ(analysisFn, r[1].functionId);
    EXPECT_EQ(called, r[1].called);
    EXPECT_EQ(error, r[1].value);
    EXPECT_EQ(0u, r[1].message);
    EXPECT_EQ(100u, r[1].probe);
    EXPECT_EQ(r[0].level, r[1].level);
    EXPECT_EQ((Uint32)KIVLOG_FLAG_SYSERR, r[1].flags);
    EXPECT_EQ(items, r[1].items.size());
    for (const Item& item : r[1].items) {
        EXPECT_EQ(KIVLOG_TYPE_STRING, item.type);
        EXPECT_EQ(std::strlen(item.text.c_str()), item.size);
        EXPECT_GT(item.size, 0u);
    }
    Record a = r[1];
    a.items.resize(std::max(items, a.items.size()));   /* safe to index */
    return a;
}

/* The same for a failure on `path`, which is the whole context. */
Record analysePath(Uint32 called, Uint32 error, const std::string& path, size_t items)
{
    KIVErrorContext ctx;
    ctx.setPath(path.c_str());
    return analyse(called, error, ctx, items);
}

std::string joinPath(const std::string& a, const std::string& b)
{
    return a + KIV_PATH_SEPARATOR + b;
}

/* The walk's line for a directory as the platform sees it, or "" when it
 * cannot be read. */
std::string walkLine(const std::string& prefix)
{
#if defined(_WIN32)
    /* A drive is read as its root directory. */
    const std::string asked = prefix.size() == 2 && prefix[1] == ':' ? prefix + "\\" : prefix;
    struct _stat64 st;
    if (_stat64(asked.c_str(), &st) != 0)
        return std::string();
#else
    struct stat st;
    if (stat(prefix.c_str(), &st) != 0)
        return std::string();
#endif
    size_t last = prefix.find_last_of("\\/");
    std::string name = last == std::string::npos ? prefix : prefix.substr(last + 1);
    char line[600];
    std::snprintf(line, sizeof line, "   %u:%u:%o (%s)\n", (unsigned)st.st_uid, (unsigned)st.st_gid,
                  (unsigned)(st.st_mode & 0xFFF), name.c_str());
    return line;
}

/* The walk text expected for `path`: a line per prefix while the text
 * stays under 672 characters, up to the first prefix that cannot be read,
 * whose sentence is cut to fit. */
std::string expectedWalk(const std::string& path)
{
    std::string text = kWalkHeading;
    for (size_t i = 1; i <= path.size(); ++i) {
        if (i < path.size() && path[i] != '\\' && path[i] != '/')
            continue;
        const std::string line = walkLine(path.substr(0, i));
        if (line.empty())
            return (text + kCannotDescend).substr(0, 671);
        if (text.size() + line.size() < 672)
            text += line;
    }
    return text;
}

std::string header(Uint32 count, const char* titles)
{
    return "A total of " + std::to_string(count) + " analysis will be performed :\n" + titles;
}

} // namespace

/* ---- what selects nothing -------------------------------------------------------- */

TEST_F(Analysis, ACreateFileFailureWithWindowsErrorTwoWritesNoAnalysis)
{
    KIVErrorContext ctx;
    ctx.setPath("C:\\no\\such\\file");
    Uint32 x = 1;
    EXPECT_EQ(ECF_FILE_DOESNT_EXIST,
              kivSystemErrorHandler(kFn, kCreateFile, 2, 280, 5, 0, &ctx, 1, KIVLOG_UINT(x)));
    const std::vector<Record> r = records();
    ASSERT_EQ(1u, r.size());
    EXPECT_EQ(kFn, r[0].functionId);

    /* The general analysis knows error 12 only. */
    KIVErrorAnalysisRequest request;
    request.kind = 0;
    request.systemError = 13;
    kivErrorAnalysis(&request);
    request.kind = 7;
    kivErrorAnalysis(&request);
    EXPECT_EQ(1u, records().size());
}

/* ---- memory ---------------------------------------------------------------------- */

TEST_F(Analysis, AFailedMemoryRequestAnnouncesFiveAndLogsTheMemoryTexts)
{
    KIVErrorContext ctx;
    ctx.setRequestSize(4096);
    const Record a = analyse(kMalloc, 12, ctx, 4, kMemoryAnalysis);
    EXPECT_EQ(header(5, " - ulimit info\n - Memory info\n"), a.items[0].text);
    KIVMemInfo mem;
    ASSERT_EQ(0u, kivGetPhysMemInfo(&mem));
    EXPECT_TRUE(startsWith(a.items[1].text, "System RAM information (in megabytes) :\n"
                                            "  Total       = " +
                                                std::to_string(mem.total.value) + "\n"))
        << a.items[1].text;
    EXPECT_TRUE(startsWith(a.items[2].text, "Swap space information (in megabytes) :\n"));
    EXPECT_TRUE(startsWith(a.items[3].text, "Virtual Memory Information (in megabytes) :\n"));
}

TEST_F(Analysis, ARequestBeyondTheFreeVirtualMemoryAddsTheFifthText)
{
    KIVVirtMemInfo virt;
    ASSERT_EQ(ECF_PARTIAL_INFO, kivGetVirtualMemInfo(&virt));
    /* Whether 4 GB exceed what is free depends on the machine. */
    const bool short4G = ((Uint64)virt.free.value << 20) < 0xFFFFFFFFull;
    KIVErrorContext ctx;
    ctx.setRequestSize(0xFFFFFFFFu);
    const Record a = analyse(kMalloc, 12, ctx, short4G ? 5 : 4, kMemoryAnalysis);
    if (short4G) {
        EXPECT_TRUE(startsWith(a.items[4].text, "Attempt to allocate 4294967295 bytes when only "));
        EXPECT_TRUE(endsWith(a.items[4].text, " bytes is available."));
    }
}

TEST(AnalysisShortfall, ComparesInSixtyFourBits)
{
    char text[100];
    EXPECT_EQ(0u, kivErrorMemoryShortfall(4096, 0xFFFFFFFFu, text, sizeof text)); /* 2^32 */
    const Uint32 n = kivErrorMemoryShortfall(4095, 0xFFFFFFFFu, text, sizeof text);
    EXPECT_STREQ("Attempt to allocate 4294967295 bytes when only 4293918720 bytes is available.",
                 text);
    EXPECT_EQ(std::strlen(text), n);
    EXPECT_EQ(0u, kivErrorMemoryShortfall(1, 1u << 20, text, sizeof text)); /* exactly fits */
    EXPECT_NE(0u, kivErrorMemoryShortfall(1, (1u << 20) + 1, text, sizeof text));
    EXPECT_NE(0u, kivErrorMemoryShortfall(0, 1, text, sizeof text));
    EXPECT_STREQ("Attempt to allocate 1 bytes when only 0 bytes is available.", text);
}

TEST_F(Analysis, TheGeneralAnalysisOfErrorTwelveIsTheMemoryAnalysis)
{
    KIVErrorAnalysisRequest request;
    request.systemFunctionId = kMalloc;
    request.systemError = 12;
    request.level = 3;
    EXPECT_EQ(0u, kivErrorAnalysis(&request));
    const std::vector<Record> r = records();
    ASSERT_EQ(1u, r.size());
    EXPECT_EQ(kMemoryAnalysis, r[0].functionId);
    EXPECT_EQ(3u, r[0].level);
    /* No memory block: no request to compare with the free memory. */
    EXPECT_EQ(4u, r[0].items.size());
}

/* ---- the walk down the path ---------------------------------------------------------- */

/* As the super-user every directory can be read, so the first directory
 * that cannot be read is made here by a name that does not exist. */
TEST_F(Analysis, AnAccessFailureWalksThePathUpToTheFirstDirectoryThatCannotBeRead)
{
    KivTestTempDir dir;
    const std::string path = joinPath(joinPath(dir.path(), "missing"), "file");
    KIVErrorContext ctx;
    ctx.setPath(path.c_str());
    Uint32 rc = 0;
    const Record a = analyse(kAccess, 13, ctx, 3, kIOAnalysis, &rc);
    EXPECT_EQ(ECF_ACCESS_DENIED, rc);
    EXPECT_EQ(header(2, " - User info\n - Path access permission\n") + "\n Target file = " + path +
                  "\n",
              a.items[0].text);
    EXPECT_EQ(kUserInfo, a.items[1].text);
    const std::string& walk = a.items[2].text;
    EXPECT_EQ(expectedWalk(path), walk);
    EXPECT_TRUE(endsWith(walk, kCannotDescend)) << walk;
    /* The temporary directory itself was read, and nothing below "missing". */
    EXPECT_NE(std::string::npos, walk.find(walkLine(dir.path())));
    EXPECT_EQ(std::string::npos, walk.find("(missing)"));
}

TEST_F(Analysis, APathWhoseSecondDirectoryCannotBeReadGivesOneLine)
{
    /* The first directory of the temporary directory's path, and a name
     * beside nothing below it. */
    KivTestTempDir dir;
    const std::string& t = dir.path();
    const size_t second = t.find_first_of("\\/", 1);
    ASSERT_NE(std::string::npos, second);
    const std::string first = t.substr(0, second);
    if (walkLine(first).empty())
        GTEST_SKIP() << first << " cannot be read as a directory here";
    const std::string path = joinPath(joinPath(first, kivtestUniqueName("absent")), "x");
    const Record a = analysePath(kStat, 1, path, 3);
    EXPECT_EQ(std::string(kWalkHeading) + walkLine(first) + kCannotDescend, a.items[2].text);
}

TEST_F(Analysis, AWalkDownAReadablePathEndsWithTheTarget)
{
    /* Error 20 of a path call adds the target file to the walk. */
    KivTestTempDir dir;
    const std::string file = dir.file("target.txt");
    std::ofstream(file) << "12345";
    const Record a = analysePath(kStat, 20, file, 4);
    EXPECT_EQ(header(3, " - User info\n - Target file info\n - Path access permission\n") +
                  "\n Target file = " + file + "\n",
              a.items[0].text);
    EXPECT_EQ(kUserInfo, a.items[1].text);
    EXPECT_TRUE(startsWith(a.items[2].text,
                           "Target File Information :\n  Size               = 5\n"))
        << a.items[2].text;
    EXPECT_EQ(expectedWalk(file), a.items[3].text);
    EXPECT_TRUE(endsWith(a.items[3].text, walkLine(file)));
}

TEST_F(Analysis, TheWalkTextStaysWithinItsSize)
{
    /* More directories than lines fit: the lines that no longer fit are
     * left out, and the text ends within 671 characters. */
    KivTestTempDir dir;
    std::string path = dir.path();
    while (path.size() < 230) {
        path = joinPath(path, "d");
        ASSERT_TRUE(CreateDirectoryA(path.c_str(), nullptr)) << path;
    }
    const std::string target = joinPath(path, "gone");
    const std::string walk = analysePath(kAccess, 13, target, 3).items[2].text;
    EXPECT_LE(walk.size(), 671u);
    EXPECT_EQ(expectedWalk(target), walk);
    EXPECT_TRUE(startsWith(walk, kWalkHeading));
}

/* ---- the target file ------------------------------------------------------------- */

TEST_F(Analysis, ATransferFailureNamesTheTargetByItsHandle)
{
    KivTestTempDir dir;
    const std::string file = dir.file("data.bin");
    std::ofstream(file) << "abcdefgh";
    HANDLE h = CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    const Uint32 handle = (Uint32)(uintptr_t)h;
    const std::string titles = header(3, " - User info\n - Target file info\n - I/O attempt\n");
    const std::string ioAttempt = "I/O attempt not implemented yet.\n";

    KIVErrorContext ctx;
    ctx.setFileHandle(handle);
    ctx.setByteCount(8);
    Record a = analyse(kRead, 5, ctx, 4);
    CloseHandle(h);
    EXPECT_EQ(titles + "\n Target file handle = " + std::to_string((int)handle) + "\n",
              a.items[0].text);
    EXPECT_TRUE(startsWith(a.items[2].text,
                           "Target File Information :\n  Size               = 8\n"))
        << a.items[2].text;
    EXPECT_EQ(ioAttempt, a.items[3].text);

    /* A handle that names nothing: the file's text is left out. */
    KIVErrorContext stale;
    stale.setFileHandle(0x7FFFFFF0u);
    a = analyse(kRead, 5, stale, 3);
    EXPECT_EQ(kUserInfo, a.items[1].text);
    EXPECT_EQ(ioAttempt, a.items[2].text);

    /* An I/O failure without path or handle has no target texts. */
    KIVErrorContext none;
    none.setByteCount(8);
    EXPECT_EQ(titles, analyse(kRead, 5, none, 3).items[0].text);
}

/* ---- the file system ------------------------------------------------------------- */

TEST_F(Analysis, AFullDiskAddsTheFileSystemOfTheTarget)
{
    KivTestTempDir dir;
    const std::string file = dir.file("big.dat");
    std::ofstream(file) << "x";
    const Record a = analysePath(kWriteFile, 28, file, 4);
    EXPECT_EQ(header(4, " - User info\n - ulimit info\n - Target file info\n - File system\n") +
                  "\n Target file = " + file + "\n",
              a.items[0].text);
    EXPECT_TRUE(startsWith(a.items[2].text, "Target File Information :\n"));
    const std::string& fs = a.items[3].text;
    EXPECT_TRUE(startsWith(fs, "File System Information of the target file :\n"
                               "  Block size        = -1 bytes\n"))
        << fs;
    KIVDiskInfoParam p;
    p.path = file.c_str();
    KIVDiskInfo d;
    ASSERT_EQ(ECF_PARTIAL_INFO, kivGetDiskInfo(&p, &d));
    EXPECT_NE(std::string::npos,
              fs.find("  Total size        = " + std::to_string(d.totalSize.value) + " bytes\n"))
        << fs;
    EXPECT_NE(std::string::npos, fs.find(std::string("  FS type name      = ") +
                                         std::string(d.fsTypeName.value).substr(0, 10) + "\n"));
}

/* ---- a failed operation of the library ------------------------------------------------ */

#if !defined(_WIN32)
/* Reads the information of argv[0] after taking the identity of nobody
 * when run as the super-user, and checks the two records the failure
 * leaves.  Exit 0: as expected; 77: the identity could not be changed. */
KIVTEST_CHILD(analysisOfARefusedFileQuery)
{
    const std::string path = args.at(0);
    const std::string lockedName = args.at(1);
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
        return 77;
    kivSetKIVeLogCallback(capture);
    KIVFileGetInfoParam param;
    param.path = path.c_str();
    KIVFileInfo info;
    const Uint32 rc = kivFileGetInfoV9(&param, &info);
    kivSetKIVeLogCallback(nullptr);
    const std::vector<Record> r = records();
    auto failWith = [&](int code, const std::string& why) {
        std::fprintf(stderr, "analysis child: %s (rc 0x%X, %u records)\n", why.c_str(), rc,
                     (unsigned)r.size());
        for (const Record& rec : r)
            for (const Item& item : rec.items)
                std::fprintf(stderr, "  item: %s\n", item.text.c_str());
        return code;
    };
    if (rc != ECF_UNKNOWN && rc != ECF_ACCESS_DENIED)
        return failWith(2, "the query did not fail with the mapped access error");
    if (r.size() != 2)
        return failWith(3, "not two records");
    if (r[0].functionId != KIVFN_KIVGETFILEINFO || r[0].called != kStat || r[0].value != 13 ||
        r[0].probe != 30)
        return failWith(4, "the first record is not the handler's");
    if (r[1].functionId != kIOAnalysis || r[1].probe != 100 || r[1].called != kStat ||
        r[1].value != 13 || r[1].items.size() != 3)
        return failWith(5, "the second record is not the analysis");
    const std::string& walk = r[1].items[2].text;
    const std::string lockedLine = "(" + lockedName + ")\n";
    if (walk.find(lockedLine) == std::string::npos || !endsWith(walk, kCannotDescend) ||
        walk.find("(inner)") != std::string::npos)
        return failWith(6, "the walk does not stop below the locked directory");
    if (walk != expectedWalk(path))
        return failWith(7, "the walk lines differ from the directories' own");
    return 0;
}
#endif

TEST_F(Analysis, ARefusedFileQueryIsFollowedByTheWalkThatStopsAtTheLockedDirectory)
{
#if defined(_WIN32)
    GTEST_SKIP() << "needs a POSIX identity without rights on a directory";
#else
    KivTestTempDir dir;
    const std::string open = joinPath(dir.path(), "open");
    const std::string locked = joinPath(open, "locked");
    const std::string inner = joinPath(locked, "inner");
    ASSERT_EQ(0, chmod(dir.path().c_str(), 0755));
    ASSERT_EQ(0, mkdir(open.c_str(), 0755));
    ASSERT_EQ(0, mkdir(locked.c_str(), 0700));
    ASSERT_EQ(0, mkdir(inner.c_str(), 0755));
    /* Another user may not search the locked directory; its owner, unless
     * the super-user, may not either once every bit is gone. */
    if (geteuid() != 0) {
        ASSERT_EQ(0, chmod(locked.c_str(), 0));
    }
    const int rc = kivtestRunChild("analysisOfARefusedFileQuery",
                                   {joinPath(inner, "file"), "locked"});
    chmod(locked.c_str(), 0755);
    if (rc == 77)
        GTEST_SKIP() << "the identity of nobody could not be taken";
    EXPECT_EQ(0, rc);
#endif
}
