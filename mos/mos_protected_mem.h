// Protected handles: 64-bit handles to objects that become harmless once the object is gone.
// A handle is the entry's generation (high 32 bits) and its index in the factory's pool (low 32
// bits); generation 0 marks a free entry and is never a valid handle.
#pragma once

#include "mos/mos_fastlock.h"
#include "mos/mos_mempool.h"
#include "mos/mos_types.h"

typedef UINT64 HMosPMem;

#define MOS_PMEM__HANDLE(generation, index) (((UINT64)(generation) << 32) | (UINT32)(index))
#define MOS_PMEM__GENERATION(hMem) ((UINT32)((hMem) >> 32))
#define MOS_PMEM__INDEX(hMem) ((UINT32)(hMem))

// One pool entry. pMem comes first: while the entry is free the pool keeps its link there, and
// the other fields stay readable for releases that arrive late.
struct MosPMem {
    PVOID pMem;
    UINT32 ref;
    UINT32 generation; // 0 = free
    MosFastlock_Base lock;
    BOOL bInvalidated; // no new reference resolves; the generation stays until the last release
};

typedef void (*MosPMem_FreeCK)(PVOID pMem);

struct MosPMem_Factory {
    MosMemPool pool;
    UINT32 generationIndex;
    MosPMem_FreeCK pFreeCK;
};

Mos_RC mosPMemFactory_Create(MosPMem_Factory *pMemFactory, MosPMem_FreeCK pFree, UINT32 maxObjects);
void mosPMemFactory_Destroy(MosPMem_Factory *pFactory);
// A new handle with one reference, or 0 when the pool is exhausted.
HMosPMem mosPMemFactory_AllocHandle(MosPMem_Factory *pFactory, PVOID pMem);
Mos_RC mosPMem_Ref(MosPMem_Factory *pFactory, HMosPMem hMem, PVOID *ppMem);
Mos_RC mosPMem_Deref(MosPMem_Factory *pFactory, HMosPMem hMem);
Mos_RC mosPMem_Invalidate(MosPMem_Factory *pFactory, HMosPMem hMem);
Mos_RC mosPMem_QueryHandle(MosPMem_Factory *pFactory, HMosPMem hMem, UINT32 *pUsage);
