/* test_ipc.cpp - IPC names, security, shared memory and semaphores,
 * within a process and between processes. */
#include "kivecf.h"
#include "kivipc.h"
#include "kivlog.h"
#include "kivos.h"
#include "kivsecurity.h"
#include "kivtest.h"
#include "kivtestlog.h"
#include "kivthread.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

const Uint32 kOldVersion = 0x0131CBFDu;       // one below the minimum
const Uint32 kChildWaitMs = 60000;           // a bound on waits for another process

KIVIPCResID resIDOf(const std::string& path, Sint32 id = 1)
{
    KIVIPCGetResIDParam d;
    d.path = path.c_str();
    d.id = id;
    d.localOnly = true;
    KIVIPCResID r;
    EXPECT_EQ(0u, kivIPCGetResID(&d, &r));
    return r;
}

bool endsWith(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

Uint32 createMemory(KIVHIPCMemory& m, const KIVIPCResID& id, Uint32 size)
{
    KIVIPCMemoryCreateParam p;
    p.resID = id;
    p.size = size;
    return m.create(&p);
}

Uint32 createSemaphore(KIVHIPCSemaphore& s, const KIVIPCResID& id, Sint32 initial)
{
    KIVIPCSemaphoreCreateParam p(initial, 0600, 0);
    p.resID = id;
    return s.create(&p);
}

Uint32 waitFor(KIVHIPCSemaphore& s, Uint32 timeout)
{
    KIVIPCSemaphoreWaitParam w(timeout);
    return s.wait(&w);
}

/* A byte pattern that a wrong offset or a short copy would break. */
void fillPattern(void* p, size_t n)
{
    for (size_t i = 0; i < n; ++i)
        static_cast<Uint8*>(p)[i] = (Uint8)(i * 13 + 5);
}

size_t patternErrors(const void* p, size_t n)
{
    size_t wrong = 0;
    for (size_t i = 0; i < n; ++i)
        wrong += static_cast<const Uint8*>(p)[i] != (Uint8)(i * 13 + 5);
    return wrong;
}

/* Puts back the default security when a test ends. */
struct SecurityOverride {
    explicit SecurityOverride(SECURITY_ATTRIBUTES* sa) { kivSetSecurityAttributesForKIV(sa); }
    ~SecurityOverride() { kivSetSecurityAttributesForKIV(nullptr); }
};

} // namespace

TEST(IPCResID, NameIsStemIdAndPathWithoutSeparators)
{
    EXPECT_EQ("KIVEIPC3Cdataq1", std::string(resIDOf("C:\\data\\q1", 3).name));
    // A long path is cut at 260 characters.
    std::string name = resIDOf(std::string(300, 'a')).name;
    EXPECT_EQ("KIVEIPC1" + std::string(252, 'a'), name);
}

TEST(IPCResID, TheGlobalPrefixFollowsTheRemoteAdminModeFlag)
{
    // The two terminal-service flags are set together at load; a host that
    // tells them apart gets the Global\ prefix from the remote-admin one.
    struct Flags {
        Uint32 terminal = g_bRunningTerminalService;
        Uint32 remoteAdmin = g_bRunningTerminalServiceRemoteAdminMode;
        ~Flags()
        {
            g_bRunningTerminalService = terminal;
            g_bRunningTerminalServiceRemoteAdminMode = remoteAdmin;
        }
    } saved;
    KIVIPCGetResIDParam d;
    d.path = "p";
    d.id = 5;
    KIVIPCResID r;
    g_bRunningTerminalService = 0;
    g_bRunningTerminalServiceRemoteAdminMode = 1;
    ASSERT_EQ(0u, kivIPCGetResID(&d, &r));
    EXPECT_STREQ("Global\\KIVEIPC5p", r.name);
    d.localOnly = true;
    ASSERT_EQ(0u, kivIPCGetResID(&d, &r));
    EXPECT_STREQ("KIVEIPC5p", r.name);
    g_bRunningTerminalService = 1;
    g_bRunningTerminalServiceRemoteAdminMode = 0;
    d.localOnly = false;
    ASSERT_EQ(0u, kivIPCGetResID(&d, &r));
    EXPECT_STREQ("KIVEIPC5p", r.name);
}

TEST(IPCResID, QueueNamesTakeThreeConsecutiveIds)
{
    KIVIPCGetResIDParam d;
    d.path = "D:\\queues\\q";
    d.id = 10;
    d.localOnly = true;
    KIVIPCQueResID q;
    ASSERT_EQ(0u, kivIPCGetQueResID(&d, &q));
    EXPECT_STREQ("KIVEIPC10Dqueuesq", q.memory.name);
    EXPECT_STREQ("KIVEIPC11Dqueuesq", q.dataSemaphore.name);
    EXPECT_STREQ("KIVEIPC12Dqueuesq", q.spaceSemaphore.name);
    KivLogCapture log;
    EXPECT_EQ(ECF_INVALID_PARAMETER, kivIPCGetQueResID(&d, nullptr));
    kivtestExpectNullRecord(log, KIVFN_KIVIPCGETQUERESID);
    q.version = kOldVersion;
    EXPECT_EQ(ECF_INVALID_VERSION, kivIPCGetQueResID(&d, &q));
    kivtestExpectVersionRecord(log, KIVFN_KIVIPCGETQUERESID, kOldVersion);
}

TEST(IPCSecurity, AnInstalledOverrideIsCopied)
{
    SECURITY_ATTRIBUTES mine;
    mine.nLength = sizeof mine;
    mine.lpSecurityDescriptor = nullptr;   // the system's default security
    mine.bInheritHandle = FALSE;
    EXPECT_EQ(&mine, kivSetSecurityAttributesForKIV(&mine));
    SecurityOverride restore(&mine);
    SECURITY_ATTRIBUTES sa;
    std::memset(&sa, 0xEE, sizeof sa);
    ASSERT_EQ(0u, kivInitSecurityAttributes2(&sa, nullptr));
    EXPECT_EQ(0, std::memcmp(&mine, &sa, sizeof sa));
}

TEST(IPCMemory, CreateMapsAPageRoundedSection)
{
    KIVIPCResID id = resIDOf(kivtestUniqueName("kivipc_mem"));
    KIVHIPCMemory a;
    ASSERT_EQ(0u, createMemory(a, id, 100));
    Uint32 size = 0;
    ASSERT_EQ(0u, a.getMemorySize(&size));
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    EXPECT_EQ(si.dwPageSize, size);   // the page-rounded region

    EXPECT_EQ(0u, a.detach());
}

TEST(IPCMemory, CreateNeverOpensAnExistingSection)
{
    KIVIPCResID id = resIDOf(kivtestUniqueName("kivipc_mem"));
    KIVHIPCMemory a, b;
    ASSERT_EQ(0u, createMemory(a, id, 4096));
    EXPECT_EQ(ECF_MEM_EXISTS, createMemory(b, id, 4096));
    EXPECT_FALSE(b.isAttached());
    EXPECT_EQ(0u, a.detach());
    // Once gone, attach finds nothing.
    EXPECT_EQ(ECF_MEM_DOESNT_EXIST, b.attach(&id, nullptr));
}

KIVTEST_CHILD(ipcMemoryWrite)
{
    KIVIPCResID id = resIDOf(args.at(0));
    KIVHIPCMemory m;
    if (m.attach(&id, nullptr) != 0)
        return 2;
    fillPattern(m.address, (size_t)std::atol(args.at(1).c_str()));
    return m.detach() == 0 ? 0 : 3;
}

TEST(IPCMemory, AChildAttachesByNameAndWrites)
{
    std::string path = kivtestUniqueName("kivipc_mem");
    KIVIPCResID id = resIDOf(path);
    KIVHIPCMemory m;
    ASSERT_EQ(0u, createMemory(m, id, 30000));
    ASSERT_EQ(0, kivtestRunChild("ipcMemoryWrite", {path, "30000"}));
    EXPECT_EQ(0u, patternErrors(m.address, 30000));
    EXPECT_EQ(0u, m.detach());
}

static std::string privateStem(Uint32 threadId)
{
    char buf[80];
    std::snprintf(buf, sizeof buf, "PRIVMEMPID%uTID%u", (unsigned)GetCurrentProcessId(),
                  (unsigned)threadId);
    return buf;
}

static Uint32 createPrivate(KIVHIPCPrivateMemory& m, Uint32 size, KIVIPCMemoryCreateParam* used = nullptr)
{
    KIVIPCMemoryCreateParam p;
    p.size = size;
    Uint32 rc = m.create(&p);
    if (used)
        *used = p;
    return rc;
}

TEST(IPCPrivateMemory, NamesFollowProcessThreadAndUse)
{
    KIVHIPCPrivateMemory first, second;
    KIVIPCMemoryCreateParam used;
    ASSERT_EQ(0u, createPrivate(first, 100, &used));
    std::string stem = privateStem(kivThreadID());
    EXPECT_TRUE(endsWith(used.resID.name, "KIVEIPC0" + stem)) << used.resID.name;
    // The same thread again, while the first exists: the next id.
    ASSERT_EQ(0u, createPrivate(second, 100));
    EXPECT_TRUE(endsWith(second.resID.name, "KIVEIPC1" + stem)) << second.resID.name;
    // Another thread starts at 0 with its own id.
    std::string otherName;
    Uint32 otherThread = 0;
    std::thread t([&] {
        KIVHIPCPrivateMemory m;
        if (createPrivate(m, 100) == 0) {
            otherName = m.resID.name;
            m.detach();
        }
        otherThread = kivThreadID();
    });
    t.join();
    EXPECT_TRUE(endsWith(otherName, "KIVEIPC0" + privateStem(otherThread))) << otherName;

    EXPECT_EQ(0u, first.detach());
    EXPECT_EQ(0u, second.detach());
}

TEST(IPCPrivateMemory, AThreadHoldsAtMostAHundred)
{
    std::vector<KIVHIPCPrivateMemory> held(100);
    for (auto& m : held)
        ASSERT_EQ(0u, createPrivate(m, 64));
    KIVHIPCPrivateMemory extra;
    EXPECT_EQ(ECF_NO_RESOURCE, createPrivate(extra, 64));
    EXPECT_FALSE(extra.isAttached());
    for (auto& m : held)
        EXPECT_EQ(0u, m.detach());
}

KIVTEST_CHILD(ipcPrivateWrite)
{
    KIVHIPCPrivateMemory m;
    void* copy = kivtestShmOpen(args.at(0), sizeof m, false);
    if (!copy)
        return 2;
    std::memcpy(static_cast<void*>(&m), copy, sizeof m);
    kivtestShmClose(copy, sizeof m);
    // The parent's handle and address: refused until remoteInitialization.
    if (m.attach(nullptr) != ECF_INVALID_INVOCATION_SEQUENCE)
        return 3;
    if (m.remoteInitialization() != 0 || m.attach(nullptr) != 0)
        return 4;
    fillPattern(m.address, (size_t)std::atol(args.at(1).c_str()));
    return m.detach() == 0 ? 0 : 5;
}

TEST(IPCPrivateMemory, AnotherProcessAttachesWithACopyOfTheObject)
{
    KIVHIPCPrivateMemory m;
    ASSERT_EQ(0u, createPrivate(m, 5000));
    std::string shm = kivtestUniqueName("kivipc_obj");
    void* copy = kivtestShmOpen(shm, sizeof m, true);
    ASSERT_NE(nullptr, copy);
    std::memcpy(copy, static_cast<const void*>(&m), sizeof m);
    EXPECT_EQ(0, kivtestRunChild("ipcPrivateWrite", {shm, "5000"}));
    kivtestShmClose(copy, sizeof m);
    kivtestShmUnlink(shm);
    EXPECT_EQ(0u, patternErrors(m.address, 5000));
    EXPECT_EQ(0u, m.destroy());
}

static Uint32 createEx(KIVHIPCMemoryEx& m, const std::string& name, Uint64 size, Uint64 flags)
{
    KIVIPCMemoryExCreateParam p;
    p.name = name.c_str();
    p.size = size;
    p.flags = flags;
    p.permissions = 0600;
    KIVIPCMemoryExInfo info;
    return m.create(&p, &info);
}

static Uint32 attachEx(KIVHIPCMemoryEx& m, const std::string& name, Uint64 flags)
{
    KIVIPCMemoryExAttachParam p;
    p.name = name.c_str();
    p.flags = flags;
    KIVIPCMemoryExInfo info;
    return m.attach(&p, &info);
}

static bool isReset(const KIVHIPCMemoryEx& m)
{
    return m.handle == INVALID_HANDLE_VALUE && m.address == nullptr && m.size == 0 &&
           m.name[0] == '\0';
}

TEST(IPCMemoryEx, CreateAndAttachByPlainName)
{
    std::string name = kivtestUniqueName("kivipc_ex");
    KIVHIPCMemoryEx a;
    ASSERT_EQ(0u, createEx(a, name, 5000, KIV_IPC_MEMEX_READWRITE));
    EXPECT_EQ(5000u, a.size);
    EXPECT_TRUE(endsWith(a.name, "KIVEIPC120" + name)) << a.name;
    fillPattern(a.address, 5000);

    KIVHIPCMemoryEx b;
    ASSERT_EQ(0u, attachEx(b, name, KIV_IPC_MEMEX_READONLY));
    EXPECT_EQ(0u, b.size);   // attach does not learn the size
    EXPECT_STREQ(a.name, b.name);
    EXPECT_EQ(0u, patternErrors(b.address, 5000));
    EXPECT_EQ(0u, b.detach());
    EXPECT_EQ(0u, a.destroy());
    EXPECT_EQ(ECF_FILE_DOESNT_EXIST, attachEx(b, name, KIV_IPC_MEMEX_READWRITE));
}

TEST(IPCMemoryEx, ExclusiveCreateRefusesAnExistingName)
{
    std::string name = kivtestUniqueName("kivipc_ex");
    KIVHIPCMemoryEx a, b, c;
    ASSERT_EQ(0u, createEx(a, name, 4096, KIV_IPC_MEMEX_READWRITE));
    EXPECT_EQ(ECF_EXISTS,
              createEx(b, name, 4096, KIV_IPC_MEMEX_READWRITE | KIV_IPC_MEMEX_EXCLUSIVE));
    EXPECT_TRUE(isReset(b));
    // Without the flag the section is shared.
    ASSERT_EQ(0u, createEx(c, name, 4096, KIV_IPC_MEMEX_READWRITE));
    static_cast<char*>(a.address)[10] = 'q';
    EXPECT_EQ('q', static_cast<char*>(c.address)[10]);
    EXPECT_EQ(0u, c.detach());
    EXPECT_EQ(0u, a.detach());
}

TEST(IPCMemoryEx, InvalidRequestsAreRefused)
{
    KIVHIPCMemoryEx m;
    EXPECT_EQ(ECF_INVALID_PARAMETER, createEx(m, "a\\b", 4096, KIV_IPC_MEMEX_READWRITE));
    EXPECT_EQ(ECF_INVALID_PARAMETER, createEx(m, std::string(254, 'n'), 4096,
                                              KIV_IPC_MEMEX_READWRITE));
    std::string name = kivtestUniqueName("kivipc_ex");
    EXPECT_EQ(ECF_INVALID_PARAMETER, createEx(m, name, 0, KIV_IPC_MEMEX_READWRITE));
    EXPECT_TRUE(isReset(m));
    EXPECT_EQ(ECF_INVALID_PARAMETER, attachEx(m, "x\\y", KIV_IPC_MEMEX_READWRITE));
}

TEST(IPCSemaphore, CountsWaitsAndPosts)
{
    KIVHIPCSemaphore s;
    ASSERT_EQ(0u, createSemaphore(s, resIDOf(kivtestUniqueName("kivipc_sem")), 2));
    EXPECT_EQ(0u, waitFor(s, 0));
    EXPECT_EQ(0u, waitFor(s, KIV_IPC_WAIT_FOREVER));
    EXPECT_EQ(ECF_TIMEOUT, waitFor(s, 0));
    EXPECT_EQ(0u, s.post());
    EXPECT_EQ(0u, waitFor(s, 0));
    EXPECT_EQ(0u, s.destroy());
}

TEST(IPCSemaphore, AThreadWaitingForEverIsReleasedByAPost)
{
    KIVHIPCSemaphore s;
    ASSERT_EQ(0u, createSemaphore(s, resIDOf(kivtestUniqueName("kivipc_sem")), 0));
    Uint32 rc = 0xDEAD;
    std::thread waiter([&] { rc = waitFor(s, KIV_IPC_WAIT_FOREVER); });
    EXPECT_EQ(0u, s.post());
    waiter.join();
    EXPECT_EQ(0u, rc);
    EXPECT_EQ(0u, s.detach());
}

TEST(IPCSemaphore, CreateNeverJoinsAnExistingSemaphore)
{
    KIVIPCResID id = resIDOf(kivtestUniqueName("kivipc_sem"));
    KIVHIPCSemaphore a, b;
    ASSERT_EQ(0u, createSemaphore(a, id, 1));
    EXPECT_EQ(ECF_SEM_EXISTS, createSemaphore(b, id, 5));
    EXPECT_FALSE(b.isAttached());
    // The first one's count is untouched.
    EXPECT_EQ(0u, waitFor(a, 0));
    EXPECT_EQ(ECF_TIMEOUT, waitFor(a, 0));
    EXPECT_EQ(0u, a.detach());
}

TEST(IPCSemaphore, PostingBeyondTheMaximumFails)
{
    KIVHIPCSemaphore s;
    ASSERT_EQ(0u, createSemaphore(s, resIDOf(kivtestUniqueName("kivipc_sem")),
                                  KIV_IPC_SEM_MAX_COUNT));
    EXPECT_NE(0u, s.post());
    EXPECT_EQ(0u, waitFor(s, 0));
    EXPECT_EQ(0u, s.post());
    EXPECT_EQ(0u, s.detach());
}

TEST(IPCSemaphore, BadCountsAndCallsOutOfOrder)
{
    KIVHIPCSemaphore s;
    EXPECT_EQ(ECF_INVALID_PARAMETER,
              createSemaphore(s, resIDOf(kivtestUniqueName("kivipc_sem")), -1));
    EXPECT_EQ(ECF_INVALID_PARAMETER,
              createSemaphore(s, resIDOf(kivtestUniqueName("kivipc_sem")),
                              KIV_IPC_SEM_MAX_COUNT + 1));
    EXPECT_FALSE(s.isAttached());
    EXPECT_EQ(ECF_INVALID_INVOCATION_SEQUENCE, waitFor(s, 0));
    EXPECT_EQ(ECF_INVALID_INVOCATION_SEQUENCE, s.post());
    EXPECT_EQ(0u, s.detach());
}

TEST(IPCSemaphore, TheSemaphoreLivesWhileAnyoneHoldsIt)
{
    KIVIPCResID id = resIDOf(kivtestUniqueName("kivipc_sem"));
    KIVHIPCSemaphore a, b, c, d;
    ASSERT_EQ(0u, createSemaphore(a, id, 1));
    ASSERT_EQ(0u, b.attach(&id));
    EXPECT_EQ(0u, a.destroy());
    ASSERT_EQ(0u, c.attach(&id));
    EXPECT_EQ(0u, waitFor(c, 0));   // the count survived
    EXPECT_EQ(0u, b.detach());
    EXPECT_EQ(0u, c.detach());
    EXPECT_EQ(ECF_SEM_DOESNT_EXIST, d.attach(&id));
}

KIVTEST_CHILD(ipcSemaphoreTimeoutThenPost)
{
    KIVIPCResID id = resIDOf(args.at(0));
    KIVHIPCSemaphore s;
    if (s.attach(&id) != 0)
        return 2;
    if (waitFor(s, 50) != ECF_TIMEOUT)
        return 3;
    if (s.post() != 0)
        return 4;
    return s.detach() == 0 ? 0 : 5;
}

KIVTEST_CHILD(ipcSemaphoreCreateAndLeave)
{
    KIVIPCResID id = resIDOf(args.at(0));
    KIVHIPCSemaphore s;
    return createSemaphore(s, id, 3) == 0 ? 0 : 2;
}

TEST(IPCSemaphore, APostFromAnotherProcessReleasesAWait)
{
    std::string path = kivtestUniqueName("kivipc_sem");
    KIVIPCResID id = resIDOf(path);
    KIVHIPCSemaphore s;
    ASSERT_EQ(0u, createSemaphore(s, id, 0));
    KivTestProcess child = kivtestSpawnChild("ipcSemaphoreTimeoutThenPost", {path});
    EXPECT_EQ(0u, waitFor(s, kChildWaitMs));
    EXPECT_EQ(0, kivtestWaitChild(child));
    EXPECT_EQ(0u, s.detach());
}

TEST(IPCSemaphore, ASemaphoreGoesWithTheProcessThatHeldIt)
{
    std::string path = kivtestUniqueName("kivipc_sem");
    ASSERT_EQ(0, kivtestRunChild("ipcSemaphoreCreateAndLeave", {path}));
    KIVIPCResID id = resIDOf(path);
    KIVHIPCSemaphore s;
    EXPECT_EQ(ECF_SEM_DOESNT_EXIST, s.attach(&id));
    EXPECT_EQ(0u, createSemaphore(s, id, 0));
    EXPECT_EQ(0u, s.detach());
}

namespace {

Uint32 pageSize()
{
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    return si.dwPageSize;
}

} // namespace

TEST(IPCMemory, CreateAndAttachShareTheSection)
{
    KIVIPCResID id = resIDOf(kivtestUniqueName("kivipc_mem"));
    KIVHIPCMemory a;
    EXPECT_FALSE(a.isAttached());
    ASSERT_EQ(0u, createMemory(a, id, 100));
    ASSERT_TRUE(a.isAttached());
    EXPECT_NE(INVALID_HANDLE_VALUE, a.handle);
    void* address = nullptr;
    ASSERT_EQ(0u, a.getAddress(&address));
    EXPECT_EQ(a.address, address);
    Uint32 size = 0;
    ASSERT_EQ(0u, a.getMemorySize(&size));
    EXPECT_EQ(pageSize(), size);   // the page-rounded region

    KIVHIPCMemory b;
    ASSERT_EQ(0u, b.attach(&id, nullptr));
    fillPattern(a.address, 100);
    EXPECT_EQ(0u, patternErrors(b.address, 100));
    ASSERT_EQ(0u, b.getMemorySize(&size));
    EXPECT_EQ(pageSize(), size);
    EXPECT_EQ(0u, b.detach());

    // An attached object refuses a second create or attach and stays mapped.
    EXPECT_EQ(ECF_INVALID_INVOCATION_SEQUENCE,
              createMemory(a, resIDOf(kivtestUniqueName("kivipc_mem")), 4096));
    EXPECT_EQ(ECF_INVALID_INVOCATION_SEQUENCE, a.attach(&id, nullptr));
    EXPECT_EQ(address, a.address);
    static_cast<char*>(a.address)[0] = 1;
    EXPECT_EQ(0u, a.detach());
    EXPECT_FALSE(a.isAttached());
    EXPECT_EQ(INVALID_HANDLE_VALUE, a.handle);
    EXPECT_EQ(0u, a.detach()); // nothing left to release
}

TEST(IPCMemory, TheSectionLivesWhileAnyoneHoldsIt)
{
    KIVIPCResID id = resIDOf(kivtestUniqueName("kivipc_mem"));
    KIVHIPCMemory a, b, c, d;
    ASSERT_EQ(0u, createMemory(a, id, 8192));
    ASSERT_EQ(0u, b.attach(&id, nullptr));
    fillPattern(a.address, 8192);
    EXPECT_EQ(0u, a.destroy());
    EXPECT_FALSE(a.isAttached());
    ASSERT_EQ(0u, c.attach(&id, nullptr));
    EXPECT_EQ(0u, patternErrors(c.address, 8192));
    EXPECT_EQ(0u, b.detachAndDestroy());
    EXPECT_EQ(0u, c.detach());
    EXPECT_EQ(ECF_MEM_DOESNT_EXIST, d.attach(&id, nullptr));
}
