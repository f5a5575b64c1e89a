/*
 * test_compatfile.cpp - the Win32 kernel-object and file services the library
 * calls: handles, CreateFileA dispositions and share modes, reads, writes,
 * the file pointer and size, byte-range locks within and across processes,
 * file mappings, attributes and deletion, the user name, tokens and the
 * environment.
 *
 * Everything here is written against the Windows API alone: the Windows
 * build runs the same tests against the real system, which is what keeps
 * the POSIX implementation honest.
 */
#include "kivos.h"
#include "kivtest.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;
const DWORD kShareRW = FILE_SHARE_READ | FILE_SHARE_WRITE;
const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE openFile(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                DWORD flags = FILE_ATTRIBUTE_NORMAL)
{
    return CreateFileA(path.c_str(), access, share, nullptr, disposition, flags, nullptr);
}

// The last error of a call that must have failed, for one-line checks.
DWORD failedWith(bool ok)
{
    return ok ? 0 : GetLastError();
}

DWORD openError(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                DWORD flags = FILE_ATTRIBUTE_NORMAL)
{
    HANDLE h = openFile(path, access, share, disposition, flags);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return 0;
    }
    return GetLastError();
}

void writeText(HANDLE h, const std::string& text)
{
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, text.data(), static_cast<DWORD>(text.size()), &n, nullptr));
    ASSERT_EQ(text.size(), n);
}

std::string readText(HANDLE h, DWORD count)
{
    std::string buf(count, '\0');
    DWORD n = 0;
    if (!ReadFile(h, &buf[0], count, &n, nullptr))
        return "<failed>";
    buf.resize(n);
    return buf;
}

void makeFile(const std::string& path, const std::string& content)
{
    HANDLE h = openFile(path, GENERIC_WRITE, kShareRW, CREATE_ALWAYS);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    writeText(h, content);
    CloseHandle(h);
}

DWORD sizeOf(HANDLE h)
{
    return GetFileSize(h, nullptr);
}

DWORD position(HANDLE h)
{
    return SetFilePointer(h, 0, nullptr, FILE_CURRENT);
}

bool lockRange(HANDLE h, DWORD flags, DWORD offsetLow, DWORD length, DWORD offsetHigh = 0)
{
    OVERLAPPED ov = {};
    ov.Offset = offsetLow;
    ov.OffsetHigh = offsetHigh;
    return LockFileEx(h, flags, 0, length, 0, &ov) != FALSE;
}

bool unlockRange(HANDLE h, DWORD offsetLow, DWORD length, DWORD offsetHigh = 0)
{
    OVERLAPPED ov = {};
    ov.Offset = offsetLow;
    ov.OffsetHigh = offsetHigh;
    return UnlockFileEx(h, 0, length, 0, &ov) != FALSE;
}

// Unlocking a range that is not locked: ERROR_NOT_LOCKED on Windows, a lock
// conflict under wine.
DWORD notLocked()
{
    return kivtestUnderWine() ? static_cast<DWORD>(ERROR_LOCK_VIOLATION)
                              : static_cast<DWORD>(ERROR_NOT_LOCKED);
}

const DWORD kTryExclusive = LOCKFILE_FAIL_IMMEDIATELY | LOCKFILE_EXCLUSIVE_LOCK;
const DWORD kTryShared = LOCKFILE_FAIL_IMMEDIATELY;

// Stages shared with a child process.
struct ChildSync {
    std::atomic<int> stage;
};

bool waitForStage(ChildSync* sync, int stage)
{
    for (int i = 0; i < 60000; ++i) {
        if (sync->stage.load() >= stage)
            return true;
        Sleep(1);
    }
    return false;
}

} // namespace

// ---- Handles -------------------------------------------------------------------------

TEST(CompatHandle, BogusAndStaleHandlesAreRefused)
{
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), failedWith(CloseHandle(nullptr)));
    // Pseudo-handles are no objects: closing one does nothing and succeeds.
    // INVALID_HANDLE_VALUE has the value of the current process's.
    EXPECT_TRUE(CloseHandle(GetCurrentProcess()));
    EXPECT_TRUE(CloseHandle(GetCurrentThread()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE),
              failedWith(CloseHandle(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x12345678)))));

    KivTestTempDir dir;
    HANDLE h = openFile(dir.file("f"), kReadWrite, kShareRW, CREATE_NEW);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    ASSERT_TRUE(CloseHandle(h));
    // Closed once: the handle is dead for every call.
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), failedWith(CloseHandle(h)));
    char c;
    DWORD n = 99;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), failedWith(ReadFile(h, &c, 1, &n, nullptr)));
    EXPECT_EQ(0u, n);
    EXPECT_EQ(INVALID_FILE_SIZE, GetFileSize(h, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x12345678)), 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
}

TEST(CompatHandle, InvalidHandleValueIsNotAFile)
{
    char c;
    DWORD n;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE),
              failedWith(ReadFile(INVALID_HANDLE_VALUE, &c, 1, &n, nullptr)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE),
              failedWith(WriteFile(INVALID_HANDLE_VALUE, "x", 1, &n, nullptr)));
    EXPECT_EQ(INVALID_SET_FILE_POINTER, SetFilePointer(INVALID_HANDLE_VALUE, 0, nullptr, FILE_CURRENT));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), failedWith(FlushFileBuffers(INVALID_HANDLE_VALUE)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), failedWith(SetEndOfFile(INVALID_HANDLE_VALUE)));
    // Without a file a mapping needs a size.
    EXPECT_EQ(nullptr, CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 0, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
}

TEST(CompatHandle, StandardHandles)
{
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    ASSERT_NE(INVALID_HANDLE_VALUE, out);
    EXPECT_EQ(out, GetStdHandle(STD_OUTPUT_HANDLE));
    EXPECT_NE(out, GetStdHandle(STD_ERROR_HANDLE));
    EXPECT_EQ(INVALID_HANDLE_VALUE, GetStdHandle(5));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE), GetLastError());
    DWORD n = 99;
    EXPECT_TRUE(WriteFile(GetStdHandle(STD_ERROR_HANDLE), "", 0, &n, nullptr));
    EXPECT_EQ(0u, n);
}

TEST(CompatHandle, ClosingAStandardHandleKeepsTheStream)
{
#if defined(_WIN32)
    GTEST_SKIP() << "Windows really closes a standard handle; only the POSIX layer keeps it";
#else
    HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    EXPECT_TRUE(CloseHandle(err));
    EXPECT_EQ(err, GetStdHandle(STD_ERROR_HANDLE));
    DWORD n = 0;
    EXPECT_TRUE(WriteFile(err, "", 0, &n, nullptr));
#endif
}

// ---- Opening ------------------------------------------------------------------------

TEST(CompatFile, DispositionsAndTheirErrors)
{
    KivTestTempDir dir;
    const std::string f = dir.file("f");

    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), openError(f, GENERIC_READ, kShareRW, OPEN_EXISTING));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), openError(f, GENERIC_WRITE, kShareRW, TRUNCATE_EXISTING));

    SetLastError(1234);
    HANDLE h = openFile(f, kReadWrite, kShareRW, CREATE_NEW);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ(0u, GetLastError());
    writeText(h, "content");
    CloseHandle(h);
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_EXISTS), openError(f, kReadWrite, kShareRW, CREATE_NEW));

    // OPEN_ALWAYS on an existing file: success, the file as it was, and 183.
    h = openFile(f, kReadWrite, kShareRW, OPEN_ALWAYS);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_EQ("content", readText(h, 100));
    CloseHandle(h);

    // CREATE_ALWAYS on an existing file: success, emptied, and 183.
    h = openFile(f, kReadWrite, kShareRW, CREATE_ALWAYS);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ALREADY_EXISTS), GetLastError());
    EXPECT_EQ(0u, sizeOf(h));
    writeText(h, "again");
    CloseHandle(h);

    h = openFile(f, GENERIC_WRITE, kShareRW, TRUNCATE_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ(0u, sizeOf(h));
    writeText(h, "more");
    CloseHandle(h);
    // Replacing empties the file even for a handle that only reads.
    h = openFile(f, GENERIC_READ, kShareRW, CREATE_ALWAYS);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ(0u, sizeOf(h));
    CloseHandle(h);

    // The "always" kinds on a missing file create it and clear the error.
    for (DWORD disp : {static_cast<DWORD>(OPEN_ALWAYS), static_cast<DWORD>(CREATE_ALWAYS)}) {
        std::string g = dir.file("new" + std::to_string(disp));
        SetLastError(1234);
        h = openFile(g, kReadWrite, kShareRW, disp);
        ASSERT_NE(INVALID_HANDLE_VALUE, h);
        EXPECT_EQ(0u, GetLastError());
        CloseHandle(h);
        EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(g.c_str()));
    }

    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), openError(f, kReadWrite, kShareRW, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), openError(f, kReadWrite, kShareRW, 6));
}

TEST(CompatFile, PathErrors)
{
    KivTestTempDir dir;
    // A backslash separates directories in a Windows path.
    const std::string inMissingDir = dir.file("nodir") + "\\f";
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), openError(inMissingDir, GENERIC_READ, kShareRW, OPEN_EXISTING));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), openError(inMissingDir, kReadWrite, kShareRW, CREATE_NEW));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), openError(inMissingDir, kReadWrite, kShareRW, OPEN_ALWAYS));

    // A directory is not a file.
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), openError(dir.path(), GENERIC_READ, kShareRW, OPEN_EXISTING));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), openError(dir.path(), kReadWrite, kShareRW, OPEN_ALWAYS));

    // The ANSI calls take names below MAX_PATH.
    const std::string tooLong = dir.file(std::string(300, 'a'));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILENAME_EXCED_RANGE), openError(tooLong, kReadWrite, kShareRW, CREATE_ALWAYS));

    // A file used as a directory.
    makeFile(dir.file("plain"), "x");
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND),
              openError(dir.file("plain") + "\\f", GENERIC_READ, kShareRW, OPEN_EXISTING));
}

// ---- Reading, writing, pointer and size ------------------------------------------------------

TEST(CompatFile, ReadWriteAndThePointer)
{
    KivTestTempDir dir;
    HANDLE h = openFile(dir.file("f"), kReadWrite, kShareRW, CREATE_NEW);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    writeText(h, "hello world");
    EXPECT_EQ(11u, position(h));
    DWORD high = 77;
    EXPECT_EQ(11u, GetFileSize(h, &high));
    EXPECT_EQ(0u, high);

    // At the end a read succeeds with nothing.
    char c;
    DWORD n = 99;
    EXPECT_TRUE(ReadFile(h, &c, 1, &n, nullptr));
    EXPECT_EQ(0u, n);

    EXPECT_EQ(0u, SetFilePointer(h, 0, nullptr, FILE_BEGIN));
    EXPECT_EQ("hello", readText(h, 5));
    EXPECT_EQ(9u, SetFilePointer(h, -2, nullptr, FILE_END));
    EXPECT_EQ("ld", readText(h, 10)); // a short read is a success

    // A move before the start fails and leaves the pointer.
    SetFilePointer(h, 4, nullptr, FILE_BEGIN);
    EXPECT_EQ(INVALID_SET_FILE_POINTER, SetFilePointer(h, -5, nullptr, FILE_CURRENT));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NEGATIVE_SEEK), GetLastError());
    EXPECT_EQ(4u, position(h));
    EXPECT_EQ(INVALID_SET_FILE_POINTER, SetFilePointer(h, 0, nullptr, 3));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());

    // The high word: 2^32 + 16, then back by 2^32 from there.
    LONG hi = 1;
    EXPECT_EQ(16u, SetFilePointer(h, 16, &hi, FILE_BEGIN));
    EXPECT_EQ(1, hi);
    hi = -1;
    EXPECT_EQ(16u, SetFilePointer(h, 0, &hi, FILE_CURRENT));
    EXPECT_EQ(0, hi);
    hi = -1;
    EXPECT_EQ(INVALID_SET_FILE_POINTER, SetFilePointer(h, 0, &hi, FILE_CURRENT));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NEGATIVE_SEEK), GetLastError());

    // Writing past the end leaves a gap of zeros.
    SetFilePointer(h, 20, nullptr, FILE_BEGIN);
    writeText(h, "!");
    EXPECT_EQ(21u, sizeOf(h));
    SetFilePointer(h, 11, nullptr, FILE_BEGIN);
    EXPECT_EQ(std::string(9, '\0') + "!", readText(h, 100));

    // SetEndOfFile cuts or grows at the pointer, which stays.
    SetFilePointer(h, 5, nullptr, FILE_BEGIN);
    EXPECT_TRUE(SetEndOfFile(h));
    EXPECT_EQ(5u, sizeOf(h));
    EXPECT_EQ(5u, position(h));
    hi = 1;
    SetFilePointer(h, 3, &hi, FILE_BEGIN);
    EXPECT_TRUE(SetEndOfFile(h));
    high = 0;
    EXPECT_EQ(3u, GetFileSize(h, &high));
    EXPECT_EQ(1u, high);
    SetFilePointer(h, 5, nullptr, FILE_BEGIN);
    EXPECT_TRUE(SetEndOfFile(h));
    EXPECT_TRUE(FlushFileBuffers(h));
    CloseHandle(h);
}

TEST(CompatFile, ReadAtAnOffset)
{
    KivTestTempDir dir;
    makeFile(dir.file("f"), "0123456789");
    HANDLE h = openFile(dir.file("f"), GENERIC_READ, kShareRW, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    OVERLAPPED ov = {};
    ov.Offset = 6;
    char buf[8] = {};
    DWORD n = 0;
    EXPECT_TRUE(ReadFile(h, buf, 3, &n, &ov));
    EXPECT_EQ(3u, n);
    EXPECT_EQ("678", std::string(buf, 3));
    // A synchronous handle's pointer follows the read.
    EXPECT_EQ(9u, position(h));
    // At or past the end, a read at an offset fails with end of file.
    ov.Offset = 10;
    EXPECT_EQ(static_cast<DWORD>(ERROR_HANDLE_EOF), failedWith(ReadFile(h, buf, 3, &n, &ov)));
    EXPECT_EQ(0u, n);
    CloseHandle(h);
}

TEST(CompatFile, AccessRightsOfTheHandle)
{
    KivTestTempDir dir;
    makeFile(dir.file("f"), "abc");
    char c;
    DWORD n;

    HANDLE r = openFile(dir.file("f"), GENERIC_READ, kShareRW, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, r);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), failedWith(WriteFile(r, "x", 1, &n, nullptr)));
    // Windows refuses the size change for want of write access; wine answers
    // ERROR_INVALID_PARAMETER.
    EXPECT_EQ(kivtestUnderWine() ? static_cast<DWORD>(ERROR_INVALID_PARAMETER)
                                 : static_cast<DWORD>(ERROR_ACCESS_DENIED),
              failedWith(SetEndOfFile(r)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), failedWith(FlushFileBuffers(r)));
    CloseHandle(r);

    HANDLE w = openFile(dir.file("f"), GENERIC_WRITE, kShareRW, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, w);
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), failedWith(ReadFile(w, &c, 1, &n, nullptr)));
    writeText(w, "XY");
    CloseHandle(w);
    EXPECT_EQ("XYc", kivtestReadFile(dir.file("f")));
}

// ---- Share modes ----------------------------------------------------------------------

TEST(CompatFile, ShareModesBetweenHandles)
{
    KivTestTempDir dir;
    const std::string f = dir.file("f");
    makeFile(f, "keep me");

    // Nothing shared: every other open fails.
    HANDLE h1 = openFile(f, kReadWrite, 0, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, h1);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), openError(f, GENERIC_READ, kShareAll, OPEN_EXISTING));
    CloseHandle(h1);
    EXPECT_EQ(0u, openError(f, GENERIC_READ, kShareAll, OPEN_EXISTING));

    // Readers sharing reads only: a writer is refused, another reader is not.
    h1 = openFile(f, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, h1);
    EXPECT_EQ(0u, openError(f, GENERIC_READ, kShareRW, OPEN_EXISTING));
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), openError(f, GENERIC_WRITE, kShareRW, OPEN_EXISTING));
    // Refused truncation leaves the file whole.
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), openError(f, GENERIC_WRITE, kShareAll, CREATE_ALWAYS));
    EXPECT_EQ(7u, sizeOf(h1));
    CloseHandle(h1);

    // Denying writes while someone writes is refused too.
    h1 = openFile(f, GENERIC_WRITE, kShareAll, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, h1);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), openError(f, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
    EXPECT_EQ(0u, openError(f, GENERIC_READ, kShareRW, OPEN_EXISTING));
    CloseHandle(h1);
}

TEST(CompatFile, DeleteNeedsSharedDeleteAccess)
{
    KivTestTempDir dir;
    const std::string f = dir.file("f");
    makeFile(f, "x");

    HANDLE h = openFile(f, GENERIC_READ, kShareRW, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), failedWith(DeleteFileA(f.c_str())));
    CloseHandle(h);

    h = openFile(f, GENERIC_READ, kShareAll, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_TRUE(DeleteFileA(f.c_str()));
    CloseHandle(h);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(f.c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
}

TEST(CompatFile, DeleteOnClose)
{
    KivTestTempDir dir;
    const std::string f = dir.file("f");
    HANDLE h = openFile(f, kReadWrite, kShareRW, CREATE_NEW,
                        FILE_ATTRIBUTE_NORMAL | FILE_FLAG_DELETE_ON_CLOSE);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    writeText(h, "temporary");
    EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(f.c_str()));
    // The handle holds delete access: others must share it to get in.
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), openError(f, GENERIC_READ, kShareRW, OPEN_EXISTING));
    HANDLE other = openFile(f, GENERIC_READ, kShareAll, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, other);
    EXPECT_EQ("temporary", readText(other, 100));
    CloseHandle(other);
    CloseHandle(h);
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(f.c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
}

KIVTEST_CHILD(holdFileOpen)
{
    // args: file, shared-memory name, share mode, lock (1: exclusive on byte 0)
    ChildSync* sync = static_cast<ChildSync*>(kivtestShmOpen(args.at(1), sizeof(ChildSync), false));
    if (!sync)
        return 2;
    DWORD share = static_cast<DWORD>(std::atoi(args.at(2).c_str()));
    HANDLE h = openFile(args.at(0), kReadWrite, share, OPEN_EXISTING);
    if (h == INVALID_HANDLE_VALUE)
        return 3;
    if (args.at(3) == "1" && !lockRange(h, kTryExclusive, 0, 1))
        return 4;
    sync->stage = 1;
    if (!waitForStage(sync, 2))
        return 5;
    // Leave the lock to the close on purpose: closing must release it.
    CloseHandle(h);
    kivtestShmClose(sync, sizeof(ChildSync));
    return 0;
}

class CompatFileChild : public ::testing::Test {
protected:
    void SetUp() override
    {
        shmName_ = kivtestUniqueName("kivcfile");
        sync_ = static_cast<ChildSync*>(kivtestShmOpen(shmName_, sizeof(ChildSync), true));
        ASSERT_NE(nullptr, sync_);
        file_ = dir_.file("f");
        makeFile(file_, "shared file");
    }
    void TearDown() override
    {
        if (sync_)
            kivtestShmClose(sync_, sizeof(ChildSync));
        kivtestShmUnlink(shmName_);
    }
    void startChild(DWORD share, bool lock)
    {
        child_ = kivtestSpawnChild("holdFileOpen",
                                   {file_, shmName_, std::to_string(share), lock ? "1" : "0"});
        ASSERT_TRUE(waitForStage(sync_, 1)) << "the child did not get the file";
    }
    int releaseChild()
    {
        sync_->stage = 2;
        return kivtestWaitChild(child_);
    }

    KivTestTempDir dir_;
    std::string    file_;
    std::string    shmName_;
    ChildSync*     sync_ = nullptr;
    KivTestProcess child_;
};

TEST_F(CompatFileChild, ShareModeHoldsAcrossProcesses)
{
    startChild(0, false);
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), openError(file_, GENERIC_READ, kShareAll, OPEN_EXISTING));
    EXPECT_EQ(0, releaseChild());
    EXPECT_EQ(0u, openError(file_, GENERIC_READ, 0, OPEN_EXISTING));
}

TEST_F(CompatFileChild, LockHeldByAnotherProcess)
{
    startChild(kShareRW, true);
    HANDLE h = openFile(file_, kReadWrite, kShareRW, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ(static_cast<DWORD>(ERROR_LOCK_VIOLATION), failedWith(lockRange(h, kTryExclusive, 0, 1)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_LOCK_VIOLATION), failedWith(lockRange(h, kTryShared, 0, 1)));
    EXPECT_TRUE(lockRange(h, kTryExclusive, 1, 10)); // the rest of the file is free
    // A waiting lock is granted once the child's close drops its lock.
    sync_->stage = 2;
    EXPECT_TRUE(lockRange(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1));
    EXPECT_EQ(0, kivtestWaitChild(child_));
    EXPECT_TRUE(unlockRange(h, 0, 1));
    EXPECT_TRUE(unlockRange(h, 1, 10));
    CloseHandle(h);
}

// ---- Byte-range locks ---------------------------------------------------------------------

class CompatLock : public ::testing::Test {
protected:
    void SetUp() override
    {
        makeFile(dir_.file("f"), "0123456789");
        a_ = openFile(dir_.file("f"), kReadWrite, kShareRW, OPEN_EXISTING);
        b_ = openFile(dir_.file("f"), kReadWrite, kShareRW, OPEN_EXISTING);
        ASSERT_NE(INVALID_HANDLE_VALUE, a_);
        ASSERT_NE(INVALID_HANDLE_VALUE, b_);
    }
    void TearDown() override
    {
        CloseHandle(a_);
        CloseHandle(b_);
    }
    KivTestTempDir dir_;
    HANDLE a_ = INVALID_HANDLE_VALUE;
    HANDLE b_ = INVALID_HANDLE_VALUE;
};

TEST_F(CompatLock, TwoHandlesOfOneProcessConflict)
{
    ASSERT_TRUE(lockRange(a_, kTryExclusive, 0, 1));
    EXPECT_EQ(static_cast<DWORD>(ERROR_LOCK_VIOLATION), failedWith(lockRange(b_, kTryExclusive, 0, 1)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_LOCK_VIOLATION), failedWith(lockRange(b_, kTryShared, 0, 5)));
    EXPECT_TRUE(lockRange(b_, kTryExclusive, 1, 1));
    EXPECT_TRUE(unlockRange(a_, 0, 1));
    EXPECT_TRUE(lockRange(b_, kTryExclusive, 0, 1));
    EXPECT_EQ(static_cast<DWORD>(ERROR_LOCK_VIOLATION), failedWith(lockRange(a_, kTryShared, 0, 1)));
    EXPECT_TRUE(unlockRange(b_, 0, 1));
    EXPECT_TRUE(unlockRange(b_, 1, 1));
}

TEST_F(CompatLock, UnlockMustNameALockedRange)
{
    EXPECT_EQ(notLocked(), failedWith(unlockRange(a_, 0, 1)));
    ASSERT_TRUE(lockRange(a_, kTryExclusive, 10, 10));
    // Only the exact range unlocks; a part of it or another handle does not.
    EXPECT_EQ(notLocked(), failedWith(unlockRange(a_, 10, 5)));
    EXPECT_EQ(notLocked(), failedWith(unlockRange(a_, 10, 11)));
    EXPECT_EQ(notLocked(), failedWith(unlockRange(b_, 10, 10)));
    EXPECT_TRUE(unlockRange(a_, 10, 10));
    EXPECT_EQ(notLocked(), failedWith(unlockRange(a_, 10, 10)));
}

TEST_F(CompatLock, SharedAndExclusive)
{
    ASSERT_TRUE(lockRange(a_, kTryShared, 10, 10));
    EXPECT_TRUE(lockRange(b_, kTryShared, 15, 10));
    EXPECT_EQ(static_cast<DWORD>(ERROR_LOCK_VIOLATION), failedWith(lockRange(b_, kTryExclusive, 12, 1)));
    // An exclusive lock may not overlap the handle's own locks either.
    EXPECT_EQ(static_cast<DWORD>(ERROR_LOCK_VIOLATION), failedWith(lockRange(a_, kTryExclusive, 10, 1)));
    EXPECT_TRUE(unlockRange(a_, 10, 10));
    // b still holds 15..24: a's exclusive lock fits just below it.
    EXPECT_TRUE(lockRange(a_, kTryExclusive, 10, 5));
    EXPECT_EQ(static_cast<DWORD>(ERROR_LOCK_VIOLATION), failedWith(lockRange(a_, kTryExclusive, 14, 2)));
    EXPECT_TRUE(unlockRange(a_, 10, 5));
    EXPECT_TRUE(unlockRange(b_, 15, 10));
}

TEST_F(CompatLock, LocksAreCountedNotMerged)
{
    // The same range locked twice, shared, needs two unlocks.
    ASSERT_TRUE(lockRange(a_, kTryShared, 0, 4));
    ASSERT_TRUE(lockRange(a_, kTryShared, 0, 4));
    ASSERT_TRUE(lockRange(a_, kTryShared, 2, 4));
    EXPECT_TRUE(unlockRange(a_, 0, 4));
    EXPECT_EQ(static_cast<DWORD>(ERROR_LOCK_VIOLATION), failedWith(lockRange(b_, kTryExclusive, 0, 1)));
    EXPECT_TRUE(unlockRange(a_, 0, 4));
    // 0..1 is free now, 2..5 is still held by the third lock.
    EXPECT_TRUE(lockRange(b_, kTryExclusive, 0, 2));
    EXPECT_EQ(static_cast<DWORD>(ERROR_LOCK_VIOLATION), failedWith(lockRange(b_, kTryExclusive, 5, 1)));
    EXPECT_TRUE(unlockRange(a_, 2, 4));
    EXPECT_TRUE(lockRange(b_, kTryExclusive, 5, 1));
}

TEST_F(CompatLock, RangesBeyondTheEndAndHighOffsets)
{
    EXPECT_TRUE(lockRange(a_, kTryExclusive, 1000000, 10));
    EXPECT_EQ(static_cast<DWORD>(ERROR_LOCK_VIOLATION), failedWith(lockRange(b_, kTryExclusive, 1000005, 1)));
    EXPECT_TRUE(lockRange(a_, kTryExclusive, 0x10, 1, 0x7FFFFFF0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_LOCK_VIOLATION), failedWith(lockRange(b_, kTryExclusive, 0x10, 1, 0x7FFFFFF0)));
    EXPECT_TRUE(lockRange(b_, kTryExclusive, 0x11, 1, 0x7FFFFFF0));
}

TEST_F(CompatLock, ClosingAHandleReleasesItsLocks)
{
    ASSERT_TRUE(lockRange(a_, kTryExclusive, 0, 100));
    CloseHandle(a_);
    a_ = INVALID_HANDLE_VALUE;
    EXPECT_TRUE(lockRange(b_, kTryExclusive, 50, 1));
}

TEST_F(CompatLock, BadArguments)
{
    OVERLAPPED ov = {};
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), failedWith(LockFileEx(a_, kTryExclusive, 1, 1, 0, &ov)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_HANDLE),
              failedWith(LockFileEx(INVALID_HANDLE_VALUE, kTryExclusive, 0, 1, 0, &ov)));
}

// ---- Mappings ------------------------------------------------------------------------------

TEST(CompatMapping, ViewsAndTheFileSeeEachOther)
{
    KivTestTempDir dir;
    HANDLE h = openFile(dir.file("f"), kReadWrite, kShareRW, CREATE_NEW);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    std::string data(3 * 65536, '\0');
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<char>('a' + i % 26);
    writeText(h, data);

    HANDLE m = CreateFileMappingA(h, nullptr, PAGE_READWRITE, 0, 0, nullptr);
    ASSERT_NE(nullptr, m);
    char* view = static_cast<char*>(MapViewOfFile(m, FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(nullptr, view);
    EXPECT_EQ(0, std::memcmp(view, data.data(), data.size()));
    view[100] = '#';
    // And the other way: a write through the handle shows in the view.
    SetFilePointer(h, 200, nullptr, FILE_BEGIN);
    writeText(h, "@");
    EXPECT_EQ('@', view[200]);

    // A view at an offset (a multiple of the allocation granularity).
    const char* tail = static_cast<const char*>(MapViewOfFile(m, FILE_MAP_READ, 0, 65536, 16));
    ASSERT_NE(nullptr, tail);
    EXPECT_EQ(0, std::memcmp(tail, data.data() + 65536, 16));
    EXPECT_TRUE(UnmapViewOfFile(tail));

    EXPECT_TRUE(FlushViewOfFile(view, 0));
    EXPECT_TRUE(UnmapViewOfFile(view));
    EXPECT_TRUE(CloseHandle(m));
    SetFilePointer(h, 100, nullptr, FILE_BEGIN);
    EXPECT_EQ("#", readText(h, 1));
    CloseHandle(h);
}

TEST(CompatMapping, MemoryWithoutFileIsSharedByItsViews)
{
    HANDLE m = CreateFileMappingA(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 2 * 65536, nullptr);
    ASSERT_NE(nullptr, m);
    char* a = static_cast<char*>(MapViewOfFile(m, FILE_MAP_ALL_ACCESS, 0, 0, 0));
    char* b = static_cast<char*>(MapViewOfFile(m, FILE_MAP_WRITE, 0, 65536, 100));
    ASSERT_NE(nullptr, a);
    ASSERT_NE(nullptr, b);
    EXPECT_EQ(0, a[65536 + 99]); // fresh memory is zero
    a[65536 + 10] = 'q';
    EXPECT_EQ('q', b[10]);
    EXPECT_TRUE(CloseHandle(m)); // the views keep the memory
    b[20] = 'r';
    EXPECT_EQ('r', a[65536 + 20]);
    EXPECT_TRUE(UnmapViewOfFile(a));
    EXPECT_TRUE(UnmapViewOfFile(b));
}

TEST(CompatMapping, CopyOnWriteLeavesTheFile)
{
    KivTestTempDir dir;
    makeFile(dir.file("f"), "original");
    HANDLE h = openFile(dir.file("f"), GENERIC_READ, kShareRW, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    HANDLE m = CreateFileMappingA(h, nullptr, PAGE_WRITECOPY, 0, 0, nullptr);
    ASSERT_NE(nullptr, m);
    char* view = static_cast<char*>(MapViewOfFile(m, FILE_MAP_COPY, 0, 0, 0));
    ASSERT_NE(nullptr, view);
    view[0] = 'O';
    EXPECT_EQ('O', view[0]);
    EXPECT_TRUE(UnmapViewOfFile(view));
    CloseHandle(m);
    CloseHandle(h);
    EXPECT_EQ("original", kivtestReadFile(dir.file("f")));
}

TEST(CompatMapping, RefusedMappingsAndViews)
{
    KivTestTempDir dir;
    HANDLE empty = openFile(dir.file("empty"), kReadWrite, kShareRW, CREATE_NEW);
    ASSERT_NE(INVALID_HANDLE_VALUE, empty);
    EXPECT_EQ(nullptr, CreateFileMappingA(empty, nullptr, PAGE_READWRITE, 0, 0, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_INVALID), GetLastError());
    CloseHandle(empty);

    makeFile(dir.file("f"), "some bytes");
    HANDLE r = openFile(dir.file("f"), GENERIC_READ, kShareRW, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, r);
    EXPECT_EQ(nullptr, CreateFileMappingA(r, nullptr, PAGE_READWRITE, 0, 0, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    HANDLE m = CreateFileMappingA(r, nullptr, PAGE_READONLY, 0, 0, nullptr);
    ASSERT_NE(nullptr, m);
    EXPECT_EQ(nullptr, MapViewOfFile(m, FILE_MAP_WRITE, 0, 0, 0));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_EQ(nullptr, MapViewOfFile(m, FILE_MAP_READ, 0, 0, 11)); // past the section's end
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), GetLastError());
    EXPECT_EQ(nullptr, MapViewOfFile(m, FILE_MAP_READ, 0, 100, 0)); // not on the granularity
    EXPECT_EQ(static_cast<DWORD>(ERROR_MAPPED_ALIGNMENT), GetLastError());
    const char* view = static_cast<const char*>(MapViewOfFile(m, FILE_MAP_READ, 0, 0, 0));
    ASSERT_NE(nullptr, view);
    EXPECT_EQ(0, std::memcmp(view, "some bytes", 10));
    EXPECT_TRUE(UnmapViewOfFile(view));
    CloseHandle(m);
    CloseHandle(r);

    int local = 0;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_ADDRESS), failedWith(UnmapViewOfFile(&local)));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_ADDRESS), failedWith(UnmapViewOfFile(view)));
}

TEST(CompatMapping, PreferredBaseAddress)
{
    KivTestTempDir dir;
    makeFile(dir.file("f"), std::string(8192, 'x'));
    HANDLE h = openFile(dir.file("f"), kReadWrite, kShareRW, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    HANDLE m = CreateFileMappingA(h, nullptr, PAGE_READWRITE, 0, 0, nullptr);
    ASSERT_NE(nullptr, m);
    void* first = MapViewOfFile(m, FILE_MAP_WRITE, 0, 0, 0);
    ASSERT_NE(nullptr, first);
    // The base of a view in use is not free.
    EXPECT_EQ(nullptr, MapViewOfFileEx(m, FILE_MAP_WRITE, 0, 0, 0, first));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_ADDRESS), GetLastError());
    ASSERT_TRUE(UnmapViewOfFile(first));
    // Once free it is honoured.
    void* again = MapViewOfFileEx(m, FILE_MAP_WRITE, 0, 0, 0, first);
    EXPECT_EQ(first, again);
    if (again)
        UnmapViewOfFile(again);
    CloseHandle(m);
    CloseHandle(h);
}

TEST(CompatMapping, MappingOutlivesItsHandlesAndGuardsTheSize)
{
    KivTestTempDir dir;
    const std::string f = dir.file("f");
    makeFile(f, std::string(4096, 'm'));
    HANDLE h = openFile(f, kReadWrite, kShareRW, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    ASSERT_TRUE(lockRange(h, kTryExclusive, 0, 1));
    HANDLE m = CreateFileMappingA(h, nullptr, PAGE_READWRITE, 0, 0, nullptr);
    ASSERT_NE(nullptr, m);
    char* view = static_cast<char*>(MapViewOfFile(m, FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(nullptr, view);

    // The file may not shrink below its mapping.
    SetFilePointer(h, 100, nullptr, FILE_BEGIN);
    EXPECT_EQ(static_cast<DWORD>(ERROR_USER_MAPPED_FILE), failedWith(SetEndOfFile(h)));
    EXPECT_EQ(4096u, sizeOf(h));

    // Closing the file handle drops its lock; the view stays.
    CloseHandle(h);
    HANDLE other = openFile(f, kReadWrite, kShareRW, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, other);
    EXPECT_TRUE(lockRange(other, kTryExclusive, 0, 1));
    // Closing the mapping handle leaves the view too.
    CloseHandle(m);
    view[0] = 'M';
    EXPECT_TRUE(UnmapViewOfFile(view));
    EXPECT_EQ("M", readText(other, 1));
    CloseHandle(other);
}

TEST(CompatMapping, GrowingAMappingGrowsTheFile)
{
    KivTestTempDir dir;
    makeFile(dir.file("f"), "tiny");
    HANDLE h = openFile(dir.file("f"), kReadWrite, kShareRW, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    HANDLE m = CreateFileMappingA(h, nullptr, PAGE_READWRITE, 0, 10000, nullptr);
    ASSERT_NE(nullptr, m);
    EXPECT_EQ(10000u, sizeOf(h));
    CloseHandle(m);
    // A read-only mapping cannot grow its file.
    EXPECT_EQ(nullptr, CreateFileMappingA(h, nullptr, PAGE_READONLY, 0, 20000, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
    CloseHandle(h);
}

// ---- Attributes and deletion ----------------------------------------------------------------

TEST(CompatFile, AttributesAndDeletion)
{
    KivTestTempDir dir;
    const std::string f = dir.file("f");
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(f.c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA((dir.file("nodir") + "\\f").c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND), GetLastError());
    DWORD a = GetFileAttributesA(dir.path().c_str());
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, a);
    EXPECT_TRUE(a & FILE_ATTRIBUTE_DIRECTORY);

    makeFile(f, "x");
    a = GetFileAttributesA(f.c_str());
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, a);
    EXPECT_FALSE(a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY));

    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), failedWith(DeleteFileA(dir.path().c_str())));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), failedWith(DeleteFileA(dir.file("none").c_str())));
    EXPECT_EQ(static_cast<DWORD>(ERROR_PATH_NOT_FOUND),
              failedWith(DeleteFileA((dir.file("nodir") + "\\f").c_str())));
    EXPECT_TRUE(DeleteFileA(f.c_str()));
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(f.c_str()));
}

TEST(CompatFile, ReadOnlyFiles)
{
    KivTestTempDir dir;
    const std::string f = dir.file("ro");
    HANDLE h = openFile(f, kReadWrite, kShareRW, CREATE_NEW, FILE_ATTRIBUTE_READONLY);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    writeText(h, "creator may write");
    CloseHandle(h);
    DWORD a = GetFileAttributesA(f.c_str());
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, a);
    EXPECT_TRUE(a & FILE_ATTRIBUTE_READONLY);
    // The attribute binds administrators too on Windows; wine run by root
    // lets the owner write.
    if (!kivtestUnderWine()) {
        EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), openError(f, GENERIC_WRITE, kShareRW, OPEN_EXISTING));
        EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), openError(f, GENERIC_WRITE, kShareRW, CREATE_ALWAYS));
    }
    EXPECT_EQ(0u, openError(f, GENERIC_READ, kShareRW, OPEN_EXISTING));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), failedWith(DeleteFileA(f.c_str())));
}

// ---- User, token, environment, event log ----------------------------------------------------------

TEST(CompatIdentity, UserName)
{
    char name[2] = {};
    DWORD size = 1;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER), failedWith(GetUserNameA(name, &size)));
    ASSERT_GT(size, 1u); // the size needed, terminator included
    std::string buf(size, '?');
    DWORD exact = size;
    ASSERT_TRUE(GetUserNameA(&buf[0], &exact));
    EXPECT_EQ(size, exact);
    EXPECT_EQ(size - 1, std::strlen(buf.c_str()));
}

TEST(CompatIdentity, TokenSessionId)
{
    HANDLE token = nullptr;
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token));
    DWORD id = 0xDEADBEEF, len = 0;
    EXPECT_TRUE(GetTokenInformation(token, TokenSessionId, &id, sizeof id, &len));
    EXPECT_EQ(sizeof(DWORD), len);
    EXPECT_NE(0xDEADBEEFu, id);
    EXPECT_EQ(static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER),
              failedWith(GetTokenInformation(token, TokenSessionId, &id, 2, &len)));
    EXPECT_TRUE(CloseHandle(token));

    // A token opened without query access answers nothing.
    ASSERT_TRUE(OpenProcessToken(GetCurrentProcess(), TOKEN_DUPLICATE, &token));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED),
              failedWith(GetTokenInformation(token, TokenSessionId, &id, sizeof id, &len)));
    EXPECT_TRUE(CloseHandle(token));
}

TEST(CompatIdentity, EnvironmentAndTempPath)
{
    const std::string var = kivtestUniqueName("KIVTEST_VAR");
    char buf[16] = {};
    EXPECT_EQ(0u, GetEnvironmentVariableA(var.c_str(), buf, sizeof buf));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ENVVAR_NOT_FOUND), GetLastError());
    ASSERT_TRUE(SetEnvironmentVariableA(var.c_str(), "abc"));
    EXPECT_EQ(4u, GetEnvironmentVariableA(var.c_str(), buf, 3)); // size needed
    EXPECT_EQ(3u, GetEnvironmentVariableA(var.c_str(), buf, 4));
    EXPECT_STREQ("abc", buf);
    ASSERT_TRUE(SetEnvironmentVariableA(var.c_str(), nullptr));
    EXPECT_EQ(0u, GetEnvironmentVariableA(var.c_str(), buf, sizeof buf));

    char path[MAX_PATH + 1];
    DWORD n = GetTempPathA(sizeof path, path);
    ASSERT_GT(n, 0u);
    ASSERT_LT(n, sizeof path);
    EXPECT_TRUE(path[n - 1] == '\\' || path[n - 1] == '/');
    EXPECT_EQ(n + 1, GetTempPathA(1, path));
    DWORD a = GetFileAttributesA(path);
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, a);
    EXPECT_TRUE(a & FILE_ATTRIBUTE_DIRECTORY);
}

TEST(CompatIdentity, EventSource)
{
    HANDLE source = RegisterEventSourceA(nullptr, "kivtest");
    ASSERT_NE(nullptr, source);
    LPCSTR strings[] = {"\r\nkivtest: an event record\r\nsecond line\r\n"};
    EXPECT_TRUE(ReportEventA(source, EVENTLOG_INFORMATION_TYPE, 0, 0, nullptr, 1, 0, strings, nullptr));
    EXPECT_TRUE(DeregisterEventSource(source));
}
