// The processor's identification and feature bits, read once at start-up.
#pragma once

#include "mos/mos_obj_entry.h"
#include "mos/mos_rc.h"
#include "mos/mos_types.h"

struct MosCpu_X86CpuInfoSet {
    UINT32 eax;
    UINT32 ebx;
    UINT32 ecx;
    UINT32 edx;
};

struct MosCpu_X86CpuInfo {
    CHAR_A manufacturerID[13]; // vendor text of leaf 0
    CHAR_A vmwareVendorID[13]; // hypervisor vendor text of leaf 0x40000000
    MosCpu_X86CpuInfoSet processorInfoAndFeatureBits; // leaf 1
};

struct MosCpuLayer_Query {
    MosCpu_X86CpuInfoSet processorInfoAndFeatureBits;
    BOOL bIsAvailPCLMULQDQ;
    BOOL bIsAvailSSE42;
    BOOL bIsAvailAES;
    BOOL bIsAvailAVX;
    BOOL bIsAvailHypervisor;
};

// The parameter (the enforced CRC method) is not used by this layer.
Mos_RC mosCpuLayer_Create(const void *pArg = nullptr);
void mosCpu_Destroy(void);
const MosCpu_X86CpuInfo *mosCpu_GetInfo(void);
// 512-bit carry-less multiplication with byte shuffles (AVX-512 F and BW, VPCLMULQDQ), and an OS
// that saves the 512-bit register state; as read at start-up (FALSE before the layer has run).
BOOL mosCpu_IsAvailVpclmul512(void);
void mosCpuLayer_GetQuery(MosCpuLayer_Query *pData);
// Registers the layer as "Mos CPU" with the debug object registry (query: MosCpuLayer_Query).
Mos_RC mosCpuLayer_RegisterSdbg(void);
void mosCpuLayer_UnregisterSdbg(void);
void mosCpuLayer_Query(MosObj *pObj, const CHAR_A *pName, void *pData);
