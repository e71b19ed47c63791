// Per-OS-thread state of the uthreads. Every access goes through a function that is never
// inlined into a caller that may suspend: a uthread that suspends on one OS thread may resume on
// another, and a thread-local address computed before the switch would name the old thread.
#include "mos/mos_assert.h"
#include "mos/mos_tls.h"
#include "mos/umt/mos_umt_intrn.h"

namespace {
thread_local MosUmt_Tls umtTls_G;
// Uthreads whose placement waits for this OS thread to hold no fast lock (see
// mosUmt_ResumeUThread), linked through their run-queue node.
thread_local MosDList_Anchor pendingResumes_G;
thread_local BOOL bRunningPendingResumes_G;
} // namespace

MOS_TLS_ACCESSOR(MosUmt_Tls, mosUmt_GetTls, umtTls_G)

MOS_TLS_ACCESSOR(MosDList_Anchor, mosUmt_GetPendingResumes, pendingResumes_G)

MOS_TLS_ACCESSOR(BOOL, mosUmt_GetRunningPendingResumes, bRunningPendingResumes_G)

HMosUmt_UThread mosUmt_GetUThreadHdlNoAssert(void)
{
    MosUmt *pUmt = mosUmt_GetTls()->pUmt;
    if (pUmt == nullptr || pUmt->state != MOS_UMT_STATE__RUNNING)
        return nullptr;
    return pUmt;
}

HMosUmt_UThread mosUmt_GetUThreadHdl(void)
{
    MosUmt *pUmt = mosUmt_GetUThreadHdlNoAssert();
    MOS_ASSERT(pUmt != ((void *)0));
    return pUmt;
}

HMosUmt_UThread mosUmt_GetNoStateCheck(void)
{
    return mosUmt_GetTls()->pUmt;
}

HMosUmt_UThread mosUmt_SetCurUmt(HMosUmt_UThread pUmt)
{
    MosUmt_Tls *pTls = mosUmt_GetTls();
    MosUmt *pPrev = pTls->pUmt;
    pTls->pUmt = pUmt;
    return pPrev;
}

MosUmt_Sched *mosUmt_GetCurSched(void)
{
    return mosUmt_GetTls()->pSched;
}

MosUmt_Sched *mosUmt_SetCurSched(MosUmt_Sched *pSched)
{
    MosUmt_Tls *pTls = mosUmt_GetTls();
    MosUmt_Sched *pPrev = pTls->pSched;
    pTls->pSched = pSched;
    return pPrev;
}

void *mosUmt_GetCurSchedThrd(void)
{
    return mosUmt_GetTls()->pSchedThrd;
}

void *mosUmt_SetCurSchedThrd(void *pSchedThrd)
{
    MosUmt_Tls *pTls = mosUmt_GetTls();
    void *pPrev = pTls->pSchedThrd;
    pTls->pSchedThrd = pSchedThrd;
    return pPrev;
}
