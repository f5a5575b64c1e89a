/*
 * kivcompat_dir.h - the Windows directory services on POSIX: directory
 * searches with wildcards, creating and removing directories, moving,
 * copying and linking files, the current directory, full and short path
 * names, the drive map, file information by handle, and the C runtime's
 * file status and mode calls.
 *
 * Windows semantics kept on POSIX:
 * - Paths take "\" or "/" (see compatPath); names of 260 characters or more
 *   give ERROR_FILENAME_EXCED_RANGE (206).  Paths handed out (current
 *   directory, full path names) use the system's own "/".
 * - A search pattern's last component may hold "*" and "?", read as
 *   Windows reads them: "*" is any run of characters, but one right before
 *   a dot never runs past the name's last dot; "?" is one character, or
 *   none where the name has a dot or has ended; a dot before a wildcard or
 *   at the end of the pattern is a dot or the end of the name; "*.*" is
 *   "*".  So "*.*" matches every name, "*." the names without a dot,
 *   "name.*" the name with or without an extension, and "*.txt" not
 *   "a.txt.bak".  Names match without regard to letter case, as on a
 *   Windows file system, whatever the case sensitivity of the file system
 *   underneath.  A last component without wildcards names one entry
 *   exactly, with the file system's own case rules, as every other call of
 *   the subset does.  Names have no 8.3 short forms here, so a pattern
 *   never matches through one.
 * - A search is a snapshot taken by FindFirstFileA: "." and ".." come first
 *   (except in the root, which has neither), then the names in the order of
 *   a case-insensitive comparison, as NTFS returns them.  An entry removed
 *   before FindNextFileA reaches it is left out.
 * - A search handle is not a kernel handle: FindNextFileA and FindClose take
 *   it, CloseHandle refuses it, as on Windows.
 * - Errors: a missing last component gives ERROR_FILE_NOT_FOUND (2) and a
 *   missing directory on the way ERROR_PATH_NOT_FOUND (3); a file where a
 *   directory must be gives ERROR_DIRECTORY (267) when it is the directory
 *   itself (RemoveDirectoryA, SetCurrentDirectoryA, the directory of a
 *   search) and ERROR_PATH_NOT_FOUND when it stands further up the path; a
 *   directory that is not empty gives ERROR_DIR_NOT_EMPTY (145); a name
 *   that exists already gives ERROR_ALREADY_EXISTS (183) to
 *   CreateDirectoryA, MoveFileA and CreateHardLinkA and ERROR_FILE_EXISTS
 *   (80) to CopyFileA.
 * - The read-only attribute is the owner-write permission bit: a read-only
 *   file cannot be replaced by a copy or a move and a read-only directory
 *   cannot be removed (ERROR_ACCESS_DENIED), for every user, as on Windows.
 * - A symbolic link is a reparse point: searches report it with
 *   FILE_ATTRIBUTE_REPARSE_POINT (plus FILE_ATTRIBUTE_DIRECTORY when it
 *   leads to a directory), and RemoveDirectoryA removes a link to a
 *   directory, not the directory it leads to.
 * - CopyFileA copies the contents, the permission bits (so the read-only
 *   attribute) and the access and modification times; a copy that fails
 *   half-way removes what it wrote.
 * - The drive map is that of a single root: drive C: (bit 2), the system
 *   drive of a Windows machine; GetLogicalDriveStringsA names it "/".
 * - _stat64 reports the file's own permission bits, owner and group;
 *   st_size is 0 for a directory, as on Windows.  _chmod applies the given
 *   permission bits; on the part Windows knows (_S_IWRITE, the owner-write
 *   bit, which is the read-only attribute) the effect is the same.  Both set
 *   errno the way the Windows C runtime does (ENOENT for any name that
 *   cannot be found, EACCES when access is refused) and the last error.
 */
#ifndef KIVCOMPAT_DIR_H
#define KIVCOMPAT_DIR_H

#include "kivcompat.h"

#include <sys/stat.h>

#ifndef FILE_ATTRIBUTE_REPARSE_POINT
#  define FILE_ATTRIBUTE_REPARSE_POINT 0x00000400u
#endif

#define MOVEFILE_REPLACE_EXISTING 0x00000001u
#define MOVEFILE_COPY_ALLOWED     0x00000002u

/* Mode bits of the C runtime's file status. */
#ifndef _S_IFMT
#  define _S_IFMT   0xF000
#  define _S_IFDIR  0x4000
#  define _S_IFCHR  0x2000
#  define _S_IFREG  0x8000
#  define _S_IREAD  0x0100
#  define _S_IWRITE 0x0080
#  define _S_IEXEC  0x0040
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _FILETIME {
    DWORD dwLowDateTime;
    DWORD dwHighDateTime;
} FILETIME, *PFILETIME, *LPFILETIME;

typedef struct _WIN32_FIND_DATAA {
    DWORD    dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD    nFileSizeHigh;
    DWORD    nFileSizeLow;
    DWORD    dwReserved0;
    DWORD    dwReserved1;
    CHAR     cFileName[MAX_PATH];
    CHAR     cAlternateFileName[14];
} WIN32_FIND_DATAA, *PWIN32_FIND_DATAA, *LPWIN32_FIND_DATAA;

typedef struct _BY_HANDLE_FILE_INFORMATION {
    DWORD    dwFileAttributes;
    FILETIME ftCreationTime;
    FILETIME ftLastAccessTime;
    FILETIME ftLastWriteTime;
    DWORD    dwVolumeSerialNumber;
    DWORD    nFileSizeHigh;
    DWORD    nFileSizeLow;
    DWORD    nNumberOfLinks;
    DWORD    nFileIndexHigh;
    DWORD    nFileIndexLow;
} BY_HANDLE_FILE_INFORMATION, *PBY_HANDLE_FILE_INFORMATION, *LPBY_HANDLE_FILE_INFORMATION;

/* The C runtime's file status.  The three times keep the names the C
 * library gives them: where <sys/stat.h> spells st_mtime as a member of
 * st_mtim, the record has st_mtim, so `st.st_mtime` reads the same on
 * both platforms. */
struct _stat64 {
    unsigned int   st_dev;
    uint64_t       st_ino;
    unsigned short st_mode;
    short          st_nlink;
    unsigned int   st_uid;
    unsigned int   st_gid;
    unsigned int   st_rdev;
    int64_t        st_size;
#ifdef st_mtime
    struct { int64_t tv_sec; long tv_nsec; } st_atim, st_mtim, st_ctim;
#else
    int64_t        st_atime;
    int64_t        st_mtime;
    int64_t        st_ctime;
#endif
};

KIVCOMPAT_API HANDLE FindFirstFileA(LPCSTR pattern, LPWIN32_FIND_DATAA data);
KIVCOMPAT_API BOOL   FindNextFileA(HANDLE search, LPWIN32_FIND_DATAA data);
KIVCOMPAT_API BOOL   FindClose(HANDLE search);

KIVCOMPAT_API BOOL CreateDirectoryA(LPCSTR path, LPSECURITY_ATTRIBUTES security);
KIVCOMPAT_API BOOL RemoveDirectoryA(LPCSTR path);
KIVCOMPAT_API BOOL MoveFileA(LPCSTR existing, LPCSTR target);
KIVCOMPAT_API BOOL MoveFileExA(LPCSTR existing, LPCSTR target, DWORD flags);
KIVCOMPAT_API BOOL CopyFileA(LPCSTR existing, LPCSTR target, BOOL failIfExists);
KIVCOMPAT_API BOOL CreateHardLinkA(LPCSTR link, LPCSTR existing, LPSECURITY_ATTRIBUTES security);
KIVCOMPAT_API BOOL SetFileAttributesA(LPCSTR path, DWORD attributes);

KIVCOMPAT_API DWORD GetCurrentDirectoryA(DWORD size, LPSTR buffer);
KIVCOMPAT_API BOOL  SetCurrentDirectoryA(LPCSTR path);
KIVCOMPAT_API DWORD GetFullPathNameA(LPCSTR name, DWORD size, LPSTR buffer, LPSTR* filePart);
KIVCOMPAT_API DWORD GetShortPathNameA(LPCSTR longPath, LPSTR shortPath, DWORD size);

KIVCOMPAT_API DWORD GetLogicalDrives(void);
KIVCOMPAT_API DWORD GetLogicalDriveStringsA(DWORD size, LPSTR buffer);

KIVCOMPAT_API BOOL GetFileInformationByHandle(HANDLE file, LPBY_HANDLE_FILE_INFORMATION info);

/* The function shares its name with the record, as in the Windows C
 * runtime; C++ warns that the name hides the record's constructor. */
#if defined(__GNUC__)
#  pragma GCC diagnostic push
#  pragma GCC diagnostic ignored "-Wshadow"
#endif
KIVCOMPAT_API int _stat64(const char* path, struct _stat64* status);
#if defined(__GNUC__)
#  pragma GCC diagnostic pop
#endif
KIVCOMPAT_API int _chmod(const char* path, int mode);

#ifdef __cplusplus
}
#endif

#endif /* KIVCOMPAT_DIR_H */
