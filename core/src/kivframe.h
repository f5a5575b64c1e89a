/*
 * kivframe.h - the frame every exported operation runs in.
 *
 *   Uint32 KIVHFile::close()
 *   {
 *       KIVFrame f(KIVFN_KIVHFILE_CLOSE);
 *       if (!CloseHandle(fileHandle)) {
 *           DWORD err = GetLastError();              // read at once
 *           KIVErrorContext ctx;
 *           ctx.setFileHandle(fileHandle);
 *           return f.sysError(KIVOSFN_CLOSEHANDLE, err, 10, &ctx, 1, KIVLOG_HEX(fileHandle));
 *       }
 *       ...
 *       return f.ok();
 *   }
 *
 * Construction writes the entry trace record, every return goes through
 * ret()/ok()/fail()/sysError() which write the error point and the exit
 * record.  With no trace control block attached each trace step costs one
 * load of g_pGTCB.
 */
#ifndef KIVFRAME_H
#define KIVFRAME_H

#include <stdarg.h>
#include <string.h>

#include "gptrace.h"
#include "kivecf.h"
#include "kiverror.h"
#include "kivlog.h"
#include "kivthread.h"

/* Probes of the common parameter checks. */
#define KIV_PROBE_NULL_PARAM  1111u
#define KIV_PROBE_BAD_VERSION 1112u

/* The error context of a failed call on a handle. */
inline KIVErrorContext kivHandleContext(const void* handle)
{
    KIVErrorContext ctx;
    ctx.setFileHandle(handle);
    return ctx;
}

inline bool kivTraceActive()
{
    GTCB* t = g_pGTCB;
    return t != nullptr && t->enabled != 0;
}

class KIVFrame {
public:
    /* `traced` false: a frame that logs but writes no trace records (the
     * trace facility's own helpers use it). */
    explicit KIVFrame(Uint32 functionId, bool traced = true)
        : fn_(functionId), traced_(traced)
    {
        if (traced_ && kivTraceActive())
            gtraceEntry(kivThreadID(), 0, fn_, 0, 1000000);
    }

    Uint32 functionId() const { return fn_; }

    /* Trace a data point: `size` bytes at `p` (probe, record type 3). */
    void data(Uint32 probe, const void* p, Uint32 size) const
    {
        if (traced_ && kivTraceActive())
            gtraceVar(kivThreadID(), 0, fn_, (Uint16)probe, GTRACE_TYPE_DATA, 1,
                      GTRACE_ITEM_BLOCK, size, p);
    }
    template <class T> void dataOf(Uint32 probe, const T& v) const { data(probe, &v, sizeof v); }
    /* A string with its terminator. */
    void text(Uint32 probe, const char* s) const { data(probe, s, (Uint32)strlen(s) + 1); }

    /* Trace the error point of a failing step. */
    void errorPoint(Uint32 probe, Uint32 rc) const
    {
        if (traced_ && kivTraceActive())
            gtraceErrorVar(kivThreadID(), 0, fn_, (Uint16)probe, GTRACE_TYPE_ERROR_DATA, 0, 0, 1,
                           GTRACE_ITEM_BLOCK, (Uint32)sizeof rc, &rc);
    }

    /* Leave with `rc` (exit record). */
    Uint32 ret(Uint32 rc)
    {
        rc_ = rc;
        if (traced_ && kivTraceActive())
            gtraceExit(kivThreadID(), 0, fn_, &rc_, 0, 0);
        return rc;
    }
    Uint32 ok() { return ret(0); }

    /* Leave with `code` and its error point but no log record: the failure
     * was logged where it was found, or is an answer rather than a fault. */
    Uint32 retError(Uint32 probe, Uint32 code)
    {
        errorPoint(probe, code);
        return ret(code);
    }

    /* Null parameter object: level 3, probe 1111, no items, no error point. */
    Uint32 nullParam()
    {
        kivLog(nullptr, fn_, ECF_INVALID_PARAMETER, KIV_PROBE_NULL_PARAM, KIVLOG_ERROR, 0);
        return ret(ECF_INVALID_PARAMETER);
    }

    /* Version below the minimum: level 3, probe 1112, the version found and
     * the minimum, no error point. */
    Uint32 badVersion(Uint32 version)
    {
        Uint32 minimum = KIV_VERSION_MIN;
        kivLog(nullptr, fn_, ECF_INVALID_VERSION, KIV_PROBE_BAD_VERSION, KIVLOG_ERROR, 2,
               KIVLOG_UINT(version), KIVLOG_UINT(minimum));
        return ret(ECF_INVALID_VERSION);
    }

    /* The common checks of a parameter object: returns true when the object
     * may be used; otherwise `rc` holds the result already returned through
     * the frame. */
    template <class P> bool checkParam(const P* p, Uint32& rc)
    {
        if (p == nullptr) {
            rc = nullParam();
            return false;
        }
        if (p->version < KIV_VERSION_MIN) {
            rc = badVersion(p->version);
            return false;
        }
        return true;
    }

    /* The same for a parameter object that names a path: the object is
     * traced at probe 10, and a null path refused like a null object. */
    template <class P> bool checkPathParam(const P* p, Uint32& rc)
    {
        if (!checkParam(p, rc))
            return false;
        dataOf(10, *p);
        if (p->path == nullptr) {
            rc = nullParam();
            return false;
        }
        return true;
    }

    /* Two path arguments, both required: traced at their probes, or
     * refused like a null parameter object (`rc` holds the result). */
    bool checkTwoPaths(const char* first, Uint32 firstProbe, const char* second,
                       Uint32 secondProbe, Uint32& rc)
    {
        if (first == nullptr || second == nullptr) {
            rc = nullParam();
            return false;
        }
        text(firstProbe, first);
        text(secondProbe, second);
        return true;
    }

    /* An operation's own finding: log at level 5 with the items, error
     * point, exit. */
    Uint32 fail(Uint32 probe, Uint32 code, Sint32 itemCount = 0, ...)
    {
        va_list ap;
        va_start(ap, itemCount);
        failV(probe, code, itemCount, ap);
        va_end(ap);
        return ret(code);
    }

    /* A failed system call: hand it to the system error handler (level 5,
     * flags 0), error point, exit with the handler's code. */
    Uint32 sysError(Uint32 systemFunctionId, Uint32 systemError, Uint32 probe,
                    const KIVErrorContext* ctx, Sint32 itemCount = 0, ...)
    {
        va_list ap;
        va_start(ap, itemCount);
        Uint32 code = sysErrorV(systemFunctionId, systemError, probe, 0, ctx, itemCount, ap);
        va_end(ap);
        return ret(code);
    }

    /* A failed system call on a handle, which is the error context and the
     * one item. */
    Uint32 handleError(Uint32 systemFunctionId, Uint32 systemError, Uint32 probe,
                       const void* handle)
    {
        KIVErrorContext ctx = kivHandleContext(handle);
        return sysError(systemFunctionId, systemError, probe, &ctx, 1, KIVLOG_HEX(handle));
    }

    /* A failed call of another library function: log with kivLogRC at level
     * 5, error point, exit with its code. */
    Uint32 calledFailed(Uint32 calledFunctionId, Uint32 calledRc, Uint32 messageCode,
                        Uint32 probe, Sint32 itemCount = 0, ...)
    {
        va_list ap;
        va_start(ap, itemCount);
        calledFailedV(calledFunctionId, calledRc, messageCode, probe, itemCount, ap);
        va_end(ap);
        return ret(calledRc);
    }

    /* The same three for a failing step after which the operation still has
     * work to do (clean-up, further steps): the record and the error point,
     * but no exit record.  Each returns the code the step failed with. */
    Uint32 stepFailed(Uint32 probe, Uint32 code, Sint32 itemCount = 0, ...)
    {
        va_list ap;
        va_start(ap, itemCount);
        failV(probe, code, itemCount, ap);
        va_end(ap);
        return code;
    }

    Uint32 stepSysError(Uint32 systemFunctionId, Uint32 systemError, Uint32 probe,
                        const KIVErrorContext* ctx, Sint32 itemCount = 0, ...)
    {
        va_list ap;
        va_start(ap, itemCount);
        Uint32 code = sysErrorV(systemFunctionId, systemError, probe, 0, ctx, itemCount, ap);
        va_end(ap);
        return code;
    }

    Uint32 stepCalledFailed(Uint32 calledFunctionId, Uint32 calledRc, Uint32 messageCode,
                            Uint32 probe, Sint32 itemCount = 0, ...)
    {
        va_list ap;
        va_start(ap, itemCount);
        calledFailedV(calledFunctionId, calledRc, messageCode, probe, itemCount, ap);
        va_end(ap);
        return calledRc;
    }

    /* The body of sysError with the handler's flags, for callers that
     * forward their own item list. */
    Uint32 sysErrorV(Uint32 systemFunctionId, Uint32 systemError, Uint32 probe, Uint32 flags,
                     const KIVErrorContext* ctx, Sint32 itemCount, va_list ap)
    {
        Uint32 code = kivSystemErrorHandlerV(fn_, systemFunctionId, systemError, probe,
                                             KIVLOG_INFO, flags, ctx, itemCount, ap);
        errorPoint(probe, code);
        return code;
    }

private:
    void failV(Uint32 probe, Uint32 code, Sint32 itemCount, va_list ap)
    {
        kivLogV(nullptr, fn_, code, probe, KIVLOG_INFO, itemCount, ap);
        errorPoint(probe, code);
    }

    void calledFailedV(Uint32 calledFunctionId, Uint32 calledRc, Uint32 messageCode,
                       Uint32 probe, Sint32 itemCount, va_list ap)
    {
        kivLogRCV(nullptr, fn_, calledFunctionId, calledRc, messageCode, probe, KIVLOG_INFO,
                  itemCount, ap);
        errorPoint(probe, calledRc);
    }

    Uint32 fn_;
    Uint32 rc_ = 0;
    bool   traced_;
};

#endif /* KIVFRAME_H */
