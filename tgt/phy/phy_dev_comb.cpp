// The comb array of a device: slot allocation, completion and free, the reopen scan and the
// harden of the on-disk image.
#include <cstring>

#include "mos/mos_dbg.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"
#include "tgt/file/file.h"
#include "tgt/phy/phy_dev.h"
#include "tgt/phy/stmp.h"
#include "tgt/tgt_contention.h"

namespace {
constexpr RdIoFlags kNoRdFlags{.flags = 0};

UINT64 raiseChangeNumber(PhyDevComb *c) { return __atomic_add_fetch(&c->devChangeNumber, 1, __ATOMIC_ACQ_REL); }
} // namespace

Mos_RC phyDevComb_Init(PhyDevComb *pDevComb, File *pFile, const PhyDevOffsets &o, BOOL bNew,
                       MosFastlock_Base *pFastlock, PhyAddDevProgress *pProgress)
{
    PhyDevComb &c = *pDevComb;
    c = PhyDevComb{};
    c.maxNumOfCombs = (UINT32)o.maxNumOfCombs;
    c.mapSizeInLbs =
        (UINT32)(((UINT64)c.maxNumOfCombs * sizeof(PhyDevCombArrNode) + LB_SIZE_IN_BYTES - 1) / LB_SIZE_IN_BYTES);
    Exp(c.mapSizeInLbs > PHY_DEV__COMBS_MAP_SIZE);
    c.mapOffsetInLbs = o.combsMapOffset;
    c.pFile = pFile;
    c.devChangeNumber = 1;
    c.devHardenChangeNumber = 0;
    c.pCombArr = static_cast<PhyDevCombArrNode *>(mos_AllocPageAlignedOrPanic((size_t)c.mapSizeInLbs * LB_SIZE_IN_BYTES));
    memset(c.pCombArr, 0, (size_t)c.mapSizeInLbs * LB_SIZE_IN_BYTES);
    c.pCombNodeArr = static_cast<PhyDevCombNode *>(mos_MemCalloc(
        (size_t)c.maxNumOfCombs * sizeof(PhyDevCombNode), (size_t)c.maxNumOfCombs * sizeof(PhyDevCombNode), __func__,
        FALSE));
    for (UINT32 i = 0; i < c.maxNumOfCombs; i++)
        phyToothList_Init(&c.pCombNodeArr[i].toothList);
    mosUmtRWLock_Init(&c.diskRwLock);
    mosFastlockBase_Create(&c.ownFastlock, TGT_CONTENTION__PHY_MULTI_DEV, __FILE__, __LINE__);
    c.pFastlock = pFastlock != nullptr ? pFastlock : &c.ownFastlock;
    phyDevCombMap_Init(&c.devCombMap);
    c.bInit = TRUE;

    UINT64 start = phyAddDevProgress_NowUsec();
    if (bNew) {
        Mos_RC rc = file_Write(pFile, c.pCombArr, c.mapOffsetInLbs, c.mapSizeInLbs, FILE_IO_TYPE__COMB_MAP,
                               COMB_ID_INVALID, 0);
        phyAddDevProgress_Stamp(pProgress, "Write PhyDevCombArr", start);
        return rc;
    }
    Mos_RC rc = file_Read(pFile, c.pCombArr, nullptr, c.mapOffsetInLbs, c.mapSizeInLbs, FILE_IO_TYPE__COMB_MAP, TRUE,
                          COMB_ID_INVALID, 0, kNoRdFlags);
    phyAddDevProgress_Stamp(pProgress, "Read PhyDevCombArr", start);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    for (UINT32 i = 0; i < c.maxNumOfCombs; i++) {
        CombId id = phyDevCombArr_SlotOnReopen(&c.pCombArr[i]);
        if (id != PHY_DEV_COMB_ARR__FREE && (id >> COMBID_OFFSET_IN_COMB) != 0) {
            MOS_ERROR(MOS_COMP_TGT_PHY, "Bad comb array slot %u: comb id %lx", i, (unsigned long)id);
            return MOS_RC__TGT_ADD_DEVICE_VALIDATION_FAILED;
        }
    }
    return MOS_RC__SUCCESS;
}

void phyDevComb_DestroyArr(PhyDevComb *pDevComb)
{
    PhyDevComb &c = *pDevComb;
    if (!c.bInit)
        return;
    phyDevCombMap_Destroy(&c.devCombMap);
    mos_FreePageAligned(c.pCombArr);
    mos_MemFree(c.pCombNodeArr);
    mosUmtRWLock_Destroy(&c.diskRwLock);
    mosFastlockBase_Destroy(&c.ownFastlock);
    c = PhyDevComb{};
}

BOOL phyDevComb_Destroy(PhyDevComb *pDevComb)
{
    if (pDevComb->curNumOfCombs != 0)
        return FALSE;
    phyDevComb_DestroyArr(pDevComb);
    return TRUE;
}

BOOL phyDevComb_Alloc(PhyDevComb *pDevComb, UINT32 *pCombIndex)
{
    PhyDevComb &c = *pDevComb;
    MosFastlockGuard g(pDevComb->pFastlock);
    if (c.curNumOfCombs >= c.maxNumOfCombs)
        return FALSE;
    for (UINT32 n = 0, i = c.nextCombToStartScan % c.maxNumOfCombs; n < c.maxNumOfCombs;
         n++, i = (i + 1) % c.maxNumOfCombs) {
        if (c.pCombArr[i].combId != PHY_DEV_COMB_ARR__FREE)
            continue;
        c.pCombArr[i].combId = PHY_DEV_COMB_ARR__RESERVED;
        c.curNumOfCombs++;
        c.nextCombToStartScan = (i + 1) % c.maxNumOfCombs;
        *pCombIndex = i;
        return TRUE;
    }
    MOS_UNREACHABLE("the comb count says a slot is free but none is");
}

UINT64 phyDevComb_AllocDone(PhyDevComb *pDevComb, UINT32 combIndex, CombId combId)
{
    MosFastlockGuard g(pDevComb->pFastlock);
    Exp(combIndex >= pDevComb->maxNumOfCombs);
    MOS_ASSERT(pDevComb->pCombArr[combIndex].combId == PHY_DEV_COMB_ARR__RESERVED);
    pDevComb->pCombArr[combIndex].combId = combId;
    return raiseChangeNumber(pDevComb);
}

UINT64 phyDevComb_PartialAllocDone(PhyDevComb *pDevComb) { return raiseChangeNumber(pDevComb); }

void phyDevComb_Free(PhyDev *pDev, UINT32 combIndex, CombId combId)
{
    PhyDevComb &c = pDev->devComb;
    Exp(combIndex >= c.maxNumOfCombs);
    {
        MosFastlockGuard g(c.pFastlock);
        CombId held = c.pCombArr[combIndex].combId;
        MOS_ASSERT_WITH_DESC(held == combId || held == PHY_DEV_COMB_ARR__RESERVED, "the slot holds another comb");
        c.pCombArr[combIndex].combId = PHY_DEV_COMB_ARR__FREE;
        MOS_ASSERT(c.curNumOfCombs != 0);
        c.curNumOfCombs--;
        raiseChangeNumber(&c);
    }
    PhyToothList *pList = &c.pCombNodeArr[combIndex].toothList;
    CombTId combTId = 0;
    for (PhyToothIndex t; (t = phyToothMap_PopFirstTooth(&pDev->toothMap, pList, &combTId)) != PHY_TOOTH_INDEX__INVALID;)
        phyToothMap_FreeTooth(&pDev->toothMap, combTId, nullptr, t, TRUE, FALSE, nullptr);
}

void phyDevComb_RebuildStart(PhyDevComb *pDevComb)
{
    MOS_ASSERT(pDevComb->curNumOfCombs == 0);
    pDevComb->rebuildScanIndex = 0;
}

BOOL phyDevComb_RebuildGetNext(PhyDevComb *pDevComb, UINT32 *pCombIndex, CombId *pCombId)
{
    PhyDevComb &c = *pDevComb;
    MosFastlockGuard g(pDevComb->pFastlock);
    for (; c.rebuildScanIndex < c.maxNumOfCombs; c.rebuildScanIndex++) {
        CombId id = phyDevCombArr_SlotOnReopen(&c.pCombArr[c.rebuildScanIndex]);
        if (id == PHY_DEV_COMB_ARR__FREE)
            continue;
        c.curNumOfCombs++;
        *pCombIndex = c.rebuildScanIndex++;
        *pCombId = id;
        return TRUE;
    }
    return FALSE;
}

BOOL phyDevComb_Harden(PhyDevComb *pDevComb, BOOL bForce, UINT64 changeNumber)
{
    PhyDevComb &c = *pDevComb;
    if (!bForce && __atomic_load_n(&c.devHardenChangeNumber, __ATOMIC_ACQUIRE) >= changeNumber)
        return TRUE;
    mosUmtRWLock_AcquireWriteLock(&c.diskRwLock);
    BOOL bOk = TRUE;
    if (__atomic_load_n(&c.devChangeNumber, __ATOMIC_ACQUIRE) != c.devHardenChangeNumber) {
        void *pBuf = stmp_Allocate(&stmp_g, c.mapSizeInLbs, TRUE, TRUE);
        MOS_ASSERT(pBuf != nullptr);
        UINT64 copied;
        {
            MosFastlockGuard g(pDevComb->pFastlock);
            memcpy(pBuf, c.pCombArr, (size_t)c.mapSizeInLbs * LB_SIZE_IN_BYTES);
            copied = c.devChangeNumber;
        }
        Mos_RC rc = file_Write(c.pFile, pBuf, c.mapOffsetInLbs, c.mapSizeInLbs, FILE_IO_TYPE__COMB_MAP,
                               COMB_ID_INVALID, 0);
        stmp_Free(&stmp_g, pBuf, c.mapSizeInLbs, TRUE);
        __atomic_add_fetch(&c.combArrayHardens, 1, __ATOMIC_RELAXED);
        __atomic_add_fetch(&c.combArrayHardenInLbs, (UINT64)c.mapSizeInLbs, __ATOMIC_RELAXED);
        if (rc == MOS_RC__SUCCESS)
            __atomic_store_n(&c.devHardenChangeNumber, copied, __ATOMIC_RELEASE);
        else
            bOk = FALSE;
    }
    mosUmtRWLock_ReleaseWriteLock(&c.diskRwLock);
    return bOk;
}
