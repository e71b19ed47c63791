#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "mos/mos_timer.h"
#include "mos/umt/mos_umt_cond.h"
#include "mos/umt/mos_umt_sched_thrd.h"
#include "mos/umt/mos_umt_semaphore.h"
#include "test/support/umt_test_support.h"

namespace {
::testing::Environment *const umtEnv_G = ::testing::AddGlobalTestEnvironment(new UmtRuntimeEnv);

const MosUmtClassId kNoClass{0, 0};

// A two-thread scheduler for the uthreads of a test.
class UmtCond : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_EQ(mosUmtSchedThrd_Create(&sched_, "cond test", 2, 2, 4), MOS_RC__SUCCESS);
        mosUmtSem_Init(&sem_);
    }
    void TearDown() override
    {
        mosUmtSem_Destroy(&sem_);
        mosUmtSchedThrd_Destroy(&sched_);
    }

    template <typename F> HMosUmt_UThread Spawn(F *pFn)
    {
        HMosUmt_UThread h =
            mosUmt_CreateUThreadEx([](void *p) { (*static_cast<F *>(p))(); }, pFn, &sched_.base, nullptr, TRUE, kNoClass);
        EXPECT_NE(h, nullptr);
        return h;
    }

    MosUmt_SchedThrd sched_;
    MosUmt_Sem sem_;
};

struct WaitCase {
    const char *name;
    UINT32 timeoutMillis;
    UINT32 partialUnits; // added while the waiter waits for 3 more
    Mos_RC expectRc;
    UINT32 expectCountAfter;
};
} // namespace

// A request for 5 with 2 available takes the 2 and waits for 3 more. Units added meanwhile lower
// its need; a time-out gives back everything it got, the 2 it took and whatever was added.
TEST_F(UmtCond, SemaphoreTakesWhatIsThereAndWaitsForTheRest)
{
    const WaitCase cases[] = {
        {"completed by later units", 0, 2, MOS_RC__SUCCESS, 0},
        {"time-out gives back the units taken at the start", 200, 0, MOS_RC__TIMEOUT, 2},
        {"time-out gives back the units added meanwhile too", 200, 2, MOS_RC__TIMEOUT, 4},
    };
    for (const WaitCase &c : cases) {
        SCOPED_TRACE(c.name);
        mosUmtSem_IncInter(&sem_, 2, TRUE);
        std::atomic<Mos_RC> rc{MOS_RC__ILLEGAL};
        auto waiter = [&] { rc = mosUmtSem_DecTimed(&sem_, 5, c.timeoutMillis); };
        HMosUmt_UThread h = Spawn(&waiter);
        ASSERT_TRUE(umtTest_WaitFor([&] { return mosUmtSem_Waiters(&sem_) == 1; }));
        EXPECT_EQ(mosUmtSem_GetCount(&sem_), 0u);
        EXPECT_EQ(mosUmtCond_GetWeight(h), 3u);
        if (c.partialUnits != 0) {
            mosUmtSem_IncInter(&sem_, c.partialUnits, TRUE);
            EXPECT_EQ(mosUmtCond_GetWeight(h), 3u - c.partialUnits);
            EXPECT_EQ(mosUmtSem_Waiters(&sem_), 1u);
            EXPECT_EQ(mosUmtSem_GetCount(&sem_), 0u);
        }
        if (c.expectRc == MOS_RC__SUCCESS)
            mosUmtSem_IncInter(&sem_, 1, TRUE);
        mosUmt_JoinSync(h);
        EXPECT_EQ(rc.load(), c.expectRc);
        EXPECT_EQ(mosUmtSem_GetCount(&sem_), c.expectCountAfter);
        EXPECT_EQ(sem_.cond.totalWeight, 0u);
        mosUmtSem_DecAll(&sem_, FALSE);
    }
}

TEST_F(UmtCond, NonWaitingCallsChangeNothingWhenTheyFail)
{
    mosUmtSem_IncInter(&sem_, 3, TRUE);
    EXPECT_EQ(mosUmtSem_GetCount(&sem_), 3u);
    EXPECT_EQ(mosUmtSem_TryDec(&sem_, 4), MOS_RC__NO_RESOURCES);
    EXPECT_EQ(mosUmtSem_GetCount(&sem_), 3u);
    EXPECT_EQ(mosUmtSem_TryDec(&sem_, 3), MOS_RC__SUCCESS);
    EXPECT_EQ(mosUmtSem_DecAll(&sem_, FALSE), MOS_RC__NO_RESOURCES);
    mosUmtSem_IncInter(&sem_, 7, TRUE);
    EXPECT_EQ(mosUmtSem_DecAll(&sem_, FALSE), MOS_RC__SUCCESS);
    EXPECT_EQ(mosUmtSem_GetCount(&sem_), 0u);

    MosUmt_Cond cond;
    mosUmtCond_Init(&cond);
    MosFastlock_Base lock;
    MOS_FASTLOCK_CREATE(&lock, 1);
    mosFastlockBase_Acquire(&lock);
    EXPECT_EQ(mosUmtCond_Signal(&cond), MOS_RC__NOT_FOUND);
    EXPECT_EQ(mosUmtCond_Broadcast(&cond), 0u);
    mosFastlockBase_Release(&lock);
    mosFastlockBase_Destroy(&lock);
    mosUmtCond_Destroy(&cond);
}

// Waiters are served in arrival order from the head, or newest first from the tail, and a
// weighted waiter takes its whole need before the next one gets anything.
TEST_F(UmtCond, HandOutOrderFollowsTheDirection)
{
    MosUmt_Cond cond;
    mosUmtCond_Init(&cond);
    MosFastlock_Base lock;
    MOS_FASTLOCK_CREATE(&lock, 1);
    std::vector<int> woken;
    struct Waiter {
        int id;
        UINT32 weight;
    };
    const Waiter waiters[] = {{0, 1}, {1, 2}, {2, 1}, {3, 1}};
    std::vector<std::function<void()>> fns;
    for (const Waiter &w : waiters)
        fns.push_back([&, w] {
            mosFastlockBase_Acquire(&lock);
            EXPECT_EQ(mosUmtCond_WaitEx(&cond, &lock, w.weight), MOS_RC__SUCCESS);
            woken.push_back(w.id);
            mosFastlockBase_Release(&lock);
        });
    std::vector<HMosUmt_UThread> handles;
    for (size_t i = 0; i < fns.size(); i++) {
        handles.push_back(Spawn(&fns[i]));
        ASSERT_TRUE(umtTest_WaitFor([&] {
            MosFastlockGuard guard(&lock);
            return mosUmtCond_NumWaiters(&cond) == i + 1;
        }));
    }
    auto wokenCount = [&] {
        MosFastlockGuard guard(&lock);
        return woken.size();
    };
    {
        MosFastlockGuard guard(&lock);
        EXPECT_EQ(cond.totalWeight, 5u);
        EXPECT_EQ(mosUmtCond_BroadcastEx(&cond, 1, FALSE), 1u); // the newest
    }
    ASSERT_TRUE(umtTest_WaitFor([&] { return wokenCount() == 1; }));
    {
        MosFastlockGuard guard(&lock);
        // 1 unit for waiter 0; waiter 1 needs 2 and gets the last unit as part of it.
        EXPECT_EQ(mosUmtCond_BroadcastEx(&cond, 2, TRUE), 2u);
        EXPECT_EQ(mosUmtCond_GetWeight(handles[1]), 1u);
    }
    ASSERT_TRUE(umtTest_WaitFor([&] { return wokenCount() == 2; }));
    {
        MosFastlockGuard guard(&lock);
        EXPECT_EQ(mosUmtCond_Signal(&cond), MOS_RC__SUCCESS); // completes waiter 1
    }
    ASSERT_TRUE(umtTest_WaitFor([&] { return wokenCount() == 3; }));
    {
        MosFastlockGuard guard(&lock);
        EXPECT_EQ(mosUmtCond_Broadcast(&cond), 1u); // waiter 2
        EXPECT_EQ(cond.totalWeight, 0u);
    }
    for (HMosUmt_UThread h : handles)
        mosUmt_JoinSync(h);
    EXPECT_EQ(woken, (std::vector<int>{3, 0, 1, 2}));
    mosFastlockBase_Destroy(&lock);
    mosUmtCond_Destroy(&cond);
}

TEST_F(UmtCond, TimeOutsByMillisecondsAndByTimerQueue)
{
    auto fn = [] {
        MosUmt_Cond cond;
        mosUmtCond_Init(&cond);
        MosFastlock_Base lock;
        MOS_FASTLOCK_CREATE(&lock, 1);
        mosFastlockBase_Acquire(&lock);
        EXPECT_EQ(mosUmtCond_TimedWait(&cond, &lock, 50), MOS_RC__TIMEOUT);
        EXPECT_EQ(mosUmtCond_TimedWaitByQ(&cond, &lock, MOS_TIMER_QUEUE_ID__100MILLI), MOS_RC__TIMEOUT);
        EXPECT_EQ(mosUmtCond_TimedWaitEx(&cond, &lock, MOS_UMT_COND__TIMEOUT_BY_Q | MOS_TIMER_QUEUE_ID__100MILLI, 3),
                  MOS_RC__TIMEOUT);
        EXPECT_EQ(cond.totalWeight, 0u);
        mosFastlockBase_Release(&lock);
        mosUmt_SleepByQ(MOS_TIMER_QUEUE_ID__100MILLI);
        mosFastlockBase_Destroy(&lock);
        mosUmtCond_Destroy(&cond);
    };
    mosUmt_JoinSync(Spawn(&fn));
}

// A uthread of the foreign scheduler runs nested on whatever thread wakes it. Woken while the
// waker still holds the condition's lock, it must not start until that lock is released, or it
// would block on it for ever.
TEST(UmtForeignWake, WaiterRunsOnlyAfterTheWakerReleasesTheLock)
{
    MosUmt_Cond cond;
    MosUmt_Sem sem;
    MosFastlock_Base lock;
    mosUmtCond_Init(&cond);
    mosUmtSem_Init(&sem);
    MOS_FASTLOCK_CREATE(&lock, 1);
    std::atomic<int> stage{0};
    auto condWaiter = [&] {
        mosFastlockBase_Acquire(&lock);
        stage = 1;
        EXPECT_EQ(mosUmtCond_Wait(&cond, &lock), MOS_RC__SUCCESS);
        stage = 2;
        mosFastlockBase_Release(&lock);
        EXPECT_EQ(mosUmtSem_DecTimed(&sem, 1, 0), MOS_RC__SUCCESS);
        stage = 3;
    };
    struct Box {
        decltype(condWaiter) *pFn;
    } box{&condWaiter};
    HMosUmt_UThread h = mosUmt_CreateUThreadEx([](void *p) { (*static_cast<Box *>(p)->pFn)(); }, &box,
                                               MOS_UMT_SCHED__FOREIGN, nullptr, TRUE, kNoClass);
    ASSERT_EQ(stage.load(), 1);
    std::atomic<bool> bWakerDone{false};
    std::thread waker([&] {
        mosFastlockBase_Acquire(&lock);
        EXPECT_EQ(mosUmtCond_Signal(&cond), MOS_RC__SUCCESS);
        EXPECT_EQ(stage.load(), 1);
        mosFastlockBase_Release(&lock);
        // It ran, nested, as the lock went.
        EXPECT_EQ(stage.load(), 2);
        // The semaphore holds its own lock while it wakes.
        mosUmtSem_IncInter(&sem, 1, TRUE);
        EXPECT_EQ(stage.load(), 3);
        bWakerDone = true;
    });
    if (!umtTest_WaitFor([&] { return bWakerDone.load(); })) {
        // The woken uthread blocks on the lock its waker holds: nothing can be unwound.
        fprintf(stderr, "the waker deadlocked with the uthread it woke\n");
        _exit(1);
    }
    waker.join();
    mosUmt_JoinSync(h);
    mosFastlockBase_Destroy(&lock);
    mosUmtSem_Destroy(&sem);
    mosUmtCond_Destroy(&cond);
}

// Units that reach a waiter whose time-out is already firing pass it by; with no other waiter
// they go to the count, and the timed-out waiter gets only its time-out.
TEST_F(UmtCond, UnitsPassingATimingOutWaiterAreKept)
{
    std::atomic<Mos_RC> rc{MOS_RC__ILLEGAL};
    auto waiter = [&] { rc = mosUmtSem_DecTimed(&sem_, 2, 50); };
    HMosUmt_UThread h = Spawn(&waiter);
    ASSERT_TRUE(umtTest_WaitFor([&] { return mosUmtSem_Waiters(&sem_) == 1; }));
    mosFastlockBase_Acquire(&sem_.lock);
    // The time-out fires and its callback waits for the lock held here.
    ASSERT_TRUE(umtTest_WaitFor([&] { return __atomic_load_n(&h->timerReq.state, __ATOMIC_ACQUIRE) ==
                                             MOS_TIMER_REQ_STATE__IDLE; }));
    mosUmtSem_IncInterNoLock(&sem_, 3, TRUE);
    EXPECT_EQ(sem_.count, 3u);
    mosFastlockBase_Release(&sem_.lock);
    mosUmt_JoinSync(h);
    EXPECT_EQ(rc.load(), MOS_RC__TIMEOUT);
    EXPECT_EQ(mosUmtSem_GetCount(&sem_), 3u);
    EXPECT_EQ(sem_.cond.totalWeight, 0u);
}
