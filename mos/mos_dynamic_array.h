// Sparse array of fixed-size elements whose chunks (allocationSize elements each) are allocated,
// zeroed, on first use and live until the array is destroyed. Reading an element of an allocated
// chunk needs no lock.
#pragma once

#include "mos/mos_fastlock.h"
#include "mos/mos_obj.h"
#include "mos/mos_types.h"

// Called for every element of a new chunk.
typedef void (*MosDynamicArray_InitCK)(PVOID pElement, UINT32 blockSizeInBytes);

struct MosDynamicArray {
    MosFastlock_Base fastlock; // guards chunk allocation
    PVOID *pBlocks;            // maxNumOfBlocks chunk pointers, NULL = not allocated
    UINT32 arraySize;
    MosDynamicArray_InitCK pInitCK;
    UINT32 blockSizeInBytes; // element size
    UINT32 allocationSize;   // elements per chunk
    UINT32 maxNumOfBlocks;   // chunks
    MosObj obj;
};

#define MOS_DYNAMIC_ARRAY_GET_BLOCK(pArray, i) ((UINT32)(i) / (pArray)->allocationSize)
#define MOS_DYNAMIC_ARRAY_GET_OFFSET_IN_BLOCK(pArray, i) \
    ((UINT64)((UINT32)(i) % (pArray)->allocationSize) * (pArray)->blockSizeInBytes)

// An index past the last chunk has no chunk; it is answered without reading past the chunk table.
static inline BOOL mosDynamicArray_IsAllocated(MosDynamicArray *pArray, UINT32 index)
{
    const UINT32 chunk = MOS_DYNAMIC_ARRAY_GET_BLOCK(pArray, index);
    return chunk < pArray->maxNumOfBlocks && __atomic_load_n(&pArray->pBlocks[chunk], __ATOMIC_ACQUIRE) != nullptr;
}

struct MosDynamic_Array__Query {
    CHAR_A name[32];
    UINT32 arraySize;
    UINT32 lastIndex;
    UINT32 blockSizeInBytes;
    UINT32 allocationSize;
};
static_assert(sizeof(MosDynamic_Array__Query) == 48);

Mos_RC mosDynamicArrayLayer_Init(void *pArg);
void mosDynamicArrayLayer_Destroy(void);

Mos_RC mosDynamicArray_Create(MosDynamicArray *pArray, const CHAR_A *pName, MosDynamicArray_InitCK pInitCK,
                              UINT32 blockSizeInBytes, UINT32 allocationSize, UINT32 maxNumOfBlocks);
void mosDynamicArray_Destroy(MosDynamicArray *pArray);
Mos_RC mosDynamicArray_Alloc(MosDynamicArray *pArray, UINT32 index);
Mos_RC mosDynamicArray_Free(MosDynamicArray *pArray, UINT32 index);
Mos_RC mosDynamicArray_Resize(MosDynamicArray *pArray, UINT32 newSize);

void mosDynamicArray_Query(MosObj *pObj, const CHAR_A *pName, void *pData);
