/*
 * kivipcres.cpp - kernel object names of the IPC objects and the security
 * attributes they are created with.
 *
 * A caller describes an object as on systems with keyed IPC (a path and a
 * small integer); the name is the fixed stem "KIVEIPC", the integer and the
 * path without its ':' and '\' characters, behind a prefix that picks the
 * kernel name space: a private namespace when one is given and the system
 * has them, "Global\" on systems with terminal services (so that every
 * session meets the same object), none otherwise or when the caller asks
 * for a session-local object.
 */
#include <string.h>

#include <atomic>

#include "kivframe.h"
#include "kivipc.h"
#include "kivos.h"
#include "kivsecurity.h"
#include "kivstring.h"

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(KIVIPCGetResIDParam) == 6 * 4, "KIVIPCGetResIDParam is six words");
static_assert(offsetof(KIVIPCGetResIDParam, localOnly) == 16, "KIVIPCGetResIDParam layout");
static_assert(sizeof(SECURITY_ATTRIBUTES) == 12, "SECURITY_ATTRIBUTES is 12 bytes");
#endif
static_assert(offsetof(KIVIPCResID, name) == 4, "the name follows the version word");
static_assert(sizeof(KIVIPCResID) == 268, "a version word and 261 bytes, padded to words");
static_assert(sizeof(KIVIPCQueResID) == 4 + 3 * 268, "KIVIPCQueResID is three names");

/* ---- parameter objects ------------------------------------------------------ */

KIVIPCResID::KIVIPCResID() : version(KIV_VERSION_CURRENT)
{
    memset(name, 0, sizeof name);
}

KIVIPCQueResID::KIVIPCQueResID() : version(KIV_VERSION_CURRENT) {}

KIVIPCGetResIDParam::KIVIPCGetResIDParam()
    : version(KIV_VERSION_CURRENT), path(nullptr), id(0), seed(0), localOnly(false),
      namespacePrefix(nullptr)
{
}

KIVIPCSecurityParam::KIVIPCSecurityParam() : version(KIV_VERSION_CURRENT), securityData(nullptr)
{
}

/* ---- platform -------------------------------------------------------------- */

namespace {

/* The platform facts the names depend on are the flags fixed at load: private
 * object namespaces exist from Vista on, and with terminal services objects
 * go to Global\ so that every session meets the same one.  The POSIX subset
 * reports neither (one name space for the whole machine, no private
 * namespaces): names carry no prefix there, and a namespace prefix is
 * ignored as on a system older than Vista. */
bool haveNamespaces() { return g_bIsPlatformID_Vista != 0; }
/* The remote-admin flag is the one that decides: the load-time probe sets
 * it together with the plain terminal-service flag, but a host may set the
 * two apart. */
bool haveTerminalService() { return g_bRunningTerminalServiceRemoteAdminMode != 0; }

const Uint32 kNameChars = KIV_IPC_NAME_SIZE - 1;

/* The prefix part of a name: "<namespace>\KIVEIPC<id>", "Global\KIVEIPC<id>"
 * or "KIVEIPC<id>".  Returns its length. */
Uint32 formPrefix(char* name, Sint32 id, bool localOnly, const char* namespacePrefix)
{
    if (namespacePrefix && haveNamespaces())
        return kivSnprintf(name, KIV_IPC_NAME_SIZE, "%s\\KIVEIPC%d", namespacePrefix, (int)id);
    if (!localOnly && haveTerminalService())
        return kivSnprintf(name, KIV_IPC_NAME_SIZE, "Global\\KIVEIPC%d", (int)id);
    return kivSnprintf(name, KIV_IPC_NAME_SIZE, "KIVEIPC%d", (int)id);
}

/* The process-wide override of the security attributes. */
std::atomic<SECURITY_ATTRIBUTES*> g_securityOverride{nullptr};

} // namespace

/* ---- names ------------------------------------------------------------------ */

Uint32 kivIPCGetResID(const KIVIPCGetResIDParam* description, KIVIPCResID* out)
{
    KIVFrame f(KIVFN_KIVIPCGETRESID);
    Uint32 rc;
    if (!f.checkParam(out, rc))
        return rc;
    if (description == nullptr)
        return f.nullParam();
    f.dataOf(10, *description);

    // Later fields count only when the caller's identifier is new enough to
    // have been built with them.
    bool localOnly = out->version >= KIV_VERSION_IPC_LOCALONLY && description->localOnly;
    const char* prefix =
        out->version >= KIV_VERSION_IPC_NAMESPACE ? description->namespacePrefix : nullptr;

    memset(out->name, 0, sizeof out->name);
    if (description->path == nullptr)
        return f.ok();
    Uint32 n = formPrefix(out->name, description->id, localOnly, prefix);
    for (const char* p = description->path; *p && n < kNameChars; ++p) {
        if (*p != ':' && *p != '\\')
            out->name[n++] = *p;
    }
    out->name[n] = '\0';
    f.data(20, out->name, n + 1);
    return f.ok();
}

Uint32 kivIPCGetQueResID(const KIVIPCGetResIDParam* description, KIVIPCQueResID* out)
{
    KIVFrame f(KIVFN_KIVIPCGETQUERESID);
    Uint32 rc;
    if (!f.checkParam(out, rc))
        return rc;
    if (description == nullptr)
        return f.nullParam();

    KIVIPCGetResIDParam each;
    each.path = description->path;
    each.seed = description->seed;
    if (out->version >= KIV_VERSION_IPC_LOCALONLY)
        each.localOnly = description->localOnly;
    if (out->version >= KIV_VERSION_IPC_NAMESPACE)
        each.namespacePrefix = description->namespacePrefix;
    KIVIPCResID* ids[3] = {&out->memory, &out->dataSemaphore, &out->spaceSemaphore};
    for (Sint32 i = 0; i < 3; ++i) {
        each.id = description->id + i;
        rc = kivIPCGetResID(&each, ids[i]);
        if (rc != 0)
            return f.calledFailed(KIVFN_KIVIPCGETRESID, rc, rc, 10 * (Uint32)(i + 1), 1,
                                  KIVLOG_SINT(each.id));
    }
    return f.ok();
}

Uint32 kivIPCGenerateSeed(void)
{
    KIVFrame f(KIVFN_KIVIPCGENERATESEED);
    return f.ret(ECF_NOT_SUPPORTED);
}

/* ---- security attributes ------------------------------------------------------ */

SECURITY_ATTRIBUTES* kivSetSecurityAttributesForKIV(SECURITY_ATTRIBUTES* attributes)
{
    g_securityOverride.store(attributes, std::memory_order_release);
    return attributes;
}

Uint32 kivInitSecurityAttributes2(SECURITY_ATTRIBUTES* attributes, SECURITY_DESCRIPTOR* descriptor)
{
    KIVFrame f(KIVFN_KIVINITSECURITYATTRIBUTES2);
    if (attributes == nullptr)
        return f.nullParam();
    SECURITY_ATTRIBUTES* installed = g_securityOverride.load(std::memory_order_acquire);
    if (installed != nullptr) {
        *attributes = *installed;
        return f.ok();
    }
    if (descriptor == nullptr)
        return f.nullParam();
    if (!InitializeSecurityDescriptor(descriptor, SECURITY_DESCRIPTOR_REVISION)) {
        DWORD err = GetLastError();
        return f.sysError(KIVOSFN_INITIALIZESECURITYDESCRIPTOR, err, 10, nullptr);
    }
    // A present DACL that is null: every user may use the object, so that
    // processes of other users and services meet it.
    if (!SetSecurityDescriptorDacl(descriptor, TRUE, nullptr, FALSE)) {
        DWORD err = GetLastError();
        return f.sysError(KIVOSFN_SETSECURITYDESCRIPTORDACL, err, 20, nullptr);
    }
    attributes->nLength = sizeof *attributes;
    attributes->lpSecurityDescriptor = descriptor;
    attributes->bInheritHandle = TRUE;
    return f.ok();
}
