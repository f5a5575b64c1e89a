/*
 * test_kivtrc.cpp - the trace tool run as a user runs it: the built kivtrc
 * and kivtrcdemo programs beside this test program, started with arguments,
 * their exit codes and output checked.  A trace is started, the demo host
 * (or child processes of this program) write into it, it is dumped at once
 * or continuously, the dumps are formatted, filters are changed, and
 * damaged dump files are refused with their validation code.  The parser's
 * own paths (torn records, each damage, both directions) are the dump
 * tests' business.
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

/* ---- Running the tools ---------------------------------------------------------- */

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
    int wait()
    {
        if (!done)
            code = kivtestWaitChild(child);
        done = true;
        return code;
    }
    std::string out, err;
    KivTestProcess child;
    bool done = false;
    int code = -1;
};

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
    void SetUp() override { name_ = kivtestUniqueName("kivtrc"); }
    void TearDown() override { tool({"-n", name_, "off"}); }

    Result run(const std::string& program, const Args& args)
    {
        const std::string stem = dir_.file("run" + std::to_string(++runs_));
        Program p(program, args, stem);
        Result r;
        r.code = p.wait();
        EXPECT_GT(125, r.code) << "cannot start " << programPath(program);
        r.out = kivtestReadFile(p.out);
        r.err = kivtestReadFile(p.err);
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

struct Written {
    Uint32 sequence;
    Uint32 writer;
    Uint32 k;
};

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

/* ---- Attaching by name ----------------------------------------------------- */

TEST(TraceNamedAttach, NamesAndMissingOrIncompleteBlocks)
{
    KIVIPCResID id;
    EXPECT_EQ(ECF_INVALID_PARAMETER, gtraceNamedResID(nullptr, &id));
    EXPECT_EQ(ECF_INVALID_PARAMETER, gtraceNamedResID("x", nullptr));
    for (const char* bad : {(const char*)nullptr, "", "a\\b"})
        EXPECT_EQ(ECF_INVALID_PARAMETER, gtraceAttachNamed(bad));
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
    EXPECT_NE(memory.address, (void*)mine) << "a mapping of its own";
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
    Result host = demo({"-n", name_});
    EXPECT_TRUE(contains(host.out, "every call ended as intended")) << host.out;

    Result fmt = dumpAndFormat("round.dmp");
    for (const char* part : {"instantaneous", "KIVe/KIVHFile::open", "KIVe/KIVHFile::write",
                             "entry", "exit", "rc=0x9000001A ECF_FILE_DOESNT_EXIST",
                             "ECF_FILE_SEEK_BEYOND_EOF", "ECF_MEM_DOESNT_EXIST",
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
    const std::vector<std::string> flowLines = lines(flow.out);
    EXPECT_NE(flowLines.end(),
              std::find(flowLines.begin(), flowLines.end(), "  > KIVe/KIVHFile::open"))
        << flow.out;
    EXPECT_TRUE(contains(flow.out, "  < KIVe/KIVHFile::open rc=0x9000001A ECF_FILE_DOESNT_EXIST"));

    Result off = ok({"off"});
    EXPECT_TRUE(contains(off.out, "ended"));
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
    // Every record comes from the demo: one process id in the third column.
    std::set<std::string> processes;
    for (const std::string& l : recordLines(fmt.out))
        processes.insert(l.substr(34, 7));
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

    ok({"chg", "-u"});
    ok({"clr"});
    EXPECT_TRUE(recordLines(dumpAndFormat("empty.dmp").out).empty()) << "cleared";
}

TEST_F(Kivtrc, StopWhenFullTraceReportsLostRecords)
{
    ok({"on", "-l", "-b", "512K"});
    demo({"-n", name_, "-r", "150"});
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

/* Writers in child processes while `kivtrc dmp -c` drains the trace; then
 * `kivtrc off`, which waits for the dump to be complete. */
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
    EXPECT_TRUE(contains(kivtestReadFile(dumper.out), "continuous dump"));

    Result fmt = tool({"fmt", file("c.dmp")});
    ASSERT_EQ(0, fmt.code) << fmt.err;
    EXPECT_TRUE(contains(fmt.out, "continuous")) << fmt.out.substr(0, 300);
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

    // Two representative damages, of the trace part and of the ring part;
    // every code has its own case in the library's dump tests.
    const std::vector<std::pair<std::string, std::string>> cases = {
        {std::string(), "ECF_GTRACE_DUMP_HEADER_TRUNCATED"},
        {good.substr(0, GTRACE_DUMP_PREFIX_SIZE + 5), "ECF_RAMBO_DUMP_HEADER_TRUNCATED"},
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
