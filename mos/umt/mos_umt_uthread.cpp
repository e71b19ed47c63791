// Uthread records, their manager, creation, the switch, suspension, resumption, ending and
// joining.
#include <cstdio>
#include <cstring>

#include "mos/mos_dbg.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils.h"
#include "mos/umt/mos_umt.h"
#include "mos/umt/mos_umt_blocking.h"
#include "mos/umt/mos_umt_dynamic_allocator.h"
#include "mos/umt/mos_umt_sched_foreign.h"
#include "mos/umt/mos_umt_sched_thrd_intrn.h"
#include "mos/umt/mos_umt_semaphore.h"
#include "mos/usr/linux/umt/mos_umt_fiber.h"
#include "mos/usr/linux/mos_condvar.h"

void mosUmtPlat_PrepareEntry(MosUmt *pUmt);
MosDList_Anchor *mosUmt_GetPendingResumes(void);
BOOL *mosUmt_GetRunningPendingResumes(void);

namespace {
MosUmt_Mgr umtMgr_G;

// An OS thread that joins a uthread waits on this record; its address travels with bit 0 set.
struct MosUmt_OsJoiner {
    MosFastlock_Base lock;
    MosOsw_CondVar cond;
    BOOL bWakeup;
};

inline size_t mosUmt_StackSize(const MosUmt *pUmt)
{
    return static_cast<size_t>(reinterpret_cast<const char *>(pUmt) - static_cast<const char *>(pUmt->pEndStack));
}

inline MosUmt *mosUmt_RecordOfBlock(void *pUmtMem, UINT32 memSize)
{
    uintptr_t rec = reinterpret_cast<uintptr_t>(pUmtMem) + memSize - sizeof(MosUmt);
    return reinterpret_cast<MosUmt *>(rec & ~static_cast<uintptr_t>(15));
}

inline UINT32 mosUmt_LoadJoinRef(MosUmt *pUmt)
{
    return __atomic_load_n(&pUmt->joinRef, __ATOMIC_SEQ_CST);
}

inline UINT32 mosUmt_DecJoinRef(MosUmt *pUmt)
{
    return __atomic_fetch_sub(&pUmt->joinRef, 1u, __ATOMIC_SEQ_CST);
}

MosUmt_Sched *mosUmt_ResolveSched(MosUmt_Sched *pSched)
{
    if (pSched == nullptr)
        return umtMgr_G.pDefSched;
    if (pSched == MOS_UMT_SCHED__FOREIGN)
        return &umtMgr_G.schedForeign.sched;
    return pSched;
}

MosUmt_Allocator *mosUmt_ResolveAllocator(MosUmt_Allocator *pAlloc)
{
    if (pAlloc == nullptr)
        return umtMgr_G.pDefAllocator;
    if (pAlloc == MOS_UMT_ALLOCATOR__DYNAMIC)
        return &umtMgr_G.dynamicAlloc.allocator;
    return pAlloc;
}

MosUmt *mosUmt_CurRunning(void)
{
    MosUmt *pUmt = mosUmt_GetUThreadHdlNoAssert();
    MOS_ASSERT(pUmt != ((void *)0));
    return pUmt;
}
} // namespace

static void mosUmt_SetState(MosUmt *pUmt, MosUmtState state)
{
    if (state > MOS_UMT_STATE__DEAD) {
        MOS_TRACE(MOS_COMP_UTHREAD, MOS_FREQ_LOW, "Warning: invalid state %d", (int)state);
        return;
    }
    if (state == MOS_UMT_STATE__DEAD)
        mosUmtClass_DelFromClass(&pUmt->classRefNode);
    pUmt->state = state;
}

// ---------------------------------------------------------------------------------------------
// Manager

// The panic path's back traces of every uthread that does not run: the scheduler threads are
// held first, so that none starts one of them while its stack is read.
static void mosUmt_PanicBackTrace(void)
{
    mosUmtSchedThrd_SetPaused(TRUE);
    mosUmt_BackTraceAllNotRunning();
}

// Trace lines name the uthread they were written on.
static void *mosUmt_CurForTrace(void)
{
    return mosUmt_GetUThreadHdlNoAssert();
}

void mosUmtMgr_Init(void (*classInitFunc)(void))
{
    mosUmtSchedThrdLayer_Init();
    memset(static_cast<void *>(&umtMgr_G), 0, sizeof(umtMgr_G));
    mosFastlockBase_AdaptiveCreate(&umtMgr_G.lock, MOS_UMT_LOCK_ID__MGR, __FILE__, __LINE__);
    mosUmtSchedForeign_Create(&umtMgr_G.schedForeign);
    mosUmtDynamicAllocator_Create(&umtMgr_G.dynamicAlloc, MOS_UMT__DEFAULT_UMT_SIZE, TRUE);
    umtMgr_G.pDefSched = &umtMgr_G.schedForeign.sched;
    umtMgr_G.pDefAllocator = &umtMgr_G.dynamicAlloc.allocator;
    umtMgr_G.umtRunThreshTicks = mosTicks_MillisToTicks(MOS_UMT__RUN_THRESHOLD_MILLI);
    umtMgr_G.umtRunOptimumTicks = mosTicks_MillisToTicks(MOS_UMT__RUN_OPTIMUM_MILLI);
    umtMgr_G.umtShouldPanicOnThreshTicks = FALSE;
    MOS_FASTLOCK_CREATE(&umtMgr_G.activeListLock, MOS_UMT_LOCK_ID__ACTIVE_LIST);
    mosDList_InitAnchor(&umtMgr_G.activeList);
    mosDbg_SetUmtBackTraceHook(mosUmt_PanicBackTrace);
    mosUtils_SetRunBlockingHook(mosUmtBlocking_RunFromUThread);
    mosTrace_SetContextHook(mosUmt_CurForTrace);
    if (classInitFunc != nullptr)
        classInitFunc();
}

void mosUmtMgr_SetDefaults(MosUmt_Sched *pNewSched, MosUmt_Allocator *pNewAllocator)
{
    if (pNewSched != nullptr)
        umtMgr_G.pDefSched = pNewSched;
    if (pNewAllocator != nullptr)
        umtMgr_G.pDefAllocator = pNewAllocator;
}

MosUmt_Sched *mosUmt_GetDefaultScheduler(void)
{
    return umtMgr_G.pDefSched;
}

MosUmt_Allocator *mosUmt_GetDefaultAllocator(void)
{
    return umtMgr_G.pDefAllocator;
}

MosUmt_Sched *mosUmtMgr_GetForeignSched(void)
{
    return &umtMgr_G.schedForeign.sched;
}

MosUmt_Allocator *mosUmtMgr_GetDynamicAllocator(void)
{
    return &umtMgr_G.dynamicAlloc.allocator;
}

void mosUmtMgr_SetRunThreshTicks(MosTicks_Cnt ticks, BOOL bShouldPanicOnThresh)
{
    umtMgr_G.umtRunThreshTicks = ticks;
    umtMgr_G.umtShouldPanicOnThreshTicks = bShouldPanicOnThresh;
}

void mosUmtMgr_Destroy(void)
{
    mosDbg_SetUmtBackTraceHook(nullptr);
    mosUtils_SetRunBlockingHook(nullptr);
    mosTrace_SetContextHook(nullptr);
    mosUmtSchedForeign_Destroy(&umtMgr_G.schedForeign);
    mosUmtDynamicAllocator_Destroy(&umtMgr_G.dynamicAlloc);
    mosUmtSchedThrdLayer_Destroy();
    mosFastlockBase_Destroy(&umtMgr_G.lock);
    mosFastlockBase_Destroy(&umtMgr_G.activeListLock);
    memset(static_cast<void *>(&umtMgr_G), 0, sizeof(umtMgr_G));
    mosUmtClassMgr_Fini();
}

UINT32 mosUmt_GetNumOfAvailableThreads(MosUmt_Allocator *pAllocator)
{
    MosUmt_Allocator *pAlloc = mosUmt_ResolveAllocator(pAllocator);
    return pAlloc->pNumOfFreeEntries(pAlloc);
}

// ---------------------------------------------------------------------------------------------
// Blocks

MosUmt *mosUmt_Init(void *pUmtMem, UINT32 memSize)
{
    MOS_ASSERT(memSize > (sizeof(MosUmt) + 2048));
    MosUmt *pUmt = mosUmt_RecordOfBlock(pUmtMem, memSize);
    memset(static_cast<void *>(pUmt), 0, sizeof(MosUmt));
    pUmt->pEndStack = pUmtMem;
    mosUmt_SetState(pUmt, MOS_UMT_STATE__INIT);
    // The first entry onto the new stack is a restore of a context that this builds by hand:
    // no signal and no system call, and a reused block re-enters the same way.
    mosUmtPlat_PrepareEntry(pUmt);
    pUmt->pUmtLastSuspend = &pUmt->umtEntry;
    mosUmt_SetState(pUmt, MOS_UMT_STATE__TRAMPOLINE);
    return pUmt;
}

MosUmt *mosUmt_Reuse(void *pUmtMem, UINT32 memSize)
{
    MOS_ASSERT(memSize > (sizeof(MosUmt) + 2048));
    MosUmt *pUmt = mosUmt_RecordOfBlock(pUmtMem, memSize);
    MOS_ASSERT(pUmt->pEndStack == pUmtMem);
    MOS_ASSERT((pUmt->state == MOS_UMT_STATE__TRAMPOLINE) || (pUmt->state == MOS_UMT_STATE__DEAD));
    mosUmtFiber_CleanStack(pUmt->pEndStack, mosUmt_StackSize(pUmt));
    mosUmt_SetState(pUmt, MOS_UMT_STATE__TRAMPOLINE);
    pUmt->valgrindStackId = 0;
    return pUmt;
}

// ---------------------------------------------------------------------------------------------
// Creation

Mos_RC mosUmt_CreateIntrn(MosUmt_StartFunc pStartFunc, void *pArg, MosUmt_Sched *pSched,
                          MosUmt_Allocator *pAllocator, HMosUmt_UThread *ppUmt, BOOL bJoinable,
                          MosUmtClassId classId, BOOL bInheritUserContext)
{
    MosUmt_Sched *pRealSched = mosUmt_ResolveSched(pSched);
    MosUmt_Allocator *pAlloc = mosUmt_ResolveAllocator(pAllocator);
    MosUmt *pUmt = pAlloc->pAllocFunc(pAlloc);
    if (pUmt == nullptr) {
        *ppUmt = nullptr;
        return MOS_RC__NO_RESOURCES;
    }
    MOS_ASSERT(pUmt->state == MOS_UMT_STATE__TRAMPOLINE);
    {
        MosFastlockGuard guard(&umtMgr_G.activeListLock);
        mosDList_InsertTail(&umtMgr_G.activeList, &pUmt->activeUmtListNode);
    }
    mosDList_InitNode(&pUmt->node);
    pUmt->pAllocator = pAlloc;
    pUmt->pSched = pRealSched;
    pUmt->pStartFunc = pStartFunc;
    pUmt->pArg = pArg;
    pUmt->pUmtLastSuspend = &pUmt->umtEntry;
    pUmt->pSuspendLock = nullptr;
    pUmt->pJoinerSem = nullptr;
    pUmt->joinRef = bJoinable ? 2 : 0;
    pUmt->debugInfo = 0;
    pUmt->suspendNum = 0;
    pUmt->pMit = nullptr;
    pUmt->idInClass = 0;
    if (!mosUmtClass_AddToClass(classId, &pUmt->classRefNode, &pUmt->idInClass))
        pUmt->classRefNode.userData = nullptr;
    pUmt->userContextType = USER_CONTEXT__USER_CONTEXT;
    pUmt->userContext.pUserContext = nullptr;
    if (bInheritUserContext) {
        MosUmt *pCreator = mosUmt_GetUThreadHdlNoAssert();
        if (pCreator != nullptr) {
            pUmt->userContextType = pCreator->userContextType;
            pUmt->userContext = pCreator->userContext;
        }
    }
    mosUmt_SetState(pUmt, MOS_UMT_STATE__SUSPENDED);
    pUmt->bImportant = FALSE;
    pUmt->bCommonSuspend = FALSE;
    *ppUmt = pUmt;
    mosUmt_Sched(pUmt);
    return MOS_RC__SUCCESS;
}

static HMosUmt_UThread mosUmt_CreateCommon(MosUmt_StartFunc pStartFunc, void *pArg, MosUmt_Sched *pSched,
                                           MosUmt_Allocator *pAlloc, BOOL bJoinable, MosUmtClassId classId,
                                           BOOL bInherit)
{
    HMosUmt_UThread pUmt = nullptr;
    if (mosUmt_CreateIntrn(pStartFunc, pArg, pSched, pAlloc, &pUmt, bJoinable, classId, bInherit) !=
        MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_UTHREAD, MOS_FREQ_LOW, "Failed creating UMT");
        return nullptr;
    }
    return pUmt;
}

HMosUmt_UThread mosUmt_CreateUThread(MosUmt_StartFunc pStartFunc, void *pArg, MosUmtClassId classId)
{
    return mosUmt_CreateCommon(pStartFunc, pArg, nullptr, nullptr, TRUE, classId, FALSE);
}

HMosUmt_UThread mosUmt_CreateUThreadEx(MosUmt_StartFunc pStartFunc, void *pArg, MosUmt_Sched *pSched,
                                       MosUmt_Allocator *pAlloc, BOOL bJoinable, MosUmtClassId classId)
{
    return mosUmt_CreateCommon(pStartFunc, pArg, pSched, pAlloc, bJoinable, classId, FALSE);
}

HMosUmt_UThread mosUmt_CreateUThreadExInheritUserContext(MosUmt_StartFunc pStartFunc, void *pArg,
                                                         MosUmt_Sched *pSched, MosUmt_Allocator *pAlloc,
                                                         BOOL bJoinable, MosUmtClassId classId)
{
    return mosUmt_CreateCommon(pStartFunc, pArg, pSched, pAlloc, bJoinable, classId, TRUE);
}

// ---------------------------------------------------------------------------------------------
// Switching

void mosUmt_SetThrdStackCtxt(void *pCtxt)
{
    MOS_UNUSED(pCtxt);
}

void *mosUmt_GetThrdStackCtxt(void)
{
    return nullptr;
}

void mosUmt_SetThrdStackCtxtFromUmt(HMosUmt_UThread pUmt)
{
    MOS_UNUSED(pUmt);
}

// The one place where a uthread's stack is left: saves the leaving context into the slot that
// the leaving side announced (none when it ends for good) and continues pTo.
void mosUmt_SwitchToContext(const MosUmt_Context *pTo, const void *pStackBottom, size_t stackSize)
{
    MosUmt_Tls *pTls = mosUmt_GetTls();
    MosUmt_Context *pFrom = pTls->pLeavingCtxt;
    pTls->pLeavingCtxt = nullptr;
    mosUmtFiber_Leave(pStackBottom, stackSize);
    mosJmp_Switch(pFrom, pTo);
}

void mosUmt_JumpTo(HMosUmt_UThread pUmt)
{
    MOS_ASSERT(pUmt->state == MOS_UMT_STATE__READY);
    MOS_ASSERT(pUmt->pUmtLastSuspend != ((void *)0));
    mosUmt_SwitchToContext(pUmt->pUmtLastSuspend, pUmt->pEndStack, mosUmt_StackSize(pUmt));
}

// Run by every context right after it gains the processor: completes what the uthread that
// switched away began. Its suspend lock is released only now, so that a waker, which must take
// the same lock to find it, only ever finds it fully SUSPENDED.
static void mosUmt_FinalizeSuspendOf(MosUmt_Tls *pTls)
{
    MosUmt *pUmt = pTls->pUmt;
    if (pUmt == nullptr)
        return;
    pTls->pUmt = nullptr;
    switch (pUmt->state) {
    case MOS_UMT_STATE__PREPARE_TO_DELETE:
        mosUmt_DeleteDone(pUmt);
        break;
    case MOS_UMT_STATE__YIELD: {
        MosFastlock_Base *pLock = pUmt->pSuspendLock;
        mosUmt_SetState(pUmt, MOS_UMT_STATE__SUSPENDED);
        mosFastlockBase_Release(pLock);
        mosUmt_ResumeUThread(pUmt);
        break;
    }
    case MOS_UMT_STATE__PREPARE_TO_SUSPEND: {
        MosFastlock_Base *pLock = pUmt->pSuspendLock;
        mosUmt_SetState(pUmt, MOS_UMT_STATE__SUSPENDED);
        // From here on another thread may resume and run the uthread: it is not touched again.
        mosFastlockBase_Release(pLock);
        break;
    }
    default:
        MOS_UNREACHABLE("unexpected state of the uthread that switched away");
    }
}

void mosUmt_FinalizeSuspend(void)
{
    mosUmt_FinalizeSuspendOf(mosUmt_GetTls());
}

// The slice clock is read on every resumption, so it is the coarse one: slices are whole ticks.
void mosUmt_StartTickSampling(HMosUmt_UThread pUmt)
{
    pUmt->resumeTicks = mosTicks_GetCurrentThreadTickCoarse();
}

void mosUmt_EndTickSampling(void) {}

extern "C" void mosUmt_StartFunc(MosUmt *pUmt)
{
    mosUmtFiber_ArriveFresh(pUmt->pEndStack, mosUmt_StackSize(pUmt));
    mosUmt_FinalizeSuspend();
    MOS_ASSERT(pUmt->state == MOS_UMT_STATE__READY);
    mosUmt_SetState(pUmt, MOS_UMT_STATE__RUNNING);
    mosUmt_GetTls()->pUmt = pUmt;
    mosUmt_StartTickSampling(pUmt);
    pUmt->pStartFunc(pUmt->pArg);
    MOS_ASSERT(pUmt->state == MOS_UMT_STATE__RUNNING);
    MosUmt_Tls *pTls = mosUmt_GetTls();
    MOS_ASSERT(pTls->pUmt == pUmt);
    mosUmt_SetState(pUmt, MOS_UMT_STATE__PREPARE_TO_DELETE);
    pTls->pLeavingCtxt = nullptr;
    mosUmtFiber_SetLeavingForGood();
    pTls->pSched->pSuspendCK(pTls->pSched);
    MOS_UNREACHABLE("a scheduler returned to an ended uthread");
}

// Hands the processor on, to pNext or (when null) to whatever the scheduler picks, saving the
// uthread's context in this frame; returns when the uthread runs again, possibly on another OS
// thread. Kept apart so that nothing of the caller lives in the saved frame.
static __attribute__((noinline)) void mosUmt_SwitchAway(MosUmt *pUmt, MosUmt *pNext)
{
    MosUmt_Context ctx;
    MosUmt_FiberSlot fiber{};
    pUmt->pUmtLastSuspend = &ctx;
    pUmt->suspendNum++;
    MosUmt_Tls *pTls = mosUmt_GetTls();
    pTls->pLeavingCtxt = &ctx;
    mosUmtFiber_SetLeaving(&fiber);
    if (pNext != nullptr)
        mosUmt_JumpTo(pNext);
    else
        pTls->pSched->pSuspendCK(pTls->pSched);
    mosUmtFiber_Arrive(&fiber);
}

void mosUmt_SuspendUThread(MosFastlock_Base *pLock, MosOsThrd_UmtWaitType waitType)
{
    MOS_ASSERT(mosFastlock_NumAcquires() == 1);
    MosUmt *pUmt = mosUmt_GetTls()->pUmt;
    MOS_ASSERT(pUmt != ((void *)0));
    mosOsThrd_UpdateUmtWaits(waitType, TRUE);
    if (pUmt->state == MOS_UMT_STATE__RUNNING)
        mosUmt_SetState(pUmt, MOS_UMT_STATE__PREPARE_TO_SUSPEND);
    else
        MOS_ASSERT(pUmt->state == MOS_UMT_STATE__YIELD);
    pUmt->pSuspendLock = pLock;
    mosUmt_SwitchAway(pUmt, nullptr);
    // Running again, possibly on another OS thread.
    mosUmt_FinalizeSuspend();
    pUmt->pSuspendLock = nullptr;
    mosOsThrd_UpdateUmtWaits(waitType, FALSE);
    mosFastlockBase_Acquire(pLock);
    MOS_ASSERT(pUmt->state == MOS_UMT_STATE__READY);
    mosUmt_SetState(pUmt, MOS_UMT_STATE__RUNNING);
    mosUmt_GetTls()->pUmt = pUmt;
    mosUmt_StartTickSampling(pUmt);
}

void mosUmt_Sched(HMosUmt_UThread pUmt)
{
    MOS_ASSERT(pUmt->state == MOS_UMT_STATE__SUSPENDED);
    mosUmt_SetState(pUmt, MOS_UMT_STATE__READY);
    pUmt->pSched->pSchedCK(pUmt->pSched, pUmt);
}

void mosUmt_ResumeUThread(HMosUmt_UThread pUmt)
{
    MOS_ASSERT(pUmt->state == MOS_UMT_STATE__SUSPENDED);
    if (pUmt->pSched->pSchedCK == mosUmtSchedForeign_SchedCK && mosFastlock_NumAcquires() != 0) {
        // The foreign scheduler would run the uthread right here, nested under the locks this
        // thread holds, and the uthread's first act is to take the lock it waited under, which
        // is likely one of them. Place it once this thread holds no fast lock.
        mosDList_InsertTail(mosUmt_GetPendingResumes(), &pUmt->node);
        mosFastlock_SetPendingWork(mosUmt_RunPendingResumes);
        return;
    }
    mosUmt_Sched(pUmt);
}

void mosUmt_RunPendingResumes(void)
{
    BOOL *pRunning = mosUmt_GetRunningPendingResumes();
    if (*pRunning)
        return; // the loop below, further up this thread's stack, takes the new ones too
    *pRunning = TRUE;
    for (;;) {
        MosDList_Node *pNode = mosDList_RemoveHead(mosUmt_GetPendingResumes());
        if (pNode == nullptr)
            break;
        mosUmt_Sched(MOS_CONTAINER_OF(pNode, MosUmt, node));
    }
    *mosUmt_GetRunningPendingResumes() = FALSE;
}

void mosUmt_ResumeNow(HMosUmt_UThread pUmt)
{
    MOS_ASSERT(pUmt->state == MOS_UMT_STATE__SUSPENDED);
    mosUmt_SetState(pUmt, MOS_UMT_STATE__READY);
    mosUmtSchedForeign_SchedCK(&umtMgr_G.schedForeign.sched, pUmt);
}

// Hands the processor straight to pNext, saving the yielding uthread's context in this frame;
// returns when the uthread runs again.
static __attribute__((noinline)) void mosUmt_YieldTo(MosUmt *pUmt, MosUmt *pNext, MosUmt_Tls *pTls)
{
    MosUmt_Context ctx;
    MosUmt_FiberSlot fiber{};
    MOS_ASSERT(pNext->state == MOS_UMT_STATE__READY);
    // Queued already, which only this OS thread can see; the next context has nothing of ours
    // to finalise.
    pUmt->state = MOS_UMT_STATE__READY;
    pUmt->pUmtLastSuspend = &ctx;
    pUmt->suspendNum++;
    pTls->pUmt = nullptr;
    pTls->pLeavingCtxt = nullptr;
    mosUmtFiber_SetLeaving(&fiber);
    mosUmtFiber_Leave(pNext->pEndStack, mosUmt_StackSize(pNext));
    mosJmp_Switch(&ctx, pNext->pUmtLastSuspend);
    mosUmtFiber_Arrive(&fiber);
}

// A yield on a thread of the uthread's own scheduler, which keeps it there, needs no lock: a
// running uthread is on no list, and its thread's local queue is touched by that thread alone,
// so nothing else can see it until it has left. It goes on the local queue and the processor
// passes straight to the next runnable uthread, or stays when there is none.
static BOOL mosUmt_YieldLocal(MosUmt *pUmt, MosUmt_Tls *pTls)
{
    if (pUmt->pSched->pSchedCK != mosUmtSchedThrd_SchedCK || pTls->pSched != pUmt->pSched)
        return FALSE;
    BOOL bNothingReady = FALSE;
    MosUmt *pNext = mosUmtSchedThrd_YieldLocal(pTls, pUmt, &bNothingReady);
    if (pNext == nullptr) {
        if (!bNothingReady)
            return FALSE;
        pUmt->resumeTicks = mosTicks_GetCurrentThreadTickCoarse();
        return TRUE;
    }
    mosUmt_YieldTo(pUmt, pNext, pTls);
    // Continued from the local queue, so on the same OS thread; the record is looked up afresh
    // all the same.
    pTls = mosUmt_GetTls();
    mosUmt_FinalizeSuspendOf(pTls);
    MOS_ASSERT(pUmt->state == MOS_UMT_STATE__READY);
    pUmt->state = MOS_UMT_STATE__RUNNING;
    pTls->pUmt = pUmt;
    // Whoever switched here picked it from this thread's queue a moment ago and read the clock.
    pUmt->resumeTicks = mosUmtSchedThrd_PickTick(pTls);
    return TRUE;
}

void mosUmt_Yield(void)
{
    MosUmt_Tls *pTls = mosUmt_GetTls();
    MosUmt *pUmt = pTls->pUmt;
    MOS_ASSERT(pUmt != ((void *)0) && pUmt->state == MOS_UMT_STATE__RUNNING);
    // A yield holding a fast lock would hand its OS thread, lock held, to a uthread that may want
    // the same lock: the thread would then sleep on a lock that only it can release.
    MOS_ASSERT(mosFastlock_NumAcquires() == 0);
    if (mosUmt_YieldLocal(pUmt, pTls))
        return;
    MosFastlock_Base lock;
    MOS_FASTLOCK_CREATE(&lock, MOS_UMT_LOCK_ID__YIELD);
    mosFastlockBase_Acquire(&lock);
    mosUmt_SetState(pUmt, MOS_UMT_STATE__YIELD);
    mosUmt_SuspendUThread(&lock, MOS_OS_THRD__UMT_WAIT_TYPE__YIELD);
    mosFastlockBase_Release(&lock);
    mosFastlockBase_Destroy(&lock);
}

BOOL mosUmt_ShouldYield(void)
{
    MosUmt *pUmt = mosUmt_CurRunning();
    MosTicks_Cnt now = mosTicks_GetCurrentThreadTickCoarse();
    if (now - pUmt->resumeTicks > umtMgr_G.umtRunOptimumTicks) {
        MosUmt_Sched *pSched = mosUmt_GetCurSched();
        if (pSched != nullptr && pSched->pShouldYieldCK())
            return TRUE;
        pUmt->resumeTicks = now;
    }
    return FALSE;
}

void mosUmt_YieldIfShould(void)
{
    if (mosUmt_ShouldYield())
        mosUmt_Yield();
}

BOOL mosUmt_CurrentSchedulerHasWaiters(void)
{
    MosUmt_Sched *pSched = mosUmt_GetCurSched();
    return (pSched != nullptr && pSched->pShouldYieldCK()) ? TRUE : FALSE;
}

void mosUmt_SleepByQ(MosTimerQ_ID qID)
{
    MosFastlock_Base lock;
    MosUmt_Cond cond;
    MOS_FASTLOCK_CREATE(&lock, MOS_UMT_LOCK_ID__SLEEP);
    mosUmtCond_Init(&cond);
    mosFastlockBase_Acquire(&lock);
    Mos_RC rc = mosUmtCond_TimedWaitByQ(&cond, &lock, qID);
    MOS_ASSERT(rc == MOS_RC__TIMEOUT);
    mosFastlockBase_Release(&lock);
    mosUmtCond_Destroy(&cond);
    mosFastlockBase_Destroy(&lock);
}

// ---------------------------------------------------------------------------------------------
// Ending and joining

static void mosUmt_WakeJoiner(MosUmt *pUmt)
{
    void *pJoiner = pUmt->pJoinerSem;
    MOS_ASSERT(pUmt->pJoinerSem != ((void *)0));
    uintptr_t addr = reinterpret_cast<uintptr_t>(pJoiner);
    if ((addr & 1u) == 0) {
        mosUmtSem_IncInter(static_cast<MosUmt_Sem *>(pJoiner), 1, TRUE);
        return;
    }
    MosUmt_OsJoiner *pOsJoiner = reinterpret_cast<MosUmt_OsJoiner *>(addr & ~static_cast<uintptr_t>(1));
    mosFastlockBase_Acquire(&pOsJoiner->lock);
    pOsJoiner->bWakeup = TRUE;
    mosOSWCond_Signal(&pOsJoiner->cond);
    mosFastlockBase_Release(&pOsJoiner->lock);
}

void mosUmt_DeleteDone(HMosUmt_UThread pUmt)
{
    MOS_ASSERT(pUmt->state == MOS_UMT_STATE__PREPARE_TO_DELETE);
    MOS_ASSERT(mosUmt_GetTls()->pUmt != pUmt);
    MOS_ASSERT(pUmt->pSuspendLock == ((void *)0));
    if (mosUmt_LoadJoinRef(pUmt) == 0) {
        mosUmt_SetState(pUmt, MOS_UMT_STATE__DEAD);
        pUmt->pStartFunc = nullptr;
        pUmt->pArg = nullptr;
        pUmt->pJoinerSem = nullptr;
        {
            MosFastlockGuard guard(&umtMgr_G.activeListLock);
            mosDList_Remove(&umtMgr_G.activeList, &pUmt->activeUmtListNode);
        }
        mosUmtFiber_CleanStack(pUmt->pEndStack, mosUmt_StackSize(pUmt));
        pUmt->pAllocator->pFreeFunc(pUmt->pAllocator, pUmt);
        return;
    }
    UINT32 old = mosUmt_DecJoinRef(pUmt);
    if (old == 2)
        return; // the joiner comes later and finishes the deletion
    MOS_ASSERT(old == 1);
    mosUmt_WakeJoiner(pUmt);
}

void mosUmt_JoinUThread(HMosUmt_UThread pUmtToJoin)
{
    MOS_ASSERT(pUmtToJoin->joinRef != 0);
    MosUmt_Sem sem;
    mosUmtSem_Init(&sem);
    pUmtToJoin->pJoinerSem = &sem;
    UINT32 old = mosUmt_DecJoinRef(pUmtToJoin);
    if (old == 2) {
        Mos_RC rc = mosUmtSem_DecTimed(&sem, 1, 0);
        MOS_ASSERT_SUCCESS(rc);
    } else {
        MOS_ASSERT_WITH_DESC(old == 1, "join of a uthread that was joined already");
    }
    MOS_ASSERT(pUmtToJoin->joinRef == 0);
    mosUmt_DeleteDone(pUmtToJoin);
    mosUmtSem_Destroy(&sem);
}

void mosUmt_JoinSync(HMosUmt_UThread pUmt)
{
    MOS_ASSERT(pUmt->joinRef != 0);
    MosUmt_OsJoiner joiner;
    mosFastlockBase_AdaptiveCreate(&joiner.lock, MOS_UMT_LOCK_ID__JOIN_SYNC, __FILE__, __LINE__);
    mosOSWCond_Init(&joiner.cond);
    joiner.bWakeup = FALSE;
    pUmt->pJoinerSem = reinterpret_cast<void *>(reinterpret_cast<uintptr_t>(&joiner) | 1u);
    UINT32 old = mosUmt_DecJoinRef(pUmt);
    if (old != 1) {
        MOS_ASSERT(old == 2);
        mosFastlockBase_Acquire(&joiner.lock);
        while (!joiner.bWakeup)
            mosOSWCond_Wait(&joiner.cond, &joiner.lock);
        mosFastlockBase_Release(&joiner.lock);
        MOS_ASSERT(joiner.bWakeup == ((BOOL)1));
    }
    MOS_ASSERT(pUmt->joinRef == 0);
    mosUmt_DeleteDone(pUmt);
    mosOSWCond_Destroy(&joiner.cond);
    mosFastlockBase_Destroy(&joiner.lock);
}

// ---------------------------------------------------------------------------------------------
// Attributes

void mosUmt_SetDebugInfo(HMosUmt_UThread pUmt, UINT64 debugInfo)
{
    pUmt->debugInfo = debugInfo;
}

UINT64 mosUmt_GetDebugInfo(HMosUmt_UThread pUmt)
{
    return pUmt->debugInfo;
}

void mosUmt_SetMyDebugInfo(UINT64 debugInfo)
{
    mosUmt_CurRunning()->debugInfo = debugInfo;
}

UINT64 mosUmt_GetMyDebugInfo(void)
{
    return mosUmt_CurRunning()->debugInfo;
}

void mosUmt_SetImportant(BOOL bImportant)
{
    mosUmt_CurRunning()->bImportant = bImportant;
}

BOOL mosUmt_GetImportant(HMosUmt_UThread pUmt)
{
    return pUmt->bImportant;
}

void mosUmt_SetCommonSuspend(BOOL bCommon)
{
    mosUmt_CurRunning()->bCommonSuspend = bCommon;
}

UINT32 mosUmt_GetCurSuspendCnt(void)
{
    return mosUmt_CurRunning()->suspendNum;
}

MosUmtUthreadStats *mosUmt_GetUThreadStats(HMosUmt_UThread pUmt)
{
    return &pUmt->stats;
}

const char *mosUmt_GetClassName(HMosUmt_UThread pUmt)
{
    MosUmtClass *pClass = static_cast<MosUmtClass *>(pUmt->classRefNode.userData);
    return pClass == nullptr ? "invalid" : pClass->attr.name;
}

MosMit *mosUmt_GetCurrMit(void)
{
    MosUmt *pUmt = mosUmt_GetUThreadHdlNoAssert();
    return pUmt == nullptr ? nullptr : pUmt->pMit;
}

void mosUmt_SetCurrMit(MosMit *pMit)
{
    MosUmt *pUmt = mosUmt_GetUThreadHdlNoAssert();
    if (pUmt != nullptr)
        pUmt->pMit = pMit;
}

MosUmtState mosUmt_GetState(HMosUmt_UThread pUmt)
{
    return pUmt->state;
}

// ---------------------------------------------------------------------------------------------
// User context and time limits

void mosUmt_SetUserContext(void *pUserContext)
{
    MosUmt *pUmt = mosUmt_CurRunning();
    pUmt->userContextType = USER_CONTEXT__USER_CONTEXT;
    pUmt->userContext.pUserContext = pUserContext;
}

void *mosUmt_GetUserContext(void)
{
    MosUmt *pUmt = mosUmt_CurRunning();
    MOS_ASSERT(pUmt->userContextType == USER_CONTEXT__USER_CONTEXT);
    return pUmt->userContext.pUserContext;
}

void mosUmt_SetTimeLimitTick(MosTicks_Cnt timeLimitTick)
{
    MosUmt *pUmt = mosUmt_CurRunning();
    pUmt->userContextType = USER_CONTEXT__TIME_LIMIT_TICKS;
    pUmt->userContext.timeLimitTick = timeLimitTick;
}

MosTicks_Cnt mosUmt_GetTimeLimitTick(void)
{
    MosUmt *pUmt = mosUmt_CurRunning();
    MOS_ASSERT(pUmt->userContextType == USER_CONTEXT__TIME_LIMIT_TICKS);
    return pUmt->userContext.timeLimitTick;
}

void mosUmt_SetTimeLimitMilli(UINT64 millis)
{
    if (millis == ~static_cast<UINT64>(0)) {
        mosUmt_SetTimeLimitTick(0);
        return;
    }
    mosUmt_SetTimeLimitTick(mosTicks_GetCurrentTick() + mosTicks_MillisToTicks(millis));
}

INT64 mosUmt_GetTimeLimitMilliBudget(void)
{
    MosUmt *pUmt = mosUmt_CurRunning();
    if (pUmt->userContextType != USER_CONTEXT__TIME_LIMIT_TICKS)
        return -1;
    return static_cast<INT64>(mosTicks_TimeLimitMilliBudget(pUmt->userContext.timeLimitTick));
}

UserContextSematicsType mosUmt_GetUserContextSematicsType(void)
{
    return mosUmt_CurRunning()->userContextType;
}

// ---------------------------------------------------------------------------------------------
// Diagnostics

Mos_RC mosUmt_LastSuspendBackTrace(HMosUmt_UThread pUmt)
{
    MosUmt_Context *pCtx = pUmt->pUmtLastSuspend;
    if (pCtx == nullptr)
        return MOS_RC__ERROR;
    char title[64];
    snprintf(title, sizeof(title), "Backtrace of UMT %p", static_cast<void *>(pUmt));
    // The saved frame pointer is the frame of the call that switched away; the walk goes up
    // from there through the uthread's callers.
    mosDbg_BackTraceByEbp(title, reinterpret_cast<void *>(pCtx->rbp));
    return MOS_RC__SUCCESS;
}

void mosUmt_BackTraceAllNotRunning(void)
{
    MosFastlockGuard guard(&umtMgr_G.activeListLock);
    for (MosDList_Node *pNode = mosDList_First(&umtMgr_G.activeList); pNode != nullptr; pNode = mosDList_Next(pNode)) {
        MosUmt *pUmt = MOS_CONTAINER_OF(pNode, MosUmt, activeUmtListNode);
        if ((pUmt->state == MOS_UMT_STATE__SUSPENDED || pUmt->state == MOS_UMT_STATE__READY) &&
            !pUmt->bCommonSuspend)
            mosUmt_LastSuspendBackTrace(pUmt);
    }
}
