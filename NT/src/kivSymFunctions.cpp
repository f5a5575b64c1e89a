/*
 * kivSymFunctions.cpp - the serialised wrappers of the debugging help
 * library and their lock table.
 *
 * The debugging help library keeps process-wide state without locks of its
 * own, so every call goes through a wrapper that holds the mutex of that
 * function's record for the length of the call.  A failed call's error
 * code is read before the unlock and set again after it, so that the
 * caller sees the platform's code and not whatever the unlock left.
 *
 * The mutexes are made when the library is loaded (and, for a stack walk
 * that comes first, on first use) and closed when it is unloaded; the
 * symbol handler, once initialised, stays so for the life of the process.
 */
#include <string.h>

#include "kivinternal.h"
#include "kivlatch.h"
#include "kivstring.h"
#include "kivsym.h"
#include "kivtrap.h"

namespace {

/* The records of the table, in its fixed order. */
enum SymRecord {
    kFunctionTableAccess = 0,
    kGetModuleInfo,
    kRegisterCallback,
    kGetModuleBase,
    kStackWalk,
    kEnumerateLoadedModules,
    kGetSymFromAddr,
    kInitialize,
    kGetSearchPath,
    kSetSearchPath,
    kCleanup,
    kGetOptions,
    kSetOptions,
    kGetTimestamp,
    kApiVersion,
    kApiVersionEx,
    kLoadModule,
    kUnloadModule,
    kImageNtHeader,
    kUnDecorate,
};

/* The names the records carry; two keep the table's historical spelling. */
const char* const kRecordNames[KIV_SYM_FUNCTION_COUNT] = {
    "SymFunctionTableAccess", "SymGetModuleInfo",  "SymRegisterCallback",
    "SymGetModuleBase",       "StackWalk",         "EnumerateLoadedModules64",
    "SymGetSymFromAddr",      "SymInitialize",     "SymGetSearchPath",
    "SymSetSearchPath",       "SymCleanup",        "SymGetOptons",
    "SymSetOptons",           "GetTimestampForLoadedLibrary",
    "ImagehlpApiVersion",     "ImagehlpApiVersionEx",
    "SymLoadModule64",        "SymUnloadModule64", "ImageNtHeader",
    "UnDecorateSymbolName",
};

struct SymFunctionRecord {
    HANDLE mutex;
    char   name[260];
};

SymFunctionRecord g_records[KIV_SYM_FUNCTION_COUNT];
KIVLatch          g_tableLatch;   // zero-filled: free
bool              g_locksExist;   // written under the latch, read without
bool              g_symInitialized;
Uint32            g_symReferences;

/* Where the stack walker's function-table routine copies what the
 * platform returns; valid until the next walk step. */
Uint8 g_functionTableCopy[16];

bool locksExist() { return __atomic_load_n(&g_locksExist, __ATOMIC_ACQUIRE); }

/* Holds a record's mutex for a scope.  Without locks (their creation
 * failed) the call still goes ahead, unserialised. */
class SymLock {
public:
    explicit SymLock(SymRecord record)
    {
        if (!locksExist())
            kivLoadSymDLL(true);
        mutex_ = g_records[record].mutex;
        if (mutex_ != nullptr)
            WaitForSingleObject(mutex_, INFINITE);
    }
    ~SymLock() { unlock(); }
    void unlock()
    {
        if (mutex_ != nullptr)
            ReleaseMutex(mutex_);
        mutex_ = nullptr;
    }
    SymLock(const SymLock&) = delete;
    SymLock& operator=(const SymLock&) = delete;

private:
    HANDLE mutex_;
};

/* Runs `call` under the record's mutex.  A result equal to R() is a
 * failure: when `keepError`, the code the platform left (0 included, which
 * some calls use to say "nothing to do") survives the unlock. */
template <class R, class Call>
R serialised(SymRecord record, bool keepError, Call call)
{
    SymLock lock(record);
    R result = call();
    bool failed = keepError && result == R();
    DWORD error = failed ? GetLastError() : 0;
    lock.unlock();
    if (failed)
        SetLastError(error);
    return result;
}

BOOL CALLBACK readMemoryCallback(HANDLE process, ULONG action, ULONG64 data, ULONG64)
{
    if (action != CBA_READ_MEMORY)
        return FALSE;
    IMAGEHLP_CBA_READ_MEMORY* request =
        reinterpret_cast<IMAGEHLP_CBA_READ_MEMORY*>(static_cast<uintptr_t>(data));
    SIZE_T got = 0;
    BOOL ok = ReadProcessMemory(process,
                                reinterpret_cast<LPCVOID>(static_cast<uintptr_t>(request->addr)),
                                request->buf, request->bytes, &got);
    if (request->bytesread != nullptr)
        *request->bytesread = static_cast<DWORD>(got);
    return ok;
}

PVOID CALLBACK functionTableRoutine(HANDLE process, DWORD64 addrBase)
{
    PVOID entry = kivSymFunctionTableAccess(process, addrBase);
    if (entry == nullptr)
        return nullptr;
    memcpy(g_functionTableCopy, entry, sizeof g_functionTableCopy);
    return g_functionTableCopy;
}

DWORD64 CALLBACK moduleBaseRoutine(HANDLE process, DWORD64 address)
{
    return kivSymGetModuleBase(process, address);
}

#if defined(__x86_64__) || defined(_M_X64)
const DWORD kWalkMachine = IMAGE_FILE_MACHINE_AMD64;
#else
const DWORD kWalkMachine = IMAGE_FILE_MACHINE_I386;
#endif

} // namespace

/* ---- the lock table ------------------------------------------------------------- */

bool kivLoadSymDLL(bool useLatch)
{
    if (useLatch)
        g_tableLatch.get();
    if (!g_locksExist) {
        for (Uint32 i = 0; i < KIV_SYM_FUNCTION_COUNT; ++i) {
            kivSnprintf(g_records[i].name, sizeof g_records[i].name, "%s", kRecordNames[i]);
            // Unnamed, not owned.  The security attributes override cannot
            // have been installed yet: the locks are made while the library
            // is being loaded.
            if (i != kCleanup)
                g_records[i].mutex = CreateMutexA(nullptr, FALSE, nullptr);
        }
        // Initialisation and clean-up exclude each other.
        g_records[kCleanup].mutex = g_records[kInitialize].mutex;
        __atomic_store_n(&g_locksExist, true, __ATOMIC_RELEASE);
    }
    if (useLatch)
        g_tableLatch.release();
    return true;
}

void kivFreeSymDLL(void) {}

void kivSymProcessTerm()
{
    g_tableLatch.get();
    if (g_locksExist) {
        for (Uint32 i = 0; i < KIV_SYM_FUNCTION_COUNT; ++i) {
            if (i != kCleanup && g_records[i].mutex != nullptr)
                CloseHandle(g_records[i].mutex);
            g_records[i].mutex = nullptr;
        }
        __atomic_store_n(&g_locksExist, false, __ATOMIC_RELEASE);
    }
    g_tableLatch.release();
}

const char* kivSymFunctionName(Uint32 index)
{
    return index < KIV_SYM_FUNCTION_COUNT ? kRecordNames[index] : nullptr;
}

/* ---- pass-through wrappers ---------------------------------------------------------- */

PVOID kivSymFunctionTableAccess(HANDLE process, DWORD64 addrBase)
{
    return serialised<PVOID>(kFunctionTableAccess, true,
                             [&] { return SymFunctionTableAccess64(process, addrBase); });
}

BOOL kivSymGetModuleInfo(HANDLE process, DWORD64 address, PIMAGEHLP_MODULE64 moduleInfo)
{
    return serialised<BOOL>(kGetModuleInfo, true,
                            [&] { return SymGetModuleInfo64(process, address, moduleInfo); });
}

BOOL kivSymRegisterCallback(HANDLE process, PSYMBOL_REGISTERED_CALLBACK64 callback,
                            ULONG64 userContext)
{
    return serialised<BOOL>(kRegisterCallback, true, [&] {
        return SymRegisterCallback64(process, callback, userContext);
    });
}

BOOL kivSymRegisterStackWalkCallback(HANDLE process)
{
    return kivSymRegisterCallback(process, readMemoryCallback, 0);
}

DWORD64 kivSymGetModuleBase(HANDLE process, DWORD64 address)
{
    return serialised<DWORD64>(kGetModuleBase, true,
                               [&] { return SymGetModuleBase64(process, address); });
}

BOOL kivStackWalk(HANDLE process, HANDLE thread, LPSTACKFRAME64 frame, PVOID context)
{
    // The memory reads go to the callback registered for the process.
    return serialised<BOOL>(kStackWalk, true, [&] {
        return StackWalk64(kWalkMachine, process, thread, frame, context, nullptr,
                           functionTableRoutine, moduleBaseRoutine, nullptr);
    });
}

BOOL kivEnumerateLoadedModules(HANDLE process, PENUMLOADED_MODULES_CALLBACK64 callback,
                               PVOID userContext)
{
    if (callback == nullptr)
        callback = kivTrapModuleRecordCallback;
    return serialised<BOOL>(kEnumerateLoadedModules, true, [&] {
        return EnumerateLoadedModules64(process, callback, userContext);
    });
}

BOOL kivSymGetSymFromAddr(HANDLE process, DWORD64 address, PDWORD64 displacement,
                          PIMAGEHLP_SYMBOL64 symbol)
{
    return serialised<BOOL>(kGetSymFromAddr, true, [&] {
        return SymGetSymFromAddr64(process, address, displacement, symbol);
    });
}

BOOL kivSymGetSearchPath(HANDLE process, PSTR searchPath, DWORD length)
{
    return serialised<BOOL>(kGetSearchPath, true,
                            [&] { return SymGetSearchPath(process, searchPath, length); });
}

BOOL kivSymSetSearchPath(HANDLE process, PCSTR searchPath)
{
    return serialised<BOOL>(kSetSearchPath, true,
                            [&] { return SymSetSearchPath(process, searchPath); });
}

DWORD kivGetTimestampForLoadedLibrary(HMODULE module)
{
    return serialised<DWORD>(kGetTimestamp, true,
                             [&] { return GetTimestampForLoadedLibrary(module); });
}

DWORD64 kivSymLoadModule(HANDLE process, HANDLE file, PCSTR imageName, PCSTR moduleName,
                         DWORD64 baseOfDll, DWORD sizeOfDll)
{
    SetLastError(ERROR_SUCCESS);
    DWORD64 base = serialised<DWORD64>(kLoadModule, true, [&] {
        return SymLoadModule64(process, file, imageName, moduleName, baseOfDll, sizeOfDll);
    });
    // 0 with no error: the module is loaded already.
    if (base == 0 && GetLastError() == ERROR_SUCCESS && baseOfDll != 0)
        return kivSymGetModuleBase(process, baseOfDll);
    return base;
}

BOOL kivSymUnloadModule(HANDLE process, DWORD64 baseOfDll)
{
    return serialised<BOOL>(kUnloadModule, true,
                            [&] { return SymUnloadModule64(process, baseOfDll); });
}

PIMAGE_NT_HEADERS kivImageNtHeader(PVOID base)
{
    return serialised<PIMAGE_NT_HEADERS>(kImageNtHeader, true,
                                         [&] { return ImageNtHeader(base); });
}

DWORD kivUnDecorateSymbolName(PCSTR decoratedName, PSTR undecoratedName,
                              DWORD undecoratedLength, DWORD flags)
{
    return serialised<DWORD>(kUnDecorate, true, [&] {
        return UnDecorateSymbolName(decoratedName, undecoratedName, undecoratedLength, flags);
    });
}

/* ---- wrappers without error keeping ------------------------------------------------- */

DWORD kivSymGetOptions(void)
{
    return serialised<DWORD>(kGetOptions, false, [] { return SymGetOptions(); });
}

DWORD kivSymSetOptions(DWORD options)
{
    return serialised<DWORD>(kSetOptions, false, [&] { return SymSetOptions(options); });
}

LPAPI_VERSION kivImagehlpApiVersion(void)
{
    return serialised<LPAPI_VERSION>(kApiVersion, false, [] { return ImagehlpApiVersion(); });
}

LPAPI_VERSION kivImagehlpApiVersionEx(LPAPI_VERSION appVersion)
{
    return serialised<LPAPI_VERSION>(kApiVersionEx, false,
                                     [&] { return ImagehlpApiVersionEx(appVersion); });
}

/* ---- initialisation and clean-up ------------------------------------------------------- */

BOOL kivSymInitialize(HANDLE process, PCSTR searchPath, BOOL invadeProcess)
{
    SymLock lock(kInitialize);
    if (g_symInitialized) {
        ++g_symReferences;
        return FALSE;
    }
    BOOL ok = SymInitialize(process, searchPath, invadeProcess);
    DWORD error = ok ? 0 : GetLastError();
    if (ok == TRUE) {
        g_symInitialized = true;
        g_symReferences = 1;
    }
    lock.unlock();
    if (!ok)
        SetLastError(error);
    return ok;
}

BOOL kivSymCleanup(HANDLE)
{
    // Waits for an initialisation in progress, and leaves the handler be.
    SymLock lock(kCleanup);
    return FALSE;
}
