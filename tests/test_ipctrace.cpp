/*
 * test_ipctrace.cpp - a trace control block in a named shared memory
 * section: one process creates the section and lays the block out, other
 * processes attach the section by name (at addresses of their own) and the
 * block, and the message queue operations they run write their entry,
 * error and exit records into it, which the creator then reads back.
 */
#include "gptrace.h"
#include "kivecf.h"
#include "kivipc.h"
#include "kivipcqueue.h"
#include "kivtest.h"
#include "kivtestlog.h"
#include "kivtesttrace.h"
#include "rambo.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

const Uint32 kRingSize = 0x80000;
const Uint32 kFirstPid = 3000;

using Record = KivRingRecord;

/* The first item of a data record, as a word. */
Uint32 firstItemWord(const Record& r)
{
    Uint32 v = 0;
    if (r.h().itemCount > 0 && r.payloadBytes >= GTRACE_ITEMS_BASE + 8 * r.h().itemCount + 4)
        v = r.word(GTRACE_ITEMS_BASE + 8 * r.h().itemCount);
    return v;
}

std::vector<Record> readRing(GTCB* block) { return kivtestReadRing(block); }

bool isQueueFunction(Uint32 fn)
{
    return fn >= KIVFN_KIVHIPCQUEUE_CREATE && fn <= KIVFN_KIVHIPCQUEUE_GETINFO;
}

} // namespace

/* args: section path, queue path, index.  Attaches the trace block through
 * the named section and runs queue operations, one of them failing. */
KIVTEST_CHILD(ipcTraceWriter)
{
    KIVIPCResID sid = kivtestResID(args.at(0), 5);
    KIVHIPCMemory section;
    if (section.attach(&sid, nullptr) != 0)
        return 2;
    Uint32 index = (Uint32)std::atol(args.at(2).c_str());
    GTCB* block = static_cast<GTCB*>(section.address);
    if (block->initialized != 1 || gtraceAttach(block, kFirstPid + index, nullptr, nullptr,
                                                nullptr) != 0)
        return 3;
    gtraceSetFixedData1(index);

    KIVIPCQueResID ids = kivtestQueResID(args.at(1));
    KIVHIPCQueue q;
    std::vector<Uint8> message(16 + index, Uint8(index));
    Uint8 small[4];
    Uint32 n = 0;
    int rc = 0;
    if (q.attach(&ids) != 0)
        rc = 4;
    else if (q.put(message.data(), (Uint32)message.size()) != 0)
        rc = 5;
    else if (q.get(small, sizeof small, &n, 0) != ECF_QUE_MSG_TOO_BIG)
        rc = 6;
    else if (q.detach() != 0)
        rc = 7;
    gtraceDetach();
    section.detach();
    return rc;
}

TEST(IPCTrace, ProcessesWriteIntoABlockInANamedSection)
{
    std::string sectionPath = kivtestUniqueName("kivtrc_sect");
    std::string queuePath = kivtestUniqueName("kivtrc_que");

    // The queue first: this process does not trace its own operations.
    KIVIPCQueueCreateParam qp;
    qp.queResID = kivtestQueResID(queuePath);
    qp.queueSize = 4096;
    KIVHIPCQueue q;
    ASSERT_EQ(0u, q.create(&qp));

    KIVIPCMemoryCreateParam mp;
    mp.resID = kivtestResID(sectionPath, 5);
    mp.size = gtraceGetAllocSize(kRingSize);
    ASSERT_NE(0u, mp.size);
    KIVHIPCMemory section;
    ASSERT_EQ(0u, section.create(&mp));
    GTCB* block = static_cast<GTCB*>(section.address);
    std::unique_ptr<GtraceOptions> options(new GtraceOptions());
    options->bufferSize = kRingSize;
    options->traceKind = GTRACE_KIND_WRAP;
    ASSERT_EQ(0u, gtraceInitialize(block, options.get()));
    // Switch tracing on for every process that attaches, then step back.
    ASSERT_EQ(0u, gtraceAttach(block, 1, nullptr, nullptr, nullptr));
    ASSERT_EQ(0u, gtraceEnable());
    gtraceDetach();

    const Uint32 children = 2;
    std::vector<KivTestProcess> writers;
    for (Uint32 i = 0; i < children; ++i)
        writers.push_back(
            kivtestSpawnChild("ipcTraceWriter", {sectionPath, queuePath, std::to_string(i)}));
    for (auto& w : writers)
        EXPECT_EQ(0, kivtestWaitChild(w));

    // Each child's queue operations, in its order: entry and exit, and the
    // error point of the failing get with its code.
    const Uint32 expected[][3] = {
        {KIVFN_KIVHIPCQUEUE_ATTACH, GTRACE_TYPE_ENTRY, 0},
        {KIVFN_KIVHIPCQUEUE_ATTACH, GTRACE_TYPE_EXIT, 0},
        {KIVFN_KIVHIPCQUEUE_PUT, GTRACE_TYPE_ENTRY, 0},
        {KIVFN_KIVHIPCQUEUE_PUT, GTRACE_TYPE_EXIT, 0},
        {KIVFN_KIVHIPCQUEUE_GET, GTRACE_TYPE_ENTRY, 0},
        {KIVFN_KIVHIPCQUEUE_GET, GTRACE_TYPE_ERROR_DATA, ECF_QUE_MSG_TOO_BIG},
        {KIVFN_KIVHIPCQUEUE_GET, GTRACE_TYPE_EXIT, ECF_QUE_MSG_TOO_BIG},
        {KIVFN_KIVHIPCQUEUE_DETACH, GTRACE_TYPE_ENTRY, 0},
        {KIVFN_KIVHIPCQUEUE_DETACH, GTRACE_TYPE_EXIT, 0},
    };
    const size_t steps = sizeof expected / sizeof expected[0];
    std::vector<Record> all = readRing(block);
    for (Uint32 i = 0; i < children; ++i) {
        std::vector<const Record*> mine;
        size_t members = 0;
        for (const Record& r : all) {
            if (r.h().processId != kFirstPid + i)
                continue;
            EXPECT_EQ(i, r.h().fixedData1);
            if (!isQueueFunction(r.h().functionId)) {
                ++members;   // the section and semaphore operations inside
                continue;
            }
            if (r.h().recordType != GTRACE_TYPE_DATA)
                mine.push_back(&r);
        }
        EXPECT_LT(0u, members);
        ASSERT_EQ(steps, mine.size()) << "child " << i;
        for (size_t k = 0; k < steps; ++k) {
            const GtraceRecord& h = mine[k]->h();
            EXPECT_EQ(expected[k][0], h.functionId) << "child " << i << " step " << k;
            EXPECT_EQ(expected[k][1], h.recordType) << "child " << i << " step " << k;
            if (h.recordType == GTRACE_TYPE_EXIT) {
                EXPECT_EQ(expected[k][2], h.c) << "child " << i << " step " << k;
            }
            if (h.recordType == GTRACE_TYPE_ERROR_DATA) {
                EXPECT_EQ(100u, h.probe);
                EXPECT_EQ(expected[k][2], firstItemWord(*mine[k]));
            }
        }
    }

    // Both messages are still queued: the failing gets left them.
    Uint8 got[32];
    Uint32 n = 0;
    ASSERT_EQ(0u, q.get(got, sizeof got, &n, 0));
    EXPECT_TRUE(n == 16 || n == 17);
    ASSERT_EQ(0u, q.get(got, sizeof got, &n, 0));
    EXPECT_TRUE(n == 16 || n == 17);
    EXPECT_EQ(0u, q.destroy());
    EXPECT_EQ(0u, section.detach());
}
