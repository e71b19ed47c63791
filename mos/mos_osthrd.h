// OS threads of the process. Every OS thread is created through this layer so that the runtime
// knows all of them (back traces, statistics), gives each the same stack size, CPU mask,
// alternate signal stack and per-thread counters, and can tell from any code whether it runs
// in interrupt context.
#pragma once

#include <pthread.h>
#include <sched.h>

#include "mos/mos_dlist.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_obj_entry.h"
#include "mos/mos_rc.h"
#include "mos/mos_types.h"

#define MOS_OS_THRD__STACK_SIZE 1048576u
#define MOS_OS_THRD__MAX_CPUS 1024u
// The panic report runs on this stack when a fatal signal hits a runtime thread; 8 KB is too
// small for it.
#define MOS_OS_THRD__ALT_STACK_SIZE 65536u

enum MosOsThrd_UmtWaitType : UINT32 {
    MOS_OS_THRD__UMT_WAIT_TYPE__COND = 0,
    MOS_OS_THRD__UMT_WAIT_TYPE__READER = 1,
    MOS_OS_THRD__UMT_WAIT_TYPE__WRITER = 2,
    MOS_OS_THRD__UMT_WAIT_TYPE__YIELD = 3,
    MOS_OS_THRD__UMT_WAIT_TYPE__EVENT = 4,
    MOS_OS_THRD__UMT_WAIT_TYPE__LAST = 5,
};

typedef void (*PMosOsThrd_StartFunc)(void *pArg);

// The CPU mask of a thread: 1024 CPUs in 128 bytes.
typedef cpu_set_t MosOsThrd_CpuSet;
static_assert(sizeof(MosOsThrd_CpuSet) == 128, "a CPU mask holds 1024 CPUs");

struct MosContentionOsThrdCtx;

// One OS thread, owned by its creator. The record must stay in place until
// mosOsThrd_Destroy has joined the thread.
struct MosOsThrd {
    MosObj obj; // the thread's entry in the debug object registry
    pthread_t nativeThrd;
    PMosOsThrd_StartFunc pStartFunc;
    void *pCKArg;
    UINT32 tid;
    UINT64 numLocksAcquires;
    UINT64 numLocksContentions;
    UINT64 numMallocs;
    MosContentionOsThrdCtx *pContCtx;
    UINT64 umtWaits[MOS_OS_THRD__UMT_WAIT_TYPE__LAST];
    MosDList_Node activeListNode;
};

struct MosOsThrd_InitParams {
    UINT64 numaAffinity; // all ones: leave the process's placement alone
    BOOL numaMemoryAffinity;
    BOOL bConfigOomKiller;
};

// Answer of the per-thread debug query.
struct MosOsThrd_Query {
    UINT64 numLocksAcquires;
    UINT64 numLocksContentions;
    UINT64 numMallocs;
    UINT64 umtWaitsCond;
};

// Answer of the layer's debug query: the six counters summed over all running threads.
struct MosOsThrdLayer_Query {
    UINT64 numLocksAcquires;
    UINT64 numLocksContentions;
    UINT64 numMallocs;
    UINT64 umtWaitsCond;
    UINT64 umtWaitsReader;
    UINT64 umtWaitsWriter;
    UINT32 numThreads;
};

Mos_RC mosOsThrdLayer_Create(const MosOsThrd_InitParams *pParams);
void mosOsThrdLayer_Destroy(void);

Mos_RC mosOsThrd_Create(MosOsThrd *pThrd, PMosOsThrd_StartFunc pThrdFunc, void *pThrdArg);
// As mosOsThrd_Create, with the name under which the thread is registered and which the kernel
// shows for it (first 15 characters). The text must outlive the thread.
Mos_RC mosOsThrd_CreateNamed(MosOsThrd *pThrd, PMosOsThrd_StartFunc pThrdFunc, void *pThrdArg,
                             const char *pName);
// Starts the thread whose function and argument are already in the record, on the given mask.
Mos_RC mosOsThrd_CreateIntrn(MosOsThrd *pThrd, const MosOsThrd_CpuSet *pCpuAffinity);
// Joins the thread.
void mosOsThrd_Destroy(MosOsThrd *pThrd);

BOOL mosOsThrd_EqualCurr(const MosOsThrd *pThrd);
UINT32 mosOsThrd_GetCurThrdID(void);
[[noreturn]] void mosOsThrd_ExitCurThrd(void);
// The record of the calling thread; a shared dummy record on threads not created here.
MosOsThrd *mosOsThrd_GetCurrent(void);
BOOL mosOsThrd_IsRuntimeThread(void);

Mos_RC mosOsThrd_SetHighPrio(MosOsThrd *pThrd);
Mos_RC mosOsThrd_BindToCpu(MosOsThrd *pThrd, UINT32 cpuNum);
void mosOsThrd_PrepareSetCpuMask(MosOsThrd_CpuSet *pSet);
void mosOsThrd_BlockAllSignals(void);
// The default mask of new threads (the mask of the thread that created the layer).
const MosOsThrd_CpuSet *mosOsThrdLayer_GetDefaultMask(void);

void mosUmt_InitAltStack(void);
void mosUmt_DestroyAltStack(void);

// Counters of the calling thread.
void mosOsThrd_UpdateLockStats(UINT64 numAcquires, UINT64 numContentions);
void mosOsThrd_UpdateUmtWaits(MosOsThrd_UmtWaitType umtWaitType, BOOL bWait);
void mosOsThrd_UpdateMallocCount(void);
void mosOsThrd_UpdateFreeCount(void);
MosContentionOsThrdCtx *mosOsThrd_GetContentionCtx(void);

// Interrupt context: a callback that must not block.
void mosOsThrd_SetIsInIntrContext(BOOL bIsInIntrContext);
BOOL mosOsThrd_GetIsInIntrContext(void);
BOOL mosOsThrd_NoIntrViolation(void);

// An allocated array of the kernel ids of all running runtime threads; the caller frees it
// with free().
Mos_RC mosOsThrdLayer_GetActiveThrdIDs(UINT32 **ppIds, UINT32 *pNumOfThreads);
UINT32 mosOsThrdLayer_GetNumActive(void);

// Debug queries: one thread's counters (a MosOsThrd_Query), and the sums over all threads (a
// MosOsThrdLayer_Query).
void mosOsThrd_Query(MosObj *pObj, const CHAR_A *pName, void *pData);
void mosOsThrdLayer_Query(MosObj *pObj, const CHAR_A *pName, void *pData);

// Process placement: the NUMA node of the process (and of its memory), the calling thread's CPU
// mask, and the OOM killer's score of the process.
Mos_RC mos_SetProcessNumaAffinity(UINT32 numaNode, BOOL numaMemoryAffinity);
Mos_RC mos_GetCurThreadAffinity(MosOsThrd_CpuSet *pMask);
void mos_PrepareSetCpuMask(MosOsThrd_CpuSet *pSet);
Mos_RC mos_ConfigProcessOomKiller(void);
