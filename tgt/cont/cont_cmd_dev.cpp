// The device group command. Unlike the other groups it only marks and adds: devices still marked
// when the cycle ends are removed by RECONF_DONE, after every comb had its chance to move. Old
// devices are added before new ones; each device's own outcome is its answer entry's specRc, and
// the command answers 65 unless the whole group could not run. The devices of each kind are
// added side by side, one worker thread each.
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
#include "tgt/tgt_umt_class.h"

namespace {

constexpr UINT32 kMaxDevsInGroup = 64;


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

// The command's paths, for the device map's reload and the long-I/O check: a path the command
// names as a new device is left out of the reload (its header is about to be written anew); every
// other path of the machine is read, so a known device is found wherever it is now.
struct ContCmdDevPaths {
    std::vector<OstrelTgtReq_AddDev> elems;
    const OstrelTgtReq_AddDev *find(const char *pPath) const
    {
        for (const OstrelTgtReq_AddDev &e : elems)
            if (strncmp(e.path, pPath, sizeof(e.path)) == 0)
                return &e;
        return nullptr;
    }
};

BOOL contCmd_AddDevGroupFilter(void *pContext, void *pItem)
{
    const auto *pPaths = static_cast<const ContCmdDevPaths *>(pContext);
    const char *pPath = static_cast<const char *>(pItem);
    const OstrelTgtReq_AddDev *pElem = pPaths->find(pPath);
    if (pElem == nullptr)
        return TRUE;
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add Dev group: %s is %s device %016lx", pPath,
              pElem->bNew ? "a new" : "an old", (unsigned long)pElem->devId);
    return pElem->bNew ? FALSE : TRUE;
}

// A path with a long in-flight I/O: the filter of the long-I/O check names it when the command
// lists it as a new device.
BOOL contCmd_AddDevGroupLongIoFilter(void *pContext, void *pItem)
{
    const auto *pPaths = static_cast<const ContCmdDevPaths *>(pContext);
    const OstrelTgtReq_AddDev *pElem = pPaths->find(static_cast<const char *>(pItem));
    if (pElem == nullptr || !pElem->bNew)
        return FALSE;
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Found Long inflight IOs on new dev %s, devId:%016lx",
              static_cast<const char *>(pItem), (unsigned long)pElem->devId);
    return TRUE;
}

void contCmd_AppendDevAnswer(NetRpcData *pRes, const std::vector<OstrelTgtRsp_AddDev> &ans)
{
    if (pRes == nullptr)
        return;
    const OstrelTgtRsp_AddDevArr head{(UINT32)ans.size(), sizeof(OstrelTgtRsp_AddDev)};
    std::vector<UINT8> bytes(sizeof(head) + ans.size() * sizeof(OstrelTgtRsp_AddDev));
    memcpy(bytes.data(), &head, sizeof(head));
    if (!ans.empty())
        memcpy(bytes.data() + sizeof(head), ans.data(), ans.size() * sizeof(OstrelTgtRsp_AddDev));
    contCmd_AppendAnswer(pRes, bytes.data(), (UINT32)bytes.size());
}

} // namespace

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

Mos_RC contCmd_AddDevGroup(Cont *pCont, const OstrelTgtReq_AddDevArr *pHead, const UINT8 *pElems, NetRpcData *pRes)
{
    const UINT32 n = pHead->numOfDevs;
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW,
              "Add Dev group start bReconfigInProgress %u, bUpdateDevicePath %u # of devices %u",
              pHead->bReconfigInProgress, pHead->bUpdateDevicePath, n);
    if (n > kMaxDevsInGroup) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add Dev group refused: %u devices, at most %u", n, kMaxDevsInGroup);
        return MOS_RC__INVALID;
    }
    ContCmdDevPaths paths;
    paths.elems.resize(n);
    if (n != 0)
        memcpy(paths.elems.data(), pElems, (size_t)n * sizeof(OstrelTgtReq_AddDev));
    for (OstrelTgtReq_AddDev &e : paths.elems)
        e.path[sizeof(e.path) - 1] = '\0'; // for the filters only; each add checks its own path
    GenericFilter longIoFilter;
    genericFilter_Create(&longIoFilter, contCmd_AddDevGroupLongIoFilter, &paths, n);
    if (contDevMngr_IsLongIoInProgress(&pCont->devMngr, &longIoFilter)) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Aborting AddDevGroup command due to long in-flight in progress");
        contCmd_AppendDevAnswer(pRes, {});
        return MOS_RC__NOT_READY;
    }
    if (pHead->bReconfigInProgress)
        contDevMngr_MarkAllDevs(&pCont->devMngr);
    MOS_ASSERT_SUCCESS(mosUmtSem_DecTimed(&pCont->cmd.addRemDevSem, 1, 0));
    if (pHead->bUpdateDevicePath) {
        GenericFilter reloadFilter;
        genericFilter_Create(&reloadFilter, contCmd_AddDevGroupFilter, &paths, n);
        const Mos_RC rc = phy_ReloadDevMap(&pCont->phy, pCont, &reloadFilter);
        if (rc != MOS_RC__SUCCESS)
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add Dev group: the device map was not reloaded: %s",
                      mosRc_GetStr(rc));
    }
    // Devices this server held before come back before new ones take their places; the devices of
    // each kind are added in parallel, one worker each.
    std::vector<OstrelTgtRsp_AddDev> ans(n);
    // Adds run in parallel: two elements naming one path would both take the device (each reads
    // its header before the other writes it), so only the first of them is added.
    std::vector<bool> bDup(n, false);
    for (UINT32 i = 0; i < n; i++) {
        for (UINT32 j = 0; j < i && !bDup[i]; j++)
            bDup[i] = strncmp(paths.elems[i].path, paths.elems[j].path, sizeof(paths.elems[i].path)) == 0;
        if (bDup[i]) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add Dev refused: devID=%lx names the path %s of an earlier device",
                      (unsigned long)paths.elems[i].devId, paths.elems[i].path);
            ans[i] = {};
            ans[i].devId = paths.elems[i].devId;
            ans[i].pathMaxLen = sizeof(ans[i].path);
            memcpy(ans[i].path, paths.elems[i].path, sizeof(ans[i].path));
            ans[i].specRc = MOS_RC__INVALID;
        }
    }
    for (UINT32 bNew = 0; bNew <= 1; bNew++) {
        std::vector<UINT32> picked;
        for (UINT32 i = 0; i < n; i++)
            if ((paths.elems[i].bNew != 0) == (bNew != 0) && !bDup[i])
                picked.push_back(i);
        if (bNew)
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Creating UMT's for New devices");
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Created %u UMT's for %s devices - waiting for their completion",
                  (UINT32)picked.size(), bNew ? "New" : "Non-New");
        contCmd_RunOnWorkers((UINT32)picked.size(), MOS_UMT_CLASS_TYPE__TGT_ADD_DEVICE, [&](UINT32 k) {
            OstrelTgtReq_AddDev e;
            memcpy(&e, pElems + (size_t)picked[k] * sizeof(e), sizeof(e));
            contCmd_AddDev(pCont, e, &ans[picked[k]]);
        });
    }
    mosUmtSem_IncInter(&pCont->cmd.addRemDevSem, 1, TRUE);
    contCmd_AppendDevAnswer(pRes, ans);
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add Dev group done bReconfigInProgress %u, bUpdateDevicePath %u # of devices %u",
              pHead->bReconfigInProgress, pHead->bUpdateDevicePath, n);
    return MOS_RC__SUCCESS;
}

Mos_RC contCmd_AddDevGroupCmd(ContCmdCtx *pCtx)
{
    const auto head = contCmd_RecAt<OstrelTgtReq_AddDevArr>(pCtx, 0);
    // The length rule holds the elements; a count above the group's limit is refused before any
    // element is read.
    return contCmd_AddDevGroup(pCtx->pCont, &head, pCtx->pRec + sizeof(head), pCtx->pRes);
}

Mos_RC contCmd_RemMarkedDevs(Cont *pCont)
{
    MOS_ASSERT_SUCCESS(mosUmtSem_DecTimed(&pCont->cmd.addRemDevSem, 1, 0));
    std::vector<UINT64> ids;
    for (ContDev *pDev = contDevMngr_GetNextMarkedNode(&pCont->devMngr, nullptr); pDev != nullptr;
         pDev = contDevMngr_GetNextMarkedNode(&pCont->devMngr, pDev))
        ids.push_back(contDev_GetTgtDevId(pDev));
    std::vector<Mos_RC> rcs(ids.size(), MOS_RC__SUCCESS);
    contCmd_RunOnWorkers((UINT32)ids.size(), MOS_UMT_CLASS_TYPE__TGT_REM_DEV,
                         [&](UINT32 i) { rcs[i] = contDev_RemById(pCont, ids[i], FALSE, TRUE); });
    Mos_RC result = MOS_RC__SUCCESS;
    for (size_t i = 0; i < ids.size(); i++) {
        if (rcs[i] != MOS_RC__SUCCESS) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Removing marked device %lx failed %s", (unsigned long)ids[i],
                      mosRc_GetStr(rcs[i]));
            result = MOS_RC__ERROR;
        }
    }
    mosUmtSem_IncInter(&pCont->cmd.addRemDevSem, 1, TRUE);
    return result;
}
