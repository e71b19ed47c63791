#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "mos/mos_cpu.h"
#include "mos/mos_t10dif.h"
#include "mos/mos_t10dif_intrn.h"
#include "test/support/panic_expect.h"

namespace {

constexpr size_t LB = 512;

// Bit at a time from the definition: polynomial 0x8BB7, MSB first, no reflection, no final XOR.
UINT16 bitwiseT10(UINT16 crc, const UINT8 *p, size_t len)
{
    while (len--) {
        crc ^= static_cast<UINT16>(*p++ << 8);
        for (int i = 0; i < 8; i++)
            crc = (crc & 0x8000u) ? static_cast<UINT16>((crc << 1) ^ 0x8BB7u) : static_cast<UINT16>(crc << 1);
    }
    return crc;
}

std::vector<UINT8> randomBytes(size_t n, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<UINT8> v(n);
    for (UINT8 &b : v)
        b = static_cast<UINT8>(rng());
    return v;
}

struct GuardMethod {
    const char *name;
    MosT10Dif_CrcFunc func;
};

std::vector<GuardMethod> guardMethods()
{
    mosCpuLayer_Create();
    EXPECT_EQ(crc_t10dif_pcl_IsAvailable() != FALSE,
              __builtin_cpu_supports("pclmul") != 0 && __builtin_cpu_supports("sse4.2") != 0);
    std::vector<GuardMethod> m = {{"generic", mos_generic_t10dif_crc}};
    if (crc_t10dif_pcl_IsAvailable()) {
        m.push_back({"pclmul", crc_t10dif_pcl});
        // Each build of the method on its own, as far as this processor runs it.
        MosCpuLayer_Query q;
        mosCpuLayer_GetQuery(&q);
        m.push_back({"pclmul sse", crc_t10dif_pclSse});
        if (q.bIsAvailAVX)
            m.push_back({"pclmul vex", crc_t10dif_pclVex});
        if (q.bIsAvailAVX && mosCpu_IsAvailVpclmul512())
            m.push_back({"pclmul zmm", crc_t10dif_pclZmm});
    }
    return m;
}

// Blocks of random data with correct guards.
struct Guarded {
    std::vector<UINT8> data;
    std::vector<T10Dif> dif;
    Guarded(UINT32 lbs, unsigned seed) : data(randomBytes(lbs * LB, seed)), dif(lbs)
    {
        mosT10Dif_GenT10DIF(data.data(), dif.data(), 0, 0, 0, lbs);
    }
};

struct T10DifLayer : ::testing::Test {
    void SetUp() override
    {
        mosCpuLayer_Create();
        ASSERT_EQ(mosT10Dif_Init(nullptr), MOS_RC__SUCCESS);
    }
};

} // namespace

TEST(MosT10DifGuard, CheckValuesPerMethod)
{
    const UINT8 zeroLb[LB] = {};
    for (const GuardMethod &m : guardMethods()) {
        SCOPED_TRACE(m.name);
        EXPECT_EQ(m.func(0, reinterpret_cast<const UINT8 *>("123456789"), 9), 0xD0DB);
        EXPECT_EQ(m.func(0, zeroLb, LB), 0);
        EXPECT_EQ(m.func(0x1234, zeroLb, 0), 0x1234);
    }
    EXPECT_EQ(mos_generic_t10dif_crc_lookup_tbl[1], 0x8BB7);
}

TEST(MosT10DifGuard, MethodsAgreeOverLengthsAlignmentsSeedsAndLargeBuffers)
{
    const std::vector<GuardMethod> methods = guardMethods();
    const std::vector<UINT8> data = randomBytes(4096 + 16, 11);
    for (size_t align = 0; align < 16; align++) {
        for (size_t len = 0; len <= 4096; len++) {
            const UINT8 *p = data.data() + align;
            const UINT16 ref = mos_generic_t10dif_crc(0, p, len);
            if (len <= 64) {
                ASSERT_EQ(ref, bitwiseT10(0, p, len)) << len << "@" << align;
            }
            for (const GuardMethod &m : methods)
                ASSERT_EQ(m.func(0, p, len), ref) << m.name << " " << len << "@" << align;
        }
    }
    // A running guard continues over a split at any point, short and long pieces alike.
    for (size_t split : {0u, 1u, 2u, 15u, 16u, 17u, 255u, 256u, 300u, 2000u}) {
        const UINT16 whole = mos_generic_t10dif_crc(0, data.data(), 2048);
        for (const GuardMethod &m : methods) {
            const UINT16 head = m.func(0, data.data(), split);
            EXPECT_EQ(m.func(head, data.data() + split, 2048 - split), whole) << m.name << " split " << split;
        }
    }
    // Well past 1 MB: the table method has no length limit either.
    for (size_t size : {size_t{1} << 20, (size_t{1} << 20) + 2, (size_t{3} << 20) + 77}) {
        const std::vector<UINT8> big = randomBytes(size, static_cast<unsigned>(size));
        const UINT16 ref = bitwiseT10(0, big.data(), big.size());
        for (const GuardMethod &m : methods)
            EXPECT_EQ(m.func(0, big.data(), big.size()), ref) << m.name << " " << size;
    }
}

TEST_F(T10DifLayer, ChoosesFastMethodWhenAvailableAndSelfTestAgrees)
{
    EXPECT_EQ(mosT10Dif_CrcImpl, crc_t10dif_pcl_IsAvailable() ? crc_t10dif_pcl : mos_generic_t10dif_crc);
    EXPECT_EQ(mosT10Dif__VerifyCrcImplIdentity(), crc_t10dif_pcl_IsAvailable());
}

TEST_F(T10DifLayer, GenerateVerifyAndDetectCorruptionInAnyBlock)
{
    Guarded g(8, 21);
    for (UINT32 blk = 0; blk < 8; blk++)
        EXPECT_EQ(g.dif[blk].guard, mos_generic_t10dif_crc(0, g.data.data() + blk * LB, LB));
    EXPECT_EQ(mosT10Dif_VerifyT10DIFBuffer(g.data.data(), g.dif.data(), 0, 0, 0, 8), MOS_RC__SUCCESS);
    EXPECT_EQ(mosT10Dif_VerifyT10DIF(g.data.data(), g.dif.data(), 0, 0, 0, 8, 0x55), MOS_RC__SUCCESS);
    for (size_t byte : {size_t{0}, LB * 3 + 100, LB * 8 - 1}) {
        std::vector<UINT8> bad = g.data;
        bad[byte] ^= 0x01;
        EXPECT_EQ(mosT10Dif_VerifyT10DIFBuffer(bad.data(), g.dif.data(), 0, 0, 0, 8),
                  MOS_RC__LOGICAL_BLOCK_CHECK_GUARD_FAILED)
            << byte;
    }
    EXPECT_EQ(mosT10Dif__DigestBlocks(g.data.data(), 8), mos_generic_t10dif_crc(0, g.data.data(), 8 * LB));
}

TEST_F(T10DifLayer, ZeroDataGuardsPlainAndObfuscated)
{
    std::vector<T10Dif> dif(4, T10Dif{0xFFFF});
    mosT10Dif_GenT10DIF(nullptr, dif.data(), 0, 0, 0, 4);
    for (const T10Dif &d : dif)
        EXPECT_EQ(d.guard, 0);
    EXPECT_EQ(mosT10Dif_VerifyT10DIF(nullptr, dif.data(), 0, 0, 0, 4, 0), MOS_RC__SUCCESS);
    EXPECT_EQ(mosT10Dif_GetZeroDifGuard(0), 0);

    const UINT64 key = 0x0123456789ABCDEFull;
    std::vector<UINT8> data(4 * LB, 0xEE);
    mosT10Dif_CreateEncryptedZeroDataAndDif(data.data(), dif.data(), 0, 0, 0, 4, key);
    UINT64 w;
    memcpy(&w, data.data() + LB * 2 + 8, sizeof(w));
    EXPECT_EQ(w, key);
    EXPECT_EQ(mosT10Dif_VerifyT10DIFBuffer(data.data(), dif.data(), 0, 0, 0, 4), MOS_RC__SUCCESS);
    EXPECT_EQ(mosT10Dif_GetZeroDifGuard(key), mosT10Dif_GetEncryptedZeroGuard(key));
    EXPECT_EQ(dif[3].guard, mosT10Dif_GetZeroDifGuard(key));
    EXPECT_EQ(mosT10Dif_VerifyT10DIF(nullptr, dif.data(), 0, 0, 0, 4, key), MOS_RC__SUCCESS);
    EXPECT_EQ(mosT10Dif_VerifyT10DIF(nullptr, dif.data(), 0, 0, 0, 4, 0), MOS_RC__LOGICAL_BLOCK_CHECK_GUARD_FAILED);
}

TEST_F(T10DifLayer, VerifyZeroBufferCases)
{
    struct Case {
        const char *name;
        size_t dirtyByte; // SIZE_MAX: none
        UINT32 badGuardBlk; // UINT32_MAX: none
        Mos_RC expected;
    } cases[] = {
        {"all zero", SIZE_MAX, UINT32_MAX, MOS_RC__TRUE},
        {"data in last byte", 2 * LB - 1, UINT32_MAX, MOS_RC__FALSE},
        {"data in first byte", 0, UINT32_MAX, MOS_RC__FALSE},
        {"guard not zero", SIZE_MAX, 1, MOS_RC__LOGICAL_BLOCK_CHECK_GUARD_FAILED},
    };
    for (const Case &c : cases) {
        std::vector<UINT8> data(2 * LB, 0);
        std::vector<T10Dif> dif(2, T10Dif{0});
        if (c.dirtyByte != SIZE_MAX)
            data[c.dirtyByte] = 1;
        if (c.badGuardBlk != UINT32_MAX)
            dif[c.badGuardBlk].guard = 0x0101;
        EXPECT_EQ(mosT10Dif_VerifyZeroBuffer(data.data(), dif.data(), 2), c.expected) << c.name;
    }
}

TEST_F(T10DifLayer, CompareBufferCases)
{
    Guarded a(4, 31);
    Guarded same = a;
    Guarded other = a;
    other.data[LB * 2 + 7] ^= 0x40;
    mosT10Dif_GenT10DIF(other.data.data(), other.dif.data(), 0, 0, 0, 4);
    Guarded badGuard = a;
    badGuard.dif[3].guard ^= 1;

    EXPECT_EQ(mosT10Dif_CompareBuffer(a.data.data(), a.dif.data(), same.data.data(), same.dif.data(), 4),
              MOS_RC__TRUE);
    EXPECT_EQ(mosT10Dif_CompareBuffer(a.data.data(), a.dif.data(), other.data.data(), other.dif.data(), 4),
              MOS_RC__FALSE);
    EXPECT_EQ(mosT10Dif_CompareBuffer(a.data.data(), a.dif.data(), badGuard.data.data(), badGuard.dif.data(), 4),
              MOS_RC__LOGICAL_BLOCK_CHECK_GUARD_FAILED);
    EXPECT_EQ(mosT10Dif_CompareBuffer(badGuard.data.data(), badGuard.dif.data(), a.data.data(), a.dif.data(), 4),
              MOS_RC__LOGICAL_BLOCK_CHECK_GUARD_FAILED);
}

TEST_F(T10DifLayer, RekeyingObfuscatesRestoresAndRegeneratesGuards)
{
    const UINT64 key = 0xA5A5F00D12345678ull;
    const Guarded plain(6, 41);
    Guarded g = plain;
    ASSERT_EQ(mosT10Dif_Encrypt(g.data.data(), g.dif.data(), 0, 0, 0, 6, key), MOS_RC__SUCCESS);
    UINT64 w0, p0;
    memcpy(&w0, g.data.data() + 5 * LB + 16, 8);
    memcpy(&p0, plain.data.data() + 5 * LB + 16, 8);
    EXPECT_EQ(w0, p0 ^ key);
    EXPECT_EQ(mosT10Dif_VerifyT10DIFBuffer(g.data.data(), g.dif.data(), 0, 0, 0, 6), MOS_RC__SUCCESS);
    EXPECT_NE(g.dif, plain.dif);

    ASSERT_EQ(mosT10Dif_Encrypt(g.data.data(), g.dif.data(), 0, 0, 0, 6, key), MOS_RC__SUCCESS);
    EXPECT_EQ(g.data, plain.data);
    EXPECT_EQ(g.dif, plain.dif);

    EXPECT_EQ(mosT10Dif_Encrypt(g.data.data(), g.dif.data(), 0, 0, 0, 6, 0), MOS_RC__SUCCESS);
    EXPECT_EQ(g.data, plain.data);
}

TEST_F(T10DifLayer, RekeyingACorruptBufferChangesNothing)
{
    // A corrupt block anywhere, first, middle or last, must fail before any block is touched.
    for (UINT32 corruptBlk : {0u, 3u, 5u}) {
        Guarded g(6, 51);
        g.data[corruptBlk * LB + 10] ^= 0x80;
        const Guarded before = g;
        EXPECT_EQ(mosT10Dif_Encrypt(g.data.data(), g.dif.data(), 0, 0, 0, 6, 0x1111222233334444ull),
                  MOS_RC__LOGICAL_BLOCK_CHECK_GUARD_FAILED)
            << corruptBlk;
        EXPECT_EQ(g.data, before.data) << corruptBlk;
        EXPECT_EQ(g.dif, before.dif) << corruptBlk;
    }
}

TEST(MosT10DifDeath, EmptySizesAndMissingKeyPanic)
{
    UINT8 data[LB] = {};
    T10Dif dif[1] = {};
    EXPECT_PANIC(mosT10Dif_GenT10DIF(data, dif, 0, 0, 0, 0), "");
    EXPECT_PANIC(mosT10Dif_VerifyT10DIF(data, dif, 0, 0, 0, 0, 0), "");
    EXPECT_PANIC(mosT10Dif_VerifyZeroBuffer(data, dif, 0), "");
    EXPECT_PANIC(mosT10Dif_CreateEncryptedZeroDataAndDif(data, dif, 0, 0, 0, 1, 0), "");
}
