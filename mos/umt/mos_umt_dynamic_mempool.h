// A uthread's allocation from a dynamic memory pool that sleeps until a unit is free.
#pragma once

#include "mos/mos_dynamic_mempool.h"
#include "mos/umt/mos_umt_semaphore.h"

struct MosUmtDynamicMempool_Req {
    MosDynamicMemPool_Req poolReq;
    MosUmt_Sem sem;
};

void mosUmtDynamicMemPool_AllocCK(MosAsyncObj *pObj, INT32 rc);
// Fills *pBuffer, waiting for a unit to be freed when the pool is at its maximum.
void mosUmtDynamicMemPool_AllocWait(MosDynamicMemPool *pMemPool, MosDynamicMemPool_Buffer *pBuffer);
