/*
 * kivipcsem.cpp - counting semaphores shared between processes by kernel
 * object name (maximum count 32767).
 *
 * The kernel object serialises waits and posts; the handle object itself
 * is not locked.  A semaphore lives while some process holds a handle on
 * it, so destroying one is closing this process's handle.
 */
#include <string.h>

#include "kivframe.h"
#include "kivipc.h"
#include "kivos.h"

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(KIVHIPCSemaphore) == 4, "KIVHIPCSemaphore is one word");
#endif
static_assert(offsetof(KIVIPCSemaphoreCreateParam, initialCount) == 272,
              "KIVIPCSemaphoreCreateParam layout");
static_assert(sizeof(KIVIPCSemaphoreCreateParam) == 284, "KIVIPCSemaphoreCreateParam layout");
static_assert(sizeof(KIVIPCSemaphoreWaitParam) == 16, "KIVIPCSemaphoreWaitParam is four words");

KIVIPCSemaphoreCreateParam::KIVIPCSemaphoreCreateParam(Sint32 count, Uint32 perms, Uint32 word)
    : version(KIV_VERSION_CURRENT), initialCount(count), permissions(perms), reserved(word)
{
}

KIVIPCSemaphoreWaitParam::KIVIPCSemaphoreWaitParam(Uint32 milliseconds)
    : version(KIV_VERSION_CURRENT), timeout(milliseconds), reserved1(0), reserved2(0)
{
}

namespace {

/* What every failure record of create carries. */
#define KIV_SEM_CREATE_ITEMS(p)                                                      \
    3, KIVLOG_SINT((p)->initialCount), KIVLOG_HEX((p)->reserved),                    \
        KIVLOG_STRING((p)->resID.name)

} // namespace

KIVHIPCSemaphore::KIVHIPCSemaphore() : handle(INVALID_HANDLE_VALUE) {}

Uint32 KIVHIPCSemaphore::create(const KIVIPCSemaphoreCreateParam* param)
{
    KIVFrame f(KIVFN_KIVHIPCSEMAPHORE_CREATE);
    Uint32 rc;
    if (!f.checkParam(param, rc))
        return rc;
    f.dataOf(10, *param);
    // A second create would lose the handle held.
    if (isAttached())
        return f.fail(20, ECF_INVALID_INVOCATION_SEQUENCE, KIV_SEM_CREATE_ITEMS(param));

    SECURITY_ATTRIBUTES sa;
    SECURITY_DESCRIPTOR sd;
    rc = kivInitSecurityAttributes2(&sa, &sd);
    if (rc != 0)
        return f.calledFailed(KIVFN_KIVINITSECURITYATTRIBUTES2, rc, rc, 70,
                              KIV_SEM_CREATE_ITEMS(param));

    SetLastError(ERROR_SUCCESS);
    HANDLE h = CreateSemaphoreA(&sa, param->initialCount, KIV_IPC_SEM_MAX_COUNT,
                                param->resID.name);
    DWORD err = GetLastError();
    if (h == nullptr)
        return f.sysError(KIVOSFN_CREATESEMAPHORE, err, 80, nullptr, KIV_SEM_CREATE_ITEMS(param));
    // Create never joins a semaphore someone else made: its count and its
    // users are theirs.
    if (err != ERROR_SUCCESS) {
        CloseHandle(h);
        return f.sysError(KIVOSFN_CREATESEMAPHORE, err, err == ERROR_ALREADY_EXISTS ? 90 : 100,
                          nullptr, KIV_SEM_CREATE_ITEMS(param));
    }
    handle = h;
    return f.ok();
}

Uint32 KIVHIPCSemaphore::attach(const KIVIPCResID* resID)
{
    KIVFrame f(KIVFN_KIVHIPCSEMAPHORE_ATTACH);
    if (resID == nullptr)
        return f.nullParam();
    f.dataOf(10, *resID);
    if (isAttached())
        return f.fail(20, ECF_INVALID_INVOCATION_SEQUENCE, 1, KIVLOG_STRING(resID->name));

    HANDLE h = OpenSemaphoreA(SYNCHRONIZE | SEMAPHORE_MODIFY_STATE, FALSE, resID->name);
    if (h == nullptr) {
        DWORD err = GetLastError();
        handle = INVALID_HANDLE_VALUE;
        // A missing name is a missing semaphore, which callers (the message
        // queue) tell apart from every other failure.
        if (err == ERROR_FILE_NOT_FOUND) {
            kivLogSysRC(nullptr, f.functionId(), KIVOSFN_OPENSEMAPHORE, err, ECF_SEM_DOESNT_EXIST,
                        40, KIVLOG_INFO, 1, KIVLOG_STRING(resID->name));
            return f.retError(40, ECF_SEM_DOESNT_EXIST);
        }
        return f.sysError(KIVOSFN_OPENSEMAPHORE, err, 40, nullptr, 1, KIVLOG_STRING(resID->name));
    }
    handle = h;
    return f.ok();
}

Uint32 KIVHIPCSemaphore::wait(const KIVIPCSemaphoreWaitParam* param)
{
    KIVFrame f(KIVFN_KIVHIPCSEMAPHORE_WAIT);
    Uint32 rc;
    if (!f.checkParam(param, rc))
        return rc;
    // The detached handle value is the current process's pseudo-handle, on
    // which a wait would never end.
    if (!isAttached())
        return f.fail(20, ECF_INVALID_INVOCATION_SEQUENCE, 1, KIVLOG_UINT(param->timeout));

    DWORD result = WaitForSingleObject(handle, param->timeout);
    switch (result) {
    case WAIT_OBJECT_0:
        return f.ok();
    case WAIT_TIMEOUT:
        // The caller asked for a bounded wait: running out is an answer.
        return f.ret(ECF_TIMEOUT);
    case WAIT_ABANDONED:
        return f.fail(100, ECF_SEM_WAIT_ABANDONED, 2, KIVLOG_HEX(handle),
                      KIVLOG_UINT(param->timeout));
    default: {
        DWORD err = GetLastError();
        KIVErrorContext ctx = kivHandleContext(handle);
        return f.sysError(KIVOSFN_WAITFORSINGLEOBJECT, err, 110, &ctx, 2, KIVLOG_HEX(handle),
                          KIVLOG_UINT(param->timeout));
    }
    }
}

Uint32 KIVHIPCSemaphore::post()
{
    KIVFrame f(KIVFN_KIVHIPCSEMAPHORE_POST);
    if (!isAttached())
        return f.fail(20, ECF_INVALID_INVOCATION_SEQUENCE);
    if (!ReleaseSemaphore(handle, 1, nullptr)) {
        DWORD err = GetLastError();
        return f.handleError(KIVOSFN_RELEASESEMAPHORE, err, 40, handle);
    }
    return f.ok();
}

Uint32 KIVHIPCSemaphore::detach()
{
    KIVFrame f(KIVFN_KIVHIPCSEMAPHORE_DETACH);
    if (handle == INVALID_HANDLE_VALUE)
        return f.ok();
    HANDLE h = handle;
    handle = INVALID_HANDLE_VALUE;
    if (!CloseHandle(h)) {
        DWORD err = GetLastError();
        return f.handleError(KIVOSFN_CLOSEHANDLE, err, 30, h);
    }
    return f.ok();
}

Uint32 KIVHIPCSemaphore::destroy()
{
    KIVFrame f(KIVFN_KIVHIPCSEMAPHORE_DESTROY);
    return f.ret(detach());
}

Uint32 KIVHIPCSemaphore::authorize(const KIVIPCSecurityParam* const param)
{
    KIVFrame f(KIVFN_KIVHIPCSEMAPHORE_AUTHORIZE);
    Uint32 rc;
    if (!f.checkParam(param, rc))
        return rc;
    return f.ok();
}
