/*
 * kiverranalysis.h - the error analysis's choice of sections: which facts a
 * failed system call makes worth gathering, and which analysis gathers
 * them.
 *
 * Not part of the public interface.  The functions are exported so that
 * the test suites can check the selection rules and the memory shortfall
 * directly.
 */
#ifndef KIVERRANALYSIS_H
#define KIVERRANALYSIS_H

#include "kivbase.h"
#include "kiverror.h"

/* Section bits, in the order their texts are gathered. */
#define KIV_ANALYSIS_USER_INFO   0x01u
#define KIV_ANALYSIS_ULIMIT_INFO 0x02u
#define KIV_ANALYSIS_MEMORY_INFO 0x04u /* three texts */
#define KIV_ANALYSIS_TARGET_FILE 0x08u
#define KIV_ANALYSIS_IO_ATTEMPT  0x10u
#define KIV_ANALYSIS_PATH_ACCESS 0x20u
#define KIV_ANALYSIS_FILE_SYSTEM 0x40u

/* What kivErrorAnalysis will do for one request. */
struct KIVErrorAnalysisPlan {
    Uint32 functionId; /* the analysis that writes: KIVFN_KIVERRORIOANALYSIS,
                          KIVFN_KIVERRORMEMORYANALYSIS, or 0 for none */
    Uint32 sections;   /* KIV_ANALYSIS_* bits */
    Uint32 count;      /* the announced count; 0 writes nothing */
};

typedef void (*KIVErrorAnalysisObserver)(const KIVErrorAnalysisRequest* request,
                                         const KIVErrorAnalysisPlan* plan);

#ifdef __cplusplus
extern "C" {
#endif

/* Sections of the I/O analysis for a failed system call and its error
 * number (read as an errno value whatever the call). */
KIV_API Uint32 kivErrorIOSectionMask(Uint32 systemFunctionId, Uint32 systemError);
/* Sections of the memory analysis. */
KIV_API Uint32 kivErrorMemorySectionMask(Uint32 systemError);
/* The number of analyses a header announces: one per section, the memory
 * section counting for three more (its three texts). */
KIV_API Uint32 kivErrorAnnouncedCount(Uint32 sections);
/* The plan for a request: by `kind`, or for any other kind the memory
 * analysis when the error is 12 and nothing otherwise.  A null request
 * plans nothing. */
KIV_API void kivErrorAnalysisPlanFor(const KIVErrorAnalysisRequest* request,
                                     KIVErrorAnalysisPlan* plan);
/* Called by kivErrorAnalysis with every non-null request and its plan,
 * before anything is gathered; null removes it.  A diagnostic seam for the
 * test suites. */
KIV_API void kivErrorAnalysisSetObserver(KIVErrorAnalysisObserver observer);
/* The memory analysis's text for a request larger than the free virtual
 * memory: written to `text` (`size` bytes) when freeMegabytes * 2^20,
 * taken in 64 bits, is smaller than requestSize.  Returns its length, or 0
 * (nothing written) when the request fits. */
KIV_API Uint32 kivErrorMemoryShortfall(Uint32 freeMegabytes, Uint32 requestSize, char* text,
                                       Uint32 size);

#ifdef __cplusplus
}
#endif

#endif /* KIVERRANALYSIS_H */
