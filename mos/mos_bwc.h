// Windowed rate counter: counts events and their weights (bytes, for one) in fixed time windows
// aligned to the tick clock and reports the last complete window, from which rates per second
// are derived. No lock and no timer: the owner serialises access, and windows roll lazily when
// an event or a query comes.
#pragma once

#include "mos/mos_rc.h"
#include "mos/mos_types.h"

enum MosBWC_EnableState : UINT32 {
    MOS_BWC__ENABLE_STATE__DISABLED = 0,
    MOS_BWC__ENABLE_STATE__ENABLED = 1,
    MOS_BWC__ENABLE_STATE__DEFAULT = 2, // follow the layer
};

// A window covers the ticks [startCNT, endCNT).
struct MosBWC_Window {
    UINT64 startCNT;
    UINT64 endCNT;
    UINT32 numOccured;
    UINT32 totalWeight;
    UINT32 maxWeight;
    UINT32 minWeight; // 0: no event yet
};

struct MosBWC_Counter {
    MosBWC_Window windows[2]; // used alternately
    UINT64 winSizeTicks;      // MOS_BWC__WIN_SIZE_GLOBAL: the layer's window size
    MosBWC_EnableState state;
    UINT32 currWinIndex; // 0 or 1
};

struct MosBWC_Layer {
    UINT64 winSizeTicks;
    MosBWC_EnableState enabledState; // DISABLED or ENABLED
};

struct MosBWC_InitParams {
    UINT32 winSize; // seconds; 0 takes the default of 5
    BOOL bEnableCounters;
};

struct MosBWC_QueryWindow {
    UINT32 numOccured;
    UINT32 totalWeight;
    UINT32 maxWeight;
    UINT32 minWeight;
    UINT32 numSeconds;
};

static_assert(sizeof(MosBWC_QueryWindow) == 20);
static_assert(offsetof(MosBWC_QueryWindow, numSeconds) == 16);

// Addresses the layer instead of one counter.
#define MOS_BWC__ALL_COUNTERS ((MosBWC_Counter *)(intptr_t)-1)
// Window size of a counter that follows the layer's window size.
#define MOS_BWC__WIN_SIZE_GLOBAL 0xFFFFFFFFu
#define MOS_BWC__DEFAULT_WIN_SIZE_SEC 5u
#define MOS_BWC__MIN_WIN_SIZE_SEC 1u
#define MOS_BWC__MAX_WIN_SIZE_SEC 3600u

Mos_RC mosBWCLayer_Init(const MosBWC_InitParams *pInitParams);
void mosBWCLayer_Destroy(void);

// winSize in seconds (1 to 3600) or MOS_BWC__WIN_SIZE_GLOBAL.
void mosBWC_Create(MosBWC_Counter *pBWC, UINT32 winSize);
void mosBWC_Destroy(MosBWC_Counter *pBWC);
// Takes effect from the next window roll.
Mos_RC mosBWC_ChangeWindowSize(MosBWC_Counter *pCounter, UINT32 newWindowSize);
Mos_RC mosBWC_SetActiveState(MosBWC_Counter *pCounter, MosBWC_EnableState newState);
BOOL mosBWC_IsEnabled(const MosBWC_Counter *pCounter);
// MOS_RC__INVALID (nothing recorded) while the counter is disabled.
Mos_RC mosBWC_EventOccurrence(MosBWC_Counter *pCounter, UINT32 weight, UINT32 num);
Mos_RC mosBWC_GetLastWindow(MosBWC_Counter *pCounter, MosBWC_QueryWindow *pLastWindow);
// Averages per second of the last window, rounded up; 0 when there is none.
Mos_RC mosBWC_GetLastAvgs(MosBWC_Counter *pCounter, UINT32 *pLastAvgWeight, UINT32 *pLastAvgOccur);
