#include <gtest/gtest.h>

#include <cstring>

#include "tgt/cont/cont.h"
#include "tgt/tgt_service.h"

namespace {

TEST(ContCacheLimit, LowPercentBelowTheThresholdHighFromItOn)
{
    constexpr UINT64 kThreshold = 33554432; // KiB: 32 GiB
    struct Case {
        UINT64 ramKb;
        UINT32 limitMb;
    };
    const Case cases[] = {
        {kThreshold - 1, 16383},   // 50 %, rounded down
        {kThreshold, 24576},       // exactly at the threshold: 75 %
        {kThreshold + 1024, 24576}, // 75 % of 32 GiB + 1 MiB, rounded down
        {16777216, 8192},          // 16 GiB at 50 %
        {0, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.ramKb);
        EXPECT_EQ(cont_CalcCacheSizeLimitInMb(c.ramKb, kThreshold, 50, 75), c.limitMb);
    }
    // Percentages of 0 and 100 and a 1 TiB node (no overflow of the product).
    EXPECT_EQ(cont_CalcCacheSizeLimitInMb(1ull << 30, kThreshold, 50, 100), 1u << 20);
    EXPECT_EQ(cont_CalcCacheSizeLimitInMb(1ull << 20, kThreshold, 0, 75), 0u);
}

TEST(ContVmware, OnlyAHypervisorWhoseVendorIsVmware)
{
    constexpr UINT32 kHypervisor = 1u << 31;
    struct Case {
        const char *pVendor;
        const char *pHypervisorVendor;
        UINT32 ecx;
        BOOL bVmware;
    };
    const Case cases[] = {
        {"GenuineIntel", "", 0, FALSE},                         // bare metal
        {"GenuineIntel", "KVMKVMKVM\0\0\0", kHypervisor, FALSE}, // another hypervisor
        {"GenuineIntel", "VMwareVMware", kHypervisor, TRUE},
        {"VMwareVMware", "", kHypervisor, TRUE}, // either vendor field
        {"GenuineIntel", "VMwareVMware", 0, FALSE}, // no hypervisor bit
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.pHypervisorVendor);
        MosCpu_X86CpuInfo cpu{};
        memcpy(cpu.manufacturerID, c.pVendor, 12);
        memcpy(cpu.vmwareVendorID, c.pHypervisorVendor, strlen(c.pHypervisorVendor));
        cpu.processorInfoAndFeatureBits.ecx = c.ecx;
        EXPECT_EQ(cont_IsVmwareGuest(&cpu), c.bVmware);
    }
}

TEST(TgtCpuMask, MaskWordsBecomeCpuBitsInByteOrder)
{
    UINT8 mask[16];
    tgt_MakeCpuMask(0x0000000000000105ull, 0x8000000000000001ull, mask);
    const UINT8 expected[16] = {0x05, 0x01, 0, 0, 0, 0, 0, 0, 0x01, 0, 0, 0, 0, 0, 0, 0x80};
    EXPECT_EQ(memcmp(mask, expected, sizeof(mask)), 0);
}

} // namespace
