// The Ostrel's small setting commands: every device's dirty-region log mode, per-device snapshot
// reserve, scan, RAM read-cache use and write mode, checksum mode and destination limits, and the
// RAM read cache's state and size. Values the devices would stop on (a scan flavour or a checksum
// mode outside its range, an empty list) are refused with MOS_RC__INVALID and change nothing.
#include <vector>

#include "mos/mos_trace.h"
#include "tgt/cont/cont.h"
#include "tgt/cont/cont_cmd_intrn.h"
#include "tgt/cont/cont_cmd_set_rec.h"
#include "tgt/cont/cont_dev.h"
#include "tgt/phy/phy_dev.h"
#include "tgt/raid/raid_resync.h"
#include "tgt/tgt_conf.h"

namespace {

// The ids of a per-device list whose count is at countOff and whose ids start at 10.
std::vector<UINT64> contCmd_DevIds(ContCmdCtx *pCtx, UINT32 countOff)
{
    const UINT32 n = contCmd_RecAt<UINT32>(pCtx, countOff);
    std::vector<UINT64> ids(n);
    for (UINT32 i = 0; i < n; i++)
        ids[i] = contCmd_RecAt<UINT64>(pCtx, 10 + (UINT64)i * sizeof(UINT64));
    return ids;
}

void contCmd_TraceDev(const CHAR_A *pLabel, UINT64 id, const CHAR_A *pStep, MosTraceFrequency freq)
{
    MOS_TRACE(MOS_COMP_TGT_CONT, freq, "%s %lx - %s rc = %s", pLabel, (unsigned long)id, pStep, "MOS_RC__SUCCESS");
}

// 65 set, 3 unknown device, 1 below what the device already holds.
Mos_RC contCmd_UpdateDevLimit(Cont *pCont, UINT64 devId, UINT64 snapReservedTeeth)
{
    ContDev *pDev = cont_AcquireContDev(pCont, devId);
    if (pDev == nullptr)
        return MOS_RC__NOT_FOUND;
    Mos_RC rc = MOS_RC__ERROR;
    if (pDev->pPhyDev != nullptr) {
        PhyToothMap &map = pDev->pPhyDev->toothMap;
        MosFastlockGuard g(&map.mapFastlock);
        if (snapReservedTeeth >= map.currSnapTeeth + map.currThinBaseTeeth) {
            map.snapReservedTeeth = snapReservedTeeth;
            rc = MOS_RC__SUCCESS;
        }
    }
    cont_ReleaseContDev(pCont, devId);
    return rc;
}

} // namespace

Mos_RC contCmd_UpdateDrlInfoCmd(ContCmdCtx *pCtx)
{
    contDevMngr_UpdateDrlModeOnAll(&pCtx->pCont->devMngr, contCmd_RecAt<OstrelTgtReq_UpdateDRLInfo>(pCtx, 0).bMemDRL != 0);
    return MOS_RC__SUCCESS;
}

Mos_RC contCmd_SetNetCopyLimitCmd(ContCmdCtx *pCtx)
{
    constexpr UINT64 kLbsInMb = 2048;
    constexpr UINT32 kCopySlotMultiplier = 3;
    const auto rec = contCmd_RecAt<OstrelTgtReq_SetNetLimit>(pCtx, 0);
    // A limit whose LB count does not fit in 32 bits would wrap into a small one.
    for (UINT32 mb : {rec.rebuildNetLimitMB, rec.rebalanceNetLimitMB, rec.ioNetLimitMB})
        if (mb * kLbsInMb > UINT32_MAX)
            return MOS_RC__INVALID;
    if (RaidSyncPool *pPool = raidSyncPool_Get())
        raidSyncPool_UpdateLimits(pPool, (UINT32)(rec.rebuildNetLimitMB * kLbsInMb),
                                  (UINT32)(rec.rebalanceNetLimitMB * kLbsInMb), (UINT32)(rec.ioNetLimitMB * kLbsInMb),
                                  kCopySlotMultiplier);
    return MOS_RC__SUCCESS;
}

Mos_RC contCmd_UpdateDevSnapCapGroupCmd(ContCmdCtx *pCtx)
{
    const UINT32 n = contCmd_RecAt<UINT32>(pCtx, 2);
    if (n == 0)
        return MOS_RC__INVALID;
    std::vector<UINT8> ans(sizeof(OstrelTgtRsp_UpdateDevSnapCapLimit) + (size_t)n * sizeof(OstrelTgt_DevRC));
    const OstrelTgtRsp_UpdateDevSnapCapLimit head{n, (UINT32)sizeof(OstrelTgt_DevRC)};
    memcpy(ans.data(), &head, sizeof(head));
    for (UINT32 i = 0; i < n; i++) {
        const auto e = contCmd_RecAt<OstrelTgt_DevCapacityRsrv>(pCtx, 10 + (UINT64)i * sizeof(OstrelTgt_DevCapacityRsrv));
        const OstrelTgt_DevRC r{e.tgtDevId, (UINT32)contCmd_UpdateDevLimit(pCtx->pCont, e.tgtDevId, e.snapReservedTeeth)};
        memcpy(ans.data() + sizeof(head) + (size_t)i * sizeof(r), &r, sizeof(r));
    }
    contCmd_AppendAnswer(pCtx->pRes, ans.data(), (UINT32)ans.size());
    return MOS_RC__SUCCESS;
}

Mos_RC contCmd_UpdateDevScanConfCmd(ContCmdCtx *pCtx)
{
    Cont *pCont = pCtx->pCont;
    const UINT32 n = contCmd_RecAt<UINT32>(pCtx, 0);
    std::vector<OstrelTgt_DevScanConf> entries(n);
    for (UINT32 i = 0; i < n; i++) {
        entries[i] = contCmd_RecAt<OstrelTgt_DevScanConf>(pCtx, 10 + (UINT64)i * sizeof(OstrelTgt_DevScanConf));
        // Checked before any device changes: one bad flavour refuses the whole request.
        if (entries[i].scanInfo.flavor < 1 || entries[i].scanInfo.flavor > 3)
            return MOS_RC__INVALID;
    }
    for (const OstrelTgt_DevScanConf &e : entries) {
        contCmd_TraceDev("DevId", e.devId, "Start", MOS_FREQ_MED);
        ContDev *pDev = cont_AcquireContDev(pCont, e.devId);
        if (pDev == nullptr) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_MED, "%s %lx - %s rc = %s", "DevId", (unsigned long)e.devId, "Done",
                      "MOS_RC__TGT_DEVICE_NOT_FOUND");
            return MOS_RC__TGT_DEVICE_NOT_FOUND;
        }
        (void)contDev_UpdateDevScanConf(pDev, &e.scanInfo);
        if (pDev->pPhyDev != nullptr && e.bResetCompareCounter != 0)
            phyDev_ResetCompareErrorsCounter(pDev->pPhyDev);
        if (pDev->pPhyDev != nullptr && e.bResetReadErrorCounter != 0)
            phyDev_ResetReadErrorFixesCounter(pDev->pPhyDev);
        cont_ReleaseContDev(pCont, e.devId);
        contCmd_TraceDev("DevId", e.devId, "Done", MOS_FREQ_HIGH);
    }
    return MOS_RC__SUCCESS;
}

Mos_RC contCmd_UpdateDevRamcacheUseCmd(ContCmdCtx *pCtx)
{
    const std::vector<UINT64> ids = contCmd_DevIds(pCtx, 6);
    contCmd_TraceDev("", 0, "Start", MOS_FREQ_MED);
    contDevMngr_UpdateDevRamcacheUse(pCtx->pCont, ids.data(), (UINT32)ids.size(), contCmd_RecAt<UINT32>(pCtx, 2) != 0);
    return MOS_RC__SUCCESS;
}

Mos_RC contCmd_UpdateDevRamcacheWriteModeCmd(ContCmdCtx *pCtx)
{
    const std::vector<UINT64> ids = contCmd_DevIds(pCtx, 6);
    contCmd_TraceDev("", 0, "Start", MOS_FREQ_MED);
    contDevMngr_UpdateDevRamcacheWriteMode(pCtx->pCont, ids.data(), (UINT32)ids.size(), contCmd_RecAt<UINT32>(pCtx, 2));
    return MOS_RC__SUCCESS;
}

Mos_RC contCmd_UpdateDevChecksumCmd(ContCmdCtx *pCtx)
{
    const UINT32 bEnabled = contCmd_RecAt<UINT32>(pCtx, 2);
    MOS_TRACE(MOS_COMP_T10DIF, MOS_FREQ_LOW, "Recv msg to update checksum: bAllowDifferentRequestLen=%u, numDevs=%u, cmdLen=%u",
              (unsigned)tgtInitParam_G.bAllowDifferentRequestLen, contCmd_RecAt<UINT32>(pCtx, 6), pCtx->recLen);
    if (bEnabled > 1)
        return MOS_RC__INVALID;
    const std::vector<UINT64> ids = contCmd_DevIds(pCtx, 6);
    if (ids.empty()) // the traces name the first device: a request naming none has nothing to set
        return MOS_RC__INVALID;
    contCmd_TraceDev("DevId", ids[0], "Start", MOS_FREQ_MED);
    contDevMngr_UpdateDevT10DIFNonPersistentMode(pCtx->pCont, ids.data(), (UINT32)ids.size(), bEnabled);
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_HIGH, "%s %lx - %s rc = %s", "", (unsigned long)ids[0], "Done",
              "MOS_RC__SUCCESS");
    return MOS_RC__SUCCESS;
}

Mos_RC contCmd_SetRebuildRebalanceDestLimitsCmd(ContCmdCtx *pCtx)
{
    const auto head = contCmd_RecAt<OstrelTgtReq_SetRebuildRebalanceDestLimits>(pCtx, 0);
    // Entries lie where the record says, as far apart as it says: both come from the network.
    const UINT64 end = (UINT64)head.perDeviceDestRebBwLimitsOffset +
                       (UINT64)head.devicesToUpdateNum * head.sizeofDeviceDestRebBwLimits;
    if (head.devicesToUpdateNum == 0 || head.sizeofDeviceDestRebBwLimits < sizeof(OstrelTgt_DeviceDestRebBwLimits) ||
        head.perDeviceDestRebBwLimitsOffset < sizeof(head) || end > pCtx->recLen ||
        (!tgtInitParam_G.bAllowDifferentRequestLen && end != pCtx->recLen))
        return MOS_RC__INTERFACE_ERROR;
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_HIGH, "Setting I/O BW dest limits per device");
    std::vector<OstrelTgt_DeviceDestRebBwLimits> entries(head.devicesToUpdateNum);
    for (UINT32 i = 0; i < head.devicesToUpdateNum; i++)
        entries[i] = contCmd_RecAt<OstrelTgt_DeviceDestRebBwLimits>(
            pCtx, head.perDeviceDestRebBwLimitsOffset + (UINT64)i * head.sizeofDeviceDestRebBwLimits);
    return contDevMngr_SetRebuildRebalanceDestLimits(pCtx->pCont, entries.data(), head.devicesToUpdateNum);
}

Mos_RC contCmd_UpdateCacheFreezeCmd(ContCmdCtx *pCtx)
{
    (void)rcache_FreezeUnfreeze(&pCtx->pCont->readCache, contCmd_RecAt<UINT32>(pCtx, 2) != 0);
    return MOS_RC__SUCCESS;
}

Mos_RC contCmd_UpdateCacheEnableCmd(ContCmdCtx *pCtx)
{
    (void)rcache_EnableDisable(&pCtx->pCont->readCache, contCmd_RecAt<UINT32>(pCtx, 2) != 0);
    return MOS_RC__SUCCESS;
}

Mos_RC contCmd_PurgeCacheCmd(ContCmdCtx *pCtx)
{
    (void)rcache_Purge(&pCtx->pCont->readCache);
    return MOS_RC__SUCCESS;
}

Mos_RC contCmd_UpdateCacheSizeCmd(ContCmdCtx *pCtx)
{
    return rcache_ChangeSize(&pCtx->pCont->readCache, (UINT64)contCmd_RecAt<UINT32>(pCtx, 2) * 2048);
}
