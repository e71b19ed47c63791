#include "mos/mos_obj.h"

#include <cstring>

#include "mos/mos_dbg.h"
#include "mos/mos_trace.h"

MosHash mosObjLayer_G;

Mos_RC mosObjLayer_Create(void *pArgs)
{
    MOS_UNUSED(pArgs);
    if (!mosHash_Create(&mosObjLayer_G, MOS_OBJ__TYPE_TABLE_BUCKETS, MOS_HASHING_METHOD__MODULO, 0, nullptr, nullptr,
                        CONTENTION_ENUM_COMMON_CREATED__OBJ_HASH))
        return MOS_RC__NO_RESOURCES;
    return MOS_RC__SUCCESS;
}

void mosObjLayer_Destroy(void)
{
    const UINT32 objNum = mosHash_GetRecNum(&mosObjLayer_G);
    MOS_ASSERT(objNum == 0);
    mosHash_Delete(&mosObjLayer_G);
}

void mosObjType_RegObjType(MosObj_Type *pType, PMosObj_QueryFunc pQueryFunc, PMosObj_BackDoor pBackdoorFunc,
                           UINT32 typeID, UINT32 querySize)
{
    memset(pType, 0, sizeof(*pType));
    pType->pFunc = pQueryFunc;
    pType->pBackdoorFunc = pBackdoorFunc;
    pType->typeID = typeID;
    pType->queryDataSize = querySize;
    mosFastlockBase_CreateWithRank(&pType->lock, CONTENTION_ENUM_COMMON_CREATED__OBJ, MOS_OBJ__TYPE_LOCK_RANK,
                                   __FILE__, __LINE__);

    // Look up and add under one bucket lock, so two registrations of one identifier cannot both pass.
    MosHash_Bucket *pBucket;
    MOS_HASH__GET_BUCKET_HANDLE(&mosObjLayer_G, typeID, pBucket);
    UINT64 data = 0;
    MosHash_Record *pRec = mosHash_GetRecordFromBucket(&mosObjLayer_G, typeID, 0, pBucket, &data);
    MosObj_Type *pTypeInHash = pRec != nullptr ? (MosObj_Type *)(uintptr_t)data : nullptr;
    MOS_ASSERT(pTypeInHash == ((void *)0));
    mosHash_AddToBucket(&mosObjLayer_G, &pType->hashRec, typeID, (UINT64)(uintptr_t)pType, pBucket);
    MOS_HASH__RELEASE_BUCKET(pBucket);
}

void mosObjType_UnregObjType(MosObj_Type *pType)
{
    MosHash_Bucket *pBucket;
    MOS_HASH__GET_BUCKET_HANDLE(&mosObjLayer_G, pType->typeID, pBucket);
    UINT64 data = 0;
    MosHash_Record *pRec = mosHash_GetRecordFromBucket(&mosObjLayer_G, pType->typeID, 0, pBucket, &data);
    MOS_ASSERT(pRec != ((void *)0));
    MosObj_Type *pTypeInHash = (MosObj_Type *)(uintptr_t)data;
    MOS_ASSERT(pTypeInHash == pType);
    MOS_ASSERT(pRec == &pType->hashRec);
    MOS_ASSERT(((&pType->objList)->counter) == 0);
    mosHash_DeleteRecordFromBucket(&mosObjLayer_G, pRec, pBucket);
    MOS_HASH__RELEASE_BUCKET(pBucket);

    pType->pCachedObj = nullptr;
    pType->cachedIndex = 0;
    mosFastlockBase_Destroy(&pType->lock);
}

void mosObjType_RegObj(MosObj_Type *pType, MosObj *pObj, const CHAR_A *pName)
{
    pObj->pName = pName;
    MosFastlockGuard guard(&pType->lock);
    MOS_ASSERT((&pObj->node)->pPrev == ((void *)0));
    mosDList_InsertTail(&pType->objList, &pObj->node);
}

void mosObjType_UnregObj(MosObj_Type *pType, MosObj *pObj)
{
    MosFastlockGuard guard(&pType->lock);
    if (pObj->node.pNext == nullptr && pObj->node.pPrev == nullptr)
        return;
    MOS_ASSERT_WITH_DESC(pObj->node.pNext != nullptr && pObj->node.pPrev != nullptr, "object half linked");
    mosDList_Remove(&pType->objList, &pObj->node);
    pType->pCachedObj = nullptr;
    pType->cachedIndex = 0;
}

MosObj_Type *mosObjType_GetPtrByID(UINT32 typeID)
{
    UINT64 data = 0;
    if (mosHash_GetRecordByKey(&mosObjLayer_G, typeID, 0, &data) == nullptr)
        return nullptr;
    return (MosObj_Type *)(uintptr_t)data;
}

UINT32 mosObjType_GetObjNum(MosObj_Type *pType)
{
    return __atomic_load_n(&pType->objList.counter, __ATOMIC_RELAXED);
}

UINT32 mosObjType_SizeAssociated(MosObj_Type *pType)
{
    return pType->queryDataSize;
}

static inline MosObj *mosObj_FromNode(MosDList_Node *pNode)
{
    return pNode == nullptr ? nullptr : MOS_CONTAINER_OF(pNode, MosObj, node);
}

void mosObjType_EnumStart(MosObj_Type *pType)
{
    mosFastlockBase_Acquire(&pType->lock);
    MOS_ASSERT(pType->pEnumObj == ((void *)0));
}

MosObj *mosObjType_EnumGetNextObj(MosObj_Type *pType)
{
    MosObj *pCur = pType->pEnumObj;
    MosObj *pNext;
    if (pCur == nullptr) {
        pNext = mosObj_FromNode(mosDList_First(&pType->objList));
    } else {
        MOS_ASSERT_WITH_DESC(mosDList_IsLinked(&pCur->node), "enumerated object was unregistered");
        pNext = mosObj_FromNode(mosDList_Next(&pCur->node));
    }
    // At the end the cursor stays on the last object, so further calls keep returning NULL.
    if (pNext != nullptr)
        pType->pEnumObj = pNext;
    return pNext;
}

void mosObjType_EnumStop(MosObj_Type *pType)
{
    pType->pEnumObj = nullptr;
    mosFastlockBase_Release(&pType->lock);
}

MosObj *mosObjType_GetNthObj(MosObj_Type *pType, UINT32 index)
{
    mosObjType_EnumStart(pType);
    if (pType->pCachedObj != nullptr && index == pType->cachedIndex)
        return pType->pCachedObj;
    MosDList_Node *pNode = mosDList_First(&pType->objList);
    for (UINT32 i = 0; i < index && pNode != nullptr; i++)
        pNode = mosDList_Next(pNode);
    if (pNode == nullptr) {
        mosObjType_EnumStop(pType);
        return nullptr;
    }
    pType->pCachedObj = mosObj_FromNode(pNode);
    pType->cachedIndex = index;
    return pType->pCachedObj;
}

void mosObjType_ReleaseNthObj(MosObj_Type *pType)
{
    mosObjType_EnumStop(pType);
}

void mosObj_Query(MosObj *pObj, MosObj_Type *pType, void *pData)
{
    MOS_ASSERT(pType->queryDataSize != 0);
    MOS_ASSERT(pType->pFunc != ((void *)0));
    pType->pFunc(pObj, pObj->pName, pData);
}

void mosObj_Backdoor(MosObj *pObj, MosObj_Type *pType, UINT32 backdoorOp, UINT32 argCount, PSdbgConfStr argVec)
{
    if (pType->pBackdoorFunc != nullptr)
        pType->pBackdoorFunc(pObj, backdoorOp, argCount, argVec);
}
