/*
 * kivfilecopy.cpp - copying and removing: the single-file copy, the
 * directory tree copy, and the removal of one directory or of a whole tree.
 *
 * The tree operations walk a KIVDirectoryListing.  Their first failure ends
 * the walk and is logged at each level it passes, so the log shows the path
 * down to the entry that failed.  A tree copy that fails removes what it
 * made; when even that fails, a record says so and names the tree left
 * behind.
 */
#include <string.h>
#include <sys/stat.h>
#if defined(_WIN32)
#  include <io.h>
#endif

#include "kivdirlist.h"
#include "kivecf.h"
#include "kivframe.h"
#include "kivos.h"
#include "kivpath.h"
#include "kivpathint.h"
#include "kivstring.h"

namespace {

/* Letter case matters in paths where the file system keeps it apart. */
bool samePathChar(char a, char b)
{
    if (kivIsPathSeparator(a) && kivIsPathSeparator(b))
        return true;
#if defined(_WIN32)
    if (a >= 'a' && a <= 'z')
        a = (char)(a - 'a' + 'A');
    if (b >= 'a' && b <= 'z')
        b = (char)(b - 'a' + 'A');
#endif
    return a == b;
}

/* True when `inner` names `outer` or a place below it, by their full path
 * names.  A name whose full form cannot be had is taken as elsewhere. */
bool isWithin(const char* inner, const char* outer)
{
    char fullInner[KIV_PATH_BUFFER_SIZE + 1];
    char fullOuter[KIV_PATH_BUFFER_SIZE + 1];
    DWORD n = GetFullPathNameA(inner, sizeof fullInner, fullInner, nullptr);
    DWORD m = GetFullPathNameA(outer, sizeof fullOuter, fullOuter, nullptr);
    if (n == 0 || n >= sizeof fullInner || m == 0 || m >= sizeof fullOuter)
        return false;
    while (m > 1 && kivIsPathSeparator(fullOuter[m - 1]))
        fullOuter[--m] = '\0';
    for (DWORD i = 0; i < m; ++i) {
        if (!samePathChar(fullInner[i], fullOuter[i]))
            return false;
    }
    return fullInner[m] == '\0' || kivIsPathSeparator(fullInner[m]) ||
           kivIsPathSeparator(fullOuter[m - 1]);
}

/* A link to a directory: removed itself, never walked into. */
bool isLinkedDirectory(const char* path)
{
    WIN32_FIND_DATAA data;
    HANDLE h = FindFirstFileA(path, &data);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    FindClose(h);
    return (data.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

/* Clears the read-only attribute of a file about to be removed. */
void makeWritable(const char* path)
{
    DWORD attributes = GetFileAttributesA(path);
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
        _chmod(path, KIV_PERM_OWNER_READ | KIV_PERM_OWNER_WRITE);
}

/* Removes the entries of the directory listed in `l`. */
Uint32 deleteEntries(KIVFrame& f, KIVDirectoryListing& l, const char* path, bool force)
{
    char child[KIV_PATH_BUFFER_SIZE];
    while (const char* name = l.getNext()) {
        if (kivIsDotName(name))
            continue;
        if (!kivPathJoin(child, path, name))
            return f.fail(80, ECF_FILE_NAME_TOO_LONG, 2, KIVLOG_STRING(path), KIVLOG_STRING(name));
        if (kivIsDirectory(child)) {
            Uint32 rc = kivDirectoryDeleteRecursive(child, force);
            if (rc != 0)
                return f.calledFailed(KIVFN_KIV_DIRECTORY_DELETE_RECURSIVE, rc, rc, 20, 1,
                                      KIVLOG_STRING(child));
            continue;
        }
        if (force)
            makeWritable(child);
        Uint32 rc = kivFileDelete(child);
        if (rc != 0)
            return f.calledFailed(KIVFN_KIVFILEDELETE, rc, rc, 40, 1, KIVLOG_STRING(child));
    }
    return 0;
}

/* Where a tree copy failed, for its log record. */
struct CopyFailure {
    Uint32 code = 0;
    Uint32 probe = 0;
    Uint32 calledFunction = 0; /* 0: the copy's own finding */
    char   first[KIV_PATH_BUFFER_SIZE] = "";
    char   second[KIV_PATH_BUFFER_SIZE] = "";

    void set(Uint32 c, Uint32 p, Uint32 called, const char* a, const char* b)
    {
        code = c;
        probe = p;
        calledFunction = called;
        kivSnprintf(first, sizeof first, "%s", a);
        kivSnprintf(second, sizeof second, "%s", b);
    }
};

/* Copies the entries of the source listed in `l` into `destination`. */
void copyEntries(KIVDirectoryListing& l, const char* source, const char* destination,
                 CopyFailure& failure)
{
    char from[KIV_PATH_BUFFER_SIZE];
    char to[KIV_PATH_BUFFER_SIZE];
    while (const char* name = l.getNext()) {
        if (kivIsDotName(name))
            continue;
        if (!kivPathJoin(from, source, name) || !kivPathJoin(to, destination, name)) {
            failure.set(ECF_FILE_NAME_TOO_LONG, 80, 0, source, name);
            return;
        }
        if (kivIsDirectory(from)) {
            Uint32 rc = kivDirectoryCopy(from, to);
            if (rc != 0) {
                failure.set(rc, 50, KIVFN_KIVDIRECTORYCOPY, from, to);
                return;
            }
        } else {
            Uint32 rc = kivFileCopy(from, to);
            if (rc != 0) {
                failure.set(rc, 60, KIVFN_KIVFILECOPY, from, to);
                return;
            }
        }
    }
}

/* Lists the source and copies its entries; the listing is always ended. */
void copyTree(const char* source, const char* destination, CopyFailure& failure)
{
    KIVDirectoryListingParam lp;
    lp.path = source;
    KIVDirectoryListing l;
    Uint32 rc = l.begin(&lp);
    if (rc != 0) {
        failure.set(rc, 40, KIVFN_KIVDIRECTORYLISTING_BEGIN, source, destination);
        return;
    }
    copyEntries(l, source, destination, failure);
    rc = l.end();
    if (rc != 0 && failure.code == 0)
        failure.set(rc, 40, KIVFN_KIVDIRECTORYLISTING_END, source, destination);
}

/* Logs a tree copy's failure, removes the destination tree it made and
 * leaves with the failure's code. */
Uint32 abandonCopy(KIVFrame& f, const char* destination, const CopyFailure& failure)
{
    if (failure.calledFunction != 0)
        kivLogRC(nullptr, f.functionId(), failure.calledFunction, failure.code, failure.code,
                 failure.probe, KIVLOG_INFO, 2, KIVLOG_STRING(failure.first),
                 KIVLOG_STRING(failure.second));
    else
        kivLog(nullptr, f.functionId(), failure.code, failure.probe, KIVLOG_INFO, 2,
               KIVLOG_STRING(failure.first), KIVLOG_STRING(failure.second));
    f.errorPoint(failure.probe, failure.code);
    Uint32 rc = kivDirectoryDeleteRecursive(destination, true);
    if (rc != 0) {
        // The half-made tree stays: say where.
        kivLogRC(nullptr, f.functionId(), KIVFN_KIV_DIRECTORY_DELETE_RECURSIVE, rc, rc, 90,
                 KIVLOG_INFO, 1, KIVLOG_STRING(destination));
        f.errorPoint(90, rc);
    }
    return f.ret(failure.code);
}

} // namespace

/* ---- internal operations --------------------------------------------------- */

Uint32 kivCopyOne(const char* source, const char* destination)
{
    KIVFrame f(KIVFN_KIV_COPY);
    if (!CopyFileA(source, destination, TRUE)) {
        DWORD err = GetLastError();
        KIVErrorContext ctx;
        ctx.setPath(source);
        return kivPathSysError(f, KIVOSFN_COPYFILE, err, 10, KIV_SYSERR_NO_ANALYSIS, &ctx, 2,
                               KIVLOG_STRING(source), KIVLOG_STRING(destination));
    }
    return f.ok();
}

Uint32 kivDirectoryDeleteOne(const char* path)
{
    KIVFrame f(KIVFN_KIV_DIRECTORY_DELETE);
    if (!RemoveDirectoryA(path)) {
        DWORD err = GetLastError();
        KIVErrorContext ctx;
        ctx.setPath(path);
        return f.sysError(KIVOSFN_REMOVEDIRECTORY, err, 20, &ctx, 1, KIVLOG_STRING(path));
    }
    return f.ok();
}

Uint32 kivDirectoryDeleteRecursive(const char* path, bool force)
{
    KIVFrame f(KIVFN_KIV_DIRECTORY_DELETE_RECURSIVE);
    f.text(10, path);
    if (_stricmp(path, "NUL") == 0)
        return f.fail(10, ECF_INVALID_PARAMETER, 1, KIVLOG_STRING(path));
    if (!kivIsDirectory(path))
        return f.fail(70, ECF_FILE_NOT_A_DIRECTORY, 1, KIVLOG_STRING(path));

    if (!isLinkedDirectory(path)) {
        KIVDirectoryListingParam lp;
        lp.path = path;
        KIVDirectoryListing l;
        Uint32 rc = l.begin(&lp);
        if (rc != 0)
            return f.calledFailed(KIVFN_KIVDIRECTORYLISTING_BEGIN, rc, rc, 50, 1,
                                  KIVLOG_STRING(path));
        rc = deleteEntries(f, l, path, force);
        if (rc != 0) {
            l.end();
            return rc;
        }
        rc = l.end();
        if (rc != 0)
            return f.calledFailed(KIVFN_KIVDIRECTORYLISTING_END, rc, rc, 60, 1,
                                  KIVLOG_STRING(path));
    }
    Uint32 rc = kivDirectoryDeleteOne(path);
    if (rc != 0)
        return f.calledFailed(KIVFN_KIV_DIRECTORY_DELETE, rc, rc, 30, 1, KIVLOG_STRING(path));
    return f.ok();
}

/* ---- exported operations ------------------------------------------------------ */

extern "C" {

Uint32 kivFileCopy(const char* source, const char* destination)
{
    KIVFrame f(KIVFN_KIVFILECOPY);
    Uint32 rc;
    if (!f.checkTwoPaths(source, 10, destination, 10, rc))
        return rc;
    if (strcmp(source, destination) == 0)
        return f.fail(10, ECF_INVALID_PARAMETER, 2, KIVLOG_STRING(source),
                      KIVLOG_STRING(destination));
    KIVPathTestParam test;
    test.path = destination;
    if (kivPathTest(&test) == 0)
        return f.fail(20, ECF_FILE_EXISTS, 1, KIVLOG_STRING(destination));
    rc = kivCopyOne(source, destination);
    if (rc != 0)
        return f.calledFailed(KIVFN_KIV_COPY, rc, rc, 30, 2, KIVLOG_STRING(source),
                              KIVLOG_STRING(destination));
    return f.ok();
}

Uint32 kivDirectoryDelete(const KIVDirectoryDeleteParam* param)
{
    KIVFrame f(KIVFN_KIVDIRECTORYDELETE);
    Uint32 rc;
    if (!f.checkPathParam(param, rc))
        return rc;
    // The removal that failed has logged it, with the path.
    if (param->flags & KIV_DIR_DELETE_RECURSIVE)
        rc = kivDirectoryDeleteRecursive(param->path, false);
    else
        rc = kivDirectoryDeleteOne(param->path);
    if (rc != 0)
        return f.retError(20, rc);
    return f.ok();
}

Uint32 kivDirectoryCopy(const char* source, const char* destination)
{
    KIVFrame f(KIVFN_KIVDIRECTORYCOPY);
    Uint32 rc;
    if (!f.checkTwoPaths(source, 10, destination, 10, rc))
        return rc;
    // The destination must be new, and not inside the source: a copy into
    // itself would never end.
    if (strcmp(source, destination) == 0 || kivPathExists(destination) ||
        isWithin(destination, source))
        return f.fail(10, ECF_INVALID_PARAMETER, 2, KIVLOG_STRING(source),
                      KIVLOG_STRING(destination));
    if (!kivIsDirectory(source))
        return f.fail(70, ECF_FILE_NOT_A_DIRECTORY, 1, KIVLOG_STRING(source));

    KIVFileGetInfoParam getInfo;
    getInfo.path = source;
    KIVFileInfo info;
    rc = kivFileGetInfoV9(&getInfo, &info);
    if (rc != 0)
        return f.calledFailed(KIVFN_KIVGETFILEINFO, rc, rc, 20, 1, KIVLOG_STRING(source));
    KIVDirectoryCreateParam create;
    create.path = destination;
    create.permissions = info.permissions;
    create.mode = KIV_DIR_CREATE_SINGLE;
    rc = kivDirectoryCreate(&create);
    if (rc != 0)
        return f.calledFailed(KIVFN_KIVDIRECTORYCREATE, rc, rc, 30, 1,
                              KIVLOG_STRING(destination));

    CopyFailure failure;
    copyTree(source, destination, failure);
    if (failure.code != 0)
        return abandonCopy(f, destination, failure);
    return f.ok();
}

} // extern "C"
