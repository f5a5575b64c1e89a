/*
 * test_ipc.cpp - names of the IPC objects and the security they are made
 * with; shared memory (KIVHIPCMemory, KIVHIPCPrivateMemory,
 * KIVHIPCMemoryEx) and semaphores (KIVHIPCSemaphore), within a process
 * and between real processes.  Failures are checked through their result
 * codes and the log records they write, captured with the log callback.
 */
#include "kivecf.h"
#include "kivipc.h"
#include "kivlog.h"
#include "kivos.h"
#include "kivtest.h"
#include "kivtestlog.h"
#include "kivthread.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

/* ---- helpers --------------------------------------------------------------- */

const Uint32 kOldVersion = 0x0131CBFDu;       // one below the minimum
const Uint32 kChildWaitMs = 60000;           // a bound on waits for another process

/* The identifier of `path`; local names by default (no Global\ prefix,
 * whatever the system). */
KIVIPCResID resIDOf(const std::string& path, Sint32 id = 1, bool localOnly = true,
                    Uint32 version = KIV_VERSION_CURRENT, const char* prefix = nullptr)
{
    KIVIPCGetResIDParam d;
    d.path = path.c_str();
    d.id = id;
    d.localOnly = localOnly;
    d.namespacePrefix = prefix;
    KIVIPCResID r;
    r.version = version;
    EXPECT_EQ(0u, kivIPCGetResID(&d, &r));
    return r;
}

std::string nameOf(const std::string& path, Sint32 id, bool localOnly = true,
                   Uint32 version = KIV_VERSION_CURRENT, const char* prefix = nullptr)
{
    return resIDOf(path, id, localOnly, version, prefix).name;
}

bool endsWith(const std::string& s, const std::string& tail)
{
    return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

Uint32 pageSize()
{
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    return si.dwPageSize;
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

/* ---- names ------------------------------------------------------------------ */

TEST(IPCResID, NameIsStemIdAndPathWithoutSeparators)
{
    EXPECT_EQ("KIVEIPC3Cdataq1", nameOf("C:\\data\\q1", 3));
    EXPECT_EQ("KIVEIPC7", nameOf(":\\::\\", 7));
    EXPECT_EQ("KIVEIPC-2/tmp/x", nameOf("/tmp/x", -2));
    // A long path is cut at 260 characters.
    std::string name = nameOf(std::string(300, 'a'), 1);
    EXPECT_EQ("KIVEIPC1" + std::string(252, 'a'), name);
    // A null path gives an empty name.
    KIVIPCGetResIDParam d;
    d.id = 4;
    KIVIPCResID r;
    std::memset(r.name, 'x', sizeof r.name);
    EXPECT_EQ(0u, kivIPCGetResID(&d, &r));
    EXPECT_EQ('\0', r.name[0]);
}

TEST(IPCResID, NameSpacesAndOldIdentifiers)
{
    std::string global = nameOf("C:\\data\\q1", 3, false);
    std::string prefixed = nameOf("abc", 5, true, KIV_VERSION_CURRENT, "kivns");
#if defined(_WIN32)
    // Global only with terminal services.
    EXPECT_TRUE(global == "KIVEIPC3Cdataq1" || global == "Global\\KIVEIPC3Cdataq1") << global;
    EXPECT_EQ("kivns\\KIVEIPC5abc", prefixed);
#else
    EXPECT_EQ("KIVEIPC3Cdataq1", global);
    // No private namespaces on this platform: the prefix is ignored.
    EXPECT_EQ("KIVEIPC5abc", prefixed);
#endif
    // An identifier from before localOnly and namespacePrefix existed gets
    // the name those fields would not have changed.
    EXPECT_EQ(nameOf("p", 5, false), nameOf("p", 5, true, 0x09010002u));
    EXPECT_EQ(nameOf("p", 5, false), nameOf("p", 5, false, 0x09010002u, "ns"));
    EXPECT_EQ(nameOf("p", 5, true), nameOf("p", 5, true, 0x09010003u, "ns"));
}

TEST(IPCResID, ChecksTheIdentifier)
{
    KivLogCapture log;
    KIVIPCGetResIDParam d;
    d.path = "x";
    EXPECT_EQ(ECF_INVALID_PARAMETER, kivIPCGetResID(&d, nullptr));
    kivtestExpectNullRecord(log, KIVFN_KIVIPCGETRESID);
    KIVIPCResID r;
    r.version = kOldVersion;
    EXPECT_EQ(ECF_INVALID_VERSION, kivIPCGetResID(&d, &r));
    kivtestExpectVersionRecord(log, KIVFN_KIVIPCGETRESID, kOldVersion);
    r.version = KIV_VERSION_CURRENT;
    EXPECT_EQ(ECF_INVALID_PARAMETER, kivIPCGetResID(nullptr, &r));
    // Seeds are not supported.
    EXPECT_EQ(ECF_NOT_SUPPORTED, kivIPCGenerateSeed());
}

TEST(IPCResID, QueueNamesTakeThreeConsecutiveIds)
{
    KIVIPCGetResIDParam d;
    d.path = "D:\\queues\\q";
    d.id = 10;
    d.seed = 77;
    d.localOnly = true;
    KIVIPCQueResID q;
    ASSERT_EQ(0u, kivIPCGetQueResID(&d, &q));
    EXPECT_STREQ("KIVEIPC10Dqueuesq", q.memory.name);
    EXPECT_STREQ("KIVEIPC11Dqueuesq", q.dataSemaphore.name);
    EXPECT_STREQ("KIVEIPC12Dqueuesq", q.spaceSemaphore.name);

    // An old queue identifier drops localOnly for all three.
    KIVIPCQueResID old;
    old.version = 0x09010002u;
    ASSERT_EQ(0u, kivIPCGetQueResID(&d, &old));
    EXPECT_EQ(nameOf("D:\\queues\\q", 11, false), std::string(old.dataSemaphore.name));

    KivLogCapture log;
    EXPECT_EQ(ECF_INVALID_PARAMETER, kivIPCGetQueResID(&d, nullptr));
    kivtestExpectNullRecord(log, KIVFN_KIVIPCGETQUERESID);
    q.version = kOldVersion;
    EXPECT_EQ(ECF_INVALID_VERSION, kivIPCGetQueResID(&d, &q));
    kivtestExpectVersionRecord(log, KIVFN_KIVIPCGETQUERESID, kOldVersion);
    // A sub-identifier that cannot take a name stops the work.
    KIVIPCQueResID broken;
    broken.dataSemaphore.version = kOldVersion;
    EXPECT_EQ(ECF_INVALID_VERSION, kivIPCGetQueResID(&d, &broken));
    EXPECT_STREQ("KIVEIPC10Dqueuesq", broken.memory.name);
    EXPECT_STREQ("", broken.spaceSemaphore.name);
}

/* ---- security ------------------------------------------------------------------- */

TEST(IPCSecurity, DefaultAttributesOpenObjectsToEveryone)
{
    SECURITY_ATTRIBUTES sa;
    SECURITY_DESCRIPTOR sd;
    std::memset(&sa, 0xEE, sizeof sa);
    ASSERT_EQ(0u, kivInitSecurityAttributes2(&sa, &sd));
    EXPECT_EQ(sizeof sa, sa.nLength);
    EXPECT_EQ(static_cast<void*>(&sd), sa.lpSecurityDescriptor);
    EXPECT_TRUE(sa.bInheritHandle);
    EXPECT_EQ(ECF_INVALID_PARAMETER, kivInitSecurityAttributes2(nullptr, &sd));
    EXPECT_EQ(ECF_INVALID_PARAMETER, kivInitSecurityAttributes2(&sa, nullptr));
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

    // Objects are made with it.
    KIVHIPCSemaphore s;
    ASSERT_EQ(0u, createSemaphore(s, resIDOf(kivtestUniqueName("kivipc_sec")), 0));
    EXPECT_EQ(0u, s.destroy());

    kivSetSecurityAttributesForKIV(nullptr);
    SECURITY_DESCRIPTOR sd;
    ASSERT_EQ(0u, kivInitSecurityAttributes2(&sa, &sd));
    EXPECT_EQ(static_cast<void*>(&sd), sa.lpSecurityDescriptor);
}

/* ---- KIVHIPCMemory ---------------------------------------------------------------- */

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

TEST(IPCMemory, CreateNeverOpensAnExistingSection)
{
    KIVIPCResID id = resIDOf(kivtestUniqueName("kivipc_mem"));
    KIVHIPCMemory a, b;
    ASSERT_EQ(0u, createMemory(a, id, 4096));
    KivLogCapture log;
    EXPECT_EQ(ECF_MEM_EXISTS, createMemory(b, id, 4096));
    EXPECT_FALSE(b.isAttached());
    EXPECT_EQ(INVALID_HANDLE_VALUE, b.handle);
    KivLogRecord r = log.at(KIVFN_KIVHIPCMEMORY_CREATE, 90);
    EXPECT_EQ(KIVOSFN_CREATEFILEMAPPING, r.calledFunctionId);
    EXPECT_EQ(183u, r.calledValue);
    EXPECT_EQ(0u, a.detach());

    // Once gone, attach finds nothing and leaves the object closed.
    EXPECT_EQ(ECF_MEM_DOESNT_EXIST, b.attach(&id, nullptr));
    EXPECT_FALSE(b.isAttached());
    EXPECT_EQ(INVALID_HANDLE_VALUE, b.handle);
    r = log.at(KIVFN_KIVHIPCMEMORY_ATTACH, 50);
    EXPECT_EQ(KIVOSFN_OPENFILEMAPPING, r.calledFunctionId);
    EXPECT_EQ(ECF_MEM_DOESNT_EXIST, r.messageCode);
}

TEST(IPCMemory, ParameterChecks)
{
    KivLogCapture log;
    KIVHIPCMemory m;
    EXPECT_EQ(ECF_INVALID_PARAMETER, m.create(nullptr));
    kivtestExpectNullRecord(log, KIVFN_KIVHIPCMEMORY_CREATE);
    KIVIPCMemoryCreateParam p;
    p.version = kOldVersion;
    EXPECT_EQ(ECF_INVALID_VERSION, m.create(&p));
    kivtestExpectVersionRecord(log, KIVFN_KIVHIPCMEMORY_CREATE, kOldVersion);
    EXPECT_EQ(ECF_INVALID_PARAMETER, m.attach(nullptr, nullptr));
    EXPECT_EQ(ECF_INVALID_PARAMETER, m.getAddress(nullptr));
    Uint32 size;
    EXPECT_EQ(ECF_INVALID_PARAMETER, m.getMemorySize(nullptr));
    EXPECT_EQ(ECF_INVALID_INVOCATION_SEQUENCE, m.getMemorySize(&size));

    KIVIPCSecurityParam sec;
    EXPECT_EQ(0u, m.authorize(&sec));
    EXPECT_EQ(ECF_INVALID_PARAMETER, m.authorize(nullptr));
    sec.version = kOldVersion;
    EXPECT_EQ(ECF_INVALID_VERSION, m.authorize(&sec));
    kivtestExpectVersionRecord(log, KIVFN_KIVHIPCMEMORY_AUTHORIZE, kOldVersion);
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

KIVTEST_CHILD(ipcMemoryWrite)
{
    // args: path of the resource, size
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

/* ---- KIVHIPCPrivateMemory ------------------------------------------------------------ */

namespace {

std::string privateStem(Uint32 threadId)
{
    char buf[80];
    std::snprintf(buf, sizeof buf, "PRIVMEMPID%uTID%u", (unsigned)GetCurrentProcessId(),
                  (unsigned)threadId);
    return buf;
}

Uint32 createPrivate(KIVHIPCPrivateMemory& m, Uint32 size, KIVIPCMemoryCreateParam* used = nullptr)
{
    KIVIPCMemoryCreateParam p;
    p.size = size;
    Uint32 rc = m.create(&p);
    if (used)
        *used = p;
    return rc;
}

} // namespace

TEST(IPCPrivateMemory, NamesFollowProcessThreadAndUse)
{
    KIVHIPCPrivateMemory first, second, third;
    KIVIPCMemoryCreateParam used;
    ASSERT_EQ(0u, createPrivate(first, 100, &used));
    std::string stem = privateStem(kivThreadID());
    EXPECT_TRUE(endsWith(used.resID.name, "KIVEIPC0" + stem)) << used.resID.name;
    EXPECT_STREQ(used.resID.name, first.resID.name);
    // The same thread again, while the first exists: the next id.
    ASSERT_EQ(0u, createPrivate(second, 100));
    EXPECT_TRUE(endsWith(second.resID.name, "KIVEIPC1" + stem)) << second.resID.name;

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

    // A freed id is taken again.
    EXPECT_EQ(0u, first.detach());
    ASSERT_EQ(0u, createPrivate(third, 100));
    EXPECT_TRUE(endsWith(third.resID.name, "KIVEIPC0" + stem)) << third.resID.name;
    EXPECT_EQ(0u, second.detach());
    EXPECT_EQ(0u, third.detach());
}

TEST(IPCPrivateMemory, AThreadHoldsAtMostAHundred)
{
    std::vector<KIVHIPCPrivateMemory> held(100);
    for (auto& m : held)
        ASSERT_EQ(0u, createPrivate(m, 64));
    KivLogCapture log;
    KIVHIPCPrivateMemory extra;
    EXPECT_EQ(ECF_NO_RESOURCE, createPrivate(extra, 64));
    log.at(KIVFN_KIVHIPCPRIVATEMEMORY_CREATE, 100);
    EXPECT_FALSE(extra.isAttached());
    for (auto& m : held)
        EXPECT_EQ(0u, m.detach());
}

TEST(IPCPrivateMemory, RemoteInitializationNeedsAName)
{
    KIVHIPCPrivateMemory m;
    EXPECT_EQ(ECF_MEM_DOESNT_EXIST, m.remoteInitialization());
    EXPECT_EQ(ECF_INVALID_PARAMETER, m.create(nullptr));
    // A name filling the whole field is cut to its room, never read past.
    std::memset(m.resID.name, 'k', sizeof m.resID.name);
    m.address = reinterpret_cast<void*>(0x1000);
    EXPECT_EQ(0u, m.remoteInitialization());
    EXPECT_EQ(KIV_IPC_NAME_SIZE - 1, std::strlen(m.resID.name));
    EXPECT_FALSE(m.isAttached());
    EXPECT_EQ(INVALID_HANDLE_VALUE, m.handle);
}

KIVTEST_CHILD(ipcPrivateWrite)
{
    // args: the shared block holding a copy of the parent's object, size
    KIVHIPCPrivateMemory m;
    void* copy = kivtestShmOpen(args.at(0), sizeof m, false);
    if (!copy)
        return 2;
    std::memcpy(static_cast<void*>(&m), copy, sizeof m);
    kivtestShmClose(copy, sizeof m);
    // The handle and address came from the parent: attach refuses them
    // until remoteInitialization clears them.
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

/* ---- KIVHIPCMemoryEx -------------------------------------------------------------- */

namespace {

Uint32 createEx(KIVHIPCMemoryEx& m, const std::string& name, Uint64 size, Uint64 flags,
                KIVIPCMemoryExInfo* info = nullptr, Uint32 permissions = 0600)
{
    KIVIPCMemoryExCreateParam p;
    p.name = name.c_str();
    p.size = size;
    p.flags = flags;
    p.permissions = permissions;
    KIVIPCMemoryExInfo own;
    return m.create(&p, info ? info : &own);
}

Uint32 attachEx(KIVHIPCMemoryEx& m, const std::string& name, Uint64 flags,
                KIVIPCMemoryExInfo* info = nullptr)
{
    KIVIPCMemoryExAttachParam p;
    p.name = name.c_str();
    p.flags = flags;
    KIVIPCMemoryExInfo own;
    return m.attach(&p, info ? info : &own);
}

bool isReset(const KIVHIPCMemoryEx& m)
{
    return m.handle == INVALID_HANDLE_VALUE && m.address == nullptr && m.size == 0 &&
           m.name[0] == '\0';
}

} // namespace

TEST(IPCMemoryEx, CreateAndAttachByPlainName)
{
    std::string name = kivtestUniqueName("kivipc_ex");
    KIVHIPCMemoryEx a;
    EXPECT_TRUE(isReset(a));
    KIVIPCMemoryExInfo info;
    ASSERT_EQ(0u, createEx(a, name, 5000, KIV_IPC_MEMEX_READWRITE, &info));
    EXPECT_EQ(a.address, info.address);
    EXPECT_EQ(5000u, a.size);
    EXPECT_TRUE(endsWith(a.name, "KIVEIPC120" + name)) << a.name;
    fillPattern(a.address, 5000);

    KIVHIPCMemoryEx b;
    KIVIPCMemoryExInfo binfo;
    ASSERT_EQ(0u, attachEx(b, name, KIV_IPC_MEMEX_READONLY, &binfo));
    EXPECT_EQ(b.address, binfo.address);
    EXPECT_EQ(0u, b.size);   // attach does not learn the size
    EXPECT_STREQ(a.name, b.name);
    EXPECT_EQ(0u, patternErrors(b.address, 5000));

    EXPECT_EQ(0u, b.detach());
    EXPECT_TRUE(isReset(b));
    EXPECT_EQ(0u, a.destroy());
    EXPECT_TRUE(isReset(a));

    KivLogCapture log;
    EXPECT_EQ(ECF_FILE_DOESNT_EXIST, attachEx(b, name, KIV_IPC_MEMEX_READWRITE));
    KivLogRecord r = log.at(KIVFN_KIVHIPCMEMORYEX_ATTACH, 100);
    EXPECT_EQ(KIVOSFN_OPENFILEMAPPING, r.calledFunctionId);
    EXPECT_EQ(2u, r.calledValue);
    EXPECT_TRUE(isReset(b));
}

TEST(IPCMemoryEx, ExclusiveCreateRefusesAnExistingName)
{
    std::string name = kivtestUniqueName("kivipc_ex");
    KIVHIPCMemoryEx a, b, c;
    ASSERT_EQ(0u, createEx(a, name, 4096, KIV_IPC_MEMEX_READWRITE));
    // An attached object keeps its section.
    void* address = a.address;
    std::string kernelName = a.name;
    EXPECT_EQ(ECF_INVALID_INVOCATION_SEQUENCE,
              createEx(a, kivtestUniqueName("kivipc_ex"), 4096, KIV_IPC_MEMEX_READWRITE));
    EXPECT_EQ(ECF_INVALID_INVOCATION_SEQUENCE, attachEx(a, name, KIV_IPC_MEMEX_READWRITE));
    EXPECT_EQ(address, a.address);
    EXPECT_EQ(kernelName, a.name);

    KivLogCapture log;
    EXPECT_EQ(ECF_EXISTS,
              createEx(b, name, 4096, KIV_IPC_MEMEX_READWRITE | KIV_IPC_MEMEX_EXCLUSIVE));
    log.at(KIVFN_KIVHIPCMEMORYEX_CREATE, 150);
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
    KivLogCapture log;
    KIVHIPCMemoryEx m;
    EXPECT_EQ(ECF_INVALID_PARAMETER, createEx(m, "a\\b", 4096, KIV_IPC_MEMEX_READWRITE));
    log.at(KIVFN_KIVHIPCMEMORYEX_CREATE, 30);
    EXPECT_EQ(ECF_INVALID_PARAMETER, createEx(m, "", 4096, KIV_IPC_MEMEX_READWRITE));
    EXPECT_EQ(ECF_INVALID_PARAMETER, createEx(m, std::string(254, 'n'), 4096,
                                              KIV_IPC_MEMEX_READWRITE));
    std::string name = kivtestUniqueName("kivipc_ex");
    EXPECT_EQ(ECF_INVALID_PARAMETER, createEx(m, name, 0, KIV_IPC_MEMEX_READWRITE));
    EXPECT_EQ(ECF_INVALID_PARAMETER, createEx(m, name, 4096, 0));
    EXPECT_EQ(ECF_INVALID_PARAMETER, createEx(m, name, 4096, KIV_IPC_MEMEX_READWRITE, nullptr, 0));
    EXPECT_TRUE(isReset(m));
    EXPECT_EQ(ECF_INVALID_PARAMETER, attachEx(m, "x\\y", KIV_IPC_MEMEX_READWRITE));
    log.at(KIVFN_KIVHIPCMEMORYEX_ATTACH, 30);

    KIVIPCMemoryExCreateParam p;
    EXPECT_EQ(ECF_INVALID_PARAMETER, m.create(&p, nullptr));
    EXPECT_EQ(ECF_INVALID_PARAMETER, m.create(nullptr, nullptr));
    p.version = kOldVersion;
    KIVIPCMemoryExInfo info;
    EXPECT_EQ(ECF_INVALID_VERSION, m.create(&p, &info));
    kivtestExpectVersionRecord(log, KIVFN_KIVHIPCMEMORYEX_CREATE, kOldVersion);
}

TEST(IPCMemoryEx, LongestNameIsAccepted)
{
    std::string name = kivtestUniqueName("kivipc_ex");
    name += std::string(253 - name.size(), 'L');
    KIVHIPCMemoryEx a, b;
    Uint32 rc = createEx(a, name, 4096, KIV_IPC_MEMEX_READWRITE);
    if (kivtestUnderWine()) {
        // The library takes the name; wine's own limit on kernel names
        // (259 characters) is below the 260 the name is cut to.
        EXPECT_EQ(ECF_FILE_NAME_TOO_LONG, rc);
        return;
    }
    ASSERT_EQ(0u, rc);
    EXPECT_EQ(260u, std::strlen(a.name));
    EXPECT_EQ(0u, attachEx(b, name, KIV_IPC_MEMEX_READWRITE));
    EXPECT_EQ(0u, b.detach());
    EXPECT_EQ(0u, a.detach());
}

/* ---- KIVHIPCSemaphore -------------------------------------------------------------- */

TEST(IPCSemaphore, CountsWaitsAndPosts)
{
    KIVHIPCSemaphore s;
    ASSERT_EQ(0u, createSemaphore(s, resIDOf(kivtestUniqueName("kivipc_sem")), 2));
    EXPECT_TRUE(s.isAttached());
    KivLogCapture log;
    EXPECT_EQ(0u, waitFor(s, 0));
    EXPECT_EQ(0u, waitFor(s, KIV_IPC_WAIT_FOREVER));
    EXPECT_EQ(ECF_TIMEOUT, waitFor(s, 0));
    EXPECT_EQ(ECF_TIMEOUT, waitFor(s, 30));
    EXPECT_EQ(0u, log.count()) << "a wait that times out is not logged";
    EXPECT_EQ(0u, s.post());
    EXPECT_EQ(0u, waitFor(s, 0));
    EXPECT_EQ(0u, s.destroy());
    EXPECT_FALSE(s.isAttached());
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
    KivLogCapture log;
    EXPECT_EQ(ECF_SEM_EXISTS, createSemaphore(b, id, 5));
    EXPECT_FALSE(b.isAttached());
    KivLogRecord r = log.at(KIVFN_KIVHIPCSEMAPHORE_CREATE, 90);
    EXPECT_EQ(183u, r.calledValue);
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
    KivLogCapture log;
    EXPECT_NE(0u, s.post());
    KivLogRecord r = log.at(KIVFN_KIVHIPCSEMAPHORE_POST, 40);
    EXPECT_EQ(KIVOSFN_RELEASESEMAPHORE, r.calledFunctionId);
    EXPECT_EQ(298u, r.calledValue);
    EXPECT_EQ(0u, waitFor(s, 0));
    EXPECT_EQ(0u, s.post());
    EXPECT_EQ(0u, s.detach());
}

TEST(IPCSemaphore, BadCountsAndCallsOutOfOrder)
{
    KivLogCapture log;
    KIVHIPCSemaphore s;
    EXPECT_EQ(ECF_INVALID_PARAMETER,
              createSemaphore(s, resIDOf(kivtestUniqueName("kivipc_sem")), -1));
    log.at(KIVFN_KIVHIPCSEMAPHORE_CREATE, 80);
    EXPECT_EQ(ECF_INVALID_PARAMETER,
              createSemaphore(s, resIDOf(kivtestUniqueName("kivipc_sem")),
                              KIV_IPC_SEM_MAX_COUNT + 1));
    EXPECT_FALSE(s.isAttached());
    EXPECT_EQ(ECF_INVALID_INVOCATION_SEQUENCE, waitFor(s, 0));
    EXPECT_EQ(ECF_INVALID_INVOCATION_SEQUENCE, s.post());
    EXPECT_EQ(0u, s.detach());

    EXPECT_EQ(ECF_INVALID_PARAMETER, s.create(nullptr));
    kivtestExpectNullRecord(log, KIVFN_KIVHIPCSEMAPHORE_CREATE);
    EXPECT_EQ(ECF_INVALID_PARAMETER, s.wait(nullptr));
    EXPECT_EQ(ECF_INVALID_PARAMETER, s.attach(nullptr));
    KIVIPCSemaphoreWaitParam w(0);
    w.version = kOldVersion;
    EXPECT_EQ(ECF_INVALID_VERSION, s.wait(&w));
    kivtestExpectVersionRecord(log, KIVFN_KIVHIPCSEMAPHORE_WAIT, kOldVersion);
    KIVIPCSecurityParam sec;
    EXPECT_EQ(0u, s.authorize(&sec));
    EXPECT_EQ(ECF_INVALID_PARAMETER, s.authorize(nullptr));
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
    KivLogCapture log;
    EXPECT_EQ(ECF_SEM_DOESNT_EXIST, d.attach(&id));
    EXPECT_FALSE(d.isAttached());
    KivLogRecord r = log.at(KIVFN_KIVHIPCSEMAPHORE_ATTACH, 40);
    EXPECT_EQ(KIVOSFN_OPENSEMAPHORE, r.calledFunctionId);
    EXPECT_EQ(2u, r.calledValue);
}

KIVTEST_CHILD(ipcSemaphoreTimeoutThenPost)
{
    // args: path of the semaphore
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
    // args: path of the semaphore; ends without detaching
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
