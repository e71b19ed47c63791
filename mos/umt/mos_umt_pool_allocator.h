// Allocator whose uthread blocks (stacks included) all exist from its creation and are reused;
// it bounds the number of uthreads and makes creation cheap.
#pragma once

#include "mos/mos_mempool.h"
#include "mos/umt/mos_umt.h"

struct MosUmt_PoolAllocator {
    MosUmt_Allocator allocator;
    MosMemPool memPool;
};

Mos_RC mosUmtPoolAllocator_Create(MosUmt_PoolAllocator *pAllocator, const CHAR_A *pName, UINT32 numObj,
                                  UINT32 objSize, BOOL bGuardPage);
void mosUmtPoolAllocator_Destroy(MosUmt_PoolAllocator *pAllocator);
MosUmt *mosUmtPoolAllocator_Alloc(MosUmt_Allocator *pAllocator);
void mosUmtPoolAllocator_Release(MosUmt_Allocator *pAllocator, MosUmt *pUmt);
UINT32 mosUmtPoolAllocator_GetNumOfFreeEntries(MosUmt_Allocator *pAllocator);
