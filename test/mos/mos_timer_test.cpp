#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "mos/mos_osthrd.h"
#include "mos/mos_ticks.h"
#include "mos/mos_timer.h"
#include "test/support/mos_container_support.h"
#include "test/support/test_clock.h"

namespace {

struct Probe;
// The request with a way back to its probe (the probe itself is not a plain record).
struct ProbeReq {
    MosTimer_Req req;
    Probe *pProbe;
};

// A timer request that records its firings.
struct Probe {
    ProbeReq preq;
    MosTimer_Req &req = preq.req;
    std::vector<int> *pOrder = nullptr;
    int id = 0;
    std::atomic<int> fired{0};
    std::function<void(Probe *)> onFire;

    static void CK(MosAsyncObj *pObj, INT32 rc)
    {
        EXPECT_EQ(rc, MOS_RC__TIMEOUT);
        Probe *p = MOS_CONTAINER_OF(MOS_CONTAINER_OF(pObj, MosTimer_Req, asyncObj), ProbeReq, req)->pProbe;
        p->fired++;
        if (p->pOrder != nullptr)
            p->pOrder->push_back(p->id);
        if (p->onFire)
            p->onFire(p);
    }
    explicit Probe(int i = 0, std::vector<int> *pOrd = nullptr) : pOrder(pOrd), id(i)
    {
        preq.pProbe = this;
        mosTimerReq_Init(&req, CK);
    }
    ~Probe() { mosTimerReq_Destroy(&req); }
};

// Polled queues on a clock that the test drives, 100 ticks per second.
struct PolledTimers : ::testing::Test {
    PolledTimerLayer timers{5000};

    static void Advance(MosTicks_Cnt ticks)
    {
        testNow_G += ticks;
        mosTimer_Poll();
    }
};

} // namespace

TEST_F(PolledTimers, QueueChoice)
{
    struct {
        UINT32 millis;
        MosTimerQ_ID closest, below, above;
    } cases[] = {
        {0, MOS_TIMER_QUEUE_ID__100MILLI, MOS_TIMER_QUEUE_ID__LAST, MOS_TIMER_QUEUE_ID__100MILLI},
        {50, MOS_TIMER_QUEUE_ID__100MILLI, MOS_TIMER_QUEUE_ID__LAST, MOS_TIMER_QUEUE_ID__100MILLI},
        {100, MOS_TIMER_QUEUE_ID__100MILLI, MOS_TIMER_QUEUE_ID__100MILLI, MOS_TIMER_QUEUE_ID__100MILLI},
        {300, MOS_TIMER_QUEUE_ID__100MILLI, MOS_TIMER_QUEUE_ID__100MILLI, MOS_TIMER_QUEUE_ID__500MILLI},
        // Ties go to the smaller queue.
        {750, MOS_TIMER_QUEUE_ID__500MILLI, MOS_TIMER_QUEUE_ID__500MILLI, MOS_TIMER_QUEUE_ID__1SEC},
        {3000, MOS_TIMER_QUEUE_ID__2SEC, MOS_TIMER_QUEUE_ID__2SEC, MOS_TIMER_QUEUE_ID__4SEC},
        {4600, MOS_TIMER_QUEUE_ID__5SEC, MOS_TIMER_QUEUE_ID__4SEC, MOS_TIMER_QUEUE_ID__5SEC},
        {60000, MOS_TIMER_QUEUE_ID__1MIN, MOS_TIMER_QUEUE_ID__1MIN, MOS_TIMER_QUEUE_ID__1MIN},
        {400000, MOS_TIMER_QUEUE_ID__5MIN, MOS_TIMER_QUEUE_ID__5MIN, MOS_TIMER_QUEUE_ID__LAST},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(mosTimer_GetClosestQ(c.millis), c.closest) << c.millis;
        EXPECT_EQ(mosTimer_GetClosestQBelow(c.millis), c.below) << c.millis;
        EXPECT_EQ(mosTimer_GetClosestQAbove(c.millis), c.above) << c.millis;
    }
    EXPECT_EQ(mosTimerQ_GetSleepTimeMillis(MOS_TIMER_QUEUE_ID__15SEC), 15000u);
    EXPECT_EQ(mosTimerQ_GetSleepTimeTicks(MOS_TIMER_QUEUE_ID__500MILLI), 50u);
    EXPECT_TRUE(mosTimerQ_IsPoll(mosTimerQ_GetPtr(MOS_TIMER_QUEUE_ID__1MIN)));
}

TEST_F(PolledTimers, FiresInExpiryOrderAfterTheQueueTimeout)
{
    std::vector<int> order;
    Probe a(1, &order), b(2, &order), c(3, &order), d(4, &order);
    EXPECT_EQ(mosTimerReq_AddByQ(&a.req, MOS_TIMER_QUEUE_ID__1SEC), MOS_RC__PENDING);
    EXPECT_EQ(mosTimerReq_Add(&b.req, 100), MOS_RC__PENDING);
    testNow_G += 5;
    mosTimerReq_AddByQ(&c.req, MOS_TIMER_QUEUE_ID__1SEC);
    mosTimerReq_AddByQ(&d.req, MOS_TIMER_QUEUE_ID__100MILLI);

    Advance(4); // 9 ticks after the first adds
    EXPECT_TRUE(order.empty());
    Advance(1);
    EXPECT_EQ(order, (std::vector<int>{2}));
    Advance(5);
    EXPECT_EQ(order, (std::vector<int>{2, 4}));
    Advance(84); // 99 ticks after a
    EXPECT_EQ(order, (std::vector<int>{2, 4}));
    Advance(1);
    EXPECT_EQ(order, (std::vector<int>{2, 4, 1}));
    Advance(1000); // late: fires once, lateness recorded
    EXPECT_EQ(order, (std::vector<int>{2, 4, 1, 3}));
    MosTimer_Q *pQ = mosTimerQ_GetPtr(MOS_TIMER_QUEUE_ID__1SEC);
    EXPECT_EQ(pQ->numExpirations, 2u);
    EXPECT_EQ(pQ->maxDiffTicks, 995u);
    // A range poll leaves the other queues alone.
    mosTimerReq_AddByQ(&a.req, MOS_TIMER_QUEUE_ID__100MILLI);
    testNow_G += 10;
    mosTimer_PollQRange(MOS_TIMER_QUEUE_ID__1SEC, MOS_TIMER_QUEUE_ID__5MIN);
    EXPECT_EQ(a.fired, 1);
    mosTimer_PollQRange(MOS_TIMER_QUEUE_ID__100MILLI, MOS_TIMER_QUEUE_ID__100MILLI);
    EXPECT_EQ(a.fired, 2);
}

TEST_F(PolledTimers, AbortBeforeAndAfterFiring)
{
    Probe never, early, middle, late;
    EXPECT_EQ(mosTimerReq_Abort(&never.req), MOS_RC__NOT_FOUND);

    mosTimerReq_AddByQ(&early.req, MOS_TIMER_QUEUE_ID__100MILLI);
    mosTimerReq_AddByQ(&middle.req, MOS_TIMER_QUEUE_ID__100MILLI);
    mosTimerReq_AddByQ(&late.req, MOS_TIMER_QUEUE_ID__100MILLI);
    // Head, middle and tail can each be taken out of the queue.
    EXPECT_EQ(mosTimerReq_Abort(&middle.req), MOS_RC__SUCCESS);
    EXPECT_EQ(mosTimerReq_Abort(&early.req), MOS_RC__SUCCESS);
    EXPECT_EQ(mosTimerReq_Abort(&early.req), MOS_RC__NOT_FOUND);
    Advance(10);
    EXPECT_EQ(early.fired, 0);
    EXPECT_EQ(middle.fired, 0);
    EXPECT_EQ(late.fired, 1);
    EXPECT_EQ(mosTimerReq_Abort(&late.req), MOS_RC__NOT_FOUND);
    EXPECT_EQ(late.fired, 1);
    // An aborted request can be armed again.
    mosTimerReq_AddByQ(&early.req, MOS_TIMER_QUEUE_ID__500MILLI);
    Advance(50);
    EXPECT_EQ(early.fired, 1);
}

TEST_F(PolledTimers, CallbacksRunWithoutTheQueueLock)
{
    Probe self(1), victim(2), other(3);
    MosTimer_Q *pQ = mosTimerQ_GetPtr(MOS_TIMER_QUEUE_ID__100MILLI);
    Mos_RC abortRc = MOS_RC__ILLEGAL;
    self.onFire = [&](Probe *p) {
        EXPECT_FALSE(mosFastlockBase_IsLockedByCurrentThread(&pQ->lock));
        if (p->fired == 1) {
            // Re-arm itself on its own queue, abort a request behind it, arm another.
            EXPECT_EQ(mosTimerReq_AddByQ(&p->req, MOS_TIMER_QUEUE_ID__100MILLI), MOS_RC__PENDING);
            abortRc = mosTimerReq_Abort(&victim.req);
            mosTimerReq_AddByQ(&other.req, MOS_TIMER_QUEUE_ID__500MILLI);
            // A poll from inside a callback leaves the queue to the firer at work.
            mosTimer_Poll();
        }
    };
    mosTimerReq_AddByQ(&self.req, MOS_TIMER_QUEUE_ID__100MILLI);
    mosTimerReq_AddByQ(&victim.req, MOS_TIMER_QUEUE_ID__100MILLI);
    Advance(10);
    EXPECT_EQ(self.fired, 1);
    EXPECT_EQ(abortRc, MOS_RC__SUCCESS);
    EXPECT_EQ(victim.fired, 0);
    Advance(10);
    EXPECT_EQ(self.fired, 2);
    Advance(40);
    EXPECT_EQ(other.fired, 1);
    // A callback that aborts its own (re-armed) request.
    self.onFire = [](Probe *p) {
        mosTimerReq_AddByQ(&p->req, MOS_TIMER_QUEUE_ID__1SEC);
        EXPECT_EQ(mosTimerReq_Abort(&p->req), MOS_RC__SUCCESS);
    };
    mosTimerReq_AddByQ(&self.req, MOS_TIMER_QUEUE_ID__100MILLI);
    Advance(200);
    EXPECT_EQ(self.fired, 3);
}

// An abort that meets the callback running on another thread waits for it to return; the owner
// may then free the request.
TEST_F(PolledTimers, AbortDuringCallbackWaitsForIt)
{
    std::mutex m;
    std::condition_variable cv;
    bool entered = false, released = false, abortDone = false;
    std::atomic<bool> callbackDone{false};

    Probe p;
    p.onFire = [&](Probe *self) {
        // Re-arm while the owner aborts: the abort must still leave the request idle.
        mosTimerReq_AddByQ(&self->req, MOS_TIMER_QUEUE_ID__100MILLI);
        std::unique_lock<std::mutex> lk(m);
        entered = true;
        cv.notify_all();
        cv.wait(lk, [&] { return released; });
        callbackDone = true;
    };
    mosTimerReq_AddByQ(&p.req, MOS_TIMER_QUEUE_ID__100MILLI);
    testNow_G += 10;
    std::thread poller([] { mosTimer_Poll(); });
    {
        std::unique_lock<std::mutex> lk(m);
        ASSERT_TRUE(cv.wait_for(lk, std::chrono::seconds(60), [&] { return entered; }));
    }
    Mos_RC rc = MOS_RC__ILLEGAL;
    bool doneAtReturn = false;
    std::thread owner([&] {
        rc = mosTimerReq_Abort(&p.req);
        doneAtReturn = callbackDone;
        std::lock_guard<std::mutex> lk(m);
        abortDone = true;
        cv.notify_all();
    });
    {
        // The abort must not come back while the callback is held.
        std::unique_lock<std::mutex> lk(m);
        EXPECT_FALSE(cv.wait_for(lk, std::chrono::milliseconds(300), [&] { return abortDone; }));
        released = true;
        cv.notify_all();
    }
    owner.join();
    poller.join();
    EXPECT_TRUE(doneAtReturn);
    EXPECT_EQ(rc, MOS_RC__BUSY);
    EXPECT_EQ(p.req.state, MOS_TIMER_REQ_STATE__IDLE);
    Advance(100);
    EXPECT_EQ(p.fired, 1);
}

// An abort that must not wait, meeting the callback of an earlier firing on another thread,
// still removes the new arming and says so: the running callback will not deliver it.
TEST_F(PolledTimers, AbortNoWaitOfANewArmingDuringAnEarlierCallback)
{
    std::mutex m;
    std::condition_variable cv;
    bool entered = false, released = false;

    Probe p;
    p.onFire = [&](Probe *) {
        std::unique_lock<std::mutex> lk(m);
        entered = true;
        cv.notify_all();
        cv.wait(lk, [&] { return released; });
    };
    mosTimerReq_AddByQ(&p.req, MOS_TIMER_QUEUE_ID__100MILLI);
    testNow_G += 10;
    std::thread poller([] { mosTimer_Poll(); });
    {
        std::unique_lock<std::mutex> lk(m);
        ASSERT_TRUE(cv.wait_for(lk, std::chrono::seconds(60), [&] { return entered; }));
    }
    // The owner arms the request again while the first firing's callback is still running.
    ASSERT_EQ(mosTimerReq_AddByQ(&p.req, MOS_TIMER_QUEUE_ID__100MILLI), MOS_RC__PENDING);
    const Mos_RC rc = mosTimerReq_AbortNoWait(&p.req);
    {
        std::lock_guard<std::mutex> lk(m);
        released = true;
        cv.notify_all();
    }
    poller.join();
    EXPECT_EQ(rc, MOS_RC__SUCCESS);
    EXPECT_EQ(p.req.state, MOS_TIMER_REQ_STATE__IDLE);
    Advance(100);
    EXPECT_EQ(p.fired, 1) << "the removed arming never fires";
}

TEST_F(PolledTimers, MisuseIsAPanic)
{
    Probe p;
    mosTimerReq_AddByQ(&p.req, MOS_TIMER_QUEUE_ID__1SEC);
    EXPECT_PANIC(mosTimerReq_AddByQ(&p.req, MOS_TIMER_QUEUE_ID__1SEC), "pReq->state == MOS_TIMER_REQ_STATE__IDLE");
    EXPECT_PANIC(mosTimerQ_GetPtr(MOS_TIMER_QUEUE_ID__LAST), "queueID < MOS_TIMER_QUEUE_ID__LAST");
    // Deleting the layer with a request still queued.
    EXPECT_PANIC(mosTimer_Delete(), "pQ->reqAnchor.counter == 0");
    EXPECT_EQ(mosTimerReq_Abort(&p.req), MOS_RC__SUCCESS);
    MosTimer_Req dead;
    mosTimerReq_Init(&dead, Probe::CK);
    mosTimerReq_Destroy(&dead);
    EXPECT_PANIC(mosTimerReq_Abort(&dead), "Illegal state");
}

// Destroying an armed request takes it off its queue first.
TEST_F(PolledTimers, DestroyDisarms)
{
    {
        Probe p;
        mosTimerReq_AddByQ(&p.req, MOS_TIMER_QUEUE_ID__100MILLI);
    }
    EXPECT_EQ(mosTimerQ_GetPtr(MOS_TIMER_QUEUE_ID__100MILLI)->reqAnchor.counter, 0u);
    Advance(10);
}

namespace {

// Queues with their own threads on the real clock.
struct ThreadedTimers : ::testing::Test {
    ContainerLayers layers;

    void SetUp() override
    {
        ASSERT_EQ(mosTicks_Init(nullptr), MOS_RC__SUCCESS);
        ASSERT_EQ(mosOsThrdLayer_Create(nullptr), MOS_RC__SUCCESS);
        ASSERT_EQ(mosTimer_Init(nullptr), MOS_RC__SUCCESS);
    }
    void TearDown() override
    {
        mosTimer_Delete();
        mosOsThrdLayer_Destroy();
    }
};

} // namespace

TEST_F(ThreadedTimers, QueueThreadsFireAndPollingIsRefused)
{
    EXPECT_FALSE(mosTimerQ_IsPoll(mosTimerQ_GetPtr(MOS_TIMER_QUEUE_ID__100MILLI)));
    std::mutex m;
    std::condition_variable cv;
    int firedCount = 0;
    MosTicks_Cnt firedAt[2] = {};
    Probe a, b;
    auto onFire = [&](Probe *p) {
        std::lock_guard<std::mutex> lk(m);
        firedAt[p == &a ? 0 : 1] = mosTicks_GetCurrentTick();
        firedCount++;
        cv.notify_all();
    };
    a.onFire = onFire;
    b.onFire = onFire;
    MosTicks_Cnt start = mosTicks_GetCurrentTick();
    mosTimerReq_AddByQ(&a.req, MOS_TIMER_QUEUE_ID__100MILLI);
    mosTimerReq_AddByQ(&b.req, MOS_TIMER_QUEUE_ID__500MILLI);
    {
        std::unique_lock<std::mutex> lk(m);
        ASSERT_TRUE(cv.wait_for(lk, std::chrono::seconds(60), [&] { return firedCount == 2; }));
    }
    EXPECT_GE(firedAt[0] - start, mosTimerQ_GetSleepTimeTicks(MOS_TIMER_QUEUE_ID__100MILLI));
    EXPECT_GE(firedAt[1] - start, mosTimerQ_GetSleepTimeTicks(MOS_TIMER_QUEUE_ID__500MILLI));
    EXPECT_PANIC(mosTimer_Poll(), "mosTimer_G.bThrdsUsed == \\(\\(BOOL\\)0\\)");
}

// A queue emptied by an abort leaves its thread waiting for the aborted expiry; a request added
// then (no wake-up: it expires later still) fires on time all the same, as does one added to a
// queue whose thread sleeps without a deadline.
TEST_F(ThreadedTimers, AddAfterAbortFiresWithoutAWakeUp)
{
    std::mutex m;
    std::condition_variable cv;
    int firedCount = 0;
    Probe a, b, c;
    auto onFire = [&](Probe *) {
        std::lock_guard<std::mutex> lk(m);
        firedCount++;
        cv.notify_all();
    };
    b.onFire = onFire;
    c.onFire = onFire;
    mosTimerReq_AddByQ(&a.req, MOS_TIMER_QUEUE_ID__100MILLI);
    // Let the thread take the first request and sleep until its expiry.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(mosTimerReq_Abort(&a.req), MOS_RC__SUCCESS);
    const MosTicks_Cnt start = mosTicks_GetCurrentTick();
    mosTimerReq_AddByQ(&b.req, MOS_TIMER_QUEUE_ID__100MILLI);
    mosTimerReq_AddByQ(&c.req, MOS_TIMER_QUEUE_ID__1SEC);
    {
        std::unique_lock<std::mutex> lk(m);
        ASSERT_TRUE(cv.wait_for(lk, std::chrono::seconds(60), [&] { return firedCount == 2; }));
    }
    EXPECT_EQ(a.fired.load(), 0);
    EXPECT_GE(mosTicks_GetCurrentTick() - start, mosTimerQ_GetSleepTimeTicks(MOS_TIMER_QUEUE_ID__1SEC));
}

TEST_F(PolledTimers, QueuesAreDebugObjects)
{
    MosObj_Type *pType = mosObjType_GetPtrByID(SDBG_EXPORTS_OBJ_TYPE__MOS_TIMERQ);
    ASSERT_NE(pType, nullptr);
    EXPECT_EQ(mosObjType_GetObjNum(pType), 10u);
    EXPECT_EQ(mosObjType_SizeAssociated(pType), 80u);
    Probe p;
    mosTimerReq_AddByQ(&p.req, MOS_TIMER_QUEUE_ID__1SEC);
    testNow_G += 30;
    MosObj *pObj = mosObjType_GetNthObj(pType, MOS_TIMER_QUEUE_ID__1SEC);
    ASSERT_NE(pObj, nullptr);
    MosTimerQ_Query q = {};
    mosObj_Query(pObj, pType, &q);
    mosObjType_ReleaseNthObj(pType);
    EXPECT_STREQ(q.name, "MOS_TIMER_QUEUE_ID__1SEC");
    EXPECT_EQ(q.timeoutInTicks, 100u);
    EXPECT_EQ(q.timeoutInMillis, 1000u);
    EXPECT_EQ(q.ticksToExpiration, 70);
    EXPECT_EQ(q.numWaiting, 1u);
    EXPECT_TRUE(q.bIsPoll);
    EXPECT_EQ(mosTimerReq_Abort(&p.req), MOS_RC__SUCCESS);
}

namespace {

// A request owned by one thread and freed right after its abort returns.
struct Owned {
    MosTimer_Req req;
    std::atomic<UINT32> magic;
    std::atomic<UINT32> rearms;
};
constexpr UINT32 kAlive = 0xA11CE;
std::atomic<UINT32> deadTouches_G{0};

void ownedCK(MosAsyncObj *pObj, INT32)
{
    Owned *o = MOS_CONTAINER_OF(MOS_CONTAINER_OF(pObj, MosTimer_Req, asyncObj), Owned, req);
    if (o->magic.load() != kAlive)
        deadTouches_G++;
    // Every other firing re-arms, so that aborts also meet requests re-armed by their callback.
    if (o->rearms.fetch_add(1) % 2 == 0)
        mosTimerReq_AddByQ(&o->req, MOS_TIMER_QUEUE_ID__100MILLI);
    std::this_thread::yield();
    if (o->magic.load() != kAlive)
        deadTouches_G++;
}

} // namespace

// Owners arm and abort while a poller fires as fast as it can: after an abort returns, the
// request is idle, off every queue, and no callback touches it any more (the sanitizer build
// reports any touch of the freed record).
TEST_F(PolledTimers, StressAbortAgainstFiring)
{
    constexpr int kOwners = 6;
    constexpr int kRounds = 20000;
    deadTouches_G = 0;
    std::atomic<bool> stop{false};
    std::thread poller([&] {
        while (!stop.load()) {
            testNow_G += 10;
            mosTimer_Poll();
        }
    });
    std::atomic<UINT32> badStates{0};
    std::vector<std::thread> owners;
    for (int t = 0; t < kOwners; t++)
        owners.emplace_back([&] {
            for (int i = 0; i < kRounds; i++) {
                Owned *o = new Owned;
                o->magic = kAlive;
                o->rearms = 0;
                mosTimerReq_Init(&o->req, ownedCK);
                mosTimerReq_AddByQ(&o->req, MOS_TIMER_QUEUE_ID__100MILLI);
                if (i % 3 == 0)
                    std::this_thread::yield();
                Mos_RC rc = mosTimerReq_Abort(&o->req);
                if ((rc != MOS_RC__SUCCESS && rc != MOS_RC__NOT_FOUND && rc != MOS_RC__BUSY) ||
                    o->req.state != MOS_TIMER_REQ_STATE__IDLE || mosDList_IsLinked(&o->req.asyncObj.node))
                    badStates++;
                o->magic = 0;
                mosTimerReq_Destroy(&o->req);
                delete o;
            }
        });
    for (auto &t : owners)
        t.join();
    stop = true;
    poller.join();
    EXPECT_EQ(badStates.load(), 0u);
    EXPECT_EQ(deadTouches_G.load(), 0u);
    EXPECT_EQ(mosTimerQ_GetPtr(MOS_TIMER_QUEUE_ID__100MILLI)->reqAnchor.counter, 0u);
}
