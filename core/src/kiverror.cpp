/*
 * kiverror.cpp - what a failure site does with an operating-system error:
 * map it onto an ECF code and a suggested level, name it for the log, and
 * (in the handler) write the one log record of the failure and start the
 * error analysis.
 *
 * Most numbers are Windows error numbers from GetLastError.  The two C
 * runtime calls `access` and `_stat` report errno values instead, so they
 * are decided first, by the system call, before the Windows table is
 * consulted; otherwise an errno 2 from `access` would read as
 * ERROR_FILE_NOT_FOUND.
 */
#include "kiverror.h"

#include "kivecf.h"
#include "kivframe.h"
#include "kivlog.h"
#include "kivthread.h"

namespace {

/* Windows error numbers of the mapping table.  Spelled out here rather than
 * taken from <windows.h> so the table reads the same on every platform. */
enum : Uint32 {
    kWinNoError            = 0,
    kWinFileNotFound       = 2,
    kWinPathNotFound       = 3,
    kWinAccessDenied       = 5,
    kWinInvalidHandle      = 6,
    kWinNotEnoughMemory    = 8,
    kWinOutOfMemory        = 14,
    kWinNoMoreFiles        = 18,
    kWinNotReady           = 21,
    kWinSharingViolation   = 32,
    kWinLockViolation      = 33,
    kWinHandleEof          = 38,
    kWinFileExists         = 80,
    kWinInvalidPassword    = 86,
    kWinInvalidParameter   = 87,
    kWinDiskFull           = 112,
    kWinInsufficientBuffer = 122,
    kWinInvalidName        = 123,
    kWinModNotFound        = 126,
    kWinProcNotFound       = 127,
    kWinDirNotEmpty        = 145,
    kWinAlreadyExists      = 183,
    kWinFilenameExcedRange = 206,
    kWinMoreData           = 234,
    kWinVcDisconnected     = 240,
    kWinDirectory          = 267,
    kWinInvalidAddress     = 487,
    kWinInvalidFlags       = 1004,
    kWinUnrecognizedVolume = 1005,
    kWinNoUnicodeTransl    = 1113,
    kWinInvalidAddress2    = 1132, /* ERROR_MAPPED_ALIGNMENT */
    kWinCommitmentLimit    = 1455,
};

/* errno values of the two C runtime calls. */
enum : Uint32 { kErrnoENOENT = 2, kErrnoEACCES = 13, kErrnoEINVAL = 22 };
/* `access` reports a missing file as 3 in this table (not ENOENT, 2), so
 * an errno 2 from it stays unknown. */
enum : Uint32 { kAccessMissing = 3 };

Uint32 mapAccess(Uint32 err)
{
    switch (err) {
    case kErrnoEACCES:   return ECF_ACCESS_DENIED;
    case kErrnoEINVAL:   return ECF_INVALID_PARAMETER;
    case kAccessMissing: return ECF_FILE_DOESNT_EXIST;
    default:           return ECF_UNKNOWN;
    }
}

/* `_stat`: a bad path and a missing file are the same to its callers. */
Uint32 mapStat(Uint32 err)
{
    return (err == kErrnoENOENT || err == kErrnoEINVAL) ? ECF_FILE_DOESNT_EXIST : ECF_UNKNOWN;
}

Uint32 mapWindows(Uint32 systemFunctionId, Uint32 err)
{
    switch (err) {
    case kWinNoError:
        /* TlsGetValue returns null with error 0 for a slot never set: the
         * caller asked before anything was stored. */
        return systemFunctionId == KIVOSFN_TLSGETVALUE ? ECF_INVALID_INVOCATION_SEQUENCE
                                                       : ECF_UNKNOWN;
    case kWinFileNotFound:       return ECF_FILE_DOESNT_EXIST;
    case kWinPathNotFound:       return ECF_FILE_PATH_DOESNT_EXIST;
    case kWinAccessDenied:       return ECF_ACCESS_DENIED;
    case kWinInvalidHandle:
    case kWinInvalidParameter:
    case kWinInvalidFlags:       return ECF_INVALID_PARAMETER;
    case kWinNotEnoughMemory:
    case kWinOutOfMemory:
    case kWinCommitmentLimit:    return ECF_NO_MEMORY;
    case kWinNoMoreFiles:        return ECF_FILE_PROCESS_MAX;
    case kWinNotReady:           return ECF_FILE_DEVICE_UNAVAILABLE;
    case kWinSharingViolation:   return ECF_FILE_SHARE;
    case kWinLockViolation:      return ECF_FILE_LOCK;
    case kWinHandleEof:          return ECF_FILE_EOF;
    case kWinFileExists:         return ECF_FILE_EXISTS;
    case kWinInvalidPassword:    return ECF_SEC_INVALID_PASSWORD;
    case kWinDiskFull:           return ECF_FILE_NO_SPACE;
    case kWinInsufficientBuffer: return ECF_BUFFER_TOO_SMALL;
    case kWinInvalidName:        return ECF_FILE_INVALID_NAME;
    case kWinModNotFound:        return ECF_FILE_DOESNT_EXIST;
    case kWinProcNotFound:       return ECF_LIB_FUNC_NOT_FOUND;
    case kWinDirNotEmpty:        return ECF_FILE_DIR_NOT_EMPTY;
    case kWinAlreadyExists:
        /* The "already exists" of a named kernel object means the object
         * kind that was being created. */
        if (systemFunctionId == KIVOSFN_CREATEFILEMAPPING)
            return ECF_MEM_EXISTS;
        if (systemFunctionId == KIVOSFN_CREATESEMAPHORE)
            return ECF_SEM_EXISTS;
        return ECF_FILE_EXISTS;
    case kWinFilenameExcedRange: return ECF_FILE_NAME_TOO_LONG;
    case kWinMoreData:           return ECF_BUFFER_TOO_SMALL;
    case kWinVcDisconnected:     return ECF_SESSION_CANCELED;
    case kWinDirectory:          return ECF_FILE_NOT_A_DIRECTORY;
    case kWinInvalidAddress:
    case kWinInvalidAddress2:    return ECF_INVALID_ADDRESS;
    case kWinUnrecognizedVolume: return ECF_FILE_PATH_DOESNT_EXIST;
    case kWinNoUnicodeTransl:    return ECF_NO_UNICODE_TRANSLATION;
    default:                     return ECF_UNKNOWN;
    }
}

/* Codes that point at the system rather than at the request are worth an
 * Error record even when the caller thought the failure routine. */
Uint32 suggestedLevel(Uint32 code)
{
    switch (code) {
    case ECF_UNKNOWN:
    case ECF_NO_MEMORY:
    case ECF_FILE_PROCESS_MAX:
    case ECF_FILE_DEVICE_UNAVAILABLE:
    case ECF_FILE_SHARE:
        return KIVLOG_ERROR;
    default:
        return KIVLOG_INFO;
    }
}

const char* nameWindows(Uint32 systemFunctionId, Uint32 err)
{
    switch (err) {
    case kWinNoError:
        return systemFunctionId == KIVOSFN_TLSGETVALUE ? "NO_ERROR" : nullptr;
    case kWinFileNotFound:       return "ERROR_FILE_NOT_FOUND";
    case kWinPathNotFound:       return "ERROR_PATH_NOT_FOUND";
    case kWinAccessDenied:       return "ERROR_ACCESS_DENIED";
    case kWinInvalidHandle:
    case kWinInvalidParameter:
    case kWinInvalidFlags:       return "ERROR_INVALID_FLAGS";
    case kWinNotEnoughMemory:
    case kWinOutOfMemory:        return "ERROR_OUTOFMEMORY";
    case kWinNoMoreFiles:        return "ERROR_NO_MORE_FILES";
    case kWinNotReady:           return "ERROR_NOT_READY";
    case kWinSharingViolation:   return "ERROR_SHARING_VIOLATION";
    case kWinLockViolation:      return "ERROR_LOCK_VIOLATION";
    case kWinHandleEof:          return "ERROR_HANDLE_EOF";
    case kWinFileExists:         return "ERROR_FILE_EXISTS";
    case kWinDiskFull:           return "ERROR_DISK_FULL";
    case kWinInsufficientBuffer: return "ERROR_INSUFFICIENT_BUFFER";
    case kWinInvalidName:        return "ERROR_INVALID_NAME";
    case kWinModNotFound:        return "ERROR_MOD_NOT_FOUND";
    case kWinProcNotFound:       return "ERROR_PROC_NOT_FOUND";
    case kWinDirNotEmpty:        return "ERROR_DIR_NOT_EMPTY";
    case kWinAlreadyExists:      return "ERROR_ALREADY_EXISTS";
    case kWinFilenameExcedRange: return "ERROR_FILENAME_EXCED_RANGE";
    case kWinMoreData:           return "ERROR_MORE_DATA";
    case kWinVcDisconnected:     return "ERROR_VC_DISCONNECTED";
    case kWinDirectory:          return "ERROR_DIRECTORY";
    case kWinInvalidAddress:     return "ERROR_INVALID_ADDRESS";
    case kWinUnrecognizedVolume: return "ERROR_UNRECOGNIZED_VOLUME";
    case kWinNoUnicodeTransl:    return "ERROR_NO_UNICODE_TRANSLATION";
    default:                     return nullptr;
    }
}

/* The pointer to the reader of the caller's log record. */
const char kAnalysisHint[] =
    "Search for kivError*Analysis probe point after this log entry for further\n"
    "self-diagnosis of this problem.";
static_assert(sizeof kAnalysisHint - 1 == 105, "the hint text is 105 bytes");

/* Handler step 3: a caller may ask for a more severe level than the
 * mapping suggests, and an Event record stays an Event record. */
Uint32 recordLevel(Uint32 callerLevel, Uint32 suggested)
{
    return (callerLevel < suggested || callerLevel == KIVLOG_EVENT) ? callerLevel : suggested;
}

/* What the handler learns from the context: the analysis kind and its
 * block, filled in the caller's frame. */
struct AnalysisInput {
    Uint32                   kind = KIVErrorAnalysisRequest::KIND_NONE;
    KIVErrorAnalysisIOBlock  io{};
    KIVErrorAnalysisMemBlock mem{};

    const void* block() const
    {
        if (kind == KIVErrorAnalysisRequest::KIND_IO)
            return &io;
        if (kind == KIVErrorAnalysisRequest::KIND_MEMORY)
            return &mem;
        return nullptr;
    }
};

void readContext(const KIVErrorContext& ctx, AnalysisInput& in)
{
    const Uint32 present = ctx.present;
    in.io.version = KIV_VERSION_CURRENT;
    in.io.fileHandle = 0xFFFFFFFFu;
    in.mem.version = KIV_VERSION_CURRENT;
    if (present & KIVErrorContext::HAS_PATH)
        in.io.path = ctx.path;
    if (present & KIVErrorContext::HAS_HANDLE)
        in.io.fileHandle = ctx.fileHandle;
    if (present & KIVErrorContext::HAS_BYTECOUNT)
        in.io.byteCount = ctx.byteCount;
    if (present & KIVErrorContext::HAS_VALUE64)
        in.io.value64 = ctx.value64;
    /* The permissions only mark the failure as an I/O one. */
    if (present & 0x1Fu)
        in.kind = KIVErrorAnalysisRequest::KIND_IO;
    if (present & KIVErrorContext::HAS_REQUESTSIZE) {
        in.mem.requestSize = ctx.requestSize;
        in.kind = KIVErrorAnalysisRequest::KIND_MEMORY;
    }
}

/* Handler step 5: the caller's items travel as one nested list, followed by
 * the hint when an analysis record is to come. */
void logFailure(Uint32 functionId, Uint32 systemFunctionId, Uint32 systemError, Uint32 code,
                Uint32 probe, Uint32 level, Uint32 flags, Sint32 itemCount, va_list* items)
{
    if (itemCount == 0) {
        kivLogSysRC(nullptr, functionId, systemFunctionId, systemError, code, probe, level, 0);
    } else if (flags & KIV_SYSERR_NO_ANALYSIS) {
        kivLogSysRC(nullptr, functionId, systemFunctionId, systemError, code, probe, level, 1,
                    (const void*)items, (Uint32)itemCount, (Sint32)KIVLOG_TYPE_NESTED);
    } else {
        kivLogSysRC(nullptr, functionId, systemFunctionId, systemError, code, probe, level, 2,
                    (const void*)items, (Uint32)itemCount, (Sint32)KIVLOG_TYPE_NESTED,
                    KIVLOG_ITEM(kAnalysisHint, sizeof kAnalysisHint - 1, KIVLOG_TYPE_STRING));
    }
}

} // namespace

KIVErrorContext::KIVErrorContext()
    : version(KIV_VERSION_CURRENT), present(0), path(nullptr), fileHandle(0), byteCount(0),
      value64(0), permissions(0), requestSize(0)
{
}

KIVErrorAnalysisRequest::KIVErrorAnalysisRequest()
    : version(KIV_VERSION_CURRENT), kind(KIND_NONE), block(nullptr), functionId(0), probe(0),
      systemFunctionId(KIVOSFN_UNSPECIFIED_SYSTEM_FUNCTION), systemError(0), level(0)
{
}

extern "C" {

Uint32 kivErrorMapSystem(Uint32 functionId, Uint32 probe, Uint32 systemFunctionId,
                         Uint32 systemError, Uint32* pLevel)
{
    Uint32 code;
    if (systemFunctionId == KIVOSFN_ACCESS)
        code = mapAccess(systemError);
    else if (systemFunctionId == KIVOSFN_STAT_CRT)
        code = mapStat(systemError);
    else
        code = mapWindows(systemFunctionId, systemError);

    if (pLevel != nullptr)
        *pLevel = suggestedLevel(code);

    if (kivTraceActive())
        gtraceVar(kivThreadID(), 0, functionId, (Uint16)probe, GTRACE_TYPE_DATA, 3,
                  (Uint32)GTRACE_ITEM_BLOCK, (Uint32)4, &systemFunctionId,
                  (Uint32)GTRACE_ITEM_BLOCK, (Uint32)4, &systemError,
                  (Uint32)GTRACE_ITEM_BLOCK, (Uint32)4, &code);
    return code;
}

const char* kivErrorNameMapSystem(Uint32 systemFunctionId, Uint32 systemError)
{
    if (systemFunctionId == KIVOSFN_ACCESS) {
        if (systemError == kErrnoEACCES)
            return "EACCES";
        return systemError == kErrnoEINVAL ? "EINVAL" : nullptr;
    }
    if (systemFunctionId == KIVOSFN_STAT_CRT)
        return systemError == kErrnoENOENT ? "ENOENT" : nullptr;
    return nameWindows(systemFunctionId, systemError);
}

Uint32 kivSystemErrorHandlerV(Uint32 functionId, Uint32 systemFunctionId, Uint32 systemError,
                              Uint32 probe, Uint32 level, Uint32 flags,
                              const KIVErrorContext* context, Sint32 itemCount, va_list items)
{
    Uint32 suggested = 0;
    const Uint32 code = kivErrorMapSystem(functionId, probe, systemFunctionId, systemError,
                                          &suggested);
    if (flags & KIV_SYSERR_MAP_ONLY)
        return code;

    const Uint32 recLevel = recordLevel(level, suggested);

    AnalysisInput in;
    if (context == nullptr)
        flags |= KIV_SYSERR_NO_ANALYSIS;
    else
        readContext(*context, in);

    /* A va_list parameter may be a pointer already (x86_64), so the nested
     * item must point at a va_list object of our own. */
    va_list local;
    va_copy(local, items);
    logFailure(functionId, systemFunctionId, systemError, code, probe, recLevel, flags, itemCount,
               &local);
    va_end(local);

    if (!(flags & KIV_SYSERR_NO_ANALYSIS)) {
        KIVErrorAnalysisRequest request;
        request.kind = in.kind;
        request.block = in.block();
        request.functionId = functionId;
        request.probe = probe;
        request.systemFunctionId = systemFunctionId;
        request.systemError = systemError;
        request.level = recLevel;
        kivErrorAnalysis(&request);
    }
    return code;
}

Uint32 kivSystemErrorHandler(Uint32 functionId, Uint32 systemFunctionId, Uint32 systemError,
                             Uint32 probe, Uint32 level, Uint32 flags,
                             const KIVErrorContext* context, Sint32 itemCount, ...)
{
    va_list ap;
    va_start(ap, itemCount);
    const Uint32 code = kivSystemErrorHandlerV(functionId, systemFunctionId, systemError, probe,
                                               level, flags, context, itemCount, ap);
    va_end(ap);
    return code;
}

} // extern "C"
