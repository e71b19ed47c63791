// CRC-16 T10-DIF by carry-less multiplication.
//
// Three builds of one method, chosen once by the guard layer from the CPU layer's feature bits:
// the legacy SSE encoding for processors without AVX; the same code VEX-encoded, which clears the
// upper vector state on entry so that earlier 256- or 512-bit code cannot slow it down; and,
// where 512-bit carry-less multiplication exists, a bulk fold of 256 bytes per step in four
// 512-bit registers (sixteen lanes) before the 128-bit code finishes.
//
// Data is taken 16 bytes at a time into a register whose bit i is the coefficient of x^i, the
// first byte landing in the top. With P the guard polynomial and A the register, A * x^128 is
// congruent to hi(A) * (x^192 mod P) + lo(A) * (x^128 mod P), two 64 x 16-bit products, so the
// register absorbs the next block without growing ("folding"). Large inputs fold 128 bytes per
// step in eight independent lanes (distance x^1024) to keep the multiplier busy. At the end the
// register times x^16 is reduced to 16 bits: two more folds bring it under 64 bits, and a
// Barrett step with mu = floor(x^64 / P) finishes it exactly.
#include <cstring>
#include <immintrin.h>

#include "mos/mos_cpu.h"
#include "mos/mos_t10dif.h"
#include "mos/mos_t10dif_intrn.h"

namespace {

constexpr UINT32 POLY_FULL = 0x18BB7; // x^16 + 0x8BB7

// x^n mod P.
constexpr UINT64 xPowMod(unsigned n)
{
    UINT32 r = 1;
    for (unsigned i = 0; i < n; i++) {
        r <<= 1;
        if (r & 0x10000u)
            r ^= POLY_FULL;
    }
    return r;
}

// floor(x^64 / P) over GF(2).
constexpr UINT64 barrettMu()
{
    unsigned __int128 rem = static_cast<unsigned __int128>(1) << 64;
    UINT64 q = 0;
    for (int i = 64; i >= 16; i--) {
        if ((rem >> i) & 1u) {
            rem ^= static_cast<unsigned __int128>(POLY_FULL) << (i - 16);
            q |= UINT64{1} << (i - 16);
        }
    }
    return q;
}

constexpr UINT64 K_FOLD16_HI = xPowMod(128 + 64);
constexpr UINT64 K_FOLD16_LO = xPowMod(128);
constexpr UINT64 K_FOLD128_HI = xPowMod(1024 + 64);
constexpr UINT64 K_FOLD128_LO = xPowMod(1024);
constexpr UINT64 K_FOLD64_HI = xPowMod(512 + 64);
constexpr UINT64 K_FOLD64_LO = xPowMod(512);
constexpr UINT64 K_FOLD256_HI = xPowMod(2048 + 64);
constexpr UINT64 K_FOLD256_LO = xPowMod(2048);
constexpr UINT64 K_LANE1_HI = xPowMod(256 + 64);
constexpr UINT64 K_LANE1_LO = xPowMod(256);
constexpr UINT64 K_LANE0_HI = xPowMod(384 + 64);
constexpr UINT64 K_LANE0_LO = xPowMod(384);
constexpr UINT64 K_FINAL_80 = xPowMod(80);
constexpr UINT64 K_FINAL_64 = xPowMod(64);
constexpr UINT64 K_MU = barrettMu();
static_assert(K_MU >> 48 == 1, "mu has degree 48");

// Byte shuffle masks: 16 bytes starting at kShiftTable + 16 - t shift a register up by t bytes
// (zero filled); bytes below t carry the high bit, which the blend below also uses.
alignas(16) constexpr UINT8 kShiftTable[32] = {
    0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
    0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
// 16 bytes starting at kShiftDownTable + 16 - t shift a register down by 16 - t bytes.
alignas(16) constexpr UINT8 kShiftDownTable[32] = {
    0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15,
    0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};

namespace t10sse {
#pragma GCC push_options
#pragma GCC target("pclmul,sse4.1")
#include "mos/linux/crct10dif_pcl_fold.inc"
#pragma GCC pop_options
} // namespace t10sse

namespace t10vex {
#pragma GCC push_options
#pragma GCC target("avx,pclmul")
#include "mos/linux/crct10dif_pcl_fold.inc"
#pragma GCC pop_options
} // namespace t10vex

using T10Func = UINT16 (*)(UINT16 crc, const UINT8 *pBuf, size_t len);
// The build the guard layer chose; the SSE one serves until it runs.
constinit T10Func t10Pcl_G = crc_t10dif_pclSse;

#define T10_ZMM_TARGET __attribute__((target("avx512f,avx512bw,vpclmulqdq,pclmul,avx")))

T10_ZMM_TARGET inline __m512i t10Keys4(UINT64 hi, UINT64 lo)
{
    const long long h = static_cast<long long>(hi), l = static_cast<long long>(lo);
    return _mm512_set_epi64(h, l, h, l, h, l, h, l);
}

T10_ZMM_TARGET inline __m512i t10Load(const UINT8 *p, __m512i rev)
{
    return _mm512_shuffle_epi8(_mm512_loadu_si512(p), rev);
}

T10_ZMM_TARGET inline __m512i t10Fold(__m512i a, __m512i k)
{
    return _mm512_xor_si512(_mm512_clmulepi64_epi128(a, k, 0x11), _mm512_clmulepi64_epi128(a, k, 0x00));
}

template <int N> T10_ZMM_TARGET inline __m128i t10Lane(__m512i v)
{
    return _mm512_mask_extracti32x4_epi32(_mm_setzero_si128(), 0xF, v, N);
}
} // namespace

// As the CPU layer read it at start-up (FALSE before that layer has run). The method also
// shuffles and blends bytes, which every processor with SSE4.2 can.
BOOL crc_t10dif_pcl_IsAvailable(void)
{
    MosCpuLayer_Query q;
    mosCpuLayer_GetQuery(&q);
    return q.bIsAvailPCLMULQDQ && q.bIsAvailSSE42 ? TRUE : FALSE;
}

void mosT10DifPlat_SelectMethods(void)
{
    MosCpuLayer_Query q;
    mosCpuLayer_GetQuery(&q);
    if (mosCpu_IsAvailVpclmul512() && q.bIsAvailAVX)
        t10Pcl_G = crc_t10dif_pclZmm;
    else if (q.bIsAvailAVX)
        t10Pcl_G = crc_t10dif_pclVex;
    else
        t10Pcl_G = crc_t10dif_pclSse;
}

UINT16 crc_t10dif_pcl(UINT16 crc, const UINT8 *pBuf, size_t len)
{
    return t10Pcl_G(crc, pBuf, len);
}

UINT16 crc_t10dif_pclSse(UINT16 crc, const UINT8 *pBuf, size_t len)
{
    return t10sse::guard(crc, pBuf, len);
}

__attribute__((target("avx,pclmul"))) UINT16 crc_t10dif_pclVex(UINT16 crc, const UINT8 *pBuf, size_t len)
{
    // Whatever ran before may have left the upper halves of the vector registers dirty; clearing
    // them keeps the 128-bit instructions from paying for merging them.
    _mm256_zeroupper();
    return t10vex::guard(crc, pBuf, len);
}

T10_ZMM_TARGET UINT16 crc_t10dif_pclZmm(UINT16 crc, const UINT8 *pBuf, size_t len)
{
    _mm256_zeroupper();
    if (len < 512)
        return t10vex::guard(crc, pBuf, len);
    // Every 128-bit lane byte-reversed on its own, as the 128-bit code does per block.
    const __m512i rev = t10Keys4(0x0001020304050607ull, 0x08090A0B0C0D0E0Full);
    const UINT8 *p = pBuf;
    __m512i z0 = _mm512_xor_si512(t10Load(p, rev), _mm512_set_epi64(0, 0, 0, 0, 0, 0,
                                                                      static_cast<long long>(UINT64{crc} << 48), 0));
    __m512i z1 = t10Load(p + 64, rev), z2 = t10Load(p + 128, rev), z3 = t10Load(p + 192, rev);
    p += 256;
    len -= 256;
    const __m512i k256 = t10Keys4(K_FOLD256_HI, K_FOLD256_LO);
    for (; len >= 256; p += 256, len -= 256) {
        z0 = _mm512_xor_si512(t10Fold(z0, k256), t10Load(p, rev));
        z1 = _mm512_xor_si512(t10Fold(z1, k256), t10Load(p + 64, rev));
        z2 = _mm512_xor_si512(t10Fold(z2, k256), t10Load(p + 128, rev));
        z3 = _mm512_xor_si512(t10Fold(z3, k256), t10Load(p + 192, rev));
    }
    const __m512i k64 = t10Keys4(K_FOLD64_HI, K_FOLD64_LO);
    __m512i z = _mm512_xor_si512(t10Fold(z0, k64), z1);
    z = _mm512_xor_si512(t10Fold(z, k64), z2);
    z = _mm512_xor_si512(t10Fold(z, k64), z3);
    // The four lanes of z lie 384, 256, 128 and 0 bits before the end.
    const __m512i kLanes = _mm512_set_epi64(
        0, 0, static_cast<long long>(K_FOLD16_HI), static_cast<long long>(K_FOLD16_LO),
        static_cast<long long>(K_LANE1_HI), static_cast<long long>(K_LANE1_LO), static_cast<long long>(K_LANE0_HI),
        static_cast<long long>(K_LANE0_LO));
    const __m512i t = t10Fold(z, kLanes);
    __m128i acc = _mm_xor_si128(t10Lane<0>(t), t10Lane<1>(t));
    acc = _mm_xor_si128(acc, t10Lane<2>(t));
    acc = _mm_xor_si128(acc, t10Lane<3>(z));
    return t10vex::finish(acc, p, len);
}
