/*
 * kivcompat_dbghelp.cpp - symbol handler, module list, symbol lookup, stack
 * walks and name demangling of the Win32 subset (see kivcompat_dbghelp.h).
 *
 * What a fault handler reaches (module enumeration, stack walks, module
 * bases of mapped modules) works from fixed buffers on the stack and never
 * allocates; symbol lookup reads and caches whole symbol tables and is meant
 * for code that runs normally, or for the tool that reads a trap file.
 */
#include "kivcompat.h"

#include <cxxabi.h>
#include <dlfcn.h>
#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <link.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>
#include <unwind.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

namespace {

BOOL fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

uintptr_t pageSize()
{
    long page = sysconf(_SC_PAGESIZE);
    return page > 0 ? static_cast<uintptr_t>(page) : 4096u;
}

/* ---- Modules the loader has mapped -------------------------------------------
 * Listed into a fixed array so that callers may run outside the loader's
 * lock and no memory is allocated. */

struct LiveModule {
    const char* name;  // the loader's name; empty for the main program
    uintptr_t   base;  // first loaded segment's page
    uintptr_t   end;   // end of the last loaded segment
};

const int kMaxLiveModules = 512;

struct LiveModules {
    LiveModule module[kMaxLiveModules];
    int        count;
};

int collectLive(struct dl_phdr_info* info, size_t, void* out)
{
    LiveModules* list = static_cast<LiveModules*>(out);
    if (list->count == kMaxLiveModules)
        return 1;
    uintptr_t low = UINTPTR_MAX, high = 0;
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& ph = info->dlpi_phdr[i];
        if (ph.p_type != PT_LOAD)
            continue;
        low = std::min<uintptr_t>(low, ph.p_vaddr);
        high = std::max<uintptr_t>(high, ph.p_vaddr + ph.p_memsz);
    }
    if (low == UINTPTR_MAX)
        return 0;
    LiveModule& m = list->module[list->count++];
    m.name = info->dlpi_name ? info->dlpi_name : "";
    m.base = info->dlpi_addr + (low & ~(pageSize() - 1));
    m.end = info->dlpi_addr + high;
    return 0;
}

void listLive(LiveModules& list)
{
    list.count = 0;
    dl_iterate_phdr(collectLive, &list);
}

/* The file behind a live module: the main program's is found through /proc,
 * whose answer goes into `buffer` (PATH_MAX bytes). */
const char* livePath(const LiveModule& m, char* buffer)
{
    if (*m.name)
        return m.name;
    ssize_t n = readlink("/proc/self/exe", buffer, PATH_MAX - 1);
    buffer[n > 0 ? n : 0] = '\0';
    return buffer;
}

bool isCurrentProcess(HANDLE process) { return process == GetCurrentProcess(); }

/* ---- ELF symbol tables -------------------------------------------------------- */

struct Symbol {
    uint64_t value;
    uint64_t size;
    uint32_t name;  // offset into the table's names
};

struct SymbolTable {
    std::vector<Symbol> symbols;  // functions, by address
    std::string         names;
    uint64_t            linkBase = 0;  // first loaded segment's page, as linked
    uint64_t            linkEnd = 0;
    bool                full = false;  // from .symtab, not only the exports
    time_t              modified = 0;
    uint16_t            machine = 0;
};

bool readAt(int fd, uint64_t offset, void* buffer, size_t size)
{
    char* p = static_cast<char*>(buffer);
    while (size > 0) {
        ssize_t n = pread(fd, p, size, static_cast<off_t>(offset));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        offset += static_cast<uint64_t>(n);
        size -= static_cast<size_t>(n);
    }
    return true;
}

template <class Ehdr, class Phdr, class Shdr, class Sym>
bool parseElf(int fd, SymbolTable& table)
{
    Ehdr eh;
    if (!readAt(fd, 0, &eh, sizeof eh) || eh.e_phentsize != sizeof(Phdr))
        return false;
    table.machine = eh.e_machine;
    uint64_t low = UINT64_MAX, high = 0;
    for (unsigned i = 0; i < eh.e_phnum; ++i) {
        Phdr ph;
        if (!readAt(fd, eh.e_phoff + static_cast<uint64_t>(i) * sizeof ph, &ph, sizeof ph))
            return false;
        if (ph.p_type == PT_LOAD) {
            low = std::min<uint64_t>(low, ph.p_vaddr);
            high = std::max<uint64_t>(high, ph.p_vaddr + ph.p_memsz);
        }
    }
    if (low == UINT64_MAX)
        return false;
    table.linkBase = low & ~static_cast<uint64_t>(pageSize() - 1);
    table.linkEnd = high;
    if (eh.e_shentsize != sizeof(Shdr) || eh.e_shnum == 0)
        return true;  // a stripped file: modules without names
    std::vector<Shdr> sections(eh.e_shnum);
    if (!readAt(fd, eh.e_shoff, sections.data(), sections.size() * sizeof(Shdr)))
        return true;
    // The full table when the file has one, else the exports.
    const Shdr* symtab = nullptr;
    for (const Shdr& s : sections) {
        if (s.sh_type == SHT_SYMTAB || (s.sh_type == SHT_DYNSYM && !symtab))
            symtab = &s;
    }
    if (!symtab || symtab->sh_link >= sections.size() || symtab->sh_entsize != sizeof(Sym))
        return true;
    const Shdr& strtab = sections[symtab->sh_link];
    table.full = symtab->sh_type == SHT_SYMTAB;
    table.names.resize(strtab.sh_size);
    std::vector<Sym> raw(symtab->sh_size / sizeof(Sym));
    if (!readAt(fd, strtab.sh_offset, &table.names[0], table.names.size()) ||
        !readAt(fd, symtab->sh_offset, raw.data(), raw.size() * sizeof(Sym)))
        return true;
    for (const Sym& s : raw) {
        unsigned type = s.st_info & 0xF;
        if ((type != STT_FUNC && type != STT_GNU_IFUNC) || s.st_shndx == SHN_UNDEF ||
            s.st_value == 0 || s.st_name >= table.names.size())
            continue;
        table.symbols.push_back(Symbol{s.st_value, s.st_size, s.st_name});
    }
    std::sort(table.symbols.begin(), table.symbols.end(),
              [](const Symbol& a, const Symbol& b) { return a.value < b.value; });
    return true;
}

std::shared_ptr<const SymbolTable> readSymbolTable(const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return nullptr;
    auto table = std::make_shared<SymbolTable>();
    struct stat st;
    if (fstat(fd, &st) == 0)
        table->modified = st.st_mtime;
    unsigned char ident[EI_NIDENT];
    bool ok = readAt(fd, 0, ident, sizeof ident) && memcmp(ident, ELFMAG, SELFMAG) == 0;
    if (ok && ident[EI_CLASS] == ELFCLASS32)
        ok = parseElf<Elf32_Ehdr, Elf32_Phdr, Elf32_Shdr, Elf32_Sym>(fd, *table);
    else if (ok && ident[EI_CLASS] == ELFCLASS64)
        ok = parseElf<Elf64_Ehdr, Elf64_Phdr, Elf64_Shdr, Elf64_Sym>(fd, *table);
    else
        ok = false;
    close(fd);
    return ok ? table : nullptr;
}

/* The function holding `rel` (an address as linked): the one whose extent
 * covers it, or the nearest one before it that has no size. */
const Symbol* findSymbol(const SymbolTable& table, uint64_t rel)
{
    auto it = std::upper_bound(table.symbols.begin(), table.symbols.end(), rel,
                               [](uint64_t v, const Symbol& s) { return v < s.value; });
    while (it != table.symbols.begin()) {
        --it;
        if (it->size == 0 || rel < it->value + it->size)
            return &*it;
        // An alias of the same address may have the size; otherwise the
        // address lies between functions.
        if (it != table.symbols.begin() && (it - 1)->value == it->value)
            continue;
        return nullptr;
    }
    return nullptr;
}

/* ---- Names ------------------------------------------------------------------ */

/* Drops the parameter list (and what follows it: qualifiers, clone marks)
 * from a demangled name. */
void dropParameters(std::string& name)
{
    size_t close = name.rfind(')');
    if (close == std::string::npos)
        return;
    int depth = 0;
    for (size_t i = close + 1; i-- > 0;) {
        if (name[i] == ')')
            ++depth;
        else if (name[i] == '(' && --depth == 0) {
            if (i > 0)
                name.erase(i);
            return;
        }
    }
}

std::string undecorate(const char* mangled, bool nameOnly)
{
    int status = 0;
    char* text = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    if (status != 0 || !text)
        return mangled;
    std::string name(text);
    free(text);
    if (nameOnly)
        dropParameters(name);
    return name;
}

void copyName(const std::string& name, char* out, size_t size)
{
    if (size == 0)
        return;
    size_t n = std::min(name.size(), size - 1);
    memcpy(out, name.data(), n);
    out[n] = '\0';
}

std::string baseNameOf(const std::string& path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string moduleNameOf(const std::string& path)
{
    std::string name = baseNameOf(path);
    size_t dot = name.find('.');
    return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

/* ---- Symbol handler state ---------------------------------------------------- */

struct LoadedModule {
    std::string image;
    std::string name;
    uint64_t    base;
    uint64_t    size;
    std::shared_ptr<const SymbolTable> table;
};

struct Session {
    std::string                   searchPath;
    std::vector<LoadedModule>     modules;
    PSYMBOL_REGISTERED_CALLBACK64 callback = nullptr;
    ULONG64                       callbackContext = 0;
};

struct HandlerState {
    std::mutex                                                mutex;
    std::map<HANDLE, Session>                                 sessions;
    std::map<std::string, std::shared_ptr<const SymbolTable>> tables;
};

// Never destroyed: walks may run while the process exits.
HandlerState& state()
{
    static HandlerState* s = new HandlerState;
    return *s;
}

std::atomic<DWORD> g_options{SYMOPT_UNDNAME};

/* The table of a file, read once per file and modification time.  Called
 * with the state's lock held. */
std::shared_ptr<const SymbolTable> tableFor(HandlerState& s, const std::string& path)
{
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return nullptr;
    auto it = s.tables.find(path);
    if (it != s.tables.end() && it->second->modified == st.st_mtime)
        return it->second;
    std::shared_ptr<const SymbolTable> table = readSymbolTable(path);
    if (table)
        s.tables[path] = table;
    return table;
}

/* What an address of a process belongs to. */
struct ModuleView {
    std::string path;
    std::string name;
    uint64_t    base = 0;
    uint64_t    size = 0;
    std::shared_ptr<const SymbolTable> table;
    // The displacement between the file's addresses and the process's.
    uint64_t bias() const { return table ? base - table->linkBase : 0; }
};

/* Finds the module of `address` in a handler's hand-loaded modules and, for
 * the current process, among the mapped ones.  `withTable` reads the
 * symbol table too.  Sets the last error when there is none. */
bool findModule(HANDLE process, uint64_t address, bool withTable, ModuleView* out)
{
    HandlerState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto session = s.sessions.find(process);
    if (session == s.sessions.end())
        return fail(ERROR_INVALID_HANDLE);
    for (const LoadedModule& m : session->second.modules) {
        if (address >= m.base && address - m.base < m.size) {
            out->path = m.image;
            out->name = m.name;
            out->base = m.base;
            out->size = m.size;
            out->table = m.table;
            return TRUE;
        }
    }
    if (isCurrentProcess(process)) {
        LiveModules live;
        listLive(live);
        for (int i = 0; i < live.count; ++i) {
            const LiveModule& m = live.module[i];
            if (address < m.base || address >= m.end)
                continue;
            char exe[PATH_MAX];
            out->path = livePath(m, exe);
            out->name = moduleNameOf(out->path);
            out->base = m.base;
            out->size = m.end - m.base;
            if (withTable)
                out->table = tableFor(s, out->path);
            return TRUE;
        }
    }
    return fail(ERROR_MOD_NOT_FOUND);
}

/* The symbol of an address: its name (as the options ask), address and
 * size.  Sets the last error when there is none. */
bool lookupSymbol(HANDLE process, uint64_t address, std::string* name, uint64_t* symbolAddress,
                  uint64_t* size, uint64_t* moduleBase)
{
    ModuleView m;
    if (!findModule(process, address, true, &m))
        return false;
    const Symbol* sym = m.table ? findSymbol(*m.table, address - m.bias()) : nullptr;
    if (!sym)
        return fail(ERROR_INVALID_ADDRESS);
    const char* raw = m.table->names.c_str() + sym->name;
    *name = (g_options.load() & SYMOPT_UNDNAME) ? undecorate(raw, true) : std::string(raw);
    *symbolAddress = sym->value + m.bias();
    *size = sym->size;
    if (moduleBase)
        *moduleBase = m.base;
    return true;
}

/* A file named by a loader or a caller, found as given or, for a relative
 * name, in the directories of the search path (separated by ';'). */
std::string resolveImage(const std::string& image, const std::string& searchPath)
{
    if (image.empty() || image[0] == '/' || access(image.c_str(), R_OK) == 0)
        return image;
    size_t start = 0;
    while (start <= searchPath.size()) {
        size_t end = searchPath.find(';', start);
        if (end == std::string::npos)
            end = searchPath.size();
        std::string dir = searchPath.substr(start, end - start);
        if (!dir.empty()) {
            std::string candidate = dir + "/" + baseNameOf(image);
            if (access(candidate.c_str(), R_OK) == 0)
                return candidate;
        }
        start = end + 1;
    }
    return image;
}

/* ---- Stack walks ------------------------------------------------------------------ */

#if defined(__i386__)
const DWORD kMachine = IMAGE_FILE_MACHINE_I386;
#else
const DWORD kMachine = IMAGE_FILE_MACHINE_AMD64;
#endif
const uint64_t kWord = sizeof(void*);
// A saved frame pointer further than this above the current one is taken
// for garbage rather than a caller's frame.
const uint64_t kMaxFrameStep = 64u << 20;

/* Reads one word of the walked process the way StackWalk64 reads memory. */
struct WalkReader {
    HANDLE                         process;
    PREAD_PROCESS_MEMORY_ROUTINE64 routine;
    PSYMBOL_REGISTERED_CALLBACK64  callback = nullptr;
    ULONG64                        callbackContext = 0;

    bool read(uint64_t address, void* out, DWORD size) const
    {
        DWORD got = 0;
        if (routine)
            return routine(process, address, out, size, &got) && got == size;
        if (callback) {
            IMAGEHLP_CBA_READ_MEMORY request;
            request.addr = address;
            request.buf = out;
            request.bytes = size;
            request.bytesread = &got;
            return callback(process, CBA_READ_MEMORY, reinterpret_cast<uintptr_t>(&request),
                            callbackContext) &&
                   got == size;
        }
        SIZE_T n = 0;
        return ReadProcessMemory(process, reinterpret_cast<LPCVOID>(static_cast<uintptr_t>(address)),
                                 out, size, &n) &&
               n == size;
    }
    bool word(uint64_t address, uint64_t* value) const
    {
        uintptr_t w = 0;
        if (!read(address, &w, sizeof w))
            return false;
        *value = w;
        return true;
    }
};

WalkReader readerFor(HANDLE process, PREAD_PROCESS_MEMORY_ROUTINE64 routine)
{
    WalkReader reader{process, routine};
    if (routine)
        return reader;
    // Never wait for the handler's lock: a walk may run in a fault handler
    // that interrupted its holder.  Without the lock the walk reads memory
    // directly, which is what the registered callback does as well.
    HandlerState& s = state();
    std::unique_lock<std::mutex> lock(s.mutex, std::try_to_lock);
    if (lock.owns_lock()) {
        auto it = s.sessions.find(process);
        if (it != s.sessions.end()) {
            reader.callback = it->second.callback;
            reader.callbackContext = it->second.callbackContext;
        }
    }
    return reader;
}

/* The calling thread's frames as the unwinder sees them. */
struct UnwoundFrame {
    uintptr_t ip;
    uintptr_t cfa;
};
const int kMaxUnwound = 256;
struct Unwound {
    UnwoundFrame frame[kMaxUnwound];
    int          count;
};

_Unwind_Reason_Code collectUnwound(struct _Unwind_Context* context, void* out)
{
    Unwound* u = static_cast<Unwound*>(out);
    if (u->count == kMaxUnwound)
        return _URC_END_OF_STACK;
    int beforeInsn = 0;
    uintptr_t ip = _Unwind_GetIPInfo(context, &beforeInsn);
    if (ip == 0)
        return _URC_END_OF_STACK;
    u->frame[u->count].ip = ip;
    u->frame[u->count].cfa = _Unwind_GetCFA(context);
    ++u->count;
    return _URC_NO_REASON;
}

/* Steps `frame` along the unwinder's view of the calling thread, when the
 * walk's first instruction pointer is one of its frames.  Returns 1 for a
 * step made, 0 for the end of the stack, -1 when the unwinder does not know
 * the walk (the caller then follows frame pointers). */
int unwinderStep(LPSTACKFRAME64 frame, uint64_t step)
{
    Unwound u;
    u.count = 0;
    _Unwind_Backtrace(collectUnwound, &u);
    uint64_t start = frame->Reserved[1];
    int k = 0;
    while (k < u.count && u.frame[k].ip != start)
        ++k;
    if (k == u.count)
        return -1;
    uint64_t at = static_cast<uint64_t>(k) + step;
    if (at >= static_cast<uint64_t>(u.count))
        return 0;
    const UnwoundFrame& f = u.frame[at];
    if (step > 0) {
        frame->AddrPC.Offset = f.ip;
        frame->AddrStack.Offset = u.frame[at - 1].cfa;
        // Where a frame-pointer frame keeps its saved frame pointer.
        frame->AddrFrame.Offset = f.cfa - 2 * kWord;
    }
    frame->AddrReturn.Offset = at + 1 < static_cast<uint64_t>(u.count) ? u.frame[at + 1].ip : 0;
    return 1;
}

/* One step along the chain of saved frame pointers. */
bool framePointerStep(LPSTACKFRAME64 frame, uint64_t step, const WalkReader& reader)
{
    if (step > 0) {
        uint64_t from = frame->AddrFrame.Offset;
        uint64_t saved = 0;
        if (frame->AddrReturn.Offset == 0 || !reader.word(from, &saved))
            return fail(ERROR_NOACCESS);
        if (saved <= from || saved - from > kMaxFrameStep)
            return fail(ERROR_INVALID_ADDRESS);
        frame->AddrPC.Offset = frame->AddrReturn.Offset;
        frame->AddrStack.Offset = from + 2 * kWord;
        frame->AddrFrame.Offset = saved;
    }
    uint64_t ret = 0;
    frame->AddrReturn.Offset = reader.word(frame->AddrFrame.Offset + kWord, &ret) ? ret : 0;
    for (int i = 0; i < 4; ++i) {
        uint64_t param = 0;
        frame->Params[i] =
            reader.word(frame->AddrFrame.Offset + (2 + i) * kWord, &param) ? param : 0;
    }
    return true;
}

void startFrame(LPSTACKFRAME64 frame, const void* contextRecord)
{
    if (frame->AddrPC.Offset == 0 && contextRecord) {
        const CONTEXT* c = static_cast<const CONTEXT*>(contextRecord);
#if defined(__i386__)
        frame->AddrPC.Offset = c->Eip;
        frame->AddrFrame.Offset = c->Ebp;
        frame->AddrStack.Offset = c->Esp;
#else
        frame->AddrPC.Offset = c->Rip;
        frame->AddrFrame.Offset = c->Rbp;
        frame->AddrStack.Offset = c->Rsp;
#endif
    }
    frame->Reserved[1] = frame->AddrPC.Offset;
}

} // namespace

extern "C" {

/* ---- Symbol handler ------------------------------------------------------------------ */

BOOL SymInitialize(HANDLE process, PCSTR searchPath, BOOL invadeProcess)
{
    (void)invadeProcess;  // mapped modules of the current process are always found
    HandlerState& s = state();
    try {
        std::lock_guard<std::mutex> lock(s.mutex);
        Session& session = s.sessions[process];
        session = Session();
        session.searchPath = searchPath ? searchPath : ".";
    } catch (const std::bad_alloc&) {
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    return TRUE;
}

BOOL SymCleanup(HANDLE process)
{
    HandlerState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    if (s.sessions.erase(process) == 0)
        return fail(ERROR_INVALID_HANDLE);
    return TRUE;
}

DWORD SymGetOptions(void) { return g_options.load(); }

DWORD SymSetOptions(DWORD options)
{
    g_options.store(options);
    return options;
}

BOOL SymGetSearchPath(HANDLE process, PSTR searchPath, DWORD length)
{
    if (!searchPath || length == 0)
        return fail(ERROR_INVALID_PARAMETER);
    HandlerState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.sessions.find(process);
    if (it == s.sessions.end())
        return fail(ERROR_INVALID_HANDLE);
    copyName(it->second.searchPath, searchPath, length);
    return TRUE;
}

BOOL SymSetSearchPath(HANDLE process, PCSTR searchPath)
{
    HandlerState& s = state();
    try {
        std::lock_guard<std::mutex> lock(s.mutex);
        auto it = s.sessions.find(process);
        if (it == s.sessions.end())
            return fail(ERROR_INVALID_HANDLE);
        it->second.searchPath = searchPath && *searchPath ? searchPath : ".";
    } catch (const std::bad_alloc&) {
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    return TRUE;
}

DWORD64 SymLoadModule64(HANDLE process, HANDLE file, PCSTR imageName, PCSTR moduleName,
                        DWORD64 baseOfDll, DWORD sizeOfDll)
{
    if (file != nullptr || !imageName || !*imageName) {
        SetLastError(ERROR_INVALID_PARAMETER);  // only files named by path
        return 0;
    }
    HandlerState& s = state();
    try {
        std::lock_guard<std::mutex> lock(s.mutex);
        auto it = s.sessions.find(process);
        if (it == s.sessions.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return 0;
        }
        Session& session = it->second;
        std::string path = resolveImage(imageName, session.searchPath);
        std::shared_ptr<const SymbolTable> table = tableFor(s, path);
        if (!table) {
            SetLastError(access(path.c_str(), R_OK) == 0 ? ERROR_BAD_EXE_FORMAT
                                                         : ERROR_FILE_NOT_FOUND);
            return 0;
        }
        uint64_t base = baseOfDll ? baseOfDll : table->linkBase;
        for (const LoadedModule& m : session.modules) {
            if (m.base == base) {
                SetLastError(ERROR_SUCCESS);  // loaded already
                return 0;
            }
        }
        LoadedModule m;
        m.image = path;
        m.name = moduleName && *moduleName ? moduleName : moduleNameOf(path);
        m.base = base;
        m.size = sizeOfDll ? sizeOfDll : table->linkEnd - table->linkBase;
        m.table = table;
        session.modules.push_back(m);
        return base;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

BOOL SymUnloadModule64(HANDLE process, DWORD64 baseOfDll)
{
    HandlerState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.sessions.find(process);
    if (it == s.sessions.end())
        return fail(ERROR_INVALID_HANDLE);
    std::vector<LoadedModule>& modules = it->second.modules;
    for (auto m = modules.begin(); m != modules.end(); ++m) {
        if (m->base == baseOfDll) {
            modules.erase(m);
            return TRUE;
        }
    }
    return fail(ERROR_MOD_NOT_FOUND);
}

DWORD64 SymGetModuleBase64(HANDLE process, DWORD64 address)
{
    // Mapped modules of the current process first, without the handler's
    // lock: stack walks in fault handlers come here.
    if (isCurrentProcess(process)) {
        LiveModules live;
        listLive(live);
        for (int i = 0; i < live.count; ++i) {
            if (address >= live.module[i].base && address < live.module[i].end)
                return live.module[i].base;
        }
    }
    ModuleView m;
    try {
        return findModule(process, address, false, &m) ? m.base : 0;
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

BOOL SymGetModuleInfo64(HANDLE process, DWORD64 address, PIMAGEHLP_MODULE64 info)
{
    // The first version of the record ends before the program database name.
    const DWORD oldestSize = offsetof(IMAGEHLP_MODULE64, LoadedPdbName);
    if (!info || info->SizeOfStruct < oldestSize || info->SizeOfStruct > sizeof *info)
        return fail(ERROR_INVALID_PARAMETER);
    try {
        ModuleView m;
        if (!findModule(process, address, true, &m))
            return FALSE;
        DWORD size = info->SizeOfStruct;
        memset(info, 0, size);
        info->SizeOfStruct = size;
        info->BaseOfImage = m.base;
        info->ImageSize = static_cast<DWORD>(m.size);
        info->TimeDateStamp = m.table ? static_cast<DWORD>(m.table->modified) : 0;
        info->NumSyms = m.table ? static_cast<DWORD>(m.table->symbols.size()) : 0;
        info->SymType = !m.table ? SymNone : m.table->full ? SymSym : SymExport;
        copyName(m.name, info->ModuleName, sizeof info->ModuleName);
        copyName(m.path, info->ImageName, sizeof info->ImageName);
        copyName(m.path, info->LoadedImageName, sizeof info->LoadedImageName);
        if (size == sizeof *info) {
            info->GlobalSymbols = m.table && m.table->full;
            info->Publics = m.table != nullptr;
            info->MachineType = m.table && m.table->machine == EM_X86_64
                                    ? IMAGE_FILE_MACHINE_AMD64
                                    : IMAGE_FILE_MACHINE_I386;
        }
        return TRUE;
    } catch (const std::bad_alloc&) {
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
}

PVOID SymFunctionTableAccess64(HANDLE process, DWORD64 addrBase)
{
    (void)process, (void)addrBase;
    SetLastError(ERROR_NOT_SUPPORTED);  // ELF code has no function tables
    return nullptr;
}

BOOL SymRegisterCallback64(HANDLE process, PSYMBOL_REGISTERED_CALLBACK64 callback,
                           ULONG64 userContext)
{
    HandlerState& s = state();
    std::lock_guard<std::mutex> lock(s.mutex);
    auto it = s.sessions.find(process);
    if (it == s.sessions.end())
        return fail(ERROR_INVALID_HANDLE);
    it->second.callback = callback;
    it->second.callbackContext = userContext;
    return TRUE;
}

BOOL SymGetSymFromAddr64(HANDLE process, DWORD64 address, PDWORD64 displacement,
                         PIMAGEHLP_SYMBOL64 symbol)
{
    if (!symbol || symbol->SizeOfStruct < offsetof(IMAGEHLP_SYMBOL64, Name))
        return fail(ERROR_INVALID_PARAMETER);
    try {
        std::string name;
        uint64_t at = 0, size = 0;
        if (!lookupSymbol(process, address, &name, &at, &size, nullptr))
            return FALSE;
        symbol->Address = at;
        symbol->Size = static_cast<DWORD>(size);
        symbol->Flags = 0;
        copyName(name, symbol->Name, symbol->MaxNameLength);
        if (displacement)
            *displacement = address - at;
        return TRUE;
    } catch (const std::bad_alloc&) {
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
}

BOOL SymFromAddr(HANDLE process, DWORD64 address, PDWORD64 displacement, PSYMBOL_INFO symbol)
{
    if (!symbol || symbol->SizeOfStruct < offsetof(SYMBOL_INFO, Name))
        return fail(ERROR_INVALID_PARAMETER);
    try {
        std::string name;
        uint64_t at = 0, size = 0, base = 0;
        if (!lookupSymbol(process, address, &name, &at, &size, &base))
            return FALSE;
        symbol->Size = static_cast<ULONG>(size);
        symbol->ModBase = base;
        symbol->Flags = 0;
        symbol->Value = at;
        symbol->Address = at;
        symbol->NameLen = static_cast<ULONG>(name.size());
        copyName(name, symbol->Name, symbol->MaxNameLen);
        if (displacement)
            *displacement = address - at;
        return TRUE;
    } catch (const std::bad_alloc&) {
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
}

BOOL EnumerateLoadedModules64(HANDLE process, PENUMLOADED_MODULES_CALLBACK64 callback,
                              PVOID userContext)
{
    if (!callback)
        return fail(ERROR_INVALID_PARAMETER);
    if (!isCurrentProcess(process))
        return fail(ERROR_INVALID_HANDLE);
    LiveModules live;
    listLive(live);
    for (int i = 0; i < live.count; ++i) {
        char exe[PATH_MAX];
        const LiveModule& m = live.module[i];
        if (!callback(livePath(m, exe), m.base, static_cast<ULONG>(m.end - m.base), userContext))
            break;
    }
    return TRUE;
}

BOOL StackWalk64(DWORD machineType, HANDLE process, HANDLE thread, LPSTACKFRAME64 frame,
                 PVOID contextRecord, PREAD_PROCESS_MEMORY_ROUTINE64 readMemory,
                 PFUNCTION_TABLE_ACCESS_ROUTINE64 functionTableAccess,
                 PGET_MODULE_BASE_ROUTINE64 getModuleBase,
                 PTRANSLATE_ADDRESS_ROUTINE64 translateAddress)
{
    (void)getModuleBase, (void)translateAddress;
    if (machineType != kMachine || !frame)
        return fail(ERROR_INVALID_PARAMETER);
    // Reserved[0] counts the steps, Reserved[1] keeps where the walk began.
    uint64_t step = frame->Reserved[0];
    if (step == 0)
        startFrame(frame, contextRecord);
    if (frame->AddrPC.Offset == 0)
        return fail(ERROR_INVALID_ADDRESS);
    int unwound = -1;
    if (isCurrentProcess(process) && thread == GetCurrentThread())
        unwound = unwinderStep(frame, step);
    if (unwound == 0)
        return fail(ERROR_NO_MORE_FILES);
    if (unwound < 0 && !framePointerStep(frame, step, readerFor(process, readMemory)))
        return FALSE;
    if (unwound > 0)
        memset(frame->Params, 0, sizeof frame->Params);
    frame->AddrPC.Mode = frame->AddrReturn.Mode = frame->AddrFrame.Mode =
        frame->AddrStack.Mode = AddrModeFlat;
    frame->FuncTableEntry =
        functionTableAccess ? functionTableAccess(process, frame->AddrPC.Offset) : nullptr;
    frame->Far = FALSE;
    frame->Virtual = FALSE;
    frame->Reserved[0] = step + 1;
    return TRUE;
}

DWORD UnDecorateSymbolName(PCSTR decoratedName, PSTR undecoratedName, DWORD undecoratedLength,
                           DWORD flags)
{
    if (!decoratedName || !undecoratedName || undecoratedLength == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    try {
        std::string name =
            undecorate(decoratedName, (flags & (UNDNAME_NAME_ONLY | UNDNAME_NO_ARGUMENTS)) != 0);
        copyName(name, undecoratedName, undecoratedLength);
        return static_cast<DWORD>(strlen(undecoratedName));
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
}

LPAPI_VERSION ImagehlpApiVersion(void)
{
    static API_VERSION version = {4, 0, 5, 0};
    return &version;
}

LPAPI_VERSION ImagehlpApiVersionEx(LPAPI_VERSION appVersion)
{
    (void)appVersion;
    return ImagehlpApiVersion();
}

DWORD GetTimestampForLoadedLibrary(HMODULE module)
{
    LiveModules live;
    listLive(live);
    for (int i = 0; i < live.count; ++i) {
        if (reinterpret_cast<uintptr_t>(module) != live.module[i].base)
            continue;
        char exe[PATH_MAX];
        struct stat st;
        if (stat(livePath(live.module[i], exe), &st) != 0)
            return 0;
        return static_cast<DWORD>(st.st_mtime);
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return 0;
}

PIMAGE_NT_HEADERS ImageNtHeader(PVOID base)
{
    (void)base;
    SetLastError(ERROR_BAD_EXE_FORMAT);
    return nullptr;
}

} // extern "C"
