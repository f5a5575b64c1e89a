/*
 * kivipc.h - shareable IPC objects: the kernel object names that identify
 * them across processes (KIVIPCResID), the security attributes they are
 * created with, shared memory sections (KIVHIPCMemory,
 * KIVHIPCPrivateMemory, KIVHIPCMemoryEx) and counting semaphores
 * (KIVHIPCSemaphore).
 *
 * Handle objects hold raw system handles and are not locked: one thread
 * uses an object at a time.  They release what they hold only in detach,
 * destroy and detachAndDestroy.
 */
#ifndef KIVIPC_H
#define KIVIPC_H

#include "kivbase.h"
#include "kivos.h"

/* Versions from which fields of the name description are read. */
#define KIV_VERSION_IPC_LOCALONLY  0x09010003u
#define KIV_VERSION_IPC_NAMESPACE  0x09070000u

/* Room of a kernel object name, its NUL included. */
#define KIV_IPC_NAME_SIZE          261u

/* KIVHIPCMemoryEx: the id its names are formed with, and its flags. */
#define KIV_IPC_MEMEX_ID           120
#define KIV_IPC_MEMEX_EXCLUSIVE    0x1u   /* create fails when the name is in use */
#define KIV_IPC_MEMEX_READONLY     0x4u   /* read-only view */
#define KIV_IPC_MEMEX_READWRITE    0x8u   /* read-write view */

/* Semaphores. */
#define KIV_IPC_SEM_MAX_COUNT      32767
#define KIV_IPC_WAIT_FOREVER       0xFFFFFFFFu

/* ---- names ----------------------------------------------------------------- */

/* The kernel object name of one shareable object. */
class KIV_API KIVIPCResID {
public:
    KIVIPCResID();
    Uint32 version;
    char   name[KIV_IPC_NAME_SIZE];
};

/* The names of a message queue's section and two semaphores. */
class KIV_API KIVIPCQueResID {
public:
    KIVIPCQueResID();
    Uint32      version;
    KIVIPCResID memory;          /* the shared memory section */
    KIVIPCResID dataSemaphore;   /* signals that data are available */
    KIVIPCResID spaceSemaphore;  /* signals that space is available */
};

/* A portable description of an object: a path and a small integer. */
class KIV_API KIVIPCGetResIDParam {
public:
    KIVIPCGetResIDParam();
    Uint32      version;
    const char* path;             /* null: an empty name */
    Sint32      id;               /* tells apart objects of one path */
    Uint32      seed;             /* carried along, not part of the name */
    bool        localOnly;        /* never the Global\ prefix (from 0x09010003) */
    const char* namespacePrefix;  /* private namespace (from 0x09070000) */
};

/* Security data that this platform does not interpret. */
class KIV_API KIVIPCSecurityParam {
public:
    KIVIPCSecurityParam();
    Uint32      version;
    const void* securityData;
};

#ifdef __cplusplus
extern "C" {
#endif

/* Forms the kernel object name of `description` into `out`. */
KIV_API Uint32 kivIPCGetResID(const KIVIPCGetResIDParam* description, KIVIPCResID* out);
/* The three names of a queue, from ids id, id + 1 and id + 2. */
KIV_API Uint32 kivIPCGetQueResID(const KIVIPCGetResIDParam* description, KIVIPCQueResID* out);
/* Always ECF_NOT_SUPPORTED. */
KIV_API Uint32 kivIPCGenerateSeed(void);

/* Installs the attributes every named object is created with from now on
 * (null removes the override) and returns `attributes`.  The caller keeps
 * them alive while objects are created. */
KIV_API SECURITY_ATTRIBUTES* kivSetSecurityAttributesForKIV(SECURITY_ATTRIBUTES* attributes);

/* The attributes a named object is created with: a copy of the override,
 * or inheritable handles and a descriptor (initialised in `descriptor`,
 * which must outlive the create call) whose null DACL gives every user full
 * access. */
KIV_API Uint32 kivInitSecurityAttributes2(SECURITY_ATTRIBUTES* attributes,
                                          SECURITY_DESCRIPTOR* descriptor);

#ifdef __cplusplus
}
#endif

/* ---- shared memory ----------------------------------------------------------- */

/* For KIVHIPCMemory::create and KIVHIPCPrivateMemory::create. */
class KIV_API KIVIPCMemoryCreateParam {
public:
    KIVIPCMemoryCreateParam();
    Uint32      version;
    KIVIPCResID resID;            /* the private variant writes its name here */
    Uint32      size;             /* bytes */
    const void* baseAddress;      /* preferred view address, null for any */
    Uint32      permissions;      /* not interpreted on this platform */
    Uint32      reserved;         /* not interpreted on this platform */
    const char* namespacePrefix;  /* private variant, from 0x09070000 */
};

/* A named page-file section, created or attached by its KIVIPCResID. */
class KIV_API KIVHIPCMemory {
public:
    KIVHIPCMemory();
    Uint32 create(const KIVIPCMemoryCreateParam* param);
    Uint32 attach(const KIVIPCResID* resID, const void* baseAddress);
    Uint32 detach();
    Uint32 destroy();            /* detach; always 0 */
    Uint32 detachAndDestroy();   /* detach, with its result */
    Uint32 getAddress(void** address);
    Uint32 getMemorySize(Uint32* size);
    bool   isAttached() const { return address != nullptr; }
    Uint32 authorize(const KIVIPCSecurityParam* param);

    HANDLE handle;    /* INVALID_HANDLE_VALUE when detached */
    void*  address;   /* the view; null when detached */
};

/* A section named after the creating thread.  The object is plain data:
 * another process that receives a copy of it calls remoteInitialization
 * and then attach. */
class KIV_API KIVHIPCPrivateMemory : public KIVHIPCMemory {
public:
    KIVHIPCPrivateMemory();
    Uint32 create(KIVIPCMemoryCreateParam* param);
    Uint32 attach(const void* baseAddress);
    Uint32 remoteInitialization();

    KIVIPCResID resID;
};

/* For KIVHIPCMemoryEx::create.  64-bit fields are 8-aligned as on Windows. */
class KIV_API KIVIPCMemoryExCreateParam {
public:
    KIVIPCMemoryExCreateParam();
    Uint32            version;
    const char*       name;
    alignas(8) Uint64 size;        /* the low 32 bits size the section */
    alignas(8) Uint64 flags;       /* KIV_IPC_MEMEX_* */
    void*             baseAddress;
    Uint32            permissions; /* must be non-zero; not otherwise interpreted */
    alignas(8) Uint64 reserved;    /* not interpreted */
    const char*       namespacePrefix;
};

class KIV_API KIVIPCMemoryExAttachParam {
public:
    KIVIPCMemoryExAttachParam();
    Uint32            version;
    const char*       name;
    alignas(8) Uint64 flags;       /* KIV_IPC_MEMEX_READONLY or _READWRITE */
    void*             baseAddress;
    alignas(8) Uint64 reserved;    /* not interpreted */
    const char*       namespacePrefix;
};

class KIV_API KIVIPCMemoryExInfo {
public:
    KIVIPCMemoryExInfo();
    Uint32 version;
    void*  address;
};

/* A section by a plain name, with access flags and exclusive creation.
 * A valid name is non-empty, at most 253 characters and holds no '\'. */
class KIV_API KIVHIPCMemoryEx {
public:
    KIVHIPCMemoryEx();
    ~KIVHIPCMemoryEx();   /* forgets the attachment without releasing it */
    Uint32 create(const KIVIPCMemoryExCreateParam* param, KIVIPCMemoryExInfo* info);
    Uint32 attach(const KIVIPCMemoryExAttachParam* param, KIVIPCMemoryExInfo* info);
    Uint32 detach();
    Uint32 destroy();
    bool   isAttached() const { return address != nullptr; }

    HANDLE            handle;                   /* INVALID_HANDLE_VALUE when detached */
    char              name[KIV_IPC_NAME_SIZE];  /* the kernel name used */
    void*             address;                  /* null when detached */
    alignas(8) Uint64 size;                     /* as given to create */
};

/* ---- semaphores ---------------------------------------------------------------- */

class KIV_API KIVIPCSemaphoreCreateParam {
public:
    KIVIPCSemaphoreCreateParam(Sint32 initialCount = 0, Uint32 permissions = 0,
                               Uint32 reserved = 0);
    Uint32      version;
    KIVIPCResID resID;
    Sint32      initialCount;
    Uint32      permissions;   /* not interpreted on this platform */
    Uint32      reserved;      /* not interpreted */
};

class KIV_API KIVIPCSemaphoreWaitParam {
public:
    explicit KIVIPCSemaphoreWaitParam(Uint32 timeout = KIV_IPC_WAIT_FOREVER);
    Uint32 version;
    Uint32 timeout;     /* milliseconds; KIV_IPC_WAIT_FOREVER waits for ever */
    Uint32 reserved1;   /* not interpreted */
    Uint32 reserved2;   /* not interpreted */
};

/* A counting semaphore (maximum count 32767) shared by name. */
class KIV_API KIVHIPCSemaphore {
public:
    KIVHIPCSemaphore();
    Uint32 create(const KIVIPCSemaphoreCreateParam* param);
    Uint32 attach(const KIVIPCResID* resID);
    Uint32 wait(const KIVIPCSemaphoreWaitParam* param);
    Uint32 post();      /* gives back one unit (used by the message queue) */
    Uint32 detach();
    Uint32 destroy();   /* as detach */
    bool   isAttached() const { return handle != INVALID_HANDLE_VALUE; }
    Uint32 authorize(const KIVIPCSecurityParam* const param);

    HANDLE handle;   /* INVALID_HANDLE_VALUE when detached */
};

#endif /* KIVIPC_H */
