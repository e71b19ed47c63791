#include "tgt/phy/phy_devmap.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "mos/mos_dbg.h"
#include "mos/mos_time.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_blkdev.h"
#include "mos/mos_utils_mem.h"
#include "mos/umt/mos_umt.h"
#include "tgt/phy/phy_dev.h"
#include "tgt/phy/phy_progress.h"
#include "tgt/tgt_conf.h"
#include "tgt/tgt_contention.h"
#include "tgt/tgt_umt_class.h"

namespace {
char devDir_G[PHY_DEV_MAP__PATH_LEN] = PHY_DEV_MAP__DEV_DIR;

PhyDevMap_DevRecord *devRecordOf(void *p) { return static_cast<PhyDevMap_DevRecord *>(p); }

void copyPath(char *pDst, const char *pSrc)
{
    snprintf(pDst, PHY_DEV_MAP__PATH_LEN, "%s", pSrc);
}

// The partition list names devices "/dev/<name>"; tests move them into a directory of files.
void localPath(const char *pListed, char *pOut)
{
    const size_t n = strlen(PHY_DEV_MAP__DEV_DIR);
    if (strncmp(pListed, PHY_DEV_MAP__DEV_DIR, n) != 0) {
        copyPath(pOut, pListed);
        return;
    }
    std::string joined = std::string(devDir_G) + (pListed + n);
    copyPath(pOut, joined.c_str());
}

void unlinkWaiter(PhyDevPath_Record *pRec, PhyDevPath_Result *pRes)
{
    if (pRes->pPrevWaiter != nullptr)
        pRes->pPrevWaiter->pNextWaiter = pRes->pNextWaiter;
    else
        pRec->pFirstWaiter = pRes->pNextWaiter;
    if (pRes->pNextWaiter != nullptr)
        pRes->pNextWaiter->pPrevWaiter = pRes->pPrevWaiter;
    pRes->pNextWaiter = pRes->pPrevWaiter = nullptr;
    __atomic_store_n(&pRes->pRecord, nullptr, __ATOMIC_RELEASE);
}

// The record pointer is read and the result unlinked under the record's lock; a delivery clears
// it under the same lock, so the two never cross.
void withdraw(PhyDevPath_Result *pRes)
{
    PhyDevPath_Record *pRec = __atomic_load_n(&pRes->pRecord, __ATOMIC_ACQUIRE);
    if (pRec == nullptr)
        return;
    mosFastlockBase_Acquire(&pRec->fastlock);
    if (pRes->pRecord == pRec)
        unlinkWaiter(pRec, pRes);
    mosFastlockBase_Release(&pRec->fastlock);
}

// The record's read is done: every waiter gets the result and its semaphore a unit, all under the
// record's lock (a waiter that withdrew is no longer on the list).
void deliver(PhyDevPath_Record *pRec)
{
    mosFastlockBase_Acquire(&pRec->fastlock);
    while (PhyDevPath_Result *pRes = pRec->pFirstWaiter) {
        unlinkWaiter(pRec, pRes);
        pRes->rc = pRec->rc;
        pRes->devId = pRec->devId;
        pRes->tgtId = pRec->tgtId;
        pRes->bDone = TRUE;
        if (pRes->pSem != nullptr)
            mosUmtSem_IncInter(pRes->pSem, 1, TRUE);
    }
    pRec->status = 0;
    mosFastlockBase_Release(&pRec->fastlock);
}

void phyDevMap_ThreadedReadDevId(void *pArg)
{
    auto *pRec = static_cast<PhyDevPath_Record *>(pArg);
    PhyDevMap *pMap = pRec->pDevMap;
    pRec->startUsec = phyAddDevProgress_NowUsec();
    MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_HIGH, "Start path:%s (dit)", pRec->path);
    TgtDevId devId = 0;
    TgtId tgtId = 0;
    Mos_RC rc = phyDev_ReadDevId(pRec->path, pMap->pAsyncIO, &devId, &tgtId);
    pRec->endUsec = phyAddDevProgress_NowUsec();
    pRec->rc = rc;
    pRec->devId = rc == MOS_RC__SUCCESS ? devId : 0;
    pRec->tgtId = rc == MOS_RC__SUCCESS ? tgtId : 0;
    MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_HIGH, "End path:%s rc=%u devId:%lx tgtId:%lx time:%lumilli (dit)", pRec->path,
              (unsigned)rc, (unsigned long)pRec->devId, (unsigned long)pRec->tgtId,
              (unsigned long)((pRec->endUsec - pRec->startUsec) / 1000));
    deliver(pRec);
    __atomic_sub_fetch(&pMap->runningReads, 1, __ATOMIC_ACQ_REL);
}

PhyDevPath_Record *PhyDevPath_Create(PhyDevMap *pMap, Cont *pCont, const char *pPath)
{
    auto *pRec = static_cast<PhyDevPath_Record *>(mos_MemCalloc(248, 248, __func__, FALSE));
    copyPath(pRec->path, pPath);
    pRec->pCont = pCont;
    pRec->pDevMap = pMap;
    mosFastlockBase_Create(&pRec->fastlock, TGT_CONTENTION__PHY_DEV_PATH, __FILE__, __LINE__);
    mosHash_Add(&pMap->devPathHash, &pRec->hashRecord, (UINT64)(uintptr_t)pRec->path, (UINT64)(uintptr_t)pRec);
    return pRec;
}

void freePathRecord(void *p)
{
    auto *pRec = static_cast<PhyDevPath_Record *>(p);
    MOS_ASSERT(pRec->status == 0 && pRec->pFirstWaiter == nullptr);
    mosFastlockBase_Destroy(&pRec->fastlock);
    mos_MemFree(pRec);
}

void freeDevRecord(void *p) { mos_MemFree(p); }

// Takes every record out once the enumeration has moved past it, then frees it.
void cleanHash(MosHash *pHash, void (*pFree)(void *))
{
    mosHash_EnumStart(pHash);
    UINT64 key = 0;
    PVOID pData = nullptr, pPrev = nullptr;
    BOOL bMore = mosHash_EnumGetNextRecord2(pHash, FALSE, &key, &pData);
    while (bMore) {
        pPrev = pData;
        bMore = mosHash_EnumGetNextRecord2(pHash, TRUE, &key, &pData);
        pFree(pPrev);
    }
    mosHash_EnumStop(pHash);
    MOS_ASSERT(mosHash_GetRecNum(pHash) == 0);
}

// Counts the devices of the list, or returns FALSE when it cannot be read.
BOOL listDevices(std::vector<std::string> *pPaths)
{
    Mos_EnumBlkDevContext ctx;
    if (mos_StartBlkDevEnum(&ctx) != MOS_RC__SUCCESS) {
        mos_FinishBlkDevEnum(&ctx);
        return FALSE;
    }
    char name[PHY_DEV_MAP__PATH_LEN];
    while (mos_GetNextBlkDev(&ctx, name, sizeof(name)) == MOS_RC__SUCCESS) {
        char path[PHY_DEV_MAP__PATH_LEN];
        localPath(name, path);
        pPaths->push_back(path);
    }
    mos_FinishBlkDevEnum(&ctx);
    return TRUE;
}

Mos_RC waitAll(PhyDevMap *pMap, MosUmt_Sem *pSem, UINT32 count)
{
    if (count == 0)
        return MOS_RC__SUCCESS;
    UINT32 thresholdMs = (UINT32)tgtInitParam_G.devReadIdThresholdInMillis;
    if (pMap->bTimedWaitAvailable)
        return mosUmtSem_DecTimed(pSem, count, thresholdMs);
    return phyDevMap_SemDecTimed(pSem, count, thresholdMs);
}
} // namespace

void phyDevMap_SetDevDir(const char *pDir)
{
    snprintf(devDir_G, sizeof(devDir_G), "%s", pDir != nullptr ? pDir : PHY_DEV_MAP__DEV_DIR);
}

void phyDevMap_Init(PhyDevMap *pDevMap, MosAsyncIO *pAsyncIO)
{
    *pDevMap = PhyDevMap{};
    MOS_ASSERT(mosHash_CreateNamedHash(&pDevMap->devHash, PHY_DEV_MAP__NUM_OF_BUCKETS, MOS_HASHING_METHOD__MODULO, 0,
                                       nullptr, nullptr, "phyDevMap", TGT_CONTENTION__PHY_DEV_MAP));
    MOS_ASSERT(mosHash_CreateNamedHash(&pDevMap->devPathHash, PHY_DEV_MAP__NUM_OF_BUCKETS, MOS_HASHING_METHOD__STRING, 0,
                                       nullptr, nullptr, "phyDevPathMap", TGT_CONTENTION__PHY_DEV_MAP));
    mosUmtRWLock_Init(&pDevMap->rwLock);
    mosFastlockBase_Create(&pDevMap->pathLock, TGT_CONTENTION__PHY_DEV_MAP, __FILE__, __LINE__);
    pDevMap->pAsyncIO = pAsyncIO;
    pDevMap->bInit = TRUE;
}

void phyDevMap_CleanDb(PhyDevMap *pDevMap) { cleanHash(&pDevMap->devHash, freeDevRecord); }

void phyDevMap_CleanPathHash(PhyDevMap *pDevMap) { cleanHash(&pDevMap->devPathHash, freePathRecord); }

void phyDevMap_Destroy(PhyDevMap *pDevMap)
{
    if (!pDevMap->bInit)
        return;
    // A read that outlived its reload still writes its record.
    while (__atomic_load_n(&pDevMap->runningReads, __ATOMIC_ACQUIRE) != 0)
        mos_NanoSleep(1000000);
    phyDevMap_CleanDb(pDevMap);
    mosHash_Clear(&pDevMap->devHash);
    mosHash_Delete(&pDevMap->devHash);
    phyDevMap_CleanPathHash(pDevMap);
    mosHash_Clear(&pDevMap->devPathHash);
    mosHash_Delete(&pDevMap->devPathHash);
    mosFastlockBase_Destroy(&pDevMap->pathLock);
    mosUmtRWLock_Destroy(&pDevMap->rwLock);
    pDevMap->bInit = FALSE;
}

void PhyDevPathResult_Init(PhyDevPath_Result *pResult, MosUmt_Sem *pSem, const GenericFilter *pFilter,
                           BOOL bAllocated)
{
    *pResult = PhyDevPath_Result{};
    pResult->pSem = pSem;
    pResult->pFilter = pFilter;
    pResult->bAllocated = bAllocated;
}

void PhyDevPathResult_Destroy(PhyDevPath_Result *pResult)
{
    withdraw(pResult);
    if (pResult->bAllocated)
        mos_MemFree(pResult);
}

void phyDevMap_ReadDevIdEx(PhyDevMap *pDevMap, Cont *pCont, PhyDevPath_Result *pResult, const char *pPath)
{
    copyPath(pResult->path, pPath);
    mosFastlockBase_Acquire(&pDevMap->pathLock);
    PVOID pData = nullptr;
    PhyDevPath_Record *pRec = nullptr;
    if (mosHash_GetRecordByKey2(&pDevMap->devPathHash, (UINT64)(uintptr_t)pResult->path, 0, &pData) != nullptr)
        pRec = static_cast<PhyDevPath_Record *>(pData);
    else
        pRec = PhyDevPath_Create(pDevMap, pCont, pResult->path);
    mosFastlockBase_Release(&pDevMap->pathLock);

    mosFastlockBase_Acquire(&pRec->fastlock);
    __atomic_store_n(&pResult->pRecord, pRec, __ATOMIC_RELEASE);
    pResult->pPrevWaiter = nullptr;
    pResult->pNextWaiter = pRec->pFirstWaiter;
    if (pRec->pFirstWaiter != nullptr)
        pRec->pFirstWaiter->pPrevWaiter = pResult;
    pRec->pFirstWaiter = pResult;
    BOOL bStart = pRec->status != 1;
    pRec->status = 1;
    mosFastlockBase_Release(&pRec->fastlock);
    if (!bStart)
        return; // a read of this path runs: its result comes here too
    __atomic_add_fetch(&pDevMap->runningReads, 1, __ATOMIC_ACQ_REL);
    HMosUmt_UThread h = mosUmt_CreateUThreadEx(phyDevMap_ThreadedReadDevId, pRec, nullptr, nullptr, FALSE,
                                               tgt_GetUmtClassId(MOS_UMT_CLASS_TYPE__TGT_PHY_DEV_PATH));
    MOS_ASSERT_WITH_DESC(h != nullptr, "a header-read thread could not be started");
}

Mos_RC phyDevMap_ReadDevId(PhyDevMap *pDevMap, Cont *pCont, const char *pPath, TgtDevId *pDevId, TgtId *pTgtId)
{
    MosUmt_Sem sem;
    mosUmtSem_Init(&sem);
    PhyDevPath_Result res;
    PhyDevPathResult_Init(&res, &sem, nullptr, FALSE);
    phyDevMap_ReadDevIdEx(pDevMap, pCont, &res, pPath);
    Mos_RC rc = mosUmtSem_DecTimed(&sem, 1, (UINT32)tgtInitParam_G.devReadIdThresholdInMillis);
    PhyDevPathResult_Destroy(&res);
    mosUmtSem_Destroy(&sem);
    if (rc != MOS_RC__SUCCESS)
        return MOS_RC__TIMEOUT;
    *pDevId = res.devId;
    if (pTgtId != nullptr)
        *pTgtId = res.tgtId;
    return res.rc;
}

Mos_RC phyDevMap_ReloadSpecificUpdate(PhyDevMap *pDevMap, TgtDevId devId, const char *pPath)
{
    if (devId == 0)
        return MOS_RC__INVALID_DEV_ID;
    if (mosHash_ContainsKey(&pDevMap->devHash, devId)) {
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "Device id %lx found again at %s: the first path stays",
                  (unsigned long)devId, pPath);
        return MOS_RC__SUCCESS;
    }
    auto *pRec = static_cast<PhyDevMap_DevRecord *>(
        mos_MemCalloc(sizeof(PhyDevMap_DevRecord), sizeof(PhyDevMap_DevRecord), __func__, FALSE));
    pRec->devId = devId;
    copyPath(pRec->path, pPath);
    mosHash_Add(&pDevMap->devHash, &pRec->hashRecord, devId, (UINT64)(uintptr_t)pRec);
    return MOS_RC__SUCCESS;
}

Mos_RC phyDevMap_ReloadSpecificPrepare(PhyDevMap *pDevMap, Cont *pCont, const char *pPath, TgtDevId *pDevId)
{
    Mos_RC rc = phyDevMap_ReadDevId(pDevMap, pCont, pPath, pDevId, nullptr);
    if (rc != MOS_RC__SUCCESS)
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "Failed to read DeviceId of %s. rc=%u", pPath, (unsigned)rc);
    return rc;
}

Mos_RC phyDevMap_ReloadSpecific(PhyDevMap *pDevMap, Cont *pCont, const char *pPath)
{
    TgtDevId devId = 0;
    Mos_RC rc = phyDevMap_ReloadSpecificPrepare(pDevMap, pCont, pPath, &devId);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    mosUmtRWLock_AcquireWriteLock(&pDevMap->rwLock);
    rc = phyDevMap_ReloadSpecificUpdate(pDevMap, devId, pPath);
    mosUmtRWLock_ReleaseWriteLock(&pDevMap->rwLock);
    return rc;
}

Mos_RC phyDevMap_Reload(PhyDevMap *pDevMap, Cont *pCont, GenericFilter *pFilter)
{
    std::vector<std::string> paths;
    if (!listDevices(&paths)) {
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "Unable to iterate over blk devices list");
        return MOS_RC__ERROR;
    }
    if (pFilter != nullptr)
        genericFilter_SetNumOfItemsInFilter(pFilter, (UINT32)paths.size());

    mosUmtRWLock_AcquireWriteLock(&pDevMap->rwLock);
    phyDevMap_CleanDb(pDevMap);
    MosUmt_Sem sem;
    mosUmtSem_Init(&sem);
    // Gathered in list order: of two devices with one id, the first listed is entered.
    PhyDevPath_Result *pGathered = nullptr, **ppTail = &pGathered;
    UINT32 count = 0;
    for (const std::string &p : paths) {
        // The filter keeps a path when it answers TRUE.
        if (pFilter != nullptr && !genericFilter_Filter(pFilter, const_cast<char *>(p.c_str())))
            continue;
        auto *pRes = static_cast<PhyDevPath_Result *>(
            mos_MemCalloc(sizeof(PhyDevPath_Result), sizeof(PhyDevPath_Result), __func__, FALSE));
        PhyDevPathResult_Init(pRes, &sem, pFilter, TRUE);
        *ppTail = pRes;
        ppTail = &pRes->pGatherNext;
        phyDevMap_ReadDevIdEx(pDevMap, pCont, pRes, p.c_str()); // phyDevMap_ReadDevIdAsync
        count++;
    }
    if (waitAll(pDevMap, &sem, count) != MOS_RC__SUCCESS)
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "Device header reads did not all end within %u ms",
                  (unsigned)tgtInitParam_G.devReadIdThresholdInMillis);
    while (PhyDevPath_Result *pRes = pGathered) {
        pGathered = pRes->pGatherNext;
        // Withdrawn first: a read that ends now no longer writes this result.
        withdraw(pRes);
        if (pRes->bDone && pRes->rc == MOS_RC__SUCCESS)
            phyDevMap_ReloadSpecificUpdate(pDevMap, pRes->devId, pRes->path);
        PhyDevPathResult_Destroy(pRes);
    }
    mosUmtSem_Destroy(&sem);
    mosUmtRWLock_ReleaseWriteLock(&pDevMap->rwLock);
    return MOS_RC__SUCCESS;
}

Mos_RC phyDevMap_SemDecTimed(MosUmt_Sem *pSem, UINT32 count, UINT32 thresholdMs)
{
    const UINT32 sleepRetries = (UINT32)tgtInitParam_G.devReadIdSleepRetries;
    const UINT32 lockRetries = (UINT32)tgtInitParam_G.devReadIdLockRetries;
    MOS_ASSERT(sleepRetries != 0 && lockRetries != 0);
    // The threshold is in milliseconds, so its share per sleep is too.
    const UINT64 sleepNanos = (UINT64)thresholdMs / sleepRetries * 1000000ull;
    const UINT64 start = phyAddDevProgress_NowUsec();
    for (UINT64 tries = 1;; tries++) {
        if (mosUmtSem_TryDec(pSem, count) == MOS_RC__SUCCESS)
            return MOS_RC__SUCCESS;
        if (phyAddDevProgress_NowUsec() - start > (UINT64)thresholdMs * 1000)
            return MOS_RC__TIMEOUT;
        if (tries % lockRetries == 0)
            mos_NanoSleep(sleepNanos);
        mosUmt_Yield();
    }
}

BOOL phyDevMap_GetDevPath(PhyDevMap *pDevMap, TgtDevId devId, char *pPath, UINT32 *pCount)
{
    mosUmtRWLock_AcquireReadLock(&pDevMap->rwLock);
    PVOID pData = nullptr;
    BOOL bFound = mosHash_GetRecordByKey2(&pDevMap->devHash, devId, 0, &pData) != nullptr ? TRUE : FALSE;
    if (bFound) {
        copyPath(pPath, devRecordOf(pData)->path);
        if (pCount != nullptr)
            *pCount = (UINT32)strlen(pPath);
    }
    mosUmtRWLock_ReleaseReadLock(&pDevMap->rwLock);
    return bFound;
}

void phyDevMap_StartDevItr(PhyDevMap *pDevMap)
{
    mosUmtRWLock_AcquireReadLock(&pDevMap->rwLock);
    mosHash_EnumStart(&pDevMap->devHash);
    pDevMap->bEnumActive = TRUE;
}

TgtDevId phyDevMap_GetNextDev(PhyDevMap *pDevMap)
{
    MOS_ASSERT(pDevMap->bEnumActive);
    UINT64 key = 0;
    PVOID pData = nullptr;
    while (mosHash_EnumGetNextRecord2(&pDevMap->devHash, FALSE, &key, &pData)) {
        if (key != 0)
            return key;
    }
    mosHash_EnumStop(&pDevMap->devHash);
    pDevMap->bEnumActive = FALSE;
    mosUmtRWLock_ReleaseReadLock(&pDevMap->rwLock);
    return 0;
}
