/*
 * test_log.cpp - the diagnostic log: facilities, level filter, callback, the
 * exact text of records, the file destination, the blank-padded comparison.
 */
#include "kivecf.h"
#include "kivfile.h"
#include "kivlog.h"
#include "kivprocess.h"
#include "kivstrpads.h"
#include "kivtest.h"
#include "kivtestlog.h"
#include "kivthread.h"

#include <cstdio>
#include <cstring>
#include <functional>
#include <regex>
#include <string>
#include <vector>

#if defined(_WIN32)
#  include <fcntl.h>
#  include <io.h>
#  include <sys/stat.h>
#else
#  include <fcntl.h>
#  include <unistd.h>
#endif

namespace {

constexpr Uint32 kFn = 0x081A0002u;      /* KIVHFile::open */
constexpr Uint32 kOsCreateFile = 0x0814006Du;

/* ---- helpers ---------------------------------------------------------- */

/* Sends the standard error stream (descriptor 2, in binary mode) into a
 * file until finish(). */
class StderrCapture {
public:
    explicit StderrCapture(const std::string& path) : path_(path)
    {
        std::fflush(stderr);
#if defined(_WIN32)
        saved_ = _dup(2);
        int fd = _open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY,
                       _S_IREAD | _S_IWRITE);
        _dup2(fd, 2);
        _close(fd);
        _setmode(2, _O_BINARY);
#else
        saved_ = dup(2);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(fd, 2);
        close(fd);
#endif
    }
    ~StderrCapture() { finish(); }

    std::string finish()
    {
        if (saved_ >= 0) {
            std::fflush(stderr);
#if defined(_WIN32)
            _dup2(saved_, 2);
            _close(saved_);
#else
            dup2(saved_, 2);
            close(saved_);
#endif
            saved_ = -1;
        }
        return kivtestReadFile(path_);
    }

private:
    std::string path_;
    int saved_ = -1;
};

/* What `call` writes to standard error. */
std::string stderrOf(const std::function<void()>& call)
{
    KivTestTempDir dir;
    StderrCapture capture(dir.file("stderr.txt"));
    call();
    return capture.finish();
}

std::vector<std::string> linesOf(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    for (;;) {
        size_t end = text.find("\r\n", start);
        if (end == std::string::npos) {
            lines.push_back(text.substr(start));
            return lines;
        }
        lines.push_back(text.substr(start, end - start));
        start = end + 2;
    }
}

std::string orEmpty(const char* s) { return s ? s : ""; }

Uint32 openFacility(KIVLogFac* fac, Uint32 destination, Uint32 level,
                    const std::string& fileName = std::string())
{
    KIVLogFacParam p;
    std::snprintf(p.fileName, sizeof p.fileName, "%s", fileName.c_str());
    std::snprintf(p.name, sizeof p.name, "%s", "kivtest");
    p.level = level;
    p.destination = destination;
    p.permissions = 0644;
    return kivLogFacOpen(&p, fac);
}

/* Every test starts without callback and with the default facility closed,
 * and has a facility of its own on standard error at level 5. */
class Log : public ::testing::Test {
protected:
    void SetUp() override
    {
        kivSetKIVeLogCallback(nullptr);
        kivLogFacClose(nullptr);
        ASSERT_EQ(0u, openFacility(&fac_, KIVLOG_DEST_STDERR, KIVLOG_INFO));
    }
    void TearDown() override
    {
        kivSetKIVeLogCallback(nullptr);
        kivLogFacClose(nullptr);
    }

    /* The record a call writes through fac_, checking that it succeeded. */
    std::string record(const std::function<Uint32(KIVLogFac*)>& call)
    {
        Uint32 rc = 1;
        std::string text = stderrOf([&] { rc = call(&fac_); });
        EXPECT_EQ(0u, rc);
        return text;
    }

    /* The item part of a kivLog record without message code. */
    std::string items(const std::function<Uint32(KIVLogFac*)>& call)
    {
        std::string text = record(call);
        size_t fn = text.find("\r\nFUNCTION: ");
        if (fn == std::string::npos)
            return "<no record>";
        return text.substr(text.find("\r\n", fn + 2) + 2);
    }

    /* The item part of kivLog(fac_, kFn, 0, 1, 5, count, items...). */
    template <class... A> std::string itemsOf(Sint32 count, A... a)
    {
        return items([&](KIVLogFac* f) { return kivLog(f, kFn, 0, 1, 5, count, a...); });
    }

    KIVLogFac fac_{};
};

/* ---- facilities --------------------------------------------------------- */

TEST_F(Log, FacilityOpenRefusesInvalidDescriptions)
{
    KIVLogFac fac{};
    EXPECT_EQ(ECF_INVALID_PARAMETER, kivLogFacOpen(nullptr, &fac));
    const Uint32 bad = ECF_INVALID_PARAMETER, file = KIVLOG_DEST_FILE;
    const struct {
        Uint32      version, destination, level;
        const char* fileName;
        const char* name;
        Uint32      rc;
    } cases[] = {
        {KIV_VERSION_MIN - 1, file, 5, "x.log", "source", bad},
        {KIV_VERSION_MIN, file, 5, "x.log", "source", 0},
        {KIV_VERSION_CURRENT, 0, 5, "x.log", "source", bad},
        {KIV_VERSION_CURRENT, 8, 5, "x.log", "source", bad},
        {KIV_VERSION_CURRENT, file, 7, "x.log", "source", bad},
        {KIV_VERSION_CURRENT, file, 6, "x.log", "source", 0},
        {KIV_VERSION_CURRENT, file, 5, "", "source", bad},
        // The file name matters only for files.
        {KIV_VERSION_CURRENT, KIVLOG_DEST_STDERR, 5, "", "source", 0},
        {KIV_VERSION_CURRENT, file, 5, "x.log", "", bad},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.version) + " " + std::to_string(c.destination) + " " +
                     std::to_string(c.level) + " '" + c.fileName + "' '" + c.name + "'");
        KIVLogFacParam p;
        p.version = c.version;
        p.destination = c.destination;
        p.level = c.level;
        std::strcpy(p.fileName, c.fileName);
        std::strcpy(p.name, c.name);
        EXPECT_EQ(c.rc, kivLogFacOpen(&p, &fac));
    }
}

TEST_F(Log, ClosedFacilitiesWriteNothing)
{
    /* The default facility is never opened by the library itself. */
    std::string out = stderrOf([] {
        EXPECT_EQ(ECF_INVALID_PARAMETER, kivLog(nullptr, kFn, 0, 10, 5, 0));
        EXPECT_EQ(ECF_INVALID_PARAMETER, kivLogRC(nullptr, kFn, kFn, 0, 0, 10, 5, 0));
        EXPECT_EQ(ECF_INVALID_PARAMETER, kivLogSysRC(nullptr, kFn, kOsCreateFile, 2, 0, 10, 5, 0));
    });
    EXPECT_EQ("", out);
    EXPECT_EQ(0u, kivLogDefaultFacility()->open);

    /* A negative count is refused before the callback sees it. */
    kivSetKIVeLogCallback([](KIVLogFac*, Uint32, Uint32, Uint32, Uint32, Uint32, Uint32, Uint32,
                             Sint32, va_list*) -> Uint32 { return 0x1234u; });
    out = stderrOf([&] { EXPECT_EQ(ECF_INVALID_PARAMETER, kivLog(&fac_, kFn, 0, 10, 5, -1)); });
    EXPECT_EQ("", out);
    kivSetKIVeLogCallback(nullptr);

    EXPECT_EQ(0u, kivLogFacClose(&fac_));
    EXPECT_EQ(ECF_INVALID_PARAMETER, kivLogFacSetLevel(&fac_, 5));
    out = stderrOf([&] { EXPECT_EQ(ECF_INVALID_PARAMETER, kivLog(&fac_, kFn, 0, 10, 5, 0)); });
    EXPECT_EQ("", out);
    /* Closing keeps the settings. */
    EXPECT_EQ(KIVLOG_DEST_STDERR, fac_.destination);
    EXPECT_EQ(KIVLOG_INFO, fac_.level);
}

TEST_F(Log, DefaultFacilityIsTheNullPointer)
{
    ASSERT_EQ(0u, openFacility(nullptr, KIVLOG_DEST_STDERR, 5));
    EXPECT_EQ(1u, kivLogDefaultFacility()->open);
    EXPECT_EQ(0u, kivLogFacSetLevel(nullptr, 9)); /* stored without a range check */
    EXPECT_EQ(9u, kivLogDefaultFacility()->level);
    std::string out = stderrOf([] { EXPECT_EQ(0u, kivLog(nullptr, kFn, 0, 10, 5, 0)); });
    EXPECT_NE(std::string::npos, out.find("probe:10\r\n"));
}

/* ---- level filter --------------------------------------------------------- */

TEST_F(Log, LevelFilter)
{
    /* Up to the threshold, events always, level 0 never. */
    const struct {
        Uint32 threshold, level;
        bool written;
    } cases[] = {
        {3, 3, true},  {3, 4, false}, {3, 6, true},  {3, 0, false}, {5, 7, false},
        {6, 5, false}, {0, 6, true},  {0, 1, false}, {9, 7, true},
    };
    for (const auto& c : cases) {
        fac_.level = c.threshold;
        Uint32 rc = 1;
        std::string out = stderrOf([&] { rc = kivLog(&fac_, kFn, 0, 10, c.level, 0); });
        EXPECT_EQ(0u, rc) << c.threshold << "/" << c.level;
        EXPECT_EQ(c.written, !out.empty()) << "threshold " << c.threshold << " level " << c.level;
    }
}

/* ---- callback ------------------------------------------------------------- */

TEST_F(Log, CallbackTakesEveryCallUnformattedWithItsFlags)
{
    Uint32 a = 11, b = 22;
    std::vector<KivLogRecord> got;
    std::string out = stderrOf([&] {
        KivLogCapture log;
        /* The default facility is closed: the callback does not care. */
        EXPECT_EQ(0u, kivLog(nullptr, kFn, 0x9000001Au, 10, 2, 2, KIVLOG_UINT(a), KIVLOG_UINT(b)));
        EXPECT_EQ(0u, kivLogRC(&fac_, kFn, 0x081A0058u, 0x9000000Du, 7, 20, 0, 1, KIVLOG_UINT(a)));
        EXPECT_EQ(0u, kivLogRC(&fac_, kFn, 0x081A0058u, 0, 0, 30, 5, 0));
        EXPECT_EQ(0u, kivLogSysRC(&fac_, kFn, kOsCreateFile, 2, 0, 50, 9, 1, KIVLOG_UINT(a)));
        got = log.all();
    });
    EXPECT_EQ("", out);

    /* Level never turned into 3 nor filtered; flags; readable items. */
    ASSERT_EQ(4u, got.size());
    EXPECT_EQ(0x081A0058u, got[1].calledFunctionId);
    EXPECT_EQ(0x9000000Du, got[1].calledValue);
    EXPECT_EQ(7u, got[1].messageCode);
    const struct {
        Uint32              level, flags;
        bool                noItems;
        std::vector<Uint64> values;
    } expected[] = {
        {2, KIVLOG_FLAG_KIVLOG, false, {11, 22}},
        {0, 0, false, {11}},
        {5, KIVLOG_FLAG_ARGMASK, true, {}},
        {9, KIVLOG_FLAG_SYSERR, false, {11}},
    };
    for (size_t i = 0; i < 4; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(expected[i].level, got[i].level);
        EXPECT_EQ(expected[i].flags, got[i].flags);
        EXPECT_EQ(expected[i].noItems, got[i].noItemList);
        EXPECT_EQ(expected[i].values, got[i].scalars());
    }

    /* The callback gets the facility, and its answer is the caller's. */
    static KIVLogFac* seen = nullptr;
    kivSetKIVeLogCallback([](KIVLogFac* f, Uint32, Uint32, Uint32, Uint32, Uint32, Uint32, Uint32,
                             Sint32, va_list*) -> Uint32 {
        seen = f;
        return 0x1234u;
    });
    EXPECT_EQ(0x1234u, kivLogSysRC(&fac_, kFn, kOsCreateFile, 2, 0, 60, 5, 0));
    EXPECT_EQ(&fac_, seen);
}

/* ---- header --------------------------------------------------------------- */

TEST_F(Log, HeaderLines)
{
    std::string text = record([](KIVLogFac* f) { return kivLog(f, kFn, 0x9000001Au, 280, 5, 0); });
    ASSERT_EQ(0u, text.find("\r\n"));
    std::vector<std::string> lines = linesOf(text);
    ASSERT_EQ(6u, lines.size()) << text;
    EXPECT_EQ("", lines[0]);
    /* Time stamp (microseconds from milliseconds), zone in minutes east of
     * UTC, in 23 columns. */
    EXPECT_TRUE(std::regex_match(lines[1],
                                 std::regex("\\d{4}-\\d{2}-\\d{2}-\\d{2}\\.\\d{2}\\.\\d{2}\\."
                                            "\\d{3}000[+-]\\d{3} {19} LEVEL: Info")))
        << lines[1];

    char pid[64];
    std::snprintf(pid, sizeof pid, "PID     : %-21luTID : %llu", (unsigned long)kivProcessID(),
                  (unsigned long long)kivThreadID());
    EXPECT_EQ(pid, lines[2]);
    EXPECT_EQ("FUNCTION: " + orEmpty(ecfGetProductName(kFn)) + ", KIVe, KIVHFile::open, probe:280",
              lines[3]);
    EXPECT_EQ("MESSAGE : ECF=0x9000001A File doesn't exist", lines[4]);
    EXPECT_EQ("", lines[5]); /* the record ends with its line end */

    /* No message line for code 0, and names that are missing print empty. */
    text = record([](KIVLogFac* f) { return kivLog(f, 0x20000001u, 0, 7, 5, 0); });
    lines = linesOf(text);
    ASSERT_EQ(5u, lines.size()) << text;
    EXPECT_EQ("FUNCTION: , , , probe:7", lines[3]);
}

TEST_F(Log, CalledLineOfALibraryFunction)
{
    std::string text = record([](KIVLogFac* f) {
        return kivLogRC(f, kFn, 0x081A0058u, 0x9000000Du, 0x90000002u, 20, 5, 0);
    });
    std::vector<std::string> lines = linesOf(text);
    ASSERT_EQ(8u, lines.size()) << text;
    EXPECT_EQ("MESSAGE : ECF=0x90000002 Failed", lines[4]);
    EXPECT_EQ("CALLED  : " + orEmpty(ecfGetProductName(0x081A0058u)) + ", KIVe, kivMemAlloc",
              lines[5]);
    EXPECT_EQ("RETCODE : ECF=0x9000000D Insufficent memory", lines[6]);
}

TEST_F(Log, SystemErrorStartsInColumn51)
{
    const std::string called = "CALLED  : OS, -, CreateFile";
    const std::string pad(50 - called.size(), ' ');
    const std::string longCalled = "CALLED  : " + orEmpty(ecfGetProductName(0x081A005Fu)) +
                                   ", KIVe, KIVHThreadSpecificDataInternal::create";
    ASSERT_GE(longCalled.size(), 50u);
    const struct {
        Uint32      called, error;
        std::string line;
    } cases[] = {
        {kOsCreateFile, 2, called + pad + "OSERR: ERROR_FILE_NOT_FOUND (2)"},
        // 49 characters: one blank still puts it in column 51.
        {0x08140110u, 5,
         "CALLED  : OS, -, GetVolumeNameForVolumeMountPoint OSERR: ERROR_ACCESS_DENIED (5)"},
        // A called line of 50 characters or more is followed by one blank.
        {0x081A005Fu, 2, longCalled + " OSERR: ERROR_FILE_NOT_FOUND (2)"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> lines = linesOf(record([&](KIVLogFac* f) {
            return kivLogSysRC(f, kFn, c.called, c.error, 0, 1, 5, 0);
        }));
        ASSERT_EQ(6u, lines.size()) << c.line;
        EXPECT_EQ(" LEVEL: Info (OS)", lines[1].substr(49));
        EXPECT_EQ(c.line, lines[4]);
    }
}

/* ---- items ------------------------------------------------------------------ */

TEST_F(Log, TypedItems)
{
    /* The widths' extremes, read at their own size. */
    Uint8 u8 = 200;
    Uint64 u64 = 18446744073709551615ull;
    Sint16 s16 = -300;
    Sint64 s64 = INT64_MIN;
    Uint64 h64 = 0x0123456789ABCDEFull;
    Uint16 b16 = 0x100;
    Uint32 b32 = 0;
    char chars[3] = {'Q', 'R', 'S'};
    std::string text = itemsOf(10, KIVLOG_UINT(u8), KIVLOG_UINT(u64), KIVLOG_SINT(s16),
                               KIVLOG_SINT(s64), KIVLOG_HEX(u8), KIVLOG_HEX(h64),
                               KIVLOG_BOOL(b16), KIVLOG_BOOL(b32), KIVLOG_CHAR(chars[2]),
                               KIVLOG_ITEM(chars, sizeof chars, KIVLOG_TYPE_CHAR));
    EXPECT_EQ("DATA #1 : Uint8, 1 bytes\r\n200\r\n"
              "DATA #2 : Uint64, 8 bytes\r\n18446744073709551615\r\n"
              "DATA #3 : Sint16, 2 bytes\r\n-300\r\n"
              "DATA #4 : Sint64, 8 bytes\r\n-9223372036854775808\r\n"
              "DATA #5 : Hex, 1 bytes\r\n0xC8\r\n"
              "DATA #6 : Hex, 8 bytes\r\n0x123456789ABCDEF\r\n"
              "DATA #7 : Bool, 2 bytes\r\ntrue\r\n"
              "DATA #8 : Bool, 4 bytes\r\nfalse\r\n"
              "DATA #9 : Char, 1 bytes\r\nS\r\n"
              "DATA #10: Char, 3 bytes\r\nQ\r\n",
              text);
}

TEST_F(Log, SizesATypeDoesNotTakeAreDumped)
{
    const Uint8 bytes[3] = {0x41, 0x01, 0x7F};
    for (Sint32 type : {KIVLOG_TYPE_UINT, KIVLOG_TYPE_BOOL, -8}) {
        std::string text = itemsOf(1, KIVLOG_ITEM(bytes, 3, type));
        EXPECT_EQ("DATA #1 : <hexdump>, 3 bytes\r\n"
                  "41017F" + std::string(2 + 2 + 8 + 2 + 8 + 2 + 8 + 2 + 2, ' ') + "A..\r\n",
                  text)
            << type;
    }
}

TEST_F(Log, StringAndNullItems)
{
    Uint32 v = 3;
    EXPECT_EQ("DATA #1 : \r\nNULL\r\nDATA #2 : Uint32, 4 bytes\r\n3\r\n",
              itemsOf(2, KIVLOG_ITEM(nullptr, 4, KIVLOG_TYPE_UINT), KIVLOG_UINT(v)));
    std::string text =
        itemsOf(2, KIVLOG_STRING("abc"), KIVLOG_ITEM("short", 100, KIVLOG_TYPE_STRING));
    /* The size is printed, not used: the text runs to its NUL. */
    EXPECT_EQ("DATA #1 : String, 3 bytes\r\nabc\r\nDATA #2 : String, 100 bytes\r\nshort\r\n", text);

    const std::string long600(600, 'x');
    text = itemsOf(2, KIVLOG_ITEM(long600.c_str(), 600, KIVLOG_TYPE_STRING),
                   KIVLOG_ITEM(long600.c_str(), 3, KIVLOG_TYPE_STRING));
    EXPECT_EQ("DATA #1 : String, 512 bytes\r\n" + std::string(511, 'x') + "\r\n" +
                  "DATA #2 : String, 3 bytes\r\n" + std::string(511, 'x') + "\r\n",
              text);
}

TEST_F(Log, HexDumpIsCutToWholeLinesThatFit)
{
    const std::string text511(511, 's');
    std::vector<Uint8> raw(512, 0x55);
    std::string text = record([&](KIVLogFac* f) {
        return kivLog(f, kFn, 0, 1, 5, 7, KIVLOG_STRING(text511.c_str()),
                      KIVLOG_STRING(text511.c_str()), KIVLOG_STRING(text511.c_str()),
                      KIVLOG_STRING(text511.c_str()), KIVLOG_STRING(text511.c_str()),
                      KIVLOG_STRING(text511.c_str()), KIVLOG_RAW(raw.data(), 512));
    });
    ASSERT_LE(text.size(), 4095u);
    const size_t dump = text.find("<hexdump>, 512 bytesof 512\r\n");
    ASSERT_NE(std::string::npos, dump) << "the cut dump says so";
    /* The room left where the dump starts decides how many lines it has. */
    const size_t room = 4096 - dump;
    const size_t expectLines = (room - 1) / 61;
    ASSERT_LT(expectLines, 32u);
    size_t lineStarts = 0;
    for (size_t at = text.find("\r\n55555555", dump); at != std::string::npos;
         at = text.find("\r\n55555555", at + 2))
        ++lineStarts;
    EXPECT_EQ(expectLines, lineStarts);
}

TEST_F(Log, RecordNeverExceeds4095Characters)
{
    const std::string huge(600, 'h');
    std::string text = record([&](KIVLogFac* f) {
        return kivLog(f, kFn, 0x9000001Au, 1, 5, 10, KIVLOG_STRING(huge.c_str()),
                      KIVLOG_STRING(huge.c_str()), KIVLOG_STRING(huge.c_str()),
                      KIVLOG_STRING(huge.c_str()), KIVLOG_STRING(huge.c_str()),
                      KIVLOG_STRING(huge.c_str()), KIVLOG_STRING(huge.c_str()),
                      KIVLOG_STRING(huge.c_str()), KIVLOG_STRING(huge.c_str()),
                      KIVLOG_STRING(huge.c_str()));
    });
    /* Strings fill the buffer to its last character. */
    EXPECT_EQ(4095u, text.size());
    EXPECT_EQ(0u, text.find("\r\n"));
    EXPECT_NE(std::string::npos, text.find("\r\nMESSAGE : ECF=0x9000001A File doesn't exist\r\n"));
}

TEST_F(Log, ArgumentMaskLabels)
{
    Uint32 a = 1, b = 3;
    std::string text = record([&](KIVLogFac* f) {
        return kivLogRC(f, kFn, 0x081A0058u, 0, 0, 1, 5, (Sint32)0x80000005u, KIVLOG_UINT(a),
                        KIVLOG_UINT(b));
    });
    const size_t at = text.find("ARG  #");
    ASSERT_NE(std::string::npos, at) << text;
    EXPECT_EQ("ARG  #1 : Uint32, 4 bytes\r\n1\r\nARG  #3 : Uint32, 4 bytes\r\n3\r\n",
              text.substr(at));

    /* Position 31 is the last; the sign bit only marks the mask. */
    text = record([&](KIVLogFac* f) {
        return kivLogSysRC(f, kFn, kOsCreateFile, 2, 0, 1, 5, (Sint32)0xC0000000u, KIVLOG_UINT(b));
    });
    EXPECT_NE(std::string::npos, text.find("ARG  #31: Uint32, 4 bytes\r\n3\r\n")) << text;
}

/* kivLog with three items: a, a nested list of `count` items from this
 * function's own arguments, b.  The nested list is read through a copy, so
 * it is still at its start afterwards. */
Uint32 logWithNested(KIVLogFac* fac, Uint32 outerCount, Sint32 count, ...)
{
    Uint32 a = 100, b = 200;
    va_list ap;
    va_start(ap, count);
    Uint32 rc;
    if (outerCount == 3)
        rc = kivLog(fac, kFn, 0, 1, 5, 3, KIVLOG_UINT(a), KIVLOG_NESTED(ap, count), KIVLOG_UINT(b));
    else
        rc = kivLog(fac, kFn, 0, 1, 5, 2, KIVLOG_NESTED(ap, count), KIVLOG_UINT(b));
    // An empty list passes no arguments: there is nothing to read back.
    const void* first = count != 0 ? va_arg(ap, const void*) : &a;
    va_end(ap);
    return first != nullptr ? rc : 0xBADu;
}

TEST_F(Log, NestedListsAreLabelledFromTheirPosition)
{
    Uint32 x = 1, y = 2;
    std::string text = items([&](KIVLogFac* f) {
        return logWithNested(f, 3, 2, KIVLOG_UINT(x), KIVLOG_UINT(y));
    });
    EXPECT_EQ("DATA #1 : Uint32, 4 bytes\r\n100\r\n"
              "DATA #2 : Uint32, 4 bytes\r\n1\r\n"
              "DATA #3 : Uint32, 4 bytes\r\n2\r\n"
              "DATA #4 : Uint32, 4 bytes\r\n200\r\n",
              text);

    /* A nested mask labels its own items as arguments; the item after it
     * repeats the nested list's position. */
    text = items([&](KIVLogFac* f) {
        return logWithNested(f, 2, (Sint32)0x80000005u, KIVLOG_UINT(x), KIVLOG_UINT(y));
    });
    EXPECT_EQ("ARG  #1 : Uint32, 4 bytes\r\n1\r\n"
              "ARG  #3 : Uint32, 4 bytes\r\n2\r\n"
              "DATA #1 : Uint32, 4 bytes\r\n200\r\n",
              text);
}

/* ---- destinations ------------------------------------------------------------ */

TEST_F(Log, UnknownAndEventLogDestinations)
{
    fac_.destination = 3;
    std::string out = stderrOf([&] { EXPECT_EQ(ECF_INVALID_PARAMETER, kivLog(&fac_, kFn, 0, 1, 5, 0)); });
    EXPECT_EQ("", out);
    fac_.destination = KIVLOG_DEST_STDERR;
    EXPECT_EQ(0u, kivLog(&fac_, kFn, 0, 1, 7, 0)); /* filtered: no destination needed */

    KIVLogFac ev{};
    ASSERT_EQ(0u, openFacility(&ev, KIVLOG_DEST_EVENTLOG, 5));
    EXPECT_EQ(0u, kivLog(&ev, kFn, 0x9000001Au, 1, 5, 0));
    EXPECT_EQ(0u, kivLog(&ev, kFn, 0x9000001Au, 1, 6, 0));
    /* Level 7 passes a threshold of 9 but has no event type. */
    ASSERT_EQ(0u, kivLogFacSetLevel(&ev, 9));
    EXPECT_EQ(ECF_FAILED, kivLog(&ev, kFn, 0, 1, 7, 0));
}

TEST_F(Log, FileDestinationStampsEachRecordsPosition)
{
    KivTestTempDir dir;
    const std::string path = dir.file("kive.log");
    KIVLogFac file{};
    ASSERT_EQ(0u, openFacility(&file, KIVLOG_DEST_FILE, 5, path));
    Uint32 v = 20040702;
    ASSERT_EQ(0u, kivLog(&file, kFn, 0x9000001Au, 10, 5, 1, KIVLOG_UINT(v)));

    /* The same record on standard error, for comparison outside the field.
     * Appending at several places at once is left to the stress suite. */
    std::string plain = record([&](KIVLogFac* f) {
        return kivLog(f, kFn, 0x9000001Au, 10, 5, 1, KIVLOG_UINT(v));
    });
    const std::string text = kivtestReadFile(path);
    ASSERT_EQ(plain.size(), text.size());
    char field[32];
    std::snprintf(field, sizeof field, "I2H%u", (unsigned)(text.size() - 2));
    const size_t fieldEnd = 33 + std::strlen(field);
    EXPECT_EQ(std::string(" ") + field + std::string(51 - fieldEnd, ' ') + " LEVEL: Info\r\n",
              text.substr(32, 51 + 14 - 32));
    EXPECT_EQ(plain.substr(plain.find("\r\nPID")), text.substr(text.find("\r\nPID")));
}

TEST_F(Log, FileWriterFailureDropsItsOwnRecords)
{
    /* The file operations log their failures to the default facility; the
     * busy flag drops those records while the writer is at work. */
    ASSERT_EQ(0u, openFacility(nullptr, KIVLOG_DEST_STDERR, 5));
    KivTestTempDir dir;
    const std::string path = dir.file("missing-dir") + "/" + "kive.log";
    KIVLogFac file{};
    ASSERT_EQ(0u, openFacility(&file, KIVLOG_DEST_FILE, 5, path));

    Uint32 rc = 0;
    std::string out = stderrOf([&] { rc = kivLog(&file, kFn, 0, 10, 5, 0); });
    EXPECT_EQ(ECF_FAILED, rc);
    EXPECT_EQ("", out);

    /* Outside the writer the same failure is logged. */
    out = stderrOf([&] {
        KIVHFile f;
        KIVFileOpenParam p;
        p.fileName = path.c_str();
        p.openMode = KIV_FILE_OPEN_ALWAYS;
        p.accessMode = KIV_FILE_WRITE;
        EXPECT_NE(0u, f.open(&p));
    });
    EXPECT_NE(std::string::npos, out.find("KIVHFile::open")) << out;
}

/* ---- blank-padded comparison --------------------------------------------------- */

TEST(StrCompWithPads, ShorterStringIsPaddedWithBlanks)
{
    const struct {
        const char* a;
        const char* b;
        int caseSensitive;
        int sign;
    } cases[] = {
        {"AB", "AB  ", 1, 0}, {"ab", "AB", 0, 0}, {"", "   ", 1, 0}, {"ab", "AB", 1, 1},
        // Against the padding: a blank sorts above control bytes, below letters.
        {"A", "A\x01", 1, 1}, {"A", "Ab", 1, -1},   {"A", "ab", 0, -1},
        {"a", "\xE9", 1, -1}, // bytes compare unsigned
        {nullptr, "A", 1, -1}, {"A", nullptr, 0, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.a ? c.a : "(null)") + "|" + (c.b ? c.b : "(null)"));
        const int r = kivStrCompWithPads(c.a, c.b, c.caseSensitive);
        EXPECT_EQ(c.sign, (r > 0) - (r < 0));
    }
}

} // namespace

TEST_F(Log, LevelWords)
{
    const struct {
        Uint32 level;
        const char* word;
    } cases[] = {{1, "Severe"}, {3, "Error"}, {6, "Event"}, {7, "Unknown"}};
    fac_.level = 9;
    for (const auto& c : cases) {
        std::string text = record([&](KIVLogFac* f) { return kivLog(f, kFn, 0, 10, c.level, 0); });
        std::vector<std::string> lines = linesOf(text);
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(" LEVEL: " + std::string(c.word), lines[1].substr(49)) << c.level;
    }
}

TEST_F(Log, FacilityOpenCopiesAndTruncatesTheNames)
{
    KIVLogFacParam p;
    std::memset(p.fileName, 'f', sizeof p.fileName); /* no terminator at all */
    std::memset(p.name, 'n', sizeof p.name);
    p.level = 4;
    p.destination = KIVLOG_DEST_FILE;
    p.permissions = 0640;
    KIVLogFac fac;
    std::memset(&fac, 0xA5, sizeof fac); /* caller storage need not be clean */
    ASSERT_EQ(0u, kivLogFacOpen(&p, &fac));
    EXPECT_EQ(std::string(260, 'f'), std::string(fac.fileName));
    EXPECT_EQ(std::string(50, 'n'), std::string(fac.name));
    EXPECT_EQ(1u, fac.open);
    EXPECT_FALSE(fac.latch.isHeld());
}
