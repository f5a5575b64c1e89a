/*
 * kivcompat_security.cpp - SIDs, token contents, OpenProcess, the system's
 * version and shell folders (see kivcompat_security.h for the mappings).
 */
#include "kivcompat_handle.h"
#include "kivcompat_security.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <new>
#include <string>
#include <vector>

using namespace kivcompat;

namespace {

BOOL fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

/* ---- SIDs ---------------------------------------------------------------------- */

const SID_IDENTIFIER_AUTHORITY kWorld = SECURITY_WORLD_SID_AUTHORITY;
const SID_IDENTIFIER_AUTHORITY kNt = SECURITY_NT_AUTHORITY;
const SID_IDENTIFIER_AUTHORITY kLabel = SECURITY_MANDATORY_LABEL_AUTHORITY;
const SID_IDENTIFIER_AUTHORITY kUnix = KIVCOMPAT_UNIX_AUTHORITY;

DWORD sidLength(BYTE subAuthorities) { return 8u + 4u * subAuthorities; }

/* A SID as a value, written into token blocks. */
struct SidValue {
    SID_IDENTIFIER_AUTHORITY authority;
    std::vector<DWORD>       sub;
    DWORD                    attributes;

    DWORD length() const { return sidLength(static_cast<BYTE>(sub.size())); }
    void  writeTo(BYTE* out) const
    {
        SID* sid = reinterpret_cast<SID*>(out);
        sid->Revision = SID_REVISION;
        sid->SubAuthorityCount = static_cast<BYTE>(sub.size());
        sid->IdentifierAuthority = authority;
        memcpy(out + 8, sub.data(), sub.size() * sizeof(DWORD));
    }
};

const DWORD kEnabledGroup = SE_GROUP_MANDATORY | SE_GROUP_ENABLED_BY_DEFAULT | SE_GROUP_ENABLED;

/* ---- The identity of a process --------------------------------------------------- */

struct Identity {
    uid_t              uid = 0;
    gid_t              gid = 0;
    std::vector<gid_t> groups;
};

/* The second number of a "Name:\treal\teffective..." line, or the whole
 * list for "Groups:". */
bool parseStatus(const std::string& text, Identity* id)
{
    bool haveUid = false, haveGid = false;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(at, end - at);
        unsigned long real = 0, effective = 0;
        if (sscanf(line.c_str(), "Uid: %lu %lu", &real, &effective) == 2) {
            id->uid = static_cast<uid_t>(effective);
            haveUid = true;
        } else if (sscanf(line.c_str(), "Gid: %lu %lu", &real, &effective) == 2) {
            id->gid = static_cast<gid_t>(effective);
            haveGid = true;
        } else if (line.compare(0, 7, "Groups:") == 0) {
            const char* p = line.c_str() + 7;
            char* next = nullptr;
            for (unsigned long g = strtoul(p, &next, 10); next != p; g = strtoul(p, &next, 10)) {
                id->groups.push_back(static_cast<gid_t>(g));
                p = next;
            }
        }
        at = end + 1;
    }
    return haveUid && haveGid;
}

DWORD identityOf(pid_t pid, Identity* id)
{
    if (pid == getpid()) {
        id->uid = geteuid();
        id->gid = getegid();
        int n = getgroups(0, nullptr);
        if (n > 0) {
            id->groups.resize(static_cast<size_t>(n));
            n = getgroups(n, id->groups.data());
            id->groups.resize(n > 0 ? static_cast<size_t>(n) : 0);
        }
        return ERROR_SUCCESS;
    }
    char path[64];
    snprintf(path, sizeof path, "/proc/%ld/status", static_cast<long>(pid));
    FILE* f = fopen(path, "re");
    if (!f)
        return errno == ENOENT ? ERROR_INVALID_HANDLE : kivCompatErrnoToWin32(errno);
    std::string text;
    char buf[1024];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        text.append(buf, n);
    fclose(f);
    return parseStatus(text, id) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

DWORD integrityOf(const Identity& id)
{
    return id.uid == 0 ? SECURITY_MANDATORY_HIGH_RID : SECURITY_MANDATORY_MEDIUM_RID;
}

SidValue userSid(const Identity& id)
{
    return SidValue{kUnix, {KIVCOMPAT_UNIX_USER_RID, static_cast<DWORD>(id.uid)}, 0};
}

SidValue groupSid(gid_t gid, DWORD attributes)
{
    return SidValue{kUnix, {KIVCOMPAT_UNIX_GROUP_RID, static_cast<DWORD>(gid)}, attributes};
}

SidValue labelSid(const Identity& id)
{
    return SidValue{kLabel, {integrityOf(id)}, SE_GROUP_INTEGRITY | SE_GROUP_INTEGRITY_ENABLED};
}

/* The token's groups in the order Windows lists them: the user's groups,
 * the well-known ones, Administrators for the superuser, the label. */
std::vector<SidValue> groupsOf(const Identity& id)
{
    std::vector<SidValue> groups;
    groups.push_back(groupSid(id.gid, kEnabledGroup));
    for (gid_t g : id.groups) {
        if (g != id.gid)
            groups.push_back(groupSid(g, kEnabledGroup));
    }
    groups.push_back(SidValue{kWorld, {SECURITY_WORLD_RID}, kEnabledGroup});
    groups.push_back(SidValue{kNt, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_USERS},
                              kEnabledGroup});
    groups.push_back(SidValue{kNt, {SECURITY_AUTHENTICATED_USER_RID}, kEnabledGroup});
    if (id.uid == 0)
        groups.push_back(SidValue{kNt, {SECURITY_BUILTIN_DOMAIN_RID, DOMAIN_ALIAS_RID_ADMINS},
                                  kEnabledGroup | SE_GROUP_OWNER});
    groups.push_back(labelSid(id));
    return groups;
}

/* ---- Token blocks ------------------------------------------------------------------
 * A block is a fixed head followed by the SIDs it points to, as Windows
 * lays it out, so that the caller may copy or free it as one piece. */

BOOL tooSmall(DWORD needed, DWORD given, PDWORD returnLength, bool fixedSize)
{
    (void)given;
    *returnLength = needed;
    return fail(fixedSize ? ERROR_BAD_LENGTH : ERROR_INSUFFICIENT_BUFFER);
}

/* Writes `head` bytes of head (already filled by the caller except for SID
 * pointers) and the SIDs; `pointers[i]` receives the address of SID i. */
BOOL writeBlock(const std::vector<SidValue>& sids, DWORD head, LPVOID info, DWORD infoLength,
                PDWORD returnLength, const std::vector<PSID*>& pointers)
{
    DWORD needed = head;
    for (const SidValue& s : sids)
        needed += s.length();
    if (!info || infoLength < needed)
        return tooSmall(needed, infoLength, returnLength, false);
    BYTE* out = static_cast<BYTE*>(info) + head;
    for (size_t i = 0; i < sids.size(); ++i) {
        sids[i].writeTo(out);
        *pointers[i] = out;
        out += sids[i].length();
    }
    *returnLength = needed;
    return TRUE;
}

BOOL sidAndAttributesBlock(const SidValue& sid, LPVOID info, DWORD infoLength,
                           PDWORD returnLength)
{
    DWORD head = sizeof(SID_AND_ATTRIBUTES);
    if (!info || infoLength < head + sid.length())
        return tooSmall(head + sid.length(), infoLength, returnLength, false);
    SID_AND_ATTRIBUTES* entry = static_cast<SID_AND_ATTRIBUTES*>(info);
    entry->Attributes = sid.attributes;
    return writeBlock({sid}, head, info, infoLength, returnLength, {&entry->Sid});
}

BOOL groupsBlock(const std::vector<SidValue>& groups, LPVOID info, DWORD infoLength,
                 PDWORD returnLength)
{
    DWORD head = static_cast<DWORD>(offsetof(TOKEN_GROUPS, Groups) +
                                    groups.size() * sizeof(SID_AND_ATTRIBUTES));
    DWORD needed = head;
    for (const SidValue& s : groups)
        needed += s.length();
    if (!info || infoLength < needed)
        return tooSmall(needed, infoLength, returnLength, false);
    TOKEN_GROUPS* block = static_cast<TOKEN_GROUPS*>(info);
    block->GroupCount = static_cast<DWORD>(groups.size());
    std::vector<PSID*> pointers;
    for (size_t i = 0; i < groups.size(); ++i) {
        block->Groups[i].Attributes = groups[i].attributes;
        pointers.push_back(&block->Groups[i].Sid);
    }
    return writeBlock(groups, head, info, infoLength, returnLength, pointers);
}

BOOL dwordBlock(DWORD value, LPVOID info, DWORD infoLength, PDWORD returnLength)
{
    if (!info || infoLength < sizeof value)
        return tooSmall(sizeof value, infoLength, returnLength, true);
    memcpy(info, &value, sizeof value);
    *returnLength = sizeof value;
    return TRUE;
}

/* ---- Processes -------------------------------------------------------------------- */

/* A process named by OpenProcess. */
class ProcessQueryObject : public KernelObject {
public:
    explicit ProcessQueryObject(pid_t id) : KernelObject(ObjectType::Process), pid(id) {}
    const pid_t pid;
};

bool processExists(pid_t pid) { return kill(pid, 0) == 0 || errno == EPERM; }

bool kernelIs64Bit()
{
    struct utsname u;
    return uname(&u) == 0 && strcmp(u.machine, "x86_64") == 0;
}

/* Whether the program of a process is a 32-bit ELF file. */
bool program32Bit(pid_t pid, bool* is32)
{
    if (pid == getpid()) {
        *is32 = sizeof(void*) == 4;
        return true;
    }
    char path[64];
    snprintf(path, sizeof path, "/proc/%ld/exe", static_cast<long>(pid));
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    unsigned char ident[5] = {0};
    bool ok = read(fd, ident, sizeof ident) == static_cast<ssize_t>(sizeof ident);
    close(fd);
    *is32 = ok && ident[4] == 1;  // ELFCLASS32
    return ok;
}

/* ---- Version ---------------------------------------------------------------------- */

const DWORD kMajor = 5, kMinor = 1, kBuild = 2600;

void fillVersion(OSVERSIONINFOEXA* v, bool extended)
{
    v->dwMajorVersion = kMajor;
    v->dwMinorVersion = kMinor;
    v->dwBuildNumber = kBuild;
    v->dwPlatformId = VER_PLATFORM_WIN32_NT;
    memset(v->szCSDVersion, 0, sizeof v->szCSDVersion);
    struct utsname u;
    if (uname(&u) == 0) {
        // The kernel's name and release, cut to the field.
        std::string kernel = std::string(u.sysname) + " " + u.release;
        memcpy(v->szCSDVersion, kernel.c_str(),
               std::min(kernel.size(), sizeof v->szCSDVersion - 1));
    }
    if (extended) {
        v->wServicePackMajor = 0;
        v->wServicePackMinor = 0;
        v->wSuiteMask = 0;
        v->wProductType = VER_NT_WORKSTATION;
        v->wReserved = 0;
    }
}

/* The condition recorded for one type bit (3 bits per type, in bit order). */
BYTE conditionOf(ULONGLONG mask, DWORD typeBit)
{
    unsigned index = 0;
    while (typeBit > 1) {
        typeBit >>= 1;
        ++index;
    }
    return static_cast<BYTE>((mask >> (3 * index)) & 7);
}

bool compareValues(uint64_t have, uint64_t want, BYTE condition)
{
    switch (condition) {
    case VER_EQUAL:         return have == want;
    case VER_GREATER:       return have > want;
    case VER_GREATER_EQUAL: return have >= want;
    case VER_LESS:          return have < want;
    case VER_LESS_EQUAL:    return have <= want;
    default:                return false;
    }
}

/* Major, minor and service pack compare as one number, with the condition
 * of the most significant part asked for, as Windows does. */
bool versionMatches(const OSVERSIONINFOEXA& have, const OSVERSIONINFOEXA& want, DWORD typeMask,
                    ULONGLONG mask)
{
    static const DWORD kParts[] = {VER_MAJORVERSION, VER_MINORVERSION, VER_SERVICEPACKMAJOR,
                                   VER_SERVICEPACKMINOR};
    const uint64_t haveParts[] = {have.dwMajorVersion, have.dwMinorVersion,
                                  have.wServicePackMajor, have.wServicePackMinor};
    const uint64_t wantParts[] = {want.dwMajorVersion, want.dwMinorVersion,
                                  want.wServicePackMajor, want.wServicePackMinor};
    uint64_t h = 0, w = 0;
    BYTE condition = 0;
    for (int i = 0; i < 4; ++i) {
        if (!(typeMask & kParts[i]))
            continue;
        if (condition == 0)
            condition = conditionOf(mask, kParts[i]);
        h = (h << 16) | (haveParts[i] & 0xFFFF);
        w = (w << 16) | (wantParts[i] & 0xFFFF);
    }
    return condition == 0 || compareValues(h, w, condition);
}

bool suiteMatches(WORD have, WORD want, BYTE condition)
{
    if (condition == VER_AND)
        return (have & want) == want;
    if (condition == VER_OR)
        return (have & want) != 0;
    return false;
}

/* ---- Shell folders ---------------------------------------------------------------- */

std::string homeDirectory()
{
    const char* home = getenv("HOME");
    return home && *home ? home : "/";
}

std::string xdgDirectory(const char* variable, const char* fallback)
{
    const char* value = getenv(variable);
    if (value && *value == '/')
        return value;
    return homeDirectory() + fallback;
}

bool folderPath(int folder, std::string* path)
{
    switch (folder) {
    case CSIDL_COMMON_APPDATA: *path = "/var/lib"; return true;
    case CSIDL_APPDATA:        *path = xdgDirectory("XDG_CONFIG_HOME", "/.config"); return true;
    case CSIDL_LOCAL_APPDATA:  *path = xdgDirectory("XDG_DATA_HOME", "/.local/share"); return true;
    case CSIDL_PROFILE:        *path = homeDirectory(); return true;
    default:                   return false;
    }
}

bool makeDirectories(const std::string& path)
{
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at < path.size() && path[at] != '/')
            continue;
        std::string part = path.substr(0, at);
        if (mkdir(part.c_str(), 0755) != 0 && errno != EEXIST)
            return false;
    }
    return true;
}

} // namespace

/* ---- Internal ------------------------------------------------------------------------ */

namespace kivcompat {

bool processIdOf(HANDLE process, pid_t* pid)
{
    if (process == GetCurrentProcess()) {
        *pid = getpid();
        return true;
    }
    ObjectRef<KernelObject> object = handleLookup(process);
    ProcessQueryObject* query = dynamic_cast<ProcessQueryObject*>(object.get());
    if (!query)
        return fail(ERROR_INVALID_HANDLE);
    *pid = query->pid;
    return true;
}

pid_t tokenOwnerOf(HANDLE process)
{
    pid_t pid = 0;
    DWORD saved = GetLastError();
    if (!processIdOf(process, &pid))
        pid = getpid();  // a child: it carries the identity it inherited
    SetLastError(saved);
    return pid;
}

BOOL tokenInformation(pid_t pid, TOKEN_INFORMATION_CLASS infoClass, LPVOID info,
                      DWORD infoLength, PDWORD returnLength)
{
    try {
        Identity id;
        DWORD err = identityOf(pid, &id);
        if (err != ERROR_SUCCESS)
            return fail(err);
        switch (infoClass) {
        case TokenUser:
            return sidAndAttributesBlock(userSid(id), info, infoLength, returnLength);
        case TokenGroups:
            return groupsBlock(groupsOf(id), info, infoLength, returnLength);
        case TokenPrimaryGroup: {
            SidValue group = groupSid(id.gid, 0);
            DWORD head = sizeof(TOKEN_PRIMARY_GROUP);
            if (!info || infoLength < head + group.length())
                return tooSmall(head + group.length(), infoLength, returnLength, false);
            TOKEN_PRIMARY_GROUP* block = static_cast<TOKEN_PRIMARY_GROUP*>(info);
            return writeBlock({group}, head, info, infoLength, returnLength,
                              {&block->PrimaryGroup});
        }
        case TokenIntegrityLevel:
            return sidAndAttributesBlock(labelSid(id), info, infoLength, returnLength);
        case TokenElevation:
            return dwordBlock(id.uid == 0 ? 1u : 0u, info, infoLength, returnLength);
        case TokenElevationType:
            return dwordBlock(TokenElevationTypeDefault, info, infoLength, returnLength);
        default:
            return fail(ERROR_INVALID_PARAMETER);
        }
    } catch (const std::bad_alloc&) {
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
}

} // namespace kivcompat

extern "C" {

/* ---- SIDs --------------------------------------------------------------------------- */

BOOL AllocateAndInitializeSid(PSID_IDENTIFIER_AUTHORITY authority, BYTE count, DWORD sub0,
                              DWORD sub1, DWORD sub2, DWORD sub3, DWORD sub4, DWORD sub5,
                              DWORD sub6, DWORD sub7, PSID* sid)
{
    if (!authority || !sid || count == 0 || count > 8)
        return fail(ERROR_INVALID_PARAMETER);
    SID* out = static_cast<SID*>(malloc(sidLength(count)));
    if (!out)
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    const DWORD subs[8] = {sub0, sub1, sub2, sub3, sub4, sub5, sub6, sub7};
    out->Revision = SID_REVISION;
    out->SubAuthorityCount = count;
    out->IdentifierAuthority = *authority;
    memcpy(reinterpret_cast<BYTE*>(out) + 8, subs, count * sizeof(DWORD));
    *sid = out;
    return TRUE;
}

PVOID FreeSid(PSID sid)
{
    free(sid);
    return nullptr;
}

BOOL IsValidSid(PSID sid)
{
    const SID* s = static_cast<const SID*>(sid);
    return s && s->Revision == SID_REVISION && s->SubAuthorityCount <= SID_MAX_SUB_AUTHORITIES;
}

DWORD GetLengthSid(PSID sid)
{
    if (!IsValidSid(sid)) {
        SetLastError(ERROR_INVALID_SID);
        return 0;
    }
    return sidLength(static_cast<const SID*>(sid)->SubAuthorityCount);
}

BOOL EqualSid(PSID a, PSID b)
{
    if (!IsValidSid(a) || !IsValidSid(b))
        return fail(ERROR_INVALID_SID);
    DWORD length = GetLengthSid(a);
    SetLastError(ERROR_SUCCESS);
    return length == GetLengthSid(b) && memcmp(a, b, length) == 0;
}

BOOL CopySid(DWORD length, PSID destination, PSID source)
{
    DWORD needed = GetLengthSid(source);
    if (needed == 0)
        return FALSE;
    if (!destination || length < needed)
        return fail(ERROR_INSUFFICIENT_BUFFER);
    memcpy(destination, source, needed);
    return TRUE;
}

PDWORD GetSidSubAuthority(PSID sid, DWORD index)
{
    SetLastError(ERROR_SUCCESS);
    return reinterpret_cast<PDWORD>(static_cast<BYTE*>(sid) + 8 + 4 * index);
}

BYTE* GetSidSubAuthorityCount(PSID sid)
{
    SetLastError(ERROR_SUCCESS);
    return &static_cast<SID*>(sid)->SubAuthorityCount;
}

PSID_IDENTIFIER_AUTHORITY GetSidIdentifierAuthority(PSID sid)
{
    SetLastError(ERROR_SUCCESS);
    return &static_cast<SID*>(sid)->IdentifierAuthority;
}

BOOL CheckTokenMembership(HANDLE token, PSID sid, PBOOL isMember)
{
    if (!isMember || !IsValidSid(sid))
        return fail(ERROR_INVALID_PARAMETER);
    std::vector<BYTE> block;
    DWORD length = 0;
    if (token == nullptr) {
        if (!tokenInformation(getpid(), TokenGroups, nullptr, 0, &length) &&
            GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            return FALSE;
        block.resize(length);
        if (!tokenInformation(getpid(), TokenGroups, block.data(), length, &length))
            return FALSE;
    } else {
        if (!GetTokenInformation(token, TokenGroups, nullptr, 0, &length) &&
            GetLastError() != ERROR_INSUFFICIENT_BUFFER)
            return FALSE;
        block.resize(length);
        if (!GetTokenInformation(token, TokenGroups, block.data(), length, &length))
            return FALSE;
    }
    const TOKEN_GROUPS* groups = reinterpret_cast<const TOKEN_GROUPS*>(block.data());
    *isMember = FALSE;
    for (DWORD i = 0; i < groups->GroupCount; ++i) {
        if ((groups->Groups[i].Attributes & SE_GROUP_ENABLED) &&
            EqualSid(groups->Groups[i].Sid, sid))
            *isMember = TRUE;
    }
    return TRUE;
}

/* ---- Processes ------------------------------------------------------------------------ */

HANDLE OpenProcess(DWORD desiredAccess, BOOL inheritHandle, DWORD processId)
{
    (void)inheritHandle;
    pid_t pid = static_cast<pid_t>(processId);
    if (processId == 0 || pid < 0 || !processExists(pid)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    const DWORD limited = PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE;
    if ((desiredAccess & ~limited) != 0 && geteuid() != 0 && pid != getpid()) {
        Identity id;
        if (identityOf(pid, &id) != ERROR_SUCCESS || id.uid != geteuid()) {
            SetLastError(ERROR_ACCESS_DENIED);
            return nullptr;
        }
    }
    ProcessQueryObject* object = new (std::nothrow) ProcessQueryObject(pid);
    if (!object) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return handleCreate(object);
}

BOOL IsWow64Process(HANDLE process, PBOOL wow64)
{
    pid_t pid = 0;
    if (!wow64)
        return fail(ERROR_INVALID_PARAMETER);
    if (!processIdOf(process, &pid))
        return FALSE;
    bool is32 = false;
    if (!program32Bit(pid, &is32))
        return fail(ERROR_ACCESS_DENIED);
    *wow64 = is32 && kernelIs64Bit();
    return TRUE;
}

void GetNativeSystemInfo(LPSYSTEM_INFO info)
{
    GetSystemInfo(info);
    if (info && kernelIs64Bit()) {
        info->wProcessorArchitecture = PROCESSOR_ARCHITECTURE_AMD64;
        // A 32-bit process on a 64-bit kernel has all 4 GB but the last
        // page, as a large-address-aware program under WOW64 has.
        if (sizeof(void*) == 4)
            info->lpMaximumApplicationAddress =
                reinterpret_cast<LPVOID>(static_cast<uintptr_t>(0xFFFEFFFFu));
    }
}

/* ---- Version ---------------------------------------------------------------------------- */

BOOL GetVersionExA(LPOSVERSIONINFOA info)
{
    if (!info)
        return fail(ERROR_INVALID_PARAMETER);
    bool extended = info->dwOSVersionInfoSize == sizeof(OSVERSIONINFOEXA);
    if (!extended && info->dwOSVersionInfoSize != sizeof(OSVERSIONINFOA))
        return fail(ERROR_INSUFFICIENT_BUFFER);
    fillVersion(reinterpret_cast<OSVERSIONINFOEXA*>(info), extended);
    return TRUE;
}

ULONGLONG VerSetConditionMask(ULONGLONG conditionMask, DWORD typeMask, BYTE condition)
{
    for (unsigned index = 0; index < 8; ++index) {
        if (typeMask & (1u << index)) {
            conditionMask &= ~(static_cast<ULONGLONG>(7) << (3 * index));
            conditionMask |= static_cast<ULONGLONG>(condition & 7) << (3 * index);
        }
    }
    return conditionMask;
}

BOOL VerifyVersionInfoA(LPOSVERSIONINFOEXA info, DWORD typeMask, ULONGLONG conditionMask)
{
    if (!info || typeMask == 0 || conditionMask == 0)
        return fail(ERROR_INVALID_PARAMETER);
    OSVERSIONINFOEXA have;
    memset(&have, 0, sizeof have);
    fillVersion(&have, true);
    bool ok = versionMatches(have, *info, typeMask, conditionMask);
    if (typeMask & VER_BUILDNUMBER)
        ok = ok && compareValues(have.dwBuildNumber, info->dwBuildNumber,
                                 conditionOf(conditionMask, VER_BUILDNUMBER));
    if (typeMask & VER_PLATFORMID)
        ok = ok && compareValues(have.dwPlatformId, info->dwPlatformId,
                                 conditionOf(conditionMask, VER_PLATFORMID));
    if (typeMask & VER_PRODUCT_TYPE)
        ok = ok && compareValues(have.wProductType, info->wProductType,
                                 conditionOf(conditionMask, VER_PRODUCT_TYPE));
    if (typeMask & VER_SUITENAME)
        ok = ok && suiteMatches(have.wSuiteMask, info->wSuiteMask,
                                conditionOf(conditionMask, VER_SUITENAME));
    return ok ? TRUE : fail(ERROR_OLD_WIN_VERSION);
}

/* ---- Shell folders -------------------------------------------------------------------------- */

HRESULT SHGetFolderPathA(HWND owner, int folder, HANDLE token, DWORD flags, LPSTR path)
{
    (void)owner, (void)token;
    std::string value;
    if (!path || !folderPath(folder & 0xFF, &value))
        return E_INVALIDARG;
    if (value.size() >= MAX_PATH)
        return E_FAIL;
    struct stat st;
    bool exists = stat(value.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    if (!exists && (folder & CSIDL_FLAG_CREATE)) {
        if (!makeDirectories(value))
            return HRESULT_FROM_WIN32(kivCompatErrnoToWin32(errno));
    } else if (!exists && flags == SHGFP_TYPE_CURRENT) {
        return HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND);
    }
    memcpy(path, value.c_str(), value.size() + 1);
    return S_OK;
}

} // extern "C"
