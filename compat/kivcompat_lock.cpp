/*
 * kivcompat_lock.cpp - share modes and byte-range locks with Windows
 * semantics, built on Linux open-file-description locks: LockFileEx,
 * UnlockFileEx and the share-mode markers that CreateFileA and DeleteFileA
 * consult.
 *
 * OFD locks belong to an open file description, not to a process, which is
 * what a Windows handle is; classic fcntl locks would let two handles of one
 * process share a lock and would vanish when any descriptor of the file is
 * closed.
 */
#include "kivcompat_file.h"

#include <algorithm>
#include <errno.h>
#include <fcntl.h>
#include <stdint.h>

namespace kivcompat {

namespace {

// The top 256 bytes of the lock space are reserved for share-mode markers;
// byte-range locks are kept below them.  Marker i (0 read, 1 write,
// 2 delete) at kMarkerBase + i means "holds that right", at
// kMarkerBase + 3 + i "denies it to others".
const uint64_t kMarkerBase = static_cast<uint64_t>(INT64_MAX) - 0xFF;
const uint64_t kLockLimit = kMarkerBase;
const int kDenyOffset = 3;

int ofdLock(int fd, short type, uint64_t start, uint64_t length, bool wait)
{
    struct flock fl = {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(start);
    fl.l_len = static_cast<off_t>(length);
    while (fcntl(fd, wait ? F_OFD_SETLKW : F_OFD_SETLK, &fl) != 0) {
        if (errno != EINTR)
            return errno;
    }
    return 0;
}

// Whether another open file description holds any lock on the byte.
bool heldByOther(int fd, uint64_t offset)
{
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(offset);
    fl.l_len = 1;
    if (fcntl(fd, F_OFD_GETLK, &fl) != 0)
        return false;
    return fl.l_type != F_UNLCK;
}

// The system range standing for the Windows range [start, end).  Windows
// offsets reach 2^64, the system's 2^63 less the markers; a range beyond the
// limit is cut at it, and one wholly beyond stands on the last byte below
// it, so such locks still exclude each other.
void systemRange(uint64_t start, uint64_t end, uint64_t* sysStart, uint64_t* sysEnd)
{
    if (start == end) {
        *sysStart = *sysEnd = 0;
        return;
    }
    *sysStart = std::min(start, kLockLimit);
    *sysEnd = std::min(end, kLockLimit);
    if (*sysStart == *sysEnd)
        *sysStart = kLockLimit - 1;
}

DWORD lockError(int err)
{
    // A lock held by someone else; the other errors keep the common table.
    if (err == EAGAIN || err == EACCES)
        return ERROR_LOCK_VIOLATION;
    return kivCompatErrnoToWin32(err);
}

} // namespace

DWORD shareAcquire(int fd, DWORD access, DWORD shareMode)
{
    // Windows keeps handles without data access out of the share check.
    access &= kAccessRead | kAccessWrite | kAccessDelete;
    if (!access)
        return 0;
    DWORD denied = ~shareMode & (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE);
    for (int i = 0; i < 3; ++i) {
        if (access & (1u << i))
            ofdLock(fd, F_RDLCK, kMarkerBase + i, 1, false);
        if (denied & (1u << i))
            ofdLock(fd, F_RDLCK, kMarkerBase + kDenyOffset + i, 1, false);
    }
    for (int i = 0; i < 3; ++i) {
        if ((access & (1u << i)) && heldByOther(fd, kMarkerBase + kDenyOffset + i))
            return ERROR_SHARING_VIOLATION;
        if ((denied & (1u << i)) && heldByOther(fd, kMarkerBase + i))
            return ERROR_SHARING_VIOLATION;
    }
    return 0;
}

bool shareDeleteDenied(int fd)
{
    return heldByOther(fd, kMarkerBase + kDenyOffset + 2);
}

// Windows: an exclusive lock may overlap no lock at all, the handle's own
// included; a shared lock may overlap shared ones only.  Empty ranges
// overlap nothing.
bool FileObject::conflictsWithOwn(const RangeLock& r) const
{
    for (const RangeLock& l : locks_) {
        bool overlap = r.start < l.end && l.start < r.end;
        if (overlap && (r.exclusive || l.exclusive))
            return true;
    }
    return false;
}

// Gives back to the system the parts of [start, end) that no remaining lock
// of this handle covers.  Covered parts stay locked as they are: the
// remaining locks there are shared, as was the one removed, so nothing is
// ever released and taken again.
void FileObject::releaseUncovered(uint64_t start, uint64_t end)
{
    uint64_t from, to;
    systemRange(start, end, &from, &to);
    if (from == to)
        return;
    std::vector<std::pair<uint64_t, uint64_t>> covered;
    for (const RangeLock& l : locks_) {
        uint64_t s, e;
        systemRange(l.start, l.end, &s, &e);
        if (s < to && from < e)
            covered.emplace_back(std::max(s, from), std::min(e, to));
    }
    std::sort(covered.begin(), covered.end());
    uint64_t pos = from;
    for (const auto& c : covered) {
        if (c.first > pos)
            ofdLock(fd_, F_UNLCK, pos, c.first - pos, false);
        pos = std::max(pos, c.second);
    }
    if (pos < to)
        ofdLock(fd_, F_UNLCK, pos, to - pos, false);
}

DWORD FileObject::lock(uint64_t start, uint64_t length, bool exclusive, bool wait)
{
    if (length > UINT64_MAX - start)
        return ERROR_INVALID_PARAMETER;
    RangeLock req = {start, start + length, exclusive, false};
    uint64_t from, to;
    systemRange(req.start, req.end, &from, &to);

    std::unique_lock<std::mutex> guard(lockMutex_);
    // A conflict with this handle's own locks ends only when another thread
    // unlocks through the same handle.
    while (conflictsWithOwn(req)) {
        if (!wait)
            return ERROR_LOCK_VIOLATION;
        lockChanged_.wait(guard);
    }
    // Entered before the system call, so that threads sharing the handle see
    // it and do not take the same range: the system would let them, as they
    // share the open file description.
    locks_.push_back(req);
    guard.unlock();

    int err = from == to ? 0 : ofdLock(fd_, exclusive ? F_WRLCK : F_RDLCK, from, to - from, wait);

    guard.lock();
    auto it = std::find_if(locks_.begin(), locks_.end(), [&](const RangeLock& l) {
        return !l.granted && l.start == req.start && l.end == req.end && l.exclusive == exclusive;
    });
    if (err == 0) {
        it->granted = true;
        return 0;
    }
    locks_.erase(it);
    releaseUncovered(req.start, req.end);
    lockChanged_.notify_all();
    return lockError(err);
}

DWORD FileObject::unlock(uint64_t start, uint64_t length)
{
    if (length > UINT64_MAX - start)
        return ERROR_NOT_LOCKED;
    std::lock_guard<std::mutex> guard(lockMutex_);
    auto it = std::find_if(locks_.begin(), locks_.end(), [&](const RangeLock& l) {
        return l.granted && l.start == start && l.end == start + length;
    });
    if (it == locks_.end())
        return ERROR_NOT_LOCKED;
    locks_.erase(it);
    releaseUncovered(start, start + length);
    lockChanged_.notify_all();
    return 0;
}

// What both lock calls check, and the byte range they name; `op` does the
// rest and returns a Windows error, 0 for success.
template <class Op>
BOOL rangeCall(HANDLE file, DWORD reserved, DWORD lengthLow, DWORD lengthHigh,
               LPOVERLAPPED overlapped, Op op)
{
    if (reserved != 0 || !overlapped) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    ObjectRef<FileObject> f = fileLookup(file);
    if (!f)
        return FALSE;
    const uint64_t start =
        (static_cast<uint64_t>(overlapped->OffsetHigh) << 32) | overlapped->Offset;
    const uint64_t length = (static_cast<uint64_t>(lengthHigh) << 32) | lengthLow;
    if (DWORD err = op(*f.get(), start, length)) {
        SetLastError(err);
        return FALSE;
    }
    return TRUE;
}

} // namespace kivcompat

using namespace kivcompat;

extern "C" {

BOOL LockFileEx(HANDLE file, DWORD flags, DWORD reserved, DWORD lengthLow, DWORD lengthHigh,
                LPOVERLAPPED overlapped)
{
    return rangeCall(file, reserved, lengthLow, lengthHigh, overlapped,
                     [&](FileObject& f, uint64_t start, uint64_t length) -> DWORD {
                         if (!f.canRead() && !f.canWrite())
                             return ERROR_ACCESS_DENIED;
                         overlapped->Internal = 0;
                         return f.lock(start, length, (flags & LOCKFILE_EXCLUSIVE_LOCK) != 0,
                                       (flags & LOCKFILE_FAIL_IMMEDIATELY) == 0);
                     });
}

BOOL UnlockFileEx(HANDLE file, DWORD reserved, DWORD lengthLow, DWORD lengthHigh,
                  LPOVERLAPPED overlapped)
{
    return rangeCall(file, reserved, lengthLow, lengthHigh, overlapped,
                     [](FileObject& f, uint64_t start, uint64_t length) -> DWORD {
                         return f.unlock(start, length);
                     });
}

} // extern "C"
