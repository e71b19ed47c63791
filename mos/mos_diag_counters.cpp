#include "mos/mos_diag_counters.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mos/mos_dbg.h"
#include "mos/mos_ticks.h"
#include "mos/mos_trace.h"

namespace {

#define MOS_DIAG_COUNTERS__ROW(name, comp, threshold) {0, (threshold), #comp, #name, 0, {0}},

// The table itself: constant-initialised, so it is usable before the layer starts.
MosDiagCounterExtEntry mosDiagCounters_G[MOS_DIAG_COUNTER__LAST] = {MOS_DIAG_COUNTERS__TABLE(MOS_DIAG_COUNTERS__ROW)};

#undef MOS_DIAG_COUNTERS__ROW

struct MosDiagCountersLayer {
    BOOL bInitalized;
};

MosDiagCountersLayer mosDiagCountersLayer_G;
// Tick of the layer's start: the reference of SECONDS_FROM_UP_TIME.
MosTicks_Cnt mosDiagCountersUpTick_G;

inline MosDiagCounterExtEntry *mosDiagCounters_Entry(MosDiagCounterType counter)
{
    MOS_ASSERT(counter < MOS_DIAG_COUNTER__LAST);
    return &mosDiagCounters_G[counter];
}

void mosDiagCounters_RefreshUpTime(MosTicks_Cnt now)
{
    UINT64 millis = mosTicks_TicksToMillis(now - mosDiagCountersUpTick_G);
    std::atomic_ref<UINT32>(mosDiagCounters_G[MOS_DIAG_COUNTER__SECONDS_FROM_UP_TIME].value)
        .store((UINT32)(millis / 1000), std::memory_order_relaxed);
}

// Copies one counter into an answer entry. A counted counter never reports 0 milliseconds,
// which would read as "never counted".
void mosDiagCounters_Fill(const MosDiagCounterExtEntry *pSrc, MosDiagCounterExtEntry *pDst, BOOL bExt,
                          MosTicks_Cnt now)
{
    auto *pMut = const_cast<MosDiagCounterExtEntry *>(pSrc);
    pDst->value = std::atomic_ref<UINT32>(pMut->value).load(std::memory_order_relaxed);
    pDst->threshold = pSrc->threshold;
    snprintf(pDst->compName, sizeof(pDst->compName), "%s", pSrc->compName);
    snprintf(pDst->name, sizeof(pDst->name), "%s", pSrc->name);
    if (!bExt)
        return;
    pDst->countExtData = std::atomic_ref<UINT64>(pMut->countExtData).load(std::memory_order_relaxed);
    UINT64 lastTick = std::atomic_ref<UINT64>(pMut->lastCountTime).load(std::memory_order_relaxed);
    if (lastTick == 0) {
        pDst->lastCountTimeMilli = 0;
    } else {
        UINT64 millis = mosTicks_TicksToMillis(now - lastTick);
        pDst->lastCountTimeMilli = millis == 0 ? 1 : millis;
    }
}

} // namespace

Mos_RC mosDiagCounters_Init(void *pArg)
{
    MOS_UNUSED(pArg);
    mosDiagCountersUpTick_G = mosTicks_GetCurrentTick();
    mosDiagCountersLayer_G.bInitalized = TRUE;
    return MOS_RC__SUCCESS;
}

void mosDiagCounters_Finit(void)
{
    if (!mosDiagCountersLayer_G.bInitalized)
        return;
    mosDiagCountersLayer_G.bInitalized = FALSE;
}

UINT32 mosDiagCounters_CountExt(MosDiagCounterType counter, UINT64 extData)
{
    MosDiagCounterExtEntry *pEntry = mosDiagCounters_Entry(counter);
    std::atomic_ref<UINT64>(pEntry->lastCountTime).store(mosTicks_GetCurrentTick(), std::memory_order_relaxed);
    std::atomic_ref<UINT64>(pEntry->countExtData).store(extData, std::memory_order_relaxed);
    return std::atomic_ref<UINT32>(pEntry->value).fetch_add(1, std::memory_order_relaxed);
}

UINT32 mosDiagCounters_Count(MosDiagCounterType counter)
{
    return mosDiagCounters_CountExt(counter, MOS_DIAG_COUNTERS__NULL_EXT_DATA);
}

UINT32 mosDiagCounters_Get(MosDiagCounterType counter)
{
    return std::atomic_ref<UINT32>(mosDiagCounters_Entry(counter)->value).load(std::memory_order_relaxed);
}

void mosDiagCounters_Reset(MosDiagCounterType counter)
{
    MosDiagCounterExtEntry *pEntry = mosDiagCounters_Entry(counter);
    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_HIGH, "Reseting %s", pEntry->name);
    std::atomic_ref<UINT32>(pEntry->value).store(0, std::memory_order_relaxed);
    std::atomic_ref<UINT64>(pEntry->countExtData).store(0, std::memory_order_relaxed);
    std::atomic_ref<UINT64>(pEntry->lastCountTime).store(0, std::memory_order_relaxed);
}

void mosDiagCounters_ResetAll(void)
{
    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "Reseting all counters..");
    for (UINT32 i = 0; i < MOS_DIAG_COUNTER__LAST; i++)
        mosDiagCounters_Reset((MosDiagCounterType)i);
}

UINT32 mosDiagCounters_GetNumOfCounters(void)
{
    return MOS_DIAG_COUNTER__LAST;
}

Mos_RC mosDiagCounters_QueryExt(MosDiagCountersQuery *pQuery, BOOL bExt)
{
    if (pQuery == nullptr || (pQuery->numOfElements != 0 && pQuery->pElementsArr == nullptr)) {
        MOS_ERROR(MOS_COMP_MOS, "Invalid query %p", (void *)pQuery);
        return MOS_RC__INVALID;
    }
    MosTicks_Cnt now = mosTicks_GetCurrentTick();
    mosDiagCounters_RefreshUpTime(now);

    // The component filter is a fixed 8-character field that need not be terminated.
    CHAR_A limit[MOS_DIAG_COUNTERS__COMP_MAX_STR_LEN + 1];
    memcpy(limit, pQuery->limitToComp, MOS_DIAG_COUNTERS__COMP_MAX_STR_LEN);
    limit[MOS_DIAG_COUNTERS__COMP_MAX_STR_LEN] = '\0';

    const UINT32 capacity = pQuery->numOfElements;
    UINT32 filled = 0;
    for (UINT32 i = 0; i < MOS_DIAG_COUNTER__LAST; i++) {
        MosDiagCounterExtEntry *pEntry = &mosDiagCounters_G[i];
        UINT32 value = std::atomic_ref<UINT32>(pEntry->value).load(std::memory_order_relaxed);
        if (pQuery->bOnlyAboveThreshold && !(value > pEntry->threshold))
            continue;
        if (limit[0] != '\0' && strncmp(limit, pEntry->compName, MOS_DIAG_COUNTERS__COMP_MAX_STR_LEN) != 0)
            continue;
        if (filled == capacity) {
            MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_MED, "Given array size (%u) is too small, may need (%u)", capacity,
                      (unsigned)MOS_DIAG_COUNTER__LAST);
            pQuery->numOfElements = MOS_DIAG_COUNTER__LAST;
            return MOS_RC__NO_RESOURCES;
        }
        if (bExt) {
            mosDiagCounters_Fill(pEntry, &pQuery->pExtElementsArr[filled], TRUE, now);
        } else {
            // A basic entry is the head of an ext entry; fill a whole one and copy the head so
            // that nothing is written past the caller's 48 bytes.
            MosDiagCounterExtEntry ext;
            mosDiagCounters_Fill(pEntry, &ext, FALSE, now);
            memcpy(&pQuery->pElementsArr[filled], &ext, sizeof(MosDiagCounterEntry));
        }
        filled++;
    }
    pQuery->numOfElements = filled;
    return MOS_RC__SUCCESS;
}

Mos_RC mosDiagCounters_Query(MosDiagCountersQuery *pQuery)
{
    return mosDiagCounters_QueryExt(pQuery, FALSE);
}
