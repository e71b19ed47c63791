// Conditions on which micro-tasks wait, with optional time-outs. A condition has no lock of its
// own: the caller's fast lock guards it. A waiter releases that lock while it waits and holds it
// again when its step continues; signallers hold it; a time-out takes it itself.
#pragma once

#include "mos/mit/mos_mit.h"

struct MosMitCond {
    MosMit_Anchor waiters; // in arrival order, the oldest first
};

void mosMitCond_Init(MosMitCond *pCond);
void mosMitCond_Destroy(MosMitCond *pCond);
// Waits with pLock held: pushes the wait step and runs it (use with MOS_MIT_AWAIT, or
// MOS_MIT_COND_WAIT). The waiting step continues with the signaller's wakeStat, or with
// MOS_RC__TIMEOUT, holding pLock. milliToWait 0: no time-out; otherwise the closest timer queue.
Mos_RC mosMitCond_WaitIntf(MosMit *pMit, MosMitCond *pCond, MosFastlock_Base *pLock, UINT32 milliToWait);
// As above with the timer queue given (MOS_TIMER_QUEUE_ID__LAST: no time-out).
Mos_RC mosMitCond_WaitByQIntf(MosMit *pMit, MosMitCond *pCond, MosFastlock_Base *pLock, MosTimerQ_ID timerQ);
// The wait step itself.
Mos_RC mosMitCond_Wait(MosMit *pMit, Mos_RC rc);
// With the condition's lock held. A waiter whose time-out is already firing is left to it and
// not counted.
Mos_RC mosMitCond_Signal(MosMitCond *pCond, Mos_RC wakeStat);
UINT32 mosMitCond_Broadcast(MosMitCond *pCond, Mos_RC wakeStat);
Mos_RC mosMitCond_SignalWaiter(MosMitCond *pCond, MosMit *pMit, Mos_RC wakeStat);
UINT32 mosMitCond_SignalIntrn(MosMitCond *pCond, Mos_RC wakeStat, UINT32 maxWakers);
MosMit *mosMitCond_NextMitToWake(MosMitCond *pCond);
// With the condition's lock held: takes a waiter out as a signal would, but leaves it suspended in
// its wait step. The taker either resumes it later (with the lock free; it continues under the
// lock like any signalled waiter) or gives it back with mosMitCond_PutBackWaiter. FALSE when it
// is not waiting here or its time-out is already firing.
BOOL mosMitCond_TakeWaiter(MosMitCond *pCond, MosMit *pMit);
// With the condition's lock held: a waiter taken with mosMitCond_TakeWaiter waits again, at the
// end of the line and without a time-out, as though it had never been taken.
void mosMitCond_PutBackWaiter(MosMitCond *pCond, MosMit *pMit);
void mosMitCond_Timeout(MosAsyncObj *pObj, INT32 rc);

#define MOS_MIT_COND_WAIT(pMit, rc, pCond, pLock, milliToWait)                                     \
    MOS_MIT_AWAIT(pMit, rc, mosMitCond_WaitIntf((pMit), (pCond), (pLock), (milliToWait)))
