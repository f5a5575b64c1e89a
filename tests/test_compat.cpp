/*
 * test_compat.cpp - the Win32 subset: last error per thread, the errno table,
 * system facts and clocks.  On Windows the same tests run against the real
 * interfaces, which keeps the subset honest.
 */
#include "kivos.h"
#include "kivtest.h"

#include <cerrno>
#include <atomic>
#include <thread>

TEST(Compat, LastErrorIsPerThread)
{
    std::atomic<int> stage{0};
    DWORD seenByThread = 0;
    std::thread t([&] {
        SetLastError(99);
        stage = 1;
        while (stage != 2)
            std::this_thread::yield();
        seenByThread = GetLastError();
    });
    while (stage != 1)
        std::this_thread::yield();
    SetLastError(1234);
    DWORD seenByMain = GetLastError();
    stage = 2;
    t.join();
    EXPECT_EQ(1234u, seenByMain);
    EXPECT_EQ(99u, seenByThread);
}

#if !defined(_WIN32)
TEST(Compat, ErrnoTableGivesWindowsNumbers)
{
    EXPECT_EQ(2u, kivCompatErrnoToWin32(ENOENT));
    EXPECT_EQ(3u, kivCompatErrnoToWin32(ENOTDIR));
    EXPECT_EQ(5u, kivCompatErrnoToWin32(EACCES));
    EXPECT_EQ(5u, kivCompatErrnoToWin32(EPERM));
    EXPECT_EQ(80u, kivCompatErrnoToWin32(EEXIST));
    EXPECT_EQ(112u, kivCompatErrnoToWin32(ENOSPC));
    EXPECT_EQ(145u, kivCompatErrnoToWin32(ENOTEMPTY));
    EXPECT_EQ(206u, kivCompatErrnoToWin32(ENAMETOOLONG));
    errno = EBADF;
    EXPECT_EQ(6u, kivCompatSetLastErrorFromErrno(0));
    EXPECT_EQ(6u, GetLastError());
}
#endif

TEST(Compat, SystemInfoAndClocks)
{
    SYSTEM_INFO si;
    GetSystemInfo(&si);
    EXPECT_GE(si.dwNumberOfProcessors, 1u);
    EXPECT_GE(si.dwPageSize, 4096u);

    LARGE_INTEGER f, a, b;
    ASSERT_TRUE(QueryPerformanceFrequency(&f));
    EXPECT_GT(f.QuadPart, 0);
    ASSERT_TRUE(QueryPerformanceCounter(&a));
    Sleep(20);
    ASSERT_TRUE(QueryPerformanceCounter(&b));
    // At least 15 ms must have passed on the counter's own scale.
    EXPECT_GE((b.QuadPart - a.QuadPart) * 1000 / f.QuadPart, 15);

    SYSTEMTIME st;
    GetLocalTime(&st);
    EXPECT_GE(st.wYear, 2024);
    EXPECT_GE(st.wMonth, 1);
    EXPECT_LE(st.wMonth, 12);
    EXPECT_LE(st.wMilliseconds, 999);
    EXPECT_NE(0u, GetCurrentProcessId());
    EXPECT_NE(0u, GetCurrentThreadId());
}

KIVTEST_CHILD(exitWith)
{
    return args.empty() ? 1 : std::atoi(args[0].c_str());
}

TEST(TestHarness, ChildProcessesRunAndReportExitCodes)
{
    EXPECT_EQ(7, kivtestRunChild("exitWith", {"7"}));
    EXPECT_EQ(0, kivtestRunChild("exitWith", {"0"}));
}
