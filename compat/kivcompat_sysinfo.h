/*
 * kivcompat_sysinfo.h - the Windows system queries on POSIX (Linux): the
 * machine's name, processor affinity, the commit charge and the paging
 * files, the file systems and their volumes, the system directory, the
 * few registry values that describe the processors, and the paging-file
 * counter of the performance data helper.
 *
 * Every answer is read from the running system (uname, /proc, /sys,
 * statvfs, sched_getaffinity), so the figures are those of the machine;
 * where Windows has a figure Linux does not keep, the nearest one that
 * Linux does keep is given and named below.
 *
 * The version of the system and the machine's processor architecture
 * (GetVersionExA, GetNativeSystemInfo) are kivcompat_security.h's, the
 * memory status (GlobalMemoryStatusEx) is kivcompat_trap.h's.
 *
 * Commit charge.  GetPerformanceInfo counts in pages: the commit limit is
 * RAM plus swap space, as Windows counts its page files on top of RAM; the
 * charge is Committed_AS of /proc/meminfo, available memory MemAvailable;
 * the kernel's figures are its slab (paged: reclaimable, non-paged: the
 * rest, with page tables and kernel stacks); the handle count is the
 * system's count of open files, the thread count that of /proc/loadavg.
 * Linux keeps no peak of the commit charge: the current one is given.
 *
 * Performance counters.  The one counter known is
 * "\Paging File(_Total)\% Usage": the used share of all swap areas of
 * /proc/swaps when the query collects its data, 0 when there are none.
 * Any other counter path gives PDH_CSTATUS_NO_OBJECT.
 *
 * Volumes.  A volume is a mounted file system (/proc/self/mounts); its root
 * is its mount point.  Like Windows, GetVolumeInformationA and
 * GetDriveTypeA want the root of a volume (any other directory gives
 * ERROR_DIR_NOT_ROOT and DRIVE_NO_ROOT_DIR; null names the volume of the
 * current directory), and GetVolumePathNameA finds
 * the root of the volume that holds any path, existing or not.  The volume
 * name is the mounted device (the mount's source), the serial number the
 * low 32 bits of the device number (as GetFileInformationByHandle reports
 * it for files of the volume), the file-system name the mount's type.
 * Drive types: network file systems are DRIVE_REMOTE, tmpfs and ramfs
 * DRIVE_RAMDISK, iso9660 and udf DRIVE_CDROM, a block device the kernel
 * calls removable DRIVE_REMOVABLE, the kernel's own pseudo file systems
 * (proc, sysfs, cgroup, ...) DRIVE_UNKNOWN, everything else DRIVE_FIXED.
 * GetDiskFreeSpaceExA wants a directory, as on Windows (a file gives
 * ERROR_DIRECTORY); the space free to the caller leaves out the blocks
 * reserved for the super-user.  There is no volume name other than the
 * mount point: GetVolumeNameForVolumeMountPointA answers a mount point
 * with itself and anything else with ERROR_NOT_A_REPARSE_POINT.
 *
 * System directory.  The directory of the C library, where the system's
 * shared libraries live, as the Windows system directory holds its DLLs.
 *
 * Registry.  Only the processor descriptions are there:
 * HKEY_LOCAL_MACHINE\HARDWARE\DESCRIPTION\System\CentralProcessor\<n> for
 * each processor n of /proc/cpuinfo, with "~MHz" (REG_DWORD, the clock
 * /proc/cpuinfo reports, rounded), "ProcessorNameString" and
 * "VendorIdentifier" (REG_SZ).  Key and value names match without regard
 * to letter case.  Every other key is ERROR_FILE_NOT_FOUND.  Registry calls
 * return their error; they do not set the last error.
 *
 * System libraries.  LoadLibrary knows only shared objects, so the
 * functions that Windows code looks up by name in "KERNEL32", "ntdll",
 * "Psapi" and "pdh" are found through kivCompatSystemProc.
 */
#ifndef KIVCOMPAT_SYSINFO_H
#define KIVCOMPAT_SYSINFO_H

#include "kivcompat.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- Machine ------------------------------------------------------------------- */
/* The machine's host name (the kernel's node name), NUL-terminated.  *size
 * is the buffer's size in and the name's length out; a buffer too small
 * gives ERROR_BUFFER_OVERFLOW with *size set to the size needed. */
KIVCOMPAT_API BOOL GetComputerNameA(LPSTR buffer, LPDWORD size);

/* Affinity of the current process and thread (the pseudo-handles and the
 * handles of the calling process and thread only; others give
 * ERROR_INVALID_HANDLE).  A mask holds the first 8 * sizeof(DWORD_PTR)
 * processors. */
KIVCOMPAT_API BOOL      GetProcessAffinityMask(HANDLE process, DWORD_PTR* processMask,
                                               DWORD_PTR* systemMask);
KIVCOMPAT_API DWORD_PTR SetThreadAffinityMask(HANDLE thread, DWORD_PTR mask);

/* The system directory; the return value is as GetCurrentDirectoryA's. */
KIVCOMPAT_API UINT GetSystemDirectoryA(LPSTR buffer, UINT size);

/* ---- Memory ------------------------------------------------------------------ */
typedef struct _PERFORMANCE_INFORMATION {
    DWORD  cb;
    SIZE_T CommitTotal;
    SIZE_T CommitLimit;
    SIZE_T CommitPeak;
    SIZE_T PhysicalTotal;
    SIZE_T PhysicalAvailable;
    SIZE_T SystemCache;
    SIZE_T KernelTotal;
    SIZE_T KernelPaged;
    SIZE_T KernelNonpaged;
    SIZE_T PageSize;
    DWORD  HandleCount;
    DWORD  ProcessCount;
    DWORD  ThreadCount;
} PERFORMANCE_INFORMATION, *PPERFORMANCE_INFORMATION;

/* size must be at least sizeof(PERFORMANCE_INFORMATION)
 * (ERROR_BAD_LENGTH). */
KIVCOMPAT_API BOOL GetPerformanceInfo(PPERFORMANCE_INFORMATION info, DWORD size);

/* ---- Performance data helper --------------------------------------------------- */
typedef LONG   PDH_STATUS;
typedef HANDLE PDH_HQUERY;
typedef HANDLE PDH_HCOUNTER;

#define PDH_FMT_LONG              0x00000100u
#define PDH_FMT_DOUBLE            0x00000200u
#define PDH_FMT_LARGE             0x00000400u
#define PDH_CSTATUS_VALID_DATA    0x00000000
#define PDH_CSTATUS_NO_OBJECT     ((PDH_STATUS)0xC0000BB8u)
#define PDH_INVALID_ARGUMENT      ((PDH_STATUS)0xC0000BBDu)
#define PDH_INVALID_HANDLE        ((PDH_STATUS)0xC0000BBCu)
#define PDH_INVALID_DATA          ((PDH_STATUS)0xC0000BC6u)
#define PDH_NO_DATA               ((PDH_STATUS)0x800007D5u)

typedef struct _PDH_FMT_COUNTERVALUE {
    DWORD CStatus;
    union {
        LONG     longValue;
        double   doubleValue;
        LONGLONG largeValue;
        LPCSTR   AnsiStringValue;
    };
} PDH_FMT_COUNTERVALUE, *PPDH_FMT_COUNTERVALUE;

/* The data source must be null (live data). */
KIVCOMPAT_API PDH_STATUS PdhOpenQueryA(LPCSTR dataSource, DWORD_PTR userData, PDH_HQUERY* query);
KIVCOMPAT_API PDH_STATUS PdhAddCounterA(PDH_HQUERY query, LPCSTR counterPath, DWORD_PTR userData,
                                        PDH_HCOUNTER* counter);
KIVCOMPAT_API PDH_STATUS PdhCollectQueryData(PDH_HQUERY query);
/* PDH_INVALID_DATA before the query has collected its data. */
KIVCOMPAT_API PDH_STATUS PdhGetFormattedCounterValue(PDH_HCOUNTER counter, DWORD format,
                                                     LPDWORD type, PPDH_FMT_COUNTERVALUE value);
/* Closes the query and every counter added to it. */
KIVCOMPAT_API PDH_STATUS PdhCloseQuery(PDH_HQUERY query);

/* ---- Volumes ------------------------------------------------------------------- */
#define DRIVE_UNKNOWN     0u
#define DRIVE_NO_ROOT_DIR 1u
#define DRIVE_REMOVABLE   2u
#define DRIVE_FIXED       3u
#define DRIVE_REMOTE      4u
#define DRIVE_CDROM       5u
#define DRIVE_RAMDISK     6u

#define FILE_CASE_SENSITIVE_SEARCH 0x00000001u
#define FILE_CASE_PRESERVED_NAMES  0x00000002u
#define FILE_READ_ONLY_VOLUME      0x00080000u

#define ERROR_DIR_NOT_ROOT         144u
#define ERROR_NOT_A_REPARSE_POINT  4390u

typedef union _ULARGE_INTEGER {
    struct { DWORD LowPart; DWORD HighPart; } u;
    struct { DWORD LowPart; DWORD HighPart; };
    ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

/* Sizes of the volume that holds the directory (null: the current one). */
KIVCOMPAT_API BOOL GetDiskFreeSpaceExA(LPCSTR directory, PULARGE_INTEGER freeToCaller,
                                       PULARGE_INTEGER totalBytes, PULARGE_INTEGER totalFree);
KIVCOMPAT_API BOOL GetVolumeInformationA(LPCSTR root, LPSTR volumeName, DWORD volumeNameSize,
                                         LPDWORD serialNumber, LPDWORD maxComponentLength,
                                         LPDWORD fileSystemFlags, LPSTR fileSystemName,
                                         DWORD fileSystemNameSize);
KIVCOMPAT_API UINT GetDriveTypeA(LPCSTR root);
/* The mount point of the volume holding `path`, ending in "/". */
KIVCOMPAT_API BOOL GetVolumePathNameA(LPCSTR path, LPSTR volumePath, DWORD size);
KIVCOMPAT_API BOOL GetVolumeNameForVolumeMountPointA(LPCSTR mountPoint, LPSTR volumeName,
                                                     DWORD size);

/* ---- Registry ------------------------------------------------------------------ */
typedef struct KIVCompatRegKey* HKEY;
typedef HKEY*  PHKEY;
typedef DWORD  REGSAM;
typedef BYTE*  LPBYTE;

#define HKEY_CLASSES_ROOT     ((HKEY)(ULONG_PTR)0x80000000u)
#define HKEY_CURRENT_USER     ((HKEY)(ULONG_PTR)0x80000001u)
#define HKEY_LOCAL_MACHINE    ((HKEY)(ULONG_PTR)0x80000002u)
#define HKEY_USERS            ((HKEY)(ULONG_PTR)0x80000003u)

#define KEY_QUERY_VALUE       0x0001u
#define KEY_ENUMERATE_SUB_KEYS 0x0008u
#define KEY_NOTIFY            0x0010u
#define KEY_WOW64_64KEY       0x0100u
#define KEY_WOW64_32KEY       0x0200u
#define KEY_READ              0x00020019u

#define REG_NONE              0u
#define REG_SZ                1u
#define REG_BINARY            3u
#define REG_DWORD             4u
#define REG_MULTI_SZ          7u

KIVCOMPAT_API LONG RegOpenKeyExA(HKEY key, LPCSTR subKey, DWORD options, REGSAM access,
                                 PHKEY result);
KIVCOMPAT_API LONG RegQueryValueExA(HKEY key, LPCSTR valueName, LPDWORD reserved, LPDWORD type,
                                    LPBYTE data, LPDWORD dataSize);
KIVCOMPAT_API LONG RegCloseKey(HKEY key);

/* ---- System libraries ------------------------------------------------------------ */
/* As kivcompat_proc.h has it; repeated so this header stands on its own
 * whichever of the two is read first. */
typedef intptr_t (*FARPROC)(void);

/* The subset's own implementation of `function` of the system library
 * `module` ("KERNEL32", "ntdll", "Psapi", "pdh", with or without ".dll",
 * any letter case), or null with ERROR_MOD_NOT_FOUND or
 * ERROR_PROC_NOT_FOUND. */
KIVCOMPAT_API FARPROC kivCompatSystemProc(LPCSTR module, LPCSTR function);

#ifdef __cplusplus
}
#endif

#endif /* KIVCOMPAT_SYSINFO_H */
