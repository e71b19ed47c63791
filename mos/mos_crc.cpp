#include "mos/mos_crc.h"
#include "mos/mos_crc_intrn.h"

#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"

namespace {

constexpr UINT32 CRC32C_REFLECTED_POLY = 0x82F63B78u;

using CrcTable = std::array<UINT32, 256>;

constexpr CrcTable crcByteTable()
{
    CrcTable t{};
    for (UINT32 i = 0; i < 256; i++) {
        UINT32 c = i;
        for (int bit = 0; bit < 8; bit++)
            c = (c & 1u) ? (c >> 1) ^ CRC32C_REFLECTED_POLY : c >> 1;
        t[i] = c;
    }
    return t;
}

// Contribution of a byte followed by `zeros` zero bytes.
constexpr CrcTable crcShiftedTable(unsigned zeros)
{
    const CrcTable base = crcByteTable();
    CrcTable t = base;
    for (unsigned k = 0; k < zeros; k++)
        for (UINT32 i = 0; i < 256; i++)
            t[i] = (t[i] >> 8) ^ base[t[i] & 0xFFu];
    return t;
}

inline UINT32 load32(const UINT8 *p)
{
    UINT32 v;
    memcpy(&v, p, sizeof(v));
    return v;
}

} // namespace

alignas(64) constinit const CrcTable mosCrc_CrcTable32 = crcShiftedTable(0);
alignas(64) constinit const CrcTable mosCrc_CrcTable40 = crcShiftedTable(1);
alignas(64) constinit const CrcTable mosCrc_CrcTable48 = crcShiftedTable(2);
alignas(64) constinit const CrcTable mosCrc_CrcTable56 = crcShiftedTable(3);
alignas(64) constinit const CrcTable mosCrc_CrcTable64 = crcShiftedTable(4);
alignas(64) constinit const CrcTable mosCrc_CrcTable72 = crcShiftedTable(5);
alignas(64) constinit const CrcTable mosCrc_CrcTable80 = crcShiftedTable(6);
alignas(64) constinit const CrcTable mosCrc_CrcTable88 = crcShiftedTable(7);
static_assert(crcShiftedTable(0)[1] == 0xF26B8303u);

// Until the layer runs, the portable method serves any early caller.
constinit MosCrc_Layer crcLayer_G = {MOS_CRC__NO_ENFORCEMENT, mosCrc_CalcCrcSlicingBy8Software};

UINT32 mosCrc_CalcCrcSlicingBy8Software(UINT32 crc, const void *pData, size_t length)
{
    const UINT8 *p = static_cast<const UINT8 *>(pData);
    const CrcTable &t0 = mosCrc_CrcTable32;

    while (length != 0 && (reinterpret_cast<uintptr_t>(p) & 3u) != 0) {
        crc = (crc >> 8) ^ t0[(crc ^ *p++) & 0xFFu];
        length--;
    }
    while (length >= 8) {
        const UINT32 lo = crc ^ load32(p);
        const UINT32 hi = load32(p + 4);
        crc = mosCrc_CrcTable88[lo & 0xFFu] ^ mosCrc_CrcTable80[(lo >> 8) & 0xFFu] ^
              mosCrc_CrcTable72[(lo >> 16) & 0xFFu] ^ mosCrc_CrcTable64[lo >> 24] ^
              mosCrc_CrcTable56[hi & 0xFFu] ^ mosCrc_CrcTable48[(hi >> 8) & 0xFFu] ^
              mosCrc_CrcTable40[(hi >> 16) & 0xFFu] ^ t0[hi >> 24];
        p += 8;
        length -= 8;
    }
    while (length-- != 0)
        crc = (crc >> 8) ^ t0[(crc ^ *p++) & 0xFFu];
    return crc;
}

MosCrc_CalcCrc32Func mosCrcLayer_DetectCrc32MethodToUse(UINT32 crcEnforcedMethodToUse)
{
    switch (crcEnforcedMethodToUse) {
    case MOS_CRC__SOFTWARE_ENFORCEMENT:
        return mosCrc_CalcCrcSlicingBy8Software;
    case MOS_CRC__HARDWARE_32_ENFORCEMENT:
        return mosCrc_IsHardwareAvailable() ? mosCrc_CalcCrc32Hardware32 : nullptr;
    case MOS_CRC__HARDWARE_64_ENFORCEMENT:
        return mosCrc_IsHardwareAvailable() ? mosCrc_CalcCrc32Hardware64 : nullptr;
    case MOS_CRC__NO_ENFORCEMENT:
        return mosCrc_IsHardwareAvailable() ? mosCrc_CalcCrc32Hardware64 : mosCrc_CalcCrcSlicingBy8Software;
    default:
        return nullptr;
    }
}

Mos_RC mosCrcLayer_Create(const MosCrc_InitParams *pInitParams)
{
    UINT32 method = MOS_CRC__NO_ENFORCEMENT;
    if (pInitParams != nullptr && pInitParams->crcEnforcedMethodToUse != MOS_CRC__NO_ENFORCEMENT)
        method = pInitParams->crcEnforcedMethodToUse;

    MosCrc_CalcCrc32Func pFunc = mosCrcLayer_DetectCrc32MethodToUse(method);
    if (pFunc == nullptr) {
        // A forced instruction method on a processor without it would fault on first use.
        MOS_ERROR(MOS_COMP_MOS, "CRC method %u cannot be used on this processor (SSE4.2 %d)", method,
                  mosCrc_IsHardwareAvailable());
        return MOS_RC__INVALID;
    }
    if (mosCrc_IsHardwareAvailable())
        mosCrcPlat_SelectMethods();
    crcLayer_G.crcEnforcedMethodToUse = method;
    crcLayer_G.mosCrc_CalcCrc32Ptr = pFunc;
    return MOS_RC__SUCCESS;
}

void mosCrcLayer_Destroy(void) {}

UINT32 mosCrc_CalcCrc32Start(const void *pData, size_t length)
{
    return crcLayer_G.mosCrc_CalcCrc32Ptr(MOS_CRC__INITIAL_VALUE, pData, length);
}

UINT32 mosCrc_CalcCrc32OneBuffer(const void *pData, size_t length)
{
    return crcLayer_G.mosCrc_CalcCrc32Ptr(MOS_CRC__INITIAL_VALUE, pData, length);
}

UINT32 mosCrc_CalcCrc32Update(UINT32 prevCrc, const void *pData, size_t length)
{
    return crcLayer_G.mosCrc_CalcCrc32Ptr(prevCrc, pData, length);
}

BOOL mosCrc_IsCrcValidOneBuffer(UINT32 crc, const void *pBuffer, size_t size)
{
    return mosCrc_CalcCrc32OneBuffer(pBuffer, size) == crc ? TRUE : FALSE;
}
