/*
 * kivtrc - the trace tool: it starts and stops traces of programs that use
 * the library, changes their filters, dumps them to files and prints dump
 * files as text.
 *
 *   kivtrc [-n NAME] on [-b SIZE] [-m MASK]... [-e] [-l] [-c] [-p] [-w SIZE]
 *   kivtrc [-n NAME] off [-k]
 *   kivtrc [-n NAME] clr
 *   kivtrc [-n NAME] chg [-m MASK]... [-u] [-e | -a]
 *   kivtrc [-n NAME] dmp [-c] FILE
 *   kivtrc fmt FILE [-r]
 *   kivtrc flw FILE
 *
 * A trace lives in named shared memory (the name comes from -n, else from
 * KIV_TRACE_NAME, else "kivtrace").  Shared memory lasts only while some
 * process holds it, so `on` leaves a small holder process behind (this
 * program, run with the hidden command `hold`) that keeps the block until
 * `off` ends the trace.  Host programs attach by the same name.
 *
 * Two words of the options that the library leaves to its controllers are
 * this tool's: the holder's state (running, asked to end, ended) and the
 * process id of the continuous dumper draining a chunked trace, if any.
 *
 * The tool never traces itself: it maps the block on its own, and attaches
 * it (g_pGTCB) only for the moment of a control call, during which it calls
 * nothing that writes trace records.
 */
#include "gtattach.h"
#include "gtdump.h"
#include "gptrace.h"
#include "kivecf.h"
#include "kivfile.h"
#include "kivipc.h"
#include "kivprocess.h"
#include "kivtick.h"

#include <ctype.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#if defined(_WIN32)
#  include <windows.h>
#else
#  include <fcntl.h>
#  include <spawn.h>
#  include <sys/wait.h>
#  include <unistd.h>
extern char** environ;
#endif

namespace {

const char kDefaultName[] = "kivtrace";
const Uint32 kDefaultBuffer = 0x100000u;

/* Exit codes. */
const int kExitOk = 0;
const int kExitUsage = 1;
const int kExitFailed = 2;

/* The holder's state word (options reserved1[0]) and the dumper word
 * (reserved1[1]). */
const Uint32 kHolderRunning = 0;
const Uint32 kHolderEndRequested = 1;
const Uint32 kHolderEnded = 2;

/* How long a command waits for another process of the tool. */
const int kStartWaitMs = 30000;
const int kEndWaitMs = 60000;
const int kPollMs = 10;

typedef std::vector<std::string> Args;

/* ---- Messages -------------------------------------------------------------------- */

void say(const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    printf("kivtrc: ");
    vprintf(format, ap);
    printf("\n");
    fflush(stdout);
    va_end(ap);
}

int fail(const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    fprintf(stderr, "kivtrc: ");
    vfprintf(stderr, format, ap);
    fprintf(stderr, "\n");
    fflush(stderr);
    va_end(ap);
    return kExitFailed;
}

/* An ECF code as "description (NAME)". */
std::string describe(Uint32 rc)
{
    const char* text = ecfErrorGetDescription(rc);
    const char* name = ecfErrorGetCodeName(rc);
    char buffer[160];
    snprintf(buffer, sizeof buffer, "%s (%s 0x%08X)", text ? text : "error", name ? name : "ECF",
             rc);
    return buffer;
}

int failRc(const std::string& what, Uint32 rc)
{
    return fail("%s: %s", what.c_str(), describe(rc).c_str());
}

int usage(const char* problem = nullptr)
{
    if (problem != nullptr)
        fprintf(stderr, "kivtrc: %s\n", problem);
    fprintf(stderr,
            "usage: kivtrc [-n NAME] on [-b SIZE] [-m MASK]... [-e] [-l] [-c] [-p] [-w SIZE]\n"
            "       kivtrc [-n NAME] off [-k]\n"
            "       kivtrc [-n NAME] clr\n"
            "       kivtrc [-n NAME] chg [-m MASK]... [-u] [-e | -a]\n"
            "       kivtrc [-n NAME] dmp [-c] FILE\n"
            "       kivtrc fmt FILE [-r]\n"
            "       kivtrc flw FILE\n");
    return kExitUsage;
}

void sleepMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

/* ---- Numbers and masks ----------------------------------------------------------- */

/* Decimal or 0x hexadecimal, with an optional K, M or G. */
bool parseSize(const std::string& text, Uint64* out)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    unsigned long long v = strtoull(text.c_str(), &end, 0);
    Uint64 scale = 1;
    if (*end == 'k' || *end == 'K')
        scale = 1024;
    else if (*end == 'm' || *end == 'M')
        scale = 1024 * 1024;
    else if (*end == 'g' || *end == 'G')
        scale = 1024ull * 1024 * 1024;
    if (scale != 1)
        ++end;
    if (*end != '\0' || end == text.c_str() || v > (~0ull) / scale)
        return false;
    *out = v * scale;
    return true;
}

bool parseNumber(const std::string& text, Uint32* out)
{
    if (text == "*") {
        *out = GTM_ALL;
        return true;
    }
    if (text.empty())
        return false;
    char* end = nullptr;
    unsigned long v = strtoul(text.c_str(), &end, 0);
    if (*end != '\0' || v > 0xFFFFFFFFul)
        return false;
    *out = static_cast<Uint32>(v);
    return true;
}

/* A component short name (COMP_KIVE) or a function name (KIVHFile::open)
 * of the catalogue, as product, component and function numbers. */
bool findName(const std::string& name, Uint32* product, Uint32* component, Uint32* function)
{
    for (Uint32 p = 0; p < 32; ++p) {
        const Uint32 components = ecfGetNumComponents(p);
        if (components == 0)
            continue;
        Uint32 c = ecfFindComponentIndex(p, name.c_str());
        if (c != 0) {
            *product = p;
            *component = c;
            *function = GTM_ALL;
            return true;
        }
        for (c = 0; c < components; ++c) {
            Uint32 f = ecfFindFunctionIndex(p, c, name.c_str());
            if (f != 0) {
                *product = p;
                *component = c;
                *function = f;
                return true;
            }
        }
    }
    return false;
}

/* One -m argument:
 *   *                      everything
 *   P[.C[.F]]              product, component, function numbers (* for all)
 *   0xFUNCTIONID[:PROBE]   one function, or one probe point of it
 *   NAME                   a component short name or a function name
 * each but a probe point optionally followed by /TYPE (a record type), and
 * all of them preceded by '-' to take out instead of adding. */
bool applyMask(GTM_TRC_MASK& mask, std::string pattern)
{
    bool remove = false;
    if (!pattern.empty() && pattern[0] == '-') {
        remove = true;
        pattern.erase(0, 1);
    }
    Uint32 type = GTM_ALL;
    size_t slash = pattern.find('/');
    if (slash != std::string::npos) {
        if (!parseNumber(pattern.substr(slash + 1), &type) || (type != GTM_ALL && type > 15))
            return false;
        pattern.erase(slash);
    }
    Uint32 product = GTM_ALL, component = GTM_ALL, function = GTM_ALL, mode = 0;
    if (pattern.empty())
        return false;
    if (pattern == "*" || pattern == "all") {
        // everything
    } else if (pattern.size() > 2 && pattern[0] == '0' && (pattern[1] == 'x' || pattern[1] == 'X') &&
               pattern.find('.') == std::string::npos) {
        size_t colon = pattern.find(':');
        Uint32 id = 0;
        if (!parseNumber(pattern.substr(0, colon), &id) || id == GTM_ALL)
            return false;
        product = KIV_FID_PRODUCT(id);
        component = KIV_FID_COMPONENT(id);
        function = KIV_FID_FUNCTION(id);
        if (colon != std::string::npos) {
            if (slash != std::string::npos || !parseNumber(pattern.substr(colon + 1), &type) ||
                type > 0xFFFF)
                return false;
            mode = GTM_MODE_POINT;
        }
    } else if (isdigit(static_cast<unsigned char>(pattern[0])) || pattern[0] == '*') {
        Uint32* parts[3] = {&product, &component, &function};
        size_t from = 0;
        for (int i = 0; i < 3 && from <= pattern.size(); ++i) {
            size_t dot = pattern.find('.', from);
            std::string part = pattern.substr(from, dot == std::string::npos ? std::string::npos
                                                                         : dot - from);
            if (!parseNumber(part, parts[i]))
                return false;
            if (dot == std::string::npos)
                break;
            from = dot + 1;
            if (i == 2)
                return false;
        }
    } else if (!findName(pattern, &product, &component, &function)) {
        return false;
    }
    return remove ? mask.gtmDelMask(product, component, function, type, mode)
                  : mask.gtmSetMask(product, component, function, type, mode, 0);
}

/* ---- The trace's shared memory --------------------------------------------------- */

std::string traceName(const Args& globals)
{
    if (!globals.empty())
        return globals[0];
    const char* env = getenv(GTRACE_NAME_VARIABLE);
    return env != nullptr && *env != '\0' ? env : kDefaultName;
}

/* The bytes of a control block of these options. */
Uint32 blockBytes(const GtraceOptions& o)
{
    const Uint32 kind = o.traceKind & GTRACE_KIND_SELECT;
    if (kind == GTRACE_KIND_PROFILE || kind == GTRACE_KIND_GCTRACE)
        return o.bufferSize <= GTRACE_MAX_BUFFER_SIZE ? GTRACE_HEADER_SIZE + o.bufferSize : 0;
    return gtraceGetAllocSize(o.bufferSize);
}

/* The block of a trace, mapped by this process. */
class TraceMemory {
public:
    ~TraceMemory()
    {
        if (m_memory.isAttached())
            m_memory.detach();
    }
    Uint32 map(const std::string& name)
    {
        KIVIPCResID id;
        Uint32 rc = gtraceNamedResID(name.c_str(), &id);
        if (rc == 0)
            rc = m_memory.attach(&id, nullptr);
        if (rc == 0)
            rc = checkBlock();
        if (rc != 0 && m_memory.isAttached())
            m_memory.detach();
        return rc;
    }
    Uint32 create(const std::string& name, Uint32 bytes)
    {
        KIVIPCMemoryCreateParam p;
        Uint32 rc = gtraceNamedResID(name.c_str(), &p.resID);
        p.size = bytes;
        return rc != 0 ? rc : m_memory.create(&p);
    }
    GTCB* block() { return static_cast<GTCB*>(m_memory.address); }
    RAMBOCB* ring() { return gtraceRingBuffer(block()); }
    volatile Uint32* holderWord() { return &block()->options.reserved1[0]; }
    volatile Uint32* dumperWord() { return &block()->options.reserved1[1]; }
    Uint32 kind() { return block()->options.traceKind & GTRACE_KIND_SELECT; }
    bool chunked()
    {
        return kind() != GTRACE_KIND_PROFILE && kind() != GTRACE_KIND_GCTRACE &&
               (block()->options.traceKind & GTRACE_KIND_CHUNKED) != 0;
    }

private:
    /* Memory of that name that is not a whole, laid-out block is refused
     * before anything but its first words is read. */
    Uint32 checkBlock()
    {
        Uint32 size = 0;
        Uint32 rc = m_memory.getMemorySize(&size);
        if (rc != 0)
            return rc;
        if (size < GTRACE_HEADER_SIZE || block()->initialized == 0 ||
            blockBytes(block()->options) == 0 || blockBytes(block()->options) > size)
            return ECF_GTRACE_NOT_INITIALIZED;
        return 0;
    }

    KIVHIPCMemory m_memory;
};

/* The block attached as this process's trace block for one control call. */
class ControlAttach {
public:
    explicit ControlAttach(GTCB* block)
    {
        gtraceAttach(block, kivProcessID(), nullptr, nullptr, nullptr);
    }
    ~ControlAttach() { gtraceDetach(); }
    ControlAttach(const ControlAttach&) = delete;
    ControlAttach& operator=(const ControlAttach&) = delete;
};

int mapOrFail(TraceMemory& memory, const std::string& name)
{
    Uint32 rc = memory.map(name);
    if (rc == ECF_MEM_DOESNT_EXIST)
        return fail("there is no trace named \"%s\" (kivtrc on starts one)", name.c_str());
    if (rc != 0)
        return failRc("trace \"" + name + "\"", rc);
    return kExitOk;
}

std::string kindText(const GtraceOptions& o)
{
    if (o.traceKind & GTRACE_KIND_PROFILE)
        return "profile";
    if (o.traceKind & GTRACE_KIND_GCTRACE)
        return "gctrace";
    if (o.traceKind & GTRACE_KIND_CHUNKED)
        return "chunked ring";
    if (o.traceKind & GTRACE_KIND_WRAP)
        return "wrapping ring";
    return "stop-when-full ring";
}

/* ---- on: options ----------------------------------------------------------------- */

struct OnRequest {
    bool sized = false;      /* -b, -l, -c, -p or -w given */
    bool masks = false;
    bool errorsOnly = false;
    std::unique_ptr<GtraceOptions> options{new GtraceOptions()};
};

/* Parses the arguments of `on` (shared by `on` and the holder). */
int parseOn(const Args& args, OnRequest* r)
{
    GtraceOptions& o = *r->options;
    memset(&o, 0, sizeof o);
    o.traceMask.gtmClearMask();
    Uint64 size = kDefaultBuffer;
    Uint32 kind = GTRACE_KIND_WRAP;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        bool hasValue = i + 1 < args.size();
        if (a == "-b" || a == "-w" || a == "-m") {
            if (!hasValue)
                return usage((a + " needs a value").c_str());
            const std::string& v = args[++i];
            if (a == "-m") {
                if (!applyMask(o.traceMask, v))
                    return usage(("not a trace mask: " + v).c_str());
                r->masks = true;
                continue;
            }
            Uint64 n = 0;
            if (!parseSize(v, &n))
                return usage(("not a size: " + v).c_str());
            r->sized = true;
            if (a == "-b")
                size = n;
            else
                o.wrapFileSize = n;
        } else if (a == "-e") {
            r->errorsOnly = true;
        } else if (a == "-l") {
            kind = GTRACE_KIND_STOP;
            r->sized = true;
        } else if (a == "-c") {
            kind = GTRACE_KIND_CHUNKED;
            r->sized = true;
        } else if (a == "-p") {
            kind = GTRACE_KIND_PROFILE;
            r->sized = true;
        } else {
            return usage(("unknown option of on: " + a).c_str());
        }
    }
    if (size < GTRACE_MIN_BUFFER_SIZE || size > GTRACE_MAX_BUFFER_SIZE)
        return usage("the buffer size must lie between 512K and 1G");
    o.bufferSize = static_cast<Uint32>(size);
    o.traceKind = kind;
    if (kind != GTRACE_KIND_PROFILE && ramboRoundNearest2(o.bufferSize) != o.bufferSize)
        return usage("the buffer size of a ring must be a power of two");
    if (kind == GTRACE_KIND_PROFILE && o.bufferSize % sizeof(GtraceProfileEntry) != 0)
        return usage("the profile table size must be a multiple of 16");
    if (o.wrapFileSize != 0 && kind != GTRACE_KIND_CHUNKED)
        return usage("-w (a circular dump file) needs -c (a chunked ring)");
    // Every record carries its time; the profile kind needs time stamps and
    // call stacks for its elapsed times.
    o.traceFlags = GTRACE_FLAG_TIMESTAMP;
    if (kind == GTRACE_KIND_PROFILE)
        o.traceFlags |= GTRACE_FLAG_CALL_STACKS;
    if (r->masks)
        o.traceFlags |= GTRACE_FLAG_MASK;
    if (r->errorsOnly)
        o.traceFlags |= GTRACE_FLAG_ERRORS_ONLY;
    return kExitOk;
}

/* ---- The holder process ---------------------------------------------------------- */

std::string selfPath()
{
    char path[4096] = {0};
#if defined(_WIN32)
    DWORD n = GetModuleFileNameA(nullptr, path, sizeof path);
    if (n == 0 || n >= sizeof path)
        return std::string();
#else
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return std::string();
    path[n] = '\0';
#endif
    return path;
}

/* A started holder, to tell whether it gave up before the block was ready. */
struct Holder {
#if defined(_WIN32)
    HANDLE process = nullptr;
#else
    pid_t pid = -1;
#endif
    bool start(const Args& argv);
    /* True, with its exit code, once the holder has ended. */
    bool ended(int* code);
    void forget();
};

#if defined(_WIN32)
std::string quoted(const std::string& a)
{
    if (!a.empty() && a.find_first_of(" \t\"") == std::string::npos)
        return a;
    std::string q = "\"";
    for (char c : a) {
        if (c == '"')
            q += '\\';
        q += c;
    }
    return q + "\"";
}

bool Holder::start(const Args& argv)
{
    std::string line;
    for (const std::string& a : argv)
        line += (line.empty() ? "" : " ") + quoted(a);
    STARTUPINFOA si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    PROCESS_INFORMATION pi;
    std::vector<char> buffer(line.begin(), line.end());
    buffer.push_back('\0');
    if (!CreateProcessA(argv[0].c_str(), buffer.data(), nullptr, nullptr, FALSE,
                        DETACHED_PROCESS | CREATE_NEW_PROCESS_GROUP, nullptr, nullptr, &si, &pi))
        return false;
    CloseHandle(pi.hThread);
    process = pi.hProcess;
    return true;
}

bool Holder::ended(int* code)
{
    if (WaitForSingleObject(process, 0) != WAIT_OBJECT_0)
        return false;
    DWORD exitCode = 0;
    GetExitCodeProcess(process, &exitCode);
    *code = static_cast<int>(exitCode);
    return true;
}

void Holder::forget()
{
    if (process != nullptr)
        CloseHandle(process);
    process = nullptr;
}
#else
bool Holder::start(const Args& argv)
{
    std::vector<char*> v;
    for (const std::string& a : argv)
        v.push_back(const_cast<char*>(a.c_str()));
    v.push_back(nullptr);
    return posix_spawn(&pid, argv[0].c_str(), nullptr, nullptr, v.data(), environ) == 0;
}

bool Holder::ended(int* code)
{
    int status = 0;
    if (waitpid(pid, &status, WNOHANG) != pid)
        return false;
    *code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return true;
}

void Holder::forget() { pid = -1; }
#endif

/* The holder lets go of the caller's terminal and streams once the block is
 * laid out, so that whoever started `on` is not kept waiting for them. */
void detachFromStreams()
{
#if !defined(_WIN32)
    setsid();
    int fd = open("/dev/null", O_RDWR);
    if (fd >= 0) {
        dup2(fd, 0);
        dup2(fd, 1);
        dup2(fd, 2);
        if (fd > 2)
            close(fd);
    }
#endif
}

int commandHold(const std::string& name, const Args& args)
{
    OnRequest r;
    int code = parseOn(args, &r);
    if (code != kExitOk)
        return code;
    TraceMemory memory;
    Uint32 rc = memory.create(name, blockBytes(*r.options));
    if (rc != 0)
        return failRc("cannot create trace \"" + name + "\"", rc);
    rc = gtraceInitialize(memory.block(), r.options.get());
    if (rc != 0)
        return failRc("cannot initialise trace \"" + name + "\"", rc);
    detachFromStreams();
    {
        ControlAttach attach(memory.block());
        gtraceEnable();
    }
    while (*memory.holderWord() != kHolderEndRequested)
        sleepMs(50);
    *memory.holderWord() = kHolderEnded;
    return kExitOk;
}

/* ---- on, off, clr, chg ----------------------------------------------------------- */

/* Switch an existing trace on again. */
int reenable(TraceMemory& memory, const std::string& name, OnRequest& r)
{
    if (*memory.holderWord() != kHolderRunning)
        return fail("trace \"%s\" has ended but processes still use it; choose another name (-n)",
                    name.c_str());
    if (r.sized)
        return fail("trace \"%s\" is already on; kivtrc chg changes its filters, kivtrc off ends "
                    "it", name.c_str());
    ControlAttach attach(memory.block());
    if (r.masks || r.errorsOnly) {
        std::unique_ptr<GtraceOptions> o(new GtraceOptions());
        gtraceGetOptions(o.get());
        memcpy(&o->traceMask, &r.options->traceMask, sizeof o->traceMask);
        o->traceFlags |= r.options->traceFlags & (GTRACE_FLAG_MASK | GTRACE_FLAG_ERRORS_ONLY);
        gtraceSetOptions(o.get());
    }
    gtraceEnable();
    say("tracing of \"%s\" switched on again", name.c_str());
    return kExitOk;
}

int commandOn(const std::string& name, const Args& args)
{
    OnRequest r;
    int code = parseOn(args, &r);
    if (code != kExitOk)
        return code;
    KIVIPCResID id;
    if (gtraceNamedResID(name.c_str(), &id) != 0)
        return usage("a trace name is 1 to 200 characters without '\\'");
    TraceMemory existing;
    if (existing.map(name) == 0)
        return reenable(existing, name, r);

    Args argv = {selfPath(), "-n", name, "hold"};
    argv.insert(argv.end(), args.begin(), args.end());
    Holder holder;
    if (argv[0].empty() || !holder.start(argv))
        return fail("cannot start the process that holds trace \"%s\"", name.c_str());
    for (int waited = 0; waited < kStartWaitMs; waited += kPollMs) {
        TraceMemory memory;
        if (memory.map(name) == 0 && memory.block()->enabled != 0) {
            holder.forget();
            const GtraceOptions& o = memory.block()->options;
            say("trace \"%s\" on: %s, %u bytes%s%s", name.c_str(), kindText(o).c_str(),
                o.bufferSize, (o.traceFlags & GTRACE_FLAG_ERRORS_ONLY) ? ", errors only" : "",
                (o.traceFlags & GTRACE_FLAG_MASK) ? ", masked" : "");
            return kExitOk;
        }
        int exitCode = 0;
        if (holder.ended(&exitCode))
            return fail("trace \"%s\" was not started (its holder ended with %d)", name.c_str(),
                        exitCode);
        sleepMs(kPollMs);
    }
    holder.forget();
    return fail("trace \"%s\" did not come up in time", name.c_str());
}

/* Waits until `word` leaves `value`; false on time-out. */
bool waitWhile(volatile Uint32* word, Uint32 value, int limitMs)
{
    for (int waited = 0; *word == value; waited += kPollMs) {
        if (waited >= limitMs)
            return false;
        sleepMs(kPollMs);
    }
    return true;
}

int commandOff(const std::string& name, const Args& args)
{
    bool keep = false;
    for (const std::string& a : args) {
        if (a != "-k")
            return usage(("unknown option of off: " + a).c_str());
        keep = true;
    }
    TraceMemory memory;
    if (int code = mapOrFail(memory, name))
        return code;
    {
        ControlAttach attach(memory.block());
        gtraceDisable();
        // Writers of a chunked ring wait for a dumper once they come round;
        // without one running, let them go.
        if (memory.chunked() && *memory.dumperWord() == 0)
            gtraceAutoDumpEnabled(0);
    }
    // A continuous dumper finishes its file on its own once tracing is off.
    const Uint32 dumper = *memory.dumperWord();
    if (dumper != 0 && !waitWhile(memory.dumperWord(), dumper, kEndWaitMs))
        fail("the continuous dump of \"%s\" (process %u) did not finish", name.c_str(), dumper);
    if (keep) {
        say("tracing of \"%s\" switched off; its records stay for kivtrc dmp", name.c_str());
        return kExitOk;
    }
    if (*memory.holderWord() == kHolderRunning)
        *memory.holderWord() = kHolderEndRequested;
    if (!waitWhile(memory.holderWord(), kHolderEndRequested, kEndWaitMs))
        return fail("the holder of trace \"%s\" did not end", name.c_str());
    say("trace \"%s\" off and ended", name.c_str());
    return kExitOk;
}

int commandClear(const std::string& name, const Args& args)
{
    if (!args.empty())
        return usage("clr takes no options");
    TraceMemory memory;
    if (int code = mapOrFail(memory, name))
        return code;
    Uint32 rc;
    {
        ControlAttach attach(memory.block());
        rc = gtraceClear();
    }
    if (rc != 0)
        return failRc("cannot clear trace \"" + name + "\"", rc);
    say("trace \"%s\" cleared", name.c_str());
    return kExitOk;
}

int commandChange(const std::string& name, const Args& args)
{
    std::unique_ptr<GTM_TRC_MASK> mask(new GTM_TRC_MASK());
    mask->gtmClearMask();
    bool masks = false, unmask = false;
    int errorsOnly = -1;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "-m" && i + 1 < args.size()) {
            if (!applyMask(*mask, args[++i]))
                return usage(("not a trace mask: " + args[i]).c_str());
            masks = true;
        } else if (a == "-u") {
            unmask = true;
        } else if (a == "-e" || a == "-a") {
            errorsOnly = a == "-e" ? 1 : 0;
        } else {
            return usage(("unknown option of chg: " + a).c_str());
        }
    }
    if (!masks && !unmask && errorsOnly < 0)
        return usage("chg needs -m, -u, -e or -a");
    TraceMemory memory;
    if (int code = mapOrFail(memory, name))
        return code;
    std::unique_ptr<GtraceOptions> o(new GtraceOptions());
    Uint32 rc;
    {
        ControlAttach attach(memory.block());
        rc = gtraceGetOptions(o.get());
        if (rc == 0) {
            if (masks) {
                memcpy(&o->traceMask, mask.get(), sizeof *mask);
                o->traceFlags |= GTRACE_FLAG_MASK;
            }
            if (unmask)
                o->traceFlags &= ~GTRACE_FLAG_MASK;
            if (errorsOnly == 1)
                o->traceFlags |= GTRACE_FLAG_ERRORS_ONLY;
            if (errorsOnly == 0)
                o->traceFlags &= ~GTRACE_FLAG_ERRORS_ONLY;
            rc = gtraceSetOptions(o.get());
        }
    }
    if (rc != 0)
        return failRc("cannot change trace \"" + name + "\"", rc);
    say("trace \"%s\" changed%s%s", name.c_str(),
        (o->traceFlags & GTRACE_FLAG_MASK) ? ": masked" : ": unmasked",
        (o->traceFlags & GTRACE_FLAG_ERRORS_ONLY) ? ", errors only" : ", all records");
    return kExitOk;
}

/* ---- Output files ---------------------------------------------------------------- */

class OutFile {
public:
    Uint32 create(const std::string& path)
    {
        KIVFileOpenParam p;
        p.fileName = path.c_str();
        p.openMode = KIV_FILE_CREATE_ALWAYS;
        p.accessMode = KIV_FILE_WRITE;
        Uint32 rc = m_file.open(&p);
        m_open = rc == 0;
        return rc;
    }
    ~OutFile()
    {
        if (m_open)
            m_file.close();
    }
    Uint32 write(const void* data, Uint64 bytes)
    {
        const Uint8* p = static_cast<const Uint8*>(data);
        while (bytes > 0) {
            const Uint32 piece = bytes > 0x100000 ? 0x100000u : static_cast<Uint32>(bytes);
            KIVFileWriteParam w;
            w.buffer = p;
            w.byteCount = piece;
            Uint32 rc = m_file.write(&w, nullptr);
            if (rc != 0)
                return rc;
            p += piece;
            bytes -= piece;
            m_written += piece;
        }
        return 0;
    }
    Uint32 seek(Uint64 position)
    {
        KIVFileSeekParam s;
        s.offset = static_cast<Sint64>(position);
        return m_file.seek(&s, nullptr);
    }
    Uint64 written() const { return m_written; }

private:
    KIVHFile m_file;
    bool m_open = false;
    Uint64 m_written = 0;
};

/* ---- dmp ------------------------------------------------------------------------- */

int dumpAtOnce(TraceMemory& memory, const std::string& name, const std::string& path)
{
    std::vector<Uint8> header(GTRACE_DUMP_HEADER_SIZE);
    void* data = nullptr;
    Uint32 size = 0;
    Uint32 rc;
    {
        ControlAttach attach(memory.block());
        rc = gtraceGetDumpHeaderBuffer(1, header.data(), &data, &size);
    }
    if (rc != 0)
        return failRc("cannot dump trace \"" + name + "\"", rc);
    OutFile out;
    rc = out.create(path);
    if (rc == 0)
        rc = out.write(header.data(), header.size());
    if (rc == 0)
        rc = out.write(data, size);
    if (rc == 0 && memory.kind() != GTRACE_KIND_PROFILE) {
        // The tail after the slots: writers went on meanwhile, and the
        // parser drops whatever they left half-written or stale.
        RamboDumpTail tail;
        memset(&tail, 0, sizeof tail);
        {
            ControlAttach attach(memory.block());
            rc = gtraceGetDumpTail(&tail);
        }
        if (rc == 0)
            rc = out.write(&tail, sizeof tail);
    }
    if (rc != 0)
        return failRc(path, rc);
    say("trace \"%s\" dumped to %s (%llu bytes)", name.c_str(), path.c_str(),
        (unsigned long long)out.written());
    return kExitOk;
}

volatile sig_atomic_t g_stop = 0;

#if defined(_WIN32)
BOOL WINAPI onConsoleSignal(DWORD)
{
    g_stop = 1;
    return TRUE;
}
void catchStopSignals() { SetConsoleCtrlHandler(onConsoleSignal, TRUE); }
#else
void onSignal(int) { g_stop = 1; }
void catchStopSignals()
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = onSignal;
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
}
#endif

/* The automatic dumper of a chunked ring: it appends each chunk once all of
 * its slots are sealed and then lets the writers of the next lap in; at the
 * end it appends what the writers sealed in the chunks it had not taken.
 * With wrapFileSize set the data goes round a region of that size (whole
 * chunks, at least one) instead of growing. */
class ChunkDumper {
public:
    ChunkDumper(TraceMemory& memory, OutFile& out) : m_memory(memory), m_out(out)
    {
        Uint64 wrap = memory.block()->options.wrapFileSize;
        if (wrap != 0)
            m_region = std::max<Uint64>(RAMBO_CHUNK_BYTES, wrap - wrap % RAMBO_CHUNK_BYTES);
    }
    Uint32 start()
    {
        ControlAttach attach(m_memory.block());
        return gtraceInitializeChunkWalker(&m_walker);
    }
    /* Takes every chunk that is complete; false when there was none. */
    bool step(Uint32* rc)
    {
        bool took = false;
        while (*rc == 0 && __atomic_load_n(&m_walker.chunk->completed, __ATOMIC_ACQUIRE) >=
                               RAMBO_CHUNK_SLOTS) {
            *rc = append(m_walker.data, RAMBO_CHUNK_BYTES);
            __atomic_store_n(&m_walker.chunk->completed, 0u, __ATOMIC_RELEASE);
            __atomic_store_n(&m_walker.chunk->writableGeneration, m_lap + 1, __ATOMIC_RELEASE);
            advance();
            took = true;
        }
        return took;
    }
    /* The slots sealed after the last whole chunk, in sequence order. */
    Uint32 finish()
    {
        RAMBOCB* cb = m_memory.ring();
        const Uint32 slots = cb->slotCount;
        const Uint32 from = m_lap * slots + m_walker.chunkNumber * RAMBO_CHUNK_SLOTS;
        Uint32 span = __atomic_load_n(&cb->counter, __ATOMIC_ACQUIRE) - from;
        if (span > slots)
            span = slots;
        Uint32 index = m_walker.chunkNumber * RAMBO_CHUNK_SLOTS;
        Uint32 rc = 0;
        while (rc == 0 && span > 0) {
            const Uint32 n = std::min(span, slots - index);
            rc = append(ramboSlots(cb) + static_cast<size_t>(index) * RAMBO_SLOT_SIZE,
                        static_cast<Uint64>(n) * RAMBO_SLOT_SIZE);
            span -= n;
            index = 0;
        }
        return rc;
    }
    Uint64 bytes() const { return m_bytes; }

private:
    Uint32 append(const Uint8* data, Uint64 bytes)
    {
        m_bytes += bytes;
        if (m_region == 0)
            return m_out.write(data, bytes);
        while (bytes > 0) {
            const Uint64 n = std::min(bytes, m_region - m_position);
            Uint32 rc = m_out.seek(GTRACE_DUMP_HEADER_SIZE + m_position);
            if (rc == 0)
                rc = m_out.write(data, n);
            if (rc != 0)
                return rc;
            data += n;
            bytes -= n;
            m_position = (m_position + n) % m_region;
        }
        return 0;
    }
    void advance()
    {
        RAMBOCB* cb = m_memory.ring();
        if (++m_walker.chunkNumber == cb->chunkCount) {
            m_walker.chunkNumber = 0;
            ++m_lap;
        }
        m_walker.chunk = ramboChunks(cb) + m_walker.chunkNumber;
        m_walker.data =
            ramboSlots(cb) + static_cast<size_t>(m_walker.chunkNumber) * RAMBO_CHUNK_BYTES;
    }

    TraceMemory& m_memory;
    OutFile& m_out;
    RamboChunkWalker m_walker;
    Uint32 m_lap = 0;
    Uint64 m_region = 0;
    Uint64 m_position = 0;
    Uint64 m_bytes = 0;
};

/* Has tracing stopped for good: off, and no new records for a while? */
class QuietWatch {
public:
    explicit QuietWatch(TraceMemory& memory) : m_memory(memory) {}
    bool quiet(bool progressed)
    {
        const Uint32 counter = __atomic_load_n(&m_memory.ring()->counter, __ATOMIC_ACQUIRE);
        if (m_memory.block()->enabled != 0 || progressed || counter != m_counter) {
            m_counter = counter;
            m_polls = 0;
            return false;
        }
        return ++m_polls >= 20;
    }

private:
    TraceMemory& m_memory;
    Uint32 m_counter = 0;
    int m_polls = 0;
};

int dumpContinuously(TraceMemory& memory, const std::string& name, const std::string& path)
{
    if (!memory.chunked())
        return fail("dmp -c needs a chunked trace (kivtrc on -c)");
    if (memory.ring()->autoDump == 0)
        return fail("trace \"%s\" no longer waits for a dumper; start it again with kivtrc on -c",
                    name.c_str());
    Uint32 none = 0;
    if (!__atomic_compare_exchange_n(memory.dumperWord(), &none, kivProcessID(), false,
                                     __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE))
        return fail("trace \"%s\" already has a continuous dumper (process %u)", name.c_str(),
                    *memory.dumperWord());
    catchStopSignals();

    std::vector<Uint8> header(GTRACE_DUMP_HEADER_SIZE);
    OutFile out;
    ChunkDumper dumper(memory, out);
    Uint32 rc;
    {
        ControlAttach attach(memory.block());
        rc = gtraceGetDumpHeaderBuffer(0, header.data(), nullptr, nullptr);
    }
    if (rc == 0)
        rc = dumper.start();
    if (rc == 0)
        rc = out.create(path);
    if (rc == 0)
        rc = out.write(header.data(), header.size());
    QuietWatch watch(memory);
    while (rc == 0 && !g_stop) {
        const bool progressed = dumper.step(&rc);
        if (watch.quiet(progressed))
            break;
        if (!progressed)
            sleepMs(2);
    }
    if (rc == 0)
        rc = dumper.finish();
    {
        // No writer may wait for a dumper that is gone.
        ControlAttach attach(memory.block());
        gtraceAutoDumpEnabled(0);
    }
    __atomic_store_n(memory.dumperWord(), 0u, __ATOMIC_RELEASE);
    if (rc != 0)
        return failRc(path, rc);
    say("continuous dump of \"%s\" written to %s (%llu bytes of records)", name.c_str(),
        path.c_str(), (unsigned long long)dumper.bytes());
    return kExitOk;
}

int commandDump(const std::string& name, const Args& args)
{
    bool continuous = false;
    std::string path;
    for (const std::string& a : args) {
        if (a == "-c")
            continuous = true;
        else if (path.empty() && !a.empty() && a[0] != '-')
            path = a;
        else
            return usage(("unexpected argument of dmp: " + a).c_str());
    }
    if (path.empty())
        return usage("dmp needs a file name");
    TraceMemory memory;
    if (int code = mapOrFail(memory, name))
        return code;
    if (memory.kind() == GTRACE_KIND_GCTRACE)
        return fail("trace \"%s\" is of the gctrace kind, which has no dump file", name.c_str());
    return continuous ? dumpContinuously(memory, name, path) : dumpAtOnce(memory, name, path);
}

/* ---- Reading dumps --------------------------------------------------------------- */

class InFile {
public:
    ~InFile()
    {
        if (m_open)
            file.close();
    }
    Uint32 open(const std::string& path)
    {
        KIVFileOpenParam p;
        p.fileName = path.c_str();
        p.openMode = KIV_FILE_OPEN_EXISTING;
        p.accessMode = KIV_FILE_READ;
        Uint32 rc = file.open(&p);
        m_open = rc == 0;
        return rc;
    }
    /* `length` bytes at `position`, through a window: the records are
     * visited in order, so most reads need no system call. */
    bool readAt(Uint64 position, void* out, Uint32 length)
    {
        if (position < m_base || position + length > m_base + m_window.size()) {
            KIVFileSeekParam s;
            s.offset = static_cast<Sint64>(position & ~0xFFFFull);
            if (file.seek(&s, nullptr) != 0)
                return false;
            m_window.resize(0x20000);
            KIVFileReadParam r;
            r.byteCount = static_cast<Uint32>(m_window.size());
            Uint32 got = 0;
            file.read(&r, m_window.data(), &got);
            m_window.resize(got);
            m_base = position & ~0xFFFFull;
            if (position + length > m_base + m_window.size())
                return false;
        }
        memcpy(out, m_window.data() + (position - m_base), length);
        return true;
    }
    KIVHFile file;

private:
    bool m_open = false;
    std::vector<Uint8> m_window;
    Uint64 m_base = 0;
};

/* A validated dump, its header read, and a second handle on the file for
 * the sequence numbers in front of the payloads (the parser's own handle is
 * not to be used while it walks). */
struct Dump {
    std::string path;
    InFile file;
    InFile lookup;
    std::unique_ptr<GtraceDumpHeader> header{new GtraceDumpHeader()};
    GtraceDumpFileParser parser;
    bool open = false;

    int load(const std::string& filePath, bool forward)
    {
        path = filePath;
        Uint32 rc = file.open(path);
        if (rc == 0)
            rc = gtraceValidateDumpFile(&file.file, 0);
        if (rc == 0)
            rc = lookup.open(path);
        if (rc != 0)
            return failRc(path, rc);
        if (!readWhole(lookup.file, header.get(), sizeof *header))
            return fail("%s: cannot read the dump header", path.c_str());
        rc = gtraceOpenDumpFileParser(&file.file, &parser, forward ? 1 : 0);
        if (rc != 0)
            return failRc(path, rc);
        open = true;
        return kExitOk;
    }
    ~Dump()
    {
        if (open)
            gtraceCloseDumpFileParser(&parser);
    }
    bool profile() const { return parser.kind == GTRACE_PARSER_PROFILE; }
    Uint32 sequenceAt(Uint64 payloadPosition)
    {
        Uint32 sequence = 0;
        lookup.readAt(payloadPosition - RAMBO_PAYLOAD_OFFSET, &sequence, sizeof sequence);
        return sequence;
    }

private:
    static bool readWhole(KIVHFile& f, void* out, Uint32 length)
    {
        KIVFileSeekParam s;
        KIVFileReadParam r;
        r.byteCount = length;
        Uint32 got = 0;
        return f.seek(&s, nullptr) == 0 && f.read(&r, out, &got) == 0 && got == length;
    }
};

/* One record of a ring dump. */
struct Record {
    Uint32 sequence = 0;
    Uint32 length = 0;
    std::vector<Uint8> payload;
    GtraceRecord h;

    Uint32 word(Uint32 offset) const
    {
        Uint32 v = 0;
        if (offset + 4 <= length)
            memcpy(&v, payload.data() + offset, 4);
        return v;
    }
};

bool nextRecord(Dump& d, Record& r)
{
    r.payload.resize(RAMBO_MAX_RECORD_SLOTS * RAMBO_SLOT_SIZE);
    Uint64 at = 0;
    r.length = gtraceParseRecords(&d.file.file, &d.parser, &at, r.payload.data(),
                                  static_cast<Uint32>(r.payload.size()));
    if (r.length == 0)
        return false;
    memset(&r.h, 0, sizeof r.h);
    memcpy(&r.h, r.payload.data(), std::min<Uint32>(r.length, sizeof r.h));
    r.sequence = d.sequenceAt(at);
    return true;
}

/* ---- Text of records ------------------------------------------------------------- */

std::string format(const char* f, ...)
{
    char buffer[512];
    va_list ap;
    va_start(ap, f);
    vsnprintf(buffer, sizeof buffer, f, ap);
    va_end(ap);
    return buffer;
}

/* Product, component and function names, as far as the catalogue knows
 * them. */
std::string functionText(Uint32 fn)
{
    const char* names[3] = {ecfGetProductName(fn), ecfGetComponentName(fn), ecfGetFunctionName(fn)};
    if (names[2] == nullptr || *names[2] == '\0')
        return format("0x%08X", fn);
    std::string text;
    for (const char* n : names) {
        if (n == nullptr || *n == '\0')
            continue;
        text += (text.empty() ? "" : "/") + std::string(n);
    }
    return text;
}

std::string rcText(Uint32 rc)
{
    if (rc == 0)
        return "0";
    const char* name = ecfErrorGetCodeName(rc);
    return name ? format("0x%08X %s", rc, name) : format("0x%08X", rc);
}

std::string typeText(Uint32 type)
{
    switch (type) {
    case GTRACE_TYPE_ENTRY: return "entry";
    case GTRACE_TYPE_EXIT: return "exit";
    case GTRACE_TYPE_DATA: return "data";
    case GTRACE_TYPE_ERROR_DATA: return "error";
    case GTRACE_TYPE_CORRELATOR: return "correlator";
    case GTRACE_TYPE_ERROR_TRANS: return "errortrans";
    default: return format("type%u", type);
    }
}

std::string hexBytes(const Uint8* p, Uint32 n)
{
    const Uint32 shown = std::min<Uint32>(n, 32);
    std::string s;
    for (Uint32 i = 0; i < shown; ++i)
        s += format("%02x", p[i]);
    if (shown < n)
        s += "...";
    return s;
}

/* A block that holds one NUL-terminated line of printable text (a path, a
 * name) is shown as that text. */
bool printableText(const Uint8* p, Uint32 n)
{
    if (n < 2 || p[n - 1] != '\0')
        return false;
    for (Uint32 i = 0; i + 1 < n; ++i)
        if (p[i] < 0x20 || p[i] > 0x7E)
            return false;
    return true;
}

std::string blockText(const Uint8* p, Uint32 n)
{
    if (printableText(p, n))
        return "\"" + std::string(reinterpret_cast<const char*>(p), n - 1) + "\"";
    return format("[%u]", n) + hexBytes(p, n);
}

/* The item descriptors begin at 0x38, or at 0x40 for the error-rc data
 * writer.  A base whose items fit the record and add up to its data length
 * wins; one whose items only fit comes next.  (A null block item keeps its
 * size in the data length but has no bytes, so the sum may fall short.) */
Uint32 itemBase(const Record& r)
{
    Uint32 fitting = 0;
    for (Uint32 base : {GTRACE_ITEMS_BASE, GTRACE_ITEMS_BASE_RC}) {
        const Uint32 count = r.h.itemCount;
        Uint64 present = 0;
        for (Uint32 i = 0; i < count && base + 8ull * i + 8 <= r.length; ++i) {
            const Uint32 size = r.word(base + 8 * i + 4);
            present += 8ull + (size == GTRACE_ITEM_NULL_SIZE ? 0 : size);
        }
        if (base + 8ull * count > r.length || base + present > r.length ||
            present > r.h.dataLength)
            continue;
        if (present == r.h.dataLength)
            return base;
        if (fitting == 0)
            fitting = base;
    }
    return fitting != 0 ? fitting : GTRACE_ITEMS_BASE;
}

std::string itemsText(const Record& r)
{
    if (r.h.dataLength == 0)
        return std::string();
    const Uint32 base = itemBase(r);
    const Uint32 count = r.h.itemCount;
    Uint64 at = base + 8ull * count;
    std::string s;
    for (Uint32 i = 0; i < count && base + 8 * i + 8 <= r.length; ++i) {
        const Uint32 type = r.word(base + 8 * i);
        const Uint32 size = r.word(base + 8 * i + 4);
        s += s.empty() ? "" : " ";
        if (size == GTRACE_ITEM_NULL_SIZE) {
            s += "null";
            continue;
        }
        if (at + size > r.length) {
            s += "(cut)";
            break;
        }
        const Uint8* p = r.payload.data() + at;
        at += size;
        Uint32 v = 0;
        memcpy(&v, p, std::min<Uint32>(size, 4));
        if (type == GTRACE_ITEM_IMMEDIATE1)
            s += format("0x%X", v);
        else if (type == GTRACE_ITEM_IMMEDIATE2)
            s += format("%d", static_cast<Sint32>(v));
        else if (r.h.recordType == GTRACE_TYPE_ERROR_DATA && size == 4 && count == 1)
            s += "rc=" + rcText(v);  // the library's error point: the code
        else
            s += blockText(p, size) + (type == GTRACE_ITEM_SHORTENED ? "(cut)" : "");
    }
    return s;
}

std::string detailText(const Record& r)
{
    const GtraceRecord& h = r.h;
    std::string s;
    switch (h.recordType) {
    case GTRACE_TYPE_ENTRY:
        s = format("a=%u b=%u", h.a, h.b);
        break;
    case GTRACE_TYPE_EXIT:
        s = "rc=" + rcText(h.c);
        break;
    case GTRACE_TYPE_ERROR_TRANS:
        s = format("a=0x%X b=0x%X c=0x%X d=0x%X", h.a, h.b, h.d, h.e);
        break;
    case GTRACE_TYPE_CORRELATOR:
        s = format("a=%u b=%u c=%u", h.c, h.a, h.b);
        break;
    default:
        // Fixed error records carry a and b, the two-slot ones c, d and e.
        if (h.dataLength == 0 && h.recordFlags == 0 && r.length > 52)
            s = format("a=0x%X b=0x%X c=0x%X d=0x%X e=0x%X", h.a, h.b, h.c, h.d, h.e);
        else if (h.dataLength == 0 && h.recordFlags == 0)
            s = format("a=0x%X b=0x%X", h.a, h.b);
        else if (h.recordFlags == 2)
            s = "flagged";
        break;
    }
    std::string items = itemsText(r);
    if (!items.empty())
        s += (s.empty() ? "" : " ") + items;
    return s;
}

std::string timeText(Uint64 stamp, const KIVTickConversionFactor& factor)
{
    if (stamp == 0)
        return "-";
    unsigned int seconds = 0, nanoseconds = 0;
    KIVTick(stamp).convertToTime(factor, seconds, nanoseconds);
    return format("%u.%09u", seconds, nanoseconds);
}

/* ---- fmt ------------------------------------------------------------------------- */

void printRingSummary(Dump& d, Uint32 records)
{
    Uint8 wrapped = 0, lost = 0;
    Uint32 rejected = 0;
    ramboDidBufferWrap(&d.parser.ring, &wrapped);
    ramboWasBufferTruncated(&d.parser.ring, &lost);
    ramboGetRejectedRecords(&d.parser.ring, &rejected);
    printf("%u records%s%s; %u torn records rejected\n", records,
           wrapped ? "; the buffer wrapped" : "", lost ? "; records were lost (buffer full)" : "",
           rejected);
}

int formatProfile(Dump& d)
{
    std::vector<GtraceProfileEntry> entries;
    GtraceProfileEntry e;
    while (gtraceParseRecords(&d.file.file, &d.parser, nullptr, &e, sizeof e) == sizeof e)
        entries.push_back(e);
    std::sort(entries.begin(), entries.end(), [](const GtraceProfileEntry& a,
                                                 const GtraceProfileEntry& b) {
        return a.elapsed != b.elapsed ? a.elapsed > b.elapsed : a.callCount > b.callCount;
    });
    printf("%10s  %20s  %s\n", "calls", "seconds", "function");
    for (const GtraceProfileEntry& p : entries)
        printf("%10u  %20s  %s\n", p.callCount, timeText(p.elapsed, d.header->tickFactor).c_str(),
               functionText(p.functionId).c_str());
    printf("%u functions\n", static_cast<Uint32>(entries.size()));
    return kExitOk;
}

int commandFormat(const Args& args)
{
    std::string path;
    bool forward = true;
    for (const std::string& a : args) {
        if (a == "-r")
            forward = false;
        else if (path.empty() && !a.empty() && a[0] != '-')
            path = a;
        else
            return usage(("unexpected argument of fmt: " + a).c_str());
    }
    if (path.empty())
        return usage("fmt needs a dump file");
    Dump d;
    if (int code = d.load(path, forward))
        return code;
    const GtraceOptions& o = d.header->options;
    const RamboDumpHeader& ring = d.header->ring;
    printf("trace dump %s: %s, %u-byte buffer%s%s\n", path.c_str(), kindText(o).c_str(),
           o.bufferSize,
           d.profile() ? "" : ring.dumpType == RAMBO_DUMP_INSTANTANEOUS ? ", instantaneous"
                                                                        : ", continuous",
           o.wrapFileSize ? ", circular file" : "");
    if (d.profile())
        return formatProfile(d);

    printf("%10s  %20s  %7s  %7s  %-40s  %-10s  %5s  %s\n", "sequence", "time", "process",
           "thread", "function", "type", "probe", "data");
    Record r;
    Uint32 records = 0;
    while (nextRecord(d, r)) {
        ++records;
        printf("%10u  %20s  %7u  %7llu  %-40s  %-10s  %5u  %s\n", r.sequence,
               timeText(r.h.timestamp, d.header->tickFactor).c_str(), r.h.processId,
               (unsigned long long)r.h.threadId, functionText(r.h.functionId).c_str(),
               typeText(r.h.recordType).c_str(), r.h.probe, detailText(r).c_str());
    }
    printRingSummary(d, records);
    return kExitOk;
}

/* ---- flw ------------------------------------------------------------------------- */

struct ThreadFlow {
    Uint32 processId;
    Uint64 threadId;
    std::vector<Uint32> stack;
    std::vector<std::string> lines;

    std::string indent() const { return std::string(2 + 2 * stack.size(), ' '); }

    void add(const Record& r)
    {
        const Uint32 fn = r.h.functionId;
        switch (r.h.recordType) {
        case GTRACE_TYPE_ENTRY:
            lines.push_back(indent() + "> " + functionText(fn));
            stack.push_back(fn);
            break;
        case GTRACE_TYPE_EXIT: {
            // An exit pops its own entry and whatever was left open above
            // it; one whose entry was not traced pops nothing.
            auto it = std::find(stack.rbegin(), stack.rend(), fn);
            if (it != stack.rend())
                stack.erase(std::next(it).base(), stack.end());
            lines.push_back(indent() + "< " + functionText(fn) + " rc=" + rcText(r.h.c));
            break;
        }
        default:
            lines.push_back(indent() + "  " + typeText(r.h.recordType) +
                            format(" at probe %u", r.h.probe) +
                            (fn != (stack.empty() ? 0u : stack.back()) ? " of " + functionText(fn)
                                                                        : std::string()) +
                            ": " + detailText(r));
            break;
        }
    }
};

int commandFlow(const Args& args)
{
    if (args.size() != 1 || args[0].empty() || args[0][0] == '-')
        return usage("flw needs one dump file");
    Dump d;
    if (int code = d.load(args[0], true))
        return code;
    if (d.profile())
        return fail("%s: a profile dump has no flow of calls", args[0].c_str());
    std::vector<ThreadFlow> flows;
    std::map<std::pair<Uint32, Uint64>, size_t> index;
    Record r;
    Uint32 records = 0;
    while (nextRecord(d, r)) {
        ++records;
        const auto key = std::make_pair(r.h.processId, r.h.threadId);
        auto it = index.find(key);
        if (it == index.end()) {
            it = index.emplace(key, flows.size()).first;
            flows.push_back(ThreadFlow{r.h.processId, r.h.threadId, {}, {}});
        }
        flows[it->second].add(r);
    }
    for (const ThreadFlow& f : flows) {
        printf("process %u thread %llu\n", f.processId, (unsigned long long)f.threadId);
        for (const std::string& line : f.lines)
            printf("%s\n", line.c_str());
    }
    printRingSummary(d, records);
    return kExitOk;
}

} // namespace

int main(int argc, char** argv)
{
    // A host's environment may name a trace for the library to attach at
    // load; the tool must not write into the traces it controls.
    gtraceDetachNamed();

    Args globals, args;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-n") {
            if (i + 1 >= argc)
                return usage("-n needs a trace name");
            globals.assign(1, argv[++i]);
        } else {
            args.push_back(a);
        }
    }
    if (args.empty())
        return usage();
    const std::string command = args[0];
    args.erase(args.begin());
    const std::string name = traceName(globals);
    if (command == "on")
        return commandOn(name, args);
    if (command == "hold")
        return commandHold(name, args);
    if (command == "off")
        return commandOff(name, args);
    if (command == "clr")
        return commandClear(name, args);
    if (command == "chg")
        return commandChange(name, args);
    if (command == "dmp")
        return commandDump(name, args);
    if (command == "fmt")
        return commandFormat(args);
    if (command == "flw")
        return commandFlow(args);
    return usage(("unknown command: " + command).c_str());
}
