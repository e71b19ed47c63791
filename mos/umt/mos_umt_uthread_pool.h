// Worker pools: a resizable set of uthreads of one class that run queued work requests. A work
// request is a list node embedded in the caller's own record; the worker function finds the
// record from it.
//
// The semaphore's units always equal the queued requests plus the pending removals, so a worker
// that wakes finds one or the other. A shrink posts removal tokens; whichever worker wakes next
// while a removal is pending ends, so queued requests are never lost to a shrink.
#pragma once

#include "mos/mos_dlist.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_rc.h"
#include "mos/mos_types.h"
#include "mos/umt/mos_umt_class.h"
#include "mos/umt/mos_umt_semaphore.h"

#define MOS_UMT_POOL__LOCK_ID 25
// Destroy waits this many periods of the 100 ms timer queue for the queue to drain and again for
// the workers to end.
#define MOS_UMT_POOL__DESTROY_RETRIES 20u

typedef MosDList_Node MosUmtPool_WorkReq;
typedef void (*MosUmtPool_WorkerFunc)(MosUmtPool_WorkReq *pNode);

struct MosUMT_UThreadPool {
    MosUmt_Sem sem;
    MosFastlock_Base fastlock; // guards everything below
    MosDList_Anchor workReqQueue; // newest at the head, the next to run at the tail
    MosUmtPool_WorkerFunc workerFunc;
    MosUmtClassId classId;
    BOOL bStarted; // accepts requests
    UINT32 numOfConfiguredThreads;
    UINT32 numOfThreadsToRemove;
    // Workers were started at some point: until then a resize only changes the configured count.
    BOOL bThreadsStarted;
};

void mosUmtPool_Init(MosUMT_UThreadPool *pUThreadPool, UINT32 numThreads, MosUmtPool_WorkerFunc workerFunc,
                     BOOL bStartThreads, MosUmtClassId classId);
void mosUmtPool_Start(MosUMT_UThreadPool *pUThreadPool);
void mosUmtPool_StartSingleThread(MosUMT_UThreadPool *pPool);
// MOS_RC__ABORTED (with a trace line) when the pool does not take requests: not started yet, or
// being destroyed.
Mos_RC mosUmtPool_AddWorkRequest(MosUMT_UThreadPool *pUThreadPool, MosUmtPool_WorkReq *pNode);
void mosUmtPool_HigherThePriority(MosUMT_UThreadPool *pUThreadPool, MosUmtPool_WorkReq *pNode);
// MOS_RC__NOT_FOUND when a worker has already taken the request.
Mos_RC mosUmtPool_RemoveWorkRequest(MosUMT_UThreadPool *pUThreadPool, MosUmtPool_WorkReq *pNode);
void mosUmtPool_Resize(MosUMT_UThreadPool *pPool, UINT32 newSize);
// From a running uthread (it sleeps while the pool drains). MOS_RC__BUSY leaves the pool
// stopped: it refuses new requests, and a later destroy may try again.
Mos_RC mosUmtPool_Destroy(MosUMT_UThreadPool *pUThreadPool);
UINT32 mosUmtPool_GetNumOfWorkers(MosUMT_UThreadPool *pPool);
UINT32 mosUmtPool_GetNumOfRemovePending(MosUMT_UThreadPool *pPool);
UINT32 mosUmtPool_GetNumOfPendingTasksUnlocked(MosUMT_UThreadPool *pPool);
void mosUmtPool_WorkerThreadStartRoutine(void *pArg);
