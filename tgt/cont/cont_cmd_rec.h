// The records of the Ostrel's commands that the command door, the add-manager, the
// reconfiguration cycle and the performance parameters read and answer: packed little-endian,
// each as it follows the payload's 8-byte TgtId, every size and offset pinned. Element arrays are
// not members: they follow their head at the head's size, and their count is checked against the
// record's length before any element is read.
#pragma once

#include <cstddef>

#include "mos/mos_osc_cnt.h"
#include "net/net_con.h"

#pragma pack(push, 1)

struct OstrelTgtReq_AddOstrel {
    UINT64 ostrelId;
    UINT64 tgtId;
    UINT32 bForceClean;
    UINT32 bNew;
    UINT32 combSizeInLbs;
    UINT32 rebuildLimitInMBs;
    UINT32 rebalanceLimitInMBs;
    UINT16 ostrelTgtConnectionGenNum;
    UINT32 ioLimitInMBs;
    UINT32 quiesceGeneration;
    UINT32 bQuiesce;
    UINT32 bCacheEnabled;
    UINT32 bCacheFrozen;
    UINT32 cacheSizeInMb;
    UINT32 numIoBuffs;
    UINT32 keepaliveTimeoutMs;
};

struct OstrelTgtRsp_AddOstrel {
    UINT32 bReconfigDoneReceived;
    UINT32 bIsVmware;
    UINT32 cacheSizeLimitInMb;
    UINT32 bTgtAfterRestart;
};

struct OstrelTgtRsp_GetVer {
    UINT32 version;
    UINT32 maxVersionLen;
    CHAR_A verString[50];
};

struct OstrelTgtRsp_GetTgtProp {
    UINT64 ostrelId;
    UINT64 tgtId;
};

// RECONF_START, RECONF_DONE, CLEAN_UP.
struct OstrelTgtReq_Reconf {
    UINT16 ostrelTgtConnectionGenNum;
};

// The head of the group commands of peers (2005), volumes (2007), volume trees (2023) and heads
// (2040).
struct OstrelTgtReq_GroupHead {
    UINT32 numOf;
    UINT32 structSize;
    UINT32 bReconfigInProgress;
    UINT16 ostrelTgtConnectionGenNum;
};

struct OstrelTgtReq_AddTgt {
    UINT64 tgtId;
    UINT16 hostGenNum;
    NetCon_RemoteHosts hosts;
};

// Followed, after all n volumes, by n BOOL bUseCache in the same order.
struct OstrelTgtReq_AddVol {
    UINT64 volId;
    UINT64 volGenNum;
    UINT64 scsiGenNum;
    UINT64 vtreeId;
    UINT32 vtoId;
    UINT32 bQuiesced;
    UINT64 reserverKey;
    UINT32 bTeachAboutScsiGen;
};

struct OstrelTgtReq_AddVtree {
    UINT64 vtreeId;
    UINT64 encryption;
    UINT32 currentSnapTime;
    UINT32 bThin;
};

struct OstrelTgtReq_UpdateMultiHead {
    UINT32 mhId;
    UINT32 combBmMaxLen;
    UINT32 vtreeBmMaxLen;
    UINT8 usageBM[128];
    UINT64 capChangeGen;
    UINT64 usageMap[1024];
};

struct OstrelTgtReq_AddDevArr {
    UINT32 numOfDevs;
    UINT32 devStructSize;
    UINT32 bReconfigInProgress;
    UINT16 ostrelTgtConnectionGenNum;
    UINT32 bUpdateDevicePath;
};

struct OstrelTgtThrottlingInfo {
    UINT32 rebuildConcurrentIOLimit;
    UINT32 rebalanceConcurrentIOLimit;
    UINT32 rebuildBWLimitKB;
    UINT32 rebalanceBWLimitKB;
    UINT32 rebuildQuietPeriodMs;
    UINT32 rebalanceQuietPeriodMs;
    UINT32 rebuildAppIopsPerDeviceThreshold;
    UINT32 rebalanceAppIopsPerDeviceThreshold;
    UINT32 rebuildAppBwPerDeviceThresholdKB;
    UINT32 rebalanceAppBwPerDeviceThresholdKB;
};

struct OstrelTgtReq_AddDev {
    UINT64 devId;
    UINT32 bRefresh;
    UINT32 bNew;
    UINT32 bMemDrl;
    UINT64 snapReservedTeeth;
    UINT32 pathMaxLen;
    CHAR_A path[64];
    UINT32 bUseCache;
    UINT32 bDevZeroPadEnabled;
    OstrelTgtThrottlingInfo throttlingInfo;
    UINT32 ramcacheWriteMode;
    UINT32 scanFlavor;
    UINT32 scanBWLimitKb;
    UINT32 bChecksumEnabled;
    MosOscCnt_CounterParams devLongIOsCntrParams;
    MosOscCnt_CounterParams devLongSuccessfulIOsCntrParams;
    UINT32 bUseFlcache;
    UINT32 bForceDeviceTakeover;
    UINT32 bIsLedOn;
    UINT8 zeroPad[60];
};

struct OstrelTgtRsp_AddDevArr {
    UINT32 numOfDevs;
    UINT32 addDevStructSize;
};

struct OstrelTgtRsp_AddDev {
    UINT64 devId;
    UINT64 numOfTeeth;
    UINT32 specRc;
    UINT32 pathMaxLen;
    CHAR_A path[64];
};

struct OstrelTgtReq_AddCombProt {
    UINT64 raidTgtId;
    UINT32 raidState;
    UINT32 raidType;
};

struct OstrelTgtReq_AddCombArr {
    UINT32 numOfCombs;
    UINT32 addCombStructSize;
    UINT32 bReconfigInProgress;
    UINT32 bForceReconfig;
    UINT16 ostrelTgtConnectionGenNum;
};

struct OstrelTgtReq_AddComb {
    UINT64 devId;
    UINT64 combId;
    UINT64 primaryTgtGenNum;
    UINT32 combState;
    UINT16 tgtCombCmdGenNum;
    UINT8 bHasMig;
    UINT8 numOfRaidProtElem;
    OstrelTgtReq_AddCombProt raidArray[3];
    UINT8 bIsMigrateComb;
    UINT8 bAdded;
    UINT8 bNew;
    UINT8 pad[21];
};

struct Tgt_PerformanceParamsV200 {
    UINT8 numOfSocketsPerIpPellarToPellar;
    UINT8 numOfSocketsPerIpOstrelToPellar;
    UINT32 keepaliveTimeMs;
    UINT8 numNetWorkerThreads;
    UINT32 recvBufferInKb;
    UINT32 sendBufferInKb;
    UINT32 maxReqPerAsyncFile;
    UINT16 threadIniIo;
    UINT16 threadTgtIoMain;
    UINT16 threadTgtIoCopy;
    UINT16 threadCopyIo;
    UINT8 umtOsThrds;
    UINT8 numIoBuffs;
    UINT16 totalUmts;
    UINT16 netAllocRcvBufferWaitMillis;
    UINT16 netBreakDoIOLoop;
    UINT8 reserved; // the record is 36 bytes
};

struct OstrelTgtReq_UpdatePerfParams {
    Tgt_PerformanceParamsV200 perfParams;
    UINT32 bReconfigInProgress;
    UINT16 ostrelTgtConnectionGenNum;
};


struct OstrelTgtReq_UpdateThrottleConf {
    UINT32 numDevs;
    UINT32 devStructSize;
    UINT16 ostrelTgtConnectionGenNum;
};

struct OstrelTgt_DevThrottleConf {
    UINT64 devId;
    OstrelTgtThrottlingInfo throttleConf;
};

#pragma pack(pop)

static_assert(sizeof(OstrelTgtReq_AddOstrel) == 70);
static_assert(offsetof(OstrelTgtReq_AddOstrel, ostrelTgtConnectionGenNum) == 36);
static_assert(offsetof(OstrelTgtReq_AddOstrel, ioLimitInMBs) == 38);
static_assert(offsetof(OstrelTgtReq_AddOstrel, keepaliveTimeoutMs) == 66);
static_assert(sizeof(OstrelTgtRsp_AddOstrel) == 16);
static_assert(sizeof(OstrelTgtRsp_GetVer) == 58);
static_assert(sizeof(OstrelTgtRsp_GetTgtProp) == 16);
static_assert(sizeof(OstrelTgtReq_Reconf) == 2);
static_assert(sizeof(OstrelTgtReq_GroupHead) == 14);
static_assert(offsetof(OstrelTgtReq_GroupHead, ostrelTgtConnectionGenNum) == 12);
static_assert(sizeof(OstrelTgtReq_AddTgt) == 538);
static_assert(offsetof(OstrelTgtReq_AddTgt, hosts) == 10);
static_assert(sizeof(OstrelTgtReq_AddVol) == 52);
static_assert(offsetof(OstrelTgtReq_AddVol, reserverKey) == 40);
static_assert(sizeof(OstrelTgtReq_AddVtree) == 24);
static_assert(sizeof(OstrelTgtReq_UpdateMultiHead) == 8340);
static_assert(offsetof(OstrelTgtReq_UpdateMultiHead, capChangeGen) == 140);
static_assert(offsetof(OstrelTgtReq_UpdateMultiHead, usageMap) == 148);
static_assert(sizeof(OstrelTgtReq_AddDevArr) == 18);
static_assert(offsetof(OstrelTgtReq_AddDevArr, bUpdateDevicePath) == 14);
static_assert(sizeof(OstrelTgtReq_AddDev) == 280);
static_assert(offsetof(OstrelTgtReq_AddDev, path) == 32);
static_assert(offsetof(OstrelTgtReq_AddDev, throttlingInfo) == 104);
static_assert(offsetof(OstrelTgtReq_AddDev, ramcacheWriteMode) == 144);
static_assert(offsetof(OstrelTgtReq_AddDev, devLongIOsCntrParams) == 160);
static_assert(offsetof(OstrelTgtReq_AddDev, bUseFlcache) == 208);
static_assert(offsetof(OstrelTgtReq_AddDev, zeroPad) == 220);
static_assert(sizeof(OstrelTgtRsp_AddDev) == 88);
static_assert(sizeof(OstrelTgtReq_AddCombArr) == 18);
static_assert(offsetof(OstrelTgtReq_AddCombArr, ostrelTgtConnectionGenNum) == 16);
static_assert(sizeof(OstrelTgtReq_AddComb) == 104);
static_assert(offsetof(OstrelTgtReq_AddComb, raidArray) == 32);
static_assert(offsetof(OstrelTgtReq_AddComb, bAdded) == 81);
static_assert(sizeof(Tgt_PerformanceParamsV200) == 36);
static_assert(offsetof(Tgt_PerformanceParamsV200, recvBufferInKb) == 7);
static_assert(offsetof(Tgt_PerformanceParamsV200, threadIniIo) == 19);
static_assert(offsetof(Tgt_PerformanceParamsV200, umtOsThrds) == 27);
static_assert(offsetof(Tgt_PerformanceParamsV200, netAllocRcvBufferWaitMillis) == 31);
static_assert(offsetof(Tgt_PerformanceParamsV200, netBreakDoIOLoop) == 33);
static_assert(sizeof(OstrelTgtReq_UpdatePerfParams) == 42);
static_assert(sizeof(OstrelTgtThrottlingInfo) == 40);
static_assert(sizeof(OstrelTgtReq_UpdateThrottleConf) == 10);
static_assert(sizeof(OstrelTgt_DevThrottleConf) == 48);
