/*
 * kivcompat_trap.cpp - faults as exceptions and the unhandled-exception
 * filter, reading memory without faulting, unnamed mutexes and the memory
 * status (see kivcompat_trap.h).
 */
#include "kivcompat_handle.h"
#include "kivcompat_security.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/sysinfo.h>
#include <sys/uio.h>
#include <ucontext.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

using namespace kivcompat;

namespace {

BOOL fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

/* ---- Faults as exceptions ---------------------------------------------------- */

// The page-fault trap and the bits of its error code.
const greg_t kTrapPageFault = 14;
const greg_t kFaultWrite = 0x2;
const greg_t kFaultFetch = 0x10;

DWORD codeOfFpe(int code)
{
    switch (code) {
    case FPE_INTDIV: return EXCEPTION_INT_DIVIDE_BY_ZERO;
    case FPE_INTOVF: return EXCEPTION_INT_OVERFLOW;
    case FPE_FLTDIV: return EXCEPTION_FLT_DIVIDE_BY_ZERO;
    case FPE_FLTOVF: return EXCEPTION_FLT_OVERFLOW;
    case FPE_FLTUND: return EXCEPTION_FLT_UNDERFLOW;
    case FPE_FLTRES: return EXCEPTION_FLT_INEXACT_RESULT;
    case FPE_FLTSUB: return EXCEPTION_ARRAY_BOUNDS_EXCEEDED;
    default:         return EXCEPTION_FLT_INVALID_OPERATION;
    }
}

#if defined(__i386__)
void fillContext(const ucontext_t* u, CONTEXT* c)
{
    const greg_t* g = u->uc_mcontext.gregs;
    c->ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER | CONTEXT_SEGMENTS;
    c->SegGs = g[REG_GS] & 0xFFFF;
    c->SegFs = g[REG_FS] & 0xFFFF;
    c->SegEs = g[REG_ES] & 0xFFFF;
    c->SegDs = g[REG_DS] & 0xFFFF;
    c->Edi = g[REG_EDI];
    c->Esi = g[REG_ESI];
    c->Ebx = g[REG_EBX];
    c->Edx = g[REG_EDX];
    c->Ecx = g[REG_ECX];
    c->Eax = g[REG_EAX];
    c->Ebp = g[REG_EBP];
    c->Eip = g[REG_EIP];
    c->SegCs = g[REG_CS] & 0xFFFF;
    c->EFlags = g[REG_EFL];
    c->Esp = g[REG_UESP];
    c->SegSs = g[REG_SS] & 0xFFFF;
    const struct _libc_fpstate* fp = u->uc_mcontext.fpregs;
    if (fp) {
        c->ContextFlags |= CONTEXT_FLOATING_POINT;
        c->FloatSave.ControlWord = fp->cw;
        c->FloatSave.StatusWord = fp->sw;
        c->FloatSave.TagWord = fp->tag;
        c->FloatSave.ErrorOffset = fp->ipoff;
        c->FloatSave.ErrorSelector = fp->cssel;
        c->FloatSave.DataOffset = fp->dataoff;
        c->FloatSave.DataSelector = fp->datasel;
        static_assert(sizeof fp->_st == SIZE_OF_80387_REGISTERS, "eight 80-bit registers");
        memcpy(c->FloatSave.RegisterArea, fp->_st, SIZE_OF_80387_REGISTERS);
    }
}

void applyContext(const CONTEXT* c, ucontext_t* u)
{
    greg_t* g = u->uc_mcontext.gregs;
    g[REG_EDI] = c->Edi;
    g[REG_ESI] = c->Esi;
    g[REG_EBX] = c->Ebx;
    g[REG_EDX] = c->Edx;
    g[REG_ECX] = c->Ecx;
    g[REG_EAX] = c->Eax;
    g[REG_EBP] = c->Ebp;
    g[REG_EIP] = c->Eip;
    g[REG_EFL] = c->EFlags;
    g[REG_UESP] = c->Esp;
}

uintptr_t& contextPC(CONTEXT* c) { return reinterpret_cast<uintptr_t&>(c->Eip); }
#else
void fillContext(const ucontext_t* u, CONTEXT* c)
{
    const greg_t* g = u->uc_mcontext.gregs;
    c->ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER | CONTEXT_SEGMENTS;
    uint64_t segments = static_cast<uint64_t>(g[REG_CSGSFS]);  // cs, gs, fs, ss
    c->SegCs = static_cast<WORD>(segments);
    c->SegGs = static_cast<WORD>(segments >> 16);
    c->SegFs = static_cast<WORD>(segments >> 32);
    c->SegSs = static_cast<WORD>(segments >> 48);
    c->EFlags = static_cast<DWORD>(g[REG_EFL]);
    c->Rax = g[REG_RAX];
    c->Rcx = g[REG_RCX];
    c->Rdx = g[REG_RDX];
    c->Rbx = g[REG_RBX];
    c->Rsp = g[REG_RSP];
    c->Rbp = g[REG_RBP];
    c->Rsi = g[REG_RSI];
    c->Rdi = g[REG_RDI];
    c->R8 = g[REG_R8];
    c->R9 = g[REG_R9];
    c->R10 = g[REG_R10];
    c->R11 = g[REG_R11];
    c->R12 = g[REG_R12];
    c->R13 = g[REG_R13];
    c->R14 = g[REG_R14];
    c->R15 = g[REG_R15];
    c->Rip = g[REG_RIP];
    const struct _libc_fpstate* fp = u->uc_mcontext.fpregs;
    if (fp) {
        // The kernel saves the FXSAVE image, which is the Windows layout.
        static_assert(sizeof *fp == sizeof c->FltSave, "FXSAVE image");
        c->ContextFlags |= CONTEXT_FLOATING_POINT;
        memcpy(&c->FltSave, fp, sizeof c->FltSave);
        c->MxCsr = fp->mxcsr;
    }
}

void applyContext(const CONTEXT* c, ucontext_t* u)
{
    greg_t* g = u->uc_mcontext.gregs;
    g[REG_RAX] = c->Rax;
    g[REG_RCX] = c->Rcx;
    g[REG_RDX] = c->Rdx;
    g[REG_RBX] = c->Rbx;
    g[REG_RSP] = c->Rsp;
    g[REG_RBP] = c->Rbp;
    g[REG_RSI] = c->Rsi;
    g[REG_RDI] = c->Rdi;
    g[REG_R8] = c->R8;
    g[REG_R9] = c->R9;
    g[REG_R10] = c->R10;
    g[REG_R11] = c->R11;
    g[REG_R12] = c->R12;
    g[REG_R13] = c->R13;
    g[REG_R14] = c->R14;
    g[REG_R15] = c->R15;
    g[REG_RIP] = c->Rip;
    g[REG_EFL] = c->EFlags;
}

uintptr_t& contextPC(CONTEXT* c) { return reinterpret_cast<uintptr_t&>(c->Rip); }
#endif

/* The two parameters of an access violation: read (0), write (1) or
 * execute (8), and the address, all ones when the processor did not say
 * (a protection fault rather than a page fault). */
void accessParameters(const siginfo_t* info, const ucontext_t* u, EXCEPTION_RECORD* r)
{
    const greg_t* g = u->uc_mcontext.gregs;
    r->NumberParameters = 2;
    if (g[REG_TRAPNO] != kTrapPageFault) {
        r->ExceptionInformation[0] = 0;
        r->ExceptionInformation[1] = ~static_cast<ULONG_PTR>(0);
        return;
    }
    greg_t err = g[REG_ERR];
    r->ExceptionInformation[0] = (err & kFaultFetch) ? 8 : (err & kFaultWrite) ? 1 : 0;
    r->ExceptionInformation[1] = reinterpret_cast<ULONG_PTR>(info->si_addr);
}

/* ---- The filter and its handler ----------------------------------------------- */

const int kFaultSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP};
const size_t kAltStackSize = 256 * 1024;

std::atomic<LPTOP_LEVEL_EXCEPTION_FILTER> g_filter{nullptr};
std::atomic<bool>                          g_handlerInstalled{false};
std::mutex                                 g_installMutex;
// The thread inside the filter, so that a fault of the filter itself ends
// the process instead of calling the filter again.
std::atomic<DWORD>                         g_filteringThread{0};

void endAsUnhandled(int signalNumber)
{
    struct sigaction dfl;
    memset(&dfl, 0, sizeof dfl);
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    sigaction(signalNumber, &dfl, nullptr);
    // Pending until the handler returns; a fault would also recur at once.
    raise(signalNumber);
}

void onFault(int signalNumber, siginfo_t* info, void* userContext)
{
    int savedErrno = errno;
    DWORD self = GetCurrentThreadId();
    LPTOP_LEVEL_EXCEPTION_FILTER filter = g_filter.load();
    if (filter == nullptr || g_filteringThread.load() == self) {
        endAsUnhandled(signalNumber);
        return;
    }
    EXCEPTION_RECORD record;
    CONTEXT context;
    if (!kivCompatExceptionFromSignal(signalNumber, info, userContext, &record, &context)) {
        endAsUnhandled(signalNumber);
        return;
    }
    DWORD none = 0;
    bool marked = g_filteringThread.compare_exchange_strong(none, self);
    EXCEPTION_POINTERS pointers = {&record, &context};
    LONG verdict = filter(&pointers);
    if (marked)
        g_filteringThread.store(0);
    if (verdict == EXCEPTION_CONTINUE_EXECUTION) {
        applyContext(&context, static_cast<ucontext_t*>(userContext));
        errno = savedErrno;
        return;
    }
    endAsUnhandled(signalNumber);
}

/* Gives the calling thread an alternate signal stack when it has none. */
void ensureAltStack()
{
    stack_t current;
    if (sigaltstack(nullptr, &current) == 0 && !(current.ss_flags & SS_DISABLE))
        return;
    void* stack = mmap(nullptr, kAltStackSize, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (stack == MAP_FAILED)
        return;
    stack_t alt;
    alt.ss_sp = stack;
    alt.ss_size = kAltStackSize;
    alt.ss_flags = 0;
    if (sigaltstack(&alt, nullptr) != 0)
        munmap(stack, kAltStackSize);
}

void installHandler()
{
    std::lock_guard<std::mutex> lock(g_installMutex);
    ensureAltStack();
    if (g_handlerInstalled.load())
        return;
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_sigaction = onFault;
    sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&sa.sa_mask);
    for (int s : kFaultSignals)
        sigaction(s, &sa, nullptr);
    g_handlerInstalled.store(true);
}

/* ---- Reading memory without faulting ------------------------------------------- */

const size_t kChunks = 64;

size_t pageRest(uintptr_t address)
{
    const uintptr_t page = 4096;
    return static_cast<size_t>(page - (address & (page - 1)));
}

/* Copies through a pipe, which the kernel fills from our memory and reports
 * EFAULT for a bad address instead of faulting: the fallback where the
 * cross-process copy is not allowed. */
size_t copyThroughPipe(uintptr_t from, char* to, size_t size)
{
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
        return 0;
    size_t done = 0;
    while (done < size) {
        size_t n = std::min(size - done, pageRest(from + done));
        ssize_t w = write(fds[1], reinterpret_cast<const void*>(from + done), n);
        if (w < 0 && errno == EINTR)
            continue;
        if (w <= 0)
            break;
        ssize_t r = read(fds[0], to + done, static_cast<size_t>(w));
        if (r != w)
            break;
        done += static_cast<size_t>(w);
    }
    close(fds[0]);
    close(fds[1]);
    return done;
}

/* Copies page by page, so that the count stops exactly at the first page
 * that cannot be read. */
size_t copyFromProcess(pid_t pid, uintptr_t from, char* to, size_t size)
{
    size_t done = 0;
    while (done < size) {
        struct iovec local[kChunks], remote[kChunks];
        size_t count = 0, at = done;
        for (; count < kChunks && at < size; ++count) {
            size_t n = std::min(size - at, pageRest(from + at));
            local[count].iov_base = to + at;
            local[count].iov_len = n;
            remote[count].iov_base = reinterpret_cast<void*>(from + at);
            remote[count].iov_len = n;
            at += n;
        }
        ssize_t got = process_vm_readv(pid, local, count, remote, count, 0);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0 && (errno == ENOSYS || errno == EPERM) && pid == getpid())
            return done + copyThroughPipe(from + done, to + done, size - done);
        if (got <= 0)
            break;
        done += static_cast<size_t>(got);
        if (done < at)
            break;  // stopped at an unreadable page
    }
    return done;
}

/* ---- Mutexes --------------------------------------------------------------------- */

class MutexObject : public KernelObject {
public:
    MutexObject() : KernelObject(ObjectType::Mutex) {}

    DWORD wait(DWORD milliseconds) override
    {
        DWORD self = GetCurrentThreadId();
        std::unique_lock<std::mutex> lock(mutex_);
        if (count_ > 0 && owner_ == self) {
            ++count_;
            return WAIT_OBJECT_0;
        }
        auto isFree = [this] { return count_ == 0; };
        if (milliseconds == INFINITE)
            changed_.wait(lock, isFree);
        else if (!changed_.wait_for(lock, std::chrono::milliseconds(milliseconds), isFree))
            return WAIT_TIMEOUT;
        owner_ = self;
        count_ = 1;
        return WAIT_OBJECT_0;
    }

    // Not named release(): that would hide KernelObject::release(), and an
    // ObjectRef<MutexObject> would then give up ownership instead of its
    // reference, leaking the object and freeing a mutex the thread holds.
    BOOL releaseOwnership()
    {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (count_ == 0 || owner_ != GetCurrentThreadId())
                return fail(ERROR_NOT_OWNER);
            if (--count_ > 0)
                return TRUE;
            owner_ = 0;
        }
        changed_.notify_one();
        return TRUE;
    }

private:
    std::mutex              mutex_;
    std::condition_variable changed_;
    DWORD                   owner_ = 0;
    unsigned long           count_ = 0;
};

/* ---- Memory status ------------------------------------------------------------------ */

/* The value in kB of one "Name:" line of a /proc file, in bytes; 0 when
 * missing.  Read with a buffer on the stack. */
uint64_t procKilobytes(const char* file, const char* name)
{
    int fd = open(file, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return 0;
    char text[8192];
    ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n <= 0)
        return 0;
    text[n] = '\0';
    size_t length = strlen(name);
    for (const char* line = text; line && *line; line = strchr(line, '\n')) {
        if (*line == '\n')
            ++line;
        if (strncmp(line, name, length) == 0 && line[length] == ':')
            return strtoull(line + length + 1, nullptr, 10) * 1024u;
    }
    return 0;
}

SIZE_T clampToSize(uint64_t value)
{
    return value > SIZE_MAX ? SIZE_MAX : static_cast<SIZE_T>(value);
}

} // namespace

extern "C" {

LPTOP_LEVEL_EXCEPTION_FILTER SetUnhandledExceptionFilter(LPTOP_LEVEL_EXCEPTION_FILTER filter)
{
    LPTOP_LEVEL_EXCEPTION_FILTER previous = g_filter.exchange(filter);
    if (filter)
        installHandler();
    return previous;
}

BOOL kivCompatExceptionFromSignal(int signalNumber, const void* signalInfo,
                                  const void* userContext, PEXCEPTION_RECORD record,
                                  PCONTEXT context)
{
    const siginfo_t* info = static_cast<const siginfo_t*>(signalInfo);
    const ucontext_t* u = static_cast<const ucontext_t*>(userContext);
    if (!info || !u || !record || !context)
        return fail(ERROR_INVALID_PARAMETER);
    // Signals another process or thread sent are no faults, except the
    // breakpoint DebugBreak raises.
    if (info->si_code <= 0 && signalNumber != SIGTRAP)
        return fail(ERROR_NOT_SUPPORTED);
    memset(record, 0, sizeof *record);
    memset(context, 0, sizeof *context);
    fillContext(u, context);
    switch (signalNumber) {
    case SIGSEGV:
        record->ExceptionCode = EXCEPTION_ACCESS_VIOLATION;
        accessParameters(info, u, record);
        break;
    case SIGBUS:
        record->ExceptionCode = info->si_code == BUS_ADRALN ? EXCEPTION_DATATYPE_MISALIGNMENT
                                                            : EXCEPTION_IN_PAGE_ERROR;
        if (record->ExceptionCode == EXCEPTION_IN_PAGE_ERROR)
            accessParameters(info, u, record);
        break;
    case SIGFPE:
        record->ExceptionCode = codeOfFpe(info->si_code);
        break;
    case SIGILL:
        record->ExceptionCode = info->si_code == ILL_PRVOPC || info->si_code == ILL_PRVREG
                                    ? EXCEPTION_PRIV_INSTRUCTION
                                    : EXCEPTION_ILLEGAL_INSTRUCTION;
        break;
    case SIGTRAP:
        record->ExceptionCode = info->si_code == TRAP_TRACE ? EXCEPTION_SINGLE_STEP
                                                            : EXCEPTION_BREAKPOINT;
        // Windows reports a breakpoint instruction at its own address; the
        // processor has stepped past it.
        if (info->si_code == SI_KERNEL)
            --contextPC(context);
        break;
    default:
        return fail(ERROR_NOT_SUPPORTED);
    }
    record->ExceptionAddress = reinterpret_cast<PVOID>(contextPC(context));
    return TRUE;
}

BOOL ReadProcessMemory(HANDLE process, LPCVOID baseAddress, LPVOID buffer, SIZE_T size,
                       SIZE_T* bytesRead)
{
    if (bytesRead)
        *bytesRead = 0;
    pid_t pid = 0;
    if (!processIdOf(process, &pid))
        return FALSE;
    if (size == 0)
        return TRUE;
    if (!buffer)
        return fail(ERROR_NOACCESS);
    size_t done = copyFromProcess(pid, reinterpret_cast<uintptr_t>(baseAddress),
                                  static_cast<char*>(buffer), size);
    if (bytesRead)
        *bytesRead = done;
    return done == size ? TRUE : fail(ERROR_PARTIAL_COPY);
}

HANDLE CreateMutexA(LPSECURITY_ATTRIBUTES security, BOOL initialOwner, LPCSTR name)
{
    (void)security;
    if (name && *name) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    MutexObject* mutex = new (std::nothrow) MutexObject;
    if (!mutex) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    if (initialOwner)
        mutex->wait(INFINITE);  // free and new: taken at once
    HANDLE h = handleCreate(mutex);
    if (h)
        SetLastError(ERROR_SUCCESS);
    return h;
}

BOOL ReleaseMutex(HANDLE mutex)
{
    ObjectRef<MutexObject> m = handleLookupAs<MutexObject>(mutex, ObjectType::Mutex);
    if (!m)
        return FALSE;
    return m->releaseOwnership();
}

BOOL GlobalMemoryStatusEx(LPMEMORYSTATUSEX status)
{
    if (!status || status->dwLength != sizeof *status)
        return fail(ERROR_INVALID_PARAMETER);
    struct sysinfo si;
    if (sysinfo(&si) != 0)
        return fail(kivCompatErrnoToWin32(errno));
    uint64_t unit = si.mem_unit ? si.mem_unit : 1;
    uint64_t total = static_cast<uint64_t>(si.totalram) * unit;
    uint64_t avail = procKilobytes("/proc/meminfo", "MemAvailable");
    if (avail == 0 || avail > total)
        avail = static_cast<uint64_t>(si.freeram + si.bufferram) * unit;
    SYSTEM_INFO sys;
    GetSystemInfo(&sys);
    uint64_t space = reinterpret_cast<uintptr_t>(sys.lpMaximumApplicationAddress) -
                     reinterpret_cast<uintptr_t>(sys.lpMinimumApplicationAddress) + 1;
    uint64_t used = procKilobytes("/proc/self/status", "VmSize");
    status->dwMemoryLoad = total ? static_cast<DWORD>(100 - avail * 100 / total) : 0;
    status->ullTotalPhys = total;
    status->ullAvailPhys = avail;
    status->ullTotalPageFile = total + static_cast<uint64_t>(si.totalswap) * unit;
    status->ullAvailPageFile = avail + static_cast<uint64_t>(si.freeswap) * unit;
    status->ullTotalVirtual = space;
    status->ullAvailVirtual = used < space ? space - used : 0;
    status->ullAvailExtendedVirtual = 0;
    return TRUE;
}

void GlobalMemoryStatus(LPMEMORYSTATUS status)
{
    if (!status)
        return;
    MEMORYSTATUSEX ex;
    memset(&ex, 0, sizeof ex);
    ex.dwLength = sizeof ex;
    if (!GlobalMemoryStatusEx(&ex))
        return;
    status->dwLength = sizeof *status;
    status->dwMemoryLoad = ex.dwMemoryLoad;
    status->dwTotalPhys = clampToSize(ex.ullTotalPhys);
    status->dwAvailPhys = clampToSize(ex.ullAvailPhys);
    status->dwTotalPageFile = clampToSize(ex.ullTotalPageFile);
    status->dwAvailPageFile = clampToSize(ex.ullAvailPageFile);
    status->dwTotalVirtual = clampToSize(ex.ullTotalVirtual);
    status->dwAvailVirtual = clampToSize(ex.ullAvailVirtual);
}

} // extern "C"
