#include "mos/mos_blocking.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"

namespace {
struct MosBlockingLayer {
    MosObj_Type objType;
    MosBlocking defBlocking;
    BOOL bInit;
};
MosBlockingLayer blockingLayer_G;

inline MosBlocking *mosBlocking_Resolve(MosBlocking *pBlocking)
{
    return pBlocking != nullptr ? pBlocking : &blockingLayer_G.defBlocking;
}

void mosBlocking_ServiceLoop(void *pArg)
{
    MosBlocking *pBlocking = static_cast<MosBlocking *>(pArg);
    mosFastlockBase_Acquire(&pBlocking->fastlock);
    for (;;) {
        if (MOS_DLIST__IS_EMPTY(&pBlocking->waiters) && !pBlocking->bDie)
            mosOSWCond_Wait(&pBlocking->cond, &pBlocking->fastlock);
        if (pBlocking->bDie)
            break;
        MosDList_Node *pNode = mosDList_RemoveHead(&pBlocking->waiters);
        if (pNode == nullptr)
            continue; // woken for nothing
        pBlocking->numRunningThreads++;
        mosFastlockBase_Release(&pBlocking->fastlock);
        MosBlocking_Req *pReq = MOS_CONTAINER_OF(pNode, MosBlocking_Req, asyncObj.node);
        pReq->status = pReq->workFunc(pReq->pContext);
        if (pReq->asyncObj.pCK != nullptr)
            pReq->asyncObj.pCK(&pReq->asyncObj, MOS_RC__SUCCESS);
        mosFastlockBase_Acquire(&pBlocking->fastlock);
        pBlocking->numRunningThreads--;
    }
    mosFastlockBase_Release(&pBlocking->fastlock);
}
} // namespace

Mos_RC mosBlocking_Create(MosBlocking *pBlocking, const CHAR_A *pName, UINT32 numThreads)
{
    MOS_ASSERT(pBlocking != ((void *)0));
    MOS_ASSERT(numThreads > 0);
    memset(static_cast<void *>(pBlocking), 0, sizeof(*pBlocking));
    pBlocking->pBlockingThreads = static_cast<MosOsThrd *>(calloc(numThreads, sizeof(MosOsThrd)));
    if (pBlocking->pBlockingThreads == nullptr)
        return MOS_RC__NO_RESOURCES;
    MOS_FASTLOCK_CREATE_ADAPTIVE(&pBlocking->fastlock, MOS_BLOCKING__LOCK_ID);
    mosOSWCond_Init(&pBlocking->cond);
    mosDList_InitAnchor(&pBlocking->waiters);
    mosObjType_RegObj(&blockingLayer_G.objType, &pBlocking->obj, pName);
    for (UINT32 i = 0; i < numThreads; i++) {
        Mos_RC rc = mosOsThrd_CreateNamed(&pBlocking->pBlockingThreads[i], mosBlocking_ServiceLoop, pBlocking, pName);
        if (rc != MOS_RC__SUCCESS) {
            MOS_ERROR(MOS_COMP_MOS, "Failed to start blocking thread %u of %s with rc %s", i, pName,
                      MOS_RC__GET_STR(rc));
            mosBlocking_Destroy(pBlocking);
            return rc;
        }
        pBlocking->numBlockingThreads++;
    }
    return MOS_RC__SUCCESS;
}

void mosBlocking_Destroy(MosBlocking *pBlocking)
{
    mosFastlockBase_Acquire(&pBlocking->fastlock);
    pBlocking->bDie = TRUE;
    mosOSWCond_Broadcast(&pBlocking->cond);
    mosFastlockBase_Release(&pBlocking->fastlock);
    for (UINT32 i = 0; i < pBlocking->numBlockingThreads; i++)
        mosOsThrd_Destroy(&pBlocking->pBlockingThreads[i]);
    // Calls that never ran are completed as aborted, so that no submitter waits for ever.
    MosAsyncObj_Anchor aborted;
    mosDList_InitAnchor(&aborted);
    mosFastlockBase_Acquire(&pBlocking->fastlock);
    while (MosDList_Node *pNode = mosDList_RemoveHead(&pBlocking->waiters))
        mosDList_InsertTail(&aborted, pNode);
    mosFastlockBase_Release(&pBlocking->fastlock);
    while (MosDList_Node *pNode = mosDList_RemoveHead(&aborted)) {
        MosBlocking_Req *pReq = MOS_CONTAINER_OF(pNode, MosBlocking_Req, asyncObj.node);
        if (pReq->asyncObj.pCK != nullptr)
            pReq->asyncObj.pCK(&pReq->asyncObj, MOS_RC__ABORTED);
    }
    if (mosObj_IsRegistered(&pBlocking->obj))
        mosObjType_UnregObj(&blockingLayer_G.objType, &pBlocking->obj);
    mosOSWCond_Destroy(&pBlocking->cond);
    mosFastlockBase_Destroy(&pBlocking->fastlock);
    free(pBlocking->pBlockingThreads);
    memset(static_cast<void *>(pBlocking), 0, sizeof(*pBlocking));
}

Mos_RC mosBlocking_SubmitWait(MosBlocking *pBlocking, MosBlocking_Req *pReq)
{
    pBlocking = mosBlocking_Resolve(pBlocking);
    MOS_ASSERT((&pReq->asyncObj.node)->pPrev == ((void *)0));
    mosFastlockBase_Acquire(&pBlocking->fastlock);
    mosDList_InsertTail(&pBlocking->waiters, &pReq->asyncObj.node);
    mosOSWCond_Signal(&pBlocking->cond);
    mosFastlockBase_Release(&pBlocking->fastlock);
    return MOS_RC__PENDING;
}

UINT32 mosBlocking_GetNumWaiters(MosBlocking *pBlocking)
{
    pBlocking = mosBlocking_Resolve(pBlocking);
    MosFastlockGuard guard(&pBlocking->fastlock);
    return pBlocking->waiters.counter;
}

void mosBlocking_Query(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    MosBlocking *pBlocking = MOS_CONTAINER_OF(pObj, MosBlocking, obj);
    MosBlocking_Query *pQuery = static_cast<MosBlocking_Query *>(pData);
    memset(pQuery, 0, sizeof(*pQuery));
    snprintf(pQuery->name, sizeof(pQuery->name), "%s", pName != nullptr ? pName : "");
    MosFastlockGuard guard(&pBlocking->fastlock);
    pQuery->numBlockingThreads = pBlocking->numBlockingThreads;
    pQuery->numRunningThreads = pBlocking->numRunningThreads;
    pQuery->waiters = pBlocking->waiters.counter;
}

MosBlocking *mosBlocking_GetDefault(void)
{
    return &blockingLayer_G.defBlocking;
}

Mos_RC mosBlockingLayer_Init(void *pArg)
{
    MOS_UNUSED(pArg);
    memset(static_cast<void *>(&blockingLayer_G), 0, sizeof(blockingLayer_G));
    mosObjType_RegObjType(&blockingLayer_G.objType, mosBlocking_Query, nullptr, SDBG_EXPORTS_OBJ_TYPE__MOS_BLOCKING,
                          sizeof(MosBlocking_Query));
    Mos_RC rc = mosBlocking_Create(&blockingLayer_G.defBlocking, MOS_BLOCKING__DEFAULT_NAME, 1);
    if (rc != MOS_RC__SUCCESS) {
        mosObjType_UnregObjType(&blockingLayer_G.objType);
        return rc;
    }
    blockingLayer_G.bInit = TRUE;
    return MOS_RC__SUCCESS;
}

void mosBlockingLayer_Destroy(void)
{
    if (!blockingLayer_G.bInit)
        return;
    mosBlocking_Destroy(&blockingLayer_G.defBlocking);
    mosObjType_UnregObjType(&blockingLayer_G.objType);
    blockingLayer_G.bInit = FALSE;
}
