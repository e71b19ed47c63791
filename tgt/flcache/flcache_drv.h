// The flash read-cache kernel driver as this server sees it: one ioctl request on the driver's
// control node, a 24-byte command header that points at the command's payload, and the payload
// records of the six commands the server sends. The driver is not part of this system; everything
// here is the exchange, pinned byte by byte so that a driver built elsewhere and this server agree.
//
// The driver is reached only through a port (open, ioctl, close). The kernel's port opens the node
// with the runtime's device calls; tests put a user-space driver of their own behind the same port,
// so every path of the controlling code runs against a driver that accepts, refuses, answers
// malformed records or fails the ioctl call itself.
//
// Answers are never trusted: counts in a query answer are checked against the records' capacities
// before anything is read from them (flcache.cpp).
#pragma once

#include <cstddef>

#include "mos/mos_rc.h"
#include "mos/mos_types.h"

#define FLCACHE_DRV__IOCTL_REQUEST 0xC0185A64ul // read-write, type 'Z', number 100, 24-byte argument
#define FLCACHE_DRV__API_VERSION 1u
#define FLCACHE_DRV__CACHE_NAME "Kestrim_FLCache"
#define FLCACHE_DRV__MAX_CACHE_DEVS 8u
#define FLCACHE_DRV__MAX_SOURCES 64u
#define FLCACHE_DRV__CACHE_DEV_PATH_LEN 256u
#define FLCACHE_DRV__SOURCE_PATH_LEN 64u

enum FlcacheDrvCmd : UINT32 {
    FLCACHE_DRV_CMD__GET_VERSION = 116,
    FLCACHE_DRV_CMD__START_CACHE = 1101,
    FLCACHE_DRV_CMD__STOP_CACHE = 1102,
    FLCACHE_DRV_CMD__QUERY = 1104,
    FLCACHE_DRV_CMD__START_SOURCE = 1105,
    FLCACHE_DRV_CMD__STOP_SOURCE = 1106,
};

// The status word the driver writes into the command header.
#define FLCACHE_DRV_STATUS__SUCCESS 0u
#define FLCACHE_DRV_STATUS__ASYNC 1u       // accepted, completes in the driver's own time
#define FLCACHE_DRV_STATUS__ERROR 0x8000u  // 0x8000 + n: the driver refused the command
#define FLCACHE_DRV_STATUS__BUSY 0x800Fu   // try again later (the query waits and repeats)

// The driver's operational-mode values (see flcache_OstrelToDriverOpmode).
#define FLCACHE_DRV_OPMODE__PASS_THROUGH_WRITE_MISS 2u
#define FLCACHE_DRV_OPMODE__PASS_THROUGH_READ 6u
#define FLCACHE_DRV_OPMODE__PASS_THROUGH_WRITE 10u
#define FLCACHE_DRV_OPMODE__PASS_THROUGH_READ_AND_WRITE 14u
#define FLCACHE_DRV_OPMODE__PASS_THROUGH_NONE 258u
#define FLCACHE_DRV_OPMODE__INVALID 259u

#pragma pack(push, 1)
struct FlcacheDrvCmdHeader {
    UINT32 zero;
    UINT32 cmd;         // FlcacheDrvCmd
    UINT32 status;      // written by the driver
    UINT32 payloadSize; // bytes
    UINT64 pPayload;    // address of the payload
};

// The driver's counters of one cache device (144 bytes).
struct OstrelTgtRsp_FlcacheDevCounters {
    UINT64 tgtCacheDevId;
    UINT64 readsReceived;
    UINT64 writesReceived;
    UINT64 inflightReads;
    UINT64 inflightWrites;
    UINT64 readTimeG500milli;
    UINT64 readTimeG1sec;
    UINT64 readTimeG5sec;
    UINT64 readTimeG1min;
    UINT64 writeTimeG500milli;
    UINT64 writeTimeG1sec;
    UINT64 writeTimeG5sec;
    UINT64 writeTimeG1min;
    UINT64 avgRdTime;
    UINT64 avgWrTime;
    UINT64 ioErrors;
    UINT64 monitorErrOutstandingLimit;
    UINT64 monitorErrStuckIo;
};

// The driver's counters of the cache pool (280 bytes).
struct OstrelTgtRsp_FlcachePoolCounters {
    UINT64 numSrcDevs;
    UINT64 numCacheDevs;
    UINT64 maxIoSize;
    UINT64 pageSize;
    UINT64 opmode;
    UINT64 poolSize;
    UINT64 iosOutstanding;
    UINT64 readsPending;
    UINT64 writePending;
    UINT64 readHit;
    UINT64 readMiss;
    UINT64 writeHit;
    UINT64 writeMiss;
    UINT64 cachePages;
    UINT64 pagesInuse;
    UINT64 evictions;
    UINT64 skippedMaxIoSize;
    UINT64 isEmergencyPoolInuse;
    UINT64 ioTimeG1min;
    UINT64 lockTimeG1sec;
    UINT64 suspendedRequests;
    UINT64 suspendedRequestsMax;
    UINT64 suspendedRequestsRredundantSearches;
    UINT64 sourceIdMismatch;
    UINT64 continuousMem;
    UINT64 numOfDriverThreads;
    UINT64 lowResourcesInitiatedPassthroughMode;
    UINT64 readPendingG1sec;
    UINT64 readPendingG10milli;
    UINT64 readPendingG1milli;
    UINT64 readPendingG500micro;
    UINT64 writePendingG1sec;
    UINT64 writePendingG10milli;
    UINT64 writePendingG1milli;
    UINT64 writePendingG500micro;
};

// The driver's counters of one source device (256 bytes; opmode in the Ostrel's values).
struct TgtFlcacheSourceDeviceCounters {
    UINT64 opmode;
    UINT64 readsReceived;
    UINT64 writesReceived;
    UINT64 avgRdTime;
    UINT64 avgWrTime;
    UINT64 downReads;
    UINT64 downWrites;
    UINT64 iosOutstanding;
    UINT64 readsPending;
    UINT64 writePending;
    UINT64 readsFromCache;
    UINT64 readHit;
    UINT64 readMiss;
    UINT64 writeHit;
    UINT64 writeMiss;
    UINT64 iosSkipped;
    UINT64 readsSkipped;
    UINT64 readsSkippedAlignedSizeGMaxIoSize;
    UINT64 readsSkippedMaxIoSize;
    UINT64 readsSkippedHeavyLoad;
    UINT64 readsSkippedStuckIo;
    UINT64 readsSkippedLowResources;
    UINT64 readsSkippedInternalError;
    UINT64 readsSkippedLockIos;
    UINT64 writesSkippedMaxIoSize;
    UINT64 writesSkippedHeavyLoad;
    UINT64 writesSkippedStuckIo;
    UINT64 writesSkippedLowResources;
    UINT64 writesSkippedInternalError;
    UINT64 writesSkippedCacheMiss;
    UINT64 skippedUnalignedWriteTags;
    UINT64 ioErrors;
};

// Command 116: the driver fills it.
struct FlcacheDrvVersion {
    UINT32 ioctl_version; // FLCACHE_DRV__API_VERSION
    UINT8 reserved[68];
};

// One cache device of a start-cache command. The server's own id of the device rides in bytes the
// driver does not use, so that the driver's query answer names the device in the server's terms.
struct FlcacheDrvCacheDevRec {
    UINT32 objId; // a fresh driver object id
    UINT32 reserved0;
    UINT64 kernelDevNum; // st_rdev of the path
    CHAR_A path[FLCACHE_DRV__CACHE_DEV_PATH_LEN];
    UINT64 tgtCacheDevId;
    UINT8 reserved1[24];
};

// Command 1101 (start) and 1102 (stop: zero but for cacheHandle).
struct FlcacheDrvStartCache {
    UINT32 reserved0;
    UINT32 cacheHandle;
    CHAR_A cacheName[256];
    UINT32 numCacheDevs;
    UINT32 reserved1;
    FlcacheDrvCacheDevRec devs[FLCACHE_DRV__MAX_CACHE_DEVS];
    UINT8 reserved2[12];
    UINT32 pageSizeBytes;
    UINT32 maxIoSize;
    UINT64 cachConfId; // echoed in the query answer
    UINT8 reserved3[28];
    UINT64 opmode;  // the driver's value
    UINT64 maxSize; // pageSizeBytes << 32
};

// Command 1105 (start) and 1106 (stop: the kernel device number).
struct FlcacheDrvSource {
    UINT32 reserved0;
    UINT32 objId; // a fresh driver object id
    CHAR_A path[FLCACHE_DRV__SOURCE_PATH_LEN];
    UINT64 sourceConfId; // echoed in the query answer
    UINT8 reserved1[184];
    UINT64 kernelDevNum;
    UINT32 cacheHandle;
    UINT32 reserved2;
    UINT64 tgtDevId; // echoed in the query answer
    UINT32 opmode;   // the driver's value
    UINT32 reserved3;
};

struct FlcacheDrvQueryCacheDev {
    UINT64 tgtCacheDevId;
    UINT64 kernelDevNum;
    UINT32 objId;
    UINT32 reserved;
    OstrelTgtRsp_FlcacheDevCounters counters;
};

struct FlcacheDrvQuerySource {
    UINT64 tgtDevId;
    UINT64 kernelDevNum;
    UINT32 objId;
    UINT32 opmode; // the driver's value
    CHAR_A path[FLCACHE_DRV__SOURCE_PATH_LEN];
    TgtFlcacheSourceDeviceCounters counters;
};

// Command 1104: the server writes cacheHandle and maxSources, the driver fills the rest.
struct FlcacheDrvQuery {
    UINT32 cacheHandle;
    UINT32 maxSources; // FLCACHE_DRV__MAX_SOURCES
    UINT32 numCacheDevs;
    UINT32 numSources;
    UINT64 cachConfId;
    UINT64 sourceConfId;
    UINT32 pageSizeBytes;
    UINT32 maxIoSize;
    UINT32 opmode; // the driver's value
    UINT32 reserved0;
    OstrelTgtRsp_FlcachePoolCounters poolCounters;
    FlcacheDrvQueryCacheDev cacheDevs[FLCACHE_DRV__MAX_CACHE_DEVS];
    FlcacheDrvQuerySource sources[FLCACHE_DRV__MAX_SOURCES];
    UINT8 reserved1[35704];
};
#pragma pack(pop)

static_assert(sizeof(FlcacheDrvCmdHeader) == 24);
static_assert(offsetof(FlcacheDrvCmdHeader, cmd) == 4 && offsetof(FlcacheDrvCmdHeader, status) == 8);
static_assert(offsetof(FlcacheDrvCmdHeader, payloadSize) == 12 && offsetof(FlcacheDrvCmdHeader, pPayload) == 16);
static_assert(((3ul << 30) | (sizeof(FlcacheDrvCmdHeader) << 16) | ('Z' << 8) | 100) == FLCACHE_DRV__IOCTL_REQUEST);
static_assert(sizeof(OstrelTgtRsp_FlcacheDevCounters) == 144);
static_assert(sizeof(OstrelTgtRsp_FlcachePoolCounters) == 280);
static_assert(offsetof(OstrelTgtRsp_FlcachePoolCounters, lowResourcesInitiatedPassthroughMode) == 208);
static_assert(sizeof(TgtFlcacheSourceDeviceCounters) == 256);
static_assert(sizeof(FlcacheDrvVersion) == 72);
static_assert(sizeof(FlcacheDrvCacheDevRec) == 304);
static_assert(offsetof(FlcacheDrvCacheDevRec, kernelDevNum) == 8 && offsetof(FlcacheDrvCacheDevRec, path) == 16);
static_assert(sizeof(FlcacheDrvStartCache) == 2776);
static_assert(offsetof(FlcacheDrvStartCache, cacheHandle) == 4 && offsetof(FlcacheDrvStartCache, cacheName) == 8);
static_assert(offsetof(FlcacheDrvStartCache, numCacheDevs) == 264 && offsetof(FlcacheDrvStartCache, devs) == 272);
static_assert(offsetof(FlcacheDrvStartCache, pageSizeBytes) == 2716 && offsetof(FlcacheDrvStartCache, maxIoSize) == 2720);
static_assert(offsetof(FlcacheDrvStartCache, opmode) == 2760 && offsetof(FlcacheDrvStartCache, maxSize) == 2768);
static_assert(sizeof(FlcacheDrvSource) == 296);
static_assert(offsetof(FlcacheDrvSource, objId) == 4 && offsetof(FlcacheDrvSource, path) == 8);
static_assert(offsetof(FlcacheDrvSource, kernelDevNum) == 264 && offsetof(FlcacheDrvSource, cacheHandle) == 272);
static_assert(offsetof(FlcacheDrvSource, opmode) == 288);
static_assert(sizeof(FlcacheDrvQuery) == 59392);
// The command buffer: the header, then the largest payload (the query's) right after it.
#define FLCACHE_DRV__CMD_BUFFER_SIZE (sizeof(FlcacheDrvCmdHeader) + sizeof(FlcacheDrvQuery))
static_assert(FLCACHE_DRV__CMD_BUFFER_SIZE == 59416);

// How the server reaches the driver. pOpen returns a handle or -1; pIoctl returns MOS_RC__SUCCESS
// when the call itself went through (the driver's verdict is in the header's status) and another
// code when it failed.
struct FlcacheDrvPort {
    int (*pOpen)(void *pCtx, const CHAR_A *pPath);
    Mos_RC (*pIoctl)(void *pCtx, int hDev, unsigned long request, void *pArg);
    void (*pClose)(void *pCtx, int hDev);
    void *pCtx;
};

// The kernel's driver through the runtime's device calls.
const FlcacheDrvPort *flcacheDrv_KernelPort(void);
