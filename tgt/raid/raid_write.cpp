// The mirrored write and trim of one tooth range: local copy, partners' legs, retries, write errors
// and the clearing of dirty marks.
#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_ticks.h"
#include "mos/mos_timer.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"
#include "mos/umt/mos_umt.h"
#include "tgt/ioh/ioh_msg.h"
#include "tgt/raid/raid_comb_intrn.h"
#include "tgt/raid/raid_io.h"
#include "tgt/tgt_conf.h"

namespace {

constexpr UINT32 kToothLbs = TOOTH_SIZE_LB;

// One partner's leg of a write or trim (slot i serves protState[i]).
struct RemoteAction {
    RaidRpc msg;
    union {
        TgtReq_IoWriteSec write;
        TgtReq_TrimSec trim;
    } req;
    RaidCon con;
    UINT32 protType;
    Mos_RC remoteRc;
    TgtId remoteTgtId;
    CombGenNum combGenOnIOStart;
    UINT16 tgtCombGenOnIoStart;
    BOOL bActionNeeded;
    BOOL bActionDone;
    BOOL bNotReachable;
    BOOL bToothWriteNeeded;
    BOOL bToothReadNeeded;
    BOOL bConnected;
    BOOL bPermitted; // the Ostrel allowed dropping this partner
    BOOL bInFlight;  // sent, answer not collected
    UINT8 *pToothBuf; // a whole tooth to send instead of the range
};

struct WriteCtx {
    RaidComb *pComb;
    const IohCombWrite *pW;
    BOOL bPrimary;
    BOOL bTrim;
    UINT32 toothInComb;
    UINT32 offsetInTooth;
    RemoteAction actions[RAID_PROT_COUNT];
    BOOL bSecondaryWriteSent;
    BOOL bHasMaint;
};

UINT32 randId() { return (UINT32)mosTicks_GetCurrentTick() * 2654435761u; }

void setDirtyBit(RaidComb *pComb, UINT32 toothInComb)
{
    std::atomic_ref<UINT8>(pComb->dirtyArray[toothInComb / 8]).fetch_or((UINT8)(0x80u >> (toothInComb % 8)));
}

// Marks the range dirty in the log of drlType (two tries); the device's write error otherwise.
Mos_RC setDirtyForIO(RaidComb *pComb, PhyToothIndex toothIndex, UINT32 offsetInComb, UINT32 sizeInLbs, UINT32 drlType)
{
    for (UINT32 i = 0; i < RAID_COMB__MAX_LOCAL_RETRY; i++) {
        if (phyComb_SetDirty(&pComb->phyComb, toothIndex, drlType, offsetInComb % kToothLbs, sizeInLbs)) {
            setDirtyBit(pComb, offsetInComb / kToothLbs);
            return MOS_RC__SUCCESS;
        }
    }
    if (pComb->pContDev != nullptr)
        raid_Hooks()->devWriteError(pComb->pContDev);
    return MOS_RC__IO_HARD_ERROR;
}

BOOL slotNeedsLeg(UINT32 s)
{
    return raidState_In(s, COMB_RAID_STATE__NORMAL | COMB_RAID_STATE__COPY | COMB_RAID_STATE__COPY_STARTED |
                               COMB_RAID_STATE__COPY_DONE | COMB_RAID_STATE__NORMAL_NEED_REBUILD |
                               COMB_RAID_STATE__COPY_ERROR | COMB_RAID_STATE__MM_NORMAL |
                               COMB_RAID_STATE__MM_DIFF_SYNC);
}

// Which partners receive this write, and their requests (caller holds combFastLock).
void determineRemoteActions(WriteCtx *c)
{
    RaidComb *pComb = c->pComb;
    const IohCombWrite *w = c->pW;
    for (UINT32 i = 0; i < RAID_PROT_COUNT; i++) {
        RaidCombProt *p = &pComb->protState[i];
        RemoteAction *a = &c->actions[i];
        a->protType = p->protType;
        a->remoteRc = MOS_RC__SUCCESS;
        if (!p->bIsProtValid || p->protType == RAID_PROT_TYPE__NONE || !slotNeedsLeg(p->combRaidState))
            continue;
        if (p != pComb->pRebuild && p != pComb->pMaintenance && p != pComb->pMigrate)
            continue;
        a->bActionNeeded = TRUE;
        a->remoteTgtId = p->remoteTgtId;
        a->combGenOnIOStart = pComb->combGenNum;
        a->tgtCombGenOnIoStart = pComb->tgtCombCmdGenNum;
        if (p == pComb->pMaintenance && !c->bTrim && w->sizeInLbs < kToothLbs) {
            if (raidComb_IsMaintNormal(pComb, FALSE) || raidComb_IsMaintRebuild(pComb, FALSE))
                a->bToothWriteNeeded = TRUE;
            else if (raidComb_IsReverseRebuild(pComb, FALSE))
                a->bToothReadNeeded = TRUE;
        }
        if (c->bTrim) {
            MOS_ASSERT(w->tooth.time != 0);
            a->req.trim.combId = pComb->combId;
            a->req.trim.combGenNum = pComb->combGenNum;
            a->req.trim.devVto = VtoOnDev{w->tooth.vtoId, w->tooth.time};
            a->req.trim.offsetInComb = w->offsetInComb;
            a->req.trim.randId = randId();
        } else {
            TgtReq_IoWriteSec &r = a->req.write;
            r.combId = pComb->combId;
            r.sizeInLbs = w->sizeInLbs;
            r.offsetInComb = w->offsetInComb;
            r.combGenNum = pComb->combGenNum;
            r.copyReason = COPY_TYPE__NONE;
            r.devVto = VtoOnDev{w->tooth.vtoId, w->tooth.time};
            r.flags = (w->pDif != nullptr && !w->wrIoFlags.bZeroWrite) ? TGT_IO_WR__T10DIF_ATTACHED : 0;
            r.volId = 0;
            r.randId = randId();
        }
    }
    c->bHasMaint = pComb->pMaintenance != nullptr;
}

// The maintenance partner's whole-tooth write is dropped when its copy already has the tooth.
void determineSingleMaintAction(WriteCtx *c, RemoteAction *a)
{
    RaidComb *pComb = c->pComb;
    RaidCombProt *pMaint = pComb->pMaintenance;
    if (pMaint == nullptr || !a->bToothWriteNeeded)
        return;
    if (pMaint->bMutualOrDrls) {
        if (phyComb_MutualOrActiveRebuild(&pComb->phyComb)) {
            RaidCombLock lock(pComb);
            pMaint->bMutualOrDrls = FALSE;
        }
        return;
    }
    PhyToothIndex t = c->pW->tooth.dstToothIndex;
    if (phyComb_IsRangeClean(&pComb->phyComb, t, PHY_DEV_DRL_TYPE__REBUILD, 0, kToothLbs) &&
        !phyComb_IsRangeClean(&pComb->phyComb, t, PHY_DEV_DRL_TYPE__ACTIVE, 0, kToothLbs))
        a->bToothWriteNeeded = FALSE;
}

void acquireCons(WriteCtx *c)
{
    const RaidHooks *h = raid_Hooks();
    for (RemoteAction &a : c->actions) {
        if (!a.bActionNeeded)
            continue;
        if (h->acquireTgtCon(c->pComb->pCont, a.remoteTgtId, &a.con) == MOS_RC__SUCCESS)
            a.bConnected = a.con.hCon != NET_CON__INVALID_HCON;
        a.bNotReachable = a.bConnected && a.con.bNotReachable;
        if (!a.bConnected || a.bNotReachable) {
            a.remoteRc = MOS_RC__IO_NET_ERROR;
            h->logNetHiccup(c->pComb->pCont, a.remoteTgtId);
        }
    }
}

void releaseCons(WriteCtx *c)
{
    for (RemoteAction &a : c->actions) {
        if (a.bConnected)
            raid_Hooks()->releaseTgtCon(c->pComb->pCont, &a.con);
        if (a.pToothBuf != nullptr)
            mos_FreePageAligned(a.pToothBuf);
        a.pToothBuf = nullptr;
    }
}

// A partner that cannot be reached before anything is written: the permit first. RETRY ends the
// write before any data moves.
Mos_RC acquirePermits(WriteCtx *c)
{
    BOOL bAnyFailed = FALSE;
    for (RemoteAction &a : c->actions)
        bAnyFailed |= a.bActionNeeded && a.remoteRc != MOS_RC__SUCCESS;
    if (!bAnyFailed)
        return MOS_RC__SUCCESS;
    RaidComb *pComb = c->pComb;
    MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW,
              "(combId=%lx) peer is unreachable (rc=%s), attempting to acquire degrade permits",
              (unsigned long)pComb->combId, raid_RcName(MOS_RC__IO_NET_ERROR));
    for (RemoteAction &a : c->actions) {
        if (!a.bActionNeeded || (a.bConnected && !a.bNotReachable))
            continue;
        Mos_RC rc = raidComb_CheckDegradePermit(pComb, a.remoteTgtId, MOS_RC__IO_NET_ERROR);
        if (rc == MOS_RC__SUCCESS) {
            a.bPermitted = TRUE;
            continue;
        }
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "(combId=%lx) peer is unreachable and degrade permit denied (rc=%s)",
                  (unsigned long)pComb->combId, raid_RcName(rc));
        if (rc != MOS_RC__ABORTED) {
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "(combId=%lx) acquire failed, aborting",
                      (unsigned long)pComb->combId);
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "(combId=%lx offsetInComb=%u) Acquire failed (rc=%s)",
                      (unsigned long)pComb->combId, c->pW->offsetInComb, raid_RcName(rc));
            return MOS_RC__IO_HARD_ERROR;
        }
    }
    return MOS_RC__SUCCESS;
}

BOOL legDue(const RemoteAction &a)
{
    return a.bActionNeeded && !a.bActionDone && a.bConnected && !a.bNotReachable && a.remoteRc == MOS_RC__SUCCESS;
}

// The whole tooth for a maintenance partner: the local tooth with the new range over it.
Mos_RC buildToothOverlay(WriteCtx *c, RemoteAction *a)
{
    const IohCombWrite *w = c->pW;
    size_t bytes = (size_t)kToothLbs * 512;
    a->pToothBuf = static_cast<UINT8 *>(mos_AllocPageAligned(bytes));
    if (a->pToothBuf == nullptr)
        return MOS_RC__NO_RESOURCES;
    UINT32 toothStart = w->offsetInComb - c->offsetInTooth;
    RdIoFlags rd{};
    rd.bLocalOnly = TRUE;
    Mos_RC rc = phyComb_ReadTooth(&c->pComb->phyComb, a->pToothBuf, nullptr, w->tooth.dstToothIndex, 0, kToothLbs,
                                  w->copyReason, rd, toothStart);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    if (w->pData != nullptr && !w->wrIoFlags.bZeroWrite)
        memcpy(a->pToothBuf + (size_t)c->offsetInTooth * 512, w->pData, (size_t)w->sizeInLbs * 512);
    else
        memset(a->pToothBuf + (size_t)c->offsetInTooth * 512, 0, (size_t)w->sizeInLbs * 512);
    a->req.write.offsetInComb = toothStart;
    a->req.write.sizeInLbs = kToothLbs;
    a->req.write.flags = 0;
    return MOS_RC__SUCCESS;
}

// The partner's whole tooth with the new range over it (reverse rebuild): FALSE drops the leg.
BOOL buildRemoteOverlay(WriteCtx *c, RemoteAction *a)
{
    const IohCombWrite *w = c->pW;
    a->pToothBuf = static_cast<UINT8 *>(mos_AllocPageAligned((size_t)kToothLbs * 512));
    if (a->pToothBuf == nullptr) {
        a->remoteRc = MOS_RC__NO_RESOURCES;
        return FALSE;
    }
    UINT32 toothStart = w->offsetInComb - c->offsetInTooth;
    Mos_RC rc = raidComb_ReadFromRemote(c->pComb->pCont, c->pComb, a->remoteTgtId, a->pToothBuf, nullptr,
                                        w->tooth.vtoId, w->tooth.time, toothStart, kToothLbs,
                                        a->combGenOnIOStart);
    if (rc == MOS_RC__IO_ZERO_BUF) {
        a->bActionNeeded = FALSE; // nothing there to merge with
        return FALSE;
    }
    if (rc != MOS_RC__SUCCESS) {
        a->remoteRc = rc;
        return FALSE;
    }
    memcpy(a->pToothBuf + (size_t)c->offsetInTooth * 512, w->pData, (size_t)w->sizeInLbs * 512);
    a->req.write.offsetInComb = toothStart;
    a->req.write.sizeInLbs = kToothLbs;
    a->req.write.flags = 0;
    return TRUE;
}

void sendLegs(WriteCtx *c)
{
    const RaidHooks *h = raid_Hooks();
    RaidComb *pComb = c->pComb;
    const IohCombWrite *w = c->pW;
    for (RemoteAction &a : c->actions) {
        if (!legDue(a))
            continue;
        RaidRpc &m = a.msg;
        m = RaidRpc{};
        if (c->bTrim) {
            m.msgType = TGT_MSG_TYPE__TRIM_SEC;
            m.grpId = RAID__RECV_GROUP__TGT_IO_MAIN;
            m.pRec = &a.req.trim;
            m.recLen = sizeof(a.req.trim);
        } else {
            if (a.bToothReadNeeded && a.pToothBuf == nullptr && !buildRemoteOverlay(c, &a))
                continue;
            if (a.bToothWriteNeeded && a.pToothBuf == nullptr) {
                Mos_RC rc = buildToothOverlay(c, &a);
                if (rc != MOS_RC__SUCCESS) {
                    a.remoteRc = rc;
                    continue;
                }
            }
            BOOL bWhole = a.pToothBuf != nullptr;
            BOOL bZero = w->wrIoFlags.bZeroWrite && !bWhole;
            m.msgType = bZero ? TGT_MSG_TYPE__IO_WRITE_SEC_ZERO : TGT_MSG_TYPE__IO_WRITE_SEC;
            m.grpId = bWhole ? RAID__RECV_GROUP__TGT_IO_COPY : RAID__RECV_GROUP__TGT_IO_MAIN;
            m.pRec = &a.req.write;
            m.recLen = sizeof(a.req.write);
            if (!bZero) {
                m.pData = bWhole ? a.pToothBuf : w->pData;
                m.dataLen = a.req.write.sizeInLbs * 512;
                if (!bWhole && (a.req.write.flags & TGT_IO_WR__T10DIF_ATTACHED) != 0) {
                    m.pDif = w->pDif;
                    m.difLen = w->sizeInLbs * (UINT32)sizeof(T10Dif);
                }
            }
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_HIGH,
                      "(combId=%lx offset=%u size=%u) Send to remote TGT %lx randomId %u chan: %u",
                      (unsigned long)pComb->combId, a.req.write.offsetInComb, a.req.write.sizeInLbs,
                      (unsigned long)a.remoteTgtId, a.req.write.randId, m.grpId);
        }
        m.rspRc = MOS_RC__ERROR;
        Mos_RC rc = h->sendRpc(pComb->pCont, &a.con, &m);
        if (rc != MOS_RC__SUCCESS) {
            a.remoteRc = MOS_RC__IO_NET_ERROR;
            h->logNetHiccup(pComb->pCont, a.remoteTgtId);
            continue;
        }
        a.bInFlight = TRUE;
        c->bSecondaryWriteSent = TRUE;
        std::atomic_ref<UINT32>(raid_Get()->query.asyncWriteSec).fetch_add(1, std::memory_order_relaxed);
    }
}

void waitLegs(WriteCtx *c)
{
    const RaidHooks *h = raid_Hooks();
    for (RemoteAction &a : c->actions) {
        if (!a.bInFlight)
            continue;
        a.bInFlight = FALSE;
        Mos_RC rc = h->waitRpc(c->pComb->pCont, &a.msg);
        if (rc != MOS_RC__SUCCESS) {
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "(combId=%lx) write to tgtId=%lx failed (rc=%s)",
                      (unsigned long)c->pComb->combId, (unsigned long)a.remoteTgtId, raid_RcName(rc));
            a.remoteRc = raid_IsNetworkRelatedError(rc) ? MOS_RC__IO_NET_ERROR : rc;
        } else {
            a.remoteRc = a.msg.rspRc;
        }
        if (raid_IsNetworkRelatedError(a.remoteRc)) {
            a.remoteRc = MOS_RC__IO_NET_ERROR;
            h->logNetHiccup(c->pComb->pCont, a.remoteTgtId);
        }
        if (a.remoteRc == MOS_RC__SUCCESS)
            a.bActionDone = TRUE;
    }
}

Mos_RC writeLocal(WriteCtx *c)
{
    const IohCombWrite *w = c->pW;
    RaidComb *pComb = c->pComb;
    if (c->bTrim) {
        BOOL bFreed;
        {
            RaidCombLock lock(pComb);
            bFreed = phyComb_FreeEntireTooth(&pComb->phyComb, c->toothInComb, w->pVtree, FALSE);
        }
        if (!bFreed) {
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Failed to trim (active iter): comb %lx offsetInComb %u",
                      (unsigned long)pComb->combId, w->offsetInComb);
            return MOS_RC__BUSY;
        }
        // Hardened with no lock of the comb held.
        if (!phyDev_HardenToothArr(pComb->phyComb.pDev, 0)) {
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Failed to harden tooth array. comb %lx offsetInComb %u",
                      (unsigned long)pComb->combId, w->offsetInComb);
            return MOS_RC__IO_HARD_ERROR;
        }
        return MOS_RC__SUCCESS;
    }
    Mos_RC rc = phyComb_WriteTooth(&pComb->phyComb, w->pData, w->pDif, w->tooth.dstToothIndex, c->offsetInTooth,
                                   w->sizeInLbs, w->wrIoFlags, w->copyReason, w->offsetInComb, w->obfuscationKey,
                                   nullptr);
    if (rc == MOS_RC__SUCCESS && w->wrIoFlags.bNewTooth)
        rc = phyComb_UpdateTooth(&pComb->phyComb, w->pVtree, w->offsetInComb, w->tooth.vtoId, w->tooth.time,
                                 w->tooth.dstToothIndex, TRUE, w->pVtree != nullptr && w->pVtree->bThin, FALSE, FALSE);
    return rc;
}

BOOL shouldRetryRemote(WriteCtx *c, UINT32 attempt)
{
    BOOL bRetry = FALSE;
    for (RemoteAction &a : c->actions) {
        if (!a.bActionNeeded || a.bPermitted || a.bActionDone || a.remoteRc == MOS_RC__SUCCESS ||
            a.remoteRc == MOS_RC__IO_FAULT_DEVICE_ERROR)
            continue;
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "(combId=%lx) retrying write attempt %u to remote tgt %lx remote rc %s",
                  (unsigned long)c->pComb->combId, attempt + 1, (unsigned long)a.remoteTgtId, raid_RcName(a.remoteRc));
        bRetry = TRUE;
    }
    if (bRetry)
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "(combId=%lx) remote write failed, allowing retry",
                  (unsigned long)c->pComb->combId);
    return bRetry;
}

void prepareRetry(WriteCtx *c)
{
    CombGenNum gen = raidComb_GetCombGenNum(c->pComb);
    for (RemoteAction &a : c->actions) {
        if (!a.bActionNeeded || a.bActionDone || a.bPermitted || a.remoteRc == MOS_RC__SUCCESS ||
            a.remoteRc == MOS_RC__IO_FAULT_DEVICE_ERROR)
            continue;
        if (!a.bConnected || a.bNotReachable)
            continue; // a partner known to be gone stays failed
        a.remoteRc = MOS_RC__SUCCESS;
        if (c->bTrim) {
            a.req.trim.combGenNum = gen;
            a.req.trim.randId = randId();
        } else {
            a.req.write.combGenNum = gen;
            a.req.write.randId = randId();
        }
    }
}

void sleepUntil(MosTicks_Cnt start, UINT64 millis)
{
    while (mosTicks_TicksToMillis(mosTicks_GetCurrentTick() - start) < millis)
        mosUmt_SleepByQ(MOS_TIMER_QUEUE_ID__100MILLI);
}

// The attempts: legs and local copy in their order, retried within the limits.
Mos_RC runAttempts(WriteCtx *c)
{
    const IohCombWrite *w = c->pW;
    MosTicks_Cnt writeStart = mosTicks_GetCurrentTick();
    Mos_RC localRc = MOS_RC__ERROR;
    BOOL bLocalDone = FALSE;
    for (UINT32 attempt = 1;; attempt++) {
        MosTicks_Cnt attemptStart = mosTicks_GetCurrentTick();
        BOOL bRemoteFirst = c->bPrimary && (c->bTrim || !w->wrIoFlags.bNewTooth);
        if (bRemoteFirst) {
            sendLegs(c);
            if (c->bTrim)
                waitLegs(c);
        }
        if (!bLocalDone) {
            BOOL bAllLegsOk = TRUE;
            for (RemoteAction &a : c->actions)
                bAllLegsOk &= !a.bActionNeeded || a.bActionDone || a.bPermitted;
            if (!c->bTrim || !c->bPrimary || bAllLegsOk) {
                localRc = writeLocal(c);
                bLocalDone = localRc == MOS_RC__SUCCESS || !c->bTrim;
            }
        }
        if (c->bPrimary && !bRemoteFirst && localRc == MOS_RC__SUCCESS)
            sendLegs(c);
        waitLegs(c);
        if (!c->bPrimary && !c->bTrim)
            break;
        UINT64 elapsed = mosTicks_TicksToMillis(mosTicks_GetCurrentTick() - writeStart);
        if (attempt >= RAID_COMB__MAX_REMOTE_RETRY || elapsed > (UINT64)tgtInitParam_G.ioTimeLimit) {
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW,
                      "(combId=%lx) allowed attempts or total time exhausted, retry is not allowed. num attempts: %u, "
                      "total time: %lu millis",
                      (unsigned long)c->pComb->combId, attempt, (unsigned long)elapsed);
            break;
        }
        BOOL bRetryLocal = c->bTrim && !bLocalDone;
        if (!c->bTrim && localRc != MOS_RC__SUCCESS) {
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "(combId=%lx) local attempt failed, retry is not allowed",
                      (unsigned long)c->pComb->combId);
            break;
        }
        BOOL bRetryRemote = shouldRetryRemote(c, attempt);
        if (!bRetryLocal && !bRetryRemote)
            break;
        sleepUntil(attemptStart, RAID_COMB__MIN_RETRY_DELAY_MILLIS);
        prepareRetry(c);
    }
    return localRc;
}

// Write errors per slot and the Ostrel's reports; the write's result.
Mos_RC handleWriteResults(WriteCtx *c, Mos_RC localRc)
{
    RaidComb *pComb = c->pComb;
    Mos_RC result = localRc == MOS_RC__SUCCESS ? MOS_RC__SUCCESS : MOS_RC__IO_HARD_ERROR;
    BOOL bGuard = localRc == MOS_RC__LOGICAL_BLOCK_CHECK_GUARD_FAILED;
    for (UINT32 i = 0; i < RAID_PROT_COUNT; i++) {
        RemoteAction &a = c->actions[i];
        RaidCombProt *p = &pComb->protState[i];
        BOOL bMirror;
        {
            RaidCombLock lock(pComb);
            bMirror = p == pComb->pRebuild;
        }
        BOOL bLegFailed = a.bActionNeeded && !a.bActionDone;
        BOOL bApply = (a.bActionNeeded && (localRc != MOS_RC__SUCCESS || bLegFailed)) ||
                      (!a.bActionNeeded && bMirror && localRc != MOS_RC__SUCCESS);
        bGuard |= a.remoteRc == MOS_RC__LOGICAL_BLOCK_CHECK_GUARD_FAILED;
        if (!bApply)
            continue;
        Mos_RC remoteRc = bLegFailed ? (a.remoteRc == MOS_RC__SUCCESS ? MOS_RC__IO_NET_ERROR : a.remoteRc)
                                     : MOS_RC__SUCCESS;
        if (a.bPermitted && bLegFailed)
            remoteRc = MOS_RC__IO_NET_ERROR;
        RaidWriteErrorResult r =
            raidComb_UpdateWriteError(pComb, p, localRc, remoteRc, c->bSecondaryWriteSent, c->bTrim);
        if (r.rc != MOS_RC__SUCCESS)
            result = MOS_RC__IO_HARD_ERROR;
        else if (localRc == MOS_RC__SUCCESS && result == MOS_RC__SUCCESS)
            result = MOS_RC__SUCCESS;
        CombGenNum gen = a.bActionNeeded ? a.combGenOnIOStart : raidComb_GetCombGenNum(pComb);
        UINT16 cmdGen = a.bActionNeeded ? a.tgtCombGenOnIoStart : raidComb_GetTgtCombCmdGenNum(pComb);
        if (raidComb_SendOstrelCombStateIfNeeded(pComb->pCont, pComb, p, gen, cmdGen, r.raidState, r.protType) !=
            MOS_RC__SUCCESS)
            result = MOS_RC__IO_HARD_ERROR;
    }
    MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_HIGH, "local rc: %s, result rc= %s", raid_RcName(localRc),
              raid_RcName(result));
    if (bGuard && result != MOS_RC__SUCCESS)
        result = MOS_RC__LOGICAL_BLOCK_CHECK_GUARD_FAILED;
    return result;
}

void finalize(WriteCtx *c, Mos_RC result)
{
    RaidComb *pComb = c->pComb;
    const IohCombWrite *w = c->pW;
    PhyDev *pDev = pComb->phyComb.pDev;
    PhyToothIndex t = w->tooth.dstToothIndex;
    if (result == MOS_RC__SUCCESS) {
        UINT32 before = std::atomic_ref<UINT32>(pComb->inFlightWrites).fetch_sub(1);
        MOS_ASSERT(before > 0);
        phyDev_LockDrl(pDev);
        {
            RaidCombLock lock(pComb);
            if (!c->bTrim && tgtInitParam_G.bAllowFineDrl && raidComb_IsResetFineBitsAllowed(pComb, TRUE, FALSE))
                (void)phyComb_ResetFineDirty(&pComb->phyComb, t, PHY_DEV_DRL_TYPE__ACTIVE, c->offsetInTooth,
                                             w->sizeInLbs);
            if (tgtInitParam_G.raidResetBitsOnLastIo && raidComb_IsResetBitsAllowed(pComb, TRUE, FALSE)) {
                // The last write in flight of a comb whose partner has everything.
                for (UINT32 p = 0; p < TEETH_IN_COMB; p++)
                    if ((pComb->dirtyArray[p / 8] & (0x80u >> (p % 8))) != 0)
                        (void)phyComb_ResetEntireToothBits(&pComb->phyComb, PHY_DEV_DRL_TYPE__ACTIVE, p, FALSE);
                memset(pComb->dirtyArray, 0, sizeof(pComb->dirtyArray));
            }
            RaidCombProt *pMaint = pComb->pMaintenance;
            if (pMaint != nullptr && !pMaint->bMutualOrDrls &&
                (raidComb_IsMaintNormal(pComb, FALSE) || raidComb_IsMaintRebuild(pComb, FALSE) ||
                 raidComb_IsReverseRebuild(pComb, FALSE)) &&
                !c->bTrim)
                (void)phyComb_ResetDirty(&pComb->phyComb, t, PHY_DEV_DRL_TYPE__REBUILD, 0, kToothLbs, FALSE);
        }
        phyDev_UnlockDrl(pDev);
        return;
    }
    BOOL bMark;
    {
        RaidCombLock lock(pComb);
        bMark = pComb->pRebuild->combRaidState == COMB_RAID_STATE__NORMAL_NEED_REBUILD &&
                !pComb->pRebuild->bCopyActiveDrl;
    }
    if (bMark && !c->bTrim) {
        BOOL bOk = FALSE;
        for (UINT32 i = 0; i < RAID_COMB__MAX_LOCAL_RETRY && !bOk; i++)
            bOk = phyComb_SetDirty(&pComb->phyComb, t, PHY_DEV_DRL_TYPE__REBUILD, c->offsetInTooth, w->sizeInLbs);
        if (!bOk) {
            RaidCombLock lock(pComb);
            pComb->pRebuild->bCopyActiveDrl = TRUE;
        }
    }
    std::atomic_ref<UINT32>(pComb->inFlightWrites).fetch_sub(1);
}

// Reports both slots after a refused validation.
void reportBothSlots(RaidComb *pComb)
{
    raidComb_UpdateOstrel(pComb);
}

Mos_RC writeInternal(RaidComb *pComb, const IohCombWrite *w, CombGenNum combGenNum, BOOL bTrim)
{
    WriteCtx c{};
    c.pComb = pComb;
    c.pW = w;
    c.bPrimary = w->wrIoFlags.bPrimary;
    c.bTrim = bTrim;
    c.toothInComb = w->offsetInComb / kToothLbs;
    c.offsetInTooth = w->offsetInComb % kToothLbs;
    {
        RaidCombLock lock(pComb);
        Mos_RC rc = raidComb_IsIoValid(pComb, c.bPrimary, combGenNum);
        if (rc != MOS_RC__SUCCESS) {
            lock.unlock();
            reportBothSlots(pComb);
            return rc;
        }
        if (c.bPrimary)
            determineRemoteActions(&c);
    }
    if (c.bPrimary) {
        if (c.bHasMaint)
            for (RemoteAction &a : c.actions)
                determineSingleMaintAction(&c, &a);
        BOOL bCopyActive;
        {
            RaidCombLock lock(pComb);
            bCopyActive = pComb->pRebuild->bCopyActiveDrl;
        }
        if (bCopyActive && phyComb_CopyActiveToRebuild(&pComb->phyComb)) {
            RaidCombLock lock(pComb);
            pComb->pRebuild->bCopyActiveDrl = FALSE;
        }
        acquireCons(&c);
        Mos_RC rc = acquirePermits(&c);
        if (rc != MOS_RC__SUCCESS) {
            releaseCons(&c);
            return rc;
        }
    }
    std::atomic_ref<UINT32>(pComb->inFlightWrites).fetch_add(1);
    if (c.bPrimary) {
        UINT32 dOff = w->wrIoFlags.bNewTooth ? w->offsetInComb - c.offsetInTooth : w->offsetInComb;
        UINT32 dSize = w->wrIoFlags.bNewTooth || bTrim ? kToothLbs : w->sizeInLbs;
        Mos_RC rc = bTrim ? MOS_RC__SUCCESS
                          : setDirtyForIO(pComb, w->tooth.dstToothIndex, dOff, dSize, PHY_DEV_DRL_TYPE__ACTIVE);
        if (rc == MOS_RC__SUCCESS && c.bHasMaint && !bTrim)
            rc = setDirtyForIO(pComb, w->tooth.dstToothIndex, dOff, dSize, PHY_DEV_DRL_TYPE__REBUILD);
        if (rc != MOS_RC__SUCCESS) {
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "(combId=%lx) set DRL failed, aborting",
                      (unsigned long)pComb->combId);
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "(combId=%lx offsetInComb %u toothIndex=%u) Set DRL failed (rc=%s)",
                      (unsigned long)pComb->combId, w->offsetInComb, w->tooth.dstToothIndex, raid_RcName(rc));
            std::atomic_ref<UINT32>(pComb->inFlightWrites).fetch_sub(1);
            releaseCons(&c);
            return rc;
        }
    }
    Mos_RC localRc = runAttempts(&c);
    if (!c.bPrimary) {
        std::atomic_ref<UINT32>(pComb->inFlightWrites).fetch_sub(1);
        return localRc;
    }
    Mos_RC result = handleWriteResults(&c, localRc);
    finalize(&c, result);
    releaseCons(&c);
    if (!bTrim)
        return result;
    // A partner that freed the tooth while this copy kept it is not a trim that succeeded.
    BOOL bAnyLegApplied = FALSE;
    for (RemoteAction &a : c.actions)
        bAnyLegApplied |= a.bActionDone;
    return localRc != MOS_RC__SUCCESS && bAnyLegApplied ? MOS_RC__IO_HARD_ERROR : MOS_RC__SUCCESS;
}

} // namespace

Mos_RC raidComb_Write(RaidComb *pComb, const IohCombWrite *pWrite, CombGenNum combGenNum)
{
    if (!pWrite->wrIoFlags.bPrimary)
        std::atomic_ref<UINT32>(raid_Get()->query.syncWriteSec).fetch_add(1, std::memory_order_relaxed);
    Mos_RC rc = writeInternal(pComb, pWrite, combGenNum, FALSE);
    if (rc == MOS_RC__SUCCESS && pWrite->pLbsPerRebuildJobLimit != nullptr && pComb->phyComb.pDev != nullptr) {
        *pWrite->pLbsPerRebuildJobLimit = phyDev_GetLbsPerRebJob(pComb->phyComb.pDev, TRUE);
        if (pWrite->pLbsPerRebalanceJobLimit != nullptr)
            *pWrite->pLbsPerRebalanceJobLimit = phyDev_GetLbsPerRebJob(pComb->phyComb.pDev, FALSE);
    }
    return rc;
}

Mos_RC raidComb_Trim(RaidComb *pComb, Vtree *pVtree, UINT32 offsetInComb, PhyToothIndex toothIndex,
                     CombGenNum combGenNum, BOOL bPrimary)
{
    IohCombWrite w{};
    w.pPhyComb = &pComb->phyComb;
    w.pVtree = pVtree;
    w.offsetInComb = offsetInComb - offsetInComb % kToothLbs;
    w.sizeInLbs = kToothLbs;
    w.tooth.dstToothIndex = toothIndex;
    VtoOnDev label = raidComb_ToothLabel(&pComb->phyComb, offsetInComb, toothIndex);
    w.tooth.vtoId = label.vtoId;
    w.tooth.time = label.time;
    w.wrIoFlags.bPrimary = bPrimary;
    w.wrIoFlags.bTrim = TRUE;
    if (w.tooth.time == 0)
        return MOS_RC__NOT_FOUND; // no such version: nothing to trim
    return writeInternal(pComb, &w, combGenNum, TRUE);
}
