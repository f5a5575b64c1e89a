// test_compatfile.cpp - the Win32 file services the library calls: handle errors,
// CreateFileA, the file pointer, share modes, byte-range locks, mappings, deletion.
#include "kivos.h"
#include "kivtest.h"

#include <atomic>
#include <cstring>
#include <string>

namespace {

const DWORD kReadWrite = GENERIC_READ | GENERIC_WRITE;
const DWORD kShareRW = FILE_SHARE_READ | FILE_SHARE_WRITE;
const DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
const DWORD kInvalid = static_cast<DWORD>(ERROR_INVALID_HANDLE);
const DWORD kTryExclusive = LOCKFILE_FAIL_IMMEDIATELY | LOCKFILE_EXCLUSIVE_LOCK;
const DWORD kTryShared = LOCKFILE_FAIL_IMMEDIATELY;
const DWORD kViolation = static_cast<DWORD>(ERROR_LOCK_VIOLATION);

HANDLE openFile(const std::string& path, DWORD access, DWORD share, DWORD disposition,
                DWORD flags = FILE_ATTRIBUTE_NORMAL)
{
    return CreateFileA(path.c_str(), access, share, nullptr, disposition, flags, nullptr);
}

// The last error of a call that must have failed, for one-line checks.
DWORD failedWith(bool ok) { return ok ? 0 : GetLastError(); }
DWORD sizeOf(HANDLE h) { return GetFileSize(h, nullptr); }
DWORD position(HANDLE h) { return SetFilePointer(h, 0, nullptr, FILE_CURRENT); }
bool exists(const std::string& path) { return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

DWORD openError(const std::string& path, DWORD access, DWORD share, DWORD disposition)
{
    HANDLE h = openFile(path, access, share, disposition);
    if (h == INVALID_HANDLE_VALUE)
        return GetLastError();
    CloseHandle(h);
    return 0;
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

bool lockRange(HANDLE h, DWORD flags, DWORD offset, DWORD length)
{
    OVERLAPPED ov = {};
    ov.Offset = offset;
    return LockFileEx(h, flags, 0, length, 0, &ov) != FALSE;
}

bool unlockRange(HANDLE h, DWORD offset, DWORD length)
{
    OVERLAPPED ov = {};
    ov.Offset = offset;
    return UnlockFileEx(h, 0, length, 0, &ov) != FALSE;
}

// Unlocking a range that is not locked: ERROR_NOT_LOCKED on Windows, a lock
// conflict under wine.
DWORD notLocked()
{
    return kivtestUnderWine() ? kViolation : static_cast<DWORD>(ERROR_NOT_LOCKED);
}

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

TEST(CompatHandle, BogusAndStaleHandlesAreRefused)
{
    HANDLE bogus = reinterpret_cast<HANDLE>(static_cast<uintptr_t>(0x12345678));
    EXPECT_EQ(kInvalid, failedWith(CloseHandle(nullptr)));
    EXPECT_EQ(kInvalid, failedWith(CloseHandle(bogus)));
    EXPECT_EQ(WAIT_FAILED, WaitForSingleObject(bogus, 0));
    EXPECT_EQ(kInvalid, GetLastError());
    KivTestTempDir dir;
    HANDLE stale = openFile(dir.file("f"), kReadWrite, kShareRW, CREATE_NEW);
    ASSERT_NE(INVALID_HANDLE_VALUE, stale);
    ASSERT_TRUE(CloseHandle(stale));
    // Closed once, the handle is dead for every call; INVALID_HANDLE_VALUE
    // is no file either.
    for (HANDLE h : {stale, INVALID_HANDLE_VALUE}) {
        char c;
        DWORD n = 99;
        EXPECT_EQ(kInvalid, failedWith(ReadFile(h, &c, 1, &n, nullptr)));
        EXPECT_EQ(0u, n);
        EXPECT_EQ(kInvalid, failedWith(WriteFile(h, "x", 1, &n, nullptr)));
        EXPECT_EQ(INVALID_FILE_SIZE, GetFileSize(h, nullptr));
        EXPECT_EQ(kInvalid, GetLastError());
        EXPECT_EQ(kInvalid, failedWith(SetEndOfFile(h)));
    }
    EXPECT_EQ(kInvalid, failedWith(CloseHandle(stale)));
}

TEST(CompatFile, DispositionsAndTheirErrors)
{
    const DWORD kFails = 0xFFFFFFFFu;   // as a size: the open fails
    const DWORD kAny = 0xFFFFFFFEu;     // as an error: not looked at
    const struct { DWORD disposition, access; bool existing; DWORD error, size; } rows[] = {
        {OPEN_EXISTING, GENERIC_READ, false, ERROR_FILE_NOT_FOUND, kFails},
        {CREATE_NEW, kReadWrite, false, 0, 0},
        {CREATE_NEW, kReadWrite, true, ERROR_FILE_EXISTS, kFails},
        // The "always" kinds report an existing file with 183, a new one with 0.
        {OPEN_ALWAYS, kReadWrite, true, ERROR_ALREADY_EXISTS, 7},
        // Replacing empties the file even for a handle that only reads.
        {CREATE_ALWAYS, GENERIC_READ, true, ERROR_ALREADY_EXISTS, 0},
        {TRUNCATE_EXISTING, GENERIC_WRITE, true, kAny, 0},
        {0, kReadWrite, true, ERROR_INVALID_PARAMETER, kFails},
    };
    KivTestTempDir dir;
    int i = 0;
    for (const auto& r : rows) {
        SCOPED_TRACE("row " + std::to_string(i));
        const std::string f = dir.file("f" + std::to_string(i++));
        if (r.existing)
            makeFile(f, "content");
        SetLastError(1234);
        HANDLE h = openFile(f, r.access, kShareRW, r.disposition);
        if (r.error != kAny) {
            EXPECT_EQ(r.error, GetLastError());
        }
        if (r.size == kFails) {
            EXPECT_EQ(INVALID_HANDLE_VALUE, h);
            EXPECT_EQ(r.existing, exists(f));
            continue;
        }
        ASSERT_NE(INVALID_HANDLE_VALUE, h);
        EXPECT_EQ(r.size, sizeOf(h));
        CloseHandle(h);
        EXPECT_TRUE(exists(f));
    }
}

TEST(CompatFile, PathErrors)
{
    KivTestTempDir dir;
    // A backslash separates directories in a Windows path.
    const std::string inMissingDir = dir.file("nodir") + "\\f";
    const struct { std::string path; DWORD access, disposition, error; } rows[] = {
        {inMissingDir, GENERIC_READ, OPEN_EXISTING, ERROR_PATH_NOT_FOUND},
        // A directory is not a file.
        {dir.path(), GENERIC_READ, OPEN_EXISTING, ERROR_ACCESS_DENIED},
        // The ANSI calls take names below MAX_PATH.
        {dir.file(std::string(300, 'a')), kReadWrite, CREATE_ALWAYS, ERROR_FILENAME_EXCED_RANGE},
    };
    for (const auto& r : rows)
        EXPECT_EQ(r.error, openError(r.path, r.access, kShareRW, r.disposition)) << r.path;
}

TEST(CompatFile, ReadWriteAndThePointer)
{
    KivTestTempDir dir;
    HANDLE h = openFile(dir.file("f"), kReadWrite, kShareRW, CREATE_NEW);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    writeText(h, "hello world");
    // At the end a read succeeds with nothing; a short read is a success.
    EXPECT_EQ("", readText(h, 1));
    EXPECT_EQ(9u, SetFilePointer(h, -2, nullptr, FILE_END));
    EXPECT_EQ("ld", readText(h, 10));
    // A move before the start fails and leaves the pointer.
    SetFilePointer(h, 4, nullptr, FILE_BEGIN);
    EXPECT_EQ(INVALID_SET_FILE_POINTER, SetFilePointer(h, -5, nullptr, FILE_CURRENT));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NEGATIVE_SEEK), GetLastError());
    EXPECT_EQ(4u, position(h));
    EXPECT_EQ(INVALID_SET_FILE_POINTER, SetFilePointer(h, 0, nullptr, 3));
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_PARAMETER), GetLastError());
    // Writing past the end leaves a gap of zeros.
    SetFilePointer(h, 20, nullptr, FILE_BEGIN);
    writeText(h, "!");
    SetFilePointer(h, 11, nullptr, FILE_BEGIN);
    EXPECT_EQ(std::string(9, '\0') + "!", readText(h, 100));
    // SetEndOfFile cuts or grows at the pointer, which stays, high word too.
    SetFilePointer(h, 5, nullptr, FILE_BEGIN);
    EXPECT_TRUE(SetEndOfFile(h));
    EXPECT_EQ(5u, sizeOf(h));
    EXPECT_EQ(5u, position(h));
    CloseHandle(h);
}

TEST(CompatFile, ShareModesBetweenHandles)
{
    const struct {
        DWORD firstAccess, firstShare;
        DWORD access, share, disposition;
        DWORD error;
    } rows[] = {
        // Nothing shared: every other open fails.
        {kReadWrite, 0, GENERIC_READ, kShareAll, OPEN_EXISTING, ERROR_SHARING_VIOLATION},
        // Readers sharing reads only: another reader gets in, a writer does not.
        {GENERIC_READ, FILE_SHARE_READ, GENERIC_READ, kShareRW, OPEN_EXISTING, 0},
        {GENERIC_READ, FILE_SHARE_READ, GENERIC_WRITE, kShareRW, OPEN_EXISTING, ERROR_SHARING_VIOLATION},
    };
    KivTestTempDir dir;
    const std::string f = dir.file("f");
    makeFile(f, "keep me");
    int i = 0;
    for (const auto& r : rows) {
        SCOPED_TRACE("row " + std::to_string(i++));
        // The previous row's close gave the file back.
        HANDLE first = openFile(f, r.firstAccess, r.firstShare, OPEN_EXISTING);
        ASSERT_NE(INVALID_HANDLE_VALUE, first);
        EXPECT_EQ(r.error, openError(f, r.access, r.share, r.disposition));
        EXPECT_EQ(7u, sizeOf(first));
        CloseHandle(first);
    }
}

// DeleteFile and opens alike must share delete access with every handle
// that is open, and a delete-on-close handle holds that access itself.
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
    EXPECT_FALSE(exists(f));

    h = openFile(f, kReadWrite, kShareRW, CREATE_NEW, FILE_FLAG_DELETE_ON_CLOSE);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    writeText(h, "temporary");
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION), openError(f, GENERIC_READ, kShareRW, OPEN_EXISTING));
    HANDLE other = openFile(f, GENERIC_READ, kShareAll, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, other);
    EXPECT_EQ("temporary", readText(other, 100));
    CloseHandle(other);
    CloseHandle(h);
    EXPECT_FALSE(exists(f));
}

KIVTEST_CHILD(holdFileLocked)
{
    // args: file, shared-memory name.  Holds the file open for reading and
    // writing with byte 0 locked until told to go.
    ChildSync* sync = static_cast<ChildSync*>(kivtestShmOpen(args.at(1), sizeof(ChildSync), false));
    if (!sync)
        return 2;
    HANDLE h = openFile(args.at(0), kReadWrite, kShareRW, OPEN_EXISTING);
    if (h == INVALID_HANDLE_VALUE)
        return 3;
    if (!lockRange(h, kTryExclusive, 0, 1))
        return 4;
    sync->stage = 1;
    if (!waitForStage(sync, 2))
        return 5;
    // Leave the lock to the close on purpose: closing must release it.
    CloseHandle(h);
    kivtestShmClose(sync, sizeof(ChildSync));
    return 0;
}

TEST(CompatFileChild, ShareModeAndLockHoldAcrossProcesses)
{
    KivTestTempDir dir;
    const std::string file = dir.file("f");
    makeFile(file, "shared file");
    const std::string shm = kivtestUniqueName("kivcfile");
    ChildSync* sync = static_cast<ChildSync*>(kivtestShmOpen(shm, sizeof(ChildSync), true));
    ASSERT_NE(nullptr, sync);
    KivTestProcess child = kivtestSpawnChild("holdFileLocked", {file, shm});
    ASSERT_TRUE(waitForStage(sync, 1)) << "the child did not get the file";
    // The child writes: an open that denies writing is refused.
    EXPECT_EQ(static_cast<DWORD>(ERROR_SHARING_VIOLATION),
              openError(file, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
    HANDLE h = openFile(file, kReadWrite, kShareRW, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_EQ(kViolation, failedWith(lockRange(h, kTryExclusive, 0, 1)));
    // A waiting lock is granted once the child's close drops its lock.
    sync->stage = 2;
    EXPECT_TRUE(lockRange(h, LOCKFILE_EXCLUSIVE_LOCK, 0, 1));
    EXPECT_EQ(0, kivtestWaitChild(child));
    EXPECT_TRUE(unlockRange(h, 0, 1));
    CloseHandle(h);
    EXPECT_EQ(0u, openError(file, GENERIC_READ, 0, OPEN_EXISTING));
    kivtestShmClose(sync, sizeof(ChildSync));
    kivtestShmUnlink(shm);
}

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

TEST_F(CompatLock, UnlockMustNameALockedRange)
{
    EXPECT_EQ(notLocked(), failedWith(unlockRange(a_, 0, 1)));
    ASSERT_TRUE(lockRange(a_, kTryExclusive, 10, 10));
    // Only the exact range unlocks; a part of it or another handle does not.
    EXPECT_EQ(notLocked(), failedWith(unlockRange(a_, 10, 5)));
    EXPECT_EQ(notLocked(), failedWith(unlockRange(b_, 10, 10)));
    EXPECT_TRUE(unlockRange(a_, 10, 10));
}

TEST_F(CompatLock, SharedAndExclusive)
{
    ASSERT_TRUE(lockRange(a_, kTryShared, 10, 10));
    EXPECT_TRUE(lockRange(b_, kTryShared, 15, 10));
    EXPECT_EQ(kViolation, failedWith(lockRange(b_, kTryExclusive, 12, 1)));
    // An exclusive lock may not overlap the handle's own locks either.
    EXPECT_EQ(kViolation, failedWith(lockRange(a_, kTryExclusive, 10, 1)));
    EXPECT_TRUE(unlockRange(a_, 10, 10));
    EXPECT_TRUE(unlockRange(b_, 15, 10));
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
    const struct { DWORD access, offset; SIZE_T size; DWORD error; } views[] = {
        {FILE_MAP_WRITE, 0, 0, ERROR_ACCESS_DENIED},
        {FILE_MAP_READ, 100, 0, ERROR_MAPPED_ALIGNMENT},    // not on the granularity
    };
    for (const auto& v : views) {
        EXPECT_EQ(nullptr, MapViewOfFile(m, v.access, 0, v.offset, v.size));
        EXPECT_EQ(v.error, GetLastError()) << v.access << " " << v.offset << " " << v.size;
    }
    const char* view = static_cast<const char*>(MapViewOfFile(m, FILE_MAP_READ, 0, 0, 0));
    ASSERT_NE(nullptr, view);
    EXPECT_EQ(0, std::memcmp(view, "some bytes", 10));
    EXPECT_TRUE(UnmapViewOfFile(view));
    CloseHandle(m);
    CloseHandle(r);
    int local = 0;
    EXPECT_EQ(static_cast<DWORD>(ERROR_INVALID_ADDRESS), failedWith(UnmapViewOfFile(&local)));
}

TEST(CompatMapping, MappingOutlivesItsHandlesAndGuardsTheSize)
{
    KivTestTempDir dir;
    const std::string f = dir.file("f");
    makeFile(f, "tiny");
    HANDLE h = openFile(f, kReadWrite, kShareRW, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    // A writable mapping larger than the file grows it.
    HANDLE m = CreateFileMappingA(h, nullptr, PAGE_READWRITE, 0, 4096, nullptr);
    ASSERT_NE(nullptr, m);
    EXPECT_EQ(4096u, sizeOf(h));
    // A read-only mapping cannot.
    EXPECT_EQ(nullptr, CreateFileMappingA(h, nullptr, PAGE_READONLY, 0, 20000, nullptr));
    EXPECT_EQ(static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY), GetLastError());
    char* view = static_cast<char*>(MapViewOfFile(m, FILE_MAP_WRITE, 0, 0, 0));
    ASSERT_NE(nullptr, view);
    // The file may not shrink below its mapping.
    SetFilePointer(h, 100, nullptr, FILE_BEGIN);
    EXPECT_EQ(static_cast<DWORD>(ERROR_USER_MAPPED_FILE), failedWith(SetEndOfFile(h)));
    EXPECT_EQ(4096u, sizeOf(h));
    // The view outlives the file handle and the mapping handle.
    CloseHandle(h);
    CloseHandle(m);
    HANDLE other = openFile(f, kReadWrite, kShareRW, OPEN_EXISTING);
    ASSERT_NE(INVALID_HANDLE_VALUE, other);
    view[0] = 'M';
    EXPECT_TRUE(UnmapViewOfFile(view));
    EXPECT_EQ("Miny", readText(other, 4));
    CloseHandle(other);
}

TEST(CompatFile, AttributesAndDeletion)
{
    KivTestTempDir dir;
    const std::string f = dir.file("f");
    EXPECT_EQ(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(f.c_str()));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), GetLastError());
    makeFile(f, "x");
    DWORD a = GetFileAttributesA(f.c_str());
    ASSERT_NE(INVALID_FILE_ATTRIBUTES, a);
    EXPECT_FALSE(a & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(static_cast<DWORD>(ERROR_ACCESS_DENIED), failedWith(DeleteFileA(dir.path().c_str())));
    EXPECT_EQ(static_cast<DWORD>(ERROR_FILE_NOT_FOUND), failedWith(DeleteFileA(dir.file("none").c_str())));
}

TEST_F(CompatLock, LocksAreCountedNotMerged)
{
    // The same range locked twice, shared, needs two unlocks.
    ASSERT_TRUE(lockRange(a_, kTryShared, 0, 4));
    ASSERT_TRUE(lockRange(a_, kTryShared, 0, 4));
    ASSERT_TRUE(lockRange(a_, kTryShared, 2, 4));
    EXPECT_TRUE(unlockRange(a_, 0, 4));
    EXPECT_EQ(kViolation, failedWith(lockRange(b_, kTryExclusive, 0, 1)));
    EXPECT_TRUE(unlockRange(a_, 0, 4));
    // 0..1 is free now, 2..5 is still held by the third lock.
    EXPECT_TRUE(lockRange(b_, kTryExclusive, 0, 2));
    EXPECT_EQ(kViolation, failedWith(lockRange(b_, kTryExclusive, 5, 1)));
    EXPECT_TRUE(unlockRange(a_, 2, 4));
    EXPECT_TRUE(lockRange(b_, kTryExclusive, 5, 1));
}
