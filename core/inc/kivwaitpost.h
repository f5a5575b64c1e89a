/*
 * kivwaitpost.h - waitposts (KIVHIPCWaitpost): one party posts an event,
 * optionally with a small fixed-size data record, and others wait for it,
 * in the same process or in other ones.
 *
 * A waitpost pairs a kernel event with an 8-byte waitpost area that the
 * caller owns, normally in shared memory: it records whether the waitpost
 * is initialised and holds the one-byte latch that guards the data record.
 * Every party passes its own address of the area and of the data buffer
 * (both usually in one shared section mapped at different addresses).  A
 * post overwrites the record of the previous one: posts are not queued.
 */
#ifndef KIVWAITPOST_H
#define KIVWAITPOST_H

#include "kivbase.h"
#include "kivipc.h"
#include "kivlatch.h"

/* Bits of the area's state word. */
#define KIV_WAITPOST_STATE_AUTO_RESET 0x1u   /* the event is auto-reset */
#define KIV_WAITPOST_STATE_NAMED      0x2u   /* named, shareable event */
#define KIV_WAITPOST_STATE_UNNAMED    0x4u   /* unnamed, process-private event */

/* Values of KIVIPCWaitpostCreateParam::type. */
#define KIV_WAITPOST_TYPE_MANUAL_RESET 0u
#define KIV_WAITPOST_TYPE_AUTO_RESET   1u    /* bit 0: one waiter per post */
#define KIV_WAITPOST_TYPE_NO_LATCH     2u    /* exactly 2: manual reset, copies not latched */

/* The caller's 8 bytes; create clears them. */
struct KIVIPCWaitpostArea {
    Uint8    noLatch;      /* 1: the data copies are not latched */
    KIVLatch latch;        /* guards the data record */
    Uint8    reserved[2];
    Uint32   state;        /* KIV_WAITPOST_STATE_* */
};
static_assert(sizeof(KIVIPCWaitpostArea) == 8, "a waitpost area is 8 bytes");
static_assert(offsetof(KIVIPCWaitpostArea, latch) == 1, "waitpost area layout");
static_assert(offsetof(KIVIPCWaitpostArea, state) == 4, "waitpost area layout");

class KIV_API KIVIPCWaitpostCreateParam {
public:
    KIVIPCWaitpostCreateParam();
    Uint32              version;
    KIVIPCWaitpostArea* area;
    void*               dataBuffer;   /* where posted records are kept */
    Uint32              dataSize;     /* bytes copied by each post and wait */
    const KIVIPCResID*  resID;        /* null: an unnamed event, for this process only */
    Uint32              reserved;     /* not interpreted */
    Uint32              type;         /* KIV_WAITPOST_TYPE_* */
};

class KIV_API KIVIPCWaitpostOpenParam {
public:
    KIVIPCWaitpostOpenParam();
    Uint32              version;
    KIVIPCWaitpostArea* area;
    void*               dataBuffer;
    Uint32              dataSize;
    const KIVIPCResID*  resID;        /* required */
};

class KIV_API KIVIPCWaitpostWaitParam {
public:
    explicit KIVIPCWaitpostWaitParam(Uint32 timeout = KIV_IPC_WAIT_FOREVER);
    Uint32 version;
    Uint32 timeout;   /* milliseconds; KIV_IPC_WAIT_FOREVER waits for ever */
};

class KIV_API KIVHIPCWaitpost {
public:
    KIVHIPCWaitpost();
    /* Clears and initialises the area and makes (or joins, by name) the
     * event. */
    Uint32 create(const KIVIPCWaitpostCreateParam* const param);
    /* Joins a waitpost another party created, by its event's name. */
    Uint32 open(const KIVIPCWaitpostOpenParam* const param);
    /* Copies dataSize bytes of `data` (when non-null) into the data buffer,
     * then signals. */
    Uint32 post(const void* const data);
    /* Waits for the signal; on success, and on a poll (timeout 0) that found
     * nothing (ECF_WAITPOST_NOT_POSTED), copies the last posted record to
     * `out` when non-null. */
    Uint32 wait(const KIVIPCWaitpostWaitParam* const param, void* const out);
    Uint32 reset();     /* back to not signalled */
    /* Lets go of the event; the area stays initialised for the others. */
    Uint32 close();
    /* Lets go of the event and uninitialises the area for every party. */
    Uint32 destroy();

    KIVIPCWaitpostArea* area;
    void*               dataBuffer;
    Uint32              dataSize;
    HANDLE              handle;       /* the event; INVALID_HANDLE_VALUE when closed */
};

#endif /* KIVWAITPOST_H */
