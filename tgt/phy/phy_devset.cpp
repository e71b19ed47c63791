#include "tgt/phy/phy_devset.h"

#include <cstring>
#include <memory>

#include "mos/mos_dbg.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"
#include "mos/umt/mos_umt.h"
#include "tgt/rcache/rcache.h"
#include "tgt/tgt_conf.h"
#include "tgt/tgt_contention.h"
#include "tgt/tgt_umt_class.h"

namespace {
// The read side for a change of the device list: a pass over all devices that holds the write
// side is asked to stop so that the change need not wait for all of it.
struct ListReadGuard {
    explicit ListReadGuard(PhyMultiDev *p) : pMDev(p)
    {
        if (mosUmtRWLock_TryAcquireReadLock(&pMDev->mDevListRwLock) == MOS_RC__SUCCESS)
            return;
        __atomic_store_n(&pMDev->bAbortBgLoops, TRUE, __ATOMIC_RELEASE);
        mosUmtRWLock_AcquireReadLock(&pMDev->mDevListRwLock);
        __atomic_store_n(&pMDev->bAbortBgLoops, FALSE, __ATOMIC_RELEASE);
    }
    ~ListReadGuard() { mosUmtRWLock_ReleaseReadLock(&pMDev->mDevListRwLock); }
    ListReadGuard(const ListReadGuard &) = delete;
    ListReadGuard &operator=(const ListReadGuard &) = delete;
    PhyMultiDev *pMDev;
};

BOOL aborting(PhyMultiDev *pMDev) { return __atomic_load_n(&pMDev->bAbortBgLoops, __ATOMIC_ACQUIRE); }

void bindReapers(MosAsyncIO *pAio)
{
    const UINT64 low = tgtInitParam_G.asyncIOCpuMask1, high = tgtInitParam_G.asyncIOCpuMask0;
    if (low == 0 && high == 0)
        return;
    UINT8 mask[16];
    for (UINT32 i = 0; i < 8; i++) {
        mask[i] = (UINT8)(low >> (8 * i));
        mask[8 + i] = (UINT8)(high >> (8 * i));
    }
    MOS_ASSERT_SUCCESS(mosAsyncIO_BindToCpus(pAio, mask, 128));
}

// Slot changes, under mDevFastlock.
void releaseSlot(PhyMultiDev *pMDev, UINT32 index, BOOL bWasUsed)
{
    MosFastlockGuard g(&pMDev->mDevFastlock);
    pMDev->pSlotState[index] = PHY_MULTI_DEV_SLOT__FREE;
    if (bWasUsed)
        pMDev->devAllocAnchor.count--;
    pMDev->devFreeAnchor.count++;
}

// Frees a comb that the device's rebuild map still holds (found on the device, never named again).
void freeRebuildCombs(PhyMultiDev *pMDev, PhyDev *pDev)
{
    PhyDevAddr addr;
    CombId combId = 0;
    for (BOOL bFirst = TRUE; phyDevCombMap_RemOldCombs_Loop(&pDev->devComb.devCombMap, &addr, &combId, bFirst);
         bFirst = FALSE) {
        UINT64 offsetInComb = 0;
        UINT64 index = phyDev_GetCombNode(pDev, addr, &offsetInComb);
        MOS_ASSERT(addr.devAddrBits.devId == phyMultiDev_GetDevId(pMDev, pDev));
        phyDevComb_Free(pDev, (UINT32)index, combId);
    }
}

struct DevPassJob {
    PhyMultiDev *pMDev;
    PhyDev *pDev;
};

void reconfigureDoneJob(void *pArg)
{
    auto *pJob = static_cast<DevPassJob *>(pArg);
    freeRebuildCombs(pJob->pMDev, pJob->pDev);
    mosUmtSem_IncInter(&pJob->pMDev->asyncDeviceActionSem, 1, TRUE);
}

// Runs one user-mode thread per used device and waits for all, under the write side; the jobs
// are the caller's (pJobs has room for every slot), and the count of them is returned.
template <typename Job, typename MakeJob>
UINT32 passOverDevices(PhyMultiDev *pMDev, Job *pJobs, void (*pFunc)(void *), MakeJob makeJob)
{
    Job *const jobs = pJobs;
    mosUmtRWLock_AcquireWriteLock(&pMDev->mDevListRwLock);
    UINT32 started = 0;
    for (UINT32 i = 0; i < pMDev->maxNumOfDevs; i++) {
        if (pMDev->pSlotState[i] != PHY_MULTI_DEV_SLOT__USED)
            continue;
        jobs[started] = makeJob(&pMDev->pPhyDev[i]);
        HMosUmt_UThread h =
            mosUmt_CreateUThreadEx(pFunc, &jobs[started], nullptr, nullptr, FALSE,
                                   tgt_GetUmtClassId(MOS_UMT_CLASS_TYPE__TGT_PHY_DEV_PATH));
        MOS_ASSERT_WITH_DESC(h != nullptr, "a device pass thread could not be started");
        started++;
    }
    if (started != 0)
        MOS_ASSERT_SUCCESS(mosUmtSem_DecTimed(&pMDev->asyncDeviceActionSem, started, 0));
    mosUmtRWLock_ReleaseWriteLock(&pMDev->mDevListRwLock);
    return started;
}

PhyDev *devOfAddr(PhyMultiDev *pMDev, PhyDevAddr devAddr)
{
    Exp(devAddr.devAddrBits.devId >= pMDev->maxNumOfDevs);
    return &pMDev->pPhyDev[devAddr.devAddrBits.devId];
}

UINT32 combIndexOf(PhyMultiDev *pMDev, PhyDevAddr devAddr)
{
    UINT64 offsetInComb = 0;
    UINT64 index = phyDev_GetCombNode(devOfAddr(pMDev, devAddr), devAddr, &offsetInComb);
    MOS_ASSERT(offsetInComb == 0);
    return (UINT32)index;
}

// The combs the device's array holds go into its rebuild map; every tooth found on the device
// joins its comb's node there, and a tooth whose comb the array does not hold is freed.
void scanCombs(PhyMultiDev *pMDev, PhyDev *pDev, TgtDevId devId, PhyAddDevProgress *pProgress)
{
    PhyDevComb &c = pDev->devComb;
    UINT64 start = phyAddDevProgress_NowUsec();
    UINT32 index = 0;
    CombId combId = 0;
    phyDevComb_RebuildStart(&c);
    while (phyDevComb_RebuildGetNext(&c, &index, &combId))
        phyDevCombMap_AddCombInRebuild(&c.devCombMap, &c.pCombNodeArr[index], combId, devId,
                                       phyMultiDev_CombIndexToDevAddr(pMDev, pDev, index));
    phyAddDevProgress_Stamp(pProgress, "Add comb In Rebuild", start);

    start = phyAddDevProgress_NowUsec();
    PhyToothMap *pMap = &pDev->toothMap;
    for (;;) {
        CombTId combTId = 0;
        mosFastlockBase_Acquire(&pMap->mapFastlock);
        PhyToothIndex t = phyToothMap_PopToothFoundOnDev(pMap, &combTId);
        mosFastlockBase_Release(&pMap->mapFastlock);
        if (t == PHY_TOOTH_INDEX__INVALID)
            break;
        PhyDevAddr addr;
        PhyDevCombNode *pNode =
            phyDevCombMap_GetCombRecordFromRebuildMap(&c.devCombMap, combTId_GetCombId(combTId), devId, &addr);
        if (pNode != nullptr) {
            phyToothMap_AppendTooth(pMap, &pNode->toothList, t);
            continue;
        }
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "Free tooth %u of comb %lx: the comb is not on device %lx", t,
                  (unsigned long)combTId_GetCombId(combTId), (unsigned long)devId);
        phyToothMap_FreeTooth(pMap, combTId, nullptr, t, TRUE, FALSE, nullptr);
    }
    phyAddDevProgress_Stamp(pProgress, "Free Tooth Scan", start);
}

// Takes a device that never became usable (or is removed) out of its slot.
void dropDev(PhyMultiDev *pMDev, PhyDev *pDev)
{
    UINT32 index = phyMultiDev_GetDevId(pMDev, pDev);
    phyDev_Destroy(pDev);
    releaseSlot(pMDev, index, TRUE);
}
} // namespace

void phyMultiDev_Init(PhyMultiDev *pMDev, UINT32 maxNumOfDevs, const MosAsyncIO_Backend *pBackend)
{
    MOS_ASSERT(maxNumOfDevs != 0 && maxNumOfDevs <= PHY__MAX_NUMBER_OF_DEVS);
    *pMDev = PhyMultiDev{};
    pMDev->maxNumOfDevs = maxNumOfDevs;
    pMDev->pPhyDev = new PhyDev[maxNumOfDevs]();
    pMDev->pSlotState = new PhyMultiDevSlotState[maxNumOfDevs]();
    pMDev->devFreeAnchor.count = maxNumOfDevs;
    mosUmtRWLock_Init(&pMDev->mDevListRwLock);
    mosFastlockBase_Create(&pMDev->mDevFastlock, TGT_CONTENTION__PHY_MULTI_DEV, __FILE__, __LINE__);
    mosUmtSem_Init(&pMDev->asyncDeviceActionSem);
    Mos_RC rc = mosAsyncIO_CreateWithBackend(&pMDev->asyncIO, (UINT32)tgtInitParam_G.maxGlobalAsyncIOReqs,
                                             (UINT32)tgtInitParam_G.asyncIOThrds, tgtInitParam_G.bNativeAsync,
                                             pBackend != nullptr ? pBackend : mosAsyncIO_GetKernelBackend());
    if (rc != MOS_RC__SUCCESS) {
        MOS_ERROR(MOS_COMP_TGT_PHY, "The device I/O context could not be created: %s", mosRc_GetStr(rc));
        MOS_UNREACHABLE("no asynchronous-I/O context for the devices");
    }
    bindReapers(&pMDev->asyncIO);
    pMDev->bInit = TRUE;
}

void phyMultiDev_Destroy(PhyMultiDev *pMDev)
{
    if (!pMDev->bInit)
        return;
    MOS_ASSERT_WITH_DESC(pMDev->devAllocAnchor.count == 0, "devices are still in the set");
    mosAsyncIO_Destroy(&pMDev->asyncIO);
    mosUmtSem_Destroy(&pMDev->asyncDeviceActionSem);
    mosFastlockBase_Destroy(&pMDev->mDevFastlock);
    mosUmtRWLock_Destroy(&pMDev->mDevListRwLock);
    delete[] pMDev->pPhyDev;
    delete[] pMDev->pSlotState;
    *pMDev = PhyMultiDev{};
}

Mos_RC phyMultiDev_AddDev(PhyMultiDev *pMDev, Cont *pCont, File *pFile, UINT64 sizeInLbs, UINT32 dirtyGranularity,
                          TgtId tgtId, TgtDevId devId, BOOL bMemDrl, BOOL bNew,
                          const PhyDevThrottlingInfo *pThrottlingInfo, const PhyAddDevOptions *pOptions,
                          PhyDev **ppDev)
{
    UINT32 index = pMDev->maxNumOfDevs;
    {
        MosFastlockGuard g(&pMDev->mDevFastlock);
        for (UINT32 i = 0; i < pMDev->maxNumOfDevs; i++) {
            if (pMDev->pSlotState[i] == PHY_MULTI_DEV_SLOT__FREE) {
                index = i;
                break;
            }
        }
        if (index == pMDev->maxNumOfDevs) {
            MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "No free device slot for device %lx: %u devices in use",
                      (unsigned long)devId, pMDev->devAllocAnchor.count);
            return MOS_RC__ERROR;
        }
        pMDev->pSlotState[index] = PHY_MULTI_DEV_SLOT__INIT;
        pMDev->devFreeAnchor.count--;
    }
    PhyAddDevOptions none{};
    const PhyAddDevOptions &o = pOptions != nullptr ? *pOptions : none;
    PhyDev *pDev = &pMDev->pPhyDev[index];
    Mos_RC rc = phyDev_Init(pDev, pCont, pFile, sizeInLbs, dirtyGranularity, tgtId, devId, bMemDrl, bNew,
                            pThrottlingInfo, o.bQaDevError, o.bDevZeroPadEnabled, o.bChecksumEnabled,
                            &pMDev->mDevFastlock, o.pDevBwc, o.pProgress, o.bUseCache, o.ramcacheWriteMode,
                            o.scanBWLimitKb);
    if (rc == MOS_RC__SUCCESS) {
        pDev->pRcache = pMDev->pCache;
        if (o.bUseCache && pMDev->pCache != nullptr)
            rcache_AddDevice(pMDev->pCache, devId, o.bReconfigInProgress);
    }
    ListReadGuard lg(pMDev);
    MosFastlockGuard g(&pMDev->mDevFastlock);
    if (rc == MOS_RC__SUCCESS) {
        pMDev->pSlotState[index] = PHY_MULTI_DEV_SLOT__USED;
        pMDev->devAllocAnchor.count++;
        *ppDev = pDev;
    } else {
        pMDev->pSlotState[index] = PHY_MULTI_DEV_SLOT__FREE;
        pMDev->devFreeAnchor.count++;
    }
    MOS_ASSERT(pMDev->devFreeAnchor.count + pMDev->devAllocAnchor.count <= pMDev->maxNumOfDevs);
    return rc;
}

Mos_RC phyMultiDev_AddDevDone(PhyMultiDev *pMDev, PhyDev *pDev, PhyAddDevProgress *pProgress)
{
    (void)pMDev;
    UINT64 start = phyAddDevProgress_NowUsec();
    BOOL bOk = phyToothMap_HardenAll(&pDev->toothMap, 0);
    phyAddDevProgress_Stamp(pProgress, "Harden Tooth Array", start);
    if (bOk) {
        start = phyAddDevProgress_NowUsec();
        bOk = phyDevComb_Harden(&pDev->devComb, TRUE, __atomic_load_n(&pDev->devComb.devChangeNumber, __ATOMIC_ACQUIRE));
        phyAddDevProgress_Stamp(pProgress, "Harden Comb Array", start);
    }
    return bOk ? MOS_RC__SUCCESS : MOS_RC__TGT_ADD_DEV_IO_ERROR;
}

MosAsyncIO *phyMultiDev_GetAsyncIO(PhyMultiDev *pMDev) { return &pMDev->asyncIO; }

UINT32 phyMultiDev_GetDevId(PhyMultiDev *pMDev, const PhyDev *pDev)
{
    UINT32 index = (UINT32)(pDev - pMDev->pPhyDev);
    MOS_ASSERT(pDev >= pMDev->pPhyDev && index < pMDev->maxNumOfDevs);
    return index;
}

PhyDevCombNode *phyMultiDev_GetCombNode(PhyMultiDev *pMDev, PhyDevAddr devAddr)
{
    PhyDev *pDev = devOfAddr(pMDev, devAddr);
    UINT32 index = combIndexOf(pMDev, devAddr);
    Exp(index >= pDev->devComb.maxNumOfCombs);
    return &pDev->devComb.pCombNodeArr[index];
}

PhyDevAddr phyMultiDev_CombIndexToDevAddr(PhyMultiDev *pMDev, PhyDev *pDev, UINT32 combIndex)
{
    return phyDev_CombAddr(phyMultiDev_GetDevId(pMDev, pDev), combIndex, pDev->teethOffsetInLbs, pMDev->maxNumOfDevs);
}

void phy_InitEx(Phy *pPhy, Cont *pCont, const MosAsyncIO_Backend *pBackend, BOOL bReload)
{
    phyMultiDev_Init(&pPhy->mDev, PHY__MAX_NUMBER_OF_DEVS, pBackend);
    phyMap_Init(&pPhy->combMap);
    phyDevMap_Init(&pPhy->devMap, &pPhy->mDev.asyncIO);
    if (bReload)
        phyDevMap_Reload(&pPhy->devMap, pCont, nullptr);
}

namespace {
// What phy_Init builds the device set's I/O context on; null: the kernel's.
const MosAsyncIO_Backend *initBackend_G = nullptr;
} // namespace

void phy_SetInitBackend(const MosAsyncIO_Backend *pBackend) { initBackend_G = pBackend; }

void phy_Init(Phy *pPhy, Cont *pCont) { phy_InitEx(pPhy, pCont, initBackend_G, TRUE); }

void phy_Destroy(Phy *pPhy)
{
    phyDevMap_Destroy(&pPhy->devMap);
    phyMap_Destroy(&pPhy->combMap);
    phyMultiDev_Destroy(&pPhy->mDev);
}

void phy_SetCache(Phy *pPhy, Cache *pCache) { pPhy->mDev.pCache = pCache; }

UINT32 phy_GetStructSize(void) { return (UINT32)sizeof(Phy); }

Mos_RC phy_AddDev(Phy *pPhy, Cont *pCont, File *pFile, UINT64 sizeInLbs, UINT32 dirtyGranularity, TgtId tgtId,
                  TgtDevId devId, BOOL bMemDrl, UINT64 snapReservedTeeth, BOOL bNew,
                  const PhyDevThrottlingInfo *pThrottlingInfo, PhyDev **ppDev, const PhyAddDevOptions *pOptions)
{
    PhyMultiDev *pMDev = &pPhy->mDev;
    PhyDev *pDev = nullptr;
    Mos_RC rc = phyMultiDev_AddDev(pMDev, pCont, pFile, sizeInLbs, dirtyGranularity, tgtId, devId, bMemDrl, bNew,
                                   pThrottlingInfo, pOptions, &pDev);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    PhyToothMap *pMap = &pDev->toothMap;
    mosFastlockBase_Acquire(&pMap->mapFastlock);
    MOS_ASSERT_WITH_DESC(snapReservedTeeth >= pMap->currSnapTeeth + pMap->currThinBaseTeeth,
                         "the snapshot reserve is below the teeth snapshots use");
    pMap->snapReservedTeeth = snapReservedTeeth;
    mosFastlockBase_Release(&pMap->mapFastlock);
    PhyAddDevProgress *pProgress = pOptions != nullptr ? pOptions->pProgress : nullptr;
    if (!bNew)
        scanCombs(pMDev, pDev, devId, pProgress);
    rc = phyMultiDev_AddDevDone(pMDev, pDev, pProgress);
    if (rc != MOS_RC__SUCCESS) {
        // Nothing of the device is in use yet: the slot goes back as if the add never happened.
        ListReadGuard lg(pMDev);
        dropDev(pMDev, pDev);
        return rc;
    }
    *ppDev = pDev;
    return MOS_RC__SUCCESS;
}

Mos_RC phy_RemDev(Phy *pPhy, PhyDev *pDev)
{
    PhyMultiDev *pMDev = &pPhy->mDev;
    ListReadGuard lg(pMDev);
    freeRebuildCombs(pMDev, pDev);
    UINT32 combs = __atomic_load_n(&pDev->devComb.curNumOfCombs, __ATOMIC_ACQUIRE);
    if (combs != 0) {
        MOS_ERROR(MOS_COMP_TGT_PHY, "Device %lx not removed: %u combs are still on it",
                  (unsigned long)pDev->header.devId, combs);
        return MOS_RC__BUSY;
    }
    Mos_RC rc = phyDev_WriteZeroHeaderAndCounters(pDev);
    if (rc != MOS_RC__SUCCESS) {
        MOS_ERROR(MOS_COMP_TGT_PHY, "Device %lx not removed: its header could not be zeroed: %s",
                  (unsigned long)pDev->header.devId, mosRc_GetStr(rc));
        return rc;
    }
    dropDev(pMDev, pDev);
    return MOS_RC__SUCCESS;
}

Mos_RC phy_AllocComb(Phy *pPhy, CombId combId, TgtDevId devId, PhyDev *pDev, BOOL *pbOnDevice, PhyDevAddr *pDevAddr)
{
    PhyMultiDev *pMDev = &pPhy->mDev;
    const UINT32 devIndex = phyMultiDev_GetDevId(pMDev, pDev);
    BOOL bOnDeviceOnly = FALSE;
    PhyDevAddr addr = phyMap_GetDevAddr(&pPhy->combMap, &pDev->devComb.devCombMap, combId, devId, &bOnDeviceOnly);
    *pbOnDevice = FALSE;
    if (addr.devAddr != PHY_DEV_ADDR__INVALID) {
        if (addr.devAddrBits.devId != devIndex) {
            MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "Comb %lx is on device index %u, not %u", (unsigned long)combId,
                      (unsigned)addr.devAddrBits.devId, devIndex);
            return MOS_RC__NOT_FOUND;
        }
        if (bOnDeviceOnly)
            phyMap_AddComb(&pPhy->combMap, &pDev->devComb.devCombMap, phyMultiDev_GetCombNode(pMDev, addr), combId,
                           devId, addr);
        *pbOnDevice = bOnDeviceOnly;
        *pDevAddr = addr;
        return MOS_RC__SUCCESS;
    }
    UINT32 index = 0;
    if (!phyDevComb_Alloc(&pDev->devComb, &index)) {
        MOS_ERROR(MOS_COMP_TGT_PHY, "No comb slot for comb %lx on device %lx: all %u are used", (unsigned long)combId,
                  (unsigned long)devId, pDev->devComb.maxNumOfCombs);
        return MOS_RC__NO_RESOURCES;
    }
    addr = phyMultiDev_CombIndexToDevAddr(pMDev, pDev, index);
    phyMap_AddComb(&pPhy->combMap, &pDev->devComb.devCombMap, &pDev->devComb.pCombNodeArr[index], combId, devId, addr);
    *pDevAddr = addr;
    return MOS_RC__SUCCESS;
}

void phy_AllocCombDone(Phy *pPhy, CombId combId, PhyDevAddr devAddr, UINT64 *pChangeNumber)
{
    PhyMultiDev *pMDev = &pPhy->mDev;
    PhyDevComb *pDevComb = &devOfAddr(pMDev, devAddr)->devComb;
    UINT32 index = combIndexOf(pMDev, devAddr);
    Exp(index >= pDevComb->maxNumOfCombs);
    // A comb found on the device already owns its slot; only a new one completes a reservation.
    // The array is page-aligned, so each packed entry is naturally aligned and can be loaded whole.
    const CombId *pHeld = reinterpret_cast<const CombId *>(&pDevComb->pCombArr[index]);
    if (__atomic_load_n(pHeld, __ATOMIC_ACQUIRE) == combId)
        *pChangeNumber = phyDevComb_PartialAllocDone(pDevComb);
    else
        *pChangeNumber = phyDevComb_AllocDone(pDevComb, index, combId);
}

void phy_FreeComb(Phy *pPhy, CombId combId)
{
    PhyMultiDev *pMDev = &pPhy->mDev;
    ListReadGuard lg(pMDev);
    PhyDevAddr addr;
    phyMap_RemComb(&pPhy->combMap, combId, &addr);
    PhyDev *pDev = devOfAddr(pMDev, addr);
    UINT32 index = combIndexOf(pMDev, addr);
    MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "Free comb %lx Dev in vol %lx offset %lx", (unsigned long)combId,
              (unsigned long)addr.devAddrBits.devId, (unsigned long)addr.devAddrBits.devOffset);
    phyDevComb_Free(pDev, index, combId);
}

BOOL phy_IsCombInRebuild(PhyDev *pDev, CombId combId, TgtDevId devId)
{
    return phyDevCombMap_IsCombInRebuild(&pDev->devComb.devCombMap, combId, devId);
}

void phy_ReconfigureStageDone(Phy *pPhy)
{
    PhyMultiDev *pMDev = &pPhy->mDev;
    std::unique_ptr<DevPassJob[]> jobs(new DevPassJob[PHY__MAX_NUMBER_OF_DEVS]);
    (void)passOverDevices(pMDev, jobs.get(), reconfigureDoneJob,
                          [pMDev](PhyDev *pDev) { return DevPassJob{pMDev, pDev}; });
}

Mos_RC phy_HardenAllCombArr(Phy *pPhy)
{
    PhyMultiDev *pMDev = &pPhy->mDev;
    if (aborting(pMDev)) {
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "Harden of all comb arrays put off: the device list is changing");
        return MOS_RC__BUSY;
    }
    std::unique_ptr<PhyDevHardenJob[]> jobs(new PhyDevHardenJob[PHY__MAX_NUMBER_OF_DEVS]);
    const UINT32 n = passOverDevices(pMDev, jobs.get(), phyDev_HardenAllCombArr_Async, [pMDev](PhyDev *pDev) {
        return PhyDevHardenJob{pDev, 0, &pMDev->asyncDeviceActionSem, FALSE};
    });
    UINT32 failed = 0;
    for (UINT32 i = 0; i < n; i++) {
        if (jobs[i].bOk)
            continue;
        failed++;
        MOS_ERROR(MOS_COMP_TGT_PHY, "Device %lx: its comb array or tooth map could not be hardened",
                  (unsigned long)jobs[i].pDev->header.devId);
    }
    return failed == 0 ? MOS_RC__SUCCESS : MOS_RC__IO_HARD_ERROR;
}

void phy_FlushAllDirtyDrl(Phy *pPhy)
{
    PhyMultiDev *pMDev = &pPhy->mDev;
    mosUmtRWLock_AcquireWriteLock(&pMDev->mDevListRwLock);
    for (UINT32 i = 0; i < pMDev->maxNumOfDevs && !aborting(pMDev); i++)
        if (pMDev->pSlotState[i] == PHY_MULTI_DEV_SLOT__USED)
            phyDev_FlushBm(&pMDev->pPhyDev[i], PHY_DEV_DRL_TYPE__ACTIVE);
    mosUmtRWLock_ReleaseWriteLock(&pMDev->mDevListRwLock);
}

Mos_RC phy_ReloadDevMap(Phy *pPhy, Cont *pCont, GenericFilter *pFilter)
{
    return phyDevMap_Reload(&pPhy->devMap, pCont, pFilter);
}

BOOL phy_GetDevPath(Phy *pPhy, TgtDevId devId, char *pPath, UINT32 *pCount)
{
    return phyDevMap_GetDevPath(&pPhy->devMap, devId, pPath, pCount);
}

TgtDevId phy_GetFirstDev(Phy *pPhy)
{
    phyDevMap_StartDevItr(&pPhy->devMap);
    return phyDevMap_GetNextDev(&pPhy->devMap);
}

TgtDevId phy_GetNextDev(Phy *pPhy) { return phyDevMap_GetNextDev(&pPhy->devMap); }
