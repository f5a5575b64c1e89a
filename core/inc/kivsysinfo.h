/*
 * kivsysinfo.h - system information: the operating system, processors,
 * physical memory, paging space, virtual memory, the file system that
 * holds a path, the system directory and the list of mounted volumes.
 *
 *   KIVMemInfo mem;
 *   Uint32 rc = kivGetPhysMemInfo(&mem);
 *   if ((rc == 0 || rc == ECF_PARTIAL_INFO) && mem.total.isValid())
 *       use(mem.total.value);
 *
 * The caller allocates every record and the library fills it.  Each value
 * travels with a status: 0 when the value is valid, otherwise the ECF code
 * that says why not (usually ECF_NOT_SUPPORTED or ECF_FAILED), so a
 * platform that cannot supply one value still returns the others.  A query
 * returns 0 when every value is valid, the warning ECF_PARTIAL_INFO when
 * some are not, and ECF_FAILED or ECF_NOT_SUPPORTED when none is.
 *
 * Records and parameter objects begin with a version word.  A version
 * below KIV_VERSION_MIN is refused (ECF_INVALID_VERSION); fields marked
 * "from" a version exist only in records of that version or later, and are
 * neither read nor written in older ones.
 */
#ifndef KIVSYSINFO_H
#define KIVSYSINFO_H

#include "kivbase.h"

/* Versions that add fields. */
#define KIV_SYSINFO_VERSION_V2 20050715u   /* 0x0131F31B: KIVOSInfo::osLevel,
                                              KIVCPUInfo::coresPerPackage */
#define KIV_SYSINFO_VERSION_V9 0x09050000u /* KIVDiskInfo::fsType, the disk
                                              parameter's file handle, and the
                                              toString buffers */

/* Selection bits of KIVDiskInfoParam::flags. */
#define KIV_DISKINFO_ALL          0x001u
#define KIV_DISKINFO_TOTAL_SIZE   0x004u
#define KIV_DISKINFO_FREE_SIZE    0x008u
#define KIV_DISKINFO_FSID         0x080u
#define KIV_DISKINFO_FS_TYPE_NAME 0x100u
#define KIV_DISKINFO_DEVICE_TYPE  0x400u

/* KIVDiskInfo::ioMountOption. */
#define KIV_DISK_IO_NONE 0u
#define KIV_DISK_IO_DIO  1u
#define KIV_DISK_IO_CIO  2u

/* KIVDiskInfo::deviceType, as toString names them. */
#define KIV_DISK_DEVICE_VALID     1u
#define KIV_DISK_DEVICE_READY     2u
#define KIV_DISK_DEVICE_REMOVABLE 4u
/* What the query stores for a removable drive (every other kind of drive
 * it knows is KIV_DISK_DEVICE_VALID). */
#define KIV_DISK_DEVICE_REMOVABLE_DRIVE 5u

/* KIVDiskInfo::fsType: the file system by its type name. */
#define KIV_FS_TYPE_NTFS     0x01
#define KIV_FS_TYPE_FAT      0x02
#define KIV_FS_TYPE_FAT32    0x03
#define KIV_FS_TYPE_EXFAT    0x04
#define KIV_FS_TYPE_REFS     0x05
#define KIV_FS_TYPE_CDFS     0x06
#define KIV_FS_TYPE_UDF      0x07
#define KIV_FS_TYPE_EXT2     0x10
#define KIV_FS_TYPE_EXT3     0x11
#define KIV_FS_TYPE_EXT4     0x12
#define KIV_FS_TYPE_XFS      0x13
#define KIV_FS_TYPE_BTRFS    0x14
#define KIV_FS_TYPE_REISERFS 0x15
#define KIV_FS_TYPE_JFS      0x16
#define KIV_FS_TYPE_JFS2     0x17
#define KIV_FS_TYPE_GPFS     0x20
#define KIV_FS_TYPE_VXFS     0x21
#define KIV_FS_TYPE_SANFS    0x22
#define KIV_FS_TYPE_NFS      0x30
#define KIV_FS_TYPE_CIFS     0x31
#define KIV_FS_TYPE_AUTOFS   0x32
#define KIV_FS_TYPE_TMPFS    0x40
#define KIV_FS_TYPE_OVERLAY  0x41
#define KIV_FS_TYPE_ZFS      0x42

/* No file handle in KIVDiskInfoParam. */
#define KIV_DISKINFO_NO_HANDLE ((void*)(intptr_t)-1)

#ifdef __cplusplus

/* ---- values with their status ------------------------------------------------- */

class KIV_API KIVSysInfoUint {
public:
    KIVSysInfoUint() : value(0), status(0) {}
    bool isValid() const { return status == 0; }
    void set(Uint32 v) { value = v; status = 0; }
    void invalidate(Uint32 code) { value = 0; status = code; }
    Uint32 value;
    Uint32 status;
};

class KIV_API KIVSysInfoSint {
public:
    KIVSysInfoSint() : value(0), status(0) {}
    bool isValid() const { return status == 0; }
    void set(Sint32 v) { value = v; status = 0; }
    void invalidate(Uint32 code) { value = 0; status = code; }
    Sint32 value;
    Uint32 status;
};

/* 8-aligned on every ABI, so the record layouts do not depend on it. */
class KIV_API KIVSysInfoSint64 {
public:
    KIVSysInfoSint64() : value(0), status(0) {}
    bool isValid() const { return status == 0; }
    void set(Sint64 v) { value = v; status = 0; }
    void invalidate(Uint32 code) { value = 0; status = code; }
    alignas(8) Sint64 value;
    Uint32 status;
};

class KIV_API KIVSysInfoDouble {
public:
    KIVSysInfoDouble() : value(0.0), status(0) {}
    bool isValid() const { return status == 0; }
    void set(double v) { value = v; status = 0; }
    void invalidate(Uint32 code) { value = 0.0; status = code; }
    alignas(8) double value;
    Uint32 status;
};

class KIV_API KIVSysInfoStr {
public:
    enum { SIZE = 256 };
    KIVSysInfoStr() : value(), status(0) {}
    bool isValid() const { return status == 0; }
    /* Copies as much of `text` as fits, always terminated. */
    void set(const char* text);
    void invalidate(Uint32 code) { value[0] = '\0'; status = code; }
    char   value[SIZE];
    Uint32 status;
};

class KIV_API KIVSysInfoMountPoint {
public:
    enum { SIZE = 1024 };
    KIVSysInfoMountPoint() : value(), status(0) {}
    bool isValid() const { return status == 0; }
    void set(const char* text);
    void invalidate(Uint32 code) { value[0] = '\0'; status = code; }
    char   value[SIZE];
    Uint32 status;
};

/* ---- records -------------------------------------------------------------------- */

class KIV_API KIVOSInfo {
public:
    KIVOSInfo();
    Uint32        version;
    KIVSysInfoStr osName;    /* "WIN32_NT", "WIN32_WINDOWS", "WIN32s" or "UNKNOWN" */
    KIVSysInfoStr hostName;
    KIVSysInfoStr osVersion; /* "major.minor" */
    KIVSysInfoStr osRelease; /* the service-pack text */
    KIVSysInfoStr machine;   /* "x86 Family 6, model 15, stepping 11" */
    KIVSysInfoStr osLevel;   /* from KIV_SYSINFO_VERSION_V2; never available here */
};

class KIV_API KIVCPUInfo {
public:
    KIVCPUInfo();
    Uint32         version;
    KIVSysInfoUint numConfigured; /* the three counts are the number of */
    KIVSysInfoUint numOnline;     /* processors the system reports      */
    KIVSysInfoUint numAvailable;
    KIVSysInfoUint speedMHz;
    KIVSysInfoUint numPackages;     /* physical processor packages */
    KIVSysInfoUint coresPerPackage; /* from KIV_SYSINFO_VERSION_V2 */
};

/* Physical memory, in megabytes. */
class KIV_API KIVMemInfo {
public:
    class KIV_API toStringParam {
    public:
        toStringParam();
        Uint32 version;
        char   text[196];
    };
    KIVMemInfo();
    /* Nothing for a null param or one below KIV_SYSINFO_VERSION_V9. */
    void toString(toStringParam* param) const;

    Uint32         version;
    KIVSysInfoUint total;
    KIVSysInfoUint free;
    KIVSysInfoUint available;
    KIVSysInfoUint addressable; /* the process's virtual address space */
};

/* Paging space, in megabytes. */
class KIV_API KIVSwapInfo {
public:
    class KIV_API toStringParam {
    public:
        toStringParam();
        Uint32 version;
        char   text[108];
    };
    KIVSwapInfo();
    void toString(toStringParam* param) const;

    Uint32         version;
    KIVSysInfoUint total;
    KIVSysInfoUint free;
};

/* Virtual memory (physical memory and paging space), in megabytes. */
class KIV_API KIVVirtMemInfo {
public:
    class KIV_API toStringParam {
    public:
        toStringParam();
        Uint32 version;
        char   text[200];
    };
    KIVVirtMemInfo();
    void toString(toStringParam* param) const;

    Uint32         version;
    KIVSysInfoUint total;
    KIVSysInfoUint reserved;
    KIVSysInfoUint available;
    KIVSysInfoUint free;
};

class KIV_API KIVDiskInfoParam {
public:
    KIVDiskInfoParam();
    Uint32      version;
    const char* path;
    Uint32      flags;      /* KIV_DISKINFO_* */
    void*       fileHandle; /* from KIV_SYSINFO_VERSION_V9: an open file, or
                               KIV_DISKINFO_NO_HANDLE */
};

/* The file system that holds a path. */
class KIV_API KIVDiskInfo {
public:
    class KIV_API toStringParam {
    public:
        toStringParam();
        Uint32 version;
        char   text[591];
    };
    KIVDiskInfo();
    void toString(toStringParam* param) const;

    Uint32               version;
    KIVSysInfoSint64     blockSize;
    KIVSysInfoSint64     totalSize; /* bytes */
    KIVSysInfoSint64     freeSize;  /* bytes the caller may still use */
    KIVSysInfoSint64     numInodes;
    KIVSysInfoStr        fsName;
    KIVSysInfoMountPoint mountPoint;
    KIVSysInfoUint       fsId;          /* the volume serial number */
    KIVSysInfoStr        fsTypeName;    /* up to 255 characters */
    KIVSysInfoUint       ioMountOption; /* KIV_DISK_IO_* */
    KIVSysInfoUint       deviceType;    /* KIV_DISK_DEVICE_* */
    KIVSysInfoSint64     fsType;        /* from KIV_SYSINFO_VERSION_V9: KIV_FS_TYPE_* */
};

class KIV_API KIVSystemDirectoryParam {
public:
    KIVSystemDirectoryParam();
    Uint32 version;
    Uint32 reserved;
};

class KIV_API KIVSystemDirectoryInfo {
public:
    KIVSystemDirectoryInfo();
    Uint32 version;
    char   path[261];
};

/* Load averages over 1, 5 and 15 minutes. */
class KIV_API KIVCPULoadInfo {
public:
    KIVCPULoadInfo();
    Uint32           version;
    KIVSysInfoDouble load1;
    KIVSysInfoDouble load5;
    KIVSysInfoDouble load15;
};

/* Kernel limits of the IPC objects. */
class KIV_API KIVKernelIPCInfo {
public:
    KIVKernelIPCInfo();
    Uint32           version;
    KIVSysInfoUint   maxSemaphoreSets;
    KIVSysInfoUint   maxSemaphoresPerSet;
    KIVSysInfoUint   maxSharedMemorySegments;
    KIVSysInfoSint64 maxSharedMemorySize;
    KIVSysInfoUint   maxMessageQueues;
    KIVSysInfoUint   maxMessageSize;
};

/* One mounted volume. */
class KIV_API KIVMountInfo {
public:
    KIVMountInfo();
    Uint32            version;
    char              mountPoint[1025];  /* the drive root */
    alignas(8) Uint64 totalMB;
    alignas(8) Uint64 freeMB;            /* megabytes the caller may still use */
    char              fsTypeName[101];
    char              volumeName[1025];
};

class KIV_API KIVMountListingParam {
public:
    KIVMountListingParam();
    Uint32 version;
    Uint32 reserved;
};

/* The mounted volumes, one getNext at a time:
 *
 *   KIVMountListing list;
 *   KIVMountListingParam p;
 *   KIVMountInfo m;
 *   if (list.begin() == 0) {
 *       while ((rc = list.getNext(&p, &m)) != ECF_FILE_EOF)
 *           if (rc == 0) use(m);
 *       list.end();
 *   }
 *
 * A drive whose query fails is returned with that failure's code and as
 * much of its record as was obtained; the next getNext goes on with the
 * next drive. */
class KIV_API KIVMountListing {
public:
    KIVMountListing();
    ~KIVMountListing();
    Uint32 begin();
    Uint32 getNext(const KIVMountListingParam* param, KIVMountInfo* info);
    Uint32 end();
    bool   isOpen() const { return open != 0; }

    Uint32 open;
    Uint32 position; /* offset of the next drive root in drives */
    char   drives[1024];

    KIVMountListing(const KIVMountListing&) = delete;
    KIVMountListing& operator=(const KIVMountListing&) = delete;
};

extern "C" {

KIV_API Uint32 kivGetOSInfo(KIVOSInfo* info);
KIV_API Uint32 kivGetCPUInfo(KIVCPUInfo* info);
KIV_API Uint32 kivGetPhysMemInfo(KIVMemInfo* info);
KIV_API Uint32 kivGetPhysSwapInfo(KIVSwapInfo* info);
KIV_API Uint32 kivGetVirtualMemInfo(KIVVirtMemInfo* info);
KIV_API Uint32 kivGetDiskInfo(const KIVDiskInfoParam* param, KIVDiskInfo* info);
KIV_API Uint32 kivGetSystemDirectory(const KIVSystemDirectoryParam* param,
                                     KIVSystemDirectoryInfo* info);
/* Not available on this platform: every status and the result are
 * ECF_NOT_SUPPORTED. */
KIV_API Uint32 kivGetAvgCPULoad(KIVCPULoadInfo* info);
KIV_API Uint32 kivGetKernelIPCInfo(KIVKernelIPCInfo* info);
/* Counts the physical processor packages, once per process. */
KIV_API void kivSysInfoOneTimeOnly(void);

}

#endif /* __cplusplus */

#endif /* KIVSYSINFO_H */
