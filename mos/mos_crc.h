// CRC-32C (Castagnoli) of data-path payloads. The register starts at all ones and is returned
// as is, without the final inversion: callers compare registers, never the inverted form.
#pragma once

#include <array>

#include "mos/mos_rc.h"
#include "mos/mos_types.h"

enum MosCrc_CrcInitLayerValue : UINT32 {
    MOS_CRC__NO_ENFORCEMENT = 0,
    MOS_CRC__SOFTWARE_ENFORCEMENT = 1,
    MOS_CRC__HARDWARE_32_ENFORCEMENT = 2,
    MOS_CRC__HARDWARE_64_ENFORCEMENT = 3,
};

struct MosCrc_InitParams {
    UINT32 crcEnforcedMethodToUse; // MosCrc_CrcInitLayerValue
};

typedef UINT32 (*MosCrc_CalcCrc32Func)(UINT32 crc, const void *pData, size_t length);

struct MosCrc_Layer {
    UINT32 crcEnforcedMethodToUse; // MosCrc_CrcInitLayerValue
    MosCrc_CalcCrc32Func mosCrc_CalcCrc32Ptr;
};

extern MosCrc_Layer crcLayer_G;

#define MOS_CRC__INITIAL_VALUE 0xFFFFFFFFu

// Table k maps a byte to its contribution when k further zero bytes follow it.
extern const std::array<UINT32, 256> mosCrc_CrcTable32;
extern const std::array<UINT32, 256> mosCrc_CrcTable40;
extern const std::array<UINT32, 256> mosCrc_CrcTable48;
extern const std::array<UINT32, 256> mosCrc_CrcTable56;
extern const std::array<UINT32, 256> mosCrc_CrcTable64;
extern const std::array<UINT32, 256> mosCrc_CrcTable72;
extern const std::array<UINT32, 256> mosCrc_CrcTable80;
extern const std::array<UINT32, 256> mosCrc_CrcTable88;

// Start-up layer: a null or zero method chooses by processor features.
Mos_RC mosCrcLayer_Create(const MosCrc_InitParams *pInitParams);
void mosCrcLayer_Destroy(void);
MosCrc_CalcCrc32Func mosCrcLayer_DetectCrc32MethodToUse(UINT32 crcEnforcedMethodToUse);

UINT32 mosCrc_CalcCrc32Start(const void *pData, size_t length);
UINT32 mosCrc_CalcCrc32OneBuffer(const void *pData, size_t length);
UINT32 mosCrc_CalcCrc32Update(UINT32 prevCrc, const void *pData, size_t length);
BOOL mosCrc_IsCrcValidOneBuffer(UINT32 crc, const void *pBuffer, size_t size);

UINT32 mosCrc_CalcCrcSlicingBy8Software(UINT32 crc, const void *pData, size_t length);
// The instruction methods need SSE4.2; mosCrc_IsHardwareAvailable tells whether it is there.
UINT32 mosCrc_CalcCrc32Hardware32(UINT32 crc, const void *pData, size_t length);
UINT32 mosCrc_CalcCrc32Hardware64(UINT32 crc, const void *pData, size_t length);
BOOL mosCrc_IsHardwareAvailable(void);
