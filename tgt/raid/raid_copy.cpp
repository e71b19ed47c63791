// One copy job's buffer, connection and pacing, and the copy of one range to the partner.
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <random>

#include "mos/mos_assert.h"
#include "mos/umt/mos_umt.h"
#include "tgt/phy/phy_dev_io.h"
#include "tgt/raid/raid_resync_intrn.h"
#include "tgt/tgt_conf.h"

VtoOnDev raidComb_ToothLabel(PhyComb *pPhy, UINT32 offsetInComb, PhyToothIndex toothIndex)
{
    VtoOnDev labels[PHY_COMB__MAX_VERSIONS];
    UINT32 n = phyComb_ReadToothList(pPhy, offsetInComb, labels, PHY_COMB__MAX_VERSIONS);
    for (UINT32 i = 0; i < n && i < PHY_COMB__MAX_VERSIONS; i++)
        if (phyComb_GetToothIndex(pPhy, labels[i].vtoId, labels[i].time, offsetInComb) == toothIndex)
            return labels[i];
    return VtoOnDev{0, 0};
}

BOOL raidComb_IsOstrelBlocked(RaidComb *pComb)
{
    const RaidResyncHooks *h = raidResync_Hooks();
    return h->isOstrelBlocked != nullptr && h->isOstrelBlocked(pComb->pCont);
}

void raidComb_LockRange(RaidComb *pComb, BOOL bWrite, UINT32 offsetInComb, UINT32 sizeInLbs)
{
    const RaidResyncHooks *h = raidResync_Hooks();
    Elock *pElock = h->getElock == nullptr ? nullptr : h->getElock(pComb->pCont);
    if (pElock == nullptr)
        elockComb_LockAll(pComb->pElock, bWrite);
    else
        elockComb_Lock(pComb->pElock, pElock, bWrite, offsetInComb, sizeInLbs);
}

void raidComb_UnlockRange(RaidComb *pComb, BOOL bWrite, UINT32 offsetInComb, UINT32 sizeInLbs)
{
    const RaidResyncHooks *h = raidResync_Hooks();
    Elock *pElock = h->getElock == nullptr ? nullptr : h->getElock(pComb->pCont);
    if (pElock == nullptr)
        elockComb_UnlockAll(pComb->pElock, bWrite);
    else
        elockComb_Unlock(pComb->pElock, pElock, bWrite, offsetInComb, sizeInLbs);
}

const CHAR_A *raidCopy_RcName(RaidCopyRc crc)
{
    constexpr const CHAR_A *kNames[] = {"ok", "read error", "Tgt blocked", "send error", "aborted", "skipped"};
    return crc < sizeof(kNames) / sizeof(kNames[0]) ? kNames[crc] : "unknown";
}

UINT32 raidCopy_RandId(void)
{
    thread_local std::minstd_rand gen{std::random_device{}()};
    return (UINT32)gen();
}

BOOL raidComb_IsT10DIFNonPersistentEnabled(RaidComb *pComb)
{
    return pComb->phyComb.pDev != nullptr && pComb->phyComb.pDev->bChecksumEnabled;
}

BOOL raidCopyJob_Init(RaidCopyJob *pJob, Cont *pCont, RaidComb *pComb, RaidCombProt *pProt)
{
    memset(static_cast<void *>(pJob), 0, sizeof(*pJob));
    pJob->pCont = pCont;
    pJob->pComb = pComb;
    pJob->pProt = pProt;
    pJob->con.hCon = NET_CON__INVALID_HCON;
    pJob->startTick = mosTicks_GetCurrentTick();
    pJob->bT10Dif = raidComb_IsT10DIFNonPersistentEnabled(pComb);
    {
        RaidCombLock lock(pComb);
        pJob->remoteTgtId = pProt->remoteTgtId;
    }
    pJob->pBuf = static_cast<UINT8 *>(aligned_alloc(4096, RAID_COPY__BUF_DATA_BYTES + RAID_COPY__BUF_DIF_BYTES));
    mosLimiter_Init(&pJob->jobLimiter, 0, RAID_SYNC_POOL__SLOT_MUL);
    return pJob->pBuf != nullptr;
}

void raidCopyJob_Destroy(RaidCopyJob *pJob)
{
    raidCopyJob_Disconnect(pJob);
    mosLimiter_Destroy(&pJob->jobLimiter);
    free(pJob->pBuf);
    pJob->pBuf = nullptr;
}

BOOL raidCopyJob_Connect(RaidCopyJob *pJob)
{
    const RaidHooks *h = raid_Hooks();
    if (h->acquireTgtCon(pJob->pCont, pJob->remoteTgtId, &pJob->con) != MOS_RC__SUCCESS)
        return FALSE;
    pJob->bConHeld = TRUE;
    return pJob->con.hCon != NET_CON__INVALID_HCON;
}

void raidCopyJob_Disconnect(RaidCopyJob *pJob)
{
    if (!pJob->bConHeld)
        return;
    raid_Hooks()->releaseTgtCon(pJob->pCont, &pJob->con);
    pJob->bConHeld = FALSE;
}

UINT32 raidCopyJob_Seconds(RaidCopyJob *pJob)
{
    UINT64 freq = mosTicks_GetFreq();
    return (UINT32)((mosTicks_GetCurrentTick() - pJob->startTick) / (freq == 0 ? 1 : freq));
}

void raidCopyJob_TraceLong(RaidCopyJob *pJob, BOOL bReverse)
{
    UINT32 secs = raidCopyJob_Seconds(pJob);
    if (secs / RAID_COPY__LONG_TRACE_SECS <= pJob->longTraces)
        return;
    pJob->longTraces = secs / RAID_COPY__LONG_TRACE_SECS;
    if (bReverse)
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Reverse Rebuild long %lx after %u Seconds (dit)",
                  (unsigned long)pJob->pComb->combId, secs);
    else
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Rebuild long %lx after %u Seconds (dit)",
                  (unsigned long)pJob->pComb->combId, secs);
}

namespace {

// Reads the range into the job's buffer under the caller's extent lock.
Mos_RC readRange(RaidCopyJob *pJob, PhyToothIndex toothIndex, UINT32 offsetInComb, UINT32 sizeInLbs, UINT32 reason)
{
    PhyComb *pPhy = &pJob->pComb->phyComb;
    RdIoFlags rd{};
    rd.bPrimary = TRUE;
    rd.bT10Dif = pJob->bT10Dif;
    T10Dif *pDif = pJob->bT10Dif ? reinterpret_cast<T10Dif *>(pJob->pBuf + RAID_COPY__BUF_DATA_BYTES) : nullptr;
    if (pPhy->pDev != nullptr)
        phyDev_StartThrottling(pPhy->pDev, sizeInLbs, reason, TRUE);
    Mos_RC rc = phyComb_ReadTooth(pPhy, pJob->pBuf, pDif, toothIndex, offsetInComb % TOOTH_SIZE_LB, sizeInLbs, reason,
                                  rd, offsetInComb);
    if (pPhy->pDev != nullptr)
        phyDev_EndThrottling(pPhy->pDev, sizeInLbs, reason);
    return rc;
}

} // namespace

RaidCopyRc raidCopyJob_CopyRange(RaidCopyJob *pJob, PhyToothIndex toothIndex, UINT32 offsetInComb, UINT32 sizeInLbs,
                                 UINT32 throttleReason, UINT32 sentReason, UINT32 poolReason, BOOL bRebalanceLimit,
                                 const CHAR_A *pWhat)
{
    RaidComb *pComb = pJob->pComb;
    raidComb_LockRange(pComb, FALSE, offsetInComb, sizeInLbs);
    // The version may have been freed since the iterator named it (a trim, a cleaning): its label
    // is gone from the position's list, and there is nothing of it to copy.
    VtoOnDev label = raidComb_ToothLabel(&pComb->phyComb, offsetInComb, toothIndex);
    if (label.time == 0) {
        raidComb_UnlockRange(pComb, FALSE, offsetInComb, sizeInLbs);
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "%s comb %lx: tooth %u at offset %u is gone, skipped", pWhat,
                  (unsigned long)pComb->combId, toothIndex, offsetInComb);
        return RAID_COPY_RC__SKIPPED;
    }
    raidSyncPool_CountCopy(raidSyncPool_Get(), sizeInLbs);
    Mos_RC rc = readRange(pJob, toothIndex, offsetInComb, sizeInLbs, throttleReason);
    if (rc != MOS_RC__SUCCESS) {
        raidComb_UnlockRange(pComb, FALSE, offsetInComb, sizeInLbs);
        // A read that finds no data where the iterator found a tooth is not a device failure;
        // the range stays dirty and the copy ends with an error.
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "%s comb %lx: read of offset %u size %u failed - %s", pWhat,
                  (unsigned long)pComb->combId, offsetInComb, sizeInLbs, raid_RcName(rc));
        pJob->bReadError = rc != MOS_RC__IO_ZERO_BUF;
        return RAID_COPY_RC__READ_ERROR;
    }
    if (raidComb_IsOstrelBlocked(pComb)) {
        raidComb_UnlockRange(pComb, FALSE, offsetInComb, sizeInLbs);
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "%s comb %lx to tgt %lx failed - Tgt blocked (keep-alive) (dit)",
                  pWhat, (unsigned long)pComb->combId, (unsigned long)pJob->remoteTgtId);
        return RAID_COPY_RC__BLOCKED;
    }
    TgtReq_IoWriteSec req{};
    req.combId = pComb->combId;
    req.sizeInLbs = sizeInLbs;
    req.offsetInComb = offsetInComb;
    req.combGenNum = raidComb_GetCombGenNum(pComb);
    req.copyReason = sentReason;
    req.devVto = label;
    req.volId = 0;
    req.randId = raidCopy_RandId();
    req.flags = pJob->bT10Dif ? TGT_IO_WR__T10DIF_ATTACHED : 0;
    TgtRes_WriteSecCopy res{};
    RaidRpc rpc{};
    rpc.pData = pJob->pBuf;
    rpc.dataLen = sizeInLbs * 512;
    if (pJob->bT10Dif) {
        rpc.pDif = pJob->pBuf + RAID_COPY__BUF_DATA_BYTES;
        rpc.difLen = sizeInLbs * (UINT32)sizeof(T10Dif);
    }
    rc = raidRpc_Call(pJob->pCont, &pJob->con, &rpc, TGT_MSG_TYPE__IO_WRITE_SEC_COPY, RAID__RECV_GROUP__TGT_IO_COPY,
                      &req, sizeof(req), &res, sizeof(res));
    if (tgtInitParam_G.bDit)
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_MED,
                  "%s write to remote combId: %lx remoteTgtId: %lx Lba %u, size %u, toothIndex %u, randomId %u, "
                  "chan: %u",
                  pWhat, (unsigned long)pComb->combId, (unsigned long)pJob->remoteTgtId, offsetInComb, sizeInLbs,
                  toothIndex, req.randId, RAID__RECV_GROUP__TGT_IO_COPY);
    raidComb_UnlockRange(pComb, FALSE, offsetInComb, sizeInLbs);
    if (rc != MOS_RC__SUCCESS || rpc.rspRc != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "WriteSec failed:CombId=%lx, offsetInComb=%u, rc=%s, rsp_rc=%s",
                  (unsigned long)pComb->combId, offsetInComb, raid_RcName(rc),
                  raid_RcName(rc == MOS_RC__SUCCESS ? rpc.rspRc : MOS_RC__SUCCESS));
        if (rc != MOS_RC__SUCCESS && raid_IsNetworkRelatedError(rc))
            raid_Hooks()->logNetHiccup(pJob->pCont, pJob->remoteTgtId);
        return RAID_COPY_RC__SEND_ERROR;
    }
    pJob->copiedLbs += sizeInLbs;
    // Pace: the partner's limit for this kind of copy, then the pool's.
    if (rpc.rspLen >= 2 * sizeof(UINT32)) {
        pJob->partnerRebuildLimit = res.lbsPerRebuildJobLimit;
        pJob->partnerRebalanceLimit = res.lbsPerRebalanceJobLimit;
    }
    if (pJob->bNoPacing)
        return RAID_COPY_RC__OK;
    UINT32 partnerLimit = bRebalanceLimit ? pJob->partnerRebalanceLimit : pJob->partnerRebuildLimit;
    mosLimiter_UpdateLimits(&pJob->jobLimiter, partnerLimit, RAID_SYNC_POOL__SLOT_MUL);
    if (!raidSync_LimiterWait(&pJob->jobLimiter, sizeInLbs, pJob->pProt))
        return RAID_COPY_RC__ABORTED;
    RaidSyncPool *pPool = raidSyncPool_Get();
    if (pPool != nullptr && (!raidSyncPool_AddToCopyLimiter(pPool, sizeInLbs, poolReason, pJob->pProt) ||
                             !raidSyncPool_AddToIoLimiter(pPool, sizeInLbs, pJob->pProt)))
        return RAID_COPY_RC__ABORTED;
    return RAID_COPY_RC__OK;
}
