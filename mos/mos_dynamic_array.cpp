#include "mos/mos_dynamic_array_intrn.h"

#include <cstdlib>
#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"

MosDynamicArrayLayer dynamicArrayLayer_G;

Mos_RC mosDynamicArrayLayer_Init(void *pArg)
{
    MOS_UNUSED(pArg);
    memset(&dynamicArrayLayer_G, 0, sizeof(dynamicArrayLayer_G));
    mosObjType_RegObjType(&dynamicArrayLayer_G.objType, mosDynamicArray_Query, nullptr,
                          SDBG_EXPORTS_OBJ_TYPE__MOS_DYNAMIC_ARRARY, sizeof(MosDynamic_Array__Query));
    dynamicArrayLayer_G.bInit = TRUE;
    return MOS_RC__SUCCESS;
}

void mosDynamicArrayLayer_Destroy(void)
{
    if (!dynamicArrayLayer_G.bInit)
        return;
    dynamicArrayLayer_G.bInit = FALSE;
    mosObjType_UnregObjType(&dynamicArrayLayer_G.objType);
}

Mos_RC mosDynamicArray_Create(MosDynamicArray *pArray, const CHAR_A *pName, MosDynamicArray_InitCK pInitCK,
                              UINT32 blockSizeInBytes, UINT32 allocationSize, UINT32 maxNumOfBlocks)
{
    MOS_ASSERT(pArray != ((void *)0));
    memset(pArray, 0, sizeof(*pArray));
    MOS_ASSERT(blockSizeInBytes != 0);
    MOS_ASSERT(allocationSize != 0);
    MOS_ASSERT(maxNumOfBlocks != 0);
    MOS_NOISE(MOS_COMP_MOS, "blockSizeInBytes %u allocationSize %u maxNumObBlocks %u", blockSizeInBytes,
              allocationSize, maxNumOfBlocks);
    pArray->pInitCK = pInitCK;
    pArray->blockSizeInBytes = blockSizeInBytes;
    pArray->allocationSize = allocationSize;
    pArray->maxNumOfBlocks = maxNumOfBlocks;
    mosFastlockBase_Create(&pArray->fastlock, CONTENTION_ENUM_COMMON_CREATED__DYNAMIC_ARRAY, __FILE__, __LINE__);
    pArray->pBlocks = (PVOID *)calloc(maxNumOfBlocks, sizeof(PVOID));
    if (pArray->pBlocks == nullptr) {
        mosFastlockBase_Destroy(&pArray->fastlock);
        return MOS_RC__NO_RESOURCES;
    }
    if (dynamicArrayLayer_G.bInit)
        mosObjType_RegObj(&dynamicArrayLayer_G.objType, &pArray->obj, pName);
    else
        pArray->obj.pName = pName;
    return MOS_RC__SUCCESS;
}

void mosDynamicArray_Destroy(MosDynamicArray *pArray)
{
    for (UINT32 i = 0; i < pArray->maxNumOfBlocks; i++)
        free(pArray->pBlocks[i]);
    free(pArray->pBlocks);
    pArray->pBlocks = nullptr;
    if (mosObj_IsRegistered(&pArray->obj))
        mosObjType_UnregObj(&dynamicArrayLayer_G.objType, &pArray->obj);
    mosFastlockBase_Destroy(&pArray->fastlock);
}

// Allocates the chunk of an element when it is missing; the caller holds the lock.
static Mos_RC mosDynamicArray_AllocChunkLocked(MosDynamicArray *pArray, UINT32 index)
{
    const UINT32 chunk = MOS_DYNAMIC_ARRAY_GET_BLOCK(pArray, index);
    if (pArray->pBlocks[chunk] != nullptr)
        return MOS_RC__SUCCESS;
    MOS_NOISE(MOS_COMP_MOS, "index %u", index);
    UINT8 *pChunk = (UINT8 *)calloc(pArray->allocationSize, pArray->blockSizeInBytes);
    if (pChunk == nullptr) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_LOW, "no memory index %u", index);
        return MOS_RC__NO_RESOURCES;
    }
    pArray->arraySize += pArray->blockSizeInBytes;
    if (pArray->pInitCK != nullptr)
        for (UINT32 i = 0; i < pArray->allocationSize; i++)
            pArray->pInitCK(pChunk + (UINT64)i * pArray->blockSizeInBytes, pArray->blockSizeInBytes);
    // Published only when initialised: readers test the pointer without the lock.
    __atomic_store_n(&pArray->pBlocks[chunk], (PVOID)pChunk, __ATOMIC_RELEASE);
    return MOS_RC__SUCCESS;
}

Mos_RC mosDynamicArray_Alloc(MosDynamicArray *pArray, UINT32 index)
{
    MOS_ASSERT((UINT64)index < (UINT64)pArray->maxNumOfBlocks * pArray->allocationSize);
    MosFastlockGuard guard(&pArray->fastlock);
    return mosDynamicArray_AllocChunkLocked(pArray, index);
}

Mos_RC mosDynamicArray_Free(MosDynamicArray *pArray, UINT32 index)
{
    MosFastlockGuard guard(&pArray->fastlock);
    MOS_NOISE(MOS_COMP_MOS, "index %u", index);
    return MOS_RC__SUCCESS;
}

Mos_RC mosDynamicArray_Resize(MosDynamicArray *pArray, UINT32 newSize)
{
    const UINT64 chunks = ((UINT64)newSize + pArray->allocationSize - 1) / pArray->allocationSize;
    if (chunks > pArray->maxNumOfBlocks) {
        MOS_ERROR(MOS_COMP_MOS, "Size %u exceeds the %u elements of dynamic array %s", newSize,
                  pArray->maxNumOfBlocks * pArray->allocationSize,
                  pArray->obj.pName != nullptr ? pArray->obj.pName : "No name");
        return MOS_RC__INVALID;
    }
    for (UINT64 chunk = 0; chunk < chunks; chunk++) {
        MosFastlockGuard guard(&pArray->fastlock);
        const Mos_RC rc = mosDynamicArray_AllocChunkLocked(pArray, (UINT32)(chunk * pArray->allocationSize));
        if (rc != MOS_RC__SUCCESS)
            return rc;
    }
    return MOS_RC__SUCCESS;
}

void mosDynamicArray_Query(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    MosDynamicArray *pArray = MOS_CONTAINER_OF(pObj, MosDynamicArray, obj);
    auto *pQuery = (MosDynamic_Array__Query *)pData;
    memset(pQuery, 0, sizeof(*pQuery));
    if (pName != nullptr)
        memcpy(pQuery->name, pName, strnlen(pName, sizeof(pQuery->name)));
    MosFastlockGuard guard(&pArray->fastlock);
    pQuery->arraySize = pArray->arraySize;
    pQuery->lastIndex = 0;
    pQuery->blockSizeInBytes = pArray->blockSizeInBytes;
    pQuery->allocationSize = pArray->allocationSize;
}
