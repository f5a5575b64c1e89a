/*
 * test_kivtrc.cpp - the trace tool run as a user runs it: the built kivtrc
 * and kivtrcdemo programs beside this test program, started with arguments,
 * their exit codes and output checked.  A trace is started, the demo host
 * (or child processes of this program) write into it, it is dumped at once
 * or continuously, the dumps are formatted, filters are changed, and
 * damaged dump files are refused with their validation code.
 */
#include "gtattach.h"
#include "gtdump.h"
#include "kivecf.h"
#include "kivfile.h"
#include "kivipc.h"
#include "kivtest.h"
#include "kivthread.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#  include <windows.h>
#else
#  include <fcntl.h>
#  include <signal.h>
#  include <spawn.h>
#  include <sys/wait.h>
#  include <unistd.h>
extern char** environ;
#endif

namespace {

const Uint32 kWriterFn = 0x081A0085u;   /* kivSleep: any function id will do */
const Uint32 kWriterMark = 0x77A1E500u;
const int kToolTimeoutMs = 120000;

typedef std::vector<std::string> Args;

/* ---- Running the tools ---------------------------------------------------------- */

std::string programDirectory()
{
    char path[4096] = {0};
#if defined(_WIN32)
    GetModuleFileNameA(nullptr, path, sizeof path);
    std::string p = path;
    return p.substr(0, p.find_last_of("\\/"));
#else
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string p(path, n > 0 ? static_cast<size_t>(n) : 0);
    return p.substr(0, p.find_last_of('/'));
#endif
}

std::string programPath(const std::string& name)
{
#if defined(_WIN32)
    return programDirectory() + "\\" + name + ".exe";
#else
    return programDirectory() + "/" + name;
#endif
}

/* A started program whose standard output and error go to files. */
class Program {
public:
    Program(const std::string& name, const Args& args, const std::string& outPath,
            const std::string& errPath)
        : m_out(outPath), m_err(errPath)
    {
        start(programPath(name), args);
    }
    ~Program()
    {
        if (running())
            wait(0);
    }
    bool started() const { return m_started; }
    /* The exit code; -2 when it had to be killed after `timeoutMs`. */
    int wait(int timeoutMs = kToolTimeoutMs);
    std::string out() const { return kivtestReadFile(m_out); }
    std::string err() const { return kivtestReadFile(m_err); }

private:
    void start(const std::string& path, const Args& args);
    bool running() const { return m_started && !m_done; }

    std::string m_out, m_err;
    bool m_started = false, m_done = false;
    int m_code = -1;
#if defined(_WIN32)
    HANDLE m_process = nullptr;
#else
    pid_t m_pid = -1;
#endif
};

#if defined(_WIN32)
std::string quoted(const std::string& a)
{
    if (!a.empty() && a.find_first_of(" \t\"") == std::string::npos)
        return a;
    return "\"" + a + "\"";
}

HANDLE inheritableFile(const std::string& path)
{
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    return CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
}

void Program::start(const std::string& path, const Args& args)
{
    std::string line = quoted(path);
    for (const std::string& a : args)
        line += " " + quoted(a);
    HANDLE out = inheritableFile(m_out), err = inheritableFile(m_err);
    STARTUPINFOA si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = out;
    si.hStdError = err;
    PROCESS_INFORMATION pi;
    std::vector<char> buffer(line.begin(), line.end());
    buffer.push_back('\0');
    m_started = CreateProcessA(path.c_str(), buffer.data(), nullptr, nullptr, TRUE, 0, nullptr,
                               nullptr, &si, &pi) != 0;
    CloseHandle(out);
    CloseHandle(err);
    if (m_started) {
        CloseHandle(pi.hThread);
        m_process = pi.hProcess;
    }
}

int Program::wait(int timeoutMs)
{
    if (!m_started)
        return -1;
    if (m_done)
        return m_code;
    if (WaitForSingleObject(m_process, timeoutMs) != WAIT_OBJECT_0) {
        TerminateProcess(m_process, 99);
        WaitForSingleObject(m_process, INFINITE);
        m_code = -2;
    } else {
        DWORD code = 0;
        GetExitCodeProcess(m_process, &code);
        m_code = static_cast<int>(code);
    }
    CloseHandle(m_process);
    m_done = true;
    return m_code;
}

void setEnvironment(const char* name, const char* value) { SetEnvironmentVariableA(name, value); }
#else
void Program::start(const std::string& path, const Args& args)
{
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(path.c_str()));
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 1, m_out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&fa, 2, m_err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    m_started = posix_spawn(&m_pid, path.c_str(), &fa, nullptr, argv.data(), environ) == 0;
    posix_spawn_file_actions_destroy(&fa);
}

int Program::wait(int timeoutMs)
{
    if (!m_started)
        return -1;
    if (m_done)
        return m_code;
    int status = 0;
    for (int waited = 0;; waited += 10) {
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            m_code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
            break;
        }
        if (waited >= timeoutMs) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, &status, 0);
            m_code = -2;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    m_done = true;
    return m_code;
}

void setEnvironment(const char* name, const char* value)
{
    if (value != nullptr)
        setenv(name, value, 1);
    else
        unsetenv(name);
}
#endif

struct Result {
    int code = -1;
    std::string out, err;
};

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        out.push_back(line);
    }
    return out;
}

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

/* Each test has a trace name of its own and a directory; its trace is
 * ended whatever happens. */
class Kivtrc : public ::testing::Test {
protected:
    void SetUp() override
    {
        name_ = kivtestUniqueName("kivtrc");
        ASSERT_EQ(std::string::npos, name_.find('\\'));
    }
    void TearDown() override { tool({"-n", name_, "off"}); }

    Result run(const std::string& program, const Args& args)
    {
        const std::string stem = dir_.file("run" + std::to_string(++runs_));
        Program p(program, args, stem + ".out", stem + ".err");
        Result r;
        EXPECT_TRUE(p.started()) << "cannot start " << programPath(program);
        r.code = p.wait();
        EXPECT_NE(-2, r.code) << program << " did not end";
        r.out = p.out();
        r.err = p.err();
        return r;
    }
    Result tool(const Args& args) { return run("kivtrc", args); }
    /* A command on this test's trace that must succeed. */
    Result ok(const Args& args)
    {
        Args full = {"-n", name_};
        full.insert(full.end(), args.begin(), args.end());
        Result r = tool(full);
        EXPECT_EQ(0, r.code) << args[0] << ": " << r.err;
        return r;
    }
    Result demo(const Args& extra = {})
    {
        Args args = {"-d", dir_.path()};
        args.insert(args.end(), extra.begin(), extra.end());
        Result r = run("kivtrcdemo", args);
        EXPECT_EQ(0, r.code) << r.out << r.err;
        return r;
    }
    /* Dump the trace now and format the dump. */
    Result dumpAndFormat(const std::string& file, const Args& fmtOptions = {})
    {
        ok({"dmp", dir_.file(file)});
        Args args = {"fmt", dir_.file(file)};
        args.insert(args.end(), fmtOptions.begin(), fmtOptions.end());
        Result r = tool(args);
        EXPECT_EQ(0, r.code) << r.err;
        return r;
    }
    std::string file(const std::string& n) const { return dir_.file(n); }

    std::string name_;
    KivTestTempDir dir_;
    int runs_ = 0;
};

/* The record lines of fmt output (those after the column heads, before the
 * summary). */
std::vector<std::string> recordLines(const std::string& fmtOutput)
{
    std::vector<std::string> all = lines(fmtOutput), out;
    bool inside = false;
    for (const std::string& l : all) {
        if (contains(l, "sequence") && contains(l, "function")) {
            inside = true;
            continue;
        }
        if (inside && contains(l, " records"))
            break;
        if (inside)
            out.push_back(l);
    }
    return out;
}

Uint32 sequenceOf(const std::string& line)
{
    return static_cast<Uint32>(strtoul(line.c_str(), nullptr, 10));
}

/* ---- Reading a dump back with the library --------------------------------------------- */

struct Written {
    Uint32 sequence;
    Uint32 writer;
    Uint32 k;
};

struct Parsed {
    std::vector<Written> records;
    Uint8 wrapped = 0;
    Uint32 rejected = 0;
};

Parsed parseDump(const std::string& path, bool forward)
{
    Parsed p;
    KIVHFile f, g;
    KIVFileOpenParam o;
    o.fileName = path.c_str();
    o.openMode = KIV_FILE_OPEN_EXISTING;
    o.accessMode = KIV_FILE_READ;
    EXPECT_EQ(0u, f.open(&o));
    EXPECT_EQ(0u, g.open(&o));
    EXPECT_EQ(0u, gtraceValidateDumpFile(&f, GTRACE_PARSER_RING));
    GtraceDumpFileParser parser;
    EXPECT_EQ(0u, gtraceOpenDumpFileParser(&f, &parser, forward ? 1 : 0));
    GtraceRecord r;
    Uint64 at = 0;
    while (gtraceParseRecords(&f, &parser, &at, &r, sizeof r) != 0) {
        if (r.functionId != kWriterFn || r.fixedData1 != kWriterMark)
            continue;
        // The sequence number sits right before the payload.
        KIVFileSeekParam s;
        s.offset = (Sint64)(at - 8);
        KIVFileReadParam rd;
        rd.byteCount = 4;
        Uint32 sequence = 0;
        g.seek(&s, nullptr);
        g.read(&rd, &sequence, nullptr);
        p.records.push_back(Written{sequence, r.a, r.b});
    }
    ramboDidBufferWrap(&parser.ring, &p.wrapped);
    ramboGetRejectedRecords(&parser.ring, &p.rejected);
    EXPECT_EQ(0u, gtraceCloseDumpFileParser(&parser));
    f.close();
    g.close();
    return p;
}

} // namespace

/* A host process of the test: attaches to the named trace and writes
 * `count` records of mixed sizes, each naming its writer and number. */
KIVTEST_CHILD(kivtrcWriter)
{
    if (args.size() != 3 || gtraceAttachNamed(args[0].c_str()) != 0)
        return 3;
    const Uint32 writer = (Uint32)atoi(args[1].c_str());
    const Uint32 count = (Uint32)atoi(args[2].c_str());
    gtraceSetFixedData1(kWriterMark);
    std::vector<Uint8> data(2000, (Uint8)writer);
    for (Uint32 k = 0; k < count; ++k) {
        GTCB* block = g_pGTCB;
        if (block == nullptr || block->enabled == 0)
            return 4;
        const Uint32 size = (k * 131 + writer * 17) % 7 == 0 ? (k * 37) % 2000 : 0;
        gtraceEntryVar(kivThreadID(), 0, kWriterFn, writer, k, 1, (Uint32)GTRACE_ITEM_BLOCK, size,
                       (const void*)data.data());
    }
    gtraceDetachNamed();
    return 0;
}

/* ---- Attaching by name ----------------------------------------------------- */

TEST(TraceNamedAttach, NamesAndMissingOrIncompleteBlocks)
{
    KIVIPCResID id;
    EXPECT_EQ(ECF_INVALID_PARAMETER, gtraceNamedResID(nullptr, &id));
    EXPECT_EQ(ECF_INVALID_PARAMETER, gtraceNamedResID("x", nullptr));
    EXPECT_EQ(ECF_INVALID_PARAMETER, gtraceAttachNamed(nullptr));
    EXPECT_EQ(ECF_INVALID_PARAMETER, gtraceAttachNamed(""));
    EXPECT_EQ(ECF_INVALID_PARAMETER, gtraceAttachNamed("a\\b"));
    EXPECT_EQ(ECF_INVALID_PARAMETER, gtraceAttachNamed(std::string(201, 'n').c_str()));
    EXPECT_EQ(0u, gtraceNamedResID(std::string(200, 'n').c_str(), &id));

    const std::string name = kivtestUniqueName("named");
    EXPECT_EQ(ECF_MEM_DOESNT_EXIST, gtraceAttachNamed(name.c_str()));

    // Memory of that name that holds no laid-out block.
    KIVHIPCMemory memory;
    KIVIPCMemoryCreateParam p;
    ASSERT_EQ(0u, gtraceNamedResID(name.c_str(), &p.resID));
    p.size = 0x40000;
    ASSERT_EQ(0u, memory.create(&p));
    EXPECT_EQ(ECF_GTRACE_NOT_INITIALIZED, gtraceAttachNamed(name.c_str()));
    EXPECT_EQ(nullptr, g_pGTCB);
    memory.detach();
}

TEST(TraceNamedAttach, AttachOnceDetachAndOtherNames)
{
    const std::string name = kivtestUniqueName("named");
    KIVHIPCMemory memory;
    KIVIPCMemoryCreateParam p;
    ASSERT_EQ(0u, gtraceNamedResID(name.c_str(), &p.resID));
    p.size = gtraceGetAllocSize(0x80000);
    ASSERT_EQ(0u, memory.create(&p));
    std::unique_ptr<GtraceOptions> o(new GtraceOptions());
    o->bufferSize = 0x80000;
    o->traceKind = GTRACE_KIND_WRAP;
    ASSERT_EQ(0u, gtraceInitialize(static_cast<GTCB*>(memory.address), o.get()));

    ASSERT_EQ(0u, gtraceAttachNamed(name.c_str()));
    GTCB* mine = g_pGTCB;
    ASSERT_NE(nullptr, mine);
    EXPECT_NE(memory.address, (void*)mine) << "a mapping of its own";
    EXPECT_EQ(1u, mine->initialized);
    EXPECT_EQ(0u, gtraceEnable());
    EXPECT_EQ(1u, static_cast<GTCB*>(memory.address)->enabled) << "the same block";

    gtraceDetach();
    EXPECT_EQ(0u, gtraceAttachNamed(name.c_str())) << "the same name again";
    EXPECT_EQ(mine, g_pGTCB);
    EXPECT_EQ(ECF_INVALID_INVOCATION_SEQUENCE,
              gtraceAttachNamed(kivtestUniqueName("other").c_str()));
    EXPECT_EQ(0u, gtraceDetachNamed());
    EXPECT_EQ(nullptr, g_pGTCB);
    EXPECT_EQ(0u, gtraceDetachNamed()) << "nothing attached";
    memory.detach();
}

/* ---- Commands and their errors --------------------------------------------- */

TEST_F(Kivtrc, UsageErrorsExitWithOneAndMissingTracesWithTwo)
{
    Result r = tool({});
    EXPECT_EQ(1, r.code);
    EXPECT_TRUE(contains(r.err, "usage: kivtrc")) << r.err;
    EXPECT_EQ(1, tool({"bogus"}).code);
    EXPECT_EQ(1, tool({"-n", name_, "dmp"}).code);
    EXPECT_EQ(1, tool({"fmt"}).code);
    EXPECT_EQ(1, tool({"-n", name_, "on", "-b", "1000K"}).code) << "not a power of two";
    EXPECT_EQ(1, tool({"-n", name_, "on", "-b", "256K"}).code) << "too small";
    EXPECT_EQ(1, tool({"-n", name_, "on", "-m", "no.such.mask"}).code);
    EXPECT_EQ(1, tool({"-n", name_, "on", "-w", "1M"}).code) << "circular needs chunked";
    EXPECT_EQ(1, tool({"-n", name_, "chg"}).code);

    // Commands on a trace that does not exist fail with one line.
    for (const char* command : {"off", "clr", "dmp"}) {
        Args args = {"-n", name_, command};
        if (std::string(command) == "dmp")
            args.push_back(file("x"));
        Result missing = tool(args);
        EXPECT_EQ(2, missing.code) << command;
        EXPECT_EQ(1u, lines(missing.err).size()) << missing.err;
        EXPECT_TRUE(contains(missing.err, "there is no trace named")) << missing.err;
    }
    EXPECT_EQ(2, tool({"-n", name_, "chg", "-e"}).code);
}

TEST_F(Kivtrc, RoundTripWithTheDemoHost)
{
    Result on = ok({"on"});
    EXPECT_TRUE(contains(on.out, "wrapping ring")) << on.out;
    Result host = demo({"-n", name_, "-l", file("demo.log")});
    EXPECT_TRUE(contains(host.out, "every call ended as intended")) << host.out;

    Result fmt = dumpAndFormat("round.dmp");
    for (const char* part : {"instantaneous", "KIVe/KIVHFile::open", "KIVe/KIVHFile::write",
                             "entry", "exit", "rc=0x9000001A ECF_FILE_DOESNT_EXIST",
                             "ECF_FILE_SEEK_BEYOND_EOF", "ECF_MEM_DOESNT_EXIST",
                             "0 torn records rejected", "kivtrcdemo-1.tmp\""})
        EXPECT_TRUE(contains(fmt.out, part)) << part << "\n" << fmt.out;
    std::vector<std::string> forward = recordLines(fmt.out);
    ASSERT_GT(forward.size(), 50u);
    std::vector<Uint32> up;
    for (const std::string& l : forward)
        up.push_back(sequenceOf(l));
    EXPECT_TRUE(std::is_sorted(up.begin(), up.end()));
    EXPECT_EQ(up.size(), std::set<Uint32>(up.begin(), up.end()).size());

    Result reversed = tool({"fmt", file("round.dmp"), "-r"});
    ASSERT_EQ(0, reversed.code);
    std::vector<std::string> backward = recordLines(reversed.out);
    std::reverse(backward.begin(), backward.end());
    EXPECT_EQ(forward, backward) << "-r prints the same records newest first";

    Result flow = tool({"flw", file("round.dmp")});
    ASSERT_EQ(0, flow.code) << flow.err;
    const std::vector<std::string> flowLines = lines(flow.out);
    EXPECT_NE(flowLines.end(),
              std::find(flowLines.begin(), flowLines.end(), "  > KIVe/KIVHFile::open"))
        << flow.out;
    EXPECT_TRUE(contains(flow.out, "  < KIVe/KIVHFile::open rc=0x9000001A ECF_FILE_DOESNT_EXIST"));
    EXPECT_TRUE(contains(flow.out, "    > KIVe/KIVHFile::")) << "the log writer's calls nest";
    size_t threads = 0;
    for (const std::string& l : flowLines)
        threads += l.compare(0, 8, "process ") == 0;
    EXPECT_EQ(2u, threads) << "the demo's two threads";

    // The diagnostic log of the failures the trace shows.
    std::string log = kivtestReadFile(file("demo.log"));
    EXPECT_TRUE(contains(log, "File doesn't exist")) << log;

    Result off = ok({"off"});
    EXPECT_TRUE(contains(off.out, "ended"));
    EXPECT_EQ(2, tool({"-n", name_, "clr"}).code) << "the trace is gone";
}

TEST_F(Kivtrc, HostAttachesAtLoadWhenTheEnvironmentNamesTheTrace)
{
    ok({"on"});
    setEnvironment(GTRACE_NAME_VARIABLE, name_.c_str());
    demo();
    // The tool itself, run with the same environment, must not trace itself.
    Result fmt = dumpAndFormat("env.dmp");
    setEnvironment(GTRACE_NAME_VARIABLE, nullptr);
    EXPECT_TRUE(contains(fmt.out, "ECF_FILE_DOESNT_EXIST")) << fmt.out;
    // Every record comes from the demo: one process id in the third column.
    std::set<std::string> processes;
    for (const std::string& l : recordLines(fmt.out)) {
        std::istringstream in(l);
        std::string sequence, time, process;
        in >> sequence >> time >> process;
        processes.insert(process);
    }
    EXPECT_EQ(1u, processes.size());
}

TEST_F(Kivtrc, OnTwiceOffKeepingTheRecordsAndOnAgain)
{
    ok({"on", "-b", "512K"});
    Result again = tool({"-n", name_, "on", "-b", "1M"});
    EXPECT_EQ(2, again.code);
    EXPECT_TRUE(contains(again.err, "already on")) << again.err;

    demo({"-n", name_});
    Result off = ok({"off", "-k"});
    EXPECT_TRUE(contains(off.out, "switched off"));
    const size_t before = recordLines(dumpAndFormat("a.dmp").out).size();
    demo({"-n", name_});
    EXPECT_EQ(before, recordLines(dumpAndFormat("b.dmp").out).size()) << "tracing was off";

    Result on = ok({"on"});
    EXPECT_TRUE(contains(on.out, "switched on again")) << on.out;
    demo({"-n", name_});
    EXPECT_GT(recordLines(dumpAndFormat("c.dmp").out).size(), before);
}

/* ---- Kinds and filters ----------------------------------------------------- */

TEST_F(Kivtrc, ErrorsOnlyMasksChangeAndClear)
{
    ok({"on", "-e"});
    demo({"-n", name_});
    std::vector<std::string> errors = recordLines(dumpAndFormat("e.dmp").out);
    ASSERT_FALSE(errors.empty());
    for (const std::string& l : errors)
        EXPECT_TRUE(contains(l, " error ") || contains(l, "rc=0x9")) << l;

    ok({"chg", "-a", "-m", "KIVHIPCMemory::attach"});
    ok({"clr"});
    demo({"-n", name_});
    std::vector<std::string> masked = recordLines(dumpAndFormat("m.dmp").out);
    ASSERT_FALSE(masked.empty());
    bool entry = false;
    for (const std::string& l : masked) {
        EXPECT_TRUE(contains(l, "KIVHIPCMemory::attach")) << l;
        entry = entry || contains(l, " entry ");
    }
    EXPECT_TRUE(entry) << "all record types again";

    // By function id and record type: the exits of KIVHFile::open only.
    ok({"chg", "-m", "0x081A0002/2"});
    ok({"clr"});
    demo({"-n", name_});
    std::vector<std::string> exits = recordLines(dumpAndFormat("x.dmp").out);
    ASSERT_FALSE(exits.empty());
    for (const std::string& l : exits)
        EXPECT_TRUE(contains(l, "KIVHFile::open") && contains(l, " exit ")) << l;

    ok({"chg", "-u"});
    ok({"clr"});
    EXPECT_TRUE(recordLines(dumpAndFormat("empty.dmp").out).empty()) << "cleared";
}

TEST_F(Kivtrc, StopWhenFullTraceReportsLostRecords)
{
    ok({"on", "-l", "-b", "512K"});
    Result host = demo({"-n", name_, "-r", "150"});
    Result fmt = dumpAndFormat("full.dmp");
    EXPECT_TRUE(contains(fmt.out, "stop-when-full ring")) << fmt.out.substr(0, 200);
    EXPECT_TRUE(contains(fmt.out, "records were lost")) << lines(fmt.out).back();
    std::vector<std::string> records = recordLines(fmt.out);
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(0u, sequenceOf(records.front()));
}

TEST_F(Kivtrc, ProfilePrintsCallsAndTimesPerFunction)
{
    Result on = ok({"on", "-p"});
    EXPECT_TRUE(contains(on.out, "profile")) << on.out;
    demo({"-n", name_, "-r", "3"});
    Result fmt = dumpAndFormat("p.dmp");
    EXPECT_TRUE(contains(fmt.out, "profile")) << fmt.out;
    bool open = false;
    for (const std::string& l : lines(fmt.out)) {
        if (!contains(l, "KIVe/KIVHFile::open"))
            continue;
        open = true;
        EXPECT_GE(strtoul(l.c_str(), nullptr, 10), 18ul) << l;  // 3 opens, 3 rounds, 2 threads
        EXPECT_TRUE(contains(l, ".")) << "a time in seconds: " << l;
    }
    EXPECT_TRUE(open) << fmt.out;
    EXPECT_TRUE(contains(fmt.out, " functions")) << fmt.out;
    Result flow = tool({"flw", file("p.dmp")});
    EXPECT_EQ(2, flow.code);
    EXPECT_EQ(1u, lines(flow.err).size());
}

/* ---- Continuous dumping while several processes write ---------------------- */

namespace {

/* Writers in child processes while `kivtrc dmp -c` drains the trace; then
 * `kivtrc off`, which waits for the dump to be complete. */
void writeWhileDumping(const std::string& name, const std::string& path, Uint32 writers,
                       Uint32 count, const std::string& dir, Result* dumperResult)
{
    Program dumper("kivtrc", {"-n", name, "dmp", "-c", path}, dir + "/dumper.out",
                   dir + "/dumper.err");
    ASSERT_TRUE(dumper.started());
    std::vector<KivTestProcess> children;
    for (Uint32 w = 0; w < writers; ++w)
        children.push_back(kivtestSpawnChild("kivtrcWriter", {name, std::to_string(w + 1),
                                                              std::to_string(count)}));
    for (KivTestProcess& c : children)
        EXPECT_EQ(0, kivtestWaitChild(c));
    dumperResult->code = -1;
    Program off("kivtrc", {"-n", name, "off", "-k"}, dir + "/off.out", dir + "/off.err");
    EXPECT_EQ(0, off.wait()) << off.err();
    dumperResult->code = dumper.wait();
    dumperResult->out = dumper.out();
    dumperResult->err = dumper.err();
}

} // namespace

TEST_F(Kivtrc, ContinuousDumpWhileSeveralProcessesWriteLosesNothing)
{
    ok({"on", "-c", "-b", "512K"});
    const Uint32 writers = 3, count = 12000;
    Result dumper;
    writeWhileDumping(name_, file("c.dmp"), writers, count, dir_.path(), &dumper);
    ASSERT_EQ(0, dumper.code) << dumper.err;
    EXPECT_TRUE(contains(dumper.out, "continuous dump")) << dumper.out;

    Parsed forward = parseDump(file("c.dmp"), true);
    ASSERT_EQ(writers * count, forward.records.size());
    std::map<Uint32, Uint32> next;
    for (size_t i = 0; i < forward.records.size(); ++i) {
        const Written& w = forward.records[i];
        if (i > 0) {
            EXPECT_LT(forward.records[i - 1].sequence, w.sequence);
        }
        EXPECT_EQ(next[w.writer], w.k) << "writer " << w.writer;
        next[w.writer] = w.k + 1;
    }
    EXPECT_EQ(0u, forward.rejected);
    EXPECT_EQ(0u, forward.wrapped);
    EXPECT_GT(forward.records.back().sequence, 4 * 8192u) << "the ring went round several times";

    Parsed backward = parseDump(file("c.dmp"), false);
    ASSERT_EQ(forward.records.size(), backward.records.size());
    for (size_t i = 0; i < forward.records.size(); ++i)
        EXPECT_EQ(forward.records[i].sequence,
                  backward.records[backward.records.size() - 1 - i].sequence);

    Result fmt = tool({"fmt", file("c.dmp")});
    EXPECT_EQ(0, fmt.code);
    EXPECT_TRUE(contains(fmt.out, "continuous")) << fmt.out.substr(0, 300);
}

TEST_F(Kivtrc, CircularContinuousDumpKeepsTheNewestRecords)
{
    ok({"on", "-c", "-b", "512K", "-w", "256K"});
    const Uint32 writers = 2, count = 15000;
    Result dumper;
    writeWhileDumping(name_, file("w.dmp"), writers, count, dir_.path(), &dumper);
    ASSERT_EQ(0, dumper.code) << dumper.err;
    EXPECT_LE(kivtestReadFile(file("w.dmp")).size(), GTRACE_DUMP_HEADER_SIZE + 0x40000u);

    Parsed forward = parseDump(file("w.dmp"), true);
    ASSERT_FALSE(forward.records.empty());
    EXPECT_EQ(1u, forward.wrapped);
    for (size_t i = 1; i < forward.records.size(); ++i)
        EXPECT_LT(forward.records[i - 1].sequence, forward.records[i].sequence);
    // The newest records of every writer are there.
    std::map<Uint32, Uint32> last;
    for (const Written& w : forward.records)
        last[w.writer] = std::max(last[w.writer], w.k);
    EXPECT_EQ(count - 1, std::max(last[1], last[2]));
    Parsed backward = parseDump(file("w.dmp"), false);
    ASSERT_EQ(forward.records.size(), backward.records.size());
    EXPECT_EQ(forward.records.back().sequence, backward.records.front().sequence);
}

TEST_F(Kivtrc, ContinuousDumpNeedsAChunkedTrace)
{
    ok({"on"});
    Result r = tool({"-n", name_, "dmp", "-c", file("x")});
    EXPECT_EQ(2, r.code);
    EXPECT_TRUE(contains(r.err, "chunked")) << r.err;
}

/* ---- Damaged dump files ---------------------------------------------------- */

namespace {

void writeFile(const std::string& path, const std::string& bytes)
{
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    if (!bytes.empty()) {
        ASSERT_EQ(bytes.size(), fwrite(bytes.data(), 1, bytes.size(), f));
    }
    fclose(f);
}

} // namespace

TEST_F(Kivtrc, DamagedDumpsGetTheirCodeAOneLineMessageAndExitTwo)
{
    ok({"on"});
    demo({"-n", name_});
    ok({"dmp", file("good.dmp")});
    const std::string good = kivtestReadFile(file("good.dmp"));
    ASSERT_GT(good.size(), (size_t)GTRACE_DUMP_HEADER_SIZE + 32);

    // A few representative damages; every code has its own case in the
    // library's dump tests.
    std::string misspelt = good;
    misspelt[0] = 'X';
    std::string badIndex = good;
    const Uint32 slots = 0x100000 / 64;
    memcpy(&badIndex[good.size() - 32 + 12], &slots, 4);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {std::string(), "ECF_GTRACE_DUMP_HEADER_TRUNCATED"},
        {misspelt, "ECF_GTRACE_INVALID_DUMP_EYE_CATCHER"},
        {good.substr(0, GTRACE_DUMP_PREFIX_SIZE + 5), "ECF_RAMBO_DUMP_HEADER_TRUNCATED"},
        {good.substr(0, good.size() - 32), "ECF_RAMBO_INSTANT_DUMP_TRUNCATED"},
        {badIndex, "ECF_RAMBO_INVALID_DUMP_SLOT_INDEX"},
    };
    int n = 0;
    for (const auto& c : cases) {
        const std::string path = file("bad" + std::to_string(++n));
        writeFile(path, c.first);
        for (const char* command : {"fmt", "flw"}) {
            Result r = tool({command, path});
            EXPECT_EQ(2, r.code) << command << " " << c.second;
            EXPECT_EQ(1u, lines(r.err).size()) << r.err;
            EXPECT_TRUE(contains(r.err, c.second)) << r.err;
            EXPECT_TRUE(r.out.empty()) << r.out;
        }
    }
    Result missing = tool({"fmt", file("no-such.dmp")});
    EXPECT_EQ(2, missing.code);
    EXPECT_TRUE(contains(missing.err, "ECF_FILE_DOESNT_EXIST")) << missing.err;
}

TEST_F(Kivtrc, TornRecordsArePrintedAroundAndCounted)
{
    ok({"on"});
    demo({"-n", name_});
    ok({"dmp", file("t.dmp")});
    std::string dump = kivtestReadFile(file("t.dmp"));
    const std::vector<std::string> before = recordLines(tool({"fmt", file("t.dmp")}).out);
    // Tear the trailers of three one-slot records: the 3rd, 10th and 20th
    // sealed slots whose record is one slot long.
    int seen = 0, torn = 0;
    for (size_t at = GTRACE_DUMP_HEADER_SIZE; at + 64 <= dump.size() - 32 && torn < 3; at += 64) {
        Uint16 marker, n;
        memcpy(&marker, &dump[at + 4], 2);
        memcpy(&n, &dump[at + 6], 2);
        if (marker != RAMBO_SEAL_MARKER || n != 1)
            continue;
        if (++seen == 3 || seen == 10 || seen == 20) {
            dump[at + 63] = static_cast<char>(dump[at + 63] ^ 0x5A);
            ++torn;
        }
    }
    ASSERT_EQ(3, torn);
    writeFile(file("t2.dmp"), dump);
    Result fmt = tool({"fmt", file("t2.dmp")});
    ASSERT_EQ(0, fmt.code) << fmt.err;
    EXPECT_EQ(before.size() - 3, recordLines(fmt.out).size());
    EXPECT_TRUE(contains(fmt.out, "3 torn records rejected")) << lines(fmt.out).back();
    Result reversed = tool({"fmt", file("t2.dmp"), "-r"});
    EXPECT_TRUE(contains(reversed.out, "3 torn records rejected")) << lines(reversed.out).back();
}
