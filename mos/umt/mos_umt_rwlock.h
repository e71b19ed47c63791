// Read-write locks of uthreads. Waiters are served strictly in arrival order: a reader that
// arrives while anyone waits queues behind them, so a stream of readers cannot starve a writer,
// and the readers queued between two writers are let in together as one batch.
//
// The Intrn operations work on a bare lock state guarded by a fast lock that the caller owns and
// holds; the plain operations bring their own fast lock.
#pragma once

#include "mos/mos_fastlock.h"
#include "mos/mos_rc.h"
#include "mos/mos_types.h"
#include "mos/umt/mos_umt.h"

// Creation identifiers of the fast locks of this module.
#define MOS_UMT_RWLOCK__LOCK_ID 16
#define MOS_UMT_RWLOCK_ARR__LOCK_ID 18

// What a waiting uthread wants; kept in its scratch space while it waits.
enum MosUMTRW_LockerType : UINT32 {
    MOS_UMT_RW_TYPE_NONE = 0,
    MOS_UMT_RW_TYPE_READER = 1,
    MOS_UMT_RW_TYPE_WRITER = 2,
};

struct MosUmt_RWLockIntr {
    UINT32 countActiveReaders;
    BOOL bHasWriter;
    MosUmt_UThreadListAnchor waitersList; // newest at the head, oldest at the tail
    HMosUmt_UThread writer;
};

struct MosUmt_RWLock {
    MosFastlock_Base fastlock;
    MosUmt_RWLockIntr lock;
};

// Many locks under one fast lock; a range of them is taken in ascending index order, so that two
// users of overlapping ranges cannot deadlock.
struct MosUmt_RWLockArr {
    MosFastlock_Base fastlock;
    UINT32 size;
    MosUmt_RWLockIntr *lockArr; // size entries
};

void mosUmtRWLock_Init(MosUmt_RWLock *pRWLock);
void mosUmtRWLock_Destroy(MosUmt_RWLock *pRWLock);
void mosUmtRWLock_AcquireReadLock(MosUmt_RWLock *pRWLock);
void mosUmtRWLock_AcquireWriteLock(MosUmt_RWLock *pRWLock);
Mos_RC mosUmtRWLock_TryAcquireReadLock(MosUmt_RWLock *pRWLock);
Mos_RC mosUmtRWLock_TryAcquireWriteLock(MosUmt_RWLock *pRWLock);
void mosUmtRWLock_ReleaseReadLock(MosUmt_RWLock *pRWLock);
void mosUmtRWLock_ReleaseWriteLock(MosUmt_RWLock *pRWLock);

// pFastlock guards pRWLock and is held by the caller; a blocked acquire suspends with it and
// returns holding it again.
void mosUmtRWLockIntr_AcquireReadLock(MosUmt_RWLockIntr *pRWLock, MosFastlock_Base *pFastlock);
void mosUmtRWLockIntr_AcquireWriteLock(MosUmt_RWLockIntr *pRWLock, MosFastlock_Base *pFastlock);
Mos_RC mosUmtRWLockIntr_TryAcquireReadLock(MosUmt_RWLockIntr *pRWLock);
Mos_RC mosUmtRWLockIntr_TryAcquireWriteLock(MosUmt_RWLockIntr *pRWLock);
void mosUmtRWLockIntr_ReleaseReadLock(MosUmt_RWLockIntr *pRWLock);
void mosUmtRWLockIntr_ReleaseWriteLock(MosUmt_RWLockIntr *pRWLock);

// MOS_RC__INVALID_ARG for an empty array, MOS_RC__NO_MEMORY when memory is short.
Mos_RC mosUmtRWLockArr_Init(MosUmt_RWLockArr *pRWLockArr, UINT32 size);
void mosUmtRWLockArr_Destroy(MosUmt_RWLockArr *pRWLockArr);
void mosUmtRWLockArr_AcquireReadLock(MosUmt_RWLockArr *pRWLockArr, UINT32 startLock, UINT32 numOfLocks);
void mosUmtRWLockArr_AcquireWriteLock(MosUmt_RWLockArr *pRWLockArr, UINT32 startLock, UINT32 numOfLocks);
void mosUmtRWLockArr_ReleaseReadLock(MosUmt_RWLockArr *pRWLockArr, UINT32 startLock, UINT32 numOfLocks);
void mosUmtRWLockArr_ReleaseWriteLock(MosUmt_RWLockArr *pRWLockArr, UINT32 startLock, UINT32 numOfLocks);
