// The mirroring object of one comb: whether this server holds the comb as primary or secondary,
// who the partners are and in which state each partnership stands, the comb's I/O generation and
// the generation of the last Ostrel command applied to it.
//
// Two partnership slots (protState). pRebuild always names the mirror partner's slot (type
// SECONDARY on both sides); the other slot is free, or holds a maintenance partner (the "T" copy,
// pMaintenance) or a running migration (pMigrate), never both. At the end of a migration the slots
// swap roles: pRebuild moves to the migration's slot.
//
// Generations. The command generation (16 bits) is compared in serial arithmetic: a command is
// accepted exactly when int16(new - stored) >= 0, so 0x0000 follows 0xFFFF and a value 0x8000
// below the stored one is refused (MOS_RC__WRONG_COMB_CMD_GEN). The comb generation (64 bits)
// only moves forward; every primary I/O carries it and must match it exactly.
//
// Degrade. A partner is dropped (DEGRADED_REMOTE_ERROR) only with the Ostrel's permit: a primary
// that may be stale never acknowledges writes on its own. Without the permit the state stays and
// the write answers MOS_RC__IO_HARD_ERROR.
//
// Ostrel input is never trusted: a command that would break an invariant of this object (an older
// primary generation, a copy reason outside 1-7, a maintenance entry for a secondary, a forced copy
// during a migration, a partner change to a server that is not the migration's target) is refused
// with 60, 30 or 1 and changes nothing. A migration ends (END_MIGRATE, a partner change) only from
// COPY_DONE: a half-copied partner never becomes the mirror.
//
// Locks, in order: the comb's extent locks (all of them for a role change from primary, a partner
// change and END_MIGRATE), combOstrelNotifyLock, combFastLock. combFastLock guards every field
// below it and both slots; it is never held across a network send, device I/O or a semaphore wait.
#pragma once

#include <atomic>

#include "mos/mos_dlist.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_rc.h"
#include "mos/mos_types.h"
#include "mos/umt/mos_umt_rwlock.h"
#include "mos/umt/mos_umt_semaphore.h"
#include "tgt/elock/elock.h"
#include "tgt/phy/phy_comb.h"
#include "tgt/raid/raid.h"

struct Cont;
struct ContDev;
struct Phy;

#define RAID_PROT_COUNT 2u
#define MAX_RAID_PROT_TYPES 3u
#define RAID_COMB__MAX_OSTREL_SEND_ATTEMPTS 3u
#define RAID_COMB__FORCE_REMOTE_CLEAN 60u
#define RAID_COMB__DIRTY_ARRAY_BYTES 1024u
#define RAID_COMB__CONTENTION 98u // lock class of the comb's fast locks
#define OSTREL_MSG_TYPE__UPDATE_COMB_STATE 1002u
// SET_COMB_STATE waits this long for running copy jobs before it answers MOS_RC__RETRY.
#define RAID_COMB__COPY_WAIT_MILLIS 5000u

enum CombState : UINT32 {
    COMB_STATE__FREE = 0,
    COMB_STATE__PRIMARY_PENDING = 1,
    COMB_STATE__PRIMARY = 2,
    COMB_STATE__SECONDARY_PENDING = 3,
    COMB_STATE__SECONDARY = 4,
    COMB_STATE__LAST = 5,
};

enum CombRAIDState : UINT32 {
    COMB_RAID_STATE__INVALID = 0,
    COMB_RAID_STATE__NORMAL = 0x1,
    COMB_RAID_STATE__COPY = 0x2,
    COMB_RAID_STATE__COPY_STARTED = 0x4,
    COMB_RAID_STATE__COPY_DONE = 0x8,
    COMB_RAID_STATE__DEGRADED_REMOTE_ERROR = 0x10,
    COMB_RAID_STATE__DEGRADED_LOCAL_ERROR = 0x20,
    COMB_RAID_STATE__NORMAL_NEED_REBUILD = 0x40,
    COMB_RAID_STATE__COPY_ERROR = 0x80,
    COMB_RAID_STATE__UNKNOWN_IN_TGT = 0x100,
    COMB_RAID_STATE__MM_NORMAL = 0x200,
    COMB_RAID_STATE__MM_DIFF_SYNC = 0x400,
    COMB_RAID_STATE__MM_DEGRADED = 0x800,
};

enum RaidProtType : UINT32 {
    RAID_PROT_TYPE__NONE = 0,
    RAID_PROT_TYPE__SECONDARY = 1,
    RAID_PROT_TYPE__MIGRATE = 2,
    RAID_PROT_TYPE__MAINTENANCE = 3,
    RAID_PROT_TYPE__LAST = 4,
};

enum RaidCombInitState : UINT32 {
    RAID_COMB_INIT_STATE__NONE = 0,
    RAID_COMB_INIT_STATE__PREPARE = 1,
    RAID_COMB_INIT_STATE__INIT = 2,
    RAID_COMB_INIT_STATE__FOUND_ON_DEV = 3,
    RAID_COMB_INIT_STATE__NEW = 4,
};

typedef UINT64 CombGenNum;

const CHAR_A *raid_CombStateName(UINT32 state);
const CHAR_A *raid_CombStateAbbrev(UINT32 state);
const CHAR_A *raid_ProtTypeName(UINT32 protType);

struct RaidRebuildQuery {
    UINT32 sizeCopiedLbs;
    UINT32 lastSizeCopiedLbs;
    UINT32 lastRebuildCopyTimeMillis;
    UINT32 count;
    UINT32 progress;
};

// The resync pool's link of a queued job (a work request of its worker pool).
typedef MosDList_Node RaidCopyNode;

struct RaidCombProt {
    UINT32 combRaidState; // CombRAIDState
    TgtId remoteTgtId;
    RaidCopyNode copyNode;
    UINT64 ostrelStateCounter;   // raised at every state change
    UINT64 ostrelNotifLastError; // raised at every failed send
    RaidComb *pComb;
    UINT32 copyReason; // CombCopyReason
    UINT32 protType;   // RaidProtType
    BOOL bAbortCopy;
    BOOL bOstrelAbortMigrate;
    BOOL bCopyError;
    BOOL bNotificationNeeded;
    UINT16 copyNum;
    BOOL bFetchRemoteDrl;
    BOOL bCopyActiveDrl;
    BOOL bMutualOrDrls;
    BOOL bIsProtValid;
};

struct RaidComb {
    RaidRebuildQuery rebuildStat;
    MosUmt_RWLock combOstrelNotifyLock;
    PhyComb phyComb;
    MosFastlock_Base combFastLock;
    RaidCombProt protState[RAID_PROT_COUNT];
    RaidCombProt *pMigrate;
    RaidCombProt *pRebuild;
    RaidCombProt *pMaintenance;
    MosUmt_Sem abortCopySem;
    UINT8 dirtyArray[RAID_COMB__DIRTY_ARRAY_BYTES];
    Cont *pCont;
    ContDev *pContDev;
    ElockComb *pElock;
    CombId combId;
    UINT32 combState; // CombState
    UINT32 inFlightWrites;
    CombGenNum combGenNum;
    MosFastlock_Base combGenUpdateFastLock;
    BOOL bRebuildRunning;
    UINT32 raidCombInitState; // RaidCombInitState
    UINT16 tgtCombCmdGenNum;
    BOOL bRequireRemoteCleanup;
    BOOL bAbortScan;
    UINT32 forceRemoteDrlCounter;
    BOOL bTPellar;
    Phy *pPhy; // the device set the comb was placed by; its first access completes the placement there
};
static_assert(offsetof(RaidComb, inFlightWrites) == offsetof(RaidComb, combState) + sizeof(UINT32));

// ---- records of the Ostrel's commands and the notification ----

struct RaidComb_SetProtStateReq {
    TgtId raidTgtId;
    UINT32 newRaidState;
    UINT32 curRaidState; // a mask of states
    UINT32 raidType;     // RaidProtType: NONE, SECONDARY or MAINTENANCE
};

struct RaidComb_SetStateReq {
    CombId combId;
    UINT32 newState;
    UINT32 curState;
    CombGenNum primaryTgtGenNum;
    UINT16 tgtCombCmdGenNum;
    BOOL bSetStateOnly;
    BOOL bForceReconfig;
    BOOL bReconfigInProgress;
    BOOL bReadOnly;
    RaidComb_SetProtStateReq protState[MAX_RAID_PROT_TYPES];
};

#pragma pack(push, 1)
struct OstrelTgtRsp_SetCombState {
    UINT32 curState;
    UINT32 curRaidState;
    UINT64 curPrimaryTgtGenNum;
    UINT16 curTgtCombCmdGenNum;
    UINT32 raidType;
};
struct OstrelTgtReq_StartMigrate {
    UINT64 combId;
    UINT64 primaryTgtGenNum;
    UINT64 migrateTgtId;
    UINT32 copyReason;
    UINT16 ostrelTgtConnectionGenNum;
    UINT16 tgtCombCmdGenNum;
    UINT16 copyNum;
};
struct OstrelTgtReq_AbortMigrate {
    UINT64 combId;
    UINT64 primaryTgtGenNum;
    UINT16 ostrelTgtConnectionGenNum;
    UINT16 tgtCombCmdGenNum;
};
struct OstrelTgtReq_EndMigrate {
    UINT64 combId;
    UINT64 newSecondaryTgt;
    UINT64 oldSecondaryTgt;
    UINT64 primaryTgtGenNum;
    UINT16 ostrelTgtConnectionGenNum;
    UINT16 tgtCombCmdGenNum;
    UINT16 copyNum;
};
struct RaidCopyState {
    UINT64 raidTgtId;
    UINT32 state;
    UINT32 protType;
};
struct OstrelTgtReq_UpdateCombState {
    UINT64 combId;
    UINT64 primaryTgtGenNum;
    UINT64 primaryTgtId;
    RaidCopyState raidState;
    UINT16 tgtCombCmdGenNum;
    UINT16 copyNum;
};
#pragma pack(pop)
static_assert(sizeof(OstrelTgtRsp_SetCombState) == 22 && offsetof(OstrelTgtRsp_SetCombState, raidType) == 18);
static_assert(sizeof(OstrelTgtReq_StartMigrate) == 34 && offsetof(OstrelTgtReq_StartMigrate, copyNum) == 32);
static_assert(offsetof(OstrelTgtReq_StartMigrate, copyReason) == 24);
static_assert(sizeof(OstrelTgtReq_AbortMigrate) == 20 && offsetof(OstrelTgtReq_AbortMigrate, tgtCombCmdGenNum) == 18);
static_assert(sizeof(OstrelTgtReq_EndMigrate) == 38 && offsetof(OstrelTgtReq_EndMigrate, copyNum) == 36);
static_assert(offsetof(OstrelTgtReq_EndMigrate, primaryTgtGenNum) == 24);
static_assert(sizeof(RaidCopyState) == 16);
static_assert(sizeof(OstrelTgtReq_UpdateCombState) == 44);
static_assert(offsetof(OstrelTgtReq_UpdateCombState, raidState) == 24);
static_assert(offsetof(OstrelTgtReq_UpdateCombState, tgtCombCmdGenNum) == 40);
static_assert(offsetof(OstrelTgtReq_UpdateCombState, copyNum) == 42);

struct RaidQuery {
    RaidRebuildQuery rebuildStat;
    TgtId migrateTgtId;
    TgtId raidTgtId;
    CombGenNum genNum;
    CombId combId;
    UINT32 combState;
    UINT32 combRaidState; // the mirror partnership's
    UINT32 migrateState;
};

// ---- life cycle ----

void raidCombProt_Init(RaidCombProt *pCombProt, RaidComb *pComb, TgtId remoteTgtId, UINT32 raidState, UINT32 protType,
                       UINT32 copyReason, UINT16 copyNum, BOOL bNotificationNeeded);
void raidComb_Init(RaidComb *pComb, Cont *pCont, ElockComb *pElock, CombId combId, TgtId raidTgtId, TgtId maintTgtId,
                   UINT16 tgtCombCmdGenNum, BOOL bTPellar);
// Takes or finds the comb's slot on the device; FALSE on failure. PREPARE -> FOUND_ON_DEV or NEW.
BOOL raidComb_AllocComb(RaidComb *pComb, CombId combId, TgtDevId devId, Phy *pPhy, PhyDev *pDev, ContDev *pContDev,
                        BOOL bRemoveAllTeeth);
void raidComb_FreeComb(RaidComb *pComb, Phy *pPhy);
// Aborts every copy of the comb and waits until no copy job uses it.
void raidComb_PrepareDestroy(RaidComb *pComb);
void raidComb_Destroy(RaidComb *pComb);
// FALSE while the comb is not allocated (PREPARE or NONE) or its first access could not complete.
BOOL raidComb_FirstAccess(RaidComb *pComb);
void raidComb_CheckBitsOnInit(RaidComb *pComb);
BOOL raidComb_ValidateTeethInComb(RaidComb *pComb, BOOL bLock);

// ---- generations ----

// Caller holds combFastLock. MOS_RC__SUCCESS (stored) or MOS_RC__WRONG_COMB_CMD_GEN.
Mos_RC raidComb_ValidateCmdGen(RaidComb *pComb, UINT16 tgtCombCmdGenNum, BOOL bForce);
// An older generation than the comb's is refused (MOS_RC__TGT_WRONG_GEN_NUM, nothing stored).
Mos_RC raidComb_SetPriTgtGenNum(RaidComb *pComb, CombGenNum primaryTgtGenNum, BOOL bLock);
BOOL raidComb_ValidateCombGen(RaidComb *pComb, CombGenNum combGen);
// Caller holds combFastLock. 65, 18 (wrong generation on a primary I/O) or 20 (I/O not allowed).
Mos_RC raidComb_IsIoValid(RaidComb *pComb, BOOL bPrimary, CombGenNum combGenNum);

// ---- accessors ----

CombGenNum raidComb_GetCombGenNum(RaidComb *pComb);
UINT16 raidComb_GetTgtCombCmdGenNum(RaidComb *pComb);
TgtId raidComb_GetRaidTgtId(RaidComb *pComb);
TgtId raidComb_GetMaintTgtId(RaidComb *pComb);
CombId raidComb_GetCombId(RaidComb *pComb);
TgtDevId raidComb_GetDevId(RaidComb *pComb);
BOOL raidComb_IsPrimary(RaidComb *pComb);
BOOL raidComb_IsSecondary(RaidComb *pComb);
BOOL raidComb_IsT(RaidComb *pComb);
BOOL raidComb_WasCombInit(RaidComb *pComb);
BOOL raidComb_IsDeviceInError(RaidComb *pComb);
void raidComb_LockComb(RaidComb *pComb);
void raidComb_UnlockComb(RaidComb *pComb);
void raidComb_LockCombUsage(RaidComb *pComb);
void raidComb_UnlockCombUsage(RaidComb *pComb);
// The comb's size and base size in MB, read together under its usage lock.
void raidComb_GetCombSizes(RaidComb *pComb, UINT32 *pSizeMb, UINT32 *pBaseSizeMb);
void raidComb_AbortScan(RaidComb *pComb);
PhyComb *raidComb_GetPhyComb(RaidComb *pComb);
void raidComb_CombGenOnTDone(RaidComb *pComb);
void raidComb_ComparePriSecData(RaidComb *pComb);

// ---- state predicates (bLock: take combFastLock here) ----

BOOL raidComb_IsRebuildInProgress(RaidComb *pComb, const RaidCombProt *pProt, BOOL bLock);
BOOL raidComb_IsMigrationInProgress(RaidComb *pComb, BOOL bLock);
BOOL raidComb_IsRebuildDerivedStates(RaidComb *pComb, BOOL bLock);
BOOL raidComb_IsReverseRebuild(RaidComb *pComb, BOOL bLock);
BOOL raidComb_IsMaintRebuild(RaidComb *pComb, BOOL bLock);
BOOL raidComb_IsMaintNormal(RaidComb *pComb, BOOL bLock);
BOOL raidComb_IsMmDegraded(RaidComb *pComb, BOOL bLock);
BOOL raidComb_ShouldTranslateZeroBufToWriteZero(RaidComb *pComb, BOOL bLock);
BOOL raidComb_ShouldSkipTrim(RaidComb *pComb, BOOL bLock);
BOOL raidComb_IsResetBitsAllowed(RaidComb *pComb, BOOL bIsFromIoPath, BOOL bLock);
BOOL raidComb_IsResetFineBitsAllowed(RaidComb *pComb, BOOL bIsFromIoPath, BOOL bLock);
BOOL raidComb_DoesOstrelNeedThisStateNotification(RaidComb *pComb, UINT32 raidState);
BOOL raidComb_IsCombStateNotificationNeeded(RaidComb *pComb, const RaidCombProt *pProt, CombGenNum gen,
                                            UINT16 cmdGen);

// ---- the Ostrel's commands ----

// Caller holds combFastLock. Sets a partnership's state (see the state table of the source).
void raidComb_SetCombState(RaidComb *pComb, RaidCombProt *pProt, UINT32 raidState, BOOL bNeedNotif);
// SET_COMB_STATE: 65, 60, 30, 32 or 7 (a copy already runs). *pSetCombRsp always holds the
// comb's values as they stood at validation.
Mos_RC raidComb_SetState(RaidComb *pComb, const RaidComb_SetStateReq *pCombState, OstrelTgtRsp_SetCombState *pSetCombRsp);
// 65 when the request only repeats the comb's present roles and states (its generations then
// applied), 60, or MOS_RC__ERROR for any difference.
Mos_RC raidComb_SkipSetState(RaidComb *pComb, const RaidComb_SetStateReq *pCombState);
// ADD_COMB on an existing comb: 65, 60, 58 (read-only) or 30 (a partner change that would make a
// half-copied or unknown server the mirror).
Mos_RC raidComb_ValidateRaidId(RaidComb *pComb, TgtId raidTgtId, UINT16 tgtCombCmdGenNum, BOOL bHasMig,
                               BOOL bReadOnly, BOOL bForceCombCmdGen, BOOL bTPellar);
Mos_RC raidComb_StartMigrate(RaidComb *pComb, const OstrelTgtReq_StartMigrate *pMigCmd);
// pMigCmd null: an internal abort.
Mos_RC raidComb_AbortMigrate(RaidComb *pComb, const OstrelTgtReq_AbortMigrate *pMigCmd);
Mos_RC raidComb_EndMigrate(RaidComb *pComb, const OstrelTgtReq_EndMigrate *pMigCmd);
Mos_RC raidComb_AbortRebuild(RaidComb *pComb, RaidCombProt *pProt);

// ---- write errors and the Ostrel's notifications ----

struct RaidWriteErrorResult {
    Mos_RC rc;        // the write's result
    UINT32 raidState; // state and type to report
    UINT32 protType;
};
RaidWriteErrorResult raidComb_UpdateWriteError(RaidComb *pComb, RaidCombProt *pProt, Mos_RC localRc, Mos_RC remoteRc,
                                               BOOL bSecondaryWriteSent, BOOL bTrim);
Mos_RC raidComb_CheckDegradePermit(RaidComb *pComb, TgtId remoteTgtId, Mos_RC remoteRc);
Mos_RC raidComb_SendOstrelCombState(Cont *pCont, RaidComb *pComb, RaidCombProt *pProt, CombGenNum gen, UINT16 cmdGen,
                                    UINT32 raidState, UINT32 protType);
Mos_RC raidComb_SendOstrelCombStateIfNeeded(Cont *pCont, RaidComb *pComb, RaidCombProt *pProt, CombGenNum gen,
                                            UINT16 cmdGen, UINT32 raidState, UINT32 protType);
Mos_RC raidComb_SendOstrelMigState(Cont *pCont, RaidComb *pComb, RaidCombProt *pMigrate);
// Both slots in turn, with the comb's present generations (the controller's periodic pass).
void raidComb_UpdateOstrel(RaidComb *pComb);

// ---- end of a copy (the resync jobs, under combFastLock) ----

void raidRebuild_UpdateRebuildStatus(Cont *pCont, RaidComb *pComb, BOOL bRebuildDone);
void raidMaintRebuild_UpdateRebuildStatus(Cont *pCont, RaidComb *pComb, BOOL bRebuildDone);
void raidMigrate_UpdateMigrateStatus(Cont *pCont, RaidComb *pComb, BOOL bMigrateDone, UINT32 offsetReached);
// A copy job's end gives back the two units of abortCopySem.
void raidComb_CopyJobEnded(RaidComb *pComb);

// ---- the controller's passes ----

// Clears the active dirty-region log of a quiet comb under all extent locks when allowed.
void raidComb_ResetDrlOnQuiet(RaidComb *pComb);
// Cleans the comb's teeth against the volume-tree map; FALSE when the cleaning did not run.
BOOL raidComb_CleanComb(RaidComb *pComb, VtreeMap *pVtreeMap, BOOL bForceClean);
void raidComb_ResetRemoteDrl(Cont *pCont, RaidComb *pComb);

// ---- queries ----

void raidComb_Query(RaidComb *pComb, RaidQuery *pQuery);
void raidComb_PrintComb(RaidComb *pComb, FILE *pFile);
void raidComb_PrintProt(const RaidCombProt *pProt, FILE *pFile);
