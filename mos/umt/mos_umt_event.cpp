#include "mos/umt/mos_umt_event.h"

#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_osthrd.h"

namespace {
// Unlinks the oldest waiter and makes it runnable; it returns from its wait.
void mosUmtEvent_WakeOldest(MosUmt_Event *pEvent)
{
    MosDList_Node *pNode = pEvent->waitersList.pLast;
    mosDList_Remove(&pEvent->waitersList, pNode);
    mosUmt_ResumeUThread(MOS_CONTAINER_OF(pNode, MosUmt, node));
}
} // namespace

void mosUmtEvent_Init(MosUmt_Event *pEvent, BOOL bAutomatic)
{
    memset(static_cast<void *>(pEvent), 0, sizeof(*pEvent));
    MOS_FASTLOCK_CREATE(&pEvent->fastlock, MOS_UMT_EVENT__LOCK_ID);
    mosDList_InitAnchor(&pEvent->waitersList);
    pEvent->bAutomatic = bAutomatic ? TRUE : FALSE;
}

void mosUmtEvent_Destroy(MosUmt_Event *pEvent)
{
    UINT32 numOfWaiters;
    {
        MosFastlockGuard guard(&pEvent->fastlock);
        numOfWaiters = pEvent->waitersList.counter;
    }
    MOS_ASSERT(0 == numOfWaiters);
    mosFastlockBase_Destroy(&pEvent->fastlock);
}

void mosUmtEvent_Set(MosUmt_Event *pEvent)
{
    MosFastlockGuard guard(&pEvent->fastlock);
    if (pEvent->waitersList.counter == 0) {
        pEvent->bSignalled = TRUE;
        return;
    }
    mosUmtEvent_WakeOldest(pEvent);
    if (pEvent->bAutomatic)
        return; // consumed by the waiter it woke
    pEvent->bSignalled = TRUE;
    while (pEvent->waitersList.counter != 0)
        mosUmtEvent_WakeOldest(pEvent);
}

void mosUmtEvent_Reset(MosUmt_Event *pEvent)
{
    MOS_ASSERT(!pEvent->bAutomatic);
    MosFastlockGuard guard(&pEvent->fastlock);
    pEvent->bSignalled = FALSE;
}

void mosUmtEvent_Wait(MosUmt_Event *pEvent)
{
    MOS_ASSERT(mosOsThrd_NoIntrViolation());
    MosFastlockGuard guard(&pEvent->fastlock);
    if (pEvent->bSignalled) {
        if (pEvent->bAutomatic)
            pEvent->bSignalled = FALSE;
        return;
    }
    MosUmt *pUmt = mosUmt_GetUThreadHdl();
    mosDList_InsertHead(&pEvent->waitersList, &pUmt->node);
    mosUmt_SuspendUThread(&pEvent->fastlock, MOS_OS_THRD__UMT_WAIT_TYPE__EVENT);
}

void mosUmtEvent_Pulse(MosUmt_Event *pEvent)
{
    MOS_UNUSED(pEvent);
    MOS_ASSERT_WITH_DESC(0, "mosUmtEvent_Pulse is not implemented");
}
