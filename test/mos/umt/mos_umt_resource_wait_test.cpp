#include <gtest/gtest.h>

#include <atomic>

#include "mos/mos_dynamic_mempool.h"
#include "mos/mos_mempool.h"
#include "mos/mos_limiter.h"
#include "mos/mos_timer.h"
#include "mos/umt/mos_umt.h"
#include "mos/umt/mos_umt_dynamic_mempool.h"
#include "mos/umt/mos_umt_limiter.h"
#include "mos/umt/mos_umt_mempool.h"
#include "test/support/umt_test_support.h"

namespace {
::testing::Environment *const umtEnv_G = ::testing::AddGlobalTestEnvironment(new UmtRuntimeEnv);

const MosUmtClassId kNoClass{0, 0};

// Starts fn as a joinable uthread on the foreign scheduler: it runs here until it first waits,
// and later on whichever thread completes its wait.
HMosUmt_UThread startForeign(std::function<void()> *pFn)
{
    return mosUmt_CreateUThreadEx([](void *p) { (*static_cast<std::function<void()> *>(p))(); }, pFn,
                                  MOS_UMT_SCHED__FOREIGN, nullptr, TRUE, kNoClass);
}
} // namespace

TEST(UmtResourceWait, MemPoolWaitReturnsTheBlockFreedLater)
{
    MosMemPool pool;
    mosUmtMemPool_Create(&pool, "umt wait pool", nullptr, 64, 1, 8, FALSE, MOS_TIMER__FREE_HANDLER_LIST);
    PVOID pFirst = nullptr;
    PVOID pSecond = nullptr;
    std::atomic<bool> bGot{false};
    std::function<void()> first = [&] { mosUmtMemPool_AllocWait(&pool, &pFirst); };
    std::function<void()> second = [&] {
        mosUmtMemPool_AllocWait(&pool, &pSecond);
        bGot = true;
    };
    HMosUmt_UThread h1 = startForeign(&first);
    ASSERT_NE(pFirst, nullptr);
    HMosUmt_UThread h2 = startForeign(&second);
    EXPECT_FALSE(bGot.load()); // the pool is empty: it waits
    mosMemPool_Free(&pool, pFirst);
    EXPECT_TRUE(bGot.load());
    EXPECT_EQ(pSecond, pFirst);
    mosUmt_JoinSync(h1);
    mosUmt_JoinSync(h2);
    mosMemPool_Free(&pool, pSecond);
    mosMemPool_Destroy(&pool);
}

TEST(UmtResourceWait, DynamicPoolWaitReturnsTheUnitFreedLater)
{
    MosDynamicMemPool pool;
    ASSERT_EQ(mosDynamicMemPool_Create(&pool, "umt wait dyn pool", 64, 1, 1, 0, 8), MOS_RC__SUCCESS);
    MosDynamicMemPool_Buffer first{}, second{};
    std::atomic<bool> bGot{false};
    std::function<void()> f1 = [&] { mosUmtDynamicMemPool_AllocWait(&pool, &first); };
    std::function<void()> f2 = [&] {
        mosUmtDynamicMemPool_AllocWait(&pool, &second);
        bGot = true;
    };
    HMosUmt_UThread h1 = startForeign(&f1);
    ASSERT_NE(first.pBuffer, nullptr);
    HMosUmt_UThread h2 = startForeign(&f2);
    EXPECT_FALSE(bGot.load());
    PVOID pUnit = first.pBuffer;
    EXPECT_EQ(mosDynamicMemPool_Free(&pool, &first), MOS_RC__SUCCESS);
    EXPECT_TRUE(bGot.load());
    EXPECT_EQ(second.pBuffer, pUnit);
    mosUmt_JoinSync(h1);
    mosUmt_JoinSync(h2);
    EXPECT_EQ(mosDynamicMemPool_Free(&pool, &second), MOS_RC__SUCCESS);
    mosDynamicMemPool_Destroy(&pool);
}

TEST(UmtResourceWait, LimiterWaitReturnsWhenAdmitted)
{
    MosLimiter limiter;
    mosLimiter_Init(&limiter, 1000, 0);
    // Within the slot: admitted at once.
    umtTest_RunAsUmt([&] { mosUmtLimiter_Add(&limiter, 10); }, MOS_UMT_SCHED__FOREIGN);
    // Far beyond the budget of many slots: it waits until the test admits it.
    std::atomic<bool> bAdmitted{false};
    std::function<void()> big = [&] {
        mosUmtLimiter_Add(&limiter, 100000000);
        bAdmitted = true;
    };
    HMosUmt_UThread h = startForeign(&big);
    EXPECT_FALSE(bAdmitted.load());
    MosLimiter_Query q;
    mosLimiter_Query(&limiter, &q);
    EXPECT_EQ(q.waiters, 1u);
    EXPECT_EQ(mosUmtLimiter_Pop(&limiter), MOS_RC__SUCCESS);
    EXPECT_TRUE(bAdmitted.load());
    mosUmt_JoinSync(h);
    mosLimiter_Destroy(&limiter);
}

TEST(UmtResourceWaitDeathTest, NonListPoolIsRefused)
{
    EXPECT_PANIC(
        {
            MosMemPool pool;
            mosUmtMemPool_Create(&pool, "stack pool", nullptr, 64, 1, 8, FALSE, MOS_TIMER__FREE_HANDLER_STACK);
        },
        "freeHandlingType == MOS_TIMER__FREE_HANDLER_LIST");
}
