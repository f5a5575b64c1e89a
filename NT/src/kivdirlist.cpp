/*
 * kivdirlist.cpp - the directory listing: one search with FindFirstFileA
 * and FindNextFileA at `begin`, the names kept in a chain of entries from
 * the library allocator, and a flat list made from the chain at the end of
 * `begin`.  `end` (and the destructor) frees everything.
 */
#include <stdio.h>
#include <string.h>

#include "kivdirlist.h"
#include "kivecf.h"
#include "kivframe.h"
#include "kivmem.h"
#include "kivos.h"
#include "kivpath.h"
#include "kivpathint.h"
#include "kivstring.h"

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(KIVDirectoryListingParam) == 16, "KIVDirectoryListingParam is four words");
static_assert(offsetof(KIVDirectoryListing, m_pNextEntry) == 16, "KIVDirectoryListing layout");
static_assert(offsetof(KIVDirectoryListing, m_bAtStart) == 20, "KIVDirectoryListing layout");
static_assert(sizeof(KIVDirectoryListing) == 24, "KIVDirectoryListing layout");
#endif
static_assert(offsetof(KIVDirectoryListing, m_iNumberOfFiles) == 0, "KIVDirectoryListing layout");
static_assert(offsetof(KIVDirectoryListing, m_bBegun) ==
                  offsetof(KIVDirectoryListing, m_bAtStart) + 1,
              "KIVDirectoryListing layout");

KIVDirectoryListingParam::KIVDirectoryListingParam()
    : version(KIV_VERSION_CURRENT), path(nullptr), typeFilter(KIV_LIST_ALL), reserved(0)
{
}

namespace {

const Uint32 kBothTypes = KIV_LIST_DIRECTORIES_ONLY | KIV_LIST_FILES_ONLY;
/* Sizes of the search pattern and of an entry's full name. */
const Uint32 kPatternSize = KIV_PATH_BUFFER_SIZE + 1;
const Uint32 kFullNameSize = 2 * KIV_PATH_BUFFER_SIZE + 2;

void resetListing(KIVDirectoryListing& l)
{
    l.m_iNumberOfFiles = 0;
    l.m_pFirstEntry = nullptr;
    l.m_pFileList = nullptr;
    l.m_iFileListSize = 0;
    l.m_pNextEntry = nullptr;
    l.m_bAtStart = true;
    l.m_bBegun = false;
}

Uint32 freeBlock(void* block)
{
    return kivMemFree(&block, 0, 0, KIV_FILE_SOURCE, __LINE__);
}

/* Frees the names, the entries and the flat list.  On a refused free the
 * allocator's code is returned at once with the probe of what it was; what
 * is left stays reachable from the object. */
Uint32 releaseListing(KIVDirectoryListing& l, Uint32* probe)
{
    while (KIVDirectoryListingEntry* e = l.m_pFirstEntry) {
        if (Uint32 rc = freeBlock(e->name)) {
            *probe = 20;
            return rc;
        }
        e->name = nullptr;
        l.m_pFirstEntry = e->next;
        e->next = nullptr;
        if (Uint32 rc = freeBlock(e)) {
            *probe = 30;
            return rc;
        }
    }
    if (l.m_pFileList != nullptr) {
        if (Uint32 rc = freeBlock(l.m_pFileList)) {
            *probe = 40;
            return rc;
        }
    }
    resetListing(l);
    return 0;
}

/* A copy of `name` at the end of the chain. */
Uint32 appendEntry(KIVDirectoryListing& l, KIVDirectoryListingEntry** tail, const char* name)
{
    Uint32 length = (Uint32)strlen(name);
    void* block = nullptr;
    Uint32 rc = kivMemAlloc(&block, nullptr, (Uint32)sizeof(KIVDirectoryListingEntry), 0,
                            KIV_FILE_SOURCE, __LINE__);
    if (rc != 0)
        return rc;
    void* copy = nullptr;
    rc = kivMemAlloc(&copy, nullptr, length + 1, 0, KIV_FILE_SOURCE, __LINE__);
    if (rc != 0) {
        freeBlock(block);
        return rc;
    }
    memcpy(copy, name, length + 1);
    KIVDirectoryListingEntry* e = static_cast<KIVDirectoryListingEntry*>(block);
    e->name = static_cast<char*>(copy);
    e->next = nullptr;
    if (*tail != nullptr)
        (*tail)->next = e;
    else
        l.m_pFirstEntry = e;
    *tail = e;
    l.m_iNumberOfFiles += 1;
    l.m_iFileListSize += length + 1;
    return 0;
}

/* Every name followed by a NUL, in chain order, then one more NUL. */
Uint32 makeFileList(KIVDirectoryListing& l)
{
    l.m_iFileListSize += 1;
    void* block = nullptr;
    Uint32 rc = kivMemAlloc(&block, nullptr, l.m_iFileListSize, 0, KIV_FILE_SOURCE, __LINE__);
    if (rc != 0)
        return rc;
    char* p = static_cast<char*>(block);
    for (KIVDirectoryListingEntry* e = l.m_pFirstEntry; e != nullptr; e = e->next) {
        size_t n = strlen(e->name) + 1;
        memcpy(p, e->name, n);
        p += n;
    }
    *p = '\0';
    l.m_pFileList = static_cast<char*>(block);
    return 0;
}

/* Whether the entry passes the type filter, judged by the attributes of
 * its full name (so a link counts as what it leads to).  Without a filter
 * only an entry gone since the search is left out: one the system lists
 * but cannot describe (a full name too long, a loop of links) is kept, so
 * that whoever acts on it learns why it cannot, instead of missing it. */
bool keepEntry(const char* directory, const char* name, Uint32 typeFilter)
{
    char full[kFullNameSize];
    kivSnprintf(full, sizeof full, "%s%c%s", directory, KIV_PATH_SEPARATOR, name);
    DWORD attributes = GetFileAttributesA(full);
    if (attributes == INVALID_FILE_ATTRIBUTES) {
        DWORD err = GetLastError();
        return typeFilter == KIV_LIST_ALL && err != ERROR_FILE_NOT_FOUND &&
               err != ERROR_PATH_NOT_FOUND;
    }
    bool isDirectory = (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    if (typeFilter == KIV_LIST_ALL)
        return true;
    if (typeFilter & KIV_LIST_DIRECTORIES_ONLY)
        return isDirectory;
    if (typeFilter & KIV_LIST_FILES_ONLY)
        return !isDirectory;
    return false;
}

/* The directory whose names are listed and the pattern to search for.
 * Returns 0, or a code already logged through the frame's log record by
 * the caller (*probe set). */
Uint32 searchNames(const char* path, char* directory, char* pattern, Uint32* probe,
                   Uint32* calledFunction)
{
    // Nothing longer than the pattern buffer names a place the system can
    // search; it is refused before it is cut.
    size_t length = strlen(path);
    if (length >= kPatternSize) {
        *probe = 60;
        return ECF_FILE_NAME_TOO_LONG;
    }
    char base[kPatternSize];
    Uint32 rc = kivBaseName(path, base, sizeof base);
    if (rc != 0) {
        *probe = 50;
        *calledFunction = KIVFN_KIVBASENAME;
        return rc;
    }
    if (strpbrk(base, "*?") != nullptr) {
        memcpy(pattern, path, length + 1);
        rc = kivDirectoryName(path, directory, KIV_PATH_BUFFER_SIZE);
        if (rc != 0) {
            *probe = 50;
            *calledFunction = KIVFN_KIVDIRECTORYNAME;
        }
        return rc;
    }
    if (length >= KIV_PATH_BUFFER_SIZE) {
        *probe = 60;
        return ECF_FILE_NAME_TOO_LONG;
    }
    memcpy(directory, path, length + 1);
    // One trailing separator goes: the pattern adds its own.
    if (length > 0 && (directory[length - 1] == '\\' || directory[length - 1] == '/'))
        directory[length - 1] = '\0';
    kivSnprintf(pattern, kPatternSize, "%s%c*", directory, KIV_PATH_SEPARATOR);
    return 0;
}

} // namespace

KIVDirectoryListing::KIVDirectoryListing()
{
    resetListing(*this);
}

KIVDirectoryListing::~KIVDirectoryListing()
{
    // A failed begin may have left names behind; end releases them too.
    m_bBegun = true;
    end();
}

Uint32 KIVDirectoryListing::begin(const KIVDirectoryListingParam* param)
{
    KIVFrame f(KIVFN_KIVDIRECTORYLISTING_BEGIN);
    if (param != nullptr)
        f.dataOf(10, *param);
    Uint32 rc;
    if (!f.checkParam(param, rc))
        return rc;
    if (param->path == nullptr)
        return f.nullParam();
    const char* path = param->path;
    f.text(30, path);
    if ((param->typeFilter & kBothTypes) == kBothTypes)
        return f.fail(110, ECF_INVALID_PARAMETER, 1, KIVLOG_HEX(param->typeFilter));
    if (m_bBegun)
        return f.fail(40, ECF_INVALID_INVOCATION_SEQUENCE);

    // Names a failed begin kept go now.
    Uint32 probe = 0;
    if ((rc = releaseListing(*this, &probe)) != 0)
        return f.calledFailed(KIVFN_KIVMEMFREE, rc, rc, probe);

    char directory[KIV_PATH_BUFFER_SIZE];
    char pattern[kPatternSize];
    Uint32 calledFunction = 0;
    rc = searchNames(path, directory, pattern, &probe, &calledFunction);
    if (rc != 0 && calledFunction != 0)
        return f.calledFailed(calledFunction, rc, rc, probe, 1, KIVLOG_STRING(path));
    if (rc != 0)
        return f.fail(probe, rc, 1, KIVLOG_STRING(path));

    WIN32_FIND_DATAA data;
    HANDLE search = FindFirstFileA(pattern, &data);
    if (search == INVALID_HANDLE_VALUE) {
        DWORD err = GetLastError();
        KIVErrorContext ctx;
        ctx.setPath(path);
        return f.sysError(KIVOSFN_FINDFIRSTFILE, err, 80, &ctx, 4, KIVLOG_STRING(path),
                          KIVLOG_STRING(pattern), KIVLOG_HEX(param->typeFilter),
                          KIVLOG_HEX(param->reserved));
    }
    KIVDirectoryListingEntry* tail = nullptr;
    do {
        if (!keepEntry(directory, data.cFileName, param->typeFilter))
            continue;
        if ((rc = appendEntry(*this, &tail, data.cFileName)) != 0) {
            FindClose(search);
            return f.calledFailed(KIVFN_KIVMEMALLOC, rc, rc, 70, 1,
                                  KIVLOG_STRING(data.cFileName));
        }
    } while (FindNextFileA(search, &data));

    DWORD err = GetLastError();
    if (err != ERROR_NO_MORE_FILES) {
        FindClose(search);
        KIVErrorContext ctx = kivHandleContext(search);
        return f.sysError(KIVOSFN_FINDNEXTFILE, err, 90, &ctx, 2, KIVLOG_STRING(path),
                          KIVLOG_HEX(search));
    }
    if (!FindClose(search)) {
        err = GetLastError();
        return f.handleError(KIVOSFN_FINDCLOSE, err, 100, search);
    }
    if ((rc = makeFileList(*this)) != 0)
        return f.calledFailed(KIVFN_KIVMEMALLOC, rc, rc, 120, 1, KIVLOG_UINT(m_iFileListSize));
    m_bBegun = true;
    f.dataOf(130, m_iNumberOfFiles);
    return f.ok();
}

const char* KIVDirectoryListing::getNext()
{
    KIVDirectoryListingEntry* e;
    if (m_bAtStart) {
        m_bAtStart = false;
        e = m_pFirstEntry;
    } else {
        e = m_pNextEntry;
    }
    if (e == nullptr) {
        m_pNextEntry = nullptr;
        return nullptr;
    }
    m_pNextEntry = e->next;
    return e->name;
}

void KIVDirectoryListing::rewind()
{
    m_bAtStart = true;
}

const char* KIVDirectoryListing::getFileList() const
{
    return m_pFileList;
}

Uint32 KIVDirectoryListing::getNumberOfFiles() const
{
    return m_iNumberOfFiles;
}

void KIVDirectoryListing::dumpFileList() const
{
    printf("========================================= \r\nm_iFileListSize = %u\r\n"
           "There is/are %u file(s) \r\n========> File List Dump Start <========= \r\n",
           m_iFileListSize, m_iNumberOfFiles);
    Uint32 number = 1;
    for (const KIVDirectoryListingEntry* e = m_pFirstEntry; e != nullptr; e = e->next)
        printf("File %u : |%s|\r\n", number++, e->name);
    printf("========>  File List Dump End  <========= \r\n");
    fflush(stdout);
}

Uint32 KIVDirectoryListing::end()
{
    KIVFrame f(KIVFN_KIVDIRECTORYLISTING_END);
    if (!m_bBegun)
        return f.fail(10, ECF_INVALID_INVOCATION_SEQUENCE);
    Uint32 probe = 0;
    Uint32 rc = releaseListing(*this, &probe);
    if (rc != 0)
        return f.calledFailed(KIVFN_KIVMEMFREE, rc, rc, probe);
    return f.ok();
}
