/*
 * kivsysinfo.cpp - system information: the operating system, processors,
 * physical memory, paging space and virtual memory, the system directory,
 * and the renderings of the memory records.
 *
 * The functions that not every system has (the 64-bit memory status, the
 * process status library's performance information, the performance data
 * helper) are looked up by name at each query, so the library loads on
 * systems without them and a query that misses one says so in its status
 * words instead of failing to load.
 */
#include "kivsysinfo.h"

#include "kivecf.h"
#include "kivframe.h"
#include "kivinternal.h"
#include "kivlibrary.h"
#include "kivos.h"
#include "kivsecurity.h"
#include "kivstring.h"

#if defined(_WIN32)
#  include <pdh.h>
#  include <psapi.h>
#endif
#if defined(__i386__) || defined(__x86_64__)
#  include <cpuid.h>
#endif

#include <mutex>
#include <string.h>

static_assert(sizeof(KIVSysInfoUint) == 8, "a value and its status");
static_assert(sizeof(KIVSysInfoSint) == 8, "a value and its status");
static_assert(sizeof(KIVSysInfoSint64) == 16, "an 8-aligned value and its status");
static_assert(sizeof(KIVSysInfoDouble) == 16, "an 8-aligned value and its status");
static_assert(sizeof(KIVSysInfoStr) == 260, "256 bytes of text and the status");
static_assert(sizeof(KIVSysInfoMountPoint) == 1028, "1024 bytes of text and the status");
static_assert(sizeof(OSVERSIONINFOA) == 148, "the basic version structure");
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(PERFORMANCE_INFORMATION) == 0x38, "the performance information block");
#endif

/* ---- values and records ---------------------------------------------------------- */

namespace {

void copyText(char* out, size_t size, const char* text)
{
    kivSnprintf(out, (Uint32)size, "%s", text ? text : "");
}

} // namespace

void KIVSysInfoStr::set(const char* text)
{
    copyText(value, sizeof value, text);
    status = 0;
}

void KIVSysInfoMountPoint::set(const char* text)
{
    copyText(value, sizeof value, text);
    status = 0;
}

KIVOSInfo::KIVOSInfo() : version(KIV_VERSION_CURRENT) {}
KIVCPUInfo::KIVCPUInfo() : version(KIV_VERSION_CURRENT) {}
KIVMemInfo::KIVMemInfo() : version(KIV_VERSION_CURRENT) {}
KIVSwapInfo::KIVSwapInfo() : version(KIV_VERSION_CURRENT) {}
KIVVirtMemInfo::KIVVirtMemInfo() : version(KIV_VERSION_CURRENT) {}
KIVSystemDirectoryParam::KIVSystemDirectoryParam() : version(KIV_VERSION_CURRENT), reserved(0) {}
KIVSystemDirectoryInfo::KIVSystemDirectoryInfo() : version(KIV_VERSION_CURRENT), path() {}
KIVCPULoadInfo::KIVCPULoadInfo() : version(KIV_VERSION_CURRENT) {}
KIVKernelIPCInfo::KIVKernelIPCInfo() : version(KIV_VERSION_CURRENT) {}
KIVMemInfo::toStringParam::toStringParam() : version(KIV_VERSION_CURRENT), text() {}
KIVSwapInfo::toStringParam::toStringParam() : version(KIV_VERSION_CURRENT), text() {}
KIVVirtMemInfo::toStringParam::toStringParam() : version(KIV_VERSION_CURRENT), text() {}

namespace {

/* ---- system libraries ------------------------------------------------------------- */

/* A system library loaded for the length of one query, and the functions
 * looked up in it.  Nothing is logged: a missing library or function is an
 * answer ("not supported"), not a failure. */
class SystemLibrary {
public:
    explicit SystemLibrary(const char* module) : module_(module)
    {
        loaded_ = lib_.load(module, KIV_LIB_QUIET) == 0;
    }
    ~SystemLibrary()
    {
        if (loaded_)
            lib_.unload();
    }
    SystemLibrary(const SystemLibrary&) = delete;
    SystemLibrary& operator=(const SystemLibrary&) = delete;

    /* The function `name` as type F, or null. */
    template <class F> F find(const char* name)
    {
        KIVLibFunction fn = nullptr;
        if (loaded_) {
            KIVLibGetFuncAddressParam param(name, KIV_LIB_FUNC_QUIET);
            KIVLibGetFuncAddressInfo info;
            if (lib_.getFuncAddress(&param, &info) == 0)
                fn = info.address;
        }
#if !defined(_WIN32)
        // The POSIX subset answers these libraries' functions itself.
        if (fn == nullptr)
            fn = reinterpret_cast<KIVLibFunction>(kivSystemProc(module_, name));
#endif
        return reinterpret_cast<F>(reinterpret_cast<void (*)(void)>(fn));
    }

private:
    const char* module_;
    KIVHLibrary lib_;
    bool        loaded_;
};

typedef BOOL(WINAPI* GlobalMemoryStatusExFn)(LPMEMORYSTATUSEX);
typedef BOOL(WINAPI* GetPerformanceInfoFn)(PPERFORMANCE_INFORMATION, DWORD);
typedef PDH_STATUS(WINAPI* PdhOpenQueryFn)(LPCSTR, DWORD_PTR, PDH_HQUERY*);
typedef PDH_STATUS(WINAPI* PdhAddCounterFn)(PDH_HQUERY, LPCSTR, DWORD_PTR, PDH_HCOUNTER*);
typedef PDH_STATUS(WINAPI* PdhCollectQueryDataFn)(PDH_HQUERY);
typedef PDH_STATUS(WINAPI* PdhGetFormattedCounterValueFn)(PDH_HCOUNTER, DWORD, LPDWORD,
                                                          PPDH_FMT_COUNTERVALUE);
typedef PDH_STATUS(WINAPI* PdhCloseQueryFn)(PDH_HQUERY);

/* ---- operating system ------------------------------------------------------------- */

enum : Uint32 { kProbeHostName = 10, kProbeVersion = 20 };

const char* platformName(DWORD platformId)
{
    switch (platformId) {
    case 0:  return "WIN32s";
    case 1:  return "WIN32_WINDOWS";
    case 2:  return "WIN32_NT";
    default: return "UNKNOWN";
    }
}

/* The machine description from the processor facts. */
void describeMachine(KIVSysInfoStr& machine)
{
    SYSTEM_INFO si;
    memset(&si, 0, sizeof si);
    if (kivGetSystemInfo(&si) != 0) {
        machine.invalidate(ECF_FAILED);
        return;
    }
    const char* arch = nullptr;
    switch (si.wProcessorArchitecture) {
    case 0:
        if (si.dwProcessorType == 386 || si.dwProcessorType == 486) {
            machine.invalidate(ECF_NOT_SUPPORTED);
            return;
        }
        arch = "x86";
        break;
    case 9: arch = "AMD64"; break;
    case 6: arch = "IA64"; break;
    default:
        machine.invalidate(ECF_FAILED);
        return;
    }
    kivSnprintf(machine.value, sizeof machine.value, "%s Family %d, model %d, stepping %d", arch,
                (int)si.wProcessorLevel, (int)(si.wProcessorRevision >> 8),
                (int)(si.wProcessorRevision & 0xFF));
    machine.status = 0;
}

/* ---- processors ------------------------------------------------------------------- */

struct CpuidRegs {
    unsigned int eax = 0, ebx = 0, ecx = 0, edx = 0;
};

bool cpuid(unsigned int leaf, unsigned int subleaf, CpuidRegs* r)
{
#if defined(__i386__) || defined(__x86_64__)
    if ((leaf & 0x80000000u) ? __get_cpuid_max(0x80000000u, nullptr) < leaf
                             : __get_cpuid_max(0, nullptr) < leaf)
        return false;
    __cpuid_count(leaf, subleaf, r->eax, r->ebx, r->ecx, r->edx);
    return true;
#else
    (void)leaf;
    (void)subleaf;
    (void)r;
    return false;
#endif
}

/* "GenuineIntel" is the first kind, "AuthenticAMD" the second. */
int processorVendorKind()
{
    CpuidRegs r;
    if (!cpuid(0, 0, &r))
        return 0;
    char vendor[13];
    memcpy(vendor, &r.ebx, 4);
    memcpy(vendor + 4, &r.edx, 4);
    memcpy(vendor + 8, &r.ecx, 4);
    vendor[12] = '\0';
    if (strcmp(vendor, "GenuineIntel") == 0)
        return 1;
    return strcmp(vendor, "AuthenticAMD") == 0 ? 2 : 0;
}

Uint32 coresPerPackage()
{
    CpuidRegs r;
    switch (processorVendorKind()) {
    case 1:
        if (cpuid(4, 0, &r))
            return (r.eax >> 26) + 1;
        break;
    case 2:
        if (cpuid(0x80000008u, 0, &r))
            return (r.ecx & 0xFF) + 1;
        break;
    default:
        break;
    }
    return 1;
}

/* The package of the processor the thread runs on: its initial APIC id
 * without the bits that number the logical processors inside a package. */
Uint32 currentPackageId()
{
    CpuidRegs r;
    if (!cpuid(1, 0, &r))
        return 0;
    const Uint32 apicId = r.ebx >> 24;
    const bool multiThreading = (r.edx & (1u << 28)) != 0;
    const Uint32 logical = multiThreading ? ((r.ebx >> 16) & 0xFF) : 1;
    Uint32 bits = 0;
    while ((1u << bits) < logical)
        ++bits;
    return apicId >> bits;
}

std::once_flag g_packagesOnce;
Uint32         g_packages = 1;

/* Runs the calling thread on each processor it may use in turn and counts
 * the distinct packages; the thread's affinity is restored afterwards, and
 * the rest of the process is never moved. */
void countPackages()
{
    DWORD_PTR processMask = 0, systemMask = 0;
    if (!GetProcessAffinityMask(GetCurrentProcess(), &processMask, &systemMask) ||
        processMask == 0)
        return;
    HANDLE thread = GetCurrentThread();
    DWORD_PTR original = 0;
    Uint32 seen[8 * sizeof(DWORD_PTR)];
    Uint32 count = 0;
    for (unsigned i = 0; i < 8 * sizeof(DWORD_PTR); ++i) {
        const DWORD_PTR bit = (DWORD_PTR)1 << i;
        if (!(processMask & bit))
            continue;
        const DWORD_PTR before = SetThreadAffinityMask(thread, bit);
        if (before == 0)
            continue;
        if (original == 0)
            original = before;
        const Uint32 id = currentPackageId();
        bool known = false;
        for (Uint32 k = 0; k < count && !known; ++k)
            known = seen[k] == id;
        if (!known)
            seen[count++] = id;
    }
    if (original != 0)
        SetThreadAffinityMask(thread, original);
    if (count > 0)
        g_packages = count;
}

enum : Uint32 { kProbeSpeedKey = 10, kProbeSpeedValue = 20 };

const char kProcessorKey[] = "HARDWARE\\DESCRIPTION\\System\\CentralProcessor\\0";

/* The processor speed from the registry; false with the probe of the step
 * that failed. */
bool readProcessorSpeed(Uint32* mhz, Uint32* failedProbe)
{
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kProcessorKey, 0, KEY_READ, &key) != ERROR_SUCCESS) {
        *failedProbe = kProbeSpeedKey;
        return false;
    }
    DWORD value = 0, size = sizeof value, type = 0;
    const LONG rc = RegQueryValueExA(key, "~MHZ", nullptr, &type, (LPBYTE)&value, &size);
    RegCloseKey(key);
    if (rc != ERROR_SUCCESS || type != REG_DWORD) {
        *failedProbe = kProbeSpeedValue;
        return false;
    }
    *mhz = value;
    return true;
}

/* ---- memory ----------------------------------------------------------------------- */

/* Bytes to megabytes, rounding up. */
Uint32 megabytes(Uint64 bytes)
{
    return (Uint32)((bytes + 0xFFFFFu) >> 20);
}

const char kPagingFileUsage[] = "\\Paging File(_Total)\\% Usage";

/* The used share of the paging files in percent; 0 when the counter cannot
 * be read or reads above 100. */
double pagingFileUsage()
{
    SystemLibrary pdh("pdh.dll");
    PdhOpenQueryFn open = pdh.find<PdhOpenQueryFn>("PdhOpenQueryA");
    // The English name works whatever the system's language, where it exists.
    PdhAddCounterFn add = pdh.find<PdhAddCounterFn>("PdhAddEnglishCounterA");
    if (add == nullptr)
        add = pdh.find<PdhAddCounterFn>("PdhAddCounterA");
    PdhCollectQueryDataFn collect = pdh.find<PdhCollectQueryDataFn>("PdhCollectQueryData");
    PdhGetFormattedCounterValueFn format =
        pdh.find<PdhGetFormattedCounterValueFn>("PdhGetFormattedCounterValue");
    PdhCloseQueryFn close = pdh.find<PdhCloseQueryFn>("PdhCloseQuery");
    if (!open || !add || !collect || !format || !close)
        return 0.0;

    PDH_HQUERY query = nullptr;
    if (open(nullptr, 0, &query) != ERROR_SUCCESS)
        return 0.0;
    double percent = 0.0;
    PDH_HCOUNTER counter = nullptr;
    PDH_FMT_COUNTERVALUE value;
    memset(&value, 0, sizeof value);
    if (add(query, kPagingFileUsage, 0, &counter) == ERROR_SUCCESS &&
        collect(query) == ERROR_SUCCESS &&
        format(counter, PDH_FMT_DOUBLE, nullptr, &value) == ERROR_SUCCESS && value.CStatus == 0)
        percent = value.doubleValue;
    close(query);
    return (percent >= 0.0 && percent <= 100.0) ? percent : 0.0;
}

/* Fills the virtual memory's sum of one query's two figures, or takes the
 * query's failure. */
bool sumOrFail(Uint32 rc, KIVSysInfoUint& total, KIVSysInfoUint& free, const KIVSysInfoUint& t,
               const KIVSysInfoUint& f, Uint32* failure)
{
    if (rc != 0 && rc != ECF_PARTIAL_INFO) {
        total.invalidate(rc);
        free.invalidate(rc);
        *failure = rc;
        return false;
    }
    total.value += t.value;
    free.value += f.value;
    return true;
}

/* Marks every field given invalid with `code`, which it returns. */
template <class... V> Uint32 invalidateAll(Uint32 code, V&... fields)
{
    (fields.invalidate(code), ...);
    return code;
}

/* A value for the renderings: -1 when it is not valid. */
template <class V> long long shown(const V& v)
{
    return v.status == 0 ? (long long)v.value : -1;
}

} // namespace

extern "C" {

/* ---- operating system ------------------------------------------------------------- */

Uint32 kivGetOSInfo(KIVOSInfo* info)
{
    KIVFrame f(KIVFN_KIVGETOSINFO);
    Uint32 rc;
    if (!f.checkParam(info, rc))
        return rc;
    const bool extended = info->version >= KIV_SYSINFO_VERSION_V2;
    Uint32 failures = 0;

    DWORD size = sizeof info->hostName.value;
    if (GetComputerNameA(info->hostName.value, &size)) {
        info->hostName.status = 0;
    } else {
        info->hostName.invalidate(ECF_FAILED);
        f.errorPoint(kProbeHostName, ECF_FAILED);
        ++failures;
    }

    OSVERSIONINFOA v;
    memset(&v, 0, sizeof v);
    v.dwOSVersionInfoSize = sizeof v;
    if (GetVersionExA(&v)) {
        info->osName.set(platformName(v.dwPlatformId));
        kivSnprintf(info->osVersion.value, sizeof info->osVersion.value, "%d.%d",
                    (int)v.dwMajorVersion, (int)v.dwMinorVersion);
        info->osVersion.status = 0;
        info->osRelease.set(v.szCSDVersion);
    } else {
        invalidateAll(ECF_FAILED, info->osName, info->osVersion, info->osRelease);
        f.errorPoint(kProbeVersion, ECF_FAILED);
        ++failures;
    }

    describeMachine(info->machine);
    if (!info->machine.isValid())
        ++failures;
    if (extended)
        info->osLevel.invalidate(ECF_NOT_SUPPORTED);

    if (failures == 3)
        return f.ret(ECF_FAILED);
    return f.ret((failures > 0 || extended) ? ECF_PARTIAL_INFO : 0);
}

/* ---- processors ------------------------------------------------------------------- */

void kivSysInfoOneTimeOnly(void)
{
    std::call_once(g_packagesOnce, countPackages);
}

Uint32 kivGetCPUInfo(KIVCPUInfo* info)
{
    KIVFrame f(KIVFN_KIVGETCPUINFO);
    Uint32 rc;
    if (!f.checkParam(info, rc))
        return rc;
    kivSysInfoOneTimeOnly();
    bool partial = false;
    SYSTEM_INFO si;
    memset(&si, 0, sizeof si);
    if (kivGetSystemInfo(&si) == 0) {
        info->numConfigured.set(si.dwNumberOfProcessors);
        info->numOnline.set(si.dwNumberOfProcessors);
        info->numAvailable.set(si.dwNumberOfProcessors);
    } else {
        invalidateAll(ECF_FAILED, info->numConfigured, info->numOnline, info->numAvailable);
        partial = true;
    }
    info->numPackages.set(g_packages);
    if (info->version >= KIV_SYSINFO_VERSION_V2)
        info->coresPerPackage.set(coresPerPackage());

    if (g_bIsPlatformID_Win32On95) {
        info->speedMHz.invalidate(ECF_NOT_SUPPORTED);
        return f.ret(ECF_PARTIAL_INFO);
    }
    Uint32 mhz = 0, failedProbe = 0;
    if (!readProcessorSpeed(&mhz, &failedProbe)) {
        info->speedMHz.invalidate(ECF_FAILED);
        f.errorPoint(failedProbe, ECF_FAILED);
        return f.ret(ECF_PARTIAL_INFO);
    }
    info->speedMHz.set(mhz);
    return f.ret(partial ? ECF_PARTIAL_INFO : 0);
}

/* ---- memory ----------------------------------------------------------------------- */

Uint32 kivGetPhysMemInfo(KIVMemInfo* info)
{
    KIVFrame f(KIVFN_KIVGETPHYSMEMINFO);
    Uint32 rc;
    if (!f.checkParam(info, rc))
        return rc;
    Uint64 total, avail, virtualTotal;
    if (GlobalMemoryStatusExFn statusEx = reinterpret_cast<GlobalMemoryStatusExFn>(
            kivSystemProc("KERNEL32", "GlobalMemoryStatusEx"))) {
        MEMORYSTATUSEX m;
        memset(&m, 0, sizeof m);
        m.dwLength = sizeof m;
        if (!statusEx(&m)) {
            return f.ret(invalidateAll(ECF_FAILED, info->total, info->free, info->available,
                                       info->addressable));
        }
        total = m.ullTotalPhys;
        avail = m.ullAvailPhys;
        virtualTotal = m.ullTotalVirtual;
    } else {
        MEMORYSTATUS m;
        memset(&m, 0, sizeof m);
        m.dwLength = sizeof m;
        GlobalMemoryStatus(&m);
        total = m.dwTotalPhys;
        avail = m.dwAvailPhys;
        virtualTotal = m.dwTotalVirtual;
    }
    info->total.set(megabytes(total));
    info->free.set(megabytes(avail));
    info->available.set(megabytes(avail));
    info->addressable.set(megabytes(virtualTotal));
    return f.ok();
}

Uint32 kivGetPhysSwapInfo(KIVSwapInfo* info)
{
    KIVFrame f(KIVFN_KIVGETPHYSSWAPINFO);
    Uint32 rc;
    if (!f.checkParam(info, rc))
        return rc;
    PERFORMANCE_INFORMATION perf;
    {
        SystemLibrary psapi("Psapi.dll");
        GetPerformanceInfoFn query = psapi.find<GetPerformanceInfoFn>("GetPerformanceInfo");
        if (query == nullptr) {
            return f.ret(invalidateAll(ECF_NOT_SUPPORTED, info->total, info->free));
        }
        memset(&perf, 0, sizeof perf);
        perf.cb = sizeof perf;
        if (!query(&perf, sizeof perf)) {
            return f.ret(invalidateAll(ECF_FAILED, info->total, info->free));
        }
    }
    const Uint64 pages = perf.CommitLimit > perf.PhysicalTotal
                             ? (Uint64)(perf.CommitLimit - perf.PhysicalTotal)
                             : 0;
    const Uint64 totalBytes = pages * (Uint64)perf.PageSize;
    const double percent = pagingFileUsage();
    const Uint64 used = (Uint64)((double)totalBytes * percent / 100.0);
    info->total.set(megabytes(totalBytes));
    info->free.set(megabytes(used < totalBytes ? totalBytes - used : 0));
    return f.ok();
}

Uint32 kivGetVirtualMemInfo(KIVVirtMemInfo* info)
{
    KIVFrame f(KIVFN_KIVGETVIRTUALMEMINFO);
    Uint32 rc;
    if (!f.checkParam(info, rc))
        return rc;
    invalidateAll(ECF_NOT_SUPPORTED, info->reserved, info->available);
    info->total.set(0);
    info->free.set(0);

    KIVMemInfo mem;
    KIVSwapInfo swap;
    Uint32 failure = 0;
    if (sumOrFail(kivGetPhysMemInfo(&mem), info->total, info->free, mem.total, mem.free,
                  &failure) &&
        sumOrFail(kivGetPhysSwapInfo(&swap), info->total, info->free, swap.total, swap.free,
                  &failure))
        return f.ret(ECF_PARTIAL_INFO);
    return f.ret(failure);
}

/* ---- the rest --------------------------------------------------------------------- */

Uint32 kivGetSystemDirectory(const KIVSystemDirectoryParam* param, KIVSystemDirectoryInfo* info)
{
    KIVFrame f(KIVFN_KIVGETSYSTEMDIRECTORY);
    Uint32 rc;
    if (!f.checkParam(param, rc) || !f.checkParam(info, rc))
        return rc;
    const UINT n = GetSystemDirectoryA(info->path, sizeof info->path);
    if (n == 0) {
        DWORD err = GetLastError();
        info->path[0] = '\0';
        return f.sysError(KIVOSFN_GETSYSTEMDIRECTORY, err, 20, nullptr);
    }
    if (n >= sizeof info->path) {
        Uint32 needed = n;
        info->path[0] = '\0';
        return f.fail(20, ECF_BUFFER_TOO_SMALL, 1, KIVLOG_UINT(needed));
    }
    return f.ok();
}

Uint32 kivGetAvgCPULoad(KIVCPULoadInfo* info)
{
    KIVFrame f(KIVFN_KIVGETAVGCPULOAD);
    Uint32 rc;
    if (!f.checkParam(info, rc))
        return rc;
    return f.ret(invalidateAll(ECF_NOT_SUPPORTED, info->load1, info->load5, info->load15));
}

Uint32 kivGetKernelIPCInfo(KIVKernelIPCInfo* info)
{
    KIVFrame f(KIVFN_KIVGETKERNELIPCINFO);
    Uint32 rc;
    if (!f.checkParam(info, rc))
        return rc;
    return f.ret(invalidateAll(ECF_NOT_SUPPORTED, info->maxSemaphoreSets,
                               info->maxSemaphoresPerSet, info->maxSharedMemorySegments,
                               info->maxSharedMemorySize, info->maxMessageQueues,
                               info->maxMessageSize));
}

} // extern "C"

/* ---- renderings --------------------------------------------------------------------- */

/* The "%s" in front of some figures marks an estimate; every figure of
 * this platform is exact, so it is empty. */
static const char kExact[] = "";

void KIVMemInfo::toString(toStringParam* param) const
{
    if (param == nullptr || param->version < KIV_SYSINFO_VERSION_V9)
        return;
    kivSnprintf(param->text, sizeof param->text,
                "System RAM information (in megabytes) :\n  Total       = %d\n"
                "  Free        = %d\n  Available   = %s%d\n  Addressable = %s%d",
                (int)shown(total), (int)shown(free), kExact, (int)shown(available), kExact,
                (int)shown(addressable));
}

void KIVSwapInfo::toString(toStringParam* param) const
{
    if (param == nullptr || param->version < KIV_SYSINFO_VERSION_V9)
        return;
    kivSnprintf(param->text, sizeof param->text,
                "Swap space information (in megabytes) :\n  Total = %d\n  Free  = %d",
                (int)shown(total), (int)shown(free));
}

void KIVVirtMemInfo::toString(toStringParam* param) const
{
    if (param == nullptr || param->version < KIV_SYSINFO_VERSION_V9)
        return;
    kivSnprintf(param->text, sizeof param->text,
                "Virtual Memory Information (in megabytes) :\n  Total     = %d\n"
                "  Reserved  = %s%d\n  Available = %s%d\n  Free      = %d",
                (int)shown(total), kExact, (int)shown(reserved), kExact, (int)shown(available),
                (int)shown(free));
}
