#include <gtest/gtest.h>

#include <cstring>

#include "mos/mos_cpu.h"
#include "mos/mos_obj.h"

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
    // The debug object server reads the same record through the registry.
    ASSERT_EQ(mosObjLayer_Create(nullptr), MOS_RC__SUCCESS);
    ASSERT_EQ(mosCpuLayer_RegisterSdbg(), MOS_RC__SUCCESS);
    MosObj_Type *pType = mosObjType_GetPtrByID(SDBG_EXPORTS_OBJ_TYPE__MOS_CPU_LAYER);
    ASSERT_NE(pType, nullptr);
    MosObj *pObj = mosObjType_GetNthObj(pType, 0);
    ASSERT_NE(pObj, nullptr);
    EXPECT_STREQ(pObj->pName, "Mos CPU");
    MosCpuLayer_Query viaRegistry;
    mosObj_Query(pObj, pType, &viaRegistry);
    mosObjType_ReleaseNthObj(pType);
    EXPECT_EQ(memcmp(&viaRegistry, &query, sizeof(query)), 0);
    mosCpuLayer_UnregisterSdbg();
    mosObjLayer_Destroy();
    mosCpu_Destroy();
}
