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
#include <stdio.h>
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
typedef HANDLE*        PHANDLE;
typedef void*          PVOID;
typedef void*          LPVOID;
typedef const void*    LPCVOID;
typedef char*          LPSTR;
typedef const char*    LPCSTR;
typedef DWORD*         LPDWORD;
typedef DWORD*         PDWORD;
typedef LONG*          PLONG;
typedef PVOID          PSID;
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
#define ERROR_BAD_LENGTH              24u
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
#define ERROR_NOT_LOCKED              158u
#define ERROR_BUSY                    170u
#define ERROR_ALREADY_EXISTS          183u
#define ERROR_BAD_EXE_FORMAT          193u
#define ERROR_ENVVAR_NOT_FOUND        203u
#define ERROR_FILENAME_EXCED_RANGE    206u
#define ERROR_FILE_TOO_LARGE          223u
#define ERROR_NO_DATA                 232u
#define ERROR_MORE_DATA               234u
#define WAIT_TIMEOUT                  258u
#define ERROR_DIRECTORY               267u
#define ERROR_NOT_OWNER               288u
#define ERROR_TOO_MANY_POSTS          298u
#define ERROR_PARTIAL_COPY            299u
#define ERROR_INVALID_ADDRESS         487u
#define ERROR_NOACCESS                998u
#define ERROR_IO_DEVICE               1117u
#define ERROR_NO_UNICODE_TRANSLATION  1113u
#define ERROR_INVALID_FLAGS           1004u
#define ERROR_FILE_INVALID            1006u
#define ERROR_MAPPED_ALIGNMENT        1132u
#define ERROR_USER_MAPPED_FILE        1224u
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


/* ---- Kernel objects -------------------------------------------------------
 * A HANDLE is the address of a library-owned object; the library keeps the
 * set of live ones, so a stale or made-up handle is refused with
 * ERROR_INVALID_HANDLE instead of being followed. */
#define DELETE                    0x00010000u
#define READ_CONTROL              0x00020000u
#define SYNCHRONIZE               0x00100000u
#define STANDARD_RIGHTS_REQUIRED  0x000F0000u
#define STANDARD_RIGHTS_READ      READ_CONTROL

#define WAIT_OBJECT_0             0x00000000u
#define WAIT_ABANDONED            0x00000080u
#define WAIT_FAILED               0xFFFFFFFFu

typedef struct _SECURITY_ATTRIBUTES {
    DWORD  nLength;
    LPVOID lpSecurityDescriptor;
    BOOL   bInheritHandle;
} SECURITY_ATTRIBUTES, *PSECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

KIVCOMPAT_API BOOL  CloseHandle(HANDLE handle);
KIVCOMPAT_API DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds);

/* ---- Files ---------------------------------------------------------------- */
#define GENERIC_READ              0x80000000u
#define GENERIC_WRITE             0x40000000u
#define GENERIC_EXECUTE           0x20000000u
#define GENERIC_ALL               0x10000000u
#define FILE_READ_DATA            0x0001u
#define FILE_WRITE_DATA           0x0002u
#define FILE_APPEND_DATA          0x0004u
#define FILE_READ_ATTRIBUTES      0x0080u
#define FILE_WRITE_ATTRIBUTES     0x0100u

#define FILE_SHARE_READ           0x00000001u
#define FILE_SHARE_WRITE          0x00000002u
#define FILE_SHARE_DELETE         0x00000004u

#define CREATE_NEW                1u
#define CREATE_ALWAYS             2u
#define OPEN_EXISTING             3u
#define OPEN_ALWAYS               4u
#define TRUNCATE_EXISTING         5u

#define FILE_ATTRIBUTE_READONLY   0x00000001u
#define FILE_ATTRIBUTE_HIDDEN     0x00000002u
#define FILE_ATTRIBUTE_SYSTEM     0x00000004u
#define FILE_ATTRIBUTE_DIRECTORY  0x00000010u
#define FILE_ATTRIBUTE_ARCHIVE    0x00000020u
#define FILE_ATTRIBUTE_NORMAL     0x00000080u
#define FILE_ATTRIBUTE_TEMPORARY  0x00000100u

#define FILE_FLAG_WRITE_THROUGH      0x80000000u
#define FILE_FLAG_OVERLAPPED         0x40000000u
#define FILE_FLAG_NO_BUFFERING       0x20000000u
#define FILE_FLAG_RANDOM_ACCESS      0x10000000u
#define FILE_FLAG_SEQUENTIAL_SCAN    0x08000000u
#define FILE_FLAG_DELETE_ON_CLOSE    0x04000000u
#define FILE_FLAG_BACKUP_SEMANTICS   0x02000000u

#define INVALID_FILE_SIZE         0xFFFFFFFFu
#define INVALID_SET_FILE_POINTER  0xFFFFFFFFu
#define INVALID_FILE_ATTRIBUTES   0xFFFFFFFFu

#define FILE_BEGIN                0u
#define FILE_CURRENT              1u
#define FILE_END                  2u

#define STD_INPUT_HANDLE          ((DWORD)-10)
#define STD_OUTPUT_HANDLE         ((DWORD)-11)
#define STD_ERROR_HANDLE          ((DWORD)-12)

#define LOCKFILE_FAIL_IMMEDIATELY 0x1u
#define LOCKFILE_EXCLUSIVE_LOCK   0x2u

typedef struct _OVERLAPPED {
    ULONG_PTR Internal;
    ULONG_PTR InternalHigh;
    union {
        struct { DWORD Offset; DWORD OffsetHigh; };
        PVOID Pointer;
    };
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

KIVCOMPAT_API HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                                 LPSECURITY_ATTRIBUTES security, DWORD creationDisposition,
                                 DWORD flagsAndAttributes, HANDLE templateFile);
KIVCOMPAT_API BOOL  ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read,
                             LPOVERLAPPED overlapped);
KIVCOMPAT_API BOOL  WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
                              LPOVERLAPPED overlapped);
KIVCOMPAT_API DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh,
                                   DWORD moveMethod);
KIVCOMPAT_API BOOL  SetFilePointerEx(HANDLE file, LARGE_INTEGER distance,
                                     PLARGE_INTEGER newPosition, DWORD moveMethod);
KIVCOMPAT_API DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh);
KIVCOMPAT_API BOOL  GetFileSizeEx(HANDLE file, PLARGE_INTEGER size);
KIVCOMPAT_API BOOL  SetEndOfFile(HANDLE file);
KIVCOMPAT_API BOOL  FlushFileBuffers(HANDLE file);
KIVCOMPAT_API BOOL  LockFileEx(HANDLE file, DWORD flags, DWORD reserved, DWORD lengthLow,
                               DWORD lengthHigh, LPOVERLAPPED overlapped);
KIVCOMPAT_API BOOL  UnlockFileEx(HANDLE file, DWORD reserved, DWORD lengthLow,
                                 DWORD lengthHigh, LPOVERLAPPED overlapped);
KIVCOMPAT_API DWORD GetFileAttributesA(LPCSTR fileName);
KIVCOMPAT_API BOOL  DeleteFileA(LPCSTR fileName);
KIVCOMPAT_API HANDLE GetStdHandle(DWORD which);

/* ---- File mappings ---------------------------------------------------------- */
#define PAGE_NOACCESS             0x01u
#define PAGE_READONLY             0x02u
#define PAGE_READWRITE            0x04u
#define PAGE_WRITECOPY            0x08u
#define PAGE_EXECUTE              0x10u
#define PAGE_EXECUTE_READ         0x20u
#define PAGE_EXECUTE_READWRITE    0x40u
#define PAGE_EXECUTE_WRITECOPY    0x80u
#define SEC_RESERVE               0x04000000u
#define SEC_COMMIT                0x08000000u

#define SECTION_QUERY                0x0001u
#define SECTION_MAP_WRITE            0x0002u
#define SECTION_MAP_READ             0x0004u
#define SECTION_MAP_EXECUTE          0x0008u
#define SECTION_EXTEND_SIZE          0x0010u
#define SECTION_MAP_EXECUTE_EXPLICIT 0x0020u
#define SECTION_ALL_ACCESS        (STANDARD_RIGHTS_REQUIRED | SECTION_QUERY | SECTION_MAP_WRITE | \
                                   SECTION_MAP_READ | SECTION_MAP_EXECUTE | SECTION_EXTEND_SIZE)
#define FILE_MAP_COPY             0x0001u
#define FILE_MAP_WRITE            SECTION_MAP_WRITE
#define FILE_MAP_READ             SECTION_MAP_READ
#define FILE_MAP_EXECUTE          SECTION_MAP_EXECUTE_EXPLICIT
#define FILE_MAP_ALL_ACCESS       SECTION_ALL_ACCESS

KIVCOMPAT_API HANDLE CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES security,
                                        DWORD protect, DWORD maximumSizeHigh,
                                        DWORD maximumSizeLow, LPCSTR name);
KIVCOMPAT_API LPVOID MapViewOfFileEx(HANDLE mapping, DWORD desiredAccess, DWORD offsetHigh,
                                     DWORD offsetLow, SIZE_T bytes, LPVOID baseAddress);
KIVCOMPAT_API LPVOID MapViewOfFile(HANDLE mapping, DWORD desiredAccess, DWORD offsetHigh,
                                   DWORD offsetLow, SIZE_T bytes);
KIVCOMPAT_API BOOL   UnmapViewOfFile(LPCVOID baseAddress);
KIVCOMPAT_API BOOL   FlushViewOfFile(LPCVOID baseAddress, SIZE_T bytes);

/* ---- Debugger, event log, C runtime ------------------------------------------ */
KIVCOMPAT_API void OutputDebugStringA(LPCSTR text);
KIVCOMPAT_API void DebugBreak(void);

#define EVENTLOG_SUCCESS          0x0000u
#define EVENTLOG_ERROR_TYPE       0x0001u
#define EVENTLOG_WARNING_TYPE     0x0002u
#define EVENTLOG_INFORMATION_TYPE 0x0004u
#define EVENTLOG_AUDIT_SUCCESS    0x0008u
#define EVENTLOG_AUDIT_FAILURE    0x0010u

KIVCOMPAT_API HANDLE RegisterEventSourceA(LPCSTR serverName, LPCSTR sourceName);
KIVCOMPAT_API BOOL   ReportEventA(HANDLE eventLog, WORD type, WORD category, DWORD eventId,
                                  PSID userSid, WORD stringCount, DWORD dataSize,
                                  LPCSTR* strings, LPVOID rawData);
KIVCOMPAT_API BOOL   DeregisterEventSource(HANDLE eventLog);

KIVCOMPAT_API int        _isatty(int fd);
KIVCOMPAT_API int        _fileno(FILE* stream);
KIVCOMPAT_API __time64_t _time64(__time64_t* out);

/* ---- Identity, tokens, environment ------------------------------------------- */
#define TOKEN_ASSIGN_PRIMARY      0x0001u
#define TOKEN_DUPLICATE           0x0002u
#define TOKEN_IMPERSONATE         0x0004u
#define TOKEN_QUERY               0x0008u
#define TOKEN_QUERY_SOURCE        0x0010u
#define TOKEN_ADJUST_PRIVILEGES   0x0020u
#define TOKEN_ADJUST_GROUPS       0x0040u
#define TOKEN_ADJUST_DEFAULT      0x0080u
#define TOKEN_ADJUST_SESSIONID    0x0100u
#define TOKEN_READ                (STANDARD_RIGHTS_READ | TOKEN_QUERY)
#define TOKEN_ALL_ACCESS          (STANDARD_RIGHTS_REQUIRED | 0x01FFu)

typedef enum _TOKEN_INFORMATION_CLASS {
    TokenUser = 1, TokenGroups, TokenPrivileges, TokenOwner, TokenPrimaryGroup,
    TokenDefaultDacl, TokenSource, TokenType, TokenImpersonationLevel, TokenStatistics,
    TokenRestrictedSids, TokenSessionId, TokenGroupsAndPrivileges, TokenSessionReference,
    TokenSandBoxInert, TokenAuditPolicy, TokenOrigin, TokenElevationType, TokenLinkedToken,
    TokenElevation, TokenHasRestrictions, TokenAccessInformation, TokenVirtualizationAllowed,
    TokenVirtualizationEnabled, TokenIntegrityLevel, TokenUIAccess, TokenMandatoryPolicy,
    TokenLogonSid
} TOKEN_INFORMATION_CLASS, *PTOKEN_INFORMATION_CLASS;

KIVCOMPAT_API BOOL  GetUserNameA(LPSTR buffer, LPDWORD size);
KIVCOMPAT_API BOOL  OpenProcessToken(HANDLE process, DWORD desiredAccess, PHANDLE token);
KIVCOMPAT_API BOOL  GetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass,
                                        LPVOID info, DWORD infoLength, PDWORD returnLength);
KIVCOMPAT_API DWORD GetEnvironmentVariableA(LPCSTR name, LPSTR buffer, DWORD size);
KIVCOMPAT_API BOOL  SetEnvironmentVariableA(LPCSTR name, LPCSTR value);
KIVCOMPAT_API DWORD GetTempPathA(DWORD size, LPSTR buffer);

#ifdef __cplusplus
}
#endif

#include "kivcompat_ipc.h"

#include "kivcompat_thread.h"

#include "kivcompat_dir.h"

#include "kivcompat_proc.h"

#include "kivcompat_sysinfo.h"

#include "kivcompat_trap.h"
#include "kivcompat_dbghelp.h"
#include "kivcompat_security.h"

#endif /* KIVCOMPAT_H */
