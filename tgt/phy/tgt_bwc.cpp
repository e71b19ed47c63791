#include "tgt/phy/tgt_bwc.h"

#include <cstring>

#include "mos/mos_dbg.h"
#include "tgt/tgt_contention.h"

void tgtBwc_Init(TgtBwc *pTgtBwc)
{
    memset(pTgtBwc, 0, sizeof(*pTgtBwc));
    mosBWC_Create(&pTgtBwc->bwc, MOS_BWC__WIN_SIZE_GLOBAL);
    mosFastlockBase_Create(&pTgtBwc->fastLock, TGT_CONTENTION__BWC, __FILE__, __LINE__);
}

void tgtBwc_Destroy(TgtBwc *pTgtBwc)
{
    mosFastlockBase_Destroy(&pTgtBwc->fastLock);
    mosBWC_Destroy(&pTgtBwc->bwc);
}

void tgtBWC_EventOccurrenceIntrn(TgtBwc *pTgtBwc, UINT32 weight, UINT32 count, BOOL bValidate)
{
    if (bValidate)
        Exp(weight > TGT_BWC__MAX_VALIDATED_WEIGHT);
    mosFastlockBase_Acquire(&pTgtBwc->fastLock);
    mosBWC_EventOccurrence(&pTgtBwc->bwc, weight, count);
    mosFastlockBase_Release(&pTgtBwc->fastLock);
}

void tgtBwc_GetLastWindow(TgtBwc *pTgtBwc, MosBWC_QueryWindow *pWindow)
{
    mosFastlockBase_Acquire(&pTgtBwc->fastLock);
    mosBWC_GetLastWindow(&pTgtBwc->bwc, pWindow);
    mosFastlockBase_Release(&pTgtBwc->fastLock);
}

namespace {
void setParams(TgtBwcSlidingWindow *pWindow, UINT32 windowSizeInMS, UINT32 maxIOs, UINT32 maxLbs)
{
    pWindow->frameSizeInMS = windowSizeInMS / TGT_BWC_SLIDING_WINDOW__NUM_OF_FRAMES;
    Exp(pWindow->frameSizeInMS == 0);
    pWindow->maxAllowedNumOfIOsInSilence = maxIOs;
    pWindow->maxAllowedLbsInSilence = maxLbs;
    memset(pWindow->frames, 0, sizeof(pWindow->frames));
}

struct FramePos {
    UINT32 index;
    UINT64 cycle;
};

FramePos currentFrame(const TgtBwcSlidingWindow *pWindow)
{
    // A frame shorter than one tick still spans one tick.
    UINT64 frameTicks = MOS_MAX(mosTicks_MillisToTicks(pWindow->frameSizeInMS), (MosTicks_Cnt)1);
    UINT64 cycleTicks = frameTicks * TGT_BWC_SLIDING_WINDOW__NUM_OF_FRAMES;
    UINT64 now = mosTicks_GetCurrentTick();
    return FramePos{(UINT32)((now % cycleTicks) / frameTicks), now / cycleTicks};
}

// Clears a frame that still holds the counts of another cycle.
void TgtBwcSlidingWindow_checkAndUpdateLastTick(TgtBwcTimeFrame *pFrame, UINT64 cycle)
{
    if (pFrame->lastUpdateTick == cycle)
        return;
    pFrame->currNumOfIOs = 0;
    pFrame->currLbs = 0;
    pFrame->lastUpdateTick = cycle;
}
} // namespace

void TgtBwcSlidingWindow_Init(TgtBwcSlidingWindow *pWindow, UINT32 windowSizeInMS, UINT32 maxAllowedNumOfIOsInSilence,
                              UINT32 maxAllowedLbsInSilence)
{
    memset(pWindow, 0, sizeof(*pWindow));
    mosFastlockBase_Create(&pWindow->fastLock, TGT_CONTENTION__BWC, __FILE__, __LINE__);
    setParams(pWindow, windowSizeInMS, maxAllowedNumOfIOsInSilence, maxAllowedLbsInSilence);
}

void TgtBwcSlidingWindow_UpdateParams(TgtBwcSlidingWindow *pWindow, UINT32 windowSizeInMS,
                                      UINT32 maxAllowedNumOfIOsInSilence, UINT32 maxAllowedLbsInSilence)
{
    mosFastlockBase_Acquire(&pWindow->fastLock);
    setParams(pWindow, windowSizeInMS, maxAllowedNumOfIOsInSilence, maxAllowedLbsInSilence);
    mosFastlockBase_Release(&pWindow->fastLock);
}

void TgtBwcSlidingWindow_AddIO(TgtBwcSlidingWindow *pWindow, UINT32 numOfIOs, UINT32 lbs)
{
    mosFastlockBase_Acquire(&pWindow->fastLock);
    FramePos pos = currentFrame(pWindow);
    TgtBwcTimeFrame *pFrame = &pWindow->frames[pos.index];
    TgtBwcSlidingWindow_checkAndUpdateLastTick(pFrame, pos.cycle);
    pFrame->currNumOfIOs += numOfIOs;
    pFrame->currLbs += lbs;
    mosFastlockBase_Release(&pWindow->fastLock);
}

BOOL TgtBwcSlidingWindow_IsSilent(TgtBwcSlidingWindow *pWindow)
{
    BOOL bSilent = TRUE;
    mosFastlockBase_Acquire(&pWindow->fastLock);
    FramePos pos = currentFrame(pWindow);
    for (TgtBwcTimeFrame &frame : pWindow->frames) {
        TgtBwcSlidingWindow_checkAndUpdateLastTick(&frame, pos.cycle);
        if (frame.currNumOfIOs > pWindow->maxAllowedNumOfIOsInSilence ||
            frame.currLbs > pWindow->maxAllowedLbsInSilence) {
            bSilent = FALSE;
            break;
        }
    }
    mosFastlockBase_Release(&pWindow->fastLock);
    return bSilent;
}

void TgtBwcSlidingWindow_Destroy(TgtBwcSlidingWindow *pWindow)
{
    mosFastlockBase_Destroy(&pWindow->fastLock);
}
