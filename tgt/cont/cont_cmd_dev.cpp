// The device group command. Unlike the other groups it only marks and adds: devices still marked
// when the cycle ends are removed by RECONF_DONE, after every comb had its chance to move. Old
// devices are added before new ones; each device's own outcome is its answer entry's specRc, and
// the command answers 65 unless the whole group could not run.
//
// Every element is checked before its add: an id of 0 or throttling values that break their rules
// make that element's specRc MOS_RC__INVALID, a path without its terminating zero within its 64
// characters MOS_RC__INVALID_DEVICE_PATH; more than 64 devices refuse the command
// (MOS_RC__INVALID) before anything changes.
#include <cstring>
#include <vector>

#include "mos/mos_trace.h"
#include "tgt/cont/cont.h"
#include "tgt/cont/cont_dev.h"
#include "tgt/cont/cont_cmd_intrn.h"

namespace {

constexpr UINT32 kMaxDevsInGroup = 64;

PhyDevThrottlingInfo contCmd_PhyThrottling(const OstrelTgtThrottlingInfo &t)
{
    PhyDevThrottlingInfo p;
    p.rebuildConcurrentIOLimit = t.rebuildConcurrentIOLimit;
    p.rebalanceConcurrentIOLimit = t.rebalanceConcurrentIOLimit;
    p.rebuildBWLimitKB = t.rebuildBWLimitKB;
    p.rebalanceBWLimitKB = t.rebalanceBWLimitKB;
    p.rebuildQuietPeriodMs = t.rebuildQuietPeriodMs;
    p.rebalanceQuietPeriodMs = t.rebalanceQuietPeriodMs;
    p.rebuildAppIopsPerDeviceThreshold = t.rebuildAppIopsPerDeviceThreshold;
    p.rebalanceAppIopsPerDeviceThreshold = t.rebalanceAppIopsPerDeviceThreshold;
    p.rebuildAppBwPerDeviceThresholdKB = t.rebuildAppBwPerDeviceThresholdKB;
    p.rebalanceAppBwPerDeviceThresholdKB = t.rebalanceAppBwPerDeviceThresholdKB;
    return p;
}

// One element's add; its answer entry is filled either way.
void contCmd_AddDev(Cont *pCont, const OstrelTgtReq_AddDev &e, OstrelTgtRsp_AddDev *pAns)
{
    *pAns = {};
    pAns->devId = e.devId;
    pAns->pathMaxLen = sizeof(pAns->path);
    memcpy(pAns->path, e.path, sizeof(pAns->path));
    pAns->path[sizeof(pAns->path) - 1] = '\0';
    const OstrelTgtThrottlingInfo &t = e.throttlingInfo;
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_MED,
              "Throttling info: rebuildConcurrentIOLimit=%u, rebalanceConcurrentIOLimit=%u, rebuildBWLimitKB=%u, "
              "rebalanceBWLimitKB=%u, rebuildQuietPeriodMs=%u, rebalanceQuietPeriodMs=%u, "
              "rebuildAppIopsPerDeviceThreshold=%u, rebalanceAppIopsPerDeviceThreshold=%u, "
              "rebuildAppBwPerDeviceThresholdKB=%u, rebalanceAppBwPerDeviceThresholdKB=%u",
              t.rebuildConcurrentIOLimit, t.rebalanceConcurrentIOLimit, t.rebuildBWLimitKB, t.rebalanceBWLimitKB,
              t.rebuildQuietPeriodMs, t.rebalanceQuietPeriodMs, t.rebuildAppIopsPerDeviceThreshold,
              t.rebalanceAppIopsPerDeviceThreshold, t.rebuildAppBwPerDeviceThresholdKB,
              t.rebalanceAppBwPerDeviceThresholdKB);
    if (e.devId == 0 || !contCmd_ValidateThrottlingInfo(&t)) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add Dev refused: devID=%lx (an id or throttling it cannot take)",
                  (unsigned long)e.devId);
        pAns->specRc = MOS_RC__INVALID;
        return;
    }
    pAns->specRc = contCmd_CheckTextField(e.path, "Device path", e.devId);
    if (pAns->specRc != MOS_RC__SUCCESS)
        return;
    const PhyDevThrottlingInfo throttling = contCmd_PhyThrottling(e.throttlingInfo);
    const MosOscCnt_CounterParams osc[2] = {e.devLongIOsCntrParams, e.devLongSuccessfulIOsCntrParams};
    ContDevAddArgs args{};
    args.devId = e.devId;
    args.pPath = pAns->path;
    args.bRefresh = e.bRefresh != 0;
    args.bMemDrl = e.bMemDrl != 0;
    args.snapReservedTeeth = e.snapReservedTeeth;
    args.bDevZeroPadEnabled = e.bDevZeroPadEnabled != 0;
    args.bChecksumEnabled = e.bChecksumEnabled != 0;
    args.bNew = e.bNew != 0;
    args.bForceDeviceTakeover = e.bForceDeviceTakeover != 0;
    args.bUseCache = e.bUseCache != 0;
    args.ramcacheWriteMode = e.ramcacheWriteMode;
    args.pThrottlingInfo = &throttling;
    args.scanInfo = {e.scanFlavor, e.scanBWLimitKb};
    args.pOscCntParams = osc;
    args.bUseFlcache = e.bUseFlcache != 0;
    UINT32 numOfCombs = 0;
    UINT64 numOfTeeth = 0;
    BOOL bZero = FALSE;
    const Mos_RC rc = contDev_AddOne(pCont, &args, &numOfCombs, &numOfTeeth, &bZero);
    if (bZero) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add Dev - zeroing MD Async: devID=%lx", (unsigned long)e.devId);
        contDev_StartDelayedZeroing(pCont, e.devId);
    } else {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add Dev - skip zeroing MD Async: devID=%lx", (unsigned long)e.devId);
    }
    pAns->numOfTeeth = numOfTeeth;
    pAns->specRc = rc;
}

} // namespace

Mos_RC contCmd_AddDevGroupCmd(ContCmdCtx *pCtx)
{
    Cont *pCont = pCtx->pCont;
    const auto head = contCmd_RecAt<OstrelTgtReq_AddDevArr>(pCtx, 0);
    const UINT32 n = head.numOfDevs;
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW,
              "Add Dev group start bReconfigInProgress %u, bUpdateDevicePath %u # of devices %u",
              head.bReconfigInProgress, head.bUpdateDevicePath, n);
    if (n > kMaxDevsInGroup) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add Dev group refused: %u devices, at most %u", n, kMaxDevsInGroup);
        return MOS_RC__INVALID;
    }
    std::vector<OstrelTgtRsp_AddDev> ans(n);
    const OstrelTgtRsp_AddDevArr ansHead{n, sizeof(OstrelTgtRsp_AddDev)};
    if (contDevMngr_IsLongIoInProgress(&pCont->devMngr, nullptr)) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Aborting AddDevGroup command due to long in-flight in progress");
        const OstrelTgtRsp_AddDevArr none{0, sizeof(OstrelTgtRsp_AddDev)};
        contCmd_AppendAnswer(pCtx->pRes, &none, sizeof(none));
        return MOS_RC__NOT_READY;
    }
    if (head.bReconfigInProgress)
        contDevMngr_MarkAllDevs(&pCont->devMngr);
    MOS_ASSERT_SUCCESS(mosUmtSem_DecTimed(&pCont->cmd.addRemDevSem, 1, 0));
    // Devices this server held before come back before new ones take their places.
    for (UINT32 bNew = 0; bNew <= 1; bNew++) {
        for (UINT32 i = 0; i < n; i++) {
            const auto e = contCmd_RecAt<OstrelTgtReq_AddDev>(pCtx, sizeof(head) + (UINT64)i * sizeof(OstrelTgtReq_AddDev));
            if ((e.bNew != 0) == (bNew != 0))
                contCmd_AddDev(pCont, e, &ans[i]);
        }
    }
    mosUmtSem_IncInter(&pCont->cmd.addRemDevSem, 1, TRUE);
    std::vector<UINT8> bytes(sizeof(ansHead) + (size_t)n * sizeof(OstrelTgtRsp_AddDev));
    memcpy(bytes.data(), &ansHead, sizeof(ansHead));
    if (n != 0)
        memcpy(bytes.data() + sizeof(ansHead), ans.data(), (size_t)n * sizeof(OstrelTgtRsp_AddDev));
    contCmd_AppendAnswer(pCtx->pRes, bytes.data(), (UINT32)bytes.size());
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add Dev group done bReconfigInProgress %u, bUpdateDevicePath %u # of devices %u",
              head.bReconfigInProgress, head.bUpdateDevicePath, n);
    return MOS_RC__SUCCESS;
}

Mos_RC contCmd_RemMarkedDevs(Cont *pCont)
{
    MOS_ASSERT_SUCCESS(mosUmtSem_DecTimed(&pCont->cmd.addRemDevSem, 1, 0));
    std::vector<UINT64> ids;
    for (ContDev *pDev = contDevMngr_GetNextMarkedNode(&pCont->devMngr, nullptr); pDev != nullptr;
         pDev = contDevMngr_GetNextMarkedNode(&pCont->devMngr, pDev))
        ids.push_back(contDev_GetTgtDevId(pDev));
    Mos_RC result = MOS_RC__SUCCESS;
    for (UINT64 id : ids) {
        const Mos_RC rc = contDev_RemById(pCont, id, FALSE, TRUE);
        if (rc != MOS_RC__SUCCESS) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Removing marked device %lx failed %s", (unsigned long)id,
                      mosRc_GetStr(rc));
            result = MOS_RC__ERROR;
        }
    }
    mosUmtSem_IncInter(&pCont->cmd.addRemDevSem, 1, TRUE);
    return result;
}
