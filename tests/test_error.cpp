/*
 * test_error.cpp - system error mapping, the system error handler, the
 * error analysis section selection and the current-user queries.
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

struct MapCase {
    Uint32 systemFunction, error, code;
    const char* name; /* null: none */
};

const MapCase kMapCases[] = {
    {KIVOSFN_TLSGETVALUE, 0, ECF_INVALID_INVOCATION_SEQUENCE, "NO_ERROR"},
    {kCreateFile, 2, ECF_FILE_DOESNT_EXIST, "ERROR_FILE_NOT_FOUND"},
    {kCreateFile, 87, ECF_INVALID_PARAMETER, "ERROR_INVALID_FLAGS"},
    {kCreateFile, 1455, ECF_NO_MEMORY, nullptr},
    {kCreateFile, 18, ECF_FILE_PROCESS_MAX, "ERROR_NO_MORE_FILES"},
    {kCreateFile, 32, ECF_FILE_SHARE, "ERROR_SHARING_VIOLATION"},
    {kCreateFile, 234, ECF_BUFFER_TOO_SMALL, "ERROR_MORE_DATA"},
    {KIVOSFN_CREATEFILEMAPPING, 183, ECF_MEM_EXISTS, "ERROR_ALREADY_EXISTS"},
    {KIVOSFN_CREATESEMAPHORE, 183, ECF_SEM_EXISTS, "ERROR_ALREADY_EXISTS"},
    {kCreateFile, 0xFFFFFFFFu, ECF_UNKNOWN, nullptr},
    /* Run-time calls report errno, whose numbers mean other things. */
    {kAccess, 13, ECF_ACCESS_DENIED, "EACCES"},
    {kAccess, 3, ECF_FILE_DOESNT_EXIST, nullptr},
    {kStat, 2, ECF_FILE_DOESNT_EXIST, "ENOENT"},
    {kStat, 183, ECF_UNKNOWN, nullptr},
};

Uint32 expectedLevel(Uint32 code)
{
    return (code == ECF_UNKNOWN || code == ECF_NO_MEMORY || code == ECF_FILE_PROCESS_MAX ||
            code == ECF_FILE_SHARE) ? 3u : 5u;
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
}

struct AnalysisSeen {
    Uint32 kind, probe, systemError, level;
    bool hasBlock;
    KIVErrorAnalysisIOBlock io;
    KIVErrorAnalysisMemBlock mem;
    KIVErrorAnalysisPlan plan;
};
std::vector<AnalysisSeen> g_analyses;

void analysisObserver(const KIVErrorAnalysisRequest* r, const KIVErrorAnalysisPlan* plan)
{
    AnalysisSeen s{r->kind, r->probe, r->systemError, r->level, r->block != nullptr, {}, {}, *plan};
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
    void SetUp() override { g_analyses.clear(), kivErrorAnalysisSetObserver(analysisObserver); }
    void TearDown() override { kivErrorAnalysisSetObserver(nullptr); }
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
    EXPECT_EQ((std::vector<Uint64>{7, 8}), c.scalars());
    EXPECT_EQ(kHint, c.top[1].asString());
    ASSERT_EQ(1u, g_analyses.size());
    const AnalysisSeen& a = g_analyses[0];
    EXPECT_EQ(1u, a.kind);
    EXPECT_EQ(280u, a.probe);
    EXPECT_EQ(2u, a.systemError);
    EXPECT_STREQ("/a/b", a.io.path);
    EXPECT_EQ(0xFFFFFFFFu, a.io.fileHandle);
    EXPECT_EQ(0u, a.plan.count); /* CreateFile with error 2 selects nothing */
}

TEST_F(Handler, RecordLevel)
{
    struct {
        Uint32 callerLevel, error /* 2 suggests 5, 18 suggests 3 */, recordLevel;
    } const cases[] = {
        {5, 18, 3}, {5, 2, 5}, {6, 18, 6}, {1, 18, 1}, {4, 18, 3}, {4, 2, 4}, {7, 2, 5}, {0, 2, 0},
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
    EXPECT_EQ(0x1234u, a.io.fileHandle);
    EXPECT_EQ(512u, a.io.byteCount);
    EXPECT_EQ(0x123456789ull, a.io.value64);
    KIVErrorContext mem;
    mem.setRequestSize(4096);
    a = run(mem);
    EXPECT_EQ(2u, a.kind);
    ASSERT_TRUE(a.hasBlock);
    EXPECT_EQ(4096u, a.mem.requestSize);
}

TEST(ErrorAnalysis, IOSections)
{
    const struct {
        Uint32 systemFunction, error, mask;
    } cases[] = {
        /* Path calls, transfer calls, then others. */
        {0x08140001u, 1, 0x21}, {0x08140163u, 13, 0x21}, {0x0814004Cu, 20, 0x29},
        {0x08140001u, 2, 0}, {0x0814004Bu, 0, 0x19}, {0x0814016Eu, 28, 0x5B},
        {kCreateFile, 13, 0}, /* not a path call */
        {0x08140022u, 13, 0x08}, {0x08140013u, 22, 0x09}, {0x08140013u, 20, 0},
        {0x08140010u, 11, 0x03},
        /* By the error alone, whatever the call; both rules add up. */
        {kCreateFile, 23, 0x0B}, {kCreateFile, 28, 0x4B}, {0x08140013u, 28, 0x4B},
    };
    for (const auto& c : cases)
        EXPECT_EQ(c.mask, kivErrorIOSectionMask(c.systemFunction, c.error))
            << std::hex << c.systemFunction << " " << std::dec << c.error;
}

TEST(ErrorAnalysis, MemorySectionsAndCounts)
{
    EXPECT_EQ(0x06u, kivErrorMemorySectionMask(12));
    EXPECT_EQ(0x02u, kivErrorMemorySectionMask(28));
    EXPECT_EQ(0u, kivErrorMemorySectionMask(13));
    EXPECT_EQ(0u, kivErrorAnnouncedCount(0));
    EXPECT_EQ(2u, kivErrorAnnouncedCount(0x21));
    EXPECT_EQ(5u, kivErrorAnnouncedCount(0x06)); /* memory counts its three texts */
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
    EXPECT_EQ(5u, plan.count);
    /* The general analysis: the memory analysis for error 12 only. */
    r.kind = 0;
    kivErrorAnalysisPlanFor(&r, &plan);
    EXPECT_EQ(KIVFN_KIVERRORMEMORYANALYSIS, plan.functionId);
    r.systemError = 13;
    kivErrorAnalysisPlanFor(&r, &plan);
    EXPECT_EQ(0u, plan.functionId);
    EXPECT_EQ(0u, plan.count);
    kivErrorAnalysisPlanFor(nullptr, &plan);
    EXPECT_EQ(0u, plan.count);
    EXPECT_EQ(0u, kivErrorAnalysis(nullptr));
}

TEST_F(Handler, CurrentUserNameAndDisplay)
{
    KIVCurrentUserParam p{KIV_VERSION_CURRENT, 256, 0};
    char out[256];
    std::memset(out, 'Z', sizeof out);
    ASSERT_EQ(0u, kivGetCurrentUserName(&p, out));
    EXPECT_GT(std::strlen(out), 0u);
    std::memset(out, 'Z', sizeof out);
    ASSERT_EQ(0u, kivGetCurrentUserDisplay(&p, out));
    ASSERT_GT(std::strlen(out), 0u);
    EXPECT_EQ(std::strspn(out, "0123456789"), std::strlen(out)) << out;
    EXPECT_EQ(0u, log.count());
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
    EXPECT_EQ(40u, c.probe);
    EXPECT_EQ(KIVLOG_FLAG_SYSERR | KIVLOG_FLAG_ARGMASK, c.flags);
    EXPECT_EQ((Sint32)0x80000003u, c.itemCount);
    ASSERT_EQ(2u, c.items.size());
    EXPECT_GT(c.items[0].asUint(), 1u); /* what the name needs */
    EXPECT_EQ(1u, c.items[1].asUint());
    EXPECT_TRUE(g_analyses.empty()); /* mapped and logged by the query itself */
}

TEST_F(Handler, CurrentUserParameterChecks)
{
    char out[64];
    EXPECT_EQ(ECF_INVALID_PARAMETER, kivGetCurrentUserName(nullptr, out));
    kivtestExpectNullRecord(log, KIVFN_KIVGETCURRENTUSERNAME);
    KIVCurrentUserParam p{KIV_VERSION_MIN - 1, sizeof out, 0};
    EXPECT_EQ(ECF_INVALID_VERSION, kivGetCurrentUserName(&p, out));
    kivtestExpectVersionRecord(log, KIVFN_KIVGETCURRENTUSERNAME, KIV_VERSION_MIN - 1);
    log.clear();
    p.version = KIV_VERSION_MIN;
    EXPECT_EQ(ECF_INVALID_PARAMETER, kivGetCurrentUserName(&p, nullptr));
    EXPECT_EQ(1u, log.count());
}

} // namespace
