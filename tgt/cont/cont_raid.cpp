#include "tgt/cont/cont_raid_state.h"

#include <atomic>
#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"
#include "mos/umt/mos_umt_semaphore.h"
#include "net/net_rpc.h"
#include "tgt/cont/cont.h"
#include "tgt/cont/cont_dev.h"
#include "tgt/file/file.h"
#include "tgt/raid/raid_resync.h"

namespace {

Mos_RC contRaid_AcquireTgtCon(Cont *pCont, TgtId tgtId, RaidCon *pCon)
{
    *pCon = RaidCon{};
    pCon->hCon = NET_CON__INVALID_HCON;
    auto *pTgt = static_cast<ContTgt *>(contObj_Acquire(&pCont->objs, tgtId, CONT_OBJ_TYPE__TGT));
    if (pTgt == nullptr)
        return MOS_RC__NOT_CONN;
    {
        MosFastlockGuard guard(&pTgt->syncChannelFastLock);
        pCon->hCon = pTgt->hTgtNetCon;
        // A channel still being synchronised carries no data yet.
        pCon->bNotReachable = pTgt->bChannelSyncInProg;
    }
    pCon->pPeer = pTgt;
    return MOS_RC__SUCCESS;
}

void contRaid_ReleaseTgtCon(Cont *pCont, RaidCon *pCon)
{
    auto *pTgt = static_cast<ContTgt *>(pCon->pPeer);
    if (pTgt != nullptr)
        contObj_Release(&pCont->objs, pTgt->tgtId, CONT_OBJ_TYPE__TGT);
    pCon->pPeer = nullptr;
}

// The messaging layer's message of an RPC lives on the heap between send and wait.
NetRpcMsg *msgOf(RaidRpc *pRpc) { return static_cast<NetRpcMsg *>(pRpc->pPriv[0]); }

void contRaid_FreeMsg(Cont *pCont, RaidRpc *pRpc, NetRpcMsg *pMsg)
{
    netMsgSndSync_RmSem(pMsg);
    mosUmtSem_Destroy(&pRpc->semForRsp);
    contNet_DestroyMsg(pCont, pMsg);
    mos_MemFree(pMsg);
}

Mos_RC contRaid_SendRpc(Cont *pCont, const RaidCon *pCon, RaidRpc *pRpc)
{
    auto *pMsg = static_cast<NetRpcMsg *>(mos_MemCalloc(sizeof(NetRpcMsg), sizeof(NetRpcMsg), __func__, TRUE));
    if (pMsg == nullptr)
        return MOS_RC__NO_RESOURCES;
    Net *pNet = cont_GetNetObj(pCont);
    // A synchronous request sent without blocking still needs its waiter's semaphore before the
    // hand-over: a send that fails at once completes the message there and then.
    NetRpcData *pData = netMsgSndAsync_Init(pMsg, pNet, NET_MSG_TYPE__SNDRCV, TRUE, &pRpc->semForRsp);
    pData->context = pRpc->msgType;
    pData->grpId = pRpc->grpId;
    netIov_AddBuffer(&pData->iov, const_cast<void *>(pRpc->pRec), pRpc->recLen, CONT_NET_BUF_TYPE__STATIC);
    if (pRpc->pData != nullptr && pRpc->dataLen != 0)
        netIov_AddBuffer(&pData->iov, const_cast<void *>(pRpc->pData), pRpc->dataLen, CONT_NET_BUF_TYPE__STATIC);
    if (pRpc->pDif != nullptr && pRpc->difLen != 0)
        netIov_AddBuffer(&pData->iov, const_cast<void *>(pRpc->pDif), pRpc->difLen, CONT_NET_BUF_TYPE__STATIC);
    Mos_RC rc = netRpc_SendRequest(pNet, pCon->hCon, pMsg, FALSE);
    if (rc != MOS_RC__SUCCESS) {
        contRaid_FreeMsg(pCont, pRpc, pMsg);
        return rc;
    }
    pRpc->pPriv[0] = pMsg;
    return MOS_RC__SUCCESS;
}

Mos_RC contRaid_WaitRpc(Cont *pCont, RaidRpc *pRpc)
{
    NetRpcMsg *pMsg = msgOf(pRpc);
    MOS_ASSERT(pMsg != nullptr);
    Mos_RC rc = netRpc_WaitForResponse(cont_GetNetObj(pCont), pMsg);
    pRpc->rspLen = 0;
    if (rc == MOS_RC__SUCCESS) {
        const NetRpcData *pRes = &pMsg->msgSnd.rpcRes;
        pRpc->rspRc = (Mos_RC)pRes->context;
        // The answer's payload, cut to the caller's room; its length tells what arrived.
        for (UINT32 i = 0; i < pRes->iov.numOfUsedBuffers && pRpc->pRsp != nullptr; i++) {
            UINT32 len = 0;
            const void *p = NET_IOV__GET(&pRes->iov, i, &len);
            UINT32 take = len <= pRpc->rspCap - pRpc->rspLen ? len : pRpc->rspCap - pRpc->rspLen;
            memcpy(static_cast<UINT8 *>(pRpc->pRsp) + pRpc->rspLen, p, take);
            pRpc->rspLen += take;
        }
    }
    contRaid_FreeMsg(pCont, pRpc, pMsg);
    pRpc->pPriv[0] = nullptr;
    return rc;
}

void contRaid_LogNetHiccup(Cont *pCont, TgtId peerTgtId)
{
    auto *pTgt = static_cast<ContTgt *>(contObj_Acquire(&pCont->objs, peerTgtId, CONT_OBJ_TYPE__TGT));
    if (pTgt == nullptr)
        return;
    {
        MosFastlockGuard guard(&pTgt->fastlock);
        pTgt->bNetHiccups = TRUE;
    }
    contObj_Release(&pCont->objs, peerTgtId, CONT_OBJ_TYPE__TGT);
}

BOOL contRaid_GetHeadState(Cont *pCont, CombId combId, PhyCombHead *pHeadState)
{
    HeadId headId = combId_GetHeadId(combId);
    auto *pHead = static_cast<ContHead *>(contObj_Acquire(&pCont->objs, headId, CONT_OBJ_TYPE__HEAD));
    if (pHead == nullptr)
        return FALSE;
    contHead_CopyHeadState(pHead, pHeadState);
    contObj_Release(&pCont->objs, headId, CONT_OBJ_TYPE__HEAD);
    return TRUE;
}

const RaidHooks kRaidHooks = {
    contRaid_AcquireTgtCon,
    contRaid_ReleaseTgtCon,
    contRaid_SendRpc,
    contRaid_WaitRpc,
    cont_CheckDegradePermit,
    contOstrel_SendRequestRecord,
    [](Cont *pCont) -> TgtId { return cont_GetTgtId(pCont); },
    contRaid_LogNetHiccup,
    [](ContDev *pDev) { (void)contDev_UpdateDeviceError(pDev, pDev->pCont, FILE__DEV_ERROR_WRITE); },
    [](ContDev *pDev) { (void)contDev_UpdateDeviceError(pDev, pDev->pCont, FILE__DEV_ERROR_READ); },
    contDev_IsDeviceInError,
    [](ContDev *pDev) -> TgtDevId { return pDev->devId; },
    contRaid_GetHeadState,
    raidSyncPool_QueueCopyJob,
    raidSyncPool_RaiseCopyPriority,
};

} // namespace

const RaidHooks *contRaid_GetHooks(void) { return &kRaidHooks; }

namespace {

BOOL contRaid_IsOstrelBlocked(Cont *pCont)
{
    return cont_IsOstrelBlocked(pCont);
}

UINT32 contRaid_GetPeerVersion(Cont *pCont, TgtId peerTgtId)
{
    auto *pTgt = static_cast<ContTgt *>(contObj_Acquire(&pCont->objs, peerTgtId, CONT_OBJ_TYPE__TGT));
    if (pTgt == nullptr)
        return CONT_TGT__UNKNOWN_VERSION;
    const UINT32 version = std::atomic_ref<UINT32>(pTgt->lastKnownVersion).load();
    contObj_Release(&pCont->objs, peerTgtId, CONT_OBJ_TYPE__TGT);
    return version;
}

Elock *contRaid_GetElock(Cont *pCont)
{
    return pCont->elock.bInitialized ? &pCont->elock : nullptr;
}

const RaidResyncHooks kResyncHooks = {
    contRaid_IsOstrelBlocked,
    contRaid_GetPeerVersion,
    contRaid_GetElock,
};

} // namespace

const RaidResyncHooks *contRaid_GetResyncHooks(void) { return &kResyncHooks; }

void contRaid_Start(Cont *pCont)
{
    raid_Init(&pCont->raid, pCont, contRaid_GetHooks());
    raidResync_SetHooks(&kResyncHooks);
}

void contRaid_Stop(Cont *pCont)
{
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Stopping the resync pool");
    raidSyncPool_Destroy(&pCont->ostrel.syncPool);
}
