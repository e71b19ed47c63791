// The records of the Ostrel's device, cache and limit setting commands, as they follow the
// payload's 8-byte TgtId: packed little-endian, every size and offset pinned.
#pragma once

#include <cstddef>

#include "tgt/cont/cont_dev.h"

#pragma pack(push, 1)

struct OstrelTgtReq_UpdateDRLInfo {
    UINT16 ostrelTgtConnectionGenNum;
    UINT32 bMemDRL;
};

struct OstrelTgtReq_SetNetLimit {
    UINT16 ostrelTgtConnectionGenNum;
    UINT32 rebuildNetLimitMB;
    UINT32 rebalanceNetLimitMB;
    UINT32 ioNetLimitMB;
};

struct OstrelTgt_DevCapacityRsrv {
    UINT64 tgtDevId;
    UINT64 snapReservedTeeth;
};

struct OstrelTgtRsp_UpdateDevSnapCapLimit {
    UINT32 numDevs;
    UINT32 devStructSize;
};

struct OstrelTgt_DevRC {
    UINT64 tgtDevId;
    UINT32 rc;
};

struct OstrelTgt_DevScanConf {
    UINT64 devId;
    TgtBackgroundScanInfo scanInfo;
    UINT32 bResetCompareCounter;
    UINT32 bResetReadErrorCounter;
};

struct OstrelTgtReq_SetRebuildRebalanceDestLimits {
    UINT16 ostrelTgtConnectionGenNum;
    UINT32 sizeofDeviceDestRebBwLimits;
    UINT32 perDeviceDestRebBwLimitsOffset;
    UINT32 devicesToUpdateNum;
};

#pragma pack(pop)

static_assert(sizeof(OstrelTgtReq_UpdateDRLInfo) == 6);
static_assert(sizeof(OstrelTgtReq_SetNetLimit) == 14);
static_assert(sizeof(OstrelTgt_DevCapacityRsrv) == 16);
static_assert(sizeof(OstrelTgt_DevRC) == 12);
static_assert(sizeof(OstrelTgt_DevScanConf) == 24);
static_assert(sizeof(OstrelTgtReq_SetRebuildRebalanceDestLimits) == 14);
static_assert(sizeof(OstrelTgt_DeviceDestRebBwLimits) == 16);
