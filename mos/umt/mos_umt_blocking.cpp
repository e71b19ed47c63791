#include "mos/umt/mos_umt_blocking.h"

#include <cerrno>

#include "mos/mos_assert.h"
#include "mos/umt/mos_umt.h"

void mosUmtBlocking_CK(MosAsyncObj *pObj, INT32 rc)
{
    MosUmtBlocking_Req *pReq = MOS_CONTAINER_OF(pObj, MosUmtBlocking_Req, blockingReq.asyncObj);
    pReq->completion = (Mos_RC)rc;
    mosUmtSem_IncInter(&pReq->sem, 1, TRUE);
}

int mosUmtBlocking_Submit(MosBlocking *pBlocking, int (*workFunc)(void *pContext), void *pContext)
{
    MosUmtBlocking_Req req{};
    mosDList_InitNode(&req.blockingReq.asyncObj.node);
    req.blockingReq.asyncObj.pCK = mosUmtBlocking_CK;
    req.blockingReq.workFunc = workFunc;
    req.blockingReq.pContext = pContext;
    req.completion = MOS_RC__SUCCESS;
    mosUmtSem_Init(&req.sem);
    Mos_RC rc = mosBlocking_SubmitWait(pBlocking, &req.blockingReq);
    MOS_ASSERT(rc != MOS_RC__NO_RESOURCES);
    if (rc == MOS_RC__PENDING) {
        rc = mosUmtSem_DecTimed(&req.sem, 1, 0);
        MOS_ASSERT_SUCCESS(rc);
    }
    mosUmtSem_Destroy(&req.sem);
    return req.completion == MOS_RC__SUCCESS ? req.blockingReq.status : ECANCELED;
}

BOOL mosUmtBlocking_RunFromUThread(int (*workFunc)(void *pContext), void *pContext, int *pResult)
{
    if (mosUmt_GetUThreadHdlNoAssert() == nullptr)
        return FALSE;
    *pResult = mosUmtBlocking_Submit(nullptr, workFunc, pContext);
    return TRUE;
}
