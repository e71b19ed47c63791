// Migration: every allocated tooth version of the comb is copied to the new server while client
// writes already reach it as a further leg; END_MIGRATE then makes it the mirror partner.
#include "mos/mos_assert.h"
#include "tgt/raid/raid_resync_intrn.h"
#include "tgt/tgt_conf.h"

namespace {

BOOL migrationGoesOn(RaidComb *pComb, RaidCombProt *pMigrate)
{
    {
        RaidCombLock lock(pComb);
        if (pComb->pMigrate != pMigrate || pMigrate->combRaidState != COMB_RAID_STATE__COPY_STARTED ||
            pMigrate->bAbortCopy)
            return FALSE;
    }
    return !raidSync_JobAborted(pMigrate);
}

// COPY -> COPY_STARTED, set directly (the Ostrel learns only the end of a migration).
BOOL startMigration(RaidComb *pComb, RaidCombProt *pMigrate)
{
    RaidCombLock lock(pComb);
    if (pComb->pMigrate != pMigrate || pMigrate->combRaidState != COMB_RAID_STATE__COPY || pMigrate->bAbortCopy ||
        raidSync_JobAborted(pMigrate))
        return FALSE;
    pMigrate->combRaidState = COMB_RAID_STATE__COPY_STARTED;
    return TRUE;
}

// Copies every version; TRUE when the iterator ran out of teeth. *pOffset: the offset reached.
BOOL copyAllTeeth(RaidCopyJob *pJob, UINT32 reason, UINT32 *pOffset)
{
    RaidComb *pComb = pJob->pComb;
    PhyComb *pPhy = &pComb->phyComb;
    UINT32 ioSize = tgtInitParam_G.raidMigrationIoSize == 0 ? TOOTH_SIZE_LB : tgtInitParam_G.raidMigrationIoSize;
    PhyCombItr itr{PHY_TOOTH_INDEX__INVALID, 0, 0};
    {
        RaidCombLock lock(pComb);
        phyComb_StartIter(pPhy, &itr);
    }
    BOOL bDone = FALSE;
    for (;;) {
        BOOL bHave;
        {
            RaidCombLock lock(pComb);
            bHave = phyComb_FindNextLb(pPhy, &itr);
        }
        if (!bHave) {
            bDone = TRUE;
            break;
        }
        UINT32 size = MOS_MIN(ioSize, TOOTH_SIZE_LB - itr.offsetInTooth);
        *pOffset = itr.toothInComb * TOOTH_SIZE_LB + itr.offsetInTooth;
        RaidCopyRc crc = raidCopyJob_CopyRange(pJob, itr.toothIndex, *pOffset, size, reason, reason, reason,
                                               reason == COPY_TYPE__MIGRATION, "Migrate");
        if (crc != RAID_COPY_RC__OK && crc != RAID_COPY_RC__SKIPPED) {
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Migrate comb %lx error send %s %s (dit)",
                      (unsigned long)pComb->combId, raidCopy_RcName(crc), raid_RcName(MOS_RC__ERROR));
            break;
        }
        if (!migrationGoesOn(pComb, pJob->pProt))
            break;
        {
            RaidCombLock lock(pComb);
            phyComb_SkipNextLb(pPhy, &itr, size);
        }
    }
    RaidCombLock lock(pComb);
    phyComb_EndItr(pPhy, &itr);
    return bDone;
}

} // namespace

void raidMigrate_Start(Cont *pCont, RaidCombProt *pMigrate)
{
    RaidComb *pComb = pMigrate->pComb;
    MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Migrate comb %lx to tgt %lx started (dit)",
              (unsigned long)pComb->combId, (unsigned long)pMigrate->remoteTgtId);
    RaidCopyJob job;
    BOOL bInit = raidCopyJob_Init(&job, pCont, pComb, pMigrate);
    BOOL bDone = FALSE;
    UINT32 offset = 0;
    UINT32 reason = pMigrate->copyReason;
    if (bInit && startMigration(pComb, pMigrate)) {
        // Every write that began before COPY_STARTED has ended once all locks were had; later
        // writes see the state and include the new server.
        elockComb_LockAll(pComb->pElock, TRUE);
        elockComb_UnlockAll(pComb->pElock, TRUE);
        if (reason == COPY_TYPE__SCAN || reason == COPY_TYPE__NONE || reason >= COPY_TYPE__COUNT) {
            MOS_ERROR(MOS_COMP_TGT_RAID, "Migrate comb %lx with copy reason %u", (unsigned long)pComb->combId, reason);
        } else if (!raidCopyJob_Connect(&job)) {
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Migrate comb %lx: no connection to tgt %lx",
                      (unsigned long)pComb->combId, (unsigned long)job.remoteTgtId);
        } else if (raidComb_ValidateTeethInComb(pComb, TRUE)) {
            bDone = copyAllTeeth(&job, reason, &offset);
        }
    }
    BOOL bReadError = job.bReadError;
    raidCopyJob_Destroy(&job);
    raidMigrate_UpdateMigrateStatus(pCont, pComb, bDone, offset);
    if (bReadError && pComb->pContDev != nullptr)
        raid_Hooks()->devReadError(pComb->pContDev);
    // The other unit comes back when the migration is ended or aborted.
    raidComb_GiveCopyUnits(pComb, 1);
}
