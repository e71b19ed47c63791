// Device objects: the manager, an object's life, add and remove.
#include "tgt/cont/cont_dev.h"

#include <cstdlib>
#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"
#include "mos/umt/mos_umt.h"
#include "mos/umt/mos_umt_cond.h"
#include "tgt/cont/cont.h"
#include "tgt/cont/cont_dev_intrn.h"
#include "tgt/phy/phy_devset.h"
#include "tgt/tgt_conf.h"
#include "tgt/tgt_contention.h"
#include "tgt/tgt_sdbg.h"
#include "tgt/tgt_umt_class.h"

namespace {

template <class F> void forEachBwc(ContGlbBwc *pBwc, F fn)
{
    for (auto &pair : pBwc->ioBwc)
        for (TgtBwc &b : pair)
            fn(&b);
    fn(&pBwc->bmBwc);
    fn(&pBwc->dbmWriteBwc);
    fn(&pBwc->unifiedDbmBwc);
}

void createOscCounter(MosOscCnt_Counter *pCounter, MosOscCnt_CounterType type, const MosOscCnt_CounterParams *pParams,
                      UINT64 devId)
{
    MosOscCnt_CounterParams defaults{};
    if (pParams == nullptr) {
        mosOscCnt_InitOscParamsWithDefaults(type, &defaults);
        pParams = &defaults;
    }
    MosOscCnt_CounterDescriptor desc{};
    desc.type = type;
    desc.descriptorSize = sizeof(desc.OSCDesc.devInfo);
    desc.OSCDesc.devInfo.devId = devId;
    mosOscCnt_Create(pCounter, pParams, &desc);
}

BOOL isValidFlavor(UINT32 flavor)
{
    return flavor > TGT_SCAN_FLAVOR__INVALID && flavor < TGT_SCAN_FLAVOR__LAST;
}

Phy *phyOf(Cont *pCont)
{
    return &pCont->phy;
}

MosAsyncIO *aioOf(Cont *pCont)
{
    return phyMultiDev_GetAsyncIO(&pCont->phy.mDev);
}

// The name of the object of kind objType under id, for the holder's trace line.
void holderPath(Cont *pCont, ContObjType objType, void *pObj, CHAR_A *pOut)
{
    pOut[0] = '\0';
    if (objType == CONT_OBJ_TYPE__DEV)
        contDev_CopyDevPath(static_cast<ContDev *>(pObj), pOut);
    else if (objType == CONT_OBJ_TYPE__FLCACHE)
        snprintf(pOut, CONT_DEV__PATH_LEN, "%s", static_cast<ContFlcacheDev *>(pObj)->cacheDevData.cacheDevPath);
    (void)pCont;
}
} // namespace

BOOL contDev_CopyBoundedPath(const CHAR_A *pPath, CHAR_A *pOut)
{
    pOut[0] = '\0';
    if (pPath == nullptr || memchr(pPath, '\0', CONT_DEV__PATH_LEN) == nullptr)
        return FALSE;
    memcpy(pOut, pPath, strlen(pPath) + 1);
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// The manager

void contDevMngr_Init(ContDevMngr *pDevMngr, Cont *pCont)
{
    memset(static_cast<void *>(pDevMngr), 0, sizeof(*pDevMngr));
    contMngr_Init(&pDevMngr->devs);
    pDevMngr->pCont = pCont;
    pDevMngr->pEmptyBuff = static_cast<UINT8 *>(mos_AllocPageAligned(CONT_DEV__EMPTY_BUFF_SIZE));
    Exp(pDevMngr->pEmptyBuff == nullptr);
    memset(pDevMngr->pEmptyBuff, 0, CONT_DEV__EMPTY_BUFF_SIZE);
    mosUmtSem_Init(&pDevMngr->addDevData.addDevDoneSem);
    mosUmtSem_Init(&pDevMngr->addDevData.addRemDevSem);
    mosUmtSem_IncInter(&pDevMngr->addDevData.addRemDevSem, 1, TRUE);
    mosUmtRWLock_Init(&pDevMngr->itrRwLock);
    mosUmtSem_Init(&pDevMngr->longIoSem);
    mosUmtSem_IncInter(&pDevMngr->longIoSem, 1, TRUE);
    pDevMngr->lastLongIoTestTick = mosTicks_GetCurrentTick();
    mosUmtSem_Init(&pDevMngr->zeroing.wakeSem);
    mosUmtSem_Init(&pDevMngr->zeroing.endSem);
}

void contDevMngr_Destroy(ContDevMngr *pDevMngr)
{
    contDevMngr_StopZeroing(pDevMngr);
    mosUmtSem_Destroy(&pDevMngr->zeroing.endSem);
    mosUmtSem_Destroy(&pDevMngr->zeroing.wakeSem);
    contMngr_Destroy(&pDevMngr->devs);
    MOS_ASSERT(!pDevMngr->diskTest.bTestInProg);
    mosUmtSem_Destroy(&pDevMngr->longIoSem);
    mosUmtRWLock_Destroy(&pDevMngr->itrRwLock);
    mosUmtSem_Destroy(&pDevMngr->addDevData.addRemDevSem);
    mosUmtSem_Destroy(&pDevMngr->addDevData.addDevDoneSem);
    mos_FreePageAligned(pDevMngr->pEmptyBuff);
    memset(static_cast<void *>(pDevMngr), 0, sizeof(*pDevMngr));
}

void contDevMngr_DevInit(ContDevMngr *pDevMngr, ContDev *pDev, UINT64 devId, TgtBackgroundScanFlavor scanFlavor,
                         const MosOscCnt_CounterParams *pOscCntParams)
{
    // The object (and its scan thread) is built before it joins the list, so that no fast lock is
    // held while a thread is created.
    contDev_Init(pDevMngr->pCont, pDev, devId, scanFlavor, pOscCntParams);
    contMngr_Append(&pDevMngr->devs, pDev);
}

void contDevMngr_DevDestroy(ContDevMngr *pDevMngr, ContDev *pDev, BOOL bLock)
{
    if (bLock)
        mosUmtRWLock_AcquireWriteLock(&pDevMngr->itrRwLock);
    contMngr_Unlink(&pDevMngr->devs, pDev);
    if (bLock)
        mosUmtRWLock_ReleaseWriteLock(&pDevMngr->itrRwLock);
    contDev_Destroy(pDev);
}

UINT32 contDevMngr_GetDevCount(ContDevMngr *pDevMngr)
{
    return contMngr_Count(&pDevMngr->devs);
}

void contDevMngr_MarkAllDevs(ContDevMngr *pDevMngr)
{
    contMngr_MarkAll(&pDevMngr->devs);
}

void contDevMngr_StartCombLoop(ContDevMngr *pDevMngr)
{
    mosUmtRWLock_AcquireWriteLock(&pDevMngr->itrRwLock);
}

void contDevMngr_FinishCombLoop(ContDevMngr *pDevMngr)
{
    mosUmtRWLock_ReleaseWriteLock(&pDevMngr->itrRwLock);
}

ContDev *contDevMngr_GetNextMarkedNode(ContDevMngr *pDevMngr, ContDev *pDev)
{
    MosFastlockGuard g(&pDevMngr->devs.fastlock);
    MosDList_Node *p = pDev == nullptr ? mosDList_First(&pDevMngr->devs.anchor) : mosDList_Next(&pDev->listNode);
    for (; p != nullptr; p = mosDList_Next(p)) {
        ContDev *pCand = contMngr_ObjOfNode<ContDev>(p);
        if (pCand->bMark)
            return pCand;
    }
    return nullptr;
}

// ---------------------------------------------------------------------------------------------
// One object

void contDev_Init(Cont *pCont, ContDev *pDev, UINT64 devId, TgtBackgroundScanFlavor scanFlavor,
                  const MosOscCnt_CounterParams *pOscCntParams)
{
    memset(static_cast<void *>(pDev), 0, sizeof(*pDev));
    MOS_ASSERT(isValidFlavor(scanFlavor));
    pDev->devId = devId;
    pDev->scanFlavor = scanFlavor;
    pDev->pCont = pCont;
    createOscCounter(&pDev->longIoOscCnt, MOS_OSC_CNT_TYPE__DEVICE_LONG_IO_OPERATIONS,
                     pOscCntParams != nullptr ? &pOscCntParams[0] : nullptr, devId);
    createOscCounter(&pDev->longSuccessfulIoOscCnt, MOS_OSC_CNT_TYPE__DEVICE_LONG_SUCCESSFUL_IO_OPERATIONS,
                     pOscCntParams != nullptr ? &pOscCntParams[1] : nullptr, devId);
    mosUmtSem_Init(&pDev->waitForScanToEndSem);
    mosUmtSem_Init(&pDev->scanSleepSem);
    forEachBwc(&pDev->devBwc, tgtBwc_Init);
    file_Init(&pDev->file, pCont, pDev);
    MOS_FASTLOCK_CREATE(&pDev->addRemCombFastlock, TGT_CONTENTION__CONT_MNGR_OBJ);
    MOS_FASTLOCK_CREATE(&pDev->errFastlock, TGT_CONTENTION__CONT_MNGR_OBJ);
    mosDList_InitAnchor(&pDev->combAnchor);
    HMosUmt_UThread h = mosUmt_CreateUThreadEx(contDev_BackgroundScan, pDev, nullptr, nullptr, FALSE,
                                               tgt_GetUmtClassId(MOS_UMT_CLASS_TYPE__TGT_BACKGROUND_SCAN));
    MOS_ASSERT(h != nullptr);
    pDev->bScanThreadStarted = TRUE;
}

void contDev_Destroy(ContDev *pDev)
{
    if (pDev->bScanThreadStarted) {
        __atomic_store_n(&pDev->bAbortScan, TRUE, __ATOMIC_RELEASE);
        mosUmtSem_IncInter(&pDev->scanSleepSem, 1, TRUE);
        while (mosUmtSem_DecTimed(&pDev->waitForScanToEndSem, 1, 0) != MOS_RC__SUCCESS) {
        }
    }
    mosUmtSem_Destroy(&pDev->waitForScanToEndSem);
    mosUmtSem_Destroy(&pDev->scanSleepSem);
    mosOscCnt_Destroy(&pDev->longIoOscCnt);
    mosOscCnt_Destroy(&pDev->longSuccessfulIoOscCnt);
    file_Destroy(&pDev->file);
    mosFastlockBase_Destroy(&pDev->addRemCombFastlock);
    mosFastlockBase_Destroy(&pDev->errFastlock);
    forEachBwc(&pDev->devBwc, tgtBwc_Destroy);
    memset(static_cast<void *>(pDev), 0, sizeof(*pDev));
}

UINT64 contDev_GetTgtDevId(ContDev *pDev)
{
    return pDev->devId;
}

const CHAR_A *contDev_GetDevPath(ContDev *pDev)
{
    return file_GetPath(&pDev->file);
}

void contDev_CopyDevPath(ContDev *pDev, CHAR_A *pOut)
{
    snprintf(pOut, CONT_DEV__PATH_LEN, "%s", file_GetPath(&pDev->file));
}

void contDev_GetMaxNumOfCombs(ContDev *pDev, UINT32 *pNumOfCombs, UINT64 *pNumOfTeeth)
{
    *pNumOfCombs = 0;
    *pNumOfTeeth = 0;
    if (pDev->pPhyDev == nullptr)
        return;
    *pNumOfCombs = phyDev_GetMaxNumOfCombs(pDev->pPhyDev);
    *pNumOfTeeth = pDev->pPhyDev->numOfTeeth;
}

BOOL contDev_IsDeviceZeroingDone(ContDev *pDev)
{
    return pDev->pPhyDev != nullptr &&
           (__atomic_load_n(&pDev->pPhyDev->header.flags, __ATOMIC_ACQUIRE) & PHY_DEV_HDR_FLAG__MD_ZEROED) != 0;
}

Mos_RC contDev_ValidateBmWorkMode(ContDev *pDev, BOOL bMemDrl)
{
    MOS_ASSERT_WITH_DESC(pDev->pPhyDev != nullptr, "a device's log mode is set only while it is added");
    return phyDev_ValidateBmWorkMode(pDev->pPhyDev, bMemDrl);
}

BOOL contDev_CheckDevAfterError(ContDev *pDev)
{
    const BOOL bOk = pDev->pPhyDev != nullptr && phyDev_CheckDevAfterError(pDev->pPhyDev);
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Checked device after device-error, %s", bOk ? "SUCCESS" : "FAILURE");
    return bOk;
}

ContDev *cont_AcquireContDev(Cont *pCont, UINT64 devId)
{
    return static_cast<ContDev *>(contObj_Acquire(&pCont->objs, devId, CONT_OBJ_TYPE__DEV));
}

void cont_ReleaseContDev(Cont *pCont, UINT64 devId)
{
    contObj_Release(&pCont->objs, devId, CONT_OBJ_TYPE__DEV);
}

// ---------------------------------------------------------------------------------------------
// Signatures

Mos_RC contDev_ValidateNoOtherSignatures(Cont *pCont, UINT64 tgtDevId, const CHAR_A *pPath,
                                         BOOL bForceDeviceTakeover, ContObjType objDevType)
{
    UINT64 hdrDevId = 0;
    UINT64 hdrTgtId = 0;
    const Mos_RC rc = phyDevMap_ReadDevId(&phyOf(pCont)->devMap, pCont, pPath, &hdrDevId, &hdrTgtId);
    if (rc == MOS_RC__TIMEOUT)
        return MOS_RC__TGT_ADD_DEV_IO_ERROR;
    if (hdrDevId == 0 || hdrTgtId == 0)
        return MOS_RC__SUCCESS;
    const BOOL bForced = bForceDeviceTakeover || tgtInitParam_G.bAlwaysForceDeviceTakeover;
    const char *pCause = bForceDeviceTakeover ? "flag in command" : "flag in config file";
    const UINT64 myTgtId = cont_GetTgtId(pCont);
    if (hdrTgtId != myTgtId) {
        if (!bForced) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add Dev %s failed. Detected other tgt id %lx, devId %lx", pPath,
                      (unsigned long)hdrTgtId, (unsigned long)hdrDevId);
            return MOS_RC__DEV_ALREADY_TAKEN_BY_ANOTHER;
        }
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add Dev %s: forcing add, cause - %s. Detected other tgt id %lx, devId %lx",
                  pPath, pCause, (unsigned long)hdrTgtId, (unsigned long)hdrDevId);
        return MOS_RC__SUCCESS;
    }
    if (hdrDevId != tgtDevId) {
        void *pHolder = contObj_AcquireReadLock(&pCont->objs, hdrDevId, objDevType);
        if (pHolder != nullptr) {
            CHAR_A holder[CONT_DEV__PATH_LEN];
            holderPath(pCont, objDevType, pHolder, holder);
            contObj_ReleaseReadLock(&pCont->objs, hdrDevId, objDevType);
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add Dev %s failed, this tgt holds devId %lx found in %s", pPath,
                      (unsigned long)hdrDevId, holder);
            return MOS_RC__INVALID_DEVICE_HEADER_SIGNATURE;
        }
    }
    if (bForced) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW,
                  "Add Dev %s: forcing add, cause - %s. Detected tgt with same id %lx, devId %lx", pPath, pCause,
                  (unsigned long)hdrTgtId, (unsigned long)hdrDevId);
        return MOS_RC__SUCCESS;
    }
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add Dev %s failed, tgt with same id %lx on the same node holds devId %lx",
              pPath, (unsigned long)hdrTgtId, (unsigned long)hdrDevId);
    return hdrDevId == tgtDevId ? MOS_RC__DEV_ALREADY_TAKEN_BY_US_OR_ANOTHER : MOS_RC__DEV_ALREADY_TAKEN_BY_ANOTHER;
}

BOOL contDev_CheckIfSigMatches(Cont *pCont, UINT64 tgtDevId, const CHAR_A *pPath)
{
    UINT64 hdrDevId = 0;
    UINT64 hdrTgtId = 0;
    if (phyDevMap_ReadDevId(&phyOf(pCont)->devMap, pCont, pPath, &hdrDevId, &hdrTgtId) != MOS_RC__SUCCESS)
        return FALSE;
    return hdrDevId == tgtDevId && hdrTgtId == cont_GetTgtId(pCont);
}

// ---------------------------------------------------------------------------------------------
// Add

Mos_RC contDev_Add(Cont *pCont, ContDev *pDev, const CHAR_A *pPath, UINT32 *pNumOfCombs, UINT64 *pNumOfTeeth,
                   BOOL bMemDrl, UINT64 snapReservedTeeth, BOOL bDevZeroPadEnabled, BOOL bChecksumEnabled, BOOL bNew,
                   BOOL bForceDeviceTakeover, BOOL bUseCache, UINT32 ramcacheWriteMode,
                   const PhyDevThrottlingInfo *pThrottlingInfo, UINT32 scanBWLimitKb, BOOL bUseFlcache)
{
    *pNumOfCombs = 0;
    *pNumOfTeeth = 0;
    CHAR_A path[CONT_DEV__PATH_LEN];
    if (!contDev_CopyBoundedPath(pPath, path)) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Invalid device path, %.*s (no terminator within %u characters)",
                  (int)CONT_DEV__PATH_LEN, pPath != nullptr ? pPath : "", CONT_DEV__PATH_LEN);
        return MOS_RC__INVALID_DEVICE_PATH;
    }
    if (bNew) {
        const Mos_RC rc = contDev_ValidateNoOtherSignatures(pCont, pDev->devId, path, bForceDeviceTakeover,
                                                            CONT_OBJ_TYPE__DEV);
        if (rc != MOS_RC__SUCCESS)
            return rc;
    } else {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Check Dev, path %s ,%lx", path, (unsigned long)pDev->devId);
        CHAR_A found[CONT_DEV__PATH_LEN];
        UINT32 len = 0;
        if (phy_GetDevPath(phyOf(pCont), pDev->devId, found, &len)) {
            // The device map keeps one path per id, so a second path of the same id never shows
            // here; the multipath refusal has nothing to see.
            memcpy(path, found, sizeof(path));
            path[CONT_DEV__PATH_LEN - 1] = '\0';
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add Dev, path found in %s", path);
        } else {
            if (!contDev_CheckIfSigMatches(pCont, pDev->devId, path))
                return MOS_RC__NOT_FOUND;
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW,
                      "Add Dev, path found in %s, which wasn't loaded prior to Ostrel configuration", path);
            const Mos_RC rc = phyDevMap_ReloadSpecific(&phyOf(pCont)->devMap, pCont, path);
            if (rc == MOS_RC__TIMEOUT)
                return MOS_RC__TGT_ADD_DEV_IO_ERROR;
            if (rc != MOS_RC__SUCCESS)
                return rc;
        }
    }
    return contDev_AddIntern(pCont, pDev, path, pNumOfCombs, pNumOfTeeth, bMemDrl, snapReservedTeeth,
                             bDevZeroPadEnabled, bChecksumEnabled, bNew, bUseCache, ramcacheWriteMode, pThrottlingInfo,
                             scanBWLimitKb, bUseFlcache);
}

Mos_RC contDev_AddIntern(Cont *pCont, ContDev *pDev, const CHAR_A *pPath, UINT32 *pNumOfCombs, UINT64 *pNumOfTeeth,
                         BOOL bMemDrl, UINT64 snapReservedTeeth, BOOL bDevZeroPadEnabled, BOOL bChecksumEnabled,
                         BOOL bNew, BOOL bUseCache, UINT32 ramcacheWriteMode,
                         const PhyDevThrottlingInfo *pThrottlingInfo, UINT32 scanBWLimitKb, BOOL bUseFlcache)
{
    // Windows drive and volume names are never device paths on Linux: nothing to refuse here.
    *pNumOfCombs = 0;
    *pNumOfTeeth = 0;
    PhyAddDevProgress progress{};
    progress.devId = pDev->devId;
    UINT64 start = phyAddDevProgress_NowUsec();
    Mos_RC rc = file_Open(&pDev->file, pPath, aioOf(pCont));
    phyAddDevProgress_Stamp(&progress, "Device Open", start);
    if (rc != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Open file failed: path=%s, rc=%u", pPath, (unsigned)rc);
        return rc;
    }
    const UINT64 sizeInLbs = file_GetSize(&pDev->file);
    if (sizeInLbs == 0) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Wrong file size, %s size %lu", pPath, (unsigned long)sizeInLbs);
        file_Close(&pDev->file);
        return MOS_RC__TGT_ADD_DEV_SIZE_PROBLEM;
    }
    UINT32 sectorSize = 0;
    rc = file_GetSectorSizeInBytes(&pDev->file, &sectorSize);
    if (rc != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "mos_DevGetSectorSize did not succeed. RC is: %s", mosRc_GetStr(rc));
    } else if (sectorSize != CONT_DEV__SECTOR_SIZE) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Sector size %u of %s is not supported", sectorSize, pPath);
        file_Close(&pDev->file);
        return MOS_RC__SECTOR_SIZE_NOT_SUPPORTED;
    }
    PhyAddDevOptions opts{};
    opts.bQaDevError = FALSE;
    opts.bDevZeroPadEnabled = bDevZeroPadEnabled;
    opts.bChecksumEnabled = bChecksumEnabled;
    opts.pDevBwc = &pDev->devBwc.ioBwc[0][0];
    opts.pProgress = &progress;
    opts.bUseCache = bUseCache;
    opts.ramcacheWriteMode = ramcacheWriteMode;
    opts.scanBWLimitKb = scanBWLimitKb;
    opts.bReconfigInProgress = pCont->bReconfigInProgress;
    PhyDev *pPhyDev = nullptr;
    rc = phy_AddDev(phyOf(pCont), pCont, &pDev->file, sizeInLbs, (UINT32)tgtInitParam_G.phyDevDirtyGranularityInLbs,
                    cont_GetTgtId(pCont), pDev->devId, bMemDrl, snapReservedTeeth, bNew, pThrottlingInfo, &pPhyDev,
                    &opts);
    if (rc != MOS_RC__SUCCESS) {
        if (pPhyDev != nullptr) {
            const Mos_RC remRc = phy_RemDev(phyOf(pCont), pPhyDev);
            MOS_ASSERT_WITH_DESC(remRc == MOS_RC__SUCCESS, "a failed add's device leaves the physical layer");
        }
        file_Close(&pDev->file);
        pDev->pPhyDev = nullptr;
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add Dev %s failed in the physical layer, rc=%s", pPath,
                  mosRc_GetStr(rc));
        return rc;
    }
    if (bUseFlcache) {
        start = phyAddDevProgress_NowUsec();
        const UINT64 ids[1] = {pDev->devId};
        const CHAR_A *const paths[1] = {file_GetPath(&pDev->file)};
        const Mos_RC flRc = flcache_AddSourceDevice(&pCont->flcache, ids, paths, 1, TRUE);
        phyAddDevProgress_Stamp(&progress, "Add Dev to FLCache", start);
        pDev->bFlcacheSource = flRc == MOS_RC__SUCCESS;
        if (flRc != MOS_RC__SUCCESS)
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add Dev %s as a flash-cache source failed, rc=%s", pPath,
                      mosRc_GetStr(flRc));
    }
    pDev->pPhyDev = pPhyDev;
    contDev_GetMaxNumOfCombs(pDev, pNumOfCombs, pNumOfTeeth);
    MOS_ASSERT(!(*pNumOfCombs == 0));
    mosObjType_RegObj(&pTgtSdbg_g->devType, &pDev->sdbgObj, file_GetPath(&pDev->file));
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add Dev, %s, Zero pad %u", pPath, (unsigned)bDevZeroPadEnabled);
    return MOS_RC__SUCCESS;
}

BOOL contDev_ValidateIfNeeded(Cont *pCont, ContDev *pDev, const CHAR_A *pPath, BOOL bRefresh)
{
    CHAR_A path[CONT_DEV__PATH_LEN];
    if (!contDev_CopyBoundedPath(pPath, path)) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Invalid device path of devId %lx (no terminator)",
                  (unsigned long)pDev->devId);
        return FALSE;
    }
    if (!pDev->bRemInProg && !bRefresh) {
        file_UpdateName(&pDev->file, path);
        return TRUE;
    }
    CHAR_A found[CONT_DEV__PATH_LEN];
    UINT32 len = 0;
    if (phy_GetDevPath(phyOf(pCont), pDev->devId, found, &len)) {
        memcpy(path, found, sizeof(path));
        path[CONT_DEV__PATH_LEN - 1] = '\0';
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add Dev, path found in %s", path);
    }
    if (file_ReopenStart(&pDev->file, path, aioOf(pCont)) != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Open file failed, %s", path);
        return FALSE;
    }
    if (bRefresh && !contDev_CheckDevAfterError(pDev)) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Failed to issue IOs to refreshed device, %s", path);
        return FALSE;
    }
    if (pDev->pPhyDev == nullptr)
        return FALSE;
    const UINT64 sizeInLbs = file_GetSize(&pDev->file) / TOOTH_SIZE_LB * TOOTH_SIZE_LB;
    const Mos_RC rc = phyDev_Validate(pDev->pPhyDev, sizeInLbs, (UINT32)tgtInitParam_G.phyDevDirtyGranularityInLbs,
                                      cont_GetTgtId(pCont), pDev->devId);
    if (rc == MOS_RC__SUCCESS) {
        pDev->bRemInProg = FALSE;
        return TRUE;
    }
    if (rc == MOS_RC__TGT_ADD_DEV_IO_ERROR)
        contDev_UpdateDeviceError(pDev, pCont, FILE__DEV_ERROR_READ);
    return FALSE;
}

// ---------------------------------------------------------------------------------------------
// Zeroing of the unused metadata

Mos_RC contDev_MakeDevOperaional(Cont *pCont, UINT64 devId, ContDev *pDev)
{
    PhyDev *pPhyDev = pDev->pPhyDev;
    MOS_ASSERT_WITH_DESC(pPhyDev != nullptr, "zeroing runs on an added device");
    UINT64 offset = pPhyDev->header.devOffsets.freeSpaceOffset;
    if (offset >= CONT_DEV__MD_AREA_LBS) {
        // The offset comes from the device's header: a bad one is refused, not obeyed.
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Zeroing refused: devId %lx, free space offset %lx past %llx",
                  (unsigned long)devId, (unsigned long)offset, CONT_DEV__MD_AREA_LBS);
        return MOS_RC__TGT_ADD_DEV_IO_ERROR;
    }
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Zeroing local device metadata free space: devId %lx, offset %lx, size %lx",
              (unsigned long)devId, (unsigned long)offset, (unsigned long)(CONT_DEV__MD_AREA_LBS - offset));
    if (tgtInitParam_G.bWriteZeroesToNewDev) {
        while (offset < CONT_DEV__MD_AREA_LBS) {
            while (contDevMngr_IsDiskTestInProg(&pCont->devMngr))
                contDev_Hooks().pSleepOneSec();
            if (__atomic_load_n(&pPhyDev->bAbortTest, __ATOMIC_ACQUIRE) ||
                __atomic_load_n(&pCont->devMngr.zeroing.bStop, __ATOMIC_ACQUIRE)) {
                MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Zeroing device unused metadata aborted: devId %lx",
                          (unsigned long)devId);
                return MOS_RC__ERROR;
            }
            const UINT32 chunk = (UINT32)MOS_MIN((UINT64)CONT_DEV__ZERO_CHUNK_LBS, CONT_DEV__MD_AREA_LBS - offset);
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_MED, "Zeroing device unused metadata chunk: devId %lx range [%lx %x]",
                      (unsigned long)devId, (unsigned long)offset, chunk);
            const Mos_RC rc = file_WriteZero(&pDev->file, offset, chunk, FILE_IO_TYPE__GENERAL, WrZeIoFlags{});
            if (rc != MOS_RC__SUCCESS) {
                MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Io error %d on device %s", (int)rc, contDev_GetDevPath(pDev));
                return MOS_RC__TGT_ADD_DEV_IO_ERROR;
            }
            offset += chunk;
        }
    }
    PhyDevHeader hdr = pPhyDev->header;
    hdr.flags |= PHY_DEV_HDR_FLAG__MD_ZEROED;
    const Mos_RC rc = phyDev_WriteHeader(pPhyDev, &hdr);
    if (rc != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Io error %d on device %s", (int)rc, contDev_GetDevPath(pDev));
        return MOS_RC__TGT_ADD_DEV_IO_ERROR;
    }
    __atomic_or_fetch(&pPhyDev->header.flags, PHY_DEV_HDR_FLAG__MD_ZEROED, __ATOMIC_ACQ_REL);
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Device MD zeroing completed: devID %lx name %s", (unsigned long)devId,
              contDev_GetDevPath(pDev));
    return MOS_RC__SUCCESS;
}

Mos_RC contDev_MakeDevOperaionalDelayedZeroing(Cont *pCont, UINT64 devId)
{
    // One tick of the 10-second queue, cut short by a stop of the manager.
    if (mosUmtSem_DecTimed(&pCont->devMngr.zeroing.wakeSem, 1,
                           MOS_UMT_COND__TIMEOUT_BY_Q | (UINT32)MOS_TIMER_QUEUE_ID__10SEC) == MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Zeroing device unused metadata aborted: devId %lx",
                  (unsigned long)devId);
        return MOS_RC__SUCCESS;
    }
    ContDev *pDev = cont_AcquireContDev(pCont, devId);
    if (pDev == nullptr) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "UMT cannot find device for metadata zeroing: devId %lx",
                  (unsigned long)devId);
        return MOS_RC__SUCCESS;
    }
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "UMT Starts to run for device metadata zeroing: devId %lx",
              (unsigned long)devId);
    pDev->pPhyDev->bZeroingInProgress = TRUE;
    const Mos_RC rc = contDev_MakeDevOperaional(pCont, devId, pDev);
    contDev_ClearDeviceStateGapCounters(pDev, 0, TRUE);
    pDev->pPhyDev->bZeroingInProgress = FALSE;
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "UMT Completed device metadata zeroing: devId %lx, rc %u",
              (unsigned long)devId, (unsigned)rc);
    cont_ReleaseContDev(pCont, devId);
    return MOS_RC__SUCCESS;
}

namespace {
struct DelayedZeroingArgs {
    Cont *pCont;
    UINT64 devId;
};

void delayedZeroingThread(void *pArg)
{
    DelayedZeroingArgs args = *static_cast<DelayedZeroingArgs *>(pArg);
    free(pArg);
    (void)contDev_MakeDevOperaionalDelayedZeroing(args.pCont, args.devId);
    ContDevZeroingJobs &z = args.pCont->devMngr.zeroing;
    {
        MosFastlockGuard g(&args.pCont->devMngr.devs.fastlock);
        MOS_ASSERT(z.numRunning != 0);
        z.numRunning--;
    }
    mosUmtSem_IncInter(&z.endSem, 1, TRUE);
}
} // namespace

void contDevMngr_StopZeroing(ContDevMngr *pDevMngr)
{
    ContDevZeroingJobs &z = pDevMngr->zeroing;
    UINT32 running = 0;
    {
        MosFastlockGuard g(&pDevMngr->devs.fastlock);
        __atomic_store_n(&z.bStop, TRUE, __ATOMIC_RELEASE);
        running = z.numRunning;
    }
    if (running == 0)
        return;
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Stopping %u device metadata zeroing threads", running);
    mosUmtSem_IncInter(&z.wakeSem, running, TRUE);
    MOS_ASSERT_SUCCESS(mosUmtSem_DecTimed(&z.endSem, running, 0));
}

void contDev_StartDelayedZeroing(Cont *pCont, UINT64 devId)
{
    {
        ContDevZeroingJobs &z = pCont->devMngr.zeroing;
        MosFastlockGuard g(&pCont->devMngr.devs.fastlock);
        if (z.bStop) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "No metadata zeroing after the stop: devId %lx",
                      (unsigned long)devId);
            return;
        }
        z.numRunning++;
    }
    auto *pArgs = static_cast<DelayedZeroingArgs *>(malloc(sizeof(DelayedZeroingArgs)));
    Exp(pArgs == nullptr);
    *pArgs = DelayedZeroingArgs{pCont, devId};
    HMosUmt_UThread h = mosUmt_CreateUThreadEx(delayedZeroingThread, pArgs, nullptr, nullptr, FALSE,
                                               tgt_GetUmtClassId(MOS_UMT_CLASS_TYPE__TGT_ADD_DEVICE));
    MOS_ASSERT(h != nullptr);
}

// ---------------------------------------------------------------------------------------------
// Remove

void contDev_PrepareRem(Cont *pCont, ContDev *pDev)
{
    (void)pCont;
    if (pDev->pPhyDev != nullptr)
        __atomic_store_n(&pDev->pPhyDev->bAbortTest, TRUE, __ATOMIC_RELEASE);
}

BOOL contDev_Rem(Cont *pCont, ContDev *pDev)
{
    pDev->bRemInProg = TRUE;
    if (pDev->pPhyDev != nullptr) {
        const Mos_RC rc = phy_RemDev(phyOf(pCont), pDev->pPhyDev);
        if (rc != MOS_RC__SUCCESS) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Remove of devId %lx refused by the physical layer, rc=%s",
                      (unsigned long)pDev->devId, mosRc_GetStr(rc));
            return FALSE;
        }
        pDev->pPhyDev = nullptr;
        mosObjType_UnregObj(&pTgtSdbg_g->devType, &pDev->sdbgObj);
    }
    rcache_RemoveDevice(&pCont->readCache, pDev->devId);
    if (pDev->bFlcacheSource) {
        flcache_RemoveSourceDevice(&pCont->flcache, pDev->devId, TRUE);
        pDev->bFlcacheSource = FALSE;
    }
    file_Close(&pDev->file);
    return TRUE;
}

// ---------------------------------------------------------------------------------------------
// One device as a command adds and removes it

namespace {
Mos_RC reAdd(Cont *pCont, ContDev *pDev, const ContDevAddArgs *pArgs, UINT32 *pNumOfCombs, UINT64 *pNumOfTeeth)
{
    pDev->bMark = FALSE;
    {
        MosFastlockGuard g(&pDev->errFastlock);
        pDev->deviceErrorState = ContDevState{};
    }
    contDev_GetMaxNumOfCombs(pDev, pNumOfCombs, pNumOfTeeth);
    const TgtConfParam &c = tgtInitParam_G;
    const BOOL bIo = c.bPhyDevIoEnabled || c.bPhyDevIoEnabledMd;
    if (bIo && !contDev_ValidateIfNeeded(pCont, pDev, pArgs->pPath, pArgs->bRefresh))
        return MOS_RC__ERROR;
    if (pDev->pPhyDev == nullptr)
        return MOS_RC__ERROR;
    Mos_RC result = MOS_RC__ALREADY_EXISTS;
    if (contDev_ValidateBmWorkMode(pDev, pArgs->bMemDrl) != MOS_RC__SUCCESS) {
        contDev_UpdateDeviceError(pDev, pCont, FILE__DEV_ERROR_READ);
        result = MOS_RC__ERROR;
    }
    (void)phyDev_UpdateT10DIFNonPersistent(pDev->pPhyDev, pArgs->bChecksumEnabled);
    PhyToothMap *pMap = &pDev->pPhyDev->toothMap;
    {
        MosFastlockGuard g(&pMap->mapFastlock);
        if (pArgs->snapReservedTeeth >= pMap->currThinBaseTeeth + pMap->currSnapTeeth)
            pMap->snapReservedTeeth = pArgs->snapReservedTeeth;
    }
    // With device I/O the check above named the file: a path found in the device map wins over
    // the command's, which may be the one the device had before it moved.
    CHAR_A path[CONT_DEV__PATH_LEN];
    if (!bIo && contDev_CopyBoundedPath(pArgs->pPath, path))
        file_UpdateName(&pDev->file, path);
    return result;
}

void traceDone(UINT64 devId, const char *pWhat, Mos_RC rc)
{
    MOS_TRACE(MOS_COMP_TGT_CONT, rc == MOS_RC__SUCCESS ? MOS_FREQ_HIGH : MOS_FREQ_MED, "%s %lx - %s rc = %s", "DevId",
              (unsigned long)devId, pWhat, mosRc_GetStr(rc));
}
} // namespace

Mos_RC contDev_AddOne(Cont *pCont, const ContDevAddArgs *pArgs, UINT32 *pNumOfCombs, UINT64 *pNumOfTeeth,
                      BOOL *pbNeedMDZeroing)
{
    *pNumOfCombs = 0;
    *pNumOfTeeth = 0;
    *pbNeedMDZeroing = FALSE;
    const UINT64 devId = pArgs->devId;
    if (devId == 0 || !isValidFlavor(pArgs->scanInfo.flavor)) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add Dev %lx refused: flavor %u", (unsigned long)devId,
                  pArgs->scanInfo.flavor);
        return MOS_RC__INVALID_ARG;
    }
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_MED, "%s %lx - %s rc = %s", "DevId", (unsigned long)devId, "Start",
              "MOS_RC__SUCCESS");
    ContDev *pDev = static_cast<ContDev *>(contObj_AcquireReadLock(&pCont->objs, devId, CONT_OBJ_TYPE__DEV));
    if (pDev != nullptr) {
        const Mos_RC rc = reAdd(pCont, pDev, pArgs, pNumOfCombs, pNumOfTeeth);
        contObj_ReleaseReadLock(&pCont->objs, devId, CONT_OBJ_TYPE__DEV);
        traceDone(devId, "Done", rc);
        return rc;
    }
    BOOL bNew = pArgs->bNew;
    if (!tgtInitParam_G.bPhyDevIoEnabled && !tgtInitParam_G.bPhyDevIoEnabledMd) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Force Add Dev to be new, no io enabled");
        bNew = TRUE;
    }
    // The object and its scan thread are built before the registry's stripe is taken: no thread
    // is created under a fast lock. A late find or a remove in progress drops the new object.
    ContDev *pNewDev = static_cast<ContDev *>(calloc(1, sizeof(ContDev)));
    Exp(pNewDev == nullptr);
    contDevMngr_DevInit(&pCont->devMngr, pNewDev, devId, (TgtBackgroundScanFlavor)pArgs->scanInfo.flavor,
                        pArgs->pOscCntParams);
    Mos_RC rc = MOS_RC__SUCCESS;
    pDev = static_cast<ContDev *>(contObj_AddStart(&pCont->objs, devId, CONT_OBJ_TYPE__DEV, &rc));
    if (pDev != nullptr || rc != MOS_RC__SUCCESS) {
        if (pDev != nullptr) {
            MOS_ASSERT(pDev->devId == devId);
            pDev->bMark = FALSE;
            contDev_GetMaxNumOfCombs(pDev, pNumOfCombs, pNumOfTeeth);
            contObj_ReleaseWriteLock(&pCont->objs, devId, CONT_OBJ_TYPE__DEV);
            rc = MOS_RC__ALREADY_EXISTS;
        }
        contDevMngr_DevDestroy(&pCont->devMngr, pNewDev, TRUE);
        free(pNewDev);
        traceDone(devId, "Done", rc);
        return rc;
    }
    pDev = pNewDev;
    contObj_AddSyncDone(&pCont->objs, &pDev->accessLock, devId, CONT_OBJ_TYPE__DEV, pDev, &pDev->hashRecord);
    rc = contDev_Add(pCont, pDev, pArgs->pPath, pNumOfCombs, pNumOfTeeth, pArgs->bMemDrl, pArgs->snapReservedTeeth,
                     pArgs->bDevZeroPadEnabled, pArgs->bChecksumEnabled, bNew, pArgs->bForceDeviceTakeover,
                     pArgs->bUseCache, pArgs->ramcacheWriteMode, pArgs->pThrottlingInfo, pArgs->scanInfo.scanBWLimitKb,
                     pArgs->bUseFlcache);
    if (rc == MOS_RC__SUCCESS) {
        *pbNeedMDZeroing = !contDev_IsDeviceZeroingDone(pDev);
        contObj_AddDone(&pCont->objs, &pDev->accessLock, devId, CONT_OBJ_TYPE__DEV);
        traceDone(devId, "Cont", rc);
        return rc;
    }
    contObj_AddDone(&pCont->objs, &pDev->accessLock, devId, CONT_OBJ_TYPE__DEV);
    if (rc == MOS_RC__DEV_ALREADY_TAKEN_BY_US_OR_ANOTHER)
        rc = MOS_RC__DEV_ALREADY_TAKEN_BY_ANOTHER;
    else if (rc == MOS_RC__TGT_ADD_DEV_IO_ERROR)
        contDev_UpdateDeviceError(pDev, pCont, FILE__DEV_ERROR_READ);
    *pNumOfCombs = 0;
    *pNumOfTeeth = 0;
    const Mos_RC remRc = contDev_RemById(pCont, devId, TRUE, TRUE);
    MOS_ASSERT_WITH_DESC(remRc == MOS_RC__SUCCESS, "a failed add is rolled back");
    traceDone(devId, "Done", rc);
    return rc;
}

Mos_RC contDev_RemById(Cont *pCont, UINT64 devId, BOOL bRollback, BOOL bLock)
{
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_MED, "%s %lx - %s rc = %s", "DevId", (unsigned long)devId, "Start",
              "MOS_RC__SUCCESS");
    ContDev *pDev = static_cast<ContDev *>(contObj_AcquireReadLock(&pCont->objs, devId, CONT_OBJ_TYPE__DEV));
    if (pDev != nullptr) {
        contDev_PrepareRem(pCont, pDev);
        contObj_ReleaseReadLock(&pCont->objs, devId, CONT_OBJ_TYPE__DEV);
    }
    pDev = static_cast<ContDev *>(contObj_Rem(&pCont->objs, devId, CONT_OBJ_TYPE__DEV));
    if (pDev == nullptr) {
        MOS_ASSERT_WITH_DESC(!bRollback, "a rolled-back add finds its device");
        traceDone(devId, "Done", MOS_RC__NOT_FOUND);
        return MOS_RC__NOT_FOUND;
    }
    if (!bRollback && !contDev_Rem(pCont, pDev)) {
        Mos_RC rc = MOS_RC__SUCCESS;
        void *pOther = contObj_AddStart(&pCont->objs, devId, CONT_OBJ_TYPE__DEV, &rc);
        MOS_ASSERT_WITH_DESC(pOther == nullptr && rc == MOS_RC__SUCCESS, "a device kept after a refused remove");
        contObj_AddSyncDone(&pCont->objs, &pDev->accessLock, devId, CONT_OBJ_TYPE__DEV, pDev, &pDev->hashRecord);
        contObj_AddDone(&pCont->objs, &pDev->accessLock, devId, CONT_OBJ_TYPE__DEV);
        traceDone(devId, "Done", MOS_RC__ERROR);
        return MOS_RC__ERROR;
    }
    contDevMngr_DevDestroy(&pCont->devMngr, pDev, bLock);
    free(pDev);
    traceDone(devId, "Done", MOS_RC__SUCCESS);
    return MOS_RC__SUCCESS;
}
