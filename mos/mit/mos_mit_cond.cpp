#include "mos/mit/mos_mit_cond.h"

#include "mos/mos_assert.h"

namespace {
inline MosMit *mosMitCond_MitOfNode(MosDList_Node *pNode)
{
    return MOS_CONTAINER_OF(pNode, MosMit, node);
}

// Takes the waiter out for a signal. FALSE when its time-out is already firing: the time-out
// waits for the lock that the caller holds and completes the waiter itself.
BOOL mosMitCond_ClaimWaiter(MosMit *pMit)
{
    if (pMit->state == MOS_MIT_STATE__TIMED_SUSPENDED) {
        if (mosTimerReq_AbortNoWait(&pMit->scratch.cond.timerReq) != MOS_RC__SUCCESS)
            return FALSE;
        pMit->state = MOS_MIT_STATE__SUSPENDED;
    }
    return TRUE;
}
} // namespace

void mosMitCond_Init(MosMitCond *pCond)
{
    mosDList_InitAnchor(&pCond->waiters);
}

void mosMitCond_Destroy(MosMitCond *pCond)
{
    UINT32 waitNum = pCond->waiters.counter;
    MOS_ASSERT(waitNum == 0);
}

Mos_RC mosMitCond_WaitByQIntf(MosMit *pMit, MosMitCond *pCond, MosFastlock_Base *pLock, MosTimerQ_ID timerQ)
{
    MOS_ASSERT(timerQ <= MOS_TIMER_QUEUE_ID__LAST);
    pMit->scratch.cond.pCond = pCond;
    pMit->scratch.cond.pLock = pLock;
    pMit->scratch.cond.timerQ = timerQ;
    return mosMit_Call(pMit, mosMitCond_Wait);
}

Mos_RC mosMitCond_WaitIntf(MosMit *pMit, MosMitCond *pCond, MosFastlock_Base *pLock, UINT32 milliToWait)
{
    MosTimerQ_ID timerQ = milliToWait == 0 ? MOS_TIMER_QUEUE_ID__LAST : mosTimer_GetClosestQ(milliToWait);
    return mosMitCond_WaitByQIntf(pMit, pCond, pLock, timerQ);
}

Mos_RC mosMitCond_Wait(MosMit *pMit, Mos_RC rc)
{
    MosMitCond_ScratchArea *pArea = &pMit->scratch.cond;
    if (mosMit_GetRP(pMit) != 0) {
        // Woken: the caller's step goes on under the lock, with the wake result.
        mosFastlockBase_Acquire(pArea->pLock);
        return mosMit_Return(pMit, rc);
    }
    BOOL bTimed = pArea->timerQ < MOS_TIMER_QUEUE_ID__LAST;
    if (bTimed) {
        // It cannot fire before the lock is released below: the time-out takes the lock first.
        mosTimerReq_Init(&pArea->timerReq, mosMitCond_Timeout);
        mosTimerReq_AddByQ(&pArea->timerReq, pArea->timerQ);
    }
    mosDList_InsertTail(&pArea->pCond->waiters, &pMit->node);
    mosMit_PrepareSuspend(pMit, 1, bTimed);
    // A signaller may resume the task on another thread as soon as the lock is free: nothing
    // here touches the task after the release.
    mosFastlockBase_Release(pArea->pLock);
    return MOS_RC__PENDING;
}

UINT32 mosMitCond_SignalIntrn(MosMitCond *pCond, Mos_RC wakeStat, UINT32 maxWakers)
{
    UINT32 woken = 0;
    MosDList_Node *pNode = mosDList_First(&pCond->waiters);
    while (pNode != nullptr && woken < maxWakers) {
        MosDList_Node *pNext = mosDList_Next(pNode);
        MosMit *pMit = mosMitCond_MitOfNode(pNode);
        if (mosMitCond_ClaimWaiter(pMit)) {
            mosDList_Remove(&pCond->waiters, pNode);
            mosMit_Resume(pMit, wakeStat);
            woken++;
        }
        pNode = pNext;
    }
    return woken;
}

Mos_RC mosMitCond_Signal(MosMitCond *pCond, Mos_RC wakeStat)
{
    return mosMitCond_SignalIntrn(pCond, wakeStat, 1) == 1 ? MOS_RC__SUCCESS : MOS_RC__NOT_FOUND;
}

UINT32 mosMitCond_Broadcast(MosMitCond *pCond, Mos_RC wakeStat)
{
    return mosMitCond_SignalIntrn(pCond, wakeStat, pCond->waiters.counter);
}

Mos_RC mosMitCond_SignalWaiter(MosMitCond *pCond, MosMit *pMit, Mos_RC wakeStat)
{
    if (!mosDList_IsLinked(&pMit->node) || pMit->scratch.cond.pCond != pCond)
        return MOS_RC__NOT_FOUND;
    if (!mosMitCond_ClaimWaiter(pMit))
        return MOS_RC__NOT_FOUND;
    mosDList_Remove(&pCond->waiters, &pMit->node);
    mosMit_Resume(pMit, wakeStat);
    return MOS_RC__SUCCESS;
}

BOOL mosMitCond_TakeWaiter(MosMitCond *pCond, MosMit *pMit)
{
    if (!mosDList_IsLinked(&pMit->node) || pMit->scratch.cond.pCond != pCond || !mosMitCond_ClaimWaiter(pMit))
        return FALSE;
    mosDList_Remove(&pCond->waiters, &pMit->node);
    return TRUE;
}

void mosMitCond_PutBackWaiter(MosMitCond *pCond, MosMit *pMit)
{
    MOS_ASSERT(pMit->scratch.cond.pCond == pCond && pMit->state == MOS_MIT_STATE__SUSPENDED);
    MOS_ASSERT(!mosDList_IsLinked(&pMit->node));
    pMit->scratch.cond.timerQ = MOS_TIMER_QUEUE_ID__LAST;
    mosDList_InsertTail(&pCond->waiters, &pMit->node);
}

MosMit *mosMitCond_NextMitToWake(MosMitCond *pCond)
{
    MosDList_Node *pNode = mosDList_First(&pCond->waiters);
    return pNode == nullptr ? nullptr : mosMitCond_MitOfNode(pNode);
}

void mosMitCond_Timeout(MosAsyncObj *pObj, INT32 rc)
{
    MOS_UNUSED(rc);
    MosMit *pMit = MOS_CONTAINER_OF(pObj, MosMit, scratch.cond.timerReq.asyncObj);
    MosFastlock_Base *pLock = pMit->scratch.cond.pLock;
    mosFastlockBase_Acquire(pLock);
    mosDList_Remove(&pMit->scratch.cond.pCond->waiters, &pMit->node);
    MOS_ASSERT_WITH_DESC((pMit)->state == MOS_MIT_STATE__TIMED_SUSPENDED, "");
    pMit->state = MOS_MIT_STATE__SUSPENDED;
    mosFastlockBase_Release(pLock);
    mosMit_Resume(pMit, MOS_RC__TIMEOUT);
}
