// Stress of the uthread engine under the load it is built for: many uthreads on a four-thread
// scheduler handing units to each other across threads, an OS thread raising a semaphore as an
// I/O completion thread does, timed waits racing raises, a uthread that hogs its thread, and a
// resize of the scheduler in the middle of it all. Every count must come out exact.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <memory>
#include <random>
#include <thread>
#include <vector>

#include "mos/umt/mos_umt_pool_allocator.h"
#include "mos/umt/mos_umt_sched_thrd.h"
#include "mos/umt/mos_umt_semaphore.h"
#include "test/support/umt_test_support.h"

namespace {
::testing::Environment *const umtEnv_G = ::testing::AddGlobalTestEnvironment(new UmtRuntimeEnv);

const MosUmtClassId kNoClass{0, 0};

constexpr int kPairs = 100;
constexpr int kExchangesPerPair = 10000; // 1,000,000 in all
constexpr int kIoWaiters = 8;
constexpr int kIoUnits = 80000;
constexpr int kRacers = 16;
constexpr int kRacerRounds = 300;

struct PingPong {
    MosUmt_Sem toPong;
    MosUmt_Sem toPing;
    std::atomic<int> pings{0};
    std::atomic<int> pongs{0};
};

struct Shared {
    PingPong pairs[kPairs];
    MosUmt_Sem ioSem;
    std::atomic<int> ioConsumed{0};
    MosUmt_Sem raceSem;
    std::atomic<UINT64> raceConsumed{0};
    std::atomic<int> raceTimeouts{0};
    std::atomic<int> racersDone{0};
    std::atomic<int> badResults{0};
    std::atomic<bool> bHogStop{false};
    std::atomic<bool> bHogRunning{false};
};

Shared *pShared_G;

void pingMain(void *pArg)
{
    PingPong *p = static_cast<PingPong *>(pArg);
    for (int i = 0; i < kExchangesPerPair; i++) {
        mosUmtSem_IncInter(&p->toPong, 1, TRUE);
        if (mosUmtSem_DecTimed(&p->toPing, 1, 0) != MOS_RC__SUCCESS)
            pShared_G->badResults++;
        p->pings++;
    }
}

void pongMain(void *pArg)
{
    PingPong *p = static_cast<PingPong *>(pArg);
    for (int i = 0; i < kExchangesPerPair; i++) {
        if (mosUmtSem_DecTimed(&p->toPong, 1, 0) != MOS_RC__SUCCESS)
            pShared_G->badResults++;
        p->pongs++;
        mosUmtSem_IncInter(&p->toPing, 1, TRUE);
    }
}

void ioWaiterMain(void *)
{
    for (int i = 0; i < kIoUnits / kIoWaiters; i++) {
        if (mosUmtSem_DecTimed(&pShared_G->ioSem, 1, 0) != MOS_RC__SUCCESS)
            pShared_G->badResults++;
        pShared_G->ioConsumed++;
    }
}

void racerMain(void *pArg)
{
    std::minstd_rand rng(static_cast<unsigned>(reinterpret_cast<uintptr_t>(pArg)));
    for (int i = 0; i < kRacerRounds; i++) {
        UINT32 want = 1 + rng() % 3;
        UINT32 timeout = 1 + rng() % 20;
        Mos_RC rc = mosUmtSem_DecTimed(&pShared_G->raceSem, want, timeout);
        if (rc == MOS_RC__SUCCESS)
            pShared_G->raceConsumed += want;
        else if (rc == MOS_RC__TIMEOUT)
            pShared_G->raceTimeouts++;
        else
            pShared_G->badResults++;
    }
    pShared_G->racersDone++;
}

void hogMain(void *)
{
    pShared_G->bHogRunning = true;
    while (!pShared_G->bHogStop.load()) {
    }
}
} // namespace

TEST(UmtStress, EveryWaitReturnsOnceAndTheTotalsBalance)
{
    auto pShared = std::make_unique<Shared>();
    pShared_G = pShared.get();
    Shared &s = *pShared;
    for (PingPong &p : s.pairs) {
        mosUmtSem_Init(&p.toPong);
        mosUmtSem_Init(&p.toPing);
    }
    mosUmtSem_Init(&s.ioSem);
    mosUmtSem_Init(&s.raceSem);

    MosUmt_PoolAllocator pool;
    ASSERT_EQ(mosUmtPoolAllocator_Create(&pool, "stress uthreads", 1600, 32 * 1024, TRUE), MOS_RC__SUCCESS);
    mosUmtSchedThrd_SetDefaultSchedGuardValues(500, 3);
    MosUmt_SchedThrd sched;
    ASSERT_EQ(mosUmtSchedThrd_Create(&sched, "stress", 4, 4, 0), MOS_RC__SUCCESS);
    mosUmtSchedThrd_SetDefaultSchedGuardValues(0, 3);
    // Round robin sends every wake-up to the next thread, so hand-offs cross threads.
    mosUmtSchedThrd_SetSchedPolicy(&sched, MOS_UMT_SCHED_THRD_POLICY__RR);

    std::vector<HMosUmt_UThread> handles;
    auto spawn = [&](MosUmt_StartFunc fn, void *pArg) {
        HMosUmt_UThread h = mosUmt_CreateUThreadEx(fn, pArg, &sched.base, &pool.allocator, TRUE, kNoClass);
        ASSERT_NE(h, nullptr);
        handles.push_back(h);
    };
    for (PingPong &p : s.pairs) {
        spawn(pingMain, &p);
        spawn(pongMain, &p);
    }
    for (int i = 0; i < kIoWaiters; i++)
        spawn(ioWaiterMain, nullptr);
    for (int i = 0; i < kRacers; i++)
        spawn(racerMain, reinterpret_cast<void *>(static_cast<uintptr_t>(i + 1)));

    // An I/O completion thread: raises the semaphore in bursts of 1 to 8 units.
    std::thread ioRaiser([&] {
        std::minstd_rand rng(7);
        int raised = 0;
        while (raised < kIoUnits) {
            int n = std::min<int>(1 + rng() % 8, kIoUnits - raised);
            mosUmtSem_IncInter(&s.ioSem, n, TRUE);
            raised += n;
        }
    });
    // Raises that race the racers' time-outs: mostly a steady stream, now and then a pause long
    // enough for waits to time out while units arrive.
    std::atomic<UINT64> raceRaised{0};
    std::thread raceRaiser([&] {
        std::minstd_rand rng(11);
        while (s.racersDone.load() < kRacers) {
            UINT32 n = 1 + rng() % 4;
            mosUmtSem_IncInter(&s.raceSem, n, TRUE);
            raceRaised += n;
            if (rng() % 64 == 0)
                std::this_thread::sleep_for(std::chrono::milliseconds(110));
            else
                std::this_thread::sleep_for(std::chrono::microseconds(rng() % 300));
        }
    });

    // A uthread that keeps its thread: the guard reports it, and the report clears after it.
    spawn(hogMain, nullptr);
    ASSERT_TRUE(umtTest_WaitFor([&] { return s.bHogRunning.load(); }));
    EXPECT_TRUE(umtTest_WaitFor([] { return mosUmtSchedThrd_IsStuck() == TRUE; }));
    s.bHogStop = true;

    // Shrink and grow back under load.
    ASSERT_TRUE(umtTest_WaitFor([&] { return mosUmtSched_Resize(&sched.base, 2) == MOS_RC__SUCCESS; }));
    ASSERT_TRUE(umtTest_WaitFor([&] { return mosUmtSched_Resize(&sched.base, 4) == MOS_RC__SUCCESS; }));

    for (HMosUmt_UThread h : handles)
        mosUmt_JoinSync(h);
    ioRaiser.join();
    raceRaiser.join();
    EXPECT_TRUE(umtTest_WaitFor([] { return mosUmtSchedThrd_IsStuck() == FALSE; }));

    EXPECT_EQ(s.badResults.load(), 0);
    long exchanges = 0;
    for (PingPong &p : s.pairs) {
        EXPECT_EQ(p.pings.load(), kExchangesPerPair);
        EXPECT_EQ(p.pongs.load(), kExchangesPerPair);
        EXPECT_EQ(mosUmtSem_GetCount(&p.toPing), 0u);
        EXPECT_EQ(mosUmtSem_GetCount(&p.toPong), 0u);
        exchanges += p.pongs.load();
    }
    EXPECT_EQ(exchanges, 1000000);
    EXPECT_EQ(s.ioConsumed.load(), kIoUnits);
    EXPECT_EQ(mosUmtSem_GetCount(&s.ioSem), 0u);
    // Every unit raised was either taken by a successful wait or is still in the count: none
    // went missing with a timed-out waiter.
    EXPECT_EQ(raceRaised.load(), s.raceConsumed.load() + mosUmtSem_GetCount(&s.raceSem));
    EXPECT_EQ(mosUmtSem_Waiters(&s.raceSem), 0u);
    EXPECT_EQ(s.raceSem.cond.totalWeight, 0u);
    RecordProperty("raceTimeouts", s.raceTimeouts.load());
    EXPECT_EQ(mosUmt_GetNumOfAvailableThreads(&pool.allocator), 1600u);

    mosUmtSchedThrd_Destroy(&sched);
    mosUmtPoolAllocator_Destroy(&pool);
    for (PingPong &p : s.pairs) {
        mosUmtSem_Destroy(&p.toPong);
        mosUmtSem_Destroy(&p.toPing);
    }
    mosUmtSem_Destroy(&s.ioSem);
    mosUmtSem_Destroy(&s.raceSem);
}

namespace {
// Yields and semaphore hand-offs mixed on four scheduler threads. Half the pairs are important,
// so their wake-ups move to the least loaded thread and their yields take the general road; the
// others stay on their thread and yield without a lock. PELLAR_UMT_STRESS_OPS sets the total of
// yields and hand-offs (ten million for a soak; a lighter default keeps the suite quick).
constexpr int kMixPairs = 32;

struct MixPair {
    MosUmt_Sem toPong;
    MosUmt_Sem toPing;
    int rounds;
    BOOL bImportant;
    std::atomic<int> pings{0};
    std::atomic<int> pongs{0};
    std::atomic<int> yields{0};
    std::atomic<int> bad{0};
};

void mixPingMain(void *pArg)
{
    MixPair *p = static_cast<MixPair *>(pArg);
    mosUmt_SetImportant(p->bImportant);
    for (int i = 0; i < p->rounds; i++) {
        mosUmt_Yield();
        p->yields++;
        mosUmtSem_IncInter(&p->toPong, 1, TRUE);
        if (mosUmtSem_DecTimed(&p->toPing, 1, 0) != MOS_RC__SUCCESS)
            p->bad++;
        p->pings++;
    }
}

void mixPongMain(void *pArg)
{
    MixPair *p = static_cast<MixPair *>(pArg);
    mosUmt_SetImportant(p->bImportant);
    for (int i = 0; i < p->rounds; i++) {
        if (mosUmtSem_DecTimed(&p->toPong, 1, 0) != MOS_RC__SUCCESS)
            p->bad++;
        p->pongs++;
        mosUmt_Yield();
        p->yields++;
        mosUmtSem_IncInter(&p->toPing, 1, TRUE);
    }
}
} // namespace

TEST(UmtStress, YieldsAndHandOffsAcrossFourThreadsAllComplete)
{
    long totalOps = 400000;
    if (const char *pEnv = getenv("PELLAR_UMT_STRESS_OPS"))
        totalOps = atol(pEnv);
    // Each round of a pair is two yields and two hand-offs.
    const int rounds = static_cast<int>(std::max<long>(1, totalOps / (4L * kMixPairs)));
    auto pairs = std::make_unique<MixPair[]>(kMixPairs);
    MosUmt_SchedThrd sched;
    ASSERT_EQ(mosUmtSchedThrd_Create(&sched, "mix", 4, 4, 4), MOS_RC__SUCCESS);
    std::vector<HMosUmt_UThread> handles;
    for (int i = 0; i < kMixPairs; i++) {
        MixPair &p = pairs[i];
        mosUmtSem_Init(&p.toPong);
        mosUmtSem_Init(&p.toPing);
        p.rounds = rounds;
        p.bImportant = (i % 2) ? TRUE : FALSE;
        for (MosUmt_StartFunc fn : {mixPingMain, mixPongMain}) {
            HMosUmt_UThread h = mosUmt_CreateUThreadEx(fn, &p, &sched.base, nullptr, TRUE, kNoClass);
            ASSERT_NE(h, nullptr);
            handles.push_back(h);
        }
    }
    for (HMosUmt_UThread h : handles)
        mosUmt_JoinSync(h);
    long ops = 0;
    for (int i = 0; i < kMixPairs; i++) {
        MixPair &p = pairs[i];
        EXPECT_EQ(p.bad.load(), 0);
        EXPECT_EQ(p.pings.load(), rounds);
        EXPECT_EQ(p.pongs.load(), rounds);
        EXPECT_EQ(p.yields.load(), 2 * rounds);
        EXPECT_EQ(mosUmtSem_GetCount(&p.toPing), 0u);
        EXPECT_EQ(mosUmtSem_GetCount(&p.toPong), 0u);
        ops += p.yields.load() + p.pings.load() + p.pongs.load();
        mosUmtSem_Destroy(&p.toPong);
        mosUmtSem_Destroy(&p.toPing);
    }
    EXPECT_EQ(ops, 4L * kMixPairs * rounds);
    mosUmtSchedThrd_Destroy(&sched);
}
