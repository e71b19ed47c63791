// The records of the Ostrel's query, test and counter commands, as they follow the payload's
// 8-byte TgtId, and the two answers built by the command module itself (server counters and
// oscillation counters): packed little-endian, every size and offset pinned.
#pragma once

#include <cstddef>

#include "mos/mos_osc_cnt.h"
#include "tgt/cont/cont_dev.h"
#include "tgt/flcache/flcache_drv.h"
#include "tgt/rcache/rcache.h"

// The room of the oscillation counters answer.
#define MOS_OSC_CNT__MAX_COUNTERS_PER_TGT 4165u
// The oscillation counter types a server owns (peers, devices, the controller).
#define NUM_TGT_OSC_CNT_TYPES 13u
#define CONT_CMD__MAX_FLCACHE_DEVS 8u

#pragma pack(push, 1)

struct OstrelTgtReq_NetTest {
    UINT32 parallelIOs;
    UINT32 networkTestSizeGb;
    UINT32 networkTestLengthMilli;
};

// Followed by numDevs ContDevDiskTestDev (12 bytes) and numTestsPerDev parameter sets (16 bytes).
struct OstrelTgtReq_StartDevTest {
    UINT32 numDevs;
    UINT32 devTestStructSize;
    UINT32 numTestsPerDev;
    UINT32 devParamsStructSize;
    UINT16 ostrelTgtConnectionGenNum;
};

struct OstrelTgtReq_DevTestParams {
    UINT32 pattern;
    UINT32 ioSizeKB;
    UINT32 totalIoSizeMB;
    UINT32 limitInSeconds;
};

// Followed by numDevs ContDevDiskTestDev.
struct OstrelTgtReq_QueryDevTest {
    UINT32 numDevs;
    UINT32 devTestStructSize;
    UINT16 ostrelTgtConnectionGenNum;
};

struct OstrelTgtReq_DevBwc {
    UINT64 devId;
};

struct OstrelTgtReq_OscCounterParams {
    UINT32 counterType;
    MosOscCnt_CounterParams counterParams;
    UINT32 shouldReset;
};

// Followed by numDevs device ids.
struct OstrelTgtReq_UpdateOscCounter {
    UINT16 ostrelTgtConnectionGenNum;
    UINT32 bReconfigInProgress;
    UINT32 numDevs;
    UINT32 resetAllCntrs;
    UINT16 numCntrs;
    OstrelTgtReq_OscCounterParams cntrParams[NUM_TGT_OSC_CNT_TYPES];
};

struct OstrelTgtReq_GetOscCounter {
    UINT16 ostrelTgtConnectionGenNum;
    UINT64 timeDeltaInMillis;
};

// Followed by numOscCnts MosOscCnt_QueryCounter.
struct OstrelTgtRsp_GetOscCounters {
    UINT32 numOscCnts;
};

enum TgtSelfTestCmd : UINT32 {
    TGT_SELF_TEST_CMD__RCACHE = 0,
    TGT_SELF_TEST_CMD__MEM_POOL_STATE = 1,
    TGT_SELF_TEST_CMD__LAST = 2,
};

enum TgtSelfTestPool : UINT32 {
    TGT_SELF_TEST_POOL__NONE = 0,
    TGT_SELF_TEST_POOL__NET_BUF_PRI = 1,
    TGT_SELF_TEST_POOL__NET_BUF_SEC = 2,
    TGT_SELF_TEST_POOL__MSG_CTX = 16,
    TGT_SELF_TEST_POOL__ALL = 255,
    TGT_SELF_TEST_POOL__LAST = 256,
};

struct TgtSelfTestCmdParam_MemPoolState {
    UINT32 unusedMask;
    UINT32 emptyMask;
};

struct TgtRCacheSelfTestParam {
    UINT32 cmd;
};

struct OstrelTgtReq_SelfTest {
    UINT32 cmd;
    union {
        TgtRCacheSelfTestParam rcache;
        TgtSelfTestCmdParam_MemPoolState memPoolState;
    } u;
};

// Followed by numDevs OstrelTgtRsp_DevCounters.
struct OstrelTgtRsp_TgtCounters {
    OstrelTgtRsp_RAMCacheCounters cacheCounters;
    OstrelTgtRsp_FlcachePoolCounters flcachePoolCounters;
    UINT32 numDevs;
    UINT32 devStructSize;
    UINT32 numFlcacheDevs;
    OstrelTgtRsp_FlcacheDevCounters flcacheDevCounters[CONT_CMD__MAX_FLCACHE_DEVS];
};

// The head of the device latency (2030) and device I/O (2036) answers.
struct OstrelTgtRsp_TgtDevHead {
    UINT8 numDevs;
    UINT32 entrySize;
};

// The head of the peers' answers (2033).
struct OstrelTgtRsp_GetNetTest {
    UINT32 numTgts;
    UINT32 netTestStructSize;
};

#pragma pack(pop)

static_assert(sizeof(OstrelTgtReq_NetTest) == 12);
static_assert(sizeof(OstrelTgtReq_StartDevTest) == 18);
static_assert(sizeof(OstrelTgtReq_DevTestParams) == 16 && sizeof(ContDevDiskTestParam) == 16);
static_assert(sizeof(OstrelTgtReq_QueryDevTest) == 10);
static_assert(sizeof(OstrelTgtReq_OscCounterParams) == 32);
static_assert(sizeof(OstrelTgtReq_UpdateOscCounter) == 432 && offsetof(OstrelTgtReq_UpdateOscCounter, cntrParams) == 16);
static_assert(sizeof(OstrelTgtReq_GetOscCounter) == 10);
static_assert(sizeof(OstrelTgtReq_SelfTest) == 12);
static_assert(sizeof(OstrelTgtRsp_TgtCounters) == 1540 && offsetof(OstrelTgtRsp_TgtCounters, numDevs) == 376 &&
              offsetof(OstrelTgtRsp_TgtCounters, flcacheDevCounters) == 388);
static_assert(sizeof(OstrelTgtRsp_TgtDevHead) == 5);
