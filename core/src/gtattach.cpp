/*
 * gtattach.cpp - attaching a trace control block by its name: the shared
 * memory a controlling program created for it is mapped for the rest of the
 * process's life, and the block is attached there.  When the environment
 * variable KIV_TRACE_NAME names a block, the library does this itself while
 * it is being loaded, so that a host traces without a line of code.
 */
#include "gtattach.h"

#include <stdlib.h>
#include <string.h>

#include "gptrace.h"
#include "kivecf.h"
#include "kivlatch.h"
#include "kivprocess.h"
#include "kivinternal.h"
#include "kivstring.h"

namespace {

const char kNamePrefix[] = "kivtrace.";

/* The mapping of the attached named block.  Plain zero-initialised
 * statics: the attach at load runs while the library is being loaded. */
KIVLatch g_namedLatch;
HANDLE g_namedHandle;
void* g_namedAddress;
char g_namedName[GTRACE_MAX_NAME + 1];

bool validName(const char* name)
{
    if (name == nullptr || *name == '\0')
        return false;
    const size_t length = strnlen(name, GTRACE_MAX_NAME + 1);
    return length <= GTRACE_MAX_NAME && memchr(name, '\\', length) == nullptr;
}

/* The bytes a complete block of these options takes. */
Uint64 blockBytes(const GtraceOptions& options)
{
    const Uint32 kind = options.traceKind & GTRACE_KIND_SELECT;
    if (kind == GTRACE_KIND_PROFILE || kind == GTRACE_KIND_GCTRACE)
        return static_cast<Uint64>(GTRACE_HEADER_SIZE) + options.bufferSize;
    return gtraceGetAllocSize(options.bufferSize);
}

/* Is the mapped memory a whole, initialised control block? */
Uint32 checkBlock(KIVHIPCMemory& memory)
{
    Uint32 size = 0;
    Uint32 rc = memory.getMemorySize(&size);
    if (rc != 0)
        return rc;
    if (size < GTRACE_HEADER_SIZE)
        return ECF_GTRACE_NOT_INITIALIZED;
    const GTCB* block = static_cast<const GTCB*>(memory.address);
    const Uint64 needed = blockBytes(block->options);
    if (block->initialized == 0 || needed == 0 || needed > size)
        return ECF_GTRACE_NOT_INITIALIZED;
    return 0;
}

class NamedLock {
public:
    NamedLock() { g_namedLatch.get(); }
    ~NamedLock() { g_namedLatch.release(); }
    NamedLock(const NamedLock&) = delete;
    NamedLock& operator=(const NamedLock&) = delete;
};

Uint32 attachLocked(const char* name)
{
    // The same name again attaches the block again (a gtraceDetach may
    // have come in between); another name would leave the first mapped.
    if (g_namedAddress != nullptr) {
        if (strcmp(g_namedName, name) != 0)
            return ECF_INVALID_INVOCATION_SEQUENCE;
        return gtraceAttach(static_cast<GTCB*>(g_namedAddress), kivProcessID(), nullptr, nullptr,
                            nullptr);
    }
    KIVIPCResID id;
    Uint32 rc = gtraceNamedResID(name, &id);
    if (rc != 0)
        return rc;
    KIVHIPCMemory memory;
    rc = memory.attach(&id, nullptr);
    if (rc != 0)
        return rc;
    rc = checkBlock(memory);
    if (rc == 0)
        rc = gtraceAttach(static_cast<GTCB*>(memory.address), kivProcessID(), nullptr, nullptr,
                          nullptr);
    if (rc != 0) {
        memory.detach();
        return rc;
    }
    g_namedHandle = memory.handle;
    g_namedAddress = memory.address;
    kivSnprintf(g_namedName, sizeof g_namedName, "%s", name);
    return 0;
}

} // namespace

/* The attach at load: a name in the environment is a request, not a
 * condition of loading, so a failure only leaves the process untraced. */
void kivTraceProcessInit()
{
    const char* name = getenv(GTRACE_NAME_VARIABLE);
    if (name != nullptr && *name != '\0')
        (void)gtraceAttachNamed(name);
}

extern "C" {

Uint32 gtraceNamedResID(const char* name, KIVIPCResID* out)
{
    if (!validName(name) || out == nullptr)
        return ECF_INVALID_PARAMETER;
    kivSnprintf(out->name, sizeof out->name, "%s%s", kNamePrefix, name);
    return 0;
}

Uint32 gtraceAttachNamed(const char* name)
{
    if (!validName(name))
        return ECF_INVALID_PARAMETER;
    NamedLock hold;
    return attachLocked(name);
}

Uint32 gtraceDetachNamed(void)
{
    NamedLock hold;
    if (g_namedAddress == nullptr)
        return 0;
    if (g_pGTCB == static_cast<GTCB*>(g_namedAddress))
        gtraceDetach();
    KIVHIPCMemory memory;
    memory.handle = g_namedHandle;
    memory.address = g_namedAddress;
    Uint32 rc = memory.detach();
    g_namedHandle = nullptr;
    g_namedAddress = nullptr;
    g_namedName[0] = '\0';
    return rc;
}

} // extern "C"
