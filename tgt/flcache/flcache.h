// Control of the flash read-cache kernel driver: the driver caches reads of this server's own
// devices (sources) on flash devices (cache devices); this module keeps the configuration the
// Ostrel wants, applies it to the driver, watches the driver and reports its errors.
//
// Three configurations, each a cache part and a source part with an id of its own:
// - targetConf: what the Ostrel asked for. Commands write only this, under confFastlock, and raise
//   the part's id when its content changed (content equality ignores the order of lists).
// - conf: what the server has applied. Only the monitor writes it.
// - lastKnownConf: what the driver said in its last query answer.
// The monitor (a uthread, every 4 seconds while driver control runs) is the one talker to the
// driver after the start: a target id that differs from the applied one makes it apply the target.
// So driver commands never interleave, and bConfBusy tells a query that a round is under way.
//
// Failures. The driver is outside this system and its answers are checked, never trusted: a
// failed ioctl call, a command the driver refuses (status 0x8000 + n) or a query answer whose
// counts exceed their records fails the round (MOS_RC__ERROR, MOS_RC__INVALID, traced), leaves
// conf as it was, turns driver control off and reports the error state to the Ostrel (1006). Only
// a delivered report clears the error bits it carried. A handle file that cannot be read keeps
// driver control from starting (MOS_RC__FLCACHE_INVALID_DRIVER_PATH) instead of stopping the
// process.
//
// Lock order: confFastlock before sourceDevArrfFastlock; neither is held across a driver command
// or a report; driverLock (a uthread lock) serialises the control device's use and its close.
//
// What the module needs of the controller (flash-cache device objects, the server's devices, the
// device map, the Ostrel link) comes through Flcache_ContHooks, so that this layer includes
// nothing above it and tests play the controller.
#pragma once

#include "mos/mos_fastlock.h"
#include "mos/mos_obj.h"
#include "mos/umt/mos_umt.h"
#include "mos/umt/mos_umt_class.h"
#include "mos/umt/mos_umt_rwlock.h"
#include "tgt/flcache/flcache_drv.h"

struct Cont;

typedef UINT64 FlcacheDevId;

#define MAX_NUM_FLCACHE_DEV_PER_TGT 8u
#define FLCACHE__MAX_SOURCE_DEVS 64u
#define FLCACHE__MAX_SOURCE_RECORDS 128u // twice a configuration: records outlive their place
#define FLCACHE__DEV_PATH_LEN 64u
#define FLCACHE_INVALID_DRIVER_DEV_HANDLE (-1)
#define FLCACHE__DRIVER_PATH "/dev/halvrn"
#define FLCACHE__HANDLE_FILE "./rfchdl"
#define FLCACHE__DEFAULT_CACHE_HANDLE 100u
#define FLCACHE__MONITOR_QUEUE MOS_TIMER_QUEUE_ID__4SEC
#define FLCACHE__BUSY_RETRY_QUEUE MOS_TIMER_QUEUE_ID__1SEC

// The flash-cache error report to the Ostrel: a request on the Ostrel's control receive group.
#define OSTREL_MSG_TYPE__UPDATE_FLCACHE_ERROR 1006u
#define FLCACHE__OSTREL_RECV_GROUP 13u

enum FlcacheOperationalMode : UINT32 {
    FLCACHE_OPERATIONAL_MODE__INVALID = 0,
    FLCACHE_OPERATIONAL_MODE__PASS_THROUGH_NONE = 1,
    FLCACHE_OPERATIONAL_MODE__PASS_THROUGH_READ = 2,
    FLCACHE_OPERATIONAL_MODE__PASS_THROUGH_WRITE = 3,
    FLCACHE_OPERATIONAL_MODE__PASS_THROUGH_READ_AND_WRITE = 4,
    FLCACHE_OPERATIONAL_MODE__PASS_THROUGH_WRITE_MISS = 5,
};

// Error bits: bit i is entry i of FLCACHE_ERR__STRINGS.
#define FLCACHE_ERR__LIST(X)                                  \
    X(DEVICE_INUSE, "Device inuse")                           \
    X(DEVICE_NOT_EXIST, "Device does not exist")              \
    X(LOW_RESOURCES, "Low resources")                         \
    X(STUCK_IO, "Stuck io")                                   \
    X(HEAVY_LOAD_CACHE_SKIP, "Heavy load cache skip")         \
    X(API_VERSION_MISMATCH, "API version mismatch")           \
    X(CARD_IO_ERROR, "Card io error")                         \
    X(INCONSISTENT_CACHE_CONF, "Inconsistent cache configuration") \
    X(INCONSISTENT_SOURCE_CONF, "Inconsistent source configuration") \
    X(INVALID_DRIVER_PATH, "Invalid driver path")
#define FLCACHE_ERR__ENUM(name, text) FLCACHE_ERR__##name,
enum FlcacheErrBit : UINT32 { FLCACHE_ERR__LIST(FLCACHE_ERR__ENUM) FLCACHE_ERR__COUNT };
#undef FLCACHE_ERR__ENUM
#define FLCACHE_ERR_BIT(name) (1u << FLCACHE_ERR__##name)
extern const CHAR_A *const FLCACHE_ERR__STRINGS[FLCACHE_ERR__COUNT];
// The text of bit index i; "FLCACHE_ERR__UNKNOWN" beyond the list.
const CHAR_A *flcache_ErrName(UINT32 bitIndex);

#pragma pack(push, 1)
// Command 2214's payload.
struct Flcache_ostrelCacheConf {
    UINT16 ostrelTgtConnectionGenNum;
    BOOL bReconfigInProgress;
    BOOL bForceIgnoreSignature;
    UINT32 maxIoSize;
    UINT32 opmode; // FlcacheOperationalMode
    UINT32 pageSize; // KB
    UINT32 cacheObjDevListSize;
    CHAR_A cacheDevPath[MAX_NUM_FLCACHE_DEV_PER_TGT][FLCACHE__DEV_PATH_LEN];
    UINT8 cacheDevUuid[MAX_NUM_FLCACHE_DEV_PER_TGT][16];
    FlcacheDevId cacheObjDevList[MAX_NUM_FLCACHE_DEV_PER_TGT];
    BOOL bIsLedOn[MAX_NUM_FLCACHE_DEV_PER_TGT];
};

struct Flcache_ostrelSourceDevList {
    UINT32 sourceDevListSize;
    UINT64 sourceDevList[FLCACHE__MAX_SOURCE_DEVS];
};

// Command 2215's payload.
struct Flcache_ostrelSourceConf {
    Flcache_ostrelSourceDevList sourceDeviceList;
    UINT16 ostrelTgtConnectionGenNum;
    BOOL bReconfigInProgress;
};

struct Flcache_ostrelQueryCacheDev {
    FlcacheDevId id;
    CHAR_A path[FLCACHE__DEV_PATH_LEN];
    UINT64 size;
};

// Command 2216's answer; bValid 0 while a configuration is being applied or not yet applied.
struct Flcache_ostrelQueryRes {
    BOOL bValid;
    UINT32 maxIoSize;
    UINT32 opmode;
    UINT32 pageSize;
    UINT32 numCacheDevs;
    UINT32 numSourceDevs;
    Flcache_ostrelQueryCacheDev cacheDevs[MAX_NUM_FLCACHE_DEV_PER_TGT];
    UINT64 sourceDevList[FLCACHE__MAX_SOURCE_DEVS];
    UINT8 reserved[128];
};

struct OstrelTgtReq_DeviceErr {
    UINT64 devId;
    UINT32 err;
};

// Notification 1006's payload.
struct OstrelTgtReq_UpdateFlcacheError {
    UINT64 sourceTgtId;
    UINT32 globalCacheErrors;
    OstrelTgtReq_DeviceErr cacheDevErr[MAX_NUM_FLCACHE_DEV_PER_TGT];
    UINT32 cacheDevErrListSize;
    OstrelTgtReq_DeviceErr sourceDevErr[FLCACHE__MAX_SOURCE_DEVS];
    UINT32 sourceDevErrListSize;
};

// The debug query of the object type flcache.
struct FlcacheQuery {
    UINT64 driverCacheHandle;
    CHAR_A cacheDriverPath[FLCACHE__DEV_PATH_LEN];
    BOOL bConfBusy;
    BOOL bEnable;
    UINT32 globalCacheErrors;
    BOOL bInErrorState;
    OstrelTgtRsp_FlcachePoolCounters poolCounters;
};
#pragma pack(pop)

static_assert(sizeof(Flcache_ostrelCacheConf) == 762);
static_assert(offsetof(Flcache_ostrelCacheConf, cacheDevPath) == 26);
static_assert(sizeof(Flcache_ostrelSourceConf) == 522);
static_assert(sizeof(Flcache_ostrelQueryRes) == 1304);
static_assert(sizeof(OstrelTgtReq_DeviceErr) == 12);
static_assert(sizeof(OstrelTgtReq_UpdateFlcacheError) == 884);
static_assert(offsetof(OstrelTgtReq_UpdateFlcacheError, globalCacheErrors) == 8);
static_assert(offsetof(OstrelTgtReq_UpdateFlcacheError, cacheDevErr) == 12);
static_assert(offsetof(OstrelTgtReq_UpdateFlcacheError, cacheDevErrListSize) == 108);
static_assert(offsetof(OstrelTgtReq_UpdateFlcacheError, sourceDevErr) == 112);
static_assert(offsetof(OstrelTgtReq_UpdateFlcacheError, sourceDevErrListSize) == 880);
static_assert(sizeof(FlcacheQuery) == 368);

struct Flcache_cacheConf {
    UINT64 cachConfId;
    UINT32 maxIoSize;
    UINT32 opmode; // FlcacheOperationalMode
    UINT32 pageSize; // KB
    UINT32 cacheObjDevListSize;
    FlcacheDevId cacheObjDevList[MAX_NUM_FLCACHE_DEV_PER_TGT];
};

struct Flcache_sourceConf {
    UINT64 sourceConfId;
    UINT32 sourceDevListSize;
    UINT64 sourceDevList[FLCACHE__MAX_SOURCE_DEVS]; // TgtDevId, unordered
};

struct Flcache_conf {
    Flcache_cacheConf cacheConf;
    Flcache_sourceConf sourceConf;
};

struct FlcacheSourceDev {
    BOOL bUseFlcache; // in the target source list
    UINT64 flcacheDriverHandle;
    UINT32 flcacheErr;
    TgtFlcacheSourceDeviceCounters flcacheSourceDevCounters;
    CHAR_A sourceDevPath[FLCACHE__DEV_PATH_LEN];
    UINT64 tgtDevId;
};

// A cache device as the controller's flash-cache device object holds it.
struct FlcacheFlashDev {
    OstrelTgtRsp_FlcacheDevCounters flcacheCacheDevCounters;
    UINT64 devSize;
    UINT64 flcacheDriverHandle; // ~0: none
    UINT32 flcacheErr;
    FlcacheDevId tgtCacheDevId;
    CHAR_A cacheDevPath[FLCACHE__DEV_PATH_LEN];
};

// What the module needs of the controller. Every member may be left null; a missing one answers
// as "nothing there" (no device object, no path, no link: a report stays owed).
struct Flcache_ContHooks {
    void *pCtx;
    // Sends a request to the Ostrel and waits for its result.
    Mos_RC (*pSendRequest)(void *pCtx, UINT32 msgType, UINT32 grpId, const void *pPayload, UINT32 payloadLen);
    UINT64 (*pGetTgtId)(void *pCtx);
    // Flash-cache device objects (held between acquire and release).
    Mos_RC (*pAddCacheDev)(void *pCtx, FlcacheDevId id, const CHAR_A *pPath, UINT64 driverHandle);
    Mos_RC (*pRemCacheDev)(void *pCtx, FlcacheDevId id);
    void (*pRemUnusedCacheDev)(void *pCtx, const FlcacheDevId *pInUse, UINT32 numInUse);
    FlcacheFlashDev *(*pAcquireCacheDev)(void *pCtx, FlcacheDevId id);
    void (*pReleaseCacheDev)(void *pCtx, FlcacheDevId id);
    // The id of a registered cache device at pPath (case ignored) other than exceptId; 0: none.
    FlcacheDevId (*pFindCacheDevByPath)(void *pCtx, const CHAR_A *pPath, FlcacheDevId exceptId);
    // The signature check of a device about to become a cache device.
    Mos_RC (*pValidateCacheDev)(void *pCtx, FlcacheDevId id, const CHAR_A *pPath, BOOL bForce);
    // The device map: the path of the device whose header carries devId and how many carry it.
    BOOL (*pGetDevPath)(void *pCtx, UINT64 devId, CHAR_A *pPath, UINT32 *pCount);
    // The path (64 characters) of a device object of this server; MOS_RC__NOT_FOUND when none.
    Mos_RC (*pCopyDevPath)(void *pCtx, UINT64 tgtDevId, CHAR_A *pPath);
    MosUmtClassId monitorClass; // TGT_FLCACHE
    BOOL bNoMonitorThread; // the caller runs the monitor's rounds itself (flcache_MonitorRound)
};

struct Flcache {
    MosObj sdbgObj;
    Cont *pCont;
    UINT64 driverCacheHandle;
    int driverControlFileHandle; // FLCACHE_INVALID_DRIVER_DEV_HANDLE when closed
    CHAR_A cacheDriverPath[FLCACHE__DEV_PATH_LEN];
    BOOL bHandleFileBad; // the handle file exists but holds no handle
    BOOL bEnable;
    BOOL bConfBusy;
    BOOL bInErrorState;
    Flcache_conf targetConf;
    Flcache_conf conf;
    Flcache_conf lastKnownConf;
    UINT64 lastKnownSourceDevNum[FLCACHE__MAX_SOURCE_DEVS]; // kernel numbers of lastKnownConf's sources
    UINT32 globalCacheErrors;
    OstrelTgtRsp_FlcachePoolCounters poolCounters;
    UINT8 *pIocmd; // FLCACHE_DRV__CMD_BUFFER_SIZE bytes, allocated at first use
    FlcacheSourceDev sourceDevArr[FLCACHE__MAX_SOURCE_RECORDS];
    FlcacheSourceDev *pSourceDevList[FLCACHE__MAX_SOURCE_RECORDS];
    UINT32 sourceDevArrLen;
    UINT32 driverObjectId;
    MosFastlock_Base sourceDevArrfFastlock;
    MosFastlock_Base confFastlock;
    MosFastlock_Base DriverObjectIdLock;
    MosUmt_RWLock cacheDevRwLock;
    MosUmt_RWLock driverLock; // write: a driver command or the close of the control device
    HMosUmt_UThread hMonitor;
    FlcacheDrvPort port;
    Flcache_ContHooks hooks;
};

// Life. flcache_Init uses the kernel's port, "/dev/halvrn" and "./rfchdl"; flcache_InitEx takes
// others (null: the default). The driver is not opened here. Destroy turns driver control off and
// waits for the monitor.
void flcache_Init(Flcache *pFlcache, Cont *pCont);
void flcache_InitEx(Flcache *pFlcache, Cont *pCont, const FlcacheDrvPort *pPort, const CHAR_A *pDriverPath,
                    const CHAR_A *pHandleFile);
void flcache_SetContHooks(Flcache *pFlcache, const Flcache_ContHooks *pHooks);
void flcache_Destroy(Flcache *pFlcache);

// Driver control. Enable runs the start sequence: MOS_RC__FLCACHE_INVALID_DRIVER_PATH (no control
// device, or no usable handle), MOS_RC__FLCACHE_API_VERSION_MISMATCH, or the code of a failed
// driver exchange; each failure is reported (1006).
Mos_RC flcache_CacheEnable(Flcache *pFlcache);
void flcache_CacheDisable(Flcache *pFlcache);
Mos_RC flcache_CacheStateInit(Flcache *pFlcache);
// One round of the monitor; MOS_RC__SUCCESS, or the failure that turned driver control off.
Mos_RC flcache_MonitorRound(Flcache *pFlcache);

// Commands. Cache: MOS_RC__TOO_MANY_FLCACHE_DEVS above 8 devices, MOS_RC__INVALID_ARG for a path
// without its NUL, the device checks' codes (463, 464, 478, 589, ...), or the start's code.
// Sources: MOS_RC__TOO_MANY_DEVICES above 64, MOS_RC__TGT_DEVICE_NOT_FOUND for an id that is no
// device of this server; nothing changes then.
Mos_RC flcache_CacheReconfig(Flcache *pFlcache, const Flcache_ostrelCacheConf *pNewOstrelCacheConf);
Mos_RC flcache_SourceReconfig(Flcache *pFlcache, const Flcache_ostrelSourceConf *pNewOstrelSourceConf);
// MOS_RC__TOO_MANY_DEVICES when a device does not fit (the list or the records); those before it
// stay added.
Mos_RC flcache_AddSourceDevice(Flcache *pFlcache, const UINT64 devId[], const CHAR_A *const devPath[],
                               UINT32 numOfDeviecs, BOOL bConfLock);
void flcache_RemoveSourceDevice(Flcache *pFlcache, UINT64 devId, BOOL bConfLock);
BOOL flcache_IsFlcacheEnabledOnDevice(Flcache *pFlcache, UINT64 devId);
void flcache_RemoveAllTargetConfSourceDevice(Flcache *pFlcache); // caller holds confFastlock
void flcache_RemUnusedSourceDev(Flcache *pFlcache);
void flcache_PrintAllSourceDev(Flcache *pFlcache, const CHAR_A *descriptionStr);

// Queries and counters (zero while driver control is off).
void flcache_CacheQuery(Flcache *pFlcache, Flcache_ostrelQueryRes *pRes);
void flcache_GetCacheCounters(Flcache *pFlcache, OstrelTgtRsp_FlcacheDevCounters flcacheDevCounters[],
                              UINT32 *pNumFlcacheDevs);
void flcache_GetCachePoolCounters(Flcache *pFlcache, OstrelTgtRsp_FlcachePoolCounters *pFlcachePoolCounter);
void flcache_GetSourceCounters(Flcache *pFlcache, UINT64 sourceTgtId, TgtFlcacheSourceDeviceCounters *pFlcacheCounter);
void flcache_Query(MosObj *pObj, const CHAR_A *pName, void *pData);
Mos_RC flcache_GetDevicePathFromId(Flcache *pFlcache, UINT64 devId, CHAR_A *pDeviceName, UINT32 nameLen);

// Sends 1006 with the errors of the applied configuration and waits. MOS_RC__SUCCESS clears what
// it reported; MOS_RC__TIMEOUT for an ERROR, RETRY or TIMEOUT answer, else the answer; the errors
// stay on every failure.
Mos_RC flcache_SendErrNotification(Flcache *pFlcache);

// Helpers of the exchange.
UINT32 flcache_OstrelToDriverOpmode(UINT32 ostrelOpmode);
UINT32 flcache_DriverOpmodeToOstrel(UINT32 driverOpmode);
BOOL flcache_CacheConfEqual(const Flcache_cacheConf *pA, const Flcache_cacheConf *pB);
BOOL flcache_SourceConfEqual(const Flcache_sourceConf *pA, const Flcache_sourceConf *pB);
UINT32 flcache_GenerateDriverObjectId(Flcache *pFlcache);
