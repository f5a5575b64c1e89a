/*
 * fuzz_dump.cpp - any bytes as a trace dump file: the validators, then the
 * parser forwards and backwards over every record, through the gtrace and
 * the rambo entry points.
 *
 * The input is a dump without the part of its prefix no reader looks at:
 * its first 64 bytes (eye-catcher and the leading option words: buffer
 * size, trace kind, wrap file size) are the file's first 64 bytes, the rest
 * of the input follows the 200568-byte prefix, and the bytes between are
 * zero.  That keeps a real dump of the smallest ring (512 KB of slots) to a
 * seed of about the same size, and leaves the fuzzer's mutations for the
 * bytes that matter.  An input of up to 64 bytes is the whole file (a
 * truncated header).
 */
#include "gtdump.h"
#include "kivecf.h"
#include "kivfile.h"

#include <stdint.h>
#include <string.h>

#include <vector>

#include "fuzz_common.h"

namespace {

const size_t kKeptPrefix = 64;
const Uint32 kOutSize = 200;   /* smaller than most records: the copy is cut */

FuzzScratchFile& scratch()
{
    static FuzzScratchFile file("kivfuzz-dump");
    return file;
}

Uint64 writeDump(const uint8_t* data, size_t size)
{
    static const std::vector<uint8_t> zeros(GTRACE_DUMP_PREFIX_SIZE - kKeptPrefix, 0);
    if (size <= kKeptPrefix) {
        const void* pieces[] = {data};
        const size_t sizes[] = {size};
        scratch().rewrite(pieces, sizes, 1);
        return size;
    }
    const void* pieces[] = {data, zeros.data(), data + kKeptPrefix};
    const size_t sizes[] = {kKeptPrefix, zeros.size(), size - kKeptPrefix};
    scratch().rewrite(pieces, sizes, 3);
    return size + zeros.size();
}

Uint64 positionOf(KIVHFile& file)
{
    KIVFileSeekParam p;
    p.offset = 0;
    p.origin = KIV_FILE_SEEK_CUR;
    Uint64 at = ~0ull;
    FUZZ_CHECK(file.seek(&p, &at) == 0);
    return at;
}

void seekTo(KIVHFile& file, Uint64 position)
{
    KIVFileSeekParam p;
    p.offset = (Sint64)position;
    p.origin = KIV_FILE_SEEK_SET;
    FUZZ_CHECK(file.seek(&p, nullptr) == 0);
}

/* Every record a walk yields must lie inside the file, and the walk must
 * end: each good record takes at least one 16-byte entry or 64-byte slot. */
void checkRecord(Uint32 length, Uint64 position, Uint64 fileSize, bool profile)
{
    if (profile) {
        FUZZ_CHECK(length == 16);
    } else {
        FUZZ_CHECK(length % 64 == 52 && length <= 2048u * 64 - 12);
    }
    FUZZ_CHECK(position <= fileSize && length <= fileSize - position);
}

template <class Next>
void walkAll(Next next, Uint64 fileSize, bool profile)
{
    /* Exact size on the heap: a copy past outSize is an overflow. */
    std::vector<uint8_t> out(kOutSize);
    const Uint64 limit = fileSize / 16 + 2;
    Uint64 count = 0;
    for (;;) {
        Uint64 position = ~0ull;
        Uint32 length = next(&position, out.data(), kOutSize);
        if (length == 0)
            break;
        checkRecord(length, position, fileSize, profile);
        FUZZ_CHECK(++count <= limit);
    }
    FUZZ_CHECK(next(nullptr, nullptr, 0) == 0);   /* the end stays the end */
}

void gtraceWalk(KIVHFile& file, Uint64 fileSize, Uint8 forward, Uint32 validateRc)
{
    seekTo(file, 0);
    GtraceDumpFileParser parser;
    Uint32 rc = gtraceOpenDumpFileParser(&file, &parser, forward);
    // What validates must open; the profile open looks at less than validation.
    FUZZ_CHECK(validateRc != 0 || rc == 0);
    if (rc != 0)
        return;
    const bool profile = parser.kind == GTRACE_PARSER_PROFILE;
    walkAll(
        [&](Uint64* at, void* out, Uint32 outSize) {
            return gtraceParseRecords(&file, &parser, at, out, outSize);
        },
        fileSize, profile);
    if (!profile) {
        Uint8 flag = 0xFF;
        Uint32 rejected = 0;
        FUZZ_CHECK(ramboDidBufferWrap(&parser.ring, &flag) == 0 && flag <= 1);
        FUZZ_CHECK(ramboWasBufferTruncated(&parser.ring, &flag) == 0 && flag <= 1);
        FUZZ_CHECK(ramboGetRejectedRecords(&parser.ring, &rejected) == 0);
    }
    FUZZ_CHECK(gtraceCloseDumpFileParser(&parser) == 0);
}

void ramboWalk(KIVHFile& file, Uint64 fileSize, Uint8 forward)
{
    seekTo(file, GTRACE_DUMP_PREFIX_SIZE);
    Uint32 validateRc = ramboValidateDumpFile(&file);
    FUZZ_CHECK(positionOf(file) == GTRACE_DUMP_PREFIX_SIZE);
    RamboDumpParser state;
    Uint32 rc = ramboOpenDumpFileParser(&file, &state, forward);
    FUZZ_CHECK((validateRc == 0) == (rc == 0));
    if (rc != 0)
        return;
    walkAll(
        [&](Uint64* at, void* out, Uint32 outSize) {
            return ramboParseDumpFile(&file, &state, at, out, outSize);
        },
        fileSize, false);
    FUZZ_CHECK(ramboCloseDumpFileParser(&state) == 0);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const Uint64 fileSize = writeDump(data, size);
    KIVFileOpenParam p;
    p.fileName = scratch().path();
    p.openMode = KIV_FILE_OPEN_EXISTING;
    p.accessMode = KIV_FILE_READ;
    KIVHFile file;
    FUZZ_CHECK(file.open(&p) == 0);

    const Uint32 validateRc = gtraceValidateDumpFile(&file, 0);
    FUZZ_CHECK(positionOf(file) == 0);   /* put back, whatever the outcome */
    gtraceWalk(file, fileSize, 1, validateRc);
    gtraceWalk(file, fileSize, 0, validateRc);
    if (fileSize >= GTRACE_DUMP_PREFIX_SIZE) {
        ramboWalk(file, fileSize, 1);
        ramboWalk(file, fileSize, 0);
    }
    FUZZ_CHECK(file.close() == 0);
    return 0;
}
