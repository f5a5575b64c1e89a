/*
 * kivmount.cpp - the file system that holds a path (kivGetDiskInfo and its
 * rendering) and the listing of the mounted volumes (KIVMountListing).
 *
 * A volume is known by its root: the drive root ("C:\") of a drive path,
 * otherwise the root the system names for the path (a share, a mounted
 * folder, or on POSIX the mount point).
 */
#include "kivsysinfo.h"

#include "kivecf.h"
#include "kivframe.h"
#include "kivos.h"
#include "kivpath.h"
#include "kivstring.h"

#include <string.h>

KIVDiskInfoParam::KIVDiskInfoParam()
    : version(KIV_VERSION_CURRENT), path(nullptr), flags(KIV_DISKINFO_ALL),
      fileHandle(KIV_DISKINFO_NO_HANDLE)
{
}

KIVDiskInfo::KIVDiskInfo() : version(KIV_VERSION_CURRENT) {}
KIVDiskInfo::toStringParam::toStringParam() : version(KIV_VERSION_CURRENT), text() {}

KIVMountInfo::KIVMountInfo()
    : version(KIV_VERSION_CURRENT), mountPoint(), totalMB(0), freeMB(0), fsTypeName(),
      volumeName()
{
}

KIVMountListingParam::KIVMountListingParam() : version(KIV_VERSION_CURRENT), reserved(0) {}

namespace {

enum : Uint32 {
    kProbeSizes = 30,
    kProbeVolume = 40,
    kProbeDeviceUnknown = 50,
    kProbeNoRoot = 60,
};

/* Path buffers: the path as given (up to 262 bytes), a separator and the
 * terminator. */
const size_t kPathBytes = 262;

/* File-system type names and their codes.  A name matches without regard
 * to letter case; "nfs" matches every name that begins with it ("nfs4"). */
struct FsType {
    const char* name;
    Sint64      code;
};
const FsType kFsTypes[] = {
    {"NTFS", KIV_FS_TYPE_NTFS},         {"FAT", KIV_FS_TYPE_FAT},
    {"FAT32", KIV_FS_TYPE_FAT32},       {"exFAT", KIV_FS_TYPE_EXFAT},
    {"vfat", KIV_FS_TYPE_FAT32},        {"ReFS", KIV_FS_TYPE_REFS},
    {"CDFS", KIV_FS_TYPE_CDFS},         {"iso9660", KIV_FS_TYPE_CDFS},
    {"UDF", KIV_FS_TYPE_UDF},           {"ext2", KIV_FS_TYPE_EXT2},
    {"ext3", KIV_FS_TYPE_EXT3},         {"ext4", KIV_FS_TYPE_EXT4},
    {"xfs", KIV_FS_TYPE_XFS},           {"btrfs", KIV_FS_TYPE_BTRFS},
    {"reiserfs", KIV_FS_TYPE_REISERFS}, {"jfs", KIV_FS_TYPE_JFS},
    {"jfs2", KIV_FS_TYPE_JFS2},         {"gpfs", KIV_FS_TYPE_GPFS},
    {"vxfs", KIV_FS_TYPE_VXFS},         {"sanfs", KIV_FS_TYPE_SANFS},
    {"cifs", KIV_FS_TYPE_CIFS},         {"smb3", KIV_FS_TYPE_CIFS},
    {"smbfs", KIV_FS_TYPE_CIFS},        {"AUTOFS", KIV_FS_TYPE_AUTOFS},
    {"tmpfs", KIV_FS_TYPE_TMPFS},       {"overlay", KIV_FS_TYPE_OVERLAY},
    {"zfs", KIV_FS_TYPE_ZFS},
};

bool fsTypeCode(const char* name, Sint64* code)
{
    if (_strnicmp(name, "nfs", 3) == 0) {
        *code = KIV_FS_TYPE_NFS;
        return true;
    }
    for (const FsType& t : kFsTypes) {
        if (_stricmp(name, t.name) == 0) {
            *code = t.code;
            return true;
        }
    }
    return false;
}

Uint64 megabytes(Uint64 bytes)
{
    return (bytes + 0xFFFFFu) >> 20;
}

/* The root of the volume that holds `path`: a drive path is cut after its
 * drive root; any other path is asked of the system, and kept whole when
 * the system cannot tell. */
void volumeRootOf(const char* path, char* root, size_t size)
{
    const bool drive = ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
                       path[1] == ':' && path[2] == '\\';
    if (drive) {
        kivSnprintf(root, (Uint32)size, "%.3s", path);
        return;
    }
    if (!GetVolumePathNameA(path, root, (DWORD)size))
        kivSnprintf(root, (Uint32)size, "%s", path);
}

/* The path to ask about: the caller's, ending in a separator, or the
 * volume a mounted-folder directory stands for. */
void queryPath(const char* path, char* out, size_t size)
{
    kivSnprintf(out, (Uint32)size, "%.262s", path);
    const size_t n = strlen(out);
    if (n == 0 || !kivIsPathSeparator(out[n - 1]))
        kivSnprintf(out + n, (Uint32)(size - n), "\\");
    const DWORD attributes = GetFileAttributesA(out);
    const DWORD reparseDirectory = FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT;
    if (attributes != INVALID_FILE_ATTRIBUTES &&
        (attributes & reparseDirectory) == reparseDirectory) {
        char volume[kPathBytes + 2];
        if (GetVolumeNameForVolumeMountPointA(out, volume, sizeof volume))
            kivSnprintf(out, (Uint32)size, "%s", volume);
    }
}

bool selected(Uint32 flags, Uint32 bits)
{
    return (flags & KIV_DISKINFO_ALL) != 0 || (flags & bits) != 0;
}

/* Every value this query can fill, for marking them all at once. */
void invalidateAll(KIVDiskInfo* info, Uint32 code, bool withType)
{
    info->blockSize.invalidate(code);
    info->totalSize.invalidate(code);
    info->freeSize.invalidate(code);
    info->numInodes.invalidate(code);
    info->fsName.invalidate(code);
    info->mountPoint.invalidate(code);
    info->fsId.invalidate(code);
    info->fsTypeName.invalidate(code);
    info->ioMountOption.invalidate(code);
    info->deviceType.invalidate(code);
    if (withType)
        info->fsType.invalidate(code);
}

/* Sizes of the volume: asked at the path, and at the volume's root when
 * the path is no directory (a target file, or one not made yet). */
void readSizes(KIVFrame& f, const char* path, const char* root, KIVDiskInfo* info)
{
    ULARGE_INTEGER freeToCaller, total, totalFree;
    if (GetDiskFreeSpaceExA(path, &freeToCaller, &total, &totalFree) ||
        (strcmp(path, root) != 0 && GetDiskFreeSpaceExA(root, &freeToCaller, &total, &totalFree))) {
        info->totalSize.set((Sint64)total.QuadPart);
        info->freeSize.set((Sint64)freeToCaller.QuadPart);
        return;
    }
    info->totalSize.invalidate(ECF_FAILED);
    info->freeSize.invalidate(ECF_FAILED);
    f.errorPoint(kProbeSizes, ECF_FAILED);
}

void readVolume(KIVFrame& f, const char* root, KIVDiskInfo* info, bool withType)
{
    DWORD serial = 0, maxComponent = 0, fsFlags = 0;
    char name[KIVSysInfoStr::SIZE];
    if (!GetVolumeInformationA(root, nullptr, 0, &serial, &maxComponent, &fsFlags, name,
                               sizeof name)) {
        info->fsId.invalidate(ECF_FAILED);
        info->fsTypeName.invalidate(ECF_FAILED);
        if (withType)
            info->fsType.invalidate(ECF_FAILED);
        f.errorPoint(kProbeVolume, ECF_FAILED);
        return;
    }
    info->fsId.set(serial);
    info->fsTypeName.set(name);
    Sint64 code = 0;
    if (!withType)
        return;
    if (fsTypeCode(name, &code))
        info->fsType.set(code);
    else
        info->fsType.invalidate(ECF_FAILED);
}

void readDeviceType(KIVFrame& f, const char* root, KIVDiskInfo* info)
{
    switch (GetDriveTypeA(root)) {
    case DRIVE_UNKNOWN:
        info->deviceType.invalidate(ECF_FAILED);
        f.errorPoint(kProbeDeviceUnknown, ECF_FAILED);
        break;
    case DRIVE_NO_ROOT_DIR:
        info->deviceType.invalidate(ECF_FAILED);
        f.errorPoint(kProbeNoRoot, ECF_FAILED);
        break;
    case DRIVE_REMOVABLE:
        info->deviceType.set(KIV_DISK_DEVICE_REMOVABLE_DRIVE);
        break;
    default: /* fixed, remote, CD-ROM, RAM disk */
        info->deviceType.set(KIV_DISK_DEVICE_VALID);
        break;
    }
}

bool failed(Uint32 status) { return status == ECF_FAILED; }

template <class V> long long shown(const V& v)
{
    return v.status == 0 ? (long long)v.value : -1;
}

const char* textOrNA(const char* text, Uint32 status)
{
    return (status == 0 && text[0] != '\0') ? text : "N/A";
}

/* The option has three texts and no "not available" of its own: a value
 * that is not known is 0, which reads "None". */
const char* ioOptionText(const KIVSysInfoUint& v)
{
    switch (v.value) {
    case KIV_DISK_IO_DIO: return "DIO";
    case KIV_DISK_IO_CIO: return "CIO";
    default:              return "None";
    }
}

const char* deviceTypeText(const KIVSysInfoUint& v)
{
    if (v.status == ECF_NOT_SUPPORTED)
        return "N/A";
    switch (v.value) {
    case KIV_DISK_DEVICE_VALID:     return "Valid";
    case KIV_DISK_DEVICE_READY:     return "Ready";
    case KIV_DISK_DEVICE_REMOVABLE: return "Removable";
    default:                        return "Unknown";
    }
}

} // namespace

extern "C" Uint32 kivGetDiskInfo(const KIVDiskInfoParam* param, KIVDiskInfo* info)
{
    KIVFrame f(KIVFN_KIVGETDISKINFO);
    Uint32 rc;
    if (!f.checkParam(param, rc) || !f.checkParam(info, rc))
        return rc;
    const bool withType = info->version >= KIV_SYSINFO_VERSION_V9;
    const bool withHandle = param->version >= KIV_SYSINFO_VERSION_V9;
    f.data(10, param, withHandle ? (Uint32)sizeof *param : (Uint32)offsetof(KIVDiskInfoParam, fileHandle));

    if (withHandle && param->fileHandle != KIV_DISKINFO_NO_HANDLE) {
        invalidateAll(info, ECF_NOT_SUPPORTED, withType);
        return f.ret(ECF_NOT_SUPPORTED);
    }
    if (param->path == nullptr)
        return f.nullParam();
    f.text(20, param->path);

    // What is not selected, and what this platform never knows, is not
    // supported; the rest is filled below or marked failed.
    invalidateAll(info, ECF_NOT_SUPPORTED, withType);
    char path[kPathBytes + 2];
    char root[kPathBytes + 2];
    queryPath(param->path, path, sizeof path);
    volumeRootOf(path, root, sizeof root);

    if (selected(param->flags, KIV_DISKINFO_TOTAL_SIZE | KIV_DISKINFO_FREE_SIZE))
        readSizes(f, path, root, info);
    if (selected(param->flags, KIV_DISKINFO_FSID | KIV_DISKINFO_FS_TYPE_NAME))
        readVolume(f, root, info, withType);
    if (selected(param->flags, KIV_DISKINFO_DEVICE_TYPE))
        readDeviceType(f, root, info);

    if (failed(info->totalSize.status) && failed(info->deviceType.status) &&
        failed(info->fsId.status) && failed(info->fsTypeName.status))
        return f.ret(ECF_FAILED);
    return f.ret(ECF_PARTIAL_INFO);
}

void KIVDiskInfo::toString(toStringParam* param) const
{
    if (param == nullptr || param->version < KIV_SYSINFO_VERSION_V9)
        return;
    const long long type = version >= KIV_SYSINFO_VERSION_V9 ? shown(fsType) : -1;
    kivSnprintf(param->text, sizeof param->text,
                "File System Information of the target file :\n"
                "  Block size        = %d bytes\n"
                "  Total size        = %lld bytes\n"
                "  Free size         = %lld bytes\n"
                "  Total # of inodes = %d\n"
                "  FS name           = %.30s\n"
                "  Mount point       = %.80s\n"
                "  FSID              = %u\n"
                "  FS type name      = %.10s\n"
                "  DIO/CIO mount opt = %.4s\n"
                "  Device type       = %.9s\n"
                "  FS type           = 0x%llx\n",
                (int)shown(blockSize), shown(totalSize), shown(freeSize), (int)shown(numInodes),
                textOrNA(fsName.value, fsName.status), textOrNA(mountPoint.value, mountPoint.status),
                fsId.status == 0 ? (unsigned)fsId.value : 0u,
                textOrNA(fsTypeName.value, fsTypeName.status), ioOptionText(ioMountOption),
                deviceTypeText(deviceType), (unsigned long long)type);
}

/* ---- mounted volumes ------------------------------------------------------------------ */

namespace {

enum : Uint32 {
    kProbeListingOpen = 10,
    kProbeListingClosed = 20,
    kProbeListingEnd = 30,
    kProbeListingVolume = 40,
    kProbeListingSizes = 50,
    kProbeListingDrives = 80,
};

} // namespace

KIVMountListing::KIVMountListing() : open(0), position(0), drives() {}

KIVMountListing::~KIVMountListing()
{
    if (open)
        end();
}

Uint32 KIVMountListing::begin()
{
    KIVFrame f(KIVFN_KIVMOUNTLISTING_BEGIN);
    if (open)
        return f.fail(kProbeListingOpen, ECF_INVALID_INVOCATION_SEQUENCE);
    memset(drives, 0, sizeof drives);
    const DWORD n = GetLogicalDriveStringsA(sizeof drives, drives);
    if (n == 0) {
        DWORD err = GetLastError();
        return f.sysError(KIVOSFN_GETLOGICALDRIVESTRINGS, err, kProbeListingDrives, nullptr);
    }
    if (n >= sizeof drives) {
        Uint32 needed = n;
        memset(drives, 0, sizeof drives);
        return f.fail(kProbeListingDrives, ECF_BUFFER_TOO_SMALL, 1, KIVLOG_UINT(needed));
    }
    position = 0;
    open = 1;
    return f.ok();
}

Uint32 KIVMountListing::getNext(const KIVMountListingParam* param, KIVMountInfo* info)
{
    KIVFrame f(KIVFN_KIVMOUNTLISTING_GETNEXT);
    Uint32 rc;
    if (!f.checkParam(param, rc) || !f.checkParam(info, rc))
        return rc;
    if (!open)
        return f.fail(kProbeListingClosed, ECF_INVALID_INVOCATION_SEQUENCE);
    for (;;) {
        if (position >= sizeof drives || drives[position] == '\0') {
            // The end of the list is the expected answer, not a failure to log.
            return f.retError(kProbeListingEnd, ECF_FILE_EOF);
        }
        const char* root = drives + position;
        position += (Uint32)strnlen(root, sizeof drives - position) + 1;

        char volumeName[sizeof info->volumeName];
        char fsName[sizeof info->fsTypeName];
        rc = 0;
        if (!GetVolumeInformationA(root, volumeName, sizeof volumeName, nullptr, nullptr, nullptr,
                                   fsName, sizeof fsName)) {
            DWORD err = GetLastError();
            if (err == ERROR_NOT_READY)
                continue; // a drive without its medium: not mounted
            rc = f.stepSysError(KIVOSFN_GETVOLUMEINFORMATION, err, kProbeListingVolume, nullptr,
                                1, KIVLOG_STRING(root));
            volumeName[0] = fsName[0] = '\0';
        }
        kivSnprintf(info->mountPoint, sizeof info->mountPoint, "%s", root);
        kivSnprintf(info->volumeName, sizeof info->volumeName, "%s", volumeName);
        kivSnprintf(info->fsTypeName, sizeof info->fsTypeName, "%s", fsName);
        info->totalMB = info->freeMB = 0;

        ULARGE_INTEGER freeToCaller, total;
        if (GetDiskFreeSpaceExA(root, &freeToCaller, &total, nullptr)) {
            info->totalMB = megabytes(total.QuadPart);
            info->freeMB = megabytes(freeToCaller.QuadPart);
        } else {
            DWORD err = GetLastError();
            const Uint32 code =
                f.stepSysError(KIVOSFN_GETDISKFREESPACEEX, err, kProbeListingSizes, nullptr, 1,
                               KIVLOG_STRING(root));
            if (rc == 0)
                rc = code;
        }
        return f.ret(rc);
    }
}

Uint32 KIVMountListing::end()
{
    KIVFrame f(KIVFN_KIVMOUNTLISTING_END);
    if (!open)
        return f.fail(kProbeListingOpen, ECF_INVALID_INVOCATION_SEQUENCE);
    open = 0;
    position = 0;
    return f.ok();
}
