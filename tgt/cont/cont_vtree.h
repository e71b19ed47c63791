// Volume trees (a volume and its snapshots) as the controller keeps them: the physical layer's
// tree (tgt/vtree) embedded, the shared map from node to tree owned by the manager, and the
// bookkeeping of snapshot deletion by three generations.
//
// Deletion generations: the Ostrel raises `new` when it deletes snapshots; a cleaning round of the
// combs makes the highest `new` pending (contVtreeMngr_CleanCombsStart) and, once the combs are
// clean and the tooth maps hardened, done (contVtreeMngr_CleanCombsDone). done <= pending <= new
// always holds and none moves back: a raise below the stored `new` is refused. A tree whose
// deletions are not done is reported again by every later start until a round completes.
//
// Lock order: the manager's fast lock, then a tree's delFastlock; the embedded tree's lock (the
// volume tree lock) before a volume's fast lock.
#pragma once

#include <atomic>

#include "mos/mos_ds_hash.h"
#include "mos/mos_obj.h"
#include "net/net_msg.h"
#include "tgt/cont/cont_mngr.h"
#include "tgt/cont/cont_obj.h"
#include "tgt/vtree/vtree.h"

struct Cont;

#define CONT_VTREE__FIRST_GENERATION 1u

struct ContVtree {
    MosHash_Record hashRecord; // in the registry (CONT_OBJ_TYPE__VTREE)
    MosObj sdbgObj;
    MosDList_Node listNode;
    ContObjLock accessLock;
    Vtree vtree;
    VTreeId vtreeId; // never 0
    BOOL bMark;
    MosFastlock_Base delFastlock; // the three generations
    UINT64 newSnapDelGeneration;
    UINT64 pendSnapDelGeneration;
    UINT64 doneSnapDelGeneration;
    UINT32 numOfTeethTrimmed; // atomic
};

struct ContVtreeMngr {
    ContMngr<ContVtree> list;
    VtreeMap vtreeMap;
    Cont *pCont;
};

struct ContVtreeQuery {
    UINT64 vtreeId;
    UINT64 doneSnapDelGeneration;
    UINT64 newSnapDelGeneration;
    UINT32 time;
    UINT32 vtreeUsageMB;
    UINT32 baseVolUsageMB;
    BOOL bEncryption;
};

#pragma pack(push, 1)
struct OstrelTgtRsp_QueryVtreeSize {
    UINT64 vtreeId;
    UINT64 vtreeSizeMB;
    UINT64 baseVolSizeMB;
    UINT32 trimmedSizeMB;
};
struct OstrelTgtRsp_QueryAllVtreeSizeHdr {
    UINT32 count;
    UINT32 entrySize;
};
struct OstrelTgtRsp_VtreeDelGen {
    UINT64 vtreeId;
    UINT64 doneSnapDelGeneration;
};
struct OstrelTgtRsp_QueryVtreeDelGenHdr {
    UINT32 count;
    UINT32 entrySize;
};
// Followed by numVTrees ids (u64).
struct OstrelTgtReq_QueryVtreeDelGen {
    UINT32 numVTrees;
    UINT16 ostrelTgtConnectionGenNum;
};
struct OstrelTgtReq_QueryVtreeSize {
    UINT16 ostrelTgtConnectionGenNum;
    UINT64 vtreeId;
};
#pragma pack(pop)
static_assert(sizeof(OstrelTgtRsp_QueryVtreeSize) == 28);
static_assert(offsetof(OstrelTgtRsp_QueryVtreeSize, trimmedSizeMB) == 24);
static_assert(sizeof(OstrelTgtRsp_VtreeDelGen) == 16);
static_assert(sizeof(OstrelTgtReq_QueryVtreeDelGen) == 6);
static_assert(sizeof(OstrelTgtReq_QueryVtreeSize) == 10);

void contVtreeMngr_Init(ContVtreeMngr *pVtreeMngr, Cont *pCont);
// Every tree must have been destroyed.
void contVtreeMngr_Destroy(ContVtreeMngr *pVtreeMngr);
// MOS_RC__SUCCESS, or MOS_RC__INVALID_ARG (trace line, nothing built) for id 0.
Mos_RC contVtreeMngr_VtreeInit(ContVtreeMngr *pVtreeMngr, ContVtree *pVtree, VTreeId vtreeId, UINT64 encryption,
                               VtoTime currentSnapTime, BOOL bThin, BOOL bSuppressTrace);
void contVtreeMngr_VtreeDestroy(ContVtreeMngr *pVtreeMngr, ContVtree *pVtree);

// Forwarders to the embedded tree.
Mos_RC contVtree_Update(ContVtree *pVtree, UINT32 numOfNodes, const OstrelTgtReq_VtreeNode *pNodes,
                        BOOL bSuppressTrace, BOOL *pbNewCandidate);
BOOL contVtree_HandleExistingAddedVtree(ContVtree *pVtree, VtoTime currentSnapTime);
UINT32 contVtree_GetHeadVto(ContVtree *pVtree);
UINT32 contVtree_GetTailVto(ContVtree *pVtree);
UINT32 contVtree_GetHeadTime(ContVtree *pVtree);
BOOL contVtree_IsQuiesced(ContVtree *pVtree);
// One quiesced volume more (TRUE) or less; takes the tree's lock itself.
void contVtree_UpdateQuiescedCounter(ContVtree *pVtree, BOOL bQuiesce);
void contVtree_Lock(ContVtree *pVtree);
void contVtree_Unlock(ContVtree *pVtree);

Vtree *contVtree_Get(ContVtree *pVtree);
Vtree *contVtree_GetVtree(ContVtree *pVtree);
ContVtree *contVtree_GetOwner(Vtree *pVtree);
VTreeId contVtree_GetVtreeId(ContVtree *pVtree); // 0 for null
UINT64 contVtree_GetEncryption(ContVtree *pVtree);
BOOL contVtree_IsThin(ContVtree *pVtree);
BOOL contVtree_HasSnapshots(ContVtree *pVtree);
BOOL contVtree_IsDeleting(ContVtree *pVtree);
BOOL contVtree_NeedDelete(ContVtree *pVtree);
// Raises newSnapDelGeneration; MOS_RC__INVALID_ARG (trace line, unchanged) for a lower one.
Mos_RC contVtree_UpdateSnapDelGeneration(ContVtree *pVtree, UINT64 newSnapDelGeneration);
void contVtree_AddTrimmedTeeth(ContVtree *pVtree, INT32 numOfTeeth);

void contVtreeMngr_MarkAllVtrees(ContVtreeMngr *pVtreeMngr);
ContVtree *contVtreeMngr_GetFirstMarkedNode(ContVtreeMngr *pVtreeMngr);

// The highest generation a cleaning round must reach (0: nothing to clean).
UINT64 contVtreeMngr_CleanCombsStart(ContVtreeMngr *pVtreeMngr);
void contVtreeMngr_CleanCombsDone(ContVtreeMngr *pVtreeMngr);

// Replies appended to pRes's buffer list: MOS_RC__SUCCESS, MOS_RC__NO_RESOURCES, MOS_RC__INVALID
// (a request whose length does not match its count), MOS_RC__NOT_FOUND (single usage query).
Mos_RC contVtreeMngr_GetVteeDelGen(ContVtreeMngr *pVtreeMngr, const OstrelTgtReq_QueryVtreeDelGen *pQueryVtreeGen,
                                   UINT32 reqLen, NetRpcData *pRes);
Mos_RC contVtreeMngr_GetVteeUsage(ContVtreeMngr *pVtreeMngr, const OstrelTgtReq_QueryVtreeSize *pQueryVtreeUsage,
                                  NetRpcData *pRes);
Mos_RC contVtreeMngr_GetAllVteeUsage(ContVtreeMngr *pVtreeMngr, NetRpcData *pRes);
void contVtree_Query(ContVtree *pVtree, ContVtreeQuery *pQuery);

// The trees by id as the head layer reaches them (a counted registry acquire).
Vtree *cont_AcquireVtreeForHead(Cont *pCont, VTreeId vtreeId);
void cont_ReleaseVtreeForHead(Cont *pCont, Vtree *pVtree);
BOOL cont_VtreeNeedDeleteForHead(Vtree *pVtree);
