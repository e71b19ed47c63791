// Comb objects: every comb copy held here, as a shell around its three parts (extent locks, the
// I/O handler's handle, mirroring), registered by its 64-bit CombId, linked in the comb manager's
// list and in the list of the device that holds its teeth. Role and state changes, the primary's
// generation and the migration commands go to the mirroring part unchanged; what this module
// owns is the comb list and the passes the watchdog loops run over it.
//
// Passes and writers. itrRwLock orders the passes against the writers of the list. A pass holds
// the read lock for its whole walk (the Ostrel-state pass alone holds the write lock between
// combs and drops it around each comb's work); a comb cannot be unlinked, so cannot be freed,
// while a pass holds the lock, which is why a pass may call into combs without a registry
// reference. A writer that wants the write lock (an add or remove with bLock, the mark of a
// reconfiguration, contCombMngr_AbortOldItr) raises abortItr before it waits and lowers it once
// it has the lock; every pass tests abortItr before each comb and ends early when it is raised,
// so a writer never waits for a whole pass. The next run of an aborted pass walks all combs
// again; the Ostrel-state pass rotates the list by one per comb, so that after an abort the next
// run starts with the combs it did not reach, and a full run leaves the list in its order.
//
// Yield. The passes that call into every comb under the read lock (update, first access, clean)
// yield the processor once more than 100 ms have passed since they started or last yielded;
// the Ostrel-state pass yields when the scheduler asks; the remote-DRL reset never yields.
//
// First access. Each comb is first-accessed once by the pass, in the order of the adds; a comb
// removed before its turn is taken off the first-access list by the removal and never accessed.
//
// Multi-head size statistics. One query at a time (a second answers MOS_RC__ABORTED at once).
// Combs are grouped by their whole 32-bit multi-head id (bits 15 to 46 of the comb id), so two
// multi heads whose low bits agree are never merged; the table holds 2048 multi heads, and a comb
// of a further multi head, or one whose base size is above its size, is left out with a trace
// line - ids and sizes come from outside this process and never stop it. The reply lists the
// multi heads in ascending id order.
//
// Lock order: registry locks (a comb's, its device's) before itrRwLock, itrRwLock before
// addRemFastlock. An add holds the new comb's and its device's registry locks while it waits for
// itrRwLock; the Ostrel-state pass therefore drops itrRwLock before it takes a comb's registry
// lock. combStatsFastlock guards only the running flag.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdio>

#include "mos/mos_dlist.h"
#include "mos/mos_ds_hash.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_obj.h"
#include "mos/mos_rc.h"
#include "mos/umt/mos_umt_rwlock.h"
#include "mos/umt/mos_umt_semaphore.h"
#include "net/net_msg.h"
#include "tgt/cont/cont_comb_state.h"
#include "tgt/cont/cont_obj.h"
#include "tgt/elock/elock.h"
#include "tgt/ioh/ioh.h"
#include "tgt/raid/raid_comb.h"

struct Cont;
struct ContDev;
struct OstrelTgtReq_AddCombArr;

#define CONT_COMB__YIELD_MILLIS 100u
#define CONT_COMB__MH_ID_SHIFT 15u

// The multi-head id of a comb: bits 15 to 46 of its id.
constexpr UINT32 contComb_MultiHeadId(CombId combId)
{
    return (UINT32)(combId >> CONT_COMB__MH_ID_SHIFT);
}

struct ContCombLists {
    MosHash_Record hashRecord; // in the registry (CONT_OBJ_TYPE__COMB)
    ContObjLock accessLock;
    MosDList_Node listNode;            // in the manager's comb list
    MosDList_Node firstAccesslistNode; // in the manager's first-access list until first-accessed
    MosObj sdbgObj;
};

struct ContComb {
    ElockComb elockComb;
    IohComb iohComb;
    RaidComb raidComb;
    ContCombLists lists;
    MosDList_Node nodeInDevCombList; // in the holding device's comb list
    TgtDevId devId;
    CombId combId;
    UINT64 doneCleanGen; // highest deletion generation the comb has been cleaned up to
    BOOL bMark;
    Cont *pCont;
};

// The mirroring part's work the passes do on each comb. The manager starts with the mirroring
// part's own functions (contCombMngr_DefaultRaidOps); tests of the passes put their own in
// place, so that the passes can be driven without devices.
struct ContCombRaidOps {
    BOOL (*firstAccess)(RaidComb *pRaid);
    void (*updateOstrel)(RaidComb *pRaid);
    void (*resetDrlOnQuiet)(RaidComb *pRaid);
    BOOL (*validateTeeth)(RaidComb *pRaid, BOOL bLock);
    BOOL (*cleanComb)(RaidComb *pRaid, VtreeMap *pVtreeMap, BOOL bForceClean);
    void (*resetRemoteDrl)(Cont *pCont, RaidComb *pRaid);
    void (*getCombSizes)(RaidComb *pRaid, UINT32 *pSizeMb, UINT32 *pBaseSizeMb);
    void (*printComb)(RaidComb *pRaid, FILE *pFile);
};

// The debug query of a comb.
struct ContCombQuery {
    CombId combId;
    ElockQuery elockQuery;
    RaidQuery raidQuery;
};
static_assert(sizeof(ContCombQuery) == 96);

// Reply of the multi-head comb-size query: the head, then numMultiHeads records.
#pragma pack(push, 1)
struct OstrelTgt_CombSizeStats {
    UINT32 multiHeadId;
    UINT32 maxCombSizeMb;
    UINT32 maxCombBaseSizeMb;
    UINT32 minCombSizeMb;
    UINT32 minCombBaseSizeMb;
    UINT8 padding[24];
};
struct OstrelTgtRsp_QueryMhCombSizeStats {
    UINT16 numMultiHeads;
    UINT8 padding[24];
    OstrelTgt_CombSizeStats mhCombSizeStats[]; // numMultiHeads records
};
#pragma pack(pop)
static_assert(sizeof(OstrelTgt_CombSizeStats) == 44);
static_assert(offsetof(OstrelTgt_CombSizeStats, maxCombSizeMb) == 4);
static_assert(offsetof(OstrelTgt_CombSizeStats, maxCombBaseSizeMb) == 8);
static_assert(offsetof(OstrelTgt_CombSizeStats, minCombSizeMb) == 12);
static_assert(offsetof(OstrelTgt_CombSizeStats, minCombBaseSizeMb) == 16);
static_assert(offsetof(OstrelTgt_CombSizeStats, padding) == 20);
static_assert(sizeof(OstrelTgtRsp_QueryMhCombSizeStats) == 26);
static_assert(offsetof(OstrelTgtRsp_QueryMhCombSizeStats, mhCombSizeStats) == 26);

extern const ContCombRaidOps contCombMngr_DefaultRaidOps;

// Every comb must have been destroyed.
void contCombMngr_Destroy(ContCombMngr *pCombMngr);
void contCombMngr_SetRaidOps(ContCombMngr *pCombMngr, const ContCombRaidOps *pOps);

// Builds the comb's three parts and registers it with the debug server; the comb is not linked.
void contComb_Init(ContComb *pComb, Cont *pCont, TgtDevId devId, CombId combId, TgtId raidTgtId, TgtId maintTgtId,
                   UINT16 tgtCombCmdGenNum, BOOL bTPellar);
void contCombMngr_CombInit(ContComb *pComb, Cont *pCont, TgtDevId devId, CombId combId, TgtId raidTgtId,
                           TgtId maintTgtId, UINT16 tgtCombCmdGenNum, BOOL bTPellar);
// Links the comb at the end of the comb list and of the first-access list. bLock: take the write
// lock of itrRwLock (aborting running passes); without it the caller already holds it.
void contCombMngr_CombAdd(ContCombMngr *pCombMngr, ContComb *pComb, BOOL bLock);
// Unlinks the comb from the comb list and, if still there, from the first-access list.
void contCombMngr_CombRem(ContCombMngr *pCombMngr, ContComb *pComb, BOOL bLock);
// Aborts the comb's copies and waits until no copy job uses it.
void contComb_PrepareDestroy(ContComb *pComb);
void contCombMngr_CombPrepareDestroy(ContComb *pComb);
// The comb must be unlinked (from the manager's lists and its device's). Destroys the I/O,
// mirroring and extent-lock parts and zeroes the object.
void contComb_Destroy(ContComb *pComb);
void contCombMngr_CombDestroy(ContCombMngr *pCombMngr, ContComb *pComb);

// The holding device's comb list, under the device's addRemCombFastlock.
void contDev_AddCombToList(ContDev *pDev, ContComb *pComb);
void contDev_RemCombFromList(ContDev *pDev, ContComb *pComb);

// Pass-through to the mirroring part: same arguments, same results.
Mos_RC contComb_SetState(ContComb *pComb, const RaidComb_SetStateReq *pCombState,
                         OstrelTgtRsp_SetCombState *pSetCombRsp);
Mos_RC contComb_SetPriTgtGenNum(ContComb *pComb, CombGenNum primaryTgtGenNum, BOOL bLock);
Mos_RC contComb_SkipSetState(ContComb *pComb, const RaidComb_SetStateReq *pCombState);
Mos_RC contComb_StartMigrate(ContComb *pComb, const OstrelTgtReq_StartMigrate *pMigCmd);
Mos_RC contComb_AbortMigrate(ContComb *pComb, const OstrelTgtReq_AbortMigrate *pMigCmd);
Mos_RC contComb_EndMigrate(ContComb *pComb, const OstrelTgtReq_EndMigrate *pMigCmd);

// Reconfiguration sweep: mark every comb and return holding the write lock of itrRwLock (taken
// under the abort rule); walk the marked combs (pComb: the last one returned and still linked,
// null to start); release the lock with FinishCombLoop.
void contCombMngr_MarkAllCombs(ContCombMngr *pCombMngr);
ContComb *contCombMngr_GetNextMarkedNode(ContCombMngr *pCombMngr, ContComb *pComb);
void contCombMngr_FinishCombLoop(ContCombMngr *pCombMngr);
// Makes every running pass stop at its next comb.
void contCombMngr_AbortOldItr(ContCombMngr *pCombMngr);

// The passes.
void contCombMngr_UpdateCombs(ContCombMngr *pCombMngr);
void contCombMngr_UpdateAllCombFirstAccess(ContCombMngr *pCombMngr);
void contCombMngr_UpdateOstrelOnAllCombs(ContCombMngr *pCombMngr, Cont *pCont);
// MOS_RC__SUCCESS when every comb that had to be cleaned was cleaned, MOS_RC__ABORTED when the
// pass was aborted or a comb's cleaning did not run (the round is then not recorded as done).
Mos_RC contCombMngr_CleanCombs(ContCombMngr *pCombMngr, Cont *pCont, UINT64 maxPendDelGen, BOOL bFullCleanComb);
void contCombMngr_ResetRemoteDrls(ContCombMngr *pCombMngr, Cont *pCont);
// pFile null: standard output.
void contCombMngr_PrintAllCombs(ContCombMngr *pCombMngr, FILE *pFile);
// Appends the reply to pRes's buffer list: MOS_RC__SUCCESS, MOS_RC__ABORTED (another query is
// running; nothing appended) or MOS_RC__NO_RESOURCES.
Mos_RC contCombMngr_GetCombStats(ContCombMngr *pCombMngr, NetRpcData *pRes);

void contComb_Query(MosObj *pObj, const CHAR_A *pName, void *pData);

// One comb of an add-comb command, as the command module hands it over.
struct ContCombAddArgs {
    CombId combId;
    TgtDevId devId;
    TgtId raidTgtId;  // the mirror partner
    TgtId maintTgtId; // the maintenance partner, 0 for none
    BOOL bHasMig;     // the Ostrel knows of a running migration
    UINT16 tgtCombCmdGenNum;
    BOOL bReadOnly;        // an existing comb may not change partner (answers MOS_RC__NEED_WRITE_ACCESS)
    BOOL bLock;            // take itrRwLock to link the comb (FALSE inside a reconfiguration's sweep)
    BOOL bForceCombCmdGen; // accept any command generation
    BOOL bTPellar;
    BOOL bNew; // with bTPellar: drop whatever teeth the device still holds for the comb
};

// The add of one comb: registry add, object, placement on its device, links, add-done; a comb
// that cannot be placed is rolled back so that nothing stays registered. An existing comb is
// checked against the command instead (partner, command generation). Answers MOS_RC__SUCCESS
// (added), MOS_RC__ALREADY_EXISTS (existing and valid), the mirroring part's refusal of an
// existing comb (60, 58, 30), MOS_RC__INVALID_DEV_ID (device not registered), MOS_RC__RETRY (the
// comb is being removed) or MOS_RC__ERROR (not placed). Runs on a uthread.
Mos_RC contComb_AddOne(Cont *pCont, const ContCombAddArgs *pArgs);
// Removes the comb by id: MOS_RC__SUCCESS or MOS_RC__NOT_FOUND. bRollback: the undo of a failed
// add (the comb was never linked in the manager and holds no teeth). bLock: take itrRwLock to
// unlink it (FALSE inside a reconfiguration's sweep).
Mos_RC contComb_RemById(Cont *pCont, CombId combId, BOOL bRollback, BOOL bLock);

