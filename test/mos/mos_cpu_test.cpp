#include <gtest/gtest.h>

#include <cstring>

#include "mos/mos_cpu.h"

TEST(Cpu, FeatureBitsAgreeWithTheCompilersOwnDetection)
{
    ASSERT_EQ(mosCpuLayer_Create(), MOS_RC__SUCCESS);
    const MosCpu_X86CpuInfo *pInfo = mosCpu_GetInfo();
    EXPECT_EQ(strlen(pInfo->manufacturerID), 12u);
    MosCpuLayer_Query query;
    mosCpuLayer_GetQuery(&query);
    EXPECT_EQ(query.processorInfoAndFeatureBits.ecx, pInfo->processorInfoAndFeatureBits.ecx);
    __builtin_cpu_init();
    EXPECT_EQ(query.bIsAvailSSE42, __builtin_cpu_supports("sse4.2") ? 1 : 0);
    EXPECT_EQ(query.bIsAvailAVX, __builtin_cpu_supports("avx") ? 1 : 0);
    EXPECT_EQ(query.bIsAvailAES, __builtin_cpu_supports("aes") ? 1 : 0);
    EXPECT_EQ(query.bIsAvailPCLMULQDQ, __builtin_cpu_supports("pclmul") ? 1 : 0);
    mosCpu_Destroy();
}
