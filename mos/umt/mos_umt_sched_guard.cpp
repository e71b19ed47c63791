// The scheduler guard ("schedThrd guard"): an OS thread that samples guarded schedulers and
// reports one whose thread ran one uthread for a whole interval.
#include "mos/umt/mos_umt_sched_thrd_intrn.h"

#include "mos/mos_assert.h"
#include "mos/mos_diag_counters.h"
#include "mos/mos_osthrd.h"
#include "mos/mos_ticks.h"
#include "mos/mos_trace.h"
#include "mos/usr/linux/mos_condvar.h"

static void schedThrdGuard_SampleLivnes(void *pArg)
{
    MosSchedGuard *pGuard = static_cast<MosSchedGuard *>(pArg);
    MOS_TRACE(MOS_COMP_UTHREAD, MOS_FREQ_LOW, "Sched guard thread is now live");
    mosFastlockBase_Acquire(&pGuard->lock);
    while (!pGuard->bDie) {
        mosOSWCond_TimedWait(&pGuard->osCondVar, &pGuard->lock, pGuard->sleepIntervalInMillis);
        if (pGuard->bDie)
            break;
        MosTicks_Cnt now = mosTicks_GetCurrentTick();
        BOOL bStuck = FALSE;
        for (MosDList_Node *pNode = mosDList_First(&pGuard->threadList); pNode != nullptr;
             pNode = mosDList_Next(pNode)) {
            MosUmt_SchedThrd *pSched = MOS_CONTAINER_OF(pNode, MosUmt_SchedThrd, guardThreadNode);
            MosTicks_Cnt maxIdle = mosAtomicLoad(&pSched->maxIdleTicks);
            if (mosAtomicLoad(&pSched->bMaxIdleTicksJustChanged)) {
                // A new interval: this pass only takes the baseline that the next sample, one
                // interval on, judges against; nothing is reported from it. An interval of 0
                // switches the guard off, which withdraws what it reported before.
                UINT32 num = mosAtomicLoad(&pSched->curGuardThrdNum);
                for (UINT32 i = 0; i < num; i++) {
                    mosAtomicStore(&pSched->pThrds[i].activitySampleTick, now);
                    mosAtomicStore(&pSched->pThrds[i].activityGen, 0u);
                }
                pSched->lastSamplingTick = now;
                pSched->bIsSomeThreadStuck = FALSE;
                mosAtomicStore(&pSched->bMaxIdleTicksJustChanged, FALSE);
                continue;
            }
            if (maxIdle == 0 || now - pSched->lastSamplingTick < maxIdle) {
                bStuck = bStuck || pSched->bIsSomeThreadStuck;
                continue;
            }
            MOS_NOISE(MOS_COMP_UTHREAD, "Sampling SchedThrd %p", (void *)pSched);
            pSched->bIsSomeThreadStuck = FALSE;
            UINT32 num = mosAtomicLoad(&pSched->curGuardThrdNum);
            for (UINT32 i = 0; i < num; i++) {
                MosUmtSchedThrd_Thrd *pThrd = &pSched->pThrds[i];
                mosAtomicStore(&pThrd->activitySampleTick, now);
                if (!mosAtomicLoad(&pThrd->bActive))
                    continue;
                if (mosAtomicLoad(&pThrd->activityGen) == 0) {
                    MOS_TRACE(MOS_COMP_UTHREAD, MOS_FREQ_LOW,
                              "WARNING: pThread %p(%d) in scheduler %p, running UMT %p, found to be stuck.", (void *)pThrd,
                              (int)i, (void *)pSched, (void *)pThrd->pRunningUmt);
                    mosError_Do(MOS_COMP_UTHREAD, MOS_FREQ_LOW,
                                "WARNING: pThread %p(%d) in scheduler %p, running UMT %p, found to be stuck.\n",
                                (void *)pThrd, (int)i, (void *)pSched, (void *)pThrd->pRunningUmt);
                    pSched->bIsSomeThreadStuck = TRUE;
                    mosDiagCounters_Count(MOS_DIAG_COUNTER__SCHEDULER_STUCK);
                }
                mosAtomicStore(&pThrd->activityGen, 0u);
            }
            pSched->lastSamplingTick = now;
            mosAtomicStore(&pSched->bMaxIdleTicksJustChanged, FALSE);
            bStuck = bStuck || pSched->bIsSomeThreadStuck;
        }
        if (pGuard->bIsStuck && !bStuck)
            MOS_TRACE(MOS_COMP_UTHREAD, MOS_FREQ_LOW, "All schedulers are now considered live");
        mosAtomicStore(&pGuard->bIsStuck, bStuck);
    }
    mosFastlockBase_Release(&pGuard->lock);
    MOS_TRACE(MOS_COMP_UTHREAD, MOS_FREQ_LOW, "Sched guard thread is now dying");
}

void schedThrdGuard_Init(MosSchedGuard *pGuard)
{
    pGuard->defaultIdleTicks = mosTicks_MillisToTicks(MOS_UMT_SCHED_THRD__DEFAULT_IDLE_MILLIS);
    pGuard->deadGuardPanicRatio = MOS_UMT_SCHED_GUARD__DEF_PANIC_RATIO;
    mosOSWCond_Init(&pGuard->osCondVar);
    MOS_FASTLOCK_CREATE_ADAPTIVE(&pGuard->lock, MOS_UMT_LOCK_ID__SCHED_THRD);
    mosDList_InitAnchor(&pGuard->threadList);
    pGuard->sleepIntervalInMillis = MOS_UMT_SCHED_GUARD__SLEEP_INTERVAL_MILLIS;
    pGuard->bIsStuck = FALSE;
    pGuard->bDie = FALSE;
    Mos_RC rc = mosOsThrd_CreateNamed(&pGuard->guardThread, schedThrdGuard_SampleLivnes, pGuard, "schedThrd guard");
    if (rc != MOS_RC__SUCCESS)
        MOS_ERROR(MOS_COMP_UTHREAD, "Failed to start the scheduling thread with rc %s", MOS_RC__GET_STR(rc));
    MOS_ASSERT_WITH_DESC(rc == MOS_RC__SUCCESS, "Failed to create the guard thread");
    rc = mosOsThrd_SetHighPrio(&pGuard->guardThread);
    if (rc != MOS_RC__SUCCESS)
        MOS_TRACE(MOS_COMP_UTHREAD, MOS_FREQ_MED, "WARNING: Failed to set high priority to the guard thread with rc %s",
                  MOS_RC__GET_STR(rc));
}

void schedThrdGuard_Destroy(MosSchedGuard *pGuard)
{
    mosFastlockBase_Acquire(&pGuard->lock);
    pGuard->bDie = TRUE;
    BOOL bEmpty = MOS_DLIST__IS_EMPTY(&pGuard->threadList);
    mosOSWCond_Signal(&pGuard->osCondVar);
    mosFastlockBase_Release(&pGuard->lock);
    MOS_ASSERT_WITH_DESC(bEmpty, "Guard thread list was not empty upon destruction");
    mosOsThrd_Destroy(&pGuard->guardThread);
    mosOSWCond_Destroy(&pGuard->osCondVar);
    mosFastlockBase_Destroy(&pGuard->lock);
}

// The guard looks every sleep interval and samples a scheduler at the first look once its
// interval has passed, so samples can lie an interval plus a sleep interval apart, more when the
// guard thread is late. A thread finds the guard dead after the interval times the panic ratio:
// that must leave at least one more sleep interval of slack, or a live guard is declared dead.
static UINT32 schedThrdGuard_MinIntervalMillis(UINT64 deadGuardPanicRatio)
{
    const UINT64 slack = 2ull * MOS_UMT_SCHED_GUARD__SLEEP_INTERVAL_MILLIS;
    const UINT64 spare = deadGuardPanicRatio - 1;
    return static_cast<UINT32>(slack / spare + (slack % spare != 0 ? 1 : 0));
}

// An interval too short for the guard to keep up with is raised to the shortest one it can.
static UINT32 schedThrdGuard_UsableInterval(UINT32 threshInMilli, UINT64 deadGuardPanicRatio)
{
    UINT32 minMillis = schedThrdGuard_MinIntervalMillis(deadGuardPanicRatio);
    if (threshInMilli == 0 || threshInMilli >= minMillis)
        return threshInMilli;
    MOS_TRACE(MOS_COMP_UTHREAD, MOS_FREQ_LOW,
              "WARNING: Idle thread threshold of %u millis is below what the guard can check with panic ratio %lu, "
              "raised to %u millis",
              threshInMilli, (unsigned long)deadGuardPanicRatio, minMillis);
    return minMillis;
}

void mosUmtSchedThrd_SetLivnessThreshold(MosUmt_SchedThrd *pSched, UINT32 threshInMilli)
{
    threshInMilli = schedThrdGuard_UsableInterval(threshInMilli, schedThrdLayer_G.guard.deadGuardPanicRatio);
    MosTicks_Cnt ticks = threshInMilli == 0 ? 0 : mosTicks_MillisToTicks(threshInMilli);
    mosAtomicStore(&pSched->bMaxIdleTicksJustChanged, TRUE);
    mosAtomicStore(&pSched->maxIdleTicks, ticks);
    MOS_TRACE(MOS_COMP_UTHREAD, MOS_FREQ_MED, "Idle thread threshold for sched %p is  set to %lu ticks %lu millis",
              (void *)pSched, (unsigned long)ticks, (unsigned long)threshInMilli);
}

void mosUmtSchedThrd_SetDefaultSchedGuardValues(UINT32 threshInMilli, UINT64 deadGuardPanicRatio)
{
    MosSchedGuard *pGuard = &schedThrdLayer_G.guard;
    pGuard->deadGuardPanicRatio =
        deadGuardPanicRatio < MOS_UMT_SCHED_GUARD__MIN_PANIC_RATIO ? MOS_UMT_SCHED_GUARD__MIN_PANIC_RATIO : deadGuardPanicRatio;
    threshInMilli = schedThrdGuard_UsableInterval(threshInMilli, pGuard->deadGuardPanicRatio);
    pGuard->defaultIdleTicks = threshInMilli == 0 ? 0 : mosTicks_MillisToTicks(threshInMilli);
    MOS_TRACE(MOS_COMP_UTHREAD, MOS_FREQ_MED, "Default Idle thread threshold set to %lu millis, panic ratio set to %lu",
              (unsigned long)threshInMilli, (unsigned long)pGuard->deadGuardPanicRatio);
}

BOOL mosUmtSchedThrd_IsStuck(void)
{
    return mosAtomicLoad(&schedThrdLayer_G.guard.bIsStuck);
}

void mosUmtSchedThrd_SetPaused(BOOL bIsPaused)
{
    mosAtomicStore(&schedThrdLayer_G.bIsPaused, bIsPaused);
}

