// The registry entry that a registered object embeds, and the callbacks of a registered type.
// Kept apart from mos_obj.h because the registry's own table is a hash table that embeds an entry.
#pragma once

#include "mos/mos_dlist.h"
#include "mos/mos_types.h"
#include "mos/sdbg/sdbg_exports.h"

// Linked in its type's list (ends marked with the all-ones pointer); both links NULL when the
// object is not registered.
typedef MosDList_Node MosObj_Node;
typedef MosDList_Anchor MosObj_Anchor;

struct MosObj {
    MosObj_Node node;
    const CHAR_A *pName; // the caller's text, not copied
};

// Fills the type's query record of queryDataSize bytes for one object.
typedef void (*PMosObj_QueryFunc)(MosObj *pObj, const CHAR_A *pName, void *pData);
typedef void (*PMosObj_BackDoor)(MosObj *pObj, UINT32 backdoorOp, UINT32 argCount, PSdbgConfStr argVec);
