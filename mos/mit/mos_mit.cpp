#include "mos/mit/mos_mit.h"

#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"
#include "mos/umt/mos_umt.h"
#include "mos/usr/linux/mos_condvar.h"

#define MOS_MIT__JOIN_SYNC_LOCK_ID 40

namespace {
// An OS thread waiting in mosMit_JoinSync; it lives on that thread's stack. The final result is
// handed over in it because the task may be reused once its destructor has run.
struct MosMit_OsJoiner {
    MosFastlock_Base lock;
    MosOsw_CondVar cond;
    BOOL bWakeup;
    Mos_RC result;
};

// Stamps the change. Reading the clock costs more than the rest of a step, so only the changes
// that matter when a task looks stuck are stamped: created, made ready, ended.
inline void mosMit_SetState(MosMit *pMit, MosMit_State state)
{
    pMit->state = state;
    pMit->stateTicks = mosTicks_GetCurrentTick();
}

inline void mosMit_SetStateUnstamped(MosMit *pMit, MosMit_State state)
{
    pMit->state = state;
}

void mosMit_WakeJoiner(void *pWaiter, Mos_RC result)
{
    uintptr_t addr = reinterpret_cast<uintptr_t>(pWaiter);
    if ((addr & 1u) == 0) {
        mosMit_Resume(static_cast<MosMit *>(pWaiter), result);
        return;
    }
    MosMit_OsJoiner *pJoiner = reinterpret_cast<MosMit_OsJoiner *>(addr & ~static_cast<uintptr_t>(1));
    mosFastlockBase_Acquire(&pJoiner->lock);
    pJoiner->result = result;
    pJoiner->bWakeup = TRUE;
    mosOSWCond_Signal(&pJoiner->cond);
    mosFastlockBase_Release(&pJoiner->lock);
}

// The task's last step: the chain under it has finished with rc.
void mosMit_Finish(MosMit *pMit, Mos_RC rc)
{
    mosMit_SetState(pMit, MOS_MIT_STATE__DEAD);
    pMit->nextRC = rc;
    if (__atomic_load_n(&pMit->joinRef, __ATOMIC_ACQUIRE) == 0) {
        pMit->pDtorCK(pMit);
        return;
    }
    UINT32 old = __atomic_fetch_sub(&pMit->joinRef, 1, __ATOMIC_ACQ_REL);
    if (old == 2)
        return; // the joiner comes later and finishes the task
    MOS_ASSERT(old == 1);
    // Everything needed from the task is read before its destructor, which may free it.
    void *pWaiter = pMit->pWaiter;
    MOS_ASSERT(pWaiter != ((void *)0));
    pMit->pDtorCK(pMit);
    mosMit_WakeJoiner(pWaiter, rc);
}

// Element 0 of every task.
Mos_RC mosMit_EntryWrapper(MosMit *pMit, Mos_RC rc)
{
    if (pMit->stack[0].rp == 0) {
        pMit->stack[0].rp = 1;
        pMit->stackIndex = 1;
        if (pMit->liveIndex > 1)
            pMit->liveIndex = 1;
        rc = pMit->stack[1].ck(pMit, MOS_RC__SUCCESS);
        if (rc == MOS_RC__PENDING)
            return MOS_RC__PENDING;
    } else {
        MOS_ASSERT_WITH_DESC(rc != MOS_RC__PENDING, "a finished chain handed back MOS_RC__PENDING");
    }
    mosMit_Finish(pMit, rc);
    // The task no longer runs; nothing may touch it from here on.
    return MOS_RC__PENDING;
}

void mosMit_PrepareStart(MosMit *pMit, MosMit_CK pStartFunc)
{
    MOS_ASSERT_WITH_DESC(pMit->state == MOS_MIT_STATE__INIT, "");
    MOS_ASSERT_WITH_DESC(pMit->stackSize >= 2, "a task needs room for its start function");
    pMit->stack[0].ck = mosMit_EntryWrapper;
    pMit->stack[0].rp = 0;
    pMit->stack[1].ck = pStartFunc;
    pMit->stack[1].rp = 0;
    pMit->stackIndex = 0;
    pMit->nextRC = MOS_RC__SUCCESS;
}

// Runs the top step of the task; whatever it returns, the task has either waited again or ended.
void mosMit_RunTop(MosMit *pMit, Mos_RC rc)
{
    MOS_ASSERT_WITH_DESC(pMit->state == MOS_MIT_STATE__READY, "a micro-task run while not ready");
    mosMit_SetStateUnstamped(pMit, MOS_MIT_STATE__RUNNING);
    // The C frames of every step below the top are gone: they are continued by calls.
    pMit->liveIndex = (UINT8)(pMit->stackIndex + 1);
    Mos_RC ret = pMit->stack[pMit->stackIndex].ck(pMit, rc);
    MOS_ASSERT_WITH_DESC(ret == MOS_RC__PENDING, "a continued step returned instead of handing its result down");
}
} // namespace

void mosMit_DefDtor(MosMit *pMit)
{
    MOS_UNUSED(pMit);
}

void mosMit_Init(MosMit *pMit, MosMit_Scheduler *pSched, MosMit_DtorCK pDtor, void *pCallerContext, UINT8 stackSize)
{
    MOS_ASSERT_WITH_DESC(stackSize < 255, "the stack index is 8 bits wide");
    memset(static_cast<void *>(pMit), 0, offsetof(MosMit, stack));
    mosDList_InitNode(&pMit->node);
    mosMit_SetState(pMit, MOS_MIT_STATE__INIT);
    pMit->pSched = pSched;
    pMit->pDtorCK = pDtor != nullptr ? pDtor : mosMit_DefDtor;
    pMit->pContext = pCallerContext;
    pMit->stackSize = (UINT8)(stackSize + 1);
    pMit->nextRC = MOS_RC__SUCCESS;
}

void mosMit_Start(MosMit *pMit, MosMit_CK pStartFunc)
{
    mosMit_PrepareStart(pMit, pStartFunc);
    mosMit_SetState(pMit, MOS_MIT_STATE__READY);
    pMit->pSched->pSchedCK(pMit);
}

void mosMit_StartNow(MosMit *pMit, MosMit_CK pStartFunc)
{
    mosMit_PrepareStart(pMit, pStartFunc);
    MosMit *pPrev = mosUmt_GetCurrMit();
    mosUmt_SetCurrMit(pMit);
    mosMit_SetState(pMit, MOS_MIT_STATE__RUNNING);
    pMit->liveIndex = 1;
    mosMit_EntryWrapper(pMit, MOS_RC__SUCCESS);
    mosUmt_SetCurrMit(pPrev);
}

void mosMit_Run(MosMit *pMit, Mos_RC rc)
{
    MosMit *pPrev = mosUmt_GetCurrMit();
    mosUmt_SetCurrMit(pMit);
    pMit->pTls = nullptr;
    mosMit_RunTop(pMit, rc);
    mosUmt_SetCurrMit(pPrev);
}

void mosMit_RunWithTLS(MosMit *pMit, Mos_RC rc, void *pTls)
{
    pMit->pTls = pTls;
    mosMit_RunTop(pMit, rc);
}

void mosMit_GenCKRun(void *pContext, Mos_RC rc)
{
    mosMit_Run(static_cast<MosMit *>(pContext), rc);
}

static void mosMit_MakeReady(MosMit *pMit, Mos_RC rc)
{
    MOS_ASSERT_WITH_DESC((pMit->state == MOS_MIT_STATE__READY) || (pMit->state == MOS_MIT_STATE__SUSPENDED), "");
    pMit->nextRC = rc;
    mosMit_SetState(pMit, MOS_MIT_STATE__READY);
}

void mosMit_Resume(MosMit *pMit, Mos_RC rc)
{
    mosMit_MakeReady(pMit, rc);
    pMit->pSched->pSchedCK(pMit);
}

void mosMit_ResumeNow(MosMit *pMit, Mos_RC rc)
{
    mosMit_MakeReady(pMit, rc);
    pMit->pSched->pSchedNextCK(pMit);
}

void mosMit_GenCKSched(void *pContext, Mos_RC rc)
{
    mosMit_Resume(static_cast<MosMit *>(pContext), rc);
}

Mos_RC mosMit_Call(MosMit *pMit, MosMit_CK ck)
{
    UINT8 idx = (UINT8)(pMit->stackIndex + 1);
    MOS_ASSERT_WITH_DESC(idx < pMit->stackSize, "micro-task stack overflow");
    pMit->stack[idx].ck = ck;
    pMit->stack[idx].rp = 0;
    pMit->stackIndex = idx;
    if (pMit->liveIndex > idx)
        pMit->liveIndex = idx;
    return ck(pMit, MOS_RC__SUCCESS);
}

Mos_RC mosMit_Return(MosMit *pMit, Mos_RC rc)
{
    UINT8 idx = pMit->stackIndex;
    MOS_ASSERT_WITH_DESC(idx > 0, "micro-task stack underflow");
    pMit->stack[idx].rp = 0;
    pMit->stackIndex = (UINT8)(idx - 1);
    if (idx >= pMit->liveIndex)
        return rc; // the caller's frame is waiting for it
    return pMit->stack[idx - 1].ck(pMit, rc);
}

void mosMit_PrepareSuspend(MosMit *pMit, uintptr_t rp, BOOL bTimed)
{
    mosMit_SetRP(pMit, rp);
    mosMit_SetStateUnstamped(pMit, bTimed ? MOS_MIT_STATE__TIMED_SUSPENDED : MOS_MIT_STATE__SUSPENDED);
}

void mosMit_CancelSuspend(MosMit *pMit)
{
    mosMit_SetStateUnstamped(pMit, MOS_MIT_STATE__RUNNING);
}

Mos_RC mosMit_Join(MosMit *pMit, MosMit *pMitToJoin)
{
    MOS_ASSERT(pMitToJoin->joinRef != 0);
    pMitToJoin->pWaiter = pMit;
    UINT32 old = __atomic_fetch_sub(&pMitToJoin->joinRef, 1, __ATOMIC_ACQ_REL);
    if (old == 2)
        return MOS_RC__PENDING; // its entry wrapper resumes us with its result
    MOS_ASSERT_WITH_DESC(old == 1, "a micro-task joined twice");
    MOS_ASSERT(pMitToJoin->state == MOS_MIT_STATE__DEAD);
    Mos_RC rc = pMitToJoin->nextRC;
    pMitToJoin->pDtorCK(pMitToJoin);
    return rc;
}

Mos_RC mosMit_JoinSync(MosMit *pMit)
{
    MOS_ASSERT(pMit->joinRef != 0);
    MosMit_OsJoiner joiner;
    mosFastlockBase_AdaptiveCreate(&joiner.lock, MOS_MIT__JOIN_SYNC_LOCK_ID, __FILE__, __LINE__);
    mosOSWCond_Init(&joiner.cond);
    joiner.bWakeup = FALSE;
    joiner.result = MOS_RC__SUCCESS;
    pMit->pWaiter = reinterpret_cast<void *>(reinterpret_cast<uintptr_t>(&joiner) | 1u);
    UINT32 old = __atomic_fetch_sub(&pMit->joinRef, 1, __ATOMIC_ACQ_REL);
    Mos_RC rc;
    if (old != 1) {
        MOS_ASSERT_WITH_DESC(old == 2, "a micro-task joined twice");
        mosFastlockBase_Acquire(&joiner.lock);
        while (!joiner.bWakeup)
            mosOSWCond_Wait(&joiner.cond, &joiner.lock);
        rc = joiner.result;
        mosFastlockBase_Release(&joiner.lock);
        MOS_ASSERT(joiner.bWakeup == TRUE);
    } else {
        MOS_ASSERT(pMit->state == MOS_MIT_STATE__DEAD);
        rc = pMit->nextRC;
        pMit->pDtorCK(pMit);
    }
    mosOSWCond_Destroy(&joiner.cond);
    mosFastlockBase_Destroy(&joiner.lock);
    return rc;
}

void mosMit_DbgPrint(MosMit *pMit)
{
    for (UINT32 i = 0; i <= pMit->stackIndex && i < pMit->stackSize; i++) {
        const MosMit_StackElem *pElem = &pMit->stack[i];
        MOS_UNUSED(pElem);
    }
}

void mosMit_PanicBadRP(const MosMit *pMit)
{
    MOS_ERROR(MOS_COMP_MOS, "micro-task %p step %u has an unknown resume point %lu", (const void *)pMit,
              (unsigned)pMit->stackIndex, (unsigned long)mosMit_GetRP(pMit));
    MOS_UNREACHABLE("unknown micro-task resume point");
}
