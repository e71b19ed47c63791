// The mirroring state machine: state changes, the Ostrel's commands (set-state, partner changes,
// migration), write errors, and the notifications that tell the Ostrel what changed.
#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"
#include "mos/umt/mos_umt.h"
#include "tgt/raid/raid_comb.h"
#include "tgt/raid/raid_comb_intrn.h"
#include "tgt/tgt_conf.h"

namespace {

constexpr UINT32 kMaintCopyAndDiffSync = COMB_RAID_STATE__COPY | COMB_RAID_STATE__MM_DIFF_SYNC;

BOOL isMaintCopyRequest(UINT32 s) { return s == COMB_RAID_STATE__COPY || s == kMaintCopyAndDiffSync; }

// The entries of a set-state request by the partnership they describe; FALSE for an entry type
// that names no partnership, or two entries for one.
BOOL findEntries(const RaidComb_SetStateReq *pReq, const RaidComb_SetProtStateReq **ppMirror,
                 const RaidComb_SetProtStateReq **ppMaint)
{
    *ppMirror = *ppMaint = nullptr;
    for (const RaidComb_SetProtStateReq &e : pReq->protState) {
        switch (e.raidType) {
        case RAID_PROT_TYPE__NONE:
            break;
        case RAID_PROT_TYPE__SECONDARY:
            if (*ppMirror != nullptr)
                return FALSE;
            *ppMirror = &e;
            break;
        case RAID_PROT_TYPE__MAINTENANCE:
            if (*ppMaint != nullptr)
                return FALSE;
            *ppMaint = &e;
            break;
        default:
            return FALSE;
        }
    }
    return TRUE;
}

void prepareSetStateRsp(RaidComb *pComb, const RaidComb_SetStateReq *pReq, OstrelTgtRsp_SetCombState *pRsp)
{
    pRsp->curState = pComb->combState;
    pRsp->raidType = pReq->protState[0].raidType;
    pRsp->curRaidState = pRsp->raidType == RAID_PROT_TYPE__SECONDARY ? pComb->pRebuild->combRaidState
                                                                      : raidProt_State(pComb->pMaintenance);
    pRsp->curPrimaryTgtGenNum = pComb->combGenNum;
    pRsp->curTgtCombCmdGenNum = pComb->tgtCombCmdGenNum;
}

BOOL cmdGenAccepted(const RaidComb *pComb, UINT16 gen, BOOL bForce)
{
    return bForce || (INT16)(UINT16)(gen - pComb->tgtCombCmdGenNum) >= 0;
}

Mos_RC refuseCmdGen(RaidComb *pComb, UINT16 gen)
{
    MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Gen validation failed, Comb %lx, Comb gen %u, new gen %u",
              (unsigned long)pComb->combId, (unsigned)pComb->tgtCombCmdGenNum, (unsigned)gen);
    return MOS_RC__WRONG_COMB_CMD_GEN;
}

BOOL mirrorStateAllowedForPrimary(UINT32 s)
{
    return s == COMB_RAID_STATE__NORMAL || s == COMB_RAID_STATE__COPY || s == COMB_RAID_STATE__DEGRADED_REMOTE_ERROR ||
           s == COMB_RAID_STATE__DEGRADED_LOCAL_ERROR || s == COMB_RAID_STATE__NORMAL_NEED_REBUILD ||
           s == COMB_RAID_STATE__UNKNOWN_IN_TGT;
}

BOOL maintStateAllowedForPrimary(UINT32 s)
{
    return s == COMB_RAID_STATE__DEGRADED_REMOTE_ERROR || s == COMB_RAID_STATE__DEGRADED_LOCAL_ERROR ||
           s == COMB_RAID_STATE__MM_NORMAL || s == COMB_RAID_STATE__MM_DIFF_SYNC ||
           s == COMB_RAID_STATE__MM_DEGRADED || s == COMB_RAID_STATE__UNKNOWN_IN_TGT || isMaintCopyRequest(s);
}

// A copy asked for a partnership: SUCCESS at once while that copy runs, else refused while a
// migration (30) or another rebuild (32) runs.
Mos_RC copyRequestCheck(RaidComb *pComb, const RaidCombProt *pProt)
{
    if (raidComb_IsRebuildInProgress(pComb, pProt, FALSE))
        return MOS_RC__SUCCESS;
    if (pComb->pMigrate != nullptr) {
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Set comb state failed %lx, migrate in progress",
                  (unsigned long)pComb->combId);
        return MOS_RC__WRONG_STATE_TRANS;
    }
    if (pComb->bRebuildRunning) {
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Set comb state failed %lx, Rebuild in progress",
                  (unsigned long)pComb->combId);
        return MOS_RC__RETRY;
    }
    return MOS_RC__SUCCESS;
}

// The checks of a set-state command, in order; the first failure decides. Nothing is changed.
Mos_RC validateStateTransition(RaidComb *pComb, const RaidComb_SetStateReq *pReq)
{
    const CombId id = pComb->combId;
    if (!cmdGenAccepted(pComb, pReq->tgtCombCmdGenNum, pReq->bForceReconfig))
        return refuseCmdGen(pComb, pReq->tgtCombCmdGenNum);
    if (pReq->newState != COMB_STATE__PRIMARY && pReq->newState != COMB_STATE__SECONDARY) {
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Set comb state failed combId: %lx, Wrong new comb state %s",
                  (unsigned long)id, raid_CombStateName(pReq->newState));
        return MOS_RC__WRONG_STATE_TRANS;
    }
    const RaidComb_SetProtStateReq *pMir, *pMnt;
    if (!findEntries(pReq, &pMir, &pMnt)) {
        MOS_ERROR(MOS_COMP_TGT_RAID, "Set comb state failed %lx, entries name no partnership or one twice",
                  (unsigned long)id);
        return MOS_RC__WRONG_STATE_TRANS;
    }
    const RaidCombProt *pMirror = pComb->pRebuild;
    const RaidCombProt *pMaint = pComb->pMaintenance;
    if (pReq->newState == COMB_STATE__PRIMARY) {
        if ((pMir != nullptr && !mirrorStateAllowedForPrimary(pMir->newRaidState)) ||
            (pMnt != nullptr && !maintStateAllowedForPrimary(pMnt->newRaidState))) {
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW,
                      "Set comb state failed combId: %lx, Wrong new comb state %s, comb raid state 0x%x",
                      (unsigned long)id, raid_CombStateName(pReq->newState),
                      pMir != nullptr ? pMir->newRaidState : pMnt->newRaidState);
            return MOS_RC__WRONG_STATE_TRANS;
        }
        if (pComb->combState == COMB_STATE__PRIMARY && pMir != nullptr) {
            UINT32 cur = pMirror->combRaidState;
            if ((cur == COMB_RAID_STATE__DEGRADED_REMOTE_ERROR || cur == COMB_RAID_STATE__DEGRADED_LOCAL_ERROR) &&
                pMir->newRaidState == COMB_RAID_STATE__NORMAL) {
                MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW,
                          "Set comb state failed combId: %lx, Wrong new comb raid state 0x%x, rebuild comb raid state "
                          "0x%x",
                          (unsigned long)id, pMir->newRaidState, cur);
                return MOS_RC__WRONG_STATE_TRANS;
            }
            if (cur == COMB_RAID_STATE__DEGRADED_REMOTE_ERROR &&
                pMir->newRaidState == COMB_RAID_STATE__NORMAL_NEED_REBUILD) {
                MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW,
                          "Set comb state failed %lx, Wrong new comb raid state 0x%x, rebuild comb raid state 0x%x",
                          (unsigned long)id, pMir->newRaidState, cur);
                return MOS_RC__WRONG_STATE_TRANS;
            }
        }
        if (pComb->combState == COMB_STATE__PRIMARY && pMnt != nullptr && pMaint != nullptr &&
            pMaint->combRaidState == COMB_RAID_STATE__MM_DIFF_SYNC &&
            pMnt->newRaidState != COMB_RAID_STATE__MM_DIFF_SYNC &&
            pMnt->newRaidState != COMB_RAID_STATE__MM_DEGRADED && !isMaintCopyRequest(pMnt->newRaidState)) {
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW,
                      "Set comb state failed %lx, Wrong new comb raid state 0x%x, rebuild comb raid state 0x%x",
                      (unsigned long)id, pMnt->newRaidState, pMaint->combRaidState);
            return MOS_RC__WRONG_STATE_TRANS;
        }
        if (pMnt != nullptr) {
            UINT32 curMaint = raidProt_State(pMaint);
            // A reverse rebuild starts only from a partnership that may hold newer data than ours;
            // a plain copy or MM_NORMAL needs a partnership to apply to. A command that names the
            // partner and may change partners brings one in before it is checked again, so until
            // then the missing partnership counts as UNKNOWN_IN_TGT.
            const BOOL bNoPartner = pMaint == nullptr && (pReq->bSetStateOnly || pMnt->raidTgtId == 0);
            BOOL bBad = (pMnt->newRaidState == kMaintCopyAndDiffSync &&
                         curMaint != COMB_RAID_STATE__UNKNOWN_IN_TGT && curMaint != COMB_RAID_STATE__MM_DIFF_SYNC &&
                         curMaint != COMB_RAID_STATE__MM_DEGRADED) ||
                        (isMaintCopyRequest(pMnt->newRaidState) && bNoPartner) ||
                        (pMnt->newRaidState == COMB_RAID_STATE__MM_NORMAL && bNoPartner &&
                         pMnt->curRaidState != COMB_RAID_STATE__COPY_DONE);
            if (bBad) {
                MOS_ERROR(MOS_COMP_TGT_RAID,
                          "Set comb state failed %lx, maintenance state 0x%x cannot follow 0x%x (partner %s)",
                          (unsigned long)id, pMnt->newRaidState, curMaint, pMaint == nullptr ? "none" : "present");
                return MOS_RC__WRONG_STATE_TRANS;
            }
        }
    } else {
        if (pMnt != nullptr) {
            MOS_ERROR(MOS_COMP_TGT_RAID, "Set comb state failed %lx, a secondary has no maintenance partner",
                      (unsigned long)id);
            return MOS_RC__WRONG_STATE_TRANS;
        }
        if (pMir != nullptr && pMir->newRaidState != COMB_RAID_STATE__NORMAL &&
            pMir->newRaidState != COMB_RAID_STATE__DEGRADED_LOCAL_ERROR &&
            pMir->newRaidState != COMB_RAID_STATE__MM_NORMAL) {
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW,
                      "Set comb state failed combId %lx, Wrong new comb state %s, comb raid state 0x%x",
                      (unsigned long)id, raid_CombStateName(pReq->newState), pMir->newRaidState);
            return MOS_RC__WRONG_STATE_TRANS;
        }
        if (pComb->pMigrate != nullptr) {
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Set comb state failed %lx, migration in progress",
                      (unsigned long)id);
            return MOS_RC__WRONG_STATE_TRANS;
        }
        if (pComb->bRebuildRunning) {
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Set comb state failed %lx, rebuild in progress",
                      (unsigned long)id);
            return MOS_RC__RETRY;
        }
    }
    if (!pReq->bForceReconfig) {
        const RaidComb_SetProtStateReq *entries[2] = {pMir, pMnt};
        const UINT32 present[2] = {pMirror->combRaidState, raidProt_State(pMaint)};
        for (UINT32 i = 0; i < 2; i++) {
            const RaidComb_SetProtStateReq *e = entries[i];
            if (e == nullptr || e->curRaidState == COMB_RAID_STATE__UNKNOWN_IN_TGT ||
                (e->curRaidState & present[i]) != 0)
                continue;
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW,
                      "Set raid state failed %lx, (State, raidState, gen) tgt (%s, 0x%x, %lu), ostrel (%s, 0x%x, %lu)",
                      (unsigned long)id, raid_CombStateName(pComb->combState), present[i],
                      (unsigned long)pComb->combGenNum, raid_CombStateName(pReq->curState), e->curRaidState,
                      (unsigned long)pReq->primaryTgtGenNum);
            return MOS_RC__WRONG_STATE_TRANS;
        }
    }
    if (pMir != nullptr && pMir->newRaidState == COMB_RAID_STATE__COPY)
        return copyRequestCheck(pComb, pMirror);
    if (pMnt != nullptr && isMaintCopyRequest(pMnt->newRaidState))
        return copyRequestCheck(pComb, pMaint);
    return MOS_RC__SUCCESS;
}

struct CopyStarts {
    BOOL bMirror;
    BOOL bMaint;
};

// Applies a validated set-state (caller holds combFastLock): SUCCESS or ALREADY_EXISTS.
Mos_RC setStateInternal(RaidComb *pComb, const RaidComb_SetStateReq *pReq, CopyStarts *pStarts)
{
    const RaidComb_SetProtStateReq *pMir, *pMnt;
    MOS_ASSERT(findEntries(pReq, &pMir, &pMnt));
    *pStarts = CopyStarts{};
    Mos_RC rc = MOS_RC__SUCCESS;
    RaidCombProt *pMirror = pComb->pRebuild;
    RaidCombProt *pMaint = pComb->pMaintenance;
    UINT32 newMirror = pMir != nullptr ? pMir->newRaidState : pMirror->combRaidState;
    if (pComb->combState == COMB_STATE__PRIMARY && pReq->newState == COMB_STATE__PRIMARY &&
        pMirror->combRaidState == COMB_RAID_STATE__NORMAL_NEED_REBUILD && newMirror == COMB_RAID_STATE__NORMAL) {
        // A comb that still needs a rebuild is not declared normal.
        newMirror = COMB_RAID_STATE__NORMAL_NEED_REBUILD;
        pMirror->bNotificationNeeded = TRUE;
        pMirror->bCopyActiveDrl = TRUE;
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Override comb state to need rebuild %lx",
                  (unsigned long)pComb->combId);
    }
    if (pMir != nullptr && pMir->newRaidState == COMB_RAID_STATE__COPY) {
        if (raidComb_IsRebuildInProgress(pComb, pMirror, FALSE)) {
            pMirror->bNotificationNeeded = TRUE;
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Set comb state failed %lx, rebuild in progress",
                      (unsigned long)pComb->combId);
            rc = MOS_RC__ALREADY_EXISTS;
            newMirror = pMirror->combRaidState; // the running copy keeps its progress
        } else {
            pStarts->bMirror = TRUE;
        }
    }
    UINT32 newMaint = pMnt != nullptr ? pMnt->newRaidState : raidProt_State(pMaint);
    if (pMnt != nullptr && pMaint != nullptr && isMaintCopyRequest(pMnt->newRaidState)) {
        if (raidComb_IsRebuildInProgress(pComb, pMaint, FALSE)) {
            pMaint->bNotificationNeeded = TRUE;
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Set comb state failed %lx, rebuild in progress",
                      (unsigned long)pComb->combId);
            rc = MOS_RC__ALREADY_EXISTS;
        } else {
            pStarts->bMaint = TRUE;
            UINT32 cur = pMaint->combRaidState;
            if (pMnt->newRaidState == COMB_RAID_STATE__COPY &&
                (cur == COMB_RAID_STATE__UNKNOWN_IN_TGT || cur == COMB_RAID_STATE__DEGRADED_REMOTE_ERROR))
                pMaint->copyReason = COPY_TYPE__MAINT_REBUILD;
            if (pMnt->newRaidState == kMaintCopyAndDiffSync) {
                pMaint->copyReason = COPY_TYPE__REVERSE_REBUILD;
                newMaint = COMB_RAID_STATE__COPY;
            }
        }
    }
    if (pReq->newState == COMB_STATE__PRIMARY)
        pComb->bRequireRemoteCleanup = TRUE;
    else
        pComb->bRequireRemoteCleanup = FALSE;
    UINT32 oldState = pComb->combState;
    UINT32 oldMirror = pMirror->combRaidState;
    pComb->combState = pReq->newState;
    if (pMir != nullptr) {
        pMirror->copyReason = oldMirror == COMB_RAID_STATE__NORMAL_NEED_REBUILD ? COPY_TYPE__NORM_BACK_REBUILD
                                                                               : COPY_TYPE__DEGRADED_BACK_REBUILD;
        raidComb_SetCombState(pComb, pMirror, newMirror, FALSE);
    } else if (newMirror != oldMirror) {
        raidComb_SetCombState(pComb, pMirror, newMirror, FALSE);
    }
    if (pMnt != nullptr && pMaint != nullptr && !(pStarts->bMaint == FALSE && isMaintCopyRequest(pMnt->newRaidState)))
        raidComb_SetCombState(pComb, pMaint, newMaint, FALSE);
    pComb->tgtCombCmdGenNum = pReq->tgtCombCmdGenNum;
    if (tgtInitParam_G.bDit)
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW,
                  "Set comb state %lx, (State, raidState, gen) cur (%s, 0x%x, %lu), =>  new (%s, 0x%x, %lu) raidType "
                  "%s bRebuild %u force %u (dit)",
                  (unsigned long)pComb->combId, raid_CombStateName(oldState), oldMirror,
                  (unsigned long)pComb->combGenNum, raid_CombStateName(pReq->newState), pMirror->combRaidState,
                  (unsigned long)pReq->primaryTgtGenNum, raid_ProtTypeName(pReq->protState[0].raidType),
                  (unsigned)pStarts->bMirror, (unsigned)pReq->bForceReconfig);
    return rc;
}

// Brings the maintenance partner in line with the request (set-state without bSetStateOnly).
Mos_RC validateMaintRaidId(RaidComb *pComb, const RaidComb_SetStateReq *pReq, BOOL bHoldAllLocks)
{
    const RaidComb_SetProtStateReq *pMir, *pMnt;
    if (!findEntries(pReq, &pMir, &pMnt))
        return MOS_RC__WRONG_STATE_TRANS;
    TgtId newId = pMnt != nullptr ? pMnt->raidTgtId : 0;
    {
        RaidCombLock lock(pComb);
        TgtId curId = pComb->pMaintenance != nullptr ? pComb->pMaintenance->remoteTgtId : 0;
        if (newId == curId)
            return MOS_RC__SUCCESS;
        if (pComb->pMigrate != nullptr) {
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Set comb state failed %lx, migration in progress",
                      (unsigned long)pComb->combId);
            return MOS_RC__WRONG_STATE_TRANS;
        }
        if (pComb->pMaintenance != nullptr)
            raidComb_AbortRebuildIntr(pComb, pComb->pMaintenance);
    }
    if (!raidComb_TakeCopyUnits(pComb, RAID_COMB__COPY_WAIT_MILLIS))
        return MOS_RC__RETRY;
    if (!bHoldAllLocks)
        elockComb_LockAll(pComb->pElock, TRUE);
    raidComb_GiveCopyUnits(pComb, 2);
    Mos_RC rc = MOS_RC__SUCCESS;
    {
        RaidCombLock lock(pComb);
        RaidCombProt *pMaint = pComb->pMaintenance;
        if (pComb->pMigrate != nullptr) {
            rc = MOS_RC__WRONG_STATE_TRANS;
        } else if (pMaint != nullptr) {
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "New MM tgt id, comb %lx, old %lx, new %lx",
                      (unsigned long)pComb->combId, (unsigned long)pMaint->remoteTgtId, (unsigned long)newId);
            if (newId > 0xFFFFFFFFull) {
                pMaint->remoteTgtId = newId;
            } else {
                memset(static_cast<void *>(pMaint), 0, sizeof(*pMaint));
                pComb->pMaintenance = nullptr;
            }
        } else if (newId != 0) {
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "New MM tgt id, comb %lx, TGT id %lx",
                      (unsigned long)pComb->combId, (unsigned long)newId);
            RaidCombProt *pSlot = raidComb_OtherSlot(pComb);
            raidCombProt_Init(pSlot, pComb, newId, COMB_RAID_STATE__UNKNOWN_IN_TGT, RAID_PROT_TYPE__MAINTENANCE,
                              COPY_TYPE__NONE, 0, FALSE);
            pComb->pMaintenance = pSlot;
        }
    }
    if (!bHoldAllLocks)
        elockComb_UnlockAll(pComb->pElock, TRUE);
    return rc;
}

// Queues the copy job of a slot that a set-state put in COPY (both units of abortCopySem taken
// by the caller; given back here when no job starts).
void startCopyJob(RaidComb *pComb, RaidCombProt *pProt, BOOL bMaint)
{
    const RaidHooks *h = raid_Hooks();
    BOOL bQueued = FALSE;
    {
        RaidCombLock lock(pComb);
        if (pProt->combRaidState == COMB_RAID_STATE__COPY && pProt->bIsProtValid) {
            pProt->bAbortCopy = FALSE;
            pProt->bOstrelAbortMigrate = FALSE;
            pProt->bCopyError = FALSE;
            pComb->bRebuildRunning = TRUE;
            bQueued = h->queueCopyJob != nullptr && h->queueCopyJob(pComb->pCont, pComb, pProt);
            if (!bQueued) {
                // No job can run: the slot stays in COPY marked aborted, so that the next request
                // for the copy starts it again.
                pComb->bRebuildRunning = FALSE;
                pProt->bAbortCopy = TRUE;
            }
            if (bMaint)
                MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_MED, "Add MM rebuild job %lx (dit)", (unsigned long)pComb->combId);
            else
                MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_MED, "Add rebuild job %lx (dit)", (unsigned long)pComb->combId);
        } else {
            if (bMaint)
                MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_MED, "Abort adding MM rebuild job %lx (dit)",
                          (unsigned long)pComb->combId);
            else
                MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_MED, "Abort adding rebuild job %lx (dit)",
                          (unsigned long)pComb->combId);
        }
    }
    if (!bQueued)
        raidComb_GiveCopyUnits(pComb, 2);
}

} // namespace

// ---- setting a state ----

void raidComb_AbortRebuildIntr(RaidComb *pComb, RaidCombProt *pProt)
{
    if (pProt == nullptr || !raidState_In(pProt->combRaidState, RAID_COPY_STATES))
        return;
    pProt->bAbortCopy = TRUE;
    const RaidHooks *h = raid_Hooks();
    if (h->raiseCopyPriority != nullptr)
        h->raiseCopyPriority(pComb->pCont, pComb, pProt);
}

void raidComb_SetCombState(RaidComb *pComb, RaidCombProt *pProt, UINT32 raidState, BOOL bNeedNotif)
{
    UINT32 old = pProt->combRaidState;
    if (old == raidState)
        return;
    switch (raidState) {
    case COMB_RAID_STATE__NORMAL:
    case COMB_RAID_STATE__COPY:
    case COMB_RAID_STATE__COPY_STARTED:
    case COMB_RAID_STATE__UNKNOWN_IN_TGT:
    case COMB_RAID_STATE__MM_NORMAL:
    case COMB_RAID_STATE__MM_DIFF_SYNC:
        break;
    case COMB_RAID_STATE__COPY_DONE:
    case COMB_RAID_STATE__COPY_ERROR:
        MOS_ASSERT(old != COMB_RAID_STATE__DEGRADED_REMOTE_ERROR && old != COMB_RAID_STATE__DEGRADED_LOCAL_ERROR);
        pProt->bNotificationNeeded = TRUE;
        break;
    case COMB_RAID_STATE__DEGRADED_REMOTE_ERROR:
    case COMB_RAID_STATE__MM_DEGRADED:
        MOS_ASSERT(pComb->combState == COMB_STATE__PRIMARY);
        pProt->bNotificationNeeded = TRUE;
        break;
    case COMB_RAID_STATE__DEGRADED_LOCAL_ERROR:
        if (bNeedNotif)
            pProt->bNotificationNeeded = TRUE;
        break;
    case COMB_RAID_STATE__NORMAL_NEED_REBUILD:
        pProt->bNotificationNeeded = TRUE;
        if (pComb->combState == COMB_STATE__PRIMARY)
            pProt->bFetchRemoteDrl = TRUE;
        pProt->bCopyActiveDrl = TRUE;
        break;
    default:
        MOS_UNREACHABLE("a raid state is one of the known single bits");
    }
    if ((old == COMB_RAID_STATE__COPY || old == COMB_RAID_STATE__COPY_STARTED) &&
        (raidState == COMB_RAID_STATE__DEGRADED_REMOTE_ERROR || raidState == COMB_RAID_STATE__DEGRADED_LOCAL_ERROR ||
         raidState == COMB_RAID_STATE__NORMAL_NEED_REBUILD))
        raidComb_AbortRebuildIntr(pComb, pProt);
    pProt->ostrelStateCounter++;
    pProt->combRaidState = raidState;
    if (old != COMB_RAID_STATE__UNKNOWN_IN_TGT)
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_MED, "Set comb raid state %lx, raid state 0x%x => 0x%x (dit)",
                  (unsigned long)pComb->combId, old, raidState);
}

// ---- SET_COMB_STATE ----

Mos_RC raidComb_SetState(RaidComb *pComb, const RaidComb_SetStateReq *pCombState, OstrelTgtRsp_SetCombState *pSetCombRsp)
{
    BOOL bAllLocks = FALSE;
    if (raidComb_IsPrimary(pComb) && pCombState->newState == COMB_STATE__SECONDARY) {
        elockComb_LockAll(pComb->pElock, TRUE);
        bAllLocks = TRUE;
    }
    Mos_RC rc;
    CopyStarts starts{};
    {
        RaidCombLock lock(pComb);
        prepareSetStateRsp(pComb, pCombState, pSetCombRsp);
        rc = validateStateTransition(pComb, pCombState);
        if (rc == MOS_RC__SUCCESS && !pCombState->bSetStateOnly) {
            lock.unlock();
            rc = validateMaintRaidId(pComb, pCombState, bAllLocks);
            lock.lock();
            prepareSetStateRsp(pComb, pCombState, pSetCombRsp);
            if (rc == MOS_RC__SUCCESS)
                rc = validateStateTransition(pComb, pCombState);
        }
        if (rc == MOS_RC__SUCCESS)
            rc = setStateInternal(pComb, pCombState, &starts);
    }
    if (bAllLocks)
        elockComb_UnlockAll(pComb->pElock, TRUE);
    raidComb_CheckBitsOnInit(pComb);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    RaidCombProt *slots[2] = {starts.bMirror ? pComb->pRebuild : nullptr,
                              starts.bMaint ? pComb->pMaintenance : nullptr};
    for (UINT32 i = 0; i < 2; i++) {
        if (slots[i] == nullptr)
            continue;
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_MED, "Wait for old rebuild/migration to end %lx (dit)",
                  (unsigned long)pComb->combId);
        // Bounded: a copy job that does not end in time is answered RETRY well inside the
        // command's own timer; the slot is left marked aborted so the retry starts the copy.
        if (!raidComb_TakeCopyUnits(pComb, RAID_COMB__COPY_WAIT_MILLIS)) {
            RaidCombLock lock(pComb);
            slots[i]->bAbortCopy = TRUE;
            return MOS_RC__RETRY;
        }
        startCopyJob(pComb, slots[i], i == 1);
    }
    return MOS_RC__SUCCESS;
}

Mos_RC raidComb_SkipSetState(RaidComb *pComb, const RaidComb_SetStateReq *pCombState)
{
    RaidCombLock lock(pComb);
    if ((INT64)(pCombState->primaryTgtGenNum - pComb->combGenNum) < 0) {
        MOS_ERROR(MOS_COMP_TGT_RAID, "Comb %lx refused an older primary generation %lx (present %lx)",
                  (unsigned long)pComb->combId, (unsigned long)pCombState->primaryTgtGenNum,
                  (unsigned long)pComb->combGenNum);
        return MOS_RC__WRONG_COMB_CMD_GEN;
    }
    const RaidComb_SetProtStateReq *pMir, *pMnt;
    if (!findEntries(pCombState, &pMir, &pMnt))
        return MOS_RC__ERROR;
    BOOL bSame = pCombState->newState == pComb->combState;
    if (pMir != nullptr)
        bSame &= pMir->newRaidState == pComb->pRebuild->combRaidState;
    if (pMnt != nullptr)
        bSame &= pComb->pMaintenance != nullptr && pMnt->newRaidState == pComb->pMaintenance->combRaidState &&
                 pMnt->raidTgtId == pComb->pMaintenance->remoteTgtId;
    else if (!pCombState->bSetStateOnly)
        bSame &= pComb->pMaintenance == nullptr;
    if (!bSame)
        return MOS_RC__ERROR;
    Mos_RC rc = raidComb_ValidateCmdGen(pComb, pCombState->tgtCombCmdGenNum, pCombState->bForceReconfig);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    pComb->combGenNum = pCombState->primaryTgtGenNum;
    return MOS_RC__SUCCESS;
}

// ---- partner change and migration ----

namespace {

// Ends a migration from COPY_DONE: the target becomes the mirror (caller holds combFastLock).
void endMigrateInter(RaidComb *pComb)
{
    RaidCombProt *pOld = pComb->pRebuild;
    RaidCombProt *pMig = pComb->pMigrate;
    MOS_ASSERT(pMig != nullptr && pMig->combRaidState == COMB_RAID_STATE__COPY_DONE);
    pOld->bNotificationNeeded = FALSE;
    pOld->ostrelStateCounter++;
    pOld->combRaidState = COMB_RAID_STATE__DEGRADED_REMOTE_ERROR;
    pOld->bIsProtValid = FALSE;
    pMig->bAbortCopy = TRUE;
    pMig->bOstrelAbortMigrate = TRUE;
    pMig->copyNum = 0;
    pMig->protType = RAID_PROT_TYPE__SECONDARY;
    pMig->ostrelStateCounter++;
    pMig->combRaidState = COMB_RAID_STATE__NORMAL;
    pComb->pRebuild = pMig;
    pComb->pMigrate = nullptr;
    raidComb_GiveCopyUnits(pComb, 1);
    MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Switch rebuild, comb %lx", (unsigned long)pComb->combId);
}

// Why a migration cannot end now, or SUCCESS.
Mos_RC migrationEndable(const RaidComb *pComb)
{
    UINT32 s = pComb->pMigrate->combRaidState;
    if (s == COMB_RAID_STATE__COPY_DONE)
        return MOS_RC__SUCCESS;
    return (s == COMB_RAID_STATE__COPY || s == COMB_RAID_STATE__COPY_STARTED) ? MOS_RC__NOT_READY
                                                                             : MOS_RC__WRONG_STATE_TRANS;
}

} // namespace

Mos_RC raidComb_ValidateRaidId(RaidComb *pComb, TgtId raidTgtId, UINT16 tgtCombCmdGenNum, BOOL bHasMig,
                               BOOL bReadOnly, BOOL bForceCombCmdGen, BOOL bTPellar)
{
    RaidCombLock lock(pComb);
    if (!cmdGenAccepted(pComb, tgtCombCmdGenNum, bForceCombCmdGen))
        return refuseCmdGen(pComb, tgtCombCmdGenNum);
    if (!bTPellar && raidTgtId != pComb->pRebuild->remoteTgtId) {
        if (bReadOnly)
            return MOS_RC__NEED_WRITE_ACCESS;
        lock.unlock();
        elockComb_LockAll(pComb->pElock, TRUE);
        lock.lock();
        Mos_RC rc = MOS_RC__SUCCESS;
        if (raidTgtId != pComb->pRebuild->remoteTgtId) {
            MOS_ASSERT(std::atomic_ref<UINT32>(pComb->inFlightWrites).load() == 0);
            TgtId migId = pComb->pMigrate != nullptr ? pComb->pMigrate->remoteTgtId : 0;
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "New raid tgt id, comb %lx, old %lx, mig %lx, new %lx",
                      (unsigned long)pComb->combId, (unsigned long)pComb->pRebuild->remoteTgtId,
                      (unsigned long)migId, (unsigned long)raidTgtId);
            if (pComb->combState == COMB_STATE__FREE) {
                pComb->pRebuild->remoteTgtId = raidTgtId;
            } else if (pComb->combState == COMB_STATE__PRIMARY && pComb->pMigrate != nullptr && migId == raidTgtId) {
                rc = migrationEndable(pComb);
                if (rc == MOS_RC__SUCCESS)
                    endMigrateInter(pComb);
            } else {
                // Only a finished migration's target may become the mirror of a held comb.
                MOS_ERROR(MOS_COMP_TGT_RAID, "Comb %lx (%s) refused new partner %lx: not a finished migration's target",
                          (unsigned long)pComb->combId, raid_CombStateName(pComb->combState),
                          (unsigned long)raidTgtId);
                rc = MOS_RC__WRONG_STATE_TRANS;
            }
        }
        lock.unlock();
        elockComb_UnlockAll(pComb->pElock, TRUE);
        if (rc != MOS_RC__SUCCESS)
            return rc;
        lock.lock();
    }
    if (!bHasMig && pComb->pMigrate != nullptr) {
        lock.unlock();
        (void)raidComb_AbortMigrate(pComb, nullptr);
        lock.lock();
    }
    if (bTPellar)
        pComb->pRebuild->remoteTgtId = raidTgtId;
    pComb->tgtCombCmdGenNum = tgtCombCmdGenNum;
    return MOS_RC__SUCCESS;
}

Mos_RC raidComb_StartMigrate(RaidComb *pComb, const OstrelTgtReq_StartMigrate *pMigCmd)
{
    const RaidHooks *h = raid_Hooks();
    if (pMigCmd->migrateTgtId == h->getOwnTgtId(pComb->pCont))
        return MOS_RC__ERROR;
    if (pMigCmd->copyReason < COPY_TYPE__MIGRATION || pMigCmd->copyReason > COPY_TYPE__MAINT_REBUILD) {
        MOS_ERROR(MOS_COMP_TGT_RAID, "Comb %lx refused migration with copy reason %u", (unsigned long)pComb->combId,
                  pMigCmd->copyReason);
        return MOS_RC__WRONG_STATE_TRANS;
    }
    // Decides under the lock whether the migration can start: SUCCESS to go on.
    auto check = [&]() -> Mos_RC {
        if (!cmdGenAccepted(pComb, pMigCmd->tgtCombCmdGenNum, FALSE))
            return refuseCmdGen(pComb, pMigCmd->tgtCombCmdGenNum);
        if (pComb->pMigrate != nullptr)
            return pComb->pMigrate->remoteTgtId == pMigCmd->migrateTgtId && pComb->pMigrate->copyNum == pMigCmd->copyNum
                       ? MOS_RC__ALREADY_EXISTS
                       : MOS_RC__NOT_READY;
        BOOL bRebuild = raidComb_IsRebuildInProgress(pComb, pComb->pRebuild, FALSE) ||
                        raidComb_IsRebuildInProgress(pComb, pComb->pMaintenance, FALSE);
        if (pMigCmd->primaryTgtGenNum != pComb->combGenNum || bRebuild)
            return bRebuild ? MOS_RC__NOT_READY : MOS_RC__ERROR;
        if (pComb->combState != COMB_STATE__PRIMARY)
            return raidComb_IsMaintRebuild(pComb, FALSE) ? MOS_RC__NOT_READY : MOS_RC__ERROR;
        if (pComb->pMaintenance != nullptr) {
            MOS_ERROR(MOS_COMP_TGT_RAID, "Comb %lx refused migration beside a maintenance partner",
                      (unsigned long)pComb->combId);
            return MOS_RC__WRONG_STATE_TRANS;
        }
        return MOS_RC__SUCCESS;
    };
    {
        RaidCombLock lock(pComb);
        Mos_RC rc = check();
        if (rc != MOS_RC__SUCCESS)
            return rc;
    }
    RaidCon con{};
    if (h->acquireTgtCon(pComb->pCont, pMigCmd->migrateTgtId, &con) != MOS_RC__SUCCESS)
        return MOS_RC__REMOTE_NOT_CONNECTED;
    BOOL bConnected = con.hCon != NET_CON__INVALID_HCON;
    h->releaseTgtCon(pComb->pCont, &con);
    if (!bConnected)
        return MOS_RC__REMOTE_NOT_CONNECTED;
    if (!raidComb_TakeCopyUnits(pComb, RAID_COMB__COPY_WAIT_MILLIS))
        return MOS_RC__NOT_READY;
    RaidCombLock lock(pComb);
    Mos_RC rc = check();
    if (rc != MOS_RC__SUCCESS) {
        lock.unlock();
        raidComb_GiveCopyUnits(pComb, 2);
        return rc;
    }
    pComb->tgtCombCmdGenNum = pMigCmd->tgtCombCmdGenNum;
    RaidCombProt *pSlot = raidComb_OtherSlot(pComb);
    raidCombProt_Init(pSlot, pComb, pMigCmd->migrateTgtId, COMB_RAID_STATE__COPY, RAID_PROT_TYPE__MIGRATE,
                      pMigCmd->copyReason, pMigCmd->copyNum, FALSE);
    pComb->pMigrate = pSlot;
    BOOL bQueued = h->queueCopyJob != nullptr && h->queueCopyJob(pComb->pCont, pComb, pSlot);
    MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_MED, "Add migration job %lx (dit)", (unsigned long)pComb->combId);
    if (!bQueued) {
        // No job can run it: the migration stays until it is aborted; the units come back then.
        pSlot->bAbortCopy = TRUE;
        lock.unlock();
        raidComb_GiveCopyUnits(pComb, 1);
    }
    return MOS_RC__SUCCESS;
}

Mos_RC raidComb_AbortMigrate(RaidComb *pComb, const OstrelTgtReq_AbortMigrate *pMigCmd)
{
    RaidCombLock lock(pComb);
    if (pComb->combState != COMB_STATE__PRIMARY)
        return MOS_RC__ERROR;
    if (pMigCmd != nullptr) {
        Mos_RC rc = raidComb_ValidateCmdGen(pComb, pMigCmd->tgtCombCmdGenNum, FALSE);
        if (rc != MOS_RC__SUCCESS)
            return rc;
    }
    RaidCombProt *pMig = pComb->pMigrate;
    if (pMig == nullptr)
        return MOS_RC__MIGRATE_NOT_FOUND;
    if (pMig->bAbortCopy)
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Received abort migrate on comb %lx after it was already marked as aborted. %s",
                  (unsigned long)pComb->combId,
                  pMig->bOstrelAbortMigrate ? "Ostrel already asked for an abort" : "All previous aborts were internal");
    pMig->bAbortCopy = TRUE;
    pMig->bOstrelAbortMigrate = TRUE;
    const RaidHooks *h = raid_Hooks();
    if (h->raiseCopyPriority != nullptr)
        h->raiseCopyPriority(pComb->pCont, pComb, pMig);
    pMig->bNotificationNeeded = FALSE;
    pMig->ostrelStateCounter++;
    pMig->combRaidState = COMB_RAID_STATE__DEGRADED_REMOTE_ERROR;
    pComb->pMigrate = nullptr;
    lock.unlock();
    raidComb_GiveCopyUnits(pComb, 1);
    return MOS_RC__SUCCESS;
}

Mos_RC raidComb_EndMigrate(RaidComb *pComb, const OstrelTgtReq_EndMigrate *pMigCmd)
{
    elockComb_LockAll(pComb->pElock, TRUE);
    Mos_RC rc;
    {
        RaidCombLock lock(pComb);
        rc = raidComb_ValidateCmdGen(pComb, pMigCmd->tgtCombCmdGenNum, FALSE);
        if (rc != MOS_RC__SUCCESS) {
        } else if (pComb->combState != COMB_STATE__PRIMARY) {
            rc = MOS_RC__ERROR;
        } else if (pComb->pMigrate == nullptr) {
            TgtId remote = pComb->pRebuild->remoteTgtId;
            if (remote == pMigCmd->newSecondaryTgt) {
                rc = MOS_RC__MIGRATE_COMPLETED;
            } else {
                MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "CombId: %lx remote: %lx != newSecondary: %lx",
                          (unsigned long)pComb->combId, (unsigned long)remote,
                          (unsigned long)pMigCmd->newSecondaryTgt);
                rc = remote == pMigCmd->oldSecondaryTgt ? MOS_RC__MIGRATE_NOT_FOUND : MOS_RC__ERROR;
            }
        } else {
            RaidCombProt *pMig = pComb->pMigrate;
            if (pMigCmd->primaryTgtGenNum == pComb->combGenNum && pMigCmd->copyNum == pMig->copyNum &&
                pMigCmd->newSecondaryTgt == pMig->remoteTgtId &&
                pMigCmd->oldSecondaryTgt == pComb->pRebuild->remoteTgtId) {
                rc = migrationEndable(pComb);
                if (rc == MOS_RC__SUCCESS)
                    endMigrateInter(pComb);
                else
                    MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Comb %lx migration to %lx not done (state 0x%x)",
                              (unsigned long)pComb->combId, (unsigned long)pMig->remoteTgtId, pMig->combRaidState);
            } else {
                MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW,
                          "CombId: %lx primartyTgtGenNum: %lx=>%lx copyNum: %u => %u newSecondary: %lx=>%lx "
                          "oldSecondary: %lx=>%lx",
                          (unsigned long)pComb->combId, (unsigned long)pComb->combGenNum,
                          (unsigned long)pMigCmd->primaryTgtGenNum, (unsigned)pMig->copyNum,
                          (unsigned)pMigCmd->copyNum, (unsigned long)pMig->remoteTgtId,
                          (unsigned long)pMigCmd->newSecondaryTgt, (unsigned long)pComb->pRebuild->remoteTgtId,
                          (unsigned long)pMigCmd->oldSecondaryTgt);
                rc = MOS_RC__ERROR;
            }
        }
    }
    elockComb_UnlockAll(pComb->pElock, TRUE);
    return rc;
}

Mos_RC raidComb_AbortRebuild(RaidComb *pComb, RaidCombProt *pProt)
{
    RaidCombLock lock(pComb);
    if (!raidComb_IsRebuildInProgress(pComb, pProt, FALSE))
        return MOS_RC__NOT_FOUND;
    raidComb_AbortRebuildIntr(pComb, pProt);
    return MOS_RC__SUCCESS;
}
