// The comb group command. Inside a cycle: every comb is marked, every listed comb that already
// exists is unmarked before anything is removed (a comb the Ostrel still lists must never lose its
// teeth to the sweep), the combs still marked are removed, the physical layer closes its stage, and
// then each listed comb is added read-only, or read-write where an existing comb must change.
// Outside a cycle the command holds exactly one comb.
//
// A listed element whose comb or device id is 0, or that names more than three partnerships, is
// one bad element (the group answers MOS_RC__ERROR, the rest is applied); a record outside a cycle
// with other than one comb is refused (MOS_RC__INVALID) before anything changes.
#include <cstring>
#include <vector>

#include "mos/mos_trace.h"
#include "tgt/cont/cont.h"
#include "tgt/cont/cont_comb.h"
#include "tgt/cont/cont_cmd_intrn.h"
#include "tgt/raid/raid_comb.h"
#include "tgt/raid/raid_resync.h"
#include "tgt/tgt_conf.h"

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

// Read-only first; a comb that must change its partners is added read-write.
Mos_RC contCmd_AddCombInCycle(Cont *pCont, const OstrelTgtReq_AddComb &e, UINT32 *pReadOnly, UINT32 *pReadWrite)
{
    ContCombAddArgs args = contCmd_CombArgs(e, TRUE, FALSE);
    Mos_RC rc = contComb_AddOne(pCont, &args);
    if (rc != MOS_RC__NEED_WRITE_ACCESS) {
        (*pReadOnly)++;
        return rc;
    }
    args.bReadOnly = FALSE;
    rc = contComb_AddOne(pCont, &args);
    MOS_ASSERT(rc != MOS_RC__NEED_WRITE_ACCESS);
    (*pReadWrite)++;
    return rc;
}

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
    auto elem = [&](UINT32 i) {
        OstrelTgtReq_AddComb e;
        memcpy(&e, pGroup->pElems + (size_t)i * sizeof(e), sizeof(e));
        return e;
    };
    if (!pGroup->bReconfigInProgress) {
        if (n != 1) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add Comb outside a cycle refused: %u combs", n);
            return MOS_RC__INVALID;
        }
        const OstrelTgtReq_AddComb e = elem(0);
        if (!contCmd_IsCombElemValid(e))
            return MOS_RC__ERROR;
        const ContCombAddArgs args = contCmd_CombArgs(e, FALSE, TRUE);
        const Mos_RC rc = contComb_AddOne(pCont, &args);
        MOS_ASSERT(rc != MOS_RC__NEED_WRITE_ACCESS);
        return contCmd_IsAdded(rc) ? MOS_RC__SUCCESS : MOS_RC__ERROR;
    }
    if (bForceReconfig)
        if (RaidSyncPool *pPool = raidSyncPool_Get())
            raidSyncPool_AbortAllRebuilds(pPool);
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add Comb group of %u combs, parallel %u", n,
              contCmd_CombWorkers(n, tgtPerfInitParam_G.umtOsThrds));
    ContCombMngr *pMngr = &pCont->combMngr;
    contCombMngr_MarkAllCombs(pMngr);
    // Phase 1: the listed combs that exist keep their place through the sweep.
    UINT32 kept = 0;
    for (UINT32 i = 0; i < n; i++) {
        const OstrelTgtReq_AddComb e = elem(i);
        if (!contCmd_IsCombElemValid(e))
            continue;
        if (auto *pComb = static_cast<ContComb *>(contObj_Acquire(&pCont->objs, e.combId, CONT_OBJ_TYPE__COMB))) {
            {
                MosFastlockGuard g(&pMngr->addRemFastlock);
                pComb->bMark = FALSE;
            }
            contObj_Release(&pCont->objs, e.combId, CONT_OBJ_TYPE__COMB);
            kept++;
        }
    }
    std::vector<CombId> gone;
    for (ContComb *p = contCombMngr_GetNextMarkedNode(pMngr, nullptr); p != nullptr;
         p = contCombMngr_GetNextMarkedNode(pMngr, p))
        gone.push_back(p->combId);
    for (CombId id : gone)
        MOS_ASSERT(contComb_RemById(pCont, id, FALSE, FALSE) == MOS_RC__SUCCESS);
    phy_ReconfigureStageDone(&pCont->phy);
    // Phase 2: every listed comb, read-only where it may stay as it is.
    Mos_RC result = MOS_RC__SUCCESS;
    UINT32 readOnly = 0, readWrite = 0;
    for (UINT32 i = 0; i < n; i++) {
        const OstrelTgtReq_AddComb e = elem(i);
        const Mos_RC rc =
            contCmd_IsCombElemValid(e) ? contCmd_AddCombInCycle(pCont, e, &readOnly, &readWrite) : MOS_RC__INVALID;
        if (!contCmd_IsAdded(rc)) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add %s element %u failed %s", "comb", i, mosRc_GetStr(rc));
            result = MOS_RC__ERROR;
        }
    }
    contCombMngr_FinishCombLoop(pMngr);
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add Comb: kept %u, removed %u, read-only %u, read-write %u", kept,
              (UINT32)gone.size(), readOnly, readWrite);
    return result;
}
