/*
 * test_compatdir.cpp - the Win32 directory services the library calls,
 * where its own suites cannot see the detail: wildcard searches, the error
 * numbers of directory, copy and link calls, and full path names with the
 * size they need.
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
#include <cstring>
#include <set>
#include <string>

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

DWORD errorOf(BOOL ok)
{
    return ok ? 0 : GetLastError();
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
    EXPECT_FALSE(FindNextFileA(h, &data)) << "stays at the end";
    EXPECT_TRUE(FindClose(h));
    return f;
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
    HANDLE h = FindFirstFileA(p("a.txt").c_str(), &data);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_STREQ("a.txt", data.cFileName);
    EXPECT_EQ(0u, data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_EQ(5u, data.nFileSizeLow);
    EXPECT_EQ(0u, data.nFileSizeHigh);
    EXPECT_NE(0u, data.ftLastWriteTime.dwHighDateTime);
    EXPECT_TRUE(FindClose(h));
    h = FindFirstFileA(p("sub").c_str(), &data);
    ASSERT_NE(INVALID_HANDLE_VALUE, h);
    EXPECT_NE(0u, data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY);
    EXPECT_TRUE(FindClose(h));
    EXPECT_EQ((std::set<std::string>{".", "..", "a.txt", "sub"}), search(p("*")).names);

    EXPECT_FALSE(FindClose(INVALID_HANDLE_VALUE));
    EXPECT_EQ((DWORD)ERROR_INVALID_HANDLE, GetLastError());
}

TEST_F(CompatDir, WildcardsMatchAsOnWindows)
{
    for (const char* name : {"a.txt", "B.TXT", "ab.txt", "c.log", "noext", "x.txt.bak", "name",
                             "name.ext"})
        writeFile(p(name), "");
    using S = std::set<std::string>;
    const struct { const char* pattern; S names; } rows[] = {
        {"*.txt", {"a.txt", "B.TXT", "ab.txt"}},
        {"*.TXT", {"a.txt", "B.TXT", "ab.txt"}},
        {"?.txt", {"a.txt", "B.TXT"}},
        {"?b.txt", {"ab.txt"}},
        {"a*", {"a.txt", "ab.txt"}},
        {"*.bak", {"x.txt.bak"}},
        {"*txt.*k", {"x.txt.bak"}},
        {"name.*", {"name", "name.ext"}},
        {"c.log", {"c.log"}},
    };
    for (const auto& r : rows)
        EXPECT_EQ(r.names, search(p(r.pattern)).names) << r.pattern;
    EXPECT_EQ(10u, search(p("*.*")).names.size()) << "with and without a dot, . and ..";
    // Wine drops a trailing dot before it matches; Windows keeps it.
    if (!kivtestUnderWine()) {
        S found = search(p("*.")).names;
        found.erase(".");
        found.erase("..");
        EXPECT_EQ((S{"noext", "name"}), found);
    }
}

/* ---- error numbers of directory, copy and link calls ------------------------------- */

TEST_F(CompatDir, CreateRemoveCopyAndLinkErrors)
{
    writeFile(p("file"), "1");
    ASSERT_TRUE(CreateDirectoryA(p("d").c_str(), nullptr));
    writeFile(p("d\\inner"), "1");
    auto makeDir = [](const std::string& d) { return CreateDirectoryA(d.c_str(), nullptr); };
    auto removeDir = [](const std::string& d) { return RemoveDirectoryA(d.c_str()); };
    auto copy = [this](const std::string& to) {
        return CopyFileA(p("file").c_str(), to.c_str(), TRUE);
    };
    auto link = [this](const std::string& to) {
        return CreateHardLinkA(p("link").c_str(), to.c_str(), nullptr);
    };
    const struct {
        const char* what;
        BOOL (*call)(const std::string&);
        std::string path;
        DWORD error;
    } rows[] = {
        {"mkdir", makeDir, p("d"), ERROR_ALREADY_EXISTS},
        {"mkdir", makeDir, p("file"), ERROR_ALREADY_EXISTS},
        {"mkdir", makeDir, p("no\\such\\dir"), ERROR_PATH_NOT_FOUND},
        {"mkdir", makeDir, p("file\\sub"), ERROR_PATH_NOT_FOUND},
        {"rmdir", removeDir, p("d"), ERROR_DIR_NOT_EMPTY},
        {"rmdir", removeDir, p("gone"), ERROR_FILE_NOT_FOUND},
        {"rmdir", removeDir, p("no\\such"), ERROR_PATH_NOT_FOUND},
        {"rmdir", removeDir, p("file"), ERROR_DIRECTORY},
    };
    for (const auto& r : rows)
        EXPECT_EQ(r.error, errorOf(r.call(r.path))) << r.what << " " << r.path;

    // Copies and links need the capture of the fixture.
    EXPECT_EQ((DWORD)ERROR_FILE_EXISTS, errorOf(copy(p("d\\inner"))));
    EXPECT_EQ((DWORD)ERROR_PATH_NOT_FOUND, errorOf(copy(p("no\\such\\x"))));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND,
              errorOf(CopyFileA(p("none").c_str(), p("x").c_str(), TRUE)));
    EXPECT_EQ((DWORD)ERROR_ACCESS_DENIED,
              errorOf(CopyFileA(tmp.path().c_str(), p("x").c_str(), TRUE)));
    EXPECT_EQ((DWORD)ERROR_FILE_NOT_FOUND, errorOf(link(p("none"))));
    ASSERT_TRUE(link(p("file")));
    EXPECT_EQ((DWORD)ERROR_ALREADY_EXISTS, errorOf(link(p("file"))));
}

/* ---- current directory and path names ----------------------------------------------- */

class CompatCurrentDir : public CompatDir {
protected:
    void SetUp() override { ASSERT_NE(0u, GetCurrentDirectoryA(sizeof saved_, saved_)); }
    void TearDown() override { SetCurrentDirectoryA(saved_); }
    char saved_[1024];
};

TEST_F(CompatCurrentDir, FullPathNames)
{
    ASSERT_TRUE(SetCurrentDirectoryA(tmp.path().c_str()));
    char base[MAX_PATH];
    ASSERT_NE(0u, GetCurrentDirectoryA(sizeof base, base));
    char full[MAX_PATH];
    ASSERT_NE(0u, GetFullPathNameA(tmp.path().c_str(), sizeof full, full, nullptr));
    EXPECT_EQ(lower(full), lower(base));

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

} // namespace
