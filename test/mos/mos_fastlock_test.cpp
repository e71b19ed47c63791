#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "mos/mos_fastlock.h"
#include "mos/usr/linux/mos_condvar.h"
#include "test/support/panic_expect.h"

namespace {
struct FastlockLayer : ::testing::Test {
    void TearDown() override { mosFastlockLayer_Create(nullptr); }
};
} // namespace

TEST_F(FastlockLayer, HeldCountFollowsAcquireAndRelease)
{
    MosFastlock_Base a, b;
    MOS_FASTLOCK_CREATE(&a, 1);
    MOS_FASTLOCK_CREATE(&b, 2);
    EXPECT_EQ(mosFastlock_NumAcquires(), 0u);
    EXPECT_FALSE(mosFastlockBase_Acquire(&a));
    mosFastlockBase_Acquire(&b);
    EXPECT_EQ(mosFastlock_NumAcquires(), 2u);
    EXPECT_TRUE(mosFastlockBase_IsLockedByCurrentThread(&a));
    std::thread([&] { EXPECT_FALSE(mosFastlockBase_IsLockedByCurrentThread(&a)); }).join();
    mosFastlockBase_Release(&b);
    mosFastlockBase_Release(&a);
    EXPECT_EQ(mosFastlock_NumAcquires(), 0u);
    EXPECT_FALSE(mosFastlockBase_IsLockedByCurrentThread(&a));
    mosFastlockBase_Destroy(&a);
    mosFastlockBase_Destroy(&b);
}

TEST_F(FastlockLayer, SpinSettingChoosesKindAtCreation)
{
    MosFastlock_InitParams params{};
    params.bUseSpinLocks = TRUE;
    ASSERT_EQ(mosFastlockLayer_Create(&params), MOS_RC__SUCCESS);
    EXPECT_TRUE(mosFastlockLayer_UseSpinlocks());
    EXPECT_EQ(mosFastlockLayer_GetParams().acquirePeriodLog, 10u);
    MosFastlock_Base spin, adaptive;
    MOS_FASTLOCK_CREATE(&spin, 1);
    MOS_FASTLOCK_CREATE_ADAPTIVE(&adaptive, 1);
    EXPECT_EQ(spin.lock.bSpinLock, 1);
    EXPECT_EQ(adaptive.lock.bSpinLock, 0);
    // The kind stays with the lock after the setting changes.
    mosFastlockLayer_Create(nullptr);
    EXPECT_FALSE(mosFastlockLayer_UseSpinlocks());
    mosFastlockBase_Acquire(&spin);
    mosFastlockBase_Release(&spin);
    mosFastlockBase_Acquire(&adaptive);
    mosFastlockBase_Release(&adaptive);
    mosFastlockBase_Destroy(&spin);
    mosFastlockBase_Destroy(&adaptive);
}

// The holder lets go only once the waiter is seen asleep on the lock (its word marks sleepers), so
// the waiter's acquire cannot have found the lock free, however late its thread ran.
TEST_F(FastlockLayer, ContendedAcquireIsReported)
{
    for (auto create : {mosFastlockBase_AdaptiveCreate, mosFastlockBase_AdaptiveCreateDebug}) {
        MosFastlock_Base lock;
        create(&lock, 1, __FILE__, __LINE__);
        mosFastlockBase_Acquire(&lock);
        std::atomic<BOOL> bContended{FALSE};
        std::thread t([&] {
            bContended = mosFastlockBase_Acquire(&lock);
            mosFastlockBase_Release(&lock);
        });
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        bool bSleeper = false;
        while (!(bSleeper = __atomic_load_n(&lock.lock.osLock.mutex.__data.__lock, __ATOMIC_ACQUIRE) == 2) &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        EXPECT_TRUE(bSleeper) << "the waiter never slept on the lock";
        mosFastlockBase_Release(&lock);
        t.join();
        EXPECT_TRUE(bContended);
        EXPECT_FALSE(mosFastlockBase_Acquire(&lock)) << "free again";
        mosFastlockBase_Release(&lock);
        mosFastlockBase_Destroy(&lock);
    }
}

TEST_F(FastlockLayer, ReleaseWithoutHeldLockPanics)
{
    EXPECT_PANIC({
            MosFastlock_Base lock;
            MOS_FASTLOCK_CREATE(&lock, 1);
            mosFastlockBase_Release(&lock);
        }, "");
}

TEST_F(FastlockLayer, TimedWaitTimesOutWithLockHeldAgain)
{
    MosFastlock_Base lock;
    MosOsw_CondVar cv;
    MOS_FASTLOCK_CREATE_ADAPTIVE(&lock, 1);
    mosOSWCond_Init(&cv);
    mosFastlockBase_Acquire(&lock);
    EXPECT_EQ(mosOSWCond_TimedWait(&cv, &lock, 0), MOS_RC__TIMEOUT);
    EXPECT_EQ(mosOSWCond_TimedWait(&cv, &lock, 5), MOS_RC__TIMEOUT);
    EXPECT_EQ(mosFastlock_NumAcquires(), 1u);
    EXPECT_TRUE(mosFastlockBase_IsLockedByCurrentThread(&lock));
    mosFastlockBase_Release(&lock);
    mosOSWCond_Destroy(&cv);
    mosFastlockBase_Destroy(&lock);
}

TEST_F(FastlockLayer, TimedWaitOnSpinLockPanics)
{
    EXPECT_PANIC({
            MosFastlock_Base lock;
            MosOsw_CondVar cv;
            MOS_FASTLOCK_CREATE_SPIN(&lock, 1);
            mosOSWCond_Init(&cv);
            mosFastlockBase_Acquire(&lock);
            mosOSWCond_TimedWait(&cv, &lock, 1);
        }, "");
}

TEST_F(FastlockLayer, ExtendedLockRestartsStatisticsEachPeriod)
{
    MosFastlockEx lock;
    mosFastlockEx_CreateAdaptive(&lock, 1, __FILE__, __LINE__);
    for (int i = 0; i < 1023; i++) {
        mosFastlockEx_Acquire(&lock);
        mosFastlockEx_Release(&lock);
    }
    EXPECT_EQ(lock.numAcquires, 1023u);
    mosFastlockEx_Acquire(&lock);
    mosFastlockEx_Release(&lock);
    EXPECT_EQ(lock.numAcquires, 0u);
    EXPECT_EQ(lock.totalCycles, 0u);
    mosFastlockEx_Acquire(&lock);
    mosFastlockEx_Release(&lock);
    EXPECT_EQ(lock.numAcquires, 1u);
    mosFastlockEx_Destroy(&lock);
}

// Many threads on one lock, of each kind, some of them also sleeping on a condition variable with
// it: every section runs alone, nothing is lost, and the locks can still be destroyed (a mutex
// left with users counted would refuse).
TEST_F(FastlockLayer, ContendedSectionsAndConditionWaitsStayExclusive)
{
    constexpr int kThreads = 6;
    constexpr int kRounds = 20000;
    struct Kind {
        void (*create)(MosFastlock_Base *, MosContentionId, const char *, UINT32);
        bool bCondWaits;
    } kinds[] = {{mosFastlockBase_AdaptiveCreate, true},
                 {mosFastlockBase_AdaptiveCreateDebug, true},
                 {mosFastlockBase_SpinCreate, false}};
    for (const Kind &kind : kinds) {
        MosFastlock_Base lock;
        kind.create(&lock, 1, __FILE__, __LINE__);
        MosOsw_CondVar cond;
        mosOSWCond_Init(&cond);
        long counter = 0;
        int inside = 0;
        bool bOverlap = false;
        std::vector<std::thread> threads;
        for (int t = 0; t < kThreads; t++)
            threads.emplace_back([&, t] {
                for (int i = 0; i < kRounds; i++) {
                    mosFastlockBase_Acquire(&lock);
                    bOverlap |= ++inside != 1;
                    counter++;
                    if (kind.bCondWaits && i % 1000 == t) {
                        inside--;
                        mosOSWCond_Signal(&cond);
                        mosOSWCond_TimedWait(&cond, &lock, 1);
                        bOverlap |= ++inside != 1;
                    }
                    inside--;
                    mosFastlockBase_Release(&lock);
                }
                EXPECT_EQ(mosFastlock_NumAcquires(), 0u);
            });
        for (std::thread &t : threads)
            t.join();
        EXPECT_FALSE(bOverlap);
        EXPECT_EQ(counter, long{kThreads} * kRounds);
        mosOSWCond_Destroy(&cond);
        mosFastlockBase_Destroy(&lock);
    }
}
