/*
 * test_fuzzcases.cpp - inputs the fuzzing targets (fuzz/) turned up, each
 * cut down to what shows the fault, with the result it must give.  The
 * inputs are also in the targets' corpora.  Trap-reader cases that only a
 * 32-bit reader could get wrong were found while the reader was being made
 * fit for fuzzing; they are here because they are the same kind of input.
 */
#include "kivecf.h"
#include "kivlog.h"
#include "kivtest.h"

#include "../tools/kivtrapread.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <string>
#include <vector>

namespace {

/* ---- the log formatter --------------------------------------------------------- */

const Uint32 kFn = 0x081A0002u;   /* KIVHFile::open */

/* The list every nested item below refers to: the frame's own items. */
va_list g_self;

/* Logs one nested item, `g_self`, made of this call's own items. */
Uint32 logSelfNested(KIVLogFac* fac, int nestedCount, ...)
{
    va_list ap;
    va_start(ap, nestedCount);
    va_copy(g_self, ap);
    Uint32 rc = kivLog(fac, kFn, 0, 10, KIVLOG_ERROR, 1, KIVLOG_NESTED(g_self, nestedCount));
    va_end(g_self);
    va_end(ap);
    return rc;
}

Uint32 openFileFacility(KIVLogFac* fac, const std::string& path)
{
    KIVLogFacParam p;
    snprintf(p.fileName, sizeof p.fileName, "%s", path.c_str());
    snprintf(p.name, sizeof p.name, "%s", "kivtest");
    p.level = KIVLOG_INFO;
    p.destination = KIVLOG_DEST_FILE;
    p.permissions = 0644;
    return kivLogFacOpen(&p, fac);
}

} // namespace

/* A list holding 31 references to itself: the nesting depth limit of 8 alone
 * let the formatter walk it 31^8 times (a hang, with the busy flag set for
 * the whole process).  The record is written at once, with no items. */
TEST(FuzzCaseLog, ListThatContainsItselfManyTimesIsWrittenAtOnce)
{
    KivTestTempDir dir;
    KIVLogFac fac;
    memset(&fac, 0, sizeof fac);
    ASSERT_EQ(0u, openFileFacility(&fac, dir.file("log.txt")));
#define SELF KIVLOG_NESTED(g_self, 31)
#define SELF8 SELF, SELF, SELF, SELF, SELF, SELF, SELF, SELF
    EXPECT_EQ(0u, logSelfNested(&fac, 31, SELF8, SELF8, SELF8, SELF, SELF, SELF, SELF, SELF, SELF,
                                SELF));
#undef SELF8
#undef SELF
    kivLogFacClose(&fac);
    std::string text = kivtestReadFile(dir.file("log.txt"));
    EXPECT_NE(std::string::npos, text.find("LEVEL: Error")) << text;
    EXPECT_NE(std::string::npos, text.find("probe:10")) << text;
    EXPECT_EQ(std::string::npos, text.find("DATA #")) << "nested lists have no labels";
}

/* ---- the trap reader ------------------------------------------------------------- */

namespace {

class NoNames : public kivtrapread::TrapNamer {
public:
    void setModules(const std::vector<kivtrapread::TrapModule>&, const std::string&) override {}
    std::string name(uint64_t) override { return std::string(); }
};

typedef std::vector<unsigned char> Bytes;

void put(Bytes& b, size_t at, uint64_t value, unsigned width)
{
    if (b.size() < at + width)
        b.resize(at + width, 0);
    for (unsigned i = 0; i < width; ++i)
        b[at + i] = (unsigned char)(value >> (8 * i));
}

void append(Bytes& b, uint64_t value, unsigned width) { put(b, b.size(), value, width); }

/* A header alone: eye-catcher, flags, no modules, no instruction bytes. */
Bytes header(const kivtrapread::Layout& l, const char* eye, uint32_t flags)
{
    Bytes b(l.header, 0);
    memcpy(b.data(), eye, 8);
    put(b, l.headerFlags, flags, 4);
    return b;
}

struct Reading {
    int         rc;
    std::string text;
};

Reading readTrap(const Bytes& bytes, unsigned sections)
{
    KivTestTempDir dir;
    FILE* out = fopen(dir.file("out.txt").c_str(), "w");
    EXPECT_NE(nullptr, out);
    Reading r = {-1, std::string()};
    if (!out)
        return r;
    NoNames names;
    r.rc = kivtrapread::readTrapFile(bytes, sections, false, names, out);
    fclose(out);
    r.text = kivtestReadFile(dir.file("out.txt"));
    return r;
}

} // namespace

/* A 64-bit trap file's region of 4 GB + 16 bytes, followed by 16 bytes and
 * the end marker: a 32-bit reader cut the size to 16 and printed a region
 * the file does not hold.  The file ends inside the region. */
TEST(FuzzCaseTrapReader, RegionLongerThanTheFileIsTruncation)
{
    Bytes b = header(kivtrapread::kLayout64, "*TPHDR64", KIV_TRAP_HAS_REGIONS);
    append(b, 0x10000, 8);             /* base */
    append(b, 0x100000010ull, 8);      /* size */
    b.resize(b.size() + 16, 0xAB);
    append(b, KIV_TRAP_REGIONS_END, 4);

    Reading r = readTrap(b, KIV_TRAP_SECTION_MEMORY);
    EXPECT_EQ(kivtrapread::kNotTrapOrTruncated, r.rc) << r.text;
    EXPECT_NE(std::string::npos, r.text.find("ends in the middle of a section (offset 408)"))
        << r.text;
    EXPECT_EQ(std::string::npos, r.text.find("4294967312 bytes")) << r.text;
}

/* A raw stack of 0x40000001 words of 4 bytes: on a 32-bit reader the byte
 * count wrapped to 4 and one word was printed as the whole stack. */
TEST(FuzzCaseTrapReader, RawStackWordCountThatWrapsIsTruncation)
{
    const kivtrapread::Layout& l = kivtrapread::kLayout32;
    Bytes b = header(l, "*TPHDR32", KIV_TRAP_HAS_CONTEXT);
    b.resize(b.size() + kivtrapread::kStackFrameSize, 0);   /* one frame, return address 0 */
    append(b, 0x40000001u, 4);
    append(b, 0x12345678u, 4);

    Reading r = readTrap(b, KIV_TRAP_SECTION_STACK);
    EXPECT_EQ(kivtrapread::kNotTrapOrTruncated, r.rc) << r.text;
    EXPECT_NE(std::string::npos, r.text.find("ends in the middle of a section (offset 656)"))
        << r.text;
    EXPECT_EQ(std::string::npos, r.text.find("Raw stack:")) << r.text;
}
