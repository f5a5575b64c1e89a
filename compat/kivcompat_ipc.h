/*
 * kivcompat_ipc.h - named kernel objects of the Win32 subset: page-file
 * sections found by name, semaphores and events, the security descriptors
 * they are created with, and the memory query that sizes a view.
 *
 * Names.  Windows keeps one name space per session, reached through the
 * "Local\" prefix, and a machine-wide one behind "Global\".  A POSIX system
 * has no sessions, so both prefixes are dropped and every process of the
 * machine meets every other in one name space: "Global\x", "Local\x" and
 * "x" name the same object.  Any other backslash in a name would point into
 * a private namespace, which this subset does not have: such names fail
 * with ERROR_PATH_NOT_FOUND, as they do on Windows while the namespace has
 * not been created.  Comparison is case-sensitive, as on Windows.
 *
 * All kinds of named object share the name space: creating or opening one
 * kind under a name another kind holds fails with ERROR_INVALID_HANDLE.
 * CreateX on a name in use hands out the existing object and sets
 * ERROR_ALREADY_EXISTS (183); OpenX on a missing name fails with
 * ERROR_FILE_NOT_FOUND (2).  An object lives while some process holds a
 * handle on it (for a section: a handle or a view); the last one to let go
 * removes it.  A process that ends without closing its handles stops
 * counting as soon as another process opens or closes the object.  One
 * difference: Windows takes a section's name away with its last handle,
 * even while views remain; here the name goes with the last view.
 */
#ifndef KIVCOMPAT_IPC_H
#define KIVCOMPAT_IPC_H

#include "kivcompat.h"

typedef LONG* LPLONG;

/* ---- Security descriptors ------------------------------------------------
 * Only the discretionary ACL's presence is interpreted: an object created
 * with a present but null DACL (every user has full access) is open to all
 * users of the machine; any other object to its creator's user alone. */
#define SECURITY_DESCRIPTOR_REVISION   1u
#define SECURITY_DESCRIPTOR_MIN_LENGTH ((DWORD)sizeof(SECURITY_DESCRIPTOR))
#define SE_DACL_PRESENT                0x0004u
#define SE_DACL_DEFAULTED              0x0008u
#define ERROR_UNKNOWN_REVISION         1305u

typedef struct _ACL {
    BYTE AclRevision;
    BYTE Sbz1;
    WORD AclSize;
    WORD AceCount;
    WORD Sbz2;
} ACL, *PACL;

typedef WORD SECURITY_DESCRIPTOR_CONTROL;
typedef struct _SECURITY_DESCRIPTOR {
    BYTE                        Revision;
    BYTE                        Sbz1;
    SECURITY_DESCRIPTOR_CONTROL Control;
    PSID                        Owner;
    PSID                        Group;
    PACL                        Sacl;
    PACL                        Dacl;
} SECURITY_DESCRIPTOR;
typedef PVOID PSECURITY_DESCRIPTOR;

/* ---- Access rights of semaphores and events ------------------------------ */
#define SEMAPHORE_MODIFY_STATE 0x0002u
#define SEMAPHORE_ALL_ACCESS   (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x3u)
#define EVENT_MODIFY_STATE     0x0002u
#define EVENT_ALL_ACCESS       (STANDARD_RIGHTS_REQUIRED | SYNCHRONIZE | 0x3u)

/* ---- Memory queries --------------------------------------------------------- */
#define MEM_COMMIT  0x00001000u
#define MEM_RESERVE 0x00002000u
#define MEM_FREE    0x00010000u
#define MEM_PRIVATE 0x00020000u
#define MEM_MAPPED  0x00040000u
#define MEM_IMAGE   0x01000000u

typedef struct _MEMORY_BASIC_INFORMATION {
    PVOID  BaseAddress;
    PVOID  AllocationBase;
    DWORD  AllocationProtect;
    SIZE_T RegionSize;
    DWORD  State;
    DWORD  Protect;
    DWORD  Type;
} MEMORY_BASIC_INFORMATION, *PMEMORY_BASIC_INFORMATION;

#ifdef __cplusplus
extern "C" {
#endif

KIVCOMPAT_API BOOL InitializeSecurityDescriptor(PSECURITY_DESCRIPTOR descriptor, DWORD revision);
KIVCOMPAT_API BOOL SetSecurityDescriptorDacl(PSECURITY_DESCRIPTOR descriptor, BOOL daclPresent,
                                             PACL dacl, BOOL daclDefaulted);

/* Sections by name (CreateFileMappingA with a name is declared in
 * kivcompat.h; only page-file sections can be named here). */
KIVCOMPAT_API HANDLE OpenFileMappingA(DWORD desiredAccess, BOOL inheritHandle, LPCSTR name);

KIVCOMPAT_API HANDLE CreateSemaphoreA(LPSECURITY_ATTRIBUTES security, LONG initialCount,
                                      LONG maximumCount, LPCSTR name);
KIVCOMPAT_API HANDLE OpenSemaphoreA(DWORD desiredAccess, BOOL inheritHandle, LPCSTR name);
KIVCOMPAT_API BOOL   ReleaseSemaphore(HANDLE semaphore, LONG releaseCount, LPLONG previousCount);

KIVCOMPAT_API HANDLE CreateEventA(LPSECURITY_ATTRIBUTES security, BOOL manualReset,
                                  BOOL initialState, LPCSTR name);
KIVCOMPAT_API HANDLE OpenEventA(DWORD desiredAccess, BOOL inheritHandle, LPCSTR name);
KIVCOMPAT_API BOOL   SetEvent(HANDLE event);
KIVCOMPAT_API BOOL   ResetEvent(HANDLE event);

/* The region of pages around an address in this process, from the kernel's
 * list of mappings: one mapping is one region.  Only the current process
 * (GetCurrentProcess()) can be asked. */
KIVCOMPAT_API SIZE_T VirtualQueryEx(HANDLE process, LPCVOID address,
                                    PMEMORY_BASIC_INFORMATION buffer, SIZE_T length);
KIVCOMPAT_API SIZE_T VirtualQuery(LPCVOID address, PMEMORY_BASIC_INFORMATION buffer,
                                  SIZE_T length);

#ifdef __cplusplus
}

namespace kivcompat {
/* CreateFileMappingA with a non-empty name (internal: the mapping code
 * routes named requests here).  `pageProtect` is the validated PAGE_ value. */
KIV_LOCAL HANDLE namedMappingCreate(HANDLE file, LPSECURITY_ATTRIBUTES security,
                                    DWORD pageProtect, uint64_t size, LPCSTR name);
} // namespace kivcompat
#endif

#endif /* KIVCOMPAT_IPC_H */
