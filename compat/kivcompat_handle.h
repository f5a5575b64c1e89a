/*
 * kivcompat_handle.h - the kernel-object model behind the compat HANDLE
 * (internal to the compat sources, not exported).
 *
 * A HANDLE is a small number naming a KernelObject in one process-wide
 * table; a call looks its handle up there first, so a closed, stale or
 * invented handle gives ERROR_INVALID_HANDLE and is never dereferenced.
 * The numbers are multiples of 4 below 2^31, as Windows hands out, so that
 * a handle survives the 32-bit words the library keeps it in (error
 * contexts, log items) and widens back unchanged on a 64-bit build.  Objects are reference counted: the handle owns one
 * reference and every call in progress holds another (ObjectRef), so that
 * CloseHandle on one thread cannot pull an object from under a ReadFile or a
 * wait on another.  The system resources go (close()) with the last
 * reference, as a Windows object lives until its last user lets go.
 *
 * A new kind of object derives from KernelObject, takes a type tag, releases
 * its resources in close() and, when it can be waited on, overrides wait().
 */
#ifndef KIVCOMPAT_HANDLE_H
#define KIVCOMPAT_HANDLE_H

#include "kivcompat.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace kivcompat {

enum class ObjectType : uint32_t {
    File = 1,       // files, directories opened for backup, standard streams
    Mapping,        // file mappings (sections)
    Token,          // process tokens
    EventSource,    // event log sources
    Thread,
    Process,
    Event,
    Semaphore,
    Mutex,
};

class KernelObject {
public:
    explicit KernelObject(ObjectType type) : type_(type) {}
    KernelObject(const KernelObject&) = delete;
    KernelObject& operator=(const KernelObject&) = delete;

    ObjectType type() const { return type_; }

    // WaitForSingleObject: WAIT_OBJECT_0, WAIT_TIMEOUT, WAIT_ABANDONED, or
    // WAIT_FAILED with the last error set.  Objects that cannot be waited on
    // keep this default, which refuses the handle as Windows does.
    virtual DWORD wait(DWORD milliseconds);

    // A permanent object (a standard stream) survives CloseHandle, which
    // succeeds on it without doing anything.
    virtual bool permanent() const { return false; }

    void addRef() { refs_.fetch_add(1, std::memory_order_relaxed); }
    // Drops one reference.  The last one runs close() and deletes the object;
    // the result is close()'s (with its last error), TRUE otherwise.
    BOOL release();

protected:
    virtual ~KernelObject() = default;
    // Releases the system resources, once.  Sets the last error on failure.
    virtual BOOL close() { return TRUE; }

private:
    const ObjectType  type_;
    std::atomic<long> refs_{1};
};

// A counted reference to an object, released when it goes out of scope.
template <class T>
class ObjectRef {
public:
    ObjectRef() = default;
    explicit ObjectRef(T* adopted) : p_(adopted) {}
    ObjectRef(ObjectRef&& o) noexcept : p_(o.p_) { o.p_ = nullptr; }
    ObjectRef& operator=(ObjectRef&& o) noexcept
    {
        if (this != &o) {
            reset();
            p_ = o.p_;
            o.p_ = nullptr;
        }
        return *this;
    }
    ObjectRef(const ObjectRef&) = delete;
    ObjectRef& operator=(const ObjectRef&) = delete;
    ~ObjectRef() { reset(); }

    // Another reference to the same object.
    ObjectRef share() const
    {
        if (p_)
            p_->addRef();
        return ObjectRef(p_);
    }
    void reset()
    {
        // Always the reference count's release, even where T has a member
        // of the same name.
        if (p_)
            static_cast<KernelObject*>(p_)->release();
        p_ = nullptr;
    }
    T* get() const { return p_; }
    T* operator->() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

private:
    T* p_ = nullptr;
};

// Enters a new object (holding its first reference) in the handle set and
// returns its handle.  On failure the object is released, the last error is
// set and the result is null.
KIV_LOCAL HANDLE handleCreate(KernelObject* object);

// The object behind a live handle, or an empty reference with
// ERROR_INVALID_HANDLE.
KIV_LOCAL ObjectRef<KernelObject> handleLookup(HANDLE handle);

// The same, refusing objects of another type with ERROR_INVALID_HANDLE.
template <class T>
ObjectRef<T> handleLookupAs(HANDLE handle, ObjectType type)
{
    ObjectRef<KernelObject> ref = handleLookup(handle);
    if (!ref)
        return ObjectRef<T>();
    if (ref->type() != type) {
        SetLastError(ERROR_INVALID_HANDLE);
        return ObjectRef<T>();
    }
    ref->addRef();
    return ObjectRef<T>(static_cast<T*>(ref.get()));
}

// A wait on an object that is signalled once `done` holds, as
// WaitForSingleObject answers it: WAIT_OBJECT_0 or, after `milliseconds`
// (INFINITE waits for ever), WAIT_TIMEOUT.  The caller holds `lock`.
template <class Done>
DWORD waitSignalled(std::unique_lock<std::mutex>& lock, std::condition_variable& changed,
                    DWORD milliseconds, Done done)
{
    if (milliseconds == INFINITE) {
        changed.wait(lock, done);
        return WAIT_OBJECT_0;
    }
    return changed.wait_for(lock, std::chrono::milliseconds(milliseconds), done) ? WAIT_OBJECT_0
                                                                                  : WAIT_TIMEOUT;
}

} // namespace kivcompat

#endif /* KIVCOMPAT_HANDLE_H */
