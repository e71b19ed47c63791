#include "mos/umt/mos_umt_semaphore.h"

#include "mos/mos_assert.h"

void mosUmtSem_Init(MosUmt_Sem *pSem)
{
    MOS_ASSERT(pSem != ((void *)0));
    mosUmtCond_Init(&pSem->cond);
    MOS_FASTLOCK_CREATE(&pSem->lock, MOS_UMT_LOCK_ID__SEMAPHORE);
    pSem->count = 0;
}

void mosUmtSem_Destroy(MosUmt_Sem *pSem)
{
    MOS_ASSERT(pSem != ((void *)0));
    mosUmtCond_Destroy(&pSem->cond);
    mosFastlockBase_Destroy(&pSem->lock);
}

void mosUmtSem_IncInterNoLock(MosUmt_Sem *pSem, UINT32 count, BOOL bFifo)
{
    MOS_ASSERT(pSem != ((void *)0));
    if (pSem->count == 0 && mosUmtCond_NumWaiters(&pSem->cond) != 0) {
        UINT32 waiters = mosUmtCond_BroadcastEx(&pSem->cond, count, bFifo);
        MOS_ASSERT(waiters <= count);
        // Units left over passed only waiters whose time-out is already firing; they belong to
        // the count, not to those waiters.
        pSem->count += count - waiters;
    } else {
        pSem->count += count;
    }
}

void mosUmtSem_IncInter(MosUmt_Sem *pSem, UINT32 count, BOOL bFifo)
{
    MOS_ASSERT(pSem != ((void *)0));
    mosFastlockBase_Acquire(&pSem->lock);
    mosUmtSem_IncInterNoLock(pSem, count, bFifo);
    mosFastlockBase_Release(&pSem->lock);
}

Mos_RC mosUmtSem_DecTimed(MosUmt_Sem *pSem, UINT32 count, UINT32 timeToWaitMillis)
{
    MOS_ASSERT(pSem != ((void *)0));
    MOS_ASSERT(mosOsThrd_NoIntrViolation());
    mosFastlockBase_Acquire(&pSem->lock);
    UINT32 taken = pSem->count;
    if (taken >= count) {
        pSem->count = taken - count;
        mosFastlockBase_Release(&pSem->lock);
        return MOS_RC__SUCCESS;
    }
    pSem->count = 0;
    UINT32 received = 0;
    Mos_RC rc = mosUmtCond_TimedWaitIntrn(&pSem->cond, &pSem->lock, timeToWaitMillis, count - taken, &received);
    if (rc == MOS_RC__TIMEOUT) {
        // Everything this wait got, at the start and from signals since, goes back.
        if (taken + received != 0)
            mosUmtSem_IncInterNoLock(pSem, taken + received, TRUE);
    } else if (rc != MOS_RC__SUCCESS) {
        MOS_UNREACHABLE("a semaphore wait ended with neither success nor time-out");
    }
    mosFastlockBase_Release(&pSem->lock);
    return rc;
}

Mos_RC mosUmtSem_TryDec(MosUmt_Sem *pSem, UINT32 count)
{
    MOS_ASSERT(pSem != ((void *)0));
    MosFastlockGuard guard(&pSem->lock);
    if (pSem->count < count)
        return MOS_RC__NO_RESOURCES;
    pSem->count -= count;
    return MOS_RC__SUCCESS;
}

Mos_RC mosUmtSem_DecAll(MosUmt_Sem *pSem, BOOL bBlock)
{
    MOS_ASSERT(pSem != ((void *)0));
    mosFastlockBase_Acquire(&pSem->lock);
    if (pSem->count != 0) {
        pSem->count = 0;
        mosFastlockBase_Release(&pSem->lock);
        return MOS_RC__SUCCESS;
    }
    if (!bBlock) {
        mosFastlockBase_Release(&pSem->lock);
        return MOS_RC__NO_RESOURCES;
    }
    Mos_RC rc = mosUmtCond_TimedWaitIntrn(&pSem->cond, &pSem->lock, 0, 1, nullptr);
    mosFastlockBase_Release(&pSem->lock);
    return rc;
}

UINT32 mosUmtSem_Waiters(MosUmt_Sem *pSem)
{
    MOS_ASSERT(pSem != ((void *)0));
    MosFastlockGuard guard(&pSem->lock);
    return mosUmtCond_NumWaiters(&pSem->cond);
}

UINT32 mosUmtSem_GetCount(MosUmt_Sem *pSem)
{
    MOS_ASSERT(pSem != ((void *)0));
    MosFastlockGuard guard(&pSem->lock);
    return pSem->count;
}
