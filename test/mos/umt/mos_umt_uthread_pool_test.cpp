#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "mos/mos_diag_counters.h"
#include "mos/mos_obj.h"
#include "mos/mos_ticks.h"
#include "mos/mos_trace.h"
#include "mos/umt/mos_umt.h"
#include "mos/umt/mos_umt_class.h"
#include "mos/umt/mos_umt_sched_thrd.h"
#include "mos/umt/mos_umt_uthread_pool.h"
#include "mos/umt/mos_umt_utils.h"
#include "test/support/umt_test_support.h"
#include "mos/mos_trace_layer.h"

namespace {
enum : UINT32 { kClassWorkers, kClassOrdinals, kNumClasses };
MosUmtClassId classIds_G[kNumClasses];

void testClassInit(void)
{
    static const MosUmt_ClassAttr attrs[kNumClasses] = {{"TEST_WORKER_POOL"}, {"TEST_ORDINALS"}};
    mosUmtClassMgr_Init(attrs, kNumClasses, classIds_G);
}

// The runtime with a small class table of its own.
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new UmtRuntimeEnv(testClassInit));

UINT32 classCount(UINT32 cls)
{
    MosUmtClass *pClass = mosUmtClassMgr_GetClass(classIds_G[cls]);
    MosFastlockGuard guard(&pClass->lock);
    return pClass->umtList.counter;
}
} // namespace

TEST(UmtClass, OrdinalsFollowCreationOrderWhateverEnded)
{
    auto noop = [](void *) {};
    HMosUmt_UThread a =
        mosUmt_CreateUThreadEx(noop, nullptr, MOS_UMT_SCHED__FOREIGN, nullptr, TRUE, classIds_G[kClassOrdinals]);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->idInClass, 0u);
    mosUmt_JoinSync(a); // gone from the class
    EXPECT_EQ(classCount(kClassOrdinals), 0u);
    HMosUmt_UThread b =
        mosUmt_CreateUThreadEx(noop, nullptr, MOS_UMT_SCHED__FOREIGN, nullptr, TRUE, classIds_G[kClassOrdinals]);
    HMosUmt_UThread c =
        mosUmt_CreateUThreadEx(noop, nullptr, MOS_UMT_SCHED__FOREIGN, nullptr, TRUE, classIds_G[kClassOrdinals]);
    EXPECT_EQ(b->idInClass, 1u);
    EXPECT_EQ(c->idInClass, 2u);
    EXPECT_EQ(classCount(kClassOrdinals), 2u);
    EXPECT_STREQ(mosUmt_GetClassName(b), "TEST_ORDINALS");
    mosUmt_JoinSync(b);
    mosUmt_JoinSync(c);

    // A wrong magic: the uthread belongs to no class.
    MosUmtClassId bad = classIds_G[kClassOrdinals];
    bad.opaqueHigh ^= 1;
    EXPECT_FALSE(mosUmtClassId_IsValid(&bad));
    HMosUmt_UThread d = mosUmt_CreateUThreadEx(noop, nullptr, MOS_UMT_SCHED__FOREIGN, nullptr, TRUE, bad);
    ASSERT_NE(d, nullptr);
    EXPECT_STREQ(mosUmt_GetClassName(d), "invalid");
    EXPECT_STREQ(mosUmtClassMgr_GetClassName(bad), "invalid");
    mosUmt_JoinSync(d);
    MosUmtClassId outOfRange{kNumClasses, MOS_UMT_CLASS_ID_MAGIC};
    EXPECT_EQ(mosUmtClassMgr_GetClass(outOfRange), nullptr);
}

TEST(UmtClass, QueryThroughManagerAndRegistry)
{
    MosUmtClassQuery q;
    ASSERT_EQ(mosUmtClassMgr_Query(classIds_G[kClassWorkers], &q), MOS_RC__SUCCESS);
    EXPECT_STREQ(q.className, "TEST_WORKER_POOL");
    EXPECT_STREQ(q.classCountersArray[0].name, "Class Generic Counter");
    EXPECT_STREQ(q.umtStatsArray[0].name, "UMT Generic Stat");
    EXPECT_STREQ(q.umtCountersArray[0].name, "UMT Generic Counter");
    EXPECT_EQ(q.classCountersArray[0].value + q.umtStatsArray[0].value + q.umtCountersArray[0].value, 0u);
    EXPECT_EQ(mosUmtClassMgr_Query(MosUmtClassId{0, 0}, &q), MOS_RC__NOT_FOUND);

    MosObj_Type *pType = mosObjType_GetPtrByID(SDBG_EXPORTS_OBJ_TYPE__MOS_UMT_CLASS);
    ASSERT_NE(pType, nullptr);
    EXPECT_EQ(mosObjType_GetObjNum(pType), (UINT32)kNumClasses);
    MosObj *pObj = mosObjType_GetNthObj(pType, 1);
    ASSERT_NE(pObj, nullptr);
    MosUmtClassQuery viaRegistry;
    mosObj_Query(pObj, pType, &viaRegistry);
    mosObjType_ReleaseNthObj(pType);
    EXPECT_STREQ(viaRegistry.className, "TEST_ORDINALS");
}

namespace {
// A work request with its own record around the node.
struct Job {
    MosUmtPool_WorkReq node;
    int id = 0;
    bool bBlock = false; // waits on the gate before finishing
};

// Shared by a pool's worker function (which has only the node to go on).
struct JobLog {
    MosUmt_Sem gate;
    std::atomic<int> started{0};
    std::atomic<int> done{0};
    std::vector<std::atomic<int>> runs;
    std::vector<int> order; // ids in running order (single-worker tests)
    MosFastlock_Base orderLock;
    explicit JobLog(size_t n) : runs(n)
    {
        mosUmtSem_Init(&gate);
        MOS_FASTLOCK_CREATE(&orderLock, 1);
    }
    ~JobLog()
    {
        mosUmtSem_Destroy(&gate);
        mosFastlockBase_Destroy(&orderLock);
    }
};
JobLog *pLog_G;

void jobWorker(MosUmtPool_WorkReq *pNode)
{
    Job *pJob = MOS_CONTAINER_OF(pNode, Job, node);
    pLog_G->started++;
    if (pJob->bBlock) {
        EXPECT_EQ(mosUmtSem_DecTimed(&pLog_G->gate, 1, 0), MOS_RC__SUCCESS);
    }
    {
        MosFastlockGuard guard(&pLog_G->orderLock);
        pLog_G->order.push_back(pJob->id);
    }
    pLog_G->runs[pJob->id]++;
    pLog_G->done++;
}

// Pools on a scheduler of two OS threads, made the default for the pools' workers.
class UmtPool : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_EQ(mosUmtSchedThrd_Create(&sched_, "pool test", 2, 2, 4), MOS_RC__SUCCESS);
        mosUmtMgr_SetDefaults(&sched_.base, nullptr);
    }
    void TearDown() override
    {
        mosUmtMgr_SetDefaults(mosUmtMgr_GetForeignSched(), nullptr);
        // The pools' last workers may still be on their way out.
        EXPECT_TRUE(umtTest_WaitFor([] { return classCount(kClassWorkers) == 0; }));
        mosUmtSchedThrd_Destroy(&sched_);
        pLog_G = nullptr;
    }
    std::vector<std::unique_ptr<Job>> MakeJobs(JobLog *pLog, size_t n)
    {
        pLog_G = pLog;
        std::vector<std::unique_ptr<Job>> jobs;
        for (size_t i = 0; i < n; i++) {
            jobs.push_back(std::make_unique<Job>());
            mosDList_InitNode(&jobs.back()->node);
            jobs.back()->id = (int)i;
        }
        return jobs;
    }
    Mos_RC Destroy(MosUMT_UThreadPool *pPool)
    {
        Mos_RC rc = MOS_RC__ERROR;
        umtTest_RunAsUmt([&] { rc = mosUmtPool_Destroy(pPool); }, &sched_.base);
        return rc;
    }
    MosUmt_SchedThrd sched_;
};
} // namespace

TEST_F(UmtPool, ShrinkWithQueuedWorkEndsTwoWorkersAndRunsEverything)
{
    JobLog log(7);
    auto jobs = MakeJobs(&log, 7);
    MosUMT_UThreadPool pool;
    mosUmtPool_Init(&pool, 4, jobWorker, TRUE, classIds_G[kClassWorkers]);
    // Four jobs occupy the four workers; three more wait in the queue.
    for (int i = 0; i < 4; i++) {
        jobs[i]->bBlock = true;
        ASSERT_EQ(mosUmtPool_AddWorkRequest(&pool, &jobs[i]->node), MOS_RC__SUCCESS);
    }
    ASSERT_TRUE(umtTest_WaitFor([&] { return log.started == 4; }));
    for (int i = 4; i < 7; i++)
        ASSERT_EQ(mosUmtPool_AddWorkRequest(&pool, &jobs[i]->node), MOS_RC__SUCCESS);
    EXPECT_EQ(mosUmtPool_GetNumOfPendingTasksUnlocked(&pool), 3u);
    EXPECT_EQ(classCount(kClassWorkers), 4u);

    mosUmtPool_Resize(&pool, 2);
    EXPECT_EQ(mosUmtPool_GetNumOfWorkers(&pool), 2u);
    EXPECT_EQ(mosUmtPool_GetNumOfRemovePending(&pool), 2u);
    mosUmtSem_IncInter(&log.gate, 4, TRUE);

    ASSERT_TRUE(umtTest_WaitFor([&] { return log.done == 7 && mosUmtPool_GetNumOfRemovePending(&pool) == 0; }));
    ASSERT_TRUE(umtTest_WaitFor([&] { return classCount(kClassWorkers) == 2; }));
    for (int i = 0; i < 7; i++)
        EXPECT_EQ(log.runs[i].load(), 1) << "job " << i;
    EXPECT_EQ(Destroy(&pool), MOS_RC__SUCCESS);
}

TEST_F(UmtPool, PriorityAndRemovalOfQueuedRequests)
{
    JobLog log(6);
    auto jobs = MakeJobs(&log, 6);
    MosUMT_UThreadPool pool;
    mosUmtPool_Init(&pool, 1, jobWorker, TRUE, classIds_G[kClassWorkers]);
    jobs[0]->bBlock = true;
    ASSERT_EQ(mosUmtPool_AddWorkRequest(&pool, &jobs[0]->node), MOS_RC__SUCCESS);
    ASSERT_TRUE(umtTest_WaitFor([&] { return log.started == 1; }));
    for (int i = 1; i <= 4; i++)
        ASSERT_EQ(mosUmtPool_AddWorkRequest(&pool, &jobs[i]->node), MOS_RC__SUCCESS);

    mosUmtPool_HigherThePriority(&pool, &jobs[3]->node); // 3 goes next
    mosUmtPool_HigherThePriority(&pool, &jobs[0]->node); // running already: nothing changes
    EXPECT_EQ(mosUmtPool_RemoveWorkRequest(&pool, &jobs[2]->node), MOS_RC__SUCCESS);
    EXPECT_EQ(mosUmtSem_GetCount(&pool.sem), 3u);
    // Taken by the worker: not found, and the unit of another request stays.
    EXPECT_EQ(mosUmtPool_RemoveWorkRequest(&pool, &jobs[0]->node), MOS_RC__NOT_FOUND);
    EXPECT_EQ(mosUmtSem_GetCount(&pool.sem), 3u);

    mosUmtSem_IncInter(&log.gate, 1, TRUE);
    ASSERT_TRUE(umtTest_WaitFor([&] { return log.done == 4; }));
    EXPECT_EQ(log.order, (std::vector<int>{0, 3, 1, 4}));
    EXPECT_EQ(log.runs[2].load(), 0);
    // Nothing queued, nothing to take.
    EXPECT_EQ(mosUmtPool_RemoveWorkRequest(&pool, &jobs[4]->node), MOS_RC__NOT_FOUND);
    EXPECT_EQ(mosUmtSem_GetCount(&pool.sem), 0u);
    EXPECT_EQ(Destroy(&pool), MOS_RC__SUCCESS);
}

TEST_F(UmtPool, DestroyThatCannotDrainIsBusyAndRefusesNewRequests)
{
    JobLog log(3);
    auto jobs = MakeJobs(&log, 3);
    MosUMT_UThreadPool pool;
    mosUmtPool_Init(&pool, 1, jobWorker, FALSE, classIds_G[kClassWorkers]);
    // Not started yet: refused.
    EXPECT_EQ(mosUmtPool_AddWorkRequest(&pool, &jobs[0]->node), MOS_RC__ABORTED);
    mosUmtPool_Start(&pool);
    jobs[0]->bBlock = true;
    ASSERT_EQ(mosUmtPool_AddWorkRequest(&pool, &jobs[0]->node), MOS_RC__SUCCESS);
    ASSERT_TRUE(umtTest_WaitFor([&] { return log.started == 1; }));
    ASSERT_EQ(mosUmtPool_AddWorkRequest(&pool, &jobs[1]->node), MOS_RC__SUCCESS);

    mosTrcLayer_DumpToStdout(TRUE);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(Destroy(&pool), MOS_RC__BUSY);
    std::string out = ::testing::internal::GetCapturedStdout();
    mosTrcLayer_DumpToStdout(FALSE);
    char line[96];
    snprintf(line, sizeof(line), ": ERROR: Failed to destroy pool %p due to pending tasks\n", (void *)&pool);
    EXPECT_NE(out.find(line), std::string::npos) << out;
    EXPECT_EQ(out.find("ERROR: ERROR:"), std::string::npos) << out;
    EXPECT_EQ(mosUmtPool_AddWorkRequest(&pool, &jobs[2]->node), MOS_RC__ABORTED);
    EXPECT_FALSE(mosDList_IsLinked(&jobs[2]->node));

    // The stopped pool still runs what it had queued, and can then be destroyed.
    mosUmtSem_IncInter(&log.gate, 1, TRUE);
    ASSERT_TRUE(umtTest_WaitFor([&] { return log.done == 2; }));
    EXPECT_EQ(Destroy(&pool), MOS_RC__SUCCESS);
    EXPECT_EQ(log.runs[2].load(), 0);
}

TEST_F(UmtPool, PoolNeverStartedIsDestroyedAtOnceAndResizeBeforeStartOnlyConfigures)
{
    MosUMT_UThreadPool pool;
    mosUmtPool_Init(&pool, 4, jobWorker, FALSE, classIds_G[kClassWorkers]);
    EXPECT_EQ(Destroy(&pool), MOS_RC__SUCCESS);

    JobLog log(1);
    auto jobs = MakeJobs(&log, 1);
    mosUmtPool_Init(&pool, 4, jobWorker, FALSE, classIds_G[kClassWorkers]);
    mosUmtPool_Resize(&pool, 2);
    EXPECT_EQ(mosUmtPool_GetNumOfRemovePending(&pool), 0u);
    mosUmtPool_Start(&pool);
    ASSERT_TRUE(umtTest_WaitFor([&] { return classCount(kClassWorkers) == 2; }));
    ASSERT_EQ(mosUmtPool_AddWorkRequest(&pool, &jobs[0]->node), MOS_RC__SUCCESS);
    ASSERT_TRUE(umtTest_WaitFor([&] { return log.done == 1; }));
    EXPECT_EQ(Destroy(&pool), MOS_RC__SUCCESS);
}

// Requests pour in from several OS threads while the pool is resized up and down: every request
// runs exactly once.
TEST_F(UmtPool, ResizeUnderLoadLosesNoRequest)
{
    constexpr int kProducers = 4;
    constexpr int kPerProducer = 2500;
    JobLog log(kProducers * kPerProducer);
    auto jobs = MakeJobs(&log, kProducers * kPerProducer);
    MosUMT_UThreadPool pool;
    mosUmtPool_Init(&pool, 4, jobWorker, TRUE, classIds_G[kClassWorkers]);
    std::atomic<bool> bProducing{true};
    std::vector<std::thread> producers;
    for (int p = 0; p < kProducers; p++) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < kPerProducer; i++)
                EXPECT_EQ(mosUmtPool_AddWorkRequest(&pool, &jobs[p * kPerProducer + i]->node), MOS_RC__SUCCESS);
        });
    }
    std::thread resizer([&] {
        unsigned seed = 7;
        while (bProducing) {
            seed = seed * 1103515245u + 12345u;
            mosUmtPool_Resize(&pool, 1 + (seed >> 16) % 8);
            std::this_thread::sleep_for(std::chrono::microseconds(200));
        }
    });
    for (auto &t : producers)
        t.join();
    bProducing = false;
    resizer.join();
    ASSERT_TRUE(umtTest_WaitFor([&] { return log.done == kProducers * kPerProducer; }));
    for (int i = 0; i < kProducers * kPerProducer; i++)
        ASSERT_EQ(log.runs[i].load(), 1) << "job " << i;
    ASSERT_TRUE(umtTest_WaitFor([&] {
        return mosUmtPool_GetNumOfRemovePending(&pool) == 0 && classCount(kClassWorkers) == mosUmtPool_GetNumOfWorkers(&pool);
    }));
    EXPECT_EQ(Destroy(&pool), MOS_RC__SUCCESS);
}

namespace {
// A clock that only the test's own thread moves, by a fixed step per reading.
std::thread::id fillThread_G;
std::atomic<MosTicks_Cnt> fakeTicks_G{0};
MosTicks_Cnt fakeStep_G = 0;
MosTicks_Cnt fakeClock(void)
{
    if (std::this_thread::get_id() != fillThread_G)
        return fakeTicks_G.load();
    return fakeTicks_G.fetch_add(fakeStep_G) + fakeStep_G;
}

struct FillCase {
    UINT64 timeoutMillis; // 10: the process thresholds through mosUmtUtils_MemSet
    UINT32 stepDivisor;   // each reading of the clock adds timeout / stepDivisor (0: frozen)
    UINT32 yields;
};
} // namespace

// 20 MB in slices of 8 MB: two slices and a remainder of 4 MB; a yield after a slice only when
// the time threshold has passed since the start or the last yield. With half the threshold per
// reading, the first slice ends before it and the second after it.
TEST(UmtFill, SlicesYieldOnlyWhenTheTimeThresholdPassed)
{
    ASSERT_EQ(mosUmtUtils_GetTimeoutInMilliSecondThreshold(), 10u);
    ASSERT_EQ(mosUmtUtils_GetSizeInBytesThreshold(), 8u * 1024 * 1024);
    constexpr UINT64 kSize = 20ull * 1024 * 1024;
    std::vector<UINT8> block(kSize + 1, 0);
    // 20 ms: a tick may be 10 ms, and half the threshold must still be a whole tick.
    const FillCase cases[] = {{10, 0, 0}, {10, 1, 2}, {20, 2, 1}};
    UINT8 value = 1;
    for (const FillCase &c : cases) {
        SCOPED_TRACE(c.timeoutMillis * 100 + c.stepDivisor);
        UINT32 before = mosDiagCounters_Get(MOS_DIAG_COUNTER__MALLOC_CAUSED_YIELD);
        umtTest_RunAsUmt(
            [&] {
                fillThread_G = std::this_thread::get_id();
                fakeTicks_G = mosTicks_GetCurrentTick();
                fakeStep_G = c.stepDivisor == 0 ? 0 : mosTicks_MillisToTicks(c.timeoutMillis) / c.stepDivisor;
                mosTicks_SetClockForTest(fakeClock);
                if (c.timeoutMillis == 10)
                    mosUmtUtils_MemSet(block.data(), value, kSize);
                else
                    mosUmtUtils_MemSetGeneric(block.data(), value, kSize, c.timeoutMillis, 8u * 1024 * 1024);
                mosTicks_SetClockForTest(nullptr);
            },
            MOS_UMT_SCHED__FOREIGN);
        EXPECT_EQ(mosDiagCounters_Get(MOS_DIAG_COUNTER__MALLOC_CAUSED_YIELD) - before, c.yields);
        EXPECT_EQ(block[0], value);
        EXPECT_EQ(block[kSize / 2], value);
        EXPECT_EQ(block[kSize - 1], value); // the remainder after the last slice
        EXPECT_EQ(block[kSize], 0);         // and not a byte more
        value++;
    }
}

TEST(UmtFill, LayerClampsItsThresholds)
{
    MosUmtUtils_InitParams params{5000, 10};
    ASSERT_EQ(mosUmtUtilsLayer_Create(&params), MOS_RC__SUCCESS);
    EXPECT_EQ(mosUmtUtils_GetTimeoutInMilliSecondThreshold(), 1000u);
    EXPECT_EQ(mosUmtUtils_GetSizeInBytesThreshold(), 1024u);
    ASSERT_EQ(mosUmtUtilsLayer_Create(nullptr), MOS_RC__SUCCESS);
    EXPECT_EQ(mosUmtUtils_GetTimeoutInMilliSecondThreshold(), 10u);
    EXPECT_EQ(mosUmtUtils_GetSizeInBytesThreshold(), 8u * 1024 * 1024);
}

TEST(UmtFillDeathTest, OsThreadIsRefused)
{
    // The error line carries its "ERROR: " once, right after the line's position.
    EXPECT_PANIC(
        {
            mosTrcLayer_DumpToStdout(TRUE);
            char buf[16];
            mosUmtUtils_MemSet(buf, 0, sizeof(buf));
        },
        ":[0-9]{5}: ERROR: Illegal use of this function, not a UMT context");
}
