// User-mode threads (uthreads): cooperative threads, each on its own stack, run by schedulers on
// OS threads. A switch saves and restores eight registers and never enters the kernel.
//
// Rules that every user of this header relies on:
// - a uthread may resume on another OS thread than the one it suspended on, so per-OS-thread
//   state is reached only through the non-inlined accessors below, never cached across a call
//   that may suspend;
// - a uthread suspends holding exactly one fast lock, the one that guards the list it put itself
//   on; that lock is released by the next context only once the uthread is fully SUSPENDED.
#pragma once

#include "mos/mos_dlist.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_osthrd.h"
#include "mos/mos_rc.h"
#include "mos/mos_ticks.h"
#include "mos/mos_timer.h"
#include "mos/mos_types.h"
#include "mos/umt/mos_umt_class.h"
#include "mos/usr/linux/x86_64/mos_jmp.h"

#define MOS_UMT__SCRATCH_SPACE_IN_BYTES 32u
#define MOS_UMT__DEFAULT_UMT_SIZE (32u * 1024u)
#define MOS_UMT__RUN_THRESHOLD_MILLI 300u
#define MOS_UMT__RUN_OPTIMUM_MILLI 5u
// Room that a block must leave below the record for the stack.
#define MOS_UMT__MIN_STACK_BYTES 2048u

// Creation identifiers of the module's fast locks.
enum : MosContentionId {
    MOS_UMT_LOCK_ID__DYNAMIC_ALLOCATOR = 12,
    MOS_UMT_LOCK_ID__SEMAPHORE = 13,
    MOS_UMT_LOCK_ID__CLASS = 14,
    MOS_UMT_LOCK_ID__SCHED_THRD = 17,
    MOS_UMT_LOCK_ID__MGR = 19,
    MOS_UMT_LOCK_ID__JOIN_SYNC = 20,
    MOS_UMT_LOCK_ID__SLEEP = 21,
    MOS_UMT_LOCK_ID__YIELD = 22,
    MOS_UMT_LOCK_ID__SCHED_THRD_THRD = 26,
    MOS_UMT_LOCK_ID__ACTIVE_LIST = 28,
    MOS_UMT_LOCK_ID__BLOCKING = 36,
};

typedef MosJmpBuf MosUmt_Context;
typedef MosDList_Node MosUmt_UThreadListNode;
typedef MosDList_Anchor MosUmt_UThreadListAnchor;

enum MosUmtState : UINT32 {
    MOS_UMT_STATE__INIT = 0,
    MOS_UMT_STATE__TRAMPOLINE = 1,
    MOS_UMT_STATE__RUNNING = 2,
    MOS_UMT_STATE__READY = 3,
    MOS_UMT_STATE__PREPARE_TO_SUSPEND = 4,
    MOS_UMT_STATE__SUSPENDED = 5,
    MOS_UMT_STATE__PREPARE_TO_DELETE = 6,
    MOS_UMT_STATE__YIELD = 7,
    MOS_UMT_STATE__DEAD = 8,
    MOS_UMT_STATE__LAST = 9,
};

enum UserContextSematicsType : UINT32 {
    USER_CONTEXT__USER_CONTEXT = 0,
    USER_CONTEXT__TIME_LIMIT_TICKS = 1,
};

struct MosUmt_UThread;
typedef MosUmt_UThread MosUmt;
typedef MosUmt *HMosUmt_UThread;
struct MosUmt_Sched;
struct MosUmt_Allocator;
struct MosMit;

typedef void (*MosUmt_StartFunc)(void *pArg);

// Per-uthread statistics: none are kept.
struct MosUmtUthreadStats {};

struct MosUmt_UThread {
    MosUmt_UThreadListNode node; // one run queue or waiter list at a time
    MosUmt_StartFunc pStartFunc;
    UINT64 debugInfo;
    union {
        void *pArg;
        UINT8 scratchSpace[MOS_UMT__SCRATCH_SPACE_IN_BYTES]; // the wait context of conditions
    };
    MosUmt_Allocator *pAllocator;
    MosUmt_Sched *pSched;
    MosTimer_Req timerReq;
    MosFastlock_Base *pSuspendLock;
    void *pEndStack; // start of the block: the stack grows down towards it
    MosUmt_Context umtEntry;
    MosUmt_Context *pUmtLastSuspend;
    void *pJoinerSem; // a uthread joiner's semaphore, or an OS-thread joiner's record | 1
    UINT32 joinRef;
    MosUmtState state;
    int valgrindStackId;
    UINT32 suspendNum;
    BOOL bImportant;
    BOOL bCommonSuspend;
    MosTicks_Cnt resumeTicks;
    UserContextSematicsType userContextType;
    union {
        void *pUserContext;
        MosTicks_Cnt timeLimitTick;
    } userContext;
    MosDList_Node dynamicUmtListNode;
    MosDList_Node activeUmtListNode;
    MosUmtClassListNode classRefNode;
    UINT32 idInClass;
    MosUmtUthreadStats stats;
    MosMit *pMit;
};
static_assert(offsetof(MosUmt_UThread, scratchSpace) == offsetof(MosUmt_UThread, pArg), "union");
static_assert(sizeof(((MosUmt_UThread *)nullptr)->scratchSpace) == 32, "scratch space");

// A scheduler: how a READY uthread is placed and what runs when one suspends.
struct MosUmt_Sched {
    void (*pSchedCK)(MosUmt_Sched *pSched, MosUmt *pUmt);
    // Runs on the leaving uthread's stack and switches to whatever runs next; returns when the
    // uthread is continued (never, for one that ended).
    void (*pSuspendCK)(MosUmt_Sched *pSched);
    BOOL (*pShouldYieldCK)(void);
    Mos_RC (*pResizeCK)(MosUmt_Sched *pSched, UINT32 numOfThrds);
};

// An allocator of uthread blocks.
struct MosUmt_Allocator {
    MosUmt *(*pAllocFunc)(MosUmt_Allocator *pAllocator); // a record in state TRAMPOLINE, or null
    void (*pFreeFunc)(MosUmt_Allocator *pAllocator, MosUmt *pUmt);
    UINT32 (*pNumOfFreeEntries)(MosUmt_Allocator *pAllocator);
};

// Arguments of the creation calls that name the manager's own scheduler or allocator.
#define MOS_UMT_SCHED__FOREIGN ((MosUmt_Sched *)(uintptr_t)1)
#define MOS_UMT_ALLOCATOR__DYNAMIC ((MosUmt_Allocator *)(uintptr_t)2)

// The foreign scheduler runs a uthread nested on whatever OS thread makes it ready.
struct MosUmt_SchedForeign {
    MosUmt_Sched sched;
};

struct MosUmt_DynamicAllocator {
    MosUmt_Allocator allocator;
    UINT32 umtSize;
    BOOL bGuardPage;
    MosDList_Anchor dynamicUmtList;
    MosFastlock_Base dynamicUmtListLock;
};

struct MosUmt_Mgr {
    MosUmt_SchedForeign schedForeign;
    MosUmt_DynamicAllocator dynamicAlloc;
    MosUmt_Sched *pDefSched;
    MosUmt_Allocator *pDefAllocator;
    MosFastlock_Base lock;
    MosTicks_Cnt umtRunThreshTicks;
    MosTicks_Cnt umtRunOptimumTicks;
    BOOL umtShouldPanicOnThreshTicks;
    MosFastlock_Base activeListLock;
    MosDList_Anchor activeList;
};

// Manager.
void mosUmtMgr_Init(void (*classInitFunc)(void));
void mosUmtMgr_SetDefaults(MosUmt_Sched *pNewSched, MosUmt_Allocator *pNewAllocator);
MosUmt_Sched *mosUmt_GetDefaultScheduler(void);
MosUmt_Allocator *mosUmt_GetDefaultAllocator(void);
void mosUmtMgr_SetRunThreshTicks(MosTicks_Cnt ticks, BOOL bShouldPanicOnThresh);
void mosUmtMgr_Destroy(void);
UINT32 mosUmt_GetNumOfAvailableThreads(MosUmt_Allocator *pAllocator);
MosUmt_Sched *mosUmtMgr_GetForeignSched(void);
MosUmt_Allocator *mosUmtMgr_GetDynamicAllocator(void);

// Creation.
HMosUmt_UThread mosUmt_CreateUThread(MosUmt_StartFunc pStartFunc, void *pArg, MosUmtClassId classId);
HMosUmt_UThread mosUmt_CreateUThreadEx(MosUmt_StartFunc pStartFunc, void *pArg, MosUmt_Sched *pSched,
                                       MosUmt_Allocator *pAlloc, BOOL bJoinable, MosUmtClassId classId);
HMosUmt_UThread mosUmt_CreateUThreadExInheritUserContext(MosUmt_StartFunc pStartFunc, void *pArg,
                                                         MosUmt_Sched *pSched, MosUmt_Allocator *pAlloc,
                                                         BOOL bJoinable, MosUmtClassId classId);
// For allocators: prepare a fresh block, or take back a block prepared earlier.
MosUmt *mosUmt_Init(void *pUmtMem, UINT32 memSize);
MosUmt *mosUmt_Reuse(void *pUmtMem, UINT32 memSize);

// Per-OS-thread state (never inlined: the caller may have moved to another OS thread).
HMosUmt_UThread mosUmt_GetUThreadHdl(void);
HMosUmt_UThread mosUmt_GetUThreadHdlNoAssert(void);
HMosUmt_UThread mosUmt_GetNoStateCheck(void);

// Switching and waiting.
void mosUmt_SuspendUThread(MosFastlock_Base *pLock, MosOsThrd_UmtWaitType waitType);
void mosUmt_ResumeUThread(HMosUmt_UThread pUmt);
void mosUmt_ResumeNow(HMosUmt_UThread pUmt);
void mosUmt_Yield(void);
BOOL mosUmt_ShouldYield(void);
void mosUmt_YieldIfShould(void);
void mosUmt_SleepByQ(MosTimerQ_ID qID);
void mosUmt_JoinUThread(HMosUmt_UThread pUmt);
void mosUmt_JoinSync(HMosUmt_UThread pUmt);
// Resumptions that had to wait for this OS thread to release its last fast lock.
void mosUmt_RunPendingResumes(void);

// Attributes.
void mosUmt_SetDebugInfo(HMosUmt_UThread pUmt, UINT64 debugInfo);
UINT64 mosUmt_GetDebugInfo(HMosUmt_UThread pUmt);
void mosUmt_SetMyDebugInfo(UINT64 debugInfo);
UINT64 mosUmt_GetMyDebugInfo(void);
void mosUmt_SetImportant(BOOL bImportant);
BOOL mosUmt_GetImportant(HMosUmt_UThread pUmt);
void mosUmt_SetCommonSuspend(BOOL bCommon);
UINT32 mosUmt_GetCurSuspendCnt(void);
MosUmtUthreadStats *mosUmt_GetUThreadStats(HMosUmt_UThread pUmt);
const char *mosUmt_GetClassName(HMosUmt_UThread pUmt);
MosMit *mosUmt_GetCurrMit(void);
void mosUmt_SetCurrMit(MosMit *pMit);
BOOL mosUmt_CurrentSchedulerHasWaiters(void);
MosUmtState mosUmt_GetState(HMosUmt_UThread pUmt);

// User context and time limits of the calling uthread.
void mosUmt_SetUserContext(void *pUserContext);
void *mosUmt_GetUserContext(void);
void mosUmt_SetTimeLimitTick(MosTicks_Cnt timeLimitTick);
MosTicks_Cnt mosUmt_GetTimeLimitTick(void);
void mosUmt_SetTimeLimitMilli(UINT64 millis);
INT64 mosUmt_GetTimeLimitMilliBudget(void);
UserContextSematicsType mosUmt_GetUserContextSematicsType(void);

// Diagnostics.
void mosUmt_BackTraceAllNotRunning(void);
Mos_RC mosUmt_LastSuspendBackTrace(HMosUmt_UThread pUmt);
void mosUmt_StartTickSampling(HMosUmt_UThread pUmt);
void mosUmt_EndTickSampling(void);
