// The Ostrel's commands on single objects and plain id lists, run outside a reconfiguration
// sweep: the removal of one device, peer, volume or comb, the removal of listed volume trees, the
// update of listed volumes and of volume-tree node lists. Each hands the object's own work to the
// per-object operations that the group commands use as well.
//
// Answers: a removal of an id that is not registered answers MOS_RC__NOT_FOUND; REM_VTREES always
// succeeds. UPDATE_VOL goes through every element and answers the last code other than 65 and 7.
// UPDATE_VTREE applies each run of adjacent nodes of one tree under that tree's write lock; a run
// whose deletion generation is older than the tree's is refused before the tree changes (the
// command then answers MOS_RC__INVALID_ARG, the other runs are still applied); a tree that is not
// here is skipped.
#include <span>
#include <vector>

#include "mos/mos_trace.h"
#include "tgt/cont/cont.h"
#include "tgt/cont/cont_cmd_intrn.h"
#include "tgt/cont/cont_cmd_single_rec.h"
#include "tgt/cont/cont_comb.h"
#include "tgt/cont/cont_dev.h"
#include "tgt/cont/cont_volume.h"
#include "tgt/cont/cont_vtree.h"
#include "tgt/tgt_conf.h"

namespace {

// One run of adjacent nodes of the same tree.
Mos_RC contCmd_UpdateVtreeRun(Cont *pCont, std::span<const OstrelTgtReq_VtreeNode> run, BOOL bSuppressTrace)
{
    const VTreeId vtreeId = run[0].vtreeId;
    const UINT64 generation = run[0].snapDelGeneration;
    if (!bSuppressTrace)
        contCmd_TraceObjStart("VtreeId", vtreeId);
    auto *pVtree = static_cast<ContVtree *>(contObj_AcquireWriteLock(&pCont->objs, vtreeId, CONT_OBJ_TYPE__VTREE));
    if (pVtree == nullptr)
        return bSuppressTrace ? MOS_RC__NOT_FOUND : contCmd_TraceObjDone("Vtree Id", vtreeId, MOS_RC__NOT_FOUND);
    UINT64 stored;
    {
        MosFastlockGuard g(&pVtree->delFastlock);
        stored = pVtree->newSnapDelGeneration;
    }
    if (!bSuppressTrace)
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_MED, "Update vtree %lx, delete generation %lu => %lu",
                  (unsigned long)vtreeId, (unsigned long)stored, (unsigned long)generation);
    Mos_RC rc = MOS_RC__INVALID_ARG;
    // The write lock keeps every other update of the tree out: the generation read above is still
    // the stored one when it is raised below.
    if (generation < stored) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Update vtree %lx refused: delete generation %lu below %lu",
                  (unsigned long)vtreeId, (unsigned long)generation, (unsigned long)stored);
    } else {
        BOOL bNewCandidate = FALSE;
        rc = contVtree_Update(pVtree, (UINT32)run.size(), run.data(), bSuppressTrace, &bNewCandidate);
        if (rc == MOS_RC__SUCCESS)
            rc = contVtree_UpdateSnapDelGeneration(pVtree, generation);
    }
    contObj_ReleaseWriteLock(&pCont->objs, vtreeId, CONT_OBJ_TYPE__VTREE);
    return bSuppressTrace && rc == MOS_RC__SUCCESS ? rc : contCmd_TraceObjDone("VtreeId", vtreeId, rc);
}

} // namespace

void contCmd_TraceObjStart(const char *pLabel, UINT64 id)
{
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_MED, "%s %lx - %s rc = %s", pLabel, (unsigned long)id, "Start",
              "MOS_RC__SUCCESS");
}

Mos_RC contCmd_TraceObjDone(const char *pLabel, UINT64 id, Mos_RC rc)
{
    MOS_TRACE(MOS_COMP_TGT_CONT, rc == MOS_RC__SUCCESS ? MOS_FREQ_HIGH : MOS_FREQ_MED, "%s %lx - %s rc = %s", pLabel,
              (unsigned long)id, "Done", mosRc_GetStr(rc));
    return rc;
}

Mos_RC contCmd_CheckTextField(std::span<const CHAR_A> field, const char *pWhat, UINT64 id)
{
    if (memchr(field.data(), '\0', field.size()) != nullptr)
        return MOS_RC__SUCCESS;
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "%s of %lx refused: no end within its %zu characters", pWhat,
              (unsigned long)id, field.size());
    return MOS_RC__INVALID_DEVICE_PATH;
}

// Removals.

Mos_RC contCmd_RemDev(Cont *pCont, UINT64 devId)
{
    // Device adds of a group and the removals at a cycle's end take the same semaphore.
    MOS_ASSERT_SUCCESS(mosUmtSem_DecTimed(&pCont->cmd.addRemDevSem, 1, 0));
    const Mos_RC rc = contDev_RemById(pCont, devId, FALSE, TRUE);
    mosUmtSem_IncInter(&pCont->cmd.addRemDevSem, 1, TRUE);
    return rc;
}

Mos_RC contCmd_RemTgt(Cont *pCont, UINT64 tgtId)
{
    contCmd_TraceObjStart("TgtId", tgtId);
    return contCmd_TraceObjDone("TgtId", tgtId, contCmd_RemTgtIntern(pCont, tgtId, FALSE));
}

Mos_RC contCmd_RemVol(Cont *pCont, UINT64 volId)
{
    contCmd_TraceObjStart("VolId", volId);
    const Mos_RC rc = contCmd_RemVolIntern(pCont, volId, FALSE);
    return contCmd_TraceObjDone(rc == MOS_RC__SUCCESS ? "Vol Id" : "VolId", volId, rc);
}

Mos_RC contCmd_RemComb(Cont *pCont, UINT64 combId)
{
    return contComb_RemById(pCont, combId, FALSE, TRUE);
}

Mos_RC contCmd_RemVtreeGroup(Cont *pCont, std::span<const UINT8> ids)
{
    for (size_t off = 0; off + sizeof(VTreeId) <= ids.size(); off += sizeof(VTreeId)) {
        VTreeId id;
        memcpy(&id, ids.data() + off, sizeof(id));
        contCmd_TraceObjStart("VtreeId", id);
        (void)contCmd_TraceObjDone("VtreeId", id, contCmd_RemVtreeIntern(pCont, id, FALSE));
    }
    return MOS_RC__SUCCESS;
}

// Updates.

Mos_RC contCmd_UpdateVol(Cont *pCont, const OstrelTgtReq_UpdateVol *pElem, BOOL bUseCache)
{
    const OstrelTgtReq_UpdateVol e = *pElem;
    contCmd_TraceObjStart("VolId", e.volId);
    auto *pVol = static_cast<ContVol *>(contObj_AcquireReadLock(&pCont->objs, e.volId, CONT_OBJ_TYPE__VOL));
    if (pVol == nullptr)
        return contCmd_TraceObjDone("VolId", e.volId, MOS_RC__NOT_FOUND);
    const Mos_RC rc = contVol_UpdatePartial(pVol, e.volGenNum, e.scsiGenNum, e.reserverKey, e.bTeachAboutScsiGen,
                                            e.vtreeId, e.vtoId, bUseCache);
    contObj_ReleaseReadLock(&pCont->objs, e.volId, CONT_OBJ_TYPE__VOL);
    return contCmd_TraceObjDone("VolId", e.volId, rc);
}

Mos_RC contCmd_UpdateVolGroup(Cont *pCont, const ContCmdGroup *pGroup)
{
    Mos_RC result = MOS_RC__SUCCESS;
    for (UINT32 i = 0; i < pGroup->count; i++) {
        OstrelTgtReq_UpdateVol e;
        memcpy(&e, pGroup->pElems + (size_t)i * sizeof(e), sizeof(e));
        BOOL bUseCache;
        memcpy(&bUseCache, pGroup->pTail + (size_t)i * sizeof(BOOL), sizeof(BOOL));
        Mos_RC rc = MOS_RC__INVALID;
        if (e.volId == 0 || e.vtreeId == 0)
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Update vol element %u refused: volId %lx, vtreeId %lx", i,
                      (unsigned long)e.volId, (unsigned long)e.vtreeId);
        else
            rc = contCmd_UpdateVol(pCont, &e, bUseCache);
        if (rc != MOS_RC__SUCCESS && rc != MOS_RC__ALREADY_EXISTS)
            result = rc;
    }
    return result;
}

Mos_RC contCmd_UpdateVtree(Cont *pCont, UINT32 numOfNodes, const UINT8 *pNodes)
{
    const BOOL bSuppressTrace = numOfNodes > tgtInitParam_G.maxVtreesToTrace;
    if (bSuppressTrace)
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_MED, "Updating large number of vtrees (%d). Logging supressed",
                  (int)numOfNodes);
    // The record's nodes are not aligned for their fields.
    std::vector<OstrelTgtReq_VtreeNode> nodes(numOfNodes);
    if (numOfNodes != 0)
        memcpy(nodes.data(), pNodes, (size_t)numOfNodes * sizeof(OstrelTgtReq_VtreeNode));
    Mos_RC result = MOS_RC__SUCCESS;
    for (size_t first = 0, end; first < nodes.size(); first = end) {
        for (end = first + 1; end < nodes.size() && nodes[end].vtreeId == nodes[first].vtreeId; end++) {
        }
        const Mos_RC rc =
            contCmd_UpdateVtreeRun(pCont, std::span(nodes).subspan(first, end - first), bSuppressTrace);
        if (rc != MOS_RC__SUCCESS && rc != MOS_RC__NOT_FOUND)
            result = rc;
    }
    return result;
}

// The handlers of the table.

Mos_RC contCmd_RemDevCmd(ContCmdCtx *pCtx)
{
    return contCmd_RemDev(pCtx->pCont, contCmd_RecAt<OstrelTgtReq_RemDev>(pCtx, 0).devId);
}

Mos_RC contCmd_RemTgtCmd(ContCmdCtx *pCtx)
{
    return contCmd_RemTgt(pCtx->pCont, contCmd_RecAt<OstrelTgtReq_RemTgt>(pCtx, 0).tgtId);
}

Mos_RC contCmd_RemVolCmd(ContCmdCtx *pCtx)
{
    return contCmd_RemVol(pCtx->pCont, contCmd_RecAt<OstrelTgtReq_RemVol>(pCtx, 0).volId);
}

Mos_RC contCmd_RemCombCmd(ContCmdCtx *pCtx)
{
    return contCmd_RemComb(pCtx->pCont, contCmd_RecAt<OstrelTgtReq_RemComb>(pCtx, 0).combId);
}

Mos_RC contCmd_RemVtreesCmd(ContCmdCtx *pCtx)
{
    const auto head = contCmd_RecAt<OstrelTgtReq_RemVtrees>(pCtx, 0);
    return contCmd_RemVtreeGroup(
        pCtx->pCont, std::span(pCtx->pRec + sizeof(head), (size_t)head.numOfVTrees * sizeof(VTreeId)));
}

Mos_RC contCmd_UpdateVolCmd(ContCmdCtx *pCtx)
{
    const auto head = contCmd_RecAt<OstrelTgtReq_UpdateVolArr>(pCtx, 0);
    const UINT8 *pElems = pCtx->pRec + sizeof(head);
    const ContCmdGroup group{head.numOfVols, FALSE, pElems,
                             pElems + (size_t)head.numOfVols * sizeof(OstrelTgtReq_UpdateVol)};
    return contCmd_UpdateVolGroup(pCtx->pCont, &group);
}

Mos_RC contCmd_UpdateVtreeCmd(ContCmdCtx *pCtx)
{
    const auto head = contCmd_RecAt<OstrelTgtReq_UpdateVtree>(pCtx, 0);
    return contCmd_UpdateVtree(pCtx->pCont, head.numOfNodes, pCtx->pRec + sizeof(head));
}
