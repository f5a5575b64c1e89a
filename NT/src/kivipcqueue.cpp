/*
 * kivipcqueue.cpp - message queues between processes: a ring buffer in a
 * named section and two named semaphores used only as wake-up signals.
 *
 * The semaphores carry no count of messages.  A party that must block sets
 * its waiting flag under queueLatch, lets the latch go and waits; the other
 * side, when it finds the flag set under the latch, clears it and posts
 * once it has let the latch go.  A woken party retakes the latch and looks
 * at the header again, so a stale post (left by a waiter that timed out)
 * costs one extra look and nothing else.
 *
 * A reader that gives up in the middle of a message (timeout) sets the
 * header's abandoned byte; the writer of that message, still holding
 * putLatch, empties the ring of the rest and stops sending it, and readers
 * see no message meanwhile.
 *
 * Data are copied straight between the caller's buffer and the ring, in at
 * most two pieces per step, and nothing is allocated in put or get.
 */
#include <string.h>

#include "kivframe.h"
#include "kivipcqueue.h"
#include "kivos.h"

#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(KIVHIPCQueue) == 20, "KIVHIPCQueue: section, two semaphores, header");
static_assert(offsetof(KIVHIPCQueue, header) == 16, "KIVHIPCQueue layout");
#endif
static_assert(sizeof(KIVIPCQueResID) == 808, "KIVIPCQueResID: version and three names");
static_assert(offsetof(KIVIPCQueueCreateParam, queueSize) == 812, "KIVIPCQueueCreateParam layout");
static_assert(sizeof(KIVIPCQueueCreateParam) == 820, "KIVIPCQueueCreateParam layout");
static_assert(sizeof(KIVIPCQueueInfo) == 16, "KIVIPCQueueInfo is four words");

KIVIPCQueueCreateParam::KIVIPCQueueCreateParam()
    : version(KIV_VERSION_CURRENT), queueSize(0), permissions(0)
{
}

KIVIPCQueueInfo::KIVIPCQueueInfo()
    : version(KIV_VERSION_CURRENT), capacity(0), usedBytes(0), freeBytes(0)
{
}

namespace {

/* The largest queueSize whose section size (ring plus header) still fits
 * 32 bits once rounded up. */
const Uint32 kMaxQueueSize = 0xFFFFFFFCu - KIV_IPC_QUEUE_HEADER_SIZE;

/* The initial count the semaphores are created with, before create takes
 * it back, and the permissions word their parameter object starts with. */
const Sint32 kSemInitialCount = 1;
const Uint32 kSemDefaultPermissions = 51;

/* ---- the ring ----------------------------------------------------------------
 * Offsets and notEmpty change under queueLatch only.  The bytes of the
 * ring are owned by position: the free space between writeOffset and
 * readOffset belongs to the one writer holding putLatch, the used space to
 * the one reader holding getLatch.  So each copies its piece with the
 * latch let go and then moves its offset under the latch: a long copy never
 * makes the other side wait for the latch (whose conflicts end in sleeps). */

inline Uint32 pad4(Uint32 n)
{
    return (4u - (n & 3u)) & 3u;
}

inline Uint8* ringOf(KIVIPCQueueHeader* h)
{
    return reinterpret_cast<Uint8*>(h) + KIV_IPC_QUEUE_HEADER_SIZE;
}

Uint32 freeSpace(const KIVIPCQueueHeader* h)
{
    if (h->readOffset >= h->writeOffset && h->notEmpty)
        return h->readOffset - h->writeOffset;
    return h->capacity - (h->writeOffset - h->readOffset);
}

inline Uint32 usedSpace(const KIVIPCQueueHeader* h)
{
    return h->capacity - freeSpace(h);
}

/* Offsets are multiples of 4 and so is the capacity: a step of n bytes and
 * their padding never passes the end of the ring unless n itself does. */
inline Uint32 advance(const KIVIPCQueueHeader* h, Uint32 offset, Uint32 n)
{
    Uint32 next = offset + n + pad4(n);
    return next >= h->capacity ? next - h->capacity : next;
}

/* n bytes into the ring at `at`, in one or two pieces. */
void ringWrite(KIVIPCQueueHeader* h, Uint32 at, const void* from, Uint32 n)
{
    Uint8* ring = ringOf(h);
    const Uint8* src = static_cast<const Uint8*>(from);
    Uint32 tail = h->capacity - at;
    if (n <= tail) {
        memcpy(ring + at, src, n);
    } else {
        memcpy(ring + at, src, tail);
        memcpy(ring, src + tail, n - tail);
    }
}

/* n bytes out of the ring from `at`, in one or two pieces. */
void ringRead(KIVIPCQueueHeader* h, Uint32 at, void* to, Uint32 n)
{
    const Uint8* ring = ringOf(h);
    Uint8* dst = static_cast<Uint8*>(to);
    Uint32 tail = h->capacity - at;
    if (n <= tail) {
        memcpy(dst, ring + at, n);
    } else {
        memcpy(dst, ring + at, tail);
        memcpy(dst + tail, ring, n - tail);
    }
}

/* Under queueLatch: n bytes (and padding) written at `at` join the data. */
void commitWrite(KIVIPCQueueHeader* h, Uint32 at, Uint32 n)
{
    h->writeOffset = advance(h, at, n);
    h->notEmpty = 1;
}

/* Under queueLatch: n bytes (and padding) read at `at` become free. */
void commitRead(KIVIPCQueueHeader* h, Uint32 at, Uint32 n)
{
    h->readOffset = advance(h, at, n);
    if (h->readOffset == h->writeOffset)
        h->notEmpty = 0;
}

void makeEmpty(KIVIPCQueueHeader* h)
{
    h->readOffset = h->writeOffset;
    h->notEmpty = 0;
    h->abandoned = 0;
}

/* Pieces up to this size are copied under the latch: cheaper than letting
 * it go and taking it again, and too short to keep the other side long. */
const Uint32 kCopyUnderLatch = 512;

/* ---- waiting and waking ------------------------------------------------------- */

/* The waiting flags are written under queueLatch but read by observers
 * (tools, tests) without it: single-byte relaxed atomics keep such reads
 * well defined and cost nothing over plain byte moves. */
inline Uint8 loadFlag(const Uint8& flag) { return __atomic_load_n(&flag, __ATOMIC_RELAXED); }
inline void storeFlag(Uint8& flag, Uint8 value) { __atomic_store_n(&flag, value, __ATOMIC_RELAXED); }

/* One side of a transfer, the writer in put or the reader in get: whether
 * it holds queueLatch, the wake-up it owes the other side, and the first
 * failure of a semaphore operation. */
class Party {
public:
    Party(KIVIPCQueueHeader* h, Uint8& ownWaiting, KIVHIPCSemaphore& own, Uint8& otherWaiting,
          KIVHIPCSemaphore& other, Uint32 postProbe)
        : h_(h), ownWaiting_(ownWaiting), own_(own), otherWaiting_(otherWaiting), other_(other),
          postProbe_(postProbe)
    {
    }

    void lock()
    {
        h_->queueLatch.get();
        held_ = true;
    }

    /* Under the latch, after moving an offset: if the other side announced
     * that it waits, it is owed a wake-up. */
    void progressed()
    {
        if (loadFlag(otherWaiting_)) {
            storeFlag(otherWaiting_, 0);
            owed_ = true;
        }
    }

    /* Lets the latch go, then delivers an owed wake-up, so that the woken
     * side does not run into the latch still held by its waker. */
    bool unlock()
    {
        h_->queueLatch.release();
        held_ = false;
        if (!owed_)
            return true;
        owed_ = false;
        Uint32 code = other_.post();
        if (code != 0)
            record(code, postProbe_, KIVFN_KIVHIPCSEMAPHORE_POST, other_);
        return code == 0;
    }

    /* Announces the wait, unlocks and waits on the own semaphore; holds the
     * latch again only on success. */
    bool wait(Uint32 timeout, Uint32 timeoutProbe, Uint32 failProbe)
    {
        storeFlag(ownWaiting_, 1);
        if (!unlock())
            return false;
        KIVIPCSemaphoreWaitParam w(timeout);
        Uint32 code = own_.wait(&w);
        if (code != 0) {
            record(code, code == ECF_TIMEOUT ? timeoutProbe : failProbe,
                   KIVFN_KIVHIPCSEMAPHORE_WAIT, own_);
            return false;
        }
        lock();
        return true;
    }

    /* A failed wait that turned out not to matter. */
    void forgive() { rc = 0; }

    bool held() const { return held_; }
    bool failed() const { return rc != 0; }

    Uint32                  rc = 0;
    Uint32                  probe = 0;
    Uint32                  member = 0;
    const KIVHIPCSemaphore* semaphore = nullptr;

private:
    void record(Uint32 failure, Uint32 where, Uint32 memberId, const KIVHIPCSemaphore& sem)
    {
        if (rc != 0)
            return;
        rc = failure;
        probe = where;
        member = memberId;
        semaphore = &sem;
    }

    KIVIPCQueueHeader* h_;
    Uint8&             ownWaiting_;
    KIVHIPCSemaphore&  own_;
    Uint8&             otherWaiting_;
    KIVHIPCSemaphore&  other_;
    Uint32             postProbe_;
    bool               held_ = false;
    bool               owed_ = false;
};

/* What is left of a get's timeout. */
class Deadline {
public:
    explicit Deadline(int timeout)
        : forever_(timeout < 0), timeout_((Uint32)timeout), start_(GetTickCount())
    {
    }
    Uint32 left() const
    {
        if (forever_)
            return KIV_IPC_WAIT_FOREVER;
        Uint32 spent = GetTickCount() - start_;   // wraps harmlessly
        return spent >= timeout_ ? 0 : timeout_ - spent;
    }

private:
    bool   forever_;
    Uint32 timeout_;
    Uint32 start_;
};

/* The section's size for a requested ring size. */
Uint32 capacityFor(Uint32 queueSize)
{
    if (queueSize < 5)
        queueSize += 4;
    return queueSize + pad4(queueSize);
}

/* The existence codes of the members, as attach reports them. */
Uint32 queueExistence(Uint32 rc)
{
    return rc == ECF_MEM_DOESNT_EXIST || rc == ECF_SEM_DOESNT_EXIST ? ECF_QUE_DOESNT_EXIST : rc;
}

/* Holds queueLatch for a scope. */
class QueueLatchHold {
public:
    explicit QueueLatchHold(KIVIPCQueueHeader* h) : h_(h) { h_->queueLatch.get(); }
    ~QueueLatchHold() { h_->queueLatch.release(); }
    QueueLatchHold(const QueueLatchHold&) = delete;
    QueueLatchHold& operator=(const QueueLatchHold&) = delete;

private:
    KIVIPCQueueHeader* h_;
};

/* The kernel's limit on one message; no such limit is reported here. */
Uint32 queryKernelMaxMessageSize(Uint32* out)
{
    *out = 0;
    return ECF_NOT_SUPPORTED;
}

Uint32 g_maxQueueMessageSize = 0;

} // namespace

/* ---- KIVHIPCQueue --------------------------------------------------------------- */

KIVHIPCQueue::KIVHIPCQueue() : header(nullptr) {}

Uint32 KIVHIPCQueue::create(const KIVIPCQueueCreateParam* const param)
{
    KIVFrame f(KIVFN_KIVHIPCQUEUE_CREATE);
    Uint32 rc;
    if (!f.checkParam(param, rc))
        return rc;
    f.dataOf(10, *param);
    if (param->queueSize > kMaxQueueSize)
        return f.fail(20, ECF_INVALID_PARAMETER, 1, KIVLOG_UINT(param->queueSize));

    Uint32 capacity = capacityFor(param->queueSize);
    KIVIPCMemoryCreateParam mp;
    mp.resID = param->queResID.memory;
    mp.size = capacity + KIV_IPC_QUEUE_HEADER_SIZE;
    mp.baseAddress = nullptr;
    mp.permissions = param->permissions;
    rc = memory.create(&mp);
    if (rc != 0)
        return f.calledFailed(KIVFN_KIVHIPCMEMORY_CREATE, rc, rc, 50, 2,
                              KIVLOG_STRING(mp.resID.name), KIVLOG_UINT(mp.size));

    KIVIPCSemaphoreCreateParam sp(kSemInitialCount, kSemDefaultPermissions, 0);
    sp.permissions = param->permissions;
    sp.resID = param->queResID.dataSemaphore;
    rc = dataSemaphore.create(&sp);
    if (rc != 0)
        return f.calledFailed(KIVFN_KIVHIPCSEMAPHORE_CREATE, rc, rc, 60, 1,
                              KIVLOG_STRING(sp.resID.name));
    sp.resID = param->queResID.spaceSemaphore;
    rc = spaceSemaphore.create(&sp);
    if (rc != 0)
        return f.calledFailed(KIVFN_KIVHIPCSEMAPHORE_CREATE, rc, rc, 70, 1,
                              KIVLOG_STRING(sp.resID.name));

    // Both start empty: a post then means exactly one announced wake-up.
    KIVIPCSemaphoreWaitParam forever(KIV_IPC_WAIT_FOREVER);
    rc = dataSemaphore.wait(&forever);
    if (rc != 0)
        return f.calledFailed(KIVFN_KIVHIPCSEMAPHORE_WAIT, rc, rc, 80, 1,
                              KIVLOG_HEX(dataSemaphore.handle));
    rc = spaceSemaphore.wait(&forever);
    if (rc != 0)
        return f.calledFailed(KIVFN_KIVHIPCSEMAPHORE_WAIT, rc, rc, 90, 1,
                              KIVLOG_HEX(spaceSemaphore.handle));

    void* address = nullptr;
    rc = memory.getAddress(&address);
    if (rc != 0)
        return f.calledFailed(KIVFN_KIVHIPCMEMORY_GETADDRESS, rc, rc, 100);
    KIVIPCQueueHeader* h = static_cast<KIVIPCQueueHeader*>(address);
    h->putLatch.init();
    h->getLatch.init();
    h->queueLatch.init();
    h->reserved1 = 0;
    h->capacity = capacity;
    h->writeOffset = 0;
    h->readOffset = 0;
    h->writerWaiting = 0;
    h->readerWaiting = 0;
    h->notEmpty = 0;
    h->abandoned = 0;
    header = h;
    return f.ok();
}

Uint32 KIVHIPCQueue::attach(KIVIPCQueResID* queResID)
{
    KIVFrame f(KIVFN_KIVHIPCQUEUE_ATTACH);
    Uint32 rc;
    if (!f.checkParam(queResID, rc))
        return rc;
    f.dataOf(10, *queResID);
    if (memory.isAttached() || dataSemaphore.isAttached() || spaceSemaphore.isAttached())
        return f.fail(20, ECF_INVALID_INVOCATION_SEQUENCE, 1, KIVLOG_STRING(queResID->memory.name));

    Uint32 member = KIVFN_KIVHIPCMEMORY_ATTACH;
    Uint32 probe = 40;
    const char* name = queResID->memory.name;
    rc = memory.attach(&queResID->memory, nullptr);
    if (rc == 0) {
        member = KIVFN_KIVHIPCSEMAPHORE_ATTACH;
        probe = 50;
        name = queResID->dataSemaphore.name;
        rc = dataSemaphore.attach(&queResID->dataSemaphore);
    }
    if (rc == 0) {
        probe = 60;
        name = queResID->spaceSemaphore.name;
        rc = spaceSemaphore.attach(&queResID->spaceSemaphore);
    }
    void* address = nullptr;
    if (rc == 0) {
        member = KIVFN_KIVHIPCMEMORY_GETADDRESS;
        probe = 70;
        rc = memory.getAddress(&address);
    }
    if (rc != 0) {
        // Half a queue is no queue: let go of the parts already joined.
        spaceSemaphore.detach();
        dataSemaphore.detach();
        memory.detach();
        rc = queueExistence(rc);
        return f.calledFailed(member, rc, rc, probe, 1, KIVLOG_STRING(name));
    }
    header = static_cast<KIVIPCQueueHeader*>(address);
    return f.ok();
}

/* Items of every failure record of put. */
#define KIV_QUEUE_PUT_ITEMS(sem)                                                          \
    3, KIVLOG_HEX(message), KIVLOG_UINT(length), KIVLOG_HEX((sem).handle)

Uint32 KIVHIPCQueue::put(const void* message, Uint32 length)
{
    KIVFrame f(KIVFN_KIVHIPCQUEUE_PUT);
    // A destroyed queue keeps its header pointer: the members tell.
    if (header == nullptr || !isAttached())
        return f.fail(10, ECF_INVALID_INVOCATION_SEQUENCE, KIV_QUEUE_PUT_ITEMS(spaceSemaphore));
    if (message == nullptr && length != 0)
        return f.fail(20, ECF_INVALID_PARAMETER, KIV_QUEUE_PUT_ITEMS(spaceSemaphore));

    KIVIPCQueueHeader* h = header;
    Party writer(h, h->writerWaiting, spaceSemaphore, h->readerWaiting, dataSemaphore, 70);
    h->putLatch.get();
    writer.lock();
    // The length word needs 4 bytes, and free space comes in multiples of 4.
    bool going = true;
    while (going && freeSpace(h) == 0)
        going = writer.wait(KIV_IPC_WAIT_FOREVER, 50, 50);
    if (going) {
        Uint32 at = h->writeOffset;
        ringWrite(h, at, &length, sizeof length);
        commitWrite(h, at, sizeof length);
        // A waiting reader is owed a wake-up for the length word alone: in
        // a 4-byte ring nothing more fits until that reader has taken it.
        writer.progressed();
    }
    const Uint8* from = static_cast<const Uint8*>(message);
    Uint32 left = length;
    while (going && left > 0) {
        if (h->abandoned) {
            // Its reader gave up on this message: what the ring holds is
            // the rest of it, which nobody will read.
            makeEmpty(h);
            break;
        }
        Uint32 room = freeSpace(h);
        if (room == 0) {
            going = writer.wait(KIV_IPC_WAIT_FOREVER, 60, 60);
            continue;
        }
        Uint32 n = room < left ? room : left;
        Uint32 at = h->writeOffset;
        if (n <= kCopyUnderLatch) {
            ringWrite(h, at, from, n);
        } else {
            if (!writer.unlock())
                break;
            ringWrite(h, at, from, n);
            writer.lock();
        }
        commitWrite(h, at, n);
        from += n;
        left -= n;
        writer.progressed();
    }
    // A reader may have given up while the last piece was on its way: then
    // the ring holds only the rest of this message.
    if (writer.held() && h->abandoned)
        makeEmpty(h);
    if (writer.held())
        writer.unlock();
    h->putLatch.release();
    if (writer.failed())
        return f.calledFailed(writer.member, writer.rc, writer.rc, writer.probe,
                              KIV_QUEUE_PUT_ITEMS(*writer.semaphore));
    return f.ok();
}

/* Items of every failure record of get. */
#define KIV_QUEUE_GET_ITEMS(sem)                                                           \
    4, KIVLOG_HEX(buffer), KIVLOG_UINT(bufferSize), KIVLOG_SINT(timeout),                  \
        KIVLOG_HEX((sem).handle)

Uint32 KIVHIPCQueue::get(void* buffer, Uint32 bufferSize, Uint32* received, int timeout)
{
    KIVFrame f(KIVFN_KIVHIPCQUEUE_GET);
    if (header == nullptr || !isAttached())
        return f.fail(10, ECF_INVALID_INVOCATION_SEQUENCE, KIV_QUEUE_GET_ITEMS(dataSemaphore));
    if ((buffer == nullptr && bufferSize != 0) || timeout < KIV_IPC_QUEUE_WAIT_FOREVER)
        return f.fail(20, ECF_INVALID_PARAMETER, KIV_QUEUE_GET_ITEMS(dataSemaphore));

    KIVIPCQueueHeader* h = header;
    Party reader(h, h->readerWaiting, dataSemaphore, h->writerWaiting, spaceSemaphore, 130);
    Deadline deadline(timeout);
    h->getLatch.get();
    reader.lock();

    // A message begins once the ring holds data that nobody abandoned.
    bool going = true;
    while (going && (!h->notEmpty || h->abandoned)) {
        if (timeout == 0) {
            reader.unlock();
            h->getLatch.release();
            return f.ret(ECF_QUE_INVALID_MSG_TYPE);
        }
        going = reader.wait(deadline.left(), 80, 90);
    }

    // Look before taking: a message too long for the buffer stays queued,
    // and the caller learns what it needs.
    Uint32 length = 0;
    if (going)
        ringRead(h, h->readOffset, &length, sizeof length);
    if (going && length > bufferSize) {
        reader.unlock();
        h->getLatch.release();
        if (received != nullptr)
            *received = length;
        return f.fail(100, ECF_QUE_MSG_TOO_BIG, 2, KIVLOG_UINT(length), KIVLOG_UINT(bufferSize));
    }
    if (going) {
        // The freed length word is owed to a waiting writer even before the
        // body: in a 4-byte ring the writer can send nothing else.
        commitRead(h, h->readOffset, sizeof length);
        reader.progressed();
    }

    Uint8* to = static_cast<Uint8*>(buffer);
    Uint32 left = length;
    while (going && left > 0) {
        Uint32 used = usedSpace(h);
        if (used == 0) {
            if (reader.wait(deadline.left(), 110, 120))
                continue;
            going = false;
            if (reader.member == KIVFN_KIVHIPCSEMAPHORE_POST)
                break;   // a wake-up could not be delivered
            // The rest may have arrived meanwhile.  If not, its writer is
            // told to drop it (and woken, should it have filled the ring
            // since), so that the next get starts at the next message.
            reader.lock();
            storeFlag(h->readerWaiting, 0);
            used = usedSpace(h);
            if (used < left) {
                h->abandoned = 1;
                reader.progressed();
                break;
            }
            reader.forgive();
            going = true;
        }
        Uint32 n = left < used ? left : used;
        Uint32 at = h->readOffset;
        if (n <= kCopyUnderLatch) {
            ringRead(h, at, to, n);
        } else {
            if (!reader.unlock()) {
                going = false;
                break;
            }
            ringRead(h, at, to, n);
            reader.lock();
        }
        commitRead(h, at, n);
        to += n;
        left -= n;
        reader.progressed();
    }
    if (reader.held())
        reader.unlock();
    h->getLatch.release();
    if (reader.failed())
        return f.calledFailed(reader.member, reader.rc, reader.rc, reader.probe,
                              KIV_QUEUE_GET_ITEMS(*reader.semaphore));
    if (received != nullptr)
        *received = length;
    return f.ok();
}

bool KIVHIPCQueue::hasMessage()
{
    KIVFrame f(KIVFN_KIVHIPCQUEUE_HASMESSAGE);
    if (header == nullptr || !isAttached()) {
        f.fail(10, ECF_INVALID_INVOCATION_SEQUENCE);
        return false;
    }
    bool has;
    {
        QueueLatchHold hold(header);
        has = header->notEmpty && !header->abandoned;
    }
    f.ok();
    return has;
}

Uint32 KIVHIPCQueue::flush()
{
    KIVFrame f(KIVFN_KIVHIPCQUEUE_FLUSH);
    if (header == nullptr || !isAttached())
        return f.fail(10, ECF_INVALID_INVOCATION_SEQUENCE);
    KIVIPCQueueHeader* h = header;
    bool wakeReader, wakeWriter;
    {
        QueueLatchHold hold(h);
        h->writeOffset = 0;
        makeEmpty(h);
        wakeReader = loadFlag(h->readerWaiting) != 0;
        wakeWriter = loadFlag(h->writerWaiting) != 0;
        storeFlag(h->readerWaiting, 0);
        storeFlag(h->writerWaiting, 0);
    }
    // Blocked parties look again, find the new state and wait as needed.
    Uint32 rc = 0;
    Uint32 r = wakeReader ? dataSemaphore.post() : 0;
    if (r != 0)
        rc = f.stepCalledFailed(KIVFN_KIVHIPCSEMAPHORE_POST, r, r, 40, 1,
                                KIVLOG_HEX(dataSemaphore.handle));
    r = wakeWriter ? spaceSemaphore.post() : 0;
    if (r != 0) {
        f.stepCalledFailed(KIVFN_KIVHIPCSEMAPHORE_POST, r, r, 50, 1,
                           KIVLOG_HEX(spaceSemaphore.handle));
        if (rc == 0)
            rc = r;
    }
    return f.ret(rc);
}

Uint32 KIVHIPCQueue::query(KIVIPCQueueInfo* info)
{
    KIVFrame f(KIVFN_KIVHIPCQUEUE_QUERY);
    Uint32 rc;
    if (!f.checkParam(info, rc))
        return rc;
    if (header == nullptr || !isAttached())
        return f.fail(10, ECF_INVALID_INVOCATION_SEQUENCE);
    QueueLatchHold hold(header);
    info->capacity = header->capacity;
    info->usedBytes = usedSpace(header);
    info->freeBytes = info->capacity - info->usedBytes;
    return f.ok();
}

Uint32 KIVHIPCQueue::detach()
{
    KIVFrame f(KIVFN_KIVHIPCQUEUE_DETACH);
    Uint32 rc = memory.detach();
    if (rc != 0)
        return f.calledFailed(KIVFN_KIVHIPCMEMORY_DETACH, rc, rc, 30);
    rc = dataSemaphore.detach();
    if (rc != 0)
        return f.calledFailed(KIVFN_KIVHIPCSEMAPHORE_DETACH, rc, rc, 40);
    rc = spaceSemaphore.detach();
    if (rc != 0)
        return f.calledFailed(KIVFN_KIVHIPCSEMAPHORE_DETACH, rc, rc, 50);
    header = nullptr;
    return f.ok();
}

Uint32 KIVHIPCQueue::destroy()
{
    KIVFrame f(KIVFN_KIVHIPCQUEUE_DESTROY);
    Uint32 rc = memory.destroy();
    if (rc != 0)
        return f.calledFailed(KIVFN_KIVHIPCMEMORY_DESTROY, rc, rc, 40);
    rc = dataSemaphore.destroy();
    if (rc != 0)
        return f.calledFailed(KIVFN_KIVHIPCSEMAPHORE_DESTROY, rc, rc, 50);
    rc = spaceSemaphore.destroy();
    if (rc != 0)
        return f.calledFailed(KIVFN_KIVHIPCSEMAPHORE_DESTROY, rc, rc, 60);
    return f.ok();
}

Uint32 KIVHIPCQueue::authorize(const KIVIPCSecurityParam* const param)
{
    KIVFrame f(KIVFN_KIVHIPCQUEUE_AUTHORIZE);
    Uint32 rc;
    if (!f.checkParam(param, rc))
        return rc;
    return f.ok();
}

/* ---- limits ------------------------------------------------------------------- */

Uint32 kivGetMaxQueueMessageSize(void)
{
    Uint32 cached = __atomic_load_n(&g_maxQueueMessageSize, __ATOMIC_RELAXED);
    if (cached != 0)
        return cached;
    Uint32 value = 0;
    Uint32 rc = queryKernelMaxMessageSize(&value);
    if (rc != 0 && rc != ECF_PARTIAL_INFO)
        value = 0;
    __atomic_store_n(&g_maxQueueMessageSize, value, __ATOMIC_RELAXED);
    return value;
}
