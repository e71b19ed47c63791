#include "mos/umt/mos_umt_pool_allocator.h"

#include <cstring>

#include "mos/mos_assert.h"

// Every block becomes a prepared uthread block when the pool is built.
static void mosUmtPoolAllocator_InitBlock(PVOID pBlock, UINT32 blockSizeInBytes)
{
    memset(pBlock, 0, blockSizeInBytes);
    mosUmt_Init(pBlock, blockSizeInBytes);
}

Mos_RC mosUmtPoolAllocator_Create(MosUmt_PoolAllocator *pAllocator, const CHAR_A *pName, UINT32 numObj,
                                  UINT32 objSize, BOOL bGuardPage)
{
    memset(static_cast<void *>(pAllocator), 0, sizeof(*pAllocator));
    mosMemPool_CreateEx(&pAllocator->memPool, pName, nullptr, mosUmtPoolAllocator_InitBlock, objSize, numObj, 16,
                        bGuardPage, MOS_TIMER__FREE_HANDLER_LIST);
    pAllocator->allocator.pAllocFunc = mosUmtPoolAllocator_Alloc;
    pAllocator->allocator.pFreeFunc = mosUmtPoolAllocator_Release;
    pAllocator->allocator.pNumOfFreeEntries = mosUmtPoolAllocator_GetNumOfFreeEntries;
    return MOS_RC__SUCCESS;
}

void mosUmtPoolAllocator_Destroy(MosUmt_PoolAllocator *pAllocator)
{
    mosMemPool_Destroy(&pAllocator->memPool);
    memset(static_cast<void *>(pAllocator), 0, sizeof(*pAllocator));
}

MosUmt *mosUmtPoolAllocator_Alloc(MosUmt_Allocator *pBase)
{
    MosUmt_PoolAllocator *pAllocator = MOS_CONTAINER_OF(pBase, MosUmt_PoolAllocator, allocator);
    PVOID pBlock = nullptr;
    if (mosMemPool_AllocNoWait(&pAllocator->memPool, &pBlock) != MOS_RC__SUCCESS)
        return nullptr;
    MosUmt *pUmt = mosUmt_Reuse(pBlock, pAllocator->memPool.blockSizeInBytes);
    MOS_ASSERT(pUmt != ((void *)0));
    return pUmt;
}

void mosUmtPoolAllocator_Release(MosUmt_Allocator *pBase, MosUmt *pUmt)
{
    MosUmt_PoolAllocator *pAllocator = MOS_CONTAINER_OF(pBase, MosUmt_PoolAllocator, allocator);
    mosMemPool_Free(&pAllocator->memPool, pUmt->pEndStack);
}

UINT32 mosUmtPoolAllocator_GetNumOfFreeEntries(MosUmt_Allocator *pBase)
{
    MosUmt_PoolAllocator *pAllocator = MOS_CONTAINER_OF(pBase, MosUmt_PoolAllocator, allocator);
    return mosMemPool_GetNumOfFreeEntries(&pAllocator->memPool);
}
