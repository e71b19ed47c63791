// Conditions on which uthreads wait, with weighted FIFO waiters and optional time-outs. The
// condition has no lock of its own: the caller's fast lock guards it, and every waiter and
// signaller of one condition holds that same lock.
#pragma once

#include "mos/mos_fastlock.h"
#include "mos/mos_rc.h"
#include "mos/mos_timer.h"
#include "mos/mos_types.h"
#include "mos/umt/mos_umt.h"

// A time-out argument with this bit set names a timer queue (MosTimerQ_ID) in its low bits;
// otherwise it is milliseconds, and 0 means no time-out.
#define MOS_UMT_COND__TIMEOUT_BY_Q 0x10000000u

struct MosUmt_Cond {
    MosUmt_UThreadListAnchor waitersList; // in arrival order
    UINT32 totalWeight;                   // units still needed by all waiters
};

enum MosUmtCond_UmtState : UINT32 {
    MOS_UMT_COND_STATE__IDLE = 0,
    MOS_UMT_COND_STATE__WAIT_TIMER = 1,
    MOS_UMT_COND_STATE__WAIT_NO_TIMER = 2,
    MOS_UMT_COND_STATE__SIGNALLED = 3,
    MOS_UMT_COND_STATE__WAIT_TIMER_ABORT_FAILED = 4,
    MOS_UMT_COND_STATE__TIMER_EXPIRED = 5,
};

// The wait context of a uthread, kept in its scratch space.
struct MosUmtCond_Context {
    MosUmt_Cond *pCond;
    MosFastlock_Base *pLock;
    MosUmtCond_UmtState state;
    UINT32 weight;        // units still needed
    UINT32 weightAtStart; // units asked for when the wait began
    UINT32 weightAtTimeout; // units still needed when the time-out fired
};
static_assert(sizeof(MosUmtCond_Context) <= MOS_UMT__SCRATCH_SPACE_IN_BYTES, "fits the scratch space");

typedef BOOL (*MosUmtCond_MatchPred)(HMosUmt_UThread pUmt);

void mosUmtCond_Init(MosUmt_Cond *pCond);
void mosUmtCond_Destroy(MosUmt_Cond *pCond);
Mos_RC mosUmtCond_Wait(MosUmt_Cond *pCond, MosFastlock_Base *pLock);
Mos_RC mosUmtCond_TimedWait(MosUmt_Cond *pCond, MosFastlock_Base *pLock, UINT32 timeToWaitMillis);
Mos_RC mosUmtCond_WaitEx(MosUmt_Cond *pCond, MosFastlock_Base *pLock, UINT32 weight);
Mos_RC mosUmtCond_TimedWaitEx(MosUmt_Cond *pCond, MosFastlock_Base *pLock, UINT32 timeToWaitMillis, UINT32 weight);
Mos_RC mosUmtCond_TimedWaitByQ(MosUmt_Cond *pCond, MosFastlock_Base *pLock, MosTimerQ_ID qID);
Mos_RC mosUmtCond_TimedWaitByQEx(MosUmt_Cond *pCond, MosFastlock_Base *pLock, MosTimerQ_ID qID, UINT32 weight);
// As the waits above; on MOS_RC__TIMEOUT *pUnitsReceived holds the units that signals handed
// to this waiter before its time-out (they are the caller's to give back).
Mos_RC mosUmtCond_TimedWaitIntrn(MosUmt_Cond *pCond, MosFastlock_Base *pLock, UINT32 timeToWaitMillis, UINT32 weight,
                                 UINT32 *pUnitsReceived);
Mos_RC mosUmtCond_Signal(MosUmt_Cond *pCond);
UINT32 mosUmtCond_Broadcast(MosUmt_Cond *pCond);
UINT32 mosUmtCond_BroadcastEx(MosUmt_Cond *pCond, UINT32 weight, BOOL bFifo);
UINT32 mosUmtCond_SignalIntrn(MosUmt_Cond *pCond, UINT32 weightToWake, BOOL bFifo);
UINT32 mosUmtCond_SignalSequenceOfMatching(MosUmt_Cond *pCond, MosUmtCond_MatchPred pred, UINT32 sequenceLengthLimit);
UINT32 mosUmtCond_GetWeight(HMosUmt_UThread pUmt);
MosUmt_Cond *mosUmtCond_GetCond(HMosUmt_UThread pUmt);
UINT32 mosUmtCond_NumWaiters(const MosUmt_Cond *pCond);
