/*
 * kivlibrary.cpp - dynamic libraries: load by name with the portable load
 * options, look up exported functions singly or as a list, unload.
 *
 * Expected failures (a library that may be absent, a function that only
 * some versions export) can be made quiet: the result and the trace
 * records stay the same, only the log records are left out.  The list
 * lookup carries on past missing names and says so with a warning code, so
 * that a caller can use what was found.
 */
#include <string.h>

#include "kivframe.h"
#include "kivlibrary.h"
#include "kivos.h"

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(KIVHLibrary) == 8, "KIVHLibrary is a handle and a word");
static_assert(sizeof(KIVLibGetFuncAddressParam) == 12, "KIVLibGetFuncAddressParam is three words");
static_assert(sizeof(KIVLibGetFuncAddressInfo) == 8, "KIVLibGetFuncAddressInfo is two words");
static_assert(sizeof(KIVLibGetFunctionAddressesParam) == 16,
              "KIVLibGetFunctionAddressesParam is four words");
#endif

KIVLibGetFuncAddressParam::KIVLibGetFuncAddressParam()
    : version(KIV_VERSION_CURRENT), functionName(nullptr), flags(0)
{
}

KIVLibGetFuncAddressParam::KIVLibGetFuncAddressParam(const char* name, Uint32 lookupFlags)
    : version(KIV_VERSION_CURRENT), functionName(name), flags(lookupFlags)
{
}

KIVLibGetFuncAddressInfo::KIVLibGetFuncAddressInfo() : version(KIV_VERSION_CURRENT), address(nullptr)
{
}

KIVLibGetFunctionAddressesParam::KIVLibGetFunctionAddressesParam()
    : version(KIV_VERSION_CURRENT), count(0), functionNames(nullptr), reserved(0)
{
}

KIVHLibrary::KIVHLibrary() : moduleHandle(nullptr), loaded(0) {}

namespace {

DWORD loadFlags(Uint32 options)
{
    DWORD flags = 0;
    if (options & KIV_LIB_DONT_RESOLVE_REFS)
        flags |= DONT_RESOLVE_DLL_REFERENCES;
    if (options & KIV_LIB_IGNORE_CODE_AUTHZ)
        flags |= LOAD_IGNORE_CODE_AUTHZ_LEVEL;
    if (options & KIV_LIB_AS_DATAFILE)
        flags |= LOAD_LIBRARY_AS_DATAFILE;
    if (options & KIV_LIB_ALTERED_SEARCH_PATH)
        flags |= LOAD_WITH_ALTERED_SEARCH_PATH;
    return flags;
}

/* The system's untyped function pointer as ours; the detour through
 * void (*)(void) is the one conversion between function types that
 * compilers take as deliberate. */
KIVLibFunction asLibFunction(FARPROC p)
{
    return reinterpret_cast<KIVLibFunction>(reinterpret_cast<void (*)(void)>(p));
}

void traceString(const KIVFrame& f, Uint32 probe, const char* s)
{
    if (s != nullptr)
        f.text(probe, s);
}

/* An operation's own finding that the caller may have asked to keep out of
 * the log. */
Uint32 finding(KIVFrame& f, bool quiet, Uint32 probe, Uint32 code, const char* name)
{
    if (!quiet)
        kivLog(nullptr, f.functionId(), code, probe, KIVLOG_INFO, 1, KIVLOG_STRING(name));
    return f.retError(probe, code);
}

} // namespace

Uint32 KIVHLibrary::load(const char* libraryName, Uint32 options)
{
    KIVFrame f(KIVFN_KIVHLIBRARY_LOAD);
    if (libraryName == nullptr)
        return f.nullParam();
    traceString(f, 10, libraryName);
    f.dataOf(10, options);
    const bool quiet = (options & KIV_LIB_QUIET) != 0;
    if (loaded)
        return finding(f, quiet, 20, ECF_LIB_ALREADY_LOADED, libraryName);

    moduleHandle = nullptr;
    loaded = 0;
    HMODULE module = LoadLibraryExA(libraryName, nullptr, loadFlags(options));
    if (module == nullptr) {
        DWORD err = GetLastError();
        Uint32 rc;
        if (err == ERROR_MOD_NOT_FOUND) {
            // Not there at all: the one answer callers test for.
            rc = ECF_LIB_CANNOT_LOAD;
            if (!quiet)
                kivLogSysRC(nullptr, f.functionId(), KIVOSFN_LOADLIBRARY, err, rc, 30, KIVLOG_INFO,
                            2, KIVLOG_STRING(libraryName), KIVLOG_HEX(options));
        } else {
            rc = kivSystemErrorHandler(f.functionId(), KIVOSFN_LOADLIBRARY, err, 30, KIVLOG_INFO,
                                       quiet ? KIV_SYSERR_MAP_ONLY : 0, nullptr, 2,
                                       KIVLOG_STRING(libraryName), KIVLOG_HEX(options));
        }
        return f.retError(30, rc);
    }
    moduleHandle = module;
    loaded = 1;
    return f.ok();
}

Uint32 KIVHLibrary::unload()
{
    KIVFrame f(KIVFN_KIVHLIBRARY_UNLOAD);
    if (!loaded)
        return f.fail(10, ECF_LIB_NOT_LOADED);
    if (!FreeLibrary(static_cast<HMODULE>(moduleHandle))) {
        DWORD err = GetLastError();
        // The fields stay: the library may still be loaded.
        return f.sysError(KIVOSFN_FREELIBRARY, err, 20, nullptr, 1,
                          KIVLOG_ITEM(this, sizeof *this, KIVLOG_TYPE_RAW));
    }
    moduleHandle = nullptr;
    loaded = 0;
    return f.ok();
}

Uint32 KIVHLibrary::getFuncAddress(const KIVLibGetFuncAddressParam* param,
                                   KIVLibGetFuncAddressInfo* info)
{
    KIVFrame f(KIVFN_KIVHLIBRARY_GETFUNCADDRESS);
    if (param == nullptr || info == nullptr)
        return f.nullParam();
    f.dataOf(10, *param);
    traceString(f, 10, param->functionName);
    const bool quiet = (param->flags & KIV_LIB_FUNC_QUIET) != 0;
    if (!loaded)
        return finding(f, quiet, 20, ECF_LIB_NOT_LOADED, param->functionName);

    FARPROC address = GetProcAddress(static_cast<HMODULE>(moduleHandle), param->functionName);
    info->address = asLibFunction(address);
    if (address == nullptr) {
        DWORD err = GetLastError();
        // Whatever the system says, to the caller the function is missing.
        kivSystemErrorHandler(f.functionId(), KIVOSFN_GETPROCADDRESS, err, 30, KIVLOG_INFO,
                              quiet ? KIV_SYSERR_MAP_ONLY : 0, nullptr, 2,
                              KIVLOG_ITEM(this, sizeof *this, KIVLOG_TYPE_RAW),
                              KIVLOG_STRING(param->functionName));
        return f.retError(30, ECF_LIB_FUNC_NOT_FOUND);
    }
    return f.ok();
}

Uint32 KIVHLibrary::getFuncAddress(const char* functionName, KIVLibFunction* function)
{
    KIVLibGetFuncAddressParam param(functionName, 0);
    KIVLibGetFuncAddressInfo info;
    Uint32 rc = getFuncAddress(&param, &info);
    if (rc == 0 && function != nullptr)
        *function = info.address;
    return rc;
}

Uint32 KIVHLibrary::getFunctionAddresses(const KIVLibGetFunctionAddressesParam* param,
                                         KIVLibFunction* functions)
{
    KIVFrame f(KIVFN_KIVHLIBRARY_GETFUNCTIONADDRESSES);
    Uint32 rc;
    if (!f.checkParam(param, rc))
        return rc;
    f.dataOf(10, *param);
    if (param->count != 0 && (param->functionNames == nullptr || functions == nullptr))
        return f.fail(20, ECF_INVALID_PARAMETER, 2, KIVLOG_HEX(param->functionNames),
                      KIVLOG_HEX(functions));
    f.dataOf(30, param->count);

    bool missing = false;
    for (Uint32 i = 0; i < param->count; ++i) {
        const char* name = param->functionNames[i];
        KIVLibGetFuncAddressParam one(name, 0);
        KIVLibGetFuncAddressInfo info;
        rc = getFuncAddress(&one, &info);
        if (rc == ECF_LIB_FUNC_NOT_FOUND) {
            f.errorPoint(40, rc);
            traceString(f, 40, name);
            kivLog(nullptr, f.functionId(), rc, 40, KIVLOG_INFO, 1, KIVLOG_STRING(name));
            functions[i] = nullptr;
            missing = true;
            continue;
        }
        if (rc != 0)
            return f.calledFailed(KIVFN_KIVHLIBRARY_GETFUNCADDRESS, rc, rc, 50, 1,
                                  KIVLOG_STRING(name));
        functions[i] = info.address;
    }
    return f.ret(missing ? ECF_PARTIAL_INFO : 0);
}
