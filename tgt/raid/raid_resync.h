// The resync pool: every copy job of the server (rebuild of a mirror copy, maintenance rebuild and
// reverse rebuild of a maintenance copy, migration of a comb to a new server) runs on one pool of
// user-mode threads, and four rate limiters cap their bandwidth: rebuilds, rebalances
// (migrations), both together, and client I/O while copies run.
//
// A job is a partnership slot (RaidCombProt); the pool queues the slot's copyNode and runs the
// job that its protection type names. One pool per process: raidSyncPool_Init registers it, and
// raidSyncPool_QueueCopyJob / raidSyncPool_RaiseCopyPriority are what the controller plugs into
// the mirroring layer's hooks.
//
// Total limit. The total copy limiter is the larger of the rebuild and rebalance limits when both
// are set, and unlimited (0) when either is 0: one kind without a cap must not be capped through
// the total by the other kind's figure.
//
// Aborts. Abort-all of one kind sets its flag and waits until the last job of that kind has ended
// (at once when none runs); the jobs watch the flag between ranges. A job waiting in a limiter is
// not held there by an abort: its wait gives up as soon as its slot or the pool asks it to stop,
// so abort-all and SET_COMB_STATE return promptly whatever the limits.
//
// Locks: `lock` (a fast lock) guards the counters and the abort flags and is never held across a
// wait; the two serialisers make abort-all calls of one kind run one at a time. Queueing and the
// priority bump take only the pool's fast locks, so the mirroring layer may call them under
// combFastLock.
#pragma once

#include "mos/mos_fastlock.h"
#include "mos/mos_limiter.h"
#include "mos/mos_obj.h"
#include "mos/umt/mos_umt_cond.h"
#include "mos/umt/mos_umt_rwlock.h"
#include "mos/umt/mos_umt_uthread_pool.h"
#include "tgt/ioh/ioh_msg.h"
#include "tgt/raid/raid_comb.h"

struct IohHooks;

#define RAID_SYNC_POOL__CONTENTION 99u
#define RAID_SYNC_POOL__SLOT_MUL 3u
#define RAID_SYNC_POOL__IO_SIZES 9u
// A job's limiter wait looks at its abort flags this often.
#define RAID_SYNC_POOL__ABORT_POLL_MILLIS 100u

// What the copy jobs need of the controller beyond the mirroring layer's hooks; every member may
// be null. The Ostrel's link is blocked (no keep-alive echo): copies stop. A peer's software
// version (TGT_PEER_VER__UNKNOWN when not known). The extent-lock tables of the combs (null: a
// copy locks the whole comb). The device's counters of the background scan.
struct RaidResyncHooks {
    BOOL (*isOstrelBlocked)(Cont *pCont);
    UINT32 (*getPeerVersion)(Cont *pCont, TgtId peerTgtId);
    Elock *(*getElock)(Cont *pCont);
};
void raidResync_SetHooks(const RaidResyncHooks *pHooks);
const RaidResyncHooks *raidResync_Hooks(void);

struct RaidSyncPoolQuery {
    UINT32 numOfMigrations; // jobs queued or running
    UINT32 numOfRebuilds;
    UINT32 numOfRebuildIOs;
    UINT64 sizeOfRebuildIOs;
    UINT32 rebuildsPerIOsSize[RAID_SYNC_POOL__IO_SIZES]; // copied ranges by LBs / 256
};

struct RaidSyncPool {
    MosUMT_UThreadPool rebuildThreadPool;
    MosUmt_Cond migrationCond;
    MosUmt_Cond rebuildCond;
    MosFastlock_Base lock;
    MosLimiter copyLimiterSrc;
    MosLimiter copyLimiterRebuildSrc;
    MosLimiter copyLimiterRebalanceSrc;
    MosLimiter ioLimiter;
    RaidSyncPoolQuery raidSyncPoolQuery;
    MosUmt_RWLock abortRebuildSerializer;
    MosUmt_RWLock abortMigrationSerializer;
    MosObj sdbgObj;
    BOOL bAbortAllMigrations;
    BOOL bAbortAllRebuilds;
    UINT32 numOfRebuildsInProg;
    UINT32 numOfMigrationsInProg;
};

// A running copy, registered for the debug queries while its job runs.
struct RaidSyncThread {
    RaidComb *pComb;
    MosObj sdbgObj;
};

// numThreads 0: the performance parameter threadCopyIo.
void raidSyncPool_Init(RaidSyncPool *pRaidSync, UINT32 numThreads);
// From a running uthread: aborts every job, waits for them and stops the workers.
void raidSyncPool_Destroy(RaidSyncPool *pRaidSync);
RaidSyncPool *raidSyncPool_Get(void);

void raidSyncPool_UpdateLimits(RaidSyncPool *pRaidSync, UINT32 rebuildLimitMaxInSec, UINT32 rebalanceLimitMaxInSec,
                               UINT32 ioLimitMaxInSec, UINT32 slotMulMax);

// FALSE when the pool does not take the job (an abort-all of its kind runs, or the pool stopped):
// the job will not run and the caller keeps the slot's copy units.
BOOL raidSyncPool_AddRebuildJob(RaidSyncPool *pRaidSync, RaidCombProt *pProt);
BOOL raidSyncPool_AddMigrateJob(RaidSyncPool *pRaidSync, RaidCombProt *pProt);
void raidSyncPool_HigherJobPriority(RaidSyncPool *pRaidSync, RaidCombProt *pProt);
void raidSyncPool_AbortAllRebuilds(RaidSyncPool *pRaidSync);
void raidSyncPool_AbortAllMigrations(RaidSyncPool *pRaidSync);
BOOL raidSyncPool_IsAbortAllRebuilds(RaidSyncPool *pRaidSync);
BOOL raidSyncPool_IsAbortAllMigrations(RaidSyncPool *pRaidSync);

// The mirroring layer's hooks (RaidHooks::queueCopyJob, raiseCopyPriority) on the registered pool.
BOOL raidSyncPool_QueueCopyJob(Cont *pCont, RaidComb *pComb, RaidCombProt *pProt);
void raidSyncPool_RaiseCopyPriority(Cont *pCont, RaidComb *pComb, RaidCombProt *pProt);

// Limiters. With pProt, the wait gives up (FALSE) once the slot's copy is aborted or the pool
// aborts every job of the slot's kind; without, it waits until admitted (TRUE).
BOOL raidSyncPool_AddToCopyLimiter(RaidSyncPool *pRaidSync, UINT32 lbsReq, UINT32 copyReason,
                                   const RaidCombProt *pProt);
BOOL raidSyncPool_AddToIoLimiter(RaidSyncPool *pRaidSync, UINT32 lbsReq, const RaidCombProt *pProt);
void raidComb_AddToIoLimiter(RaidComb *pComb, UINT32 lbsReq);
// One abortable wait in any limiter (a job's own limiter too).
BOOL raidSync_LimiterWait(MosLimiter *pLimiter, UINT32 lbsReq, const RaidCombProt *pProt);
// Whether the job of the slot is to stop: its copy is aborted or the pool aborts its kind.
BOOL raidSync_JobAborted(const RaidCombProt *pProt);

// The device's copy throttling around a copy write that a secondary received.
void raidComb_StartThrottlingSecondary(RaidComb *pComb, UINT32 sizeInLbs, UINT32 copyReason);
void raidComb_EndThrottling(RaidComb *pComb, UINT32 sizeInLbs, UINT32 copyReason);

// Counts one copied range in the pool's query.
void raidSyncPool_CountCopy(RaidSyncPool *pRaidSync, UINT32 sizeInLbs);
void raidSyncPool_Query(MosObj *pObj, const CHAR_A *pName, void *pData);

// ---- rebuild ranges and the partner's tooth lists ----

// Moves the iterator to the next dirty LB of the rebuild log (and of the active log with
// bCheckBothDrls) and sizes the range to copy there: never past the tooth nor maxReadSizeLbs; the
// rest of the tooth for coarse marks, else by tgt_fine_drl_type. FALSE when nothing is dirty.
// Caller holds combFastLock.
BOOL raidComb_FindNextRange(RaidComb *pComb, UINT32 maxReadSizeLbs, UINT32 grnSizeLbs, UINT32 *pReadSizeLbs,
                            PhyCombItr *pCombItr, BOOL bCheckBothDrls, BOOL bAllDirtyIfTooDirty);
// The dirty ranges and LBs of a comb that is not a primary in NORMAL (zeros otherwise).
void raidComb_GetDirtyCapacity(RaidComb *pComb, UINT32 *pDirtyIOs, UINT64 *pDirtyCapacityLBs);
BOOL raidRebuild_IsResetActiveAllowed(RaidComb *pComb);
// Sends this copy's versions of the position so that the mirror partner drops the others: the
// transport's code (the partner's in *pRemoteRc).
Mos_RC raidComb_CleanRemoteToothList(Cont *pCont, RaidComb *pComb, UINT32 offsetInComb, Mos_RC *pRemoteRc);

// ---- the jobs (each returns with the slot's copy ended and its copy units given back) ----

void raidRebuild_Start(Cont *pCont, RaidComb *pComb);
void raidMaintRebuild_Start(Cont *pCont, RaidComb *pComb);
void raidReverseRebuild_Start(Cont *pCont, RaidComb *pComb);
void raidMigrate_Start(Cont *pCont, RaidCombProt *pMigrate);

// Reverse rebuild. The source's service of GET_NEXT_TOOTH: the version after (toothInComb,
// toothIndex) is written to the destination, then named in *pRsp; MOS_RC__NOT_FOUND past the last.
Mos_RC raidReverseRebuild_GetNextTooth(Cont *pCont, RaidComb *pComb, UINT32 toothInComb, PhyToothIndex toothIndex,
                                       TgtRsp_GetNextTooth *pRsp);
// Settles the maintenance state at the end of a reverse rebuild and reports it; the report's code.
Mos_RC raidReverseRebuild_UpdateRebuildStatus(Cont *pCont, RaidComb *pComb, BOOL bRebuildDone);
// The resync side of the I/O handler's hooks (the next tooth of a reverse rebuild).
void raidResync_FillIohHooks(IohHooks *pHooks);

// ---- the background scan ----

#define OSTREL_MSG_TYPE__UPDATE_COMPARE_ERROR 1005u

#pragma pack(push, 1)
struct OstrelTgtReq_UpdateCompareError {
    UINT64 combId;
    UINT32 offsetInComb;
    UINT64 devId; // the primary's device
};
#pragma pack(pop)
static_assert(sizeof(OstrelTgtReq_UpdateCompareError) == 20);
static_assert(offsetof(OstrelTgtReq_UpdateCompareError, offsetInComb) == 8);
static_assert(offsetof(OstrelTgtReq_UpdateCompareError, devId) == 12);

// Scans one primary comb, tooth version by tooth version (bCompareChecksums: CRC-32C of both
// copies compared); stops at the comb's end, on a condition that makes scanning pointless, or
// when the comb's scan is aborted. Runs on the device's scan thread.
void raidScan_Start(Cont *pCont, ContDev *pContDev, RaidComb *pComb, BOOL bCompareChecksums);
// Sends 2112 and reads this copy meanwhile: this copy's read result (both in *pRcPri, *pRcSec).
Mos_RC raidScan_CheckSecondaryAndPrimary(Cont *pCont, RaidComb *pComb, const RaidCon *pCon, UINT32 offsetInComb,
                                         UINT32 sizeInLbs, PhyToothIndex toothIndex, VtoOnDev devVto,
                                         BOOL bCompareChecksums, void *pData, T10Dif *pDif, UINT32 *pSecChecksum,
                                         RdIoFlags rdIoFlags, Mos_RC *pRcPri, Mos_RC *pRcSec);
// The code of a 2105 that writes the whole tooth (and its guards with bT10Dif) to the partner.
Mos_RC raidScan_FixSecondaryByPrimary(Cont *pCont, RaidComb *pComb, const RaidCon *pCon, UINT32 offsetInComb,
                                      VtoOnDev devVto, const void *pBuffer, BOOL bIncLocalFixesCounter, BOOL bT10Dif);
// The 1005 report; 1, 32 and 68 come back as 68 (to be retried).
Mos_RC raidScan_UpdateOstrelOnCompareError(Cont *pCont, RaidComb *pComb, UINT32 offsetInComb);
