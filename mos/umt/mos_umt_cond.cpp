#include "mos/umt/mos_umt_cond.h"

#include "mos/mos_assert.h"

namespace {
inline MosUmtCond_Context *mosUmtCond_Ctx(MosUmt *pUmt)
{
    return reinterpret_cast<MosUmtCond_Context *>(pUmt->scratchSpace);
}

inline MosUmt *mosUmtCond_UmtOfNode(MosDList_Node *pNode)
{
    return MOS_CONTAINER_OF(pNode, MosUmt, node);
}

// Cancels a waiter's time-out. FALSE when the expiry is already under way: its callback then
// waits for the condition's lock, which the caller holds, and completes the waiter itself.
BOOL mosUmtCond_CancelTimer(MosUmt *pUmt)
{
    return mosTimerReq_AbortNoWait(&pUmt->timerReq) == MOS_RC__SUCCESS ? TRUE : FALSE;
}

void mosUmtCond_Wake(MosUmt_Cond *pCond, MosUmt *pUmt)
{
    MosUmtCond_Context *pCtx = mosUmtCond_Ctx(pUmt);
    UINT32 curWeight = pCtx->weight;
    mosDList_Remove(&pCond->waitersList, &pUmt->node);
    pCtx->state = MOS_UMT_COND_STATE__SIGNALLED;
    MOS_ASSERT(pCond->totalWeight >= curWeight);
    pCond->totalWeight -= curWeight;
    pCtx->weight = 0;
    mosUmt_ResumeUThread(pUmt);
}

void mosUmtCond_TimeoutCK(MosAsyncObj *pObj, INT32 rc)
{
    MOS_UNUSED(rc);
    MosTimer_Req *pReq = MOS_CONTAINER_OF(pObj, MosTimer_Req, asyncObj);
    MosUmt *pUmt = MOS_CONTAINER_OF(pReq, MosUmt, timerReq);
    MosUmtCond_Context *pCtx = mosUmtCond_Ctx(pUmt);
    MosFastlock_Base *pLock = pCtx->pLock;
    mosFastlockBase_Acquire(pLock);
    MosUmtCond_UmtState umtState = pCtx->state;
    MOS_ASSERT(umtState == MOS_UMT_COND_STATE__WAIT_TIMER || umtState == MOS_UMT_COND_STATE__WAIT_TIMER_ABORT_FAILED);
    MosUmt_Cond *pCond = pCtx->pCond;
    UINT32 weight = pCtx->weight;
    mosDList_Remove(&pCond->waitersList, &pUmt->node);
    pCtx->state = MOS_UMT_COND_STATE__TIMER_EXPIRED;
    MOS_ASSERT(pCond->totalWeight >= weight);
    pCond->totalWeight -= weight;
    pCtx->weightAtTimeout = weight;
    pCtx->weight = 0;
    mosUmt_ResumeUThread(pUmt);
    mosFastlockBase_Release(pLock);
}
} // namespace

void mosUmtCond_Init(MosUmt_Cond *pCond)
{
    MOS_ASSERT(pCond != ((void *)0));
    mosDList_InitAnchor(&pCond->waitersList);
    pCond->totalWeight = 0;
}

void mosUmtCond_Destroy(MosUmt_Cond *pCond)
{
    MOS_ASSERT(pCond != ((void *)0));
    MOS_ASSERT((((&pCond->waitersList)->counter) == 0));
}

UINT32 mosUmtCond_GetWeight(HMosUmt_UThread pUmt)
{
    return mosUmtCond_Ctx(pUmt)->weight;
}

UINT32 mosUmtCond_NumWaiters(const MosUmt_Cond *pCond)
{
    return pCond->waitersList.counter;
}

Mos_RC mosUmtCond_TimedWaitIntrn(MosUmt_Cond *pCond, MosFastlock_Base *pLock, UINT32 timeToWaitMillis, UINT32 weight,
                                 UINT32 *pUnitsReceived)
{
    MOS_ASSERT(pCond != ((void *)0));
    MOS_ASSERT(weight != 0);
    MosUmt *pUmt = mosUmt_GetUThreadHdl();
    MosUmtCond_Context *pCtx = mosUmtCond_Ctx(pUmt);
    MOS_ASSERT((&pUmt->node)->pPrev == ((void *)0));
    mosDList_InsertTail(&pCond->waitersList, &pUmt->node);
    pCtx->pCond = pCond;
    pCtx->pLock = pLock;
    pCtx->weight = weight;
    pCtx->weightAtStart = weight;
    pCtx->weightAtTimeout = 0;
    pCond->totalWeight += weight;
    if (timeToWaitMillis != 0) {
        mosTimerReq_Init(&pUmt->timerReq, mosUmtCond_TimeoutCK);
        pCtx->state = MOS_UMT_COND_STATE__WAIT_TIMER;
        if ((timeToWaitMillis & MOS_UMT_COND__TIMEOUT_BY_Q) != 0)
            mosTimerReq_AddByQ(&pUmt->timerReq, static_cast<MosTimerQ_ID>(timeToWaitMillis & ~MOS_UMT_COND__TIMEOUT_BY_Q));
        else
            mosTimerReq_Add(&pUmt->timerReq, timeToWaitMillis);
    } else {
        pCtx->state = MOS_UMT_COND_STATE__WAIT_NO_TIMER;
    }
    mosUmt_SuspendUThread(pLock, MOS_OS_THRD__UMT_WAIT_TYPE__COND);
    // The lock is held again; whoever woke this uthread took it off the list.
    MOS_ASSERT(!mosDList_IsLinked(&pUmt->node));
    MOS_ASSERT(mosUmtCond_GetWeight(pUmt) == 0);
    Mos_RC rc;
    if (pCtx->state == MOS_UMT_COND_STATE__SIGNALLED) {
        rc = MOS_RC__SUCCESS;
    } else if (pCtx->state == MOS_UMT_COND_STATE__TIMER_EXPIRED && timeToWaitMillis != 0) {
        rc = MOS_RC__TIMEOUT;
        if (pUnitsReceived != nullptr)
            *pUnitsReceived = pCtx->weightAtStart - pCtx->weightAtTimeout;
    } else {
        MOS_UNREACHABLE("a wait ended in an unexpected state");
    }
    pCtx->pCond = nullptr;
    pCtx->state = MOS_UMT_COND_STATE__IDLE;
    return rc;
}

Mos_RC mosUmtCond_Wait(MosUmt_Cond *pCond, MosFastlock_Base *pLock)
{
    return mosUmtCond_TimedWaitIntrn(pCond, pLock, 0, 1, nullptr);
}

Mos_RC mosUmtCond_TimedWait(MosUmt_Cond *pCond, MosFastlock_Base *pLock, UINT32 timeToWaitMillis)
{
    MOS_ASSERT(timeToWaitMillis <= 0x7FFFFFFF);
    return mosUmtCond_TimedWaitIntrn(pCond, pLock, timeToWaitMillis, 1, nullptr);
}

Mos_RC mosUmtCond_WaitEx(MosUmt_Cond *pCond, MosFastlock_Base *pLock, UINT32 weight)
{
    return mosUmtCond_TimedWaitIntrn(pCond, pLock, 0, weight, nullptr);
}

Mos_RC mosUmtCond_TimedWaitEx(MosUmt_Cond *pCond, MosFastlock_Base *pLock, UINT32 timeToWaitMillis, UINT32 weight)
{
    MOS_ASSERT(timeToWaitMillis <= 0x7FFFFFFF);
    return mosUmtCond_TimedWaitIntrn(pCond, pLock, timeToWaitMillis, weight, nullptr);
}

Mos_RC mosUmtCond_TimedWaitByQ(MosUmt_Cond *pCond, MosFastlock_Base *pLock, MosTimerQ_ID qID)
{
    return mosUmtCond_TimedWaitByQEx(pCond, pLock, qID, 1);
}

Mos_RC mosUmtCond_TimedWaitByQEx(MosUmt_Cond *pCond, MosFastlock_Base *pLock, MosTimerQ_ID qID, UINT32 weight)
{
    return mosUmtCond_TimedWaitIntrn(pCond, pLock, MOS_UMT_COND__TIMEOUT_BY_Q | static_cast<UINT32>(qID), weight,
                                     nullptr);
}

UINT32 mosUmtCond_SignalIntrn(MosUmt_Cond *pCond, UINT32 weightToWake, BOOL bFifo)
{
    MOS_ASSERT(pCond != ((void *)0));
    UINT32 handed = 0;
    MosDList_Node *pNode = bFifo ? mosDList_First(&pCond->waitersList) : pCond->waitersList.pLast;
    while (pNode != nullptr && weightToWake != 0) {
        MosDList_Node *pNext = bFifo ? mosDList_Next(pNode) : mosDList_Prev(pNode);
        MosUmt *pUmt = mosUmtCond_UmtOfNode(pNode);
        MosUmtCond_Context *pCtx = mosUmtCond_Ctx(pUmt);
        MOS_ASSERT(mosUmtCond_GetCond(pUmt) == pCond);
        UINT32 curWeight = pCtx->weight;
        MOS_ASSERT(curWeight != 0);
        if (pCtx->state == MOS_UMT_COND_STATE__WAIT_TIMER_ABORT_FAILED) {
            // Its time-out completes it; the units go to the next waiters.
            pNode = pNext;
            continue;
        }
        if (weightToWake < curWeight) {
            // A partial hand-out lowers the need instead of waking the waiter.
            pCtx->weight = curWeight - weightToWake;
            MOS_ASSERT(pCond->totalWeight >= weightToWake);
            pCond->totalWeight -= weightToWake;
            return handed + weightToWake;
        }
        if (pCtx->state == MOS_UMT_COND_STATE__WAIT_TIMER && !mosUmtCond_CancelTimer(pUmt)) {
            pCtx->state = MOS_UMT_COND_STATE__WAIT_TIMER_ABORT_FAILED;
            pNode = pNext;
            continue;
        }
        mosUmtCond_Wake(pCond, pUmt);
        handed += curWeight;
        weightToWake -= curWeight;
        pNode = pNext;
    }
    return handed;
}

MosUmt_Cond *mosUmtCond_GetCond(HMosUmt_UThread pUmt)
{
    return mosUmtCond_Ctx(pUmt)->pCond;
}

Mos_RC mosUmtCond_Signal(MosUmt_Cond *pCond)
{
    return mosUmtCond_SignalIntrn(pCond, 1, TRUE) != 0 ? MOS_RC__SUCCESS : MOS_RC__NOT_FOUND;
}

UINT32 mosUmtCond_Broadcast(MosUmt_Cond *pCond)
{
    return mosUmtCond_SignalIntrn(pCond, pCond->totalWeight, TRUE);
}

UINT32 mosUmtCond_BroadcastEx(MosUmt_Cond *pCond, UINT32 weight, BOOL bFifo)
{
    return mosUmtCond_SignalIntrn(pCond, weight, bFifo);
}

UINT32 mosUmtCond_SignalSequenceOfMatching(MosUmt_Cond *pCond, MosUmtCond_MatchPred pred, UINT32 sequenceLengthLimit)
{
    MOS_ASSERT(pCond != ((void *)0));
    UINT32 woken = 0;
    MosDList_Node *pNode = mosDList_First(&pCond->waitersList);
    while (pNode != nullptr && (sequenceLengthLimit == 0 || woken <= sequenceLengthLimit)) {
        MosDList_Node *pNext = mosDList_Next(pNode);
        MosUmt *pUmt = mosUmtCond_UmtOfNode(pNode);
        MosUmtCond_Context *pCtx = mosUmtCond_Ctx(pUmt);
        if (pCtx->state == MOS_UMT_COND_STATE__WAIT_TIMER_ABORT_FAILED) {
            pNode = pNext;
            continue;
        }
        if (!pred(pUmt))
            break;
        if (pCtx->state == MOS_UMT_COND_STATE__WAIT_TIMER && !mosUmtCond_CancelTimer(pUmt)) {
            pCtx->state = MOS_UMT_COND_STATE__WAIT_TIMER_ABORT_FAILED;
            pNode = pNext;
            continue;
        }
        mosUmtCond_Wake(pCond, pUmt);
        woken++;
        pNode = pNext;
    }
    return woken;
}
