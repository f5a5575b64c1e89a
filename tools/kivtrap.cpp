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
#include "kivtrapread.h"

#include <ctype.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

/* ---- names of code addresses -------------------------------------------------------- */

struct Module : kivtrapread::TrapModule {
    bool loaded = false;
    bool tried = false;
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
class Symbols : public kivtrapread::TrapNamer {
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
    void setModules(const std::vector<kivtrapread::TrapModule>& modules,
                    const std::string& executable) override
    {
        modules_.assign(modules.size(), Module());
        for (size_t i = 0; i < modules.size(); ++i)
            static_cast<kivtrapread::TrapModule&>(modules_[i]) = modules[i];
        executable_ = executable;
    }

    std::string name(uint64_t address) override
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
    FILE* out = stdout;
    if (output && !(out = fopen(output, "w"))) {
        fprintf(stderr, "kivtrap: cannot write %s\n", output);
        return 2;
    }
    Symbols symbols;
    symbols.start(searchPath);
    int rc = kivtrapread::readTrapFile(std::move(bytes), sections, dumpRegions, symbols, out);
    if (out != stdout)
        fclose(out);
    return rc;
}
