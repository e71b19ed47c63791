// A device of the server with its layout brought to life: format of a new device, reopen of an
// existing one, the header and the scan counters on disk, the comb array, the tooth map and the
// two dirty-region logs, and the switch of the logs between shared memory and disk.
//
// Format writes zeros over the whole metadata area (LB 0 to 409599) and the end pad, builds the
// tooth map and the logs, and writes the header last: a device whose format was cut short has no
// valid header and is formatted again, never taken for ours.
//
// Reopen writes the test block (a read-only device fails there), reads and checks the header
// (signatures, version, comb size, owner), then reads the comb array, tooth map and logs with the
// header's own layout. Every code is the add-device command's: 73 I/O error, 37 validation failed
// (also a tooth map or comb array whose contents are not this program's), 72 size changed,
// 207/208 size out of the configured range, 349 partitioned.
//
// tgt_dev__fix_header restamps a header only when the layout stored in it is the one this device
// would be formatted with; a header with another layout or comb size is left alone (and then
// refused by the normal checks), since restamping it would point every area at the wrong place.
//
// A change of log mode holds both logs' write locks (active first). When the flush or the header
// write of the change fails, memory and device disagree about where the logs live, and the
// process ends with the planned crash "Change BM mode failed due to device error".
//
// Copies to the device (rebuild, rebalance, low priority) are bounded by three semaphores and two
// rate limiters sized from the throttling information the device was added with; the scan limiter
// paces the background scan. Left to other layers: the RAM read-cache hook-up and comb allocation
// in the comb array.
#pragma once

#include "mos/mos_fastlock.h"
#include "mos/mos_limiter.h"
#include "mos/mos_timer.h"
#include "mos/umt/mos_umt_rwlock.h"
#include "mos/umt/mos_umt_semaphore.h"
#include "mos/usr/mos_async_io.h"
#include "tgt/bm/drl.h"
#include "tgt/phy/tgt_bwc.h"
#include "tgt/phy/phy_map.h"
#include "tgt/phy/phy_progress.h"
#include "tgt/phy/phy_tooth_map.h"

struct Cache;
struct Cont;
struct File;


#define PHY_DEV__MBS_SCANNED_HARDEN_EVERY 3000u
#define PHY_DEV__DEV_TYPE_BUF_LBS 8u
// A concurrent-copy limit of 0 from the management side means this many.
#define PHY_DEV__DEFAULT_PARALLEL_LIMIT 1000u

// The throttling of copies to a device as the management side gives it (KB figures are turned
// into LB here); a quiet period of 0 means no silent-window release for that kind of copy.
struct PhyDevThrottlingInfo {
    UINT32 rebuildConcurrentIOLimit = 0;
    UINT32 rebalanceConcurrentIOLimit = 0;
    UINT32 rebuildBWLimitKB = 0;
    UINT32 rebalanceBWLimitKB = 0;
    UINT32 rebuildQuietPeriodMs = 0;
    UINT32 rebalanceQuietPeriodMs = 0;
    UINT32 rebuildAppIopsPerDeviceThreshold = 0;
    UINT32 rebalanceAppIopsPerDeviceThreshold = 0;
    UINT32 rebuildAppBwPerDeviceThresholdKB = 0;
    UINT32 rebalanceAppBwPerDeviceThresholdKB = 0;
};

struct PhyDevRebLimiter {
    MosLimiter limiter;
    UINT32 waitingCnt;           // copies waiting
    UINT32 maxLbsDuringHighPrio; // 0: no limit
    BOOL bSlidingWindowIsUsed;
    BOOL bSlidingWindowInit;
    TgtBwcSlidingWindow slidingWindow;
};

// The device's debug record, filled without a lock.
struct PhyDevQuery {
    UINT64 teethOffsetInLbs;
    UINT32 maxNumOfCombs;
    UINT32 curNumOfCombs;
    UINT32 numOfCombsAddedFromRestart;
    UINT64 totalSizeInLbs;
    UINT64 zeroCount;
    UINT64 zeroIOSize;
    UINT64 zeroOverhead;
    UINT32 combArrayHardens;
    UINT64 combArrayHardenInLbs;
    UINT32 toothArrayHardens;
    UINT64 toothArrayHardenInLbs;
    UINT32 toothArrayHardenMaxInLbs;
    UINT64 currSnapTeeth;
    UINT64 currBaseTeeth;
    UINT64 currThinBaseTeeth;
    UINT64 snapReservedTeeth;
    UINT32 maxNumOfTeeth;
    UINT32 fineDrlGranularity;
    UINT32 fineDrlMaximalNumberOfTeeth;
    UINT32 fineDrlSuccsefullTeethAllocsActive;
    UINT32 fineDrlSuccsefullTeethAllocsRebuild;
    UINT32 fineDrlFailedTeethAllocsActive;
    UINT32 fineDrlFailedTeethAllocsRebuild;
    UINT32 fineDrlCurrentTeethAllocsActive;
    UINT32 fineDrlCurrentTeethAllocsRebuild;
};

// The result of one disk test, kept in one of two history slots.
struct PhyDevTestHistory {
    TgtDevId devId;
    UINT32 testNum;
    UINT32 pattern;
    UINT64 durationMs; // + 1
    UINT64 numOfIos;
    UINT64 totalLbs;
    Mos_RC rc;
};

struct PhyDevBm {
    Drl drl;
    UINT64 dirtyOffset;
    UINT64 dirtySizeInLbs;
    BOOL bEnabled;
};

// The comb array: one 8-byte slot per comb index of the device saying which comb owns it (0 free,
// all ones reserved by an allocation not yet complete), the in-memory node of each index, and the
// combs found at reopen that the management side has not named again (devCombMap). Slots change
// under the device set's fast lock (pFastlock); every allocation, completion and free raises
// devChangeNumber, and a harden writes the whole image and records the change number it copied,
// so a caller hardens only up to the change it made.
struct PhyDevComb {
    PhyDevCombNode *pCombNodeArr;
    MosUmt_RWLock diskRwLock; // serialises writes of the image
    PhyDevCombArrNode *pCombArr; // page-aligned image of the comb array
    File *pFile;
    PhyDevCombMap devCombMap;
    UINT64 mapOffsetInLbs;
    UINT32 mapSizeInLbs;
    UINT64 devChangeNumber;
    UINT64 devHardenChangeNumber; // the change number last written
    UINT32 curNumOfCombs;
    UINT32 maxNumOfCombs;
    UINT32 numOfCombsAddedFromRestart;
    UINT32 nextCombToStartScan;
    UINT32 rebuildScanIndex; // the reopen scan's position
    UINT32 combArrayHardens;
    UINT64 combArrayHardenInLbs;
    MosFastlock_Base *pFastlock; // the device set's, or ownFastlock for a device on its own
    MosFastlock_Base ownFastlock;
    BOOL bInit;
};

struct PhyDev {
    TgtBwc *pDevBwc; // the controller's bandwidth counters of this device
    File *pFile;
    Cont *pCont;
    MosFastlock_Base *pmDevFastlock; // the device set's
    UINT64 teethOffsetInLbs;
    UINT64 totalSizeInLbs; // non-zero: initialised
    UINT64 numOfTeeth;
    UINT32 maxNumOfCombs;
    UINT64 zeroCount;
    UINT64 zeroIOSize;
    UINT64 zeroOverhead;
    PhyDevComb devComb;
    PhyDevHeader header;
    PhyDevBm drls[PHY_DEV_DRL_TYPE__COUNT];
    MosUmt_Sem parallelRebuildToDev;
    MosUmt_Sem parallelRebalanceToDev;
    MosUmt_Sem parallelLowPrioOperationsToDev;
    UINT32 rebuildLimit;
    UINT32 rebalanceLimit;
    UINT32 destRebuildBwLimitLbs;
    UINT32 destRebalanceBwLimitLbs;
    MosFastlock_Base limiterFastLock;
    UINT32 curHighPrioOps;
    UINT64 lastHighPrioTimeStamp;
    PhyDevRebLimiter rebuildLimiter;
    PhyDevRebLimiter rebalanceLimiter;
    BOOL bQaDevError;
    PhyToothMap toothMap;
    BOOL bAbortTest;
    BOOL bDevZeroPadEnabled;
    BOOL bChecksumEnabled;
    BOOL bZeroingInProgress;
    UINT32 localDiskFixesCounter;
    BOOL bUseCache;
    UINT32 ramcacheWriteMode;
    UINT16 ramcacheGenNum; // raised each time the device leaves the RAM read cache
    Cache *pRcache;        // the RAM read cache of cached reads (null: none)
    PhyDevTestHistory testHistory[2];
    UINT32 testHistoryIndex;
    MosLimiter scanLimiter;
    UINT32 scanCompareErrorsCounter;
    UINT32 MBsScannedCounter;
    BOOL bRuntimeUp; // semaphores, limiters and lock exist
};

Mos_RC phyDev_Init(PhyDev *pDev, Cont *pCont, File *pFile, UINT64 sizeInLbs, UINT32 dirtyGranularity, TgtId tgtId,
                   TgtDevId devId, BOOL bMemDrl, BOOL bNew, const PhyDevThrottlingInfo *pThrottlingInfo,
                   BOOL bQaDevError, BOOL bDevZeroPadEnabled, BOOL bChecksumEnabled, MosFastlock_Base *pmDevFastlock,
                   TgtBwc *pDevBwc, PhyAddDevProgress *pProgress, BOOL bUseCache, UINT32 ramcacheWriteMode,
                   UINT32 scanBWLimitKb);
BOOL phyDev_Destroy(PhyDev *pDev);
BOOL phyDev_IsInitialized(const PhyDev *pDev);

Mos_RC phyDev_WriteHeader(PhyDev *pDev, const PhyDevHeader *pHeader);
Mos_RC phyDev_ReadHeader(PhyDev *pDev, PhyDevHeader *pHeader);
Mos_RC phyDev_WriteZeroHeaderAndCounters(PhyDev *pDev);
Mos_RC phyDev_Validate(PhyDev *pDev, UINT64 sizeInLbs, UINT32 dirtyGranularity, TgtId tgtId, TgtDevId devId);
Mos_RC phyDev_ValidateDeviceHeader(PhyDev *pDev, TgtId tgtId, TgtDevId devId);

// Reads the ids from the header of the device at pPath without adding it, through the
// controller's asynchronous I/O.
Mos_RC phyDev_ReadDevId(const char *pPath, MosAsyncIO *pAio, TgtDevId *pDevId, TgtId *pTgtId);
void phyDev_Query(PhyDev *pDev, PhyDevQuery *pQuery);

Mos_RC phyDev_ValidateBmWorkMode(PhyDev *pDev, BOOL bMemDrl);
Mos_RC phyDev_ChangeBmWorkMode(PhyDev *pDev, TgtDevId devId, BOOL bMemDrl, PhyDevHeader *pHeader);
BOOL phyDev_CheckDevAfterError(PhyDev *pDev);

// Scan counters (LB 66).
void phyDev_IncreaseScanCompareErrorsCounter(PhyDev *pDev);
void phyDev_ResetCompareErrorsCounter(PhyDev *pDev);
void phyDev_ResetReadErrorFixesCounter(PhyDev *pDev);
// One more tooth of this device rewritten from its partner's copy; written at once.
void phyDev_IncreaseLocalDiskFixesCounter(PhyDev *pDev);
void phyDev_IncreaseMBsScannedCounter(PhyDev *pDev);
void phyDev_GetScanCounters(PhyDev *pDev, UINT32 *pCompareErrors, UINT32 *pMBsScanned);

// Tooth map and comb array. The tooth operations forward one to one to the device's map; a
// freed tooth is always freed as part of its comb's tooth list.
PhyToothIndex phyDev_AllocTooth(PhyDev *pDev);
PhyToothIndex phyDev_AllocToothAndUpdate(PhyDev *pDev, CombId combId, UINT32 toothInComb, VtoId vtoId, UINT32 time,
                                         PhyToothList *pToothList, BOOL bThin, BOOL *out_pbIsFirstTooth);
BOOL phyDev_UpdateTooth(PhyDev *pDev, CombId combId, UINT32 toothInComb, VtoId vtoId, UINT32 time,
                        PhyToothList *pToothList, PhyToothIndex toothIndex, BOOL bThin, BOOL bForce,
                        BOOL bLeaveRemainder, BOOL *out_pbIsFirstTooth, UINT32 *pMapUpdate);
void phyDev_RollbackUpdateTooth(PhyDev *pDev, CombTId combTId, PhyToothList *pToothList, PhyToothIndex toothIndex);
void phyDev_AllocToothSpecific(PhyDev *pDev, CombId combId, PhyToothList *pToothList, PhyToothIndex toothIndex,
                               BOOL bThin, BOOL *out_pbIsNewTooth);
void phyDev_FreeTooth(PhyDev *pDev, CombTId combTId, PhyToothList *pToothList, PhyToothIndex toothIndex,
                      BOOL bValidate, BOOL *out_isLastTooth);
BOOL phyDev_HardenToothArr(PhyDev *pDev, UINT32 mapUpdate);
BOOL phyDev_HardenCombArr(PhyDev *pDev, BOOL bForce, UINT32 mapUpdate);
// A forced harden of the tooth map and comb array in its own user-mode thread; the device set's
// action semaphore is raised when it ends.
struct PhyDevHardenJob {
    PhyDev *pDev;
    UINT32 mapUpdate;
    MosUmt_Sem *pActionSem;
    BOOL bOk;
};
void phyDev_HardenAllCombArr_Async(void *pJob);
UINT64 phyDev_GetCombNode(PhyDev *pDev, PhyDevAddr devAddr, UINT64 *pOffsetInComb);
UINT32 phyDev_GetMaxNumOfCombs(PhyDev *pDev);

// Comb-array slots (phy_dev_comb.cpp), all under the comb array's fast lock.
// FALSE when every slot is used; else the first free slot from nextCombToStartScan on, reserved.
BOOL phyDevComb_Alloc(PhyDevComb *pDevComb, UINT32 *pCombIndex);
// The reserved slot takes the comb id; returns the change number to harden up to.
UINT64 phyDevComb_AllocDone(PhyDevComb *pDevComb, UINT32 combIndex, CombId combId);
UINT64 phyDevComb_PartialAllocDone(PhyDevComb *pDevComb);
// Clears the slot (it must hold combId or be reserved) and frees the teeth still on its node.
void phyDevComb_Free(PhyDev *pDev, UINT32 combIndex, CombId combId);
// The reopen scan over an array with no comb counted: each slot holding a comb counts it.
void phyDevComb_RebuildStart(PhyDevComb *pDevComb);
BOOL phyDevComb_RebuildGetNext(PhyDevComb *pDevComb, UINT32 *pCombIndex, CombId *pCombId);
// Writes the image unless (not forced) changeNumber is already on the device; TRUE on success.
BOOL phyDevComb_Harden(PhyDevComb *pDevComb, BOOL bForce, UINT64 changeNumber);
// FALSE (nothing done) while combs are counted.
BOOL phyDevComb_Destroy(PhyDevComb *pDevComb);
// Builds the array of a device being added: a new device writes the zero image, an existing one
// reads it (reserved slots become free; a slot naming no comb refuses the device). The I/O's
// code, or MOS_RC__TGT_ADD_DEVICE_VALIDATION_FAILED.
Mos_RC phyDevComb_Init(PhyDevComb *pDevComb, File *pFile, const PhyDevOffsets &o, BOOL bNew,
                       MosFastlock_Base *pFastlock, PhyAddDevProgress *pProgress);
// Frees the array whatever it holds (the device goes).
void phyDevComb_DestroyArr(PhyDevComb *pDevComb);

// The log of drlType; each is skipped with a true result when the log is not enabled.
BOOL phyDev_IsClean(PhyDev *pDev, UINT32 drlType, UINT64 offsetInLbs);
BOOL phyDev_IsAllDirty(PhyDev *pDev, UINT32 drlType, UINT64 offsetInLbs, UINT64 sizeInLbs, UINT32 *pGranularity);
BOOL phyDev_IsAllClean(PhyDev *pDev, UINT32 drlType, UINT64 offsetInLbs, UINT64 sizeInLbs);
BOOL phyDev_SetDirty(PhyDev *pDev, UINT32 drlType, UINT64 offsetInLbs, UINT64 sizeInLbs, BOOL bHarden,
                     UINT32 offsetInToothLbs, BOOL bIsFine);
BOOL phyDev_ResetDirty(PhyDev *pDev, UINT32 drlType, UINT64 offsetInLbs, UINT64 sizeInLbs, BOOL bHarden);
BOOL phyDev_ResetFineDirty(PhyDev *pDev, UINT32 drlType, UINT64 offsetInLbs, UINT64 sizeInLbs,
                           UINT32 offsetInToothLbs);
// Copies the fine state of region `key` from one log to the other.
BOOL phyDev_CopyBits(PhyDev *pDev, UINT32 srcType, UINT32 destType, UINT32 key, UINT32 fineDrlNumBits);
BOOL phyDev_FlushBm(PhyDev *pDev, UINT32 drlType);
void phyDev_LockDrl(PhyDev *pDev);
void phyDev_UnlockDrl(PhyDev *pDev);

// Settings.
// The device joins or leaves the RAM read cache; leaving drops its cached pages (new generation).
void phyDev_UpdateDevRamcacheUse(PhyDev *pDev, BOOL bUseCache);
void phyDev_UpdateDevRamcacheWriteMode(PhyDev *pDev, UINT32 ramcacheWriteMode);
Mos_RC phyDev_UpdateT10DIFNonPersistent(PhyDev *pDev, UINT32 bEnable);
void phyDev_SetFileMaxInflight(PhyDev *pDev, UINT32 maxInflight);
void phyDev_SetFile(PhyDev *pDev, File *pFile);
void phyDev_SetDestBwLimits(PhyDev *pDev, UINT32 rebuildBwLimitKb, UINT32 rebalanceBwLimitKb);
UINT32 phyDev_GetLbsPerRebJob(PhyDev *pDev, BOOL bRebuild);
