#include "mos/mos_diag_counters.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_obj.h"
#include "mos/mos_ticks.h"
#include "mos/mos_trace.h"
#include "mos/sdbg/sdbg_exports.h"
#include "mos/mos_utils_text.h"
#include "mos/mos_utils_console.h"

namespace {

#define MOS_DIAG_COUNTERS__ROW(name, comp, threshold) {0, (threshold), #comp, #name, 0, {0}},

// The table itself: constant-initialised, so it is usable before the layer starts.
MosDiagCounterExtEntry mosDiagCounters_G[MOS_DIAG_COUNTER__LAST] = {MOS_DIAG_COUNTERS__TABLE(MOS_DIAG_COUNTERS__ROW)};

#undef MOS_DIAG_COUNTERS__ROW

#define MOS_DIAG_COUNTERS__COMP(name, comp, threshold) MOS_DIAG_COUNTER_COMP__##comp,
constexpr MosDiagCounterComponentType mosDiagCountersComp_G[MOS_DIAG_COUNTER__LAST] = {
    MOS_DIAG_COUNTERS__TABLE(MOS_DIAG_COUNTERS__COMP)};
#undef MOS_DIAG_COUNTERS__COMP

// Debug object type of each component's counters.
constexpr UINT32 mosDiagCountersObjTypeIds_G[MOS_DIAG_COUNTER_COMP__LAST] = {
    SDBG_EXPORTS_OBJ_TYPE__DIAG_COUNTERS_NET,     SDBG_EXPORTS_OBJ_TYPE__DIAG_COUNTERS_IO,
    SDBG_EXPORTS_OBJ_TYPE__DIAG_COUNTERS_MOS,     SDBG_EXPORTS_OBJ_TYPE__DIAG_COUNTERS_INI_DEV,
    SDBG_EXPORTS_OBJ_TYPE__DIAG_COUNTERS_OSTREL,  SDBG_EXPORTS_OBJ_TYPE__DIAG_COUNTERS_T10DIF,
    SDBG_EXPORTS_OBJ_TYPE__DIAG_COUNTERS_CMATRIX, SDBG_EXPORTS_OBJ_TYPE__DIAG_COUNTERS_PELLAR,
};

struct MosDiagCountersLayer {
    BOOL bInitalized;
    MosObj_Type ObjectTypesArray[MOS_DIAG_COUNTER_COMP__LAST];
    BOOL bInRegistry; // the registry ran when the layer started
};

MosDiagCountersLayer mosDiagCountersLayer_G;
// The registry entry of each counter.
MosObj mosDiagCountersObjs_G[MOS_DIAG_COUNTER__LAST];
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
    // Start-up creates the registry first; tests of single modules may run without it.
    mosDiagCountersLayer_G.bInRegistry = mosObjLayer_IsRunning();
    if (mosDiagCountersLayer_G.bInRegistry) {
        for (UINT32 c = 0; c < MOS_DIAG_COUNTER_COMP__LAST; c++)
            mosObjType_RegObjType(&mosDiagCountersLayer_G.ObjectTypesArray[c], mosDiagCounters_SdbgQueryFunc,
                                  nullptr, mosDiagCountersObjTypeIds_G[c], sizeof(MosDiagCounterExtEntry));
        for (UINT32 i = 0; i < MOS_DIAG_COUNTER__LAST; i++)
            mosObjType_RegObj(&mosDiagCountersLayer_G.ObjectTypesArray[mosDiagCountersComp_G[i]],
                              &mosDiagCountersObjs_G[i], mosDiagCounters_G[i].name);
    }
    mosDiagCountersLayer_G.bInitalized = TRUE;
    return MOS_RC__SUCCESS;
}

void mosDiagCounters_Finit(void)
{
    if (!mosDiagCountersLayer_G.bInitalized)
        return;
    if (mosDiagCountersLayer_G.bInRegistry) {
        for (UINT32 i = 0; i < MOS_DIAG_COUNTER__LAST; i++)
            mosObjType_UnregObj(&mosDiagCountersLayer_G.ObjectTypesArray[mosDiagCountersComp_G[i]],
                                &mosDiagCountersObjs_G[i]);
        for (UINT32 c = 0; c < MOS_DIAG_COUNTER_COMP__LAST; c++)
            mosObjType_UnregObjType(&mosDiagCountersLayer_G.ObjectTypesArray[c]);
    }
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

void mosDiagCounters_SdbgQueryFunc(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    MOS_UNUSED(pName);
    UINT64 index = (UINT64)((uintptr_t)pObj - (uintptr_t)mosDiagCountersObjs_G) / sizeof(MosObj);
    MOS_ASSERT(index < mosDiagCounters_GetNumOfCounters());
    MosTicks_Cnt now = mosTicks_GetCurrentTick();
    mosDiagCounters_RefreshUpTime(now);
    mosDiagCounters_Fill(&mosDiagCounters_G[index], static_cast<MosDiagCounterExtEntry *>(pData), TRUE, now);
}

void mosDiagCounters_PrintQuery(const MosDiagCountersQuery *pQuery, const char *pHeader, const char *pCounterPref)
{
    const BOOL bTrace = g_componentFreqLevelsArr[MOS_COMP_MOS] != MOS_FREQ_NONE;
    if (bTrace) {
        if (pHeader != nullptr)
            puts(pHeader);
        if (pCounterPref != nullptr)
            printf("%s", pCounterPref);
    }
    mos_PrettyPrint(COLOR_DEFAULT, "%-*s::  %-*s::  %-*s:: %-*s:: %-*s\n", 9, "Component", 33, "Counter", 20, "Value", 22,
                    "ExtData", 20, "Last Counted(Ms)");
    for (UINT32 i = 0; i < pQuery->numOfElements; i++) {
        const MosDiagCounterExtEntry *pEntry = &pQuery->pExtElementsArr[i];
        if (bTrace && pCounterPref != nullptr)
            printf("%s", pCounterPref);
        mos_PrettyPrint(pEntry->value > pEntry->threshold ? COLOR_RED : COLOR_DEFAULT,
                        "%-*s::  %-*s::  %-*u:: 0x%-*lx:: %-*lu\n", 9, pEntry->compName, 33, pEntry->name, 20,
                        pEntry->value, 20, (unsigned long)pEntry->countExtData, 20,
                        (unsigned long)pEntry->lastCountTimeMilli);
    }
}

void mosDiagCounters_PrintAll(void)
{
    auto *pQuery = static_cast<MosDiagCountersQuery *>(
        calloc(1, sizeof(MosDiagCountersQuery) + MOS_DIAG_COUNTER__LAST * sizeof(MosDiagCounterExtEntry)));
    if (pQuery == nullptr)
        return;
    pQuery->numOfElements = MOS_DIAG_COUNTER__LAST;
    pQuery->bOnlyAboveThreshold = TRUE;
    pQuery->pExtElementsArr = reinterpret_cast<MosDiagCounterExtEntry *>(pQuery + 1);
    if (mosDiagCounters_QueryExt(pQuery, TRUE) == MOS_RC__SUCCESS)
        mosDiagCounters_PrintQuery(pQuery, "DIAGNOSTIC COUNTERS", "\t");
    free(pQuery);
}
