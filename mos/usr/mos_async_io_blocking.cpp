// The blocking forms of asynchronous I/O, for user-mode threads: one transfer, a bulk waited for
// together, a transfer with a time budget, and zero writes of any length. Each waits on a
// uthread semaphore that its completion raises.
#include "mos/usr/mos_async_io_intrn.h"

#include <atomic>
#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"
#include "mos/umt/mos_umt.h"

namespace {

// A semaphore wait in milliseconds below the bit that names a timer queue (about three days).
constexpr UINT64 kMaxWaitMillis = MOS_UMT_COND__TIMEOUT_BY_Q - 1;

UINT32 mosAsyncIO_WaitMillis(UINT64 millis)
{
    return millis > kMaxWaitMillis ? (UINT32)kMaxWaitMillis : (UINT32)millis;
}

// The private memory of one timed transfer: this record in one logical block, and the buffer
// that the kernel reads or fills. Whoever finishes with the transfer last returns both: the
// waiter, or the late completion when the waiter gave up.
struct MosAsyncIOReq_Timed {
    MosAsyncIOReq_Sync syncReq;
    MosAsyncIO_LateIo late;
    MosAsyncIO *pAsyncIO;
    void *pPrivBuf;
    UINT32 bufLb;
};
static_assert(offsetof(MosAsyncIOReq_Timed, syncReq) == 0, "the completion is reached from the request");
static_assert(sizeof(MosAsyncIOReq_Timed) <= MOS_LB_SIZE, "the record takes one logical block");
static_assert(offsetof(MosAsyncIOReq_Sync, req) == 0, "the completion is reached from the request");

// Debug time-out mode: TRUE once deltaGoodIos synchronous operations have run; from then on
// every synchronous operation fails without I/O.
BOOL mosAsyncIO_DebugTimeoutDue(void)
{
    MosAsyncIO_Layer *pLayer = mosAsyncIOLayer_Get();
    if (!pLayer->params.bDebugTimeouts)
        return FALSE;
    UINT64 before = std::atomic_ref<UINT64>(pLayer->goodIOs).fetch_add(1);
    return before >= pLayer->params.deltaGoodIos ? TRUE : FALSE;
}

void mosAsyncIO_DebugTimeoutWait(MosUmt_Sem *pSem)
{
    UINT32 millis = mosAsyncIOLayer_Get()->params.millisTimeout;
    if (millis != 0)
        mosUmtSem_DecTimed(pSem, 1, mosAsyncIO_WaitMillis(millis));
}

void mosAsyncIO_FreeTimed(MosAsyncIO *pAsyncIO, MosAsyncIOReq_Timed *pTimed, void *pPrivBuf, UINT32 bufLb)
{
    if (pPrivBuf != nullptr)
        pAsyncIO->memFreeFunc(pAsyncIO->memPool, pPrivBuf, bufLb);
    if (pTimed != nullptr)
        pAsyncIO->memFreeFunc(pAsyncIO->memPool, pTimed, 1);
}

void mosAsyncIO_AssertOnUmt(void)
{
    MOS_ASSERT_WITH_DESC(mosUmt_GetUThreadHdlNoAssert() != nullptr,
                         "synchronous I/O waits on a semaphore and runs on a user-mode thread");
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Synchronous transfers.

void mosAsyncIO_SyncCK(MosAsyncObj *pObj, INT32 rc)
{
    MOS_UNUSED(rc);
    MosAsyncIOReq_Sync *pSync = reinterpret_cast<MosAsyncIOReq_Sync *>(pObj);
    pSync->req.ioTimeInTicks = mosTicks_GetCurrentTick() - pSync->req.ioSubmitedTick;
    // The waiter may go on (and drop the request) as soon as the semaphore is raised.
    mosUmtSem_IncInter(pSync->pSem, 1, TRUE);
}

Mos_RC mosAsyncIO_DoIOSyncBulk(MosAsyncIO_BulkReq *pBulkReq, UINT32 numBulkReqs)
{
    MOS_ASSERT(pBulkReq != ((void *)0));
    MOS_ASSERT(numBulkReqs != 0);
    mosAsyncIO_AssertOnUmt();
    MosUmt_Sem sem;
    mosUmtSem_Init(&sem);
    if (mosAsyncIO_DebugTimeoutDue()) {
        mosAsyncIO_DebugTimeoutWait(&sem);
        mosUmtSem_Destroy(&sem);
        return MOS_RC__TIMEOUT;
    }
    for (UINT32 i = 0; i < numBulkReqs; i++) {
        if (!mosAsyncIO_RangeFits(pBulkReq[i].offset, pBulkReq[i].size)) {
            mosUmtSem_Destroy(&sem);
            return MOS_RC__INVALID_ARG;
        }
    }
    for (UINT32 i = 0; i < numBulkReqs; i++) {
        MosAsyncIO_BulkReq *pElem = &pBulkReq[i];
        mosAsyncIOReq_Init(&pElem->syncReq.req, pElem->pFile, mosAsyncIO_SyncCK, pElem->pBuf, pElem->offset,
                           pElem->size, pElem->bWrite);
        pElem->syncReq.pSem = &sem;
        Mos_RC rc = mosAsyncIO_DoIO(&pElem->syncReq.req);
        MOS_ASSERT(rc == MOS_RC__PENDING);
    }
    Mos_RC waitRc = mosUmtSem_DecTimed(&sem, numBulkReqs, 0);
    MOS_ASSERT(waitRc == MOS_RC__SUCCESS);
    mosUmtSem_Destroy(&sem);
    for (UINT32 i = 0; i < numBulkReqs; i++) {
        MosAsyncIO_BulkReq *pElem = &pBulkReq[i];
        if (!mosAsyncIOReq_IsSuccess(&pElem->syncReq.req)) {
            MOS_TRACE(MOS_COMP_IO, MOS_FREQ_LOW, "IO request %u of %u failed. offset: %lu size: %u bWrite: %u", i,
                      numBulkReqs, (unsigned long)pElem->offset, pElem->size, (unsigned)pElem->bWrite);
            return MOS_RC__ERROR;
        }
    }
    return MOS_RC__SUCCESS;
}

Mos_RC mosAsyncIO_DoIOSyncEx(MosAsyncIO_FileHandle *pFileHandle, UINT64 offset, void *pBuf, UINT32 size, BOOL bWrite,
                             MosTicks_Cnt *pIoTimeInTicks)
{
    MosAsyncIO_BulkReq bulk{};
    bulk.pFile = pFileHandle->pFile;
    bulk.offset = offset;
    bulk.pBuf = pBuf;
    bulk.size = size;
    bulk.bWrite = bWrite;
    Mos_RC rc = mosAsyncIO_DoIOSyncBulk(&bulk, 1);
    if (pIoTimeInTicks != nullptr)
        *pIoTimeInTicks = bulk.syncReq.req.ioTimeInTicks;
    return rc;
}

Mos_RC mosAsyncIO_DoIOSync(MosAsyncIO_FileHandle *pFileHandle, UINT64 offset, void *pBuf, UINT32 size, BOOL bWrite)
{
    return mosAsyncIO_DoIOSyncEx(pFileHandle, offset, pBuf, size, bWrite, nullptr);
}

// ---------------------------------------------------------------------------------------------
// Timed transfers.

void mosAsyncIO_TimedSyncCK(MosAsyncObj *pObj, INT32 rc)
{
    MOS_UNUSED(rc);
    MosAsyncIOReq_Timed *pTimed = reinterpret_cast<MosAsyncIOReq_Timed *>(pObj);
    MosAsyncIO_Req *pReq = &pTimed->syncReq.req;
    MosAsyncIO_File *pFile = pReq->pFile;
    pReq->ioTimeInTicks = mosTicks_GetCurrentTick() - pReq->ioSubmitedTick;
    mosFastlockBase_Acquire(&pFile->timedIoLock);
    MosUmt_Sem *pSem = pTimed->syncReq.pSem;
    if (pSem != nullptr) {
        pTimed->syncReq.pSem = nullptr;
        mosUmtSem_IncInter(pSem, 1, TRUE);
        mosFastlockBase_Release(&pFile->timedIoLock);
        return;
    }
    mosFastlockBase_Release(&pFile->timedIoLock);
    // The waiter gave up: the transfer has landed now, so its fence goes, and its memory is ours.
    mosAsyncIOFile_LateIoArrived(pFile, &pTimed->late);
    mosAsyncIO_FreeTimed(pTimed->pAsyncIO, pTimed, pTimed->pPrivBuf, pTimed->bufLb);
}

Mos_RC mosAsyncIO_DoIOTimedSync(MosAsyncIO_FileHandle *pFileHandle, UINT64 offset, void *pBuf, UINT32 size,
                                BOOL bWrite, UINT64 timeLimitInMillis, MosTicks_Cnt *pIoTimeInTicks)
{
    MOS_ASSERT(pFileHandle != ((void *)0));
    mosAsyncIO_AssertOnUmt();
    MosAsyncIO_File *pFile = pFileHandle->pFile;
    MosAsyncIO *pAsyncIO = pFile->pAsyncIO;
    if (size == 0 || pBuf == nullptr) {
        MOS_ERROR(MOS_COMP_IO, "A timed transfer needs a buffer and a size (size %u)", size);
        return MOS_RC__INVALID_ARG;
    }
    if (!mosAsyncIO_RangeFits(offset, size))
        return MOS_RC__INVALID_ARG;
    UINT32 bufLb = (UINT32)(((UINT64)size + MOS_LB_SIZE - 1) / MOS_LB_SIZE);
    MosAsyncIOReq_Timed *pTimed = static_cast<MosAsyncIOReq_Timed *>(pAsyncIO->memAllocFunc(pAsyncIO->memPool, 1));
    void *pPrivBuf = pAsyncIO->memAllocFunc(pAsyncIO->memPool, bufLb);
    if (pTimed == nullptr || pPrivBuf == nullptr) {
        MOS_ERROR(MOS_COMP_IO, "No memory for a timed transfer of %u bytes to %s", size, pFile->pPath);
        mosAsyncIO_FreeTimed(pAsyncIO, pTimed, pPrivBuf, bufLb);
        return MOS_RC__NO_RESOURCES;
    }
    if (bWrite)
        memcpy(pPrivBuf, pBuf, size);

    MosUmt_Sem sem;
    mosUmtSem_Init(&sem);
    if (mosAsyncIO_DebugTimeoutDue()) {
        mosAsyncIO_DebugTimeoutWait(&sem);
        mosUmtSem_Destroy(&sem);
        if (pIoTimeInTicks != nullptr)
            *pIoTimeInTicks = mosTicks_MillisToTicks(timeLimitInMillis);
        mosAsyncIO_FreeTimed(pAsyncIO, pTimed, pPrivBuf, bufLb);
        return MOS_RC__ERROR;
    }

    memset(pTimed, 0, sizeof(*pTimed));
    pTimed->pAsyncIO = pAsyncIO;
    pTimed->pPrivBuf = pPrivBuf;
    pTimed->bufLb = bufLb;
    mosDList_InitNode(&pTimed->late.node);
    pTimed->late.offset = offset;
    pTimed->late.size = size;
    pTimed->late.bFence = bWrite;
    MosAsyncIO_Req *pReq = &pTimed->syncReq.req;
    pTimed->late.pReq = pReq;
    mosAsyncIOReq_Init(pReq, pFile, mosAsyncIO_TimedSyncCK, pPrivBuf, offset, size, bWrite);
    pTimed->syncReq.pSem = &sem;
    Mos_RC rc = mosAsyncIO_DoIO(pReq);
    MOS_ASSERT(rc == MOS_RC__PENDING);

    Mos_RC waitRc = timeLimitInMillis == 0 ? mosUmtSem_TryDec(&sem, 1)
                                           : mosUmtSem_DecTimed(&sem, 1, mosAsyncIO_WaitMillis(timeLimitInMillis));
    if (waitRc != MOS_RC__SUCCESS) {
        mosFastlockBase_Acquire(&pFile->timedIoLock);
        if (pTimed->syncReq.pSem != nullptr) {
            MOS_TRACE(MOS_COMP_IO, MOS_FREQ_LOW, "Time budget exceeded during IO to %s (Give-up on inflight IO)",
                      pFile->pPath);
            pTimed->syncReq.pSem = nullptr;
            // Until the transfer completes its memory is the completion's, and a write keeps its
            // range fenced so that no later request to it can land first.
            mosAsyncIOFile_AddLateIo(pFile, &pTimed->late);
            mosFastlockBase_Release(&pFile->timedIoLock);
            mosUmtSem_Destroy(&sem);
            if (pIoTimeInTicks != nullptr)
                *pIoTimeInTicks = mosTicks_MillisToTicks(timeLimitInMillis);
            return MOS_RC__ERROR;
        }
        // The completion came meanwhile.
        mosFastlockBase_Release(&pFile->timedIoLock);
    }
    mosUmtSem_Destroy(&sem);

    if (mosAsyncIOReq_IsSuccess(pReq)) {
        rc = MOS_RC__SUCCESS;
        if (!bWrite)
            memcpy(pBuf, pPrivBuf, size);
    } else {
        MOS_TRACE(MOS_COMP_IO, MOS_FREQ_LOW, "IO request failed. offset: %lu size: %u bWrite: %u",
                  (unsigned long)offset, size, (unsigned)bWrite);
        rc = MOS_RC__ERROR;
    }
    if (pIoTimeInTicks != nullptr)
        *pIoTimeInTicks = pReq->ioTimeInTicks;
    mosAsyncIO_FreeTimed(pAsyncIO, pTimed, pPrivBuf, bufLb);
    return rc;
}

// ---------------------------------------------------------------------------------------------
// Zero writes.

namespace {

Mos_RC mosAsyncIO_WriteZeroPieces(MosAsyncIO_FileHandle *pFileHandle, UINT64 offset, UINT64 size, BOOL bTimed,
                                  MosTicks_Cnt deadline, MosTicks_Cnt *pIoTimeInTicks)
{
    MosAsyncIO_File *pFile = pFileHandle->pFile;
    MOS_ASSERT(size != 0);
    MOS_ASSERT_WITH_DESC(!std::atomic_ref<BOOL>(pFile->bClosing).load(), "a zero write to a file that is closing");
    UINT32 zeroBufSize = 0;
    void *pZeroBuf = const_cast<void *>(mosIOLayer_ZeroBufDetails(&zeroBufSize));
    MosTicks_Cnt totalTicks = 0;
    Mos_RC rc = MOS_RC__SUCCESS;
    while (size != 0) {
        UINT32 writeSize = size < zeroBufSize ? (UINT32)size : zeroBufSize;
        MosTicks_Cnt pieceTicks = 0;
        if (bTimed) {
            UINT64 budget = mosTicks_TimeLimitMilliBudget(deadline);
            if (budget == 0) {
                MOS_TRACE(MOS_COMP_IO, MOS_FREQ_MED, "Time budget exceeded during IO to %s, offset = %lu, writeSize = %u",
                          pFile->pPath, (unsigned long)offset, writeSize);
                rc = MOS_RC__TIMEOUT;
                break;
            }
            rc = mosAsyncIO_DoIOTimedSync(pFileHandle, offset, pZeroBuf, writeSize, TRUE, budget, &pieceTicks);
            if (rc != MOS_RC__SUCCESS) {
                MOS_TRACE(MOS_COMP_IO, MOS_FREQ_MED, "mosAsyncIO_DoIOTimedSync returned %s, offset = %lu, writeSize = %u",
                          MOS_RC__GET_STR(rc), (unsigned long)offset, writeSize);
            }
        } else {
            rc = mosAsyncIO_DoIOSyncEx(pFileHandle, offset, pZeroBuf, writeSize, TRUE, &pieceTicks);
            if (rc != MOS_RC__SUCCESS) {
                MOS_TRACE(MOS_COMP_IO, MOS_FREQ_MED, "mosAsyncIO_DoIOSync returned %s, offset = %lu, writeSize = %u",
                          MOS_RC__GET_STR(rc), (unsigned long)offset, writeSize);
            }
        }
        totalTicks += pieceTicks;
        if (rc != MOS_RC__SUCCESS)
            break;
        offset += writeSize;
        size -= writeSize;
    }
    if (pIoTimeInTicks != nullptr)
        *pIoTimeInTicks = totalTicks;
    return rc;
}

} // namespace

Mos_RC mosAsyncIO_WriteZeroSync(MosAsyncIO_FileHandle *pFileHandle, UINT64 offset, UINT64 size,
                                MosTicks_Cnt *pIoTimeInTicks)
{
    return mosAsyncIO_WriteZeroPieces(pFileHandle, offset, size, FALSE, 0, pIoTimeInTicks);
}

Mos_RC mosAsyncIO_WriteZeroTimedSync(MosAsyncIO_FileHandle *pFileHandle, UINT64 offset, UINT64 size,
                                     UINT64 timeLimitInMillis, MosTicks_Cnt *pIoTimeInTicks)
{
    if (timeLimitInMillis == MOS_ASYNC_IO__NO_TIME_LIMIT)
        return mosAsyncIO_WriteZeroSync(pFileHandle, offset, size, pIoTimeInTicks);
    MOS_ASSERT(size != 0);
    if (timeLimitInMillis == 0) {
        MOS_TRACE(MOS_COMP_IO, MOS_FREQ_LOW, "Time budget exceeded during IO to %s", pFileHandle->pFile->pPath);
        if (pIoTimeInTicks != nullptr)
            *pIoTimeInTicks = 0;
        return MOS_RC__TIMEOUT;
    }
    MosTicks_Cnt deadline = mosTicks_GetCurrentTick() + mosTicks_MillisToTicks(timeLimitInMillis);
    if (deadline == 0)
        deadline = 1; // 0 would read as "no deadline"
    return mosAsyncIO_WriteZeroPieces(pFileHandle, offset, size, TRUE, deadline, pIoTimeInTicks);
}
