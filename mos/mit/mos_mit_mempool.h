// A micro-task's wait for a memory-pool block. The request lives in the task's scratch area:
//
//   mosDList_InitNode(&pMit->scratch.mempool.poolReq.asyncObj.node);
//   pMit->scratch.mempool.poolReq.asyncObj.pCK = mosMitMempool_CK;
//   MOS_MIT_WAIT(pMit, rc, FALSE, mosMemPool_Alloc(pPool, nullptr, &pMit->scratch.mempool.poolReq, TRUE));
//   pBlock = mosMitMemPool_GetAllocRes(pMit);
#pragma once

#include "mos/mit/mos_mit.h"

void mosMitMempool_CK(MosAsyncObj *pObj, INT32 rc);
PVOID mosMitMemPool_GetAllocRes(MosMit *pMit);
