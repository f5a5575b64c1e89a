/*
 * kivcompat_sysinfo.cpp - the Windows system queries answered from the
 * running Linux system (see kivcompat_sysinfo.h for what maps onto what).
 *
 * Nothing here is cached: each call reads the system again, so figures
 * that change (free memory, free space, swap use) are current.
 */
#include "kivcompat_file.h"
#include "kivcompat_security.h"
#include "kivcompat_sysinfo.h"
#include "kivcompat_trap.h"

#include <ctype.h>
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <limits.h>
#include <mutex>
#include <new>
#include <sched.h>
#include <set>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <string>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysinfo.h>
#include <sys/utsname.h>
#include <unistd.h>
#include <vector>


using kivcompat::compatPath;
using kivcompat::compatPathError;

namespace {

BOOL fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

/* ---- the system's own files ---------------------------------------------------- */

/* The whole of a small text file (the /proc and /sys files are read in one
 * go by the kernel, so a short read means the end). */
bool readText(const char* path, std::string* out)
{
    FILE* f = fopen(path, "re");
    if (f == nullptr)
        return false;
    out->clear();
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, f)) > 0)
        out->append(chunk, n);
    fclose(f);
    return true;
}

std::vector<std::string> splitLines(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

std::vector<std::string> splitFields(const std::string& line)
{
    std::vector<std::string> fields;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && isspace(static_cast<unsigned char>(line[i])))
            ++i;
        size_t start = i;
        while (i < line.size() && !isspace(static_cast<unsigned char>(line[i])))
            ++i;
        if (i > start)
            fields.push_back(line.substr(start, i - start));
    }
    return fields;
}

std::string trim(const std::string& s)
{
    size_t b = 0, e = s.size();
    while (b < e && isspace(static_cast<unsigned char>(s[b])))
        ++b;
    while (e > b && isspace(static_cast<unsigned char>(s[e - 1])))
        --e;
    return s.substr(b, e - b);
}

std::string lowerCase(std::string s)
{
    for (char& c : s)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

/* Copies `text` with its terminator when it fits in `size` bytes. */
bool copyOut(const std::string& text, LPSTR buffer, DWORD size)
{
    if (buffer == nullptr || text.size() >= size)
        return false;
    memcpy(buffer, text.c_str(), text.size() + 1);
    return true;
}

/* ---- memory -------------------------------------------------------------------- */

/* The memory figures, in bytes. */
struct MemoryFigures {
    uint64_t total = 0, available = 0, free = 0, cached = 0;
    uint64_t swapTotal = 0, swapFree = 0, committed = 0;
    uint64_t slabReclaimable = 0, slabUnreclaimable = 0, kernelStack = 0, pageTables = 0;
};

/* sysinfo(2) always answers; /proc/meminfo, when mounted, adds what the
 * kernel estimates to be available and the commit charge. */
bool readMemory(MemoryFigures* m)
{
    struct sysinfo si;
    if (sysinfo(&si) != 0)
        return false;
    const uint64_t unit = si.mem_unit ? si.mem_unit : 1;
    m->total = si.totalram * unit;
    m->free = si.freeram * unit;
    m->available = (si.freeram + si.bufferram) * unit;
    m->swapTotal = si.totalswap * unit;
    m->swapFree = si.freeswap * unit;
    m->committed = (m->total - m->free) + (m->swapTotal - m->swapFree);

    std::string text;
    if (!readText("/proc/meminfo", &text))
        return true;
    for (const std::string& line : splitLines(text)) {
        std::vector<std::string> f = splitFields(line);
        if (f.size() < 2)
            continue;
        const uint64_t bytes = strtoull(f[1].c_str(), nullptr, 10) * 1024u;
        const std::string& key = f[0];
        if (key == "MemAvailable:")
            m->available = bytes;
        else if (key == "Committed_AS:")
            m->committed = bytes;
        else if (key == "Cached:" || key == "Buffers:")
            m->cached += bytes;
        else if (key == "SReclaimable:")
            m->slabReclaimable = bytes;
        else if (key == "SUnreclaim:")
            m->slabUnreclaimable = bytes;
        else if (key == "KernelStack:")
            m->kernelStack = bytes;
        else if (key == "PageTables:")
            m->pageTables = bytes;
    }
    return true;
}

SIZE_T clampToSize(uint64_t v)
{
    const uint64_t most = static_cast<uint64_t>(static_cast<SIZE_T>(-1));
    return static_cast<SIZE_T>(v > most ? most : v);
}

/* Share of all swap areas in use, in percent; 0 without swap. */
double swapUsagePercent()
{
    std::string text;
    if (!readText("/proc/swaps", &text))
        return 0.0;
    uint64_t size = 0, used = 0;
    std::vector<std::string> lines = splitLines(text);
    for (size_t i = 1; i < lines.size(); ++i) { // the first line names the columns
        std::vector<std::string> f = splitFields(lines[i]);
        if (f.size() >= 4) {
            size += strtoull(f[2].c_str(), nullptr, 10);
            used += strtoull(f[3].c_str(), nullptr, 10);
        }
    }
    return size == 0 ? 0.0 : 100.0 * static_cast<double>(used) / static_cast<double>(size);
}

DWORD countProcesses()
{
    DIR* d = opendir("/proc");
    if (d == nullptr)
        return 0;
    DWORD n = 0;
    while (struct dirent* e = readdir(d)) {
        if (isdigit(static_cast<unsigned char>(e->d_name[0])))
            ++n;
    }
    closedir(d);
    return n;
}

/* The system's count of open files: the first number of file-nr. */
DWORD openFileCount()
{
    std::string text;
    if (!readText("/proc/sys/fs/file-nr", &text))
        return 0;
    return static_cast<DWORD>(strtoul(text.c_str(), nullptr, 10));
}

/* The number of threads: "total" of the "running/total" field of loadavg. */
DWORD threadCount()
{
    std::string text;
    if (!readText("/proc/loadavg", &text))
        return 0;
    std::vector<std::string> f = splitFields(text);
    size_t slash = f.size() > 3 ? f[3].find('/') : std::string::npos;
    return slash == std::string::npos
               ? 0
               : static_cast<DWORD>(strtoul(f[3].c_str() + slash + 1, nullptr, 10));
}

/* ---- processors ---------------------------------------------------------------- */

struct CpuDescription {
    int         index = -1;
    double      mhz = 0.0;
    std::string modelName;
    std::string vendor;
};

std::vector<CpuDescription> readCpuInfo()
{
    std::vector<CpuDescription> cpus;
    std::string text;
    if (!readText("/proc/cpuinfo", &text))
        return cpus;
    for (const std::string& line : splitLines(text)) {
        size_t colon = line.find(':');
        if (colon == std::string::npos)
            continue;
        const std::string key = trim(line.substr(0, colon));
        const std::string value = trim(line.substr(colon + 1));
        if (key == "processor") {
            cpus.emplace_back();
            cpus.back().index = atoi(value.c_str());
        } else if (cpus.empty()) {
            continue;
        } else if (key == "cpu MHz") {
            cpus.back().mhz = strtod(value.c_str(), nullptr);
        } else if (key == "model name") {
            cpus.back().modelName = value;
        } else if (key == "vendor_id") {
            cpus.back().vendor = value;
        }
    }
    return cpus;
}

/* The processors the system has online, from the kernel's list ("0-3,6"). */
DWORD_PTR onlineMask()
{
    std::string text;
    DWORD_PTR mask = 0;
    const unsigned bits = 8 * sizeof(DWORD_PTR);
    if (readText("/sys/devices/system/cpu/online", &text)) {
        const char* p = text.c_str();
        while (isdigit(static_cast<unsigned char>(*p))) {
            char* end = nullptr;
            unsigned long from = strtoul(p, &end, 10), to = from;
            if (*end == '-')
                to = strtoul(end + 1, &end, 10);
            for (unsigned long i = from; i <= to && i < bits; ++i)
                mask |= static_cast<DWORD_PTR>(1) << i;
            p = (*end == ',') ? end + 1 : end;
        }
    }
    if (mask == 0) {
        long n = sysconf(_SC_NPROCESSORS_ONLN);
        for (long i = 0; i < n && i < static_cast<long>(bits); ++i)
            mask |= static_cast<DWORD_PTR>(1) << i;
    }
    return mask;
}

DWORD_PTR maskOf(const cpu_set_t& set)
{
    DWORD_PTR mask = 0;
    for (unsigned i = 0; i < 8 * sizeof(DWORD_PTR); ++i) {
        if (CPU_ISSET(i, &set))
            mask |= static_cast<DWORD_PTR>(1) << i;
    }
    return mask;
}

HANDLE const kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
HANDLE const kCurrentThread = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));

/* ---- volumes ------------------------------------------------------------------- */

struct Mount {
    std::string source, dir, type, options;
};

/* The octal escapes of /proc/self/mounts ("\040" for a blank). */
std::string unescapeMountField(const std::string& s)
{
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 3 < s.size() && isdigit(static_cast<unsigned char>(s[i + 1]))) {
            out += static_cast<char>(strtol(s.substr(i + 1, 3).c_str(), nullptr, 8));
            i += 3;
        } else {
            out += s[i];
        }
    }
    return out;
}

std::vector<Mount> readMounts()
{
    std::vector<Mount> mounts;
    std::string text;
    if (!readText("/proc/self/mounts", &text))
        return mounts;
    for (const std::string& line : splitLines(text)) {
        std::vector<std::string> f = splitFields(line);
        if (f.size() >= 4)
            mounts.push_back({unescapeMountField(f[0]), unescapeMountField(f[1]), f[2], f[3]});
    }
    return mounts;
}

/* `path` (a POSIX path from compatPath) made absolute, with "." and ".."
 * resolved and every existing leading part resolved through its links, so
 * it can be compared with mount points.  The rest need not exist. */
std::string canonicalPath(const std::string& path)
{
    std::string absolute = path;
    if (absolute.empty() || absolute[0] != '/') {
        char cwd[PATH_MAX];
        if (getcwd(cwd, sizeof cwd) == nullptr)
            return std::string();
        absolute = std::string(cwd) + "/" + absolute;
    }
    std::vector<std::string> parts;
    size_t i = 0;
    while (i < absolute.size()) {
        size_t end = absolute.find('/', i);
        if (end == std::string::npos)
            end = absolute.size();
        std::string part = absolute.substr(i, end - i);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        i = end + 1;
    }
    // The longest existing prefix, through its links; the rest as written.
    for (size_t keep = parts.size() + 1; keep-- > 0;) {
        std::string prefix = "/";
        for (size_t k = 0; k < keep; ++k)
            prefix += (k ? "/" : "") + parts[k];
        char resolved[PATH_MAX];
        if (realpath(prefix.c_str(), resolved) == nullptr)
            continue;
        std::string out = resolved;
        for (size_t k = keep; k < parts.size(); ++k)
            out += (out == "/" ? "" : "/") + parts[k];
        return out;
    }
    return absolute;
}

bool underMountPoint(const std::string& path, const std::string& dir)
{
    if (dir == "/")
        return true;
    return path.compare(0, dir.size(), dir) == 0 &&
           (path.size() == dir.size() || path[dir.size()] == '/');
}

/* The mount that holds `canonical`: the deepest mount point above it, and
 * of several on the same point the last, which hides the others. */
bool volumeOf(const std::string& canonical, Mount* out)
{
    bool found = false;
    for (const Mount& m : readMounts()) {
        if (underMountPoint(canonical, m.dir) && (!found || m.dir.size() >= out->dir.size())) {
            *out = m;
            found = true;
        }
    }
    return found;
}

/* A Windows-style root argument: the canonical path of an existing
 * directory (null: the current directory), or the Windows error. */
DWORD existingDirectory(LPCSTR name, std::string* canonical)
{
    std::string path = ".";
    if (name != nullptr) {
        if (DWORD err = compatPath(name, &path))
            return err;
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        return compatPathError(errno, path);
    if (!S_ISDIR(st.st_mode))
        return ERROR_DIRECTORY;
    *canonical = canonicalPath(path);
    return canonical->empty() ? ERROR_PATH_NOT_FOUND : 0;
}

/* The mount whose root `name` is (null: the current directory's volume);
 * ERROR_DIR_NOT_ROOT for any other directory. */
DWORD volumeRoot(LPCSTR name, Mount* mount)
{
    std::string canonical;
    if (DWORD err = existingDirectory(name, &canonical))
        return err;
    if (!volumeOf(canonical, mount) || (name != nullptr && mount->dir != canonical))
        return ERROR_DIR_NOT_ROOT;
    return 0;
}

bool isOneOf(const std::string& s, const char* const* list)
{
    for (; *list != nullptr; ++list) {
        if (s == *list)
            return true;
    }
    return false;
}

/* Whether the kernel calls the block device behind `source` removable (a
 * partition answers for its disk). */
bool removableDevice(const std::string& source)
{
    if (source.compare(0, 5, "/dev/") != 0)
        return false;
    char device[PATH_MAX];
    if (realpath(source.c_str(), device) == nullptr)
        return false;
    const char* name = strrchr(device, '/') + 1;
    std::string sys = std::string("/sys/class/block/") + name;
    std::string text;
    if (!readText((sys + "/removable").c_str(), &text) &&
        !readText((sys + "/../removable").c_str(), &text))
        return false;
    return atoi(text.c_str()) == 1;
}

UINT driveTypeOf(const Mount& m)
{
    static const char* const kRemote[] = {"nfs", "nfs4", "cifs", "smb3", "smbfs", "9p", "ceph",
                                          "glusterfs", "afs", "fuse.sshfs", "davfs", nullptr};
    static const char* const kRam[] = {"tmpfs", "ramfs", "devtmpfs", nullptr};
    static const char* const kOptical[] = {"iso9660", "udf", nullptr};
    static const char* const kPseudo[] = {
        "proc", "sysfs", "devpts", "cgroup", "cgroup2", "securityfs", "debugfs", "tracefs",
        "mqueue", "configfs", "pstore", "bpf", "autofs", "binfmt_misc", "fusectl", "hugetlbfs",
        "efivarfs", "rpc_pipefs", "nsfs", nullptr};
    if (isOneOf(m.type, kRemote))
        return DRIVE_REMOTE;
    if (isOneOf(m.type, kRam))
        return DRIVE_RAMDISK;
    if (isOneOf(m.type, kOptical))
        return DRIVE_CDROM;
    if (isOneOf(m.type, kPseudo))
        return DRIVE_UNKNOWN;
    return removableDevice(m.source) ? DRIVE_REMOVABLE : DRIVE_FIXED;
}

/* ---- performance data helper --------------------------------------------------- */

const char kPagingFileUsage[] = "\\paging file(_total)\\% usage";

struct PdhQuery;
struct PdhCounter {
    PdhQuery* query;
};
struct PdhQuery {
    std::vector<PdhCounter*> counters;
    bool                     collected = false;
    double                   pagingFileUsage = 0.0;
};

/* Live queries and counters, so a stale or made-up handle is refused and
 * never followed. */
std::mutex               g_pdhMutex;
std::set<const void*>    g_pdhLive;

bool pdhLive(const void* p) { return p != nullptr && g_pdhLive.count(p) != 0; }

/* ---- registry ------------------------------------------------------------------ */

struct KeyObject {
    std::string path; // lower case, below HKEY_LOCAL_MACHINE, no outer backslashes
};
std::mutex            g_regMutex;
std::set<const void*> g_regLive;

const char kProcessorKeys[] = "hardware\\description\\system\\centralprocessor";

/* Whether `path` names a key: a processor key or one of the keys above. */
bool knownKey(const std::string& path, int* processor)
{
    *processor = -1;
    const std::string base = kProcessorKeys;
    if (path.empty() || (base.compare(0, path.size(), path) == 0 &&
                         (path.size() == base.size() || base[path.size()] == '\\')))
        return true;
    if (path.compare(0, base.size() + 1, base + "\\") != 0)
        return false;
    const std::string index = path.substr(base.size() + 1);
    if (index.empty() || index.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const int n = atoi(index.c_str());
    for (const CpuDescription& c : readCpuInfo()) {
        if (c.index == n) {
            *processor = n;
            return true;
        }
    }
    return false;
}

/* The path of an open key: "" for the local machine's root. */
bool keyPath(HKEY key, std::string* path)
{
    if (key == HKEY_LOCAL_MACHINE) {
        path->clear();
        return true;
    }
    std::lock_guard<std::mutex> lock(g_regMutex);
    if (g_regLive.count(key) == 0)
        return false;
    *path = reinterpret_cast<KeyObject*>(key)->path;
    return true;
}

/* ---- system libraries ---------------------------------------------------------- */

template <class F> FARPROC asProc(F* f)
{
    return reinterpret_cast<FARPROC>(reinterpret_cast<void (*)(void)>(f));
}

struct SystemProc {
    const char* module;
    const char* name;
    FARPROC     proc;
};

} // namespace

extern "C" {

/* ---- machine ------------------------------------------------------------------- */

BOOL GetComputerNameA(LPSTR buffer, LPDWORD size)
{
    if (size == nullptr)
        return fail(ERROR_INVALID_PARAMETER);
    struct utsname u;
    if (uname(&u) != 0)
        return fail(kivCompatErrnoToWin32(errno));
    const std::string name = u.nodename;
    if (!copyOut(name, buffer, *size)) {
        *size = static_cast<DWORD>(name.size() + 1);
        return fail(ERROR_BUFFER_OVERFLOW);
    }
    *size = static_cast<DWORD>(name.size());
    return TRUE;
}

BOOL GetProcessAffinityMask(HANDLE process, DWORD_PTR* processMask, DWORD_PTR* systemMask)
{
    if (process != kCurrentProcess)
        return fail(ERROR_INVALID_HANDLE);
    if (processMask == nullptr || systemMask == nullptr)
        return fail(ERROR_NOACCESS);
    // Linux keeps affinity per thread; the process's is its first thread's.
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(getpid(), sizeof set, &set) != 0)
        return fail(kivCompatErrnoToWin32(errno));
    *processMask = maskOf(set);
    *systemMask = onlineMask();
    return TRUE;
}

DWORD_PTR SetThreadAffinityMask(HANDLE thread, DWORD_PTR mask)
{
    if (thread != kCurrentThread) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    cpu_set_t old, wanted;
    CPU_ZERO(&old);
    CPU_ZERO(&wanted);
    if (sched_getaffinity(0, sizeof old, &old) != 0) {
        kivCompatSetLastErrorFromErrno(errno);
        return 0;
    }
    for (unsigned i = 0; i < 8 * sizeof(DWORD_PTR); ++i) {
        if (mask & (static_cast<DWORD_PTR>(1) << i))
            CPU_SET(i, &wanted);
    }
    // An empty mask, or one with no processor the thread may use: refused
    // as Windows refuses a mask outside the process's.
    if (mask == 0 || sched_setaffinity(0, sizeof wanted, &wanted) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return maskOf(old);
}

UINT GetSystemDirectoryA(LPSTR buffer, UINT size)
{
    Dl_info where;
    char resolved[PATH_MAX];
    if (dladdr(reinterpret_cast<void*>(&fclose), &where) == 0 || where.dli_fname == nullptr ||
        realpath(where.dli_fname, resolved) == nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return 0;
    }
    std::string dir = resolved;
    dir.erase(dir.rfind('/'));
    if (dir.empty())
        dir = "/";
    if (!copyOut(dir, buffer, size))
        return static_cast<UINT>(dir.size() + 1);
    return static_cast<UINT>(dir.size());
}

/* ---- memory -------------------------------------------------------------------- */

BOOL GetPerformanceInfo(PPERFORMANCE_INFORMATION info, DWORD size)
{
    if (info == nullptr)
        return fail(ERROR_NOACCESS);
    if (size < sizeof(PERFORMANCE_INFORMATION))
        return fail(ERROR_BAD_LENGTH);
    MemoryFigures m;
    if (!readMemory(&m))
        return fail(kivCompatErrnoToWin32(errno));
    long pageSize = sysconf(_SC_PAGESIZE);
    const uint64_t page = pageSize > 0 ? static_cast<uint64_t>(pageSize) : 4096u;
    auto pages = [page](uint64_t bytes) { return clampToSize(bytes / page); };
    memset(info, 0, sizeof *info);
    info->cb = sizeof *info;
    info->CommitTotal = pages(m.committed);
    info->CommitLimit = pages(m.total + m.swapTotal);
    info->CommitPeak = info->CommitTotal;
    info->PhysicalTotal = pages(m.total);
    info->PhysicalAvailable = pages(m.available);
    info->SystemCache = pages(m.cached);
    info->KernelPaged = pages(m.slabReclaimable);
    info->KernelNonpaged = pages(m.slabUnreclaimable + m.kernelStack + m.pageTables);
    info->KernelTotal = info->KernelPaged + info->KernelNonpaged;
    info->PageSize = static_cast<SIZE_T>(page);
    info->HandleCount = openFileCount();
    info->ProcessCount = countProcesses();
    info->ThreadCount = threadCount();
    return TRUE;
}

/* ---- performance data helper --------------------------------------------------- */

PDH_STATUS PdhOpenQueryA(LPCSTR dataSource, DWORD_PTR, PDH_HQUERY* query)
{
    if (query == nullptr || dataSource != nullptr)
        return PDH_INVALID_ARGUMENT;
    PdhQuery* q = new (std::nothrow) PdhQuery;
    if (q == nullptr)
        return static_cast<PDH_STATUS>(ERROR_NOT_ENOUGH_MEMORY);
    std::lock_guard<std::mutex> lock(g_pdhMutex);
    try {
        g_pdhLive.insert(q);
    } catch (const std::bad_alloc&) {
        delete q;
        return static_cast<PDH_STATUS>(ERROR_NOT_ENOUGH_MEMORY);
    }
    *query = q;
    return PDH_CSTATUS_VALID_DATA;
}

PDH_STATUS PdhAddCounterA(PDH_HQUERY query, LPCSTR counterPath, DWORD_PTR, PDH_HCOUNTER* counter)
{
    if (counterPath == nullptr || counter == nullptr)
        return PDH_INVALID_ARGUMENT;
    std::lock_guard<std::mutex> lock(g_pdhMutex);
    if (!pdhLive(query))
        return PDH_INVALID_HANDLE;
    if (lowerCase(counterPath) != kPagingFileUsage)
        return PDH_CSTATUS_NO_OBJECT;
    PdhQuery* q = static_cast<PdhQuery*>(query);
    PdhCounter* c = new (std::nothrow) PdhCounter{q};
    if (c == nullptr)
        return static_cast<PDH_STATUS>(ERROR_NOT_ENOUGH_MEMORY);
    try {
        q->counters.push_back(c);
        g_pdhLive.insert(c);
    } catch (const std::bad_alloc&) {
        if (!q->counters.empty() && q->counters.back() == c)
            q->counters.pop_back();
        delete c;
        return static_cast<PDH_STATUS>(ERROR_NOT_ENOUGH_MEMORY);
    }
    *counter = c;
    return PDH_CSTATUS_VALID_DATA;
}

PDH_STATUS PdhCollectQueryData(PDH_HQUERY query)
{
    const double usage = swapUsagePercent();
    std::lock_guard<std::mutex> lock(g_pdhMutex);
    if (!pdhLive(query))
        return PDH_INVALID_HANDLE;
    PdhQuery* q = static_cast<PdhQuery*>(query);
    if (q->counters.empty())
        return PDH_NO_DATA;
    q->pagingFileUsage = usage;
    q->collected = true;
    return PDH_CSTATUS_VALID_DATA;
}

PDH_STATUS PdhGetFormattedCounterValue(PDH_HCOUNTER counter, DWORD format, LPDWORD type,
                                       PPDH_FMT_COUNTERVALUE value)
{
    if (value == nullptr)
        return PDH_INVALID_ARGUMENT;
    std::lock_guard<std::mutex> lock(g_pdhMutex);
    if (!pdhLive(counter) || g_pdhLive.count(static_cast<PdhCounter*>(counter)->query) == 0)
        return PDH_INVALID_HANDLE;
    const PdhQuery* q = static_cast<PdhCounter*>(counter)->query;
    if (!q->collected)
        return PDH_INVALID_DATA;
    if (type != nullptr)
        *type = 0;
    value->CStatus = PDH_CSTATUS_VALID_DATA;
    if (format & PDH_FMT_DOUBLE)
        value->doubleValue = q->pagingFileUsage;
    else if (format & PDH_FMT_LARGE)
        value->largeValue = static_cast<LONGLONG>(q->pagingFileUsage);
    else if (format & PDH_FMT_LONG)
        value->longValue = static_cast<LONG>(q->pagingFileUsage);
    else
        return PDH_INVALID_ARGUMENT;
    return PDH_CSTATUS_VALID_DATA;
}

PDH_STATUS PdhCloseQuery(PDH_HQUERY query)
{
    std::lock_guard<std::mutex> lock(g_pdhMutex);
    if (!pdhLive(query))
        return PDH_INVALID_HANDLE;
    PdhQuery* q = static_cast<PdhQuery*>(query);
    for (PdhCounter* c : q->counters) {
        g_pdhLive.erase(c);
        delete c;
    }
    g_pdhLive.erase(q);
    delete q;
    return PDH_CSTATUS_VALID_DATA;
}

/* ---- volumes ------------------------------------------------------------------- */

BOOL GetDiskFreeSpaceExA(LPCSTR directory, PULARGE_INTEGER freeToCaller,
                         PULARGE_INTEGER totalBytes, PULARGE_INTEGER totalFree)
{
    std::string canonical;
    if (DWORD err = existingDirectory(directory, &canonical))
        return fail(err);
    struct statvfs v;
    if (statvfs(canonical.c_str(), &v) != 0)
        return fail(kivCompatErrnoToWin32(errno));
    const uint64_t unit = v.f_frsize ? v.f_frsize : v.f_bsize;
    if (freeToCaller != nullptr)
        freeToCaller->QuadPart = static_cast<uint64_t>(v.f_bavail) * unit;
    if (totalBytes != nullptr)
        totalBytes->QuadPart = static_cast<uint64_t>(v.f_blocks) * unit;
    if (totalFree != nullptr)
        totalFree->QuadPart = static_cast<uint64_t>(v.f_bfree) * unit;
    return TRUE;
}

BOOL GetVolumeInformationA(LPCSTR root, LPSTR volumeName, DWORD volumeNameSize,
                           LPDWORD serialNumber, LPDWORD maxComponentLength,
                           LPDWORD fileSystemFlags, LPSTR fileSystemName, DWORD fileSystemNameSize)
{
    Mount m;
    if (DWORD err = volumeRoot(root, &m))
        return fail(err);
    struct statvfs v;
    struct stat st;
    if (statvfs(m.dir.c_str(), &v) != 0 || stat(m.dir.c_str(), &st) != 0)
        return fail(kivCompatErrnoToWin32(errno));
    if ((volumeName != nullptr && !copyOut(m.source, volumeName, volumeNameSize)) ||
        (fileSystemName != nullptr && !copyOut(m.type, fileSystemName, fileSystemNameSize)))
        return fail(ERROR_MORE_DATA);
    if (serialNumber != nullptr)
        *serialNumber = static_cast<DWORD>(st.st_dev);
    if (maxComponentLength != nullptr)
        *maxComponentLength = static_cast<DWORD>(v.f_namemax);
    if (fileSystemFlags != nullptr)
        *fileSystemFlags = FILE_CASE_SENSITIVE_SEARCH | FILE_CASE_PRESERVED_NAMES |
                           ((v.f_flag & ST_RDONLY) ? FILE_READ_ONLY_VOLUME : 0u);
    return TRUE;
}

UINT GetDriveTypeA(LPCSTR root)
{
    Mount m;
    if (volumeRoot(root, &m) != 0)
        return DRIVE_NO_ROOT_DIR;
    return driveTypeOf(m);
}

BOOL GetVolumePathNameA(LPCSTR path, LPSTR volumePath, DWORD size)
{
    std::string posix;
    if (DWORD err = compatPath(path, &posix))
        return fail(err);
    Mount m;
    const std::string canonical = canonicalPath(posix);
    if (canonical.empty() || !volumeOf(canonical, &m))
        return fail(ERROR_PATH_NOT_FOUND);
    const std::string root = m.dir == "/" ? m.dir : m.dir + "/";
    return copyOut(root, volumePath, size) ? TRUE : fail(ERROR_FILENAME_EXCED_RANGE);
}

BOOL GetVolumeNameForVolumeMountPointA(LPCSTR mountPoint, LPSTR volumeName, DWORD size)
{
    Mount m;
    DWORD err = volumeRoot(mountPoint, &m);
    if (err == ERROR_DIR_NOT_ROOT || err == ERROR_DIRECTORY)
        return fail(ERROR_NOT_A_REPARSE_POINT);
    if (err != 0)
        return fail(err);
    const std::string name = m.dir == "/" ? m.dir : m.dir + "/";
    return copyOut(name, volumeName, size) ? TRUE : fail(ERROR_FILENAME_EXCED_RANGE);
}

/* ---- registry ------------------------------------------------------------------ */

LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD, REGSAM, PHKEY result)
{
    if (result == nullptr)
        return static_cast<LONG>(ERROR_INVALID_PARAMETER);
    std::string path;
    if (!keyPath(key, &path))
        return static_cast<LONG>(key == HKEY_CLASSES_ROOT || key == HKEY_CURRENT_USER ||
                                         key == HKEY_USERS
                                     ? ERROR_FILE_NOT_FOUND
                                     : ERROR_INVALID_HANDLE);
    const std::string sub = subKey ? lowerCase(subKey) : std::string();
    if (!sub.empty()) {
        if (sub[0] == '\\')
            return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
        path = path.empty() ? sub : path + "\\" + sub;
        while (!path.empty() && path.back() == '\\')
            path.pop_back();
    }
    int processor;
    if (!knownKey(path, &processor))
        return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
    KeyObject* k = new (std::nothrow) KeyObject{path};
    if (k == nullptr)
        return static_cast<LONG>(ERROR_NOT_ENOUGH_MEMORY);
    std::lock_guard<std::mutex> lock(g_regMutex);
    try {
        g_regLive.insert(k);
    } catch (const std::bad_alloc&) {
        delete k;
        return static_cast<LONG>(ERROR_NOT_ENOUGH_MEMORY);
    }
    *result = reinterpret_cast<HKEY>(k);
    return static_cast<LONG>(ERROR_SUCCESS);
}

LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD, LPDWORD type, LPBYTE data,
                      LPDWORD dataSize)
{
    std::string path;
    if (!keyPath(key, &path))
        return static_cast<LONG>(ERROR_INVALID_HANDLE);
    if (data != nullptr && dataSize == nullptr)
        return static_cast<LONG>(ERROR_NOACCESS);
    int processor;
    if (!knownKey(path, &processor) || processor < 0 || valueName == nullptr)
        return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
    CpuDescription cpu;
    for (const CpuDescription& c : readCpuInfo()) {
        if (c.index == processor)
            cpu = c;
    }
    const std::string name = lowerCase(valueName);
    DWORD valueType;
    std::string bytes;
    if (name == "~mhz") {
        const DWORD mhz = static_cast<DWORD>(cpu.mhz + 0.5);
        valueType = REG_DWORD;
        bytes.assign(reinterpret_cast<const char*>(&mhz), sizeof mhz);
    } else if (name == "processornamestring" || name == "vendoridentifier") {
        valueType = REG_SZ;
        bytes = name[0] == 'p' ? cpu.modelName : cpu.vendor;
        bytes.push_back('\0');
    } else {
        return static_cast<LONG>(ERROR_FILE_NOT_FOUND);
    }
    if (type != nullptr)
        *type = valueType;
    const DWORD needed = static_cast<DWORD>(bytes.size());
    if (data != nullptr && *dataSize < needed) {
        *dataSize = needed;
        return static_cast<LONG>(ERROR_MORE_DATA);
    }
    if (data != nullptr)
        memcpy(data, bytes.data(), needed);
    if (dataSize != nullptr)
        *dataSize = needed;
    return static_cast<LONG>(ERROR_SUCCESS);
}

LONG RegCloseKey(HKEY key)
{
    if (key == HKEY_LOCAL_MACHINE || key == HKEY_CLASSES_ROOT || key == HKEY_CURRENT_USER ||
        key == HKEY_USERS)
        return static_cast<LONG>(ERROR_SUCCESS);
    std::lock_guard<std::mutex> lock(g_regMutex);
    if (g_regLive.erase(key) == 0)
        return static_cast<LONG>(ERROR_INVALID_HANDLE);
    delete reinterpret_cast<KeyObject*>(key);
    return static_cast<LONG>(ERROR_SUCCESS);
}

/* ---- system libraries ---------------------------------------------------------- */

FARPROC kivCompatSystemProc(LPCSTR module, LPCSTR function)
{
    static const SystemProc kProcs[] = {
        {"kernel32", "GetVersionExA", asProc(&GetVersionExA)},
        {"kernel32", "GetComputerNameA", asProc(&GetComputerNameA)},
        {"kernel32", "GetSystemInfo", asProc(&GetSystemInfo)},
        {"kernel32", "GetNativeSystemInfo", asProc(&GetNativeSystemInfo)},
        {"kernel32", "GetSystemDirectoryA", asProc(&GetSystemDirectoryA)},
        {"kernel32", "GlobalMemoryStatus", asProc(&GlobalMemoryStatus)},
        {"kernel32", "GlobalMemoryStatusEx", asProc(&GlobalMemoryStatusEx)},
        {"kernel32", "K32GetPerformanceInfo", asProc(&GetPerformanceInfo)},
        {"kernel32", "IsWow64Process", asProc(&IsWow64Process)},
        {"kernel32", "VerifyVersionInfoA", asProc(&VerifyVersionInfoA)},
        {"ntdll", "VerSetConditionMask", asProc(&VerSetConditionMask)},
        {"kernel32", "GetDiskFreeSpaceExA", asProc(&GetDiskFreeSpaceExA)},
        {"kernel32", "GetVolumeInformationA", asProc(&GetVolumeInformationA)},
        {"kernel32", "GetDriveTypeA", asProc(&GetDriveTypeA)},
        {"kernel32", "GetVolumePathNameA", asProc(&GetVolumePathNameA)},
        {"kernel32", "GetVolumeNameForVolumeMountPointA",
         asProc(&GetVolumeNameForVolumeMountPointA)},
        {"psapi", "GetPerformanceInfo", asProc(&GetPerformanceInfo)},
        {"pdh", "PdhOpenQueryA", asProc(&PdhOpenQueryA)},
        {"pdh", "PdhAddCounterA", asProc(&PdhAddCounterA)},
        {"pdh", "PdhCollectQueryData", asProc(&PdhCollectQueryData)},
        {"pdh", "PdhGetFormattedCounterValue", asProc(&PdhGetFormattedCounterValue)},
        {"pdh", "PdhCloseQuery", asProc(&PdhCloseQuery)},
    };
    std::string name = module ? lowerCase(module) : std::string();
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".dll") == 0)
        name.erase(name.size() - 4);
    bool knownModule = false;
    for (const SystemProc& p : kProcs) {
        if (name != p.module)
            continue;
        knownModule = true;
        if (function != nullptr && strcmp(function, p.name) == 0)
            return p.proc;
    }
    SetLastError(knownModule ? ERROR_PROC_NOT_FOUND : ERROR_MOD_NOT_FOUND);
    return nullptr;
}

} // extern "C"
