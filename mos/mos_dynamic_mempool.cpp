#include "mos/mos_dynamic_mempool_intrn.h"

#include <cstdlib>
#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"

MosDynamicMemPoolLayer dynamicMemPoolLayer_G;

namespace {

#ifdef PELLAR_SANITIZE
constexpr bool kCheckDoubleFree = true;
#else
constexpr bool kCheckDoubleFree = false;
#endif

UINT8 *const kListEnd = (UINT8 *)~(uintptr_t)0;
constexpr size_t kNextOff = offsetof(MosDynamicMemPool_FreeNode, node) + offsetof(MosDList_Node, pNext);
constexpr size_t kPrevOff = offsetof(MosDynamicMemPool_FreeNode, node) + offsetof(MosDList_Node, pPrev);
constexpr size_t kHandleOff = offsetof(MosDynamicMemPool_FreeNode, handle);

// A unit's free node may sit at any address (units are not padded), so it is copied in and out.
template <typename T> T NodeGet(const UINT8 *pUnit, size_t offset)
{
    T value;
    memcpy(&value, pUnit + offset, sizeof(value));
    return value;
}

template <typename T> void NodeSet(UINT8 *pUnit, size_t offset, T value)
{
    memcpy(pUnit + offset, &value, sizeof(value));
}

inline UINT8 *ListFirst(const MosDynamicMemPool *pPool)
{
    return (UINT8 *)pPool->freeList.pFirst;
}

inline UINT8 *ListLast(const MosDynamicMemPool *pPool)
{
    return (UINT8 *)pPool->freeList.pLast;
}

inline void SetListFirst(MosDynamicMemPool *pPool, UINT8 *pUnit)
{
    pPool->freeList.pFirst = (MosDynamicMemPool_FreeNode *)pUnit;
}

inline void SetListLast(MosDynamicMemPool *pPool, UINT8 *pUnit)
{
    pPool->freeList.pLast = (MosDynamicMemPool_FreeNode *)pUnit;
}

void FreeListAppend(MosDynamicMemPool *pPool, UINT8 *pUnit, UINT32 handle)
{
    NodeSet<UINT32>(pUnit, kHandleOff, handle);
    NodeSet<UINT8 *>(pUnit, kNextOff, kListEnd);
    if (pPool->freeList.counter == 0) {
        NodeSet<UINT8 *>(pUnit, kPrevOff, kListEnd);
        SetListFirst(pPool, pUnit);
    } else {
        NodeSet<UINT8 *>(pUnit, kPrevOff, ListLast(pPool));
        NodeSet<UINT8 *>(ListLast(pPool), kNextOff, pUnit);
    }
    SetListLast(pPool, pUnit);
    pPool->freeList.counter++;
}

void FreeListUnlink(MosDynamicMemPool *pPool, UINT8 *pUnit)
{
    UINT8 *pPrev = NodeGet<UINT8 *>(pUnit, kPrevOff);
    UINT8 *pNext = NodeGet<UINT8 *>(pUnit, kNextOff);
    MOS_ASSERT_WITH_DESC(pPrev != nullptr && pNext != nullptr && pPool->freeList.counter != 0,
                         "free unit not linked");
    if (pPrev == kListEnd)
        SetListFirst(pPool, pNext == kListEnd ? nullptr : pNext);
    else
        NodeSet<UINT8 *>(pPrev, kNextOff, pNext);
    if (pNext == kListEnd)
        SetListLast(pPool, pPrev == kListEnd ? nullptr : pPrev);
    else
        NodeSet<UINT8 *>(pNext, kPrevOff, pPrev);
    NodeSet<UINT8 *>(pUnit, kNextOff, nullptr);
    NodeSet<UINT8 *>(pUnit, kPrevOff, nullptr);
    pPool->freeList.counter--;
}

BOOL FreeListContains(MosDynamicMemPool *pPool, const UINT8 *pUnit)
{
    UINT8 *pCur = pPool->freeList.counter != 0 ? ListFirst(pPool) : nullptr;
    while (pCur != nullptr && pCur != kListEnd) {
        if (pCur == pUnit)
            return TRUE;
        pCur = NodeGet<UINT8 *>(pCur, kNextOff);
    }
    return FALSE;
}

inline UINT64 BlockBytes(const MosDynamicMemPool *pPool)
{
    return (UINT64)pPool->allocationSize * pPool->unitSize;
}

// Adds one block and puts its units at the tail of the free list; the caller holds the lock.
Mos_RC AddBlockLocked(MosDynamicMemPool *pPool)
{
    MOS_ASSERT(pPool->numBlocks < pPool->allowedNumBlocks);
    auto *pBlock = (MosDynamicMemPool_AllocBlock *)calloc(1, sizeof(MosDynamicMemPool_AllocBlock));
    if (pBlock == nullptr) {
        MOS_TRACE(MOS_COMP_MEMPOOL, MOS_FREQ_LOW, "Could not allocate new MosDynamicMemPool_AllocBlock");
        return MOS_RC__NO_RESOURCES;
    }
    pBlock->pBlock = malloc(BlockBytes(pPool) + pPool->alignment);
    if (pBlock->pBlock == nullptr) {
        MOS_TRACE(MOS_COMP_MEMPOOL, MOS_FREQ_LOW, "Could not allocate new block");
        free(pBlock);
        return MOS_RC__NO_RESOURCES;
    }
    uintptr_t start = (uintptr_t)pBlock->pBlock;
    if (pPool->alignment != 0)
        start = ((start + pPool->alignment - 1) / pPool->alignment) * pPool->alignment;
    pBlock->pBlockAlignedStart = (UINT8 *)start;
    pBlock->pBlockEnd = pBlock->pBlockAlignedStart + BlockBytes(pPool);

    UINT32 index = 0;
    while (pPool->pBlocks[index] != nullptr)
        index++;
    MOS_ASSERT(index < pPool->allocedNumBlocks);
    for (UINT32 i = 0; i < pPool->allocationSize; i++)
        FreeListAppend(pPool, pBlock->pBlockAlignedStart + (UINT64)i * pPool->unitSize, index);
    pPool->pBlocks[index] = pBlock;
    pPool->numBlocks++;
    return MOS_RC__SUCCESS;
}

// Takes the head of the free list into *pBuffer; the caller holds the lock.
void TakeHeadLocked(MosDynamicMemPool *pPool, MosDynamicMemPool_Buffer *pBuffer)
{
    UINT8 *pUnit = ListFirst(pPool);
    const UINT32 handle = NodeGet<UINT32>(pUnit, kHandleOff);
    MOS_ASSERT(handle < pPool->allocedNumBlocks && pPool->pBlocks[handle] != nullptr);
    FreeListUnlink(pPool, pUnit);
    pPool->pBlocks[handle]->counter++;
    pPool->numOfAllocations++;
    pBuffer->handle = handle;
    pBuffer->pBuffer = pUnit;
}

void FreeBlock(MosDynamicMemPool_AllocBlock *pBlock)
{
    free(pBlock->pBlock);
    free(pBlock);
}

MosDynamicMemPool_Req *FirstWaiterLocked(MosDynamicMemPool *pPool)
{
    MosDList_Node *pNode = mosDList_RemoveHead(&pPool->waiters);
    return pNode == nullptr ? nullptr : MOS_CONTAINER_OF(pNode, MosDynamicMemPool_Req, asyncObj.node);
}

// Returns a unit under the lock; a waiter that it serves is returned, to be completed by the
// caller once the lock is released.
MosDynamicMemPool_Req *FreeLocked(MosDynamicMemPool *pPool, UINT32 handle, PVOID pAddr)
{
    MOS_ASSERT(handle < pPool->allocedNumBlocks);
    MosDynamicMemPool_AllocBlock *pBlock = pPool->pBlocks[handle];
    MOS_ASSERT(pBlock != ((void *)0));
    UINT8 *pUnit = (UINT8 *)pAddr;
    MOS_ASSERT(pUnit >= pBlock->pBlockAlignedStart && pUnit < pBlock->pBlockEnd);
    // A pointer into the middle of a unit would hand out overlapping memory later.
    MOS_ASSERT_WITH_DESC((UINT64)(pUnit - pBlock->pBlockAlignedStart) % pPool->unitSize == 0,
                         "not the start of a unit");
    MOS_ASSERT(pBlock->counter != 0);
    if (kCheckDoubleFree)
        MOS_ASSERT_WITH_DESC(!FreeListContains(pPool, pUnit), "unit released while free");

    MosDynamicMemPool_Req *pReq = FirstWaiterLocked(pPool);
    if (pReq != nullptr) {
        // The unit goes straight to the waiter and stays counted as out.
        pReq->pBuffer->handle = handle;
        pReq->pBuffer->pBuffer = pUnit;
        return pReq;
    }
    pBlock->counter--;
    pPool->numOfAllocations--;
    FreeListAppend(pPool, pUnit, handle);
    return nullptr;
}

void Complete(MosDynamicMemPool_Req *pReq)
{
    if (pReq != nullptr)
        pReq->asyncObj.pCK(&pReq->asyncObj, MOS_RC__SUCCESS);
}

} // namespace

Mos_RC mosDynamicMemPoolLayer_Init(void *pArg)
{
    MOS_UNUSED(pArg);
    memset(&dynamicMemPoolLayer_G, 0, sizeof(dynamicMemPoolLayer_G));
    mosObjType_RegObjType(&dynamicMemPoolLayer_G.objType, mosDynamicMemPool_Query, nullptr,
                          SDBG_EXPORTS_OBJ_TYPE__MOS_DYNAMIC_MEMPOOL, sizeof(MosDynamicMemPool_Query));
    dynamicMemPoolLayer_G.bInit = TRUE;
    return MOS_RC__SUCCESS;
}

void mosDynamicMemPoolLayer_Destroy(void)
{
    if (!dynamicMemPoolLayer_G.bInit)
        return;
    dynamicMemPoolLayer_G.bInit = FALSE;
    mosObjType_UnregObjType(&dynamicMemPoolLayer_G.objType);
}

Mos_RC mosDynamicMemPool_Create(MosDynamicMemPool *pMemPool, const CHAR_A *pName, UINT32 unitSize,
                                UINT32 allocationSize, UINT32 allocedNumBlocks, UINT32 minNumBlocks,
                                UINT32 alignment)
{
    MOS_ASSERT(pMemPool != ((void *)0));
    MOS_ASSERT(unitSize != 0);
    MOS_ASSERT(allocationSize != 0);
    MOS_ASSERT(allocedNumBlocks != 0);
    MOS_ASSERT(minNumBlocks < allocedNumBlocks);
    // A free unit holds its list link; a smaller unit would be overrun by it.
    if (unitSize < MOS_DYNAMIC_MEMPOOL__MIN_UNIT_SIZE) {
        MOS_ERROR(MOS_COMP_MEMPOOL, "Unit size %u of dynamic memory pool %s is below the minimum of %u bytes",
                  unitSize, pName != nullptr ? pName : "No name", (unsigned)MOS_DYNAMIC_MEMPOOL__MIN_UNIT_SIZE);
        return MOS_RC__INVALID;
    }

    memset(pMemPool, 0, sizeof(*pMemPool));
    pMemPool->unitSize = unitSize;
    pMemPool->allocationSize = allocationSize;
    pMemPool->allocedNumBlocks = allocedNumBlocks;
    pMemPool->allowedNumBlocks = allocedNumBlocks;
    pMemPool->minNumBlocks = minNumBlocks;
    pMemPool->alignment = alignment;
    mosDList_InitAnchor(&pMemPool->waiters);
    mosFastlockBase_Create(&pMemPool->fastlock, CONTENTION_ENUM_COMMON_CREATED__DYNAMIC_MEMPOOL, __FILE__, __LINE__);
    if (dynamicMemPoolLayer_G.bInit)
        mosObjType_RegObj(&dynamicMemPoolLayer_G.objType, &pMemPool->obj, pName);
    else
        pMemPool->obj.pName = pName;

    pMemPool->pBlocks =
        (MosDynamicMemPool_AllocBlock **)calloc(allocedNumBlocks, sizeof(MosDynamicMemPool_AllocBlock *));
    if (pMemPool->pBlocks == nullptr) {
        MOS_TRACE(MOS_COMP_MEMPOOL, MOS_FREQ_LOW, "Could not allocate memory to support up to %u blocks",
                  allocedNumBlocks);
        mosDynamicMemPool_Destroy(pMemPool);
        return MOS_RC__NO_RESOURCES;
    }
    for (UINT32 i = 0; i < minNumBlocks; i++) {
        Mos_RC rc;
        {
            MosFastlockGuard guard(&pMemPool->fastlock);
            rc = AddBlockLocked(pMemPool);
        }
        if (rc != MOS_RC__SUCCESS) {
            mosDynamicMemPool_Destroy(pMemPool);
            return rc;
        }
    }
    return MOS_RC__SUCCESS;
}

void mosDynamicMemPool_Destroy(MosDynamicMemPool *pMemPool)
{
    MOS_ASSERT(pMemPool->numOfAllocations == 0);
    if (pMemPool->pBlocks != nullptr) {
        for (UINT32 i = 0; i < pMemPool->allocedNumBlocks; i++) {
            if (pMemPool->pBlocks[i] == nullptr)
                continue;
            FreeBlock(pMemPool->pBlocks[i]);
            pMemPool->pBlocks[i] = nullptr;
            pMemPool->numBlocks--;
        }
    }
    MOS_ASSERT(pMemPool->numBlocks == 0);
    free(pMemPool->pBlocks);
    pMemPool->pBlocks = nullptr;
    pMemPool->freeList.pFirst = pMemPool->freeList.pLast = nullptr;
    pMemPool->freeList.counter = 0;
    if (mosObj_IsRegistered(&pMemPool->obj))
        mosObjType_UnregObj(&dynamicMemPoolLayer_G.objType, &pMemPool->obj);
    mosFastlockBase_Destroy(&pMemPool->fastlock);
    pMemPool->allocedNumBlocks = 0;
}

Mos_RC mosDynamicMemPool_Alloc(MosDynamicMemPool *pMemPool, MosDynamicMemPool_Buffer *pAllocatedBuffer)
{
    return mosDynamicMemPool_AllocWait(pMemPool, nullptr, pAllocatedBuffer);
}

Mos_RC mosDynamicMemPool_AllocWait(MosDynamicMemPool *pMemPool, MosDynamicMemPool_Req *pReq,
                                   MosDynamicMemPool_Buffer *pAllocatedBuffer)
{
    MOS_ASSERT(pAllocatedBuffer != ((void *)0));
    pAllocatedBuffer->pBuffer = nullptr;
    MosFastlockGuard guard(&pMemPool->fastlock);
    MOS_ASSERT(pMemPool->allocedNumBlocks != 0);
    if (pMemPool->freeList.counter != 0) {
        TakeHeadLocked(pMemPool, pAllocatedBuffer);
        return MOS_RC__SUCCESS;
    }
    if (pMemPool->numBlocks < pMemPool->allowedNumBlocks) {
        const Mos_RC rc = AddBlockLocked(pMemPool);
        if (rc != MOS_RC__SUCCESS)
            return rc;
        TakeHeadLocked(pMemPool, pAllocatedBuffer);
        return MOS_RC__SUCCESS;
    }
    if (pReq != nullptr) {
        MOS_ASSERT((&pReq->asyncObj.node)->pPrev == ((void *)0));
        pReq->pBuffer = pAllocatedBuffer;
        mosDList_InsertTail(&pMemPool->waiters, &pReq->asyncObj.node);
        return MOS_RC__PENDING;
    }
    MOS_TRACE(MOS_COMP_MEMPOOL, MOS_FREQ_LOW, "Reached max number of blocks cannot allocate");
    return MOS_RC__NO_RESOURCES;
}

Mos_RC mosDynamicMemPool_Free(MosDynamicMemPool *pMemPool, MosDynamicMemPool_Buffer *pFreeBuffer)
{
    MosDynamicMemPool_Req *pReq;
    {
        MosFastlockGuard guard(&pMemPool->fastlock);
        pReq = FreeLocked(pMemPool, pFreeBuffer->handle, pFreeBuffer->pBuffer);
    }
    Complete(pReq);
    return MOS_RC__SUCCESS;
}

Mos_RC mosDynamicMemPool_ScanNFree(MosDynamicMemPool *pMemPool, PVOID pBuffer)
{
    MosDynamicMemPool_Req *pReq = nullptr;
    {
        MosFastlockGuard guard(&pMemPool->fastlock);
        UINT32 handle = 0;
        for (; handle < pMemPool->allocedNumBlocks; handle++) {
            const MosDynamicMemPool_AllocBlock *pBlock = pMemPool->pBlocks[handle];
            if (pBlock != nullptr && (UINT8 *)pBuffer >= pBlock->pBlockAlignedStart &&
                (UINT8 *)pBuffer < pBlock->pBlockEnd)
                break;
        }
        if (handle == pMemPool->allocedNumBlocks) {
            MOS_TRACE(MOS_COMP_MEMPOOL, MOS_FREQ_LOW, "Buffer %p is not in any block of pool %s", pBuffer,
                      pMemPool->obj.pName != nullptr ? pMemPool->obj.pName : "No name");
            return MOS_RC__INVALID;
        }
        pReq = FreeLocked(pMemPool, handle, pBuffer);
    }
    Complete(pReq);
    return MOS_RC__SUCCESS;
}

Mos_RC mosDynamicMemPool_ReleaseMemory(MosDynamicMemPool *pMemPool, UINT32 numOfBlocksToFree)
{
    MOS_ASSERT(numOfBlocksToFree != 0);
    MosFastlockGuard guard(&pMemPool->fastlock);
    for (UINT32 block = 0; block < pMemPool->allocedNumBlocks && numOfBlocksToFree != 0 &&
                           pMemPool->numBlocks > pMemPool->minNumBlocks;
         block++) {
        MosDynamicMemPool_AllocBlock *pBlock = pMemPool->pBlocks[block];
        if (pBlock == nullptr || pBlock->counter != 0)
            continue;
        for (UINT32 i = 0; i < pMemPool->allocationSize; i++) {
            UINT8 *pUnit = pBlock->pBlockAlignedStart + (UINT64)i * pMemPool->unitSize;
            MosDynamicMemPool_FreeNode freeNode;
            memcpy(&freeNode, pUnit, MOS_DYNAMIC_MEMPOOL__MIN_UNIT_SIZE);
            const MosDynamicMemPool_FreeNode *pFreeNode = &freeNode;
            MOS_ASSERT(pFreeNode->handle == block);
            FreeListUnlink(pMemPool, pUnit);
        }
        FreeBlock(pBlock);
        pMemPool->pBlocks[block] = nullptr;
        pMemPool->numBlocks--;
        numOfBlocksToFree--;
    }
    return MOS_RC__SUCCESS;
}

void mosDynamicMemPool_UpdateMinNumBlocks(MosDynamicMemPool *pMemPool, UINT32 minNumBlocks)
{
    MosFastlockGuard guard(&pMemPool->fastlock);
    MOS_ASSERT(minNumBlocks <= pMemPool->allocedNumBlocks);
    pMemPool->minNumBlocks = minNumBlocks;
}

void mosDynamicMemPool_UpdateMaxNumBlocks(MosDynamicMemPool *pMemPool, UINT32 newMaxNumBlocks)
{
    MosAsyncObj_Anchor served;
    mosDList_InitAnchor(&served);
    {
        MosFastlockGuard guard(&pMemPool->fastlock);
        MOS_ASSERT(newMaxNumBlocks >= pMemPool->minNumBlocks);
        if (newMaxNumBlocks > pMemPool->allocedNumBlocks) {
            auto **pNewBlocks = (MosDynamicMemPool_AllocBlock **)calloc(newMaxNumBlocks,
                                                                         sizeof(MosDynamicMemPool_AllocBlock *));
            MOS_ASSERT(pNewBlocks != ((void *)0));
            memcpy(pNewBlocks, pMemPool->pBlocks, pMemPool->allocedNumBlocks * sizeof(MosDynamicMemPool_AllocBlock *));
            free(pMemPool->pBlocks);
            pMemPool->pBlocks = pNewBlocks;
            pMemPool->allocedNumBlocks = newMaxNumBlocks;
        }
        pMemPool->allowedNumBlocks = newMaxNumBlocks;
        MOS_ASSERT((((&pMemPool->waiters)->counter) == 0) || (((&pMemPool->freeList)->counter) == 0));
        while (!MOS_DLIST__IS_EMPTY(&pMemPool->waiters)) {
            if (pMemPool->freeList.counter == 0 &&
                (pMemPool->numBlocks >= pMemPool->allowedNumBlocks || AddBlockLocked(pMemPool) != MOS_RC__SUCCESS))
                break;
            MosDynamicMemPool_Req *pReq = FirstWaiterLocked(pMemPool);
            TakeHeadLocked(pMemPool, pReq->pBuffer);
            mosDList_InsertTail(&served, &pReq->asyncObj.node);
        }
    }
    while (MosDList_Node *pNode = mosDList_RemoveHead(&served))
        Complete(MOS_CONTAINER_OF(pNode, MosDynamicMemPool_Req, asyncObj.node));
}

UINT32 mosDynamicMemPool_GetUsage(MosDynamicMemPool *pMemPool)
{
    MosFastlockGuard guard(&pMemPool->fastlock);
    return pMemPool->numOfAllocations;
}

void mosDynamicMemPool_GetStats(MosDynamicMemPool *pMemPool, UINT32 *pUsage, UINT32 *pMaxNumBlocks,
                                UINT32 *pMinNumBlocks)
{
    MosFastlockGuard guard(&pMemPool->fastlock);
    if (pUsage != nullptr)
        *pUsage = pMemPool->numOfAllocations;
    if (pMaxNumBlocks != nullptr)
        *pMaxNumBlocks = pMemPool->allowedNumBlocks;
    if (pMinNumBlocks != nullptr)
        *pMinNumBlocks = pMemPool->minNumBlocks;
}

void mosDynamicMemPool_Query(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    MosDynamicMemPool *pMemPool = MOS_CONTAINER_OF(pObj, MosDynamicMemPool, obj);
    auto *pQuery = (MosDynamicMemPool_Query *)pData;
    memset(pQuery, 0, sizeof(*pQuery));
    if (pName != nullptr)
        memcpy(pQuery->name, pName, strnlen(pName, sizeof(pQuery->name)));
    MosFastlockGuard guard(&pMemPool->fastlock);
    pQuery->unitSize = pMemPool->unitSize;
    pQuery->allocedNumBlocks = pMemPool->allocedNumBlocks;
    pQuery->allowedNumBlocks = pMemPool->allowedNumBlocks;
    pQuery->minNumBlocks = pMemPool->minNumBlocks;
    pQuery->numBlocks = pMemPool->numBlocks;
    pQuery->allocationSize = pMemPool->allocationSize;
    pQuery->waiters = pMemPool->waiters.counter;
}
