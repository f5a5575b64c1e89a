/* test_file.cpp - the file handle (open, read/write, seek, size, lock, map) and
 * the primitive file; failures are checked through the log records they write. */
#include "kivecf.h"
#include "kivfile.h"
#include "kivlog.h"
#include "kivos.h"
#include "kivtest.h"
#include "kivtestlog.h"

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

namespace {

void writeRaw(const std::string& path, const std::string& content)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << content;
}

bool exists(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    return f.good();
}

Uint32 openFile(KIVHFile& f, const std::string& path, Uint32 openMode,
                Uint32 accessMode = KIV_FILE_READWRITE, Uint32 options = 0)
{
    KIVFileOpenParam p;
    p.fileName = path.c_str();
    p.openMode = openMode;
    p.accessMode = accessMode;
    p.options = options;
    return f.open(&p);
}

Uint32 writeText(KIVHFile& f, const std::string& text, Uint32* written = nullptr)
{
    KIVFileWriteParam p;
    p.buffer = text.data();
    p.byteCount = (Uint32)text.size();
    Uint32 n = 0;
    Uint32 rc = f.write(&p, &n);
    if (written)
        *written = n;
    return rc;
}

Uint32 readText(KIVHFile& f, Uint32 count, std::string* text)
{
    KIVFileReadParam p;
    p.byteCount = count;
    std::vector<char> buf(count + 1);
    Uint32 got = 0xDEADu;
    Uint32 rc = f.read(&p, buf.data(), &got);
    text->assign(buf.data(), got);
    return rc;
}

Uint32 seekTo(KIVHFile& f, Sint64 offset, Uint32 origin, Uint64* position = nullptr)
{
    KIVFileSeekParam p;
    p.offset = offset;
    p.origin = origin;
    return f.seek(&p, position);
}

Uint64 positionOf(KIVHFile& f)
{
    Uint64 pos = ~(Uint64)0;
    EXPECT_EQ(0u, seekTo(f, 0, KIV_FILE_SEEK_CUR, &pos));
    return pos;
}

Uint64 sizeOf(KIVHFile& f)
{
    Uint64 size = ~(Uint64)0;
    EXPECT_EQ(0u, f.getSize(&size));
    return size;
}

Uint32 setSize(KIVHFile& f, Uint64 newSize, Uint32 flags = 0)
{
    KIVFileSetSizeParam p;
    p.newSize = newSize;
    p.flags = flags;
    return f.setSize(&p);
}

Uint32 lockFile(KIVHFile& f, Uint32 type, Uint32 wait)
{
    KIVFileLockParam p(type, wait);
    return f.lock(&p);
}

Uint32 mapFile(KIVHFile& f, Uint32 protection, void** view, Uint32 length = 0)
{
    KIVFileMapParam p;
    p.protection = protection;
    p.length = length;
    *view = nullptr;
    return f.map(&p, view);
}

class FileTest : public ::testing::Test {
protected:
    KivTestTempDir dir;
    KivLogCapture log;
    std::string path(const char* name) const { return dir.file(name); }

    void openWith(KIVHFile& f, const std::string& p, const std::string& content)
    {
        writeRaw(p, content);
        ASSERT_EQ(0u, openFile(f, p, KIV_FILE_OPEN_EXISTING));
    }
};

} // namespace

TEST_F(FileTest, NullParameterObjectIsRefusedWithProbe1111)
{
    KIVHFile f;
    Uint32 n = 0;
    char buf[4];
    void* view = nullptr;
    const struct {
        Uint32 fn;
        Uint32 rc;
    } cases[] = {
        {KIVFN_KIVHFILE_OPEN, f.open(nullptr)},
        {KIVFN_KIVHFILE_READ, f.read(nullptr, buf, &n)},
        {KIVFN_KIVHFILE_MAP, f.map(nullptr, &view)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fn);
        EXPECT_EQ(ECF_INVALID_PARAMETER, c.rc);
        kivtestExpectNullRecord(log, c.fn);
    }
}

TEST_F(FileTest, VersionBelowMinimumIsRefusedWithProbe1112)
{
    std::string p = path("v.dat");
    KIVFileOpenParam o;
    o.fileName = p.c_str();
    o.openMode = KIV_FILE_CREATE_ALWAYS;
    o.accessMode = KIV_FILE_READWRITE;
    o.version = KIV_VERSION_MIN - 1;
    KIVHFile f;
    EXPECT_EQ(ECF_INVALID_VERSION, f.open(&o));
    EXPECT_FALSE(exists(p));
    kivtestExpectVersionRecord(log, KIVFN_KIVHFILE_OPEN, KIV_VERSION_MIN - 1);
    o.version = KIV_VERSION_MIN;
    ASSERT_EQ(0u, f.open(&o));
    EXPECT_EQ(0u, f.close());
}

TEST_F(FileTest, OpenRefusesBadCodesBeforeTouchingTheFile)
{
    std::string p = path("codes.dat");
    KIVHFile f;
    const struct {
        Uint32 openMode, accessMode, probe;
        bool named;
    } cases[] = {
        {KIV_FILE_OPEN_ALWAYS, KIV_FILE_READWRITE, 210, false},
        {0, KIV_FILE_READWRITE, 230, true},  {32, KIV_FILE_READWRITE, 230, true},
        {KIV_FILE_CREATE_ALWAYS, 0, 240, true}, {KIV_FILE_CREATE_ALWAYS, 8, 240, true},
        {KIV_FILE_TRUNCATE, KIV_FILE_READ, 250, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.probe);
        log.clear();
        KIVFileOpenParam o;
        o.fileName = c.named ? p.c_str() : nullptr;
        o.openMode = c.openMode;
        o.accessMode = c.accessMode;
        EXPECT_EQ(ECF_INVALID_PARAMETER, f.open(&o));
        KivLogRecord r = log.at(KIVFN_KIVHFILE_OPEN, c.probe);
        EXPECT_EQ(5u, r.level);
        EXPECT_TRUE(!c.named || !r.items.empty()) << "the offending values";
    }
    EXPECT_FALSE(exists(p));
    EXPECT_EQ(INVALID_HANDLE_VALUE, f.fileHandle);
}

TEST_F(FileTest, ExistenceIsCheckedBeforeCreateFile)
{
    /* Open-existing of a missing file: refused, nothing created. */
    std::string p = path("missing.dat");
    KIVHFile f;
    EXPECT_EQ(ECF_FILE_DOESNT_EXIST, openFile(f, p, KIV_FILE_OPEN_EXISTING));
    KivLogRecord r = log.at(KIVFN_KIVHFILE_OPEN, 270);
    EXPECT_EQ(ECF_FILE_DOESNT_EXIST, r.messageCode);
    EXPECT_EQ(0u, r.calledFunctionId);
    ASSERT_EQ(1u, r.items.size());
    EXPECT_EQ(p, r.items[0].asString());
    EXPECT_FALSE(exists(p));

    /* Create-new of an existing file: refused, the file kept. */
    writeRaw(p, "keep");
    EXPECT_EQ(ECF_FILE_EXISTS, openFile(f, p, KIV_FILE_CREATE_NEW));
    r = log.at(KIVFN_KIVHFILE_OPEN, 260);
    ASSERT_EQ(1u, r.items.size());
    EXPECT_EQ(p, r.items[0].asString());
    EXPECT_EQ("keep", kivtestReadFile(p));
}

TEST_F(FileTest, OpenModesKeepTruncateAndReplace)
{
    std::string p = path("modes.dat");
    KIVHFile f;
    ASSERT_EQ(0u, openFile(f, p, KIV_FILE_OPEN_ALWAYS)); // created when missing
    EXPECT_EQ(0u, writeText(f, "0123456789"));
    EXPECT_EQ(0u, f.close());
    ASSERT_EQ(0u, openFile(f, p, KIV_FILE_OPEN_ALWAYS, KIV_FILE_READ)); // kept
    EXPECT_EQ(10u, sizeOf(f));
    EXPECT_EQ(0u, f.close());
    ASSERT_EQ(0u, openFile(f, p, KIV_FILE_TRUNCATE, KIV_FILE_WRITE));
    EXPECT_EQ(0u, sizeOf(f));
    EXPECT_EQ(0u, writeText(f, "abc"));
    EXPECT_EQ(0u, f.close());
    ASSERT_EQ(0u, openFile(f, p, KIV_FILE_CREATE_ALWAYS));
    EXPECT_EQ(0u, sizeOf(f));
    EXPECT_EQ(0u, f.close());
    EXPECT_TRUE(log.of(KIVFN_KIVHFILE_OPEN).empty());
}

TEST_F(FileTest, WrittenBytesReadBack)
{
    std::string p = path("rw.dat");
    KIVHFile f;
    ASSERT_EQ(0u, openFile(f, p, KIV_FILE_CREATE_ALWAYS));
    Uint32 written = 0;
    EXPECT_EQ(0u, writeText(f, "hello world", &written));
    EXPECT_EQ(11u, written);
    EXPECT_EQ(0u, seekTo(f, 0, KIV_FILE_SEEK_SET));
    std::string text;
    EXPECT_EQ(0u, readText(f, 6, &text));
    EXPECT_EQ("hello ", text);
    // A short read is the end of file with the bytes that were there; at
    // the end, nothing.  An answer, not a failure: nothing is logged.
    EXPECT_EQ(0u, seekTo(f, 7, KIV_FILE_SEEK_SET));
    EXPECT_EQ(ECF_FILE_EOF, readText(f, 10, &text));
    EXPECT_EQ("orld", text);
    EXPECT_EQ(ECF_FILE_EOF, readText(f, 10, &text));
    EXPECT_EQ("", text);
    EXPECT_EQ(0u, f.close());
    EXPECT_EQ("hello world", kivtestReadFile(p));
    EXPECT_EQ(0u, log.count());
}

TEST_F(FileTest, SeekClampsBelowZeroAndStopsAtTheEnd)
{
    KIVHFile f;
    openWith(f, path("seek.dat"), "0123456789");
    Uint64 pos = 99;
    EXPECT_EQ(0u, seekTo(f, -5, KIV_FILE_SEEK_SET, &pos));
    EXPECT_EQ(0u, pos);
    EXPECT_EQ(0u, seekTo(f, -3, KIV_FILE_SEEK_END, &pos));
    EXPECT_EQ(7u, pos);
    EXPECT_EQ(0u, seekTo(f, 10, KIV_FILE_SEEK_SET, &pos)); // exactly the end
    EXPECT_EQ(10u, pos);
    EXPECT_EQ(0u, seekTo(f, 6, KIV_FILE_SEEK_SET, nullptr));
    // One past the end is refused and the position stays.
    EXPECT_EQ(ECF_FILE_SEEK_BEYOND_EOF, seekTo(f, 11, KIV_FILE_SEEK_SET, &pos));
    EXPECT_EQ(6u, positionOf(f));
    KivLogRecord r = log.at(KIVFN_KIVHFILE_SEEK, 150);
    EXPECT_EQ(5u, r.level);
    ASSERT_EQ(2u, r.items.size());
    EXPECT_EQ(11u, r.items[0].asUint());
    EXPECT_EQ(10u, r.items[1].asUint());
    EXPECT_EQ(10u, sizeOf(f)); // a seek never extends the file
    EXPECT_EQ(ECF_INVALID_PARAMETER, seekTo(f, 0, 3));
    EXPECT_EQ(5u, log.at(KIVFN_KIVHFILE_SEEK, 120).level);
    EXPECT_EQ(0u, f.close());
}

TEST_F(FileTest, SetSizeKeepsThePositionWhileItLiesInsideTheFile)
{
    KIVHFile f;
    std::string p = path("setsize.dat");
    openWith(f, p, std::string(100, 'a'));
    EXPECT_EQ(0u, seekTo(f, 50, KIV_FILE_SEEK_SET));
    EXPECT_EQ(0u, setSize(f, 200)); // grow: the position comes back
    EXPECT_EQ(200u, sizeOf(f));
    EXPECT_EQ(50u, positionOf(f));
    EXPECT_EQ(0u, setSize(f, 20)); // shrink below it: the position is the new end
    EXPECT_EQ(20u, sizeOf(f));
    EXPECT_EQ(20u, positionOf(f));
    EXPECT_EQ(0u, seekTo(f, 5, KIV_FILE_SEEK_SET));
    EXPECT_EQ(0u, setSize(f, 10)); // shrink above it
    EXPECT_EQ(5u, positionOf(f));
    EXPECT_TRUE(log.of(KIVFN_KIVHFILE_SETSIZE).empty());
    EXPECT_EQ(ECF_INVALID_PARAMETER, setSize(f, 1, 1));
    KivLogRecord r = log.at(KIVFN_KIVHFILE_SETSIZE, 30);
    ASSERT_EQ(1u, r.items.size());
    EXPECT_EQ(1u, r.items[0].asUint());
    EXPECT_EQ(10u, sizeOf(f));
    EXPECT_EQ(0u, f.close());
    EXPECT_EQ(std::string(10, 'a'), kivtestReadFile(p));
}

TEST_F(FileTest, LockOnOneHandleExcludesAnother)
{
    std::string p = path("lock.dat");
    writeRaw(p, ""); // the lock covers byte 0 whatever the size
    KIVHFile a, b;
    ASSERT_EQ(0u, openFile(a, p, KIV_FILE_OPEN_EXISTING));
    ASSERT_EQ(0u, openFile(b, p, KIV_FILE_OPEN_EXISTING));
    EXPECT_EQ(0u, lockFile(a, KIV_FILE_LOCK_EXCLUSIVE, KIV_FILE_LOCK_NOWAIT));
    EXPECT_EQ(ECF_FILE_LOCK, lockFile(b, KIV_FILE_LOCK_SHARED, KIV_FILE_LOCK_NOWAIT));
    EXPECT_EQ(0u, a.unlock());
    // Shared locks coexist and keep an exclusive one out.
    EXPECT_EQ(0u, lockFile(a, KIV_FILE_LOCK_SHARED, KIV_FILE_LOCK_NOWAIT));
    EXPECT_EQ(0u, lockFile(b, KIV_FILE_LOCK_SHARED, KIV_FILE_LOCK_NOWAIT));
    EXPECT_EQ(0u, a.unlock());
    EXPECT_EQ(ECF_FILE_LOCK, lockFile(a, KIV_FILE_LOCK_EXCLUSIVE, KIV_FILE_LOCK_NOWAIT));
    EXPECT_EQ(0u, b.unlock());
    // An unlocked file unlocks without complaint; a refused lock is no failure.
    EXPECT_EQ(0u, a.unlock());
    EXPECT_TRUE(log.of(KIVFN_KIVHFILE_LOCK).empty());
    EXPECT_TRUE(log.of(KIVFN_KIVHFILE_UNLOCK).empty());
    EXPECT_EQ(0u, a.close());
    EXPECT_EQ(0u, b.close());
}

TEST_F(FileTest, FailedSystemCallsAreMappedAndLoggedWithTheCallAndItsError)
{
    const std::string p = path("sys.dat");
    writeRaw(p, "data");
#if defined(_WIN32)
    const std::string inMissingDir = path("nodir") + "\\x.dat";
#else
    const std::string inMissingDir = path("nodir") + "/x.dat";
#endif
    KIVHFile ro, wo, shut, missing;
    ASSERT_EQ(0u, openFile(ro, p, KIV_FILE_OPEN_EXISTING, KIV_FILE_READ));
    ASSERT_EQ(0u, openFile(wo, p, KIV_FILE_OPEN_EXISTING, KIV_FILE_WRITE));
    ASSERT_EQ(0u, openFile(shut, p, KIV_FILE_OPEN_EXISTING));
    ASSERT_EQ(0u, shut.close());
    std::string text;
    Uint64 size = 0;
    const struct {
        const char* what;
        Uint32 rc, fn, probe, call, error, expected;
    } cases[] = {
        {"open in a missing directory", openFile(missing, inMissingDir, KIV_FILE_OPEN_ALWAYS),
         KIVFN_KIVHFILE_OPEN, 280, KIVOSFN_CREATEFILE, 3, ECF_FILE_PATH_DOESNT_EXIST},
        {"write on a read-only handle", writeText(ro, "x"), KIVFN_KIVHFILE_WRITE, 40,
         KIVOSFN_WRITEFILE, 5, ECF_ACCESS_DENIED},
        {"read on a write-only handle", readText(wo, 2, &text), KIVFN_KIVHFILE_READ, 40,
         KIVOSFN_READFILE, 5, ECF_ACCESS_DENIED},
        {"size of a closed handle", shut.getSize(&size), KIVFN_KIVHFILE_GETSIZE, 10,
         KIVOSFN_GETFILESIZE, 6, ECF_INVALID_PARAMETER},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(c.expected, c.rc);
        KivLogRecord r = log.at(c.fn, c.probe);
        EXPECT_EQ(c.call, r.calledFunctionId);
        EXPECT_EQ(c.error, r.calledValue);
        EXPECT_EQ(c.expected, r.messageCode);
    }
    EXPECT_EQ(INVALID_HANDLE_VALUE, missing.fileHandle);
    EXPECT_EQ(0u, ro.close());
    EXPECT_EQ(0u, wo.close());
    EXPECT_EQ("data", kivtestReadFile(p));
}

TEST_F(FileTest, ReadWriteMapChangesTheFileAndCopyOnWriteDoesNot)
{
    KIVHFile f;
    std::string p = path("mapw.dat");
    openWith(f, p, "aaaaaaaa");
    void* view = nullptr;
    ASSERT_EQ(0u, mapFile(f, KIV_FILE_MAP_READWRITE, &view));
    EXPECT_EQ(view, f.mappedView);
    std::memcpy(view, "BB", 2);
    EXPECT_EQ(0u, f.unmap(nullptr)); // the stored view
    EXPECT_EQ(INVALID_HANDLE_VALUE, f.mappingHandle);
    EXPECT_EQ(nullptr, f.mappedView);
    std::string text;
    EXPECT_EQ(0u, readText(f, 8, &text));
    EXPECT_EQ("BBaaaaaa", text);

    ASSERT_EQ(0u, mapFile(f, KIV_FILE_MAP_COPY, &view, 4)); // the first bytes only
    std::memcpy(static_cast<char*>(view) + 2, "CC", 2);
    EXPECT_EQ(0, std::memcmp(view, "BBCC", 4)); // the process sees its copy
    EXPECT_EQ(0u, f.unmap(view));
    EXPECT_EQ(INVALID_HANDLE_VALUE, f.mappingHandle);
    EXPECT_EQ(0u, f.close());
    EXPECT_EQ("BBaaaaaa", kivtestReadFile(p)); // the file does not
}

namespace {
class PrimitiveFile : public ::testing::Test {
protected:
    KivTestTempDir dir;
    std::string p = dir.file("prim.dat");
};
} // namespace

TEST_F(PrimitiveFile, WriteReadSeekAndSize)
{
    KIVPrimitiveFileOp f;
    EXPECT_FALSE(f.isValid());
    EXPECT_EQ((int)ERROR_FILE_NOT_FOUND, f.open(p.c_str(), 0));
    EXPECT_FALSE(f.isValid());
    EXPECT_EQ((int)ERROR_FILE_NOT_FOUND, f.open(p.c_str(), KIV_PFILE_EXISTING | KIV_PFILE_CREATE));
    EXPECT_FALSE(exists(p));

    ASSERT_EQ(0, f.open(p.c_str(), KIV_PFILE_CREATE));
    EXPECT_TRUE(f.isValid());
    EXPECT_EQ(0, f.write("abc", 0)); // count 0: the string without its NUL
    EXPECT_EQ(0, f.write("defgh", 2));
    KIVPrimitiveFileOp::offsetType size = {99};
    EXPECT_EQ(0, f.getSize(&size));
    EXPECT_EQ(5u, size.m_offset);
    f.seekToOffset(KIVPrimitiveFileOp::offsetType{1});
    EXPECT_EQ(1u, f.getCurrentOffset().m_offset);
    char buf[16] = {0};
    Uint32 got = 0;
    EXPECT_EQ(0, f.read(sizeof buf, buf, &got)); // a short read is a success
    EXPECT_EQ(4u, got);
    EXPECT_EQ(0, std::memcmp(buf, "bcde", 4));
    f.seekToEnd();
    EXPECT_EQ(5u, f.getCurrentOffset().m_offset);
    f.fwrite("[%d-%s]", 42, "x");
    f.fwrite("%s", std::string(3000, 'q').c_str()); // cut to 2047 bytes
    f.close();
    EXPECT_FALSE(f.isValid()); // a closed object does not look open
    f.close();                 // and closing it again does nothing
    EXPECT_EQ("abcde[42-x]" + std::string(2047, 'q'), kivtestReadFile(p));
}
