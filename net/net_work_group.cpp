#include "net/net_work_group.h"

#include <unistd.h>

#include <cstring>

#include "mos/mos_dbg.h"
#include "mos/mos_trace.h"
#include "mos/sdbg/sdbg_exports.h"
#include "mos/umt/mos_umt_sched_thrd.h"
#include "mos/mos_utils_mem.h"

#include "net/net_root.h"
#include "net/net_common_umt_class.h"

enum : MosContentionId {
    NET_WORK_GROUP__LOCK_ID = 300,
    NET_WORK_THREAD__LOCK_ID = 301,
};

namespace {
inline NetWorkGroup *netWorkGroup_OfMit(MosMit *pMit)
{
    return MOS_CONTAINER_OF(pMit->pSched, NetWorkGroup, sched);
}

inline MosMit *netWorkGroup_MitOfNode(MosDList_Node *pNode)
{
    return MOS_CONTAINER_OF(pNode, MosMit, node);
}

inline UINT32 netWorkGroup_ActiveCount(const NetWorkGroup *pGroup)
{
    return __atomic_load_n(&pGroup->numOfActiveThreads, __ATOMIC_ACQUIRE);
}

// Lengths are read without locks: a stale one only costs balance.
inline UINT32 netWorkThread_WaitersRacy(const NetWorkThread *pWorker)
{
    return __atomic_load_n(&pWorker->remoteWaiters.counter, __ATOMIC_RELAXED) +
           __atomic_load_n(&pWorker->localWaiters.counter, __ATOMIC_RELAXED);
}

// The first active worker with the fewest queued tasks; *ppMine is the calling uthread's own
// worker when it is one of them.
NetWorkThread *netWorkGroup_Choose(NetWorkGroup *pGroup, NetWorkThread **ppMine)
{
    HMosUmt_UThread hCur = mosUmt_GetUThreadHdlNoAssert();
    NetWorkThread *pChosen = nullptr;
    UINT32 least = UINT32_MAX;
    const UINT32 active = netWorkGroup_ActiveCount(pGroup);
    for (UINT32 i = 0; i < active; i++) {
        NetWorkThread *pWorker = &pGroup->pWorkThreadArr[i];
        if (ppMine != nullptr && hCur != nullptr && pWorker->hUmt == hCur)
            *ppMine = pWorker;
        const UINT32 waiters = netWorkThread_WaitersRacy(pWorker);
        if (waiters < least) {
            least = waiters;
            pChosen = pWorker;
        }
    }
    return pChosen;
}

UINT32 netWorkThread_Index(const NetWorkThread *pWorker)
{
    return (UINT32)(pWorker - pWorker->pWrkGrp->pWorkThreadArr);
}

// Queues on another worker: under its lock, never on a dying one.
void netWorkGroup_SchedRemote(NetWorkGroup *pGroup, MosMit *pMit, NetWorkThread *pChosenWorker)
{
    NetWorkThread *pWorker = nullptr;
    for (;;) {
        MOS_ASSERT_WITH_DESC(pChosenWorker != ((void *)0), "no worker to run a task");
        pWorker = pChosenWorker;
        mosFastlockBase_Acquire(&pWorker->lock);
        if (!pWorker->bDie)
            break;
        mosFastlockBase_Release(&pWorker->lock);
        pChosenWorker = netWorkGroup_Choose(pGroup, nullptr);
    }
    const BOOL bWasEmpty = MOS_DLIST__IS_EMPTY(&pWorker->remoteWaiters);
    mosDList_InsertTail(&pWorker->remoteWaiters, &pMit->node);
    MOS_TRACE(MOS_COMP_NET, MOS_FREQ_HIGH,
              "Remote scheduling thread %p index %d. Remote Mits %d. Local Mits %d. UMT waits %d. Mit %p (start ck %p)",
              (void *)pWorker->hUmt, (int)netWorkThread_Index(pWorker), (int)pWorker->remoteWaiters.counter,
              (int)pWorker->localWaiters.counter, (int)mosUmtCond_NumWaiters(&pWorker->cond), (void *)pMit,
              (void *)pMit->stack[1].ck);
    if (bWasEmpty)
        mosUmtCond_Signal(&pWorker->cond);
    mosFastlockBase_Release(&pWorker->lock);
}

void netWorkThread_OperationDone(NetWorkThread *pWorker)
{
    NetWorkGroup *pGroup = pWorker->pWrkGrp;
    MosFastlockGuard guard(&pGroup->lock);
    MOS_ASSERT(0 != pWorker->pWrkGrp->ongoingOperations);
    pGroup->ongoingOperations--;
}

void netWorkThread_RunMit(NetWorkThread *pWorker, MosMit *pMit)
{
    mosMit_Run(pMit, pMit->nextRC);
    mosUmt_YieldIfShould();
    while (pWorker->pPriorityWaiter != nullptr) {
        MosMit *pNext = pWorker->pPriorityWaiter;
        pWorker->pPriorityWaiter = nullptr;
        pWorker->priorityScheds++;
        mosMit_Run(pNext, pNext->nextRC);
        mosUmt_YieldIfShould();
    }
}

// Runs up to NET_WORKER__CONSEQ_LOCKED remote tasks; entered and left with the worker's lock held.
void netWorkThread_RemotePhase(NetWorkThread *pWorker)
{
    for (UINT32 ran = 0; ran < NET_WORKER__CONSEQ_LOCKED && !MOS_DLIST__IS_EMPTY(&pWorker->remoteWaiters); ran++) {
        MosMit *pMit = netWorkGroup_MitOfNode(mosDList_RemoveHead(&pWorker->remoteWaiters));
        mosFastlockBase_Release(&pWorker->lock);
        pWorker->remoteScheds++;
        netWorkThread_RunMit(pWorker, pMit);
        mosFastlockBase_Acquire(&pWorker->lock);
    }
}

// Runs local tasks in batches until none is left or remote work is waiting; no lock held.
void netWorkThread_LocalPhase(NetWorkThread *pWorker)
{
    while (!MOS_DLIST__IS_EMPTY(&pWorker->localWaiters)) {
        for (UINT32 ran = 0; ran < NET_WORKER__CONSEQ_LOCAL && !MOS_DLIST__IS_EMPTY(&pWorker->localWaiters); ran++) {
            MosMit *pMit = netWorkGroup_MitOfNode(mosDList_RemoveHead(&pWorker->localWaiters));
            pWorker->localScheds++;
            netWorkThread_RunMit(pWorker, pMit);
        }
        if (__atomic_load_n(&pWorker->remoteWaiters.counter, __ATOMIC_RELAXED) != 0)
            return;
    }
}

void netWorkThread_Worker(void *pArg)
{
    NetWorkThread *pWorker = static_cast<NetWorkThread *>(pArg);
    NetWorkGroup *pGroup = pWorker->pWrkGrp;
    netWorkThread_OperationDone(pWorker);
    if (pGroup->bImportantUmt)
        mosUmt_SetImportant(TRUE);
    mosFastlockBase_Acquire(&pWorker->lock);
    for (;;) {
        netWorkThread_RemotePhase(pWorker);
        mosFastlockBase_Release(&pWorker->lock);
        netWorkThread_LocalPhase(pWorker);
        mosFastlockBase_Acquire(&pWorker->lock);
        if (!MOS_DLIST__IS_EMPTY(&pWorker->remoteWaiters))
            continue;
        MOS_ASSERT((((&pWorker->localWaiters)->counter) == 0));
        if (pWorker->bDie)
            break;
        mosUmtCond_Wait(&pWorker->cond, &pWorker->lock);
    }
    MOS_TRACE(MOS_COMP_NET, MOS_FREQ_MED, "Net worker %p is going to die", (void *)pWorker);
    mosFastlockBase_Release(&pWorker->lock);
    // The last touch of the group: a destroy waits for this count before it frees anything.
    netWorkThread_OperationDone(pWorker);
}

BOOL netWorkThread_Start(NetWorkThread *pWorker)
{
    Net *pNet = pWorker->pWrkGrp->pNet;
    MosUmt_Sched *pSched = pNet != nullptr ? net_GetWorkerSched(pNet) : nullptr;
    pWorker->hUmt = mosUmt_CreateUThreadEx(netWorkThread_Worker, pWorker, pSched, nullptr, FALSE,
                                           common_GetUmtClassId(MOS_UMT_CLASS_TYPE__NET_COMMON_EPOLL_WORK_GROUP));
    return pWorker->hUmt != nullptr;
}

// Workers the group cannot run without.
void netWorkThread_StartOrPanic(NetWorkThread *pWorker)
{
    netWorkThread_Start(pWorker);
    HMosUmt_UThread hUmt = pWorker->hUmt;
    MOS_ASSERT_WITH_DESC(hUmt != ((void *)0), "failed to create a net worker");
}
} // namespace

void netWorkThread_Init(NetWorkGroup *pGroup, NetWorkThread *pWorker, BOOL bStart)
{
    memset(static_cast<void *>(pWorker), 0, sizeof(*pWorker));
    mosUmtCond_Init(&pWorker->cond);
    MOS_FASTLOCK_CREATE(&pWorker->lock, NET_WORK_THREAD__LOCK_ID);
    mosDList_InitAnchor(&pWorker->remoteWaiters);
    mosDList_InitAnchor(&pWorker->localWaiters);
    pWorker->pWrkGrp = pGroup;
    if (bStart)
        netWorkThread_StartOrPanic(pWorker);
}

void netWorkGroup_Init(NetWorkGroup *pGroup, UINT32 maxNumOfThreads, UINT32 numOfActiveThreads, BOOL bImportantUmt,
                       Net *pNet)
{
    memset(static_cast<void *>(pGroup), 0, sizeof(*pGroup));
    pGroup->pNet = pNet;
    pGroup->bImportantUmt = bImportantUmt;
    pGroup->maxNumOfThreads = maxNumOfThreads;
    pGroup->numOfActiveThreads = numOfActiveThreads;
    MOS_FASTLOCK_CREATE(&pGroup->lock, NET_WORK_GROUP__LOCK_ID);
    pGroup->sched.pSchedCK = netWorkGroup_SchedMit;
    pGroup->sched.pSchedNextCK = netWorkGroup_SchedMitNow;
    MOS_ASSERT(numOfActiveThreads != 0 && numOfActiveThreads <= maxNumOfThreads);
    pGroup->pWorkThreadArr = static_cast<NetWorkThread *>(
        mos_MemCalloc((size_t)maxNumOfThreads * sizeof(NetWorkThread), (size_t)maxNumOfThreads * sizeof(NetWorkThread), __func__, FALSE));
    MOS_ASSERT(pGroup->pWorkThreadArr != nullptr);
    pGroup->ongoingOperations = numOfActiveThreads;
    // Every slot is set up before the first worker starts: a running worker scans them all.
    for (UINT32 i = 0; i < maxNumOfThreads; i++)
        netWorkThread_Init(pGroup, &pGroup->pWorkThreadArr[i], FALSE);
    for (UINT32 i = 0; i < numOfActiveThreads; i++)
        netWorkThread_StartOrPanic(&pGroup->pWorkThreadArr[i]);
    MosObj_Type *pType = mosObjType_GetPtrByID(SDBG_EXPORTS_OBJ_TYPE__NET_WORK_GRP);
    if (pType != nullptr)
        mosObjType_RegObj(pType, &pGroup->sdbgObj, "net work group");
}

void netWorkGroup_Destroy(NetWorkGroup *pGroup)
{
    for (;;) {
        mosFastlockBase_Acquire(&pGroup->lock);
        if (pGroup->ongoingOperations == 0)
            break;
        mosFastlockBase_Release(&pGroup->lock);
        usleep(1000);
    }
    pGroup->ongoingOperations = pGroup->numOfActiveThreads;
    mosFastlockBase_Release(&pGroup->lock);
    while (pGroup->numOfActiveThreads != 0) {
        __atomic_sub_fetch(&pGroup->numOfActiveThreads, 1, __ATOMIC_ACQ_REL);
        netWorkThread_NotifyShouldDie(&pGroup->pWorkThreadArr[pGroup->numOfActiveThreads]);
    }
    for (;;) {
        mosFastlockBase_Acquire(&pGroup->lock);
        const UINT32 left = pGroup->ongoingOperations;
        mosFastlockBase_Release(&pGroup->lock);
        if (left == 0)
            break;
        usleep(1000);
    }
    if (mosObj_IsRegistered(&pGroup->sdbgObj))
        mosObjType_UnregObj(mosObjType_GetPtrByID(SDBG_EXPORTS_OBJ_TYPE__NET_WORK_GRP), &pGroup->sdbgObj);
    for (UINT32 i = 0; i < pGroup->maxNumOfThreads; i++) {
        mosUmtCond_Destroy(&pGroup->pWorkThreadArr[i].cond);
        mosFastlockBase_Destroy(&pGroup->pWorkThreadArr[i].lock);
    }
    mos_MemFree(pGroup->pWorkThreadArr);
    pGroup->pWorkThreadArr = nullptr;
    mosFastlockBase_Destroy(&pGroup->lock);
}

void netWorkGroup_SchedMit(MosMit *pMit)
{
    NetWorkGroup *pGroup = netWorkGroup_OfMit(pMit);
    NetWorkThread *pMine = nullptr;
    NetWorkThread *pChosen = netWorkGroup_Choose(pGroup, &pMine);
    if (pChosen != nullptr && pChosen == pMine) {
        mosDList_InsertTail(&pChosen->localWaiters, &pMit->node);
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_HIGH,
                  "Local scheduling thread %p index %d. Local Mits %d. Remote Mits %d. Mit %p (start ck %p)",
                  (void *)pChosen->hUmt, (int)netWorkThread_Index(pChosen), (int)pChosen->localWaiters.counter,
                  (int)pChosen->remoteWaiters.counter, (void *)pMit, (void *)pMit->stack[1].ck);
        return;
    }
    netWorkGroup_SchedRemote(pGroup, pMit, pChosen);
}

void netWorkGroup_SchedMitNow(MosMit *pMit)
{
    NetWorkGroup *pGroup = netWorkGroup_OfMit(pMit);
    NetWorkThread *pCurWorker = nullptr;
    NetWorkThread *pChosen = netWorkGroup_Choose(pGroup, &pCurWorker);
    if (pCurWorker != nullptr) {
        MOS_ASSERT(pCurWorker->pPriorityWaiter == ((void *)0));
        pCurWorker->pPriorityWaiter = pMit;
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_HIGH,
                  "Priority scheduling thread %p index %d.Local Mits %d. Remote Mits %d. Mit %p (start ck %p)",
                  (void *)pCurWorker->hUmt, (int)netWorkThread_Index(pCurWorker),
                  (int)pCurWorker->localWaiters.counter, (int)pCurWorker->remoteWaiters.counter, (void *)pMit,
                  (void *)pMit->stack[1].ck);
        return;
    }
    netWorkGroup_SchedRemote(pGroup, pMit, pChosen);
}

Mos_RC netWorkGroup_Resize(NetWorkGroup *pGroup, UINT32 numOfThreads)
{
    MOS_ASSERT(pGroup != nullptr);
    if (numOfThreads == 0 || numOfThreads > pGroup->maxNumOfThreads) {
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW,
                  "Failed to resize work-group %p, requested value (%u) is out of bounds [1..%u]", (void *)pGroup,
                  numOfThreads, pGroup->maxNumOfThreads);
        return MOS_RC__PARAMETER_OUT_OF_RANGE;
    }
    mosFastlockBase_Acquire(&pGroup->lock);
    if (pGroup->ongoingOperations != 0) {
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "The module is still processing %u previous operations",
                  pGroup->ongoingOperations);
        mosFastlockBase_Release(&pGroup->lock);
        return MOS_RC__BUSY;
    }
    const UINT32 active = pGroup->numOfActiveThreads;
    pGroup->ongoingOperations = numOfThreads > active ? numOfThreads - active : active - numOfThreads;
    mosFastlockBase_Release(&pGroup->lock);

    for (UINT32 i = active; i < numOfThreads; i++) {
        NetWorkThread *pWorker = &pGroup->pWorkThreadArr[i];
        pWorker->bDie = FALSE;
        if (!netWorkThread_Start(pWorker)) {
            MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "Failed to allocate worker number %u for work-group %p", i,
                      (void *)pGroup);
            MosFastlockGuard guard(&pGroup->lock);
            pGroup->ongoingOperations -= numOfThreads - i;
            return MOS_RC__NO_RESOURCES;
        }
        __atomic_add_fetch(&pGroup->numOfActiveThreads, 1, __ATOMIC_ACQ_REL);
    }
    while (pGroup->numOfActiveThreads > numOfThreads) {
        __atomic_sub_fetch(&pGroup->numOfActiveThreads, 1, __ATOMIC_ACQ_REL);
        netWorkThread_NotifyShouldDie(&pGroup->pWorkThreadArr[pGroup->numOfActiveThreads]);
    }
    MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "Successfully updated work-group %p workers number to %u", (void *)pGroup,
              numOfThreads);
    Net *pNet = pGroup->pNet;
    if (pNet != nullptr && net_HasSeparateWorkerSched(pNet)) {
        Mos_RC rc = mosUmtSched_Resize(net_GetWorkerSched(pNet), numOfThreads);
        if (rc != MOS_RC__SUCCESS) {
            MOS_ERROR(MOS_COMP_NET, "Failed to resize the network scheduler with %s", mosRc_GetStr(rc));
            return rc;
        }
    }
    return MOS_RC__SUCCESS;
}

UINT32 netWorkGroup_GetNumOfWorkers(NetWorkGroup *pGroup)
{
    return netWorkGroup_ActiveCount(pGroup);
}

BOOL netWorkGroup_IsNumberOfWorkersBeingConfigured(NetWorkGroup *pGroup)
{
    MosFastlockGuard guard(&pGroup->lock);
    return pGroup->ongoingOperations != 0;
}

UINT32 netWorkThread_Waiters(NetWorkThread *pWorker)
{
    return netWorkThread_WaitersRacy(pWorker);
}

BOOL netWorkThread_IsDying(NetWorkThread *pWorker)
{
    return __atomic_load_n(&pWorker->bDie, __ATOMIC_ACQUIRE);
}

void netWorkThread_NotifyShouldDie(NetWorkThread *pWorker)
{
    MOS_ASSERT(! netWorkThread_IsDying(pWorker));
    mosFastlockBase_Acquire(&pWorker->lock);
    __atomic_store_n(&pWorker->bDie, TRUE, __ATOMIC_RELEASE);
    mosUmtCond_Signal(&pWorker->cond);
    mosFastlockBase_Release(&pWorker->lock);
    MOS_TRACE(MOS_COMP_NET, MOS_FREQ_MED, "Worker %p is ordered to die", (void *)pWorker);
}

void netWorkGroup_Query(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    MOS_UNUSED(pName);
    NetWorkGroup *pGroup = MOS_CONTAINER_OF(pObj, NetWorkGroup, sdbgObj);
    NetWorkGroupQuery *pQuery = static_cast<NetWorkGroupQuery *>(pData);
    memset(pQuery, 0, sizeof(*pQuery));
    const UINT32 active = netWorkGroup_ActiveCount(pGroup);
    pQuery->numUmts = active;
    pQuery->minActiveUmt = UINT32_MAX;
    for (UINT32 i = 0; i < active; i++) {
        const NetWorkThread *pWorker = &pGroup->pWorkThreadArr[i];
        const UINT32 remote = __atomic_load_n(&pWorker->remoteWaiters.counter, __ATOMIC_RELAXED);
        const UINT32 local = __atomic_load_n(&pWorker->localWaiters.counter, __ATOMIC_RELAXED);
        pQuery->remoteScheds += pWorker->remoteScheds;
        pQuery->localScheds += pWorker->localScheds;
        pQuery->priorityScheds += pWorker->priorityScheds;
        pQuery->remoteMitWaiters += remote;
        pQuery->localMitWaiters += local;
        if (remote + local == 0)
            continue;
        pQuery->numActiveUmts++;
        pQuery->maxActiveUmt = MOS_MAX(pQuery->maxActiveUmt, remote + local);
        pQuery->minActiveUmt = MOS_MIN(pQuery->minActiveUmt, remote + local);
    }
    if (pQuery->numActiveUmts == 0)
        pQuery->minActiveUmt = 0;
}

NetMsgSchedType net_GetMsgSchedMethod(void)
{
    return NET_MSG_SCHED_METHOD__SOCKET_RACE;
}
