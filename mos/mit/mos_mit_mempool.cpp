#include "mos/mit/mos_mit_mempool.h"

#include "mos/mos_assert.h"

static_assert(offsetof(MosMit, scratch.mempool.poolReq.asyncObj) == 0, "the request is the task");

void mosMitMempool_CK(MosAsyncObj *pObj, INT32 rc)
{
    MOS_UNUSED(rc);
    mosMit_Resume(reinterpret_cast<MosMit *>(pObj), MOS_RC__SUCCESS);
}

PVOID mosMitMemPool_GetAllocRes(MosMit *pMit)
{
    return pMit->scratch.mempool.poolReq.pMem;
}
