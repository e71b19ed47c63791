#include "tgt/bm/bitmap.h"

#include <cstring>

#include "mos/mos_dbg.h"
#include "mos/mos_trace.h"
#include "tgt/file/file.h"
#include "tgt/tgt_conf.h"
#include "tgt/tgt_contention.h"

namespace {
struct BitRange {
    UINT32 first = 0xFFFFFFFFu;
    UINT32 last = 0;
    bool empty() const { return first > last; }
    void widen(UINT32 from, UINT32 to)
    {
        first = MOS_MIN(first, from);
        last = MOS_MAX(last, to);
    }
};

UINT32 unitBits(const Bitmap *pBm) { return pBm->writeSizeInLbs * BIT_ARRAY__BITS_IN_LB; }
size_t unitBytes(const Bitmap *pBm) { return (size_t)pBm->writeSizeInLbs * LB_SIZE_IN_BYTES; }

// In memory mode the main image is the working image.
void aliasMain(Bitmap *pBm)
{
    pBm->bitArrayMain = pBm->bitArrayPend;
    pBm->bitArrayMain.sharedMem = MosShm{nullptr, -1, nullptr, 0};
    pBm->bitArrayMain.bSharedMem = TRUE;
}

bool isMainAlias(const Bitmap *pBm) { return pBm->bitArrayMain.pBmBuff == pBm->bitArrayPend.pBmBuff; }

void copyBytes(BitArray *pDst, const BitArray *pSrc, size_t from, size_t count)
{
    memcpy(pDst->pBmBuff + from, pSrc->pBmBuff + from, count);
}

// Applies one change to the working image (under bmFastLock); the bits it changed.
UINT32 applyChange(Bitmap *pBm, UINT32 bitNum, UINT32 numOfBits, BOOL bSet, const UINT8 *pSrcBuf)
{
    if (pSrcBuf != nullptr)
        return bitArray_SetBits(&pBm->bitArrayPend, bitNum, numOfBits, pSrcBuf);
    return bitArray_ChangeBits(&pBm->bitArrayPend, bitNum, numOfBits, bSet);
}

BOOL changeNoHarden(Bitmap *pBm, UINT32 bitNum, UINT32 numOfBits, BOOL bSet, const UINT8 *pSrcBuf)
{
    if (numOfBits == 0)
        return TRUE;
    mosFastlockBase_Acquire(&pBm->bmFastLock);
    UINT32 changed = applyChange(pBm, bitNum, numOfBits, bSet, pSrcBuf);
    if (changed > 0 && !isMainAlias(pBm)) {
        size_t from = bitNum / 8;
        copyBytes(&pBm->bitArrayMain, &pBm->bitArrayPend, from, ((size_t)bitNum + numOfBits - 1) / 8 - from + 1);
    }
    mosFastlockBase_Release(&pBm->bmFastLock);
    return TRUE;
}

// Applies a batch oldest first, so that a later change of a bit wins over an earlier one.
BitRange applyBatch(Bitmap *pBm, BmTrns *pFirst, UINT32 *pBits)
{
    BitRange range;
    mosFastlockBase_Acquire(&pBm->bmFastLock);
    for (BmTrns *p = pFirst; p != nullptr; p = p->pNext) {
        if (p->numOfBits == 0) {
            range.widen(0, pBm->bitArrayPend.numOfBits - 1);
            continue;
        }
        *pBits += p->numOfBits;
        UINT32 changed = applyChange(pBm, p->bitNum, p->numOfBits, p->bSet, p->pSrcBuf);
        if (changed > 0 || p->pSrcBuf != nullptr)
            range.widen(p->bitNum, p->bitNum + p->numOfBits - 1);
    }
    mosFastlockBase_Release(&pBm->bmFastLock);
    return range;
}

Mos_RC writeUnits(Bitmap *pBm, const BitRange &range)
{
    UINT32 u0 = range.first / unitBits(pBm);
    UINT32 u1 = range.last / unitBits(pBm);
    UINT32 lbs = (u1 - u0 + 1) * pBm->writeSizeInLbs;
    if (pBm->bmBwc.pBmWrites != nullptr)
        tgtBWC_EventOccurrenceIntrn(pBm->bmBwc.pBmWrites, lbs, 1, FALSE);
    size_t from = u0 * unitBytes(pBm);
    Mos_RC rc = file_Write(pBm->pFile, pBm->bitArrayPend.pBmBuff + from, pBm->bmOffsetInLbs + (UINT64)u0 * pBm->writeSizeInLbs,
                           lbs, FILE_IO_TYPE__BM, COMB_ID_INVALID, 0);
    mosFastlockBase_Acquire(&pBm->bmFastLock);
    if (rc == MOS_RC__SUCCESS)
        copyBytes(&pBm->bitArrayMain, &pBm->bitArrayPend, from, (size_t)lbs * LB_SIZE_IN_BYTES);
    else
        copyBytes(&pBm->bitArrayPend, &pBm->bitArrayMain, from, (size_t)lbs * LB_SIZE_IN_BYTES);
    mosFastlockBase_Release(&pBm->bmFastLock);
    return rc;
}

// Leads one batch: everything queued so far, the leader's own change among it. Called with
// condFastLock held; returns with it released.
BOOL leadBatch(Bitmap *pBm)
{
    pBm->bDbgHarden = TRUE;
    MosUmt_Cond *pBatchCond = pBm->pCond;
    pBm->pCond = pBatchCond == &pBm->cond[0] ? &pBm->cond[1] : &pBm->cond[0];
    BmTrns *pFirst = pBm->pendListAnchor.pFirst;
    UINT32 count = pBm->pendListAnchor.counter;
    pBm->pendListAnchor = BmPendList{};
    mosFastlockBase_Release(&pBm->condFastLock);

    UINT32 bits = 0;
    BitRange range = applyBatch(pBm, pFirst, &bits);
    Mos_RC rc = range.empty() ? MOS_RC__SUCCESS : writeUnits(pBm, range);
    if (pBm->bmBwc.pBmUnified != nullptr)
        tgtBWC_EventOccurrenceIntrn(pBm->bmBwc.pBmUnified, bits, count, FALSE);

    mosFastlockBase_Acquire(&pBm->condFastLock);
    Mos_RC result = rc == MOS_RC__SUCCESS ? MOS_RC__SUCCESS : MOS_RC__ERROR;
    for (BmTrns *p = pFirst; p != nullptr;) {
        BmTrns *pNext = p->pNext; // a waiter's record dies once it sees its result
        p->rc = result;
        p = pNext;
    }
    mosUmtCond_Broadcast(pBatchCond);
    pBm->bDbgHarden = FALSE;
    if (pBm->pendListAnchor.counter == 0)
        pBm->bFirst = TRUE;
    else
        mosUmtCond_Signal(pBm->pCond);
    mosFastlockBase_Release(&pBm->condFastLock);
    return rc == MOS_RC__SUCCESS;
}

BOOL groupCommit(Bitmap *pBm, BmTrns *pTrns)
{
    mosFastlockBase_Acquire(&pBm->condFastLock);
    BmPendList &q = pBm->pendListAnchor;
    if (q.pLast != nullptr)
        q.pLast->pNext = pTrns;
    else
        q.pFirst = pTrns;
    q.pLast = pTrns;
    q.counter++;
    if (pBm->bFirst) {
        pBm->bFirst = FALSE;
        return leadBatch(pBm);
    }
    MosUmt_Cond *pMyCond = pBm->pCond;
    mosUmtCond_Wait(pMyCond, &pBm->condFastLock);
    if (pTrns->rc != 0) {
        Mos_RC rc = pTrns->rc;
        mosFastlockBase_Release(&pBm->condFastLock);
        return rc == MOS_RC__SUCCESS;
    }
    // Woken to lead the next batch, which this change is part of.
    return leadBatch(pBm);
}

BOOL change(Bitmap *pBm, UINT32 bitNum, UINT32 numOfBits, BOOL bSet, BOOL bHarden, BOOL bLock, const UINT8 *pSrcBuf)
{
    if (bLock)
        mosUmtRWLock_AcquireReadLock(&pBm->bitmapLock);
    BOOL bOk;
    if (pBm->pFile == nullptr || !bHarden) {
        bOk = changeNoHarden(pBm, bitNum, numOfBits, bSet, pSrcBuf);
    } else {
        BmTrns trns{nullptr, bSet, bitNum, numOfBits, (Mos_RC)0, pSrcBuf};
        bOk = groupCommit(pBm, &trns);
    }
    if (bLock)
        mosUmtRWLock_ReleaseReadLock(&pBm->bitmapLock);
    return bOk;
}

Mos_RC ioFailed(Bitmap *pBm, const char *pWhat, UINT64 devId)
{
    MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "Unable to perform %s IO for bit map on deviceID: %lx device name: %s",
              pWhat, (unsigned long)devId, file_GetPath(pBm->pFile));
    return MOS_RC__TGT_ADD_DEV_IO_ERROR;
}
} // namespace

UINT32 bitmap_CalcDataSize(UINT32 numOfBits)
{
    UINT64 w = tgtInitParam_G.bmWriteSizeInLbs;
    UINT64 unitBitsW = w * BIT_ARRAY__BITS_IN_LB;
    return (UINT32)(w * ((numOfBits + unitBitsW - 1) / unitBitsW));
}

Mos_RC bitmap_Init(Bitmap *pBm, UINT32 numOfBits, UINT64 bmOffsetInLbs, File *pFile, TgtBwc *pBmWrites,
                   TgtBwc *pBmUnified, BOOL bWrite, BOOL bStartSet, UINT64 devId, UINT32 index)
{
    memset(pBm, 0, sizeof(*pBm));
    mosFastlockBase_Create(&pBm->bmFastLock, TGT_CONTENTION__BM, __FILE__, __LINE__);
    mosFastlockBase_Create(&pBm->condFastLock, TGT_CONTENTION__BM_COND, __FILE__, __LINE__);
    mosUmtCond_Init(&pBm->cond[0]);
    mosUmtCond_Init(&pBm->cond[1]);
    mosUmtRWLock_Init(&pBm->bitmapLock);
    pBm->pCond = &pBm->cond[0];
    pBm->bFirst = TRUE;
    pBm->bmBwc = BmBwc{pBmWrites, pBmUnified};
    pBm->pFile = pFile;
    pBm->bmOffsetInLbs = bmOffsetInLbs;
    pBm->writeSizeInLbs = (UINT32)tgtInitParam_G.bmWriteSizeInLbs;
    UINT32 sizeInLbs = bitmap_CalcDataSize(numOfBits);
    pBm->numOfDiskUnits = sizeInLbs / pBm->writeSizeInLbs;
    UINT32 roundedBits = sizeInLbs * BIT_ARRAY__BITS_IN_LB;

    Mos_RC rc = bitArray_Init(&pBm->bitArrayPend, roundedBits, bStartSet, bWrite, pFile == nullptr, devId, index,
                              BIT_ARRAY__SHM_TYPE_WORKING, nullptr);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    if (pFile == nullptr) {
        aliasMain(pBm);
        return MOS_RC__SUCCESS;
    }
    bitArray_Init(&pBm->bitArrayMain, roundedBits, bStartSet, TRUE, FALSE, 0, 0, 0, nullptr);
    if (bWrite) {
        if (file_Write(pFile, pBm->bitArrayPend.pBmBuff, bmOffsetInLbs, sizeInLbs, FILE_IO_TYPE__BM, COMB_ID_INVALID,
                       0) != MOS_RC__SUCCESS)
            return ioFailed(pBm, "write", devId);
        return MOS_RC__SUCCESS;
    }
    if (file_Read(pFile, pBm->bitArrayMain.pBmBuff, nullptr, bmOffsetInLbs, sizeInLbs, FILE_IO_TYPE__BM, TRUE,
                  COMB_ID_INVALID, 0, RdIoFlags{0}) != MOS_RC__SUCCESS)
        return ioFailed(pBm, "read", devId);
    memcpy(pBm->bitArrayPend.pBmBuff, pBm->bitArrayMain.pBmBuff, (size_t)sizeInLbs * LB_SIZE_IN_BYTES);
    return MOS_RC__SUCCESS;
}

BOOL bitmap_ChangeBits(Bitmap *pBm, UINT32 bitNum, UINT32 numOfBits, BOOL bSet, BOOL bHarden, BOOL bLock)
{
    return change(pBm, bitNum, numOfBits, bSet, bHarden, bLock, nullptr);
}

BOOL bitmap_SetBits(Bitmap *pBm, UINT32 bitNum, UINT32 numOfBits, const UINT8 *pSrcBuf)
{
    return change(pBm, bitNum, numOfBits, TRUE, TRUE, TRUE, pSrcBuf);
}

BOOL bitmap_Flush(Bitmap *pBm, BOOL bLock)
{
    return change(pBm, 0, 0, TRUE, TRUE, bLock, nullptr);
}

namespace {
// Runs a query of the main image under bmFastLock.
template <typename Fn>
auto underBmLock(Bitmap *pBm, Fn fn)
{
    mosFastlockBase_Acquire(&pBm->bmFastLock);
    auto result = fn(&pBm->bitArrayMain);
    mosFastlockBase_Release(&pBm->bmFastLock);
    return result;
}
} // namespace

void bitmap_ReadBits(Bitmap *pBm, UINT32 bitNum, UINT32 numOfBits, UINT8 *pDstBuf)
{
    underBmLock(pBm, [&](BitArray *p) {
        bitArray_ReadBits(p, bitNum, numOfBits, pDstBuf);
        return 0;
    });
}

BOOL bitmap_IsBitSet(Bitmap *pBm, UINT32 bit)
{
    return underBmLock(pBm, [&](BitArray *p) { return bitArray_IsBitSet(p, bit); });
}

BOOL bitmap_IsAllSet(Bitmap *pBm, UINT32 bitNum, UINT32 numOfBits)
{
    return underBmLock(pBm, [&](BitArray *p) { return bitArray_IsAllSet(p, bitNum, numOfBits); });
}

BOOL bitmap_IsAllReset(Bitmap *pBm, UINT32 bitNum, UINT32 numOfBits)
{
    return underBmLock(pBm, [&](BitArray *p) { return bitArray_IsAllReset(p, bitNum, numOfBits); });
}

UINT32 bitmap_FindNextSetBit(Bitmap *pBm, UINT32 bitNum, UINT32 numOfBits)
{
    return underBmLock(pBm, [&](BitArray *p) { return bitArray_FindNextSetBit(p, bitNum, numOfBits); });
}

UINT32 bitmap_FindLastSetBit(Bitmap *pBm, UINT32 bitNum, UINT32 numOfBits)
{
    return underBmLock(pBm, [&](BitArray *p) { return bitArray_FindLastSetBit(p, bitNum, numOfBits); });
}

// A debug print: it reads the main image without the fast lock rather than hold one across
// writing to a file.
void bitmap_Print(Bitmap *pBm, UINT32 bitNum, UINT32 numOfBits, FILE *pOut)
{
    bitArray_Print(&pBm->bitArrayMain, bitNum, numOfBits, tgtInitParam_G.bDetailedDump, pOut);
}

void bitmap_Lock(Bitmap *pBm, BOOL bWrite)
{
    if (bWrite)
        mosUmtRWLock_AcquireWriteLock(&pBm->bitmapLock);
    else
        mosUmtRWLock_AcquireReadLock(&pBm->bitmapLock);
}

void bitmap_Unlock(Bitmap *pBm, BOOL bWrite)
{
    if (bWrite)
        mosUmtRWLock_ReleaseWriteLock(&pBm->bitmapLock);
    else
        mosUmtRWLock_ReleaseReadLock(&pBm->bitmapLock);
}

BOOL bitmap_MoveToSharedMem(Bitmap *pBm, UINT64 devId, UINT32 index)
{
    mosFastlockBase_Acquire(&pBm->bmFastLock);
    BOOL bMoved = bitArray_MoveToSharedMem(&pBm->bitArrayPend, devId, index, BIT_ARRAY__SHM_TYPE_WORKING);
    mosFastlockBase_Release(&pBm->bmFastLock);
    if (!bMoved)
        return FALSE;
    if (!isMainAlias(pBm))
        bitArray_Destroy(&pBm->bitArrayMain);
    aliasMain(pBm);
    pBm->pFile = nullptr;
    return TRUE;
}

BOOL bitmap_MoveToDisk(Bitmap *pBm, UINT32 index, File *pFile)
{
    (void)index;
    if (!pBm->bitArrayPend.bSharedMem)
        return FALSE;
    BitArray main{};
    bitArray_Init(&main, pBm->bitArrayPend.numOfBits, FALSE, TRUE, FALSE, 0, 0, 0, nullptr);
    mosFastlockBase_Acquire(&pBm->bmFastLock);
    bitArray_MoveToDisk(&pBm->bitArrayPend);
    memcpy(main.pBmBuff, pBm->bitArrayPend.pBmBuff, (size_t)main.numOfLb * LB_SIZE_IN_BYTES);
    pBm->bitArrayMain = main;
    mosFastlockBase_Release(&pBm->bmFastLock);
    pBm->pFile = pFile;
    return TRUE;
}

void bitmap_DestroyShm(Bitmap *pBm)
{
    bitArray_DestroyShm(&pBm->bitArrayPend);
}

void bitmap_Destroy(Bitmap *pBm)
{
    if (!isMainAlias(pBm))
        bitArray_Destroy(&pBm->bitArrayMain);
    bitArray_Destroy(&pBm->bitArrayPend);
    mosUmtRWLock_Destroy(&pBm->bitmapLock);
    mosUmtCond_Destroy(&pBm->cond[1]);
    mosUmtCond_Destroy(&pBm->cond[0]);
    mosFastlockBase_Destroy(&pBm->condFastLock);
    mosFastlockBase_Destroy(&pBm->bmFastLock);
}
