/*
 * kivthread.cpp - threads, thread-specific data slots, and the calling
 * thread's identity, end, sleep and yield.
 */
#include "kivthread.h"

#include <type_traits>

#include "kivframe.h"
#include "kivmem.h"
#include "kivos.h"

static_assert(std::is_same<HANDLE, void*>::value, "threadHandle holds a HANDLE");
static_assert(sizeof(KIVThreadParam) == 12, "KIVThreadParam is three words");
static_assert(offsetof(KIVThreadParam, flags) == 4, "KIVThreadParam layout");
static_assert(offsetof(KIVThreadParam, stackSize) == 8, "KIVThreadParam layout");
static_assert(sizeof(KIVHThreadSpecificDataInternal) == 4, "a slot object is its index");
static_assert(sizeof(KIVHThreadSpecificData) == 4, "a slot object is its index");
#if defined(__SIZEOF_POINTER__) && __SIZEOF_POINTER__ == 4
static_assert(offsetof(KIVHThread, threadHandle) == 4, "KIVHThread layout");
static_assert(offsetof(KIVHThread, created) == 8, "KIVHThread layout");
static_assert(offsetof(KIVHThread, joinable) == 9, "KIVHThread layout");
static_assert(sizeof(KIVHThread) == 12, "KIVHThread is three words");
#endif

namespace {

/* Probes. */
const Uint32 kProbeRequest = 10;       /* create: parameter object and argument */
const Uint32 kProbeAlreadyCreated = 30;
const Uint32 kProbeStartBlock = 90;    /* create: allocation failure; the new identifier */
const Uint32 kProbeBeginThread = 100;
const Uint32 kProbeNotCreated = 10;    /* wait, close */
const Uint32 kProbeNotJoinable = 20;   /* wait: cannot wait; close: must wait */
const Uint32 kProbeWait = 50;
const Uint32 kProbeSlot = 20;          /* slot create, set, destroy */
const Uint32 kProbeSlotGet = 10;

/* Where the start block is made and released, as its allocation records
 * name them. */
const char* const kSource = "kivthread";
const Uint32 kLineAlloc = 285;
const Uint32 kLineFree = 72;

/* Hands the user's function and argument from the creating thread to the
 * new one, which owns and frees it. */
struct StartBlock {
    KIVThreadFunction function;
    void*             argument;
};
#if defined(__SIZEOF_POINTER__) && __SIZEOF_POINTER__ == 4
static_assert(sizeof(StartBlock) == 8, "the start block is 8 bytes");
#endif

/* The library's start routine: the user's function has no result, so the
 * thread's exit code is always 0. */
unsigned WINAPI threadStart(void* block)
{
    const StartBlock* start = static_cast<const StartBlock*>(block);
    KIVThreadFunction function = start->function;
    void* argument = start->argument;
    kivMemFree(&block, 0, 0, kSource, kLineFree);
    function(argument);
    return 0;
}

} // namespace

/* ---- Thread identity, end, sleep and yield --------------------------------- */

Uint32 kivThreadID(void) { return GetCurrentThreadId(); }

void kivThreadExit(void) { _endthreadex(0); }

Uint32 kivSleep(Uint32 milliseconds)
{
    Sleep(milliseconds);
    return 0;
}

// Sleep(0) only yields to threads of equal priority; one millisecond lets
// any ready thread run.
void kivYield(void) { Sleep(1); }

/* ---- KIVThreadParam ---------------------------------------------------------- */

KIVThreadParam::KIVThreadParam() : version(KIV_VERSION_CURRENT), flags(0), stackSize(0) {}

KIVThreadParam::KIVThreadParam(Uint32 threadFlags, Uint32 threadStackSize)
    : version(KIV_VERSION_CURRENT), flags(threadFlags), stackSize(threadStackSize)
{
}

/* ---- KIVHThread -------------------------------------------------------------- */

KIVHThread::KIVHThread() { reset(); }

KIVHThread::~KIVHThread()
{
    if (created)
        (void)close();
}

void KIVHThread::reset()
{
    threadId = 0;
    threadHandle = nullptr;
    created = false;
    joinable = false;
}

Uint32 KIVHThread::create(KIVThreadFunction function, void* argument,
                          const KIVThreadParam* param, Uint32* threadIdOut)
{
    KIVFrame f(KIVFN_KIVHTHREAD_CREATE);
    if (kivTraceActive())
        gtraceVar(kivThreadID(), 0, f.functionId(), (Uint16)kProbeRequest, GTRACE_TYPE_DATA, 2,
                  (Uint32)GTRACE_ITEM_BLOCK, (Uint32)sizeof(KIVThreadParam), param,
                  (Uint32)GTRACE_ITEM_BLOCK, (Uint32)sizeof argument, &argument);
    Uint32 rc;
    if (!f.checkParam(param, rc))
        return rc;
    if (function == nullptr)
        return f.nullParam();
    if (created)
        return f.fail(kProbeAlreadyCreated, ECF_THREAD_ALREADY_CREATED);

    reset();
    void* block = nullptr;
    rc = kivMemAlloc(&block, nullptr, sizeof(StartBlock), 0, kSource, kLineAlloc);
    if (rc != 0)
        return f.calledFailed(KIVFN_KIVMEMALLOC, rc, 0, kProbeStartBlock);
    StartBlock* start = static_cast<StartBlock*>(block);
    start->function = function;
    start->argument = argument;

    unsigned id = 0;
    uintptr_t handle = _beginthreadex(nullptr, param->stackSize, threadStart, block, 0, &id);
    if (handle == 0) {
        DWORD err = GetLastError();
        // No thread will take the block over: release it here.
        kivMemFree(&block, 0, 0, kSource, kLineFree);
        return f.sysError(KIVOSFN_BEGINTHREADEX_CRT, err, kProbeBeginThread, nullptr, 1,
                          KIVLOG_UINT(err));
    }
    threadHandle = reinterpret_cast<HANDLE>(handle);
    created = true;
    threadId = id;
    if (threadIdOut != nullptr)
        *threadIdOut = id;
    joinable = (param->flags & KIV_THREAD_JOINABLE) != 0;
    f.dataOf(kProbeStartBlock, threadId);
    return f.ok();
}

Uint32 KIVHThread::wait()
{
    KIVFrame f(KIVFN_KIVHTHREAD_WAIT);
    if (!created)
        return f.fail(kProbeNotCreated, ECF_THREAD_NOT_CREATED);
    if (!joinable)
        return f.fail(kProbeNotJoinable, ECF_THREAD_CANNOT_WAIT);

    DWORD result = WaitForSingleObject(threadHandle, INFINITE);
    DWORD err = GetLastError();
    // One wait per thread, whatever its outcome; the handle stays open.
    joinable = false;
    if (result != WAIT_OBJECT_0)
        return f.sysError(KIVOSFN_WAITFORSINGLEOBJECT, err, kProbeWait, nullptr, 1,
                          KIVLOG_HEX(threadHandle));
    return f.ok();
}

Uint32 KIVHThread::close()
{
    KIVFrame f(KIVFN_KIVHTHREAD_CLOSE);
    if (!created)
        return f.fail(kProbeNotCreated, ECF_THREAD_NOT_CREATED);
    if (joinable)
        return f.fail(kProbeNotJoinable, ECF_THREAD_MUST_WAIT);
    // Closing the handle does not stop a running thread: it runs on
    // detached.  There is nothing to do about a failure here.
    CloseHandle(threadHandle);
    reset();
    return f.ok();
}

/* ---- KIVHThreadSpecificDataInternal: logs, never traces ------------------------ */

Uint32 KIVHThreadSpecificDataInternal::create()
{
    KIVFrame f(KIVFN_KIVHTHREADSPECIFICDATAINTERNAL_CREATE, /*traced=*/false);
    DWORD index = TlsAlloc();
    if (index == TLS_OUT_OF_INDEXES) {
        DWORD err = GetLastError();
        return f.sysError(KIVOSFN_TLSALLOC, err, kProbeSlot, nullptr, 1, KIVLOG_UINT(err));
    }
    tlsIndex = index;
    return f.ok();
}

Uint32 KIVHThreadSpecificDataInternal::destroy()
{
    KIVFrame f(KIVFN_KIVHTHREADSPECIFICDATAINTERNAL_DESTROY, /*traced=*/false);
    if (!TlsFree(tlsIndex)) {
        DWORD err = GetLastError();
        return f.sysError(KIVOSFN_TLSFREE, err, kProbeSlot, nullptr, 1, KIVLOG_UINT(tlsIndex));
    }
    // The index may be handed out again at once: forget it, so that a
    // second destroy cannot free another owner's slot.
    tlsIndex = KIV_TLS_INDEX_NONE;
    return f.ok();
}

Uint32 KIVHThreadSpecificDataInternal::set(const void* value)
{
    KIVFrame f(KIVFN_KIVHTHREADSPECIFICDATAINTERNAL_SET, /*traced=*/false);
    if (!TlsSetValue(tlsIndex, const_cast<void*>(value))) {
        DWORD err = GetLastError();
        return f.sysError(KIVOSFN_TLSSETVALUE, err, kProbeSlot, nullptr, 1, KIVLOG_UINT(tlsIndex));
    }
    return f.ok();
}

Uint32 KIVHThreadSpecificDataInternal::get(void** value)
{
    KIVFrame f(KIVFN_KIVHTHREADSPECIFICDATAINTERNAL_GET, /*traced=*/false);
    if (value == nullptr)
        return f.nullParam();
    void* v = TlsGetValue(tlsIndex);
    *value = v;
    if (v != nullptr)
        return f.ok();
    // A null value is either a failure or a slot this thread never set
    // (error 0, mapped to an invocation-sequence code): map it, log nothing.
    DWORD err = GetLastError();
    return f.ret(kivSystemErrorHandler(f.functionId(), KIVOSFN_TLSGETVALUE, err, kProbeSlotGet,
                                       KIVLOG_INFO, KIV_SYSERR_MAP_ONLY, nullptr, 0));
}

/* ---- KIVHThreadSpecificData: the same, inside entry and exit records ------------ */

Uint32 KIVHThreadSpecificData::create()
{
    KIVFrame f(KIVFN_KIVHTHREADSPECIFICDATA_CREATE);
    return f.ret(KIVHThreadSpecificDataInternal::create());
}

Uint32 KIVHThreadSpecificData::destroy()
{
    KIVFrame f(KIVFN_KIVHTHREADSPECIFICDATA_DESTROY);
    return f.ret(KIVHThreadSpecificDataInternal::destroy());
}

Uint32 KIVHThreadSpecificData::set(const void* value)
{
    KIVFrame f(KIVFN_KIVHTHREADSPECIFICDATA_SET);
    return f.ret(KIVHThreadSpecificDataInternal::set(value));
}

Uint32 KIVHThreadSpecificData::get(void** value)
{
    KIVFrame f(KIVFN_KIVHTHREADSPECIFICDATA_GET);
    return f.ret(KIVHThreadSpecificDataInternal::get(value));
}
