/*
 * kivuser.cpp - the user the calling process runs as: its logon name and
 * its terminal session.
 *
 * A failing system call is mapped and logged here directly rather than
 * handed to the system error handler: no error analysis applies to these
 * queries.
 */
#include "kivuser.h"

#include "kivecf.h"
#include "kivframe.h"
#include "kivlog.h"
#include "kivos.h"
#include "kivstring.h"

namespace {

/* Query and read control: what reading the session id needs. */
constexpr DWORD kTokenAccess = 0x20008;
/* The session item of the token information classes. */
constexpr int kTokenSessionIdClass = 12;

constexpr Uint32 kParamProbe = 10;

/* Maps the error, logs it with the argument items at the level the mapping
 * suggests, writes the error point and leaves the frame. */
Uint32 systemFailure(KIVFrame& f, Uint32 systemFunctionId, Uint32 systemError, Uint32 probe,
                     Sint32 argumentMask, ...)
{
    Uint32 level = 0;
    const Uint32 code = kivErrorMapSystem(f.functionId(), probe, systemFunctionId, systemError,
                                          &level);
    va_list ap;
    va_start(ap, argumentMask);
    kivLogSysRCV(nullptr, f.functionId(), systemFunctionId, systemError, code, probe, level,
                 argumentMask, ap);
    va_end(ap);
    return f.retError(probe, code);
}

/* The common checks of both queries; false when `rc` holds the result. */
bool checkQuery(KIVFrame& f, const KIVCurrentUserParam* param, const char* out, Uint32& rc)
{
    if (param != nullptr)
        f.data(kParamProbe, param, (Uint32)sizeof *param);
    if (!f.checkParam(param, rc))
        return false;
    if (out == nullptr) {
        rc = f.nullParam();
        return false;
    }
    return true;
}

} // namespace

extern "C" {

Uint32 kivGetCurrentUserName(const KIVCurrentUserParam* param, char* out)
{
    KIVFrame f(KIVFN_KIVGETCURRENTUSERNAME);
    Uint32 rc = 0;
    if (!checkQuery(f, param, out, rc))
        return rc;

    Uint32 bufferSize = param->bufferSize;
    DWORD size = bufferSize;
    if (!GetUserNameA(out, &size)) {
        const DWORD err = GetLastError();
        Uint32 required = size;
        return systemFailure(f, KIVOSFN_GETUSERNAME, err, 40, (Sint32)0x80000003u,
                             KIVLOG_HEX(required), KIVLOG_HEX(bufferSize));
    }
    return f.ok();
}

Uint32 kivGetCurrentUserDisplay(const KIVCurrentUserParam* param, char* out)
{
    KIVFrame f(KIVFN_KIVGETCURRENTUSERDISPLAY);
    Uint32 rc = 0;
    if (!checkQuery(f, param, out, rc))
        return rc;

    HANDLE process = GetCurrentProcess();
    HANDLE token = nullptr;
    if (!OpenProcessToken(process, kTokenAccess, &token)) {
        const DWORD err = GetLastError();
        return systemFailure(f, KIVOSFN_OPENPROCESSTOKEN, err, 30, (Sint32)0x80000001u,
                             KIVLOG_HEX(process));
    }

    DWORD sessionId = 0;
    DWORD returned = 0;
    if (!GetTokenInformation(token, (TOKEN_INFORMATION_CLASS)kTokenSessionIdClass, &sessionId,
                             sizeof sessionId, &returned)) {
        const DWORD err = GetLastError();
        CloseHandle(token); /* not worth a second record */
        return systemFailure(f, KIVOSFN_GETTOKENINFORMATION, err, 40, (Sint32)0x80000001u,
                             KIVLOG_HEX(process));
    }
    kivSnprintf(out, param->bufferSize, "%d", (int)sessionId);

    if (!CloseHandle(token)) {
        const DWORD err = GetLastError();
        return systemFailure(f, KIVOSFN_CLOSEHANDLE, err, 50, (Sint32)0x80000001u,
                             KIVLOG_HEX(process));
    }
    return f.ok();
}

} // extern "C"
