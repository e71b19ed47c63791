// The RAM read cache: one object per process, owned by the root controller. It keeps recently
// read and written device blocks in memory, keyed by device id, the device's 16-bit cache
// generation and the device LB, in 4 KB pages (8 LB); no cached I/O exceeds 256 LB. Filled after
// a read miss and from write buffers that already live in cache memory; kept coherent by
// invalidating the written range after every device write. Entries are kept by the metadata
// layer (rcache_md.h), the memory by rcache_ud.h, the guards by rcache_dif.h.
//
// State. The cache is *being modified* while a deferred action is flagged or a purge or
// change-size job runs; it is *usable* when enabled, its memory is allocated and it is not being
// modified. Jobs that rebuild or drop the memory never run while an operation is inside the
// cache (inProgCount): a command that finds operations in progress only sets a flag, and the
// last operation to leave starts the job. New operations are refused while a job is pending or
// running, so a job always finds the memory idle.
//
// Size. Requests are in LB, 64-bit: a size below 128 MB is raised to 128 MB; one above the node's
// allowance (a percentage of the RAM of the NUMA nodes the process is bound to) is refused with
// MOS_RC__NO_RESOURCES. A size change while the cache is frozen is refused with
// MOS_RC__RAMCACHE_WRONG_STATE (a frozen cache takes no inserts, so its size must not move).
//
// Reports. Every change of the memory's state makes a report to the Ostrel owed; one report is in
// flight at a time and an owed report is retried (the controller's watchdog calls
// rcache_SendCacheStateToOstrel on every round) until delivered. The link to the Ostrel, the
// server's id, the blocking-call thread and the job classes come from the controller through
// rcache_SetContHooks; without a link a report stays owed.
//
// Data-path calls take fastlock only to test the state and move inProgCount; a null cache, a
// size that is not whole pages or above 256 LB, an LB that is not page-aligned or a null buffer
// or vector are broken invariants of the caller.
#pragma once

#include <cstddef>

#include "mos/mos_blocking.h"
#include "mos/mos_ds_hash.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_obj.h"
#include "mos/umt/mos_umt_class.h"
#include "mos/umt/mos_umt_rwlock.h"
#include "tgt/rcache/rcache_md.h"

struct Cont;
struct RcacheNetBuf;

#define RCACHE__MIN_CACHE_SIZE_IN_LB 262144u // 128 MB
#define RCACHE__DEV_HASH_BUCKETS 64u

#define RCACHE__DELAYED_ACTION__PURGE 0x01u
#define RCACHE__DELAYED_ACTION__CHANGE_SIZE 0x02u
#define RCACHE__DELAYED_ACTION__FREE 0x04u

// The state report to the Ostrel: a request on the Ostrel's control receive group.
#define OSTREL_MSG_TYPE__UPDATE_TGT_STATE 1004u
#define CONT_NET__RECV_GROUP__OSTREL_CONTROL 13u

enum TgtCacheMemAllocationState : UINT32 {
    TGT_CACHE_MEMORY_ALLOCATION_STATE__INVALID = 0,
    TGT_CACHE_MEMORY_ALLOCATION_STATE__PENDING = 1,
    TGT_CACHE_MEMORY_ALLOCATION_STATE__SUCCESSFUL = 2,
    TGT_CACHE_MEMORY_ALLOCATION_STATE__FAILED = 3,
    TGT_CACHE_MEMORY_ALLOCATION_STATE__RAMCACHE_DISABLED = 4,
    TGT_CACHE_MEMORY_ALLOCATION_STATE__LAST = 5,
};
extern const CHAR_A *const TGT_CACHE_MEMORY_ALLOCATION_STATE_STRINGS[TGT_CACHE_MEMORY_ALLOCATION_STATE__LAST];
// The printable name; any value above 4 prints as "TGT_CACHE_MEMORY_ALLOCATION_STATE__UNKNOWN".
const CHAR_A *rcache_MemAllocStateName(UINT32 state);

#pragma pack(push, 1)
struct OstrelTgtReq_UpdateTgtState {
    UINT64 tgtId;
    UINT32 cacheMemState; // TgtCacheMemAllocationState
};
static_assert(sizeof(OstrelTgtReq_UpdateTgtState) == 12);
static_assert(offsetof(OstrelTgtReq_UpdateTgtState, cacheMemState) == 8);

// Part of the counters response to the Ostrel.
struct OstrelTgtRsp_RAMCacheCounters {
    UINT32 totalSizeInKB; // requested size
    UINT32 sizeInUseInKB;
    UINT64 bigBlockEvictionSizeCountInKB;
    UINT32 bigBlockEvictionCount;
    UINT64 entryEvictionSizeCountInKB;
    UINT32 entryEvictionCount;
    UINT32 noEvictionCount;
    UINT32 entryCount_4kb;
    UINT32 entryCount_8kb;
    UINT32 entryCount_16kb;
    UINT32 entryCount_32kb;
    UINT32 entryCount_64kb;
    UINT32 entryCount_128kb;
    UINT32 totalEntryCount_4kb;
    UINT32 totalEntryCount_8kb;
    UINT32 totalEntryCount_16kb;
    UINT32 totalEntryCount_32kb;
    UINT32 totalEntryCount_64kb;
    UINT32 totalEntryCount_128kb;
    UINT32 skipCountLargeIo;
    UINT32 skipCountUnaligned4kbIo;
    UINT32 skipCountCacheAllBusy;
};
static_assert(sizeof(OstrelTgtRsp_RAMCacheCounters) == 96);
static_assert(offsetof(OstrelTgtRsp_RAMCacheCounters, bigBlockEvictionSizeCountInKB) == 8);
static_assert(offsetof(OstrelTgtRsp_RAMCacheCounters, entryEvictionSizeCountInKB) == 20);
static_assert(offsetof(OstrelTgtRsp_RAMCacheCounters, entryCount_4kb) == 36);
static_assert(offsetof(OstrelTgtRsp_RAMCacheCounters, totalEntryCount_4kb) == 60);
static_assert(offsetof(OstrelTgtRsp_RAMCacheCounters, skipCountLargeIo) == 84);
#pragma pack(pop)

// The debug query of the cache.
struct RcacheQuery {
    UINT32 bDisabled;
    UINT32 bFrozen;
    UINT64 sizeInKb; // allocated
    UINT64 sizeInUseInKb;
    UINT64 entryEvictionCountInKb;
    UINT32 entryEvictionCount;
    UINT32 mdEntryEvictionCount;
    UINT64 bigBlockEvictionCountInKb;
    UINT32 bigBlockEvictionCount;
    UINT32 noEvictionCount;
    UINT32 skipCountLargeIo;
    UINT32 skipCountUnaligned4kbIo;
    UINT32 skipCountCacheAllBusy;
    UINT32 reserved;
    UINT64 inProgressCountInKb;
    UINT32 entryCount[RCACHE__MD_NUM_SIZE_CLASSES];
    UINT32 totalEntryCount[RCACHE__MD_NUM_SIZE_CLASSES];
    UINT32 freeCountDIFCoalescePool;
    UINT32 memoryAllocState;
};
static_assert(sizeof(RcacheQuery) == 136);

struct Rcache_Counters {
    UINT32 skipCountLargeIo;
    UINT32 skipCountUnaligned4kbIo;
};

// What the cache needs of the root controller; every member may be left empty (null, or a class
// id that is not valid), as in tests of the cache alone.
struct Rcache_ContHooks {
    // Sends a request to the Ostrel on the manager link and waits for its result
    // (MOS_RC__SUCCESS when the Ostrel accepted it).
    Mos_RC (*pSendRequest)(void *pCtx, UINT32 msgType, UINT32 grpId, const void *pPayload, UINT32 payloadLen);
    UINT64 (*pGetTgtId)(void *pCtx); // this server's id
    void *pCtx;
    MosBlocking *pBlocking; // the blocking-call thread that builds the memory (null: the default)
    MosUmtClassId changeSizeClass; // TGT_RCACHE_CHANGE_SIZE
    MosUmtClassId purgeClass;      // TGT_RCACHE_PURGE
    MosUmtClassId updateOstrelClass; // TGT_RCACHE_UPDATE_OSTREL
    RcacheNetBuf *pNetBufPri; // the data-path buffer pools that rcache_AssertValid checks
    RcacheNetBuf *pNetBufSec;
};

struct Cache {
    MosHash devHash;
    MosUmt_RWLock rwLock; // held for writing by the purge and change-size jobs
    MosFastlock_Base fastlock;
    UINT64 sizeInLb;    // allocated now (0 when not created)
    UINT64 reqSizeInLb; // last requested
    BOOL bEnable;
    BOOL bFreeze;
    BOOL bCreated;
    UINT32 inProgCount;
    UINT32 asyncCount;
    UINT32 updateOstrelCount; // atomic
    UINT8 delayedActionFlags;
    Rcache_MdDS md;
    MosObj sdbgObj;
    Rcache_Counters counters;
    Cont *pCont;
    TgtCacheMemAllocationState memAllocState;
    BOOL bNotifNeeded;
    UINT64 ostrelNotifCounter;
    MosUmt_RWLock ostrelNotifLock;
    Rcache_ContHooks hooks;
    UINT32 liveJobThreads; // atomic: job threads not yet returned (they may still touch the cache)
};

// Life and devices.
void rcache_Init(Cache *pCache, Cont *pCont);
void rcache_SetContHooks(Cache *pCache, const Rcache_ContHooks *pHooks);
// Waits for the jobs and reports still running, then frees everything.
void rcache_Destroy(Cache *pCache);
void rcache_AddDevice(Cache *pCache, UINT64 devId, BOOL bReconfigInProgress);
void rcache_RemoveDevice(Cache *pCache, UINT64 devId);
BOOL rcache_IsDeviceCached(Cache *pCache, UINT64 devId);

// Commands from the Ostrel.
// MOS_RC__SUCCESS, MOS_RC__RAMCACHE_WRONG_STATE (frozen or being modified), MOS_RC__NO_RESOURCES
// (above the node's allowance) or MOS_RC__ERROR (the node's RAM cannot be read).
Mos_RC rcache_ChangeSize(Cache *pCache, UINT64 sizeInLb);
Mos_RC rcache_EnableDisable(Cache *pCache, BOOL bEnable);
Mos_RC rcache_FreezeUnfreeze(Cache *pCache, BOOL bFreeze);
Mos_RC rcache_Purge(Cache *pCache);
// Enable, freeze and size in this order whatever each returns, then a report. A disabled and
// frozen cache is refused with MOS_RC__INVALID_ARG (nothing changes): the pair means nothing.
Mos_RC rcache_UpdateState(Cache *pCache, BOOL bEnabled, BOOL bFrozen, UINT64 cacheSizeInLb);
void rcache_ReconfDone(Cache *pCache);

// Data path.
// TRUE: the I/O bypasses the cache. bWrite is 0 for a read, 1 for a client write; another
// non-zero value is a write that follows the read alignment rule.
BOOL rcache_IsCacheSkip(Cache *pCache, UINT32 sizeInLbs, UINT64 offsetInLbs, UINT32 bWrite);
void *rcache_AllocBuffer(Cache *pCache, UINT32 sizeInLb, T10Dif **ppDifBuf);
void rcache_FreeBuffer(Cache *pCache, void *pBuffer, UINT32 sizeInLb, BOOL bEntireBuffer);
// MOS_RC__SUCCESS (the pages are entries, still held: end with rcache_CompleteBufferUsage),
// MOS_RC__NOT_READY when frozen, MOS_RC__TGT_DEVICE_NOT_FOUND, or MOS_RC__NOT_FOUND when a bucket
// has no entry to give (give the buffer back with rcache_FreeBuffer).
Mos_RC rcache_InsertData(Cache *pCache, UINT64 devId, UINT16 devGenNum, UINT64 lba, UINT32 sizeInLb,
                         void *pBuffer, BOOL bT10Dif, BOOL bIsObfuscated);
// MOS_RC__SUCCESS on a hit (pages appended to pIov, held until rcache_CompleteBufferUsage),
// MOS_RC__NOT_FOUND on a miss, MOS_RC__TGT_DEVICE_NOT_FOUND, MOS_RC__NOT_READY when not usable.
Mos_RC rcache_RetrieveData(Cache *pCache, UINT64 devId, UINT16 devGenNum, UINT64 lba, UINT32 sizeInLb,
                           UINT64 obfuscationKey, NetSmallIov *pIov, NetSmallIov *pIovDif, RdIoFlags rdIoFlags,
                           BOOL *pbIsCoalesced);
void rcache_CompleteBufferUsage(Cache *pCache, UINT64 devId, UINT16 devGenNum, UINT64 lba, UINT32 sizeInLb,
                                const NetSmallIov *pIov);
// Invalidates the range widened to whole pages (any LB and size).
Mos_RC rcache_Invalidate(Cache *pCache, UINT64 devId, UINT16 devGenNum, UINT64 lba, UINT32 sizeInLb);

// Reports and queries.
void rcache_GetCounters(Cache *pCache, OstrelTgtRsp_RAMCacheCounters *pCounters);
void rcache_Query(MosObj *pObj, const CHAR_A *pName, void *pData);
void rcache_FillQuery(Cache *pCache, RcacheQuery *pQuery);
void rcache_SelfTest(Cache *pCache, UINT32 cmd);
// The same check answered instead of asserted, for a request from outside the process.
BOOL rcache_SelfTestPasses(Cache *pCache, UINT32 cmd);
const CHAR_A *rcache_GetSelfTestCmdDesc(UINT32 cmd);
void rcache_AssertValid(Cache *pCache);
void rcache_FreeT10DifCoalesceBuffer(Cache *pCache, void *pDifBuf);
BOOL rcache_IsT10DifCoalesceUsed(Cache *pCache);
// Sends the owed report (if any) and waits for the Ostrel's answer.
void rcache_SendCacheStateToOstrel(Cache *pCache);
// Starts a report in the background unless one is in flight.
void rcache_UpdateOstrelOnCacheState(Cache *pCache);
