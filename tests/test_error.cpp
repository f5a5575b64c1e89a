/*
 * test_error.cpp - the mapping of system errors onto ECF codes, names and
 * suggested levels; the system error handler (record level, flags, the
 * nested item list and the hint, the analysis request it builds from the
 * error context); the section selection of the error analysis; and the
 * current-user queries, which map and log their own failures.
 *
 * What the handler logs is taken through the log callback; what it asks of
 * the analysis through the analysis observer.
 */
#include "kivecf.h"
#include "kiverror.h"
#include "kivlog.h"
#include "kivtest.h"
#include "kivtestlog.h"
#include "kivuser.h"

#include "../core/src/kiverranalysis.h"

#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr Uint32 kFn = KIVFN_KIVHFILE_OPEN;
constexpr Uint32 kCreateFile = KIVOSFN_CREATEFILE;
constexpr Uint32 kAccess = KIVOSFN_ACCESS;
constexpr Uint32 kStat = KIVOSFN_STAT_CRT;

/* ---- mapping table ------------------------------------------------------- */

struct MapCase {
    Uint32 systemFunction;
    Uint32 error;
    Uint32 code;
    const char* name; /* null: none */
};

/* The rows a plausible table fault would break: shared names, codes that
 * depend on the failed call, numbers without a name, errno against Windows
 * numbers, and numbers outside the table. */
const MapCase kMapCases[] = {
    {KIVOSFN_TLSGETVALUE, 0, ECF_INVALID_INVOCATION_SEQUENCE, "NO_ERROR"},
    {kCreateFile, 0, ECF_UNKNOWN, nullptr},
    {kCreateFile, 2, ECF_FILE_DOESNT_EXIST, "ERROR_FILE_NOT_FOUND"},
    {kCreateFile, 3, ECF_FILE_PATH_DOESNT_EXIST, "ERROR_PATH_NOT_FOUND"},
    {kCreateFile, 5, ECF_ACCESS_DENIED, "ERROR_ACCESS_DENIED"},
    {kCreateFile, 6, ECF_INVALID_PARAMETER, "ERROR_INVALID_FLAGS"},
    {kCreateFile, 87, ECF_INVALID_PARAMETER, "ERROR_INVALID_FLAGS"},
    {kCreateFile, 1004, ECF_INVALID_PARAMETER, "ERROR_INVALID_FLAGS"},
    {kCreateFile, 8, ECF_NO_MEMORY, "ERROR_OUTOFMEMORY"},
    {kCreateFile, 14, ECF_NO_MEMORY, "ERROR_OUTOFMEMORY"},
    {kCreateFile, 1455, ECF_NO_MEMORY, nullptr},
    {kCreateFile, 18, ECF_FILE_PROCESS_MAX, "ERROR_NO_MORE_FILES"},
    {kCreateFile, 21, ECF_FILE_DEVICE_UNAVAILABLE, "ERROR_NOT_READY"},
    {kCreateFile, 32, ECF_FILE_SHARE, "ERROR_SHARING_VIOLATION"},
    {kCreateFile, 33, ECF_FILE_LOCK, "ERROR_LOCK_VIOLATION"},
    {kCreateFile, 38, ECF_FILE_EOF, "ERROR_HANDLE_EOF"},
    {kCreateFile, 80, ECF_FILE_EXISTS, "ERROR_FILE_EXISTS"},
    {kCreateFile, 112, ECF_FILE_NO_SPACE, "ERROR_DISK_FULL"},
    {kCreateFile, 123, ECF_FILE_INVALID_NAME, "ERROR_INVALID_NAME"},
    {kCreateFile, 145, ECF_FILE_DIR_NOT_EMPTY, "ERROR_DIR_NOT_EMPTY"},
    {kCreateFile, 240, ECF_SESSION_CANCELED, "ERROR_VC_DISCONNECTED"},
    {kCreateFile, 267, ECF_FILE_NOT_A_DIRECTORY, "ERROR_DIRECTORY"},
    {kCreateFile, 86, ECF_SEC_INVALID_PASSWORD, nullptr},
    {kCreateFile, 122, ECF_BUFFER_TOO_SMALL, "ERROR_INSUFFICIENT_BUFFER"},
    {kCreateFile, 234, ECF_BUFFER_TOO_SMALL, "ERROR_MORE_DATA"},
    {kCreateFile, 126, ECF_FILE_DOESNT_EXIST, "ERROR_MOD_NOT_FOUND"},
    {kCreateFile, 127, ECF_LIB_FUNC_NOT_FOUND, "ERROR_PROC_NOT_FOUND"},
    {KIVOSFN_CREATEFILEMAPPING, 183, ECF_MEM_EXISTS, "ERROR_ALREADY_EXISTS"},
    {KIVOSFN_CREATESEMAPHORE, 183, ECF_SEM_EXISTS, "ERROR_ALREADY_EXISTS"},
    {KIVOSFN_CREATEDIRECTORY, 183, ECF_FILE_EXISTS, "ERROR_ALREADY_EXISTS"},
    {kCreateFile, 206, ECF_FILE_NAME_TOO_LONG, "ERROR_FILENAME_EXCED_RANGE"},
    {kCreateFile, 487, ECF_INVALID_ADDRESS, "ERROR_INVALID_ADDRESS"},
    {kCreateFile, 1132, ECF_INVALID_ADDRESS, nullptr},
    {kCreateFile, 1005, ECF_FILE_PATH_DOESNT_EXIST, "ERROR_UNRECOGNIZED_VOLUME"},
    {kCreateFile, 1113, ECF_NO_UNICODE_TRANSLATION, "ERROR_NO_UNICODE_TRANSLATION"},
    {kCreateFile, 13, ECF_UNKNOWN, nullptr},
    {kCreateFile, 158, ECF_UNKNOWN, nullptr},
    {kCreateFile, 0xFFFFFFFFu, ECF_UNKNOWN, nullptr},
    /* Run-time calls report errno, whose numbers mean other things. */
    {kAccess, 13, ECF_ACCESS_DENIED, "EACCES"},
    {kAccess, 22, ECF_INVALID_PARAMETER, "EINVAL"},
    {kAccess, 3, ECF_FILE_DOESNT_EXIST, nullptr},
    {kAccess, 2, ECF_UNKNOWN, nullptr},
    {kAccess, 5, ECF_UNKNOWN, nullptr},
    {kStat, 2, ECF_FILE_DOESNT_EXIST, "ENOENT"},
    {kStat, 22, ECF_FILE_DOESNT_EXIST, nullptr},
    {kStat, 13, ECF_UNKNOWN, nullptr},
    {kStat, 183, ECF_UNKNOWN, nullptr},
};

Uint32 expectedLevel(Uint32 code)
{
    return (code == ECF_UNKNOWN || code == ECF_NO_MEMORY || code == ECF_FILE_PROCESS_MAX ||
            code == ECF_FILE_DEVICE_UNAVAILABLE || code == ECF_FILE_SHARE)
               ? 3u
               : 5u;
}

TEST(ErrorMap, CodesNamesAndSuggestedLevels)
{
    for (const MapCase& c : kMapCases) {
        SCOPED_TRACE(testing::Message() << std::hex << c.systemFunction << " " << std::dec
                                        << c.error);
        Uint32 level = 0;
        EXPECT_EQ(c.code, kivErrorMapSystem(kFn, 10, c.systemFunction, c.error, &level));
        EXPECT_EQ(expectedLevel(c.code), level);
        const char* name = kivErrorNameMapSystem(c.systemFunction, c.error);
        EXPECT_EQ(std::string(c.name ? c.name : "<none>"), std::string(name ? name : "<none>"));
    }
    EXPECT_EQ(ECF_FILE_SHARE, kivErrorMapSystem(kFn, 10, kCreateFile, 32, nullptr));
}

/* ---- handler -------------------------------------------------------------- */

struct AnalysisSeen {
    Uint32 kind, functionId, probe, systemFunctionId, systemError, level;
    bool hasBlock;
    KIVErrorAnalysisIOBlock io;
    KIVErrorAnalysisMemBlock mem;
    KIVErrorAnalysisPlan plan;
};
std::vector<AnalysisSeen> g_analyses;

void analysisObserver(const KIVErrorAnalysisRequest* r, const KIVErrorAnalysisPlan* plan)
{
    AnalysisSeen s{r->kind, r->functionId, r->probe, r->systemFunctionId, r->systemError,
                   r->level, r->block != nullptr, {}, {}, *plan};
    if (r->kind == KIVErrorAnalysisRequest::KIND_IO && r->block)
        s.io = *static_cast<const KIVErrorAnalysisIOBlock*>(r->block);
    if (r->kind == KIVErrorAnalysisRequest::KIND_MEMORY && r->block)
        s.mem = *static_cast<const KIVErrorAnalysisMemBlock*>(r->block);
    g_analyses.push_back(s);
}

const char kHint[] = "Search for kivError*Analysis probe point after this log entry for further\n"
                     "self-diagnosis of this problem.";

class Handler : public ::testing::Test {
protected:
    KivLogCapture log;
    void SetUp() override
    {
        g_analyses.clear();
        kivErrorAnalysisSetObserver(analysisObserver);
    }
    void TearDown() override { kivErrorAnalysisSetObserver(nullptr); }
    /* The one record written since the last clear. */
    KivLogRecord only() const
    {
        std::vector<KivLogRecord> all = log.all();
        EXPECT_EQ(1u, all.size());
        return all.empty() ? KivLogRecord{} : all[0];
    }
};

TEST_F(Handler, LogsOneRecordWithNestedItemsAndTheHint)
{
    KIVErrorContext ctx;
    ctx.setPath("/a/b");
    Uint32 x = 7, y = 8;
    EXPECT_EQ(ECF_FILE_DOESNT_EXIST, kivSystemErrorHandler(kFn, kCreateFile, 2, 280, 5, 0, &ctx, 2,
                                                           KIVLOG_UINT(x), KIVLOG_UINT(y)));
    KivLogRecord c = only();
    EXPECT_EQ(kFn, c.functionId);
    EXPECT_EQ(kCreateFile, c.calledFunctionId);
    EXPECT_EQ(2u, c.calledValue);
    EXPECT_EQ(ECF_FILE_DOESNT_EXIST, c.messageCode);
    EXPECT_EQ(280u, c.probe);
    EXPECT_EQ(5u, c.level);
    EXPECT_EQ(KIVLOG_FLAG_SYSERR, c.flags);
    ASSERT_EQ(2, c.itemCount);
    ASSERT_EQ(2u, c.top.size());
    EXPECT_EQ(KIVLOG_TYPE_NESTED, c.top[0].type);
    EXPECT_EQ(2u, c.top[0].size);
    EXPECT_EQ((std::vector<Uint64>{7, 8}), c.scalars());
    EXPECT_EQ(KIVLOG_TYPE_STRING, c.top[1].type);
    EXPECT_EQ(105u, c.top[1].size);
    EXPECT_EQ(kHint, c.top[1].asString());

    ASSERT_EQ(1u, g_analyses.size());
    const AnalysisSeen& a = g_analyses[0];
    EXPECT_EQ(1u, a.kind);
    EXPECT_EQ(kFn, a.functionId);
    EXPECT_EQ(280u, a.probe);
    EXPECT_EQ(kCreateFile, a.systemFunctionId);
    EXPECT_EQ(2u, a.systemError);
    EXPECT_EQ(5u, a.level);
    EXPECT_STREQ("/a/b", a.io.path);
    EXPECT_EQ(0xFFFFFFFFu, a.io.fileHandle);
    EXPECT_EQ(KIV_VERSION_CURRENT, a.io.version);
    /* CreateFile with error 2 selects nothing. */
    EXPECT_EQ(0u, a.plan.sections);
    EXPECT_EQ(0u, a.plan.count);
}

TEST_F(Handler, RecordLevel)
{
    struct {
        Uint32 callerLevel, error /* 2 suggests 5, 18 suggests 3 */, recordLevel;
    } const cases[] = {
        {5, 18, 3}, {5, 2, 5}, {6, 18, 6}, {6, 2, 6}, {1, 18, 1}, {1, 2, 1},
        {2, 18, 2}, {3, 18, 3}, {4, 18, 3}, {4, 2, 4}, {7, 2, 5}, {0, 2, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.callerLevel << "/" << c.error);
        log.clear();
        g_analyses.clear();
        KIVErrorContext ctx;
        ctx.setByteCount(1);
        kivSystemErrorHandler(kFn, kCreateFile, c.error, 10, c.callerLevel, 0, &ctx, 0);
        EXPECT_EQ(c.recordLevel, only().level);
        ASSERT_EQ(1u, g_analyses.size());
        EXPECT_EQ(c.recordLevel, g_analyses[0].level);
    }
}

TEST_F(Handler, Flags)
{
    KIVErrorContext ctx;
    ctx.setPath("p");
    Uint32 x = 1;

    /* Map only: the code, nothing else. */
    EXPECT_EQ(ECF_SEM_EXISTS, kivSystemErrorHandler(kFn, KIVOSFN_CREATESEMAPHORE, 183, 10, 5, 2,
                                                    &ctx, 1, KIVLOG_UINT(x)));
    EXPECT_EQ(ECF_UNKNOWN, kivSystemErrorHandler(kFn, kCreateFile, 9999, 10, 5, 3, &ctx, 0));
    EXPECT_EQ(0u, log.count());
    EXPECT_TRUE(g_analyses.empty());

    /* No analysis: the caller's items without the hint. */
    EXPECT_EQ(ECF_ACCESS_DENIED, kivSystemErrorHandler(kFn, kCreateFile, 5, 10, 5, 1, &ctx, 1,
                                                       KIVLOG_UINT(x)));
    KivLogRecord r = only();
    ASSERT_EQ(1, r.itemCount);
    EXPECT_EQ(KIVLOG_TYPE_NESTED, r.top.at(0).type);
    EXPECT_EQ((std::vector<Uint64>{1}), r.scalars());
    EXPECT_TRUE(g_analyses.empty());

    /* Other bits are ignored. */
    log.clear();
    EXPECT_EQ(ECF_ACCESS_DENIED, kivSystemErrorHandler(kFn, kCreateFile, 5, 10, 5, 0xF0, &ctx, 0));
    EXPECT_EQ(1u, log.count());
    EXPECT_EQ(1u, g_analyses.size());
}

TEST_F(Handler, ShapeOfTheItemList)
{
    /* Without a context: the caller's items only, no hint, no analysis. */
    Uint32 x = 3, y = 4, z = 5;
    EXPECT_EQ(ECF_FILE_DOESNT_EXIST, kivSystemErrorHandler(kFn, kCreateFile, 2, 10, 5, 0, nullptr,
                                                           3, KIVLOG_UINT(x), KIVLOG_UINT(y),
                                                           KIVLOG_UINT(z)));
    KivLogRecord r = only();
    ASSERT_EQ(1, r.itemCount);
    EXPECT_EQ((std::vector<Uint64>{3, 4, 5}), r.scalars());
    EXPECT_TRUE(g_analyses.empty());

    /* No items means no hint either: no list at all. */
    KIVErrorContext ctx;
    ctx.setFileHandle(5u);
    log.clear();
    kivSystemErrorHandler(kFn, kCreateFile, 2, 10, 5, 0, &ctx, 0);
    r = only();
    EXPECT_EQ(0, r.itemCount);
    EXPECT_TRUE(r.noItemList);
    EXPECT_EQ(KIVLOG_FLAG_SYSERR | KIVLOG_FLAG_ARGMASK, r.flags);
    EXPECT_EQ(1u, g_analyses.size());

    /* The caller's argument mask travels as the nested list's count word. */
    Uint32 a = 10, b = 30;
    log.clear();
    kivSystemErrorHandler(kFn, kCreateFile, 2, 10, 5, 0, &ctx, (Sint32)0x80000005u,
                          KIVLOG_UINT(a), KIVLOG_UINT(b));
    r = only();
    ASSERT_EQ(2, r.itemCount);
    EXPECT_EQ(0x80000005u, r.top.at(0).size);
    EXPECT_EQ((std::vector<Uint64>{10, 30}), r.scalars());
}

/* The va_list form, as the operation frame calls it. */
Uint32 viaVariant(const KIVErrorContext* ctx, Sint32 count, ...)
{
    va_list ap;
    va_start(ap, count);
    Uint32 rc = kivSystemErrorHandlerV(kFn, kCreateFile, 5, 40, 5, 0, ctx, count, ap);
    va_end(ap);
    return rc;
}

TEST_F(Handler, VariantPassesItsListOn)
{
    KIVErrorContext ctx;
    ctx.setPath("p");
    Uint32 x = 41, y = 42;
    EXPECT_EQ(ECF_ACCESS_DENIED, viaVariant(&ctx, 2, KIVLOG_UINT(x), KIVLOG_UINT(y)));
    KivLogRecord r = only();
    ASSERT_EQ(2u, r.top.size());
    EXPECT_EQ((std::vector<Uint64>{41, 42}), r.scalars());
    EXPECT_EQ(kHint, r.top[1].asString());
}

TEST_F(Handler, ContextChoosesTheAnalysis)
{
    auto run = [](const KIVErrorContext& ctx) {
        g_analyses.clear();
        kivSystemErrorHandler(kFn, kCreateFile, 2, 10, 5, 0, &ctx, 0);
        EXPECT_EQ(1u, g_analyses.size());
        return g_analyses.empty() ? AnalysisSeen{} : g_analyses[0];
    };

    KIVErrorContext empty;
    AnalysisSeen a = run(empty);
    EXPECT_EQ(0u, a.kind);
    EXPECT_FALSE(a.hasBlock);

    KIVErrorContext io;
    io.setFileHandle(0x1234u);
    io.setByteCount(512);
    io.setValue64(0x123456789ull);
    a = run(io);
    EXPECT_EQ(1u, a.kind);
    ASSERT_TRUE(a.hasBlock);
    EXPECT_EQ(nullptr, a.io.path);
    EXPECT_EQ(0x1234u, a.io.fileHandle);
    EXPECT_EQ(512u, a.io.byteCount);
    EXPECT_EQ(0x123456789ull, a.io.value64);

    KIVErrorContext perms; /* the permissions alone still make it I/O */
    perms.setPermissions(0600);
    a = run(perms);
    EXPECT_EQ(1u, a.kind);
    EXPECT_EQ(0xFFFFFFFFu, a.io.fileHandle);
    EXPECT_EQ(0u, a.io.byteCount);

    /* Fields without their bit are not read. */
    KIVErrorContext stale;
    stale.byteCount = 99;
    stale.path = "stale";
    stale.setFileHandle(3u);
    a = run(stale);
    EXPECT_EQ(nullptr, a.io.path);
    EXPECT_EQ(0u, a.io.byteCount);

    KIVErrorContext mem;
    mem.setRequestSize(4096);
    a = run(mem);
    EXPECT_EQ(2u, a.kind);
    ASSERT_TRUE(a.hasBlock);
    EXPECT_EQ(KIV_VERSION_CURRENT, a.mem.version);
    EXPECT_EQ(4096u, a.mem.requestSize);

    KIVErrorContext both; /* memory wins */
    both.setPath("p");
    both.setRequestSize(64);
    a = run(both);
    EXPECT_EQ(2u, a.kind);
    EXPECT_EQ(64u, a.mem.requestSize);

    /* A failure the analysis has sections for: access() denied on a path. */
    KIVErrorContext path;
    path.setPath("/no/such");
    g_analyses.clear();
    EXPECT_EQ(ECF_ACCESS_DENIED, kivSystemErrorHandler(kFn, kAccess, 13, 30, 5, 0, &path, 0));
    ASSERT_EQ(1u, g_analyses.size());
    EXPECT_EQ(KIVFN_KIVERRORIOANALYSIS, g_analyses[0].plan.functionId);
    EXPECT_EQ(0x21u, g_analyses[0].plan.sections);
    EXPECT_EQ(2u, g_analyses[0].plan.count);
}

/* ---- analysis sections ------------------------------------------------------- */

TEST(ErrorAnalysis, IOSections)
{
    const Uint32 pathCalls[] = {0x08140001u, 0x08140002u, 0x08140003u, 0x08140011u, 0x0814001Bu,
                                0x0814001Fu, 0x08140021u, 0x0814002Bu, 0x0814004Cu, 0x0814004Eu,
                                0x0814004Fu, 0x0814005Fu, 0x08140060u, 0x08140063u, 0x0814009Du,
                                0x08140111u, 0x0814012Bu, 0x08140163u};
    for (Uint32 fn : pathCalls) {
        SCOPED_TRACE(testing::Message() << std::hex << fn);
        EXPECT_EQ(0x21u, kivErrorIOSectionMask(fn, 1));
        EXPECT_EQ(0x21u, kivErrorIOSectionMask(fn, 13));
        EXPECT_EQ(0x29u, kivErrorIOSectionMask(fn, 20));
        EXPECT_EQ(0u, kivErrorIOSectionMask(fn, 2));
        EXPECT_EQ(0x07u, kivErrorIOSectionMask(fn, 12));
    }
    const Uint32 transferCalls[] = {0x0814004Bu, 0x08140067u, 0x081400D4u, 0x081400D5u,
                                    0x0814016Cu, 0x0814016Du, 0x0814016Eu};
    for (Uint32 fn : transferCalls) {
        SCOPED_TRACE(testing::Message() << std::hex << fn);
        EXPECT_EQ(0x19u, kivErrorIOSectionMask(fn, 0));
        EXPECT_EQ(0x19u, kivErrorIOSectionMask(fn, 5));
        EXPECT_EQ(0x5Bu, kivErrorIOSectionMask(fn, 28));
    }
    const struct {
        Uint32 systemFunction, error, mask;
    } cases[] = {
        {kCreateFile, 2, 0}, /* CreateFile with a Windows error: nothing */
        {kCreateFile, 13, 0}, /* not a path call */
        {0x08140004u, 13, 0},
        {0x08140022u, 13, 0x08}, {0x08140022u, 1, 0},
        {0x08140013u, 22, 0x09}, {0x08140013u, 1, 0x21}, {0x08140013u, 13, 0x21},
        {0x08140013u, 20, 0},
        {0x08140010u, 11, 0x03}, {0x08140010u, 12, 0x07},
        /* By the error alone, whatever the call. */
        {kCreateFile, 12, 0x07}, {kCreateFile, 23, 0x0B}, {kCreateFile, 24, 0x0B},
        {kCreateFile, 27, 0x4B}, {kCreateFile, 28, 0x4B},
        /* Both rules add up. */
        {0x08140001u, 24, 0x0B}, {0x08140013u, 28, 0x4B}, {0x08140022u, 12, 0x07},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.mask, kivErrorIOSectionMask(c.systemFunction, c.error))
            << std::hex << c.systemFunction << " " << std::dec << c.error;
}

TEST(ErrorAnalysis, MemorySectionsAndCounts)
{
    EXPECT_EQ(0x06u, kivErrorMemorySectionMask(12));
    for (Uint32 e : {23u, 24u, 27u, 28u})
        EXPECT_EQ(0x02u, kivErrorMemorySectionMask(e)) << e;
    for (Uint32 e : {0u, 1u, 2u, 8u, 13u, 14u})
        EXPECT_EQ(0u, kivErrorMemorySectionMask(e)) << e;

    EXPECT_EQ(0u, kivErrorAnnouncedCount(0));
    EXPECT_EQ(2u, kivErrorAnnouncedCount(0x21));
    EXPECT_EQ(5u, kivErrorAnnouncedCount(0x06)); /* memory counts its three texts */
    EXPECT_EQ(6u, kivErrorAnnouncedCount(0x07));
    EXPECT_EQ(4u, kivErrorAnnouncedCount(0x4B));
    EXPECT_EQ(10u, kivErrorAnnouncedCount(0x7F));
}

TEST(ErrorAnalysis, PlanFollowsTheKind)
{
    KIVErrorAnalysisRequest r;
    KIVErrorAnalysisPlan plan;
    r.kind = 1;
    r.systemFunctionId = kAccess;
    r.systemError = 13;
    kivErrorAnalysisPlanFor(&r, &plan);
    EXPECT_EQ(KIVFN_KIVERRORIOANALYSIS, plan.functionId);
    EXPECT_EQ(0x21u, plan.sections);
    EXPECT_EQ(2u, plan.count);

    r.kind = 2;
    r.systemError = 12;
    kivErrorAnalysisPlanFor(&r, &plan);
    EXPECT_EQ(KIVFN_KIVERRORMEMORYANALYSIS, plan.functionId);
    EXPECT_EQ(0x06u, plan.sections);
    EXPECT_EQ(5u, plan.count);

    /* The general analysis: the memory analysis for error 12 only. */
    for (Uint32 kind : {0u, 3u}) {
        SCOPED_TRACE(kind);
        r.kind = kind;
        r.systemError = 12;
        kivErrorAnalysisPlanFor(&r, &plan);
        EXPECT_EQ(KIVFN_KIVERRORMEMORYANALYSIS, plan.functionId);
        EXPECT_EQ(0x06u, plan.sections);
        r.systemError = 13;
        kivErrorAnalysisPlanFor(&r, &plan);
        EXPECT_EQ(0u, plan.functionId);
        EXPECT_EQ(0u, plan.count);
    }

    kivErrorAnalysisPlanFor(nullptr, &plan);
    EXPECT_EQ(0u, plan.count);
    EXPECT_EQ(0u, kivErrorAnalysis(nullptr));
}

/* ---- current user ------------------------------------------------------------- */

TEST_F(Handler, CurrentUserNameAndDisplay)
{
    KIVCurrentUserParam p{KIV_VERSION_CURRENT, 256, 0};
    char out[256];
    std::memset(out, 'Z', sizeof out);
    ASSERT_EQ(0u, kivGetCurrentUserName(&p, out));
    EXPECT_GT(std::strlen(out), 0u);
    EXPECT_LT(std::strlen(out), sizeof out);

    std::memset(out, 'Z', sizeof out);
    ASSERT_EQ(0u, kivGetCurrentUserDisplay(&p, out));
    ASSERT_GT(std::strlen(out), 0u);
    EXPECT_EQ(std::strspn(out, "0123456789"), std::strlen(out)) << out;

    /* The session id text is cut to the buffer. */
    p.bufferSize = 1;
    std::memset(out, 'Z', sizeof out);
    EXPECT_EQ(0u, kivGetCurrentUserDisplay(&p, out));
    EXPECT_EQ('\0', out[0]);
    EXPECT_EQ(0u, log.count());
    EXPECT_TRUE(g_analyses.empty());
}

TEST_F(Handler, CurrentUserNameTooSmallLogsTheRequiredSize)
{
    KIVCurrentUserParam p{KIV_VERSION_CURRENT, 1, 0};
    char out[4];
    EXPECT_EQ(ECF_BUFFER_TOO_SMALL, kivGetCurrentUserName(&p, out));
    KivLogRecord c = only();
    EXPECT_EQ(KIVFN_KIVGETCURRENTUSERNAME, c.functionId);
    EXPECT_EQ(KIVOSFN_GETUSERNAME, c.calledFunctionId);
    EXPECT_EQ(122u, c.calledValue);
    EXPECT_EQ(ECF_BUFFER_TOO_SMALL, c.messageCode);
    EXPECT_EQ(40u, c.probe);
    EXPECT_EQ(5u, c.level);
    EXPECT_EQ(KIVLOG_FLAG_SYSERR | KIVLOG_FLAG_ARGMASK, c.flags);
    EXPECT_EQ((Sint32)0x80000003u, c.itemCount);
    ASSERT_EQ(2u, c.items.size());
    EXPECT_EQ(KIVLOG_TYPE_HEX, c.items[0].type);
    EXPECT_GT(c.items[0].asUint(), 1u); /* what the name needs */
    EXPECT_EQ(1u, c.items[1].asUint());
    /* Mapped and logged by the query itself: no analysis. */
    EXPECT_TRUE(g_analyses.empty());
}

TEST_F(Handler, CurrentUserParameterChecks)
{
    char out[64];
    EXPECT_EQ(ECF_INVALID_PARAMETER, kivGetCurrentUserName(nullptr, out));
    kivtestExpectNullRecord(log, KIVFN_KIVGETCURRENTUSERNAME);
    EXPECT_EQ(ECF_INVALID_PARAMETER, kivGetCurrentUserDisplay(nullptr, out));
    kivtestExpectNullRecord(log, KIVFN_KIVGETCURRENTUSERDISPLAY);
    KIVCurrentUserParam p{KIV_VERSION_MIN - 1, sizeof out, 0};
    EXPECT_EQ(ECF_INVALID_VERSION, kivGetCurrentUserName(&p, out));
    kivtestExpectVersionRecord(log, KIVFN_KIVGETCURRENTUSERNAME, KIV_VERSION_MIN - 1);
    EXPECT_EQ(ECF_INVALID_VERSION, kivGetCurrentUserDisplay(&p, out));
    log.clear();
    p.version = KIV_VERSION_MIN;
    EXPECT_EQ(ECF_INVALID_PARAMETER, kivGetCurrentUserName(&p, nullptr));
    EXPECT_EQ(1u, log.count());
}

} // namespace
