// The reconfiguration cycle and the group commands. Inside a cycle a group command is a
// mark-and-sweep: every object of the kind is marked, each listed object is added or updated
// (which clears its mark), and what is still marked is removed. Outside a cycle the same command
// only adds or updates. A listed element that cannot be applied makes the group answer
// MOS_RC__ERROR while every other element is still applied; an element identifier of 0 is such an
// element, never a reason to stop the process.
#include <atomic>
#include <memory>
#include <vector>

#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"
#include "tgt/cont/cont.h"
#include "tgt/cont/cont_dev.h"
#include "tgt/cont/cont_example.h"
#include "tgt/tgt_conf.h"
#include "tgt/cont/cont_cmd_intrn.h"

namespace {

template <class T> void contCmd_Unmark(ContMngr<T> *pMngr, T *pObj)
{
    MosFastlockGuard g(&pMngr->fastlock);
    pObj->bMark = FALSE;
}

// The registry side of one add: a registered object is updated (update(T *) answers, 7 when all
// went well); a new one is built in place while the id's stripe is held (build(T *) may not
// block), registered, started (start(T *): work that may block) and, if starting fails, removed
// again through rem with rollback.
template <class T, class Update, class Build, class Start>
Mos_RC contCmd_AddObj(Cont *pCont, UINT64 id, ContObjType type, Update update, Build build, Start start,
                      Mos_RC (*pRem)(Cont *, UINT64, BOOL))
{
    auto known = [&](T *pObj) {
        const Mos_RC rc = update(pObj);
        contObj_ReleaseWriteLock(&pCont->objs, id, type);
        return rc;
    };
    if (T *pObj = static_cast<T *>(contObj_AcquireWriteLock(&pCont->objs, id, type)))
        return known(pObj);
    Mos_RC rc = MOS_RC__SUCCESS;
    if (T *pObj = static_cast<T *>(contObj_AddStart(&pCont->objs, id, type, &rc)))
        return known(pObj);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    auto *pObj = static_cast<T *>(mos_MemCalloc(sizeof(T), sizeof(T), __func__, FALSE));
    build(pObj);
    contObj_AddSyncDone(&pCont->objs, &pObj->accessLock, id, type, pObj, &pObj->hashRecord);
    rc = start(pObj);
    contObj_AddDone(&pCont->objs, &pObj->accessLock, id, type);
    if (rc != MOS_RC__SUCCESS)
        MOS_ASSERT(pRem(pCont, id, TRUE) == MOS_RC__SUCCESS);
    return rc;
}

// Unregisters the id and hands the object to destroy; MOS_RC__NOT_FOUND when it is not there.
template <class T, class Destroy> Mos_RC contCmd_RemObj(Cont *pCont, UINT64 id, ContObjType type, Destroy destroy)
{
    T *pObj = static_cast<T *>(contObj_Rem(&pCont->objs, id, type));
    if (pObj == nullptr)
        return MOS_RC__NOT_FOUND;
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Removed object %lx of kind %u", (unsigned long)id, (unsigned)type);
    destroy(pObj);
    mos_MemFree(pObj);
    return MOS_RC__SUCCESS;
}

// Removes every object still marked after the group's adds.
template <class T, class IdOf> void contCmd_SweepMarked(Cont *pCont, ContMngr<T> *pMngr, IdOf idOf,
                                                        Mos_RC (*pRem)(Cont *, UINT64, BOOL))
{
    while (T *pObj = contMngr_GetFirstMarkedNode(pMngr))
        MOS_ASSERT(pRem(pCont, idOf(pObj), FALSE) == MOS_RC__SUCCESS);
}

// The generic group: mark (in a cycle), add each element (its id must not be 0), sweep.
template <class Elem, class Mark, class AddOne, class Sweep>
Mos_RC contCmd_RunGroup(const ContCmdGroup *pGroup, const char *pKind, Mark mark, AddOne addOne, Sweep sweep)
{
    if (pGroup->bReconfigInProgress)
        mark();
    Mos_RC result = MOS_RC__SUCCESS;
    // Elements (a head's is 8 KB) are read one at a time into the heap, not onto the command
    // thread's stack.
    std::unique_ptr<Elem> pElem(new Elem);
    const Elem &elem = *pElem;
    for (UINT32 i = 0; i < pGroup->count; i++) {
        memcpy(pElem.get(), pGroup->pElems + (size_t)i * sizeof(Elem), sizeof(Elem));
        BOOL bUseCache = FALSE;
        if (pGroup->pTail != nullptr)
            memcpy(&bUseCache, pGroup->pTail + (size_t)i * sizeof(BOOL), sizeof(BOOL));
        const Mos_RC rc = addOne(elem, bUseCache);
        if (rc != MOS_RC__SUCCESS && rc != MOS_RC__ALREADY_EXISTS) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add %s element %u failed %s", pKind, i, mosRc_GetStr(rc));
            result = MOS_RC__ERROR;
        }
    }
    if (pGroup->bReconfigInProgress)
        sweep();
    return result;
}

// The group head of a command and its elements (the length rule has checked them).
ContCmdGroup contCmd_GroupOf(const ContCmdCtx *pCtx, UINT32 stride, BOOL bTail)
{
    const auto head = contCmd_RecAt<OstrelTgtReq_GroupHead>(pCtx, 0);
    const UINT8 *pElems = pCtx->pRec + sizeof(head);
    return {head.numOf, head.bReconfigInProgress != 0, pElems, bTail ? pElems + (size_t)head.numOf * stride : nullptr};
}

// The peers' ids (bMarkedOnly: those still marked); bMarkAll marks every one first.
std::vector<UINT64> contCmd_PeerIds(Cont *pCont, BOOL bMarkAll, BOOL bMarkedOnly)
{
    std::vector<UINT64> ids;
    ContTgtMngr *pMngr = &pCont->tgtMngr;
    contTgtMngr_Lock(pMngr);
    for (MosDList_Node *p = mosDList_First(&pMngr->tgtAnchor); p != nullptr; p = mosDList_Next(p)) {
        ContTgt *pTgt = MOS_CONTAINER_OF(p, ContTgt, listNode);
        if (bMarkAll)
            pTgt->bMark = TRUE;
        if (!bMarkedOnly || pTgt->bMark)
            ids.push_back(pTgt->tgtId);
    }
    contTgtMngr_Unlock(pMngr);
    return ids;
}

Mos_RC contCmd_TraceAdd(const char *pWhat, UINT64 id, Mos_RC rc)
{
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "%s %lx - %s rc = %s", pWhat, (unsigned long)id, "Done",
              mosRc_GetStr(rc));
    return rc;
}

} // namespace

Mos_RC contCmd_ReconfStart(Cont *pCont)
{
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "%s %lx - %s rc = %s", "Reconf", (unsigned long)cont_GetTgtId(pCont),
              "Start", mosRc_GetStr(MOS_RC__SUCCESS));
    pCont->bReconfigInProgress = TRUE;
    pCont->bReconfigDoneReceived = FALSE;
    pCont->bRecvReconStartAtleastOnce = TRUE;
    return contCmd_TraceAdd("Reconf", cont_GetTgtId(pCont), MOS_RC__SUCCESS);
}

namespace {

std::atomic_ref<BOOL> contCmd_HardenPending(Cont *pCont)
{
    return std::atomic_ref<BOOL>(pCont->cmd.bHardenPending);
}

// Writes every device's comb array. Behind a long in-flight I/O the write would only queue up
// behind it: it is put off (MOS_RC__NOT_READY). Whatever did not reach the disk is left pending
// for the rare watchdog loop.
Mos_RC contCmd_HardenCombArrays(Cont *pCont)
{
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Harden all combs array");
    const Mos_RC rc = contDevMngr_IsLongIoInProgress(&pCont->devMngr, nullptr) ? MOS_RC__NOT_READY
                                                                              : phy_HardenAllCombArr(&pCont->phy);
    if (rc != MOS_RC__SUCCESS)
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Harden all combs array failed %s: left to the watchdog",
                  mosRc_GetStr(rc));
    contCmd_HardenPending(pCont).store(rc != MOS_RC__SUCCESS);
    return rc;
}

} // namespace

Mos_RC contCmd_ReconfDone(Cont *pCont)
{
    mosUmt_SetTimeLimitMilli(~0ull);
    const Mos_RC remRc = contCmd_RemMarkedDevs(pCont);
    phy_ReconfigureStageDone(&pCont->phy);
    const Mos_RC hardenRc = contCmd_HardenCombArrays(pCont);
    // The cycle ends either way: every object is in place in memory, and the commands that wait
    // for the cycle's end must not wait for a disk.
    pCont->bReconfigInProgress = FALSE;
    pCont->bReconfigDoneReceived = TRUE;
    rcache_ReconfDone(cont_GetCache(pCont));
    return contCmd_TraceAdd("Reconf done", cont_GetTgtId(pCont), remRc != MOS_RC__SUCCESS ? remRc : hardenRc);
}

BOOL contCmd_RetryHardenCombArr(Cont *pCont)
{
    if (!contCmd_HardenPending(pCont).load())
        return TRUE;
    // Never inside a cycle (its end hardens anyway), and never waiting behind a command.
    if (mosUmtRWLock_TryAcquireReadLock(&pCont->rwLock) != MOS_RC__SUCCESS)
        return FALSE;
    BOOL bDone = !contCmd_HardenPending(pCont).load();
    if (!bDone && !pCont->bReconfigInProgress) {
        bDone = contCmd_HardenCombArrays(pCont) == MOS_RC__SUCCESS;
        if (bDone)
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Harden all combs array done by the watchdog");
    }
    mosUmtRWLock_ReleaseReadLock(&pCont->rwLock);
    return bDone;
}

Mos_RC contCmd_ReconfStartCmd(ContCmdCtx *pCtx)
{
    return contCmd_ReconfStart(pCtx->pCont);
}

Mos_RC contCmd_ReconfDoneCmd(ContCmdCtx *pCtx)
{
    return contCmd_ReconfDone(pCtx->pCont);
}

// Peers.

Mos_RC contCmd_AddTgt(Cont *pCont, const OstrelTgtReq_AddTgt *pElem)
{
    NetCon_RemoteHosts hosts = pElem->hosts;
    hosts.hostsCount = MOS_MIN(hosts.hostsCount, NET_CON__MAX_NUM_OF_IP_PER_HOST);
    hosts.maxNumHosts = NET_CON__MAX_NUM_OF_IP_PER_HOST;
    const UINT64 id = pElem->tgtId;
    for (UINT32 i = 0; i < hosts.hostsCount; i++)
        if (const Mos_RC rc = contCmd_CheckTextField(hosts.hosts[i], "Peer host name", id); rc != MOS_RC__SUCCESS)
            return contCmd_TraceObjDone("TgtId", id, rc);
    // The slots past the count are never read as names; they end within their field all the same.
    for (UINT32 i = hosts.hostsCount; i < NET_CON__MAX_NUM_OF_IP_PER_HOST; i++)
        hosts.hosts[i][NET_CON__MAX_HOST_NAME - 1] = '\0';
    const Mos_RC rc = contCmd_AddObj<ContTgt>(
        pCont, id, CONT_OBJ_TYPE__TGT,
        [&](ContTgt *pTgt) {
            contTgtMngr_Lock(&pCont->tgtMngr);
            pTgt->bMark = FALSE;
            contTgtMngr_Unlock(&pCont->tgtMngr);
            contTgt_Validate(pTgt, pElem->hostGenNum, &hosts);
            return MOS_RC__ALREADY_EXISTS;
        },
        [&](ContTgt *pTgt) { contTgtMngr_TgtInit(&pCont->tgtMngr, pTgt, id, pElem->hostGenNum, &hosts); },
        [&](ContTgt *pTgt) { return contTgt_Add(pCont, pTgt, &hosts); }, contCmd_RemTgtIntern);
    return contCmd_TraceObjDone("TgtId", id, rc);
}

Mos_RC contCmd_RemTgtIntern(Cont *pCont, UINT64 tgtId, BOOL bRollback)
{
    return contCmd_RemObj<ContTgt>(pCont, tgtId, CONT_OBJ_TYPE__TGT, [&](ContTgt *pTgt) {
        if (!bRollback)
            contTgt_Rem(pTgt);
        contTgtMngr_TgtDestroy(&pCont->tgtMngr, pTgt);
    });
}

Mos_RC contCmd_AddTgtGroup(Cont *pCont, const ContCmdGroup *pGroup)
{
    return contCmd_RunGroup<OstrelTgtReq_AddTgt>(
        pGroup, "peer", [&] { (void)contCmd_PeerIds(pCont, TRUE, FALSE); },
        [&](const OstrelTgtReq_AddTgt &elem, BOOL) {
            return elem.tgtId != 0 ? contCmd_AddTgt(pCont, &elem) : MOS_RC__INVALID;
        },
        [&] {
            for (UINT64 id : contCmd_PeerIds(pCont, FALSE, TRUE))
                MOS_ASSERT(contCmd_RemTgtIntern(pCont, id, FALSE) == MOS_RC__SUCCESS);
        });
}

Mos_RC contCmd_AddTgtGroupCmd(ContCmdCtx *pCtx)
{
    const ContCmdGroup group = contCmd_GroupOf(pCtx, sizeof(OstrelTgtReq_AddTgt), FALSE);
    return contCmd_AddTgtGroup(pCtx->pCont, &group);
}

// Volume trees.

Mos_RC contCmd_AddVtree(Cont *pCont, const OstrelTgtReq_AddVtree *pElem, BOOL bSuppressTrace)
{
    ContVtreeMngr *pMngr = &pCont->vtreeMngr;
    if (!bSuppressTrace) {
        contCmd_TraceObjStart("Vtree Id", pElem->vtreeId);
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_MED, "The Vtree is %s", pElem->bThin ? "thin" : "thick");
    }
    const Mos_RC rc = contCmd_AddObj<ContVtree>(
        pCont, pElem->vtreeId, CONT_OBJ_TYPE__VTREE,
        [&](ContVtree *pVtree) {
            contCmd_Unmark(&pMngr->list, pVtree);
            (void)contVtree_HandleExistingAddedVtree(pVtree, pElem->currentSnapTime);
            return MOS_RC__ALREADY_EXISTS;
        },
        [&](ContVtree *pVtree) {
            MOS_ASSERT_SUCCESS(contVtreeMngr_VtreeInit(pMngr, pVtree, pElem->vtreeId, pElem->encryption,
                                                       pElem->currentSnapTime, pElem->bThin, bSuppressTrace));
        },
        [](ContVtree *) { return MOS_RC__SUCCESS; }, contCmd_RemVtreeIntern);
    return bSuppressTrace ? rc : contCmd_TraceObjDone("Vtree Id", pElem->vtreeId, rc);
}

Mos_RC contCmd_RemVtreeIntern(Cont *pCont, UINT64 vtreeId, BOOL bRollback)
{
    (void)bRollback;
    return contCmd_RemObj<ContVtree>(pCont, vtreeId, CONT_OBJ_TYPE__VTREE, [&](ContVtree *pVtree) {
        contVtreeMngr_VtreeDestroy(&pCont->vtreeMngr, pVtree);
    });
}

Mos_RC contCmd_AddVtreeGroup(Cont *pCont, const ContCmdGroup *pGroup)
{
    ContMngr<ContVtree> *pList = &pCont->vtreeMngr.list;
    const BOOL bSuppressTrace = pGroup->count > tgtInitParam_G.maxVtreesToTrace;
    return contCmd_RunGroup<OstrelTgtReq_AddVtree>(
        pGroup, "volume tree", [&] { contMngr_MarkAll(pList); },
        [&](const OstrelTgtReq_AddVtree &elem, BOOL) {
            // The tree takes its thin flag on trust: anything but a BOOL is refused here.
            return elem.vtreeId != 0 && elem.bThin <= 1 ? contCmd_AddVtree(pCont, &elem, bSuppressTrace)
                                                        : MOS_RC__INVALID;
        },
        [&] { contCmd_SweepMarked(pCont, pList, [](ContVtree *p) { return p->vtreeId; }, contCmd_RemVtreeIntern); });
}

Mos_RC contCmd_AddVtreeGroupCmd(ContCmdCtx *pCtx)
{
    const ContCmdGroup group = contCmd_GroupOf(pCtx, sizeof(OstrelTgtReq_AddVtree), FALSE);
    return contCmd_AddVtreeGroup(pCtx->pCont, &group);
}

// Volumes.

Mos_RC contCmd_AddVol(Cont *pCont, const OstrelTgtReq_AddVol *pElem, BOOL bUseCache)
{
    ContVolMngr *pMngr = &pCont->volMngr;
    const OstrelTgtReq_AddVol e = *pElem;
    contCmd_TraceObjStart("VolId", e.volId);
    if (tgtInitParam_G.bDit)
        MOS_TRACE(MOS_COMP_TGT_IOH, MOS_FREQ_LOW, "Add Vol %lx - useCache: %d (dit)", (unsigned long)e.volId,
                  (int)bUseCache);
    // A volume must name its tree and its object id; the Ostrel's word is checked before any object
    // is built, since a volume that cannot be built is only a bad element.
    if (e.vtreeId == 0 || e.vtoId == 0) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add vol id %lx refused: vtreeId %lx, vtoId %u",
                  (unsigned long)e.volId, (unsigned long)e.vtreeId, (unsigned)e.vtoId);
        return contCmd_TraceObjDone("VolId", e.volId, MOS_RC__INVALID_ARG);
    }
    // The tree must be here when its volume comes; the volume looks it up again on every use.
    if (contObj_Acquire(&pCont->objs, e.vtreeId, CONT_OBJ_TYPE__VTREE) == nullptr) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add vol id %lx refused: no vtree %lx", (unsigned long)e.volId,
                  (unsigned long)e.vtreeId);
        return contCmd_TraceObjDone("VolId", e.volId, MOS_RC__ERROR);
    }
    contObj_Release(&pCont->objs, e.vtreeId, CONT_OBJ_TYPE__VTREE);
    const Mos_RC rc = contCmd_AddObj<ContVol>(
        pCont, e.volId, CONT_OBJ_TYPE__VOL,
        [&](ContVol *pVol) {
            contCmd_Unmark(&pMngr->list, pVol);
            // Only a change of generation, key, node or quiesce is applied to a known volume.
            if (!contVol_IsUpdateNeeded(pVol, e.volGenNum, e.scsiGenNum, e.reserverKey, e.vtoId, e.bQuiesced))
                return MOS_RC__ALREADY_EXISTS;
            const Mos_RC upd = contVol_UpdateFull(pVol, e.volGenNum, e.scsiGenNum, e.reserverKey, e.bTeachAboutScsiGen,
                                                  e.vtreeId, e.vtoId, e.bQuiesced, bUseCache);
            return upd == MOS_RC__SUCCESS ? MOS_RC__ALREADY_EXISTS : upd;
        },
        [&](ContVol *pVol) {
            MOS_ASSERT_SUCCESS(contVolMngr_VolInit(pMngr, pCont, pVol, e.volId, e.volGenNum, e.scsiGenNum,
                                                   e.reserverKey, e.bTeachAboutScsiGen, e.vtreeId, e.vtoId,
                                                   e.bQuiesced, bUseCache));
            if (tgtInitParam_G.bDit)
                MOS_TRACE(MOS_COMP_TGT_IOH, MOS_FREQ_LOW, "Add Vol %lx - useCache: %d (dit)", (unsigned long)e.volId,
                          (int)pVol->bUseCache);
        },
        [](ContVol *) { return MOS_RC__SUCCESS; }, contCmd_RemVolIntern);
    return contCmd_TraceObjDone("VolId", e.volId, rc);
}

Mos_RC contCmd_RemVolIntern(Cont *pCont, UINT64 volId, BOOL bRollback)
{
    (void)bRollback;
    return contCmd_RemObj<ContVol>(pCont, volId, CONT_OBJ_TYPE__VOL,
                                   [&](ContVol *pVol) { contVolMngr_VolDestroy(&pCont->volMngr, pVol); });
}

Mos_RC contCmd_AddVolGroup(Cont *pCont, const ContCmdGroup *pGroup)
{
    ContMngr<ContVol> *pList = &pCont->volMngr.list;
    return contCmd_RunGroup<OstrelTgtReq_AddVol>(
        pGroup, "volume", [&] { contMngr_MarkAll(pList); },
        [&](const OstrelTgtReq_AddVol &elem, BOOL bUseCache) {
            // A volume without its tree or its node could never serve an I/O.
            return elem.volId != 0 && elem.vtreeId != 0 && elem.vtoId != 0 ? contCmd_AddVol(pCont, &elem, bUseCache)
                                                                            : MOS_RC__INVALID;
        },
        [&] { contCmd_SweepMarked(pCont, pList, [](ContVol *p) { return p->volId; }, contCmd_RemVolIntern); });
}

Mos_RC contCmd_AddVolGroupCmd(ContCmdCtx *pCtx)
{
    const ContCmdGroup group = contCmd_GroupOf(pCtx, sizeof(OstrelTgtReq_AddVol), TRUE);
    return contCmd_AddVolGroup(pCtx->pCont, &group);
}

// Heads.

Mos_RC contCmd_AddHead(Cont *pCont, const OstrelTgtReq_UpdateMultiHead *pElem)
{
    const HeadId id = pElem->mhId;
    const GenNum gen = pElem->capChangeGen;
    // The record's map is not aligned for VTreeId.
    std::vector<VTreeId> map(HEAD__USAGE_MAP_SLOTS);
    memcpy(map.data(), pElem->usageMap, sizeof(pElem->usageMap));
    UINT8 usageBM[PHY_COMB__USAGE_BM_BYTES];
    memcpy(usageBM, pElem->usageBM, sizeof(usageBM));
    const Mos_RC rc = contCmd_AddObj<ContHead>(
        pCont, id, CONT_OBJ_TYPE__HEAD,
        [&](ContHead *pHead) {
            contCmd_Unmark(&pCont->headMngr, pHead);
            if (!contHead_IsUpdateNeeded(pHead, id, gen))
                return MOS_RC__ALREADY_EXISTS;
            const Mos_RC upd = contHead_UpdateFull(pHead, id, gen, usageBM, map.data());
            return upd == MOS_RC__SUCCESS ? MOS_RC__ALREADY_EXISTS : upd;
        },
        [&](ContHead *pHead) { contHeadMngr_HeadInit(&pCont->headMngr, pCont, pHead, id, gen, usageBM, map.data()); },
        [](ContHead *) { return MOS_RC__SUCCESS; }, contCmd_RemHeadIntern);
    return contCmd_TraceObjDone("HeadId", id, rc);
}

Mos_RC contCmd_RemHeadIntern(Cont *pCont, UINT64 headId, BOOL bRollback)
{
    (void)bRollback;
    return contCmd_RemObj<ContHead>(pCont, headId, CONT_OBJ_TYPE__HEAD,
                                    [&](ContHead *pHead) { contHeadMngr_HeadDestroy(&pCont->headMngr, pHead); });
}

Mos_RC contCmd_AddHeadGroup(Cont *pCont, const ContCmdGroup *pGroup)
{
    return contCmd_RunGroup<OstrelTgtReq_UpdateMultiHead>(
        pGroup, "head", [&] { contMngr_MarkAll(&pCont->headMngr); },
        [&](const OstrelTgtReq_UpdateMultiHead &elem, BOOL) {
            return elem.mhId != 0 ? contCmd_AddHead(pCont, &elem) : MOS_RC__INVALID;
        },
        [&] {
            contCmd_SweepMarked(pCont, &pCont->headMngr, [](ContHead *p) { return (UINT64)p->headId; },
                                contCmd_RemHeadIntern);
        });
}

Mos_RC contCmd_AddHeadGroupCmd(ContCmdCtx *pCtx)
{
    const ContCmdGroup group = contCmd_GroupOf(pCtx, sizeof(OstrelTgtReq_UpdateMultiHead), FALSE);
    return contCmd_AddHeadGroup(pCtx->pCont, &group);
}

// Example objects: no command reaches them; they show the add and removal every kind follows.

Mos_RC contCmd_AddExm(Cont *pCont, UINT64 objId, UINT32 data)
{
    auto update = [&](ContExample *pExm) {
        contCmd_Unmark(&pCont->exampleMngr, pExm);
        contExample_Update(pExm, data);
        return MOS_RC__ALREADY_EXISTS;
    };
    const Mos_RC rc = contCmd_AddObj<ContExample>(
        pCont, objId, CONT_OBJ_TYPE__EXAMPLE, update,
        [&](ContExample *pExm) { contExampleMngr_ObjInit(&pCont->exampleMngr, pCont, pExm, objId, data); },
        [](ContExample *) { return MOS_RC__SUCCESS; }, contCmd_RemExmIntern);
    return contCmd_TraceObjDone("ExampleId", objId, rc);
}

Mos_RC contCmd_RemExmIntern(Cont *pCont, UINT64 objId, BOOL bRollback)
{
    (void)bRollback;
    return contCmd_RemObj<ContExample>(pCont, objId, CONT_OBJ_TYPE__EXAMPLE, [&](ContExample *pExm) {
        contExampleMngr_ObjDestroy(&pCont->exampleMngr, pExm);
    });
}

Mos_RC contCmd_RemExp(Cont *pCont, UINT64 objId)
{
    return contCmd_RemExmIntern(pCont, objId, FALSE);
}

// The flash read cache: its devices arrive as one configuration (applied by the cache's monitor);
// its source devices and its query answer are the cache's own.

Mos_RC contCmd_FlcacheSetConfCmd(ContCmdCtx *pCtx)
{
    const auto conf = contCmd_RecAt<Flcache_ostrelCacheConf>(pCtx, 0);
    for (UINT32 i = 0; i < MOS_MIN(conf.cacheObjDevListSize, MAX_NUM_FLCACHE_DEV_PER_TGT); i++)
        if (const Mos_RC rc = contCmd_CheckTextField(conf.cacheDevPath[i], "Flash-cache device path", i);
            rc != MOS_RC__SUCCESS)
            return rc;
    return flcache_CacheReconfig(&pCtx->pCont->flcache, &conf);
}

Mos_RC contCmd_FlcacheDevUseUpdateCmd(ContCmdCtx *pCtx)
{
    const auto conf = contCmd_RecAt<Flcache_ostrelSourceConf>(pCtx, 0);
    (void)flcache_SourceReconfig(&pCtx->pCont->flcache, &conf);
    return MOS_RC__SUCCESS;
}

Mos_RC contCmd_FlcacheQueryCmd(ContCmdCtx *pCtx)
{
    std::unique_ptr<Flcache_ostrelQueryRes> pAns(new Flcache_ostrelQueryRes{});
    flcache_CacheQuery(&pCtx->pCont->flcache, pAns.get());
    contCmd_AppendAnswer(pCtx->pRes, pAns.get(), sizeof(*pAns));
    return MOS_RC__SUCCESS;
}
