// Schedulers with OS threads of their own (scheduler threads). Each scheduler thread has a local
// run queue that only it touches and a remote run queue, under its lock, into which other
// threads put work; a placement policy picks the thread that gets a uthread that became ready.
// The scheduler guard, one OS thread, samples every guarded scheduler and reports a thread that
// has run one uthread for a whole interval; each scheduler thread in turn checks that the guard
// is still sampling.
#pragma once

#include "mos/mos_fastlock.h"
#include "mos/mos_obj.h"
#include "mos/mos_osthrd.h"
#include "mos/mos_ticks.h"
#include "mos/umt/mos_umt.h"

#define MOS_UMT_SCHED_THRD__Q_MAX_CONSEC_UMT 3u
#define MOS_UMT_SCHED_THRD__PAUSE_POLL_INTERVAL_NS 100000000ull
#define MOS_UMT_SCHED_THRD__DEFAULT_IDLE_MILLIS 0u
#define MOS_UMT_SCHED_GUARD__DEF_PANIC_RATIO 3u
#define MOS_UMT_SCHED_GUARD__MIN_PANIC_RATIO 2u
#define MOS_UMT_SCHED_GUARD__SLEEP_INTERVAL_MILLIS 100u
#define MOS_UMT_SCHED_THRD__MAX_PLACEMENT_RETRIES 100u
#define MOS_UMT_SCHED_THRD__DESTROY_RETRIES 1000u
#define MOS_UMT_SCHED_THRD__NAME_LEN 32u
#define MOS_UMT_SCHED_THRD__CACHE_LINE 64u

enum MosUmtSchedThrd_Policy : UINT32 {
    MOS_UMT_SCHED_THRD_POLICY__LEAST_Q_DEPTH = 0,
    MOS_UMT_SCHED_THRD_POLICY__LEAST_Q_DEPTH_FULL = 1,
    MOS_UMT_SCHED_THRD_POLICY__RR = 2,
    MOS_UMT_SCHED_THRD_POLICY__SOFT_AFFINITY = 3,
    MOS_UMT_SCHED_THRD_POLICY__LAST = 4,
};

struct MosUmt_SchedThrd;
// One scheduler thread (its record is the module's own).
struct MosUmtSchedThrd_Thrd;

struct MosUmt_SchedThrd {
    MosUmt_Sched base;
    MosObj obj;
    MosFastlock_Base lock; // thread count and numOfOngoingOps
    MosUmtSchedThrd_Thrd *pThrds;
    MosDList_Node guardThreadNode;
    BOOL bIsSomeThreadStuck;
    UINT32 thrdNum;
    UINT32 curGuardThrdNum;
    UINT32 targetGuardThrdNum;
    UINT32 maxNumOfThreads;
    UINT32 numOfOngoingOps;
    UINT32 umtQuota;
    BOOL bHighPrioThrds;
    BOOL bPoll;
    MosTicks_Cnt maxIdleTicks;
    BOOL bMaxIdleTicksJustChanged;
    MosTicks_Cnt lastSamplingTick;
    MosUmtSchedThrd_Policy schedPolicy;
    alignas(MOS_UMT_SCHED_THRD__CACHE_LINE) UINT32 nextThrdToRun;
    CHAR_A name[MOS_UMT_SCHED_THRD__NAME_LEN];
};

// Request that stops one scheduler thread on a blocking-call thread.
struct MosUmtSchedThrd_BlockRequest;

struct MosUmtSchedThrd_Query {
    CHAR_A name[32];
    CHAR_A schedPolicy[32];
    UINT32 numThrds;
    UINT32 numActiveThrds;
    UINT32 maxActive;
    UINT32 minActive;
    UINT32 remoteScheds;
    UINT32 localSched;
    UINT32 remoteWaiters;
    UINT32 localWaiters;
};
static_assert(sizeof(MosUmtSchedThrd_Query) == 96, "query record");

Mos_RC mosUmtSchedThrd_Create(MosUmt_SchedThrd *pSched, const CHAR_A *pName, UINT32 maxNumThreads, UINT32 numThreads,
                              UINT32 quota);
Mos_RC mosUmtSchedThrd_CreateEx(MosUmt_SchedThrd *pSched, const CHAR_A *pName, UINT32 maxOsThreads,
                                UINT32 numThreads, UINT32 quota, BOOL bHighPrioThrds, BOOL bPoll);
void mosUmtSchedThrd_Destroy(MosUmt_SchedThrd *pSched);
Mos_RC mosUmtSched_Resize(MosUmt_Sched *pSched, UINT32 numOfThrds);
Mos_RC mosUmtSchedThrd_ResizeCK(MosUmt_Sched *pSched, UINT32 numOfThrds);
void mosUmtSchedThrd_SetSchedPolicy(MosUmt_SchedThrd *pSched, MosUmtSchedThrd_Policy policy);
const char *mosUmtSchedThrd_PolicyName(UINT32 policy);
Mos_RC mosUmtSchedThrd_BindToCpus(MosUmt_SchedThrd *pSched, const UINT8 *pBitMask, UINT32 bitNum);
// The CPU that thread n gets from the mask (CPU c is bit 1 << (c % 8) of byte c / 8), or -1 for an
// empty mask.
INT32 mosUmtSchedThrd_NthCpuInWalk(const UINT8 *pBitMask, UINT32 bitNum, UINT32 n);
void mosUmtSchedThrd_Query(MosObj *pObj, const CHAR_A *pName, void *pData);


// Guard and layer.
void mosUmtSchedThrd_SetLivnessThreshold(MosUmt_SchedThrd *pSched, UINT32 threshInMilli);
void mosUmtSchedThrd_SetDefaultSchedGuardValues(UINT32 threshInMilli, UINT64 deadGuardPanicRatio);
BOOL mosUmtSchedThrd_IsStuck(void);
void mosUmtSchedThrd_SetPaused(BOOL bIsPaused);
void mosUmtSchedThrdLayer_Init(void);
void mosUmtSchedThrdLayer_Destroy(void);
