#include "tgt/bm/fine_drl.h"

#include <cstring>

#include "mos/mos_dbg.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"
#include "tgt/bm/bit_array.h"
#include "tgt/tgt_conf.h"
#include "tgt/tgt_contention.h"

namespace {
UINT32 bitsPerTooth(const FineDrl *pFDrl) { return pFDrl->numOfBytesInTooth * 8; }

UINT32 largestPowerOfTwoUpTo(UINT32 n)
{
    UINT32 p = 1;
    while (p <= n / 2)
        p *= 2;
    return p;
}

void pushFreeFront(FineDrl *pFDrl, ToothDirtyBitArray *p)
{
    p->pNextFree = pFDrl->pFreeFirst;
    pFDrl->pFreeFirst = p;
    if (pFDrl->pFreeLast == nullptr)
        pFDrl->pFreeLast = p;
}

void appendFree(FineDrl *pFDrl, ToothDirtyBitArray *p)
{
    p->pNextFree = nullptr;
    if (pFDrl->pFreeLast == nullptr)
        pFDrl->pFreeFirst = p;
    else
        pFDrl->pFreeLast->pNextFree = p;
    pFDrl->pFreeLast = p;
}

ToothDirtyBitArray *popFree(FineDrl *pFDrl)
{
    ToothDirtyBitArray *p = pFDrl->pFreeFirst;
    if (p == nullptr)
        return nullptr;
    pFDrl->pFreeFirst = p->pNextFree;
    if (pFDrl->pFreeFirst == nullptr)
        pFDrl->pFreeLast = nullptr;
    p->pNextFree = nullptr;
    return p;
}

// Object of a region, or a new one; an empty pool leaves the region wholly dirty (null).
ToothDirtyBitArray *objectOrNew(FineDrl *pFDrl, UINT32 key)
{
    ToothDirtyBitArray *p = nullptr;
    if (fineDrl_GetToothArrayByIndex(pFDrl, &p, key))
        return p;
    return fineDrl_AllocateNewObject(pFDrl, &p, key) ? p : nullptr;
}

// A whole region written: wholly dirty, no object.
void fallBack(FineDrl *pFDrl, UINT32 key)
{
    ToothDirtyBitArray *p = nullptr;
    if (fineDrl_GetToothArrayByIndex(pFDrl, &p, key))
        fineDrl_ReleaseObject(pFDrl, p);
    fineDrl_SetFallBackArrayBit(pFDrl, key);
}
} // namespace

void fineDrl_init(FineDrl *pFDrl, UINT32 drlGranularity, UINT32 sizeOfMemoryInMb, UINT32 fineGranularity,
                  UINT32 numOfDrlBits, const UINT8 *pFallBackInit)
{
    MOS_ASSERT(numOfDrlBits != 0 && fineGranularity != 0);
    *pFDrl = FineDrl{};
    pFDrl->granularity = fineGranularity;
    pFDrl->numOfBytesInTooth = drlGranularity / (fineGranularity * 8);
    MOS_ASSERT(pFDrl->numOfBytesInTooth != 0);
    pFDrl->numOfSupportedTeeth =
        (UINT32)((UINT64)sizeOfMemoryInMb * 1048576 / (pFDrl->numOfBytesInTooth + FINE_DRL__OBJECT_OVERHEAD_BYTES));
    MOS_ASSERT(mosHash_Create(&pFDrl->markedTeeth, largestPowerOfTwoUpTo(MOS_MAX(pFDrl->numOfSupportedTeeth, 1u)),
                              MOS_HASHING_METHOD__MODULO, 0, nullptr, nullptr, TGT_CONTENTION__FINE_DRL));
    size_t n = pFDrl->numOfSupportedTeeth;
    pFDrl->pObjects = static_cast<ToothDirtyBitArray *>(
        mos_MemCalloc(MOS_MAX(n, (size_t)1) * sizeof(ToothDirtyBitArray), SIZE_MAX, __func__, FALSE));
    pFDrl->pBitsPool = static_cast<UINT8 *>(
        mos_MemCalloc(MOS_MAX(n, (size_t)1) * pFDrl->numOfBytesInTooth, SIZE_MAX, __func__, FALSE));
    for (size_t i = 0; i < n; i++) {
        ToothDirtyBitArray *p = &pFDrl->pObjects[i];
        p->bitArray = pFDrl->pBitsPool + i * pFDrl->numOfBytesInTooth;
        pushFreeFront(pFDrl, p);
    }
    mosFastlockBase_Create(&pFDrl->fDrlFastLock, TGT_CONTENTION__FINE_DRL, __FILE__, __LINE__);
    pFDrl->numOfBitsInFallBack = numOfDrlBits;
    size_t fbBytes = ((size_t)numOfDrlBits + 7) / 8;
    pFDrl->fallBackBitArray = static_cast<UINT8 *>(mos_MemCalloc(fbBytes, SIZE_MAX, __func__, FALSE));
    if (pFallBackInit != nullptr)
        memcpy(pFDrl->fallBackBitArray, pFallBackInit, fbBytes);
}

void fineDrl_Destroy(FineDrl *pFDrl)
{
    mosHash_Clear(&pFDrl->markedTeeth);
    mosHash_Delete(&pFDrl->markedTeeth);
    mos_MemFree(pFDrl->pObjects);
    mos_MemFree(pFDrl->pBitsPool);
    mos_MemFree(pFDrl->fallBackBitArray);
    mosFastlockBase_Destroy(&pFDrl->fDrlFastLock);
    *pFDrl = FineDrl{};
}

BOOL fineDrl_GetToothArrayByIndex(FineDrl *pFDrl, ToothDirtyBitArray **ppToothDirtyBitArray, UINT32 key)
{
    UINT64 data = 0;
    MosHash_Record *pRec = mosHash_GetRecordByKey(&pFDrl->markedTeeth, key, 0, &data);
    *ppToothDirtyBitArray = pRec != nullptr ? MOS_CONTAINER_OF(pRec, ToothDirtyBitArray, hashRecord) : nullptr;
    return pRec != nullptr ? TRUE : FALSE;
}

BOOL fineDrl_AllocateNewObject(FineDrl *pFDrl, ToothDirtyBitArray **ppToothDirtyBitArray, UINT32 key)
{
    ToothDirtyBitArray *p = popFree(pFDrl);
    *ppToothDirtyBitArray = p;
    if (p == nullptr) {
        __atomic_add_fetch(&pFDrl->failedTeethAllocs, 1, __ATOMIC_RELAXED);
        fineDrl_SetFallBackArrayBit(pFDrl, key);
        return FALSE;
    }
    p->key = key;
    p->setBitsCounter = 0;
    mosHash_Add(&pFDrl->markedTeeth, &p->hashRecord, key, 0);
    __atomic_add_fetch(&pFDrl->succsefullTeethAllocs, 1, __ATOMIC_RELAXED);
    __atomic_add_fetch(&pFDrl->currentTeethAllocs, 1, __ATOMIC_RELAXED);
    return TRUE;
}

BOOL fineDrl_ReleaseObject(FineDrl *pFDrl, ToothDirtyBitArray *pToothDirtyBitArray)
{
    if (pToothDirtyBitArray->setBitsCounter != 0) {
        memset(pToothDirtyBitArray->bitArray, 0, pFDrl->numOfBytesInTooth);
        pToothDirtyBitArray->setBitsCounter = 0;
    }
    MOS_ASSERT(mosHash_DeleteRecordByKeyAndPtr(&pFDrl->markedTeeth, pToothDirtyBitArray->key,
                                               &pToothDirtyBitArray->hashRecord));
    appendFree(pFDrl, pToothDirtyBitArray);
    __atomic_sub_fetch(&pFDrl->currentTeethAllocs, 1, __ATOMIC_RELAXED);
    return TRUE;
}

BOOL fineDrl_ChangeDirty(FineDrl *pFDrl, ToothDirtyBitArray *pToothDirtyBitArray, UINT32 offsetInToothLbs,
                         UINT32 sizeInLbs, BOOL bSet)
{
    MOS_ASSERT(sizeInLbs != 0);
    UINT32 first = offsetInToothLbs / pFDrl->granularity;
    UINT32 last = (offsetInToothLbs + sizeInLbs - 1) / pFDrl->granularity;
    MOS_ASSERT(last < bitsPerTooth(pFDrl));
    UINT32 changed = bits_ChangeBits(pToothDirtyBitArray->bitArray, first, last - first + 1, bSet);
    if (bSet)
        pToothDirtyBitArray->setBitsCounter = (UINT16)(pToothDirtyBitArray->setBitsCounter + changed);
    else
        pToothDirtyBitArray->setBitsCounter = (UINT16)(pToothDirtyBitArray->setBitsCounter - changed);
    MOS_ASSERT(pToothDirtyBitArray->setBitsCounter <= bitsPerTooth(pFDrl));
    if (tgtInitParam_G.bDitExtra)
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_HIGH,
                  "Changing bits in ToothDirtyBitArray index %d. numOfBitsToSet: %d firstBit: %d. Set?: %s",
                  (int)pToothDirtyBitArray->key, (int)(last - first + 1), (int)first, bSet ? "TRUE" : "FALSE");
    return TRUE;
}

void fineDrl_SetDirtyInternal(FineDrl *pFDrl, UINT32 index, UINT32 offsetInToothLbs, UINT32 sizeInLbs,
                              UINT32 normalGrn)
{
    MOS_ASSERT(offsetInToothLbs + sizeInLbs <= normalGrn);
    if (fineDrl_CheckFallBackSetBit(pFDrl, index)) {
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_HIGH, "Fallback bit is set for tooth %d", (int)index);
        return;
    }
    if (sizeInLbs == normalGrn) {
        fallBack(pFDrl, index);
        return;
    }
    ToothDirtyBitArray *p = objectOrNew(pFDrl, index);
    if (p != nullptr)
        fineDrl_ChangeDirty(pFDrl, p, offsetInToothLbs, sizeInLbs, TRUE);
}

void fineDrl_SetDirty(FineDrl *pFDrl, UINT32 firstBit, UINT32 lastBit, UINT32 offsetInToothLbs, UINT32 sizeInLbs,
                      UINT32 normalGrn)
{
    MOS_ASSERT(lastBit - firstBit + 1 == (offsetInToothLbs + sizeInLbs + normalGrn - 1) / normalGrn);
    UINT32 offset = offsetInToothLbs;
    UINT32 left = sizeInLbs;
    for (UINT32 bit = firstBit; bit <= lastBit; bit++) {
        UINT32 part = MOS_MIN(left, normalGrn - offset);
        fineDrl_SetDirtyInternal(pFDrl, bit, offset, part, normalGrn);
        left -= part;
        offset = 0;
    }
}

void fineDrl_CopyBits(const UINT8 *pSrc, FineDrl *pFDrlDest, UINT32 key, UINT32 fineDrlNumBits, BOOL bRemoteFallback)
{
    mosFastlockBase_Acquire(&pFDrlDest->fDrlFastLock);
    if (bRemoteFallback) {
        fallBack(pFDrlDest, key);
    } else {
        MOS_ASSERT(pSrc != nullptr);
        if (!fineDrl_CheckFallBackSetBit(pFDrlDest, key)) {
            ToothDirtyBitArray *p = objectOrNew(pFDrlDest, key);
            if (p != nullptr)
                fineDrl_CopyBitsInternal(pSrc, p, fineDrlNumBits);
        }
    }
    mosFastlockBase_Release(&pFDrlDest->fDrlFastLock);
}

void fineDrl_CopyBitsInternal(const UINT8 *pSrc, ToothDirtyBitArray *pToothDest, UINT32 fineDrlNumBits)
{
    UINT32 added = bit_OrBits(pToothDest->bitArray, pSrc, 0, fineDrlNumBits);
    pToothDest->setBitsCounter = (UINT16)MOS_MIN((UINT32)pToothDest->setBitsCounter + added, fineDrlNumBits);
}

void fineDrl_SetFallBackArrayBit(FineDrl *pFDrl, UINT32 bitNum)
{
    Exp(bitNum >= pFDrl->numOfBitsInFallBack);
    bits_ChangeBits(pFDrl->fallBackBitArray, bitNum, 1, TRUE);
}

void fineDrl_ResetFallBackArrayBit(FineDrl *pFDrl, UINT32 bitNum)
{
    Exp(bitNum >= pFDrl->numOfBitsInFallBack);
    bits_ChangeBits(pFDrl->fallBackBitArray, bitNum, 1, FALSE);
}

BOOL fineDrl_CheckFallBackSetBit(FineDrl *pFDrl, UINT32 bitNum)
{
    Exp(bitNum >= pFDrl->numOfBitsInFallBack);
    return bits_IsBitSet(pFDrl->fallBackBitArray, bitNum);
}

BOOL fineDrl_IsToothClean(FineDrl *pFDrl, ToothDirtyBitArray *pToothDirtyBitArray)
{
    (void)pFDrl;
    return pToothDirtyBitArray->setBitsCounter == 0 ? TRUE : FALSE;
}

UINT32 fineDrl_FindNextSetBit(ToothDirtyBitArray *pToothDirtyBitArray, UINT32 bitNum, UINT32 numOfBits)
{
    UINT32 b = bits_FindNextSetBit(pToothDirtyBitArray->bitArray, bitNum, numOfBits);
    return b == BIT_ARRAY__NOT_FOUND ? FINE_DRL__NOT_FOUND : b;
}

UINT32 fineDrl_FindLastSetBit(ToothDirtyBitArray *pToothDirtyBitArray, UINT32 bitNum, UINT32 numOfBits)
{
    UINT32 b = bits_FindLastSetBit(pToothDirtyBitArray->bitArray, bitNum, numOfBits);
    return b == BIT_ARRAY__NOT_FOUND ? FINE_DRL__NOT_FOUND : b;
}

UINT32 fineDrl_FindLastConsSetBit(ToothDirtyBitArray *pToothRebuild, ToothDirtyBitArray *pToothActive,
                                  UINT32 firstBit, UINT32 lastBit)
{
    MOS_ASSERT(pToothRebuild != nullptr || pToothActive != nullptr);
    Exp(lastBit > 255);
    auto isSet = [&](UINT32 b) {
        if (pToothRebuild != nullptr && bits_IsBitSet(pToothRebuild->bitArray, b))
            return true;
        return pToothActive != nullptr && bits_IsBitSet(pToothActive->bitArray, b);
    };
    UINT32 end = firstBit;
    while (end < lastBit && isSet(end + 1))
        end++;
    return end;
}

UINT16 fineDrl_GetDirtyBitsThreshold(FineDrl *pFDrl)
{
    (void)pFDrl;
    return (UINT16)tgtInitParam_G.fineDrlToothTooDirtyThreshold;
}

BOOL fineDrl_IsConsideredAllDirty(FineDrl *pFDrl, ToothDirtyBitArray *pToothDirtyBitArray)
{
    return pToothDirtyBitArray->setBitsCounter >= fineDrl_GetDirtyBitsThreshold(pFDrl) ? TRUE : FALSE;
}

UINT32 fineDrl_GetMarkedTeethNum(FineDrl *pFDrl) { return mosHash_GetRecNum(&pFDrl->markedTeeth); }

UINT32 fineDrl_GetFreeObjects(FineDrl *pFDrl)
{
    return pFDrl->numOfSupportedTeeth - __atomic_load_n(&pFDrl->currentTeethAllocs, __ATOMIC_RELAXED);
}

UINT32 fineDrl_GetNumOfSupportedTeeth(FineDrl *pFDrl) { return pFDrl->numOfSupportedTeeth; }
