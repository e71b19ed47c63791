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
// Left to the device set and other layers: the RAM read-cache hook-up, the throttling limiters
// and semaphores, comb allocation in the comb array.
#pragma once

#include "tgt/bm/drl.h"
#include "tgt/phy/phy_map.h"
#include "tgt/phy/phy_progress.h"
#include "tgt/phy/phy_tooth_map.h"

struct Cont;
struct File;

#define PHY_DEV__MBS_SCANNED_HARDEN_EVERY 3000u
#define PHY_DEV__DEV_TYPE_BUF_LBS 8u

struct PhyDevBm {
    Drl drl;
    UINT64 dirtyOffset;
    UINT64 dirtySizeInLbs;
    BOOL bEnabled;
};

struct PhyDevComb {
    PhyDevCombArrNode *pCombArr; // page-aligned image of the comb array
    UINT32 numOfSlots;
    UINT32 sizeInLbs;
    PhyDevCombMap devCombMap;
};

struct PhyDev {
    File *pFile;
    Cont *pCont;
    UINT64 teethOffsetInLbs;
    UINT64 totalSizeInLbs; // non-zero: initialised
    UINT64 numOfTeeth;
    UINT32 maxNumOfCombs;
    PhyDevComb devComb;
    PhyDevHeader header;
    PhyDevBm drls[PHY_DEV_DRL_TYPE__COUNT];
    PhyToothMap toothMap;
    UINT32 localDiskFixesCounter;
    UINT32 scanCompareErrorsCounter;
    UINT32 MBsScannedCounter;
};

Mos_RC phyDev_Init(PhyDev *pDev, Cont *pCont, File *pFile, UINT64 sizeInLbs, UINT32 dirtyGranularity, TgtId tgtId,
                   TgtDevId devId, BOOL bMemDrl, BOOL bNew, PhyAddDevProgress *pProgress);
BOOL phyDev_Destroy(PhyDev *pDev);
BOOL phyDev_IsInitialized(const PhyDev *pDev);

Mos_RC phyDev_WriteHeader(PhyDev *pDev, const PhyDevHeader *pHeader);
Mos_RC phyDev_ReadHeader(PhyDev *pDev, PhyDevHeader *pHeader);
Mos_RC phyDev_WriteZeroHeaderAndCounters(PhyDev *pDev);
Mos_RC phyDev_Validate(PhyDev *pDev, UINT64 sizeInLbs, UINT32 dirtyGranularity, TgtId tgtId, TgtDevId devId);
Mos_RC phyDev_ValidateDeviceHeader(PhyDev *pDev, TgtId tgtId, TgtDevId devId);

Mos_RC phyDev_ValidateBmWorkMode(PhyDev *pDev, BOOL bMemDrl);
Mos_RC phyDev_ChangeBmWorkMode(PhyDev *pDev, TgtDevId devId, BOOL bMemDrl, PhyDevHeader *pHeader);
BOOL phyDev_CheckDevAfterError(PhyDev *pDev);

// Scan counters (LB 66).
void phyDev_IncreaseScanCompareErrorsCounter(PhyDev *pDev);
void phyDev_ResetCompareErrorsCounter(PhyDev *pDev);
void phyDev_ResetReadErrorFixesCounter(PhyDev *pDev);
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
UINT64 phyDev_GetCombNode(PhyDev *pDev, PhyDevAddr devAddr, UINT64 *pOffsetInComb);
UINT32 phyDev_GetMaxNumOfCombs(PhyDev *pDev);

// The log of drlType; each is skipped with a true result when the log is not enabled.
BOOL phyDev_IsClean(PhyDev *pDev, UINT32 drlType, UINT64 offsetInLbs);
BOOL phyDev_IsAllDirty(PhyDev *pDev, UINT32 drlType, UINT64 offsetInLbs, UINT64 sizeInLbs, UINT32 *pGranularity);
BOOL phyDev_IsAllClean(PhyDev *pDev, UINT32 drlType, UINT64 offsetInLbs, UINT64 sizeInLbs);
BOOL phyDev_SetDirty(PhyDev *pDev, UINT32 drlType, UINT64 offsetInLbs, UINT64 sizeInLbs, BOOL bHarden,
                     UINT32 offsetInToothLbs, BOOL bIsFine);
BOOL phyDev_ResetDirty(PhyDev *pDev, UINT32 drlType, UINT64 offsetInLbs, UINT64 sizeInLbs, BOOL bHarden);
BOOL phyDev_ResetFineDirty(PhyDev *pDev, UINT32 drlType, UINT64 offsetInLbs, UINT64 sizeInLbs,
                           UINT32 offsetInToothLbs);
BOOL phyDev_FlushBm(PhyDev *pDev, UINT32 drlType);
void phyDev_LockDrl(PhyDev *pDev);
void phyDev_UnlockDrl(PhyDev *pDev);
