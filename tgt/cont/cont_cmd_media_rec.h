// The records of the Ostrel's media metadata queries, as they follow the payload's 8-byte TgtId:
// packed little-endian, every size and offset pinned.
#pragma once

#include <cstddef>

#include "mos/usr/mos_media.h"

#pragma pack(push, 1)

// Followed by the device, RAID-controller and flash-cache arrays, each left out when empty.
struct OstrelTgtRsp_QueryDevMetadata {
    UINT16 numDevs;
    UINT16 numRaidCtrls;
    UINT16 numFlcacheDevs;
    UINT8 padding[64];
};

struct OstrelTgtReq_QueryDevAdvancedMetadata {
    UINT16 ostrelTgtConnectionGenNum;
    UINT64 devId;
    UINT8 padding[24];
};

struct OstrelTgtRsp_QueryDevAdvancedMetadata {
    UINT64 devId;
    MosMedia_FrequentMetadata advancedMetadata;
    UINT8 padding[256];
};

#pragma pack(pop)

static_assert(sizeof(OstrelTgtRsp_QueryDevMetadata) == 70);
static_assert(sizeof(OstrelTgtReq_QueryDevAdvancedMetadata) == 34);
static_assert(sizeof(OstrelTgtRsp_QueryDevAdvancedMetadata) == 4424 &&
              offsetof(OstrelTgtRsp_QueryDevAdvancedMetadata, padding) == 4168);
