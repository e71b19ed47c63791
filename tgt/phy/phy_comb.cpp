#include "tgt/phy/phy_comb.h"

#include <atomic>

#include "mos/mos_assert.h"
#include "mos/mos_dbg.h"
#include "mos/mos_trace.h"
#include "mos/umt/mos_umt.h"
#include "tgt/file/file.h"
#include "tgt/phy/phy_comb_intrn.h"
#include "tgt/phy/phy_devset.h"
#include "tgt/rcache/rcache.h"
#include "tgt/tgt_conf.h"
#include "tgt/tgt_contention.h"

namespace {
constexpr PhyToothIndex kInvalid = PHY_TOOTH_INDEX__INVALID;

void phyCombTooth_InitCK(PVOID pElement, UINT32) { phyToothList_Init(static_cast<PhyToothList *>(pElement)); }

UINT32 toothOf(UINT32 offsetInComb)
{
    UINT32 t = offsetInComb / TOOTH_SIZE_LB;
    Exp(t >= TEETH_IN_COMB);
    return t;
}

UINT32 allocationSize() { return (UINT32)MOS_MAX(1ull, MOS_MIN(tgtInitParam_G.phyCombAllocationSize, (UINT64)TEETH_IN_COMB)); }

// The teeth first access took are recorded in the tooth map only: the next tooth I/O hardens
// the map and the comb array up to this change.
void partialAllocDone(PhyComb *pComb) { pComb->combChangeNumber = phyDevComb_PartialAllocDone(&pComb->pDev->devComb); }

// ---- the version walk ----

struct WalkOut {
    VtreeWriteBuildData work[PHY_COMB__MAX_VERSIONS];
    UINT32 count = 0;
};

[[noreturn]] void walkInvariant(PhyComb *pComb, Vtree *pVtree, UINT32 toothInComb, const char *pCond)
{
    phyComb_PrintVtreeAndIos(pComb, pVtree, toothInComb);
    MOS_PANIC(pCond, "version walk");
}

// A broken invariant of the walk: the tree and the position's versions are printed, then the
// report names the condition that held.
#define PHY_COMB__WALK_EXP(cond)                                                                   \
    do {                                                                                           \
        if (__builtin_expect(!!(cond), 0))                                                         \
            walkInvariant(pComb, pVtree, toothInComb, "!(" #cond ")");                             \
    } while (0)

// Merges the tree's nodes and the position's versions in time order (a node before a version of
// the same time) and counts, per version, the NORMAL nodes that see it. Returns the node asked
// for; its build.pWriteData is the version it sees. The caller holds the tree's lock.
VtreeNode *walkVersions(PhyComb *pComb, Vtree *pVtree, VtoId vtoId, UINT32 toothInComb, PhyToothList *pList,
                        WalkOut *pOut)
{
    // The chain is read in one pass under the tooth map's lock; it changes only under the comb's
    // own serialisation, which the caller holds.
    PhyToothIndex teeth[PHY_COMB__MAX_VERSIONS];
    VtoOnDev labels[PHY_COMB__MAX_VERSIONS];
    UINT32 numVersions =
        phyToothMap_ReadChain(&pComb->pDev->toothMap, pList, teeth, labels, PHY_COMB__MAX_VERSIONS);
    PHY_COMB__WALK_EXP(numVersions > PHY_COMB__MAX_VERSIONS);
    // Every node's scratch pointer is stale from an earlier walk until its node step; clear all,
    // so that a version whose owner comes later in time never meets a stale pointer.
    for (VtreeNode *n = vtree_FirstNode(pVtree); n != nullptr; n = vtree_NextNode(n))
        n->build.pWriteData = nullptr;
    VtreeNode *pFirst = vtree_FirstNode(pVtree);
    VtreeNode *pNode = pFirst;
    VtreeNode *pAsked = nullptr;
    VtoId ownerId = 0; // the last owner looked up: versions of one node often follow each other
    VtreeNode *pOwner = nullptr;
    VtoTime lastTime = 0;
    UINT32 i = 0;
    while (pNode != nullptr || i < numVersions) {
        if (i == numVersions || (pNode != nullptr && pNode->time <= labels[i].time)) {
            if (pNode->vtoId == vtoId)
                pAsked = pNode;
            VtreeNode *pParent = pNode->parentId == 0 ? nullptr : vtree_GetTreeNode(pVtree, pNode->parentId);
            pNode->build.pWriteData = pParent == nullptr ? nullptr : pParent->build.pWriteData;
            if (pNode->nodeState == SNAP_DEL_STATE__NORMAL && pNode->build.pWriteData != nullptr)
                pNode->build.pWriteData->usedCounter++;
            pNode = vtree_NextNode(pNode);
            continue;
        }
        const VtoOnDev v = labels[i];
        PHY_COMB__WALK_EXP(v.time < lastTime);
        lastTime = v.time;
        if (i == 0 || v.vtoId != ownerId) {
            ownerId = v.vtoId;
            pOwner = v.vtoId == VTREE__BASE_VTO_ID ? pFirst : vtree_GetTreeNode(pVtree, v.vtoId);
        }
        BOOL bNormal = pOwner != nullptr && pOwner->nodeState == SNAP_DEL_STATE__NORMAL;
        VtreeWriteBuildData *e = &pOut->work[pOut->count++];
        *e = VtreeWriteBuildData{v, teeth[i], bNormal ? 1u : 0u};
        if (bNormal && pOwner->build.pWriteData != nullptr) {
            PHY_COMB__WALK_EXP(pOwner->build.pWriteData->usedCounter == 0);
            pOwner->build.pWriteData->usedCounter--;
        }
        if (pOwner != nullptr)
            pOwner->build.pWriteData = e;
        i++;
    }
    PHY_COMB__WALK_EXP(pAsked == nullptr && vtoId != VTREE__BASE_VTO_ID);
    PHY_COMB__WALK_EXP(pAsked != nullptr && pAsked->build.pWriteData != nullptr &&
                       pAsked->build.pWriteData->toothIndex == kInvalid);
    return pAsked;
}

// Teeth of versions the walk found unneeded, freed once the tree's lock is let go: freeing a tooth
// also drops it from the RAM read cache, which is no work for under a fast lock.
struct Garbage {
    PhyToothIndex teeth[PHY_COMB__MAX_VERSIONS];
    UINT32 count = 0;
};

// Picks the versions that no NORMAL node sees, except the one the lookup is about to return (a
// CANDIDATE or deleted node's own version may be seen by no NORMAL node, yet it is read or
// written right after this). The caller holds the tree's lock.
void collectVersions(PhyComb *pComb, UINT32 toothInComb, PhyToothList *pList, WalkOut *pOut,
                     const VtreeWriteBuildData *pReturned, VtoTime cleanStartTime, BOOL *pBDelIgnored,
                     Garbage *pGarbage)
{
    UINT32 iters = ~0u; // read once, when a version could go
    for (UINT32 i = 0; i < pOut->count; i++) {
        VtreeWriteBuildData &e = pOut->work[i];
        if (e.usedCounter != 0) {
            if (e.devVto.time > cleanStartTime)
                MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_HIGH,
                          "encountered tooth younger than vtree - clean start time:%u tooth time:%u - comb %lx,tooth "
                          "in comb %u, tooth number %u",
                          cleanStartTime, e.devVto.time, (unsigned long)pComb->combId, toothInComb, e.toothIndex);
            continue;
        }
        if (&e == pReturned) {
            MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_HIGH,
                      "skipping tooth clean of the version being returned - comb %lx,tooth in comb %u, tooth number %u",
                      (unsigned long)pComb->combId, toothInComb, e.toothIndex);
            *pBDelIgnored = TRUE;
            continue;
        }
        if (iters == ~0u)
            iters = phyCombIntrn_ActiveIter(pComb, pList);
        if (iters != 0) {
            MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_MED,
                      "skipping tooth clean due to active iterators - comb %lx,tooth in comb %u, tooth number %u",
                      (unsigned long)pComb->combId, toothInComb, e.toothIndex);
            *pBDelIgnored = TRUE;
            continue;
        }
        if (e.devVto.time > cleanStartTime) {
            MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_MED,
                      "skipping tooth clean due to tooth younger than vtree - clean start time:%u tooth time:%u - "
                      "comb %lx,tooth in comb %u, tooth number %u",
                      cleanStartTime, e.devVto.time, (unsigned long)pComb->combId, toothInComb, e.toothIndex);
            *pBDelIgnored = TRUE;
            continue;
        }
        pGarbage->teeth[pGarbage->count++] = e.toothIndex;
    }
}

// The caller holds no lock; the chain is still protected by the caller's serialisation.
void freeGarbage(PhyComb *pComb, Vtree *pVtree, UINT32 toothInComb, const Garbage &g)
{
    if (g.count == 0)
        return;
    PhyToothList *pList = phyCombIntrn_List(pComb, toothInComb);
    BOOL bLast = FALSE;
    for (UINT32 i = 0; i < g.count; i++)
        phyDev_FreeTooth(pComb->pDev, phyCombIntrn_CombTId(pComb, toothInComb), pList, g.teeth[i], TRUE, &bLast);
    phyCombIntrn_SubTreeUsage(pVtree, g.count, bLast ? 1 : 0, FALSE);
    phyCombIntrn_SubCombUsage(pComb, g.count, bLast ? 1 : 0);
    for (UINT32 i = 0; i < g.count; i++)
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_MED, "free tooth - comb %lx,tooth in comb %u, tooth number %u vtreeUsageMB %u",
                  (unsigned long)pComb->combId, toothInComb, g.teeth[i], pVtree->vtreeUsageMB);
}

// ---- iteration ----

// Takes an iterator count on the position when it has teeth; its first tooth, or invalid.
PhyToothIndex iterEnter(PhyComb *pComb, PhyToothList *pList)
{
    MosFastlockGuard g(&pComb->pDev->toothMap.mapFastlock);
    if (phyToothList_IsEmpty(pList))
        return kInvalid;
    Exp(pList->activeIter >= 3);
    pList->activeIter++;
    return pList->first;
}

void iterLeave(PhyComb *pComb, PhyToothList *pList)
{
    MosFastlockGuard g(&pComb->pDev->toothMap.mapFastlock);
    Exp(pList->activeIter == 0);
    pList->activeIter--;
}

void enterPosition(PhyComb *pComb, PhyCombItr *pItr, UINT32 from)
{
    const UINT32 chunk = pComb->toothIndexArr.allocationSize;
    for (UINT32 p = from; p < TEETH_IN_COMB;) {
        PhyToothList *pList = phyCombIntrn_List(pComb, p);
        if (pList == nullptr) {
            p = (p / chunk + 1) * chunk;
            continue;
        }
        PhyToothIndex t = iterEnter(pComb, pList);
        if (t != kInvalid) {
            *pItr = PhyCombItr{t, 0, p};
            return;
        }
        p++;
    }
    *pItr = PhyCombItr{kInvalid, 0, TEETH_IN_COMB};
}

// ---- first access ----

// Gives a thick block's empty positions a zeroed base tooth (1, 1). FALSE when the device ran out
// of teeth (with the switch that allows it) or a tooth could not be zeroed.
BOOL fillBlock(PhyComb *pComb, Vtree *pVtree, UINT32 block)
{
    PhyDev *pDev = pComb->pDev;
    INT32 rangeStart = -1;
    BOOL bOk = TRUE;
    for (UINT32 p = block * HEAD__TEETH_PER_SLOT; p < (block + 1) * HEAD__TEETH_PER_SLOT; p++) {
        if (phyCombIntrn_HasTeeth(pComb, p))
            continue;
        PhyToothIndex t = phyDev_AllocTooth(pDev);
        if (t == kInvalid) {
            if (tgtInitParam_G.bPhyCombAllowFirstAccessFailure) {
                bOk = FALSE;
                break;
            }
            PhyToothIndex toothIndex = t;
            Exp(toothIndex == (((UINT32)0x7FFFFFFF) >> 2));
        }
        UINT64 lb = pDev->teethOffsetInLbs + (UINT64)t * TOOTH_SIZE_LB;
        // The tooth may still hold a previous owner's data, on the device and in the RAM read
        // cache: it reads as zeros before it is ours.
        Mos_RC rc = file_WriteZero(pDev->pFile, lb, TOOTH_SIZE_LB, FILE_IO_TYPE__IO, WrZeIoFlags{.flags = 0});
        if (pDev->pRcache != nullptr)
            rcache_Invalidate(pDev->pRcache, pDev->header.devId, pDev->ramcacheGenNum, lb, TOOTH_SIZE_LB);
        if (rc != MOS_RC__SUCCESS) {
            MOS_ERROR(MOS_COMP_TGT_PHY, "comb %lx: failed to zero new tooth %u for position %u",
                      (unsigned long)pComb->combId, t, p);
            phyDev_FreeTooth(pDev, 0, nullptr, t, FALSE, nullptr);
            bOk = FALSE;
            break;
        }
        for (UINT32 type = 0; type < PHY_DEV_DRL_TYPE__COUNT; type++)
            MOS_ASSERT(phyDev_ResetDirty(pDev, type, lb, TOOTH_SIZE_LB, FALSE));
        PhyToothList *pList = phyCombIntrn_EnsureList(pComb, p);
        phyCombIntrn_AddUsage(pComb, pVtree, 1, 1);
        BOOL bFirst = FALSE;
        UINT32 mapUpdate = 0;
        BOOL bRecorded = phyDev_UpdateTooth(pDev, pComb->combId, p, VTREE__BASE_VTO_ID, 1, pList, t, FALSE, FALSE,
                                            FALSE, &bFirst, &mapUpdate);
        MOS_ASSERT(bRecorded);
        if (rangeStart < 0)
            rangeStart = (INT32)p;
        if (tgtInitParam_G.bDit || tgtInitParam_G.bVtreeCnt)
            MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "comb %lx: alloc new tooth range %d - %d",
                      (unsigned long)pComb->combId, rangeStart, (int)p);
    }
    return bOk;
}

BOOL freeBlock(PhyComb *pComb, Vtree *pVtree, UINT32 block)
{
    BOOL bComplete = TRUE;
    for (UINT32 p = block * HEAD__TEETH_PER_SLOT; p < (block + 1) * HEAD__TEETH_PER_SLOT; p++) {
        PhyToothList *pList = phyCombIntrn_List(pComb, p);
        if (pList == nullptr)
            continue;
        if (phyCombIntrn_ActiveIter(pComb, pList) != 0) {
            bComplete = FALSE;
            continue;
        }
        phyComb_FreeEntireTooth(pComb, p, pVtree, FALSE);
    }
    return bComplete;
}
} // namespace

// ---- shared helpers ----

PhyToothList *phyCombIntrn_List(PhyComb *pComb, UINT32 toothInComb)
{
    MosDynamicArray *a = &pComb->toothIndexArr;
    UINT32 chunk = MOS_DYNAMIC_ARRAY_GET_BLOCK(a, toothInComb);
    if (chunk >= a->maxNumOfBlocks)
        return nullptr;
    auto *pBlock = static_cast<UINT8 *>(std::atomic_ref<PVOID>(a->pBlocks[chunk]).load(std::memory_order_acquire));
    if (pBlock == nullptr)
        return nullptr;
    return reinterpret_cast<PhyToothList *>(pBlock + MOS_DYNAMIC_ARRAY_GET_OFFSET_IN_BLOCK(a, toothInComb));
}

PhyToothList *phyCombIntrn_EnsureList(PhyComb *pComb, UINT32 toothInComb)
{
    Exp(toothInComb >= TEETH_IN_COMB);
    if (PhyToothList *p = phyCombIntrn_List(pComb, toothInComb))
        return p;
    MOS_ASSERT_SUCCESS(mosDynamicArray_Alloc(&pComb->toothIndexArr, toothInComb));
    return phyCombIntrn_List(pComb, toothInComb);
}

BOOL phyCombIntrn_HasTeeth(PhyComb *pComb, UINT32 toothInComb)
{
    PhyToothList *p = phyCombIntrn_List(pComb, toothInComb);
    return p != nullptr && !phyToothList_IsEmpty(p);
}

UINT32 phyCombIntrn_ActiveIter(PhyComb *pComb, PhyToothList *pList)
{
    MosFastlockGuard g(&pComb->pDev->toothMap.mapFastlock);
    return pList->activeIter;
}

CombTId phyCombIntrn_CombTId(PhyComb *pComb, UINT32 toothInComb) { return combTId_Make(pComb->combId, toothInComb); }

VtoOnDev phyCombIntrn_Label(PhyComb *pComb, PhyToothIndex toothIndex)
{
    return phyToothMap_GetEntry(&pComb->pDev->toothMap, toothIndex).devVto;
}

PhyToothIndex phyCombIntrn_Next(PhyComb *pComb, PhyToothIndex toothIndex)
{
    return phyToothMap_GetNext(&pComb->pDev->toothMap, toothIndex);
}

void phyCombIntrn_AddUsage(PhyComb *pComb, Vtree *pVtree, UINT32 teeth, UINT32 bases)
{
    if (pVtree != nullptr) {
        vtree_Lock(pVtree);
        pVtree->vtreeUsageMB += teeth;
        pVtree->baseVolUsageMB += bases;
        vtree_Unlock(pVtree);
    }
    MosFastlockGuard g(&pComb->combUsageFastlock);
    pComb->combUsageMB += teeth;
    pComb->combBaseUsageMB += bases;
}

void phyCombIntrn_SubTreeUsage(Vtree *pVtree, UINT32 teeth, UINT32 bases, BOOL bLocked)
{
    if (pVtree == nullptr)
        return;
    if (!bLocked)
        vtree_Lock(pVtree);
    Exp(pVtree->vtreeUsageMB < teeth);
    Exp(pVtree->baseVolUsageMB < bases);
    pVtree->vtreeUsageMB -= teeth;
    pVtree->baseVolUsageMB -= bases;
    if (!bLocked)
        vtree_Unlock(pVtree);
}

void phyCombIntrn_SubCombUsage(PhyComb *pComb, UINT32 teeth, UINT32 bases)
{
    MosFastlockGuard g(&pComb->combUsageFastlock);
    Exp(pComb->combUsageMB < teeth);
    Exp(pComb->combBaseUsageMB < bases);
    pComb->combUsageMB -= teeth;
    pComb->combBaseUsageMB -= bases;
}

BOOL phyCombIntrn_IsBlockUsed(const PhyCombHead *pHeadState, UINT32 block)
{
    return (pHeadState->usageBM[block / 8] >> (7 - block % 8)) & 1;
}

// ---- comb life ----

void phyComb_Init(PhyComb *pComb, BOOL bThinAllocation)
{
    *pComb = PhyComb{};
    pComb->bThinAllocation = bThinAllocation;
    mosFastlockBase_Create(&pComb->combUsageFastlock, TGT_CONTENTION__COMB_USAGE, __FILE__, __LINE__);
    UINT32 size = allocationSize();
    MOS_ASSERT_SUCCESS(mosDynamicArray_Create(&pComb->toothIndexArr, "ToothIndexArr", phyCombTooth_InitCK,
                                              sizeof(PhyToothList), size, (size + TEETH_IN_COMB - 1) / size));
}

void phyComb_Destroy(PhyComb *pComb)
{
    mosDynamicArray_Destroy(&pComb->toothIndexArr);
    mosFastlockBase_Destroy(&pComb->combUsageFastlock);
    *pComb = PhyComb{};
}

Mos_RC phyComb_AllocComb(PhyComb *pComb, CombId combId, TgtDevId devId, Phy *pPhy, PhyDev *pDev,
                         BOOL bRemoveAllTeeth, BOOL *pBOnDevice)
{
    *pBOnDevice = FALSE;
    PhyDevAddr devAddr{};
    Mos_RC rc = phy_AllocComb(pPhy, combId, devId, pDev, pBOnDevice, &devAddr);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    phyComb_Attach(pComb, combId, pDev, devAddr);
    if (*pBOnDevice)
        phyComb_ReattachTeeth(pComb, &phyMultiDev_GetCombNode(&pPhy->mDev, devAddr)->toothList, bRemoveAllTeeth);
    return MOS_RC__SUCCESS;
}

void phyComb_AllocCombDone(PhyComb *pComb, Phy *pPhy)
{
    UINT64 changeNumber = 0;
    phy_AllocCombDone(pPhy, pComb->combId, pComb->devAddrForMap, &changeNumber);
    pComb->combChangeNumber = changeNumber;
}

void phyComb_FreeComb(PhyComb *pComb, Phy *pPhy)
{
    phyComb_RemoveAllTeeth(pComb, FALSE);
    phy_FreeComb(pPhy, pComb->combId);
}

void phyComb_Attach(PhyComb *pComb, CombId combId, PhyDev *pDev, PhyDevAddr devAddr)
{
    pComb->combId = combId;
    pComb->pDev = pDev;
    pComb->devAddrForMap = devAddr;
}

void phyComb_ReattachTeeth(PhyComb *pComb, PhyToothList *pFoundTeeth, BOOL bRemoveAllTeeth)
{
    PhyDev *pDev = pComb->pDev;
    Cont *pCont = pDev->pCont;
    Head *pHead = head_ContAcquireHead(pCont, combId_GetHeadId(pComb->combId));
    Vtree *pVtree = nullptr;
    VTreeId vtreeId = 0;
    UINT32 teeth = 0, bases = 0, accTeeth = 0, accBases = 0;
    auto flush = [&] {
        if (pVtree != nullptr) {
            vtree_Lock(pVtree);
            pVtree->vtreeUsageMB += accTeeth;
            pVtree->baseVolUsageMB += accBases;
            vtree_Unlock(pVtree);
        }
        accTeeth = accBases = 0;
    };
    CombTId combTId = 0;
    for (PhyToothIndex t; (t = phyToothMap_PopFirstTooth(&pDev->toothMap, pFoundTeeth, &combTId)) != kInvalid;) {
        UINT32 toothInComb = combTId_GetTooth(combTId);
        if (bRemoveAllTeeth) {
            MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "Cleaning all teeth while adding a comb %lx toothIndex %u toothInComb %u",
                      (unsigned long)pComb->combId, t, toothInComb);
            phyDev_FreeTooth(pDev, combTId, nullptr, t, TRUE, nullptr);
            continue;
        }
        VTreeId id = pHead == nullptr ? 0 : head_GetVtreeId(pHead, toothInComb);
        if (id != vtreeId || pVtree == nullptr) {
            flush();
            head_ContReleaseVtree(pCont, pVtree);
            pVtree = head_ContAcquireVtree(pCont, id);
            vtreeId = id;
        }
        if (pVtree == nullptr) {
            MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "Vtree not found, comb %lx toothIndex %u toothInComb %u",
                      (unsigned long)pComb->combId, t, toothInComb);
            phyDev_FreeTooth(pDev, combTId, nullptr, t, TRUE, nullptr);
            continue;
        }
        BOOL bNew = FALSE;
        phyDev_AllocToothSpecific(pDev, pComb->combId, phyCombIntrn_EnsureList(pComb, toothInComb), t, pVtree->bThin,
                                  &bNew);
        teeth++;
        accTeeth++;
        if (bNew) {
            bases++;
            accBases++;
        }
    }
    if (bRemoveAllTeeth && !phyDev_HardenToothArr(pDev, 0)) {
        MOS_ERROR(MOS_COMP_TGT_PHY, "Failed to harden combArray removing all teeth found on device, combID: %lx",
                  (unsigned long)pComb->combId);
        mosDbg_PlannedCrashModuleWithDesc("Harden combArray failed after cleaning new T comb");
    }
    flush();
    head_ContReleaseVtree(pCont, pVtree);
    {
        MosFastlockGuard g(&pComb->combUsageFastlock);
        MOS_ASSERT(pComb->combUsageMB == 0 && pComb->combBaseUsageMB == 0);
        pComb->combUsageMB = teeth;
        pComb->combBaseUsageMB = bases;
    }
    head_ContReleaseHead(pCont, pHead);
}

BOOL phyComb_RemoveAllTeeth(PhyComb *pComb, BOOL bHarden)
{
    Cont *pCont = pComb->pDev->pCont;
    Head *pHead = head_ContAcquireHead(pCont, combId_GetHeadId(pComb->combId));
    HeadItr itr;
    head_ItrInit(&itr);
    for (UINT32 block = 0; block < VOL_ALLOC_BLOCKS_IN_HEAD; block++) {
        UINT32 p0 = block * HEAD__TEETH_PER_SLOT;
        Vtree *pVtree = pHead == nullptr ? nullptr : head_ItrGetVtree(&itr, pHead, p0);
        for (UINT32 p = p0; p < p0 + HEAD__TEETH_PER_SLOT; p++) {
            PhyToothList *pList = phyCombIntrn_List(pComb, p);
            if (pList == nullptr)
                continue;
            Exp(phyCombIntrn_ActiveIter(pComb, pList) != 0);
            phyComb_FreeEntireTooth(pComb, p, pVtree, FALSE);
        }
        if (phyCombIntrn_List(pComb, p0) != nullptr)
            mosUmt_YieldIfShould();
    }
    head_ItrEnd(&itr, pCont);
    head_ContReleaseHead(pCont, pHead);
    return bHarden ? phyDev_HardenToothArr(pComb->pDev, 0) : TRUE;
}

BOOL phyComb_HasCapacityChanged(PhyComb *pComb, const PhyCombHead *pHeadState)
{
    return pHeadState->capChangeGen != pComb->headCapChangeGen;
}

BOOL phyComb_FirstAccess(PhyComb *pComb, Cont *pCont, const PhyCombHead *pHeadState)
{
    if (tgtInitParam_G.bDit)
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "comb %lx capacity has changed (%ld<=>%ld)",
                  (unsigned long)pComb->combId, (long)pComb->headCapChangeGen, (long)pHeadState->capChangeGen);
    Head *pHead = head_ContAcquireHead(pCont, combId_GetHeadId(pComb->combId));
    MOS_ASSERT(pHead != nullptr);
    BOOL bComplete = TRUE;
    HeadItr itr;
    head_ItrInit(&itr);
    for (UINT32 block = 0; block < VOL_ALLOC_BLOCKS_IN_HEAD; block++) {
        Vtree *pVtree = head_ItrGetVtree(&itr, pHead, block * HEAD__TEETH_PER_SLOT);
        if (phyCombIntrn_IsBlockUsed(pHeadState, block)) {
            if (pVtree == nullptr) {
                MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW,
                          "VTree %lx does not exist. Cannot update block %d. This vtree is possibly being removed",
                          (unsigned long)itr.dbgVtreeId, (int)block);
                bComplete = FALSE;
                continue;
            }
            if (!pVtree->bDeleting) {
                if (pComb->pDev->bDevZeroPadEnabled || pVtree->bThin || pComb->bThinAllocation)
                    continue;
                if (!fillBlock(pComb, pVtree, block))
                    bComplete = FALSE;
                continue;
            }
        }
        if (!freeBlock(pComb, pVtree, block))
            bComplete = FALSE;
    }
    head_ItrEnd(&itr, pCont);
    if (bComplete)
        pComb->headCapChangeGen = pHeadState->capChangeGen;
    partialAllocDone(pComb);
    head_ContReleaseHead(pCont, pHead);
    return TRUE;
}

void phyComb_Validate(PhyComb *pComb)
{
    for (UINT32 p = 0; p < TEETH_IN_COMB; p++) {
        PhyToothList *pList = phyCombIntrn_List(pComb, p);
        MOS_ASSERT(pList != nullptr);
        MOS_ASSERT(!phyToothList_IsEmpty(pList));
    }
}

// ---- teeth and versions ----

PhyToothIndex phyComb_AllocTooth(PhyComb *pComb, UINT32 offsetInComb)
{
    phyCombIntrn_EnsureList(pComb, toothOf(offsetInComb));
    return phyDev_AllocTooth(pComb->pDev);
}

Mos_RC phyComb_UpdateTooth(PhyComb *pComb, Vtree *pVtree, UINT32 offsetInComb, VtoId vtoId, VtoTime time,
                           PhyToothIndex toothIndex, BOOL bHardenTooth, BOOL bThin, BOOL bForce, BOOL bLeaveRemainder)
{
    UINT32 toothInComb = toothOf(offsetInComb);
    PhyToothList *pList = phyCombIntrn_EnsureList(pComb, toothInComb);
    BOOL bFirst = FALSE;
    UINT32 mapUpdate = 0;
    if (!phyDev_UpdateTooth(pComb->pDev, pComb->combId, toothInComb, vtoId, time, pList, toothIndex, bThin, bForce,
                            bLeaveRemainder, &bFirst, &mapUpdate))
        return MOS_RC__IO_FAULT_NO_SPACE;
    if (bHardenTooth && !phyDev_HardenToothArr(pComb->pDev, mapUpdate)) {
        phyDev_RollbackUpdateTooth(pComb->pDev, phyCombIntrn_CombTId(pComb, toothInComb), pList, toothIndex);
        MOS_ERROR(MOS_COMP_TGT_PHY, "Failed to harden tooth array. comb %lx, tooth index %u",
                  (unsigned long)pComb->combId, toothIndex);
        return MOS_RC__IO_HARD_ERROR;
    }
    phyCombIntrn_AddUsage(pComb, pVtree, 1, bFirst ? 1 : 0);
    return MOS_RC__SUCCESS;
}

void phyComb_RollbackAllocTooth(PhyComb *pComb, UINT32 offsetInComb, PhyToothIndex toothIndex)
{
    (void)offsetInComb;
    phyDev_FreeTooth(pComb->pDev, 0, nullptr, toothIndex, FALSE, nullptr);
}

PhyToothIndex phyComb_AllocToothWithTime(PhyComb *pComb, Vtree *pVtree, UINT32 offsetInComb, VtoId vtoId,
                                         VtoTime time)
{
    UINT32 toothInComb = toothOf(offsetInComb);
    PhyToothList *pList = phyCombIntrn_EnsureList(pComb, toothInComb);
    BOOL bFirst = FALSE;
    PhyToothIndex t = phyDev_AllocToothAndUpdate(pComb->pDev, pComb->combId, toothInComb, vtoId, time, pList,
                                                 pVtree != nullptr && pVtree->bThin, &bFirst);
    if (t != kInvalid)
        phyCombIntrn_AddUsage(pComb, pVtree, 1, bFirst ? 1 : 0);
    return t;
}

namespace {
// The lookup under the tree's lock; the versions to free go to *pGarbage.
PhyToothIndex lookupLocked(PhyComb *pComb, Vtree *pVtree, VtoId vtoId, UINT32 offsetInComb, BOOL bWrite,
                           BOOL bAllowAllocate, VtoTime cleanStartTime, PhyCombTooth *pNewTooth, BOOL *pBDelIgnored,
                           Garbage *pGarbage)
{
    UINT32 toothInComb = toothOf(offsetInComb);
    BOOL bDelIgnored = FALSE;
    PhyToothList *pList = phyCombIntrn_List(pComb, toothInComb);
    const VtreeWriteBuildData *pSeen = nullptr;
    WalkOut out;
    if (pList == nullptr || phyToothList_IsEmpty(pList)) {
        if (tgtInitParam_G.bDit)
            MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "comb %lx offset %d tooth: %d vtoId: %d: %s %s",
                      (unsigned long)pComb->combId, (int)offsetInComb, (int)toothInComb, (int)vtoId,
                      bWrite ? "write" : "read", pList == nullptr ? "array not allocated" : "no tooth");
    } else {
        VtreeNode *pNode = walkVersions(pComb, pVtree, vtoId, toothInComb, pList, &out);
        pSeen = pNode == nullptr ? nullptr : pNode->build.pWriteData;
        collectVersions(pComb, toothInComb, pList, &out, pSeen, cleanStartTime, &bDelIgnored, pGarbage);
    }
    if (pBDelIgnored != nullptr)
        *pBDelIgnored = bDelIgnored;
    if (!bWrite) {
        if (pNewTooth != nullptr) {
            MOS_ASSERT(pSeen != nullptr);
            pNewTooth->time = pSeen->devVto.time;
            pNewTooth->vtoId = pSeen->devVto.vtoId;
        }
        return pSeen == nullptr ? kInvalid : pSeen->toothIndex;
    }
    MOS_ASSERT(pNewTooth != nullptr);
    if (pSeen != nullptr && pSeen->usedCounter < 2) {
        pNewTooth->time = pSeen->devVto.time;
        pNewTooth->vtoId = pSeen->devVto.vtoId;
        return pSeen->toothIndex;
    }
    pNewTooth->time = pVtree->time;
    pNewTooth->vtoId = vtoId;
    if (!bAllowAllocate)
        return kInvalid;
    pNewTooth->srcToothIndex = pSeen == nullptr ? kInvalid : pSeen->toothIndex;
    pNewTooth->dstToothIndex = phyComb_AllocTooth(pComb, offsetInComb);
    if (tgtInitParam_G.bDit)
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "allocate new tooth comb %lx, tooth in comb %d, vtoId %d, tooth index %d",
                  (unsigned long)pComb->combId, (int)toothInComb, (int)vtoId, (int)pNewTooth->dstToothIndex);
    return pNewTooth->dstToothIndex;
}
} // namespace

PhyToothIndex phyComb_GetToothIndexWithVtree(PhyComb *pComb, Vtree *pVtree, VtoId vtoId, UINT32 offsetInComb,
                                             BOOL bWrite, BOOL bAllowAllocate, VtoTime cleanStartTime,
                                             PhyCombTooth *pNewTooth, BOOL *pBDelIgnored)
{
    if (pNewTooth != nullptr) {
        pNewTooth->srcToothIndex = kInvalid;
        pNewTooth->dstToothIndex = kInvalid;
    }
    Garbage garbage;
    vtree_Lock(pVtree);
    PhyToothIndex t = lookupLocked(pComb, pVtree, vtoId, offsetInComb, bWrite, bAllowAllocate, cleanStartTime,
                                   pNewTooth, pBDelIgnored, &garbage);
    vtree_Unlock(pVtree);
    freeGarbage(pComb, pVtree, toothOf(offsetInComb), garbage);
    return t;
}

PhyToothIndex phyComb_GetToothIndex(PhyComb *pComb, VtoId vtoId, VtoTime time, UINT32 offsetInComb)
{
    PhyToothList *pList = phyCombIntrn_List(pComb, toothOf(offsetInComb));
    if (pList == nullptr)
        return kInvalid;
    for (PhyToothIndex t = pList->first; t != kInvalid; t = phyCombIntrn_Next(pComb, t)) {
        VtoOnDev v = phyCombIntrn_Label(pComb, t);
        if (v.time == time && (v.vtoId == vtoId || v.vtoId == VTREE__BASE_VTO_ID))
            return t;
    }
    return kInvalid;
}

BOOL phyComb_PrintVtreeAndIos(PhyComb *pComb, Vtree *pVtree, UINT32 toothInComb)
{
    for (VtreeNode *n = vtree_FirstNode(pVtree); n != nullptr; n = vtree_NextNode(n))
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "%u) %u => %u, state %u", n->time, n->parentId, n->vtoId,
                  (unsigned)n->nodeState);
    PhyToothList *pList = phyCombIntrn_List(pComb, toothInComb);
    for (PhyToothIndex t = pList == nullptr ? kInvalid : pList->first; t != kInvalid; t = phyCombIntrn_Next(pComb, t)) {
        VtoOnDev v = phyCombIntrn_Label(pComb, t);
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "%u) %u", v.time, v.vtoId);
    }
    return TRUE;
}

// ---- iteration ----

void phyComb_StartIter(PhyComb *pComb, PhyCombItr *pCombItr)
{
    Exp(pCombItr->toothInComb >= TEETH_IN_COMB);
    enterPosition(pComb, pCombItr, pCombItr->toothInComb);
}

BOOL phyComb_FindNextLb(PhyComb *pComb, PhyCombItr *pCombItr)
{
    if (pCombItr->toothIndex == kInvalid)
        return FALSE;
    if (pCombItr->offsetInTooth < TOOTH_SIZE_LB)
        return TRUE;
    PhyToothIndex next = phyCombIntrn_Next(pComb, pCombItr->toothIndex);
    if (next != kInvalid) {
        pCombItr->toothIndex = next;
        pCombItr->offsetInTooth = 0;
        return TRUE;
    }
    iterLeave(pComb, phyCombIntrn_List(pComb, pCombItr->toothInComb));
    enterPosition(pComb, pCombItr, pCombItr->toothInComb + 1);
    return pCombItr->toothIndex != kInvalid;
}

void phyComb_SkipNextLb(PhyComb *pComb, PhyCombItr *pCombItr, UINT32 sizeInLbs)
{
    Exp(pCombItr->offsetInTooth + sizeInLbs > TOOTH_SIZE_LB);
    pCombItr->offsetInTooth += sizeInLbs;
    if (pCombItr->offsetInTooth == TOOTH_SIZE_LB)
        phyComb_FindNextLb(pComb, pCombItr);
}

void phyComb_EndItr(PhyComb *pComb, PhyCombItr *pCombItr)
{
    if (pCombItr->toothInComb < TEETH_IN_COMB && pCombItr->toothIndex != kInvalid)
        iterLeave(pComb, phyCombIntrn_List(pComb, pCombItr->toothInComb));
    *pCombItr = PhyCombItr{kInvalid, 0, TEETH_IN_COMB};
}

void phyComb_LockCombUsage(PhyComb *pComb) { mosFastlockBase_Acquire(&pComb->combUsageFastlock); }
void phyComb_UnlockCombUsage(PhyComb *pComb) { mosFastlockBase_Release(&pComb->combUsageFastlock); }
