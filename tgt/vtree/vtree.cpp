#include "tgt/vtree/vtree.h"

#include <atomic>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"
#include "tgt/tgt_contention.h"

namespace {
VtreeNode *nodeOfLink(MosDList_Node *p) { return p == nullptr ? nullptr : MOS_CONTAINER_OF(p, VtreeNode, node); }

VtreeNode *firstNode(Vtree *pVtree) { return nodeOfLink(mosDList_First(&pVtree->snapNodeAnchor)); }

VtreeNode *nextNode(VtreeNode *pNode) { return nodeOfLink(mosDList_Next(&pNode->node)); }

void createHash(MosHash *pHash, UINT32 buckets, const char *pName)
{
    BOOL ok = mosHash_CreateNamedHash(pHash, buckets, MOS_HASHING_METHOD__MODULO, 0, nullptr, nullptr, pName,
                                      TGT_CONTENTION__VTREE);
    MOS_ASSERT(ok);
}

struct Guard {
    Guard(Vtree *p, BOOL b) : pVtree(p), bLock(b)
    {
        if (bLock)
            mosFastlockBase_Acquire(&pVtree->fastLock);
    }
    ~Guard()
    {
        if (bLock)
            mosFastlockBase_Release(&pVtree->fastLock);
    }
    Vtree *pVtree;
    BOOL bLock;
};

// Whole-list check, run before anything changes: walks the list against the tree with the same
// forward cursor that the update uses. Returns a refusal reason or null.
const char *refusal(Vtree *pVtree, UINT32 numOfNodes, const OstrelTgtReq_VtreeNode *pNodes, UINT32 *pBad)
{
    VtreeNode *pCursor = firstNode(pVtree);
    for (UINT32 i = 0; i < numOfNodes; i++) {
        const OstrelTgtReq_VtreeNode &n = pNodes[i];
        *pBad = i;
        if (i > 0 && n.time <= pNodes[i - 1].time)
            return "time not above the previous node's";
        if (n.vtoId == 0 || n.nodeState == SNAP_DEL_STATE__INVALID || n.nodeState > SNAP_DEL_STATE__DELETED)
            return "invalid node id or state";
        for (UINT32 j = 0; j < i; j++)
            if (pNodes[j].vtoId == n.vtoId)
                return "node named twice";
        while (pCursor != nullptr && pCursor->time < n.time)
            pCursor = nextNode(pCursor);
        VtreeNode *pKnown = vtree_GetTreeNode(pVtree, n.vtoId);
        if (pKnown != nullptr && pKnown->time != n.time)
            return "known node named at another time";
        if (pCursor == nullptr || pCursor->time > n.time)
            continue; // a new node (or the deletion of one never added)
        if (n.nodeState == SNAP_DEL_STATE__DELETED) {
            pCursor = nextNode(pCursor);
            continue;
        }
        if (pKnown == nullptr)
            return "unknown node at an existing node's time";
        if (n.nodeState < pKnown->nodeState)
            return "node state lowered";
    }
    return nullptr;
}
} // namespace

void vtreeMap_Init(VtreeMap *pVtreeMap)
{
    *pVtreeMap = VtreeMap{};
    createHash(&pVtreeMap->vtoIdMap, VTREE_MAP__BUCKETS, "vtree_vol_to_id_map");
}

void vtreeMap_Destroy(VtreeMap *pVtreeMap)
{
    MOS_ASSERT(mosHash_GetRecNum(&pVtreeMap->vtoIdMap) == 0);
    mosHash_Delete(&pVtreeMap->vtoIdMap);
    *pVtreeMap = VtreeMap{};
}

void vtreeMap_AddVto(VtreeMap *pVtreeMap, MosHash_Record *pRecord, VtoId vtoId, VTreeId vtreeId)
{
    Exp(vtreeId == 0);
    mosHash_Add(&pVtreeMap->vtoIdMap, pRecord, vtoId, vtreeId);
}

void vtreeMap_RemVto(VtreeMap *pVtreeMap, MosHash_Record *pRecord, VtoId vtoId)
{
    BOOL ok = mosHash_DeleteRecordByKeyAndPtr(&pVtreeMap->vtoIdMap, vtoId, pRecord);
    MOS_ASSERT(ok);
}

VTreeId vtreeMap_GetVtoVtree(VtreeMap *pVtreeMap, VtoId vtoId)
{
    UINT64 data = 0;
    if (mosHash_GetRecordByKey(&pVtreeMap->vtoIdMap, vtoId, 0, &data) == nullptr)
        return 0;
    return data;
}

void vtree_Init(Vtree *pVtree, VTreeId vtreeId, VtreeMap *pVtreeMap, UINT64 encryption, VtoTime currentSnapTime,
                BOOL bThin, BOOL bSuppressTrace)
{
    MOS_ASSERT(bThin == TRUE || bThin == FALSE);
    *pVtree = Vtree{};
    mosDList_InitAnchor(&pVtree->snapNodeAnchor);
    createHash(&pVtree->snapNodeMap, VTREE__SNAP_NODE_MAP_BUCKETS, "vtree_snapshot_node_map");
    mosFastlockBase_Create(&pVtree->fastLock, TGT_CONTENTION__VTREE, __FILE__, __LINE__);
    pVtree->pVtreeMap = pVtreeMap;
    pVtree->time = currentSnapTime;
    pVtree->vtreeId = vtreeId;
    pVtree->encryption = encryption;
    pVtree->bThin = bThin;
    if (!bSuppressTrace)
        MOS_TRACE(MOS_COMP_TGT_VTREE, MOS_FREQ_MED, "Init vtree %lx time %u thin %d", (unsigned long)vtreeId,
                  currentSnapTime, (int)bThin);
}

void vtree_Destroy(Vtree *pVtree)
{
    mosFastlockBase_Acquire(&pVtree->fastLock);
    while (VtreeNode *p = firstNode(pVtree))
        vtree_FreeTreeNode(pVtree, p);
    mosFastlockBase_Release(&pVtree->fastLock);
    mosHash_Delete(&pVtree->snapNodeMap);
    mosFastlockBase_Destroy(&pVtree->fastLock);
    *pVtree = Vtree{};
}

VtreeNode *vtree_AllocTreeNode(Vtree *pVtree, VtoId vtoId, VtoId parentId, VtoTime time, SnapDelState state)
{
    MOS_ASSERT(state == SNAP_DEL_STATE__NORMAL || state == SNAP_DEL_STATE__CANDIDATE ||
               state == SNAP_DEL_STATE__LOGICALLY_DELETED);
    auto *p = static_cast<VtreeNode *>(mos_MemCalloc(sizeof(VtreeNode), sizeof(VtreeNode), __func__, FALSE));
    mosDList_InitNode(&p->node);
    p->parentId = parentId;
    p->vtoId = vtoId;
    p->time = time;
    p->nodeState = state;
    mosHash_Add(&pVtree->snapNodeMap, &p->vtreeHashNode, vtoId, (UINT64)(uintptr_t)p);
    vtreeMap_AddVto(pVtree->pVtreeMap, &p->globalVtoHashNode, vtoId, pVtree->vtreeId);
    return p;
}

void vtree_FreeTreeNode(Vtree *pVtree, VtreeNode *pVtreeNode)
{
    if (mosDList_IsLinked(&pVtreeNode->node))
        mosDList_Remove(&pVtree->snapNodeAnchor, &pVtreeNode->node);
    BOOL ok = mosHash_DeleteRecordByKeyAndPtr(&pVtree->snapNodeMap, pVtreeNode->vtoId, &pVtreeNode->vtreeHashNode);
    MOS_ASSERT(ok);
    vtreeMap_RemVto(pVtree->pVtreeMap, &pVtreeNode->globalVtoHashNode, pVtreeNode->vtoId);
    mos_MemFree(pVtreeNode);
}

VtreeNode *vtree_GetTreeNode(Vtree *pVtree, VtoId vtoId)
{
    PVOID pData = nullptr;
    if (mosHash_GetRecordByKey2(&pVtree->snapNodeMap, vtoId, 0, &pData) == nullptr)
        return nullptr;
    return static_cast<VtreeNode *>(pData);
}

VtreeNode *vtree_FirstNode(Vtree *pVtree) { return firstNode(pVtree); }
VtreeNode *vtree_NextNode(VtreeNode *pNode) { return nextNode(pNode); }

Mos_RC vtree_Update(Vtree *pVtree, UINT32 numOfNodes, const OstrelTgtReq_VtreeNode *pNodes, BOOL bLock,
                    BOOL bSuppressTrace, BOOL *pbNewCandidate)
{
    *pbNewCandidate = FALSE;
    Guard g(pVtree, bLock);
    UINT32 bad = 0;
    if (const char *pWhy = refusal(pVtree, numOfNodes, pNodes, &bad)) {
        MOS_ERROR(MOS_COMP_TGT_VTREE, "Refused update of vtree %lx: node %u (vtoId %u time %u state %u): %s",
                  (unsigned long)pVtree->vtreeId, bad, pNodes[bad].vtoId, pNodes[bad].time, pNodes[bad].nodeState,
                  pWhy);
        return MOS_RC__INVALID_ARG;
    }
    VtreeNode *pCursor = firstNode(pVtree);
    VtoTime maxTime = 0;
    for (UINT32 i = 0; i < numOfNodes; i++) {
        const OstrelTgtReq_VtreeNode &n = pNodes[i];
        auto state = (SnapDelState)n.nodeState;
        while (pCursor != nullptr && pCursor->time < n.time)
            pCursor = nextNode(pCursor);
        if (pCursor == nullptr || pCursor->time > n.time) {
            if (state != SNAP_DEL_STATE__DELETED) {
                VtreeNode *p = vtree_AllocTreeNode(pVtree, n.vtoId, n.parentId, n.time, state);
                if (pCursor == nullptr)
                    mosDList_InsertTail(&pVtree->snapNodeAnchor, &p->node);
                else if (MosDList_Node *pPrev = mosDList_Prev(&pCursor->node); pPrev == nullptr)
                    mosDList_InsertHead(&pVtree->snapNodeAnchor, &p->node);
                else
                    mosDList_InsertAfter(&pVtree->snapNodeAnchor, pPrev, &p->node);
                if (state == SNAP_DEL_STATE__CANDIDATE)
                    *pbNewCandidate = TRUE;
            }
        } else if (state == SNAP_DEL_STATE__DELETED) {
            pCursor = nextNode(pCursor);
            if (VtreeNode *p = vtree_GetTreeNode(pVtree, n.vtoId))
                vtree_FreeTreeNode(pVtree, p);
        } else {
            VtreeNode *p = vtree_GetTreeNode(pVtree, n.vtoId);
            if (p->nodeState != state) {
                p->nodeState = state;
                if (state == SNAP_DEL_STATE__CANDIDATE)
                    *pbNewCandidate = TRUE;
            }
        }
        if (!bSuppressTrace)
            MOS_TRACE(MOS_COMP_TGT_VTREE, MOS_FREQ_MED, "vtree %lx node %u parent %u time %u state %u",
                      (unsigned long)pVtree->vtreeId, n.vtoId, n.parentId, n.time, n.nodeState);
        maxTime = MOS_MAX(maxTime, n.time);
    }
    pVtree->time = MOS_MAX(pVtree->time, maxTime);
    BOOL bAnyNormal = FALSE;
    for (VtreeNode *p = firstNode(pVtree); p != nullptr; p = nextNode(p))
        bAnyNormal |= p->nodeState == SNAP_DEL_STATE__NORMAL;
    if (firstNode(pVtree) != nullptr && !bAnyNormal)
        pVtree->bDeleting = TRUE;
    return MOS_RC__SUCCESS;
}

BOOL vtree_HandleExistingAddedVtree(Vtree *pVtree, VtoTime currentSnapTime)
{
    Guard g(pVtree, TRUE);
    pVtree->time = MOS_MAX(pVtree->time, currentSnapTime);
    return TRUE;
}

UINT32 vtree_GetHeadVto(Vtree *pVtree)
{
    Guard g(pVtree, TRUE);
    VtreeNode *p = firstNode(pVtree);
    return p == nullptr ? 0 : p->vtoId;
}

UINT32 vtree_GetHeadTime(Vtree *pVtree)
{
    Guard g(pVtree, TRUE);
    VtreeNode *p = firstNode(pVtree);
    return p == nullptr ? 0 : p->time;
}

UINT32 vtree_GetTailVto(Vtree *pVtree)
{
    Guard g(pVtree, TRUE);
    if (MOS_DLIST__IS_EMPTY(&pVtree->snapNodeAnchor))
        return 0;
    return nodeOfLink(pVtree->snapNodeAnchor.pLast)->vtoId;
}

BOOL vtree_IsQuiesced(Vtree *pVtree) { return std::atomic_ref<UINT32>(pVtree->quiesceRefCount).load() != 0; }

void vtree_UpdateQuiescedCounter(Vtree *pVtree, BOOL bQuiesce)
{
    Guard g(pVtree, TRUE);
    std::atomic_ref<UINT32> count(pVtree->quiesceRefCount);
    if (bQuiesce) {
        count++;
    } else {
        Exp(count.load() == 0);
        count--;
    }
}

void vtree_Lock(Vtree *pVtree) { mosFastlockBase_Acquire(&pVtree->fastLock); }
void vtree_Unlock(Vtree *pVtree) { mosFastlockBase_Release(&pVtree->fastLock); }
