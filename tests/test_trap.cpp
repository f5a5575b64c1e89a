/*
 * test_trap.cpp - trap files: faults in child processes written by the
 * installed handler and read back with the reader tool, the sections of a
 * dump, instruction capture at the edge of readable memory, the memory
 * regions written once, and the XML prolog.
 */
#include "kivecf.h"
#include "kivtrap.h"
#include "kivtest.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#if !defined(_WIN32)
#  include <sys/mman.h>
#  include <unistd.h>
#endif

/* ---- faulting children -------------------------------------------------------------- */

volatile int* volatile g_nowhere = nullptr;
volatile int           g_zero = 0;

// The faults are the point: the undefined-behaviour checks of a sanitizer
// build must not stop them before the hardware does.
__attribute__((noinline, no_sanitize_undefined)) void faultNullWrite()
{
    *g_nowhere = 1;
}

__attribute__((noinline, no_sanitize_undefined)) int faultDivideByZero()
{
    return 100 / g_zero;
}

KIVTEST_CHILD(trapNullWrite)
{
    if (args.empty() || kivTrapInstallHandler(args[0].c_str(), 0) != 0)
        return 2;
    faultNullWrite();
    return 0;
}

KIVTEST_CHILD(trapDivideByZero)
{
    if (args.empty() || kivTrapInstallHandler(args[0].c_str(), 0) != 0)
        return 2;
    return faultDivideByZero() == 0 ? 0 : 1;
}

namespace {

/* ---- reading files and running the reader ---------------------------------------------- */

std::vector<unsigned char> fileBytes(const std::string& path)
{
    std::string text = kivtestReadFile(path);
    return std::vector<unsigned char>(text.begin(), text.end());
}

template <class T> T at(const std::vector<unsigned char>& bytes, size_t offset)
{
    T value;
    memcpy(&value, bytes.data() + offset, sizeof value);
    return value;
}

std::string programPath()
{
    char path[MAX_PATH + 1] = {0};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    return path;
}

std::string programStem()
{
    std::string p = programPath();
    p = p.substr(p.find_last_of("/\\") + 1);
    return p.substr(0, p.find('.'));
}

/* Writes the sections of a fresh trap file at `path`, with `context`. */
void dumpTo(const std::string& path, Uint32 sections, CONTEXT* context = nullptr)
{
    KIVTrapFile trap;
    ASSERT_EQ(trap.open(path.c_str(), KIV_PFILE_CREATE), 0);
    trap.initialize(0, nullptr, context, nullptr);
    trap.dump(sections, 0, nullptr, context);
    trap.close();
}

/* Runs the reader tool on a trap file, its text going to `output`;
 * returns its exit code. */
int runReader(const std::string& trapFile, const std::string& output,
              const std::string& options = "")
{
    std::string tool = programPath();
    tool = tool.substr(0, tool.find_last_of("/\\") + 1) + "kivtrap";
#if defined(_WIN32)
    tool += ".exe";
#endif
    std::string line = "\"" + tool + "\" " + options + " -o \"" + output + "\" \"" + trapFile + "\"";
    std::vector<char> command(line.begin(), line.end());
    command.push_back('\0');
    STARTUPINFOA si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    if (!CreateProcessA(tool.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &si, &pi))
        return -1;
    WaitForSingleObject(pi.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(pi.hProcess, &code);
    CloseHandle(pi.hThread);
    CloseHandle(pi.hProcess);
    return (int)code;
}

/* The reader's text, with the platform's line ends made "\n". */
std::string readerText(const std::string& path)
{
    std::string text = kivtestReadFile(path);
    text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
    return text;
}

/* The lines of the reader's section `title` (up to the next title). */
std::string sectionText(const std::string& text, const std::string& title)
{
    size_t start = text.find("\n" + title + "\n");
    if (start == std::string::npos)
        return std::string();
    start += title.size() + 2;
    size_t end = start;
    while (end < text.size()) {
        size_t next = text.find('\n', end);
        if (next == std::string::npos)
            return text.substr(start);
        if (next + 1 < text.size() && text[next + 1] != ' ')
            return text.substr(start, next + 1 - start);
        end = next + 1;
    }
    return text.substr(start);
}

/* A child that faults, and what the reader makes of its trap file. */
struct FaultReport {
    int         exitCode = 0;
    int         readerCode = -1;
    std::string text;
    std::vector<unsigned char> bytes;
};

FaultReport faultInChild(const char* child, const KivTestTempDir& dir)
{
    FaultReport r;
    std::string trap = dir.file("fault.trap");
    std::string output = dir.file("fault.txt");
    KivTestProcess p = kivtestSpawnChild(child, {trap});
    r.exitCode = kivtestWaitChild(p);
    r.bytes = fileBytes(trap);
    r.readerCode = runReader(trap, output);
    r.text = readerText(output);
    return r;
}

/* ---- protected pages -------------------------------------------------------------------- */

/* Three pages: unreadable, readable, unreadable. */
class GuardedPage {
public:
    GuardedPage()
    {
#if defined(_WIN32)
        SYSTEM_INFO si;
        GetSystemInfo(&si);
        page_ = si.dwPageSize;
        base_ = static_cast<char*>(VirtualAlloc(nullptr, 3 * page_, MEM_COMMIT | MEM_RESERVE,
                                                PAGE_READWRITE));
        DWORD old;
        VirtualProtect(base_, page_, PAGE_NOACCESS, &old);
        VirtualProtect(base_ + 2 * page_, page_, PAGE_NOACCESS, &old);
#else
        page_ = (size_t)sysconf(_SC_PAGESIZE);
        void* p = mmap(nullptr, 3 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                       -1, 0);
        base_ = p == MAP_FAILED ? nullptr : static_cast<char*>(p);
        if (base_) {
            mprotect(base_, page_, PROT_NONE);
            mprotect(base_ + 2 * page_, page_, PROT_NONE);
        }
#endif
    }
    ~GuardedPage()
    {
#if defined(_WIN32)
        VirtualFree(base_, 0, MEM_RELEASE);
#else
        munmap(base_, 3 * page_);
#endif
    }
    char*  readable() const { return base_ ? base_ + page_ : nullptr; }
    size_t pageSize() const { return page_; }

private:
    char*  base_ = nullptr;
    size_t page_ = 0;
};

void setPC(CONTEXT* c, uintptr_t pc)
{
#if defined(__x86_64__) || defined(_M_X64)
    c->Rip = pc;
#else
    c->Eip = (DWORD)pc;
#endif
}

/* The header a trap file gets from a context whose instruction pointer is
 * `pc`, with or without the control registers. */
KIVTrapHeader headerForPC(const KivTestTempDir& dir, uintptr_t pc, bool control = true)
{
    CONTEXT context;
    memset(&context, 0, sizeof context);
    context.ContextFlags = control ? CONTEXT_CONTROL : 0;
    setPC(&context, pc);
    std::string path = dir.file("pc.trap");
    DeleteFileA(path.c_str());
    dumpTo(path, KIV_TRAP_SECTION_HEADER, &context);
    std::vector<unsigned char> bytes = fileBytes(path);
    KIVTrapHeader h;
    memset(&h, 0, sizeof h);
    if (bytes.size() == sizeof h)
        h = at<KIVTrapHeader>(bytes, 0);
    return h;
}

} // namespace

/* ---- faults in child processes ---------------------------------------------------------- */

TEST(TrapFault, TrapNamesTheFaultingFunction)
{
    const struct {
        const char* child;
        const char* code;
        const char* function;
        const char* caller;
        const char* record; // in the exception record section
    } faults[] = {
        {"trapNullWrite", "0xC0000005", "faultNullWrite", "", "write of 0x"},
        {"trapDivideByZero", "0xC0000094", "faultDivideByZero", "trapDivideByZero", ""},
    };
    for (const auto& f : faults) {
        SCOPED_TRACE(f.child);
        KivTestTempDir dir;
        FaultReport r = faultInChild(f.child, dir);
        // The process ends as the fault ends it: by the signal, or with the code.
        EXPECT_NE(r.exitCode, 0);
        EXPECT_NE(r.exitCode, 2);
        ASSERT_GE(r.bytes.size(), sizeof(KIVTrapHeader));
        KIVTrapHeader h = at<KIVTrapHeader>(r.bytes, 0);
        Uint32 expected = KIV_TRAP_HAS_RECORD | KIV_TRAP_HAS_CONTEXT | KIV_TRAP_MODULES_LIVE |
                          KIV_TRAP_CODE_TRIED | KIV_TRAP_CODE_CAPTURED;
        EXPECT_EQ(h.flags & expected, expected) << std::hex << h.flags;
        EXPECT_GT(h.moduleCount, 0);

        EXPECT_EQ(r.readerCode, 0) << r.text;
        EXPECT_NE(r.text.find(std::string("Code:               ") + f.code), std::string::npos)
            << r.text;
        // The first frame is the faulting instruction's; its caller is found too.
        std::string stack = sectionText(r.text, "Stack");
        EXPECT_NE(stack.substr(0, stack.find('\n')).find(f.function), std::string::npos) << stack;
        EXPECT_NE(stack.find(f.caller), std::string::npos) << stack;
        EXPECT_NE(sectionText(r.text, "Modules").find(programStem()), std::string::npos);
        EXPECT_NE(sectionText(r.text, "Exception record").find(f.record), std::string::npos);
        EXPECT_NE(r.text.find("End of file"), std::string::npos);
        if (f.child != faults[0].child)
            continue;

        // The reader reports a truncated file, and a missing one.
        ASSERT_GT(r.bytes.size(), 1000u);
        std::string cut = dir.file("cut.trap");
        FILE* out = fopen(cut.c_str(), "wb");
        ASSERT_NE(out, nullptr);
        fwrite(r.bytes.data(), 1, r.bytes.size() - 100, out);
        fclose(out);
        std::string output = dir.file("cut.txt");
        EXPECT_EQ(runReader(cut, output), 3);
        EXPECT_NE(readerText(output).find("ends in the middle"), std::string::npos);
        EXPECT_EQ(runReader(dir.file("missing.trap"), output), 2);
    }
    EXPECT_EQ(kivTrapInstallHandler(nullptr, 0), ECF_INVALID_PARAMETER);
    EXPECT_EQ(kivTrapInstallHandler(std::string(MAX_PATH + 1, 'a').c_str(), 0),
              ECF_INVALID_PARAMETER);
}

/* ---- sections of a dump --------------------------------------------------------------------- */

TEST(TrapDump, HeaderSystemAndEnvironmentSections)
{
    KivTestTempDir dir;
    std::string path = dir.file("sections.trap");
    ASSERT_TRUE(SetEnvironmentVariableA("KIVTEST_TRAP_MARK", "present"));
    dumpTo(path, KIV_TRAP_SECTION_HEADER | KIV_TRAP_SECTION_SYSTEM | KIV_TRAP_SECTION_ENVIRONMENT);
    SetEnvironmentVariableA("KIVTEST_TRAP_MARK", nullptr);
    std::vector<unsigned char> bytes = fileBytes(path);
    ASSERT_GT(bytes.size(), sizeof(KIVTrapHeader));
    KIVTrapHeader h = at<KIVTrapHeader>(bytes, 0);
    EXPECT_EQ(memcmp(h.eyeCatcher, KIV_TRAP_EYECATCHER, 8), 0);
    EXPECT_EQ(h.processId, GetCurrentProcessId());
    EXPECT_EQ(h.threadId, GetCurrentThreadId());
    EXPECT_EQ(programPath(), h.executablePath);
    EXPECT_EQ(h.moduleCount, 0);

    // The reader, told which sections there are, reads them to the end
    // marker of the environment, which must be the end of the file.
    std::string output = dir.file("sections.txt");
    EXPECT_EQ(runReader(path, output, "-s 0x4003"), 0) << readerText(output);
    std::string text = readerText(output);
    EXPECT_NE(sectionText(text, "Environment").find("KIVTEST_TRAP_MARK=present"), std::string::npos)
        << text;
    EXPECT_NE(text.find("Physical memory:"), std::string::npos) << text;
}

TEST(TrapDump, NothingBeforeInitializeOrWithoutAFile)
{
    KivTestTempDir dir;
    std::string path = dir.file("empty.trap");
    {
        KIVTrapFile trap;
        ASSERT_EQ(trap.open(path.c_str(), KIV_PFILE_CREATE), 0);
        trap.dump(KIV_TRAP_SECTIONS_DEFAULT | KIV_TRAP_SECTION_MEMORY, 0, nullptr, nullptr);
        trap.close();
        // Initialised, but the file is closed.
        trap.initialize(0, nullptr, nullptr, nullptr);
        trap.dump(KIV_TRAP_SECTIONS_DEFAULT, 0, nullptr, nullptr);
    }
    EXPECT_TRUE(kivtestReadFile(path).empty());
}

TEST(TrapDump, InstructionCaptureStopsAtUnreadableMemory)
{
    GuardedPage pages;
    ASSERT_NE(pages.readable(), nullptr);
    KivTestTempDir dir;
    uintptr_t page = reinterpret_cast<uintptr_t>(pages.readable());
    const Uint32 tried = KIV_TRAP_HAS_CONTEXT | KIV_TRAP_CODE_TRIED;

    // Fewer than 32 bytes above an unreadable page: nothing captured, the
    // start moved up to the first readable byte.
    KIVTrapHeader h = headerForPC(dir, page + 16);
    EXPECT_EQ(h.flags & (tried | KIV_TRAP_CODE_CAPTURED), tried) << std::hex << h.flags;
    EXPECT_EQ(h.instructionCount, 0);
    EXPECT_EQ(h.instructionStart, page);

    // Inside the page: all 64 bytes from 32 before.
    h = headerForPC(dir, page + 2048);
    EXPECT_EQ(h.flags & (tried | KIV_TRAP_CODE_CAPTURED), tried | KIV_TRAP_CODE_CAPTURED);
    EXPECT_EQ(h.instructionCount, 64);
    EXPECT_EQ(h.instructionStart, page + 2048 - 32);

    // Near its end: the count stops where a 4-byte read would cross it.
    uintptr_t end = page + pages.pageSize();
    h = headerForPC(dir, end - 8);
    EXPECT_EQ(h.instructionStart, end - 40);
    EXPECT_EQ(h.instructionCount, 37);

    // A context without control registers: no capture at all.
    h = headerForPC(dir, page + 2048, false);
    EXPECT_EQ(h.flags & (tried | KIV_TRAP_CODE_CAPTURED), KIV_TRAP_HAS_CONTEXT);
}

TEST(TrapDump, MemoryRegionsAreWrittenOnce)
{
    KivTestTempDir dir;
    std::string path = dir.file("regions.trap");
    KIVTrapFile trap;
    ASSERT_EQ(trap.open(path.c_str(), KIV_PFILE_CREATE), 0);
    trap.initialize(0, nullptr, nullptr, nullptr);
    trap.dump(KIV_TRAP_SECTION_HEADER | KIV_TRAP_SECTION_MEMORY, 0, nullptr, nullptr);
    std::vector<unsigned char> once = fileBytes(path);
    trap.dump(KIV_TRAP_SECTION_MEMORY, 0, nullptr, nullptr);
    trap.close();
    std::vector<unsigned char> twice = fileBytes(path);

    ASSERT_GT(once.size(), sizeof(KIVTrapHeader) + 4);
    EXPECT_EQ(twice.size(), once.size());
    EXPECT_TRUE(at<KIVTrapHeader>(once, 0).flags & KIV_TRAP_HAS_REGIONS);
    EXPECT_EQ(at<Uint32>(once, once.size() - 4), KIV_TRAP_REGIONS_END);

    // The reader walks the regions to the end marker.
    std::string output = dir.file("regions.txt");
    EXPECT_EQ(runReader(path, output, "-s 0x4000"), 0) << readerText(output);
    EXPECT_NE(readerText(output).find("Memory regions"), std::string::npos);
}

/* ---- XML prolog ------------------------------------------------------------------------------ */

namespace {

/* Opens the file, offers the prolog, writes `text` and closes; returns
 * whether the prolog was written. */
bool xmlEntry(const std::string& path, const std::string& text)
{
    KIVTrapFile trap;
    EXPECT_EQ(trap.open(path.c_str(), KIV_PFILE_CREATE), 0);
    bool prolog = trap.writeXMLProlog();
    EXPECT_EQ(trap.write(text.data(), (Uint32)text.size()), 0);
    trap.close();
    return prolog;
}

} // namespace

TEST(TrapXML, PrologStartsAFileAndAppendsBeforeTheClosingTag)
{
    KivTestTempDir dir;
    std::string path = dir.file("trap.xml");
    const std::string first = "<trap>\n<entry n=\"1\"/>\n</trap>\n";
    EXPECT_TRUE(xmlEntry(path, first));
    std::string xml = kivtestReadFile(path);
    ASSERT_GT(xml.size(), first.size());
    const std::string prolog = xml.substr(0, xml.size() - first.size());
    EXPECT_EQ(prolog.compare(0, 5, "<?xml"), 0);
    EXPECT_NE(prolog.find("encoding=\"ISO-8859-1\""), std::string::npos);
    EXPECT_EQ(prolog.back(), '\n');
    EXPECT_FALSE(xmlEntry(path, "<entry n=\"2\"/>\n</trap>\n"));
    EXPECT_EQ(kivtestReadFile(path), prolog + "<trap>\n<entry n=\"1\"/>\n<entry n=\"2\"/>\n</trap>\n");

    // A file without a closing tag is appended to.
    path = dir.file("open.xml");
    EXPECT_TRUE(xmlEntry(path, "<single/>\n"));
    EXPECT_FALSE(xmlEntry(path, "<more/>\n"));
    EXPECT_EQ(kivtestReadFile(path), prolog + "<single/>\n<more/>\n");
}

TEST(TrapXML, ForeignFileIsLeftAtItsStart)
{
    KivTestTempDir dir;
    std::string path = dir.file("foreign.xml");
    {
        FILE* f = fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        fputs("not a trap file at all, and long enough to be compared with a prolog", f);
        fclose(f);
    }
    EXPECT_FALSE(xmlEntry(path, "N"));
    EXPECT_EQ(kivtestReadFile(path).substr(0, 8), "Not a tr");
}
