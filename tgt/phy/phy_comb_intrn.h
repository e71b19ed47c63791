// What the comb's two source files share: position lists, chain reads and counter changes.
#pragma once

#include "tgt/phy/phy_comb.h"

// The position's list; null when its block of the array was never allocated.
PhyToothList *phyCombIntrn_List(PhyComb *pComb, UINT32 toothInComb);
// The position's list, allocating its block on first use.
PhyToothList *phyCombIntrn_EnsureList(PhyComb *pComb, UINT32 toothInComb);
BOOL phyCombIntrn_HasTeeth(PhyComb *pComb, UINT32 toothInComb);
UINT32 phyCombIntrn_ActiveIter(PhyComb *pComb, PhyToothList *pList);
CombTId phyCombIntrn_CombTId(PhyComb *pComb, UINT32 toothInComb);
// Label and successor of a tooth of a chain.
VtoOnDev phyCombIntrn_Label(PhyComb *pComb, PhyToothIndex toothIndex);
PhyToothIndex phyCombIntrn_Next(PhyComb *pComb, PhyToothIndex toothIndex);
// Usage counters: the tree's under its lock (pVtree may be null), then the comb's.
void phyCombIntrn_AddUsage(PhyComb *pComb, Vtree *pVtree, UINT32 teeth, UINT32 bases);
void phyCombIntrn_SubTreeUsage(Vtree *pVtree, UINT32 teeth, UINT32 bases, BOOL bLocked);
void phyCombIntrn_SubCombUsage(PhyComb *pComb, UINT32 teeth, UINT32 bases);
BOOL phyCombIntrn_IsBlockUsed(const PhyCombHead *pHeadState, UINT32 block);
