#include "tgt/rcache/rcache.h"

#include <unistd.h>

#include <atomic>
#include <cstring>

#include "mos/mos_dbg.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"
#include "mos/umt/mos_umt.h"
#include "tgt/rcache/rcache_intrn.h"
#include "tgt/rcache/rcache_net_buf.h"
#include "tgt/tgt_conf.h"
#include "tgt/tgt_contention.h"
#include "tgt/tgt_sdbg.h"

const CHAR_A *const TGT_CACHE_MEMORY_ALLOCATION_STATE_STRINGS[TGT_CACHE_MEMORY_ALLOCATION_STATE__LAST] = {
    "TGT_CACHE_MEMORY_ALLOCATION_STATE__INVALID",    "TGT_CACHE_MEMORY_ALLOCATION_STATE__PENDING",
    "TGT_CACHE_MEMORY_ALLOCATION_STATE__SUCCESSFUL", "TGT_CACHE_MEMORY_ALLOCATION_STATE__FAILED",
    "TGT_CACHE_MEMORY_ALLOCATION_STATE__RAMCACHE_DISABLED",
};

const CHAR_A *rcache_MemAllocStateName(UINT32 state)
{
    if (state > TGT_CACHE_MEMORY_ALLOCATION_STATE__RAMCACHE_DISABLED)
        return "TGT_CACHE_MEMORY_ALLOCATION_STATE__UNKNOWN";
    return TGT_CACHE_MEMORY_ALLOCATION_STATE_STRINGS[state];
}

RcacheAllowance rcache_AllowedSizeInLb(UINT64 nodeTotalRamKb)
{
    const UINT64 pct = nodeTotalRamKb < tgtInitParam_G.ramcacheHostMemoryThershold
                           ? tgtInitParam_G.ramcacheAllowedLowMemoryPercentage
                           : tgtInitParam_G.ramcacheAllowedHighMemoryPercentage;
    // KB x percentage / 50 is that percentage of the RAM in LB (2 LB per KB). The product stays
    // within 64 bits for any RAM below 2^57 KB.
    return RcacheAllowance{nodeTotalRamKb * pct / 50, (UINT32)pct};
}

namespace {

void checkIo(Cache *pCache, UINT64 lba, UINT32 sizeInLb)
{
    MOS_ASSERT(pCache != nullptr);
    Exp(sizeInLb == 0 || sizeInLb % RCACHE__PAGE_SIZE_IN_LB != 0 || sizeInLb > RCACHE__MAX_IO_IN_LB);
    Exp(lba % RCACHE__PAGE_SIZE_IN_LB != 0);
}

UINT32 numOfDevices(Cache *pCache) { return mosHash_GetRecNum(&pCache->devHash); }

// Under fastlock: a state report is owed.
void oweReportLocked(Cache *pCache)
{
    pCache->bNotifNeeded = TRUE;
    pCache->ostrelNotifCounter++;
}

void setMemAllocStateLocked(Cache *pCache, TgtCacheMemAllocationState state)
{
    if (pCache->memAllocState == state)
        return;
    pCache->memAllocState = state;
    oweReportLocked(pCache);
}

void rcache_ChangeSizeIntrn(Cache *pCache);
void rcache_PurgeIntrn(Cache *pCache);

// The last touch of the cache by a job thread: rcache_Destroy waits for it.
void jobThreadDone(Cache *pCache) { std::atomic_ref<UINT32>(pCache->liveJobThreads).fetch_sub(1); }

// Under fastlock, after every decrement of inProgCount and at the end of every job. A job that is
// pending or running ends by calling this again, so nothing starts while one is: a second job
// started behind a pending one would act on flags the first one has already consumed.
void rcache_CheckDelayedActions(Cache *pCache)
{
    if (pCache->inProgCount != 0 || pCache->asyncCount != 0 || pCache->delayedActionFlags == 0)
        return;
    if (pCache->delayedActionFlags & RCACHE__DELAYED_ACTION__PURGE)
        rcache_PurgeIntrn(pCache);
    if (pCache->delayedActionFlags & RCACHE__DELAYED_ACTION__CHANGE_SIZE)
        rcache_ChangeSizeIntrn(pCache);
}

// Counts an operation in when the cache is usable; otherwise traces why "<what> failed".
bool enterOperation(Cache *pCache, const CHAR_A *pWhat)
{
    MosFastlockGuard guard(&pCache->fastlock);
    if (!rcache_IsUsable(pCache)) {
        MOS_NOISE(MOS_COMP_TGT_RCACHE, "%s failed: cache %p is %s", pWhat, (void *)pCache,
                  rcache_UnusableReason(pCache));
        return false;
    }
    pCache->inProgCount++;
    return true;
}

void leaveOperation(Cache *pCache)
{
    MosFastlockGuard guard(&pCache->fastlock);
    Exp(pCache->inProgCount == 0);
    pCache->inProgCount--;
    rcache_CheckDelayedActions(pCache);
}

// Under fastlock: allocate (or free, with FREE flagged) now, or when the last operation leaves.
void resizeNowOrLaterLocked(Cache *pCache, const CHAR_A *pWhat)
{
    if (pCache->inProgCount != 0 || rcache_IsBeingModified(pCache)) {
        pCache->delayedActionFlags |= RCACHE__DELAYED_ACTION__CHANGE_SIZE;
        if (strcmp(pWhat, "allocated") == 0)
            MOS_TRACE(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW, "Cache %p will be allocated. (prog count %d)", (void *)pCache,
                      (int)pCache->inProgCount);
        else
            MOS_TRACE(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW, "Cache %p will be %s.", (void *)pCache, pWhat);
        return;
    }
    rcache_ChangeSizeIntrn(pCache);
}

void finishChangeSizeLocked(Cache *pCache, TgtCacheMemAllocationState before, UINT64 target, Mos_RC rc)
{
    if (rc == MOS_RC__SUCCESS && target == 0) {
        pCache->bCreated = FALSE;
        pCache->sizeInLb = 0;
        pCache->memAllocState = TGT_CACHE_MEMORY_ALLOCATION_STATE__PENDING;
        MOS_TRACE(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW, "Cache %p was freed.", (void *)pCache);
    } else if (rc == MOS_RC__SUCCESS) {
        pCache->bCreated = TRUE;
        pCache->sizeInLb = target;
        pCache->memAllocState = TGT_CACHE_MEMORY_ALLOCATION_STATE__SUCCESSFUL;
        MOS_TRACE(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW, "Cache %p changed size to %lu.", (void *)pCache,
                  (unsigned long)target);
    } else {
        pCache->bCreated = FALSE;
        pCache->sizeInLb = 0;
        pCache->memAllocState = TGT_CACHE_MEMORY_ALLOCATION_STATE__FAILED;
        MOS_TRACE(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW, "Failed to change size of cache %p to %lu.", (void *)pCache,
                  (unsigned long)target);
    }
    if (!pCache->bEnable)
        pCache->memAllocState = TGT_CACHE_MEMORY_ALLOCATION_STATE__RAMCACHE_DISABLED;
    if (pCache->memAllocState != before)
        oweReportLocked(pCache);
}

void rcache_ChangeSizeAsync(void *pArg)
{
    Cache *pCache = static_cast<Cache *>(pArg);
    mosUmtRWLock_AcquireWriteLock(&pCache->rwLock);
    mosFastlockBase_Acquire(&pCache->fastlock);
    const TgtCacheMemAllocationState before = pCache->memAllocState;
    pCache->delayedActionFlags &= (UINT8)~RCACHE__DELAYED_ACTION__CHANGE_SIZE;
    UINT64 target = pCache->reqSizeInLb;
    if (pCache->delayedActionFlags & RCACHE__DELAYED_ACTION__FREE) {
        pCache->delayedActionFlags &= (UINT8) ~(RCACHE__DELAYED_ACTION__CHANGE_SIZE | RCACHE__DELAYED_ACTION__FREE);
        if (!pCache->bCreated) {
            pCache->asyncCount--;
            MOS_TRACE(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW, "Cache %p is already freed.", (void *)pCache);
            rcache_CheckDelayedActions(pCache);
            mosFastlockBase_Release(&pCache->fastlock);
            mosUmtRWLock_ReleaseWriteLock(&pCache->rwLock);
            jobThreadDone(pCache);
            return;
        }
        target = 0;
    }
    mosFastlockBase_Release(&pCache->fastlock);
    const Mos_RC rc = rcacheMd_ChangeSize(pCache->hooks.pBlocking, &pCache->md, target);
    mosFastlockBase_Acquire(&pCache->fastlock);
    finishChangeSizeLocked(pCache, before, target, rc);
    pCache->asyncCount--;
    rcache_CheckDelayedActions(pCache);
    mosFastlockBase_Release(&pCache->fastlock);
    mosUmtRWLock_ReleaseWriteLock(&pCache->rwLock);
    rcache_UpdateOstrelOnCacheState(pCache);
    jobThreadDone(pCache);
}

void rcache_PurgeAsync(void *pArg)
{
    Cache *pCache = static_cast<Cache *>(pArg);
    mosUmtRWLock_AcquireWriteLock(&pCache->rwLock);
    // No operation is inside the cache and none can enter while the job is counted, so the purge
    // (which yields between blocks) runs without the cache's fastlock.
    rcacheMd_Purge(&pCache->md);
    {
        MosFastlockGuard guard(&pCache->fastlock);
        pCache->delayedActionFlags &= (UINT8)~RCACHE__DELAYED_ACTION__PURGE;
        pCache->asyncCount--;
        MOS_TRACE(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW, "Cache %p was purged.", (void *)pCache);
        rcache_CheckDelayedActions(pCache);
    }
    mosUmtRWLock_ReleaseWriteLock(&pCache->rwLock);
    jobThreadDone(pCache);
}

void startJobLocked(Cache *pCache, MosUmt_StartFunc pFunc, MosUmtClassId classId)
{
    pCache->asyncCount++;
    std::atomic_ref<UINT32>(pCache->liveJobThreads).fetch_add(1);
    HMosUmt_UThread h = mosUmt_CreateUThreadEx(pFunc, pCache, nullptr, nullptr, FALSE, classId);
    MOS_ASSERT_WITH_DESC(h != nullptr, "cache job thread");
}


// Under fastlock: the change-size job is counted and started.
void rcache_ChangeSizeIntrn(Cache *pCache)
{
    startJobLocked(pCache, rcache_ChangeSizeAsync, pCache->hooks.changeSizeClass);
}

// Under fastlock: the purge job is counted and started.
void rcache_PurgeIntrn(Cache *pCache) { startJobLocked(pCache, rcache_PurgeAsync, pCache->hooks.purgeClass); }

void rcache_UpdateOstrelOnCacheStateAsync(void *pArg)
{
    Cache *pCache = static_cast<Cache *>(pArg);
    rcache_SendCacheStateToOstrel(pCache);
    std::atomic_ref<UINT32>(pCache->updateOstrelCount).fetch_sub(1);
}

void waitForJobs(Cache *pCache)
{
    for (;;) {
        {
            MosFastlockGuard guard(&pCache->fastlock);
            if (pCache->asyncCount == 0 && std::atomic_ref<UINT32>(pCache->updateOstrelCount).load() == 0 &&
                std::atomic_ref<UINT32>(pCache->liveJobThreads).load() == 0)
                return;
        }
        if (mosUmt_GetUThreadHdlNoAssert() != nullptr)
            mosUmt_Yield();
        else
            usleep(1000);
    }
}

// Sizes and offsets widened to whole pages, cut at 256-LB device blocks: a device write may be up
// to a tooth long, and each piece is one segment of the metadata layer.
template <typename F> void forEachPageWidenedPiece(UINT64 lba, UINT32 sizeInLb, F fn)
{
    const UINT64 start = lba & ~(UINT64)(RCACHE__PAGE_SIZE_IN_LB - 1);
    const UINT64 end = (lba + sizeInLb + RCACHE__PAGE_SIZE_IN_LB - 1) & ~(UINT64)(RCACHE__PAGE_SIZE_IN_LB - 1);
    for (UINT64 at = start; at < end;) {
        const UINT64 blockEnd = ((at >> RCACHE__MD_DEVICE_BLOCK_SHIFT) + 1) << RCACHE__MD_DEVICE_BLOCK_SHIFT;
        const UINT64 pieceEnd = blockEnd < end ? blockEnd : end;
        fn(at, (UINT32)(pieceEnd - at));
        at = pieceEnd;
    }
}
} // namespace

// ---------------------------------------------------------------------------------------------
// Life and devices

void rcache_Init(Cache *pCache, Cont *pCont)
{
    MOS_ASSERT(pCache != nullptr);
    MOS_ASSERT_WITH_DESC(pTgtSdbg_g != nullptr, "debug types registered");
    memset(static_cast<void *>(pCache), 0, sizeof(*pCache));
    MOS_ASSERT(mosHash_CreateNamedHash(&pCache->devHash, RCACHE__DEV_HASH_BUCKETS, MOS_HASHING_METHOD__MODULO, 0,
                                       nullptr, nullptr, "rcache_dev_hash", TGT_CONTENTION__RCACHE_DEV_HASH));
    mosUmtRWLock_Init(&pCache->rwLock);
    mosUmtRWLock_Init(&pCache->ostrelNotifLock);
    mosFastlockBase_Create(&pCache->fastlock, TGT_CONTENTION__RCACHE, __FILE__, __LINE__);
    rcacheMd_Init(&pCache->md);
    pCache->pCont = pCont;
    pCache->memAllocState = TGT_CACHE_MEMORY_ALLOCATION_STATE__PENDING;
    pCache->bEnable = TRUE;
    mosObjType_RegObj(&pTgtSdbg_g->rcacheType, &pCache->sdbgObj, "rcache");
}

void rcache_SetContHooks(Cache *pCache, const Rcache_ContHooks *pHooks)
{
    MosFastlockGuard guard(&pCache->fastlock);
    pCache->hooks = *pHooks;
}

void rcache_Destroy(Cache *pCache)
{
    MOS_ASSERT(pCache != nullptr);
    waitForJobs(pCache);
    if (pTgtSdbg_g != nullptr)
        mosObjType_UnregObj(&pTgtSdbg_g->rcacheType, &pCache->sdbgObj);
    rcacheMd_Destroy(&pCache->md);
    for (UINT32 b = 0; b < pCache->devHash.numOfBuckets; b++) {
        MosHash_Bucket *pBucket = &pCache->devHash.pBuckets[b];
        while (pBucket->pFirst != nullptr && pBucket->counter != 0) {
            MosHash_Record *pRec = pBucket->pFirst;
            MOS_ASSERT(mosHash_DeleteRecordByKeyAndPtr(&pCache->devHash, pRec->userData.key, pRec));
            mos_MemFree(pRec);
        }
    }
    mosHash_Delete(&pCache->devHash);
    mosUmtRWLock_Destroy(&pCache->ostrelNotifLock);
    mosUmtRWLock_Destroy(&pCache->rwLock);
    mosFastlockBase_Destroy(&pCache->fastlock);
    MOS_TRACE(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW, "Cache %p destroyed.", (void *)pCache);
}

void rcache_AddDevice(Cache *pCache, UINT64 devId, BOOL bReconfigInProgress)
{
    MOS_ASSERT(pCache != nullptr);
    MosFastlockGuard guard(&pCache->fastlock);
    if (mosHash_ContainsKey(&pCache->devHash, devId)) {
        MOS_TRACE(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW, "Device 0x%lx already uses cache %p.", (unsigned long)devId,
                  (void *)pCache);
        return;
    }
    MosHash_Record *pRec =
        static_cast<MosHash_Record *>(mos_MemCalloc(sizeof(MosHash_Record), sizeof(MosHash_Record), __func__, FALSE));
    mosHash_Add(&pCache->devHash, pRec, devId, 0);
    MOS_TRACE(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW, "Device 0x%lx was added to use cache %p.", (unsigned long)devId,
              (void *)pCache);
    if (numOfDevices(pCache) != 1 || !pCache->bEnable || bReconfigInProgress)
        return;
    pCache->delayedActionFlags &= (UINT8)~RCACHE__DELAYED_ACTION__FREE;
    resizeNowOrLaterLocked(pCache, "allocated");
}

void rcache_RemoveDevice(Cache *pCache, UINT64 devId)
{
    MOS_ASSERT(pCache != nullptr);
    MosFastlockGuard guard(&pCache->fastlock);
    MosHash_Record *pRec = mosHash_GetRecordByKey(&pCache->devHash, devId, MOS_HASH_FLAGS__DELETE_RECORD, nullptr);
    if (pRec == nullptr)
        return;
    mos_MemFree(pRec);
    MOS_TRACE(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW, "Device 0x%lx was removed from using cache %p.",
              (unsigned long)devId, (void *)pCache);
    if (!pCache->bEnable || numOfDevices(pCache) != 0)
        return;
    if (pCache->inProgCount != 0 || rcache_IsBeingModified(pCache)) {
        pCache->delayedActionFlags |= RCACHE__DELAYED_ACTION__CHANGE_SIZE | RCACHE__DELAYED_ACTION__FREE;
        MOS_TRACE(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW, "Cache %p will be freed. (prog count %d)", (void *)pCache,
                  (int)pCache->inProgCount);
        return;
    }
    pCache->delayedActionFlags = RCACHE__DELAYED_ACTION__FREE;
    rcache_ChangeSizeIntrn(pCache);
}

BOOL rcache_IsDeviceCached(Cache *pCache, UINT64 devId)
{
    MOS_ASSERT(pCache != nullptr);
    return mosHash_ContainsKey(&pCache->devHash, devId);
}

// ---------------------------------------------------------------------------------------------
// Commands

Mos_RC rcache_ChangeSize(Cache *pCache, UINT64 sizeInLb)
{
    MOS_ASSERT(pCache != nullptr);
    if (sizeInLb < RCACHE__MIN_CACHE_SIZE_IN_LB) {
        MOS_TRACE(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW, "Cache size too small (%lu LBs).", (unsigned long)sizeInLb);
        sizeInLb = RCACHE__MIN_CACHE_SIZE_IN_LB;
    }
    UINT64 ramKb = 0;
    const Mos_RC ramRc = mos_GetNodeTotalRam(&ramKb);
    MosFastlockGuard guard(&pCache->fastlock);
    // A frozen cache takes no inserts; its size stays until it is unfrozen.
    if (pCache->bFreeze) {
        MOS_TRACE(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW, "Cache %p is frozen, size %lu LBs refused.", (void *)pCache,
                  (unsigned long)sizeInLb);
        return MOS_RC__RAMCACHE_WRONG_STATE;
    }
    if (sizeInLb == pCache->reqSizeInLb) {
        MOS_TRACE(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW, "Cache %p already with size %lu LBs.", (void *)pCache,
                  (unsigned long)sizeInLb);
        return MOS_RC__SUCCESS;
    }
    if (rcache_IsBeingModified(pCache)) {
        MOS_TRACE(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW, "Cache %p is being modified(%d) ", (void *)pCache,
                  (int)pCache->delayedActionFlags);
        return MOS_RC__RAMCACHE_WRONG_STATE;
    }
    if (ramRc != MOS_RC__SUCCESS) {
        MOS_ERROR(MOS_COMP_TGT_RCACHE, "Error getting node total ram size");
        return MOS_RC__ERROR;
    }
    const RcacheAllowance allowed = rcache_AllowedSizeInLb(ramKb);
    if (sizeInLb > allowed.allowedInLb) {
        MOS_TRACE(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW,
                  "New cache size %lu Lb exceeds allowed limit %lu Lb nodeTotalRam %lu percentage %u",
                  (unsigned long)sizeInLb, (unsigned long)allowed.allowedInLb, (unsigned long)ramKb,
                  allowed.percentage);
        return MOS_RC__NO_RESOURCES;
    }
    pCache->reqSizeInLb = sizeInLb;
    if (pCache->bEnable && numOfDevices(pCache) != 0) {
        pCache->delayedActionFlags &= (UINT8)~RCACHE__DELAYED_ACTION__FREE;
        if (pCache->inProgCount != 0) {
            pCache->delayedActionFlags |= RCACHE__DELAYED_ACTION__CHANGE_SIZE;
            MOS_TRACE(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW, "Cache %p will change size to %lu. (prog count %d)",
                      (void *)pCache, (unsigned long)sizeInLb, (int)pCache->inProgCount);
        } else {
            rcache_ChangeSizeIntrn(pCache);
        }
    } else {
        MOS_TRACE(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW,
                  "Cache %p is either disabled or has no devices, changing the requested size property without "
                  "allocation. ",
                  (void *)pCache);
    }
    return MOS_RC__SUCCESS;
}

Mos_RC rcache_EnableDisable(Cache *pCache, BOOL bEnable)
{
    MOS_ASSERT(pCache != nullptr);
    bEnable = bEnable ? TRUE : FALSE;
    {
        MosFastlockGuard guard(&pCache->fastlock);
        if (rcache_IsBeingModified(pCache)) {
            MOS_TRACE(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW, "Cache %p is being modified(%d) ", (void *)pCache,
                      (int)pCache->delayedActionFlags);
            return MOS_RC__RAMCACHE_WRONG_STATE;
        }
        if (pCache->bEnable != bEnable) {
            pCache->bEnable = bEnable;
            if (bEnable) {
                setMemAllocStateLocked(pCache, TGT_CACHE_MEMORY_ALLOCATION_STATE__PENDING);
                if (numOfDevices(pCache) != 0) {
                    pCache->delayedActionFlags &= (UINT8)~RCACHE__DELAYED_ACTION__FREE;
                    resizeNowOrLaterLocked(pCache, "created");
                }
            } else {
                setMemAllocStateLocked(pCache, TGT_CACHE_MEMORY_ALLOCATION_STATE__RAMCACHE_DISABLED);
                if (pCache->bCreated) {
                    pCache->delayedActionFlags |= RCACHE__DELAYED_ACTION__FREE;
                    resizeNowOrLaterLocked(pCache, "freed");
                }
            }
            MOS_TRACE(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW, "Cache %p is %s.", (void *)pCache,
                      bEnable ? "enabled" : "disabled");
        }
    }
    rcache_UpdateOstrelOnCacheState(pCache);
    return MOS_RC__SUCCESS;
}

Mos_RC rcache_FreezeUnfreeze(Cache *pCache, BOOL bFreeze)
{
    MOS_ASSERT(pCache != nullptr);
    MosFastlockGuard guard(&pCache->fastlock);
    if (rcache_IsBeingModified(pCache)) {
        MOS_TRACE(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW, "Cache %p is being modified(%d) ", (void *)pCache,
                  (int)pCache->delayedActionFlags);
        return MOS_RC__RAMCACHE_WRONG_STATE;
    }
    pCache->bFreeze = bFreeze ? TRUE : FALSE;
    MOS_TRACE(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW, "Cache %p is %s.", (void *)pCache, bFreeze ? "frozen" : "unfrozen");
    return MOS_RC__SUCCESS;
}

Mos_RC rcache_Purge(Cache *pCache)
{
    MOS_ASSERT(pCache != nullptr);
    MosFastlockGuard guard(&pCache->fastlock);
    if (!pCache->bCreated) {
        MOS_TRACE(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW, "Cache %p has not been created yet ", (void *)pCache);
        return MOS_RC__SUCCESS;
    }
    if (!pCache->bEnable || pCache->bFreeze || rcache_IsBeingModified(pCache)) {
        MOS_TRACE(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW, "Cache %p is %s", (void *)pCache,
                  !pCache->bEnable ? "disabled" : (pCache->bFreeze ? "frozen" : "being modified"));
        return MOS_RC__RAMCACHE_WRONG_STATE;
    }
    if (pCache->inProgCount != 0) {
        pCache->delayedActionFlags = RCACHE__DELAYED_ACTION__PURGE;
        MOS_TRACE(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW, "Cache %p will be purged.", (void *)pCache);
        return MOS_RC__SUCCESS;
    }
    rcache_PurgeIntrn(pCache);
    return MOS_RC__SUCCESS;
}

Mos_RC rcache_UpdateState(Cache *pCache, BOOL bEnabled, BOOL bFrozen, UINT64 cacheSizeInLb)
{
    MOS_ASSERT(pCache != nullptr);
    if (!bEnabled && bFrozen) {
        MOS_ERROR(MOS_COMP_TGT_RCACHE, "Cache %p cannot be disabled and frozen at once", (void *)pCache);
        return MOS_RC__INVALID_ARG;
    }
    rcache_EnableDisable(pCache, bEnabled);
    rcache_FreezeUnfreeze(pCache, bFrozen);
    rcache_ChangeSize(pCache, cacheSizeInLb);
    {
        MosFastlockGuard guard(&pCache->fastlock);
        oweReportLocked(pCache);
    }
    rcache_UpdateOstrelOnCacheState(pCache);
    return MOS_RC__SUCCESS;
}

void rcache_ReconfDone(Cache *pCache)
{
    MOS_ASSERT(pCache != nullptr);
    MosFastlockGuard guard(&pCache->fastlock);
    if (rcache_IsBeingModified(pCache) || !pCache->bEnable || numOfDevices(pCache) == 0)
        return;
    if (pCache->sizeInLb == pCache->reqSizeInLb) {
        MOS_TRACE(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW, "Cache %p already with size %lu LBs.", (void *)pCache,
                  (unsigned long)pCache->sizeInLb);
        return;
    }
    if (pCache->inProgCount != 0) {
        pCache->delayedActionFlags |= RCACHE__DELAYED_ACTION__CHANGE_SIZE;
        MOS_TRACE(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW, "Cache %p will change size to %lu. (prog count %d)",
                  (void *)pCache, (unsigned long)pCache->reqSizeInLb, (int)pCache->inProgCount);
        return;
    }
    rcache_ChangeSizeIntrn(pCache);
}

// ---------------------------------------------------------------------------------------------
// Data path

BOOL rcache_IsCacheSkip(Cache *pCache, UINT32 sizeInLbs, UINT64 offsetInLbs, UINT32 bWrite)
{
    MOS_ASSERT(pCache != nullptr);
    {
        MosFastlockGuard guard(&pCache->fastlock);
        if (!rcache_IsUsable(pCache))
            return TRUE;
        if (bWrite != 0 && pCache->bFreeze)
            return TRUE;
    }
    auto count = [](UINT32 &counter) {
        std::atomic_ref<UINT32>(counter).fetch_add(1, std::memory_order_relaxed);
        return TRUE;
    };
    if (sizeInLbs > RCACHE__MAX_IO_IN_LB)
        return count(pCache->counters.skipCountLargeIo);
    const UINT64 inPage = offsetInLbs % RCACHE__PAGE_SIZE_IN_LB;
    if (bWrite == 1) {
        if (sizeInLbs % RCACHE__PAGE_SIZE_IN_LB == 0 && inPage == 0)
            return FALSE;
        return count(pCache->counters.skipCountUnaligned4kbIo);
    }
    if (inPage == 0)
        return FALSE;
    const UINT64 widened = (inPage + sizeInLbs + RCACHE__PAGE_SIZE_IN_LB - 1) & ~(UINT64)(RCACHE__PAGE_SIZE_IN_LB - 1);
    if (widened > RCACHE__MAX_IO_IN_LB)
        return count(pCache->counters.skipCountLargeIo);
    return FALSE;
}

void *rcache_AllocBuffer(Cache *pCache, UINT32 sizeInLb, T10Dif **ppDifBuf)
{
    checkIo(pCache, 0, sizeInLb);
    if (!enterOperation(pCache, "Alloc Buffer"))
        return nullptr;
    void *pBuffer = rcacheMd_AllocBuffer(&pCache->md, sizeInLb);
    if (pBuffer == nullptr) {
        leaveOperation(pCache);
        return nullptr;
    }
    if (ppDifBuf != nullptr)
        *ppDifBuf = rcacheMd_GetDifPtr(&pCache->md, pBuffer);
    return pBuffer;
}

void rcache_FreeBuffer(Cache *pCache, void *pBuffer, UINT32 sizeInLb, BOOL bEntireBuffer)
{
    checkIo(pCache, 0, sizeInLb);
    MOS_ASSERT(pBuffer != nullptr);
    rcacheMd_FreeBuffer(&pCache->md, pBuffer, sizeInLb, bEntireBuffer);
    leaveOperation(pCache);
}

Mos_RC rcache_InsertData(Cache *pCache, UINT64 devId, UINT16 devGenNum, UINT64 lba, UINT32 sizeInLb,
                         void *pBuffer, BOOL bT10Dif, BOOL bIsObfuscated)
{
    checkIo(pCache, lba, sizeInLb);
    MOS_ASSERT(pBuffer != nullptr);
    {
        MosFastlockGuard guard(&pCache->fastlock);
        if (pCache->bFreeze) {
            MOS_NOISE(MOS_COMP_TGT_RCACHE, "Insert data failed: cache %p is frozen", (void *)pCache);
            return MOS_RC__NOT_READY;
        }
    }
    if (!rcache_IsDeviceCached(pCache, devId))
        return MOS_RC__TGT_DEVICE_NOT_FOUND;
    return rcacheMd_InsertData(&pCache->md, devId, devGenNum, lba, sizeInLb, pBuffer, bT10Dif, bIsObfuscated);
}

Mos_RC rcache_RetrieveData(Cache *pCache, UINT64 devId, UINT16 devGenNum, UINT64 lba, UINT32 sizeInLb,
                           UINT64 obfuscationKey, NetSmallIov *pIov, NetSmallIov *pIovDif, RdIoFlags rdIoFlags,
                           BOOL *pbIsCoalesced)
{
    checkIo(pCache, lba, sizeInLb);
    MOS_ASSERT(pIov != nullptr && pIovDif != nullptr && pbIsCoalesced != nullptr);
    *pbIsCoalesced = FALSE;
    if (!rcache_IsDeviceCached(pCache, devId)) {
        MOS_NOISE(MOS_COMP_TGT_RCACHE, "Retrieve data failed: device %lx doesn't use cache", (unsigned long)devId);
        return MOS_RC__TGT_DEVICE_NOT_FOUND;
    }
    if (!enterOperation(pCache, "Retrieve data"))
        return MOS_RC__NOT_READY;
    const Mos_RC rc = rcacheMd_RetrieveData(&pCache->md, devId, devGenNum, lba, sizeInLb, obfuscationKey, pIov,
                                            pIovDif, rdIoFlags, pbIsCoalesced);
    if (rc != MOS_RC__SUCCESS)
        leaveOperation(pCache);
    return rc;
}

void rcache_CompleteBufferUsage(Cache *pCache, UINT64 devId, UINT16 devGenNum, UINT64 lba, UINT32 sizeInLb,
                                const NetSmallIov *pIov)
{
    checkIo(pCache, lba, sizeInLb);
    MOS_ASSERT(pIov != nullptr);
    rcacheMd_CompleteBufferUsage(&pCache->md, devId, devGenNum, lba, sizeInLb, pIov);
    leaveOperation(pCache);
}

Mos_RC rcache_Invalidate(Cache *pCache, UINT64 devId, UINT16 devGenNum, UINT64 lba, UINT32 sizeInLb)
{
    MOS_ASSERT(pCache != nullptr);
    if (!rcache_IsDeviceCached(pCache, devId))
        return MOS_RC__TGT_DEVICE_NOT_FOUND;
    if (!enterOperation(pCache, "Invalidate"))
        return MOS_RC__NOT_READY;
    forEachPageWidenedPiece(lba, sizeInLb, [&](UINT64 at, UINT32 size) {
        rcacheMd_Invalidate(&pCache->md, devId, devGenNum, at, size);
    });
    leaveOperation(pCache);
    return MOS_RC__SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Reports and queries

void rcache_GetCounters(Cache *pCache, OstrelTgtRsp_RAMCacheCounters *pCounters)
{
    MOS_ASSERT(pCache != nullptr && pCounters != nullptr);
    memset(pCounters, 0, sizeof(*pCounters));
    RcacheQuery q;
    rcache_FillQuery(pCache, &q);
    {
        MosFastlockGuard guard(&pCache->fastlock);
        pCounters->totalSizeInKB = (UINT32)(pCache->reqSizeInLb / 2);
    }
    pCounters->sizeInUseInKB = (UINT32)q.sizeInUseInKb;
    pCounters->bigBlockEvictionSizeCountInKB = q.bigBlockEvictionCountInKb;
    pCounters->bigBlockEvictionCount = q.bigBlockEvictionCount;
    pCounters->entryEvictionSizeCountInKB = q.entryEvictionCountInKb;
    pCounters->entryEvictionCount = q.entryEvictionCount;
    pCounters->noEvictionCount = q.noEvictionCount;
    UINT32 *const pEntry[] = {&pCounters->entryCount_4kb,  &pCounters->entryCount_8kb,  &pCounters->entryCount_16kb,
                              &pCounters->entryCount_32kb, &pCounters->entryCount_64kb, &pCounters->entryCount_128kb};
    UINT32 *const pTotal[] = {&pCounters->totalEntryCount_4kb,  &pCounters->totalEntryCount_8kb,
                              &pCounters->totalEntryCount_16kb, &pCounters->totalEntryCount_32kb,
                              &pCounters->totalEntryCount_64kb, &pCounters->totalEntryCount_128kb};
    for (UINT32 c = 0; c < RCACHE__MD_NUM_SIZE_CLASSES; c++) {
        memcpy(pEntry[c], &q.entryCount[c], sizeof(UINT32));
        memcpy(pTotal[c], &q.totalEntryCount[c], sizeof(UINT32));
    }
    pCounters->skipCountLargeIo = q.skipCountLargeIo;
    pCounters->skipCountUnaligned4kbIo = q.skipCountUnaligned4kbIo;
    pCounters->skipCountCacheAllBusy = q.skipCountCacheAllBusy;
}

void rcache_FillQuery(Cache *pCache, RcacheQuery *pQuery)
{
    memset(pQuery, 0, sizeof(*pQuery));
    {
        MosFastlockGuard guard(&pCache->fastlock);
        pQuery->bDisabled = !pCache->bEnable;
        pQuery->bFrozen = pCache->bFreeze;
        pQuery->sizeInKb = pCache->sizeInLb / 2;
        pQuery->memoryAllocState = pCache->memAllocState;
    }
    const Rcache_MdDS &md = pCache->md;
    {
        MosFastlockGuard guard(const_cast<MosFastlock_Base *>(&md.ud.fastlock));
        const Rcache_UdCounters &c = md.ud.counters;
        pQuery->sizeInUseInKb = c.sizeInUseInLb / 2;
        pQuery->entryEvictionCountInKb = c.entryEvictionCountInLb / 2;
        pQuery->entryEvictionCount = c.entryEvictionCount;
        pQuery->bigBlockEvictionCountInKb = c.bigBlockEvictionCountInLb / 2;
        pQuery->bigBlockEvictionCount = c.bigBlockEvictionCount;
        pQuery->noEvictionCount = c.noEvictionCount;
        pQuery->skipCountCacheAllBusy = c.skipCountCacheAllBusy;
    }
    {
        MosFastlockGuard guard(const_cast<MosFastlock_Base *>(&md.fastlock));
        pQuery->mdEntryEvictionCount = md.counters.mdEntryEvictionCount;
        pQuery->inProgressCountInKb = md.counters.inProgressCountInLb / 2;
        memcpy(pQuery->entryCount, md.counters.entryCount, sizeof(pQuery->entryCount));
        memcpy(pQuery->totalEntryCount, md.counters.totalEntryCount, sizeof(pQuery->totalEntryCount));
    }
    pQuery->skipCountLargeIo = std::atomic_ref<UINT32>(pCache->counters.skipCountLargeIo).load();
    pQuery->skipCountUnaligned4kbIo = std::atomic_ref<UINT32>(pCache->counters.skipCountUnaligned4kbIo).load();
    pQuery->freeCountDIFCoalescePool = rcacheDif_GetFreeCoalesceCount(&pCache->md.dif);
}

void rcache_Query(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    MOS_UNUSED(pName);
    rcache_FillQuery(MOS_CONTAINER_OF(pObj, Cache, sdbgObj), static_cast<RcacheQuery *>(pData));
}

void rcache_SelfTest(Cache *pCache, UINT32 cmd)
{
    MOS_ASSERT(pCache != nullptr);
    rcacheUd_SelfTest(&pCache->md.ud, cmd);
}

BOOL rcache_SelfTestPasses(Cache *pCache, UINT32 cmd)
{
    MOS_ASSERT(pCache != nullptr);
    return cmd == TGT_RCACHE_SELF_TEST_CMD__ALL_REF_COUNT_ZERO && rcacheUd_AllRefCountsZero(&pCache->md.ud);
}

const CHAR_A *rcache_GetSelfTestCmdDesc(UINT32 cmd)
{
    return cmd == TGT_RCACHE_SELF_TEST_CMD__ALL_REF_COUNT_ZERO ? "Verify all RefCount are 0" : "Last";
}

void rcache_AssertValid(Cache *pCache)
{
    MOS_ASSERT(pCache != nullptr);
    rcacheDif_AssertValid(&pCache->md.dif);
    if (pCache->hooks.pNetBufPri != nullptr)
        rcacheNetBuf_AssertValid(pCache->hooks.pNetBufPri);
    if (pCache->hooks.pNetBufSec != nullptr)
        rcacheNetBuf_AssertValid(pCache->hooks.pNetBufSec);
}

void rcache_FreeT10DifCoalesceBuffer(Cache *pCache, void *pDifBuf)
{
    MOS_ASSERT(pCache != nullptr && pDifBuf != nullptr);
    rcacheDif_FreeT10DifBufReadHitCoalescing(&pCache->md.dif, pDifBuf);
}

BOOL rcache_IsT10DifCoalesceUsed(Cache *pCache)
{
    MOS_ASSERT(pCache != nullptr);
    return rcacheDif_IsT10DifCoalesceUsed(&pCache->md.dif);
}

void rcache_SendCacheStateToOstrel(Cache *pCache)
{
    MOS_ASSERT(pCache != nullptr);
    mosUmtRWLock_AcquireWriteLock(&pCache->ostrelNotifLock);
    Rcache_ContHooks hooks;
    {
        MosFastlockGuard guard(&pCache->fastlock);
        hooks = pCache->hooks;
    }
    OstrelTgtReq_UpdateTgtState req{};
    req.tgtId = hooks.pGetTgtId != nullptr ? hooks.pGetTgtId(hooks.pCtx) : 0;
    UINT64 sample = 0;
    bool bOwed;
    {
        MosFastlockGuard guard(&pCache->fastlock);
        bOwed = pCache->bNotifNeeded;
        if (bOwed) {
            sample = pCache->ostrelNotifCounter;
            req.cacheMemState = pCache->memAllocState;
        }
    }
    if (!bOwed) {
        mosUmtRWLock_ReleaseWriteLock(&pCache->ostrelNotifLock);
        return;
    }
    if (tgtInitParam_G.bDit)
        MOS_NOISE(MOS_COMP_TGT_RCACHE, "Tgt %lx cache memory state: %s (dit)", (unsigned long)req.tgtId,
                  rcache_MemAllocStateName(req.cacheMemState));
    else
        MOS_TRACE(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW, "Tgt %lx cache memory state: %s", (unsigned long)req.tgtId,
                  rcache_MemAllocStateName(req.cacheMemState));
    const Mos_RC rc = hooks.pSendRequest != nullptr
                          ? hooks.pSendRequest(hooks.pCtx, OSTREL_MSG_TYPE__UPDATE_TGT_STATE,
                                               CONT_NET__RECV_GROUP__OSTREL_CONTROL, &req, sizeof(req))
                          : MOS_RC__NOT_READY;
    if (rc == MOS_RC__SUCCESS) {
        MosFastlockGuard guard(&pCache->fastlock);
        if (pCache->ostrelNotifCounter == sample)
            pCache->bNotifNeeded = FALSE;
    } else {
        MOS_TRACE(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW, "Failed to send cache memory state notification");
    }
    mosUmtRWLock_ReleaseWriteLock(&pCache->ostrelNotifLock);
}

void rcache_UpdateOstrelOnCacheState(Cache *pCache)
{
    MOS_ASSERT(pCache != nullptr);
    std::atomic_ref<UINT32> count(pCache->updateOstrelCount);
    if (count.fetch_add(1) != 0) {
        count.fetch_sub(1); // a report is in flight; the owed flag keeps the news
        return;
    }
    MosUmtClassId classId;
    {
        MosFastlockGuard guard(&pCache->fastlock);
        classId = pCache->hooks.updateOstrelClass;
    }
    if (mosUmt_CreateUThreadEx(rcache_UpdateOstrelOnCacheStateAsync, pCache, nullptr, nullptr, FALSE, classId) ==
        nullptr) {
        // The report stays owed; the controller's watchdog sends it.
        MOS_TRACE(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW, "Failed to send cache memory state notification");
        count.fetch_sub(1);
    }
}
