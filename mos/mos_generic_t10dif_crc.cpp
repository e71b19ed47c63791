#include "mos/mos_t10dif.h"

namespace {

constexpr UINT16 T10DIF_POLY = 0x8BB7;

constexpr std::array<UINT16, 256> t10difTable()
{
    std::array<UINT16, 256> t{};
    for (UINT32 i = 0; i < 256; i++) {
        UINT16 c = static_cast<UINT16>(i << 8);
        for (int bit = 0; bit < 8; bit++)
            c = (c & 0x8000u) ? static_cast<UINT16>((c << 1) ^ T10DIF_POLY) : static_cast<UINT16>(c << 1);
        t[i] = c;
    }
    return t;
}

} // namespace

alignas(64) constinit const std::array<UINT16, 256> mos_generic_t10dif_crc_lookup_tbl = t10difTable();

// One byte per step; no length limit, so it can stand in for the fast method on any buffer.
UINT16 mos_generic_t10dif_crc(UINT16 crc, const UINT8 *pBuf, size_t len)
{
    for (size_t i = 0; i < len; i++)
        crc = static_cast<UINT16>((crc << 8) ^ mos_generic_t10dif_crc_lookup_tbl[((crc >> 8) ^ pBuf[i]) & 0xFFu]);
    return crc;
}
