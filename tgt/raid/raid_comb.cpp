// The comb's mirroring object: life cycle, generations, predicates and queries.
#include "tgt/raid/raid_comb.h"

#include <cstdio>
#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"
#include "tgt/phy/phy_devset.h"
#include "tgt/raid/raid_comb_intrn.h"
#include "tgt/tgt_conf.h"

namespace {

constexpr const CHAR_A *kCombStateNames[] = {"FREE", "PRIMARY_PENDING", "PRIMARY", "SECONDARY_PENDING", "SECONDARY"};
constexpr const CHAR_A *kCombStateAbbrevs[] = {"FRE", "PPN", "PRI", "SPN", "SEC"};
constexpr const CHAR_A *kProtTypeNames[] = {"NONE", "SECONDARY", "MIGRATE", "MAINTENANCE"};

BOOL anyBitSet(const UINT8 *p, size_t n)
{
    for (size_t i = 0; i < n; i++)
        if (p[i] != 0)
            return TRUE;
    return FALSE;
}

} // namespace

const CHAR_A *raid_CombStateName(UINT32 state) { return state <= COMB_STATE__SECONDARY ? kCombStateNames[state] : "UNKNOWN"; }
const CHAR_A *raid_CombStateAbbrev(UINT32 state)
{
    return state <= COMB_STATE__SECONDARY ? kCombStateAbbrevs[state] : "UNK";
}
const CHAR_A *raid_ProtTypeName(UINT32 protType)
{
    return protType <= RAID_PROT_TYPE__MAINTENANCE ? kProtTypeNames[protType] : "UNKNOWN";
}
const CHAR_A *raid_RcName(Mos_RC rc) { return mosRc_GetStr(rc); }

// ---- life cycle ----

void raidCombProt_Init(RaidCombProt *pCombProt, RaidComb *pComb, TgtId remoteTgtId, UINT32 raidState, UINT32 protType,
                       UINT32 copyReason, UINT16 copyNum, BOOL bNotificationNeeded)
{
    memset(static_cast<void *>(pCombProt), 0, sizeof(*pCombProt));
    pCombProt->combRaidState = raidState;
    pCombProt->remoteTgtId = remoteTgtId;
    pCombProt->pComb = pComb;
    pCombProt->copyReason = copyReason;
    pCombProt->protType = protType;
    pCombProt->copyNum = copyNum;
    pCombProt->bNotificationNeeded = bNotificationNeeded;
    pCombProt->bMutualOrDrls = protType == RAID_PROT_TYPE__MAINTENANCE;
    pCombProt->bIsProtValid = TRUE;
}

void raidComb_Init(RaidComb *pComb, Cont *pCont, ElockComb *pElock, CombId combId, TgtId raidTgtId, TgtId maintTgtId,
                   UINT16 tgtCombCmdGenNum, BOOL bTPellar)
{
    memset(static_cast<void *>(pComb), 0, sizeof(*pComb));
    phyComb_Init(&pComb->phyComb, FALSE);
    pComb->pCont = pCont;
    pComb->pElock = pElock;
    pComb->combId = combId;
    pComb->combState = COMB_STATE__FREE;
    pComb->raidCombInitState = RAID_COMB_INIT_STATE__PREPARE;
    pComb->tgtCombCmdGenNum = tgtCombCmdGenNum;
    pComb->bTPellar = bTPellar;
    raidCombProt_Init(&pComb->protState[0], pComb, raidTgtId, COMB_RAID_STATE__UNKNOWN_IN_TGT,
                      RAID_PROT_TYPE__SECONDARY, COPY_TYPE__NONE, 0, FALSE);
    pComb->pRebuild = &pComb->protState[0];
    if (maintTgtId != 0) {
        raidCombProt_Init(&pComb->protState[1], pComb, maintTgtId, COMB_RAID_STATE__UNKNOWN_IN_TGT,
                          RAID_PROT_TYPE__MAINTENANCE, COPY_TYPE__NONE, 0, FALSE);
        pComb->pMaintenance = &pComb->protState[1];
    }
    MOS_FASTLOCK_CREATE(&pComb->combFastLock, RAID_COMB__CONTENTION);
    MOS_FASTLOCK_CREATE(&pComb->combGenUpdateFastLock, RAID_COMB__CONTENTION);
    mosUmtRWLock_Init(&pComb->combOstrelNotifyLock);
    mosUmtSem_Init(&pComb->abortCopySem);
    mosUmtSem_IncInter(&pComb->abortCopySem, 2, TRUE);
    MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_MED, "Comb init %lx, Comb gen %u, raidTgtId %lx maintTgtId %lx",
              (unsigned long)combId, (unsigned)tgtCombCmdGenNum, (unsigned long)raidTgtId, (unsigned long)maintTgtId);
}

BOOL raidComb_AllocComb(RaidComb *pComb, CombId combId, TgtDevId devId, Phy *pPhy, PhyDev *pDev, ContDev *pContDev,
                        BOOL bRemoveAllTeeth)
{
    MOS_ASSERT(pComb->raidCombInitState == RAID_COMB_INIT_STATE__PREPARE);
    BOOL bOnDevice = FALSE;
    if (phyComb_AllocComb(&pComb->phyComb, combId, devId, pPhy, pDev, bRemoveAllTeeth, &bOnDevice) !=
        MOS_RC__SUCCESS)
        return FALSE;
    pComb->pContDev = pContDev;
    pComb->pPhy = pPhy;
    pComb->raidCombInitState = bOnDevice ? RAID_COMB_INIT_STATE__FOUND_ON_DEV : RAID_COMB_INIT_STATE__NEW;
    MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_MED, "Alloc comb %lx, bOnDevice %u", (unsigned long)combId,
              (unsigned)bOnDevice);
    return TRUE;
}

void raidComb_FreeComb(RaidComb *pComb, Phy *pPhy) { phyComb_FreeComb(&pComb->phyComb, pPhy); }

void raidComb_PrepareDestroy(RaidComb *pComb)
{
    {
        RaidCombLock lock(pComb);
        raidComb_AbortRebuildIntr(pComb, pComb->pRebuild);
        if (pComb->pMaintenance != nullptr)
            raidComb_AbortRebuildIntr(pComb, pComb->pMaintenance);
    }
    (void)raidComb_AbortMigrate(pComb, nullptr);
    // No copy job may still use the comb once both units are back.
    while (!raidComb_TakeCopyUnits(pComb, RAID_COMB__COPY_WAIT_MILLIS))
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Comb %lx still waits for its copy jobs to end",
                  (unsigned long)pComb->combId);
}

void raidComb_Destroy(RaidComb *pComb)
{
    phyComb_Destroy(&pComb->phyComb);
    mosFastlockBase_Destroy(&pComb->combFastLock);
    mosFastlockBase_Destroy(&pComb->combGenUpdateFastLock);
    mosUmtRWLock_Destroy(&pComb->combOstrelNotifyLock);
    mosUmtSem_Destroy(&pComb->abortCopySem);
}

BOOL raidComb_TakeCopyUnits(RaidComb *pComb, UINT32 waitMillis)
{
    return mosUmtSem_DecTimed(&pComb->abortCopySem, 2, waitMillis) == MOS_RC__SUCCESS;
}

void raidComb_GiveCopyUnits(RaidComb *pComb, UINT32 units) { mosUmtSem_IncInter(&pComb->abortCopySem, units, TRUE); }

void raidComb_CopyJobEnded(RaidComb *pComb) { raidComb_GiveCopyUnits(pComb, 2); }

BOOL raidComb_ValidateTeethInComb(RaidComb *pComb, BOOL bLock)
{
    PhyCombHead headState{};
    if (!raid_Hooks()->getHeadState(pComb->pCont, pComb->combId, &headState))
        return TRUE;
    if (!phyComb_HasCapacityChanged(&pComb->phyComb, &headState))
        return TRUE;
    if (bLock)
        elockComb_LockAll(pComb->pElock, TRUE);
    BOOL bOk = phyComb_FirstAccess(&pComb->phyComb, pComb->pCont, &headState);
    if (bLock)
        elockComb_UnlockAll(pComb->pElock, TRUE);
    return bOk;
}

void raidComb_CheckBitsOnInit(RaidComb *pComb)
{
    if (pComb->raidCombInitState != RAID_COMB_INIT_STATE__FOUND_ON_DEV)
        return;
    BOOL bDirty = !phyComb_IsEntireActiveReset(&pComb->phyComb) || !phyComb_IsEntireRebuildReset(&pComb->phyComb);
    RaidCombLock lock(pComb);
    if (pComb->raidCombInitState != RAID_COMB_INIT_STATE__FOUND_ON_DEV)
        return;
    if (bDirty && pComb->combState == COMB_STATE__PRIMARY &&
        pComb->pRebuild->combRaidState == COMB_RAID_STATE__NORMAL) {
        raidComb_SetCombState(pComb, pComb->pRebuild, COMB_RAID_STATE__NORMAL_NEED_REBUILD, TRUE);
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Override comb state to need rebuild %lx new raid state 0x%x",
                  (unsigned long)pComb->combId, pComb->pRebuild->combRaidState);
    }
    pComb->raidCombInitState = RAID_COMB_INIT_STATE__INIT;
}

BOOL raidComb_FirstAccess(RaidComb *pComb)
{
    UINT32 initState = std::atomic_ref<UINT32>(pComb->raidCombInitState).load();
    switch (initState) {
    case RAID_COMB_INIT_STATE__INIT:
        return raidComb_ValidateTeethInComb(pComb, TRUE);
    case RAID_COMB_INIT_STATE__NEW:
    case RAID_COMB_INIT_STATE__FOUND_ON_DEV:
        break;
    default:
        return FALSE;
    }
    elockComb_LockAll(pComb->pElock, TRUE);
    BOOL bOk = TRUE;
    if (pComb->raidCombInitState == RAID_COMB_INIT_STATE__NEW) {
        bOk = raidComb_ValidateTeethInComb(pComb, FALSE);
        if (bOk) {
            // The device's comb array names the comb from now on; the comb's first tooth I/O makes
            // that durable before it answers. A slot left reserved reads as free at the next
            // start, and the comb's teeth would be freed with everything written to them.
            phyComb_AllocCombDone(&pComb->phyComb, pComb->pPhy);
            RaidCombLock lock(pComb);
            pComb->raidCombInitState = RAID_COMB_INIT_STATE__INIT;
        }
    } else if (pComb->raidCombInitState == RAID_COMB_INIT_STATE__FOUND_ON_DEV) {
        raidComb_CheckBitsOnInit(pComb);
        MOS_ASSERT(pComb->raidCombInitState == RAID_COMB_INIT_STATE__INIT);
    }
    elockComb_UnlockAll(pComb->pElock, TRUE);
    return bOk;
}

// ---- generations ----

Mos_RC raidComb_ValidateCmdGen(RaidComb *pComb, UINT16 tgtCombCmdGenNum, BOOL bForce)
{
    // Serial arithmetic: anything up to half the range ahead is newer, 0x8000 behind is older.
    if (!bForce && (INT16)(UINT16)(tgtCombCmdGenNum - pComb->tgtCombCmdGenNum) < 0) {
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Gen validation failed, Comb %lx, Comb gen %u, new gen %u",
                  (unsigned long)pComb->combId, (unsigned)pComb->tgtCombCmdGenNum, (unsigned)tgtCombCmdGenNum);
        return MOS_RC__WRONG_COMB_CMD_GEN;
    }
    pComb->tgtCombCmdGenNum = tgtCombCmdGenNum;
    return MOS_RC__SUCCESS;
}

Mos_RC raidComb_SetPriTgtGenNum(RaidComb *pComb, CombGenNum primaryTgtGenNum, BOOL bLock)
{
    RaidCombMaybeLock lock(pComb, bLock);
    if ((INT64)(primaryTgtGenNum - pComb->combGenNum) < 0) {
        MOS_ERROR(MOS_COMP_TGT_RAID, "Comb %lx refused an older primary generation %lx (present %lx)",
                  (unsigned long)pComb->combId, (unsigned long)primaryTgtGenNum, (unsigned long)pComb->combGenNum);
        return MOS_RC__WRONG_COMB_CMD_GEN;
    }
    pComb->combGenNum = primaryTgtGenNum;
    return MOS_RC__SUCCESS;
}

BOOL raidComb_ValidateCombGen(RaidComb *pComb, CombGenNum combGen)
{
    mosFastlockBase_Acquire(&pComb->combGenUpdateFastLock);
    BOOL bOk = (INT64)(pComb->combGenNum - combGen) <= 0;
    if (bOk && pComb->bTPellar)
        pComb->combGenNum = combGen;
    mosFastlockBase_Release(&pComb->combGenUpdateFastLock);
    if (!bOk)
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "failed in gen validation - combGen:%lucommand/IO Gen:%lu",
                  (unsigned long)pComb->combGenNum, (unsigned long)combGen);
    return bOk;
}

Mos_RC raidComb_IsIoValid(RaidComb *pComb, BOOL bPrimary, CombGenNum combGenNum)
{
    if (bPrimary && combGenNum != pComb->combGenNum) {
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_MED,
                  "IO to comb %lx - wrong comb generation, ioGen %lx combGenNum %lx combRaidState %x",
                  (unsigned long)pComb->combId, (unsigned long)combGenNum, (unsigned long)pComb->combGenNum,
                  pComb->pRebuild->combRaidState);
        return MOS_RC__IO_FAULT_WRONG_COMB_GEN;
    }
    UINT32 mirror = pComb->pRebuild->combRaidState;
    UINT32 maint = raidProt_State(pComb->pMaintenance);
    if (mirror == COMB_RAID_STATE__UNKNOWN_IN_TGT || mirror == COMB_RAID_STATE__DEGRADED_LOCAL_ERROR ||
        maint == COMB_RAID_STATE__MM_DEGRADED) {
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_MED,
                  "IO to comb %lx - not allowed, ioGen %lx combGenNum %lx combRaidState 0x%x, maintenance T "
                  "combRaidState 0x%x",
                  (unsigned long)pComb->combId, (unsigned long)combGenNum, (unsigned long)pComb->combGenNum, mirror,
                  maint);
        return MOS_RC__IO_HARD_ERROR;
    }
    return MOS_RC__SUCCESS;
}

// ---- accessors ----

CombGenNum raidComb_GetCombGenNum(RaidComb *pComb)
{
    RaidCombLock lock(pComb);
    return pComb->combGenNum;
}
UINT16 raidComb_GetTgtCombCmdGenNum(RaidComb *pComb)
{
    RaidCombLock lock(pComb);
    return pComb->tgtCombCmdGenNum;
}
TgtId raidComb_GetRaidTgtId(RaidComb *pComb)
{
    RaidCombLock lock(pComb);
    return pComb->pRebuild->remoteTgtId;
}
TgtId raidComb_GetMaintTgtId(RaidComb *pComb)
{
    RaidCombLock lock(pComb);
    return pComb->pMaintenance == nullptr ? 0 : pComb->pMaintenance->remoteTgtId;
}
CombId raidComb_GetCombId(RaidComb *pComb) { return pComb->combId; }
TgtDevId raidComb_GetDevId(RaidComb *pComb)
{
    return pComb->pContDev == nullptr ? 0 : raid_Hooks()->getDevId(pComb->pContDev);
}
BOOL raidComb_IsPrimary(RaidComb *pComb)
{
    return std::atomic_ref<UINT32>(pComb->combState).load() == COMB_STATE__PRIMARY;
}
BOOL raidComb_IsSecondary(RaidComb *pComb)
{
    return std::atomic_ref<UINT32>(pComb->combState).load() == COMB_STATE__SECONDARY;
}
BOOL raidComb_IsT(RaidComb *pComb) { return pComb->bTPellar; }
BOOL raidComb_WasCombInit(RaidComb *pComb)
{
    return std::atomic_ref<UINT32>(pComb->raidCombInitState).load() == RAID_COMB_INIT_STATE__INIT;
}
BOOL raidComb_IsDeviceInError(RaidComb *pComb)
{
    return pComb->pContDev != nullptr && raid_Hooks()->isDevInError(pComb->pContDev);
}
void raidComb_LockComb(RaidComb *pComb) { mosFastlockBase_Acquire(&pComb->combFastLock); }
void raidComb_UnlockComb(RaidComb *pComb) { mosFastlockBase_Release(&pComb->combFastLock); }
void raidComb_LockCombUsage(RaidComb *pComb) { phyComb_LockCombUsage(&pComb->phyComb); }
void raidComb_UnlockCombUsage(RaidComb *pComb) { phyComb_UnlockCombUsage(&pComb->phyComb); }
void raidComb_GetCombSizes(RaidComb *pComb, UINT32 *pSizeMb, UINT32 *pBaseSizeMb)
{
    phyComb_LockCombUsage(&pComb->phyComb);
    *pSizeMb = pComb->phyComb.combUsageMB;
    *pBaseSizeMb = pComb->phyComb.combBaseUsageMB;
    phyComb_UnlockCombUsage(&pComb->phyComb);
}
void raidComb_AbortScan(RaidComb *pComb) { std::atomic_ref<BOOL>(pComb->bAbortScan).store(TRUE); }
PhyComb *raidComb_GetPhyComb(RaidComb *pComb) { return &pComb->phyComb; }
void raidComb_CombGenOnTDone(RaidComb *) {}
void raidComb_ComparePriSecData(RaidComb *) {}

// ---- predicates ----

BOOL raidComb_IsRebuildInProgress(RaidComb *pComb, const RaidCombProt *pProt, BOOL bLock)
{
    RaidCombMaybeLock lock(pComb, bLock);
    return pProt != nullptr && raidState_In(pProt->combRaidState, RAID_COPY_STATES) && !pProt->bAbortCopy;
}
BOOL raidComb_IsMigrationInProgress(RaidComb *pComb, BOOL bLock)
{
    RaidCombMaybeLock lock(pComb, bLock);
    return pComb->pMigrate != nullptr;
}
BOOL raidComb_IsRebuildDerivedStates(RaidComb *pComb, BOOL bLock)
{
    RaidCombMaybeLock lock(pComb, bLock);
    return raidState_In(pComb->pRebuild->combRaidState, RAID_REBUILD_DERIVED_STATES);
}
BOOL raidComb_IsReverseRebuild(RaidComb *pComb, BOOL bLock)
{
    RaidCombMaybeLock lock(pComb, bLock);
    const RaidCombProt *p = pComb->pMaintenance;
    if (p == nullptr)
        return FALSE;
    return (raidState_In(p->combRaidState, RAID_COPY_STATES) && p->copyReason == COPY_TYPE__REVERSE_REBUILD) ||
           p->combRaidState == COMB_RAID_STATE__MM_DIFF_SYNC;
}
BOOL raidComb_IsMaintRebuild(RaidComb *pComb, BOOL bLock)
{
    RaidCombMaybeLock lock(pComb, bLock);
    const RaidCombProt *p = pComb->pMaintenance;
    return p != nullptr && raidState_In(p->combRaidState, RAID_COPY_STATES) &&
           p->copyReason == COPY_TYPE__MAINT_REBUILD;
}
BOOL raidComb_IsMaintNormal(RaidComb *pComb, BOOL bLock)
{
    RaidCombMaybeLock lock(pComb, bLock);
    return raidProt_State(pComb->pMaintenance) == COMB_RAID_STATE__MM_NORMAL && pComb->pMaintenance != nullptr;
}
BOOL raidComb_IsMmDegraded(RaidComb *pComb, BOOL bLock)
{
    RaidCombMaybeLock lock(pComb, bLock);
    return pComb->pMaintenance != nullptr && pComb->pMaintenance->combRaidState == COMB_RAID_STATE__MM_DEGRADED;
}
BOOL raidComb_ShouldTranslateZeroBufToWriteZero(RaidComb *pComb, BOOL bLock)
{
    RaidCombMaybeLock lock(pComb, bLock);
    return pComb->pRebuild->combRaidState == COMB_RAID_STATE__DEGRADED_REMOTE_ERROR;
}
BOOL raidComb_ShouldSkipTrim(RaidComb *pComb, BOOL bLock) { return raidComb_ShouldTranslateZeroBufToWriteZero(pComb, bLock); }

BOOL raidComb_IsResetBitsAllowed(RaidComb *pComb, BOOL bIsFromIoPath, BOOL bLock)
{
    RaidCombMaybeLock lock(pComb, bLock);
    if (pComb->combState != COMB_STATE__PRIMARY || std::atomic_ref<UINT32>(pComb->inFlightWrites).load() != 0)
        return FALSE;
    const RaidCombProt *m = pComb->pRebuild;
    BOOL bMirrorOk = m->combRaidState == COMB_RAID_STATE__NORMAL ||
                     (m->combRaidState == COMB_RAID_STATE__NORMAL_NEED_REBUILD && !m->bCopyActiveDrl && bIsFromIoPath);
    if (!bMirrorOk)
        return FALSE;
    // A migration at COPY or beyond still reads the active log.
    return pComb->pMigrate == nullptr || (pComb->pMigrate->combRaidState & (RAID_COPY_STATES)) == 0;
}

BOOL raidComb_IsResetFineBitsAllowed(RaidComb *pComb, BOOL bIsFromIoPath, BOOL bLock)
{
    RaidCombMaybeLock lock(pComb, bLock);
    UINT32 s = pComb->pRebuild->combRaidState;
    return pComb->combState == COMB_STATE__PRIMARY &&
           (s == COMB_RAID_STATE__NORMAL || (s == COMB_RAID_STATE__NORMAL_NEED_REBUILD && bIsFromIoPath));
}

BOOL raidComb_DoesOstrelNeedThisStateNotification(RaidComb *pComb, UINT32 raidState)
{
    return pComb->combState != COMB_STATE__SECONDARY && raidState != COMB_RAID_STATE__NORMAL &&
           raidState != COMB_RAID_STATE__COPY && raidState != COMB_RAID_STATE__COPY_STARTED;
}

BOOL raidComb_IsCombStateNotificationNeeded(RaidComb *pComb, const RaidCombProt *pProt, CombGenNum gen, UINT16 cmdGen)
{
    return pProt->bIsProtValid &&
           (pProt->bNotificationNeeded || gen != pComb->combGenNum || cmdGen != pComb->tgtCombCmdGenNum);
}

// ---- the controller's passes ----

void raidComb_ResetDrlOnQuiet(RaidComb *pComb)
{
    if (!raidComb_IsResetBitsAllowed(pComb, FALSE, TRUE))
        return;
    if (!anyBitSet(pComb->dirtyArray, sizeof(pComb->dirtyArray)) && phyComb_IsEntireActiveReset(&pComb->phyComb))
        return;
    elockComb_LockAll(pComb->pElock, FALSE);
    if (raidComb_IsResetBitsAllowed(pComb, FALSE, TRUE) &&
        phyComb_ResetEntireBits(&pComb->phyComb, PHY_DEV_DRL_TYPE__ACTIVE, TRUE)) {
        RaidCombLock lock(pComb);
        memset(pComb->dirtyArray, 0, sizeof(pComb->dirtyArray));
    }
    elockComb_UnlockAll(pComb->pElock, FALSE);
}

BOOL raidComb_CleanComb(RaidComb *pComb, VtreeMap *pVtreeMap, BOOL bForceClean)
{
    // All extent locks keep every I/O out while versions are dropped; the device's tooth array is
    // hardened after, with no lock of the comb held.
    elockComb_LockAll(pComb->pElock, TRUE);
    BOOL bRan = phyComb_CleanComb(&pComb->phyComb, pVtreeMap, bForceClean);
    elockComb_UnlockAll(pComb->pElock, TRUE);
    if (pComb->phyComb.pDev != nullptr && !phyDev_HardenToothArr(pComb->phyComb.pDev, 0))
        bRan = FALSE;
    return bRan;
}

// ---- queries ----

void raidComb_Query(RaidComb *pComb, RaidQuery *pQuery)
{
    RaidCombLock lock(pComb);
    memset(static_cast<void *>(pQuery), 0, sizeof(*pQuery));
    pQuery->rebuildStat = pComb->rebuildStat;
    pQuery->migrateTgtId = pComb->pMigrate == nullptr ? 0 : pComb->pMigrate->remoteTgtId;
    pQuery->raidTgtId = pComb->pRebuild->remoteTgtId;
    pQuery->genNum = pComb->combGenNum;
    pQuery->combId = pComb->combId;
    pQuery->combState = pComb->combState;
    pQuery->combRaidState = pComb->pRebuild->combRaidState;
    pQuery->migrateState = pComb->pMigrate == nullptr ? 0 : pComb->pMigrate->combRaidState;
}

void raidComb_PrintProt(const RaidCombProt *pProt, FILE *pFile)
{
    if (pFile == nullptr)
        pFile = stdout;
    fprintf(pFile,
            "  prot %s remote %016lx state 0x%x reason %u copyNum %u valid %u notif %u abortCopy %u copyError %u "
            "fetchDrl %u copyActiveDrl %u mutualOr %u stateCounter %lu notifErrors %lu\n",
            raid_ProtTypeName(pProt->protType), (unsigned long)pProt->remoteTgtId, pProt->combRaidState,
            pProt->copyReason, (unsigned)pProt->copyNum, (unsigned)pProt->bIsProtValid,
            (unsigned)pProt->bNotificationNeeded, (unsigned)pProt->bAbortCopy, (unsigned)pProt->bCopyError,
            (unsigned)pProt->bFetchRemoteDrl, (unsigned)pProt->bCopyActiveDrl, (unsigned)pProt->bMutualOrDrls,
            (unsigned long)pProt->ostrelStateCounter, (unsigned long)pProt->ostrelNotifLastError);
}

void raidComb_PrintComb(RaidComb *pComb, FILE *pFile)
{
    if (pFile == nullptr)
        pFile = stdout;
    RaidCombLock lock(pComb);
    fprintf(pFile, "comb %lx %s gen %lu cmdGen %u init %u inFlight %u rebuildRunning %u T %u\n",
            (unsigned long)pComb->combId, raid_CombStateAbbrev(pComb->combState), (unsigned long)pComb->combGenNum,
            (unsigned)pComb->tgtCombCmdGenNum, pComb->raidCombInitState, pComb->inFlightWrites,
            (unsigned)pComb->bRebuildRunning, (unsigned)pComb->bTPellar);
    raidComb_PrintProt(pComb->pRebuild, pFile);
    RaidCombProt *pOther = raidComb_OtherSlot(pComb);
    if (pOther->bIsProtValid)
        raidComb_PrintProt(pOther, pFile);
}
