// CRC-16 T10-DIF by carry-less multiplication.
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

#define PCL_TARGET __attribute__((target("pclmul,sse4.1")))

PCL_TARGET inline __m128i byteReverse()
{
    return _mm_set_epi8(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15);
}

PCL_TARGET inline __m128i loadBlock(const UINT8 *p, __m128i rev)
{
    return _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(p)), rev);
}

// a * x^distance, folded to 80 bits with k = (x^(distance+64) mod P, x^distance mod P).
PCL_TARGET inline __m128i fold(__m128i a, __m128i k)
{
    return _mm_xor_si128(_mm_clmulepi64_si128(a, k, 0x11), _mm_clmulepi64_si128(a, k, 0x00));
}

// (a * x^16) mod P.
PCL_TARGET inline UINT16 reduce(__m128i a)
{
    // a * x^16 = hi * x^80 + lo * x^16; result below 80 bits.
    __m128i t = _mm_xor_si128(_mm_clmulepi64_si128(a, _mm_cvtsi64_si128(static_cast<long long>(K_FINAL_80)), 0x01),
                              _mm_slli_si128(_mm_move_epi64(a), 2));
    // The 16 bits above x^64 fold once more, leaving a 64-bit value.
    const __m128i top = _mm_srli_si128(t, 8);
    const UINT64 v = static_cast<UINT64>(_mm_cvtsi128_si64(t)) ^
                     static_cast<UINT64>(_mm_cvtsi128_si64(
                         _mm_clmulepi64_si128(top, _mm_cvtsi64_si128(static_cast<long long>(K_FINAL_64)), 0x00)));
    // Barrett: q = floor(floor(v / x^16) * mu / x^48) is the exact quotient of v / P.
    const __m128i q128 = _mm_srli_si128(_mm_clmulepi64_si128(_mm_cvtsi64_si128(static_cast<long long>(v >> 16)),
                                                             _mm_cvtsi64_si128(static_cast<long long>(K_MU)), 0x00),
                                        6);
    const UINT64 qp = static_cast<UINT64>(_mm_cvtsi128_si64(
        _mm_clmulepi64_si128(q128, _mm_cvtsi64_si128(static_cast<long long>(POLY_FULL)), 0x00)));
    return static_cast<UINT16>((v ^ qp) & 0xFFFFu);
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

PCL_TARGET UINT16 crc_t10dif_pcl(UINT16 crc, const UINT8 *pBuf, size_t len)
{
    if (len < 16) {
        if (len < 2)
            return mos_generic_t10dif_crc(crc, pBuf, len);
        // Zero bytes in front change nothing when the register starts at 0; the starting
        // register is the same as XORing it into the first two bytes.
        alignas(16) UINT8 pad[16] = {};
        memcpy(pad + 16 - len, pBuf, len);
        pad[16 - len] ^= static_cast<UINT8>(crc >> 8);
        pad[16 - len + 1] ^= static_cast<UINT8>(crc);
        return reduce(loadBlock(pad, byteReverse()));
    }

    const __m128i rev = byteReverse();
    const __m128i k16 = _mm_set_epi64x(static_cast<long long>(K_FOLD16_HI), static_cast<long long>(K_FOLD16_LO));
    const __m128i init = _mm_set_epi64x(static_cast<long long>(UINT64{crc} << 48), 0);
    const UINT8 *p = pBuf;
    __m128i acc;

    if (len >= 256) {
        const __m128i k128 =
            _mm_set_epi64x(static_cast<long long>(K_FOLD128_HI), static_cast<long long>(K_FOLD128_LO));
        __m128i x0 = _mm_xor_si128(loadBlock(p, rev), init);
        __m128i x1 = loadBlock(p + 16, rev);
        __m128i x2 = loadBlock(p + 32, rev);
        __m128i x3 = loadBlock(p + 48, rev);
        __m128i x4 = loadBlock(p + 64, rev);
        __m128i x5 = loadBlock(p + 80, rev);
        __m128i x6 = loadBlock(p + 96, rev);
        __m128i x7 = loadBlock(p + 112, rev);
        p += 128;
        len -= 128;
        while (len >= 128) {
            x0 = _mm_xor_si128(fold(x0, k128), loadBlock(p, rev));
            x1 = _mm_xor_si128(fold(x1, k128), loadBlock(p + 16, rev));
            x2 = _mm_xor_si128(fold(x2, k128), loadBlock(p + 32, rev));
            x3 = _mm_xor_si128(fold(x3, k128), loadBlock(p + 48, rev));
            x4 = _mm_xor_si128(fold(x4, k128), loadBlock(p + 64, rev));
            x5 = _mm_xor_si128(fold(x5, k128), loadBlock(p + 80, rev));
            x6 = _mm_xor_si128(fold(x6, k128), loadBlock(p + 96, rev));
            x7 = _mm_xor_si128(fold(x7, k128), loadBlock(p + 112, rev));
            p += 128;
            len -= 128;
        }
        acc = _mm_xor_si128(fold(x0, k16), x1);
        acc = _mm_xor_si128(fold(acc, k16), x2);
        acc = _mm_xor_si128(fold(acc, k16), x3);
        acc = _mm_xor_si128(fold(acc, k16), x4);
        acc = _mm_xor_si128(fold(acc, k16), x5);
        acc = _mm_xor_si128(fold(acc, k16), x6);
        acc = _mm_xor_si128(fold(acc, k16), x7);
    } else {
        acc = _mm_xor_si128(loadBlock(p, rev), init);
        p += 16;
        len -= 16;
    }

    while (len >= 16) {
        acc = _mm_xor_si128(fold(acc, k16), loadBlock(p, rev));
        p += 16;
        len -= 16;
    }

    if (len != 0) {
        // acc * x^(8t) + tail: the top t bytes of acc move past x^128 and fold; the rest shift
        // up and the tail bytes fill the bottom. The last 16 bytes of the input end with the
        // tail, so one load at p + len - 16 brings it in already placed.
        const __m128i up = _mm_loadu_si128(reinterpret_cast<const __m128i *>(kShiftTable + 16 - len));
        const __m128i down = _mm_loadu_si128(reinterpret_cast<const __m128i *>(kShiftDownTable + 16 - len));
        const __m128i last = loadBlock(p + len - 16, rev);
        const __m128i shifted = _mm_blendv_epi8(_mm_shuffle_epi8(acc, up), last, up);
        acc = _mm_xor_si128(fold(_mm_shuffle_epi8(acc, down), k16), shifted);
    }
    return reduce(acc);
}
