/*
 * kivpath.cpp - paths, files and directories: directory and base names,
 * path comparison, the existence and access test, file information and its
 * text, rename, delete, permissions, directory creation, the current
 * directory and the drive map.  Copies and the recursive removal are in
 * kivfilecopy.cpp.
 *
 * Every operation with a function identifier runs in the library's frame:
 * entry and exit trace, a data point with its arguments, one log record and
 * a trace error point at the failure site.  A null path is a null
 * parameter (probe 1111).
 */
#include <errno.h>
#include <string.h>
#include <sys/stat.h>
#if defined(_WIN32)
#  include <io.h>
#endif

#include "kivecf.h"
#include "kivframe.h"
#include "kivos.h"
#include "kivpath.h"
#include "kivpathint.h"
#include "kivstring.h"

/* Tools read the parameter objects from trace records: their 32-bit
 * layouts are fixed. */
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(KIVPathTestParam) == 16, "KIVPathTestParam is four words");
static_assert(sizeof(KIVDirectoryCreateParam) == 16, "KIVDirectoryCreateParam is four words");
static_assert(sizeof(KIVDirectoryDeleteParam) == 12, "KIVDirectoryDeleteParam is three words");
static_assert(sizeof(KIVFileGetInfoParam) == 24, "KIVFileGetInfoParam is six words");
static_assert(offsetof(KIVFileInfo, referencePath) == 12, "KIVFileInfo layout");
static_assert(offsetof(KIVFileInfo, fileType) == 16, "KIVFileInfo layout");
static_assert(offsetof(KIVFileInfo, gid) == 28, "KIVFileInfo layout");
#endif
static_assert(offsetof(KIVFileInfo, size) == 0, "KIVFileInfo layout");
static_assert(offsetof(KIVFileInfo, isLink) == 8, "KIVFileInfo layout");
static_assert(offsetof(KIVFileInfo, lastModifiedTime) % 8 == 0, "64-bit fields are 8-aligned");
static_assert(offsetof(KIVFileGetInfoParam, path) == sizeof(void*), "KIVFileGetInfoParam layout");
static_assert(sizeof(KIVFileInfo::toStringParam) == 388, "a version word and 384 bytes of text");

/* ---- parameter objects ---------------------------------------------- */

KIVPathTestParam::KIVPathTestParam()
    : version(KIV_VERSION_CURRENT), path(nullptr), tests(KIV_PATH_TEST_EXISTS), reserved(0)
{
}

KIVDirectoryCreateParam::KIVDirectoryCreateParam()
    : version(KIV_VERSION_CURRENT), path(nullptr), permissions(0), mode(KIV_DIR_CREATE_SINGLE)
{
}

KIVDirectoryDeleteParam::KIVDirectoryDeleteParam()
    : version(KIV_VERSION_CURRENT), path(nullptr), flags(0)
{
}

KIVFileGetInfoParam::KIVFileGetInfoParam()
    : version(KIV_VERSION_CURRENT), path(nullptr), reserved1(0), reserved2(0), flags(1),
      handle(INVALID_HANDLE_VALUE)
{
}

KIVFileInfo::toStringParam::toStringParam() : version(KIV_VERSION_CURRENT)
{
    text[0] = '\0';
}

KIVFileInfo::KIVFileInfo()
    : size(0), isLink(0), referencePath(nullptr), fileType(0), permissions(0), uid(0), gid(0),
      lastModifiedTime(0), reserved(0)
{
}

/* ---- shared helpers ---------------------------------------------------- */

bool kivPathJoin(char* out, const char* directory, const char* name)
{
    size_t need = strlen(directory) + 1 + strlen(name) + 1;
    if (need > KIV_PATH_BUFFER_SIZE)
        return false;
    kivSnprintf(out, KIV_PATH_BUFFER_SIZE, "%s%c%s", directory, KIV_PATH_SEPARATOR, name);
    return true;
}

bool kivIsDotName(const char* name)
{
    return name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0'));
}

Uint32 kivPathSysError(KIVFrame& f, Uint32 systemFunctionId, Uint32 systemError, Uint32 probe,
                       Uint32 flags, const KIVErrorContext* ctx, Sint32 itemCount, ...)
{
    va_list ap;
    va_start(ap, itemCount);
    Uint32 code = f.sysErrorV(systemFunctionId, systemError, probe, flags, ctx, itemCount, ap);
    va_end(ap);
    return f.ret(code);
}

namespace {

/* Windows error numbers the path test sorts, spelled out so that the table
 * reads the same on every platform. */
const Uint32 kMissingErrors[] = {2, 3, 18, 53, 67, 161, 206};
const Uint32 kDeniedErrors[] = {5, 16, 33, 82, 83, 108, 132, 158, 167};
const Uint32 kErrorAccessDenied = 5;
const Uint32 kErrorAlreadyExists = 183;

template <size_t N> bool isOneOf(Uint32 value, const Uint32 (&set)[N])
{
    for (Uint32 v : set)
        if (v == value)
            return true;
    return false;
}

/* Mode bits of the run-time library's file status. */
const Uint32 kModeTypeMask = 0xF000u;

/* Where the last component of `path` starts: after a run of separators
 * followed by anything else.  `found` is false when no separator is
 * followed by a name (a bare name, a root, or separators only). */
size_t lastComponent(const char* path, bool* found)
{
    size_t start = 0;
    *found = false;
    for (size_t i = 0; path[i] != '\0'; ++i) {
        if (kivIsPathSeparator(path[i]) && path[i + 1] != '\0' &&
            !kivIsPathSeparator(path[i + 1])) {
            start = i + 1;
            *found = true;
        }
    }
    return start;
}

/* A device path is its own directory. */
bool isDevicePath(const char* path)
{
    if (strncmp(path, "\\\\.\\", 4) == 0 && path[4] != '\0' && path[5] == ':')
        return true;
    return strncmp(path, "\\\\.\\PhysicalDrive", 17) == 0 ||
           strncmp(path, "\\\\?\\Volume", 10) == 0;
}

/* The path's short form into `buffer`, or the path itself when it has none. */
const char* shortForm(const char* path, char* buffer)
{
    DWORD n = GetShortPathNameA(path, buffer, KIV_PATH_BUFFER_SIZE);
    return (n == 0 || n >= KIV_PATH_BUFFER_SIZE) ? path : buffer;
}

/* Where the walk of a path creation starts: a root is never created on its
 * own.  A drive root stays with the first component, and a network path
 * keeps its server and share with the first component after them. */
size_t creationStart(const char* path)
{
    size_t i = 0;
    if (kivIsPathSeparator(path[0]) && kivIsPathSeparator(path[1])) {
        while (kivIsPathSeparator(path[i]))
            ++i;
        for (int part = 0; part < 2; ++part) {
            while (path[i] != '\0' && !kivIsPathSeparator(path[i]))
                ++i;
            while (kivIsPathSeparator(path[i]))
                ++i;
        }
        return i;
    }
    if (path[0] != '\0' && path[1] == ':')
        i = 2;
    while (kivIsPathSeparator(path[i]))
        ++i;
    return i;
}

/* One CreateDirectoryA of the walk; an existing directory is accepted in
 * mode 2.  Returns true when the walk goes on; otherwise `rc` holds the
 * result already returned through the frame. */
bool createStep(KIVFrame& f, const KIVDirectoryCreateParam* p, const char* prefix, Uint32& rc)
{
    if (CreateDirectoryA(prefix, nullptr))
        return true;
    DWORD err = GetLastError();
    if (p->mode == KIV_DIR_CREATE_PATH && err == kErrorAlreadyExists) {
        // Only a directory may stand where the path goes on.
        if (kivIsDirectory(prefix))
            return true;
        rc = f.fail(30, ECF_FILE_NOT_A_DIRECTORY, 2, KIVLOG_STRING(p->path),
                    KIVLOG_STRING(prefix));
        return false;
    }
    KIVErrorContext ctx;
    ctx.setPath(p->path);
    rc = f.sysError(KIVOSFN_CREATEDIRECTORY, err, 20, &ctx, 4, KIVLOG_STRING(p->path),
                    KIVLOG_STRING(prefix), KIVLOG_HEX(p->permissions), KIVLOG_UINT(p->mode));
    return false;
}

/* Creates every prefix of the path in turn. */
Uint32 createWalk(KIVFrame& f, const KIVDirectoryCreateParam* p)
{
    const char* path = p->path;
    char prefix[KIV_PATH_BUFFER_SIZE];
    Uint32 rc = 0;
    size_t i = creationStart(path);
    bool created = false;
    while (path[i] != '\0') {
        while (path[i] != '\0' && !kivIsPathSeparator(path[i]))
            ++i;
        if (i >= sizeof prefix) {
            // The system would refuse the prefix for its length.
            KIVErrorContext ctx;
            ctx.setPath(path);
            return f.sysError(KIVOSFN_CREATEDIRECTORY, ERROR_FILENAME_EXCED_RANGE, 20, &ctx, 4,
                              KIVLOG_STRING(path), KIVLOG_STRING(path),
                              KIVLOG_HEX(p->permissions), KIVLOG_UINT(p->mode));
        }
        memcpy(prefix, path, i);
        prefix[i] = '\0';
        if (!createStep(f, p, prefix, rc))
            return rc;
        created = true;
        while (kivIsPathSeparator(path[i]))
            ++i;
    }
    // A root alone (or a share) is still asked for once, so that the answer
    // is the system's.
    if (!created && !createStep(f, p, path, rc))
        return rc;
    return f.ok();
}

/* The record from GetFileInformationByHandle. */
Uint32 infoByHandle(KIVFrame& f, HANDLE h, KIVFileInfo* info, Uint32 flags)
{
    BY_HANDLE_FILE_INFORMATION bi;
    if (!GetFileInformationByHandle(h, &bi)) {
        DWORD err = GetLastError();
        KIVErrorContext ctx = kivHandleContext(h);
        return kivPathSysError(f, KIVOSFN_GETFILEINFORMATIONBYHANDLE, err, 80, flags, &ctx, 1,
                               KIVLOG_HEX(h));
    }
    info->size = ((Uint64)bi.nFileSizeHigh << 32) | bi.nFileSizeLow;
    info->fileType = (bi.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) ? KIV_FILE_TYPE_DIRECTORY
                                                                       : KIV_FILE_TYPE_REGULAR;
    info->permissions = (bi.dwFileAttributes & FILE_ATTRIBUTE_READONLY)
                            ? KIV_PERM_OWNER_READ
                            : KIV_PERM_OWNER_READ | KIV_PERM_OWNER_WRITE;
    return f.ok();
}

/* The record from the run-time library's file status of the path. */
Uint32 infoByPath(KIVFrame& f, const char* path, KIVFileInfo* info, Uint32 flags)
{
    struct _stat64 st;
    if (_stat64(path, &st) != 0) {
        int err = errno;
        KIVErrorContext ctx;
        ctx.setPath(path);
        return kivPathSysError(f, KIVOSFN_STAT_CRT, (Uint32)err, 30, flags, &ctx, 1,
                               KIVLOG_STRING(path));
    }
    Uint32 mode = (Uint32)st.st_mode;
    info->size = (Uint64)st.st_size;
    info->permissions = mode & 0xFFFu;
    info->uid = (Uint32)st.st_uid;
    info->gid = (Uint32)st.st_gid;
    info->lastModifiedTime = (Sint64)st.st_mtime;
    Uint32 type = mode & kModeTypeMask;
    if (type == KIV_FILE_TYPE_REGULAR || type == KIV_FILE_TYPE_DIRECTORY) {
        info->fileType = type;
        return f.ok();
    }
    info->fileType = KIV_FILE_TYPE_OTHER;
    if (flags & KIV_SYSERR_MAP_ONLY)
        return f.retError(70, ECF_FILE_UNKNOWN_FILE_TYPE);
    return f.fail(70, ECF_FILE_UNKNOWN_FILE_TYPE, 2, KIVLOG_STRING(path), KIVLOG_HEX(mode));
}

Uint32 fileGetInfo(const KIVFileGetInfoParam* param, KIVFileInfo* info)
{
    KIVFrame f(KIVFN_KIVGETFILEINFO);
    if (param != nullptr)
        f.data(10, param, (Uint32)sizeof *param);
    f.dataOf(10, info);
    Uint32 rc;
    if (!f.checkParam(param, rc))
        return rc;
    if (info == nullptr)
        return f.nullParam();
    // Objects older than the current layout end before `flags`.
    bool current = param->version >= KIV_FILE_INFO_VERSION_V9;
    Uint32 flags = (current && (param->flags & KIV_FILE_INFO_QUIET))
                       ? KIV_SYSERR_NO_ANALYSIS | KIV_SYSERR_MAP_ONLY
                       : 0;
    if (current && param->handle != INVALID_HANDLE_VALUE)
        return infoByHandle(f, param->handle, info, flags);
    if (param->path == nullptr)
        return f.nullParam();
    f.text(20, param->path);
    return infoByPath(f, param->path, info, flags);
}

} // namespace

/* ---- names ------------------------------------------------------------- */

extern "C" {

Uint32 kivBaseName(const char* path, char* out, Uint32 capacity)
{
    KIVFrame f(KIVFN_KIVBASENAME);
    if (path == nullptr || path[0] == '\0')
        return f.fail(10, ECF_INVALID_PARAMETER, 1, KIVLOG_HEX(path));
    f.text(10, path);
    if (out == nullptr)
        return f.fail(20, ECF_INVALID_PARAMETER, 1, KIVLOG_HEX(out));

    bool found = false;
    size_t start = lastComponent(path, &found);
    Uint32 needed = (Uint32)(strlen(path) - start) + 1;
    if (needed > capacity)
        return f.fail(30, ECF_BUFFER_TOO_SMALL, 2, KIVLOG_UINT(needed), KIVLOG_UINT(capacity));

    if (!found && kivIsPathSeparator(path[0])) {
        // The root: one separator, as the path spells it.
        out[0] = path[0];
        out[1] = '\0';
        return f.ok();
    }
    size_t n = 0;
    while (path[start + n] != '\0' && !kivIsPathSeparator(path[start + n]))
        ++n;
    memcpy(out, path + start, n);
    out[n] = '\0';
    return f.ok();
}

Uint32 kivDirectoryName(const char* path, char* out, Uint32 capacity)
{
    KIVFrame f(KIVFN_KIVDIRECTORYNAME);
    if (path == nullptr || path[0] == '\0')
        return f.fail(10, ECF_INVALID_PARAMETER, 1, KIVLOG_HEX(path));
    f.text(10, path);
    if (out == nullptr)
        return f.fail(20, ECF_INVALID_PARAMETER, 1, KIVLOG_HEX(out));

    const char* result = path;
    Uint32 length = (Uint32)strlen(path);
    if (!isDevicePath(path)) {
        bool found = false;
        size_t start = lastComponent(path, &found);
        // Everything before the separator that starts the last component,
        // including any separators in front of it ("a\\b" gives "a\").
        size_t end = found ? start - 1 : 0;
        if (end > 0) {
            length = (Uint32)end;
        } else {
            // A bare name lives in "."; a name in the root in the root.
            result = kivIsPathSeparator(path[0]) ? path : ".";
            length = 1;
        }
    }
    // The two one-character results need their terminator too.
    Uint32 needed = length + 1;
    if (needed > capacity) {
        if (capacity > 0)
            out[0] = '\0';
        return f.fail(30, ECF_BUFFER_TOO_SMALL, 2, KIVLOG_UINT(needed), KIVLOG_UINT(capacity));
    }
    memcpy(out, result, length);
    out[length] = '\0';
    return f.ok();
}

Uint32 kivComparePaths(const char* path1, const char* path2)
{
    KIVFrame f(KIVFN_KIVCOMPAREPATHS);
    if (path1 == nullptr || path2 == nullptr)
        return f.ret(0);
    f.text(10, path1);
    f.text(20, path2);
    char short1[KIV_PATH_BUFFER_SIZE];
    char short2[KIV_PATH_BUFFER_SIZE];
    const char* a = shortForm(path1, short1);
    const char* b = shortForm(path2, short2);
    return f.ret(_stricmp(a, b) == 0 ? 1 : 0);
}

/* ---- existence and type ------------------------------------------------ */

int kivIsDirectory(const char* path)
{
    if (path == nullptr)
        return 0;
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

int kivIsFile(const char* path)
{
    if (path == nullptr)
        return 0;
    DWORD attributes = GetFileAttributesA(path);
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

Uint32 kivPathTest(const KIVPathTestParam* param)
{
    KIVFrame f(KIVFN_KIVPATHTEST);
    Uint32 rc;
    if (!f.checkPathParam(param, rc))
        return rc;
    f.text(10, param->path);

    DWORD err = ERROR_SUCCESS;
    DWORD attributes = GetFileAttributesA(param->path);
    if (attributes == INVALID_FILE_ATTRIBUTES)
        err = GetLastError();
    else if ((param->tests & KIV_PATH_TEST_WRITABLE) && (attributes & FILE_ATTRIBUTE_READONLY))
        err = kErrorAccessDenied;
    else
        return f.ok();

    // Missing and refused are answers, not failures: traced, not logged.
    if (isOneOf(err, kMissingErrors)) {
        f.dataOf(20, err);
        return f.ret(ECF_FILE_DOESNT_EXIST);
    }
    if (isOneOf(err, kDeniedErrors)) {
        f.dataOf(30, err);
        return f.ret(ECF_ACCESS_DENIED);
    }
    // The mask the run-time library's access test would be given.
    Uint32 accessMask = ((param->tests & KIV_PATH_TEST_READABLE) ? 4u : 0u) |
                        ((param->tests & KIV_PATH_TEST_WRITABLE) ? 2u : 0u);
    KIVErrorContext ctx;
    ctx.setPath(param->path);
    return kivPathSysError(f, KIVOSFN_ACCESS, err, 40, KIV_SYSERR_NO_ANALYSIS, &ctx, 4,
                           KIVLOG_STRING(param->path), KIVLOG_HEX(param->tests),
                           KIVLOG_HEX(param->reserved), KIVLOG_HEX(accessMask));
}

Uint32 kivPathExists(const char* path)
{
    KIVFrame f(KIVFN_KIVPATHEXISTS);
    KIVPathTestParam test;
    test.path = path;
    test.tests = KIV_PATH_TEST_EXISTS;
    return f.ret(kivPathTest(&test) == 0 ? 1 : 0);
}

/* ---- file information ---------------------------------------------------- */

Uint32 kivFileGetInfoV9(const KIVFileGetInfoParam* param, KIVFileInfo* info)
{
    return fileGetInfo(param, info);
}

Uint32 kivFileGetInfo(Uint32 version, const char* path, Uint32 reserved1, Uint32 reserved2,
                      Uint32 flags, KIVFileInfo* info)
{
    // The words arrive by value; the record pointer is not a handle, so the
    // query always goes by path.
    KIVFileGetInfoParam param;
    param.version = version;
    param.path = path;
    param.reserved1 = reserved1;
    param.reserved2 = reserved2;
    param.flags = flags;
    param.handle = INVALID_HANDLE_VALUE;
    return fileGetInfo(&param, info);
}

} // extern "C"

void KIVFileInfo::toString(toStringParam* param) const
{
    if (param == nullptr || param->version < KIV_FILE_INFO_VERSION_V9)
        return;
    char perm[10] = "---------";
    if (permissions & KIV_PERM_OWNER_READ)
        perm[0] = 'r';
    if (permissions & KIV_PERM_OWNER_WRITE)
        perm[1] = 'w';
    if (permissions & KIV_PERM_OWNER_EXEC)
        perm[2] = 'x';
    const char* reference = (referencePath != nullptr && referencePath[0] != '\0')
                                ? referencePath
                                : "N/A";
    kivSnprintf(param->text, sizeof param->text,
                "Target File Information :\n"
                "  Size               = %llu\n"
                "  Link               = %.3s\n"
                "  Reference path     = %.30s\n"
                "  Type               = 0x%X\n"
                "  Permissions        = %.9s\n"
                "  UID                = %u\n"
                "  GID                = %u\n"
                "  Last modified time = %u",
                (unsigned long long)size, isLink ? "Yes" : "No", reference, fileType, perm, uid,
                gid, (Uint32)lastModifiedTime);
}

/* ---- files ------------------------------------------------------------------ */

extern "C" {

Uint32 kivFileRename(const char* oldPath, const char* newPath)
{
    KIVFrame f(KIVFN_KIVFILERENAME);
    Uint32 rc;
    if (!f.checkTwoPaths(oldPath, 10, newPath, 20, rc))
        return rc;
    if (!MoveFileA(oldPath, newPath)) {
        // Whatever the system says, the caller learns that the old name
        // could not be moved; the log keeps the system's reason.
        DWORD err = GetLastError();
        kivLogSysRC(nullptr, KIVFN_KIVFILERENAME, KIVOSFN_MOVEFILE, err, ECF_FILE_DOESNT_EXIST,
                    30, KIVLOG_INFO, 2, KIVLOG_STRING(oldPath), KIVLOG_STRING(newPath));
        return f.retError(30, ECF_FILE_DOESNT_EXIST);
    }
    return f.ok();
}

Uint32 kivFileDelete(const char* path)
{
    KIVFrame f(KIVFN_KIVFILEDELETE);
    if (path == nullptr)
        return f.nullParam();
    f.text(10, path);
    KIVPathTestParam test;
    test.path = path;
    Uint32 rc = kivPathTest(&test);
    if (rc != 0)
        return f.retError(20, rc);
    if (kivIsDirectory(path))
        return f.fail(30, ECF_FILE_IS_A_DIRECTORY, 1, KIVLOG_STRING(path));
    if (!DeleteFileA(path)) {
        DWORD err = GetLastError();
        KIVErrorContext ctx;
        ctx.setPath(path);
        return f.sysError(KIVOSFN_DELETEFILE, err, 40, &ctx, 1, KIVLOG_STRING(path));
    }
    return f.ok();
}

Uint32 kivFileSetPermissions(const char* path, Uint32* permissions)
{
    KIVFrame f(KIVFN_KIVFILESETPERMISSIONS);
    if (path == nullptr || permissions == nullptr)
        return f.nullParam();
    if (*permissions == 0)
        *permissions = KIV_PERM_OWNER_READ | KIV_PERM_OWNER_WRITE;
    f.text(10, path);
    f.dataOf(10, *permissions);
    if (_chmod(path, (int)*permissions) < 0) {
        DWORD err = GetLastError();
        KIVErrorContext ctx;
        ctx.setPath(path);
        ctx.setPermissions(*permissions);
        return f.sysError(KIVOSFN_CHMOD, err, 20, &ctx, 2, KIVLOG_STRING(path),
                          KIVLOG_HEX(*permissions));
    }
    return f.ok();
}

Uint32 kivFileSetOwnership(const char*, Uint32, Uint32)
{
    return 0;
}

/* ---- directories ------------------------------------------------------------- */

Uint32 kivDirectoryCreate(const KIVDirectoryCreateParam* param)
{
    KIVFrame f(KIVFN_KIVDIRECTORYCREATE);
    Uint32 rc;
    if (!f.checkPathParam(param, rc))
        return rc;
    f.text(10, param->path);
    if (param->mode != KIV_DIR_CREATE_SINGLE)
        return createWalk(f, param);
    if (!CreateDirectoryA(param->path, nullptr)) {
        DWORD err = GetLastError();
        KIVErrorContext ctx;
        ctx.setPath(param->path);
        return f.sysError(KIVOSFN_CREATEDIRECTORY, err, 20, &ctx, 4, KIVLOG_STRING(param->path),
                          KIVLOG_STRING(param->path), KIVLOG_HEX(param->permissions),
                          KIVLOG_UINT(param->mode));
    }
    return f.ok();
}

Uint32 kivDirectoryGetCurrent(char* buffer, Uint32* capacity)
{
    KIVFrame f(KIVFN_KIVDIRECTORYGETCURRENT);
    if (buffer == nullptr || capacity == nullptr)
        return f.nullParam();
    f.dataOf(10, *capacity);
    DWORD n = GetCurrentDirectoryA(*capacity, buffer);
    if (n == 0) {
        DWORD err = GetLastError();
        return kivPathSysError(f, KIVOSFN_GETCURRENTDIRECTORY, err, 30, KIV_SYSERR_NO_ANALYSIS,
                               nullptr, 1, KIVLOG_UINT(*capacity));
    }
    if (n > *capacity) {
        Uint32 given = *capacity;
        *capacity = n;
        return f.fail(40, ECF_BUFFER_TOO_SMALL, 2, KIVLOG_UINT(n), KIVLOG_UINT(given));
    }
    *capacity = n;
    return f.ok();
}

Uint32 kivDirectorySetCurrent(const char* path)
{
    KIVFrame f(KIVFN_KIVDIRECTORYSETCURRENT);
    if (path == nullptr)
        return f.nullParam();
    f.text(10, path);
    if (!SetCurrentDirectoryA(path)) {
        DWORD err = GetLastError();
        KIVErrorContext ctx;
        ctx.setPath(path);
        return f.sysError(KIVOSFN_SETCURRENTDIRECTORY, err, 20, &ctx, 1, KIVLOG_STRING(path));
    }
    return f.ok();
}

Uint32 kivGetLogicalDriveMap(Uint32* driveMap)
{
    KIVFrame f(KIVFN_KIVGETLOGICALDRIVEMAP);
    if (driveMap == nullptr)
        return f.nullParam();
    DWORD map = GetLogicalDrives();
    if (map == 0)
        return f.fail(10, ECF_FILE_CANNOT_RETRIEVE_DRIVE_MAP);
    *driveMap = map;
    f.dataOf(20, *driveMap);
    return f.ok();
}

} // extern "C"
