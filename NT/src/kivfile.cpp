/*
 * kivfile.cpp - the file handle: open, close, sequential read and write
 * through the system's file pointer, a seek that never passes the end of
 * file, size queries and changes that keep the caller's position, a
 * one-byte advisory lock with waiting done by polling, file mappings and
 * flushing.
 *
 * Every operation runs in the library's frame (entry and exit trace,
 * parameter checks with probes 1111 and 1112, one log record at the failure
 * site).  Failed system calls go to the system error handler with the error
 * read at once after the call.
 */
#include <string.h>

#include "kivfile.h"
#include "kivframe.h"
#include "kivos.h"
#include "kivthread.h"

/* The parameter objects are read by tools from trace records: their 32-bit
 * layouts are fixed. */
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(KIVFileOpenParam) == 7 * 4, "KIVFileOpenParam is seven words");
static_assert(sizeof(KIVFileWriteParam) == 4 * 4, "KIVFileWriteParam is four words");
static_assert(sizeof(KIVHFile) == 3 * 4, "KIVHFile is three words");
#endif
static_assert(sizeof(KIVFileReadParam) == 3 * 4, "KIVFileReadParam is three words");
static_assert(sizeof(KIVFileLockParam) == 3 * 4, "KIVFileLockParam is three words");
static_assert(sizeof(KIVFileMapParam) == 4 * 4, "KIVFileMapParam is four words");
static_assert(offsetof(KIVFileSeekParam, offset) == 8, "64-bit fields are 8-aligned");
static_assert(offsetof(KIVFileSeekParam, origin) == 16, "KIVFileSeekParam layout");
static_assert(sizeof(KIVFileSeekParam) == 24, "KIVFileSeekParam layout");
static_assert(offsetof(KIVFileSetSizeParam, newSize) == 8, "64-bit fields are 8-aligned");
static_assert(offsetof(KIVFileSetSizeParam, flags) == 16, "KIVFileSetSizeParam layout");
static_assert(sizeof(KIVFileSetSizeParam) == 24, "KIVFileSetSizeParam layout");

/* ---- parameter objects ---------------------------------------------- */

KIVFileOpenParam::KIVFileOpenParam()
    : version(KIV_VERSION_CURRENT), fileName(nullptr), openMode(0), accessMode(0), options(0),
      permissions(0), reserved(0)
{
}

KIVFileReadParam::KIVFileReadParam() : version(KIV_VERSION_CURRENT), byteCount(0), reserved(0) {}

KIVFileWriteParam::KIVFileWriteParam()
    : version(KIV_VERSION_CURRENT), buffer(nullptr), byteCount(0), reserved(0)
{
}

KIVFileSeekParam::KIVFileSeekParam() : version(KIV_VERSION_CURRENT), offset(0), origin(0) {}

KIVFileSetSizeParam::KIVFileSetSizeParam() : version(KIV_VERSION_CURRENT), newSize(0), flags(0) {}

KIVFileLockParam::KIVFileLockParam(Uint32 type, Uint32 wait)
    : version(KIV_VERSION_CURRENT), lockType(type), waitMode(wait)
{
}

KIVFileMapParam::KIVFileMapParam()
    : version(KIV_VERSION_CURRENT), length(0), protection(0), reserved(0)
{
}

/* ---- helpers ---------------------------------------------------------- */

namespace {

/* The single byte that stands for the whole file among users of `lock`. */
const DWORD kLockLengthLow  = 1;
const DWORD kLockLengthHigh = 0;
const Uint32 kLockPollMs    = 100;

bool openDisposition(Uint32 openMode, DWORD* disposition)
{
    switch (openMode) {
    case KIV_FILE_OPEN_EXISTING:  *disposition = OPEN_EXISTING;     return true;
    case KIV_FILE_OPEN_ALWAYS:    *disposition = OPEN_ALWAYS;       return true;
    case KIV_FILE_TRUNCATE:       *disposition = TRUNCATE_EXISTING; return true;
    case KIV_FILE_CREATE_NEW:     *disposition = CREATE_NEW;        return true;
    case KIV_FILE_CREATE_ALWAYS:  *disposition = CREATE_ALWAYS;     return true;
    default:                      return false;
    }
}

bool openAccess(Uint32 accessMode, DWORD* access)
{
    switch (accessMode) {
    case KIV_FILE_READ:      *access = GENERIC_READ;                 return true;
    case KIV_FILE_WRITE:     *access = GENERIC_WRITE;                return true;
    case KIV_FILE_READWRITE: *access = GENERIC_READ | GENERIC_WRITE; return true;
    default:                 return false;
    }
}

DWORD openAttributes(Uint32 options)
{
    DWORD attributes = FILE_ATTRIBUTE_NORMAL;
    if (options & KIV_FILE_WRITE_THROUGH)
        attributes |= FILE_FLAG_WRITE_THROUGH;
    if (options & KIV_FILE_DELETE_ON_CLOSE)
        attributes |= FILE_FLAG_DELETE_ON_CLOSE;
    return attributes;
}

bool mapProtection(Uint32 protection, DWORD* pageProtection, DWORD* viewAccess)
{
    switch (protection) {
    case KIV_FILE_MAP_READONLY:
        *pageProtection = PAGE_READONLY;
        *viewAccess = FILE_MAP_READ;
        return true;
    case KIV_FILE_MAP_COPY:
        *pageProtection = PAGE_WRITECOPY;
        *viewAccess = FILE_MAP_COPY;
        return true;
    case KIV_FILE_MAP_READWRITE:
        *pageProtection = PAGE_READWRITE;
        *viewAccess = FILE_MAP_WRITE;
        return true;
    default:
        return false;
    }
}

/* How a path looks before it is opened.  Only a missing file or directory
 * counts as "missing": any other answer (a bad name, no access) is left to
 * CreateFileA, whose error then says what is wrong. */
enum PathState { PATH_EXISTS, PATH_MISSING, PATH_UNKNOWN };

PathState pathState(const char* path)
{
    if (GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES)
        return PATH_EXISTS;
    DWORD err = GetLastError();
    return (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND) ? PATH_MISSING
                                                                        : PATH_UNKNOWN;
}

/* SetFilePointer with a 64-bit distance.  A low word of all ones is a valid
 * position, so the last error is cleared first and tells the two apart. */
bool movePointer(HANDLE h, Sint64 distance, DWORD method, Uint64* position, DWORD* error)
{
    LONG high = (LONG)((Uint64)distance >> 32);
    SetLastError(ERROR_SUCCESS);
    DWORD low = SetFilePointer(h, (LONG)(Uint32)(Uint64)distance, &high, method);
    if (low == INVALID_SET_FILE_POINTER) {
        DWORD err = GetLastError();
        if (err != ERROR_SUCCESS) {
            *error = err;
            return false;
        }
    }
    *position = ((Uint64)(Uint32)high << 32) | low;
    return true;
}

/* GetFileSize, with the same care for a low word of all ones. */
bool querySize(HANDLE h, Uint64* size, DWORD* error)
{
    DWORD high = 0;
    SetLastError(ERROR_SUCCESS);
    DWORD low = GetFileSize(h, &high);
    if (low == INVALID_FILE_SIZE) {
        DWORD err = GetLastError();
        if (err != ERROR_SUCCESS) {
            *error = err;
            return false;
        }
    }
    *size = ((Uint64)high << 32) | low;
    return true;
}

/* base + offset, clamped to 0 below and to the largest position above (which
 * no file reaches, so it is refused as beyond the end). */
Uint64 seekTarget(Uint64 base, Sint64 offset)
{
    if (offset < 0) {
        Uint64 back = (Uint64)0 - (Uint64)offset;
        return back > base ? 0 : base - back;
    }
    Uint64 target = base + (Uint64)offset;
    return target < base ? ~(Uint64)0 : target;
}

} // namespace

/* ---- KIVHFile --------------------------------------------------------- */

KIVHFile::KIVHFile()
    : fileHandle(INVALID_HANDLE_VALUE), mappingHandle(INVALID_HANDLE_VALUE), mappedView(nullptr)
{
}

Uint32 KIVHFile::open(const KIVFileOpenParam* param)
{
    KIVFrame f(KIVFN_KIVHFILE_OPEN);
    Uint32 rc;
    if (!f.checkParam(param, rc))
        return rc;
    f.dataOf(200, *param);
    // A missing name cannot be tested or opened; refused before any call.
    if (param->fileName == nullptr)
        return f.fail(210, ECF_INVALID_PARAMETER, 1, KIVLOG_HEX(param->fileName));
    f.text(220, param->fileName);

    DWORD disposition = 0;
    DWORD access = 0;
    if (!openDisposition(param->openMode, &disposition))
        return f.fail(230, ECF_INVALID_PARAMETER, 1, KIVLOG_UINT(param->openMode));
    if (!openAccess(param->accessMode, &access))
        return f.fail(240, ECF_INVALID_PARAMETER, 1, KIVLOG_UINT(param->accessMode));
    if (param->openMode == KIV_FILE_TRUNCATE && param->accessMode == KIV_FILE_READ)
        return f.fail(250, ECF_INVALID_PARAMETER, 2, KIVLOG_UINT(param->openMode),
                      KIVLOG_UINT(param->accessMode));

    PathState state = pathState(param->fileName);
    if (state == PATH_MISSING && param->openMode == KIV_FILE_OPEN_EXISTING)
        return f.fail(270, ECF_FILE_DOESNT_EXIST, 1, KIVLOG_STRING(param->fileName));
    if (state == PATH_EXISTS && param->openMode == KIV_FILE_CREATE_NEW)
        return f.fail(260, ECF_FILE_EXISTS, 1, KIVLOG_STRING(param->fileName));

    DWORD attributes = openAttributes(param->options);
    fileHandle = INVALID_HANDLE_VALUE;
    mappingHandle = INVALID_HANDLE_VALUE;
    mappedView = nullptr;
    // Files of this class never exclude other openers: several processes
    // share a log file, and exclusion is what lock() is for.
    HANDLE h = CreateFileA(param->fileName, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                           disposition, attributes, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        DWORD err = GetLastError();
        KIVErrorContext ctx;
        ctx.setPath(param->fileName);
        ctx.setPermissions(param->permissions);
        return f.sysError(KIVOSFN_CREATEFILE, err, 280, &ctx, 9, KIVLOG_STRING(param->fileName),
                          KIVLOG_UINT(param->openMode), KIVLOG_UINT(param->accessMode),
                          KIVLOG_HEX(param->options), KIVLOG_HEX(param->permissions),
                          KIVLOG_HEX(param->reserved), KIVLOG_HEX(access),
                          KIVLOG_UINT(disposition), KIVLOG_HEX(attributes));
    }
    fileHandle = h;
    return f.ok();
}

Uint32 KIVHFile::close()
{
    KIVFrame f(KIVFN_KIVHFILE_CLOSE);
    if (!CloseHandle(fileHandle)) {
        DWORD err = GetLastError();
        return f.handleError(KIVOSFN_CLOSEHANDLE, err, 10, fileHandle);
    }
    // A mapping still open is not closed here: its handle is forgotten.
    fileHandle = INVALID_HANDLE_VALUE;
    mappingHandle = INVALID_HANDLE_VALUE;
    mappedView = nullptr;
    return f.ok();
}

Uint32 KIVHFile::read(const KIVFileReadParam* param, void* buffer, Uint32* bytesRead)
{
    KIVFrame f(KIVFN_KIVHFILE_READ);
    Uint32 rc;
    if (!f.checkParam(param, rc))
        return rc;
    f.dataOf(10, *param);
    if (bytesRead)
        *bytesRead = 0;
    if (buffer == nullptr && param->byteCount != 0)
        return f.fail(20, ECF_INVALID_PARAMETER, 2, KIVLOG_HEX(buffer),
                      KIVLOG_UINT(param->byteCount));

    DWORD got = 0;
    if (!ReadFile(fileHandle, buffer, param->byteCount, &got, nullptr)) {
        DWORD err = GetLastError();
        KIVErrorContext ctx = kivHandleContext(fileHandle);
        ctx.setByteCount(param->byteCount);
        return f.sysError(KIVOSFN_READFILE, err, 40, &ctx, 2, KIVLOG_HEX(fileHandle),
                          KIVLOG_UINT(param->byteCount));
    }
    if (bytesRead)
        *bytesRead = got;
    if (got != param->byteCount) {
        // End of file is an expected answer: traced, not logged.
        Uint32 counts[2] = {got, param->byteCount};
        f.data(50, counts, sizeof counts);
        return f.ret(ECF_FILE_EOF);
    }
    return f.ok();
}

Uint32 KIVHFile::write(const KIVFileWriteParam* param, Uint32* bytesWritten)
{
    KIVFrame f(KIVFN_KIVHFILE_WRITE);
    Uint32 rc;
    if (!f.checkParam(param, rc))
        return rc;
    f.dataOf(10, *param);
    if (bytesWritten)
        *bytesWritten = 0;
    struct {
        const void* buffer;
        Uint32      byteCount;
        Uint32*     bytesWritten;
    } request = {param->buffer, param->byteCount, bytesWritten};
    f.dataOf(30, request);
    if (param->buffer == nullptr && param->byteCount != 0)
        return f.fail(20, ECF_INVALID_PARAMETER, 2, KIVLOG_HEX(param->buffer),
                      KIVLOG_UINT(param->byteCount));

    const char* next = static_cast<const char*>(param->buffer);
    Uint32 total = 0;
    DWORD err = ERROR_SUCCESS;
    while (total < param->byteCount) {
        DWORD n = 0;
        BOOL done = WriteFile(fileHandle, next + total, param->byteCount - total, &n, nullptr);
        if (!done) {
            err = GetLastError();
            total += n;
            break;
        }
        if (n == 0)
            break;
        total += n;
    }
    if (err != ERROR_SUCCESS) {
        // The buffer is logged as text; only its head is taken, so that a
        // buffer without a NUL is never read past its end.
        char head[512];
        Uint32 take = param->byteCount < sizeof head - 1 ? param->byteCount : sizeof head - 1;
        memcpy(head, param->buffer, take);
        head[take] = '\0';
        KIVErrorContext ctx = kivHandleContext(fileHandle);
        ctx.setByteCount(param->byteCount);
        return f.sysError(KIVOSFN_WRITEFILE, err, 40, &ctx, 4, KIVLOG_HEX(fileHandle),
                          KIVLOG_STRING(head), KIVLOG_UINT(param->byteCount),
                          KIVLOG_HEX(param->reserved));
    }
    if (bytesWritten)
        *bytesWritten = total;
    f.dataOf(50, total);
    if (total != param->byteCount)
        return f.fail(60, ECF_FILE_INCOMPLETE_WRITE, 2, KIVLOG_UINT(param->byteCount),
                      KIVLOG_UINT(total));
    return f.ok();
}

Uint32 KIVHFile::seek(const KIVFileSeekParam* param, Uint64* newPosition)
{
    KIVFrame f(KIVFN_KIVHFILE_SEEK);
    Uint32 rc;
    if (!f.checkParam(param, rc))
        return rc;
    f.dataOf(100, *param);
    if (param->origin > KIV_FILE_SEEK_END)
        return f.fail(120, ECF_INVALID_PARAMETER, 1, KIVLOG_UINT(param->origin));

    KIVErrorContext ctx = kivHandleContext(fileHandle);
    ctx.setValue64((Uint64)param->offset);
    DWORD err = 0;
    Uint64 base = 0;
    if (param->origin == KIV_FILE_SEEK_CUR &&
        !movePointer(fileHandle, 0, FILE_CURRENT, &base, &err))
        return f.sysError(KIVOSFN_SETFILEPOINTER, err, 130, &ctx, 3, KIVLOG_HEX(fileHandle),
                          KIVLOG_SINT(param->offset), KIVLOG_UINT(param->origin));
    Uint64 size = 0;
    if (!querySize(fileHandle, &size, &err))
        return f.sysError(KIVOSFN_GETFILESIZE, err, 140, &ctx, 1, KIVLOG_HEX(fileHandle));
    // The end of file is the size: asking the pointer for it would move the
    // pointer there, and a refused seek must leave it where it was.
    if (param->origin == KIV_FILE_SEEK_END)
        base = size;

    Uint64 target = seekTarget(base, param->offset);
    // A seek never extends a file: that is setSize's business.
    if (target > size)
        return f.fail(150, ECF_FILE_SEEK_BEYOND_EOF, 2, KIVLOG_UINT(target), KIVLOG_UINT(size));

    Uint64 position = 0;
    if (!movePointer(fileHandle, (Sint64)target, FILE_BEGIN, &position, &err))
        return f.sysError(KIVOSFN_SETFILEPOINTER, err, 160, &ctx, 2, KIVLOG_HEX(fileHandle),
                          KIVLOG_UINT(target));
    if (newPosition)
        *newPosition = position;
    f.dataOf(170, position);
    return f.ok();
}

Uint32 KIVHFile::getSize(Uint64* size)
{
    KIVFrame f(KIVFN_KIVHFILE_GETSIZE);
    if (size == nullptr)
        return f.nullParam();
    DWORD err = 0;
    Uint64 value = 0;
    if (!querySize(fileHandle, &value, &err)) {
        return f.handleError(KIVOSFN_GETFILESIZE, err, 10, fileHandle);
    }
    *size = value;
    f.dataOf(30, value);
    return f.ok();
}

Uint32 KIVHFile::setSize(const KIVFileSetSizeParam* param)
{
    KIVFrame f(KIVFN_KIVHFILE_SETSIZE);
    Uint32 rc;
    if (!f.checkParam(param, rc))
        return rc;
    f.dataOf(10, *param);
    if (param->flags != 0)
        return f.fail(30, ECF_INVALID_PARAMETER, 1, KIVLOG_HEX(param->flags));

    KIVErrorContext ctx = kivHandleContext(fileHandle);
    ctx.setValue64(param->newSize);
    DWORD err = 0;
    Uint64 saved = 0;
    if (!movePointer(fileHandle, 0, FILE_CURRENT, &saved, &err))
        return f.sysError(KIVOSFN_SETFILEPOINTER, err, 100, &ctx, 1, KIVLOG_HEX(fileHandle));
    Uint64 size = 0;
    if (!querySize(fileHandle, &size, &err))
        return f.sysError(KIVOSFN_GETFILESIZE, err, 40, &ctx, 1, KIVLOG_HEX(fileHandle));
    if (size == param->newSize) {
        f.errorPoint(120, 0);
        return f.ok();
    }

    Uint64 positions[2] = {saved, param->newSize};
    f.data(130, positions, sizeof positions);
    Uint64 ignored = 0;
    if (!movePointer(fileHandle, (Sint64)param->newSize, FILE_BEGIN, &ignored, &err))
        return f.sysError(KIVOSFN_SETFILEPOINTER, err, 140, &ctx, 2, KIVLOG_HEX(fileHandle),
                          KIVLOG_UINT(param->newSize));
    if (!SetEndOfFile(fileHandle)) {
        err = GetLastError();
        return f.sysError(KIVOSFN_SETENDOFFILE, err, 150, &ctx, 3, KIVLOG_HEX(fileHandle),
                          KIVLOG_UINT(param->newSize), KIVLOG_HEX(param->flags));
    }
    // The caller's position survives whenever it still lies inside the file;
    // otherwise it stays at the new end.
    if (saved < param->newSize &&
        !movePointer(fileHandle, (Sint64)saved, FILE_BEGIN, &ignored, &err))
        return f.sysError(KIVOSFN_SETFILEPOINTER, err, 160, &ctx, 2, KIVLOG_HEX(fileHandle),
                          KIVLOG_UINT(saved));
    return f.ok();
}

Uint32 KIVHFile::lock(const KIVFileLockParam* param)
{
    KIVFrame f(KIVFN_KIVHFILE_LOCK);
    f.dataOf(100, param);
    Uint32 rc;
    if (!f.checkParam(param, rc))
        return rc;
    f.dataOf(120, *param);
    if (param->lockType != KIV_FILE_LOCK_EXCLUSIVE && param->lockType != KIV_FILE_LOCK_SHARED)
        return f.fail(130, ECF_INVALID_PARAMETER, 1, KIVLOG_UINT(param->lockType));
    if (param->waitMode != KIV_FILE_LOCK_WAIT && param->waitMode != KIV_FILE_LOCK_NOWAIT)
        return f.fail(140, ECF_INVALID_PARAMETER, 1, KIVLOG_UINT(param->waitMode));

    // The system call never blocks: a blocked caller could not be traced or
    // told apart from a hung one, so waiting is a polling loop here.
    DWORD flags = LOCKFILE_FAIL_IMMEDIATELY;
    if (param->lockType == KIV_FILE_LOCK_EXCLUSIVE)
        flags |= LOCKFILE_EXCLUSIVE_LOCK;
    for (;;) {
        OVERLAPPED ov;
        memset(&ov, 0, sizeof ov);
        if (LockFileEx(fileHandle, flags, 0, kLockLengthLow, kLockLengthHigh, &ov))
            return f.ok();
        DWORD err = GetLastError();
        if (err != ERROR_LOCK_VIOLATION) {
            KIVErrorContext ctx = kivHandleContext(fileHandle);
            return f.sysError(KIVOSFN_LOCKFILEEX, err, 160, &ctx, 4, KIVLOG_HEX(fileHandle),
                              KIVLOG_HEX(flags), KIVLOG_UINT(param->lockType),
                              KIVLOG_UINT(param->waitMode));
        }
        // Held elsewhere: an expected answer, not a failure to log.
        if (param->waitMode == KIV_FILE_LOCK_NOWAIT)
            return f.ret(ECF_FILE_LOCK);
        kivSleep(kLockPollMs);
    }
}

Uint32 KIVHFile::unlock()
{
    KIVFrame f(KIVFN_KIVHFILE_UNLOCK);
    OVERLAPPED ov;
    memset(&ov, 0, sizeof ov);
    if (!UnlockFileEx(fileHandle, 0, kLockLengthLow, kLockLengthHigh, &ov)) {
        DWORD err = GetLastError();
        // Unlocking an unlocked file is harmless.  An unlock conflicts with
        // nobody, so a lock violation in answer to it (as some
        // implementations of the call give) says the same: this handle
        // holds no lock on the byte.
        if (err == ERROR_NOT_LOCKED || err == ERROR_LOCK_VIOLATION)
            return f.ok();
        return f.handleError(KIVOSFN_UNLOCKFILEEX, err, 10, fileHandle);
    }
    return f.ok();
}

Uint32 KIVHFile::map(const KIVFileMapParam* param, void** address)
{
    KIVFrame f(KIVFN_KIVHFILE_MAP);
    Uint32 rc;
    if (!f.checkParam(param, rc))
        return rc;
    f.dataOf(10, *param);
    DWORD pageProtection = 0;
    DWORD viewAccess = 0;
    if (!mapProtection(param->protection, &pageProtection, &viewAccess))
        return f.fail(60, ECF_INVALID_PARAMETER, 1, KIVLOG_UINT(param->protection));

    KIVErrorContext ctx = kivHandleContext(fileHandle);
    HANDLE mapping = CreateFileMappingA(fileHandle, nullptr, pageProtection, 0, 0, nullptr);
    if (mapping == nullptr) {
        DWORD err = GetLastError();
        mappingHandle = INVALID_HANDLE_VALUE;
        return f.sysError(KIVOSFN_CREATEFILEMAPPING, err, 70, &ctx, 5, KIVLOG_HEX(fileHandle),
                          KIVLOG_UINT(param->length), KIVLOG_UINT(param->protection),
                          KIVLOG_HEX(param->reserved), KIVLOG_HEX(pageProtection));
    }
    mappingHandle = mapping;

    // The caller's address, when given, is the preferred base of the view.
    void* preferred = address ? *address : nullptr;
    void* view = MapViewOfFileEx(mappingHandle, viewAccess, 0, 0, param->length, preferred);
    DWORD err = view ? ERROR_SUCCESS : GetLastError();
    if (address)
        *address = view;
    mappedView = view;
    f.dataOf(90, view);
    if (view == nullptr) {
        CloseHandle(mappingHandle);
        mappingHandle = INVALID_HANDLE_VALUE;
        return f.sysError(KIVOSFN_MAPVIEWOFFILEEX, err, 80, &ctx, 4, KIVLOG_HEX(fileHandle),
                          KIVLOG_UINT(param->length), KIVLOG_HEX(viewAccess),
                          KIVLOG_HEX(preferred));
    }
    return f.ok();
}

Uint32 KIVHFile::unmap(void* address)
{
    KIVFrame f(KIVFN_KIVHFILE_UNMAP);
    void* view = address ? address : mappedView;
    f.dataOf(10, view);
    if (!UnmapViewOfFile(view)) {
        DWORD err = GetLastError();
        KIVErrorContext ctx = kivHandleContext(fileHandle);
        return f.sysError(KIVOSFN_UNMAPVIEWOFFILE, err, 20, &ctx, 1, KIVLOG_HEX(view));
    }
    if (!CloseHandle(mappingHandle)) {
        DWORD err = GetLastError();
        KIVErrorContext ctx = kivHandleContext(fileHandle);
        return f.sysError(KIVOSFN_CLOSEHANDLE, err, 30, &ctx, 1, KIVLOG_HEX(mappingHandle));
    }
    mappingHandle = INVALID_HANDLE_VALUE;
    mappedView = nullptr;
    return f.ok();
}

Uint32 KIVHFile::sync()
{
    KIVFrame f(KIVFN_KIVHFILE_SYNC);
    if (!FlushFileBuffers(fileHandle)) {
        DWORD err = GetLastError();
        return f.handleError(KIVOSFN_FLUSHFILEBUFFERS, err, 10, fileHandle);
    }
    return f.ok();
}
