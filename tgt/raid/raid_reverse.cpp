// Reverse rebuild: the maintenance copy (the destination) asks the server with the good copy (the
// source) for one tooth version after another; the source writes each to it as a copy write and
// only then names it in its answer.
//
// The source keeps no iterator between two requests: it finds the version the destination names
// again, and when that version is gone (freed since it was sent) it starts the position over from
// its first version rather than follow a link of a freed tooth.
#include <cstring>

#include "mos/mos_assert.h"
#include "mos/umt/mos_umt.h"
#include "tgt/ioh/ioh.h"
#include "tgt/raid/raid_resync_intrn.h"
#include "tgt/tgt_conf.h"

namespace {

// Positions the iterator on the version after (toothInComb, toothIndex). Caller holds combFastLock.
void positionAfter(PhyComb *pPhy, PhyCombItr *pItr, UINT32 toothInComb, PhyToothIndex toothIndex)
{
    *pItr = PhyCombItr{PHY_TOOTH_INDEX__INVALID, 0, toothInComb};
    phyComb_StartIter(pPhy, pItr);
    if (toothIndex == PHY_TOOTH_INDEX__INVALID || pItr->toothInComb != toothInComb)
        return;
    // The named version must still be one of the position's: the map entry of a freed tooth may
    // lead anywhere, so then the position starts over.
    if (raidComb_ToothLabel(pPhy, toothInComb * TOOTH_SIZE_LB, toothIndex).time == 0) {
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW,
                  "Reverse Rebuild for %lx: tooth %u of position %u is gone, the position starts over",
                  (unsigned long)pPhy->combId, toothIndex, toothInComb);
        return;
    }
    while (pItr->toothIndex != PHY_TOOTH_INDEX__INVALID && pItr->toothInComb == toothInComb &&
           pItr->toothIndex != toothIndex) {
        pItr->offsetInTooth = TOOTH_SIZE_LB;
        if (!phyComb_FindNextLb(pPhy, pItr))
            return;
    }
    if (pItr->toothIndex == toothIndex && pItr->toothInComb == toothInComb) {
        pItr->offsetInTooth = TOOTH_SIZE_LB;
        (void)phyComb_FindNextLb(pPhy, pItr);
    }
}

// The destination of this source's copy writes: its maintenance partner, else its mirror partner.
TgtId destinationOf(RaidComb *pComb)
{
    RaidCombLock lock(pComb);
    return pComb->pMaintenance != nullptr ? pComb->pMaintenance->remoteTgtId : pComb->pRebuild->remoteTgtId;
}

BOOL reverseGoesOn(RaidComb *pComb)
{
    {
        RaidCombLock lock(pComb);
        const RaidCombProt *p = pComb->pMaintenance;
        if (p == nullptr || p->combRaidState != COMB_RAID_STATE__COPY_STARTED || p->bAbortCopy)
            return FALSE;
    }
    return !raidSync_JobAborted(pComb->pMaintenance);
}

} // namespace

Mos_RC raidReverseRebuild_GetNextTooth(Cont *pCont, RaidComb *pComb, UINT32 toothInComb, PhyToothIndex toothIndex,
                                       TgtRsp_GetNextTooth *pRsp)
{
    if (toothInComb >= TEETH_IN_COMB)
        return MOS_RC__INVALID;
    PhyComb *pPhy = &pComb->phyComb;
    PhyCombItr itr{};
    {
        RaidCombLock lock(pComb);
        positionAfter(pPhy, &itr, toothInComb, toothIndex);
        if (itr.toothIndex == PHY_TOOTH_INDEX__INVALID) {
            phyComb_EndItr(pPhy, &itr);
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_MED, "Reverse Rebuild for %lx No more teeth (dit)",
                      (unsigned long)pComb->combId);
            return MOS_RC__NOT_FOUND;
        }
    }
    RaidCopyJob job;
    RaidCombProt dest{};
    dest.remoteTgtId = destinationOf(pComb);
    dest.pComb = pComb;
    dest.protType = RAID_PROT_TYPE__MAINTENANCE;
    Mos_RC rc = MOS_RC__NO_RESOURCES;
    if (raidCopyJob_Init(&job, pCont, pComb, &dest)) {
        job.bNoPacing = TRUE; // the destination paces itself with the limit named in the answer
        rc = MOS_RC__NOT_CONN;
        if (raidCopyJob_Connect(&job)) {
            UINT32 offsetInComb = itr.toothInComb * TOOTH_SIZE_LB;
            RaidCopyRc crc = raidCopyJob_CopyRange(&job, itr.toothIndex, offsetInComb, TOOTH_SIZE_LB,
                                                   COPY_TYPE__REVERSE_REBUILD, COPY_TYPE__REVERSE_REBUILD,
                                                   COPY_TYPE__REVERSE_REBUILD, FALSE, "Reverse Rebuild");
            switch (crc) {
            case RAID_COPY_RC__OK:
                rc = MOS_RC__SUCCESS;
                pRsp->toothInComb = itr.toothInComb;
                pRsp->toothIndex = itr.toothIndex;
                pRsp->lbsPerRebuildJobLimit = job.partnerRebuildLimit;
                MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_MED, "Reverse Rebuild for %lx : Sent tooth (%d, %d) (dit)",
                          (unsigned long)pComb->combId, (int)itr.toothInComb, (int)itr.toothIndex);
                break;
            case RAID_COPY_RC__READ_ERROR:
                rc = MOS_RC__IO_HARD_ERROR;
                MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Comb %lx: Read of next tooth %d failed - %s",
                          (unsigned long)pComb->combId, (int)itr.toothInComb, raid_RcName(rc));
                break;
            case RAID_COPY_RC__SKIPPED:
                // Freed since it was found: the destination asks again from the same place.
                rc = MOS_RC__SUCCESS;
                pRsp->toothInComb = toothInComb;
                pRsp->toothIndex = toothIndex;
                break;
            default:
                rc = MOS_RC__IO_NET_ERROR;
                break;
            }
        }
    }
    BOOL bReadError = job.bReadError;
    raidCopyJob_Destroy(&job);
    {
        RaidCombLock lock(pComb);
        phyComb_EndItr(pPhy, &itr);
    }
    if (bReadError && pComb->pContDev != nullptr)
        raid_Hooks()->devReadError(pComb->pContDev);
    return rc;
}

Mos_RC raidReverseRebuild_UpdateRebuildStatus(Cont *pCont, RaidComb *pComb, BOOL bRebuildDone)
{
    RaidCombProt *pProt;
    CombGenNum gen;
    UINT16 cmdGen;
    UINT32 state, type;
    {
        RaidCombLock lock(pComb);
        pProt = pComb->pMaintenance;
        if (pProt == nullptr) {
            MOS_ERROR(MOS_COMP_TGT_RAID, "Rebuild wrong raid state %lx state %s raidState - pRebuild: 0x%x; pMaintenance: 0x%x (dit)",
                      (unsigned long)pComb->combId, raid_CombStateName(pComb->combState),
                      pComb->pRebuild->combRaidState, 0u);
            return MOS_RC__ERROR;
        }
        UINT32 s = pProt->combRaidState;
        if (s == COMB_RAID_STATE__COPY || s == COMB_RAID_STATE__COPY_STARTED) {
            BOOL bOk = bRebuildDone && !pProt->bCopyError && s == COMB_RAID_STATE__COPY_STARTED;
            raidComb_SetCombState(pComb, pProt, bOk ? COMB_RAID_STATE__COPY_DONE : COMB_RAID_STATE__COPY_ERROR, TRUE);
        } else if (s != COMB_RAID_STATE__DEGRADED_REMOTE_ERROR && s != COMB_RAID_STATE__DEGRADED_LOCAL_ERROR &&
                   s != COMB_RAID_STATE__MM_DIFF_SYNC && s != COMB_RAID_STATE__MM_DEGRADED) {
            // Traced and reported as it stands: the Ostrel decides.
            MOS_ERROR(MOS_COMP_TGT_RAID, "Rebuild wrong raid state %lx state %s raidState - pRebuild: 0x%x; pMaintenance: 0x%x (dit)",
                      (unsigned long)pComb->combId, raid_CombStateName(pComb->combState),
                      pComb->pRebuild->combRaidState, s);
        }
        gen = pComb->combGenNum;
        cmdGen = pComb->tgtCombCmdGenNum;
        state = pProt->combRaidState;
        type = pProt->protType;
    }
    return raidComb_SendOstrelCombState(pCont, pComb, pProt, gen, cmdGen, state, type);
}

void raidReverseRebuild_Start(Cont *pCont, RaidComb *pComb)
{
    MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Reverse Rebuild started %lx (dit)", (unsigned long)pComb->combId);
    RaidCombProt *pProt = pComb->pMaintenance;
    MOS_ASSERT(pProt != nullptr);
    BOOL bOk = FALSE;
    elockComb_LockAll(pComb->pElock, TRUE);
    {
        RaidCombLock lock(pComb);
        if (pProt->combRaidState != COMB_RAID_STATE__COPY || pProt->bAbortCopy || raidSync_JobAborted(pProt))
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW,
                      "Rebuild wrong state %lx state %s raidState - pRebuild: 0x%x, pMaintenance: 0x%x (dit)",
                      (unsigned long)pComb->combId, raid_CombStateName(pComb->combState),
                      pComb->pRebuild->combRaidState, pProt->combRaidState);
        else {
            raidComb_SetCombState(pComb, pProt, COMB_RAID_STATE__COPY_STARTED, FALSE);
            bOk = TRUE;
        }
    }
    elockComb_UnlockAll(pComb->pElock, TRUE);
    RaidCopyJob job;
    BOOL bInit = raidCopyJob_Init(&job, pCont, pComb, pProt);
    if (bOk && (!bInit || !raidCopyJob_Connect(&job))) {
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Reverse Rebuild comb %lx failed - invalid hCon for tgt %016lx (dit)",
                  (unsigned long)pComb->combId, (unsigned long)job.remoteTgtId);
        bOk = FALSE;
    }
    if (bOk) {
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Reverse Rebuild loop started %lx (dit)", (unsigned long)pComb->combId);
        TgtReq_GetNextTooth req{};
        req.combId = pComb->combId;
        req.toothInComb = 0;
        req.toothIndex = PHY_TOOTH_INDEX__INVALID;
        for (;;) {
            if (raidComb_IsOstrelBlocked(pComb)) {
                MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW,
                          "Reverse Rebuild comb %lx from tgt %016lx failed - Tgt blocked (keep-alive) (dit)",
                          (unsigned long)pComb->combId, (unsigned long)job.remoteTgtId);
                bOk = FALSE;
                break;
            }
            req.combGenNum = raidComb_GetCombGenNum(pComb);
            TgtRsp_GetNextTooth rsp{};
            RaidRpc rpc{};
            Mos_RC rc = raidRpc_Call(pCont, &job.con, &rpc, TGT_MSG_TYPE__GET_NEXT_TOOTH, RAID__RECV_GROUP__TGT_IO_COPY,
                                     &req, sizeof(req), &rsp, sizeof(rsp));
            if (rc != MOS_RC__SUCCESS) {
                MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Comb %lx: GET_NEXT_TOOTH request for tgt %016lx failed: sendRC: %s (dit)",
                          (unsigned long)pComb->combId, (unsigned long)job.remoteTgtId, raid_RcName(rc));
                bOk = FALSE;
                break;
            }
            if (rpc.rspRc == MOS_RC__NOT_FOUND)
                break;
            if (rpc.rspRc != MOS_RC__SUCCESS || rpc.rspLen < sizeof(rsp) || rsp.toothInComb >= TEETH_IN_COMB ||
                rsp.toothIndex == PHY_TOOTH_INDEX__INVALID) {
                MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Comb %lx: GET_NEXT_TOOTH request for tgt %016lx failed: rspRC: %s (dit)",
                          (unsigned long)pComb->combId, (unsigned long)job.remoteTgtId,
                          raid_RcName(rpc.rspRc == MOS_RC__SUCCESS ? MOS_RC__INVALID : rpc.rspRc));
                bOk = FALSE;
                break;
            }
            req.toothInComb = rsp.toothInComb;
            req.toothIndex = rsp.toothIndex;
            if (tgtInitParam_G.bDit)
                MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_MED, "Reverse Rebuild for %lx got tooth %d, toothInComb %d (dit)",
                          (unsigned long)pComb->combId, (int)rsp.toothIndex, (int)rsp.toothInComb);
            mosLimiter_UpdateLimits(&job.jobLimiter, rsp.lbsPerRebuildJobLimit, RAID_SYNC_POOL__SLOT_MUL);
            RaidSyncPool *pPool = raidSyncPool_Get();
            if (!raidSync_LimiterWait(&job.jobLimiter, TOOTH_SIZE_LB, pProt) ||
                (pPool != nullptr && (!raidSyncPool_AddToCopyLimiter(pPool, TOOTH_SIZE_LB, pProt->copyReason, pProt) ||
                                      !raidSyncPool_AddToIoLimiter(pPool, TOOTH_SIZE_LB, pProt))) ||
                !reverseGoesOn(pComb)) {
                MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Comb %lx: Abort required. (dit)", (unsigned long)pComb->combId);
                bOk = FALSE;
                break;
            }
            raidCopyJob_TraceLong(&job, TRUE);
        }
    }
    UINT32 secs = raidCopyJob_Seconds(&job);
    raidCopyJob_Destroy(&job);
    MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Reverse Rebuild ended comb %lx %s, after %u Seconds (dit)",
              (unsigned long)pComb->combId, bOk ? " ok" : " with error", secs);
    (void)raidReverseRebuild_UpdateRebuildStatus(pCont, pComb, bOk);
    {
        RaidCombLock lock(pComb);
        pComb->bRebuildRunning = FALSE;
    }
    raidComb_CopyJobEnded(pComb);
}

namespace {

Mos_RC iohGetNextTooth(RaidComb *pComb, const TgtReq_GetNextTooth *pReq, TgtRsp_GetNextTooth *pRsp)
{
    return raidReverseRebuild_GetNextTooth(pComb->pCont, pComb, pReq->toothInComb, pReq->toothIndex, pRsp);
}

} // namespace

void raidResync_FillIohHooks(IohHooks *pHooks) { pHooks->getCombNextTooth = iohGetNextTooth; }
