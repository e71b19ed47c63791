#include "net/security/net_sec.h"

#include <cstring>

#include "mos/mit/mos_mit_timer.h"
#include "mos/mos_dbg.h"
#include "mos/mos_trace.h"
#include "mos/usr/security/mos_security.h"
#include "net/net_path_intrn.h"

namespace {
// How many times in a row the engine may refuse a buffer for want of room before a send gives up.
constexpr UINT32 kMaxPrepareRetries = 3;

// Handshake wants remembered across the transfers they start.
constexpr UINT32 kWantsRead = 0x1;
constexpr UINT32 kWantsWrite = 0x2;

inline NetSocket *netSec_SockOf(MosMit *pMit)
{
    return netMit_GetArea(pMit)->sockArea.pSock;
}

inline NetSecSocket *netSec_PartOf(MosMit *pMit)
{
    return &netSec_SockOf(pMit)->secSocket;
}

inline BOOL netSec_IsConnected(const NetSocket *pSock)
{
    return __atomic_load_n(&pSock->state, __ATOMIC_ACQUIRE) == SOCKET_STATE__CONNECTED;
}

inline Mos_RC netSec_IoRc(Mos_RC rc)
{
    return rc == MOS_RC__ABORTED ? MOS_RC__NOT_CONN : rc;
}

// The parameters of the connection that owns a client path, read under the connection's lock
// (they may be replaced while the path runs).
void netSec_ClientParamsOf(NetPath *pPath, NetSecConParams *pOut)
{
    NetCon *pCon = netPath_GetCon(pPath);
    netSecConf_ResetConParams(pOut);
    if (pCon == nullptr)
        return;
    MosFastlockGuard guard(&pCon->conFastlock);
    *pOut = pCon->securityParams;
}

// A server's answer to NEW_SSL_CON: a RESPONSE head carrying rc.
void netSec_FillResponse(MosMit *pMit, Mos_RC rc)
{
    socketHeader_FillResponse(&netMit_GetArea(pMit)->extHeader, rc);
}

// Attaches a fresh session and routes the socket's sends and receives through it.
void netSec_Attach(NetSocket *pSock, MosSslSocketHandle *pHandle)
{
    netSec_SocketSetSsl(&pSock->secSocket, pHandle);
    pSock->secSocket.pSecureSendCK = netSec_Send_CK;
    pSock->secSocket.pSecureRecvCK = netSec_Recv_CK;
}

// A code the server sent back is a refusal; one that reads as success (a wrong echo) or that the
// task machinery would take for "pending", or that no code has, is reported as a plain error.
Mos_RC netSec_RefusalRc(UINT32 received)
{
    if (received == MOS_RC__SUCCESS || received == MOS_RC__PENDING || received >= MOS_RC__LAST)
        return MOS_RC__ERROR;
    return (Mos_RC)received;
}

Mos_RC netSec_ReleaseAndPend(MosFastlock_Base *pLock)
{
    mosFastlockBase_Release(pLock);
    return MOS_RC__PENDING;
}

// The buffers of a list as one array: the head buffer (when there is one) is the slot just before
// the data buffers.
inline NetIovBuf *netSec_IovFirst(NetSmallIov *pIov, UINT32 *pCount)
{
    *pCount = pIov->numOfNetBufs + pIov->numOfUsedBuffers;
    return pIov->numOfNetBufs != 0 ? pIov->netBuf : pIov->buf;
}

// Hands every buffer of the list to the engine, in order. MOS_RC__SUCCESS when all were taken
// whole; the engine lock is held by the caller.
Mos_RC netSec_PrepareList(MosSslSocketHandle *pHandle, NetSmallIov *pIov)
{
    UINT32 count = 0;
    NetIovBuf *pBufs = netSec_IovFirst(pIov, &count);
    if (pIov->totalSizeOfData == 0)
        return MOS_RC__ERROR;
    for (UINT32 i = 0; i < count; i++) {
        const UINT32 len = (UINT32)pBufs[i].iov_len;
        if (len == 0)
            continue;
        UINT32 pendings = 0;
        for (;;) {
            UINT32 taken = 0;
            const Mos_RC rc = mosSsl_WritePrepare(pHandle, pBufs[i].iov_base, len, &taken);
            if (rc == MOS_RC__PENDING) {
                if (++pendings > kMaxPrepareRetries) {
                    MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "WARNING: Max retries num exceeded (handle %p)",
                              (void *)pHandle);
                    return MOS_RC__ERROR;
                }
                continue;
            }
            if (rc != MOS_RC__SUCCESS)
                return rc;
            if (taken != len) {
                MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW,
                          "WARNING: Was able to prepare only %u bytes (instead of %lu) (handle %p)", taken,
                          (unsigned long)len, (void *)pHandle);
                return MOS_RC__ERROR;
            }
            break;
        }
    }
    return MOS_RC__SUCCESS;
}

// Reads plaintext into the list from offset on, buffer by buffer, until a buffer is left short,
// the list is full or the engine needs more ciphertext (*pbPending). The engine lock is held by
// the caller.
Mos_RC netSec_ReadIntoList(MosSslSocketHandle *pHandle, NetSmallIov *pIov, UINT32 offset, UINT32 *pRead,
                           BOOL *pbPending)
{
    UINT32 count = 0;
    NetIovBuf *pBufs = netSec_IovFirst(pIov, &count);
    *pRead = 0;
    *pbPending = FALSE;
    for (UINT32 i = 0; i < count; i++) {
        const UINT32 len = (UINT32)pBufs[i].iov_len;
        if (offset >= len) {
            offset -= len;
            continue;
        }
        const UINT32 want = len - offset;
        UINT32 got = 0;
        const Mos_RC rc = mosSsl_Read(pHandle, static_cast<UINT8 *>(pBufs[i].iov_base) + offset, want, &got);
        offset = 0;
        if (rc == MOS_RC__PENDING) {
            *pbPending = TRUE;
            return MOS_RC__SUCCESS;
        }
        if (rc != MOS_RC__SUCCESS)
            return rc;
        *pRead += got;
        if (got < want)
            return MOS_RC__SUCCESS;
    }
    return MOS_RC__SUCCESS;
}
} // namespace

Mos_RC netCon_UpdateConSecParams(NetCon *pCon, const NetSecConParams *pParams)
{
    if (pCon->conType != CON_TYPE__CLIENT) {
        MOS_ERROR(MOS_COMP_NET, "Can be called only for client connections");
        return MOS_RC__ILLEGAL;
    }
    {
        MosFastlockGuard guard(&pCon->conFastlock);
        if (pParams != nullptr)
            pCon->securityParams = *pParams;
        else
            netSecConf_ResetConParams(&pCon->securityParams);
        for (NetPortal *pPortal : pCon->pPortalsArr) {
            if (pPortal == nullptr)
                continue;
            for (NetPath *pPath : pPortal->pPathsArr)
                if (pPath != nullptr)
                    netPath_MarkAsErrorIfNeeded(pPath);
        }
    }
    MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "Successfully updated security parameters");
    return MOS_RC__SUCCESS;
}

Mos_RC net_UpdateConSecParams(Net *pNet, HNetCon hCon, const NetSecConParams *pParams)
{
    NetConManger *pMgr = net_GetConManager(pNet);
    NetCon *pCon = netConManager_AcquireCon(pMgr, hCon);
    if (pCon == nullptr) {
        MOS_ERROR(MOS_COMP_NET, "Failed to acquire connection %lx", (unsigned long)hCon);
        return MOS_RC__ERROR;
    }
    const Mos_RC rc = netCon_UpdateConSecParams(pCon, pParams);
    netConManager_ReleaseCon(pMgr, pCon);
    return rc;
}

Mos_RC netSec_Connect_CK(MosMit *pMit, Mos_RC rc)
{
    // The upgrade runs in this step's own stack element; once it has begun it is continued
    // whatever the connection's parameters have become meanwhile.
    if (mosMit_GetRP(pMit) != 0)
        return netSec_SslConnect_CK(pMit, rc);
    NetSocket *pSock = netSec_SockOf(pMit);
    NetSecConParams params;
    netSec_ClientParamsOf(netMit_GetArea(pMit)->pPath, &params);
    switch (params.secMode) {
    case NET_SEC_MODE__UNSECURE:
        // A socket secured on an earlier connect must not carry its old session into a plain one.
        if (pSock->secSocket.secMode != NET_SEC_MODE__UNSECURE)
            netSec_ResetSocket(&pSock->secSocket);
        return mosMit_Return(pMit, MOS_RC__SUCCESS);
    case NET_SEC_MODE__SECURE_SSL:
        return netSec_SslConnect_CK(pMit, rc);
    default:
        MOS_ERROR(MOS_COMP_NET, "Invalid security mode (%d)", (int)params.secMode);
        return mosMit_Return(pMit, MOS_RC__ERROR);
    }
}

Mos_RC netSec_SslConnect_CK(MosMit *pMit, Mos_RC rc)
{
    Net_MitArea *pArea = netMit_GetArea(pMit);
    NetSocket *pSock = pArea->sockArea.pSock;
    MOS_MIT_BEGIN(pMit);
    if (!mosSecurity_IsInitialized()) {
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "WARNING: The security library is not initialized");
        MOS_MIT_RETURN(pMit, MOS_RC__NOT_READY);
    }
    MOS_TRACE(MOS_COMP_NET, MOS_FREQ_HIGH, "SSL connect started on socket %d", pSock->socket);
    netSec_ResetSocket(&pSock->secSocket);
    socketHeader_FillNewSslCon(&pArea->extHeader);
    MOS_MIT_CALL(pMit, rc, netPath_SendMsg_CK);
    if (rc != MOS_RC__SUCCESS) {
        MOS_ERROR(MOS_COMP_NET, "Failed to send SSL connect message on socket %d (%s)", pSock->socket,
                  mosRc_GetStr(rc));
        MOS_MIT_RETURN(pMit, MOS_RC__ERROR);
    }
    MOS_MIT_CALL(pMit, rc, netPath_ReadHead_CK);
    if (rc != MOS_RC__SUCCESS) {
        MOS_ERROR(MOS_COMP_NET, "Failed to receive response message on socket %d (%s)", pSock->socket,
                  mosRc_GetStr(rc));
        MOS_MIT_RETURN(pMit, MOS_RC__ERROR);
    }
    {
        const Socket_Header *pHead = &pArea->extHeader.header;
        NetSecConParams params;
        netSec_ClientParamsOf(pArea->pPath, &params);
        if (SOCKET_HEADER__GET_HEADER_TYPE(pHead->prop) != SOCKET_HEADER_TYPE__RESPONSE ||
            pHead->msgID != SOCKET_HEADER_TYPE__NEW_SSL_CON || pHead->responseRC != MOS_RC__SUCCESS) {
            MOS_ERROR(MOS_COMP_NET, "The server rejected the connection (%s)", mosRc_GetStr(pHead->responseRC));
            const Mos_RC refusal = netSec_RefusalRc(pHead->responseRC);
            mosSecurity_SetCertOpaqueFailure(params.protoParams.ssl.pPeerCertOpq, refusal,
                                             "The server rejected the connection");
            MOS_MIT_RETURN(pMit, refusal);
        }
        MosSslSocketHandle *pHandle = mosSsl_CreateSocketHandle(&params.protoParams.ssl, FALSE);
        if (pHandle == nullptr) {
            MOS_ERROR(MOS_COMP_NET, "Failed to create SSL socket handle on socket %d (context %d)", pSock->socket,
                      (int)params.protoParams.ssl.sslContextId);
            MOS_MIT_RETURN(pMit, MOS_RC__NO_RESOURCES);
        }
        netSec_Attach(pSock, pHandle);
    }
    MOS_MIT_CALL(pMit, rc, netSec_SslHandshake_CK);
    if (rc != MOS_RC__SUCCESS) {
        if (rc != MOS_RC__NOT_CONN)
            MOS_TRACE(MOS_COMP_NET, MOS_FREQ_MED, "SSL connect failed on socket %d (%s)", pSock->socket,
                      mosRc_GetStr(rc));
        MOS_MIT_RETURN(pMit, rc);
    }
    {
        MosSslSocketHandle *pHandle = netSec_SocketGetSslHandle(&pSock->secSocket);
        Mos_RC verifyRc;
        {
            MosFastlockGuard guard(&pSock->secSocket.engineLock);
            verifyRc = mosSsl_VerifyPeer(pHandle, nullptr, 0);
        }
        if (verifyRc != MOS_RC__SUCCESS) {
            MOS_ERROR(MOS_COMP_NET, "Peer verification failed");
            netSec_DisconnectSocket(&pSock->secSocket);
            MOS_MIT_RETURN(pMit, verifyRc);
        }
        NET_PATH_TRACE(netMit_GetArea(pMit)->pPath, MOS_FREQ_MED, "SSL connect succeeded on socket %d (handle: %p)",
                       pSock->socket, (void *)pHandle);
    }
    MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
    MOS_MIT_END(pMit);
}

Mos_RC netSec_Accept_CK(MosMit *pMit, Mos_RC rc)
{
    Net_MitArea *pArea = netMit_GetArea(pMit);
    MOS_MIT_BEGIN(pMit);
    {
        const NetSecConParams *pServer = &net_GetSecConf(pArea->pNet)->serverParams;
        const UINT32 type = (pArea->extHeader.header.prop >> 8) & 0xFu;
        switch (type) {
        case SOCKET_HEADER_TYPE__NEW_CON >> 8:
            if (pServer->secMode == NET_SEC_MODE__UNSECURE ||
                pServer->serverSecPolicy == NET_SEC_SERVER_POLICY__ALLOW_UNSECURE ||
                (pServer->serverSecPolicy == NET_SEC_SERVER_POLICY__ALLOW_LOCAL_UNSECURE &&
                 netAddress_IsLocalHost(netSocket_GetPeerAddr(pArea->sockArea.pSock)))) {
                MOS_TRACE(MOS_COMP_NET, MOS_FREQ_HIGH, "Allowing non-secured connection (mode = %d)",
                          (int)pServer->secMode);
                MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
            }
            MOS_TRACE(MOS_COMP_NET, MOS_FREQ_MED, "Rejecting non-secured connection");
            MOS_MIT_RETURN(pMit, MOS_RC__ILLEGAL);
        case SOCKET_HEADER_TYPE__NEW_SSL_CON >> 8:
            if (pServer->secMode == NET_SEC_MODE__SECURE_SSL)
                break;
            MOS_TRACE(MOS_COMP_NET, MOS_FREQ_MED, "SSL connections are rejected in this mode (%d)",
                      (int)pServer->secMode);
            netSec_FillResponse(pMit, MOS_RC__NET_SECURITY_DISABLED_ON_SERVER);
            goto refuse;
        default:
            MOS_ERROR(MOS_COMP_NET, "Invalid header type (%d)", (int)type);
            MOS_MIT_RETURN(pMit, MOS_RC__ILLEGAL);
        }
    }
    MOS_MIT_CALL(pMit, rc, netSec_SslAccept_CK);
    if (rc != MOS_RC__NOT_READY)
        MOS_MIT_RETURN(pMit, rc);
    goto pause;
refuse:
    MOS_MIT_CALL(pMit, rc, netPath_SendMsg_CK); // a refusal whose answer is lost is a refusal still
pause:
    // The refused client gets a moment to read the answer before the socket goes.
    mosTimerReq_Init(&pMit->scratch.timer.timerReq, mosMitTimer_CK);
    MOS_MIT_WAIT(pMit, rc, TRUE, mosTimerReq_AddByQ(&pMit->scratch.timer.timerReq, MOS_TIMER_QUEUE_ID__100MILLI));
    MOS_MIT_RETURN(pMit, MOS_RC__NOT_READY);
    MOS_MIT_END(pMit);
}

Mos_RC netSec_SslAccept_CK(MosMit *pMit, Mos_RC rc)
{
    Net_MitArea *pArea = netMit_GetArea(pMit);
    NetSocket *pSock = pArea->sockArea.pSock;
    MOS_MIT_BEGIN(pMit);
    if (!mosSecurity_IsInitialized()) {
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "WARNING: The security library is not initialized");
        netSec_FillResponse(pMit, MOS_RC__NET_SECURITY_DISABLED_ON_SERVER);
        MOS_MIT_CALL(pMit, rc, netPath_SendMsg_CK);
        MOS_MIT_RETURN(pMit, MOS_RC__NOT_READY);
    }
    MOS_TRACE(MOS_COMP_NET, MOS_FREQ_HIGH, "SSL accept started on socket %d", pSock->socket);
    netSec_FillResponse(pMit, MOS_RC__SUCCESS);
    MOS_MIT_CALL(pMit, rc, netPath_SendMsg_CK);
    if (rc != MOS_RC__SUCCESS) {
        MOS_ERROR(MOS_COMP_NET, "Failed to send response");
        MOS_MIT_RETURN(pMit, MOS_RC__ERROR);
    }
    {
        const NetSecConParams *pServer = &net_GetSecConf(pArea->pNet)->serverParams;
        MosSslSocketHandle *pHandle = mosSsl_CreateSocketHandle(&pServer->protoParams.ssl, TRUE);
        if (pHandle == nullptr) {
            MOS_ERROR(MOS_COMP_NET, "Failed to create SSL socket handle (context %d)",
                      (int)pServer->protoParams.ssl.sslContextId);
            MOS_MIT_RETURN(pMit, MOS_RC__NO_RESOURCES);
        }
        netSec_Attach(pSock, pHandle);
    }
    MOS_MIT_CALL(pMit, rc, netSec_SslHandshake_CK);
    if (rc != MOS_RC__SUCCESS) {
        if (rc != MOS_RC__NOT_CONN)
            MOS_TRACE(MOS_COMP_NET, MOS_FREQ_MED, "SSL accept failed on socket %d (%s)", pSock->socket,
                      mosRc_GetStr(rc));
        MOS_MIT_RETURN(pMit, rc);
    }
    // The client's NEW_CON, through the session and through the same head check as any head.
    MOS_MIT_CALL(pMit, rc, netPath_ReadHead_CK);
    if (rc != MOS_RC__SUCCESS) {
        MOS_ERROR(MOS_COMP_NET, "Failed to receive connect message on socket %d (%s)", pSock->socket,
                  mosRc_GetStr(rc));
        netSec_DisconnectSocket(&pSock->secSocket);
        MOS_MIT_RETURN(pMit, MOS_RC__ERROR);
    }
    NET_PATH_TRACE(netMit_GetArea(pMit)->pPath, MOS_FREQ_MED, "SSL accept succeeded on socket %d (handle: %p)",
                   pSock->socket, (void *)netSec_SocketGetSslHandle(&pSock->secSocket));
    MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
    MOS_MIT_END(pMit);
}

Mos_RC netSec_SslHandshake_CK(MosMit *pMit, Mos_RC rc)
{
    NetSecSocket *pPart = netSec_PartOf(pMit);
    MOS_MIT_BEGIN(pMit);
    for (;;) {
        {
            BOOL bRead = FALSE, bWrite = FALSE;
            {
                MosFastlockGuard guard(&pPart->engineLock);
                rc = mosSsl_Handshake(netSec_SocketGetSslHandle(pPart), &bRead, &bWrite);
            }
            if (rc == MOS_RC__SUCCESS)
                MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
            if (rc != MOS_RC__PENDING) {
                MOS_ERROR(MOS_COMP_NET, "Handshake failed (%s)", mosRc_GetStr(rc));
                MOS_MIT_RETURN(pMit, MOS_RC__ERROR);
            }
            pPart->hsWants = (bRead ? kWantsRead : 0u) | (bWrite ? kWantsWrite : 0u);
        }
        if ((pPart->hsWants & kWantsWrite) != 0) {
            MOS_MIT_CALL(pMit, rc, netSec_SslSend_CK);
            if (rc != MOS_RC__SUCCESS) {
                MOS_TRACE(MOS_COMP_NET, MOS_FREQ_HIGH, "SSL send failed (%s)", mosRc_GetStr(rc));
                MOS_MIT_RETURN(pMit, rc);
            }
        }
        if ((pPart->hsWants & kWantsRead) != 0) {
            MOS_MIT_CALL(pMit, rc, netSec_SslRecv_CK);
            if (rc != MOS_RC__SUCCESS) {
                MOS_TRACE(MOS_COMP_NET, MOS_FREQ_HIGH, "SSL read failed (%s)", mosRc_GetStr(rc));
                MOS_MIT_RETURN(pMit, rc);
            }
        }
    }
    MOS_MIT_END(pMit);
}

Mos_RC netSec_SslSend_CK(MosMit *pMit, Mos_RC rc)
{
    Net_MitArea *pArea = netMit_GetArea(pMit);
    NetSocket *pSock = pArea->sockArea.pSock;
    NetSecSocket *pPart = &pSock->secSocket;
    MOS_MIT_BEGIN(pMit);
    {
        MosSslSocketHandle *pHandle = netSec_SocketGetSslHandle(pPart);
        const UINT8 *pData = nullptr;
        UINT32 size = 0;
        {
            // The buffer is taken from the session, so that what the receive loop makes the
            // session write meanwhile cannot move the bytes on their way out.
            MosFastlockGuard guard(&pPart->engineLock);
            rc = mosSsl_WriteTake(pHandle, &pPart->pSendBio, &pData, &size);
        }
        if (rc == MOS_RC__NO_MORE_ELEMENTS)
            MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
        if (rc != MOS_RC__SUCCESS) {
            MOS_ERROR(MOS_COMP_NET, "Failed to get data to send (%s)", mosRc_GetStr(rc));
            MOS_MIT_RETURN(pMit, MOS_RC__ERROR);
        }
        pPart->iovOffset[NET_SOCKET_DIRECTION_VAL__SEND] = pArea->sockArea.offsetInReq;
        pArea->sockArea.offsetInReq = pArea->pIov->totalSizeOfData;
        netIov_AddBuffer(pArea->pIov, const_cast<UINT8 *>(pData), size, NET_IOV_BUF_TYPE__USER_FIRST);
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_HIGH, "Sending %u bytes on socket %d (handle %p)", size, pSock->socket,
                  (void *)pHandle);
    }
    MOS_MIT_CALL(pMit, rc, netSock_SendRaw_CK);
    netSec_RemTempBufFromIov(pPart, pArea->pIov, &pArea->sockArea);
    {
        MosFastlockGuard guard(&pPart->engineLock);
        mosSsl_WriteRelease(netSec_SocketGetSslHandle(pPart), pPart->pSendBio);
        pPart->pSendBio = nullptr;
    }
    if (rc == MOS_RC__SUCCESS)
        MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
    MOS_TRACE(MOS_COMP_NET, MOS_FREQ_MED, "Could not send on socket %d (handle %p) (%s)", pSock->socket,
              (void *)netSec_SocketGetSslHandle(pPart), mosRc_GetStr(rc));
    MOS_MIT_RETURN(pMit, netSec_IoRc(rc));
    MOS_MIT_END(pMit);
}

Mos_RC netSec_SslRecv_CK(MosMit *pMit, Mos_RC rc)
{
    Net_MitArea *pArea = netMit_GetArea(pMit);
    NetSocket *pSock = pArea->sockArea.pSock;
    NetSecSocket *pPart = &pSock->secSocket;
    MOS_MIT_BEGIN(pMit);
    pPart->iovOffset[NET_SOCKET_DIRECTION_VAL__RCV] = pArea->sockArea.offsetInReq;
    pArea->sockArea.offsetInReq = pArea->pIov->totalSizeOfData;
    netIov_AddBuffer(pArea->pIov, pPart->pRawReadBuf, NET_SEC__RAW_READ_BUF_SIZE, NET_IOV_BUF_TYPE__USER_FIRST);
    pArea->sockArea.bPartialRecv = TRUE;
    MOS_MIT_CALL(pMit, rc, netSock_RecvRaw_CK);
    netSec_RemTempBufFromIov(pPart, pArea->pIov, &pArea->sockArea);
    pArea->sockArea.bPartialRecv = FALSE;
    if (rc != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_MED, "Receive from socket %d ended (%s)", pSock->socket, mosRc_GetStr(rc));
        MOS_MIT_RETURN(pMit, netSec_IoRc(rc));
    }
    {
        MosSslSocketHandle *pHandle = netSec_SocketGetSslHandle(pPart);
        const UINT32 bytes = pArea->sockArea.partialRecvOffset;
        {
            MosFastlockGuard guard(&pPart->engineLock);
            rc = mosSsl_ReadPrepare(pHandle, pPart->pRawReadBuf, bytes);
        }
        if (rc != MOS_RC__SUCCESS) {
            MOS_ERROR(MOS_COMP_NET, "Failed to prepare read of %u bytes (handle %p) (%s)", bytes, (void *)pHandle,
                      mosRc_GetStr(rc));
            MOS_MIT_RETURN(pMit, MOS_RC__ERROR);
        }
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_HIGH, "Received %u bytes on socket %d (handle %p)", bytes, pSock->socket,
                  (void *)pHandle);
    }
    MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
    MOS_MIT_END(pMit);
}

Mos_RC netSec_Send_CK(MosMit *pMit, Mos_RC rc)
{
    Net_MitArea *pArea = netMit_GetArea(pMit);
    NetSocket *pSock = pArea->sockArea.pSock;
    NetSecSocket *pPart = &pSock->secSocket;
    NetSocketMitList *pList = &pPart->secSendList;
    MOS_MIT_BEGIN(pMit);
    mosFastlockBase_Acquire(&pPart->secSendListLock);
    if (!netSec_IsConnected(pSock)) {
        mosFastlockBase_Release(&pPart->secSendListLock);
        MOS_MIT_RETURN(pMit, MOS_RC__NOT_CONN);
    }
    if (pList->pCurrMit != nullptr) {
        MOS_ASSERT(pList->pCurrMit != pMit);
        if (MOS_CONTAINER_OF(pArea, NetMit, area)->bImportant)
            mosDList_InsertHead(&pList->mitList, &pMit->node);
        else
            mosDList_InsertTail(&pList->mitList, &pMit->node);
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_HIGH, "Mit %p will wait on socket %u", (void *)pMit, (unsigned)pSock->socket);
        // Resumed by the owner's release: with SUCCESS as the new owner, or ABORTED.
        MOS_MIT_WAIT(pMit, rc, FALSE, netSec_ReleaseAndPend(&netSec_PartOf(pMit)->secSendListLock));
        if (rc != MOS_RC__SUCCESS)
            MOS_MIT_RETURN(pMit, MOS_RC__NOT_CONN);
    } else {
        pList->pCurrMit = pMit;
        mosFastlockBase_Release(&pPart->secSendListLock);
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_HIGH, "Mit %p acquired on socket %u.", (void *)pMit, (unsigned)pSock->socket);
    }
    {
        Mos_RC prepRc;
        {
            MosFastlockGuard guard(&pPart->engineLock);
            prepRc = netSec_PrepareList(netSec_SocketGetSslHandle(pPart), pArea->pIov);
        }
        if (prepRc != MOS_RC__SUCCESS) {
            MOS_ERROR(MOS_COMP_NET, "Failed to prepare SSL data to send on socket %d (%s)", pSock->socket,
                      mosRc_GetStr(prepRc));
            // Part of the message may be encrypted already: the session's stream is broken and the
            // path must not go on with it.
            netSocket_MarkAsError(pSock);
            MOS_MIT_RETURN(pMit, netSocket_ReleaseExclusiveMit(pMit, pSock, &pPart->secSendList,
                                                               &pPart->secSendListLock, MOS_RC__ERROR));
        }
    }
    MOS_MIT_CALL(pMit, rc, netSec_SslSend_CK);
    rc = netSocket_ReleaseExclusiveMit(pMit, pSock, &pPart->secSendList, &pPart->secSendListLock, rc);
    if (rc != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_MED, "Could not send SSL data on socket %d (%s)", pSock->socket,
                  mosRc_GetStr(rc));
        MOS_MIT_RETURN(pMit, MOS_RC__ERROR);
    }
    MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
    MOS_MIT_END(pMit);
}

Mos_RC netSec_Recv_CK(MosMit *pMit, Mos_RC rc)
{
    Net_MitArea *pArea = netMit_GetArea(pMit);
    NetSocket *pSock = pArea->sockArea.pSock;
    NetSecSocket *pPart = &pSock->secSocket;
    MOS_MIT_BEGIN(pMit);
    pArea->sockArea.bPartialRecv = FALSE; // a secure receive always fills the whole list
    for (;;) {
        {
            NetSmallIov *pIov = pArea->pIov;
            MosSslSocketHandle *pHandle = netSec_SocketGetSslHandle(pPart);
            const UINT32 offset = pArea->sockArea.offsetInReq;
            if (offset >= pIov->totalSizeOfData) {
                MOS_ERROR(MOS_COMP_NET, "Failed to read data from handle %p (%s)", (void *)pHandle,
                          mosRc_GetStr(MOS_RC__ERROR));
                pArea->sockArea.offsetInReq = 0;
                MOS_MIT_RETURN(pMit, MOS_RC__ERROR);
            }
            UINT32 got = 0;
            BOOL bPending = FALSE;
            {
                MosFastlockGuard guard(&pPart->engineLock);
                rc = netSec_ReadIntoList(pHandle, pIov, offset, &got, &bPending);
            }
            if (rc != MOS_RC__SUCCESS) {
                MOS_ERROR(MOS_COMP_NET, "Failed to read data from handle %p (%s)", (void *)pHandle, mosRc_GetStr(rc));
                pArea->sockArea.offsetInReq = 0;
                MOS_MIT_RETURN(pMit, MOS_RC__ERROR);
            }
            if (got == 0 && !bPending) {
                MOS_TRACE(MOS_COMP_NET, MOS_FREQ_MED, "Received 0 bytes on socket %d", pSock->socket);
                pArea->sockArea.offsetInReq = 0;
                MOS_MIT_RETURN(pMit, MOS_RC__NOT_CONN);
            }
            if (got != 0) {
                pArea->sockArea.offsetInReq += got;
                if (pArea->sockArea.offsetInReq == pIov->totalSizeOfData) {
                    MOS_TRACE(MOS_COMP_NET, MOS_FREQ_HIGH,
                              "Read %u plain-text bytes (total %d) from socket %d (handle %p)", got,
                              (int)pIov->totalSizeOfData, pSock->socket, (void *)pHandle);
                    pArea->sockArea.offsetInReq = 0;
                    MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
                }
                MOS_TRACE(MOS_COMP_NET, MOS_FREQ_HIGH,
                          "Read %u plain-text bytes from socket %d (out of %d) from offset %d (handle %p)", got,
                          pSock->socket, (int)pIov->totalSizeOfData, (int)offset, (void *)pHandle);
            }
            if (!bPending)
                continue;
        }
        MOS_MIT_CALL(pMit, rc, netSec_SslRecv_CK);
                    if (rc != MOS_RC__SUCCESS) {
            MOS_TRACE(MOS_COMP_NET, MOS_FREQ_HIGH, "Could not receive SSL data on socket %d (%s)", pSock->socket,
                      mosRc_GetStr(rc));
            pArea->sockArea.offsetInReq = 0;
            MOS_MIT_RETURN(pMit, rc);
        }
    }
    MOS_MIT_END(pMit);
}

Mos_RC netSec_Disconnect_CK(MosMit *pMit, Mos_RC rc)
{
    NetSocket *pSock = netSec_SockOf(pMit);
    NetSecSocket *pPart = &pSock->secSocket;
    MOS_MIT_BEGIN(pMit);
    if (pPart->secMode == NET_SEC_MODE__UNSECURE)
        MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
    // Senders of a still connected socket would hand the list on among themselves and never
    // signal its end: the socket is failed first, so the owner's transfer ends and its release
    // aborts the queue and signals.
    if (netSec_IsConnected(pSock))
        netSocket_MarkAsError(pSock);
    mosFastlockBase_Acquire(&pPart->secSendListLock);
    while (netSec_PartOf(pMit)->secSendList.pCurrMit != nullptr ||
           !MOS_DLIST__IS_EMPTY(&netSec_PartOf(pMit)->secSendList.mitList)) {
        MOS_MIT_COND_WAIT(pMit, rc, &netSec_PartOf(pMit)->secSendList.stopCond,
                          &netSec_PartOf(pMit)->secSendListLock, 0);
    }
    MOS_ASSERT_WITH_DESC(pPart->secSendList.pCurrMit == nullptr && MOS_DLIST__IS_EMPTY(&pPart->secSendList.mitList),
                         "secSendList is empty and without owner");
    mosFastlockBase_Release(&pPart->secSendListLock);
    netSec_DisconnectSocket(pPart);
    MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
    MOS_MIT_END(pMit);
}
