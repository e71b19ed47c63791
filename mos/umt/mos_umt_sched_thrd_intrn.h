// What the scheduler threads, their guard and the uthread core share: the record of one
// scheduler thread, the guard and layer records, and the calls the uthread core makes on its
// scheduler threads' behalf.
#pragma once

#include "mos/umt/mos_umt_intrn.h"
#include "mos/umt/mos_umt_sched_thrd.h"
#include "mos/usr/linux/mos_condvar.h"
#include "mos/usr/linux/umt/mos_umt_fiber.h"

// One scheduler thread.
struct MosUmtSchedThrd_Thrd {
    BOOL bDie; // stopped or being stopped; set on every record not started
    BOOL bPoll;
    MosUmt *pRunningUmt;
    MosUmt_Context *pBaseContext; // the run loop, where the thread returns when nothing is runnable
    MosUmt_SchedThrd *pSched;
    MosOsThrd osThrd;
    UINT32 remoteScheds;
    UINT32 localScheds;
    UINT32 consecUmt; // taken in a row from the queue served now
    BOOL bLocalQ;     // the queue served now
    MosUmt_UThreadListAnchor localWaiters;
    MosUmt_UThreadListAnchor remoteWaites;
    MosFastlock_Base lock; // remote queue, bActive, bDie
    MosOsw_CondVar cond;
    alignas(MOS_UMT_SCHED_THRD__CACHE_LINE) BOOL bActive;
    alignas(MOS_UMT_SCHED_THRD__CACHE_LINE) UINT32 activityGen;
    alignas(MOS_UMT_SCHED_THRD__CACHE_LINE) MosTicks_Cnt activitySampleTick;
    alignas(MOS_UMT_SCHED_THRD__CACHE_LINE) MosUmt_FiberSlot baseFiber;
    MosTicks_Cnt pickTick; // coarse thread tick of the last pick, the picked uthread's slice start
};

struct MosSchedGuard {
    MosOsThrd guardThread;
    MosOsw_CondVar osCondVar;
    MosFastlock_Base lock;
    MosDList_Anchor threadList;
    UINT32 sleepIntervalInMillis;
    MosTicks_Cnt defaultIdleTicks;
    UINT64 deadGuardPanicRatio;
    BOOL bDie;
    BOOL bIsStuck;
    UINT32 atomicPanicCounter;
};

struct MosUmtSchedThrd_Layer {
    MosObj_Type objType;
    BOOL bIsPaused;
    MosSchedGuard guard;
};

const MosUmtSchedThrd_Layer *mosUmtSchedThrdLayer_Get(void);

void mosUmtSchedThrd_SchedCK(MosUmt_Sched *pSched, MosUmt *pUmt);
void mosUmtSchedThrd_SuspendCK(MosUmt_Sched *pSched);
// A yield of the running uthread pUmt on a thread of its own scheduler (pTls: the calling OS
// thread's record): when the placement policy keeps it on this thread, queues it there and
// returns the uthread to run instead (null with *pbNothingReady when nothing else is runnable:
// the yield is over at once). Returns null without *pbNothingReady when the general path must
// place it.
MosUmt *mosUmtSchedThrd_YieldLocal(MosUmt_Tls *pTls, MosUmt *pUmt, BOOL *pbNothingReady);
// The slice start of the uthread that the calling scheduler thread (pTls) picked last.
MosTicks_Cnt mosUmtSchedThrd_PickTick(const MosUmt_Tls *pTls);
BOOL mosUmtSchedThrd_ShouldYieldCK(void);
MosUmtSchedThrd_Thrd *mosUmtSchedThrd_LeastQDepth(MosUmt_SchedThrd *pSched, MosUmt *pUmt,
                                                  MosUmtSchedThrd_Thrd *pMine, BOOL bFull);
MosUmtSchedThrd_Thrd *mosUmtSchedThrd_RR(MosUmt_SchedThrd *pSched);
MosUmtSchedThrd_Thrd *mosUmtSchedThrd_SOFT_AFFINITY(MosUmt_SchedThrd *pSched, MosUmt *pUmt);
// Stops one scheduler thread and waits for it to end (run on a blocking-call thread).
void mosUmtSchedThrd_DestroyThrd(MosUmtSchedThrd_Thrd *pThrd);

extern MosUmtSchedThrd_Layer schedThrdLayer_G;

// Fields that other threads read or write without the owner's lock.
template <typename T> inline T mosAtomicLoad(const T *p)
{
    return __atomic_load_n(p, __ATOMIC_RELAXED);
}

template <typename T> inline void mosAtomicStore(T *p, T v)
{
    __atomic_store_n(p, v, __ATOMIC_RELAXED);
}

// The guard's thread and state, started and stopped with the layer.
void schedThrdGuard_Init(MosSchedGuard *pGuard);
void schedThrdGuard_Destroy(MosSchedGuard *pGuard);
