/*
 * kivpath.h - paths, files and directories: directory and base names, path
 * comparison, existence and access tests, file information and its text,
 * copying, renaming and deleting files, creating, copying and deleting
 * directories (the recursive ones walk a KIVDirectoryListing), the current
 * directory, permissions and the map of logical drives.
 *
 * Paths are narrow strings in the system's code page.  The backslash
 * separates their components; on POSIX systems the slash does as well,
 * since that is the system's own separator.  Paths the library builds use
 * KIV_PATH_SEPARATOR and fit in KIV_PATH_BUFFER_SIZE bytes.
 */
#ifndef KIVPATH_H
#define KIVPATH_H

#include "kivbase.h"
#include "kivos.h"

/* Bytes of every path buffer the library builds. */
#define KIV_PATH_BUFFER_SIZE 260u

#if defined(_WIN32)
#  define KIV_PATH_SEPARATOR '\\'
#else
#  define KIV_PATH_SEPARATOR '/'
#endif

/* True for a character that separates path components. */
inline bool kivIsPathSeparator(char c)
{
#if defined(_WIN32)
    return c == '\\';
#else
    return c == '\\' || c == '/';
#endif
}

/* Path test bits. */
#define KIV_PATH_TEST_EXISTS   0x1u
#define KIV_PATH_TEST_READABLE 0x2u /* no effect on Windows */
#define KIV_PATH_TEST_WRITABLE 0x4u

/* Directory creation modes. */
#define KIV_DIR_CREATE_SINGLE 1u /* this directory only */
#define KIV_DIR_CREATE_PATH   2u /* every missing ancestor too; existing ones are accepted */

/* Directory deletion flags. */
#define KIV_DIR_DELETE_RECURSIVE 0x1u

/* File information flags. */
#define KIV_FILE_INFO_QUIET 0x2u /* a failure is mapped, not logged */
/* The first version whose file information parameter has `flags` and
 * `handle`, and whose rendering parameter is honoured. */
#define KIV_FILE_INFO_VERSION_V9 0x09050000u

/* File types of KIVFileInfo::fileType (and of the listing filters). */
#define KIV_FILE_TYPE_OTHER     0x0000u
#define KIV_FILE_TYPE_DIRECTORY 0x4000u
#define KIV_FILE_TYPE_REGULAR   0x8000u

/* Permission bits of KIVFileInfo::permissions. */
#define KIV_PERM_OWNER_READ  0x100u
#define KIV_PERM_OWNER_WRITE 0x080u
#define KIV_PERM_OWNER_EXEC  0x040u

class KIV_API KIVPathTestParam {
public:
    KIVPathTestParam();
    Uint32      version;
    const char* path;
    Uint32      tests;    /* KIV_PATH_TEST_* */
    Uint32      reserved; /* traced only */
};

class KIV_API KIVDirectoryCreateParam {
public:
    KIVDirectoryCreateParam();
    Uint32      version;
    const char* path;
    Uint32      permissions; /* not applied, logged only */
    Uint32      mode;        /* KIV_DIR_CREATE_* */
};

class KIV_API KIVDirectoryDeleteParam {
public:
    KIVDirectoryDeleteParam();
    Uint32      version;
    const char* path;
    Uint32      flags; /* KIV_DIR_DELETE_RECURSIVE */
};

class KIV_API KIVFileGetInfoParam {
public:
    KIVFileGetInfoParam();
    Uint32      version;
    const char* path;
    Uint32      reserved1;
    Uint32      reserved2;
    Uint32      flags;  /* KIV_FILE_INFO_QUIET; from KIV_FILE_INFO_VERSION_V9 */
    HANDLE      handle; /* an open file to query instead of the path, or
                           INVALID_HANDLE_VALUE; from KIV_FILE_INFO_VERSION_V9 */
};

/* What is known about a file.  64-bit fields are 8-aligned as on Windows,
 * whatever the ABI's default. */
class KIV_API KIVFileInfo {
public:
    class KIV_API toStringParam {
    public:
        toStringParam();
        Uint32 version;
        char   text[384];
    };

    KIVFileInfo();
    /* Renders the record into param->text (nothing for a version below
     * KIV_FILE_INFO_VERSION_V9 or a null param). */
    void toString(toStringParam* param) const;

    alignas(8) Uint64 size;
    Uint8             isLink;           /* never set on Windows */
    const char*       referencePath;    /* never set on Windows */
    Uint32            fileType;         /* KIV_FILE_TYPE_* */
    Uint32            permissions;      /* octal owner/group/other layout */
    Uint32            uid;
    Uint32            gid;
    alignas(8) Sint64 lastModifiedTime; /* seconds since 1970-01-01 UTC */
    alignas(8) Uint64 reserved;
};

#ifdef __cplusplus
extern "C" {
#endif

/* The last component of `path` into `out` (capacity bytes). */
KIV_API Uint32 kivBaseName(const char* path, char* out, Uint32 capacity);
/* Everything before the last component ("." for a bare name, a lone
 * separator for a name in the root, a device path whole). */
KIV_API Uint32 kivDirectoryName(const char* path, char* out, Uint32 capacity);
/* 1 when the two paths name the same file (by their short forms, without
 * regard to letter case), else 0. */
KIV_API Uint32 kivComparePaths(const char* path1, const char* path2);
/* Non-zero when the path exists and is (is not) a directory; no records. */
KIV_API int kivIsDirectory(const char* path);
KIV_API int kivIsFile(const char* path);

KIV_API Uint32 kivPathTest(const KIVPathTestParam* param);
/* 1 when the path exists, else 0. */
KIV_API Uint32 kivPathExists(const char* path);

KIV_API Uint32 kivFileGetInfoV9(const KIVFileGetInfoParam* param, KIVFileInfo* info);
/* The older entry point: the first five words of a parameter object by
 * value.  It queries by path; there is no handle to pass. */
KIV_API Uint32 kivFileGetInfo(Uint32 version, const char* path, Uint32 reserved1,
                              Uint32 reserved2, Uint32 flags, KIVFileInfo* info);

KIV_API Uint32 kivFileCopy(const char* source, const char* destination);
KIV_API Uint32 kivFileRename(const char* oldPath, const char* newPath);
KIV_API Uint32 kivFileDelete(const char* path);
/* Bits 0 are first replaced by owner read and write, which are written back. */
KIV_API Uint32 kivFileSetPermissions(const char* path, Uint32* permissions);
/* Does nothing; always 0. */
KIV_API Uint32 kivFileSetOwnership(const char* path, Uint32 uid, Uint32 gid);

KIV_API Uint32 kivDirectoryCreate(const KIVDirectoryCreateParam* param);
/* Copies a directory tree to a destination that must not exist yet, nor
 * lie inside the source.  A failed copy removes what it made. */
KIV_API Uint32 kivDirectoryCopy(const char* source, const char* destination);
KIV_API Uint32 kivDirectoryDelete(const KIVDirectoryDeleteParam* param);
/* *capacity: the buffer's size in; the path's length out, or the size
 * needed (terminator included) with ECF_BUFFER_TOO_SMALL. */
KIV_API Uint32 kivDirectoryGetCurrent(char* buffer, Uint32* capacity);
KIV_API Uint32 kivDirectorySetCurrent(const char* path);
/* Bit 0 drive A:, bit 1 B:, ... */
KIV_API Uint32 kivGetLogicalDriveMap(Uint32* driveMap);

#ifdef __cplusplus
}
#endif

#endif /* KIVPATH_H */
