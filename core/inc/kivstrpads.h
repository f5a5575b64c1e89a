/*
 * kivstrpads.h - comparison of strings as if the shorter were padded with
 * blanks to the length of the longer (fixed-width fields from other
 * systems compare equal to their trimmed forms).
 */
#ifndef KIVSTRPADS_H
#define KIVSTRPADS_H

#include "kivbase.h"

#define KIV_STRCOMP_CASE_SENSITIVE 1u

#ifdef __cplusplus
extern "C" {
#endif

/* Negative, 0 or positive as a sorts before, equal to or after b; `mode` 1
 * compares bytes, any other mode ignores case.  -1 also when a string is
 * null or the padded copy cannot be allocated (logged). */
KIV_API int kivStrCompWithPads(const char* a, const char* b, Uint32 mode);

#ifdef __cplusplus
}
#endif

#endif /* KIVSTRPADS_H */
