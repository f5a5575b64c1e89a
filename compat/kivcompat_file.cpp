/*
 * kivcompat_file.cpp - Windows file services on POSIX descriptors:
 * CreateFileA, ReadFile, WriteFile, the file pointer and size, attributes,
 * DeleteFileA and the standard handles.
 */
#include "kivcompat_file.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <new>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kivcompat {

// ---- Paths -------------------------------------------------------------------

DWORD compatPath(LPCSTR name, std::string* out)
{
    if (!name || !*name)
        return ERROR_PATH_NOT_FOUND;
    size_t len = strnlen(name, MAX_PATH);
    if (len >= MAX_PATH)
        return ERROR_FILENAME_EXCED_RANGE;
    out->assign(name, len);
    for (char& c : *out) {
        if (c == '\\')
            c = '/';
    }
    return 0;
}

static bool directoryExists(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// The directory part of a path: "." for a bare name, "/" for a name in the
// root.
static std::string directoryOf(const std::string& path)
{
    size_t end = path.size();
    while (end > 1 && path[end - 1] == '/')
        --end;
    size_t slash = path.rfind('/', end - 1);
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

DWORD compatPathError(int err, const std::string& path)
{
    if (err == ENOENT)
        return directoryExists(directoryOf(path)) ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND;
    return kivCompatErrnoToWin32(err);
}

static std::string absolutePath(const std::string& path)
{
    if (!path.empty() && path[0] == '/')
        return path;
    char cwd[PATH_MAX];
    if (!getcwd(cwd, sizeof cwd))
        return path;
    return std::string(cwd) + "/" + path;
}

// ---- The file object -------------------------------------------------------------

FileObject::FileObject(int fd, DWORD access, bool permanentStream)
    : KernelObject(ObjectType::File), fd_(fd), access_(access), permanent_(permanentStream)
{
}

BOOL FileObject::close()
{
    if (permanent_)
        return TRUE;
    if (!deletePath_.empty()) {
        // Only the file this handle has open: the name may have been taken
        // over by another file since.
        struct stat mine, named;
        if (fstat(fd_, &mine) == 0 && lstat(deletePath_.c_str(), &named) == 0 &&
            mine.st_dev == named.st_dev && mine.st_ino == named.st_ino)
            unlink(deletePath_.c_str());
    }
    if (::close(fd_) != 0 && errno != EINTR) {
        kivCompatSetLastErrorFromErrno(errno);
        return FALSE;
    }
    return TRUE;
}

} // namespace kivcompat

using namespace kivcompat;

namespace {

HANDLE failHandle(DWORD error)
{
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

BOOL fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

DWORD dataAccess(DWORD desired, DWORD flags)
{
    DWORD access = 0;
    if (desired & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA))
        access |= kAccessRead;
    if (desired & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA | FILE_APPEND_DATA))
        access |= kAccessWrite;
    // Delete on close asks for delete access, as the Windows call adds it.
    if ((desired & (DELETE | GENERIC_ALL)) || (flags & FILE_FLAG_DELETE_ON_CLOSE))
        access |= kAccessDelete;
    return access;
}

// How a disposition treats an existing and a missing file.
struct Disposition {
    bool create;      // create when missing
    bool mustCreate;  // fail when present
    bool truncate;    // truncate when present
};

bool disposition(DWORD d, Disposition* out)
{
    switch (d) {
    case CREATE_NEW:        *out = {true, true, false};   return true;
    case CREATE_ALWAYS:     *out = {true, false, true};   return true;
    case OPEN_EXISTING:     *out = {false, false, false}; return true;
    case OPEN_ALWAYS:       *out = {true, false, false};  return true;
    case TRUNCATE_EXISTING: *out = {false, false, true};  return true;
    default:                return false;
    }
}

// Opens an existing file.  Write access is taken as read and write when the
// file allows it, so that the share markers (shared locks, which need a
// readable descriptor) work for write-only handles too; reads are refused
// above this by the handle's own access rights.
int openExisting(const std::string& path, int baseFlags, DWORD access)
{
    int fd;
    if (access & kAccessWrite) {
        fd = open(path.c_str(), baseFlags | O_RDWR);
        if (fd < 0 && errno == EACCES && !(access & kAccessRead))
            fd = open(path.c_str(), baseFlags | O_WRONLY);
    } else {
        fd = open(path.c_str(), baseFlags | O_RDONLY);
    }
    return fd;
}

// The descriptor for a CreateFileA call, or -1 with the Windows error in
// *error.  *existed tells whether the file was there before.
int openForDisposition(const std::string& path, const Disposition& d, int baseFlags,
                       DWORD access, mode_t mode, bool* existed, DWORD* error)
{
    // Creating and opening are separate steps so that the caller learns
    // whether the file existed; a file removed between them is created again.
    for (int attempt = 0; attempt < 64; ++attempt) {
        if (d.create) {
            int rw = (access & kAccessWrite) || d.truncate ? O_RDWR : O_RDONLY;
            int fd = open(path.c_str(), baseFlags | rw | O_CREAT | O_EXCL, mode);
            if (fd >= 0) {
                *existed = false;
                return fd;
            }
            if (errno != EEXIST || d.mustCreate) {
                *error = errno == EEXIST ? ERROR_FILE_EXISTS : compatPathError(errno, path);
                return -1;
            }
        }
        // Truncation writes, whatever access the handle is to have.
        int fd = openExisting(path, baseFlags, d.truncate ? access | kAccessWrite : access);
        if (fd >= 0) {
            *existed = true;
            return fd;
        }
        if (errno != ENOENT || !d.create) {
            *error = compatPathError(errno, path);
            return -1;
        }
    }
    *error = ERROR_FILE_NOT_FOUND;
    return -1;
}

// Checks an opened file against what Windows would refuse: a directory
// opened as a file; writing, deleting or truncating a read-only file (which
// Windows refuses to everybody, administrators included).
DWORD vetOpened(bool existed, bool truncating, DWORD access, DWORD flags, const struct stat& st)
{
    if (S_ISDIR(st.st_mode) && !(flags & FILE_FLAG_BACKUP_SEMANTICS))
        return ERROR_ACCESS_DENIED;
    bool changes = truncating || (access & (kAccessWrite | kAccessDelete));
    if (existed && S_ISREG(st.st_mode) && changes && !(st.st_mode & S_IWUSR))
        return ERROR_ACCESS_DENIED;
    return 0;
}

} // namespace

extern "C" {

HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD shareMode,
                   LPSECURITY_ATTRIBUTES security, DWORD creationDisposition,
                   DWORD flagsAndAttributes, HANDLE templateFile)
{
    std::string path;
    if (DWORD err = compatPath(fileName, &path))
        return failHandle(err);
    Disposition d;
    if (!disposition(creationDisposition, &d))
        return failHandle(ERROR_INVALID_PARAMETER);
    DWORD access = dataAccess(desiredAccess, flagsAndAttributes);
    if (creationDisposition == TRUNCATE_EXISTING && !(access & kAccessWrite))
        return failHandle(ERROR_INVALID_PARAMETER);

    int baseFlags = O_NOCTTY;
    if (!security || !security->bInheritHandle)
        baseFlags |= O_CLOEXEC;
    if (flagsAndAttributes & FILE_FLAG_WRITE_THROUGH)
        baseFlags |= O_DSYNC;
    mode_t mode = (flagsAndAttributes & FILE_ATTRIBUTE_READONLY) ? 0444 : 0666;

    bool existed = false;
    DWORD err = 0;
    int fd = openForDisposition(path, d, baseFlags, access, mode, &existed, &err);
    if (fd < 0 && err == ERROR_ACCESS_DENIED && (flagsAndAttributes & FILE_FLAG_BACKUP_SEMANTICS) &&
        directoryExists(path)) {
        fd = open(path.c_str(), (baseFlags & O_CLOEXEC) | O_RDONLY | O_DIRECTORY);
        existed = true;
    }
    if (fd < 0)
        return failHandle(err);

    struct stat st;
    if (fstat(fd, &st) != 0)
        err = kivCompatErrnoToWin32(errno);
    else
        err = vetOpened(existed, d.truncate, access, flagsAndAttributes, st);
    if (!err && S_ISREG(st.st_mode))
        err = shareAcquire(fd, access, shareMode);
    // Truncation waits for the share check: a refused open leaves the file
    // as it was.
    if (!err && d.truncate && existed && ftruncate(fd, 0) != 0)
        err = kivCompatErrnoToWin32(errno);
    if (err) {
        close(fd);
        return failHandle(err);
    }

    FileObject* f = new (std::nothrow) FileObject(fd, access, false);
    if (!f) {
        close(fd);
        return failHandle(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (flagsAndAttributes & FILE_FLAG_DELETE_ON_CLOSE)
        f->setDeleteOnClose(absolutePath(path));
    HANDLE h = handleCreate(f);
    if (!h)
        return INVALID_HANDLE_VALUE;
    bool alwaysKind = creationDisposition == CREATE_ALWAYS || creationDisposition == OPEN_ALWAYS;
    SetLastError(existed && alwaysKind ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS);
    return h;
}

} // extern "C"

namespace {

// One read or write of `count` bytes, at `offset` when one is given (the
// file pointer then ends after the bytes moved, as for a synchronous Windows
// handle).  Regular files move everything there is; pipes and terminals
// read what one call gives.  Returns 0 or the errno, with the count moved.
int transfer(int fd, bool writing, void* buffer, DWORD count, const uint64_t* offset,
             DWORD* moved)
{
    struct stat st;
    bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
    char* p = static_cast<char*>(buffer);
    DWORD done = 0;
    int err = 0;
    while (done < count) {
        size_t chunk = count - done;
        if (chunk > 0x40000000u)
            chunk = 0x40000000u;
        ssize_t n;
        if (offset) {
            off_t at = static_cast<off_t>(*offset + done);
            n = writing ? pwrite(fd, p + done, chunk, at) : pread(fd, p + done, chunk, at);
        } else {
            n = writing ? write(fd, p + done, chunk) : read(fd, p + done, chunk);
        }
        if (n < 0) {
            if (errno == EINTR)
                continue;
            err = errno;
            break;
        }
        done += static_cast<DWORD>(n);
        if (n == 0 || (!writing && !regular))
            break;
    }
    if (offset)
        lseek(fd, static_cast<off_t>(*offset + done), SEEK_SET);
    *moved = done;
    return err;
}

BOOL readOrWrite(HANDLE file, bool writing, void* buffer, DWORD count, LPDWORD moved,
                 LPOVERLAPPED overlapped)
{
    if (moved)
        *moved = 0;
    ObjectRef<FileObject> f = fileLookup(file);
    if (!f)
        return FALSE;
    if (!moved && !overlapped)
        return fail(ERROR_INVALID_PARAMETER);
    if (writing ? !f->canWrite() : !f->canRead())
        return fail(ERROR_ACCESS_DENIED);
    if (count && !buffer)
        return fail(ERROR_NOACCESS);
    uint64_t offset = 0;
    if (overlapped)
        offset = (static_cast<uint64_t>(overlapped->OffsetHigh) << 32) | overlapped->Offset;
    DWORD done = 0;
    int err = transfer(f->fd(), writing, buffer, count, overlapped ? &offset : nullptr, &done);
    if (moved)
        *moved = done;
    if (overlapped) {
        overlapped->Internal = 0;
        overlapped->InternalHigh = done;
    }
    if (err)
        return fail(err == EBADF ? ERROR_ACCESS_DENIED : kivCompatErrnoToWin32(err));
    // At a given offset, a read that finds the end of file at once fails.
    if (!writing && overlapped && count && !done)
        return fail(ERROR_HANDLE_EOF);
    return TRUE;
}

// The target of a pointer move; false with the last error set when the
// method is unknown or the target negative.
bool pointerTarget(int fd, int64_t distance, DWORD method, int64_t* target)
{
    int64_t base = 0;
    switch (method) {
    case FILE_BEGIN:
        break;
    case FILE_CURRENT: {
        off_t cur = lseek(fd, 0, SEEK_CUR);
        if (cur < 0) {
            kivCompatSetLastErrorFromErrno(errno);
            return false;
        }
        base = cur;
        break;
    }
    case FILE_END: {
        struct stat st;
        if (fstat(fd, &st) != 0) {
            kivCompatSetLastErrorFromErrno(errno);
            return false;
        }
        base = st.st_size;
        break;
    }
    default:
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (__builtin_add_overflow(base, distance, target) || *target < 0) {
        SetLastError(ERROR_NEGATIVE_SEEK);
        return false;
    }
    return true;
}

bool movePointer(int fd, int64_t target)
{
    if (lseek(fd, static_cast<off_t>(target), SEEK_SET) < 0) {
        kivCompatSetLastErrorFromErrno(errno);
        return false;
    }
    return true;
}

bool fileSize(HANDLE file, uint64_t* size)
{
    ObjectRef<FileObject> f = fileLookup(file);
    if (!f)
        return false;
    struct stat st;
    if (fstat(f->fd(), &st) != 0) {
        kivCompatSetLastErrorFromErrno(errno);
        return false;
    }
    *size = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : 0;
    return true;
}

} // namespace

extern "C" {

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped)
{
    return readOrWrite(file, false, buffer, toRead, read, overlapped);
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
               LPOVERLAPPED overlapped)
{
    return readOrWrite(file, true, const_cast<void*>(buffer), toWrite, written, overlapped);
}

DWORD SetFilePointer(HANDLE file, LONG distance, PLONG distanceHigh, DWORD moveMethod)
{
    ObjectRef<FileObject> f = fileLookup(file);
    if (!f)
        return INVALID_SET_FILE_POINTER;
    int64_t move = distanceHigh
        ? static_cast<int64_t>((static_cast<uint64_t>(static_cast<uint32_t>(*distanceHigh)) << 32) |
                               static_cast<uint32_t>(distance))
        : distance;
    int64_t target;
    if (!pointerTarget(f->fd(), move, moveMethod, &target))
        return INVALID_SET_FILE_POINTER;
    // Without the high word the position must fit in the low one.
    if (!distanceHigh && target > static_cast<int64_t>(UINT32_MAX)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    if (!movePointer(f->fd(), target))
        return INVALID_SET_FILE_POINTER;
    if (distanceHigh)
        *distanceHigh = static_cast<LONG>(static_cast<uint64_t>(target) >> 32);
    DWORD low = static_cast<DWORD>(target);
    if (low == INVALID_SET_FILE_POINTER)
        SetLastError(ERROR_SUCCESS); // tells a valid position from a failure
    return low;
}

BOOL SetFilePointerEx(HANDLE file, LARGE_INTEGER distance, PLARGE_INTEGER newPosition,
                      DWORD moveMethod)
{
    ObjectRef<FileObject> f = fileLookup(file);
    if (!f)
        return FALSE;
    int64_t target;
    if (!pointerTarget(f->fd(), distance.QuadPart, moveMethod, &target) ||
        !movePointer(f->fd(), target))
        return FALSE;
    if (newPosition)
        newPosition->QuadPart = target;
    return TRUE;
}

DWORD GetFileSize(HANDLE file, LPDWORD sizeHigh)
{
    uint64_t size;
    if (!fileSize(file, &size))
        return INVALID_FILE_SIZE;
    if (sizeHigh)
        *sizeHigh = static_cast<DWORD>(size >> 32);
    DWORD low = static_cast<DWORD>(size);
    if (low == INVALID_FILE_SIZE)
        SetLastError(ERROR_SUCCESS); // tells a valid size from a failure
    return low;
}

BOOL GetFileSizeEx(HANDLE file, PLARGE_INTEGER size)
{
    uint64_t s;
    if (!size)
        return fail(ERROR_INVALID_PARAMETER);
    if (!fileSize(file, &s))
        return FALSE;
    size->QuadPart = static_cast<LONGLONG>(s);
    return TRUE;
}

BOOL SetEndOfFile(HANDLE file)
{
    ObjectRef<FileObject> f = fileLookup(file);
    if (!f)
        return FALSE;
    if (!f->canWrite())
        return fail(ERROR_ACCESS_DENIED);
    off_t pos = lseek(f->fd(), 0, SEEK_CUR);
    struct stat st;
    if (pos < 0 || fstat(f->fd(), &st) != 0)
        return fail(kivCompatErrnoToWin32(errno));
    // Windows will not cut a file below a mapping of it: here the views
    // would fault on the missing pages.
    if (static_cast<uint64_t>(pos) < static_cast<uint64_t>(st.st_size) &&
        static_cast<uint64_t>(pos) < MappingObject::mappedSize(st.st_dev, st.st_ino))
        return fail(ERROR_USER_MAPPED_FILE);
    if (ftruncate(f->fd(), pos) != 0)
        return fail(kivCompatErrnoToWin32(errno));
    return TRUE;
}

BOOL FlushFileBuffers(HANDLE file)
{
    ObjectRef<FileObject> f = fileLookup(file);
    if (!f)
        return FALSE;
    if (!f->canWrite())
        return fail(ERROR_ACCESS_DENIED);
    // Terminals and pipes have nothing to flush (EINVAL): that is success.
    if (fsync(f->fd()) != 0 && errno != EINVAL)
        return fail(kivCompatErrnoToWin32(errno));
    return TRUE;
}

DWORD GetFileAttributesA(LPCSTR fileName)
{
    std::string path;
    if (DWORD err = compatPath(fileName, &path)) {
        SetLastError(err);
        return INVALID_FILE_ATTRIBUTES;
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0) {
        SetLastError(compatPathError(errno, path));
        return INVALID_FILE_ATTRIBUTES;
    }
    DWORD attributes = 0;
    if (S_ISDIR(st.st_mode))
        attributes |= FILE_ATTRIBUTE_DIRECTORY;
    if (!(st.st_mode & S_IWUSR))
        attributes |= FILE_ATTRIBUTE_READONLY;
    return attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
}

BOOL DeleteFileA(LPCSTR fileName)
{
    std::string path;
    if (DWORD err = compatPath(fileName, &path))
        return fail(err);
    struct stat st;
    if (lstat(path.c_str(), &st) != 0)
        return fail(compatPathError(errno, path));
    if (S_ISDIR(st.st_mode))
        return fail(ERROR_ACCESS_DENIED);
    if (S_ISREG(st.st_mode)) {
        if (!(st.st_mode & S_IWUSR))
            return fail(ERROR_ACCESS_DENIED); // the read-only attribute
        // Deleting needs every open handle to share delete access.
        int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY);
        if (fd >= 0) {
            bool denied = shareDeleteDenied(fd);
            close(fd);
            if (denied)
                return fail(ERROR_SHARING_VIOLATION);
        }
    }
    if (unlink(path.c_str()) != 0)
        return fail(compatPathError(errno, path));
    return TRUE;
}

HANDLE GetStdHandle(DWORD which)
{
    static std::mutex mutex;
    static HANDLE handles[3];
    int fd;
    switch (which) {
    case STD_INPUT_HANDLE:  fd = 0; break;
    case STD_OUTPUT_HANDLE: fd = 1; break;
    case STD_ERROR_HANDLE:  fd = 2; break;
    default:                return failHandle(ERROR_INVALID_HANDLE);
    }
    std::lock_guard<std::mutex> lock(mutex);
    if (handles[fd])
        return handles[fd];
    int fl = fcntl(fd, F_GETFL);
    if (fl < 0)
        return nullptr; // no such stream: Windows answers null as well
    DWORD access = 0;
    if ((fl & O_ACCMODE) != O_WRONLY)
        access |= kAccessRead;
    if ((fl & O_ACCMODE) != O_RDONLY)
        access |= kAccessWrite;
    FileObject* f = new (std::nothrow) FileObject(fd, access, true);
    if (!f)
        return failHandle(ERROR_NOT_ENOUGH_MEMORY);
    handles[fd] = handleCreate(f);
    return handles[fd] ? handles[fd] : INVALID_HANDLE_VALUE;
}

} // extern "C"
