#include "tgt/bm/drl.h"

#include <cstring>

#include "mos/mos_dbg.h"
#include "mos/mos_trace.h"
#include "tgt/phy/phy_layout.h"
#include "tgt/tgt_conf.h"

namespace {
struct FineGuard {
    explicit FineGuard(Drl *pDrl) : pLock(pDrl->bFine ? &pDrl->FineGranularityDrl.fDrlFastLock : nullptr)
    {
        if (pLock != nullptr)
            mosFastlockBase_Acquire(pLock);
    }
    ~FineGuard()
    {
        if (pLock != nullptr)
            mosFastlockBase_Release(pLock);
    }
    FineGuard(const FineGuard &) = delete;
    FineGuard &operator=(const FineGuard &) = delete;
    MosFastlock_Base *pLock;
};

ToothDirtyBitArray *fineObject(Drl *pDrl, UINT32 bit)
{
    ToothDirtyBitArray *p = nullptr;
    if (pDrl->bFine)
        fineDrl_GetToothArrayByIndex(&pDrl->FineGranularityDrl, &p, bit);
    return p;
}

// Calls fn(bit, offsetInRegion, sizeInRegion) for each part of [offsetInToothLbs, +size) split
// over the regions from firstBit on.
template <typename Fn>
void forEachPart(UINT32 firstBit, UINT32 lastBit, UINT32 offsetInToothLbs, UINT64 sizeInLbs, UINT32 g, Fn fn)
{
    UINT64 left = sizeInLbs;
    UINT32 offset = offsetInToothLbs % g;
    for (UINT32 bit = firstBit; bit <= lastBit && left > 0; bit++) {
        UINT32 part = (UINT32)MOS_MIN(left, (UINT64)(g - offset));
        fn(bit, offset, part);
        left -= part;
        offset = 0;
    }
}
} // namespace

const char *drl_TypeName(UINT32 type)
{
    switch (type) {
    case PHY_DEV_DRL_TYPE__ACTIVE:
        return "ACTIVE";
    case PHY_DEV_DRL_TYPE__REBUILD:
        return "REBUILD";
    default:
        return "UNKNOWN";
    }
}

void drl_CalcDataSize(UINT64 protectedAreaInLbs, UINT32 granularity, UINT32 *pNumOfBits, UINT32 *pNumOfDiskLbs)
{
    Exp(granularity == 0 || protectedAreaInLbs == 0);
    UINT64 bits = (protectedAreaInLbs + granularity - 1) / granularity;
    Exp(bits == 0 || bits > 0xFFFFFFFFull);
    *pNumOfBits = (UINT32)bits;
    *pNumOfDiskLbs = bitmap_CalcDataSize((UINT32)bits);
    Exp(*pNumOfDiskLbs >= protectedAreaInLbs);
}

Mos_RC drl_Init(Drl *pDrl, UINT64 protectedAreaInLbs, UINT64 protectedOffsetInLbs, UINT64 bmOffsetInLbs,
                UINT32 granularity, File *pFile, TgtBwc *pBmWrites, TgtBwc *pBmUnified, BOOL bWrite, BOOL bStartDirty,
                UINT64 devId, UINT32 index)
{
    *pDrl = Drl{};
    pDrl->bmOffsetInLbs = bmOffsetInLbs;
    pDrl->granularity = granularity;
    pDrl->protectedOffsetInLbs = protectedOffsetInLbs;
    UINT32 numOfBits, diskLbs;
    drl_CalcDataSize(protectedAreaInLbs, granularity, &numOfBits, &diskLbs);
    Mos_RC rc = bitmap_Init(&pDrl->bm, numOfBits, bmOffsetInLbs, pFile, pBmWrites, pBmUnified, bWrite, bStartDirty,
                            devId, index);
    if (rc != MOS_RC__SUCCESS || !tgtInitParam_G.bAllowFineDrl)
        return rc;
    // A region dirty at start has no fine record: it counts as wholly dirty.
    fineDrl_init(&pDrl->FineGranularityDrl, granularity, (UINT32)(tgtInitParam_G.phyDevFineDrlSizeOfMemoryMb / 2),
                 (UINT32)tgtInitParam_G.phyDevDirtyFineGranularityInLbs, numOfBits, pDrl->bm.bitArrayPend.pBmBuff);
    pDrl->bFine = TRUE;
    return rc;
}

void drl_Destroy(Drl *pDrl)
{
    bitmap_Destroy(&pDrl->bm);
    if (pDrl->bFine)
        fineDrl_Destroy(&pDrl->FineGranularityDrl);
    pDrl->bFine = FALSE;
}

BOOL drl_MoveToSharedMem(Drl *pDrl, UINT64 devId, UINT32 index) { return bitmap_MoveToSharedMem(&pDrl->bm, devId, index); }
BOOL drl_MoveToDisk(Drl *pDrl, UINT64 devId, UINT32 index, File *pFile)
{
    (void)devId;
    return bitmap_MoveToDisk(&pDrl->bm, index, pFile);
}
void drl_DestroyShm(Drl *pDrl) { bitmap_DestroyShm(&pDrl->bm); }
void drl_Lock(Drl *pDrl, BOOL bWrite) { bitmap_Lock(&pDrl->bm, bWrite); }
void drl_Unlock(Drl *pDrl, BOOL bWrite) { bitmap_Unlock(&pDrl->bm, bWrite); }
BOOL drl_Flush(Drl *pDrl, BOOL bLock) { return bitmap_Flush(&pDrl->bm, bLock); }

UINT32 drl_GetGranularity(Drl *pDrl) { return pDrl->granularity; }
UINT32 drl_GetFineGranularity(Drl *pDrl)
{
    return pDrl->bFine ? pDrl->FineGranularityDrl.granularity : (UINT32)tgtInitParam_G.phyDevDirtyFineGranularityInLbs;
}
UINT32 drl_GetFineDrlNumBits(Drl *pDrl) { return pDrl->granularity / drl_GetFineGranularity(pDrl); }

UINT64 drl_GetLbaFromBit(Drl *pDrl, UINT32 bitNum, UINT32 FineBitNum)
{
    return pDrl->protectedOffsetInLbs + (UINT64)bitNum * pDrl->granularity +
           (UINT64)FineBitNum * drl_GetFineGranularity(pDrl);
}

void drl_calcFirstLastBits(Drl *pDrl, UINT64 offsetInLbs, UINT64 sizeInLbs, UINT32 *pFirst, UINT32 *pLast)
{
    Exp(offsetInLbs < pDrl->protectedOffsetInLbs);
    Exp(sizeInLbs == 0);
    UINT64 rel = offsetInLbs - pDrl->protectedOffsetInLbs;
    *pFirst = (UINT32)(rel / pDrl->granularity);
    *pLast = (UINT32)((rel + sizeInLbs - 1) / pDrl->granularity);
}

void drl_calcFirstLastFineBits(Drl *pDrl, UINT64 offsetInLbs, UINT64 sizeInLbs, UINT32 *pFirst, UINT32 *pLast)
{
    Exp(offsetInLbs < pDrl->protectedOffsetInLbs);
    UINT64 n = MOS_MIN(sizeInLbs, (UINT64)TOOTH_SIZE_LB);
    Exp(n > tgtInitParam_G.phyDevDirtyGranularityInLbs);
    UINT32 f = drl_GetFineGranularity(pDrl);
    UINT64 rel = offsetInLbs - pDrl->protectedOffsetInLbs;
    UINT64 regionStart = rel / pDrl->granularity * pDrl->granularity;
    *pFirst = (UINT32)((rel - regionStart) / f);
    *pLast = (UINT32)MOS_MIN((rel + n - 1 - regionStart) / f, (UINT64)drl_GetFineDrlNumBits(pDrl) - 1);
}

UINT64 drl_GetFirstLb(Drl *pDrl, UINT64 offsetInLbs) { return offsetInLbs / pDrl->granularity * pDrl->granularity; }
UINT64 drl_GetLastLb(Drl *pDrl, UINT64 offsetInLbs) { return drl_GetNextFirstLb(pDrl, offsetInLbs) - 1; }
UINT64 drl_GetNextFirstLb(Drl *pDrl, UINT64 offsetInLbs)
{
    return (offsetInLbs / pDrl->granularity + 1) * pDrl->granularity;
}

BOOL drl_SetDirty(Drl *pDrl, UINT64 offsetInLbs, UINT64 sizeInLbs, BOOL bHarden, UINT32 offsetInToothLbs, BOOL bIsFine)
{
    UINT32 first, last;
    drl_calcFirstLastBits(pDrl, offsetInLbs, sizeInLbs, &first, &last);
    BOOL ok = bitmap_ChangeBits(&pDrl->bm, first, last - first + 1, TRUE, bHarden, TRUE);
    if (ok && pDrl->bFine && bIsFine) {
        FineGuard g(pDrl);
        fineDrl_SetDirty(&pDrl->FineGranularityDrl, first, last, offsetInToothLbs, (UINT32)sizeInLbs, pDrl->granularity);
    }
    return ok;
}

BOOL drl_ResetDirty(Drl *pDrl, UINT64 offsetInLbs, UINT64 sizeInLbs, BOOL bHarden, BOOL bLock)
{
    UINT32 normalGrn = pDrl->granularity;
    Exp(sizeInLbs != normalGrn);
    UINT32 first, last;
    drl_calcFirstLastBits(pDrl, offsetInLbs, sizeInLbs, &first, &last);
    if (pDrl->bFine) {
        for (UINT32 bit = first; bit <= last; bit++) {
            {
                FineGuard g(pDrl);
                ToothDirtyBitArray *p = fineObject(pDrl, bit);
                if (p != nullptr)
                    fineDrl_ReleaseObject(&pDrl->FineGranularityDrl, p);
            }
            fineDrl_ResetFallBackArrayBit(&pDrl->FineGranularityDrl, bit);
        }
    }
    return bitmap_ChangeBits(&pDrl->bm, first, last - first + 1, FALSE, bHarden, bLock);
}

BOOL drl_ResetFineDirty(Drl *pDrl, UINT64 offsetInLbs, UINT64 sizeInLbs, UINT32 offsetInToothLbs)
{
    if (!pDrl->bFine)
        return TRUE;
    UINT32 first, last;
    drl_calcFirstLastBits(pDrl, offsetInLbs, sizeInLbs, &first, &last);
    FineGuard g(pDrl);
    forEachPart(first, last, offsetInToothLbs, sizeInLbs, pDrl->granularity, [&](UINT32 bit, UINT32 off, UINT32 n) {
        ToothDirtyBitArray *p = fineObject(pDrl, bit);
        if (p != nullptr)
            fineDrl_ChangeDirty(&pDrl->FineGranularityDrl, p, off, n, FALSE);
    });
    return TRUE;
}

BOOL drl_IsClean(Drl *pDrl, UINT64 offsetInLbs)
{
    UINT32 first, last;
    drl_calcFirstLastBits(pDrl, offsetInLbs, 1, &first, &last);
    return bitmap_IsBitSet(&pDrl->bm, first) ? FALSE : TRUE;
}

BOOL drl_IsAllClean(Drl *pDrl, UINT64 offsetInLbs, UINT64 sizeInLbs)
{
    UINT32 first, last;
    drl_calcFirstLastBits(pDrl, offsetInLbs, sizeInLbs, &first, &last);
    return bitmap_IsAllReset(&pDrl->bm, first, last - first + 1);
}

BOOL drl_IsAllDirty(Drl *pDrl, UINT64 offsetInLbs, UINT64 sizeInLbs)
{
    UINT32 first, last;
    drl_calcFirstLastBits(pDrl, offsetInLbs, sizeInLbs, &first, &last);
    return bitmap_IsAllSet(&pDrl->bm, first, last - first + 1);
}

UINT32 drl_CalcOverlappedBits(Drl *pDrl, UINT64 offsetInLbs, UINT64 sizeInLbs)
{
    UINT32 first, last;
    drl_calcFirstLastBits(pDrl, offsetInLbs, sizeInLbs, &first, &last);
    return last - first + 1;
}

BOOL drl_SetBits(Drl *pDrl, UINT64 offsetInLbs, UINT64 sizeInLbs, const UINT8 *pSrcBuf)
{
    UINT32 first, last;
    drl_calcFirstLastBits(pDrl, offsetInLbs, sizeInLbs, &first, &last);
    return bitmap_SetBits(&pDrl->bm, first, last - first + 1, pSrcBuf);
}

void drl_ReadBits(Drl *pDrl, UINT64 offsetInLbs, UINT64 sizeInLbs, UINT8 *pDstBuf)
{
    UINT32 first, last;
    drl_calcFirstLastBits(pDrl, offsetInLbs, sizeInLbs, &first, &last);
    bitmap_ReadBits(&pDrl->bm, first, last - first + 1, pDstBuf);
}

void drl_Print(Drl *pDrl, UINT64 offsetInLbs, UINT64 sizeInLbs, FILE *pFile)
{
    UINT32 first, last;
    drl_calcFirstLastBits(pDrl, offsetInLbs, sizeInLbs, &first, &last);
    bitmap_Print(&pDrl->bm, first, last - first + 1, pFile);
}

void drl_PrintAll(Drl *pDrl, FILE *pFile)
{
    bitmap_Print(&pDrl->bm, 0, pDrl->bm.bitArrayMain.numOfBits, pFile);
}

UINT64 drl_FindNextDirtyLb(Drl *pDrl, UINT64 offsetInLbs, UINT64 sizeInLbs, BOOL bReturnCurrentOffsetIfAllDirty,
                           BOOL *pbIsFine, BOOL *pbConsideredAllDirty)
{
    MOS_ASSERT(pbConsideredAllDirty != nullptr);
    *pbConsideredAllDirty = FALSE;
    UINT32 first, last;
    drl_calcFirstLastBits(pDrl, offsetInLbs, sizeInLbs, &first, &last);
    UINT32 bit = bitmap_FindNextSetBit(&pDrl->bm, first, last - first + 1);
    if (bit == BIT_ARRAY__NOT_FOUND)
        return DRL__NOT_FOUND;
    if (pDrl->bFine && pbIsFine != nullptr && *pbIsFine) {
        FineGuard g(pDrl);
        ToothDirtyBitArray *p = fineObject(pDrl, bit);
        if (p != nullptr) {
            MOS_ASSERT_WITH_DESC(bit == first, "a fine search never spans regions");
            *pbConsideredAllDirty = fineDrl_IsConsideredAllDirty(&pDrl->FineGranularityDrl, p);
            UINT32 fFirst, fLast;
            drl_calcFirstLastFineBits(pDrl, offsetInLbs, sizeInLbs, &fFirst, &fLast);
            UINT32 fb = *pbConsideredAllDirty && bReturnCurrentOffsetIfAllDirty
                            ? fFirst
                            : fineDrl_FindNextSetBit(p, fFirst, fLast - fFirst + 1);
            return fb == FINE_DRL__NOT_FOUND ? DRL__NOT_FOUND : drl_GetLbaFromBit(pDrl, bit, fb);
        }
    }
    if (pbIsFine != nullptr)
        *pbIsFine = FALSE;
    return drl_GetLbaFromBit(pDrl, bit, 0);
}

UINT64 drl_FindLastDirtyLb(Drl *pDrl, UINT64 offsetInLbs, UINT64 sizeInLbs)
{
    UINT32 first, last;
    drl_calcFirstLastBits(pDrl, offsetInLbs, sizeInLbs, &first, &last);
    UINT32 bit = bitmap_FindLastSetBit(&pDrl->bm, first, last - first + 1);
    if (bit == BIT_ARRAY__NOT_FOUND)
        return DRL__NOT_FOUND;
    FineGuard g(pDrl);
    ToothDirtyBitArray *p = fineObject(pDrl, bit);
    if (p == nullptr)
        return drl_GetLbaFromBit(pDrl, bit, 0);
    // The request's fine range within the found region.
    UINT64 regionFirst = drl_GetLbaFromBit(pDrl, bit, 0);
    UINT64 from = MOS_MAX(offsetInLbs, regionFirst);
    UINT64 to = MOS_MIN(offsetInLbs + sizeInLbs, regionFirst + pDrl->granularity);
    UINT32 fFirst, fLast;
    drl_calcFirstLastFineBits(pDrl, from, to - from, &fFirst, &fLast);
    UINT32 fb = fineDrl_FindLastSetBit(p, fFirst, fLast - fFirst + 1);
    return fb == FINE_DRL__NOT_FOUND ? DRL__NOT_FOUND : drl_GetLbaFromBit(pDrl, bit, fb);
}

UINT64 drl_FindLastConsecutiveDirtyLb(Drl *pDrlRebuild, Drl *pDrlActive, BOOL bCheckBoth, UINT64 offsetInLbs,
                                      UINT64 sizeInLbs)
{
    MOS_ASSERT(pDrlRebuild->granularity == pDrlActive->granularity);
    MOS_ASSERT(pDrlRebuild->protectedOffsetInLbs == pDrlActive->protectedOffsetInLbs);
    MOS_ASSERT(pDrlRebuild->bFine == pDrlActive->bFine);
    UINT32 first, last;
    drl_calcFirstLastBits(pDrlRebuild, offsetInLbs, sizeInLbs, &first, &last);
    MOS_ASSERT_WITH_DESC(first == last, "the range lies in one region");
    if (!pDrlRebuild->bFine)
        return offsetInLbs;
    UINT32 fFirst, fLast;
    drl_calcFirstLastFineBits(pDrlRebuild, offsetInLbs, sizeInLbs, &fFirst, &fLast);
    MosFastlock_Base *pActiveLock = bCheckBoth ? &pDrlActive->FineGranularityDrl.fDrlFastLock : nullptr;
    if (pActiveLock != nullptr)
        mosFastlockBase_Acquire(pActiveLock);
    FineGuard g(pDrlRebuild);
    ToothDirtyBitArray *pRebuild = fineObject(pDrlRebuild, first);
    ToothDirtyBitArray *pActive = bCheckBoth ? fineObject(pDrlActive, first) : nullptr;
    UINT64 lb = offsetInLbs;
    if (pRebuild != nullptr || pActive != nullptr)
        lb = drl_GetLbaFromBit(pDrlRebuild, first, fineDrl_FindLastConsSetBit(pRebuild, pActive, fFirst, fLast));
    if (pActiveLock != nullptr)
        mosFastlockBase_Release(pActiveLock);
    return lb;
}

void drl_CopyFineBits(Drl *pDrlSrc, Drl *pDrlDest, UINT32 key, UINT32 fineDrlNumBits)
{
    if (!pDrlSrc->bFine || !pDrlDest->bFine)
        return;
    UINT8 bits[256 / 8];
    bool bAll = false, bSome = false;
    {
        FineGuard g(pDrlSrc);
        ToothDirtyBitArray *p = fineObject(pDrlSrc, key);
        if (fineDrl_CheckFallBackSetBit(&pDrlSrc->FineGranularityDrl, key)) {
            bAll = true;
        } else if (p != nullptr) {
            MOS_ASSERT(pDrlSrc->FineGranularityDrl.numOfBytesInTooth <= sizeof(bits));
            memcpy(bits, p->bitArray, pDrlSrc->FineGranularityDrl.numOfBytesInTooth);
            bSome = true;
        }
    }
    if (bAll || bSome)
        fineDrl_CopyBits(bSome ? bits : nullptr, &pDrlDest->FineGranularityDrl, key, fineDrlNumBits, bAll ? TRUE : FALSE);
}
