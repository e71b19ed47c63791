// The partner's dirty-region list: fetched into the rebuild log (the fine form, or the old form
// from a partner that does not know it), and reset once both copies agree.
#include <cstring>
#include <memory>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"
#include "tgt/ioh/ioh_msg.h"
#include "tgt/raid/raid_comb.h"
#include "tgt/raid/raid_comb_intrn.h"
#include "tgt/raid/raid_io.h"

Mos_RC raidComb_CreateAndSendGetRemoteDrl(RaidComb *pComb, Cont *pCont, const RaidCon *pCon, RaidRpc *pRpc,
                                          BOOL bAllTeeth, UINT32 msgType, void *pRsp, UINT32 rspCap)
{
    TgtReq_ReadCombDrl req{};
    req.combId = pComb->combId;
    req.combGenNum = raidComb_GetCombGenNum(pComb);
    req.bAllTeeth = bAllTeeth ? 1 : 0;
    return raidRpc_Call(pCont, pCon, pRpc, msgType, RAID__RECV_GROUP__TGT_IO_COPY, &req, sizeof(req), pRsp, rspCap);
}

void raidComb_ConvertOldDrlRspToNew(const TgtRsp_ReadCombDrl *pOldRsp, UINT32 oldSizeInBytes,
                                    TgtRsp_ReadCombFineDrl *pNewRsp)
{
    MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_MED, "Converting old DRL message to new. Number of bits: %d",
              (int)pOldRsp->numOfBits);
    if (ioh_ConvertOldDrlToFine(pOldRsp, oldSizeInBytes, pNewRsp) != MOS_RC__SUCCESS)
        pNewRsp->numOfBits = TGT_MSG__READ_COMB_DRL__OVERFLOW; // a list we cannot read: all dirty
}

UINT32 raidComb_ConvertNewDrlRspToOld(const TgtRsp_ReadCombFineDrl *pNewRsp, TgtRsp_ReadCombDrl *pOldRsp)
{
    return ioh_ConvertFineDrlToOld(pNewRsp, pOldRsp);
}

BOOL raidComb_GetRemoteDrl(Cont *pCont, RaidComb *pComb, TgtId remoteTgtId, BOOL bAllTeeth, BOOL *pBIsAllZero,
                           BOOL *pbBitSetNoTooth, BOOL *pbSecFineDrlSupported)
{
    const RaidHooks *h = raid_Hooks();
    *pBIsAllZero = FALSE;
    *pbBitSetNoTooth = FALSE;
    *pbSecFineDrlSupported = TRUE;
    RaidCon con{};
    if (h->acquireTgtCon(pCont, remoteTgtId, &con) != MOS_RC__SUCCESS || con.hCon == NET_CON__INVALID_HCON) {
        if (con.hCon != NET_CON__INVALID_HCON)
            h->releaseTgtCon(pCont, &con);
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Comb %lx, Failed to fetch remote DRL from %016lx - Invalid hCon",
                  (unsigned long)pComb->combId, (unsigned long)remoteTgtId);
        return FALSE;
    }
    auto pFine = std::make_unique<TgtRsp_ReadCombFineDrl>();
    RaidRpc rpc{};
    Mos_RC rc = raidComb_CreateAndSendGetRemoteDrl(pComb, pCont, &con, &rpc, bAllTeeth,
                                                   TGT_MSG_TYPE__READ_COMB_FINE_DRL, pFine.get(), sizeof(*pFine));
    UINT32 rspLen = rpc.rspLen;
    if (rc == MOS_RC__SUCCESS && rpc.rspRc == MOS_RC__UNKNOWN_MSG) {
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW,
                  "Fine DRL request unsupported in remote TGT %016lx. Assuming older version.",
                  (unsigned long)remoteTgtId);
        *pbSecFineDrlSupported = FALSE;
        auto pOld = std::make_unique<TgtRsp_ReadCombDrl>();
        rpc = RaidRpc{};
        rc = raidComb_CreateAndSendGetRemoteDrl(pComb, pCont, &con, &rpc, bAllTeeth, TGT_MSG_TYPE__READ_COMB_BM,
                                                pOld.get(), sizeof(*pOld));
        if (rc == MOS_RC__SUCCESS && rpc.rspRc == MOS_RC__SUCCESS) {
            raidComb_ConvertOldDrlRspToNew(pOld.get(), rpc.rspLen, pFine.get());
            rspLen = ioh_DrlRspSize(pFine->numOfBits, TRUE);
        }
    }
    h->releaseTgtCon(pCont, &con);
    if (rc != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW,
                  "Comb %lx, Failed to fetch remote DRL from %016lx - Failed to send request. RC: %s",
                  (unsigned long)pComb->combId, (unsigned long)remoteTgtId, raid_RcName(rc));
        return FALSE;
    }
    if (rpc.rspRc != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW,
                  "Comb %lx, Failed to fetch remote DRL from %016lx - Failed to get response. RC: %s",
                  (unsigned long)pComb->combId, (unsigned long)remoteTgtId, raid_RcName(rpc.rspRc));
        return FALSE;
    }
    if (rspLen < TGT_MSG__DRL_RSP_HEAD_SIZE) {
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW,
                  "Comb %lx, Failed to fetch remote DRL from %016lx - Failed to get response. RC: %s",
                  (unsigned long)pComb->combId, (unsigned long)remoteTgtId, raid_RcName(MOS_RC__INVALID));
        return FALSE;
    }
    if (pFine->numOfBits == 0) {
        *pBIsAllZero = TRUE;
    } else if (!phyComb_SetBits(&pComb->phyComb, PHY_DEV_DRL_TYPE__REBUILD, pFine.get(), rspLen, pbBitSetNoTooth,
                                TRUE)) {
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Comb %lx, Failed to fetch remote DRL from %016lx - Failed to set bits",
                  (unsigned long)pComb->combId, (unsigned long)remoteTgtId);
        return FALSE;
    }
    MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_MED, "Got %d dirty bits from remote comb %lx", (int)pFine->numOfBits,
              (unsigned long)pComb->combId);
    return TRUE;
}

BOOL raidRebuild_ResetRemoteDrl(Cont *pCont, RaidComb *pComb, TgtId remoteTgtId)
{
    const RaidHooks *h = raid_Hooks();
    RaidCon con{};
    if (h->acquireTgtCon(pCont, remoteTgtId, &con) != MOS_RC__SUCCESS)
        return FALSE;
    BOOL bOk = FALSE;
    if (con.hCon != NET_CON__INVALID_HCON) {
        TgtReq_ResetCombDrl req{};
        req.combId = pComb->combId;
        req.combGenNum = raidComb_GetCombGenNum(pComb);
        RaidRpc rpc{};
        Mos_RC rc = raidRpc_Call(pCont, &con, &rpc, TGT_MSG_TYPE__RESET_COMB_BM, RAID__RECV_GROUP__TGT_IO_COPY, &req,
                                 sizeof(req), nullptr, 0);
        bOk = rc == MOS_RC__SUCCESS && rpc.rspRc == MOS_RC__SUCCESS;
    }
    h->releaseTgtCon(pCont, &con);
    return bOk;
}

namespace {

// Whether the periodic reset applies now (caller holds combFastLock).
BOOL remoteResetDue(const RaidComb *pComb)
{
    return pComb->combState == COMB_STATE__PRIMARY && pComb->pRebuild->combRaidState == COMB_RAID_STATE__NORMAL &&
           (pComb->bRequireRemoteCleanup || pComb->forceRemoteDrlCounter > RAID_COMB__FORCE_REMOTE_CLEAN);
}

} // namespace

void raidComb_ResetRemoteDrl(Cont *pCont, RaidComb *pComb)
{
    {
        RaidCombLock lock(pComb);
        pComb->forceRemoteDrlCounter++;
        if (!remoteResetDue(pComb))
            return;
    }
    MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_MED, "Comb %lx require remote DRL cleanup", (unsigned long)pComb->combId);
    elockComb_LockAll(pComb->pElock, TRUE);
    TgtId remote;
    BOOL bDue;
    {
        RaidCombLock lock(pComb);
        bDue = remoteResetDue(pComb);
        remote = pComb->pRebuild->remoteTgtId;
    }
    if (bDue) {
        MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_MED, "Going to clean remote DRL for comb %lx",
                  (unsigned long)pComb->combId);
        BOOL bAllZero = FALSE, bNoTooth = FALSE, bFine = TRUE;
        BOOL bFetched = raidComb_GetRemoteDrl(pCont, pComb, remote, FALSE, &bAllZero, &bNoTooth, &bFine);
        BOOL bRemoteClean = bFetched && bAllZero;
        if (bFetched && !bAllZero)
            bRemoteClean = raidRebuild_ResetRemoteDrl(pCont, pComb, remote);
        BOOL bLocalReset = phyComb_ResetEntireBits(&pComb->phyComb, PHY_DEV_DRL_TYPE__REBUILD, TRUE);
        if (bRemoteClean && bLocalReset) {
            RaidCombLock lock(pComb);
            pComb->bRequireRemoteCleanup = FALSE;
            pComb->pRebuild->bFetchRemoteDrl = FALSE;
            pComb->forceRemoteDrlCounter = 0;
        } else {
            MOS_TRACE(MOS_COMP_TGT_RAID, MOS_FREQ_LOW, "Remote DRL cleanup for comb %lx failed",
                      (unsigned long)pComb->combId);
        }
    }
    elockComb_UnlockAll(pComb->pElock, TRUE);
}
