// Tooth I/O, dirty marks in the comb's terms, dirty lists exchanged with the partner, resync
// search, and the freeing and cleaning of versions.
#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"
#include "tgt/phy/phy_comb.h"
#include "tgt/phy/phy_comb_intrn.h"
#include "tgt/phy/phy_dev_io.h"
#include "tgt/tgt_conf.h"

namespace {
constexpr PhyToothIndex kInvalid = PHY_TOOTH_INDEX__INVALID;
constexpr UINT32 kFineEntrySize = sizeof(ReadCombFineDrl_Data);
constexpr UINT32 kEntrySize = sizeof(ReadCombDrl_Data);
constexpr UINT32 kRspHeadSize = offsetof(TgtRsp_ReadCombFineDrl, drlBuf);

// The log of type when the device keeps it; null otherwise (every mark then answers clean / done).
Drl *logOf(PhyComb *pComb, UINT32 type)
{
    MOS_ASSERT(type < PHY_DEV_DRL_TYPE__COUNT);
    PhyDevBm *b = &pComb->pDev->drls[type];
    return b->bEnabled ? &b->drl : nullptr;
}

BOOL fineAllowed(Drl *pDrl) { return tgtInitParam_G.bAllowFineDrl && pDrl != nullptr && pDrl->bFine; }

UINT32 granuleOf(PhyComb *pComb, UINT32 type)
{
    Drl *pDrl = logOf(pComb, type);
    UINT32 g = pDrl == nullptr ? TOOTH_SIZE_LB : drl_GetGranularity(pDrl);
    return g == 0 || g > TOOTH_SIZE_LB ? TOOTH_SIZE_LB : g;
}

UINT32 keyOf(Drl *pDrl, UINT64 lb)
{
    UINT32 first, last;
    drl_calcFirstLastBits(pDrl, lb, 1, &first, &last);
    return first;
}

// Calls fn(toothInComb, toothIndex) for every version of every position, oldest first, walking
// only allocated blocks; stops when fn returns FALSE and then answers FALSE.
template <typename Fn> BOOL forEachVersion(PhyComb *pComb, Fn fn)
{
    const UINT32 chunk = pComb->toothIndexArr.allocationSize;
    for (UINT32 p = 0; p < TEETH_IN_COMB; p++) {
        PhyToothList *pList = phyCombIntrn_List(pComb, p);
        if (pList == nullptr) {
            p = (p / chunk + 1) * chunk - 1;
            continue;
        }
        for (PhyToothIndex t = pList->first; t != kInvalid; t = phyCombIntrn_Next(pComb, t))
            if (!fn(p, t))
                return FALSE;
    }
    return TRUE;
}

// Every granule of every version of the comb: fn(toothInComb, toothIndex, device LB, offset in tooth).
template <typename Fn> BOOL forEachGranule(PhyComb *pComb, UINT32 granule, Fn fn)
{
    return forEachVersion(pComb, [&](UINT32 p, PhyToothIndex t) {
        UINT64 base = phyComb_ToothLb(pComb, t, 0, TOOTH_SIZE_LB);
        for (UINT32 off = 0; off < TOOTH_SIZE_LB; off += granule)
            if (!fn(p, t, base + off, off))
                return FALSE;
        return TRUE;
    });
}

BOOL resetRange(PhyComb *pComb, UINT32 type, UINT64 lb, UINT32 sizeInLbs, BOOL bHarden, BOOL bLock)
{
    Drl *pDrl = logOf(pComb, type);
    return pDrl == nullptr ? TRUE : drl_ResetDirty(pDrl, lb, sizeInLbs, bHarden, bLock);
}

// Marks a granule dirty in dest as it is in src: the coarse bit and, when fine logs are kept, the
// fine bits; otherwise the granule becomes wholly dirty.
BOOL copyGranule(PhyComb *pComb, UINT32 srcType, UINT32 destType, UINT64 lb, UINT32 off, UINT32 granule, BOOL bIsFine)
{
    Drl *pDest = logOf(pComb, destType);
    Drl *pSrc = logOf(pComb, srcType);
    if (pDest == nullptr)
        return TRUE;
    if (bIsFine && fineAllowed(pSrc) && fineAllowed(pDest)) {
        if (!drl_SetDirty(pDest, lb, granule, FALSE, off, FALSE))
            return FALSE;
        return phyDev_CopyBits(pComb->pDev, srcType, destType, keyOf(pSrc, lb), drl_GetFineDrlNumBits(pSrc));
    }
    return drl_SetDirty(pDest, lb, granule, FALSE, off, TRUE);
}

// The fine state of the granule at lb into an entry. A region whose coarse bit is set but whose
// fine state is gone is sent as wholly dirty: an empty fine array would tell the partner that
// nothing of it needs copying.
void copyFineDrlArray(PhyComb *pComb, Drl *pDrl, UINT32 type, UINT64 lb, PhyToothIndex t, UINT32 off,
                      ReadCombFineDrl_Data *pData, UINT32 numOfBits)
{
    FineDrl *f = &pDrl->FineGranularityDrl;
    UINT32 key = keyOf(pDrl, lb);
    MosFastlockGuard g(&f->fDrlFastLock);
    ToothDirtyBitArray *pObj = nullptr;
    if (fineDrl_GetToothArrayByIndex(f, &pObj, key) && pObj != nullptr) {
        pData->bIsAllSet = 0;
        memcpy(pData->FineDrlArray, pObj->bitArray, MOS_MIN(f->numOfBytesInTooth, PHY_COMB__FINE_DRL_ARRAY_BYTES));
    } else if (fineDrl_CheckFallBackSetBit(f, key)) {
        pData->bIsAllSet = 1;
    } else {
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_MED, "Reached a fine tooth object at offset %lu which was just freed, ignoring",
                  (unsigned long)lb);
        pData->bIsAllSet = 1;
    }
    MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_HIGH,
              "Copy fine DRL array for comb %lx. DRL type: %d, number of bit: %d tooth index: %d offset in tooth: %d",
              (unsigned long)pComb->combId, (int)type, (int)numOfBits, (int)t, (int)off);
}

BOOL allFineBitsSet(const UINT8 *pBits, UINT32 numOfBits)
{
    for (UINT32 b = 0; b < numOfBits && b < PHY_COMB__FINE_DRL_ARRAY_BYTES * 8; b++)
        if ((pBits[b / 8] & (0x80u >> (b % 8))) == 0)
            return FALSE;
    return TRUE;
}

// A partner's list is checked whole before any of it is applied.
const char *listRefusal(const TgtRsp_ReadCombFineDrl *pRsp, UINT32 rspSizeInBytes)
{
    if (pRsp->numOfBits > TGT_MSG__READ_COMB_DRL__NUM_OF_BITS)
        return "more entries than the list holds";
    if (pRsp->readCombDrlDataSize != kFineEntrySize)
        return "entry size is not the fine form's";
    if (rspSizeInBytes < kRspHeadSize + (UINT64)pRsp->numOfBits * kFineEntrySize)
        return "list shorter than its count";
    for (UINT32 i = 0; i < pRsp->numOfBits; i++)
        if (pRsp->drlBuf[i].data.toothInComb >= TEETH_IN_COMB)
            return "position outside the comb";
    return nullptr;
}

BOOL vtoLess(const VtoOnDev &a, const VtoOnDev &b) { return a.time < b.time || (a.time == b.time && a.vtoId < b.vtoId); }

void resetListIfEmpty(PhyComb *pComb, PhyToothList *pList)
{
    MosFastlockGuard g(&pComb->pDev->toothMap.mapFastlock);
    if (phyToothList_IsEmpty(pList))
        phyToothList_Init(pList);
}

// Oldest first; the count of versions (more than max: only max were stored).
UINT32 readChain(PhyComb *pComb, PhyToothList *pList, PhyToothIndex *pTeeth, VtoOnDev *pLabels, UINT32 max)
{
    UINT32 n = 0;
    for (PhyToothIndex t = pList->first; t != kInvalid; t = phyCombIntrn_Next(pComb, t), n++)
        if (n < max) {
            if (pTeeth != nullptr)
                pTeeth[n] = t;
            pLabels[n] = phyCombIntrn_Label(pComb, t);
        }
    return n;
}
} // namespace

UINT64 phyComb_ToothLb(PhyComb *pComb, PhyToothIndex toothIndex, UINT32 offsetInTooth, UINT32 sizeInLbs)
{
    Exp(sizeInLbs + offsetInTooth > (1 * (2 * 1024)));
    Exp(toothIndex >= pComb->pDev->numOfTeeth);
    return pComb->pDev->teethOffsetInLbs + (UINT64)toothIndex * TOOTH_SIZE_LB + offsetInTooth;
}

// ---- tooth I/O ----

namespace {
// The comb's slot and the teeth its allocation or first access took reach the device before its
// first tooth I/O: a read of a comb the device does not yet name would be a read of nothing.
BOOL hardenBeforeFirstIo(PhyComb *pComb)
{
    if (pComb->combChangeNumber == 0)
        return TRUE;
    if (!phyDev_HardenCombArr(pComb->pDev, FALSE, 0))
        return FALSE;
    pComb->combChangeNumber = 0;
    return TRUE;
}
} // namespace

Mos_RC phyComb_WriteTooth(PhyComb *pComb, const void *pData, T10Dif *pDifBuf, PhyToothIndex toothIndex,
                          UINT32 offsetInTooth, UINT32 sizeInLbs, WrIoFlags wrIoFlags, UINT32 copyReason,
                          UINT32 offsetInComb, UINT64 obfuscationKey, Zmp *pZmp)
{
    MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_HIGH, "Write tooth: ToothIndex=%u, combId=%lx, offsetInComb=%u, offsetInTooth=%u",
              toothIndex, (unsigned long)pComb->combId, offsetInComb, offsetInTooth);
    UINT64 lb = phyComb_ToothLb(pComb, toothIndex, offsetInTooth, sizeInLbs);
    Mos_RC rc = phyDev_WriteWithZeroPad(pComb->pDev, pData, pDifBuf, lb, sizeInLbs, wrIoFlags, copyReason,
                                        pComb->combId, offsetInComb, obfuscationKey, pZmp);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    // A write that reached the device keeps the change number when the harden fails, so the next
    // I/O tries again.
    return hardenBeforeFirstIo(pComb) ? MOS_RC__SUCCESS : MOS_RC__ERROR;
}

Mos_RC phyComb_ReadTooth(PhyComb *pComb, RCacheIoBuf *pCacheIob, PhyToothIndex toothIndex, UINT32 offsetInTooth,
                         UINT32 sizeInLbs, UINT32 copyReason, RdIoFlags rdIoFlags, UINT32 offsetInComb)
{
    UINT64 lb = phyComb_ToothLb(pComb, toothIndex, offsetInTooth, sizeInLbs);
    if (!hardenBeforeFirstIo(pComb))
        return MOS_RC__IO_HARD_ERROR;
    MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_HIGH, "Read tooth %u comb %lx", toothIndex, (unsigned long)pComb->combId);
    return phyDev_ReadWithCache(pComb->pDev, pCacheIob, lb, sizeInLbs, copyReason, rdIoFlags, pComb->combId,
                                offsetInComb);
}

Mos_RC phyComb_ReadTooth(PhyComb *pComb, void *pData, T10Dif *pDifBuf, PhyToothIndex toothIndex,
                         UINT32 offsetInTooth, UINT32 sizeInLbs, UINT32 copyReason, RdIoFlags rdIoFlags,
                         UINT32 offsetInComb)
{
    UINT64 lb = phyComb_ToothLb(pComb, toothIndex, offsetInTooth, sizeInLbs);
    if (!hardenBeforeFirstIo(pComb))
        return MOS_RC__IO_HARD_ERROR;
    MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_HIGH, "Read tooth %u comb %lx", toothIndex, (unsigned long)pComb->combId);
    return phyDev_Read(pComb->pDev, pData, pDifBuf, lb, sizeInLbs, copyReason, pComb->combId, offsetInComb, rdIoFlags);
}

void phyComb_UpdateCacheAfterWrite(PhyComb *pComb, RCacheIoBuf *pCacheIob, PhyToothIndex toothIndex,
                                   UINT32 offsetInTooth, UINT32 sizeInLbs, void *pData, WrIoFlags wrIoFlags)
{
    phyDev_UpdateCacheAfterWrite(pComb->pDev, pCacheIob, phyComb_ToothLb(pComb, toothIndex, offsetInTooth, sizeInLbs),
                                 sizeInLbs, pData, wrIoFlags);
}

// ---- dirty marks of one range ----

BOOL phyComb_SetDirty(PhyComb *pComb, PhyToothIndex toothIndex, UINT32 type, UINT32 offsetInTooth, UINT32 sizeInLbs)
{
    return phyDev_SetDirty(pComb->pDev, type, phyComb_ToothLb(pComb, toothIndex, offsetInTooth, sizeInLbs), sizeInLbs,
                           TRUE, offsetInTooth, TRUE);
}

BOOL phyComb_ResetDirty(PhyComb *pComb, PhyToothIndex toothIndex, UINT32 type, UINT32 offsetInTooth,
                        UINT32 sizeInLbs, BOOL bLock)
{
    return resetRange(pComb, type, phyComb_ToothLb(pComb, toothIndex, offsetInTooth, sizeInLbs), sizeInLbs, FALSE,
                      bLock);
}

BOOL phyComb_ResetFineDirty(PhyComb *pComb, PhyToothIndex toothIndex, UINT32 type, UINT32 offsetInTooth,
                            UINT32 sizeInLbs)
{
    return phyDev_ResetFineDirty(pComb->pDev, type, phyComb_ToothLb(pComb, toothIndex, offsetInTooth, sizeInLbs),
                                 sizeInLbs, offsetInTooth);
}

BOOL phyComb_IsRangeClean(PhyComb *pComb, PhyToothIndex toothIndex, UINT32 type, UINT32 offsetInTooth,
                          UINT32 sizeInLbs)
{
    return phyDev_IsAllClean(pComb->pDev, type, phyComb_ToothLb(pComb, toothIndex, offsetInTooth, sizeInLbs),
                             sizeInLbs);
}

// ---- whole positions and combs ----

BOOL phyComb_ResetEntireToothBits(PhyComb *pComb, UINT32 type, UINT32 toothInComb, BOOL bLock)
{
    PhyToothList *pList = phyCombIntrn_List(pComb, toothInComb);
    if (pList == nullptr)
        return TRUE;
    for (PhyToothIndex t = pList->first; t != kInvalid; t = phyCombIntrn_Next(pComb, t))
        if (!resetRange(pComb, type, phyComb_ToothLb(pComb, t, 0, TOOTH_SIZE_LB), TOOTH_SIZE_LB, FALSE, bLock))
            return FALSE;
    return TRUE;
}

BOOL phyComb_ResetEntireBits(PhyComb *pComb, UINT32 type, BOOL bHarden)
{
    BOOL ok = forEachVersion(pComb, [&](UINT32, PhyToothIndex t) {
        return resetRange(pComb, type, phyComb_ToothLb(pComb, t, 0, TOOTH_SIZE_LB), TOOTH_SIZE_LB, FALSE, TRUE);
    });
    if (!ok)
        return FALSE;
    return bHarden ? phyDev_FlushBm(pComb->pDev, type) : TRUE;
}

BOOL phyComb_SetEntireBits(PhyComb *pComb, UINT32 type, BOOL bHarden)
{
    BOOL ok = forEachVersion(pComb, [&](UINT32, PhyToothIndex t) {
        return phyDev_SetDirty(pComb->pDev, type, phyComb_ToothLb(pComb, t, 0, TOOTH_SIZE_LB), TOOTH_SIZE_LB, FALSE, 0,
                               TRUE);
    });
    if (!ok)
        return FALSE;
    return bHarden ? phyDev_FlushBm(pComb->pDev, type) : TRUE;
}

static BOOL isEntireReset(PhyComb *pComb, UINT32 type)
{
    return forEachVersion(pComb, [&](UINT32, PhyToothIndex t) {
        return phyDev_IsAllClean(pComb->pDev, type, phyComb_ToothLb(pComb, t, 0, TOOTH_SIZE_LB), TOOTH_SIZE_LB);
    });
}

BOOL phyComb_IsEntireActiveReset(PhyComb *pComb) { return isEntireReset(pComb, PHY_DEV_DRL_TYPE__ACTIVE); }
BOOL phyComb_IsEntireRebuildReset(PhyComb *pComb) { return isEntireReset(pComb, PHY_DEV_DRL_TYPE__REBUILD); }

BOOL phyComb_CopyBits(PhyComb *pComb, UINT32 srcType, UINT32 destType, BOOL bIsFine)
{
    Exp(srcType == destType);
    UINT32 granule = granuleOf(pComb, srcType);
    BOOL bSet = FALSE;
    forEachGranule(pComb, granule, [&](UINT32, PhyToothIndex, UINT64 lb, UINT32 off) {
        if (phyDev_IsAllClean(pComb->pDev, srcType, lb, granule))
            return TRUE;
        MOS_ASSERT(copyGranule(pComb, srcType, destType, lb, off, granule, bIsFine));
        bSet = TRUE;
        return TRUE;
    });
    return bSet ? phyDev_FlushBm(pComb->pDev, destType) : TRUE;
}

BOOL phyComb_CopyActiveToRebuild(PhyComb *pComb)
{
    return phyComb_CopyBits(pComb, PHY_DEV_DRL_TYPE__ACTIVE, PHY_DEV_DRL_TYPE__REBUILD, TRUE);
}

BOOL phyComb_OrActiveToRebuildAndReset(PhyComb *pComb)
{
    if (!phyComb_CopyBits(pComb, PHY_DEV_DRL_TYPE__ACTIVE, PHY_DEV_DRL_TYPE__REBUILD, TRUE))
        return FALSE;
    return phyComb_ResetEntireBits(pComb, PHY_DEV_DRL_TYPE__ACTIVE, TRUE);
}

BOOL phyComb_MutualOrActiveRebuild(PhyComb *pComb)
{
    constexpr UINT32 A = PHY_DEV_DRL_TYPE__ACTIVE, R = PHY_DEV_DRL_TYPE__REBUILD;
    UINT32 granule = granuleOf(pComb, R);
    BOOL bActiveChanged = FALSE, bRebuildChanged = FALSE;
    forEachGranule(pComb, granule, [&](UINT32, PhyToothIndex, UINT64 lb, UINT32 off) {
        BOOL bA = !phyDev_IsAllClean(pComb->pDev, A, lb, granule);
        BOOL bR = !phyDev_IsAllClean(pComb->pDev, R, lb, granule);
        if (bA && !bR) {
            MOS_ASSERT(copyGranule(pComb, A, R, lb, off, granule, TRUE));
            bRebuildChanged = TRUE;
        } else if (bR && !bA) {
            MOS_ASSERT(copyGranule(pComb, R, A, lb, off, granule, TRUE));
            bActiveChanged = TRUE;
        }
        return TRUE;
    });
    if (bActiveChanged && !phyDev_FlushBm(pComb->pDev, A))
        return FALSE;
    return bRebuildChanged ? phyDev_FlushBm(pComb->pDev, R) : TRUE;
}

BOOL phyComb_GetBothDrl(PhyComb *pComb, TgtRsp_ReadCombFineDrl *pReadCombRsp, BOOL bIsFine)
{
    if (!phyComb_CopyBits(pComb, PHY_DEV_DRL_TYPE__REBUILD, PHY_DEV_DRL_TYPE__ACTIVE, bIsFine))
        return FALSE;
    if (!phyComb_ResetEntireBits(pComb, PHY_DEV_DRL_TYPE__REBUILD, TRUE))
        return FALSE;
    phyComb_ReadBits(pComb, PHY_DEV_DRL_TYPE__ACTIVE, pReadCombRsp, bIsFine);
    return TRUE;
}

// ---- lists exchanged with the partner ----

BOOL phyComb_ReadBits(PhyComb *pComb, UINT32 type, TgtRsp_ReadCombFineDrl *pReadCombRsp, BOOL bIsFine)
{
    pReadCombRsp->numOfBits = 0;
    pReadCombRsp->readCombDrlDataSize = kFineEntrySize;
    Drl *pDrl = logOf(pComb, type);
    BOOL bFine = bIsFine && fineAllowed(pDrl);
    UINT32 granule = granuleOf(pComb, type);
    forEachGranule(pComb, granule, [&](UINT32 p, PhyToothIndex t, UINT64 lb, UINT32 off) {
        if (phyDev_IsAllClean(pComb->pDev, type, lb, granule))
            return TRUE;
        if (pReadCombRsp->numOfBits == TGT_MSG__READ_COMB_DRL__NUM_OF_BITS) {
            pReadCombRsp->numOfBits = TGT_MSG__READ_COMB_DRL__OVERFLOW;
            return FALSE;
        }
        ReadCombFineDrl_Data *e = &pReadCombRsp->drlBuf[pReadCombRsp->numOfBits++];
        *e = ReadCombFineDrl_Data{};
        e->data.devVto = phyCombIntrn_Label(pComb, t);
        e->data.toothInComb = p;
        if (bFine)
            copyFineDrlArray(pComb, pDrl, type, lb, t, off, e, pReadCombRsp->numOfBits);
        else
            e->bIsAllSet = 1;
        return TRUE;
    });
    return TRUE;
}

BOOL phyComb_SetBits(PhyComb *pComb, UINT32 type, const TgtRsp_ReadCombFineDrl *pReadCombDrlRsp,
                     UINT32 rspSizeInBytes, BOOL *pbBitSetNoTooth, BOOL bIsFine)
{
    *pbBitSetNoTooth = FALSE;
    if (rspSizeInBytes < kRspHeadSize) {
        MOS_ERROR(MOS_COMP_TGT_PHY, "comb %lx: refused dirty list of %u bytes", (unsigned long)pComb->combId,
                  rspSizeInBytes);
        return FALSE;
    }
    if (pReadCombDrlRsp->numOfBits == TGT_MSG__READ_COMB_DRL__OVERFLOW) {
        *pbBitSetNoTooth = TRUE;
        return phyComb_SetEntireBits(pComb, type, TRUE);
    }
    if (const char *pWhy = listRefusal(pReadCombDrlRsp, rspSizeInBytes)) {
        MOS_ERROR(MOS_COMP_TGT_PHY, "comb %lx: refused dirty list of %u entries, entry size %u, %u bytes: %s",
                  (unsigned long)pComb->combId, pReadCombDrlRsp->numOfBits, pReadCombDrlRsp->readCombDrlDataSize,
                  rspSizeInBytes, pWhy);
        return FALSE;
    }
    Drl *pDrl = logOf(pComb, type);
    for (UINT32 i = 0; i < pReadCombDrlRsp->numOfBits; i++) {
        const ReadCombFineDrl_Data &e = pReadCombDrlRsp->drlBuf[i];
        PhyToothIndex t = phyComb_GetToothIndex(pComb, e.data.devVto.vtoId, e.data.devVto.time,
                                                e.data.toothInComb * TOOTH_SIZE_LB);
        if (t == kInvalid) {
            *pbBitSetNoTooth = TRUE;
            continue;
        }
        if (pDrl == nullptr)
            continue;
        UINT64 lb = phyComb_ToothLb(pComb, t, 0, TOOTH_SIZE_LB);
        MOS_ASSERT(drl_SetDirty(pDrl, lb, TOOTH_SIZE_LB, FALSE, 0, FALSE));
        if (fineAllowed(pDrl)) {
            UINT32 numOfBits = drl_GetFineDrlNumBits(pDrl);
            BOOL bFallback = !bIsFine || e.bIsAllSet || allFineBitsSet(e.FineDrlArray, numOfBits);
            fineDrl_CopyBits(e.FineDrlArray, &pDrl->FineGranularityDrl, keyOf(pDrl, lb), numOfBits, bFallback);
        }
    }
    return pReadCombDrlRsp->numOfBits > 0 ? phyDev_FlushBm(pComb->pDev, type) : TRUE;
}

void phyComb_GetAllTeeth(PhyComb *pComb, TgtRsp_ReadCombDrl *pReadCombRsp)
{
    pReadCombRsp->numOfBits = 0;
    pReadCombRsp->readCombDrlDataSize = kEntrySize;
    forEachVersion(pComb, [&](UINT32 p, PhyToothIndex t) {
        if (pReadCombRsp->numOfBits == TGT_MSG__READ_COMB_DRL__NUM_OF_BITS) {
            pReadCombRsp->numOfBits = TGT_MSG__READ_COMB_DRL__OVERFLOW;
            return FALSE;
        }
        pReadCombRsp->drlBuf[pReadCombRsp->numOfBits++] = ReadCombDrl_Data{phyCombIntrn_Label(pComb, t), p};
        return TRUE;
    });
}

UINT32 phyComb_ReadToothList(PhyComb *pComb, UINT32 offsetInComb, VtoOnDev *pToothList, UINT32 maxVersions)
{
    PhyToothList *pList = phyCombIntrn_List(pComb, offsetInComb / TOOTH_SIZE_LB);
    if (pList == nullptr)
        return 0;
    return readChain(pComb, pList, nullptr, pToothList, maxVersions);
}

// ---- resync iteration ----

BOOL phyComb_FindNextDirtyLb(PhyComb *pComb, PhyCombItr *pCombItr, BOOL bCheckBothDrls,
                             BOOL bReturnCurrentOffsetIfAllDirty, BOOL *pbIsFine, BOOL *pbConsideredAllDirty)
{
    MOS_ASSERT(pbConsideredAllDirty != nullptr);
    BOOL bWantFine = pbIsFine != nullptr && *pbIsFine;
    *pbConsideredAllDirty = FALSE;
    while (phyComb_FindNextLb(pComb, pCombItr)) {
        UINT64 base = phyComb_ToothLb(pComb, pCombItr->toothIndex, 0, TOOTH_SIZE_LB);
        UINT64 from = base + pCombItr->offsetInTooth;
        UINT64 size = TOOTH_SIZE_LB - pCombItr->offsetInTooth;
        auto search = [&](UINT32 type, BOOL *pFine, BOOL *pAll) {
            Drl *pDrl = logOf(pComb, type);
            *pFine = bWantFine;
            *pAll = FALSE;
            return pDrl == nullptr ? DRL__NOT_FOUND
                                   : drl_FindNextDirtyLb(pDrl, from, size, bReturnCurrentOffsetIfAllDirty, pFine, pAll);
        };
        BOOL fineR, allR, fineA = FALSE, allA = FALSE;
        UINT64 lb = search(PHY_DEV_DRL_TYPE__REBUILD, &fineR, &allR);
        BOOL bFine = fineR;
        if (bCheckBothDrls) {
            UINT64 lbA = search(PHY_DEV_DRL_TYPE__ACTIVE, &fineA, &allA);
            if (lbA < lb)
                bFine = fineA;
            else if (lbA == lb)
                bFine = fineR && fineA;
            lb = MOS_MIN(lb, lbA);
        }
        if (lb == DRL__NOT_FOUND) {
            pCombItr->offsetInTooth = TOOTH_SIZE_LB;
            continue;
        }
        *pbConsideredAllDirty = allR || allA;
        if (pbIsFine != nullptr)
            *pbIsFine = bFine;
        UINT64 off = lb - base;
        Exp(off >= TOOTH_SIZE_LB);
        if (off > pCombItr->offsetInTooth)
            pCombItr->offsetInTooth = (UINT32)off;
        return TRUE;
    }
    return FALSE;
}

UINT32 phyComb_FindLastDirtyLb(PhyComb *pComb, PhyCombItr *pCombItr, UINT32 rangeInLbs, BOOL bCheckBothDrls)
{
    UINT64 base = phyComb_ToothLb(pComb, pCombItr->toothIndex, 0, TOOTH_SIZE_LB);
    UINT32 end = MOS_MIN(pCombItr->offsetInTooth + rangeInLbs, TOOTH_SIZE_LB);
    UINT64 from = base + pCombItr->offsetInTooth, size = end - pCombItr->offsetInTooth;
    UINT64 maxLbaOnDisk = ((UINT64)(-1));
    for (UINT32 type : {PHY_DEV_DRL_TYPE__REBUILD, PHY_DEV_DRL_TYPE__ACTIVE}) {
        if (type == PHY_DEV_DRL_TYPE__ACTIVE && !bCheckBothDrls)
            break;
        Drl *pDrl = logOf(pComb, type);
        UINT64 lb = pDrl == nullptr ? DRL__NOT_FOUND : drl_FindLastDirtyLb(pDrl, from, size);
        if (lb != DRL__NOT_FOUND && (maxLbaOnDisk == ((UINT64)(-1)) || lb > maxLbaOnDisk))
            maxLbaOnDisk = lb;
    }
    Exp(maxLbaOnDisk == ((UINT64)(-1)));
    return (UINT32)(maxLbaOnDisk - base);
}

UINT32 phyComb_FindLastConsecutiveDirtyLb(PhyComb *pComb, PhyCombItr *pCombItr, UINT32 rangeInLbs,
                                          BOOL bCheckBothDrls)
{
    UINT64 base = phyComb_ToothLb(pComb, pCombItr->toothIndex, 0, TOOTH_SIZE_LB);
    UINT32 end = MOS_MIN(pCombItr->offsetInTooth + rangeInLbs, TOOTH_SIZE_LB);
    Drl *pRebuild = &pComb->pDev->drls[PHY_DEV_DRL_TYPE__REBUILD].drl;
    Drl *pActive = &pComb->pDev->drls[PHY_DEV_DRL_TYPE__ACTIVE].drl;
    UINT64 lb = drl_FindLastConsecutiveDirtyLb(pRebuild, pActive, bCheckBothDrls, base + pCombItr->offsetInTooth,
                                               end - pCombItr->offsetInTooth);
    UINT64 maxLbaOnDisk = lb;
    Exp(maxLbaOnDisk == ((UINT64)(-1)));
    return (UINT32)(lb - base);
}

UINT32 phyComb_GetGranularity(PhyComb *pComb)
{
    Drl *pDrl = &pComb->pDev->drls[PHY_DEV_DRL_TYPE__REBUILD].drl;
    return tgtInitParam_G.bAllowFineDrl && pDrl->bFine ? drl_GetFineGranularity(pDrl) : drl_GetGranularity(pDrl);
}

UINT32 phyComb_GetNormalGranularity(PhyComb *pComb)
{
    return drl_GetGranularity(&pComb->pDev->drls[PHY_DEV_DRL_TYPE__REBUILD].drl);
}

// ---- freeing and cleaning ----

BOOL phyComb_FreeEntireTooth(PhyComb *pComb, UINT32 toothInComb, Vtree *pVtree, BOOL bHarden)
{
    PhyToothList *pList = phyCombIntrn_List(pComb, toothInComb);
    if (pList == nullptr)
        return TRUE;
    if (phyCombIntrn_ActiveIter(pComb, pList) != 0)
        return FALSE;
    UINT32 numFreed = 0;
    BOOL bLast = FALSE;
    for (PhyToothIndex t = pList->first; t != kInvalid;) {
        PhyToothIndex next = phyCombIntrn_Next(pComb, t);
        phyDev_FreeTooth(pComb->pDev, phyCombIntrn_CombTId(pComb, toothInComb), pList, t, TRUE, &bLast);
        numFreed++;
        if (tgtInitParam_G.bVtreeCnt)
            MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW,
                      "comb %lx tooth %u. Cur tooth index %u, next tooth index %u numFreed is now %u",
                      (unsigned long)pComb->combId, toothInComb, t, next, numFreed);
        t = next;
    }
    phyCombIntrn_SubCombUsage(pComb, numFreed, numFreed > 0 ? 1 : 0);
    phyCombIntrn_SubTreeUsage(pVtree, numFreed, bLast ? 1 : 0, FALSE);
    resetListIfEmpty(pComb, pList);
    if (bHarden && !phyDev_HardenToothArr(pComb->pDev, 0)) {
        MOS_ERROR(MOS_COMP_TGT_PHY, "free entire tooth failed to harden tooth array. comb %lx toothInComb %u",
                  (unsigned long)pComb->combId, toothInComb);
        return FALSE;
    }
    return TRUE;
}

namespace {
// One position of a block whose tree is known: frees a chain all of whose owners are gone, or
// runs the lookup that frees what no NORMAL node sees. FALSE when something had to stay.
BOOL cleanPosition(PhyComb *pComb, VtreeMap *pVtreeMap, Vtree *pVtree, UINT32 p, VtoTime cleanStartTime)
{
    PhyToothList *pList = phyCombIntrn_List(pComb, p);
    if (pList == nullptr || phyToothList_IsEmpty(pList))
        return TRUE;
    VtoOnDev labels[PHY_COMB__MAX_VERSIONS];
    UINT32 n = MOS_MIN(readChain(pComb, pList, nullptr, labels, PHY_COMB__MAX_VERSIONS), PHY_COMB__MAX_VERSIONS);
    VtoId stopVto = VTREE__BASE_VTO_ID;
    BOOL bStopped = FALSE, bOld = FALSE;
    for (UINT32 i = n; i-- > 0;) {
        VtoId id = labels[i].vtoId;
        // A base label belongs to the tree's first node: while the tree has one, its base versions
        // are in use like any live node's, and only the lookup may free them.
        BOOL bLive = id == VTREE__BASE_VTO_ID ? vtree_GetHeadVto(pVtree) != 0 : vtreeMap_GetVtoVtree(pVtreeMap, id) != 0;
        if (bLive) {
            stopVto = id == VTREE__BASE_VTO_ID ? vtree_GetHeadVto(pVtree) : id;
            bStopped = TRUE;
            MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_HIGH, "vtree is not old - comb %lx, vtree %lx tooth in comb %d",
                      (unsigned long)pComb->combId, (unsigned long)pVtree->vtreeId, (int)p);
            break;
        }
        bOld = TRUE;
    }
    if (!bStopped && bOld)
        return phyComb_FreeEntireTooth(pComb, p, pVtree, FALSE);
    if (pVtree->bThin && n == 1 && labels[0].vtoId == VTREE__BASE_VTO_ID)
        return phyComb_FreeEntireTooth(pComb, p, pVtree, FALSE);
    BOOL bDelIgnored = FALSE;
    phyComb_GetToothIndexWithVtree(pComb, pVtree, stopVto, p * TOOTH_SIZE_LB, FALSE, FALSE, cleanStartTime, nullptr,
                                   &bDelIgnored);
    return !bDelIgnored;
}
} // namespace

BOOL phyComb_CleanComb(PhyComb *pComb, VtreeMap *pVtreeMap, BOOL bForceClean)
{
    Cont *pCont = pComb->pDev->pCont;
    Head *pHead = head_ContAcquireHead(pCont, combId_GetHeadId(pComb->combId));
    if (pHead == nullptr)
        return FALSE;
    MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_MED, "start - comb %lx", (unsigned long)pComb->combId);
    BOOL result = TRUE;
    UINT32 positions = 0;
    HeadItr itr;
    head_ItrInit(&itr);
    for (UINT32 block = 0; block < VOL_ALLOC_BLOCKS_IN_HEAD; block++) {
        UINT32 p0 = block * HEAD__TEETH_PER_SLOT;
        positions += HEAD__TEETH_PER_SLOT;
        Vtree *pVtree = head_ItrGetVtree(&itr, pHead, p0);
        if (pVtree == nullptr) {
            for (UINT32 p = p0; p < p0 + HEAD__TEETH_PER_SLOT; p++) {
                if (!phyCombIntrn_HasTeeth(pComb, p))
                    continue;
                if (tgtInitParam_G.bDit)
                    MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "free entire tooth - comb %lx tooth in comb %u",
                              (unsigned long)pComb->combId, p);
                if (!phyComb_FreeEntireTooth(pComb, p, nullptr, FALSE))
                    result = FALSE;
            }
            continue;
        }
        if (vtree_IsQuiesced(pVtree)) {
            MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_MED,
                      "Skipping vtree clean due to quiesced volumes - comb %lx, vtree %lx, tooth in comb %u",
                      (unsigned long)pComb->combId, (unsigned long)pVtree->vtreeId, p0);
            result = FALSE;
            continue;
        }
        BOOL bNeedDelete = head_ContVtreeNeedDelete(pVtree);
        if (!bNeedDelete && !bForceClean)
            continue;
        if (bNeedDelete)
            MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_HIGH, "vtree need delete - comb %lx, vtree %lx, tooth in comb %u",
                      (unsigned long)pComb->combId, (unsigned long)pVtree->vtreeId, p0);
        else
            MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_HIGH, "Forcing clean vtree - comb %lx, vtree %lx, tooth in comb %u",
                      (unsigned long)pComb->combId, (unsigned long)pVtree->vtreeId, p0);
        vtree_Lock(pVtree);
        VtoTime cleanStartTime = pVtree->time;
        vtree_Unlock(pVtree);
        for (UINT32 p = p0; p < p0 + HEAD__TEETH_PER_SLOT; p++)
            if (!cleanPosition(pComb, pVtreeMap, pVtree, p, cleanStartTime))
                result = FALSE;
    }
    MOS_ASSERT(positions == TEETH_IN_COMB);
    head_ItrEnd(&itr, pCont);
    head_ContReleaseHead(pCont, pHead);
    MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_MED, "done - comb %lx", (unsigned long)pComb->combId);
    return result;
}

Mos_RC phyComb_CleanToothList(PhyComb *pComb, UINT32 offsetInComb, UINT32 numOfTeeth, const VtoOnDev *vtoBuf,
                              BOOL *pbHardenTeethArr)
{
    *pbHardenTeethArr = FALSE;
    UINT32 toothInComb = offsetInComb / TOOTH_SIZE_LB;
    // A list cut to the wire's room would free versions the partner still has.
    BOOL bSorted = TRUE;
    for (UINT32 i = 1; i < numOfTeeth && i < PHY_COMB__MAX_REMOTE_VERSIONS; i++)
        bSorted &= vtoLess(vtoBuf[i - 1], vtoBuf[i]);
    if (numOfTeeth > PHY_COMB__MAX_REMOTE_VERSIONS || toothInComb >= TEETH_IN_COMB || !bSorted) {
        MOS_ERROR(MOS_COMP_TGT_PHY, "Clean tooth list. comb: %lx refused list of %u versions at offset %u%s",
                  (unsigned long)pComb->combId, numOfTeeth, offsetInComb, bSorted ? "" : ", not in order");
        return MOS_RC__INVALID_ARG;
    }
    PhyToothList *pList = phyCombIntrn_List(pComb, toothInComb);
    if (pList == nullptr)
        return MOS_RC__NOT_FOUND;
    Cont *pCont = pComb->pDev->pCont;
    Head *pHead = head_ContAcquireHead(pCont, combId_GetHeadId(pComb->combId));
    MOS_ASSERT(pHead != nullptr);
    Vtree *pVtree = head_ContAcquireVtree(pCont, head_GetVtreeId(pHead, toothInComb));
    Mos_RC rc = MOS_RC__SUCCESS;
    UINT32 numFreed = 0;
    BOOL bLast = FALSE;
    UINT32 iters = 0;
    if (pVtree == nullptr) {
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "Clean tooth list. comb: %lx No VTREE", (unsigned long)pComb->combId);
        rc = MOS_RC__NOT_FOUND;
    } else if ((iters = phyCombIntrn_ActiveIter(pComb, pList)) != 0) {
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW,
                  "comb %lx toothInComb %u. Failed to clean tooth list, it is being iterated by %u iterators",
                  (unsigned long)pComb->combId, toothInComb, iters);
        rc = MOS_RC__BUSY;
    } else {
        UINT32 r = 0;
        for (PhyToothIndex t = pList->first; t != kInvalid;) {
            PhyToothIndex next = phyCombIntrn_Next(pComb, t);
            VtoOnDev local = phyCombIntrn_Label(pComb, t);
            while (r < numOfTeeth && vtoLess(vtoBuf[r], local))
                r++;
            if (r < numOfTeeth && !vtoLess(local, vtoBuf[r])) {
                r++; // the partner has it too
            } else {
                phyDev_FreeTooth(pComb->pDev, phyCombIntrn_CombTId(pComb, toothInComb), pList, t, TRUE, &bLast);
                numFreed++;
            }
            t = next;
        }
        phyCombIntrn_SubTreeUsage(pVtree, numFreed, bLast ? 1 : 0, FALSE);
        phyCombIntrn_SubCombUsage(pComb, numFreed, bLast ? 1 : 0);
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_MED, "Comb %lx combUsageMB %u MB, combBaseUsaeMB %u MB, numFreed %u MB",
                  (unsigned long)pComb->combId, pComb->combUsageMB, pComb->combBaseUsageMB, numFreed);
        resetListIfEmpty(pComb, pList);
    }
    head_ContReleaseVtree(pCont, pVtree);
    head_ContReleaseHead(pCont, pHead);
    *pbHardenTeethArr = numFreed > 0;
    return rc;
}
