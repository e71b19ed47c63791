#include "mos/mos_mempool_intrn.h"

#include <cstdlib>
#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"
#include "mos/mos_utils_text.h"

MosMemPoolLayer memPoolLayer_G;

#define MOS_MEMPOOL__LIST_END ((MosMemPool_Block *)~(uintptr_t)0)
#define MOS_MEMPOOL__LARGE_ALLOC_BYTES 0x100000ull

// A broken expectation that is reported and survived.
#define MOS_MEMPOOL_SOFT_ASSERT(cond)                                                                   \
    do {                                                                                                \
        if (__builtin_expect(!(cond), 0))                                                               \
            MOS_ERROR(MOS_COMP_MEMPOOL, "ASSERT condition (%s) failed.", #cond);                        \
    } while (0)

#ifdef PELLAR_SANITIZE
static constexpr bool mosMemPool_bTrackBlocks = true;
#else
static constexpr bool mosMemPool_bTrackBlocks = false;
#endif

// One byte per block, 1 while the block is out; kept for the current memory and for the memory
// before the last resize.
struct MosMemPool_DbgState {
    UINT8 *pOut;
    UINT8 *pOldOut;
    UINT8 *pOldFirstBlock;
    UINT32 oldNumBlocks;
};

static inline UINT32 mosMemPool_PageSize(void)
{
    return (UINT32)mos_PageSize();
}

Mos_RC mosMemPoolTraces_Resize(MosMemPoolTraces *pTraces, UINT32 newNumBlocks)
{
    MOS_UNUSED(pTraces);
    MOS_UNUSED(newNumBlocks);
    return MOS_RC__SUCCESS;
}

void mosMemPoolTraces_Destroy(MosMemPoolTraces *pTraces)
{
    MOS_UNUSED(pTraces);
}

void mosMemPoolTraces_FreeOldBuffer(MosMemPoolTraces *pTraces)
{
    MOS_UNUSED(pTraces);
}

Mos_RC mosMemPoolLayer_Init(void *pArg)
{
    MOS_UNUSED(pArg);
    memset(&memPoolLayer_G, 0, sizeof(memPoolLayer_G));
    mos_InitMemProperties();
    mosObjType_RegObjType(&memPoolLayer_G.objType, mosMemPool_Query, nullptr, SDBG_EXPORTS_OBJ_TYPE__MOS_MEMPOOL,
                          sizeof(MosMemPool_Query));
    memPoolLayer_G.bInit = TRUE;
    return MOS_RC__SUCCESS;
}

void mosMemPoolLayer_Destroy(void)
{
    if (!memPoolLayer_G.bInit)
        return;
    memPoolLayer_G.bInit = FALSE;
    mosObjType_UnregObjType(&memPoolLayer_G.objType);
}

static inline UINT32 mosMemPool_GuardSize(const MosMemPool *pMemPool)
{
    return pMemPool->bGuardPage ? mosMemPool_PageSize() : 0;
}

static inline UINT64 mosMemPool_Stride(const MosMemPool *pMemPool)
{
    return (UINT64)pMemPool->blockSizeInBytes + mosMemPool_GuardSize(pMemPool);
}

static inline UINT8 *mosMemPool_FirstBlock(const MosMemPool *pMemPool)
{
    return (UINT8 *)pMemPool->pMemAlignedStart + mosMemPool_GuardSize(pMemPool);
}

static inline UINT8 *mosMemPool_AlignUp(PVOID pMem, UINT32 alignment)
{
    if (alignment == 0)
        return (UINT8 *)pMem;
    const uintptr_t addr = (uintptr_t)pMem;
    return (UINT8 *)(((addr + alignment - 1) / alignment) * alignment);
}

static inline UINT32 mosMemPool_FreeEntriesLocked(const MosMemPool *pMemPool)
{
    if (pMemPool->freeHandlingType == MOS_TIMER__FREE_HANDLER_LIST)
        return pMemPool->freeList.counter;
    return pMemPool->numBlocks - pMemPool->freeStack.nextFreeobject;
}

// Builds the free structure over the current memory; every block becomes free.
static void mosMemPool_BuildFree(MosMemPool *pMemPool, BOOL bLockHeld)
{
    UINT8 *pFirst = mosMemPool_FirstBlock(pMemPool);
    const UINT64 stride = mosMemPool_Stride(pMemPool);
    if (pMemPool->freeHandlingType == MOS_TIMER__FREE_HANDLER_LIST) {
        pMemPool->freeList.pFirst = nullptr;
        pMemPool->freeList.pLast = nullptr;
        pMemPool->freeList.counter = 0;
        for (UINT32 i = 0; i < pMemPool->numBlocks; i++) {
            MosMemPool_Block *pBlock = (MosMemPool_Block *)(pFirst + i * stride);
            if (pMemPool->pYieldCK != nullptr)
                pMemPool->pYieldCK(pMemPool, bLockHeld);
            if (pMemPool->pInitCK != nullptr) {
                pMemPool->pInitCK(pBlock, pMemPool->blockSizeInBytes);
                MOS_MEMPOOL_SOFT_ASSERT((*(PUINT64)pBlock == 0));
            }
            pBlock->pNext = MOS_MEMPOOL__LIST_END;
            if (pMemPool->freeList.counter == 0)
                pMemPool->freeList.pFirst = pBlock;
            else
                pMemPool->freeList.pLast->pNext = pBlock;
            pMemPool->freeList.pLast = pBlock;
            pMemPool->freeList.counter++;
        }
    } else {
        pMemPool->freeStack.nextFreeobject = pMemPool->numBlocks;
        for (UINT32 i = 0; i < pMemPool->numBlocks; i++)
            pMemPool->freeStack.pFreeStackArray[--pMemPool->freeStack.nextFreeobject] = pFirst + i * stride;
    }
}

void mosMemPool_Create(MosMemPool *pMemPool, UINT32 blockSizeInBytes, UINT32 numBlocks, UINT32 alignment)
{
    mosMemPool_CreateEx(pMemPool, nullptr, nullptr, nullptr, blockSizeInBytes, numBlocks, alignment, FALSE,
                        MOS_TIMER__FREE_HANDLER_LIST);
}

void mosMemPool_CreateEx(MosMemPool *pMemPool, const CHAR_A *pName, MosMemPool_YieldCK pYieldCK,
                         MosMemPool_InitCK pInitCK, UINT32 blockSizeInBytes, UINT32 numBlocks, UINT32 alignment,
                         BOOL bGuardPage, MosMemPool_FreeHandlingType freeHandlingType)
{
    MOS_ASSERT((freeHandlingType != MOS_TIMER__FREE_HANDLER_STACK) || (pInitCK == ((void *)0)));
    MOS_ASSERT(pMemPool != ((void *)0));
    MOS_ASSERT(blockSizeInBytes >= sizeof(MosMemPool_Block));
    MOS_ASSERT(numBlocks > 0);
    const UINT32 pageSize = mosMemPool_PageSize();
    if (bGuardPage) {
        const UINT32 tmpBlockSizeInBytes = blockSizeInBytes % pageSize;
        MOS_ASSERT(tmpBlockSizeInBytes == 0);
    }
    if (freeHandlingType != MOS_TIMER__FREE_HANDLER_LIST && freeHandlingType != MOS_TIMER__FREE_HANDLER_STACK) {
        MOS_TRACE(MOS_COMP_MEMPOOL, MOS_FREQ_LOW, "Illegal freeHandlingType %d", (int)freeHandlingType);
        MOS_UNREACHABLE("");
    }

    memset(pMemPool, 0, sizeof(*pMemPool));
    UINT64 memSize;
    if (bGuardPage) {
        if (alignment < pageSize)
            alignment = pageSize;
        memSize = (UINT64)numBlocks * ((UINT64)blockSizeInBytes + pageSize);
    } else {
        memSize = (UINT64)blockSizeInBytes * numBlocks;
    }

    pMemPool->pYieldCK = pYieldCK;
    pMemPool->pInitCK = pInitCK;
    pMemPool->freeHandlingType = freeHandlingType;
    pMemPool->blockSizeInBytes = blockSizeInBytes;
    pMemPool->numBlocks = numBlocks;
    pMemPool->bGuardPage = bGuardPage ? TRUE : FALSE;
    // Exact for every 32-bit offset when the stride fits 32 bits too (and is not 1, which the
    // minimum block size rules out).
    const UINT64 stride = mosMemPool_Stride(pMemPool);
    pMemPool->strideInverse = (stride >> 32) == 0 ? ~UINT64{0} / stride + 1 : 0;
    pMemPool->alignment = alignment;
    pMemPool->bIsReadyToUse = TRUE;
    mosDList_InitAnchor(&pMemPool->waiters);
    mosFastlockBase_Create(&pMemPool->fastlock, CONTENTION_ENUM_COMMON_CREATED__MEMPOOL, __FILE__, __LINE__);

    const UINT64 allocSize = alignment + memSize;
    if (allocSize > MOS_MEMPOOL__LARGE_ALLOC_BYTES)
        MOS_TRACE(MOS_COMP_MEMPOOL, MOS_FREQ_MED, "Allocate %u MB, for memory pool %s", (unsigned)(allocSize >> 20),
                  pName != nullptr ? pName : "No name");
    pMemPool->pMem = malloc(allocSize);
    MOS_ASSERT(pMemPool->pMem != ((void *)0));
    pMemPool->pMemAlignedStart = mosMemPool_AlignUp(pMemPool->pMem, alignment);
    pMemPool->pMemEnd = (UINT8 *)pMemPool->pMemAlignedStart + memSize;

    if (freeHandlingType == MOS_TIMER__FREE_HANDLER_STACK) {
        pMemPool->freeStack.pFreeStackArray = (PVOID *)malloc((UINT64)numBlocks * sizeof(PVOID));
        MOS_ASSERT(pMemPool->freeStack.pFreeStackArray != ((void *)0));
    }
    mosMemPool_BuildFree(pMemPool, FALSE);

    if (bGuardPage) {
        const UINT64 stride = mosMemPool_Stride(pMemPool);
        for (UINT32 i = 0; i < numBlocks; i++)
            mos_MarkPageNotAvailable((UINT8 *)pMemPool->pMemAlignedStart + i * stride);
    }
    if (mosMemPool_bTrackBlocks) {
        pMemPool->pDbg = (MosMemPool_DbgState *)calloc(1, sizeof(MosMemPool_DbgState));
        MOS_ASSERT(pMemPool->pDbg != nullptr);
        pMemPool->pDbg->pOut = (UINT8 *)calloc(numBlocks, 1);
        MOS_ASSERT(pMemPool->pDbg->pOut != nullptr);
    }
    if (memPoolLayer_G.bInit)
        mosObjType_RegObj(&memPoolLayer_G.objType, &pMemPool->obj, pName);
    else
        pMemPool->obj.pName = pName;
}

static void mosMemPool_DbgFree(MosMemPool *pMemPool)
{
    if (pMemPool->pDbg == nullptr)
        return;
    free(pMemPool->pDbg->pOut);
    free(pMemPool->pDbg->pOldOut);
    free(pMemPool->pDbg);
    pMemPool->pDbg = nullptr;
}

void mosMemPool_Destroy(MosMemPool *pMemPool)
{
    mosMemPool_DestroyEx(pMemPool, nullptr);
}

void mosMemPool_DestroyEx(MosMemPool *pMemPool, MosMemPool_DestroyCK pDestroyCK)
{
    if (pMemPool->freeHandlingType == MOS_TIMER__FREE_HANDLER_STACK) {
        MOS_ASSERT(pMemPool->freeStack.nextFreeobject == 0);
        MOS_ASSERT(pMemPool->freeStack.pFreeStackArray != ((void *)0));
        free(pMemPool->freeStack.pFreeStackArray);
        pMemPool->freeStack.pFreeStackArray = nullptr;
    } else if (pDestroyCK != nullptr || pMemPool->pYieldCK != nullptr) {
        MosMemPool_Block *pBlock = pMemPool->freeList.counter != 0 ? pMemPool->freeList.pFirst : nullptr;
        while (pBlock != nullptr && pBlock != MOS_MEMPOOL__LIST_END) {
            MosMemPool_Block *pNext = pBlock->pNext;
            if (pMemPool->pYieldCK != nullptr)
                pMemPool->pYieldCK(pMemPool, FALSE);
            if (pDestroyCK != nullptr)
                pDestroyCK(pBlock);
            pBlock = pNext;
        }
    }
    if (pMemPool->bGuardPage) {
        const UINT64 stride = mosMemPool_Stride(pMemPool);
        for (UINT32 i = 0; i < pMemPool->numBlocks; i++)
            mos_MarkPageAvailable((UINT8 *)pMemPool->pMemAlignedStart + i * stride);
    }
    if (mosObj_IsRegistered(&pMemPool->obj))
        mosObjType_UnregObj(&memPoolLayer_G.objType, &pMemPool->obj);
    free(pMemPool->pMem);
    free(pMemPool->pOldMem);
    pMemPool->pMem = pMemPool->pMemAlignedStart = pMemPool->pMemEnd = nullptr;
    pMemPool->pOldMem = pMemPool->pOldMemEnd = nullptr;
    mosMemPool_DbgFree(pMemPool);
    mosFastlockBase_Destroy(&pMemPool->fastlock);
}

UINT32 mosMemPool_IndexFromMem(MosMemPool *pMemPool, PVOID pMem)
{
    MOS_ASSERT(pMem >= pMemPool->pMemAlignedStart && pMem < pMemPool->pMemEnd);
    UINT8 *pFirst = mosMemPool_FirstBlock(pMemPool);
    MOS_ASSERT((UINT8 *)pMem >= pFirst);
    const UINT64 offset = (UINT64)((UINT8 *)pMem - pFirst);
    const UINT64 stride = mosMemPool_Stride(pMemPool);
    const UINT64 index = (offset >> 32) == 0 && pMemPool->strideInverse != 0
                             ? (UINT64)(((unsigned __int128)pMemPool->strideInverse * offset) >> 64)
                             : offset / stride;
    MOS_ASSERT(index < pMemPool->numBlocks);
    MOS_ASSERT_WITH_DESC(offset - index * stride < pMemPool->blockSizeInBytes, "address in a guard page");
    return (UINT32)index;
}

PVOID mosMemPool_MemByIndex(MosMemPool *pMemPool, UINT32 index)
{
    MOS_ASSERT(index < pMemPool->numBlocks);
    return mosMemPool_FirstBlock(pMemPool) + index * mosMemPool_Stride(pMemPool);
}

// Takes one free block; the caller holds the lock and has checked that one exists.
static PVOID mosMemPool_PopLocked(MosMemPool *pMemPool)
{
    PVOID pMem;
    if (pMemPool->freeHandlingType == MOS_TIMER__FREE_HANDLER_LIST) {
        MosMemPool_Block *pBlock = pMemPool->freeList.pFirst;
        if (pBlock->pNext == MOS_MEMPOOL__LIST_END) {
            MOS_ASSERT_WITH_DESC(pBlock == pMemPool->freeList.pLast, "");
            pMemPool->freeList.pFirst = nullptr;
            pMemPool->freeList.pLast = nullptr;
        } else {
            MOS_ASSERT_WITH_DESC(pBlock->pNext != nullptr, "free block overwritten");
            pMemPool->freeList.pFirst = pBlock->pNext;
        }
        pMemPool->freeList.counter--;
        pBlock->pNext = nullptr;
        pMem = pBlock;
    } else {
        pMem = pMemPool->freeStack.pFreeStackArray[pMemPool->freeStack.nextFreeobject++];
    }
    const UINT32 index = mosMemPool_IndexFromMem(pMemPool, pMem);
    if (pMemPool->pDbg != nullptr)
        pMemPool->pDbg->pOut[index] = 1;
    return pMem;
}

static void mosMemPool_PushLocked(MosMemPool *pMemPool, PVOID pMem)
{
    if (pMemPool->freeHandlingType == MOS_TIMER__FREE_HANDLER_LIST) {
        MosMemPool_Block *pBlock = (MosMemPool_Block *)pMem;
        if (pMemPool->freeList.counter == 0) {
            pBlock->pNext = MOS_MEMPOOL__LIST_END;
            pMemPool->freeList.pLast = pBlock;
        } else {
            pBlock->pNext = pMemPool->freeList.pFirst;
        }
        pMemPool->freeList.pFirst = pBlock;
        pMemPool->freeList.counter++;
    } else {
        pMemPool->freeStack.pFreeStackArray[--pMemPool->freeStack.nextFreeobject] = pMem;
    }
}

static MosMemPool_Req *mosMemPool_FirstWaiterLocked(MosMemPool *pMemPool)
{
    MosDList_Node *pNode = mosDList_RemoveHead(&pMemPool->waiters);
    return pNode == nullptr ? nullptr : MOS_CONTAINER_OF(pNode, MosMemPool_Req, asyncObj.node);
}

Mos_RC mosMemPool_Alloc(MosMemPool *pMemPool, PVOID *ppAllocated, MosMemPool_Req *pReq, BOOL bWait)
{
    MosFastlockGuard guard(&pMemPool->fastlock);
    if (pMemPool->bIsReadyToUse && mosMemPool_FreeEntriesLocked(pMemPool) != 0) {
        PVOID pMem = mosMemPool_PopLocked(pMemPool);
        if (ppAllocated != nullptr) {
            // The stack keeps no link in the block, so its first word still holds the last user's data.
            memset(pMem, 0, sizeof(MosMemPool_Block));
            *ppAllocated = pMem;
        }
        if (pReq != nullptr)
            pReq->pMem = pMem;
        return MOS_RC__SUCCESS;
    }
    if (!bWait)
        return MOS_RC__NO_RESOURCES;
    MOS_ASSERT(pReq != ((void *)0));
    MOS_ASSERT((&pReq->asyncObj.node)->pPrev == ((void *)0));
    mosDList_InsertTail(&pMemPool->waiters, &pReq->asyncObj.node);
    return MOS_RC__PENDING;
}

Mos_RC mosMemPool_AllocNoWait(MosMemPool *pMemPool, PVOID *ppAllocated)
{
    return mosMemPool_Alloc(pMemPool, ppAllocated, nullptr, FALSE);
}

static inline BOOL mosMemPool_InOldMem(const MosMemPool *pMemPool, PVOID pBlock)
{
    return pBlock >= pMemPool->pOldMem && pBlock < pMemPool->pOldMemEnd;
}

// A block of the memory before the last resize came back; it does not rejoin the pool.
static void mosMemPool_FreeOldLocked(MosMemPool *pMemPool, PVOID pBlock)
{
    MosMemPool_DbgState *pDbg = pMemPool->pDbg;
    if (pDbg != nullptr) {
        const UINT64 offset = (UINT64)((UINT8 *)pBlock - pDbg->pOldFirstBlock);
        const UINT64 index = offset / pMemPool->blockSizeInBytes;
        MOS_ASSERT_WITH_DESC((UINT8 *)pBlock >= pDbg->pOldFirstBlock && index < pDbg->oldNumBlocks &&
                                 offset % pMemPool->blockSizeInBytes == 0,
                             "not a block of the pool's old memory");
        MOS_ASSERT_WITH_DESC(pDbg->pOldOut[index] != 0, "block released while free");
        pDbg->pOldOut[index] = 0;
    }
    MOS_ASSERT(pMemPool->oldNumAllocatedBlocks != 0);
    if (--pMemPool->oldNumAllocatedBlocks == 0) {
        free(pMemPool->pOldMem);
        pMemPool->pOldMem = nullptr;
        pMemPool->pOldMemEnd = nullptr;
        mosMemPoolTraces_FreeOldBuffer(&pMemPool->traces);
        if (pDbg != nullptr) {
            free(pDbg->pOldOut);
            pDbg->pOldOut = nullptr;
            pDbg->pOldFirstBlock = nullptr;
            pDbg->oldNumBlocks = 0;
        }
    }
}

void mosMemPool_Free(MosMemPool *pMemPool, PVOID pBlock)
{
    MOS_MEMPOOL_SOFT_ASSERT(pBlock != ((void *)0));
    mosFastlockBase_Acquire(&pMemPool->fastlock);
    if (pBlock != nullptr && mosMemPool_InOldMem(pMemPool, pBlock)) {
        mosMemPool_FreeOldLocked(pMemPool, pBlock);
        mosFastlockBase_Release(&pMemPool->fastlock);
        return;
    }
    MOS_MEMPOOL_SOFT_ASSERT((pBlock >= pMemPool->pMem && pBlock < pMemPool->pMemEnd) ||
                            (pBlock >= pMemPool->pOldMem && pBlock < pMemPool->pOldMemEnd));
    if (!pMemPool->bIsReadyToUse) {
        MOS_ERROR(MOS_COMP_MEMPOOL, "MemPool '%s' is in invalid state, pBlock %p, OldMem %p, freeHandlingType %d",
                  pMemPool->obj.pName != nullptr ? pMemPool->obj.pName : "No name", pBlock, pMemPool->pOldMem,
                  (int)pMemPool->freeHandlingType);
        MOS_UNREACHABLE("");
    }
    const UINT32 index = mosMemPool_IndexFromMem(pMemPool, pBlock);
    // A pointer into the middle of a block would hand out overlapping memory later.
    MOS_ASSERT_WITH_DESC(pBlock == mosMemPool_MemByIndex(pMemPool, index), "not the start of a block");
    if (pMemPool->pDbg != nullptr) {
        MOS_ASSERT_WITH_DESC(pMemPool->pDbg->pOut[index] != 0, "block released while free");
        pMemPool->pDbg->pOut[index] = 0;
    }

    MosMemPool_Req *pReq = mosMemPool_FirstWaiterLocked(pMemPool);
    if (pReq == nullptr) {
        mosMemPool_PushLocked(pMemPool, pBlock);
        mosFastlockBase_Release(&pMemPool->fastlock);
        return;
    }
    // Handed straight to the first waiter: the block never rejoins the free structure.
    if (pMemPool->pDbg != nullptr)
        pMemPool->pDbg->pOut[index] = 1;
    mosFastlockBase_Release(&pMemPool->fastlock);
    pReq->pMem = pBlock;
    pReq->asyncObj.pCK(&pReq->asyncObj, MOS_RC__SUCCESS);
}

Mos_RC mosMemPool_Resize(MosMemPool *pMemPool, UINT32 newNumBlocks)
{
    MOS_ASSERT(newNumBlocks > 0);
    mosFastlockBase_Acquire(&pMemPool->fastlock);
    const CHAR_A *pName = pMemPool->obj.pName != nullptr ? pMemPool->obj.pName : "No name";
    Mos_RC rc = MOS_RC__SUCCESS;
    if (newNumBlocks == pMemPool->numBlocks) {
        MOS_TRACE(MOS_COMP_MEMPOOL, MOS_FREQ_MED, "same size resize for memory pool %s", pName);
    } else if (pMemPool->bGuardPage) {
        MOS_TRACE(MOS_COMP_MEMPOOL, MOS_FREQ_LOW, "Resize is not supported with guard page for mem pool %s", pName);
        rc = MOS_RC__INVALID;
    } else if (pMemPool->pOldMem != nullptr) {
        MOS_TRACE(MOS_COMP_MEMPOOL, MOS_FREQ_LOW, "Resize is progress for memory pool %s", pName);
        rc = MOS_RC__BUSY;
    } else if (!pMemPool->bIsReadyToUse) {
        MOS_TRACE(MOS_COMP_MEMPOOL, MOS_FREQ_LOW, "MemPool %s is in use, Resize is forbidden", pName);
        rc = MOS_RC__BUSY;
    }
    if (rc != MOS_RC__SUCCESS || newNumBlocks == pMemPool->numBlocks) {
        mosFastlockBase_Release(&pMemPool->fastlock);
        return rc;
    }

    // Everything that can fail is allocated before the pool changes.
    PVOID *pNewArray = nullptr;
    if (pMemPool->freeHandlingType == MOS_TIMER__FREE_HANDLER_STACK) {
        pNewArray = (PVOID *)malloc((UINT64)newNumBlocks * sizeof(PVOID));
        if (pNewArray == nullptr) {
            mosFastlockBase_Release(&pMemPool->fastlock);
            return MOS_RC__NO_RESOURCES;
        }
    }
    const UINT64 newMemSize = (UINT64)newNumBlocks * pMemPool->blockSizeInBytes;
    PVOID pNewMem = malloc(newMemSize + pMemPool->alignment);
    UINT8 *pNewOut = nullptr;
    if (pNewMem != nullptr && pMemPool->pDbg != nullptr)
        pNewOut = (UINT8 *)calloc(newNumBlocks, 1);
    if (pNewMem == nullptr || (pMemPool->pDbg != nullptr && pNewOut == nullptr)) {
        free(pNewMem);
        free(pNewArray);
        mosFastlockBase_Release(&pMemPool->fastlock);
        return MOS_RC__NO_RESOURCES;
    }

    const UINT32 oldNumBlocks = pMemPool->numBlocks;
    pMemPool->oldNumAllocatedBlocks = oldNumBlocks - mosMemPool_FreeEntriesLocked(pMemPool);
    pMemPool->pOldMem = pMemPool->pMem;
    pMemPool->pOldMemEnd = pMemPool->pMemEnd;
    if (pMemPool->pDbg != nullptr) {
        pMemPool->pDbg->pOldOut = pMemPool->pDbg->pOut;
        pMemPool->pDbg->pOldFirstBlock = mosMemPool_FirstBlock(pMemPool);
        pMemPool->pDbg->oldNumBlocks = oldNumBlocks;
        pMemPool->pDbg->pOut = pNewOut;
    }
    pMemPool->pMem = pNewMem;
    pMemPool->pMemAlignedStart = mosMemPool_AlignUp(pNewMem, pMemPool->alignment);
    pMemPool->pMemEnd = (UINT8 *)pMemPool->pMemAlignedStart + newMemSize;
    pMemPool->numBlocks = newNumBlocks;
    pMemPool->bIsReadyToUse = FALSE;
    if (pMemPool->freeHandlingType == MOS_TIMER__FREE_HANDLER_STACK) {
        free(pMemPool->freeStack.pFreeStackArray);
        pMemPool->freeStack.pFreeStackArray = pNewArray;
    }
    mosMemPool_BuildFree(pMemPool, TRUE);
    pMemPool->bIsReadyToUse = TRUE;
    mosMemPoolTraces_Resize(&pMemPool->traces, newNumBlocks);
    if (pMemPool->oldNumAllocatedBlocks == 0) {
        free(pMemPool->pOldMem);
        pMemPool->pOldMem = nullptr;
        pMemPool->pOldMemEnd = nullptr;
        if (pMemPool->pDbg != nullptr) {
            free(pMemPool->pDbg->pOldOut);
            pMemPool->pDbg->pOldOut = nullptr;
            pMemPool->pDbg->pOldFirstBlock = nullptr;
            pMemPool->pDbg->oldNumBlocks = 0;
        }
    }

    // New blocks serve the requests that waited, each completed with the lock released.
    while (mosMemPool_FreeEntriesLocked(pMemPool) != 0 && !MOS_DLIST__IS_EMPTY(&pMemPool->waiters)) {
        MosMemPool_Req *pReq = mosMemPool_FirstWaiterLocked(pMemPool);
        PVOID pMem = mosMemPool_PopLocked(pMemPool);
        mosFastlockBase_Release(&pMemPool->fastlock);
        pReq->pMem = pMem;
        pReq->asyncObj.pCK(&pReq->asyncObj, MOS_RC__SUCCESS);
        mosFastlockBase_Acquire(&pMemPool->fastlock);
    }
    mosFastlockBase_Release(&pMemPool->fastlock);
    return MOS_RC__SUCCESS;
}

UINT32 mosMemPool_GetSize(MosMemPool *pMemPool)
{
    return __atomic_load_n(&pMemPool->numBlocks, __ATOMIC_RELAXED);
}

UINT32 mosMemPool_GetNumOfFreeEntries(MosMemPool *pMemPool)
{
    if (pMemPool->freeHandlingType == MOS_TIMER__FREE_HANDLER_LIST)
        return __atomic_load_n(&pMemPool->freeList.counter, __ATOMIC_RELAXED);
    return __atomic_load_n(&pMemPool->numBlocks, __ATOMIC_RELAXED) -
           __atomic_load_n(&pMemPool->freeStack.nextFreeobject, __ATOMIC_RELAXED);
}

BOOL mosMemPool_IsFullyAllocated(MosMemPool *pMemPool)
{
    return mosMemPool_GetNumOfFreeEntries(pMemPool) == 0;
}

void mosMemPool_AssertValid(MosMemPool *pMemPool)
{
    MosMemPool *pPool = pMemPool;
    MosFastlockGuard guard(&pPool->fastlock);
    MOS_ASSERT(mosMemPool_GetNumOfFreeEntries(pPool) <= pPool->numBlocks);
    UINT8 *pFirst = mosMemPool_FirstBlock(pPool);
    const UINT64 stride = mosMemPool_Stride(pPool);
    if (pPool->freeHandlingType == MOS_TIMER__FREE_HANDLER_LIST) {
        MosMemPool_Block *pBlock = pPool->freeList.counter != 0 ? pPool->freeList.pFirst : nullptr;
        for (UINT32 n = 0; n < pPool->freeList.counter && pBlock != nullptr && pBlock != MOS_MEMPOOL__LIST_END; n++) {
            const UINT64 tmpAssertValue = (UINT64)((UINT8 *)pBlock - pFirst) % stride;
            MOS_ASSERT(tmpAssertValue == 0);
            pBlock = pBlock->pNext;
        }
    } else {
        for (UINT32 i = pPool->freeStack.nextFreeobject; i < pPool->numBlocks; i++) {
            PVOID *pCurObj = &pPool->freeStack.pFreeStackArray[i];
            MOS_ASSERT(*pCurObj != 0);
        }
    }
}

void mosMemPool_Query(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    MosMemPool *pMemPool = MOS_CONTAINER_OF(pObj, MosMemPool, obj);
    MosMemPool_Query *pQuery = (MosMemPool_Query *)pData;
    memset(pQuery, 0, sizeof(*pQuery));
    if (pName != nullptr)
        memcpy(pQuery->name, pName, strnlen(pName, sizeof(pQuery->name)));
    MosFastlockGuard guard(&pMemPool->fastlock);
    pQuery->objSize = pMemPool->blockSizeInBytes;
    pQuery->objNum = pMemPool->numBlocks;
    pQuery->objFree = mosMemPool_FreeEntriesLocked(pMemPool);
    pQuery->objAcquired = pQuery->objNum - pQuery->objFree;
    pQuery->waiters = pMemPool->waiters.counter;
    pQuery->bGuardPage = pMemPool->bGuardPage;
}
