#include "tgt/cont/cont_comb.h"

#include <algorithm>
#include <bitset>
#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_ticks.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"
#include "mos/umt/mos_umt.h"
#include "tgt/cont/cont.h"
#include "tgt/cont/cont_dev.h"
#include "tgt/phy/phy_dev_io.h"
#include "tgt/raid/raid_resync.h"
#include "tgt/tgt_conf.h"
#include "tgt/tgt_contention.h"
#include "tgt/tgt_sdbg.h"

const ContCombRaidOps contCombMngr_DefaultRaidOps = {
    raidComb_FirstAccess,  raidComb_UpdateOstrel,  raidComb_ResetDrlOnQuiet, raidComb_ValidateTeethInComb,
    raidComb_CleanComb,    raidComb_ResetRemoteDrl, raidComb_GetCombSizes,   raidComb_PrintComb,
};

namespace {
constexpr const CHAR_A *kSdbgName = "Comb";

class ContCombReadLock {
  public:
    explicit ContCombReadLock(MosUmt_RWLock *pLock) : pLock_(pLock) { mosUmtRWLock_AcquireReadLock(pLock_); }
    ~ContCombReadLock() { mosUmtRWLock_ReleaseReadLock(pLock_); }
    ContCombReadLock(const ContCombReadLock &) = delete;
    ContCombReadLock &operator=(const ContCombReadLock &) = delete;

  private:
    MosUmt_RWLock *pLock_;
};

// The yield rule of the passes that call into every comb under the read lock.
class ContCombYield {
  public:
    void afterComb()
    {
        const MosTicks_Cnt now = mosTicks_GetCurrentTick();
        if (mosTicks_TicksToMillis(mosTicks_DiffInTicks(now, last_)) <= CONT_COMB__YIELD_MILLIS)
            return;
        mosUmt_Yield();
        last_ = mosTicks_GetCurrentTick();
    }

  private:
    MosTicks_Cnt last_ = mosTicks_GetCurrentTick();
};

ContComb *contComb_OfListNode(MosDList_Node *pNode)
{
    return pNode == nullptr ? nullptr : MOS_CONTAINER_OF(pNode, ContComb, lists.listNode);
}

ContComb *contComb_First(ContCombMngr *pCombMngr)
{
    return contComb_OfListNode(mosDList_First(&pCombMngr->combAnchor));
}

ContComb *contComb_Next(ContComb *pComb)
{
    return contComb_OfListNode(mosDList_Next(&pComb->lists.listNode));
}

BOOL contCombMngr_IsAborting(ContCombMngr *pCombMngr)
{
    return pCombMngr->abortItr.load() != 0;
}

// The abort rule: announce the writer, so that running passes stop, before waiting.
void contCombMngr_AcquireWriteLockAborting(ContCombMngr *pCombMngr)
{
    pCombMngr->abortItr.fetch_add(1);
    mosUmtRWLock_AcquireWriteLock(&pCombMngr->itrRwLock);
    pCombMngr->abortItr.fetch_sub(1);
}

// The statistics slot of a multi head: its own, or the empty one it takes (*pbNew); -1 when the
// table is full. Keyed by the whole id, probing on from id modulo the table size.
INT32 contCombMngr_StatsSlot(const ContCombMngr *pCombMngr, const std::bitset<CONT_COMB__MH_STATS_ENTRIES> &used,
                             UINT32 mhId, BOOL *pbNew)
{
    for (UINT32 i = 0; i < CONT_COMB__MH_STATS_ENTRIES; i++) {
        const UINT32 slot = (mhId + i) % CONT_COMB__MH_STATS_ENTRIES;
        if (!used[slot]) {
            *pbNew = TRUE;
            return (INT32)slot;
        }
        if (pCombMngr->combSizeStats[slot].multiHeadId == mhId) {
            *pbNew = FALSE;
            return (INT32)slot;
        }
    }
    return -1;
}

void contCombMngr_CountComb(MH_CombSizeStats *pEntry, BOOL bNew, UINT32 mhId, UINT32 sizeMb, UINT32 baseSizeMb)
{
    if (bNew) {
        *pEntry = MH_CombSizeStats{mhId, sizeMb, baseSizeMb, sizeMb, baseSizeMb};
        return;
    }
    if (sizeMb < pEntry->minCombSizeMb) {
        pEntry->minCombSizeMb = sizeMb;
        pEntry->minCombBaseSizeMb = baseSizeMb;
    }
    if (sizeMb > pEntry->maxCombSizeMb) {
        pEntry->maxCombSizeMb = sizeMb;
        pEntry->maxCombBaseSizeMb = baseSizeMb;
    }
}

// Fills the table from every comb; the number of multi heads counted.
UINT32 contCombMngr_FillSizeStats(ContCombMngr *pCombMngr)
{
    std::bitset<CONT_COMB__MH_STATS_ENTRIES> used;
    UINT32 numMultiHeads = 0;
    UINT32 numLeftOut = 0;
    memset(pCombMngr->combSizeStats, 0, sizeof(pCombMngr->combSizeStats));
    ContCombReadLock rl(&pCombMngr->itrRwLock);
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_HIGH, "Start loop");
    for (ContComb *pComb = contComb_First(pCombMngr); pComb != nullptr; pComb = contComb_Next(pComb)) {
        if (contCombMngr_IsAborting(pCombMngr)) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_MED, "Comb stats loop aborted");
            break;
        }
        UINT32 sizeMb = 0;
        UINT32 baseSizeMb = 0;
        pCombMngr->pRaidOps->getCombSizes(&pComb->raidComb, &sizeMb, &baseSizeMb);
        if (baseSizeMb > sizeMb) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Comb 0x%lx base size %u MB above its size %u MB: not counted",
                      (unsigned long)pComb->combId, baseSizeMb, sizeMb);
            numLeftOut++;
            continue;
        }
        const UINT32 mhId = contComb_MultiHeadId(pComb->combId);
        BOOL bNew = FALSE;
        const INT32 slot = contCombMngr_StatsSlot(pCombMngr, used, mhId, &bNew);
        if (tgtInitParam_G.bCombCntTrace)
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Comb 0x%lx size %u MB, baseSize %u MB,  MH ID %d index %d",
                      (unsigned long)pComb->combId, sizeMb, baseSizeMb, (int)mhId, (int)slot);
        if (slot < 0) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Comb 0x%lx of MH ID %u beyond %u multi heads: not counted",
                      (unsigned long)pComb->combId, mhId, CONT_COMB__MH_STATS_ENTRIES);
            numLeftOut++;
            continue;
        }
        if (bNew) {
            used.set((size_t)slot);
            numMultiHeads++;
        }
        contCombMngr_CountComb(&pCombMngr->combSizeStats[slot], bNew, mhId, sizeMb, baseSizeMb);
    }
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_HIGH, "End loop");
    if (numLeftOut != 0)
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "%u combs left out of the multi-head statistics", numLeftOut);
    // Gather the multi heads at the front in ascending id order.
    UINT32 n = 0;
    for (UINT32 slot = 0; slot < CONT_COMB__MH_STATS_ENTRIES; slot++)
        if (used[slot])
            pCombMngr->combSizeStats[n++] = pCombMngr->combSizeStats[slot];
    MOS_ASSERT(n == numMultiHeads);
    std::sort(pCombMngr->combSizeStats, pCombMngr->combSizeStats + n,
              [](const MH_CombSizeStats &a, const MH_CombSizeStats &b) { return a.multiHeadId < b.multiHeadId; });
    return n;
}

Mos_RC contCombMngr_AppendSizeStats(const ContCombMngr *pCombMngr, UINT32 numMultiHeads, NetRpcData *pRes)
{
    const UINT32 size = (UINT32)(sizeof(OstrelTgtRsp_QueryMhCombSizeStats) +
                                 numMultiHeads * sizeof(OstrelTgt_CombSizeStats));
    auto *pRsp = static_cast<OstrelTgtRsp_QueryMhCombSizeStats *>(mos_MemCalloc(size, size, __func__, TRUE));
    if (pRsp == nullptr)
        return MOS_RC__NO_RESOURCES;
    pRsp->numMultiHeads = (UINT16)numMultiHeads;
    for (UINT32 i = 0; i < numMultiHeads; i++) {
        const MH_CombSizeStats &e = pCombMngr->combSizeStats[i];
        OstrelTgt_CombSizeStats rec{};
        rec.multiHeadId = e.multiHeadId;
        rec.maxCombSizeMb = e.maxCombSizeMb;
        rec.maxCombBaseSizeMb = e.maxCombBaseSizeMb;
        rec.minCombSizeMb = e.minCombSizeMb;
        rec.minCombBaseSizeMb = e.minCombBaseSizeMb;
        memcpy(&pRsp->mhCombSizeStats[i], &rec, sizeof(rec));
    }
    netIov_AddBuffer(&pRes->iov, pRsp, size, CONT_NET_BUF_TYPE__NET_ALLOC);
    return MOS_RC__SUCCESS;
}
} // namespace

void contCombMngr_Init(ContCombMngr *pCombMngr, Cont *pCont)
{
    memset(static_cast<void *>(pCombMngr), 0, sizeof(*pCombMngr));
    mosDList_InitAnchor(&pCombMngr->combAnchor);
    mosDList_InitAnchor(&pCombMngr->combFirstAccessAnchor);
    MOS_FASTLOCK_CREATE(&pCombMngr->addRemFastlock, TGT_CONTENTION__CONT_MNGR);
    mosUmtRWLock_Init(&pCombMngr->itrRwLock);
    mosUmtSem_Init(&pCombMngr->addCombData.addCombDoneSem);
    mosUmtSem_Init(&pCombMngr->addCombData.addCombSecondPhaseSem);
    pCombMngr->abortItr.store(0);
    pCombMngr->pCont = pCont;
    MOS_FASTLOCK_CREATE(&pCombMngr->combStatsFastlock, TGT_CONTENTION__CONT_MNGR);
    pCombMngr->pRaidOps = &contCombMngr_DefaultRaidOps;
}

void contCombMngr_Destroy(ContCombMngr *pCombMngr)
{
    MOS_ASSERT(MOS_DLIST__IS_EMPTY(&pCombMngr->combAnchor));
    MOS_ASSERT(MOS_DLIST__IS_EMPTY(&pCombMngr->combFirstAccessAnchor));
    mosFastlockBase_Destroy(&pCombMngr->combStatsFastlock);
    mosUmtSem_Destroy(&pCombMngr->addCombData.addCombSecondPhaseSem);
    mosUmtSem_Destroy(&pCombMngr->addCombData.addCombDoneSem);
    mosUmtRWLock_Destroy(&pCombMngr->itrRwLock);
    mosFastlockBase_Destroy(&pCombMngr->addRemFastlock);
}

void contCombMngr_SetRaidOps(ContCombMngr *pCombMngr, const ContCombRaidOps *pOps)
{
    pCombMngr->pRaidOps = pOps != nullptr ? pOps : &contCombMngr_DefaultRaidOps;
}

void contComb_Init(ContComb *pComb, Cont *pCont, TgtDevId devId, CombId combId, TgtId raidTgtId, TgtId maintTgtId,
                   UINT16 tgtCombCmdGenNum, BOOL bTPellar)
{
    memset(static_cast<void *>(pComb), 0, sizeof(*pComb));
    elockComb_Init(&pComb->elockComb);
    raidComb_Init(&pComb->raidComb, pCont, &pComb->elockComb, combId, raidTgtId, maintTgtId, tgtCombCmdGenNum,
                  bTPellar);
    pComb->iohComb.pElock = &pComb->elockComb;
    pComb->iohComb.pRaid = &pComb->raidComb;
    mosDList_InitNode(&pComb->lists.listNode);
    mosDList_InitNode(&pComb->lists.firstAccesslistNode);
    mosDList_InitNode(&pComb->nodeInDevCombList);
    pComb->devId = devId;
    pComb->combId = combId;
    pComb->doneCleanGen = 0;
    pComb->bMark = FALSE;
    pComb->pCont = pCont;
    MOS_ASSERT(pTgtSdbg_g != nullptr);
    mosObjType_RegObj(&pTgtSdbg_g->combType, &pComb->lists.sdbgObj, kSdbgName);
}

void contCombMngr_CombInit(ContComb *pComb, Cont *pCont, TgtDevId devId, CombId combId, TgtId raidTgtId,
                           TgtId maintTgtId, UINT16 tgtCombCmdGenNum, BOOL bTPellar)
{
    contComb_Init(pComb, pCont, devId, combId, raidTgtId, maintTgtId, tgtCombCmdGenNum, bTPellar);
}

void contCombMngr_CombAdd(ContCombMngr *pCombMngr, ContComb *pComb, BOOL bLock)
{
    if (bLock)
        contCombMngr_AcquireWriteLockAborting(pCombMngr);
    {
        MosFastlockGuard g(&pCombMngr->addRemFastlock);
        mosDList_InsertTail(&pCombMngr->combAnchor, &pComb->lists.listNode);
        mosDList_InsertTail(&pCombMngr->combFirstAccessAnchor, &pComb->lists.firstAccesslistNode);
    }
    if (bLock)
        mosUmtRWLock_ReleaseWriteLock(&pCombMngr->itrRwLock);
}

void contCombMngr_CombRem(ContCombMngr *pCombMngr, ContComb *pComb, BOOL bLock)
{
    if (bLock)
        contCombMngr_AcquireWriteLockAborting(pCombMngr);
    {
        MosFastlockGuard g(&pCombMngr->addRemFastlock);
        mosDList_Remove(&pCombMngr->combAnchor, &pComb->lists.listNode);
        if (mosDList_IsLinked(&pComb->lists.firstAccesslistNode))
            mosDList_Remove(&pCombMngr->combFirstAccessAnchor, &pComb->lists.firstAccesslistNode);
    }
    if (bLock)
        mosUmtRWLock_ReleaseWriteLock(&pCombMngr->itrRwLock);
}

void contComb_PrepareDestroy(ContComb *pComb)
{
    raidComb_PrepareDestroy(&pComb->raidComb);
}

void contCombMngr_CombPrepareDestroy(ContComb *pComb)
{
    contComb_PrepareDestroy(pComb);
}

void contComb_Destroy(ContComb *pComb)
{
    mosObjType_UnregObj(&pTgtSdbg_g->combType, &pComb->lists.sdbgObj);
    pComb->iohComb = IohComb{};
    raidComb_Destroy(&pComb->raidComb);
    elockComb_Destroy(&pComb->elockComb);
    memset(static_cast<void *>(pComb), 0, sizeof(*pComb));
}

void contCombMngr_CombDestroy(ContCombMngr *pCombMngr, ContComb *pComb)
{
    (void)pCombMngr;
    MOS_ASSERT(!mosDList_IsLinked(&pComb->lists.listNode));
    MOS_ASSERT(!mosDList_IsLinked(&pComb->lists.firstAccesslistNode));
    MOS_ASSERT(!mosDList_IsLinked(&pComb->nodeInDevCombList));
    contComb_Destroy(pComb);
}

void contDev_AddCombToList(ContDev *pDev, ContComb *pComb)
{
    MosFastlockGuard g(&pDev->addRemCombFastlock);
    mosDList_InsertTail(&pDev->combAnchor, &pComb->nodeInDevCombList);
}

void contDev_RemCombFromList(ContDev *pDev, ContComb *pComb)
{
    MosFastlockGuard g(&pDev->addRemCombFastlock);
    mosDList_Remove(&pDev->combAnchor, &pComb->nodeInDevCombList);
}

Mos_RC contComb_SetState(ContComb *pComb, const RaidComb_SetStateReq *pCombState,
                         OstrelTgtRsp_SetCombState *pSetCombRsp)
{
    return raidComb_SetState(&pComb->raidComb, pCombState, pSetCombRsp);
}

Mos_RC contComb_SetPriTgtGenNum(ContComb *pComb, CombGenNum primaryTgtGenNum, BOOL bLock)
{
    return raidComb_SetPriTgtGenNum(&pComb->raidComb, primaryTgtGenNum, bLock);
}

Mos_RC contComb_SkipSetState(ContComb *pComb, const RaidComb_SetStateReq *pCombState)
{
    return raidComb_SkipSetState(&pComb->raidComb, pCombState);
}

Mos_RC contComb_StartMigrate(ContComb *pComb, const OstrelTgtReq_StartMigrate *pMigCmd)
{
    return raidComb_StartMigrate(&pComb->raidComb, pMigCmd);
}

Mos_RC contComb_AbortMigrate(ContComb *pComb, const OstrelTgtReq_AbortMigrate *pMigCmd)
{
    return raidComb_AbortMigrate(&pComb->raidComb, pMigCmd);
}

Mos_RC contComb_EndMigrate(ContComb *pComb, const OstrelTgtReq_EndMigrate *pMigCmd)
{
    return raidComb_EndMigrate(&pComb->raidComb, pMigCmd);
}

void contCombMngr_MarkAllCombs(ContCombMngr *pCombMngr)
{
    contCombMngr_AcquireWriteLockAborting(pCombMngr);
    MosFastlockGuard g(&pCombMngr->addRemFastlock);
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_MED, "Number of combs %u", pCombMngr->combAnchor.counter);
    for (ContComb *pComb = contComb_First(pCombMngr); pComb != nullptr; pComb = contComb_Next(pComb))
        pComb->bMark = TRUE;
}

ContComb *contCombMngr_GetNextMarkedNode(ContCombMngr *pCombMngr, ContComb *pComb)
{
    MosFastlockGuard g(&pCombMngr->addRemFastlock);
    ContComb *p = pComb == nullptr ? contComb_First(pCombMngr) : contComb_Next(pComb);
    while (p != nullptr && !p->bMark)
        p = contComb_Next(p);
    return p;
}

void contCombMngr_FinishCombLoop(ContCombMngr *pCombMngr)
{
    mosUmtRWLock_ReleaseWriteLock(&pCombMngr->itrRwLock);
}

void contCombMngr_AbortOldItr(ContCombMngr *pCombMngr)
{
    contCombMngr_AcquireWriteLockAborting(pCombMngr);
    mosUmtRWLock_ReleaseWriteLock(&pCombMngr->itrRwLock);
}

void contCombMngr_UpdateCombs(ContCombMngr *pCombMngr)
{
    ContCombReadLock rl(&pCombMngr->itrRwLock);
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_HIGH, "Start loop");
    ContCombYield yield;
    for (ContComb *pComb = contComb_First(pCombMngr); pComb != nullptr; pComb = contComb_Next(pComb)) {
        if (contCombMngr_IsAborting(pCombMngr)) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_MED, "Abort update combs");
            break;
        }
        pCombMngr->pRaidOps->resetDrlOnQuiet(&pComb->raidComb);
        pCombMngr->pRaidOps->validateTeeth(&pComb->raidComb, TRUE);
        yield.afterComb();
    }
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_HIGH, "End loop");
}

void contCombMngr_UpdateAllCombFirstAccess(ContCombMngr *pCombMngr)
{
    ContCombReadLock rl(&pCombMngr->itrRwLock);
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_HIGH, "Start loop");
    if (!MOS_DLIST__IS_EMPTY(&pCombMngr->combFirstAccessAnchor)) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_MED, "Start update first access");
        ContCombYield yield;
        for (;;) {
            MosDList_Node *pNode;
            {
                // A pass of its own kind may run beside this one under the read lock.
                MosFastlockGuard g(&pCombMngr->addRemFastlock);
                pNode = mosDList_RemoveHead(&pCombMngr->combFirstAccessAnchor);
            }
            if (pNode == nullptr) {
                MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_MED, "End update first access");
                break;
            }
            ContComb *pComb = MOS_CONTAINER_OF(pNode, ContComb, lists.firstAccesslistNode);
            pCombMngr->pRaidOps->firstAccess(&pComb->raidComb);
            if (contCombMngr_IsAborting(pCombMngr)) {
                MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_MED, "Abort first access combs");
                break;
            }
            yield.afterComb();
        }
    }
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_HIGH, "End loop");
}

void contCombMngr_UpdateOstrelOnAllCombs(ContCombMngr *pCombMngr, Cont *pCont)
{
    mosUmtRWLock_AcquireWriteLock(&pCombMngr->itrRwLock);
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_HIGH, "Start loop");
    const UINT32 numOfCombs = pCombMngr->combAnchor.counter;
    for (UINT32 i = 0; i < numOfCombs; i++) {
        if (contCombMngr_IsAborting(pCombMngr)) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_MED, "Abort update combs state");
            break;
        }
        CombId combId;
        {
            MosFastlockGuard g(&pCombMngr->addRemFastlock);
            // Combs may have gone while the lock was dropped.
            MosDList_Node *pNode = mosDList_RemoveHead(&pCombMngr->combAnchor);
            if (pNode == nullptr)
                break;
            mosDList_InsertTail(&pCombMngr->combAnchor, pNode);
            combId = contComb_OfListNode(pNode)->combId;
        }
        mosUmtRWLock_ReleaseWriteLock(&pCombMngr->itrRwLock);
        mosUmt_YieldIfShould();
        auto *pComb = static_cast<ContComb *>(contObj_AcquireReadLock(&pCont->objs, combId, CONT_OBJ_TYPE__COMB));
        if (pComb != nullptr) {
            pCombMngr->pRaidOps->updateOstrel(&pComb->raidComb);
            contObj_ReleaseReadLock(&pCont->objs, combId, CONT_OBJ_TYPE__COMB);
        }
        mosUmtRWLock_AcquireWriteLock(&pCombMngr->itrRwLock);
    }
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_HIGH, "End loop");
    mosUmtRWLock_ReleaseWriteLock(&pCombMngr->itrRwLock);
}

Mos_RC contCombMngr_CleanCombs(ContCombMngr *pCombMngr, Cont *pCont, UINT64 maxPendDelGen, BOOL bFullCleanComb)
{
    BOOL bComplete = TRUE;
    ContCombReadLock rl(&pCombMngr->itrRwLock);
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_HIGH, "Start loop");
    ContCombYield yield;
    for (ContComb *pComb = contComb_First(pCombMngr); pComb != nullptr; pComb = contComb_Next(pComb)) {
        if (contCombMngr_IsAborting(pCombMngr)) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_MED, "Abort clean teeth");
            bComplete = FALSE;
            break;
        }
        if (pComb->doneCleanGen < maxPendDelGen || bFullCleanComb) {
            if (!pCombMngr->pRaidOps->cleanComb(&pComb->raidComb, &pCont->vtreeMngr.vtreeMap, bFullCleanComb)) {
                MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_MED, "Comb clean skipped %lx", (unsigned long)pComb->combId);
                bComplete = FALSE;
            } else if (pComb->doneCleanGen < maxPendDelGen) {
                pComb->doneCleanGen = maxPendDelGen;
            }
        } else {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW,
                      "Comb's %lx clean generation (%lu) is higher than the max Pending from Vtrees (%lu)",
                      (unsigned long)pComb->combId, (unsigned long)pComb->doneCleanGen, (unsigned long)maxPendDelGen);
        }
        yield.afterComb();
    }
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_HIGH, "End loop");
    return bComplete ? MOS_RC__SUCCESS : MOS_RC__ABORTED;
}

void contCombMngr_ResetRemoteDrls(ContCombMngr *pCombMngr, Cont *pCont)
{
    ContCombReadLock rl(&pCombMngr->itrRwLock);
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_HIGH, "Start loop");
    for (ContComb *pComb = contComb_First(pCombMngr); pComb != nullptr; pComb = contComb_Next(pComb)) {
        if (contCombMngr_IsAborting(pCombMngr)) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_MED, "Abort reset remote DRL");
            break;
        }
        pCombMngr->pRaidOps->resetRemoteDrl(pCont, &pComb->raidComb);
    }
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_HIGH, "End loop");
}

void contCombMngr_PrintAllCombs(ContCombMngr *pCombMngr, FILE *pFile)
{
    FILE *pOut = pFile != nullptr ? pFile : stdout;
    ContCombReadLock rl(&pCombMngr->itrRwLock);
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_HIGH, "Start loop");
    fprintf(pOut, "Total # of combs: %u\n\n", pCombMngr->combAnchor.counter);
    for (ContComb *pComb = contComb_First(pCombMngr); pComb != nullptr; pComb = contComb_Next(pComb))
        pCombMngr->pRaidOps->printComb(&pComb->raidComb, pOut);
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_HIGH, "End loop");
}

Mos_RC contCombMngr_GetCombStats(ContCombMngr *pCombMngr, NetRpcData *pRes)
{
    {
        MosFastlockGuard g(&pCombMngr->combStatsFastlock);
        if (pCombMngr->bCombStatsIsItering) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Older request in progress. Aborting");
            return MOS_RC__ABORTED;
        }
        pCombMngr->bCombStatsIsItering = TRUE;
    }
    const UINT32 numMultiHeads = contCombMngr_FillSizeStats(pCombMngr);
    if (tgtInitParam_G.bCombCntTrace)
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Identified %d MHs", (int)numMultiHeads);
    const Mos_RC rc = contCombMngr_AppendSizeStats(pCombMngr, numMultiHeads, pRes);
    MosFastlockGuard g(&pCombMngr->combStatsFastlock);
    pCombMngr->bCombStatsIsItering = FALSE;
    return rc;
}

void contComb_Query(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    (void)pName;
    ContComb *pComb = MOS_CONTAINER_OF(pObj, ContComb, lists.sdbgObj);
    auto *pQuery = static_cast<ContCombQuery *>(pData);
    *pQuery = ContCombQuery{};
    pQuery->combId = pComb->combId;
    elockComb_Query(&pComb->elockComb, &pQuery->elockQuery);
    raidComb_Query(&pComb->raidComb, &pQuery->raidQuery);
}

namespace {
void contComb_TraceDone(CombId combId, Mos_RC rc)
{
    MOS_TRACE(MOS_COMP_TGT_CONT, rc == MOS_RC__SUCCESS ? MOS_FREQ_HIGH : MOS_FREQ_MED, "%s %lx - %s rc = %s", "CombId",
              (unsigned long)combId, "Done", mosRc_GetStr(rc));
}

// An existing comb (found with its registry lock held) is checked against the command.
Mos_RC contComb_ValidateExisting(ContComb *pComb, const ContCombAddArgs *pArgs, BOOL bReadOnly)
{
    MOS_ASSERT(pComb->combId == pArgs->combId);
    return raidComb_ValidateRaidId(&pComb->raidComb, pArgs->raidTgtId, pArgs->tgtCombCmdGenNum, pArgs->bHasMig,
                                   bReadOnly, pArgs->bForceCombCmdGen, pArgs->bTPellar);
}
} // namespace

Mos_RC contComb_AddOne(Cont *pCont, const ContCombAddArgs *pArgs)
{
    const CombId combId = pArgs->combId;
    ContObj *pObjs = &pCont->objs;
    auto *pComb = static_cast<ContComb *>(contObj_AcquireReadLock(pObjs, combId, CONT_OBJ_TYPE__COMB));
    if (pComb != nullptr) {
        const Mos_RC rc = contComb_ValidateExisting(pComb, pArgs, pArgs->bReadOnly);
        contObj_ReleaseReadLock(pObjs, combId, CONT_OBJ_TYPE__COMB);
        return rc == MOS_RC__SUCCESS ? MOS_RC__ALREADY_EXISTS : rc;
    }
    auto *pDev = static_cast<ContDev *>(contObj_AcquireReadLock(pObjs, pArgs->devId, CONT_OBJ_TYPE__DEV));
    if (pDev == nullptr) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_MED, "%s %lx - %s rc = %s", "Comb Id", (unsigned long)combId, "Done",
                  mosRc_GetStr(MOS_RC__INVALID_DEV_ID));
        return MOS_RC__INVALID_DEV_ID;
    }
    Mos_RC rc = MOS_RC__SUCCESS;
    pComb = static_cast<ContComb *>(contObj_AddStart(pObjs, combId, CONT_OBJ_TYPE__COMB, &rc));
    if (pComb != nullptr) {
        // Added by another command since the first look; the write lock is held.
        pComb->bMark = FALSE;
        rc = contComb_ValidateExisting(pComb, pArgs, FALSE);
        contObj_ReleaseWriteLock(pObjs, combId, CONT_OBJ_TYPE__COMB);
        contObj_ReleaseReadLock(pObjs, pArgs->devId, CONT_OBJ_TYPE__DEV);
        if (rc != MOS_RC__SUCCESS) {
            contComb_TraceDone(combId, rc);
            return rc;
        }
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_MED, "%s %lx - %s rc = %s", "Add Comb - Comb Id", (unsigned long)combId,
                  "Done", mosRc_GetStr(MOS_RC__ALREADY_EXISTS));
        return MOS_RC__ALREADY_EXISTS;
    }
    if (rc != MOS_RC__SUCCESS) {
        contObj_ReleaseReadLock(pObjs, pArgs->devId, CONT_OBJ_TYPE__DEV);
        contComb_TraceDone(combId, rc);
        return rc;
    }
    // The id's registry stripe is held until the sync-done: memory only here.
    pComb = static_cast<ContComb *>(calloc(1, sizeof(ContComb)));
    MOS_ASSERT(pComb != nullptr);
    contCombMngr_CombInit(pComb, pCont, pArgs->devId, combId, pArgs->raidTgtId, pArgs->maintTgtId,
                          pArgs->tgtCombCmdGenNum, pArgs->bTPellar);
    contObj_AddSyncDone(pObjs, &pComb->lists.accessLock, combId, CONT_OBJ_TYPE__COMB, pComb, &pComb->lists.hashRecord);
    const BOOL bPlaced = raidComb_AllocComb(&pComb->raidComb, combId, pArgs->devId, &pCont->phy, pDev->pPhyDev, pDev,
                                            pArgs->bTPellar && pArgs->bNew);
    if (bPlaced)
        contCombMngr_CombAdd(&pCont->combMngr, pComb, pArgs->bLock);
    contDev_AddCombToList(pDev, pComb);
    contObj_ReleaseReadLock(pObjs, pArgs->devId, CONT_OBJ_TYPE__DEV);
    contObj_AddDone(pObjs, &pComb->lists.accessLock, combId, CONT_OBJ_TYPE__COMB);
    if (bPlaced)
        return MOS_RC__SUCCESS;
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Comb %lx could not be placed on device %lx", (unsigned long)combId,
              (unsigned long)pArgs->devId);
    rc = contComb_RemById(pCont, combId, TRUE, pArgs->bLock);
    MOS_ASSERT(rc == MOS_RC__SUCCESS);
    contComb_TraceDone(combId, MOS_RC__ERROR);
    return MOS_RC__ERROR;
}

Mos_RC contComb_RemById(Cont *pCont, CombId combId, BOOL bRollback, BOOL bLock)
{
    ContObj *pObjs = &pCont->objs;
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_MED, "%s %lx - %s rc = %s", "CombId", (unsigned long)combId, "Start",
              "MOS_RC__SUCCESS");
    ContDev *pDev = nullptr;
    auto *pComb = static_cast<ContComb *>(contObj_Acquire(pObjs, combId, CONT_OBJ_TYPE__COMB));
    if (pComb != nullptr) {
        raidComb_AbortScan(&pComb->raidComb);
        pDev = cont_AcquireContDev(pCont, pComb->devId);
        MOS_ASSERT(pDev != nullptr);
        if (pDev->combIdInScan == combId && pDev->pPhyDev != nullptr)
            phyDev_PopFromScanLimiter(pDev->pPhyDev);
        contObj_Release(pObjs, combId, CONT_OBJ_TYPE__COMB);
    }
    pComb = static_cast<ContComb *>(contObj_Rem(pObjs, combId, CONT_OBJ_TYPE__COMB));
    if (pComb == nullptr) {
        MOS_ASSERT(!bRollback);
        if (pDev != nullptr)
            cont_ReleaseContDev(pCont, pDev->devId);
        contComb_TraceDone(combId, MOS_RC__NOT_FOUND);
        return MOS_RC__NOT_FOUND;
    }
    contCombMngr_CombPrepareDestroy(pComb);
    if (pDev == nullptr) {
        pDev = cont_AcquireContDev(pCont, pComb->devId);
        MOS_ASSERT(pDev != nullptr);
    }
    contDev_RemCombFromList(pDev, pComb);
    cont_ReleaseContDev(pCont, pDev->devId);
    if (!bRollback) {
        contCombMngr_CombRem(&pCont->combMngr, pComb, bLock);
        raidComb_FreeComb(&pComb->raidComb, &pCont->phy);
    }
    contCombMngr_CombDestroy(&pCont->combMngr, pComb);
    free(pComb);
    contComb_TraceDone(combId, MOS_RC__SUCCESS);
    return MOS_RC__SUCCESS;
}

namespace {
ContComb *contComb_OfDevNode(MosDList_Node *pNode)
{
    return MOS_CONTAINER_OF(pNode, ContComb, nodeInDevCombList);
}

// The background scan checks only the copies this server holds as primary.
void contComb_ScanFromDev(Cont *pCont, MosDList_Node *pNode, BOOL bCompare)
{
    ContComb *pComb = contComb_OfDevNode(pNode);
    if (raidComb_IsPrimary(&pComb->raidComb))
        raidScan_Start(pCont, pComb->raidComb.pContDev, &pComb->raidComb, bCompare);
}
} // namespace

void contComb_SetDevHooks(void)
{
    static const ContDevCombHooks kHooks = {
        [](MosDList_Node *pNode) -> UINT64 { return contComb_OfDevNode(pNode)->combId; },
        [](Cont *pCont, UINT64 combId) -> MosDList_Node * {
            auto *pComb = static_cast<ContComb *>(contObj_Acquire(&pCont->objs, combId, CONT_OBJ_TYPE__COMB));
            return pComb == nullptr ? nullptr : &pComb->nodeInDevCombList;
        },
        [](Cont *pCont, UINT64 combId) { contObj_Release(&pCont->objs, combId, CONT_OBJ_TYPE__COMB); },
        contComb_ScanFromDev,
    };
    contDev_SetCombHooks(&kHooks);
}

IohComb *cont_AcquireIohComb(Cont *pCont, CombId combId)
{
    auto *pComb = static_cast<ContComb *>(contObj_Acquire(&pCont->objs, combId, CONT_OBJ_TYPE__COMB));
    return pComb == nullptr ? nullptr : &pComb->iohComb;
}

void cont_ReleaseIohComb(Cont *pCont, CombId combId)
{
    contObj_Release(&pCont->objs, combId, CONT_OBJ_TYPE__COMB);
}
