// Rebuild of the mirror partner's copy and of the maintenance copy: the ranges that the dirty-region
// logs name are copied from this primary, range by range, under their extent locks.
//
// A rebuild ends COPY_DONE only when every range went over and the logs were reset: a partner's
// list that could not be fetched, a range that could not be read or sent, or an abort all end it
// COPY_ERROR with the logs left dirty, so the next rebuild copies the same ranges again.
#include <atomic>
#include <cstring>

#include "mos/mos_assert.h"
#include "tgt/raid/raid_resync_intrn.h"
#include "tgt/tgt_conf.h"

#define RAID_REBUILD__MAX_RESET_REMOTE_DRL_RETRY 3u
#define RAID_REBUILD__NORM_BACK_MIN_PEER_VER 0x2000000u

enum RebuildDrlType : UINT32 {
    REBUILD_DRL_TYPE_FIRST_LAST = 0,
    REBUILD_DRL_TYPE_GRN = 1,
    REBUILD_DRL_TYPE_CONSECUTIVE = 2,
};

BOOL raidComb_FindNextRange(RaidComb *pComb, UINT32 maxReadSizeLbs, UINT32 grnSizeLbs, UINT32 *pReadSizeLbs,
                            PhyCombItr *pCombItr, BOOL bCheckBothDrls, BOOL bAllDirtyIfTooDirty)
{
    PhyComb *pPhy = &pComb->phyComb;
    BOOL bAllowFine = tgtInitParam_G.bAllowFineDrl;
    BOOL bFine = bAllowFine;
    BOOL bAllDirty = FALSE;
    if (!phyComb_FindNextDirtyLb(pPhy, pCombItr, bCheckBothDrls, bAllDirtyIfTooDirty, &bFine, &bAllDirty))
        return FALSE;
    UINT32 rest = TOOTH_SIZE_LB - pCombItr->offsetInTooth;
    UINT32 size = rest;
    if (bAllowFine && bFine && grnSizeLbs < TOOTH_SIZE_LB && !bAllDirty) {
        switch (tgtInitParam_G.rebuildDrlType) {
        case REBUILD_DRL_TYPE_FIRST_LAST: {
            UINT32 last = phyComb_FindLastDirtyLb(pPhy, pCombItr, rest, bCheckBothDrls);
            size = last + grnSizeLbs > pCombItr->offsetInTooth ? last + grnSizeLbs - pCombItr->offsetInTooth : rest;
            break;
        }
        case REBUILD_DRL_TYPE_GRN:
            size = grnSizeLbs;
            break;
        default: {
            UINT32 last = phyComb_FindLastConsecutiveDirtyLb(pPhy, pCombItr, rest, bCheckBothDrls);
            size = last + grnSizeLbs > pCombItr->offsetInTooth ? last + grnSizeLbs - pCombItr->offsetInTooth : rest;
            break;
        }
        }
    }
    size = MOS_MIN(MOS_MIN(size, rest), maxReadSizeLbs);
    *pReadSizeLbs = size == 0 ? MOS_MIN(rest, maxReadSizeLbs) : size;
    if (tgtInitParam_G.bDit)
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_MED,
                  "Read size in LBs is: %d, fine? %s, considered all dirty? %s, granularity: %d", (int)*pReadSizeLbs,
                  bFine ? "yes" : "no", bAllDirty ? "yes" : "no", (int)grnSizeLbs);
    return TRUE;
}

void raidComb_GetDirtyCapacity(RaidComb *pComb, UINT32 *pDirtyIOs, UINT64 *pDirtyCapacityLBs)
{
    *pDirtyIOs = 0;
    *pDirtyCapacityLBs = 0;
    RaidCombLock lock(pComb);
    if (pComb->raidCombInitState != RAID_COMB_INIT_STATE__INIT ||
        (pComb->combState == COMB_STATE__PRIMARY && pComb->pRebuild->combRaidState == COMB_RAID_STATE__NORMAL))
        return;
    PhyCombItr itr{PHY_TOOTH_INDEX__INVALID, 0, 0};
    phyComb_StartIter(&pComb->phyComb, &itr);
    UINT32 grn = phyComb_GetGranularity(&pComb->phyComb);
    UINT32 size = 0;
    while (raidComb_FindNextRange(pComb, TOOTH_SIZE_LB, grn, &size, &itr, TRUE, tgtInitParam_G.rebuildDrlType != 0)) {
        (*pDirtyIOs)++;
        *pDirtyCapacityLBs += size;
        phyComb_SkipNextLb(&pComb->phyComb, &itr, size);
    }
    phyComb_EndItr(&pComb->phyComb, &itr);
}

BOOL raidRebuild_IsResetActiveAllowed(RaidComb *pComb)
{
    RaidCombLock lock(pComb);
    const RaidCombProt *p = pComb->pRebuild;
    return p->combRaidState == COMB_RAID_STATE__COPY_STARTED && !p->bCopyError && !p->bAbortCopy;
}

Mos_RC raidComb_CleanRemoteToothList(Cont *pCont, RaidComb *pComb, UINT32 offsetInComb, Mos_RC *pRemoteRc)
{
    UINT32 toothStart = offsetInComb - offsetInComb % TOOTH_SIZE_LB;
    TgtReq_CleanToothList req{};
    req.combId = pComb->combId;
    req.offsetInComb = toothStart;
    VtoOnDev list[PHY_COMB__MAX_VERSIONS];
    UINT32 n = phyComb_ReadToothList(&pComb->phyComb, toothStart, list, PHY_COMB__MAX_VERSIONS);
    if (n > TGT_MSG__MAX_TEETH_IN_LIST) {
        // A cut list would make the partner drop versions this copy still has.
        MOS_ERROR(MOS_COMP_TGT_RAID, "Comb %lx offset %u has %u versions, more than a tooth list holds",
                  (unsigned long)pComb->combId, toothStart, n);
        *pRemoteRc = MOS_RC__SUCCESS;
        return MOS_RC__INVALID;
    }
    req.numOfTeeth = n;
    memcpy(req.vtoBuf, list, (size_t)n * sizeof(VtoOnDev));
    MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_MED,
              "Send clean tooth list. comb: %lx offsetInComb %u rounded down to %u, number of teeth %u",
              (unsigned long)pComb->combId, offsetInComb, toothStart, n);
    const RaidHooks *h = raid_Hooks();
    TgtId remote = raidComb_GetRaidTgtId(pComb);
    Mos_RC rc = MOS_RC__NOT_CONN;
    *pRemoteRc = MOS_RC__SUCCESS;
    for (UINT32 attempt = 1; attempt <= RAID_REBUILD__MAX_CLEAN_TOOTH_LIST_RETRY; attempt++) {
        req.combGenNum = raidComb_GetCombGenNum(pComb);
        req.randId = raidCopy_RandId();
        RaidCon con{};
        con.hCon = NET_CON__INVALID_HCON;
        if (h->acquireTgtCon(pCont, remote, &con) == MOS_RC__SUCCESS) {
            if (con.hCon != NET_CON__INVALID_HCON) {
                RaidRpc rpc{};
                rc = raidRpc_Call(pCont, &con, &rpc, TGT_MSG_TYPE__CLEAN_REMOTE_TOOTH_LIST,
                                  RAID__RECV_GROUP__TGT_IO_MAIN, &req, sizeof(req), nullptr, 0);
                if (rc == MOS_RC__SUCCESS)
                    *pRemoteRc = rpc.rspRc;
            }
            h->releaseTgtCon(pCont, &con);
        }
        if (rc == MOS_RC__SUCCESS)
            break;
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Send clean tooth list on comb: %lxoffsetInComb %u, failed on try %u with rc %s \n",
                  (unsigned long)pComb->combId, offsetInComb, attempt, raid_RcName(rc));
    }
    return rc;
}

namespace {

BOOL resetRemoteDrl(Cont *pCont, RaidComb *pComb, TgtId remote)
{
    for (UINT32 attempt = 1; attempt <= RAID_REBUILD__MAX_RESET_REMOTE_DRL_RETRY; attempt++) {
        if (raidRebuild_ResetRemoteDrl(pCont, pComb, remote))
            return TRUE;
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Send reset remote DRL on comb: %lx failed on try %u with rc %s",
                  (unsigned long)pComb->combId, attempt, raid_RcName(MOS_RC__ERROR));
    }
    return FALSE;
}

// Whether a slot's copy still runs (caller holds nothing).
BOOL copyGoesOn(RaidComb *pComb, const RaidCombProt *pProt)
{
    {
        RaidCombLock lock(pComb);
        if (pProt->combRaidState != COMB_RAID_STATE__COPY_STARTED || pProt->bAbortCopy)
            return FALSE;
    }
    return !raidSync_JobAborted(pProt);
}

// COPY -> COPY_STARTED unless the copy was aborted meanwhile (caller holds all extent locks).
BOOL startCopy(RaidComb *pComb, RaidCombProt *pProt, BOOL bMaint)
{
    RaidCombLock lock(pComb);
    if (pProt->combRaidState != COMB_RAID_STATE__COPY || pProt->bAbortCopy || raidSync_JobAborted(pProt)) {
        if (bMaint)
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "MaintRebuild wrong state %lx state %u (dit)",
                      (unsigned long)pComb->combId, pProt->combRaidState);
        else
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Rebuild wrong state %lx state %u (dit)",
                      (unsigned long)pComb->combId, pProt->combRaidState);
        return FALSE;
    }
    raidComb_SetCombState(pComb, pProt, COMB_RAID_STATE__COPY_STARTED, FALSE);
    return TRUE;
}

struct RangeLoop {
    UINT32 throttleReason; // device throttling and the local read
    UINT32 sentReason;     // in the copy write
    UINT32 granularity;
    BOOL bPartnerFine;   // the partner takes ranges shorter than a tooth
    BOOL bCleanTeeth;    // the partner has marks where this copy has no tooth: clean its lists
    const CHAR_A *pWhat; // "Rebuild" or "Maint Rebuild"
};

// Cleans the partner's tooth lists of positions [from, to) under each tooth's extent lock.
BOOL cleanPositions(RaidCopyJob *pJob, UINT32 from, UINT32 to)
{
    for (UINT32 p = from; p < to; p++) {
        if (raidSync_JobAborted(pJob->pProt))
            return FALSE;
        Mos_RC remoteRc = MOS_RC__SUCCESS;
        raidComb_LockRange(pJob->pComb, TRUE, p * TOOTH_SIZE_LB, TOOTH_SIZE_LB);
        Mos_RC rc = raidComb_CleanRemoteToothList(pJob->pCont, pJob->pComb, p * TOOTH_SIZE_LB, &remoteRc);
        raidComb_UnlockRange(pJob->pComb, TRUE, p * TOOTH_SIZE_LB, TOOTH_SIZE_LB);
        if (rc == MOS_RC__SUCCESS)
            rc = remoteRc;
        if (rc != MOS_RC__SUCCESS) {
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW,
                      "Rebuild comb %lx to tgt %lx failed - failed to clean remote tooth list, with rc %s (dit)",
                      (unsigned long)pJob->pComb->combId, (unsigned long)pJob->remoteTgtId, raid_RcName(rc));
            return FALSE;
        }
    }
    return TRUE;
}

// Copies every dirty range of the rebuild log; TRUE when none is left.
BOOL copyRanges(RaidCopyJob *pJob, const RangeLoop &cfg)
{
    RaidComb *pComb = pJob->pComb;
    PhyComb *pPhy = &pComb->phyComb;
    PhyCombItr itr{PHY_TOOTH_INDEX__INVALID, 0, 0};
    {
        RaidCombLock lock(pComb);
        phyComb_StartIter(pPhy, &itr);
    }
    UINT32 nextToClean = 0;
    BOOL bDone = FALSE;
    for (;;) {
        UINT32 size = 0;
        BOOL bHave;
        {
            RaidCombLock lock(pComb);
            bHave = raidComb_FindNextRange(pComb, TOOTH_SIZE_LB, cfg.granularity, &size, &itr, FALSE, FALSE);
        }
        if (cfg.bCleanTeeth) {
            UINT32 upTo = bHave ? itr.toothInComb + 1 : TEETH_IN_COMB;
            if (upTo > nextToClean && !cleanPositions(pJob, nextToClean, upTo))
                break;
            nextToClean = MOS_MAX(nextToClean, upTo);
        }
        if (!bHave) {
            bDone = TRUE;
            break;
        }
        if (size < TOOTH_SIZE_LB && !cfg.bPartnerFine) {
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_MED, "Found a fine bit but secondary with id %lx does not support - fallback",
                      (unsigned long)pJob->remoteTgtId);
            (void)phyComb_SetDirty(pPhy, itr.toothIndex, PHY_DEV_DRL_TYPE__REBUILD, 0,
                                   tgtInitParam_G.phyDevDirtyGranularityInLbs);
            itr.offsetInTooth = 0;
            size = TOOTH_SIZE_LB;
        }
        UINT32 offsetInComb = itr.toothInComb * TOOTH_SIZE_LB + itr.offsetInTooth;
        if (tgtInitParam_G.bDit)
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_MED, "Comb: %lx next dirty offset %u (dit)",
                      (unsigned long)pComb->combId, offsetInComb);
        RaidCopyRc crc = raidCopyJob_CopyRange(pJob, itr.toothIndex, offsetInComb, size, cfg.throttleReason,
                                               cfg.sentReason, cfg.throttleReason, FALSE, cfg.pWhat);
        if (crc != RAID_COPY_RC__OK && crc != RAID_COPY_RC__SKIPPED)
            break;
        {
            RaidCombLock lock(pComb);
            pComb->rebuildStat.progress = itr.toothInComb;
        }
        if (!copyGoesOn(pComb, pJob->pProt))
            break;
        {
            RaidCombLock lock(pComb);
            phyComb_SkipNextLb(pPhy, &itr, size);
        }
        raidCopyJob_TraceLong(pJob, FALSE);
    }
    RaidCombLock lock(pComb);
    phyComb_EndItr(pPhy, &itr);
    return bDone;
}

// What every rebuild does at its end, whatever happened.
void endRebuild(RaidCopyJob *pJob, BOOL bDone, BOOL bMaint)
{
    RaidComb *pComb = pJob->pComb;
    UINT32 secs = raidCopyJob_Seconds(pJob);
    {
        RaidCombLock lock(pComb);
        pComb->rebuildStat.lastSizeCopiedLbs = (UINT32)pJob->copiedLbs;
        pComb->rebuildStat.sizeCopiedLbs += (UINT32)pJob->copiedLbs;
        pComb->rebuildStat.lastRebuildCopyTimeMillis = secs * 1000;
        pComb->rebuildStat.count++;
    }
    MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Rebuild ended comb %lx %s, after %u Seconds (dit)",
              (unsigned long)pComb->combId, bDone ? " ok" : " with error", secs);
    BOOL bReadError = pJob->bReadError;
    raidCopyJob_Destroy(pJob);
    if (bMaint)
        raidMaintRebuild_UpdateRebuildStatus(pJob->pCont, pComb, bDone);
    else
        raidRebuild_UpdateRebuildStatus(pJob->pCont, pComb, bDone);
    if (bReadError && pComb->pContDev != nullptr)
        raid_Hooks()->devReadError(pComb->pContDev);
    {
        RaidCombLock lock(pComb);
        pComb->bRebuildRunning = FALSE;
    }
    raidComb_CopyJobEnded(pComb);
}

} // namespace

void raidRebuild_Start(Cont *pCont, RaidComb *pComb)
{
    RaidCombProt *pProt = pComb->pRebuild;
    {
        RaidCombLock lock(pComb);
        pComb->rebuildStat.progress = 0;
    }
    RaidCopyJob job;
    BOOL bInit = raidCopyJob_Init(&job, pCont, pComb, pProt);
    BOOL bDone = FALSE;
    BOOL bStarted = FALSE;
    BOOL bHasMaint = FALSE;
    if (bInit) {
        elockComb_LockAll(pComb->pElock, TRUE);
        {
            RaidCombLock lock(pComb);
            bHasMaint = pComb->pMaintenance != nullptr;
        }
        BOOL bDrl = bHasMaint ? phyComb_CopyActiveToRebuild(&pComb->phyComb)
                              : phyComb_OrActiveToRebuildAndReset(&pComb->phyComb);
        bStarted = bDrl && startCopy(pComb, pProt, FALSE);
        elockComb_UnlockAll(pComb->pElock, TRUE);
    }
    BOOL bRemoteAllZero = TRUE, bBitSetNoTooth = FALSE, bPartnerFine = TRUE;
    UINT32 reason = COPY_TYPE__DEGRADED_BACK_REBUILD;
    if (bStarted) {
        // Without the partner's list the ranges it missed are unknown: no COPY_DONE then.
        BOOL bFetched = raidComb_GetRemoteDrl(pCont, pComb, job.remoteTgtId, FALSE, &bRemoteAllZero, &bBitSetNoTooth,
                                              &bPartnerFine);
        {
            RaidCombLock lock(pComb);
            if (bFetched)
                pProt->bFetchRemoteDrl = FALSE;
            reason = pProt->copyReason;
        }
        if (reason != COPY_TYPE__DEGRADED_BACK_REBUILD && reason != COPY_TYPE__NORM_BACK_REBUILD) {
            MOS_ERROR(MOS_COMP_TGT_RAID, "Rebuild comb %lx with copy reason %u", (unsigned long)pComb->combId, reason);
        } else if (!bFetched) {
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Rebuild comb %lx: the partner's dirty list was not fetched",
                      (unsigned long)pComb->combId);
        } else if (!raidCopyJob_Connect(&job)) {
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Rebuild comb %lx: no connection to tgt %lx",
                      (unsigned long)pComb->combId, (unsigned long)job.remoteTgtId);
        } else {
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "%s rebuild loop started %lx (dit)",
                      reason == COPY_TYPE__NORM_BACK_REBUILD ? "Normal" : "Degraded", (unsigned long)pComb->combId);
            UINT32 sent = reason;
            const RaidResyncHooks *rh = raidResync_Hooks();
            UINT32 peerVer = rh->getPeerVersion == nullptr ? TGT_PEER_VER__UNKNOWN
                                                           : rh->getPeerVersion(pCont, job.remoteTgtId);
            if (reason == COPY_TYPE__NORM_BACK_REBUILD &&
                (peerVer == TGT_PEER_VER__UNKNOWN || peerVer < RAID_REBUILD__NORM_BACK_MIN_PEER_VER))
                sent = COPY_TYPE__DEGRADED_BACK_REBUILD;
            RangeLoop cfg{reason, sent, phyComb_GetGranularity(&pComb->phyComb), bPartnerFine, bBitSetNoTooth,
                          "Rebuild"};
            BOOL bCopied = copyRanges(&job, cfg);
            raidCopyJob_Disconnect(&job);
            if (bCopied) {
                elockComb_LockAll(pComb->pElock, TRUE);
                bDone = phyComb_ResetEntireBits(&pComb->phyComb, PHY_DEV_DRL_TYPE__REBUILD, TRUE);
                if (bDone && bHasMaint && raidRebuild_IsResetActiveAllowed(pComb))
                    bDone = phyComb_ResetEntireBits(&pComb->phyComb, PHY_DEV_DRL_TYPE__ACTIVE, TRUE);
                if (bDone && !bRemoteAllZero)
                    bDone = resetRemoteDrl(pCont, pComb, job.remoteTgtId);
                elockComb_UnlockAll(pComb->pElock, TRUE);
            }
        }
    }
    endRebuild(&job, bDone, FALSE);
}

void raidMaintRebuild_Start(Cont *pCont, RaidComb *pComb)
{
    RaidCombProt *pProt = pComb->pMaintenance;
    MOS_ASSERT(pProt != nullptr);
    MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Maint Rebuild started %lx (dit)", (unsigned long)pComb->combId);
    RaidCopyJob job;
    BOOL bInit = raidCopyJob_Init(&job, pCont, pComb, pProt);
    BOOL bDone = FALSE;
    BOOL bStarted = FALSE;
    if (bInit) {
        elockComb_LockAll(pComb->pElock, TRUE);
        bStarted = phyComb_MutualOrActiveRebuild(&pComb->phyComb) &&
                   startCopy(pComb, pProt, TRUE);
        elockComb_UnlockAll(pComb->pElock, TRUE);
    }
    if (bStarted && raidCopyJob_Connect(&job)) {
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Maint Rebuild loop started %lx (dit)", (unsigned long)pComb->combId);
        RangeLoop cfg{COPY_TYPE__DEGRADED_BACK_REBUILD, COPY_TYPE__DEGRADED_BACK_REBUILD,
                      phyComb_GetNormalGranularity(&pComb->phyComb), TRUE, FALSE, "Maint Rebuild"};
        BOOL bCopied = copyRanges(&job, cfg);
        raidCopyJob_Disconnect(&job);
        if (bCopied) {
            elockComb_LockAll(pComb->pElock, TRUE);
            // The log stays while the mirror partner still needs it; the maintenance copy is whole.
            bDone = !raidComb_IsResetBitsAllowed(pComb, FALSE, TRUE) ||
                    phyComb_ResetEntireBits(&pComb->phyComb, PHY_DEV_DRL_TYPE__REBUILD, TRUE);
            elockComb_UnlockAll(pComb->pElock, TRUE);
        }
    } else if (bStarted) {
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Maint Rebuild comb %lx: no connection to tgt %lx",
                  (unsigned long)pComb->combId, (unsigned long)job.remoteTgtId);
    }
    endRebuild(&job, bDone, TRUE);
}
