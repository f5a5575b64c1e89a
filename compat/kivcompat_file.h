/*
 * kivcompat_file.h - the file and file-mapping kernel objects of the compat
 * layer (internal to the compat sources, not exported).
 *
 * Windows semantics kept on POSIX:
 * - Share modes hold across handles and processes.  Every handle with data
 *   access takes shared open-file-description (OFD) locks on marker bytes at
 *   the top of the lock space: one per access right it holds, one per right
 *   it denies to others.  An open conflicts when another description holds
 *   the "denies" marker of a right it asks for, or the "holds" marker of a
 *   right it denies.  The markers are taken before the check, so of two
 *   conflicting opens racing each other at least one fails (both may);
 *   never do both succeed.  Shared locks need a readable descriptor, so a
 *   handle asking for write access opens the file for reading as well when
 *   it may; one that only may write (a file without read permission) takes
 *   no markers and escapes the check.
 * - Byte-range locks belong to the handle, as OFD locks belong to the open
 *   file description: two handles of one process conflict with each other.
 *   The handle also keeps its own list, because Windows locks do not merge:
 *   an exclusive lock conflicts with the handle's own overlapping locks,
 *   and an unlock must name a range exactly as it was locked.
 * - A mapping keeps its own open file description, so closing the file
 *   handle releases the handle's locks and share markers while the mapping
 *   and its views live on.
 */
#ifndef KIVCOMPAT_FILE_H
#define KIVCOMPAT_FILE_H

#include "kivcompat_handle.h"

#include <condition_variable>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

namespace kivcompat {

// Data access rights, in the bit layout of FILE_SHARE_READ/WRITE/DELETE so
// that rights held and rights shared compare directly.
enum : DWORD { kAccessRead = 0x1, kAccessWrite = 0x2, kAccessDelete = 0x4 };

class FileObject : public KernelObject {
public:
    // Adopts `fd`.  A permanent object (a standard stream) never closes it.
    FileObject(int fd, DWORD access, bool permanentStream);

    int  fd() const { return fd_; }
    bool canRead() const { return (access_ & kAccessRead) != 0; }
    bool canWrite() const { return (access_ & kAccessWrite) != 0; }
    bool permanent() const override { return permanent_; }

    // Unlinks `path` when the handle goes, provided it still names the file.
    void setDeleteOnClose(const std::string& path) { deletePath_ = path; }

    // Windows byte-range locks of this handle; results are Windows errors.
    DWORD lock(uint64_t start, uint64_t length, bool exclusive, bool wait);
    DWORD unlock(uint64_t start, uint64_t length);

protected:
    BOOL close() override;

private:
    struct RangeLock {
        uint64_t start, end;   // [start, end); an empty range is legal
        bool     exclusive;
        bool     granted;      // false while the system lock is being taken
    };
    bool  conflictsWithOwn(const RangeLock& r) const;
    void  releaseUncovered(uint64_t start, uint64_t end);

    const int   fd_;
    const DWORD access_;
    const bool  permanent_;
    std::string deletePath_;

    std::mutex              lockMutex_;
    std::condition_variable lockChanged_;
    std::vector<RangeLock>  locks_;
};

// A file mapping (section).  It owns a descriptor of its own on the backing
// file, or on anonymous memory for a mapping without file.  The name is
// empty for unnamed mappings; named ones are found through it.
class MappingObject : public KernelObject {
public:
    MappingObject(int fd, uint64_t size, DWORD protect, const std::string& name);

    int                fd() const { return fd_; }
    uint64_t           size() const { return size_; }
    DWORD              protect() const { return protect_; }   // PAGE_* (low byte)
    const std::string& name() const { return name_; }

    // The largest mapping of the file (device, inode) alive in this process,
    // 0 when there is none: what SetEndOfFile may not cut below.
    static uint64_t mappedSize(dev_t dev, ino_t ino);

protected:
    BOOL close() override;

private:
    const int         fd_;
    const uint64_t    size_;
    const DWORD       protect_;
    const std::string name_;
    dev_t             dev_ = 0;
    ino_t             ino_ = 0;
};

// The file object behind a handle, or empty with ERROR_INVALID_HANDLE.
inline ObjectRef<FileObject> fileLookup(HANDLE h)
{
    return handleLookupAs<FileObject>(h, ObjectType::File);
}

// Takes the share-mode markers of a new handle with `access` (kAccess*) and
// `shareMode` (FILE_SHARE_*) on `fd` and checks them against every other
// handle: 0, or ERROR_SHARING_VIOLATION (the caller then closes `fd`, which
// drops the markers).  Descriptors that cannot hold locks skip the check.
KIV_LOCAL DWORD shareAcquire(int fd, DWORD access, DWORD shareMode);

// True when a handle on the file of `fd` denies delete access to others.
KIV_LOCAL bool shareDeleteDenied(int fd);

// A Windows path made POSIX: backslashes become slashes.  Fails (returning
// the Windows error) for a null or empty name and for one of MAX_PATH or more
// characters, as the ANSI Windows calls do.
KIV_LOCAL DWORD compatPath(LPCSTR name, std::string* out);

// The Windows error for a failed path operation: a missing file is
// ERROR_FILE_NOT_FOUND only when its directory exists, ERROR_PATH_NOT_FOUND
// otherwise.
KIV_LOCAL DWORD compatPathError(int err, const std::string& path);

} // namespace kivcompat

#endif /* KIVCOMPAT_FILE_H */
