// Timer queues and the rate limiter.
//
// Time-outs here are coarse and numerous, so instead of a timer heap there are ten queues, each
// with one fixed time-out. A request goes to the queue whose time-out is closest to the wanted
// one; every queue then stays sorted by expiry and adding or aborting is constant time. The
// queues are polled by the messaging layer's poll loop, or each has an OS thread of its own when
// the runtime is started with queue threads.
//
// The rate limiter admits resource use (bytes, I/Os) per tenth of a second and queues the callers
// that exceed it; they are admitted in later slots.
#pragma once

#include "mos/mos_dlist.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_obj.h"
#include "mos/mos_osthrd.h"
#include "mos/mos_rc.h"
#include "mos/mos_ticks.h"
#include "mos/mos_types.h"
#include "mos/usr/linux/mos_condvar.h"

typedef MosDList_Node MosAsyncObj_Node;
typedef MosDList_Anchor MosAsyncObj_Anchor;

enum MosTimerQ_ID : UINT32 {
    MOS_TIMER_QUEUE_ID__100MILLI = 0,
    MOS_TIMER_QUEUE_ID__500MILLI = 1,
    MOS_TIMER_QUEUE_ID__1SEC = 2,
    MOS_TIMER_QUEUE_ID__2SEC = 3,
    MOS_TIMER_QUEUE_ID__4SEC = 4,
    MOS_TIMER_QUEUE_ID__5SEC = 5,
    MOS_TIMER_QUEUE_ID__10SEC = 6,
    MOS_TIMER_QUEUE_ID__15SEC = 7,
    MOS_TIMER_QUEUE_ID__1MIN = 8,
    MOS_TIMER_QUEUE_ID__5MIN = 9,
    MOS_TIMER_QUEUE_ID__LAST = 10,
};

// The fixed time-out of each queue in milliseconds.
extern const UINT32 mosTimerQMillis_G[MOS_TIMER_QUEUE_ID__LAST];
// The printable name of each queue.
extern const char *const mosTimerQNames_G[MOS_TIMER_QUEUE_ID__LAST];

enum MosTimerReq_State : UINT32 {
    MOS_TIMER_REQ_STATE__IDLE = 0x11223344,
    MOS_TIMER_REQ_STATE__ACTIVE = 0x7FADACEB,
    MOS_TIMER_REQ_STATE__DESTROY = 0x44332211,
};

// A timer request, owned by the caller and usually embedded in its object. The callback
// (asyncObj.pCK) runs once per add, with MOS_RC__TIMEOUT, after at least the queue's time-out
// and without any queue lock held.
struct MosTimer_Req {
    MosAsyncObj asyncObj;
    MosTicks_Cnt expiration;
    MosTimerReq_State state;
    MosTimerQ_ID qID;
    // The queue that last fired the request; an abort looks there for a callback still running.
    MosTimerQ_ID firedQID;
};

struct MosTimerQ_Intrn {
    MosOsThrd timerThrd;
    BOOL bShutdown;
    BOOL bThrdUsed;
    MosOsw_CondVar cond;
    // The queue's thread sleeps without a deadline (its queue was empty). Only then must an add
    // wake it: otherwise it already waits for an expiry no later than any new request's, since
    // every request of a queue has the same time-out. Saves a kernel wake-up (and the thread's
    // fight for the lock) on every add into an emptied queue.
    BOOL bIdleWait;
};

struct MosTimer_Q {
    MosTimerQ_Intrn intrn;
    MosObj obj;
    MosTicks_Cnt timeoutInTicks;
    UINT32 numExpirations;
    MosFastlock_Base lock;
    MosAsyncObj_Anchor reqAnchor;
    MosTicks_Cnt expirationTicks; // the earliest expiry in the queue
    MosTicks_Cnt maxDiffTicks;    // the largest lateness seen
    // The request whose callback runs now, and the thread that runs it; one firer at a time.
    MosTimer_Req *pRunningReq;
    pthread_t runningThrd;
};

struct MosTimer {
    MosObj_Type timerQObjType;
    MosTimer_Q timerQs[MOS_TIMER_QUEUE_ID__LAST];
    UINT32 activeQs;
    BOOL bThrdsUsed;
    BOOL bInRegistry; // the registry ran when the layer started
};

extern MosTimer mosTimer_G;

// The debug query of one queue.
struct MosTimerQ_Query {
    UINT64 timeoutInTicks;
    UINT64 timeoutInMillis;
    INT64 ticksToExpiration; // negative while the earliest request is overdue
    UINT32 numExpirations;
    UINT32 numWaiting;
    UINT64 maxDiffTicks;
    BOOL bIsPoll;
    UINT32 reserved;
    CHAR_A name[32];
};
static_assert(sizeof(MosTimerQ_Query) == 80);
static_assert(offsetof(MosTimerQ_Query, numExpirations) == 24);
static_assert(offsetof(MosTimerQ_Query, maxDiffTicks) == 32);
static_assert(offsetof(MosTimerQ_Query, bIsPoll) == 40);
static_assert(offsetof(MosTimerQ_Query, name) == 48);

// Start-up parameters of the timer queues.
struct MosTimer_InitParams {
    BOOL bDontUseThrds;
};

// pArgs points to bDontUseThrds; without it every queue gets a thread.
Mos_RC mosTimer_Init(void *pArgs);
void mosTimer_Delete(void);

void mosTimerReq_Init(MosTimer_Req *pReq, MosAsyncObj_CK pCK);
// Aborts the request if it is still armed (waiting for a callback that is running), then marks
// it destroyed.
void mosTimerReq_Destroy(MosTimer_Req *pReq);
Mos_RC mosTimerReq_Add(MosTimer_Req *pReq, UINT32 millisToSleep);
Mos_RC mosTimerReq_AddByQ(MosTimer_Req *pReq, MosTimerQ_ID qID);
// MOS_RC__SUCCESS: the request was waiting and is removed, its callback will not run.
// MOS_RC__NOT_FOUND: the request was idle (never added, or already fired and done).
// MOS_RC__BUSY: its callback was running on another thread; the call waited until it returned,
// and the request is idle now. Call it without holding a lock that the callback takes.
Mos_RC mosTimerReq_Abort(MosTimer_Req *pReq);
// As mosTimerReq_Abort, but never waits: MOS_RC__BUSY when the callback of the armed request is
// running on another thread (a callback of an earlier firing does not count when the new arming
// was removed). For callers that hold a lock that the callback takes (a uthread condition's time-out).
Mos_RC mosTimerReq_AbortNoWait(MosTimer_Req *pReq);

MosTimerQ_ID mosTimer_GetClosestQ(UINT32 milliTimeout);
MosTimerQ_ID mosTimer_GetClosestQBelow(UINT32 milliTimeout);
MosTimerQ_ID mosTimer_GetClosestQAbove(UINT32 milliTimeout);

// Fires what is due on queues startQ to endQ (both included); only without queue threads.
void mosTimer_PollQRange(MosTimerQ_ID startQ, MosTimerQ_ID endQ);
void mosTimer_Poll(void);

UINT64 mosTimerQ_GetSleepTimeMillis(MosTimerQ_ID queueID);
UINT64 mosTimerQ_GetSleepTimeMillisByQ(MosTimer_Q *pQ);
MosTicks_Cnt mosTimerQ_GetSleepTimeTicks(MosTimerQ_ID queueID);
MosTimer_Q *mosTimerQ_GetPtr(MosTimerQ_ID queueID);
BOOL mosTimerQ_IsPoll(MosTimer_Q *pQ);
// The registry's query of one queue: fills a MosTimerQ_Query.
void mosTimerQ_Query(MosObj *pObj, const CHAR_A *pName, void *pData);
