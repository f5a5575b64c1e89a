/*
 * kivcompat_handle.cpp - the set of live handles, CloseHandle and the
 * generic WaitForSingleObject.
 */
#include "kivcompat_handle.h"

#include <mutex>
#include <new>
#include <unordered_map>

namespace kivcompat {

namespace {
// Handle values run upwards in steps of 4 from 4 and wrap before 2^31;
// after a wrap, values still in use are stepped over. A closed handle's
// value is thus not given out again for a long time, which keeps a stale
// handle from silently naming a newer object.
const uintptr_t kHandleStep  = 4;
const uintptr_t kHandleLimit = 0x80000000u;

struct HandleTable {
    std::mutex                                     mutex;
    std::unordered_map<uintptr_t, KernelObject*>   live;
    uintptr_t                                      next = kHandleStep;

    uintptr_t newValue()
    {
        for (;;) {
            uintptr_t value = next;
            next = next + kHandleStep < kHandleLimit ? next + kHandleStep : kHandleStep;
            if (live.count(value) == 0)
                return value;
        }
    }
};

// Never destroyed: handles may be used and closed from static destructors
// and from threads still running while the process exits.
HandleTable& table()
{
    static HandleTable* t = new HandleTable;
    return *t;
}

uintptr_t valueOf(HANDLE handle)
{
    return reinterpret_cast<uintptr_t>(handle);
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
    uintptr_t value;
    try {
        std::lock_guard<std::mutex> lock(t.mutex);
        value = t.newValue();
        t.live.emplace(value, object);
    } catch (const std::bad_alloc&) {
        object->release();
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return reinterpret_cast<HANDLE>(value);
}

ObjectRef<KernelObject> handleLookup(HANDLE handle)
{
    HandleTable& t = table();
    {
        std::lock_guard<std::mutex> lock(t.mutex);
        auto it = t.live.find(valueOf(handle));
        if (it != t.live.end()) {
            it->second->addRef();
            return ObjectRef<KernelObject>(it->second);
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
    *permanent = false;
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = t.live.find(valueOf(handle));
    if (it == t.live.end())
        return nullptr;
    KernelObject* object = it->second;
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
