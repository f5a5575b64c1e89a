/*
 * kivcompat_handle.cpp - the set of live handles, CloseHandle and the
 * generic WaitForSingleObject.
 */
#include "kivcompat_handle.h"

#include <mutex>
#include <new>
#include <unordered_set>

namespace kivcompat {

namespace {
struct HandleTable {
    std::mutex                         mutex;
    std::unordered_set<KernelObject*>  live;
};

// Never destroyed: handles may be used and closed from static destructors
// and from threads still running while the process exits.
HandleTable& table()
{
    static HandleTable* t = new HandleTable;
    return *t;
}
} // namespace

DWORD KernelObject::wait(DWORD)
{
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
}

BOOL KernelObject::release()
{
    if (refs_.fetch_sub(1, std::memory_order_acq_rel) != 1)
        return TRUE;
    BOOL ok = close();
    delete this;
    return ok;
}

HANDLE handleCreate(KernelObject* object)
{
    HandleTable& t = table();
    try {
        std::lock_guard<std::mutex> lock(t.mutex);
        t.live.insert(object);
    } catch (const std::bad_alloc&) {
        object->release();
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return static_cast<HANDLE>(object);
}

ObjectRef<KernelObject> handleLookup(HANDLE handle)
{
    HandleTable& t = table();
    KernelObject* object = static_cast<KernelObject*>(handle);
    {
        std::lock_guard<std::mutex> lock(t.mutex);
        if (object && t.live.count(object)) {
            object->addRef();
            return ObjectRef<KernelObject>(object);
        }
    }
    SetLastError(ERROR_INVALID_HANDLE);
    return ObjectRef<KernelObject>();
}

// Takes a handle out of the set; the caller inherits the handle's reference.
// Permanent objects stay, and the result is then null with *permanent set.
static KernelObject* handleRemove(HANDLE handle, bool* permanent)
{
    HandleTable& t = table();
    KernelObject* object = static_cast<KernelObject*>(handle);
    *permanent = false;
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = object ? t.live.find(object) : t.live.end();
    if (it == t.live.end())
        return nullptr;
    if (object->permanent()) {
        *permanent = true;
        return nullptr;
    }
    t.live.erase(it);
    return object;
}

} // namespace kivcompat

using namespace kivcompat;

extern "C" {

BOOL CloseHandle(HANDLE handle)
{
    // The pseudo-handles of the current process and thread (the first has
    // the value of INVALID_HANDLE_VALUE) are no objects; closing them does
    // nothing and succeeds, as on Windows.
    if (handle == GetCurrentProcess() || handle == GetCurrentThread())
        return TRUE;
    bool permanent;
    KernelObject* object = handleRemove(handle, &permanent);
    if (permanent)
        return TRUE;
    if (!object) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return object->release();
}

DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds)
{
    ObjectRef<KernelObject> object = handleLookup(handle);
    if (!object)
        return WAIT_FAILED;
    return object->wait(milliseconds);
}

} // extern "C"
