/*
 * kivpathint.h - what the path, copy and listing sources share and do not
 * export: the internal operations with function identifiers of their own,
 * path joining, and the system error handler with flags.
 */
#ifndef KIVPATHINT_H
#define KIVPATHINT_H

#include "kivbase.h"
#include "kivframe.h"

/* Memory of the listings is tagged with the file subsystem's name. */
#define KIV_FILE_SOURCE "kivfile"

/* "dir", the separator and "name" into `out` (KIV_PATH_BUFFER_SIZE bytes);
 * false when the result would not fit (nothing usable is left in `out`). */
KIV_LOCAL bool kivPathJoin(char* out, const char* directory, const char* name);

/* True for "." and "..". */
KIV_LOCAL bool kivIsDotName(const char* name);

/* A failed system call through the handler with `flags`, then the error
 * point and the exit record, as KIVFrame::sysError does with flags 0. */
KIV_LOCAL Uint32 kivPathSysError(KIVFrame& f, Uint32 systemFunctionId, Uint32 systemError,
                                 Uint32 probe, Uint32 flags, const KIVErrorContext* ctx,
                                 Sint32 itemCount, ...);

/* kiv_copy: one CopyFileA that fails when the destination exists. */
KIV_LOCAL Uint32 kivCopyOne(const char* source, const char* destination);
/* kiv_directory_delete: one RemoveDirectoryA. */
KIV_LOCAL Uint32 kivDirectoryDeleteOne(const char* path);
/* kiv_directory_delete_recursive: the contents, then the directory.  With
 * `force`, read-only files are made writable before they are deleted (for
 * trees the library made itself).  A link to a directory is removed, never
 * followed. */
KIV_LOCAL Uint32 kivDirectoryDeleteRecursive(const char* path, bool force);

#endif /* KIVPATHINT_H */
