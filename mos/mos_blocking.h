// Blocking-call services: a few plain OS threads and a queue of calls that may block an OS
// thread (directory creation, a join, synchronous file or security work), so that such calls
// never stall a scheduler thread and the uthreads queued on it.
#pragma once

#include "mos/mos_dlist.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_obj.h"
#include "mos/mos_osthrd.h"
#include "mos/mos_rc.h"
#include "mos/mos_types.h"
#include "mos/usr/linux/mos_condvar.h"

#define MOS_BLOCKING__DEFAULT_NAME "Default blocker"
#define MOS_BLOCKING__LOCK_ID 36

// One call. It belongs to the submitter and must stay valid until its completion callback has
// run: with MOS_RC__SUCCESS after workFunc ran (its result in status), or with MOS_RC__ABORTED
// when the service was destroyed before the call ran.
struct MosBlocking_Req {
    MosAsyncObj asyncObj; // pCK may be null
    int (*workFunc)(void *pContext);
    void *pContext;
    int status;
};

struct MosBlocking {
    MosFastlock_Base fastlock;
    MosAsyncObj_Anchor waiters; // oldest first
    MosOsw_CondVar cond;
    MosOsThrd *pBlockingThreads;
    UINT32 numBlockingThreads;
    UINT32 numRunningThreads;
    MosObj obj;
    BOOL bDie;
};

struct MosBlocking_Query {
    CHAR_A name[32];
    UINT32 numBlockingThreads;
    UINT32 numRunningThreads;
    UINT32 waiters;
};
static_assert(sizeof(MosBlocking_Query) == 44, "query record");

Mos_RC mosBlockingLayer_Init(void *pArg);
void mosBlockingLayer_Destroy(void);
Mos_RC mosBlocking_Create(MosBlocking *pBlocking, const CHAR_A *pName, UINT32 numThreads);
void mosBlocking_Destroy(MosBlocking *pBlocking);
// Queues the call (null: the default service) and returns MOS_RC__PENDING.
Mos_RC mosBlocking_SubmitWait(MosBlocking *pBlocking, MosBlocking_Req *pReq);
UINT32 mosBlocking_GetNumWaiters(MosBlocking *pBlocking);
void mosBlocking_Query(MosObj *pObj, const CHAR_A *pName, void *pData);
MosBlocking *mosBlocking_GetDefault(void);
