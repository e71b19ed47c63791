// The micro-task record and its types, shared by the task, its condition and its adapters.
//
// A micro-task is a stackless continuation: a chain of step functions (callbacks of the form
// (task, result) -> Mos_RC) kept on a small explicit stack in the task's record. A step that has
// to wait records where it will go on (its resume point), and returns MOS_RC__PENDING, which
// unwinds the whole C call chain; the completion of the wait later resumes the task, and its
// top step continues at its resume point. Nothing of a step's C frame survives a wait: what it
// needs afterwards lives in the task's context.
#pragma once

#include <cstddef>

#include "mos/mos_dlist.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_mempool.h"
#include "mos/mos_rc.h"
#include "mos/mos_ticks.h"
#include "mos/mos_limiter.h"
#include "mos/mos_timer.h"
#include "mos/mos_types.h"

struct MosMit;
struct MosMitCond;

typedef Mos_RC (*MosMit_CK)(MosMit *pMit, Mos_RC rc);
typedef void (*MosMit_DtorCK)(MosMit *pMit);

typedef MosDList_Node MosMit_Node;
typedef MosDList_Anchor MosMit_Anchor;

enum MosMit_State : UINT32 {
    MOS_MIT_STATE__INIT = 1,
    MOS_MIT_STATE__RUNNING = 2,
    MOS_MIT_STATE__READY = 3,
    MOS_MIT_STATE__SUSPENDED = 4,
    MOS_MIT_STATE__TIMED_SUSPENDED = 5,
    MOS_MIT_STATE__DEAD = 6,
};

// Supplied by the user of micro-tasks (the messaging layer's worker groups): how a ready task
// gets run. Both callbacks must queue the task, never run it on the caller's stack: resumers
// often hold the lock that the task takes first.
struct MosMit_Scheduler {
    void (*pSchedCK)(MosMit *pMit);     // run it later
    void (*pSchedNextCK)(MosMit *pMit); // run it later, ahead of the others
};

// The scratch areas: one wait at a time uses one of them.
struct MosMitCond_ScratchArea {
    MosMitCond *pCond;
    MosFastlock_Base *pLock;
    MosTimer_Req timerReq;
    MosTimerQ_ID timerQ; // MOS_TIMER_QUEUE_ID__LAST: no time-out
};

struct MosMitTimer_ScratchArea {
    MosTimer_Req timerReq;
};

struct MosMitLimiter_ScratchArea {
    MosLimiter_Req limiterReq;
};

struct MosMitMempool_ScratchArea {
    MosMemPool_Req poolReq;
};

union MosMit_Scratch {
    MosMitCond_ScratchArea cond;
    MosMitTimer_ScratchArea timer;
    MosMitLimiter_ScratchArea limiter;
    MosMitMempool_ScratchArea mempool;
};
// The timer request carries the queue that last fired it, which makes the condition's area a
// little larger than 64 bytes.
static_assert(sizeof(MosMit_Scratch) <= 72, "a waiting task costs its record only");

struct MosMit_StackElem {
    MosMit_CK ck;
    uintptr_t rp; // resume point; 0 until the step first waits or calls
};
static_assert(sizeof(MosMit_StackElem) == 16);

struct MosMit {
    MosMit_Scratch scratch; // first: a request in it is also a pointer to the task
    MosMit_Node node;       // in a condition's waiter list
    MosMit_DtorCK pDtorCK;
    MosMit_Scheduler *pSched;
    MosMit_Scheduler *pPrevSched;
    void *pContext;
    void *pWaiter; // the joining task, or an OS-thread joiner's record with bit 0 set
    void *pTls;
    UINT32 joinRef; // 0: nobody joins; 2 for a joinable task; changed only atomically
    MosMit_State state;
    MosTicks_Cnt stateTicks; // when it was created, last made ready, or ended
    Mos_RC nextRC;
    UINT8 stackIndex; // the top element
    UINT8 stackSize;
    // Elements from this index up were called by their caller's C frame, which is still there
    // waiting for their result; those below lost it when the chain unwound for a wait and are
    // continued by calling their callback instead.
    UINT8 liveIndex;
    MosMit_StackElem stack[]; // stackSize elements
};
static_assert(offsetof(MosMit, scratch) == 0);

// Bytes of a task record with room for a user stack of n elements (the entry element is added).
#define MOS_MIT_SIZE(n) (offsetof(MosMit, stack) + ((size_t)(n) + 1) * sizeof(MosMit_StackElem))

// A task with a user stack of N elements, for embedding or static allocation.
template <UINT32 N> struct MosMit_Storage {
    alignas(MosMit) UINT8 bytes[MOS_MIT_SIZE(N)];
    MosMit *get() { return reinterpret_cast<MosMit *>(bytes); }
};
