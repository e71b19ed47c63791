// Rate limiter: budgets per tenth of a second; over-use is carried as a loan to later slots;
// queued requests are admitted from the limiter's 100 ms timer, their callbacks outside its lock.
#pragma once

#include "mos/mos_dlist.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_rc.h"
#include "mos/mos_timer.h"
#include "mos/mos_types.h"

#define MOS_LIMITER__SLOT_IN_SEC 10

// A request for `usage` units; asyncObj.pCK runs with MOS_RC__SUCCESS when it is admitted later.
struct MosLimiter_Req {
    MosAsyncObj asyncObj;
    UINT32 usage; // the amount still to be admitted
};

struct MosLimiter {
    MosTimer_Req timerReq;
    MosAsyncObj_Anchor waitList;
    MosFastlock_Base lock;
    UINT32 slotUsage;
    UINT32 loanToOldSlots;
    UINT32 avgSlotMax;
    UINT32 slotMax; // all ones: unlimited
    UINT64 currSlot; // ticks divided by tickInSlot
    UINT32 tickInSlot;
    BOOL bTimerActive;
    BOOL bLastPopWasEmpty;
};

struct MosLimiter_Query {
    UINT64 currSlot;
    UINT32 waiters;
    UINT32 slotUsage;
    UINT32 loanToOldSlots;
    UINT32 avgSlotMax;
    UINT32 slotMax;
    UINT32 tickInSlot;
    BOOL bTimerActive;
};

void mosLimiter_Init(MosLimiter *pLimiter, UINT32 avgMaxInSec, UINT32 slotMulMax);
void mosLimiter_UpdateLimits(MosLimiter *pLimiter, UINT32 avgMaxInSec, UINT32 slotMulMax);
void mosLimiter_Destroy(MosLimiter *pLimiter);
Mos_RC mosLimiter_Add(MosLimiter *pLimiter, MosLimiter_Req *pLimiterReq);
Mos_RC mosLimiter_Pop(MosLimiter *pLimiter);
UINT64 mosLimiter_GetMaxRsrcInSec(MosLimiter *pLimiter);
void mosLimiter_Query(MosLimiter *pLimiter, MosLimiter_Query *pQuery);
