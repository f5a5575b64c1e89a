/*
 * kivuser.h - the name and the session of the user the calling process runs
 * as.
 */
#ifndef KIVUSER_H
#define KIVUSER_H

#include "kivbase.h"
#include "kivstring.h" /* KIVCurrentUserParam */

#ifdef __cplusplus
extern "C" {
#endif

/* The logon name into `out` (param->bufferSize bytes).  A buffer too small
 * for the name gives ECF_BUFFER_TOO_SMALL; the size the system asked for is
 * logged, not returned. */
KIV_API Uint32 kivGetCurrentUserName(const KIVCurrentUserParam* param, char* out);
/* The terminal session id of the calling process, as decimal text, into
 * `out` (cut to param->bufferSize bytes). */
KIV_API Uint32 kivGetCurrentUserDisplay(const KIVCurrentUserParam* param, char* out);

#ifdef __cplusplus
}
#endif

#endif /* KIVUSER_H */
