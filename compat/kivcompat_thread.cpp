/*
 * kivcompat_thread.cpp - threads as kernel objects, and thread-local
 * storage slots on POSIX thread keys.
 *
 * Thread object lifetime: the handle owns one reference and the running
 * thread another, taken before it starts and dropped as the last thing it
 * does.  Whoever drops the last reference releases the POSIX thread: the
 * thread itself when its handle was closed while it ran (it detaches
 * itself), otherwise the closer of the handle, which joins the thread that
 * has already signalled its end.  Either way nothing is left behind.
 */
#include "kivcompat_thread.h"
#include "kivcompat_handle.h"

#include <errno.h>
#include <limits.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

namespace kivcompat {
namespace {

class ThreadObject : public KernelObject {
public:
    ThreadObject(_beginthreadex_proc_type start, void* argument)
        : KernelObject(ObjectType::Thread), start_(start), argument_(argument)
    {
    }

    // Starts the POSIX thread and waits until it has told its identifier,
    // which the caller of _beginthreadex gets at once as on Windows.
    // Returns 0 or an errno value.
    int launch(size_t stackSize);
    DWORD id() const { return id_; }

    DWORD wait(DWORD milliseconds) override;
    DWORD exitCode();

    // The end of the thread, run on it: signal the handle and drop the
    // thread's own reference.
    void finish(unsigned exitCode);

protected:
    BOOL close() override;

private:
    static void* run(void* self);

    const _beginthreadex_proc_type start_;
    void* const                    argument_;
    std::mutex                     mutex_;
    std::condition_variable        changed_;
    pthread_t                      thread_{};
    bool                           launched_ = false;
    bool                           finished_ = false;
    DWORD                          id_ = 0;
    DWORD                          exitCode_ = STILL_ACTIVE;
};

// The object of the calling thread when _beginthreadex started it, so that
// _endthreadex can signal its handle.
thread_local ThreadObject* t_self = nullptr;

int stackAttributes(pthread_attr_t* attr, size_t stackSize)
{
    if (stackSize == 0)
        return 0;
    // Windows rounds a requested size up; POSIX refuses sizes below its
    // minimum, so round up to the minimum and to whole pages.
    size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    if (stackSize < static_cast<size_t>(PTHREAD_STACK_MIN))
        stackSize = PTHREAD_STACK_MIN;
    if (stackSize > SIZE_MAX - page)
        return ENOMEM;
    stackSize = (stackSize + page - 1) / page * page;
    return pthread_attr_setstacksize(attr, stackSize);
}

int ThreadObject::launch(size_t stackSize)
{
    pthread_attr_t attr;
    int err = pthread_attr_init(&attr);
    if (err != 0)
        return err;
    err = stackAttributes(&attr, stackSize);
    if (err == 0) {
        addRef(); // the thread's own reference
        err = pthread_create(&thread_, &attr, run, this);
        if (err != 0)
            release(); // never the last one: the handle holds another
    }
    pthread_attr_destroy(&attr);
    if (err != 0)
        return err;

    std::unique_lock<std::mutex> lock(mutex_);
    launched_ = true;
    changed_.wait(lock, [this] { return id_ != 0; });
    return 0;
}

void* ThreadObject::run(void* p)
{
    ThreadObject* self = static_cast<ThreadObject*>(p);
    t_self = self;
    {
        std::lock_guard<std::mutex> lock(self->mutex_);
        self->id_ = GetCurrentThreadId();
    }
    self->changed_.notify_all();
    self->finish(self->start_(self->argument_));
    return nullptr;
}

void ThreadObject::finish(unsigned exitCode)
{
    t_self = nullptr;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        finished_ = true;
        exitCode_ = exitCode;
    }
    changed_.notify_all();
    release(); // may be the last reference: the object is gone after this
}

DWORD ThreadObject::wait(DWORD milliseconds)
{
    std::unique_lock<std::mutex> lock(mutex_);
    return waitSignalled(lock, changed_, milliseconds, [this] { return finished_; });
}

DWORD ThreadObject::exitCode()
{
    std::lock_guard<std::mutex> lock(mutex_);
    return finished_ ? exitCode_ : STILL_ACTIVE;
}

BOOL ThreadObject::close()
{
    if (!launched_)
        return TRUE;
    // The last reference goes either on the thread itself (its handle was
    // closed while it ran) or after the thread dropped its own, that is
    // after it finished: a join then returns at once.
    if (GetCurrentThreadId() == id_)
        pthread_detach(pthread_self());
    else
        pthread_join(thread_, nullptr);
    return TRUE;
}

// Thread resources that cannot be had are a shortage of memory on Windows.
DWORD startError(int err)
{
    return err == EAGAIN ? ERROR_NOT_ENOUGH_MEMORY : kivCompatErrnoToWin32(err);
}

/* ---- Thread-local storage ------------------------------------------------- */
#ifdef PTHREAD_KEYS_MAX
const DWORD kTlsSlots = PTHREAD_KEYS_MAX;
#else
const DWORD kTlsSlots = 1024;
#endif

// An index is a POSIX key; this table says which ones TlsAlloc handed out,
// so that any other index is refused instead of reaching a foreign key.
std::atomic<bool> g_tlsAllocated[kTlsSlots];

bool tlsValid(DWORD index)
{
    if (index < kTlsSlots && g_tlsAllocated[index].load(std::memory_order_acquire))
        return true;
    SetLastError(ERROR_INVALID_PARAMETER);
    return false;
}

} // namespace
} // namespace kivcompat

using namespace kivcompat;

extern "C" {

uintptr_t _beginthreadex(void* security, unsigned stackSize, _beginthreadex_proc_type start,
                         void* argument, unsigned initFlag, unsigned* threadId)
{
    (void)security;
    if (start == nullptr || initFlag != 0) {
        errno = EINVAL;
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    ThreadObject* object = new (std::nothrow) ThreadObject(start, argument);
    if (object == nullptr) {
        errno = ENOMEM;
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    HANDLE handle = handleCreate(object);
    if (handle == nullptr) {
        errno = ENOMEM;
        return 0;
    }
    int err = object->launch(stackSize);
    if (err != 0) {
        CloseHandle(handle); // no thread behind it: nothing to join
        errno = err;
        SetLastError(startError(err));
        return 0;
    }
    if (threadId != nullptr)
        *threadId = object->id();
    return reinterpret_cast<uintptr_t>(handle);
}

void _endthreadex(unsigned exitCode)
{
    if (t_self != nullptr)
        t_self->finish(exitCode);
    pthread_exit(nullptr);
}

void ExitThread(DWORD exitCode) { _endthreadex(exitCode); }

BOOL GetExitCodeThread(HANDLE thread, LPDWORD exitCode)
{
    ObjectRef<ThreadObject> object = handleLookupAs<ThreadObject>(thread, ObjectType::Thread);
    if (!object)
        return FALSE;
    if (exitCode == nullptr) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    *exitCode = object->exitCode();
    return TRUE;
}

DWORD TlsAlloc(void)
{
    pthread_key_t key;
    int err = pthread_key_create(&key, nullptr);
    if (err != 0) {
        SetLastError(err == EAGAIN ? ERROR_NO_MORE_ITEMS : kivCompatErrnoToWin32(err));
        return TLS_OUT_OF_INDEXES;
    }
    if (static_cast<DWORD>(key) >= kTlsSlots) {
        pthread_key_delete(key);
        SetLastError(ERROR_NO_MORE_ITEMS);
        return TLS_OUT_OF_INDEXES;
    }
    g_tlsAllocated[key].store(true, std::memory_order_release);
    return static_cast<DWORD>(key);
}

BOOL TlsFree(DWORD index)
{
    // Clear the mark first: the key cannot be handed out again before it is
    // deleted, so a concurrent TlsAlloc never sees its own index refused.
    if (index >= kTlsSlots || !g_tlsAllocated[index].exchange(false)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    pthread_key_delete(static_cast<pthread_key_t>(index));
    return TRUE;
}

LPVOID TlsGetValue(DWORD index)
{
    if (!tlsValid(index))
        return nullptr;
    void* value = pthread_getspecific(static_cast<pthread_key_t>(index));
    // Callers tell a null value from a failure by the error.
    SetLastError(ERROR_SUCCESS);
    return value;
}

BOOL TlsSetValue(DWORD index, LPVOID value)
{
    if (!tlsValid(index))
        return FALSE;
    int err = pthread_setspecific(static_cast<pthread_key_t>(index), value);
    if (err != 0) {
        SetLastError(kivCompatErrnoToWin32(err));
        return FALSE;
    }
    return TRUE;
}

} // extern "C"
