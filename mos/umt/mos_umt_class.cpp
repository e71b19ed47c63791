#include "mos/umt/mos_umt_class.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"

namespace {
MosUmtClassMgr umtClassMgr_G;

void mosUmtClass_CopyName(CHAR_A *pDst, size_t dstSize, const CHAR_A *pSrc)
{
    snprintf(pDst, dstSize, "%s", pSrc);
}
} // namespace

void mosUmtClassMgr_Init(const MosUmt_ClassAttr *classAttrArray, UINT32 classesNum, MosUmtClassId *classIdArray)
{
    MOS_ASSERT(umtClassMgr_G.classesArray == ((void *)0));
    if (classesNum == 0) {
        MOS_TRACE(MOS_COMP_UTHREAD, MOS_FREQ_MED, "No UMT classes are created");
        return;
    }
    umtClassMgr_G.classesArray = static_cast<MosUmtClass *>(calloc(classesNum, sizeof(MosUmtClass)));
    MOS_ASSERT(umtClassMgr_G.classesArray != ((void *)0));
    umtClassMgr_G.classesNum = classesNum;
    // Single-module programs and tests run without the registry.
    umtClassMgr_G.bTypeRegistered = mosObjLayer_IsRunning();
    if (umtClassMgr_G.bTypeRegistered)
        mosObjType_RegObjType(&umtClassMgr_G.classObjType, mosUmtClass_QueryObj, mosUmtClass_DumpObj,
                              SDBG_EXPORTS_OBJ_TYPE__MOS_UMT_CLASS, sizeof(MosUmtClassQuery));
    for (UINT32 i = 0; i < classesNum; i++) {
        MosUmtClass *pClass = &umtClassMgr_G.classesArray[i];
        strncpy(pClass->attr.name, classAttrArray[i].name, MOS_UMT_CLASS__TYPE_MAX_STR_LEN - 1);
        mosDList_InitAnchor(&pClass->umtList);
        pClass->creationCounter = 0;
        MOS_FASTLOCK_CREATE(&pClass->lock, 14);
        if (umtClassMgr_G.bTypeRegistered)
            mosObjType_RegObj(&umtClassMgr_G.classObjType, &pClass->obj, pClass->attr.name);
        classIdArray[i].opaqueLow = i;
        classIdArray[i].opaqueHigh = MOS_UMT_CLASS_ID_MAGIC;
        MOS_NOISE(MOS_COMP_UTHREAD, "Created class %s with id <%x,%u>", pClass->attr.name, MOS_UMT_CLASS_ID_MAGIC, i);
    }
}

void mosUmtClassMgr_Fini(void)
{
    for (UINT32 i = 0; i < umtClassMgr_G.classesNum; i++) {
        MosUmtClass *pClass = &umtClassMgr_G.classesArray[i];
        if (umtClassMgr_G.bTypeRegistered)
            mosObjType_UnregObj(&umtClassMgr_G.classObjType, &pClass->obj);
        if (pClass->umtList.counter != 0)
            MOS_TRACE(MOS_COMP_UTHREAD, MOS_FREQ_LOW, "Warning: UMT list of class %s is not empty (contains %d elements)",
                      pClass->attr.name, (int)pClass->umtList.counter);
        mosFastlockBase_Destroy(&pClass->lock);
    }
    free(umtClassMgr_G.classesArray);
    if (umtClassMgr_G.bTypeRegistered)
        mosObjType_UnregObjType(&umtClassMgr_G.classObjType);
    memset(static_cast<void *>(&umtClassMgr_G), 0, sizeof(umtClassMgr_G));
}

BOOL mosUmtClassId_IsValid(const MosUmtClassId *pClassId)
{
    return (pClassId->opaqueHigh == MOS_UMT_CLASS_ID_MAGIC && pClassId->opaqueLow < umtClassMgr_G.classesNum) ? TRUE
                                                                                                             : FALSE;
}

MosUmtClass *mosUmtClassMgr_GetClass(MosUmtClassId classId)
{
    if (!mosUmtClassId_IsValid(&classId)) {
        MOS_NOISE(MOS_COMP_UTHREAD, "Invalid UMT class ID <%x,%u>", classId.opaqueHigh, classId.opaqueLow);
        return nullptr;
    }
    return &umtClassMgr_G.classesArray[classId.opaqueLow];
}

const MosUmt_ClassAttr *mosUmtClassMgr_GetAttr(MosUmtClassId classId)
{
    MosUmtClass *pClass = mosUmtClassMgr_GetClass(classId);
    return pClass == nullptr ? nullptr : &pClass->attr;
}

MosDList_Anchor *mosUmtClassMgr_GetList(MosUmtClassId classId)
{
    MosUmtClass *pClass = mosUmtClassMgr_GetClass(classId);
    return pClass == nullptr ? nullptr : &pClass->umtList;
}

const char *mosUmtClassMgr_GetClassName(MosUmtClassId classId)
{
    MosUmtClass *pClass = mosUmtClassMgr_GetClass(classId);
    return pClass == nullptr ? "invalid" : pClass->attr.name;
}

BOOL mosUmtClass_AddToClass(MosUmtClassId classId, MosUmtClassListNode *pClassRefNode, UINT32 *pPosInClass)
{
    if (!mosUmtClassId_IsValid(&classId)) {
        MOS_NOISE(MOS_COMP_UTHREAD, "Failed to get UMT class of ID <%x,%u>", classId.opaqueHigh, classId.opaqueLow);
        return FALSE;
    }
    MosUmtClass *pClass = &umtClassMgr_G.classesArray[classId.opaqueLow];
    int count;
    {
        MosFastlockGuard guard(&pClass->lock);
        mosDList_InsertTail(&pClass->umtList, &pClassRefNode->node);
        pClassRefNode->userData = pClass;
        *pPosInClass = pClass->creationCounter++;
        count = (int)pClass->umtList.counter;
    }
    MOS_NOISE(MOS_COMP_UTHREAD, "Class %s now has %d UMTs", pClass->attr.name, count);
    return TRUE;
}

void mosUmtClass_DelFromClass(MosUmtClassListNode *pClassRefNode)
{
    MosUmtClass *pClass = static_cast<MosUmtClass *>(pClassRefNode->userData);
    if (pClass == nullptr)
        return;
    int count;
    {
        MosFastlockGuard guard(&pClass->lock);
        mosDList_Remove(&pClass->umtList, &pClassRefNode->node);
        count = (int)pClass->umtList.counter;
    }
    pClassRefNode->userData = nullptr;
    MOS_NOISE(MOS_COMP_UTHREAD, "Class %s now has %d UMTs", pClass->attr.name, count);
}

const MosUmt_ClassAttr *mosUmtClass_GetAttr(MosUmtClass *pClass)
{
    return &pClass->attr;
}

MosDList_Anchor *mosUmtClass_GetList(MosUmtClass *pClass)
{
    return &pClass->umtList;
}

void mosUmtClass_QueryStats(MosUmtClass *pClass, MosUmtClassQuery *pQuery)
{
    MOS_UNUSED(pClass);
    mosUmtClass_CopyName(pQuery->classCountersArray[0].name, sizeof(pQuery->classCountersArray[0].name),
                         "Class Generic Counter");
    pQuery->classCountersArray[0].value = 0;
    mosUmtClass_CopyName(pQuery->umtStatsArray[0].name, sizeof(pQuery->umtStatsArray[0].name), "UMT Generic Stat");
    pQuery->umtStatsArray[0].value = 0;
    mosUmtClass_CopyName(pQuery->umtCountersArray[0].name, sizeof(pQuery->umtCountersArray[0].name),
                         "UMT Generic Counter");
    pQuery->umtCountersArray[0].value = 0;
}

static void mosUmtClass_Query(MosUmtClass *pClass, MosUmtClassQuery *pQuery)
{
    memset(static_cast<void *>(pQuery), 0, sizeof(*pQuery));
    mosUmtClass_CopyName(pQuery->className, MOS_UMT_CLASS__TYPE_MAX_STR_LEN, pClass->attr.name);
    mosUmtClass_QueryStats(pClass, pQuery);
}

Mos_RC mosUmtClassMgr_Query(MosUmtClassId classId, MosUmtClassQuery *pQuery)
{
    MosUmtClass *pClass = mosUmtClassMgr_GetClass(classId);
    if (pClass == nullptr)
        return MOS_RC__NOT_FOUND;
    mosUmtClass_Query(pClass, pQuery);
    return MOS_RC__SUCCESS;
}

void mosUmtClass_QueryObj(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    MOS_UNUSED(pName);
    mosUmtClass_Query(MOS_CONTAINER_OF(pObj, MosUmtClass, obj), static_cast<MosUmtClassQuery *>(pData));
}
