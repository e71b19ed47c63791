#include "tgt/cont/cont_volume.h"

#include <cstring>

#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"
#include "tgt/cont/cont_root.h"

namespace {
const ContVolHooks kRegistryHooks = {cont_AcquireContVtree, cont_ReleaseContVtree, nullptr};

ContVol *contVol_Of(IohVol *pVol)
{
    return reinterpret_cast<ContVol *>(pVol);
}

// Whether an update may carry these values: no generation taken back, no id of 0.
Mos_RC contVol_CheckUpdate(ContVol *pVol, GenNum volGenNum, GenNum scsiGenNum, VTreeId vtreeId, VtoId vtoId)
{
    MosFastlockGuard g(&pVol->fastLock);
    const BOOL bVolGenOld = volGenNum != pVol->volGenNum && !contVol_IsGenNewer(volGenNum, pVol->volGenNum);
    const BOOL bScsiGenOld = scsiGenNum != pVol->scsiGenNum && !contVol_IsGenNewer(scsiGenNum, pVol->scsiGenNum);
    if (!bVolGenOld && !bScsiGenOld && vtreeId != 0 && vtoId != 0)
        return MOS_RC__SUCCESS;
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW,
              "Update vol id %lx refused: volGenNum %lx (%lx), scsiGenNum %lx (%lx), vtreeId %lx, vtoId %u",
              (unsigned long)pVol->volId, (unsigned long)pVol->volGenNum, (unsigned long)volGenNum,
              (unsigned long)pVol->scsiGenNum, (unsigned long)scsiGenNum, (unsigned long)vtreeId, vtoId);
    return MOS_RC__INVALID_ARG;
}

// Makes the volume counted as quiesced in its current tree (bCount) or in none. Runs on the
// command path (one command at a time per volume), without the volume's fast lock.
void contVol_SetQuiescedCount(ContVol *pVol, BOOL bCount)
{
    const ContVolHooks &h = pVol->pVolMngr->hooks;
    VTreeId target;
    {
        MosFastlockGuard g(&pVol->fastLock);
        target = bCount ? pVol->vtreeId : 0;
    }
    if (pVol->quiescedVtreeId == target)
        return;
    if (pVol->quiescedVtreeId != 0) {
        // A tree removed meanwhile took its counter with it.
        if (ContVtree *pVtree = h.pAcquireVtree(pVol->pCont, pVol->quiescedVtreeId)) {
            contVtree_UpdateQuiescedCounter(pVtree, FALSE);
            h.pReleaseVtree(pVol->pCont, pVtree);
        }
        pVol->quiescedVtreeId = 0;
    }
    if (target == 0)
        return;
    if (ContVtree *pVtree = h.pAcquireVtree(pVol->pCont, target)) {
        contVtree_UpdateQuiescedCounter(pVtree, TRUE);
        h.pReleaseVtree(pVol->pCont, pVtree);
        pVol->quiescedVtreeId = target;
    } else {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Vol %lx quiesced in vtree %lx that is not known",
                  (unsigned long)pVol->volId, (unsigned long)target);
    }
}

// Gives the copy its own pointers where the answer pointed into itself (its inline records).
void contVol_RebaseResp(const IohResp *pFrom, IohResp *pTo)
{
    const UINT8 *pBegin = reinterpret_cast<const UINT8 *>(pFrom);
    const UINT8 *pEnd = pBegin + sizeof(*pFrom);
    for (UINT32 i = 0; i < MOS_ARRAY_SIZE(pTo->rspBufs); i++) {
        const UINT8 *p = static_cast<const UINT8 *>(pTo->rspBufs[i].p);
        if (p >= pBegin && p < pEnd)
            pTo->rspBufs[i].p = reinterpret_cast<UINT8 *>(pTo) + (p - pBegin);
    }
}
} // namespace

void contVolMngr_Init(ContVolMngr *pVolMngr, const ContVolHooks *pHooks)
{
    memset(static_cast<void *>(pVolMngr), 0, sizeof(*pVolMngr));
    contMngr_Init(&pVolMngr->list);
    pVolMngr->hooks = pHooks != nullptr ? *pHooks : kRegistryHooks;
}

void contVolMngr_Destroy(ContVolMngr *pVolMngr)
{
    contMngr_Destroy(&pVolMngr->list);
}

Mos_RC contVolMngr_VolInit(ContVolMngr *pVolMngr, Cont *pCont, ContVol *pVol, VolId volId, GenNum volGenNum,
                           GenNum scsiGenNum, ScsiRegKey regKey, BOOL bTeachQuillet, VTreeId vtreeId, VtoId vtoId,
                           BOOL bQuiesced, BOOL bUseCache)
{
    if (vtreeId == 0 || vtoId == 0) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add vol id %lx refused: vtreeId %lx, vtoId %u",
                  (unsigned long)volId, (unsigned long)vtreeId, vtoId);
        return MOS_RC__INVALID_ARG;
    }
    memset(static_cast<void *>(pVol), 0, sizeof(*pVol));
    mosDList_InitAnchor(&pVol->pendIoAnchor);
    pVol->pCont = pCont;
    pVol->pVolMngr = pVolMngr;
    pVol->volId = volId;
    pVol->volGenNum = volGenNum;
    pVol->scsiGenNum = scsiGenNum;
    pVol->regKey = regKey;
    pVol->bTeachQuillet = bTeachQuillet;
    pVol->vtreeId = vtreeId;
    pVol->vtoId = vtoId;
    pVol->bQuiesced = bQuiesced;
    pVol->bUseCache = bUseCache;
    MOS_FASTLOCK_CREATE(&pVol->fastLock, TGT_CONTENTION__CONT_MNGR_OBJ);
    if (bQuiesced)
        contVol_SetQuiescedCount(pVol, TRUE);
    contMngr_Append(&pVolMngr->list, pVol);
    return MOS_RC__SUCCESS;
}

void contVolMngr_VolDestroy(ContVolMngr *pVolMngr, ContVol *pVol)
{
    contMngr_Unlink(&pVolMngr->list, pVol);
    contVol_ReleaseDelayResponse(pVol);
    contVol_SetQuiescedCount(pVol, FALSE);
    mosFastlockBase_Destroy(&pVol->fastLock);
    memset(static_cast<void *>(pVol), 0, sizeof(*pVol));
}

namespace {
Mos_RC contVol_Update(ContVol *pVol, GenNum volGenNum, GenNum scsiGenNum, ScsiRegKey regKey, BOOL bTeachQuillet,
                      VTreeId vtreeId, VtoId vtoId, const BOOL *pbQuiesced, BOOL bUseCache)
{
    const Mos_RC rc = contVol_CheckUpdate(pVol, volGenNum, scsiGenNum, vtreeId, vtoId);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    BOOL bQuiesced;
    {
        MosFastlockGuard g(&pVol->fastLock);
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW,
                  "Update vol id %lx, volGenNum %lx (%lx), scsiGenNum %lx (%lx), vtreeId %lx (%lx), regKey %lx (%lx), "
                  "vtoId %u (%u), bTeachQuillet %u (%u), bUseCache %u (%u)",
                  (unsigned long)pVol->volId, (unsigned long)pVol->volGenNum, (unsigned long)volGenNum,
                  (unsigned long)pVol->scsiGenNum, (unsigned long)scsiGenNum, (unsigned long)pVol->vtreeId,
                  (unsigned long)vtreeId, (unsigned long)pVol->regKey, (unsigned long)regKey, pVol->vtoId, vtoId,
                  pVol->bTeachQuillet, bTeachQuillet, pVol->bUseCache, bUseCache);
        pVol->volGenNum = volGenNum;
        pVol->scsiGenNum = scsiGenNum;
        pVol->bTeachQuillet = bTeachQuillet;
        pVol->vtreeId = vtreeId;
        pVol->vtoId = vtoId;
        pVol->regKey = regKey;
        pVol->bUseCache = bUseCache;
        if (pbQuiesced != nullptr)
            pVol->bQuiesced = *pbQuiesced;
        bQuiesced = pVol->bQuiesced;
    }
    // Also moves the count when the volume changed trees while quiesced.
    contVol_SetQuiescedCount(pVol, bQuiesced);
    if (pbQuiesced != nullptr && !bQuiesced)
        contVol_ReleaseDelayResponse(pVol);
    return MOS_RC__SUCCESS;
}
} // namespace

Mos_RC contVol_UpdateFull(ContVol *pVol, GenNum volGenNum, GenNum scsiGenNum, ScsiRegKey regKey, BOOL bTeachQuillet,
                          VTreeId vtreeId, VtoId vtoId, BOOL bQuiesced, BOOL bUseCache)
{
    return contVol_Update(pVol, volGenNum, scsiGenNum, regKey, bTeachQuillet, vtreeId, vtoId, &bQuiesced, bUseCache);
}

Mos_RC contVol_UpdatePartial(ContVol *pVol, GenNum volGenNum, GenNum scsiGenNum, ScsiRegKey regKey,
                             BOOL bTeachQuillet, VTreeId vtreeId, VtoId vtoId, BOOL bUseCache)
{
    return contVol_Update(pVol, volGenNum, scsiGenNum, regKey, bTeachQuillet, vtreeId, vtoId, nullptr, bUseCache);
}

BOOL contVol_IsUpdateNeeded(ContVol *pVol, GenNum volGenNum, GenNum scsiGenNum, ScsiRegKey regKey, VtoId vtoId,
                            BOOL bQuiesced)
{
    MosFastlockGuard g(&pVol->fastLock);
    return volGenNum != pVol->volGenNum || scsiGenNum != pVol->scsiGenNum || !bQuiesced != !pVol->bQuiesced ||
           vtoId != pVol->vtoId || regKey != pVol->regKey;
}

void contVol_UpdateQuiesced(ContVol *pVol, BOOL bQuiesced)
{
    {
        MosFastlockGuard g(&pVol->fastLock);
        pVol->bQuiesced = bQuiesced;
    }
    contVol_SetQuiescedCount(pVol, bQuiesced);
    if (!bQuiesced)
        contVol_ReleaseDelayResponse(pVol);
}

Mos_RC contVol_Validate(ContVol *pVol, GenNum volGenNum, GenNum scsiGenNum, ScsiRegKey regKey,
                        GenNum *pCurScsiGenNum)
{
    MosFastlockGuard g(&pVol->fastLock);
    if (pCurScsiGenNum != nullptr)
        *pCurScsiGenNum = pVol->scsiGenNum;
    if (volGenNum != pVol->volGenNum)
        return MOS_RC__IO_FAULT_WRONG_VOL_GEN;
    if ((INT64)scsiGenNum < 0)
        return MOS_RC__SUCCESS;
    if (scsiGenNum == pVol->scsiGenNum)
        return pVol->regKey != 0 && regKey != pVol->regKey ? MOS_RC__IO_FAULT_RESERVATION_CONFLICT : MOS_RC__SUCCESS;
    if (!pVol->bTeachQuillet)
        return MOS_RC__IO_FAULT_RESERVATION_CONFLICT;
    return scsiGenNum < pVol->scsiGenNum ? MOS_RC__IO_FAULT_OLD_SCSI_GEN : MOS_RC__IO_FAULT_NEW_SCSI_GEN;
}

BOOL contVol_IsQuiesced(ContVol *pVol)
{
    MosFastlockGuard g(&pVol->fastLock);
    return pVol->bQuiesced;
}

void contVol_DelayResponse(ContVol *pVol, IohResp *pIoRes)
{
    MosFastlockGuard g(&pVol->fastLock);
    if (pVol->bQuiesced)
        pIoRes->bDelayResp = TRUE;
}

BOOL contVol_hangDelayResponse(Cont *pCont, ContVol *pVol, IohResp *pIoRes, const void *pReq)
{
    (void)pCont;
    MosFastlockGuard g(&pVol->fastLock);
    if (!pVol->bQuiesced || pVol->pVolMngr->hooks.pSendResponse == nullptr) {
        pIoRes->bDelayResp = FALSE;
        return FALSE;
    }
    auto *pQio = static_cast<ContQuiescedIo *>(mos_MemCalloc(sizeof(ContQuiescedIo), sizeof(ContQuiescedIo), __func__, TRUE));
    if (pQio == nullptr) {
        // Nowhere to keep it: the answer goes now rather than never.
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Vol %lx: no memory to hold a response, sent now",
                  (unsigned long)pVol->volId);
        pIoRes->bDelayResp = FALSE;
        return FALSE;
    }
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_MED, "pReq={size=%u, pMsgCtx=%p}", 0u, pReq);
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_MED, "pResp={size=%u, pMsgCtx=%p, result=%u}", pIoRes->numOfRspBufs,
              static_cast<void *>(pIoRes), (unsigned)pIoRes->rc);
    pQio->resp = *pIoRes;
    contVol_RebaseResp(pIoRes, &pQio->resp);
    pQio->pReq = pReq;
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Hang delay response %u", pVol->pendIoAnchor.counter);
    mosDList_InsertTail(&pVol->pendIoAnchor, &pQio->node);
    return TRUE;
}

void contVol_ReleaseDelayResponse(ContVol *pVol)
{
    mosFastlockBase_Acquire(&pVol->fastLock);
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Free delay response %u", pVol->pendIoAnchor.counter);
    while (MosDList_Node *pNode = mosDList_RemoveHead(&pVol->pendIoAnchor)) {
        mosFastlockBase_Release(&pVol->fastLock);
        ContQuiescedIo *pQio = MOS_CONTAINER_OF(pNode, ContQuiescedIo, node);
        pQio->resp.bDelayResp = FALSE;
        pVol->pVolMngr->hooks.pSendResponse(pVol->pCont, pQio->pReq, &pQio->resp);
        mos_MemFree(pQio);
        mosFastlockBase_Acquire(&pVol->fastLock);
    }
    mosFastlockBase_Release(&pVol->fastLock);
}

void contVolMngr_MarkAllVols(ContVolMngr *pVolMngr)
{
    contMngr_MarkAll(&pVolMngr->list);
}

ContVol *contVolMngr_GetFirstMarkedNode(ContVolMngr *pVolMngr)
{
    return contMngr_GetFirstMarkedNode(&pVolMngr->list);
}

void contVol_Query(ContVol *pVol, VolQuery *pQuery)
{
    MosFastlockGuard g(&pVol->fastLock);
    *pQuery = VolQuery{pVol->volId, pVol->volGenNum, pVol->scsiGenNum, pVol->vtreeId, pVol->bQuiesced};
}

IohVol *cont_IohAcquireVol(Cont *pCont, UINT64 volId)
{
    return static_cast<IohVol *>(contObj_Acquire(cont_GetObjs(pCont), volId, CONT_OBJ_TYPE__VOL));
}

void cont_IohReleaseVol(Cont *pCont, IohVol *pVol)
{
    contObj_Release(cont_GetObjs(pCont), contVol_Of(pVol)->volId, CONT_OBJ_TYPE__VOL);
}

Mos_RC cont_IohValidateVol(IohVol *pVol, UINT64 volGenNum, UINT64 scsiGenNum, UINT64 regKey, UINT64 *pCurScsiGenNum)
{
    return contVol_Validate(contVol_Of(pVol), volGenNum, scsiGenNum, regKey, pCurScsiGenNum);
}

BOOL cont_IohIsVolQuiesced(IohVol *pVol)
{
    return contVol_IsQuiesced(contVol_Of(pVol));
}

BOOL cont_IohIsVolCached(IohVol *pVol)
{
    ContVol *p = contVol_Of(pVol);
    MosFastlockGuard g(&p->fastLock);
    return p->bUseCache;
}

BOOL cont_IohHangDelayResponse(Cont *pCont, UINT64 volId, IohResp *pIoRes)
{
    auto *pVol = static_cast<ContVol *>(contObj_Acquire(cont_GetObjs(pCont), volId, CONT_OBJ_TYPE__VOL));
    if (pVol == nullptr)
        return FALSE;
    const BOOL bHeld = contVol_hangDelayResponse(pCont, pVol, pIoRes, nullptr);
    contObj_Release(cont_GetObjs(pCont), volId, CONT_OBJ_TYPE__VOL);
    return bHeld;
}

ContVtree *cont_AcquireContVtree(Cont *pCont, VTreeId vtreeId)
{
    return static_cast<ContVtree *>(contObj_Acquire(cont_GetObjs(pCont), vtreeId, CONT_OBJ_TYPE__VTREE));
}

void cont_ReleaseContVtree(Cont *pCont, ContVtree *pVtree)
{
    contObj_Release(cont_GetObjs(pCont), pVtree->vtreeId, CONT_OBJ_TYPE__VTREE);
}
