// The Ostrel's comb role and migration commands: SET_COMB_STATE, START_MIGRATE, ABORT_MIGRATE,
// END_MIGRATE and GET_DIRTY_INFO. Each finds the comb in the registry, locks it and hands the
// record to the comb's mirroring part, which decides; this file only shapes what goes in and what
// is answered.
//
// The set-state step asks for the skip (a command that only repeats the comb's role and states)
// under a counted reference, and changes the comb under its object write lock; between the two
// another command may change the comb, which the mirroring part's own validation then sees.
//
// Ostrel input that the mirroring part would meet with a stop of the process is refused here
// first with MOS_RC__INVALID, a trace line and no change: a role other than PRIMARY or SECONDARY,
// a partnership type other than NONE, SECONDARY or MAINTENANCE, a primary generation older than
// the comb's (64-bit serial order), and a refusal while the comb's role is still FREE (its answer
// record would name no role). A GET_DIRTY_INFO whose count runs past its payload is answered
// MOS_RC__INTERFACE_ERROR without reading past it.
#include <algorithm>
#include <cstring>

#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"
#include "mos/umt/mos_umt.h"
#include "tgt/cont/cont.h"
#include "tgt/cont/cont_cmd_comb_state_rec.h"
#include "tgt/cont/cont_cmd_intrn.h"
#include "tgt/cont/cont_comb.h"
#include "tgt/raid/raid_resync.h"

namespace {

void contCmd_TraceCombStep(CombId combId, const CHAR_A *pStep, Mos_RC rc, MosTraceFrequency freq)
{
    MOS_TRACE(MOS_COMP_TGT_CONT, freq, "%s %lx - %s rc = %s", "CombId", (unsigned long)combId, pStep,
              mosRc_GetStr(rc));
}

void contCmd_TraceCombStart(CombId combId)
{
    contCmd_TraceCombStep(combId, "Start", MOS_RC__SUCCESS, MOS_FREQ_MED);
}

// A success is routine; anything else is worth the medium level.
void contCmd_TraceCombDone(CombId combId, Mos_RC rc)
{
    contCmd_TraceCombStep(combId, "Done", rc, rc == MOS_RC__SUCCESS ? MOS_FREQ_HIGH : MOS_FREQ_MED);
}

// Newer or equal in 64-bit serial order.
BOOL contCmd_IsGenNotOlder(CombGenNum gen, CombGenNum present)
{
    return (INT64)(gen - present) >= 0;
}

BOOL contCmd_IsSetStateRole(UINT32 state)
{
    return state == COMB_STATE__PRIMARY || state == COMB_STATE__SECONDARY;
}

BOOL contCmd_IsSetStateProtType(UINT32 type)
{
    return type == RAID_PROT_TYPE__NONE || type == RAID_PROT_TYPE__SECONDARY || type == RAID_PROT_TYPE__MAINTENANCE;
}

// The record's values the mirroring part would stop on: 65 to go on.
Mos_RC contCmd_CheckSetStateRecord(const OstrelTgtReq_SetCombState &r)
{
    if (!contCmd_IsSetStateRole(r.newState) || !contCmd_IsSetStateProtType(r.raidType)) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Set comb state %lx refused: new state %u, raid type %u",
                  (unsigned long)r.combId, r.newState, r.raidType);
        return MOS_RC__INVALID;
    }
    return MOS_RC__SUCCESS;
}

// Hands the record of a migration command to the comb's mirroring part under the comb's object
// write lock.
template <class Rec>
Mos_RC contCmd_Migration(Cont *pCont, const Rec *pMigCmd, Mos_RC (*pApply)(ContComb *, const Rec *))
{
    const CombId combId = pMigCmd->combId;
    contCmd_TraceCombStart(combId);
    auto *pComb = static_cast<ContComb *>(contObj_AcquireWriteLock(&pCont->objs, combId, CONT_OBJ_TYPE__COMB));
    if (pComb == nullptr) {
        contCmd_TraceCombDone(combId, MOS_RC__NOT_FOUND);
        return MOS_RC__NOT_FOUND;
    }
    const Mos_RC rc = pApply(pComb, pMigCmd);
    contObj_ReleaseWriteLock(&pCont->objs, combId, CONT_OBJ_TYPE__COMB);
    contCmd_TraceCombDone(combId, rc);
    return rc;
}

template <class Rec> Mos_RC contCmd_MigrationCmd(ContCmdCtx *pCtx, Mos_RC (*pRun)(Cont *, const Rec *))
{
    const Rec rec = contCmd_RecAt<Rec>(pCtx, 0);
    return pRun(pCtx->pCont, &rec);
}

} // namespace

Mos_RC contCmd_SetCombStateIntern(Cont *pCont, const RaidComb_SetStateReq *pCombState, NetRpcData *pRes)
{
    const CombId combId = pCombState->combId;
    ContObj *pObjs = &pCont->objs;
    auto *pComb = static_cast<ContComb *>(contObj_Acquire(pObjs, combId, CONT_OBJ_TYPE__COMB));
    if (pComb == nullptr)
        return MOS_RC__NOT_FOUND;
    const CombGenNum present = raidComb_GetCombGenNum(&pComb->raidComb);
    if (!contCmd_IsGenNotOlder(pCombState->primaryTgtGenNum, present)) {
        contObj_Release(pObjs, combId, CONT_OBJ_TYPE__COMB);
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Set comb state %lx refused: generation %lx older than %lx",
                  (unsigned long)combId, (unsigned long)pCombState->primaryTgtGenNum, (unsigned long)present);
        return MOS_RC__INVALID;
    }
    const Mos_RC skip = contComb_SkipSetState(pComb, pCombState);
    contObj_Release(pObjs, combId, CONT_OBJ_TYPE__COMB);
    if (skip == MOS_RC__SUCCESS)
        return MOS_RC__SUCCESS;
    if (pCombState->bReadOnly)
        return MOS_RC__NEED_WRITE_ACCESS;
    pComb = static_cast<ContComb *>(contObj_AcquireWriteLock(pObjs, combId, CONT_OBJ_TYPE__COMB));
    if (pComb == nullptr)
        return MOS_RC__NOT_FOUND;
    OstrelTgtRsp_SetCombState answer{};
    Mos_RC rc = contComb_SetState(pComb, pCombState, &answer);
    // Only an applied command moves the I/O generation (not a partly applied one, 7).
    if (rc == MOS_RC__SUCCESS)
        (void)contComb_SetPriTgtGenNum(pComb, pCombState->primaryTgtGenNum, TRUE);
    contObj_ReleaseWriteLock(pObjs, combId, CONT_OBJ_TYPE__COMB);
    if (rc == MOS_RC__SUCCESS)
        return rc;
    // 7 was applied but for a copy that already runs: not a refusal.
    if (answer.curState == COMB_STATE__FREE && rc != MOS_RC__ALREADY_EXISTS) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Set comb state %lx refused (%s) while the comb has no role",
                  (unsigned long)combId, mosRc_GetStr(rc));
        return MOS_RC__INVALID;
    }
    if (pRes != nullptr)
        contCmd_AppendAnswer(pRes, &answer, sizeof(answer));
    return rc;
}

Mos_RC contCmd_SetCombState(Cont *pCont, const OstrelTgtReq_SetCombState *pCombState, NetRpcData *pRes, BOOL bForce,
                            BOOL bPrintTrace)
{
    if (bPrintTrace)
        contCmd_TraceCombStart(pCombState->combId);
    Mos_RC rc = contCmd_CheckSetStateRecord(*pCombState);
    if (rc == MOS_RC__SUCCESS) {
        RaidComb_SetStateReq req{};
        req.combId = pCombState->combId;
        req.newState = pCombState->newState;
        req.curState = pCombState->curState;
        req.primaryTgtGenNum = pCombState->primaryTgtGenNum;
        req.tgtCombCmdGenNum = pCombState->tgtCombCmdGenNum;
        req.bSetStateOnly = TRUE;
        req.bForceReconfig = bForce;
        req.protState[0] = {0, pCombState->newRaidState, pCombState->curRaidState, pCombState->raidType};
        rc = contCmd_SetCombStateIntern(pCont, &req, pRes);
        MOS_ASSERT(!(rc == MOS_RC__NEED_WRITE_ACCESS));
    }
    if (bPrintTrace)
        contCmd_TraceCombDone(pCombState->combId, rc);
    return rc;
}

Mos_RC contCmd_StartMigration(Cont *pCont, const OstrelTgtReq_StartMigrate *pMigCmd)
{
    return contCmd_Migration(pCont, pMigCmd, contComb_StartMigrate);
}

Mos_RC contCmd_AbortMigration(Cont *pCont, const OstrelTgtReq_AbortMigrate *pMigCmd)
{
    return contCmd_Migration(pCont, pMigCmd, contComb_AbortMigrate);
}

Mos_RC contCmd_EndMigration(Cont *pCont, const OstrelTgtReq_EndMigrate *pMigCmd)
{
    return contCmd_Migration(pCont, pMigCmd, contComb_EndMigrate);
}

Mos_RC contCmd_GetDirtyInfo(Cont *pCont, CombId combId, OstrelTgtRsp_CombDirtyInfo *pDirtyInfo)
{
    auto *pComb = static_cast<ContComb *>(contObj_AcquireReadLock(&pCont->objs, combId, CONT_OBJ_TYPE__COMB));
    if (pComb == nullptr) {
        contCmd_TraceCombDone(combId, MOS_RC__NOT_FOUND);
        return MOS_RC__NOT_FOUND;
    }
    UINT32 dirtyIOs = 0;
    UINT64 dirtyLbs = 0;
    raidComb_GetDirtyCapacity(&pComb->raidComb, &dirtyIOs, &dirtyLbs);
    contObj_ReleaseReadLock(&pCont->objs, combId, CONT_OBJ_TYPE__COMB);
    pDirtyInfo->combId = combId;
    // A comb holds 16M LBs at most; the clamp only keeps a wider count from wrapping.
    pDirtyInfo->dirtyCapacityLBs = (UINT32)std::min<UINT64>(dirtyLbs, UINT32_MAX);
    pDirtyInfo->dirtyIOs = dirtyIOs;
    return MOS_RC__SUCCESS;
}

Mos_RC contCmd_GetDirtyCapacityGroup(Cont *pCont, const OstrelTgtReq_GetDirtyInfo *pGetDirtyInfoCmdArr,
                                     const UINT8 *pCombIds, NetRpcData *pRes)
{
    const UINT64 n = pGetDirtyInfoCmdArr->numCombs;
    const UINT64 len = sizeof(OstrelTgtRsp_GetDirtyInfo) + n * sizeof(OstrelTgtRsp_CombDirtyInfo);
    auto *pAnswer = static_cast<UINT8 *>(mos_MemCalloc(len, len, __func__, FALSE));
    OstrelTgtRsp_GetDirtyInfo head{};
    head.destTgtID = pGetDirtyInfoCmdArr->destTgtID;
    head.destOstrelTgtConnectionGenNum = pGetDirtyInfoCmdArr->destOstrelTgtConnectionGenNum;
    head.combInfoStructSize = sizeof(OstrelTgtRsp_CombDirtyInfo);
    for (UINT64 i = 0; i < n; i++) {
        CombId combId;
        memcpy(&combId, pCombIds + i * sizeof(combId), sizeof(combId));
        OstrelTgtRsp_CombDirtyInfo entry{};
        if (contCmd_GetDirtyInfo(pCont, combId, &entry) == MOS_RC__SUCCESS)
            memcpy(pAnswer + sizeof(head) + head.numCombs++ * sizeof(entry), &entry, sizeof(entry));
        mosUmt_YieldIfShould();
    }
    memcpy(pAnswer, &head, sizeof(head));
    netIov_AddBuffer(&pRes->iov, pAnswer,
                     (UINT32)(sizeof(head) + head.numCombs * sizeof(OstrelTgtRsp_CombDirtyInfo)),
                     CONT_NET_BUF_TYPE__NET_ALLOC);
    return MOS_RC__SUCCESS;
}

Mos_RC contCmd_SetCombStateCmd(ContCmdCtx *pCtx)
{
    const auto rec = contCmd_RecAt<OstrelTgtReq_SetCombState>(pCtx, 0);
    return contCmd_SetCombState(pCtx->pCont, &rec, pCtx->pRes, FALSE, TRUE);
}

Mos_RC contCmd_StartMigrateCmd(ContCmdCtx *pCtx)
{
    return contCmd_MigrationCmd(pCtx, contCmd_StartMigration);
}

Mos_RC contCmd_AbortMigrateCmd(ContCmdCtx *pCtx)
{
    return contCmd_MigrationCmd(pCtx, contCmd_AbortMigration);
}

Mos_RC contCmd_EndMigrateCmd(ContCmdCtx *pCtx)
{
    return contCmd_MigrationCmd(pCtx, contCmd_EndMigration);
}

Mos_RC contCmd_GetDirtyInfoCmd(ContCmdCtx *pCtx)
{
    const auto head = contCmd_RecAt<OstrelTgtReq_GetDirtyInfo>(pCtx, 0);
    // Whatever the length rule allowed, never read an id the payload does not hold.
    if (head.numCombs == 0 ||
        (UINT64)head.numCombs * sizeof(CombId) > pCtx->recLen - sizeof(OstrelTgtReq_GetDirtyInfo)) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Get dirty info refused: %u combs in %u bytes", head.numCombs,
                  pCtx->recLen);
        return MOS_RC__INTERFACE_ERROR;
    }
    return contCmd_GetDirtyCapacityGroup(pCtx->pCont, &head, pCtx->pRec + sizeof(head), pCtx->pRes);
}
