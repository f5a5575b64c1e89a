/*
 * kivtrap.cpp - trap files: the binary record of a faulting process, the
 * module cache, the library's unhandled-exception handler and the XML
 * trap file's prolog.
 *
 * A trap file is written by the faulting thread, often after the heap has
 * been damaged, so nothing here allocates from the library's allocator
 * (one failure message excepted) and every byte goes out through the
 * unbuffered primitive file.  Memory the fault may have made unreadable is
 * probed before it is written, or copied with ReadProcessMemory, which
 * reports a bad address instead of faulting again.
 */
#include <stdlib.h>
#include <string.h>

#include "kivecf.h"
#include "kivinternal.h"
#include "kivmem.h"
#include "kivsecurity.h"
#include "kivstring.h"
#include "kivsym.h"
#include "kivtrap.h"

#if !defined(_WIN32)
#  include "kivcompat_mem.h"
extern char** environ;
#endif

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(KIVTrapHeader) == 388, "the trap header is 388 bytes");
static_assert(offsetof(KIVTrapHeader, instructionStart) == 16, "trap header layout");
static_assert(offsetof(KIVTrapHeader, localTime) == 20, "trap header layout");
static_assert(offsetof(KIVTrapHeader, flags) == 36, "trap header layout");
static_assert(offsetof(KIVTrapHeader, moduleCount) == 42, "trap header layout");
static_assert(offsetof(KIVTrapHeader, executablePath) == 44, "trap header layout");
static_assert(offsetof(KIVTrapHeader, instructionCount) == 384, "trap header layout");
static_assert(sizeof(KIVTrapModuleRecord) == 284, "a module record is 284 bytes");
static_assert(offsetof(KIVTrapModuleRecord, productExport) == 268, "module record layout");
static_assert(offsetof(KIVTrapModuleRecord, base) == 272, "module record layout");
static_assert(offsetof(KIVTrapModuleRecord, end) == 276, "module record layout");
static_assert(offsetof(KIVTrapModuleRecord, timeStamp) == 280, "module record layout");
static_assert(sizeof(SYSTEM_INFO) == 36, "the system information is 36 bytes");
static_assert(sizeof(EXCEPTION_RECORD) == 80, "the exception record is 80 bytes");
static_assert(sizeof(CONTEXT) == 716, "the i386 context is 716 bytes");
static_assert(sizeof(MEMORY_BASIC_INFORMATION) == 28, "a region query is 28 bytes");
static_assert(sizeof(MEMORYSTATUS) == 32, "the memory status is 32 bytes");
static_assert(offsetof(EXCEPTION_RECORD, ExceptionAddress) == 12, "exception record layout");
static_assert(offsetof(EXCEPTION_RECORD, ExceptionInformation) == 20, "exception record layout");
#else
/* The widened layout the reader (tools/kivtrap.cpp) expects. */
static_assert(sizeof(KIVTrapHeader) == 392, "the wide trap header");
static_assert(offsetof(KIVTrapHeader, localTime) == 24, "wide trap header layout");
static_assert(offsetof(KIVTrapHeader, flags) == 40, "wide trap header layout");
static_assert(offsetof(KIVTrapHeader, moduleCount) == 46, "wide trap header layout");
static_assert(offsetof(KIVTrapHeader, executablePath) == 48, "wide trap header layout");
static_assert(offsetof(KIVTrapHeader, instructionCount) == 388, "wide trap header layout");
static_assert(sizeof(KIVTrapModuleRecord) == 304, "the wide module record");
static_assert(offsetof(KIVTrapModuleRecord, productExport) == 272, "wide module record layout");
static_assert(offsetof(KIVTrapModuleRecord, base) == 280, "wide module record layout");
static_assert(offsetof(KIVTrapModuleRecord, end) == 288, "wide module record layout");
static_assert(offsetof(KIVTrapModuleRecord, timeStamp) == 296, "wide module record layout");
static_assert(sizeof(SYSTEM_INFO) == 48, "the 64-bit system information");
static_assert(sizeof(EXCEPTION_RECORD) == 152, "the 64-bit exception record");
static_assert(offsetof(EXCEPTION_RECORD, ExceptionAddress) == 16, "exception record layout");
static_assert(offsetof(EXCEPTION_RECORD, ExceptionInformation) == 32, "exception record layout");
static_assert(sizeof(CONTEXT) == 1232, "the x64 context");
static_assert(sizeof(MEMORYSTATUS) == 56, "the 64-bit memory status");
#endif
static_assert(sizeof(SYSTEMTIME) == 16, "a SYSTEMTIME is 16 bytes");
static_assert(sizeof(OSVERSIONINFOEXA) == 156, "the extended version record is 156 bytes");
static_assert(sizeof(MEMORYSTATUSEX) == 64, "the extended memory status is 64 bytes");
static_assert(sizeof(STACKFRAME64) == 264, "a stack frame is 264 bytes");
static_assert(sizeof(API_VERSION) == 8, "the API version is 8 bytes");

namespace {

const char* const kSource = "kivtrap";

/* The XML prolog; the stylesheet lives on the maker's support host. */
const char kXMLProlog[] =
    "<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?>\n"
    "<?xml-stylesheet type=\"text/xsl\" href=\"https://support.kive.example/trap/kivtrap.xsl\"?>\n";
const Uint32 kXMLPrologLength = sizeof kXMLProlog - 1;

const Uint32 kEnvironmentBuffer = 2048;
const Uint32 kCodeLead = 32;            // instruction bytes captured before the fault
const Uint32 kRawStackWords = 1024;     // words of raw stack at least
const Uint32 kMaxFrames = 1024;         // a loop in the stack ends here
const Uint32 kCopyChunk = 16384;        // region bytes go out in chunks of this
const DWORD kUnreadableProtection = 0x1F1;  // no access, any execute right, guard

/* The registers of the faulting instruction. */
struct Registers {
    uintptr_t pc, frame, stack;
};

Registers registersOf(const CONTEXT* c)
{
#if defined(__x86_64__) || defined(_M_X64)
    return Registers{(uintptr_t)c->Rip, (uintptr_t)c->Rbp, (uintptr_t)c->Rsp};
#else
    return Registers{(uintptr_t)c->Eip, (uintptr_t)c->Ebp, (uintptr_t)c->Esp};
#endif
}

bool readable(uintptr_t address, uintptr_t size)
{
    return !IsBadReadPtr(reinterpret_cast<const void*>(address), size);
}

/* ---- module cache ------------------------------------------------------------------ */

/* Filled ahead of a fault; from the C runtime's heap, never the library's. */
struct ModuleCacheNode {
    KIVTrapModuleRecord* record;
    ModuleCacheNode*     next;
};
ModuleCacheNode* g_cacheHead = nullptr;
ModuleCacheNode* g_cacheTail = nullptr;
Uint32           g_cacheCount = 0;

void cacheAppend(const KIVTrapModuleRecord& record)
{
    ModuleCacheNode* node = static_cast<ModuleCacheNode*>(malloc(sizeof(ModuleCacheNode)));
    KIVTrapModuleRecord* copy = static_cast<KIVTrapModuleRecord*>(malloc(sizeof record));
    if (node == nullptr || copy == nullptr) {
        free(node);
        free(copy);
        return;
    }
    memcpy(copy, &record, sizeof record);
    node->record = copy;
    node->next = nullptr;
    if (g_cacheTail != nullptr)
        g_cacheTail->next = node;
    else
        g_cacheHead = node;
    g_cacheTail = node;
    ++g_cacheCount;
}

/* The module's handle, from its name as enumerated; the main program is
 * also recognised by its base, since an enumeration may give it a name
 * the loader does not know it by. */
HMODULE moduleHandleFor(PCSTR name, uintptr_t base)
{
    HMODULE h = GetModuleHandleA(name);
    if (h == nullptr && base != 0 && reinterpret_cast<uintptr_t>(GetModuleHandleA(nullptr)) == base)
        h = GetModuleHandleA(nullptr);
    return h;
}

void fillModuleRecord(KIVTrapModuleRecord* r, PCSTR name, DWORD64 base, ULONG size)
{
    // A name of 260 characters fills the field; the first reserved byte,
    // always 0, ends it then.
    memset(r, 0, sizeof *r);
    if (name != nullptr)
        memcpy(r->name, name, strnlen(name, sizeof r->name));
    r->base = (uintptr_t)base;
    r->end = (uintptr_t)(base + size);
    HMODULE h = moduleHandleFor(name, r->base);
    if (h != nullptr) {
        r->productExport =
            reinterpret_cast<uintptr_t>(GetProcAddress(h, KIV_TRAP_PRODUCT_EXPORT));
        r->timeStamp = kivGetTimestampForLoadedLibrary(h);
    }
}

/* ---- the installed handler ------------------------------------------------------------ */

char         g_handlerPath[MAX_PATH + 1];
unsigned int g_handlerSections = KIV_TRAP_SECTIONS_DEFAULT;
bool         g_cacheFilled = false;

LONG WINAPI trapFilter(EXCEPTION_POINTERS* info)
{
    KIVTrapFile trap;
    if (trap.open(g_handlerPath, KIV_PFILE_CREATE) == 0) {
        trap.seekToEnd();
        trap.initialize(0, info->ExceptionRecord, info->ContextRecord, nullptr);
        trap.dump(g_handlerSections, 0, info->ExceptionRecord, info->ContextRecord);
        trap.close();
        char message[MAX_PATH + 64];
        kivSnprintf(message, sizeof message, "kive: exception 0x%08lX, trap file %s\n",
                    info->ExceptionRecord ? (unsigned long)info->ExceptionRecord->ExceptionCode : 0ul,
                    g_handlerPath);
        OutputDebugStringA(message);
    }
    // End the process as the fault would have, without a debugger.
    return EXCEPTION_EXECUTE_HANDLER;
}

/* The environment, entry by entry. */
template <class Visit> void forEachEnvironmentEntry(Visit visit)
{
#if defined(_WIN32)
    char* block = GetEnvironmentStringsA();
    if (block == nullptr)
        return;
    for (const char* e = block; *e; e += strlen(e) + 1)
        visit(e);
    FreeEnvironmentStringsA(block);
#else
    for (char** e = environ; e != nullptr && *e != nullptr; ++e)
        visit(*e);
#endif
}

} // namespace

/* ---- construction ---------------------------------------------------------------------- */

KIVTrapFile::KIVTrapFile()
    : m_headerOffset(0), m_initialized(0), m_process(GetCurrentProcess())
{
    memset(&m_header, 0, sizeof m_header);
    memset(m_savedSearchPath, 0, sizeof m_savedSearchPath);
    m_header.processId = GetCurrentProcessId();
    m_header.threadId = GetCurrentThreadId();
}

KIVTrapFile::~KIVTrapFile()
{
    // Only what initialize changed is put back.
    if (m_initialized) {
        kivSymSetSearchPath(m_process, m_savedSearchPath[0] ? m_savedSearchPath : nullptr);
        kivSymCleanup(m_process);
        kivFreeSymDLL();
    }
}

void KIVTrapFile::initialize(unsigned long, EXCEPTION_RECORD* record, CONTEXT* context,
                             const char* searchPath)
{
    memcpy(m_header.eyeCatcher, KIV_TRAP_EYECATCHER, sizeof m_header.eyeCatcher);
    if (m_header.processId == 0)
        m_header.processId = GetCurrentProcessId();
    if (m_header.threadId == 0)
        m_header.threadId = GetCurrentThreadId();

    kivLoadSymDLL(true);
#if UINTPTR_MAX == 0xFFFFFFFFu
    kivSymInitialize(m_process, nullptr, FALSE);
#else
    // A 64-bit stack is unwound from the modules' unwind tables, which the
    // handler knows only after it has looked at the process's modules.
    kivSymInitialize(m_process, nullptr, TRUE);
#endif
    kivSymGetSearchPath(m_process, m_savedSearchPath, sizeof m_savedSearchPath - 1);
    kivSymSetSearchPath(m_process, searchPath);

    if (kivImagehlpApiVersion() != nullptr)
        m_header.flags |= KIV_TRAP_HAS_API_VERSION;
    GetLocalTime(&m_header.localTime);
    GetModuleFileNameA(nullptr, m_header.executablePath, sizeof m_header.executablePath);
    m_header.executablePath[sizeof m_header.executablePath - 1] = '\0';

    if (record != nullptr)
        m_header.flags |= KIV_TRAP_HAS_RECORD;
    if (context != nullptr) {
        m_header.flags |= KIV_TRAP_HAS_CONTEXT;
        if (context->ContextFlags & CONTEXT_CONTROL) {
            // The bytes around the faulting instruction, as far as they can
            // be read.
            uintptr_t pc = registersOf(context).pc;
            uintptr_t start = pc >= kCodeLead ? pc - kCodeLead : 0;
            Uint32 count = 0;
            if (!readable(start, 4)) {
                while (start < pc && !readable(start, 4))
                    ++start;
            } else {
                count = KIV_TRAP_MAX_CODE_BYTES;
                while (count > 0 && !readable(start + count - 1, 4))
                    --count;
            }
            m_header.instructionStart = start;
            m_header.instructionCount = (Uint16)count;
            m_header.flags |= KIV_TRAP_CODE_TRIED;
            if (count != 0)
                m_header.flags |= KIV_TRAP_CODE_CAPTURED;
        }
    }
    m_initialized = 1;
}

/* ---- dump -------------------------------------------------------------------------------- */

bool KIVTrapFile::writeAll(const void* data, Uint32 size)
{
    // A count of 0 would make the primitive write measure a string.
    return size == 0 || write(data, size) == 0;
}

void KIVTrapFile::appendModuleRecord(const KIVTrapModuleRecord& record)
{
    if (writeAll(&record, sizeof record))
        ++m_header.moduleCount;
}

void KIVTrapFile::rewriteHeader()
{
    offsetType at;
    at.m_offset = m_headerOffset;
    seekToOffset(at);
    writeAll(&m_header, sizeof m_header);
    seekToEnd();
}

void KIVTrapFile::dump(unsigned int sections, unsigned long, EXCEPTION_RECORD* record,
                       CONTEXT* context)
{
    if (!m_initialized || !isValid())
        return;
    if (sections & KIV_TRAP_SECTION_HEADER) {
        m_headerOffset = getCurrentOffset().m_offset;
        writeAll(&m_header, sizeof m_header);
    }
    if (sections & KIV_TRAP_SECTION_SYSTEM)
        writeSystem();
    if (sections & KIV_TRAP_SECTION_ENVIRONMENT)
        writeEnvironment();
    if ((sections & KIV_TRAP_SECTION_EXCEPTION) && record != nullptr)
        writeAll(record, sizeof *record);
    if ((sections & KIV_TRAP_SECTION_CONTEXT) && context != nullptr)
        writeAll(context, sizeof *context);
    if (sections & KIV_TRAP_SECTION_MODULES)
        writeModules();
    if (sections & KIV_TRAP_SECTION_APIVERSION) {
        LPAPI_VERSION version = kivImagehlpApiVersion();
        if (version != nullptr)
            writeAll(version, sizeof *version);
    }
    if ((sections & KIV_TRAP_SECTION_STACK) && context != nullptr)
        writeStack(context);
    if (sections & KIV_TRAP_SECTION_MEMORY)
        writeRegions();
}

void KIVTrapFile::writeSystem()
{
    SYSTEM_INFO si;
    memset(&si, 0, sizeof si);
    kivGetSystemInfo(&si);
    writeAll(&si, sizeof si);

    OSVERSIONINFOEXA v;
    memset(&v, 0, sizeof v);
    v.dwOSVersionInfoSize = sizeof v;
    GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&v));
    writeAll(&v, sizeof v);

    // Looked up by name: not every release has the extended status.
    typedef BOOL(WINAPI * StatusExFn)(LPMEMORYSTATUSEX);
    typedef void(WINAPI * StatusFn)(LPMEMORYSTATUS);
    StatusExFn statusEx =
        reinterpret_cast<StatusExFn>(kivSystemProc("kernel32.dll", "GlobalMemoryStatusEx"));
    MEMORYSTATUSEX ex;
    memset(&ex, 0, sizeof ex);
    ex.dwLength = sizeof ex;
    if (statusEx != nullptr && statusEx(&ex)) {
        m_header.flags |= KIV_TRAP_MEMORYSTATUSEX;
        writeAll(&ex, sizeof ex);
        return;
    }
    StatusFn status = reinterpret_cast<StatusFn>(kivSystemProc("kernel32.dll", "GlobalMemoryStatus"));
    if (status != nullptr) {
        MEMORYSTATUS ms;
        memset(&ms, 0, sizeof ms);
        ms.dwLength = sizeof ms;
        status(&ms);
        m_header.flags |= KIV_TRAP_MEMORYSTATUS;
        writeAll(&ms, sizeof ms);
    }
}

void KIVTrapFile::writeEnvironment()
{
    // Entries go out whole, however long, through the buffer in pieces.
    char buffer[kEnvironmentBuffer];
    forEachEnvironmentEntry([&](const char* entry) {
        Uint32 length = (Uint32)strlen(entry);
        writeAll(&length, sizeof length);
        for (Uint32 done = 0; done < length;) {
            Uint32 n = length - done < kEnvironmentBuffer ? length - done : kEnvironmentBuffer;
            memcpy(buffer, entry + done, n);
            writeAll(buffer, n);
            done += n;
        }
    });
    Uint32 markerLength = sizeof KIV_TRAP_ENVIRONMENT_END - 1;
    writeAll(&markerLength, sizeof markerLength);
    writeAll(KIV_TRAP_ENVIRONMENT_END, markerLength);
}

void KIVTrapFile::writeModules()
{
    kivEnumerateLoadedModules(m_process, kivTrapModuleRecordCallback, this);
    if (m_header.moduleCount == 0 && g_cacheCount != 0) {
        m_header.flags |= KIV_TRAP_MODULES_CACHED;
        m_header.moduleCount = (Uint16)g_cacheCount;
        for (ModuleCacheNode* n = g_cacheHead; n != nullptr; n = n->next)
            writeAll(n->record, sizeof *n->record);
    } else if (m_header.moduleCount != 0) {
        m_header.flags |= KIV_TRAP_MODULES_LIVE;
    }
    rewriteHeader();
}

void KIVTrapFile::writeStack(const CONTEXT* context)
{
    if (m_header.instructionCount != 0)
        writeAll(reinterpret_cast<const void*>(m_header.instructionStart), m_header.instructionCount);

    if (!kivSymRegisterStackWalkCallback(m_process)) {
        DWORD err = GetLastError();
        void* message = nullptr;
        if (kivMemAlloc(&message, nullptr, 256, 0, kSource, __LINE__) == 0) {
            kivSnprintf(static_cast<char*>(message), 256,
                        "kivSymRegisterCallback failed: errcode=%lu\n", (unsigned long)err);
            OutputDebugStringA(static_cast<const char*>(message));
            kivMemFree(&message, 0, 0, kSource, __LINE__);
        }
        return;
    }

    Registers regs = registersOf(context);
    STACKFRAME64 frame;
    memset(&frame, 0, sizeof frame);
    frame.AddrPC.Offset = regs.pc;
    frame.AddrFrame.Offset = regs.frame;
    frame.AddrStack.Offset = regs.stack;
    frame.AddrPC.Mode = frame.AddrFrame.Mode = frame.AddrStack.Mode = AddrModeFlat;
#if defined(__x86_64__) || defined(_M_X64)
    // The x64 walk needs the registers and updates them: a copy.
    CONTEXT walkContext = *context;
    PVOID walkWith = &walkContext;
#else
    PVOID walkWith = nullptr;
#endif
    uintptr_t lastStack = 0;
    for (Uint32 n = 0;; ++n) {
        if (n < kMaxFrames && kivStackWalk(m_process, GetCurrentThread(), &frame, walkWith)) {
            writeAll(&frame, sizeof frame);
            lastStack = (uintptr_t)frame.AddrStack.Offset;
            if (frame.AddrReturn.Offset == 0)
                break;
        } else {
            frame.AddrReturn.Offset = KIV_TRAP_STACKWALK_FAILED;
            writeAll(&frame, sizeof frame);
            break;
        }
    }
    writeRawStack(regs.stack, lastStack);
}

void KIVTrapFile::writeRawStack(uintptr_t stackPointer, uintptr_t lastFrameStack)
{
    const uintptr_t word = sizeof(uintptr_t);
    Sint64 span = ((Sint64)lastFrameStack - (Sint64)stackPointer) / (Sint64)word;
    uintptr_t end = 0;
    bool any = true;
    if (span < (Sint64)kRawStackWords)
        end = stackPointer + kRawStackWords * word;
    else if (lastFrameStack != 0)
        end = lastFrameStack + word;
    else
        any = false;
    // The words from the stack pointer up to and including the end, as far
    // as they can be read; one probe when all of them can.
    Uint32 count = 0;
    if (any && end >= stackPointer) {
        Uint32 all = (Uint32)((end - stackPointer) / word + 1);
        if (readable(stackPointer, (uintptr_t)all * word)) {
            count = all;
        } else {
            while (count < all && readable(stackPointer + count * word, word))
                ++count;
        }
    }
    writeAll(&count, sizeof count);
    writeAll(reinterpret_cast<const void*>(stackPointer), count * (Uint32)word);
}

/* One region: its address, size and bytes.  The bytes are copied, not
 * read in place, so that a page that cannot be read is reported instead of
 * faulting.  A region whose first bytes cannot be read is left out (the
 * kernel's own pages look readable and are not); one that stops being
 * readable part way is filled up with zeros, so that the file stays
 * readable, and ends the walk: false. */
bool KIVTrapFile::writeRegion(uintptr_t base, uintptr_t size, char* buffer)
{
    for (uintptr_t done = 0; done < size; done += kCopyChunk) {
        SIZE_T n = size - done < kCopyChunk ? size - done : kCopyChunk;
        SIZE_T copied = 0;
        bool ok = ReadProcessMemory(m_process, reinterpret_cast<LPCVOID>(base + done), buffer, n,
                                    &copied) != FALSE;
        if (done == 0) {
            if (copied == 0)
                return true;
            writeAll(&base, sizeof base);
            writeAll(&size, sizeof size);
        }
        if (!ok) {
            memset(buffer + copied, 0, n - copied);
            writeAll(buffer, (Uint32)n);
            for (done += kCopyChunk; done < size; done += kCopyChunk) {
                n = size - done < kCopyChunk ? size - done : kCopyChunk;
                memset(buffer, 0, n);
                writeAll(buffer, (Uint32)n);
            }
            return false;
        }
        writeAll(buffer, (Uint32)n);
    }
    return true;
}

void KIVTrapFile::writeRegions()
{
    // The regions go into a file once: the first header says so.
    KIVTrapHeader first;
    Uint32 got = 0;
    offsetType start;
    start.m_offset = 0;
    seekToOffset(start);
    bool haveHeader = read(sizeof first, &first, &got) == 0 && got == sizeof first &&
                      memcmp(first.eyeCatcher, KIV_TRAP_EYECATCHER, sizeof first.eyeCatcher) == 0;
    if (haveHeader && (first.flags & KIV_TRAP_HAS_REGIONS)) {
        seekToEnd();
        return;
    }
    if (haveHeader) {
        first.flags |= KIV_TRAP_HAS_REGIONS;
        seekToOffset(start);
        writeAll(&first, sizeof first);
    }
    seekToEnd();

    SYSTEM_INFO si;
    memset(&si, 0, sizeof si);
    kivGetSystemInfo(&si);
    uintptr_t address = reinterpret_cast<uintptr_t>(si.lpMinimumApplicationAddress);
    uintptr_t limit = reinterpret_cast<uintptr_t>(si.lpMaximumApplicationAddress);
    uintptr_t step = si.dwPageSize ? si.dwPageSize : 4096;  // before any region is seen
    char buffer[kCopyChunk];
    bool faulted = false;
    while (address < limit && !faulted) {
        MEMORY_BASIC_INFORMATION mbi;
        memset(&mbi, 0, sizeof mbi);
        uintptr_t next = address + step;
        if (VirtualQuery(reinterpret_cast<LPCVOID>(address), &mbi, sizeof mbi) == sizeof mbi) {
            uintptr_t base = reinterpret_cast<uintptr_t>(mbi.BaseAddress);
            uintptr_t size = mbi.RegionSize;
            if (mbi.State == MEM_COMMIT && !(mbi.Protect & kUnreadableProtection))
                faulted = !writeRegion(base, size, buffer);
            step = size ? size : step;
            next = base + step;
        }
        if (next <= address)
            break;  // the top of the address space
        address = next;
    }
    seekToEnd();
    Uint32 marker = KIV_TRAP_REGIONS_END;
    writeAll(&marker, sizeof marker);
}

/* ---- XML prolog ----------------------------------------------------------------------------- */

bool KIVTrapFile::writeXMLProlog()
{
    offsetType size;
    if (getSize(&size) != 0 || size.m_offset == 0) {
        writeAll(kXMLProlog, kXMLPrologLength);
        return true;
    }
    char text[kXMLPrologLength + 1];
    Uint32 got = 0;
    offsetType at;
    at.m_offset = 0;
    seekToOffset(at);
    if (read(kXMLPrologLength, text, &got) != 0 || got != kXMLPrologLength ||
        memcmp(text, kXMLProlog, kXMLPrologLength) != 0) {
        seekToOffset(at);
        return false;
    }
    // The last opening bracket of the tail: a closing tag is overwritten by
    // what the caller writes next, anything else is appended to.
    at.m_offset = size.m_offset > kXMLPrologLength ? size.m_offset - kXMLPrologLength : 0;
    seekToOffset(at);
    got = 0;
    read(kXMLPrologLength, text, &got);
    for (Uint32 i = got; i-- > 0;) {
        if (text[i] != '<')
            continue;
        if (i + 1 < got && text[i + 1] == '/') {
            at.m_offset += i;
            seekToOffset(at);
            return false;
        }
        break;
    }
    seekToEnd();
    return false;
}

/* ---- module records and the handler -------------------------------------------------------------- */

BOOL CALLBACK kivTrapModuleRecordCallback(PCSTR moduleName, DWORD64 moduleBase, ULONG moduleSize,
                                          PVOID userContext)
{
    KIVTrapModuleRecord record;
    fillModuleRecord(&record, moduleName, moduleBase, moduleSize);
    if (userContext != nullptr)
        static_cast<KIVTrapFile*>(userContext)->appendModuleRecord(record);
    else
        cacheAppend(record);
    return TRUE;
}

Uint32 kivTrapInstallHandler(const char* trapFilePath, Uint32 sections)
{
    if (trapFilePath == nullptr || strlen(trapFilePath) > MAX_PATH)
        return ECF_INVALID_PARAMETER;
    kivSnprintf(g_handlerPath, sizeof g_handlerPath, "%s", trapFilePath);
    g_handlerSections = sections ? sections : KIV_TRAP_SECTIONS_DEFAULT;
    if (!g_cacheFilled) {
        g_cacheFilled = true;
        kivEnumerateLoadedModules(GetCurrentProcess(), nullptr, nullptr);
    }
    SetUnhandledExceptionFilter(trapFilter);
    return 0;
}
