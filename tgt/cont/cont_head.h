// Heads: for each head (the address space of one multi-head id, 1024 comb rows) the Ostrel's
// usage bitmap (rows in use), its usage map (the volume tree of each row) and its capacity-change
// generation. The comb layer reaches the map through the embedded head-layer object; the mirroring
// part copies the bitmap and generation with contHead_CopyHeadState.
//
// A re-added head is merged only when its capacity-change generation changed: the bitmap is
// replaced, and the map takes the new non-zero entries (an entry given as 0 keeps the old tree).
// A command that names a head under another head's id is refused, never obeyed.
#pragma once

#include "mos/mos_ds_hash.h"
#include "mos/mos_obj.h"
#include "tgt/cont/cont_mngr.h"
#include "tgt/cont/cont_obj.h"
#include "tgt/head/head.h"
#include "tgt/phy/phy_comb.h"

struct Cont;

typedef PhyCombHead ContHeadState;

struct ContHead {
    MosHash_Record hashRecord; // in the registry (CONT_OBJ_TYPE__HEAD)
    MosObj sdbgObj;
    MosDList_Node listNode;
    ContObjLock accessLock;
    MosFastlock_Base fastLock; // guards headState
    HeadId headId;
    PhyCombHead headState;
    Head head;
    BOOL bMark;
};

using ContHeadMngr = ContMngr<ContHead>;

struct ContHeadQuery {
    UINT32 headId;
};

void contHeadMngr_Init(ContHeadMngr *pHeadMngr);
void contHeadMngr_Destroy(ContHeadMngr *pHeadMngr);
// pUsageBM: PHY_COMB__USAGE_BM_BYTES bytes; usageMap: HEAD__USAGE_MAP_SLOTS entries.
void contHeadMngr_HeadInit(ContHeadMngr *pHeadMngr, Cont *pCont, ContHead *pHead, HeadId headId, GenNum capChangeGen,
                           const UINT8 *pUsageBM, const VTreeId *usageMap);
void contHeadMngr_HeadDestroy(ContHeadMngr *pHeadMngr, ContHead *pHead);
// TRUE when the generation differs from the stored one, or the id is another head's (so that the
// update refuses it).
BOOL contHead_IsUpdateNeeded(ContHead *pHead, HeadId headId, GenNum capChangeGen);
// MOS_RC__SUCCESS, or MOS_RC__INVALID_ARG (with a trace line, nothing changed) for another head's id.
Mos_RC contHead_UpdateFull(ContHead *pHead, HeadId headId, GenNum capChangeGen, const UINT8 *pUsageBM,
                           const VTreeId *usageMap);
void contHead_CopyHeadState(ContHead *pHead, PhyCombHead *pHeadState);
Head *contHead_Get(ContHead *pHead);
void contHeadMngr_MarkAllHeads(ContHeadMngr *pHeadMngr);
ContHead *contHeadMngr_GetFirstMarkedNode(ContHeadMngr *pHeadMngr);
void contHead_PrintHead(ContHead *pHead);
void contHead_Query(ContHead *pHead, ContHeadQuery *pQuery);

// Lets the head layer reach the controller's heads and volume trees by id (counted references
// through the registry).
void contHead_SetHeadLayerHooks(void);
Head *cont_AcquireHeadForHead(Cont *pCont, HeadId headId);
void cont_ReleaseHeadForHead(Cont *pCont, Head *pHead);
