/*
 * kivassert.h - the assertion failure action and its forms.
 */
#ifndef KIVASSERT_H
#define KIVASSERT_H

#include <stdarg.h>

#include "kivbase.h"

typedef void (*KIVAssertionCallback)(const char* expression, const char* file, Uint32 line,
                                     const char* dumpDirectory, Uint32 fatal, va_list* regions);

#ifdef __cplusplus
extern "C" {
#endif

/* The variable part is a list of (const void* address, Uint32 length) pairs
 * ended by a null address or a zero length. Always returns 0. */
KIV_API Uint32 kivAssertFailureAction(const char* expression, const char* file, Uint32 line,
                                      const char* dumpDirectory, Uint8 fatal, ...);
KIV_API Uint32 kivAssertFailed(const char* expression, const char* file, Uint32 line);
/* The memory allocator's form: non-fatal, with a dump directory, no regions. */
KIV_API Uint32 kivAssertFailedDir(const char* expression, const char* file, Uint32 line,
                                  const char* dumpDirectory);
KIV_API void kivSetAssertionCallback(KIVAssertionCallback callback);

#ifdef __cplusplus
}
#endif

#define KIV_ASSERT(expr) \
    ((expr) ? (void)0 : (void)kivAssertFailed(#expr, __FILE__, (Uint32)__LINE__))

#endif /* KIVASSERT_H */
