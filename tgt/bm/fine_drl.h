// Fine dirty-region bits: for a dirty region (one coarse bit of a dirty-region log, one tooth) the
// 4 KiB units that are dirty, so that a resync copies only those. Memory only, in a fixed budget:
// every per-region object is preallocated and found through a hash keyed by the coarse bit. When
// the pool runs out, or a whole region is written, the region falls back to wholly dirty in a
// fall-back bit (one bit per region), which keeps the log correct at the price of a bigger copy.
//
// Invariants: a region has at most one of {object, fall-back bit}; setBitsCounter is the number
// of set bits of its object. Object, hash and fall-back changes run under fDrlFastLock (taken by
// the log around its fine work, and by fineDrl_CopyBits itself); statistics are atomic.
#pragma once

#include "mos/mos_ds_hash.h"
#include "mos/mos_fastlock.h"

#define FINE_DRL__NOT_FOUND 0xFFFFFFFFu
#define FINE_DRL__OBJECT_OVERHEAD_BYTES 64u

struct ToothDirtyBitArray {
    UINT8 *bitArray; // bit k: byte k / 8, mask 0x80 >> (k mod 8)
    UINT16 setBitsCounter;
    UINT32 key;
    ToothDirtyBitArray *pNextFree;
    MosHash_Record hashRecord;
};

struct FineDrl {
    MosHash markedTeeth;
    ToothDirtyBitArray *pFreeFirst;
    ToothDirtyBitArray *pFreeLast;
    UINT32 numOfSupportedTeeth;
    UINT32 granularity;
    UINT32 numOfBytesInTooth;
    MosFastlock_Base fDrlFastLock;
    UINT8 *fallBackBitArray;
    UINT32 numOfBitsInFallBack;
    UINT32 succsefullTeethAllocs;
    UINT32 failedTeethAllocs;
    UINT32 currentTeethAllocs;
    ToothDirtyBitArray *pObjects; // the pool, one block
    UINT8 *pBitsPool;
};

// pFallBackInit: ceil(numOfDrlBits / 8) bytes, or null for all clean.
void fineDrl_init(FineDrl *pFDrl, UINT32 drlGranularity, UINT32 sizeOfMemoryInMb, UINT32 fineGranularity,
                  UINT32 numOfDrlBits, const UINT8 *pFallBackInit);
void fineDrl_Destroy(FineDrl *pFDrl);

BOOL fineDrl_GetToothArrayByIndex(FineDrl *pFDrl, ToothDirtyBitArray **ppToothDirtyBitArray, UINT32 key);
BOOL fineDrl_AllocateNewObject(FineDrl *pFDrl, ToothDirtyBitArray **ppToothDirtyBitArray, UINT32 key);
BOOL fineDrl_ReleaseObject(FineDrl *pFDrl, ToothDirtyBitArray *pToothDirtyBitArray);
BOOL fineDrl_ChangeDirty(FineDrl *pFDrl, ToothDirtyBitArray *pToothDirtyBitArray, UINT32 offsetInToothLbs,
                         UINT32 sizeInLbs, BOOL bSet);
void fineDrl_SetDirtyInternal(FineDrl *pFDrl, UINT32 index, UINT32 offsetInToothLbs, UINT32 sizeInLbs,
                              UINT32 normalGrn);
void fineDrl_SetDirty(FineDrl *pFDrl, UINT32 firstBit, UINT32 lastBit, UINT32 offsetInToothLbs, UINT32 sizeInLbs,
                      UINT32 normalGrn);
// bRemoteFallback: the source region is wholly dirty (pSrc may be null then).
void fineDrl_CopyBits(const UINT8 *pSrc, FineDrl *pFDrlDest, UINT32 key, UINT32 fineDrlNumBits, BOOL bRemoteFallback);
void fineDrl_CopyBitsInternal(const UINT8 *pSrc, ToothDirtyBitArray *pToothDest, UINT32 fineDrlNumBits);

void fineDrl_SetFallBackArrayBit(FineDrl *pFDrl, UINT32 bitNum);
void fineDrl_ResetFallBackArrayBit(FineDrl *pFDrl, UINT32 bitNum);
BOOL fineDrl_CheckFallBackSetBit(FineDrl *pFDrl, UINT32 bitNum);

BOOL fineDrl_IsToothClean(FineDrl *pFDrl, ToothDirtyBitArray *pToothDirtyBitArray);
UINT32 fineDrl_FindNextSetBit(ToothDirtyBitArray *pToothDirtyBitArray, UINT32 bitNum, UINT32 numOfBits);
UINT32 fineDrl_FindLastSetBit(ToothDirtyBitArray *pToothDirtyBitArray, UINT32 bitNum, UINT32 numOfBits);
UINT32 fineDrl_FindLastConsSetBit(ToothDirtyBitArray *pToothRebuild, ToothDirtyBitArray *pToothActive,
                                  UINT32 firstBit, UINT32 lastBit);
UINT16 fineDrl_GetDirtyBitsThreshold(FineDrl *pFDrl);
BOOL fineDrl_IsConsideredAllDirty(FineDrl *pFDrl, ToothDirtyBitArray *pToothDirtyBitArray);

UINT32 fineDrl_GetMarkedTeethNum(FineDrl *pFDrl);
UINT32 fineDrl_GetFreeObjects(FineDrl *pFDrl);
UINT32 fineDrl_GetNumOfSupportedTeeth(FineDrl *pFDrl);
