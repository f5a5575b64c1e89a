/*
 * kivcompat_security.h - security identifiers, process tokens, the version
 * of the system and the shell folders of the Win32 subset on POSIX.
 *
 * Identity.  A token carries the effective identity of its process (the
 * identity the kernel checks access with, and what `id` prints): the user
 * is S-1-22-1-<uid> and each group S-1-22-2-<gid> (the "Unix user" and
 * "Unix group" authority 22 that Windows file sharing uses for these
 * identities).  Every token also holds Everyone (S-1-1-0), Authenticated
 * Users (S-1-5-11) and Users (S-1-5-32-545).  The superuser (uid 0) is an
 * administrator: its token holds the Administrators alias (S-1-5-32-544),
 * is elevated and runs at high integrity (S-1-16-12288); every other
 * token runs at medium integrity (S-1-16-8192).  Tokens are never split
 * into a filtered and an elevated half (elevation type "default").  The
 * token of another process is read from /proc; the token of a child started
 * with CreateProcessA carries the caller's identity, which the child
 * inherited.
 *
 * Processes.  OpenProcess gives a handle that names a process for token and
 * memory queries (it cannot be waited on).  Asking for more than limited
 * query rights on a process of another user fails with ERROR_ACCESS_DENIED
 * unless the caller is the superuser; a process that does not exist fails
 * with ERROR_INVALID_PARAMETER, as on Windows.
 *
 * Version.  The subset reports itself as Windows NT 5.1 (build 2600,
 * workstation, no suites): a multi-user system with the NT security model,
 * but without what Windows 6 added and the subset does not have (user
 * account control and integrity-filtered tokens, private object
 * namespaces), and without terminal-service sessions (every process meets
 * every other in one object name space).  szCSDVersion holds the kernel's
 * name and release.  A 32-bit process on a 64-bit kernel runs "under
 * WOW64"; GetNativeSystemInfo then reports the x64 architecture.
 *
 * Shell folders.  The all-users application data (CSIDL_COMMON_APPDATA) is
 * /var/lib, where the file system hierarchy keeps the state programs share
 * among users; a user's roaming and local application data are the XDG
 * configuration and data directories, the profile is $HOME.
 */
#ifndef KIVCOMPAT_SECURITY_H
#define KIVCOMPAT_SECURITY_H

#include "kivcompat.h"

#include <sys/types.h>

/* ---- Security identifiers ------------------------------------------------------ */
typedef struct _SID_IDENTIFIER_AUTHORITY {
    BYTE Value[6];
} SID_IDENTIFIER_AUTHORITY, *PSID_IDENTIFIER_AUTHORITY;

typedef struct _SID {
    BYTE                     Revision;
    BYTE                     SubAuthorityCount;
    SID_IDENTIFIER_AUTHORITY IdentifierAuthority;
    DWORD                    SubAuthority[1];
} SID;

#define SID_REVISION                      1
#define SID_MAX_SUB_AUTHORITIES           15
#define SECURITY_MAX_SID_SIZE             (8 + SID_MAX_SUB_AUTHORITIES * 4)

#define SECURITY_NULL_SID_AUTHORITY       {{0, 0, 0, 0, 0, 0}}
#define SECURITY_WORLD_SID_AUTHORITY      {{0, 0, 0, 0, 0, 1}}
#define SECURITY_NT_AUTHORITY             {{0, 0, 0, 0, 0, 5}}
#define SECURITY_MANDATORY_LABEL_AUTHORITY {{0, 0, 0, 0, 0, 16}}
/* Not a Windows name: the authority of Unix users (1) and groups (2). */
#define KIVCOMPAT_UNIX_AUTHORITY          {{0, 0, 0, 0, 0, 22}}
#define KIVCOMPAT_UNIX_USER_RID           1
#define KIVCOMPAT_UNIX_GROUP_RID          2

#define SECURITY_WORLD_RID                0x00000000u
#define SECURITY_AUTHENTICATED_USER_RID   0x0000000Bu
#define SECURITY_BUILTIN_DOMAIN_RID       0x00000020u
#define DOMAIN_ALIAS_RID_ADMINS           0x00000220u
#define DOMAIN_ALIAS_RID_USERS            0x00000221u

#define SECURITY_MANDATORY_UNTRUSTED_RID  0x00000000u
#define SECURITY_MANDATORY_LOW_RID        0x00001000u
#define SECURITY_MANDATORY_MEDIUM_RID     0x00002000u
#define SECURITY_MANDATORY_HIGH_RID       0x00003000u
#define SECURITY_MANDATORY_SYSTEM_RID     0x00004000u

#define SE_GROUP_MANDATORY                0x00000001u
#define SE_GROUP_ENABLED_BY_DEFAULT       0x00000002u
#define SE_GROUP_ENABLED                  0x00000004u
#define SE_GROUP_OWNER                    0x00000008u
#define SE_GROUP_USE_FOR_DENY_ONLY        0x00000010u
#define SE_GROUP_INTEGRITY                0x00000020u
#define SE_GROUP_INTEGRITY_ENABLED        0x00000040u

#define ERROR_INVALID_SID                 1337u
#define ERROR_NO_TOKEN                    1008u
#define ERROR_OLD_WIN_VERSION             1150u

/* ---- Token information ------------------------------------------------------------ */
typedef struct _SID_AND_ATTRIBUTES {
    PSID  Sid;
    DWORD Attributes;
} SID_AND_ATTRIBUTES, *PSID_AND_ATTRIBUTES;

typedef struct _TOKEN_USER {
    SID_AND_ATTRIBUTES User;
} TOKEN_USER, *PTOKEN_USER;

typedef struct _TOKEN_GROUPS {
    DWORD              GroupCount;
    SID_AND_ATTRIBUTES Groups[1];
} TOKEN_GROUPS, *PTOKEN_GROUPS;

typedef struct _TOKEN_PRIMARY_GROUP {
    PSID PrimaryGroup;
} TOKEN_PRIMARY_GROUP, *PTOKEN_PRIMARY_GROUP;

typedef struct _TOKEN_MANDATORY_LABEL {
    SID_AND_ATTRIBUTES Label;
} TOKEN_MANDATORY_LABEL, *PTOKEN_MANDATORY_LABEL;

typedef struct _TOKEN_ELEVATION {
    DWORD TokenIsElevated;
} TOKEN_ELEVATION, *PTOKEN_ELEVATION;

typedef enum _TOKEN_ELEVATION_TYPE {
    TokenElevationTypeDefault = 1,
    TokenElevationTypeFull,
    TokenElevationTypeLimited
} TOKEN_ELEVATION_TYPE, *PTOKEN_ELEVATION_TYPE;

/* ---- Processes --------------------------------------------------------------------- */
#define PROCESS_VM_READ                   0x0010u
#define PROCESS_QUERY_INFORMATION         0x0400u
#define PROCESS_QUERY_LIMITED_INFORMATION 0x1000u

typedef BOOL* PBOOL;

/* ---- Version ----------------------------------------------------------------------- */
#define VER_PLATFORM_WIN32s               0u
#define VER_PLATFORM_WIN32_WINDOWS        1u
#define VER_PLATFORM_WIN32_NT             2u

#define VER_SUITE_SMALLBUSINESS           0x0001u
#define VER_SUITE_ENTERPRISE              0x0002u
#define VER_SUITE_BACKOFFICE              0x0004u
#define VER_SUITE_TERMINAL                0x0010u
#define VER_SUITE_DATACENTER              0x0080u
#define VER_SUITE_SINGLEUSERTS            0x0100u
#define VER_SUITE_PERSONAL                0x0200u

#define VER_NT_WORKSTATION                1u
#define VER_NT_DOMAIN_CONTROLLER          2u
#define VER_NT_SERVER                     3u

#define VER_MINORVERSION                  0x0000001u
#define VER_MAJORVERSION                  0x0000002u
#define VER_BUILDNUMBER                   0x0000004u
#define VER_PLATFORMID                    0x0000008u
#define VER_SERVICEPACKMINOR              0x0000010u
#define VER_SERVICEPACKMAJOR              0x0000020u
#define VER_SUITENAME                     0x0000040u
#define VER_PRODUCT_TYPE                  0x0000080u

#define VER_EQUAL                         1
#define VER_GREATER                       2
#define VER_GREATER_EQUAL                 3
#define VER_LESS                          4
#define VER_LESS_EQUAL                    5
#define VER_AND                           6
#define VER_OR                            7

typedef struct _OSVERSIONINFOA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR  szCSDVersion[128];
} OSVERSIONINFOA, *POSVERSIONINFOA, *LPOSVERSIONINFOA;

typedef struct _OSVERSIONINFOEXA {
    DWORD dwOSVersionInfoSize;
    DWORD dwMajorVersion;
    DWORD dwMinorVersion;
    DWORD dwBuildNumber;
    DWORD dwPlatformId;
    CHAR  szCSDVersion[128];
    WORD  wServicePackMajor;
    WORD  wServicePackMinor;
    WORD  wSuiteMask;
    BYTE  wProductType;
    BYTE  wReserved;
} OSVERSIONINFOEXA, *POSVERSIONINFOEXA, *LPOSVERSIONINFOEXA;

/* ---- Shell folders ------------------------------------------------------------------- */
typedef LONG  HRESULT;
typedef void* HWND;

#define S_OK                              ((HRESULT)0)
#define S_FALSE                           ((HRESULT)1)
#define E_FAIL                            ((HRESULT)0x80004005)
#define E_INVALIDARG                      ((HRESULT)0x80070057)
#define HRESULT_FROM_WIN32(e)             ((HRESULT)((e) == 0 ? 0 : (((e) & 0xFFFFu) | 0x80070000u)))
#define SUCCEEDED(hr)                     (((HRESULT)(hr)) >= 0)
#define FAILED(hr)                        (((HRESULT)(hr)) < 0)

#define CSIDL_APPDATA                     0x001A
#define CSIDL_LOCAL_APPDATA               0x001C
#define CSIDL_COMMON_APPDATA              0x0023
#define CSIDL_PROFILE                     0x0028
#define CSIDL_FLAG_CREATE                 0x8000
#define SHGFP_TYPE_CURRENT                0
#define SHGFP_TYPE_DEFAULT                1

#ifdef __cplusplus
extern "C" {
#endif

KIVCOMPAT_API BOOL  AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE count,
                                             DWORD sub0, DWORD sub1, DWORD sub2, DWORD sub3,
                                             DWORD sub4, DWORD sub5, DWORD sub6, DWORD sub7,
                                             PSID* sid);
KIVCOMPAT_API PVOID FreeSid(PSID sid);
KIVCOMPAT_API BOOL  IsValidSid(PSID sid);
KIVCOMPAT_API DWORD GetLengthSid(PSID sid);
KIVCOMPAT_API BOOL  EqualSid(PSID a, PSID b);
KIVCOMPAT_API BOOL  CopySid(DWORD length, PSID destination, PSID source);
KIVCOMPAT_API PDWORD GetSidSubAuthority(PSID sid, DWORD index);
KIVCOMPAT_API BYTE*  GetSidSubAuthorityCount(PSID sid);
KIVCOMPAT_API PSID_IDENTIFIER_AUTHORITY GetSidIdentifierAuthority(PSID sid);
/* Whether the token's groups (null token: the calling process's) hold the
 * SID enabled. */
KIVCOMPAT_API BOOL  CheckTokenMembership(HANDLE token, PSID sid, PBOOL isMember);

KIVCOMPAT_API HANDLE OpenProcess(DWORD desiredAccess, BOOL inheritHandle, DWORD processId);
KIVCOMPAT_API BOOL   IsWow64Process(HANDLE process, PBOOL wow64);
KIVCOMPAT_API void   GetNativeSystemInfo(LPSYSTEM_INFO info);

KIVCOMPAT_API BOOL      GetVersionExA(LPOSVERSIONINFOA info);
KIVCOMPAT_API ULONGLONG VerSetConditionMask(ULONGLONG conditionMask, DWORD typeMask,
                                            BYTE condition);
KIVCOMPAT_API BOOL      VerifyVersionInfoA(LPOSVERSIONINFOEXA info, DWORD typeMask,
                                           ULONGLONG conditionMask);

KIVCOMPAT_API HRESULT SHGetFolderPathA(HWND owner, int folder, HANDLE token, DWORD flags,
                                       LPSTR path);

#ifdef __cplusplus
}

namespace kivcompat {
/* The process a handle names (the pseudo-handle or one from OpenProcess);
 * false with ERROR_INVALID_HANDLE for anything else. */
KIV_LOCAL bool processIdOf(HANDLE process, pid_t* pid);
/* Whose identity a token opened on `process` carries (see above). */
KIV_LOCAL pid_t tokenOwnerOf(HANDLE process);
/* GetTokenInformation for the classes beyond the session id, for the token
 * of process `pid`. */
KIV_LOCAL BOOL tokenInformation(pid_t pid, TOKEN_INFORMATION_CLASS infoClass, LPVOID info,
                                DWORD infoLength, PDWORD returnLength);
} // namespace kivcompat
#endif

#endif /* KIVCOMPAT_SECURITY_H */
