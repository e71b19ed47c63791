#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "mos/mit/mos_mit.h"
#include "mos/mit/mos_mit_cond.h"
#include "mos/mit/mos_mit_mempool.h"
#include "mos/mit/mos_mit_timer.h"
#include "mos/mos_mempool.h"
#include "test/support/umt_test_support.h"

namespace {
::testing::Environment *const umtEnv_G = ::testing::AddGlobalTestEnvironment(new UmtRuntimeEnv);

// A micro-task scheduler: a queue run by worker OS threads, or, without workers, by the test
// thread through RunPending.
struct MitTestSched {
    MosMit_Scheduler sched; // first: the task's pSched points here
    std::mutex mu;
    std::condition_variable cv;
    std::deque<MosMit *> q;
    bool bStop = false;
    std::vector<std::thread> workers;

    explicit MitTestSched(int numWorkers)
    {
        sched.pSchedCK = [](MosMit *pMit) { Of(pMit)->Push(pMit, false); };
        sched.pSchedNextCK = [](MosMit *pMit) { Of(pMit)->Push(pMit, true); };
        for (int i = 0; i < numWorkers; i++)
            workers.emplace_back([this] { Work(); });
    }
    ~MitTestSched()
    {
        {
            std::lock_guard<std::mutex> g(mu);
            bStop = true;
        }
        cv.notify_all();
        for (auto &t : workers)
            t.join();
    }
    static MitTestSched *Of(MosMit *pMit) { return reinterpret_cast<MitTestSched *>(pMit->pSched); }
    // The time-out thread resumes tasks too: once the task is queued a worker may finish it and
    // the test destroy this scheduler, so the wake-up is given before the lock is let go, never
    // on a condition variable that may be gone.
    void Push(MosMit *pMit, bool bFront)
    {
        std::lock_guard<std::mutex> g(mu);
        bFront ? q.push_front(pMit) : q.push_back(pMit);
        cv.notify_one();
    }
    MosMit *Pop(bool bWait)
    {
        std::unique_lock<std::mutex> g(mu);
        while (q.empty()) {
            if (!bWait || bStop)
                return nullptr;
            cv.wait(g);
        }
        MosMit *pMit = q.front();
        q.pop_front();
        return pMit;
    }
    void Work()
    {
        while (MosMit *pMit = Pop(true))
            mosMit_Run(pMit, pMit->nextRC);
    }
    // Runs queued tasks on this thread until none is left; returns how many runs.
    int RunPending()
    {
        int n = 0;
        while (MosMit *pMit = Pop(false)) {
            mosMit_Run(pMit, pMit->nextRC);
            n++;
        }
        return n;
    }
};

// A condition with its lock.
struct LockedCond {
    MosFastlock_Base lock;
    MosMitCond cond;
    LockedCond()
    {
        MOS_FASTLOCK_CREATE(&lock, 1);
        mosMitCond_Init(&cond);
    }
    ~LockedCond()
    {
        mosMitCond_Destroy(&cond);
        mosFastlockBase_Destroy(&lock);
    }
    bool HasWaiter()
    {
        MosFastlockGuard g(&lock);
        return mosMitCond_NextMitToWake(&cond) != nullptr;
    }
    UINT32 Broadcast(Mos_RC rc)
    {
        MosFastlockGuard g(&lock);
        return mosMitCond_Broadcast(&cond, rc);
    }
};

// ---------------------------------------------------------------------------------------------
// A chain of three steps; each may wait on the condition before and after calling the next.

struct Chain {
    LockedCond lc;
    UINT32 waitMask = 0; // bit 2k: level k waits before its call, bit 2k+1: after it
    std::vector<std::string> log;
    int badWakes = 0;
    std::atomic<int> dtors{0};
    Mos_RC final = MOS_RC__ILLEGAL;
};

constexpr Mos_RC kLevelResult[3] = {MOS_RC__BUSY, MOS_RC__NOT_FOUND, MOS_RC__CLOSED};
constexpr Mos_RC kWakeValue = MOS_RC__ABORTED;

template <int K> Mos_RC chainLevel_CK(MosMit *pMit, Mos_RC rc);

template <int K> MosMit_CK chainNext()
{
    if constexpr (K < 2)
        return chainLevel_CK<K + 1>;
    else
        return nullptr;
}

template <int K> Mos_RC chainLevel_CK(MosMit *pMit, Mos_RC rc)
{
    Chain *c = static_cast<Chain *>(pMit->pContext);
    MOS_MIT_BEGIN(pMit);
    c->log.push_back("enter" + std::to_string(K));
    if (c->waitMask & (1u << (2 * K))) {
        mosFastlockBase_Acquire(&c->lc.lock);
        MOS_MIT_COND_WAIT(pMit, rc, &c->lc.cond, &c->lc.lock, 0);
        if (!mosFastlockBase_IsLockedByCurrentThread(&c->lc.lock) || rc != kWakeValue)
            c->badWakes++;
        mosFastlockBase_Release(&c->lc.lock);
    }
    if (K < 2) {
        MOS_MIT_CALL(pMit, rc, chainNext<K>());
        c->log.push_back("level" + std::to_string(K) + " got " + MOS_RC__GET_STR(rc));
    }
    if (c->waitMask & (1u << (2 * K + 1))) {
        mosFastlockBase_Acquire(&c->lc.lock);
        MOS_MIT_COND_WAIT(pMit, rc, &c->lc.cond, &c->lc.lock, 0);
        if (rc != kWakeValue)
            c->badWakes++;
        mosFastlockBase_Release(&c->lc.lock);
    }
    MOS_MIT_RETURN(pMit, kLevelResult[K]);
    MOS_MIT_END(pMit);
}

void chainDtor(MosMit *pMit)
{
    Chain *c = static_cast<Chain *>(pMit->pContext);
    c->final = pMit->nextRC;
    c->dtors++;
}
} // namespace

// Whatever the places where the steps wait, the chain runs in order and each step continues
// once, at its resume point, with its callee's result.
TEST(Mit, NestedChainResumesInOrderWhereverItWaits)
{
    const std::vector<std::string> expected = {"enter0", "enter1", "enter2",
                                               std::string("level1 got ") + MOS_RC__GET_STR(kLevelResult[2]),
                                               std::string("level0 got ") + MOS_RC__GET_STR(kLevelResult[1])};
    MitTestSched sched(0);
    // Three levels and the condition's own wait step.
    MosMit_Storage<4> storage;
    for (UINT32 mask = 0; mask < 64; mask++) {
        for (bool bStartNow : {false, true}) {
            SCOPED_TRACE("wait mask " + std::to_string(mask) + (bStartNow ? " started now" : " started"));
            Chain c;
            c.waitMask = mask;
            MosMit *pMit = storage.get();
            mosMit_Init(pMit, &sched.sched, chainDtor, &c, 4);
            bStartNow ? mosMit_StartNow(pMit, chainLevel_CK<0>) : mosMit_Start(pMit, chainLevel_CK<0>);
            sched.RunPending();
            int waits = 0;
            while (c.dtors == 0) {
                ASSERT_TRUE(c.lc.HasWaiter());
                ASSERT_EQ(c.lc.Broadcast(kWakeValue), 1u);
                waits++;
                ASSERT_GT(sched.RunPending(), 0);
            }
            EXPECT_EQ(waits, __builtin_popcount(mask));
            EXPECT_EQ(c.log, expected);
            EXPECT_EQ(c.badWakes, 0);
            EXPECT_EQ(c.final, kLevelResult[0]);
            EXPECT_EQ(c.dtors.load(), 1);
            EXPECT_EQ(pMit->state, MOS_MIT_STATE__DEAD);
            EXPECT_EQ(pMit->stackIndex, 0);
        }
    }
}

TEST(Mit, StartNowWithoutWaitFinishesAndDestroysBeforeReturning)
{
    MitTestSched sched(0);
    Chain c;
    MosMit_Storage<3> storage;
    mosMit_Init(storage.get(), &sched.sched, chainDtor, &c, 3);
    mosMit_StartNow(storage.get(), chainLevel_CK<0>);
    EXPECT_EQ(c.dtors.load(), 1);
    EXPECT_EQ(c.final, kLevelResult[0]);
    EXPECT_EQ(sched.RunPending(), 0);
}

TEST(MitDeathTest, PushingPastTheStackPanics)
{
    EXPECT_PANIC(
        {
            MitTestSched sched(0);
            Chain c;
            MosMit_Storage<2> storage;
            mosMit_Init(storage.get(), &sched.sched, chainDtor, &c, 2);
            mosMit_StartNow(storage.get(), chainLevel_CK<0>);
        },
        "micro-task stack overflow");
}

namespace {
// A task that waits once on a condition with a time-out and records how it was woken.
struct Waiter {
    LockedCond *pLc = nullptr;
    UINT32 millis = 0;
    std::atomic<int> resumes{0};
    std::atomic<int> dtors{0};
    Mos_RC wake = MOS_RC__ILLEGAL;
    bool bLockHeld = false;
    MosMit_Storage<2> storage; // the step and the condition's wait step
    MosMit *mit() { return storage.get(); }
};

Mos_RC waiterMain_CK(MosMit *pMit, Mos_RC rc)
{
    Waiter *w = static_cast<Waiter *>(pMit->pContext);
    MOS_MIT_BEGIN(pMit);
    mosFastlockBase_Acquire(&w->pLc->lock);
    MOS_MIT_COND_WAIT(pMit, rc, &w->pLc->cond, &w->pLc->lock, w->millis);
    w->resumes++;
    w->wake = rc;
    w->bLockHeld = mosFastlockBase_IsLockedByCurrentThread(&w->pLc->lock);
    mosFastlockBase_Release(&w->pLc->lock);
    MOS_MIT_RETURN(pMit, rc);
    MOS_MIT_END(pMit);
}

void waiterDtor(MosMit *pMit)
{
    static_cast<Waiter *>(pMit->pContext)->dtors++;
}

void startWaiter(Waiter *w, MitTestSched *pSched, LockedCond *pLc, UINT32 millis)
{
    w->pLc = pLc;
    w->millis = millis;
    mosMit_Init(w->mit(), &pSched->sched, waiterDtor, w, 2);
    mosMit_StartNow(w->mit(), waiterMain_CK);
}
} // namespace

TEST(MitCond, NoTimeoutWaitsWithoutTimerAndATimedWaitUsesTheClosestQueue)
{
    MitTestSched sched(0);
    LockedCond lc;
    Waiter plain, timed;
    startWaiter(&plain, &sched, &lc, 0);
    startWaiter(&timed, &sched, &lc, 750);
    EXPECT_EQ(plain.mit()->state, MOS_MIT_STATE__SUSPENDED);
    EXPECT_EQ(plain.mit()->scratch.cond.timerQ, MOS_TIMER_QUEUE_ID__LAST);
    EXPECT_EQ(timed.mit()->state, MOS_MIT_STATE__TIMED_SUSPENDED);
    EXPECT_EQ(timed.mit()->scratch.cond.timerQ, mosTimer_GetClosestQ(750));
    {
        MosFastlockGuard g(&lc.lock);
        EXPECT_EQ(mosMitCond_NextMitToWake(&lc.cond), plain.mit()); // arrival order
        EXPECT_EQ(mosMitCond_SignalWaiter(&lc.cond, timed.mit(), MOS_RC__BUSY), MOS_RC__SUCCESS);
        EXPECT_EQ(mosMitCond_SignalWaiter(&lc.cond, timed.mit(), MOS_RC__BUSY), MOS_RC__NOT_FOUND);
        EXPECT_EQ(mosMitCond_Signal(&lc.cond, MOS_RC__CLOSED), MOS_RC__SUCCESS);
        EXPECT_EQ(mosMitCond_Signal(&lc.cond, MOS_RC__CLOSED), MOS_RC__NOT_FOUND);
    }
    sched.RunPending();
    EXPECT_EQ(timed.wake, MOS_RC__BUSY);
    EXPECT_EQ(plain.wake, MOS_RC__CLOSED);
    EXPECT_TRUE(plain.bLockHeld && timed.bLockHeld);
    EXPECT_EQ(plain.dtors + timed.dtors, 2);
}

// A taken waiter is off the condition (signals pass it by) yet still suspended in its wait: put
// back, the next signal wakes it; resumed by its taker, it goes on under the lock like a
// signalled one. A timed waiter loses its time-out when taken.
TEST(MitCond, ATakenWaiterIsPutBackOrResumedByItsTaker)
{
    MitTestSched sched(0);
    LockedCond lc;
    Waiter plain, timed;
    startWaiter(&plain, &sched, &lc, 0);
    startWaiter(&timed, &sched, &lc, 100);
    {
        MosFastlockGuard g(&lc.lock);
        EXPECT_TRUE(mosMitCond_TakeWaiter(&lc.cond, plain.mit()));
        EXPECT_FALSE(mosMitCond_TakeWaiter(&lc.cond, plain.mit()));
        EXPECT_EQ(plain.mit()->state, MOS_MIT_STATE__SUSPENDED);
        EXPECT_TRUE(mosMitCond_TakeWaiter(&lc.cond, timed.mit()));
        EXPECT_EQ(timed.mit()->state, MOS_MIT_STATE__SUSPENDED);
        EXPECT_EQ(mosMitCond_Signal(&lc.cond, MOS_RC__CLOSED), MOS_RC__NOT_FOUND);
        mosMitCond_PutBackWaiter(&lc.cond, plain.mit());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(400)); // past the taken time-out
    EXPECT_EQ(sched.RunPending(), 0);
    mosMit_Resume(timed.mit(), MOS_RC__NOTHING_TO_DO);
    EXPECT_EQ(lc.Broadcast(MOS_RC__CLOSED), 1u);
    sched.RunPending();
    EXPECT_EQ(plain.wake, MOS_RC__CLOSED);
    EXPECT_EQ(timed.wake, MOS_RC__NOTHING_TO_DO);
    EXPECT_TRUE(plain.bLockHeld && timed.bLockHeld);
    EXPECT_EQ(plain.resumes + timed.resumes, 2);
    EXPECT_EQ(plain.dtors + timed.dtors, 2);
}

TEST(MitCond, UnsignalledWaitTimesOutHoldingTheLock)
{
    MitTestSched sched(1);
    LockedCond lc;
    Waiter w;
    startWaiter(&w, &sched, &lc, 100);
    ASSERT_TRUE(umtTest_WaitFor([&] { return w.dtors == 1; }));
    EXPECT_EQ(w.wake, MOS_RC__TIMEOUT);
    EXPECT_TRUE(w.bLockHeld);
    EXPECT_EQ(w.resumes.load(), 1);
    EXPECT_FALSE(lc.HasWaiter());
}

// Many waits whose signals come around the time their time-outs fire: each task is resumed
// exactly once, with the signal's value or with the time-out, and destroyed once.
TEST(MitCondStress, WaitsRacingTheirTimeoutsResumeOnce)
{
    constexpr int kTasks = 10000;
    constexpr int kConds = 16;
    MitTestSched sched(4);
    std::vector<LockedCond> conds(kConds);
    std::vector<Waiter> waiters(kTasks);
    // Signalling starts at different times around the 100 ms queue's expiry.
    const int startMillis[] = {90, 100, 105, 110, 120};
    for (int round = 0; round < 5; round++) {
        SCOPED_TRACE("round " + std::to_string(round));
        for (Waiter &w : waiters) {
            w.resumes = 0;
            w.dtors = 0;
            w.wake = MOS_RC__ILLEGAL;
        }
        auto start = std::chrono::steady_clock::now();
        for (int i = 0; i < kTasks; i++)
            startWaiter(&waiters[i], &sched, &conds[i % kConds], 100);
        // Signal from the time the first time-outs may fire, one waiter at a time and by
        // broadcast, so that signals and time-outs meet on the same waiters.
        std::this_thread::sleep_until(start + std::chrono::milliseconds(startMillis[round]));
        std::thread broadcaster([&] {
            for (int pass = 0; pass < 4; pass++)
                for (LockedCond &lc : conds)
                    lc.Broadcast(MOS_RC__BUSY);
        });
        for (int i = kTasks - 1; i >= 0; i--) {
            LockedCond &lc = conds[i % kConds];
            MosFastlockGuard g(&lc.lock);
            mosMitCond_SignalWaiter(&lc.cond, waiters[i].mit(), MOS_RC__CLOSED);
        }
        broadcaster.join();
        ASSERT_TRUE(umtTest_WaitFor([&] {
            for (const Waiter &w : waiters)
                if (w.dtors != 1)
                    return false;
            return true;
        }));
        int timeouts = 0;
        for (int i = 0; i < kTasks; i++) {
            ASSERT_EQ(waiters[i].resumes.load(), 1) << "task " << i;
            ASSERT_EQ(waiters[i].dtors.load(), 1) << "task " << i;
            Mos_RC wake = waiters[i].wake;
            ASSERT_TRUE(wake == MOS_RC__BUSY || wake == MOS_RC__CLOSED || wake == MOS_RC__TIMEOUT)
                << MOS_RC__GET_STR(wake);
            timeouts += wake == MOS_RC__TIMEOUT;
        }
        for (LockedCond &lc : conds)
            EXPECT_FALSE(lc.HasWaiter());
        std::printf("round %d: %d of %d waits timed out\n", round, timeouts, kTasks);
    }
}

namespace {
// Tasks on the heap whose destructor wipes and frees them: nothing may be read from a task
// after its destructor.
struct HeapTask {
    LockedCond *pLc;
    std::atomic<int> *pDtors;
    Mos_RC result;
};

Mos_RC heapMain_CK(MosMit *pMit, Mos_RC rc)
{
    HeapTask *t = static_cast<HeapTask *>(pMit->pContext);
    MOS_MIT_BEGIN(pMit);
    if (t->pLc != nullptr) {
        mosFastlockBase_Acquire(&t->pLc->lock);
        MOS_MIT_COND_WAIT(pMit, rc, &t->pLc->cond, &t->pLc->lock, 0);
        mosFastlockBase_Release(&t->pLc->lock);
    }
    MOS_MIT_RETURN(pMit, t->result);
    MOS_MIT_END(pMit);
}

void heapDtor(MosMit *pMit)
{
    HeapTask *t = static_cast<HeapTask *>(pMit->pContext);
    (*t->pDtors)++;
    delete t;
    memset(static_cast<void *>(pMit), 0xA5, MOS_MIT_SIZE(2));
    asm volatile("" ::: "memory"); // keep the wipe: a read after this must see garbage
    free(pMit);
}

MosMit *newJoinable(MitTestSched *pSched, LockedCond *pLc, std::atomic<int> *pDtors, Mos_RC result)
{
    MosMit *pMit = static_cast<MosMit *>(malloc(MOS_MIT_SIZE(2)));
    mosMit_Init(pMit, &pSched->sched, heapDtor, new HeapTask{pLc, pDtors, result}, 2);
    pMit->joinRef = 2;
    return pMit;
}

// Joins the task in its context from a micro-task.
struct Joiner {
    MosMit *pToJoin;
    Mos_RC got = MOS_RC__ILLEGAL;
    bool bDone = false;
    MosMit_Storage<1> storage;
};

Mos_RC joinerMain_CK(MosMit *pMit, Mos_RC rc)
{
    Joiner *j = static_cast<Joiner *>(pMit->pContext);
    MOS_MIT_BEGIN(pMit);
    MOS_MIT_WAIT(pMit, rc, FALSE, mosMit_Join(pMit, j->pToJoin));
    j->got = rc;
    j->bDone = true;
    MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
    MOS_MIT_END(pMit);
}
} // namespace

TEST(MitJoin, EndedOrRunningTasksAreJoinedOnceFromThreadsAndTasks)
{
    MitTestSched sched(0);
    LockedCond lc;
    std::atomic<int> dtors{0};

    // Ended before the join: the join returns its result at once and destroys it.
    MosMit *pMit = newJoinable(&sched, nullptr, &dtors, MOS_RC__CLOSED);
    mosMit_StartNow(pMit, heapMain_CK);
    EXPECT_EQ(dtors.load(), 0);
    EXPECT_EQ(mosMit_JoinSync(pMit), MOS_RC__CLOSED);
    EXPECT_EQ(dtors.load(), 1);

    // Still waiting when an OS thread joins: the join returns when it ends.
    pMit = newJoinable(&sched, &lc, &dtors, MOS_RC__BUSY);
    mosMit_StartNow(pMit, heapMain_CK);
    std::thread ender([&] {
        EXPECT_TRUE(umtTest_WaitFor([&] { return pMit->joinRef == 1; }));
        lc.Broadcast(MOS_RC__SUCCESS);
        sched.RunPending();
    });
    EXPECT_EQ(mosMit_JoinSync(pMit), MOS_RC__BUSY);
    ender.join();
    EXPECT_EQ(dtors.load(), 2);

    // Joined by a micro-task, before and after it ends.
    for (bool bEndFirst : {false, true}) {
        SCOPED_TRACE(bEndFirst ? "ended first" : "joined first");
        Joiner j;
        j.pToJoin = newJoinable(&sched, &lc, &dtors, MOS_RC__TIMEOUT);
        mosMit_StartNow(j.pToJoin, heapMain_CK);
        int before = dtors;
        if (bEndFirst) {
            lc.Broadcast(MOS_RC__SUCCESS);
            sched.RunPending();
        }
        mosMit_Init(j.storage.get(), &sched.sched, nullptr, &j, 1);
        mosMit_StartNow(j.storage.get(), joinerMain_CK);
        EXPECT_EQ(j.bDone, bEndFirst);
        if (!bEndFirst) {
            lc.Broadcast(MOS_RC__SUCCESS);
            sched.RunPending();
        }
        EXPECT_TRUE(j.bDone);
        EXPECT_EQ(j.got, MOS_RC__TIMEOUT);
        EXPECT_EQ(dtors.load(), before + 1);
    }
}

namespace {
struct Sleeper {
    explicit Sleeper(UINT32 m) : millis(m) {}
    UINT32 millis;
    Mos_RC wake = MOS_RC__ILLEGAL;
    std::atomic<bool> bDone{false};
    MosMit_Storage<1> storage;
};

Mos_RC sleeperMain_CK(MosMit *pMit, Mos_RC rc)
{
    Sleeper *s = static_cast<Sleeper *>(pMit->pContext);
    MOS_MIT_BEGIN(pMit);
    mosTimerReq_Init(&pMit->scratch.timer.timerReq, mosMitTimer_CK);
    MOS_MIT_WAIT(pMit, rc, TRUE, mosTimerReq_Add(&pMit->scratch.timer.timerReq, s->millis));
    s->wake = rc;
    s->bDone = true;
    MOS_MIT_RETURN(pMit, rc);
    MOS_MIT_END(pMit);
}

struct PoolUser {
    MosMemPool *pPool;
    PVOID pBlock = nullptr;
    std::atomic<bool> bDone{false};
    MosMit_Storage<1> storage;
};

Mos_RC poolUserMain_CK(MosMit *pMit, Mos_RC rc)
{
    PoolUser *u = static_cast<PoolUser *>(pMit->pContext);
    MOS_MIT_BEGIN(pMit);
    mosDList_InitNode(&pMit->scratch.mempool.poolReq.asyncObj.node);
    pMit->scratch.mempool.poolReq.asyncObj.pCK = mosMitMempool_CK;
    MOS_MIT_WAIT(pMit, rc, FALSE, mosMemPool_Alloc(u->pPool, nullptr, &pMit->scratch.mempool.poolReq, TRUE));
    u->pBlock = mosMitMemPool_GetAllocRes(pMit);
    u->bDone = true;
    MOS_MIT_RETURN(pMit, rc);
    MOS_MIT_END(pMit);
}
} // namespace

TEST(MitAdapters, TimerSleepEndsOrIsAbortedAndPoolWaitGetsTheFreedBlock)
{
    MitTestSched sched(1);
    Sleeper shortSleep{100};
    mosMit_Init(shortSleep.storage.get(), &sched.sched, nullptr, &shortSleep, 1);
    mosMit_StartNow(shortSleep.storage.get(), sleeperMain_CK);
    ASSERT_TRUE(umtTest_WaitFor([&] { return shortSleep.bDone.load(); }));
    EXPECT_EQ(shortSleep.wake, MOS_RC__SUCCESS);

    Sleeper longSleep{300000};
    MosMit *pMit = longSleep.storage.get();
    mosMit_Init(pMit, &sched.sched, nullptr, &longSleep, 1);
    mosMit_StartNow(pMit, sleeperMain_CK);
    EXPECT_EQ(pMit->state, MOS_MIT_STATE__TIMED_SUSPENDED);
    ASSERT_EQ(mosMitTimer_Abort(pMit), MOS_RC__SUCCESS);
    EXPECT_EQ(pMit->state, MOS_MIT_STATE__SUSPENDED);
    mosMit_Resume(pMit, MOS_RC__ABORTED);
    ASSERT_TRUE(umtTest_WaitFor([&] { return longSleep.bDone.load(); }));
    EXPECT_EQ(longSleep.wake, MOS_RC__ABORTED);

    MosMemPool pool;
    mosMemPool_Create(&pool, 64, 1, 8);
    PVOID pTaken = nullptr;
    ASSERT_EQ(mosMemPool_AllocNoWait(&pool, &pTaken), MOS_RC__SUCCESS);
    PoolUser user;
    user.pPool = &pool;
    mosMit_Init(user.storage.get(), &sched.sched, nullptr, &user, 1);
    mosMit_StartNow(user.storage.get(), poolUserMain_CK);
    EXPECT_FALSE(user.bDone.load());
    mosMemPool_Free(&pool, pTaken);
    ASSERT_TRUE(umtTest_WaitFor([&] { return user.bDone.load(); }));
    EXPECT_EQ(user.pBlock, pTaken);
    mosMemPool_Free(&pool, user.pBlock);
    mosMemPool_Destroy(&pool);
}

TEST(Mit, ResumeNowRunsAheadOfQueuedTasks)
{
    MitTestSched sched(0);
    LockedCond lc;
    Waiter a, b;
    startWaiter(&a, &sched, &lc, 0);
    startWaiter(&b, &sched, &lc, 0);
    {
        MosFastlockGuard g(&lc.lock);
        mosDList_Remove(&lc.cond.waiters, &a.mit()->node);
        mosDList_Remove(&lc.cond.waiters, &b.mit()->node);
    }
    mosMit_Resume(a.mit(), MOS_RC__SUCCESS);
    mosMit_ResumeNow(b.mit(), MOS_RC__SUCCESS);
    ASSERT_EQ(sched.q.size(), 2u);
    EXPECT_EQ(sched.q.front(), b.mit());
    sched.RunPending();
    EXPECT_EQ(a.dtors + b.dtors, 2);
}
