/*
 * kivsym.h - serialised access to the platform's debugging help library
 * (stack walks, symbols, module enumeration), a stack collector that needs
 * no symbol library, and the name of a code address.
 *
 * The debugging help library must not be entered by two threads at once.
 * Each wrapper below takes a lock of its own (initialisation and clean-up
 * share one), calls the function of the same name, keeps the platform's
 * error code across the unlock and returns the platform's result
 * unchanged: callers read GetLastError() after a failed call as they would
 * after the platform function itself.
 *
 *   void* where[8];
 *   Uint32 n = kivWalkStackCollect(1, where, 8);   // skip our own frame
 *   char name[261];
 *   Uint64 offset;
 *   for (Uint32 i = 0; i < n; ++i)
 *       if (kivSymbolNameForAddress((Uint64)(uintptr_t)where[i], name, sizeof name, &offset) == 0)
 *           printf("%s+0x%llx\n", name, (unsigned long long)offset);
 *
 * Names of addresses need an initialised symbol handler for the process
 * (kivSymInitialize), which stays initialised for the life of the process.
 */
#ifndef KIVSYM_H
#define KIVSYM_H

#include "kivbase.h"
#include "kivos.h"

#if defined(_WIN32)
#  include <dbghelp.h>
#endif

/* The number of wrapped functions, each with its record in the lock table. */
#define KIV_SYM_FUNCTION_COUNT 20

#ifdef __cplusplus
extern "C" {
#endif

/* ---- the lock table ---------------------------------------------------------- */

/* Creates the locks once (later calls do nothing); with `useLatch` the step
 * runs under the table's process-wide latch.  True when the locks exist. */
KIV_API bool kivLoadSymDLL(bool useLatch);
/* Nothing to release per call: the locks live until the library unloads. */
KIV_API void kivFreeSymDLL(void);
/* The name the table's record `index` carries (null beyond the table). */
KIV_API const char* kivSymFunctionName(Uint32 index);

/* ---- wrappers of the debugging help library -------------------------------------- */

KIV_API PVOID   kivSymFunctionTableAccess(HANDLE process, DWORD64 addrBase);
KIV_API BOOL    kivSymGetModuleInfo(HANDLE process, DWORD64 address,
                                    PIMAGEHLP_MODULE64 moduleInfo);
KIV_API BOOL    kivSymRegisterCallback(HANDLE process, PSYMBOL_REGISTERED_CALLBACK64 callback,
                                       ULONG64 userContext);
/* Registers the library's memory-read callback for stack walks. */
KIV_API BOOL    kivSymRegisterStackWalkCallback(HANDLE process);
KIV_API DWORD64 kivSymGetModuleBase(HANDLE process, DWORD64 address);
/* StackWalk64 for the processor this library runs on (i386: no context is
 * needed; x86-64: `context` is the thread's CONTEXT, updated as the walk
 * goes), with the library's function-table and module-base routines. */
KIV_API BOOL    kivStackWalk(HANDLE process, HANDLE thread, LPSTACKFRAME64 frame, PVOID context);
/* callback null: the trap files' module-record callback, which with a null
 * context fills the process-wide module cache. */
KIV_API BOOL    kivEnumerateLoadedModules(HANDLE process, PENUMLOADED_MODULES_CALLBACK64 callback,
                                          PVOID userContext);
KIV_API BOOL    kivSymGetSymFromAddr(HANDLE process, DWORD64 address, PDWORD64 displacement,
                                     PIMAGEHLP_SYMBOL64 symbol);
/* The first call initialises the handler; later ones count a reference and
 * return 0 without reaching the platform. */
KIV_API BOOL    kivSymInitialize(HANDLE process, PCSTR searchPath, BOOL invadeProcess);
KIV_API BOOL    kivSymGetSearchPath(HANDLE process, PSTR searchPath, DWORD length);
KIV_API BOOL    kivSymSetSearchPath(HANDLE process, PCSTR searchPath);
/* Returns 0 and does nothing: the handler stays for the life of the process. */
KIV_API BOOL    kivSymCleanup(HANDLE process);
KIV_API DWORD   kivSymGetOptions(void);
KIV_API DWORD   kivSymSetOptions(DWORD options);
KIV_API DWORD   kivGetTimestampForLoadedLibrary(HMODULE module);
KIV_API LPAPI_VERSION kivImagehlpApiVersion(void);
KIV_API LPAPI_VERSION kivImagehlpApiVersionEx(LPAPI_VERSION appVersion);
/* A module already loaded gives its base (not 0). */
KIV_API DWORD64 kivSymLoadModule(HANDLE process, HANDLE file, PCSTR imageName, PCSTR moduleName,
                                 DWORD64 baseOfDll, DWORD sizeOfDll);
KIV_API BOOL    kivSymUnloadModule(HANDLE process, DWORD64 baseOfDll);
KIV_API PIMAGE_NT_HEADERS kivImageNtHeader(PVOID base);
KIV_API DWORD   kivUnDecorateSymbolName(PCSTR decoratedName, PSTR undecoratedName,
                                        DWORD undecoratedLength, DWORD flags);

/* ---- stacks and names -------------------------------------------------------------- */

/* The name of the function holding `address` into `buffer` (at most `size`
 * bytes, terminated) and the distance from its start: 0.  Otherwise the
 * address as "0x%08X" ("?unknown" for 0), displacement 0, non-zero. */
KIV_API Uint32 kivSymbolNameForAddress(Uint64 address, char* buffer, Uint32 size,
                                       Uint64* displacement);

/* Follows the chain of saved frame pointers from the collector's own frame
 * and stores return addresses: the first is the return point inside
 * kivWalkStackCollect, the second the one in its caller, and so on.  The
 * first `skip` are dropped.  The first `count` entries are zeroed first;
 * returns how many were stored.  A fault ends the walk. */
KIV_API Uint32 kivWalkStackCollect(Uint32 skip, void** addresses, Uint32 count);

#ifdef __cplusplus
}
#endif

#endif /* KIVSYM_H */
