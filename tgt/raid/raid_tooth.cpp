// Tooth lists exchanged with partners: which versions of a position each copy holds, the partner's
// list taken over, and the partner told to drop the versions this copy no longer has.
#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"
#include "tgt/head/head.h"
#include "tgt/ioh/ioh_msg.h"
#include "tgt/raid/raid_comb_intrn.h"
#include "tgt/raid/raid_io.h"

namespace {

constexpr UINT32 kToothLbs = TOOTH_SIZE_LB;

// One RPC to a partner by id, the connection taken and given back here.
Mos_RC callPartner(RaidComb *pComb, TgtId remote, RaidRpc *pRpc, UINT32 msgType, UINT32 grpId, const void *pRec,
                   UINT32 recLen, void *pRsp, UINT32 rspCap, BOOL *pbNoCon)
{
    const RaidHooks *h = raid_Hooks();
    RaidCon con{};
    *pbNoCon = FALSE;
    if (h->acquireTgtCon(pComb->pCont, remote, &con) != MOS_RC__SUCCESS || con.hCon == NET_CON__INVALID_HCON) {
        if (con.hCon != NET_CON__INVALID_HCON)
            h->releaseTgtCon(pComb->pCont, &con);
        *pbNoCon = TRUE;
        return MOS_RC__NOT_CONN;
    }
    Mos_RC rc = raidRpc_Call(pComb->pCont, &con, pRpc, msgType, grpId, pRec, recLen, pRsp, rspCap);
    h->releaseTgtCon(pComb->pCont, &con);
    return rc;
}

} // namespace

Mos_RC raidComb_CheckExistingToothFromRemote(const TgtRsp_GetToothList *pList, VtoId vtoId, VtoTime time)
{
    for (UINT32 i = 0; i < pList->numOfTeeth && i < TGT_MSG__MAX_TEETH_IN_LIST; i++) {
        const VtoOnDev &v = pList->vtoBuf[i];
        if (v.time == time && (v.vtoId == vtoId || v.vtoId == 1 || vtoId == 1))
            return MOS_RC__SUCCESS;
    }
    return MOS_RC__NOT_FOUND;
}

Mos_RC raidComb_AddTeethRecievedFromRemote(RaidComb *pComb, Vtree *pVtree, UINT32 offsetInComb,
                                           const TgtRsp_GetToothList *pList)
{
    for (UINT32 i = 0; i < pList->numOfTeeth; i++) {
        const VtoOnDev &v = pList->vtoBuf[i];
        PhyToothIndex t = phyComb_GetToothIndex(&pComb->phyComb, v.vtoId, v.time, offsetInComb);
        if (t == PHY_TOOTH_INDEX__INVALID) {
            t = phyComb_AllocToothWithTime(&pComb->phyComb, pVtree, offsetInComb, v.vtoId, v.time);
            if (t == PHY_TOOTH_INDEX__INVALID) {
                MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Comb %lx, Failed to allocate tooth for offset %u",
                          (unsigned long)pComb->combId, offsetInComb);
                return MOS_RC__NO_RESOURCES;
            }
        }
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_MED, "Comb %lx - Got tooth vtoId %u, time %u, toothIndex %u",
                  (unsigned long)pComb->combId, v.vtoId, v.time, t);
    }
    return MOS_RC__SUCCESS;
}

Mos_RC raidComb_ReadRemoteToothList(Cont *pCont, RaidComb *pComb, Vtree *pVtree, UINT32 offsetInComb,
                                    BOOL bOnlyCheckExisting, VtoId vtoId, VtoTime time)
{
    (void)pCont;
    TgtId remote = raidComb_GetMaintTgtId(pComb);
    TgtReq_GetToothList req{};
    req.combId = pComb->combId;
    req.combGenNum = raidComb_GetCombGenNum(pComb);
    req.offsetInComb = offsetInComb;
    TgtRsp_GetToothList rsp{};
    RaidRpc rpc{};
    BOOL bNoCon;
    Mos_RC rc = callPartner(pComb, remote, &rpc, TGT_MSG_TYPE__READ_TOOTH_LIST, RAID__RECV_GROUP__TGT_IO_COPY, &req,
                            sizeof(req), &rsp, sizeof(rsp), &bNoCon);
    if (bNoCon) {
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Comb %lx, Failed to read tooth list from %016lx - Invalid hCon",
                  (unsigned long)pComb->combId, (unsigned long)remote);
        return rc;
    }
    if (rc != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW,
                  "Comb %lx, Failed to read tooth list from %016lx - Failed to send request. RC: %s",
                  (unsigned long)pComb->combId, (unsigned long)remote, raid_RcName(rc));
        return rc;
    }
    if (rpc.rspRc != MOS_RC__SUCCESS)
        return rpc.rspRc;
    // The partner's count is checked against what arrived and the list's room before any use.
    if (rpc.rspLen < sizeof(UINT32) || rsp.numOfTeeth > TGT_MSG__MAX_TEETH_IN_LIST ||
        rpc.rspLen < sizeof(UINT32) + rsp.numOfTeeth * sizeof(VtoOnDev)) {
        MOS_ERROR(MOS_COMP_TGT_RAID, "Comb %lx, tooth list from %016lx refused: %u versions in %u bytes",
                  (unsigned long)pComb->combId, (unsigned long)remote, rsp.numOfTeeth, rpc.rspLen);
        return MOS_RC__INVALID;
    }
    if (bOnlyCheckExisting)
        return raidComb_CheckExistingToothFromRemote(&rsp, vtoId, time);
    return raidComb_AddTeethRecievedFromRemote(pComb, pVtree, offsetInComb, &rsp);
}

Mos_RC raidComb_DoesTHaveTooth(Cont *pCont, RaidComb *pComb, UINT32 offsetInComb, VtoId vtoId, VtoTime time)
{
    return raidComb_ReadRemoteToothList(pCont, pComb, nullptr, offsetInComb, TRUE, vtoId, time);
}

Mos_RC raidComb_CleanToothList(RaidComb *pComb, UINT32 offsetInComb, UINT32 numOfTeeth, const VtoOnDev *vtoBuf)
{
    BOOL bHarden = FALSE;
    Mos_RC rc;
    {
        RaidCombLock lock(pComb);
        rc = phyComb_CleanToothList(&pComb->phyComb, offsetInComb, numOfTeeth, vtoBuf, &bHarden);
    }
    // The tooth array is hardened after the comb's lock is given back: device I/O never runs under it.
    if (bHarden && !phyDev_HardenToothArr(pComb->phyComb.pDev, 0)) {
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW,
                  "Clean tooth list failed to harden tooth array. comb %lx toothInComb %u",
                  (unsigned long)pComb->combId, offsetInComb / kToothLbs);
        return MOS_RC__IO_HARD_ERROR;
    }
    return rc;
}

BOOL raidComb_ToothNeedRebuild(RaidComb *pComb, PhyToothIndex toothIndex)
{
    RaidCombLock lock(pComb);
    if (!raidComb_IsRebuildDerivedStates(pComb, FALSE))
        return FALSE;
    return !phyComb_IsRangeClean(&pComb->phyComb, toothIndex, PHY_DEV_DRL_TYPE__ACTIVE, 0, kToothLbs) ||
           !phyComb_IsRangeClean(&pComb->phyComb, toothIndex, PHY_DEV_DRL_TYPE__REBUILD, 0, kToothLbs);
}

BOOL raidComb_PositionNeedsRebuild(RaidComb *pComb, UINT32 offsetInComb)
{
    VtoOnDev labels[PHY_COMB__MAX_VERSIONS];
    UINT32 n = phyComb_ReadToothList(&pComb->phyComb, offsetInComb, labels, PHY_COMB__MAX_VERSIONS);
    for (UINT32 i = 0; i < n && i < PHY_COMB__MAX_VERSIONS; i++) {
        PhyToothIndex t = phyComb_GetToothIndex(&pComb->phyComb, labels[i].vtoId, labels[i].time, offsetInComb);
        if (t != PHY_TOOTH_INDEX__INVALID && raidComb_ToothNeedRebuild(pComb, t))
            return TRUE;
    }
    return FALSE;
}

Mos_RC raidComb_ReadRemoteToothListOfHead(RaidComb *pComb, UINT32 offsetInComb)
{
    Head *pHead = head_ContAcquireHead(pComb->pCont, combId_GetHeadId(pComb->combId));
    if (pHead == nullptr)
        return MOS_RC__NOT_FOUND;
    Vtree *pVtree = head_ContAcquireVtree(pComb->pCont, head_GetVtreeId(pHead, offsetInComb / kToothLbs));
    Mos_RC rc = pVtree == nullptr ? MOS_RC__NOT_FOUND
                                  : raidComb_ReadRemoteToothList(pComb->pCont, pComb, pVtree, offsetInComb, FALSE, 0, 0);
    if (pVtree != nullptr)
        head_ContReleaseVtree(pComb->pCont, pVtree);
    head_ContReleaseHead(pComb->pCont, pHead);
    return rc;
}
