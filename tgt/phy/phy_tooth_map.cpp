#include "tgt/phy/phy_tooth_map.h"

#include <algorithm>
#include <cstring>
#include <tuple>
#include <vector>

#include "mos/mos_dbg.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"
#include "mos/mos_utils_text.h"
#include "mos/mos_utils_file.h"
#include "tgt/bm/bit_array.h"
#include "tgt/file/file.h"
#include "tgt/phy/stmp.h"
#include "tgt/tgt_conf.h"
#include "tgt/tgt_contention.h"

namespace {
constexpr UINT32 kInvalid = PHY_TOOTH_INDEX__INVALID;
// A harden copies at most this much through one temporary buffer.
constexpr UINT32 kMaxChunkLbs = 16384;
// The map's fast lock is held for the copy of this much at a time: every entry is copied whole
// under the lock (never torn by an update), and allocations and updates wait at most for one
// short copy instead of a whole chunk.
constexpr UINT32 kCopyUnderLockLbs = 32 * PHY_TOOTH_MAP__PIECE_LBS;
static_assert(kMaxChunkLbs % kCopyUnderLockLbs == 0);
static_assert(kCopyUnderLockLbs * LB_SIZE_IN_BYTES % sizeof(PhyToothData) == 0);

UINT32 pieceOf(PhyToothIndex t) { return t / PHY_TOOTH_MAP__ENTRIES_PER_PIECE; }
UINT32 numOfPieces(const PhyToothMap *pMap) { return pMap->mapSizeInLbs / PHY_TOOTH_MAP__PIECE_LBS; }

void pushFront(PhyToothMap *pMap, PhyToothList *pList, PhyToothIndex t)
{
    PhyToothNode &n = pMap->pTeethArray[t];
    n.prev = kInvalid;
    n.next = pList->first;
    if (pList->first == kInvalid)
        pList->last = t;
    else
        pMap->pTeethArray[pList->first].prev = t;
    pList->first = t;
}

void insertBefore(PhyToothMap *pMap, PhyToothList *pList, PhyToothIndex before, PhyToothIndex t)
{
    PhyToothNode &n = pMap->pTeethArray[t];
    n.next = before;
    n.prev = pMap->pTeethArray[before].prev;
    if (n.prev == kInvalid)
        pList->first = t;
    else
        pMap->pTeethArray[n.prev].next = t;
    pMap->pTeethArray[before].prev = t;
}

void pushBack(PhyToothMap *pMap, PhyToothList *pList, PhyToothIndex t)
{
    PhyToothNode &n = pMap->pTeethArray[t];
    n.next = kInvalid;
    n.prev = pList->last;
    if (pList->last == kInvalid)
        pList->first = t;
    else
        pMap->pTeethArray[pList->last].next = t;
    pList->last = t;
}

void unlink(PhyToothMap *pMap, PhyToothList *pList, PhyToothIndex t)
{
    PhyToothNode &n = pMap->pTeethArray[t];
    if (n.prev == kInvalid)
        pList->first = n.next;
    else
        pMap->pTeethArray[n.prev].next = n.next;
    if (n.next == kInvalid)
        pList->last = n.prev;
    else
        pMap->pTeethArray[n.next].prev = n.prev;
    n.next = n.prev = kInvalid;
}

// Puts every member of pFrom in front of pTo, keeping pFrom's order; pFrom ends empty.
void spliceFront(PhyToothMap *pMap, PhyToothList *pFrom, PhyToothList *pTo)
{
    if (pFrom->first == kInvalid)
        return;
    if (pTo->first == kInvalid) {
        pTo->last = pFrom->last;
    } else {
        pMap->pTeethArray[pFrom->last].next = pTo->first;
        pMap->pTeethArray[pTo->first].prev = pFrom->last;
    }
    pTo->first = pFrom->first;
    phyToothList_Init(pFrom);
}

bool vtoLess(const VtoOnDev &a, const VtoOnDev &b)
{
    return a.time < b.time || (a.time == b.time && a.vtoId < b.vtoId);
}

// Keeps a position's versions sorted by (time, vtoId), oldest first.
void addToothToList(PhyToothMap *pMap, PhyToothList *pList, PhyToothIndex t)
{
    const VtoOnDev vto = pMap->pCombTidArray[t].devVto;
    if (pList->last == kInvalid || !vtoLess(vto, pMap->pCombTidArray[pList->last].devVto)) {
        Exp(pList->last != kInvalid && vto.time == pMap->pCombTidArray[pList->last].devVto.time &&
            vto.vtoId == pMap->pCombTidArray[pList->last].devVto.vtoId);
        pushBack(pMap, pList, t);
        return;
    }
    for (PhyToothIndex cur = pList->first; cur != kInvalid; cur = pMap->pTeethArray[cur].next) {
        const VtoOnDev curVto = pMap->pCombTidArray[cur].devVto;
        if (vto.time == curVto.time)
            Exp(vto.vtoId == curVto.vtoId);
        if (vtoLess(vto, curVto)) {
            insertBefore(pMap, pList, cur, t);
            return;
        }
    }
    MOS_UNREACHABLE("sorted insertion found no place");
}

void markDirty(PhyToothMap *pMap, PhyToothIndex t)
{
    pMap->bNeedHarden = TRUE;
    bits_SetBit(pMap->memDirtyArray, pieceOf(t));
}

void updateMapInter(PhyToothMap *pMap, CombId combId, UINT32 toothInComb, VtoId vtoId, UINT32 time,
                    PhyToothList *pList, PhyToothIndex t)
{
    Exp(time == 0);
    PhyToothData &e = pMap->pCombTidArray[t];
    e.combTId = combTId_Make(combId, toothInComb);
    e.devVto = VtoOnDev{vtoId, time};
    addToothToList(pMap, pList, t);
    markDirty(pMap, t);
}

// The reserve rule; counts the tooth when it is allowed. Under mapFastlock.
bool reserveAllows(PhyToothMap *pMap, PhyToothList *pList, BOOL bThin, BOOL bForce, BOOL bLeaveRemainder,
                   BOOL *out_pbIsFirstTooth)
{
    bool bBase = phyToothList_IsEmpty(pList);
    if (!(bBase && !bThin) && !bForce) {
        UINT64 used = pMap->currThinBaseTeeth + pMap->currSnapTeeth + (bLeaveRemainder ? tgtInitParam_G.phyToothRemainder : 0);
        if (used >= pMap->snapReservedTeeth)
            return false;
    }
    if (bBase) {
        pMap->currBaseTeeth++;
        if (bThin)
            pMap->currThinBaseTeeth++;
        pList->bThin = bThin ? 1 : 0;
    } else {
        pMap->currSnapTeeth++;
    }
    if (out_pbIsFirstTooth != nullptr)
        *out_pbIsFirstTooth = bBase ? TRUE : FALSE;
    return true;
}

// Unlinks a tooth from its position and undoes its count. Under mapFastlock.
BOOL leaveList(PhyToothMap *pMap, PhyToothList *pList, PhyToothIndex t)
{
    unlink(pMap, pList, t);
    if (!phyToothList_IsEmpty(pList)) {
        Exp(pMap->currSnapTeeth == 0);
        pMap->currSnapTeeth--;
        return FALSE;
    }
    Exp(pMap->currBaseTeeth == 0);
    pMap->currBaseTeeth--;
    if (pList->bThin) {
        Exp(pMap->currThinBaseTeeth == 0);
        pMap->currThinBaseTeeth--;
    }
    return TRUE;
}

bool badEntry(const PhyToothData &e, PhyToothIndex t)
{
    const char *pWhy = nullptr;
    if (combTId_GetTooth(e.combTId) >= teethInComb_g)
        pWhy = "position outside the comb";
    else if (combTId_GetCombId(e.combTId) == COMB_ID_INVALID)
        pWhy = "comb id 0";
    else if (e.devVto.time == 0)
        pWhy = "time 0";
    if (pWhy == nullptr)
        return false;
    MOS_ERROR(MOS_COMP_TGT_PHY, "Bad tooth map entry %u: %s, combTId %lx time %u vtoId %u", t, pWhy,
              (unsigned long)e.combTId, e.devVto.time, e.devVto.vtoId);
    return true;
}

// Two entries with the same position and version would be one version stored twice: the map
// is not one this program wrote.
bool hasDuplicateLabel(const PhyToothMap *pMap)
{
    std::vector<PhyToothIndex> found;
    for (PhyToothIndex t = 0; t < pMap->maxNumOfTeeth; t++)
        if (pMap->pCombTidArray[t].combTId != 0)
            found.push_back(t);
    auto key = [&](PhyToothIndex t) {
        const PhyToothData &e = pMap->pCombTidArray[t];
        return std::make_tuple(e.combTId, e.devVto.time, e.devVto.vtoId);
    };
    std::sort(found.begin(), found.end(), [&](PhyToothIndex a, PhyToothIndex b) { return key(a) < key(b); });
    for (size_t i = 1; i < found.size(); i++) {
        if (key(found[i - 1]) == key(found[i])) {
            const PhyToothData &e = pMap->pCombTidArray[found[i]];
            MOS_ERROR(MOS_COMP_TGT_PHY, "Bad tooth map: teeth %u and %u carry one label combTId %lx time %u vtoId %u",
                      found[i - 1], found[i], (unsigned long)e.combTId, e.devVto.time, e.devVto.vtoId);
            return true;
        }
    }
    return false;
}

Mos_RC loadExisting(PhyToothMap *pMap, PhyAddDevProgress *pProgress)
{
    UINT64 start = phyAddDevProgress_NowUsec();
    Mos_RC rc = file_Read(pMap->pFile, pMap->pCombTidArray, nullptr, pMap->mapOffsetInLbs, pMap->mapSizeInLbs,
                          FILE_IO_TYPE__TOOTH_MAP, TRUE, COMB_ID_INVALID, 0, RdIoFlags{.flags = 0});
    phyAddDevProgress_Stamp(pProgress, "Read CombTidArr", start);
    if (rc != MOS_RC__SUCCESS)
        return MOS_RC__ERROR;
    for (PhyToothIndex t = 0; t < pMap->maxNumOfTeeth; t++)
        if (pMap->pCombTidArray[t].combTId != 0 && badEntry(pMap->pCombTidArray[t], t))
            return MOS_RC__TGT_ADD_DEVICE_VALIDATION_FAILED;
    if (hasDuplicateLabel(pMap))
        return MOS_RC__TGT_ADD_DEVICE_VALIDATION_FAILED;
    for (PhyToothIndex t = pMap->maxNumOfTeeth; t-- > 0;) {
        const PhyToothData &e = pMap->pCombTidArray[t];
        if (e.combTId == 0) {
            pushFront(pMap, &pMap->toothFreeList, t);
            continue;
        }
        pushFront(pMap, &pMap->toothAllocList, t);
        if (tgtInitParam_G.bDit)
            MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "Found tooth %u comb %lx offset %u time %d vtoId %d", t,
                      (unsigned long)combTId_GetCombId(e.combTId), combTId_GetTooth(e.combTId), (int)e.devVto.time,
                      (int)e.devVto.vtoId);
    }
    return MOS_RC__SUCCESS;
}

Mos_RC formatNew(PhyToothMap *pMap, PhyAddDevProgress *pProgress)
{
    for (PhyToothIndex t = pMap->maxNumOfTeeth; t-- > 0;)
        pushFront(pMap, &pMap->toothFreeList, t);
    UINT64 start = phyAddDevProgress_NowUsec();
    memset(pMap->pCombTidArray, 0, (size_t)pMap->mapSizeInLbs * LB_SIZE_IN_BYTES);
    phyAddDevProgress_Stamp(pProgress, "Init CombTidArr", start);
    start = phyAddDevProgress_NowUsec();
    Mos_RC rc = file_Write(pMap->pFile, pMap->pCombTidArray, pMap->mapOffsetInLbs, pMap->mapSizeInLbs,
                           FILE_IO_TYPE__TOOTH_MAP, COMB_ID_INVALID, 0);
    phyAddDevProgress_Stamp(pProgress, "Write CombTidArr", start);
    return rc;
}

bool alreadyCovered(const PhyToothMap *pMap, UINT32 mapUpdate)
{
    return !pMap->bNeedHarden || (mapUpdate != 0 && (INT32)(mapUpdate - pMap->mapHardenedUpdate) <= 0);
}

// Copies pieces [first, last] from the image and writes them, in chunks the temporary-buffer
// budget can give. Called without mapFastlock.
Mos_RC writePieces(PhyToothMap *pMap, UINT32 first, UINT32 last)
{
    UINT32 lbs = (last - first + 1) * PHY_TOOTH_MAP__PIECE_LBS;
    UINT64 fromLb = (UINT64)first * PHY_TOOTH_MAP__PIECE_LBS;
    for (UINT32 done = 0; done < lbs;) {
        UINT32 n = MOS_MIN(lbs - done, kMaxChunkLbs);
        auto *pBuf = static_cast<UINT8 *>(stmp_Allocate(&stmp_g, n, TRUE, TRUE));
        const UINT8 *pSrc = (const UINT8 *)pMap->pCombTidArray + (fromLb + done) * LB_SIZE_IN_BYTES;
        for (UINT32 c = 0; c < n; c += kCopyUnderLockLbs) {
            size_t bytes = (size_t)MOS_MIN(n - c, kCopyUnderLockLbs) * LB_SIZE_IN_BYTES;
            mosFastlockBase_Acquire(&pMap->mapFastlock);
            memcpy(pBuf + (size_t)c * LB_SIZE_IN_BYTES, pSrc + (size_t)c * LB_SIZE_IN_BYTES, bytes);
            mosFastlockBase_Release(&pMap->mapFastlock);
        }
        Mos_RC rc = file_Write(pMap->pFile, pBuf, pMap->mapOffsetInLbs + fromLb + done, n, FILE_IO_TYPE__TOOTH_MAP,
                               COMB_ID_INVALID, 0);
        stmp_Free(&stmp_g, pBuf, n, TRUE);
        if (rc != MOS_RC__SUCCESS)
            return rc;
        done += n;
    }
    return MOS_RC__SUCCESS;
}
} // namespace

UINT32 phyToothMap_CalcSizeInLbs(UINT32 maxNumOfTeeth)
{
    if (maxNumOfTeeth == 0)
        return 1;
    UINT64 lbs = ((UINT64)maxNumOfTeeth * sizeof(PhyToothData) + LB_SIZE_IN_BYTES - 1) / LB_SIZE_IN_BYTES;
    lbs = (lbs + PHY_TOOTH_MAP__PIECE_LBS - 1) / PHY_TOOTH_MAP__PIECE_LBS * PHY_TOOTH_MAP__PIECE_LBS;
    Exp(lbs > PHY_DEV__TEETH_MAP_SIZE);
    return (UINT32)lbs;
}

void phyToothList_Init(PhyToothList *pList)
{
    *pList = PhyToothList{};
    pList->first = kInvalid;
    pList->last = kInvalid;
}

BOOL phyToothList_IsEmpty(const PhyToothList *pList) { return pList->first == kInvalid ? TRUE : FALSE; }

Mos_RC phyToothMap_Init(PhyToothMap *pMap, PhyAddDevProgress *pProgress, UINT32 maxNumOfTeeth, UINT64 mapOffset,
                        File *pFile, BOOL bNew)
{
    *pMap = PhyToothMap{};
    mosFastlockBase_Create(&pMap->mapFastlock, TGT_CONTENTION__TOOTH_MAP, __FILE__, __LINE__);
    mosUmtRWLock_Init(&pMap->diskRwLock);
    pMap->mapSizeInLbs = phyToothMap_CalcSizeInLbs(maxNumOfTeeth);
    pMap->maxNumOfTeeth = maxNumOfTeeth;
    pMap->mapOffsetInLbs = mapOffset;
    pMap->pFile = pFile;
    UINT32 dirtyBytes = (numOfPieces(pMap) + 7) / 8 + 1;
    MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_MED, "Allocate %u B, for Dirty array", dirtyBytes);
    pMap->memDirtyArray = static_cast<UINT8 *>(mos_MemCalloc(dirtyBytes, dirtyBytes, __func__, FALSE));
    pMap->pTeethArray = static_cast<PhyToothNode *>(
        mos_MemCalloc(((size_t)maxNumOfTeeth + 1) * sizeof(PhyToothNode), SIZE_MAX, __func__, FALSE));
    pMap->pCombTidArray =
        static_cast<PhyToothData *>(mos_AllocPageAlignedOrPanic((size_t)pMap->mapSizeInLbs * LB_SIZE_IN_BYTES));
    MOS_ASSERT(pMap->memDirtyArray != nullptr && pMap->pTeethArray != nullptr);
    phyToothList_Init(&pMap->toothFreeList);
    phyToothList_Init(&pMap->toothAllocList);
    phyToothList_Init(&pMap->toothFreePendingList);
    Mos_RC rc = bNew ? formatNew(pMap, pProgress) : loadExisting(pMap, pProgress);
    if (rc != MOS_RC__SUCCESS) {
        phyToothMap_Destroy(pMap);
        return rc;
    }
    pMap->bInit = TRUE;
    return MOS_RC__SUCCESS;
}

void phyToothMap_Destroy(PhyToothMap *pMap)
{
    if (pMap->bInit) {
        MOS_ASSERT_WITH_DESC(pMap->currSnapTeeth == 0, "currSnapTeeth");
        MOS_ASSERT_WITH_DESC(pMap->currBaseTeeth == 0, "currBaseTeeth");
        MOS_ASSERT_WITH_DESC(pMap->currThinBaseTeeth == 0, "currThinBaseTeeth");
    }
    mos_MemFree(pMap->memDirtyArray);
    mos_MemFree(pMap->pTeethArray);
    mos_FreePageAligned(pMap->pCombTidArray);
    mosUmtRWLock_Destroy(&pMap->diskRwLock);
    mosFastlockBase_Destroy(&pMap->mapFastlock);
    *pMap = PhyToothMap{};
}

PhyToothIndex phyToothMap_AllocTooth(PhyToothMap *pMap)
{
    mosFastlockBase_Acquire(&pMap->mapFastlock);
    PhyToothIndex t = pMap->toothFreeList.first;
    if (t != kInvalid)
        unlink(pMap, &pMap->toothFreeList, t);
    mosFastlockBase_Release(&pMap->mapFastlock);
    return t;
}

BOOL phyToothMap_UpdateTooth(PhyToothMap *pMap, TgtDevId devId, CombId combId, UINT32 toothInComb, VtoId vtoId,
                             UINT32 time, PhyToothList *pToothList, PhyToothIndex toothIndex, BOOL bThin, BOOL bForce,
                             BOOL bLeaveRemainder, BOOL *out_pbIsFirstTooth, UINT32 *pMapUpdate)
{
    Exp(toothIndex >= pMap->maxNumOfTeeth);
    mosFastlockBase_Acquire(&pMap->mapFastlock);
    if (!reserveAllows(pMap, pToothList, bThin, bForce, bLeaveRemainder, out_pbIsFirstTooth)) {
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW,
                  "Failed to allocate MB dev ID 0x%lx, current %lu, base %lu, thin base %lu, reserve %lu, remainder %d",
                  (unsigned long)devId, (unsigned long)pMap->currSnapTeeth, (unsigned long)pMap->currBaseTeeth,
                  (unsigned long)pMap->currThinBaseTeeth, (unsigned long)pMap->snapReservedTeeth,
                  (int)tgtInitParam_G.phyToothRemainder);
        mosFastlockBase_Release(&pMap->mapFastlock);
        return FALSE;
    }
    updateMapInter(pMap, combId, toothInComb, vtoId, time, pToothList, toothIndex);
    if (++pMap->mapUpdates == 0)
        pMap->mapUpdates = 1;
    *pMapUpdate = pMap->mapUpdates;
    MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_MED, "Allocating tooth: combId=%lx, toothIndex=%u, mapUpdate=%u",
              (unsigned long)combId, toothIndex, *pMapUpdate);
    mosFastlockBase_Release(&pMap->mapFastlock);
    return TRUE;
}

PhyToothIndex phyToothMap_AllocToothAndUpdate(PhyToothMap *pMap, CombId combId, UINT32 toothInComb, VtoId vtoId,
                                              UINT32 time, PhyToothList *pToothList, BOOL bThin,
                                              BOOL *out_pbIsFirstTooth)
{
    mosFastlockBase_Acquire(&pMap->mapFastlock);
    PhyToothIndex t = pMap->toothFreeList.first;
    if (t == kInvalid || !reserveAllows(pMap, pToothList, bThin, FALSE, FALSE, out_pbIsFirstTooth)) {
        mosFastlockBase_Release(&pMap->mapFastlock);
        return kInvalid;
    }
    unlink(pMap, &pMap->toothFreeList, t);
    updateMapInter(pMap, combId, toothInComb, vtoId, time, pToothList, t);
    mosFastlockBase_Release(&pMap->mapFastlock);
    return t;
}

void phyToothMap_AllocToothSpecific(PhyToothMap *pMap, CombId combId, PhyToothList *pToothList,
                                    PhyToothIndex toothIndex, BOOL bThin, BOOL *out_pbIsNewTooth)
{
    Exp(toothIndex >= pMap->maxNumOfTeeth);
    mosFastlockBase_Acquire(&pMap->mapFastlock);
    MOS_ASSERT(combTId_GetCombId(pMap->pCombTidArray[toothIndex].combTId) == combId);
    BOOL bNew = phyToothList_IsEmpty(pToothList);
    if (bNew) {
        pMap->currBaseTeeth++;
        if (bThin) {
            pMap->currThinBaseTeeth++;
            pToothList->bThin = 1;
        }
    } else {
        pMap->currSnapTeeth++;
    }
    addToothToList(pMap, pToothList, toothIndex);
    mosFastlockBase_Release(&pMap->mapFastlock);
    if (out_pbIsNewTooth != nullptr)
        *out_pbIsNewTooth = bNew;
}

PhyToothIndex phyToothMap_PopToothFoundOnDev(PhyToothMap *pMap, CombTId *pCombTId)
{
    PhyToothIndex t = pMap->toothAllocList.first;
    if (t == kInvalid)
        return kInvalid;
    unlink(pMap, &pMap->toothAllocList, t);
    *pCombTId = pMap->pCombTidArray[t].combTId;
    MOS_ASSERT(*pCombTId != 0);
    return t;
}

PhyToothIndex phyToothMap_PopFirstTooth(PhyToothMap *pMap, PhyToothList *pList, CombTId *pCombTId)
{
    MosFastlockGuard g(&pMap->mapFastlock);
    PhyToothIndex t = pList->first;
    if (t == kInvalid)
        return kInvalid;
    unlink(pMap, pList, t);
    *pCombTId = pMap->pCombTidArray[t].combTId;
    return t;
}

UINT32 phyToothMap_ReadChain(PhyToothMap *pMap, const PhyToothList *pList, PhyToothIndex *pTeeth, VtoOnDev *pLabels,
                             UINT32 max)
{
    MosFastlockGuard g(&pMap->mapFastlock);
    UINT32 n = 0;
    for (PhyToothIndex t = pList->first; t != kInvalid; t = pMap->pTeethArray[t].next, n++) {
        if (n >= max)
            continue;
        pTeeth[n] = t;
        pLabels[n] = pMap->pCombTidArray[t].devVto;
    }
    return n;
}

void phyToothMap_AppendTooth(PhyToothMap *pMap, PhyToothList *pList, PhyToothIndex toothIndex)
{
    Exp(toothIndex >= pMap->maxNumOfTeeth);
    MosFastlockGuard g(&pMap->mapFastlock);
    pushBack(pMap, pList, toothIndex);
}

void phyToothMap_FreeTooth(PhyToothMap *pMap, CombTId combTId, PhyToothList *pToothList, PhyToothIndex toothIndex,
                           BOOL bValidate, BOOL bPartOfCombTooth, BOOL *out_isLastTooth)
{
    Exp(toothIndex >= pMap->maxNumOfTeeth);
    mosFastlockBase_Acquire(&pMap->mapFastlock);
    PhyToothData &e = pMap->pCombTidArray[toothIndex];
    if (bValidate)
        MOS_ASSERT(e.combTId == combTId);
    e.combTId = 0;
    if (pToothList != nullptr) {
        BOOL bLast;
        if (bPartOfCombTooth) {
            bLast = leaveList(pMap, pToothList, toothIndex);
        } else {
            unlink(pMap, pToothList, toothIndex);
            bLast = phyToothList_IsEmpty(pToothList);
        }
        if (out_isLastTooth != nullptr)
            *out_isLastTooth = bLast;
    }
    pushFront(pMap, &pMap->toothFreePendingList, toothIndex);
    markDirty(pMap, toothIndex);
    mosFastlockBase_Release(&pMap->mapFastlock);
}

void phyToothMap_RollbackUpdateTooth(PhyToothMap *pMap, CombTId combTId, PhyToothList *pToothList,
                                     PhyToothIndex toothIndex)
{
    (void)combTId;
    Exp(toothIndex >= pMap->maxNumOfTeeth);
    mosFastlockBase_Acquire(&pMap->mapFastlock);
    pMap->pCombTidArray[toothIndex].combTId = 0;
    leaveList(pMap, pToothList, toothIndex);
    markDirty(pMap, toothIndex);
    mosFastlockBase_Release(&pMap->mapFastlock);
}

BOOL phyToothMap_HardenAll(PhyToothMap *pMap, UINT32 mapUpdate)
{
    mosFastlockBase_Acquire(&pMap->mapFastlock);
    if (alreadyCovered(pMap, mapUpdate)) {
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_HIGH, "Skip hardening: mapHardenedUpdate=%u, currMapUpdate=%u bNeedHarden=%s",
                  pMap->mapHardenedUpdate, mapUpdate, pMap->bNeedHarden ? "TRUE" : "FALSE");
        mosFastlockBase_Release(&pMap->mapFastlock);
        return TRUE;
    }
    mosFastlockBase_Release(&pMap->mapFastlock);
    mosUmtRWLock_AcquireWriteLock(&pMap->diskRwLock);
    mosFastlockBase_Acquire(&pMap->mapFastlock);
    if (alreadyCovered(pMap, mapUpdate)) {
        mosFastlockBase_Release(&pMap->mapFastlock);
        mosUmtRWLock_ReleaseWriteLock(&pMap->diskRwLock);
        return TRUE;
    }
    UINT32 pieces = numOfPieces(pMap);
    UINT32 first = bits_FindNextSetBit(pMap->memDirtyArray, 0, pieces);
    MOS_ASSERT_WITH_DESC(first != BIT_ARRAY__NOT_FOUND, "no dirty piece while the map needs hardening");
    UINT32 last = bits_FindLastSetBit(pMap->memDirtyArray, 0, pieces);
    UINT32 writeLbs = (last - first + 1) * PHY_TOOTH_MAP__PIECE_LBS;
    Exp(writeLbs > pMap->mapSizeInLbs);
    pMap->toothArrayHardenInLbs += writeLbs;
    pMap->toothArrayHardens++;
    pMap->toothArrayHardenMaxInLbs = MOS_MAX(pMap->toothArrayHardenMaxInLbs, writeLbs);
    pMap->bNeedHarden = FALSE;
    UINT32 update = pMap->mapUpdates;
    bits_ChangeBits(pMap->memDirtyArray, first, last - first + 1, FALSE);
    // The frees this write carries; frees made from here on wait for the next one.
    PhyToothList freed = pMap->toothFreePendingList;
    phyToothList_Init(&pMap->toothFreePendingList);
    MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_MED,
              "Hardening ToothID array: firstBit=%u, lastBit=%u, sizeInLbs=%u, mapHardenedUpdate=%u, currMapUpdate=%u, "
              "pendingUMT's:%u",
              first, last, writeLbs, pMap->mapHardenedUpdate, update, 0u);
    mosFastlockBase_Release(&pMap->mapFastlock);

    Mos_RC rc = writePieces(pMap, first, last);

    mosFastlockBase_Acquire(&pMap->mapFastlock);
    BOOL bOk = rc == MOS_RC__SUCCESS ? TRUE : FALSE;
    if (!bOk) {
        pMap->bNeedHarden = TRUE;
        bits_ChangeBits(pMap->memDirtyArray, first, last - first + 1, TRUE);
        spliceFront(pMap, &freed, &pMap->toothFreePendingList);
    } else {
        spliceFront(pMap, &freed, &pMap->toothFreeList);
        if (mapUpdate != 0)
            MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_MED, "Hardened ToothID array: mapHardenedUpdate=%u->%u], pendingUMT's:%u",
                      pMap->mapHardenedUpdate, update, 0u);
        // The write carried every update up to U, whoever asked for it.
        pMap->mapHardenedUpdate = update;
    }
    mosFastlockBase_Release(&pMap->mapFastlock);
    mosUmtRWLock_ReleaseWriteLock(&pMap->diskRwLock);
    return bOk;
}

PhyToothData phyToothMap_GetEntry(PhyToothMap *pMap, PhyToothIndex toothIndex)
{
    Exp(toothIndex >= pMap->maxNumOfTeeth);
    mosFastlockBase_Acquire(&pMap->mapFastlock);
    PhyToothData e = pMap->pCombTidArray[toothIndex];
    mosFastlockBase_Release(&pMap->mapFastlock);
    return e;
}

PhyToothIndex phyToothMap_GetNext(PhyToothMap *pMap, PhyToothIndex toothIndex)
{
    Exp(toothIndex >= pMap->maxNumOfTeeth);
    mosFastlockBase_Acquire(&pMap->mapFastlock);
    PhyToothIndex n = pMap->pTeethArray[toothIndex].next;
    mosFastlockBase_Release(&pMap->mapFastlock);
    return n;
}
