/*
 * test_dirlist.cpp - the directory listing: names of a directory or of a
 * wildcard pattern, type filters, the cursor, the flat list, the calling
 * order, failures with their log records, the printed dump, and the
 * allocations it makes and gives back.
 */
#include "kivdirlist.h"
#include "kivecf.h"
#include "kivmem.h"
#include "kivpath.h"
#include "kivpathtest.h"

#include <cstdio>
#include <cstdlib>
#include <set>

using namespace kivpathtest;

namespace {

class Listing : public ::testing::Test {
protected:
    KivTestTempDir tmp;
    KivLogCapture  log;

    std::string at(const std::string& name) const { return join(tmp.path(), name); }

    /* a.txt, b.txt, c.log, noext, directory "sub" and directory "d.txt". */
    void populate()
    {
        writeFile(at("a.txt"), "a");
        writeFile(at("b.txt"), "bb");
        writeFile(at("c.log"), "ccc");
        writeFile(at("noext"), "");
        ASSERT_TRUE(makeDir(at("sub")));
        ASSERT_TRUE(makeDir(at("d.txt")));
    }
};

Uint32 beginListing(KIVDirectoryListing& l, const std::string& path, Uint32 filter = KIV_LIST_ALL)
{
    KIVDirectoryListingParam p;
    p.path = path.c_str();
    p.typeFilter = filter;
    return l.begin(&p);
}

std::vector<std::string> names(KIVDirectoryListing& l)
{
    std::vector<std::string> out;
    l.rewind();
    while (const char* n = l.getNext())
        out.push_back(n);
    return out;
}

std::multiset<std::string> nameSet(KIVDirectoryListing& l)
{
    std::vector<std::string> v = names(l);
    return std::multiset<std::string>(v.begin(), v.end());
}

/* The flat list split at its NULs, checked to end in two of them. */
std::vector<std::string> flatList(const KIVDirectoryListing& l)
{
    const char* p = l.getFileList();
    std::vector<std::string> out;
    if (p == nullptr)
        return out;
    while (*p) {
        out.push_back(p);
        p += out.back().size() + 1;
    }
    EXPECT_EQ((size_t)(p - l.getFileList()) + 1, (size_t)l.m_iFileListSize);
    return out;
}

/* ---- contents -------------------------------------------------------------------- */

TEST_F(Listing, EmptyDirectoryHoldsDotAndDotDot)
{
    KIVDirectoryListing l;
    ASSERT_EQ(0u, beginListing(l, tmp.path()));
    EXPECT_EQ(2u, l.getNumberOfFiles());
    EXPECT_EQ((std::vector<std::string>{".", ".."}), names(l));
    EXPECT_EQ(6u, l.m_iFileListSize);
    EXPECT_EQ(0, std::memcmp(".\0..\0\0", l.getFileList(), 6));
    EXPECT_EQ(0u, l.end());
    EXPECT_EQ(0u, log.count());
}

TEST_F(Listing, EveryNameOnce)
{
    populate();
    KIVDirectoryListing l;
    ASSERT_EQ(0u, beginListing(l, tmp.path()));
    std::multiset<std::string> expected = {".", "..", "a.txt", "b.txt", "c.log", "noext",
                                           "sub", "d.txt"};
    EXPECT_EQ(expected, nameSet(l));
    EXPECT_EQ(8u, l.getNumberOfFiles());
    EXPECT_EQ(names(l), flatList(l)) << "the flat list follows the chain";
    EXPECT_EQ(0u, l.end());
}

TEST_F(Listing, DirectoriesAndPatternsWithTypeFilters)
{
    populate();
    typedef std::multiset<std::string> Names;
    const Names all = {".", "..", "a.txt", "b.txt", "c.log", "noext", "sub", "d.txt"};
    const struct {
        std::string path;
        Uint32      filter;
        Names       expected;
    } cases[] = {
        {tmp.path(), KIV_LIST_DIRECTORIES_ONLY, {".", "..", "sub", "d.txt"}},
        {tmp.path(), KIV_LIST_FILES_ONLY, {"a.txt", "b.txt", "c.log", "noext"}},
        {tmp.path(), 1, {}},   // a filter without either type bit keeps nothing
        // A trailing separator is dropped.
        {tmp.path() + KIV_PATH_SEPARATOR, KIV_LIST_ALL, all},
#if !defined(_WIN32)
        {tmp.path() + "\\", KIV_LIST_ALL, all},
#endif
        {at("*.txt"), KIV_LIST_ALL, {"a.txt", "b.txt", "d.txt"}},
        {at("*.txt"), KIV_LIST_DIRECTORIES_ONLY, {"d.txt"}},
        {at("*.TXT"), KIV_LIST_FILES_ONLY, {"a.txt", "b.txt"}},   // letter case does not matter
        {at("?.log"), KIV_LIST_ALL, {"c.log"}},
        {at("*.*"), KIV_LIST_FILES_ONLY, {"a.txt", "b.txt", "c.log", "noext"}},   // dotless too
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path + " filter " + std::to_string(c.filter));
        KIVDirectoryListing l;
        ASSERT_EQ(0u, beginListing(l, c.path, c.filter));
        EXPECT_EQ(c.expected, nameSet(l));
        EXPECT_EQ(c.expected.size(), l.getNumberOfFiles());
        if (c.expected.empty()) {
            EXPECT_EQ(1u, l.m_iFileListSize);
            EXPECT_EQ('\0', l.getFileList()[0]);
        }
        EXPECT_EQ(0u, l.end());
    }
    EXPECT_EQ(0u, log.count());

    KIVDirectoryListing l;
    EXPECT_EQ(ECF_INVALID_PARAMETER, beginListing(l, tmp.path(), 0xC000));
    EXPECT_EQ((std::vector<Uint64>{0xC000}), numbers(log.at(KIVFN_KIVDIRECTORYLISTING_BEGIN, 110)));
    EXPECT_FALSE(l.m_bBegun);
}

TEST_F(Listing, RelativePatternListsTheCurrentDirectory)
{
    populate();
    char saved[1024];
    ASSERT_NE(0u, GetCurrentDirectoryA(sizeof saved, saved));
    ASSERT_TRUE(SetCurrentDirectoryA(tmp.path().c_str()));
    KIVDirectoryListing l;
    Uint32 rc = beginListing(l, "*.log", KIV_LIST_FILES_ONLY);
    std::multiset<std::string> found = nameSet(l);
    l.end();
    SetCurrentDirectoryA(saved);
    ASSERT_EQ(0u, rc);
    EXPECT_EQ((std::multiset<std::string>{"c.log"}), found);
}

TEST_F(Listing, ManyFiles)
{
    const int count = 1000;
    std::set<std::string> expected = {".", ".."};
    Uint32 listSize = 1 + 2 + 3;
    for (int i = 0; i < count; ++i) {
        std::string name = "entry-" + std::to_string(i) + ".dat";
        writeFile(at(name), "");
        expected.insert(name);
        listSize += (Uint32)name.size() + 1;
    }
    KIVDirectoryListing l;
    ASSERT_EQ(0u, beginListing(l, tmp.path()));
    EXPECT_EQ((Uint32)count + 2, l.getNumberOfFiles());
    EXPECT_EQ(listSize, l.m_iFileListSize);
    std::vector<std::string> got = flatList(l);
    EXPECT_EQ(expected, std::set<std::string>(got.begin(), got.end()));
    EXPECT_EQ(got.size(), expected.size()) << "no name twice";
}

/* ---- the cursor and the calling order ---------------------------------------------------- */

TEST_F(Listing, CursorAndRewind)
{
    populate();
    KIVDirectoryListing l;
    EXPECT_EQ(nullptr, l.getNext()) << "nothing before begin";
    ASSERT_EQ(0u, beginListing(l, at("*.txt"), KIV_LIST_FILES_ONLY));
    const char* first = l.getNext();
    const char* second = l.getNext();
    ASSERT_NE(nullptr, first);
    ASSERT_NE(nullptr, second);
    EXPECT_EQ(nullptr, l.getNext());
    EXPECT_EQ(nullptr, l.getNext()) << "stays at the end";
    l.rewind();
    EXPECT_EQ(first, l.getNext()) << "the same name, at the same address";
    EXPECT_EQ(second, l.getNext());
    EXPECT_EQ(0u, l.end());
    EXPECT_EQ(nullptr, l.getNext());
    EXPECT_EQ(nullptr, l.getFileList());
    EXPECT_EQ(0u, l.getNumberOfFiles());
}

TEST_F(Listing, CallingOrder)
{
    KIVDirectoryListing l;
    EXPECT_EQ(ECF_INVALID_INVOCATION_SEQUENCE, l.end());
    log.at(KIVFN_KIVDIRECTORYLISTING_END, 10);
    ASSERT_EQ(0u, beginListing(l, tmp.path()));
    EXPECT_EQ(ECF_INVALID_INVOCATION_SEQUENCE, beginListing(l, tmp.path()));
    log.at(KIVFN_KIVDIRECTORYLISTING_BEGIN, 40);
    EXPECT_EQ(2u, l.getNumberOfFiles()) << "the refused begin changed nothing";
    EXPECT_EQ(0u, l.end());
    EXPECT_EQ(ECF_INVALID_INVOCATION_SEQUENCE, l.end());
    // After end the object begins afresh.
    writeFile(at("x"), "1");
    ASSERT_EQ(0u, beginListing(l, tmp.path()));
    EXPECT_EQ(3u, l.getNumberOfFiles());
}

TEST_F(Listing, ParameterChecks)
{
    KIVDirectoryListing l;
    EXPECT_EQ(ECF_INVALID_PARAMETER, l.begin(nullptr));
    EXPECT_EQ(KIVLOG_ERROR, log.at(KIVFN_KIVDIRECTORYLISTING_BEGIN, 1111).level);
    KIVDirectoryListingParam p;
    p.path = tmp.path().c_str();
    p.version = 20040701;
    EXPECT_EQ(ECF_INVALID_VERSION, l.begin(&p));
    EXPECT_EQ((std::vector<Uint64>{20040701, 20040702}),
              numbers(log.at(KIVFN_KIVDIRECTORYLISTING_BEGIN, 1112)));
    p.version = KIV_VERSION_CURRENT;
    p.path = nullptr;
    EXPECT_EQ(ECF_INVALID_PARAMETER, l.begin(&p));
    p.path = "";
    EXPECT_EQ(ECF_INVALID_PARAMETER, l.begin(&p));
    EXPECT_FALSE(l.m_bBegun);
}

/* ---- failures -------------------------------------------------------------------------- */

TEST_F(Listing, MissingDirectoryOrNoMatch)
{
    KIVDirectoryListing l;
    std::string missing = at("missing");
    EXPECT_EQ(ECF_FILE_PATH_DOESNT_EXIST, beginListing(l, missing));
    KivLogRecord r = log.at(KIVFN_KIVDIRECTORYLISTING_BEGIN, 80);
    EXPECT_EQ(KIVOSFN_FINDFIRSTFILE, r.calledFunctionId);
    EXPECT_EQ(3u, r.calledValue);
    EXPECT_TRUE(hasString(r, missing));
    EXPECT_TRUE(hasString(r, join(missing, "*")));
    EXPECT_FALSE(l.m_bBegun);

    populate();
    EXPECT_EQ(ECF_FILE_DOESNT_EXIST, beginListing(l, at("*.none")));
    EXPECT_EQ(ECF_FILE_PATH_DOESNT_EXIST, beginListing(l, join(missing, "*.txt")));
}

TEST_F(Listing, FileWhereADirectoryIsExpectedOrAPathTooLong)
{
    writeFile(at("file"), "1");
    KIVDirectoryListing l;
    Uint32 rc = beginListing(l, at("file"));
    // The system answers "not a directory" or "no such path" (wine: "bad
    // name").
    EXPECT_TRUE(rc == ECF_FILE_NOT_A_DIRECTORY || rc == ECF_FILE_PATH_DOESNT_EXIST ||
                (kivtestUnderWine() && rc == ECF_FILE_INVALID_NAME))
        << std::hex << rc;
    EXPECT_TRUE(hasString(log.at(KIVFN_KIVDIRECTORYLISTING_BEGIN, 80), at("file")));

    std::string tooLong = at(longName(300));
    EXPECT_EQ(ECF_FILE_NAME_TOO_LONG, beginListing(l, tooLong));
    EXPECT_TRUE(hasString(log.at(KIVFN_KIVDIRECTORYLISTING_BEGIN, 60), tooLong));
    EXPECT_EQ(ECF_FILE_NAME_TOO_LONG, beginListing(l, at(longName(300) + "*")));
}

#if !defined(_WIN32)
TEST_F(Listing, NamesTooLongToDescribeAreKeptUnfiltered)
{
    // The system's own calls make a name whose full path the Windows calls
    // refuse: it is still a name of the directory.
    std::string dir = at(longName(200, 'd'));
    ASSERT_TRUE(makeDir(dir));
    std::string name = longName(80, 'f');
    writeFile(join(dir, name), "x");
    KIVDirectoryListing l;
    ASSERT_EQ(0u, beginListing(l, dir));
    EXPECT_EQ((std::multiset<std::string>{".", "..", name}), nameSet(l));
    ASSERT_EQ(0u, l.end());
    ASSERT_EQ(0u, beginListing(l, dir, KIV_LIST_FILES_ONLY));
    EXPECT_EQ(0u, l.getNumberOfFiles()) << "its type cannot be told";
    ASSERT_EQ(0u, l.end());
}
#endif

/* ---- the printed list -------------------------------------------------------------------- */

KIVTEST_CHILD(dumpListing)
{
    if (args.size() != 2 || !std::freopen(args[1].c_str(), "wb", stdout))
        return 2;
    KIVDirectoryListing l;
    KIVDirectoryListingParam p;
    p.path = args[0].c_str();
    p.typeFilter = KIV_LIST_FILES_ONLY;
    if (l.begin(&p) != 0)
        return 3;
    l.dumpFileList();
    return l.end() == 0 ? 0 : 4;
}

TEST_F(Listing, DumpPrintsEveryName)
{
    writeFile(at("only.txt"), "1");
    std::string out = at("dump.out");
    ASSERT_EQ(0, kivtestRunChild("dumpListing", {at("*.txt"), out}));
    EXPECT_EQ("========================================= \r\n"
              "m_iFileListSize = 10\r\n"
              "There is/are 1 file(s) \r\n"
              "========> File List Dump Start <========= \r\n"
              "File 1 : |only.txt|\r\n"
              "========>  File List Dump End  <========= \r\n",
              kivtestReadFile(out));
}

/* ---- memory -------------------------------------------------------------------------------- */

/* Live blocks of the full debug mode that carry the listing's tag. */
int taggedBlocks()
{
    int n = 0;
    for (KIVMemAllocRecord* r = g_pMemDebugCB->allocListHead; r != nullptr; r = r->next)
        n += std::strcmp(r->fileName, "kivfile") == 0;
    return n;
}

/* Counts the listing's blocks in the allocator's list of live blocks: an
 * entry and a name per name, and the flat list. */
KIVTEST_CHILD(listingBlocks)
{
    kivtestSetEnv("KIVEMEMDBG", (args[1] + ",FULL").c_str());
    kivMemOneTimeOnly();
    if (g_pMemDebugCB == nullptr)
        return 2;
    int before = taggedBlocks();
    {
        KIVDirectoryListing l;
        KIVDirectoryListingParam p;
        p.path = args[0].c_str();
        if (l.begin(&p) != 0)
            return 3;
        if (taggedBlocks() - before != 2 * (int)l.getNumberOfFiles() + 1)
            return 4;
        if (l.end() != 0 || taggedBlocks() != before)
            return 5;
        // A listing left begun is released by its destructor.
        if (l.begin(&p) != 0 || taggedBlocks() == before)
            return 6;
    }
    return taggedBlocks() == before ? 0 : 7;
}

TEST_F(Listing, BlocksAreTaggedAndGivenBack)
{
    populate();
    KivTestTempDir logDir;
    EXPECT_EQ(0, kivtestRunChild("listingBlocks", {tmp.path(), logDir.path()}));
}

} // namespace
