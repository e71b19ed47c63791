// The SSE4.2 `crc32` instruction methods. Only these functions are compiled for the instructions
// they use, so the rest of the library still runs on a processor without them.
//
// A single chain of `crc32` instructions is bound by its latency (one 8-byte step every three
// cycles), so inputs of 64 bytes and more are folded by carry-less multiplication instead, in
// several independent lanes. Data is loaded little-endian: bit i of a 16-byte block is the
// coefficient of x^(127-i) of the block's polynomial B, the first 8 bytes holding the high-degree
// half L and the next 8 the low half H. Moving B forward by D bits is B * x^D = L * x^(D+64) +
// H * x^D (mod P), two 64 x 32-bit products that fit into the next block, so the block folds into
// the one D bits later. In this bit order the product of a 64-bit half with rev64(x^(n-1) mod P)
// lands exactly as the block polynomial of L * x^n. The last block left is a message whose CRC,
// taken by two `crc32` steps from 0, equals the CRC of everything folded into it; the remaining
// 0 to 15 bytes continue from there.
#include "mos/mos_cpu.h"
#include "mos/mos_crc.h"
#include "mos/mos_crc_intrn.h"

#include <cstring>
#include <immintrin.h>

namespace {

constexpr UINT64 CRC32C_POLY_FULL = 0x11EDC6F41ull; // x^32 + 0x1EDC6F41

// x^n mod P, most significant bit first.
constexpr UINT64 xPowMod(unsigned n)
{
    UINT64 r = 1;
    for (unsigned i = 0; i < n; i++) {
        r <<= 1;
        if (r & (UINT64{1} << 32))
            r ^= CRC32C_POLY_FULL;
    }
    return r;
}

constexpr UINT64 rev64(UINT64 v)
{
    UINT64 r = 0;
    for (int i = 0; i < 64; i++)
        r |= ((v >> i) & 1u) << (63 - i);
    return r;
}

// Multipliers that move the first half (L) and the second half (H) of a block forward D bits.
constexpr UINT64 kL(unsigned d)
{
    return rev64(xPowMod(d + 63));
}
constexpr UINT64 kH(unsigned d)
{
    return rev64(xPowMod(d - 1));
}

#define CRC_FOLD128_TARGET __attribute__((target("sse4.2,pclmul")))
#define CRC_FOLD512_TARGET __attribute__((target("sse4.2,pclmul,avx512f,avx512bw,vpclmulqdq")))

using CrcBulkFunc = UINT32 (*)(UINT32 crc, const void *pData, size_t length);
// The bulk path of the 64-bit method, chosen when the layer starts.
constinit CrcBulkFunc crcBulk_G = mosCrc_CalcCrc32Serial64;

constexpr size_t CRC_FOLD_MIN = 64;

// The multipliers as constants: computing them is a loop of hundreds of steps.
template <unsigned D> struct CrcKeys {
    static constexpr long long l = static_cast<long long>(kL(D));
    static constexpr long long h = static_cast<long long>(kH(D));
};

template <unsigned D> CRC_FOLD128_TARGET inline __m128i crcKeys()
{
    return _mm_set_epi64x(CrcKeys<D>::h, CrcKeys<D>::l);
}

CRC_FOLD128_TARGET inline __m128i crcFold(__m128i a, __m128i k)
{
    return _mm_xor_si128(_mm_clmulepi64_si128(a, k, 0x00), _mm_clmulepi64_si128(a, k, 0x11));
}

CRC_FOLD128_TARGET inline __m128i crcLoad(const UINT8 *p)
{
    return _mm_loadu_si128(reinterpret_cast<const __m128i *>(p));
}

// Folds the remaining whole blocks into acc, then finishes with the instruction over acc and
// the tail.
CRC_FOLD128_TARGET UINT32 crcFinish(__m128i acc, const UINT8 *p, size_t length)
{
    const __m128i k16 = crcKeys<128>();
    for (; length >= 16; p += 16, length -= 16)
        acc = _mm_xor_si128(crcFold(acc, k16), crcLoad(p));
    UINT64 c = _mm_crc32_u64(0, static_cast<UINT64>(_mm_cvtsi128_si64(acc)));
    c = _mm_crc32_u64(c, static_cast<UINT64>(_mm_extract_epi64(acc, 1)));
    return mosCrc_CalcCrc32Serial64(static_cast<UINT32>(c), p, length);
}

CRC_FOLD512_TARGET inline __m512i load(const UINT8 *p)
{
    return _mm512_loadu_si512(p);
}

CRC_FOLD512_TARGET inline __m512i fold(__m512i a, __m512i k)
{
    return _mm512_xor_si512(_mm512_clmulepi64_epi128(a, k, 0x00), _mm512_clmulepi64_epi128(a, k, 0x11));
}

// The same multipliers in every 128-bit lane.
template <unsigned D> CRC_FOLD512_TARGET inline __m512i keys4()
{
    const long long l = CrcKeys<D>::l, h = CrcKeys<D>::h;
    return _mm512_set_epi64(h, l, h, l, h, l, h, l);
}

template <int N> CRC_FOLD512_TARGET inline __m128i lane(__m512i v)
{
    return _mm512_mask_extracti32x4_epi32(_mm_setzero_si128(), 0xF, v, N);
}

} // namespace

// As the CPU layer read it at start-up (FALSE before that layer has run).
BOOL mosCrc_IsHardwareAvailable(void)
{
    MosCpuLayer_Query q;
    mosCpuLayer_GetQuery(&q);
    return q.bIsAvailSSE42;
}

void mosCrcPlat_SelectMethods(void)
{
    MosCpuLayer_Query q;
    mosCpuLayer_GetQuery(&q);
    if (mosCpu_IsAvailVpclmul512() && q.bIsAvailSSE42 && q.bIsAvailPCLMULQDQ)
        crcBulk_G = mosCrc_CalcCrc32Fold512;
    else if (q.bIsAvailSSE42 && q.bIsAvailPCLMULQDQ)
        crcBulk_G = mosCrc_CalcCrc32Fold128;
    else
        crcBulk_G = mosCrc_CalcCrc32Serial64;
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

__attribute__((target("sse4.2"))) UINT32 mosCrc_CalcCrc32Serial64(UINT32 crc, const void *pData, size_t length)
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

CRC_FOLD128_TARGET UINT32 mosCrc_CalcCrc32Fold128(UINT32 crc, const void *pData, size_t length)
{
    const UINT8 *p = static_cast<const UINT8 *>(pData);
    if (length < CRC_FOLD_MIN)
        return mosCrc_CalcCrc32Serial64(crc, p, length);
    // The register's start value joins the first four bytes.
    __m128i x0 = _mm_xor_si128(crcLoad(p), _mm_cvtsi32_si128(static_cast<int>(crc)));
    __m128i x1 = crcLoad(p + 16), x2 = crcLoad(p + 32), x3 = crcLoad(p + 48);
    p += 64;
    length -= 64;
    const __m128i k64 = crcKeys<512>();
    for (; length >= 64; p += 64, length -= 64) {
        x0 = _mm_xor_si128(crcFold(x0, k64), crcLoad(p));
        x1 = _mm_xor_si128(crcFold(x1, k64), crcLoad(p + 16));
        x2 = _mm_xor_si128(crcFold(x2, k64), crcLoad(p + 32));
        x3 = _mm_xor_si128(crcFold(x3, k64), crcLoad(p + 48));
    }
    const __m128i k16 = crcKeys<128>();
    __m128i acc = _mm_xor_si128(crcFold(x0, k16), x1);
    acc = _mm_xor_si128(crcFold(acc, k16), x2);
    acc = _mm_xor_si128(crcFold(acc, k16), x3);
    return crcFinish(acc, p, length);
}

CRC_FOLD512_TARGET UINT32 mosCrc_CalcCrc32Fold512(UINT32 crc, const void *pData, size_t length)
{
    const UINT8 *p = static_cast<const UINT8 *>(pData);
    if (length < 256)
        return mosCrc_CalcCrc32Fold128(crc, p, length);
    __m512i z0 = _mm512_xor_si512(load(p), _mm512_set_epi64(0, 0, 0, 0, 0, 0, 0, static_cast<long long>(crc)));
    __m512i z1 = load(p + 64), z2 = load(p + 128), z3 = load(p + 192);
    p += 256;
    length -= 256;
    const __m512i k256 = keys4<2048>();
    for (; length >= 256; p += 256, length -= 256) {
        z0 = _mm512_xor_si512(fold(z0, k256), load(p));
        z1 = _mm512_xor_si512(fold(z1, k256), load(p + 64));
        z2 = _mm512_xor_si512(fold(z2, k256), load(p + 128));
        z3 = _mm512_xor_si512(fold(z3, k256), load(p + 192));
    }
    const __m512i k64 = keys4<512>();
    __m512i z = _mm512_xor_si512(fold(z0, k64), z1);
    z = _mm512_xor_si512(fold(z, k64), z2);
    z = _mm512_xor_si512(fold(z, k64), z3);
    // The four lanes of z lie 384, 256, 128 and 0 bits before the end.
    const __m512i kLanes = _mm512_set_epi64(0, 0, CrcKeys<128>::h, CrcKeys<128>::l, CrcKeys<256>::h, CrcKeys<256>::l,
                                            CrcKeys<384>::h, CrcKeys<384>::l);
    const __m512i t = fold(z, kLanes);
    __m128i acc = _mm_xor_si128(lane<0>(t), lane<1>(t));
    acc = _mm_xor_si128(acc, lane<2>(t));
    acc = _mm_xor_si128(acc, lane<3>(z));
    return crcFinish(acc, p, length);
}

UINT32 mosCrc_CalcCrc32Hardware64(UINT32 crc, const void *pData, size_t length)
{
    if (length < CRC_FOLD_MIN)
        return mosCrc_CalcCrc32Serial64(crc, pData, length);
    return crcBulk_G(crc, pData, length);
}
