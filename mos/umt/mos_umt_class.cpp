#include "mos/umt/mos_umt_class.h"

#include <cstdlib>
#include <cstring>

#include "mos/mos_dbg.h"
#include "mos/mos_trace.h"

namespace {
MosUmtClassMgr umtClassMgr_G;
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
    for (UINT32 i = 0; i < classesNum; i++) {
        MosUmtClass *pClass = &umtClassMgr_G.classesArray[i];
        strncpy(pClass->attr.name, classAttrArray[i].name, MOS_UMT_CLASS__TYPE_MAX_STR_LEN - 1);
        mosDList_InitAnchor(&pClass->umtList);
        pClass->creationCounter = 0;
        MOS_FASTLOCK_CREATE(&pClass->lock, 14);
        classIdArray[i].opaqueLow = i;
        classIdArray[i].opaqueHigh = MOS_UMT_CLASS_ID_MAGIC;
        MOS_NOISE(MOS_COMP_UTHREAD, "Created class %s with id <%x,%u>", pClass->attr.name, MOS_UMT_CLASS_ID_MAGIC, i);
    }
}

void mosUmtClassMgr_Fini(void)
{
    for (UINT32 i = 0; i < umtClassMgr_G.classesNum; i++) {
        MosUmtClass *pClass = &umtClassMgr_G.classesArray[i];
        if (pClass->umtList.counter != 0)
            MOS_TRACE(MOS_COMP_UTHREAD, MOS_FREQ_LOW, "Warning: UMT list of class %s is not empty (contains %d elements)",
                      pClass->attr.name, (int)pClass->umtList.counter);
        mosFastlockBase_Destroy(&pClass->lock);
    }
    free(umtClassMgr_G.classesArray);
    umtClassMgr_G = MosUmtClassMgr{};
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
