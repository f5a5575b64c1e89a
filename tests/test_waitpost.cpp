/* test_waitpost.cpp - waitposts (KIVHIPCWaitpost), in one process and between two. */
#include "kivecf.h"
#include "kivipc.h"
#include "kivos.h"
#include "kivtest.h"
#include "kivtestlog.h"
#include "kivwaitpost.h"

#include <atomic>
#include <cstring>
#include <string>
#include <thread>

namespace {

const Uint32 kOldVersion = 0x0131CBFDu;   // one below the minimum
const Uint32 kChildWaitMs = 60000;        // a bound on waits for another process

struct Record { Uint32 sender; Uint32 sequence; char text[24]; };

Record recordOf(Uint32 sender, Uint32 sequence, const char* text)
{
    Record r;
    memset(&r, 0, sizeof r);
    r.sender = sender;
    r.sequence = sequence;
    strncpy(r.text, text, sizeof r.text - 1);
    return r;
}

KIVIPCResID eventId(const std::string& path) { return kivtestResID(path, 4); }

/* An area and a data buffer, as one party would keep them in memory. */
struct Place {
    KIVIPCWaitpostArea area;
    Record             data;
};

Uint32 createOn(KIVHIPCWaitpost& w, Place& p, const KIVIPCResID* id, Uint32 type)
{
    KIVIPCWaitpostCreateParam c;
    c.area = &p.area;
    c.dataBuffer = &p.data;
    c.dataSize = sizeof p.data;
    c.resID = id;
    c.type = type;
    return w.create(&c);
}

Uint32 openOn(KIVHIPCWaitpost& w, Place& p, const KIVIPCResID* id)
{
    KIVIPCWaitpostOpenParam o;
    o.area = &p.area;
    o.dataBuffer = &p.data;
    o.dataSize = sizeof p.data;
    o.resID = id;
    return w.open(&o);
}

Uint32 waitFor(KIVHIPCWaitpost& w, Uint32 timeout, void* out = nullptr)
{
    KIVIPCWaitpostWaitParam p(timeout);
    return w.wait(&p, out);
}

/* A named waitpost created on a fresh name, destroyed at the end. */
struct Named {
    explicit Named(Uint32 type = KIV_WAITPOST_TYPE_MANUAL_RESET)
        : id(eventId(kivtestUniqueName("kivwp")))
    {
        memset(&place, 0, sizeof place);
        rc = createOn(w, place, &id, type);
    }
    ~Named() { if (w.handle != INVALID_HANDLE_VALUE) w.destroy(); }
    KIVIPCResID     id;
    Place           place;
    KIVHIPCWaitpost w;
    Uint32          rc = 0;
};

/* The shared section: the waitpost to the child and the one to the parent. */
struct Shared { Place toChild; Place toParent; };

KIVIPCResID sectionId(const std::string& path) { return kivtestResID(path, 8); }

} // namespace

TEST(IPCWaitpost, CreateLaysOutTheArea)
{
    struct Case { bool named; Uint32 type; Uint8 noLatch; Uint32 state; } cases[] = {
        {true, KIV_WAITPOST_TYPE_MANUAL_RESET, 0, KIV_WAITPOST_STATE_NAMED},
        {true, KIV_WAITPOST_TYPE_AUTO_RESET, 0,
         KIV_WAITPOST_STATE_NAMED | KIV_WAITPOST_STATE_AUTO_RESET},
        {true, KIV_WAITPOST_TYPE_NO_LATCH, 1, KIV_WAITPOST_STATE_NAMED},
        {false, KIV_WAITPOST_TYPE_MANUAL_RESET, 0, KIV_WAITPOST_STATE_UNNAMED},
    };
    for (const Case& c : cases) {
        KIVIPCResID id = eventId(kivtestUniqueName("kivwp_area"));
        Place p;
        memset(&p.area, 0xA5, sizeof p.area);   // whatever was there before
        KIVHIPCWaitpost w;
        ASSERT_EQ(0u, createOn(w, p, c.named ? &id : nullptr, c.type)) << c.type;
        EXPECT_EQ(c.noLatch, p.area.noLatch) << c.type;
        EXPECT_EQ(0u, p.area.latch.value());
        EXPECT_EQ(0u, p.area.reserved[0] | p.area.reserved[1]);
        EXPECT_EQ(c.state, p.area.state) << c.type;
        EXPECT_EQ(&p.area, w.area);
        EXPECT_NE(INVALID_HANDLE_VALUE, w.handle);
        EXPECT_EQ(0u, w.destroy());
        EXPECT_EQ(0u, p.area.state);
        EXPECT_EQ(INVALID_HANDLE_VALUE, w.handle);
    }
}

TEST(IPCWaitpost, ParameterChecks)
{
    KivLogCapture log;
    KIVHIPCWaitpost w;
    EXPECT_EQ(ECF_INVALID_PARAMETER, w.create(nullptr));
    EXPECT_TRUE(log.has(KIVFN_KIVHIPCWAITPOST_CREATE, 1111));
    KIVIPCWaitpostCreateParam c;
    c.version = kOldVersion;
    EXPECT_EQ(ECF_INVALID_VERSION, w.create(&c));
    EXPECT_TRUE(log.has(KIVFN_KIVHIPCWAITPOST_CREATE, 1112));
    c.version = KIV_VERSION_CURRENT;
    EXPECT_EQ(ECF_INVALID_PARAMETER, w.create(&c));   // no area
    EXPECT_EQ(ECF_INVALID_PARAMETER, w.open(nullptr));
    EXPECT_TRUE(log.has(KIVFN_KIVHIPCWAITPOST_OPEN, 1111));
    Named n;
    ASSERT_EQ(0u, n.rc);
    EXPECT_EQ(ECF_INVALID_PARAMETER, n.w.wait(nullptr, nullptr));
    EXPECT_TRUE(log.has(KIVFN_KIVHIPCWAITPOST_WAIT, 1111));
    // An open object may not be created or opened again.
    EXPECT_EQ(ECF_INVALID_INVOCATION_SEQUENCE, createOn(n.w, n.place, &n.id, 0));
    EXPECT_EQ(ECF_INVALID_INVOCATION_SEQUENCE, openOn(n.w, n.place, &n.id));
    EXPECT_EQ(KIV_WAITPOST_STATE_NAMED, n.place.area.state);
}

TEST(IPCWaitpost, AManualResetWaitpostStaysPostedUntilReset)
{
    Named n;
    ASSERT_EQ(0u, n.rc);
    Record out = recordOf(0, 0, "");
    EXPECT_EQ(ECF_WAITPOST_NOT_POSTED, waitFor(n.w, 0, &out));
    Record sent = recordOf(7, 1, "first");
    ASSERT_EQ(0u, n.w.post(&sent));
    EXPECT_EQ(0u, waitFor(n.w, 0, &out));
    EXPECT_EQ(0, memcmp(&out, &sent, sizeof out));
    // A later post overwrites the record: posts are not queued.
    Record second = recordOf(7, 2, "second");
    ASSERT_EQ(0u, n.w.post(&second));
    EXPECT_EQ(0u, waitFor(n.w, KIV_IPC_WAIT_FOREVER, &out));
    EXPECT_EQ(2u, out.sequence);
    ASSERT_EQ(0u, n.w.reset());
    EXPECT_EQ(ECF_WAITPOST_NOT_POSTED, waitFor(n.w, 0, &out));
    EXPECT_EQ(2u, out.sequence); // the record stays
}

TEST(IPCWaitpost, AWaitTimesOutOrIsReleasedByAPost)
{
    Named n;
    ASSERT_EQ(0u, n.rc);
    Record out = recordOf(9, 9, "untouched");
    EXPECT_EQ(ECF_TIMEOUT, waitFor(n.w, 20, &out));
    EXPECT_STREQ("untouched", out.text);

    Uint32 rc = 1;
    std::thread waiter([&] { rc = waitFor(n.w, KIV_IPC_WAIT_FOREVER, &out); });
    Record sent = recordOf(5, 5, "wake up");
    ASSERT_EQ(0u, n.w.post(&sent));
    waiter.join();
    EXPECT_EQ(0u, rc);
    EXPECT_STREQ("wake up", out.text);
}

TEST(IPCWaitpost, AnAutoResetWaitpostReleasesOneWaiterPerPost)
{
    Named n(KIV_WAITPOST_TYPE_AUTO_RESET);
    ASSERT_EQ(0u, n.rc);
    KIVHIPCWaitpost other, poller;
    ASSERT_EQ(0u, openOn(other, n.place, &n.id));
    ASSERT_EQ(0u, openOn(poller, n.place, &n.id));
    std::atomic<int> released(0);
    auto waitOnce = [&released](KIVHIPCWaitpost* w) {
        if (waitFor(*w, KIV_IPC_WAIT_FOREVER) == 0)
            ++released;
    };
    std::thread a(waitOnce, &n.w), b(waitOnce, &other);
    ASSERT_EQ(0u, n.w.post(nullptr));
    ASSERT_TRUE(kivtestEventually([&] { return released.load() >= 1; }));
    // The post was used up by the one waiter it released.
    EXPECT_EQ(ECF_WAITPOST_NOT_POSTED, waitFor(poller, 0));
    EXPECT_EQ(1, released.load());
    ASSERT_EQ(0u, n.w.post(nullptr));
    a.join();
    b.join();
    EXPECT_EQ(2, released.load());
    EXPECT_EQ(0u, poller.close());
    EXPECT_EQ(0u, other.close());
}

TEST(IPCWaitpost, CloseLeavesTheWaitpostToTheOthers)
{
    Named n;
    ASSERT_EQ(0u, n.rc);
    KIVHIPCWaitpost other;
    ASSERT_EQ(0u, openOn(other, n.place, &n.id));
    EXPECT_EQ(0u, other.close());
    EXPECT_EQ(INVALID_HANDLE_VALUE, other.handle);
    EXPECT_EQ(KIV_WAITPOST_STATE_NAMED, n.place.area.state);
    EXPECT_EQ(0u, n.w.post(nullptr));
    EXPECT_EQ(0u, waitFor(n.w, 0));
}

TEST(IPCWaitpost, DestroyEndsTheWaitpostForEveryParty)
{
    Named n;
    ASSERT_EQ(0u, n.rc);
    KIVHIPCWaitpost other;
    ASSERT_EQ(0u, openOn(other, n.place, &n.id));
    ASSERT_EQ(0u, n.w.destroy());
    EXPECT_EQ(0u, n.place.area.state);

    KivLogCapture log;
    EXPECT_EQ(ECF_WAITPOST_NOT_INITIALIZED, other.post(nullptr));
    EXPECT_EQ(ECF_WAITPOST_NOT_INITIALIZED, waitFor(other, 0));
    EXPECT_EQ(ECF_WAITPOST_NOT_INITIALIZED, other.destroy());
    // The stale party let go of its event all the same.
    EXPECT_EQ(INVALID_HANDLE_VALUE, other.handle);
    KIVHIPCWaitpost late;
    EXPECT_EQ(ECF_WAITPOST_NOT_INITIALIZED, openOn(late, n.place, &n.id));
    EXPECT_EQ(INVALID_HANDLE_VALUE, late.handle);
    EXPECT_TRUE(log.has(KIVFN_KIVHIPCWAITPOST_OPEN, 30));
    EXPECT_TRUE(log.has(KIVFN_KIVHIPCWAITPOST_POST, 10));
}

/* args: path.  Answers the parent's record, then destroys the waitpost it came by. */
KIVTEST_CHILD(waitpostEcho)
{
    const std::string& path = args.at(0);
    KIVIPCResID sid = sectionId(path), inId = eventId(path + "c"), outId = eventId(path + "p");
    KIVHIPCMemory m;
    if (m.attach(&sid, nullptr) != 0)
        return 2;
    Shared* s = static_cast<Shared*>(m.address);
    KIVHIPCWaitpost in, out;
    if (openOn(in, s->toChild, &inId) != 0 || openOn(out, s->toParent, &outId) != 0)
        return 3;
    Record got;
    if (waitFor(in, kChildWaitMs, &got) != 0)
        return 4;
    Record answer = recordOf((Uint32)GetCurrentProcessId(), got.sequence + 1, "echo");
    if (out.post(&answer) != 0 || in.destroy() != 0 || out.close() != 0)
        return 5;
    return m.detach() == 0 ? 0 : 6;
}

TEST(IPCWaitpostShared, AnotherProcessPostsItsRecordAndDestroysTheWaitpost)
{
    const std::string path = kivtestUniqueName("kivwp_proc");
    KIVHIPCMemory memory;
    KIVIPCMemoryCreateParam mp;
    mp.resID = sectionId(path);
    mp.size = sizeof(Shared);
    ASSERT_EQ(0u, memory.create(&mp));
    Shared* shared = static_cast<Shared*>(memory.address);
    KIVIPCResID inId = eventId(path + "c"), outId = eventId(path + "p");
    KIVHIPCWaitpost toChild, toParent;
    ASSERT_EQ(0u, createOn(toChild, shared->toChild, &inId, KIV_WAITPOST_TYPE_AUTO_RESET));
    ASSERT_EQ(0u, createOn(toParent, shared->toParent, &outId, KIV_WAITPOST_TYPE_MANUAL_RESET));
    KivTestProcess child = kivtestSpawnChild("waitpostEcho", {path});

    Record ask = recordOf(1, 41, "ask");
    ASSERT_EQ(0u, toChild.post(&ask));
    Record answer = recordOf(0, 0, "");
    EXPECT_EQ(0u, waitFor(toParent, kChildWaitMs, &answer));
    EXPECT_EQ(42u, answer.sequence);
    EXPECT_STREQ("echo", answer.text);
    EXPECT_NE((Uint32)GetCurrentProcessId(), answer.sender);
    EXPECT_EQ(0, kivtestWaitChild(child));
    // Destroyed there, it is ended here; closing still lets go of the event.
    EXPECT_EQ(0u, shared->toChild.area.state);
    EXPECT_EQ(ECF_WAITPOST_NOT_INITIALIZED, toChild.post(nullptr));
    EXPECT_EQ(ECF_WAITPOST_NOT_INITIALIZED, toChild.close());
    EXPECT_EQ(INVALID_HANDLE_VALUE, toChild.handle);
    // The child only closed the other one: it stays initialised here.
    EXPECT_EQ(KIV_WAITPOST_STATE_NAMED, shared->toParent.area.state);
    EXPECT_EQ(0u, toParent.destroy());
    EXPECT_EQ(0u, memory.detach());
}

TEST(IPCWaitpost, OpeningAMissingEventFails)
{
    Named n;
    ASSERT_EQ(0u, n.rc);
    KIVIPCResID elsewhere = eventId(kivtestUniqueName("kivwp_none"));
    KivLogCapture log;
    KIVHIPCWaitpost w;
    EXPECT_NE(0u, openOn(w, n.place, &elsewhere));
    EXPECT_EQ(INVALID_HANDLE_VALUE, w.handle);
    KivLogRecord r = log.at(KIVFN_KIVHIPCWAITPOST_OPEN, 40);
    EXPECT_EQ(KIVOSFN_OPENEVENT, r.calledFunctionId);
    EXPECT_EQ(2u, r.calledValue); // ERROR_FILE_NOT_FOUND
}
