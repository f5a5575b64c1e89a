/*
 * kivcompat_mapping.cpp - file mappings and their views: CreateFileMappingA,
 * MapViewOfFile(Ex), UnmapViewOfFile, FlushViewOfFile.
 *
 * A mapping object owns a descriptor of its own; a view is an mmap of it
 * that holds a reference to the mapping, so that a mapping closed while
 * views remain stays alive until the last view goes, as on Windows.
 */
#include "kivcompat_file.h"

#include <errno.h>
#include <fcntl.h>
#include <map>
#include <new>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#ifndef MAP_FIXED_NOREPLACE
#  define MAP_FIXED_NOREPLACE 0x100000
#endif

namespace kivcompat {

namespace {

const uint64_t kViewGranularity = 65536; // GetSystemInfo's allocation granularity

struct LiveMappings {
    std::mutex                  mutex;
    std::vector<MappingObject*> file;   // mappings of regular files
};

LiveMappings& liveMappings()
{
    static LiveMappings* m = new LiveMappings;
    return *m;
}

struct View {
    size_t                   length;
    ObjectRef<MappingObject> mapping;
};

struct ViewTable {
    std::mutex                  mutex;
    std::map<uintptr_t, View>   views;   // by base address
};

ViewTable& viewTable()
{
    static ViewTable* t = new ViewTable;
    return *t;
}

// The view holding `address`; the table's mutex must be held.
std::map<uintptr_t, View>::iterator findView(ViewTable& t, const void* address)
{
    uintptr_t a = reinterpret_cast<uintptr_t>(address);
    auto it = t.views.upper_bound(a);
    if (it == t.views.begin())
        return t.views.end();
    --it;
    return a - it->first < it->second.length ? it : t.views.end();
}

bool writableProtect(DWORD protect)
{
    return protect == PAGE_READWRITE || protect == PAGE_EXECUTE_READWRITE;
}

bool executableProtect(DWORD protect)
{
    return protect == PAGE_EXECUTE_READ || protect == PAGE_EXECUTE_READWRITE ||
           protect == PAGE_EXECUTE_WRITECOPY;
}

bool validProtect(DWORD protect)
{
    switch (protect) {
    case PAGE_READONLY: case PAGE_READWRITE: case PAGE_WRITECOPY:
    case PAGE_EXECUTE_READ: case PAGE_EXECUTE_READWRITE: case PAGE_EXECUTE_WRITECOPY:
        return true;
    default:
        return false;
    }
}

HANDLE failNull(DWORD error)
{
    SetLastError(error);
    return nullptr;
}

// A new open file description on the file of `fd` for a mapping: the
// mapping must not share the handle's, whose locks and share markers go
// when the handle is closed.
int reopenForMapping(int fd, bool writable)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    int own = open(path, (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC);
    if (own < 0)
        own = fcntl(fd, F_DUPFD_CLOEXEC, 0);
    return own;
}

// The descriptor and size of a mapping of a file.  Returns -1 with the
// Windows error in *error.
int mappingOfFile(HANDLE file, DWORD protect, uint64_t* size, DWORD* error)
{
    ObjectRef<FileObject> f = fileLookup(file);
    if (!f) {
        *error = ERROR_INVALID_HANDLE;
        return -1;
    }
    if (!f->canRead() || (writableProtect(protect) && !f->canWrite())) {
        *error = ERROR_ACCESS_DENIED;
        return -1;
    }
    struct stat st;
    if (fstat(f->fd(), &st) != 0) {
        *error = kivCompatErrnoToWin32(errno);
        return -1;
    }
    if (!S_ISREG(st.st_mode)) {
        *error = ERROR_INVALID_PARAMETER;
        return -1;
    }
    uint64_t fileSize = static_cast<uint64_t>(st.st_size);
    if (*size == 0) {
        if (fileSize == 0) {
            *error = ERROR_FILE_INVALID; // an empty file cannot be mapped whole
            return -1;
        }
        *size = fileSize;
    } else if (*size > fileSize) {
        // A writable mapping grows the file to its size; a read-only one
        // cannot.
        if (!writableProtect(protect)) {
            *error = ERROR_NOT_ENOUGH_MEMORY;
            return -1;
        }
        if (ftruncate(f->fd(), static_cast<off_t>(*size)) != 0) {
            *error = kivCompatErrnoToWin32(errno);
            return -1;
        }
    }
    int fd = reopenForMapping(f->fd(), writableProtect(protect));
    if (fd < 0)
        *error = kivCompatErrnoToWin32(errno);
    return fd;
}

// Anonymous memory for a mapping without file.
int mappingOfMemory(uint64_t size, DWORD* error)
{
    if (size == 0) {
        *error = ERROR_INVALID_PARAMETER;
        return -1;
    }
    int fd = memfd_create("kivcompat-section", MFD_CLOEXEC);
    if (fd < 0 || ftruncate(fd, static_cast<off_t>(size)) != 0) {
        *error = errno == EFBIG || errno == EINVAL ? ERROR_NOT_ENOUGH_MEMORY
                                                   : kivCompatErrnoToWin32(errno);
        if (fd >= 0)
            close(fd);
        return -1;
    }
    return fd;
}

} // namespace

MappingObject::MappingObject(int fd, uint64_t size, DWORD protect, const std::string& name)
    : KernelObject(ObjectType::Mapping), fd_(fd), size_(size), protect_(protect), name_(name)
{
    struct stat st;
    if (fstat(fd_, &st) == 0 && S_ISREG(st.st_mode)) {
        dev_ = st.st_dev;
        ino_ = st.st_ino;
        LiveMappings& m = liveMappings();
        std::lock_guard<std::mutex> lock(m.mutex);
        m.file.push_back(this);
    }
}

BOOL MappingObject::close()
{
    {
        LiveMappings& m = liveMappings();
        std::lock_guard<std::mutex> lock(m.mutex);
        for (size_t i = 0; i < m.file.size(); ++i) {
            if (m.file[i] == this) {
                m.file.erase(m.file.begin() + static_cast<long>(i));
                break;
            }
        }
    }
    ::close(fd_);
    return TRUE;
}

uint64_t MappingObject::mappedSize(dev_t dev, ino_t ino)
{
    LiveMappings& m = liveMappings();
    std::lock_guard<std::mutex> lock(m.mutex);
    uint64_t largest = 0;
    for (const MappingObject* o : m.file) {
        if (o->dev_ == dev && o->ino_ == ino && o->size_ > largest)
            largest = o->size_;
    }
    return largest;
}

} // namespace kivcompat

using namespace kivcompat;

extern "C" {

HANDLE CreateFileMappingA(HANDLE file, LPSECURITY_ATTRIBUTES security, DWORD protect,
                          DWORD maximumSizeHigh, DWORD maximumSizeLow, LPCSTR name)
{
    (void)security;
    DWORD pageProtect = protect & 0xFFu; // the SEC_* bits change nothing here
    if (!validProtect(pageProtect))
        return failNull(ERROR_INVALID_PARAMETER);
    // Named mappings (shared memory by name) plug in here: look the name up
    // and share the existing object, or create one and enter its name.
    if (name && *name)
        return namedMappingCreate(file, security, pageProtect,
                                  (static_cast<uint64_t>(maximumSizeHigh) << 32) | maximumSizeLow,
                                  name);

    uint64_t size = (static_cast<uint64_t>(maximumSizeHigh) << 32) | maximumSizeLow;
    DWORD err = 0;
    int fd = file == INVALID_HANDLE_VALUE ? mappingOfMemory(size, &err)
                                          : mappingOfFile(file, pageProtect, &size, &err);
    if (fd < 0)
        return failNull(err);
    MappingObject* m = new (std::nothrow) MappingObject(fd, size, pageProtect, std::string());
    if (!m) {
        close(fd);
        return failNull(ERROR_NOT_ENOUGH_MEMORY);
    }
    HANDLE h = handleCreate(m);
    if (h)
        SetLastError(ERROR_SUCCESS);
    return h;
}

LPVOID MapViewOfFileEx(HANDLE mapping, DWORD desiredAccess, DWORD offsetHigh, DWORD offsetLow,
                       SIZE_T bytes, LPVOID baseAddress)
{
    ObjectRef<MappingObject> m = handleLookupAs<MappingObject>(mapping, ObjectType::Mapping);
    if (!m)
        return nullptr;
    uint64_t offset = (static_cast<uint64_t>(offsetHigh) << 32) | offsetLow;
    long page = sysconf(_SC_PAGESIZE);
    if (offset % kViewGranularity != 0 ||
        reinterpret_cast<uintptr_t>(baseAddress) % static_cast<uintptr_t>(page) != 0)
        return failNull(ERROR_MAPPED_ALIGNMENT);

    // The view's kind, as Windows reads the access bits: write wins, then
    // copy, then read.
    int prot, flags;
    if (desiredAccess & FILE_MAP_WRITE) {
        if (!writableProtect(m->protect()))
            return failNull(ERROR_ACCESS_DENIED);
        prot = PROT_READ | PROT_WRITE;
        flags = MAP_SHARED;
    } else if (desiredAccess & FILE_MAP_COPY) {
        prot = PROT_READ | PROT_WRITE;
        flags = MAP_PRIVATE;
    } else if (desiredAccess & FILE_MAP_READ) {
        prot = PROT_READ;
        flags = MAP_SHARED;
    } else {
        return failNull(ERROR_INVALID_PARAMETER);
    }
    if (desiredAccess & FILE_MAP_EXECUTE) {
        if (!executableProtect(m->protect()))
            return failNull(ERROR_ACCESS_DENIED);
        prot |= PROT_EXEC;
    }

    if (offset >= m->size() || bytes > m->size() - offset)
        return failNull(ERROR_ACCESS_DENIED);
    uint64_t length = bytes ? bytes : m->size() - offset;
    if (length > SIZE_MAX)
        return failNull(ERROR_NOT_ENOUGH_MEMORY);

    void* view = mmap(baseAddress, static_cast<size_t>(length), prot,
                      flags | (baseAddress ? MAP_FIXED_NOREPLACE : 0), m->fd(),
                      static_cast<off_t>(offset));
    if (view == MAP_FAILED)
        return failNull(errno == EEXIST ? ERROR_INVALID_ADDRESS
                        : errno == ENOMEM ? ERROR_NOT_ENOUGH_MEMORY
                        : kivCompatErrnoToWin32(errno));
    // A kernel without MAP_FIXED_NOREPLACE takes the base as a hint only.
    if (baseAddress && view != baseAddress) {
        munmap(view, static_cast<size_t>(length));
        return failNull(ERROR_INVALID_ADDRESS);
    }

    ViewTable& t = viewTable();
    try {
        std::lock_guard<std::mutex> lock(t.mutex);
        t.views[reinterpret_cast<uintptr_t>(view)] = View{static_cast<size_t>(length), m.share()};
    } catch (const std::bad_alloc&) {
        munmap(view, static_cast<size_t>(length));
        return failNull(ERROR_NOT_ENOUGH_MEMORY);
    }
    return view;
}

LPVOID MapViewOfFile(HANDLE mapping, DWORD desiredAccess, DWORD offsetHigh, DWORD offsetLow,
                     SIZE_T bytes)
{
    return MapViewOfFileEx(mapping, desiredAccess, offsetHigh, offsetLow, bytes, nullptr);
}

BOOL UnmapViewOfFile(LPCVOID baseAddress)
{
    ViewTable& t = viewTable();
    ObjectRef<MappingObject> mapping; // released after the table's lock
    {
        std::lock_guard<std::mutex> lock(t.mutex);
        auto it = findView(t, baseAddress);
        if (it == t.views.end()) {
            SetLastError(ERROR_INVALID_ADDRESS);
            return FALSE;
        }
        munmap(reinterpret_cast<void*>(it->first), it->second.length);
        mapping = std::move(it->second.mapping);
        t.views.erase(it);
    }
    return TRUE;
}

BOOL FlushViewOfFile(LPCVOID baseAddress, SIZE_T bytes)
{
    ViewTable& t = viewTable();
    std::lock_guard<std::mutex> lock(t.mutex);
    auto it = findView(t, baseAddress);
    if (it == t.views.end()) {
        SetLastError(ERROR_INVALID_ADDRESS);
        return FALSE;
    }
    uintptr_t page = static_cast<uintptr_t>(sysconf(_SC_PAGESIZE));
    uintptr_t from = reinterpret_cast<uintptr_t>(baseAddress) & ~(page - 1);
    uintptr_t viewEnd = it->first + it->second.length;
    uintptr_t to = bytes ? reinterpret_cast<uintptr_t>(baseAddress) + bytes : viewEnd;
    if (to > viewEnd)
        to = viewEnd;
    if (msync(reinterpret_cast<void*>(from), to - from, MS_SYNC) != 0) {
        kivCompatSetLastErrorFromErrno(errno);
        return FALSE;
    }
    return TRUE;
}

} // extern "C"
