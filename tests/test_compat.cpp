/*
 * test_compat.cpp - the Win32 subset: last error per thread and the errno
 * table; and the test harness's own child processes.  On Windows the same
 * tests run against the real interfaces, which keeps the subset honest.
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
    const struct { int err; DWORD win32; } rows[] = {
        {ENOENT, 2}, {ENOTDIR, 3}, {EACCES, 5}, {EPERM, 5}, {EEXIST, 80},
        {ENOSPC, 112}, {ENOTEMPTY, 145}, {ENAMETOOLONG, 206},
    };
    for (const auto& r : rows)
        EXPECT_EQ(r.win32, kivCompatErrnoToWin32(r.err)) << "errno " << r.err;
    errno = EBADF;
    EXPECT_EQ(6u, kivCompatSetLastErrorFromErrno(0));
    EXPECT_EQ(6u, GetLastError());
}
#endif

KIVTEST_CHILD(exitWith)
{
    return args.empty() ? 1 : std::atoi(args[0].c_str());
}

// Every multi-process test trusts the exit code to tell a failed child.
TEST(TestHarness, ChildProcessesRunAndReportExitCodes)
{
    EXPECT_EQ(7, kivtestRunChild("exitWith", {"7"}));
    EXPECT_EQ(0, kivtestRunChild("exitWith", {"0"}));
}
