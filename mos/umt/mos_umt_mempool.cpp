#include "mos/umt/mos_umt_mempool.h"

#include "mos/mos_assert.h"
#include "mos/mos_diag_counters.h"

void mosUmtMemPool_AllocCK(MosAsyncObj *pObj, INT32 rc)
{
    MOS_UNUSED(rc);
    MosUmtMempool_Req *pReq = MOS_CONTAINER_OF(pObj, MosUmtMempool_Req, poolReq.asyncObj);
    mosUmtSem_IncInter(&pReq->sem, 1, TRUE);
}

void mosUmtMemPool_Create(MosMemPool *pMemPool, const CHAR_A *pName, MosMemPool_InitCK pInitCK,
                          UINT32 blockSizeInBytes, UINT32 numBlocks, UINT32 alignment, BOOL bGuardPage,
                          MosMemPool_FreeHandlingType freeHandlingType)
{
    // Waiting allocations are served from the free list.
    MOS_ASSERT(freeHandlingType == MOS_TIMER__FREE_HANDLER_LIST);
    mosMemPool_CreateEx(pMemPool, pName, mosUmtMemPool_YieldIfShould, pInitCK, blockSizeInBytes, numBlocks,
                        alignment, bGuardPage, freeHandlingType);
}

void mosUmtMemPool_AllocWait(MosMemPool *pMemPool, PVOID *ppAllocated)
{
    MosUmtMempool_Req req;
    mosDList_InitNode(&req.poolReq.asyncObj.node);
    req.poolReq.asyncObj.pCK = mosUmtMemPool_AllocCK;
    req.poolReq.pMem = nullptr;
    mosUmtSem_Init(&req.sem);
    *ppAllocated = nullptr;
    if (mosMemPool_Alloc(pMemPool, ppAllocated, &req.poolReq, TRUE) == MOS_RC__PENDING) {
        Mos_RC rc = mosUmtSem_DecTimed(&req.sem, 1, 0);
        MOS_ASSERT_SUCCESS(rc);
        *ppAllocated = req.poolReq.pMem;
    }
    mosUmtSem_Destroy(&req.sem);
    MOS_ASSERT(*ppAllocated != ((void *)0));
}

void mosUmtMemPool_YieldIfShould(MosMemPool *pPool, BOOL bLockHeld)
{
    // Pools are also built from OS threads (start-up), which have nothing to yield to.
    if (mosUmt_GetUThreadHdlNoAssert() == nullptr || !mosUmt_ShouldYield())
        return;
    mosDiagCounters_CountExt(MOS_DIAG_COUNTER__MEMPOOL_CAUSED_YIELD, (UINT64)(uintptr_t)pPool);
    if (bLockHeld)
        mosFastlockBase_Release(&pPool->fastlock);
    mosUmt_Yield();
    if (bLockHeld)
        mosFastlockBase_Acquire(&pPool->fastlock);
}
