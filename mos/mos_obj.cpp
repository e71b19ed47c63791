#include "mos/mos_obj.h"

#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"

namespace {
// The registry's table of types: typeID modulo the bucket count picks the bucket; one lock
// guards the table, so two registrations of one identifier cannot both pass.
struct MosObjLayer {
    MosFastlock_Base lock;
    MosDList_Anchor buckets[MOS_OBJ__TYPE_TABLE_BUCKETS];
    BOOL bRunning;
};

MosObjLayer mosObjLayer_G;

MosDList_Anchor *mosObjLayer_Bucket(UINT32 typeID)
{
    return &mosObjLayer_G.buckets[typeID % MOS_OBJ__TYPE_TABLE_BUCKETS];
}

// Called with the table's lock held.
MosObj_Type *mosObjLayer_Find(UINT32 typeID)
{
    MosDList_Anchor *pBucket = mosObjLayer_Bucket(typeID);
    for (MosDList_Node *pNode = mosDList_First(pBucket); pNode != nullptr; pNode = mosDList_Next(pNode)) {
        MosObj_Type *pType = MOS_CONTAINER_OF(pNode, MosObj_Type, typeNode);
        if (pType->typeID == typeID)
            return pType;
    }
    return nullptr;
}
} // namespace

Mos_RC mosObjLayer_Create(void *pArgs)
{
    MOS_UNUSED(pArgs);
    MOS_FASTLOCK_CREATE(&mosObjLayer_G.lock, CONTENTION_ENUM_COMMON_CREATED__OBJ_HASH);
    for (MosDList_Anchor &bucket : mosObjLayer_G.buckets)
        mosDList_InitAnchor(&bucket);
    __atomic_store_n(&mosObjLayer_G.bRunning, TRUE, __ATOMIC_RELEASE);
    return MOS_RC__SUCCESS;
}

void mosObjLayer_Destroy(void)
{
    if (!mosObjLayer_G.bRunning)
        return;
    for (MosDList_Anchor &bucket : mosObjLayer_G.buckets)
        MOS_ASSERT_WITH_DESC(mosDList_First(&bucket) == nullptr, "the registry stops with types registered");
    __atomic_store_n(&mosObjLayer_G.bRunning, FALSE, __ATOMIC_RELEASE);
    mosFastlockBase_Destroy(&mosObjLayer_G.lock);
}

BOOL mosObjLayer_IsRunning(void)
{
    return __atomic_load_n(&mosObjLayer_G.bRunning, __ATOMIC_ACQUIRE);
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
    mosDList_InitNode(&pType->typeNode);

    MosFastlockGuard guard(&mosObjLayer_G.lock);
    MOS_ASSERT_WITH_DESC(mosObjLayer_Find(typeID) == nullptr, "a type identifier registered twice");
    mosDList_InsertTail(mosObjLayer_Bucket(typeID), &pType->typeNode);
}

void mosObjType_UnregObjType(MosObj_Type *pType)
{
    {
        MosFastlockGuard guard(&mosObjLayer_G.lock);
        MOS_ASSERT_WITH_DESC(mosObjLayer_Find(pType->typeID) == pType, "unregistering a type that is not registered");
        MOS_ASSERT(((&pType->objList)->counter) == 0);
        mosDList_Remove(mosObjLayer_Bucket(pType->typeID), &pType->typeNode);
    }
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
    if (!mosObjLayer_IsRunning())
        return nullptr;
    MosFastlockGuard guard(&mosObjLayer_G.lock);
    return mosObjLayer_Find(typeID);
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
