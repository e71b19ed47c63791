#include "mos/mos_protected_mem.h"

#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"

static void mosPMem_InitEntry(PVOID pBlock, UINT32 memSize)
{
    MOS_ASSERT(memSize == sizeof(MosPMem));
    MosPMem *pPMem = (MosPMem *)pBlock;
    pPMem->pMem = nullptr;
    pPMem->ref = 0;
    pPMem->generation = 0;
    pPMem->bInvalidated = FALSE;
    mosFastlockBase_Create(&pPMem->lock, CONTENTION_ENUM_COMMON_CREATED__MEM_PROTECTED, __FILE__, __LINE__);
}

static void mosPMem_DestroyEntry(PVOID pBlock)
{
    mosFastlockBase_Destroy(&((MosPMem *)pBlock)->lock);
}

Mos_RC mosPMemFactory_Create(MosPMem_Factory *pMemFactory, MosPMem_FreeCK pFree, UINT32 maxObjects)
{
    if (maxObjects == 0) {
        MOS_ERROR(MOS_COMP_MOS, "A handle factory needs at least one entry");
        return MOS_RC__INVALID;
    }
    memset(pMemFactory, 0, sizeof(*pMemFactory));
    pMemFactory->pFreeCK = pFree;
    mosMemPool_CreateEx(&pMemFactory->pool, "handle pool", nullptr, mosPMem_InitEntry, sizeof(MosPMem), maxObjects,
                        0, FALSE, MOS_TIMER__FREE_HANDLER_LIST);
    return MOS_RC__SUCCESS;
}

void mosPMemFactory_Destroy(MosPMem_Factory *pFactory)
{
    mosMemPool_DestroyEx(&pFactory->pool, mosPMem_DestroyEntry);
}

// The entry a handle names, or NULL (with an error line) when the handle cannot be valid.
static MosPMem *mosPMem_Entry(MosPMem_Factory *pFactory, HMosPMem hMem)
{
    if (MOS_PMEM__GENERATION(hMem) == 0 || MOS_PMEM__INDEX(hMem) >= mosMemPool_GetSize(&pFactory->pool)) {
        MOS_ERROR(MOS_COMP_MOS, "Invalid memory handle (%lx)", (unsigned long)hMem);
        return nullptr;
    }
    return (MosPMem *)mosMemPool_MemByIndex(&pFactory->pool, MOS_PMEM__INDEX(hMem));
}

HMosPMem mosPMemFactory_AllocHandle(MosPMem_Factory *pFactory, PVOID pMem)
{
    PVOID pBlock = nullptr;
    if (mosMemPool_AllocNoWait(&pFactory->pool, &pBlock) != MOS_RC__SUCCESS)
        return 0;
    MosPMem *pPMem = (MosPMem *)pBlock;
    UINT32 generation;
    do
        generation = __atomic_fetch_add(&pFactory->generationIndex, 1, __ATOMIC_RELAXED);
    while (generation == 0);
    {
        MosFastlockGuard guard(&pPMem->lock);
        MOS_ASSERT(pPMem->generation == 0);
        pPMem->pMem = pMem;
        pPMem->ref = 1;
        pPMem->generation = generation;
        pPMem->bInvalidated = FALSE;
    }
    return MOS_PMEM__HANDLE(generation, mosMemPool_IndexFromMem(&pFactory->pool, pPMem));
}

Mos_RC mosPMem_Ref(MosPMem_Factory *pFactory, HMosPMem hMem, PVOID *ppMem)
{
    MosPMem *pPMem = mosPMem_Entry(pFactory, hMem);
    if (pPMem == nullptr)
        return MOS_RC__INVALID;
    MosFastlockGuard guard(&pPMem->lock);
    if (pPMem->generation != MOS_PMEM__GENERATION(hMem) || pPMem->bInvalidated)
        return MOS_RC__WRONG_STATE_TRANS;
    pPMem->ref++;
    *ppMem = pPMem->pMem;
    return MOS_RC__SUCCESS;
}

Mos_RC mosPMem_Invalidate(MosPMem_Factory *pFactory, HMosPMem hMem)
{
    MosPMem *pPMem = mosPMem_Entry(pFactory, hMem);
    if (pPMem == nullptr)
        return MOS_RC__INVALID;
    MosFastlockGuard guard(&pPMem->lock);
    if (pPMem->generation != MOS_PMEM__GENERATION(hMem) || pPMem->bInvalidated)
        return MOS_RC__WRONG_STATE_TRANS;
    MOS_ASSERT((0 != pPMem->generation));
    // The generation stays until the last release, so that the holders' releases still match
    // and a release can never reach an entry that has passed to a new owner.
    pPMem->bInvalidated = TRUE;
    return MOS_RC__SUCCESS;
}

Mos_RC mosPMem_Deref(MosPMem_Factory *pFactory, HMosPMem hMem)
{
    MosPMem *pPMem = mosPMem_Entry(pFactory, hMem);
    if (pPMem == nullptr)
        return MOS_RC__INVALID;
    mosFastlockBase_Acquire(&pPMem->lock);
    if (pPMem->generation != MOS_PMEM__GENERATION(hMem)) {
        mosFastlockBase_Release(&pPMem->lock);
        MOS_ERROR(MOS_COMP_MOS, "Release of stale memory handle (%lx) refused", (unsigned long)hMem);
        return MOS_RC__WRONG_STATE_TRANS;
    }
    MOS_ASSERT(pPMem->ref);
    if (--pPMem->ref != 0) {
        mosFastlockBase_Release(&pPMem->lock);
        return MOS_RC__SUCCESS;
    }
    PVOID pMem = pPMem->pMem;
    pPMem->pMem = nullptr;
    pPMem->generation = 0;
    pPMem->bInvalidated = FALSE;
    mosFastlockBase_Release(&pPMem->lock);
    mosMemPool_Free(&pFactory->pool, pPMem);
    if (pFactory->pFreeCK != nullptr)
        pFactory->pFreeCK(pMem);
    return MOS_RC__SUCCESS;
}

Mos_RC mosPMem_QueryHandle(MosPMem_Factory *pFactory, HMosPMem hMem, UINT32 *pUsage)
{
    if (hMem == 0)
        return MOS_RC__INVALID;
    MosPMem *pPMem = mosPMem_Entry(pFactory, hMem);
    if (pPMem == nullptr)
        return MOS_RC__INVALID;
    MosFastlockGuard guard(&pPMem->lock);
    // An invalidated handle no longer resolves, though its entry keeps the generation for the releases.
    if (pPMem->generation != MOS_PMEM__GENERATION(hMem) || pPMem->bInvalidated)
        return MOS_RC__WRONG_STATE_TRANS;
    *pUsage = pPMem->ref;
    return MOS_RC__SUCCESS;
}
