// Scheduler threads, placement policies, resize and CPU binding (the guard: mos_umt_sched_guard.cpp).
#include "mos/umt/mos_umt_sched_thrd_intrn.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <x86intrin.h>

#include "mos/mos_blocking.h"
#include "mos/mos_assert.h"
#include "mos/mos_diag_counters.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_text.h"
#include "mos/mos_time.h"

MosUmtSchedThrd_Layer schedThrdLayer_G;

namespace {

constexpr const char *kPolicyNames[MOS_UMT_SCHED_THRD_POLICY__LAST] = {"LEAST_Q_DEPTH", "LEAST_Q_DEPTH_FULL", "RR",
                                                                         "SOFT_AFFINITY"};

inline MosUmt_SchedThrd *mosUmtSchedThrd_FromBase(MosUmt_Sched *pBase)
{
    return MOS_CONTAINER_OF(pBase, MosUmt_SchedThrd, base);
}

inline UINT32 mosUmtSchedThrd_Depth(const MosUmtSchedThrd_Thrd *pThrd, BOOL bFull)
{
    UINT32 depth = mosAtomicLoad(&pThrd->localWaiters.counter) + mosAtomicLoad(&pThrd->remoteWaites.counter);
    if (bFull && mosAtomicLoad(&pThrd->bActive))
        depth++;
    return depth;
}

inline BOOL mosUmtSchedThrd_IsDying(const MosUmtSchedThrd_Thrd *pThrd)
{
    return mosAtomicLoad(&pThrd->bDie);
}

// The scheduler thread of pSched that the calling OS thread runs, if any.
inline MosUmtSchedThrd_Thrd *mosUmtSchedThrd_Mine(MosUmt_SchedThrd *pSched)
{
    MosUmt_Tls *pTls = mosUmt_GetTls();
    return pTls->pSched == &pSched->base ? static_cast<MosUmtSchedThrd_Thrd *>(pTls->pSchedThrd) : nullptr;
}

// Takes one off numOfOngoingOps; when none is left, the guard samples the new thread count.
void mosUmtSchedThrd_OngoingOpDone(MosUmt_SchedThrd *pSched)
{
    MosFastlockGuard guard(&pSched->lock);
    MOS_ASSERT(0 != pSched->numOfOngoingOps);
    pSched->numOfOngoingOps--;
    if (pSched->numOfOngoingOps == 0) {
        pSched->curGuardThrdNum = pSched->targetGuardThrdNum;
        MOS_TRACE(MOS_COMP_UTHREAD, MOS_FREQ_MED, "Now guarding %d threads.", (int)pSched->curGuardThrdNum);
    }
}
} // namespace

struct MosUmtSchedThrd_BlockRequest {
    MosBlocking_Req req;
    MosUmtSchedThrd_Thrd *pThrd;
};

const char *mosUmtSchedThrd_PolicyName(UINT32 policy)
{
    return policy < MOS_UMT_SCHED_THRD_POLICY__LAST ? kPolicyNames[policy] : "POLICY_UNKNOWN";
}

const MosUmtSchedThrd_Layer *mosUmtSchedThrdLayer_Get(void)
{
    return &schedThrdLayer_G;
}

// ---------------------------------------------------------------------------------------------
// Picking and running

// The dead-guard check: a guarded thread that the guard has not sampled for the panic ratio of
// intervals means that the guard no longer runs.
static void mosUmtSchedThrd_CheckGuardAlive(MosUmt_SchedThrd *pSched, MosUmtSchedThrd_Thrd *pThrd, MosTicks_Cnt now)
{
    MosTicks_Cnt maxIdle = mosAtomicLoad(&pSched->maxIdleTicks);
    if (maxIdle == 0 || mosAtomicLoad(&pSched->bMaxIdleTicksJustChanged))
        return;
    // `now` comes from the coarse clock, read once per pick.
    MosTicks_Cnt sampled = mosAtomicLoad(&pThrd->activitySampleTick);
    // The guard may have stored a sample after this reading, or read its clock on another CPU a
    // tick later: a sample at or after the reading is fresh, not one from long ago.
    if (!mosTicks_IsFirstBigger(now, sampled))
        return;
    const MosTicks_Cnt ticksSinceGuardSample = mosTicks_DiffInTicks(now, sampled);
    const MosTicks_Cnt deadGuardTicks = maxIdle * schedThrdLayer_G.guard.deadGuardPanicRatio;
    if (ticksSinceGuardSample < deadGuardTicks)
        return;
    // Only the first thread to find the guard dead stops the process; the others carry on. The
    // report names what broke: the guard has not sampled this thread for the panic ratio of
    // intervals.
    if (__atomic_fetch_add(&schedThrdLayer_G.guard.atomicPanicCounter, 1u, __ATOMIC_SEQ_CST) == 0)
        MOS_ASSERT_WITH_DESC(ticksSinceGuardSample < deadGuardTicks, "Scheduler guard seems to be dead");
}

// The next uthread this thread runs, or null: each queue gives at most three in a row before the
// other one gets its turn.
static inline __attribute__((always_inline)) MosUmt *mosUmtSchedThrd_PickNext(MosUmtSchedThrd_Thrd *pThrd)
{
    MosUmt *pNext = nullptr;
    for (int look = 0; look < 2 && pNext == nullptr; look++) {
        MOS_ASSERT(pThrd->consecUmt < MOS_UMT_SCHED_THRD__Q_MAX_CONSEC_UMT);
        MosDList_Node *pNode = nullptr;
        if (pThrd->bLocalQ) {
            pNode = mosDList_RemoveHead(&pThrd->localWaiters);
        } else if (mosAtomicLoad(&pThrd->remoteWaites.counter) != 0) {
            MosFastlockGuard guard(&pThrd->lock);
            pNode = mosDList_RemoveHead(&pThrd->remoteWaites);
        }
        if (pNode != nullptr) {
            pNext = MOS_CONTAINER_OF(pNode, MosUmt, node);
            if (pThrd->bLocalQ)
                pThrd->localScheds++;
            else
                pThrd->remoteScheds++;
            if (pThrd->consecUmt == MOS_UMT_SCHED_THRD__Q_MAX_CONSEC_UMT - 1) {
                pThrd->consecUmt = 0;
                pThrd->bLocalQ = !pThrd->bLocalQ;
            } else {
                pThrd->consecUmt++;
            }
        } else {
            pThrd->bLocalQ = !pThrd->bLocalQ;
            pThrd->consecUmt = 0;
        }
    }
    return pNext;
}

// What happens on every pick before the switch to pNext. The one clock read of a pick (the
// coarse clock: it runs on every switch) serves the dead-guard check and the slice start.
static inline __attribute__((always_inline)) void mosUmtSchedThrd_PrepareRun(MosUmt_SchedThrd *pSched,
                                                                             MosUmtSchedThrd_Thrd *pThrd,
                                                                             MosUmt *pNext)
{
    // The back-trace writer of the panic path holds every scheduler thread here.
    while (mosAtomicLoad(&schedThrdLayer_G.bIsPaused))
        mos_NanoSleep(MOS_UMT_SCHED_THRD__PAUSE_POLL_INTERVAL_NS);
    mosAtomicStore(&pThrd->activityGen, mosAtomicLoad(&pThrd->activityGen) + 1);
    pThrd->pRunningUmt = pNext;
    pThrd->pickTick = mosTicks_GetCurrentThreadTickCoarse();
    // The thread clock is the tick clock unless uthreads measure CPU time.
    const BOOL bTickClock = mosTicks_ThreadClockIsTickClock();
    mosUmtSchedThrd_CheckGuardAlive(pSched, pThrd, bTickClock ? pThrd->pickTick : mosTicks_GetCurrentTickCoarse());
}

MosTicks_Cnt mosUmtSchedThrd_PickTick(const MosUmt_Tls *pTls)
{
    return static_cast<const MosUmtSchedThrd_Thrd *>(pTls->pSchedThrd)->pickTick;
}

void mosUmtSchedThrd_SuspendCK(MosUmt_Sched *pBase)
{
    MosUmt_SchedThrd *pSched = mosUmtSchedThrd_FromBase(pBase);
    MosUmtSchedThrd_Thrd *pThrd = static_cast<MosUmtSchedThrd_Thrd *>(mosUmt_GetTls()->pSchedThrd);
    MOS_ASSERT(pThrd->pSched == pSched);
    MosUmt *pNext = mosUmtSchedThrd_PickNext(pThrd);
    if (pNext == nullptr) {
        pThrd->pRunningUmt = nullptr;
        mosUmt_SwitchToContext(pThrd->pBaseContext, mosUmtFiber_SlotBottom(&pThrd->baseFiber),
                               mosUmtFiber_SlotSize(&pThrd->baseFiber));
        return;
    }
    mosUmtSchedThrd_PrepareRun(pSched, pThrd, pNext);
    mosUmt_JumpTo(pNext);
}

MosUmt *mosUmtSchedThrd_YieldLocal(MosUmt_Tls *pTls, MosUmt *pUmt, BOOL *pbNothingReady)
{
    MosUmt_SchedThrd *pSched = mosUmtSchedThrd_FromBase(pTls->pSched);
    MosUmtSchedThrd_Thrd *pMine = static_cast<MosUmtSchedThrd_Thrd *>(pTls->pSchedThrd);
    *pbNothingReady = FALSE;
    if (pMine == nullptr)
        return nullptr;
    // The first choice of the queue-depth policies: a uthread that is not important stays on
    // its thread while that thread's queues are short. Anything else goes the general way.
    const UINT32 policy = pSched->schedPolicy;
    if (pUmt->bImportant || mosUmtSchedThrd_IsDying(pMine) ||
        (policy != MOS_UMT_SCHED_THRD_POLICY__LEAST_Q_DEPTH && policy != MOS_UMT_SCHED_THRD_POLICY__LEAST_Q_DEPTH_FULL))
        return nullptr;
    // Its depth as the general path would see it: after the pick below, which takes one of the
    // queued uthreads, if any (only this thread takes from its queues).
    const BOOL bQueued = pMine->localWaiters.counter != 0 || mosAtomicLoad(&pMine->remoteWaites.counter) != 0;
    const UINT32 depth = mosUmtSchedThrd_Depth(pMine, policy == MOS_UMT_SCHED_THRD_POLICY__LEAST_Q_DEPTH_FULL);
    if ((bQueued ? depth - 1 : depth) > pSched->umtQuota)
        return nullptr;
    if (!bQueued) {
        *pbNothingReady = TRUE; // it would come straight back here
        return nullptr;
    }
    MosUmt *pNext = mosUmtSchedThrd_PickNext(pMine);
    if (pNext == nullptr) {
        *pbNothingReady = TRUE;
        return nullptr;
    }
    mosDList_InsertTail(&pMine->localWaiters, &pUmt->node);
    mosUmtSchedThrd_PrepareRun(pSched, pMine, pNext);
    return pNext;
}

// Where a scheduler thread returns whenever nothing is runnable: it finalises what switched away,
// waits for work and switches to the next uthread, saving itself in pBaseContext each time.
static void mosUmtSchedThrd_BaseLoop(MosUmtSchedThrd_Thrd *pThrd)
{
    MosUmt_SchedThrd *pSched = pThrd->pSched;
    for (;;) {
        mosUmt_FinalizeSuspend();
        if (pThrd->localWaiters.counter == 0) {
            mosFastlockBase_Acquire(&pThrd->lock);
            if (pThrd->remoteWaites.counter == 0) {
                if (pThrd->bDie) {
                    MOS_ASSERT((((&pThrd->localWaiters)->counter) == 0));
                    MOS_ASSERT((((&pThrd->remoteWaites)->counter) == 0));
                    mosAtomicStore(&pThrd->bActive, FALSE);
                    mosFastlockBase_Release(&pThrd->lock);
                    return;
                }
                mosAtomicStore(&pThrd->bActive, FALSE);
                if (pThrd->bPoll) {
                    mosFastlockBase_Release(&pThrd->lock);
                    while (!__atomic_load_n(&pThrd->bActive, __ATOMIC_ACQUIRE))
                        _mm_pause();
                    mosFastlockBase_Acquire(&pThrd->lock);
                } else {
                    mosOSWCond_Wait(&pThrd->cond, &pThrd->lock);
                }
                mosAtomicStore(&pThrd->activityGen, mosAtomicLoad(&pThrd->activityGen) + 1);
                mosAtomicStore(&pThrd->bActive, TRUE);
            }
            mosFastlockBase_Release(&pThrd->lock);
        }
        MosUmt *pNext = mosUmtSchedThrd_PickNext(pThrd);
        if (pNext == nullptr)
            continue;
        mosUmtSchedThrd_PrepareRun(pSched, pThrd, pNext);
        mosUmt_GetTls()->pLeavingCtxt = pThrd->pBaseContext;
        mosUmtFiber_SetLeaving(&pThrd->baseFiber);
        mosUmt_JumpTo(pNext);
        mosUmtFiber_Arrive(&pThrd->baseFiber);
    }
}

static void mosUmtSchedThrd_Entry(void *pArg)
{
    MosUmtSchedThrd_Thrd *pThrd = static_cast<MosUmtSchedThrd_Thrd *>(pArg);
    MosUmt_SchedThrd *pSched = pThrd->pSched;
    MosUmt_Tls *pTls = mosUmt_GetTls();
    pTls->pSched = &pSched->base;
    pTls->pSchedThrd = pThrd;
    pTls->pUmt = nullptr;
    MosUmt_Context baseContext;
    pThrd->pBaseContext = &baseContext;
#if PELLAR_SANITIZE
    {
        pthread_attr_t attr;
        MOS_ASSERT(pthread_getattr_np(pthread_self(), &attr) == 0);
        void *pAddr = nullptr;
        size_t size = 0;
        MOS_ASSERT(pthread_attr_getstack(&attr, &pAddr, &size) == 0);
        pthread_attr_destroy(&attr);
        pThrd->baseFiber.ownStack.pBottom = pAddr;
        pThrd->baseFiber.ownStack.size = size;
    }
#endif
    mosAtomicStore(&pThrd->bActive, TRUE);
    mosAtomicStore(&pThrd->activityGen, 1u);
    mosAtomicStore(&pThrd->activitySampleTick, mosTicks_GetCurrentTick());
    mosUmtSchedThrd_OngoingOpDone(pSched);
    mosUmtSchedThrd_BaseLoop(pThrd);
    pThrd->pBaseContext = nullptr;
    pTls = mosUmt_GetTls();
    pTls->pSched = nullptr;
    pTls->pSchedThrd = nullptr;
}

// ---------------------------------------------------------------------------------------------
// Placement

MosUmtSchedThrd_Thrd *mosUmtSchedThrd_LeastQDepth(MosUmt_SchedThrd *pSched, MosUmt *pUmt,
                                                  MosUmtSchedThrd_Thrd *pMine, BOOL bFull)
{
    if (!pUmt->bImportant && pMine != nullptr && !mosUmtSchedThrd_IsDying(pMine) &&
        mosUmtSchedThrd_Depth(pMine, bFull) <= pSched->umtQuota)
        return pMine;
    MosUmtSchedThrd_Thrd *pChosenThrd = nullptr;
    UINT32 minDepth = 0;
    for (UINT32 i = 0; i < pSched->maxNumOfThreads; i++) {
        MosUmtSchedThrd_Thrd *pThrd = &pSched->pThrds[i];
        if (mosUmtSchedThrd_IsDying(pThrd))
            continue;
        UINT32 depth = mosUmtSchedThrd_Depth(pThrd, bFull);
        if (!pUmt->bImportant && depth <= pSched->umtQuota)
            return pThrd;
        if (pChosenThrd == nullptr || depth < minDepth) {
            pChosenThrd = pThrd;
            minDepth = depth;
        }
    }
    MOS_ASSERT(pChosenThrd != ((void *)0));
    return pChosenThrd;
}

MosUmtSchedThrd_Thrd *mosUmtSchedThrd_RR(MosUmt_SchedThrd *pSched)
{
    MosUmtSchedThrd_Thrd *pThrd = nullptr;
    for (UINT32 tries = 0; tries <= pSched->maxNumOfThreads; tries++) {
        UINT32 next = __atomic_add_fetch(&pSched->nextThrdToRun, 1u, __ATOMIC_RELAXED);
        UINT32 num = mosAtomicLoad(&pSched->thrdNum);
        pThrd = &pSched->pThrds[next % (num != 0 ? num : 1)];
        if (!mosUmtSchedThrd_IsDying(pThrd))
            break;
    }
    return pThrd;
}

MosUmtSchedThrd_Thrd *mosUmtSchedThrd_SOFT_AFFINITY(MosUmt_SchedThrd *pSched, MosUmt *pUmt)
{
    UINT32 num = mosAtomicLoad(&pSched->thrdNum);
    MosUmtSchedThrd_Thrd *pThrd = &pSched->pThrds[pUmt->idInClass % (num != 0 ? num : 1)];
    if (!mosUmtSchedThrd_IsDying(pThrd))
        return pThrd;
    // Its thread is being stopped: the first live one takes it instead of waiting.
    for (UINT32 i = 0; i < pSched->maxNumOfThreads; i++) {
        if (!mosUmtSchedThrd_IsDying(&pSched->pThrds[i]))
            return &pSched->pThrds[i];
    }
    return pThrd;
}

void mosUmtSchedThrd_SchedCK(MosUmt_Sched *pBase, MosUmt *pUmt)
{
    MosUmt_SchedThrd *pSched = mosUmtSchedThrd_FromBase(pBase);
    MosUmtSchedThrd_Thrd *pMine = mosUmtSchedThrd_Mine(pSched);
    UINT32 allowedRetrysLeft = MOS_UMT_SCHED_THRD__MAX_PLACEMENT_RETRIES;
    for (;;) {
        MosUmtSchedThrd_Thrd *pThrd;
        switch (pSched->schedPolicy) {
        case MOS_UMT_SCHED_THRD_POLICY__RR:
            pThrd = mosUmtSchedThrd_RR(pSched);
            break;
        case MOS_UMT_SCHED_THRD_POLICY__SOFT_AFFINITY:
            pThrd = mosUmtSchedThrd_SOFT_AFFINITY(pSched, pUmt);
            break;
        case MOS_UMT_SCHED_THRD_POLICY__LEAST_Q_DEPTH_FULL:
            pThrd = mosUmtSchedThrd_LeastQDepth(pSched, pUmt, pMine, TRUE);
            break;
        default:
            pThrd = mosUmtSchedThrd_LeastQDepth(pSched, pUmt, pMine, FALSE);
            break;
        }
        if (pThrd == pMine && !mosUmtSchedThrd_IsDying(pThrd)) {
            mosDList_InsertTail(&pThrd->localWaiters, &pUmt->node);
            return;
        }
        mosFastlockBase_Acquire(&pThrd->lock);
        if (pThrd->bDie) {
            mosFastlockBase_Release(&pThrd->lock);
            mosDiagCounters_Count(MOS_DIAG_COUNTER__DYING_SCHEDULER_PICKED);
            allowedRetrysLeft--;
            MOS_ASSERT(0 != allowedRetrysLeft);
            continue;
        }
        BOOL bWasEmpty = pThrd->remoteWaites.counter == 0;
        mosDList_InsertTail(&pThrd->remoteWaites, &pUmt->node);
        if (bWasEmpty && !pThrd->bActive) {
            mosAtomicStore(&pThrd->bActive, TRUE);
            mosFastlockBase_Release(&pThrd->lock);
            if (!pThrd->bPoll)
                mosOSWCond_Signal(&pThrd->cond);
        } else {
            mosFastlockBase_Release(&pThrd->lock);
        }
        return;
    }
}

BOOL mosUmtSchedThrd_ShouldYieldCK(void)
{
    MosUmtSchedThrd_Thrd *pThrd = static_cast<MosUmtSchedThrd_Thrd *>(mosUmt_GetTls()->pSchedThrd);
    if (pThrd == nullptr)
        return FALSE;
    return (mosAtomicLoad(&pThrd->remoteWaites.counter) != 0 || pThrd->localWaiters.counter != 0) ? TRUE : FALSE;
}

void mosUmtSchedThrd_SetSchedPolicy(MosUmt_SchedThrd *pSched, MosUmtSchedThrd_Policy policy)
{
    MOS_ASSERT(policy < MOS_UMT_SCHED_THRD_POLICY__LAST);
    pSched->schedPolicy = policy;
}

// ---------------------------------------------------------------------------------------------
// Thread starts and stops

static Mos_RC mosUmtSchedThrd_StartInitializedThrd(MosUmt_SchedThrd *pSched, UINT32 index)
{
    MosUmtSchedThrd_Thrd *pThrd = &pSched->pThrds[index];
    MOS_ASSERT(pThrd->bDie);
    MOS_ASSERT((((&pThrd->localWaiters)->counter) == 0));
    MOS_ASSERT((((&pThrd->remoteWaites)->counter) == 0));
    mosAtomicStore(&pThrd->bDie, FALSE);
    pThrd->pRunningUmt = nullptr;
    // The OS thread keeps the name's address: the scheduler's own copy outlives it.
    Mos_RC rc = mosOsThrd_CreateNamed(&pThrd->osThrd, mosUmtSchedThrd_Entry, pThrd, pSched->name);
    if (rc != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_UTHREAD, MOS_FREQ_LOW, "WARNING: Failed to start pThrd %p with rc %s", (void *)pThrd,
                  MOS_RC__GET_STR(rc));
        mosAtomicStore(&pThrd->bDie, TRUE);
        mosDiagCounters_Count(MOS_DIAG_COUNTER__FAILED_TO_CREATE_THRD);
        return rc;
    }
    if (pSched->bHighPrioThrds) {
        Mos_RC prioRc = mosOsThrd_SetHighPrio(&pThrd->osThrd);
        if (prioRc != MOS_RC__SUCCESS)
            MOS_TRACE(MOS_COMP_UTHREAD, MOS_FREQ_LOW, "WARNING: Failed to set high priority to pThrd %p with rc %s",
                      (void *)pThrd, MOS_RC__GET_STR(prioRc));
    }
    return MOS_RC__SUCCESS;
}

void mosUmtSchedThrd_DestroyThrd(MosUmtSchedThrd_Thrd *pThrd)
{
    mosFastlockBase_Acquire(&pThrd->lock);
    mosAtomicStore(&pThrd->bDie, TRUE);
    mosAtomicStore(&pThrd->bActive, TRUE);
    mosOSWCond_Signal(&pThrd->cond);
    mosFastlockBase_Release(&pThrd->lock);
    // The thread leaves its run loop once both its queues are empty.
    mosOsThrd_Destroy(&pThrd->osThrd);
    mosUmtSchedThrd_OngoingOpDone(pThrd->pSched);
}

static int mosUmtSchedThrd_DestroyThrdWork(void *pContext)
{
    mosUmtSchedThrd_DestroyThrd(static_cast<MosUmtSchedThrd_BlockRequest *>(pContext)->pThrd);
    return 0;
}

static void mosUmtSchedThrd_DestroyThrdDone(MosAsyncObj *pObj, INT32 rc)
{
    MOS_UNUSED(rc);
    free(MOS_CONTAINER_OF(pObj, MosUmtSchedThrd_BlockRequest, req.asyncObj));
}

// ---------------------------------------------------------------------------------------------
// Creation, resize, destruction

static Mos_RC mosUmtSchedThrd_CreateIntrn(MosUmt_SchedThrd *pSched, const CHAR_A *pName, UINT32 maxNumOfThreads,
                                          UINT32 numThreads, UINT32 quota, BOOL bHighPrioThrds, BOOL bPoll)
{
    memset(static_cast<void *>(pSched), 0, sizeof(*pSched));
    if (numThreads < 1 || numThreads > maxNumOfThreads) {
        MOS_ERROR(MOS_COMP_UTHREAD, "numThreads (%u) out of bound [1..%u]", numThreads, maxNumOfThreads);
        return MOS_RC__PARAMETER_OUT_OF_RANGE;
    }
    MOS_FASTLOCK_CREATE(&pSched->lock, MOS_UMT_LOCK_ID__SCHED_THRD);
    pSched->schedPolicy = MOS_UMT_SCHED_THRD_POLICY__LEAST_Q_DEPTH;
    size_t bytes = sizeof(MosUmtSchedThrd_Thrd) * maxNumOfThreads;
    pSched->pThrds = static_cast<MosUmtSchedThrd_Thrd *>(aligned_alloc(MOS_UMT_SCHED_THRD__CACHE_LINE, bytes));
    if (pSched->pThrds == nullptr) {
        mosFastlockBase_Destroy(&pSched->lock);
        memset(static_cast<void *>(pSched), 0, sizeof(*pSched));
        return MOS_RC__NO_RESOURCES;
    }
    memset(static_cast<void *>(pSched->pThrds), 0, bytes);
    pSched->bHighPrioThrds = bHighPrioThrds;
    pSched->bPoll = bPoll;
    pSched->umtQuota = quota;
    pSched->maxNumOfThreads = maxNumOfThreads;
    pSched->numOfOngoingOps = numThreads;
    pSched->targetGuardThrdNum = numThreads;
    snprintf(pSched->name, sizeof(pSched->name), "%s", pName != nullptr ? pName : "");
    mosDList_InitNode(&pSched->guardThreadNode);
    for (UINT32 i = 0; i < maxNumOfThreads; i++) {
        MosUmtSchedThrd_Thrd *pThrd = &pSched->pThrds[i];
        mosDList_InitAnchor(&pThrd->localWaiters);
        mosDList_InitAnchor(&pThrd->remoteWaites);
        if (bPoll) {
            MOS_FASTLOCK_CREATE_SPIN(&pThrd->lock, MOS_UMT_LOCK_ID__SCHED_THRD_THRD);
            pThrd->bPoll = TRUE;
        } else {
            MOS_FASTLOCK_CREATE_ADAPTIVE(&pThrd->lock, MOS_UMT_LOCK_ID__SCHED_THRD_THRD);
        }
        mosOSWCond_Init(&pThrd->cond);
        pThrd->pSched = pSched;
        pThrd->bDie = TRUE;
    }
    // Operations must be in place before the first thread picks anything.
    pSched->base.pSchedCK = mosUmtSchedThrd_SchedCK;
    pSched->base.pSuspendCK = mosUmtSchedThrd_SuspendCK;
    pSched->base.pShouldYieldCK = mosUmtSchedThrd_ShouldYieldCK;
    pSched->base.pResizeCK = mosUmtSchedThrd_ResizeCK;
    for (UINT32 i = 0; i < numThreads; i++) {
        Mos_RC rc = mosUmtSchedThrd_StartInitializedThrd(pSched, i);
        if (rc != MOS_RC__SUCCESS) {
            MOS_ERROR(MOS_COMP_UTHREAD, "Failed to start thread %u for scheduler %p", i, (void *)pSched);
            // The threads that never started will never report in: take them off the pending
            // operations, or the destruction below would wait for them in vain.
            {
                MosFastlockGuard guard(&pSched->lock);
                pSched->numOfOngoingOps -= numThreads - pSched->thrdNum;
                pSched->targetGuardThrdNum = pSched->thrdNum;
            }
            mosUmtSchedThrd_Destroy(pSched);
            return rc;
        }
        pSched->thrdNum++;
    }
    mosObjType_RegObj(&schedThrdLayer_G.objType, &pSched->obj, pSched->name);
    {
        MosFastlockGuard guard(&schedThrdLayer_G.guard.lock);
        mosDList_InsertTail(&schedThrdLayer_G.guard.threadList, &pSched->guardThreadNode);
    }
    mosUmtSchedThrd_SetLivnessThreshold(
        pSched, static_cast<UINT32>(mosTicks_TicksToMillis(schedThrdLayer_G.guard.defaultIdleTicks)));
    return MOS_RC__SUCCESS;
}

Mos_RC mosUmtSchedThrd_Create(MosUmt_SchedThrd *pSched, const CHAR_A *pName, UINT32 maxNumThreads, UINT32 numThreads,
                              UINT32 quota)
{
    return mosUmtSchedThrd_CreateIntrn(pSched, pName, maxNumThreads, numThreads, quota, FALSE, FALSE);
}

Mos_RC mosUmtSchedThrd_CreateEx(MosUmt_SchedThrd *pSched, const CHAR_A *pName, UINT32 maxOsThreads,
                                UINT32 numThreads, UINT32 quota, BOOL bHighPrioThrds, BOOL bPoll)
{
    return mosUmtSchedThrd_CreateIntrn(pSched, pName, maxOsThreads, numThreads, quota, bHighPrioThrds, bPoll);
}

Mos_RC mosUmtSched_Resize(MosUmt_Sched *pSched, UINT32 numOfThrds)
{
    if (pSched == nullptr)
        pSched = mosUmt_GetDefaultScheduler();
    if (pSched->pResizeCK == nullptr)
        return MOS_RC__INVALID;
    return pSched->pResizeCK(pSched, numOfThrds);
}

Mos_RC mosUmtSchedThrd_ResizeCK(MosUmt_Sched *pBase, UINT32 numOfThrds)
{
    MosUmt_SchedThrd *pSched = mosUmtSchedThrd_FromBase(pBase);
    if (numOfThrds < 1 || numOfThrds > pSched->maxNumOfThreads) {
        MOS_TRACE(MOS_COMP_UTHREAD, MOS_FREQ_LOW, "pSchedThrd %p requested number %u is out of the allowed range [1..%u]",
                  (void *)pSched, numOfThrds, pSched->maxNumOfThreads);
        return MOS_RC__PARAMETER_OUT_OF_RANGE;
    }
    UINT32 ops;
    {
        MosFastlockGuard guard(&pSched->lock);
        if (pSched->numOfOngoingOps != 0) {
            MOS_TRACE(MOS_COMP_UTHREAD, MOS_FREQ_LOW, "pSchedThrd %p is busy with %u tasks", (void *)pSched,
                      pSched->numOfOngoingOps);
            return MOS_RC__BUSY;
        }
        pSched->targetGuardThrdNum = numOfThrds;
        ops = numOfThrds > pSched->thrdNum ? numOfThrds - pSched->thrdNum : pSched->thrdNum - numOfThrds;
        pSched->numOfOngoingOps = ops;
    }
    UINT32 done = 0;
    BOOL bFailed = FALSE;
    if (numOfThrds > pSched->thrdNum) {
        while (pSched->thrdNum < numOfThrds) {
            if (mosUmtSchedThrd_StartInitializedThrd(pSched, pSched->thrdNum) != MOS_RC__SUCCESS) {
                MOS_TRACE(MOS_COMP_UTHREAD, MOS_FREQ_LOW, "Failed to create the %u thread", pSched->thrdNum);
                bFailed = TRUE;
                break;
            }
            __atomic_add_fetch(&pSched->thrdNum, 1u, __ATOMIC_RELAXED);
            done++;
        }
    } else {
        while (pSched->thrdNum > numOfThrds) {
            UINT32 index = pSched->thrdNum - 1;
            MosUmtSchedThrd_Thrd *pThrd = &pSched->pThrds[index];
            MOS_ASSERT(!pThrd->bDie);
            MosUmtSchedThrd_BlockRequest *pReq =
                static_cast<MosUmtSchedThrd_BlockRequest *>(calloc(1, sizeof(MosUmtSchedThrd_BlockRequest)));
            if (pReq == nullptr) {
                MOS_TRACE(MOS_COMP_UTHREAD, MOS_FREQ_LOW,
                          "Failed to allocate a request for the destruction of thread %u scheduler %p", index,
                          (void *)pSched);
                bFailed = TRUE;
                break;
            }
            pReq->pThrd = pThrd;
            pReq->req.workFunc = mosUmtSchedThrd_DestroyThrdWork;
            pReq->req.pContext = pReq;
            pReq->req.asyncObj.pCK = mosUmtSchedThrd_DestroyThrdDone;
            // New placements skip the thread from now on; it drains its queues and ends on a
            // blocking-call thread, so that no scheduler thread waits in a join.
            {
                MosFastlockGuard guard(&pThrd->lock);
                mosAtomicStore(&pThrd->bDie, TRUE);
                mosAtomicStore(&pThrd->bActive, TRUE);
                mosOSWCond_Signal(&pThrd->cond);
            }
            Mos_RC rc = mosBlocking_SubmitWait(nullptr, &pReq->req);
            if (rc != MOS_RC__SUCCESS && rc != MOS_RC__PENDING) {
                MOS_ERROR(MOS_COMP_UTHREAD, "Failed to submit the destruction of thread %u scheduler %p with rc %s",
                          index, (void *)pSched, MOS_RC__GET_STR(rc));
                free(pReq);
                bFailed = TRUE;
                break;
            }
            __atomic_sub_fetch(&pSched->thrdNum, 1u, __ATOMIC_RELAXED);
            done++;
        }
    }
    if (bFailed) {
        MosFastlockGuard guard(&pSched->lock);
        pSched->numOfOngoingOps -= ops - done;
        if (pSched->numOfOngoingOps == 0)
            pSched->curGuardThrdNum = pSched->targetGuardThrdNum = pSched->thrdNum;
        else
            pSched->targetGuardThrdNum = pSched->thrdNum;
        return MOS_RC__NO_RESOURCES;
    }
    return MOS_RC__SUCCESS;
}

void mosUmtSchedThrd_Destroy(MosUmt_SchedThrd *pSched)
{
    UINT32 attempt = 0;
    for (;; attempt++) {
        UINT32 prevOnGoingOps;
        {
            MosFastlockGuard guard(&pSched->lock);
            prevOnGoingOps = pSched->numOfOngoingOps;
            if (prevOnGoingOps == 0) {
                UINT32 live = 0;
                for (UINT32 i = 0; i < pSched->maxNumOfThreads; i++)
                    live += pSched->pThrds[i].bDie ? 0 : 1;
                pSched->numOfOngoingOps = live;
                break;
            }
        }
        if (attempt + 1 >= MOS_UMT_SCHED_THRD__DESTROY_RETRIES)
            MOS_ASSERT(0 == prevOnGoingOps);
        MOS_TRACE(MOS_COMP_UTHREAD, MOS_FREQ_LOW, "Ongoing operations in process on sched %p, will sleep for 1 milli and retry",
                  (void *)pSched);
        mos_NanoSleep(1000000ull);
    }
    if (mosDList_IsLinked(&pSched->guardThreadNode)) {
        MosFastlockGuard guard(&schedThrdLayer_G.guard.lock);
        mosDList_Remove(&schedThrdLayer_G.guard.threadList, &pSched->guardThreadNode);
    }
    if (mosObj_IsRegistered(&pSched->obj))
        mosObjType_UnregObj(&schedThrdLayer_G.objType, &pSched->obj);
    for (UINT32 i = 0; i < pSched->maxNumOfThreads; i++) {
        if (!pSched->pThrds[i].bDie)
            mosUmtSchedThrd_DestroyThrd(&pSched->pThrds[i]);
    }
    for (UINT32 i = 0; i < pSched->maxNumOfThreads; i++) {
        mosFastlockBase_Destroy(&pSched->pThrds[i].lock);
        mosOSWCond_Destroy(&pSched->pThrds[i].cond);
    }
    free(pSched->pThrds);
    mosFastlockBase_Destroy(&pSched->lock);
    memset(static_cast<void *>(pSched), 0, sizeof(*pSched));
}

// ---------------------------------------------------------------------------------------------
// CPU binding and query

INT32 mosUmtSchedThrd_NthCpuInWalk(const UINT8 *pBitMask, UINT32 bitNum, UINT32 n)
{
    // The walk visits the mask byte by byte, and within a byte from its highest CPU down;
    // after the last set CPU it starts again from the first.
    UINT32 numBytes = (bitNum + 7) / 8;
    UINT32 numSet = 0;
    for (UINT32 byte = 0; byte < numBytes; byte++)
        for (int bit = 7; bit >= 0; bit--)
            if (byte * 8 + (UINT32)bit < bitNum && (pBitMask[byte] & (1u << bit)) != 0)
                numSet++;
    if (numSet == 0)
        return -1;
    UINT32 want = n % numSet;
    for (UINT32 byte = 0; byte < numBytes; byte++)
        for (int bit = 7; bit >= 0; bit--) {
            UINT32 cpu = byte * 8 + (UINT32)bit;
            if (cpu < bitNum && (pBitMask[byte] & (1u << bit)) != 0) {
                if (want == 0)
                    return (INT32)cpu;
                want--;
            }
        }
    return -1;
}

Mos_RC mosUmtSchedThrd_BindToCpus(MosUmt_SchedThrd *pSched, const UINT8 *pBitMask, UINT32 bitNum)
{
    if (mosUmtSchedThrd_NthCpuInWalk(pBitMask, bitNum, 0) < 0)
        return MOS_RC__SUCCESS; // an empty mask leaves the threads where they are
    Mos_RC lastRc = MOS_RC__SUCCESS;
    for (UINT32 i = 0; i < pSched->thrdNum; i++) {
        INT32 cpu = mosUmtSchedThrd_NthCpuInWalk(pBitMask, bitNum, i);
        MosUmtSchedThrd_Thrd *pThrd = &pSched->pThrds[i];
        Mos_RC rc = mosOsThrd_BindToCpu(&pThrd->osThrd, (UINT32)cpu);
        if (rc == MOS_RC__SUCCESS) {
            MOS_TRACE(MOS_COMP_UTHREAD, MOS_FREQ_LOW, "Successfully bound to CPU %d (pthread 0x%lx, TID %d).Total bits %d",
                      (int)cpu, (unsigned long)pThrd->osThrd.nativeThrd, (int)pThrd->osThrd.tid, (int)bitNum);
        } else {
            MOS_TRACE(MOS_COMP_UTHREAD, MOS_FREQ_LOW, "Failed to bind to CPU %d (pthread 0x%lx, TID %d).Total bits %d",
                      (int)cpu, (unsigned long)pThrd->osThrd.nativeThrd, (int)pThrd->osThrd.tid, (int)bitNum);
            lastRc = rc;
        }
    }
    return lastRc;
}

void mosUmtSchedThrd_Query(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    MosUmt_SchedThrd *pSched = MOS_CONTAINER_OF(pObj, MosUmt_SchedThrd, obj);
    MosUmtSchedThrd_Query *pQuery = static_cast<MosUmtSchedThrd_Query *>(pData);
    memset(pQuery, 0, sizeof(*pQuery));
    snprintf(pQuery->name, sizeof(pQuery->name), "%s", pName != nullptr ? pName : "");
    snprintf(pQuery->schedPolicy, sizeof(pQuery->schedPolicy), "%s", mosUmtSchedThrd_PolicyName(pSched->schedPolicy));
    UINT32 num = mosAtomicLoad(&pSched->thrdNum);
    pQuery->numThrds = num;
    for (UINT32 i = 0; i < num; i++) {
        MosUmtSchedThrd_Thrd *pThrd = &pSched->pThrds[i];
        UINT32 local = mosAtomicLoad(&pThrd->localWaiters.counter);
        UINT32 remote = mosAtomicLoad(&pThrd->remoteWaites.counter);
        UINT32 depth = local + remote;
        if (mosAtomicLoad(&pThrd->bActive))
            pQuery->numActiveThrds++;
        if (depth > pQuery->maxActive)
            pQuery->maxActive = depth;
        if (depth != 0 && (pQuery->minActive == 0 || depth < pQuery->minActive))
            pQuery->minActive = depth;
        pQuery->remoteScheds += mosAtomicLoad(&pThrd->remoteScheds);
        pQuery->localSched += mosAtomicLoad(&pThrd->localScheds);
        pQuery->remoteWaiters += remote;
        pQuery->localWaiters += local;
    }
}

void mosUmtSchedThrdLayer_Init(void)
{
    memset(static_cast<void *>(&schedThrdLayer_G), 0, sizeof(schedThrdLayer_G));
    schedThrdGuard_Init(&schedThrdLayer_G.guard);
    mosObjType_RegObjType(&schedThrdLayer_G.objType, mosUmtSchedThrd_Query, nullptr,
                          SDBG_EXPORTS_OBJ_TYPE__MOS_UMT_SCHED_THRD, sizeof(MosUmtSchedThrd_Query));
}

void mosUmtSchedThrdLayer_Destroy(void)
{
    mosObjType_UnregObjType(&schedThrdLayer_G.objType);
    schedThrdGuard_Destroy(&schedThrdLayer_G.guard);
    memset(static_cast<void *>(&schedThrdLayer_G), 0, sizeof(schedThrdLayer_G));
}
