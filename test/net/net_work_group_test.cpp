#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "test/support/net_engine_support.h"
#include "test/support/umt_test_support.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new UmtRuntimeEnv);

// Workers on a scheduler with one OS thread, which a spinning uthread can hold: while it spins no
// worker runs, so queued tasks stay where the group put them.
class NetWorkGroupTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        netEngineTest_Start(&engine_, 4, 1);
        ASSERT_TRUE(umtTest_WaitFor([&] { return !netWorkGroup_IsNumberOfWorkersBeingConfigured(group()); }));
    }
    void TearDown() override { netEngineTest_Stop(&engine_); }
    NetWorkGroup *group() { return &engine_.net.wrkGrp; }

    void HoldWorkers()
    {
        release_ = false;
        spinning_ = false;
        spinner_ = mosUmt_CreateUThreadEx(
            [](void *p) {
                auto *self = static_cast<NetWorkGroupTest *>(p);
                self->spinning_ = true;
                while (!self->release_) {
                }
            },
            this, &engine_.sched.base, nullptr, TRUE, MosUmtClassId{0, 0});
        ASSERT_TRUE(umtTest_WaitFor([&] { return spinning_.load(); }));
    }
    void ReleaseWorkers()
    {
        release_ = true;
        mosUmt_JoinSync(spinner_);
    }

    NetEngineForTest engine_;
    HMosUmt_UThread spinner_ = nullptr;
    std::atomic<bool> release_{false};
    std::atomic<bool> spinning_{false};
};

// A task that records which worker ran it, and in what order tasks ran.
struct Probe {
    MosMit_Storage<4> mit;
    NetWorkGroup *pGroup;
    std::atomic<int> worker{-1};
    std::string *pLog;
    char name;
    Probe *pLocalChild = nullptr;    // started from inside this task
    Probe *pPriorityChild = nullptr; // resumed "now" from inside this task
    MosMitCond *pCond = nullptr;
    MosFastlock_Base *pLock = nullptr;
};

int WorkerIndex(NetWorkGroup *pGroup)
{
    HMosUmt_UThread h = mosUmt_GetUThreadHdlNoAssert();
    for (UINT32 i = 0; i < pGroup->maxNumOfThreads; i++)
        if (pGroup->pWorkThreadArr[i].hUmt == h)
            return (int)i;
    return -1;
}

Mos_RC ProbeStep(MosMit *pMit, Mos_RC rc)
{
    Probe *p = static_cast<Probe *>(pMit->pContext);
    MOS_MIT_BEGIN(pMit);
    if (p->pCond != nullptr) {
        // Waits until another task resumes it.
        mosFastlockBase_Acquire(p->pLock);
        MOS_MIT_COND_WAIT(pMit, rc, p->pCond, p->pLock, 0);
        mosFastlockBase_Release(p->pLock);
    }
    p->worker = WorkerIndex(p->pGroup);
    if (p->pLog != nullptr)
        *p->pLog += p->name;
    if (p->pLocalChild != nullptr)
        mosMit_Start(p->pLocalChild->mit.get(), ProbeStep);
    if (p->pPriorityChild != nullptr) {
        Probe *c = p->pPriorityChild;
        mosFastlockBase_Acquire(c->pLock);
        MosMit *pChild = mosMitCond_NextMitToWake(c->pCond);
        mosDList_Remove(&c->pCond->waiters, &pChild->node);
        mosFastlockBase_Release(c->pLock);
        mosMit_ResumeNow(pChild, MOS_RC__SUCCESS);
    }
    MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
    MOS_MIT_END(pMit);
}

void ProbeInit(Probe *p, NetWorkGroup *pGroup, char name, std::string *pLog = nullptr)
{
    p->pGroup = pGroup;
    p->name = name;
    p->pLog = pLog;
    mosMit_Init(p->mit.get(), &pGroup->sched, nullptr, p, 4);
    p->mit.get()->joinRef = 2;
}
} // namespace

TEST_F(NetWorkGroupTest, TasksFromAForeignThreadSpreadOverIdleWorkers)
{
    HoldWorkers();
    Probe probes[4];
    for (int i = 0; i < 4; i++) {
        ProbeInit(&probes[i], group(), (char)('a' + i));
        mosMit_Start(probes[i].mit.get(), ProbeStep);
    }
    for (int i = 0; i < 4; i++)
        EXPECT_EQ(group()->pWorkThreadArr[i].remoteWaiters.counter, 1u) << i;
    NetWorkGroupQuery q;
    netWorkGroup_Query(&group()->sdbgObj, nullptr, &q);
    EXPECT_EQ(q.numUmts, 4u);
    EXPECT_EQ(q.numActiveUmts, 4u);
    EXPECT_EQ(q.remoteMitWaiters, 4u);
    ReleaseWorkers();
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(mosMit_JoinSync(probes[i].mit.get()), MOS_RC__SUCCESS);
        EXPECT_EQ(probes[i].worker, i);
    }
}

// From inside a worker: a started task queues locally on the same worker, and a task resumed
// "now" runs right after the current one, ahead of it.
TEST_F(NetWorkGroupTest, LocalAndPriorityScheduling)
{
    std::string log;
    MosFastlock_Base lock;
    MOS_FASTLOCK_CREATE(&lock, 999);
    MosMitCond cond;
    mosMitCond_Init(&cond);
    Probe waiter, parent, local;
    ProbeInit(&waiter, group(), 'W', &log);
    waiter.pCond = &cond;
    waiter.pLock = &lock;
    ProbeInit(&parent, group(), 'P', &log);
    ProbeInit(&local, group(), 'L', &log);
    parent.pLocalChild = &local;
    parent.pPriorityChild = &waiter;
    mosMit_Start(waiter.mit.get(), ProbeStep);
    ASSERT_TRUE(umtTest_WaitFor([&] { return cond.waiters.counter == 1; }));
    mosMit_Start(parent.mit.get(), ProbeStep);
    for (Probe *p : {&waiter, &parent, &local})
        EXPECT_EQ(mosMit_JoinSync(p->mit.get()), MOS_RC__SUCCESS);
    EXPECT_EQ(log, "PWL");
    EXPECT_EQ(waiter.worker, parent.worker);
    EXPECT_EQ(local.worker, parent.worker);
    mosMitCond_Destroy(&cond);
    mosFastlockBase_Destroy(&lock);
}

// Shrinking while the dying workers still hold tasks: the tasks run, and no second resize is
// taken until those workers have ended.
TEST_F(NetWorkGroupTest, ShrinkRunsQueuedTasksAndRefusesAnOverlappingResize)
{
    EXPECT_EQ(netWorkGroup_Resize(group(), 0), MOS_RC__PARAMETER_OUT_OF_RANGE);
    EXPECT_EQ(netWorkGroup_Resize(group(), group()->maxNumOfThreads + 1), MOS_RC__PARAMETER_OUT_OF_RANGE);
    HoldWorkers();
    Probe probes[4];
    for (int i = 0; i < 4; i++) {
        ProbeInit(&probes[i], group(), (char)('a' + i));
        mosMit_Start(probes[i].mit.get(), ProbeStep);
    }
    EXPECT_EQ(netWorkGroup_Resize(group(), 2), MOS_RC__SUCCESS);
    EXPECT_EQ(netWorkGroup_GetNumOfWorkers(group()), 2u);
    EXPECT_TRUE(netWorkGroup_IsNumberOfWorkersBeingConfigured(group()));
    EXPECT_EQ(netWorkGroup_Resize(group(), 3), MOS_RC__BUSY);
    ReleaseWorkers();
    for (int i = 0; i < 4; i++) {
        EXPECT_EQ(mosMit_JoinSync(probes[i].mit.get()), MOS_RC__SUCCESS);
        EXPECT_EQ(probes[i].worker, i);
    }
    ASSERT_TRUE(umtTest_WaitFor([&] { return !netWorkGroup_IsNumberOfWorkersBeingConfigured(group()); }));
    // Growing again brings new workers into the freed slots.
    EXPECT_EQ(netWorkGroup_Resize(group(), 6), MOS_RC__SUCCESS);
    ASSERT_TRUE(umtTest_WaitFor([&] { return !netWorkGroup_IsNumberOfWorkersBeingConfigured(group()); }));
    EXPECT_EQ(netWorkGroup_GetNumOfWorkers(group()), 6u);
    HoldWorkers();
    Probe more[6];
    for (int i = 0; i < 6; i++) {
        ProbeInit(&more[i], group(), 'm');
        mosMit_Start(more[i].mit.get(), ProbeStep);
    }
    ReleaseWorkers();
    for (int i = 0; i < 6; i++) {
        EXPECT_EQ(mosMit_JoinSync(more[i].mit.get()), MOS_RC__SUCCESS);
        EXPECT_EQ(more[i].worker, i);
    }
}
