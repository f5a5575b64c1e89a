/*
 * test_compatipc.cpp - named semaphores, events and page-file sections:
 * sharing by name, name clashes, lifetime, handle access, between processes.
 */
#include "kivos.h"
#include "kivtest.h"

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#  include <signal.h>
#endif

namespace {

const DWORD kSemOpen = SYNCHRONIZE | SEMAPHORE_MODIFY_STATE;
const DWORD kEventOpen = SYNCHRONIZE | EVENT_MODIFY_STATE;
const DWORD kMapOpen = FILE_MAP_READ | FILE_MAP_WRITE;
const DWORD kChildWaitMs = 60000;   // a bound on waits for another process, not a timing check

// The last error of a call that returned a null handle (0 when it did not).
DWORD nullWith(HANDLE h)
{
    if (h != nullptr) {
        CloseHandle(h);
        return 0;
    }
    return GetLastError();
}

HANDLE newSemaphore(const std::string& name, LONG initial = 0, LONG maximum = 10)
{
    return CreateSemaphoreA(nullptr, initial, maximum, name.c_str());
}

HANDLE newSection(const std::string& name, DWORD size = 4096)
{
    return CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, size,
                              name.c_str());
}

// A section's first byte used as a count: +1 adds one, -1 takes one if there is one.
bool sectionStep(HANDLE h, int d)
{
    unsigned char* v = static_cast<unsigned char*>(MapViewOfFile(h, FILE_MAP_WRITE, 0, 0, 0));
    if (!v)
        return false;
    bool ok = d > 0 || v[0] > 0;
    if (ok)
        v[0] = static_cast<unsigned char>(v[0] + d);
    UnmapViewOfFile(v);
    return ok;
}

// One kind of named object; `create` with `other` passes different arguments,
// which a create that joins an existing object must ignore.
struct Kind {
    const char* what;
    HANDLE (*create)(const std::string& name, bool other);
    HANDLE (*open)(const std::string& name);
    bool (*signal)(HANDLE);
    bool (*take)(HANDLE);
};

const Kind kKinds[] = {
    {"semaphore",
     [](const std::string& n, bool other) { return other ? newSemaphore(n, 5, 7) : newSemaphore(n); },
     [](const std::string& n) { return OpenSemaphoreA(kSemOpen, FALSE, n.c_str()); },
     [](HANDLE h) { return ReleaseSemaphore(h, 1, nullptr) != FALSE; },
     [](HANDLE h) { return WaitForSingleObject(h, 0) == WAIT_OBJECT_0; }},
    {"auto-reset event",
     [](const std::string& n, bool other) { return CreateEventA(nullptr, other, other, n.c_str()); },
     [](const std::string& n) { return OpenEventA(kEventOpen, FALSE, n.c_str()); },
     [](HANDLE h) { return SetEvent(h) != FALSE; },
     [](HANDLE h) { return WaitForSingleObject(h, 0) == WAIT_OBJECT_0; }},
    {"section",
     [](const std::string& n, bool other) { return newSection(n, other ? 8192 : 4096); },
     [](const std::string& n) { return OpenFileMappingA(kMapOpen, FALSE, n.c_str()); },
     [](HANDLE h) { return sectionStep(h, 1); }, [](HANDLE h) { return sectionStep(h, -1); }},
};

} // namespace

// ---- names ----------------------------------------------------------------------------

TEST(CompatIpcName, CreateReportsAnExistingObjectAndShares)
{
    for (const Kind& k : kKinds) {
        SCOPED_TRACE(k.what);
        std::string name = kivtestUniqueName("kivcipc");
        SetLastError(12345);
        HANDLE first = k.create(name, false);
        ASSERT_NE(nullptr, first);
        EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
        HANDLE second = k.create(name, true);
        ASSERT_NE(nullptr, second);
        EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
        HANDLE opened = k.open(name);
        ASSERT_NE(nullptr, opened);

        // One object, in the first create's state and of its kind.
        EXPECT_FALSE(k.take(second));
        ASSERT_TRUE(k.signal(first));
        EXPECT_TRUE(k.take(second));
        EXPECT_FALSE(k.take(first));
        ASSERT_TRUE(k.signal(opened));
        EXPECT_TRUE(k.take(first));
        CloseHandle(opened);
        CloseHandle(second);
        CloseHandle(first);
    }
}

TEST(CompatIpcName, OpeningAMissingNameIsFileNotFound)
{
    std::string name = kivtestUniqueName("kivcipc_missing");
    for (const Kind& k : kKinds)
        EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), nullWith(k.open(name))) << k.what;
}

TEST(CompatIpcName, AllKindsShareOneNameSpace)
{
    for (const Kind& holder : kKinds) {
        std::string name = kivtestUniqueName("kivcipc_kind");
        HANDLE held = holder.create(name, false);
        ASSERT_NE(nullptr, held);
        for (const Kind& k : kKinds) {
            if (&k == &holder)
                continue;
            SCOPED_TRACE(std::string(k.what) + " under the name of a " + holder.what);
            EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), nullWith(k.create(name, false)));
            EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), nullWith(k.open(name)));
        }
        // The refusals left the object as it was.
        EXPECT_EQ(0u, nullWith(holder.open(name))) << holder.what;
        CloseHandle(held);
    }
}

TEST(CompatIpcName, PrefixesChooseTheNameSpace)
{
    std::string name = kivtestUniqueName("kivcipc_local");
    HANDLE plain = newSemaphore(name);
    ASSERT_NE(nullptr, plain);
    EXPECT_EQ(0u, nullWith(OpenSemaphoreA(kSemOpen, FALSE, ("Local\\" + name).c_str())));
    CloseHandle(plain);

    std::string unknown = "KivNoSuchNamespace\\" + kivtestUniqueName("kivcipc");
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), nullWith(newSemaphore(unknown)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND),
              nullWith(OpenEventA(kEventOpen, FALSE, unknown.c_str())));
}

TEST(CompatIpcName, OfCreatorsRacingForANameOneMakesIt)
{
    const int kThreads = 8;
    for (int round = 0; round < 20; ++round) {
        std::string name = kivtestUniqueName("kivcipc_race");
        HANDLE handles[kThreads] = {};
        DWORD errors[kThreads] = {};
        std::atomic<int> go{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([&, i] {
                while (!go.load()) {}
                handles[i] = newSemaphore(name, 0);
                errors[i] = GetLastError();
            });
        }
        go = 1;
        for (auto& t : threads)
            t.join();
        int made = 0;
        for (int i = 0; i < kThreads; ++i) {
            ASSERT_NE(nullptr, handles[i]);
            made += errors[i] == ERROR_SUCCESS;
            EXPECT_TRUE(errors[i] == ERROR_SUCCESS || errors[i] == ERROR_ALREADY_EXISTS);
        }
        EXPECT_EQ(1, made);
        // One object: a post through one handle is taken through another.
        ASSERT_TRUE(ReleaseSemaphore(handles[0], 1, nullptr));
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(handles[kThreads - 1], 0));
        for (HANDLE h : handles)
            CloseHandle(h);
    }
}

// ---- semaphores and events -------------------------------------------------------------

TEST(CompatSemaphore, BadCountsAreRefused)
{
    const struct { LONG initial, maximum; } bad[] = {{2, 1}, {-1, 1}, {0, 0}};
    for (const auto& b : bad)
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
                  nullWith(CreateSemaphoreA(nullptr, b.initial, b.maximum, nullptr)))
            << b.initial << "/" << b.maximum;
}

// Wait-only cannot signal, signal-only cannot wait, a read handle gives no write view.
TEST(CompatSemaphore, OpenAccessIsEnforced)
{
    std::string name = kivtestUniqueName("kivcipc_acc");
    HANDLE s = newSemaphore(name, 1);
    HANDLE m = newSection(name + "_m");
    ASSERT_NE(nullptr, s);
    ASSERT_NE(nullptr, m);

    HANDLE waitOnly = OpenSemaphoreA(SYNCHRONIZE, FALSE, name.c_str());
    HANDLE postOnly = OpenSemaphoreA(SEMAPHORE_MODIFY_STATE, FALSE, name.c_str());
    HANDLE readOnly = OpenFileMappingA(FILE_MAP_READ, FALSE, (name + "_m").c_str());
    ASSERT_NE(nullptr, waitOnly);
    ASSERT_NE(nullptr, postOnly);
    ASSERT_NE(nullptr, readOnly);

    EXPECT_FALSE(ReleaseSemaphore(waitOnly, 1, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(waitOnly, 0));
    EXPECT_TRUE(ReleaseSemaphore(postOnly, 1, nullptr));
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(postOnly, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_EQ(nullptr, MapViewOfFile(readOnly, FILE_MAP_WRITE, 0, 0, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    void* v = MapViewOfFile(readOnly, FILE_MAP_READ, 0, 0, 0);
    EXPECT_NE(nullptr, v);
    UnmapViewOfFile(v);

    for (HANDLE h : {readOnly, postOnly, waitOnly, m, s})
        CloseHandle(h);
}

TEST(CompatNamedMapping, ViewsKeepTheSectionAfterItsHandlesClose)
{
    std::string name = kivtestUniqueName("kivcipc_map");
    HANDLE m = newSection(name);
    ASSERT_NE(nullptr, m);
    HANDLE o = OpenFileMappingA(FILE_MAP_WRITE, FALSE, name.c_str());
    ASSERT_NE(nullptr, o);
    char* a = static_cast<char*>(MapViewOfFile(m, FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(nullptr, a);
    ASSERT_TRUE(CloseHandle(m));
    char* b = static_cast<char*>(MapViewOfFile(o, FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(nullptr, b);
    ASSERT_TRUE(CloseHandle(o));
    // No handle left, but the memory is still one section, to its last byte.
    a[0] = 'k';
    EXPECT_EQ('k', b[0]);
    b[4095] = 'v';
    EXPECT_EQ('v', a[4095]);
    UnmapViewOfFile(a);
    UnmapViewOfFile(b);
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND),
              nullWith(OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str())));
}

// ---- between processes --------------------------------------------------------------

KIVTEST_CHILD(ipcCreateAndHold)
{
    // args: name, ready event, done event; holds a semaphore of count 1
    // until told to end.
    HANDLE s = newSemaphore(args.at(0), 1);
    HANDLE ready = OpenEventA(kEventOpen, FALSE, args.at(1).c_str());
    HANDLE done = OpenEventA(kEventOpen, FALSE, args.at(2).c_str());
    if (!s || !ready || !done)
        return 2;
    SetEvent(ready);
    if (WaitForSingleObject(done, kChildWaitMs) != WAIT_OBJECT_0)
        return 3;
    CloseHandle(s);
    return 0;
}

KIVTEST_CHILD(ipcWaitForever)
{
    // args: semaphore name, ready event name
    HANDLE s = OpenSemaphoreA(kSemOpen, FALSE, args.at(0).c_str());
    HANDLE ready = OpenEventA(kEventOpen, FALSE, args.at(1).c_str());
    if (!s || !ready)
        return 2;
    SetEvent(ready);
    WaitForSingleObject(s, INFINITE);
    return 3;
}

TEST(CompatIpcProcess, AWaiterKilledInItsWaitLeavesTheObjectUsable)
{
    std::string name = kivtestUniqueName("kivcipc_proc");
    HANDLE s = newSemaphore(name, 0);
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, (name + "_ready").c_str());
    ASSERT_NE(nullptr, s);
    ASSERT_NE(nullptr, ready);
    KivTestProcess child = kivtestSpawnChild("ipcWaitForever", {name, name + "_ready"});
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ready, kChildWaitMs));
    // Most likely inside its wait by now; either way it ends holding the
    // semaphore open.
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(s, 50));
#if defined(_WIN32)
    TerminateProcess(child.handle, 9);
#else
    kill(static_cast<pid_t>(child.pid), SIGKILL);
#endif
    EXPECT_NE(0, kivtestWaitChild(child));
    ASSERT_TRUE(ReleaseSemaphore(s, 1, nullptr));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(s, kChildWaitMs));
    CloseHandle(ready);
    CloseHandle(s);
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND),
              nullWith(OpenSemaphoreA(kSemOpen, FALSE, name.c_str())));
}

TEST(CompatIpcProcess, AnObjectOutlivesItsCreatorWhileOthersHoldIt)
{
    std::string name = kivtestUniqueName("kivcipc_proc");
    HANDLE ready = CreateEventA(nullptr, TRUE, FALSE, (name + "_ready").c_str());
    HANDLE done = CreateEventA(nullptr, TRUE, FALSE, (name + "_done").c_str());
    ASSERT_NE(nullptr, ready);
    ASSERT_NE(nullptr, done);
    KivTestProcess child =
        kivtestSpawnChild("ipcCreateAndHold", {name, name + "_ready", name + "_done"});
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ready, kChildWaitMs));
    HANDLE s = OpenSemaphoreA(kSemOpen, FALSE, name.c_str());
    EXPECT_NE(nullptr, s);
    SetEvent(done);
    EXPECT_EQ(0, kivtestWaitChild(child));
    if (s) {
        EXPECT_EQ(0u, nullWith(OpenSemaphoreA(kSemOpen, FALSE, name.c_str())));
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(s, 0));   // the creator's count
        CloseHandle(s);
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND),
              nullWith(OpenSemaphoreA(kSemOpen, FALSE, name.c_str())));
    CloseHandle(done);
    CloseHandle(ready);
}
