// A path's receive and send loops, the reading and dropping of payloads and the writing of frames.
#include <cstring>

#include "mos/mit/mos_mit_mempool.h"
#include "mos/mos_dbg.h"
#include "mos/mos_diag_counters.h"
#include "mos/usr/mos_net.h"
#include "net/net.h"
#include "net/net_con.h"
#include "net/net_path_intrn.h"
#include "net/net_path_mgr.h"

namespace {
// The frame as written: the head in front of the caller's payload list, which stays as it was.
struct NetPath_Wire {
    NetSmallIov wire;
    NetSmallIov *pCallerIov;
};

UINT32 netPath_MaxDataLen(const NetPath *pPath)
{
    return (UINT32)MOS_MIN(net_GetConf(pPath->pNet)->maxDataLen, (UINT64)UINT32_MAX);
}

Mos_RC netPath_Yield(MosMit *pMit)
{
    mosMit_Resume(pMit, MOS_RC__SUCCESS);
    return MOS_RC__PENDING;
}

void netPath_ApplyConfIfChanged(NetPath *pPath)
{
    const UINT8 gen = net_GetConfGeneration(pPath->pNet);
    if (gen == pPath->netConfGeneration)
        return;
    pPath->netConfGeneration = gen;
    netSocket_ApplyNetConfiguration(&pPath->sock);
}

// Frames left to read before the loop yields; the first batch is one frame shorter.
BOOL netPath_BatchUsedUp(NetPath *pPath)
{
    const UINT64 breakLoop = net_GetConf(pPath->pNet)->breakRcvLoop;
    if (breakLoop == 0)
        return FALSE;
    if (pPath->rcvBatch == 0) {
        pPath->rcvBatch = (UINT32)breakLoop;
        return TRUE;
    }
    pPath->rcvBatch--;
    return FALSE;
}

void netPath_ReleaseFrameBuffers(NetPath *pPath, UINT32 grpID)
{
    if (!NET_IOV__IS_EMPTY(&pPath->rcvIov))
        netPathMgr_ReleaseBufferForRecv(pPath, grpID, &pPath->rcvIov);
    NET_IOV__RESET(&pPath->rcvIov);
}

void netPath_FillRpcData(NetPath *pPath, const Socket_Header *pHead, NetRpcData *pData)
{
    memset(static_cast<void *>(pData), 0, sizeof(*pData));
    NET_IOV__INIT(&pData->iov);
    pData->grpId = pHead->grpID;
    pData->context = pHead->context;
    netIov_Copy(&pData->iov, &pPath->rcvIov);
    pData->recvChanNum = pHead->chanNum;
    pData->bOriginatedInLocalHost = netAddress_IsLocalHost(netPath_GetPeerAddr(pPath));
    pData->recvSecMode = pPath->sock.secSocket.secMode;
    NetCon *pCon = netPath_GetCon(pPath);
    pData->senderVersion = pCon != nullptr ? netCon_GetPeerVersionNoWait(pCon) : NET_PATH__UNKNOWN_VERSION;
}

// What the receive loop does with a valid head.
enum NetPath_FrameAction : UINT32 {
    NET_PATH_FRAME__DELIVER = 0,
    NET_PATH_FRAME__DROP = 1,
    NET_PATH_FRAME__END = 2,
};

NetPath_FrameAction netPath_ClassifyFrame(NetPath *pPath, const Socket_Header *pHead)
{
    const UINT32 type = SOCKET_HEADER__GET_HEADER_TYPE(pHead->prop);
    switch (type) {
    case SOCKET_HEADER_TYPE__NEW_CON:
        NET_PATH_ERROR(pPath, "received unexpected connect request");
        netPath_CountDiag(pPath, MOS_DIAG_COUNTER__RECEIVED_ILLEGAL_HEADER);
        return NET_PATH_FRAME__END;
    case SOCKET_HEADER_TYPE__KEEPALIVE:
        if (!netPath_SetOrValidatePeerIdAndVersion(pPath, pHead)) {
            NET_PATH_TRACE(pPath, MOS_FREQ_LOW, "WARNING: failed Peer ID validation");
            return NET_PATH_FRAME__END;
        }
        return NET_PATH_FRAME__DROP;
    case SOCKET_HEADER_TYPE__SND_RCV:
    case SOCKET_HEADER_TYPE__SND_RCV_CB:
        NET_PATH_TRACE(pPath, MOS_FREQ_HIGH, "msgID %d, grpID %d", (int)pHead->msgID, (int)pHead->grpID);
        return pHead->grpID == NET__RECV_GROUP__KA ? NET_PATH_FRAME__DROP : NET_PATH_FRAME__DELIVER;
    case SOCKET_HEADER_TYPE__NOTIF:
        return NET_PATH_FRAME__DELIVER;
    default:
        NET_PATH_ERROR(pPath, "received unexpected header type %d. Owner %dLength %d. Ext-length %d", (int)type,
                       (int)SOCKET_HEADER__GET_OWNER_TYPE(pHead->prop), (int)pHead->dataLen,
                       (int)pHead->dataLenInExt);
        netPath_CountDiag(pPath, MOS_DIAG_COUNTER__RECEIVED_ILLEGAL_HEADER);
        return NET_PATH_FRAME__DROP;
    }
}

void netPath_StartSendLoop(NetPath *pPath)
{
    MOS_ASSERT(!pPath->bSndMitActive);
    netMit_InitEx(&pPath->sndMit, net_GetWorkerMitSched(pPath->pNet), pPath->pNet, netPath_DecreaseRefCountMitDtor,
                  FALSE, TRUE);
    pPath->sndMit.area.pPath = pPath;
    pPath->sndMit.area.sockArea.pSock = &pPath->sock;
    netPath_IncreaseRefCount(pPath);
    NetCon *pCon = netPath_GetCon(pPath);
    {
        MosFastlockGuard guard(&pCon->conFastlock);
        pPath->bSndMitActive = TRUE;
    }
    mosMit_Start(netMit_GetMit(&pPath->sndMit), netPath_SendLoop_CK);
}

void netPath_StopSendLoop(NetPath *pPath)
{
    NetCon *pCon = netPath_GetCon(pPath);
    MosFastlockGuard guard(&pCon->conFastlock);
    pPath->bSndMitActive = FALSE;
    mosMitCond_Broadcast(&pCon->senderCond, MOS_RC__ABORTED);
}

Mos_RC netPath_ResumeMsgAndPend(MosMit *pMsgMit)
{
    mosMit_Resume(pMsgMit, MOS_RC__SUCCESS);
    return MOS_RC__PENDING;
}
} // namespace

UINT32 netPath_PayloadAfterHead(const Socket_Header *pHead)
{
    if (socketHeader_IsControlType(SOCKET_HEADER__GET_HEADER_TYPE(pHead->prop)))
        return 0;
    MOS_ASSERT(pHead->dataLen >= pHead->dataLenInExt);
    return pHead->dataLen - pHead->dataLenInExt;
}

UINT32 netPath_PrepareRestOfPayload(const Socket_ExtendedHeader *pHead, NetSmallIov *pRcv, NetSmallIov *pRest)
{
    const UINT32 inHead = socketHeader_ScatterInHeadData(pHead, pRcv);
    const UINT32 rest = pHead->header.dataLen - inHead;
    if (rest != 0)
        netIov_PrepareNewIov(pRest, pRcv, inHead, rest);
    return rest;
}

Mos_RC netPath_ReadHead_CK(MosMit *pMit, Mos_RC rc)
{
    NetPath *pPath = netPath_OfMit(pMit);
    Net_MitArea *pArea = netMit_GetArea(pMit);
    MOS_MIT_BEGIN(pMit);
    NET_IOV__RESET(&pPath->ctrlIov);
    netIov_AddBuffer(&pPath->ctrlIov, &pArea->extHeader, sizeof(pArea->extHeader), NET_IOV_BUF_TYPE__USER_FIRST);
    pArea->pIov = &pPath->ctrlIov;
    pArea->sockArea.pSock = &pPath->sock;
    MOS_MIT_CALL(pMit, rc, netSock_Recv_CK);
    pPath = netPath_OfMit(pMit);
    pArea = netMit_GetArea(pMit);
    pArea->pIov = &pPath->rcvIov;
    if (rc != MOS_RC__SUCCESS) {
        NET_PATH_TRACE(pPath, MOS_FREQ_MED, "Failed to receive");
        MOS_MIT_RETURN(pMit, MOS_RC__ERROR);
    }
    if (!netPath_IsHeaderValid(&pArea->extHeader.header, netPath_MaxDataLen(pPath))) {
        NET_PATH_TRACE(pPath, MOS_FREQ_LOW, "WARNING: received corrupt header.Length %d. Ext-length %d",
                       (int)pArea->extHeader.header.dataLen, (int)pArea->extHeader.header.dataLenInExt);
        netPath_CountDiag(pPath, MOS_DIAG_COUNTER__RECEIVED_ILLEGAL_HEADER);
        MOS_MIT_RETURN(pMit, MOS_RC__ILLEGAL);
    }
    MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
    MOS_MIT_END(pMit);
}

Mos_RC netPath_RcvLoop_CK(MosMit *pMit, Mos_RC rc)
{
    NetPath *pPath = netPath_OfMit(pMit);
    Socket_Header *pHead = netPath_HeadOfMit(pMit);
    MOS_MIT_BEGIN(pMit);
    netPath_StartSendLoop(pPath);
    pPath->rcvBatch = 0;
    netPath_BatchUsedUp(pPath); // the first batch is one frame shorter
    for (;;) {
        netPath_ApplyConfIfChanged(pPath);
        if (netPath_BatchUsedUp(pPath)) {
            MOS_MIT_WAIT(pMit, rc, FALSE, netPath_Yield(pMit));
            pPath = netPath_OfMit(pMit);
        }
        MOS_MIT_CALL(pMit, rc, netPath_ReadHead_CK);
        pPath = netPath_OfMit(pMit);
        pHead = netPath_HeadOfMit(pMit);
        if (rc != MOS_RC__SUCCESS) {
            NET_PATH_TRACE(pPath, MOS_FREQ_MED, "receive loop ended, Status %s", mosRc_GetStr(rc));
            break;
        }
        {
            const UINT32 type = SOCKET_HEADER__GET_HEADER_TYPE(pHead->prop);
            pPath->dataToDrop = netPath_PayloadAfterHead(pHead);
            NET_PATH_TRACE(pPath, MOS_FREQ_HIGH, "received header type %x. Owner %d Length %d. Ext-length %d", type,
                           (int)SOCKET_HEADER__GET_OWNER_TYPE(pHead->prop), (int)pHead->dataLen,
                           (int)pHead->dataLenInExt);
            const NetPath_FrameAction action = netPath_ClassifyFrame(pPath, pHead);
            if (action == NET_PATH_FRAME__END)
                break;
            if (action == NET_PATH_FRAME__DROP)
                goto drop;
        }
        if (!netCon_IsGroupIdValid(netPath_GetCon(pPath), pHead->grpID)) {
            NET_PATH_TRACE(pPath, MOS_FREQ_LOW, "WARNING: Bad receive group %u noticed. Context %u", pHead->grpID,
                           pHead->context);
            netPath_CountDiag(pPath, MOS_DIAG_COUNTER__RECEIVED_ILLEGAL_HEADER);
            goto drop;
        }
        MOS_MIT_CALL(pMit, rc, netPathMgr_AllocBufferForRecv_CK);
        pPath = netPath_OfMit(pMit);
        pHead = netPath_HeadOfMit(pMit);
        if (rc != MOS_RC__SUCCESS) {
            NET_PATH_TRACE(pPath, MOS_FREQ_MED, "failed to allocate receive buffer. Status %s", mosRc_GetStr(rc));
            netPath_CountDiag(pPath, MOS_DIAG_COUNTER__FAILED_TO_ALLOC_RCV_BUFFER);
            net_OnRcvBufferAllocFailure(pPath->pNet);
            goto drop;
        }
        MOS_MIT_CALL(pMit, rc, netPath_ReadAppData_CK);
        pPath = netPath_OfMit(pMit);
        pHead = netPath_HeadOfMit(pMit);
        if (rc != MOS_RC__SUCCESS) {
            NET_PATH_TRACE(pPath, MOS_FREQ_MED, "failed to receive application data (Size %d) Status %s",
                           (int)pHead->dataLen, mosRc_GetStr(rc));
            // The socket is failing: the next head read ends the loop.
            netPath_ReleaseFrameBuffers(pPath, pHead->grpID);
            continue;
        }
        MOS_MIT_CALL(pMit, rc, netPath_NotifyOnMsg_CK);
        continue;
    drop:
        pPath = netPath_OfMit(pMit);
        pHead = netPath_HeadOfMit(pMit);
        netPath_ReleaseFrameBuffers(pPath, pHead->grpID);
        MOS_MIT_CALL(pMit, rc, netPath_DropMsg_CK);
        if (rc != MOS_RC__SUCCESS) {
            NET_PATH_ERROR(netPath_OfMit(pMit), "failed to drop message");
            break;
        }
    }
    pPath = netPath_OfMit(pMit);
    netPath_StopSendLoop(pPath);
    NET_PATH_TRACE(pPath, MOS_FREQ_MED, "Signaled sender");
    MOS_MIT_WAIT(pMit, rc, FALSE, mosMit_Join(pMit, netMit_GetMit(&netPath_OfMit(pMit)->sndMit)));
    pPath = netPath_OfMit(pMit);
    netPath_CountDiag(pPath, MOS_DIAG_COUNTER__SOCKET_DOWN);
    if (netPath_GetCon(pPath) != nullptr)
        netCon_ReportOscEvent(NET_OSC_TYPE__SOCKET_DOWN, netPath_GetCon(pPath), netPath_GetPeerAddr(pPath));
    netPath_ResetPeerIdAndVersion(pPath);
    NET_PATH_TRACE(pPath, MOS_FREQ_MED, "receive loop ended");
    MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
    MOS_MIT_END(pMit);
}

// The payload's first dataLenInExt bytes arrived in the head; they are scattered across the
// consumer's buffers (however short the first one is) and the rest is read after them.
Mos_RC netPath_ReadAppData_CK(MosMit *pMit, Mos_RC rc)
{
    NetPath *pPath = netPath_OfMit(pMit);
    Net_MitArea *pArea = netMit_GetArea(pMit);
    MOS_MIT_BEGIN(pMit);
    if (pArea->extHeader.header.dataLen == 0)
        MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
    MOS_ASSERT(!NET_IOV__IS_EMPTY(&pPath->rcvIov));
    MOS_ASSERT(!socketHeader_IsControlType(SOCKET_HEADER__GET_HEADER_TYPE(pArea->extHeader.header.prop)));
    NET_IOV__RESET(&pPath->ctrlIov);
    if (netPath_PrepareRestOfPayload(&pArea->extHeader, &pPath->rcvIov, &pPath->ctrlIov) == 0)
        MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
    pArea->pIov = &pPath->ctrlIov;
    pArea->sockArea.pSock = &pPath->sock;
    MOS_MIT_CALL(pMit, rc, netSock_Recv_CK);
    netMit_GetArea(pMit)->pIov = &netPath_OfMit(pMit)->rcvIov;
    if (rc == MOS_RC__SUCCESS)
        netPath_OfMit(pMit)->dataToDrop = 0;
    MOS_MIT_RETURN(pMit, rc);
    MOS_MIT_END(pMit);
}

Mos_RC netPath_DropMsg_CK(MosMit *pMit, Mos_RC rc)
{
    NetPath *pPath = netPath_OfMit(pMit);
    Net_MitArea *pArea = netMit_GetArea(pMit);
    MOS_MIT_BEGIN(pMit);
    if (SOCKET_HEADER__GET_HEADER_TYPE(pArea->extHeader.header.prop) != SOCKET_HEADER_TYPE__KEEPALIVE &&
        pArea->extHeader.header.grpID != NET__RECV_GROUP__KA)
        netPath_CountDiag(pPath, MOS_DIAG_COUNTER__DROPPED_REQUESTS);
    while (netPath_OfMit(pMit)->dataToDrop > 0) {
        pPath = netPath_OfMit(pMit);
        {
            UINT32 bufSize = 0;
            void *pBuf = netPathMgr_GetNullBuf(net_GetPathMgr(pPath->pNet), &bufSize);
            NET_IOV__RESET(&pPath->ctrlIov);
            netIov_AddBuffer(&pPath->ctrlIov, pBuf, MOS_MIN(pPath->dataToDrop, bufSize), NET_IOV_BUF_TYPE__USER_FIRST);
        }
        netMit_GetArea(pMit)->pIov = &pPath->ctrlIov;
        MOS_MIT_CALL(pMit, rc, netSock_Recv_CK);
        pPath = netPath_OfMit(pMit);
        netMit_GetArea(pMit)->pIov = &pPath->rcvIov;
        if (rc != MOS_RC__SUCCESS) {
            NET_PATH_TRACE(pPath, MOS_FREQ_MED, "Failed to receive");
            MOS_MIT_RETURN(pMit, rc);
        }
        pPath->dataToDrop -= NET_IOV__GET_SIZE(&pPath->ctrlIov);
    }
    MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
    MOS_MIT_END(pMit);
}

Mos_RC netPath_NotifyOnMsg_CK(MosMit *pMit, Mos_RC rc)
{
    NetPath *pPath = netPath_OfMit(pMit);
    Socket_Header *pHead = netPath_HeadOfMit(pMit);
    MOS_MIT_BEGIN(pMit);
    if (SOCKET_HEADER__GET_HEADER_TYPE(pHead->prop) == SOCKET_HEADER_TYPE__SND_RCV_CB) {
        NetRpcData data;
        netPath_FillRpcData(pPath, pHead, &data);
        if (!netCon_RecvRpcResp(netPath_GetCon(pPath), pHead->msgID, &data, netPath_GetPeerAddr(pPath))) {
            netIov_Destroy(&data.iov);
            netPath_ReleaseFrameBuffers(pPath, pHead->grpID);
            netPath_CountDiag(pPath, MOS_DIAG_COUNTER__DROPPED_REQUESTS);
        }
        NET_IOV__RESET(&pPath->rcvIov);
        MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
    }
    mosDList_InitNode(&pMit->scratch.mempool.poolReq.asyncObj.node);
    pMit->scratch.mempool.poolReq.asyncObj.pCK = mosMitMempool_CK;
    MOS_MIT_WAIT(pMit, rc, FALSE,
                 mosMemPool_Alloc(&netPath_OfMit(pMit)->pNet->recvMsgPool, nullptr,
                                  &pMit->scratch.mempool.poolReq, TRUE));
    pPath = netPath_OfMit(pMit);
    pHead = netPath_HeadOfMit(pMit);
    {
        NetMsgRcv *pRcv = static_cast<NetMsgRcv *>(mosMitMemPool_GetAllocRes(pMit));
        MOS_ASSERT(pRcv != nullptr);
        NetRpcData data;
        netPath_FillRpcData(pPath, pHead, &data);
        NetCon *pCon = netPath_GetCon(pPath);
        netMsgRcv_Init(pRcv, &data, (NetMsgType)SOCKET_HEADER__GET_HEADER_TYPE(pHead->prop), pHead->msgID,
                       netCon_GetHCon(pCon), pCon->pChan, pHead->chanNum, nullptr);
        netIov_Destroy(&data.iov);
        NET_IOV__RESET(&pPath->rcvIov);
        netCon_RecvMsg(pCon, pHead->grpID, pRcv);
    }
    MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
    MOS_MIT_END(pMit);
}

// The send loop lends the path to queued messages of the connection, one at a time; a message's
// task gives the path on to the next message or resumes this loop when done.
Mos_RC netPath_SendLoop_CK(MosMit *pMit, Mos_RC rc)
{
    NetPath *pPath = netPath_OfMit(pMit);
    NetCon *pCon = netPath_GetCon(pPath);
    MOS_MIT_BEGIN(pMit);
    mosFastlockBase_Acquire(&pCon->conFastlock);
    while (netPath_OfMit(pMit)->bSndMitActive && __atomic_load_n(&netPath_OfMit(pMit)->bConnected, __ATOMIC_ACQUIRE)) {
        pPath = netPath_OfMit(pMit);
        pCon = netPath_GetCon(pPath);
        netMit_GetArea(pMit)->pSample = netCon_FetchMsg(pCon);
        if (netMit_GetArea(pMit)->pSample == nullptr) {
            MOS_MIT_AWAIT(pMit, rc, mosMitCond_WaitIntf(pMit, &netPath_GetCon(netPath_OfMit(pMit))->senderCond,
                                                         &netPath_GetCon(netPath_OfMit(pMit))->conFastlock, 0));
            continue;
        }
        mosFastlockBase_Release(&pCon->conFastlock);
        {
            NetMsgSnd *pMsg = static_cast<NetMsgSnd *>(netMit_GetArea(pMit)->pSample);
            MOS_ASSERT(pMsg->mit.area.pPath == nullptr);
            pMsg->mit.area.pPath = pPath;
            netPath_IncreaseRefCount(pPath);
            netMit_GetArea(pMit)->pSample = netMit_GetMit(&pMsg->mit);
        }
        MOS_MIT_WAIT(pMit, rc, FALSE, netPath_ResumeMsgAndPend(static_cast<MosMit *>(netMit_GetArea(pMit)->pSample)));
        mosFastlockBase_Acquire(&netPath_GetCon(netPath_OfMit(pMit))->conFastlock);
    }
    mosFastlockBase_Release(&netPath_GetCon(netPath_OfMit(pMit))->conFastlock);
    MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
    MOS_MIT_END(pMit);
}

Mos_RC netPath_Send_CK(MosMit *pMit, Mos_RC rc)
{
    NetPath *pPath = netPath_OfMit(pMit);
    Net_MitArea *pArea = netMit_GetArea(pMit);
    MOS_MIT_BEGIN(pMit);
    // The frame goes out on a list of its own: the path's control list belongs to its receive
    // loop, which may be reading a head into it right now.
    {
        NetPath_Wire *pWire = new NetPath_Wire;
        NET_IOV__INIT(&pWire->wire);
        pWire->pCallerIov = pArea->pIov;
        const Mos_RC prepRc =
            socketHeader_PrepareWire(&pArea->extHeader, pArea->pIov, &pWire->wire, netPath_MaxDataLen(pPath));
        NET_PATH_TRACE(pPath, MOS_FREQ_HIGH,
                       "sending message. Channel %d, msgID %d, length %d, extended-length %d, group ID %d, context %d "
                       "properties %d",
                       (int)pArea->extHeader.header.chanNum, (int)pArea->extHeader.header.msgID,
                       (int)pArea->extHeader.header.dataLen, (int)pArea->extHeader.header.dataLenInExt,
                       (int)pArea->extHeader.header.grpID, (int)pArea->extHeader.header.context,
                       (int)pArea->extHeader.header.prop);
        if (prepRc != MOS_RC__SUCCESS) {
            netIov_Destroy(&pWire->wire);
            delete pWire;
            MOS_MIT_RETURN(pMit, prepRc);
        }
        pArea->pIov = &pWire->wire;
    }
    pArea->sockArea.pSock = &pPath->sock;
    MOS_MIT_CALL(pMit, rc, netSock_Send_CK);
    pPath = netPath_OfMit(pMit);
    pArea = netMit_GetArea(pMit);
    if (rc != MOS_RC__SUCCESS) {
        if (netPath_GetCon(pPath) != nullptr)
            netCon_ReportOscEvent(NET_OSC_TYPE__IO_ERROR, netPath_GetCon(pPath), netPath_GetPeerAddr(pPath));
        netPath_CountDiag(pPath, MOS_DIAG_COUNTER__SND_ERR);
    }
    {
        NetPath_Wire *pWire = MOS_CONTAINER_OF(pArea->pIov, NetPath_Wire, wire);
        pArea->pIov = pWire->pCallerIov;
        netIov_Destroy(&pWire->wire);
        delete pWire;
    }
    MOS_MIT_RETURN(pMit, rc);
    MOS_MIT_END(pMit);
}

Mos_RC netPath_SendMsg_CK(MosMit *pMit, Mos_RC rc)
{
    NetPath *pPath = netPath_OfMit(pMit);
    Net_MitArea *pArea = netMit_GetArea(pMit);
    MOS_MIT_BEGIN(pMit);
    {
        NetSmallIov *pIov = pArea->pIov == &pPath->rcvIov || pArea->pIov == nullptr ? &pPath->ctrlIov : pArea->pIov;
        NET_IOV__RESET(pIov);
        socketHeader_PrepareControlWire(&pArea->extHeader, pIov);
        pArea->pIov = pIov;
    }
    pArea->sockArea.pSock = &pPath->sock;
    MOS_MIT_CALL(pMit, rc, netSock_Send_CK);
    if (rc != MOS_RC__SUCCESS)
        NET_PATH_ERROR(netPath_OfMit(pMit), "Failed to send message (%s)", mosRc_GetStr(rc));
    MOS_MIT_RETURN(pMit, rc);
    MOS_MIT_END(pMit);
}
