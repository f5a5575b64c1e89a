/*
 * test_assert.cpp - the assertion failure action: the report text, where it
 * goes (debug log file, per-thread file in a dump directory, the default log
 * facility's file), the region dumps, the host's callback, and the fatal
 * form, which breaks into the debugger and is therefore tried in child
 * processes only.
 */
#include "kivassert.h"
#include "kivlog.h"
#include "kivos.h"
#include "kivprocess.h"
#include "kivstring.h"
#include "kivtest.h"
#include "kivthread.h"

#include <cstring>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#if !defined(_WIN32)
#  include <signal.h>
#  include <unistd.h>
#endif

namespace {

const char* const kEnvName = "KIV_DEBUG_LOG_FILE";

/* Sets the debug log file for the life of the object. */
class DebugLogFile {
public:
    explicit DebugLogFile(const std::string& path) { kivtestSetEnv(kEnvName, path.c_str()); }
    ~DebugLogFile() { kivtestSetEnv(kEnvName, nullptr); }
};

bool exists(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return f.good();
}

size_t count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

/* The report as it must read, with the time line taken from `actual`
 * after checking that it has asctime's shape ("Www Mmm dd hh:mm:ss yyyy\n"). */
std::string expectedReport(const std::string& actual, bool fatal, const char* expr,
                           const char* file, unsigned line)
{
    const std::string head = std::string(fatal ? "" : "NON-FATAL ") +
                             "ASSERTION FAILED!!!\r\nTime       = ";
    const std::regex shape("(Sun|Mon|Tue|Wed|Thu|Fri|Sat) (Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|"
                           "Oct|Nov|Dec) [ 0-3][0-9] [0-2][0-9]:[0-5][0-9]:[0-6][0-9] [0-9]{4}\n");
    std::string time;
    if (actual.compare(0, head.size(), head) == 0 && actual.size() >= head.size() + 25)
        time = actual.substr(head.size(), 25);
    EXPECT_TRUE(std::regex_match(time, shape)) << time;
    return head + time + "Expr       = " + expr + "\r\nPID        = " +
           std::to_string(kivProcessID()) + "\r\nTID        = " +
           std::to_string((unsigned long long)kivThreadID()) + "\r\nFile       = " + file +
           "\r\nLine       = " + std::to_string(line) + "\r\n";
}

std::string dumpOf(const void* data, Uint32 length)
{
    std::vector<char> buf(4096, '\0');
    kivHexDumpToBuffer(data, length, buf.data(), (Uint32)buf.size(), nullptr, 2);
    return buf.data();
}

/* The report file of this thread in `dir`. */
std::string reportFileIn(const KivTestTempDir& dir)
{
    return dir.file("p" + std::to_string(kivProcessID()) + "t" +
                    std::to_string((unsigned long long)kivThreadID()) + ".mem");
}

/* ---- callback capture ------------------------------------------------- */

/* What the host's callback saw last: the report values and the first
 * region, and how often it was called. */
struct CallbackSeen {
    int         calls = 0;
    std::string expression, dumpDirectory;
    Uint32      line = 0, fatal = 0, firstLength = 0;
    const void* first = nullptr;
};
CallbackSeen g_seen;

void captureAssertion(const char* expression, const char*, Uint32 line,
                      const char* dumpDirectory, Uint32 fatal, va_list* regions)
{
    ++g_seen.calls;
    g_seen.expression = expression;
    g_seen.line = line;
    g_seen.dumpDirectory = dumpDirectory ? dumpDirectory : "(none)";
    g_seen.fatal = fatal;
    va_list ap;
    va_copy(ap, *regions);
    g_seen.first = va_arg(ap, const void*);
    g_seen.firstLength = g_seen.first ? va_arg(ap, Uint32) : 0;
    va_end(ap);
}

} // namespace

/* ---- report text and the debug log file -------------------------------- */

TEST(Assert, NonFatalReportIsAppendedToTheDebugLogFile)
{
    KivTestTempDir dir;
    std::string log = dir.file("debug.log");
    DebugLogFile env(log);
    ASSERT_FALSE(exists(log));
    EXPECT_EQ(0u, kivAssertFailed("x == 1", "widget.cpp", 42));
    std::string text = kivtestReadFile(log); // created when missing
    EXPECT_EQ(expectedReport(text, false, "x == 1", "widget.cpp", 42), text);

    // Appended, never rewritten; missing texts are shown as "(null)".
    EXPECT_EQ(0u, kivAssertFailed(nullptr, nullptr, 7));
    std::string both = kivtestReadFile(log);
    ASSERT_GT(both.size(), text.size());
    EXPECT_EQ(text, both.substr(0, text.size()));
    std::string second = both.substr(text.size());
    EXPECT_EQ(expectedReport(second, false, "(null)", "(null)", 7), second);

    // A report is cut at 255 characters.
    DebugLogFile longEnv(dir.file("long.log"));
    EXPECT_EQ(0u, kivAssertFailed(std::string(400, 'e').c_str(), "f.cpp", 1));
    EXPECT_EQ(255u, kivtestReadFile(dir.file("long.log")).size());
}

TEST(Assert, RegionsAreDumpedAfterTheReportUpToTheListEnd)
{
    KivTestTempDir dir;
    std::string log = dir.file("regions.log");
    DebugLogFile env(log);
    unsigned char first[20];
    for (unsigned i = 0; i < sizeof first; ++i)
        first[i] = (unsigned char)('A' + i);
    const char second[] = "tail";
    EXPECT_EQ(0u, kivAssertFailureAction("r", "regions.cpp", 5, nullptr, 0, (const void*)first,
                                         (Uint32)sizeof first, (const void*)second, (Uint32)4,
                                         (const void*)nullptr));
    std::string text = kivtestReadFile(log);
    std::string report = expectedReport(text, false, "r", "regions.cpp", 5);
    EXPECT_EQ(report + "dump data 0:\n" + dumpOf(first, sizeof first) + "dump data 1:\n" +
                  dumpOf(second, 4),
              text);

    // The list ends at a zero length or a null address.
    EXPECT_EQ(0u, kivAssertFailureAction("a", "f", 1, nullptr, 0, (const void*)second, (Uint32)0,
                                         (const void*)second, (Uint32)4, (const void*)nullptr));
    EXPECT_EQ(0u, kivAssertFailureAction("b", "f", 2, nullptr, 0, (const void*)nullptr));
    text = kivtestReadFile(log);
    EXPECT_EQ(3u, count(text, "ASSERTION FAILED!!!"));
    EXPECT_EQ(2u, count(text, "dump data"));
}

/* ---- dump directory ----------------------------------------------------- */

TEST(Assert, DumpDirectoryGetsAPerThreadFileInsteadOfTheDebugLog)
{
    KivTestTempDir dir;
    std::string log = dir.file("debug.log");
    DebugLogFile env(log);
    EXPECT_EQ(0u, kivAssertFailedDir("in allocator", "kivmemory", 99, dir.path().c_str()));
    std::string file = reportFileIn(dir);
    std::string text = kivtestReadFile(file);
    EXPECT_EQ(expectedReport(text, false, "in allocator", "kivmemory", 99), text);

    const char data[] = "0123456789abcdef!";
    EXPECT_EQ(0u, kivAssertFailureAction("with data", "f", 1, dir.path().c_str(), 0,
                                         (const void*)data, (Uint32)17, (const void*)nullptr));
    std::string more = kivtestReadFile(file).substr(text.size());
    std::string report = expectedReport(more, false, "with data", "f", 1);
    EXPECT_EQ(report + "dump data 0:\n" + dumpOf(data, 17), more);
    EXPECT_FALSE(exists(log));

    // An empty directory counts as none.
    EXPECT_EQ(0u, kivAssertFailedDir("e", "f", 1, ""));
    EXPECT_EQ(1u, count(kivtestReadFile(log), "ASSERTION FAILED!!!"));
}

TEST(Assert, UnopenableReportFileIsSkipped)
{
    KivTestTempDir dir;
    DebugLogFile env(dir.file("no-such-dir/debug.log"));
    EXPECT_EQ(0u, kivAssertFailed("e", "f", 1));
    EXPECT_EQ(0u, kivAssertFailedDir("e", "f", 1, dir.file("missing").c_str()));
}

/* ---- default log facility ------------------------------------------------ */

KIVTEST_CHILD(assert_facility_file)
{
    // A process of its own: the default facility keeps its file name after
    // it is closed, which would follow every later test.
    if (args.size() != 1)
        return 10;
    kivtestSetEnv(kEnvName, nullptr);
    if (kivAssertFailed("before", "f", 1) != 0)
        return 11;
    if (exists(args[0]))
        return 12;
    KIVLogFacParam param;
    std::strncpy(param.fileName, args[0].c_str(), sizeof param.fileName - 1);
    std::strncpy(param.name, "kivtest", sizeof param.name - 1);
    param.level = 5;
    param.destination = KIVLOG_DEST_FILE;
    if (kivLogFacOpen(&param, nullptr) != 0)
        return 13;
    if (kivAssertFailed("after", "f", 2) != 0)
        return 14;
    kivLogFacClose(nullptr);
    std::string text = kivtestReadFile(args[0]);
    if (count(text, "NON-FATAL ASSERTION FAILED!!!") != 1 || count(text, "Expr       = after") != 1)
        return 15;
    return 0;
}

TEST(Assert, WithoutDebugLogFileTheDefaultFacilityFileIsUsed)
{
    KivTestTempDir dir;
    EXPECT_EQ(0, kivtestRunChild("assert_facility_file", {dir.file("facility.log")}));
}

/* ---- callback ---------------------------------------------------------- */

TEST(Assert, CallbackTakesOverTheWholeReport)
{
    KivTestTempDir dir;
    std::string log = dir.file("debug.log");
    DebugLogFile env(log);
    {
        g_seen = CallbackSeen();
        kivSetAssertionCallback(captureAssertion);
        const char data[] = "region";
        // Fatal too: with a callback nothing breaks into the debugger.
        EXPECT_EQ(0u, kivAssertFailureAction("cb", "cb.cpp", 11, dir.path().c_str(), 1,
                                             (const void*)data, (Uint32)6, (const void*)nullptr));
        EXPECT_EQ(1, g_seen.calls);
        EXPECT_EQ("cb", g_seen.expression);
        EXPECT_EQ(11u, g_seen.line);
        EXPECT_EQ(dir.path(), g_seen.dumpDirectory);
        EXPECT_EQ(1u, g_seen.fatal);
        EXPECT_EQ((const void*)data, g_seen.first);
        EXPECT_EQ(6u, g_seen.firstLength);

        EXPECT_EQ(0u, kivAssertFailed("plain", "p.cpp", 12));
        EXPECT_EQ(2, g_seen.calls);
        EXPECT_EQ("(none)", g_seen.dumpDirectory);
        EXPECT_EQ(0u, g_seen.fatal);
        EXPECT_EQ(nullptr, g_seen.first);
        kivSetAssertionCallback(nullptr);
    }
    EXPECT_FALSE(exists(log));
    EXPECT_FALSE(exists(reportFileIn(dir)));

    // Removed, the action writes its own report again.
    EXPECT_EQ(0u, kivAssertFailed("again", "a.cpp", 1));
    EXPECT_TRUE(exists(log));
}

/* ---- fatal assertions (child processes) ---------------------------------- */

namespace {
const int kCaughtBreakpoint = 77;

#if defined(_WIN32)
LONG CALLBACK exitOnBreakpoint(EXCEPTION_POINTERS* info)
{
    if (info->ExceptionRecord->ExceptionCode == EXCEPTION_BREAKPOINT)
        ExitProcess(kCaughtBreakpoint);
    return EXCEPTION_CONTINUE_SEARCH;
}
#else
void exitOnTrap(int)
{
    _exit(kCaughtBreakpoint);
}
#endif

int fatalAssertion(const std::string& log)
{
    kivtestSetEnv(kEnvName, log.c_str());
    const char data[] = "fatal data";
    kivAssertFailureAction("fatal expr", "fatal.cpp", 64, nullptr, 1, (const void*)data,
                           (Uint32)10, (const void*)nullptr);
    return 0; // not reached: the assertion breaks
}
} // namespace

KIVTEST_CHILD(assert_fatal_caught)
{
#if defined(_WIN32)
    AddVectoredExceptionHandler(1, exitOnBreakpoint);
#else
    signal(SIGTRAP, exitOnTrap);
#endif
    return args.size() == 1 ? fatalAssertion(args[0]) : 10;
}

TEST(Assert, FatalAssertionWritesItsReportAndBreaks)
{
    KivTestTempDir dir;
    std::string log = dir.file("fatal.log");
    EXPECT_EQ(kCaughtBreakpoint, kivtestRunChild("assert_fatal_caught", {log}));
    std::string text = kivtestReadFile(log);
    EXPECT_EQ(0u, text.find("ASSERTION FAILED!!!\r\nTime       = ")); // no NON-FATAL prefix
    EXPECT_EQ(1u, count(text, "Expr       = fatal expr\r\n"));
    EXPECT_EQ(1u, count(text, "dump data 0:\n"));
}
