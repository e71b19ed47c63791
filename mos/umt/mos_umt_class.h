// Uthread classes: every uthread is created in a class, which numbers its members in creation
// order (the ordinal that soft-affinity placement uses).
#pragma once

#include "mos/mos_dlist.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_types.h"

#define MOS_UMT_CLASS_ID_MAGIC 0xDCBA1234u
#define MOS_UMT_CLASS__TYPE_MAX_STR_LEN 60u

struct MosUmtClassId {
    UINT32 opaqueLow;  // index into the class table
    UINT32 opaqueHigh; // MOS_UMT_CLASS_ID_MAGIC
};
static_assert(sizeof(MosUmtClassId) == 8, "passed by value in 8 bytes");

struct MosUmt_ClassAttr {
    CHAR_A name[MOS_UMT_CLASS__TYPE_MAX_STR_LEN];
};

// Membership of one uthread in its class; the node's links come first, as in every runtime list.
struct MosUmtClassListNode {
    MosDList_Node node;
    void *userData; // the class, while the uthread belongs to one
};

struct MosUmtClass {
    MosUmt_ClassAttr attr;
    MosDList_Anchor umtList;
    MosFastlock_Base lock;
    UINT32 creationCounter;
};

struct MosUmtClassMgr {
    MosUmtClass *classesArray;
    UINT32 classesNum;
};

void mosUmtClassMgr_Init(const MosUmt_ClassAttr *classAttrArray, UINT32 classesNum, MosUmtClassId *classIdArray);
void mosUmtClassMgr_Fini(void);
MosUmtClass *mosUmtClassMgr_GetClass(MosUmtClassId classId);
const MosUmt_ClassAttr *mosUmtClassMgr_GetAttr(MosUmtClassId classId);
MosDList_Anchor *mosUmtClassMgr_GetList(MosUmtClassId classId);
const char *mosUmtClassMgr_GetClassName(MosUmtClassId classId);
BOOL mosUmtClassId_IsValid(const MosUmtClassId *pClassId);
// Adds a uthread's node to its class and gives it its ordinal; FALSE leaves it in no class.
BOOL mosUmtClass_AddToClass(MosUmtClassId classId, MosUmtClassListNode *pClassRefNode, UINT32 *pPosInClass);
void mosUmtClass_DelFromClass(MosUmtClassListNode *pClassRefNode);
const MosUmt_ClassAttr *mosUmtClass_GetAttr(MosUmtClass *pClass);
MosDList_Anchor *mosUmtClass_GetList(MosUmtClass *pClass);
