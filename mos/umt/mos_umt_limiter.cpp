#include "mos/umt/mos_umt_limiter.h"

#include "mos/mos_assert.h"

void mosUmtLimiterWait_Init(MosUmtLimiterWait *pWaiter, UINT32 usage)
{
    mosDList_InitNode(&pWaiter->limiterReq.asyncObj.node);
    pWaiter->limiterReq.asyncObj.pCK = mosUmtLimiter_ResourceAvailCK;
    pWaiter->limiterReq.usage = usage;
    mosUmtSem_Init(&pWaiter->sem);
}

void mosUmtLimiterWait_Destroy(MosUmtLimiterWait *pWaiter)
{
    mosUmtSem_Destroy(&pWaiter->sem);
}

void mosUmtLimiter_ResourceAvailCK(MosAsyncObj *pObj, INT32 rc)
{
    MOS_UNUSED(rc);
    MosUmtLimiterWait *pWaiter = MOS_CONTAINER_OF(pObj, MosUmtLimiterWait, limiterReq.asyncObj);
    mosUmtSem_IncInter(&pWaiter->sem, 1, TRUE);
}

void mosUmtLimiter_Add(MosLimiter *pLimiter, UINT32 resource)
{
    MosUmtLimiterWait waiter;
    mosUmtLimiterWait_Init(&waiter, resource);
    if (mosLimiter_Add(pLimiter, &waiter.limiterReq) == MOS_RC__PENDING) {
        Mos_RC rc = mosUmtSem_DecTimed(&waiter.sem, 1, 0);
        MOS_ASSERT_SUCCESS(rc);
    }
    mosUmtLimiterWait_Destroy(&waiter);
}

Mos_RC mosUmtLimiter_Pop(MosLimiter *pLimiter)
{
    return mosLimiter_Pop(pLimiter);
}
