/*
 * kivcompat.h - a thin subset of the Win32 API on POSIX.
 *
 * Each call behaves as the Windows call of the same name does for the uses the
 * library makes of it, including the thread's last error: a failing call sets
 * the Windows error number the real call would give (see
 * kivCompatErrnoToWin32), so callers read GetLastError() on both platforms.
 */
#ifndef KIVCOMPAT_H
#define KIVCOMPAT_H

#include "kivbase.h"
#include <time.h>

#ifndef KIVCOMPAT_API
#  define KIVCOMPAT_API KIV_API
#endif

#define WINAPI
#define CALLBACK
#define FALSE 0
#define TRUE  1
#define MAX_PATH 260
#define INFINITE 0xFFFFFFFFu

typedef int            BOOL;
typedef unsigned char  BYTE;
typedef unsigned short WORD;
typedef uint32_t       DWORD;   /* 32 bits on every ABI, as on Windows */
typedef int32_t        LONG;
typedef uint32_t       ULONG;
typedef int64_t        LONGLONG;
typedef uint64_t       ULONGLONG;
typedef uint64_t       DWORD64;
typedef uintptr_t      DWORD_PTR;
typedef uintptr_t      ULONG_PTR;
typedef uintptr_t      SIZE_T;
typedef unsigned int   UINT;
typedef char           CHAR;
typedef void*          HANDLE;
typedef void*          LPVOID;
typedef const void*    LPCVOID;
typedef char*          LPSTR;
typedef const char*    LPCSTR;
typedef DWORD*         LPDWORD;
typedef HANDLE         HMODULE;
typedef HANDLE         HINSTANCE;

#define INVALID_HANDLE_VALUE ((HANDLE)(intptr_t)-1)

typedef union _LARGE_INTEGER {
    struct { DWORD LowPart; LONG HighPart; } u;
    struct { DWORD LowPart; LONG HighPart; };
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

/* Windows system error numbers used by the library. */
#define ERROR_SUCCESS                 0u
#define ERROR_INVALID_FUNCTION        1u
#define ERROR_FILE_NOT_FOUND          2u
#define ERROR_PATH_NOT_FOUND          3u
#define ERROR_TOO_MANY_OPEN_FILES     4u
#define ERROR_ACCESS_DENIED           5u
#define ERROR_INVALID_HANDLE          6u
#define ERROR_NOT_ENOUGH_MEMORY       8u
#define ERROR_OUTOFMEMORY             14u
#define ERROR_NOT_READY               21u
#define ERROR_WRITE_PROTECT           19u
#define ERROR_NOT_SAME_DEVICE         17u
#define ERROR_NO_MORE_FILES           18u
#define ERROR_SHARING_VIOLATION       32u
#define ERROR_LOCK_VIOLATION          33u
#define ERROR_HANDLE_EOF              38u
#define ERROR_HANDLE_DISK_FULL        39u
#define ERROR_NOT_SUPPORTED           50u
#define ERROR_FILE_EXISTS             80u
#define ERROR_CANNOT_MAKE             82u
#define ERROR_INVALID_PARAMETER       87u
#define ERROR_BROKEN_PIPE             109u
#define ERROR_OPEN_FAILED             110u
#define ERROR_BUFFER_OVERFLOW         111u
#define ERROR_DISK_FULL               112u
#define ERROR_CALL_NOT_IMPLEMENTED    120u
#define ERROR_INSUFFICIENT_BUFFER     122u
#define ERROR_INVALID_NAME            123u
#define ERROR_MOD_NOT_FOUND           126u
#define ERROR_PROC_NOT_FOUND          127u
#define ERROR_NEGATIVE_SEEK           131u
#define ERROR_SEEK_ON_DEVICE          132u
#define ERROR_DIR_NOT_EMPTY           145u
#define ERROR_BUSY                    170u
#define ERROR_ALREADY_EXISTS          183u
#define ERROR_BAD_EXE_FORMAT          193u
#define ERROR_ENVVAR_NOT_FOUND        203u
#define ERROR_FILENAME_EXCED_RANGE    206u
#define ERROR_FILE_TOO_LARGE          223u
#define ERROR_NO_DATA                 232u
#define WAIT_TIMEOUT                  258u
#define ERROR_DIRECTORY               267u
#define ERROR_NOT_OWNER               288u
#define ERROR_TOO_MANY_POSTS          298u
#define ERROR_PARTIAL_COPY            299u
#define ERROR_IO_DEVICE               1117u
#define ERROR_NO_UNICODE_TRANSLATION  1113u
#define ERROR_INVALID_FLAGS           1004u
#define ERROR_NO_SYSTEM_RESOURCES     1450u
#define ERROR_TIMEOUT                 1460u
#define ERROR_PRIVILEGE_NOT_HELD      1314u
#define ERROR_CANT_RESOLVE_FILENAME   1921u

#ifdef __cplusplus
extern "C" {
#endif

/* Last error: one word per thread. */
KIVCOMPAT_API DWORD GetLastError(void);
KIVCOMPAT_API void  SetLastError(DWORD error);

/* The one errno-to-Windows table used by every compat call. */
KIVCOMPAT_API DWORD kivCompatErrnoToWin32(int err);
/* Set the last error from errno (or from `err` when non-zero) and return it. */
KIVCOMPAT_API DWORD kivCompatSetLastErrorFromErrno(int err);

/* Processor and system facts. */
#define PROCESSOR_ARCHITECTURE_INTEL 0
#define PROCESSOR_ARCHITECTURE_AMD64 9
#define PROCESSOR_INTEL_PENTIUM      586
typedef struct _SYSTEM_INFO {
    union {
        DWORD dwOemId;
        struct { WORD wProcessorArchitecture; WORD wReserved; };
    };
    DWORD     dwPageSize;
    LPVOID    lpMinimumApplicationAddress;
    LPVOID    lpMaximumApplicationAddress;
    DWORD_PTR dwActiveProcessorMask;
    DWORD     dwNumberOfProcessors;
    DWORD     dwProcessorType;
    DWORD     dwAllocationGranularity;
    WORD      wProcessorLevel;
    WORD      wProcessorRevision;
} SYSTEM_INFO, *LPSYSTEM_INFO;
KIVCOMPAT_API void GetSystemInfo(LPSYSTEM_INFO info);

/* Time. */
typedef struct _SYSTEMTIME {
    WORD wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
} SYSTEMTIME, *LPSYSTEMTIME;
KIVCOMPAT_API void GetLocalTime(LPSYSTEMTIME st);
KIVCOMPAT_API void GetSystemTime(LPSYSTEMTIME st);
KIVCOMPAT_API BOOL QueryPerformanceCounter(LARGE_INTEGER* count);
KIVCOMPAT_API BOOL QueryPerformanceFrequency(LARGE_INTEGER* freq);
KIVCOMPAT_API DWORD GetTickCount(void);
KIVCOMPAT_API void Sleep(DWORD milliseconds);
KIVCOMPAT_API BOOL SwitchToThread(void);

/* Run-time library time functions of the Windows C runtime. */
struct __timeb64 {
    int64_t        time;
    unsigned short millitm;
    short          timezone;
    short          dstflag;
};
typedef int64_t __time64_t;
KIVCOMPAT_API void       _ftime64(struct __timeb64* tb);
KIVCOMPAT_API struct tm* _localtime64(const __time64_t* t);
KIVCOMPAT_API struct tm* _gmtime64(const __time64_t* t);

/* Identity. */
KIVCOMPAT_API DWORD  GetCurrentProcessId(void);
KIVCOMPAT_API DWORD  GetCurrentThreadId(void);
KIVCOMPAT_API HANDLE GetCurrentProcess(void);
KIVCOMPAT_API HANDLE GetCurrentThread(void);

/* Strings of the Windows C runtime. */
KIVCOMPAT_API int _stricmp(const char* a, const char* b);
KIVCOMPAT_API int _strnicmp(const char* a, const char* b, size_t n);

#ifdef __cplusplus
}
#endif

#endif /* KIVCOMPAT_H */
