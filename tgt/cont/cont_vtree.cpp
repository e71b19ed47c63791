#include "tgt/cont/cont_vtree.h"

#include <cstring>

#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"
#include "tgt/cont/cont_net.h"
#include "tgt/cont/cont_root.h"

namespace {
// A reply buffer appended to pRes; null (nothing appended) when it cannot be allocated.
void *contVtree_AddReply(NetRpcData *pRes, UINT32 size)
{
    void *p = mos_MemCalloc(size, size, __func__, TRUE);
    if (p != nullptr)
        netIov_AddBuffer(&pRes->iov, p, size, CONT_NET_BUF_TYPE__NET_ALLOC);
    return p;
}

void contVtree_FillUsage(ContVtree *pVtree, OstrelTgtRsp_QueryVtreeSize *pRec)
{
    contVtree_Lock(pVtree);
    const UINT32 usage = pVtree->vtree.vtreeUsageMB;
    const UINT32 base = pVtree->vtree.baseVolUsageMB;
    contVtree_Unlock(pVtree);
    // The two counters are kept by the tree layer; a base above the whole is reported as the whole.
    if (base > usage)
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Vtree %lx base volume usage %u MB above tree usage %u MB",
                  (unsigned long)pVtree->vtreeId, base, usage);
    pRec->vtreeId = pVtree->vtreeId;
    pRec->vtreeSizeMB = usage;
    pRec->baseVolSizeMB = MOS_MIN(base, usage);
    pRec->trimmedSizeMB = std::atomic_ref<UINT32>(pVtree->numOfTeethTrimmed).load();
}
} // namespace

void contVtreeMngr_Init(ContVtreeMngr *pVtreeMngr, Cont *pCont)
{
    memset(static_cast<void *>(pVtreeMngr), 0, sizeof(*pVtreeMngr));
    contMngr_Init(&pVtreeMngr->list);
    pVtreeMngr->pCont = pCont;
    vtreeMap_Init(&pVtreeMngr->vtreeMap);
}

void contVtreeMngr_Destroy(ContVtreeMngr *pVtreeMngr)
{
    vtreeMap_Destroy(&pVtreeMngr->vtreeMap);
    contMngr_Destroy(&pVtreeMngr->list);
}

Mos_RC contVtreeMngr_VtreeInit(ContVtreeMngr *pVtreeMngr, ContVtree *pVtree, VTreeId vtreeId, UINT64 encryption,
                               VtoTime currentSnapTime, BOOL bThin, BOOL bSuppressTrace)
{
    if (vtreeId == 0) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add Vtree refused: id 0");
        return MOS_RC__INVALID_ARG;
    }
    memset(static_cast<void *>(pVtree), 0, sizeof(*pVtree));
    pVtree->vtreeId = vtreeId;
    pVtree->newSnapDelGeneration = CONT_VTREE__FIRST_GENERATION;
    pVtree->pendSnapDelGeneration = CONT_VTREE__FIRST_GENERATION;
    pVtree->doneSnapDelGeneration = CONT_VTREE__FIRST_GENERATION;
    MOS_FASTLOCK_CREATE(&pVtree->delFastlock, TGT_CONTENTION__CONT_MNGR_OBJ);
    vtree_Init(&pVtree->vtree, vtreeId, &pVtreeMngr->vtreeMap, encryption, currentSnapTime, bThin, bSuppressTrace);
    contMngr_Append(&pVtreeMngr->list, pVtree);
    return MOS_RC__SUCCESS;
}

void contVtreeMngr_VtreeDestroy(ContVtreeMngr *pVtreeMngr, ContVtree *pVtree)
{
    contMngr_Unlink(&pVtreeMngr->list, pVtree);
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Rem Vtree: %lx Used MB: %u Base Vol MB: %u (dit)",
              (unsigned long)pVtree->vtreeId, pVtree->vtree.vtreeUsageMB, pVtree->vtree.baseVolUsageMB);
    mosFastlockBase_Destroy(&pVtree->delFastlock);
    vtree_Destroy(&pVtree->vtree);
    memset(static_cast<void *>(pVtree), 0, sizeof(*pVtree));
}

Mos_RC contVtree_Update(ContVtree *pVtree, UINT32 numOfNodes, const OstrelTgtReq_VtreeNode *pNodes,
                        BOOL bSuppressTrace, BOOL *pbNewCandidate)
{
    return vtree_Update(&pVtree->vtree, numOfNodes, pNodes, TRUE, bSuppressTrace, pbNewCandidate);
}

BOOL contVtree_HandleExistingAddedVtree(ContVtree *pVtree, VtoTime currentSnapTime)
{
    return vtree_HandleExistingAddedVtree(&pVtree->vtree, currentSnapTime);
}

UINT32 contVtree_GetHeadVto(ContVtree *pVtree) { return vtree_GetHeadVto(&pVtree->vtree); }
UINT32 contVtree_GetTailVto(ContVtree *pVtree) { return vtree_GetTailVto(&pVtree->vtree); }
UINT32 contVtree_GetHeadTime(ContVtree *pVtree) { return vtree_GetHeadTime(&pVtree->vtree); }
BOOL contVtree_IsQuiesced(ContVtree *pVtree) { return vtree_IsQuiesced(&pVtree->vtree); }
void contVtree_UpdateQuiescedCounter(ContVtree *pVtree, BOOL bQuiesce)
{
    vtree_UpdateQuiescedCounter(&pVtree->vtree, bQuiesce);
}
void contVtree_Lock(ContVtree *pVtree) { vtree_Lock(&pVtree->vtree); }
void contVtree_Unlock(ContVtree *pVtree) { vtree_Unlock(&pVtree->vtree); }

Vtree *contVtree_Get(ContVtree *pVtree) { return &pVtree->vtree; }
Vtree *contVtree_GetVtree(ContVtree *pVtree) { return &pVtree->vtree; }
ContVtree *contVtree_GetOwner(Vtree *pVtree) { return MOS_CONTAINER_OF(pVtree, ContVtree, vtree); }
VTreeId contVtree_GetVtreeId(ContVtree *pVtree) { return pVtree == nullptr ? 0 : pVtree->vtreeId; }
UINT64 contVtree_GetEncryption(ContVtree *pVtree) { return pVtree->vtree.encryption; }
BOOL contVtree_IsThin(ContVtree *pVtree) { return pVtree->vtree.bThin; }

BOOL contVtree_HasSnapshots(ContVtree *pVtree)
{
    contVtree_Lock(pVtree);
    const BOOL b = pVtree->vtree.snapNodeAnchor.counter > 1;
    contVtree_Unlock(pVtree);
    return b;
}

BOOL contVtree_IsDeleting(ContVtree *pVtree) { return std::atomic_ref<BOOL>(pVtree->vtree.bDeleting).load(); }

BOOL contVtree_NeedDelete(ContVtree *pVtree)
{
    MosFastlockGuard g(&pVtree->delFastlock);
    return pVtree->pendSnapDelGeneration != pVtree->doneSnapDelGeneration;
}

Mos_RC contVtree_UpdateSnapDelGeneration(ContVtree *pVtree, UINT64 newSnapDelGeneration)
{
    MosFastlockGuard g(&pVtree->delFastlock);
    if (newSnapDelGeneration < pVtree->newSnapDelGeneration) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Vtree %lx delete generation %lu refused: below %lu",
                  (unsigned long)pVtree->vtreeId, (unsigned long)newSnapDelGeneration,
                  (unsigned long)pVtree->newSnapDelGeneration);
        return MOS_RC__INVALID_ARG;
    }
    pVtree->newSnapDelGeneration = newSnapDelGeneration;
    return MOS_RC__SUCCESS;
}

void contVtree_AddTrimmedTeeth(ContVtree *pVtree, INT32 numOfTeeth)
{
    std::atomic_ref<UINT32>(pVtree->numOfTeethTrimmed).fetch_add((UINT32)numOfTeeth);
}

void contVtreeMngr_MarkAllVtrees(ContVtreeMngr *pVtreeMngr) { contMngr_MarkAll(&pVtreeMngr->list); }

ContVtree *contVtreeMngr_GetFirstMarkedNode(ContVtreeMngr *pVtreeMngr)
{
    return contMngr_GetFirstMarkedNode(&pVtreeMngr->list);
}

UINT64 contVtreeMngr_CleanCombsStart(ContVtreeMngr *pVtreeMngr)
{
    UINT64 highest = 0;
    contMngr_ForEach(&pVtreeMngr->list, [&](ContVtree *p) {
        MosFastlockGuard g(&p->delFastlock);
        if (p->newSnapDelGeneration == p->doneSnapDelGeneration)
            return;
        MOS_ASSERT(p->pendSnapDelGeneration <= p->newSnapDelGeneration);
        p->pendSnapDelGeneration = p->newSnapDelGeneration;
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Start clean teeth vtree %lx generation %lu",
                  (unsigned long)p->vtreeId, (unsigned long)p->newSnapDelGeneration);
        highest = MOS_MAX(highest, p->newSnapDelGeneration);
    });
    if (highest != 0)
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Start clean teeth highest generation %lu", (unsigned long)highest);
    return highest;
}

void contVtreeMngr_CleanCombsDone(ContVtreeMngr *pVtreeMngr)
{
    UINT64 highest = 0;
    contMngr_ForEach(&pVtreeMngr->list, [&](ContVtree *p) {
        MosFastlockGuard g(&p->delFastlock);
        MOS_ASSERT(p->doneSnapDelGeneration <= p->pendSnapDelGeneration);
        p->doneSnapDelGeneration = p->pendSnapDelGeneration;
        highest = MOS_MAX(highest, p->doneSnapDelGeneration);
    });
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Done clean teeth highest generation %lu", (unsigned long)highest);
}

Mos_RC contVtreeMngr_GetVteeDelGen(ContVtreeMngr *pVtreeMngr, const OstrelTgtReq_QueryVtreeDelGen *pQueryVtreeGen,
                                   UINT32 reqLen, NetRpcData *pRes)
{
    const UINT64 n = pQueryVtreeGen->numVTrees;
    if (reqLen < sizeof(*pQueryVtreeGen) || n == 0 ||
        reqLen != sizeof(*pQueryVtreeGen) + n * sizeof(UINT64)) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Delete generation query refused: %lu ids in %u bytes",
                  (unsigned long)n, reqLen);
        return MOS_RC__INVALID;
    }
    const UINT32 size = (UINT32)(sizeof(OstrelTgtRsp_QueryVtreeDelGenHdr) + n * sizeof(OstrelTgtRsp_VtreeDelGen));
    auto *pHdr = static_cast<OstrelTgtRsp_QueryVtreeDelGenHdr *>(contVtree_AddReply(pRes, size));
    if (pHdr == nullptr)
        return MOS_RC__NO_RESOURCES;
    pHdr->count = (UINT32)n;
    pHdr->entrySize = sizeof(OstrelTgtRsp_VtreeDelGen);
    auto *pIds = reinterpret_cast<const UINT8 *>(pQueryVtreeGen + 1);
    auto *pOut = reinterpret_cast<UINT8 *>(pHdr + 1);
    Cont *pCont = pVtreeMngr->pCont;
    for (UINT64 i = 0; i < n; i++) {
        UINT64 id;
        memcpy(&id, pIds + i * sizeof(UINT64), sizeof(id));
        OstrelTgtRsp_VtreeDelGen rec{};
        auto *pVtree = static_cast<ContVtree *>(contObj_Acquire(cont_GetObjs(pCont), id, CONT_OBJ_TYPE__VTREE));
        if (pVtree != nullptr) {
            MosFastlockGuard g(&pVtree->delFastlock);
            rec.vtreeId = id;
            rec.doneSnapDelGeneration = pVtree->doneSnapDelGeneration;
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Delete generation vtree %lx generation %lu", (unsigned long)id,
                      (unsigned long)rec.doneSnapDelGeneration);
        }
        if (pVtree != nullptr)
            contObj_Release(cont_GetObjs(pCont), id, CONT_OBJ_TYPE__VTREE);
        memcpy(pOut + i * sizeof(rec), &rec, sizeof(rec));
    }
    return MOS_RC__SUCCESS;
}

Mos_RC contVtreeMngr_GetVteeUsage(ContVtreeMngr *pVtreeMngr, const OstrelTgtReq_QueryVtreeSize *pQueryVtreeUsage,
                                  NetRpcData *pRes)
{
    Cont *pCont = pVtreeMngr->pCont;
    const UINT64 id = pQueryVtreeUsage->vtreeId;
    auto *pVtree = static_cast<ContVtree *>(contObj_Acquire(cont_GetObjs(pCont), id, CONT_OBJ_TYPE__VTREE));
    if (pVtree == nullptr)
        return MOS_RC__NOT_FOUND;
    OstrelTgtRsp_QueryVtreeSize rec{};
    contVtree_FillUsage(pVtree, &rec);
    contObj_Release(cont_GetObjs(pCont), id, CONT_OBJ_TYPE__VTREE);
    void *p = contVtree_AddReply(pRes, sizeof(rec));
    if (p == nullptr)
        return MOS_RC__NO_RESOURCES;
    memcpy(p, &rec, sizeof(rec));
    return MOS_RC__SUCCESS;
}

Mos_RC contVtreeMngr_GetAllVteeUsage(ContVtreeMngr *pVtreeMngr, NetRpcData *pRes)
{
    // The list cannot change under the manager's lock, so the count read under it sizes the reply.
    MosFastlockGuard g(&pVtreeMngr->list.fastlock);
    const UINT32 n = pVtreeMngr->list.anchor.counter;
    const UINT32 size = (UINT32)(sizeof(OstrelTgtRsp_QueryAllVtreeSizeHdr) + n * sizeof(OstrelTgtRsp_QueryVtreeSize));
    auto *pHdr = static_cast<OstrelTgtRsp_QueryAllVtreeSizeHdr *>(contVtree_AddReply(pRes, size));
    if (pHdr == nullptr)
        return MOS_RC__NO_RESOURCES;
    pHdr->entrySize = sizeof(OstrelTgtRsp_QueryVtreeSize);
    auto *pOut = reinterpret_cast<UINT8 *>(pHdr + 1);
    for (MosDList_Node *pn = mosDList_First(&pVtreeMngr->list.anchor); pn != nullptr; pn = mosDList_Next(pn)) {
        OstrelTgtRsp_QueryVtreeSize rec{};
        contVtree_FillUsage(contMngr_ObjOfNode<ContVtree>(pn), &rec);
        memcpy(pOut + pHdr->count * sizeof(rec), &rec, sizeof(rec));
        pHdr->count++;
    }
    MOS_ASSERT(pHdr->count == n);
    return MOS_RC__SUCCESS;
}

void contVtree_Query(ContVtree *pVtree, ContVtreeQuery *pQuery)
{
    *pQuery = ContVtreeQuery{};
    pQuery->vtreeId = pVtree->vtreeId;
    {
        MosFastlockGuard g(&pVtree->delFastlock);
        pQuery->doneSnapDelGeneration = pVtree->doneSnapDelGeneration;
        pQuery->newSnapDelGeneration = pVtree->newSnapDelGeneration;
    }
    contVtree_Lock(pVtree);
    pQuery->time = pVtree->vtree.time;
    pQuery->vtreeUsageMB = pVtree->vtree.vtreeUsageMB;
    pQuery->baseVolUsageMB = pVtree->vtree.baseVolUsageMB;
    contVtree_Unlock(pVtree);
    pQuery->bEncryption = pVtree->vtree.encryption != 0;
}

Vtree *cont_AcquireVtreeForHead(Cont *pCont, VTreeId vtreeId)
{
    auto *pVtree = static_cast<ContVtree *>(contObj_Acquire(cont_GetObjs(pCont), vtreeId, CONT_OBJ_TYPE__VTREE));
    return pVtree == nullptr ? nullptr : &pVtree->vtree;
}

void cont_ReleaseVtreeForHead(Cont *pCont, Vtree *pVtree)
{
    contObj_Release(cont_GetObjs(pCont), contVtree_GetOwner(pVtree)->vtreeId, CONT_OBJ_TYPE__VTREE);
}

BOOL cont_VtreeNeedDeleteForHead(Vtree *pVtree)
{
    return contVtree_NeedDelete(contVtree_GetOwner(pVtree));
}
