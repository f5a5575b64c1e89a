/*
 * test_compatdir.cpp - the Win32 directory services the library calls:
 * searches with wildcards, creating and removing directories, moves,
 * copies, hard links, attributes, the current directory, full and short
 * path names, the drive map, file information by handle, and the C
 * runtime's _stat64 and _chmod.
 *
 * Everything here is written against the Windows API alone, so the Windows
 * build checks the same expectations against the real system.  Paths are
 * joined with backslashes: on POSIX that also checks that both separators
 * are taken.
 */
#include "kivos.h"
#include "kivtest.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <set>
#include <string>
#include <sys/stat.h>
#include <vector>
#if defined(_WIN32)
#  include <io.h>
#endif

namespace {

class CompatDir : public ::testing::Test {
protected:
    KivTestTempDir tmp;
    std::string p(const std::string& name) const { return tmp.path() + "\\" + name; }
};

void writeFile(const std::string& path, const std::string& content)
{
    HANDLE h = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h) << path;
    DWORD n = 0;
    ASSERT_TRUE(WriteFile(h, content.data(), (DWORD)content.size(), &n, nullptr));
    CloseHandle(h);
}

std::string readFile(const std::string& path)
{
    HANDLE h = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return "<missing>";
    std::string out;
    char chunk[4096];
    DWORD n = 0;
    while (ReadFile(h, chunk, sizeof chunk, &n, nullptr) && n > 0)
        out.append(chunk, n);
    CloseHandle(h);
    return out;
}

DWORD errorOf(BOOL ok)
{
    return ok ? 0 : GetLastError();
}

bool exists(const std::string& path)
{
    return GetFileAttributesA(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

/* The names a search finds, or its error. */
struct Found {
    DWORD                 error = 0;
    std::set<std::string> names;
};

Found search(const std::string& pattern)
{
    Found f;
    WIN32_FIND_DATAA data;
    HANDLE h = FindFirstFileA(pattern.c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) {
        f.error = GetLastError();
        return f;
    }
    do
        f.names.insert(data.cFileName);
    while (FindNextFileA(h, &data));
    EXPECT_EQ((DWORD)ERROR_NO_MORE_FILES, GetLastError());
    EXPECT_TRUE(FindClose(h));
    return f;
}

std::set<std::string> withoutDots(std::set<std::string> s)
{
    s.erase(".");
    s.erase("..");
    return s;
}

std::string lower(std::string s)
{
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) {
        return c == '/' ? '\\' : (char)std::tolower(c);
    });
    while (s.size() > 1 && s.back() == '\\')
        s.pop_back();
    return s;
}

/* ---- searches -------------------------------------------------------------------- */

TEST_F(CompatDir, SearchListsEveryEntryWithItsData)
{
    writeFile(p("a.txt"), "12345");
    ASSERT_TRUE(CreateDirectoryA(p("sub").c_str(), nullptr));
    WIN32_FIND_DATAA data;
    HANDLE h = FindFirstFileA(p("*").c_str(), &data);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    std::set<std::string> seen;
    do {
        std::string name = data.cFileName;
        seen.insert(name);
        if (name == "a.txt") {
            EXPECT_EQ(0u, data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
            EXPECT_EQ(5u, data.nFileSizeLow);
            EXPECT_EQ(0u, data.nFileSizeHigh);
            EXPECT_NE(0u, data.ftLastWriteTime.dwHighDateTime);
        } else {
            EXPECT_NE(0u, data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) << name;
        }
    } while (FindNextFileA(h, &data));
    EXPECT_EQ((DWORD)ERROR_NO_MORE_FILES, GetLastError());
    EXPECT_FALSE(FindNextFileA(h, &data)) << "stays at the end";
    EXPECT_TRUE(FindClose(h));
    EXPECT_EQ((std::set<std::string>{".", "..", "a.txt", "sub"}), seen);

    EXPECT_FALSE(FindClose(INVALID_HANDLE_VALUE));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
}

TEST_F(CompatDir, WildcardsMatchAsOnWindows)
{
    for (const char* name : {"a.txt", "B.TXT", "ab.txt", "c.log", "noext", "x.txt.bak", "name",
                             "name.ext"})
        writeFile(p(name), "");
    using S = std::set<std::string>;
    EXPECT_EQ((S{"a.txt", "B.TXT", "ab.txt"}), search(p("*.txt")).names);
    EXPECT_EQ((S{"a.txt", "B.TXT", "ab.txt"}), search(p("*.TXT")).names);
    EXPECT_EQ((S{"a.txt", "B.TXT"}), search(p("?.txt")).names);
    EXPECT_EQ((S{"ab.txt"}), search(p("?b.txt")).names);
    EXPECT_EQ((S{"a.txt", "ab.txt"}), search(p("a*")).names);
    EXPECT_EQ((S{"x.txt.bak"}), search(p("*.bak")).names);
    EXPECT_EQ((S{"x.txt.bak"}), search(p("*txt.*k")).names);
    EXPECT_EQ(10u, search(p("*.*")).names.size()) << "with and without a dot, . and ..";
    // Wine drops a trailing dot before it matches; Windows keeps it.
    if (!kivtestUnderWine()) {
        EXPECT_EQ((S{"noext", "name"}), withoutDots(search(p("*.")).names));
    }
    EXPECT_EQ((S{"name", "name.ext"}), search(p("name.*")).names);
    EXPECT_EQ((S{"c.log"}), search(p("c.log")).names);
}

TEST_F(CompatDir, SearchErrors)
{
    writeFile(p("file"), "1");
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, search(p("*.none")).error);
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, search(p("absent")).error);
    EXPECT_EQ((DWORD)ERROR_PATH_NOT_FOUND, search(p("missing\\*")).error);
    EXPECT_EQ((DWORD)ERROR_PATH_NOT_FOUND, search(p("missing\\deeper\\x")).error);
    // Windows answers "not a directory" or "no such path"; wine calls the
    // name invalid.
    DWORD fileAsDirectory = search(p("file\\*")).error;
    EXPECT_TRUE(fileAsDirectory == ERROR_DIRECTORY || fileAsDirectory == ERROR_PATH_NOT_FOUND ||
                (kivtestUnderWine() && fileAsDirectory == ERROR_INVALID_NAME))
        << fileAsDirectory;
    EXPECT_EQ((DWORD)ERROR_FILENAME_EXCED_RANGE,
              search(p(std::string(300, 'x') + "*")).error);
}

TEST_F(CompatDir, SearchIsASnapshotOfManyNames)
{
    for (int i = 0; i < 500; ++i)
        writeFile(p("n" + std::to_string(i)), "");
    Found all = search(p("n*"));
    EXPECT_EQ(0u, all.error);
    EXPECT_EQ(500u, all.names.size());
}

/* ---- directories ------------------------------------------------------------------ */

TEST_F(CompatDir, CreateAndRemoveDirectories)
{
    std::string d = p("d");
    ASSERT_TRUE(CreateDirectoryA(d.c_str(), nullptr));
    EXPECT_NE(0u, GetFileAttributesA(d.c_str()) & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, errorOf(CreateDirectoryA(d.c_str(), nullptr)));
    writeFile(p("file"), "1");
    EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, errorOf(CreateDirectoryA(p("file").c_str(), nullptr)));
    EXPECT_EQ((DWORD)ERROR_PATH_NOT_FOUND,
              errorOf(CreateDirectoryA(p("no\\such\\dir").c_str(), nullptr)));
    EXPECT_EQ((DWORD)ERROR_PATH_NOT_FOUND,
              errorOf(CreateDirectoryA(p("file\\sub").c_str(), nullptr)));

    writeFile(d + "\\inner", "1");
    EXPECT_EQ((DWORD)ERROR_DIR_NOT_EMPTY, errorOf(RemoveDirectoryA(d.c_str())));
    ASSERT_TRUE(DeleteFileA((d + "\\inner").c_str()));
    ASSERT_TRUE(RemoveDirectoryA(d.c_str()));
    EXPECT_FALSE(exists(d));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, errorOf(RemoveDirectoryA(d.c_str())));
    EXPECT_EQ((DWORD)ERROR_PATH_NOT_FOUND, errorOf(RemoveDirectoryA(p("no\\such").c_str())));
    EXPECT_EQ((DWORD)ERROR_DIRECTORY, errorOf(RemoveDirectoryA(p("file").c_str())));
}

/* ---- moves, copies, links, attributes ------------------------------------------------ */

TEST_F(CompatDir, MoveFiles)
{
    writeFile(p("a"), "A");
    ASSERT_TRUE(MoveFileA(p("a").c_str(), p("b").c_str()));
    EXPECT_FALSE(exists(p("a")));
    EXPECT_EQ("A", readFile(p("b")));

    writeFile(p("c"), "C");
    EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, errorOf(MoveFileA(p("b").c_str(), p("c").c_str())));
    EXPECT_EQ("C", readFile(p("c")));
    ASSERT_TRUE(MoveFileExA(p("b").c_str(), p("c").c_str(), MOVEFILE_REPLACE_EXISTING));
    EXPECT_EQ("A", readFile(p("c")));
    EXPECT_FALSE(exists(p("b")));

    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, errorOf(MoveFileA(p("gone").c_str(), p("x").c_str())));
    EXPECT_EQ((DWORD)ERROR_PATH_NOT_FOUND,
              errorOf(MoveFileA(p("c").c_str(), p("no\\such\\x").c_str())));

    ASSERT_TRUE(CreateDirectoryA(p("dir").c_str(), nullptr));
    writeFile(p("dir\\f"), "F");
    ASSERT_TRUE(MoveFileA(p("dir").c_str(), p("moved").c_str()));
    EXPECT_EQ("F", readFile(p("moved\\f")));

    // Windows never replaces a read-only file; wine does.
    writeFile(p("ro"), "R");
    ASSERT_TRUE(SetFileAttributesA(p("ro").c_str(), FILE_ATTRIBUTE_READONLY));
    if (!kivtestUnderWine()) {
        EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED,
                  errorOf(MoveFileExA(p("c").c_str(), p("ro").c_str(), MOVEFILE_REPLACE_EXISTING)));
    }
    SetFileAttributesA(p("ro").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(CompatDir, CopyFiles)
{
    std::string content(100000, 'q');
    for (size_t i = 0; i < content.size(); ++i)
        content[i] = (char)(i * 7 + i / 251);
    writeFile(p("src"), content);
    ASSERT_TRUE(SetFileAttributesA(p("src").c_str(), FILE_ATTRIBUTE_READONLY));
    ASSERT_TRUE(CopyFileA(p("src").c_str(), p("dst").c_str(), TRUE));
    EXPECT_TRUE(content == readFile(p("dst"))) << "the copy holds the same bytes";
    EXPECT_NE(0u, GetFileAttributesA(p("dst").c_str()) & FILE_ATTRIBUTE_READONLY);
    struct _stat64 a, b;
    ASSERT_EQ(0, _stat64(p("src").c_str(), &a));
    ASSERT_EQ(0, _stat64(p("dst").c_str(), &b));
    EXPECT_EQ(a.st_mtime, b.st_mtime) << "the modification time travels with the copy";

    EXPECT_EQ((DWORD)ERROR_FILE_EXISTS, errorOf(CopyFileA(p("src").c_str(), p("dst").c_str(), TRUE)));
    // Windows never replaces a read-only file; wine does.
    if (!kivtestUnderWine()) {
        EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED,
                  errorOf(CopyFileA(p("src").c_str(), p("dst").c_str(), FALSE)))
            << "a read-only target is not replaced";
    }
    SetFileAttributesA(p("dst").c_str(), FILE_ATTRIBUTE_NORMAL);
    writeFile(p("other"), "other");
    ASSERT_TRUE(CopyFileA(p("other").c_str(), p("dst").c_str(), FALSE));
    EXPECT_EQ("other", readFile(p("dst")));

    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND,
              errorOf(CopyFileA(p("none").c_str(), p("x").c_str(), TRUE)));
    EXPECT_EQ((DWORD)ERROR_PATH_NOT_FOUND,
              errorOf(CopyFileA(p("src").c_str(), p("no\\such\\x").c_str(), TRUE)));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED,
              errorOf(CopyFileA(tmp.path().c_str(), p("x").c_str(), TRUE)));
    EXPECT_FALSE(exists(p("x")));
    SetFileAttributesA(p("src").c_str(), FILE_ATTRIBUTE_NORMAL);
}

TEST_F(CompatDir, HardLinksShareTheFile)
{
    writeFile(p("orig"), "one");
    ASSERT_TRUE(CreateHardLinkA(p("link").c_str(), p("orig").c_str(), nullptr));
    writeFile(p("link"), "two");
    EXPECT_EQ("two", readFile(p("orig")));
    HANDLE h = CreateFileA(p("orig").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                           OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    BY_HANDLE_FILE_INFORMATION info;
    ASSERT_TRUE(GetFileInformationByHandle(h, &info));
    EXPECT_EQ(2u, info.nNumberOfLinks);
    CloseHandle(h);
    EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS,
              errorOf(CreateHardLinkA(p("link").c_str(), p("orig").c_str(), nullptr)));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND,
              errorOf(CreateHardLinkA(p("l2").c_str(), p("none").c_str(), nullptr)));
}

TEST_F(CompatDir, ReadOnlyAttribute)
{
    writeFile(p("f"), "1");
    ASSERT_TRUE(SetFileAttributesA(p("f").c_str(), FILE_ATTRIBUTE_READONLY));
    EXPECT_NE(0u, GetFileAttributesA(p("f").c_str()) & FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED, errorOf(DeleteFileA(p("f").c_str())));
    ASSERT_TRUE(SetFileAttributesA(p("f").c_str(), FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(0u, GetFileAttributesA(p("f").c_str()) & FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND,
              errorOf(SetFileAttributesA(p("none").c_str(), FILE_ATTRIBUTE_NORMAL)));
}

/* ---- current directory and path names ----------------------------------------------- */

class CompatCurrentDir : public CompatDir {
protected:
    void SetUp() override { ASSERT_NE(0u, GetCurrentDirectoryA(sizeof saved_, saved_)); }
    void TearDown() override { SetCurrentDirectoryA(saved_); }
    char saved_[1024];
};

TEST_F(CompatCurrentDir, SetAndGet)
{
    ASSERT_TRUE(SetCurrentDirectoryA(tmp.path().c_str()));
    char buffer[MAX_PATH];
    DWORD n = GetCurrentDirectoryA(sizeof buffer, buffer);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(std::strlen(buffer), n);
    char full[MAX_PATH];
    ASSERT_NE(0u, GetFullPathNameA(tmp.path().c_str(), sizeof full, full, nullptr));
    EXPECT_EQ(lower(full), lower(buffer));

    char small[2];
    EXPECT_EQ(n + 1, GetCurrentDirectoryA(sizeof small, small)) << "the size needed";
    EXPECT_EQ(n + 1, GetCurrentDirectoryA(0, nullptr));

    writeFile(p("file"), "1");
    EXPECT_TRUE(exists("file")) << "relative names resolve in it";
    EXPECT_EQ((DWORD)ERROR_DIRECTORY, errorOf(SetCurrentDirectoryA(p("file").c_str())));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, errorOf(SetCurrentDirectoryA(p("none").c_str())));
}

TEST_F(CompatCurrentDir, FullPathNames)
{
    ASSERT_TRUE(SetCurrentDirectoryA(tmp.path().c_str()));
    char base[MAX_PATH];
    ASSERT_NE(0u, GetCurrentDirectoryA(sizeof base, base));
    char full[MAX_PATH];
    char* filePart = nullptr;
    DWORD n = GetFullPathNameA("a\\b\\..\\.\\c", sizeof full, full, &filePart);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(std::strlen(full), n);
    EXPECT_EQ(lower(std::string(base) + "\\a\\c"), lower(full));
    ASSERT_NE(nullptr, filePart);
    EXPECT_STREQ("c", filePart);

    n = GetFullPathNameA("x\\", sizeof full, full, &filePart);
    ASSERT_GT(n, 0u);
    EXPECT_EQ('\\', full[n - 1] == '/' ? '\\' : full[n - 1]) << "the trailing separator stays";
    EXPECT_EQ(nullptr, filePart);

    char small[3];
    DWORD needed = GetFullPathNameA("c", sizeof small, small, nullptr);
    EXPECT_EQ(std::strlen(base) + 3, needed) << "base, separator, name and terminator";
}

TEST_F(CompatDir, ShortPathNamesNameTheSameFile)
{
    std::string file = p("A rather long file name.text");
    writeFile(file, "1");
    char shortName[MAX_PATH];
    DWORD n = GetShortPathNameA(file.c_str(), shortName, sizeof shortName);
    ASSERT_GT(n, 0u);
    EXPECT_EQ(std::strlen(shortName), n);
    EXPECT_EQ("1", readFile(shortName));
    EXPECT_EQ(0u, GetShortPathNameA(p("none").c_str(), shortName, sizeof shortName));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, GetLastError());
}

/* ---- drives and file information ------------------------------------------------------- */

TEST(CompatDrives, DriveMapAndRoots)
{
    DWORD map = GetLogicalDrives();
    EXPECT_NE(0u, map);
    char roots[512];
    DWORD n = GetLogicalDriveStringsA(sizeof roots, roots);
    ASSERT_GT(n, 0u);
    ASSERT_LT(n, sizeof roots);
    EXPECT_EQ('\0', roots[n]);
    int count = 0;
    for (const char* r = roots; *r; r += std::strlen(r) + 1) {
        ++count;
        EXPECT_NE(INVALID_FILE_ATTRIBUTES, GetFileAttributesA(r)) << r;
    }
    EXPECT_GE(count, 1);
    char tiny[1];
    EXPECT_GT(GetLogicalDriveStringsA(sizeof tiny, tiny), (DWORD)sizeof tiny);
}

TEST_F(CompatDir, FileInformationByHandle)
{
    writeFile(p("f"), std::string(4321, 'z'));
    HANDLE h = CreateFileA(p("f").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           0, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    BY_HANDLE_FILE_INFORMATION info;
    ASSERT_TRUE(GetFileInformationByHandle(h, &info));
    EXPECT_EQ(4321u, info.nFileSizeLow);
    EXPECT_EQ(0u, info.nFileSizeHigh);
    EXPECT_EQ(1u, info.nNumberOfLinks);
    EXPECT_EQ(0u, info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY));
    CloseHandle(h);

    HANDLE d = CreateFileA(tmp.path().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    ASSERT_NE(INVALID_HANDLE_VALUE, d);
    ASSERT_TRUE(GetFileInformationByHandle(d, &info));
    EXPECT_NE(0u, info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    CloseHandle(d);
    EXPECT_FALSE(GetFileInformationByHandle(d, &info));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
}

/* ---- C runtime ------------------------------------------------------------------------------ */

TEST_F(CompatDir, StatAndChmod)
{
    writeFile(p("f"), std::string(99, 'x'));
    struct _stat64 st;
    ASSERT_EQ(0, _stat64(p("f").c_str(), &st));
    EXPECT_EQ(_S_IFREG, st.st_mode & _S_IFMT);
    EXPECT_EQ(99, st.st_size);
    EXPECT_NE(0, st.st_mode & _S_IWRITE);
    ASSERT_EQ(0, _stat64(tmp.path().c_str(), &st));
    EXPECT_EQ(_S_IFDIR, st.st_mode & _S_IFMT);

    ASSERT_EQ(0, _chmod(p("f").c_str(), _S_IREAD));
    EXPECT_NE(0u, GetFileAttributesA(p("f").c_str()) & FILE_ATTRIBUTE_READONLY);
    ASSERT_EQ(0, _stat64(p("f").c_str(), &st));
    EXPECT_EQ(0, st.st_mode & _S_IWRITE);
    ASSERT_EQ(0, _chmod(p("f").c_str(), _S_IREAD | _S_IWRITE));
    EXPECT_EQ(0u, GetFileAttributesA(p("f").c_str()) & FILE_ATTRIBUTE_READONLY);

    errno = 0;
    EXPECT_EQ(-1, _stat64(p("none").c_str(), &st));
    EXPECT_EQ(ENOENT, errno);
    errno = 0;
    EXPECT_EQ(-1, _stat64(p("none\\deeper").c_str(), &st));
    EXPECT_EQ(ENOENT, errno);
    errno = 0;
    EXPECT_EQ(-1, _chmod(p("none").c_str(), _S_IREAD));
    EXPECT_EQ(ENOENT, errno);
}

} // namespace
