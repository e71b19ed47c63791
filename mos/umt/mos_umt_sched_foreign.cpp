#include "mos/umt/mos_umt_sched_foreign.h"

#include "mos/mos_assert.h"
#include "mos/umt/mos_umt_intrn.h"

void mosUmtSchedForeign_Create(MosUmt_SchedForeign *pSched)
{
    pSched->sched.pSchedCK = mosUmtSchedForeign_SchedCK;
    pSched->sched.pSuspendCK = mosUmtSchedForeign_SuspendCK;
    pSched->sched.pShouldYieldCK = mosUmtSchedForeign_ShouldYieldCK;
    pSched->sched.pResizeCK = nullptr;
}

void mosUmtSchedForeign_Destroy(MosUmt_SchedForeign *pSched)
{
    pSched->sched = MosUmt_Sched{};
}

BOOL mosUmtSchedForeign_ShouldYieldCK(void)
{
    return FALSE;
}

// Runs pUmt until it suspends or ends (the switch saves this context in pBaseContext and returns
// when the uthread's suspension switches back), then finalises it here.
static void mosUmtSchedForeign_RunOnce(MosUmtSchedForeign_Thrd *pThrd, MosUmt *pUmt)
{
    mosUmt_GetTls()->pLeavingCtxt = pThrd->pBaseContext;
    mosUmtFiber_SetLeaving(&pThrd->baseFiber);
    mosUmt_JumpTo(pUmt);
    mosUmtFiber_Arrive(&pThrd->baseFiber);
    pThrd->bFinalizing = TRUE;
    mosUmt_FinalizeSuspend();
    pThrd->bFinalizing = FALSE;
}

void mosUmtSchedForeign_SchedCK(MosUmt_Sched *pSched, MosUmt *pUmt)
{
    MosUmt_Tls *pTls = mosUmt_GetTls();
    if (pTls->pSched == pSched && pTls->pSchedThrd != nullptr) {
        MosUmtSchedForeign_Thrd *pCur = static_cast<MosUmtSchedForeign_Thrd *>(pTls->pSchedThrd);
        if (pCur->bFinalizing) {
            mosDList_InsertTail(&pCur->runNext, &pUmt->node);
            return;
        }
    }
    // This may run between a context's announcement that it leaves and its switch.
    MosUmt_FiberLeaving prevLeaving = mosUmtFiber_TakeLeaving();
    MosUmt_Sched *pPrevSched = pTls->pSched;
    void *pPrevSchedThrd = pTls->pSchedThrd;
    MosUmt *pPrevUmt = pTls->pUmt;
    MosUmt_Context *pPrevLeavingCtxt = pTls->pLeavingCtxt;
    MosUmt_Context baseContext;
    MosUmtSchedForeign_Thrd thrd{};
    thrd.pBaseContext = &baseContext;
    mosDList_InitAnchor(&thrd.runNext);
    for (;;) {
        // The uthread suspends on this same OS thread, so the thread-local record stays valid.
        pTls->pSchedThrd = &thrd;
        pTls->pSched = pSched;
        pTls->pUmt = nullptr;
        mosUmtSchedForeign_RunOnce(&thrd, pUmt);
        MosDList_Node *pNext = mosDList_RemoveHead(&thrd.runNext);
        if (pNext == nullptr)
            break;
        pUmt = MOS_CONTAINER_OF(pNext, MosUmt, node);
    }
    pTls->pSched = pPrevSched;
    pTls->pSchedThrd = pPrevSchedThrd;
    pTls->pUmt = pPrevUmt;
    pTls->pLeavingCtxt = pPrevLeavingCtxt;
    mosUmtFiber_PutLeaving(prevLeaving);
}

void mosUmtSchedForeign_SuspendCK(MosUmt_Sched *pSched)
{
    MOS_UNUSED(pSched);
    MosUmtSchedForeign_Thrd *pThrd = static_cast<MosUmtSchedForeign_Thrd *>(mosUmt_GetTls()->pSchedThrd);
    MOS_ASSERT(pThrd->pBaseContext != ((void *)0));
    mosUmt_SwitchToContext(pThrd->pBaseContext, mosUmtFiber_SlotBottom(&pThrd->baseFiber),
                           mosUmtFiber_SlotSize(&pThrd->baseFiber));
}
