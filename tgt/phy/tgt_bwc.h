// Two small counters of device I/O over time.
//
// TgtBwc: the runtime's windowed event counter behind a fast lock, so that every user-mode
// thread may record sizes, latencies or bitmap writes while the debug and Ostrel queries read
// the last complete window.
//
// TgtBwcSlidingWindow: whether client I/O has been quiet for a while, asked by the rebuild and
// rebalance limiters of a device. The window is cut into ten frames on the tick clock; a frame
// belongs to one cycle of ten frames and is cleared before it is used in a later cycle, so that
// I/O of an earlier cycle never counts against the current one.
#pragma once

#include "mos/mos_bwc.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_ticks.h"
#include "mos/mos_types.h"

#define TGT_BWC__MAX_VALIDATED_WEIGHT 2048u
#define TGT_BWC_SLIDING_WINDOW__NUM_OF_FRAMES 10u

struct TgtBwc {
    MosBWC_Counter bwc;
    MosFastlock_Base fastLock;
};

struct TgtBwcTimeFrame {
    UINT32 currNumOfIOs;
    UINT32 currLbs;
    UINT64 lastUpdateTick; // the cycle the frame's counts belong to
};

struct TgtBwcSlidingWindow {
    MosFastlock_Base fastLock;
    TgtBwcTimeFrame frames[TGT_BWC_SLIDING_WINDOW__NUM_OF_FRAMES];
    UINT32 frameSizeInMS;
    UINT32 maxAllowedNumOfIOsInSilence;
    UINT32 maxAllowedLbsInSilence;
};

void tgtBwc_Init(TgtBwc *pTgtBwc);
void tgtBwc_Destroy(TgtBwc *pTgtBwc);
// One event of that weight and count; with bValidate a weight above 2048 is a broken invariant
// (sizes are recorded in LB and never exceed one tooth).
void tgtBWC_EventOccurrenceIntrn(TgtBwc *pTgtBwc, UINT32 weight, UINT32 count, BOOL bValidate);
void tgtBwc_GetLastWindow(TgtBwc *pTgtBwc, MosBWC_QueryWindow *pWindow);

// windowSizeInMS / 10 is the frame size; a frame size of 0 is a broken invariant.
void TgtBwcSlidingWindow_Init(TgtBwcSlidingWindow *pWindow, UINT32 windowSizeInMS, UINT32 maxAllowedNumOfIOsInSilence,
                              UINT32 maxAllowedLbsInSilence);
// New limits; every frame is cleared.
void TgtBwcSlidingWindow_UpdateParams(TgtBwcSlidingWindow *pWindow, UINT32 windowSizeInMS,
                                      UINT32 maxAllowedNumOfIOsInSilence, UINT32 maxAllowedLbsInSilence);
void TgtBwcSlidingWindow_AddIO(TgtBwcSlidingWindow *pWindow, UINT32 numOfIOs, UINT32 lbs);
// Silent when no frame of the current cycle holds more I/Os or more LB than allowed.
BOOL TgtBwcSlidingWindow_IsSilent(TgtBwcSlidingWindow *pWindow);
void TgtBwcSlidingWindow_Destroy(TgtBwcSlidingWindow *pWindow);
