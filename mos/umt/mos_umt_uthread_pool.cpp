#include "mos/umt/mos_umt_uthread_pool.h"

#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_timer.h"
#include "mos/mos_trace.h"
#include "mos/umt/mos_umt.h"

void mosUmtPool_Init(MosUMT_UThreadPool *pUThreadPool, UINT32 numThreads, MosUmtPool_WorkerFunc workerFunc,
                     BOOL bStartThreads, MosUmtClassId classId)
{
    memset(static_cast<void *>(pUThreadPool), 0, sizeof(*pUThreadPool));
    mosUmtSem_Init(&pUThreadPool->sem);
    MOS_FASTLOCK_CREATE(&pUThreadPool->fastlock, MOS_UMT_POOL__LOCK_ID);
    mosDList_InitAnchor(&pUThreadPool->workReqQueue);
    pUThreadPool->workerFunc = workerFunc;
    pUThreadPool->numOfConfiguredThreads = numThreads;
    pUThreadPool->classId = classId;
    if (bStartThreads)
        mosUmtPool_Start(pUThreadPool);
}

void mosUmtPool_Start(MosUMT_UThreadPool *pUThreadPool)
{
    UINT32 numThreads;
    {
        MosFastlockGuard guard(&pUThreadPool->fastlock);
        MOS_ASSERT(!pUThreadPool->bStarted);
        pUThreadPool->bStarted = TRUE;
        pUThreadPool->bThreadsStarted = TRUE;
        numThreads = pUThreadPool->numOfConfiguredThreads;
    }
    for (UINT32 i = 0; i < numThreads; i++)
        mosUmtPool_StartSingleThread(pUThreadPool);
}

void mosUmtPool_StartSingleThread(MosUMT_UThreadPool *pPool)
{
    HMosUmt_UThread hUThread =
        mosUmt_CreateUThreadEx(mosUmtPool_WorkerThreadStartRoutine, pPool, nullptr, nullptr, FALSE, pPool->classId);
    MOS_ASSERT(hUThread != ((void *)0));
}

void mosUmtPool_WorkerThreadStartRoutine(void *pArg)
{
    MosUMT_UThreadPool *pPool = static_cast<MosUMT_UThreadPool *>(pArg);
    // Set by the worker itself: a non-joinable uthread may already be gone when its creator
    // gets the handle back.
    mosUmt_SetMyDebugInfo((UINT64)(uintptr_t)pPool->workerFunc);
    for (;;) {
        mosUmt_SetCommonSuspend(TRUE);
        Mos_RC rc = mosUmtSem_DecTimed(&pPool->sem, 1, 0);
        MOS_ASSERT_SUCCESS(rc);
        mosUmt_SetCommonSuspend(FALSE);
        MosDList_Node *pNode;
        {
            MosFastlockGuard guard(&pPool->fastlock);
            if (pPool->numOfThreadsToRemove > 0) {
                pPool->numOfThreadsToRemove--;
                break;
            }
            pNode = pPool->workReqQueue.pLast;
            MOS_ASSERT(pNode != ((void *)0));
            mosDList_Remove(&pPool->workReqQueue, pNode);
        }
        pPool->workerFunc(pNode);
    }
    MOS_NOISE(MOS_COMP_UTHREAD, "Worker %p is going to die", (void *)mosUmt_GetUThreadHdl());
}

Mos_RC mosUmtPool_AddWorkRequest(MosUMT_UThreadPool *pUThreadPool, MosUmtPool_WorkReq *pNode)
{
    BOOL bQueued = FALSE;
    {
        MosFastlockGuard guard(&pUThreadPool->fastlock);
        if (pUThreadPool->bStarted) {
            MOS_ASSERT(!mosDList_IsLinked(pNode));
            mosDList_InsertHead(&pUThreadPool->workReqQueue, pNode);
            bQueued = TRUE;
        }
    }
    if (bQueued) {
        // Raised after the request is queued: a worker holding a unit always finds work.
        mosUmtSem_IncInter(&pUThreadPool->sem, 1, TRUE);
        return MOS_RC__SUCCESS;
    }
    MOS_TRACE(MOS_COMP_UTHREAD, MOS_FREQ_LOW, "Pool %p does not take requests: it is not started", (void *)pUThreadPool);
    return MOS_RC__ABORTED;
}

void mosUmtPool_HigherThePriority(MosUMT_UThreadPool *pUThreadPool, MosUmtPool_WorkReq *pNode)
{
    MosFastlockGuard guard(&pUThreadPool->fastlock);
    if (!mosDList_IsLinked(pNode))
        return; // a worker has it already
    mosDList_Remove(&pUThreadPool->workReqQueue, pNode);
    mosDList_InsertTail(&pUThreadPool->workReqQueue, pNode);
}

Mos_RC mosUmtPool_RemoveWorkRequest(MosUMT_UThreadPool *pUThreadPool, MosUmtPool_WorkReq *pNode)
{
    // The unit that stands for the request goes with it; none left means that workers have
    // claimed every queued request already.
    if (mosUmtSem_TryDec(&pUThreadPool->sem, 1) != MOS_RC__SUCCESS)
        return MOS_RC__NOT_FOUND;
    {
        MosFastlockGuard guard(&pUThreadPool->fastlock);
        if (mosDList_IsLinked(pNode)) {
            mosDList_Remove(&pUThreadPool->workReqQueue, pNode);
            return MOS_RC__SUCCESS;
        }
    }
    mosUmtSem_IncInter(&pUThreadPool->sem, 1, TRUE);
    return MOS_RC__NOT_FOUND;
}

void mosUmtPool_Resize(MosUMT_UThreadPool *pPool, UINT32 newSize)
{
    UINT32 toStart = 0;
    UINT32 toRemove = 0;
    {
        MosFastlockGuard guard(&pPool->fastlock);
        MOS_ASSERT(0 != newSize || ! pPool->bStarted);
        UINT32 oldSize = pPool->numOfConfiguredThreads;
        if (pPool->bThreadsStarted) {
            if (newSize < oldSize) {
                toRemove = oldSize - newSize;
                pPool->numOfThreadsToRemove += toRemove;
            } else {
                toStart = newSize - oldSize;
            }
        }
        pPool->numOfConfiguredThreads = newSize;
    }
    // One unit per removal token, raised after the tokens are counted (see AddWorkRequest).
    if (toRemove != 0)
        mosUmtSem_IncInter(&pPool->sem, toRemove, TRUE);
    for (UINT32 i = 0; i < toStart; i++)
        mosUmtPool_StartSingleThread(pPool);
}

Mos_RC mosUmtPool_Destroy(MosUMT_UThreadPool *pUThreadPool)
{
    UINT32 retries = MOS_UMT_POOL__DESTROY_RETRIES;
    {
        MosFastlockGuard guard(&pUThreadPool->fastlock);
        pUThreadPool->bStarted = FALSE;
    }
    while (mosUmtPool_GetNumOfPendingTasksUnlocked(pUThreadPool) != 0) {
        if (retries == 0) {
            MOS_ERROR(MOS_COMP_UTHREAD, "Failed to destroy pool %p due to pending tasks", (void *)pUThreadPool);
            return MOS_RC__BUSY;
        }
        retries--;
        MOS_NOISE(MOS_COMP_UTHREAD, "Pool %p is still busy, trying to sleep it out, %u retries left",
                  (void *)pUThreadPool, retries);
        mosUmt_SleepByQ(MOS_TIMER_QUEUE_ID__100MILLI);
    }
    mosUmtPool_Resize(pUThreadPool, 0);
    while (mosUmtPool_GetNumOfRemovePending(pUThreadPool) != 0) {
        if (retries == 0) {
            MOS_ERROR(MOS_COMP_UTHREAD, "Failed to destroy pool %p due to existing workers",
                      (void *)pUThreadPool);
            return MOS_RC__BUSY;
        }
        retries--;
        MOS_NOISE(MOS_COMP_UTHREAD, "Pool %p still owns worker, trying to sleep it out, %u retries left",
                  (void *)pUThreadPool, retries);
        mosUmt_SleepByQ(MOS_TIMER_QUEUE_ID__100MILLI);
    }
    {
        MosFastlockGuard guard(&pUThreadPool->fastlock);
        MOS_ASSERT(pUThreadPool->workReqQueue.counter == 0);
        MOS_ASSERT(pUThreadPool->numOfConfiguredThreads == 0);
        MOS_ASSERT(pUThreadPool->numOfThreadsToRemove == 0);
    }
    mosUmtSem_Destroy(&pUThreadPool->sem);
    mosFastlockBase_Destroy(&pUThreadPool->fastlock);
    memset(static_cast<void *>(pUThreadPool), 0, sizeof(*pUThreadPool));
    MOS_NOISE(MOS_COMP_UTHREAD, "Pool %p is destroyed", (void *)pUThreadPool);
    return MOS_RC__SUCCESS;
}

UINT32 mosUmtPool_GetNumOfWorkers(MosUMT_UThreadPool *pPool)
{
    MosFastlockGuard guard(&pPool->fastlock);
    return pPool->numOfConfiguredThreads;
}

UINT32 mosUmtPool_GetNumOfRemovePending(MosUMT_UThreadPool *pPool)
{
    MosFastlockGuard guard(&pPool->fastlock);
    return pPool->numOfThreadsToRemove;
}

UINT32 mosUmtPool_GetNumOfPendingTasksUnlocked(MosUMT_UThreadPool *pPool)
{
    return __atomic_load_n(&pPool->workReqQueue.counter, __ATOMIC_RELAXED);
}
