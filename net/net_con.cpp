#include "net/net_con.h"

#include <cstdlib>
#include <initializer_list>
#include <cstring>

#include "mos/mos_dbg.h"
#include "mos/mos_diag_counters.h"
#include "mos/mos_trace.h"
#include "mos/sdbg/sdbg_exports.h"
#include "mos/usr/mos_net.h"
#include "net/net_con_intrn.h"
#include "net/net_path_intrn.h"

namespace {
enum : MosContentionId {
    NET_CON__LOCK_ID = 320,
};

const char *const conStateStrings_G[] = {"NONE",          "INIT",         "CONNECTING", "CONNECTED",
                                         "DISCONNECTING", "DISCONNECTED", "CANCELLED"};
const char *const conTypeStrings_G[] = {"NONE", "SERVER", "CLIENT"};
const char *const ownerTypeStrings_G[] = {"NONE", "TGT", "INI", "OSTREL", "SIM", "CLI", "CLS", "YARRIN", "OSTREL_S", "SMS"};

NetConManger *netCon_Mgr(NetCon *pCon)
{
    return net_GetConManager(pCon->pNet);
}

void netCon_TakeRef(NetCon *pCon)
{
    PVOID p = nullptr;
    MOS_ASSERT_SUCCESS(mosPMem_Ref(&netCon_Mgr(pCon)->conPMem, pCon->hCon, &p));
}

// Holds a connection's lock over a scope that may let go of references on the connection (a
// dying path's, a removed portal's). They are counted in pendingDerefs under the lock, and the very
// scope that let them go drops them once it has unlocked, touching nothing of the connection after:
// the last of them frees it. A shared count drained by whichever scope came last would let one
// scope drop another's references and free the connection while that other is still to unlock it.
class NetConDerefGuard {
  public:
    explicit NetConDerefGuard(NetCon *pCon) : pCon_(pCon) { mosFastlockBase_Acquire(&pCon_->conFastlock); }
    ~NetConDerefGuard()
    {
        const UINT32 n = pCon_->pendingDerefs;
        pCon_->pendingDerefs = 0;
        NetConManger *pMgr = netCon_Mgr(pCon_);
        const HNetCon hCon = pCon_->hCon;
        mosFastlockBase_Release(&pCon_->conFastlock);
        for (UINT32 i = 0; i < n; i++)
            mosPMem_Deref(&pMgr->conPMem, hCon);
    }
    NetConDerefGuard(const NetConDerefGuard &) = delete;
    NetConDerefGuard &operator=(const NetConDerefGuard &) = delete;

  private:
    NetCon *pCon_;
};

template <typename F> void netCon_ForEachPath(NetCon *pCon, F f)
{
    for (NetPortal *pPortal : pCon->pPortalsArr) {
        if (pPortal == nullptr)
            break;
        for (NetPath *pPath : pPortal->pPathsArr) {
            if (pPath == nullptr)
                break;
            f(pPortal, pPath);
        }
    }
}

UINT32 netCon_NumPortals(const NetCon *pCon)
{
    UINT32 n = 0;
    while (n < NET_CON__MAX_NUM_OF_IP_PER_HOST && pCon->pPortalsArr[n] != nullptr)
        n++;
    return n;
}

UINT32 netPortal_NumPaths(const NetPortal *pPortal)
{
    UINT32 n = 0;
    while (n < NET_CON__MAX_NUM_OF_SOCKETS_PER_IP && pPortal->pPathsArr[n] != nullptr)
        n++;
    return n;
}

// Every queued message goes back to its sender's task with MOS_RC__ABORTED (lock held).
void netCon_AbortQueuedMsgs(NetCon *pCon)
{
    for (MosDList_Anchor *pQueue : {&pCon->prioritizedMsgQueue, &pCon->msgQueue}) {
        while (pQueue->counter != 0) {
            MosDList_Node *pNode = mosDList_RemoveHead(pQueue);
            mosDList_InitNode(pNode);
            NetMsgSnd *pMsg = MOS_CONTAINER_OF(pNode, NetMsgSnd, sndMsgNode.msgListNode);
            mosMit_Resume(netMit_GetMit(&pMsg->mit), MOS_RC__ABORTED);
        }
    }
}

void netCon_ResetPeerIdAndVersionLocked(NetCon *pCon)
{
    NET_ID__RESET(&pCon->peerId);
    pCon->peerVersion = NET_CON__UNKNOWN_VERSION;
    pCon->bAlreadyNotifiedValidation = FALSE;
    mosUmtCond_Broadcast(&pCon->peerVersionCond);
    mosDiagCounters_CountExt(MOS_DIAG_COUNTER__NET_CON_PEER_ID_RESET, pCon->conId);
}

NetPortal *netCon_BuildPortal(NetCon *pCon, UINT32 slot, const NetAddress *pAddr, UINT32 numOfPaths, ConState state)
{
    NetPortal *pPortal = static_cast<NetPortal *>(calloc(1, sizeof(NetPortal)));
    MOS_ASSERT(pPortal != nullptr);
    pPortal->state = state;
    pPortal->addr = *pAddr;
    pPortal->configuredNumOfPaths = (UINT8)numOfPaths;
    pPortal->pCon = pCon;
    netCon_TakeRef(pCon);
    pCon->pPortalsArr[slot] = pPortal;
    NET_CON_TRACE(pCon, MOS_FREQ_MED, "A new portal with ip %s port %u numOfPaths %u added", netAddress_ToStr(pAddr),
                  (unsigned)netAddress_GetPort(pAddr), numOfPaths);
    return pPortal;
}

// Removes a portal without paths from its slot (lock held); the array stays dense. Its
// connection reference is returned to the caller to release outside the lock.
void netCon_PortalDied(NetPortal *pPortal)
{
    NetCon *pCon = pPortal->pCon;
    NET_CON_TRACE(pCon, MOS_FREQ_MED, "Dying");
    MOS_ASSERT(netPortal_NumPaths(pPortal) == 0);
    if (netCon_GetNumConnectedPathsUnlocked(pCon) == 0 &&
        (pCon->conState == CON_STATE__CONNECTED || pCon->conState == CON_STATE__CONNECTING ||
         pCon->conState == CON_STATE__DISCONNECTING)) {
        // A server connection may lose its only portal while still connecting (its first path
        // failed before it came up): it simply ends disconnected.
        pCon->conState = CON_STATE__DISCONNECTED;
        netCon_ResetPeerIdAndVersionLocked(pCon);
        netCon_AbortQueuedMsgs(pCon);
        mosMitCond_Broadcast(&pCon->conMsgWaiters, MOS_RC__ABORTED);
        mosUmtEvent_Set(&pCon->waitForConnect);
    }
    const UINT32 n = netCon_NumPortals(pCon);
    const UINT32 idx = netCon_GetPortalIndex(pCon, pPortal);
    pCon->pPortalsArr[idx] = pCon->pPortalsArr[n - 1];
    pCon->pPortalsArr[n - 1] = nullptr;
    pPortal->state = CON_STATE__DISCONNECTED;
    pPortal->pCon = nullptr;
    free(pPortal);
}

// Makes a portal's paths what its state and configured count ask for (lock held).
void netPortal_ClientUpdatePaths(NetPortal *pPortal, BOOL bSetAsConnected)
{
    NetCon *pCon = pPortal->pCon;
    if (bSetAsConnected && pPortal->state == CON_STATE__INIT) {
        pPortal->state = CON_STATE__CONNECTING;
        pCon->bAlreadyNotifiedValidation = FALSE;
    }
    UINT32 wanted = 0;
    if (pPortal->state == CON_STATE__CONNECTING || pPortal->state == CON_STATE__CONNECTED) {
        MOS_ASSERT(netAddress_IsValid(&pPortal->addr));
        MOS_ASSERT(pPortal->configuredNumOfPaths <= NET_CON__MAX_NUM_OF_SOCKETS_PER_IP);
        wanted = pPortal->configuredNumOfPaths;
    }
    for (UINT32 i = 0; i < NET_CON__MAX_NUM_OF_SOCKETS_PER_IP; i++) {
        NetPath *pPath = pPortal->pPathsArr[i];
        if (i < wanted) {
            if (pPath != nullptr) {
                if (pPath->sock.state != SOCKET_STATE__NONE)
                    netPath_ModifyAddr(pPath, &pPortal->addr);
                continue;
            }
            pPath = static_cast<NetPath *>(malloc(sizeof(NetPath)));
            MOS_ASSERT(pPath != nullptr);
            netPath_InitClient(pPath, pCon->pNet);
            pPath->pPortal = pPortal;
            netCon_TakeRef(pCon);
            pPortal->pPathsArr[i] = pPath;
            netPath_StartAsClient(pPath);
        } else if (pPath != nullptr && !pPath->bDie) {
            netPath_StartDisconnect(pPath);
        }
    }
}

UINT8 netCon_CountConnected(NetCon *pCon)
{
    UINT32 n = 0;
    netCon_ForEachPath(pCon, [&](NetPortal *, NetPath *pPath) {
        if (__atomic_load_n(&pPath->bConnected, __ATOMIC_ACQUIRE))
            n++;
    });
    return (UINT8)n;
}
} // namespace

const char *netCon_StateStr(UINT32 state)
{
    return state < MOS_ARRAY_SIZE(conStateStrings_G) ? conStateStrings_G[state] : "UNKNOWN";
}

const char *netCon_TypeStr(UINT32 type)
{
    return type < MOS_ARRAY_SIZE(conTypeStrings_G) ? conTypeStrings_G[type] : "UNKNOWN";
}

const char *NET_OWNER_TYPE__GET_STR(UINT32 ownerType)
{
    const UINT32 idx = ownerType >> 12;
    return (ownerType & 0xFFFu) == 0 && idx < MOS_ARRAY_SIZE(ownerTypeStrings_G) ? ownerTypeStrings_G[idx] : "INVALID";
}

HNetCon netCon_Init(NetCon *pCon, Net *pNet, ConId conId, NetOwnerType ownerType, const NetConCallback *pCB,
                    ConState conState, ConType conType)
{
    memset(static_cast<void *>(pCon), 0, sizeof(*pCon));
    pCon->pNet = pNet;
    pCon->hCon = mosPMemFactory_AllocHandle(&net_GetConManager(pNet)->conPMem, pCon);
    if (pCon->hCon == 0) {
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "WARNING: Failed to allocate a memory handle for conId%lx",
                  (unsigned long)conId);
        return 0;
    }
    MOS_FASTLOCK_CREATE(&pCon->conFastlock, NET_CON__LOCK_ID);
    mosMitCond_Init(&pCon->conMsgWaiters);
    mosMitCond_Init(&pCon->senderCond);
    mosMitCond_Init(&pCon->privilegedCond);
    mosUmtCond_Init(&pCon->peerVersionCond);
    mosUmtCond_Init(&pCon->peerIdCond);
    pCon->conType = conType;
    pCon->ownerType = ownerType;
    pCon->conId = conId;
    pCon->conState = conState;
    pCon->conCB = *pCB;
    pCon->pConCB = &pCon->conCB;
    netCon_ResetPeerIdAndVersionLocked(pCon);
    MosObj_Type *pType = mosObjType_GetPtrByID(SDBG_EXPORTS_OBJ_TYPE__NET_CON);
    if (pType != nullptr)
        mosObjType_RegObj(pType, &pCon->sdbgObj, "net con");
    mosUmtEvent_Init(&pCon->waitForConnect, FALSE);
    mosBWC_Create(&pCon->sendSizeBwc, MOS_BWC__WIN_SIZE_GLOBAL);
    mosBWC_Create(&pCon->sendLatencyBwc, MOS_BWC__WIN_SIZE_GLOBAL);
    MOS_ASSERT(pCon->pConCB->pConFunc != nullptr);
    MOS_ASSERT(pCon->pConCB->pDisconFunc != nullptr);
    MOS_ASSERT(pCon->pConCB->pObjCon != nullptr);
    mosDList_InitAnchor(&pCon->msgQueue);
    mosDList_InitAnchor(&pCon->prioritizedMsgQueue);
    pCon->pChan = netChannelManager_AddOrGet(&net_GetConManager(pNet)->channelMngr, conId, pCon->hCon,
                                             conType == CON_TYPE__CLIENT);
    return pCon->hCon;
}

void netCon_Destroy(NetCon *pCon)
{
    MOS_ASSERT(netCon_NumPortals(pCon) == 0);
    MOS_ASSERT(pCon->conType == CON_TYPE__SERVER || pCon->conState == CON_STATE__INIT ||
               pCon->conState == CON_STATE__DISCONNECTED || pCon->conState == CON_STATE__CANCELLED);
    if (mosObj_IsRegistered(&pCon->sdbgObj))
        mosObjType_UnregObj(mosObjType_GetPtrByID(SDBG_EXPORTS_OBJ_TYPE__NET_CON), &pCon->sdbgObj);
    netConManager_DeleteCon(net_GetConManager(pCon->pNet), pCon);
    if (pCon->pChan != nullptr)
        netChannel_DecRef(pCon->pChan, &net_GetConManager(pCon->pNet)->channelMngr);
    mosUmtEvent_Destroy(&pCon->waitForConnect);
    mosBWC_Destroy(&pCon->sendSizeBwc);
    mosBWC_Destroy(&pCon->sendLatencyBwc);
    mosUmtCond_Destroy(&pCon->peerVersionCond);
    mosUmtCond_Destroy(&pCon->peerIdCond);
    mosMitCond_Destroy(&pCon->conMsgWaiters);
    mosMitCond_Destroy(&pCon->senderCond);
    mosMitCond_Destroy(&pCon->privilegedCond);
    mosFastlockBase_Destroy(&pCon->conFastlock);
    free(pCon);
}

UINT32 netCon_GetPortalIndex(const NetCon *pCon, const NetPortal *pPortal)
{
    UINT32 idx = 0;
    while (idx < NET_CON__MAX_NUM_OF_IP_PER_HOST && pCon->pPortalsArr[idx] != nullptr &&
           pCon->pPortalsArr[idx] != pPortal)
        idx++;
    MOS_ASSERT_WITH_DESC(idx < NET_CON__MAX_NUM_OF_IP_PER_HOST && pCon->pPortalsArr[idx] == pPortal,
                         "portal not in its connection");
    return idx;
}

UINT32 netPortal_GetPathIndex(const NetPortal *pPortal, const NetPath *pPath)
{
    UINT32 idx = 0;
    while (idx < NET_CON__MAX_NUM_OF_SOCKETS_PER_IP && pPortal->pPathsArr[idx] != nullptr &&
           pPortal->pPathsArr[idx] != pPath)
        idx++;
    MOS_ASSERT_WITH_DESC(idx < NET_CON__MAX_NUM_OF_SOCKETS_PER_IP && pPortal->pPathsArr[idx] == pPath,
                         "path not in its portal");
    return idx;
}

void netCon_SetType(NetCon *pCon, ConType conType)
{
    MosFastlockGuard guard(&pCon->conFastlock);
    pCon->conType = conType;
}

HNetCon netCon_GetHCon(const NetCon *pCon)
{
    return pCon->hCon;
}

ConId netCon_GetConId(const NetCon *pCon)
{
    return pCon->conId;
}

NetOwnerType netCon_GetOwnerType(const NetCon *pCon)
{
    return pCon->ownerType;
}

UINT64 netCon_GetIndependentId(const NetCon *pCon)
{
    return pCon->independentNetId;
}

NetCon *netPortal_GetCon(const NetPortal *pPortal)
{
    return pPortal->pCon;
}

const NetAddress *netPortal_GetAddr(const NetPortal *pPortal)
{
    return &pPortal->addr;
}

Mos_RC netCon_ClientAddPortalUnlocked(NetCon *pCon, const NetAddress *pAddr, UINT32 numOfSockets)
{
    MOS_ASSERT(netAddress_IsValid(pAddr));
    MOS_ASSERT(pCon->conType == CON_TYPE__CLIENT);
    const UINT32 n = netCon_NumPortals(pCon);
    for (UINT32 i = 0; i < n; i++) {
        if (netAddress_IsEqual(&pCon->pPortalsArr[i]->addr, pAddr)) {
            NET_CON_TRACE(pCon, MOS_FREQ_LOW, "Portal with ip %s port %u already exists.", netAddress_ToStr(pAddr),
                          (unsigned)netAddress_GetPort(pAddr));
            mosDiagCounters_CountExt(MOS_DIAG_COUNTER__FAILED_TO_ADD_PORTAL, pCon->conId);
            return MOS_RC__ALREADY_EXISTS;
        }
    }
    if (n == NET_CON__MAX_NUM_OF_IP_PER_HOST) {
        mosDiagCounters_CountExt(MOS_DIAG_COUNTER__FAILED_TO_ADD_PORTAL, pCon->conId);
        return MOS_RC__TOO_MANY_IPS;
    }
    netCon_BuildPortal(pCon, n, pAddr, numOfSockets, CON_STATE__INIT);
    return MOS_RC__SUCCESS;
}

Mos_RC netCon_ClientAddPortalList(NetCon *pCon, const NetCon_RemoteHosts *pHosts)
{
    MOS_ASSERT(pCon->conType == CON_TYPE__CLIENT);
    MOS_ASSERT(pHosts->hostsCount != 0 && pHosts->hostsCount <= NET_CON__MAX_NUM_OF_IP_PER_HOST);
    MOS_ASSERT(pHosts->numOfSocketPerIp != 0 && pHosts->numOfSocketPerIp <= NET_CON__MAX_NUM_OF_SOCKETS_PER_IP);
    NetAddress addrs[NET_CON__MAX_NUM_OF_IP_PER_HOST];
    for (UINT32 i = 0; i < pHosts->hostsCount; i++) {
        const Mos_RC rc = netAddress_BuildFromString(&addrs[i], pHosts->hosts[i], (Port)pHosts->port);
        if (rc != MOS_RC__SUCCESS) {
            NET_CON_TRACE(pCon, MOS_FREQ_LOW, "Failed to retrieve net address for host %s idx %u with %s",
                          pHosts->hosts[i], i, mosRc_GetStr(rc));
            return rc;
        }
    }
    NetConDerefGuard guard(pCon);
    for (UINT32 i = 0; i < pHosts->hostsCount; i++) {
        const Mos_RC rc = netCon_ClientAddPortalUnlocked(pCon, &addrs[i], pHosts->numOfSocketPerIp);
        if (rc != MOS_RC__SUCCESS) {
            NET_CON_TRACE(pCon, MOS_FREQ_LOW, "Failed index %u with %s", i, mosRc_GetStr(rc));
            for (UINT32 j = 0; j < i; j++)
                MOS_ASSERT(netCon_ClientRemovePortalLocked(pCon, &addrs[j]) == MOS_RC__SUCCESS);
            return rc;
        }
    }
    return MOS_RC__SUCCESS;
}

BOOL netCon_Connect(NetCon *pCon, BOOL bSync)
{
    {
        MosFastlockGuard guard(&pCon->conFastlock);
        if ((pCon->conState != CON_STATE__INIT && pCon->conState != CON_STATE__DISCONNECTED) ||
            netCon_CountConnected(pCon) != 0) {
            NET_CON_TRACE(pCon, MOS_FREQ_LOW, "Connect is not allowed");
            return FALSE;
        }
        pCon->conState = CON_STATE__CONNECTING;
        mosUmtEvent_Reset(&pCon->waitForConnect);
        for (UINT32 i = 0; i < netCon_NumPortals(pCon); i++)
            netPortal_ClientUpdatePaths(pCon->pPortalsArr[i], TRUE);
    }
    if (!bSync)
        return TRUE;
    mosUmtEvent_Wait(&pCon->waitForConnect);
    if (netCon_IsConnected(pCon))
        return TRUE;
    NET_CON_TRACE(pCon, MOS_FREQ_LOW, "failed, disconnecting");
    return FALSE;
}

// Called with the lock held; the portal goes now or, with paths, when its last path dies.
Mos_RC netCon_ClientRemovePortalByIdxLocked(NetCon *pCon, UINT32 portalIdx)
{
    MOS_ASSERT(pCon->conType == CON_TYPE__CLIENT && portalIdx < NET_CON__MAX_NUM_OF_IP_PER_HOST);
    NetPortal *pPortal = pCon->pPortalsArr[portalIdx];
    MOS_ASSERT(pPortal != nullptr);
    const BOOL bActive = pCon->conState == CON_STATE__CONNECTING || pCon->conState == CON_STATE__CONNECTED ||
                         pCon->conState == CON_STATE__DISCONNECTING || pCon->conState == CON_STATE__DISCONNECTED;
    if (bActive && netPortal_NumPaths(pPortal) != 0) {
        pPortal->state = CON_STATE__DISCONNECTING;
        for (NetPath *pPath : pPortal->pPathsArr)
            if (pPath != nullptr && !pPath->bDie)
                netPath_StartDisconnect(pPath);
        return MOS_RC__SUCCESS;
    }
    MOS_ASSERT(netPortal_NumPaths(pPortal) == 0);
    netCon_PortalDied(pPortal);
    pCon->pendingDerefs++;
    return MOS_RC__SUCCESS;
}

Mos_RC netCon_ClientRemovePortalLocked(NetCon *pCon, const NetAddress *pAddr)
{
    for (UINT32 i = 0; i < netCon_NumPortals(pCon); i++)
        if (netAddress_IsEqual(&pCon->pPortalsArr[i]->addr, pAddr))
            return netCon_ClientRemovePortalByIdxLocked(pCon, i);
    return MOS_RC__NOT_FOUND;
}

Mos_RC netCon_ClientRemovePortalByIdx(NetCon *pCon, UINT32 portalIdx)
{
    NetConDerefGuard guard(pCon);
    return netCon_ClientRemovePortalByIdxLocked(pCon, portalIdx);
}

Mos_RC netCon_ClientRemovePortal(NetCon *pCon, const NetAddress *pAddr)
{
    NetConDerefGuard guard(pCon);
    return netCon_ClientRemovePortalLocked(pCon, pAddr);
}

void netCon_Disconnect(NetCon *pCon)
{
    MOS_ASSERT(pCon->conType == CON_TYPE__CLIENT);
    BOOL bCancelled = FALSE;
    NetConChannelData chanData = {pCon->conId, 0, 0};
    {
        NetConDerefGuard guard(pCon);
        switch (pCon->conState) {
        case CON_STATE__INIT:
            pCon->conState = CON_STATE__CANCELLED;
            bCancelled = TRUE;
            break;
        case CON_STATE__CONNECTING:
        case CON_STATE__DISCONNECTED:
            mosMitCond_Broadcast(&pCon->conMsgWaiters, MOS_RC__ABORTED);
            [[fallthrough]];
        case CON_STATE__CONNECTED:
            pCon->conState = CON_STATE__DISCONNECTING;
            mosMitCond_Broadcast(&pCon->privilegedCond, MOS_RC__ABORTED);
            break;
        default:
            NET_CON_TRACE(pCon, MOS_FREQ_LOW, "Cannot disconnect state %s", netCon_StateStr(pCon->conState));
            return;
        }
        mosUmtEvent_Set(&pCon->waitForConnect);
        while (netCon_NumPortals(pCon) != 0) {
            const UINT32 before = netCon_NumPortals(pCon);
            // A portal with paths stays (marked) until its last path dies: walk from the end.
            UINT32 idx = before;
            BOOL bRemovedOne = FALSE;
            while (idx-- > 0) {
                NetPortal *pPortal = pCon->pPortalsArr[idx];
                if (pPortal->state == CON_STATE__DISCONNECTING && netPortal_NumPaths(pPortal) != 0)
                    continue;
                netCon_ClientRemovePortalByIdxLocked(pCon, idx);
                bRemovedOne = TRUE;
                break;
            }
            if (!bRemovedOne)
                break;
        }
        // With no paths left at all, the last path's report will not come: end here.
        if (!bCancelled && netCon_GetNumPathsUnlocked(pCon) == 0 && netCon_NumPortals(pCon) == 0)
            pCon->conState = CON_STATE__DISCONNECTED;
    }
    if (bCancelled)
        pCon->pConCB->pDisconFunc(pCon->pConCB->pObjCon, pCon->hCon, pCon->conId, pCon->ownerType, &chanData);
    NetConManger *pMgr = netCon_Mgr(pCon);
    netConManager_InvalidateCon(pMgr, pCon);
    netConManager_ReleaseCon(pMgr, pCon);
}

UINT32 netCon_AddServerPath(NetCon *pCon, NetPath *pPath)
{
    const NetAddress *pPeer = netPath_GetPeerAddr(pPath);
    if (!netAddress_IsValid(pPeer)) {
        NET_CON_TRACE(pCon, MOS_FREQ_LOW, "Failed to retrieve peer address");
        return NET_PORTAL__INVALID_PATH_IDX;
    }
    if (pCon->conType != CON_TYPE__SERVER) {
        NET_CON_TRACE(pCon, MOS_FREQ_LOW, "Server path blocked conId %lx type %s not adequate",
                      (unsigned long)pCon->conId, netCon_TypeStr(pCon->conType));
        return NET_PORTAL__INVALID_PATH_IDX;
    }
    MosFastlockGuard guard(&pCon->conFastlock);
    NetPortal *pPortal = nullptr;
    const UINT32 n = netCon_NumPortals(pCon);
    for (UINT32 i = 0; i < n && pPortal == nullptr; i++)
        if (netAddress_IsSimilar(&pCon->pPortalsArr[i]->addr, pPeer))
            pPortal = pCon->pPortalsArr[i];
    if (pPortal == nullptr) {
        if (n == NET_CON__MAX_NUM_OF_IP_PER_HOST) {
            NET_CON_TRACE(pCon, MOS_FREQ_LOW, "No new portal entries available for address %s port %u",
                          netAddress_ToStr(pPeer), (unsigned)netAddress_GetPort(pPeer));
            mosDiagCounters_CountExt(MOS_DIAG_COUNTER__FAILED_TO_ADD_PORTAL, pCon->conId);
            return NET_PORTAL__INVALID_PATH_IDX;
        }
        pPortal = netCon_BuildPortal(pCon, n, pPeer, NET_CON__MAX_NUM_OF_SOCKETS_PER_IP, CON_STATE__CONNECTED);
    }
    const UINT32 idx = netPortal_NumPaths(pPortal);
    if (idx == NET_CON__MAX_NUM_OF_SOCKETS_PER_IP) {
        NET_CON_TRACE(pCon, MOS_FREQ_LOW, "No available path entries");
        return NET_PORTAL__INVALID_PATH_IDX;
    }
    pPortal->pPathsArr[idx] = pPath;
    pPath->pPortal = pPortal;
    netCon_TakeRef(pCon);
    NET_CON_TRACE(pCon, MOS_FREQ_MED, "Path %p added to portal %p address %s port %u", (void *)pPath, (void *)pPortal,
                  netAddress_ToStr(pPeer), (unsigned)netAddress_GetPort(pPeer));
    return idx;
}

void netCon_UpdateConState(NetCon *pCon, BOOL bDueToSuccess)
{
    enum { DUE_NONE, DUE_CON, DUE_DISCON } due = DUE_NONE;
    NetConChannelData chanData = {pCon->conId, 0, 0};
    {
        MosFastlockGuard guard(&pCon->conFastlock);
        pCon->connectedPaths = netCon_CountConnected(pCon);
        const ConState old = pCon->conState;
        switch (old) {
        case CON_STATE__CONNECTING:
        case CON_STATE__DISCONNECTED:
            if (pCon->connectedPaths > 0) {
                pCon->conState = CON_STATE__CONNECTED;
                due = DUE_CON;
            } else if (old == CON_STATE__CONNECTING && !bDueToSuccess) {
                // A connect that failed before any path came up: there was no connection to
                // report lost, but the connect is over.
                pCon->conState = CON_STATE__DISCONNECTED;
            }
            break;
        case CON_STATE__CONNECTED:
        case CON_STATE__DISCONNECTING:
            if (pCon->connectedPaths == 0) {
                pCon->conState = CON_STATE__DISCONNECTED;
                netCon_ResetPeerIdAndVersionLocked(pCon);
                netCon_AbortQueuedMsgs(pCon);
                due = DUE_DISCON;
            }
            break;
        default:
            // INIT or CANCELLED: a path's report raced with a cancel; nothing to change.
            MOS_ERROR(MOS_COMP_NET, "Bad connection state %u", (unsigned)old);
            return;
        }
        if (old == CON_STATE__CONNECTING) {
            NET_CON_TRACE(pCon, MOS_FREQ_MED, "Connection waiters %d connected paths %d",
                          (int)pCon->conMsgWaiters.waiters.counter, (int)pCon->connectedPaths);
            mosMitCond_Broadcast(&pCon->conMsgWaiters,
                                 pCon->conState == CON_STATE__CONNECTED ? MOS_RC__SUCCESS : MOS_RC__ABORTED);
        }
        if (!bDueToSuccess) {
            mosUmtCond_Broadcast(&pCon->peerVersionCond);
            mosUmtCond_Broadcast(&pCon->peerIdCond);
        }
        if (pCon->conState != old)
            mosUmtEvent_Set(&pCon->waitForConnect);
    }
    if (due == DUE_CON) {
        // The consumer may hand back the numbers it saved; a server side applies them at once.
        pCon->pConCB->pConFunc(pCon->pConCB->pObjCon, pCon->hCon, pCon->conId, pCon->ownerType, &chanData);
        if (pCon->pChan != nullptr)
            netChannel_UpdateChanNums(pCon->pChan, &chanData, pCon->conType == CON_TYPE__CLIENT);
    } else if (due == DUE_DISCON) {
        if (pCon->pChan != nullptr) {
            chanData.sendChannelNum = netChannel_GetSendNum(pCon->pChan);
            chanData.recvChannelNum = netChannel_GetRecvNum(pCon->pChan);
        }
        pCon->pConCB->pDisconFunc(pCon->pConCB->pObjCon, pCon->hCon, pCon->conId, pCon->ownerType, &chanData);
    }
}

BOOL netCon_SetOrMatchPeerId(NetCon *pCon, const NetIdentifier *pId, NetPath *pPath)
{
    BOOL bAnswer = FALSE;
    BOOL bNotify = FALSE;
    {
        MosFastlockGuard guard(&pCon->conFastlock);
        if (pCon->ownerType != NET_OWNER_TYPE__CLI && NET_ID__IS_KNOWN(&pCon->peerId) &&
            !NET_ID__IS_MATCH(&pCon->peerId, pId)) {
            NET_CON_TRACE(pCon, MOS_FREQ_LOW,
                          "Peer identity MISMATCH:ours: timeStamp 0x%X magicNumber 0x%X, theirs: timeStamp 0x%X "
                          "magicNumber 0x%X",
                          pCon->peerId.timeStamp, pCon->peerId.magicNumber, pId->timeStamp, pId->magicNumber);
            if (netCon_GetNumValidatedPahtsUnlocked(pCon) == 0) {
                NET_CON_TRACE(pCon, MOS_FREQ_LOW, "Resetting");
                netCon_ResetPeerIdAndVersionLocked(pCon);
            }
            bNotify = TRUE;
        } else {
            if (!NET_ID__IS_KNOWN(&pCon->peerId)) {
                pCon->peerId = *pId;
                NET_CON_TRACE(pCon, MOS_FREQ_LOW, "peer identity updated timeStamp=0x%X, magic=0x%X", pId->timeStamp,
                              pId->magicNumber);
            }
            netPath_SetPeerId(pPath, pId);
            bAnswer = TRUE;
            if (!pCon->bAlreadyNotifiedValidation &&
                netCon_GetNumValidatedPahtsUnlocked(pCon) == netCon_GetNumPathsUnlocked(pCon)) {
                pCon->bAlreadyNotifiedValidation = TRUE;
                bNotify = TRUE;
            }
        }
        mosUmtCond_Broadcast(&pCon->peerIdCond);
    }
    if (bNotify && pCon->pConCB->pPeerVerificationCK != nullptr)
        pCon->pConCB->pPeerVerificationCK(pCon->pConCB->pObjCon, pCon->hCon, pCon->conId, bAnswer);
    return bAnswer;
}

void netCon_SetPeerVersionIfNeeded(NetCon *pCon, UINT32 version)
{
    {
        MosFastlockGuard guard(&pCon->conFastlock);
        if (pCon->peerVersion != NET_CON__UNKNOWN_VERSION)
            return;
        pCon->peerVersion = version;
        NET_CON_TRACE(pCon, MOS_FREQ_LOW, "peer version updated to %u.%u.%u", version >> 24, (version >> 16) & 0xFFu,
                      (version >> 8) & 0xFFu);
        mosUmtCond_Broadcast(&pCon->peerVersionCond);
    }
    if (pCon->pConCB->pVersionDiscoveryCK != nullptr)
        pCon->pConCB->pVersionDiscoveryCK(pCon->pConCB->pObjCon, pCon->hCon, pCon->conId, version);
}

UINT32 netCon_GetPeerVersionNoWait(NetCon *pCon)
{
    return __atomic_load_n(&pCon->peerVersion, __ATOMIC_ACQUIRE);
}

BOOL netCon_GetPeerVersion(NetCon *pCon, BOOL bBlock, UINT32 timeoutMillis, UINT32 *pVersion)
{
    MosFastlockGuard guard(&pCon->conFastlock);
    if (pCon->peerVersion == NET_CON__UNKNOWN_VERSION && bBlock)
        mosUmtCond_TimedWait(&pCon->peerVersionCond, &pCon->conFastlock, timeoutMillis);
    *pVersion = pCon->peerVersion;
    return pCon->peerVersion != NET_CON__UNKNOWN_VERSION;
}

void netCon_ResetPeerIdAndVersion(NetCon *pCon)
{
    MosFastlockGuard guard(&pCon->conFastlock);
    netCon_ResetPeerIdAndVersionLocked(pCon);
}

BOOL netCon_IsConnected(NetCon *pCon)
{
    MosFastlockGuard guard(&pCon->conFastlock);
    const BOOL b = pCon->conState == CON_STATE__CONNECTED;
    NET_CON_TRACE(pCon, MOS_FREQ_HIGH, "we are%s", b ? "" : " not");
    return b;
}

BOOL netCon_IsFullyConnected(NetCon *pCon)
{
    MosFastlockGuard guard(&pCon->conFastlock);
    return pCon->conState == CON_STATE__CONNECTED &&
           netCon_CountConnected(pCon) == netCon_GetNumPathsUnlocked(pCon);
}

BOOL netCon_IsFullyValidated(NetCon *pCon, BOOL bSync)
{
    MosFastlockGuard guard(&pCon->conFastlock);
    auto all = [pCon] {
        const UINT32 n = netCon_GetNumPathsUnlocked(pCon);
        return n != 0 && netCon_GetNumValidatedPahtsUnlocked(pCon) == n;
    };
    if (!all() && bSync)
        mosUmtCond_TimedWaitByQ(&pCon->peerIdCond, &pCon->conFastlock, MOS_TIMER_QUEUE_ID__5SEC);
    return all();
}

UINT32 netCon_GetNumPathsUnlocked(NetCon *pCon)
{
    UINT32 n = 0;
    netCon_ForEachPath(pCon, [&](NetPortal *, NetPath *) { n++; });
    return n;
}

UINT32 netCon_GetNumConnectedPathsUnlocked(NetCon *pCon)
{
    return netCon_CountConnected(pCon);
}

UINT32 netCon_GetNumValidatedPahtsUnlocked(NetCon *pCon)
{
    UINT32 n = 0;
    netCon_ForEachPath(pCon, [&](NetPortal *, NetPath *pPath) {
        if (netPath_IsPeerIdValidated(pPath))
            n++;
    });
    return n;
}

void netCon_GetConState(NetCon *pCon, NetCon_GetConState *pOut)
{
    memset(pOut, 0, sizeof(*pOut));
    MosFastlockGuard guard(&pCon->conFastlock);
    pOut->conState = pCon->conState;
    const UINT32 n = netCon_NumPortals(pCon);
    pOut->hostsCount = n;
    for (UINT32 i = 0; i < n; i++) {
        NetPortal *pPortal = pCon->pPortalsArr[i];
        netAddress_ToStrCopyBuf(&pPortal->addr, pOut->portals[i].addr, sizeof(pOut->portals[i].addr), FALSE);
        for (NetPath *pPath : pPortal->pPathsArr)
            if (pPath != nullptr && __atomic_load_n(&pPath->bConnected, __ATOMIC_ACQUIRE))
                pOut->portals[i].bConnected = TRUE;
    }
}

BOOL netCon_GetPeerAddr(NetCon *pCon, NetAddress *pAddr)
{
    MosFastlockGuard guard(&pCon->conFastlock);
    BOOL bFound = FALSE;
    netCon_ForEachPath(pCon, [&](NetPortal *, NetPath *pPath) {
        if (!bFound && __atomic_load_n(&pPath->bConnected, __ATOMIC_ACQUIRE)) {
            *pAddr = *netPath_GetPeerAddr(pPath);
            bFound = TRUE;
        }
    });
    return bFound;
}

void netCon_GetBwc(NetCon *pCon, NetConBwc *pOut)
{
    MosFastlockGuard guard(&pCon->conFastlock);
    mosBWC_GetLastWindow(&pCon->sendSizeBwc, &pOut->sendSize);
    mosBWC_GetLastWindow(&pCon->sendLatencyBwc, &pOut->sendLatency);
}

void netCon_ReportOscEvent(NetOscType oscType, NetCon *pCon, const NetAddress *pAddr)
{
    if (pCon->pConCB->pOscCK != nullptr)
        pCon->pConCB->pOscCK(pCon->pConCB->pObjCon, pCon->hCon, pCon->conId, oscType, pAddr);
}

void netCon_ModifyPrivilegedSend(NetCon *pCon, BOOL bValue)
{
    MosFastlockGuard guard(&pCon->conFastlock);
    pCon->bPrivilegedSend = bValue;
    if (!bValue)
        mosMitCond_Broadcast(&pCon->privilegedCond, MOS_RC__SUCCESS);
}

void netCon_SetIndependentId(NetCon *pCon, UINT64 id)
{
    MOS_ASSERT(pCon->independentNetId == 0);
    pCon->independentNetId = id;
    NET_CON_TRACE(pCon, MOS_FREQ_LOW, "Successfully changed independent Net ID to %lu", (unsigned long)id);
}

void netCon_Query(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    MOS_UNUSED(pName);
    NetCon *pCon = MOS_CONTAINER_OF(pObj, NetCon, sdbgObj);
    NetCon_Query *pQuery = static_cast<NetCon_Query *>(pData);
    memset(pQuery, 0, sizeof(*pQuery));
    MosFastlockGuard guard(&pCon->conFastlock);
    pQuery->conId = pCon->conId;
    pQuery->hCon = pCon->hCon;
    pQuery->recvMsg = __atomic_load_n(&pCon->recvMsg, __ATOMIC_RELAXED);
    pQuery->sendMsg = __atomic_load_n(&pCon->sendMsg, __ATOMIC_RELAXED);
    pQuery->numOfQueuedMsgs = pCon->msgQueue.counter;
    pQuery->numOfQueuedPrioritizedMsgs = pCon->prioritizedMsgQueue.counter;
    pQuery->conType = pCon->conType;
    pQuery->ownerType = pCon->ownerType;
    pQuery->conState = pCon->conState;
    pQuery->peerTimeStamp = pCon->peerId.timeStamp;
    pQuery->peerMagicNumber = pCon->peerId.magicNumber;
    pQuery->peerVersion = pCon->peerVersion;
    pQuery->bPrivilegedSend = pCon->bPrivilegedSend;
    pQuery->numOfPortals = netCon_NumPortals(pCon);
    for (UINT32 i = 0; i < pQuery->numOfPortals; i++) {
        const NetPortal *pPortal = pCon->pPortalsArr[i];
        NetCon_QueryPortal *pOut = &pQuery->portals[i];
        netAddress_ToStrCopyBuf(&pPortal->addr, pOut->addr, sizeof(pOut->addr), FALSE);
        pOut->state = pPortal->state;
        pOut->configuredNumOfPaths = pPortal->configuredNumOfPaths;
        for (NetPath *pPath : pPortal->pPathsArr) {
            if (pPath == nullptr)
                break;
            pOut->numOfPaths++;
            if (__atomic_load_n(&pPath->bConnected, __ATOMIC_ACQUIRE))
                pOut->numOfConnectedPaths++;
            if (netPath_IsPeerIdValidated(pPath))
                pOut->numOfValidatedPaths++;
        }
    }
}

BOOL netCon_IsGroupIdValid(NetCon *pCon, UINT32 grpId)
{
    return netConManager_DoesRecvGroupIdExist(netCon_Mgr(pCon), grpId);
}

void netConManager_AllocBufferForRecv(NetConManger *pConMng, UINT32 conGrpId, NetSmallIov *pIov, UINT32 len,
                                      Context context, SocketHeaderType type, const UINT8 *pExtHeader)
{
    MOS_ASSERT(conGrpId < pConMng->numOfRecvGroup);
    NetRecvGroupSlot *pSlot = &pConMng->pRecvGroupArr[conGrpId];
    MOS_ASSERT(pSlot->pOps != nullptr);
    pSlot->pOps->pAllocBufferCK(pSlot->pGroup, conGrpId, pIov, len, context, type, pExtHeader);
}

void netCon_FreeBuffer(NetCon *pCon, UINT32 grpId, NetSmallIov *pIov)
{
    NetConManger *pMgr = netCon_Mgr(pCon);
    if (grpId >= pMgr->numOfRecvGroup || pMgr->pRecvGroupArr[grpId].pOps == nullptr)
        return;
    pMgr->pRecvGroupArr[grpId].pOps->pFreeBufferCK(pMgr->pRecvGroupArr[grpId].pGroup, grpId, pIov);
}

void netCon_RecvMsg(NetCon *pCon, UINT32 grpId, NetMsgRcv *pMsg)
{
    NetRecvGroupSlot *pSlot = &netCon_Mgr(pCon)->pRecvGroupArr[grpId];
    MOS_ASSERT(pSlot->pOps != nullptr);
    __atomic_add_fetch(&pCon->recvMsg, 1, __ATOMIC_RELAXED);
    pSlot->pOps->pRecvMsgCK(pSlot->pGroup, pMsg);
}

BOOL netCon_RecvRpcResp(NetCon *pCon, UINT32 msgId, NetRpcData *pData, const NetAddress *pPeer)
{
    NetConManger *pMgr = netCon_Mgr(pCon);
    if (pMgr->pRecvRpcRespCK == nullptr)
        return FALSE;
    pMgr->pRecvRpcRespCK(pCon->pNet, pCon, msgId, pData, pPeer);
    return TRUE;
}

NetMsgSnd *netCon_FetchMsg(NetCon *pCon)
{
    for (MosDList_Anchor *pQueue : {&pCon->prioritizedMsgQueue, &pCon->msgQueue}) {
        if (pQueue->counter == 0)
            continue;
        MosDList_Node *pNode = mosDList_RemoveHead(pQueue);
        MOS_ASSERT(pNode != nullptr);
        mosDList_InitNode(pNode);
        return MOS_CONTAINER_OF(pNode, NetMsgSnd, sndMsgNode.msgListNode);
    }
    return nullptr;
}

void netPortal_PathDied(NetPath *pPath)
{
    NetPortal *pPortal = pPath->pPortal;
    NetCon *pCon = pPortal->pCon;
    {
        NetConDerefGuard guard(pCon);
        MOS_ASSERT(pPath->inflightSends == 0);
        NET_PATH_TRACE(pPath, MOS_FREQ_MED, "Dying");
        const UINT32 n = netPortal_NumPaths(pPortal);
        const UINT32 idx = netPortal_GetPathIndex(pPortal, pPath);
        NET_CON_TRACE(pCon, MOS_FREQ_MED, "removing entry %u and placing %u instead", idx, n - 1);
        pPortal->pPathsArr[idx] = pPortal->pPathsArr[n - 1];
        pPortal->pPathsArr[n - 1] = nullptr;
        pPath->pPortal = nullptr;
        netPath_Destroy(&pPath);
        pCon->pendingDerefs++; // the path's reference
        if (netPortal_NumPaths(pPortal) == 0 &&
            (pCon->conType == CON_TYPE__SERVER || pPortal->state == CON_STATE__DISCONNECTING)) {
            pPortal->state = CON_STATE__DISCONNECTED;
            netCon_PortalDied(pPortal);
            pCon->pendingDerefs++; // the portal's reference
        }
    }
    // The connection may be gone from here on.
}

BOOL netCon_ReconfigRemotes(NetCon *pCon, const NetCon_RemoteHosts *pHosts)
{
    if ((pHosts->port & 0xFFFFu) == 0) {
        NET_CON_TRACE(pCon, MOS_FREQ_LOW, "Invalid port %u configuration requested", pHosts->port);
        return FALSE;
    }
    if (pHosts->hostsCount > NET_CON__MAX_NUM_OF_IP_PER_HOST) {
        NET_CON_TRACE(pCon, MOS_FREQ_LOW, "Invalid number of hosts, requested %u, allowed %u", pHosts->hostsCount,
                      NET_CON__MAX_NUM_OF_IP_PER_HOST);
        return FALSE;
    }
    NetAddress addrs[NET_CON__MAX_NUM_OF_IP_PER_HOST];
    for (UINT32 i = 0; i < pHosts->hostsCount; i++) {
        if (netAddress_BuildFromString(&addrs[i], pHosts->hosts[i], (Port)pHosts->port) != MOS_RC__SUCCESS) {
            NET_CON_TRACE(pCon, MOS_FREQ_LOW, "Failed to translate host %s to ip", pHosts->hosts[i]);
            return FALSE;
        }
    }
    BOOL bOk = TRUE;
    {
        NetConDerefGuard guard(pCon);
        if (pCon->conState == CON_STATE__DISCONNECTING || pCon->conState == CON_STATE__CANCELLED ||
            pCon->conType != CON_TYPE__CLIENT)
            return FALSE;
        for (UINT32 i = 0; i < pHosts->hostsCount && bOk; i++) {
            NetPortal *pPortal = pCon->pPortalsArr[i];
            if (pPortal != nullptr) {
                pPortal->addr = addrs[i];
                pPortal->configuredNumOfPaths = (UINT8)pHosts->numOfSocketPerIp;
            } else if (netCon_ClientAddPortalUnlocked(pCon, &addrs[i], pHosts->numOfSocketPerIp) != MOS_RC__SUCCESS) {
                NET_CON_TRACE(pCon, MOS_FREQ_LOW, "Failed to add a portal for address %s port %u numOfSocketPerIp %u",
                              netAddress_ToStr(&addrs[i]), pHosts->port, pHosts->numOfSocketPerIp);
                bOk = FALSE;
            }
        }
        for (UINT32 i = netCon_NumPortals(pCon); bOk && i-- > pHosts->hostsCount;) {
            NET_CON_TRACE(pCon, MOS_FREQ_LOW, "Removing portal %u", i);
            netCon_ClientRemovePortalByIdxLocked(pCon, i);
        }
        if (bOk && pCon->conState != CON_STATE__INIT)
            for (UINT32 i = 0; i < netCon_NumPortals(pCon); i++)
                netPortal_ClientUpdatePaths(pCon->pPortalsArr[i], TRUE);
    }
    return bOk;
}

BOOL netCon_UpdateAllPortalsNumOfSocketsPerIp(NetCon *pCon, UINT32 n)
{
    MOS_ASSERT(n <= NET_CON__MAX_NUM_OF_SOCKETS_PER_IP);
    MosFastlockGuard guard(&pCon->conFastlock);
    if (pCon->conType != CON_TYPE__CLIENT || pCon->conState == CON_STATE__DISCONNECTING ||
        pCon->conState == CON_STATE__CANCELLED)
        return FALSE;
    for (UINT32 i = 0; i < netCon_NumPortals(pCon); i++) {
        pCon->pPortalsArr[i]->configuredNumOfPaths = (UINT8)n;
        netPortal_ClientUpdatePaths(pCon->pPortalsArr[i], FALSE);
    }
    return TRUE;
}

void netCon_UpdateSendId(HNetCon hCon, NetRpcMsg *pMsg, NetConChannelData *pChannelData)
{
    Net *pNet = pMsg->msgSnd.pNet;
    NetConManger *pMgr = net_GetConManager(pNet);
    const UINT32 n = pMsg->msgSnd.chanNum + 1;
    NetCon *pCon = netConManager_AcquireCon(pMgr, hCon);
    if (pCon == nullptr) {
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "Could not find the connection for %lx", (unsigned long)hCon);
        netChannelManager_UpdateSendId(&pMgr->channelMngr, pChannelData, n);
        return;
    }
    if (pMsg->msgSnd.pOldConPtr != pCon || pCon->pChan == nullptr)
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "Not updating the id for %lx (pCon %p)", (unsigned long)hCon,
                  pMsg->msgSnd.pOldConPtr);
    else
        netChannel_UpdateSendId(pCon->pChan, n);
    netConManager_ReleaseCon(pMgr, pCon);
}
