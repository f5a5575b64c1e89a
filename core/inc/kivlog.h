/*
 * kivlog.h - the diagnostic log: facilities, the three log entry points and
 * the data items they print.
 *
 * A data item is three words in the variable argument list: a pointer to the
 * value, its size in bytes (Uint32) and its type (Sint32).  The KIVLOG_*
 * item macros below expand to such a triple.
 */
#ifndef KIVLOG_H
#define KIVLOG_H

#include <stdarg.h>
#include <string.h>

#include "kivbase.h"
#include "kivlatch.h"

/* Levels. */
#define KIVLOG_SEVERE  1u
#define KIVLOG_ERROR2  2u
#define KIVLOG_ERROR   3u
#define KIVLOG_WARNING 4u
#define KIVLOG_INFO    5u
#define KIVLOG_EVENT   6u

/* Destinations. */
#define KIVLOG_DEST_FILE     1u
#define KIVLOG_DEST_EVENTLOG 2u
#define KIVLOG_DEST_STDERR   4u

/* Flags handed from the entry points to the writer and the callback. */
#define KIVLOG_FLAG_KIVLOG  0x1u /* written by kivLog */
#define KIVLOG_FLAG_ARGMASK 0x2u /* item count is a mask of argument positions */
#define KIVLOG_FLAG_SYSERR  0x4u /* called value is a system error number */

/* Item types. */
#define KIVLOG_TYPE_HEX    (-1)
#define KIVLOG_TYPE_SINT   (-2)
#define KIVLOG_TYPE_UINT   (-3)
#define KIVLOG_TYPE_CHAR   (-4)
#define KIVLOG_TYPE_STRING (-5)
#define KIVLOG_TYPE_BOOL   (-6)
#define KIVLOG_TYPE_NESTED (-7)
#define KIVLOG_TYPE_RAW    0

/* Item triples: pass the address of a variable (or a string / buffer). */
#define KIVLOG_ITEM(ptr, size, type) (const void*)(ptr), (Uint32)(size), (Sint32)(type)
#define KIVLOG_HEX(var)   KIVLOG_ITEM(&(var), sizeof(var), KIVLOG_TYPE_HEX)
#define KIVLOG_SINT(var)  KIVLOG_ITEM(&(var), sizeof(var), KIVLOG_TYPE_SINT)
#define KIVLOG_UINT(var)  KIVLOG_ITEM(&(var), sizeof(var), KIVLOG_TYPE_UINT)
#define KIVLOG_CHAR(var)  KIVLOG_ITEM(&(var), sizeof(var), KIVLOG_TYPE_CHAR)
#define KIVLOG_BOOL(var)  KIVLOG_ITEM(&(var), sizeof(var), KIVLOG_TYPE_BOOL)
#define KIVLOG_STRING(s)  KIVLOG_ITEM((s), ((s) ? strlen(s) : 0), KIVLOG_TYPE_STRING)
#define KIVLOG_RAW(p, n)  KIVLOG_ITEM((p), (n), KIVLOG_TYPE_RAW)
/* A nested list: `ap` is a va_list positioned at `count` further items. */
#define KIVLOG_NESTED(ap, count) (const void*)&(ap), (Uint32)(count), (Sint32)KIVLOG_TYPE_NESTED

/* Description of a facility, read by kivLogFacOpen. */
class KIV_API KIVLogFacParam {
public:
    KIVLogFacParam();
    Uint32 version;
    char   fileName[261];
    char   name[51];
    Uint32 level;
    Uint32 destination;
    Uint32 permissions;
};

/* A log facility.  The library keeps the default one; a null facility
 * pointer means the default in every call below. */
struct KIVLogFac {
    char     fileName[261];
    char     name[51];
    KIVLatch latch;
    Uint32   level;
    Uint32   destination;
    Uint32   permissions;
    Uint8    open;
};

typedef Uint32 (*KIVLogCallback)(KIVLogFac* fac, Uint32 functionId, Uint32 calledFunctionId,
                                 Uint32 calledValue, Uint32 messageCode, Uint32 probe,
                                 Uint32 level, Uint32 flags, Sint32 itemCount, va_list* items);

#ifdef __cplusplus
extern "C" {
#endif

KIV_API Uint32 kivLog(KIVLogFac* fac, Uint32 functionId, Uint32 messageCode, Uint32 probe,
                      Uint32 level, Sint32 itemCount, ...);
KIV_API Uint32 kivLogRC(KIVLogFac* fac, Uint32 functionId, Uint32 calledFunctionId,
                        Uint32 calledRc, Uint32 messageCode, Uint32 probe, Uint32 level,
                        Sint32 itemCount, ...);
KIV_API Uint32 kivLogSysRC(KIVLogFac* fac, Uint32 functionId, Uint32 systemFunctionId,
                           Uint32 systemError, Uint32 messageCode, Uint32 probe, Uint32 level,
                           Sint32 itemCount, ...);
/* va_list forms of the three, for wrappers that pass their own items on. */
KIV_API Uint32 kivLogV(KIVLogFac* fac, Uint32 functionId, Uint32 messageCode, Uint32 probe,
                       Uint32 level, Sint32 itemCount, va_list items);
KIV_API Uint32 kivLogRCV(KIVLogFac* fac, Uint32 functionId, Uint32 calledFunctionId,
                         Uint32 calledRc, Uint32 messageCode, Uint32 probe, Uint32 level,
                         Sint32 itemCount, va_list items);
KIV_API Uint32 kivLogSysRCV(KIVLogFac* fac, Uint32 functionId, Uint32 systemFunctionId,
                            Uint32 systemError, Uint32 messageCode, Uint32 probe, Uint32 level,
                            Sint32 itemCount, va_list items);

KIV_API Uint32 kivLogFacOpen(const KIVLogFacParam* param, KIVLogFac* fac);
KIV_API Uint32 kivLogFacClose(KIVLogFac* fac);
KIV_API Uint32 kivLogFacSetLevel(KIVLogFac* fac, Uint32 level);
KIV_API void   kivSetKIVeLogCallback(KIVLogCallback callback);
/* The default facility (read-only view, e.g. for the assertion report file). */
KIV_API const KIVLogFac* kivLogDefaultFacility(void);

#ifdef __cplusplus
}
#endif

#endif /* KIVLOG_H */
