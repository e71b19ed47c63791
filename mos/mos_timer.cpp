#include "mos/mos_timer.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <sched.h>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"
#include "mos/sdbg/sdbg_exports.h"

const UINT32 mosTimerQMillis_G[MOS_TIMER_QUEUE_ID__LAST] = {100, 500, 1000, 2000, 4000, 5000, 10000, 15000, 60000, 300000};

MosTimer mosTimer_G;

// Registry names of the queues: the enumerator names.
const char *const mosTimerQNames_G[MOS_TIMER_QUEUE_ID__LAST] = {
    "MOS_TIMER_QUEUE_ID__100MILLI", "MOS_TIMER_QUEUE_ID__500MILLI", "MOS_TIMER_QUEUE_ID__1SEC",
    "MOS_TIMER_QUEUE_ID__2SEC",     "MOS_TIMER_QUEUE_ID__4SEC",     "MOS_TIMER_QUEUE_ID__5SEC",
    "MOS_TIMER_QUEUE_ID__10SEC",    "MOS_TIMER_QUEUE_ID__15SEC",    "MOS_TIMER_QUEUE_ID__1MIN",
    "MOS_TIMER_QUEUE_ID__5MIN",
};

namespace {

// Queue locks of polled queues carry this rank; queues with threads wait on their lock with a
// condition variable and therefore always use an adaptive lock.
constexpr UINT32 kTimerQLockRank = 240;

inline MosTimer_Req *mosTimerReq_FromNode(MosDList_Node *pNode)
{
    return MOS_CONTAINER_OF(MOS_CONTAINER_OF(pNode, MosAsyncObj, node), MosTimer_Req, asyncObj);
}

inline MosTimerQ_ID mosTimerQ_Id(const MosTimer_Q *pQ)
{
    return (MosTimerQ_ID)(pQ - mosTimer_G.timerQs);
}

// Fires every due request of the queue. Called and returns with the queue's lock held; the lock
// is dropped around each callback, so a callback may add, abort or poll freely.
void mosTimerQ_PollUnlocked(MosTimer_Q *pQ)
{
    for (;;) {
        MosDList_Node *pNode = mosDList_First(&pQ->reqAnchor);
        if (pNode == nullptr)
            return;
        MosTimer_Req *pReq = mosTimerReq_FromNode(pNode);
        MosTicks_Cnt now = mosTicks_GetCurrentTick();
        if (mosTicks_IsFirstBigger(pReq->expiration, now)) {
            pQ->expirationTicks = pReq->expiration;
            return;
        }
        MosTicks_Cnt lateness = now - pReq->expiration;
        if (lateness > pQ->maxDiffTicks)
            pQ->maxDiffTicks = lateness;
        mosDList_Remove(&pQ->reqAnchor, pNode);
        pReq->state = MOS_TIMER_REQ_STATE__IDLE;
        pReq->firedQID = mosTimerQ_Id(pQ);
        pQ->pRunningReq = pReq;
        pQ->runningThrd = pthread_self();
        pQ->numExpirations++;
        // The callback may free the request: nothing below touches it again.
        MosAsyncObj_CK pCK = pReq->asyncObj.pCK;
        mosFastlockBase_Release(&pQ->lock);
        pCK(&pReq->asyncObj, MOS_RC__TIMEOUT);
        mosFastlockBase_Acquire(&pQ->lock);
        pQ->pRunningReq = nullptr;
    }
}

void mosTimer_ThrdFunc(void *pArg)
{
    MosTimer_Q *pQ = static_cast<MosTimer_Q *>(pArg);
    mosFastlockBase_Acquire(&pQ->lock);
    while (!pQ->intrn.bShutdown) {
        mosTimerQ_PollUnlocked(pQ);
        if (pQ->intrn.bShutdown)
            break;
        MosDList_Node *pNode = mosDList_First(&pQ->reqAnchor);
        if (pNode == nullptr) {
            pQ->intrn.bIdleWait = TRUE;
            mosOSWCond_Wait(&pQ->intrn.cond, &pQ->lock);
            pQ->intrn.bIdleWait = FALSE;
            continue;
        }
        MosTicks_Cnt expiration = mosTimerReq_FromNode(pNode)->expiration;
        MosTicks_Cnt now = mosTicks_GetCurrentTick();
        if (!mosTicks_IsFirstBigger(expiration, now))
            continue;
        mosOSWCond_TimedWait(&pQ->intrn.cond, &pQ->lock, mosTicks_TicksToMillis(expiration - now));
    }
    mosFastlockBase_Release(&pQ->lock);
}

void mosTimerQ_Destroy(MosTimer_Q *pQ)
{
    if (pQ->intrn.bThrdUsed) {
        mosFastlockBase_Acquire(&pQ->lock);
        pQ->intrn.bShutdown = TRUE;
        mosOSWCond_Signal(&pQ->intrn.cond);
        mosFastlockBase_Release(&pQ->lock);
        mosOsThrd_Destroy(&pQ->intrn.timerThrd);
        mosOSWCond_Destroy(&pQ->intrn.cond);
    }
    if (mosTimer_G.bInRegistry)
        mosObjType_UnregObj(&mosTimer_G.timerQObjType, &pQ->obj);
    mosFastlockBase_Destroy(&pQ->lock);
}

// Takes the locks of up to two queues, lower id first, so that two aborts never deadlock.
class MosTimerQPairGuard {
  public:
    MosTimerQPairGuard(MosTimerQ_ID a, MosTimerQ_ID b)
    {
        if (a > b)
            std::swap(a, b);
        first_ = a < MOS_TIMER_QUEUE_ID__LAST ? &mosTimer_G.timerQs[a].lock : nullptr;
        second_ = (b < MOS_TIMER_QUEUE_ID__LAST && b != a) ? &mosTimer_G.timerQs[b].lock : nullptr;
        if (first_ != nullptr)
            mosFastlockBase_Acquire(first_);
        if (second_ != nullptr)
            mosFastlockBase_Acquire(second_);
    }
    ~MosTimerQPairGuard()
    {
        if (second_ != nullptr)
            mosFastlockBase_Release(second_);
        if (first_ != nullptr)
            mosFastlockBase_Release(first_);
    }
    MosTimerQPairGuard(const MosTimerQPairGuard &) = delete;
    MosTimerQPairGuard &operator=(const MosTimerQPairGuard &) = delete;

  private:
    MosFastlock_Base *first_;
    MosFastlock_Base *second_;
};

BOOL mosTimerQ_RunsOnOtherThread(const MosTimer_Q *pQ, const MosTimer_Req *pReq)
{
    return pQ->pRunningReq == pReq && !pthread_equal(pQ->runningThrd, pthread_self());
}

// Removes an armed request. A callback that runs at the same time on another thread may re-arm
// the request, so with bWait the call waits for it to return and looks again; the request is
// then idle with no callback running. Without bWait it only reports the running callback, for
// callers that abort under a lock that the callback takes (the rate limiter, uthread waits).
Mos_RC mosTimerReq_AbortIntrn(MosTimer_Req *pReq, BOOL bWait)
{
    BOOL bSawRunning = FALSE;
    for (;;) {
        MosTimerReq_State state = pReq->state;
        const BOOL bLegalState = state == MOS_TIMER_REQ_STATE__IDLE || state == MOS_TIMER_REQ_STATE__ACTIVE;
        if (!bLegalState)
            MOS_ERROR(MOS_COMP_MOS, "Illegal state. pReq %p, qID %d, state %x", (void *)pReq, (int)pReq->qID,
                      (unsigned)state);
        MOS_ASSERT_WITH_DESC(bLegalState, "Illegal state");
        MosTimerQ_ID qID = pReq->qID;
        MosTimerQ_ID firedQID = pReq->firedQID;
        BOOL bRemoved = FALSE;
        BOOL bRunning = FALSE;
        {
            MosTimerQPairGuard guard(qID, firedQID);
            if (pReq->qID != qID || pReq->firedQID != firedQID)
                continue; // re-armed meanwhile: take the right locks
            if (pReq->state == MOS_TIMER_REQ_STATE__ACTIVE) {
                mosDList_Remove(&mosTimer_G.timerQs[qID].reqAnchor, &pReq->asyncObj.node);
                pReq->state = MOS_TIMER_REQ_STATE__IDLE;
                bRemoved = TRUE;
            }
            bRunning = firedQID < MOS_TIMER_QUEUE_ID__LAST &&
                       mosTimerQ_RunsOnOtherThread(&mosTimer_G.timerQs[firedQID], pReq);
        }
        if (bRunning)
            bSawRunning = TRUE;
        if (!bRunning || !bWait) {
            // Without waiting, the arming that was removed is the one the caller asked about: a
            // callback still running belongs to an earlier firing and will not deliver it.
            if (bRemoved && !bWait)
                return MOS_RC__SUCCESS;
            if (bSawRunning)
                return MOS_RC__BUSY;
            return bRemoved ? MOS_RC__SUCCESS : MOS_RC__NOT_FOUND;
        }
        MosTimer_Q *pFiredQ = &mosTimer_G.timerQs[firedQID];
        for (;;) {
            mosFastlockBase_Acquire(&pFiredQ->lock);
            BOOL bStill = mosTimerQ_RunsOnOtherThread(pFiredQ, pReq);
            mosFastlockBase_Release(&pFiredQ->lock);
            if (!bStill)
                break;
            sched_yield();
        }
    }
}

} // namespace

Mos_RC mosTimer_Init(void *pArgs)
{
    memset(&mosTimer_G, 0, sizeof(mosTimer_G));
    const BOOL *pbDontUseThrds = static_cast<const BOOL *>(pArgs);
    mosTimer_G.bThrdsUsed = (pbDontUseThrds == nullptr) ? TRUE : !*pbDontUseThrds;
    // Start-up creates the registry first; tests of single modules may run without it.
    mosTimer_G.bInRegistry = mosObjLayer_IsRunning();
    if (mosTimer_G.bInRegistry)
        mosObjType_RegObjType(&mosTimer_G.timerQObjType, mosTimerQ_Query, nullptr, SDBG_EXPORTS_OBJ_TYPE__MOS_TIMERQ,
                              sizeof(MosTimerQ_Query));
    for (UINT32 i = 0; i < MOS_TIMER_QUEUE_ID__LAST; i++) {
        MosTimer_Q *pQ = &mosTimer_G.timerQs[i];
        memset(pQ, 0, sizeof(*pQ));
        pQ->timeoutInTicks = mosTicks_MillisToTicks(mosTimerQMillis_G[i]);
        if (mosTimer_G.bThrdsUsed)
            mosFastlockBase_AdaptiveCreate(&pQ->lock, CONTENTION_ENUM_COMMON_CREATED__TIMER_Q, __FILE__, __LINE__);
        else
            mosFastlockBase_CreateWithRank(&pQ->lock, CONTENTION_ENUM_COMMON_CREATED__TIMER_Q, kTimerQLockRank,
                                           __FILE__, __LINE__);
        mosDList_InitAnchor(&pQ->reqAnchor);
        pQ->expirationTicks = mosTicks_GetCurrentTick();
        if (mosTimer_G.bInRegistry)
            mosObjType_RegObj(&mosTimer_G.timerQObjType, &pQ->obj, mosTimerQNames_G[i]);
        if (mosTimer_G.bThrdsUsed) {
            mosOSWCond_Init(&pQ->intrn.cond);
            pQ->intrn.bThrdUsed = TRUE;
            if (mosOsThrd_Create(&pQ->intrn.timerThrd, mosTimer_ThrdFunc, pQ) != MOS_RC__SUCCESS) {
                MOS_ERROR(MOS_COMP_MOS, "Failed to create the thread of timer queue %s", mosTimerQNames_G[i]);
                pQ->intrn.bThrdUsed = FALSE;
                mosOSWCond_Destroy(&pQ->intrn.cond);
                mosTimerQ_Destroy(pQ);
                for (UINT32 j = i; j-- > 0;)
                    mosTimerQ_Destroy(&mosTimer_G.timerQs[j]);
                if (mosTimer_G.bInRegistry)
                    mosObjType_UnregObjType(&mosTimer_G.timerQObjType);
                mosTimer_G.activeQs = 0;
                return MOS_RC__NO_RESOURCES;
            }
        }
        mosTimer_G.activeQs++;
    }
    return MOS_RC__SUCCESS;
}

void mosTimer_Delete(void)
{
    for (UINT32 i = 0; i < mosTimer_G.activeQs; i++) {
        MosTimer_Q *pQ = &mosTimer_G.timerQs[i];
        MOS_ASSERT_WITH_DESC(pQ->reqAnchor.counter == 0, "timers are still armed");
    }
    for (UINT32 i = mosTimer_G.activeQs; i-- > 0;)
        mosTimerQ_Destroy(&mosTimer_G.timerQs[i]);
    if (mosTimer_G.bInRegistry)
        mosObjType_UnregObjType(&mosTimer_G.timerQObjType);
    mosTimer_G.activeQs = 0;
}

void mosTimerReq_Init(MosTimer_Req *pReq, MosAsyncObj_CK pCK)
{
    mosDList_InitNode(&pReq->asyncObj.node);
    pReq->asyncObj.pCK = pCK;
    pReq->expiration = 0;
    pReq->state = MOS_TIMER_REQ_STATE__IDLE;
    pReq->qID = MOS_TIMER_QUEUE_ID__LAST;
    pReq->firedQID = MOS_TIMER_QUEUE_ID__LAST;
}

void mosTimerReq_Destroy(MosTimer_Req *pReq)
{
    if (pReq->state == MOS_TIMER_REQ_STATE__DESTROY)
        return;
    mosTimerReq_AbortIntrn(pReq, TRUE);
    pReq->state = MOS_TIMER_REQ_STATE__DESTROY;
}

Mos_RC mosTimerReq_Add(MosTimer_Req *pReq, UINT32 millisToSleep)
{
    return mosTimerReq_AddByQ(pReq, mosTimer_GetClosestQ(millisToSleep));
}

Mos_RC mosTimerReq_AddByQ(MosTimer_Req *pReq, MosTimerQ_ID qID)
{
    MosTimer_Q *pQ = mosTimerQ_GetPtr(qID);
    MosTicks_Cnt expiration = mosTicks_GetCurrentTick() + pQ->timeoutInTicks;
    MosFastlockGuard guard(&pQ->lock);
    MOS_ASSERT(pReq->state == MOS_TIMER_REQ_STATE__IDLE);
    MOS_ASSERT(!mosDList_IsLinked(&pReq->asyncObj.node));
    pReq->expiration = expiration;
    pReq->state = MOS_TIMER_REQ_STATE__ACTIVE;
    pReq->qID = qID;
    BOOL bWasEmpty = MOS_DLIST__IS_EMPTY(&pQ->reqAnchor);
    mosDList_InsertTail(&pQ->reqAnchor, &pReq->asyncObj.node);
    if (bWasEmpty) {
        pQ->expirationTicks = expiration;
        if (pQ->intrn.bThrdUsed && pQ->intrn.bIdleWait) {
            pQ->intrn.bIdleWait = FALSE; // one wake-up is enough
            mosOSWCond_Signal(&pQ->intrn.cond);
        }
    }
    return MOS_RC__PENDING;
}

Mos_RC mosTimerReq_Abort(MosTimer_Req *pReq)
{
    return mosTimerReq_AbortIntrn(pReq, TRUE);
}

Mos_RC mosTimerReq_AbortNoWait(MosTimer_Req *pReq)
{
    return mosTimerReq_AbortIntrn(pReq, FALSE);
}

MosTimerQ_ID mosTimer_GetClosestQ(UINT32 milliTimeout)
{
    MosTicks_Cnt wanted = mosTicks_MillisToTicks(milliTimeout);
    UINT32 best = 0;
    MosTicks_Cnt bestDiff = ~(MosTicks_Cnt)0;
    for (UINT32 i = 0; i < MOS_TIMER_QUEUE_ID__LAST; i++) {
        MosTicks_Cnt q = mosTimer_G.timerQs[i].timeoutInTicks;
        MosTicks_Cnt diff = q > wanted ? q - wanted : wanted - q;
        if (diff < bestDiff) {
            bestDiff = diff;
            best = i;
        }
    }
    return (MosTimerQ_ID)best;
}

MosTimerQ_ID mosTimer_GetClosestQBelow(UINT32 milliTimeout)
{
    MosTimerQ_ID q = mosTimer_GetClosestQ(milliTimeout);
    if (mosTimerQMillis_G[q] > milliTimeout)
        return q == 0 ? MOS_TIMER_QUEUE_ID__LAST : (MosTimerQ_ID)(q - 1);
    return q;
}

MosTimerQ_ID mosTimer_GetClosestQAbove(UINT32 milliTimeout)
{
    MosTimerQ_ID q = mosTimer_GetClosestQ(milliTimeout);
    if (mosTimerQMillis_G[q] < milliTimeout)
        return (MosTimerQ_ID)(q + 1);
    return q;
}

void mosTimer_PollQRange(MosTimerQ_ID startQ, MosTimerQ_ID endQ)
{
    MOS_ASSERT_WITH_DESC(mosTimer_G.bThrdsUsed == ((BOOL)0), "");
    if (endQ >= MOS_TIMER_QUEUE_ID__LAST)
        endQ = (MosTimerQ_ID)(MOS_TIMER_QUEUE_ID__LAST - 1);
    MosTicks_Cnt now = mosTicks_GetCurrentTick();
    for (UINT32 i = startQ; i <= endQ; i++) {
        MosTimer_Q *pQ = &mosTimer_G.timerQs[i];
        // Unlocked glance first: most polls find nothing due.
        if (std::atomic_ref<UINT32>(pQ->reqAnchor.counter).load(std::memory_order_relaxed) == 0)
            continue;
        if (mosTicks_IsFirstBigger(std::atomic_ref<MosTicks_Cnt>(pQ->expirationTicks).load(std::memory_order_relaxed),
                                   now))
            continue;
        MosFastlockGuard guard(&pQ->lock);
        // One firer per queue: a poll from inside a callback, or from a second thread, leaves
        // the queue to the firer already at work.
        if (pQ->pRunningReq != nullptr)
            continue;
        mosTimerQ_PollUnlocked(pQ);
    }
}

void mosTimer_Poll(void)
{
    mosTimer_PollQRange(MOS_TIMER_QUEUE_ID__100MILLI, MOS_TIMER_QUEUE_ID__5MIN);
}

MosTimer_Q *mosTimerQ_GetPtr(MosTimerQ_ID queueID)
{
    MOS_ASSERT(queueID < MOS_TIMER_QUEUE_ID__LAST);
    return &mosTimer_G.timerQs[queueID];
}

UINT64 mosTimerQ_GetSleepTimeMillisByQ(MosTimer_Q *pQ)
{
    return mosTicks_TicksToMillis(pQ->timeoutInTicks);
}

UINT64 mosTimerQ_GetSleepTimeMillis(MosTimerQ_ID queueID)
{
    return mosTimerQ_GetSleepTimeMillisByQ(mosTimerQ_GetPtr(queueID));
}

MosTicks_Cnt mosTimerQ_GetSleepTimeTicks(MosTimerQ_ID queueID)
{
    return mosTimerQ_GetPtr(queueID)->timeoutInTicks;
}

BOOL mosTimerQ_IsPoll(MosTimer_Q *pQ)
{
    return !pQ->intrn.bThrdUsed;
}

void mosTimerQ_Query(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    MosTimer_Q *pQ = MOS_CONTAINER_OF(pObj, MosTimer_Q, obj);
    MosTimerQ_Query *pQuery = static_cast<MosTimerQ_Query *>(pData);
    memset(pQuery, 0, sizeof(*pQuery));
    MosFastlockGuard guard(&pQ->lock);
    pQuery->timeoutInTicks = pQ->timeoutInTicks;
    pQuery->timeoutInMillis = mosTicks_TicksToMillis(pQ->timeoutInTicks);
    pQuery->ticksToExpiration =
        pQ->reqAnchor.counter == 0 ? 0 : (INT64)(pQ->expirationTicks - mosTicks_GetCurrentTick());
    pQuery->numExpirations = pQ->numExpirations;
    pQuery->numWaiting = pQ->reqAnchor.counter;
    pQuery->maxDiffTicks = pQ->maxDiffTicks;
    pQuery->bIsPoll = mosTimerQ_IsPoll(pQ);
    snprintf(pQuery->name, sizeof(pQuery->name), "%s", pName != nullptr ? pName : "");
}
