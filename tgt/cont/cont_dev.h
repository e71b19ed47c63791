// Device objects: each block device or preallocated file that the Ostrel gives this server is a
// ContDev, registered under CONT_OBJ_TYPE__DEV by its 64-bit device id and linked into the device
// manager inside the root controller.
//
// Add: a new device is taken only when its header carries no other owner's signature (or a
// take-over is forced); a known device is found through the physical layer's device map by its
// id. The file is opened, its size and sector size checked, and it is handed to the physical
// layer. Every failure after the open closes the file and removes what the physical layer built,
// so a rolled-back add leaves nothing behind. The unused part of a new device's metadata area is
// zeroed later in a thread of its own; a remove aborts that zeroing at its next chunk.
//
// Monitoring: one background scan thread per device walks the device's combs; read and write
// errors are recorded once and reported once (a failed report is repeated at the next error
// call); the long in-flight I/O check reports device state, asks the Ostrel to delay
// reconfiguration, pauses the links at the low threshold and ends in a planned crash or the
// configured action at the high threshold. Everything that leaves the process (reports to the
// Ostrel, pauses of the links, the planned crash, reboot and power-off) goes through
// ContDevMonitorHooks, which tests replace so that nothing of it happens for real.
//
// Strings that come from the Ostrel (device paths) are copied bounded and always end in a NUL
// within their field.
//
// Locks: the manager's fastlock (in devs) guards the list and counts only; passes over all
// devices hold itrRwLock for read and drop the fastlock around each device; a locked destroy and
// the reconfiguration sweep take itrRwLock for write. The disk test state is under the fastlock.
// addRemDevSem serialises device adds and removals (the commands take it).
#pragma once

#include <cstddef>

#include "mos/mos_dlist.h"
#include "mos/mos_ds_hash.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_obj.h"
#include "mos/mos_osc_cnt.h"
#include "mos/mos_ticks.h"
#include "mos/umt/mos_umt_rwlock.h"
#include "mos/umt/mos_umt_semaphore.h"
#include "mos/usr/mos_media.h"
#include "tgt/cont/cont_dev_state.h"
#include "tgt/cont/cont_mngr.h"
#include "tgt/cont/cont_obj.h"
#include "tgt/file/file.h"
#include "tgt/flcache/flcache_drv.h"
#include "tgt/phy/phy_dev.h"
#include "tgt/phy/tgt_bwc.h"

struct Cont;

#define CONT_DEV__PATH_LEN 64u
#define CONT_DEV__MD_AREA_LBS 2097152ull // the 1 GB metadata area (1024 teeth)
#define CONT_DEV__ZERO_CHUNK_LBS 2048u
#define CONT_DEV__EMPTY_BUFF_SIZE 8192u
#define CONT_DEV__SECTOR_SIZE 512u
#define CONT_DEV__SCAN_SLEEP_MS 1000u
#define CONT_DEV__DELAY_RECONFIG_SEC 2u
#define CONT_DEV__MAX_DISK_TESTS 2u
#define CONT_DEV__DISK_TEST_MAX_IO_LBS 2048u
#define CONT_DEV__DISK_TEST_RESULT_SIZE 48u
#define CONT_DEV__NO_LIMIT 0xFFFFFFFFu

// Message types of the reports to the Ostrel.
#define CONT_DEV__MSG_DEVICE_ERROR 1003u
#define CONT_DEV__MSG_DEVICE_STATE 1009u
#define CONT_DEV__MSG_DELAY_RECONFIG 1010u

// tgt_dev__long_inflight_ios_error_action values.
#define CONT_DEV__LONG_IO_ACTION_RECORD_ONLY 50u
#define CONT_DEV__LONG_IO_ACTION_REBOOT 200u
#define CONT_DEV__LONG_IO_ACTION_POWEROFF 300u

enum TgtBackgroundScanFlavor : UINT32 {
    TGT_SCAN_FLAVOR__INVALID = 0,
    TGT_SCAN_FLAVOR__OFF = 1,
    TGT_SCAN_FLAVOR__READ = 2,
    TGT_SCAN_FLAVOR__READ_AND_COMPARE = 3,
    TGT_SCAN_FLAVOR__LAST = 4,
};

struct TgtBackgroundScanInfo {
    UINT32 flavor; // TgtBackgroundScanFlavor
    UINT32 scanBWLimitKb;
};
static_assert(sizeof(TgtBackgroundScanInfo) == 8);

struct ContDevState {
    UINT32 bDeviceReadError : 1;
    UINT32 bDeviceWriteError : 1;
    UINT32 bDeviceErrorNotifyNeeded : 1;
};

// The device's bandwidth windows.
#define CONT_GLB_BWC__NUM_IO_PAIRS 15u
struct ContGlbBwc {
    TgtBwc ioBwc[CONT_GLB_BWC__NUM_IO_PAIRS][2];
    TgtBwc bmBwc;
    TgtBwc dbmWriteBwc;
    TgtBwc unifiedDbmBwc;
};

struct ContDev {
    ContGlbBwc devBwc;
    UINT64 devId; // TgtDevId
    BOOL bRemInProg;
    MosHash_Record hashRecord;
    ContObjLock accessLock;
    MosObj sdbgObj;
    MosDList_Node listNode;
    File file;
    PhyDev *pPhyDev; // null until the add succeeded, null again after a failed add
    BOOL bMark;
    ContDevState deviceErrorState; // under the device's errFastlock
    BOOL bAbortScan;
    MosDList_Anchor combAnchor; // the combs placed on this device
    MosFastlock_Base addRemCombFastlock;
    TgtBackgroundScanFlavor scanFlavor;
    MosUmt_Sem waitForScanToEndSem;
    MosUmt_Sem scanSleepSem;
    Cont *pCont;
    UINT64 combIdInScan; // CombId
    MosOscCnt_Counter longIoOscCnt;
    MosOscCnt_Counter longSuccessfulIoOscCnt;
    MosMedia_Metadata devMetadata;
    BOOL bValidateHeaderScannerInProgress;
    // Beyond the object's published fields: the lock of deviceErrorState, whether the scan
    // thread runs, and whether the device is a flash-cache source.
    MosFastlock_Base errFastlock;
    BOOL bScanThreadStarted;
    BOOL bFlcacheSource;
};

// Where the monitoring reaches outside the process. Null members keep the server's own behaviour.
struct ContDevMonitorHooks {
    // A request of one record to the Ostrel: the Ostrel's code or a failure of the send.
    Mos_RC (*pSendRequest)(Cont *pCont, UINT32 msgType, const void *pRec, UINT32 len);
    // Pause the networking, the connectivity monitor and keep-alive (the low threshold).
    void (*pPauseLinks)(Cont *pCont);
    void (*pPauseKeepAlive)(Cont *pCont);
    // Pause networking only (before a planned crash).
    void (*pPauseNet)(Cont *pCont);
    // The planned crash; the server's never returns, a test's may.
    void (*pPlannedCrash)(const char *pDesc);
    // Runs a shell command ("reboot -f", "/sbin/poweroff -f"): MOS_RC__SUCCESS when it ran.
    Mos_RC (*pRunCommand)(const char *pCmd);
    // Sleeps one tick of the 1-second timer queue.
    void (*pSleepOneSec)(void);
    // The age in ms of the device's oldest in-flight I/O (0 when unknown); null: the file's.
    UINT64 (*pInflightMillis)(ContDev *pDev);
};
void contDev_SetMonitorHooks(const ContDevMonitorHooks *pHooks);
// The planned crash through the hooks: the server's ends the process (exit code 254).
void contDev_PlannedCrash(const char *pDesc);

// How the scan thread reaches the combs on a device's list (registered by the comb objects).
struct ContDevCombHooks {
    UINT64 (*pCombIdOfNode)(MosDList_Node *pNode);
    // Counted acquire by id: the comb's node on its device's list, null when absent.
    MosDList_Node *(*pAcquireComb)(Cont *pCont, UINT64 combId);
    void (*pReleaseComb)(Cont *pCont, UINT64 combId);
    // Scans the comb against its partner copy (bCompare: also compare the data).
    void (*pScanComb)(Cont *pCont, MosDList_Node *pNode, BOOL bCompare);
};
void contDev_SetCombHooks(const ContDevCombHooks *pHooks);

#pragma pack(push, 1)
// 1003: a device error.
struct OstrelTgtReq_DeviceError {
    UINT64 devId;
    UINT32 bReadError;
    UINT32 bWriteError;
};

// 1009: a device's state.
struct OstrelTgtReq_UpdateDevStateExt {
    UINT64 devId;
    UINT32 devType;
    OstrelTgt_FileState fileState;
    UINT8 zeroPad[36];
};

// 1010: delay the reconfiguration.
struct OstrelTgtReq_DelayTgtReconfig {
    UINT64 tgtId;
    UINT32 timeToDelayInSec;
    UINT8 zeroPad[52];
};

// One device's latencies.
struct OstrelTgtRsp_DevLatencyBwc {
    UINT32 maxPathLen;
    CHAR_A path[CONT_DEV__PATH_LEN];
    UINT64 devId;
    MosBWC_QueryWindow readSize;
    MosBWC_QueryWindow readLatency;
    MosBWC_QueryWindow writeSize;
    MosBWC_QueryWindow writeLatency;
    UINT64 sampleGrn;
};

// One device's capacity.
struct OstrelTgtRsp_DevCapacity {
    UINT64 devId;
    UINT64 totalSizeInLbs;
    UINT64 numOfTeeth;
    UINT64 usedTeeth;
};

// One result of the disk test.
struct ContDevDiskTestResult {
    UINT64 devId;
    UINT32 testNum;
    UINT32 pattern;
    UINT64 durationMs;
    UINT64 numOfIos;
    UINT64 totalLbs;
    UINT32 rc;
    UINT32 pad;
};

// The head of the disk test reply.
struct ContDevDiskTestRspHead {
    UINT32 numOfDevs;
    UINT32 resultSize; // CONT_DEV__DISK_TEST_RESULT_SIZE
};

// The head of the capacity reply.
struct ContDevCapacityRspHead {
    UINT32 numOfDevs;
    UINT32 entrySize; // 32
};

// One device's I/O windows (the 2036 answer's element and a part of the counters record).
struct OstrelTgtRsp_DevIoBwc {
    MosBWC_QueryWindow primaryWrites;
    MosBWC_QueryWindow primaryReads;
    MosBWC_QueryWindow primaryReadsFromDev;
    MosBWC_QueryWindow primaryReadsFromRamCache;
    MosBWC_QueryWindow secondaryWrites;
    MosBWC_QueryWindow secondaryReads;
    MosBWC_QueryWindow secondaryReadsFromDev;
    MosBWC_QueryWindow secondaryReadsFromRamCache;
    MosBWC_QueryWindow zeroFormatWrites;
    MosBWC_QueryWindow migrationWrites;
    MosBWC_QueryWindow migrationReads;
    MosBWC_QueryWindow fwdRebuildWrites;
    MosBWC_QueryWindow fwdRebuildReads;
    MosBWC_QueryWindow bckRebuildWrites;
    MosBWC_QueryWindow bckRebuildReads;
    MosBWC_QueryWindow normRebuildWrites;
    MosBWC_QueryWindow normRebuildReads;
    MosBWC_QueryWindow dirtyBmWrites;
    MosBWC_QueryWindow dirtyBmUnified;
    UINT32 localDiskFixes;
};

struct OstrelTgt_DevLatencyBwcInfo {
    MosBWC_QueryWindow readSize;
    MosBWC_QueryWindow readLatency;
    MosBWC_QueryWindow writeSize;
    MosBWC_QueryWindow writeLatency;
    UINT64 sampleGrn;
};

struct OstrelTgt_DevThrottlingCounters {
    UINT32 rebuildWaitingCnt;
    UINT32 rebalanceWaitingCnt;
};

struct TgtBackgroundScanCounters {
    UINT32 scanCompareErrors;
    UINT32 MBsScanned;
};

// One device's part of the server counters record.
struct OstrelTgtRsp_DevCounters {
    UINT64 devId;
    OstrelTgtRsp_DevIoBwc devBwc;
    OstrelTgt_DevLatencyBwcInfo devLatencyBwc;
    OstrelTgt_DevThrottlingCounters devThrottlingCnt;
    UINT32 fixedReadErrorsCount;
    TgtBackgroundScanCounters scanCounter;
    TgtFlcacheSourceDeviceCounters flcacheCounter;
    UINT8 padding[268];
};

// One device's media metadata for the Ostrel.
struct ContDevMetadata {
    UINT64 devId;
    MosMedia_ConstMetadata constMetadata;
    MosMedia_InfrequentMetadata infrequentMetadata;
    UINT8 padding[256];
};

// One entry of the destination bandwidth limits.
struct OstrelTgt_DeviceDestRebBwLimits {
    UINT64 devId;
    UINT32 rebuildDestBwLimitInLBs;
    UINT32 rebalanceDestBwLimitInLBs;
};

// The debug query of a device.
struct ContDevQuery {
    UINT64 devId;
    UINT32 bHasPhyDev;
    UINT32 deviceErrorState;
    PhyDevQuery phyDev;
    TgtFlcacheSourceDeviceCounters flcacheSource; // zero while the flash read cache is off
};
#pragma pack(pop)
static_assert(sizeof(OstrelTgtReq_DeviceError) == 16);
static_assert(offsetof(OstrelTgtReq_DeviceError, bWriteError) == 12);
static_assert(sizeof(OstrelTgtReq_UpdateDevStateExt) == 128);
static_assert(offsetof(OstrelTgtReq_UpdateDevStateExt, fileState) == 12);
static_assert(offsetof(OstrelTgtReq_UpdateDevStateExt, zeroPad) == 92);
static_assert(sizeof(OstrelTgtReq_DelayTgtReconfig) == 64);
static_assert(offsetof(OstrelTgtReq_DelayTgtReconfig, zeroPad) == 12);
static_assert(sizeof(MosBWC_QueryWindow) == 20);
static_assert(sizeof(OstrelTgtRsp_DevLatencyBwc) == 164);
static_assert(offsetof(OstrelTgtRsp_DevLatencyBwc, devId) == 68);
static_assert(offsetof(OstrelTgtRsp_DevLatencyBwc, readSize) == 76);
static_assert(offsetof(OstrelTgtRsp_DevLatencyBwc, readLatency) == 96);
static_assert(offsetof(OstrelTgtRsp_DevLatencyBwc, writeSize) == 116);
static_assert(offsetof(OstrelTgtRsp_DevLatencyBwc, writeLatency) == 136);
static_assert(offsetof(OstrelTgtRsp_DevLatencyBwc, sampleGrn) == 156);
static_assert(sizeof(OstrelTgtRsp_DevCapacity) == 32);
static_assert(sizeof(ContDevDiskTestResult) == CONT_DEV__DISK_TEST_RESULT_SIZE);
static_assert(sizeof(ContDevDiskTestRspHead) == 8);
static_assert(sizeof(OstrelTgtRsp_DevIoBwc) == 384);
static_assert(offsetof(OstrelTgtRsp_DevIoBwc, dirtyBmUnified) == 360);
static_assert(offsetof(OstrelTgtRsp_DevIoBwc, localDiskFixes) == 380);
static_assert(sizeof(OstrelTgt_DevLatencyBwcInfo) == 88);
static_assert(sizeof(OstrelTgtRsp_DevCounters) == 1024);
static_assert(offsetof(OstrelTgtRsp_DevCounters, devLatencyBwc) == 392);
static_assert(offsetof(OstrelTgtRsp_DevCounters, devThrottlingCnt) == 480);
static_assert(offsetof(OstrelTgtRsp_DevCounters, fixedReadErrorsCount) == 488);
static_assert(offsetof(OstrelTgtRsp_DevCounters, scanCounter) == 492);
static_assert(offsetof(OstrelTgtRsp_DevCounters, flcacheCounter) == 500);
static_assert(offsetof(OstrelTgtRsp_DevCounters, padding) == 756);
static_assert(sizeof(ContDevMetadata) == 1144);
static_assert(sizeof(OstrelTgt_DeviceDestRebBwLimits) == 16);

// The arguments of one device add (the command element's values).
struct ContDevAddArgs {
    UINT64 devId;
    const CHAR_A *pPath; // bounded by CONT_DEV__PATH_LEN: must hold a NUL within it
    BOOL bRefresh;
    BOOL bMemDrl;
    UINT64 snapReservedTeeth;
    BOOL bDevZeroPadEnabled;
    BOOL bChecksumEnabled;
    BOOL bNew;
    BOOL bForceDeviceTakeover;
    BOOL bUseCache;
    UINT32 ramcacheWriteMode;
    const PhyDevThrottlingInfo *pThrottlingInfo;
    TgtBackgroundScanInfo scanInfo;
    const MosOscCnt_CounterParams *pOscCntParams; // two: types 26 and 27
    BOOL bUseFlcache;
};

// --- The manager ---------------------------------------------------------------------------

// Every device must have been destroyed.
void contDevMngr_Destroy(ContDevMngr *pDevMngr);
// Under the manager's lock: contDev_Init, then the device joins the list's end.
void contDevMngr_DevInit(ContDevMngr *pDevMngr, ContDev *pDev, UINT64 devId, TgtBackgroundScanFlavor scanFlavor,
                         const MosOscCnt_CounterParams *pOscCntParams);
// Unlinks (under itrRwLock for write when bLock) and destroys the device, ending its scan thread.
void contDevMngr_DevDestroy(ContDevMngr *pDevMngr, ContDev *pDev, BOOL bLock);
UINT32 contDevMngr_GetDevCount(ContDevMngr *pDevMngr);

// Reconfiguration sweep.
void contDevMngr_MarkAllDevs(ContDevMngr *pDevMngr);
void contDevMngr_StartCombLoop(ContDevMngr *pDevMngr);
void contDevMngr_FinishCombLoop(ContDevMngr *pDevMngr);
// The first marked device after pDev (from the head when null), or null.
ContDev *contDevMngr_GetNextMarkedNode(ContDevMngr *pDevMngr, ContDev *pDev);

// --- One device: add and remove --------------------------------------------------------------

void contDev_Init(Cont *pCont, ContDev *pDev, UINT64 devId, TgtBackgroundScanFlavor scanFlavor,
                  const MosOscCnt_CounterParams *pOscCntParams);
void contDev_Destroy(ContDev *pDev);

// The device object is registered (add started) when this is called. Outputs: the maximum
// numbers of combs and teeth the device holds (0 on failure).
Mos_RC contDev_Add(Cont *pCont, ContDev *pDev, const CHAR_A *pPath, UINT32 *pNumOfCombs, UINT64 *pNumOfTeeth,
                   BOOL bMemDrl, UINT64 snapReservedTeeth, BOOL bDevZeroPadEnabled, BOOL bChecksumEnabled, BOOL bNew,
                   BOOL bForceDeviceTakeover, BOOL bUseCache, UINT32 ramcacheWriteMode,
                   const PhyDevThrottlingInfo *pThrottlingInfo, UINT32 scanBWLimitKb, BOOL bUseFlcache);
Mos_RC contDev_AddIntern(Cont *pCont, ContDev *pDev, const CHAR_A *pPath, UINT32 *pNumOfCombs, UINT64 *pNumOfTeeth,
                         BOOL bMemDrl, UINT64 snapReservedTeeth, BOOL bDevZeroPadEnabled, BOOL bChecksumEnabled,
                         BOOL bNew, BOOL bUseCache, UINT32 ramcacheWriteMode,
                         const PhyDevThrottlingInfo *pThrottlingInfo, UINT32 scanBWLimitKb, BOOL bUseFlcache);
// Whether the header at pPath is free for a new object of objDevType with that id (the
// signature table); also used by the flash-cache devices.
Mos_RC contDev_ValidateNoOtherSignatures(Cont *pCont, UINT64 tgtDevId, const CHAR_A *pPath,
                                         BOOL bForceDeviceTakeover, ContObjType objDevType);
BOOL contDev_CheckIfSigMatches(Cont *pCont, UINT64 tgtDevId, const CHAR_A *pPath);
// Re-add of a device that already has an object.
BOOL contDev_ValidateIfNeeded(Cont *pCont, ContDev *pDev, const CHAR_A *pPath, BOOL bRefresh);
BOOL contDev_CheckDevAfterError(ContDev *pDev);
// Zeroes the unused metadata area and marks the header; MOS_RC__ERROR when a remove aborted it.
Mos_RC contDev_MakeDevOperaional(Cont *pCont, UINT64 devId, ContDev *pDev);
// Body of the delayed-zeroing thread; always MOS_RC__SUCCESS.
Mos_RC contDev_MakeDevOperaionalDelayedZeroing(Cont *pCont, UINT64 devId);
// Starts the delayed zeroing of the device in a thread of its own (none once the manager stopped).
void contDev_StartDelayedZeroing(Cont *pCont, UINT64 devId);
BOOL contDev_IsDeviceZeroingDone(ContDev *pDev);
void contDev_PrepareRem(Cont *pCont, ContDev *pDev);
BOOL contDev_Rem(Cont *pCont, ContDev *pDev);
Mos_RC contDev_ValidateBmWorkMode(ContDev *pDev, BOOL bMemDrl);
void contDev_GetMaxNumOfCombs(ContDev *pDev, UINT32 *pNumOfCombs, UINT64 *pNumOfTeeth);
UINT64 contDev_GetTgtDevId(ContDev *pDev);
const CHAR_A *contDev_GetDevPath(ContDev *pDev);
// Copies the path into a buffer of CONT_DEV__PATH_LEN characters (always NUL-terminated).
void contDev_CopyDevPath(ContDev *pDev, CHAR_A *pOut);

// The whole add of one device as a command runs it: registry add, object, contDev_Add, add-done
// or roll-back (a failed add leaves nothing registered and nothing open). Existing ids are
// re-validated (MOS_RC__ALREADY_EXISTS on success). *pbNeedMDZeroing: start the delayed zeroing.
Mos_RC contDev_AddOne(Cont *pCont, const ContDevAddArgs *pArgs, UINT32 *pNumOfCombs, UINT64 *pNumOfTeeth,
                      BOOL *pbNeedMDZeroing);
// Removes the device by id: MOS_RC__SUCCESS, MOS_RC__NOT_FOUND, or MOS_RC__ERROR when the physical
// layer refused (the device stays registered with bRemInProg set). bRollback: the undo of a failed
// add (the physical layer holds nothing). bLock: take itrRwLock for the unlink.
Mos_RC contDev_RemById(Cont *pCont, UINT64 devId, BOOL bRollback, BOOL bLock);
// Counted references through the registry.
ContDev *cont_AcquireContDev(Cont *pCont, UINT64 devId);
void cont_ReleaseContDev(Cont *pCont, UINT64 devId);

// --- Monitoring ------------------------------------------------------------------------------

void contDev_BackgroundScan(void *pArg);
// MOS_RC__INVALID_ARG (nothing changed) for a flavor outside 1 to 3: the value is the Ostrel's.
Mos_RC contDev_UpdateDevScanConf(ContDev *pDev, const TgtBackgroundScanInfo *pScanInfo);
void contDev_SetCombIdInScan(ContDev *pDev, UINT64 combId);
BOOL contDev_IsInWriteError(ContDev *pDev);
BOOL contDev_IsDeviceInError(ContDev *pDev);
// Records errors (FILE__DEV_ERROR_READ, FILE__DEV_ERROR_WRITE) and reports new ones: the report's
// code, or 0 when nothing was to be reported.
Mos_RC contDev_UpdateDeviceError(ContDev *pDev, Cont *pCont, UINT32 flags);
Mos_RC contDev_SendDeviceError(ContDev *pDev, Cont *pCont, BOOL bReadError, BOOL bWriteError);
Mos_RC contDev_SendDelayReconfig(Cont *pCont, UINT32 timeToDelayInSec);
void contDev_LongIoOscOccurrence(ContDev *pDev);
void contDev_LongSuccessfulIoOscOccurrence(ContDev *pDev);

void contDevMngr_CheckLongInflightIos(ContDevMngr *pDevMngr, BOOL bForce);
BOOL contDevMngr_IsLongIoInProgress(ContDevMngr *pDevMngr, GenericFilter *pDeviceFilter);
void contDevMngr_HandleLongInflightIoViolation(Cont *pCont, ContDev *pDev, UINT64 millisInflight, BOOL bIsLowThresh);
void contDevMngr_UpdateLongInflightTime(ContDevMngr *pDevMngr);
BOOL contDev_GetDeviceState(ContDev *pDev, OstrelTgtReq_UpdateDevStateExt *pDeviceState, UINT64 *pMillisInflight);
void contDev_ClearDeviceStateGapCounters(ContDev *pDev, UINT64 updateGenNum, BOOL bForce);

void contDevMngr_ValidateDevHeader(Cont *pCont, ContDevMngr *pDevMngr, UINT64 tgtId);
void contDevMngr_ThreadedValidateDevHeader(void *pArg);

// Disk test: MOS_RC__SUCCESS (started, or queued as the second test), MOS_RC__ALREADY_EXISTS while
// one runs, MOS_RC__INVALID_ARG for a request outside its limits (one or two sets, at least one
// device, patterns 1 to 4, I/O size at most 2048 LB, not both limits 0).
Mos_RC contDevMngr_DiskTest(ContDevMngr *pDevMngr, const ContDevDiskTestDev *pDevTestArr, UINT32 numOfDevs,
                            const ContDevDiskTestParam *pTestsParam, UINT32 numOfTests, BOOL bSync);
void contDevMngr_DiskTest_Async(void *pArg);
// MOS_RC__RETRY while a test runs; else the reply (head and two results per device) in pRes,
// which holds sizeof(ContDevDiskTestRspHead) + 2 * 48 * numOfDevs bytes.
Mos_RC contDevMngr_GetDiskTest(ContDevMngr *pDevMngr, const ContDevDiskTestDev *pDevTestArr, UINT32 numOfDevs,
                               void *pRes);
BOOL contDevMngr_IsDiskTestInProg(ContDevMngr *pDevMngr);

// One device's latency windows and path.
void contDev_GetLatencyBwc(ContDev *pDev, OstrelTgtRsp_DevLatencyBwc *pOut);
// Queries over all devices. Each writes at most maxDevs entries and returns how many.
UINT32 contDevMngr_GetTgtDevLatencyBwc(ContDevMngr *pDevMngr, OstrelTgtRsp_DevLatencyBwc *pOut, UINT32 maxDevs);
UINT32 contDevMngr_GetTgtDevCapacity(ContDevMngr *pDevMngr, OstrelTgtRsp_DevCapacity *pOut, UINT32 maxDevs);
UINT32 contDevMngr_GetPaths(ContDevMngr *pDevMngr, UINT64 *pDevIds, CHAR_A (*pPaths)[CONT_DEV__PATH_LEN],
                            UINT32 maxDevs);
// FALSE when the harden failed on a device that holds combs.
BOOL contDevMngr_HardenDevToothMaps(ContDevMngr *pDevMngr);
void contDevMngr_UpdateDrlModeOnAll(ContDevMngr *pDevMngr, BOOL bMemDrl);
void contDevMngr_SetFileMaxInflight(ContDevMngr *pDevMngr, UINT32 maxInflight);
void contDevMngr_UpdateDevThrottlingConfForAllDevices(ContDevMngr *pDevMngr, PhyDevThrottlingInfo *pInfo);
// pIoBwc and pDevIds: maxDevs entries each.
UINT32 contDevMngr_GetTgtDevIoBwc(ContDevMngr *pDevMngr, OstrelTgtRsp_DevIoBwc *pIoBwc, UINT64 *pDevIds,
                                  UINT32 maxDevs);
UINT32 contDevMngr_GetTgtDevCounters(ContDevMngr *pDevMngr, OstrelTgtRsp_DevCounters *pOut, UINT32 maxDevs);
UINT32 contDevMngr_GetMetadata(ContDevMngr *pDevMngr, ContDevMetadata *pOut, UINT32 maxDevs);
// MOS_RC__SUCCESS, or MOS_RC__NOT_FOUND when any listed device is unknown (the others are set).
Mos_RC contDevMngr_SetRebuildRebalanceDestLimits(Cont *pCont, const OstrelTgt_DeviceDestRebBwLimits *pEntries,
                                                 UINT32 numOfEntries);
// Each known listed device takes the setting; unknown ids are skipped.
void contDevMngr_UpdateDevRamcacheUse(Cont *pCont, const UINT64 *pDevIds, UINT32 numDevs, BOOL bUseCache);
void contDevMngr_UpdateDevRamcacheWriteMode(Cont *pCont, const UINT64 *pDevIds, UINT32 numDevs, UINT32 mode);
void contDevMngr_UpdateDevT10DIFNonPersistentMode(Cont *pCont, const UINT64 *pDevIds, UINT32 numDevs,
                                                  UINT32 bEnable);

// Oscillation counters of types 26 and 27: a reset, or the three windows set. MOS_RC__INVALID_ARG
// (nothing changed) for another type or a window the counter refuses: the values are the Ostrel's.
Mos_RC contDev_UpdateOscCounter(ContDev *pDev, MosOscCnt_CounterType type, const MosOscCnt_WindowParams *pParams,
                                BOOL bReset);
// The listed devices (unknown ids skipped), or all of them with bResetAll.
void contDevMngr_UpdateOscCounter(Cont *pCont, const UINT64 *pDevIds, UINT32 numDevs, BOOL bResetAll,
                                  MosOscCnt_CounterType type, const MosOscCnt_WindowParams *pParams, BOOL bReset);
// The counters (two per device) that changed within timeDelta; returns how many were written.
UINT32 contDevMngr_GatherOscCounters(ContDevMngr *pDevMngr, MosOscCnt_QueryCounter *pArray, UINT32 maxCounters,
                                     UINT64 timeDelta);

void contDev_Query(MosObj *pObj, const CHAR_A *pName, void *pData);
