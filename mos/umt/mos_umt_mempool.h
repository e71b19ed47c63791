// Memory pools for uthreads: allocation that sleeps until a block is free, and a pool whose long
// loops (building or tearing down its free list) give the processor up now and then.
#pragma once

#include "mos/mos_mempool.h"
#include "mos/umt/mos_umt_semaphore.h"

struct MosUmtMempool_Req {
    MosMemPool_Req poolReq;
    MosUmt_Sem sem;
};

void mosUmtMemPool_AllocCK(MosAsyncObj *pObj, INT32 rc);
// freeHandlingType must be MOS_TIMER__FREE_HANDLER_LIST.
void mosUmtMemPool_Create(MosMemPool *pMemPool, const CHAR_A *pName, MosMemPool_InitCK pInitCK,
                          UINT32 blockSizeInBytes, UINT32 numBlocks, UINT32 alignment, BOOL bGuardPage,
                          MosMemPool_FreeHandlingType freeHandlingType);
// Returns a block, waiting for one to be freed when the pool is empty.
void mosUmtMemPool_AllocWait(MosMemPool *pMemPool, PVOID *ppAllocated);
// The pool's yield hook: gives the processor up when the uthread has run long enough.
void mosUmtMemPool_YieldIfShould(MosMemPool *pPool, BOOL bLockHeld);
