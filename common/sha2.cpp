#include "common/sha2.h"

#include <cpuid.h>
#include <immintrin.h>

#include <cstring>

#include "common/sha2_intrn.h"

#include "mos/mos_dbg.h"

namespace {

constexpr UINT32 kSha256Initial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                      0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};

constexpr UINT64 kSha384Initial[8] = {0xcbbb9d5dc1059ed8ULL, 0x629a292a367cd507ULL, 0x9159015a3070dd17ULL,
                                      0x152fecd8f70e5939ULL, 0x67332667ffc00b31ULL, 0x8eb44a8768581511ULL,
                                      0xdb0c2e0d64f98fa7ULL, 0x47b5481dbefa4fa4ULL};

constexpr UINT64 kSha512Initial[8] = {0x6a09e667f3bcc908ULL, 0xbb67ae8584caa73bULL, 0x3c6ef372fe94f82bULL,
                                      0xa54ff53a5f1d36f1ULL, 0x510e527fade682d1ULL, 0x9b05688c2b3e6c1fULL,
                                      0x1f83d9abfb41bd6bULL, 0x5be0cd19137e2179ULL};

constexpr UINT32 kSha256K[64] = {
    0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
    0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
    0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
    0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
    0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
    0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
    0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
    0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};

constexpr UINT64 kSha512K[80] = {
    0x428a2f98d728ae22ULL, 0x7137449123ef65cdULL, 0xb5c0fbcfec4d3b2fULL, 0xe9b5dba58189dbbcULL,
    0x3956c25bf348b538ULL, 0x59f111f1b605d019ULL, 0x923f82a4af194f9bULL, 0xab1c5ed5da6d8118ULL,
    0xd807aa98a3030242ULL, 0x12835b0145706fbeULL, 0x243185be4ee4b28cULL, 0x550c7dc3d5ffb4e2ULL,
    0x72be5d74f27b896fULL, 0x80deb1fe3b1696b1ULL, 0x9bdc06a725c71235ULL, 0xc19bf174cf692694ULL,
    0xe49b69c19ef14ad2ULL, 0xefbe4786384f25e3ULL, 0x0fc19dc68b8cd5b5ULL, 0x240ca1cc77ac9c65ULL,
    0x2de92c6f592b0275ULL, 0x4a7484aa6ea6e483ULL, 0x5cb0a9dcbd41fbd4ULL, 0x76f988da831153b5ULL,
    0x983e5152ee66dfabULL, 0xa831c66d2db43210ULL, 0xb00327c898fb213fULL, 0xbf597fc7beef0ee4ULL,
    0xc6e00bf33da88fc2ULL, 0xd5a79147930aa725ULL, 0x06ca6351e003826fULL, 0x142929670a0e6e70ULL,
    0x27b70a8546d22ffcULL, 0x2e1b21385c26c926ULL, 0x4d2c6dfc5ac42aedULL, 0x53380d139d95b3dfULL,
    0x650a73548baf63deULL, 0x766a0abb3c77b2a8ULL, 0x81c2c92e47edaee6ULL, 0x92722c851482353bULL,
    0xa2bfe8a14cf10364ULL, 0xa81a664bbc423001ULL, 0xc24b8b70d0f89791ULL, 0xc76c51a30654be30ULL,
    0xd192e819d6ef5218ULL, 0xd69906245565a910ULL, 0xf40e35855771202aULL, 0x106aa07032bbd1b8ULL,
    0x19a4c116b8d2d0c8ULL, 0x1e376c085141ab53ULL, 0x2748774cdf8eeb99ULL, 0x34b0bcb5e19b48a8ULL,
    0x391c0cb3c5c95a63ULL, 0x4ed8aa4ae3418acbULL, 0x5b9cca4f7763e373ULL, 0x682e6ff3d6b2b8a3ULL,
    0x748f82ee5defb2fcULL, 0x78a5636f43172f60ULL, 0x84c87814a1f0ab72ULL, 0x8cc702081a6439ecULL,
    0x90befffa23631e28ULL, 0xa4506cebde82bde9ULL, 0xbef9a3f7b2c67915ULL, 0xc67178f2e372532bULL,
    0xca273eceea26619cULL, 0xd186b8c721c0c207ULL, 0xeada7dd6cde0eb1eULL, 0xf57d4f7fee6ed178ULL,
    0x06f067aa72176fbaULL, 0x0a637dc5a2c898a6ULL, 0x113f9804bef90daeULL, 0x1b710b35131c471bULL,
    0x28db77f523047d84ULL, 0x32caab7b40c72493ULL, 0x3c9ebe0a15c9bebcULL, 0x431d67c49c100d4cULL,
    0x4cc5d4becb3e42b6ULL, 0x597f299cfc657e2aULL, 0x5fcb6fab3ad6faecULL, 0x6c44198c4a475817ULL};

constexpr char kHexDigits[] = "0123456789abcdef";

inline UINT32 rotr32(UINT32 x, unsigned n)
{
    return (x >> n) | (x << (32 - n));
}

inline UINT64 rotr64(UINT64 x, unsigned n)
{
    return (x >> n) | (x << (64 - n));
}

inline UINT32 loadBe32(const sha2_byte *p)
{
    return ((UINT32)p[0] << 24) | ((UINT32)p[1] << 16) | ((UINT32)p[2] << 8) | (UINT32)p[3];
}

inline UINT64 loadBe64(const sha2_byte *p)
{
    return ((UINT64)loadBe32(p) << 32) | loadBe32(p + 4);
}

inline void storeBe32(sha2_byte *p, UINT32 v)
{
    p[0] = (sha2_byte)(v >> 24);
    p[1] = (sha2_byte)(v >> 16);
    p[2] = (sha2_byte)(v >> 8);
    p[3] = (sha2_byte)v;
}

inline void storeBe64(sha2_byte *p, UINT64 v)
{
    storeBe32(p, (UINT32)(v >> 32));
    storeBe32(p + 4, (UINT32)v);
}

// Wipes through a volatile pointer so that the compiler cannot drop the stores of a context that
// is not read again (it may have held key material).
void secureZero(void *p, size_t len)
{
    volatile sha2_byte *q = static_cast<volatile sha2_byte *>(p);
    while (len-- > 0)
        *q++ = 0;
}

void sha256Block(UINT32 state[8], const sha2_byte *block)
{
    UINT32 w[64];
    for (int t = 0; t < 16; t++)
        w[t] = loadBe32(block + 4 * t);
    for (int t = 16; t < 64; t++) {
        const UINT32 s0 = rotr32(w[t - 15], 7) ^ rotr32(w[t - 15], 18) ^ (w[t - 15] >> 3);
        const UINT32 s1 = rotr32(w[t - 2], 17) ^ rotr32(w[t - 2], 19) ^ (w[t - 2] >> 10);
        w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    UINT32 a = state[0], b = state[1], c = state[2], d = state[3];
    UINT32 e = state[4], f = state[5], g = state[6], h = state[7];
    for (int t = 0; t < 64; t++) {
        const UINT32 t1 = h + (rotr32(e, 6) ^ rotr32(e, 11) ^ rotr32(e, 25)) + ((e & f) ^ (~e & g)) + kSha256K[t] + w[t];
        const UINT32 t2 = (rotr32(a, 2) ^ rotr32(a, 13) ^ rotr32(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

} // namespace

void sha256Blocks_Portable(UINT32 state[8], const sha2_byte *data, size_t blocks)
{
    for (; blocks > 0; blocks--, data += SHA256_BLOCK_LENGTH)
        sha256Block(state, data);
}

// SHA-256 rounds on the processor's SHA extensions: the same compression, four message words and
// two rounds per instruction. The state is kept as the instructions want it (ABEF, CDGH).
__attribute__((target("sha,sse4.1,ssse3"))) void sha256Blocks_ShaNi(UINT32 state[8], const sha2_byte *data,
                                                                    size_t blocks)
{
    const __m128i byteSwap = _mm_set_epi64x(0x0c0d0e0f08090a0bLL, 0x0405060700010203LL);
    __m128i dcba = _mm_loadu_si128(reinterpret_cast<const __m128i *>(&state[0]));
    __m128i hgfe = _mm_loadu_si128(reinterpret_cast<const __m128i *>(&state[4]));
    __m128i cdab = _mm_shuffle_epi32(dcba, 0xB1);
    __m128i efgh = _mm_shuffle_epi32(hgfe, 0x1B);
    __m128i abef = _mm_alignr_epi8(cdab, efgh, 8);
    __m128i cdgh = _mm_blend_epi16(efgh, cdab, 0xF0);
    for (; blocks > 0; blocks--, data += SHA256_BLOCK_LENGTH) {
        const __m128i abefSaved = abef;
        const __m128i cdghSaved = cdgh;
        __m128i w[4];
#pragma GCC unroll 16
        for (int i = 0; i < 16; i++) {
            __m128i &cur = w[i & 3];
            if (i < 4) {
                cur = _mm_shuffle_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i *>(data + 16 * i)), byteSwap);
            } else {
                // W[t] from W[t-16..t-13] (cur), W[t-12..t-9], W[t-8..t-5] and W[t-4..t-1].
                const __m128i &w12 = w[(i + 1) & 3], &w8 = w[(i + 2) & 3], &w4 = w[(i + 3) & 3];
                __m128i t = _mm_sha256msg1_epu32(cur, w12);
                t = _mm_add_epi32(t, _mm_alignr_epi8(w4, w8, 4));
                cur = _mm_sha256msg2_epu32(t, w4);
            }
            __m128i msg = _mm_add_epi32(cur, _mm_loadu_si128(reinterpret_cast<const __m128i *>(&kSha256K[4 * i])));
            cdgh = _mm_sha256rnds2_epu32(cdgh, abef, msg);
            msg = _mm_shuffle_epi32(msg, 0x0E);
            abef = _mm_sha256rnds2_epu32(abef, cdgh, msg);
        }
        abef = _mm_add_epi32(abef, abefSaved);
        cdgh = _mm_add_epi32(cdgh, cdghSaved);
    }
    const __m128i feba = _mm_shuffle_epi32(abef, 0x1B);
    const __m128i dchg = _mm_shuffle_epi32(cdgh, 0xB1);
    _mm_storeu_si128(reinterpret_cast<__m128i *>(&state[0]), _mm_blend_epi16(feba, dchg, 0xF0));
    _mm_storeu_si128(reinterpret_cast<__m128i *>(&state[4]), _mm_alignr_epi8(dchg, feba, 8));
}

bool sha256_HasShaExtensions(void)
{
    unsigned a = 0, b = 0, c = 0, d = 0;
    if (!__get_cpuid(1, &a, &b, &c, &d) || (c & bit_SSSE3) == 0 || (c & bit_SSE4_1) == 0)
        return false;
    return __get_cpuid_count(7, 0, &a, &b, &c, &d) && (b & bit_SHA) != 0;
}

namespace {

// Chosen once, on first use: the digests work before (and without) the runtime's CPU layer.
Sha256BlocksFunc sha256Blocks(void)
{
    static const Sha256BlocksFunc func = sha256_HasShaExtensions() ? sha256Blocks_ShaNi : sha256Blocks_Portable;
    return func;
}

void sha512Transform(UINT64 state[8], const sha2_byte *block)
{
    UINT64 w[80];
    for (int t = 0; t < 16; t++)
        w[t] = loadBe64(block + 8 * t);
    for (int t = 16; t < 80; t++) {
        const UINT64 s0 = rotr64(w[t - 15], 1) ^ rotr64(w[t - 15], 8) ^ (w[t - 15] >> 7);
        const UINT64 s1 = rotr64(w[t - 2], 19) ^ rotr64(w[t - 2], 61) ^ (w[t - 2] >> 6);
        w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    UINT64 a = state[0], b = state[1], c = state[2], d = state[3];
    UINT64 e = state[4], f = state[5], g = state[6], h = state[7];
    for (int t = 0; t < 80; t++) {
        const UINT64 t1 = h + (rotr64(e, 14) ^ rotr64(e, 18) ^ rotr64(e, 41)) + ((e & f) ^ (~e & g)) + kSha512K[t] + w[t];
        const UINT64 t2 = (rotr64(a, 28) ^ rotr64(a, 34) ^ rotr64(a, 39)) + ((a & b) ^ (a & c) ^ (b & c));
        h = g;
        g = f;
        f = e;
        e = d + t1;
        d = c;
        c = b;
        b = a;
        a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
}

// Fills the partial block first, then hashes whole blocks straight from the caller's memory and
// keeps the tail. `used` is the number of bytes already in the buffer.
template <size_t Block, typename Transform, typename State>
void absorb(State *state, sha2_byte *buffer, size_t used, const sha2_byte *data, size_t len, Transform transform)
{
    if (used > 0) {
        const size_t room = Block - used;
        if (len < room) {
            memcpy(buffer + used, data, len);
            return;
        }
        memcpy(buffer + used, data, room);
        transform(state, buffer, 1);
        data += room;
        len -= room;
    }
    const size_t blocks = len / Block;
    if (blocks > 0) {
        transform(state, data, blocks);
        data += blocks * Block;
        len -= blocks * Block;
    }
    if (len > 0)
        memcpy(buffer, data, len);
}

void sha512Blocks(UINT64 state[8], const sha2_byte *data, size_t blocks)
{
    for (; blocks > 0; blocks--, data += SHA512_BLOCK_LENGTH)
        sha512Transform(state, data);
}

char *toHex(const sha2_byte *digest, size_t len, char *buffer)
{
    for (size_t i = 0; i < len; i++) {
        *buffer++ = kHexDigits[digest[i] >> 4];
        *buffer++ = kHexDigits[digest[i] & 0x0f];
    }
    *buffer = '\0';
    return buffer;
}

// End of every family: the digest as text, or only the wipe when there is no buffer.
template <size_t DigestLen, typename Ctx>
char *finishAsHex(Ctx *context, char *buffer, void (*final)(sha2_byte *, Ctx *))
{
    if (buffer == nullptr) {
        secureZero(context, sizeof(*context));
        return nullptr;
    }
    sha2_byte digest[DigestLen];
    final(digest, context);
    char *pEnd = toHex(digest, sizeof(digest), buffer);
    secureZero(digest, sizeof(digest));
    return pEnd;
}

template <typename Ctx>
char *hashAsHex(const sha2_byte *data, size_t len, char *digest, void (*init)(Ctx *),
                void (*update)(Ctx *, const sha2_byte *, size_t), char *(*end)(Ctx *, char *))
{
    Ctx context;
    init(&context);
    update(&context, data, len);
    return end(&context, digest);
}

// Pads the last block(s) of a SHA-384/512 message: 0x80, zeroes up to 16 bytes before the end of a
// block (an extra block when the tail leaves no room) and the 128-bit big-endian bit count.
void SHA512_Last(SHA512_CTX *context)
{
    size_t used = (size_t)((context->bitcount[0] >> 3) % SHA512_BLOCK_LENGTH);
    context->buffer[used++] = 0x80;
    if (used > SHA512_BLOCK_LENGTH - 16) {
        memset(context->buffer + used, 0, SHA512_BLOCK_LENGTH - used);
        sha512Transform(context->state, context->buffer);
        used = 0;
    }
    memset(context->buffer + used, 0, SHA512_BLOCK_LENGTH - 16 - used);
    storeBe64(context->buffer + SHA512_BLOCK_LENGTH - 16, context->bitcount[1]);
    storeBe64(context->buffer + SHA512_BLOCK_LENGTH - 8, context->bitcount[0]);
    sha512Transform(context->state, context->buffer);
}

// Final of SHA-384 and SHA-512: the first digestLen bytes of the state.
void sha512FinalN(sha2_byte *digest, SHA512_CTX *context, size_t digestLen)
{
    if (digest != nullptr) {
        SHA512_Last(context);
        for (size_t i = 0; i < digestLen / 8; i++)
            storeBe64(digest + 8 * i, context->state[i]);
    }
    secureZero(context, sizeof(*context));
}

} // namespace

// ---------------------------------------------------------------------------------------------
// SHA-256

void SHA256_Init(SHA256_CTX *context)
{
    if (context == nullptr)
        return;
    memcpy(context->state, kSha256Initial, sizeof(context->state));
    context->bitcount = 0;
    memset(context->buffer, 0, sizeof(context->buffer));
}

void SHA256_Update(SHA256_CTX *context, const sha2_byte *data, size_t len)
{
    if (len == 0)
        return;
    MOS_ASSERT(context != (SHA256_CTX*)0 && data != (sha2_byte*)0);
    const size_t used = (size_t)((context->bitcount >> 3) % SHA256_BLOCK_LENGTH);
    context->bitcount += (UINT64)len << 3;
    absorb<SHA256_BLOCK_LENGTH>(context->state, context->buffer, used, data, len, sha256Blocks());
}

void SHA256_Final(sha2_byte digest[SHA256_DIGEST_LENGTH], SHA256_CTX *context)
{
    MOS_ASSERT(context != (SHA256_CTX*)0);
    if (digest != nullptr) {
        size_t used = (size_t)((context->bitcount >> 3) % SHA256_BLOCK_LENGTH);
        context->buffer[used++] = 0x80;
        if (used > SHA256_BLOCK_LENGTH - 8) {
            memset(context->buffer + used, 0, SHA256_BLOCK_LENGTH - used);
            sha256Blocks()(context->state, context->buffer, 1);
            used = 0;
        }
        memset(context->buffer + used, 0, SHA256_BLOCK_LENGTH - 8 - used);
        storeBe64(context->buffer + SHA256_BLOCK_LENGTH - 8, context->bitcount);
        sha256Blocks()(context->state, context->buffer, 1);
        for (int i = 0; i < 8; i++)
            storeBe32(digest + 4 * i, context->state[i]);
    }
    secureZero(context, sizeof(*context));
}

char *SHA256_End(SHA256_CTX *context, char buffer[SHA256_DIGEST_STRING_LENGTH])
{
    MOS_ASSERT(context != (SHA256_CTX*)0);
    return finishAsHex<SHA256_DIGEST_LENGTH>(context, buffer, SHA256_Final);
}

char *SHA256_Data(const sha2_byte *data, size_t len, char digest[SHA256_DIGEST_STRING_LENGTH])
{
    return hashAsHex<SHA256_CTX>(data, len, digest, SHA256_Init, SHA256_Update, SHA256_End);
}

// ---------------------------------------------------------------------------------------------
// SHA-512 and SHA-384 (one context type; SHA-384 differs in its initial values and digest length)

void SHA512_Init(SHA512_CTX *context)
{
    if (context == nullptr)
        return;
    memcpy(context->state, kSha512Initial, sizeof(context->state));
    context->bitcount[0] = context->bitcount[1] = 0;
    memset(context->buffer, 0, sizeof(context->buffer));
}

void SHA512_Update(SHA512_CTX *context, const sha2_byte *data, size_t len)
{
    if (len == 0)
        return;
    MOS_ASSERT(context != (SHA512_CTX*)0 && data != (sha2_byte*)0);
    const size_t used = (size_t)((context->bitcount[0] >> 3) % SHA512_BLOCK_LENGTH);
    // 128-bit count: len * 8 may itself exceed 64 bits, and the low word may carry.
    const UINT64 addLow = (UINT64)len << 3;
    const UINT64 addHigh = (UINT64)len >> 61;
    context->bitcount[0] += addLow;
    context->bitcount[1] += addHigh + (context->bitcount[0] < addLow ? 1 : 0);
    absorb<SHA512_BLOCK_LENGTH>(context->state, context->buffer, used, data, len, sha512Blocks);
}

void SHA512_Final(sha2_byte digest[SHA512_DIGEST_LENGTH], SHA512_CTX *context)
{
    MOS_ASSERT(context != (SHA512_CTX*)0);
    sha512FinalN(digest, context, SHA512_DIGEST_LENGTH);
}

char *SHA512_End(SHA512_CTX *context, char buffer[SHA512_DIGEST_STRING_LENGTH])
{
    MOS_ASSERT(context != (SHA512_CTX*)0);
    return finishAsHex<SHA512_DIGEST_LENGTH>(context, buffer, SHA512_Final);
}

char *SHA512_Data(const sha2_byte *data, size_t len, char digest[SHA512_DIGEST_STRING_LENGTH])
{
    return hashAsHex<SHA512_CTX>(data, len, digest, SHA512_Init, SHA512_Update, SHA512_End);
}

void SHA384_Init(SHA384_CTX *context)
{
    if (context == nullptr)
        return;
    memcpy(context->state, kSha384Initial, sizeof(context->state));
    context->bitcount[0] = context->bitcount[1] = 0;
    memset(context->buffer, 0, sizeof(context->buffer));
}

void SHA384_Update(SHA384_CTX *context, const sha2_byte *data, size_t len)
{
    SHA512_Update(context, data, len);
}

void SHA384_Final(sha2_byte digest[SHA384_DIGEST_LENGTH], SHA384_CTX *context)
{
    MOS_ASSERT(context != (SHA384_CTX*)0);
    sha512FinalN(digest, context, SHA384_DIGEST_LENGTH);
}

char *SHA384_End(SHA384_CTX *context, char buffer[SHA384_DIGEST_STRING_LENGTH])
{
    MOS_ASSERT(context != (SHA384_CTX*)0);
    return finishAsHex<SHA384_DIGEST_LENGTH>(context, buffer, SHA384_Final);
}

char *SHA384_Data(const sha2_byte *data, size_t len, char digest[SHA384_DIGEST_STRING_LENGTH])
{
    return hashAsHex<SHA384_CTX>(data, len, digest, SHA384_Init, SHA384_Update, SHA384_End);
}
