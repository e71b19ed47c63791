// Debug object registry: every long-lived object registers a MosObj under a type (MosObj_Type)
// identified by its debug object type number, so that the debug object server can count,
// enumerate and query the objects of a type from outside.
#pragma once

#include "mos/mos_dlist.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_obj_entry.h"

#define MOS_OBJ__TYPE_LOCK_RANK 16u
#define MOS_OBJ__TYPE_TABLE_BUCKETS 64u

struct MosObj_Type {
    MosFastlock_Base lock; // guards objList, the enumeration cursor and the cache
    MosObj_Anchor objList;
    MosDList_Node typeNode; // in the registry's bucket of its typeID
    MosObj *pEnumObj;
    MosObj *pCachedObj;
    UINT32 cachedIndex;
    UINT32 queryDataSize;
    UINT32 typeID;
    PMosObj_QueryFunc pFunc;
    PMosObj_BackDoor pBackdoorFunc;
};

// The registry: a table of types keyed by typeID.
Mos_RC mosObjLayer_Create(void *pArgs);
void mosObjLayer_Destroy(void);
// Whether the registry runs: modules register their types at their start only then.
BOOL mosObjLayer_IsRunning(void);

void mosObjType_RegObjType(MosObj_Type *pType, PMosObj_QueryFunc pQueryFunc, PMosObj_BackDoor pBackdoorFunc,
                           UINT32 typeID, UINT32 querySize);
void mosObjType_UnregObjType(MosObj_Type *pType);
void mosObjType_RegObj(MosObj_Type *pType, MosObj *pObj, const CHAR_A *pName);
void mosObjType_UnregObj(MosObj_Type *pType, MosObj *pObj);
MosObj_Type *mosObjType_GetPtrByID(UINT32 typeID);
UINT32 mosObjType_GetObjNum(MosObj_Type *pType);
UINT32 mosObjType_SizeAssociated(MosObj_Type *pType);

// An enumeration holds the type's lock from start to stop.
void mosObjType_EnumStart(MosObj_Type *pType);
MosObj *mosObjType_EnumGetNextObj(MosObj_Type *pType);
void mosObjType_EnumStop(MosObj_Type *pType);
// Returns the object at a 0-based position with the type's lock held (release with
// mosObjType_ReleaseNthObj), or NULL with the lock free.
MosObj *mosObjType_GetNthObj(MosObj_Type *pType, UINT32 index);
void mosObjType_ReleaseNthObj(MosObj_Type *pType);

void mosObj_Query(MosObj *pObj, MosObj_Type *pType, void *pData);
void mosObj_Backdoor(MosObj *pObj, MosObj_Type *pType, UINT32 backdoorOp, UINT32 argCount, PSdbgConfStr argVec);

static inline BOOL mosObj_IsRegistered(const MosObj *pObj)
{
    return pObj->node.pPrev != nullptr;
}
