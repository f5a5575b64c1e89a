/*
 * kivcompat_proc.cpp - processes as kernel objects on posix_spawn and
 * waitpid, and modules on the dynamic loader.
 *
 * Process object lifetime: the handle owns one reference and a small
 * reaper thread another.  The reaper blocks in waitpid for its one child,
 * records the exit code, signals the object and drops its reference, so
 * the object (and its exit code) lives as long as any handle to it or the
 * child itself, and no child is left a zombie once it ends.  Waits and
 * exit-code queries never call waitpid themselves: there is exactly one
 * reaper per child, and a pid is never read after it was reaped.
 */
#include "kivcompat_proc.h"
#include "kivcompat_file.h"
#include "kivcompat_handle.h"

#include <dlfcn.h>
#include <elf.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <link.h>
#include <pthread.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <vector>

extern char** environ;

namespace kivcompat {
namespace {

/* ---- Paths shared by programs and modules ------------------------------------ */

bool isRegularFile(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

std::string executablePath()
{
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<size_t>(n)) : std::string();
}

std::string directoryPart(const std::string& path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

bool endsWithNoCase(const std::string& s, const char* suffix)
{
    size_t n = strlen(suffix);
    return s.size() > n && strcasecmp(s.c_str() + s.size() - n, suffix) == 0;
}

/* ---- Command lines ------------------------------------------------------------ */

bool isBlank(char c) { return c == ' ' || c == '\t'; }

// The program name at the start of a command line, by the C runtime's rule
// for it: double quotes group and are dropped, backslashes are plain
// characters, the first blank outside quotes ends it.
const char* takeProgramName(const char* p, std::string* out)
{
    while (isBlank(*p))
        ++p;
    bool quoted = false;
    for (; *p && (quoted || !isBlank(*p)); ++p) {
        if (*p == '"')
            quoted = !quoted;
        else
            out->push_back(*p);
    }
    return p;
}

// One argument after the program name.  2n backslashes before a double
// quote give n backslashes and the quote opens or closes a group; 2n + 1
// give n backslashes and a literal quote; backslashes anywhere else are
// plain.  Inside a group a doubled quote gives one literal quote and the
// group goes on.
const char* takeArgument(const char* p, std::string* out)
{
    bool quoted = false;
    for (;;) {
        size_t slashes = 0;
        while (*p == '\\') {
            ++p;
            ++slashes;
        }
        bool copy = true;
        if (*p == '"') {
            if (slashes % 2 == 0) {
                if (quoted && p[1] == '"')
                    ++p;
                else {
                    copy = false;
                    quoted = !quoted;
                }
            }
            slashes /= 2;
        }
        out->append(slashes, '\\');
        if (*p == '\0' || (!quoted && isBlank(*p)))
            return p;
        if (copy)
            out->push_back(*p);
        ++p;
    }
}

std::vector<std::string> splitCommandLine(const char* line)
{
    std::vector<std::string> args(1);
    const char* p = takeProgramName(line, &args[0]);
    for (;;) {
        while (isBlank(*p))
            ++p;
        if (*p == '\0')
            return args;
        args.emplace_back();
        p = takeArgument(p, &args.back());
    }
}

// Where Windows looks for a program named without a directory: the
// directory of the calling program, the current directory, then PATH.
std::vector<std::string> programDirectories()
{
    std::vector<std::string> dirs;
    std::string exe = executablePath();
    if (!exe.empty())
        dirs.push_back(directoryPart(exe));
    dirs.push_back(".");
    const char* path = getenv("PATH");
    for (const char* p = path ? path : ""; *p;) {
        const char* end = strchr(p, ':');
        size_t n = end ? static_cast<size_t>(end - p) : strlen(p);
        dirs.push_back(n ? std::string(p, n) : std::string("."));
        p += n;
        if (*p == ':')
            ++p;
    }
    return dirs;
}

// The names a program may carry here: as given, and without the ".exe"
// that portable callers write.
std::vector<std::string> programNames(const std::string& name)
{
    std::vector<std::string> names = {name};
    if (endsWithNoCase(name, ".exe"))
        names.push_back(name.substr(0, name.size() - 4));
    return names;
}

// The file to run, or a Windows error.
DWORD resolveProgram(const char* given, bool search, std::string* file)
{
    std::string name;
    if (DWORD err = compatPath(given, &name))
        return err == ERROR_PATH_NOT_FOUND ? ERROR_FILE_NOT_FOUND : err;
    std::vector<std::string> names = programNames(name);
    if (!search || name.find('/') != std::string::npos) {
        for (const std::string& n : names) {
            if (isRegularFile(n)) {
                *file = n;
                return 0;
            }
        }
        return compatPathError(ENOENT, name);
    }
    for (const std::string& dir : programDirectories()) {
        for (const std::string& n : names) {
            std::string candidate = dir + "/" + n;
            if (isRegularFile(candidate)) {
                *file = candidate;
                return 0;
            }
        }
    }
    return ERROR_FILE_NOT_FOUND;
}

// The strings of an environment block: NAME=VALUE entries closed by an
// empty one.
std::vector<char*> environmentOf(LPVOID block)
{
    std::vector<char*> env;
    if (block == nullptr) {
        for (char** e = environ; e && *e; ++e)
            env.push_back(*e);
    } else {
        for (char* e = static_cast<char*>(block); *e; e += strlen(e) + 1)
            env.push_back(e);
    }
    env.push_back(nullptr);
    return env;
}

/* ---- Process objects ---------------------------------------------------------- */

const size_t kReaperStack = 64 * 1024;

// The exit code of a child that ended.  A signal reads as the status a
// Windows process ended by the matching fault reports; other signals as a
// POSIX shell reports them.
DWORD exitCodeOf(int status)
{
    if (WIFEXITED(status))
        return static_cast<DWORD>(WEXITSTATUS(status));
    if (!WIFSIGNALED(status))
        return 1;
    switch (WTERMSIG(status)) {
    case SIGSEGV:
    case SIGBUS:  return 0xC0000005u; // access violation
    case SIGILL:  return 0xC000001Du; // illegal instruction
    case SIGFPE:  return 0xC0000094u; // integer division by zero
    case SIGINT:  return 0xC000013Au; // control-C exit
    case SIGABRT: return 3u;          // what abort() exits with on Windows
    default:      return 128u + static_cast<DWORD>(WTERMSIG(status));
    }
}

class ProcessObject : public KernelObject {
public:
    explicit ProcessObject(pid_t pid) : KernelObject(ObjectType::Process), pid_(pid) {}

    // Starts the reaper.  Returns 0 or an errno value.
    int watch();

    DWORD wait(DWORD milliseconds) override;
    DWORD exitCode();

private:
    static void* reap(void* self);

    const pid_t             pid_;
    std::mutex              mutex_;
    std::condition_variable changed_;
    bool                    ended_ = false;
    DWORD                   exitCode_ = STILL_ACTIVE;
};

int ProcessObject::watch()
{
    pthread_attr_t attr;
    int err = pthread_attr_init(&attr);
    if (err != 0)
        return err;
    size_t stack = kReaperStack < static_cast<size_t>(PTHREAD_STACK_MIN)
                       ? static_cast<size_t>(PTHREAD_STACK_MIN)
                       : kReaperStack;
    pthread_attr_setstacksize(&attr, stack);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    addRef(); // the reaper's own reference
    pthread_t thread;
    err = pthread_create(&thread, &attr, reap, this);
    if (err != 0)
        release(); // never the last one: the caller holds another
    pthread_attr_destroy(&attr);
    return err;
}

void* ProcessObject::reap(void* p)
{
    ProcessObject* self = static_cast<ProcessObject*>(p);
    // The reaper must not take the host's signals.
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);

    int status = 0;
    pid_t got;
    while ((got = waitpid(self->pid_, &status, 0)) < 0 && errno == EINTR) {
    }
    // Only a host that reaps children behind our back (waitpid(-1), or
    // SIGCHLD ignored) takes the status away; the child has ended all the
    // same, with an exit code nobody can tell any more.
    DWORD code = got == self->pid_ ? exitCodeOf(status) : 1u;
    {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->exitCode_ = code;
        self->ended_ = true;
    }
    self->changed_.notify_all();
    self->release();
    return nullptr;
}

DWORD ProcessObject::wait(DWORD milliseconds)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return waitSignalled(lock, changed_, milliseconds, [this] { return ended_; });
}

DWORD ProcessObject::exitCode()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return exitCode_;
}

// The handle of the child's first thread: signalled when the process ends,
// which is when a single-threaded child's thread ends.  It carries the
// process tag so that the thread calls, which work on thread objects of
// their own making, refuse it instead of misreading it.
class PrimaryThreadObject : public KernelObject {
public:
    explicit PrimaryThreadObject(ObjectRef<ProcessObject> process)
        : KernelObject(ObjectType::Process), process_(std::move(process))
    {
    }
    DWORD wait(DWORD milliseconds) override { return process_->wait(milliseconds); }

private:
    ObjectRef<ProcessObject> process_;
};

ObjectRef<ProcessObject> lookupProcess(HANDLE handle)
{
    ObjectRef<KernelObject> object = handleLookup(handle);
    ProcessObject* process = dynamic_cast<ProcessObject*>(object.get());
    if (process == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return ObjectRef<ProcessObject>();
    }
    process->addRef();
    return ObjectRef<ProcessObject>(process);
}

/* ---- Spawning ----------------------------------------------------------------- */

const DWORD kKnownCreationFlags = DETACHED_PROCESS | CREATE_NEW_CONSOLE | NORMAL_PRIORITY_CLASS |
                                  CREATE_NEW_PROCESS_GROUP | CREATE_NO_WINDOW;

// posix_spawn's attributes and file actions, released with the object.
class SpawnSetup {
public:
    SpawnSetup()
    {
        attrOk_ = posix_spawnattr_init(&attr_) == 0;
        actionsOk_ = posix_spawn_file_actions_init(&actions_) == 0;
    }
    ~SpawnSetup()
    {
        if (attrOk_)
            posix_spawnattr_destroy(&attr_);
        if (actionsOk_)
            posix_spawn_file_actions_destroy(&actions_);
    }
    SpawnSetup(const SpawnSetup&) = delete;
    SpawnSetup& operator=(const SpawnSetup&) = delete;

    // Returns 0 or an errno value.
    int prepare(BOOL inheritHandles, DWORD creationFlags, const std::string& directory);
    int spawn(const std::string& file, std::vector<std::string>& args, LPVOID environment,
              pid_t* pid);

private:
    posix_spawnattr_t          attr_;
    posix_spawn_file_actions_t actions_;
    bool                       attrOk_ = false;
    bool                       actionsOk_ = false;
};

int SpawnSetup::prepare(BOOL inheritHandles, DWORD creationFlags, const std::string& directory)
{
    if (!attrOk_ || !actionsOk_)
        return ENOMEM;
    // A Windows child starts with no signal blocked and every handler at
    // its default, whatever the creating thread had.
    short flags = POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF;
    if (creationFlags & DETACHED_PROCESS)
        flags |= POSIX_SPAWN_SETSID; // away from the caller's terminal
    else if (creationFlags & CREATE_NEW_PROCESS_GROUP)
        flags |= POSIX_SPAWN_SETPGROUP;
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    int err = posix_spawnattr_setflags(&attr_, flags);
    if (err == 0)
        err = posix_spawnattr_setsigmask(&attr_, &none);
    if (err == 0)
        err = posix_spawnattr_setsigdefault(&attr_, &all);
    if (err == 0 && (flags & POSIX_SPAWN_SETPGROUP))
        err = posix_spawnattr_setpgroup(&attr_, 0);
    // Inheritable handles are descriptors without close-on-exec; without
    // inheritance the child gets the standard streams only.
    if (err == 0 && !inheritHandles)
        err = posix_spawn_file_actions_addclosefrom_np(&actions_, 3);
    if (err == 0 && !directory.empty())
        err = posix_spawn_file_actions_addchdir_np(&actions_, directory.c_str());
    return err;
}

int SpawnSetup::spawn(const std::string& file, std::vector<std::string>& args,
                      LPVOID environment, pid_t* pid)
{
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(&a[0]);
    argv.push_back(nullptr);
    std::vector<char*> envp = environmentOf(environment);
    // glibc runs the program in a clone that shares our memory until exec,
    // and hands an exec failure back as the result.
    return posix_spawn(pid, file.c_str(), &actions_, &attr_, argv.data(), envp.data());
}

DWORD spawnError(int err, const std::string& file)
{
    if (err == ENOENT || err == ENOTDIR)
        return compatPathError(ENOENT, file);
    if (err == EAGAIN)
        return ERROR_NOT_ENOUGH_MEMORY;
    return kivCompatErrnoToWin32(err);
}

BOOL fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

// Makes the two handles of a started child.  Returns 0 or a Windows error;
// the object goes with the failure, its reaper stays for the child.
DWORD makeHandles(ProcessObject* object, pid_t pid, LPPROCESS_INFORMATION info)
{
    HANDLE process = handleCreate(object);
    if (process == nullptr)
        return GetLastError();
    ObjectRef<ProcessObject> ref = lookupProcess(process);
    PrimaryThreadObject* thread = new (std::nothrow) PrimaryThreadObject(std::move(ref));
    HANDLE threadHandle = thread ? handleCreate(thread) : nullptr;
    if (threadHandle == nullptr) {
        DWORD err = thread ? GetLastError() : ERROR_NOT_ENOUGH_MEMORY;
        CloseHandle(process);
        return err;
    }
    info->hProcess = process;
    info->hThread = threadHandle;
    // A new process's first thread has the process's own identifier here.
    info->dwProcessId = static_cast<DWORD>(pid);
    info->dwThreadId = static_cast<DWORD>(pid);
    return 0;
}

/* ---- Modules ------------------------------------------------------------------ */

// A module as the loader lists it: the address it is mapped at (its
// HMODULE) and its file name (empty for the main program).
struct Module {
    uintptr_t   base;
    std::string name;
};

int collectModule(struct dl_phdr_info* info, size_t, void* out)
{
    // The base is where the first loaded segment's page is mapped: the
    // address dladdr gives as the base of the module's symbols.  Computed
    // here, since dladdr must not be called while the loader lists.
    uintptr_t lowest = UINTPTR_MAX;
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        if (info->dlpi_phdr[i].p_type == PT_LOAD && info->dlpi_phdr[i].p_vaddr < lowest)
            lowest = info->dlpi_phdr[i].p_vaddr;
    }
    if (lowest == UINTPTR_MAX)
        return 0;
    uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    Module m;
    m.base = info->dlpi_addr + (lowest & ~(page - 1));
    m.name = info->dlpi_name ? info->dlpi_name : "";
    static_cast<std::vector<Module>*>(out)->push_back(m);
    return 0;
}

// The loaded modules, the main program first.
std::vector<Module> loadedModules()
{
    std::vector<Module> modules;
    dl_iterate_phdr(collectModule, &modules);
    return modules;
}

bool findModule(HMODULE module, Module* found)
{
    uintptr_t base = reinterpret_cast<uintptr_t>(module);
    for (Module& m : loadedModules()) {
        if (m.base == base) {
            *found = m;
            return true;
        }
    }
    return false;
}

HMODULE baseOf(const void* address)
{
    Dl_info info;
    if (address == nullptr || dladdr(address, &info) == 0)
        return nullptr;
    return static_cast<HMODULE>(info.dli_fbase);
}

// The HMODULE of a library dlopen returned: the base of the module that
// holds its dynamic section.
HMODULE baseOfHandle(void* handle)
{
    struct link_map* map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr)
        return nullptr;
    return baseOf(map->l_ld);
}

// Libraries loaded through LoadLibrary: their dlopen handle and how many
// loads FreeLibrary has still to undo.
struct LoadedLibrary {
    void*    handle;
    unsigned count;
};

struct LibraryTable {
    std::mutex                          mutex;
    std::map<HMODULE, LoadedLibrary>    loaded;
};

// Never destroyed: libraries may be freed from static destructors.
LibraryTable& libraries()
{
    static LibraryTable* t = new LibraryTable;
    return *t;
}

// The file names a module name may stand for here: as given, and a
// Windows "name.dll" (or a bare "name") as the shared objects
// "libname.so" and "name.so".
std::vector<std::string> moduleNames(const std::string& name)
{
    std::vector<std::string> names = {name};
    std::string stem;
    if (endsWithNoCase(name, ".dll"))
        stem = name.substr(0, name.size() - 4);
    else if (name.find('.') == std::string::npos)
        stem = name;
    if (!stem.empty()) {
        names.push_back("lib" + stem + ".so");
        names.push_back(stem + ".so");
    }
    return names;
}

const char* baseName(const std::string& path)
{
    size_t slash = path.rfind('/');
    return path.c_str() + (slash == std::string::npos ? 0 : slash + 1);
}

// Whether the file at `path` is a shared object this process can load:
// an ELF file of our class and machine.
bool loadableFormat(const std::string& path)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return true; // unreadable is not a format question
    ElfW(Ehdr) header;
    ssize_t n = read(fd, &header, sizeof header);
    close(fd);
    if (n != static_cast<ssize_t>(sizeof header))
        return false;
    if (memcmp(header.e_ident, ELFMAG, SELFMAG) != 0)
        return false;
#if UINTPTR_MAX == 0xFFFFFFFFu
    const unsigned char elfClass = ELFCLASS32;
#else
    const unsigned char elfClass = ELFCLASS64;
#endif
    ElfW(Ehdr) self;
    int selfFd = open("/proc/self/exe", O_RDONLY | O_CLOEXEC);
    bool sameMachine = true;
    if (selfFd >= 0) {
        if (read(selfFd, &self, sizeof self) == static_cast<ssize_t>(sizeof self))
            sameMachine = self.e_machine == header.e_machine;
        close(selfFd);
    }
    return header.e_ident[EI_CLASS] == elfClass && sameMachine &&
           (header.e_type == ET_DYN || header.e_type == ET_EXEC);
}

// The Windows error of a failed dlopen of a file that was found.
DWORD loadError(const char* message, const std::string& path)
{
    if (!path.empty() && !loadableFormat(path))
        return ERROR_BAD_EXE_FORMAT;
    std::string text = message ? message : "";
    // A function the library imports is missing in its dependencies: what
    // Windows reports for a missing import.
    if (text.find("undefined symbol") != std::string::npos)
        return ERROR_PROC_NOT_FOUND;
    if (text.find("invalid ELF header") != std::string::npos ||
        text.find("wrong ELF class") != std::string::npos ||
        text.find("file too short") != std::string::npos)
        return ERROR_BAD_EXE_FORMAT;
    return ERROR_MOD_NOT_FOUND;
}

// dlopen with the loader's own search; *found tells a name the loader
// does not know from a library it found and could not load.
void* openBySearch(const std::string& name, int mode, bool* found, DWORD* error)
{
    void* handle = dlopen(name.c_str(), mode);
    if (handle != nullptr) {
        *found = true;
        return handle;
    }
    const char* message = dlerror();
    std::string text = message ? message : "";
    std::string missing = name + ": cannot open shared object file";
    *found = text.compare(0, missing.size(), missing) != 0;
    if (*found)
        *error = loadError(message, std::string());
    return nullptr;
}

// Opens a library the way LoadLibrary looks for it; null with *error set
// when no candidate loads.
void* openLibrary(const std::string& name, int mode, DWORD* error)
{
    *error = ERROR_MOD_NOT_FOUND;
    if (name.find('/') != std::string::npos) {
        if (!isRegularFile(name))
            return nullptr;
        void* handle = dlopen(name.c_str(), mode);
        if (handle == nullptr)
            *error = loadError(dlerror(), name);
        return handle;
    }
    std::string exeDir = directoryPart(executablePath());
    for (const std::string& n : moduleNames(name)) {
        std::string beside = exeDir + "/" + n;
        if (isRegularFile(beside)) {
            void* handle = dlopen(beside.c_str(), mode);
            if (handle == nullptr)
                *error = loadError(dlerror(), beside);
            return handle;
        }
        bool found = false;
        void* handle = openBySearch(n, mode, &found, error);
        if (found)
            return handle;
    }
    return nullptr;
}

const DWORD kKnownLoadFlags = DONT_RESOLVE_DLL_REFERENCES | LOAD_LIBRARY_AS_DATAFILE |
                              LOAD_WITH_ALTERED_SEARCH_PATH | LOAD_IGNORE_CODE_AUTHZ_LEVEL;

// The library's own export `procName`, or null with the last error set.
FARPROC lookupExport(void* handle, HMODULE module, const char* procName)
{
    dlerror();
    void* address = dlsym(handle, procName);
    // dlsym also searches the libraries the module depends on; Windows
    // finds only what the module itself exports.
    if (address == nullptr || baseOf(address) != module) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    return reinterpret_cast<FARPROC>(address);
}

} // namespace
} // namespace kivcompat

using namespace kivcompat;

extern "C" {

BOOL CreateProcessA(LPCSTR applicationName, LPSTR commandLine, LPSECURITY_ATTRIBUTES,
                    LPSECURITY_ATTRIBUTES, BOOL inheritHandles, DWORD creationFlags,
                    LPVOID environment, LPCSTR currentDirectory, LPSTARTUPINFOA startupInfo,
                    LPPROCESS_INFORMATION processInformation)
{
    if ((applicationName == nullptr && commandLine == nullptr) || startupInfo == nullptr ||
        processInformation == nullptr || (creationFlags & ~kKnownCreationFlags) != 0 ||
        (creationFlags & (DETACHED_PROCESS | CREATE_NEW_CONSOLE)) ==
            (DETACHED_PROCESS | CREATE_NEW_CONSOLE))
        return fail(ERROR_INVALID_PARAMETER);

    std::vector<std::string> args =
        commandLine ? splitCommandLine(commandLine) : std::vector<std::string>{applicationName};
    const char* program = applicationName ? applicationName : args[0].c_str();
    std::string file;
    if (DWORD err = resolveProgram(program, applicationName == nullptr, &file))
        return fail(err);
    std::string directory;
    if (currentDirectory != nullptr) {
        if (DWORD err = compatPath(currentDirectory, &directory))
            return fail(err);
    }

    SpawnSetup setup;
    pid_t pid = 0;
    int err = setup.prepare(inheritHandles, creationFlags, directory);
    if (err == 0)
        err = setup.spawn(file, args, environment, &pid);
    if (err != 0)
        return fail(spawnError(err, file));

    // From here a failure must not leave a child running that the caller
    // does not know of: it is stopped at once.
    ProcessObject* object = new (std::nothrow) ProcessObject(pid);
    err = object ? object->watch() : ENOMEM;
    if (err != 0) {
        kill(pid, SIGKILL);
        while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        if (object)
            object->release();
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (DWORD handleErr = makeHandles(object, pid, processInformation)) {
        kill(pid, SIGKILL); // the reaper collects it
        return fail(handleErr);
    }
    return TRUE;
}

BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode)
{
    if (process == GetCurrentProcess()) {
        if (exitCode == nullptr)
            return fail(ERROR_NOACCESS);
        *exitCode = STILL_ACTIVE;
        return TRUE;
    }
    ObjectRef<ProcessObject> object = lookupProcess(process);
    if (!object)
        return FALSE;
    if (exitCode == nullptr)
        return fail(ERROR_NOACCESS);
    *exitCode = object->exitCode();
    return TRUE;
}

void ExitProcess(UINT exitCode)
{
    exit(static_cast<int>(exitCode));
}

HMODULE LoadLibraryExA(LPCSTR fileName, HANDLE file, DWORD flags)
{
    std::string name;
    if (file != nullptr || (flags & ~kKnownLoadFlags) != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    if (DWORD err = compatPath(fileName, &name)) {
        SetLastError(err == ERROR_PATH_NOT_FOUND ? ERROR_MOD_NOT_FOUND : err);
        return nullptr;
    }
    // Windows resolves a library's imports when it loads it; only the
    // flags that load it without running or binding it defer that.
    int mode = RTLD_LOCAL |
               ((flags & (DONT_RESOLVE_DLL_REFERENCES | LOAD_LIBRARY_AS_DATAFILE)) ? RTLD_LAZY
                                                                                   : RTLD_NOW);
    DWORD err = 0;
    void* handle = openLibrary(name, mode, &err);
    if (handle == nullptr) {
        SetLastError(err);
        return nullptr;
    }
    HMODULE module = baseOfHandle(handle);
    if (module == nullptr) {
        dlclose(handle);
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    LibraryTable& t = libraries();
    std::lock_guard<std::mutex> lock(t.mutex);
    try {
        LoadedLibrary& entry = t.loaded[module];
        // dlopen returns the same handle for every load of one library and
        // counts them itself; the table counts along to undo them.
        entry.handle = handle;
        ++entry.count;
    } catch (const std::bad_alloc&) {
        dlclose(handle);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return module;
}

HMODULE LoadLibraryA(LPCSTR fileName) { return LoadLibraryExA(fileName, nullptr, 0); }

FARPROC GetProcAddress(HMODULE module, LPCSTR procName)
{
    if (module == nullptr)
        module = GetModuleHandleA(nullptr);
    // Small values name exports by ordinal, which shared objects do not have.
    if (reinterpret_cast<uintptr_t>(procName) < 0x10000u) {
        SetLastError(ERROR_PROC_NOT_FOUND);
        return nullptr;
    }
    {
        LibraryTable& t = libraries();
        std::lock_guard<std::mutex> lock(t.mutex);
        auto it = t.loaded.find(module);
        if (it != t.loaded.end())
            return lookupExport(it->second.handle, module, procName);
    }
    // A module the program was linked with: reach it by its name without
    // loading anything.
    Module m;
    if (!findModule(module, &m)) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    void* handle = dlopen(m.name.empty() ? nullptr : m.name.c_str(), RTLD_LAZY | RTLD_NOLOAD);
    if (handle == nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    FARPROC address = lookupExport(handle, module, procName);
    DWORD err = GetLastError();
    dlclose(handle);
    SetLastError(err);
    return address;
}

BOOL FreeLibrary(HMODULE module)
{
    LibraryTable& t = libraries();
    void* handle = nullptr;
    {
        std::lock_guard<std::mutex> lock(t.mutex);
        auto it = t.loaded.find(module);
        if (it != t.loaded.end()) {
            handle = it->second.handle;
            if (--it->second.count == 0)
                t.loaded.erase(it);
        }
    }
    // Outside the table's lock: the library's destructors may load and
    // free libraries of their own.
    if (handle != nullptr)
        return dlclose(handle) == 0 ? TRUE : fail(ERROR_INVALID_HANDLE);
    // The program's own modules stay for its lifetime; freeing them does
    // nothing, as Windows does for modules it pinned.
    Module m;
    if (module != nullptr && findModule(module, &m))
        return TRUE;
    return fail(ERROR_MOD_NOT_FOUND);
}

HMODULE GetModuleHandleA(LPCSTR moduleName)
{
    std::vector<Module> modules = loadedModules();
    if (moduleName == nullptr)
        return modules.empty() ? nullptr : reinterpret_cast<HMODULE>(modules.front().base);
    std::string name;
    if (compatPath(moduleName, &name) == 0) {
        bool withDirectory = name.find('/') != std::string::npos;
        std::vector<std::string> names = moduleNames(name);
        for (const Module& m : modules) {
            if (m.name.empty())
                continue;
            for (const std::string& n : names) {
                if (withDirectory ? m.name == n : strcmp(baseName(m.name), n.c_str()) == 0)
                    return reinterpret_cast<HMODULE>(m.base);
            }
        }
    }
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size)
{
    std::string path;
    Module m;
    if (module == nullptr)
        path = executablePath();
    else if (findModule(module, &m))
        path = m.name.empty() ? executablePath() : m.name;
    else {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    char full[PATH_MAX];
    if (realpath(path.c_str(), full) != nullptr)
        path = full;
    if (fileName == nullptr || size == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    if (path.size() >= size) {
        memcpy(fileName, path.data(), size - 1);
        fileName[size - 1] = '\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return size;
    }
    memcpy(fileName, path.c_str(), path.size() + 1);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(path.size());
}

} // extern "C"
