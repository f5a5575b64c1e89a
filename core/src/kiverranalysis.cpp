/*
 * kiverranalysis.cpp - the self-diagnosis that follows the log record of a
 * failed system call.
 *
 * The selection rules test errno-style numbers (1 permission, 11 try again,
 * 12 no memory, 13 access, 20 not a directory, 22 invalid, 23/24 too many
 * open files, 27 file too large, 28 no space) whatever scheme the failing
 * call used: they were written for the C runtime's calls, and a Windows
 * number that happens to match simply selects the same sections.
 */
#include "kiverranalysis.h"

#include "kivecf.h"

#include <atomic>

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

void kivErrorAnalysisSetObserver(KIVErrorAnalysisObserver observer)
{
    g_observer.store(observer);
}

Uint32 kivErrorAnalysis(const KIVErrorAnalysisRequest* request)
{
    if (request == nullptr)
        return 0;
    KIVErrorAnalysisPlan plan;
    kivErrorAnalysisPlanFor(request, &plan);
    if (KIVErrorAnalysisObserver observer = g_observer.load())
        observer(request, &plan);
    /* An empty plan writes nothing; the gathering of the texts and the
     * analysis record are not built yet. */
    return 0;
}

} // extern "C"
