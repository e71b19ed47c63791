// The read of a comb: local copy, write-on-read to a partner that needs the range, repair of a
// failed local copy from the mirror partner; and the comb's side of the I/O handler's hooks.
#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"
#include "mos/mos_utils_scramble.h"
#include "tgt/ioh/ioh_msg.h"
#include "tgt/phy/phy_dev_io.h"
#include "tgt/raid/raid_comb_intrn.h"
#include "tgt/raid/raid_io.h"
#include "tgt/raid/raid_resync.h"
#include "tgt/tgt_conf.h"

Mos_RC raidComb_ReadFromRemote(Cont *pCont, RaidComb *pComb, TgtId remoteTgtId, void *pData, T10Dif *pDif,
                               VtoId vtoId, VtoTime time, UINT32 offsetInComb, UINT32 sizeInLbs,
                               CombGenNum combGenNum)
{
    const RaidHooks *h = raid_Hooks();
    RaidCon con{};
    if (h->acquireTgtCon(pCont, remoteTgtId, &con) != MOS_RC__SUCCESS || con.hCon == NET_CON__INVALID_HCON) {
        if (con.hCon != NET_CON__INVALID_HCON)
            h->releaseTgtCon(pCont, &con);
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Comb %lx failed to read from tgt %lx offset %d - no connection",
                  (unsigned long)pComb->combId, (unsigned long)remoteTgtId, (int)offsetInComb);
        return MOS_RC__IO_NET_ERROR;
    }
    TgtReq_IoReadSec req{};
    req.combId = pComb->combId;
    req.sizeInLbs = sizeInLbs;
    req.offsetInComb = offsetInComb;
    req.combGenNum = combGenNum;
    req.devVto = VtoOnDev{vtoId, time};
    req.copyReason = COPY_TYPE__NONE;
    UINT32 dataBytes = sizeInLbs * 512;
    UINT32 difBytes = pDif != nullptr ? sizeInLbs * (UINT32)sizeof(T10Dif) : 0;
    UINT8 *pRsp = static_cast<UINT8 *>(mos_MemMalloc(dataBytes + difBytes, (size_t)TOOTH_SIZE_LB * 520, __func__, TRUE));
    Mos_RC rc = MOS_RC__NO_RESOURCES;
    if (pRsp != nullptr) {
        RaidRpc rpc{};
        rc = raidRpc_Call(pCont, &con, &rpc, TGT_MSG_TYPE__IO_READ_SEC, RAID__RECV_GROUP__TGT_IO_MAIN, &req,
                          sizeof(req), pRsp, dataBytes + difBytes);
        if (rc == MOS_RC__SUCCESS)
            rc = rpc.rspRc;
        if (rc == MOS_RC__SUCCESS && rpc.rspLen != dataBytes + difBytes &&
            !(pDif == nullptr && rpc.rspLen == dataBytes + sizeInLbs * sizeof(T10Dif))) {
            if (pDif != nullptr && rpc.rspLen == dataBytes)
                MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW,
                          "(T10DIF) Primary with DIF enabled Read from Sec with no DIF in response (config mismatch): "
                          "combId=%lx, offsetInComb=%u, sizeInLbs=%x, newDataSize=%x\n",
                          (unsigned long)pComb->combId, offsetInComb, sizeInLbs, rpc.rspLen);
            rc = MOS_RC__IO_HARD_ERROR;
        }
        if (rc == MOS_RC__SUCCESS) {
            memcpy(pData, pRsp, dataBytes);
            if (pDif != nullptr)
                memcpy(pDif, pRsp + dataBytes, difBytes);
        }
        mos_MemFree(pRsp);
    }
    h->releaseTgtCon(pCont, &con);
    MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_MED, "Comb %lx Read from tgt %lx, offset %d, vtoId %d, time %d returned: %s",
              (unsigned long)pComb->combId, (unsigned long)remoteTgtId, (int)offsetInComb, (int)vtoId, (int)time,
              raid_RcName(rc));
    return rc;
}

namespace {

// Through the RAM read cache: its pages are copied out and given the stored form again (the
// cache keeps them as the client sees them). NO_RESOURCES: the cache had no buffer for a miss.
Mos_RC readThroughCache(RaidComb *pComb, PhyToothIndex t, UINT32 offsetInComb, UINT32 sizeInLbs, void *pData,
                        T10Dif *pDif, RdIoFlags rd, UINT32 copyReason, IohCacheRead *pCache)
{
    PhyDev *pDev = pComb->phyComb.pDev;
    RCacheIoBuf iob;
    rcacheIoBuf_Init(&iob, pCache->obfuscationKey, nullptr);
    Mos_RC rc = phyComb_ReadTooth(&pComb->phyComb, &iob, t, offsetInComb % TOOTH_SIZE_LB, sizeInLbs, copyReason, rd,
                                  offsetInComb);
    if (rc == MOS_RC__SUCCESS) {
        MOS_ASSERT_WITH_DESC(phyDev_CopyOutCacheIoBuf(&iob, pData, pDif, sizeInLbs), "a cached read holds its range");
        pCache->bFromCache = iob.bFoundInCache;
    }
    phyDev_ReleaseCacheIoBuf(pDev, &iob);
    if (rc != MOS_RC__SUCCESS || pCache->obfuscationKey == 0)
        return rc;
    if (pDif == nullptr) {
        mos_Encrypt(pData, sizeInLbs, pCache->obfuscationKey);
        return MOS_RC__SUCCESS;
    }
    return mosT10Dif_Encrypt(pData, pDif, 0, 0, 0, sizeInLbs, pCache->obfuscationKey);
}

Mos_RC readLocal(RaidComb *pComb, PhyToothIndex t, UINT32 offsetInComb, UINT32 sizeInLbs, void *pData, T10Dif *pDif,
                 RdIoFlags rd, UINT32 copyReason, IohCacheRead *pCache)
{
    if (pCache != nullptr && pCache->bUseCache && pComb->phyComb.pDev != nullptr) {
        Mos_RC rc = readThroughCache(pComb, t, offsetInComb, sizeInLbs, pData, pDif, rd, copyReason, pCache);
        if (rc != MOS_RC__NO_RESOURCES)
            return rc;
    }
    return phyComb_ReadTooth(&pComb->phyComb, pData, pDif, t, offsetInComb % TOOTH_SIZE_LB, sizeInLbs, copyReason, rd,
                             offsetInComb);
}

// Writes what was read to the partner that needs the range (a rebuild still to copy it).
void writeOnRead(RaidComb *pComb, TgtId remote, PhyToothIndex t, UINT32 offsetInComb, UINT32 sizeInLbs,
                 const void *pData, CombGenNum gen, UINT16 cmdGen)
{
    VtoOnDev label = raidComb_ToothLabel(&pComb->phyComb, offsetInComb, t);
    TgtReq_IoWriteSec req{};
    req.combId = pComb->combId;
    req.sizeInLbs = sizeInLbs;
    req.offsetInComb = offsetInComb;
    req.combGenNum = gen;
    req.copyReason = COPY_TYPE__NONE;
    req.devVto = label;
    RaidCon con{};
    const RaidHooks *h = raid_Hooks();
    Mos_RC rc = MOS_RC__IO_NET_ERROR;
    if (h->acquireTgtCon(pComb->pCont, remote, &con) == MOS_RC__SUCCESS) {
        if (con.hCon != NET_CON__INVALID_HCON && !con.bNotReachable) {
            RaidRpc rpc{};
            rpc.pData = pData;
            rpc.dataLen = sizeInLbs * 512;
            rc = raidRpc_Call(pComb->pCont, &con, &rpc, TGT_MSG_TYPE__IO_WRITE_SEC,
                              sizeInLbs == TOOTH_SIZE_LB ? RAID__RECV_GROUP__TGT_IO_COPY : RAID__RECV_GROUP__TGT_IO_MAIN,
                              &req, sizeof(req), nullptr, 0);
            if (rc == MOS_RC__SUCCESS)
                rc = rpc.rspRc;
        }
        h->releaseTgtCon(pComb->pCont, &con);
    }
    MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_MED, "Comb %lx Write to tgt %lx, offset %d randId: %u chan: %u returned: %s",
              (unsigned long)pComb->combId, (unsigned long)remote, (int)offsetInComb, req.randId,
              RAID__RECV_GROUP__TGT_IO_MAIN, raid_RcName(rc));
    if (rc == MOS_RC__SUCCESS)
        return;
    RaidWriteErrorResult r =
        raidComb_UpdateWriteError(pComb, pComb->pRebuild, MOS_RC__SUCCESS, rc, TRUE, FALSE);
    (void)raidComb_SendOstrelCombStateIfNeeded(pComb->pCont, pComb, pComb->pRebuild, gen, cmdGen, r.raidState,
                                               r.protType);
}

} // namespace

Mos_RC raidComb_Read(RaidComb *pComb, PhyToothIndex toothIndex, UINT32 offsetInComb, UINT32 sizeInLbs, void *pData,
                     T10Dif *pDif, RdIoFlags rdIoFlags, UINT32 copyReason, IohCacheRead *pCache)
{
    CombGenNum gen;
    UINT16 cmdGen;
    BOOL bPrimary, bRebuildDerived, bHasMaint, bMirrorNormal, bMirrorDegradedRemote;
    TgtId mirror;
    {
        RaidCombLock lock(pComb);
        gen = pComb->combGenNum;
        cmdGen = pComb->tgtCombCmdGenNum;
        bPrimary = pComb->combState == COMB_STATE__PRIMARY && rdIoFlags.bPrimary;
        Mos_RC rc = raidComb_IsIoValid(pComb, FALSE, gen);
        if (rc != MOS_RC__SUCCESS && bPrimary) {
            lock.unlock();
            raidComb_UpdateOstrel(pComb);
            return rc;
        }
        bRebuildDerived = raidComb_IsRebuildDerivedStates(pComb, FALSE);
        bHasMaint = pComb->pMaintenance != nullptr;
        bMirrorNormal = pComb->pRebuild->combRaidState == COMB_RAID_STATE__NORMAL;
        bMirrorDegradedRemote = pComb->pRebuild->combRaidState == COMB_RAID_STATE__DEGRADED_REMOTE_ERROR;
        mirror = pComb->pRebuild->remoteTgtId;
    }
    PhyComb *pPhy = &pComb->phyComb;
    UINT32 offsetInTooth = offsetInComb % TOOTH_SIZE_LB;
    BOOL bWriteNeeded = FALSE;
    if (bPrimary && bRebuildDerived && !rdIoFlags.bLocalOnly) {
        BOOL bFetch;
        {
            RaidCombLock lock(pComb);
            bFetch = pComb->pRebuild->bFetchRemoteDrl;
        }
        if (bFetch) {
            BOOL bAllZero, bNoTooth, bFine;
            if (raidComb_GetRemoteDrl(pComb->pCont, pComb, mirror, FALSE, &bAllZero, &bNoTooth, &bFine)) {
                RaidCombLock lock(pComb);
                pComb->pRebuild->bFetchRemoteDrl = FALSE;
            } else {
                bWriteNeeded = TRUE;
            }
        }
        if (!bWriteNeeded)
            bWriteNeeded = !phyComb_IsRangeClean(pPhy, toothIndex, PHY_DEV_DRL_TYPE__ACTIVE, offsetInTooth, sizeInLbs) ||
                           !phyComb_IsRangeClean(pPhy, toothIndex, PHY_DEV_DRL_TYPE__REBUILD, offsetInTooth, sizeInLbs);
    }
    Mos_RC rc = readLocal(pComb, toothIndex, offsetInComb, sizeInLbs, pData, pDif, rdIoFlags, copyReason, pCache);
    if (rc == MOS_RC__SUCCESS && bWriteNeeded)
        writeOnRead(pComb, mirror, toothIndex, offsetInComb, sizeInLbs, pData, gen, cmdGen);
    if (rc != MOS_RC__SUCCESS && rc != MOS_RC__IO_ZERO_BUF && bPrimary && bMirrorNormal && !bHasMaint &&
        !rdIoFlags.bLocalOnly) {
        Mos_RC localRc = rc;
        VtoOnDev label = raidComb_ToothLabel(pPhy, offsetInComb, toothIndex);
        Mos_RC remoteRc = raidComb_ReadFromRemote(pComb->pCont, pComb, mirror, pData, pDif, label.vtoId, label.time,
                                                  offsetInComb, sizeInLbs, gen);
        if (remoteRc == MOS_RC__SUCCESS) {
            WrIoFlags wr{};
            wr.bPrimary = TRUE;
            // The failed read left the device refusing I/O until a probe of it succeeds.
            Mos_RC fixRc = phyDev_CheckDevAfterError(pPhy->pDev) ? MOS_RC__SUCCESS : localRc;
            if (fixRc == MOS_RC__SUCCESS)
                fixRc = phyComb_WriteTooth(pPhy, pData, nullptr, toothIndex, offsetInTooth, sizeInLbs, wr, copyReason,
                                           offsetInComb, 0, nullptr);
            // Read back into the caller's buffer: what the partner sent is what the copy now holds.
            if (fixRc == MOS_RC__SUCCESS)
                fixRc = readLocal(pComb, toothIndex, offsetInComb, sizeInLbs, pData, pDif, rdIoFlags, copyReason,
                                  pCache);
            if (fixRc == MOS_RC__SUCCESS) {
                MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Comb %lx, offset %u - succeeded to fix local",
                          (unsigned long)pComb->combId, offsetInComb);
                raidComb_IncLocalDiskFixesCounter(pComb);
                rc = MOS_RC__SUCCESS;
            } else {
                MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW,
                          "Comb %lx, offset %u - failed to read from local after trying to fix (rc = %d)",
                          (unsigned long)pComb->combId, offsetInComb, (int)fixRc);
                rc = localRc;
            }
        }
    }
    if (rc != MOS_RC__SUCCESS && rc != MOS_RC__IO_ZERO_BUF && pComb->pContDev != nullptr)
        raid_Hooks()->devReadError(pComb->pContDev);
    if (rc == MOS_RC__SUCCESS && bPrimary && bMirrorDegradedRemote && !bHasMaint)
        (void)phyComb_SetDirty(pPhy, toothIndex, PHY_DEV_DRL_TYPE__ACTIVE, offsetInTooth, sizeInLbs);
    return rc;
}

// ---- the I/O handler's hooks ----

namespace {

void iohGetState(RaidComb *pComb, IohRaidState *pState)
{
    RaidCombLock lock(pComb);
    *pState = IohRaidState{};
    BOOL bMaintDegraded = raidComb_IsMmDegraded(pComb, FALSE);
    pState->priRc = pComb->combState != COMB_STATE__PRIMARY ? MOS_RC__IO_FAULT_NOT_PRI
                    : bMaintDegraded                        ? MOS_RC__IO_HARD_ERROR
                                                            : MOS_RC__SUCCESS;
    pState->bSecondary = pComb->combState == COMB_STATE__SECONDARY;
    pState->bTPellar = pComb->bTPellar;
    pState->combGenNum = pComb->combGenNum;
    pState->bReverseRebuild = raidComb_IsReverseRebuild(pComb, FALSE);
    pState->bMaintNormal = raidComb_IsMaintNormal(pComb, FALSE);
    pState->bMaintRebuild = raidComb_IsMaintRebuild(pComb, FALSE);
    pState->bRebuildDerived = raidComb_IsRebuildDerivedStates(pComb, FALSE);
    pState->bTranslateZeroRead = raidComb_ShouldTranslateZeroBufToWriteZero(pComb, FALSE);
    pState->bSkipTrim = raidComb_ShouldSkipTrim(pComb, FALSE);
}

Mos_RC iohWrite(RaidComb *pComb, const IohCombWrite *pWrite)
{
    return raidComb_Write(pComb, pWrite, pWrite->combGenNum);
}

Mos_RC iohTrim(RaidComb *pComb, Vtree *pVtree, UINT32 offsetInComb, PhyToothIndex toothIndex, BOOL bPrimary)
{
    return raidComb_Trim(pComb, pVtree, offsetInComb, toothIndex, raidComb_GetCombGenNum(pComb), bPrimary);
}

Mos_RC iohCleanRemoteTooth(RaidComb *pComb, UINT32 offsetInComb)
{
    Mos_RC remoteRc = MOS_RC__ERROR;
    Mos_RC rc = raidComb_CleanRemoteToothList(pComb->pCont, pComb, offsetInComb, &remoteRc);
    return rc == MOS_RC__SUCCESS ? remoteRc : rc;
}

} // namespace

void raidComb_IncLocalDiskFixesCounter(RaidComb *pComb)
{
    if (pComb->phyComb.pDev != nullptr)
        phyDev_IncreaseLocalDiskFixesCounter(pComb->phyComb.pDev);
}

void raid_FillIohHooks(IohHooks *pHooks)
{
    pHooks->getState = iohGetState;
    pHooks->getPhyComb = [](RaidComb *pComb) -> PhyComb * { return &pComb->phyComb; };
    pHooks->firstAccess = raidComb_FirstAccess;
    pHooks->write = iohWrite;
    pHooks->read = raidComb_Read;
    pHooks->startThrottling = raidComb_StartThrottlingSecondary;
    pHooks->endThrottling = raidComb_EndThrottling;
    pHooks->trim = iohTrim;
    pHooks->toothNeedsRebuild = raidComb_PositionNeedsRebuild;
    pHooks->readRemoteToothList = raidComb_ReadRemoteToothListOfHead;
    pHooks->cleanRemoteTooth = iohCleanRemoteTooth;
    pHooks->readCombDrl = [](RaidComb *pComb, TgtRsp_ReadCombFineDrl *pRsp) -> BOOL {
        return phyComb_GetBothDrl(&pComb->phyComb, pRsp, TRUE);
    };
    // Reads use the RAM read cache when the comb's device does. Writes bypass it: their buffers never
    // live in cache memory (the receive path takes them from the network), and the device
    // invalidates what they cover.
    pHooks->isCombCached = [](RaidComb *pComb, BOOL bWrite) -> BOOL {
        const PhyDev *pDev = pComb->phyComb.pDev;
        return pDev != nullptr && pDev->pRcache != nullptr && pDev->bUseCache && !bWrite;
    };
    pHooks->updateIoBwc = [](RaidComb *pComb, UINT32, UINT32 sizeInLbs, BOOL) {
        if (pComb->phyComb.pDev != nullptr && pComb->phyComb.pDev->pDevBwc != nullptr)
            tgtBWC_EventOccurrenceIntrn(pComb->phyComb.pDev->pDevBwc, sizeInLbs, 1, TRUE);
    };
    pHooks->resetCombDrl = [](RaidComb *pComb) -> BOOL {
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Reset remote Drl %lx (dit)", (unsigned long)pComb->combId);
        return phyComb_ResetEntireBits(&pComb->phyComb, PHY_DEV_DRL_TYPE__ACTIVE, TRUE);
    };
}
