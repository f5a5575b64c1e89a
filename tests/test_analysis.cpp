/* test_analysis.cpp - the error analysis record written after the system error
 * handler's: titles, target, path walk, memory and file-system texts, memory
 * shortfall, failures selecting nothing. Records are taken whole via the callback. */
#include "kivecf.h"
#include "kiverror.h"
#include "kivlog.h"
#include "kivos.h"
#include "kivpath.h"
#include "kivsysinfo.h"
#include "kivtest.h"

#include "../core/src/kiverranalysis.h"

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

struct Item { Uint32 size; Sint32 type; std::string text; /* String items: `size` bytes */ };
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
        Item item{va_arg(*items, Uint32), va_arg(*items, Sint32), {}}; /* in order */
        if (item.type == KIVLOG_TYPE_STRING && p != nullptr)
            item.text.assign(p, item.size);
        r.items.push_back(item);
    }
    std::lock_guard<std::mutex> lock(g_mutex);
    g_records.push_back(r);
    return 0;
}

std::vector<Record> records(bool clear = false)
{
    std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<Record> r = g_records;
    if (clear)
        g_records.clear();
    return r;
}

class Analysis : public ::testing::Test {
protected:
    void SetUp() override
    {
        records(true);
        kivSetKIVeLogCallback(capture);
    }
    void TearDown() override { kivSetKIVeLogCallback(nullptr); }
};

bool startsWith(const std::string& s, const std::string& p)
{
    return s.compare(0, p.size(), p) == 0;
}
bool endsWith(const std::string& s, const std::string& x)
{
    return s.size() >= x.size() && s.compare(s.size() - x.size(), x.size(), x) == 0;
}

/* Runs the system error handler for `called` failing with `error`; returns
 * the analysis record after its own, checked to hold `items` String items. */
Record analyse(Uint32 called, Uint32 error, KIVErrorContext& ctx, size_t items,
               Uint32 analysisFn = kIOAnalysis, Uint32* handlerRc = nullptr)
{
    records(true);
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

/* The walk's line for a directory, or "" when it cannot be read. */
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

/* The walk expected for `path`: a line per prefix while under 672
 * characters, up to the first unreadable one, the sentence cut to fit. */
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

std::string header(Uint32 count, const char* titles, const std::string& target = "")
{
    return "A total of " + std::to_string(count) + " analysis will be performed :\n" + titles +
           (target.empty() ? "" : "\n Target " + target + "\n");
}

} // namespace

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

TEST(AnalysisShortfall, ComparesInSixtyFourBits)
{
    char text[100];
    EXPECT_EQ(0u, kivErrorMemoryShortfall(4096, 0xFFFFFFFFu, text, sizeof text)); /* 2^32 */
    const Uint32 n = kivErrorMemoryShortfall(4095, 0xFFFFFFFFu, text, sizeof text);
    EXPECT_STREQ("Attempt to allocate 4294967295 bytes when only 4293918720 bytes is available.",
                 text);
    EXPECT_EQ(std::strlen(text), n);
    EXPECT_EQ(0u, kivErrorMemoryShortfall(1, 1u << 20, text, sizeof text)); /* exactly fits */
    EXPECT_NE(0u, kivErrorMemoryShortfall(0, 1, text, sizeof text));
    EXPECT_STREQ("Attempt to allocate 1 bytes when only 0 bytes is available.", text);
}

/* The super-user reads every directory: the unreadable one is a missing name. */
TEST_F(Analysis, AnAccessFailureWalksThePathUpToTheFirstDirectoryThatCannotBeRead)
{
    KivTestTempDir dir;
    const std::string path = joinPath(joinPath(dir.path(), "missing"), "file");
    KIVErrorContext ctx;
    ctx.setPath(path.c_str());
    Uint32 rc = 0;
    const Record a = analyse(kAccess, 13, ctx, 3, kIOAnalysis, &rc);
    EXPECT_EQ(ECF_ACCESS_DENIED, rc);
    EXPECT_EQ(header(2, " - User info\n - Path access permission\n", "file = " + path),
              a.items[0].text);
    EXPECT_EQ(kUserInfo, a.items[1].text);
    const std::string& walk = a.items[2].text;
    EXPECT_EQ(expectedWalk(path), walk);
    EXPECT_TRUE(endsWith(walk, kCannotDescend)) << walk;
    EXPECT_NE(std::string::npos, walk.find(walkLine(dir.path())));
    EXPECT_EQ(std::string::npos, walk.find("(missing)"));
}

TEST_F(Analysis, TheWalkTextStaysWithinItsSize)
{
    /* More directories than lines fit: the text ends within 671 characters. */
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
}

TEST_F(Analysis, ATransferFailureNamesTheTargetByItsHandle)
{
    KivTestTempDir dir;
    const std::string file = dir.file("data.bin");
    std::ofstream(file) << "abcdefgh";
    HANDLE h = CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    const Uint32 handle = (Uint32)(uintptr_t)h;
    KIVErrorContext ctx;
    ctx.setFileHandle(handle);
    ctx.setByteCount(8);
    const Record a = analyse(kRead, 5, ctx, 4);
    CloseHandle(h);
    EXPECT_EQ(header(3, " - User info\n - Target file info\n - I/O attempt\n",
                     "file handle = " + std::to_string((int)handle)),
              a.items[0].text);
    EXPECT_TRUE(startsWith(a.items[2].text,
                           "Target File Information :\n  Size               = 8\n"))
        << a.items[2].text;
    EXPECT_EQ("I/O attempt not implemented yet.\n", a.items[3].text);
}

TEST_F(Analysis, AFullDiskAddsTheFileSystemOfTheTarget)
{
    KivTestTempDir dir;
    const std::string file = dir.file("big.dat");
    std::ofstream(file) << "x";
    const Record a = analysePath(kWriteFile, 28, file, 4);
    EXPECT_EQ(header(4, " - User info\n - ulimit info\n - Target file info\n - File system\n",
                     "file = " + file),
              a.items[0].text);
    EXPECT_TRUE(startsWith(a.items[2].text, "Target File Information :\n"));
    const std::string& fs = a.items[3].text;
    EXPECT_TRUE(startsWith(fs, "File System Information of the target file :\n"
                               "  Block size        = -1 bytes\n"))
        << fs;
}

#if !defined(_WIN32)
/* Queries args[0] as nobody (when root) and checks the two records left.
 * Exit 0: as expected; 77: the identity could not be changed. */
KIVTEST_CHILD(analysisOfARefusedFileQuery)
{
    const std::string path = args.at(0), lockedName = args.at(1);
    if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
        return 77;
    kivSetKIVeLogCallback(capture);
    KIVFileGetInfoParam param;
    param.path = path.c_str();
    KIVFileInfo info;
    const Uint32 rc = kivFileGetInfoV9(&param, &info);
    kivSetKIVeLogCallback(nullptr);
    const std::vector<Record> r = records();
    auto failWith = [&](int code, const char* why) {
        std::fprintf(stderr, "child: %s (rc 0x%X, %u records)\n", why, rc, (unsigned)r.size());
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
    if (walk.find("(" + lockedName + ")\n") == std::string::npos ||
        !endsWith(walk, kCannotDescend) || walk.find("(inner)") != std::string::npos)
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
    const std::string open = joinPath(dir.path(), "open"), locked = joinPath(open, "locked");
    const std::string inner = joinPath(locked, "inner");
    ASSERT_EQ(0, chmod(dir.path().c_str(), 0755));
    ASSERT_EQ(0, mkdir(open.c_str(), 0755));
    ASSERT_EQ(0, mkdir(locked.c_str(), 0700));
    ASSERT_EQ(0, mkdir(inner.c_str(), 0755));
    /* Another user may not search the locked directory; its owner, unless
     * the super-user, may not either once every bit is gone. */
    if (geteuid() != 0) { ASSERT_EQ(0, chmod(locked.c_str(), 0)); }
    const int rc = kivtestRunChild("analysisOfARefusedFileQuery",
                                   {joinPath(inner, "file"), "locked"});
    chmod(locked.c_str(), 0755);
    if (rc == 77)
        GTEST_SKIP() << "the identity of nobody could not be taken";
    EXPECT_EQ(0, rc);
#endif
}
