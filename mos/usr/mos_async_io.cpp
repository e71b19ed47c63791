// The engine of asynchronous I/O: the layer, contexts and their reapers, files, admission at the
// file and the context, fences behind given-up writes, and completions. The kernel is reached
// only through the context's backend table.
#include "mos/usr/mos_async_io_intrn.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "mos/mit/mos_mit.h"
#include "mos/mos_assert.h"
#include "mos/mos_diag_counters.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"
#include "mos/sdbg/sdbg_exports.h"

#define MOS_AIO_WARNING(format, ...)                                                                \
    do {                                                                                            \
        MOS_TRACE(MOS_COMP_IO, MOS_FREQ_LOW, "WARNING: " format, ##__VA_ARGS__);                    \
        mosError_Do(MOS_COMP_IO, MOS_FREQ_LOW, "%s:%05u: WARNING: " format "\n", __func__,           \
                    (unsigned)__LINE__, ##__VA_ARGS__);                                             \
    } while (0)

// How long destroying a context waits for deferred closes that its reapers are completing.
constexpr UINT32 MOS_ASYNC_IO__DESTROY_CLOSE_WAIT_MILLIS = 10000;

namespace {

MosAsyncIO_Layer asyncIOLayer_G;

template <typename T> std::atomic_ref<T> mosAio_Atomic(T &value)
{
    return std::atomic_ref<T>(value);
}

void mosAsyncIO_QueryCK(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    MOS_UNUSED(pName);
    MosAsyncIO *pAsyncIO = MOS_CONTAINER_OF(pObj, MosAsyncIO, obj);
    MosAsyncIO_Query *pQuery = static_cast<MosAsyncIO_Query *>(pData);
    MosFastlockGuard guard(&pAsyncIO->os.lock);
    pQuery->bDie = (UINT32)std::atomic_ref<BOOL>(pAsyncIO->bDie).load();
    pQuery->inflights = pAsyncIO->inflights;
    pQuery->maxInflights = pAsyncIO->maxInflights;
    pQuery->waiters = pAsyncIO->os.waiters.counter;
    pQuery->thrdNum = pAsyncIO->thrdNum;
    pQuery->krnLowRsrc = pAsyncIO->krnLowRsrc;
}

void mosAsyncIOFile_QueryCK(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    MOS_UNUSED(pName);
    MosAsyncIO_File *pFile = MOS_CONTAINER_OF(pObj, MosAsyncIO_File, obj);
    MosAsyncIOFile_Query *pQuery = static_cast<MosAsyncIOFile_Query *>(pData);
    MosFastlockGuard guard(&pFile->os.lock);
    pQuery->inflights = pFile->inflights;
    pQuery->maxInflights = pFile->maxInflights;
    pQuery->waiters = pFile->os.waiters.counter;
}

void *mosAsyncIO_DefaultMemAlloc(void *pMemPool, UINT32 sizeInLb)
{
    MOS_UNUSED(pMemPool);
    size_t bytes = (size_t)sizeInLb * MOS_LB_SIZE;
    void *pMem = mos_AllocPageAligned(bytes);
    if (pMem != nullptr)
        memset(pMem, 0, bytes);
    return pMem;
}

void mosAsyncIO_DefaultMemFree(void *pMemPool, void *pMem, UINT32 sizeInLb)
{
    MOS_UNUSED(pMemPool);
    MOS_UNUSED(sizeInLb);
    mos_FreePageAligned(pMem);
}

inline MosAsyncIO_Req *mosAsyncIO_ReqOfNode(MosDList_Node *pNode)
{
    return reinterpret_cast<MosAsyncIO_Req *>(pNode);
}
static_assert(offsetof(MosAsyncIO_Req, callerCK) == 0 && offsetof(MosAsyncObj, node) == 0,
              "a queued request is reached from its list node");

inline BOOL mosAsyncIO_RangesOverlap(UINT64 aOffset, UINT64 aSize, UINT64 bOffset, UINT64 bSize)
{
    return aOffset < bOffset + bSize && bOffset < aOffset + aSize;
}

BOOL mosAsyncIOFile_hasWaitersOrInflights(const MosAsyncIO_File *pFile)
{
    return pFile->inflights != 0 || pFile->os.waiters.counter != 0 || pFile->os.fenced.counter != 0 ||
           pFile->os.submitted.counter != 0;
}

// Must a request wait until a late write has landed? It must when it overlaps one, or overlaps
// a request already held back (which it must not overtake). Called with the file's OS lock.
BOOL mosAsyncIOFile_IsFencedLocked(MosAsyncIO_File *pFile, const MosAsyncIO_Req *pReq, const MosDList_Anchor *pHeld)
{
    UINT64 offset = mosAsyncIOOs_ReqOffset(&pReq->req);
    UINT64 size = mosAsyncIOOs_ReqSize(&pReq->req);
    for (MosDList_Node *p = mosDList_First(&pFile->os.lateWrites); p != nullptr; p = mosDList_Next(p)) {
        const MosAsyncIO_LateIo *pLate = reinterpret_cast<const MosAsyncIO_LateIo *>(p);
        if (pLate->pReq != pReq && mosAsyncIO_RangesOverlap(offset, size, pLate->offset, pLate->size))
            return TRUE;
    }
    for (MosDList_Node *p = mosDList_First(pHeld); p != nullptr; p = mosDList_Next(p)) {
        const MosAsyncIO_Req *pOther = mosAsyncIO_ReqOfNode(p);
        if (mosAsyncIO_RangesOverlap(offset, size, mosAsyncIOOs_ReqOffset(&pOther->req), mosAsyncIOOs_ReqSize(&pOther->req)))
            return TRUE;
    }
    return FALSE;
}
static_assert(offsetof(MosAsyncIO_LateIo, node) == 0, "a late transfer is reached from its list node");

// Admission at the file, with its OS lock held. TRUE: the request took a file slot and goes on
// to the context (the caller submits it after releasing the lock); FALSE: it waits at the file.
BOOL mosAsyncIOFile_AdmitLocked(MosAsyncIO_File *pFile, MosAsyncIO_Req *pReq)
{
    MosAsyncIO_FileOS *pOs = &pFile->os;
    if (pOs->pSubmitter == nullptr && pOs->waiters.counter == 0 && pFile->inflights < pFile->maxInflights) {
        pFile->inflights++;
        return TRUE;
    }
    MOS_ASSERT((&pReq->callerCK.node)->pPrev == ((void *)0));
    mosDList_InsertTail(&pOs->waiters, &pReq->callerCK.node);
    if (pOs->pSubmitter != nullptr && pOs->waiters.counter == 1)
        mosOSWCond_Signal(&pOs->pSubmitter->cond);
    return FALSE;
}

void mosAsyncIO_SubmitterLoop(void *pArg);
void mosAsyncIOFile_Close(MosAsyncIO_File *pFile);

// Drops one reference; the last one closes the file.
void mosAsyncIOFile_Release(MosAsyncIO_File *pFile)
{
    if (mosAio_Atomic(pFile->refCount).fetch_sub(1) != 1)
        return;
    MOS_ASSERT_WITH_DESC(mosAio_Atomic(pFile->bClosing).load(), "the last reference of a file that is not closing went");
    mosAsyncIOFile_Close(pFile);
}

} // namespace

// The kernel refuses (at submission, which the engine treats as a broken invariant) a range
// that does not fit a signed 64-bit file position.
BOOL mosAsyncIO_RangeFits(UINT64 offset, UINT32 size)
{
    if (offset <= (UINT64)INT64_MAX - size)
        return TRUE;
    MOS_ERROR(MOS_COMP_IO, "Transfer of %u bytes at offset %lu is beyond any file", size, (unsigned long)offset);
    return FALSE;
}

MosAsyncIO_Layer *mosAsyncIOLayer_Get(void)
{
    return &asyncIOLayer_G;
}

Mos_RC mosAsyncIOLayer_Create(const MosAsyncIO_InitParams *pInitParams)
{
    MOS_ASSERT_WITH_DESC(!asyncIOLayer_G.bInit, "the asynchronous I/O layer is started twice");
    memset(&asyncIOLayer_G, 0, sizeof(asyncIOLayer_G));
    mosObjType_RegObjType(&asyncIOLayer_G.asyncIOType, mosAsyncIO_QueryCK, nullptr, SDBG_EXPORTS_OBJ_TYPE__MOS_ASYNC_IO,
                          sizeof(MosAsyncIO_Query));
    mosObjType_RegObjType(&asyncIOLayer_G.fileType, mosAsyncIOFile_QueryCK, nullptr,
                          SDBG_EXPORTS_OBJ_TYPE__MOS_ASYNC_IO_FILE, sizeof(MosAsyncIOFile_Query));
    if (pInitParams != nullptr)
        asyncIOLayer_G.params = *pInitParams;
    asyncIOLayer_G.bInit = TRUE;
    return MOS_RC__SUCCESS;
}

void mosAsyncIOLayer_Destroy(void)
{
    if (!asyncIOLayer_G.bInit)
        return;
    mosObjType_UnregObjType(&asyncIOLayer_G.fileType);
    mosObjType_UnregObjType(&asyncIOLayer_G.asyncIOType);
    asyncIOLayer_G.bInit = FALSE;
}

// ---------------------------------------------------------------------------------------------
// Transfers of micro-tasks.

void mosAsyncIO_MitCK(MosAsyncObj *pObj, INT32 rc)
{
    MosAsyncIOReq_Mit *pReq = reinterpret_cast<MosAsyncIOReq_Mit *>(pObj);
    // The task's scheduler decides where it runs on; it may reuse the request at once.
    mosMit_Resume(pReq->pMit, rc == MOS_RC__SUCCESS ? MOS_RC__SUCCESS : MOS_RC__ERROR);
}

void mosAsyncIO_InitMitReq(MosMit *pMit, MosAsyncIOReq_Mit *pReq, MosAsyncIO_File *pFile, void *pBuf, UINT64 offset,
                           UINT32 size, BOOL bWrite)
{
    MOS_ASSERT(pMit != ((void *)0));
    pReq->pMit = pMit;
    mosAsyncIOReq_Init(&pReq->req, pFile, mosAsyncIO_MitCK, pBuf, offset, size, bWrite);
}

// ---------------------------------------------------------------------------------------------
// Submission.

namespace {

Mos_RC mosAsyncIO_DoSubmit(MosAsyncIO *pAsyncIO, MosAsyncIO_Req *pReq)
{
    MosAsyncIO_OS *pOs = &pAsyncIO->os;
    mosFastlockBase_Acquire(&pOs->lock);
    MOS_ASSERT_WITH_DESC(pAsyncIO->inflights <= pAsyncIO->maxInflights, "");
    if (pOs->waiters.counter != 0 || pAsyncIO->inflights == pAsyncIO->maxInflights) {
        MOS_DIAG_COUNT(IO_THROTTLED_TO_WAITER_LIST);
        mosDList_InsertTail(&pOs->waiters, &pReq->callerCK.node);
        mosFastlockBase_Release(&pOs->lock);
        return MOS_RC__PENDING;
    }
    pAsyncIO->inflights++;
    mosFastlockBase_Release(&pOs->lock);

    MosAsyncIO_File *pFile = pReq->pFile;
    pReq->ioSubmitedTick = mosTicks_GetCurrentTick();
    pReq->ioTimeInTicks = 0;
    mosFastlockBase_Acquire(&pFile->os.lock);
    mosDList_InsertTail(&pFile->os.submitted, &pReq->callerCK.node);
    mosFastlockBase_Release(&pFile->os.lock);

    // Once the kernel has taken it, the request may complete (and be reused) at any moment.
    MosAsyncIO_OsReq *pIocb = &pReq->req;
    int ret = pOs->pBackend->pSubmit(pOs->pBackend->pArg, pOs->osPort, 1, &pIocb);
    if (ret == 1)
        return MOS_RC__PENDING;
    MOS_ASSERT_WITH_DESC(ret != 0, "the kernel took none of one request and reported no error");
    int lastError = -ret;
    MOS_ASSERT_WITH_DESC(lastError == EAGAIN, strerror(lastError));

    mosFastlockBase_Acquire(&pFile->os.lock);
    mosDList_Remove(&pFile->os.submitted, &pReq->callerCK.node);
    pReq->ioSubmitedTick = 0;
    mosFastlockBase_Release(&pFile->os.lock);

    mosFastlockBase_Acquire(&pOs->lock);
    pAsyncIO->krnLowRsrc++;
    MOS_DIAG_COUNT(IO_THROTTLED_TO_WAITER_LIST);
    mosDList_InsertTail(&pOs->waiters, &pReq->callerCK.node);
    pAsyncIO->inflights--;
    mosFastlockBase_Release(&pOs->lock);
    return MOS_RC__PENDING;
}

// Submits a reaper's dispatch list (requests that already hold context slots) in batches. What
// the kernel refuses goes back to the head of the context's queue, in order, and ends the pass.
void mosAsyncIO_Dispatch(MosAsyncIO *pAsyncIO, MosDList_Anchor *pList)
{
    MosAsyncIO_OS *pOs = &pAsyncIO->os;
    while (pList->counter != 0) {
        MosAsyncIO_Req *batch[MOS_ASYNC_IO__REAPER_BATCH];
        MosAsyncIO_OsReq *iocbs[MOS_ASYNC_IO__REAPER_BATCH];
        UINT32 n = 0;
        while (n < MOS_ASYNC_IO__REAPER_BATCH && pList->counter != 0) {
            batch[n] = mosAsyncIO_ReqOfNode(mosDList_RemoveHead(pList));
            iocbs[n] = &batch[n]->req;
            n++;
        }
        MosTicks_Cnt now = mosTicks_GetCurrentTick();
        for (UINT32 i = 0; i < n; i++) {
            MosAsyncIO_File *pFile = batch[i]->pFile;
            batch[i]->ioSubmitedTick = now;
            batch[i]->ioTimeInTicks = 0;
            mosFastlockBase_Acquire(&pFile->os.lock);
            mosDList_InsertTail(&pFile->os.submitted, &batch[i]->callerCK.node);
            mosFastlockBase_Release(&pFile->os.lock);
        }
        int ret = pOs->pBackend->pSubmit(pOs->pBackend->pArg, pOs->osPort, (long)n, iocbs);
        if (ret == (int)n)
            continue;
        MOS_ASSERT_WITH_DESC(ret != 0, "the kernel took none of a batch and reported no error");
        MOS_ASSERT_WITH_DESC(!(ret < 0 && ret != -EAGAIN), strerror(-ret));

        UINT32 taken = ret > 0 ? (UINT32)ret : 0;
        for (UINT32 i = taken; i < n; i++) {
            MosAsyncIO_File *pFile = batch[i]->pFile;
            mosFastlockBase_Acquire(&pFile->os.lock);
            mosDList_Remove(&pFile->os.submitted, &batch[i]->callerCK.node);
            batch[i]->ioSubmitedTick = 0;
            mosFastlockBase_Release(&pFile->os.lock);
        }
        UINT32 back = (n - taken) + pList->counter;
        mosFastlockBase_Acquire(&pOs->lock);
        // Back to the head in their order: the rest of the list behind the refused part of the batch.
        while (pList->counter != 0) {
            MosDList_Node *pLast = pList->pLast;
            mosDList_Remove(pList, pLast);
            mosDList_InsertHead(&pOs->waiters, pLast);
        }
        for (UINT32 i = n; i > taken; i--)
            mosDList_InsertHead(&pOs->waiters, &batch[i - 1]->callerCK.node);
        if (ret < 0)
            pAsyncIO->krnLowRsrc++;
        pAsyncIO->inflights -= back;
        MOS_DIAG_COUNT(IO_THROTTLED_TO_WAITER_LIST);
        mosFastlockBase_Release(&pOs->lock);
        return;
    }
}

INT32 mosAsyncIOReq_Judge(const MosAsyncIO_Req *pReq)
{
    BOOL bOk = pReq->osRC == 0 && (pReq->bytesIO == mosAsyncIOOs_ReqSize(&pReq->req) || pReq->pFile->bAllowPartialIO);
    return bOk ? MOS_RC__SUCCESS : MOS_RC__ERROR;
}

void mosAsyncIO_Reaper(void *pArg)
{
    MosAsyncIO *pAsyncIO = static_cast<MosAsyncIO *>(pArg);
    MosAsyncIO_OS *pOs = &pAsyncIO->os;
    const MosAsyncIO_Backend *pBackend = pOs->pBackend;
    UINT32 reqCompleted = 0;
    MosDList_Anchor promoted;
    mosDList_InitAnchor(&promoted);
    MosAsyncIO_OsEvent events[MOS_ASYNC_IO__REAPER_BATCH];

    for (;;) {
        MosDList_Anchor dispatch;
        mosDList_InitAnchor(&dispatch);
        mosFastlockBase_Acquire(&pOs->lock);
        MOS_ASSERT_WITH_DESC(pAsyncIO->inflights >= reqCompleted, "");
        pAsyncIO->inflights -= reqCompleted;
        reqCompleted = 0;
        while (promoted.counter != 0)
            mosDList_InsertTail(&pOs->waiters, mosDList_RemoveHead(&promoted));
        while (pAsyncIO->inflights < pAsyncIO->maxInflights && pOs->waiters.counter != 0) {
            mosDList_InsertTail(&dispatch, mosDList_RemoveHead(&pOs->waiters));
            pAsyncIO->inflights++;
        }
        mosFastlockBase_Release(&pOs->lock);
        if (dispatch.counter != 0)
            mosAsyncIO_Dispatch(pAsyncIO, &dispatch);

        if (mosAio_Atomic(pAsyncIO->bDie).load())
            break;

        struct timespec timeout = {MOS_ASYNC_IO__REAPER_WAIT_SECONDS, 0};
        int nEvents = pBackend->pGetEvents(pBackend->pArg, pOs->osPort, 1, MOS_ASYNC_IO__REAPER_BATCH, events, &timeout);
        if (nEvents == -EINTR)
            continue;
        MOS_ASSERT_WITH_DESC(nEvents >= 0, strerror(-nEvents));
        for (int i = 0; i < nEvents; i++) {
            MosAsyncIO_Req *pReq = static_cast<MosAsyncIO_Req *>(mosAsyncIOOs_EventOwner(&events[i]));
            long res = mosAsyncIOOs_EventResult(&events[i]);
            if (res < 0) {
                pReq->osRC = (int)-res;
                pReq->bytesIO = 0;
            } else {
                pReq->osRC = 0;
                pReq->bytesIO = (UINT32)res;
            }
            MosAsyncIO_File *pFile = pReq->pFile;
            mosFastlockBase_Acquire(&pFile->os.lock);
            mosDList_Remove(&pFile->os.submitted, &pReq->callerCK.node);
            MOS_ASSERT_WITH_DESC(pFile->inflights != 0, "");
            if (pFile->os.waiters.counter != 0)
                mosDList_InsertTail(&promoted, mosDList_RemoveHead(&pFile->os.waiters)); // keeps the slot
            else
                pFile->inflights--;
            mosFastlockBase_Release(&pFile->os.lock);

            pReq->callerCK.pCK(&pReq->callerCK, mosAsyncIOReq_Judge(pReq));
            mosAsyncIOFile_Release(pFile);
        }
        reqCompleted += (UINT32)nEvents;
    }
}

// The file's submitter (without native mode): takes waiting requests while the file has slots.
void mosAsyncIO_SubmitterLoop(void *pArg)
{
    MosAsyncIO_Submitter *pSubmitter = static_cast<MosAsyncIO_Submitter *>(pArg);
    MosAsyncIO_File *pFile = pSubmitter->pFile;
    mosFastlockBase_Acquire(&pFile->os.lock);
    while (!pSubmitter->bDie) {
        if (pFile->os.waiters.counter != 0 && pFile->inflights < pFile->maxInflights) {
            MosAsyncIO_Req *pReq = mosAsyncIO_ReqOfNode(mosDList_RemoveHead(&pFile->os.waiters));
            pFile->inflights++;
            mosFastlockBase_Release(&pFile->os.lock);
            mosAsyncIO_DoSubmit(pFile->pAsyncIO, pReq);
            mosFastlockBase_Acquire(&pFile->os.lock);
        } else {
            mosOSWCond_Wait(&pSubmitter->cond, &pFile->os.lock);
        }
    }
    mosFastlockBase_Release(&pFile->os.lock);
    MOS_TRACE(MOS_COMP_IO, MOS_FREQ_HIGH, "Submitter %p was ordered to die", (void *)pSubmitter);
}

Mos_RC mosAsyncIOFile_CreateSubmitter(MosAsyncIO_File *pFile)
{
    MosAsyncIO_Submitter *pSubmitter =
        static_cast<MosAsyncIO_Submitter *>(mos_MemCalloc(sizeof(MosAsyncIO_Submitter), sizeof(MosAsyncIO_Submitter),
                                                          __func__, TRUE));
    if (pSubmitter == nullptr) {
        MOS_AIO_WARNING("Failed to allocate submitter for file %p (fd %d)", (void *)pFile, pFile->fd.fd);
        return MOS_RC__NO_RESOURCES;
    }
    pSubmitter->pFile = pFile;
    mosOSWCond_Init(&pSubmitter->cond);
    Mos_RC rc = mosOsThrd_CreateNamed(&pSubmitter->thrd, mosAsyncIO_SubmitterLoop, pSubmitter, "async_io_submitter");
    if (rc != MOS_RC__SUCCESS) {
        MOS_AIO_WARNING("Failed to create submitter thread for file %p (fd %d): %s", (void *)pFile, pFile->fd.fd,
                        MOS_RC__GET_STR(rc));
        mosOSWCond_Destroy(&pSubmitter->cond);
        mos_MemFree(pSubmitter);
        return rc;
    }
    pFile->os.pSubmitter = pSubmitter;
    MOS_TRACE(MOS_COMP_IO, MOS_FREQ_HIGH, "Created submitter %p for file %p (fd %d)", (void *)pSubmitter,
              (void *)pFile, pFile->fd.fd);
    return MOS_RC__SUCCESS;
}

void mosAsyncIOFile_DestroySubmitter(MosAsyncIO_File *pFile)
{
    MosAsyncIO_Submitter *pSubmitter = pFile->os.pSubmitter;
    if (pSubmitter == nullptr)
        return;
    mosFastlockBase_Acquire(&pFile->os.lock);
    pSubmitter->bDie = TRUE;
    mosOSWCond_Signal(&pSubmitter->cond);
    mosFastlockBase_Release(&pFile->os.lock);
    mosOsThrd_Destroy(&pSubmitter->thrd);
    mosOSWCond_Destroy(&pSubmitter->cond);
    pFile->os.pSubmitter = nullptr;
    mos_MemFree(pSubmitter);
    MOS_TRACE(MOS_COMP_IO, MOS_FREQ_HIGH, "Destroyed submitter %p", (void *)pSubmitter);
}

void mosAsyncIOFile_Close(MosAsyncIO_File *pFile)
{
    MOS_TRACE(MOS_COMP_IO, MOS_FREQ_MED, "Closing device path:%s", pFile->pPath);
    mosAio_Atomic(pFile->bSkipLongIoValidation).store(TRUE);
    MosAsyncIO *pAsyncIO = pFile->pAsyncIO;
    mosFastlockBase_Acquire(&pAsyncIO->fileListLock);
    mosDList_Remove(&pAsyncIO->files, &pFile->asyncIONode);
    mosFastlockBase_Release(&pAsyncIO->fileListLock);
    mosFastlockBase_Destroy(&pFile->timedIoLock);
    MOS_ASSERT_WITH_DESC(!mosAsyncIOFile_hasWaitersOrInflights(pFile), "");
    mosAsyncIOFile_DestroySubmitter(pFile);
    mosObjType_UnregObj(&mosAsyncIOLayer_Get()->fileType, &pFile->obj);
    mosIO_close(&pFile->fd);
    mosFastlockBase_Destroy(&pFile->os.lock);
    mos_MemFree(pFile->pPath);
    mos_MemFree(pFile);
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Contexts.

Mos_RC mosAsyncIO_Create(MosAsyncIO *pAsyncIO, UINT32 maxReq, UINT32 maxThrds, BOOL bNativeAsync)
{
    return mosAsyncIO_CreateWithBackend(pAsyncIO, maxReq, maxThrds, bNativeAsync, mosAsyncIO_GetKernelBackend());
}

Mos_RC mosAsyncIO_CreateWithBackend(MosAsyncIO *pAsyncIO, UINT32 maxReq, UINT32 maxThrds, BOOL bNativeAsync,
                                    const MosAsyncIO_Backend *pBackend)
{
    MOS_ASSERT(pAsyncIO != ((void *)0));
    MOS_ASSERT(pBackend != ((void *)0));
    MOS_ASSERT_WITH_DESC(mosAsyncIOLayer_Get()->bInit, "the asynchronous I/O layer is not started");
    memset(pAsyncIO, 0, sizeof(*pAsyncIO));
    if (maxReq == 0 || maxThrds == 0) {
        MOS_ERROR(MOS_COMP_IO, "An asynchronous I/O context needs requests and reapers (maxReq %u, threads %u)",
                  maxReq, maxThrds);
        return MOS_RC__INVALID_ARG;
    }
    mosObjType_RegObj(&mosAsyncIOLayer_Get()->asyncIOType, &pAsyncIO->obj, nullptr);
    mosDList_InitAnchor(&pAsyncIO->files);
    MOS_FASTLOCK_CREATE(&pAsyncIO->fileListLock, CONTENTION_ENUM_COMMON_CREATED__ASYNC_IO_FILE_LIST);
    MOS_FASTLOCK_CREATE(&pAsyncIO->os.lock, CONTENTION_ENUM_COMMON_CREATED__ASYNC_IO_CREATE_OS);
    mosDList_InitAnchor(&pAsyncIO->os.waiters);
    pAsyncIO->os.bNativeAsync = bNativeAsync;
    pAsyncIO->os.pBackend = pBackend;
    pAsyncIO->memPool = nullptr;
    pAsyncIO->memAllocFunc = mosAsyncIO_DefaultMemAlloc;
    pAsyncIO->memFreeFunc = mosAsyncIO_DefaultMemFree;
    pAsyncIO->maxInflights = maxReq;

    int ret = pBackend->pSetup(pBackend->pArg, maxReq, &pAsyncIO->os.osPort);
    if (ret != 0) {
        MOS_ERROR(MOS_COMP_IO, "Failed to create a kernel I/O context for %u requests: %s", maxReq, strerror(-ret));
        mosFastlockBase_Destroy(&pAsyncIO->os.lock);
        mosFastlockBase_Destroy(&pAsyncIO->fileListLock);
        mosObjType_UnregObj(&mosAsyncIOLayer_Get()->asyncIOType, &pAsyncIO->obj);
        return MOS_RC__NO_RESOURCES;
    }
    pAsyncIO->pReapers =
        static_cast<MosOsThrd *>(mos_MemCalloc((size_t)maxThrds * sizeof(MosOsThrd), (size_t)maxThrds * sizeof(MosOsThrd),
                                               __func__, TRUE));
    Mos_RC rc = pAsyncIO->pReapers != nullptr ? MOS_RC__SUCCESS : MOS_RC__NO_RESOURCES;
    for (UINT32 i = 0; rc == MOS_RC__SUCCESS && i < maxThrds; i++) {
        rc = mosOsThrd_CreateNamed(&pAsyncIO->pReapers[i], mosAsyncIO_Reaper, pAsyncIO, "asyncio_reaper");
        if (rc == MOS_RC__SUCCESS)
            pAsyncIO->thrdNum = i + 1;
    }
    if (rc != MOS_RC__SUCCESS) {
        MOS_ERROR(MOS_COMP_IO, "Failed to start reaper %u of %u: %s", pAsyncIO->thrdNum, maxThrds,
                  MOS_RC__GET_STR(rc));
        mosAsyncIO_Destroy(pAsyncIO);
        return rc;
    }
    return MOS_RC__SUCCESS;
}

void mosAsyncIO_Destroy(MosAsyncIO *pAsyncIO)
{
    MOS_ASSERT(pAsyncIO != ((void *)0));
    // A reaper wakes the waiter of a completion before it drops its own reference to the file, so
    // a file closed right after its last transfer may still be finishing its close here.
    for (UINT32 waited = 0; waited < MOS_ASYNC_IO__DESTROY_CLOSE_WAIT_MILLIS; waited++) {
        BOOL bOnlyClosing = TRUE;
        mosFastlockBase_Acquire(&pAsyncIO->fileListLock);
        for (MosDList_Node *pNode = mosDList_First(&pAsyncIO->files); pNode != nullptr; pNode = mosDList_Next(pNode))
            if (!mosAio_Atomic(MOS_CONTAINER_OF(pNode, MosAsyncIO_File, asyncIONode)->bClosing).load())
                bOnlyClosing = FALSE;
        BOOL bEmpty = pAsyncIO->files.counter == 0;
        mosFastlockBase_Release(&pAsyncIO->fileListLock);
        if (bEmpty || !bOnlyClosing)
            break;
        usleep(1000);
    }
    MOS_ASSERT_WITH_DESC(pAsyncIO->files.counter == 0, "files of the context are still open");
    const MosAsyncIO_Backend *pBackend = pAsyncIO->os.pBackend;
    mosAio_Atomic(pAsyncIO->bDie).store(TRUE);
    if (pBackend->pWake != nullptr)
        pBackend->pWake(pBackend->pArg, pAsyncIO->os.osPort);
    for (UINT32 i = 0; i < pAsyncIO->thrdNum; i++)
        mosOsThrd_Destroy(&pAsyncIO->pReapers[i]);
    if (pAsyncIO->pReapers != nullptr)
        mos_MemFree(pAsyncIO->pReapers);
    pAsyncIO->pReapers = nullptr;
    pAsyncIO->thrdNum = 0;
    mosObjType_UnregObj(&mosAsyncIOLayer_Get()->asyncIOType, &pAsyncIO->obj);
    mosFastlockBase_Destroy(&pAsyncIO->fileListLock);
    int rc = pBackend->pDestroy(pBackend->pArg, pAsyncIO->os.osPort);
    MOS_ASSERT(rc == 0);
    mosFastlockBase_Destroy(&pAsyncIO->os.lock);
}

Mos_RC mosAsyncIO_RaiseThrdsPrio(MosAsyncIO *pAsyncIO)
{
    Mos_RC rc = MOS_RC__SUCCESS;
    for (UINT32 i = 0; i < pAsyncIO->thrdNum; i++) {
        Mos_RC thrdRc = mosOsThrd_SetHighPrio(&pAsyncIO->pReapers[i]);
        if (thrdRc != MOS_RC__SUCCESS)
            rc = thrdRc;
    }
    return rc;
}

Mos_RC mosAsyncIO_BindToCpus(MosAsyncIO *pAsyncIO, const UINT8 *pBitMask, UINT32 bitNum)
{
    MOS_ASSERT(pBitMask != ((void *)0) || bitNum == 0);
    auto isSet = [&](UINT32 cpu) { return (pBitMask[cpu / 8] >> (cpu % 8)) & 1u; };
    UINT32 setBits = 0;
    for (UINT32 cpu = 0; cpu < bitNum; cpu++)
        setBits += isSet(cpu);
    if (setBits == 0)
        return MOS_RC__SUCCESS;
    Mos_RC rc = MOS_RC__SUCCESS;
    UINT32 cpu = bitNum - 1;
    for (UINT32 i = 0; i < pAsyncIO->thrdNum; i++) {
        // The next set bit after the one used last, from the start again past the end.
        do {
            cpu = (cpu + 1) % bitNum;
        } while (!isSet(cpu));
        MosOsThrd *pThrd = &pAsyncIO->pReapers[i];
        Mos_RC thrdRc = mosOsThrd_BindToCpu(pThrd, cpu);
        if (thrdRc == MOS_RC__SUCCESS) {
            MOS_TRACE(MOS_COMP_IO, MOS_FREQ_LOW, "Successfully bound to CPU %d (pthread 0x%lx, TID %d).Total bits %d",
                      (int)cpu, (unsigned long)pThrd->nativeThrd, (int)pThrd->tid, (int)bitNum);
        } else {
            MOS_TRACE(MOS_COMP_IO, MOS_FREQ_LOW, "Failed to bind to CPU %d (pthread 0x%lx, TID %d).Total bits %d",
                      (int)cpu, (unsigned long)pThrd->nativeThrd, (int)pThrd->tid, (int)bitNum);
            rc = thrdRc;
        }
    }
    return rc;
}

UINT32 mosAsyncIO_WaitersNum(MosAsyncIO *pAsyncIO)
{
    MosFastlockGuard guard(&pAsyncIO->os.lock);
    return pAsyncIO->os.waiters.counter;
}

// ---------------------------------------------------------------------------------------------
// Files.

Mos_RC mosAsyncIO_OpenFileEx(MosAsyncIO *pAsyncIO, MosAsyncIO_FileHandle *pFileHandle, const char *pFileName,
                             UINT32 maxInflight, BOOL bCreateFileIfNeeded, BOOL bAllowPartialIO)
{
    MOS_ASSERT(pAsyncIO != ((void *)0));
    MOS_ASSERT(pFileHandle != ((void *)0));
    MOS_ASSERT(pFileName != ((void *)0));
    MosAsyncIO_File *pFile =
        static_cast<MosAsyncIO_File *>(mos_MemCalloc(sizeof(MosAsyncIO_File), sizeof(MosAsyncIO_File), __func__, TRUE));
    pFileHandle->pFile = pFile;
    if (pFile == nullptr) {
        MOS_AIO_WARNING("Failed to open IO file %s with rc %u", pFileName, (unsigned)MOS_RC__NO_RESOURCES);
        return MOS_RC__NO_RESOURCES;
    }
    // The handle is visible from here on (the longest-pending query reports a slow open), so the
    // lock and lists it reads are ready before the open starts.
    // Adaptive: the submitter waits on an OS condition with it.
    MOS_FASTLOCK_CREATE_ADAPTIVE(&pFile->os.lock, CONTENTION_ENUM_COMMON_CREATED__ASYNC_IO_OPEN_FILE);
    mosDList_InitAnchor(&pFile->os.waiters);
    mosDList_InitAnchor(&pFile->os.submitted);
    mosDList_InitAnchor(&pFile->os.lateWrites);
    mosDList_InitAnchor(&pFile->os.fenced);
    MosTicks_Cnt startTick = mosTicks_GetCurrentTick();
    mosAio_Atomic(pFile->fileOpenStartTick).store(startTick != 0 ? startTick : 1);
    Mos_RC rc = mosIO_open(&pFile->fd, pFileName, bCreateFileIfNeeded, TRUE);
    mosAio_Atomic(pFile->fileOpenStartTick).store(0);
    if (rc != MOS_RC__SUCCESS) {
        MOS_AIO_WARNING("Failed to open IO file %s with rc %u", pFileName, (unsigned)rc);
        mosFastlockBase_Destroy(&pFile->os.lock);
        mos_MemFree(pFile);
        pFileHandle->pFile = nullptr;
        return rc;
    }
    pFile->maxInflights = maxInflight != 0 ? maxInflight : MOS_ASYNC_IO__DEFAULT_FILE_MAX_INFLIGHTS;
    pFile->bAllowPartialIO = bAllowPartialIO;
    pFile->pAsyncIO = pAsyncIO;
    pFile->refCount = 1;

    size_t pathLen = strlen(pFileName);
    pFile->pPath = static_cast<char *>(mos_MemMalloc(pathLen + 1, pathLen + 1, __func__, TRUE));
    rc = pFile->pPath != nullptr ? MOS_RC__SUCCESS : MOS_RC__NO_RESOURCES;
    if (rc == MOS_RC__SUCCESS && !pAsyncIO->os.bNativeAsync)
        rc = mosAsyncIOFile_CreateSubmitter(pFile);
    if (rc != MOS_RC__SUCCESS) {
        MOS_AIO_WARNING("Failed to open AsyncIO file %s with rc %u", pFileName, (unsigned)rc);
        if (pFile->pPath != nullptr)
            mos_MemFree(pFile->pPath);
        mosFastlockBase_Destroy(&pFile->os.lock);
        mosIO_close(&pFile->fd);
        mos_MemFree(pFile);
        pFileHandle->pFile = nullptr;
        return rc;
    }
    memcpy(pFile->pPath, pFileName, pathLen + 1);
    MOS_FASTLOCK_CREATE(&pFile->timedIoLock, CONTENTION_ENUM_COMMON_CREATED__ASYNC_IO_TIMED_IO);
    mosFastlockBase_Acquire(&pAsyncIO->fileListLock);
    mosDList_InsertTail(&pAsyncIO->files, &pFile->asyncIONode);
    mosFastlockBase_Release(&pAsyncIO->fileListLock);
    mosObjType_RegObj(&mosAsyncIOLayer_Get()->fileType, &pFile->obj, pFile->pPath);
    return MOS_RC__SUCCESS;
}

Mos_RC mosAsyncIO_OpenFile(MosAsyncIO *pAsyncIO, MosAsyncIO_FileHandle *pFile, const char *pFileName,
                           UINT32 maxInflight)
{
    return mosAsyncIO_OpenFileEx(pAsyncIO, pFile, pFileName, maxInflight, FALSE, FALSE);
}

void mosAsyncIO_CloseFile(MosAsyncIO_FileHandle *pFileHandle)
{
    MOS_ASSERT(pFileHandle != ((void *)0));
    MosAsyncIO_File *pFile = pFileHandle->pFile;
    MOS_ASSERT_WITH_DESC(pFile != nullptr, "closing a file handle that is not open");
    mosAio_Atomic(pFile->bSkipLongIoValidation).store(TRUE);
    mosAio_Atomic(pFile->bClosing).store(TRUE);
    pFileHandle->pFile = nullptr;
    mosAsyncIOFile_Release(pFile);
}

Mos_RC mosAsyncIO_ExtendAndReserveFile(MosAsyncIO_FileHandle *pFileHandle, UINT64 size)
{
    return mosIO_ExtendAndReserveFile(&pFileHandle->pFile->fd, size);
}

Mos_RC mosAsyncIO_Flush(MosAsyncIO_FileHandle *pFileHandle)
{
    return mosIO_flush(&pFileHandle->pFile->fd);
}

void mosAsyncIO_SetFileMaxInflight(MosAsyncIO_FileHandle *pFileHandle, UINT32 maxInFlight)
{
    MosAsyncIO_File *pFile = pFileHandle->pFile;
    MosDList_Anchor admitted;
    mosDList_InitAnchor(&admitted);
    mosFastlockBase_Acquire(&pFile->os.lock);
    pFile->maxInflights = maxInFlight != 0 ? maxInFlight : MOS_ASYNC_IO__DEFAULT_FILE_MAX_INFLIGHTS;
    // A raised limit takes effect at once for the requests already waiting.
    if (pFile->os.pSubmitter != nullptr) {
        if (pFile->os.waiters.counter != 0)
            mosOSWCond_Signal(&pFile->os.pSubmitter->cond);
    } else {
        while (pFile->os.waiters.counter != 0 && pFile->inflights < pFile->maxInflights) {
            mosDList_InsertTail(&admitted, mosDList_RemoveHead(&pFile->os.waiters));
            pFile->inflights++;
        }
    }
    mosFastlockBase_Release(&pFile->os.lock);
    while (admitted.counter != 0)
        mosAsyncIO_DoSubmit(pFile->pAsyncIO, mosAsyncIO_ReqOfNode(mosDList_RemoveHead(&admitted)));
}

UINT32 mosAsyncIOFile_InflightsNum(MosAsyncIO_FileHandle *pFileHandle)
{
    MosAsyncIO_File *pFile = pFileHandle->pFile;
    MosFastlockGuard guard(&pFile->os.lock);
    return pFile->inflights;
}

UINT32 mosAsyncIOFile_WaitersNum(MosAsyncIO_FileHandle *pFileHandle)
{
    MosAsyncIO_File *pFile = pFileHandle->pFile;
    MosFastlockGuard guard(&pFile->os.lock);
    return pFile->os.waiters.counter + pFile->os.fenced.counter;
}

UINT32 mosAsyncIOFile_LateIosNum(MosAsyncIO_FileHandle *pFileHandle)
{
    MosAsyncIO_File *pFile = pFileHandle->pFile;
    MosFastlockGuard guard(&pFile->os.lock);
    return pFile->os.lateIos;
}

UINT64 mosAsyncIOFile_LateIosTotal(MosAsyncIO_FileHandle *pFileHandle)
{
    MosAsyncIO_File *pFile = pFileHandle->pFile;
    MosFastlockGuard guard(&pFile->os.lock);
    return pFile->os.lateIosTotal;
}

const char *mosAsyncIOFile_GetPath(MosAsyncIO_FileHandle *pFileHandle)
{
    return pFileHandle->pFile->pPath;
}

void mosAsyncIOFile_SetSkipLongIoValidation(MosAsyncIO_FileHandle *pFileHandle, BOOL bSkip)
{
    mosAio_Atomic(pFileHandle->pFile->bSkipLongIoValidation).store(bSkip);
}

BOOL mosAsyncIOFile_ShouldSkipLongIoValidation(MosAsyncIO_FileHandle *pFileHandle)
{
    return mosAio_Atomic(pFileHandle->pFile->bSkipLongIoValidation).load();
}

Mos_RC mos_StartAsyncIOFileEnum(MosAsyncIO_FileEnumContext *pEnumContext, MosAsyncIO *pAsyncIO)
{
    mosFastlockBase_Acquire(&pAsyncIO->fileListLock);
    pEnumContext->pAsyncIO = pAsyncIO;
    pEnumContext->pAsyncIoFileNode = mosDList_First(&pAsyncIO->files);
    return MOS_RC__SUCCESS;
}

Mos_RC mos_GetNextAsyncIOFile(MosAsyncIO_FileEnumContext *pEnumContext, MosAsyncIO_FileHandle *pFileHandle)
{
    MosDList_Node *pNode = pEnumContext->pAsyncIoFileNode;
    if (pNode == nullptr)
        return MOS_RC__NO_MORE_ELEMENTS;
    pFileHandle->pFile = MOS_CONTAINER_OF(pNode, MosAsyncIO_File, asyncIONode);
    pEnumContext->pAsyncIoFileNode = mosDList_Next(pNode);
    return MOS_RC__SUCCESS;
}

void mos_FinishAsyncIOFileEnum(MosAsyncIO_FileEnumContext *pEnumContext)
{
    mosFastlockBase_Release(&pEnumContext->pAsyncIO->fileListLock);
}

UINT64 mosAsyncIo_GetLongestPendingIo(MosAsyncIO_FileHandle *pAsyncIosHandle)
{
    MosAsyncIO_File *pFile = pAsyncIosHandle->pFile;
    UINT64 millis = 0;
    MosFastlockGuard guard(&pFile->os.lock);
    MosTicks_Cnt now = mosTicks_GetCurrentTick();
    MosDList_Node *pOldest = mosDList_First(&pFile->os.submitted);
    if (pOldest != nullptr) {
        MosTicks_Cnt submitTick = mosAsyncIO_ReqOfNode(pOldest)->ioSubmitedTick;
        if (submitTick == 0) {
            MOS_DIAG_COUNT(IO_LONG_INFLIGHT_TICKS_NOT_SET);
        } else {
            MOS_ASSERT_WITH_DESC(!mosTicks_IsFirstBigger(submitTick, now), "a request was submitted in the future");
            millis = mosTicks_TicksToMillis(now - submitTick);
        }
    }
    MosTicks_Cnt openStart = mosAio_Atomic(pFile->fileOpenStartTick).load();
    if (openStart != 0 && mosTicks_IsFirstBigger(now, openStart)) {
        UINT64 openMillis = mosTicks_TicksToMillis(now - openStart);
        if (openMillis > millis)
            millis = openMillis;
    }
    return millis;
}

// ---------------------------------------------------------------------------------------------
// Requests.

void mosAsyncIOReq_Init(MosAsyncIO_Req *pReq, MosAsyncIO_File *pFile, MosAsyncObj_CK pCK, void *pBuf, UINT64 offset,
                        UINT32 size, BOOL bWrite)
{
    MOS_ASSERT(pReq != ((void *)0));
    MOS_ASSERT(pFile != ((void *)0));
    MOS_ASSERT_WITH_DESC(!mosAio_Atomic(pFile->bClosing).load(), "a request for a file that is closing");
    mosDList_InitNode(&pReq->callerCK.node);
    pReq->callerCK.pCK = pCK;
    mosAsyncIOOs_PrepReq(&pReq->req, pFile->fd.fd, pBuf, size, offset, bWrite, pReq);
    pReq->pFile = pFile;
    pReq->osRC = 0;
    pReq->bytesIO = 0;
    pReq->ioSubmitedTick = 0;
    pReq->ioTimeInTicks = 0;
}

Mos_RC mosAsyncIO_DoIO(MosAsyncIO_Req *pReq)
{
    // The kernel would refuse such a range at submission: the request completes here instead,
    // failed with the code that the synchronous forms return for it.
    if (__builtin_expect(!mosAsyncIO_RangeFits(mosAsyncIOOs_ReqOffset(&pReq->req), (UINT32)mosAsyncIOOs_ReqSize(&pReq->req)), 0)) {
        pReq->osRC = EINVAL;
        pReq->bytesIO = 0;
        pReq->callerCK.pCK(&pReq->callerCK, MOS_RC__INVALID_ARG);
        return MOS_RC__PENDING;
    }
    MosAsyncIO_File *pFile = pReq->pFile;
    mosAio_Atomic(pFile->refCount).fetch_add(1);
    mosFastlockBase_Acquire(&pFile->os.lock);
    if (__builtin_expect(pFile->os.lateWrites.counter != 0 || pFile->os.fenced.counter != 0, 0) &&
        mosAsyncIOFile_IsFencedLocked(pFile, pReq, &pFile->os.fenced)) {
        mosDList_InsertTail(&pFile->os.fenced, &pReq->callerCK.node);
        mosFastlockBase_Release(&pFile->os.lock);
        return MOS_RC__PENDING;
    }
    BOOL bAdmitted = mosAsyncIOFile_AdmitLocked(pFile, pReq);
    mosFastlockBase_Release(&pFile->os.lock);
    if (bAdmitted)
        mosAsyncIO_DoSubmit(pFile->pAsyncIO, pReq);
    return MOS_RC__PENDING;
}

Mos_RC mosAsyncIO_ReadAsync(MosAsyncIO_Req *pReq, MosAsyncIO_FileHandle *pFileHandle, MosAsyncObj_CK pCK,
                            UINT64 offset, void *pBuf, UINT32 size)
{
    mosAsyncIOReq_Init(pReq, pFileHandle->pFile, pCK, pBuf, offset, size, FALSE);
    Mos_RC rc = mosAsyncIO_DoIO(pReq);
    MOS_ASSERT(rc == MOS_RC__PENDING);
    return rc;
}

Mos_RC mosAsyncIO_WriteZeroAsync(MosAsyncIO_Req *pReq, MosAsyncIO_FileHandle *pFileHandle, MosAsyncObj_CK pCK,
                                 UINT64 offset, UINT32 size)
{
    UINT32 zeroBufSize = 0;
    const void *pZeroBuf = mosIOLayer_ZeroBufDetails(&zeroBufSize);
    MOS_ASSERT(size != 0);
    MOS_ASSERT(size <= zeroBufSize);
    // The kernel only reads the buffer of a write.
    mosAsyncIOReq_Init(pReq, pFileHandle->pFile, pCK, const_cast<void *>(pZeroBuf), offset, size, TRUE);
    Mos_RC rc = mosAsyncIO_DoIO(pReq);
    MOS_ASSERT(rc == MOS_RC__PENDING);
    return rc;
}

BOOL mosAsyncIOReq_IsSuccess(MosAsyncIO_Req *pReq)
{
    if (mosAsyncIOReq_Judge(pReq) == MOS_RC__SUCCESS)
        return TRUE;
    MOS_TRACE(MOS_COMP_IO, MOS_FREQ_LOW, "Req failed with return code %u", (unsigned)pReq->osRC);
    return FALSE;
}

// ---------------------------------------------------------------------------------------------
// Late transfers.

void mosAsyncIOFile_AddLateIo(MosAsyncIO_File *pFile, MosAsyncIO_LateIo *pLate)
{
    MosFastlockGuard guard(&pFile->os.lock);
    pFile->os.lateIos++;
    pFile->os.lateIosTotal++;
    if (pLate->bFence)
        mosDList_InsertTail(&pFile->os.lateWrites, &pLate->node);
}

void mosAsyncIOFile_LateIoArrived(MosAsyncIO_File *pFile, MosAsyncIO_LateIo *pLate)
{
    MosDList_Anchor admitted;
    mosDList_InitAnchor(&admitted);
    mosFastlockBase_Acquire(&pFile->os.lock);
    MOS_ASSERT(pFile->os.lateIos > 0);
    pFile->os.lateIos--;
    if (pLate->bFence) {
        mosDList_Remove(&pFile->os.lateWrites, &pLate->node);
        // Requests held back go on in their order, each as soon as nothing before it holds it.
        MosDList_Anchor held;
        mosDList_InitAnchor(&held);
        while (pFile->os.fenced.counter != 0) {
            MosAsyncIO_Req *pReq = mosAsyncIO_ReqOfNode(mosDList_RemoveHead(&pFile->os.fenced));
            if (mosAsyncIOFile_IsFencedLocked(pFile, pReq, &held))
                mosDList_InsertTail(&held, &pReq->callerCK.node);
            else if (mosAsyncIOFile_AdmitLocked(pFile, pReq))
                mosDList_InsertTail(&admitted, &pReq->callerCK.node);
        }
        pFile->os.fenced = held;
    }
    mosFastlockBase_Release(&pFile->os.lock);
    while (admitted.counter != 0)
        mosAsyncIO_DoSubmit(pFile->pAsyncIO, mosAsyncIO_ReqOfNode(mosDList_RemoveHead(&admitted)));
}
