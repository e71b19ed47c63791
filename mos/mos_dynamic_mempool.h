// Pool of fixed-size units taken from blocks of allocationSize units each. It starts with
// minNumBlocks blocks, grows by one block while an allocation finds no free unit (up to the
// current maximum) and gives idle blocks back on request while more than the minimum exist.
// An allocation that finds neither a free unit nor room for a block may queue a request that a
// later free serves, first come first served.
#pragma once

#include "mos/mos_dlist.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_obj.h"
#include "mos/mos_types.h"

// Held in the first bytes of a free unit. Units need not be aligned for it: the pool reads and
// writes it byte-wise, so any unit of at least MOS_DYNAMIC_MEMPOOL__MIN_UNIT_SIZE bytes works.
struct MosDynamicMemPool_FreeNode {
    MosDList_Node node;
    UINT32 handle; // index of the unit's block
};
#define MOS_DYNAMIC_MEMPOOL__MIN_UNIT_SIZE (offsetof(MosDynamicMemPool_FreeNode, handle) + sizeof(UINT32))
static_assert(MOS_DYNAMIC_MEMPOOL__MIN_UNIT_SIZE == 20);

// Free units of all blocks; the list ends hold the all-ones pointer.
struct MosDynamicMemPool_Anchor {
    MosDynamicMemPool_FreeNode *pFirst;
    MosDynamicMemPool_FreeNode *pLast;
    UINT32 counter;
};

struct MosDynamicMemPool_AllocBlock {
    MosDList_Node node; // not linked
    PVOID pBlock;       // as allocated: allocationSize * unitSize + alignment bytes
    UINT8 *pBlockAlignedStart;
    UINT8 *pBlockEnd;
    UINT32 counter; // units of this block out
};

// The caller's record of one unit.
struct MosDynamicMemPool_Buffer {
    UINT32 handle;
    PVOID pBuffer;
};

// A waiting allocation: completed through asyncObj.pCK with *pBuffer filled.
struct MosDynamicMemPool_Req {
    MosAsyncObj asyncObj;
    MosDynamicMemPool_Buffer *pBuffer;
};

struct MosDynamicMemPool {
    MosFastlock_Base fastlock; // guards all below
    MosAsyncObj_Anchor waiters;
    MosObj obj;
    MosDynamicMemPool_Anchor freeList;
    MosDynamicMemPool_AllocBlock **pBlocks; // allocedNumBlocks slots, NULL when empty
    UINT32 numBlocks;
    UINT32 allowedNumBlocks;
    UINT32 allocedNumBlocks;
    UINT32 minNumBlocks;
    UINT32 unitSize;
    UINT32 allocationSize;
    UINT32 numOfAllocations;
    UINT32 alignment;
};

struct MosDynamicMemPool_Query {
    CHAR_A name[32];
    UINT32 unitSize;
    UINT32 allocedNumBlocks;
    UINT32 allowedNumBlocks;
    UINT32 minNumBlocks;
    UINT32 numBlocks;
    UINT32 allocationSize;
    UINT32 waiters;
};
static_assert(sizeof(MosDynamicMemPool_Query) == 60);

Mos_RC mosDynamicMemPoolLayer_Init(void *pArg);
void mosDynamicMemPoolLayer_Destroy(void);

// allocedNumBlocks is the maximum number of blocks.
Mos_RC mosDynamicMemPool_Create(MosDynamicMemPool *pMemPool, const CHAR_A *pName, UINT32 unitSize,
                                UINT32 allocationSize, UINT32 allocedNumBlocks, UINT32 minNumBlocks,
                                UINT32 alignment);
void mosDynamicMemPool_Destroy(MosDynamicMemPool *pMemPool);
Mos_RC mosDynamicMemPool_Alloc(MosDynamicMemPool *pMemPool, MosDynamicMemPool_Buffer *pAllocatedBuffer);
Mos_RC mosDynamicMemPool_AllocWait(MosDynamicMemPool *pMemPool, MosDynamicMemPool_Req *pReq,
                                   MosDynamicMemPool_Buffer *pAllocatedBuffer);
Mos_RC mosDynamicMemPool_Free(MosDynamicMemPool *pMemPool, MosDynamicMemPool_Buffer *pFreeBuffer);
Mos_RC mosDynamicMemPool_ScanNFree(MosDynamicMemPool *pMemPool, PVOID pBuffer);
Mos_RC mosDynamicMemPool_ReleaseMemory(MosDynamicMemPool *pMemPool, UINT32 numOfBlocksToFree);
void mosDynamicMemPool_UpdateMinNumBlocks(MosDynamicMemPool *pMemPool, UINT32 minNumBlocks);
void mosDynamicMemPool_UpdateMaxNumBlocks(MosDynamicMemPool *pMemPool, UINT32 newMaxNumBlocks);
UINT32 mosDynamicMemPool_GetUsage(MosDynamicMemPool *pMemPool);
void mosDynamicMemPool_GetStats(MosDynamicMemPool *pMemPool, UINT32 *pUsage, UINT32 *pMaxNumBlocks,
                                UINT32 *pMinNumBlocks);

void mosDynamicMemPool_Query(MosObj *pObj, const CHAR_A *pName, void *pData);
