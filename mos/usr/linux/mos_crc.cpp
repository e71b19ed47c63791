// The SSE4.2 `crc32` instruction methods. Only these functions are compiled for SSE4.2, so the
// rest of the library still runs on a processor without it.
#include "mos/mos_crc.h"
#include "mos/mos_cpu.h"

#include <cstring>
#include <nmmintrin.h>

// As the CPU layer read it at start-up (FALSE before that layer has run).
BOOL mosCrc_IsHardwareAvailable(void)
{
    MosCpuLayer_Query q;
    mosCpuLayer_GetQuery(&q);
    return q.bIsAvailSSE42;
}

__attribute__((target("sse4.2"))) UINT32 mosCrc_CalcCrc32Hardware32(UINT32 crc, const void *pData, size_t length)
{
    const UINT8 *p = static_cast<const UINT8 *>(pData);
    for (; length >= 4; p += 4, length -= 4) {
        UINT32 w;
        memcpy(&w, p, sizeof(w));
        crc = _mm_crc32_u32(crc, w);
    }
    if (length >= 2) {
        UINT16 h;
        memcpy(&h, p, sizeof(h));
        crc = _mm_crc32_u16(crc, h);
        p += 2;
        length -= 2;
    }
    if (length != 0)
        crc = _mm_crc32_u8(crc, *p);
    return crc;
}

__attribute__((target("sse4.2"))) UINT32 mosCrc_CalcCrc32Hardware64(UINT32 crc, const void *pData, size_t length)
{
    const UINT8 *p = static_cast<const UINT8 *>(pData);
    UINT64 c = crc;
    for (; length >= 8; p += 8, length -= 8) {
        UINT64 w;
        memcpy(&w, p, sizeof(w));
        c = _mm_crc32_u64(c, w);
    }
    // The tail of fewer than 8 bytes is the 4/2/1-byte walk of the 32-bit method.
    return mosCrc_CalcCrc32Hardware32(static_cast<UINT32>(c), p, length);
}
