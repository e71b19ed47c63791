#include "mos/mos_cpu.h"

#include <cpuid.h>
#include <cstring>

#include "mos/mos_obj.h"
#include "mos/mos_trace.h"

namespace {
MosCpu_X86CpuInfo cpuInfo_G;
BOOL bVpclmul512_G = FALSE;
MosObj_Type cpuObjType_G;
MosObj cpuObj_G;
BOOL bCpuSdbgRegistered_G = FALSE;

void mosCpu_Leaf(UINT32 leaf, MosCpu_X86CpuInfoSet *pSet)
{
    unsigned eax, ebx, ecx, edx;
    __cpuid(leaf, eax, ebx, ecx, edx);
    pSet->eax = eax;
    pSet->ebx = ebx;
    pSet->ecx = ecx;
    pSet->edx = edx;
}

BOOL mosCpu_EcxBit(unsigned bit)
{
    return (cpuInfo_G.processorInfoAndFeatureBits.ecx >> bit) & 1u ? TRUE : FALSE;
}

// Leaf 7 names the instructions; XCR0 tells whether the OS saves the opmask and the upper halves
// of the vector registers, without which using them would fault.
BOOL mosCpu_DetectVpclmul512(void)
{
    constexpr UINT32 kOsxsave = 1u << 27;
    if ((cpuInfo_G.processorInfoAndFeatureBits.ecx & kOsxsave) == 0)
        return FALSE;
    unsigned eax, ebx, ecx, edx;
    if (__get_cpuid_max(0, nullptr) < 7)
        return FALSE;
    __cpuid_count(7, 0, eax, ebx, ecx, edx);
    const bool avx512f = (ebx >> 16) & 1u, avx512bw = (ebx >> 30) & 1u, vpclmul = (ecx >> 10) & 1u;
    UINT32 xcr0Lo, xcr0Hi;
    asm volatile("xgetbv" : "=a"(xcr0Lo), "=d"(xcr0Hi) : "c"(0));
    constexpr UINT32 kZmmState = 0xE6; // SSE, AVX, opmask, ZMM upper halves, ZMM16-31
    return avx512f && avx512bw && vpclmul && (xcr0Lo & kZmmState) == kZmmState ? TRUE : FALSE;
}
} // namespace

Mos_RC mosCpuLayer_Create(const void *pArg)
{
    MOS_UNUSED(pArg);
    memset(&cpuInfo_G, 0, sizeof(cpuInfo_G));
    MosCpu_X86CpuInfoSet leaf;
    // The vendor text is spread over ebx, edx, ecx of leaf 0, in that order.
    mosCpu_Leaf(0, &leaf);
    memcpy(&cpuInfo_G.manufacturerID[0], &leaf.ebx, 4);
    memcpy(&cpuInfo_G.manufacturerID[4], &leaf.edx, 4);
    memcpy(&cpuInfo_G.manufacturerID[8], &leaf.ecx, 4);
    // The hypervisor's vendor text is in ebx, ecx, edx.
    mosCpu_Leaf(0x40000000, &leaf);
    memcpy(&cpuInfo_G.vmwareVendorID[0], &leaf.ebx, 4);
    memcpy(&cpuInfo_G.vmwareVendorID[4], &leaf.ecx, 4);
    memcpy(&cpuInfo_G.vmwareVendorID[8], &leaf.edx, 4);
    MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "eax=%08x, ebx=%08x, ecx=%08x, edx=%08x", leaf.eax, leaf.ebx, leaf.ecx,
              leaf.edx);
    mosCpu_Leaf(1, &cpuInfo_G.processorInfoAndFeatureBits);
    bVpclmul512_G = mosCpu_DetectVpclmul512();
    return MOS_RC__SUCCESS;
}

void mosCpu_Destroy(void) {}

const MosCpu_X86CpuInfo *mosCpu_GetInfo(void)
{
    return &cpuInfo_G;
}

BOOL mosCpu_IsAvailVpclmul512(void)
{
    return bVpclmul512_G;
}

void mosCpuLayer_GetQuery(MosCpuLayer_Query *pData)
{
    memset(pData, 0, sizeof(*pData));
    pData->processorInfoAndFeatureBits = cpuInfo_G.processorInfoAndFeatureBits;
    pData->bIsAvailPCLMULQDQ = mosCpu_EcxBit(1);
    pData->bIsAvailSSE42 = mosCpu_EcxBit(20);
    pData->bIsAvailAES = mosCpu_EcxBit(25);
    pData->bIsAvailAVX = mosCpu_EcxBit(28);
    pData->bIsAvailHypervisor = mosCpu_EcxBit(31);
}

void mosCpuLayer_Query(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    MOS_UNUSED(pObj);
    MOS_UNUSED(pName);
    mosCpuLayer_GetQuery(static_cast<MosCpuLayer_Query *>(pData));
}

Mos_RC mosCpuLayer_RegisterSdbg(void)
{
    mosObjType_RegObjType(&cpuObjType_G, mosCpuLayer_Query, nullptr, SDBG_EXPORTS_OBJ_TYPE__MOS_CPU_LAYER,
                          sizeof(MosCpuLayer_Query));
    mosObjType_RegObj(&cpuObjType_G, &cpuObj_G, "Mos CPU");
    bCpuSdbgRegistered_G = TRUE;
    return MOS_RC__SUCCESS;
}

void mosCpuLayer_UnregisterSdbg(void)
{
    if (!bCpuSdbgRegistered_G)
        return;
    mosObjType_UnregObj(&cpuObjType_G, &cpuObj_G);
    mosObjType_UnregObjType(&cpuObjType_G);
    bCpuSdbgRegistered_G = FALSE;
}
