// Pool of fixed-size blocks taken in one piece at creation. An allocation never calls the process
// allocator; one that finds the pool empty may queue a request that a later free completes,
// first come first served. A pool can be resized while blocks are out: the old memory lives on
// until its last block comes back.
#pragma once

#include "mos/mos_dlist.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_obj.h"
#include "mos/mos_types.h"

// The first 8 bytes of a free block (list handling).
struct MosMemPool_Block {
    MosMemPool_Block *pNext;
};

struct MosMemPool_Anchor {
    MosMemPool_Block *pFirst;
    MosMemPool_Block *pLast;
    UINT32 counter; // free blocks
};

// Free blocks are pFreeStackArray[nextFreeobject .. numBlocks-1].
struct MosMemPool_StackMechanism {
    PVOID *pFreeStackArray;
    UINT32 nextFreeobject;
};

enum MosMemPool_FreeHandlingType : UINT32 {
    MOS_TIMER__FREE_HANDLER_LIST = 0,
    MOS_TIMER__FREE_HANDLER_STACK = 1,
    MOS_TIMER__FREE_HANDLER_LAST = 2,
};

struct MosMemPool;
// Called once per block while the free list is built or blocks are destroyed, so that a long
// loop can give up its processor.
typedef void (*MosMemPool_YieldCK)(MosMemPool *pMemPool, BOOL bLockHeld);
// Called for every block when the free list is built; must leave the first 8 bytes zero.
typedef void (*MosMemPool_InitCK)(PVOID pBlock, UINT32 blockSizeInBytes);
typedef void (*MosMemPool_DestroyCK)(PVOID pBlock);

struct MosMemPoolTraces {};

Mos_RC mosMemPoolTraces_Resize(MosMemPoolTraces *pTraces, UINT32 newNumBlocks);
void mosMemPoolTraces_Destroy(MosMemPoolTraces *pTraces);
void mosMemPoolTraces_FreeOldBuffer(MosMemPoolTraces *pTraces);

// Bookkeeping of the sanitizer build that catches a block released while it is free.
struct MosMemPool_DbgState;

struct MosMemPool {
    union {
        MosMemPool_Anchor freeList;
        MosMemPool_StackMechanism freeStack;
    };
    MosMemPool_FreeHandlingType freeHandlingType;
    MosFastlock_Base fastlock; // guards everything below
    MosAsyncObj_Anchor waiters;
    MosMemPool_YieldCK pYieldCK;
    MosMemPool_InitCK pInitCK;
    MosObj obj;
    PVOID pMem;
    PVOID pMemAlignedStart;
    PVOID pMemEnd;
    UINT32 blockSizeInBytes;
    UINT32 numBlocks;
    BOOL bGuardPage;
    UINT32 alignment;
    BOOL bIsReadyToUse;
    PVOID pOldMem;
    PVOID pOldMemEnd;
    UINT32 oldNumAllocatedBlocks;
    MosMemPoolTraces traces;
    MosMemPool_DbgState *pDbg; // NULL outside the sanitizer build
    // ceil(2^64 / block stride): turns the division of a block's offset by the stride, on every
    // allocation and free, into one multiplication (exact for offsets below 4 GB).
    UINT64 strideInverse;
};

// A waiting allocation: completed through asyncObj.pCK with the block in pMem.
struct MosMemPool_Req {
    MosAsyncObj asyncObj;
    PVOID pMem;
};

struct MosMemPool_Query {
    CHAR_A name[32];
    UINT32 objSize;
    UINT32 objNum;
    UINT32 objFree;
    UINT32 objAcquired;
    UINT32 waiters;
    BOOL bGuardPage;
};
static_assert(sizeof(MosMemPool_Query) == 56);

Mos_RC mosMemPoolLayer_Init(void *pArg);
void mosMemPoolLayer_Destroy(void);

void mosMemPool_Create(MosMemPool *pMemPool, UINT32 blockSizeInBytes, UINT32 numBlocks, UINT32 alignment);
void mosMemPool_CreateEx(MosMemPool *pMemPool, const CHAR_A *pName, MosMemPool_YieldCK pYieldCK,
                         MosMemPool_InitCK pInitCK, UINT32 blockSizeInBytes, UINT32 numBlocks, UINT32 alignment,
                         BOOL bGuardPage, MosMemPool_FreeHandlingType freeHandlingType);
void mosMemPool_Destroy(MosMemPool *pMemPool);
void mosMemPool_DestroyEx(MosMemPool *pMemPool, MosMemPool_DestroyCK pDestroyCK);

Mos_RC mosMemPool_Alloc(MosMemPool *pMemPool, PVOID *ppAllocated, MosMemPool_Req *pReq, BOOL bWait);
Mos_RC mosMemPool_AllocNoWait(MosMemPool *pMemPool, PVOID *ppAllocated);
void mosMemPool_Free(MosMemPool *pMemPool, PVOID pBlock);
Mos_RC mosMemPool_Resize(MosMemPool *pMemPool, UINT32 newNumBlocks);

UINT32 mosMemPool_GetSize(MosMemPool *pMemPool);
UINT32 mosMemPool_GetNumOfFreeEntries(MosMemPool *pMemPool);
BOOL mosMemPool_IsFullyAllocated(MosMemPool *pMemPool);
UINT32 mosMemPool_IndexFromMem(MosMemPool *pMemPool, PVOID pMem);
PVOID mosMemPool_MemByIndex(MosMemPool *pMemPool, UINT32 index);
void mosMemPool_AssertValid(MosMemPool *pMemPool);

void mosMemPool_Query(MosObj *pObj, const CHAR_A *pName, void *pData);
