// What the mirroring layer's own files share: the fast-lock guard, slot helpers and state sets.
#pragma once

#include "mos/mos_fastlock.h"
#include "mos/mos_trace.h"
#include "tgt/raid/raid_comb.h"

// combFastLock for one scope (released early with unlock()).
class RaidCombLock {
  public:
    explicit RaidCombLock(RaidComb *pComb) : pLock_(&pComb->combFastLock) { mosFastlockBase_Acquire(pLock_); }
    ~RaidCombLock()
    {
        if (bHeld_)
            mosFastlockBase_Release(pLock_);
    }
    void unlock()
    {
        mosFastlockBase_Release(pLock_);
        bHeld_ = FALSE;
    }
    void lock()
    {
        mosFastlockBase_Acquire(pLock_);
        bHeld_ = TRUE;
    }
    RaidCombLock(const RaidCombLock &) = delete;
    RaidCombLock &operator=(const RaidCombLock &) = delete;

  private:
    MosFastlock_Base *pLock_;
    BOOL bHeld_ = TRUE;
};

// combFastLock only when asked (the predicates' bLock).
class RaidCombMaybeLock {
  public:
    RaidCombMaybeLock(RaidComb *pComb, BOOL bLock) : pLock_(bLock ? &pComb->combFastLock : nullptr)
    {
        if (pLock_ != nullptr)
            mosFastlockBase_Acquire(pLock_);
    }
    ~RaidCombMaybeLock()
    {
        if (pLock_ != nullptr)
            mosFastlockBase_Release(pLock_);
    }
    RaidCombMaybeLock(const RaidCombMaybeLock &) = delete;
    RaidCombMaybeLock &operator=(const RaidCombMaybeLock &) = delete;

  private:
    MosFastlock_Base *pLock_;
};

constexpr UINT32 RAID_COPY_STATES = COMB_RAID_STATE__COPY | COMB_RAID_STATE__COPY_STARTED |
                                    COMB_RAID_STATE__COPY_DONE | COMB_RAID_STATE__COPY_ERROR;
constexpr UINT32 RAID_REBUILD_DERIVED_STATES = COMB_RAID_STATE__COPY | COMB_RAID_STATE__COPY_STARTED |
                                               COMB_RAID_STATE__NORMAL_NEED_REBUILD | COMB_RAID_STATE__COPY_ERROR;

inline BOOL raidState_In(UINT32 state, UINT32 mask) { return (state & mask) != 0 && (state & ~mask) == 0; }
inline UINT32 raidProt_State(const RaidCombProt *pProt)
{
    return pProt == nullptr ? (UINT32)COMB_RAID_STATE__UNKNOWN_IN_TGT : pProt->combRaidState;
}
// The slot that pRebuild does not name.
inline RaidCombProt *raidComb_OtherSlot(RaidComb *pComb)
{
    return pComb->pRebuild == &pComb->protState[0] ? &pComb->protState[1] : &pComb->protState[0];
}
// Marks a running copy of the slot aborted and hurries its job (caller holds combFastLock).
void raidComb_AbortRebuildIntr(RaidComb *pComb, RaidCombProt *pProt);
// Waits for both units of abortCopySem, bounded: FALSE when they did not come in time.
BOOL raidComb_TakeCopyUnits(RaidComb *pComb, UINT32 waitMillis);
void raidComb_GiveCopyUnits(RaidComb *pComb, UINT32 units);
const CHAR_A *raid_RcName(Mos_RC rc);
// The (vtoId, time) label of a version of a position ({0, 0} when the position has no such tooth:
// freed, or never there).
VtoOnDev raidComb_ToothLabel(PhyComb *pPhy, UINT32 offsetInComb, PhyToothIndex toothIndex);
// A tooth of this copy was rewritten from another copy: the device counts it on disk.
void raidComb_IncLocalDiskFixesCounter(RaidComb *pComb);
