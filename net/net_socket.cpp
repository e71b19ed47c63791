#include "net/net_socket.h"

#include <sys/socket.h>

#include <cerrno>
#include <cstring>

#include "mos/mos_dbg.h"
#include "mos/mos_trace.h"
#include "mos/usr/mos_net.h"
#include "net/net_root.h"
#include "net/net_mit.h"

enum : MosContentionId {
    NET_SOCKET__SEND_LOCK_ID = 320,
    NET_SOCKET__RCV_LOCK_ID = 321,
};

namespace {
inline NetSocket *netSocket_OfReg(NetPoll_RegFd *pReg)
{
    return MOS_CONTAINER_OF(pReg, NetSocket, pollReg);
}

inline NetPoll *netSocket_Poll(NetSocket *pSock)
{
    return net_GetPoll(pSock->pNet);
}

inline NetSocket_Direction *netSocket_Dir(NetSocket *pSock, BOOL bRecv)
{
    return &pSock->os.directions[bRecv ? NET_SOCKET_DIRECTION_VAL__RCV : NET_SOCKET_DIRECTION_VAL__SEND];
}

inline NetSocket_DirectionStat *netSocket_Stat(NetSocket *pSock, BOOL bRecv)
{
    return &pSock->dirStat[bRecv ? NET_SOCKET_DIRECTION_VAL__RCV : NET_SOCKET_DIRECTION_VAL__SEND];
}

inline UINT64 netSocket_ReadyID(const NetSocket_Direction *pDir)
{
    return __atomic_load_n(&pDir->readyID, __ATOMIC_ACQUIRE);
}

inline void netSocket_BumpReadyID(NetSocket_Direction *pDir)
{
    __atomic_add_fetch(&pDir->readyID, 1, __ATOMIC_RELEASE);
}

inline SocketState netSocket_State(const NetSocket *pSock)
{
    return __atomic_load_n(&pSock->state, __ATOMIC_ACQUIRE);
}

inline void netSocket_SetState(NetSocket *pSock, SocketState state)
{
    __atomic_store_n(&pSock->state, state, __ATOMIC_RELEASE);
}

void netSocket_Register(NetSocket *pSock, PNetPoll_EventCK pWriteCK)
{
    netPollRegFD_Init(&pSock->pollReg, pSock->socket, netSocket_UnregDoneEvt, netSocket_ReadEvt, pWriteCK,
                      netSocket_ErrorEvt);
    netPoll_AddSocket(netSocket_Poll(pSock), &pSock->pollReg);
}

// Closes a descriptor whose removal from the poll was confirmed.
void netSocket_CloseDescriptor(NetSocket *pSock)
{
    osNet_Close(pSock->socket);
    pSock->socket = MOS_NET__INVALID_SOCKET;
    netSocket_SetState(pSock, SOCKET_STATE__INIT);
}

// The part of the task's list from offsetInReq on, as one iovec array headed by the net buffer.
int netSock_BuildVector(const NetSmallIov *pIov, UINT32 offset, struct iovec *pOut)
{
    const NetIovBuf *pFirst = pIov->numOfNetBufs != 0 ? pIov->netBuf : pIov->buf;
    const UINT32 count = pIov->numOfNetBufs + pIov->numOfUsedBuffers;
    int n = 0;
    for (UINT32 i = 0; i < count; i++) {
        const size_t len = pFirst[i].iov_len;
        if (offset >= len) {
            offset -= (UINT32)len;
            continue;
        }
        pOut[n].iov_base = static_cast<char *>(pFirst[i].iov_base) + offset;
        pOut[n].iov_len = len - offset;
        offset = 0;
        n++;
    }
    return n;
}

Mos_RC netSock_Transfer(NetSocket *pSock, NetSocket_MitArea *pSA, const NetSmallIov *pIov, size_t *pBytes)
{
    struct iovec vec[NET_IOV__LARGE_SLOTS];
    const int count = netSock_BuildVector(pIov, pSA->offsetInReq, vec);
    const UINT32 left = pIov->totalSizeOfData - pSA->offsetInReq;
    MOS_TRACE(MOS_COMP_NET, MOS_FREQ_HIGH, "Socket %p (%d) %s %d bytes", (void *)pSock, pSock->socket,
              pSA->bRecv ? "receiving" : "sending", (int)left);
    Mos_RC rc = pSA->bRecv ? osNet_RecvV(pSock->socket, vec, count, pBytes)
                           : osNet_SendV(pSock->socket, vec, count, pBytes);
    netSocket_Stat(pSock, pSA->bRecv)->numCalls++;
    MOS_TRACE(MOS_COMP_NET, MOS_FREQ_HIGH, "Socket %p (%d) %s %d bytes. Status %s", (void *)pSock, pSock->socket,
              pSA->bRecv ? "received" : "sent", (int)*pBytes, mosRc_GetStr(rc));
    return rc;
}

// Finishing a transfer: where a partial receive ended, and a fresh offset for the next one.
Mos_RC netSock_EndIO(NetSocket_MitArea *pSA, Mos_RC rc)
{
    if (pSA->bPartialRecv)
        pSA->partialRecvOffset = pSA->offsetInReq;
    pSA->offsetInReq = 0;
    return rc;
}

// Counts moved bytes; TRUE when the transfer is complete.
BOOL netSock_Account(NetSocket *pSock, NetSocket_MitArea *pSA, const NetSmallIov *pIov, size_t bytes)
{
    if (bytes == 0)
        return FALSE;
    MOS_ASSERT(bytes <= (size_t)(pIov->totalSizeOfData - pSA->offsetInReq));
    mosStat_AddValue(&netSocket_Stat(pSock, pSA->bRecv)->totalBytes, bytes);
    pSA->offsetInReq += (UINT32)bytes;
    const BOOL bDone = pSA->offsetInReq == pIov->totalSizeOfData || (pSA->bRecv && pSA->bPartialRecv);
    if (bDone)
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_HIGH, "Socket %p (%d) finished %s %s %d bytes", (void *)pSock,
                  pSock->socket, pSA->bRecv && pSA->bPartialRecv ? "partial" : "",
                  pSA->bRecv ? "receiving" : "sending", (int)pSA->offsetInReq);
    return bDone;
}

// Gives up the thread for a while: the task is queued again through its own scheduler.
Mos_RC netSock_Reschedule(MosMit *pMit)
{
    mosMit_Resume(pMit, MOS_RC__SUCCESS);
    return MOS_RC__PENDING;
}

Mos_RC netSock_ReleaseAndPend(MosFastlock_Base *pLock)
{
    mosFastlockBase_Release(pLock);
    return MOS_RC__PENDING;
}

// Moves the task's whole list in the direction bRecv names, waiting for readiness as needed.
Mos_RC netSock_DoIO(MosMit *pMit, Mos_RC rc)
{
    Net_MitArea *pArea = netMit_GetArea(pMit);
    NetSocket_MitArea *pSA = &pArea->sockArea;
    NetSocket *pSock = pSA->pSock;
    NetSocket_Direction *pDir = netSocket_Dir(pSock, pSA->bRecv);
    const UINT64 breakLoop = net_GetConf(pSock->pNet)->breakDoIOLoop;
    MOS_MIT_BEGIN(pMit);
    if (netSocket_State(pSock) != SOCKET_STATE__CONNECTED)
        MOS_MIT_RETURN(pMit, netSock_EndIO(pSA, MOS_RC__NOT_CONN));
    MOS_ASSERT(pArea->pIov->totalSizeOfData != 0);
    pSA->callsSinceYield = 0;
    for (;;) {
        pSA->readySnapshot = netSocket_ReadyID(pDir);
        for (;;) {
            if (breakLoop != 0 && pSA->callsSinceYield >= breakLoop) {
                pSA->callsSinceYield = 0;
                MOS_MIT_WAIT(pMit, rc, FALSE, netSock_Reschedule(pMit));
            }
            pSA->callsSinceYield++;
            {
                size_t bytes = 0;
                const Mos_RC ioRc = netSock_Transfer(pSock, pSA, pArea->pIov, &bytes);
                if (ioRc == MOS_RC__SUCCESS && bytes == 0 && pSA->bRecv) {
                    MOS_TRACE(MOS_COMP_NET, MOS_FREQ_MED, "Socket %p (%d) received 0 bytes, considered error",
                              (void *)pSock, pSock->socket);
                    MOS_MIT_RETURN(pMit, netSock_EndIO(pSA, MOS_RC__NOT_CONN));
                }
                if (ioRc != MOS_RC__SUCCESS && ioRc != MOS_RC__NOT_READY) {
                    netSocket_Stat(pSock, pSA->bRecv)->numFailures++;
                    MOS_MIT_RETURN(pMit, netSock_EndIO(pSA, MOS_RC__NOT_CONN));
                }
                if (netSock_Account(pSock, pSA, pArea->pIov, bytes))
                    MOS_MIT_RETURN(pMit, netSock_EndIO(pSA, MOS_RC__SUCCESS));
                if (ioRc == MOS_RC__NOT_READY)
                    break;
            }
        }
        // The kernel would block.
        if (!pSA->bRecv) {
            netPollRegFd_SetTriggers(netSocket_Poll(pSock), &pSock->pollReg, TRUE, TRUE, TRUE);
            MOS_TRACE(MOS_COMP_NET, MOS_FREQ_HIGH, "Socket send blocking conditions");
        } else if (pSock->os.quickAck != 0) {
            osNet_SetSockOpt_QuickAck(pSock->socket, (int)pSock->os.quickAck);
        }
        netSocket_Stat(pSock, pSA->bRecv)->brokenOps++;
        mosFastlockBase_Acquire(&pDir->lock);
        if (netSocket_ReadyID(pDir) != pSA->readySnapshot) {
            mosFastlockBase_Release(&pDir->lock);
            continue;
        }
        if (netSocket_State(pSock) != SOCKET_STATE__CONNECTED) {
            mosFastlockBase_Release(&pDir->lock);
            MOS_MIT_RETURN(pMit, netSock_EndIO(pSA, MOS_RC__NOT_CONN));
        }
        netSocket_Stat(pSock, pSA->bRecv)->condWaitStatus = 1;
        MOS_MIT_COND_WAIT(pMit, rc, &pDir->cond, &pDir->lock, 0);
        netSocket_Stat(pSock, pSA->bRecv)->condWaitStatus = 0;
        mosFastlockBase_Release(&pDir->lock);
        if (rc != MOS_RC__SUCCESS)
            MOS_MIT_RETURN(pMit, netSock_EndIO(pSA, rc));
    }
    MOS_MIT_END(pMit);
}

// The connect failed: the descriptor leaves the poll, is closed, and the socket is INIT again.
// Entered with the send lock held.
Mos_RC netSock_ConnectFail_CK(MosMit *pMit, Mos_RC rc)
{
    NetSocket *pSock = netMit_GetArea(pMit)->sockArea.pSock;
    MOS_MIT_BEGIN(pMit);
    mosFastlockBase_Release(&netSocket_GetSend(pSock)->lock);
    pSock->pUnregMit = pMit;
    MOS_MIT_WAIT(pMit, rc, FALSE, netPoll_RemSocket(netSocket_Poll(pSock), &pSock->pollReg));
    netSocket_CloseDescriptor(pSock);
    MOS_MIT_RETURN(pMit, MOS_RC__NOT_CONN);
    MOS_MIT_END(pMit);
}
} // namespace

void netSocket_Create(NetSocket *pSock, Net *pNet, const NetAddress *pAddr, NetSocketRole role)
{
    memset(static_cast<void *>(pSock), 0, sizeof(*pSock));
    MOS_TRACE(MOS_COMP_NET, MOS_FREQ_HIGH, "Socket (%p) with type %d", (void *)pSock, (int)role);
    pSock->state = SOCKET_STATE__INIT;
    pSock->socket = MOS_NET__INVALID_SOCKET;
    pSock->type = role;
    pSock->pNet = pNet;
    netAddress_Init(&pSock->addr);
    if (pAddr != nullptr && netAddress_IsValid(pAddr))
        pSock->addr = *pAddr;
    for (UINT32 d = 0; d < NET_SOCKET_DIRECTION_VAL__LAST; d++) {
        MOS_FASTLOCK_CREATE(&pSock->os.directions[d].lock,
                            d == NET_SOCKET_DIRECTION_VAL__SEND ? NET_SOCKET__SEND_LOCK_ID : NET_SOCKET__RCV_LOCK_ID);
        mosMitCond_Init(&pSock->os.directions[d].cond);
        mosStat_InitEx(&pSock->dirStat[d].totalBytes, FALSE);
    }
    mosDList_InitAnchor(&pSock->os.sendList.mitList);
    mosMitCond_Init(&pSock->os.sendList.stopCond);
    pSock->os.quickAck = (UINT32)net_GetConf(pNet)->quickAck;
    netSec_InitSocket(&pSock->secSocket);
}

void netSocket_PrepSock(NetSocket *pSock, NetSocketType sockType)
{
    osNet_ChangeBlockMode(pSock->socket, TRUE);
    osNet_SetSockOpt_NoDelay(pSock->socket);
    osNet_SetSockOpt_Linger(pSock->socket);
    netSocket_ApplyNetConfiguration(pSock);
    if (sockType == NET_SOCKET_TYPE__IPV6 && pSock->type == SOCKET_ROLE__LISTEN)
        osNet_SetSockOpt_NoIpv6Only(pSock->socket);
}

void netSocket_ApplyNetConfiguration(NetSocket *pSock)
{
    const NetConfParam *pConf = net_GetConf(pSock->pNet);
    if (pConf->recvBufferInKb != 0)
        netSocket_SetRcvBufSize(pSock, (UINT32)pConf->recvBufferInKb);
    if (pConf->sendBufferInKb != 0)
        netSocket_SetSndBufSize(pSock, (UINT32)pConf->sendBufferInKb);
    if (pConf->bUseLoopbackFastpath)
        osNet_SetSockOpt_LoopbackFastPath(pSock->socket);
}

void netSocket_SetRcvBufSize(NetSocket *pSock, UINT32 sizeInKb)
{
    osNet_SetSockOpt_RcvBuf(pSock->socket, (int)(sizeInKb * 1024u));
}

void netSocket_SetSndBufSize(NetSocket *pSock, UINT32 sizeInKb)
{
    osNet_SetSockOpt_SndBuf(pSock->socket, (int)(sizeInKb * 1024u));
}

UINT32 netSocket_GetRcvBufSizeInBs(NetSocket *pSock)
{
    return (UINT32)osNet_GetSockOpt_RcvBuf(pSock->socket);
}

UINT32 netSocket_GetSndBufSizeInBs(NetSocket *pSock)
{
    return (UINT32)osNet_GetSockOpt_SndBuf(pSock->socket);
}

Mos_RC netSocket_SetServer(NetSocket *pSock)
{
    const NetSocketType sockType = netSocket_GetSockType(pSock);
    Mos_RC rc = osNet_Socket(&pSock->socket, sockType);
    if (rc == MOS_RC__NOT_SUPPORTED)
        return rc;
    MOS_ASSERT_SUCCESS(rc);
    netSocket_PrepSock(pSock, sockType);
    BOOL bRC = osNet_Bind(pSock->socket, netAddress_GetPort(&pSock->addr), sockType);
    MOS_ASSERT_WITH_DESC(bRC, "bind failed");
    bRC = osNet_Listen(pSock->socket);
    MOS_ASSERT_WITH_DESC(bRC, "listen failed");
    netSocket_Register(pSock, nullptr);
    netPollRegFd_SetTriggers(netSocket_Poll(pSock), &pSock->pollReg, TRUE, FALSE, TRUE);
    netSocket_SetState(pSock, SOCKET_STATE__CONNECTED);
    return MOS_RC__SUCCESS;
}

void netSocket_ConnectViaAccept(NetSocket *pSock, SOCKET acceptedSocket)
{
    MOS_ASSERT(pSock->state == SOCKET_STATE__INIT);
    pSock->socket = acceptedSocket;
    netSocket_SetState(pSock, SOCKET_STATE__CONNECTED);
    netSocket_PrepSock(pSock, NET_SOCKET_TYPE__NONE);
    netSocket_Register(pSock, netSocket_WriteEvt);
    netPollRegFd_SetTriggers(netSocket_Poll(pSock), &pSock->pollReg, TRUE, FALSE, TRUE);
}

void netSocket_Destroy(NetSocket *pSock)
{
    MOS_TRACE(MOS_COMP_NET, MOS_FREQ_HIGH, "Socket %p destroyed.", (void *)pSock);
    MOS_ASSERT(pSock->state == SOCKET_STATE__INIT);
    MOS_ASSERT(pSock->socket == MOS_NET__INVALID_SOCKET);
    for (UINT32 d = 0; d < NET_SOCKET_DIRECTION_VAL__LAST; d++) {
        mosMitCond_Destroy(&pSock->os.directions[d].cond);
        mosFastlockBase_Destroy(&pSock->os.directions[d].lock);
        mosStat_Destroy(&pSock->dirStat[d].totalBytes);
    }
    mosMitCond_Destroy(&pSock->os.sendList.stopCond);
    netSec_DestroySocket(&pSock->secSocket);
}

BOOL netSocket_ModifyAddr(NetSocket *pSock, const NetAddress *pAddr)
{
    if (netAddress_IsEqual(&pSock->addr, pAddr))
        return FALSE;
    netAddress_Init(&pSock->addr);
    if (netAddress_IsValid(pAddr))
        pSock->addr = *pAddr;
    return TRUE;
}

const NetAddress *netSocket_GetPeerAddr(const NetSocket *pSock)
{
    return &pSock->addr;
}

void netSocket_InitPeerAddr(NetSocket *pSock)
{
    netAddress_Init(&pSock->addr);
    mosNet_GetPeerAddress(pSock->socket, &pSock->addr);
}

NetSocketType netSocket_GetSockType(const NetSocket *pSock)
{
    if (pSock->addr.type == NET_ADDRESS_TYPE__NONE)
        return NET_SOCKET_TYPE__NONE;
    return netAddress_AddressTypeToSocketType(pSock->addr.type);
}

NetSocket_Direction *netSocket_GetSend(NetSocket *pSock)
{
    return &pSock->os.directions[NET_SOCKET_DIRECTION_VAL__SEND];
}

NetSocket_Direction *netSocket_GetRcv(NetSocket *pSock)
{
    return &pSock->os.directions[NET_SOCKET_DIRECTION_VAL__RCV];
}

void netSocket_Query(NetSocket *pSock, NetSocketQuery *pQuery)
{
    memset(pQuery, 0, sizeof(*pQuery));
    const NetSocket_DirectionStat *pSnd = &pSock->dirStat[NET_SOCKET_DIRECTION_VAL__SEND];
    const NetSocket_DirectionStat *pRcv = &pSock->dirStat[NET_SOCKET_DIRECTION_VAL__RCV];
    pQuery->socket = pSock->socket;
    pQuery->state = pSock->state;
    pQuery->peerAddr = pSock->addr;
    pQuery->quickAck = pSock->os.quickAck;
    if (pSock->socket != MOS_NET__INVALID_SOCKET) {
        NetAddress local;
        netAddress_Init(&local);
        if (mosNet_GetMyAddress(pSock->socket, &local))
            pQuery->localPort = netAddress_GetPort(&local);
        pQuery->noDelay = (UINT32)osNet_GetSockOpt_NoDelay(pSock->socket);
        pQuery->recvBuffer = netSocket_GetRcvBufSizeInBs(pSock);
        pQuery->sendBuffer = netSocket_GetSndBufSizeInBs(pSock);
    }
    pQuery->sendBytes = pSnd->totalBytes.total;
    pQuery->rcvBytes = pRcv->totalBytes.total;
    pQuery->sendCalls = pSnd->numCalls;
    pQuery->rcvCalls = pRcv->numCalls;
    pQuery->failedSends = pSnd->numFailures;
    pQuery->failedRcvs = pRcv->numFailures;
    pQuery->brokenSends = pSnd->brokenOps;
    pQuery->brokenRcvs = pRcv->brokenOps;
}

void netSocket_MarkAsError(NetSocket *pSock)
{
    netSocket_ErrorEvt(&pSock->pollReg);
}

Mos_RC netSock_Connect_CK(MosMit *pMit, Mos_RC rc)
{
    NetSocket *pSock = netMit_GetArea(pMit)->sockArea.pSock;
    NetSocket_Direction *pSend = netSocket_GetSend(pSock);
    MOS_MIT_BEGIN(pMit);
    MOS_ASSERT(pSock->state == SOCKET_STATE__INIT);
    {
        const NetSocketType sockType = netSocket_GetSockType(pSock);
        MOS_ASSERT_SUCCESS(osNet_Socket(&pSock->socket, sockType));
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_HIGH, "Socket 0x%p FD %d doing connect", (void *)pSock, pSock->socket);
        netSocket_PrepSock(pSock, sockType);
    }
    netSocket_SetState(pSock, SOCKET_STATE__CONNECTING);
    netSocket_Register(pSock, netSocket_ConnectDoneEvt);
    rc = mosNet_Connect(pSock->socket, &pSock->addr);
    MOS_TRACE(MOS_COMP_NET, MOS_FREQ_HIGH, "Socket %p sync status %s", (void *)pSock, mosRc_GetStr(rc));
    mosFastlockBase_Acquire(&pSend->lock);
    if (rc == MOS_RC__PENDING) {
        netPollRegFd_SetTriggers(netSocket_Poll(pSock), &pSock->pollReg, FALSE, TRUE, TRUE);
        if (netSocket_State(pSock) == SOCKET_STATE__CONNECTING) {
            MOS_MIT_AWAIT(pMit, rc,
                          mosMitCond_WaitByQIntf(pMit, &pSend->cond, &pSend->lock,
                                                 (MosTimerQ_ID)net_GetConf(pSock->pNet)->connectTimeoutQ));
            if (rc != MOS_RC__SUCCESS) {
                MOS_MIT_CALL(pMit, rc, netSock_ConnectFail_CK);
                MOS_MIT_RETURN(pMit, rc);
            }
        } else {
            MOS_TRACE(MOS_COMP_NET, MOS_FREQ_HIGH, "Mit: %p.Socket %p not going to sleep. ID %lu\n", (void *)pMit,
                      (void *)pSock, (unsigned long)pSend->readyID);
        }
        rc = MOS_RC__SUCCESS;
    }
    if (rc == MOS_RC__SUCCESS) {
        netSocket_SetState(pSock, SOCKET_STATE__CONNECT_DONE);
        const int err = mosNet_GetSockOpt(pSock->socket, SOL_SOCKET, SO_ERROR);
        if (err == 0) {
            netPollRegFd_SetTriggers(netSocket_Poll(pSock), &pSock->pollReg, TRUE, FALSE, TRUE);
            netPollRegFd_ModWriteCK(&pSock->pollReg, netSocket_WriteEvt);
            netSocket_SetState(pSock, SOCKET_STATE__CONNECTED);
            mosFastlockBase_Release(&pSend->lock);
            MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
        }
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "Connect failed for socket %p FD %u with error %d", (void *)pSock,
                  (unsigned)pSock->socket, err);
    }
    MOS_MIT_CALL(pMit, rc, netSock_ConnectFail_CK);
    MOS_MIT_RETURN(pMit, rc);
    MOS_MIT_END(pMit);
}

Mos_RC netSock_Accept_CK(MosMit *pMit, Mos_RC rc)
{
    NetSocket_MitArea *pSA = &netMit_GetArea(pMit)->sockArea;
    NetSocket *pSock = pSA->pSock;
    NetSocket_Direction *pRcv = netSocket_GetRcv(pSock);
    MOS_MIT_BEGIN(pMit);
    for (;;) {
        pSA->readySnapshot = netSocket_ReadyID(pRcv);
        pSA->acceptedSocket = osNet_Accept(pSock->socket);
        if (pSA->acceptedSocket != MOS_NET__INVALID_SOCKET) {
            MOS_TRACE(MOS_COMP_NET, MOS_FREQ_HIGH, "New socket %d accepted", pSA->acceptedSocket);
            MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
        }
        {
            const int err = errno;
            if (err != EAGAIN && err != EWOULDBLOCK && err != EINTR) {
                MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "Accept failed with error %d", err);
                MOS_MIT_RETURN(pMit, MOS_RC__ERROR);
            }
        }
        mosFastlockBase_Acquire(&pRcv->lock);
        // An error that came while this task was elsewhere (a yield between accepts) broadcast to
        // nobody; its state is checked under the lock that its broadcast takes, so it is never
        // missed and a stopped listener cannot wait for ever.
        if (netSocket_State(pSock) != SOCKET_STATE__CONNECTED) {
            mosFastlockBase_Release(&pRcv->lock);
            MOS_MIT_RETURN(pMit, MOS_RC__ABORTED);
        }
        if (netSocket_ReadyID(pRcv) == pSA->readySnapshot) {
            MOS_MIT_COND_WAIT(pMit, rc, &pRcv->cond, &pRcv->lock, 0);
            if (rc != MOS_RC__SUCCESS) {
                mosFastlockBase_Release(&pRcv->lock);
                MOS_MIT_RETURN(pMit, rc);
            }
        }
        mosFastlockBase_Release(&pRcv->lock);
    }
    MOS_MIT_END(pMit);
}

// Send and receive only choose the step that does the work (the secure layer's while a session is
// attached, else the raw one) and run it in their own stack element: the chosen step keeps its
// resume point there, and a resumed task re-enters it through here with the same choice.
Mos_RC netSock_Send_CK(MosMit *pMit, Mos_RC rc)
{
    NetSocket_MitArea *pSA = &netMit_GetArea(pMit)->sockArea;
    pSA->bRecv = FALSE;
    const MosMit_CK pSecureCK = pSA->pSock->secSocket.pSecureSendCK;
    return pSecureCK != nullptr ? pSecureCK(pMit, rc) : netSock_SendRaw_CK(pMit, rc);
}

Mos_RC netSock_Recv_CK(MosMit *pMit, Mos_RC rc)
{
    NetSocket_MitArea *pSA = &netMit_GetArea(pMit)->sockArea;
    pSA->bRecv = TRUE;
    const MosMit_CK pSecureCK = pSA->pSock->secSocket.pSecureRecvCK;
    return pSecureCK != nullptr ? pSecureCK(pMit, rc) : netSock_RecvRaw_CK(pMit, rc);
}

Mos_RC netSock_SendRaw_CK(MosMit *pMit, Mos_RC rc)
{
    NetSocket_MitArea *pSA = &netMit_GetArea(pMit)->sockArea;
    NetSocket *pSock = pSA->pSock;
    NetSocket_Direction *pSend = netSocket_GetSend(pSock);
    NetSocketMitList *pList = &pSock->os.sendList;
    MOS_MIT_BEGIN(pMit);
    pSA->bRecv = FALSE;
    mosFastlockBase_Acquire(&pSend->lock);
    if (netSocket_State(pSock) != SOCKET_STATE__CONNECTED) {
        mosFastlockBase_Release(&pSend->lock);
        MOS_MIT_RETURN(pMit, MOS_RC__NOT_CONN);
    }
    if (pList->pCurrMit != nullptr) {
        if (pList->pCurrMit == pMit)
            MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "ERROR: ASSERT condition (%s) failed.",
                      "(&pNetSock->os.sendList)->pCurrMit != _pMit");
        mosDList_InsertTail(&pList->mitList, &pMit->node);
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_HIGH, "Mit %p will wait on socket %u", (void *)pMit, (unsigned)pSock->socket);
        // Resumed by the owner's release: with SUCCESS as the new owner, or ABORTED.
        MOS_MIT_WAIT(pMit, rc, FALSE, netSock_ReleaseAndPend(&pSend->lock));
    } else {
        pList->pCurrMit = pMit;
        mosFastlockBase_Release(&pSend->lock);
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_HIGH, "Mit %p acquired on socket %u.", (void *)pMit, (unsigned)pSock->socket);
        rc = MOS_RC__SUCCESS;
    }
    if (rc != MOS_RC__SUCCESS)
        MOS_MIT_RETURN(pMit, rc);
    MOS_MIT_CALL(pMit, rc, netSock_DoIO);
    MOS_MIT_RETURN(pMit, netSocket_ReleaseExclusiveMit(pMit, pSock, pList, &pSend->lock, rc));
    MOS_MIT_END(pMit);
}

Mos_RC netSock_RecvRaw_CK(MosMit *pMit, Mos_RC rc)
{
    NetSocket_MitArea *pSA = &netMit_GetArea(pMit)->sockArea;
    MOS_MIT_BEGIN(pMit);
    pSA->bRecv = TRUE;
    MOS_ASSERT_WITH_DESC(netSocket_GetRcv(pSA->pSock)->cond.waiters.counter == 0, "a second receiver");
    MOS_MIT_CALL(pMit, rc, netSock_DoIO);
    MOS_MIT_RETURN(pMit, rc);
    MOS_MIT_END(pMit);
}

Mos_RC netSocket_ReleaseExclusiveMit(MosMit *pMit, NetSocket *pSock, NetSocketMitList *pMitList,
                                     MosFastlock_Base *pLock, Mos_RC rc)
{
    mosFastlockBase_Acquire(pLock);
    MOS_ASSERT(pMitList->pCurrMit == pMit);
    pMitList->pCurrMit = nullptr;
    if (netSocket_State(pSock) == SOCKET_STATE__CONNECTED) {
        MosDList_Node *pNode = mosDList_RemoveHead(&pMitList->mitList);
        MosMit *pNext = pNode != nullptr ? MOS_CONTAINER_OF(pNode, MosMit, node) : nullptr;
        pMitList->pCurrMit = pNext;
        mosFastlockBase_Release(pLock);
        if (pNext != nullptr) {
            MOS_TRACE(MOS_COMP_NET, MOS_FREQ_HIGH, "Scheduled Mit %p for socket %u", (void *)pNext,
                      (unsigned)pSock->socket);
            mosMit_Resume(pNext, MOS_RC__SUCCESS);
        }
        return rc;
    }
    MOS_TRACE(MOS_COMP_NET, MOS_FREQ_MED, "Socket disconnected. Will clean up Mit waiters list.");
    MosMit_Anchor aborted = pMitList->mitList;
    mosDList_InitAnchor(&pMitList->mitList);
    mosMitCond_Signal(&pMitList->stopCond, MOS_RC__SUCCESS);
    mosFastlockBase_Release(pLock);
    MosDList_Node *pNode = mosDList_First(&aborted);
    while (pNode != nullptr) {
        MosDList_Node *pNext = mosDList_Next(pNode);
        mosDList_InitNode(pNode);
        mosMit_Resume(MOS_CONTAINER_OF(pNode, MosMit, node), MOS_RC__ABORTED);
        pNode = pNext;
    }
    return rc;
}

Mos_RC netSock_Disconnect_CK(MosMit *pMit, Mos_RC rc)
{
    NetSocket *pSock = netMit_GetArea(pMit)->sockArea.pSock;
    NetSocket_Direction *pSend = netSocket_GetSend(pSock);
    NetSocket_Direction *pRcv = netSocket_GetRcv(pSock);
    NetSocketMitList *pList = &pSock->os.sendList;
    MOS_MIT_BEGIN(pMit);
    mosFastlockBase_Acquire(&pSend->lock);
    {
        const SocketState state = netSocket_State(pSock);
        if (state != SOCKET_STATE__CONNECTED && state != SOCKET_STATE__IN_ERR)
            MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "Unexpected state %d during disconnect", (int)state);
        MOS_ASSERT(state == SOCKET_STATE__CONNECTED || state == SOCKET_STATE__IN_ERR);
    }
    netSocket_SetState(pSock, SOCKET_STATE__CLOSING);
    mosMitCond_Signal(&pSend->cond, MOS_RC__ABORTED);
    while (pList->pCurrMit != nullptr || !MOS_DLIST__IS_EMPTY(&pList->mitList)) {
        MOS_MIT_COND_WAIT(pMit, rc, &pList->stopCond, &pSend->lock, 0);
    }
    mosFastlockBase_Release(&pSend->lock);
    mosFastlockBase_Acquire(&pRcv->lock);
    mosMitCond_Signal(&pRcv->cond, MOS_RC__ABORTED);
    mosFastlockBase_Release(&pRcv->lock);
    pSock->pUnregMit = pMit;
    MOS_MIT_WAIT(pMit, rc, FALSE, netPoll_RemSocket(netSocket_Poll(pSock), &pSock->pollReg));
    netSocket_CloseDescriptor(pSock);
    MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
    MOS_MIT_END(pMit);
}

void netSocket_ReadEvt(NetPoll_RegFd *pReg)
{
    NetSocket *pSock = netSocket_OfReg(pReg);
    NetSocket_Direction *pRcv = netSocket_GetRcv(pSock);
    MosFastlockGuard guard(&pRcv->lock);
    NetSocket_DirectionStat *pStat = &pSock->dirStat[NET_SOCKET_DIRECTION_VAL__RCV];
    if (pStat->condWaitStatus == 1)
        pStat->condWaitStatus = 2;
    netSocket_BumpReadyID(pRcv);
    mosMitCond_Signal(&pRcv->cond, MOS_RC__SUCCESS);
}

void netSocket_WriteEvt(NetPoll_RegFd *pReg)
{
    NetSocket *pSock = netSocket_OfReg(pReg);
    NetSocket_Direction *pSend = netSocket_GetSend(pSock);
    MosFastlockGuard guard(&pSend->lock);
    // Write events are wanted only while a send is blocked.
    netPollRegFd_SetTriggers(netSocket_Poll(pSock), pReg, TRUE, FALSE, TRUE);
    netSocket_BumpReadyID(pSend);
    mosMitCond_Signal(&pSend->cond, MOS_RC__SUCCESS);
}

void netSocket_ConnectDoneEvt(NetPoll_RegFd *pReg)
{
    NetSocket *pSock = netSocket_OfReg(pReg);
    NetSocket_Direction *pSend = netSocket_GetSend(pSock);
    MosFastlockGuard guard(&pSend->lock);
    if (netSocket_State(pSock) == SOCKET_STATE__CONNECTING) {
        netSocket_SetState(pSock, SOCKET_STATE__CONNECT_DONE);
        mosMitCond_Signal(&pSend->cond, MOS_RC__SUCCESS);
    }
}

void netSocket_ErrorEvt(NetPoll_RegFd *pReg)
{
    NetSocket *pSock = netSocket_OfReg(pReg);
    NetSocket_Direction *pSend = netSocket_GetSend(pSock);
    MOS_TRACE(MOS_COMP_NET, MOS_FREQ_HIGH, "Error event to socket %d state %d", pSock->socket, (int)pSock->state);
    BOOL bAbort = FALSE;
    {
        MosFastlockGuard guard(&pSend->lock);
        const SocketState state = netSocket_State(pSock);
        switch (state) {
        case SOCKET_STATE__CONNECTED:
            netSocket_SetState(pSock, SOCKET_STATE__IN_ERR);
            bAbort = TRUE;
            break;
        case SOCKET_STATE__CONNECTING:
        case SOCKET_STATE__CONNECT_DONE:
        case SOCKET_STATE__IN_ERR:
        case SOCKET_STATE__CLOSING:
            break;
        default:
            MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "Unexpected state %d during error callback", (int)state);
            MOS_UNREACHABLE("error event on a socket that is not connected");
        }
    }
    if (bAbort)
        netSock_AbortAll(pSock);
}

void netSocket_UnregDoneEvt(NetPoll_RegFd *pReg)
{
    NetSocket *pSock = netSocket_OfReg(pReg);
    MosMit *pMit = pSock->pUnregMit;
    MOS_ASSERT(pMit != nullptr);
    pSock->pUnregMit = nullptr;
    mosMit_GenCKSched(pMit, MOS_RC__SUCCESS);
}

void netSock_AbortAll(NetSocket *pSock)
{
    NetSocket_Direction *pSend = netSocket_GetSend(pSock);
    NetSocket_Direction *pRcv = netSocket_GetRcv(pSock);
    {
        MosFastlockGuard guard(&pSend->lock);
        mosMitCond_Broadcast(&pSend->cond, MOS_RC__ABORTED);
    }
    MosFastlockGuard guard(&pRcv->lock);
    mosMitCond_Broadcast(&pRcv->cond, MOS_RC__ABORTED);
}
