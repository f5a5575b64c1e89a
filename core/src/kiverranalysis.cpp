/*
 * kiverranalysis.cpp - the self-diagnosis that follows the log record of a
 * failed system call: a second record that gathers, for the kind of failure
 * at hand, facts that may explain it (memory figures, the target file, the
 * permissions of each directory on its path, its file system).
 *
 * The selection rules test errno-style numbers (1 permission, 11 try again,
 * 12 no memory, 13 access, 20 not a directory, 22 invalid, 23/24 too many
 * open files, 27 file too large, 28 no space) whatever scheme the failing
 * call used: they were written for the C runtime's calls, and a Windows
 * number that happens to match simply selects the same sections.
 */
#include "kiverranalysis.h"

#include "kivecf.h"
#include "kivlog.h"
#include "kivpath.h"
#include "kivstring.h"
#include "kivsysinfo.h"

#include <atomic>
#include <string.h>

namespace {

enum : Uint32 {
    kEPERM = 1, kEAGAIN = 11, kENOMEM = 12, kEACCES = 13, kENOTDIR = 20, kEINVAL = 22,
    kENFILE = 23, kEMFILE = 24, kEFBIG = 27, kENOSPC = 28
};

/* Calls that name a path: a refusal there is worth the walk down the path. */
bool isPathCall(Uint32 fn)
{
    switch (fn) {
    case 0x08140001u: case 0x08140002u: case 0x08140003u: /* access, ..., chmod */
    case KIVOSFN_FSTAT:   case KIVOSFN_LINK:    case KIVOSFN_LSTAT:
    case KIVOSFN_MKDIR:   case KIVOSFN_OPEN:    case KIVOSFN_READDIR_R:
    case KIVOSFN_RENAME:  case KIVOSFN_RMDIR:   case KIVOSFN_STAT:
    case KIVOSFN_STATVFS: case KIVOSFN_UNLINK:  case KIVOSFN_STAT_CRT:
    case KIVOSFN_STATFS:  case KIVOSFN_FSTAT64: case KIVOSFN_REALPATH:
        return true;
    default:
        return false;
    }
}

/* Calls that move data: any failure there concerns the target file. */
bool isTransferCall(Uint32 fn)
{
    switch (fn) {
    case KIVOSFN_READ: case KIVOSFN_WRITE: case KIVOSFN_WRITEV: case KIVOSFN_READV:
    case 0x0814016Cu: case 0x0814016Du: case 0x0814016Eu: /* preadv .. pwrite */
        return true;
    default:
        return false;
    }
}

Uint32 callSections(Uint32 fn, Uint32 err)
{
    if (isPathCall(fn)) {
        if (err == kEPERM || err == kEACCES)
            return KIV_ANALYSIS_USER_INFO | KIV_ANALYSIS_PATH_ACCESS;
        if (err == kENOTDIR)
            return KIV_ANALYSIS_USER_INFO | KIV_ANALYSIS_TARGET_FILE | KIV_ANALYSIS_PATH_ACCESS;
        return 0;
    }
    if (isTransferCall(fn))
        return KIV_ANALYSIS_USER_INFO | KIV_ANALYSIS_TARGET_FILE | KIV_ANALYSIS_IO_ATTEMPT;
    switch (fn) {
    case KIVOSFN_MMAP:
        return err == kEACCES ? KIV_ANALYSIS_TARGET_FILE : 0;
    case KIVOSFN_FTRUNCATE:
        if (err == kEINVAL)
            return KIV_ANALYSIS_USER_INFO | KIV_ANALYSIS_TARGET_FILE;
        if (err == kEPERM || err == kEACCES)
            return KIV_ANALYSIS_USER_INFO | KIV_ANALYSIS_PATH_ACCESS;
        return 0;
    case KIVOSFN_FORK:
        return err == kEAGAIN ? KIV_ANALYSIS_USER_INFO | KIV_ANALYSIS_ULIMIT_INFO : 0;
    default:
        return 0;
    }
}

/* Resource exhaustion, whatever call met it. */
Uint32 errorSections(Uint32 err)
{
    switch (err) {
    case kENOMEM:
        return KIV_ANALYSIS_USER_INFO | KIV_ANALYSIS_ULIMIT_INFO | KIV_ANALYSIS_MEMORY_INFO;
    case kENFILE:
    case kEMFILE:
        return KIV_ANALYSIS_USER_INFO | KIV_ANALYSIS_ULIMIT_INFO | KIV_ANALYSIS_TARGET_FILE;
    case kEFBIG:
    case kENOSPC:
        return KIV_ANALYSIS_USER_INFO | KIV_ANALYSIS_ULIMIT_INFO | KIV_ANALYSIS_TARGET_FILE |
               KIV_ANALYSIS_FILE_SYSTEM;
    default:
        return 0;
    }
}

std::atomic<KIVErrorAnalysisObserver> g_observer{nullptr};

} // namespace

extern "C" {

Uint32 kivErrorIOSectionMask(Uint32 systemFunctionId, Uint32 systemError)
{
    return callSections(systemFunctionId, systemError) | errorSections(systemError);
}

Uint32 kivErrorMemorySectionMask(Uint32 systemError)
{
    switch (systemError) {
    case kENOMEM:
        return KIV_ANALYSIS_ULIMIT_INFO | KIV_ANALYSIS_MEMORY_INFO;
    case kENFILE:
    case kEMFILE:
    case kEFBIG:
    case kENOSPC:
        return KIV_ANALYSIS_ULIMIT_INFO;
    default:
        return 0;
    }
}

Uint32 kivErrorAnnouncedCount(Uint32 sections)
{
    Uint32 count = 0;
    for (Uint32 bits = sections; bits != 0; bits &= bits - 1)
        ++count;
    if (sections & KIV_ANALYSIS_MEMORY_INFO)
        count += 3;
    return count;
}

void kivErrorAnalysisPlanFor(const KIVErrorAnalysisRequest* request, KIVErrorAnalysisPlan* plan)
{
    if (plan == nullptr)
        return;
    *plan = KIVErrorAnalysisPlan{0, 0, 0};
    if (request == nullptr)
        return;
    if (request->kind == KIVErrorAnalysisRequest::KIND_IO) {
        plan->functionId = KIVFN_KIVERRORIOANALYSIS;
        plan->sections = kivErrorIOSectionMask(request->systemFunctionId, request->systemError);
    } else if (request->kind == KIVErrorAnalysisRequest::KIND_MEMORY ||
               request->systemError == kENOMEM) {
        /* The general analysis knows only one cause worth a report. */
        plan->functionId = KIVFN_KIVERRORMEMORYANALYSIS;
        plan->sections = kivErrorMemorySectionMask(request->systemError);
    }
    plan->count = kivErrorAnnouncedCount(plan->sections);
}


} // extern "C"

/* ---- gathering the texts ---------------------------------------------------------- */

namespace {

/* Section titles, by bit. */
const char* const kTitles[] = {
    " - User info\n",   " - ulimit info\n", " - Memory info\n",          " - Target file info\n",
    " - I/O attempt\n", " - Path access permission\n", " - File system\n",
};

const char kUserInfoText[] = "Real / Effective user and group ID info is N/A on this platform.";
const char kIOAttemptText[] = "I/O attempt not implemented yet.\n";
const char kWalkHeading[] =
    "Information of each subdirectory leading up to the first inaccessible one is shown in the "
    "format below :\n   <UID>:<GID>:<permissions> (subdirectories)\n\n";
const char kCannotDescend[] = "\n Cannot descend any further than the above subdirectory.";

/* Text sizes, terminators included. */
const Uint32 kHeaderSize = 390;
const Uint32 kWalkSize = 672;
const Uint32 kShortfallSize = 100;

/* The quiet query flags of the file information: a failure here is an
 * answer, and must neither be logged nor start another analysis. */
const Uint32 kQuietFileInfo = KIV_FILE_INFO_QUIET;
/* Everything about the file system (bit 0), as the analysis asks it. */
const Uint32 kDiskInfoFlags = 0x100001u;

/* Up to ten texts, in the order they are gathered; the log record takes
 * them as String items. */
struct Texts {
    enum { MAX = 10 };
    const char* text[MAX];
    Uint32      count = 0;

    void add(const char* t)
    {
        if (t != nullptr && t[0] != '\0' && count < MAX)
            text[count++] = t;
    }
    const char* at(Uint32 i) const { return i < count ? text[i] : ""; }
    Uint32      length(Uint32 i) const { return (Uint32)strlen(at(i)); }
};

/* Appends to a text of `size` bytes, cutting what does not fit. */
void append(char* text, Uint32 size, const char* more)
{
    const Uint32 used = (Uint32)strlen(text);
    kivSnprintf(text + used, size - used, "%s", more);
}

void buildHeader(const KIVErrorAnalysisPlan& plan, char* header)
{
    kivSnprintf(header, kHeaderSize, "A total of %u analysis will be performed :\n", plan.count);
    for (Uint32 bit = 0; bit < sizeof kTitles / sizeof kTitles[0]; ++bit) {
        if (plan.sections & (1u << bit))
            append(header, kHeaderSize, kTitles[bit]);
    }
}

/* What the I/O block says of the target; false when nothing is known. */
bool describeTarget(const KIVErrorAnalysisIOBlock* io, char* header)
{
    if (io == nullptr)
        return false;
    const Uint32 used = (Uint32)strlen(header);
    if (io->path != nullptr && io->path[0] != '\0') {
        kivSnprintf(header + used, kHeaderSize - used, "\n Target file = %s\n", io->path);
        return true;
    }
    if (io->fileHandle != 0xFFFFFFFFu) {
        kivSnprintf(header + used, kHeaderSize - used, "\n Target file handle = %d\n",
                    (int)io->fileHandle);
        return true;
    }
    return false;
}

const char* targetPath(const KIVErrorAnalysisIOBlock* io)
{
    return (io != nullptr && io->path != nullptr && io->path[0] != '\0') ? io->path : nullptr;
}

/* The handle of the I/O block as the system's: handles are 32-bit values
 * that widen with their sign. */
HANDLE targetHandle(const KIVErrorAnalysisIOBlock* io)
{
    return (HANDLE)(intptr_t)(Sint32)io->fileHandle;
}

struct MemoryTexts {
    KIVMemInfo::toStringParam     phys;
    KIVSwapInfo::toStringParam    swap;
    KIVVirtMemInfo::toStringParam virt;
    Uint32                        freeVirtualMB = 0;
    bool                          freeVirtualKnown = false;
};

bool answered(Uint32 rc) { return rc == 0 || rc == ECF_PARTIAL_INFO; }

void gatherMemory(MemoryTexts& m, Texts& texts)
{
    KIVMemInfo mem;
    if (answered(kivGetPhysMemInfo(&mem)))
        mem.toString(&m.phys);
    KIVSwapInfo swap;
    if (answered(kivGetPhysSwapInfo(&swap)))
        swap.toString(&m.swap);
    KIVVirtMemInfo virt;
    if (answered(kivGetVirtualMemInfo(&virt))) {
        virt.toString(&m.virt);
        m.freeVirtualKnown = virt.free.isValid();
        m.freeVirtualMB = virt.free.value;
    }
    texts.add(m.phys.text);
    texts.add(m.swap.text);
    texts.add(m.virt.text);
}

/* The last component of a path prefix. */
const char* lastComponent(const char* prefix)
{
    const char* last = prefix;
    for (const char* p = prefix; *p != '\0'; ++p) {
        if (kivIsPathSeparator(*p))
            last = p + 1;
    }
    return last;
}

/* One prefix of the walk: its line, or false when it cannot be read.  A
 * drive ("C:") stands for its root directory: alone it would name the
 * drive's current directory, which is not on the path. */
bool walkStep(const char* prefix, char* text)
{
    char root[4];
    const bool drive = prefix[0] != '\0' && prefix[1] == ':' && prefix[2] == '\0';
    if (drive)
        kivSnprintf(root, sizeof root, "%c:\\", prefix[0]);
    KIVFileGetInfoParam param;
    param.path = drive ? root : prefix;
    param.flags = kQuietFileInfo;
    KIVFileInfo info;
    if (kivFileGetInfoV9(&param, &info) != 0)
        return false;
    char line[KIV_PATH_BUFFER_SIZE + 64];
    const Uint32 n = kivSnprintf(line, sizeof line, "   %u:%u:%o (%s%s)\n", info.uid, info.gid,
                                 info.permissions, lastComponent(prefix), "");
    // A line that does not fit is left out; the walk goes on.
    if (strlen(text) + n < kWalkSize)
        append(text, kWalkSize, line);
    return true;
}

/* The owner, group and permissions of every directory on the path, from
 * the shortest prefix, up to the first that cannot be read. */
void walkPath(const char* target, char* text)
{
    kivSnprintf(text, kWalkSize, "%s", kWalkHeading);
    char path[KIV_PATH_BUFFER_SIZE + 1];
    kivSnprintf(path, sizeof path, "%s", target);
    size_t length = strlen(path);
    if (length > 1 && kivIsPathSeparator(path[length - 1]))
        path[--length] = '\0';
    for (size_t i = kivIsPathSeparator(path[0]) ? 1 : 0; i <= length; ++i) {
        if (i < length && !kivIsPathSeparator(path[i]))
            continue;
        const char saved = path[i];
        path[i] = '\0';
        const bool readable = walkStep(path, text);
        path[i] = saved;
        if (!readable) {
            append(text, kWalkSize, kCannotDescend);
            return;
        }
    }
}

/* Everything the two analyses gather, on the caller's stack. */
struct Gathered {
    char                         header[kHeaderSize];
    MemoryTexts                  memory;
    char                         shortfall[kShortfallSize];
    KIVFileInfo::toStringParam   file;
    char                         walk[kWalkSize];
    KIVDiskInfo::toStringParam   disk;
    Texts                        texts;
};

/* The target file's information, by its path or else by its handle. */
void gatherFileInfo(const KIVErrorAnalysisIOBlock* io, Gathered& g)
{
    KIVFileGetInfoParam param;
    param.flags = kQuietFileInfo;
    param.path = targetPath(io);
    if (param.path == nullptr)
        param.handle = targetHandle(io);
    KIVFileInfo info;
    if (kivFileGetInfoV9(&param, &info) == 0)
        info.toString(&g.file);
    g.texts.add(g.file.text);
}

void gatherDisk(const KIVErrorAnalysisIOBlock* io, Gathered& g)
{
    KIVDiskInfoParam param;
    param.path = targetPath(io);
    param.flags = kDiskInfoFlags;
    if (param.path == nullptr)
        param.fileHandle = targetHandle(io);
    KIVDiskInfo info;
    if (answered(kivGetDiskInfo(&param, &info)))
        info.toString(&g.disk);
    g.texts.add(g.disk.text);
}

/* The texts of the sections, in bit order. */
void gather(const KIVErrorAnalysisRequest& request, const KIVErrorAnalysisPlan& plan, Gathered& g)
{
    const bool io = plan.functionId == KIVFN_KIVERRORIOANALYSIS;
    const KIVErrorAnalysisIOBlock* ioBlock =
        (io && request.kind == KIVErrorAnalysisRequest::KIND_IO)
            ? static_cast<const KIVErrorAnalysisIOBlock*>(request.block)
            : nullptr;
    buildHeader(plan, g.header);
    const bool targetKnown = io && describeTarget(ioBlock, g.header);
    g.texts.add(g.header);

    if (plan.sections & KIV_ANALYSIS_USER_INFO)
        g.texts.add(kUserInfoText);
    if (plan.sections & KIV_ANALYSIS_MEMORY_INFO) {
        gatherMemory(g.memory, g.texts);
        const KIVErrorAnalysisMemBlock* mem =
            (!io && request.kind == KIVErrorAnalysisRequest::KIND_MEMORY)
                ? static_cast<const KIVErrorAnalysisMemBlock*>(request.block)
                : nullptr;
        if (mem != nullptr && g.memory.freeVirtualKnown &&
            kivErrorMemoryShortfall(g.memory.freeVirtualMB, mem->requestSize, g.shortfall,
                                    sizeof g.shortfall) != 0)
            g.texts.add(g.shortfall);
    }
    if ((plan.sections & KIV_ANALYSIS_TARGET_FILE) && targetKnown)
        gatherFileInfo(ioBlock, g);
    if (plan.sections & KIV_ANALYSIS_IO_ATTEMPT)
        g.texts.add(kIOAttemptText);
    if ((plan.sections & KIV_ANALYSIS_PATH_ACCESS) && targetPath(ioBlock) != nullptr) {
        walkPath(targetPath(ioBlock), g.walk);
        g.texts.add(g.walk);
    }
    if ((plan.sections & KIV_ANALYSIS_FILE_SYSTEM) && targetKnown)
        gatherDisk(ioBlock, g);
}

#define KIV_ANALYSIS_TEXT(t, i) KIVLOG_ITEM((t).at(i), (t).length(i), KIVLOG_TYPE_STRING)

/* The analysis record: every text as a String item, the header first.  All
 * ten item slots are passed; the count says how many are read. */
void writeRecord(const KIVErrorAnalysisRequest& request, const KIVErrorAnalysisPlan& plan,
                 const Texts& t)
{
    static_assert(Texts::MAX == 10, "ten item slots below");
    kivLogSysRC(nullptr, plan.functionId, request.systemFunctionId, request.systemError, 0, 100,
                request.level, (Sint32)t.count, KIV_ANALYSIS_TEXT(t, 0), KIV_ANALYSIS_TEXT(t, 1),
                KIV_ANALYSIS_TEXT(t, 2), KIV_ANALYSIS_TEXT(t, 3), KIV_ANALYSIS_TEXT(t, 4),
                KIV_ANALYSIS_TEXT(t, 5), KIV_ANALYSIS_TEXT(t, 6), KIV_ANALYSIS_TEXT(t, 7),
                KIV_ANALYSIS_TEXT(t, 8), KIV_ANALYSIS_TEXT(t, 9));
}

} // namespace

extern "C" {

void kivErrorAnalysisSetObserver(KIVErrorAnalysisObserver observer)
{
    g_observer.store(observer);
}

Uint32 kivErrorMemoryShortfall(Uint32 freeMegabytes, Uint32 requestSize, char* text, Uint32 size)
{
    const Uint64 freeBytes = (Uint64)freeMegabytes << 20;
    if (freeBytes >= requestSize)
        return 0;
    return kivSnprintf(text, size, "Attempt to allocate %u bytes when only %llu bytes is available.",
                       requestSize, (unsigned long long)freeBytes);
}

Uint32 kivErrorAnalysis(const KIVErrorAnalysisRequest* request)
{
    if (request == nullptr)
        return 0;
    KIVErrorAnalysisPlan plan;
    kivErrorAnalysisPlanFor(request, &plan);
    if (KIVErrorAnalysisObserver observer = g_observer.load())
        observer(request, &plan);
    if (plan.count == 0)
        return 0;
    Gathered g;
    memset(g.header, 0, sizeof g.header);
    g.shortfall[0] = '\0';
    g.walk[0] = '\0';
    gather(*request, plan, g);
    writeRecord(*request, plan, g.texts);
    return 0;
}

} // extern "C"
