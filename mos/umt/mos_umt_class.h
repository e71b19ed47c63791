// Uthread classes: every uthread is created in a class, which numbers its members in creation
// order (the ordinal that soft-affinity placement uses).
#pragma once

#include "mos/mos_dlist.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_obj.h"
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
    MosObj obj; // the class's debug registry entry, named after the class
};

struct MosUmtClassMgr {
    MosUmtClass *classesArray;
    UINT32 classesNum;
    MosObj_Type classObjType;
    BOOL bTypeRegistered;
};

// The debug query of a class. Statistics are not kept: each array holds one entry with a fixed
// name and the value 0.
#define MOS_UMT_CLASS__QUERY_NAME_LEN 64u
#define MOS_UMT_CLASS__QUERY_ENTRY_NAME_LEN 88u
#define MOS_UMT_CLASS__NUM_CLASS_COUNTERS 1u
#define MOS_UMT_CLASS__NUM_UMT_STATS 1u
#define MOS_UMT_CLASS__NUM_UMT_COUNTERS 1u

struct MosUmtClassQueryCounter {
    CHAR_A name[MOS_UMT_CLASS__QUERY_ENTRY_NAME_LEN];
    UINT64 value;
};

struct MosUmtClassQueryStat {
    CHAR_A name[MOS_UMT_CLASS__QUERY_ENTRY_NAME_LEN];
    UINT64 value;
};

struct MosUmtClassQuery {
    CHAR_A className[MOS_UMT_CLASS__QUERY_NAME_LEN]; // MOS_UMT_CLASS__TYPE_MAX_STR_LEN used
    MosUmtClassQueryCounter classCountersArray[MOS_UMT_CLASS__NUM_CLASS_COUNTERS];
    MosUmtClassQueryStat umtStatsArray[MOS_UMT_CLASS__NUM_UMT_STATS];
    MosUmtClassQueryStat umtCountersArray[MOS_UMT_CLASS__NUM_UMT_COUNTERS];
};
static_assert(sizeof(MosUmtClassQuery) == 352, "debug query record of a class");
static_assert(offsetof(MosUmtClassQuery, classCountersArray) == 64);
static_assert(offsetof(MosUmtClassQuery, umtStatsArray) == 160);
static_assert(offsetof(MosUmtClassQuery, umtCountersArray) == 256);

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

// Debug queries. MOS_RC__NOT_FOUND for an invalid identifier.
Mos_RC mosUmtClassMgr_Query(MosUmtClassId classId, MosUmtClassQuery *pQuery);
void mosUmtClass_QueryStats(MosUmtClass *pClass, MosUmtClassQuery *pQuery);
// The registry's query (fills a MosUmtClassQuery) and dump (traces the class's uthreads).
void mosUmtClass_QueryObj(MosObj *pObj, const CHAR_A *pName, void *pData);
void mosUmtClass_DumpObj(MosObj *pObj, UINT32 backdoorOp, UINT32 argCount, PSdbgConfStr argVec);
