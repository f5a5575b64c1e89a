/*
 * test_process.cpp - child processes: the command line a child receives,
 * exit codes, detached children, the creation flags, failures and their log
 * records, and the Win32 process services.  The children are this test
 * program, run again with "--kiv-child NAME".
 */
#include "kivecf.h"
#include "kiverror.h"
#include "kivlog.h"
#include "kivos.h"
#include "kivprocess.h"
#include "kivtest.h"
#include "kivtestlog.h"
#include "kivthread.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace {

const char* const kEchoFileVariable = "KIVTEST_ECHO_FILE";

/* Writes its arguments, one "[arg]" line each, to the file the environment names. */
KIVTEST_CHILD(echoArgs)
{
    const char* path = std::getenv(kEchoFileVariable);
    if (path == nullptr)
        return 101;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (const std::string& a : args)
        out << "[" << a << "]\n";
    return out.good() ? 0 : 102;
}

KIVTEST_CHILD(exitWith) { return args.empty() ? 100 : std::atoi(args[0].c_str()); }

/* Writes its process identifier into the file args[0], through a temporary name. */
KIVTEST_CHILD(writePid)
{
    if (args.empty())
        return 100;
    std::string tmp = args[0] + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out << kivProcessID();
    }
    return std::rename(tmp.c_str(), args[0].c_str()) == 0 ? 0 : 101;
}

bool fileExists(const std::string& path) { return std::ifstream(path, std::ios::binary).good(); }

/* Runs until the file args[0] appears, then exits with 5 (100 after a minute). */
KIVTEST_CHILD(waitForFile)
{
    if (args.empty())
        return 100;
    for (int i = 0; i < 60000; ++i) {
        if (fileExists(args[0]))
            return 5;
        kivSleep(1);
    }
    return 100;
}

#if !defined(_WIN32)
/* 1 when descriptor args[0] is open in this process, 0 otherwise. */
KIVTEST_CHILD(fdOpen)
{
    if (args.empty())
        return 100;
    return fcntl(std::atoi(args[0].c_str()), F_GETFD) != -1 ? 1 : 0;
}
#endif

std::string selfPath()
{
    char buf[4096];
    DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
    return std::string(buf, n);
}

/* The argument list (strings end to end, then an empty one) of a run of
 * `child` with `extra`. */
std::string childArguments(const char* child, const std::vector<std::string>& extra)
{
    std::string list = std::string("--kiv-child") + '\0' + child + '\0';
    for (const std::string& a : extra)
        list += a + '\0';
    return list + '\0';
}

/* The lines "[arg]" the echo child wrote, as the arguments. */
std::vector<std::string> echoed(const std::string& path)
{
    std::string text = kivtestReadFile(path);
    std::vector<std::string> out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find("]\n", pos);
        if (end == std::string::npos || text[pos] != '[')
            break;
        out.push_back(text.substr(pos + 1, end - pos - 1));
        pos = end + 2;
    }
    return out;
}

/* True once `cond` holds; gives up after about a minute. */
template <class F>
bool eventually(F cond)
{
    for (int i = 0; i < 60000; ++i) {
        if (cond())
            return true;
        kivSleep(1);
    }
    return cond();
}

std::string inQuotes(const std::string& s) { return "\"" + s + "\""; }

/* A parameter object naming `program` and `arguments` (which must outlive it). */
KIVProcessParam makeParam(const std::string& program, const std::string& arguments, Uint32 flags)
{
    KIVProcessParam p;
    p.program = program.c_str();
    p.arguments = arguments.c_str();
    p.flags = flags;
    return p;
}

/* A scratch directory and the echo child's output file, named in the environment. */
class ProcessTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE(dir_.path().empty());
        echoFile_ = dir_.file("echo.txt");
        ASSERT_TRUE(SetEnvironmentVariableA(kEchoFileVariable, echoFile_.c_str()));
    }
    void TearDown() override { SetEnvironmentVariableA(kEchoFileVariable, nullptr); }

    /* Runs the echo child with `args`, waits and returns what it received. */
    std::vector<std::string> echo(const std::vector<std::string>& args)
    {
        std::remove(echoFile_.c_str());
        std::string list = childArguments("echoArgs", args);
        KIVProcessParam p = makeParam(self_, list, KIV_PROCESS_WAIT);
        KIVProcessStatus status;
        EXPECT_EQ(0u, KIVHProcess().create(&p, nullptr, &status));
        EXPECT_EQ(0u, status.exitCode);
        return echoed(echoFile_);
    }

    /* Runs the child `child` with flags KIV_PROCESS_WAIT | extraFlags. */
    Uint32 runWaited(const char* child, const std::vector<std::string>& args,
                     KIVProcessStatus* status, Uint32 extraFlags = 0)
    {
        std::string list = childArguments(child, args);
        KIVProcessParam p = makeParam(self_, list, KIV_PROCESS_WAIT | extraFlags);
        return KIVHProcess().create(&p, nullptr, status);
    }

    KivTestTempDir dir_;
    std::string    self_ = selfPath();
    std::string    echoFile_;
};

TEST_F(ProcessTest, ArgumentsArePassedAsTheCallerQuotedThem)
{
    // Arguments are joined by blanks as they are: one with a blank becomes two.
    EXPECT_EQ((std::vector<std::string>{"-a", "b", "c"}), echo({"-a", "b c"}));
    std::vector<std::string> got = echo({
        inQuotes("b c"),            // blanks inside quotes
        inQuotes(""),               // an empty argument
        "a\\\"b",                 // an escaped quote
        inQuotes("x\\\\"),          // a backslash before the closing quote
        "\\\\server\\share\\",    // a trailing backslash without a quote
        "mid\" dle\"word",        // a quoted part inside a word
    });
    EXPECT_EQ((std::vector<std::string>{"b c", "", "a\"b", "x\\", "\\\\server\\share\\",
                                        "mid dleword"}),
              got);
}

TEST_F(ProcessTest, WaitingGivesTheExitCodeAndKeepsNothingOfTheChild)
{
    KIVHProcess child;   // one object starts one child after another
    for (Uint32 code : {0u, 3u, 200u}) {
        std::string list = childArguments("exitWith", {std::to_string(code)});
        KIVProcessParam p = makeParam(self_, list, KIV_PROCESS_WAIT);
        KIVProcessStatus status;
        status.reserved1 = status.exitCode = status.reserved2 = 0xDEADBEEFu;
        Uint32 pid = 0;
        ASSERT_EQ(0u, child.create(&p, &pid, &status));
        EXPECT_NE(0u, pid);
        EXPECT_EQ(code, status.exitCode);
        EXPECT_EQ(0u, status.reserved1);
        EXPECT_EQ(0u, status.reserved2);
        EXPECT_TRUE(child.created);
        EXPECT_FALSE(child.waitPending);
        EXPECT_EQ(INVALID_HANDLE_VALUE, child.processHandle);
    }
}

TEST_F(ProcessTest, AChildNotWaitedForRunsOnByItself)
{
    for (Uint32 flags : {(Uint32)KIV_PROCESS_DETACH, 0u}) {
        SCOPED_TRACE(flags);
        std::string pidFile = dir_.file("pid" + std::to_string(flags) + ".txt");
        std::string list = childArguments("writePid", {inQuotes(pidFile)});
        KIVProcessParam p = makeParam(self_, list, flags);
        KIVHProcess child;
        Uint32 pid = 0;
        KIVProcessStatus status;
        status.exitCode = 0xDEADBEEFu;
        ASSERT_EQ(0u, child.create(&p, &pid, &status));
        EXPECT_EQ(0xDEADBEEFu, status.exitCode); // filled only when waited for
        EXPECT_EQ(flags, p.flags);
        EXPECT_EQ(INVALID_HANDLE_VALUE, child.processHandle);
        ASSERT_TRUE(eventually([&] { return fileExists(pidFile); }));
        EXPECT_EQ(std::to_string(pid), kivtestReadFile(pidFile));
    }
}

TEST_F(ProcessTest, OnlyTheListedFlagCombinationsAreValid)
{
    std::string list = childArguments("exitWith", {"0"});
    for (Uint32 flags : {8u, 9u, 11u, 12u, 13u, 14u, 15u, 24u, 27u, 32u, 34u, 0x80000002u}) {
        KivLogCapture log;
        KIVProcessParam p = makeParam(self_, list, flags);
        Uint32 pid = 0xABCDu;
        EXPECT_EQ(ECF_INVALID_PARAMETER, KIVHProcess().create(&p, &pid, nullptr)) << flags;
        EXPECT_EQ(0xABCDu, pid);
        EXPECT_EQ(flags, p.flags);
        std::vector<KivLogRecord> r = log.of(KIVFN_KIVHPROCESS_CREATE);
        ASSERT_EQ(1u, r.size());
        EXPECT_EQ(30u, r[0].probe);
        EXPECT_EQ(3u, r[0].level);
        EXPECT_EQ(ECF_INVALID_PARAMETER, r[0].messageCode);
    }
    // 8 is allowed with waiting alone, and 16 with any valid value.
    for (Uint32 flags : {10u, 26u, 18u, 22u}) {
        KIVProcessStatus status;
        std::string l = childArguments("exitWith", {"6"});
        KIVProcessParam p = makeParam(self_, l, flags);
        EXPECT_EQ(0u, KIVHProcess().create(&p, nullptr, &status)) << flags;
        EXPECT_EQ(6u, status.exitCode) << flags;
        EXPECT_EQ(flags, p.flags);
    }
}

TEST_F(ProcessTest, FlagsWithoutDetachOrWaitAreReduced)
{
    struct Case { Uint32 given, used; };
    for (Case c : {Case{4, 0}, Case{20, 16}, Case{16, 16}, Case{0, 0}, Case{5, 5}, Case{21, 21}}) {
        std::string list = childArguments("exitWith", {"0"});
        KIVProcessParam p = makeParam(self_, list, c.given);
        KIVHProcess child;
        ASSERT_EQ(0u, child.create(&p, nullptr, nullptr)) << c.given;
        EXPECT_EQ(c.used, p.flags) << c.given;
        EXPECT_EQ(c.used, child.flags) << c.given;
    }
}

#if !defined(_WIN32)
/* A descriptor without close-on-exec stands for an inheritable Windows handle. */
TEST_F(ProcessTest, HandlesAreInheritedOnlyWhenAsked)
{
    std::string path = dir_.file("inherited.txt");
    int fd = open(path.c_str(), O_CREAT | O_RDWR, 0600);
    ASSERT_GE(fd, 3);
    KIVProcessStatus status;
    EXPECT_EQ(0u, runWaited("fdOpen", {std::to_string(fd)}, &status));
    EXPECT_EQ(0u, status.exitCode);
    EXPECT_EQ(0u, runWaited("fdOpen", {std::to_string(fd)}, &status, KIV_PROCESS_INHERIT_HANDLES));
    EXPECT_EQ(1u, status.exitCode);
    close(fd);
}
#endif

TEST_F(ProcessTest, AMissingProgramIsReported)
{
    KivLogCapture log;
    std::string missing = dir_.file("no-such-program.exe");
    KIVProcessParam p;
    p.program = missing.c_str();
    p.flags = KIV_PROCESS_WAIT;
    Uint32 pid = 0xABCDu;
    KIVProcessStatus status;
    Uint32 expected = kivErrorMapSystem(0, 0, KIVOSFN_CREATEPROCESS, ERROR_FILE_NOT_FOUND, nullptr);
    EXPECT_EQ(ECF_FILE_DOESNT_EXIST, expected);
    EXPECT_EQ(expected, KIVHProcess().create(&p, &pid, &status));
    EXPECT_EQ(0xABCDu, pid);

    std::vector<KivLogRecord> inner = log.of(KIVFN_KIVHPROCESS_CREATEPROCESS);
    ASSERT_EQ(1u, inner.size());
    EXPECT_EQ(40u, inner[0].probe);
    EXPECT_EQ(KIVOSFN_CREATEPROCESS, inner[0].calledFunctionId);
    EXPECT_EQ((Uint32)ERROR_FILE_NOT_FOUND, inner[0].calledValue);
    std::vector<KivLogRecord> outer = log.of(KIVFN_KIVHPROCESS_CREATE);
    ASSERT_EQ(1u, outer.size());
    EXPECT_EQ(40u, outer[0].probe);
    EXPECT_EQ(KIVFN_KIVHPROCESS_CREATEPROCESS, outer[0].calledFunctionId);
    EXPECT_EQ(expected, outer[0].calledValue);
}

TEST_F(ProcessTest, BadParameterObjects)
{
    KivLogCapture log;
    KIVHProcess child;
    EXPECT_EQ(ECF_INVALID_PARAMETER, child.create(nullptr, nullptr, nullptr));
    KIVProcessParam p;
    p.program = self_.c_str();
    p.version = KIV_VERSION_MIN - 1;
    EXPECT_EQ(ECF_INVALID_VERSION, child.create(&p, nullptr, nullptr));
    p.version = KIV_VERSION_CURRENT;
    p.program = nullptr;
    EXPECT_EQ(ECF_INVALID_PARAMETER, child.create(&p, nullptr, nullptr));
    EXPECT_FALSE(child.created);

    std::vector<KivLogRecord> r = log.of(KIVFN_KIVHPROCESS_CREATE);
    ASSERT_EQ(3u, r.size());
    EXPECT_EQ(1111u, r[0].probe);
    EXPECT_EQ(1112u, r[1].probe);
    EXPECT_EQ(30u, r[2].probe);
}

class CompatProcess : public ProcessTest {
protected:
    /* Starts `commandLine` as CreateProcessA does. */
    bool start(std::string commandLine, PROCESS_INFORMATION* info)
    {
        STARTUPINFOA si = {};
        si.cb = sizeof si;
        std::vector<char> line(commandLine.begin(), commandLine.end());
        line.push_back('\0');
        return CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                              nullptr, &si, info) != FALSE;
    }
};

TEST_F(CompatProcess, HandlesSignalWhenTheChildEndsAndKeepTheExitCode)
{
    std::string release = dir_.file("release");
    PROCESS_INFORMATION info;
    ASSERT_TRUE(start(inQuotes(self_) + " --kiv-child waitForFile " + inQuotes(release), &info));
    EXPECT_NE(0u, info.dwProcessId);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(info.hProcess, 0));
    DWORD code = 0;
    ASSERT_TRUE(GetExitCodeProcess(info.hProcess, &code));
    EXPECT_EQ((DWORD)STILL_ACTIVE, code);

    { std::ofstream(release.c_str()) << "go"; }
    // The thread handle sees the end first; the process handle still reports it.
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(info.hThread, INFINITE));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(info.hProcess, INFINITE));
    ASSERT_TRUE(GetExitCodeProcess(info.hProcess, &code));
    EXPECT_EQ(5u, code);
    EXPECT_TRUE(CloseHandle(info.hThread));
    EXPECT_TRUE(CloseHandle(info.hProcess));
}

TEST_F(CompatProcess, AFileThatIsNoProgram)
{
    PROCESS_INFORMATION info;
    std::string text = dir_.file("text.exe");
    { std::ofstream(text.c_str()) << "just some text\n"; }
#if !defined(_WIN32)
    ASSERT_EQ(0, chmod(text.c_str(), 0700));
#endif
    EXPECT_FALSE(start(inQuotes(text), &info));
    EXPECT_EQ((DWORD)ERROR_BAD_EXE_FORMAT, GetLastError());
}

} // namespace

TEST_F(ProcessTest, AnEnvironmentBlockReplacesTheCallers)
{
    std::string other = dir_.file("other.txt");
    // Everything the caller has, with the echo file pointing elsewhere.
    std::string block;
#if defined(_WIN32)
    char* strings = GetEnvironmentStringsA();
    for (const char* e = strings; *e; e += std::strlen(e) + 1)
        if (std::strncmp(e, "KIVTEST_ECHO_FILE=", 18) != 0)
            block += std::string(e) + '\0';
    FreeEnvironmentStringsA(strings);
#else
    for (char** e = environ; *e; ++e)
        if (std::strncmp(*e, "KIVTEST_ECHO_FILE=", 18) != 0)
            block += std::string(*e) + '\0';
#endif
    block += std::string(kEchoFileVariable) + "=" + other + '\0';
    block += '\0';

    std::string list = childArguments("echoArgs", {"env"});
    KIVProcessParam p;
    p.program = self_.c_str();
    p.arguments = list.c_str();
    p.environment = &block[0];
    p.flags = KIV_PROCESS_WAIT;
    KIVProcessStatus status;
    ASSERT_EQ(0u, KIVHProcess().create(&p, nullptr, &status));
    EXPECT_EQ(0u, status.exitCode);
    EXPECT_EQ((std::vector<std::string>{"env"}), echoed(other));
    EXPECT_FALSE(fileExists(echoFile_));
}

namespace {
class ProgramWithBlanks : public ProcessTest {
protected:
    void SetUp() override
    {
        ProcessTest::SetUp();
        std::string dir = dir_.file("dir with blank");
#if defined(_WIN32)
        ASSERT_TRUE(CreateDirectoryA(dir.c_str(), nullptr));
        copy_ = dir + "\\child program.exe";
        ASSERT_TRUE(CopyFileA(self_.c_str(), copy_.c_str(), FALSE));
        char lib[MAX_PATH];
        DWORD n = GetModuleFileNameA(GetModuleHandleA("kive.dll"), lib, sizeof lib);
        ASSERT_GT(n, 0u);
        ASSERT_TRUE(CopyFileA(lib, (dir + "\\kive.dll").c_str(), FALSE));
#else
        ASSERT_EQ(0, mkdir(dir.c_str(), 0700));
        copy_ = dir + "/child program";
        std::ifstream in(self_, std::ios::binary);
        std::ofstream out(copy_, std::ios::binary);
        out << in.rdbuf();
        out.close();
        ASSERT_EQ(0, chmod(copy_.c_str(), 0700));
#endif
    }
    std::string copy_;
};
} // namespace

TEST_F(ProgramWithBlanks, TheProgramIsQuotedUnlessTheCallerDidSo)
{
    for (const std::string& program : {copy_, inQuotes(copy_)}) {
        std::remove(echoFile_.c_str());
        std::string list = childArguments("echoArgs", {"x"});
        KIVProcessParam p = makeParam(program, list, KIV_PROCESS_WAIT);
        KIVProcessStatus status;
        ASSERT_EQ(0u, KIVHProcess().create(&p, nullptr, &status)) << program;
        EXPECT_EQ(0u, status.exitCode);
        EXPECT_EQ((std::vector<std::string>{"x"}), echoed(echoFile_));
    }
}
