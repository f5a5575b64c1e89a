/*
 * test_sysinfo.cpp - system information queries, checked against the system's
 * own view (uname, sysconf, /proc, statvfs) on Linux or the Windows calls.
 */
#include "kivecf.h"
#include "kivos.h"
#include "kivsysinfo.h"
#include "kivtest.h"
#include "kivtestlog.h"

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#if !defined(_WIN32)
#  include <sched.h>
#  include <sys/stat.h>
#  include <sys/statvfs.h>
#  include <sys/utsname.h>
#  include <unistd.h>
#endif

namespace {

const Uint32 kOldVersion = 20040701u;

Uint64 roundUpMB(Uint64 bytes)
{
    return (bytes + 0xFFFFFu) >> 20;
}

#if !defined(_WIN32)
/* A field of /proc/meminfo in bytes. */
Uint64 meminfoBytes(const char* key)
{
    std::istringstream in(kivtestReadFile("/proc/meminfo"));
    std::string name;
    Uint64 kb = 0;
    std::string unit;
    while (in >> name >> kb) {
        std::getline(in, unit);
        if (name == std::string(key) + ":")
            return kb * 1024u;
    }
    ADD_FAILURE() << key << " not in /proc/meminfo";
    return 0;
}

struct MountEntry {
    std::string source, dir, type;
};

/* The mount that holds `path` (canonical), as /proc/self/mounts lists it. */
MountEntry mountOf(const std::string& path)
{
    char real[4096];
    EXPECT_NE(nullptr, realpath(path.c_str(), real)) << path;
    std::string canonical = real;
    std::istringstream in(kivtestReadFile("/proc/self/mounts"));
    MountEntry best;
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream f(line);
        MountEntry m;
        f >> m.source >> m.dir >> m.type;
        const bool under = m.dir == "/" || canonical == m.dir ||
                           canonical.compare(0, m.dir.size() + 1, m.dir + "/") == 0;
        if (under && m.dir.size() >= best.dir.size())
            best = m;
    }
    return best;
}
#endif

/* Fills every byte of a record with a marker, so untouched fields show. */
template <class R> void mark(R& r, Uint32 version)
{
    std::memset(static_cast<void*>(&r), 0x5A, sizeof r);
    r.version = version;
}

template <class R> bool untouched(const R& r)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(&r);
    for (size_t i = sizeof r.version; i < sizeof r; ++i) {
        if (p[i] != 0x5A)
            return false;
    }
    return true;
}

} // namespace

template <class R> void checkRefused(Uint32 (*query)(R*), Uint32 functionId)
{
    KivLogCapture log;
    EXPECT_EQ(ECF_INVALID_PARAMETER, query(nullptr));
    KivLogRecord null = log.at(functionId, 1111);
    EXPECT_EQ(0, null.itemCount);

    R r;
    mark(r, kOldVersion);
    EXPECT_EQ(ECF_INVALID_VERSION, query(&r));
    EXPECT_TRUE(untouched(r)) << "the record was written before the version check";
    KivLogRecord bad = log.at(functionId, 1112);
    ASSERT_EQ(2u, bad.items.size());
    EXPECT_EQ(kOldVersion, bad.items[0].asUint());
    EXPECT_EQ(20040702u, bad.items[1].asUint());
}

TEST(SysInfo, NullAndOldRecordsAreRefusedBeforeAnyValueIsTouched)
{
    checkRefused(kivGetOSInfo, KIVFN_KIVGETOSINFO);
    checkRefused(kivGetCPUInfo, KIVFN_KIVGETCPUINFO);
    checkRefused(kivGetPhysMemInfo, KIVFN_KIVGETPHYSMEMINFO);
    checkRefused(kivGetPhysSwapInfo, KIVFN_KIVGETPHYSSWAPINFO);
    checkRefused(kivGetVirtualMemInfo, KIVFN_KIVGETVIRTUALMEMINFO);
    checkRefused(kivGetAvgCPULoad, KIVFN_KIVGETAVGCPULOAD);
    checkRefused(kivGetKernelIPCInfo, KIVFN_KIVGETKERNELIPCINFO);
}

TEST(SysInfo, TwoArgumentQueriesCheckBoth)
{
    KIVDiskInfoParam p;
    KIVDiskInfo d;
    p.path = ".";
    EXPECT_EQ(ECF_INVALID_PARAMETER, kivGetDiskInfo(nullptr, &d));
    EXPECT_EQ(ECF_INVALID_PARAMETER, kivGetDiskInfo(&p, nullptr));
    p.path = nullptr;
    EXPECT_EQ(ECF_INVALID_PARAMETER, kivGetDiskInfo(&p, &d));
    p.path = ".";
    mark(d, kOldVersion);
    EXPECT_EQ(ECF_INVALID_VERSION, kivGetDiskInfo(&p, &d));
    EXPECT_TRUE(untouched(d));
    d.version = KIV_VERSION_CURRENT;
    p.version = kOldVersion;
    EXPECT_EQ(ECF_INVALID_VERSION, kivGetDiskInfo(&p, &d));

    KIVSystemDirectoryParam sp;
    KIVSystemDirectoryInfo si;
    EXPECT_EQ(ECF_INVALID_PARAMETER, kivGetSystemDirectory(nullptr, &si));
    EXPECT_EQ(ECF_INVALID_PARAMETER, kivGetSystemDirectory(&sp, nullptr));
    si.version = kOldVersion;
    EXPECT_EQ(ECF_INVALID_VERSION, kivGetSystemDirectory(&sp, &si));
}

TEST(SysInfo, OSInfoOfTheCurrentRecordIsPartialBecauseOfItsLastField)
{
    KIVOSInfo os;
    ASSERT_EQ(ECF_PARTIAL_INFO, kivGetOSInfo(&os));
    EXPECT_EQ(ECF_NOT_SUPPORTED, os.osLevel.status);
    ASSERT_TRUE(os.hostName.isValid());
    ASSERT_TRUE(os.osName.isValid());
    ASSERT_TRUE(os.osVersion.isValid());
    ASSERT_TRUE(os.osRelease.isValid());
    ASSERT_TRUE(os.machine.isValid());
    EXPECT_STREQ("WIN32_NT", os.osName.value);

    OSVERSIONINFOA v;
    std::memset(&v, 0, sizeof v);
    v.dwOSVersionInfoSize = sizeof v;
    ASSERT_TRUE(GetVersionExA(&v));
    EXPECT_EQ(std::to_string(v.dwMajorVersion) + "." + std::to_string(v.dwMinorVersion),
              os.osVersion.value);
    EXPECT_STREQ(v.szCSDVersion, os.osRelease.value);

#if defined(_WIN32)
    char host[256];
    DWORD size = sizeof host;
    ASSERT_TRUE(GetComputerNameA(host, &size));
    EXPECT_STREQ(host, os.hostName.value);
#else
    struct utsname u;
    ASSERT_EQ(0, uname(&u));
    EXPECT_STREQ(u.nodename, os.hostName.value);
    /* The kernel's release is named in the release text. */
    EXPECT_NE(nullptr, std::strstr(os.osRelease.value, u.release)) << os.osRelease.value;
#endif

    // The machine is the processor's family, model and stepping.
    SYSTEM_INFO si;
    GetNativeSystemInfo(&si);
    const char* arch = si.wProcessorArchitecture == 9   ? "AMD64"
                       : si.wProcessorArchitecture == 6 ? "IA64"
                                                        : "x86";
    EXPECT_EQ(std::string(arch) + " Family " + std::to_string(si.wProcessorLevel) + ", model " +
                  std::to_string(si.wProcessorRevision >> 8) + ", stepping " +
                  std::to_string(si.wProcessorRevision & 0xFF),
              os.machine.value);

    // An older record has no level field: it is left alone.
    mark(os, KIV_SYSINFO_VERSION_V2 - 1);
    EXPECT_EQ(0u, kivGetOSInfo(&os)); /* every step succeeds here */
    const char* level = reinterpret_cast<const char*>(&os.osLevel);
    EXPECT_EQ(std::string(sizeof os.osLevel, '\x5A'), std::string(level, sizeof os.osLevel));
}

TEST(SysInfo, ProcessorCountsPackagesAndCores)
{
    KIVCPUInfo cpu;
    ASSERT_EQ(0u, kivGetCPUInfo(&cpu));
    SYSTEM_INFO si;
    GetNativeSystemInfo(&si);
    EXPECT_EQ(si.dwNumberOfProcessors, cpu.numConfigured.value);
    EXPECT_EQ(si.dwNumberOfProcessors, cpu.numOnline.value);
    EXPECT_EQ(si.dwNumberOfProcessors, cpu.numAvailable.value);
    ASSERT_TRUE(cpu.numPackages.isValid());
    EXPECT_GE(cpu.numPackages.value, 1u);
    EXPECT_LE(cpu.numPackages.value, cpu.numOnline.value);
    ASSERT_TRUE(cpu.coresPerPackage.isValid());
    EXPECT_GE(cpu.coresPerPackage.value, 1u);
    ASSERT_TRUE(cpu.speedMHz.isValid());
    EXPECT_GT(cpu.speedMHz.value, 0u);
#if !defined(_WIN32)
    EXPECT_EQ((Uint32)sysconf(_SC_NPROCESSORS_ONLN), cpu.numOnline.value);
#endif

    KIVCPUInfo old;
    mark(old, KIV_SYSINFO_VERSION_V2 - 1);
    kivGetCPUInfo(&old);
    EXPECT_EQ(0x5A5A5A5Au, old.coresPerPackage.value);
    EXPECT_EQ(cpu.numPackages.value, old.numPackages.value);
}

/* The calling thread's affinity, as a mask of the first processors. */
static Uint64 threadAffinity()
{
#if defined(_WIN32)
    /* Windows tells the old mask only when a new one is set. */
    DWORD_PTR process = 0, system = 0;
    GetProcessAffinityMask(GetCurrentProcess(), &process, &system);
    DWORD_PTR old = SetThreadAffinityMask(GetCurrentThread(), process);
    SetThreadAffinityMask(GetCurrentThread(), old);
    return old;
#else
    cpu_set_t set;
    CPU_ZERO(&set);
    sched_getaffinity(0, sizeof set, &set);
    Uint64 mask = 0;
    for (int i = 0; i < 64; ++i)
        if (CPU_ISSET(i, &set))
            mask |= 1ull << i;
    return mask;
#endif
}

/* The package count moves the thread from processor to processor once per
 * process; afterwards the thread must run where it ran before. */
KIVTEST_CHILD(sysinfoPackagesRestoreAffinity)
{
    (void)args;
    const Uint64 before = threadAffinity();
    KIVCPUInfo cpu;
    if (kivGetCPUInfo(&cpu) != 0 || cpu.numPackages.value < 1)
        return 2;
    return threadAffinity() == before ? 0 : 3;
}

TEST(SysInfo, CountingPackagesRestoresTheThreadsAffinity)
{
    EXPECT_EQ(0, kivtestRunChild("sysinfoPackagesRestoreAffinity"));
}

TEST(SysInfo, PhysicalMemory)
{
    KIVMemInfo mem;
    ASSERT_EQ(0u, kivGetPhysMemInfo(&mem));
    EXPECT_TRUE(mem.total.isValid() && mem.free.isValid() && mem.available.isValid() &&
                mem.addressable.isValid());
    EXPECT_LE(mem.free.value, mem.total.value);

    MEMORYSTATUSEX m;
    m.dwLength = sizeof m;
    ASSERT_TRUE(GlobalMemoryStatusEx(&m));
    EXPECT_EQ(roundUpMB(m.ullTotalPhys), mem.total.value);
    EXPECT_EQ(roundUpMB(m.ullTotalVirtual), mem.addressable.value);
#if !defined(_WIN32)
    EXPECT_EQ(roundUpMB(meminfoBytes("MemTotal")), mem.total.value);
    /* Free memory moves; within 5% of the total of the kernel's figure. */
    const double avail = (double)roundUpMB(meminfoBytes("MemAvailable"));
    EXPECT_NEAR(avail, mem.free.value, mem.total.value * 0.05 + 2);
#endif
}

TEST(SysInfo, PagingSpace)
{
    KIVSwapInfo swap;
    ASSERT_EQ(0u, kivGetPhysSwapInfo(&swap));
    EXPECT_TRUE(swap.total.isValid() && swap.free.isValid());
    EXPECT_LE(swap.free.value, swap.total.value);
#if !defined(_WIN32)
    const Uint64 total = roundUpMB(meminfoBytes("SwapTotal"));
    EXPECT_NEAR((double)total, swap.total.value, 1.0);
    const Uint64 free = roundUpMB(meminfoBytes("SwapFree"));
    EXPECT_NEAR((double)free, swap.free.value, total * 0.05 + 2);
#endif
}

TEST(SysInfo, VirtualMemoryIsPhysicalPlusPaging)
{
    KIVVirtMemInfo virt;
    ASSERT_EQ(ECF_PARTIAL_INFO, kivGetVirtualMemInfo(&virt));
    EXPECT_EQ(ECF_NOT_SUPPORTED, virt.reserved.status);
    EXPECT_EQ(ECF_NOT_SUPPORTED, virt.available.status);
    ASSERT_TRUE(virt.total.isValid() && virt.free.isValid());
    KIVMemInfo mem;
    KIVSwapInfo swap;
    kivGetPhysMemInfo(&mem);
    kivGetPhysSwapInfo(&swap);
    EXPECT_NEAR((double)(mem.total.value + swap.total.value), virt.total.value, 1.0);
    EXPECT_NEAR((double)(mem.free.value + swap.free.value), virt.free.value,
                virt.total.value * 0.05 + 2);
}

TEST(SysInfo, QueriesThisPlatformCannotAnswer)
{
    KIVCPULoadInfo load;
    EXPECT_EQ(ECF_NOT_SUPPORTED, kivGetAvgCPULoad(&load));
    KIVKernelIPCInfo ipc;
    EXPECT_EQ(ECF_NOT_SUPPORTED, kivGetKernelIPCInfo(&ipc));
    for (Uint32 status : {load.load1.status, load.load5.status, load.load15.status,
                          ipc.maxSemaphoreSets.status, ipc.maxSemaphoresPerSet.status,
                          ipc.maxSharedMemorySegments.status, ipc.maxSharedMemorySize.status,
                          ipc.maxMessageQueues.status, ipc.maxMessageSize.status})
        EXPECT_EQ(ECF_NOT_SUPPORTED, status);
}

TEST(SysInfo, MemoryRenderings)
{
    KIVMemInfo mem;
    mem.total.set(24106);
    mem.free.set(22212);
    mem.available.invalidate(ECF_FAILED);
    mem.addressable.set(4096);
    KIVMemInfo::toStringParam mt;
    mem.toString(&mt);
    EXPECT_STREQ("System RAM information (in megabytes) :\n  Total       = 24106\n"
                 "  Free        = 22212\n  Available   = -1\n  Addressable = 4096",
                 mt.text);
}

/* A rendering into a buffer object older than the buffers writes nothing. */
template <class R> void expectOldBufferUntouched()
{
    typename R::toStringParam t;
    t.version = KIV_SYSINFO_VERSION_V9 - 1;
    std::memset(t.text, 'x', sizeof t.text);
    R().toString(&t);
    EXPECT_EQ(std::string(sizeof t.text, 'x'), std::string(t.text, sizeof t.text));
    R().toString(nullptr); /* and a null buffer object is ignored */
}

TEST(SysInfo, RenderingsOfAnOldBufferWriteNothing)
{
    expectOldBufferUntouched<KIVMemInfo>();
    expectOldBufferUntouched<KIVDiskInfo>();
}

TEST(SysInfo, DiskRendering)
{
    KIVDiskInfo d;
    d.blockSize.invalidate(ECF_NOT_SUPPORTED);
    d.totalSize.set(270553174016LL);
    d.freeSize.set(67068317696LL);
    d.numInodes.invalidate(ECF_NOT_SUPPORTED);
    d.fsName.invalidate(ECF_NOT_SUPPORTED);
    d.mountPoint.invalidate(ECF_NOT_SUPPORTED);
    d.fsId.set(0x43000000u);
    d.fsTypeName.set("NTFS-with-a-long-name");
    d.ioMountOption.invalidate(ECF_NOT_SUPPORTED);
    d.deviceType.set(KIV_DISK_DEVICE_VALID);
    d.fsType.set(KIV_FS_TYPE_NTFS);
    KIVDiskInfo::toStringParam t;
    d.toString(&t);
    EXPECT_STREQ("File System Information of the target file :\n"
                 "  Block size        = -1 bytes\n"
                 "  Total size        = 270553174016 bytes\n"
                 "  Free size         = 67068317696 bytes\n"
                 "  Total # of inodes = -1\n"
                 "  FS name           = N/A\n"
                 "  Mount point       = N/A\n"
                 "  FSID              = 1124073472\n"
                 "  FS type name      = NTFS-with-\n"
                 "  DIO/CIO mount opt = None\n"
                 "  Device type       = Valid\n"
                 "  FS type           = 0x1\n",
                 t.text);

    /* Failed values: -1, an invalid FSID 0, an unknown device. */
    d.totalSize.invalidate(ECF_FAILED);
    d.fsId.invalidate(ECF_FAILED);
    d.fsTypeName.set("");
    d.ioMountOption.set(KIV_DISK_IO_CIO);
    d.deviceType.invalidate(ECF_FAILED);
    d.fsType.invalidate(ECF_FAILED);
    d.toString(&t);
    for (const char* line : {"  Total size        = -1 bytes\n", "  FSID              = 0\n",
                             "  FS type name      = N/A\n", "  DIO/CIO mount opt = CIO\n",
                             "  Device type       = Unknown\n",
                             "  FS type           = 0xffffffffffffffff\n"})
        EXPECT_NE(nullptr, std::strstr(t.text, line)) << t.text;

    /* A record older than the type code shows it as not known. */
    d.version = KIV_SYSINFO_VERSION_V9 - 1;
    d.fsType.set(KIV_FS_TYPE_NTFS);
    d.toString(&t);
    EXPECT_NE(nullptr, std::strstr(t.text, "  FS type           = 0xffffffffffffffff\n"));
}

TEST(SysInfo, DiskInfoOfADirectory)
{
    KivTestTempDir dir;
    KIVDiskInfoParam p;
    p.path = dir.path().c_str();
    KIVDiskInfo d;
    ASSERT_EQ(ECF_PARTIAL_INFO, kivGetDiskInfo(&p, &d));
    /* What this platform never knows. */
    for (Uint32 status : {d.blockSize.status, d.numInodes.status, d.fsName.status,
                          d.mountPoint.status, d.ioMountOption.status})
        EXPECT_EQ(ECF_NOT_SUPPORTED, status);
    ASSERT_TRUE(d.totalSize.isValid());
    ASSERT_TRUE(d.freeSize.isValid());
    ASSERT_TRUE(d.fsId.isValid());
    ASSERT_TRUE(d.fsTypeName.isValid());
    ASSERT_TRUE(d.deviceType.isValid());
    EXPECT_GT(d.totalSize.value, 0);
    EXPECT_LE(d.freeSize.value, d.totalSize.value);
    EXPECT_GT(std::strlen(d.fsTypeName.value), 0u);

#if defined(_WIN32)
    ULARGE_INTEGER freeToCaller, total;
    ASSERT_TRUE(GetDiskFreeSpaceExA((dir.path() + "\\").c_str(), &freeToCaller, &total, nullptr));
    EXPECT_EQ((Sint64)total.QuadPart, d.totalSize.value);
    EXPECT_EQ(KIV_DISK_DEVICE_VALID, d.deviceType.value); /* a fixed disk */
#else
    struct statvfs v;
    ASSERT_EQ(0, statvfs(dir.path().c_str(), &v));
    EXPECT_EQ((Sint64)v.f_blocks * (Sint64)v.f_frsize, d.totalSize.value);
    EXPECT_NEAR((double)v.f_bavail * v.f_frsize, (double)d.freeSize.value, 64.0 * 1024 * 1024);
    struct stat st;
    ASSERT_EQ(0, stat(dir.path().c_str(), &st));
    EXPECT_EQ((Uint32)st.st_dev, d.fsId.value);
    const MountEntry m = mountOf(dir.path());
    EXPECT_EQ(m.type, d.fsTypeName.value);
    const bool ram = m.type == "tmpfs" || m.type == "ramfs";
    if (!ram) {
        EXPECT_EQ(KIV_DISK_DEVICE_VALID, d.deviceType.value);
    }
#endif
}

TEST(SysInfo, DiskInfoOfAFileOrAMissingNameIsThatOfItsVolume)
{
    KivTestTempDir dir;
    const std::string file = dir.file("data.bin");
    std::ofstream(file) << "x";
    KIVDiskInfoParam p;
    KIVDiskInfo ofDir, ofFile, ofMissing;
    p.path = dir.path().c_str();
    ASSERT_EQ(ECF_PARTIAL_INFO, kivGetDiskInfo(&p, &ofDir));
    p.path = file.c_str();
    ASSERT_EQ(ECF_PARTIAL_INFO, kivGetDiskInfo(&p, &ofFile));
    const std::string missing = dir.file("not-yet") + "/file";
    p.path = missing.c_str();
    ASSERT_EQ(ECF_PARTIAL_INFO, kivGetDiskInfo(&p, &ofMissing));
    for (const KIVDiskInfo* d : {&ofFile, &ofMissing}) {
        ASSERT_TRUE(d->totalSize.isValid());
        EXPECT_EQ(ofDir.totalSize.value, d->totalSize.value);
        EXPECT_EQ(ofDir.fsId.value, d->fsId.value);
        EXPECT_STREQ(ofDir.fsTypeName.value, d->fsTypeName.value);
        EXPECT_EQ(ofDir.deviceType.value, d->deviceType.value);
    }
}

TEST(SysInfo, DiskInfoSelection)
{
    KivTestTempDir dir;
    KIVDiskInfoParam p;
    p.path = dir.path().c_str();
    KIVDiskInfo d;
    p.flags = KIV_DISKINFO_FSID;
    ASSERT_EQ(ECF_PARTIAL_INFO, kivGetDiskInfo(&p, &d));
    EXPECT_TRUE(d.fsId.isValid());
    EXPECT_TRUE(d.fsTypeName.isValid());
    EXPECT_EQ(ECF_NOT_SUPPORTED, d.totalSize.status);
    EXPECT_EQ(ECF_NOT_SUPPORTED, d.freeSize.status);
    EXPECT_EQ(ECF_NOT_SUPPORTED, d.deviceType.status);
}

TEST(SysInfo, DiskInfoByFileHandleIsNotSupported)
{
    KivTestTempDir dir;
    KIVDiskInfoParam p;
    p.path = dir.path().c_str();
    p.fileHandle = reinterpret_cast<void*>(static_cast<intptr_t>(12));
    KIVDiskInfo d;
    EXPECT_EQ(ECF_NOT_SUPPORTED, kivGetDiskInfo(&p, &d));
    for (Uint32 status : {d.totalSize.status, d.fsId.status, d.deviceType.status, d.fsType.status})
        EXPECT_EQ(ECF_NOT_SUPPORTED, status);

    /* An older parameter object has no handle: the word is not read. */
    p.version = KIV_SYSINFO_VERSION_V9 - 1;
    EXPECT_EQ(ECF_PARTIAL_INFO, kivGetDiskInfo(&p, &d));
    EXPECT_TRUE(d.totalSize.isValid());
}

TEST(SysInfo, DiskInfoOfANonexistentVolumeFails)
{
#if defined(_WIN32)
    /* A drive letter no system gives out to a disk here. */
    const char* path = "B:\\nothing";
    if (GetLogicalDrives() & 2u)
        GTEST_SKIP() << "drive B: exists";
    KIVDiskInfoParam p;
    p.path = path;
#else
    /* A name longer than any path the system takes. */
    const std::string path = "/" + std::string(300, 'n');
    KIVDiskInfoParam p;
    p.path = path.c_str();
#endif
    KIVDiskInfo d;
    EXPECT_EQ(ECF_FAILED, kivGetDiskInfo(&p, &d));
    for (Uint32 status : {d.totalSize.status, d.fsId.status, d.fsTypeName.status,
                          d.deviceType.status})
        EXPECT_EQ(ECF_FAILED, status);
}

TEST(SysInfo, MountListingOrder)
{
    KivLogCapture log;
    KIVMountListing list;
    KIVMountListingParam p;
    KIVMountInfo m;
    EXPECT_EQ(ECF_INVALID_INVOCATION_SEQUENCE, list.getNext(&p, &m));
    EXPECT_TRUE(log.has(KIVFN_KIVMOUNTLISTING_GETNEXT, 20));
    EXPECT_EQ(ECF_INVALID_INVOCATION_SEQUENCE, list.end());
    EXPECT_TRUE(log.has(KIVFN_KIVMOUNTLISTING_END, 10));
    ASSERT_EQ(0u, list.begin());
    EXPECT_EQ(ECF_INVALID_INVOCATION_SEQUENCE, list.begin());
    EXPECT_TRUE(log.has(KIVFN_KIVMOUNTLISTING_BEGIN, 10));
    EXPECT_EQ(ECF_INVALID_PARAMETER, list.getNext(nullptr, &m));
    EXPECT_EQ(ECF_INVALID_PARAMETER, list.getNext(&p, nullptr));
    EXPECT_EQ(0u, list.end());
    EXPECT_FALSE(list.isOpen());
    /* It can begin again after its end. */
    EXPECT_EQ(0u, list.begin());
}

TEST(SysInfo, MountListingNamesEveryVolumeThenEnds)
{
    KIVMountListing list;
    KIVMountListingParam p;
    ASSERT_EQ(0u, list.begin());
    std::vector<KIVMountInfo> volumes;
    Uint32 rc = 0;
    for (int i = 0; i < 30 && rc != ECF_FILE_EOF; ++i) {
        KIVMountInfo m;
        rc = list.getNext(&p, &m);
        if (rc == 0)
            volumes.push_back(m);
    }
    ASSERT_EQ(ECF_FILE_EOF, rc);
    KIVMountInfo after;
    EXPECT_EQ(ECF_FILE_EOF, list.getNext(&p, &after));
    EXPECT_EQ(0u, list.end());
    ASSERT_FALSE(volumes.empty());
    for (const KIVMountInfo& m : volumes) {
        EXPECT_GT(m.totalMB, 0u) << m.mountPoint;
        EXPECT_LE(m.freeMB, m.totalMB) << m.mountPoint;
        EXPECT_GT(std::strlen(m.fsTypeName), 0u) << m.mountPoint;
    }
#if !defined(_WIN32)
    /* One volume: the root. */
    ASSERT_EQ(1u, volumes.size());
    EXPECT_STREQ("/", volumes[0].mountPoint);
    struct statvfs v;
    ASSERT_EQ(0, statvfs("/", &v));
    EXPECT_EQ(roundUpMB((Uint64)v.f_blocks * v.f_frsize), volumes[0].totalMB);
    const MountEntry root = mountOf("/");
    EXPECT_EQ(root.type, volumes[0].fsTypeName);
    EXPECT_EQ(root.source, volumes[0].volumeName);
#endif
}

TEST(SysInfo, SystemDirectory)
{
    KIVSystemDirectoryParam p;
    KIVSystemDirectoryInfo d;
    ASSERT_EQ(0u, kivGetSystemDirectory(&p, &d));
    ASSERT_GT(std::strlen(d.path), 0u);
    const DWORD attributes = GetFileAttributesA(d.path);
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, attributes) << d.path;
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_DIRECTORY);
#if defined(_WIN32)
    const std::string path = d.path;
    EXPECT_EQ(0, _stricmp(path.substr(path.size() - 8).c_str(), "system32")) << path;
#else
    /* Where the system's own libraries are: the C library is there. */
    struct stat st;
    EXPECT_EQ(0, stat((std::string(d.path) + "/libc.so.6").c_str(), &st)) << d.path;
#endif
}

#if defined(_WIN32)
TEST(SysInfoSubset, ErrorNumbers)
{
    GTEST_SKIP() << "the Win32 subset is the POSIX build's";
}
#else
TEST(SysInfoSubset, ComputerNameAndRegistryBuffers)
{
    struct utsname u;
    uname(&u);
    char small[2];
    DWORD size = 1;
    EXPECT_FALSE(GetComputerNameA(small, &size));
    EXPECT_EQ((DWORD)ERROR_BUFFER_OVERFLOW, GetLastError());
    EXPECT_EQ(std::strlen(u.nodename) + 1, size);
}
#endif
