// The work group: a fixed array of worker uthreads that run the messaging layer's micro-tasks
// (path connect, send and receive loops, accept, keep-alive sends, secure handshakes).
//
// The group is the MosMit_Scheduler of those tasks. A task that becomes ready is queued on the
// least loaded worker (the first with the fewest queued tasks, lengths read without locks): a
// worker scheduling for itself appends to its local list without any lock; any other thread
// appends to the worker's remote list under the worker's lock and wakes it only when that list
// goes from empty to one. A worker runs at most 3 remote tasks before turning to its local ones
// and local batches of 3 before looking at remote work again, so neither source starves.
//
// Workers 0 .. numOfActiveThreads-1 are alive. A resize starts workers in new slots or tells the
// highest ones to die; a dying worker empties its queues first. ongoingOperations counts starts
// and exits still in flight, and no new resize is taken until it is zero. The group lock guards
// only that count; a worker's lock guards its remote list and bDie and is never held while a
// task runs.
#pragma once

#include "mos/mit/mos_mit.h"
#include "mos/mos_obj.h"
#include "mos/umt/mos_umt.h"
#include "mos/umt/mos_umt_cond.h"

#define NET_WORKER__CONSEQ_LOCKED 3u
#define NET_WORKER__CONSEQ_LOCAL 3u

struct Net;
struct NetWorkGroup;
typedef MosMit *PMosMit;

struct NetWorkThread {
    HMosUmt_UThread hUmt;
    NetWorkGroup *pWrkGrp;
    MosUmt_Cond cond;      // an idle worker waits here
    MosFastlock_Base lock; // remoteWaiters and bDie
    MosMit_Anchor remoteWaiters;
    MosMit_Anchor localWaiters; // the worker's own thread only, no lock
    PMosMit pPriorityWaiter;    // runs right after the current task
    UINT32 remoteScheds;
    UINT32 localScheds;
    UINT32 priorityScheds;
    BOOL bDie;
};

struct NetWorkGroup {
    MosObj sdbgObj;
    MosMit_Scheduler sched;
    Net *pNet;
    NetWorkThread *pWorkThreadArr; // maxNumOfThreads slots
    MosFastlock_Base lock;         // ongoingOperations
    BOOL bImportantUmt;
    UINT32 maxNumOfThreads;
    UINT32 numOfActiveThreads;
    UINT32 ongoingOperations;
};

// The debug query record (SDBG_EXPORTS_OBJ_TYPE__NET_WORK_GRP).
struct NetWorkGroupQuery {
    UINT32 numUmts;
    UINT32 numActiveUmts; // workers with queued tasks
    UINT32 maxActiveUmt;
    UINT32 minActiveUmt;
    UINT32 remoteScheds;
    UINT32 localScheds;
    UINT32 priorityScheds;
    UINT32 remoteMitWaiters;
    UINT32 localMitWaiters;
};
static_assert(sizeof(NetWorkGroupQuery) == 36);

enum NetMsgSchedType : UINT32 {
    NET_MSG_SCHED_METHOD__LINEAR_SEARCH = 0,
    NET_MSG_SCHED_METHOD__SOCKET_RACE = 1,
    NET_MSG_SCHED_METHOD__LAST = 2,
};

// Panics when active is 0 or above maximum. Workers run on pNet's worker scheduler (the
// default scheduler when it has none).
void netWorkGroup_Init(NetWorkGroup *pGroup, UINT32 maxNumOfThreads, UINT32 numOfActiveThreads, BOOL bImportantUmt,
                       Net *pNet);
// Tells every worker to die and waits (on the calling OS thread, which must not be a worker) until
// all have emptied their queues and ended; then frees the slots.
void netWorkGroup_Destroy(NetWorkGroup *pGroup);
void netWorkThread_Init(NetWorkGroup *pGroup, NetWorkThread *pWorker, BOOL bStart);

void netWorkGroup_SchedMit(MosMit *pMit);
void netWorkGroup_SchedMitNow(MosMit *pMit);

// MOS_RC__PARAMETER_OUT_OF_RANGE for 0 or above the maximum; MOS_RC__BUSY while an earlier resize
// is still starting or ending workers; MOS_RC__NO_RESOURCES when a worker could not be created
// (those created so far stay); the separate worker scheduler's code when resizing it failed.
Mos_RC netWorkGroup_Resize(NetWorkGroup *pGroup, UINT32 numOfThreads);
UINT32 netWorkGroup_GetNumOfWorkers(NetWorkGroup *pGroup);
BOOL netWorkGroup_IsNumberOfWorkersBeingConfigured(NetWorkGroup *pGroup);
UINT32 netWorkThread_Waiters(NetWorkThread *pWorker);
BOOL netWorkThread_IsDying(NetWorkThread *pWorker);
void netWorkThread_NotifyShouldDie(NetWorkThread *pWorker);
void netWorkGroup_Query(MosObj *pObj, const CHAR_A *pName, void *pData);

NetMsgSchedType net_GetMsgSchedMethod(void);
