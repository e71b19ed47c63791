#include <gtest/gtest.h>

#include <atomic>
#include <deque>
#include <vector>

#include "mos/mos_ticks.h"
#include "mos/mos_limiter.h"
#include "mos/mos_timer.h"
#include "test/support/mos_container_support.h"
#include "test/support/test_clock.h"

namespace {

struct LimReq {
    MosLimiter_Req r;
    int admitted;
};

void limReqCK(MosAsyncObj *pObj, INT32 rc)
{
    EXPECT_EQ(rc, MOS_RC__SUCCESS);
    MOS_CONTAINER_OF(MOS_CONTAINER_OF(pObj, MosLimiter_Req, asyncObj), LimReq, r)->admitted++;
}

LimReq makeReq(UINT32 usage)
{
    LimReq req = {};
    mosDList_InitNode(&req.r.asyncObj.node);
    req.r.asyncObj.pCK = limReqCK;
    req.r.usage = usage;
    return req;
}

// 100 ticks per second: a slot is 10 ticks. The limiter's timer runs on polled queues.
struct Limiter : ::testing::Test {
    PolledTimerLayer timers{5000};
    MosLimiter lim;

    // Moves to the next slot and lets the limiter's timer fire.
    static void NextSlot()
    {
        testNow_G += 10;
        mosTimer_Poll();
    }
    MosLimiter_Query Query()
    {
        MosLimiter_Query q = {};
        mosLimiter_Query(&lim, &q);
        return q;
    }
};

} // namespace

TEST_F(Limiter, LimitsFromTheRate)
{
    struct {
        UINT32 avgMaxInSec, slotMulMax;
        UINT32 avgSlotMax, slotMax;
        UINT64 maxRsrcInSec;
    } cases[] = {
        {1000, 0, 100, 1000, 1000},
        {1000, 3, 100, 300, 1000},
        {1005, 1, 100, 100, 1000},
        // Below one unit per slot the limiter still admits one unit per slot.
        {5, 0, 1, 10, 10},
        {15, 2, 1, 2, 10},
        // Off.
        {0, 0, 0, 0xFFFFFFFFu, 0},
        {0, 7, 0, 0xFFFFFFFFu, 0},
        // The burst size saturates instead of wrapping.
        {4000000000u, 100, 400000000u, 0xFFFFFFFFu, 4000000000ull},
    };
    for (const auto &c : cases) {
        mosLimiter_Init(&lim, c.avgMaxInSec, c.slotMulMax);
        MosLimiter_Query q = Query();
        EXPECT_EQ(q.avgSlotMax, c.avgSlotMax) << c.avgMaxInSec << "/" << c.slotMulMax;
        EXPECT_EQ(q.slotMax, c.slotMax) << c.avgMaxInSec << "/" << c.slotMulMax;
        EXPECT_EQ(q.tickInSlot, 10u);
        EXPECT_EQ(q.currSlot, 500u);
        EXPECT_EQ(mosLimiter_GetMaxRsrcInSec(&lim), c.maxRsrcInSec);
        mosLimiter_Destroy(&lim);
    }
}

// 1000 per second with the default burst of ten slots: 1500 units use up the first slot and
// then get the average budget of each later slot until the rest fits.
TEST_F(Limiter, LargeRequestIsAdmittedOverLaterSlots)
{
    mosLimiter_Init(&lim, 1000, 0);
    LimReq big = makeReq(1500);
    EXPECT_EQ(mosLimiter_Add(&lim, &big.r), MOS_RC__PENDING);
    MosLimiter_Query q = Query();
    EXPECT_EQ(q.slotUsage, 1000u);
    EXPECT_EQ(big.r.usage, 500u);
    EXPECT_EQ(q.waiters, 1u);
    EXPECT_TRUE(q.bTimerActive);

    NextSlot();
    q = Query();
    EXPECT_EQ(q.loanToOldSlots, 900u);
    EXPECT_EQ(q.slotUsage, 100u);
    EXPECT_EQ(big.r.usage, 400u);
    for (UINT32 left : {300u, 200u, 100u}) {
        EXPECT_EQ(big.admitted, 0);
        NextSlot();
        EXPECT_EQ(big.r.usage, left);
    }
    NextSlot();
    EXPECT_EQ(big.admitted, 1);
    q = Query();
    EXPECT_EQ(q.waiters, 0u);
    EXPECT_FALSE(q.bTimerActive);
    mosLimiter_Destroy(&lim);
}

TEST_F(Limiter, LoanCarriesAndExpires)
{
    mosLimiter_Init(&lim, 1000, 0);
    LimReq burst = makeReq(1000), one = makeReq(1), rest = makeReq(99), more = makeReq(1);
    EXPECT_EQ(mosLimiter_Add(&lim, &burst.r), MOS_RC__SUCCESS);
    EXPECT_EQ(mosLimiter_Add(&lim, &one.r), MOS_RC__PENDING);
    NextSlot(); // loan 900 leaves room for 100
    EXPECT_EQ(one.admitted, 1);
    EXPECT_EQ(mosLimiter_Add(&lim, &rest.r), MOS_RC__SUCCESS);
    EXPECT_EQ(mosLimiter_Add(&lim, &more.r), MOS_RC__PENDING);

    // A request in a new slot stops the timer and re-admits the waiters before itself.
    testNow_G += 10;
    LimReq next = makeReq(50);
    EXPECT_EQ(mosLimiter_Add(&lim, &next.r), MOS_RC__SUCCESS);
    EXPECT_EQ(more.admitted, 1);
    EXPECT_EQ(mosTimerQ_GetPtr(MOS_TIMER_QUEUE_ID__100MILLI)->reqAnchor.counter, 0u);
    EXPECT_EQ(Query().loanToOldSlots, 900u);
    EXPECT_EQ(Query().slotUsage, 51u);

    // After a long quiet spell the whole loan is paid off.
    testNow_G += 1000;
    LimReq again = makeReq(1000);
    EXPECT_EQ(mosLimiter_Add(&lim, &again.r), MOS_RC__SUCCESS);
    EXPECT_EQ(Query().loanToOldSlots, 0u);
    mosLimiter_Destroy(&lim);
}

TEST_F(Limiter, PopAdmitsAtOnceAndAnEmptyPopLetsTheNextOverflowThrough)
{
    mosLimiter_Init(&lim, 1000, 1); // 100 per slot, no burst
    LimReq full = makeReq(100), a = makeReq(50), b = makeReq(60);
    EXPECT_EQ(mosLimiter_Add(&lim, &full.r), MOS_RC__SUCCESS);
    EXPECT_EQ(mosLimiter_Add(&lim, &a.r), MOS_RC__PENDING);
    EXPECT_EQ(mosLimiter_Add(&lim, &b.r), MOS_RC__PENDING);
    EXPECT_EQ(mosLimiter_Pop(&lim), MOS_RC__SUCCESS);
    EXPECT_EQ(a.admitted, 1);
    EXPECT_EQ(b.admitted, 0);
    EXPECT_EQ(mosLimiter_Pop(&lim), MOS_RC__SUCCESS);
    EXPECT_EQ(b.admitted, 1);
    EXPECT_EQ(mosLimiter_Pop(&lim), MOS_RC__NOT_FOUND);
    NextSlot(); // the timer finds nobody

    LimReq fill = makeReq(100), over = makeReq(30), queued = makeReq(30);
    EXPECT_EQ(mosLimiter_Add(&lim, &fill.r), MOS_RC__SUCCESS);
    EXPECT_EQ(mosLimiter_Add(&lim, &over.r), MOS_RC__SUCCESS);
    EXPECT_EQ(mosLimiter_Add(&lim, &queued.r), MOS_RC__PENDING);
    NextSlot();
    EXPECT_EQ(queued.admitted, 1);
    // Pop charges the slot what is left of it.
    LimReq part = makeReq(70), tail = makeReq(80);
    EXPECT_EQ(mosLimiter_Add(&lim, &part.r), MOS_RC__SUCCESS);
    EXPECT_EQ(mosLimiter_Add(&lim, &tail.r), MOS_RC__PENDING);
    EXPECT_EQ(tail.r.usage, 80u);
    EXPECT_EQ(Query().slotUsage, 100u);
    testNow_G += 10; // a new slot that the timer has not seen yet
    EXPECT_EQ(mosLimiter_Pop(&lim), MOS_RC__SUCCESS);
    EXPECT_EQ(tail.admitted, 1);
    EXPECT_EQ(tail.r.usage, 0u);
    EXPECT_EQ(Query().slotUsage, 80u);
    mosTimer_Poll();
    mosLimiter_Destroy(&lim);
}

TEST_F(Limiter, OffAndLowRates)
{
    mosLimiter_Init(&lim, 0, 0);
    LimReq huge = makeReq(0xFFFFFFFFu);
    EXPECT_EQ(mosLimiter_Add(&lim, &huge.r), MOS_RC__SUCCESS);
    EXPECT_EQ(mosLimiter_Add(&lim, &huge.r), MOS_RC__SUCCESS);
    EXPECT_EQ(mosLimiter_Pop(&lim), MOS_RC__DISABLED);
    mosLimiter_Destroy(&lim);

    // 5 per second: one unit per slot, never a budget of nothing.
    mosLimiter_Init(&lim, 5, 0);
    LimReq one = makeReq(1), ten = makeReq(10);
    EXPECT_EQ(mosLimiter_Add(&lim, &one.r), MOS_RC__SUCCESS);
    EXPECT_EQ(mosLimiter_Add(&lim, &ten.r), MOS_RC__PENDING);
    NextSlot();
    EXPECT_EQ(ten.admitted, 1);
    mosLimiter_Destroy(&lim);
}

TEST_F(Limiter, UpdateLimitsRescalesTheSlot)
{
    mosLimiter_Init(&lim, 1000, 0);
    LimReq half = makeReq(500), over = makeReq(1);
    EXPECT_EQ(mosLimiter_Add(&lim, &half.r), MOS_RC__SUCCESS);
    mosLimiter_UpdateLimits(&lim, 2000, 0);
    MosLimiter_Query q = Query();
    EXPECT_EQ(q.avgSlotMax, 200u);
    EXPECT_EQ(q.slotMax, 2000u);
    EXPECT_EQ(q.slotUsage, 1000u);
    EXPECT_EQ(q.loanToOldSlots, 0u);
    mosLimiter_UpdateLimits(&lim, 0, 0);
    EXPECT_EQ(Query().slotUsage, 0u);
    EXPECT_EQ(mosLimiter_Add(&lim, &over.r), MOS_RC__SUCCESS);
    // Turning it on again from off starts from an empty slot.
    mosLimiter_UpdateLimits(&lim, 1000, 0);
    EXPECT_EQ(Query().slotUsage, 0u);
    mosLimiter_Destroy(&lim);
}

TEST_F(Limiter, DestroyWithWaitersIsAPanic)
{
    mosLimiter_Init(&lim, 1000, 1);
    LimReq a = makeReq(100), b = makeReq(1);
    mosLimiter_Add(&lim, &a.r);
    ASSERT_EQ(mosLimiter_Add(&lim, &b.r), MOS_RC__PENDING);
    EXPECT_PANIC(mosLimiter_Destroy(&lim), "waitList.counter == 0");
    NextSlot();
    EXPECT_EQ(b.admitted, 1);
    mosLimiter_Destroy(&lim);
}

namespace {
UINT64 streamAdmitted_G = 0;
void streamCK(MosAsyncObj *, INT32)
{
    streamAdmitted_G += 10;
}
} // namespace

// A caller that always has more to send gets the configured rate per second once the first
// burst has been paid off, whatever the burst size.
TEST_F(Limiter, SaturatedStreamGetsTheRatePerSecond)
{
    for (UINT32 slotMulMax : {1u, 0u, 4u}) {
        mosLimiter_Init(&lim, 1000, slotMulMax);
        streamAdmitted_G = 0;
        std::deque<MosLimiter_Req> reqs;
        UINT64 afterFirstSecond = 0;
        for (int slot = 0; slot < 100; slot++) {
            if (Query().waiters == 0) {
                for (;;) {
                    reqs.push_back(MosLimiter_Req{});
                    MosLimiter_Req &r = reqs.back();
                    mosDList_InitNode(&r.asyncObj.node);
                    r.asyncObj.pCK = streamCK;
                    r.usage = 10;
                    if (mosLimiter_Add(&lim, &r) != MOS_RC__SUCCESS)
                        break; // queued: admitted later by the limiter
                    streamAdmitted_G += 10;
                }
            }
            NextSlot();
            if (slot == 9)
                afterFirstSecond = streamAdmitted_G;
        }
        EXPECT_EQ(streamAdmitted_G - afterFirstSecond, 9000u) << slotMulMax;
        while (Query().waiters != 0)
            NextSlot();
        mosLimiter_Destroy(&lim);
        NextSlot();
    }
}
