// Volumes as the Ostrel defines them: the identity and generations every client I/O must match
// (volume generation, SCSI generation, reservation key, the node of its volume tree), the quiesce
// flag, and the answers held back while the volume is quiesced.
//
// Generations are serial numbers that wrap at 2^64: B is newer than A when B - A (mod 2^64) lies
// in 1..2^63-1. An update never takes a volume or SCSI generation back, nor a tree id or node id
// of 0: such an update is refused with MOS_RC__INVALID_ARG and a trace line, and changes nothing.
//
// A volume names its tree by id and looks it up for every use, so removing a tree never leaves a
// volume pointing into freed memory. A quiesced volume is counted in its tree's quiesced counter;
// the volume remembers which tree holds its count and gives it back to that tree only.
//
// Held-back answers: while the volume is quiesced, the I/O handler hands it the answers of the
// volume's reads and writes; they leave in the order in which they were held, when the quiesce
// ends (quiesce command or full update) and when the volume is destroyed. An answer handed to a
// volume that is no longer quiesced, or that has nowhere to send it, is not held: the caller
// sends it at once.
//
// Lock order: the tree's lock before the volume's fast lock. The fast lock is never held while an
// answer is sent.
#pragma once

#include "mos/mos_ds_hash.h"
#include "mos/mos_obj.h"
#include "tgt/cont/cont_mngr.h"
#include "tgt/cont/cont_obj.h"
#include "tgt/cont/cont_vtree.h"
#include "tgt/ioh/ioh.h"

struct Cont;
struct ContVolMngr;

typedef UINT64 VolId;
typedef UINT64 ScsiRegKey;

// Whether generation b is newer than a (serial order with wrap-around).
constexpr bool contVol_IsGenNewer(GenNum b, GenNum a)
{
    return (b > a && b - a <= (1ull << 63) - 1) || (b < a && a - b > (1ull << 63) - 1);
}

// One held-back answer: a copy of the I/O handler's answer and the request it answers.
struct ContQuiescedIo {
    MosDList_Node node;
    IohResp resp;
    const void *pReq;
};

struct ContVol {
    MosHash_Record hashRecord; // in the registry (CONT_OBJ_TYPE__VOL)
    MosObj sdbgObj;
    MosDList_Node listNode;
    MosDList_Anchor pendIoAnchor; // held-back answers, oldest first
    ContObjLock accessLock;
    MosFastlock_Base fastLock; // generations, flags, pendIoAnchor
    Cont *pCont;
    ContVolMngr *pVolMngr;
    VolId volId;
    GenNum volGenNum;
    GenNum scsiGenNum;
    VTreeId vtreeId;
    VtoId vtoId;
    ScsiRegKey regKey; // 0: none
    VTreeId quiescedVtreeId; // the tree that counts this volume as quiesced (0: none)
    BOOL bTeachQuillet;
    BOOL bQuiesced;
    BOOL bMark;
    BOOL bUseCache;
};

// How the volumes reach their trees (a counted reference) and send held-back answers. The
// defaults look trees up in the controller's registry and hold no answers.
struct ContVolHooks {
    ContVtree *(*pAcquireVtree)(Cont *pCont, VTreeId vtreeId);
    void (*pReleaseVtree)(Cont *pCont, ContVtree *pVtree);
    // Sends a held-back answer; null: answers are never held.
    void (*pSendResponse)(Cont *pCont, const void *pReq, IohResp *pResp);
};

struct ContVolMngr {
    ContMngr<ContVol> list;
    ContVolHooks hooks;
};

struct VolQuery {
    UINT64 volId;
    UINT64 volGenNum;
    UINT64 scsiGenNum;
    UINT64 vtreeId;
    BOOL bQuiesced;
};

void contVolMngr_Init(ContVolMngr *pVolMngr, const ContVolHooks *pHooks);
void contVolMngr_Destroy(ContVolMngr *pVolMngr);
// MOS_RC__SUCCESS, or MOS_RC__INVALID_ARG (trace line, nothing built) for a tree or node id of 0.
Mos_RC contVolMngr_VolInit(ContVolMngr *pVolMngr, Cont *pCont, ContVol *pVol, VolId volId, GenNum volGenNum,
                           GenNum scsiGenNum, ScsiRegKey regKey, BOOL bTeachQuillet, VTreeId vtreeId, VtoId vtoId,
                           BOOL bQuiesced, BOOL bUseCache);
// Unlinks the volume, sends its held-back answers and gives back its quiesced count.
void contVolMngr_VolDestroy(ContVolMngr *pVolMngr, ContVol *pVol);

Mos_RC contVol_UpdateFull(ContVol *pVol, GenNum volGenNum, GenNum scsiGenNum, ScsiRegKey regKey, BOOL bTeachQuillet,
                          VTreeId vtreeId, VtoId vtoId, BOOL bQuiesced, BOOL bUseCache);
Mos_RC contVol_UpdatePartial(ContVol *pVol, GenNum volGenNum, GenNum scsiGenNum, ScsiRegKey regKey,
                             BOOL bTeachQuillet, VTreeId vtreeId, VtoId vtoId, BOOL bUseCache);
BOOL contVol_IsUpdateNeeded(ContVol *pVol, GenNum volGenNum, GenNum scsiGenNum, ScsiRegKey regKey, VtoId vtoId,
                            BOOL bQuiesced);
void contVol_UpdateQuiesced(ContVol *pVol, BOOL bQuiesced);
// MOS_RC__SUCCESS or the I/O fault to answer: 17, 51 (*pCurScsiGenNum tells the current one), 52, 53.
Mos_RC contVol_Validate(ContVol *pVol, GenNum volGenNum, GenNum scsiGenNum, ScsiRegKey regKey,
                        GenNum *pCurScsiGenNum);
BOOL contVol_IsQuiesced(ContVol *pVol);
void contVol_DelayResponse(ContVol *pVol, IohResp *pIoRes);
// Holds the answer (TRUE) while the volume is quiesced; FALSE, with bDelayResp cleared: send it now.
BOOL contVol_hangDelayResponse(Cont *pCont, ContVol *pVol, IohResp *pIoRes, const void *pReq);
void contVol_ReleaseDelayResponse(ContVol *pVol);
void contVolMngr_MarkAllVols(ContVolMngr *pVolMngr);
ContVol *contVolMngr_GetFirstMarkedNode(ContVolMngr *pVolMngr);
void contVol_Query(ContVol *pVol, VolQuery *pQuery);

// The volumes as the I/O handler reaches them (IohHooks): by id through the registry.
IohVol *cont_IohAcquireVol(Cont *pCont, UINT64 volId);
void cont_IohReleaseVol(Cont *pCont, IohVol *pVol);
Mos_RC cont_IohValidateVol(IohVol *pVol, UINT64 volGenNum, UINT64 scsiGenNum, UINT64 regKey, UINT64 *pCurScsiGenNum);
BOOL cont_IohIsVolQuiesced(IohVol *pVol);
BOOL cont_IohIsVolCached(IohVol *pVol);
BOOL cont_IohHangDelayResponse(Cont *pCont, UINT64 volId, IohResp *pIoRes);

// The default tree lookup: the controller's registry.
ContVtree *cont_AcquireContVtree(Cont *pCont, VTreeId vtreeId);
void cont_ReleaseContVtree(Cont *pCont, ContVtree *pVtree);
