// Ticks: the kernel's clock ticks since boot, for durations and time-outs. Tick counts wrap
// around; compare them only with mosTicks_IsFirstBigger.
#pragma once

#include "mos/mos_rc.h"
#include "mos/mos_types.h"

typedef UINT64 MosTicks_Cnt;
typedef MosTicks_Cnt (*PMosTicks_GetTicksFunc)(void);

struct MosTicks_InitParams {
    BOOL bUmtRealThreadTicks; // user-mode threads measure their run time in CPU time
};

Mos_RC mosTicks_Init(const MosTicks_InitParams *pArgs);
void mosTicks_Destroy(void);

MosTicks_Cnt mosTicks_GetCurrentTick(void);
MosTicks_Cnt mosTicks_GetCurrentThreadTick(void);
MosTicks_Cnt mosTicks_GetCurrentUsrRunThreadTick(void);
// The same two clocks read from the kernel's coarse clock, which lags by at most one kernel tick
// and costs a few nanoseconds instead of tens: for run slices, which are measured in ticks of
// 10 ms anyway. A test clock overrides them as it does the precise ones.
MosTicks_Cnt mosTicks_GetCurrentTickCoarse(void);
MosTicks_Cnt mosTicks_GetCurrentThreadTickCoarse(void);
// TRUE while the thread clock is the tick clock (uthreads do not measure their run time in CPU
// time): a thread tick can then stand for a tick.
BOOL mosTicks_ThreadClockIsTickClock(void);

UINT64 mosTicks_TicksToMillis(MosTicks_Cnt tickCNT);
MosTicks_Cnt mosTicks_MillisToTicks(UINT64 millis);
MosTicks_Cnt mosTicks_GetFreq(void);
MosTicks_Cnt mosTicks_DiffInTicks(MosTicks_Cnt bigTick, MosTicks_Cnt smallTick);
BOOL mosTicks_IsFirstBigger(MosTicks_Cnt firstOP, MosTicks_Cnt secondOP);
// Milliseconds until the deadline: all ones for no deadline (0), 0 once it has passed.
UINT64 mosTicks_TimeLimitMilliBudget(MosTicks_Cnt deadlineTimeTick);
Mos_RC mosTicks_GetFreqDetails(UINT64 *pMult, BOOL *pBMultShifted);
long mosTicks_GetOsFreq(void);

// Test seams: a clock that tests drive, and a kernel tick rate that tests choose. A null
// clock, respectively a rate of 0, restores the real one.
void mosTicks_SetClockForTest(PMosTicks_GetTicksFunc pClock);
void mosTicks_SetOsFreqForTest(long ticksPerSecond);
