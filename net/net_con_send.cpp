#include "net/net_con_send.h"

#include <initializer_list>

#include "mos/mos_dbg.h"
#include "mos/mos_diag_counters.h"
#include "mos/mos_trace.h"
#include "net/net_root.h"
#include "net/net_work_group.h"
#include "net/net_channel.h"
#include "net/net_path_intrn.h"
#include "net/net_con.h"

namespace {
// The per-send bits of the task area beside the sender's privileged bit: a retry is due; the
// path's send loop was taken straight from its wait on senderCond (not lent from its loop body),
// so it can be given back to that wait instead of being resumed.
constexpr UINT8 NET_MIT_FLAGS__RETRY = 0x2u;
constexpr UINT8 NET_MIT_FLAGS__LOOP_TAKEN = 0x4u;
constexpr UINT32 NET_CON__MAX_SEND_ATTEMPTS = 3u;

NetRpcMsg *netCon_MsgOfMit(MosMit *pMit)
{
    return MOS_CONTAINER_OF(netMit_GetArea(pMit), NetRpcMsg, msgSnd.mit.area);
}

NetCon *netCon_OfMsg(const NetRpcMsg *pMsg)
{
    return static_cast<NetCon *>(__atomic_load_n(&pMsg->msgSnd.pOldConPtr, __ATOMIC_ACQUIRE));
}

BOOL netCon_IsMsgAborted(const NetRpcMsg *pMsg)
{
    return __atomic_load_n(&pMsg->msgSnd.bMsgAborted, __ATOMIC_ACQUIRE);
}

// Never called with the connection's lock held (the message lock comes first).
void netCon_SetMsgFlag(NetRpcMsg *pMsg, UINT32 flag)
{
    MosFastlockGuard guard(&pMsg->msgSnd.lock);
    pMsg->msgSnd.flags |= flag;
}

void netCon_CountUnreachable(NetCon *pCon)
{
    mosDiagCounters_CountExt(MOS_DIAG_COUNTER__REMOTE_IS_UNREACHABLE, pCon->conId);
    if (pCon->ownerType == NET_OWNER_TYPE__OSTREL)
        mosDiagCounters_CountExt(MOS_DIAG_COUNTER__OSTREL_IS_UNREACHABLE, pCon->conId);
}

// A connect wait of a message without a request timer ends with the configured send time-out;
// a request's own timer takes it out of the wait (netCon_AbortWaitingSend).
MosTimerQ_ID netCon_ConnectWaitQ(const NetRpcMsg *pMsg)
{
    if (pMsg->msgSnd.msgType == NET_MSG_TYPE__SNDRCV)
        return MOS_TIMER_QUEUE_ID__LAST;
    const UINT64 q = net_GetConf(pMsg->msgSnd.pNet)->sendTimeout;
    return q < MOS_TIMER_QUEUE_ID__LAST ? (MosTimerQ_ID)q : MOS_TIMER_QUEUE_ID__5SEC;
}

void netCon_SendMitDtor(MosMit *pMit)
{
    NetRpcMsg *pMsg = netCon_MsgOfMit(pMit);
    netCon_SendDone(pMsg, pMit->nextRC);
}

Mos_RC netCon_QueueAndUnlock(NetCon *pCon, NetRpcMsg *pMsg)
{
    MosDList_Node *pNode = &pMsg->msgSnd.sndMsgNode.msgListNode;
    MOS_ASSERT((&pMsg->msgSnd.sndMsgNode.msgListNode)->pNext == ((void *)0));
    mosDList_InsertTail(netMit_GetImportance(&pMsg->msgSnd.mit) ? &pCon->prioritizedMsgQueue : &pCon->msgQueue,
                        pNode);
    mosMitCond_Signal(&pCon->senderCond, MOS_RC__SUCCESS);
    mosFastlockBase_Release(&pCon->conFastlock);
    return MOS_RC__PENDING;
}

BOOL netCon_IsPathServing(const NetPath *pPath)
{
    return pPath->bSndMitActive && __atomic_load_n(&pPath->bConnected, __ATOMIC_ACQUIRE);
}

// With nothing queued, the send loop that a signal of senderCond would wake would fetch this very
// message and lend it its path: do that here, on the sender's own thread, and save the two hops
// to a worker and back. Connection locked; FALSE (nothing done) when no loop waits or the first
// waiting one no longer serves.
BOOL netCon_TakeWaitingPath(NetCon *pCon, Net_MitArea *pArea)
{
    if (!MOS_DLIST__IS_EMPTY(&pCon->prioritizedMsgQueue) || !MOS_DLIST__IS_EMPTY(&pCon->msgQueue))
        return FALSE;
    MosMit *pLoop = mosMitCond_NextMitToWake(&pCon->senderCond);
    if (pLoop == nullptr)
        return FALSE;
    NetPath *pPath = netMit_GetArea(pLoop)->pPath;
    if (!netCon_IsPathServing(pPath) || !mosMitCond_TakeWaiter(&pCon->senderCond, pLoop))
        return FALSE;
    pArea->pPath = pPath;
    pArea->mitFlags |= NET_MIT_FLAGS__LOOP_TAKEN;
    netPath_IncreaseRefCount(pPath);
    return TRUE;
}

// Step 8 of a send: the path goes back to its loop, or on to the next queued message (which
// inherits how the loop was lent). A loop taken from its wait that has nothing more to do waits
// again without running at all.
void netCon_ReleasePath(NetRpcMsg *pMsg, NetCon *pCon)
{
    Net_MitArea *pArea = &pMsg->msgSnd.mit.area;
    NetPath *pPath = pArea->pPath;
    const UINT8 loopTaken = pArea->mitFlags & NET_MIT_FLAGS__LOOP_TAKEN;
    pArea->pPath = nullptr;
    pArea->mitFlags &= (UINT8)~NET_MIT_FLAGS__LOOP_TAKEN;
    __atomic_sub_fetch(&pPath->inflightSends, 1, __ATOMIC_ACQ_REL);
    Net *pNet = pMsg->msgSnd.pNet;
    if (net_GetMsgSchedType(pNet) == NET_MSG_SCHED_METHOD__SOCKET_RACE) {
        NetMsgSnd *pNext = nullptr;
        BOOL bLoopWaitsAgain = FALSE;
        {
            MosFastlockGuard guard(&pCon->conFastlock);
            if (pPath->prioSenderCount >= net_GetConf(pNet)->maxPrioritySends)
                mosDiagCounters_Count(MOS_DIAG_COUNTER__PRIO_SND_LIMIT_REACHED);
            else if (netCon_IsPathServing(pPath))
                pNext = netCon_FetchMsg(pCon);
            if (pNext != nullptr) {
                pNext->mit.area.pPath = pPath;
                pNext->mit.area.mitFlags |= loopTaken;
                netPath_IncreaseRefCount(pPath);
                pPath->prioSenderCount++;
            } else {
                pPath->prioSenderCount = 0;
                // Only with the queues empty may a loop that still serves go back to its wait:
                // nothing signals it for what queued meanwhile (the chain stopped at its limit
                // leaves such messages), so the loop must run to fetch them, as must one that
                // stops serving to see it.
                if (loopTaken && netCon_IsPathServing(pPath) && MOS_DLIST__IS_EMPTY(&pCon->prioritizedMsgQueue) &&
                    MOS_DLIST__IS_EMPTY(&pCon->msgQueue)) {
                    mosMitCond_PutBackWaiter(&pCon->senderCond, netMit_GetMit(&pPath->sndMit));
                    bLoopWaitsAgain = TRUE;
                }
            }
        }
        if (pNext != nullptr)
            mosMit_Resume(netMit_GetMit(&pNext->mit), MOS_RC__SUCCESS);
        else if (!bLoopWaitsAgain)
            mosMit_Resume(netMit_GetMit(&pPath->sndMit), MOS_RC__NOTHING_TO_DO);
    }
    netPath_DecreaseRefCount(pPath);
}
} // namespace

BOOL netCon_SendMsg(Net *pNet, HNetCon hCon, NetRpcMsg *pMsg, BOOL bHead, BOOL bPrivilegedSend)
{
    MOS_TRACE(MOS_COMP_NET, MOS_FREQ_HIGH, "Send called for hCon %lx", (unsigned long)hCon);
    netMsgSndSync_StartCount(pMsg);
    NetCon *pCon = netConManager_AcquireCon(net_GetConManager(pNet), hCon);
    if (pCon == nullptr) {
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "Send failed no connection. hCon %lx", (unsigned long)hCon);
        pMsg->msgSnd.netRc = MOS_RC__ERROR;
        return FALSE;
    }
    __atomic_store_n(&pMsg->msgSnd.pOldConPtr, pCon, __ATOMIC_RELEASE);
    NetMit *pNetMit = &pMsg->msgSnd.mit;
    netMit_InitEx(pNetMit, net_GetWorkerMitSched(pNet), pNet, netCon_SendMitDtor, bPrivilegedSend, FALSE);
    netMit_SetImportance(pNetMit, bHead);
    mosMit_StartNow(netMit_GetMit(pNetMit), netCon_Send_CK);
    return TRUE;
}

Mos_RC netCon_Send_CK(MosMit *pMit, Mos_RC rc)
{
    NetRpcMsg *pMsg = netCon_MsgOfMit(pMit);
    NetCon *pCon = netCon_OfMsg(pMsg);
    Net_MitArea *pArea = netMit_GetArea(pMit);
    MOS_MIT_BEGIN(pMit);
    mosFastlockBase_Acquire(&pCon->conFastlock);
    if (pCon->conState == CON_STATE__CONNECTING) {
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_MED, "Send when connecting, waiting");
        if (netCon_IsMsgAborted(pMsg)) {
            mosFastlockBase_Release(&pCon->conFastlock);
            MOS_MIT_RETURN(pMit, MOS_RC__ABORTED);
        }
        MOS_MIT_AWAIT(pMit, rc,
                      mosMitCond_WaitByQIntf(pMit, &netCon_OfMsg(netCon_MsgOfMit(pMit))->conMsgWaiters,
                                             &netCon_OfMsg(netCon_MsgOfMit(pMit))->conFastlock,
                                             netCon_ConnectWaitQ(netCon_MsgOfMit(pMit))));
        pMsg = netCon_MsgOfMit(pMit);
        pCon = netCon_OfMsg(pMsg);
        pArea = netMit_GetArea(pMit);
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_MED, "Send finished waiting for connect");
        if (rc == MOS_RC__TIMEOUT) {
            mosFastlockBase_Release(&pCon->conFastlock);
            netCon_SetMsgFlag(pMsg, NET_MSG_SND_FLAGS__SEND_ERROR);
            MOS_MIT_RETURN(pMit, MOS_RC__TIMEOUT);
        }
    }
    if (pCon->bPrivilegedSend && (pArea->mitFlags & NET_MIT_FLAGS__PRIVILEGED_SEND) == 0) {
        if (pCon->conState != CON_STATE__CONNECTED) {
            mosFastlockBase_Release(&pCon->conFastlock);
            netCon_SetMsgFlag(pMsg, NET_MSG_SND_FLAGS__SEND_ERROR);
            MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "Send failed, not connected.");
            MOS_MIT_RETURN(pMit, MOS_RC__NOT_CONN);
        }
        if (netCon_IsMsgAborted(pMsg)) {
            mosFastlockBase_Release(&pCon->conFastlock);
            MOS_MIT_RETURN(pMit, MOS_RC__ABORTED);
        }
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_MED, "Connection is still in privileged mode. Will wait.");
        MOS_MIT_AWAIT(pMit, rc,
                      mosMitCond_WaitByQIntf(pMit, &netCon_OfMsg(netCon_MsgOfMit(pMit))->privilegedCond,
                                             &netCon_OfMsg(netCon_MsgOfMit(pMit))->conFastlock,
                                             MOS_TIMER_QUEUE_ID__2SEC));
        pMsg = netCon_MsgOfMit(pMit);
        pCon = netCon_OfMsg(pMsg);
        pArea = netMit_GetArea(pMit);
        if (rc != MOS_RC__SUCCESS || pCon->bPrivilegedSend) {
            mosFastlockBase_Release(&pCon->conFastlock);
            MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "Send failed, timeout while waiting for non-privileged send.");
            MOS_MIT_RETURN(pMit, MOS_RC__NOT_CONN);
        }
    }
    // A privileged request carries 0, which resets the peer's receive channel.
    if ((pArea->mitFlags & NET_MIT_FLAGS__PRIVILEGED_SEND) != 0 && pMsg->msgSnd.msgType == NET_MSG_TYPE__SNDRCV)
        pMsg->msgSnd.chanNum = 0;
    else
        pMsg->msgSnd.chanNum = pCon->pChan != nullptr ? netChannel_GetSendNum(pCon->pChan) : 0;
    pArea->msgSendAttempts = (UINT8)MOS_MIN((UINT32)pCon->connectedPaths, NET_CON__MAX_SEND_ATTEMPTS);
    if (pArea->msgSendAttempts == 0) {
        mosFastlockBase_Release(&pCon->conFastlock);
        netCon_CountUnreachable(pCon);
        MOS_MIT_RETURN(pMit, MOS_RC__NOT_CONN);
    }
    for (;;) {
        pMsg = netCon_MsgOfMit(pMit);
        pCon = netCon_OfMsg(pMsg);
        pArea = netMit_GetArea(pMit);
        if (pCon->conState != CON_STATE__CONNECTED) {
            mosFastlockBase_Release(&pCon->conFastlock);
            netCon_SetMsgFlag(pMsg, NET_MSG_SND_FLAGS__SEND_ERROR);
            MOS_MIT_RETURN(pMit, MOS_RC__NOT_CONN);
        }
        if (netCon_IsMsgAborted(pMsg)) {
            mosFastlockBase_Release(&pCon->conFastlock);
            MOS_MIT_RETURN(pMit, MOS_RC__ABORTED);
        }
        socketHeader_FillData(&pArea->extHeader, pMsg->msgSnd.msgType, pMsg->msgSnd.rpcReq.context,
                              pMsg->msgSnd.rpcReq.grpId, pMsg->msgSnd.msgId, pMsg->msgSnd.chanNum);
        pArea->pPath = nullptr;
        MOS_MIT_CALL(pMit, rc, netCon_ChooseSendPathAndUnlock_CK);
        pMsg = netCon_MsgOfMit(pMit);
        pCon = netCon_OfMsg(pMsg);
        pArea = netMit_GetArea(pMit);
        if (pArea->pPath == nullptr) {
            MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "Send failed - no path is eligible.");
            netCon_SetMsgFlag(pMsg, NET_MSG_SND_FLAGS__SEND_ERROR);
            netCon_CountUnreachable(pCon);
            MOS_MIT_RETURN(pMit, MOS_RC__NOT_CONN);
        }
        __atomic_add_fetch(&pCon->sendMsg, 1, __ATOMIC_RELAXED);
        pArea->pIov = &pMsg->msgSnd.rpcReq.iov;
        pArea->sockArea.pSock = &pArea->pPath->sock;
        MOS_MIT_CALL(pMit, rc, netPath_Send_CK);
        pMsg = netCon_MsgOfMit(pMit);
        pCon = netCon_OfMsg(pMsg);
        pArea = netMit_GetArea(pMit);
        if (rc != MOS_RC__SUCCESS) {
            netPath_MarkAsErrorIfNeeded(pArea->pPath);
            pArea->mitFlags |= NET_MIT_FLAGS__RETRY;
            MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "Send failed on path %p (%s), %d attempts left",
                      (void *)pArea->pPath, mosRc_GetStr(rc), (int)pArea->msgSendAttempts - 1);
        }
        netCon_ReleasePath(pMsg, pCon);
        if ((pArea->mitFlags & NET_MIT_FLAGS__RETRY) == 0)
            MOS_MIT_RETURN(pMit, rc);
        if (pArea->msgSendAttempts < 2) {
            mosDiagCounters_CountExt(MOS_DIAG_COUNTER__CON_SND_MSG_ABORTED, pCon->conId);
            MOS_MIT_RETURN(pMit, MOS_RC__NOT_CONN);
        }
        pArea->mitFlags &= (UINT8)~NET_MIT_FLAGS__RETRY;
        pArea->msgSendAttempts--;
        mosFastlockBase_Acquire(&pCon->conFastlock);
    }
    MOS_MIT_END(pMit);
}

Mos_RC netCon_ChooseSendPathAndUnlock_CK(MosMit *pMit, Mos_RC rc)
{
    NetRpcMsg *pMsg = netCon_MsgOfMit(pMit);
    NetCon *pCon = netCon_OfMsg(pMsg);
    Net_MitArea *pArea = netMit_GetArea(pMit);
    MOS_MIT_BEGIN(pMit);
    if (net_GetMsgSchedType(pCon->pNet) >= NET_MSG_SCHED_METHOD__LAST)
        MOS_ERROR(MOS_COMP_NET, "ERROR: ASSERT condition (%s) failed.",
                  "pCon->pNet->netMsgSchedType < NET_MSG_SCHED_METHOD__LAST");
    if (net_GetMsgSchedType(pCon->pNet) == NET_MSG_SCHED_METHOD__LINEAR_SEARCH) {
        pArea->pPath = netCon_LinearChoosePath(pCon);
        mosFastlockBase_Release(&pCon->conFastlock);
    } else if (netCon_TakeWaitingPath(pCon, pArea)) {
        mosFastlockBase_Release(&pCon->conFastlock);
    } else {
        MOS_MIT_WAIT(pMit, rc, FALSE, netCon_QueueAndUnlock(netCon_OfMsg(netCon_MsgOfMit(pMit)), netCon_MsgOfMit(pMit)));
        pMsg = netCon_MsgOfMit(pMit);
        pArea = netMit_GetArea(pMit);
    }
    if (pArea->pPath == nullptr)
        MOS_MIT_RETURN(pMit, MOS_RC__NOT_CONN);
    netCon_SetMsgFlag(pMsg, NET_MSG_SND_FLAGS__PICKED_BY_SOCKET);
    __atomic_add_fetch(&pArea->pPath->inflightSends, 1, __ATOMIC_ACQ_REL);
    MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
    MOS_MIT_END(pMit);
}

NetPath *netCon_LinearChoosePath(NetCon *pCon)
{
    UINT32 numPortals = 0;
    while (numPortals < NET_CON__MAX_NUM_OF_IP_PER_HOST && pCon->pPortalsArr[numPortals] != nullptr)
        numPortals++;
    NetPath *pBest = nullptr;
    NetPortal *pBestPortal = nullptr;
    for (UINT32 i = 0; i < numPortals; i++) {
        NetPortal *pPortal = pCon->pPortalsArr[(pCon->chooseConPortalIdx + i) % numPortals];
        UINT32 numPaths = 0;
        while (numPaths < NET_CON__MAX_NUM_OF_SOCKETS_PER_IP && pPortal->pPathsArr[numPaths] != nullptr)
            numPaths++;
        for (UINT32 j = 0; j < numPaths; j++) {
            NetPath *pPath = pPortal->pPathsArr[(pPortal->chooseConPortalPathIdx + j) % numPaths];
            if (!__atomic_load_n(&pPath->bConnected, __ATOMIC_ACQUIRE))
                continue;
            if (pBest == nullptr || __atomic_load_n(&pPath->inflightSends, __ATOMIC_ACQUIRE) <
                                        __atomic_load_n(&pBest->inflightSends, __ATOMIC_ACQUIRE)) {
                pBest = pPath;
                pBestPortal = pPortal;
            }
        }
    }
    if (pBest == nullptr)
        return nullptr;
    pBestPortal->chooseConPortalPathIdx = (UINT8)((pBestPortal->chooseConPortalPathIdx + 1) % 8);
    pCon->chooseConPortalIdx = (UINT8)((pCon->chooseConPortalIdx + 1) % 8);
    netPath_IncreaseRefCount(pBest);
    MOS_TRACE(MOS_COMP_NET, MOS_FREQ_HIGH, "Path %p of Portal %p chosen", (void *)pBest, (void *)pBestPortal);
    return pBest;
}

void netCon_AbortWaitingSend(NetCon *pCon, NetRpcMsg *pMsg)
{
    MosMit *pMit = netMit_GetMit(&pMsg->msgSnd.mit);
    MosFastlockGuard guard(&pCon->conFastlock);
    MosDList_Node *pNode = &pMsg->msgSnd.sndMsgNode.msgListNode;
    if (mosDList_IsLinked(pNode)) {
        mosDList_Remove(netMit_GetImportance(&pMsg->msgSnd.mit) ? &pCon->prioritizedMsgQueue : &pCon->msgQueue,
                        pNode);
        mosMit_Resume(pMit, MOS_RC__ABORTED);
        return;
    }
    // A task is on a condition's list only while it waits there: look for it rather than trust
    // its scratch area, which still names a condition it was already woken from.
    for (MosMitCond *pCond : {&pCon->conMsgWaiters, &pCon->privilegedCond}) {
        for (MosDList_Node *p = pCond->waiters.pFirst; p != nullptr && p != MOS_DLIST__LAST_NODE; p = p->pNext) {
            if (p == &pMit->node) {
                mosMitCond_SignalWaiter(pCond, pMit, MOS_RC__ABORTED);
                return;
            }
        }
    }
}
