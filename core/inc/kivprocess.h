/*
 * kivprocess.h - processes: the calling process's identity.
 */
#ifndef KIVPROCESS_H
#define KIVPROCESS_H

#include "kivbase.h"

#ifdef __cplusplus
extern "C" {
#endif

KIV_API Uint32 kivProcessID(void);
/* Not available on Windows: always 0xFFFFFFFF. */
KIV_API Uint32 kivProcessParentID(void);

#ifdef __cplusplus
}
#endif

#endif /* KIVPROCESS_H */
