// Write errors (with the Ostrel's degrade permit), the comb-state notification to the Ostrel and
// the end of a copy.
#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_timer.h"
#include "mos/mos_trace.h"
#include "mos/umt/mos_umt.h"
#include "tgt/raid/raid_comb.h"
#include "tgt/raid/raid_comb_intrn.h"
#include "tgt/tgt_conf.h"

namespace {

enum class Permit { GRANTED, ABORTED, RETRY };

BOOL mayDegrade(BOOL bTrim, Mos_RC rc)
{
    return !bTrim && rc != MOS_RC__IO_FAULT_NO_SPACE && rc != MOS_RC__LOGICAL_BLOCK_CHECK_GUARD_FAILED;
}

// The state a remote failure leads to once the partner may be dropped.
UINT32 droppedState(const RaidCombProt *pProt)
{
    return pProt->copyReason == COPY_TYPE__REVERSE_REBUILD ? (UINT32)COMB_RAID_STATE__MM_DEGRADED
                                                           : (UINT32)COMB_RAID_STATE__DEGRADED_REMOTE_ERROR;
}

void abortCopyOnError(RaidComb *pComb, RaidCombProt *pProt)
{
    raidComb_AbortRebuildIntr(pComb, pProt);
    pProt->bAbortCopy = TRUE;
    pProt->bCopyError = TRUE;
}

struct WriteErrorCase {
    BOOL localOk, remoteOk, bSecSent, bTrim, bPrimary;
    Permit permit;
    Mos_RC localRc, remoteRc;
};

// The table of write errors: the new state (or the present one) and whether the write fails.
UINT32 decideWriteError(RaidComb *pComb, RaidCombProt *pProt, const WriteErrorCase &c, BOOL *pbFail)
{
    const UINT32 s = pProt->combRaidState;
    const BOOL aborted = c.permit == Permit::ABORTED;
    const BOOL granted = c.permit == Permit::GRANTED;
    const BOOL normBackAborted = pProt->copyReason == COPY_TYPE__NORM_BACK_REBUILD && aborted;
    *pbFail = TRUE;
    switch (s) {
    case COMB_RAID_STATE__NORMAL:
    case COMB_RAID_STATE__NORMAL_NEED_REBUILD:
        if (c.localOk && !aborted) {
            if (c.remoteOk) {
                *pbFail = FALSE;
                return s;
            }
            if (mayDegrade(c.bTrim, c.remoteRc) && granted) {
                *pbFail = FALSE;
                return COMB_RAID_STATE__DEGRADED_REMOTE_ERROR;
            }
            return COMB_RAID_STATE__NORMAL_NEED_REBUILD;
        }
        if (mayDegrade(c.bTrim, c.localRc))
            return COMB_RAID_STATE__DEGRADED_LOCAL_ERROR;
        return c.bPrimary && c.bSecSent ? (UINT32)COMB_RAID_STATE__NORMAL_NEED_REBUILD : s;
    case COMB_RAID_STATE__DEGRADED_LOCAL_ERROR:
    case COMB_RAID_STATE__MM_DEGRADED:
        return s;
    case COMB_RAID_STATE__COPY:
    case COMB_RAID_STATE__COPY_STARTED:
    case COMB_RAID_STATE__COPY_ERROR:
        if (c.localOk && !normBackAborted) {
            if (c.remoteOk) {
                *pbFail = FALSE;
                return s;
            }
            if (granted && mayDegrade(c.bTrim, c.remoteRc)) {
                UINT32 to = droppedState(pProt);
                *pbFail = to == COMB_RAID_STATE__MM_DEGRADED;
                return to;
            }
            if (s != COMB_RAID_STATE__COPY_ERROR)
                abortCopyOnError(pComb, pProt);
            return s;
        }
        if (mayDegrade(c.bTrim, c.localRc))
            return COMB_RAID_STATE__DEGRADED_LOCAL_ERROR;
        if (s != COMB_RAID_STATE__COPY_ERROR)
            abortCopyOnError(pComb, pProt);
        return s;
    case COMB_RAID_STATE__COPY_DONE:
        if (!c.localOk || normBackAborted)
            return c.bSecSent ? (UINT32)COMB_RAID_STATE__DEGRADED_LOCAL_ERROR : s;
        if (c.remoteOk) {
            *pbFail = FALSE;
            return s;
        }
        // Only the Ostrel's permit drops a partner, whatever the copy reached.
        if (granted && mayDegrade(c.bTrim, c.remoteRc)) {
            UINT32 to = droppedState(pProt);
            *pbFail = to == COMB_RAID_STATE__MM_DEGRADED;
            return to;
        }
        return s;
    case COMB_RAID_STATE__DEGRADED_REMOTE_ERROR:
        if (c.localOk) {
            *pbFail = FALSE;
            return s;
        }
        return mayDegrade(c.bTrim, c.localRc) ? (UINT32)COMB_RAID_STATE__DEGRADED_LOCAL_ERROR : s;
    case COMB_RAID_STATE__MM_NORMAL:
    case COMB_RAID_STATE__MM_DIFF_SYNC:
        if (c.localOk && !aborted) {
            if (c.remoteOk) {
                *pbFail = FALSE;
                return s;
            }
            return granted && mayDegrade(c.bTrim, c.remoteRc) ? (UINT32)COMB_RAID_STATE__MM_DEGRADED : s;
        }
        if (!c.bPrimary)
            return COMB_RAID_STATE__DEGRADED_LOCAL_ERROR;
        return c.bSecSent ? (UINT32)COMB_RAID_STATE__MM_DEGRADED : s;
    default:
        // A partnership the Ostrel has just made unknown: nothing is decided on it.
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Unexpected comb state %lx raid state 0x%x",
                  (unsigned long)pComb->combId, s);
        return s;
    }
}

Mos_RC sendCombStateRecord(Cont *pCont, RaidComb *pComb, const RaidCombProt *pProt, CombGenNum gen, UINT16 cmdGen,
                           UINT32 raidState, UINT32 protType)
{
    const RaidHooks *h = raid_Hooks();
    OstrelTgtReq_UpdateCombState rec{};
    rec.combId = pComb->combId;
    rec.primaryTgtGenNum = gen;
    rec.primaryTgtId = h->getOwnTgtId(pCont);
    rec.raidState.raidTgtId = pProt->remoteTgtId;
    rec.raidState.state = raidState;
    rec.raidState.protType = protType;
    rec.tgtCombCmdGenNum = cmdGen;
    rec.copyNum = pProt->copyNum;
    return h->sendOstrelRequest(pCont, OSTREL_MSG_TYPE__UPDATE_COMB_STATE, &rec, sizeof(rec));
}

} // namespace

Mos_RC raidComb_CheckDegradePermit(RaidComb *pComb, TgtId remoteTgtId, Mos_RC remoteRc)
{
    const RaidHooks *h = raid_Hooks();
    Mos_RC rc = h->checkDegradePermit(pComb->pCont, remoteTgtId);
    MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW,
              "[DEGRADE permit request] combId=%lx priTgtId=%016lx secTgtId=%016lx response=%s",
              (unsigned long)pComb->combId, (unsigned long)h->getOwnTgtId(pComb->pCont), (unsigned long)remoteTgtId,
              raid_RcName(rc));
    (void)remoteRc;
    return rc;
}

RaidWriteErrorResult raidComb_UpdateWriteError(RaidComb *pComb, RaidCombProt *pProt, Mos_RC localRc, Mos_RC remoteRc,
                                               BOOL bSecondaryWriteSent, BOOL bTrim)
{
    MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Write error comb %lx, raid state 0x%x, local rc %s, remote rc %s",
              (unsigned long)pComb->combId, pProt->combRaidState, raid_RcName(localRc), raid_RcName(remoteRc));
    WriteErrorCase c{};
    c.localOk = localRc == MOS_RC__SUCCESS;
    c.remoteOk = remoteRc == MOS_RC__SUCCESS;
    c.bSecSent = bSecondaryWriteSent;
    c.bTrim = bTrim;
    c.localRc = localRc;
    c.remoteRc = remoteRc;
    c.permit = Permit::GRANTED;
    // Every remote failure that could drop the partner asks the Ostrel first, refusals of
    // generation or role included: a copy the Ostrel still counts on is never dropped alone.
    if (!c.remoteOk && mayDegrade(bTrim, remoteRc)) {
        TgtId remote;
        {
            RaidCombLock lock(pComb);
            remote = pProt->remoteTgtId;
        }
        Mos_RC permitRc = raidComb_CheckDegradePermit(pComb, remote, remoteRc);
        c.permit = permitRc == MOS_RC__SUCCESS   ? Permit::GRANTED
                   : permitRc == MOS_RC__ABORTED ? Permit::ABORTED
                                                 : Permit::RETRY;
    } else if (!c.remoteOk) {
        c.permit = Permit::RETRY;
    }
    RaidCombLock lock(pComb);
    c.bPrimary = pComb->combState == COMB_STATE__PRIMARY;
    BOOL bFail = TRUE;
    UINT32 to = decideWriteError(pComb, pProt, c, &bFail);
    if ((to == COMB_RAID_STATE__DEGRADED_REMOTE_ERROR || to == COMB_RAID_STATE__MM_DEGRADED) && !c.bPrimary)
        to = pProt->combRaidState, bFail = TRUE; // only a primary drops a partner
    raidComb_SetCombState(pComb, pProt, to, TRUE);
    RaidWriteErrorResult res{};
    res.rc = bFail || !(c.localOk || c.remoteOk) ? MOS_RC__IO_HARD_ERROR : MOS_RC__SUCCESS;
    res.raidState = pProt->combRaidState;
    res.protType = pProt->protType;
    return res;
}

// ---- notifications ----

Mos_RC raidComb_SendOstrelCombState(Cont *pCont, RaidComb *pComb, RaidCombProt *pProt, CombGenNum gen, UINT16 cmdGen,
                                    UINT32 raidState, UINT32 protType)
{
    UINT64 lastError = std::atomic_ref<UINT64>(pProt->ostrelNotifLastError).load();
    mosUmtRWLock_AcquireWriteLock(&pComb->combOstrelNotifyLock);
    RaidCombLock lock(pComb);
    const UINT32 curState = pProt->combRaidState;
    const CHAR_A *curType = raid_ProtTypeName(pProt->protType);
    Mos_RC rc = MOS_RC__SUCCESS;
    if (!raidComb_IsCombStateNotificationNeeded(pComb, pProt, gen, cmdGen)) {
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_HIGH,
                  "Send Comb State ended, no need to send %lx, current comb gen %lu current tgtCombGen %u, comb gen to "
                  "send %lu tgtCombGen to send %u, current raidState 0x%x, current raidType %s, raidState to send "
                  "0x%x, raidType to send %s\n",
                  (unsigned long)pComb->combId, (unsigned long)pComb->combGenNum, (unsigned)pComb->tgtCombCmdGenNum,
                  (unsigned long)gen, (unsigned)cmdGen, curState, curType, raidState, raid_ProtTypeName(protType));
    } else if (lastError != pProt->ostrelNotifLastError) {
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_MED,
                  "Send Comb State ended, with error %lx, current comb gen %lu current tgtCombGen %u, comb gen to send "
                  "%lu tgtCombGen to send %u, current raidState 0x%x, current raidType %s, raidState to send 0x%x, "
                  "raidType to send %s\n",
                  (unsigned long)pComb->combId, (unsigned long)pComb->combGenNum, (unsigned)pComb->tgtCombCmdGenNum,
                  (unsigned long)gen, (unsigned)cmdGen, curState, curType, raidState, raid_ProtTypeName(protType));
        rc = MOS_RC__ERROR;
    } else if (!raidComb_DoesOstrelNeedThisStateNotification(pComb, raidState)) {
        if (raidState == curState && protType == pProt->protType)
            pProt->bNotificationNeeded = FALSE;
        else
            rc = MOS_RC__ERROR;
    } else {
        UINT64 counter = pProt->ostrelStateCounter;
        lock.unlock();
        rc = sendCombStateRecord(pCont, pComb, pProt, gen, cmdGen, raidState, protType);
        lock.lock();
        if (rc != MOS_RC__SUCCESS) {
            pProt->ostrelNotifLastError++;
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW,
                      "Failed to send Comb State, a new try is needed %lx, current comb gen %lu current tgtCombGen %u, "
                      "comb gen that was sent %lu tgtCombGen that was sent %u, tgt %016lx, current raidState 0x%x, "
                      "current raidType %s, raidState to send 0x%x, raidType to send %src %s\n",
                      (unsigned long)pComb->combId, (unsigned long)pComb->combGenNum,
                      (unsigned)pComb->tgtCombCmdGenNum, (unsigned long)gen, (unsigned)cmdGen,
                      (unsigned long)pProt->remoteTgtId, pProt->combRaidState, raid_ProtTypeName(pProt->protType),
                      raidState, raid_ProtTypeName(protType), raid_RcName(rc));
        } else if (counter == pProt->ostrelStateCounter) {
            pProt->bNotificationNeeded = FALSE;
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_MED,
                      "Send Comb State done %lx, current comb gen %lu current tgtCombGen %u, comb gen that was sent %lu "
                      "tgtCombGen that was sent %u, current raidState 0x%x, current raidType %s, raidState to send "
                      "0x%x, raidType to send %s\n",
                      (unsigned long)pComb->combId, (unsigned long)pComb->combGenNum,
                      (unsigned)pComb->tgtCombCmdGenNum, (unsigned long)gen, (unsigned)cmdGen, pProt->combRaidState,
                      raid_ProtTypeName(pProt->protType), raidState, raid_ProtTypeName(protType));
        } else {
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_MED,
                      "Send Comb State ended, a new try is needed %lx, current comb gen %lu current tgtCombGen %u, comb "
                      "gen that was sent %lu tgtCombGen that was sent %u, tgt %016lx, current raidState 0x%x, current "
                      "raidType %s, raidState to send 0x%x, raidType to send %s\n",
                      (unsigned long)pComb->combId, (unsigned long)pComb->combGenNum,
                      (unsigned)pComb->tgtCombCmdGenNum, (unsigned long)gen, (unsigned)cmdGen,
                      (unsigned long)pProt->remoteTgtId, pProt->combRaidState, raid_ProtTypeName(pProt->protType),
                      raidState, raid_ProtTypeName(protType));
        }
    }
    lock.unlock();
    mosUmtRWLock_ReleaseWriteLock(&pComb->combOstrelNotifyLock);
    return rc;
}

Mos_RC raidComb_SendOstrelCombStateIfNeeded(Cont *pCont, RaidComb *pComb, RaidCombProt *pProt, CombGenNum gen,
                                            UINT16 cmdGen, UINT32 raidState, UINT32 protType)
{
    Mos_RC rc = MOS_RC__SUCCESS;
    for (UINT32 attempt = 0; attempt < RAID_COMB__MAX_OSTREL_SEND_ATTEMPTS; attempt++) {
        {
            RaidCombLock lock(pComb);
            if (!raidComb_IsCombStateNotificationNeeded(pComb, pProt, gen, cmdGen))
                return MOS_RC__SUCCESS;
        }
        rc = raidComb_SendOstrelCombState(pCont, pComb, pProt, gen, cmdGen, raidState, protType);
        if (rc == MOS_RC__SUCCESS)
            return rc;
    }
    return rc;
}

void raidComb_UpdateOstrel(RaidComb *pComb)
{
    for (RaidCombProt &prot : pComb->protState) {
        CombGenNum gen;
        UINT16 cmdGen;
        UINT32 state, type;
        {
            RaidCombLock lock(pComb);
            gen = pComb->combGenNum;
            cmdGen = pComb->tgtCombCmdGenNum;
            state = prot.combRaidState;
            type = prot.protType;
        }
        (void)raidComb_SendOstrelCombStateIfNeeded(pComb->pCont, pComb, &prot, gen, cmdGen, state, type);
    }
}

Mos_RC raidComb_SendOstrelMigState(Cont *pCont, RaidComb *pComb, RaidCombProt *pMigrate)
{
    CombGenNum gen;
    UINT16 cmdGen;
    UINT32 state, type;
    {
        RaidCombLock lock(pComb);
        if (pMigrate->bOstrelAbortMigrate)
            return MOS_RC__SUCCESS;
        gen = pComb->combGenNum;
        cmdGen = pComb->tgtCombCmdGenNum;
        state = pMigrate->combRaidState;
        type = pMigrate->protType;
    }
    Mos_RC rc = sendCombStateRecord(pCont, pComb, pMigrate, gen, cmdGen, state, type);
    if (rc == MOS_RC__ERROR || rc == MOS_RC__RETRY || rc == MOS_RC__TIMEOUT) {
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Comb %lx, rc is %s (dit)", (unsigned long)pComb->combId,
                  raid_RcName(rc));
        rc = MOS_RC__TIMEOUT;
    }
    return rc;
}

// ---- end of a copy ----

namespace {

void updateCopyStatus(Cont *pCont, RaidComb *pComb, RaidCombProt *pProt, BOOL bDone, UINT32 keepMask, BOOL bMaint)
{
    CombGenNum gen;
    UINT16 cmdGen;
    UINT32 state, type;
    {
        RaidCombLock lock(pComb);
        UINT32 s = pProt->combRaidState;
        if (s == COMB_RAID_STATE__COPY || s == COMB_RAID_STATE__COPY_STARTED) {
            if (bDone && !pProt->bCopyError) {
                MOS_ASSERT(s == COMB_RAID_STATE__COPY_STARTED);
                raidComb_SetCombState(pComb, pProt, COMB_RAID_STATE__COPY_DONE, TRUE);
            } else {
                raidComb_SetCombState(pComb, pProt, COMB_RAID_STATE__COPY_ERROR, TRUE);
            }
        } else if ((s & keepMask) == 0) {
            if (bMaint)
                MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW,
                          "Rebuild wrong raid state for maint comb %lx state %u raid state %u (dit)",
                          (unsigned long)pComb->combId, pComb->combState, s);
            else
                MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Rebuild wrong raid state %lx state %u raid state %u (dit)",
                          (unsigned long)pComb->combId, pComb->combState, s);
            // The Ostrel may move a partnership while its copy runs (a set-state to NORMAL or
            // UNKNOWN_IN_TGT stops the copy at its next range): its state stands and is reported.
        }
        pComb->bRebuildRunning = FALSE;
        gen = pComb->combGenNum;
        cmdGen = pComb->tgtCombCmdGenNum;
        state = pProt->combRaidState;
        type = pProt->protType;
    }
    (void)raidComb_SendOstrelCombState(pCont, pComb, pProt, gen, cmdGen, state, type);
}

} // namespace

void raidRebuild_UpdateRebuildStatus(Cont *pCont, RaidComb *pComb, BOOL bRebuildDone)
{
    updateCopyStatus(pCont, pComb, pComb->pRebuild, bRebuildDone,
                     COMB_RAID_STATE__DEGRADED_REMOTE_ERROR | COMB_RAID_STATE__DEGRADED_LOCAL_ERROR |
                         COMB_RAID_STATE__NORMAL_NEED_REBUILD,
                     FALSE);
}

void raidMaintRebuild_UpdateRebuildStatus(Cont *pCont, RaidComb *pComb, BOOL bRebuildDone)
{
    MOS_ASSERT(pComb->pMaintenance != nullptr);
    updateCopyStatus(pCont, pComb, pComb->pMaintenance, bRebuildDone,
                     COMB_RAID_STATE__DEGRADED_REMOTE_ERROR | COMB_RAID_STATE__DEGRADED_LOCAL_ERROR |
                         COMB_RAID_STATE__MM_DEGRADED,
                     TRUE);
}

void raidMigrate_UpdateMigrateStatus(Cont *pCont, RaidComb *pComb, BOOL bMigrateDone, UINT32 offsetReached)
{
    RaidCombProt *pMig;
    {
        RaidCombLock lock(pComb);
        pMig = pComb->pMigrate;
        if (pMig == nullptr)
            return; // aborted meanwhile
        UINT32 s = pMig->combRaidState;
        if (s == COMB_RAID_STATE__COPY || s == COMB_RAID_STATE__COPY_STARTED) {
            if (bMigrateDone && !pMig->bCopyError) {
                pMig->combRaidState = COMB_RAID_STATE__COPY_DONE;
                MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Migrate comb %lx to tgt %lx done successfully (dit)",
                          (unsigned long)pComb->combId, (unsigned long)pMig->remoteTgtId);
            } else {
                pMig->combRaidState = COMB_RAID_STATE__COPY_ERROR;
                MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Migrate comb %lx to tgt %lx done with error, (%x) (dit)",
                          (unsigned long)pComb->combId, (unsigned long)pMig->remoteTgtId, offsetReached);
            }
        } else if (s != COMB_RAID_STATE__DEGRADED_REMOTE_ERROR && s != COMB_RAID_STATE__DEGRADED_LOCAL_ERROR) {
            MOS_UNREACHABLE("a migration ends from a copy state or a degraded one");
        }
    }
    while (raidComb_SendOstrelMigState(pCont, pComb, pMig) == MOS_RC__TIMEOUT) {
        {
            RaidCombLock lock(pComb);
            if (pComb->pMigrate != pMig || pMig->bAbortCopy)
                return;
        }
        mosUmt_SleepByQ(MOS_TIMER_QUEUE_ID__1SEC);
    }
}
