#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "mos/mos_dbg.h"
#include "mos/mos_osthrd.h"
#include "mos/mos_ticks.h"
#include "mos/umt/mos_umt_intrn.h"
#include "mos/umt/mos_umt_pool_allocator.h"
#include "mos/umt/mos_umt_sched_thrd.h"
#include "mos/umt/mos_umt_semaphore.h"
#include "test/support/umt_test_support.h"

namespace {
::testing::Environment *const umtEnv_G = ::testing::AddGlobalTestEnvironment(new UmtRuntimeEnv);

const MosUmtClassId kNoClass{0, 0};

// A uthread that records where it ran, then waits on a semaphore, then records again.
struct Sleeper {
    MosUmt_Sem sem;
    std::atomic<UINT32> firstTid{0};
    std::atomic<UINT32> secondTid{0};
    std::atomic<bool> bDone{false};
};

void sleeperMain(void *pArg)
{
    Sleeper *p = static_cast<Sleeper *>(pArg);
    p->firstTid = mosOsThrd_GetCurThrdID();
    EXPECT_EQ(mosUmtSem_DecTimed(&p->sem, 1, 0), MOS_RC__SUCCESS);
    p->secondTid = mosOsThrd_GetCurThrdID();
    p->bDone = true;
}
} // namespace

TEST(UmtForeign, RunsOnCreatorUntilSuspendThenOnTheRaisingThread)
{
    Sleeper s;
    mosUmtSem_Init(&s.sem);
    HMosUmt_UThread h = mosUmt_CreateUThreadEx(sleeperMain, &s, MOS_UMT_SCHED__FOREIGN, nullptr, TRUE, kNoClass);
    ASSERT_NE(h, nullptr);
    // Creation returned only after the uthread ran on this thread and suspended.
    EXPECT_EQ(s.firstTid.load(), mosOsThrd_GetCurThrdID());
    EXPECT_FALSE(s.bDone.load());
    EXPECT_EQ(mosUmt_GetState(h), MOS_UMT_STATE__SUSPENDED);
    UINT32 raiserTid = 0;
    std::thread raiser([&] {
        raiserTid = mosOsThrd_GetCurThrdID();
        mosUmtSem_IncInter(&s.sem, 1, TRUE);
        // Nested on this thread: done by the time the raise returns.
        EXPECT_TRUE(s.bDone.load());
    });
    raiser.join();
    EXPECT_EQ(s.secondTid.load(), raiserTid);
    mosUmt_JoinSync(h);
    mosUmtSem_Destroy(&s.sem);
}

TEST(UmtForeign, YieldLoopContinuesAtOnceWithoutNesting)
{
    // A uthread that yields many times on the foreign scheduler comes straight back each time
    // and the creator's stack does not grow with the yields.
    std::atomic<int> yields{0};
    umtTest_RunAsUmt(
        [&] {
            for (int i = 0; i < 100000; i++) {
                mosUmt_Yield();
                yields++;
            }
        },
        MOS_UMT_SCHED__FOREIGN);
    EXPECT_EQ(yields.load(), 100000);
}

TEST(UmtJoin, EndedUthreadIsFreedByJoinAndRunningOneIsAwaited)
{
    MosUmt_PoolAllocator pool;
    ASSERT_EQ(mosUmtPoolAllocator_Create(&pool, "join pool", 4, 64 * 1024, TRUE), MOS_RC__SUCCESS);
    // Ends before the join: the join returns at once and frees the block.
    std::atomic<bool> bRan{false};
    HMosUmt_UThread h = mosUmt_CreateUThreadEx([](void *p) { static_cast<std::atomic<bool> *>(p)->store(true); },
                                               &bRan, MOS_UMT_SCHED__FOREIGN, &pool.allocator, TRUE, kNoClass);
    ASSERT_NE(h, nullptr);
    EXPECT_TRUE(bRan.load());
    EXPECT_EQ(mosUmt_GetNumOfAvailableThreads(&pool.allocator), 3u);
    mosUmt_JoinSync(h);
    EXPECT_EQ(mosUmt_GetNumOfAvailableThreads(&pool.allocator), 4u);

    // Still running when a uthread joins it: the joiner waits until it ends.
    Sleeper s;
    mosUmtSem_Init(&s.sem);
    // (On the foreign scheduler the joiner ends up running on the raising thread, so that thread
    // is joined from outside.)
    std::thread raiser;
    umtTest_RunAsUmt(
        [&] {
            HMosUmt_UThread hSleeper =
                mosUmt_CreateUThreadEx(sleeperMain, &s, MOS_UMT_SCHED__FOREIGN, &pool.allocator, TRUE, kNoClass);
            ASSERT_NE(hSleeper, nullptr);
            raiser = std::thread([&] {
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                mosUmtSem_IncInter(&s.sem, 1, TRUE);
            });
            mosUmt_JoinUThread(hSleeper);
            EXPECT_TRUE(s.bDone.load());
        },
        MOS_UMT_SCHED__FOREIGN);
    raiser.join();
    EXPECT_EQ(mosUmt_GetNumOfAvailableThreads(&pool.allocator), 4u);
    mosUmtSem_Destroy(&s.sem);

    // A non-joinable uthread's block goes back as soon as it ends.
    h = mosUmt_CreateUThreadEx([](void *) {}, nullptr, MOS_UMT_SCHED__FOREIGN, &pool.allocator, FALSE, kNoClass);
    EXPECT_NE(h, nullptr);
    EXPECT_EQ(mosUmt_GetNumOfAvailableThreads(&pool.allocator), 4u);
    mosUmtPoolAllocator_Destroy(&pool);
}

TEST(UmtPoolAllocator, ExhaustionFailsCreationUntilABlockComesBack)
{
    MosUmt_PoolAllocator pool;
    ASSERT_EQ(mosUmtPoolAllocator_Create(&pool, "tiny pool", 2, 32 * 1024, FALSE), MOS_RC__SUCCESS);
    Sleeper a, b;
    mosUmtSem_Init(&a.sem);
    mosUmtSem_Init(&b.sem);
    HMosUmt_UThread ha = mosUmt_CreateUThreadEx(sleeperMain, &a, MOS_UMT_SCHED__FOREIGN, &pool.allocator, TRUE, kNoClass);
    HMosUmt_UThread hb = mosUmt_CreateUThreadEx(sleeperMain, &b, MOS_UMT_SCHED__FOREIGN, &pool.allocator, TRUE, kNoClass);
    ASSERT_NE(ha, nullptr);
    ASSERT_NE(hb, nullptr);
    EXPECT_EQ(mosUmt_CreateUThreadEx([](void *) {}, nullptr, MOS_UMT_SCHED__FOREIGN, &pool.allocator, TRUE, kNoClass),
              nullptr);
    HMosUmt_UThread hFail = reinterpret_cast<HMosUmt_UThread>(1);
    EXPECT_EQ(mosUmt_CreateIntrn([](void *) {}, nullptr, MOS_UMT_SCHED__FOREIGN, &pool.allocator, &hFail, TRUE, kNoClass,
                                 FALSE),
              MOS_RC__NO_RESOURCES);
    EXPECT_EQ(hFail, nullptr);
    mosUmtSem_IncInter(&a.sem, 1, TRUE);
    mosUmt_JoinSync(ha);
    HMosUmt_UThread hc = mosUmt_CreateUThreadEx([](void *) {}, nullptr, MOS_UMT_SCHED__FOREIGN, &pool.allocator, TRUE,
                                                kNoClass);
    ASSERT_NE(hc, nullptr);
    mosUmt_JoinSync(hc);
    mosUmtSem_IncInter(&b.sem, 1, TRUE);
    mosUmt_JoinSync(hb);
    mosUmtSem_Destroy(&a.sem);
    mosUmtSem_Destroy(&b.sem);
    mosUmtPoolAllocator_Destroy(&pool);
}

TEST(UmtDynamicAllocator, WriteBelowTheBlockHitsTheGuardPage)
{
    EXPECT_DEATH(
        {
            MosUmt *pUmt = mosUmtMgr_GetDynamicAllocator()->pAllocFunc(mosUmtMgr_GetDynamicAllocator());
            volatile char *pBelow = static_cast<char *>(pUmt->pEndStack) - 1;
            *pBelow = 1;
        },
        "");
}

TEST(UmtInvariants, BrokenRulesPanic)
{
    // Suspending with no fast lock, or with two.
    EXPECT_PANIC(umtTest_RunAsUmt([] { mosUmt_SuspendUThread(nullptr, MOS_OS_THRD__UMT_WAIT_TYPE__COND); }),
                     "mosFastlock_NumAcquires\\(\\) == 1");
    EXPECT_PANIC(umtTest_RunAsUmt([] {
                         MosFastlock_Base a, b;
                         MOS_FASTLOCK_CREATE(&a, 1);
                         MOS_FASTLOCK_CREATE(&b, 2);
                         mosFastlockBase_Acquire(&a);
                         mosFastlockBase_Acquire(&b);
                         mosUmt_SuspendUThread(&a, MOS_OS_THRD__UMT_WAIT_TYPE__COND);
                     }),
                     "mosFastlock_NumAcquires\\(\\) == 1");
    // Yielding with a fast lock held, also on a scheduler thread where the yield needs no lock of
    // its own.
    EXPECT_PANIC(
        {
            MosUmt_SchedThrd sched;
            mosUmtSchedThrd_Create(&sched, "yield held", 1, 1, 8);
            umtTest_RunAsUmt(
                [] {
                    MosFastlock_Base a;
                    MOS_FASTLOCK_CREATE(&a, 1);
                    mosFastlockBase_Acquire(&a);
                    mosUmt_Yield();
                },
                &sched.base);
        },
        "mosFastlock_NumAcquires\\(\\) == 0");
    // Resuming a uthread that runs.
    EXPECT_PANIC(umtTest_RunAsUmt([] { mosUmt_ResumeUThread(mosUmt_GetUThreadHdl()); }),
                     "pUmt->state == MOS_UMT_STATE__SUSPENDED");
    // Joining a uthread that is not joinable.
    EXPECT_PANIC(
        {
            Sleeper s;
            mosUmtSem_Init(&s.sem);
            HMosUmt_UThread h =
                mosUmt_CreateUThreadEx(sleeperMain, &s, MOS_UMT_SCHED__FOREIGN, nullptr, FALSE, kNoClass);
            mosUmt_JoinSync(h);
        },
        "joinRef != 0");
    // A block with room for no more than the record and 2048 bytes.
    EXPECT_PANIC(
        {
            alignas(16) static char block[sizeof(MosUmt) + 2048];
            mosUmt_Init(block, sizeof(block));
        },
        "memSize > \\(sizeof\\(MosUmt\\) \\+ 2048\\)");
    // A call that needs a current uthread, made outside one.
    EXPECT_PANIC(mosUmt_GetUThreadHdl(), "pUmt != \\(\\(void \\*\\)0\\)");
}

TEST(UmtUserContext, TimeLimitsAndContextTypes)
{
    umtTest_RunAsUmt([] {
        EXPECT_EQ(mosUmt_GetUserContextSematicsType(), USER_CONTEXT__USER_CONTEXT);
        EXPECT_EQ(mosUmt_GetTimeLimitMilliBudget(), -1);
        mosUmt_SetTimeLimitMilli(~0ull);
        EXPECT_EQ(mosUmt_GetUserContextSematicsType(), USER_CONTEXT__TIME_LIMIT_TICKS);
        EXPECT_EQ(mosUmt_GetTimeLimitTick(), 0u);
        mosUmt_SetTimeLimitMilli(60000);
        INT64 budget = mosUmt_GetTimeLimitMilliBudget();
        EXPECT_GT(budget, 50000);
        EXPECT_LE(budget, 60000);
        int marker = 0;
        mosUmt_SetUserContext(&marker);
        EXPECT_EQ(mosUmt_GetUserContext(), &marker);
        // A child that inherits takes the type and value; one that does not starts empty.
        HMosUmt_UThread hInherit = mosUmt_CreateUThreadExInheritUserContext(
            [](void *p) { EXPECT_EQ(mosUmt_GetUserContext(), p); }, &marker, MOS_UMT_SCHED__FOREIGN, nullptr, TRUE,
            kNoClass);
        mosUmt_JoinUThread(hInherit);
        HMosUmt_UThread hPlain = mosUmt_CreateUThreadEx([](void *) { EXPECT_EQ(mosUmt_GetUserContext(), nullptr); },
                                                        nullptr, MOS_UMT_SCHED__FOREIGN, nullptr, TRUE, kNoClass);
        mosUmt_JoinUThread(hPlain);
    });
}

namespace {
std::atomic<MosTicks_Cnt> fakeTick_G{1000};
MosTicks_Cnt fakeClock(void)
{
    return fakeTick_G.load();
}
} // namespace

TEST(UmtSchedThrd, ShouldYieldOnlyWhenOthersWaitAfterTheSlice)
{
    MosUmt_SchedThrd sched;
    ASSERT_EQ(mosUmtSchedThrd_Create(&sched, "yield check", 1, 1, 4), MOS_RC__SUCCESS);
    mosTicks_SetClockForTest(fakeClock);
    umtTest_RunAsUmt(
        [&] {
            EXPECT_FALSE(mosUmt_ShouldYield());
            fakeTick_G += 10;
            // Past the slice but alone: the slice restarts.
            EXPECT_FALSE(mosUmt_ShouldYield());
            EXPECT_FALSE(mosUmt_ShouldYield());
            // Another uthread waits on this thread's queue.
            HMosUmt_UThread h =
                mosUmt_CreateUThreadEx([](void *) {}, nullptr, &sched.base, nullptr, TRUE, kNoClass);
            EXPECT_FALSE(mosUmt_ShouldYield());
            fakeTick_G += 10;
            EXPECT_TRUE(mosUmt_ShouldYield());
            mosUmt_YieldIfShould();
            mosUmt_JoinUThread(h);
        },
        &sched.base);
    mosTicks_SetClockForTest(nullptr);
    mosUmtSchedThrd_Destroy(&sched);
}

TEST(UmtSchedThrd, YieldsInterleaveFairly)
{
    MosUmt_SchedThrd sched;
    ASSERT_EQ(mosUmtSchedThrd_Create(&sched, "fair", 1, 1, 8), MOS_RC__SUCCESS);
    constexpr int kUmts = 3;
    constexpr int kRounds = 200;
    struct Shared {
        MosUmt_Sem gate;
        std::vector<int> order;
    } shared;
    mosUmtSem_Init(&shared.gate);
    struct Arg {
        Shared *pShared;
        int id;
    } args[kUmts];
    HMosUmt_UThread h[kUmts];
    for (int i = 0; i < kUmts; i++) {
        args[i] = Arg{&shared, i};
        h[i] = mosUmt_CreateUThreadEx(
            [](void *p) {
                Arg *pArg = static_cast<Arg *>(p);
                mosUmtSem_DecTimed(&pArg->pShared->gate, 1, 0);
                for (int r = 0; r < kRounds; r++) {
                    pArg->pShared->order.push_back(pArg->id);
                    mosUmt_Yield();
                }
            },
            &args[i], &sched.base, nullptr, TRUE, kNoClass);
        ASSERT_NE(h[i], nullptr);
    }
    ASSERT_TRUE(umtTest_WaitFor([&] { return mosUmtSem_Waiters(&shared.gate) == kUmts; }));
    mosUmtSem_IncInter(&shared.gate, kUmts, TRUE);
    for (int i = 0; i < kUmts; i++)
        mosUmt_JoinSync(h[i]);
    ASSERT_EQ(shared.order.size(), static_cast<size_t>(kUmts * kRounds));
    // One thread, everyone yielding: no uthread ever gets two turns ahead of another.
    int counts[kUmts] = {};
    for (int id : shared.order) {
        counts[id]++;
        for (int j = 0; j < kUmts; j++)
            ASSERT_LE(counts[id] - counts[j], 1) << "uthread " << id << " ran ahead of " << j;
    }
    mosUmtSem_Destroy(&shared.gate);
    mosUmtSchedThrd_Destroy(&sched);
}

// A yield with nothing else runnable on the thread keeps running: no switch, no suspension.
// With another uthread queued, it passes the thread on and comes back.
TEST(UmtSchedThrd, YieldAloneKeepsRunningAndYieldToAnotherSwitches)
{
    MosUmt_SchedThrd sched;
    ASSERT_EQ(mosUmtSchedThrd_Create(&sched, "lone yield", 1, 1, 8), MOS_RC__SUCCESS);
    umtTest_RunAsUmt(
        [&] {
            const UINT32 before = mosUmt_GetCurSuspendCnt();
            const UINT32 tid = mosOsThrd_GetCurThrdID();
            for (int i = 0; i < 100; i++)
                mosUmt_Yield();
            EXPECT_EQ(mosUmt_GetCurSuspendCnt(), before);
            std::atomic<bool> bRan{false};
            HMosUmt_UThread h = mosUmt_CreateUThreadEx(
                [](void *p) { static_cast<std::atomic<bool> *>(p)->store(true); }, &bRan, &sched.base, nullptr,
                TRUE, kNoClass);
            EXPECT_FALSE(bRan.load());
            mosUmt_Yield();
            EXPECT_TRUE(bRan.load());
            EXPECT_EQ(mosUmt_GetCurSuspendCnt(), before + 1);
            EXPECT_EQ(mosOsThrd_GetCurThrdID(), tid);
            mosUmt_JoinUThread(h);
        },
        &sched.base);
    mosUmtSchedThrd_Destroy(&sched);
}

// The panic path's back traces include every uthread that waits.
TEST(UmtBackTrace, PanicReportCoversSuspendedUthreads)
{
    EXPECT_EXIT(
        {
            dup2(STDERR_FILENO, STDOUT_FILENO);
            Sleeper s;
            mosUmtSem_Init(&s.sem);
            HMosUmt_UThread h = mosUmt_CreateUThreadEx(sleeperMain, &s, MOS_UMT_SCHED__FOREIGN, nullptr, TRUE, kNoClass);
            fprintf(stderr, "waiting %p\n", static_cast<void *>(h));
            mosDbg_TotalBackTrace();
            _exit(0);
        },
        ::testing::ExitedWithCode(0), "waiting (0x[0-9a-f]+)\n(.|\n)*Backtrace of UMT 0x");
}
