// The device manager's disk test and its queries and settings over all devices.
#include <cstdlib>
#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"
#include "mos/umt/mos_umt.h"
#include "tgt/cont/cont.h"
#include "tgt/cont/cont_dev.h"
#include "tgt/cont/cont_dev_intrn.h"
#include "tgt/phy/phy_dev_io.h"
#include "tgt/tgt_conf.h"
#include "tgt/tgt_umt_class.h"

namespace {
// fill(pDev, i) for every device while fewer than maxDevs were filled; fill returns whether it
// filled entry i. Returns the count filled.
template <class F> UINT32 fillPerDevice(ContDevMngr *pDevMngr, UINT32 maxDevs, F fill)
{
    UINT32 n = 0;
    contDevMngr_ForEachDev(pDevMngr, [&](ContDev *pDev) {
        if (n >= maxDevs)
            return false;
        if (fill(pDev, n))
            n++;
        return true;
    });
    return n;
}

// A set as the request gives it (KB, MB, seconds).
BOOL isValidTestParam(const ContDevDiskTestParam &p)
{
    return p.pattern >= DEV_TEST_PATTERN_TYPE__WRITE_SEQ && p.pattern <= DEV_TEST_PATTERN_TYPE__READ_RAND &&
           p.ioSizeLbs != 0 && (UINT64)p.ioSizeLbs * 2 <= CONT_DEV__DISK_TEST_MAX_IO_LBS &&
           !(p.totalIoSizeLbs == 0 && p.limitInSeconds == 0);
}

// The request's set in the manager's units: I/O size KB -> LB, total MB -> LB (0: no limit
// while a time limit is given).
ContDevDiskTestParam toLbs(const ContDevDiskTestParam &in)
{
    ContDevDiskTestParam p = in;
    p.ioSizeLbs = in.ioSizeLbs * 2;
    p.totalIoSizeLbs = in.totalIoSizeLbs == 0 ? CONT_DEV__NO_LIMIT
                                              : (UINT32)MOS_MIN((UINT64)in.totalIoSizeLbs * 2048, (UINT64)CONT_DEV__NO_LIMIT);
    p.limitInSeconds = in.limitInSeconds == 0 ? CONT_DEV__NO_LIMIT : in.limitInSeconds;
    return p;
}

void runOneTest(ContDevMngr *pDevMngr, const ContDevDiskTestParam &p)
{
    Cont *pCont = pDevMngr->pCont;
    ContDevDiskTest &t = pDevMngr->diskTest;
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW,
              "Disk test start, IO size(lbs) %u, total size(lbs) %u, limit in seconds %u num of devices %u",
              p.ioSizeLbs, p.totalIoSizeLbs, p.limitInSeconds, t.numOfDevs);
    const UINT64 totalLbs = p.totalIoSizeLbs == CONT_DEV__NO_LIMIT ? ~0ull : p.totalIoSizeLbs;
    const UINT32 limitSec = p.limitInSeconds == CONT_DEV__NO_LIMIT ? 0 : p.limitInSeconds;
    auto *pTests = static_cast<PhyDevTest *>(calloc(t.numOfDevs, sizeof(PhyDevTest)));
    auto *pDevs = static_cast<ContDev **>(calloc(t.numOfDevs, sizeof(ContDev *)));
    Exp(pTests == nullptr || pDevs == nullptr);
    for (UINT32 i = 0; i < t.numOfDevs; i++) {
        const ContDevDiskTestDev &d = t.pDevIdArr[i];
        ContDev *pDev = cont_AcquireContDev(pCont, d.devId);
        if (pDev == nullptr) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Disk Test %u: Requested ID %lx returned pDev NULL", d.testNum,
                      (unsigned long)d.devId);
            continue;
        }
        if (pDev->pPhyDev == nullptr || phyDev_TestStart(pDev->pPhyDev, &pTests[i], p.pattern, p.ioSizeLbs, totalLbs,
                                                         limitSec, d.testNum) != MOS_RC__SUCCESS) {
            cont_ReleaseContDev(pCont, d.devId);
            continue;
        }
        pDevs[i] = pDev;
    }
    for (UINT32 i = 0; i < t.numOfDevs; i++) {
        if (pDevs[i] == nullptr)
            continue;
        phyDev_TestEnd(pDevs[i]->pPhyDev, &pTests[i], p.pattern, p.ioSizeLbs);
        contDev_ClearDeviceStateGapCounters(pDevs[i], 0, TRUE);
        cont_ReleaseContDev(pCont, t.pDevIdArr[i].devId);
    }
    free(pDevs);
    free(pTests);
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Disk test end");
}

void diskTestThread(void *pArg)
{
    contDevMngr_DiskTest_Async(pArg);
}
} // namespace

Mos_RC contDevMngr_DiskTest(ContDevMngr *pDevMngr, const ContDevDiskTestDev *pDevTestArr, UINT32 numOfDevs,
                            const ContDevDiskTestParam *pTestsParam, UINT32 numOfTests, BOOL bSync)
{
    // The request is the Ostrel's: one outside its limits is refused, never obeyed.
    BOOL bValid = numOfDevs != 0 && pDevTestArr != nullptr && numOfTests >= 1 &&
                  numOfTests <= CONT_DEV__MAX_DISK_TESTS && pTestsParam != nullptr;
    for (UINT32 i = 0; bValid && i < numOfTests; i++)
        bValid = isValidTestParam(pTestsParam[i]);
    if (!bValid) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Disk test refused: %u devices, %u tests", numOfDevs, numOfTests);
        return MOS_RC__INVALID_ARG;
    }
    auto *pCopy = static_cast<ContDevDiskTestDev *>(malloc(sizeof(ContDevDiskTestDev) * numOfDevs));
    Exp(pCopy == nullptr);
    memcpy(pCopy, pDevTestArr, sizeof(ContDevDiskTestDev) * numOfDevs);
    {
        MosFastlockGuard g(&pDevMngr->devs.fastlock);
        ContDevDiskTest &t = pDevMngr->diskTest;
        if (t.bTestInProg) {
            free(pCopy);
            return MOS_RC__ALREADY_EXISTS;
        }
        t.bTestInProg = TRUE;
        t.pDevIdArr = pCopy;
        t.numOfDevs = numOfDevs;
        t.testParamCurr = toLbs(pTestsParam[0]);
        t.testInQueue = numOfTests > 1 ? 1 : 0;
        if (numOfTests > 1)
            t.testParamNext = toLbs(pTestsParam[1]);
    }
    if (bSync) {
        contDevMngr_DiskTest_Async(pDevMngr);
        return MOS_RC__SUCCESS;
    }
    HMosUmt_UThread h = mosUmt_CreateUThreadEx(diskTestThread, pDevMngr, nullptr, nullptr, FALSE,
                                               tgt_GetUmtClassId(MOS_UMT_CLASS_TYPE__TGT_DISK_TEST));
    MOS_ASSERT(h != nullptr);
    return MOS_RC__SUCCESS;
}

void contDevMngr_DiskTest_Async(void *pArg)
{
    auto *pDevMngr = static_cast<ContDevMngr *>(pArg);
    ContDevDiskTest &t = pDevMngr->diskTest;
    for (;;) {
        ContDevDiskTestParam p;
        {
            MosFastlockGuard g(&pDevMngr->devs.fastlock);
            p = t.testParamCurr;
        }
        runOneTest(pDevMngr, p);
        MosFastlockGuard g(&pDevMngr->devs.fastlock);
        if (t.testInQueue != 0) {
            t.testParamCurr = t.testParamNext;
            t.testInQueue = 0;
            continue;
        }
        free(t.pDevIdArr);
        t.pDevIdArr = nullptr;
        t.numOfDevs = 0;
        t.bTestInProg = FALSE;
        return;
    }
}

BOOL contDevMngr_IsDiskTestInProg(ContDevMngr *pDevMngr)
{
    MosFastlockGuard g(&pDevMngr->devs.fastlock);
    return pDevMngr->diskTest.bTestInProg;
}

Mos_RC contDevMngr_GetDiskTest(ContDevMngr *pDevMngr, const ContDevDiskTestDev *pDevTestArr, UINT32 numOfDevs,
                               void *pRes)
{
    {
        MosFastlockGuard g(&pDevMngr->devs.fastlock);
        if (tgtInitParam_G.bDiskTestTrace)
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Disk test in progress. Num of devs=%u. Test in queue=%u",
                      pDevMngr->diskTest.numOfDevs, pDevMngr->diskTest.testInQueue);
        if (pDevMngr->diskTest.bTestInProg)
            return MOS_RC__RETRY;
    }
    auto *pHead = static_cast<ContDevDiskTestRspHead *>(pRes);
    pHead->numOfDevs = numOfDevs;
    pHead->resultSize = CONT_DEV__DISK_TEST_RESULT_SIZE;
    auto *pOut = reinterpret_cast<ContDevDiskTestResult *>(pHead + 1);
    Cont *pCont = pDevMngr->pCont;
    for (UINT32 i = 0; i < numOfDevs; i++) {
        const UINT64 devId = pDevTestArr[i].devId;
        ContDev *pDev = cont_AcquireContDev(pCont, devId);
        for (UINT32 slot = 0; slot < PHY_DEV__TEST_HISTORY; slot++) {
            ContDevDiskTestResult &r = pOut[i * PHY_DEV__TEST_HISTORY + slot];
            memset(&r, 0, sizeof(r));
            r.devId = devId;
            r.testNum = pDevTestArr[i].testNum;
            if (pDev == nullptr || pDev->pPhyDev == nullptr) {
                r.rc = MOS_RC__NO_DEVICES;
                MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Get Disk test RC %s. Requested ID %lx returned NULL for %s",
                          mosRc_GetStr(MOS_RC__NO_DEVICES), (unsigned long)devId, pDev == nullptr ? "pDev" : "pPhyDev");
                continue;
            }
            const PhyDevTestHistory &h = pDev->pPhyDev->testHistory[slot];
            if (h.testNum != pDevTestArr[i].testNum) {
                r.rc = MOS_RC__NO_TEST;
                continue;
            }
            r.pattern = h.pattern;
            r.durationMs = h.durationMs;
            r.numOfIos = h.numOfIos;
            r.totalLbs = h.totalLbs;
            r.rc = h.rc;
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_MED, "Get Disk test RC %s", mosRc_GetStr(h.rc));
        }
        if (pDev != nullptr)
            cont_ReleaseContDev(pCont, devId);
    }
    return MOS_RC__SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Queries and settings over all devices

void contDev_GetLatencyBwc(ContDev *pDev, OstrelTgtRsp_DevLatencyBwc *pOut)
{
    OstrelTgtRsp_DevLatencyBwc &r = *pOut;
    memset(&r, 0, sizeof(r));
    r.maxPathLen = CONT_DEV__PATH_LEN;
    contDev_CopyDevPath(pDev, r.path);
    r.devId = pDev->devId;
    tgtBwc_GetLastWindow(&pDev->file.readSizeBwc, &r.readSize);
    tgtBwc_GetLastWindow(&pDev->file.readLatencyBwc, &r.readLatency);
    tgtBwc_GetLastWindow(&pDev->file.writeSizeBwc, &r.writeSize);
    tgtBwc_GetLastWindow(&pDev->file.writeLatencyBwc, &r.writeLatency);
    r.sampleGrn = pDev->file.dbg.sampleGrn;
}

UINT32 contDevMngr_GetTgtDevLatencyBwc(ContDevMngr *pDevMngr, OstrelTgtRsp_DevLatencyBwc *pOut, UINT32 maxDevs)
{
    return fillPerDevice(pDevMngr, maxDevs, [&](ContDev *pDev, UINT32 i) {
        contDev_GetLatencyBwc(pDev, &pOut[i]);
        return true;
    });
}

UINT32 contDevMngr_GetTgtDevCapacity(ContDevMngr *pDevMngr, OstrelTgtRsp_DevCapacity *pOut, UINT32 maxDevs)
{
    return fillPerDevice(pDevMngr, maxDevs, [&](ContDev *pDev, UINT32 i) {
        PhyDev *pPhyDev = pDev->pPhyDev;
        if (pPhyDev == nullptr)
            return false;
        OstrelTgtRsp_DevCapacity &r = pOut[i];
        r.devId = pDev->devId;
        MosFastlockGuard g(&pPhyDev->toothMap.mapFastlock);
        r.totalSizeInLbs = pPhyDev->totalSizeInLbs;
        r.numOfTeeth = pPhyDev->numOfTeeth;
        r.usedTeeth = pPhyDev->toothMap.currBaseTeeth + pPhyDev->toothMap.currSnapTeeth;
        return true;
    });
}

UINT32 contDevMngr_GetPaths(ContDevMngr *pDevMngr, UINT64 *pDevIds, CHAR_A (*pPaths)[CONT_DEV__PATH_LEN],
                            UINT32 maxDevs)
{
    return fillPerDevice(pDevMngr, maxDevs, [&](ContDev *pDev, UINT32 i) {
        pDevIds[i] = pDev->devId;
        contDev_CopyDevPath(pDev, pPaths[i]);
        return true;
    });
}

BOOL contDevMngr_HardenDevToothMaps(ContDevMngr *pDevMngr)
{
    BOOL bOk = TRUE;
    contDevMngr_ForEachDev(pDevMngr, [&](ContDev *pDev) {
        if (pDev->pPhyDev != nullptr && !phyDev_HardenToothArr(pDev->pPhyDev, 0) &&
            pDev->pPhyDev->devComb.curNumOfCombs != 0)
            bOk = FALSE;
        return true;
    });
    return bOk;
}

void contDevMngr_UpdateDrlModeOnAll(ContDevMngr *pDevMngr, BOOL bMemDrl)
{
    contDevMngr_ForEachDev(pDevMngr, [&](ContDev *pDev) {
        if (pDev->pPhyDev != nullptr)
            (void)contDev_ValidateBmWorkMode(pDev, bMemDrl);
        return true;
    });
}

void contDevMngr_SetFileMaxInflight(ContDevMngr *pDevMngr, UINT32 maxInflight)
{
    contDevMngr_ForEachDev(pDevMngr, [&](ContDev *pDev) {
        if (pDev->pPhyDev != nullptr)
            phyDev_SetFileMaxInflight(pDev->pPhyDev, maxInflight);
        return true;
    });
}

void contDevMngr_UpdateDevThrottlingConfForAllDevices(ContDevMngr *pDevMngr, PhyDevThrottlingInfo *pInfo)
{
    contDevMngr_ForEachDev(pDevMngr, [&](ContDev *pDev) {
        if (pDev->pPhyDev != nullptr)
            phyDev_UpdateDevThrottlingConf(pDev->pPhyDev, pInfo);
        return true;
    });
}

namespace {
void windowOf(TgtBwc *pBwc, MosBWC_QueryWindow *pOut)
{
    tgtBwc_GetLastWindow(pBwc, pOut);
}

void fillIoBwc(ContDev *pDev, OstrelTgtRsp_DevIoBwc *pOut)
{
    memset(pOut, 0, sizeof(*pOut));
    // The record's first seventeen windows are the device's I/O pairs in order; the two dirty-bitmap
    // windows follow.
    MosBWC_QueryWindow *pWin = &pOut->primaryWrites;
    constexpr UINT32 kIoWindows = 17;
    static_assert(kIoWindows <= CONT_GLB_BWC__NUM_IO_PAIRS * 2);
    for (UINT32 i = 0; i < kIoWindows; i++)
        windowOf(&pDev->devBwc.ioBwc[i / 2][i % 2], &pWin[i]);
    windowOf(&pDev->devBwc.dbmWriteBwc, &pOut->dirtyBmWrites);
    windowOf(&pDev->devBwc.unifiedDbmBwc, &pOut->dirtyBmUnified);
    if (pDev->pPhyDev != nullptr)
        pOut->localDiskFixes = pDev->pPhyDev->localDiskFixesCounter;
}

template <class F> void forEachListed(Cont *pCont, const UINT64 *pDevIds, UINT32 numDevs, F fn)
{
    for (UINT32 i = 0; i < numDevs; i++) {
        ContDev *pDev =
            static_cast<ContDev *>(contObj_AcquireReadLock(&pCont->objs, pDevIds[i], CONT_OBJ_TYPE__DEV));
        if (pDev == nullptr)
            continue;
        if (pDev->pPhyDev != nullptr)
            fn(pDev);
        contObj_ReleaseReadLock(&pCont->objs, pDevIds[i], CONT_OBJ_TYPE__DEV);
    }
}
} // namespace

UINT32 contDevMngr_GetTgtDevIoBwc(ContDevMngr *pDevMngr, OstrelTgtRsp_DevIoBwc *pIoBwc, UINT64 *pDevIds,
                                  UINT32 maxDevs)
{
    return fillPerDevice(pDevMngr, maxDevs, [&](ContDev *pDev, UINT32 i) {
        fillIoBwc(pDev, &pIoBwc[i]);
        pDevIds[i] = pDev->devId;
        return true;
    });
}

UINT32 contDevMngr_GetTgtDevCounters(ContDevMngr *pDevMngr, OstrelTgtRsp_DevCounters *pOut, UINT32 maxDevs)
{
    Cont *pCont = pDevMngr->pCont;
    return fillPerDevice(pDevMngr, maxDevs, [&](ContDev *pDev, UINT32 i) {
        OstrelTgtRsp_DevCounters &r = pOut[i];
        memset(&r, 0, sizeof(r));
        r.devId = pDev->devId;
        fillIoBwc(pDev, &r.devBwc);
        windowOf(&pDev->file.readSizeBwc, &r.devLatencyBwc.readSize);
        windowOf(&pDev->file.readLatencyBwc, &r.devLatencyBwc.readLatency);
        windowOf(&pDev->file.writeSizeBwc, &r.devLatencyBwc.writeSize);
        windowOf(&pDev->file.writeLatencyBwc, &r.devLatencyBwc.writeLatency);
        r.devLatencyBwc.sampleGrn = pDev->file.dbg.sampleGrn;
        if (pDev->pPhyDev != nullptr) {
            phyDev_GetDevThrottlingInfo(pDev->pPhyDev, &r.devThrottlingCnt.rebuildWaitingCnt,
                                        &r.devThrottlingCnt.rebalanceWaitingCnt);
            r.fixedReadErrorsCount = pDev->pPhyDev->localDiskFixesCounter;
            phyDev_GetScanCounters(pDev->pPhyDev, &r.scanCounter.scanCompareErrors, &r.scanCounter.MBsScanned);
        }
        flcache_GetSourceCounters(&pCont->flcache, pDev->devId, &r.flcacheCounter);
        return true;
    });
}

UINT32 contDevMngr_GetMetadata(ContDevMngr *pDevMngr, ContDevMetadata *pOut, UINT32 maxDevs)
{
    return fillPerDevice(pDevMngr, maxDevs, [&](ContDev *pDev, UINT32 i) {
        ContDevMetadata &r = pOut[i];
        memset(&r, 0, sizeof(r));
        r.devId = pDev->devId;
        r.constMetadata = pDev->devMetadata.constMetadata;
        r.infrequentMetadata = pDev->devMetadata.infrequentMetadata;
        return true;
    });
}

Mos_RC contDevMngr_SetRebuildRebalanceDestLimits(Cont *pCont, const OstrelTgt_DeviceDestRebBwLimits *pEntries,
                                                 UINT32 numOfEntries)
{
    Mos_RC rc = MOS_RC__SUCCESS;
    for (UINT32 i = 0; i < numOfEntries; i++) {
        const OstrelTgt_DeviceDestRebBwLimits &e = pEntries[i];
        BOOL bFound = FALSE;
        forEachListed(pCont, &e.devId, 1, [&](ContDev *pDev) {
            phyDev_SetDestBwLimits(pDev->pPhyDev, e.rebuildDestBwLimitInLBs, e.rebalanceDestBwLimitInLBs);
            bFound = TRUE;
        });
        if (!bFound)
            rc = MOS_RC__NOT_FOUND;
    }
    return rc;
}

void contDevMngr_UpdateDevRamcacheUse(Cont *pCont, const UINT64 *pDevIds, UINT32 numDevs, BOOL bUseCache)
{
    forEachListed(pCont, pDevIds, numDevs, [&](ContDev *pDev) { phyDev_UpdateDevRamcacheUse(pDev->pPhyDev, bUseCache); });
}

void contDevMngr_UpdateDevRamcacheWriteMode(Cont *pCont, const UINT64 *pDevIds, UINT32 numDevs, UINT32 mode)
{
    forEachListed(pCont, pDevIds, numDevs,
                  [&](ContDev *pDev) { phyDev_UpdateDevRamcacheWriteMode(pDev->pPhyDev, mode); });
}

void contDevMngr_UpdateDevT10DIFNonPersistentMode(Cont *pCont, const UINT64 *pDevIds, UINT32 numDevs, UINT32 bEnable)
{
    forEachListed(pCont, pDevIds, numDevs,
                  [&](ContDev *pDev) { (void)phyDev_UpdateT10DIFNonPersistent(pDev->pPhyDev, bEnable); });
}

// ---------------------------------------------------------------------------------------------
// Oscillation counters

Mos_RC contDev_UpdateOscCounter(ContDev *pDev, MosOscCnt_CounterType type, const MosOscCnt_WindowParams *pParams,
                                BOOL bReset)
{
    MosOscCnt_Counter *pCounter = type == MOS_OSC_CNT_TYPE__DEVICE_LONG_IO_OPERATIONS ? &pDev->longIoOscCnt
                                  : type == MOS_OSC_CNT_TYPE__DEVICE_LONG_SUCCESSFUL_IO_OPERATIONS
                                      ? &pDev->longSuccessfulIoOscCnt
                                      : nullptr;
    if (pCounter == nullptr) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Unsupported Counter Type %d", (int)type);
        return MOS_RC__INVALID_ARG;
    }
    if (bReset) {
        mosOscCnt_ResetCounter(pCounter);
        return MOS_RC__SUCCESS;
    }
    for (UINT8 w = 0; w < MOS_OSC_CNT__NUM_WINDOWS; w++) {
        const Mos_RC rc = mosOscCnt_SetWindowParams(pCounter, w, &pParams[w]);
        if (rc != MOS_RC__SUCCESS) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "devId %lx: window %u of counter %d refused: %s",
                      (unsigned long)pDev->devId, (unsigned)w, (int)type, mosRc_GetStr(rc));
            return MOS_RC__INVALID_ARG;
        }
    }
    return MOS_RC__SUCCESS;
}

void contDevMngr_UpdateOscCounter(Cont *pCont, const UINT64 *pDevIds, UINT32 numDevs, BOOL bResetAll,
                                  MosOscCnt_CounterType type, const MosOscCnt_WindowParams *pParams, BOOL bReset)
{
    if (bResetAll) {
        contDevMngr_ForEachDev(&pCont->devMngr, [&](ContDev *pDev) {
            (void)contDev_UpdateOscCounter(pDev, type, pParams, bReset);
            return true;
        });
        return;
    }
    for (UINT32 i = 0; i < numDevs; i++) {
        ContDev *pDev = cont_AcquireContDev(pCont, pDevIds[i]);
        if (pDev == nullptr)
            continue;
        (void)contDev_UpdateOscCounter(pDev, type, pParams, bReset);
        cont_ReleaseContDev(pCont, pDevIds[i]);
    }
}

UINT32 contDevMngr_GatherOscCounters(ContDevMngr *pDevMngr, MosOscCnt_QueryCounter *pArray, UINT32 maxCounters,
                                     UINT64 timeDelta)
{
    UINT32 n = 0;
    contDevMngr_ForEachDev(pDevMngr, [&](ContDev *pDev) {
        for (MosOscCnt_Counter *pCounter : {&pDev->longIoOscCnt, &pDev->longSuccessfulIoOscCnt}) {
            if (n >= maxCounters)
                return false;
            if (mosOscCnt_HasCounterChanged(pCounter, timeDelta) &&
                mosOscCnt_GetCounter(pCounter, &pArray[n]) == MOS_RC__SUCCESS)
                n++;
        }
        return true;
    });
    return n;
}
