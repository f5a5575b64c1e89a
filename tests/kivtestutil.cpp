/*
 * kivtestutil.cpp - process, shared-memory and directory helpers of the
 * test programs, written directly against the platform so that the tests do
 * not lean on the code they test.
 */
#include "kivtest.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#if defined(_WIN32)
#  ifndef WIN32_LEAN_AND_MEAN
#    define WIN32_LEAN_AND_MEAN
#  endif
#  ifndef NOMINMAX
#    define NOMINMAX
#  endif
#  include <windows.h>
#else
#  include <fcntl.h>
#  include <ftw.h>
#  include <spawn.h>
#  include <sys/mman.h>
#  include <sys/stat.h>
#  include <sys/wait.h>
#  include <unistd.h>
extern char** environ;
#endif

static std::string selfPath()
{
#if defined(_WIN32)
    char buf[MAX_PATH * 2];
    DWORD n = GetModuleFileNameA(nullptr, buf, sizeof buf);
    return std::string(buf, n);
#else
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n < 0)
        return std::string();
    return std::string(buf, static_cast<size_t>(n));
#endif
}

KivTestProcess kivtestSpawnChild(const std::string& name, const std::vector<std::string>& args)
{
    KivTestProcess p;
    std::string exe = selfPath();
#if defined(_WIN32)
    std::string cmd = "\"" + exe + "\" --kiv-child " + name;
    for (const auto& a : args)
        cmd += " \"" + a + "\"";
    STARTUPINFOA si;
    PROCESS_INFORMATION pi;
    std::memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    std::vector<char> line(cmd.begin(), cmd.end());
    line.push_back('\0');
    if (CreateProcessA(exe.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                       nullptr, &si, &pi)) {
        CloseHandle(pi.hThread);
        p.handle = pi.hProcess;
        p.pid = static_cast<long>(pi.dwProcessId);
    }
#else
    std::vector<std::string> all = {exe, "--kiv-child", name};
    all.insert(all.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (auto& a : all)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    pid_t pid;
    if (posix_spawn(&pid, exe.c_str(), nullptr, nullptr, argv.data(), environ) == 0)
        p.pid = pid;
#endif
    return p;
}

int kivtestWaitChild(KivTestProcess& p)
{
#if defined(_WIN32)
    if (!p.handle)
        return -1;
    WaitForSingleObject(p.handle, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(p.handle, &code);
    CloseHandle(p.handle);
    p.handle = nullptr;
    return static_cast<int>(code);
#else
    if (p.pid <= 0)
        return -1;
    int status = 0;
    while (waitpid(static_cast<pid_t>(p.pid), &status, 0) < 0) {
    }
    p.pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
}

int kivtestRunChild(const std::string& name, const std::vector<std::string>& args)
{
    KivTestProcess p = kivtestSpawnChild(name, args);
    return kivtestWaitChild(p);
}

std::string kivtestUniqueName(const char* stem)
{
    static std::atomic<unsigned> counter{0};
    std::ostringstream os;
#if defined(_WIN32)
    os << stem << "_" << GetCurrentProcessId() << "_" << counter++;
#else
    os << stem << "_" << getpid() << "_" << counter++;
#endif
    return os.str();
}

void* kivtestShmOpen(const std::string& name, size_t size, bool create)
{
#if defined(_WIN32)
    std::string n = "Local\\" + name;
    HANDLE h = create ? CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                           static_cast<DWORD>(size), n.c_str())
                      : OpenFileMappingA(FILE_MAP_ALL_ACCESS, FALSE, n.c_str());
    if (!h)
        return nullptr;
    void* p = MapViewOfFile(h, FILE_MAP_ALL_ACCESS, 0, 0, size);
    // The view keeps the section alive in this process; the creator's view
    // keeps it alive for the children.  The handle is deliberately left open
    // in the creator so that the name stays valid until it exits.
    if (!create)
        CloseHandle(h);
    return p;
#else
    std::string n = "/" + name;
    int fd = shm_open(n.c_str(), create ? (O_RDWR | O_CREAT | O_EXCL) : O_RDWR, 0600);
    if (fd < 0)
        return nullptr;
    if (create && ftruncate(fd, static_cast<off_t>(size)) != 0) {
        close(fd);
        return nullptr;
    }
    void* p = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    return p == MAP_FAILED ? nullptr : p;
#endif
}

void kivtestShmClose(void* addr, size_t size)
{
#if defined(_WIN32)
    (void)size;
    UnmapViewOfFile(addr);
#else
    munmap(addr, size);
#endif
}

void kivtestShmUnlink(const std::string& name)
{
#if !defined(_WIN32)
    shm_unlink(("/" + name).c_str());
#else
    (void)name;
#endif
}

#if !defined(_WIN32)
static int rmEntry(const char* p, const struct stat*, int, struct FTW*)
{
    return remove(p);
}
#else
static void removeTree(const std::string& dir)
{
    WIN32_FIND_DATAA fd;
    HANDLE h = FindFirstFileA((dir + "\\*").c_str(), &fd);
    if (h != INVALID_HANDLE_VALUE) {
        do {
            std::string n = fd.cFileName;
            if (n == "." || n == "..")
                continue;
            std::string full = dir + "\\" + n;
            if (fd.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                removeTree(full);
            else {
                SetFileAttributesA(full.c_str(), FILE_ATTRIBUTE_NORMAL);
                DeleteFileA(full.c_str());
            }
        } while (FindNextFileA(h, &fd));
        FindClose(h);
    }
    RemoveDirectoryA(dir.c_str());
}
#endif

KivTestTempDir::KivTestTempDir()
{
#if defined(_WIN32)
    char base[MAX_PATH + 1];
    DWORD n = GetTempPathA(sizeof base, base);
    std::string b(base, n);
    if (!b.empty() && b.back() == '\\')
        b.pop_back();
    for (int i = 0; i < 1000; ++i) {
        std::string p = b + "\\" + kivtestUniqueName("kivtest");
        if (CreateDirectoryA(p.c_str(), nullptr)) {
            path_ = p;
            break;
        }
    }
#else
    const char* t = std::getenv("TMPDIR");
    std::string tmpl = std::string(t && *t ? t : "/tmp") + "/kivtest_XXXXXX";
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    if (mkdtemp(buf.data()))
        path_ = buf.data();
#endif
}

KivTestTempDir::~KivTestTempDir()
{
    if (path_.empty())
        return;
#if defined(_WIN32)
    removeTree(path_);
#else
    nftw(path_.c_str(), rmEntry, 16, FTW_DEPTH | FTW_PHYS);
#endif
}

std::string KivTestTempDir::file(const std::string& name) const
{
#if defined(_WIN32)
    return path_ + "\\" + name;
#else
    return path_ + "/" + name;
#endif
}

std::string kivtestReadFile(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream os;
    os << f.rdbuf();
    return os.str();
}

bool kivtestUnderWine()
{
#if defined(_WIN32)
    HMODULE ntdll = GetModuleHandleA("ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
#else
    return false;
#endif
}

void kivtestSetEnv(const char* name, const char* value)
{
#if defined(_WIN32)
    SetEnvironmentVariableA(name, value);
    std::string assignment = std::string(name) + "=" + (value ? value : "");
    _putenv(assignment.c_str());
#else
    if (value)
        setenv(name, value, 1);
    else
        unsetenv(name);
#endif
}

uint64_t kivtestMix(uint64_t x)
{
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

void kivtestFillBytes(unsigned char* p, size_t n, uint64_t seed)
{
    uint64_t word = 0;
    for (size_t i = 0; i < n; ++i) {
        if (i % 8 == 0)
            word = kivtestMix(seed + i);
        p[i] = (unsigned char)(word >> (8 * (i % 8)));
    }
}
