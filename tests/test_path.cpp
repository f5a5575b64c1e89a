/* test_path.cpp - paths, files and directories; failures are checked through their log records. */
#include "kivdirlist.h"
#include "kivecf.h"
#include "kivpath.h"
#include "kivpathtest.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <map>

#if !defined(_WIN32)
#  include <unistd.h>
#endif

using namespace kivpathtest;
namespace fs = std::filesystem;

namespace {

class Path : public ::testing::Test {
protected:
    KivTestTempDir tmp;
    KivLogCapture  log;

    std::string at(const std::string& name) const { return join(tmp.path(), name); }
};

typedef Uint32 (*NameFn)(const char*, char*, Uint32);

std::string nameOf(NameFn fn, const char* path, Uint32 capacity, Uint32* rc)
{
    char out[300];
    std::memset(out, '#', sizeof out);
    out[sizeof out - 1] = '\0';
    *rc = fn(path, out, capacity);
    return out;
}

Uint32 pathTest(const std::string& path, Uint32 tests)
{
    KIVPathTestParam p;
    p.path = path.c_str();
    p.tests = tests;
    return kivPathTest(&p);
}

Uint32 fileInfo(const std::string& path, KIVFileInfo* info, Uint32 flags = 1)
{
    KIVFileGetInfoParam p;
    p.path = path.c_str();
    p.flags = flags;
    return kivFileGetInfoV9(&p, info);
}

Uint32 createDir(const std::string& path, Uint32 mode)
{
    KIVDirectoryCreateParam p;
    p.path = path.c_str();
    p.mode = mode;
    p.permissions = 0755;
    return kivDirectoryCreate(&p);
}

Uint32 deleteDir(const std::string& path, bool recursive)
{
    KIVDirectoryDeleteParam p;
    p.path = path.c_str();
    p.flags = recursive ? KIV_DIR_DELETE_RECURSIVE : 0;
    return kivDirectoryDelete(&p);
}

struct NameCase {
    const char* path;
    Uint32      capacity;
    const char* expected;   /* the answer, or null when refused */
    Uint32      rc;
};

void checkNames(NameFn fn, const NameCase* cases, size_t count)
{
    for (size_t i = 0; i < count; ++i) {
        const NameCase& c = cases[i];
        SCOPED_TRACE(std::string(c.path ? c.path : "(null)") + " in " + std::to_string(c.capacity));
        Uint32 rc = 1;
        std::string out = nameOf(fn, c.path, c.capacity, &rc);
        EXPECT_EQ(c.rc, rc);
        if (c.expected != nullptr) {
            EXPECT_EQ(c.expected, out);
        }
    }
}

TEST(Names, BaseNameTakesTheLastComponent)
{
    const NameCase cases[] = {
        {"a\\b\\c", 10, "c", 0},
        {"a\\b\\", 3, "b", 0},            // the trailing separator is counted
        {"a\\b\\", 2, nullptr, ECF_BUFFER_TOO_SMALL},
        {"abc", 3, nullptr, ECF_BUFFER_TOO_SMALL},
        {"D:\\dir\\file.txt", 9, "file.txt", 0},
        {"", 10, nullptr, ECF_INVALID_PARAMETER},
        {nullptr, 10, nullptr, ECF_INVALID_PARAMETER},
    };
    checkNames(kivBaseName, cases, sizeof cases / sizeof cases[0]);

    // What does not fit is logged with the sizes, and nothing is written.
    KivLogCapture log;
    Uint32 rc;
    EXPECT_EQ('#', nameOf(kivBaseName, "a\\b\\", 2, &rc)[0]);
    KivLogRecord r = log.at(KIVFN_KIVBASENAME, 30);
    EXPECT_EQ(ECF_BUFFER_TOO_SMALL, r.messageCode);
    EXPECT_EQ((std::vector<Uint64>{3, 2}), numbers(r));
}

TEST(Names, DirectoryNameKeepsEverythingBeforeTheLastComponent)
{
    const NameCase cases[] = {
        {"file", 2, ".", 0},
        {"file", 1, nullptr, ECF_BUFFER_TOO_SMALL},   // the terminator counts
        {"D:\\dir\\file", 7, "D:\\dir", 0},
        {"a\\\\b", 3, "a\\", 0},                  // only the separator before the name goes
        {"\\\\server\\share", 20, "\\\\server", 0},
        {"\\\\.\\D:", 7, "\\\\.\\D:", 0},
        {"\\\\.\\D:", 6, nullptr, ECF_BUFFER_TOO_SMALL},
        {"\\\\.\\physicaldrive0", 30, "\\\\.", 0},
        {"", 6, nullptr, ECF_INVALID_PARAMETER},
    };
    checkNames(kivDirectoryName, cases, sizeof cases / sizeof cases[0]);

    // Too small clears the output.
    KivLogCapture log;
    Uint32 rc;
    EXPECT_EQ('\0', nameOf(kivDirectoryName, "D:\\dir\\file", 6, &rc)[0]);
    EXPECT_EQ((std::vector<Uint64>{7, 6}), numbers(log.at(KIVFN_KIVDIRECTORYNAME, 30)));
}

TEST_F(Path, ComparePathsIgnoresCaseAndShortForms)
{
    std::string longFile = at("A Long File Name.text");
    writeFile(longFile, "x");
    char shortName[MAX_PATH];
    ASSERT_NE(0u, GetShortPathNameA(longFile.c_str(), shortName, sizeof shortName));
    std::string shortUpper = shortName;
    std::transform(shortUpper.begin(), shortUpper.end(), shortUpper.begin(),
                   [](unsigned char c) { return (char)std::toupper(c); });
    EXPECT_EQ(1u, kivComparePaths(longFile.c_str(), shortUpper.c_str()));
    writeFile(at("other"), "y");
    EXPECT_EQ(0u, kivComparePaths(longFile.c_str(), at("other").c_str()));
    EXPECT_EQ(1u, kivComparePaths("x:\\No\\Such", "X:\\no\\such"));
    EXPECT_EQ(0u, kivComparePaths(nullptr, "a"));
    EXPECT_EQ(0u, log.count());
}

TEST_F(Path, TypeAndAccessTestsAnswerWithoutLogging)
{
    std::string file = at("f");
    writeFile(file, "1");
    EXPECT_TRUE(kivIsDirectory(tmp.path().c_str()));
    EXPECT_FALSE(kivIsFile(tmp.path().c_str()));
    EXPECT_TRUE(kivIsFile(file.c_str()));
    EXPECT_FALSE(kivIsFile(at("missing").c_str()));
    EXPECT_EQ(1u, kivPathExists(file.c_str()));
    EXPECT_EQ(0u, kivPathExists(at("missing").c_str()));

    EXPECT_EQ(0u, pathTest(file, KIV_PATH_TEST_WRITABLE));
    setReadOnly(file, true);
    EXPECT_EQ(0u, pathTest(file, KIV_PATH_TEST_EXISTS));
    EXPECT_EQ(ECF_ACCESS_DENIED, pathTest(file, KIV_PATH_TEST_WRITABLE));
    setReadOnly(file, false);
    for (const std::string& missing : {at("missing"), join(file, "x"), at(longName(300))})
        EXPECT_EQ(ECF_FILE_DOESNT_EXIST, pathTest(missing, KIV_PATH_TEST_EXISTS)) << missing;
    EXPECT_EQ(0u, log.count());
}

TEST_F(Path, PathTestLogsOtherAnswers)
{
    // A name the system can neither find nor refuse.
#if defined(_WIN32)
    std::string odd = at("bad<name>");
#else
    std::string odd = at("loop1");
    ASSERT_EQ(0, symlink(at("loop2").c_str(), odd.c_str()));
    ASSERT_EQ(0, symlink(odd.c_str(), at("loop2").c_str()));
#endif
    EXPECT_EQ(ECF_UNKNOWN, pathTest(odd, KIV_PATH_TEST_WRITABLE));
    KivLogRecord r = log.at(KIVFN_KIVPATHTEST, 40);
    EXPECT_EQ(KIVOSFN_ACCESS, r.calledFunctionId);
    EXPECT_TRUE(hasString(r, odd));
    EXPECT_EQ((std::vector<Uint64>{KIV_PATH_TEST_WRITABLE, 0, 2}), numbers(r))
        << "tests, reserved and the access mask";
}

TEST_F(Path, ParameterObjectsAreChecked)
{
    EXPECT_EQ(ECF_INVALID_PARAMETER, kivPathTest(nullptr));
    EXPECT_EQ(KIVLOG_ERROR, log.at(KIVFN_KIVPATHTEST, 1111).level);
    KIVPathTestParam p;
    p.version = 20040701;
    p.path = tmp.path().c_str();
    EXPECT_EQ(ECF_INVALID_VERSION, kivPathTest(&p));
    EXPECT_EQ((std::vector<Uint64>{20040701, 20040702}), numbers(log.at(KIVFN_KIVPATHTEST, 1112)));
    p.version = KIV_VERSION_MIN;
    EXPECT_EQ(0u, kivPathTest(&p));

    EXPECT_EQ(ECF_INVALID_PARAMETER, kivDirectoryCreate(nullptr));
    log.at(KIVFN_KIVDIRECTORYCREATE, 1111);


    EXPECT_EQ(ECF_INVALID_PARAMETER, kivDirectoryDelete(nullptr));
    EXPECT_EQ(ECF_INVALID_PARAMETER, kivFileCopy(nullptr, "x"));
    EXPECT_EQ(ECF_INVALID_PARAMETER, kivDirectoryCopy(nullptr, "x"));
    EXPECT_EQ(ECF_INVALID_PARAMETER, kivFileSetPermissions(tmp.path().c_str(), nullptr));
}

TEST_F(Path, FileInfoOfFilesAndDirectories)
{
    std::string file = at("data");
    writeFile(file, patternBytes(12345, 1));
    KIVFileInfo info;
    ASSERT_EQ(0u, fileInfo(file, &info));
    EXPECT_EQ(12345u, info.size);
    EXPECT_EQ(KIV_FILE_TYPE_REGULAR, info.fileType);
    EXPECT_EQ(KIV_PERM_OWNER_READ | KIV_PERM_OWNER_WRITE,
              info.permissions & (KIV_PERM_OWNER_READ | KIV_PERM_OWNER_WRITE));
    ASSERT_EQ(0u, fileInfo(tmp.path(), &info));
    EXPECT_EQ(KIV_FILE_TYPE_DIRECTORY, info.fileType);
    EXPECT_EQ(0u, log.count());
}

TEST_F(Path, FileInfoFailuresAreLoggedUnlessQuiet)
{
    std::string missing = at("missing");
    KIVFileInfo info;
    EXPECT_EQ(ECF_FILE_DOESNT_EXIST, fileInfo(missing, &info));
    KivLogRecord r = log.at(KIVFN_KIVGETFILEINFO, 30);
    EXPECT_TRUE(hasString(r, missing));

    log.clear();
    EXPECT_EQ(ECF_FILE_DOESNT_EXIST, fileInfo(missing, &info, KIV_FILE_INFO_QUIET));
    EXPECT_EQ(0u, log.count());
#if !defined(_WIN32)
    // Another type of file: the type is set, the failure logged unless quiet.
    log.clear();
    info.fileType = 0x1234;
    EXPECT_EQ(ECF_FILE_UNKNOWN_FILE_TYPE, fileInfo("/dev/null", &info));
    EXPECT_EQ(KIV_FILE_TYPE_OTHER, info.fileType);
    EXPECT_TRUE(hasString(log.at(KIVFN_KIVGETFILEINFO, 70), "/dev/null"));
#endif
}

TEST(FileInfoText, RendersEveryField)
{
    KIVFileInfo info;
    info.size = 1234567890123ull;
    info.fileType = KIV_FILE_TYPE_REGULAR;
    info.permissions = 0644;
    info.uid = 1000;
    info.gid = 100;
    info.lastModifiedTime = 0x100000005ll;
    KIVFileInfo::toStringParam p;
    info.toString(&p);
    EXPECT_STREQ("Target File Information :\n"
                 "  Size               = 1234567890123\n"
                 "  Link               = No\n"
                 "  Reference path     = N/A\n"
                 "  Type               = 0x8000\n"
                 "  Permissions        = rw-------\n"
                 "  UID                = 1000\n"
                 "  GID                = 100\n"
                 "  Last modified time = 5",
                 p.text);
}

TEST_F(Path, FileCopyCopiesContentsAndAttributes)
{
    std::string src = at("src.bin");
    std::string content = patternBytes(300000, 3);
    writeFile(src, content);
    setReadOnly(src, true);
    ASSERT_EQ(0u, kivFileCopy(src.c_str(), at("dst.bin").c_str()));
    EXPECT_TRUE(content == kivtestReadFile(at("dst.bin"))) << "the copy holds the same bytes";
    EXPECT_TRUE(isReadOnly(at("dst.bin")));
    KIVFileInfo a, b;
    ASSERT_EQ(0u, fileInfo(src, &a));
    ASSERT_EQ(0u, fileInfo(at("dst.bin"), &b));
    EXPECT_EQ(a.lastModifiedTime, b.lastModifiedTime);
    EXPECT_EQ(a.permissions, b.permissions);
    setReadOnly(src, false);
    setReadOnly(at("dst.bin"), false);
    EXPECT_EQ(0u, log.count());
}

TEST_F(Path, FileCopyRefusals)
{
    std::string src = at("src");
    writeFile(src, "source");
    writeFile(at("dst"), "keep me");
    EXPECT_EQ(ECF_INVALID_PARAMETER, kivFileCopy(src.c_str(), src.c_str()));
    log.at(KIVFN_KIVFILECOPY, 10);
    EXPECT_EQ(ECF_FILE_EXISTS, kivFileCopy(src.c_str(), at("dst").c_str()));
    EXPECT_TRUE(hasString(log.at(KIVFN_KIVFILECOPY, 20), at("dst")));
    EXPECT_EQ("keep me", kivtestReadFile(at("dst")));

    log.clear();
    std::string missing = at("missing");
    EXPECT_EQ(ECF_FILE_DOESNT_EXIST, kivFileCopy(missing.c_str(), at("new").c_str()));
    KivLogRecord sys = log.at(KIVFN_KIV_COPY, 10);
    EXPECT_EQ(KIVOSFN_COPYFILE, sys.calledFunctionId);
    EXPECT_TRUE(hasString(sys, missing));

    EXPECT_EQ(ECF_FILE_PATH_DOESNT_EXIST,
              kivFileCopy(src.c_str(), join(at("no dir"), "x").c_str()));
    EXPECT_EQ(ECF_ACCESS_DENIED, kivFileCopy(tmp.path().c_str(), at("dir copy").c_str()));
}

TEST_F(Path, RenameMovesFilesAndDirectoriesButNeverReplaces)
{
    writeFile(at("a"), "A");
    ASSERT_EQ(0u, kivFileRename(at("a").c_str(), at("b").c_str()));
    EXPECT_FALSE(pathExists(at("a")));
    EXPECT_EQ("A", kivtestReadFile(at("b")));
    EXPECT_EQ(0u, log.count());

    // Every failure reads as a missing file.
    writeFile(at("a"), "new A");
    EXPECT_EQ(ECF_FILE_DOESNT_EXIST, kivFileRename(at("a").c_str(), at("b").c_str()));
    KivLogRecord r = log.at(KIVFN_KIVFILERENAME, 30);
    EXPECT_EQ(KIVOSFN_MOVEFILE, r.calledFunctionId);
    EXPECT_EQ(183u, r.calledValue); // ERROR_ALREADY_EXISTS
    EXPECT_TRUE(hasString(r, at("a")));
    EXPECT_TRUE(hasString(r, at("b")));
}

TEST_F(Path, DeleteRemovesFilesOnly)
{
    writeFile(at("f"), "1");
    ASSERT_EQ(0u, kivFileDelete(at("f").c_str()));
    EXPECT_FALSE(pathExists(at("f")));
    // A missing file is an answer, not logged.
    EXPECT_EQ(ECF_FILE_DOESNT_EXIST, kivFileDelete(at("f").c_str()));
    EXPECT_EQ(0u, log.count());

    EXPECT_EQ(ECF_FILE_IS_A_DIRECTORY, kivFileDelete(tmp.path().c_str()));
    EXPECT_TRUE(hasString(log.at(KIVFN_KIVFILEDELETE, 30), tmp.path()));
    writeFile(at("ro"), "1");
    setReadOnly(at("ro"), true);
    EXPECT_EQ(ECF_ACCESS_DENIED, kivFileDelete(at("ro").c_str()));
    KivLogRecord r = log.at(KIVFN_KIVFILEDELETE, 40);
    EXPECT_TRUE(hasString(r, at("ro")));
    EXPECT_TRUE(pathExists(at("ro")));
    setReadOnly(at("ro"), false);
}

TEST_F(Path, SetPermissions)
{
    std::string file = at("f");
    writeFile(file, "1");
    Uint32 bits = KIV_PERM_OWNER_READ;
    ASSERT_EQ(0u, kivFileSetPermissions(file.c_str(), &bits));
    EXPECT_TRUE(isReadOnly(file));
    bits = 0;
    ASSERT_EQ(0u, kivFileSetPermissions(file.c_str(), &bits));
    EXPECT_EQ(KIV_PERM_OWNER_READ | KIV_PERM_OWNER_WRITE, bits) << "written back";
    EXPECT_FALSE(isReadOnly(file));
    EXPECT_EQ(0u, log.count());

    std::string missing = at("missing");
    EXPECT_EQ(ECF_FILE_DOESNT_EXIST, kivFileSetPermissions(missing.c_str(), &bits));
    KivLogRecord r = log.at(KIVFN_KIVFILESETPERMISSIONS, 20);
    EXPECT_EQ(KIVOSFN_CHMOD, r.calledFunctionId);
    EXPECT_TRUE(hasString(r, missing));
}

TEST_F(Path, CreateOneDirectory)
{
    std::string d = at("d");
    ASSERT_EQ(0u, createDir(d, KIV_DIR_CREATE_SINGLE));
    EXPECT_TRUE(kivIsDirectory(d.c_str()));
    EXPECT_EQ(0u, log.count());
    EXPECT_EQ(ECF_FILE_EXISTS, createDir(d, KIV_DIR_CREATE_SINGLE));
    KivLogRecord r = log.at(KIVFN_KIVDIRECTORYCREATE, 20);
    EXPECT_TRUE(hasString(r, d));

    log.clear();
    EXPECT_EQ(ECF_FILE_PATH_DOESNT_EXIST, createDir(join(join(at("x"), "y"), "z"), KIV_DIR_CREATE_SINGLE));
    EXPECT_TRUE(hasString(log.at(KIVFN_KIVDIRECTORYCREATE, 20), join(join(at("x"), "y"), "z")));
    EXPECT_EQ(ECF_FILE_NAME_TOO_LONG, createDir(at(longName(300)), KIV_DIR_CREATE_SINGLE));
    EXPECT_FALSE(pathExists(at("x")));
}

TEST_F(Path, CreateEveryMissingAncestor)
{
    std::string deep = join(join(join(at("a"), "b"), "c"), "d");
    ASSERT_EQ(0u, createDir(deep, KIV_DIR_CREATE_PATH));
    EXPECT_TRUE(kivIsDirectory(deep.c_str()));
    ASSERT_EQ(0u, createDir(deep, KIV_DIR_CREATE_PATH)) << "existing directories are accepted";
    EXPECT_EQ(0u, log.count());
    // Any other mode ends the walk at the first error.
    EXPECT_EQ(ECF_FILE_EXISTS, createDir(join(at("a"), "new"), 3));
    EXPECT_FALSE(pathExists(join(at("a"), "new")));

    // A file on the way stops it, and so does the length limit.
    writeFile(at("file"), "1");
    std::string blocked = join(join(at("file"), "sub"), "subsub");
    log.clear();
    EXPECT_EQ(ECF_FILE_NOT_A_DIRECTORY, createDir(blocked, KIV_DIR_CREATE_PATH));
    KivLogRecord r = log.at(KIVFN_KIVDIRECTORYCREATE, 30);
    EXPECT_TRUE(hasString(r, blocked));
    log.clear();
    std::string first = at(longName(100, 'a'));
    std::string tooLong = join(join(first, longName(100, 'b')), longName(100, 'c'));
    EXPECT_EQ(ECF_FILE_NAME_TOO_LONG, createDir(tooLong, KIV_DIR_CREATE_PATH));
    EXPECT_TRUE(hasString(log.at(KIVFN_KIVDIRECTORYCREATE, 20), tooLong));
    EXPECT_TRUE(kivIsDirectory(first.c_str())) << "what was made before the failure stays";
}

TEST_F(Path, DeleteOneDirectory)
{
    std::string d = at("d");
    ASSERT_TRUE(makeDir(d));
    writeFile(join(d, "f"), "1");
    EXPECT_EQ(ECF_FILE_DIR_NOT_EMPTY, deleteDir(d, false));
    KivLogRecord r = log.at(KIVFN_KIV_DIRECTORY_DELETE, 20);
    EXPECT_TRUE(hasString(r, d));
    ASSERT_EQ(0u, kivFileDelete(join(d, "f").c_str()));
    ASSERT_EQ(0u, deleteDir(d, false));
    EXPECT_FALSE(pathExists(d));

    log.clear();
    EXPECT_EQ(ECF_FILE_DOESNT_EXIST, deleteDir(d, false));
    EXPECT_TRUE(hasString(log.at(KIVFN_KIV_DIRECTORY_DELETE, 20), d));
    writeFile(at("file"), "1");
    EXPECT_EQ(ECF_FILE_NOT_A_DIRECTORY, deleteDir(at("file"), false));
    EXPECT_EQ(267u, log.of(KIVFN_KIV_DIRECTORY_DELETE).back().calledValue);
    EXPECT_TRUE(pathExists(at("file")));
}

TEST_F(Path, DeleteTreeReportsWhereItStoppedThenFinishes)
{
    std::string root = at("root");
    std::string a = join(root, "a"), b = join(a, "b");
    ASSERT_EQ(0u, createDir(b, KIV_DIR_CREATE_PATH));
    ASSERT_TRUE(makeDir(join(root, "empty")));
    std::string ro = join(b, "ro.txt");
    writeFile(ro, "read-only");
    setReadOnly(ro, true);

    EXPECT_EQ(ECF_ACCESS_DENIED, deleteDir(root, true));
    EXPECT_TRUE(pathExists(ro));
    EXPECT_TRUE(hasString(log.at(KIVFN_KIVFILEDELETE, 40), ro));
    // Each level on the way down names the entry that failed.
    std::vector<KivLogRecord> levels = log.of(KIVFN_KIV_DIRECTORY_DELETE_RECURSIVE);
    ASSERT_EQ(3u, levels.size());
    EXPECT_TRUE(hasString(levels[0], ro));
    EXPECT_TRUE(hasString(levels[1], b));
    EXPECT_TRUE(hasString(levels[2], a));

    setReadOnly(ro, false);
    log.clear();
    ASSERT_EQ(0u, deleteDir(root, true));
    EXPECT_FALSE(pathExists(root));
    EXPECT_EQ(0u, log.count());

    writeFile(at("file"), "1");
    EXPECT_EQ(ECF_FILE_NOT_A_DIRECTORY, deleteDir(at("file"), true));
    EXPECT_TRUE(hasString(log.at(KIVFN_KIV_DIRECTORY_DELETE_RECURSIVE, 70), at("file")));
    EXPECT_EQ(ECF_INVALID_PARAMETER, deleteDir("NUL", true));
    log.at(KIVFN_KIV_DIRECTORY_DELETE_RECURSIVE, 10);
}

#if !defined(_WIN32)
TEST_F(Path, DeleteTreeRemovesLinksWithoutFollowingThem)
{
    std::string outside = at("outside");
    ASSERT_TRUE(makeDir(outside));
    writeFile(join(outside, "precious"), "keep");
    std::string root = at("root");
    ASSERT_TRUE(makeDir(root));
    ASSERT_EQ(0, symlink(outside.c_str(), join(root, "link").c_str()));
    ASSERT_EQ(0u, deleteDir(root, true));
    EXPECT_FALSE(pathExists(root));
    EXPECT_EQ("keep", kivtestReadFile(join(outside, "precious")));
}
#endif

/* A tree with nested directories, empty files and directories, large and
 * read-only files, a read-only directory and many files. */
void buildTree(const std::string& root)
{
    std::string c = join(join(join(join(root, "nested"), "a"), "b"), "c");
    ASSERT_EQ(0u, createDir(c, KIV_DIR_CREATE_PATH));
    writeFile(join(root, "empty.txt"), "");
    writeFile(join(root, "one.bin"), "\x01");
    writeFile(join(root, "big.bin"), patternBytes(300000, 11));
    writeFile(join(root, "ro.txt"), patternBytes(100, 12));
    setReadOnly(join(root, "ro.txt"), true);
    writeFile(join(c, "deep.txt"), patternBytes(4096, 13));
    ASSERT_TRUE(makeDir(join(join(root, "nested"), "empty dir")));
    std::string roDir = join(join(root, "nested"), "ro dir");
    ASSERT_TRUE(makeDir(roDir));
    writeFile(join(roDir, "inside.txt"), "inside");
    setReadOnly(roDir, true);
    std::string many = join(root, "many");
    ASSERT_TRUE(makeDir(many));
    for (int i = 0; i < 20; ++i)
        writeFile(join(many, "file" + std::to_string(i) + ".dat"), patternBytes(i * 37, i));
}

void unprotectTree(const std::string& root)
{
    setReadOnly(join(root, "ro.txt"), false);
    setReadOnly(join(join(root, "nested"), "ro dir"), false);
}

/* Every entry below `root` by its relative path, with its type. */
std::map<std::string, bool> entriesOf(const std::string& root)
{
    std::map<std::string, bool> out;
    for (const auto& e : fs::recursive_directory_iterator(fs::path(root)))
        out[fs::relative(e.path(), fs::path(root)).generic_string()] = e.is_directory();
    return out;
}

/* The two trees hold the same names, the same bytes and, for files, the
 * same attributes. */
void expectSameTree(const std::string& a, const std::string& b)
{
    std::map<std::string, bool> left = entriesOf(a), right = entriesOf(b);
    ASSERT_EQ(left, right);
    for (const auto& [relative, isDir] : left) {
        std::string pa = (fs::path(a) / fs::path(relative)).string();
        std::string pb = (fs::path(b) / fs::path(relative)).string();
        KIVFileInfo ia, ib;
        ASSERT_EQ(0u, fileInfo(pa, &ia)) << pa;
        ASSERT_EQ(0u, fileInfo(pb, &ib)) << pb;
        EXPECT_EQ(ia.fileType, ib.fileType) << relative;
        if (isDir)
            continue;
        EXPECT_TRUE(kivtestReadFile(pa) == kivtestReadFile(pb)) << "bytes of " << relative;
        EXPECT_EQ(ia.size, ib.size) << relative;
        EXPECT_EQ(ia.permissions, ib.permissions) << relative;
        EXPECT_EQ(ia.lastModifiedTime, ib.lastModifiedTime) << relative;
        EXPECT_EQ(isReadOnly(pa), isReadOnly(pb)) << relative;
    }
}

TEST_F(Path, DirectoryCopyReproducesTheTree)
{
    std::string src = at("src");
    buildTree(src);
    std::string dst = at("dst");
    ASSERT_EQ(0u, kivDirectoryCopy(src.c_str(), dst.c_str()));
    expectSameTree(src, dst);
    EXPECT_EQ(33u, entriesOf(dst).size());
    EXPECT_EQ(0u, log.count());
    unprotectTree(src);
    unprotectTree(dst);
}

TEST_F(Path, DirectoryCopyRefusesAnExistingOrInnerDestination)
{
    std::string src = at("src");
    ASSERT_TRUE(makeDir(src));
    writeFile(join(src, "f"), "1");
    ASSERT_TRUE(makeDir(at("existing")));
    std::string inner = join(src, "inner");
    for (const std::string& dst : {at("existing"), src, inner}) {
        log.clear();
        EXPECT_EQ(ECF_INVALID_PARAMETER, kivDirectoryCopy(src.c_str(), dst.c_str())) << dst;
        EXPECT_TRUE(hasString(log.at(KIVFN_KIVDIRECTORYCOPY, 10), dst));
    }
    EXPECT_FALSE(pathExists(inner));
    // A sibling whose name starts like the source is elsewhere.
    ASSERT_EQ(0u, kivDirectoryCopy(src.c_str(), (src + "2").c_str()));

    log.clear();
    EXPECT_EQ(ECF_FILE_NOT_A_DIRECTORY,
              kivDirectoryCopy(join(src, "f").c_str(), at("c1").c_str()));
    log.at(KIVFN_KIVDIRECTORYCOPY, 70);
    EXPECT_FALSE(pathExists(at("c1")));
}

TEST_F(Path, FailedDirectoryCopyRemovesWhatItMade)
{
    std::string src = at("s");
    std::string dst = at("d" + longName(40, 'x'));
    ASSERT_TRUE(makeDir(src));
    writeFile(join(src, "ro.txt"), "read-only");
    setReadOnly(join(src, "ro.txt"), true);
    std::string z = join(src, "z");
    ASSERT_TRUE(makeDir(z));
    // A name that fits below the source but not below the destination.
    std::string name = longName(KIV_PATH_BUFFER_SIZE - 1 - (z.size() + 1), 'L');
    ASSERT_LE(name.size(), 255u);
    writeFile(join(z, name), "long");
    ASSERT_TRUE(pathExists(join(z, name)));

    EXPECT_EQ(ECF_FILE_NAME_TOO_LONG, kivDirectoryCopy(src.c_str(), dst.c_str()));
    EXPECT_FALSE(pathExists(dst)) << "the half-made copy is gone";
    KivLogRecord innerRecord = log.at(KIVFN_KIVDIRECTORYCOPY, 80);
    EXPECT_EQ(ECF_FILE_NAME_TOO_LONG, innerRecord.messageCode);
    EXPECT_TRUE(hasString(innerRecord, name));
    KivLogRecord outer = log.at(KIVFN_KIVDIRECTORYCOPY, 50);
    EXPECT_TRUE(hasString(outer, z));
    setReadOnly(join(src, "ro.txt"), false);
}

class CurrentDirectory : public Path {
protected:
    void SetUp() override
    {
        DWORD n = GetCurrentDirectoryA(sizeof saved_, saved_);
        ASSERT_TRUE(n > 0 && n < sizeof saved_);
    }
    void TearDown() override { SetCurrentDirectoryA(saved_); }
    char saved_[1024];
};

TEST_F(CurrentDirectory, SetAndGet)
{
    ASSERT_EQ(0u, kivDirectorySetCurrent(tmp.path().c_str()));
    char buffer[KIV_PATH_BUFFER_SIZE];
    Uint32 capacity = sizeof buffer;
    ASSERT_EQ(0u, kivDirectoryGetCurrent(buffer, &capacity));
    EXPECT_EQ(std::strlen(buffer), capacity);
    EXPECT_EQ(1u, kivComparePaths(buffer, tmp.path().c_str())) << buffer;

    // The size needed, terminator included, is told back.
    const Uint32 length = capacity;
    for (Uint32 given : {4u, length}) {
        log.clear();
        capacity = given;
        EXPECT_EQ(ECF_BUFFER_TOO_SMALL, kivDirectoryGetCurrent(buffer, &capacity));
        EXPECT_EQ(length + 1, capacity);
        log.at(KIVFN_KIVDIRECTORYGETCURRENT, 40);
    }
    EXPECT_EQ(0u, kivDirectoryGetCurrent(buffer, &capacity));
    EXPECT_EQ(ECF_INVALID_PARAMETER, kivDirectoryGetCurrent(buffer, nullptr));
}

TEST_F(CurrentDirectory, SetRefusesWhatIsNoDirectory)
{
    EXPECT_EQ(ECF_FILE_DOESNT_EXIST, kivDirectorySetCurrent(at("missing").c_str()));
    KivLogRecord r = log.at(KIVFN_KIVDIRECTORYSETCURRENT, 20);
    EXPECT_TRUE(hasString(r, at("missing")));
    writeFile(at("file"), "1");
    EXPECT_EQ(ECF_FILE_NOT_A_DIRECTORY, kivDirectorySetCurrent(at("file").c_str()));
}

TEST(Drives, DriveMapHasTheSystemDrive)
{
    Uint32 map = 0;
    ASSERT_EQ(0u, kivGetLogicalDriveMap(&map));
    EXPECT_EQ(GetLogicalDrives(), map);
#if !defined(_WIN32)
    EXPECT_EQ(1u << 2, map) << "one root, drive C:";
#else
    EXPECT_NE(0u, map);
#endif
}

} // namespace

#if !defined(_WIN32)
TEST_F(Path, DirectoryCopyThroughALoopEndsAndCleansUp)
{
    // Long enough names that the path limit comes before the system's own
    // limit on links followed.
    std::string src = at(longName(100, 's'));
    ASSERT_TRUE(makeDir(src));
    writeFile(join(src, "f"), "1");
    ASSERT_EQ(0, symlink(src.c_str(), join(src, "loop").c_str()));
    std::string dst = at(longName(100, 'd'));
    EXPECT_EQ(ECF_FILE_NAME_TOO_LONG, kivDirectoryCopy(src.c_str(), dst.c_str()));
    EXPECT_FALSE(pathExists(dst));
    log.at(KIVFN_KIVDIRECTORYCOPY, 80);
}
#endif

TEST_F(Path, FileInfoByHandle)
{
    std::string file = at("data");
    writeFile(file, patternBytes(777, 2));
    for (bool readOnly : {false, true}) {
        SCOPED_TRACE(readOnly);
        setReadOnly(file, readOnly);
        HANDLE h = CreateFileA(file.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                               OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(INVALID_HANDLE_VALUE, h);
        KIVFileGetInfoParam p;
        p.path = "ignored, the handle is used";
        p.handle = h;
        KIVFileInfo info;
        info.uid = 4242;
        info.lastModifiedTime = 99;
        ASSERT_EQ(0u, kivFileGetInfoV9(&p, &info));
        CloseHandle(h);
        EXPECT_EQ(777u, info.size);
        EXPECT_EQ(KIV_FILE_TYPE_REGULAR, info.fileType);
        EXPECT_EQ(readOnly ? KIV_PERM_OWNER_READ : KIV_PERM_OWNER_READ | KIV_PERM_OWNER_WRITE,
                  info.permissions);
        EXPECT_EQ(4242u, info.uid) << "left as it was";
        EXPECT_EQ(99, info.lastModifiedTime) << "left as it was";
    }
    setReadOnly(file, false);

    // An older object never reads a handle: the path is used.
    KIVFileGetInfoParam p;
    p.version = 0x09000000;
    p.path = file.c_str();
    p.handle = (HANDLE)(intptr_t)0x7FFF0;
    KIVFileInfo info;
    ASSERT_EQ(0u, kivFileGetInfoV9(&p, &info));
    EXPECT_EQ(777u, info.size);
    p.version = KIV_VERSION_CURRENT;
    EXPECT_EQ(ECF_INVALID_PARAMETER, kivFileGetInfoV9(&p, &info));
    KivLogRecord r = log.at(KIVFN_KIVGETFILEINFO, 80);
    EXPECT_EQ(KIVOSFN_GETFILEINFORMATIONBYHANDLE, r.calledFunctionId);
    EXPECT_EQ(6u, r.calledValue); // ERROR_INVALID_HANDLE
}
