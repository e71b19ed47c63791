#include "mos/umt/mos_umt_blocking.h"

#include <cerrno>

#include "mos/mos_dbg.h"
#include "mos/umt/mos_umt_semaphore.h"

namespace {
struct MosUmtBlocking_Wait {
    MosBlocking_Req req;
    MosUmt_Sem sem;
    Mos_RC completion;
};

void mosUmtBlocking_DoneCK(MosAsyncObj *pObj, INT32 rc)
{
    MosUmtBlocking_Wait *pWait = MOS_CONTAINER_OF(pObj, MosUmtBlocking_Wait, req.asyncObj);
    pWait->completion = (Mos_RC)rc;
    mosUmtSem_IncInter(&pWait->sem, 1, TRUE);
}
} // namespace

int mosUmtBlocking_Submit(MosBlocking *pBlocking, int (*workFunc)(void *pContext), void *pContext)
{
    MosUmtBlocking_Wait wait{};
    mosDList_InitNode(&wait.req.asyncObj.node);
    wait.req.asyncObj.pCK = mosUmtBlocking_DoneCK;
    wait.req.workFunc = workFunc;
    wait.req.pContext = pContext;
    mosUmtSem_Init(&wait.sem);
    Mos_RC rc = mosBlocking_SubmitWait(pBlocking, &wait.req);
    MOS_ASSERT(rc != MOS_RC__NO_RESOURCES);
    if (rc == MOS_RC__PENDING) {
        rc = mosUmtSem_DecTimed(&wait.sem, 1, 0);
        MOS_ASSERT_SUCCESS(rc);
    }
    mosUmtSem_Destroy(&wait.sem);
    return wait.completion == MOS_RC__SUCCESS ? wait.req.status : ECANCELED;
}
