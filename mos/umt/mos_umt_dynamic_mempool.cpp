#include "mos/umt/mos_umt_dynamic_mempool.h"

#include "mos/mos_assert.h"

void mosUmtDynamicMemPool_AllocCK(MosAsyncObj *pObj, INT32 rc)
{
    MOS_UNUSED(rc);
    MosUmtDynamicMempool_Req *pReq = MOS_CONTAINER_OF(pObj, MosUmtDynamicMempool_Req, poolReq.asyncObj);
    mosUmtSem_IncInter(&pReq->sem, 1, TRUE);
}

void mosUmtDynamicMemPool_AllocWait(MosDynamicMemPool *pMemPool, MosDynamicMemPool_Buffer *pBuffer)
{
    MosUmtDynamicMempool_Req req;
    mosDList_InitNode(&req.poolReq.asyncObj.node);
    req.poolReq.asyncObj.pCK = mosUmtDynamicMemPool_AllocCK;
    req.poolReq.pBuffer = nullptr;
    mosUmtSem_Init(&req.sem);
    if (mosDynamicMemPool_AllocWait(pMemPool, &req.poolReq, pBuffer) == MOS_RC__PENDING) {
        Mos_RC rc = mosUmtSem_DecTimed(&req.sem, 1, 0);
        MOS_ASSERT_SUCCESS(rc);
    }
    mosUmtSem_Destroy(&req.sem);
    MOS_ASSERT(pBuffer->pBuffer != ((void *)0));
}
