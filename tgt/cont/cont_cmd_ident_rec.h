// The records of the Ostrel's identity, quiesce and security commands, as they follow the
// payload's 8-byte TgtId: packed little-endian, every size and offset pinned. Volume id arrays
// follow their head at the head's size.
#pragma once

#include <cstddef>

#include "mos/mos_types.h"

#pragma pack(push, 1)

struct OstrelTgtReq_CreateSnapshotStart {
    UINT32 numOfVols;
    UINT16 ostrelTgtConnectionGenNum;
};

struct OstrelTgtReq_CreateSnapshotEnd {
    UINT32 numOfVols;
    UINT16 ostrelTgtConnectionGenNum;
    UINT8 zeroPad[42];
};

// START_QUIESCE and STOP_QUIESCE.
struct OstrelTgtReq_Quiesce {
    UINT32 quiesceGeneration;
    UINT16 ostrelTgtConnectionGenNum;
    UINT32 bMemDRL;
};
using OstrelTgtReq_StartQuiesce = OstrelTgtReq_Quiesce;
using OstrelTgtReq_StopQuiesce = OstrelTgtReq_Quiesce;

struct OstrelTgtRsp_QueryIsQuietAndFlushed {
    UINT32 quiesceGeneration;
    UINT32 bIsQuietAndFlushed;
};

enum TgtSecurity : UINT32 {
    TGT_SECURITY__NONE = 0,
    TGT_SECURITY__OSTREL_TGT_AUTHENTICATION = 1,
};

struct OstrelTgtReq_ConfigSecurity {
    UINT32 bReconfigInProgress;
    UINT16 ostrelTgtConnectionGenNum;
    UINT32 securityMode;
    UINT32 bUseExistingCertificate;
};

struct OstrelTgtReq_GenerateCsr {
    UINT32 bReconfigInProgress;
    UINT16 ostrelTgtConnectionGenNum;
};

// Followed by csrLen bytes of the request's text.
struct OstrelTgtRsp_GenerateCsr {
    UINT32 csrLen;
};

// Followed by certificateLen bytes of the certificate's text.
struct OstrelTgtReq_UpdateCertificate {
    UINT32 bReconfigInProgress;
    UINT16 ostrelTgtConnectionGenNum;
    UINT32 certificateLen;
};

#pragma pack(pop)

static_assert(sizeof(OstrelTgtReq_CreateSnapshotStart) == 6);
static_assert(sizeof(OstrelTgtReq_CreateSnapshotEnd) == 48);
static_assert(sizeof(OstrelTgtReq_Quiesce) == 10 && offsetof(OstrelTgtReq_Quiesce, bMemDRL) == 6);
static_assert(sizeof(OstrelTgtRsp_QueryIsQuietAndFlushed) == 8);
static_assert(sizeof(OstrelTgtReq_ConfigSecurity) == 14 &&
              offsetof(OstrelTgtReq_ConfigSecurity, bUseExistingCertificate) == 10);
static_assert(sizeof(OstrelTgtReq_GenerateCsr) == 6);
static_assert(sizeof(OstrelTgtRsp_GenerateCsr) == 4);
static_assert(sizeof(OstrelTgtReq_UpdateCertificate) == 10);
