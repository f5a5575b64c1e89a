/*
 * kivtrap - prints what a trap file recorded, section by section.
 *
 *   kivtrap [-s SECTIONS] [-y SEARCHPATH] [-x] [-o OUTPUT] FILE
 *
 * The sections of a trap file carry no tags: the reader expects the ones
 * the library's handler writes (KIV_TRAP_SECTIONS_DEFAULT), or those given
 * with -s (the dump's section bits, e.g. -s 0x4007), and of those only what
 * the header's flags say is there (record, context, API version, memory
 * regions).  Several dumps appended to one file are read one after the
 * other.  Both layouts are read, whichever width the reader was built for:
 * "*TPHDR32" from 32-bit processes and "*TPHDR64" from 64-bit ones.
 *
 * Code addresses are named from the module files the module section
 * lists, loaded into a symbol handler of the reader's own at the addresses
 * the faulting process had them at; -y adds directories to look for
 * module files in.  -x dumps the memory regions' bytes, not only their
 * places.  Output goes to OUTPUT, else to standard output.
 *
 * Exit codes: 0 the file was read to its end, 1 bad arguments, 2 the file
 * cannot be read, 3 the file ends in the middle of a section or is no
 * trap file.
 */
#include "kivsym.h"
#include "kivtrap.h"

#include <ctype.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <map>
#include <string>
#include <vector>

namespace {

/* ---- the two layouts ---------------------------------------------------------- */

/* Sizes and offsets of one width of trap file. */
struct Layout {
    unsigned word;            // an address
    unsigned header;          // KIVTrapHeader
    unsigned headerTime, headerFlags, headerModules, headerPath, headerCodeCount;
    unsigned module;          // KIVTrapModuleRecord
    unsigned moduleExport, moduleBase, moduleEnd, moduleStamp;
    unsigned systemInfo;      // SYSTEM_INFO
    unsigned memoryStatus;    // MEMORYSTATUS
    unsigned record;          // EXCEPTION_RECORD
    unsigned recordAddress, recordCount, recordInfo;
    unsigned context;         // CONTEXT
};

const Layout kLayout32 = {4,   388, 20,  36,  42,  44, 384, 284, 268, 272, 276, 280,
                          36,  32,  80,  12,  16,  20, 716};
const Layout kLayout64 = {8,   392, 24,  40,  46,  48, 388, 304, 272, 280, 288, 296,
                          48,  56,  152, 16,  24,  32, 1232};

const unsigned kOsVersionSize = 156;
const unsigned kMemoryStatusExSize = 64;
const unsigned kStackFrameSize = 264;
const unsigned kApiVersionSize = 8;

/* ---- reading ------------------------------------------------------------------------ */

class Truncated {};

/* The file's bytes and a read position. */
class Cursor {
public:
    explicit Cursor(std::vector<unsigned char> bytes) : data_(std::move(bytes)) {}

    size_t position() const { return at_; }
    size_t remaining() const { return data_.size() - at_; }
    bool   atEnd() const { return at_ >= data_.size(); }

    const unsigned char* take(size_t n)
    {
        if (remaining() < n)
            throw Truncated();
        const unsigned char* p = data_.data() + at_;
        at_ += n;
        return p;
    }
    const unsigned char* peek(size_t n) const
    {
        return remaining() < n ? nullptr : data_.data() + at_;
    }

private:
    std::vector<unsigned char> data_;
    size_t                     at_ = 0;
};

uint64_t little(const unsigned char* p, unsigned width)
{
    uint64_t v = 0;
    for (unsigned i = width; i-- > 0;)
        v = (v << 8) | p[i];
    return v;
}

uint32_t u32(const unsigned char* p) { return (uint32_t)little(p, 4); }
uint16_t u16(const unsigned char* p) { return (uint16_t)little(p, 2); }

std::string text(const unsigned char* p, size_t max)
{
    size_t n = 0;
    while (n < max && p[n])
        ++n;
    return std::string(reinterpret_cast<const char*>(p), n);
}

/* ---- output ------------------------------------------------------------------------- */

FILE* g_out = stdout;

void say(const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 1, 2)))
#endif
    ;
void say(const char* format, ...)
{
    va_list ap;
    va_start(ap, format);
    vfprintf(g_out, format, ap);
    va_end(ap);
}

std::string hex(uint64_t v, unsigned width)
{
    char buf[32];
    snprintf(buf, sizeof buf, "0x%0*llX", (int)(width * 2), (unsigned long long)v);
    return buf;
}

void hexLines(const unsigned char* p, size_t n, uint64_t address, unsigned addressWidth)
{
    for (size_t i = 0; i < n; i += 16) {
        say("    %s:", hex(address + i, addressWidth).c_str());
        for (size_t j = i; j < i + 16 && j < n; ++j)
            say(" %02x", p[j]);
        say("\n");
    }
}

/* ---- names of code addresses -------------------------------------------------------- */

struct Module {
    std::string name;
    uint64_t    base, end;
    bool        loaded = false;
    bool        tried = false;
};

bool fileExists(const std::string& path)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (f)
        fclose(f);
    return f != nullptr;
}

std::string baseName(const std::string& path)
{
    size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string directoryOf(const std::string& path)
{
    size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

bool sameModuleName(std::string a, std::string b)
{
    for (char& c : a)
        c = (char)tolower((unsigned char)c);
    for (char& c : b)
        c = (char)tolower((unsigned char)c);
    return a == b || (b.size() > a.size() && b.compare(0, a.size(), a) == 0 && b[a.size()] == '.');
}

/* A symbol handler of the reader's own, holding the trap's modules at the
 * addresses the faulting process had them at. */
class Symbols {
public:
    void start(const std::string& searchPath)
    {
        if (started_)
            return;
        started_ = true;
        // Not the reader's own process: none of its modules must answer.
        kivSymInitialize(session_, searchPath.empty() ? nullptr : searchPath.c_str(), FALSE);
        searchDirs_ = searchPath;
    }
    void setModules(const std::vector<Module>& modules, const std::string& executable)
    {
        modules_ = modules;
        executable_ = executable;
    }

    /* "name+0xoffset [module]", or the module alone, or nothing. */
    std::string name(uint64_t address)
    {
        Module* m = moduleOf(address);
        if (!m)
            return std::string();
        load(*m);
        union {
            IMAGEHLP_SYMBOL64 symbol;
            char              bytes[sizeof(IMAGEHLP_SYMBOL64) + 512];
        } record;
        memset(&record, 0, sizeof record);
        record.symbol.SizeOfStruct = sizeof(IMAGEHLP_SYMBOL64);
        record.symbol.MaxNameLength = 512;
        DWORD64 offset = 0;
        std::string where = "[" + baseName(m->name) + "]";
        if (m->loaded && kivSymGetSymFromAddr(session_, address, &offset, &record.symbol)) {
            char buf[600];
            snprintf(buf, sizeof buf, "%s+0x%llx %s", record.symbol.Name,
                     (unsigned long long)offset, where.c_str());
            return buf;
        }
        return where;
    }

private:
    Module* moduleOf(uint64_t address)
    {
        for (Module& m : modules_) {
            if (address >= m.base && address < m.end)
                return &m;
        }
        return nullptr;
    }

    /* The module's file: as named, the executable the header names, or
     * the name with the usual endings in the executable's directory and
     * the search path. */
    std::string fileOf(const Module& m)
    {
        if (fileExists(m.name))
            return m.name;
        if (sameModuleName(baseName(m.name), baseName(executable_)) && fileExists(executable_))
            return executable_;
        std::vector<std::string> dirs = {directoryOf(executable_)};
        size_t start = 0;
        while (start <= searchDirs_.size()) {
            size_t end = searchDirs_.find(';', start);
            if (end == std::string::npos)
                end = searchDirs_.size();
            if (end > start)
                dirs.push_back(searchDirs_.substr(start, end - start) + "/");
            start = end + 1;
        }
        for (const std::string& dir : dirs) {
            for (const char* ending : {"", ".dll", ".exe"}) {
                std::string candidate = dir + baseName(m.name) + ending;
                if (fileExists(candidate))
                    return candidate;
            }
        }
        return std::string();
    }

    void load(Module& m)
    {
        if (m.tried)
            return;
        m.tried = true;
        std::string file = fileOf(m);
        if (file.empty())
            return;
        m.loaded = kivSymLoadModule(session_, nullptr, file.c_str(), nullptr, m.base,
                                    (DWORD)(m.end - m.base)) != 0;
    }

    HANDLE              session_ = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x7EA1));
    bool                started_ = false;
    std::string         searchDirs_;
    std::string         executable_;
    std::vector<Module> modules_;
};

/* ---- sections --------------------------------------------------------------------------- */

const char* exceptionName(uint32_t code)
{
    switch (code) {
    case 0xC0000005u: return "access violation";
    case 0xC0000006u: return "in-page error";
    case 0x80000002u: return "datatype misalignment";
    case 0x80000003u: return "breakpoint";
    case 0x80000004u: return "single step";
    case 0xC000008Cu: return "array bounds exceeded";
    case 0xC000008Du: return "floating-point denormal operand";
    case 0xC000008Eu: return "floating-point division by zero";
    case 0xC000008Fu: return "floating-point inexact result";
    case 0xC0000090u: return "floating-point invalid operation";
    case 0xC0000091u: return "floating-point overflow";
    case 0xC0000092u: return "floating-point stack check";
    case 0xC0000093u: return "floating-point underflow";
    case 0xC0000094u: return "integer division by zero";
    case 0xC0000095u: return "integer overflow";
    case 0xC0000096u: return "privileged instruction";
    case 0xC000001Du: return "illegal instruction";
    case 0xC00000FDu: return "stack overflow";
    default:          return "exception";
    }
}

void printFlags(uint32_t flags)
{
    static const struct {
        uint32_t    bit;
        const char* name;
    } kNames[] = {
        {KIV_TRAP_HAS_RECORD, "record"},           {KIV_TRAP_HAS_CONTEXT, "context"},
        {KIV_TRAP_MODULES_LIVE, "live modules"},   {KIV_TRAP_CODE_TRIED, "code tried"},
        {KIV_TRAP_CODE_CAPTURED, "code captured"}, {KIV_TRAP_HAS_API_VERSION, "API version"},
        {KIV_TRAP_HAS_REGIONS, "memory regions"},  {KIV_TRAP_MODULES_CACHED, "cached modules"},
        {KIV_TRAP_MEMORYSTATUSEX, "MEMORYSTATUSEX"}, {KIV_TRAP_MEMORYSTATUS, "MEMORYSTATUS"},
    };
    say("  Flags:              0x%08X", flags);
    const char* separator = " (";
    for (const auto& n : kNames) {
        if (flags & n.bit) {
            say("%s%s", separator, n.name);
            separator = ", ";
        }
    }
    say("%s\n", *separator == ',' ? ")" : "");
}

/* What one dump wrote, read in the order it was written. */
class TrapReader {
public:
    TrapReader(Cursor& in, unsigned sections, bool dumpRegions, Symbols& symbols)
        : in_(in), sections_(sections), dumpRegions_(dumpRegions), symbols_(symbols)
    {
    }

    /* False when no trap header starts here. */
    bool readOne(bool firstInFile)
    {
        const unsigned char* eye = in_.peek(8);
        if (!eye)
            return false;
        if (memcmp(eye, "*TPHDR32", 8) == 0)
            l_ = &kLayout32;
        else if (memcmp(eye, "*TPHDR64", 8) == 0)
            l_ = &kLayout64;
        else
            return false;
        header();
        if (firstInFile && (flags_ & KIV_TRAP_HAS_REGIONS))
            sections_ |= KIV_TRAP_SECTION_MEMORY;
        if (sections_ & KIV_TRAP_SECTION_SYSTEM)
            system();
        if (sections_ & KIV_TRAP_SECTION_ENVIRONMENT)
            environment();
        if ((sections_ & KIV_TRAP_SECTION_EXCEPTION) && (flags_ & KIV_TRAP_HAS_RECORD))
            record_ = in_.take(l_->record);
        if ((sections_ & KIV_TRAP_SECTION_CONTEXT) && (flags_ & KIV_TRAP_HAS_CONTEXT))
            context_ = in_.take(l_->context);
        if (sections_ & KIV_TRAP_SECTION_MODULES)
            modules();
        // Names need the modules, which come after the record and context.
        if (record_)
            exceptionRecord();
        if (context_)
            context();
        if ((sections_ & KIV_TRAP_SECTION_APIVERSION) && (flags_ & KIV_TRAP_HAS_API_VERSION))
            apiVersion();
        if ((sections_ & KIV_TRAP_SECTION_STACK) && (flags_ & KIV_TRAP_HAS_CONTEXT))
            stack();
        if (sections_ & KIV_TRAP_SECTION_MEMORY)
            regions();
        return true;
    }

private:
    uint64_t word(const unsigned char* p) const { return little(p, l_->word); }
    std::string address(uint64_t a) const { return hex(a, l_->word); }
    std::string named(uint64_t a)
    {
        std::string n = symbols_.name(a);
        return n.empty() ? n : "  " + n;
    }

    void header()
    {
        size_t at = in_.position();
        const unsigned char* h = in_.take(l_->header);
        flags_ = u32(h + l_->headerFlags);
        moduleCount_ = u16(h + l_->headerModules);
        codeStart_ = word(h + 16);
        codeCount_ = u16(h + l_->headerCodeCount);
        executable_ = text(h + l_->headerPath, 260);
        const unsigned char* t = h + l_->headerTime;  // SYSTEMTIME
        say("Trap header at offset %lu\n", (unsigned long)at);
        say("  Eye-catcher:        %.8s\n", reinterpret_cast<const char*>(h));
        say("  Process id:         %u\n", u32(h + 8));
        say("  Thread id:          %u\n", u32(h + 12));
        say("  Local time:         %04u-%02u-%02u %02u:%02u:%02u.%03u\n", u16(t), u16(t + 2),
            u16(t + 6), u16(t + 8), u16(t + 10), u16(t + 12), u16(t + 14));
        printFlags(flags_);
        say("  Executable:         %s\n", executable_.c_str());
        say("  Modules:            %u\n", moduleCount_);
        say("  Instruction bytes:  %u at %s\n", codeCount_, address(codeStart_).c_str());
    }

    void system()
    {
        const unsigned char* s = in_.take(l_->systemInfo);
        unsigned w = l_->word;
        say("System\n");
        uint16_t arch = u16(s);
        say("  Architecture:       %u (%s)\n", arch,
            arch == 0 ? "x86" : arch == 9 ? "x64" : arch == 12 ? "ARM64" : "other");
        say("  Page size:          %u\n", u32(s + 4));
        say("  Application space:  %s - %s\n", address(word(s + 8)).c_str(),
            address(word(s + 8 + w)).c_str());
        say("  Processors:         %u (mask %s)\n", u32(s + 8 + 3 * w),
            address(word(s + 8 + 2 * w)).c_str());
        say("  Processor type:     %u, level %u, revision 0x%04X\n", u32(s + 12 + 3 * w),
            u16(s + 20 + 3 * w), u16(s + 22 + 3 * w));
        say("  Allocation granule: %u\n", u32(s + 16 + 3 * w));
        const unsigned char* v = in_.take(kOsVersionSize);
        say("  System version:     %u.%u build %u, platform %u, \"%s\"\n", u32(v + 4), u32(v + 8),
            u32(v + 12), u32(v + 16), text(v + 20, 128).c_str());
        say("  Service pack:       %u.%u, suites 0x%04X, product type %u\n", u16(v + 148),
            u16(v + 150), u16(v + 152), v[154]);
        // A header written before the system section has neither flag:
        // the status then shows by its own length word.
        uint32_t statusFlags = flags_ & (KIV_TRAP_MEMORYSTATUSEX | KIV_TRAP_MEMORYSTATUS);
        const unsigned char* next = in_.peek(8);
        if (statusFlags == 0 && next && u32(next + 4) <= 100) {
            if (u32(next) == kMemoryStatusExSize)
                statusFlags = KIV_TRAP_MEMORYSTATUSEX;
            else if (u32(next) == l_->memoryStatus)
                statusFlags = KIV_TRAP_MEMORYSTATUS;
        }
        if (statusFlags & KIV_TRAP_MEMORYSTATUSEX) {
            const unsigned char* m = in_.take(kMemoryStatusExSize);
            say("  Memory load:        %u%%\n", u32(m + 4));
            say("  Physical memory:    %llu of %llu bytes free\n",
                (unsigned long long)little(m + 16, 8), (unsigned long long)little(m + 8, 8));
            say("  Paging file:        %llu of %llu bytes free\n",
                (unsigned long long)little(m + 32, 8), (unsigned long long)little(m + 24, 8));
            say("  Virtual space:      %llu of %llu bytes free\n",
                (unsigned long long)little(m + 48, 8), (unsigned long long)little(m + 40, 8));
        } else if (statusFlags & KIV_TRAP_MEMORYSTATUS) {
            const unsigned char* m = in_.take(l_->memoryStatus);
            unsigned w8 = l_->word;
            say("  Memory load:        %u%%\n", u32(m + 4));
            say("  Physical memory:    %llu of %llu bytes free\n",
                (unsigned long long)word(m + 8 + w8), (unsigned long long)word(m + 8));
            say("  Paging file:        %llu of %llu bytes free\n",
                (unsigned long long)word(m + 8 + 3 * w8), (unsigned long long)word(m + 8 + 2 * w8));
            say("  Virtual space:      %llu of %llu bytes free\n",
                (unsigned long long)word(m + 8 + 5 * w8), (unsigned long long)word(m + 8 + 4 * w8));
        }
    }

    void environment()
    {
        say("Environment\n");
        for (;;) {
            uint32_t length = u32(in_.take(4));
            std::string entry(reinterpret_cast<const char*>(in_.take(length)), length);
            if (entry == KIV_TRAP_ENVIRONMENT_END)
                break;
            say("  %s\n", entry.c_str());
        }
    }

    void modules()
    {
        say("Modules\n");
        std::vector<Module> list;
        for (unsigned i = 0; i < moduleCount_; ++i) {
            const unsigned char* m = in_.take(l_->module);
            Module mod;
            mod.name = text(m, 260);
            mod.base = word(m + l_->moduleBase);
            mod.end = word(m + l_->moduleEnd);
            uint64_t marker = word(m + l_->moduleExport);
            say("  %s - %s  stamp 0x%08X%s  %s\n", address(mod.base).c_str(),
                address(mod.end).c_str(), u32(m + l_->moduleStamp),
                marker ? "  product" : "", mod.name.c_str());
            list.push_back(mod);
        }
        symbols_.setModules(list, executable_);
    }

    void exceptionRecord()
    {
        const unsigned char* r = record_;
        uint32_t code = u32(r);
        uint64_t where = word(r + l_->recordAddress);
        uint32_t count = u32(r + l_->recordCount);
        say("Exception record\n");
        say("  Code:               0x%08X (%s)\n", code, exceptionName(code));
        say("  Flags:              0x%08X\n", u32(r + 4));
        say("  Address:            %s%s\n", address(where).c_str(), named(where).c_str());
        say("  Parameters:         %u", count);
        for (uint32_t i = 0; i < count && i < EXCEPTION_MAXIMUM_PARAMETERS; ++i)
            say(" %s", address(word(r + l_->recordInfo + i * l_->word)).c_str());
        say("\n");
        if ((code == 0xC0000005u || code == 0xC0000006u) && count >= 2) {
            uint64_t kind = word(r + l_->recordInfo);
            say("  Access:             %s of %s\n",
                kind == 0 ? "read" : kind == 1 ? "write" : kind == 8 ? "execution" : "access",
                address(word(r + l_->recordInfo + l_->word)).c_str());
        }
    }

    void context()
    {
        const unsigned char* c = context_;
        say("Context\n");
        if (l_ == &kLayout32) {
            static const struct {
                const char* name;
                unsigned    offset;
            } kRegs[] = {{"EAX", 176}, {"EBX", 164}, {"ECX", 172}, {"EDX", 168},
                         {"ESI", 160}, {"EDI", 156}, {"EBP", 180}, {"ESP", 196},
                         {"EIP", 184}, {"EFL", 192}, {"CS", 188},  {"SS", 200},
                         {"DS", 152},  {"ES", 148},  {"FS", 144},  {"GS", 140}};
            say("  Context flags:      0x%08X\n", u32(c));
            for (size_t i = 0; i < sizeof kRegs / sizeof kRegs[0]; ++i)
                say("  %-4s %08X%s", kRegs[i].name, u32(c + kRegs[i].offset),
                    i % 4 == 3 ? "\n" : "");
        } else {
            static const char* const kNames[] = {"RAX", "RCX", "RDX", "RBX", "RSP", "RBP",
                                                 "RSI", "RDI", "R8",  "R9",  "R10", "R11",
                                                 "R12", "R13", "R14", "R15", "RIP"};
            say("  Context flags:      0x%08X\n", u32(c + 0x30));
            for (size_t i = 0; i < sizeof kNames / sizeof kNames[0]; ++i)
                say("  %-4s %016llX%s", kNames[i], (unsigned long long)little(c + 0x78 + 8 * i, 8),
                    i % 3 == 2 ? "\n" : "");
            say("\n  EFL  %08X  CS %04X  SS %04X\n", u32(c + 0x44), u16(c + 0x38), u16(c + 0x42));
        }
    }

    void apiVersion()
    {
        const unsigned char* v = in_.take(kApiVersionSize);
        say("Symbol library\n");
        say("  API version:        %u.%u revision %u\n", u16(v), u16(v + 2), u16(v + 4));
    }

    void stack()
    {
        if (codeCount_) {
            say("Instruction bytes\n");
            hexLines(in_.take(codeCount_), codeCount_, codeStart_, l_->word);
        }
        say("Stack\n");
        for (unsigned n = 0;; ++n) {
            const unsigned char* f = in_.take(kStackFrameSize);
            uint64_t pc = little(f, 8), ret = little(f + 16, 8);
            uint64_t frame = little(f + 32, 8), sp = little(f + 48, 8);
            if (ret == KIV_TRAP_STACKWALK_FAILED) {
                say("  #%-3u %s  (the walk ended here)\n", n, address(pc).c_str());
                break;
            }
            say("  #%-3u %s  frame %s  stack %s%s\n", n, address(pc).c_str(),
                address(frame).c_str(), address(sp).c_str(), named(pc).c_str());
            if (ret == 0)
                break;
        }
        uint32_t words = u32(in_.take(4));
        size_t bytes = (size_t)words * l_->word;
        const unsigned char* raw = in_.take(bytes);
        uint64_t sp = context_ ? (l_ == &kLayout32 ? u32(context_ + 196) : little(context_ + 0x98, 8))
                               : 0;
        say("Raw stack: %u words from %s\n", words, address(sp).c_str());
        for (size_t i = 0; i < bytes; i += 4 * l_->word) {
            say("    %s:", address(sp + i).c_str());
            for (size_t j = i; j < i + 4 * l_->word && j < bytes; j += l_->word)
                say(" %s", address(word(raw + j)).c_str() + 2);
            say("\n");
        }
    }

    void regions()
    {
        say("Memory regions\n");
        uint64_t total = 0;
        unsigned count = 0;
        for (;;) {
            const unsigned char* p = in_.peek(4);
            if (p && u32(p) == KIV_TRAP_REGIONS_END) {
                in_.take(4);
                break;
            }
            uint64_t base = word(in_.take(l_->word));
            uint64_t size = word(in_.take(l_->word));
            const unsigned char* bytes = in_.take((size_t)size);
            say("  %s  %llu bytes\n", address(base).c_str(), (unsigned long long)size);
            if (dumpRegions_)
                hexLines(bytes, (size_t)size, base, l_->word);
            total += size;
            ++count;
        }
        say("  %u regions, %llu bytes\n", count, (unsigned long long)total);
    }

    Cursor&               in_;
    unsigned              sections_;
    bool                  dumpRegions_;
    Symbols&              symbols_;
    const Layout*         l_ = nullptr;
    uint32_t              flags_ = 0;
    unsigned              moduleCount_ = 0;
    uint64_t              codeStart_ = 0;
    unsigned              codeCount_ = 0;
    std::string           executable_;
    const unsigned char*  record_ = nullptr;
    const unsigned char*  context_ = nullptr;
};

bool readFile(const char* path, std::vector<unsigned char>* bytes)
{
    FILE* f = fopen(path, "rb");
    if (!f)
        return false;
    unsigned char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        bytes->insert(bytes->end(), buf, buf + n);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

int usage()
{
    fprintf(stderr, "usage: kivtrap [-s SECTIONS] [-y SEARCHPATH] [-x] [-o OUTPUT] FILE\n");
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    unsigned sections = KIV_TRAP_SECTIONS_DEFAULT;
    std::string searchPath;
    const char* output = nullptr;
    const char* file = nullptr;
    bool dumpRegions = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-s" && i + 1 < argc)
            sections = (unsigned)strtoul(argv[++i], nullptr, 0);
        else if (a == "-y" && i + 1 < argc)
            searchPath = argv[++i];
        else if (a == "-o" && i + 1 < argc)
            output = argv[++i];
        else if (a == "-x")
            dumpRegions = true;
        else if (a[0] != '-' && !file)
            file = argv[i];
        else
            return usage();
    }
    if (!file)
        return usage();
    std::vector<unsigned char> bytes;
    if (!readFile(file, &bytes)) {
        fprintf(stderr, "kivtrap: cannot read %s\n", file);
        return 2;
    }
    if (output && !(g_out = fopen(output, "w"))) {
        fprintf(stderr, "kivtrap: cannot write %s\n", output);
        return 2;
    }
    Cursor in(std::move(bytes));
    Symbols symbols;
    symbols.start(searchPath);
    int rc = 0;
    try {
        bool first = true;
        while (!in.atEnd()) {
            TrapReader reader(in, sections, dumpRegions, symbols);
            if (!reader.readOne(first)) {
                say("Not a trap header at offset %lu\n", (unsigned long)in.position());
                rc = 3;
                break;
            }
            first = false;
        }
        if (rc == 0)
            say("End of file\n");
    } catch (const Truncated&) {
        say("The file ends in the middle of a section (offset %lu)\n",
            (unsigned long)in.position());
        rc = 3;
    }
    if (g_out != stdout)
        fclose(g_out);
    return rc;
}
