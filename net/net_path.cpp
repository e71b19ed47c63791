#include <arpa/inet.h>
#include <sys/socket.h>

#include <cstdlib>
#include <cstring>

#include "mos/mos_dbg.h"
#include "mos/mos_diag_counters.h"
#include "mos/sdbg/sdbg_exports.h"
#include "mos/usr/mos_net.h"
#include "net/net_path_intrn.h"

namespace {
enum : MosContentionId {
    NET_PATH__LOCK_ID = 311,
};

const char *const pathConTypeStrings_G[] = {"NONE", "SERVER", "CLIENT"};

NetPathMgr *netPath_Mgr(NetPath *pPath)
{
    return net_GetPathMgr(pPath->pNet);
}

void netPath_InitTaskArea(NetPath *pPath, NetMit *pNetMit)
{
    pNetMit->area.pPath = pPath;
    pNetMit->area.sockArea.pSock = &pPath->sock;
    pNetMit->area.pIov = &pPath->rcvIov;
}

void netPath_ReportConState(NetPath *pPath, BOOL bUp)
{
    NetCon *pCon = netPath_GetCon(pPath);
    if (pCon != nullptr)
        netCon_UpdateConState(pCon, bUp);
}

// Marks the socket in error under the path lock when it is up; TRUE when it was.
BOOL netPath_MarkAsErrorLocked(NetPath *pPath)
{
    MosFastlockGuard guard(&pPath->lock);
    if (!pPath->bConnected)
        return FALSE;
    NET_PATH_TRACE(pPath, MOS_FREQ_MED, "Telling socket to start closing");
    netSocket_MarkAsError(&pPath->sock);
    pPath->bConnected = FALSE;
    return TRUE;
}
void netPath_LocalAddr(NetPath *pPath, char *pBuf, Port *pPort)
{
    struct sockaddr_storage ss;
    socklen_t len = sizeof(ss);
    strcpy(pBuf, NET_ADDRESS_STRING__INVALID);
    *pPort = 0;
    if (getsockname(pPath->sock.socket, reinterpret_cast<struct sockaddr *>(&ss), &len) != 0)
        return;
    if (ss.ss_family == AF_INET) {
        const auto *pIn = reinterpret_cast<const struct sockaddr_in *>(&ss);
        inet_ntop(AF_INET, &pIn->sin_addr, pBuf, NET_ADDRESS_STRING_LEN);
        *pPort = ntohs(pIn->sin_port);
    } else if (ss.ss_family == AF_INET6) {
        const auto *pIn6 = reinterpret_cast<const struct sockaddr_in6 *>(&ss);
        inet_ntop(AF_INET6, &pIn6->sin6_addr, pBuf, NET_ADDRESS_STRING_LEN);
        *pPort = ntohs(pIn6->sin6_port);
    }
}
} // namespace

const char *netPath_ConTypeStr(UINT32 type)
{
    return type < MOS_ARRAY_SIZE(pathConTypeStrings_G) ? pathConTypeStrings_G[type] : "UNKNOWN";
}

const char *netPath_ConnStr(const NetPath *pPath)
{
    return pPath->bConnected ? "Connected" : "Disconnected";
}

const char *netPath_LiveStr(const NetPath *pPath)
{
    return pPath->bDie ? "Dying" : "Live";
}

void netPath_CountDiag(NetPath *pPath, MosDiagCounterType counter)
{
    NetCon *pCon = netPath_GetCon(pPath);
    mosDiagCounters_CountExt(counter, pCon != nullptr ? netCon_GetConId(pCon) : 0);
}

void netPath_Init(NetPath *pPath, Net *pNet)
{
    MOS_ASSERT(pNet != nullptr);
    memset(static_cast<void *>(pPath), 0, sizeof(*pPath));
    pPath->pNet = pNet;
    MOS_FASTLOCK_CREATE(&pPath->lock, NET_PATH__LOCK_ID);
    mosMitCond_Init(&pPath->cond);
    NET_IOV__INIT(&pPath->rcvIov);
    NET_IOV__INIT(&pPath->ctrlIov);
    mosDList_InitNode(&pPath->regMgr.node);
    MosObj_Type *pType = mosObjType_GetPtrByID(SDBG_EXPORTS_OBJ_TYPE__NET_PATH);
    if (pType != nullptr)
        mosObjType_RegObj(pType, &pPath->sdbgObj, "net path");
    pPath->conType = PATH_CON_TYPE__NONE;
    netPath_ResetPeerIdAndVersion(pPath);
    pPath->netConfGeneration = net_GetConfGeneration(pNet);
    pPath->refCount = 1;
    pPath->prioSenderCount = 0;
    net_PathCreated(pNet);
    NET_PATH_TRACE(pPath, MOS_FREQ_MED, "Initialized");
}

void netPath_InitClient(NetPath *pPath, Net *pNet)
{
    netPath_Init(pPath, pNet);
    pPath->conType = PATH_CON_TYPE__CLIENT;
    pPath->maxConnectRetries = (UINT8)net_GetConf(pNet)->connectRetriesNum;
}

void netPath_StartAsClient(NetPath *pPath)
{
    MOS_ASSERT(!pPath->bConnected);
    MOS_ASSERT(pPath->pPortal != nullptr && netPortal_GetCon(pPath->pPortal) != nullptr);
    netSocket_Create(&pPath->sock, pPath->pNet, netPortal_GetAddr(pPath->pPortal), SOCKET_ROLE__SNDRCV);
    netMit_InitEx(&pPath->rcvMit, net_GetWorkerMitSched(pPath->pNet), pPath->pNet, netPath_DecreaseRefCountMitDtor,
                  FALSE, FALSE);
    netPath_InitTaskArea(pPath, &pPath->rcvMit);
    mosMit_Start(netMit_GetMit(&pPath->rcvMit), netPath_StartAsClient_CK);
}

void netPath_StartAsServer(NetPath *pPath, SOCKET sock)
{
    MOS_ASSERT(!pPath->bConnected);
    pPath->pPortal = nullptr;
    netSocket_Create(&pPath->sock, pPath->pNet, nullptr, SOCKET_ROLE__SNDRCV);
    netSocket_ConnectViaAccept(&pPath->sock, sock);
    netMit_InitEx(&pPath->rcvMit, net_GetWorkerMitSched(pPath->pNet), pPath->pNet, netPath_DecreaseRefCountMitDtor,
                  FALSE, FALSE);
    netPath_InitTaskArea(pPath, &pPath->rcvMit);
    pPath->rcvMit.area.pSample = pPath->perfSample;
    mosMit_Start(netMit_GetMit(&pPath->rcvMit), netPath_StartAsServer_CK);
}

void netPath_MarkAsError(NetPath *pPath)
{
    if (!netPath_MarkAsErrorLocked(pPath))
        NET_PATH_TRACE(pPath, MOS_FREQ_MED, "Already disconnected");
}

void netPath_MarkAsErrorIfNeeded(NetPath *pPath)
{
    netPath_MarkAsErrorLocked(pPath);
}

void netPath_StartDisconnect(NetPath *pPath)
{
    {
        MosFastlockGuard guard(&pPath->lock);
        pPath->bDie = TRUE;
        // A client path waiting between connect attempts notices at once.
        mosMitCond_Broadcast(&pPath->cond, MOS_RC__ABORTED);
    }
    netPathMgr_WakeFrozen(net_GetPathMgr(pPath->pNet));
    netPath_MarkAsError(pPath);
}

void netPath_ModifyAddr(NetPath *pPath, const NetAddress *pAddr)
{
    NET_PATH_TRACE(pPath, MOS_FREQ_MED, "setting address %s and port %u", netAddress_ToStr(pAddr),
                   (unsigned)netAddress_GetPort(pAddr));
    if (netSocket_ModifyAddr(&pPath->sock, pAddr))
        netPath_MarkAsError(pPath);
}

const NetAddress *netPath_GetPeerAddr(const NetPath *pPath)
{
    return netSocket_GetPeerAddr(&pPath->sock);
}

Net *netPath_GetNet(const NetPath *pPath)
{
    return pPath->pNet;
}

BOOL netPath_IsConnected(NetPath *pPath)
{
    MosFastlockGuard guard(&pPath->lock);
    return pPath->bConnected;
}

NetPathMgr_Reg *netPath_GetRegMgr(NetPath *pPath)
{
    return &pPath->regMgr;
}

NetPath *netPath_GetByRegMgr(NetPathMgr_Reg *pReg)
{
    return MOS_CONTAINER_OF(pReg, NetPath, regMgr);
}

NetMit *netPath_GetRcvMit(NetPath *pPath)
{
    return &pPath->rcvMit;
}

NetCon *netPath_GetCon(const NetPath *pPath)
{
    return pPath->pPortal != nullptr ? netPortal_GetCon(pPath->pPortal) : nullptr;
}

BOOL netPath_IsPeerIdValidated(const NetPath *pPath)
{
    return NET_ID__IS_KNOWN(&pPath->peerId);
}

void netPath_SetPeerVersion(NetPath *pPath, UINT32 version)
{
    pPath->peerVersion = version;
}

void netPath_SetPeerId(NetPath *pPath, const NetIdentifier *pId)
{
    MOS_ASSERT(!(NET_ID__IS_KNOWN(&pPath->peerId) && NET_ID__IS_KNOWN(pId) && !NET_ID__IS_MATCH(&pPath->peerId, pId)));
    pPath->peerId = *pId;
}

void netPath_ResetPeerIdAndVersion(NetPath *pPath)
{
    NET_ID__RESET(&pPath->peerId);
    pPath->peerVersion = NET_PATH__UNKNOWN_VERSION;
}

void netPath_IncreaseRefCount(NetPath *pPath)
{
    MosFastlockGuard guard(&pPath->lock);
    MOS_ASSERT(pPath->refCount != 0);
    pPath->refCount++;
}

void netPath_DecreaseRefCount(NetPath *pPath)
{
    UINT32 left;
    {
        MosFastlockGuard guard(&pPath->lock);
        MOS_ASSERT(pPath->refCount != 0);
        left = --pPath->refCount;
    }
    if (left != 0)
        return;
    if (pPath->pPortal != nullptr) {
        netPortal_PathDied(pPath);
        return;
    }
    netListen_PathWithNoOwnerDied(pPath);
}

void netPath_DecreaseRefCountMitDtor(MosMit *pMit)
{
    netPath_DecreaseRefCount(netPath_OfMit(pMit));
}

void netPath_Destroy(NetPath **ppPath)
{
    NetPath *pPath = *ppPath;
    MOS_ASSERT(pPath->pPortal == nullptr);
    NET_PATH_TRACE(pPath, MOS_FREQ_MED, "Destroyed");
    if (mosObj_IsRegistered(&pPath->sdbgObj))
        mosObjType_UnregObj(mosObjType_GetPtrByID(SDBG_EXPORTS_OBJ_TYPE__NET_PATH), &pPath->sdbgObj);
    mosMitCond_Destroy(&pPath->cond);
    mosFastlockBase_Destroy(&pPath->lock);
    netIov_Destroy(&pPath->rcvIov);
    netIov_Destroy(&pPath->ctrlIov);
    Net *pNet = pPath->pNet;
    memset(static_cast<void *>(pPath), 0, sizeof(*pPath));
    free(pPath);
    *ppPath = nullptr;
    net_PathDestroyed(pNet);
}

void netPath_Query(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    MOS_UNUSED(pName);
    NetPath *pPath = MOS_CONTAINER_OF(pObj, NetPath, sdbgObj);
    NetPath_Query *pQuery = static_cast<NetPath_Query *>(pData);
    memset(pQuery, 0, sizeof(*pQuery));
    netSocket_Query(&pPath->sock, &pQuery->sockQuery);
    pQuery->bConnected = pPath->bConnected;
    pQuery->bDie = pPath->bDie;
    pQuery->kaSendItr = pPath->ka[NET_PATH_KA__SEND].idleItr;
    pQuery->kaRcvItr = pPath->ka[NET_PATH_KA__RCV].idleItr;
    pQuery->remoteTimeStamp = pPath->peerId.timeStamp;
    pQuery->remoteMagicNumber = pPath->peerId.magicNumber;
    pQuery->remoteVersion = pPath->peerVersion;
    NetCon *pCon = netPath_GetCon(pPath);
    pQuery->ownerType = pCon != nullptr ? (UINT32)netCon_GetOwnerType(pCon) : 0;
}

BOOL netPath_SetOrValidatePeerIdAndVersion(NetPath *pPath, const Socket_Header *pHeader)
{
    NetCon *pCon = netPath_GetCon(pPath);
    const NetIdentifier id = {pHeader->ka_NetIdTimeStamp, pHeader->ka_NetIdMagicNumber};
    const UINT32 version = pHeader->ka_MosVersion;
    NET_PATH_TRACE(pPath, MOS_FREQ_HIGH, "Called with timestamp %u magic %u version %u conID %lx", id.timeStamp,
                   id.magicNumber, version, (unsigned long)(pCon != nullptr ? netCon_GetConId(pCon) : 0));
    if (pCon == nullptr)
        return FALSE;
    if (!NET_ID__IS_KNOWN(&pPath->peerId)) {
        if (!NET_ID__IS_KNOWN(&id) || !netCon_SetOrMatchPeerId(pCon, &id, pPath)) {
            mosDiagCounters_CountExt(MOS_DIAG_COUNTER__MESSAGE_PEER_ID_MISMATCH, netCon_GetConId(pCon));
            NET_PATH_TRACE(pPath, MOS_FREQ_LOW, "Peer id mismatch in con ID %lx owner %d",
                           (unsigned long)netCon_GetConId(pCon), (int)netCon_GetOwnerType(pCon));
            return FALSE;
        }
    }
    if (netCon_GetOwnerType(pCon) == NET_OWNER_TYPE__INI && SOCKET_HEADER__GET_HEADER_TYPE(pHeader->prop) == SOCKET_HEADER_TYPE__NEW_CON)
        return TRUE;
    if (version != 0 && pPath->peerVersion == NET_PATH__UNKNOWN_VERSION) {
        pPath->peerVersion = version;
        netCon_SetPeerVersionIfNeeded(pCon, version);
    }
    return TRUE;
}

// One connect attempt of a client path.
Mos_RC netPath_Connect_CK(MosMit *pMit, Mos_RC rc)
{
    NetPath *pPath = netPath_OfMit(pMit);
    Net_MitArea *pArea = netMit_GetArea(pMit);
    MOS_MIT_BEGIN(pMit);
    NET_PATH_TRACE(pPath, MOS_FREQ_MED, "connecting");
    pArea->sockArea.pSock = &pPath->sock;
    MOS_MIT_CALL(pMit, rc, netSock_Connect_CK);
    if (rc != MOS_RC__SUCCESS) {
        NET_PATH_TRACE(pPath, MOS_FREQ_MED, "connect failure (%s)", mosRc_GetStr(rc));
        MOS_MIT_RETURN(pMit, rc);
    }
    // The upgrade comes before the path joins keep-alive, whose frames would otherwise cut into
    // the handshake.
    MOS_MIT_CALL(pMit, rc, netSec_Connect_CK);
    pPath = netPath_OfMit(pMit);
    if (rc != MOS_RC__SUCCESS) {
        NET_PATH_TRACE(pPath, MOS_FREQ_MED, "secure connect failure (%s)", mosRc_GetStr(rc));
        pPath->lastConnectRc = rc;
        MOS_MIT_CALL(pMit, rc, netPath_Disconnect_CK);
        MOS_MIT_RETURN(pMit, netPath_OfMit(pMit)->lastConnectRc);
    }
    NET_PATH_TRACE(pPath, MOS_FREQ_MED, "connected successfully");
    netPathMgr_RegPath(netPath_Mgr(pPath), pPath, FALSE);
    {
        NetCon *pCon = netPath_GetCon(pPath);
        const UINT64 independentId = netCon_GetIndependentId(pCon);
        const ConId conId = independentId != 0 ? independentId : net_GetMyConId(pPath->pNet);
        socketHeader_FillNewCon(&pArea->extHeader, net_GetOwnerType(pPath->pNet), conId, net_GetMyNumericVersion(),
                                net_GetNetIdentifier(pPath->pNet));
    }
    MOS_MIT_CALL(pMit, rc, netPath_SendMsg_CK);
    NET_PATH_TRACE(pPath, MOS_FREQ_LOW, "APP connection ID %lx connect status %s connection to %s",
                   (unsigned long)socketHeader_GetConId(&pArea->extHeader.header), mosRc_GetStr(rc),
                   netAddress_ToStr(netPath_GetPeerAddr(pPath)));
    if (rc == MOS_RC__SUCCESS)
        MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
    NET_PATH_TRACE(pPath, MOS_FREQ_LOW, "Send failed(%s), will declare disconnected", mosRc_GetStr(rc));
    pPath->lastConnectRc = rc; // kept across the two steps below
    MOS_MIT_CALL(pMit, rc, netPathMgr_UnRegPath_CK);
    MOS_MIT_CALL(pMit, rc, netPath_Disconnect_CK);
    MOS_MIT_RETURN(pMit, netPath_OfMit(pMit)->lastConnectRc);
    MOS_MIT_END(pMit);
}

Mos_RC netPath_Disconnect_CK(MosMit *pMit, Mos_RC rc)
{
    MOS_MIT_BEGIN(pMit);
    netMit_GetArea(pMit)->sockArea.pSock = &netPath_OfMit(pMit)->sock;
    MOS_MIT_CALL(pMit, rc, netSec_Disconnect_CK);
    MOS_MIT_CALL(pMit, rc, netSock_Disconnect_CK);
    MOS_MIT_RETURN(pMit, rc);
    MOS_MIT_END(pMit);
}

// The client loop: connect, run, disconnect, wait 100 ms, again, for as long as the path lives.
Mos_RC netPath_StartAsClient_CK(MosMit *pMit, Mos_RC rc)
{
    NetPath *pPath = netPath_OfMit(pMit);
    MOS_MIT_BEGIN(pMit);
    NET_PATH_TRACE(pPath, MOS_FREQ_MED, "Started");
    for (;;) {
        MOS_MIT_CALL(pMit, rc, netPath_Connect_CK);
        pPath = netPath_OfMit(pMit);
        if (rc == MOS_RC__SUCCESS) {
            pPath->maxConnectRetries = 0;
            if (MOS_TRACE_COND(MOS_COMP_NET, MOS_FREQ_LOW)) {
                char local[NET_ADDRESS_STRING_LEN];
                Port localPort = 0;
                netPath_LocalAddr(pPath, local, &localPort);
                NET_PATH_TRACE(pPath, MOS_FREQ_LOW, "connected to ip %s port %u, my address %s port %u",
                               netAddress_ToStr(netPath_GetPeerAddr(pPath)),
                               (unsigned)netAddress_GetPort(netPath_GetPeerAddr(pPath)), local, (unsigned)localPort);
            }
            {
                BOOL bDie;
                {
                    MosFastlockGuard guard(&pPath->lock);
                    pPath->bConnected = TRUE;
                    bDie = pPath->bDie;
                }
                if (!bDie) {
                    netCon_UpdateConState(netPath_GetCon(pPath), TRUE);
                    MOS_MIT_CALL(pMit, rc, netPath_RcvLoop_CK);
                    pPath = netPath_OfMit(pMit);
                }
            }
            {
                MosFastlockGuard guard(&pPath->lock);
                pPath->bConnected = FALSE;
            }
            netCon_UpdateConState(netPath_GetCon(pPath), FALSE);
            MOS_MIT_CALL(pMit, rc, netPathMgr_UnRegPath_CK);
            MOS_MIT_CALL(pMit, rc, netPath_Disconnect_CK);
            NET_PATH_TRACE(netPath_OfMit(pMit), MOS_FREQ_MED, "socket disconnection done");
            MOS_MIT_CALL(pMit, rc, netPathMgr_WaitIfFrozen_CK);
        } else {
            if (pPath->maxConnectRetries > 0) {
                pPath->maxConnectRetries--;
                NET_PATH_TRACE(pPath, MOS_FREQ_MED, "Number of connect retries is now %u",
                               (unsigned)pPath->maxConnectRetries);
            } else {
                netCon_UpdateConState(netPath_GetCon(pPath), FALSE);
                MOS_MIT_CALL(pMit, rc, netPathMgr_WaitIfFrozen_CK);
            }
        }
        pPath = netPath_OfMit(pMit);
        mosFastlockBase_Acquire(&pPath->lock);
        if (pPath->bDie) {
            NET_PATH_TRACE(pPath, MOS_FREQ_MED, "Noticed dying state");
            mosFastlockBase_Release(&pPath->lock);
            break;
        }
        MOS_MIT_AWAIT(pMit, rc, mosMitCond_WaitByQIntf(pMit, &netPath_OfMit(pMit)->cond,
                                                         &netPath_OfMit(pMit)->lock, MOS_TIMER_QUEUE_ID__100MILLI));
        pPath = netPath_OfMit(pMit);
        if (pPath->bDie) {
            mosFastlockBase_Release(&pPath->lock);
            break;
        }
        mosFastlockBase_Release(&pPath->lock);
        NET_PATH_TRACE(pPath, MOS_FREQ_MED, "retrying connect");
    }
    pPath = netPath_OfMit(pMit);
    netSocket_Destroy(&pPath->sock);
    NET_PATH_TRACE(pPath, MOS_FREQ_MED, "Done");
    MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
    MOS_MIT_END(pMit);
}

// The server loop: one accepted socket, from its first head to its end.
Mos_RC netPath_StartAsServer_CK(MosMit *pMit, Mos_RC rc)
{
    NetPath *pPath = netPath_OfMit(pMit);
    Net_MitArea *pArea = netMit_GetArea(pMit);
    MOS_MIT_BEGIN(pMit);
    pArea->sockArea.pSock = &pPath->sock;
    pArea->pIov = &pPath->rcvIov;
    netSocket_InitPeerAddr(&pPath->sock);
    if (!netAddress_IsValid(netPath_GetPeerAddr(pPath))) {
        NET_PATH_TRACE(pPath, MOS_FREQ_LOW, "Failed to retrieve the peer's address");
        goto end;
    }
    if (!net_IsPeerAllowed(pPath->pNet, netPath_GetPeerAddr(pPath))) {
        NET_PATH_TRACE(pPath, MOS_FREQ_LOW, "Rejected connection from %s (Not in whitelist).",
                       netAddress_ToStr(netPath_GetPeerAddr(pPath)));
        goto end;
    }
    NET_PATH_TRACE(pPath, MOS_FREQ_MED, "started");
    MOS_MIT_CALL(pMit, rc, netPath_ReadHead_CK);
    pPath = netPath_OfMit(pMit);
    if (rc != MOS_RC__SUCCESS) {
        NET_PATH_TRACE(pPath, MOS_FREQ_LOW, "Failed to receive");
        goto end;
    }
    // The first head decides: a plain NEW_CON is accepted or refused by the security policy, a
    // NEW_SSL_CON upgrades the path and leaves here the NEW_CON read inside the session.
    MOS_MIT_CALL(pMit, rc, netSec_Accept_CK);
    pPath = netPath_OfMit(pMit);
    pArea = netMit_GetArea(pMit);
    if (rc != MOS_RC__SUCCESS) {
        NET_PATH_TRACE(pPath, MOS_FREQ_LOW, "Connection refused or not secured (%s)", mosRc_GetStr(rc));
        goto end;
    }
    if (SOCKET_HEADER__GET_HEADER_TYPE(pArea->extHeader.header.prop) != SOCKET_HEADER_TYPE__NEW_CON) {
        NET_PATH_ERROR(pPath, "Socket received a non connect request type %d",
                       (int)SOCKET_HEADER__GET_HEADER_TYPE(pArea->extHeader.header.prop));
        netPath_CountDiag(pPath, MOS_DIAG_COUNTER__RECEIVED_ILLEGAL_HEADER);
        goto end;
    }
    {
        const ConId conId = socketHeader_GetConId(&pArea->extHeader.header);
        const NetOwnerType ownerType = (NetOwnerType)SOCKET_HEADER__GET_OWNER_TYPE(pArea->extHeader.header.prop);
        NET_PATH_TRACE(pPath, MOS_FREQ_LOW, "New connection request from con ID %lx owner 0x%x", (unsigned long)conId,
                       (unsigned)ownerType);
        if (!NET_CON__IS_VALID_HCON(net_AssignPathWithServerCon(pPath->pNet, conId, ownerType, pPath))) {
            NET_PATH_TRACE(pPath, MOS_FREQ_LOW, "failed to link Connection ID %lx owner 0x%x", (unsigned long)conId,
                           (unsigned)ownerType);
            goto end;
        }
    }
    netPathMgr_RegPath(netPath_Mgr(pPath), pPath, TRUE);
    if (!netPath_SetOrValidatePeerIdAndVersion(pPath, &pArea->extHeader.header)) {
        NET_PATH_TRACE(pPath, MOS_FREQ_LOW, "WARNING: failed Peer ID validation");
    } else {
        BOOL bDie;
        {
            MosFastlockGuard guard(&pPath->lock);
            pPath->bConnected = TRUE;
            bDie = pPath->bDie;
        }
        if (bDie) {
            NET_PATH_TRACE(pPath, MOS_FREQ_MED, "Noticed dying state");
        } else {
            netCon_UpdateConState(netPath_GetCon(pPath), TRUE);
            MOS_MIT_CALL(pMit, rc, netPath_RcvLoop_CK);
        }
    }
    MOS_MIT_CALL(pMit, rc, netPathMgr_UnRegPath_CK);
end:
    pPath = netPath_OfMit(pMit);
    {
        MosFastlockGuard guard(&pPath->lock);
        pPath->bConnected = FALSE;
        pPath->bDie = TRUE;
    }
    netPath_ReportConState(pPath, FALSE);
    MOS_MIT_CALL(pMit, rc, netPath_Disconnect_CK);
    pPath = netPath_OfMit(pMit);
    netSocket_Destroy(&pPath->sock);
    netPath_ResetPeerIdAndVersion(pPath);
    MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
    MOS_MIT_END(pMit);
}
