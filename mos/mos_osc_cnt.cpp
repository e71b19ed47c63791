#include "mos/mos_osc_cnt_intrn.h"

#include <atomic>
#include <cstring>

#include "mos/mos_contention.h"
#include "mos/mos_assert.h"
#include "mos/mos_diag_counters.h"
#include "mos/mos_ticks.h"
#include "mos/mos_trace.h"

// The counter types: X(name, component, visibility, network, short, medium and long default
// thresholds (before the factor), description, short description).
#define MOS_OSC_CNT__TYPE_TABLE(X) \
    X(OSTREL_PELLAR_NETWORK_DISCONNECTIONS, OSTREL_PELLAR_NET, EXTERNAL, TRUE, 3, 5, 7, "disconnections from Pellar", "disconnections") \
    X(PELLAR_PELLAR_NETWORK_DISCONNECTIONS, PELLAR_PELLAR_NET, EXTERNAL, TRUE, 3, 5, 7, "disconnections from Pellar", "disconnections") \
    X(QUILLET_PELLAR_NETWORK_DISCONNECTIONS, QUILLET_PELLAR_NET, EXTERNAL, TRUE, 8, 40, 200, "disconnections from Pellar", "disconnections") \
    X(QUILLET_OSTREL_NETWORK_DISCONNECTIONS, QUILLET_OSTREL_NET, EXTERNAL, TRUE, 3, 5, 7, "disconnections from Ostrel", "disconnections") \
    X(OSTREL_PELLAR_NETWORK_FAILURES, OSTREL_PELLAR_NET, INTERNAL, TRUE, 100, 1000, 10000, "network failures to Pellar", "failures") \
    X(PELLAR_PELLAR_NETWORK_FAILURES, PELLAR_PELLAR_NET, INTERNAL, TRUE, 100, 1000, 10000, "network failures to Pellar", "failures") \
    X(QUILLET_PELLAR_NETWORK_FAILURES, QUILLET_PELLAR_NET, INTERNAL, TRUE, 100, 1000, 10000, "network failures to Pellar", "failures") \
    X(QUILLET_OSTREL_NETWORK_FAILURES, QUILLET_OSTREL_NET, INTERNAL, TRUE, 100, 1000, 10000, "network failures to Ostrel", "failures") \
    X(OSTREL_PELLAR_RCV_KEEP_ALIVE_CAUSED_DISCONNECTION, OSTREL_PELLAR_NET, INTERNAL, TRUE, 4, 8, 16, "disconnections due to failure receiving keep-alive messages from Pellar", "disconnections") \
    X(PELLAR_PELLAR_RCV_KEEP_ALIVE_CAUSED_DISCONNECTION, PELLAR_PELLAR_NET, INTERNAL, TRUE, 4, 8, 16, "disconnections due to failure receiving keep-alive messages from Pellar", "disconnections") \
    X(QUILLET_PELLAR_RCV_KEEP_ALIVE_CAUSED_DISCONNECTION, QUILLET_PELLAR_NET, INTERNAL, TRUE, 4, 8, 16, "disconnections due to failure receiving keep-alive messages from Pellar", "disconnections") \
    X(QUILLET_OSTREL_RCV_KEEP_ALIVE_CAUSED_DISCONNECTION, QUILLET_OSTREL_NET, INTERNAL, TRUE, 4, 8, 16, "disconnections due to failure receiving keep-alive messages from Ostrel", "disconnections") \
    X(OSTREL_PELLAR_SND_KEEP_ALIVE_CAUSED_DISCONNECTION, OSTREL_PELLAR_NET, INTERNAL, TRUE, 4, 8, 16, "disconnections due to failure sending keep-alive messages to Pellar", "disconnections") \
    X(PELLAR_PELLAR_SND_KEEP_ALIVE_CAUSED_DISCONNECTION, PELLAR_PELLAR_NET, INTERNAL, TRUE, 4, 8, 16, "disconnections due to failure sending keep-alive messages to Pellar", "disconnections") \
    X(QUILLET_PELLAR_SND_KEEP_ALIVE_CAUSED_DISCONNECTION, QUILLET_PELLAR_NET, INTERNAL, TRUE, 4, 8, 16, "disconnections due to failure sending keep-alive messages to Pellar", "disconnections") \
    X(QUILLET_OSTREL_SND_KEEP_ALIVE_CAUSED_DISCONNECTION, QUILLET_OSTREL_NET, INTERNAL, TRUE, 4, 8, 16, "disconnections due to failure sending keep-alive messages to Ostrel", "disconnections") \
    X(OSTREL_PELLAR_HIGH_LATENCY, OSTREL_PELLAR_NET, INTERNAL, TRUE, 100, 1000, 10000, "messages experiencing high latency to Pellar", "high latency messages") \
    X(PELLAR_PELLAR_HIGH_LATENCY, PELLAR_PELLAR_NET, INTERNAL, TRUE, 100, 1000, 10000, "messages experiencing high latency to Pellar", "high latency messages") \
    X(QUILLET_PELLAR_HIGH_LATENCY, QUILLET_PELLAR_NET, INTERNAL, TRUE, 100, 1000, 10000, "messages experiencing high latency to Pellar", "high latency messages") \
    X(QUILLET_OSTREL_HIGH_LATENCY, QUILLET_OSTREL_NET, INTERNAL, TRUE, 100, 1000, 10000, "messages experiencing high latency to Ostrel", "high latency messages") \
    X(OSTREL_PELLAR_CRITICAL_LATENCY, OSTREL_PELLAR_NET, INTERNAL, TRUE, 100, 1000, 10000, "messages experiencing critical latency to Pellar", "critical latency messages") \
    X(PELLAR_PELLAR_CRITICAL_LATENCY, PELLAR_PELLAR_NET, INTERNAL, TRUE, 100, 1000, 10000, "messages experiencing critical latency to Pellar", "critical latency messages") \
    X(QUILLET_PELLAR_CRITICAL_LATENCY, QUILLET_PELLAR_NET, INTERNAL, TRUE, 100, 1000, 10000, "messages experiencing critical latency to Pellar", "critical latency messages") \
    X(QUILLET_OSTREL_CRITICAL_LATENCY, QUILLET_OSTREL_NET, INTERNAL, TRUE, 100, 1000, 10000, "messages experiencing critical latency to Ostrel", "critical latency messages") \
    X(QUILLET_LONG_OPERATIONS, QUILLET_PELLAR_NET, EXTERNAL, TRUE, 100, 1000, 10000, "long IO operations to Pellar", "long IO operations") \
    X(DEVICE_LONG_IO_OPERATIONS, DEV, INTERNAL, FALSE, 3, 5, 7, "long IO operations", "long IO operations") \
    X(DEVICE_LONG_SUCCESSFUL_IO_OPERATIONS, DEV, EXTERNAL, FALSE, 8, 40, 200, "long successful IO operations", "long IO operations") \
    X(PELLAR_DECOUPLED, PELLAR, EXTERNAL, FALSE, 3, 5, 7, "decouple events of Pellar", "decouple events") \
    X(PELLAR_CONFIGURATION_FAILURES, PELLAR, EXTERNAL, FALSE, 3, 5, 7, "configuration failures of Pellar", "configuration failures") \
    X(MEMORY_ALLOCATION_FAILURES, QUILLET, EXTERNAL, FALSE, 3, 5, 7, "memory allocation failures", "memory allocation failures") \
    X(SOCKET_ALLOCATION_FAILURES, QUILLET, EXTERNAL, FALSE, 3, 5, 7, "socket allocation failures", "socket allocation failures") \
    X(PELLAR_LONG_OPERATIONS, PELLAR, INTERNAL, FALSE, 3, 5, 7, "long RPC operations", "long RPC operations") \
    X(PELLAR_RECEIVE_BUFFER_ALLOCATION_FAILURES, PELLAR, EXTERNAL, FALSE, 200, 2000, 20000, "receive buffer allocation failures", "receive buffer allocation failures") \
    X(PELLAR_NET_PAUSE_TOGGLE, PELLAR, INTERNAL, FALSE, 100, 1000, 10000, "net pause toggles", "net pause toggles") \

MosOscCntLayer oscCntLayer_G;

const CHAR_A *const MOS_OSC_CNT_TYPE_STRINGS[MOS_OSC_CNT_TYPE__LAST] = {
    "INVALID",
#define MOS_OSC_CNT__NAME(name, comp, vis, net, t0, t1, t2, desc, shortDesc) #name,
    MOS_OSC_CNT__TYPE_TABLE(MOS_OSC_CNT__NAME)
#undef MOS_OSC_CNT__NAME
};

const CHAR_A *const MOS_OSC_CNT_DESC_STRINGS[MOS_OSC_CNT_TYPE__LAST] = {
    "INVALID",
#define MOS_OSC_CNT__DESC(name, comp, vis, net, t0, t1, t2, desc, shortDesc) desc,
    MOS_OSC_CNT__TYPE_TABLE(MOS_OSC_CNT__DESC)
#undef MOS_OSC_CNT__DESC
};

const CHAR_A *const MOS_OSC_CNT_SHORT_DESC_STRINGS[MOS_OSC_CNT_TYPE__LAST] = {
    "INVALID",
#define MOS_OSC_CNT__SHORT_DESC(name, comp, vis, net, t0, t1, t2, desc, shortDesc) shortDesc,
    MOS_OSC_CNT__TYPE_TABLE(MOS_OSC_CNT__SHORT_DESC)
#undef MOS_OSC_CNT__SHORT_DESC
};

namespace {

struct MosOscCnt_TypeInfo {
    MosOscCnt_CounterType type;
    MosOscCnt_ComponentType comp;
    MosOscCnt_VisibilityType visibility;
    BOOL bNet;
    UINT32 sdbgTypeId;
    UINT32 thresholds[MOS_OSC_CNT__NUM_WINDOWS];
};

constexpr MosOscCnt_TypeInfo kTypeInfo[MOS_OSC_CNT_TYPE__LAST] = {
    {MOS_OSC_CNT_TYPE__INVALID, MOS_OSC_CNT_COMP_TYPE__NONE, MOS_OSC_CNT_VISIBILITY_TYPE__INTERNAL, FALSE, 0, {0, 0, 0}},
#define MOS_OSC_CNT__INFO(name, comp, vis, net, t0, t1, t2, desc, shortDesc)                                        \
    {MOS_OSC_CNT_TYPE__##name, MOS_OSC_CNT_COMP_TYPE__##comp, MOS_OSC_CNT_VISIBILITY_TYPE__##vis, net,                  \
     SDBG_EXPORTS_OBJ_TYPE__OSC_CNT_##name, {t0, t1, t2}},
    MOS_OSC_CNT__TYPE_TABLE(MOS_OSC_CNT__INFO)
#undef MOS_OSC_CNT__INFO
};

constexpr bool typeTableInOrder()
{
    for (UINT32 i = 0; i < MOS_OSC_CNT_TYPE__LAST; i++)
        if (kTypeInfo[i].type != i)
            return false;
    return true;
}
static_assert(typeTableInOrder(), "one row per counter type, in type order");

// The types joined the debug object registry (only when it was running at layer start).
BOOL bOscInRegistry_G = FALSE;

// Running number of the counters created per type, for the trace only.
std::atomic<UINT32> createdPerType_G[MOS_OSC_CNT_TYPE__LAST];

BOOL isValidType(UINT32 type)
{
    return type > MOS_OSC_CNT_TYPE__INVALID && type < MOS_OSC_CNT_TYPE__LAST;
}

const CHAR_A *typeName(UINT32 type)
{
    return type < MOS_OSC_CNT_TYPE__LAST ? MOS_OSC_CNT_TYPE_STRINGS[type] : "OSC_CNT_TYPE_UNKNOWN";
}

UINT64 secondsToTicks(UINT32 sizeInSec)
{
    return mosTicks_MillisToTicks((UINT64)sizeInSec * 1000);
}

UINT32 satAdd32(UINT32 a, UINT32 b)
{
    UINT32 r;
    return __builtin_add_overflow(a, b, &r) ? 0xFFFFFFFFu : r;
}

UINT64 satSub64(UINT64 a, UINT64 b)
{
    return a > b ? a - b : 0;
}

void clearWindowStats(MosOscCnt_Window *pWin)
{
    pWin->lastOscillationCount = 0;
    pWin->lastOscillationTime = 0;
    pWin->maxFailuresCount = 0;
    pWin->maxFailuresTime = 0;
    pWin->totalWeight = 0;
    pWin->startCNT = 0;
    pWin->bStarted = FALSE;
    pWin->bOscillated = FALSE;
}

// Whether the counter has something to report; consumes a pending reset only when asked to.
BOOL counterChanged(MosOscCnt_Counter *pCounter, UINT64 timeDeltaInMillis, BOOL bConsume)
{
    if (pCounter->wasReset) {
        if (bConsume)
            pCounter->wasReset = FALSE;
        return TRUE;
    }
    // "Later than now minus the delta" is asked as "younger than the delta", which holds wherever
    // in the clock's range the two ticks lie; a delta reaching back past the clock's start takes
    // in the counter's whole life.
    const MosTicks_Cnt now = mosTicks_GetCurrentTick();
    const MosTicks_Cnt deltaTicks = mosTicks_MillisToTicks(timeDeltaInMillis);
    for (const MosOscCnt_Window &win : pCounter->windows)
        if (win.bOscillated &&
            (timeDeltaInMillis == 0 || mosTicks_DiffInTicks(now, win.lastOscillationTime) < deltaTicks))
            return TRUE;
    return FALSE;
}

void fillQueryWindow(MosOscCnt_QueryWindow *pQuery, const MosOscCnt_Window *pWin)
{
    memset(pQuery, 0, sizeof(*pQuery));
    pQuery->windowSizeInSec = (UINT32)(mosTicks_TicksToMillis(pWin->winSizeTicks) / 1000);
    if (pQuery->windowSizeInSec == 0)
        return;
    pQuery->threshold = pWin->threshold;
    pQuery->lastOscillationCount = pWin->lastOscillationCount;
    pQuery->lastOscillationTime = mosTicks_TicksToMillis(pWin->lastOscillationTime);
    pQuery->maxFailuresCount = pWin->maxFailuresCount;
    pQuery->maxFailuresTime = mosTicks_TicksToMillis(pWin->maxFailuresTime);
    pQuery->windowCnt = pWin->windowCnt;
}

MosOscCnt_CounterDescriptor readDesc(const MosOscCnt_QueryCounter *pQuery)
{
    MosOscCnt_CounterDescriptor desc;
    memcpy(&desc, reinterpret_cast<const char *>(pQuery) + offsetof(MosOscCnt_QueryCounter, desc), sizeof(desc));
    return desc;
}

template <typename T> int threeWay(T a, T b)
{
    return a < b ? -1 : (a > b ? 1 : 0);
}

BOOL isLiveIndex(const MosNetOscCounters *pNetCounters, UINT32 index)
{
    return index < pNetCounters->numNetAddresses || index == pNetCounters->defaultCntIndex;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// Layer

Mos_RC mosOscCntLayer_Init(void)
{
    memset(oscCntLayer_G.mosOscCntFailureNotifyCKs, 0, sizeof(oscCntLayer_G.mosOscCntFailureNotifyCKs));
    mosFastlockBase_CreateWithRank(&oscCntLayer_G.mosOscCntFastLock, CONTENTION_ENUM_COMMON_CREATED__OSC_CNT_LAYER,
                                   MOS_OSC_CNT__FAST_LOCK_RANK, __FILE__, __LINE__);
    oscCntLayer_G.bInitalized = TRUE;
    bOscInRegistry_G = mosObjLayer_IsRunning();
    if (bOscInRegistry_G) {
        for (UINT32 type = MOS_OSC_CNT_TYPE__INVALID + 1; type < MOS_OSC_CNT_TYPE__LAST; type++)
            mosObjType_RegObjType(&oscCntLayer_G.ObjectTypesArray[type], mosOscCnt_SdbgQueryFunc, nullptr,
                                  kTypeInfo[type].sdbgTypeId, MOS_OSC_CNT__QUERY_ENTRY_SIZE);
    }
    return MOS_RC__SUCCESS;
}

void mosOscCntLayer_Destroy(void)
{
    if (!oscCntLayer_G.bInitalized)
        return;
    if (bOscInRegistry_G) {
        for (UINT32 type = MOS_OSC_CNT_TYPE__INVALID + 1; type < MOS_OSC_CNT_TYPE__LAST; type++)
            mosObjType_UnregObjType(&oscCntLayer_G.ObjectTypesArray[type]);
        bOscInRegistry_G = FALSE;
    }
    for (UINT32 index = 0; index < MOS_OSC_CNT_TYPE__LAST; index++) {
        MOS_ASSERT_WITH_DESC(oscCntLayer_G.mosOscCntFailureNotifyCKs[index] == nullptr, "");
    }
    mosFastlockBase_Destroy(&oscCntLayer_G.mosOscCntFastLock);
    oscCntLayer_G.bInitalized = FALSE;
}

// ---------------------------------------------------------------------------------------------
// Counter

void mosOscCnt_Create(MosOscCnt_Counter *pCounter, const MosOscCnt_CounterParams *pInitParams,
                      const MosOscCnt_CounterDescriptor *pDesc)
{
    const UINT32 type = pDesc != nullptr ? (UINT32)pDesc->type : (UINT32)MOS_OSC_CNT_TYPE__INVALID;
    // Whatever the caller's memory held, the counter ends up either set up or disabled.
    memset(pCounter, 0, sizeof(*pCounter));
    if (!isValidType(type)) {
        MOS_ERROR(MOS_COMP_MOS, "Invalid counter type %u", type);
        return;
    }
    MosOscCnt_CounterParams defaults;
    if (pInitParams == nullptr) {
        mosOscCnt_InitOscParamsWithDefaults((MosOscCnt_CounterType)type, &defaults);
        pInitParams = &defaults;
    }
    for (UINT32 i = 0; i < MOS_OSC_CNT__NUM_WINDOWS; i++) {
        pCounter->windows[i].threshold = pInitParams->windowParams[i].threshold;
        pCounter->windows[i].winSizeTicks = secondsToTicks(pInitParams->windowParams[i].sizeInSec);
    }
    memcpy(&pCounter->desc, pDesc, sizeof(pCounter->desc));
    if (bOscInRegistry_G)
        mosObjType_RegObj(&oscCntLayer_G.ObjectTypesArray[type], &pCounter->sdbgObj, MOS_OSC_CNT_TYPE_STRINGS[type]);
    const UINT32 number = createdPerType_G[type].fetch_add(1, std::memory_order_relaxed) + 1;
    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_HIGH, "Registered object #%u of type %s", number, MOS_OSC_CNT_TYPE_STRINGS[type]);
}

void mosOscCnt_Destroy(MosOscCnt_Counter *pCounter)
{
    if (pCounter == nullptr)
        return;
    const UINT32 type = pCounter->desc.type;
    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_HIGH, "Destroying object of type %s", typeName(type));
    if (isValidType(type) && bOscInRegistry_G && mosObj_IsRegistered(&pCounter->sdbgObj))
        mosObjType_UnregObj(&oscCntLayer_G.ObjectTypesArray[type], &pCounter->sdbgObj);
}

Mos_RC mosOscCnt_FailureOccurrence(MosOscCnt_Counter *pCounter, UINT32 weight)
{
    const MosTicks_Cnt now = mosTicks_GetCurrentTick();
    for (MosOscCnt_Window &win : pCounter->windows) {
        if (win.winSizeTicks == 0)
            continue;
        // Tumbling windows: one begins at the first failure after the previous one ended, or at
        // the first failure of all.
        if (!win.bStarted || mosTicks_IsFirstBigger(now, win.startCNT + win.winSizeTicks)) {
            win.totalWeight = 0;
            win.startCNT = now;
            win.bStarted = TRUE;
            win.windowCnt++;
        }
        win.totalWeight = satAdd32(win.totalWeight, weight);
        if (win.totalWeight >= win.threshold) {
            const MosTicks_Cnt tick = mosTicks_GetCurrentTick();
            win.lastOscillationCount = win.totalWeight;
            win.lastOscillationTime = tick;
            win.bOscillated = TRUE;
            if (win.totalWeight >= win.maxFailuresCount) {
                win.maxFailuresCount = win.totalWeight;
                win.maxFailuresTime = tick;
            }
        }
    }
    return MOS_RC__SUCCESS;
}

Mos_RC mosOscCnt_SetWindowParams(MosOscCnt_Counter *pCounter, UINT8 windowIndexToSet,
                                 const MosOscCnt_WindowParams *pWinParams)
{
    if (windowIndexToSet >= MOS_OSC_CNT__NUM_WINDOWS) {
        MOS_DIAG_COUNT(OSC_CNT_WIN_OUT_OF_RANGE);
        return MOS_RC__PARAMETER_OUT_OF_RANGE;
    }
    MosOscCnt_Window *pWin = &pCounter->windows[windowIndexToSet];
    const UINT64 millis = (UINT64)pWinParams->sizeInSec * 1000;
    const UINT64 ticks = mosTicks_MillisToTicks(millis);
    if (ticks != 0 && ticks == pWin->winSizeTicks) {
        if (millis >= (UINT64)MOS_OSC_CNT__MIN_WINDOW_SIZE_IN_SECONDS * 1000 &&
            millis <= (UINT64)MOS_OSC_CNT__MAX_WINDOW_SIZE_IN_SECONDS * 1000) {
            pWin->threshold = pWinParams->threshold;
            return MOS_RC__SUCCESS;
        }
        MOS_DIAG_COUNT(OSC_CNT_WIN_OUT_OF_RANGE);
        return MOS_RC__PARAMETER_OUT_OF_RANGE;
    }
    pCounter->wasReset = mosOscCnt_HasCounterChanged(pCounter, 0);
    clearWindowStats(pWin);
    pWin->winSizeTicks = ticks;
    pWin->threshold = pWinParams->threshold;
    return MOS_RC__SUCCESS;
}

Mos_RC mosOscCnt_SetParams(MosOscCnt_Counter *pCounter, const MosOscCnt_CounterParams *pCounterParams)
{
    for (UINT8 i = 0; i < MOS_OSC_CNT__NUM_WINDOWS; i++) {
        Mos_RC rc = mosOscCnt_SetWindowParams(pCounter, i, &pCounterParams->windowParams[i]);
        if (rc != MOS_RC__SUCCESS)
            return rc;
    }
    return MOS_RC__SUCCESS;
}

void mosOscCnt_ResetCounter(MosOscCnt_Counter *pCounter)
{
    pCounter->wasReset = mosOscCnt_HasCounterChanged(pCounter, 0);
    for (MosOscCnt_Window &win : pCounter->windows)
        clearWindowStats(&win);
}

BOOL mosOscCnt_HasCounterChanged(MosOscCnt_Counter *pCounter, UINT64 timeDeltaInMillis)
{
    return counterChanged(pCounter, timeDeltaInMillis, TRUE);
}

Mos_RC mosOscCnt_GetCounter(const MosOscCnt_Counter *pCounter, MosOscCnt_QueryCounter *pQuery)
{
    memset(pQuery, 0, sizeof(*pQuery));
    for (UINT32 i = 0; i < MOS_OSC_CNT__NUM_WINDOWS; i++)
        fillQueryWindow(&pQuery->window[i], &pCounter->windows[i]);
    memcpy(reinterpret_cast<char *>(pQuery) + offsetof(MosOscCnt_QueryCounter, desc), &pCounter->desc,
           sizeof(pCounter->desc));
    mosOscCnt_ReCalcDeltasFromTimes(pQuery);
    return MOS_RC__SUCCESS;
}

void mosOscCnt_InitOscParamsWithDefaults(MosOscCnt_CounterType type, MosOscCnt_CounterParams *pOscCntParams)
{
    static constexpr UINT32 kSizes[MOS_OSC_CNT__NUM_WINDOWS] = {
        MOS_OSC_CNT__DEFAULT_SHORT_WINDOW_SEC, MOS_OSC_CNT__DEFAULT_MEDIUM_WINDOW_SEC,
        MOS_OSC_CNT__DEFAULT_LONG_WINDOW_SEC};
    if ((UINT32)type >= MOS_OSC_CNT_TYPE__LAST)
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "Received an invalid counter type %u", (UINT32)type);
    for (UINT32 i = 0; i < MOS_OSC_CNT__NUM_WINDOWS; i++) {
        pOscCntParams->windowParams[i].sizeInSec = kSizes[i];
        pOscCntParams->windowParams[i].threshold =
            (UINT32)type < MOS_OSC_CNT_TYPE__LAST ? kTypeInfo[type].thresholds[i] * MOS_OSC_CNT__DEFAULT_THRESHOLD_FACTOR
                                                  : 0;
    }
}

void mosOscCnt_CopyOscParams(MosOscCnt_CounterParams *pDstOscParams, const MosOscCnt_CounterParams *pSrcOscParams)
{
    for (UINT32 i = 0; i < MOS_OSC_CNT__NUM_WINDOWS; i++)
        pDstOscParams->windowParams[i] = pSrcOscParams->windowParams[i];
}

void mosOscCnt_ReCalcDeltasFromTimes(MosOscCnt_QueryCounter *pQuery)
{
    const UINT64 nowMillis = mosTicks_TicksToMillis(mosTicks_GetCurrentTick());
    for (MosOscCnt_QueryWindow &win : pQuery->window) {
        if (win.windowSizeInSec == 0)
            continue;
        if (win.lastOscillationCount != 0)
            win.lastOscillationTimeDeltaMillis = satSub64(nowMillis, win.lastOscillationTime);
        if (win.maxFailuresCount != 0)
            win.maxFailuresTimeDeltaMillis = satSub64(nowMillis, win.maxFailuresTime);
    }
}

void mosOscCnt_ReCalcTimesFromDeltas(MosOscCnt_QueryCounter *pQuery)
{
    const UINT64 nowMillis = mosTicks_TicksToMillis(mosTicks_GetCurrentTick());
    for (MosOscCnt_QueryWindow &win : pQuery->window) {
        if (win.windowSizeInSec == 0)
            continue;
        // The ages come from another process: one older than this clock means "at its start".
        win.lastOscillationTime = satSub64(nowMillis, win.lastOscillationTimeDeltaMillis);
        win.maxFailuresTime = satSub64(nowMillis, win.maxFailuresTimeDeltaMillis);
    }
}

BOOL mosOscCnt_IsNonZeroCounter(const MosOscCnt_QueryCounter *pQueryCnt)
{
    for (const MosOscCnt_QueryWindow &win : pQueryCnt->window) {
        if (win.windowSizeInSec != 0 && win.threshold != 0 && win.lastOscillationCount >= win.threshold)
            return TRUE;
    }
    return FALSE;
}

BOOL mosOscCnt_IsNetCounter(MosOscCnt_CounterType type)
{
    if ((UINT32)type >= MOS_OSC_CNT_TYPE__LAST) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "Received an invalid counter type %u", (UINT32)type);
        return FALSE;
    }
    return kTypeInfo[type].bNet;
}

MosOscCnt_ComponentType mosOscCnt_GetCounterComponentType(MosOscCnt_CounterType cntType)
{
    MOS_ASSERT(((MOS_OSC_CNT_TYPE__INVALID < cntType) && (MOS_OSC_CNT_TYPE__LAST > cntType)) == ((BOOL)1));
    return kTypeInfo[cntType].comp;
}

MosOscCnt_VisibilityType mosOscCnt_GetCounterVisibilityType(MosOscCnt_CounterType cntType)
{
    MOS_ASSERT(((MOS_OSC_CNT_TYPE__INVALID < cntType) && (MOS_OSC_CNT_TYPE__LAST > cntType)) == ((BOOL)1));
    return kTypeInfo[cntType].visibility;
}

int mosOscCnt_CompareCnts(const void *first, const void *second)
{
    const MosOscCnt_CounterDescriptor a = readDesc(static_cast<const MosOscCnt_QueryCounter *>(first));
    const MosOscCnt_CounterDescriptor b = readDesc(static_cast<const MosOscCnt_QueryCounter *>(second));
    const int byType = threeWay((UINT32)a.type, (UINT32)b.type);
    if (!mosOscCnt_IsNetCounter(a.type) || !mosOscCnt_IsNetCounter(b.type))
        return byType;
    if (mosOscCnt_GetCounterComponentType(a.type) != mosOscCnt_GetCounterComponentType(b.type))
        return byType;

    const int byRemote = threeWay(a.OSCDesc.netInfo.remoteObjId, b.OSCDesc.netInfo.remoteObjId);
    if (byRemote != 0)
        return byRemote;

    const NetAddress &addrA = a.OSCDesc.netInfo.addr;
    const NetAddress &addrB = b.OSCDesc.netInfo.addr;
    const BOOL bKnownA = addrA.type == NET_ADDRESS_TYPE__IPV4 || addrA.type == NET_ADDRESS_TYPE__IPV6;
    const BOOL bKnownB = addrB.type == NET_ADDRESS_TYPE__IPV4 || addrB.type == NET_ADDRESS_TYPE__IPV6;
    MOS_ASSERT_WITH_DESC(bKnownA && bKnownB, "");
    if (addrA.type != addrB.type)
        return threeWay((UINT32)addrA.type, (UINT32)addrB.type);
    // Each 32-bit word as stored (network byte order), read as a native number.
    const UINT32 numWords = addrA.type == NET_ADDRESS_TYPE__IPV4 ? 1 : 4;
    UINT32 wordsA[4];
    UINT32 wordsB[4];
    memcpy(wordsA, &addrA.addr, sizeof(wordsA));
    memcpy(wordsB, &addrB.addr, sizeof(wordsB));
    for (UINT32 i = 0; i < numWords; i++) {
        const int byWord = threeWay(wordsA[i], wordsB[i]);
        if (byWord != 0)
            return byWord;
    }
    return byType;
}

// ---------------------------------------------------------------------------------------------
// Failure notifications

Mos_RC mosOscCnt_RegisterFailureNotifyCallback(MosOscCnt_CounterType type, MosOscCnt_FailureNotifyCK notifyCK)
{
    if ((UINT32)type >= MOS_OSC_CNT_TYPE__LAST)
        return MOS_RC__INVALID;
    if (!oscCntLayer_G.bInitalized) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "Oscillation counters not initialised; callback of type %s refused",
                  typeName(type));
        return MOS_RC__NOT_READY;
    }
    MosFastlockGuard guard(&oscCntLayer_G.mosOscCntFastLock);
    if (oscCntLayer_G.mosOscCntFailureNotifyCKs[type] != nullptr)
        return MOS_RC__ALREADY_EXISTS;
    oscCntLayer_G.mosOscCntFailureNotifyCKs[type] = notifyCK;
    return MOS_RC__SUCCESS;
}

void mosOscCnt_UnregisterFailureNotifyCallback(MosOscCnt_CounterType type, MosOscCnt_FailureNotifyCK notifyCK)
{
    MOS_ASSERT(type < MOS_OSC_CNT_TYPE__LAST);
    MosFastlockGuard guard(&oscCntLayer_G.mosOscCntFastLock);
    MOS_ASSERT(notifyCK == oscCntLayer_G.mosOscCntFailureNotifyCKs[type]);
    oscCntLayer_G.mosOscCntFailureNotifyCKs[type] = nullptr;
}

void mosOscCnt_FailureOccurrenceNotify(MosOscCnt_CounterType type, UINT32 weight)
{
    MOS_ASSERT(type < MOS_OSC_CNT_TYPE__LAST);
    if (!oscCntLayer_G.bInitalized)
        return;
    MosOscCnt_FailureNotifyCK notifyCK;
    {
        MosFastlockGuard guard(&oscCntLayer_G.mosOscCntFastLock);
        notifyCK = oscCntLayer_G.mosOscCntFailureNotifyCKs[type];
    }
    if (notifyCK != nullptr)
        notifyCK(type, weight);
}

void mosOscCnt_SdbgQueryFunc(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    MOS_UNUSED(pName);
    const MosOscCnt_Counter *pCounter = MOS_CONTAINER_OF(pObj, MosOscCnt_Counter, sdbgObj);
    MosOscCntEntry entry;
    memset(&entry, 0, sizeof(entry));
    const MosOscCnt_CounterDescriptor &desc = pCounter->desc;
    if (isValidType(desc.type) && kTypeInfo[desc.type].bNet) {
        if (netAddress_IsValidAddr(&desc.OSCDesc.netInfo.addr)) {
            PackedNetAddress packed;
            netAddress_GetPacked(&desc.OSCDesc.netInfo.addr, &packed);
            CHAR_A text[NET_ADDRESS_STRING_LEN] = {};
            packedNetAddress_ToStrCopy(&packed, text);
            memcpy(entry.addrStr, text, sizeof(entry.addrStr) - 1);
        }
        entry.remoteObjId = desc.OSCDesc.netInfo.remoteObjId;
    } else {
        entry.remoteObjId = desc.OSCDesc.devInfo.devId;
    }
    entry.shortWindowCurrentCount = pCounter->windows[MOS_OSC_CNT__SHORT_WINDOW].totalWeight;
    entry.mediumWindowCurrentCount = pCounter->windows[MOS_OSC_CNT__MEDIUM_WINDOW].totalWeight;
    entry.longWindowCurrentCount = pCounter->windows[MOS_OSC_CNT__LONG_WINDOW].totalWeight;
    MosOscCnt_QueryCounter query;
    mosOscCnt_GetCounter(pCounter, &query);
    entry.shortWindow = query.window[MOS_OSC_CNT__SHORT_WINDOW];
    entry.mediumWindow = query.window[MOS_OSC_CNT__MEDIUM_WINDOW];
    entry.longWindow = query.window[MOS_OSC_CNT__LONG_WINDOW];
    memcpy(pData, &entry, sizeof(entry));
}

// ---------------------------------------------------------------------------------------------
// Per-address sets

void mosNetOscCounters_CreateOscCounter(MosNetOscCounters *pNetCounters, MosOscCnt_Counter *pCounter,
                                        const MosOscCnt_CounterParams *pInitParams, const NetAddress *pNetAddress)
{
    MosOscCnt_CounterDescriptor desc;
    memset(&desc, 0, sizeof(desc));
    desc.type = pNetCounters->type;
    desc.descriptorSize = MOS_OSC_CNT__NET_DESCRIPTOR_SIZE;
    desc.OSCDesc.netInfo.remoteObjId = pNetCounters->remoteObjectId;
    if (pNetAddress != nullptr && netAddress_IsValidAddr(pNetAddress))
        desc.OSCDesc.netInfo.addr = *pNetAddress;
    mosOscCnt_Create(pCounter, pInitParams, &desc);
}

void mosNetOscCounters_Create(MosNetOscCounters *pNetCounters, MosOscCnt_CounterType type,
                              const MosOscCnt_CounterParams *pInitParams, ObjectId remoteObjectId,
                              const NetAddress *pNetAddresses, UINT32 numNetAddresses)
{
    static_assert(MOS_NET_OSC_COUNTERS__MAX_ADDRESSES == 16);
    MOS_ASSERT(numNetAddresses <= (16));
    memset(pNetCounters, 0, sizeof(*pNetCounters));
    mosFastlockBase_CreateWithRank(&pNetCounters->lock, CONTENTION_ENUM_COMMON_CREATED__NET_OSC_COUNTERS,
                                   MOS_NET_OSC_COUNTERS__LOCK_RANK, __FILE__, __LINE__);
    pNetCounters->type = type;
    pNetCounters->numNetAddresses = numNetAddresses;
    pNetCounters->remoteObjectId = remoteObjectId;
    pNetCounters->defaultCntIndex = MOS_NET_OSC_COUNTERS__MAX_ADDRESSES;
    for (UINT32 i = 0; i < numNetAddresses; i++) {
        pNetCounters->netAddresses[i] = pNetAddresses[i];
        mosNetOscCounters_CreateOscCounter(pNetCounters, &pNetCounters->oscCounters[i], pInitParams,
                                           &pNetCounters->netAddresses[i]);
    }
    mosNetOscCounters_CreateOscCounter(pNetCounters, &pNetCounters->oscCounters[pNetCounters->defaultCntIndex],
                                       pInitParams, nullptr);
}

void mosNetOscCounters_Destroy(MosNetOscCounters *pNetCounters)
{
    {
        MosFastlockGuard guard(&pNetCounters->lock);
        for (UINT32 i = 0; i <= MOS_NET_OSC_COUNTERS__MAX_ADDRESSES; i++)
            if (isLiveIndex(pNetCounters, i))
                mosOscCnt_Destroy(&pNetCounters->oscCounters[i]);
        pNetCounters->numNetAddresses = 0;
    }
    mosFastlockBase_Destroy(&pNetCounters->lock);
}

void mosNetOscCounters_SetNetAddresses(MosNetOscCounters *pNetCounters, const MosOscCnt_CounterParams *pInitParams,
                                       const NetAddress *pNewNetAddresses, UINT32 numNewNetAddresses)
{
    MOS_ASSERT(numNewNetAddresses <= (16));
    MosFastlockGuard guard(&pNetCounters->lock);
    const UINT32 numOld = pNetCounters->numNetAddresses;
    const UINT32 numCommon = MOS_MIN(numOld, numNewNetAddresses);
    for (UINT32 i = 0; i < numCommon; i++) {
        if (netAddress_IsSimilar(&pNetCounters->netAddresses[i], &pNewNetAddresses[i]))
            continue;
        // Another address at this position: its history starts anew.
        mosOscCnt_Destroy(&pNetCounters->oscCounters[i]);
        mosNetOscCounters_CreateOscCounter(pNetCounters, &pNetCounters->oscCounters[i], pInitParams,
                                           &pNewNetAddresses[i]);
    }
    for (UINT32 i = numCommon; i < numOld; i++)
        mosOscCnt_Destroy(&pNetCounters->oscCounters[i]);
    for (UINT32 i = numCommon; i < numNewNetAddresses; i++)
        mosNetOscCounters_CreateOscCounter(pNetCounters, &pNetCounters->oscCounters[i], pInitParams,
                                           &pNewNetAddresses[i]);
    pNetCounters->numNetAddresses = numNewNetAddresses;
    memset(pNetCounters->netAddresses, 0, sizeof(pNetCounters->netAddresses));
    for (UINT32 i = 0; i < numNewNetAddresses; i++)
        pNetCounters->netAddresses[i] = pNewNetAddresses[i];
}

void mosNetOscCounters_SetRemoteObjId(MosNetOscCounters *pNetCounters, ObjectId remoteObjId)
{
    MosFastlockGuard guard(&pNetCounters->lock);
    pNetCounters->remoteObjectId = remoteObjId;
    for (UINT32 i = 0; i <= MOS_NET_OSC_COUNTERS__MAX_ADDRESSES; i++)
        if (isLiveIndex(pNetCounters, i))
            pNetCounters->oscCounters[i].desc.OSCDesc.netInfo.remoteObjId = remoteObjId;
}

void mosNetOscCounters_FailureOccurence(MosNetOscCounters *pNetCounters, const NetAddress *pNetAddress,
                                        UINT32 weight)
{
    MosFastlockGuard guard(&pNetCounters->lock);
    UINT32 index = pNetCounters->defaultCntIndex;
    if (pNetAddress != nullptr) {
        for (UINT32 i = 0; i < pNetCounters->numNetAddresses; i++) {
            if (netAddress_IsSimilar(&pNetCounters->netAddresses[i], pNetAddress)) {
                index = i;
                break;
            }
        }
    }
    mosOscCnt_FailureOccurrence(&pNetCounters->oscCounters[index], weight);
}

Mos_RC mosNetOscCounters_GetChangedCounters(MosNetOscCounters *pNetCounters, UINT64 timeDeltaInMillis,
                                            MosOscCnt_QueryCounter *pCounters, UINT32 maxNumCountersToFill,
                                            UINT32 *pNumCounters)
{
    MOS_ASSERT(pNumCounters != ((void *)0));
    MosFastlockGuard guard(&pNetCounters->lock);
    UINT32 numFilled = 0;
    Mos_RC rc = MOS_RC__SUCCESS;
    for (UINT32 i = 0; i < pNetCounters->numNetAddresses; i++) {
        MosOscCnt_Counter *pCounter = &pNetCounters->oscCounters[i];
        if (numFilled == maxNumCountersToFill) {
            // No room: look without consuming a pending reset, so that a retry still sees it.
            if (counterChanged(pCounter, timeDeltaInMillis, FALSE)) {
                rc = MOS_RC__BUF_TOO_SMALL;
                break;
            }
            continue;
        }
        if (mosOscCnt_HasCounterChanged(pCounter, timeDeltaInMillis))
            mosOscCnt_GetCounter(pCounter, &pCounters[numFilled++]);
    }
    *pNumCounters = numFilled;
    return rc;
}

void mosNetOscCounters_SetParameters(MosNetOscCounters *pNetCounters, const MosOscCnt_CounterParams *pParams)
{
    MosFastlockGuard guard(&pNetCounters->lock);
    for (UINT32 i = 0; i <= MOS_NET_OSC_COUNTERS__MAX_ADDRESSES; i++)
        if (isLiveIndex(pNetCounters, i))
            (void)mosOscCnt_SetParams(&pNetCounters->oscCounters[i], pParams);
}

void mosNetOscCounters_Reset(MosNetOscCounters *pNetCounters)
{
    MosFastlockGuard guard(&pNetCounters->lock);
    for (UINT32 i = 0; i <= MOS_NET_OSC_COUNTERS__MAX_ADDRESSES; i++)
        if (isLiveIndex(pNetCounters, i))
            mosOscCnt_ResetCounter(&pNetCounters->oscCounters[i]);
}
