/*
 * kivwindows.cpp - platform identity and process security: the platform
 * flags set once at load, the native processor facts, the all-users
 * application-data folder, and the token queries (groups, administrators,
 * integrity, filtered tokens).
 *
 * Functions that not every Windows release has (the native system
 * information, the version conditions, the WOW64 query) are looked up by
 * name, so that the library loads everywhere; a missing one is an answer
 * ("no"), not a reason to fail.
 */
#include <string.h>

#include "kivframe.h"
#include "kivinternal.h"
#include "kivmem.h"
#include "kivos.h"
#include "kivsecurity.h"
#include "kivsym.h"

#if defined(_WIN32)
#  include <shlobj.h>
#endif

/* ---- platform flags ------------------------------------------------------------- */

Uint32 g_bIsPlatformID_Win32On95 = 0;
Uint32 g_bIsPlatformID_Win98 = 0;
Uint32 g_bIsPlatformID_WinMe = 0;
Uint32 g_bIsPlatformID_Win32OnNT = 0;
Uint32 g_bIsPlatformID_Win2k = 0;
Uint32 g_bIsPlatformID_WinXP = 0;
Uint32 g_bIsPlatformID_Win2k3 = 0;
Uint32 g_bIsPlatformID_Vista = 0;
Uint32 g_bIsPlatformID_Longhorn = 0;
Uint32 g_bRunningTerminalService = 0;
Uint32 g_bRunningTerminalServiceRemoteAdminMode = 0;
Uint32 g_bIsWow64Process = 0;

namespace {

const char* const kSource = "kivwindows";

// The version record is asked for in its extended form, and the token
// classes are numbers the platform fixes.
static_assert(sizeof(OSVERSIONINFOEXA) == 156, "extended version record");
static_assert(TokenGroups == 2 && TokenIntegrityLevel == 25, "token information classes");
const Uint32 kHighIntegrity = 0x3000;

typedef ULONGLONG(WINAPI* VerSetConditionMaskFn)(ULONGLONG, DWORD, BYTE);
typedef BOOL(WINAPI* VerifyVersionInfoFn)(LPOSVERSIONINFOEXA, DWORD, ULONGLONG);
typedef BOOL(WINAPI* IsWow64ProcessFn)(HANDLE, PBOOL);
typedef void(WINAPI* GetSystemInfoFn)(LPSYSTEM_INFO);

/* A system function by name as type F; on a miss, which call failed. */
template <class F> F systemFunction(const char* module, const char* name, Uint32* failedCall)
{
    KIVSystemProc p = kivSystemProc(module, name);
    if (p == nullptr)
        *failedCall = GetLastError() == ERROR_MOD_NOT_FOUND ? KIVOSFN_GETMODULEHANDLE
                                                           : KIVOSFN_GETPROCADDRESS;
    return reinterpret_cast<F>(p);
}

/* The same, logging a miss with the terminal-service check's identifier and
 * the probe of the module (the function's is the next one). */
template <class F> F checkedSystemFunction(const char* module, const char* name, Uint32 probe)
{
    Uint32 failedCall = 0;
    F f = systemFunction<F>(module, name, &failedCall);
    if (f == nullptr) {
        DWORD err = GetLastError();
        const char* what = failedCall == KIVOSFN_GETMODULEHANDLE ? module : name;
        kivSystemErrorHandler(KIVFN_KIVCHECKTERMINALSERVICES, failedCall, err,
                              failedCall == KIVOSFN_GETMODULEHANDLE ? probe : probe + 10,
                              KIVLOG_INFO, 0, nullptr, 1, KIVLOG_STRING(what));
    }
    return f;
}

/* Whether the multi-string value names "Terminal Server" (NT before 5). */
bool productSuiteNamesTerminalServer()
{
    HKEY key = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "System\\CurrentControlSet\\Control\\ProductOptions",
                      0, KEY_QUERY_VALUE, &key) != ERROR_SUCCESS)
        return false;
    char suites[4096];
    DWORD type = 0, size = sizeof suites - 2;
    LONG rc = RegQueryValueExA(key, "ProductSuite", nullptr, &type,
                               reinterpret_cast<LPBYTE>(suites), &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || type != REG_MULTI_SZ)
        return false;
    suites[size] = suites[size + 1] = '\0';
    for (const char* s = suites; *s; s += strlen(s) + 1) {
        if (strcmp(s, "Terminal Server") == 0)
            return true;
    }
    return false;
}

/* Whether the suite is present, asked the way the release understands. */
bool suitePresent(const OSVERSIONINFOEXA& v, WORD suite)
{
    if (v.dwPlatformId != VER_PLATFORM_WIN32_NT)
        return false;
    if (v.dwMajorVersion < 5)
        return productSuiteNamesTerminalServer();
    VerSetConditionMaskFn setMask =
        checkedSystemFunction<VerSetConditionMaskFn>("ntdll.dll", "VerSetConditionMask", 10);
    if (setMask == nullptr)
        return false;
    VerifyVersionInfoFn verify =
        checkedSystemFunction<VerifyVersionInfoFn>("KERNEL32.DLL", "VerifyVersionInfoA", 30);
    if (verify == nullptr)
        return false;
    OSVERSIONINFOEXA want;
    memset(&want, 0, sizeof want);
    want.dwOSVersionInfoSize = sizeof want;
    want.wSuiteMask = suite;
    return verify(&want, VER_SUITENAME, setMask(0, VER_SUITENAME, VER_AND)) != FALSE;
}

void setReleaseFlags(const OSVERSIONINFOEXA& v)
{
    bool nt = v.dwPlatformId == VER_PLATFORM_WIN32_NT;
    DWORD major = v.dwMajorVersion, minor = v.dwMinorVersion;
    g_bIsPlatformID_Win32On95 = !nt;
    g_bIsPlatformID_Win98 = !nt && minor == 10;
    g_bIsPlatformID_WinMe = !nt && minor == 90;
    g_bIsPlatformID_Win32OnNT = nt;
    g_bIsPlatformID_Win2k = nt && major >= 5;
    g_bIsPlatformID_WinXP = nt && ((major == 5 && minor != 0) || major >= 6);
    g_bIsPlatformID_Win2k3 = nt && ((major == 5 && minor >= 2) || major >= 6);
    g_bIsPlatformID_Vista = nt && major >= 6;
    g_bIsPlatformID_Longhorn = nt && major >= 6 && !(v.wSuiteMask & VER_SUITE_PERSONAL);
}

void setWow64Flag()
{
    Uint32 failedCall = 0;
    IsWow64ProcessFn isWow64 =
        systemFunction<IsWow64ProcessFn>("KERNEL32.DLL", "IsWow64Process", &failedCall);
    BOOL wow64 = FALSE;
    if (isWow64 != nullptr && isWow64(GetCurrentProcess(), &wow64))
        g_bIsWow64Process = wow64 ? 1 : 0;
}

/* A process and its token, opened for a query and closed with the object. */
class ProcessToken {
public:
    ProcessToken() = default;
    ~ProcessToken()
    {
        if (token != nullptr)
            CloseHandle(token);
        if (process != nullptr)
            CloseHandle(process);
    }
    ProcessToken(const ProcessToken&) = delete;
    ProcessToken& operator=(const ProcessToken&) = delete;

    /* Opens both; on failure the result is the frame's return. */
    Uint32 open(KIVFrame& f, Uint32 processId, DWORD tokenRights, Uint32 processProbe,
                Uint32 tokenProbe)
    {
        process = OpenProcess(PROCESS_QUERY_INFORMATION, FALSE, processId);
        if (process == nullptr) {
            DWORD err = GetLastError();
            return f.sysError(KIVOSFN_OPENPROCESS, err, processProbe, nullptr, 1,
                              KIVLOG_UINT(processId));
        }
        if (!OpenProcessToken(process, tokenRights, &token)) {
            DWORD err = GetLastError();
            token = nullptr;
            return f.sysError(KIVOSFN_OPENPROCESSTOKEN, err, tokenProbe, nullptr, 1,
                              KIVLOG_UINT(processId));
        }
        return 0;
    }

    HANDLE process = nullptr;
    HANDLE token = nullptr;
};

/* A block from kivGetTokenInformation, freed with the object. */
class TokenBlock {
public:
    TokenBlock() = default;
    ~TokenBlock()
    {
        if (data != nullptr)
            kivMemFree(&data, 0, 0, kSource, __LINE__);
    }
    TokenBlock(const TokenBlock&) = delete;
    TokenBlock& operator=(const TokenBlock&) = delete;

    void*  data = nullptr;
    Uint32 length = 0;
};

} // namespace

/* ---- load ----------------------------------------------------------------------------- */

KIVSystemProc kivSystemProc(const char* module, const char* name)
{
#if defined(_WIN32)
    HMODULE h = GetModuleHandleA(module);
    if (h == nullptr)
        return nullptr;
    return reinterpret_cast<KIVSystemProc>(GetProcAddress(h, name));
#else
    return reinterpret_cast<KIVSystemProc>(kivCompatSystemProc(module, name));
#endif
}

void kivPlatformProcessInit()
{
    OSVERSIONINFOEXA v;
    memset(&v, 0, sizeof v);
    v.dwOSVersionInfoSize = sizeof v;
    if (GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&v))) {
        setReleaseFlags(v);
        bool terminal = suitePresent(v, VER_SUITE_SINGLEUSERTS) || suitePresent(v, VER_SUITE_TERMINAL);
        g_bRunningTerminalService = terminal;
        g_bRunningTerminalServiceRemoteAdminMode = terminal;
    }
    setWow64Flag();
    kivLoadSymDLL(false);
}

/* ---- queries ------------------------------------------------------------------------------- */

Uint32 kivGetSystemInfo(SYSTEM_INFO* info)
{
    KIVFrame f(KIVFN_KIVGETSYSTEMINFO);
    if (info == nullptr)
        return f.nullParam();
    Uint32 failedCall = 0;
    GetSystemInfoFn get =
        systemFunction<GetSystemInfoFn>("KERNEL32.DLL", "GetNativeSystemInfo", &failedCall);
    if (get == nullptr)
        get = systemFunction<GetSystemInfoFn>("KERNEL32.DLL", "GetSystemInfo", &failedCall);
    if (get == nullptr) {
        DWORD err = GetLastError();
        return f.sysError(failedCall, err, 10, nullptr);
    }
    get(info);
    return f.ok();
}

Uint32 kivGetCommonAppDataPath(char* buffer, Uint32 size)
{
    KIVFrame f(KIVFN_KIVGETCOMMONAPPDATAPATH);
    if (buffer == nullptr)
        return f.nullParam();
    char path[MAX_PATH + 1];
    memset(path, 0, sizeof path);
    HRESULT hr = SHGetFolderPathA(nullptr, CSIDL_COMMON_APPDATA, nullptr, SHGFP_TYPE_DEFAULT, path);
    if (FAILED(hr)) {
        // The shell's own result goes into the trace; there is no system
        // error number to map.
        f.errorPoint(10, (Uint32)hr);
        return f.ret(ECF_FAILED);
    }
    Uint32 length = (Uint32)strlen(path);
    if (size <= length)
        return f.fail(20, ECF_BUFFER_TOO_SMALL, 2, KIVLOG_UINT(size), KIVLOG_UINT(length));
    memcpy(buffer, path, length + 1);
    return f.ok();
}

Uint32 kivGetTokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS infoClass, void** block,
                              Uint32* length)
{
    KIVFrame f(KIVFN_KIVGETTOKENINFORMATION);
    if (block == nullptr || length == nullptr)
        return f.nullParam();
    Uint32 cls = (Uint32)infoClass;
    DWORD needed = 0;
    if (GetTokenInformation(token, infoClass, nullptr, 0, &needed)) {
        // Nothing fits in no buffer: success here means the platform
        // misbehaved.
        const DWORD unexpected = 0x8000FFFFu;
        return f.sysError(KIVOSFN_GETTOKENINFORMATION, unexpected, 30, nullptr, 1,
                          KIVLOG_UINT(cls));
    }
    DWORD err = GetLastError();
    if (err != ERROR_INSUFFICIENT_BUFFER && err != ERROR_BAD_LENGTH)
        return f.sysError(KIVOSFN_GETTOKENINFORMATION, err, 20, nullptr, 1, KIVLOG_UINT(cls));
    void* data = nullptr;
    Uint32 rc = kivMemAlloc(&data, nullptr, needed, 0, kSource, __LINE__);
    if (rc != 0)
        return f.calledFailed(KIVFN_KIVMEMALLOC, rc, rc, 50, 1, KIVLOG_UINT(needed));
    DWORD got = 0;
    if (!GetTokenInformation(token, infoClass, data, needed, &got)) {
        err = GetLastError();
        kivMemFree(&data, 0, 0, kSource, __LINE__);
        *block = nullptr;
        return f.sysError(KIVOSFN_GETTOKENINFORMATION, err, 40, nullptr, 1, KIVLOG_UINT(cls));
    }
    *block = data;
    *length = got;
    return f.ok();
}

Uint32 kivDoesProcessHaveLocalAdminSID(Uint32 processId, bool* isAdmin)
{
    KIVFrame f(KIVFN_KIVDOESPROCESSHAVELOCALADMINSID);
    if (isAdmin == nullptr)
        return f.nullParam();
    ProcessToken pt;
    Uint32 rc = pt.open(f, processId, TOKEN_QUERY, 10, 20);
    if (rc != 0)
        return rc;
    TokenBlock groups;
    rc = kivGetTokenInformation(pt.token, TokenGroups, &groups.data, &groups.length);
    if (rc != 0)
        return f.calledFailed(KIVFN_KIVGETTOKENINFORMATION, rc, rc, 30);
    SID_IDENTIFIER_AUTHORITY ntAuthority = SECURITY_NT_AUTHORITY;
    PSID admins = nullptr;
    if (!AllocateAndInitializeSid(&ntAuthority, 2, SECURITY_BUILTIN_DOMAIN_RID,
                                  DOMAIN_ALIAS_RID_ADMINS, 0, 0, 0, 0, 0, 0, &admins)) {
        DWORD err = GetLastError();
        return f.sysError(KIVOSFN_ALLOCATEANDINITIALIZESID, err, 40, nullptr);
    }
    // Whatever the attributes: a filtered token keeps the group for denial.
    const TOKEN_GROUPS* list = static_cast<const TOKEN_GROUPS*>(groups.data);
    bool member = false;
    for (DWORD i = 0; i < list->GroupCount && !member; ++i)
        member = EqualSid(list->Groups[i].Sid, admins) != FALSE;
    FreeSid(admins);
    *isAdmin = member;
    return f.ok();
}

Uint32 kivGetProcessIntegrityLevel(Uint32 processId, Uint32* level)
{
    KIVFrame f(KIVFN_KIVGETPROCESSINTEGRITYLEVEL);
    if (level == nullptr)
        return f.nullParam();
    ProcessToken pt;
    Uint32 rc = pt.open(f, processId, TOKEN_QUERY | TOKEN_QUERY_SOURCE, 10, 10);
    if (rc != 0)
        return rc;
    TokenBlock label;
    rc = kivGetTokenInformation(pt.token, TokenIntegrityLevel, &label.data, &label.length);
    if (rc != 0) {
        // Logged where it was found; here only the trace records it.
        return f.retError(20, rc);
    }
    PSID sid = static_cast<const TOKEN_MANDATORY_LABEL*>(label.data)->Label.Sid;
    BYTE count = *GetSidSubAuthorityCount(sid);
    if (count == 0)
        return f.fail(30, ECF_UNKNOWN);
    *level = *GetSidSubAuthority(sid, count - 1u);
    return f.ok();
}

Uint32 kivIsProcessRunningWithFilteredToken(Uint32 processId, bool* filtered)
{
    KIVFrame f(KIVFN_KIVISPROCESSRUNNINGWITHFILTEREDTOKEN);
    if (filtered == nullptr)
        return f.nullParam();
    // Before Vista there is no user account control and so no filtered token.
    if (!g_bIsPlatformID_Vista) {
        *filtered = false;
        return f.ok();
    }
    bool admin = false;
    Uint32 rc = kivDoesProcessHaveLocalAdminSID(processId, &admin);
    if (rc != 0)
        return f.retError(15, rc);
    if (!admin) {
        *filtered = false;
        return f.ok();
    }
    Uint32 level = 0;
    rc = kivGetProcessIntegrityLevel(processId, &level);
    if (rc != 0)
        return f.retError(20, rc);
    *filtered = level < kHighIntegrity;
    return f.ok();
}
