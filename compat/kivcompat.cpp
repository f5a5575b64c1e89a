/*
 * kivcompat.cpp - base of the Win32 subset on POSIX: last error, the errno
 * table, system facts, time and identity.
 */
#include "kivcompat.h"

#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

namespace {
thread_local DWORD t_lastError = 0;

// Pseudo-handles, as on Windows: -1 for the process, -2 for the thread.
HANDLE const kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
HANDLE const kCurrentThread  = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));

WORD processorLevel()
{
#if defined(__i386__) || defined(__x86_64__)
    unsigned int eax = 1, ebx, ecx, edx;
    __asm__ volatile("cpuid" : "+a"(eax), "=b"(ebx), "=c"(ecx), "=d"(edx));
    unsigned int family = (eax >> 8) & 0xF;
    if (family == 0xF)
        family += (eax >> 20) & 0xFF;
    return static_cast<WORD>(family);
#else
    return 0;
#endif
}
WORD processorRevision()
{
#if defined(__i386__) || defined(__x86_64__)
    unsigned int eax = 1, ebx, ecx, edx;
    __asm__ volatile("cpuid" : "+a"(eax), "=b"(ebx), "=c"(ecx), "=d"(edx));
    unsigned int family = (eax >> 8) & 0xF, model = (eax >> 4) & 0xF;
    if (family == 6 || family == 15)
        model |= ((eax >> 16) & 0xF) << 4;
    return static_cast<WORD>((model << 8) | (eax & 0xF));
#else
    return 0;
#endif
}
} // namespace

extern "C" {

DWORD GetLastError(void) { return t_lastError; }
void SetLastError(DWORD error) { t_lastError = error; }

DWORD kivCompatErrnoToWin32(int err)
{
    switch (err) {
    case 0:            return ERROR_SUCCESS;
    case EPERM:        return ERROR_ACCESS_DENIED;
    case ENOENT:       return ERROR_FILE_NOT_FOUND;
    case ESRCH:        return ERROR_INVALID_HANDLE;
    case EINTR:        return ERROR_OPEN_FAILED;
    case EIO:          return ERROR_IO_DEVICE;
    case ENXIO:        return ERROR_NOT_READY;
    case E2BIG:        return ERROR_INVALID_PARAMETER;
    case ENOEXEC:      return ERROR_BAD_EXE_FORMAT;
    case EBADF:        return ERROR_INVALID_HANDLE;
    case ECHILD:       return ERROR_INVALID_HANDLE;
    case EAGAIN:       return ERROR_NO_SYSTEM_RESOURCES;
    case ENOMEM:       return ERROR_NOT_ENOUGH_MEMORY;
    case EACCES:       return ERROR_ACCESS_DENIED;
    case EFAULT:       return ERROR_INVALID_PARAMETER;
    case EBUSY:        return ERROR_BUSY;
    case EEXIST:       return ERROR_FILE_EXISTS;
    case EXDEV:        return ERROR_NOT_SAME_DEVICE;
    case ENODEV:       return ERROR_NOT_READY;
    case ENOTDIR:      return ERROR_PATH_NOT_FOUND;
    case EISDIR:       return ERROR_ACCESS_DENIED;
    case EINVAL:       return ERROR_INVALID_PARAMETER;
    case ENFILE:       return ERROR_TOO_MANY_OPEN_FILES;
    case EMFILE:       return ERROR_TOO_MANY_OPEN_FILES;
    case ETXTBSY:      return ERROR_SHARING_VIOLATION;
    case EFBIG:        return ERROR_FILE_TOO_LARGE;
    case ENOSPC:       return ERROR_DISK_FULL;
    case ESPIPE:       return ERROR_SEEK_ON_DEVICE;
    case EROFS:        return ERROR_WRITE_PROTECT;
    case EMLINK:       return ERROR_CANNOT_MAKE;
    case EPIPE:        return ERROR_BROKEN_PIPE;
    case ERANGE:       return ERROR_INSUFFICIENT_BUFFER;
    case EDEADLK:      return ERROR_LOCK_VIOLATION;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case ENOLCK:       return ERROR_LOCK_VIOLATION;
    case ENOSYS:       return ERROR_NOT_SUPPORTED;
    case ENOTEMPTY:    return ERROR_DIR_NOT_EMPTY;
    case ELOOP:        return ERROR_CANT_RESOLVE_FILENAME;
    case EOVERFLOW:    return ERROR_FILE_TOO_LARGE;
    case ETIMEDOUT:    return WAIT_TIMEOUT;
    case EOPNOTSUPP:   return ERROR_NOT_SUPPORTED;
    case EDQUOT:       return ERROR_DISK_FULL;
    default:           return ERROR_INVALID_FUNCTION;
    }
}

DWORD kivCompatSetLastErrorFromErrno(int err)
{
    DWORD w = kivCompatErrnoToWin32(err ? err : errno);
    t_lastError = w;
    return w;
}

void GetSystemInfo(LPSYSTEM_INFO info)
{
    if (!info)
        return;
    memset(info, 0, sizeof *info);
#if defined(__x86_64__)
    info->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_AMD64;
#else
    info->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_INTEL;
#endif
    long page = sysconf(_SC_PAGESIZE);
    info->dwPageSize = page > 0 ? static_cast<DWORD>(page) : 4096u;
    info->lpMinimumApplicationAddress = reinterpret_cast<LPVOID>(static_cast<uintptr_t>(0x10000));
    info->lpMaximumApplicationAddress =
        reinterpret_cast<LPVOID>(sizeof(void*) == 4 ? static_cast<uintptr_t>(0xBFFEFFFFu)
                                                    : static_cast<uintptr_t>(0x7FFFFFFEFFFFull));
    long n = sysconf(_SC_NPROCESSORS_ONLN);
    if (n < 1)
        n = 1;
    info->dwNumberOfProcessors = static_cast<DWORD>(n);
    for (long i = 0; i < n && i < static_cast<long>(8 * sizeof(DWORD_PTR)); ++i)
        info->dwActiveProcessorMask |= static_cast<DWORD_PTR>(1) << i;
    info->dwProcessorType = PROCESSOR_INTEL_PENTIUM;
    info->dwAllocationGranularity = 65536;
    info->wProcessorLevel = processorLevel();
    info->wProcessorRevision = processorRevision();
}

static void fillSystemTime(LPSYSTEMTIME st, bool local)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    time_t secs = ts.tv_sec;
    struct tm tmv;
    if (local)
        localtime_r(&secs, &tmv);
    else
        gmtime_r(&secs, &tmv);
    st->wYear = static_cast<WORD>(tmv.tm_year + 1900);
    st->wMonth = static_cast<WORD>(tmv.tm_mon + 1);
    st->wDayOfWeek = static_cast<WORD>(tmv.tm_wday);
    st->wDay = static_cast<WORD>(tmv.tm_mday);
    st->wHour = static_cast<WORD>(tmv.tm_hour);
    st->wMinute = static_cast<WORD>(tmv.tm_min);
    st->wSecond = static_cast<WORD>(tmv.tm_sec);
    st->wMilliseconds = static_cast<WORD>(ts.tv_nsec / 1000000);
}

void GetLocalTime(LPSYSTEMTIME st) { if (st) fillSystemTime(st, true); }
void GetSystemTime(LPSYSTEMTIME st) { if (st) fillSystemTime(st, false); }

// The counter is CLOCK_MONOTONIC in nanoseconds: frequency 1e9.
BOOL QueryPerformanceCounter(LARGE_INTEGER* count)
{
    if (!count) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    count->QuadPart = static_cast<LONGLONG>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
    return TRUE;
}

BOOL QueryPerformanceFrequency(LARGE_INTEGER* freq)
{
    if (!freq) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    freq->QuadPart = 1000000000LL;
    return TRUE;
}

DWORD GetTickCount(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<DWORD>(static_cast<uint64_t>(ts.tv_sec) * 1000u +
                              static_cast<uint64_t>(ts.tv_nsec) / 1000000u);
}

void Sleep(DWORD milliseconds)
{
    if (milliseconds == 0) {
        sched_yield();
        return;
    }
    if (milliseconds == INFINITE) {
        for (;;)
            pause();
    }
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(milliseconds / 1000u);
    ts.tv_nsec = static_cast<long>(milliseconds % 1000u) * 1000000L;
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

BOOL SwitchToThread(void)
{
    sched_yield();
    return TRUE;
}

void _ftime64(struct __timeb64* tb)
{
    if (!tb)
        return;
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    tb->time = static_cast<int64_t>(ts.tv_sec);
    tb->millitm = static_cast<unsigned short>(ts.tv_nsec / 1000000);
    time_t secs = ts.tv_sec;
    struct tm tmv;
    localtime_r(&secs, &tmv);
    tb->timezone = static_cast<short>(-tmv.tm_gmtoff / 60);
    tb->dstflag = static_cast<short>(tmv.tm_isdst > 0);
}

// The Windows runtime keeps one result per thread; so do we.
static thread_local struct tm t_tm;

struct tm* _localtime64(const __time64_t* t)
{
    if (!t || *t < 0) {
        errno = EINVAL;
        return nullptr;
    }
    time_t secs = static_cast<time_t>(*t);
    if (static_cast<__time64_t>(secs) != *t) {
        errno = EINVAL; // beyond what time_t holds on this ABI
        return nullptr;
    }
    return localtime_r(&secs, &t_tm);
}

struct tm* _gmtime64(const __time64_t* t)
{
    if (!t || *t < 0) {
        errno = EINVAL;
        return nullptr;
    }
    time_t secs = static_cast<time_t>(*t);
    if (static_cast<__time64_t>(secs) != *t) {
        errno = EINVAL;
        return nullptr;
    }
    return gmtime_r(&secs, &t_tm);
}

DWORD GetCurrentProcessId(void) { return static_cast<DWORD>(getpid()); }
DWORD GetCurrentThreadId(void) { return static_cast<DWORD>(syscall(SYS_gettid)); }
HANDLE GetCurrentProcess(void) { return kCurrentProcess; }
HANDLE GetCurrentThread(void) { return kCurrentThread; }

int _stricmp(const char* a, const char* b) { return strcasecmp(a, b); }
int _strnicmp(const char* a, const char* b, size_t n) { return strncasecmp(a, b, n); }

} // extern "C"
