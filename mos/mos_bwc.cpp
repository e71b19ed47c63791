#include "mos/mos_bwc.h"

#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_ticks.h"
#include "mos/mos_trace.h"

namespace {

// Plain words, read without a lock on every event.
MosBWC_Layer bwcLayer_G = {0, MOS_BWC__ENABLE_STATE__DISABLED};

UINT64 secondsToTicks(UINT64 seconds)
{
    return mosTicks_MillisToTicks(seconds * 1000);
}

UINT64 layerWinSizeTicks(void)
{
    const UINT64 ticks = bwcLayer_G.winSizeTicks;
    return ticks != 0 ? ticks : secondsToTicks(MOS_BWC__DEFAULT_WIN_SIZE_SEC);
}

UINT64 winSizeTicks(const MosBWC_Counter *pCounter)
{
    return pCounter->winSizeTicks == MOS_BWC__WIN_SIZE_GLOBAL ? layerWinSizeTicks() : pCounter->winSizeTicks;
}

BOOL isEnabled(const MosBWC_Counter *pCounter)
{
    const MosBWC_EnableState state =
        pCounter->state == MOS_BWC__ENABLE_STATE__DEFAULT ? bwcLayer_G.enabledState : pCounter->state;
    return state == MOS_BWC__ENABLE_STATE__ENABLED;
}

void clearWindow(MosBWC_Window *pWin)
{
    memset(pWin, 0, sizeof(*pWin));
}

UINT32 satAdd32(UINT32 a, UINT32 b)
{
    UINT32 r;
    return __builtin_add_overflow(a, b, &r) ? 0xFFFFFFFFu : r;
}

} // namespace

Mos_RC mosBWCLayer_Init(const MosBWC_InitParams *pInitParams)
{
    const UINT32 winSize =
        (pInitParams != nullptr && pInitParams->winSize != 0) ? pInitParams->winSize : MOS_BWC__DEFAULT_WIN_SIZE_SEC;
    bwcLayer_G.winSizeTicks = secondsToTicks(winSize);
    bwcLayer_G.enabledState = (pInitParams != nullptr && pInitParams->bEnableCounters)
                                  ? MOS_BWC__ENABLE_STATE__ENABLED
                                  : MOS_BWC__ENABLE_STATE__DISABLED;
    return MOS_RC__SUCCESS;
}

void mosBWCLayer_Destroy(void) {}

void mosBWC_Create(MosBWC_Counter *pBWC, UINT32 winSize)
{
    memset(pBWC, 0, sizeof(*pBWC));
    pBWC->state = MOS_BWC__ENABLE_STATE__DEFAULT;
    Mos_RC rc = mosBWC_ChangeWindowSize(pBWC, winSize);
    MOS_ASSERT(rc == MOS_RC__SUCCESS);
    const UINT64 size = winSizeTicks(pBWC);
    const UINT64 now = mosTicks_GetCurrentTick();
    pBWC->windows[0].startCNT = size * (now / size);
    pBWC->windows[0].endCNT = pBWC->windows[0].startCNT + size;
}

void mosBWC_Destroy(MosBWC_Counter *pBWC)
{
    MOS_UNUSED(pBWC);
}

Mos_RC mosBWC_ChangeWindowSize(MosBWC_Counter *pCounter, UINT32 newWindowSize)
{
    if (newWindowSize == MOS_BWC__WIN_SIZE_GLOBAL) {
        if (pCounter == MOS_BWC__ALL_COUNTERS)
            return MOS_RC__INVALID;
        pCounter->winSizeTicks = MOS_BWC__WIN_SIZE_GLOBAL;
        return MOS_RC__SUCCESS;
    }
    if (newWindowSize < MOS_BWC__MIN_WIN_SIZE_SEC || newWindowSize > MOS_BWC__MAX_WIN_SIZE_SEC) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_MED, "Window size %u s outside %u to %u", newWindowSize,
                  MOS_BWC__MIN_WIN_SIZE_SEC, MOS_BWC__MAX_WIN_SIZE_SEC);
        return MOS_RC__INVALID;
    }
    const UINT64 ticks = secondsToTicks(newWindowSize);
    if (pCounter == MOS_BWC__ALL_COUNTERS)
        bwcLayer_G.winSizeTicks = ticks;
    else
        pCounter->winSizeTicks = ticks;
    return MOS_RC__SUCCESS;
}

Mos_RC mosBWC_SetActiveState(MosBWC_Counter *pCounter, MosBWC_EnableState newState)
{
    const BOOL bOnOff = newState == MOS_BWC__ENABLE_STATE__DISABLED || newState == MOS_BWC__ENABLE_STATE__ENABLED;
    if (pCounter == MOS_BWC__ALL_COUNTERS) {
        if (!bOnOff)
            return MOS_RC__INVALID;
        bwcLayer_G.enabledState = newState;
        return MOS_RC__SUCCESS;
    }
    if (!bOnOff && newState != MOS_BWC__ENABLE_STATE__DEFAULT)
        return MOS_RC__INVALID;
    pCounter->state = newState;
    return MOS_RC__SUCCESS;
}

BOOL mosBWC_IsEnabled(const MosBWC_Counter *pCounter)
{
    if (pCounter == MOS_BWC__ALL_COUNTERS)
        return bwcLayer_G.enabledState == MOS_BWC__ENABLE_STATE__ENABLED;
    return isEnabled(pCounter);
}

Mos_RC mosBWC_EventOccurrence(MosBWC_Counter *pCounter, UINT32 weight, UINT32 num)
{
    if (!isEnabled(pCounter))
        return MOS_RC__INVALID;

    MosBWC_Window *pWin = &pCounter->windows[pCounter->currWinIndex];
    const UINT64 now = mosTicks_GetCurrentTick();
    if (!mosTicks_IsFirstBigger(pWin->endCNT, now)) {
        const UINT64 size = winSizeTicks(pCounter);
        if (now - pWin->endCNT >= size) {
            // A quiet gap of at least one whole window after this one: the window before the one
            // holding now becomes the previous (empty) window, so the next starts where now is.
            clearWindow(pWin);
            pWin->startCNT = size * ((now - size) / size);
            pWin->endCNT = pWin->startCNT + size;
        }
        pCounter->currWinIndex ^= 1;
        MosBWC_Window *pNext = &pCounter->windows[pCounter->currWinIndex];
        clearWindow(pNext);
        pNext->startCNT = pWin->endCNT;
        pNext->endCNT = pWin->endCNT + size;
        pWin = pNext;
    }

    // Sums stop at the largest value rather than wrap to a small one.
    pWin->numOccured = satAdd32(pWin->numOccured, num);
    pWin->totalWeight = satAdd32(pWin->totalWeight, weight);
    if (weight > pWin->maxWeight)
        pWin->maxWeight = weight;
    if (weight < pWin->minWeight || pWin->minWeight == 0)
        pWin->minWeight = weight;
    return MOS_RC__SUCCESS;
}

Mos_RC mosBWC_GetLastWindow(MosBWC_Counter *pCounter, MosBWC_QueryWindow *pLastWindow)
{
    if (!isEnabled(pCounter))
        return MOS_RC__INVALID;
    memset(pLastWindow, 0, sizeof(*pLastWindow));

    const MosBWC_Window *pWin = &pCounter->windows[pCounter->currWinIndex];
    const UINT64 now = mosTicks_GetCurrentTick();
    if (mosTicks_IsFirstBigger(pWin->endCNT, now)) {
        pWin = &pCounter->windows[pCounter->currWinIndex ^ 1];
    } else if (now - pWin->endCNT >= winSizeTicks(pCounter)) {
        // The window after the current one has ended too, without events.
        return MOS_RC__SUCCESS;
    }
    pLastWindow->numOccured = pWin->numOccured;
    pLastWindow->totalWeight = pWin->totalWeight;
    pLastWindow->maxWeight = pWin->maxWeight;
    pLastWindow->minWeight = pWin->minWeight;
    const UINT64 seconds = mosTicks_TicksToMillis(pWin->endCNT - pWin->startCNT) / 1000;
    pLastWindow->numSeconds = seconds != 0 ? (UINT32)MOS_MIN(seconds, (UINT64)0xFFFFFFFFu) : 1;
    return MOS_RC__SUCCESS;
}

Mos_RC mosBWC_GetLastAvgs(MosBWC_Counter *pCounter, UINT32 *pLastAvgWeight, UINT32 *pLastAvgOccur)
{
    *pLastAvgWeight = 0;
    *pLastAvgOccur = 0;
    MosBWC_QueryWindow last;
    Mos_RC rc = mosBWC_GetLastWindow(pCounter, &last);
    if (rc == MOS_RC__SUCCESS && last.numSeconds != 0) {
        const UINT64 secs = last.numSeconds;
        *pLastAvgWeight = (UINT32)(((UINT64)last.totalWeight + secs - 1) / secs);
        *pLastAvgOccur = (UINT32)(((UINT64)last.numOccured + secs - 1) / secs);
    }
    return rc;
}
