/*
 * kivcompat_ipc.cpp - named sections, semaphores and events shared between
 * processes; security descriptors; VirtualQueryEx.
 *
 * A named object is one file of the POSIX shared-memory directory.  Its
 * last page, the header, holds the kind of object, the state of a
 * semaphore or event, a robust process-shared mutex over that state, and
 * the table of processes holding the object.  A section's data come first,
 * so that its views map the file from offset 0 like any other mapping.
 *
 * Creation builds the whole object under a private name and then links it
 * to its public name in one step: whoever finds a name finds a complete
 * object, and of two processes creating one name only one can win (the
 * other opens the winner's object).  Removal happens under the object's
 * mutex: the last holder marks the header dead and unlinks the name; an
 * opener that finds the mark on the object it opened starts again and so
 * never joins an object on its way out.
 *
 * Every holding process has a slot with its handle count and its start
 * time.  Opens and closes drop the slots of processes that have ended
 * (or whose pid now belongs to another process), so an object whose
 * holders all died without closing goes at the next touch instead of
 * living on in the shared-memory directory.
 *
 * Waiters sleep on a futex word of the header that every post bumps,
 * rather than on a process-shared condition variable: a waiter killed in
 * the middle of a condition wait can leave the variable in a state that
 * blocks later signallers, while a futex waiter leaves nothing behind.  The
 * mutex is robust: a holder dying inside it passes it to the next locker,
 * which carries on, since the state it guards is changed a word at a time
 * and never left half-made in a way that matters.
 *
 * All processes sharing an object must be of one ABI (the mutex layout
 * differs between 32- and 64-bit); an object of the other ABI is refused
 * as a foreign object with ERROR_INVALID_HANDLE.
 */
#include "kivcompat_file.h"
#include "kivcompat_ipc.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/futex.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <new>
#include <string>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#endif

namespace kivcompat {

namespace {

const char   kShmDir[]      = "/dev/shm/";
const char   kObjectStem[]  = "kivnt.";
const char   kMagic[8]      = {'K', 'I', 'V', 'N', 'T', 'O', 'B', '1'};
const size_t kHeaderBytes   = 4096;   // one page; data before it are page multiples
const size_t kHeaderFixed   = 128;
const int    kRetries       = 100;    // a name changing hands more often than this is a fault
const size_t kEncodedMax    = 200;    // longer encoded names are shortened with a hash
const DWORD  kRetry         = ~0u;    // internal verdict: the object was dying, look again

struct Holder {
    int32_t  pid;
    uint32_t handles;
    uint64_t startTime;   // clock ticks after boot: tells a reused pid from its holder
};

const size_t kMaxHolders = (kHeaderBytes - kHeaderFixed) / sizeof(Holder);

struct SharedHeader {
    char     magic[8];
    uint32_t type;          // ObjectType
    uint32_t abi;           // pointer and mutex sizes of the creator
    uint32_t dead;          // set under the mutex by the last holder before the name goes
    uint32_t seq;           // futex word: changes with every post
    uint64_t size;          // sections: bytes asked for at creation
    int32_t  count;         // semaphores: the count; events: 1 when signalled
    int32_t  maximum;       // semaphores: the maximum count; events: 1 for manual reset
    uint32_t protect;       // sections: PAGE_* given at creation
    uint32_t holderSlots;   // slots used so far (the table is scanned up to here)
    union {
        pthread_mutex_t mutex;
        unsigned char   mutexSpace[64];
    };
    unsigned char reserved[kHeaderFixed - 112];
    Holder   holders[kMaxHolders];
};

static_assert(sizeof(pthread_mutex_t) <= 64, "the mutex fits its space");
static_assert(offsetof(SharedHeader, mutex) == 48, "header layout");
static_assert(offsetof(SharedHeader, holders) == kHeaderFixed, "header layout");
static_assert(sizeof(SharedHeader) <= kHeaderBytes, "the header fits its page");

const uint32_t kAbi = static_cast<uint32_t>(sizeof(void*) | (sizeof(pthread_mutex_t) << 8));

HANDLE failNull(DWORD error)
{
    SetLastError(error);
    return nullptr;
}

BOOL failFalse(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

/* ---- processes -------------------------------------------------------- */

// State (field 3) and start time (field 22) of /proc/<pid>/stat.
bool readProcStat(pid_t pid, char* state, uint64_t* start)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", static_cast<int>(pid));
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    char buf[1024];
    ssize_t n = read(fd, buf, sizeof buf - 1);
    close(fd);
    if (n <= 0)
        return false;
    buf[n] = '\0';
    // The command name (field 2) may hold anything; the fields start after
    // its closing parenthesis.
    char* p = strrchr(buf, ')');
    if (!p || p[1] != ' ')
        return false;
    p += 2;
    *state = *p;
    for (int field = 3; field < 22; ++field) {
        p = strchr(p, ' ');
        if (!p)
            return false;
        ++p;
    }
    *start = strtoull(p, nullptr, 10);
    return true;
}

Holder self()
{
    static std::atomic<pid_t>    cachedPid{0};
    static std::atomic<uint64_t> cachedStart{0};
    pid_t pid = getpid();
    if (cachedPid.load(std::memory_order_acquire) != pid) {   // first call, or after fork
        char state;
        uint64_t start = 0;
        readProcStat(pid, &state, &start);
        cachedStart.store(start, std::memory_order_relaxed);
        cachedPid.store(pid, std::memory_order_release);
    }
    return Holder{static_cast<int32_t>(pid), 0, cachedStart.load(std::memory_order_relaxed)};
}

bool holderAlive(const Holder& h, const Holder& me)
{
    if (h.pid == me.pid)
        return true;
    if (kill(h.pid, 0) != 0 && errno == ESRCH)
        return false;
    char state;
    uint64_t start;
    // A process we may not look at (another user's, with /proc hidden)
    // exists by kill's answer.
    if (!readProcStat(h.pid, &state, &start))
        return true;
    return state != 'Z' && state != 'X' && start == h.startTime;
}

/* ---- the header ------------------------------------------------------- */

// Holds the object's mutex for a scope.  A holder that died inside it left
// the state as it was: the next one makes the mutex usable and goes on.
class HeaderLock {
public:
    explicit HeaderLock(SharedHeader* h) : h_(h)
    {
        int rc = pthread_mutex_lock(&h_->mutex);
        if (rc == EOWNERDEAD) {
            pthread_mutex_consistent(&h_->mutex);
            rc = 0;
        }
        locked_ = rc == 0;
    }
    ~HeaderLock()
    {
        if (locked_)
            pthread_mutex_unlock(&h_->mutex);
    }
    HeaderLock(const HeaderLock&) = delete;
    HeaderLock& operator=(const HeaderLock&) = delete;

private:
    SharedHeader* h_;
    bool          locked_;
};

// Drops the slots of holders that have gone and returns the handles the
// others hold.  Under the mutex.
uint32_t pruneHolders(SharedHeader* h)
{
    Holder me = self();
    uint32_t total = 0;
    for (uint32_t i = 0; i < h->holderSlots && i < kMaxHolders; ++i) {
        Holder& slot = h->holders[i];
        if (slot.handles == 0)
            continue;
        if (!holderAlive(slot, me)) {
            slot = Holder{0, 0, 0};
            continue;
        }
        total += slot.handles;
    }
    return total;
}

// One more handle of this process.  Under the mutex.
bool addHolder(SharedHeader* h)
{
    Holder me = self();
    uint32_t freeSlot = kMaxHolders;
    uint32_t used = h->holderSlots < kMaxHolders ? h->holderSlots : kMaxHolders;
    for (uint32_t i = 0; i < used; ++i) {
        Holder& slot = h->holders[i];
        if (slot.handles != 0 && slot.pid == me.pid && slot.startTime == me.startTime) {
            ++slot.handles;
            return true;
        }
        if (slot.handles == 0 && freeSlot == kMaxHolders)
            freeSlot = i;
    }
    if (freeSlot == kMaxHolders) {
        if (used == kMaxHolders)
            return false;
        freeSlot = used;
        h->holderSlots = used + 1;
    }
    me.handles = 1;
    h->holders[freeSlot] = me;
    return true;
}

// One handle of this process less.  Under the mutex.
void dropHolder(SharedHeader* h)
{
    Holder me = self();
    for (uint32_t i = 0; i < h->holderSlots && i < kMaxHolders; ++i) {
        Holder& slot = h->holders[i];
        if (slot.handles != 0 && slot.pid == me.pid && slot.startTime == me.startTime) {
            if (--slot.handles == 0)
                slot = Holder{0, 0, 0};
            return;
        }
    }
}

// What an object is made with.
struct ObjectInit {
    ObjectType type;
    uint64_t   size;      // sections
    int32_t    count;
    int32_t    maximum;
    DWORD      protect;   // sections
};

bool initHeader(SharedHeader* h, const ObjectInit& init, bool held)
{
    memset(h, 0, sizeof *h);
    memcpy(h->magic, kMagic, sizeof kMagic);
    h->type = static_cast<uint32_t>(init.type);
    h->abi = kAbi;
    h->size = init.size;
    h->count = init.count;
    h->maximum = init.maximum;
    h->protect = init.protect;
    pthread_mutexattr_t attr;
    if (pthread_mutexattr_init(&attr) != 0)
        return false;
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    int rc = pthread_mutex_init(&h->mutex, &attr);
    pthread_mutexattr_destroy(&attr);
    if (rc != 0)
        return false;
    if (held)
        addHolder(h);
    return true;
}

/* ---- attachments -------------------------------------------------------- */

// One handle's hold on an object: the mapped header, and for a named
// object its file.
struct Attachment {
    SharedHeader* header = nullptr;
    std::string   path;     // empty for an unnamed object
    int           fd = -1;  // sections keep it for their views
};

// Maps the header page at `offset` of the object open on `fd`.  The page is
// kept out of core dumps, which also keeps the kernel from merging it with
// a view of the same file lying next to it: a view must stay a region of
// its own for VirtualQueryEx.
SharedHeader* mapHeaderPage(int fd, off_t offset)
{
    void* p = mmap(nullptr, kHeaderBytes, PROT_READ | PROT_WRITE, MAP_SHARED, fd, offset);
    if (p == MAP_FAILED)
        return nullptr;
    madvise(p, kHeaderBytes, MADV_DONTDUMP);
    return static_cast<SharedHeader*>(p);
}

void unmapAttachment(Attachment& a)
{
    if (a.header)
        munmap(a.header, kHeaderBytes);
    if (a.fd >= 0)
        close(a.fd);
    a = Attachment();
}

// Lets go of an object; the last holder removes its name.
void dropAttachment(Attachment& a)
{
    if (a.header && !a.path.empty()) {
        HeaderLock lock(a.header);
        dropHolder(a.header);
        if (pruneHolders(a.header) == 0) {
            a.header->dead = 1;
            unlink(a.path.c_str());
        }
    }
    unmapAttachment(a);
}

// Maps the header of the object open on a.fd and checks that it is one.
DWORD mapHeader(Attachment& a)
{
    struct stat st;
    if (fstat(a.fd, &st) != 0)
        return kivCompatErrnoToWin32(errno);
    if (!S_ISREG(st.st_mode) || st.st_size < static_cast<off_t>(kHeaderBytes) ||
        st.st_size % static_cast<off_t>(kHeaderBytes) != 0)
        return ERROR_INVALID_HANDLE;
    a.header = mapHeaderPage(a.fd, st.st_size - static_cast<off_t>(kHeaderBytes));
    if (!a.header)
        return errno == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY : kivCompatErrnoToWin32(errno);
    if (memcmp(a.header->magic, kMagic, sizeof kMagic) != 0 || a.header->abi != kAbi)
        return ERROR_INVALID_HANDLE;
    return 0;
}

// Opens the object at `path` as a new holder.  ERROR_FILE_NOT_FOUND when
// there is none; ERROR_INVALID_HANDLE when the name belongs to another kind.
DWORD openNamed(const std::string& path, ObjectType type, Attachment* out)
{
    for (int attempt = 0; attempt < kRetries; ++attempt) {
        Attachment a;
        a.fd = open(path.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
        if (a.fd < 0)
            return errno == ENOENT ? ERROR_FILE_NOT_FOUND : kivCompatErrnoToWin32(errno);
        DWORD verdict = mapHeader(a);
        if (verdict == 0) {
            HeaderLock lock(a.header);
            if (a.header->dead) {
                verdict = kRetry;
            } else if (pruneHolders(a.header) == 0) {
                // Every holder ended without closing: the object is gone in
                // all but name.
                a.header->dead = 1;
                unlink(path.c_str());
                verdict = kRetry;
            } else if (a.header->type != static_cast<uint32_t>(type)) {
                verdict = ERROR_INVALID_HANDLE;
            } else if (!addHolder(a.header)) {
                verdict = ERROR_NO_SYSTEM_RESOURCES;
            }
        }
        if (verdict == 0) {
            a.path = path;
            if (type != ObjectType::Mapping) {
                close(a.fd);
                a.fd = -1;
            }
            *out = a;
            return 0;
        }
        unmapAttachment(a);
        if (verdict != kRetry)
            return verdict;
    }
    return ERROR_BUSY;
}

// A complete new object under a private name, held by this process.
DWORD buildObject(const ObjectInit& init, mode_t mode, Attachment* out, std::string* tempPath)
{
    static std::atomic<unsigned> counter{0};
    char name[96];
    snprintf(name, sizeof name, "%s%s~%d.%u", kShmDir, kObjectStem, static_cast<int>(getpid()),
             counter.fetch_add(1));
    Attachment a;
    const int flags = O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW;
    a.fd = open(name, flags, mode);
    if (a.fd < 0 && errno == EEXIST) {
        // Left by an earlier process of this pid that died while creating.
        unlink(name);
        a.fd = open(name, flags, mode);
    }
    if (a.fd < 0)
        return kivCompatErrnoToWin32(errno);
    *tempPath = name;
    fchmod(a.fd, mode);   // the umask must not narrow what the security asked for
    uint64_t data = (init.size + kHeaderBytes - 1) / kHeaderBytes * kHeaderBytes;
    DWORD err = 0;
    if (data + kHeaderBytes > static_cast<uint64_t>(INT64_MAX)) {
        err = ERROR_NOT_ENOUGH_MEMORY;
    } else {
        // The section's pages are committed now, as the page file is charged
        // on Windows: a full shared-memory file system is an error here
        // rather than a fault at the first touch.
        int rc = posix_fallocate(a.fd, 0, static_cast<off_t>(data + kHeaderBytes));
        if (rc != 0)
            err = rc == ENOSPC || rc == EFBIG || rc == EINVAL ? ERROR_NOT_ENOUGH_MEMORY
                                                              : kivCompatErrnoToWin32(rc);
    }
    if (err == 0) {
        a.header = mapHeaderPage(a.fd, static_cast<off_t>(data));
        if (!a.header)
            err = ERROR_NOT_ENOUGH_MEMORY;
    }
    if (err == 0 && !initHeader(a.header, init, true))
        err = ERROR_NO_SYSTEM_RESOURCES;
    if (err != 0) {
        unlink(name);
        unmapAttachment(a);
        return err;
    }
    *out = a;
    return 0;
}

// The object at `path`, made with `init` unless it exists (then *existed).
DWORD createNamed(const std::string& path, const ObjectInit& init, mode_t mode, Attachment* out,
                  bool* existed)
{
    for (int attempt = 0; attempt < kRetries; ++attempt) {
        DWORD err = openNamed(path, init.type, out);
        if (err != ERROR_FILE_NOT_FOUND) {
            *existed = err == 0;
            return err;
        }
        Attachment a;
        std::string temp;
        err = buildObject(init, mode, &a, &temp);
        if (err != 0)
            return err;
        int rc = link(temp.c_str(), path.c_str());
        int linkErr = errno;
        unlink(temp.c_str());
        if (rc == 0) {
            a.path = path;
            if (init.type != ObjectType::Mapping) {
                close(a.fd);
                a.fd = -1;
            }
            *out = a;
            *existed = false;
            return 0;
        }
        unmapAttachment(a);
        if (linkErr != EEXIST)   // otherwise another process won: open its object
            return kivCompatErrnoToWin32(linkErr);
    }
    return ERROR_BUSY;
}

// An object no other process can reach.
DWORD createUnnamed(const ObjectInit& init, Attachment* out)
{
    void* p = mmap(nullptr, kHeaderBytes, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS,
                   -1, 0);
    if (p == MAP_FAILED)
        return ERROR_NOT_ENOUGH_MEMORY;
    Attachment a;
    a.header = static_cast<SharedHeader*>(p);
    if (!initHeader(a.header, init, false)) {
        unmapAttachment(a);
        return ERROR_NO_SYSTEM_RESOURCES;
    }
    *out = a;
    return 0;
}

/* ---- names -------------------------------------------------------------- */

uint64_t fnv1a(const char* s)
{
    uint64_t h = 1469598103934665603ull;
    for (; *s; ++s) {
        h ^= static_cast<unsigned char>(*s);
        h *= 1099511628211ull;
    }
    return h;
}

// The file of a Windows object name (see the header for the rules).
DWORD objectPath(LPCSTR name, std::string* path)
{
    if (strlen(name) > MAX_PATH)
        return ERROR_FILENAME_EXCED_RANGE;
    const char* n = name;
    if (strncmp(n, "Global\\", 7) == 0)
        n += 7;
    else if (strncmp(n, "Local\\", 6) == 0)
        n += 6;
    if (*n == '\0')
        return ERROR_INVALID_NAME;
    if (strchr(n, '\\'))
        return ERROR_PATH_NOT_FOUND;
    // Letters, digits, '-' and '_' stand for themselves; every other byte
    // (the '/' a file name cannot hold among them) is written as %XX.
    static const char hex[] = "0123456789ABCDEF";
    std::string encoded;
    for (const char* p = n; *p; ++p) {
        unsigned char c = static_cast<unsigned char>(*p);
        if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
            c == '-' || c == '_') {
            encoded += static_cast<char>(c);
        } else {
            encoded += '%';
            encoded += hex[c >> 4];
            encoded += hex[c & 0xF];
        }
    }
    if (encoded.size() > kEncodedMax) {
        char tail[24];
        snprintf(tail, sizeof tail, "~%016llx", static_cast<unsigned long long>(fnv1a(n)));
        encoded = encoded.substr(0, kEncodedMax - 20) + tail;
    }
    *path = std::string(kShmDir) + kObjectStem + encoded;
    return 0;
}

// Creation mode from the security: a present null DACL opens the object to
// every user, anything else keeps it to the creator's.
mode_t creationMode(LPSECURITY_ATTRIBUTES security)
{
    if (security && security->lpSecurityDescriptor) {
        const SECURITY_DESCRIPTOR* sd =
            static_cast<const SECURITY_DESCRIPTOR*>(security->lpSecurityDescriptor);
        if ((sd->Control & SE_DACL_PRESENT) && sd->Dacl == nullptr)
            return 0666;
    }
    return 0600;
}

/* ---- futex ------------------------------------------------------------------ */

// The system call's own timespec: 32-bit fields on i386 whatever the C
// library's time_t.
struct FutexTimeout {
    long tv_sec;
    long tv_nsec;
};

void futexWait(uint32_t* word, uint32_t expected, DWORD milliseconds)
{
    FutexTimeout t{static_cast<long>(milliseconds / 1000),
                   static_cast<long>(milliseconds % 1000) * 1000000L};
    syscall(SYS_futex, word, FUTEX_WAIT, expected, milliseconds == INFINITE ? nullptr : &t,
            nullptr, 0);
}

void futexWakeAll(uint32_t* word)
{
    syscall(SYS_futex, word, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

uint64_t monotonicMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

/* ---- objects ------------------------------------------------------------- */

// A semaphore or an event.
class SyncObject : public KernelObject {
public:
    SyncObject(ObjectType type, const Attachment& a, DWORD access)
        : KernelObject(type), att_(a), access_(access)
    {
    }

    bool mayModify() const { return (access_ & SEMAPHORE_MODIFY_STATE) != 0; }

    DWORD wait(DWORD milliseconds) override
    {
        if (!(access_ & SYNCHRONIZE)) {
            SetLastError(ERROR_ACCESS_DENIED);
            return WAIT_FAILED;
        }
        SharedHeader* h = att_.header;
        uint64_t deadline = milliseconds == INFINITE ? 0 : monotonicMs() + milliseconds;
        for (;;) {
            uint32_t seq;
            {
                HeaderLock lock(h);
                if (take(h))
                    return WAIT_OBJECT_0;
                seq = __atomic_load_n(&h->seq, __ATOMIC_ACQUIRE);
            }
            DWORD left = INFINITE;
            if (milliseconds != INFINITE) {
                uint64_t now = monotonicMs();
                if (now >= deadline)
                    return WAIT_TIMEOUT;
                left = static_cast<DWORD>(deadline - now);
            }
            futexWait(&h->seq, seq, left);
        }
    }

    // ReleaseSemaphore; a Windows error or 0.
    DWORD post(LONG n, LONG* previous)
    {
        SharedHeader* h = att_.header;
        {
            HeaderLock lock(h);
            if (n > h->maximum - h->count)
                return ERROR_TOO_MANY_POSTS;
            if (previous)
                *previous = h->count;
            h->count += n;
            __atomic_add_fetch(&h->seq, 1, __ATOMIC_RELEASE);
        }
        futexWakeAll(&h->seq);
        return 0;
    }

    // SetEvent (true) and ResetEvent (false).
    void setSignalled(bool signalled)
    {
        SharedHeader* h = att_.header;
        {
            HeaderLock lock(h);
            h->count = signalled ? 1 : 0;
            if (signalled)
                __atomic_add_fetch(&h->seq, 1, __ATOMIC_RELEASE);
        }
        if (signalled)
            futexWakeAll(&h->seq);
    }

protected:
    BOOL close() override
    {
        dropAttachment(att_);
        return TRUE;
    }

private:
    // Takes the object if it is signalled.  Under the mutex.
    bool take(SharedHeader* h)
    {
        if (h->count <= 0)
            return false;
        if (type() == ObjectType::Semaphore)
            --h->count;
        else if (h->maximum == 0)   // auto-reset event: one waiter, then unsignalled
            h->count = 0;
        return true;
    }

    Attachment  att_;
    const DWORD access_;
};

// A named section: a mapping whose going also lets go of the shared object.
class NamedMappingObject : public MappingObject {
public:
    NamedMappingObject(const Attachment& a, DWORD protect, const std::string& name)
        : MappingObject(a.fd, a.header->size, protect, name), att_(a)
    {
        att_.fd = -1;   // the mapping owns the descriptor now
    }

protected:
    BOOL close() override
    {
        BOOL ok = MappingObject::close();
        dropAttachment(att_);
        return ok;
    }

private:
    Attachment att_;
};

ObjectRef<SyncObject> syncLookup(HANDLE h, ObjectType type)
{
    return handleLookupAs<SyncObject>(h, type);
}

// A handle on `o`, a new object over `a`; when there was no memory for the
// object, `a` is let go.  The last error says whether the name existed.
HANDLE attachedHandle(KernelObject* o, Attachment& a, bool existed)
{
    if (!o) {
        dropAttachment(a);
        return failNull(ERROR_NOT_ENOUGH_MEMORY);
    }
    HANDLE h = handleCreate(o);
    if (h)
        SetLastError(existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

// CreateSemaphoreA and CreateEventA.
HANDLE createSync(const ObjectInit& init, LPSECURITY_ATTRIBUTES security, LPCSTR name,
                  DWORD allAccess)
{
    Attachment a;
    bool existed = false;
    DWORD err;
    if (name && *name) {
        std::string path;
        err = objectPath(name, &path);
        if (err == 0)
            err = createNamed(path, init, creationMode(security), &a, &existed);
    } else {
        err = createUnnamed(init, &a);
    }
    if (err != 0)
        return failNull(err);
    return attachedHandle(new (std::nothrow) SyncObject(init.type, a, allAccess), a, existed);
}

// OpenSemaphoreA and OpenEventA.
HANDLE openSync(ObjectType type, DWORD access, LPCSTR name)
{
    if (!name)
        return failNull(ERROR_INVALID_PARAMETER);
    std::string path;
    Attachment a;
    DWORD err = objectPath(name, &path);
    if (err == 0)
        err = openNamed(path, type, &a);
    if (err != 0)
        return failNull(err);
    return attachedHandle(new (std::nothrow) SyncObject(type, a, access), a, false);
}

bool writableProtect(DWORD protect)
{
    return protect == PAGE_READWRITE || protect == PAGE_EXECUTE_READWRITE;
}

// A handle on the section of `a`, which may write when `write` is set.
HANDLE mappingHandle(Attachment& a, bool write, const char* name, bool existed)
{
    DWORD sectionProtect = a.header->protect;
    if (write && !writableProtect(sectionProtect)) {
        dropAttachment(a);
        return failNull(ERROR_ACCESS_DENIED);
    }
    DWORD protect = write ? sectionProtect
                          : (sectionProtect == PAGE_EXECUTE_READWRITE ? PAGE_EXECUTE_READ
                                                                      : PAGE_READONLY);
    return attachedHandle(new (std::nothrow) NamedMappingObject(a, protect, name), a, existed);
}

/* ---- memory regions ----------------------------------------------------- */

DWORD protectOf(const char* perms)
{
    bool r = perms[0] == 'r', w = perms[1] == 'w', x = perms[2] == 'x';
    if (x)
        return w ? PAGE_EXECUTE_READWRITE : r ? PAGE_EXECUTE_READ : PAGE_EXECUTE;
    if (w)
        return PAGE_READWRITE;
    return r ? PAGE_READONLY : PAGE_NOACCESS;
}

// The shadow memory of the address sanitizer is address space its runtime
// reserved, not memory of the program; it is reported as reserved, so that
// walks over the committed regions (the trap file's) skip its terabytes.
#if defined(__SANITIZE_ADDRESS__)
bool runtimeReserved(uintptr_t start)
{
    size_t scale = 0, offset = 0;
    __asan_get_shadow_mapping(&scale, &offset);
    const uintptr_t shadowEnd = offset + ((static_cast<uintptr_t>(1) << 47) >> scale);
    return start >= offset && start < shadowEnd;
}
#else
bool runtimeReserved(uintptr_t)
{
    return false;
}
#endif

// Reads one line of the kernel's mapping list; a line longer than the
// buffer is cut (only its path would be lost).
bool readLine(FILE* f, char* line, int size)
{
    if (!fgets(line, size, f))
        return false;
    if (!strchr(line, '\n')) {
        int c;
        while ((c = getc(f)) != EOF && c != '\n') {
        }
    }
    return true;
}

} // namespace

HANDLE namedMappingCreate(HANDLE file, LPSECURITY_ATTRIBUTES security, DWORD pageProtect,
                          uint64_t size, LPCSTR name)
{
    // Named mappings of files are outside the subset.
    if (file != INVALID_HANDLE_VALUE)
        return failNull(ERROR_CALL_NOT_IMPLEMENTED);
    if (size == 0 || pageProtect == PAGE_WRITECOPY || pageProtect == PAGE_EXECUTE_WRITECOPY)
        return failNull(ERROR_INVALID_PARAMETER);
    if (size > static_cast<uint64_t>(SIZE_MAX))
        return failNull(ERROR_NOT_ENOUGH_MEMORY);
    std::string path;
    DWORD err = objectPath(name, &path);
    if (err != 0)
        return failNull(err);
    Attachment a;
    bool existed = false;
    ObjectInit init{ObjectType::Mapping, size, 0, 0, pageProtect};
    err = createNamed(path, init, creationMode(security), &a, &existed);
    if (err != 0)
        return failNull(err);
    return mappingHandle(a, writableProtect(pageProtect), name, existed);
}

} // namespace kivcompat

using namespace kivcompat;

extern "C" {

BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision)
{
    if (!descriptor)
        return failFalse(ERROR_INVALID_PARAMETER);
    if (revision != SECURITY_DESCRIPTOR_REVISION)
        return failFalse(ERROR_UNKNOWN_REVISION);
    SECURITY_DESCRIPTOR* sd = static_cast<SECURITY_DESCRIPTOR*>(descriptor);
    memset(sd, 0, sizeof *sd);
    sd->Revision = SECURITY_DESCRIPTOR_REVISION;
    return TRUE;
}

BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL daclPresent, PACL dacl,
                               BOOL daclDefaulted)
{
    if (!descriptor)
        return failFalse(ERROR_INVALID_PARAMETER);
    SECURITY_DESCRIPTOR* sd = static_cast<SECURITY_DESCRIPTOR*>(descriptor);
    if (sd->Revision != SECURITY_DESCRIPTOR_REVISION)
        return failFalse(ERROR_UNKNOWN_REVISION);
    sd->Control &= static_cast<WORD>(~(SE_DACL_PRESENT | SE_DACL_DEFAULTED));
    if (daclPresent) {
        sd->Control |= SE_DACL_PRESENT;
        if (daclDefaulted)
            sd->Control |= SE_DACL_DEFAULTED;
        sd->Dacl = dacl;
    } else {
        sd->Dacl = nullptr;
    }
    return TRUE;
}

HANDLE OpenFileMappingA(DWORD desiredAccess, BOOL inheritHandle, LPCSTR name)
{
    (void)inheritHandle;
    if (!name)
        return failNull(ERROR_INVALID_PARAMETER);
    std::string path;
    Attachment a;
    DWORD err = objectPath(name, &path);
    if (err == 0)
        err = openNamed(path, ObjectType::Mapping, &a);
    if (err != 0)
        return failNull(err);
    return mappingHandle(a, (desiredAccess & FILE_MAP_WRITE) != 0, name, false);
}

HANDLE CreateSemaphoreA(LPSECURITY_ATTRIBUTES security, LONG initialCount, LONG maximumCount,
                        LPCSTR name)
{
    if (maximumCount <= 0 || initialCount < 0 || initialCount > maximumCount)
        return failNull(ERROR_INVALID_PARAMETER);
    ObjectInit init{ObjectType::Semaphore, 0, initialCount, maximumCount, 0};
    return createSync(init, security, name, SEMAPHORE_ALL_ACCESS);
}

HANDLE OpenSemaphoreA(DWORD desiredAccess, BOOL inheritHandle, LPCSTR name)
{
    (void)inheritHandle;
    return openSync(ObjectType::Semaphore, desiredAccess, name);
}

BOOL ReleaseSemaphore(HANDLE semaphore, LONG releaseCount, LPLONG previousCount)
{
    ObjectRef<SyncObject> s = syncLookup(semaphore, ObjectType::Semaphore);
    if (!s)
        return FALSE;
    if (!s->mayModify())
        return failFalse(ERROR_ACCESS_DENIED);
    if (releaseCount <= 0)
        return failFalse(ERROR_INVALID_PARAMETER);
    DWORD err = s->post(releaseCount, previousCount);
    return err ? failFalse(err) : TRUE;
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset, BOOL initialState,
                    LPCSTR name)
{
    ObjectInit init{ObjectType::Event, 0, initialState ? 1 : 0, manualReset ? 1 : 0, 0};
    return createSync(init, security, name, EVENT_ALL_ACCESS);
}

HANDLE OpenEventA(DWORD desiredAccess, BOOL inheritHandle, LPCSTR name)
{
    (void)inheritHandle;
    return openSync(ObjectType::Event, desiredAccess, name);
}

static BOOL signalEvent(HANDLE event, bool signalled)
{
    ObjectRef<SyncObject> e = syncLookup(event, ObjectType::Event);
    if (!e)
        return FALSE;
    if (!e->mayModify())
        return failFalse(ERROR_ACCESS_DENIED);
    e->setSignalled(signalled);
    return TRUE;
}

BOOL SetEvent(HANDLE event)
{
    return signalEvent(event, true);
}

BOOL ResetEvent(HANDLE event)
{
    return signalEvent(event, false);
}

SIZE_T VirtualQueryEx(HANDLE process, LPCVOID address, PMEMORY_BASIC_INFORMATION buffer,
                      SIZE_T length)
{
    if (process != GetCurrentProcess()) {
        SetLastError(ERROR_INVALID_HANDLE);
        return 0;
    }
    if (!buffer || length < sizeof *buffer) {
        SetLastError(ERROR_BAD_LENGTH);
        return 0;
    }
    uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    uintptr_t base = reinterpret_cast<uintptr_t>(address) & ~(page - 1);
    // The end of the address space: wraps to 0 on 32-bit, which the
    // unsigned differences below take as 2^32.
    const uintptr_t spaceEnd = sizeof(void*) == 4 ? 0 : static_cast<uintptr_t>(1ull << 47);
    if (spaceEnd != 0 && base >= spaceEnd) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    FILE* f = fopen("/proc/self/maps", "re");
    if (!f) {
        kivCompatSetLastErrorFromErrno(errno);
        return 0;
    }
    MEMORY_BASIC_INFORMATION info;
    memset(&info, 0, sizeof info);
    uintptr_t freeEnd = spaceEnd;
    bool mapped = false;
    char line[512];
    while (readLine(f, line, sizeof line)) {
        unsigned long long start, end, offset, inode;
        char perms[8];
        if (sscanf(line, "%llx-%llx %7s %llx %*s %llu", &start, &end, perms, &offset, &inode) != 5)
            continue;
        if (base < start) {
            freeEnd = static_cast<uintptr_t>(start);
            break;
        }
        if (base < end) {
            mapped = true;
            info.AllocationBase = reinterpret_cast<PVOID>(static_cast<uintptr_t>(start));
            info.RegionSize = static_cast<SIZE_T>(end - base);
            info.Protect = protectOf(perms);
            info.AllocationProtect = info.Protect;
            info.State = runtimeReserved(static_cast<uintptr_t>(start)) ? MEM_RESERVE : MEM_COMMIT;
            info.Type = inode != 0 ? MEM_MAPPED : MEM_PRIVATE;
            break;
        }
    }
    fclose(f);
    info.BaseAddress = reinterpret_cast<PVOID>(base);
    if (!mapped) {
        info.RegionSize = static_cast<SIZE_T>(freeEnd - base);
        info.State = MEM_FREE;
        info.Protect = PAGE_NOACCESS;
    }
    *buffer = info;
    return sizeof info;
}

SIZE_T VirtualQuery(LPCVOID address, PMEMORY_BASIC_INFORMATION buffer, SIZE_T length)
{
    return VirtualQueryEx(GetCurrentProcess(), address, buffer, length);
}

} // extern "C"
