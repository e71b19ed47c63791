// Device monitoring: the scan thread, device errors and their report, the long in-flight I/O
// check, header validation and the debug query.
#include <cstdlib>
#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_dbg.h"
#include "mos/mos_trace.h"
#include "mos/umt/mos_umt.h"
#include "tgt/cont/cont.h"
#include "tgt/cont/cont_dev.h"
#include "tgt/cont/cont_dev_intrn.h"
#include "tgt/phy/phy_dev_io.h"
#include "tgt/tgt_conf.h"
#include "tgt/tgt_sdbg.h"
#include "tgt/tgt_umt_class.h"

namespace {
// The server's own ways out of the process.
Mos_RC sendRequest(Cont *pCont, UINT32 msgType, const void *pRec, UINT32 len)
{
    return contOstrel_SendRequestRecord(pCont, msgType, pRec, len);
}

void pauseLinks(Cont *pCont)
{
    net_Pause(cont_GetNetObj(pCont), TRUE, TRUE);
    cmonitor_Pause(&pCont->ostrel.conMonitor, TRUE);
    kalive_Pause(&pCont->ostrel.kalive, TRUE);
}

void pauseKeepAlive(Cont *pCont)
{
    kalive_Pause(&pCont->ostrel.kalive, TRUE);
}

void pauseNet(Cont *pCont)
{
    net_Pause(cont_GetNetObj(pCont), TRUE, TRUE);
}

void plannedCrash(const char *pDesc)
{
    mosDbg_PlannedCrashModuleWithDesc(pDesc);
}

Mos_RC runCommand(const char *pCmd)
{
    return std::system(pCmd) == 0 ? MOS_RC__SUCCESS : MOS_RC__ERROR;
}

void sleepOneSec(void)
{
    mosUmt_SleepByQ(MOS_TIMER_QUEUE_ID__1SEC);
}

UINT64 inflightMillis(ContDev *pDev)
{
    return pDev->file.mosDev.pFile != nullptr ? mosAsyncIo_GetLongestPendingIo(&pDev->file.mosDev) : 0;
}

constexpr ContDevMonitorHooks kServerHooks = {sendRequest, pauseLinks,  pauseKeepAlive, pauseNet,
                                             plannedCrash, runCommand, sleepOneSec,    inflightMillis};
ContDevMonitorHooks hooks_G = kServerHooks;
ContDevCombHooks combHooks_G{};

template <class T> void keepOwn(T *&pMember, T *pOwn)
{
    if (pMember == nullptr)
        pMember = pOwn;
}

const char *boolStr(BOOL b)
{
    return b ? "TRUE" : "FALSE";
}

// The comb at the head of the device's list, counted and off the list; null when there is none or
// it is gone from the registry.
MosDList_Node *takeFirstComb(ContDev *pDev, UINT64 *pCombId)
{
    const ContDevCombHooks &h = combHooks_G;
    UINT64 combId = 0;
    {
        MosFastlockGuard g(&pDev->addRemCombFastlock);
        MosDList_Node *pFirst = mosDList_First(&pDev->combAnchor);
        if (pFirst == nullptr)
            return nullptr;
        combId = h.pCombIdOfNode(pFirst);
    }
    MosDList_Node *pNode = h.pAcquireComb(pDev->pCont, combId);
    if (pNode == nullptr)
        return nullptr;
    {
        MosFastlockGuard g(&pDev->addRemCombFastlock);
        if (!mosDList_IsLinked(pNode)) {
            // Removed from the device between the two looks: leave it to its remover.
            h.pReleaseComb(pDev->pCont, combId);
            return nullptr;
        }
        mosDList_Remove(&pDev->combAnchor, pNode);
    }
    *pCombId = combId;
    return pNode;
}

BOOL scanAborted(ContDev *pDev)
{
    return __atomic_load_n(&pDev->bAbortScan, __ATOMIC_ACQUIRE);
}

BOOL hasCombs(ContDev *pDev)
{
    MosFastlockGuard g(&pDev->addRemCombFastlock);
    return !MOS_DLIST__IS_EMPTY(&pDev->combAnchor);
}
} // namespace

void contDev_SetMonitorHooks(const ContDevMonitorHooks *pHooks)
{
    hooks_G = pHooks != nullptr ? *pHooks : kServerHooks;
    keepOwn(hooks_G.pSendRequest, kServerHooks.pSendRequest);
    keepOwn(hooks_G.pPauseLinks, kServerHooks.pPauseLinks);
    keepOwn(hooks_G.pPauseKeepAlive, kServerHooks.pPauseKeepAlive);
    keepOwn(hooks_G.pPauseNet, kServerHooks.pPauseNet);
    keepOwn(hooks_G.pPlannedCrash, kServerHooks.pPlannedCrash);
    keepOwn(hooks_G.pRunCommand, kServerHooks.pRunCommand);
    keepOwn(hooks_G.pSleepOneSec, kServerHooks.pSleepOneSec);
    keepOwn(hooks_G.pInflightMillis, kServerHooks.pInflightMillis);
}

void contDev_PlannedCrash(const char *pDesc)
{
    hooks_G.pPlannedCrash(pDesc);
}

const ContDevMonitorHooks &contDev_Hooks(void)
{
    return hooks_G;
}

void contDev_SetCombHooks(const ContDevCombHooks *pHooks)
{
    combHooks_G = pHooks != nullptr ? *pHooks : ContDevCombHooks{};
}

const ContDevCombHooks &contDev_CombHooks(void)
{
    return combHooks_G;
}

// ---------------------------------------------------------------------------------------------
// Background scan

void contDev_BackgroundScan(void *pArg)
{
    ContDev *pDev = static_cast<ContDev *>(pArg);
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Starting contDev_BackgroundScan for device %p", (void *)pDev);
    while (!hasCombs(pDev) && !scanAborted(pDev)) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_HIGH, "Scan for device %p, sleep until there are combs", (void *)pDev);
        (void)mosUmtSem_DecTimed(&pDev->scanSleepSem, 1, CONT_DEV__SCAN_SLEEP_MS);
    }
    if (!scanAborted(pDev)) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW,
                  "contDev_BackgroundScan for device %p, start the scan from a random comb", (void *)pDev);
        MosFastlockGuard g(&pDev->addRemCombFastlock);
        const UINT64 turns = ((UINT64)pDev->combAnchor.counter * (UINT64)lrand48()) >> 31;
        for (UINT64 i = 0; i < turns; i++)
            mosDList_InsertTail(&pDev->combAnchor, mosDList_RemoveHead(&pDev->combAnchor));
    }
    for (;;) {
        if (scanAborted(pDev)) {
            mosUmtSem_IncInter(&pDev->waitForScanToEndSem, 1, TRUE);
            return;
        }
        (void)mosUmtSem_DecTimed(&pDev->scanSleepSem, 1, CONT_DEV__SCAN_SLEEP_MS);
        const UINT32 flavor = __atomic_load_n((UINT32 *)&pDev->scanFlavor, __ATOMIC_ACQUIRE);
        if (scanAborted(pDev) || flavor == TGT_SCAN_FLAVOR__OFF || cont_IsOstrelBlocked(pDev->pCont) ||
            combHooks_G.pAcquireComb == nullptr)
            continue;
        UINT64 combId = 0;
        MosDList_Node *pNode = takeFirstComb(pDev, &combId);
        if (pNode == nullptr)
            continue;
        combHooks_G.pScanComb(pDev->pCont, pNode, flavor == TGT_SCAN_FLAVOR__READ_AND_COMPARE);
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_HIGH, "Scanning comb %lx", (unsigned long)combId);
        {
            MosFastlockGuard g(&pDev->addRemCombFastlock);
            mosDList_InsertTail(&pDev->combAnchor, pNode);
        }
        combHooks_G.pReleaseComb(pDev->pCont, combId);
    }
}

Mos_RC contDev_UpdateDevScanConf(ContDev *pDev, const TgtBackgroundScanInfo *pScanInfo)
{
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW,
              "Change the scan configuration of device %lxto the following: flavor %d, BW limit %u KB/sec",
              (unsigned long)pDev->devId, (int)pScanInfo->flavor, pScanInfo->scanBWLimitKb);
    if (pScanInfo->flavor <= TGT_SCAN_FLAVOR__INVALID || pScanInfo->flavor >= TGT_SCAN_FLAVOR__LAST) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Scan flavor %u of device %lx refused", pScanInfo->flavor,
                  (unsigned long)pDev->devId);
        return MOS_RC__INVALID_ARG;
    }
    __atomic_store_n((UINT32 *)&pDev->scanFlavor, pScanInfo->flavor, __ATOMIC_RELEASE);
    if (pDev->pPhyDev != nullptr)
        phyDev_UpdateScanBWLimit(pDev->pPhyDev, pScanInfo->scanBWLimitKb);
    return MOS_RC__SUCCESS;
}

void contDev_SetCombIdInScan(ContDev *pDev, UINT64 combId)
{
    __atomic_store_n(&pDev->combIdInScan, combId, __ATOMIC_RELEASE);
}

// ---------------------------------------------------------------------------------------------
// Device errors

BOOL contDev_IsInWriteError(ContDev *pDev)
{
    MosFastlockGuard g(&pDev->errFastlock);
    return pDev->deviceErrorState.bDeviceWriteError;
}

BOOL contDev_IsDeviceInError(ContDev *pDev)
{
    MosFastlockGuard g(&pDev->errFastlock);
    return pDev->deviceErrorState.bDeviceReadError || pDev->deviceErrorState.bDeviceWriteError;
}

Mos_RC contDev_UpdateDeviceError(ContDev *pDev, Cont *pCont, UINT32 flags)
{
    BOOL bRead = FALSE;
    BOOL bWrite = FALSE;
    {
        MosFastlockGuard g(&pDev->errFastlock);
        ContDevState &s = pDev->deviceErrorState;
        if ((flags & FILE__DEV_ERROR_READ) != 0 && !s.bDeviceReadError) {
            s.bDeviceReadError = 1;
            s.bDeviceErrorNotifyNeeded = 1;
        }
        if ((flags & FILE__DEV_ERROR_WRITE) != 0 && !s.bDeviceWriteError) {
            s.bDeviceWriteError = 1;
            s.bDeviceErrorNotifyNeeded = 1;
        }
        if (!s.bDeviceErrorNotifyNeeded)
            return (Mos_RC)0;
        s.bDeviceErrorNotifyNeeded = 0;
        bRead = s.bDeviceReadError;
        bWrite = s.bDeviceWriteError;
    }
    const Mos_RC rc = contDev_SendDeviceError(pDev, pCont, bRead, bWrite);
    if (rc != MOS_RC__SUCCESS) {
        MosFastlockGuard g(&pDev->errFastlock);
        pDev->deviceErrorState.bDeviceErrorNotifyNeeded = 1;
    }
    return rc;
}

Mos_RC contDev_SendDeviceError(ContDev *pDev, Cont *pCont, BOOL bReadError, BOOL bWriteError)
{
    if (pCont->bWasShutdownCalled) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Skipping device error notification due to shutdown process");
        return MOS_RC__SUCCESS;
    }
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW,
              "Sending device error to Ostrel: DevId:%lx deviceName: %s readError: %s WriteError: %s",
              (unsigned long)pDev->devId, contDev_GetDevPath(pDev), boolStr(bReadError), boolStr(bWriteError));
    OstrelTgtReq_DeviceError rec{};
    rec.devId = pDev->devId;
    rec.bReadError = bReadError ? 1 : 0;
    rec.bWriteError = bWriteError ? 1 : 0;
    return hooks_G.pSendRequest(pCont, CONT_DEV__MSG_DEVICE_ERROR, &rec, sizeof(rec));
}

Mos_RC contDev_SendDelayReconfig(Cont *pCont, UINT32 timeToDelayInSec)
{
    OstrelTgtReq_DelayTgtReconfig rec{};
    rec.tgtId = cont_GetTgtId(pCont);
    rec.timeToDelayInSec = timeToDelayInSec;
    return hooks_G.pSendRequest(pCont, CONT_DEV__MSG_DELAY_RECONFIG, &rec, sizeof(rec));
}

void contDev_LongIoOscOccurrence(ContDev *pDev)
{
    (void)mosOscCnt_FailureOccurrence(&pDev->longIoOscCnt, 1);
}

void contDev_LongSuccessfulIoOscOccurrence(ContDev *pDev)
{
    (void)mosOscCnt_FailureOccurrence(&pDev->longSuccessfulIoOscCnt, 1);
}

void contDev_SetFileHooks(void)
{
    static const FileDevHooks kHooks = {contDev_UpdateDeviceError, contDev_LongSuccessfulIoOscOccurrence,
                                        contDev_LongIoOscOccurrence};
    file_SetDevHooks(&kHooks);
}

// ---------------------------------------------------------------------------------------------
// Long in-flight I/O

BOOL contDev_GetDeviceState(ContDev *pDev, OstrelTgtReq_UpdateDevStateExt *pDeviceState, UINT64 *pMillisInflight)
{
    memset(pDeviceState, 0, sizeof(*pDeviceState));
    pDeviceState->devId = pDev->devId;
    pDeviceState->devType = pDev->pPhyDev != nullptr ? pDev->pPhyDev->header.type : 0;
    UINT64 millis = 0;
    const BOOL bReport = file_GetFileState(&pDev->file, &pDeviceState->fileState, &millis);
    *pMillisInflight = hooks_G.pInflightMillis(pDev);
    return bReport;
}

void contDev_ClearDeviceStateGapCounters(ContDev *pDev, UINT64 updateGenNum, BOOL bForce)
{
    file_ClearDeviceStateGapCounters(&pDev->file, updateGenNum, bForce);
}

void contDevMngr_UpdateLongInflightTime(ContDevMngr *pDevMngr)
{
    __atomic_store_n(&pDevMngr->lastLongIoTestTick, mosTicks_GetCurrentTick(), __ATOMIC_RELEASE);
}

void contDevMngr_HandleLongInflightIoViolation(Cont *pCont, ContDev *pDev, UINT64 millisInflight, BOOL bIsLowThresh)
{
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW,
              "IO on devId: %lx (%s) took too long, %s threshold exceeded - waited for reaper %lu millis",
              (unsigned long)pDev->devId, contDev_GetDevPath(pDev), bIsLowThresh ? "Low" : "High",
              (unsigned long)millisInflight);
    if (bIsLowThresh) {
        hooks_G.pPauseLinks(pCont);
        return;
    }
    if (tgtInitParam_G.bInflightLongIosReportDevErr)
        contDev_UpdateDeviceError(pDev, pCont, FILE__DEV_ERROR_READ | FILE__DEV_ERROR_WRITE);
    const UINT64 action = tgtInitParam_G.devInflightLongIosErrorAction;
    if (action == CONT_DEV__LONG_IO_ACTION_RECORD_ONLY)
        return;
    if (action == CONT_DEV__LONG_IO_ACTION_REBOOT) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Planned crash, reboot -f");
        if (hooks_G.pRunCommand("reboot -f") != MOS_RC__SUCCESS)
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Planned crash, reboot -f failed");
    } else if (action == CONT_DEV__LONG_IO_ACTION_POWEROFF) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Planned crash, poweroff -f");
        if (hooks_G.pRunCommand("/sbin/poweroff -f") != MOS_RC__SUCCESS)
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Planned crash, poweroff -f failed");
    }
    hooks_G.pPauseNet(pCont);
    hooks_G.pSleepOneSec();
    hooks_G.pPlannedCrash("Long inflight IO passed high threshold");
}

namespace {
// One device's part of the check; returns the age of its oldest in-flight I/O in ms.
UINT64 checkOneDevice(Cont *pCont, ContDev *pDev, BOOL bTestInProg)
{
    if (pDev->pPhyDev == nullptr || bTestInProg) {
        contDev_ClearDeviceStateGapCounters(pDev, 0, TRUE);
        return 0;
    }
    UINT64 millis = 0;
    file_Lock(&pDev->file);
    if (!(pDev->file.bOpen || pDev->file.bMosOpenInProcess) || !contDev_IsDeviceZeroingDone(pDev)) {
        file_UnLock(&pDev->file);
        return 0;
    }
    OstrelTgtReq_UpdateDevStateExt state;
    const BOOL bReport = contDev_GetDeviceState(pDev, &state, &millis);
    file_UnLock(&pDev->file);
    if (!bReport)
        return millis;
    const OstrelTgt_FileState &f = state.fileState;
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW,
              "Update device state %s gaps %u, longest gap %u, pending gap %u, in progress %u, last IO time %u, Longest "
              "pend IO time %u, Slow device %u, Inflight %lu millis",
              contDev_GetDevPath(pDev), f.gapCount, f.longestGapInMillis, f.pendingGapInMillis, f.inprogressIosCount,
              f.lastIoTimeInMillis, f.longestPendingIosInMillis, f.bSlowDiskAlert, (unsigned long)millis);
    if (hooks_G.pSendRequest(pCont, CONT_DEV__MSG_DEVICE_STATE, &state, sizeof(state)) == MOS_RC__SUCCESS)
        contDev_ClearDeviceStateGapCounters(pDev, f.updateGenNum, FALSE);
    return millis;
}
} // namespace

void contDevMngr_CheckLongInflightIos(ContDevMngr *pDevMngr, BOOL bForce)
{
    const TgtConfParam &c = tgtInitParam_G;
    if (!c.bInflightLongIosCheck)
        return;
    if (!bForce) {
        const MosTicks_Cnt last = __atomic_load_n(&pDevMngr->lastLongIoTestTick, __ATOMIC_ACQUIRE);
        if (mosTicks_TicksToMillis(mosTicks_DiffInTicks(mosTicks_GetCurrentTick(), last)) <
            c.devInflightLongIosNotifyThreas)
            return;
    }
    if (mosUmtSem_TryDec(&pDevMngr->longIoSem, 1) != MOS_RC__SUCCESS)
        return;
    Cont *pCont = pDevMngr->pCont;
    contDevMngr_UpdateLongInflightTime(pDevMngr);
    const BOOL bTestInProg = contDevMngr_IsDiskTestInProg(pDevMngr);
    BOOL bDelay = FALSE;
    contDevMngr_ForEachDev(pDevMngr, [&](ContDev *pDev) {
        const UINT64 t = checkOneDevice(pCont, pDev, bTestInProg);
        if (t > c.devInflightLongIosLowThreas) {
            if (!pDevMngr->bIsLowThresh)
                contDevMngr_HandleLongInflightIoViolation(pCont, pDev, t, TRUE);
            pDevMngr->bIsLowThresh = TRUE;
        }
        if (t > c.devInflightLongIosNotifyThreas)
            bDelay = TRUE;
        if (t > c.devInflightLongIosHighThreas)
            contDevMngr_HandleLongInflightIoViolation(pCont, pDev, t, FALSE);
        return true;
    });
    if (bDelay) {
        hooks_G.pPauseKeepAlive(pCont);
        (void)contDev_SendDelayReconfig(pCont, CONT_DEV__DELAY_RECONFIG_SEC);
    } else if (pDevMngr->bIsLowThresh) {
        // The links were paused for an I/O that has come back since: the server cannot tell what
        // its partners did meanwhile, so it ends and lets the cluster take it back in cleanly.
        pDevMngr->bIsLowThresh = FALSE;
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Low threshold crossed");
        hooks_G.pPlannedCrash("Long in-flight IO passed threshold");
    }
    mosUmtSem_IncInter(&pDevMngr->longIoSem, 1, TRUE);
}

BOOL contDevMngr_IsLongIoInProgress(ContDevMngr *pDevMngr, GenericFilter *pDeviceFilter)
{
    const BOOL bTestInProg = contDevMngr_IsDiskTestInProg(pDevMngr);
    BOOL bFound = FALSE;
    contDevMngr_ForEachDev(pDevMngr, [&](ContDev *pDev) {
        if (pDev->pPhyDev == nullptr)
            return true;
        if (bTestInProg) {
            mosAsyncIOFile_SetSkipLongIoValidation(&pDev->file.mosDev, TRUE);
            return true;
        }
        file_Lock(&pDev->file);
        if (!pDev->file.bOpen || !contDev_IsDeviceZeroingDone(pDev) || contDev_IsDeviceInError(pDev)) {
            if (pDev->file.mosDev.pFile != nullptr)
                mosAsyncIOFile_SetSkipLongIoValidation(&pDev->file.mosDev, TRUE);
        } else {
            mosAsyncIOFile_SetSkipLongIoValidation(&pDev->file.mosDev, FALSE);
            OstrelTgtReq_UpdateDevStateExt state;
            UINT64 millis = 0;
            bFound = contDev_GetDeviceState(pDev, &state, &millis);
        }
        file_UnLock(&pDev->file);
        if (bFound)
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "There is a long inflight IO on device: %s",
                      contDev_GetDevPath(pDev));
        return !bFound;
    });
    if (bFound || pDeviceFilter == nullptr)
        return bFound;
    MosAsyncIO_FileEnumContext ctx{};
    if (mos_StartAsyncIOFileEnum(&ctx, phyMultiDev_GetAsyncIO(&pDevMngr->pCont->phy.mDev)) != MOS_RC__SUCCESS)
        return FALSE;
    MosAsyncIO_FileHandle h{};
    while (mos_GetNextAsyncIOFile(&ctx, &h) == MOS_RC__SUCCESS) {
        const UINT64 millis = mosAsyncIo_GetLongestPendingIo(&h);
        if (millis < tgtInitParam_G.devInflightLongIosBaseThreas || mosAsyncIOFile_ShouldSkipLongIoValidation(&h))
            continue;
        const char *pPath = mosAsyncIOFile_GetPath(&h);
        if (genericFilter_Filter(pDeviceFilter, (void *)pPath))
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "There is a long inflight IO on device: %s (%lu millis)", pPath,
                      (unsigned long)millis);
    }
    mos_FinishAsyncIOFileEnum(&ctx);
    return FALSE;
}

// ---------------------------------------------------------------------------------------------
// Header validation

void contDevMngr_ThreadedValidateDevHeader(void *pArg)
{
    ContDev *pDev = static_cast<ContDev *>(pArg);
    Cont *pCont = pDev->pCont;
    const UINT64 tgtId = cont_GetTgtId(pCont);
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_HIGH, "Start devId:%lx tgtId:%lx", (unsigned long)pDev->devId,
              (unsigned long)tgtId);
    const Mos_RC rc = pDev->pPhyDev != nullptr ? phyDev_ValidateDeviceHeader(pDev->pPhyDev, tgtId, pDev->devId)
                                               : MOS_RC__SUCCESS;
    if (rc != MOS_RC__SUCCESS)
        contDev_UpdateDeviceError(pDev, pCont, FILE__DEV_ERROR_READ | FILE__DEV_ERROR_WRITE);
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_HIGH, "Start devId:%lx tgtId:%lx rc=%u", (unsigned long)pDev->devId,
              (unsigned long)tgtId, (unsigned)rc);
    const UINT64 devId = pDev->devId;
    __atomic_store_n(&pDev->bValidateHeaderScannerInProgress, FALSE, __ATOMIC_RELEASE);
    cont_ReleaseContDev(pCont, devId);
}

void contDevMngr_ValidateDevHeader(Cont *pCont, ContDevMngr *pDevMngr, UINT64 tgtId)
{
    (void)tgtId;
    contDevMngr_ForEachDev(pDevMngr, [&](ContDev *pDev) {
        if (pDev->pPhyDev == nullptr || __atomic_load_n(&pDev->bValidateHeaderScannerInProgress, __ATOMIC_ACQUIRE))
            return true;
        if (cont_AcquireContDev(pCont, pDev->devId) == nullptr)
            return true;
        __atomic_store_n(&pDev->bValidateHeaderScannerInProgress, TRUE, __ATOMIC_RELEASE);
        HMosUmt_UThread h = mosUmt_CreateUThreadEx(
            contDevMngr_ThreadedValidateDevHeader, pDev, nullptr, nullptr, FALSE,
            tgt_GetUmtClassId(MOS_UMT_CLASS_TYPE__TGT_CONT_DEV_MNGR_VALIDATE_DEV_HEADER));
        MOS_ASSERT(h != nullptr);
        return true;
    });
}

// ---------------------------------------------------------------------------------------------
// Debug query

void contDev_Query(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    (void)pName;
    ContDev *pDev = MOS_CONTAINER_OF(pObj, ContDev, sdbgObj);
    auto *pQ = static_cast<ContDevQuery *>(pData);
    memset(pQ, 0, sizeof(*pQ));
    pQ->devId = pDev->devId;
    {
        MosFastlockGuard g(&pDev->errFastlock);
        const ContDevState &s = pDev->deviceErrorState;
        pQ->deviceErrorState = s.bDeviceReadError | (s.bDeviceWriteError << 1) | (s.bDeviceErrorNotifyNeeded << 2);
    }
    if (pDev->pPhyDev != nullptr) {
        pQ->bHasPhyDev = 1;
        phyDev_Query(pDev->pPhyDev, &pQ->phyDev);
    }
    flcache_GetSourceCounters(&pDev->pCont->flcache, pDev->devId, &pQ->flcacheSource);
}
