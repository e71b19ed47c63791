// The comb group command. Inside a cycle: every comb is marked; then, on worker threads, every
// listed comb that already exists is unmarked (a comb the Ostrel still lists must never lose its
// teeth to the sweep) and every listed comb that its device found on itself at reopen is added at
// once (the stage's end frees what no one named); the combs still marked are removed, the physical
// layer closes its stage, and the workers add each remaining listed comb read-only, or read-write
// where an existing comb must change. A long list is shared by up to umtOsThrds - 1 workers.
// Outside a cycle the command holds exactly one comb. An element whose role is PRIMARY or
// SECONDARY then gets that role and its partnerships' states through the set-state step that
// SET_COMB_STATE runs; a read-only add that would have to change them answers
// MOS_RC__NEED_WRITE_ACCESS and is added again read-write.
//
// A listed element whose comb or device id is 0, or that names more than three partnerships, is
// one bad element (the group answers MOS_RC__ERROR, the rest is applied); a record outside a cycle
// with other than one comb is refused (MOS_RC__INVALID) before anything changes.
#include <atomic>
#include <cstring>
#include <vector>

#include "mos/mos_trace.h"
#include "tgt/cont/cont.h"
#include "tgt/cont/cont_comb.h"
#include "tgt/cont/cont_dev.h"
#include "tgt/cont/cont_cmd_intrn.h"
#include "tgt/phy/phy_devset.h"
#include "tgt/raid/raid_comb.h"
#include "tgt/raid/raid_resync.h"
#include "tgt/tgt_conf.h"
#include "tgt/tgt_umt_class.h"

namespace {

BOOL contCmd_IsCombElemValid(const OstrelTgtReq_AddComb &e)
{
    return e.combId != 0 && e.devId != 0 && e.numOfRaidProtElem <= 3;
}

ContCombAddArgs contCmd_CombArgs(const OstrelTgtReq_AddComb &e, BOOL bReadOnly, BOOL bLock)
{
    ContCombAddArgs a{};
    a.combId = e.combId;
    a.devId = e.devId;
    for (UINT32 i = 0; i < e.numOfRaidProtElem; i++) {
        const OstrelTgtReq_AddCombProt prot = e.raidArray[i];
        if (prot.raidType == RAID_PROT_TYPE__SECONDARY)
            a.raidTgtId = prot.raidTgtId;
        else if (prot.raidType == RAID_PROT_TYPE__MAINTENANCE)
            a.maintTgtId = prot.raidTgtId;
    }
    a.bHasMig = e.bHasMig != 0;
    a.tgtCombCmdGenNum = e.tgtCombCmdGenNum;
    a.bReadOnly = bReadOnly;
    a.bLock = bLock;
    a.bNew = e.bNew != 0;
    return a;
}

BOOL contCmd_IsAdded(Mos_RC rc)
{
    return rc == MOS_RC__SUCCESS || rc == MOS_RC__ALREADY_EXISTS;
}

// The element's role and partnership states as a set-state request. The Ostrel's view of the
// present states is not in the element: UNKNOWN_IN_TGT accepts whatever the comb holds.
RaidComb_SetStateReq contCmd_CombSetStateReq(const OstrelTgtReq_AddComb &e, BOOL bReadOnly, BOOL bForceReconfig,
                                             BOOL bReconfigInProgress)
{
    RaidComb_SetStateReq r{};
    r.combId = e.combId;
    r.newState = e.combState;
    r.curState = e.combState;
    r.primaryTgtGenNum = e.primaryTgtGenNum;
    r.tgtCombCmdGenNum = e.tgtCombCmdGenNum;
    r.bForceReconfig = bForceReconfig;
    r.bReconfigInProgress = bReconfigInProgress;
    r.bReadOnly = bReadOnly;
    UINT32 n = 0;
    for (UINT32 i = 0; i < e.numOfRaidProtElem; i++) {
        const OstrelTgtReq_AddCombProt prot = e.raidArray[i];
        // A running migration is the mirroring part's own; only the partnerships are set.
        if (prot.raidType == RAID_PROT_TYPE__SECONDARY || prot.raidType == RAID_PROT_TYPE__MAINTENANCE)
            r.protState[n++] = {prot.raidTgtId, prot.raidState, COMB_RAID_STATE__UNKNOWN_IN_TGT, prot.raidType};
    }
    return r;
}

// The add of one element, then, for a role of PRIMARY or SECONDARY, the set-state step: 65 added,
// 7 known, 58 a read-only add that must change the comb, or the failure of either step.
Mos_RC contCmd_AddCombAndSetState(Cont *pCont, const OstrelTgtReq_AddComb &e, BOOL bReadOnly, BOOL bLock,
                                  BOOL bForceReconfig, BOOL bReconfigInProgress)
{
    const ContCombAddArgs args = contCmd_CombArgs(e, bReadOnly, bLock);
    const Mos_RC rc = contComb_AddOne(pCont, &args);
    if (!contCmd_IsAdded(rc) || (e.combState != COMB_STATE__PRIMARY && e.combState != COMB_STATE__SECONDARY))
        return rc;
    const RaidComb_SetStateReq req = contCmd_CombSetStateReq(e, bReadOnly, bForceReconfig, bReconfigInProgress);
    const Mos_RC stateRc = contCmd_SetCombStateIntern(pCont, &req, nullptr);
    if (stateRc == MOS_RC__SUCCESS)
        return rc;
    if (stateRc != MOS_RC__NEED_WRITE_ACCESS)
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add comb %lx: role %s not set (%s)", (unsigned long)e.combId,
                  raid_CombStateName(e.combState), mosRc_GetStr(stateRc));
    return stateRc;
}

OstrelTgtReq_AddComb contCmd_CombElem(const ContCmdGroup *pGroup, UINT32 i)
{
    OstrelTgtReq_AddComb e;
    memcpy(&e, pGroup->pElems + (size_t)i * sizeof(e), sizeof(e));
    return e;
}

// Whether the element's comb was found on its device at the device's reopen and waits there to be
// named again (the end of the stage frees what is not).
BOOL contCmd_IsCombInRebuild(Cont *pCont, const OstrelTgtReq_AddComb &e)
{
    ContDev *pDev = cont_AcquireContDev(pCont, e.devId);
    if (pDev == nullptr)
        return FALSE;
    const BOOL bInRebuild = pDev->pPhyDev != nullptr && phy_IsCombInRebuild(pDev->pPhyDev, e.combId, e.devId);
    cont_ReleaseContDev(pCont, e.devId);
    return bInRebuild;
}

// One comb group inside a cycle, cut into slices of ceil(n / parallel) elements, slice k for
// worker k in both phases. Each element's done mark is kept here: the record is the request's.
struct ContCmdCombRun {
    ContCmdCombRun(Cont *p, const ContCmdGroup *pG, BOOL bForce, UINT32 workers)
        : pCont(p), pGroup(pG), bForceReconfig(bForce), parallel(workers), bAdded(pG->count, 0)
    {
        slice = parallel == 0 ? 0 : (pGroup->count + parallel - 1) / parallel;
    }
    UINT32 first(UINT32 k) const { return MOS_MIN(k * slice, pGroup->count); }
    UINT32 end(UINT32 k) const { return MOS_MIN(first(k) + slice, pGroup->count); }
    void failed(UINT32 i, Mos_RC rc)
    {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add %s element %u failed %s", "comb", i, mosRc_GetStr(rc));
        cmdRc.store(MOS_RC__ERROR);
    }

    void phase1(UINT32 k)
    {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add Comb part - start, index %u (%u). Thread ID %u (dit)", k,
                  parallel, k);
        for (UINT32 i = first(k); i < end(k); i++) {
            const OstrelTgtReq_AddComb e = contCmd_CombElem(pGroup, i);
            if (!contCmd_IsCombElemValid(e))
                continue;
            if (auto *pComb = static_cast<ContComb *>(contObj_Acquire(&pCont->objs, e.combId, CONT_OBJ_TYPE__COMB))) {
                {
                    MosFastlockGuard g(&pCont->combMngr.addRemFastlock);
                    pComb->bMark = FALSE;
                }
                contObj_Release(&pCont->objs, e.combId, CONT_OBJ_TYPE__COMB);
                kept++;
            } else if (contCmd_IsCombInRebuild(pCont, e)) {
                const Mos_RC rc = contCmd_AddCombAndSetState(pCont, e, FALSE, FALSE, bForceReconfig, TRUE);
                bAdded[i] = 1;
                old++;
                if (!contCmd_IsAdded(rc))
                    failed(i, rc);
            }
        }
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add Comb part - Mid 1, index %u (dit)", k);
    }

    void phase2(UINT32 k)
    {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add Comb part - Mid 2, index %u (dit)", k);
        // Read-only first: an existing comb that may stay as it is takes no write lock.
        UINT32 ro = 0, roFailed = 0, rw = 0;
        for (UINT32 i = first(k); i < end(k); i++) {
            const OstrelTgtReq_AddComb e = contCmd_CombElem(pGroup, i);
            if (bAdded[i])
                continue;
            if (!contCmd_IsCombElemValid(e)) {
                failed(i, MOS_RC__INVALID);
                bAdded[i] = 1;
                continue;
            }
            const Mos_RC rc = contCmd_AddCombAndSetState(pCont, e, TRUE, FALSE, bForceReconfig, TRUE);
            if (rc == MOS_RC__NEED_WRITE_ACCESS) {
                roFailed++;
                continue;
            }
            bAdded[i] = 1;
            ro++;
            if (!contCmd_IsAdded(rc))
                failed(i, rc);
        }
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add Comb part - Mid 3, index %u (dit)", k);
        for (UINT32 i = first(k); i < end(k); i++) {
            if (bAdded[i])
                continue;
            const Mos_RC rc =
                contCmd_AddCombAndSetState(pCont, contCmd_CombElem(pGroup, i), FALSE, FALSE, bForceReconfig, TRUE);
            MOS_ASSERT(rc != MOS_RC__NEED_WRITE_ACCESS);
            bAdded[i] = 1;
            rw++;
            if (!contCmd_IsAdded(rc))
                failed(i, rc);
        }
        MOS_ASSERT(roFailed == rw);
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add Comb part - Mid 4, index %u (dit)", k);
        readOnly += ro;
        readOnlyFailed += roFailed;
        readWrite += rw;
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add Comb part - end, index %u (dit)", k);
    }

    Cont *pCont;
    const ContCmdGroup *pGroup;
    BOOL bForceReconfig;
    UINT32 parallel;
    UINT32 slice = 0;
    std::vector<UINT8> bAdded; // each slice's own elements only
    std::atomic<Mos_RC> cmdRc{MOS_RC__SUCCESS};
    std::atomic<UINT32> kept{0}, old{0}, readOnly{0}, readOnlyFailed{0}, readWrite{0};
};

} // namespace

UINT32 contCmd_CombWorkers(UINT32 numOfCombs, UINT32 umtOsThrds)
{
    if (numOfCombs == 0)
        return 0;
    const UINT32 t = MOS_MIN(numOfCombs, MOS_MAX(umtOsThrds, 2u) - 1);
    return (UINT64)numOfCombs < 2ull * (t - 1) * (t - 1) + 2 ? 1 : t;
}

Mos_RC contCmd_AddCombGroupCmd(ContCmdCtx *pCtx)
{
    const auto head = contCmd_RecAt<OstrelTgtReq_AddCombArr>(pCtx, 0);
    const ContCmdGroup group{head.numOfCombs, head.bReconfigInProgress != 0, pCtx->pRec + sizeof(head), nullptr};
    return contCmd_AddCombGroup(pCtx->pCont, &group, head.bForceReconfig != 0);
}

Mos_RC contCmd_AddCombGroup(Cont *pCont, const ContCmdGroup *pGroup, BOOL bForceReconfig)
{
    const UINT32 n = pGroup->count;
    if (!pGroup->bReconfigInProgress) {
        if (n != 1) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add Comb outside a cycle refused: %u combs", n);
            return MOS_RC__INVALID;
        }
        const OstrelTgtReq_AddComb e = contCmd_CombElem(pGroup, 0);
        if (!contCmd_IsCombElemValid(e))
            return MOS_RC__ERROR;
        const Mos_RC rc = contCmd_AddCombAndSetState(pCont, e, FALSE, TRUE, bForceReconfig, FALSE);
        MOS_ASSERT(rc != MOS_RC__NEED_WRITE_ACCESS);
        return contCmd_IsAdded(rc) ? MOS_RC__SUCCESS : MOS_RC__ERROR;
    }
    if (bForceReconfig)
        if (RaidSyncPool *pPool = raidSyncPool_Get())
            raidSyncPool_AbortAllRebuilds(pPool);
    ContCmdCombRun run(pCont, pGroup, bForceReconfig, contCmd_CombWorkers(n, tgtPerfInitParam_G.umtOsThrds));
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add Comb group of %u combs, parallel %u", n, run.parallel);
    ContCombMngr *pMngr = &pCont->combMngr;
    contCombMngr_MarkAllCombs(pMngr);
    // Phase 1 on the workers: listed combs that exist keep their place through the sweep, and combs
    // found on their device at its reopen are added before the stage's end would free them.
    contCmd_RunOnWorkers(run.parallel, MOS_UMT_CLASS_TYPE__TGT_ADD_COMB, [&](UINT32 k) { run.phase1(k); });
    std::vector<CombId> gone;
    for (ContComb *p = contCombMngr_GetNextMarkedNode(pMngr, nullptr); p != nullptr;
         p = contCombMngr_GetNextMarkedNode(pMngr, p))
        gone.push_back(p->combId);
    for (CombId id : gone)
        MOS_ASSERT(contComb_RemById(pCont, id, FALSE, FALSE) == MOS_RC__SUCCESS);
    phy_ReconfigureStageDone(&pCont->phy);
    // Phase 2 on the workers: every listed comb not yet added, read-only where it may stay as it is.
    contCmd_RunOnWorkers(run.parallel, MOS_UMT_CLASS_TYPE__TGT_ADD_COMB, [&](UINT32 k) { run.phase2(k); });
    contCombMngr_FinishCombLoop(pMngr);
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW,
              "Add Comb: kept %u, removed %u, old %u, read-only %u, read-only failed %u, read-write %u",
              run.kept.load(), (UINT32)gone.size(), run.old.load(), run.readOnly.load(), run.readOnlyFailed.load(),
              run.readWrite.load());
    return run.cmdRc.load();
}
