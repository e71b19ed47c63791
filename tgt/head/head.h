// A head as the physical layer sees it: the address space of one multi-head identifier, whose
// usage map says, for each 8 MB block of a comb's positions (slot s covers positions 8s to 8s+7 of
// every comb of the head), which volume tree owns it (0: none).
//
// The volume trees and heads themselves are the controller's objects; this layer reaches them
// through the hooks that the controller registers at its start (head_SetContHooks): a tree or
// head is acquired by id, which takes a reference, and released after use. Without hooks nothing
// is found.
//
// HeadItr walks a head block by block and keeps one reference on the current block's tree, so
// consecutive blocks of one tree acquire it once. Updates hold the head's lock; iteration reads
// the slots without it and relies on the references for the trees.
#pragma once

#include "mos/mos_fastlock.h"
#include "tgt/vtree/vtree.h"

struct Cont;

#define HEAD__USAGE_MAP_SLOTS VOL_ALLOC_BLOCKS_IN_HEAD
#define HEAD__TEETH_PER_SLOT 8u

struct Head {
    MosFastlock_Base fastLock;
    Cont *pCont;
    VTreeId usageMap[HEAD__USAGE_MAP_SLOTS];
};

struct HeadItr {
    Vtree *pVtree; // referenced tree of the current owner, or none
    VTreeId currVtreeId;
    VTreeId dbgVtreeId; // the last id looked up
};

// The controller's objects, as the physical layer reaches them.
struct HeadContHooks {
    // Takes a reference on the tree (null when the controller has none of that id).
    Vtree *(*pAcquireVtree)(Cont *pCont, VTreeId vtreeId);
    void (*pReleaseVtree)(Cont *pCont, Vtree *pVtree);
    // Takes a reference on the head (null when unknown).
    Head *(*pAcquireHead)(Cont *pCont, HeadId headId);
    void (*pReleaseHead)(Cont *pCont, Head *pHead);
    // A snapshot deletion of the tree is pending cleaning.
    BOOL (*pVtreeNeedDelete)(Vtree *pVtree);
};

// pHooks null removes them.
void head_SetContHooks(const HeadContHooks *pHooks);
Vtree *head_ContAcquireVtree(Cont *pCont, VTreeId vtreeId);
void head_ContReleaseVtree(Cont *pCont, Vtree *pVtree);
Head *head_ContAcquireHead(Cont *pCont, HeadId headId);
void head_ContReleaseHead(Cont *pCont, Head *pHead);
BOOL head_ContVtreeNeedDelete(Vtree *pVtree);

void head_Init(Head *pHead, Cont *pCont, const VTreeId *usageMap);
// Each nonzero slot of usageMap replaces the stored one; a 0 keeps it.
void head_Update(Head *pHead, const VTreeId *usageMap);
void head_Destroy(Head *pHead);
// The tree id owning the block of toothInComb (0: none), read without the lock.
VTreeId head_GetVtreeId(Head *pHead, UINT32 toothInComb);

void head_ItrInit(HeadItr *pItr);
// The referenced tree owning the block of toothInComb, or null.
Vtree *head_ItrGetVtree(HeadItr *pItr, Head *pHead, UINT32 toothInComb);
void head_ItrEnd(HeadItr *pItr, Cont *pCont);
