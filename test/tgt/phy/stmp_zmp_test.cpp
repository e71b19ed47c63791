// The temporary-buffer budget and the zero-buffer pools.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "mos/umt/mos_umt_sched_thrd.h"
#include "test/support/tgt_test_support.h"
#include "tgt/phy/stmp.h"
#include "tgt/phy/zmp.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new TgtRuntimeEnv);

class Budget : public ::testing::Test {
  protected:
    void SetUp() override
    {
        tgtConf_SetDefaults();
        ASSERT_EQ(mosUmtSchedThrd_Create(&sched, "stmp", 2, 2, 4), MOS_RC__SUCCESS);
        stmp_Init(&stmp, 32768);
    }
    void TearDown() override
    {
        stmp_Destroy(&stmp);
        mosUmtSchedThrd_Destroy(&sched);
    }
    MosUmt_SchedThrd sched;
    Stmp stmp{};
};

TEST_F(Budget, WholeBudgetThenOneMoreWaitsForAFree)
{
    void *pAll = nullptr;
    umtTest_RunAsUmt([&] { pAll = stmp_Allocate(&stmp, 32768, FALSE, TRUE); }, &sched.base);
    ASSERT_NE(pAll, nullptr);
    EXPECT_EQ((uintptr_t)pAll % 4096, 0u);
    void *pMore = (void *)1;
    umtTest_RunAsUmt([&] { pMore = stmp_Allocate(&stmp, 1, FALSE, FALSE); }, &sched.base);
    EXPECT_EQ(pMore, nullptr);

    std::atomic<void *> pWaited{nullptr};
    std::thread waiter([&] { umtTest_RunAsUmt([&] { pWaited = stmp_Allocate(&stmp, 1, TRUE, FALSE); }, &sched.base); });
    ASSERT_TRUE(umtTest_WaitFor([&] { return __atomic_load_n(&stmp.waitingCount, __ATOMIC_RELAXED) == 1; }));
    EXPECT_EQ(pWaited.load(), nullptr);
    stmp_Free(&stmp, pAll, 32768, TRUE);
    waiter.join();
    ASSERT_NE(pWaited.load(), nullptr);
    StmpQuery q;
    stmp_Query(&stmp.sdbgObj, nullptr, &q);
    EXPECT_EQ(q.numOfAllocations, 1u);
    EXPECT_EQ(q.currentAllocatedInLbs, 1u);
    EXPECT_EQ(q.maxAllocatedInLbs, 32768u);
    EXPECT_EQ(q.numOfAllocated, 2u);
    EXPECT_EQ(q.numOfWaitings, 1u);
    EXPECT_EQ(q.totalSizeInLbs, 32768u);
    stmp_Free(&stmp, pWaited.load(), 1, FALSE);
}

TEST_F(Budget, SizesOutsideTheBudgetAreBrokenInvariants)
{
    EXPECT_PANIC(stmp_Allocate(&stmp, 0, FALSE, FALSE), "sizeInLbs == 0");
    EXPECT_PANIC(stmp_Allocate(&stmp, 32769, FALSE, FALSE), "sizeInLbs > pStmp->dbgQuery.totalSizeInLbs");
}

TEST(ZeroPool, BufferReturnedCleanIsAllZerosEveryTime)
{
    Zmp zmp;
    zmp_Init(&zmp, ZMP__BUFFER_SIZE_IN_LBS, 1);
    const size_t bytes = ZMP__BUFFER_SIZE_IN_LBS * 512;
    std::vector<UINT8> zeros(bytes, 0);
    for (int round = 0; round < 2; round++) {
        UINT8 *p = static_cast<UINT8 *>(zmp_Allocate(&zmp, ZMP__BUFFER_SIZE_IN_LBS, FALSE));
        ASSERT_NE(p, nullptr);
        EXPECT_EQ((uintptr_t)p % 4096, 0u);
        EXPECT_EQ(memcmp(p, zeros.data(), bytes), 0) << "round " << round;
        EXPECT_EQ(zmp_Allocate(&zmp, 8, FALSE), nullptr) << "the only buffer is out";
        zmp_Free(&zmp, p);
    }
    ZmpQuery q;
    zmp_Query(&zmp.sdbgObj, nullptr, &q);
    EXPECT_EQ(q.numOfAllocations, 0u);
    EXPECT_EQ(q.numOfAllocated, 2u);
    EXPECT_EQ(q.sizeOfBuffer, ZMP__BUFFER_SIZE_IN_LBS);
    EXPECT_EQ(q.totalSizeOfBuffers, 1u);
    UINT8 *p = static_cast<UINT8 *>(zmp_Allocate(&zmp, 1, FALSE));
    p[3] = 1;
    EXPECT_PANIC(zmp_Free(&zmp, p), "linkOf\\(pBuf\\) != nullptr");
    EXPECT_PANIC(zmp_Allocate(&zmp, ZMP__BUFFER_SIZE_IN_LBS + 1, FALSE), "bufferSizeInLbs > pZmp->dbgQuery.sizeOfBuffer");
    p[3] = 0;
    zmp_Free(&zmp, p);
    zmp_Destroy(&zmp);
}
} // namespace
