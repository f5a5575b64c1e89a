/*
 * test_kivtrc.cpp - the trace tool run as a user runs it: the built kivtrc
 * and kivtrcdemo programs started with arguments, their exit codes and
 * output checked.  The parser's own paths are the dump tests' business.
 */
#include "gtattach.h"
#include "gtdump.h"
#include "kivecf.h"
#include "kivipc.h"
#include "kivtest.h"
#include "kivthread.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#if defined(_WIN32)
#  include <windows.h>
#else
#  include <unistd.h>
#endif

namespace {

typedef std::vector<std::string> Args;

std::string programPath(const std::string& name)
{
    char path[4096] = {0};
#if defined(_WIN32)
    GetModuleFileNameA(nullptr, path, sizeof path);
    std::string p = path;
    return p.substr(0, p.find_last_of("\\/") + 1) + name + ".exe";
#else
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string p(path, n > 0 ? static_cast<size_t>(n) : 0);
    return p.substr(0, p.find_last_of('/') + 1) + name;
#endif
}

} // namespace

/* args: standard output file, standard error file, program, its arguments.
 * Runs the program with its output in the files; exits with its code. */
KIVTEST_CHILD(kivtrcProgram)
{
    if (args.size() < 3)
        return 125;
#if defined(_WIN32)
    std::string line;
    for (size_t i = 2; i < args.size(); ++i)
        line += (i > 2 ? " \"" : "\"") + args[i] + "\"";
    SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
    HANDLE files[2];
    for (int i = 0; i < 2; ++i)
        files[i] = CreateFileA(args[i].c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               &sa, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    STARTUPINFOA si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    si.hStdOutput = files[0];
    si.hStdError = files[1];
    PROCESS_INFORMATION pi;
    if (!CreateProcessA(args[2].c_str(), &line[0], nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                        &si, &pi))
        return 126;
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    return static_cast<int>(code);
#else
    if (freopen(args[0].c_str(), "w", stdout) == nullptr ||
        freopen(args[1].c_str(), "w", stderr) == nullptr)
        return 126;
    std::vector<char*> argv;
    for (size_t i = 2; i < args.size(); ++i)
        argv.push_back(const_cast<char*>(args[i].c_str()));
    argv.push_back(nullptr);
    execv(argv[0], argv.data());
    return 127;
#endif
}

namespace {

/* A started program whose standard output and error go to the files
 * `out` and `err`; waited for at the latest when it goes. */
struct Program {
    Program(const std::string& name, const Args& args, const std::string& stem)
        : out(stem + ".out"), err(stem + ".err")
    {
        Args all = {out, err, programPath(name)};
        all.insert(all.end(), args.begin(), args.end());
        child = kivtestSpawnChild("kivtrcProgram", all);
    }
    ~Program() { wait(); }
    int wait() { return done ? code : (done = true, code = kivtestWaitChild(child)); }
    std::string out, err;
    KivTestProcess child;
    bool done = false;
    int code = -1;
};

struct Result { int code = -1; std::string out, err; };

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
    void SetUp() override { name_ = kivtestUniqueName("kivtrc"); }
    void TearDown() override { tool({"-n", name_, "off"}); }

    Result run(const std::string& program, const Args& args)
    {
        const std::string stem = dir_.file("run" + std::to_string(++runs_));
        Program p(program, args, stem);
        Result r = {p.wait(), kivtestReadFile(p.out), kivtestReadFile(p.err)};
        EXPECT_GT(125, r.code) << "cannot start " << programPath(program);
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
    Result dumpAndFormat(const std::string& file)
    {
        ok({"dmp", dir_.file(file)});
        Result r = tool({"fmt", dir_.file(file)});
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
    std::vector<std::string> out;
    bool inside = false;
    for (const std::string& l : lines(fmtOutput)) {
        if (inside && contains(l, " records"))
            break;
        if (inside)
            out.push_back(l);
        inside = inside || (contains(l, "sequence") && contains(l, "function"));
    }
    return out;
}

Uint32 sequenceOf(const std::string& line)
{
    return static_cast<Uint32>(strtoul(line.c_str(), nullptr, 10));
}

struct Written { Uint32 sequence, writer, k; };

/* The writers' records in a fmt listing (an entry of kivSleep, its words a
 * and b naming writer and number), in the listing's order. */
std::vector<Written> writerRecords(const std::string& fmtOutput)
{
    std::vector<Written> out;
    for (const std::string& l : recordLines(fmtOutput)) {
        const size_t words = l.find(" a=");
        Written w = {sequenceOf(l), 0, 0};
        if (contains(l, "kivSleep") && contains(l, " entry ") && words != std::string::npos &&
            sscanf(l.c_str() + words, " a=%u b=%u", &w.writer, &w.k) == 2)
            out.push_back(w);
    }
    return out;
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
    std::vector<Uint8> data(2000, (Uint8)writer);
    for (Uint32 k = 0; k < count; ++k) {
        GTCB* block = g_pGTCB;
        if (block == nullptr || block->enabled == 0)
            return 4;
        const Uint32 size = (k * 131 + writer * 17) % 7 == 0 ? (k * 37) % 2000 : 0;
        gtraceEntryVar(kivThreadID(), 0, KIVFN_KIVSLEEP, writer, k, 1, (Uint32)GTRACE_ITEM_BLOCK,
                       size, (const void*)data.data());
    }
    gtraceDetachNamed();
    return 0;
}

TEST(TraceNamedAttach, BadNamesMissingIncompleteAndAttachedBlocks)
{
    KIVIPCResID id;
    EXPECT_EQ(ECF_INVALID_PARAMETER, gtraceAttachNamed(""));
    EXPECT_EQ(ECF_INVALID_PARAMETER, gtraceAttachNamed(std::string(201, 'n').c_str()));
    EXPECT_EQ(0u, gtraceNamedResID(std::string(200, 'n').c_str(), &id));
    const std::string name = kivtestUniqueName("named");
    EXPECT_EQ(ECF_MEM_DOESNT_EXIST, gtraceAttachNamed(name.c_str()));
    KIVHIPCMemory memory;
    KIVIPCMemoryCreateParam p;
    ASSERT_EQ(0u, gtraceNamedResID(name.c_str(), &p.resID));
    p.size = gtraceGetAllocSize(0x80000);
    ASSERT_EQ(0u, memory.create(&p));
    EXPECT_EQ(ECF_GTRACE_NOT_INITIALIZED, gtraceAttachNamed(name.c_str())) << "no block laid out";
    EXPECT_EQ(nullptr, g_pGTCB);

    std::unique_ptr<GtraceOptions> o(new GtraceOptions());
    o->bufferSize = 0x80000;
    o->traceKind = GTRACE_KIND_WRAP;
    ASSERT_EQ(0u, gtraceInitialize(static_cast<GTCB*>(memory.address), o.get()));
    ASSERT_EQ(0u, gtraceAttachNamed(name.c_str()));
    EXPECT_NE(memory.address, (void*)g_pGTCB) << "a mapping of its own";
    EXPECT_EQ(0u, gtraceEnable());
    EXPECT_EQ(1u, static_cast<GTCB*>(memory.address)->enabled) << "the same block";
    EXPECT_EQ(ECF_INVALID_INVOCATION_SEQUENCE,
              gtraceAttachNamed(kivtestUniqueName("other").c_str()));
    EXPECT_EQ(0u, gtraceDetachNamed());
    EXPECT_EQ(nullptr, g_pGTCB);
    memory.detach();
}

TEST_F(Kivtrc, UsageErrorsExitWithOneAndMissingTracesWithTwo)
{
    Result r = tool({});
    EXPECT_EQ(1, r.code);
    EXPECT_TRUE(contains(r.err, "usage: kivtrc")) << r.err;
    EXPECT_EQ(1, tool({"-n", name_, "on", "-b", "256K"}).code) << "too small";
    EXPECT_EQ(1, tool({"-n", name_, "on", "-w", "1M"}).code) << "circular needs chunked";
    Result missing = tool({"-n", name_, "dmp", file("x")});
    EXPECT_EQ(2, missing.code);
    EXPECT_EQ(1u, lines(missing.err).size()) << missing.err;
    EXPECT_TRUE(contains(missing.err, "there is no trace named")) << missing.err;
}

TEST_F(Kivtrc, RoundTripWithTheDemoHost)
{
    ok({"on"});
    EXPECT_EQ(2, tool({"-n", name_, "on", "-b", "1M"}).code) << "already on";
    Result host = demo({"-n", name_});
    EXPECT_TRUE(contains(host.out, "every call ended as intended")) << host.out;

    Result fmt = dumpAndFormat("round.dmp");
    for (const char* part : {"KIVe/KIVHFile::open", "rc=0x9000001A ECF_FILE_DOESNT_EXIST",
                             "0 torn records rejected", "kivtrcdemo-1.tmp\""})
        EXPECT_TRUE(contains(fmt.out, part)) << part << "\n" << fmt.out;
    std::vector<std::string> forward = recordLines(fmt.out);
    ASSERT_GT(forward.size(), 50u);
    Result reversed = tool({"fmt", file("round.dmp"), "-r"});
    ASSERT_EQ(0, reversed.code);
    std::vector<std::string> backward = recordLines(reversed.out);
    std::reverse(backward.begin(), backward.end());
    EXPECT_EQ(forward, backward) << "-r prints the same records newest first";

    Result flow = tool({"flw", file("round.dmp")});
    ASSERT_EQ(0, flow.code) << flow.err;
    EXPECT_TRUE(contains(flow.out, "  < KIVe/KIVHFile::open rc=0x9000001A ECF_FILE_DOESNT_EXIST"));
    ok({"off"});
    EXPECT_EQ(2, tool({"-n", name_, "clr"}).code) << "the trace is gone";
}

TEST_F(Kivtrc, HostAttachesAtLoadWhenTheEnvironmentNamesTheTrace)
{
    ok({"on"});
    kivtestSetEnv(GTRACE_NAME_VARIABLE, name_.c_str());
    demo();
    // The tool itself, run with the same environment, must not trace itself.
    Result fmt = dumpAndFormat("env.dmp");
    kivtestSetEnv(GTRACE_NAME_VARIABLE, nullptr);
    EXPECT_TRUE(contains(fmt.out, "ECF_FILE_DOESNT_EXIST")) << fmt.out;
    std::set<std::string> processes;  // the process id column
    for (const std::string& l : recordLines(fmt.out))
        processes.insert(l.substr(34, 7));
    EXPECT_EQ(1u, processes.size());
}

TEST_F(Kivtrc, ErrorsOnlyNoContinuousDumpThenChangeAndClear)
{
    ok({"on", "-e"});
    demo({"-n", name_});
    std::vector<std::string> errors = recordLines(dumpAndFormat("e.dmp").out);
    ASSERT_FALSE(errors.empty());
    for (const std::string& l : errors)
        EXPECT_TRUE(contains(l, " error ") || contains(l, "rc=0x9")) << l;
    Result c = tool({"-n", name_, "dmp", "-c", file("x")});
    EXPECT_EQ(2, c.code) << "a continuous dump needs a chunked trace";
    EXPECT_TRUE(contains(c.err, "chunked")) << c.err;
    ok({"chg", "-u"});
    ok({"clr"});
    EXPECT_TRUE(recordLines(dumpAndFormat("empty.dmp").out).empty()) << "cleared";
}

TEST_F(Kivtrc, StopWhenFullTraceReportsLostRecords)
{
    ok({"on", "-l", "-b", "512K"});
    demo({"-n", name_, "-r", "150"});
    Result fmt = dumpAndFormat("full.dmp");
    EXPECT_TRUE(contains(fmt.out, "records were lost")) << lines(fmt.out).back();
    std::vector<std::string> records = recordLines(fmt.out);
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(0u, sequenceOf(records.front()));
}

/* `kivtrc off` waits for the continuous dump to be complete. */
TEST_F(Kivtrc, ContinuousDumpWhileSeveralProcessesWriteLosesNothing)
{
    ok({"on", "-c", "-b", "512K"});
    const Uint32 writers = 3, count = 12000;
    Program dumper("kivtrc", {"-n", name_, "dmp", "-c", file("c.dmp")}, file("dumper"));
    std::vector<KivTestProcess> children;
    for (Uint32 w = 0; w < writers; ++w)
        children.push_back(kivtestSpawnChild("kivtrcWriter", {name_, std::to_string(w + 1),
                                                              std::to_string(count)}));
    for (KivTestProcess& c : children)
        EXPECT_EQ(0, kivtestWaitChild(c));
    ok({"off", "-k"});
    ASSERT_EQ(0, dumper.wait()) << kivtestReadFile(dumper.err);

    Result fmt = tool({"fmt", file("c.dmp")});
    ASSERT_EQ(0, fmt.code) << fmt.err;
    EXPECT_TRUE(contains(lines(fmt.out).back(), " records; 0 torn records rejected"))
        << lines(fmt.out).back();
    const std::vector<Written> found = writerRecords(fmt.out);
    ASSERT_EQ(writers * count, found.size());
    std::map<Uint32, Uint32> next;
    for (const Written& w : found) {
        EXPECT_EQ(next[w.writer], w.k) << "writer " << w.writer;
        next[w.writer] = w.k + 1;
    }
    EXPECT_GT(found.back().sequence, 4 * 8192u) << "the ring went round several times";
}

TEST_F(Kivtrc, DamagedDumpsGetTheirCodeAOneLineMessageAndExitTwo)
{
    const std::string path = file("empty.dmp");
    FILE* f = fopen(path.c_str(), "wb");
    ASSERT_NE(nullptr, f);
    fclose(f);
    for (const char* command : {"fmt", "flw"}) {
        Result r = tool({command, path});
        EXPECT_EQ(2, r.code) << command;
        EXPECT_EQ(1u, lines(r.err).size()) << r.err;
        EXPECT_TRUE(contains(r.err, "ECF_GTRACE_DUMP_HEADER_TRUNCATED")) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
    }
    Result missing = tool({"fmt", file("no-such.dmp")});
    EXPECT_EQ(2, missing.code);
    EXPECT_TRUE(contains(missing.err, "ECF_FILE_DOESNT_EXIST")) << missing.err;
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
