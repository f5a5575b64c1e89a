/*
 * kivipcqueue.h - message queues between processes (KIVHIPCQueue).
 *
 * A queue is one named shared memory section holding a 20-byte header and
 * a ring buffer, plus two named semaphores that only wake a blocked reader
 * (data arrived) or a blocked writer (space was freed).  Messages are
 * byte strings of any length: one longer than the free space, or than the
 * whole ring, is streamed through it while a reader drains it.  In the
 * ring a message is a Uint32 length in machine byte order, the bytes, and
 * 0 to 3 padding bytes up to a multiple of 4.
 *
 * Three one-byte latches in the header serialise writers among themselves
 * (putLatch, held for a whole message), readers among themselves (getLatch)
 * and every access to the ring's bookkeeping (queueLatch).  No operation
 * takes both putLatch and getLatch, so one writer and one reader always
 * proceed side by side.
 */
#ifndef KIVIPCQUEUE_H
#define KIVIPCQUEUE_H

#include "kivbase.h"
#include "kivipc.h"
#include "kivlatch.h"

/* Bytes of the header in front of the ring. */
#define KIV_IPC_QUEUE_HEADER_SIZE 20u

/* The header at the start of a queue's section, shared by every process. */
struct KIVIPCQueueHeader {
    KIVLatch putLatch;       /* one writer, for a whole message */
    KIVLatch getLatch;       /* one reader, for a whole message */
    KIVLatch queueLatch;     /* every field below and the ring contents */
    Uint8    reserved1;
    Uint32   capacity;       /* ring bytes, a multiple of 4 */
    Uint32   writeOffset;    /* next byte to write, below capacity */
    Uint32   readOffset;     /* next byte to read, below capacity */
    Uint8    writerWaiting;  /* a writer is blocked on the space semaphore */
    Uint8    readerWaiting;  /* a reader is blocked on the data semaphore */
    Uint8    notEmpty;       /* tells full from empty when the offsets are equal */
    /* A reader gave up in the middle of a message: what the ring holds is
     * the rest of that message, which its writer discards and stops
     * sending.  Readers see no data while it is set. */
    Uint8    abandoned;
};
static_assert(sizeof(KIVIPCQueueHeader) == KIV_IPC_QUEUE_HEADER_SIZE, "queue header is 20 bytes");
static_assert(offsetof(KIVIPCQueueHeader, queueLatch) == 2, "queue header layout");
static_assert(offsetof(KIVIPCQueueHeader, capacity) == 4, "queue header layout");
static_assert(offsetof(KIVIPCQueueHeader, writeOffset) == 8, "queue header layout");
static_assert(offsetof(KIVIPCQueueHeader, readOffset) == 12, "queue header layout");
static_assert(offsetof(KIVIPCQueueHeader, writerWaiting) == 16, "queue header layout");
static_assert(offsetof(KIVIPCQueueHeader, readerWaiting) == 17, "queue header layout");
static_assert(offsetof(KIVIPCQueueHeader, notEmpty) == 18, "queue header layout");

/* For KIVHIPCQueue::create. */
class KIV_API KIVIPCQueueCreateParam {
public:
    KIVIPCQueueCreateParam();
    Uint32         version;
    KIVIPCQueResID queResID;     /* section, data semaphore, space semaphore */
    Uint32         queueSize;    /* ring bytes; rounded up to a multiple of 4 */
    Uint32         permissions;  /* passed to the section and semaphores; not interpreted */
};

/* What KIVHIPCQueue::query reports: a snapshot, stale as soon as taken. */
class KIV_API KIVIPCQueueInfo {
public:
    KIVIPCQueueInfo();
    Uint32 version;
    Uint32 capacity;    /* ring bytes */
    Uint32 usedBytes;   /* lengths, bodies and padding of the queued messages */
    Uint32 freeBytes;   /* capacity - usedBytes */
};

/* Result of get's timeout argument that waits for ever. */
#define KIV_IPC_QUEUE_WAIT_FOREVER (-1)

class KIV_API KIVHIPCQueue {
public:
    KIVHIPCQueue();

    /* Makes the section and both semaphores.  A failing step leaves what the
     * earlier steps made in place: the caller destroys the queue. */
    Uint32 create(const KIVIPCQueueCreateParam* const param);
    /* Joins an existing queue; ECF_QUE_DOESNT_EXIST when any of its three
     * objects is missing.  A failed attach leaves the object detached. */
    Uint32 attach(KIVIPCQueResID* queResID);

    /* Queues `length` bytes as one message, waiting for ever for space.  If
     * the reader of this message gives up on it half-way, the rest is not
     * sent and put still returns 0. */
    Uint32 put(const void* message, Uint32 length);
    /* Takes the next message into `buffer`.  `timeout` in milliseconds,
     * KIV_IPC_QUEUE_WAIT_FOREVER waits for ever; 0 on an empty queue gives
     * ECF_QUE_INVALID_MSG_TYPE at once.  A message longer than bufferSize
     * stays queued: ECF_QUE_MSG_TOO_BIG, with its length in *received.  A
     * get that times out in the middle of a message abandons the rest of
     * it, so that the next get starts at the next message. */
    Uint32 get(void* buffer, Uint32 bufferSize, Uint32* received, int timeout);
    /* True when the ring holds data (possibly a message still arriving). */
    bool   hasMessage();
    /* Empties the ring and wakes blocked parties, who wait again.  Only for
     * when no put or get is under way: a message in transit is broken. */
    Uint32 flush();
    Uint32 query(KIVIPCQueueInfo* info);
    /* Section, then data semaphore, then space semaphore, stopping at the
     * first failure; header is cleared only when all three let go. */
    Uint32 detach();
    /* The same with the destroy operations; header is left as it was. */
    Uint32 destroy();
    bool   isAttached() const
    {
        return memory.isAttached() && dataSemaphore.isAttached() && spaceSemaphore.isAttached();
    }
    Uint32 authorize(const KIVIPCSecurityParam* const param);   /* checks only */

    KIVHIPCMemory      memory;
    KIVHIPCSemaphore   dataSemaphore;    /* posted when data arrived for a waiting reader */
    KIVHIPCSemaphore   spaceSemaphore;   /* posted when space was freed for a waiting writer */
    KIVIPCQueueHeader* header;           /* the mapped section; null when detached */
};

#ifdef __cplusplus
extern "C" {
#endif

/* The system's limit on the size of one message, 0 when there is none (as
 * on this platform): then every call asks again. */
KIV_API Uint32 kivGetMaxQueueMessageSize(void);

#ifdef __cplusplus
}
#endif

#endif /* KIVIPCQUEUE_H */
