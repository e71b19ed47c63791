// Oscillation counters: how often a kind of failure happens (disconnections, keep-alive losses,
// long I/Os, allocation failures) in a short, a medium and a long tumbling time window at once,
// with the last time and weight at which a window reached its threshold and the highest weight
// it ever reached. A counter lives inside its owner, which serialises access; a per-address set
// keeps one counter per network address of a remote object plus a catch-all. The layer keeps
// one optional failure-notify callback per counter type.
#pragma once

#include "mos/mos_fastlock.h"
#include "mos/mos_net_address.h"
#include "mos/mos_obj.h"
#include "mos/mos_rc.h"
#include "mos/mos_types.h"

typedef UINT64 ObjectId;

enum MosOscCnt_CounterType : UINT32 {
    MOS_OSC_CNT_TYPE__INVALID = 0,
    MOS_OSC_CNT_TYPE__OSTREL_PELLAR_NETWORK_DISCONNECTIONS = 1,
    MOS_OSC_CNT_TYPE__PELLAR_PELLAR_NETWORK_DISCONNECTIONS = 2,
    MOS_OSC_CNT_TYPE__QUILLET_PELLAR_NETWORK_DISCONNECTIONS = 3,
    MOS_OSC_CNT_TYPE__QUILLET_OSTREL_NETWORK_DISCONNECTIONS = 4,
    MOS_OSC_CNT_TYPE__OSTREL_PELLAR_NETWORK_FAILURES = 5,
    MOS_OSC_CNT_TYPE__PELLAR_PELLAR_NETWORK_FAILURES = 6,
    MOS_OSC_CNT_TYPE__QUILLET_PELLAR_NETWORK_FAILURES = 7,
    MOS_OSC_CNT_TYPE__QUILLET_OSTREL_NETWORK_FAILURES = 8,
    MOS_OSC_CNT_TYPE__OSTREL_PELLAR_RCV_KEEP_ALIVE_CAUSED_DISCONNECTION = 9,
    MOS_OSC_CNT_TYPE__PELLAR_PELLAR_RCV_KEEP_ALIVE_CAUSED_DISCONNECTION = 10,
    MOS_OSC_CNT_TYPE__QUILLET_PELLAR_RCV_KEEP_ALIVE_CAUSED_DISCONNECTION = 11,
    MOS_OSC_CNT_TYPE__QUILLET_OSTREL_RCV_KEEP_ALIVE_CAUSED_DISCONNECTION = 12,
    MOS_OSC_CNT_TYPE__OSTREL_PELLAR_SND_KEEP_ALIVE_CAUSED_DISCONNECTION = 13,
    MOS_OSC_CNT_TYPE__PELLAR_PELLAR_SND_KEEP_ALIVE_CAUSED_DISCONNECTION = 14,
    MOS_OSC_CNT_TYPE__QUILLET_PELLAR_SND_KEEP_ALIVE_CAUSED_DISCONNECTION = 15,
    MOS_OSC_CNT_TYPE__QUILLET_OSTREL_SND_KEEP_ALIVE_CAUSED_DISCONNECTION = 16,
    MOS_OSC_CNT_TYPE__OSTREL_PELLAR_HIGH_LATENCY = 17,
    MOS_OSC_CNT_TYPE__PELLAR_PELLAR_HIGH_LATENCY = 18,
    MOS_OSC_CNT_TYPE__QUILLET_PELLAR_HIGH_LATENCY = 19,
    MOS_OSC_CNT_TYPE__QUILLET_OSTREL_HIGH_LATENCY = 20,
    MOS_OSC_CNT_TYPE__OSTREL_PELLAR_CRITICAL_LATENCY = 21,
    MOS_OSC_CNT_TYPE__PELLAR_PELLAR_CRITICAL_LATENCY = 22,
    MOS_OSC_CNT_TYPE__QUILLET_PELLAR_CRITICAL_LATENCY = 23,
    MOS_OSC_CNT_TYPE__QUILLET_OSTREL_CRITICAL_LATENCY = 24,
    MOS_OSC_CNT_TYPE__QUILLET_LONG_OPERATIONS = 25,
    MOS_OSC_CNT_TYPE__DEVICE_LONG_IO_OPERATIONS = 26,
    MOS_OSC_CNT_TYPE__DEVICE_LONG_SUCCESSFUL_IO_OPERATIONS = 27,
    MOS_OSC_CNT_TYPE__PELLAR_DECOUPLED = 28,
    MOS_OSC_CNT_TYPE__PELLAR_CONFIGURATION_FAILURES = 29,
    MOS_OSC_CNT_TYPE__MEMORY_ALLOCATION_FAILURES = 30,
    MOS_OSC_CNT_TYPE__SOCKET_ALLOCATION_FAILURES = 31,
    MOS_OSC_CNT_TYPE__PELLAR_LONG_OPERATIONS = 32,
    MOS_OSC_CNT_TYPE__PELLAR_RECEIVE_BUFFER_ALLOCATION_FAILURES = 33,
    MOS_OSC_CNT_TYPE__PELLAR_NET_PAUSE_TOGGLE = 34,
    MOS_OSC_CNT_TYPE__LAST = 35,
};

enum MosOscCnt_ComponentType : UINT32 {
    MOS_OSC_CNT_COMP_TYPE__NONE = 0,
    MOS_OSC_CNT_COMP_TYPE__DEV = 1,
    MOS_OSC_CNT_COMP_TYPE__PELLAR = 2,
    MOS_OSC_CNT_COMP_TYPE__QUILLET = 3,
    MOS_OSC_CNT_COMP_TYPE__OSTREL = 4,
    MOS_OSC_CNT_COMP_TYPE__OSTREL_PELLAR_NET = 5,
    MOS_OSC_CNT_COMP_TYPE__PELLAR_PELLAR_NET = 6,
    MOS_OSC_CNT_COMP_TYPE__QUILLET_PELLAR_NET = 7,
    MOS_OSC_CNT_COMP_TYPE__QUILLET_OSTREL_NET = 8,
};

enum MosOscCnt_VisibilityType : UINT32 {
    MOS_OSC_CNT_VISIBILITY_TYPE__INTERNAL = 0,
    MOS_OSC_CNT_VISIBILITY_TYPE__EXTERNAL = 1,
};

// Printed names (the enumerators without their prefix; also the object name of every counter of
// the type), descriptions and short descriptions, indexed by type; 0 is "INVALID" in all three.
extern const CHAR_A *const MOS_OSC_CNT_TYPE_STRINGS[MOS_OSC_CNT_TYPE__LAST];
extern const CHAR_A *const MOS_OSC_CNT_DESC_STRINGS[MOS_OSC_CNT_TYPE__LAST];
extern const CHAR_A *const MOS_OSC_CNT_SHORT_DESC_STRINGS[MOS_OSC_CNT_TYPE__LAST];

#define MOS_OSC_CNT__NUM_WINDOWS 3u
#define MOS_OSC_CNT__SHORT_WINDOW 0u
#define MOS_OSC_CNT__MEDIUM_WINDOW 1u
#define MOS_OSC_CNT__LONG_WINDOW 2u
#define MOS_OSC_CNT__MIN_WINDOW_SIZE_IN_SECONDS 1u
#define MOS_OSC_CNT__MAX_WINDOW_SIZE_IN_SECONDS 86400u
// Default window sizes of every type, and the factor of the default thresholds.
#define MOS_OSC_CNT__DEFAULT_SHORT_WINDOW_SEC 60u
#define MOS_OSC_CNT__DEFAULT_MEDIUM_WINDOW_SEC 3600u
#define MOS_OSC_CNT__DEFAULT_LONG_WINDOW_SEC 86400u
#define MOS_OSC_CNT__DEFAULT_THRESHOLD_FACTOR 100u
#define MOS_OSC_CNT__NET_DESCRIPTOR_SIZE 32u
#define MOS_OSC_CNT__QUERY_ENTRY_SIZE 240u
#define MOS_OSC_CNT__ADDR_STR_LEN 64u
#define MOS_OSC_CNT__FAST_LOCK_RANK 82u
#define MOS_NET_OSC_COUNTERS__LOCK_RANK 83u
#define MOS_NET_OSC_COUNTERS__MAX_ADDRESSES 16u

struct MosOscCnt_WindowParams {
    UINT32 sizeInSec; // 0 disables the window
    UINT32 threshold; // compared with the sum of the weights recorded in the window
};

struct MosOscCnt_CounterParams {
    MosOscCnt_WindowParams windowParams[MOS_OSC_CNT__NUM_WINDOWS]; // short, medium, long
};

static_assert(sizeof(MosOscCnt_CounterParams) == 24);

struct MosOscCnt_CounterDescriptor {
    MosOscCnt_CounterType type;
    UINT32 descriptorSize; // 32 for a network counter
    union {
        struct {
            NetAddress addr;
            UINT64 remoteObjId;
        } netInfo;
        struct {
            UINT64 tgtId;
        } tgtInfo;
        struct {
            UINT64 devId;
        } devInfo;
    } OSCDesc;
};

static_assert(sizeof(MosOscCnt_CounterDescriptor) == 40);
static_assert(offsetof(MosOscCnt_CounterDescriptor, descriptorSize) == 4);
static_assert(offsetof(MosOscCnt_CounterDescriptor, OSCDesc) == 8);
static_assert(offsetof(MosOscCnt_CounterDescriptor, OSCDesc.netInfo.remoteObjId) == 32);

// One window in memory. Times are ticks.
// Every tick value is a possible time (the clock starts anywhere and wraps), so "none yet" is
// kept in flags of its own, never in a time.
struct MosOscCnt_Window {
    UINT32 threshold;
    UINT64 winSizeTicks; // 0: disabled
    UINT64 startCNT;     // tick at which the current window began, when bStarted
    UINT32 totalWeight;  // weight recorded in the current window
    UINT32 lastOscillationCount;
    UINT64 lastOscillationTime; // when bOscillated
    UINT32 maxFailuresCount;
    UINT64 maxFailuresTime;
    UINT32 windowCnt; // windows begun
    BOOL bStarted;    // a window has begun since creation, the last reset or size change
    BOOL bOscillated; // the weight has reached the threshold since then
};

struct MosOscCnt_Counter {
    MosOscCnt_CounterDescriptor desc;
    MosOscCnt_Window windows[MOS_OSC_CNT__NUM_WINDOWS];
    BOOL wasReset;
    MosObj sdbgObj;
};

// A window as reported (times in milliseconds of the tick clock).
struct __attribute__((packed)) MosOscCnt_QueryWindow {
    UINT32 threshold;
    UINT32 windowSizeInSec;
    UINT32 lastOscillationCount;
    UINT64 lastOscillationTime;
    UINT64 lastOscillationTimeDeltaMillis;
    UINT32 maxFailuresCount;
    UINT64 maxFailuresTime;
    UINT64 maxFailuresTimeDeltaMillis;
    UINT32 windowCnt;
};

struct __attribute__((packed)) MosOscCnt_QueryCounter {
    MosOscCnt_CounterDescriptor desc;
    MosOscCnt_QueryWindow window[MOS_OSC_CNT__NUM_WINDOWS];
};

// The debug object record of one counter.
struct __attribute__((packed)) MosOscCntEntry {
    CHAR_A addrStr[MOS_OSC_CNT__ADDR_STR_LEN];
    UINT64 remoteObjId;
    UINT32 shortWindowCurrentCount;
    UINT32 mediumWindowCurrentCount;
    UINT32 longWindowCurrentCount;
    MosOscCnt_QueryWindow shortWindow;
    MosOscCnt_QueryWindow mediumWindow;
    MosOscCnt_QueryWindow longWindow;
};

static_assert(sizeof(MosOscCnt_QueryWindow) == 52);
static_assert(offsetof(MosOscCnt_QueryWindow, windowSizeInSec) == 4);
static_assert(offsetof(MosOscCnt_QueryWindow, lastOscillationCount) == 8);
static_assert(offsetof(MosOscCnt_QueryWindow, lastOscillationTime) == 12);
static_assert(offsetof(MosOscCnt_QueryWindow, lastOscillationTimeDeltaMillis) == 20);
static_assert(offsetof(MosOscCnt_QueryWindow, maxFailuresCount) == 28);
static_assert(offsetof(MosOscCnt_QueryWindow, maxFailuresTime) == 32);
static_assert(offsetof(MosOscCnt_QueryWindow, maxFailuresTimeDeltaMillis) == 40);
static_assert(offsetof(MosOscCnt_QueryWindow, windowCnt) == 48);
static_assert(sizeof(MosOscCnt_QueryCounter) == 196);
static_assert(offsetof(MosOscCnt_QueryCounter, window) == 40);
static_assert(sizeof(MosOscCntEntry) == MOS_OSC_CNT__QUERY_ENTRY_SIZE);
static_assert(offsetof(MosOscCntEntry, remoteObjId) == 64);
static_assert(offsetof(MosOscCntEntry, shortWindowCurrentCount) == 72);
static_assert(offsetof(MosOscCntEntry, mediumWindowCurrentCount) == 76);
static_assert(offsetof(MosOscCntEntry, longWindowCurrentCount) == 80);
static_assert(offsetof(MosOscCntEntry, shortWindow) == 84);
static_assert(offsetof(MosOscCntEntry, mediumWindow) == 136);
static_assert(offsetof(MosOscCntEntry, longWindow) == 188);

typedef void (*MosOscCnt_FailureNotifyCK)(MosOscCnt_CounterType type, UINT32 weight);

// Per-address set: the counters of the addresses present (in address order) and the catch-all.
struct MosNetOscCounters {
    MosOscCnt_CounterType type;
    MosFastlock_Base lock;
    NetAddress netAddresses[MOS_NET_OSC_COUNTERS__MAX_ADDRESSES];
    UINT32 numNetAddresses;
    ObjectId remoteObjectId;
    MosOscCnt_Counter oscCounters[MOS_NET_OSC_COUNTERS__MAX_ADDRESSES + 1];
    UINT8 defaultCntIndex; // the catch-all's index, 16
};

// Layer.
Mos_RC mosOscCntLayer_Init(void);
void mosOscCntLayer_Destroy(void);

// Counter. A type outside 1 to 34 leaves the counter disabled: it records nothing.
void mosOscCnt_Create(MosOscCnt_Counter *pCounter, const MosOscCnt_CounterParams *pInitParams,
                      const MosOscCnt_CounterDescriptor *pDesc);
void mosOscCnt_Destroy(MosOscCnt_Counter *pCounter);
Mos_RC mosOscCnt_FailureOccurrence(MosOscCnt_Counter *pCounter, UINT32 weight);
Mos_RC mosOscCnt_SetWindowParams(MosOscCnt_Counter *pCounter, UINT8 windowIndexToSet,
                                 const MosOscCnt_WindowParams *pWinParams);
Mos_RC mosOscCnt_SetParams(MosOscCnt_Counter *pCounter, const MosOscCnt_CounterParams *pCounterParams);
void mosOscCnt_ResetCounter(MosOscCnt_Counter *pCounter);
// TRUE when a window reached its threshold within the last timeDeltaInMillis (0: ever), or once
// after a reset or window change that cleared something.
BOOL mosOscCnt_HasCounterChanged(MosOscCnt_Counter *pCounter, UINT64 timeDeltaInMillis);
Mos_RC mosOscCnt_GetCounter(const MosOscCnt_Counter *pCounter, MosOscCnt_QueryCounter *pQuery);

void mosOscCnt_InitOscParamsWithDefaults(MosOscCnt_CounterType type, MosOscCnt_CounterParams *pOscCntParams);
void mosOscCnt_CopyOscParams(MosOscCnt_CounterParams *pDstOscParams, const MosOscCnt_CounterParams *pSrcOscParams);
// Between absolute times and ages in a query record, so that ages survive between processes
// whose tick clocks differ.
void mosOscCnt_ReCalcDeltasFromTimes(MosOscCnt_QueryCounter *pQuery);
void mosOscCnt_ReCalcTimesFromDeltas(MosOscCnt_QueryCounter *pQuery);
BOOL mosOscCnt_IsNonZeroCounter(const MosOscCnt_QueryCounter *pQueryCnt);
BOOL mosOscCnt_IsNetCounter(MosOscCnt_CounterType type);
MosOscCnt_ComponentType mosOscCnt_GetCounterComponentType(MosOscCnt_CounterType cntType);
MosOscCnt_VisibilityType mosOscCnt_GetCounterVisibilityType(MosOscCnt_CounterType cntType);
// Three-way order of two MosOscCnt_QueryCounter records, for qsort.
int mosOscCnt_CompareCnts(const void *first, const void *second);

Mos_RC mosOscCnt_RegisterFailureNotifyCallback(MosOscCnt_CounterType type, MosOscCnt_FailureNotifyCK notifyCK);
void mosOscCnt_UnregisterFailureNotifyCallback(MosOscCnt_CounterType type, MosOscCnt_FailureNotifyCK notifyCK);
// Tells the callback registered for the type (if any) that a failure of that weight happened.
void mosOscCnt_FailureOccurrenceNotify(MosOscCnt_CounterType type, UINT32 weight);

void mosOscCnt_SdbgQueryFunc(MosObj *pObj, const CHAR_A *pName, void *pData);

// Per-address set.
void mosNetOscCounters_Create(MosNetOscCounters *pNetCounters, MosOscCnt_CounterType type,
                              const MosOscCnt_CounterParams *pInitParams, ObjectId remoteObjectId,
                              const NetAddress *pNetAddresses, UINT32 numNetAddresses);
void mosNetOscCounters_Destroy(MosNetOscCounters *pNetCounters);
void mosNetOscCounters_CreateOscCounter(MosNetOscCounters *pNetCounters, MosOscCnt_Counter *pCounter,
                                        const MosOscCnt_CounterParams *pInitParams, const NetAddress *pNetAddress);
void mosNetOscCounters_SetNetAddresses(MosNetOscCounters *pNetCounters, const MosOscCnt_CounterParams *pInitParams,
                                       const NetAddress *pNewNetAddresses, UINT32 numNewNetAddresses);
void mosNetOscCounters_SetRemoteObjId(MosNetOscCounters *pNetCounters, ObjectId remoteObjId);
// A null address, or one similar to none of the set's, goes to the catch-all.
void mosNetOscCounters_FailureOccurence(MosNetOscCounters *pNetCounters, const NetAddress *pNetAddress,
                                        UINT32 weight);
// Copies the per-address counters (never the catch-all) that changed within timeDeltaInMillis.
Mos_RC mosNetOscCounters_GetChangedCounters(MosNetOscCounters *pNetCounters, UINT64 timeDeltaInMillis,
                                            MosOscCnt_QueryCounter *pCounters, UINT32 maxNumCountersToFill,
                                            UINT32 *pNumCounters);
void mosNetOscCounters_SetParameters(MosNetOscCounters *pNetCounters, const MosOscCnt_CounterParams *pParams);
void mosNetOscCounters_Reset(MosNetOscCounters *pNetCounters);
