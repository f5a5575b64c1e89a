/*
 * kivlibrary.h - dynamic libraries (KIVHLibrary): load one by name, look up
 * its exported functions one at a time or as a list, unload it.
 *
 *   KIVHLibrary lib;
 *   if (lib.load("helper.dll", KIV_LIB_QUIET) == 0) {
 *       KIVLibFunction fn = nullptr;
 *       if (lib.getFuncAddress("helperVersion", &fn) == 0)
 *           version = reinterpret_cast<int (*)(void)>(fn)();
 *       lib.unload();
 *   }
 *
 * Function addresses are untyped; the caller casts them to the function's
 * real type.
 */
#ifndef KIVLIBRARY_H
#define KIVLIBRARY_H

#include "kivbase.h"

/* Load options (second argument of load). */
#define KIV_LIB_QUIET                  0x02u /* failures are returned without log records */
#define KIV_LIB_DONT_RESOLVE_REFS      0x08u /* DONT_RESOLVE_DLL_REFERENCES */
#define KIV_LIB_IGNORE_CODE_AUTHZ      0x10u /* LOAD_IGNORE_CODE_AUTHZ_LEVEL */
#define KIV_LIB_AS_DATAFILE            0x20u /* LOAD_LIBRARY_AS_DATAFILE */
#define KIV_LIB_ALTERED_SEARCH_PATH    0x40u /* LOAD_WITH_ALTERED_SEARCH_PATH */

/* KIVLibGetFuncAddressParam flags. */
#define KIV_LIB_FUNC_QUIET             0x01u /* a missing function is not logged */

#ifdef __cplusplus

/* An exported function, untyped. */
typedef int (*KIVLibFunction)(void);

class KIV_API KIVLibGetFuncAddressParam {
public:
    KIVLibGetFuncAddressParam();
    KIVLibGetFuncAddressParam(const char* name, Uint32 lookupFlags);
    Uint32      version;
    const char* functionName;
    Uint32      flags; /* KIV_LIB_FUNC_QUIET */
};

class KIV_API KIVLibGetFuncAddressInfo {
public:
    KIVLibGetFuncAddressInfo();
    Uint32         version;
    KIVLibFunction address; /* null until found */
};

class KIV_API KIVLibGetFunctionAddressesParam {
public:
    KIVLibGetFunctionAddressesParam();
    Uint32             version;
    Uint32             count;         /* names in functionNames */
    const char* const* functionNames;
    Uint32             reserved;      /* traced only */
};

class KIV_API KIVHLibrary {
public:
    KIVHLibrary();
    /* No destructor: a library still loaded when the object goes stays
     * loaded. */

    /* Loads `libraryName` (KIV_LIB_... options).  Refused while loaded. */
    Uint32 load(const char* libraryName, Uint32 options);
    Uint32 unload();
    bool   isLoaded() const { return loaded != 0; }

    /* Looks up param->functionName; info->address receives the result,
     * null when it is not exported (ECF_LIB_FUNC_NOT_FOUND). */
    Uint32 getFuncAddress(const KIVLibGetFuncAddressParam* param, KIVLibGetFuncAddressInfo* info);
    /* The same, not quiet; *function is written only when found. */
    Uint32 getFuncAddress(const char* functionName, KIVLibFunction* function);
    /* Looks up every name of the list into functions[0 .. count - 1], a
     * missing one as null.  Returns 0, or the warning ECF_PARTIAL_INFO when
     * some are missing; any other failure stops at once, leaving the later
     * slots as they were. */
    Uint32 getFunctionAddresses(const KIVLibGetFunctionAddressesParam* param,
                                KIVLibFunction* functions);

    void*  moduleHandle; /* the Windows HMODULE; null when nothing is loaded */
    Uint32 loaded;
};

#endif /* __cplusplus */

#endif /* KIVLIBRARY_H */
