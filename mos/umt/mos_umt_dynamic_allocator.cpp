#include "mos/umt/mos_umt_dynamic_allocator.h"

#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_utils_mem.h"

void mosUmtDynamicAllocator_Create(MosUmt_DynamicAllocator *pAllocator, UINT32 objSize, BOOL bGuardPage)
{
    memset(static_cast<void *>(pAllocator), 0, sizeof(*pAllocator));
    if (bGuardPage) {
        UINT32 page = static_cast<UINT32>(mos_PageSize());
        objSize = (objSize + page - 1) / page * page;
    }
    pAllocator->umtSize = objSize;
    pAllocator->bGuardPage = bGuardPage;
    pAllocator->allocator.pAllocFunc = mosUmtDynamicAllocator_Alloc;
    pAllocator->allocator.pFreeFunc = mosUmtDynamicAllocator_Release;
    pAllocator->allocator.pNumOfFreeEntries = mosUmtDynamicAllocator_GetNumOfAvailableEntries;
    mosDList_InitAnchor(&pAllocator->dynamicUmtList);
    MOS_FASTLOCK_CREATE(&pAllocator->dynamicUmtListLock, MOS_UMT_LOCK_ID__DYNAMIC_ALLOCATOR);
}

void mosUmtDynamicAllocator_Destroy(MosUmt_DynamicAllocator *pAllocator)
{
    MOS_ASSERT(((&pAllocator->dynamicUmtList)->counter) == 0);
    mosFastlockBase_Destroy(&pAllocator->dynamicUmtListLock);
    memset(static_cast<void *>(pAllocator), 0, sizeof(*pAllocator));
}

MosUmt *mosUmtDynamicAllocator_Alloc(MosUmt_Allocator *pBase)
{
    MosUmt_DynamicAllocator *pAllocator = MOS_CONTAINER_OF(pBase, MosUmt_DynamicAllocator, allocator);
    size_t page = mos_PageSize();
    size_t size = pAllocator->umtSize + (pAllocator->bGuardPage ? page : 0);
    char *pMem = static_cast<char *>(mos_AllocPageAligned(size));
    if (pMem == nullptr)
        return nullptr;
    char *pBlock = pMem;
    if (pAllocator->bGuardPage) {
        // An overflow of the stack, which grows down towards the block's start, faults here.
        mos_MarkPageNotAvailable(pMem);
        pBlock = pMem + page;
    }
    MosUmt *pUmt = mosUmt_Init(pBlock, pAllocator->umtSize);
    MosFastlockGuard guard(&pAllocator->dynamicUmtListLock);
    mosDList_InsertTail(&pAllocator->dynamicUmtList, &pUmt->dynamicUmtListNode);
    return pUmt;
}

void mosUmtDynamicAllocator_Release(MosUmt_Allocator *pBase, MosUmt *pUmt)
{
    MosUmt_DynamicAllocator *pAllocator = MOS_CONTAINER_OF(pBase, MosUmt_DynamicAllocator, allocator);
    {
        MosFastlockGuard guard(&pAllocator->dynamicUmtListLock);
        mosDList_Remove(&pAllocator->dynamicUmtList, &pUmt->dynamicUmtListNode);
    }
    char *pMem = static_cast<char *>(pUmt->pEndStack);
    if (pAllocator->bGuardPage) {
        pMem -= mos_PageSize();
        mos_MarkPageAvailable(pMem);
    }
    mos_FreePageAligned(pMem);
}

UINT32 mosUmtDynamicAllocator_GetNumOfAvailableEntries(MosUmt_Allocator *pAllocator)
{
    MOS_UNUSED(pAllocator);
    return 0xFFFFFFFFu;
}
