#include "mos/mos_limiter.h"

#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"

namespace {

constexpr UINT32 kLimiterUnlimited = 0xFFFFFFFFu;

inline UINT32 mosLimiter_Clamp32(UINT64 value)
{
    return value > 0xFFFFFFFFull ? 0xFFFFFFFFu : (UINT32)value;
}

inline MosLimiter_Req *mosLimiterReq_FromNode(MosDList_Node *pNode)
{
    return MOS_CONTAINER_OF(MOS_CONTAINER_OF(pNode, MosAsyncObj, node), MosLimiter_Req, asyncObj);
}

// A rate below MOS_LIMITER__SLOT_IN_SEC per second still admits one unit per slot; a budget
// of 0 per slot would hold every request for ever.
void mosLimiter_SetLimits(MosLimiter *pLimiter, UINT32 avgMaxInSec, UINT32 slotMulMax)
{
    if (avgMaxInSec == 0) {
        pLimiter->avgSlotMax = 0;
        pLimiter->slotMax = kLimiterUnlimited;
        return;
    }
    UINT32 avgSlotMax = avgMaxInSec / MOS_LIMITER__SLOT_IN_SEC;
    pLimiter->avgSlotMax = avgSlotMax == 0 ? 1 : avgSlotMax;
    UINT64 mul = slotMulMax == 0 ? 10 : slotMulMax;
    pLimiter->slotMax = mosLimiter_Clamp32((UINT64)pLimiter->avgSlotMax * mul);
}

UINT64 mosLimiter_SlotOf(const MosLimiter *pLimiter, MosTicks_Cnt now)
{
    return now / pLimiter->tickInSlot;
}

// Entering a new slot: what the slots before used beyond their average budget is carried as a
// loan, less the budget of the slots that passed.
void mosLimiter_UpdateSlot(MosLimiter *pLimiter, UINT64 newSlot)
{
    UINT64 carried = (UINT64)pLimiter->slotUsage + pLimiter->loanToOldSlots;
    if (carried > pLimiter->avgSlotMax) {
        UINT64 passed = newSlot - pLimiter->currSlot;
        UINT64 credit;
        if (pLimiter->avgSlotMax != 0 && passed > carried / pLimiter->avgSlotMax)
            credit = carried;
        else
            credit = (UINT64)pLimiter->avgSlotMax * passed;
        pLimiter->loanToOldSlots = mosLimiter_Clamp32(carried > credit ? carried - credit : 0);
    } else {
        pLimiter->loanToOldSlots = 0;
    }
    pLimiter->slotUsage = 0;
    pLimiter->currSlot = newSlot;
}

UINT64 mosLimiter_SlotRemainder(const MosLimiter *pLimiter)
{
    UINT64 used = (UINT64)pLimiter->slotUsage + pLimiter->loanToOldSlots;
    return used < pLimiter->slotMax ? pLimiter->slotMax - used : 0;
}

// One admission attempt with the limiter's lock held and no timer running. Returns TRUE when the
// request is admitted; otherwise the slot's remainder has been charged to it and the timer runs.
BOOL mosLimiter_TryAdmit(MosLimiter *pLimiter, MosLimiter_Req *pReq)
{
    if (pLimiter->avgSlotMax == 0)
        return TRUE;
    UINT64 used = (UINT64)pLimiter->slotUsage + pLimiter->loanToOldSlots;
    if (used + pReq->usage <= pLimiter->slotMax) {
        pLimiter->slotUsage = mosLimiter_Clamp32((UINT64)pLimiter->slotUsage + pReq->usage);
        return TRUE;
    }
    UINT64 remainder = mosLimiter_SlotRemainder(pLimiter);
    pLimiter->slotUsage = mosLimiter_Clamp32((UINT64)pLimiter->slotUsage + remainder);
    pReq->usage -= (UINT32)remainder;
    if (pLimiter->bLastPopWasEmpty) {
        pLimiter->bLastPopWasEmpty = FALSE;
        return TRUE;
    }
    mosTimerReq_AddByQ(&pLimiter->timerReq, MOS_TIMER_QUEUE_ID__100MILLI);
    pLimiter->bTimerActive = TRUE;
    return FALSE;
}

// Offers the waiters again in their order. Those admitted move to pAdmitted; from the first
// that has to wait again on, the rest stay queued unchanged behind it.
void mosLimiter_Readmit(MosLimiter *pLimiter, MosAsyncObj_Anchor *pAdmitted)
{
    MosAsyncObj_Anchor waiting = pLimiter->waitList;
    mosDList_InitAnchor(&pLimiter->waitList);
    while (MosDList_Node *pNode = mosDList_RemoveHead(&waiting)) {
        if (!pLimiter->bTimerActive && mosLimiter_TryAdmit(pLimiter, mosLimiterReq_FromNode(pNode)))
            mosDList_InsertTail(pAdmitted, pNode);
        else
            mosDList_InsertTail(&pLimiter->waitList, pNode);
    }
}

void mosLimiter_CallAdmitted(MosAsyncObj_Anchor *pAdmitted)
{
    while (MosDList_Node *pNode = mosDList_RemoveHead(pAdmitted)) {
        MosAsyncObj *pObj = MOS_CONTAINER_OF(pNode, MosAsyncObj, node);
        pObj->pCK(pObj, MOS_RC__SUCCESS);
    }
}

void mosLimiter_TimerCK(MosAsyncObj *pObj, INT32 rc)
{
    MOS_UNUSED(rc);
    MosLimiter *pLimiter = MOS_CONTAINER_OF(MOS_CONTAINER_OF(pObj, MosTimer_Req, asyncObj), MosLimiter, timerReq);
    MosAsyncObj_Anchor admitted;
    mosDList_InitAnchor(&admitted);
    {
        MosFastlockGuard guard(&pLimiter->lock);
        if (pLimiter->bTimerActive) {
            pLimiter->bTimerActive = FALSE;
            UINT64 slot = mosLimiter_SlotOf(pLimiter, mosTicks_GetCurrentTick());
            if (slot != pLimiter->currSlot)
                mosLimiter_UpdateSlot(pLimiter, slot);
            mosLimiter_Readmit(pLimiter, &admitted);
        }
    }
    mosLimiter_CallAdmitted(&admitted);
}

} // namespace

void mosLimiter_Init(MosLimiter *pLimiter, UINT32 avgMaxInSec, UINT32 slotMulMax)
{
    memset(pLimiter, 0, sizeof(*pLimiter));
    mosTimerReq_Init(&pLimiter->timerReq, mosLimiter_TimerCK);
    mosDList_InitAnchor(&pLimiter->waitList);
    MOS_FASTLOCK_CREATE(&pLimiter->lock, CONTENTION_ENUM_COMMON_CREATED__LIMITER);
    UINT64 tickInSlot = mosTicks_GetFreq() / MOS_LIMITER__SLOT_IN_SEC;
    pLimiter->tickInSlot = tickInSlot == 0 ? 1 : (UINT32)tickInSlot;
    pLimiter->currSlot = mosLimiter_SlotOf(pLimiter, mosTicks_GetCurrentTick());
    mosLimiter_SetLimits(pLimiter, avgMaxInSec, slotMulMax);
}

void mosLimiter_UpdateLimits(MosLimiter *pLimiter, UINT32 avgMaxInSec, UINT32 slotMulMax)
{
    MosFastlockGuard guard(&pLimiter->lock);
    UINT32 oldAvgSlotMax = pLimiter->avgSlotMax;
    mosLimiter_SetLimits(pLimiter, avgMaxInSec, slotMulMax);
    pLimiter->loanToOldSlots = 0;
    pLimiter->slotUsage =
        oldAvgSlotMax == 0 ? 0 : mosLimiter_Clamp32((UINT64)pLimiter->slotUsage * pLimiter->avgSlotMax / oldAvgSlotMax);
}

void mosLimiter_Destroy(MosLimiter *pLimiter)
{
    {
        MosFastlockGuard guard(&pLimiter->lock);
        MOS_ASSERT(pLimiter->waitList.counter == 0);
    }
    mosTimerReq_Destroy(&pLimiter->timerReq);
    pLimiter->bTimerActive = FALSE;
    mosFastlockBase_Destroy(&pLimiter->lock);
}

Mos_RC mosLimiter_Add(MosLimiter *pLimiter, MosLimiter_Req *pLimiterReq)
{
    MosAsyncObj_Anchor admitted;
    mosDList_InitAnchor(&admitted);
    Mos_RC rc;
    {
        MosFastlockGuard guard(&pLimiter->lock);
        UINT64 slot = mosLimiter_SlotOf(pLimiter, mosTicks_GetCurrentTick());
        if (slot != pLimiter->currSlot) {
            mosLimiter_UpdateSlot(pLimiter, slot);
            // A running callback cannot be waited for here (it needs this lock); it finds the
            // mark still set and re-admits the waiters itself.
            if (pLimiter->bTimerActive && mosTimerReq_AbortNoWait(&pLimiter->timerReq) == MOS_RC__SUCCESS) {
                pLimiter->bTimerActive = FALSE;
                mosLimiter_Readmit(pLimiter, &admitted);
            }
        }
        if (pLimiter->avgSlotMax == 0 || (!pLimiter->bTimerActive && mosLimiter_TryAdmit(pLimiter, pLimiterReq))) {
            rc = MOS_RC__SUCCESS;
        } else {
            mosDList_InsertTail(&pLimiter->waitList, &pLimiterReq->asyncObj.node);
            rc = MOS_RC__PENDING;
        }
    }
    mosLimiter_CallAdmitted(&admitted);
    return rc;
}

Mos_RC mosLimiter_Pop(MosLimiter *pLimiter)
{
    MosLimiter_Req *pReq;
    {
        MosFastlockGuard guard(&pLimiter->lock);
        if (pLimiter->avgSlotMax == 0)
            return MOS_RC__DISABLED;
        UINT64 slot = mosLimiter_SlotOf(pLimiter, mosTicks_GetCurrentTick());
        if (slot != pLimiter->currSlot)
            mosLimiter_UpdateSlot(pLimiter, slot);
        MosDList_Node *pNode = mosDList_RemoveHead(&pLimiter->waitList);
        if (pNode == nullptr) {
            pLimiter->bLastPopWasEmpty = TRUE;
            return MOS_RC__NOT_FOUND;
        }
        pLimiter->bLastPopWasEmpty = FALSE;
        pReq = mosLimiterReq_FromNode(pNode);
        UINT64 charge = MOS_MIN((UINT64)pReq->usage, mosLimiter_SlotRemainder(pLimiter));
        pLimiter->slotUsage = mosLimiter_Clamp32((UINT64)pLimiter->slotUsage + charge);
        pReq->usage -= (UINT32)charge;
    }
    pReq->asyncObj.pCK(&pReq->asyncObj, MOS_RC__SUCCESS);
    return MOS_RC__SUCCESS;
}

UINT64 mosLimiter_GetMaxRsrcInSec(MosLimiter *pLimiter)
{
    return (UINT64)pLimiter->avgSlotMax * MOS_LIMITER__SLOT_IN_SEC;
}

void mosLimiter_Query(MosLimiter *pLimiter, MosLimiter_Query *pQuery)
{
    MosFastlockGuard guard(&pLimiter->lock);
    pQuery->currSlot = pLimiter->currSlot;
    pQuery->waiters = pLimiter->waitList.counter;
    pQuery->slotUsage = pLimiter->slotUsage;
    pQuery->loanToOldSlots = pLimiter->loanToOldSlots;
    pQuery->avgSlotMax = pLimiter->avgSlotMax;
    pQuery->slotMax = pLimiter->slotMax;
    pQuery->tickInSlot = pLimiter->tickInSlot;
    pQuery->bTimerActive = pLimiter->bTimerActive;
}
