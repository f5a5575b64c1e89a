/*
 * kivtrapread.h - the reading side of the kivtrap tool: the two layouts of
 * a trap file, a bounded cursor over its bytes, and the reader that prints
 * one dump after the other, section by section.
 *
 * Kept apart from the tool's main() so that other programs (the fuzzing
 * targets) read trap files exactly as the tool does.  Everything is inline:
 * each .cpp file under tools is a program of its own, so the reader has no
 * source file.
 *
 * Nothing in a trap file is trusted: every length and count in it is checked
 * against the bytes that are left before it is used, at full 64-bit width,
 * so a 32-bit reader cannot be fooled by a length that wraps size_t.
 * Names of code addresses come from a TrapNamer the caller supplies; the
 * reader itself never opens a file.
 */
#ifndef KIVTRAPREAD_H
#define KIVTRAPREAD_H

#include "kivtrap.h"

#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <utility>
#include <vector>

namespace kivtrapread {

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

    /* `n` is as wide as the lengths a file can claim: compared before it is
     * narrowed, it cannot wrap into a small request. */
    const unsigned char* take(uint64_t n)
    {
        if (remaining() < n)
            throw Truncated();
        const unsigned char* p = data_.data() + at_;
        at_ += static_cast<size_t>(n);
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

inline uint64_t little(const unsigned char* p, unsigned width)
{
    uint64_t v = 0;
    for (unsigned i = width; i-- > 0;)
        v = (v << 8) | p[i];
    return v;
}

inline uint32_t u32(const unsigned char* p) { return (uint32_t)little(p, 4); }
inline uint16_t u16(const unsigned char* p) { return (uint16_t)little(p, 2); }

inline std::string text(const unsigned char* p, size_t max)
{
    size_t n = 0;
    while (n < max && p[n])
        ++n;
    return std::string(reinterpret_cast<const char*>(p), n);
}

/* ---- output ------------------------------------------------------------------------- */

inline std::string hex(uint64_t v, unsigned width)
{
    char buf[32];
    snprintf(buf, sizeof buf, "0x%0*llX", (int)(width * 2), (unsigned long long)v);
    return buf;
}

/* Where the text goes. */
class Printer {
public:
    explicit Printer(FILE* out) : out_(out) {}

    void say(const char* format, ...)
#if defined(__GNUC__)
        __attribute__((format(printf, 2, 3)))
#endif
    {
        va_list ap;
        va_start(ap, format);
        vfprintf(out_, format, ap);
        va_end(ap);
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

private:
    FILE* out_;
};

/* ---- names of code addresses -------------------------------------------------------- */

/* A module the module section lists, where the faulting process had it. */
struct TrapModule {
    std::string name;
    uint64_t    base = 0, end = 0;
};

/* Names code addresses from the modules of the dump being read. */
class TrapNamer {
public:
    virtual ~TrapNamer() {}
    virtual void setModules(const std::vector<TrapModule>& modules,
                            const std::string& executable) = 0;
    /* "name+0xoffset [module]", or the module alone, or nothing. */
    virtual std::string name(uint64_t address) = 0;
};

/* ---- sections --------------------------------------------------------------------------- */

inline const char* exceptionName(uint32_t code)
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

inline void printFlags(Printer& out, uint32_t flags)
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
    out.say("  Flags:              0x%08X", flags);
    const char* separator = " (";
    for (const auto& n : kNames) {
        if (flags & n.bit) {
            out.say("%s%s", separator, n.name);
            separator = ", ";
        }
    }
    out.say("%s\n", *separator == ',' ? ")" : "");
}

/* What one dump wrote, read in the order it was written. */
class TrapReader {
public:
    TrapReader(Cursor& in, unsigned sections, bool dumpRegions, TrapNamer& namer, Printer& out)
        : in_(in), sections_(sections), dumpRegions_(dumpRegions), namer_(namer), out_(out)
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
        std::string n = namer_.name(a);
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
        out_.say("Trap header at offset %lu\n", (unsigned long)at);
        out_.say("  Eye-catcher:        %.8s\n", reinterpret_cast<const char*>(h));
        out_.say("  Process id:         %u\n", u32(h + 8));
        out_.say("  Thread id:          %u\n", u32(h + 12));
        out_.say("  Local time:         %04u-%02u-%02u %02u:%02u:%02u.%03u\n", u16(t), u16(t + 2),
                 u16(t + 6), u16(t + 8), u16(t + 10), u16(t + 12), u16(t + 14));
        printFlags(out_, flags_);
        out_.say("  Executable:         %s\n", executable_.c_str());
        out_.say("  Modules:            %u\n", moduleCount_);
        out_.say("  Instruction bytes:  %u at %s\n", codeCount_, address(codeStart_).c_str());
    }

    void system()
    {
        const unsigned char* s = in_.take(l_->systemInfo);
        unsigned w = l_->word;
        out_.say("System\n");
        uint16_t arch = u16(s);
        out_.say("  Architecture:       %u (%s)\n", arch,
                 arch == 0 ? "x86" : arch == 9 ? "x64" : arch == 12 ? "ARM64" : "other");
        out_.say("  Page size:          %u\n", u32(s + 4));
        out_.say("  Application space:  %s - %s\n", address(word(s + 8)).c_str(),
                 address(word(s + 8 + w)).c_str());
        out_.say("  Processors:         %u (mask %s)\n", u32(s + 8 + 3 * w),
                 address(word(s + 8 + 2 * w)).c_str());
        out_.say("  Processor type:     %u, level %u, revision 0x%04X\n", u32(s + 12 + 3 * w),
                 u16(s + 20 + 3 * w), u16(s + 22 + 3 * w));
        out_.say("  Allocation granule: %u\n", u32(s + 16 + 3 * w));
        const unsigned char* v = in_.take(kOsVersionSize);
        out_.say("  System version:     %u.%u build %u, platform %u, \"%s\"\n", u32(v + 4),
                 u32(v + 8), u32(v + 12), u32(v + 16), text(v + 20, 128).c_str());
        out_.say("  Service pack:       %u.%u, suites 0x%04X, product type %u\n", u16(v + 148),
                 u16(v + 150), u16(v + 152), v[154]);
        memoryStatus();
    }

    void memoryStatus()
    {
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
            out_.say("  Memory load:        %u%%\n", u32(m + 4));
            out_.say("  Physical memory:    %llu of %llu bytes free\n",
                     (unsigned long long)little(m + 16, 8), (unsigned long long)little(m + 8, 8));
            out_.say("  Paging file:        %llu of %llu bytes free\n",
                     (unsigned long long)little(m + 32, 8), (unsigned long long)little(m + 24, 8));
            out_.say("  Virtual space:      %llu of %llu bytes free\n",
                     (unsigned long long)little(m + 48, 8), (unsigned long long)little(m + 40, 8));
        } else if (statusFlags & KIV_TRAP_MEMORYSTATUS) {
            const unsigned char* m = in_.take(l_->memoryStatus);
            unsigned w8 = l_->word;
            out_.say("  Memory load:        %u%%\n", u32(m + 4));
            out_.say("  Physical memory:    %llu of %llu bytes free\n",
                     (unsigned long long)word(m + 8 + w8), (unsigned long long)word(m + 8));
            out_.say("  Paging file:        %llu of %llu bytes free\n",
                     (unsigned long long)word(m + 8 + 3 * w8),
                     (unsigned long long)word(m + 8 + 2 * w8));
            out_.say("  Virtual space:      %llu of %llu bytes free\n",
                     (unsigned long long)word(m + 8 + 5 * w8),
                     (unsigned long long)word(m + 8 + 4 * w8));
        }
    }

    void environment()
    {
        out_.say("Environment\n");
        for (;;) {
            uint32_t length = u32(in_.take(4));
            std::string entry(reinterpret_cast<const char*>(in_.take(length)), length);
            if (entry == KIV_TRAP_ENVIRONMENT_END)
                break;
            out_.say("  %s\n", entry.c_str());
        }
    }

    void modules()
    {
        out_.say("Modules\n");
        std::vector<TrapModule> list;
        for (unsigned i = 0; i < moduleCount_; ++i) {
            const unsigned char* m = in_.take(l_->module);
            TrapModule mod;
            mod.name = text(m, 260);
            mod.base = word(m + l_->moduleBase);
            mod.end = word(m + l_->moduleEnd);
            uint64_t marker = word(m + l_->moduleExport);
            out_.say("  %s - %s  stamp 0x%08X%s  %s\n", address(mod.base).c_str(),
                     address(mod.end).c_str(), u32(m + l_->moduleStamp),
                     marker ? "  product" : "", mod.name.c_str());
            list.push_back(mod);
        }
        namer_.setModules(list, executable_);
    }

    void exceptionRecord()
    {
        const unsigned char* r = record_;
        uint32_t code = u32(r);
        uint64_t where = word(r + l_->recordAddress);
        uint32_t count = u32(r + l_->recordCount);
        out_.say("Exception record\n");
        out_.say("  Code:               0x%08X (%s)\n", code, exceptionName(code));
        out_.say("  Flags:              0x%08X\n", u32(r + 4));
        out_.say("  Address:            %s%s\n", address(where).c_str(), named(where).c_str());
        out_.say("  Parameters:         %u", count);
        for (uint32_t i = 0; i < count && i < EXCEPTION_MAXIMUM_PARAMETERS; ++i)
            out_.say(" %s", address(word(r + l_->recordInfo + i * l_->word)).c_str());
        out_.say("\n");
        if ((code == 0xC0000005u || code == 0xC0000006u) && count >= 2) {
            uint64_t kind = word(r + l_->recordInfo);
            out_.say("  Access:             %s of %s\n",
                     kind == 0 ? "read" : kind == 1 ? "write" : kind == 8 ? "execution" : "access",
                     address(word(r + l_->recordInfo + l_->word)).c_str());
        }
    }

    void context()
    {
        const unsigned char* c = context_;
        out_.say("Context\n");
        if (l_ == &kLayout32) {
            static const struct {
                const char* name;
                unsigned    offset;
            } kRegs[] = {{"EAX", 176}, {"EBX", 164}, {"ECX", 172}, {"EDX", 168},
                         {"ESI", 160}, {"EDI", 156}, {"EBP", 180}, {"ESP", 196},
                         {"EIP", 184}, {"EFL", 192}, {"CS", 188},  {"SS", 200},
                         {"DS", 152},  {"ES", 148},  {"FS", 144},  {"GS", 140}};
            out_.say("  Context flags:      0x%08X\n", u32(c));
            for (size_t i = 0; i < sizeof kRegs / sizeof kRegs[0]; ++i)
                out_.say("  %-4s %08X%s", kRegs[i].name, u32(c + kRegs[i].offset),
                         i % 4 == 3 ? "\n" : "");
        } else {
            static const char* const kNames[] = {"RAX", "RCX", "RDX", "RBX", "RSP", "RBP",
                                                 "RSI", "RDI", "R8",  "R9",  "R10", "R11",
                                                 "R12", "R13", "R14", "R15", "RIP"};
            out_.say("  Context flags:      0x%08X\n", u32(c + 0x30));
            for (size_t i = 0; i < sizeof kNames / sizeof kNames[0]; ++i)
                out_.say("  %-4s %016llX%s", kNames[i],
                         (unsigned long long)little(c + 0x78 + 8 * i, 8), i % 3 == 2 ? "\n" : "");
            out_.say("\n  EFL  %08X  CS %04X  SS %04X\n", u32(c + 0x44), u16(c + 0x38),
                     u16(c + 0x42));
        }
    }

    void apiVersion()
    {
        const unsigned char* v = in_.take(kApiVersionSize);
        out_.say("Symbol library\n");
        out_.say("  API version:        %u.%u revision %u\n", u16(v), u16(v + 2), u16(v + 4));
    }

    void stack()
    {
        if (codeCount_) {
            out_.say("Instruction bytes\n");
            out_.hexLines(in_.take(codeCount_), codeCount_, codeStart_, l_->word);
        }
        out_.say("Stack\n");
        for (unsigned n = 0;; ++n) {
            const unsigned char* f = in_.take(kStackFrameSize);
            uint64_t pc = little(f, 8), ret = little(f + 16, 8);
            uint64_t frame = little(f + 32, 8), sp = little(f + 48, 8);
            if (ret == KIV_TRAP_STACKWALK_FAILED) {
                out_.say("  #%-3u %s  (the walk ended here)\n", n, address(pc).c_str());
                break;
            }
            out_.say("  #%-3u %s  frame %s  stack %s%s\n", n, address(pc).c_str(),
                     address(frame).c_str(), address(sp).c_str(), named(pc).c_str());
            if (ret == 0)
                break;
        }
        rawStack();
    }

    void rawStack()
    {
        uint32_t words = u32(in_.take(4));
        const unsigned char* raw = in_.take(static_cast<uint64_t>(words) * l_->word);
        size_t bytes = static_cast<size_t>(words) * l_->word;  // fits: the bytes are there
        uint64_t sp = context_ ? (l_ == &kLayout32 ? u32(context_ + 196) : little(context_ + 0x98, 8))
                               : 0;
        out_.say("Raw stack: %u words from %s\n", words, address(sp).c_str());
        for (size_t i = 0; i < bytes; i += 4 * l_->word) {
            out_.say("    %s:", address(sp + i).c_str());
            for (size_t j = i; j < i + 4 * l_->word && j < bytes; j += l_->word)
                out_.say(" %s", address(word(raw + j)).c_str() + 2);
            out_.say("\n");
        }
    }

    void regions()
    {
        out_.say("Memory regions\n");
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
            const unsigned char* bytes = in_.take(size);
            out_.say("  %s  %llu bytes\n", address(base).c_str(), (unsigned long long)size);
            if (dumpRegions_)
                out_.hexLines(bytes, static_cast<size_t>(size), base, l_->word);
            total += size;
            ++count;
        }
        out_.say("  %u regions, %llu bytes\n", count, (unsigned long long)total);
    }

    Cursor&               in_;
    unsigned              sections_;
    bool                  dumpRegions_;
    TrapNamer&            namer_;
    Printer&              out_;
    const Layout*         l_ = nullptr;
    uint32_t              flags_ = 0;
    unsigned              moduleCount_ = 0;
    uint64_t              codeStart_ = 0;
    unsigned              codeCount_ = 0;
    std::string           executable_;
    const unsigned char*  record_ = nullptr;
    const unsigned char*  context_ = nullptr;
};

/* Exit codes of the tool that come from the reading. */
const int kReadToEnd = 0;
const int kNotTrapOrTruncated = 3;

/* Every dump in `bytes`, one after the other, then how the file ended.
 * Returns kReadToEnd or kNotTrapOrTruncated. */
inline int readTrapFile(std::vector<unsigned char> bytes, unsigned sections, bool dumpRegions,
                        TrapNamer& namer, FILE* output)
{
    Printer out(output);
    Cursor in(std::move(bytes));
    try {
        bool first = true;
        while (!in.atEnd()) {
            TrapReader reader(in, sections, dumpRegions, namer, out);
            if (!reader.readOne(first)) {
                out.say("Not a trap header at offset %lu\n", (unsigned long)in.position());
                return kNotTrapOrTruncated;
            }
            first = false;
        }
    } catch (const Truncated&) {
        out.say("The file ends in the middle of a section (offset %lu)\n",
                (unsigned long)in.position());
        return kNotTrapOrTruncated;
    }
    out.say("End of file\n");
    return kReadToEnd;
}

} // namespace kivtrapread

#endif /* KIVTRAPREAD_H */
