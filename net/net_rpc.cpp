#include "net/net_rpc.h"

#include <atomic>

#include "mos/mos_dbg.h"
#include "mos/mos_diag_counters.h"
#include "mos/mos_trace.h"
#include "mos/usr/mos_net.h"
#include "mos/umt/mos_umt.h"
#include "net/net_root.h"
#include "net/net_channel.h"
#include "net/net_con_send.h"

namespace {
BOOL netMsg_IsSendRespStarted(const NetMsgSnd *pSnd)
{
    return (pSnd->flags & NET_MSG_SND_FLAGS__SEND_RSP_STARTED) != 0;
}

BOOL netMsg_IsAborted(const NetMsgSnd *pSnd)
{
    return pSnd->bMsgAborted;
}

constexpr UINT32 NET_MSG_SND_FLAGS__TIMER_FIRED =
    NET_MSG_SND_FLAGS__TIMER_EXP_BEFORE_SEND | NET_MSG_SND_FLAGS__TIMER_EXP_AFTER_SEND |
    NET_MSG_SND_FLAGS__TIMER_EXP_AFTER_SEND_NOT_FOUND;

NetConManger *netRpc_Mgr(const NetRpcMsg *pMsg)
{
    return net_GetConManager(pMsg->msgSnd.pNet);
}

void netRpc_CountReq(NetConManger *pMgr, int delta)
{
    std::atomic_ref<UINT32>(pMgr->dbgQuery.numOfReq).fetch_add((UINT32)delta, std::memory_order_relaxed);
}

// Removes this very message from the pending table; whether it was there.
BOOL netRpc_RemoveFromTable(NetRpcMsg *pMsg)
{
    NetConManger *pMgr = netRpc_Mgr(pMsg);
    if (!mosHash_IsRecordConnected(&pMsg->msgHashNode))
        return FALSE;
    if (!mosHash_DeleteRecordByKeyAndPtr(&pMgr->pendingRequestHash, pMsg->msgSnd.msgId, &pMsg->msgHashNode))
        return FALSE;
    netRpc_CountReq(pMgr, -1);
    return TRUE;
}

// What completes a message once every lock is let go: the synchronous sender's semaphore, or the
// hand-back through the receive group. Nothing touches the message after it.
struct NetRpc_Delivery {
    UINT32 semRaises = 0;
    BOOL bQueueAsyncRes = FALSE;
    BOOL bQueueSendDone = FALSE;
    UINT32 grpId = 0;
};

void netRpc_Deliver(NetRpcMsg *pMsg, const NetRpc_Delivery &d)
{
    if (d.semRaises != 0) {
        MosUmt_Sem *pSem = pMsg->pWaitForMsg;
        MOS_ASSERT(pSem != nullptr);
        // A single raise of all units: the waiter may free the message as soon as it has them.
        mosUmtSem_IncInter(pSem, d.semRaises, TRUE);
        return;
    }
    if (!d.bQueueAsyncRes && !d.bQueueSendDone)
        return;
    if (d.bQueueAsyncRes)
        netConManager_RecvAsyncRes(netRpc_Mgr(pMsg), d.grpId, pMsg);
    else
        netConManager_SendAsyncDone(netRpc_Mgr(pMsg), d.grpId, pMsg);
}

// Ends a request abnormally (message lock held; released here).
void netCon_MsgEndedAbnoramly(NetRpcMsg *pMsg, NetRpc_Delivery *pD)
{
    pMsg->msgSnd.flags |= NET_MSG_SND_FLAGS__ABNORMAL;
    mosFastlockBase_Release(&pMsg->msgSnd.lock);
    if (pMsg->msgSnd.bSync) {
        pD->semRaises++;
    } else {
        pD->bQueueAsyncRes = TRUE;
        pD->grpId = pMsg->msgSnd.rpcReq.grpId;
    }
}

// The timer rule for a request already sent (message lock held; released here).
void netRpc_TimerExpiredSent(NetRpcMsg *pMsg, NetRpc_Delivery *pD)
{
    NetMsgSnd *pSnd = &pMsg->msgSnd;
    const UINT32 msgId = pSnd->msgId;
    if (netRpc_RemoveFromTable(pMsg)) {
        pSnd->flags |= NET_MSG_SND_FLAGS__TIMER_EXP_AFTER_SEND;
        pSnd->bMsgAborted = TRUE;
        NetMsgSnd_SetRc(pSnd, MOS_RC__TIMEOUT);
        netCon_MsgEndedAbnoramly(pMsg, pD);
    } else {
        pSnd->flags |= NET_MSG_SND_FLAGS__TIMER_EXP_AFTER_SEND_NOT_FOUND;
        mosFastlockBase_Release(&pSnd->lock);
    }
    MOS_TRACE(MOS_COMP_NET_RPC, MOS_FREQ_MED, "Timer expired (msgId %u) %p", msgId, (void *)pMsg);
}

// The timer rule (message lock held; released here): a request still on its way is only marked,
// and taken out of whatever its send task waits in, so that the task ends it now; a sent one is
// completed if it is still pending.
void netRpc_TimerExpiredInternal(NetRpcMsg *pMsg, NetRpc_Delivery *pD)
{
    NetMsgSnd *pSnd = &pMsg->msgSnd;
    MOS_ASSERT(pSnd->msgType == NET_MSG_TYPE__SNDRCV);
    if ((pSnd->flags & NET_MSG_SND_FLAGS__SEND_DONE) != 0) {
        netRpc_TimerExpiredSent(pMsg, pD);
        return;
    }
    MOS_TRACE(MOS_COMP_NET, MOS_FREQ_MED, "Timer expired before send (msgId %u)", pSnd->msgId);
    Exp(netMsg_IsAborted(&pMsg->msgSnd) == ((BOOL)1));
    pSnd->flags |= NET_MSG_SND_FLAGS__TIMER_EXP_BEFORE_SEND;
    __atomic_store_n(&pSnd->bMsgAborted, TRUE, __ATOMIC_RELEASE);
    // The send task holds its connection until its completion takes this lock: the connection
    // is alive here.
    NetCon *pCon = static_cast<NetCon *>(__atomic_load_n(&pSnd->pOldConPtr, __ATOMIC_ACQUIRE));
    if (pCon != nullptr)
        netCon_AbortWaitingSend(pCon, pMsg);
    mosFastlockBase_Release(&pSnd->lock);
}

// The send task of a request whose timer fired before it was sent has ended: the timer rule now
// finds it sent (message lock held; released here).
void netRpc_SendDoneAfterTimeout(NetRpcMsg *pMsg, NetRpc_Delivery *pD)
{
    MOS_TRACE(MOS_COMP_NET_RPC, MOS_FREQ_MED, "Send done after timeout");
    netRpc_TimerExpiredInternal(pMsg, pD);
}

// A request whose send failed ends with the error unless its timer got there first (message
// lock held; released here).
void netRpc_SendDoneWithError(NetRpcMsg *pMsg, Mos_RC sendRc, NetRpc_Delivery *pD)
{
    NetMsgSnd_SetRc(&pMsg->msgSnd, sendRc);
    if (netRpc_AbortTimer(pMsg, TRUE) != nullptr) {
        MOS_TRACE(MOS_COMP_NET_RPC, MOS_FREQ_MED, "Send done with error, timer not expired yet");
        netCon_MsgEndedAbnoramly(pMsg, pD);
        return;
    }
    mosFastlockBase_Release(&pMsg->msgSnd.lock);
    MOS_TRACE(MOS_COMP_NET_RPC, MOS_FREQ_MED, "Send done with error, timer expired");
}

struct NetMsgSndSync_Guard {
    MosTimer_Req timerReq;
    NetRpcMsg *pMsg;
    std::atomic<BOOL> bFired{FALSE};
};

void netMsgSndSync_GuardExpired_CK(MosAsyncObj *pObj, INT32 rc)
{
    MOS_UNUSED(rc);
    NetMsgSndSync_Guard *pGuard = MOS_CONTAINER_OF(pObj, NetMsgSndSync_Guard, timerReq.asyncObj);
    pGuard->bFired = TRUE;
    MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "Message send timed out. Message ID is %d", (int)pGuard->pMsg->msgSnd.msgId);
    MOS_ASSERT_WITH_DESC(!net_GetConf(pGuard->pMsg->msgSnd.pNet)->bCrashOnSendTimeout,
                         "Message send timed out. Crashing.");
}

BOOL netRpc_SendInternal(Net *pNet, HNetCon hCon, NetRpcMsg *pMsg, BOOL bBlock, BOOL bHead, BOOL bPrivilegedSend)
{
    Exp(pMsg->msgSnd.bSync == ((BOOL)0) && bBlock == ((BOOL)1));
    if (!pMsg->msgSnd.bSync || !bBlock)
        return netCon_SendMsg(pNet, hCon, pMsg, bHead, bPrivilegedSend);
    MosUmt_Sem sem;
    const BOOL bOwnSem = pMsg->pWaitForMsg == nullptr;
    if (bOwnSem)
        netMsgSndSync_AddSem(pMsg, &sem);
    const BOOL bHanded = netCon_SendMsg(pNet, hCon, pMsg, bHead, bPrivilegedSend);
    if (bHanded)
        netMsgSndSync_Wait(pMsg);
    if (bOwnSem) {
        netMsgSndSync_RmSem(pMsg);
        mosUmtSem_Destroy(&sem);
    }
    return bHanded;
}

Mos_RC netRpc_SendRequestInternal(Net *pNet, HNetCon hCon, NetRpcMsg *pMsg, BOOL bBlock, MosTimerQ_ID sendTimeout,
                                  BOOL bPrivilegedSend)
{
    MOS_ASSERT(pMsg->msgSnd.msgType == NET_MSG_TYPE__SNDRCV);
    MOS_ASSERT(sendTimeout < MOS_TIMER_QUEUE_ID__LAST);
    NetConManger *pMgr = net_GetConManager(pNet);
    netConManager_AddMsgToHash(pMgr, pMsg);
    mosTimerReq_AddByQ(&pMsg->timerReq, sendTimeout);
    if (!netRpc_SendInternal(pNet, hCon, pMsg, bBlock, FALSE, bPrivilegedSend)) {
        MOS_TRACE(MOS_COMP_NET_RPC, MOS_FREQ_LOW, "Sending msg %p failed", (void *)pMsg);
        netRpc_AbortTimer(pMsg, FALSE);
        return MOS_RC__ERROR;
    }
    if (!bBlock)
        return MOS_RC__SUCCESS;
    const Mos_RC rc = NetMsgSnd_GetRc(&pMsg->msgSnd);
    if (rc != MOS_RC__SUCCESS)
        MOS_TRACE(MOS_COMP_NET_RPC, MOS_FREQ_HIGH, "Send failed return from remote %s", mosRc_GetStr(rc));
    return rc;
}

Mos_RC netRpc_SendOneWay(Net *pNet, HNetCon hCon, NetRpcMsg *pMsg, BOOL bBlock, BOOL bHead)
{
    if (!netRpc_SendInternal(pNet, hCon, pMsg, bBlock, bHead, TRUE))
        return MOS_RC__ERROR;
    return bBlock ? NetMsgSnd_GetRc(&pMsg->msgSnd) : MOS_RC__SUCCESS;
}

MosTimerQ_ID netRpc_DefaultTimeout(Net *pNet)
{
    const UINT64 q = net_GetConf(pNet)->sendTimeout;
    return q < MOS_TIMER_QUEUE_ID__LAST ? (MosTimerQ_ID)q : MOS_TIMER_QUEUE_ID__5SEC;
}
} // namespace

void netConManager_AddMsgToHash(NetConManger *pMgr, NetRpcMsg *pMsg)
{
    mosHash_Add(&pMgr->pendingRequestHash, &pMsg->msgHashNode, pMsg->msgSnd.msgId, (UINT64)(uintptr_t)pMsg);
    netRpc_CountReq(pMgr, 1);
}

NetRpcMsg *netConManager_RemMsgFromHash(NetConManger *pMgr, UINT32 msgId)
{
    UINT64 data = 0;
    MosHash_Record *pRec =
        mosHash_GetRecordByKey(&pMgr->pendingRequestHash, msgId, MOS_HASH_FLAGS__DELETE_RECORD, &data);
    netRpc_CountReq(pMgr, -1);
    return pRec != nullptr ? reinterpret_cast<NetRpcMsg *>((uintptr_t)data) : nullptr;
}

NetRpcData *netConManager_GetRpcReqFromHash(NetConManger *pMgr, UINT32 msgId)
{
    UINT64 data = 0;
    if (mosHash_GetRecordByKey(&pMgr->pendingRequestHash, msgId, 0, &data) == nullptr)
        return nullptr;
    return &reinterpret_cast<NetRpcMsg *>((uintptr_t)data)->msgSnd.rpcReq;
}

Mos_RC netRpc_SendRequest(Net *pNet, HNetCon hCon, NetRpcMsg *pMsg, BOOL bBlock)
{
    return netRpc_SendRequestInternal(pNet, hCon, pMsg, bBlock, netRpc_DefaultTimeout(pNet), FALSE);
}

Mos_RC netRpc_SendRequestWithTO(Net *pNet, HNetCon hCon, NetRpcMsg *pMsg, BOOL bBlock, MosTimerQ_ID sendTimeout)
{
    return netRpc_SendRequestInternal(pNet, hCon, pMsg, bBlock, sendTimeout, FALSE);
}

Mos_RC netRpc_SendPrivilegedRequest(Net *pNet, HNetCon hCon, NetRpcMsg *pMsg, BOOL bBlock)
{
    return netRpc_SendRequestInternal(pNet, hCon, pMsg, bBlock, netRpc_DefaultTimeout(pNet), TRUE);
}

Mos_RC netRPC_SendPrivilegedRequestWithTO(Net *pNet, HNetCon hCon, NetRpcMsg *pMsg, BOOL bBlock,
                                          MosTimerQ_ID sendTimeout)
{
    return netRpc_SendRequestInternal(pNet, hCon, pMsg, bBlock, sendTimeout, TRUE);
}

Mos_RC netRpc_SendNotification(Net *pNet, HNetCon hCon, NetRpcMsg *pMsg, BOOL bBlock)
{
    Exp(pMsg->msgSnd.msgType != NET_MSG_TYPE__NOTIFICATION && pMsg->msgSnd.msgType != NET_MSG_TYPE__SNDRCV_CB);
    return netRpc_SendOneWay(pNet, hCon, pMsg, bBlock, FALSE);
}

Mos_RC netRpc_SendResponse(Net *pNet, HNetCon hCon, NetRpcMsg *pMsg, BOOL bBlock)
{
    Exp(pMsg->msgSnd.rpcReq.context == MOS_RC__ILLEGAL);
    Exp(pMsg->msgSnd.msgType != NET_MSG_TYPE__NOTIFICATION && pMsg->msgSnd.msgType != NET_MSG_TYPE__SNDRCV_CB);
    {
        MosFastlockGuard guard(&pMsg->msgSnd.lock);
        Exp(netMsg_IsSendRespStarted (&pMsg->msgSnd));
        pMsg->msgSnd.flags |= NET_MSG_SND_FLAGS__SEND_RSP_STARTED;
    }
    return netRpc_SendOneWay(pNet, hCon, pMsg, bBlock, TRUE);
}

Mos_RC netRpc_WaitForResponse(Net *pNet, NetRpcMsg *pMsg)
{
    MOS_UNUSED(pNet);
    MOS_ASSERT(pMsg->msgSnd.msgType == NET_MSG_TYPE__SNDRCV);
    netMsgSndSync_Wait(pMsg);
    return NetMsgSnd_GetRc(&pMsg->msgSnd);
}

BOOL netRpc_GetPeerAddr(Net *pNet, NetRpcData *pRequest, NetAddress *pAddr)
{
    NetMsgRcv *pRcvMsg = netRecvGroup_GetRcvMsg(pRequest);
    Exp(pRcvMsg->msgType != NET_MSG_TYPE__SNDRCV);
    NetCon *pCon = netConManager_AcquireCon(net_GetConManager(pNet), pRcvMsg->hCon);
    if (pCon == nullptr)
        return FALSE;
    const BOOL b = netCon_GetPeerAddr(pCon, pAddr);
    netConManager_ReleaseCon(net_GetConManager(pNet), pCon);
    return b;
}

void netRpc_UpdateSendId(HNetCon hCon, NetRpcMsg *pMsg, NetConChannelData *pChannelData)
{
    netCon_UpdateSendId(hCon, pMsg, pChannelData);
}

void netMsgSndSync_Wait(NetRpcMsg *pMsg)
{
    Exp(pMsg->pWaitForMsg == ((void *)0));
    MOS_ASSERT_WITH_DESC(pMsg->msgSnd.bSync, "a message waited on is not synchronous");
    const UINT32 msgId = pMsg->msgSnd.msgId;
    NetMsgSndSync_Guard guard;
    guard.pMsg = pMsg;
    mosTimerReq_Init(&guard.timerReq, netMsgSndSync_GuardExpired_CK);
    mosTimerReq_AddByQ(&guard.timerReq, NET_MSG_SND_SYNC_GUARD_QUEUE_ID);
    mosUmtSem_DecTimed(pMsg->pWaitForMsg, 1, 0);
    mosTimerReq_Abort(&guard.timerReq);
    mosTimerReq_Destroy(&guard.timerReq);
    if (guard.bFired)
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "Message (ID %d) sent successfully after send timeout.", (int)msgId);
    const UINT64 micros = netMsgSndSync_GetCount(pMsg);
    if (micros > NET_MSG_SND_SYNC_WARNING_THRESH_MICROS) {
        MOS_ERROR(MOS_COMP_NET, "WARNING: Message (ID %d) took more than %d seconds to send (%ld micros).", (int)msgId,
                  5, (long)micros);
        mosDiagCounters_CountExt(MOS_DIAG_COUNTER__RPC_SEND_LINGERED_5SEC, msgId);
    }
    if (pMsg->msgSnd.msgType != NET_MSG_TYPE__SNDRCV)
        return;
    mosUmtSem_DecTimed(pMsg->pWaitForMsg, 1, 0);
    // A completing timer may still be returning from its handler: the message is the caller's
    // again only once it has.
    mosTimerReq_Abort(&pMsg->timerReq);
}

NetRpcMsg *netRpc_AbortTimer(NetRpcMsg *pMsg, BOOL bLocked)
{
    NetMsgSnd *pSnd = &pMsg->msgSnd;
    const BOOL bRemoved = netRpc_RemoveFromTable(pMsg);
    Mos_RC rc = bLocked ? mosTimerReq_AbortNoWait(&pMsg->timerReq) : mosTimerReq_Abort(&pMsg->timerReq);
    // MOS_RC__BUSY with the lock held: the handler runs and waits for this very lock. Let it in
    // until it has marked the message.
    UINT32 loopCount = 0;
    while (rc == MOS_RC__BUSY && bLocked &&
           (__atomic_load_n(&pSnd->flags, __ATOMIC_ACQUIRE) & NET_MSG_SND_FLAGS__TIMER_FIRED) == 0) {
        mosDiagCounters_CountExt(MOS_DIAG_COUNTER__FAILED_TO_ABORT_TIMER, pSnd->msgId);
        loopCount++;
        Exp(loopCount > 1000);
        mosFastlockBase_Release(&pSnd->lock);
        mosUmt_Yield();
        mosFastlockBase_Acquire(&pSnd->lock);
    }
    return bRemoved ? pMsg : nullptr;
}

void netRpc_TimerExpired(MosAsyncObj *pObj, INT32 rc)
{
    MOS_UNUSED(rc);
    NetRpcMsg *pMsg = MOS_CONTAINER_OF(pObj, NetRpcMsg, timerReq.asyncObj);
    mosDiagCounters_Count(MOS_DIAG_COUNTER__RPC_TIMED_OUT);
    mosFastlockBase_Acquire(&pMsg->msgSnd.lock);
    NetRpc_Delivery d;
    netRpc_TimerExpiredInternal(pMsg, &d);
    netRpc_Deliver(pMsg, d);
}

void netCon_SendDone(NetRpcMsg *pMsg, Mos_RC sendRc)
{
    NetMsgSnd *pSnd = &pMsg->msgSnd;
    NetCon *pCon = static_cast<NetCon *>(pSnd->pOldConPtr);
    Net *pNet = pSnd->pNet;
    NetRpc_Delivery d;
    if (pSnd->msgType == NET_MSG_TYPE__SNDRCV) {
        mosFastlockBase_Acquire(&pSnd->lock);
        pSnd->flags |= NET_MSG_SND_FLAGS__SEND_DONE;
        const BOOL bRspBefore = (pSnd->flags & NET_MSG_SND_FLAGS__RSP_ARRIVED) != 0;
        if (pSnd->bMsgAborted)
            netRpc_SendDoneAfterTimeout(pMsg, &d);
        else if (bRspBefore || sendRc == MOS_RC__SUCCESS)
            mosFastlockBase_Release(&pSnd->lock);
        else
            netRpc_SendDoneWithError(pMsg, sendRc, &d);
        if (pSnd->bSync) {
            d.semRaises++;
        } else if (bRspBefore) {
            d.bQueueAsyncRes = TRUE;
            d.grpId = pSnd->rpcRes.grpId;
        }
    } else {
        pSnd->netRc = sendRc;
        if (pSnd->bSync) {
            d.semRaises = 1;
        } else {
            d.bQueueSendDone = TRUE;
            d.grpId = pSnd->rpcReq.grpId;
        }
    }
    netConManager_ReleaseCon(net_GetConManager(pNet), pCon);
    netRpc_Deliver(pMsg, d);
}

void netRpc_OnRpcResp(Net *pNet, NetCon *pCon, UINT32 msgId, NetRpcData *pData, const NetAddress *pPeer)
{
    __atomic_add_fetch(&pCon->recvMsg, 1, __ATOMIC_RELAXED);
    NetConManger *pMgr = net_GetConManager(pNet);
    NetRpcMsg *pMsg = nullptr;
    {
        MosHash_Bucket *pBucket = nullptr;
        MOS_HASH__GET_BUCKET_HANDLE(&pMgr->pendingRequestHash, msgId, pBucket);
        PVOID pFound = nullptr;
        MosHash_Record *pRec = mosHash_GetRecordFromBucket2(&pMgr->pendingRequestHash, msgId, 0, pBucket, &pFound);
        if (pRec != nullptr) {
            NetRpcMsg *pCand = static_cast<NetRpcMsg *>(pFound);
            // Only the connection the request went out on may answer it.
            if (__atomic_load_n(&pCand->msgSnd.pOldConPtr, __ATOMIC_ACQUIRE) == pCon) {
                mosHash_DeleteRecordFromBucket(&pMgr->pendingRequestHash, pRec, pBucket);
                pMsg = pCand;
            }
        }
        MOS_HASH__RELEASE_BUCKET(pBucket);
    }
    if (pMsg == nullptr) {
        MOS_TRACE(MOS_COMP_NET_RPC, MOS_FREQ_MED, "No pending request for response msgId %u from %s", msgId,
                  pPeer != nullptr ? netAddress_ToStr(pPeer) : "?");
        if (!NET_IOV__IS_EMPTY(&pData->iov))
            netConManager_FreeBuffer(pMgr, pData->grpId, &pData->iov);
        netIov_Destroy(&pData->iov);
        return;
    }
    netRpc_CountReq(pMgr, -1);
    NetMsgSnd *pSnd = &pMsg->msgSnd;
    const UINT64 latency = netMsgSndSync_GetCount(pMsg);
    const UINT32 reqBytes = NET_IOV__GET_SIZE(&pSnd->rpcReq.iov);
    if (reqBytes >= NET_RPC__LATENCY_MIN_BYTES) {
        MosFastlockGuard guard(&pCon->conFastlock);
        mosBWC_EventOccurrence(&pCon->sendLatencyBwc, (UINT32)MOS_MIN(latency, (UINT64)UINT32_MAX), 1);
        mosBWC_EventOccurrence(&pCon->sendSizeBwc, reqBytes / NET_RPC__LATENCY_MIN_BYTES, 1);
    }
    if (latency > NET_RPC__LINGER_1SEC_MICROS && pCon->ownerType != NET_OWNER_TYPE__YARRIN) {
        mosDiagCounters_CountExt(MOS_DIAG_COUNTER__RPC_LINGERED_1SEC, pCon->conId);
        netCon_ReportOscEvent(NET_OSC_TYPE__RPC_LINGERED_1SEC, pCon, pPeer);
        if (latency > NET_RPC__LINGER_3SEC_MICROS) {
            mosDiagCounters_CountExt(MOS_DIAG_COUNTER__RPC_LINGERED_3SEC, pCon->conId);
            netCon_ReportOscEvent(NET_OSC_TYPE__RPC_LINGERED_3SEC, pCon, pPeer);
        }
    }
    NetRpc_Delivery d;
    {
        MosFastlockGuard guard(&pSnd->lock);
        mosTimerReq_AbortNoWait(&pMsg->timerReq);
        pSnd->flags |= NET_MSG_SND_FLAGS__RSP_ARRIVED;
        netMsgSnd_UpdateCbData(pSnd, pData, MOS_RC__SUCCESS);
        if (pSnd->bSync) {
            d.semRaises = 1;
        } else if ((pSnd->flags & NET_MSG_SND_FLAGS__SEND_DONE) != 0) {
            d.bQueueAsyncRes = TRUE;
            d.grpId = pSnd->rpcRes.grpId;
        }
    }
    netIov_Destroy(&pData->iov);
    netRpc_Deliver(pMsg, d);
}
