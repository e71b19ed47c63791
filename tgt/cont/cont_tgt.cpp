#include "tgt/cont/cont_tgt.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"
#include "mos/umt/mos_umt.h"
#include "net/net.h"
#include "net/net_rpc.h"
#include "tgt/cont/cont_root.h"
#include "tgt/tgt_contention.h"
#include "tgt/tgt_sdbg.h"
#include "tgt/tgt_umt_class.h"

namespace {
ContTgt *contTgt_OfNode(MosDList_Node *pNode)
{
    return MOS_CONTAINER_OF(pNode, ContTgt, listNode);
}

void contTgt_AddrText(const NetAddress *pAddr, CHAR_A (&text)[NET_ADDRESS_STRING_LEN])
{
    if (netAddress_GetType(pAddr) == NET_ADDRESS_TYPE__IPV4) {
        const IPV4 ip = netAddress_GetIpv4(pAddr);
        inet_ntop(AF_INET, &ip, text, sizeof(text));
    } else {
        snprintf(text, sizeof(text), "%s", "IPv6 address");
    }
}

// The six counter kinds of a known address, in the messaging layer's event order 1-6.
constexpr MosOscCnt_CounterType kOscTypes[] = {
    MOS_OSC_CNT_TYPE__PELLAR_PELLAR_NETWORK_DISCONNECTIONS,
    MOS_OSC_CNT_TYPE__PELLAR_PELLAR_NETWORK_FAILURES,
    MOS_OSC_CNT_TYPE__PELLAR_PELLAR_RCV_KEEP_ALIVE_CAUSED_DISCONNECTION,
    MOS_OSC_CNT_TYPE__PELLAR_PELLAR_SND_KEEP_ALIVE_CAUSED_DISCONNECTION,
    MOS_OSC_CNT_TYPE__PELLAR_PELLAR_HIGH_LATENCY,
    MOS_OSC_CNT_TYPE__PELLAR_PELLAR_CRITICAL_LATENCY,
};
static_assert(NET_OSC_TYPE__SOCKET_DOWN == 1 && NET_OSC_TYPE__RPC_LINGERED_3SEC == 6);

BOOL contTgt_IsPeerOscType(MosOscCnt_CounterType type)
{
    for (MosOscCnt_CounterType t : kOscTypes)
        if (t == type)
            return TRUE;
    return FALSE;
}

// A new known address (fastlock held): its six counters, with the controller's parameters.
void contTgt_CreateAddrCounters(ContTgt *pTgt, UINT32 idx)
{
    for (MosOscCnt_CounterType type : kOscTypes) {
        MosOscCnt_CounterDescriptor desc{};
        desc.type = type;
        desc.descriptorSize = sizeof(desc.OSCDesc.netInfo);
        desc.OSCDesc.netInfo.addr = pTgt->knownAddrs[idx];
        desc.OSCDesc.netInfo.remoteObjId = pTgt->tgtId;
        mosOscCnt_Create(&contTgt_GetMosOscCntArr(pTgt, type)[idx], cont_GetOscCntParams(pTgt->pCont, type), &desc);
    }
}

Mos_RC contTgt_SendPermitOverLink(Cont *pCont, const OstrelTgtReq_DegradeCombPermit *pReq)
{
    return contOstrel_SendRequestRecord(pCont, CONT_TGT__MSG_TYPE__DEGRADE_PERMIT, pReq, sizeof(*pReq));
}

// The dummy write that synchronises the channel, sent privileged on the peer's group 23.
Mos_RC contTgt_SendChannelSync(ContTgt *pTgt, HNetCon hCon)
{
    static const UINT8 kByte = 0;
    Net *pNet = cont_GetNetObj(pTgt->pCont);
    NetRpcMsg msg;
    NetRpcData *pData = netMsgSndAsync_Init(&msg, pNet, NET_MSG_TYPE__SNDRCV, TRUE, nullptr);
    pData->context = TGT_MSG_TYPE__IO_WRITE_DUMMY;
    pData->grpId = CONT_NET__RECV_GROUP__TGT_IO_MAIN;
    netIov_AddBuffer(&pData->iov, const_cast<UINT8 *>(&kByte), 1, CONT_NET_BUF_TYPE__STATIC);
    Mos_RC rc = netRpc_SendPrivilegedRequest(pNet, hCon, &msg, TRUE);
    if (rc == MOS_RC__SUCCESS)
        rc = (Mos_RC)msg.msgSnd.rpcRes.context;
    contNet_DestroyMsg(pTgt->pCont, &msg);
    return rc;
}

// Ends a sync under syncChannelFastLock (held).
void contTgt_EndSyncLocked(ContTgt *pTgt)
{
    pTgt->bChannelSyncInProg = FALSE;
    mosUmtSem_IncInter(&pTgt->waitForSyncChannelToEndSem, 1, TRUE);
}

void contTgt_SyncChannel(void *pArg)
{
    ContTgt *pTgt = static_cast<ContTgt *>(pArg);
    for (;;) {
        HNetCon hCon;
        {
            MosFastlockGuard guard(&pTgt->syncChannelFastLock);
            if (pTgt->bAbortChannelSync) {
                MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Abort channel sync %lx tgt ID %lx (dit)",
                          (unsigned long)cont_GetTgtId(pTgt->pCont), (unsigned long)pTgt->tgtId);
                contTgt_EndSyncLocked(pTgt);
                return;
            }
            if (pTgt->numOfChannelSyncs > 0 &&
                mosUmtCond_TimedWait(&pTgt->syncChannelCond, &pTgt->syncChannelFastLock, CONT_TGT__SYNC_RETRY_MILLIS) ==
                    MOS_RC__SUCCESS) {
                MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Timer aborted!! %lx tgt ID %lx",
                          (unsigned long)cont_GetTgtId(pTgt->pCont), (unsigned long)pTgt->tgtId);
                contTgt_EndSyncLocked(pTgt);
                return;
            }
            pTgt->numOfChannelSyncs++;
            hCon = pTgt->hTgtNetCon;
        }
        Mos_RC rc = MOS_RC__ERROR;
        if (hCon != NET_CON__INVALID_HCON) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_MED,
                      "Connection handle is valid, sending dummy write for syncing the channel%lx tgt ID %lx (dit)",
                      (unsigned long)cont_GetTgtId(pTgt->pCont), (unsigned long)pTgt->tgtId);
            rc = contTgt_SendChannelSync(pTgt, hCon);
        }
        if (rc == MOS_RC__SUCCESS) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Success!! %lx tgt ID %lx",
                      (unsigned long)cont_GetTgtId(pTgt->pCont), (unsigned long)pTgt->tgtId);
            (void)net_SetConPrivilegedSend(cont_GetNetObj(pTgt->pCont), hCon, FALSE);
            MosFastlockGuard guard(&pTgt->syncChannelFastLock);
            contTgt_EndSyncLocked(pTgt);
            return;
        }
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Failure!! %lx tgt ID %lxrc=%s",
                  (unsigned long)cont_GetTgtId(pTgt->pCont), (unsigned long)pTgt->tgtId, mosRc_GetStr(rc));
    }
}

// Starts a sync thread; syncChannelFastLock held, no sync running.
void contTgt_StartSyncLocked(ContTgt *pTgt)
{
    pTgt->bChannelSyncInProg = TRUE;
    pTgt->numOfChannelSyncs = 0;
    (void)mosUmtSem_TryDec(&pTgt->waitForSyncChannelToEndSem, 1);
    HMosUmt_UThread h = mosUmt_CreateUThreadEx(contTgt_SyncChannel, pTgt, nullptr, nullptr, FALSE,
                                               tgt_GetUmtClassId(MOS_UMT_CLASS_TYPE__TGT_SYNC_CHANNEL));
    MOS_ASSERT(h != nullptr);
}

void contTgt_UpdateVersionFromCon(ContTgt *pTgt, HNetCon hCon)
{
    UINT32 version = CONT_TGT__UNKNOWN_VERSION;
    if (hCon != NET_CON__INVALID_HCON && net_GetPeerVersion(cont_GetNetObj(pTgt->pCont), hCon, FALSE, 0, &version))
        contTgt_SetPeerVersion(pTgt, version);
}
// One peer's part of the network test: dummy writes of up to 512 blocks each, up to parallelIOs
// in flight, always waiting for the oldest; the first failure ends the peer's part, and so does
// its time limit (maxLenInMsForEachTgt, 0: none).
void contTgt_NetTestOne(ContTgtMngr *pMngr, OstrelTgtRsp_NetTest *pRes)
{
    Cont *pCont = pMngr->pCont;
    Net *pNet = cont_GetNetObj(pCont);
    UINT8 *pZero = nullptr, *pZeroDif = nullptr;
    cont_GetZeroedBuffers(pCont, &pZero, &pZeroDif);
    ContTgt *pTgt = static_cast<ContTgt *>(contObj_Acquire(cont_GetObjs(pCont), pRes->tgtId, CONT_OBJ_TYPE__TGT));
    HNetCon hCon = NET_CON__INVALID_HCON;
    if (pTgt != nullptr) {
        MosFastlockGuard guard(&pTgt->syncChannelFastLock);
        hCon = pTgt->hTgtNetCon;
    }
    const UINT32 parallel = MOS_MAX(1u, MOS_MIN(pMngr->parallelIOs, CONT_TGT__NET_TEST_MAX_PARALLEL));
    NetRpcMsg msgs[CONT_TGT__NET_TEST_MAX_PARALLEL];
    UINT32 msgLbs[CONT_TGT__NET_TEST_MAX_PARALLEL] = {};
    const MosTicks_Cnt start = mosTicks_GetCurrentTick();
    auto elapsedMs = [start] { return mosTicks_TicksToMillis(mosTicks_DiffInTicks(mosTicks_GetCurrentTick(), start)); };
    UINT64 toSend = pMngr->lbsForEachTgt;
    UINT32 sndIndex = 0, rcvIndex = 0;
    Mos_RC rc = hCon != NET_CON__INVALID_HCON ? MOS_RC__SUCCESS : MOS_RC__NOT_CONN;
    while (rc == MOS_RC__SUCCESS && (toSend > 0 || rcvIndex < sndIndex)) {
        const BOOL bTimeUp = pMngr->maxLenInMsForEachTgt != 0 && elapsedMs() >= pMngr->maxLenInMsForEachTgt;
        if (toSend > 0 && !bTimeUp && sndIndex - rcvIndex < parallel) {
            NetRpcMsg *pMsg = &msgs[sndIndex % parallel];
            const UINT32 lbs = (UINT32)MOS_MIN(toSend, (UINT64)CONT_TGT__NET_TEST_LBS_PER_MSG);
            NetRpcData *pData = netMsgSndAsync_Init(pMsg, pNet, NET_MSG_TYPE__SNDRCV, TRUE, nullptr);
            pData->context = TGT_MSG_TYPE__IO_WRITE_DUMMY;
            pData->grpId = CONT_NET__RECV_GROUP__TGT_IO_MAIN;
            netIov_AddBuffer(&pData->iov, pZero, lbs * CONT_NET__LB, CONT_NET_BUF_TYPE__STATIC);
            rc = netRpc_SendRequest(pNet, hCon, pMsg, FALSE);
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_HIGH, "Sent msg: sndMsgIndex=%u, msgArrayIndex=%u, rc=%u", sndIndex,
                      sndIndex % parallel, (unsigned)rc);
            msgLbs[sndIndex % parallel] = lbs;
            toSend -= lbs;
            sndIndex++;
            continue;
        }
        if (bTimeUp)
            toSend = 0;
        if (rcvIndex == sndIndex)
            break;
        NetRpcMsg *pMsg = &msgs[rcvIndex % parallel];
        Mos_RC one = netRpc_WaitForResponse(pNet, pMsg);
        if (one == MOS_RC__SUCCESS)
            one = (Mos_RC)pMsg->msgSnd.rpcRes.context;
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_HIGH, "Waiting for responses: recvMsgIndex=%u, msgArrayIndex=%u, rc=%u",
                  rcvIndex, rcvIndex % parallel, (unsigned)one);
        if (one == MOS_RC__SUCCESS)
            pRes->lbs += msgLbs[rcvIndex % parallel];
        else
            rc = one;
        contNet_DestroyMsg(pCont, pMsg);
        rcvIndex++;
    }
    // Whatever is still in flight after a failure is waited for before its record goes.
    for (; rcvIndex < sndIndex; rcvIndex++) {
        NetRpcMsg *pMsg = &msgs[rcvIndex % parallel];
        (void)netRpc_WaitForResponse(pNet, pMsg);
        contNet_DestroyMsg(pCont, pMsg);
    }
    if (pTgt != nullptr)
        contObj_Release(cont_GetObjs(pCont), pRes->tgtId, CONT_OBJ_TYPE__TGT);
    pRes->rc = rc;
    pRes->millis = (UINT32)elapsedMs();
}

void contTgtMngr_NetTestThread(void *pArg)
{
    ContTgtMngr *pMngr = static_cast<ContTgtMngr *>(pArg);
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Generating msgs: numOfTgts=%u, parallelIOs=%u", pMngr->numOfTests,
              pMngr->parallelIOs);
    for (UINT32 i = 0; i < pMngr->numOfTests; i++)
        contTgt_NetTestOne(pMngr, &pMngr->pTestRes[i]);
    MosFastlockGuard guard(&pMngr->fastlock);
    pMngr->bTestInProg = FALSE;
}
} // namespace

Mos_RC contTgtMngr_NetTest(ContTgtMngr *pTgtMngr, UINT64 lbsForEachTgt, UINT32 parallelIOs,
                           UINT32 maxLenInMsForEachTgt)
{
    MosFastlockGuard guard(&pTgtMngr->fastlock);
    const UINT32 n = pTgtMngr->tgtAnchor.counter;
    if (n == 0)
        return MOS_RC__NOT_FOUND;
    if (pTgtMngr->bTestInProg)
        return MOS_RC__ALREADY_EXISTS;
    auto *pRes = static_cast<OstrelTgtRsp_NetTest *>(
        mos_MemCalloc((size_t)n * sizeof(OstrelTgtRsp_NetTest), 4096 * sizeof(OstrelTgtRsp_NetTest), __func__, TRUE));
    if (pRes == nullptr)
        return MOS_RC__NO_RESOURCES;
    UINT32 i = 0;
    for (MosDList_Node *p = mosDList_First(&pTgtMngr->tgtAnchor); p != nullptr; p = mosDList_Next(p))
        pRes[i++].tgtId = contTgt_OfNode(p)->tgtId;
    mos_MemFree(pTgtMngr->pTestRes);
    pTgtMngr->pTestRes = pRes;
    pTgtMngr->numOfTests = n;
    pTgtMngr->lbsForEachTgt = lbsForEachTgt;
    pTgtMngr->parallelIOs = parallelIOs;
    pTgtMngr->maxLenInMsForEachTgt = maxLenInMsForEachTgt;
    pTgtMngr->bTestInProg = TRUE;
    HMosUmt_UThread h = mosUmt_CreateUThreadEx(contTgtMngr_NetTestThread, pTgtMngr, nullptr, nullptr, FALSE,
                                               tgt_GetUmtClassId(MOS_UMT_CLASS_TYPE__TGT_NET_TEST));
    MOS_ASSERT(h != nullptr);
    return MOS_RC__SUCCESS;
}

Mos_RC contTgtMngr_GetNetTest(ContTgtMngr *pTgtMngr, OstrelTgtRsp_NetTest **ppRes, UINT32 *pCount)
{
    MosFastlockGuard guard(&pTgtMngr->fastlock);
    if (pTgtMngr->bTestInProg)
        return MOS_RC__RETRY;
    if (pTgtMngr->pTestRes == nullptr)
        return MOS_RC__NO_TEST;
    const size_t bytes = (size_t)pTgtMngr->numOfTests * sizeof(OstrelTgtRsp_NetTest);
    auto *pCopy = static_cast<OstrelTgtRsp_NetTest *>(
        mos_MemMalloc(bytes, 4096 * sizeof(OstrelTgtRsp_NetTest), __func__, TRUE));
    if (pCopy == nullptr)
        return MOS_RC__NO_RESOURCES;
    memcpy(pCopy, pTgtMngr->pTestRes, bytes);
    *ppRes = pCopy;
    *pCount = pTgtMngr->numOfTests;
    return MOS_RC__SUCCESS;
}

void contTgtMngr_Init(ContTgtMngr *pTgtMngr, Cont *pCont)
{
    memset(static_cast<void *>(pTgtMngr), 0, sizeof(*pTgtMngr));
    MOS_FASTLOCK_CREATE(&pTgtMngr->fastlock, TGT_CONTENTION__TGT_MNGR);
    mosDList_InitAnchor(&pTgtMngr->tgtAnchor);
    pTgtMngr->pCont = pCont;
    pTgtMngr->pSendPermitCK = contTgt_SendPermitOverLink;
}

void contTgtMngr_Lock(ContTgtMngr *pTgtMngr)
{
    mosFastlockBase_Acquire(&pTgtMngr->fastlock);
}

void contTgtMngr_Unlock(ContTgtMngr *pTgtMngr)
{
    mosFastlockBase_Release(&pTgtMngr->fastlock);
}

UINT32 contTgtMngr_GetNumOfTgts(ContTgtMngr *pTgtMngr)
{
    return pTgtMngr->tgtAnchor.counter;
}

void contTgtMngr_TgtInit(ContTgtMngr *pTgtMngr, ContTgt *pTgt, UINT64 tgtId, UINT16 hostGenNum,
                         const NetCon_RemoteHosts *pHosts)
{
    memset(static_cast<void *>(pTgt), 0, sizeof(*pTgt));
    MOS_FASTLOCK_CREATE(&pTgt->fastlock, TGT_CONTENTION__TGT);
    MOS_FASTLOCK_CREATE(&pTgt->syncChannelFastLock, TGT_CONTENTION__TGT);
    MOS_FASTLOCK_CREATE(&pTgt->degradePermit.fastlock, TGT_CONTENTION__TGT);
    mosUmtCond_Init(&pTgt->syncChannelCond);
    mosUmtCond_Init(&pTgt->degradePermit.cond);
    mosUmtSem_Init(&pTgt->waitForSyncChannelToEndSem);
    mosDList_InitNode(&pTgt->listNode);
    for (UINT32 i = 0; pHosts != nullptr && i < pHosts->hostsCount && i < NET_CON__MAX_NUM_OF_IP_PER_HOST; i++) {
        if (pHosts->hosts[i][0] != '\0') {
            snprintf(pTgt->remoteHost, sizeof(pTgt->remoteHost), "%.*s", (int)NET_CON__MAX_HOST_NAME - 1,
                     pHosts->hosts[i]);
            break;
        }
    }
    const MosTicks_Cnt now = mosTicks_GetCurrentTick();
    pTgt->isConnectedMon = {TRUE, now};
    pTgt->isFullyConnectedMon = {TRUE, now};
    pTgt->tgtId = tgtId;
    pTgt->hostGenNum = hostGenNum;
    pTgt->lastKnownVersion = CONT_TGT__UNKNOWN_VERSION;
    pTgt->dbgState = CONT_TGT_CON_STATE__DISCONNECTED;
    pTgt->pCont = pTgtMngr->pCont;
    pTgt->pTgtMngr = pTgtMngr;
    if (pTgtSdbg_g != nullptr)
        mosObjType_RegObj(&pTgtSdbg_g->peerType, &pTgt->sdbgObj, "Peer server");
    MosFastlockGuard guard(&pTgtMngr->fastlock);
    mosDList_InsertTail(&pTgtMngr->tgtAnchor, &pTgt->listNode);
}

void contTgtMngr_TgtDestroy(ContTgtMngr *pTgtMngr, ContTgt *pTgt)
{
    {
        MosFastlockGuard guard(&pTgtMngr->fastlock);
        if (mosDList_IsLinked(&pTgt->listNode))
            mosDList_Remove(&pTgtMngr->tgtAnchor, &pTgt->listNode);
    }
    if (pTgtSdbg_g != nullptr && pTgt->sdbgObj.pName != nullptr)
        mosObjType_UnregObj(&pTgtSdbg_g->peerType, &pTgt->sdbgObj);
    MosFastlockGuard guard(&pTgt->fastlock);
    for (UINT32 idx = 0; idx < pTgt->numKnownAddrs; idx++)
        for (MosOscCnt_CounterType type : kOscTypes)
            mosOscCnt_Destroy(&contTgt_GetMosOscCntArr(pTgt, type)[idx]);
    pTgt->numKnownAddrs = 0;
}

void contTgt_Query(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    (void)pName;
    ContTgt *pTgt = MOS_CONTAINER_OF(pObj, ContTgt, sdbgObj);
    ContTgtQuery q{};
    q.tgtId = pTgt->tgtId;
    memcpy(q.remoteHost, pTgt->remoteHost, sizeof(q.remoteHost));
    {
        MosFastlockGuard guard(&pTgt->syncChannelFastLock);
        q.hTgtNetCon = pTgt->hTgtNetCon;
        q.dbgState = pTgt->dbgState;
        q.bClient = (UINT32)pTgt->bClient;
        q.bChannelSyncInProg = (UINT32)pTgt->bChannelSyncInProg;
        q.numOfChannelSyncs = pTgt->numOfChannelSyncs;
        q.bConnected = (UINT32)pTgt->isConnectedMon.bConnected;
        q.bFullyConnected = (UINT32)pTgt->isFullyConnectedMon.bConnected;
    }
    q.lastKnownVersion = __atomic_load_n(&pTgt->lastKnownVersion, __ATOMIC_RELAXED);
    {
        MosFastlockGuard guard(&pTgt->fastlock);
        q.numKnownAddrs = pTgt->numKnownAddrs;
    }
    memcpy(pData, &q, sizeof(q));
}

ContTgt *contTgtMngr_FindLocked(ContTgtMngr *pTgtMngr, UINT64 tgtId)
{
    for (MosDList_Node *p = mosDList_First(&pTgtMngr->tgtAnchor); p != nullptr; p = mosDList_Next(p))
        if (contTgt_OfNode(p)->tgtId == tgtId)
            return contTgt_OfNode(p);
    return nullptr;
}

Mos_RC contTgt_Add(Cont *pCont, ContTgt *pTgt, const NetCon_RemoteHosts *pHosts)
{
    Net *pNet = cont_GetNetObj(pCont);
    const UINT64 myId = cont_GetTgtId(pCont);
    if (pTgt->tgtId < myId) {
        const HNetCon hCon = contNet_AllocCon(cont_GetContNet(pCont), pTgt->tgtId, pHosts);
        if (hCon == NET_CON__INVALID_HCON) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Alloc client con failed, tgt %lx", (unsigned long)pTgt->tgtId);
            return MOS_RC__NOT_READY;
        }
        if (net_SetConPrivilegedSend(pNet, hCon, TRUE) != MOS_RC__SUCCESS) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Set privilege failed, tgt %lx", (unsigned long)pTgt->tgtId);
            return MOS_RC__NOT_READY;
        }
        {
            MosFastlockGuard guard(&pTgt->syncChannelFastLock);
            pTgt->hTgtNetCon = hCon;
            pTgt->bClient = TRUE;
        }
        if (!net_Connect(pNet, hCon, FALSE)) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Connect async failed, tgt %lx", (unsigned long)pTgt->tgtId);
            return MOS_RC__COMMUNICATION_ERROR;
        }
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Client %lx tgt ID %lx", (unsigned long)myId,
                  (unsigned long)pTgt->tgtId);
    } else {
        const HNetCon hCon = net_GetCon(pNet, pTgt->tgtId);
        {
            MosFastlockGuard guard(&pTgt->syncChannelFastLock);
            pTgt->hTgtNetCon = hCon;
            pTgt->bClient = FALSE;
        }
        contTgt_UpdateVersionFromCon(pTgt, hCon);
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Server %lx tgt ID %lx", (unsigned long)myId,
                  (unsigned long)pTgt->tgtId);
    }
    MosFastlockGuard guard(&pTgt->syncChannelFastLock);
    if (!pTgt->bChannelSyncInProg)
        contTgt_StartSyncLocked(pTgt);
    return MOS_RC__SUCCESS;
}

void contTgt_Rem(ContTgt *pTgt)
{
    HNetCon hCon = NET_CON__INVALID_HCON;
    BOOL bWait = FALSE;
    {
        MosFastlockGuard guard(&pTgt->syncChannelFastLock);
        if (pTgt->bClient)
            hCon = pTgt->hTgtNetCon;
        pTgt->hTgtNetCon = NET_CON__INVALID_HCON;
        if (pTgt->bChannelSyncInProg) {
            pTgt->bAbortChannelSync = TRUE;
            (void)mosUmtSem_TryDec(&pTgt->waitForSyncChannelToEndSem, 1);
            mosUmtCond_Signal(&pTgt->syncChannelCond);
            bWait = TRUE;
        }
    }
    if (hCon != NET_CON__INVALID_HCON)
        net_Disconnect(cont_GetNetObj(pTgt->pCont), hCon);
    if (bWait)
        (void)mosUmtSem_DecTimed(&pTgt->waitForSyncChannelToEndSem, 1, 0);
}

void contTgt_Validate(ContTgt *pTgt, UINT16 hostGenNum, const NetCon_RemoteHosts *pHosts)
{
    if (hostGenNum == pTgt->hostGenNum)
        return;
    for (UINT32 i = 0; i < pHosts->hostsCount && i < NET_CON__MAX_NUM_OF_IP_PER_HOST; i++) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Peer %lx host %u: %.*s", (unsigned long)pTgt->tgtId, i,
                  (int)NET_CON__MAX_HOST_NAME, pHosts->hosts[i]);
        if (pTgt->remoteHost[0] == '\0' || i == 0)
            snprintf(pTgt->remoteHost, sizeof(pTgt->remoteHost), "%.*s", (int)NET_CON__MAX_HOST_NAME - 1,
                     pHosts->hosts[i]);
    }
    if (pTgt->bClient && pTgt->hTgtNetCon != NET_CON__INVALID_HCON)
        (void)net_ClientConModRemoteAddr(cont_GetNetObj(pTgt->pCont), pTgt->hTgtNetCon, pHosts);
    pTgt->hostGenNum = hostGenNum;
}

void contTgt_ConnectedNotif(ContTgt *pTgt, HNetCon hCon, NetConChannelData *pChannelData)
{
    {
        MosFastlockGuard guard(&pTgt->syncChannelFastLock);
        pTgt->hTgtNetCon = hCon;
        pTgt->isConnectedMon = {TRUE, mosTicks_GetCurrentTick()};
        pTgt->isFullyConnectedMon = {TRUE, mosTicks_GetCurrentTick()};
        pTgt->dbgState = CONT_TGT_CON_STATE__CONNECTED;
        if (pChannelData != nullptr)
            *pChannelData = pTgt->channelData;
        pTgt->bAbortChannelSync = FALSE;
        if (!pTgt->bClient && !pTgt->bChannelSyncInProg)
            contTgt_StartSyncLocked(pTgt);
    }
    contTgt_UpdateVersionFromCon(pTgt, hCon);
}

void contTgt_DisconnectedNotif(ContTgt *pTgt, HNetCon hCon, NetConChannelData *pChannelData)
{
    MosFastlockGuard guard(&pTgt->syncChannelFastLock);
    pTgt->isConnectedMon.bConnected = FALSE;
    pTgt->isFullyConnectedMon.bConnected = FALSE;
    pTgt->bNetHiccups = TRUE;
    pTgt->dbgState = CONT_TGT_CON_STATE__DISCONNECTED;
    if (pChannelData != nullptr)
        pTgt->channelData = *pChannelData;
    if (!pTgt->bClient && pTgt->bChannelSyncInProg) {
        pTgt->bAbortChannelSync = TRUE;
        mosUmtCond_Signal(&pTgt->syncChannelCond);
    }
    if (hCon != pTgt->hTgtNetCon)
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Peer %lx: disconnection of another connection",
                  (unsigned long)pTgt->tgtId);
    if (!pTgt->bClient)
        pTgt->hTgtNetCon = NET_CON__INVALID_HCON;
}

void contTgt_SetPeerVersion(ContTgt *pTgt, UINT32 version)
{
    if (version == CONT_TGT__UNKNOWN_VERSION || version == pTgt->lastKnownVersion)
        return;
    pTgt->lastKnownVersion = version;
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Peer %lx speaks version %x", (unsigned long)pTgt->tgtId, version);
}

void contTgt_OscillationNotif(ContTgt *pTgt, HNetCon hCon, NetOscType counterType, const NetAddress *pAddr)
{
    (void)hCon;
    if (counterType < NET_OSC_TYPE__SOCKET_DOWN || counterType > NET_OSC_TYPE__RPC_LINGERED_3SEC) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Unsupported counter type %u", (unsigned)counterType);
        return;
    }
    CHAR_A text[NET_ADDRESS_STRING_LEN];
    contTgt_AddrText(pAddr, text);
    MosFastlockGuard guard(&pTgt->fastlock);
    UINT32 idx = 0;
    while (idx < pTgt->numKnownAddrs && !netAddress_IsSimilar(&pTgt->knownAddrs[idx], pAddr))
        idx++;
    if (idx == pTgt->numKnownAddrs) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Unknown address %s. Trying to add.", text);
        if (idx == CONT_TGT__MAX_KNOWN_ADDRS) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "New address %s was not added. Notification dismissed", text);
            return;
        }
        pTgt->knownAddrs[idx] = *pAddr;
        pTgt->numKnownAddrs++;
        contTgt_CreateAddrCounters(pTgt, idx);
    }
    (void)mosOscCnt_FailureOccurrence(&contTgt_GetMosOscCntArr(pTgt, kOscTypes[counterType - 1])[idx], 1);
    pTgt->bNetHiccups = TRUE;
}

Mos_RC contTgt_CheckDegradePermit(ContTgt *pPeerTgt)
{
    ContTgtDegradePermit *pPermit = &pPeerTgt->degradePermit;
    auto isFresh = [pPermit]() {
        return pPermit->bValid && mosTicks_TicksToMillis(mosTicks_DiffInTicks(mosTicks_GetCurrentTick(),
                                                                              pPermit->lastTicks)) <
                                      CONT_TGT__PERMIT_VALID_MILLIS;
    };
    MosFastlockGuard guard(&pPermit->fastlock);
    if (isFresh())
        return pPermit->lastResponse;
    if (pPermit->bInProgress) {
        (void)mosUmtCond_TimedWait(&pPermit->cond, &pPermit->fastlock, CONT_TGT__PERMIT_VALID_MILLIS);
        return isFresh() ? pPermit->lastResponse : MOS_RC__RETRY;
    }
    pPermit->bInProgress = TRUE;
    mosFastlockBase_Release(&pPermit->fastlock);
    OstrelTgtReq_DegradeCombPermit req{cont_GetTgtId(pPeerTgt->pCont), pPeerTgt->tgtId};
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW,
              "[DEGRADE permit request] - sending degrade permit request (priTgtId=%016lx, secTgtId=%016lx)",
              (unsigned long)req.priTgtId, (unsigned long)req.secTgtId);
    Mos_RC rc = pPeerTgt->pTgtMngr->pSendPermitCK(pPeerTgt->pCont, &req);
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW,
              "[DEGRADE permit request] - responseRC= %s (priTgtId=%016lx, secTgtId=%016lx)", mosRc_GetStr(rc),
              (unsigned long)req.priTgtId, (unsigned long)req.secTgtId);
    if (rc != MOS_RC__SUCCESS && rc != MOS_RC__ABORTED)
        rc = MOS_RC__RETRY;
    mosFastlockBase_Acquire(&pPermit->fastlock);
    pPermit->lastResponse = rc;
    pPermit->lastTicks = mosTicks_GetCurrentTick();
    pPermit->bValid = TRUE;
    pPermit->bInProgress = FALSE;
    mosUmtCond_Broadcast(&pPermit->cond);
    return rc;
}

NetConChannelData contTgt_GetChannelData(ContTgt *pTgt)
{
    MosFastlockGuard guard(&pTgt->syncChannelFastLock);
    return pTgt->channelData;
}

void cont_GetAllPeersConState(Cont *pCont, OstrelTgtNot_PeerConState *pStateArr, UINT32 nPeerTgts)
{
    ContTgtMngr *pMngr = cont_GetTgtMngr(pCont);
    MosDList_Node *p = mosDList_First(&pMngr->tgtAnchor);
    for (UINT32 i = 0; i < nPeerTgts; i++, p = mosDList_Next(p)) {
        MOS_ASSERT(p != nullptr);
        ContTgt *pTgt = contTgt_OfNode(p);
        pStateArr[i].tgtId = pTgt->tgtId;
        pStateArr[i].bConnected = net_IsConnected(cont_GetNetObj(pCont), net_GetCon(cont_GetNetObj(pCont), pTgt->tgtId));
        MosFastlockGuard guard(&pTgt->syncChannelFastLock);
        pStateArr[i].bHiccups = pTgt->bNetHiccups;
        pTgt->bNetHiccups = FALSE;
    }
}

void contTgt_GetBwc(ContTgt *pTgt, OstrelTgtRsp_NetBwc *pBwc)
{
    memset(pBwc, 0, sizeof(*pBwc));
    pBwc->tgtId = pTgt->tgtId;
    HNetCon hCon;
    {
        MosFastlockGuard guard(&pTgt->syncChannelFastLock);
        hCon = pTgt->hTgtNetCon;
    }
    NetConBwc bwc{};
    if (hCon != NET_CON__INVALID_HCON && net_GetConBwc(cont_GetNetObj(pTgt->pCont), hCon, &bwc) == MOS_RC__SUCCESS) {
        pBwc->sendSize = bwc.sendSize;
        pBwc->sendLatency = bwc.sendLatency;
    }
}

void contTgt_GetTgtConState(ContTgt *pTgt, OstrelTgtRsp_ConState *pState)
{
    memset(pState, 0, sizeof(*pState));
    pState->tgtId = pTgt->tgtId;
    memcpy(pState->remoteHost, pTgt->remoteHost, sizeof(pState->remoteHost));
    HNetCon hCon;
    {
        MosFastlockGuard guard(&pTgt->syncChannelFastLock);
        hCon = pTgt->hTgtNetCon;
    }
    NetCon_GetConState state{};
    if (hCon != NET_CON__INVALID_HCON && net_GetConState(cont_GetNetObj(pTgt->pCont), hCon, &state))
        pState->state = state;
}

namespace {
// An answer {count, element size, elements} over the listed peers that pass the filter.
template <typename Elem, typename Fill>
Mos_RC contTgtMngr_BuildAnswer(ContTgtMngr *pTgtMngr, BOOL bClientsOnly, Fill fill, UINT8 **ppAnswer, UINT32 *pLen)
{
    MosFastlockGuard guard(&pTgtMngr->fastlock);
    const UINT32 maxLen = (UINT32)(sizeof(OstrelTgtRsp_PeersHead) + (size_t)pTgtMngr->tgtAnchor.counter * sizeof(Elem));
    auto *pAnswer = static_cast<UINT8 *>(mos_MemCalloc(maxLen, maxLen, __func__, TRUE));
    if (pAnswer == nullptr)
        return MOS_RC__NOT_FOUND;
    OstrelTgtRsp_PeersHead head{0, (UINT32)sizeof(Elem)};
    for (MosDList_Node *p = mosDList_First(&pTgtMngr->tgtAnchor); p != nullptr; p = mosDList_Next(p)) {
        ContTgt *pTgt = contTgt_OfNode(p);
        if (bClientsOnly && !pTgt->bClient)
            continue;
        Elem elem;
        fill(pTgt, &elem);
        memcpy(pAnswer + sizeof(head) + (size_t)head.numTgts++ * sizeof(Elem), &elem, sizeof(elem));
    }
    memcpy(pAnswer, &head, sizeof(head));
    *ppAnswer = pAnswer;
    *pLen = (UINT32)(sizeof(head) + (size_t)head.numTgts * sizeof(Elem));
    return MOS_RC__SUCCESS;
}
} // namespace

Mos_RC contTgtMngr_GetNetBwc(ContTgtMngr *pTgtMngr, UINT8 **ppAnswer, UINT32 *pLen)
{
    return contTgtMngr_BuildAnswer<OstrelTgtRsp_NetBwc>(pTgtMngr, FALSE, contTgt_GetBwc, ppAnswer, pLen);
}

Mos_RC contTgtMngr_GetTgtConState(ContTgtMngr *pTgtMngr, UINT8 **ppAnswer, UINT32 *pLen)
{
    return contTgtMngr_BuildAnswer<OstrelTgtRsp_ConState>(pTgtMngr, TRUE, contTgt_GetTgtConState, ppAnswer, pLen);
}

void contTgtMngr_UpdateNumOfSocketsOnAllTgts(ContTgtMngr *pTgtMngr, UINT32 numOfSocketPerIp)
{
    MosFastlockGuard guard(&pTgtMngr->fastlock);
    for (MosDList_Node *p = mosDList_First(&pTgtMngr->tgtAnchor); p != nullptr; p = mosDList_Next(p)) {
        ContTgt *pTgt = contTgt_OfNode(p);
        HNetCon hCon;
        {
            MosFastlockGuard tgtGuard(&pTgt->syncChannelFastLock);
            hCon = pTgt->hTgtNetCon;
        }
        if (hCon == NET_CON__INVALID_HCON)
            continue;
        const Mos_RC rc = net_UpdateNumOfSocketsPerIp(cont_GetNetObj(pTgt->pCont), hCon, numOfSocketPerIp);
        if (rc != MOS_RC__SUCCESS)
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Peer %lx: %u sockets per address not set, rc=%s",
                      (unsigned long)pTgt->tgtId, numOfSocketPerIp, mosRc_GetStr(rc));
    }
}

MosOscCnt_Counter *contTgt_GetMosOscCntArr(ContTgt *pTgt, MosOscCnt_CounterType type)
{
    switch (type) {
    case MOS_OSC_CNT_TYPE__PELLAR_PELLAR_NETWORK_DISCONNECTIONS:
        return pTgt->connOscCnt;
    case MOS_OSC_CNT_TYPE__PELLAR_PELLAR_NETWORK_FAILURES:
        return pTgt->netOscCnt;
    case MOS_OSC_CNT_TYPE__PELLAR_PELLAR_RCV_KEEP_ALIVE_CAUSED_DISCONNECTION:
        return pTgt->rcvKaDiscon;
    case MOS_OSC_CNT_TYPE__PELLAR_PELLAR_SND_KEEP_ALIVE_CAUSED_DISCONNECTION:
        return pTgt->sndKaDiscon;
    case MOS_OSC_CNT_TYPE__PELLAR_PELLAR_HIGH_LATENCY:
        return pTgt->rpcLing1Sec;
    case MOS_OSC_CNT_TYPE__PELLAR_PELLAR_CRITICAL_LATENCY:
        return pTgt->rpcLing3Sec;
    default:
        return nullptr;
    }
}

void contTgt_UpdateOscCounter(ContTgt *pTgt, MosOscCnt_CounterType type, const MosOscCnt_CounterParams *pParams)
{
    MosOscCnt_Counter *pArr = contTgt_GetMosOscCntArr(pTgt, type);
    if (pArr == nullptr)
        return;
    MosFastlockGuard guard(&pTgt->fastlock);
    for (UINT32 idx = 0; idx < pTgt->numKnownAddrs; idx++) {
        const Mos_RC rc = mosOscCnt_SetParams(&pArr[idx], pParams);
        if (rc != MOS_RC__SUCCESS)
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Peer %lx: counter %u of address %u refused its windows, rc=%s",
                      (unsigned long)pTgt->tgtId, (unsigned)type, idx, mosRc_GetStr(rc));
    }
}

void contTgt_ResetOscCounter(ContTgt *pTgt, MosOscCnt_CounterType type)
{
    MosOscCnt_Counter *pArr = contTgt_GetMosOscCntArr(pTgt, type);
    if (pArr == nullptr)
        return;
    MosFastlockGuard guard(&pTgt->fastlock);
    for (UINT32 idx = 0; idx < pTgt->numKnownAddrs; idx++)
        mosOscCnt_ResetCounter(&pArr[idx]);
}

UINT32 contTgt_GatherOscCounters(ContTgt *pTgt, MosOscCnt_QueryCounter *pArray, UINT32 maxCounters, UINT64 timeDelta)
{
    UINT32 n = 0;
    MosFastlockGuard guard(&pTgt->fastlock);
    for (UINT32 idx = 0; idx < pTgt->numKnownAddrs; idx++) {
        for (MosOscCnt_CounterType type : kOscTypes) {
            MosOscCnt_Counter *pCounter = &contTgt_GetMosOscCntArr(pTgt, type)[idx];
            if (n < maxCounters && mosOscCnt_HasCounterChanged(pCounter, timeDelta))
                (void)mosOscCnt_GetCounter(pCounter, &pArray[n++]);
        }
    }
    return n;
}

void contTgtMngr_UpdateOscCounter(ContTgtMngr *pTgtMngr, MosOscCnt_CounterType type, BOOL bReset,
                                  const MosOscCnt_CounterParams *pParams)
{
    if (!contTgt_IsPeerOscType(type))
        return;
    MosFastlockGuard guard(&pTgtMngr->fastlock);
    if (!bReset)
        mosOscCnt_CopyOscParams(cont_GetOscCntParams(pTgtMngr->pCont, type), pParams);
    for (MosDList_Node *p = mosDList_First(&pTgtMngr->tgtAnchor); p != nullptr; p = mosDList_Next(p)) {
        if (bReset)
            contTgt_ResetOscCounter(contTgt_OfNode(p), type);
        else
            contTgt_UpdateOscCounter(contTgt_OfNode(p), type, pParams);
    }
}

UINT32 contTgtMngr_GatherOscCounters(ContTgtMngr *pTgtMngr, MosOscCnt_QueryCounter *pArray, UINT32 maxCounters,
                                     UINT64 timeDelta)
{
    UINT32 n = 0;
    MosFastlockGuard guard(&pTgtMngr->fastlock);
    for (MosDList_Node *p = mosDList_First(&pTgtMngr->tgtAnchor); p != nullptr; p = mosDList_Next(p))
        n += contTgt_GatherOscCounters(contTgt_OfNode(p), pArray + n, maxCounters - n, timeDelta);
    return n;
}
