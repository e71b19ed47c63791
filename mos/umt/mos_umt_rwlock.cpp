#include "mos/umt/mos_umt_rwlock.h"

#include <cstdlib>
#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_osthrd.h"
#include "mos/mos_trace.h"

namespace {
inline MosUMTRW_LockerType *mosUmtRWLock_KindOf(MosUmt *pUmt)
{
    return reinterpret_cast<MosUMTRW_LockerType *>(pUmt->scratchSpace);
}

inline MosUmt *mosUmtRWLock_Oldest(MosUmt_RWLockIntr *pRWLock)
{
    MosDList_Node *pNode = pRWLock->waitersList.pLast;
    return pNode == nullptr ? nullptr : MOS_CONTAINER_OF(pNode, MosUmt, node);
}

// Unlinks the oldest waiter and puts it back on a run queue; the caller has already counted it
// in the lock's state, so the woken uthread owns what it waited for.
void mosUmtRWLock_WakeOldest(MosUmt_RWLockIntr *pRWLock, MosUmt *pUmt)
{
    mosDList_Remove(&pRWLock->waitersList, &pUmt->node);
    *mosUmtRWLock_KindOf(pUmt) = MOS_UMT_RW_TYPE_NONE;
    mosUmt_ResumeUThread(pUmt);
}

void mosUmtRWLock_Wait(MosUmt_RWLockIntr *pRWLock, MosFastlock_Base *pFastlock, MosUMTRW_LockerType kind)
{
    MosUmt *pUmt = mosUmt_GetUThreadHdl();
    *mosUmtRWLock_KindOf(pUmt) = kind;
    mosDList_InsertHead(&pRWLock->waitersList, &pUmt->node);
    mosUmt_SuspendUThread(pFastlock, kind == MOS_UMT_RW_TYPE_READER ? MOS_OS_THRD__UMT_WAIT_TYPE__READER
                                                                   : MOS_OS_THRD__UMT_WAIT_TYPE__WRITER);
}

void mosUmtRWLockIntr_AssertIdle(const MosUmt_RWLockIntr *pRWLock)
{
    MOS_ASSERT(!pRWLock->bHasWriter);
    MOS_ASSERT(pRWLock->countActiveReaders == 0);
    MOS_ASSERT(pRWLock->waitersList.counter == 0);
}

void mosUmtRWLockArr_CheckRange(const MosUmt_RWLockArr *pRWLockArr, UINT32 startLock, UINT32 numOfLocks)
{
    // Written so that a huge count cannot wrap past the check.
    MOS_ASSERT_WITH_DESC(startLock <= pRWLockArr->size && numOfLocks <= pRWLockArr->size - startLock, "");
}
} // namespace

// ---------------------------------------------------------------------------------------------
// Lock state under the caller's fast lock

void mosUmtRWLockIntr_AcquireReadLock(MosUmt_RWLockIntr *pRWLock, MosFastlock_Base *pFastlock)
{
    MOS_ASSERT(mosOsThrd_NoIntrViolation());
    if (!pRWLock->bHasWriter && pRWLock->waitersList.counter == 0) {
        pRWLock->countActiveReaders++;
        return;
    }
    // The releaser counts this reader in before waking it.
    mosUmtRWLock_Wait(pRWLock, pFastlock, MOS_UMT_RW_TYPE_READER);
}

void mosUmtRWLockIntr_AcquireWriteLock(MosUmt_RWLockIntr *pRWLock, MosFastlock_Base *pFastlock)
{
    MOS_ASSERT(mosOsThrd_NoIntrViolation());
    if (pRWLock->countActiveReaders == 0 && !pRWLock->bHasWriter) {
        HMosUmt_UThread pUmt = mosUmt_GetUThreadHdlNoAssert();
        MOS_ASSERT(pUmt != ((void *)0));
        pRWLock->bHasWriter = TRUE;
        pRWLock->writer = pUmt;
        return;
    }
    mosUmtRWLock_Wait(pRWLock, pFastlock, MOS_UMT_RW_TYPE_WRITER);
    MOS_ASSERT(pRWLock->bHasWriter);
}

Mos_RC mosUmtRWLockIntr_TryAcquireReadLock(MosUmt_RWLockIntr *pRWLock)
{
    if (pRWLock->bHasWriter || pRWLock->waitersList.counter != 0)
        return MOS_RC__BUSY;
    pRWLock->countActiveReaders++;
    return MOS_RC__SUCCESS;
}

Mos_RC mosUmtRWLockIntr_TryAcquireWriteLock(MosUmt_RWLockIntr *pRWLock)
{
    if (pRWLock->countActiveReaders != 0 || pRWLock->bHasWriter)
        return MOS_RC__BUSY;
    pRWLock->bHasWriter = TRUE;
    pRWLock->writer = mosUmt_GetUThreadHdlNoAssert();
    return MOS_RC__SUCCESS;
}

void mosUmtRWLockIntr_ReleaseReadLock(MosUmt_RWLockIntr *pRWLock)
{
    MOS_ASSERT(pRWLock->countActiveReaders > 0);
    pRWLock->countActiveReaders--;
    if (pRWLock->countActiveReaders != 0)
        return;
    MosUmt *pOldest = mosUmtRWLock_Oldest(pRWLock);
    if (pOldest == nullptr)
        return;
    // Readers queue only behind someone, and a batch of readers is let in as a whole, so the
    // first in line behind the last reader is a writer.
    MosUMTRW_LockerType readerOrWriter = *mosUmtRWLock_KindOf(pOldest);
    MOS_ASSERT(readerOrWriter == MOS_UMT_RW_TYPE_WRITER);
    pRWLock->bHasWriter = TRUE;
    pRWLock->writer = pOldest;
    mosUmtRWLock_WakeOldest(pRWLock, pOldest);
}

void mosUmtRWLockIntr_ReleaseWriteLock(MosUmt_RWLockIntr *pRWLock)
{
    // The holder is not checked: an OS thread that took the lock with a try has no uthread to
    // record, and may release it as well.
    MOS_ASSERT(pRWLock->bHasWriter);
    pRWLock->bHasWriter = FALSE;
    pRWLock->writer = nullptr;
    MosUmt *pOldest = mosUmtRWLock_Oldest(pRWLock);
    if (pOldest == nullptr)
        return;
    if (*mosUmtRWLock_KindOf(pOldest) == MOS_UMT_RW_TYPE_WRITER) {
        pRWLock->bHasWriter = TRUE;
        pRWLock->writer = pOldest;
        mosUmtRWLock_WakeOldest(pRWLock, pOldest);
        return;
    }
    // The readers up to the next waiting writer go in together.
    while (pOldest != nullptr && *mosUmtRWLock_KindOf(pOldest) == MOS_UMT_RW_TYPE_READER) {
        pRWLock->countActiveReaders++;
        mosUmtRWLock_WakeOldest(pRWLock, pOldest);
        pOldest = mosUmtRWLock_Oldest(pRWLock);
    }
}

// ---------------------------------------------------------------------------------------------
// Lock with its own fast lock

void mosUmtRWLock_Init(MosUmt_RWLock *pRWLock)
{
    memset(static_cast<void *>(pRWLock), 0, sizeof(*pRWLock));
    MOS_FASTLOCK_CREATE(&pRWLock->fastlock, MOS_UMT_RWLOCK__LOCK_ID);
    mosDList_InitAnchor(&pRWLock->lock.waitersList);
}

void mosUmtRWLock_Destroy(MosUmt_RWLock *pRWLock)
{
    {
        MosFastlockGuard guard(&pRWLock->fastlock);
        mosUmtRWLockIntr_AssertIdle(&pRWLock->lock);
    }
    mosFastlockBase_Destroy(&pRWLock->fastlock);
}

void mosUmtRWLock_AcquireReadLock(MosUmt_RWLock *pRWLock)
{
    MosFastlockGuard guard(&pRWLock->fastlock);
    mosUmtRWLockIntr_AcquireReadLock(&pRWLock->lock, &pRWLock->fastlock);
}

void mosUmtRWLock_AcquireWriteLock(MosUmt_RWLock *pRWLock)
{
    MosFastlockGuard guard(&pRWLock->fastlock);
    mosUmtRWLockIntr_AcquireWriteLock(&pRWLock->lock, &pRWLock->fastlock);
}

Mos_RC mosUmtRWLock_TryAcquireReadLock(MosUmt_RWLock *pRWLock)
{
    MosFastlockGuard guard(&pRWLock->fastlock);
    return mosUmtRWLockIntr_TryAcquireReadLock(&pRWLock->lock);
}

Mos_RC mosUmtRWLock_TryAcquireWriteLock(MosUmt_RWLock *pRWLock)
{
    MosFastlockGuard guard(&pRWLock->fastlock);
    return mosUmtRWLockIntr_TryAcquireWriteLock(&pRWLock->lock);
}

void mosUmtRWLock_ReleaseReadLock(MosUmt_RWLock *pRWLock)
{
    MosFastlockGuard guard(&pRWLock->fastlock);
    mosUmtRWLockIntr_ReleaseReadLock(&pRWLock->lock);
}

void mosUmtRWLock_ReleaseWriteLock(MosUmt_RWLock *pRWLock)
{
    MosFastlockGuard guard(&pRWLock->fastlock);
    mosUmtRWLockIntr_ReleaseWriteLock(&pRWLock->lock);
}

// ---------------------------------------------------------------------------------------------
// Lock arrays

Mos_RC mosUmtRWLockArr_Init(MosUmt_RWLockArr *pRWLockArr, UINT32 size)
{
    memset(static_cast<void *>(pRWLockArr), 0, sizeof(*pRWLockArr));
    if (size == 0) {
        MOS_ERROR(MOS_COMP_UTHREAD, "a read-write lock array needs at least one lock");
        return MOS_RC__INVALID_ARG;
    }
    pRWLockArr->lockArr = static_cast<MosUmt_RWLockIntr *>(calloc(size, sizeof(MosUmt_RWLockIntr)));
    if (pRWLockArr->lockArr == nullptr) {
        MOS_ERROR(MOS_COMP_UTHREAD, "no memory for %u read-write locks", size);
        return MOS_RC__NO_MEMORY;
    }
    pRWLockArr->size = size;
    MOS_FASTLOCK_CREATE(&pRWLockArr->fastlock, MOS_UMT_RWLOCK_ARR__LOCK_ID);
    return MOS_RC__SUCCESS;
}

void mosUmtRWLockArr_Destroy(MosUmt_RWLockArr *pRWLockArr)
{
    if (pRWLockArr->lockArr == nullptr)
        return;
    {
        MosFastlockGuard guard(&pRWLockArr->fastlock);
        for (UINT32 i = 0; i < pRWLockArr->size; i++)
            mosUmtRWLockIntr_AssertIdle(&pRWLockArr->lockArr[i]);
    }
    mosFastlockBase_Destroy(&pRWLockArr->fastlock);
    free(pRWLockArr->lockArr);
    memset(static_cast<void *>(pRWLockArr), 0, sizeof(*pRWLockArr));
}

void mosUmtRWLockArr_AcquireReadLock(MosUmt_RWLockArr *pRWLockArr, UINT32 startLock, UINT32 numOfLocks)
{
    mosUmtRWLockArr_CheckRange(pRWLockArr, startLock, numOfLocks);
    MosFastlockGuard guard(&pRWLockArr->fastlock);
    for (UINT32 i = startLock; i < startLock + numOfLocks; i++)
        mosUmtRWLockIntr_AcquireReadLock(&pRWLockArr->lockArr[i], &pRWLockArr->fastlock);
}

void mosUmtRWLockArr_AcquireWriteLock(MosUmt_RWLockArr *pRWLockArr, UINT32 startLock, UINT32 numOfLocks)
{
    mosUmtRWLockArr_CheckRange(pRWLockArr, startLock, numOfLocks);
    MosFastlockGuard guard(&pRWLockArr->fastlock);
    for (UINT32 i = startLock; i < startLock + numOfLocks; i++)
        mosUmtRWLockIntr_AcquireWriteLock(&pRWLockArr->lockArr[i], &pRWLockArr->fastlock);
}

void mosUmtRWLockArr_ReleaseReadLock(MosUmt_RWLockArr *pRWLockArr, UINT32 startLock, UINT32 numOfLocks)
{
    mosUmtRWLockArr_CheckRange(pRWLockArr, startLock, numOfLocks);
    MosFastlockGuard guard(&pRWLockArr->fastlock);
    for (UINT32 i = startLock; i < startLock + numOfLocks; i++)
        mosUmtRWLockIntr_ReleaseReadLock(&pRWLockArr->lockArr[i]);
}

void mosUmtRWLockArr_ReleaseWriteLock(MosUmt_RWLockArr *pRWLockArr, UINT32 startLock, UINT32 numOfLocks)
{
    mosUmtRWLockArr_CheckRange(pRWLockArr, startLock, numOfLocks);
    MosFastlockGuard guard(&pRWLockArr->fastlock);
    for (UINT32 i = startLock; i < startLock + numOfLocks; i++)
        mosUmtRWLockIntr_ReleaseWriteLock(&pRWLockArr->lockArr[i]);
}
