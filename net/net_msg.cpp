#include "net/net_msg.h"

#include <time.h>

#include <cstring>

#include "mos/mos_dbg.h"
#include "mos/mos_diag_counters.h"
#include "mos/mos_trace.h"
#include "net/net_root.h"

enum : MosContentionId {
    NET_MSG__LOCK_ID = 330,
};

namespace {
NetMsgRcv_ChannelOps netMsgRcvChannelOps_G = {};

UINT64 netMsg_NowMicros(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (UINT64)ts.tv_sec * 1000000u + (UINT64)ts.tv_nsec / 1000u;
}

void netRpcData_Init(NetRpcData *pData)
{
    memset(static_cast<void *>(pData), 0, sizeof(*pData));
    NET_IOV__INIT(&pData->iov);
    pData->context = MOS_RC__TIMEOUT;
    pData->grpId = 0;
}

// The fields that a fresh send starts from, on a new or a reused message.
void netMsgSnd_ResetForSend(NetMsgSnd *pMsg, UINT32 msgId)
{
    pMsg->msgId = msgId;
    pMsg->netRc = MOS_RC__ILLEGAL;
    pMsg->flags = NET_MSG_SND_FLAGS__INIT;
    pMsg->bMsgAborted = FALSE;
    pMsg->pOldConPtr = nullptr;
    pMsg->chanNum = 0;
}

void netRpcMsg_InitSendParts(NetRpcMsg *pMsg)
{
    pMsg->pWaitForMsg = nullptr;
    pMsg->pPerfRound = nullptr;
    pMsg->startTime = 0;
    mosTimerReq_Init(&pMsg->timerReq, netRpc_TimerExpired);
    memset(static_cast<void *>(&pMsg->msgHashNode), 0, sizeof(pMsg->msgHashNode));
}
} // namespace

void netMsgRcv_SetChannelOps(const NetMsgRcv_ChannelOps *pOps)
{
    netMsgRcvChannelOps_G = pOps != nullptr ? *pOps : NetMsgRcv_ChannelOps{};
}

void netMsgSnd_Init(NetMsgSnd *pMsg, Net *pNet, UINT32 msgId, NetMsgType msgType, BOOL bSync)
{
    Exp(pNet == nullptr);
    memset(static_cast<void *>(pMsg), 0, sizeof(*pMsg));
    pMsg->pNet = pNet;
    pMsg->msgType = msgType;
    pMsg->bSync = bSync;
    netMsgSnd_ResetForSend(pMsg, msgId);
    MOS_FASTLOCK_CREATE(&pMsg->lock, NET_MSG__LOCK_ID);
    mosDList_InitNode(&pMsg->sndMsgNode.msgListNode);
    netRpcData_Init(&pMsg->rpcReq);
    netRpcData_Init(&pMsg->rpcRes);
}

NetRpcData *netMsgSndAsync_Init(NetRpcMsg *pMsg, Net *pNet, NetMsgType msgType, BOOL bSync, MosUmt_Sem *pSem)
{
    netMsgSnd_Init(&pMsg->msgSnd, pNet, net_UniqId(pNet), msgType, bSync);
    netRpcMsg_InitSendParts(pMsg);
    if (pSem != nullptr) {
        Exp(!bSync);
        netMsgSndSync_AddSem(pMsg, pSem);
    }
    return &pMsg->msgSnd.rpcReq;
}

NetRpcData *netMsgSndAsync_InitResp(NetRpcMsg *pMsg, Net *pNet, const NetMsgRcv *pRcv, NetMsgType msgType,
                                    BOOL bSync)
{
    netMsgSnd_Init(&pMsg->msgSnd, pNet, pRcv->msgId, msgType, bSync);
    netRpcMsg_InitSendParts(pMsg);
    return &pMsg->msgSnd.rpcReq;
}

void netMsgSnd_Reuse(NetMsgSnd *pMsg, UINT32 msgId)
{
    netMsgSnd_ResetForSend(pMsg, msgId);
    NET_IOV__RESET(&pMsg->rpcRes.iov);
    pMsg->rpcRes.context = MOS_RC__TIMEOUT;
    pMsg->rpcRes.grpId = 0;
}

void netMsgSndAsync_Reuse(NetRpcMsg *pMsg)
{
    netMsgSnd_Reuse(&pMsg->msgSnd, net_UniqId(pMsg->msgSnd.pNet));
    mosTimerReq_Destroy(&pMsg->timerReq);
    mosTimerReq_Init(&pMsg->timerReq, netRpc_TimerExpired);
    memset(static_cast<void *>(&pMsg->msgHashNode), 0, sizeof(pMsg->msgHashNode));
    pMsg->pWaitForMsg = nullptr;
}

void netMsgSnd_Destroy(NetMsgSnd *pMsg, BOOL bValidate)
{
    Exp(bValidate && pMsg->rpcReq.iov.numOfUsedBuffers && pMsg->rpcRes.iov.numOfUsedBuffers);
    netIov_Destroy(&pMsg->rpcReq.iov);
    netIov_Destroy(&pMsg->rpcRes.iov);
    mosFastlockBase_Destroy(&pMsg->lock);
}

namespace {
void netMsgSndAsync_DestroyIntrn(NetRpcMsg *pMsg, BOOL bValidate)
{
    netMsgSnd_Destroy(&pMsg->msgSnd, bValidate);
    mosTimerReq_Destroy(&pMsg->timerReq);
    if (pMsg->pWaitForMsg != nullptr)
        mosUmtSem_Destroy(pMsg->pWaitForMsg);
    memset(static_cast<void *>(pMsg), 0, sizeof(*pMsg));
}
} // namespace

void netMsgSndAsync_Destroy(NetRpcMsg *pMsg)
{
    netMsgSndAsync_DestroyIntrn(pMsg, FALSE);
}

void netMsgSndAsync_DestroyValidate(NetRpcMsg *pMsg)
{
    netMsgSndAsync_DestroyIntrn(pMsg, TRUE);
}

void netMsgSnd_UpdateCbData(NetMsgSnd *pMsg, const NetRpcData *pResponse, Mos_RC netRc)
{
    if (pResponse != nullptr) {
        netIov_Destroy(&pMsg->rpcRes.iov);
        // The record is taken whole; its list is then rebuilt in place, since a list must never
        // live at an address other than the one it was set up at.
        memcpy(static_cast<void *>(&pMsg->rpcRes), pResponse, sizeof(*pResponse));
        NET_IOV__INIT(&pMsg->rpcRes.iov);
        netIov_Copy(&pMsg->rpcRes.iov, &pResponse->iov);
    }
    pMsg->netRc = netRc;
}

Mos_RC NetMsgSnd_GetRc(const NetMsgSnd *pMsg)
{
    Exp(pMsg->netRc == MOS_RC__ILLEGAL);
    return pMsg->netRc;
}

void NetMsgSnd_SetRc(NetMsgSnd *pMsg, Mos_RC rc)
{
    Exp(pMsg->netRc == MOS_RC__SUCCESS);
    pMsg->netRc = rc;
}

void netMsgSndSync_AddSem(NetRpcMsg *pMsg, MosUmt_Sem *pSem)
{
    Exp(pMsg->pWaitForMsg != nullptr);
    mosUmtSem_Init(pSem);
    pMsg->pWaitForMsg = pSem;
}

void netMsgSndSync_RmSem(NetRpcMsg *pMsg)
{
    pMsg->pWaitForMsg = nullptr;
}

void netMsgSndSync_Release(NetRpcMsg *pMsg)
{
    Exp(pMsg->msgSnd.bSync == FALSE);
    MOS_ASSERT(pMsg->pWaitForMsg != nullptr);
    mosUmtSem_IncInter(pMsg->pWaitForMsg, 1, TRUE);
}

void netMsgSndSync_StartCount(NetRpcMsg *pMsg)
{
    pMsg->startTime = netMsg_NowMicros();
}

UINT64 netMsgSndSync_GetCount(const NetRpcMsg *pMsg)
{
    const UINT64 now = netMsg_NowMicros();
    return now > pMsg->startTime ? now - pMsg->startTime : 0;
}

void netMsgRcv_Init(NetMsgRcv *pRcv, const NetRpcData *pRequest, NetMsgType msgType, UINT32 msgId, UINT64 hCon,
                    NetChannel *pChan, UINT32 recvChanNum, void *pPerfRound)
{
    memcpy(static_cast<void *>(&pRcv->req), pRequest, sizeof(*pRequest));
    NET_IOV__INIT(&pRcv->req.iov);
    netIov_Copy(&pRcv->req.iov, &pRequest->iov);
    pRcv->msgType = msgType;
    pRcv->msgId = msgId;
    MOS_ASSERT(hCon != 0);
    pRcv->hCon = hCon;
    pRcv->pChan = pChan;
    pRcv->recvChanNum = recvChanNum;
    pRcv->pPerfRound = pPerfRound;
    pRcv->sample = nullptr;
    mosDList_InitNode(&pRcv->rcvMsgNode.msgListNode);
    pRcv->rcvMsgNode.msgCode = 0;
    pRcv->recvChanSyncNum = 0;
    if (pChan != nullptr) {
        MOS_ASSERT_WITH_DESC(netMsgRcvChannelOps_G.pRefCK != nullptr, "channels have not installed their operations");
        netMsgRcvChannelOps_G.pRefCK(pChan);
        pRcv->recvChanSyncNum = netMsgRcvChannelOps_G.pSyncNumCK(pChan);
    }
}

void netMsgRcv_Destroy(NetMsgRcv *pRcv)
{
    netIov_Destroy(&pRcv->req.iov);
    if (pRcv->pChan != nullptr) {
        netMsgRcvChannelOps_G.pUnrefCK(pRcv->pChan);
        pRcv->pChan = nullptr;
    }
}
