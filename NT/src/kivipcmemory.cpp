/*
 * kivipcmemory.cpp - named page-file sections shared between processes:
 * KIVHIPCMemory (by KIVIPCResID), KIVHIPCPrivateMemory (a name made for
 * the creating thread, handed to other processes inside a copy of the
 * object) and KIVHIPCMemoryEx (by a plain name, with access flags and
 * exclusive creation).
 *
 * A section lives while any process holds a handle or a view on it, so
 * detaching is all there is to destroying one.  A failing operation leaves
 * its object detached; an operation refused because the object is already
 * attached leaves the attachment as it was.
 */
#include <string.h>

#include "kivframe.h"
#include "kivipc.h"
#include "kivos.h"
#include "kivstring.h"
#include "kivthread.h"

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(KIVHIPCMemory) == 8, "KIVHIPCMemory is two words");
static_assert(sizeof(KIVHIPCPrivateMemory) == 8 + 268, "two words and a KIVIPCResID");
static_assert(offsetof(KIVIPCMemoryCreateParam, size) == 272, "KIVIPCMemoryCreateParam layout");
static_assert(offsetof(KIVIPCMemoryCreateParam, namespacePrefix) == 288,
              "KIVIPCMemoryCreateParam layout");
static_assert(sizeof(KIVIPCMemoryCreateParam) == 292, "KIVIPCMemoryCreateParam layout");
static_assert(offsetof(KIVIPCMemoryExCreateParam, baseAddress) == 24,
              "KIVIPCMemoryExCreateParam layout");
static_assert(offsetof(KIVIPCMemoryExCreateParam, namespacePrefix) == 40,
              "KIVIPCMemoryExCreateParam layout");
static_assert(sizeof(KIVIPCMemoryExCreateParam) == 48, "KIVIPCMemoryExCreateParam layout");
static_assert(offsetof(KIVIPCMemoryExAttachParam, namespacePrefix) == 32,
              "KIVIPCMemoryExAttachParam layout");
static_assert(sizeof(KIVIPCMemoryExAttachParam) == 40, "KIVIPCMemoryExAttachParam layout");
static_assert(sizeof(KIVIPCMemoryExInfo) == 8, "KIVIPCMemoryExInfo is two words");
static_assert(offsetof(KIVHIPCMemoryEx, address) == 268, "KIVHIPCMemoryEx layout");
static_assert(sizeof(KIVHIPCMemoryEx) == 280, "KIVHIPCMemoryEx layout");
static_assert(offsetof(KIVIPCMemoryExCreateParam, size) == 8, "64-bit fields are 8-aligned");
static_assert(offsetof(KIVIPCMemoryExCreateParam, flags) == 16, "64-bit fields are 8-aligned");
static_assert(offsetof(KIVIPCMemoryExAttachParam, flags) == 8, "64-bit fields are 8-aligned");
#endif
static_assert(offsetof(KIVIPCMemoryExCreateParam, size) % 8 == 0, "64-bit fields are 8-aligned");
static_assert(offsetof(KIVIPCMemoryExCreateParam, reserved) % 8 == 0,
              "64-bit fields are 8-aligned");
static_assert(offsetof(KIVIPCMemoryExAttachParam, reserved) % 8 == 0,
              "64-bit fields are 8-aligned");
static_assert(offsetof(KIVHIPCMemoryEx, size) % 8 == 0, "64-bit fields are 8-aligned");

/* ---- parameter objects -------------------------------------------------------- */

KIVIPCMemoryCreateParam::KIVIPCMemoryCreateParam()
    : version(KIV_VERSION_CURRENT), size(0), baseAddress(nullptr), permissions(0), reserved(0),
      namespacePrefix(nullptr)
{
}

KIVIPCMemoryExCreateParam::KIVIPCMemoryExCreateParam()
    : version(KIV_VERSION_CURRENT), name(nullptr), size(0), flags(0), baseAddress(nullptr),
      permissions(0), reserved(0), namespacePrefix(nullptr)
{
}

KIVIPCMemoryExAttachParam::KIVIPCMemoryExAttachParam()
    : version(KIV_VERSION_CURRENT), name(nullptr), flags(0), baseAddress(nullptr), reserved(0),
      namespacePrefix(nullptr)
{
}

KIVIPCMemoryExInfo::KIVIPCMemoryExInfo() : version(KIV_VERSION_CURRENT), address(nullptr) {}

/* ---- helpers ------------------------------------------------------------------ */

namespace {

const DWORD  kReadWrite      = FILE_MAP_READ | FILE_MAP_WRITE;
const Sint32 kPrivateIds     = 100;   /* names one thread may hold at once */
const Uint32 kExNameOverhead = 8;     /* the name plus this must fit KIV_IPC_NAME_SIZE */

/* The unmap step of detach and destroy: clears `address` once the view is
 * gone; a failure is logged at probe 30 with the items given and its code
 * left in `rc`.  False only when the view is still there. */
bool unmapForDetach(KIVFrame& f, void*& address, Uint32& rc, Sint32 itemCount, ...)
{
    if (address == nullptr)
        return true;
    if (UnmapViewOfFile(address)) {
        address = nullptr;
        return true;
    }
    DWORD err = GetLastError();
    va_list ap;
    va_start(ap, itemCount);
    rc = f.sysErrorV(KIVOSFN_UNMAPVIEWOFFILE, err, 30, 0, nullptr, itemCount, ap);
    va_end(ap);
    return false;
}

/* The close step of detach and destroy: a failure is logged at probe 40
 * with the handle as context and the items given, its code left in `rc`. */
bool closeForDetach(KIVFrame& f, HANDLE h, Uint32& rc, Sint32 itemCount, ...)
{
    if (CloseHandle(h))
        return true;
    DWORD err = GetLastError();
    KIVErrorContext ctx = kivHandleContext(h);
    va_list ap;
    va_start(ap, itemCount);
    rc = f.sysErrorV(KIVOSFN_CLOSEHANDLE, err, 40, 0, &ctx, itemCount, ap);
    va_end(ap);
    return false;
}

KIVErrorContext sizeContext(Uint32 size)
{
    KIVErrorContext ctx;
    ctx.setRequestSize(size);
    return ctx;
}

/* Unmaps and closes what `m` holds, under the frame of detach, destroy or
 * detachAndDestroy.  The handle field is cleared whatever happens, the
 * address only when the view is gone.  Result: the close failure's code,
 * else the unmap failure's, else 0. */
Uint32 detachMemory(KIVFrame& f, KIVHIPCMemory& m)
{
    Uint32 unmapRc = 0;
    Uint32 closeRc = 0;
    unmapForDetach(f, m.address, unmapRc, 1, KIVLOG_HEX(m.address));
    if (m.handle != INVALID_HANDLE_VALUE) {
        closeForDetach(f, m.handle, closeRc, 1, KIVLOG_HEX(m.handle));
        m.handle = INVALID_HANDLE_VALUE;
    }
    return closeRc != 0 ? closeRc : unmapRc;
}

/* The object whose failed create is being logged, as raw bytes. */
#define KIV_OBJECT_ITEM(obj) KIVLOG_RAW((obj), sizeof *(obj))

/* What every failure record of KIVHIPCMemory::create carries. */
#define KIV_MEMORY_CREATE_ITEMS(p, obj)                                                        \
    6, KIVLOG_STRING((p)->resID.name), KIVLOG_UINT((p)->size), KIVLOG_HEX((p)->baseAddress),  \
        KIVLOG_HEX((p)->permissions), KIVLOG_HEX((p)->reserved), KIV_OBJECT_ITEM(obj)

/* ---- KIVHIPCMemoryEx helpers ---- */

bool validExName(const char* name)
{
    if (name == nullptr || *name == '\0')
        return false;
    if (strnlen(name, KIV_IPC_NAME_SIZE) + kExNameOverhead > KIV_IPC_NAME_SIZE)
        return false;
    return strchr(name, '\\') == nullptr;
}

/* The view access of KIV_IPC_MEMEX_* flags: read-only wins over read-write;
 * neither asks for nothing, which the map call then refuses. */
DWORD exViewAccess(Uint64 flags)
{
    if (flags & KIV_IPC_MEMEX_READONLY)
        return FILE_MAP_READ;
    if (flags & KIV_IPC_MEMEX_READWRITE)
        return kReadWrite;
    return 0;
}

void resetEx(KIVHIPCMemoryEx& m)
{
    m.handle = INVALID_HANDLE_VALUE;
    memset(m.name, 0, sizeof m.name);
    m.address = nullptr;
    m.size = 0;
}

/* The kernel name of a KIVHIPCMemoryEx name, stored in the object. */
Uint32 exKernelName(KIVHIPCMemoryEx& m, const char* name, Uint32 version, const char* prefix)
{
    KIVIPCGetResIDParam d;
    d.path = name;
    d.id = KIV_IPC_MEMEX_ID;
    d.namespacePrefix = version >= KIV_VERSION_IPC_NAMESPACE ? prefix : nullptr;
    KIVIPCResID kernel;
    Uint32 rc = kivIPCGetResID(&d, &kernel);
    if (rc == 0)
        memcpy(m.name, kernel.name, sizeof m.name);
    return rc;
}

/* Clean-up of a failed create or attach: close what was opened and reset
 * the object. */
void abandonEx(KIVFrame& f, KIVHIPCMemoryEx& m)
{
    if (m.address != nullptr)
        UnmapViewOfFile(m.address);
    if (m.handle != INVALID_HANDLE_VALUE && !CloseHandle(m.handle)) {
        DWORD err = GetLastError();
        f.stepSysError(KIVOSFN_CLOSEHANDLE, err, 200, nullptr, 1, KIVLOG_HEX(m.handle));
    }
    resetEx(m);
}

/* Unmap and close for detach and destroy; the unmap failure's code wins. */
Uint32 detachEx(KIVFrame& f, KIVHIPCMemoryEx& m)
{
    Uint32 unmapRc = 0;
    Uint32 closeRc = 0;
    const bool unmapped = unmapForDetach(f, m.address, unmapRc, 3, KIVLOG_STRING(m.name),
                                         KIVLOG_UINT(m.size), KIVLOG_HEX(m.address));
    if (m.handle != INVALID_HANDLE_VALUE) {
        if (closeForDetach(f, m.handle, closeRc, 2, KIVLOG_STRING(m.name), KIVLOG_HEX(m.handle)))
            resetEx(m);
    } else if (unmapped) {
        resetEx(m);
    }
    return unmapRc != 0 ? unmapRc : closeRc;
}

/* The map step of create and attach: the view of the section the object
 * holds, or the failure logged with the operation's items. */
Uint32 mapExView(KIVFrame& f, KIVHIPCMemoryEx& m, DWORD access, void* baseAddress, Uint32 probe,
                 const KIVErrorContext* ctx, Sint32 itemCount, ...)
{
    void* view = MapViewOfFileEx(m.handle, access, 0, 0, 0, baseAddress);
    if (view != nullptr) {
        m.address = view;
        return 0;
    }
    DWORD err = GetLastError();
    va_list ap;
    va_start(ap, itemCount);
    Uint32 rc = f.sysErrorV(KIVOSFN_MAPVIEWOFFILEEX, err, probe, 0, ctx, itemCount, ap);
    va_end(ap);
    return rc;
}

#define KIV_MEMEX_CREATE_ITEMS(p, obj)                                                          \
    8, KIVLOG_STRING((p)->name), KIVLOG_UINT((p)->size), KIVLOG_HEX((p)->flags),               \
        KIVLOG_HEX((p)->baseAddress), KIVLOG_HEX((p)->permissions), KIVLOG_HEX((p)->reserved), \
        KIV_OBJECT_ITEM(obj), KIVLOG_STRING((obj)->name)

#define KIV_MEMEX_ATTACH_ITEMS(p, obj)                                                         \
    6, KIVLOG_STRING((p)->name), KIVLOG_HEX((p)->flags), KIVLOG_HEX((p)->baseAddress),        \
        KIVLOG_HEX((p)->reserved), KIV_OBJECT_ITEM(obj), KIVLOG_STRING((obj)->name)

} // namespace

/* ---- KIVHIPCMemory ----------------------------------------------------------- */

KIVHIPCMemory::KIVHIPCMemory() : handle(INVALID_HANDLE_VALUE), address(nullptr) {}

Uint32 KIVHIPCMemory::create(const KIVIPCMemoryCreateParam* param)
{
    KIVFrame f(KIVFN_KIVHIPCMEMORY_CREATE);
    Uint32 rc;
    if (!f.checkParam(param, rc))
        return rc;
    f.dataOf(10, *param);
    if (isAttached())
        return f.fail(20, ECF_INVALID_INVOCATION_SEQUENCE, KIV_MEMORY_CREATE_ITEMS(param, this));

    SECURITY_ATTRIBUTES sa;
    SECURITY_DESCRIPTOR sd;
    rc = kivInitSecurityAttributes2(&sa, &sd);
    if (rc != 0)
        return f.calledFailed(KIVFN_KIVINITSECURITYATTRIBUTES2, rc, rc, 60,
                              KIV_MEMORY_CREATE_ITEMS(param, this));

    KIVErrorContext ctx = sizeContext(param->size);
    SetLastError(ERROR_SUCCESS);
    HANDLE h = CreateFileMappingA(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0, param->size,
                                  param->resID.name);
    DWORD err = GetLastError();
    if (h == nullptr)
        return f.sysError(KIVOSFN_CREATEFILEMAPPING, err, 80, &ctx,
                          KIV_MEMORY_CREATE_ITEMS(param, this));
    // The name was taken: this operation makes new sections only.
    if (err == ERROR_ALREADY_EXISTS) {
        CloseHandle(h);
        return f.sysError(KIVOSFN_CREATEFILEMAPPING, err, 90, &ctx,
                          KIV_MEMORY_CREATE_ITEMS(param, this));
    }
    void* view = MapViewOfFileEx(h, kReadWrite, 0, 0, 0, const_cast<void*>(param->baseAddress));
    if (view == nullptr) {
        err = GetLastError();
        CloseHandle(h);
        return f.sysError(KIVOSFN_MAPVIEWOFFILEEX, err, 100, &ctx,
                          KIV_MEMORY_CREATE_ITEMS(param, this));
    }
    handle = h;
    address = view;
    return f.ok();
}

Uint32 KIVHIPCMemory::attach(const KIVIPCResID* resID, const void* baseAddress)
{
    KIVFrame f(KIVFN_KIVHIPCMEMORY_ATTACH);
    if (resID == nullptr)
        return f.nullParam();
    f.dataOf(10, *resID);
    if (isAttached())
        return f.fail(20, ECF_INVALID_INVOCATION_SEQUENCE, 2, KIVLOG_STRING(resID->name),
                      KIV_OBJECT_ITEM(this));

    HANDLE h = OpenFileMappingA(kReadWrite, FALSE, resID->name);
    if (h == nullptr) {
        // Whatever the system says, for the caller the section is not there.
        DWORD err = GetLastError();
        kivLogSysRC(nullptr, f.functionId(), KIVOSFN_OPENFILEMAPPING, err, ECF_MEM_DOESNT_EXIST, 50,
                    KIVLOG_INFO, 2, KIVLOG_STRING(resID->name), KIVLOG_HEX(baseAddress));
        return f.retError(50, ECF_MEM_DOESNT_EXIST);
    }
    void* view = MapViewOfFileEx(h, kReadWrite, 0, 0, 0, const_cast<void*>(baseAddress));
    if (view == nullptr) {
        DWORD err = GetLastError();
        CloseHandle(h);
        return f.sysError(KIVOSFN_MAPVIEWOFFILEEX, err, 70, nullptr, 2, KIVLOG_STRING(resID->name),
                          KIVLOG_HEX(baseAddress));
    }
    handle = h;
    address = view;
    return f.ok();
}

Uint32 KIVHIPCMemory::detach()
{
    KIVFrame f(KIVFN_KIVHIPCMEMORY_DETACH);
    return f.ret(detachMemory(f, *this));
}

Uint32 KIVHIPCMemory::destroy()
{
    KIVFrame f(KIVFN_KIVHIPCMEMORY_DESTROY);
    detachMemory(f, *this);
    return f.ok();
}

Uint32 KIVHIPCMemory::detachAndDestroy()
{
    KIVFrame f(KIVFN_KIVHIPCMEMORY_DETACHANDDESTROY);
    return f.ret(detachMemory(f, *this));
}

Uint32 KIVHIPCMemory::getAddress(void** out)
{
    KIVFrame f(KIVFN_KIVHIPCMEMORY_GETADDRESS);
    if (out == nullptr)
        return f.nullParam();
    *out = address;
    return f.ok();
}

Uint32 KIVHIPCMemory::getMemorySize(Uint32* out)
{
    KIVFrame f(KIVFN_KIVHIPCMEMORY_GETMEMORYSIZE);
    if (out == nullptr)
        return f.nullParam();
    if (!isAttached())
        return f.fail(10, ECF_INVALID_INVOCATION_SEQUENCE);
    HANDLE process = GetCurrentProcess();
    if (process == nullptr)
        return f.fail(20, ECF_INVALID_HANDLE);
    MEMORY_BASIC_INFORMATION info;
    SIZE_T got = VirtualQueryEx(process, address, &info, sizeof info);
    if (got != sizeof info) {
        Uint32 bytes = (Uint32)got;
        return f.fail(30, ECF_FAILED, 1, KIVLOG_UINT(bytes));
    }
    *out = (Uint32)info.RegionSize;
    return f.ok();
}

Uint32 KIVHIPCMemory::authorize(const KIVIPCSecurityParam* param)
{
    KIVFrame f(KIVFN_KIVHIPCMEMORY_AUTHORIZE);
    Uint32 rc;
    if (!f.checkParam(param, rc))
        return rc;
    return f.ok();
}

/* ---- KIVHIPCPrivateMemory --------------------------------------------------------- */

KIVHIPCPrivateMemory::KIVHIPCPrivateMemory() {}

Uint32 KIVHIPCPrivateMemory::create(KIVIPCMemoryCreateParam* param)
{
    KIVFrame f(KIVFN_KIVHIPCPRIVATEMEMORY_CREATE);
    Uint32 rc;
    if (!f.checkParam(param, rc))
        return rc;
    f.dataOf(10, *param);
    if (isAttached())
        return f.fail(20, ECF_INVALID_INVOCATION_SEQUENCE, 1, KIV_OBJECT_ITEM(this));

    char path[64];
    kivSnprintf(path, sizeof path, "PRIVMEMPID%uTID%llu", (unsigned)GetCurrentProcessId(),
                (unsigned long long)kivThreadID());
    KIVIPCGetResIDParam d;
    d.path = path;
    d.localOnly = false;
    d.namespacePrefix = param->version >= KIV_VERSION_IPC_NAMESPACE ? param->namespacePrefix
                                                                    : nullptr;
    // The first id whose section does not exist.  A name held by another
    // kind of object, or one this process may not open, counts as taken.
    for (Sint32 id = 0; id < kPrivateIds; ++id) {
        d.id = id;
        rc = kivIPCGetResID(&d, &param->resID);
        if (rc != 0)
            return f.calledFailed(KIVFN_KIVIPCGETRESID, rc, rc, 30, 2, KIVLOG_STRING(path),
                                  KIVLOG_SINT(id));
        HANDLE h = OpenFileMappingA(FILE_MAP_READ, FALSE, param->resID.name);
        if (h == nullptr && GetLastError() == ERROR_FILE_NOT_FOUND) {
            resID = param->resID;
            return f.ret(KIVHIPCMemory::create(param));
        }
        if (h != nullptr)
            CloseHandle(h);
    }
    return f.fail(100, ECF_NO_RESOURCE, 1, KIVLOG_STRING(path));
}

Uint32 KIVHIPCPrivateMemory::attach(const void* baseAddress)
{
    KIVFrame f(KIVFN_KIVHIPCPRIVATEMEMORY_ATTACH);
    return f.ret(KIVHIPCMemory::attach(&resID, baseAddress));
}

Uint32 KIVHIPCPrivateMemory::remoteInitialization()
{
    KIVFrame f(KIVFN_KIVHIPCPRIVATEMEMORY_REMOTEINITIALIZATION);
    // The copy came from another process: trust nothing but a terminated name.
    resID.name[KIV_IPC_NAME_SIZE - 1] = '\0';
    if (resID.name[0] == '\0')
        return f.fail(100, ECF_MEM_DOESNT_EXIST);
    handle = INVALID_HANDLE_VALUE;
    address = nullptr;
    return f.ok();
}

/* ---- KIVHIPCMemoryEx ------------------------------------------------------------- */

KIVHIPCMemoryEx::KIVHIPCMemoryEx()
{
    resetEx(*this);
}

KIVHIPCMemoryEx::~KIVHIPCMemoryEx()
{
    resetEx(*this);
}

Uint32 KIVHIPCMemoryEx::create(const KIVIPCMemoryExCreateParam* param, KIVIPCMemoryExInfo* info)
{
    KIVFrame f(KIVFN_KIVHIPCMEMORYEX_CREATE);
    Uint32 rc;
    if (!f.checkParam(param, rc) || !f.checkParam(info, rc))
        return rc;
    f.dataOf(10, *param);
    if (isAttached())
        return f.fail(20, ECF_INVALID_INVOCATION_SEQUENCE, KIV_MEMEX_CREATE_ITEMS(param, this));

    rc = 0;
    if (!validExName(param->name) || param->size == 0 || param->flags == 0 ||
        param->permissions == 0)
        rc = f.stepFailed(30, ECF_INVALID_PARAMETER, KIV_MEMEX_CREATE_ITEMS(param, this));

    SECURITY_ATTRIBUTES sa;
    SECURITY_DESCRIPTOR sd;
    if (rc == 0) {
        rc = kivInitSecurityAttributes2(&sa, &sd);
        if (rc != 0)
            f.stepCalledFailed(KIVFN_KIVINITSECURITYATTRIBUTES2, rc, rc, 110,
                               KIV_MEMEX_CREATE_ITEMS(param, this));
    }
    if (rc == 0) {
        rc = exKernelName(*this, param->name, param->version, param->namespacePrefix);
        if (rc != 0)
            f.stepCalledFailed(KIVFN_KIVIPCGETRESID, rc, rc, 120,
                               KIV_MEMEX_CREATE_ITEMS(param, this));
    }
    KIVErrorContext ctx = sizeContext((Uint32)param->size);
    if (rc == 0) {
        SetLastError(ERROR_SUCCESS);
        HANDLE h = CreateFileMappingA(INVALID_HANDLE_VALUE, &sa, PAGE_READWRITE, 0,
                                      (DWORD)param->size, name);
        DWORD err = GetLastError();
        if (h == nullptr) {
            rc = f.stepSysError(KIVOSFN_CREATEFILEMAPPING, err, 140, &ctx,
                                KIV_MEMEX_CREATE_ITEMS(param, this));
        } else {
            handle = h;
            if ((param->flags & KIV_IPC_MEMEX_EXCLUSIVE) && err == ERROR_ALREADY_EXISTS)
                rc = f.stepFailed(150, ECF_EXISTS, KIV_MEMEX_CREATE_ITEMS(param, this));
        }
    }
    if (rc == 0)
        rc = mapExView(f, *this, exViewAccess(param->flags), param->baseAddress, 160, &ctx,
                       KIV_MEMEX_CREATE_ITEMS(param, this));
    if (rc != 0) {
        abandonEx(f, *this);
        return f.ret(rc);
    }
    size = param->size;
    info->address = address;
    return f.ok();
}

Uint32 KIVHIPCMemoryEx::attach(const KIVIPCMemoryExAttachParam* param, KIVIPCMemoryExInfo* info)
{
    KIVFrame f(KIVFN_KIVHIPCMEMORYEX_ATTACH);
    Uint32 rc;
    if (!f.checkParam(param, rc) || !f.checkParam(info, rc))
        return rc;
    f.dataOf(10, *param);
    if (isAttached())
        return f.fail(20, ECF_INVALID_INVOCATION_SEQUENCE, KIV_MEMEX_ATTACH_ITEMS(param, this));

    rc = 0;
    if (!validExName(param->name))
        rc = f.stepFailed(30, ECF_INVALID_PARAMETER, KIV_MEMEX_ATTACH_ITEMS(param, this));
    if (rc == 0) {
        rc = exKernelName(*this, param->name, param->version, param->namespacePrefix);
        if (rc != 0)
            f.stepCalledFailed(KIVFN_KIVIPCGETRESID, rc, rc, 90,
                               KIV_MEMEX_ATTACH_ITEMS(param, this));
    }
    DWORD access = exViewAccess(param->flags);
    if (rc == 0) {
        HANDLE h = OpenFileMappingA(access, FALSE, name);
        if (h == nullptr) {
            DWORD err = GetLastError();
            rc = f.stepSysError(KIVOSFN_OPENFILEMAPPING, err, 100, nullptr,
                                KIV_MEMEX_ATTACH_ITEMS(param, this));
        } else {
            handle = h;
        }
    }
    if (rc == 0)
        rc = mapExView(f, *this, access, param->baseAddress, 120, nullptr,
                       KIV_MEMEX_ATTACH_ITEMS(param, this));
    if (rc != 0) {
        abandonEx(f, *this);
        return f.ret(rc);
    }
    info->address = address;
    return f.ok();
}

Uint32 KIVHIPCMemoryEx::detach()
{
    KIVFrame f(KIVFN_KIVHIPCMEMORYEX_DETACH);
    return f.ret(detachEx(f, *this));
}

Uint32 KIVHIPCMemoryEx::destroy()
{
    KIVFrame f(KIVFN_KIVHIPCMEMORYEX_DESTROY);
    Uint32 rc = detachEx(f, *this);
    resetEx(*this);
    return f.ret(rc);
}
