#include <cstdlib>
#include <cstring>
#include <vector>

#include "mos/mos_dbg.h"
#include "mos/mos_diag_counters.h"
#include "mos/sdbg/sdbg_exports.h"
#include "net/net_con_intrn.h"
#include "mos/usr/mos_net.h"
#include "net/net_path.h"

namespace {
enum : MosContentionId {
    NET_CON_MNGR__LOCK_ID = 321,
    NET_CON_MNGR__CON_HASH_ID = 322,
    NET_CON_MNGR__RPC_HASH_ID = 323,
};

void netConMgr_ConMemFreeDone(PVOID pMem)
{
    netCon_Destroy(static_cast<NetCon *>(pMem));
}

HNetCon netConMgr_Lookup(NetConManger *pMgr, ConId conId)
{
    UINT64 data = 0;
    return mosHash_GetRecordByKey(&pMgr->conHash, conId, 0, &data) != nullptr ? (HNetCon)data : 0;
}

NetCon *netConMgr_NewCon(NetConManger *pMgr, ConId conId, NetOwnerType ownerType, const NetConCallback *pCB,
                         ConState state, ConType type)
{
    NetCon *pCon = static_cast<NetCon *>(calloc(1, sizeof(NetCon)));
    if (pCon == nullptr) {
        MOS_ERROR(MOS_COMP_NET, "Failed to allocate a network connection for con %lx owner %#x", (unsigned long)conId,
                  (unsigned)ownerType);
        mosDiagCounters_CountExt(MOS_DIAG_COUNTER__FAILED_TO_CREATE_CON, conId);
        return nullptr;
    }
    if (netCon_Init(pCon, pMgr->pNet, conId, ownerType, pCB, state, type) == 0) {
        MOS_ERROR(MOS_COMP_NET, "Failed to initialize server connection %lx owner %#x", (unsigned long)conId,
                  (unsigned)ownerType);
        mosDiagCounters_CountExt(MOS_DIAG_COUNTER__FAILED_TO_CREATE_CON, conId);
        free(pCon);
        return nullptr;
    }
    return pCon;
}
} // namespace

void netConManager_Init(NetConManger *pMgr, Net *pNet, UINT32 numOfRecvGroup)
{
    memset(static_cast<void *>(pMgr), 0, sizeof(*pMgr));
    pMgr->pNet = pNet;
    MOS_FASTLOCK_CREATE(&pMgr->conMngFastlock, NET_CON_MNGR__LOCK_ID);
    MOS_ASSERT(mosHash_CreateNamedHash(&pMgr->conHash, NET_CON_MNGR__HASH_BUCKETS, MOS_HASHING_METHOD__MODULO, 0,
                                       nullptr, nullptr, "net_conManager_con_hash", NET_CON_MNGR__CON_HASH_ID));
    MOS_ASSERT(mosHash_CreateNamedHash(&pMgr->pendingRequestHash, NET_CON_MNGR__HASH_BUCKETS,
                                       MOS_HASHING_METHOD__MODULO, 0, nullptr, nullptr, "net_rpc_hash",
                                       NET_CON_MNGR__RPC_HASH_ID));
    netChannelManager_Init(&pMgr->channelMngr);
    MOS_ASSERT_SUCCESS(mosPMemFactory_Create(&pMgr->conPMem, netConMgr_ConMemFreeDone, NET_CON_MNGR__MAX_NUM_OF_CON));
    pMgr->numOfRecvGroup = numOfRecvGroup;
    pMgr->pRecvGroupArr = static_cast<NetRecvGroupSlot *>(calloc(MOS_MAX(numOfRecvGroup, 1u), sizeof(NetRecvGroupSlot)));
    MOS_ASSERT(pMgr->pRecvGroupArr != nullptr);
    MosObj_Type *pType = mosObjType_GetPtrByID(SDBG_EXPORTS_OBJ_TYPE__NET_CON_MNG);
    if (pType != nullptr)
        mosObjType_RegObj(pType, &pMgr->sdbgObj, "net con manager");
}

void netConManager_Destroy(NetConManger *pMgr)
{
    std::vector<HNetCon> handles;
    mosHash_EnumStart(&pMgr->conHash);
    UINT64 key = 0, data = 0;
    while (mosHash_EnumGetNextRecord(&pMgr->conHash, FALSE, &key, &data))
        handles.push_back((HNetCon)data);
    mosHash_EnumStop(&pMgr->conHash);
    // Server connections live as long as the manager; their first reference is the manager's.
    for (HNetCon hCon : handles) {
        NetCon *pCon = netConManager_AcquireCon(pMgr, hCon);
        if (pCon == nullptr)
            continue;
        const BOOL bServer = pCon->conType == CON_TYPE__SERVER;
        netConManager_InvalidateCon(pMgr, pCon);
        netConManager_ReleaseCon(pMgr, pCon);
        if (bServer)
            mosPMem_Deref(&pMgr->conPMem, hCon);
    }
    if (mosObj_IsRegistered(&pMgr->sdbgObj))
        mosObjType_UnregObj(mosObjType_GetPtrByID(SDBG_EXPORTS_OBJ_TYPE__NET_CON_MNG), &pMgr->sdbgObj);
    mosPMemFactory_Destroy(&pMgr->conPMem);
    mosHash_Delete(&pMgr->conHash);
    mosHash_Delete(&pMgr->pendingRequestHash);
    netChannelManager_Destroy(&pMgr->channelMngr);
    free(pMgr->pRecvGroupArr);
    mosFastlockBase_Destroy(&pMgr->conMngFastlock);
}

NetCon *netConManager_AcquireCon(NetConManger *pMgr, HNetCon hCon)
{
    if (hCon == 0) {
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_HIGH, "Invalid hCon");
        return nullptr;
    }
    PVOID p = nullptr;
    if (mosPMem_Ref(&pMgr->conPMem, hCon, &p) != MOS_RC__SUCCESS || p == nullptr) {
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_MED, "No connection hCon: %lx", (unsigned long)hCon);
        return nullptr;
    }
    NetCon *pCon = static_cast<NetCon *>(p);
    MOS_ASSERT(netCon_GetHCon(pCon) == hCon);
    NET_CON_TRACE(pCon, MOS_FREQ_HIGH, "Acquired");
    return pCon;
}

void netConManager_ReleaseCon(NetConManger *pMgr, NetCon *pCon)
{
    NET_CON_TRACE(pCon, MOS_FREQ_HIGH, "Released");
    mosPMem_Deref(&pMgr->conPMem, pCon->hCon);
}

HNetCon netConManager_GetCon(NetConManger *pMgr, ConId conId)
{
    return netConMgr_Lookup(pMgr, conId);
}

HNetCon netConManager_AllocClientCon(NetConManger *pMgr, ConId conId, NetOwnerType ownerType,
                                     const NetConCallback *pCB, const NetCon_RemoteHosts *pHosts,
                                     const NetSecConParams *pSecParams)
{
    MosFastlockGuard guard(&pMgr->conMngFastlock);
    if (netConMgr_Lookup(pMgr, conId) != 0) {
        MOS_ERROR(MOS_COMP_NET, "WARNING: New client con ignored %lx. Connection with such ID already exists",
                  (unsigned long)conId);
        mosDiagCounters_CountExt(MOS_DIAG_COUNTER__FAILED_TO_CREATE_CON, conId);
        return 0;
    }
    NetCon *pCon = netConMgr_NewCon(pMgr, conId, ownerType, pCB, CON_STATE__INIT, CON_TYPE__CLIENT);
    if (pCon == nullptr)
        return 0;
    if (pSecParams != nullptr)
        pCon->securityParams = *pSecParams;
    else
        netSecConf_ResetConParams(&pCon->securityParams);
    const Mos_RC rc = netCon_ClientAddPortalList(pCon, pHosts);
    if (rc != MOS_RC__SUCCESS) {
        MOS_ERROR(MOS_COMP_NET, " :: %s %s con %p conId(%lx) hCon %lx ownerType %s Failed to create a portal list of %u hosts",
                  netCon_StateStr(pCon->conState), netCon_TypeStr(pCon->conType), (void *)pCon, (unsigned long)conId,
                  (unsigned long)pCon->hCon, NET_OWNER_TYPE__GET_STR(ownerType), pHosts->hostsCount);
        const HNetCon hCon = pCon->hCon;
        mosPMem_Invalidate(&pMgr->conPMem, hCon);
        mosPMem_Deref(&pMgr->conPMem, hCon);
        return 0;
    }
    pMgr->dbgQuery.numOfCons++;
    MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "New client con %lx", (unsigned long)conId);
    mosHash_Add(&pMgr->conHash, &pCon->hashNode, conId, pCon->hCon);
    return pCon->hCon;
}

HNetCon netConManager_AssignPathWithServerCon(NetConManger *pMgr, ConId conId, NetOwnerType ownerType,
                                              const NetConCallback *pCB, NetPath *pPath, BOOL bPrivilegedSend)
{
    NetCon *pCon = nullptr;
    {
        MosFastlockGuard guard(&pMgr->conMngFastlock);
        const HNetCon hExisting = netConMgr_Lookup(pMgr, conId);
        if (hExisting != 0)
            pCon = netConManager_AcquireCon(pMgr, hExisting);
        if (pCon == nullptr) {
            MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "conId %lx wasn't found, allocating.", (unsigned long)conId);
            if (pCB == nullptr)
                return 0;
            pCon = netConMgr_NewCon(pMgr, conId, ownerType, pCB, CON_STATE__CONNECTING, CON_TYPE__SERVER);
            if (pCon == nullptr)
                return 0;
            pMgr->dbgQuery.numOfCons++;
            NET_CON_TRACE(pCon, MOS_FREQ_LOW, "New server con %lx owner %#x", (unsigned long)conId, (unsigned)ownerType);
            mosHash_Add(&pMgr->conHash, &pCon->hashNode, conId, pCon->hCon);
            pCon->bPrivilegedSend = bPrivilegedSend;
            netConManager_AcquireCon(pMgr, pCon->hCon); // this call's own reference
        }
    }
    const UINT32 idx = netCon_AddServerPath(pCon, pPath);
    const HNetCon hCon = idx == NET_PORTAL__INVALID_PATH_IDX ? 0 : pCon->hCon;
    if (hCon != 0)
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_MED,
                  " :: %s %s %s path %p of portal %p net %p socket %d inflights %u assigned to con ID %lx (peer %s port %u)",
                  "Disconnected", "Live", netPath_ConTypeStr(pPath->conType), (void *)pPath, (void *)pPath->pPortal,
                  (void *)pPath->pNet, (int)pPath->sock.socket, pPath->inflightSends, (unsigned long)conId,
                  netAddress_ToStr(netPath_GetPeerAddr(pPath)), (unsigned)netAddress_GetPort(netPath_GetPeerAddr(pPath)));
    netConManager_ReleaseCon(pMgr, pCon);
    return hCon;
}

BOOL netConManager_DeleteCon(NetConManger *pMgr, NetCon *pCon)
{
    return mosHash_IsRecordConnected(&pCon->hashNode) &&
           mosHash_DeleteRecordByKeyAndPtr(&pMgr->conHash, pCon->conId, &pCon->hashNode);
}

void netConManager_InvalidateCon(NetConManger *pMgr, NetCon *pCon)
{
    MosFastlockGuard guard(&pMgr->conMngFastlock);
    NET_CON_TRACE(pCon, MOS_FREQ_MED, "Invalidating");
    if (netConManager_DeleteCon(pMgr, pCon))
        mosPMem_Invalidate(&pMgr->conPMem, pCon->hCon);
}

void netConManager_AddRecvGroup(NetConManger *pMgr, void *pGroup, const NetRecvGroupOps *pOps, UINT32 conGrpId)
{
    MosFastlockGuard guard(&pMgr->conMngFastlock);
    MOS_ASSERT(conGrpId < pMgr->numOfRecvGroup);
    MOS_ASSERT(pMgr->pRecvGroupArr[conGrpId].pOps == nullptr);
    pMgr->pRecvGroupArr[conGrpId].pGroup = pGroup;
    pMgr->pRecvGroupArr[conGrpId].pOps = pOps;
}

BOOL netConManager_DoesRecvGroupIdExist(NetConManger *pMgr, UINT32 groupId)
{
    return groupId < pMgr->numOfRecvGroup && pMgr->pRecvGroupArr[groupId].pOps != nullptr;
}

void netConManager_SetRecvRpcRespCK(NetConManger *pMgr, NetCon_RecvRpcRespCK pCK)
{
    pMgr->pRecvRpcRespCK = pCK;
}

void netConManager_Query(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    MOS_UNUSED(pName);
    NetConManger *pMgr = MOS_CONTAINER_OF(pObj, NetConManger, sdbgObj);
    *static_cast<NetConManagerQuery *>(pData) = pMgr->dbgQuery;
}
