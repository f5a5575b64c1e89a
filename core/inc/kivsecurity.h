/*
 * kivsecurity.h - what the library runs on and with which rights: the
 * platform flags fixed at load, process token queries, the processor facts
 * and the all-users application-data folder.
 *
 *   bool admin = false, filtered = false;
 *   if (kivDoesProcessHaveLocalAdminSID(GetCurrentProcessId(), &admin) == 0 && admin &&
 *       kivIsProcessRunningWithFilteredToken(GetCurrentProcessId(), &filtered) == 0 && filtered)
 *       ...   // an administrator, not elevated: ask for elevation
 *
 * The flags describe Windows releases.  Where the library runs on its POSIX
 * subset, the system reports itself as Windows NT 5.1 without terminal
 * services (see compat/kivcompat_security.h): Win32OnNT, Win2k and WinXP
 * are set, the Windows 95 family, Win2k3, Vista, Longhorn and the
 * terminal-service flags are not.
 */
#ifndef KIVSECURITY_H
#define KIVSECURITY_H

#include "kivbase.h"
#include "kivos.h"

#ifdef __cplusplus
extern "C" {
#endif

/* ---- platform flags: 0 or 1, set once when the library is loaded ------------------- */
KIV_API extern Uint32 g_bIsPlatformID_Win32On95;  /* not an NT system (Windows 95 family) */
KIV_API extern Uint32 g_bIsPlatformID_Win98;      /* 95 family, minor version 10 */
KIV_API extern Uint32 g_bIsPlatformID_WinMe;      /* 95 family, minor version 90 */
KIV_API extern Uint32 g_bIsPlatformID_Win32OnNT;  /* NT */
KIV_API extern Uint32 g_bIsPlatformID_Win2k;      /* NT 5 and later */
KIV_API extern Uint32 g_bIsPlatformID_WinXP;      /* NT 5.1 and later */
KIV_API extern Uint32 g_bIsPlatformID_Win2k3;     /* NT 5.2 and later */
KIV_API extern Uint32 g_bIsPlatformID_Vista;      /* NT 6 and later */
KIV_API extern Uint32 g_bIsPlatformID_Longhorn;   /* NT 6 and later, not a personal edition */
KIV_API extern Uint32 g_bRunningTerminalService;  /* terminal services present */
KIV_API extern Uint32 g_bRunningTerminalServiceRemoteAdminMode;  /* always the same */

/* The native processor facts ("GetNativeSystemInfo" where the system has
 * it, else "GetSystemInfo"). */
KIV_API Uint32 kivGetSystemInfo(SYSTEM_INFO* info);

/* The all-users application-data folder into buffer (size bytes, with the
 * NUL); ECF_BUFFER_TOO_SMALL leaves the buffer untouched, ECF_FAILED when
 * the shell does not know the folder. */
KIV_API Uint32 kivGetCommonAppDataPath(char* buffer, Uint32 size);

/* The token information of one class in a block from kivMemAlloc, which the
 * caller frees with kivMemFree; *length receives its size. */
KIV_API Uint32 kivGetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass,
                                      void** block, Uint32* length);

/* Whether the process's token holds the local Administrators group, with
 * whatever attributes (a filtered token holds it for denial only). */
KIV_API Uint32 kivDoesProcessHaveLocalAdminSID(Uint32 processId, bool* isAdmin);

/* The mandatory integrity level of the process: 0x2000 medium, 0x3000
 * high, 0x4000 system. */
KIV_API Uint32 kivGetProcessIntegrityLevel(Uint32 processId, Uint32* level);

/* Whether the process is an administrator running below high integrity
 * (user account control gave it the filtered token).  Always false before
 * Windows Vista, without looking at the process. */
KIV_API Uint32 kivIsProcessRunningWithFilteredToken(Uint32 processId, bool* filtered);

#ifdef __cplusplus
}
#endif

#endif /* KIVSECURITY_H */
