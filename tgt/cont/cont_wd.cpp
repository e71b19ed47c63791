#include "tgt/cont/cont_wd.h"

#include <algorithm>
#include <atomic>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"
#include "mos/umt/mos_umt.h"
#include "mos/umt/mos_umt_bound.h"
#include "mos/usr/linux/mos_condvar.h"
#include "tgt/cont/cont.h"
#include "tgt/cont/cont_cmd.h"
#include "tgt/cont/cont_comb.h"
#include "tgt/cont/cont_dev.h"
#include "tgt/tgt_conf.h"
#include "tgt/tgt_umt_class.h"

namespace {

constexpr UINT32 kStuckLockClass = 17;
constexpr UINT32 kMaxJobs = 5;

enum ContWdJob : UINT32 {
    CONT_WD_JOB__FLUSH,
    CONT_WD_JOB__FIRST_ACCESS,
    CONT_WD_JOB__UPDATE_OSTREL,
    CONT_WD_JOB__CLEAN_COMBS,
    CONT_WD_JOB__HARDEN_RETRY,
    CONT_WD_JOB__CACHE_STATE,
    CONT_WD_JOB__DEV_HEADERS,
    CONT_WD_JOB__COPY_POOLS,
};

struct ContWdJobSpec {
    ContWdJob job;
    UINT32 periodSecs;
};

struct ContWdLoopSpec {
    UINT32 tickSecs;
    UINT32 numJobs;
    ContWdJobSpec jobs[kMaxJobs];
    const char *pName;
};

constexpr ContWdLoopSpec kLoops[CONT_WD_LOOP__NUM] = {
    {1, 1, {{CONT_WD_JOB__FLUSH, 60}}, "frequent"},
    {10,
     5,
     {{CONT_WD_JOB__FIRST_ACCESS, 60},
      {CONT_WD_JOB__UPDATE_OSTREL, 60},
      {CONT_WD_JOB__CLEAN_COMBS, 10},
      {CONT_WD_JOB__HARDEN_RETRY, 10},
      {CONT_WD_JOB__CACHE_STATE, 60}},
     "rare"},
    {10, 2, {{CONT_WD_JOB__DEV_HEADERS, 10}, {CONT_WD_JOB__COPY_POOLS, 60}}, "device"},
};

BOOL contWd_Flag(const BOOL &flag)
{
    return std::atomic_ref<const BOOL>(flag).load(std::memory_order_relaxed);
}

BOOL contWd_IsEnabled(ContWdLoopKind kind)
{
    const TgtConfParam &c = tgtInitParam_G;
    if (contWd_Flag(c.bAbortAllWd))
        return FALSE;
    switch (kind) {
    case CONT_WD_LOOP__FREQ:
        return contWd_Flag(c.bFreqWdEnabled);
    case CONT_WD_LOOP__RARE:
        return contWd_Flag(c.bRareWdEnabled);
    default:
        return contWd_Flag(c.bDeviceWdEnabled);
    }
}

void contWd_RunJob(Cont *pCont, ContWdJob job, ContWdLoopState *pState, const ContWdHooks *h)
{
    switch (job) {
    case CONT_WD_JOB__FLUSH:
        h->flush(pCont);
        break;
    case CONT_WD_JOB__FIRST_ACCESS:
        if (contWd_Flag(tgtInitParam_G.bWdFirstAccessEnabled))
            h->firstAccess(pCont);
        break;
    case CONT_WD_JOB__UPDATE_OSTREL:
        h->updateOstrel(pCont);
        break;
    case CONT_WD_JOB__CLEAN_COMBS:
        h->cleanCombs(pCont, pState);
        break;
    case CONT_WD_JOB__HARDEN_RETRY:
        h->retryHarden(pCont);
        break;
    case CONT_WD_JOB__CACHE_STATE:
        h->sendCacheState(pCont);
        break;
    case CONT_WD_JOB__DEV_HEADERS:
        h->validateDevHeaders(pCont);
        break;
    case CONT_WD_JOB__COPY_POOLS:
        h->copyPools(pCont, pState);
        break;
    }
}

BOOL contWd_Sleep(Cont *pCont, UINT32 secs)
{
    (void)pCont;
    switch (secs) {
    case 1:
        mosUmt_SleepByQ(MOS_TIMER_QUEUE_ID__1SEC);
        break;
    case 10:
        mosUmt_SleepByQ(MOS_TIMER_QUEUE_ID__10SEC);
        break;
    default:
        MOS_ASSERT(secs == CONT_WD__START_SECS);
        mosUmt_SleepByQ(MOS_TIMER_QUEUE_ID__1MIN);
        break;
    }
    return TRUE;
}

void contWd_Flush(Cont *pCont)
{
    ioh_UpdateFlushInfoStartFlush(&pCont->ioh);
    contCombMngr_UpdateCombs(&pCont->combMngr);
    phy_FlushAllDirtyDrl(&pCont->phy);
    ioh_UpdateFlushInfoEndFlush(&pCont->ioh);
}

void contWd_FirstAccess(Cont *pCont)
{
    contCombMngr_UpdateAllCombFirstAccess(&pCont->combMngr);
}

void contWd_UpdateOstrel(Cont *pCont)
{
    contCombMngr_UpdateOstrelOnAllCombs(&pCont->combMngr, pCont);
}

void contWd_CleanCombs(Cont *pCont, ContWdLoopState *pState)
{
    const UINT64 maxPendDelGen = contVtreeMngr_CleanCombsStart(&pCont->vtreeMngr);
    const BOOL bFullClean = pState->secs - pState->lastFullClean >= CONT_WD__FULL_CLEAN_SECS;
    if (maxPendDelGen == 0 && !bFullClean) {
        contCombMngr_ResetRemoteDrls(&pCont->combMngr, pCont);
        return;
    }
    if (bFullClean)
        pState->lastFullClean = pState->secs;
    if (contCombMngr_CleanCombs(&pCont->combMngr, pCont, maxPendDelGen, bFullClean) == MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_MED, "%p:%s:%05u: Harden clean combs\n", (void *)pCont, __func__,
                  (unsigned)__LINE__);
        if (contDevMngr_HardenDevToothMaps(&pCont->devMngr))
            contVtreeMngr_CleanCombsDone(&pCont->vtreeMngr);
    }
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_MED, "%p:%s:%05u: Finish clean combs\n", (void *)pCont, __func__,
              (unsigned)__LINE__);
    contCombMngr_ResetRemoteDrls(&pCont->combMngr, pCont);
}

void contWd_RetryHarden(Cont *pCont)
{
    (void)contCmd_RetryHardenCombArr(pCont);
}

void contWd_SendCacheState(Cont *pCont)
{
    rcache_SendCacheStateToOstrel(&pCont->readCache);
}

void contWd_ValidateDevHeaders(Cont *pCont)
{
    contDevMngr_ValidateDevHeader(pCont, &pCont->devMngr, cont_GetTgtId(pCont));
}

void contWd_CopyPools(Cont *pCont, ContWdLoopState *pState)
{
    MosDynamicMemPool *const pools[2] = {&pCont->copyRcvBufferPool, &pCont->copySndBufferPool};
    contWd_CheckCopyPools(pState, contMngr_Count(&pCont->devMngr.devs), pools);
}

const ContWdHooks kHooks = {
    contWd_Sleep,         contWd_Flush,          contWd_FirstAccess,        contWd_UpdateOstrel,
    contWd_CleanCombs,    contWd_RetryHarden,    contWd_SendCacheState,     contWd_ValidateDevHeaders,
    contWd_CopyPools,
};

template <ContWdLoopKind kKind> void contWd_WorkLoop(void *pArg)
{
    contWd_RunLoop(static_cast<Cont *>(pArg), kKind, &kHooks);
}

// Runs on its own OS thread: nothing signals the condition, its time-out is the period.
void contWd_ThreadDeviceWorkLoop(void *pArg)
{
    Cont *pCont = static_cast<Cont *>(pArg);
    MosOsw_CondVar cond;
    MosFastlock_Base lock;
    mosOSWCond_Init(&cond);
    MOS_FASTLOCK_CREATE_ADAPTIVE(&lock, kStuckLockClass);
    mosFastlockBase_Acquire(&lock);
    (void)mosOSWCond_TimedWait(&cond, &lock, CONT_WD__STUCK_FIRST_WAIT_MILLIS);
    for (;;) {
        (void)mosOSWCond_TimedWait(&cond, &lock, CONT_WD__STUCK_PERIOD_MILLIS);
        const TgtConfParam &c = tgtInitParam_G;
        if (contWd_Flag(c.bThreadDeviceWdEnabled) && !contWd_Flag(c.bAbortAllWd)) {
            mosFastlockBase_Release(&lock);
            contDevMngr_CheckLongInflightIos(&pCont->devMngr, TRUE);
            mosFastlockBase_Acquire(&lock);
        }
    }
}

} // namespace

const ContWdHooks *contWd_GetHooks(void)
{
    return &kHooks;
}

void contWd_RunLoop(Cont *pCont, ContWdLoopKind kind, const ContWdHooks *pHooks)
{
    const ContWdLoopSpec &spec = kLoops[kind];
    mosUmt_SetMyDebugInfo((UINT64)kind);
    if (!pHooks->sleep(pCont, CONT_WD__START_SECS))
        return;
    ContWdLoopState state{};
    state.secs = CONT_WD__START_SECS;
    for (;;) {
        mosUmt_SetCommonSuspend(TRUE);
        const BOOL bGoOn = pHooks->sleep(pCont, spec.tickSecs);
        mosUmt_SetCommonSuspend(FALSE);
        if (!bGoOn)
            return;
        state.secs += spec.tickSecs;
        if (!contWd_IsEnabled(kind))
            continue;
        for (UINT32 j = 0; j < spec.numJobs; j++) {
            if (state.secs - state.lastRun[j] < spec.jobs[j].periodSecs)
                continue;
            contWd_RunJob(pCont, spec.jobs[j].job, &state, pHooks);
            state.lastRun[j] = state.secs;
            mosUmt_Yield();
        }
    }
}

void contWd_CheckCopyPools(ContWdLoopState *pState, UINT32 numOfDevs, MosDynamicMemPool *const pPools[2])
{
    if (numOfDevs > pState->maxNumOfDevs) {
        pState->maxNumOfDevs = numOfDevs;
        if (numOfDevs >= CONT_WD__DEVS_PER_COPY_BLOCK) {
            for (UINT32 p = 0; p < 2; p++) {
                // A pool cannot keep more blocks than it may ever have.
                const UINT32 minBlocks =
                    std::min(numOfDevs / CONT_WD__DEVS_PER_COPY_BLOCK, pPools[p]->allocedNumBlocks);
                mosDynamicMemPool_UpdateMinNumBlocks(pPools[p], minBlocks);
            }
        }
    }
    for (UINT32 p = 0; p < 2; p++) {
        ContWdCopyPoolState &s = pState->pools[p];
        if (mosDynamicMemPool_GetUsage(pPools[p]) != 0) {
            s.idleCount = 0;
            s.bUsed = TRUE;
        } else if (s.bUsed && s.idleCount == CONT_WD__COPY_POOL_IDLE_CHECKS) {
            (void)mosDynamicMemPool_ReleaseMemory(pPools[p], pPools[p]->allocedNumBlocks);
            s.idleCount = 0;
            s.bUsed = FALSE;
        } else {
            s.idleCount++;
        }
    }
}

void contWd_Init(Cont *pCont)
{
    constexpr MosUmt_StartFunc kLoopFns[CONT_WD_LOOP__NUM] = {
        contWd_WorkLoop<CONT_WD_LOOP__FREQ>, contWd_WorkLoop<CONT_WD_LOOP__RARE>, contWd_WorkLoop<CONT_WD_LOOP__DEV>};
    constexpr TgtUmtClassType kClasses[CONT_WD_LOOP__NUM] = {MOS_UMT_CLASS_TYPE__TGT_WATCHDOG_FREQ,
                                                             MOS_UMT_CLASS_TYPE__TGT_WATCHDOG_RARE,
                                                             MOS_UMT_CLASS_TYPE__TGT_WATCHDOG_DEV};
    for (UINT32 k = 0; k < CONT_WD_LOOP__NUM; k++) {
        HMosUmt_UThread h =
            mosUmt_CreateUThreadEx(kLoopFns[k], pCont, nullptr, nullptr, FALSE, tgt_GetUmtClassId(kClasses[k]));
        Exp(h == nullptr);
    }
    const Mos_RC rc =
        mosUmtBound_CreateEx(&pCont->umtBound, "device thread wd", contWd_ThreadDeviceWorkLoop, pCont, nullptr, FALSE,
                             tgt_GetUmtClassId(MOS_UMT_CLASS_TYPE__TGT_WATCHDOG_STUCK));
    Exp(rc != MOS_RC__SUCCESS);
}

void contWd_StopAllWd(Cont *pCont)
{
    (void)pCont;
    std::atomic_ref<BOOL>(tgtInitParam_G.bAbortAllWd).store(TRUE);
}
