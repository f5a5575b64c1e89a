/*
 * kivcompat_proc.h - the Windows process and module services on POSIX:
 * starting programs from a command line, waiting for them and reading
 * their exit codes, ending the calling process; loading shared libraries,
 * looking up their functions and naming loaded modules.
 *
 * Processes.  CreateProcessA starts the program with posix_spawn.  The
 * command line is taken apart again by the rules a Windows C runtime
 * applies to its own command line (blanks separate arguments, double
 * quotes group them, backslashes are literal except in front of a double
 * quote, a doubled quote inside quotes stands for one), so the child's argv
 * holds what a Windows child would see.  The process handle is a kernel
 * object of the handle model: it becomes signalled when the child ends and
 * keeps the exit code for every handle and every later wait.  Children are
 * reaped as soon as they end, whether anyone waits for them or not, so a
 * child whose handles were closed at once leaves no zombie behind.
 *
 * Modules.  An HMODULE is the address at which the module is mapped, as on
 * Windows: the address dladdr reports as the base of every symbol of the
 * module.  A module name without a directory is looked for first in the
 * directory of the executable (where Windows looks first), then by the
 * dynamic loader's own search; a name in the Windows form "name.dll" is
 * also tried as "libname.so" and "name.so".
 */
#ifndef KIVCOMPAT_PROC_H
#define KIVCOMPAT_PROC_H

#include "kivcompat.h"

#ifndef STILL_ACTIVE
#  define STILL_ACTIVE 259u
#endif

/* Creation flags. */
#define DETACHED_PROCESS           0x00000008u
#define CREATE_NEW_CONSOLE         0x00000010u
#define NORMAL_PRIORITY_CLASS      0x00000020u
#define CREATE_NEW_PROCESS_GROUP   0x00000200u
#define CREATE_UNICODE_ENVIRONMENT 0x00000400u
#define CREATE_NO_WINDOW           0x08000000u

/* Start-up information flags and show states. */
#define STARTF_USESHOWWINDOW       0x00000001u
#define STARTF_USESTDHANDLES       0x00000100u
#define SW_HIDE                    0
#define SW_SHOWNORMAL              1

/* LoadLibraryExA flags. */
#define DONT_RESOLVE_DLL_REFERENCES    0x00000001u
#define LOAD_LIBRARY_AS_DATAFILE       0x00000002u
#define LOAD_WITH_ALTERED_SEARCH_PATH  0x00000008u
#define LOAD_IGNORE_CODE_AUTHZ_LEVEL   0x00000010u

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _STARTUPINFOA {
    DWORD  cb;
    LPSTR  lpReserved;
    LPSTR  lpDesktop;
    LPSTR  lpTitle;
    DWORD  dwX;
    DWORD  dwY;
    DWORD  dwXSize;
    DWORD  dwYSize;
    DWORD  dwXCountChars;
    DWORD  dwYCountChars;
    DWORD  dwFillAttribute;
    DWORD  dwFlags;
    WORD   wShowWindow;
    WORD   cbReserved2;
    BYTE*  lpReserved2;
    HANDLE hStdInput;
    HANDLE hStdOutput;
    HANDLE hStdError;
} STARTUPINFOA, *LPSTARTUPINFOA;

typedef struct _PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD  dwProcessId;
    DWORD  dwThreadId;
} PROCESS_INFORMATION, *LPPROCESS_INFORMATION;

/* An exported function of a module, as GetProcAddress returns it. */
typedef intptr_t (*FARPROC)(void);

/* Starts a program.  applicationName (no search) or else the first word of
 * commandLine (searched: the executable's directory, the current
 * directory, then PATH) names it; ".exe" at the end of a name that is not
 * found is also tried without it.  The process and thread attributes are
 * ignored; inheritHandles false closes every descriptor but the standard
 * streams in the child.  DETACHED_PROCESS puts the child in a session of
 * its own, away from the caller's terminal; CREATE_NEW_CONSOLE and
 * CREATE_NO_WINDOW are accepted and change nothing.  environment is a
 * block of NAME=VALUE strings closed by an empty one (null: the caller's).
 * The standard handles of the start-up information are not used.  A
 * missing program is ERROR_FILE_NOT_FOUND (ERROR_PATH_NOT_FOUND when its
 * directory is missing), a file that is no program ERROR_BAD_EXE_FORMAT. */
KIVCOMPAT_API BOOL CreateProcessA(LPCSTR applicationName, LPSTR commandLine,
                                  LPSECURITY_ATTRIBUTES processAttributes,
                                  LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles,
                                  DWORD creationFlags, LPVOID environment,
                                  LPCSTR currentDirectory, LPSTARTUPINFOA startupInfo,
                                  LPPROCESS_INFORMATION processInformation);
/* STILL_ACTIVE while the process runs, then its exit code.  A child ended
 * by a signal reads as the code a Windows process ended by the matching
 * fault would have. */
KIVCOMPAT_API BOOL GetExitCodeProcess(HANDLE process, LPDWORD exitCode);
/* Ends the calling process with the exit code, running the exit handlers. */
KIVCOMPAT_API void ExitProcess(UINT exitCode) __attribute__((noreturn));

/* file must be null.  A library's imports are bound when it loads, unless
 * DONT_RESOLVE_DLL_REFERENCES or LOAD_LIBRARY_AS_DATAFILE defer that to
 * their first use; its initialisers run in every case.  A missing library
 * (or a missing library it depends on) is ERROR_MOD_NOT_FOUND, a file that
 * is no shared object of this machine ERROR_BAD_EXE_FORMAT, a function it
 * imports that no library exports ERROR_PROC_NOT_FOUND. */
KIVCOMPAT_API HMODULE LoadLibraryExA(LPCSTR fileName, HANDLE file, DWORD flags);
KIVCOMPAT_API HMODULE LoadLibraryA(LPCSTR fileName);
/* Only functions the module itself exports are found, never those of the
 * libraries it depends on (ERROR_PROC_NOT_FOUND). */
KIVCOMPAT_API FARPROC GetProcAddress(HMODULE module, LPCSTR procName);
KIVCOMPAT_API BOOL    FreeLibrary(HMODULE module);
/* null: the main program.  Does not count a load. */
KIVCOMPAT_API HMODULE GetModuleHandleA(LPCSTR moduleName);
/* The full path of a loaded module (null: the main program), truncated to
 * size - 1 characters with ERROR_INSUFFICIENT_BUFFER when it does not fit;
 * returns the number of characters written without the terminator. */
KIVCOMPAT_API DWORD GetModuleFileNameA(HMODULE module, LPSTR fileName, DWORD size);

#ifdef __cplusplus
}
#endif

#endif /* KIVCOMPAT_PROC_H */
