/*
 * kiverror.h - mapping of operating-system errors onto ECF codes, the system
 * error handler every operation calls at a failure site, and the error
 * analysis request it hands on.
 */
#ifndef KIVERROR_H
#define KIVERROR_H

#include <stdarg.h>

#include "kivbase.h"

/* Handler flags. */
#define KIV_SYSERR_NO_ANALYSIS 0x1u
#define KIV_SYSERR_MAP_ONLY    0x2u

/* Optional description of the object a failed system call worked on. */
class KIV_API KIVErrorContext {
public:
    enum {
        HAS_PATH = 0x01, HAS_HANDLE = 0x02, HAS_BYTECOUNT = 0x04,
        HAS_VALUE64 = 0x08, HAS_PERMISSIONS = 0x10, HAS_REQUESTSIZE = 0x20
    };
    KIVErrorContext();
    void setPath(const char* p) { path = p; present |= HAS_PATH; }
    void setFileHandle(Uint32 h) { fileHandle = h; present |= HAS_HANDLE; }
    void setFileHandle(const void* h) { setFileHandle((Uint32)(uintptr_t)h); }
    void setByteCount(Uint32 n) { byteCount = n; present |= HAS_BYTECOUNT; }
    void setValue64(Uint64 v) { value64 = v; present |= HAS_VALUE64; }
    void setPermissions(Uint32 p) { permissions = p; present |= HAS_PERMISSIONS; }
    void setRequestSize(Uint32 n) { requestSize = n; present |= HAS_REQUESTSIZE; }

    Uint32      version;
    Uint32      present;
    const char* path;
    Uint32      fileHandle;  /* the handler reads 0xFFFFFFFF when absent */
    Uint32      byteCount;
    Uint64      value64;
    Uint32      permissions;
    Uint32      requestSize;
};

struct KIVErrorAnalysisIOBlock {
    Uint32      version;
    const char* path;
    Uint32      fileHandle;
    Uint64      value64;
    Uint32      byteCount;
};

struct KIVErrorAnalysisMemBlock {
    Uint32 version;
    Uint32 requestSize;
};

class KIV_API KIVErrorAnalysisRequest {
public:
    enum { KIND_NONE = 0, KIND_IO = 1, KIND_MEMORY = 2 };
    KIVErrorAnalysisRequest();
    Uint32      version;
    Uint32      kind;
    const void* block;  /* KIVErrorAnalysisIOBlock or KIVErrorAnalysisMemBlock */
    Uint32      functionId;
    Uint32      probe;
    Uint32      systemFunctionId;
    Uint32      systemError;
    Uint32      level;
};

#ifdef __cplusplus
extern "C" {
#endif

KIV_API Uint32 kivErrorMapSystem(Uint32 functionId, Uint32 probe, Uint32 systemFunctionId,
                                 Uint32 systemError, Uint32* pLevel);
KIV_API const char* kivErrorNameMapSystem(Uint32 systemFunctionId, Uint32 systemError);
KIV_API Uint32 kivSystemErrorHandler(Uint32 functionId, Uint32 systemFunctionId,
                                     Uint32 systemError, Uint32 probe, Uint32 level,
                                     Uint32 flags, const KIVErrorContext* context,
                                     Sint32 itemCount, ...);
KIV_API Uint32 kivSystemErrorHandlerV(Uint32 functionId, Uint32 systemFunctionId,
                                      Uint32 systemError, Uint32 probe, Uint32 level,
                                      Uint32 flags, const KIVErrorContext* context,
                                      Sint32 itemCount, va_list items);
KIV_API Uint32 kivErrorAnalysis(const KIVErrorAnalysisRequest* request);

#ifdef __cplusplus
}
#endif

#endif /* KIVERROR_H */
