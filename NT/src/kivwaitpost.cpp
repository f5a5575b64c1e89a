/*
 * kivwaitpost.cpp - waitposts: a kernel event, named so that other
 * processes can open it or unnamed for one process, paired with an 8-byte
 * area in the caller's (usually shared) memory.
 *
 * The area is the waitpost's shared state: its state word says whether the
 * waitpost is initialised, for every party at once, and its latch guards
 * the copies of the data record, which lives in the caller's buffer.  The
 * event carries the signal.  The handle object is not locked.
 */
#include <string.h>

#include "kivframe.h"
#include "kivos.h"
#include "kivwaitpost.h"

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(KIVHIPCWaitpost) == 16, "KIVHIPCWaitpost is four words");
static_assert(sizeof(KIVIPCWaitpostCreateParam) == 28, "KIVIPCWaitpostCreateParam layout");
static_assert(offsetof(KIVIPCWaitpostCreateParam, type) == 24, "KIVIPCWaitpostCreateParam layout");
static_assert(sizeof(KIVIPCWaitpostOpenParam) == 20, "KIVIPCWaitpostOpenParam layout");
#endif
static_assert(sizeof(KIVIPCWaitpostWaitParam) == 8, "KIVIPCWaitpostWaitParam is two words");

KIVIPCWaitpostCreateParam::KIVIPCWaitpostCreateParam()
    : version(KIV_VERSION_CURRENT), area(nullptr), dataBuffer(nullptr), dataSize(0),
      resID(nullptr), reserved(0), type(KIV_WAITPOST_TYPE_MANUAL_RESET)
{
}

KIVIPCWaitpostOpenParam::KIVIPCWaitpostOpenParam()
    : version(KIV_VERSION_CURRENT), area(nullptr), dataBuffer(nullptr), dataSize(0),
      resID(nullptr)
{
}

KIVIPCWaitpostWaitParam::KIVIPCWaitpostWaitParam(Uint32 milliseconds)
    : version(KIV_VERSION_CURRENT), timeout(milliseconds)
{
}

namespace {

const Uint32 kInitialised = KIV_WAITPOST_STATE_NAMED | KIV_WAITPOST_STATE_UNNAMED;

/* The state word is shared with other processes: read and written whole. */
Uint32 stateOf(const KIVIPCWaitpostArea* a)
{
    return a == nullptr ? 0 : __atomic_load_n(&a->state, __ATOMIC_ACQUIRE);
}

void setState(KIVIPCWaitpostArea* a, Uint32 state)
{
    __atomic_store_n(&a->state, state, __ATOMIC_RELEASE);
}

bool initialised(const KIVIPCWaitpostArea* a)
{
    return (stateOf(a) & kInitialised) != 0;
}

/* ECF_WAITPOST_NOT_INITIALIZED, logged with the state word found. */
Uint32 notInitialised(KIVFrame& f, const KIVIPCWaitpostArea* a, Uint32 probe)
{
    Uint32 state = stateOf(a);
    return f.fail(probe, ECF_WAITPOST_NOT_INITIALIZED, 1, KIVLOG_HEX(state));
}

/* One copy of the data record, under the area's latch unless the waitpost
 * was made without one. */
void copyRecord(KIVIPCWaitpostArea* a, void* to, const void* from, Uint32 size)
{
    if (to == nullptr || from == nullptr || size == 0)
        return;
    bool latched = a->noLatch == 0;
    if (latched)
        a->latch.get();
    memcpy(to, from, size);
    if (latched)
        a->latch.release();
}

void forget(KIVHIPCWaitpost& w)
{
    w.area = nullptr;
    w.dataBuffer = nullptr;
    w.dataSize = 0;
    w.handle = INVALID_HANDLE_VALUE;
}

/* Closes the event of an object whose area turned out to be uninitialised
 * (another party destroyed the waitpost), so that the handle is not lost. */
void dropStale(KIVHIPCWaitpost& w)
{
    if (w.handle != INVALID_HANDLE_VALUE)
        CloseHandle(w.handle);
    forget(w);
}

bool validRecord(const void* buffer, Uint32 size)
{
    return buffer != nullptr || size == 0;
}

} // namespace

KIVHIPCWaitpost::KIVHIPCWaitpost()
{
    forget(*this);
}

Uint32 KIVHIPCWaitpost::create(const KIVIPCWaitpostCreateParam* const param)
{
    KIVFrame f(KIVFN_KIVHIPCWAITPOST_CREATE);
    Uint32 rc;
    if (!f.checkParam(param, rc))
        return rc;
    f.dataOf(10, *param);
    if (handle != INVALID_HANDLE_VALUE)
        return f.fail(20, ECF_INVALID_INVOCATION_SEQUENCE, 1, KIVLOG_HEX(handle));
    if (param->area == nullptr || !validRecord(param->dataBuffer, param->dataSize) ||
        (param->resID != nullptr && param->resID->name[0] == '\0'))
        return f.fail(30, ECF_INVALID_PARAMETER, 3, KIVLOG_HEX(param->area),
                      KIVLOG_HEX(param->dataBuffer), KIVLOG_UINT(param->dataSize));

    KIVIPCWaitpostArea* a = param->area;
    memset(static_cast<void*>(a), 0, sizeof *a);
    if (param->type == KIV_WAITPOST_TYPE_NO_LATCH)
        a->noLatch = 1;
    else
        a->latch.init();

    SECURITY_ATTRIBUTES sa;
    SECURITY_DESCRIPTOR sd;
    SECURITY_ATTRIBUTES* attributes = nullptr;
    const char* name = nullptr;
    if (param->resID != nullptr) {
        rc = kivInitSecurityAttributes2(&sa, &sd);
        if (rc != 0)
            return f.calledFailed(KIVFN_KIVINITSECURITYATTRIBUTES2, rc, rc, 120, 1,
                                  KIVLOG_STRING(param->resID->name));
        attributes = &sa;
        name = param->resID->name;
    }
    bool autoReset = (param->type & KIV_WAITPOST_TYPE_AUTO_RESET) != 0;
    // A name in use is joined: every party may be the first to create.
    HANDLE h = CreateEventA(attributes, autoReset ? FALSE : TRUE, FALSE, name);
    if (h == nullptr) {
        DWORD err = GetLastError();
        return f.sysError(KIVOSFN_CREATEEVENT, err, 130, nullptr, 1, KIVLOG_STRING(name));
    }
    area = a;
    handle = h;
    dataBuffer = param->dataBuffer;
    dataSize = param->dataSize;
    // Published last: from here on other parties may use the waitpost.
    setState(a, (autoReset ? KIV_WAITPOST_STATE_AUTO_RESET : 0u) |
                    (name != nullptr ? KIV_WAITPOST_STATE_NAMED : KIV_WAITPOST_STATE_UNNAMED));
    return f.ok();
}

Uint32 KIVHIPCWaitpost::open(const KIVIPCWaitpostOpenParam* const param)
{
    KIVFrame f(KIVFN_KIVHIPCWAITPOST_OPEN);
    Uint32 rc;
    if (!f.checkParam(param, rc))
        return rc;
    if (handle != INVALID_HANDLE_VALUE)
        return f.fail(10, ECF_INVALID_INVOCATION_SEQUENCE, 1, KIVLOG_HEX(handle));
    if (param->area == nullptr || param->resID == nullptr ||
        !validRecord(param->dataBuffer, param->dataSize))
        return f.fail(20, ECF_INVALID_PARAMETER, 3, KIVLOG_HEX(param->area),
                      KIVLOG_HEX(param->dataBuffer), KIVLOG_UINT(param->dataSize));
    if (!initialised(param->area))
        return notInitialised(f, param->area, 30);

    HANDLE h = OpenEventA(SYNCHRONIZE | EVENT_MODIFY_STATE, FALSE, param->resID->name);
    if (h == nullptr) {
        DWORD err = GetLastError();
        return f.sysError(KIVOSFN_OPENEVENT, err, 40, nullptr, 1,
                          KIVLOG_STRING(param->resID->name));
    }
    area = param->area;
    handle = h;
    dataBuffer = param->dataBuffer;
    dataSize = param->dataSize;
    return f.ok();
}

Uint32 KIVHIPCWaitpost::post(const void* const data)
{
    KIVFrame f(KIVFN_KIVHIPCWAITPOST_POST);
    if (!initialised(area))
        return notInitialised(f, area, 10);
    if (data != nullptr)
        copyRecord(area, dataBuffer, data, dataSize);
    if (!SetEvent(handle)) {
        DWORD err = GetLastError();
        return f.handleError(KIVOSFN_SETEVENT, err, 70, handle);
    }
    return f.ok();
}

Uint32 KIVHIPCWaitpost::wait(const KIVIPCWaitpostWaitParam* const param, void* const out)
{
    KIVFrame f(KIVFN_KIVHIPCWAITPOST_WAIT);
    Uint32 rc;
    if (!f.checkParam(param, rc))
        return rc;
    if (!initialised(area))
        return notInitialised(f, area, 20);

    DWORD result = WaitForSingleObject(handle, param->timeout);
    switch (result) {
    case WAIT_OBJECT_0:
        rc = 0;
        break;
    case WAIT_TIMEOUT:
        if (param->timeout != 0)
            return f.fail(110, ECF_TIMEOUT, 2, KIVLOG_HEX(handle), KIVLOG_UINT(param->timeout));
        // A poll that found nothing still delivers the last record.
        rc = ECF_WAITPOST_NOT_POSTED;
        break;
    case WAIT_ABANDONED:
        return f.fail(100, ECF_SEM_WAIT_ABANDONED, 2, KIVLOG_HEX(handle),
                      KIVLOG_UINT(param->timeout));
    default: {
        DWORD err = GetLastError();
        KIVErrorContext ctx = kivHandleContext(handle);
        return f.sysError(KIVOSFN_WAITFORSINGLEOBJECT, err, 120, &ctx, 2, KIVLOG_HEX(handle),
                          KIVLOG_UINT(param->timeout));
    }
    }
    if (out != nullptr)
        copyRecord(area, out, dataBuffer, dataSize);
    return f.ret(rc);
}

Uint32 KIVHIPCWaitpost::reset()
{
    KIVFrame f(KIVFN_KIVHIPCWAITPOST_RESET);
    if (!initialised(area))
        return notInitialised(f, area, 10);
    if (!ResetEvent(handle)) {
        DWORD err = GetLastError();
        return f.handleError(KIVOSFN_RESETEVENT, err, 50, handle);
    }
    return f.ok();
}

Uint32 KIVHIPCWaitpost::close()
{
    KIVFrame f(KIVFN_KIVHIPCWAITPOST_CLOSE);
    if (!initialised(area)) {
        Uint32 rc = notInitialised(f, area, 10);
        dropStale(*this);
        return rc;
    }
    if (!CloseHandle(handle)) {
        DWORD err = GetLastError();
        return f.handleError(KIVOSFN_CLOSEHANDLE, err, 20, handle);
    }
    forget(*this);
    return f.ok();
}

Uint32 KIVHIPCWaitpost::destroy()
{
    KIVFrame f(KIVFN_KIVHIPCWAITPOST_DESTROY);
    if (!initialised(area)) {
        Uint32 rc = notInitialised(f, area, 10);
        dropStale(*this);
        return rc;
    }
    Uint32 rc = 0;
    if (!CloseHandle(handle)) {
        DWORD err = GetLastError();
        KIVErrorContext ctx = kivHandleContext(handle);
        rc = kivSystemErrorHandler(f.functionId(), KIVOSFN_CLOSEHANDLE, err, 40, KIVLOG_INFO, 0,
                                   &ctx, 1, KIVLOG_HEX(handle));
        f.errorPoint(40, rc);
    }
    // Whatever the close gave, the waitpost is gone for every party.
    area->noLatch = 0;
    setState(area, 0);
    forget(*this);
    return f.ret(rc);
}
