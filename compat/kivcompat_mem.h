/*
 * kivcompat_mem.h - the Win32 pointer probes (IsBadReadPtr, IsBadWritePtr,
 * IsBadStringPtrA) on POSIX.
 *
 * They answer from the process's own mapping table: a range is good when
 * every byte of it lies in mappings that allow the access.  Like the
 * Windows calls they say nothing about who owns the memory, and the answer
 * may be stale as soon as another thread maps or unmaps something.
 */
#ifndef KIVCOMPAT_MEM_H
#define KIVCOMPAT_MEM_H

#include "kivcompat.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Non-zero when some byte of [p, p + size) cannot be read (written); a
 * size of 0 is always good, a null pointer with a size always bad. */
KIVCOMPAT_API BOOL IsBadReadPtr(const void* p, ULONG_PTR size);
KIVCOMPAT_API BOOL IsBadWritePtr(LPVOID p, ULONG_PTR size);
/* Non-zero when the string cannot be read up to its NUL or to `maxLength`
 * characters, whichever comes first; a maxLength of 0 is always good. */
KIVCOMPAT_API BOOL IsBadStringPtrA(LPCSTR s, ULONG_PTR maxLength);

#ifdef __cplusplus
}
#endif

#endif /* KIVCOMPAT_MEM_H */
