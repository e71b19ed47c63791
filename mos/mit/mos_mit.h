// Micro-tasks: start, run, resume, end and join, and the discipline that step functions follow.
//
// A step function is written as a switch over its own resume point, with the macros below:
//
//   Mos_RC conn_Open_CK(MosMit *pMit, Mos_RC rc)
//   {
//       Conn *pConn = static_cast<Conn *>(pMit->pContext);
//       MOS_MIT_BEGIN(pMit);
//       MOS_MIT_CALL(pMit, rc, conn_Resolve_CK);            // rc: what conn_Resolve_CK finished with
//       if (rc != MOS_RC__SUCCESS)
//           MOS_MIT_RETURN(pMit, rc);
//       mosFastlockBase_Acquire(&pConn->lock);
//       MOS_MIT_COND_WAIT(pMit, rc, &pConn->cond, &pConn->lock, 750); // lock held again after it
//       mosFastlockBase_Release(&pConn->lock);
//       MOS_MIT_RETURN(pMit, rc);
//       MOS_MIT_END(pMit);
//   }
//
// Local variables do not survive a wait or a call (the C frame is gone when the step is
// continued); keep state in the task's context, and declare locals inside braces so that no
// declaration is jumped over. A step function that returns, without waiting, to a caller that
// called it with MOS_MIT_CALL continues that caller in place; one that waited continues it by
// calling it, so the whole chain resumes in order on the thread that runs the task.
#pragma once

#include "mos/mit/mos_mit_core.h"

void mosMit_Init(MosMit *pMit, MosMit_Scheduler *pSched, MosMit_DtorCK pDtor, void *pCallerContext, UINT8 stackSize);
void mosMit_DefDtor(MosMit *pMit);
// Queues the task through its scheduler.
void mosMit_Start(MosMit *pMit, MosMit_CK pStartFunc);
// Runs the task on the caller's thread until it first waits (or ends: then its destructor has
// run when this returns).
void mosMit_StartNow(MosMit *pMit, MosMit_CK pStartFunc);
// For schedulers: run a READY task now.
void mosMit_Run(MosMit *pMit, Mos_RC rc);
void mosMit_RunWithTLS(MosMit *pMit, Mos_RC rc, void *pTls);
void mosMit_GenCKRun(void *pContext, Mos_RC rc);
// Make a suspended task ready with the result of its wait.
void mosMit_Resume(MosMit *pMit, Mos_RC rc);
void mosMit_ResumeNow(MosMit *pMit, Mos_RC rc);
void mosMit_GenCKSched(void *pContext, Mos_RC rc);
// Blocks the calling OS thread until a joinable task ends; calls the task's destructor when the
// task ended first. Returns the task's final result.
Mos_RC mosMit_JoinSync(MosMit *pMit);
void mosMit_DbgPrint(MosMit *pMit);

// The step discipline. Use through the macros.
static inline uintptr_t mosMit_GetRP(const MosMit *pMit)
{
    return pMit->stack[pMit->stackIndex].rp;
}
static inline void mosMit_SetRP(MosMit *pMit, uintptr_t rp)
{
    pMit->stack[pMit->stackIndex].rp = rp;
}
// Pushes ck and calls it with MOS_RC__SUCCESS; the caller has set its resume point.
Mos_RC mosMit_Call(MosMit *pMit, MosMit_CK ck);
// Pops the calling step and hands rc to the step below it.
Mos_RC mosMit_Return(MosMit *pMit, Mos_RC rc);
// Before starting an asynchronous service that will resume the task.
void mosMit_PrepareSuspend(MosMit *pMit, uintptr_t rp, BOOL bTimed);
// The service completed at once: the task goes on running.
void mosMit_CancelSuspend(MosMit *pMit);
// Joins pMitToJoin from the task pMit (use with MOS_MIT_WAIT): its final result, or
// MOS_RC__PENDING until it ends. The joined task's destructor runs once it has ended and been
// joined.
Mos_RC mosMit_Join(MosMit *pMit, MosMit *pMitToJoin);
[[noreturn]] void mosMit_PanicBadRP(const MosMit *pMit);

#define MOS_MIT_BEGIN(pMit)                                                                         \
    switch (mosMit_GetRP(pMit)) {                                                                   \
    case 0:

#define MOS_MIT_END(pMit)                                                                           \
    default:                                                                                        \
        break;                                                                                      \
        }                                                                                           \
        mosMit_PanicBadRP(pMit)

// Evaluates expr, which pushes a step and calls it; rc takes its result when it finishes.
#define MOS_MIT_AWAIT(pMit, rc, expr)                                                               \
    mosMit_SetRP((pMit), __LINE__);                                                                 \
    (rc) = (expr);                                                                                  \
    if ((rc) == MOS_RC__PENDING)                                                                    \
        return MOS_RC__PENDING;                                                                     \
    [[fallthrough]];                                                                                \
    case __LINE__:

#define MOS_MIT_CALL(pMit, rc, ck) MOS_MIT_AWAIT(pMit, rc, mosMit_Call((pMit), (ck)))

// Starts an asynchronous service with expr, which answers MOS_RC__PENDING when the service will
// resume the task later; rc takes the result either way.
#define MOS_MIT_WAIT(pMit, rc, bTimed, expr)                                                        \
    mosMit_PrepareSuspend((pMit), __LINE__, (bTimed));                                              \
    (rc) = (expr);                                                                                  \
    if ((rc) == MOS_RC__PENDING)                                                                    \
        return MOS_RC__PENDING;                                                                     \
    mosMit_CancelSuspend(pMit);                                                                     \
    [[fallthrough]];                                                                                \
    case __LINE__:

#define MOS_MIT_RETURN(pMit, rc) return mosMit_Return((pMit), (rc))
