// A volume tree as the physical layer sees it: a volume and its snapshots (nodes) in strictly
// increasing creation time, each with a deletion state that only advances, and the process-wide
// map that tells which tree a node (VtoId) belongs to.
//
// The comb layer merges a tree's nodes with the versions of a comb position to decide what each
// node sees (phyComb_GetToothIndexWithVtree); that walk writes each node's build.pWriteData, so it
// runs under the tree's fastLock, which also guards the node list, the states, `time` and the
// usage counters (tree lock first, then a comb's usage lock).
//
// The node lists come from the management side and are not trusted: vtree_Update checks a whole
// list before it changes anything, and refuses (MOS_RC__INVALID_ARG, with a trace line) a list
// whose times do not strictly increase, that lowers a node's state, that names a known node at
// another time, that names an unknown node at a known node's time, or that carries a state or id
// no node can have. A refused list leaves the tree as it was.
#pragma once

#include "mos/mos_dlist.h"
#include "mos/mos_ds_hash.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_rc.h"
#include "tgt/phy/phy_layout.h"

typedef UINT32 VtoTime;

enum SnapDelState : UINT32 {
    SNAP_DEL_STATE__INVALID = 0,
    SNAP_DEL_STATE__NORMAL = 1,
    SNAP_DEL_STATE__CANDIDATE = 2,
    SNAP_DEL_STATE__LOGICALLY_DELETED = 3,
    SNAP_DEL_STATE__DELETED = 4,
};

#define VTREE__SNAP_NODE_MAP_BUCKETS 64u
#define VTREE_MAP__BUCKETS 65536u
// The label of a tree's base version: the tree's first node, whatever its own id.
#define VTREE__BASE_VTO_ID 1u

struct VtreeWriteBuildData; // one version during a lookup (tgt/phy/phy_comb.h)

struct VtreeNodeBuildData {
    VtreeWriteBuildData *pWriteData; // the version this node sees, during one walk only
};

struct VtreeNode {
    MosDList_Node node;
    MosHash_Record vtreeHashNode;
    MosHash_Record globalVtoHashNode;
    VtreeNodeBuildData build;
    VtoId parentId; // 0: none
    VtoId vtoId;
    VtoTime time; // creation time
    SnapDelState nodeState;
};

struct VtreeMap {
    MosHash vtoIdMap; // VtoId -> VTreeId, records are the nodes' globalVtoHashNode
};

struct Vtree {
    MosDList_Anchor snapNodeAnchor; // by time, strictly increasing; the first is the base volume
    MosHash snapNodeMap;
    MosFastlock_Base fastLock;
    VtreeMap *pVtreeMap;
    VtoTime time; // current snapshot time, never decreases
    VTreeId vtreeId;
    UINT64 encryption;
    UINT32 vtreeUsageMB;   // teeth of all versions
    UINT32 baseVolUsageMB; // positions with at least one version
    UINT32 quiesceRefCount;
    BOOL bThin;
    BOOL bDeleting; // no NORMAL node left
};

// One node of the management side's tree update (32 bytes on the wire).
#pragma pack(push, 1)
struct OstrelTgtReq_VtreeNode {
    UINT64 vtreeId;
    UINT64 snapDelGeneration;
    UINT32 parentId;
    UINT32 vtoId;
    UINT32 time;
    UINT32 nodeState;
};
#pragma pack(pop)
static_assert(sizeof(OstrelTgtReq_VtreeNode) == 32);
static_assert(offsetof(OstrelTgtReq_VtreeNode, snapDelGeneration) == 8);
static_assert(offsetof(OstrelTgtReq_VtreeNode, parentId) == 16);
static_assert(offsetof(OstrelTgtReq_VtreeNode, vtoId) == 20);
static_assert(offsetof(OstrelTgtReq_VtreeNode, time) == 24);
static_assert(offsetof(OstrelTgtReq_VtreeNode, nodeState) == 28);

void vtreeMap_Init(VtreeMap *pVtreeMap);
// The map must be empty (every tree destroyed).
void vtreeMap_Destroy(VtreeMap *pVtreeMap);
void vtreeMap_AddVto(VtreeMap *pVtreeMap, MosHash_Record *pRecord, VtoId vtoId, VTreeId vtreeId);
void vtreeMap_RemVto(VtreeMap *pVtreeMap, MosHash_Record *pRecord, VtoId vtoId);
// 0 when the node is unknown.
VTreeId vtreeMap_GetVtoVtree(VtreeMap *pVtreeMap, VtoId vtoId);

void vtree_Init(Vtree *pVtree, VTreeId vtreeId, VtreeMap *pVtreeMap, UINT64 encryption, VtoTime currentSnapTime,
                BOOL bThin, BOOL bSuppressTrace);
void vtree_Destroy(Vtree *pVtree);
// Applies a node list under the tree's lock when bLock. MOS_RC__SUCCESS (then *pbNewCandidate
// tells whether some node became CANDIDATE) or MOS_RC__INVALID_ARG for a list refused whole.
Mos_RC vtree_Update(Vtree *pVtree, UINT32 numOfNodes, const OstrelTgtReq_VtreeNode *pNodes, BOOL bLock,
                    BOOL bSuppressTrace, BOOL *pbNewCandidate);
BOOL vtree_HandleExistingAddedVtree(Vtree *pVtree, VtoTime currentSnapTime);
VtreeNode *vtree_AllocTreeNode(Vtree *pVtree, VtoId vtoId, VtoId parentId, VtoTime time, SnapDelState state);
void vtree_FreeTreeNode(Vtree *pVtree, VtreeNode *pVtreeNode);
VtreeNode *vtree_GetTreeNode(Vtree *pVtree, VtoId vtoId);
VtreeNode *vtree_FirstNode(Vtree *pVtree);
VtreeNode *vtree_NextNode(VtreeNode *pNode);
UINT32 vtree_GetHeadVto(Vtree *pVtree);
UINT32 vtree_GetHeadTime(Vtree *pVtree);
UINT32 vtree_GetTailVto(Vtree *pVtree);
BOOL vtree_IsQuiesced(Vtree *pVtree);
void vtree_UpdateQuiescedCounter(Vtree *pVtree, BOOL bQuiesce);
void vtree_Lock(Vtree *pVtree);
void vtree_Unlock(Vtree *pVtree);
