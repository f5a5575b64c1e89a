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

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#if !defined(_WIN32)
#  include <signal.h>
#  include <sys/resource.h>
#  include <unistd.h>
#endif

namespace {

const char* const kEnvName = "KIV_DEBUG_LOG_FILE";

void setEnv(const char* name, const char* value)
{
#if defined(_WIN32)
    _putenv_s(name, value ? value : "");
#else
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
#endif
}

/* Sets the debug log file for the life of the object. */
class DebugLogFile {
public:
    explicit DebugLogFile(const std::string& path) { setEnv(kEnvName, path.c_str()); }
    ~DebugLogFile() { setEnv(kEnvName, nullptr); }
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

std::string separator()
{
#if defined(_WIN32)
    return "\\";
#else
    return "/";
#endif
}

std::string reportFileIn(const std::string& dir)
{
    return dir + separator() + "p" + std::to_string(kivProcessID()) + "t" +
           std::to_string((unsigned long long)kivThreadID()) + ".mem";
}

/* ---- callback capture ------------------------------------------------- */

struct CallbackSeen {
    int         calls = 0;
    std::string expression, file, dumpDirectory;
    Uint32      line = 0;
    Uint32      fatal = 0;
    bool        hadDirectory = false;
    std::vector<std::pair<const void*, Uint32>> regions;
};
CallbackSeen g_seen;

void captureAssertion(const char* expression, const char* file, Uint32 line,
                      const char* dumpDirectory, Uint32 fatal, va_list* regions)
{
    ++g_seen.calls;
    g_seen.expression = expression;
    g_seen.file = file;
    g_seen.line = line;
    g_seen.hadDirectory = dumpDirectory != nullptr;
    g_seen.dumpDirectory = dumpDirectory ? dumpDirectory : "";
    g_seen.fatal = fatal;
    g_seen.regions.clear();
    va_list ap;
    va_copy(ap, *regions);
    for (;;) {
        const void* a = va_arg(ap, const void*);
        if (!a)
            break;
        Uint32 n = va_arg(ap, Uint32);
        if (!n)
            break;
        g_seen.regions.emplace_back(a, n);
    }
    va_end(ap);
}

class CallbackInstalled {
public:
    CallbackInstalled()
    {
        g_seen = CallbackSeen();
        kivSetAssertionCallback(captureAssertion);
    }
    ~CallbackInstalled() { kivSetAssertionCallback(nullptr); }
};

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
    std::string cutLog = dir.file("long.log");
    DebugLogFile longEnv(cutLog);
    EXPECT_EQ(0u, kivAssertFailed(std::string(400, 'e').c_str(), "f.cpp", 1));
    text = kivtestReadFile(cutLog);
    EXPECT_EQ(255u, text.size());
    EXPECT_EQ(0u, text.find("NON-FATAL ASSERTION FAILED!!!\r\n"));
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
    EXPECT_EQ(0u, dumpOf(first, sizeof first).find("0x")); // lines start with the address

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
    std::string file = reportFileIn(dir.path());
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
    DebugLogFile env(dir.file("no-such-dir") + separator() + "debug.log");
    EXPECT_EQ(0u, kivAssertFailed("e", "f", 1));
    EXPECT_EQ(0u, kivAssertFailedDir("e", "f", 1, dir.file("missing").c_str()));
    EXPECT_FALSE(exists(reportFileIn(dir.file("missing"))));
}

/* ---- default log facility ------------------------------------------------ */

KIVTEST_CHILD(assert_facility_file)
{
    // A process of its own: the default facility keeps its file name after
    // it is closed, which would follow every later test.
    if (args.size() != 1)
        return 10;
    setEnv(kEnvName, nullptr);
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
        CallbackInstalled cb;
        const char data[] = "region";
        // Fatal too: with a callback nothing breaks into the debugger.
        EXPECT_EQ(0u, kivAssertFailureAction("cb", "cb.cpp", 11, dir.path().c_str(), 1,
                                             (const void*)data, (Uint32)6, (const void*)nullptr));
        EXPECT_EQ(1, g_seen.calls);
        EXPECT_EQ("cb", g_seen.expression);
        EXPECT_EQ("cb.cpp", g_seen.file);
        EXPECT_EQ(11u, g_seen.line);
        EXPECT_EQ(dir.path(), g_seen.dumpDirectory);
        EXPECT_EQ(1u, g_seen.fatal);
        ASSERT_EQ(1u, g_seen.regions.size());
        EXPECT_EQ((const void*)data, g_seen.regions[0].first);
        EXPECT_EQ(6u, g_seen.regions[0].second);

        EXPECT_EQ(0u, kivAssertFailed("plain", "p.cpp", 12));
        EXPECT_EQ(2, g_seen.calls);
        EXPECT_FALSE(g_seen.hadDirectory);
        EXPECT_EQ(0u, g_seen.fatal);
        EXPECT_TRUE(g_seen.regions.empty());
        EXPECT_EQ(0u, kivAssertFailedDir("dir", "d.cpp", 13, "somewhere"));
        EXPECT_EQ("somewhere", g_seen.dumpDirectory);
    }
    EXPECT_FALSE(exists(log));
    EXPECT_FALSE(exists(reportFileIn(dir.path())));

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
    setEnv(kEnvName, log.c_str());
    const char data[] = "fatal data";
    kivAssertFailureAction("fatal expr", "fatal.cpp", 64, nullptr, 1, (const void*)data,
                           (Uint32)10, (const void*)nullptr);
    return 0; // not reached: the assertion breaks
}
} // namespace

KIVTEST_CHILD(assert_fatal_unhandled)
{
#if defined(_WIN32)
    // End as a process without a debugger does, with the exception code as
    // its exit code, rather than starting the system's post-mortem debugger.
    SetUnhandledExceptionFilter([](EXCEPTION_POINTERS*) -> LONG {
        return EXCEPTION_EXECUTE_HANDLER;
    });
#else
    struct rlimit noCore = {0, 0}; // the breakpoint is expected: no core file
    setrlimit(RLIMIT_CORE, &noCore);
#endif
    return args.size() == 1 ? fatalAssertion(args[0]) : 10;
}

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

TEST(Assert, UnhandledFatalAssertionEndsTheProcessAbnormally)
{
    KivTestTempDir dir;
    std::string log = dir.file("fatal.log");
    int rc = kivtestRunChild("assert_fatal_unhandled", {log});
#if defined(_WIN32)
    EXPECT_EQ((int)EXCEPTION_BREAKPOINT, rc);
#else
    EXPECT_EQ(-1, rc); // killed by a signal
#endif
    EXPECT_EQ(1u, count(kivtestReadFile(log), "Expr       = fatal expr\r\n"));
}
