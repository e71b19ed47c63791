// Persistent bitmaps of the dirty-region logs: one bit per tooth, either hardened to an area of
// the device (disk mode) or kept in a shared-memory segment that survives a restart of the
// process but not of the machine (memory mode).
//
// Two images: the working image takes every change; the main image is what the device holds and
// what every query reads. In memory mode they are the same memory.
//
// Durable changes use group commit: callers queue their changes, one of them (the leader)
// applies every queued change to the working image in the order they were queued, writes the
// union of the changed write units (W = tgt_bm__write_size_in_lbs LB each) once, and all learn
// the result together. On success the written range is copied to the main image; on failure
// the main image is copied back over the working image, so the changes are undone and no query
// ever sees a bit that is not on the device. While one leader writes, the next batch queues;
// the two conditions alternate so that the broadcast ending one batch never wakes the next.
//
// Locks: bmFastLock is held only while bits are applied or copied; condFastLock guards the
// queue; bitmapLock (a user-mode read-write lock) is taken for reading per operation when the
// caller asks, and for writing by the owner around mode changes. Changes and queries run on
// user-mode threads.
#pragma once

#include <cstdio>

#include "mos/mos_fastlock.h"
#include "mos/umt/mos_umt_cond.h"
#include "mos/umt/mos_umt_rwlock.h"
#include "tgt/bm/bit_array.h"
#include "tgt/phy/tgt_bwc.h"

struct File;

#define PHY_DEV__DBM_ACTIVE_INDEX 1u
#define PHY_DEV__DBM_REBUILD_INDEX 2u

// A queued change, on its caller's stack.
struct BmTrns {
    BmTrns *pNext;
    BOOL bSet;
    UINT32 bitNum;
    UINT32 numOfBits; // 0: harden everything
    Mos_RC rc;        // 0 until done
    const UINT8 *pSrcBuf;
};

struct BmPendList {
    BmTrns *pFirst;
    BmTrns *pLast;
    UINT32 counter;
};

struct BmBwc {
    TgtBwc *pBmWrites;
    TgtBwc *pBmUnified;
};

struct Bitmap {
    MosFastlock_Base bmFastLock;
    MosFastlock_Base condFastLock;
    MosUmt_Cond cond[2];
    BmPendList pendListAnchor;
    BmBwc bmBwc;
    BitArray bitArrayMain;
    BitArray bitArrayPend;
    MosUmt_RWLock bitmapLock;
    MosUmt_Cond *pCond; // the condition the queued callers wait on
    File *pFile;        // null in memory mode
    BOOL bFirst;        // no leader is active
    BOOL bDbgHarden;    // a leader is writing
    UINT64 bmOffsetInLbs;
    UINT32 numOfDiskUnits;
    UINT32 writeSizeInLbs; // W, fixed at init
};

// LB of a bitmap of numOfBits: whole write units.
UINT32 bitmap_CalcDataSize(UINT32 numOfBits);

// Memory mode when pFile is null (the working image in the segment of devId and index). Disk
// mode: bWrite fills both images with bStartSet and writes every unit; otherwise every unit is
// read. MOS_RC__SUCCESS or MOS_RC__TGT_ADD_DEV_IO_ERROR.
Mos_RC bitmap_Init(Bitmap *pBm, UINT32 numOfBits, UINT64 bmOffsetInLbs, File *pFile, TgtBwc *pBmWrites,
                   TgtBwc *pBmUnified, BOOL bWrite, BOOL bStartSet, UINT64 devId, UINT32 index);
// TRUE on success; with bHarden in disk mode only once the change is on the device.
BOOL bitmap_ChangeBits(Bitmap *pBm, UINT32 bitNum, UINT32 numOfBits, BOOL bSet, BOOL bHarden, BOOL bLock);
// ORs a byte-aligned source in, hardened, under the read lock.
BOOL bitmap_SetBits(Bitmap *pBm, UINT32 bitNum, UINT32 numOfBits, const UINT8 *pSrcBuf);
BOOL bitmap_Flush(Bitmap *pBm, BOOL bLock);

void bitmap_ReadBits(Bitmap *pBm, UINT32 bitNum, UINT32 numOfBits, UINT8 *pDstBuf);
BOOL bitmap_IsBitSet(Bitmap *pBm, UINT32 bit);
BOOL bitmap_IsAllSet(Bitmap *pBm, UINT32 bitNum, UINT32 numOfBits);
BOOL bitmap_IsAllReset(Bitmap *pBm, UINT32 bitNum, UINT32 numOfBits);
UINT32 bitmap_FindNextSetBit(Bitmap *pBm, UINT32 bitNum, UINT32 numOfBits);
UINT32 bitmap_FindLastSetBit(Bitmap *pBm, UINT32 bitNum, UINT32 numOfBits);
void bitmap_Print(Bitmap *pBm, UINT32 bitNum, UINT32 numOfBits, FILE *pOut);

void bitmap_Lock(Bitmap *pBm, BOOL bWrite);
void bitmap_Unlock(Bitmap *pBm, BOOL bWrite);
// The working image moves into a new segment; the bitmap stops writing to the device. FALSE
// when it is already shared.
BOOL bitmap_MoveToSharedMem(Bitmap *pBm, UINT64 devId, UINT32 index);
// Both images become private copies of the segment; the owner flushes, then destroys the
// segment when the result is TRUE.
BOOL bitmap_MoveToDisk(Bitmap *pBm, UINT32 index, File *pFile);
void bitmap_DestroyShm(Bitmap *pBm);
void bitmap_Destroy(Bitmap *pBm);
