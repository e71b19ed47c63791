// Dirty-region log: marks the device regions whose content may differ from the partner's copy.
// Coarse bits, one per region of `granularity` LB (one tooth), are a persistent bitmap (on the
// device or in shared memory) hardened by group commit; with tgt_allow_fine_drl an in-memory
// fine log records which 4 KiB units of a dirty region are dirty, so a resync copies only those.
//
// Addressing, P = protectedOffsetInLbs (the first LB the log covers), g the granularity, f the
// fine granularity: coarse bit of LB x = (x - P) / g; fine bit = (x - P - b g) / f; an LB below P
// is a broken invariant. A set acknowledges only once its coarse bits are on the device (with
// bHarden), so a crash never loses a region marked dirty before a write was acknowledged.
//
// Coarse bits are guarded by the bitmap's locks; fine state by the fine log's fast lock, which
// set, reset, fine reset and the run search take around their fine work.
#pragma once

#include <cstdio>

#include "tgt/bm/bitmap.h"
#include "tgt/bm/fine_drl.h"

enum PhyDevDrlType : UINT32 {
    PHY_DEV_DRL_TYPE__ACTIVE = 0,
    PHY_DEV_DRL_TYPE__REBUILD = 1,
    PHY_DEV_DRL_TYPE__COUNT = 2,
};

#define DRL__NOT_FOUND 0xFFFFFFFFFFFFFFFFull

struct Drl {
    Bitmap bm;
    UINT64 bmOffsetInLbs;
    UINT32 granularity;
    UINT64 protectedOffsetInLbs;
    FineDrl FineGranularityDrl;
    BOOL bFine; // the fine log exists (tgt_allow_fine_drl at init)
};

const char *drl_TypeName(UINT32 type);

// numOfBits and the bitmap's LB for a protected area; granularity or area 0, or an area too small
// to hold its own bits, is a broken invariant.
void drl_CalcDataSize(UINT64 protectedAreaInLbs, UINT32 granularity, UINT32 *pNumOfBits, UINT32 *pNumOfDiskLbs);
// pFile null: the coarse bits live in shared memory.
Mos_RC drl_Init(Drl *pDrl, UINT64 protectedAreaInLbs, UINT64 protectedOffsetInLbs, UINT64 bmOffsetInLbs,
                UINT32 granularity, File *pFile, TgtBwc *pBmWrites, TgtBwc *pBmUnified, BOOL bWrite, BOOL bStartDirty,
                UINT64 devId, UINT32 index);
void drl_Destroy(Drl *pDrl);
BOOL drl_MoveToSharedMem(Drl *pDrl, UINT64 devId, UINT32 index);
BOOL drl_MoveToDisk(Drl *pDrl, UINT64 devId, UINT32 index, File *pFile);
void drl_DestroyShm(Drl *pDrl);
void drl_Lock(Drl *pDrl, BOOL bWrite);
void drl_Unlock(Drl *pDrl, BOOL bWrite);
BOOL drl_Flush(Drl *pDrl, BOOL bLock);

UINT32 drl_GetGranularity(Drl *pDrl);
UINT32 drl_GetFineGranularity(Drl *pDrl);
UINT32 drl_GetFineDrlNumBits(Drl *pDrl);
UINT64 drl_GetLbaFromBit(Drl *pDrl, UINT32 bitNum, UINT32 FineBitNum);
void drl_calcFirstLastBits(Drl *pDrl, UINT64 offsetInLbs, UINT64 sizeInLbs, UINT32 *pFirst, UINT32 *pLast);
void drl_calcFirstLastFineBits(Drl *pDrl, UINT64 offsetInLbs, UINT64 sizeInLbs, UINT32 *pFirst, UINT32 *pLast);
UINT64 drl_GetFirstLb(Drl *pDrl, UINT64 offsetInLbs);
UINT64 drl_GetLastLb(Drl *pDrl, UINT64 offsetInLbs);
UINT64 drl_GetNextFirstLb(Drl *pDrl, UINT64 offsetInLbs);

BOOL drl_SetDirty(Drl *pDrl, UINT64 offsetInLbs, UINT64 sizeInLbs, BOOL bHarden, UINT32 offsetInToothLbs, BOOL bIsFine);
BOOL drl_ResetDirty(Drl *pDrl, UINT64 offsetInLbs, UINT64 sizeInLbs, BOOL bHarden, BOOL bLock);
BOOL drl_ResetFineDirty(Drl *pDrl, UINT64 offsetInLbs, UINT64 sizeInLbs, UINT32 offsetInToothLbs);
BOOL drl_IsClean(Drl *pDrl, UINT64 offsetInLbs);
BOOL drl_IsAllClean(Drl *pDrl, UINT64 offsetInLbs, UINT64 sizeInLbs);
BOOL drl_IsAllDirty(Drl *pDrl, UINT64 offsetInLbs, UINT64 sizeInLbs);
UINT32 drl_CalcOverlappedBits(Drl *pDrl, UINT64 offsetInLbs, UINT64 sizeInLbs);
BOOL drl_SetBits(Drl *pDrl, UINT64 offsetInLbs, UINT64 sizeInLbs, const UINT8 *pSrcBuf);
void drl_ReadBits(Drl *pDrl, UINT64 offsetInLbs, UINT64 sizeInLbs, UINT8 *pDstBuf);
void drl_Print(Drl *pDrl, UINT64 offsetInLbs, UINT64 sizeInLbs, FILE *pFile);
void drl_PrintAll(Drl *pDrl, FILE *pFile);

// All-ones when nothing is dirty. *pbIsFine in: a fine answer is wanted; out: it is one.
UINT64 drl_FindNextDirtyLb(Drl *pDrl, UINT64 offsetInLbs, UINT64 sizeInLbs, BOOL bReturnCurrentOffsetIfAllDirty,
                           BOOL *pbIsFine, BOOL *pbConsideredAllDirty);
UINT64 drl_FindLastDirtyLb(Drl *pDrl, UINT64 offsetInLbs, UINT64 sizeInLbs);
UINT64 drl_FindLastConsecutiveDirtyLb(Drl *pDrlRebuild, Drl *pDrlActive, BOOL bCheckBoth, UINT64 offsetInLbs,
                                      UINT64 sizeInLbs);
void drl_CopyFineBits(Drl *pDrlSrc, Drl *pDrlDest, UINT32 key, UINT32 fineDrlNumBits);
