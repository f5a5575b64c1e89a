/*
 * test_compatipc.cpp - the named kernel objects the IPC family is built on:
 * semaphores, events and page-file sections found by name, within one
 * process and between processes, with the error numbers Windows gives for
 * names in use, missing names and names of another kind of object; how
 * long such objects live; the region query that sizes a view.
 *
 * Written against the Windows API alone: the Windows build runs the same
 * tests against the real system, which keeps the POSIX layer honest.
 */
#include "kivos.h"
#include "kivtest.h"

#include <atomic>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#if !defined(_WIN32)
#  include <signal.h>
#endif

namespace {

const DWORD kSemOpen = SYNCHRONIZE | SEMAPHORE_MODIFY_STATE;
const DWORD kEventOpen = SYNCHRONIZE | EVENT_MODIFY_STATE;
const DWORD kChildWaitMs = 60000;   // a bound on waits for another process, not a timing check

std::string uniqueName(const char* stem)
{
    return kivtestUniqueName(stem);
}

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

DWORD pageSize()
{
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    return si.dwPageSize;
}

} // namespace

// ---- names ----------------------------------------------------------------------------

TEST(CompatIpcName, CreateReportsAnExistingObjectAndShares)
{
    std::string name = uniqueName("kivcipc");
    SetLastError(12345);
    HANDLE first = newSemaphore(name, 0);
    ASSERT_NE(nullptr, first);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());

    // A second create hands out the same semaphore; its own counts are
    // ignored.
    HANDLE second = newSemaphore(name, 5, 7);
    ASSERT_NE(nullptr, second);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(second, 0));
    LONG previous = -1;
    ASSERT_TRUE(ReleaseSemaphore(first, 1, &previous));
    EXPECT_EQ(0, previous);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(second, 0));

    HANDLE opened = OpenSemaphoreA(kSemOpen, FALSE, name.c_str());
    ASSERT_NE(nullptr, opened);
    ASSERT_TRUE(ReleaseSemaphore(opened, 1, nullptr));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(first, 0));
    CloseHandle(opened);
    CloseHandle(second);
    CloseHandle(first);
}

TEST(CompatIpcName, OpeningAMissingNameIsFileNotFound)
{
    std::string name = uniqueName("kivcipc_missing");
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND),
              nullWith(OpenSemaphoreA(kSemOpen, FALSE, name.c_str())));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND),
              nullWith(OpenEventA(kEventOpen, FALSE, name.c_str())));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND),
              nullWith(OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str())));
}

TEST(CompatIpcName, AllKindsShareOneNameSpace)
{
    std::string name = uniqueName("kivcipc_kind");
    HANDLE sem = newSemaphore(name);
    ASSERT_NE(nullptr, sem);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE),
              nullWith(CreateEventA(nullptr, TRUE, FALSE, name.c_str())));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE),
              nullWith(OpenEventA(kEventOpen, FALSE, name.c_str())));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE),
              nullWith(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                          name.c_str())));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE),
              nullWith(OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str())));
    // The refusals left the semaphore as it was.
    HANDLE again = OpenSemaphoreA(kSemOpen, FALSE, name.c_str());
    EXPECT_NE(nullptr, again);
    CloseHandle(again);
    CloseHandle(sem);
}

TEST(CompatIpcName, LocalPrefixNamesTheDefaultNameSpace)
{
    std::string name = uniqueName("kivcipc_local");
    HANDLE plain = newSemaphore(name);
    ASSERT_NE(nullptr, plain);
    HANDLE local = OpenSemaphoreA(kSemOpen, FALSE, ("Local\\" + name).c_str());
    EXPECT_NE(nullptr, local);
    CloseHandle(local);
    CloseHandle(plain);
}

TEST(CompatIpcName, GlobalPrefixMeetsTheSameObjects)
{
#if defined(_WIN32)
    GTEST_SKIP() << "Windows keeps a global name space apart from each session's";
#else
    // One name space for the whole machine: sessions do not exist here.
    std::string name = uniqueName("kivcipc_global");
    HANDLE global = newSemaphore("Global\\" + name);
    ASSERT_NE(nullptr, global);
    HANDLE plain = OpenSemaphoreA(kSemOpen, FALSE, name.c_str());
    EXPECT_NE(nullptr, plain);
    CloseHandle(plain);
    CloseHandle(global);
#endif
}

TEST(CompatIpcName, UnknownNamespaceIsPathNotFound)
{
    std::string name = "KivNoSuchNamespace\\" + uniqueName("kivcipc");
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), nullWith(newSemaphore(name)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND),
              nullWith(OpenEventA(kEventOpen, FALSE, name.c_str())));
}

TEST(CompatIpcName, NamesAreCaseSensitiveAndTakeAnyCharacter)
{
    std::string name = uniqueName("kivcipc_Case") + " with/slash.and%";
    HANDLE sem = newSemaphore(name);
    ASSERT_NE(nullptr, sem);
    std::string upper = name;
    for (char& c : upper)
        c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND),
              nullWith(OpenSemaphoreA(kSemOpen, FALSE, upper.c_str())));
    HANDLE same = OpenSemaphoreA(kSemOpen, FALSE, name.c_str());
    EXPECT_NE(nullptr, same);
    CloseHandle(same);
    CloseHandle(sem);
}

TEST(CompatIpcName, OfCreatorsRacingForANameOneMakesIt)
{
    const int kThreads = 8;
    for (int round = 0; round < 20; ++round) {
        std::string name = uniqueName("kivcipc_race");
        HANDLE handles[kThreads] = {};
        DWORD errors[kThreads] = {};
        std::atomic<int> go{0};
        std::vector<std::thread> threads;
        for (int i = 0; i < kThreads; ++i) {
            threads.emplace_back([&, i] {
                while (!go.load()) {
                }
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

TEST(CompatIpcName, LastCloseDestroys)
{
    std::string name = uniqueName("kivcipc_life");
    HANDLE a = newSemaphore(name, 3);
    ASSERT_NE(nullptr, a);
    HANDLE b = OpenSemaphoreA(kSemOpen, FALSE, name.c_str());
    ASSERT_NE(nullptr, b);
    CloseHandle(a);
    // Still held through b: same object, same count.
    HANDLE c = newSemaphore(name, 0);
    ASSERT_NE(nullptr, c);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(c, 0));
    CloseHandle(c);
    CloseHandle(b);
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND),
              nullWith(OpenSemaphoreA(kSemOpen, FALSE, name.c_str())));
    // The name is free again: a create makes a new object.
    HANDLE d = newSemaphore(name, 0);
    ASSERT_NE(nullptr, d);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(d, 0));
    CloseHandle(d);
}

// ---- semaphores ------------------------------------------------------------------------

TEST(CompatSemaphore, CountsUpToTheMaximum)
{
    HANDLE s = CreateSemaphoreA(nullptr, 2, 3, nullptr);
    ASSERT_NE(nullptr, s);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(s, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(s, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(s, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(s, 20));

    LONG previous = -1;
    ASSERT_TRUE(ReleaseSemaphore(s, 3, &previous));
    EXPECT_EQ(0, previous);
    // Beyond the maximum: refused whole, the count stays.
    previous = -1;
    EXPECT_FALSE(ReleaseSemaphore(s, 1, &previous));
    EXPECT_EQ(static_cast<DWORD>(ERROR_TOO_MANY_POSTS), GetLastError());
    EXPECT_EQ(-1, previous);
    if (!kivtestUnderWine()) {   // wine takes a release of 0 as a no-op
        EXPECT_FALSE(ReleaseSemaphore(s, 0, nullptr));
        EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    }
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(s, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(s, 0));
    CloseHandle(s);
}

TEST(CompatSemaphore, BadCountsAreRefused)
{
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
              nullWith(CreateSemaphoreA(nullptr, 2, 1, nullptr)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
              nullWith(CreateSemaphoreA(nullptr, -1, 1, nullptr)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
              nullWith(CreateSemaphoreA(nullptr, 0, 0, nullptr)));
}

TEST(CompatSemaphore, OpenAccessIsEnforced)
{
    std::string name = uniqueName("kivcipc_acc");
    HANDLE s = newSemaphore(name, 1);
    ASSERT_NE(nullptr, s);
    HANDLE waitOnly = OpenSemaphoreA(SYNCHRONIZE, FALSE, name.c_str());
    ASSERT_NE(nullptr, waitOnly);
    EXPECT_FALSE(ReleaseSemaphore(waitOnly, 1, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(waitOnly, 0));

    HANDLE postOnly = OpenSemaphoreA(SEMAPHORE_MODIFY_STATE, FALSE, name.c_str());
    ASSERT_NE(nullptr, postOnly);
    EXPECT_TRUE(ReleaseSemaphore(postOnly, 1, nullptr));
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(postOnly, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    CloseHandle(postOnly);
    CloseHandle(waitOnly);
    CloseHandle(s);
}

TEST(CompatSemaphore, AWaitingThreadIsReleasedByAPost)
{
    HANDLE s = CreateSemaphoreA(nullptr, 0, 5, nullptr);
    ASSERT_NE(nullptr, s);
    std::atomic<DWORD> result{0xDEAD};
    std::thread waiter([&] { result = WaitForSingleObject(s, INFINITE); });
    ASSERT_TRUE(ReleaseSemaphore(s, 1, nullptr));
    waiter.join();
    EXPECT_EQ(WAIT_OBJECT_0, result.load());
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(s, 0));
    CloseHandle(s);
}

TEST(CompatSemaphore, HandlesOfOtherKindsAreRefused)
{
    HANDLE s = CreateSemaphoreA(nullptr, 0, 1, nullptr);
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, s);
    ASSERT_NE(nullptr, e);
    EXPECT_FALSE(ReleaseSemaphore(e, 1, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_FALSE(SetEvent(s));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    CloseHandle(e);
    CloseHandle(s);
    EXPECT_FALSE(ReleaseSemaphore(s, 1, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

// ---- events ----------------------------------------------------------------------------

TEST(CompatEvent, ManualResetStaysSignalledUntilReset)
{
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, uniqueName("kivcipc_ev").c_str());
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 0));
    ASSERT_TRUE(SetEvent(e));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 0));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 0));
    ASSERT_TRUE(ResetEvent(e));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 10));
    CloseHandle(e);
}

TEST(CompatEvent, AutoResetLetsOneWaitThrough)
{
    HANDLE e = CreateEventA(nullptr, FALSE, TRUE, nullptr);
    ASSERT_NE(nullptr, e);
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 0));
    ASSERT_TRUE(SetEvent(e));
    ASSERT_TRUE(SetEvent(e));   // setting a set event changes nothing
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(e, 0));
    CloseHandle(e);
}

TEST(CompatEvent, ThreadsWaitingOnAManualEventAllWake)
{
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ASSERT_NE(nullptr, e);
    std::atomic<int> woken{0};
    std::thread a([&] { woken += WaitForSingleObject(e, INFINITE) == WAIT_OBJECT_0; });
    std::thread b([&] { woken += WaitForSingleObject(e, INFINITE) == WAIT_OBJECT_0; });
    ASSERT_TRUE(SetEvent(e));
    a.join();
    b.join();
    EXPECT_EQ(2, woken.load());
    CloseHandle(e);
}

TEST(CompatEvent, OpenedEventsAreTheSameObject)
{
    std::string name = uniqueName("kivcipc_ev");
    HANDLE e = CreateEventA(nullptr, FALSE, FALSE, name.c_str());
    ASSERT_NE(nullptr, e);
    HANDLE again = CreateEventA(nullptr, TRUE, TRUE, name.c_str());
    ASSERT_NE(nullptr, again);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    // The existing event's kind and state hold, not the second create's.
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(again, 0));
    HANDLE opened = OpenEventA(kEventOpen, FALSE, name.c_str());
    ASSERT_NE(nullptr, opened);
    ASSERT_TRUE(SetEvent(opened));
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(e, 0));
    EXPECT_EQ(WAIT_TIMEOUT, WaitForSingleObject(again, 0));
    HANDLE waitOnly = OpenEventA(SYNCHRONIZE, FALSE, name.c_str());
    ASSERT_NE(nullptr, waitOnly);
    EXPECT_FALSE(SetEvent(waitOnly));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    CloseHandle(waitOnly);
    CloseHandle(opened);
    CloseHandle(again);
    CloseHandle(e);
}

// ---- named sections ------------------------------------------------------------------

TEST(CompatNamedMapping, OpenAndCreateShareTheSection)
{
    std::string name = uniqueName("kivcipc_map");
    HANDLE m = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 10000,
                                  name.c_str());
    ASSERT_NE(nullptr, m);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
    char* a = static_cast<char*>(MapViewOfFile(m, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(nullptr, a);
    EXPECT_EQ(0, a[0]);
    EXPECT_EQ(0, a[9999]);
    std::strcpy(a, "first view");
    a[9999] = 'z';

    HANDLE o = OpenFileMappingA(FILE_MAP_READ | FILE_MAP_WRITE, FALSE, name.c_str());
    ASSERT_NE(nullptr, o);
    char* b = static_cast<char*>(MapViewOfFile(o, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(nullptr, b);
    EXPECT_STREQ("first view", b);
    EXPECT_EQ('z', b[9999]);
    b[0] = 'F';
    EXPECT_EQ('F', a[0]);

    HANDLE c = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 10000,
                                  name.c_str());
    ASSERT_NE(nullptr, c);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    char* v = static_cast<char*>(MapViewOfFile(c, FILE_MAP_READ, 0, 0, 0));
    ASSERT_NE(nullptr, v);
    EXPECT_STREQ("First view", v);

    UnmapViewOfFile(v);
    UnmapViewOfFile(b);
    UnmapViewOfFile(a);
    CloseHandle(c);
    CloseHandle(o);
    CloseHandle(m);
}

TEST(CompatNamedMapping, ViewsKeepTheSectionAfterItsHandlesClose)
{
    std::string name = uniqueName("kivcipc_map");
    HANDLE m = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                  name.c_str());
    ASSERT_NE(nullptr, m);
    HANDLE o = OpenFileMappingA(FILE_MAP_WRITE, FALSE, name.c_str());
    ASSERT_NE(nullptr, o);
    char* a = static_cast<char*>(MapViewOfFile(m, FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(nullptr, a);
    ASSERT_TRUE(CloseHandle(m));
    char* b = static_cast<char*>(MapViewOfFile(o, FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(nullptr, b);
    ASSERT_TRUE(CloseHandle(o));
    // No handle left, but the memory is still one section.
    a[0] = 'k';
    EXPECT_EQ('k', b[0]);
    b[4095] = 'v';
    EXPECT_EQ('v', a[4095]);
    UnmapViewOfFile(a);
    UnmapViewOfFile(b);
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND),
              nullWith(OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str())));
}

TEST(CompatNamedMapping, AReadHandleGivesNoWriteView)
{
    std::string name = uniqueName("kivcipc_map");
    HANDLE m = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                  name.c_str());
    ASSERT_NE(nullptr, m);
    HANDLE r = OpenFileMappingA(FILE_MAP_READ, FALSE, name.c_str());
    ASSERT_NE(nullptr, r);
    EXPECT_EQ(nullptr, MapViewOfFile(r, FILE_MAP_WRITE, 0, 0, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    void* v = MapViewOfFile(r, FILE_MAP_READ, 0, 0, 0);
    EXPECT_NE(nullptr, v);
    UnmapViewOfFile(v);
    CloseHandle(r);
    CloseHandle(m);
}

TEST(CompatNamedMapping, APageFileSectionNeedsASize)
{
    std::string name = uniqueName("kivcipc_map");
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER),
              nullWith(CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 0,
                                          name.c_str())));
}

TEST(CompatNamedMapping, VirtualQuerySizesAView)
{
    std::string name = uniqueName("kivcipc_map");
    HANDLE m = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 100,
                                  name.c_str());
    ASSERT_NE(nullptr, m);
    char* v = static_cast<char*>(MapViewOfFile(m, FILE_MAP_READ | FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(nullptr, v);
    MEMORY_BASIC_INFORMATION info;
    ASSERT_EQ(sizeof info, VirtualQueryEx(GetCurrentProcess(), v + 10, &info, sizeof info));
    EXPECT_EQ(static_cast<void*>(v), info.BaseAddress);
    EXPECT_EQ(static_cast<void*>(v), info.AllocationBase);
    EXPECT_EQ(static_cast<SIZE_T>(pageSize()), info.RegionSize);
    EXPECT_EQ(static_cast<DWORD>(MEM_COMMIT), info.State);
    EXPECT_EQ(static_cast<DWORD>(MEM_MAPPED), info.Type);
    EXPECT_EQ(static_cast<DWORD>(PAGE_READWRITE), info.Protect);
    EXPECT_EQ(0u, VirtualQueryEx(GetCurrentProcess(), v, &info, sizeof info - 1));
    UnmapViewOfFile(v);
    CloseHandle(m);
}

// ---- between processes --------------------------------------------------------------

KIVTEST_CHILD(ipcPostSemaphore)
{
    // args: semaphore name
    HANDLE s = OpenSemaphoreA(kSemOpen, FALSE, args.at(0).c_str());
    if (!s)
        return 2;
    if (!ReleaseSemaphore(s, 1, nullptr))
        return 3;
    CloseHandle(s);
    return 0;
}

KIVTEST_CHILD(ipcWaitEvent)
{
    // args: event name, ready semaphore name
    HANDLE e = OpenEventA(kEventOpen, FALSE, args.at(0).c_str());
    HANDLE ready = OpenSemaphoreA(kSemOpen, FALSE, args.at(1).c_str());
    if (!e || !ready)
        return 2;
    if (WaitForSingleObject(e, 0) != WAIT_TIMEOUT)
        return 3;
    ReleaseSemaphore(ready, 1, nullptr);
    return WaitForSingleObject(e, kChildWaitMs) == WAIT_OBJECT_0 ? 0 : 4;
}

KIVTEST_CHILD(ipcWriteSection)
{
    // args: section name, size
    HANDLE m = OpenFileMappingA(FILE_MAP_WRITE, FALSE, args.at(0).c_str());
    if (!m)
        return 2;
    unsigned char* p = static_cast<unsigned char*>(MapViewOfFile(m, FILE_MAP_WRITE, 0, 0, 0));
    if (!p)
        return 3;
    size_t size = static_cast<size_t>(std::atol(args.at(1).c_str()));
    for (size_t i = 0; i < size; ++i)
        p[i] = static_cast<unsigned char>(i * 7 + 1);
    UnmapViewOfFile(p);
    CloseHandle(m);
    return 0;
}

KIVTEST_CHILD(ipcCreateAndLeave)
{
    // args: name; creates a semaphore and a section under name + suffixes
    // and ends without closing them.
    HANDLE s = newSemaphore(args.at(0) + "_s");
    HANDLE m = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096,
                                  (args.at(0) + "_m").c_str());
    return s && m ? 0 : 2;
}

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
    std::string name = uniqueName("kivcipc_proc");
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

TEST(CompatIpcProcess, APostFromAChildReleasesTheParent)
{
    std::string name = uniqueName("kivcipc_proc");
    HANDLE s = newSemaphore(name, 0);
    ASSERT_NE(nullptr, s);
    KivTestProcess child = kivtestSpawnChild("ipcPostSemaphore", {name});
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(s, kChildWaitMs));
    EXPECT_EQ(0, kivtestWaitChild(child));
    CloseHandle(s);
}

TEST(CompatIpcProcess, AnEventSetByTheParentReleasesAChild)
{
    std::string name = uniqueName("kivcipc_proc");
    HANDLE e = CreateEventA(nullptr, TRUE, FALSE, name.c_str());
    HANDLE ready = newSemaphore(name + "_ready", 0);
    ASSERT_NE(nullptr, e);
    ASSERT_NE(nullptr, ready);
    KivTestProcess child = kivtestSpawnChild("ipcWaitEvent", {name, name + "_ready"});
    EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(ready, kChildWaitMs));
    EXPECT_TRUE(SetEvent(e));
    EXPECT_EQ(0, kivtestWaitChild(child));
    CloseHandle(ready);
    CloseHandle(e);
}

TEST(CompatIpcProcess, AChildWritesANamedSection)
{
    std::string name = uniqueName("kivcipc_proc");
    const size_t size = 20000;
    HANDLE m = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0,
                                  static_cast<DWORD>(size), name.c_str());
    ASSERT_NE(nullptr, m);
    unsigned char* p = static_cast<unsigned char*>(MapViewOfFile(m, FILE_MAP_READ, 0, 0, 0));
    ASSERT_NE(nullptr, p);
    ASSERT_EQ(0, kivtestRunChild("ipcWriteSection", {name, std::to_string(size)}));
    size_t wrong = 0;
    for (size_t i = 0; i < size; ++i)
        wrong += p[i] != static_cast<unsigned char>(i * 7 + 1);
    EXPECT_EQ(0u, wrong);
    UnmapViewOfFile(p);
    CloseHandle(m);
}

TEST(CompatIpcProcess, ObjectsGoWithTheProcessThatHeldThem)
{
    std::string name = uniqueName("kivcipc_proc");
    ASSERT_EQ(0, kivtestRunChild("ipcCreateAndLeave", {name}));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND),
              nullWith(OpenSemaphoreA(kSemOpen, FALSE, (name + "_s").c_str())));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND),
              nullWith(OpenFileMappingA(FILE_MAP_READ, FALSE, (name + "_m").c_str())));
    // And the names can be used afresh.
    HANDLE s = newSemaphore(name + "_s");
    ASSERT_NE(nullptr, s);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SUCCESS), GetLastError());
    CloseHandle(s);
}

TEST(CompatIpcProcess, AnObjectOutlivesItsCreatorWhileOthersHoldIt)
{
    std::string name = uniqueName("kivcipc_proc");
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
        HANDLE again = OpenSemaphoreA(kSemOpen, FALSE, name.c_str());
        EXPECT_NE(nullptr, again);
        CloseHandle(again);
        EXPECT_EQ(WAIT_OBJECT_0, WaitForSingleObject(s, 0));   // the creator's count
        CloseHandle(s);
    }
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND),
              nullWith(OpenSemaphoreA(kSemOpen, FALSE, name.c_str())));
    CloseHandle(done);
    CloseHandle(ready);
}
