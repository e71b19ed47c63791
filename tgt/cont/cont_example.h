// The example object kind: one 32-bit value under an id. It is the smallest complete instance of
// the pattern every managed kind follows - registry entries, a manager with a locked list, init
// and destroy, an update, a query, and the mark-and-sweep pair of reconfiguration.
#pragma once

#include "mos/mos_ds_hash.h"
#include "mos/mos_obj.h"
#include "tgt/cont/cont_mngr.h"
#include "tgt/cont/cont_obj.h"

struct Cont;

struct ContExample {
    MosHash_Record hashRecord; // in the registry (CONT_OBJ_TYPE__EXAMPLE)
    MosObj sdbgObj;
    MosDList_Node listNode;
    ContObjLock accessLock;
    MosFastlock_Base fastLock; // guards data
    Cont *pCont;
    UINT64 objId;
    BOOL bMark;
    UINT32 data;
};

using ContExampleMngr = ContMngr<ContExample>;

struct ContExampleQuery {
    UINT64 objId;
    UINT32 data;
};

void contExampleMngr_Init(ContExampleMngr *pMngr);
void contExampleMngr_Destroy(ContExampleMngr *pMngr);
// Initialises pExm and appends it to the list.
void contExampleMngr_ObjInit(ContExampleMngr *pMngr, Cont *pCont, ContExample *pExm, UINT64 objId, UINT32 data);
// Unlinks and destroys pExm; the caller removed it from the registry first and frees it after.
void contExampleMngr_ObjDestroy(ContExampleMngr *pMngr, ContExample *pExm);
void contExample_Update(ContExample *pExm, UINT32 data);
void contExampleMngr_MarkAllObjs(ContExampleMngr *pMngr);
ContExample *contExampleMngr_GetFirstMarkedNode(ContExampleMngr *pMngr);
void contExample_Query(ContExample *pExm, ContExampleQuery *pQuery);
