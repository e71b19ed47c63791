// The resync pool: workers, dispatch by protection type, the four limiters, abort-all per kind.
#include "tgt/raid/raid_resync.h"

#include <atomic>
#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"
#include "mos/umt/mos_umt_limiter.h"
#include "tgt/phy/phy_dev_io.h"
#include "tgt/raid/raid_comb_intrn.h"
#include "tgt/tgt_conf.h"
#include "tgt/tgt_umt_class.h"

namespace {

// The pool of the process (one, owned by the controller).
RaidSyncPool *pSyncPool_G = nullptr;
constexpr RaidResyncHooks kNoHooks = {nullptr, nullptr, nullptr};
const RaidResyncHooks *pResyncHooks_G = &kNoHooks;

BOOL loadFlag(const BOOL *p) { return std::atomic_ref<BOOL>(*const_cast<BOOL *>(p)).load(); }

BOOL isMigrationSlot(const RaidCombProt *pProt) { return pProt->protType == RAID_PROT_TYPE__MIGRATE; }

class PoolLock {
  public:
    explicit PoolLock(RaidSyncPool *p) : pLock_(&p->lock) { mosFastlockBase_Acquire(pLock_); }
    ~PoolLock() { mosFastlockBase_Release(pLock_); }
    PoolLock(const PoolLock &) = delete;
    PoolLock &operator=(const PoolLock &) = delete;

  private:
    MosFastlock_Base *pLock_;
};

// The job of one queued slot, on a pool worker.
void raidSyncPool_StartJob(MosUmtPool_WorkReq *pNode)
{
    MOS_ASSERT(pNode != nullptr);
    RaidSyncPool *pPool = pSyncPool_G;
    MOS_ASSERT(pPool != nullptr);
    RaidCombProt *pProt = MOS_CONTAINER_OF(pNode, RaidCombProt, copyNode);
    RaidComb *pComb = pProt->pComb;
    // The kind is fixed at queueing: a migration's slot becomes the mirror slot when it ends.
    BOOL bMigration = isMigrationSlot(pProt);
    switch (pProt->protType) {
    case RAID_PROT_TYPE__SECONDARY:
        raidRebuild_Start(pComb->pCont, pComb);
        break;
    case RAID_PROT_TYPE__MAINTENANCE:
        if (pProt->copyReason == COPY_TYPE__REVERSE_REBUILD)
            raidReverseRebuild_Start(pComb->pCont, pComb);
        else
            raidMaintRebuild_Start(pComb->pCont, pComb);
        break;
    case RAID_PROT_TYPE__MIGRATE:
        raidMigrate_Start(pComb->pCont, pProt);
        break;
    default:
        MOS_UNREACHABLE("a queued copy job has a protection type that names a job");
    }
    UINT32 *pQueryCounter =
        bMigration ? &pPool->raidSyncPoolQuery.numOfMigrations : &pPool->raidSyncPoolQuery.numOfRebuilds;
    std::atomic_ref<UINT32>(*pQueryCounter).fetch_sub(1);
    PoolLock lock(pPool);
    UINT32 *pInProg = bMigration ? &pPool->numOfMigrationsInProg : &pPool->numOfRebuildsInProg;
    MOS_ASSERT(*pInProg > 0);
    (*pInProg)--;
    if (*pInProg == 0 && (bMigration ? pPool->bAbortAllMigrations : pPool->bAbortAllRebuilds))
        mosUmtCond_Broadcast(bMigration ? &pPool->migrationCond : &pPool->rebuildCond);
}

BOOL addJob(RaidSyncPool *pPool, RaidCombProt *pProt, BOOL bMigration)
{
    {
        PoolLock lock(pPool);
        if (bMigration ? pPool->bAbortAllMigrations : pPool->bAbortAllRebuilds) {
            MOS_ERROR(MOS_COMP_TGT_RAID, "Comb %lx: a copy job was refused during an abort of all %s",
                      (unsigned long)pProt->pComb->combId, bMigration ? "migrations" : "rebuilds");
            return FALSE;
        }
        (bMigration ? pPool->numOfMigrationsInProg : pPool->numOfRebuildsInProg)++;
    }
    std::atomic_ref<UINT32>(bMigration ? pPool->raidSyncPoolQuery.numOfMigrations
                                       : pPool->raidSyncPoolQuery.numOfRebuilds)
        .fetch_add(1);
    mosDList_InitNode(&pProt->copyNode);
    if (mosUmtPool_AddWorkRequest(&pPool->rebuildThreadPool, &pProt->copyNode) == MOS_RC__SUCCESS)
        return TRUE;
    std::atomic_ref<UINT32>(bMigration ? pPool->raidSyncPoolQuery.numOfMigrations
                                       : pPool->raidSyncPoolQuery.numOfRebuilds)
        .fetch_sub(1);
    PoolLock lock(pPool);
    UINT32 *pInProg = bMigration ? &pPool->numOfMigrationsInProg : &pPool->numOfRebuildsInProg;
    (*pInProg)--;
    if (*pInProg == 0)
        mosUmtCond_Broadcast(bMigration ? &pPool->migrationCond : &pPool->rebuildCond);
    return FALSE;
}

void abortAll(RaidSyncPool *pPool, BOOL bMigration)
{
    MosUmt_RWLock *pSerializer = bMigration ? &pPool->abortMigrationSerializer : &pPool->abortRebuildSerializer;
    mosUmtRWLock_AcquireWriteLock(pSerializer);
    MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Abort all %s (dit)", bMigration ? "migrations" : "rebuilds");
    mosFastlockBase_Acquire(&pPool->lock);
    BOOL *pFlag = bMigration ? &pPool->bAbortAllMigrations : &pPool->bAbortAllRebuilds;
    std::atomic_ref<BOOL>(*pFlag).store(TRUE);
    UINT32 *pInProg = bMigration ? &pPool->numOfMigrationsInProg : &pPool->numOfRebuildsInProg;
    while (*pInProg > 0)
        (void)mosUmtCond_Wait(bMigration ? &pPool->migrationCond : &pPool->rebuildCond, &pPool->lock);
    std::atomic_ref<BOOL>(*pFlag).store(FALSE);
    mosFastlockBase_Release(&pPool->lock);
    MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Abort all %s - Done (dit)", bMigration ? "migrations" : "rebuilds");
    mosUmtRWLock_ReleaseWriteLock(pSerializer);
}

} // namespace

void raidResync_SetHooks(const RaidResyncHooks *pHooks) { pResyncHooks_G = pHooks == nullptr ? &kNoHooks : pHooks; }
const RaidResyncHooks *raidResync_Hooks(void) { return pResyncHooks_G; }

void raidSyncPool_Init(RaidSyncPool *pRaidSync, UINT32 numThreads)
{
    memset(static_cast<void *>(pRaidSync), 0, sizeof(*pRaidSync));
    if (numThreads == 0)
        numThreads = tgtPerfInitParam_G.threadCopyIo;
    mosUmtCond_Init(&pRaidSync->migrationCond);
    mosUmtCond_Init(&pRaidSync->rebuildCond);
    mosUmtRWLock_Init(&pRaidSync->abortRebuildSerializer);
    mosUmtRWLock_Init(&pRaidSync->abortMigrationSerializer);
    MOS_FASTLOCK_CREATE(&pRaidSync->lock, RAID_SYNC_POOL__CONTENTION);
    mosLimiter_Init(&pRaidSync->copyLimiterSrc, 0, RAID_SYNC_POOL__SLOT_MUL);
    mosLimiter_Init(&pRaidSync->copyLimiterRebuildSrc, 0, RAID_SYNC_POOL__SLOT_MUL);
    mosLimiter_Init(&pRaidSync->copyLimiterRebalanceSrc, 0, RAID_SYNC_POOL__SLOT_MUL);
    mosLimiter_Init(&pRaidSync->ioLimiter, 0, RAID_SYNC_POOL__SLOT_MUL);
    pSyncPool_G = pRaidSync;
    mosUmtPool_Init(&pRaidSync->rebuildThreadPool, numThreads, raidSyncPool_StartJob, TRUE,
                    tgt_GetUmtClassId(MOS_UMT_CLASS_TYPE__TGT_RAID_SYNC_POOL));
}

void raidSyncPool_Destroy(RaidSyncPool *pRaidSync)
{
    raidSyncPool_AbortAllRebuilds(pRaidSync);
    raidSyncPool_AbortAllMigrations(pRaidSync);
    while (mosUmtPool_Destroy(&pRaidSync->rebuildThreadPool) != MOS_RC__SUCCESS)
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Resync pool still waits for its workers");
    if (pSyncPool_G == pRaidSync)
        pSyncPool_G = nullptr;
    mosLimiter_Destroy(&pRaidSync->ioLimiter);
    mosLimiter_Destroy(&pRaidSync->copyLimiterRebalanceSrc);
    mosLimiter_Destroy(&pRaidSync->copyLimiterRebuildSrc);
    mosLimiter_Destroy(&pRaidSync->copyLimiterSrc);
    mosFastlockBase_Destroy(&pRaidSync->lock);
    mosUmtRWLock_Destroy(&pRaidSync->abortMigrationSerializer);
    mosUmtRWLock_Destroy(&pRaidSync->abortRebuildSerializer);
    mosUmtCond_Destroy(&pRaidSync->rebuildCond);
    mosUmtCond_Destroy(&pRaidSync->migrationCond);
}

RaidSyncPool *raidSyncPool_Get(void) { return pSyncPool_G; }

void raidSyncPool_UpdateLimits(RaidSyncPool *pRaidSync, UINT32 rebuildLimitMaxInSec, UINT32 rebalanceLimitMaxInSec,
                               UINT32 ioLimitMaxInSec, UINT32 slotMulMax)
{
    UINT32 total = rebuildLimitMaxInSec != 0 && rebalanceLimitMaxInSec != 0
                       ? MOS_MAX(rebuildLimitMaxInSec, rebalanceLimitMaxInSec)
                       : 0;
    mosLimiter_UpdateLimits(&pRaidSync->copyLimiterSrc, total, slotMulMax);
    mosLimiter_UpdateLimits(&pRaidSync->copyLimiterRebuildSrc, rebuildLimitMaxInSec, slotMulMax);
    mosLimiter_UpdateLimits(&pRaidSync->copyLimiterRebalanceSrc, rebalanceLimitMaxInSec, slotMulMax);
    mosLimiter_UpdateLimits(&pRaidSync->ioLimiter, ioLimitMaxInSec, slotMulMax);
}

BOOL raidSyncPool_AddRebuildJob(RaidSyncPool *pRaidSync, RaidCombProt *pProt)
{
    MOS_ASSERT(pProt->protType == RAID_PROT_TYPE__SECONDARY || pProt->protType == RAID_PROT_TYPE__MAINTENANCE);
    return addJob(pRaidSync, pProt, FALSE);
}

BOOL raidSyncPool_AddMigrateJob(RaidSyncPool *pRaidSync, RaidCombProt *pProt)
{
    MOS_ASSERT(pProt->protType == RAID_PROT_TYPE__MIGRATE);
    return addJob(pRaidSync, pProt, TRUE);
}

void raidSyncPool_HigherJobPriority(RaidSyncPool *pRaidSync, RaidCombProt *pProt)
{
    mosUmtPool_HigherThePriority(&pRaidSync->rebuildThreadPool, &pProt->copyNode);
}

void raidSyncPool_AbortAllRebuilds(RaidSyncPool *pRaidSync) { abortAll(pRaidSync, FALSE); }
void raidSyncPool_AbortAllMigrations(RaidSyncPool *pRaidSync) { abortAll(pRaidSync, TRUE); }
BOOL raidSyncPool_IsAbortAllRebuilds(RaidSyncPool *pRaidSync) { return loadFlag(&pRaidSync->bAbortAllRebuilds); }
BOOL raidSyncPool_IsAbortAllMigrations(RaidSyncPool *pRaidSync) { return loadFlag(&pRaidSync->bAbortAllMigrations); }

BOOL raidSyncPool_QueueCopyJob(Cont *, RaidComb *, RaidCombProt *pProt)
{
    RaidSyncPool *pPool = pSyncPool_G;
    if (pPool == nullptr)
        return FALSE;
    return isMigrationSlot(pProt) ? raidSyncPool_AddMigrateJob(pPool, pProt) : raidSyncPool_AddRebuildJob(pPool, pProt);
}

void raidSyncPool_RaiseCopyPriority(Cont *, RaidComb *, RaidCombProt *pProt)
{
    if (pSyncPool_G != nullptr)
        raidSyncPool_HigherJobPriority(pSyncPool_G, pProt);
}

BOOL raidSync_JobAborted(const RaidCombProt *pProt)
{
    if (pProt == nullptr)
        return FALSE;
    if (loadFlag(&pProt->bAbortCopy))
        return TRUE;
    RaidSyncPool *pPool = pSyncPool_G;
    if (pPool == nullptr)
        return FALSE;
    return isMigrationSlot(pProt) ? raidSyncPool_IsAbortAllMigrations(pPool) : raidSyncPool_IsAbortAllRebuilds(pPool);
}

BOOL raidSync_LimiterWait(MosLimiter *pLimiter, UINT32 lbsReq, const RaidCombProt *pProt)
{
    if (pProt == nullptr) {
        mosUmtLimiter_Add(pLimiter, lbsReq);
        return TRUE;
    }
    MosUmtLimiterWait waiter;
    mosUmtLimiterWait_Init(&waiter, lbsReq);
    BOOL bAdmitted = TRUE;
    if (mosLimiter_Add(pLimiter, &waiter.limiterReq) == MOS_RC__PENDING) {
        while (mosUmtSem_DecTimed(&waiter.sem, 1, RAID_SYNC_POOL__ABORT_POLL_MILLIS) != MOS_RC__SUCCESS) {
            if (!raidSync_JobAborted(pProt))
                continue;
            // The request cannot be withdrawn from the limiter's queue: admit the queue's oldest
            // until ours is through (an abort ends the jobs ahead of it too).
            bAdmitted = FALSE;
            while (mosUmtSem_TryDec(&waiter.sem, 1) != MOS_RC__SUCCESS) {
                if (mosLimiter_Pop(pLimiter) != MOS_RC__SUCCESS) {
                    (void)mosUmtSem_DecTimed(&waiter.sem, 1, 0);
                    break;
                }
            }
            break;
        }
    }
    mosUmtLimiterWait_Destroy(&waiter);
    return bAdmitted;
}

BOOL raidSyncPool_AddToCopyLimiter(RaidSyncPool *pRaidSync, UINT32 lbsReq, UINT32 copyReason,
                                   const RaidCombProt *pProt)
{
    MosLimiter *pKind =
        copyReason == COPY_TYPE__MIGRATION ? &pRaidSync->copyLimiterRebalanceSrc : &pRaidSync->copyLimiterRebuildSrc;
    return raidSync_LimiterWait(pKind, lbsReq, pProt) && raidSync_LimiterWait(&pRaidSync->copyLimiterSrc, lbsReq, pProt);
}

BOOL raidSyncPool_AddToIoLimiter(RaidSyncPool *pRaidSync, UINT32 lbsReq, const RaidCombProt *pProt)
{
    return raidSync_LimiterWait(&pRaidSync->ioLimiter, lbsReq, pProt);
}

void raidComb_AddToIoLimiter(RaidComb *, UINT32 lbsReq)
{
    if (pSyncPool_G != nullptr)
        (void)raidSyncPool_AddToIoLimiter(pSyncPool_G, lbsReq, nullptr);
}

void raidComb_StartThrottlingSecondary(RaidComb *pComb, UINT32 sizeInLbs, UINT32 copyReason)
{
    if (pComb->phyComb.pDev != nullptr)
        phyDev_StartThrottling(pComb->phyComb.pDev, sizeInLbs, copyReason, FALSE);
}

void raidComb_EndThrottling(RaidComb *pComb, UINT32 sizeInLbs, UINT32 copyReason)
{
    if (pComb->phyComb.pDev != nullptr)
        phyDev_EndThrottling(pComb->phyComb.pDev, sizeInLbs, copyReason);
}

void raidSyncPool_CountCopy(RaidSyncPool *pRaidSync, UINT32 sizeInLbs)
{
    if (pRaidSync == nullptr)
        return;
    RaidSyncPoolQuery *q = &pRaidSync->raidSyncPoolQuery;
    std::atomic_ref<UINT32>(q->numOfRebuildIOs).fetch_add(1);
    std::atomic_ref<UINT64>(q->sizeOfRebuildIOs).fetch_add(sizeInLbs);
    std::atomic_ref<UINT32>(q->rebuildsPerIOsSize[MOS_MIN(sizeInLbs / 256, RAID_SYNC_POOL__IO_SIZES - 1)]).fetch_add(1);
}

void raidSyncPool_Query(MosObj *pObj, const CHAR_A *, void *pData)
{
    RaidSyncPool *pPool = MOS_CONTAINER_OF(pObj, RaidSyncPool, sdbgObj);
    memcpy(pData, &pPool->raidSyncPoolQuery, sizeof(pPool->raidSyncPoolQuery));
}
