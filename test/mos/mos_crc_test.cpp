#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "mos/mos_cpu.h"
#include "mos/mos_crc.h"
#include "mos/mos_crc_intrn.h"

namespace {

struct Method {
    const char *name;
    MosCrc_CalcCrc32Func func;
    UINT32 enforced;
};

std::vector<Method> availableMethods()
{
    mosCpuLayer_Create();
    EXPECT_EQ(mosCrc_IsHardwareAvailable() != FALSE, __builtin_cpu_supports("sse4.2") != 0);
    std::vector<Method> m = {{"software", mosCrc_CalcCrcSlicingBy8Software, MOS_CRC__SOFTWARE_ENFORCEMENT}};
    if (mosCrc_IsHardwareAvailable()) {
        m.push_back({"hw32", mosCrc_CalcCrc32Hardware32, MOS_CRC__HARDWARE_32_ENFORCEMENT});
        m.push_back({"hw64", mosCrc_CalcCrc32Hardware64, MOS_CRC__HARDWARE_64_ENFORCEMENT});
        // The paths the 64-bit method chooses between by processor, each held on its own.
        m.push_back({"hw64 serial", mosCrc_CalcCrc32Serial64, MOS_CRC__HARDWARE_64_ENFORCEMENT});
        MosCpuLayer_Query q;
        mosCpuLayer_GetQuery(&q);
        if (q.bIsAvailPCLMULQDQ)
            m.push_back({"hw64 fold128", mosCrc_CalcCrc32Fold128, MOS_CRC__HARDWARE_64_ENFORCEMENT});
        if (q.bIsAvailPCLMULQDQ && mosCpu_IsAvailVpclmul512())
            m.push_back({"hw64 fold512", mosCrc_CalcCrc32Fold512, MOS_CRC__HARDWARE_64_ENFORCEMENT});
    }
    return m;
}

// Bit at a time, straight from the definition; independent of the tables.
UINT32 bitwiseCrc32c(UINT32 crc, const UINT8 *p, size_t len)
{
    while (len--) {
        crc ^= *p++;
        for (int i = 0; i < 8; i++)
            crc = (crc & 1u) ? (crc >> 1) ^ 0x82F63B78u : crc >> 1;
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

struct CrcLayer : ::testing::Test {
    void SetUp() override { mosCpuLayer_Create(); }
    void TearDown() override { ASSERT_EQ(mosCrcLayer_Create(nullptr), MOS_RC__SUCCESS); }
};

} // namespace

TEST(MosCrc, CheckValueTablesAndEmptyInputPerMethod)
{
    const char *check = "123456789";
    for (const Method &m : availableMethods()) {
        SCOPED_TRACE(m.name);
        // The register, not the inverted standard value 0xE3069283.
        EXPECT_EQ(m.func(MOS_CRC__INITIAL_VALUE, check, 9), 0x1CF96D7Cu);
        EXPECT_EQ(m.func(MOS_CRC__INITIAL_VALUE, check, 0), 0xFFFFFFFFu);
        EXPECT_EQ(m.func(0x12345678u, check, 0), 0x12345678u);
    }
    EXPECT_EQ(mosCrc_CrcTable32[1], 0xF26B8303u);
    // Table k is table 0 followed by k zero bytes.
    const std::array<UINT32, 256> *tables[] = {&mosCrc_CrcTable32, &mosCrc_CrcTable40, &mosCrc_CrcTable48,
                                               &mosCrc_CrcTable56, &mosCrc_CrcTable64, &mosCrc_CrcTable72,
                                               &mosCrc_CrcTable80, &mosCrc_CrcTable88};
    for (unsigned k = 0; k < 8; k++) {
        for (UINT32 byte : {1u, 0x80u, 0xA5u, 0xFFu}) {
            UINT8 msg[8] = {static_cast<UINT8>(byte)};
            EXPECT_EQ((*tables[k])[byte], bitwiseCrc32c(0, msg, k + 1)) << "table " << k << " byte " << byte;
        }
    }
}

TEST(MosCrc, MethodsAgreeOverLengthsAlignmentsAndLargeBuffers)
{
    const std::vector<UINT8> data = randomBytes(4096 + 16, 1);
    const std::vector<Method> methods = availableMethods();
    for (size_t align = 0; align < 16; align++) {
        for (size_t len = 0; len <= 4096; len++) {
            const UINT8 *p = data.data() + align;
            // A continued CRC starts from any register, not only all ones.
            const UINT32 start = (len & 1) ? MOS_CRC__INITIAL_VALUE : static_cast<UINT32>(len * 0x9E3779B9u);
            const UINT32 ref = methods[0].func(start, p, len);
            if (len <= 64 || len % 509 == 0) {
                ASSERT_EQ(ref, bitwiseCrc32c(start, p, len)) << len << "@" << align;
            }
            for (const Method &m : methods)
                ASSERT_EQ(m.func(start, p, len), ref) << m.name << " " << len << "@" << align;
        }
    }
    for (unsigned seed = 2; seed < 5; seed++) {
        const std::vector<UINT8> big = randomBytes(1 << 20, seed);
        const UINT32 ref = bitwiseCrc32c(MOS_CRC__INITIAL_VALUE, big.data(), big.size());
        for (const Method &m : methods)
            EXPECT_EQ(m.func(MOS_CRC__INITIAL_VALUE, big.data(), big.size()), ref) << m.name;
    }
}

TEST(MosCrc, UpdateContinuesStartAndValidityCheck)
{
    const std::vector<UINT8> data = randomBytes(1000, 7);
    const UINT32 whole = mosCrc_CalcCrc32Start(data.data(), data.size());
    EXPECT_EQ(whole, mosCrc_CalcCrc32OneBuffer(data.data(), data.size()));
    for (size_t split : {0u, 1u, 3u, 8u, 333u, 999u, 1000u}) {
        const UINT32 a = mosCrc_CalcCrc32Start(data.data(), split);
        EXPECT_EQ(mosCrc_CalcCrc32Update(a, data.data() + split, data.size() - split), whole) << split;
    }
    EXPECT_TRUE(mosCrc_IsCrcValidOneBuffer(whole, data.data(), data.size()));
    EXPECT_FALSE(mosCrc_IsCrcValidOneBuffer(whole ^ 1u, data.data(), data.size()));
    EXPECT_EQ(mosCrc_CalcCrc32Start(data.data(), 0), 0xFFFFFFFFu);
}

TEST_F(CrcLayer, EnforcedMethodIsUsedAndUnknownOneRefused)
{
    for (const Method &m : availableMethods()) {
        if (strchr(m.name, ' ') != nullptr)
            continue; // an inner path of a method, not a method of its own
        MosCrc_InitParams params{m.enforced};
        ASSERT_EQ(mosCrcLayer_Create(&params), MOS_RC__SUCCESS) << m.name;
        EXPECT_EQ(crcLayer_G.mosCrc_CalcCrc32Ptr, m.func) << m.name;
        EXPECT_EQ(crcLayer_G.crcEnforcedMethodToUse, m.enforced);
        EXPECT_EQ(mosCrc_CalcCrc32Start("123456789", 9), 0x1CF96D7Cu) << m.name;
    }
    MosCrc_InitParams none{MOS_CRC__NO_ENFORCEMENT};
    ASSERT_EQ(mosCrcLayer_Create(&none), MOS_RC__SUCCESS);
    EXPECT_EQ(crcLayer_G.mosCrc_CalcCrc32Ptr, mosCrc_IsHardwareAvailable() ? mosCrc_CalcCrc32Hardware64
                                                                           : mosCrc_CalcCrcSlicingBy8Software);

    const MosCrc_CalcCrc32Func before = crcLayer_G.mosCrc_CalcCrc32Ptr;
    MosCrc_InitParams bad{7};
    EXPECT_EQ(mosCrcLayer_Create(&bad), MOS_RC__INVALID);
    EXPECT_EQ(crcLayer_G.mosCrc_CalcCrc32Ptr, before);
}
