#include "net/net.h"
#include "net/net_rpc.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

#include "mos/mos_dbg.h"
#include "mos/mos_diag_counters.h"
#include "mos/mos_trace.h"
#include "mos/mos_version.h"
#include "net/net_msg.h"
#include "net/net_path_mgr_intrn.h"

namespace {
enum : MosContentionId {
    NET__FASTLOCK_ID = 302,
    NET__WHITELIST_HASH_ID = 303,
};

struct NetWhitelistEntry {
    MosHash_Record record;
    PackedNetAddress addr;
};

UINT64 netWhitelist_Key(const PackedNetAddress *pAddr)
{
    return (UINT64)(uintptr_t)pAddr;
}

void netWhitelist_Clear(Net *pNet)
{
    std::vector<NetWhitelistEntry *> entries;
    mosHash_EnumStart(&pNet->whitelistHash);
    UINT64 key = 0, data = 0;
    while (mosHash_EnumGetNextRecord(&pNet->whitelistHash, FALSE, &key, &data))
        entries.push_back(reinterpret_cast<NetWhitelistEntry *>((uintptr_t)data));
    mosHash_EnumStop(&pNet->whitelistHash);
    for (NetWhitelistEntry *pEntry : entries) {
        mosHash_GetRecordByKey(&pNet->whitelistHash, netWhitelist_Key(&pEntry->addr), MOS_HASH_FLAGS__DELETE_RECORD,
                               nullptr);
        delete pEntry;
    }
}
} // namespace

const NetConfParam *net_GetConf(const Net *pNet)
{
    return &pNet->confParam;
}

MosUmt_Sched *net_GetWorkerSched(const Net *pNet)
{
    return pNet->pNetWorkerSched;
}

BOOL net_HasSeparateWorkerSched(const Net *pNet)
{
    return pNet->confParam.bUseSeparateSched;
}

MosTimerQ_ID net_GetPollStartQ(const Net *pNet)
{
    return pNet->startQ;
}

MosTimerQ_ID net_GetPollEndQ(const Net *pNet)
{
    return pNet->endQ;
}

NetPoll *net_GetPoll(Net *pNet)
{
    return &pNet->poll;
}

MosMit_Scheduler *net_GetWorkerMitSched(Net *pNet)
{
    return &pNet->wrkGrp.sched;
}

NetPathMgr *net_GetPathMgr(Net *pNet)
{
    return &pNet->pathMgr;
}

NetConManger *net_GetConManager(Net *pNet)
{
    return &pNet->conManager;
}

NetListen *net_GetListen(Net *pNet)
{
    return &pNet->listen;
}

void net_PathCreated(Net *pNet)
{
    __atomic_add_fetch(&pNet->numPaths, 1, __ATOMIC_ACQ_REL);
}

void net_PathDestroyed(Net *pNet)
{
    __atomic_sub_fetch(&pNet->numPaths, 1, __ATOMIC_ACQ_REL);
}

UINT8 net_GetConfGeneration(Net *pNet)
{
    return __atomic_load_n(&pNet->confGeneration, __ATOMIC_ACQUIRE);
}

UINT32 net_UniqId(Net *pNet)
{
    return __atomic_fetch_add(&pNet->nextMsgId, 1, __ATOMIC_RELAXED);
}

NetMsgSchedType net_GetMsgSchedType(const Net *pNet)
{
    return pNet->netMsgSchedType;
}

ConId net_GetMyConId(const Net *pNet)
{
    return __atomic_load_n(&pNet->myConId, __ATOMIC_ACQUIRE);
}

NetOwnerType net_GetOwnerType(const Net *pNet)
{
    return pNet->ownerType;
}

void net_OnRcvBufferAllocFailure(Net *pNet)
{
    if (pNet->netCB.pOnRcvBufferAllocFailureFunc != nullptr)
        pNet->netCB.pOnRcvBufferAllocFailureFunc(pNet->netCB.pOnRcvBufferAllocFailureArg);
}

void net_InitEmptyNetCallback(NetCallback *pCallback)
{
    memset(pCallback, 0, sizeof(*pCallback));
}

UINT32 net_GetMyNumericVersion(void)
{
    UINT32 majorHigh = 0, majorLow = 0, minorHigh = 0, minorLow = 0;
    mosVersion_GetDetails(&majorHigh, &majorLow, &minorHigh, &minorLow);
    return ((majorHigh & 0xFFu) << 24) | ((majorLow & 0xFFu) << 16) | ((minorHigh & 0xFFu) << 8) | (minorLow & 0xFFu);
}

void net_SetNetIdentifier(NetIdentifier *pIdentifier)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    pIdentifier->timeStamp = (UINT32)((UINT64)ts.tv_sec * 1000000ull + (UINT64)ts.tv_nsec / 1000ull);
    if (pIdentifier->timeStamp == 0)
        MOS_ERROR(MOS_COMP_NET, "ASSERT condition (%s) failed.", "0 != pIdentifier->timeStamp");
    pIdentifier->magicNumber = 0;
    for (UINT32 draw = 0; draw < 3 && pIdentifier->magicNumber == 0; draw++)
        pIdentifier->magicNumber = (UINT32)lrand48();
    if (pIdentifier->magicNumber == 0)
        MOS_ERROR(MOS_COMP_NET, "ASSERT condition (%s) failed.", "0 != pIdentifier->magicNumber");
    MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "Network identification set with time stamp %X and magic number %X",
              pIdentifier->timeStamp, pIdentifier->magicNumber);
}

const NetIdentifier *net_GetNetIdentifier(const Net *pNet)
{
    return &pNet->myNetIdentifier;
}

const NetSecConf *net_GetSecConf(const Net *pNet)
{
    return &pNet->confParam.securityParams;
}

void net_SetSecConf(Net *pNet, const NetSecConf *pConf)
{
    pNet->confParam.securityParams = *pConf;
}

void net_Init(Net *pNet, MosUmt_Sched *pUmtSched, const NetCallback *pCallback, UINT32 numOfRecvGroup, ConId myConId,
              NetOwnerType ownerType, const NetConfParam *pConfParam)
{
    memset(static_cast<void *>(pNet), 0, sizeof(*pNet));
    MOS_FASTLOCK_CREATE(&pNet->netFastlock, NET__FASTLOCK_ID);
    if (pCallback != nullptr)
        pNet->netCB = *pCallback;
    pNet->myConId = myConId;
    pNet->ownerType = ownerType;
    pNet->confParam = *pConfParam;
    net_SetNetIdentifier(&pNet->myNetIdentifier);

    pNet->whitelistEnabled = FALSE;
    MOS_ASSERT(mosHash_CreateNamedHash(&pNet->whitelistHash, NET__WHITELIST_BUCKETS, MOS_HASHING_METHOD__USER_DEFINED,
                                       NET__WHITELIST_BUCKETS, packedNetAddress_HashFunc,
                                       packedNetAddress_CompareFunc, "net_whiltelist_addr_hash",
                                       NET__WHITELIST_HASH_ID));

    if (pNet->confParam.bUseSeparateSched) {
        MOS_ASSERT_WITH_DESC(pUmtSched == nullptr, "a separate scheduler was asked for together with a given one");
        pNet->pSeparateSched = new MosUmt_SchedThrd;
        memset(static_cast<void *>(pNet->pSeparateSched), 0, sizeof(*pNet->pSeparateSched));
        MOS_ASSERT_SUCCESS(mosUmtSchedThrd_Create(pNet->pSeparateSched, "NetSchedWorkers",
                                                  NET__SEPARATE_SCHED_MAX_THREADS,
                                                  (UINT32)pNet->confParam.pollWorkers, 0));
        mosUmtSchedThrd_SetSchedPolicy(pNet->pSeparateSched, MOS_UMT_SCHED_THRD_POLICY__SOFT_AFFINITY);
        pNet->pNetWorkerSched = &pNet->pSeparateSched->base;
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "Successfully allocated a separate network scheduler %p",
                  (void *)pNet->pNetWorkerSched);
    } else {
        pNet->pNetWorkerSched = pUmtSched;
        pNet->pUmtSched = pUmtSched;
    }

    pNet->startQ = MOS_TIMER_QUEUE_ID__1SEC;
    pNet->endQ = MOS_TIMER_QUEUE_ID__5MIN;
    pNet->nextMsgId = (UINT32)lrand48();
    mosMemPool_CreateEx(&pNet->recvMsgPool, "Network - Receive messages", nullptr, nullptr, sizeof(NetMsgRcv),
                        (UINT32)pNet->confParam.maxRcvMsg, 8, FALSE, MOS_TIMER__FREE_HANDLER_LIST);
    pNet->confGeneration = 0;
    netPathMgr_Init(&pNet->pathMgr, pNet);
    netPoll_Init(&pNet->poll, pNet, &pNet->confParam);
    netListen_Init(&pNet->listen, pNet);
    netConManager_Init(&pNet->conManager, pNet, numOfRecvGroup);
    netConManager_SetRecvRpcRespCK(&pNet->conManager, netRpc_OnRpcResp);
    pNet->netMsgSchedType = net_GetMsgSchedMethod();
}

void net_SetPollThrdPrioHigh(Net *pNet)
{
    pNet->bHighPrioPollThrd = TRUE;
}

void net_SetPollTimerQs(Net *pNet, MosTimerQ_ID startQ, MosTimerQ_ID endQ)
{
    pNet->startQ = startQ;
    pNet->endQ = endQ;
}

Net *net_SingleCreate(const NetCallback *pCallback, MosUmt_Sched *pUmtSched, UINT32 maxNumReceiveGroups,
                      ConId myConIdPrimary, NetOwnerType ownerType, const NetConfParam *pConfParam)
{
    Net *pNet = static_cast<Net *>(calloc(1, sizeof(Net)));
    MOS_ASSERT(pNet != nullptr);
    net_Init(pNet, pUmtSched, pCallback, maxNumReceiveGroups, myConIdPrimary, ownerType, pConfParam);
    return pNet;
}

void net_SingleStart(Net *pNet, Port listenPort)
{
    net_Start(pNet, listenPort);
}

void net_Start(Net *pNet, Port listenPort)
{
    pNet->listenPort = listenPort;
    netWorkGroup_Init(&pNet->wrkGrp, (UINT32)pNet->confParam.maxNumOfWorkers, (UINT32)pNet->confParam.pollWorkers,
                      pNet->confParam.bImportantUmt, pNet);
    netPoll_Start(&pNet->poll, pNet->bHighPrioPollThrd);
    netPathMgr_Start(&pNet->pathMgr);
    if (listenPort != 0)
        netListen_Start(&pNet->listen, listenPort);
    pNet->bStarted = TRUE;
}

void net_Destroy(Net *pNet)
{
    if (pNet->bStarted) {
        netListen_Stop(&pNet->listen);
        netListen_WaitStopped(&pNet->listen);
        // Every path is dropped; the keep-alive task marks them at its next tick.
        netPathMgr_Freeze(&pNet->pathMgr, TRUE, TRUE);
        while (__atomic_load_n(&pNet->numPaths, __ATOMIC_ACQUIRE) != 0)
            usleep(1000);
        netPathMgr_StopKa(&pNet->pathMgr);
        netWorkGroup_Destroy(&pNet->wrkGrp);
    }
    netConManager_Destroy(&pNet->conManager);
    netPoll_Destroy(&pNet->poll);
    netPathMgr_Destroy(&pNet->pathMgr);
    mosMemPool_Destroy(&pNet->recvMsgPool);
    netWhitelist_Clear(pNet);
    mosHash_Delete(&pNet->whitelistHash);
    if (pNet->pSeparateSched != nullptr) {
        mosUmtSchedThrd_Destroy(pNet->pSeparateSched);
        delete pNet->pSeparateSched;
        pNet->pSeparateSched = nullptr;
    }
    mosFastlockBase_Destroy(&pNet->netFastlock);
    pNet->bStarted = FALSE;
}

void net_Pause(Net *pNet, BOOL bPause, BOOL bWithLocks)
{
    if (bPause)
        netListen_Stop(&pNet->listen);
    else if (pNet->listenPort != 0)
        netListen_Start(&pNet->listen, pNet->listenPort);
    netPathMgr_Freeze(&pNet->pathMgr, bPause, bWithLocks);
    MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "Net paused %u", (unsigned)bPause);
}

void net_SetBlockState(Net *pNet, BOOL bPaused)
{
    BOOL bWas;
    {
        MosFastlockGuard guard(&pNet->netFastlock);
        bWas = pNet->bPaused;
        pNet->bPaused = bPaused;
    }
    if (bWas != bPaused) {
        if (pNet->netCB.pOnNetPausedToggleFunc != nullptr)
            pNet->netCB.pOnNetPausedToggleFunc(pNet->netCB.pOnNetPausedToggleArg);
        MOS_DIAG_COUNT(NET_PAUSED_TOGGLE);
    }
    if (!bPaused)
        netPathMgr_Unblock(&pNet->pathMgr);
}

BOOL net_IsPaused(Net *pNet)
{
    MosFastlockGuard guard(&pNet->netFastlock);
    return pNet->bPaused;
}

Mos_RC net_SetSocketBufferSize(Net *pNet, UINT32 sndBufSizeInKB, UINT32 rcvBufSizeInKB)
{
    auto bad = [](UINT32 kb) { return kb > NET__SOCKET_BUF_MAX_KB || (kb != 0 && kb < NET__SOCKET_BUF_MIN_KB); };
    if (bad(sndBufSizeInKB) || bad(rcvBufSizeInKB) || (sndBufSizeInKB == 0 && rcvBufSizeInKB == 0)) {
        MOS_ERROR(MOS_COMP_NET, "Illegal value, allowed range is %u..%u, given rcv %u snd %u", NET__SOCKET_BUF_MIN_KB,
                  NET__SOCKET_BUF_MAX_KB, rcvBufSizeInKB, sndBufSizeInKB);
        return MOS_RC__PARAMETER_OUT_OF_RANGE;
    }
    MosFastlockGuard guard(&pNet->netFastlock);
    if (sndBufSizeInKB != 0)
        pNet->confParam.sendBufferInKb = sndBufSizeInKB;
    if (rcvBufSizeInKB != 0)
        pNet->confParam.recvBufferInKb = rcvBufSizeInKB;
    __atomic_add_fetch(&pNet->confGeneration, 1, __ATOMIC_RELEASE);
    MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "Changed to send(%lu) rcv(%lu)", (unsigned long)pNet->confParam.sendBufferInKb,
              (unsigned long)pNet->confParam.recvBufferInKb);
    return MOS_RC__SUCCESS;
}

UINT8 net_GetSocketBufferSizes(Net *pNet, UINT64 *pSndKb, UINT64 *pRcvKb)
{
    MosFastlockGuard guard(&pNet->netFastlock);
    *pSndKb = pNet->confParam.sendBufferInKb;
    *pRcvKb = pNet->confParam.recvBufferInKb;
    return pNet->confGeneration;
}

Mos_RC net_SetBreakDoIOLoop(Net *pNet, UINT64 breakDoIOLoop)
{
    __atomic_store_n(&pNet->confParam.breakDoIOLoop, breakDoIOLoop, __ATOMIC_RELAXED);
    return MOS_RC__SUCCESS;
}

Mos_RC net_SetAllocBufferWaitMillis(Net *pNet, UINT64 allocRcvBufferWaitMillis)
{
    __atomic_store_n(&pNet->confParam.allocRcvBufferWaitMillis, allocRcvBufferWaitMillis, __ATOMIC_RELAXED);
    return MOS_RC__SUCCESS;
}

Mos_RC net_SetSendTimeoutTimerQ(Net *pNet, UINT32 timeoutQueueId)
{
    if (timeoutQueueId >= MOS_TIMER_QUEUE_ID__LAST) {
        MOS_ERROR(MOS_COMP_NET, "allowed range is %u..%u, given %u", 0u, MOS_TIMER_QUEUE_ID__LAST - 1u, timeoutQueueId);
        return MOS_RC__PARAMETER_OUT_OF_RANGE;
    }
    MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "Setting to %s", mosTimerQNames_G[timeoutQueueId]);
    pNet->confParam.sendTimeout = timeoutQueueId;
    return MOS_RC__SUCCESS;
}

Mos_RC net_SetSendTimeoutInMilli(Net *pNet, UINT32 timeoutInMilli)
{
    if (timeoutInMilli < NET__SEND_TIMEOUT_MIN_MILLI || timeoutInMilli > NET__SEND_TIMEOUT_MAX_MILLI) {
        MOS_ERROR(MOS_COMP_NET, "allowed range is %u..%u, given %u", NET__SEND_TIMEOUT_MIN_MILLI,
                  NET__SEND_TIMEOUT_MAX_MILLI, timeoutInMilli);
        return MOS_RC__PARAMETER_OUT_OF_RANGE;
    }
    const MosTimerQ_ID q = mosTimer_GetClosestQ(timeoutInMilli);
    MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "Translated %u Ms to %s queue", timeoutInMilli,
              q < MOS_TIMER_QUEUE_ID__LAST ? mosTimerQNames_G[q] : "INVALID");
    return net_SetSendTimeoutTimerQ(pNet, q);
}

void net_SetKaSndFrequency(Net *pNet, UINT32 freq)
{
    netPathMgr_SetKaSndFrequency(&pNet->pathMgr, freq);
}

void net_SetKaRcvIdleThreshInMIlli(Net *pNet, UINT32 threashInMIlli)
{
    netPathMgr_SetKaRcvIdleThreshInMIlli(&pNet->pathMgr, threashInMIlli);
}

void net_SetKaSndIdleThreshInMIlli(Net *pNet, UINT32 threashInMIlli)
{
    netPathMgr_SetKaSndIdleThreshInMIlli(&pNet->pathMgr, threashInMIlli);
}

void net_SetKaRcvParams(Net *pNet, UINT32 threashInMIlli, UINT32 sndFreq)
{
    netPathMgr_SetKaRcvParams(&pNet->pathMgr, threashInMIlli, sndFreq);
}

Mos_RC net_ReSetNumOfNetWorkers(Net *pNet, UINT32 numOfWorkers)
{
    return netWorkGroup_Resize(&pNet->wrkGrp, numOfWorkers);
}

UINT32 net_GetNumOfNetWorkers(Net *pNet)
{
    return netWorkGroup_GetNumOfWorkers(&pNet->wrkGrp);
}

BOOL net_IsNumberOfWorkersBeingConfigured(Net *pNet)
{
    return netWorkGroup_IsNumberOfWorkersBeingConfigured(&pNet->wrkGrp);
}

void net_UpdateConId(Net *pNet, ConId myConId)
{
    MOS_ASSERT(myConId != 0);
    if (pNet->myConId != 0)
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "Con Id changes from %lx to %lx", (unsigned long)pNet->myConId,
                  (unsigned long)myConId);
    __atomic_store_n(&pNet->myConId, myConId, __ATOMIC_RELEASE);
}

Mos_RC net_AddAddressToWhiteList(Net *pNet, const PackedNetAddress *pAddr)
{
    MosFastlockGuard guard(&pNet->netFastlock);
    if (mosHash_ContainsKey(&pNet->whitelistHash, netWhitelist_Key(pAddr)))
        return MOS_RC__ALREADY_EXISTS;
    NetWhitelistEntry *pEntry = new NetWhitelistEntry;
    memset(static_cast<void *>(pEntry), 0, sizeof(*pEntry));
    pEntry->addr = *pAddr;
    mosHash_Add(&pNet->whitelistHash, &pEntry->record, netWhitelist_Key(&pEntry->addr), (UINT64)(uintptr_t)pEntry);
    pNet->whitelistEnabled = TRUE;
    return MOS_RC__SUCCESS;
}

Mos_RC net_RmvAddressFromWhiteList(Net *pNet, const PackedNetAddress *pAddr)
{
    MosFastlockGuard guard(&pNet->netFastlock);
    UINT64 data = 0;
    if (mosHash_GetRecordByKey(&pNet->whitelistHash, netWhitelist_Key(pAddr), MOS_HASH_FLAGS__DELETE_RECORD, &data) ==
        nullptr)
        return MOS_RC__NOT_FOUND;
    delete reinterpret_cast<NetWhitelistEntry *>((uintptr_t)data);
    if (mosHash_GetRecNum(&pNet->whitelistHash) == 0)
        pNet->whitelistEnabled = FALSE;
    return MOS_RC__SUCCESS;
}

BOOL net_IsAddressInWhiteList(Net *pNet, const PackedNetAddress *pAddr)
{
    return mosHash_ContainsKey(&pNet->whitelistHash, netWhitelist_Key(pAddr));
}

BOOL net_IsPeerAllowed(Net *pNet, const NetAddress *pPeer)
{
    BOOL bEnabled;
    {
        MosFastlockGuard guard(&pNet->netFastlock);
        bEnabled = pNet->whitelistEnabled;
    }
    if (!bEnabled || netAddress_IsLocalHost(pPeer))
        return TRUE;
    PackedNetAddress packed;
    netAddress_GetPacked(pPeer, &packed);
    return net_IsAddressInWhiteList(pNet, &packed);
}

void net_AddRecvGroup(Net *pNet, UINT32 conGrpId, void *pGroup, const NetRecvGroupOps *pOps)
{
    netConManager_AddRecvGroup(&pNet->conManager, pGroup, pOps, conGrpId);
}

NetMsgRcv *net_AllocMsgForRecv(Net *pNet)
{
    PVOID p = nullptr;
    if (mosMemPool_AllocNoWait(&pNet->recvMsgPool, &p) != MOS_RC__SUCCESS) {
        MOS_DIAG_COUNT(FAILED_TO_ALLOC_RCV_MSG);
        return nullptr;
    }
    return static_cast<NetMsgRcv *>(p);
}

void net_FreeRecvMsg(Net *pNet, NetMsgRcv *pMsg)
{
    MOS_TRACE(MOS_COMP_NET, MOS_FREQ_HIGH, "Freeing message %p", (void *)pMsg);
    netMsgRcv_Destroy(pMsg);
    mosMemPool_Free(&pNet->recvMsgPool, pMsg);
}

namespace {
// Runs f on the connection of hCon with a reference held; orElse when there is none.
template <typename F, typename R> R net_WithCon(Net *pNet, HNetCon hCon, R orElse, F f)
{
    NetCon *pCon = netConManager_AcquireCon(&pNet->conManager, hCon);
    if (pCon == nullptr)
        return orElse;
    R r = f(pCon);
    netConManager_ReleaseCon(&pNet->conManager, pCon);
    return r;
}
} // namespace

HNetCon net_AllocClientConList(Net *pNet, ConId conId, NetOwnerType ownerType, const NetConCallback *pCB,
                               const NetCon_RemoteHosts *pHosts, const NetSecConParams *pSecParams)
{
    return netConManager_AllocClientCon(&pNet->conManager, conId, ownerType, pCB, pHosts, pSecParams);
}

HNetCon net_AllocClientConIntr(Net *pNet, ConId conId, UINT32 conIdType, NetOwnerType ownerType,
                               const NetConCallback *pCB, const CHAR_A *pHostName, Port port,
                               const NetSecConParams *pSecParams)
{
    MOS_UNUSED(conIdType);
    NetCon_RemoteHosts hosts;
    memset(&hosts, 0, sizeof(hosts));
    hosts.numOfSocketPerIp = 1;
    hosts.hostsCount = 1;
    hosts.port = port;
    hosts.maxNumHosts = NET_CON__MAX_NUM_OF_IP_PER_HOST;
    snprintf(hosts.hosts[0], sizeof(hosts.hosts[0]), "%s", pHostName);
    return net_AllocClientConList(pNet, conId, ownerType, pCB, &hosts, pSecParams);
}

HNetCon net_AssignPathWithServerCon(Net *pNet, ConId conId, NetOwnerType ownerType, NetPath *pPath)
{
    MOS_ASSERT(pNet->netCB.pNewConnectionFunc != nullptr);
    NetConCallback *pConCB = nullptr;
    BOOL bPrivileged = FALSE;
    pNet->netCB.pNewConnectionFunc(pNet->netCB.pObjNet, conId, ownerType, &pConCB, &bPrivileged);
    return netConManager_AssignPathWithServerCon(&pNet->conManager, conId, ownerType, pConCB, pPath, bPrivileged);
}

BOOL net_Connect(Net *pNet, HNetCon hCon, BOOL bSync)
{
    MOS_ASSERT(hCon != 0);
    return net_WithCon(pNet, hCon, (BOOL)FALSE, [bSync](NetCon *pCon) { return netCon_Connect(pCon, bSync); });
}

void net_Disconnect(Net *pNet, HNetCon hCon)
{
    NetCon *pCon = netConManager_AcquireCon(&pNet->conManager, hCon);
    if (pCon == nullptr) {
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "No connection hCon: %lx to disconnect", (unsigned long)hCon);
        return;
    }
    netCon_Disconnect(pCon); // releases the reference taken here
    // The caller's own reference, from the handle's allocation.
    mosPMem_Deref(&pNet->conManager.conPMem, hCon);
}

Mos_RC net_ClientConModRemoteAddr(Net *pNet, HNetCon hCon, const NetCon_RemoteHosts *pHosts)
{
    return net_WithCon(pNet, hCon, MOS_RC__ERROR, [pHosts](NetCon *pCon) {
        return netCon_ReconfigRemotes(pCon, pHosts) ? MOS_RC__SUCCESS : MOS_RC__ERROR;
    });
}

Mos_RC net_UpdateNumOfSocketsPerIp(Net *pNet, HNetCon hCon, UINT32 numOfSocketPerIp)
{
    MOS_ASSERT(numOfSocketPerIp <= NET_CON__MAX_NUM_OF_SOCKETS_PER_IP);
    return net_WithCon(pNet, hCon, MOS_RC__ERROR, [numOfSocketPerIp](NetCon *pCon) {
        netCon_UpdateAllPortalsNumOfSocketsPerIp(pCon, numOfSocketPerIp);
        return MOS_RC__SUCCESS;
    });
}

BOOL net_GetConInfo(Net *pNet, HNetCon hCon, NetCon_GetConState *pState)
{
    MOS_ASSERT(hCon != 0);
    return net_GetConState(pNet, hCon, pState);
}

BOOL net_GetConState(Net *pNet, HNetCon hCon, NetCon_GetConState *pState)
{
    return net_WithCon(pNet, hCon, (BOOL)FALSE, [pState](NetCon *pCon) {
        netCon_GetConState(pCon, pState);
        return (BOOL)TRUE;
    });
}

Mos_RC net_GetConBwc(Net *pNet, HNetCon hCon, NetConBwc *pOut)
{
    return net_WithCon(pNet, hCon, MOS_RC__ERROR, [pOut](NetCon *pCon) {
        netCon_GetBwc(pCon, pOut);
        return MOS_RC__SUCCESS;
    });
}

BOOL net_IsConnected(Net *pNet, HNetCon hCon)
{
    return net_WithCon(pNet, hCon, (BOOL)FALSE, [](NetCon *pCon) { return netCon_IsConnected(pCon); });
}

BOOL net_IsFullyConnected(Net *pNet, HNetCon hCon)
{
    return net_WithCon(pNet, hCon, (BOOL)FALSE, [](NetCon *pCon) { return netCon_IsFullyConnected(pCon); });
}

BOOL net_IsFullyValidated(Net *pNet, HNetCon hCon, BOOL bSync)
{
    return net_WithCon(pNet, hCon, (BOOL)FALSE, [bSync](NetCon *pCon) { return netCon_IsFullyValidated(pCon, bSync); });
}

BOOL net_GetPeerVersion(Net *pNet, HNetCon hCon, BOOL bBlock, UINT32 timeoutMillis, UINT32 *pVersion)
{
    return net_WithCon(pNet, hCon, (BOOL)FALSE, [&](NetCon *pCon) {
        return netCon_GetPeerVersion(pCon, bBlock, timeoutMillis, pVersion);
    });
}

HNetCon net_GetCon(Net *pNet, ConId conId)
{
    return netConManager_GetCon(&pNet->conManager, conId);
}

ConId net_GetConID(Net *pNet, HNetCon hCon)
{
    MOS_ASSERT(hCon != 0);
    return net_WithCon(pNet, hCon, (ConId)0, [](NetCon *pCon) { return pCon->conId; });
}

Mos_RC net_GetConOwnerType(Net *pNet, HNetCon hCon, NetOwnerType *pOwnerType)
{
    const Mos_RC rc = net_WithCon(pNet, hCon, MOS_RC__NOT_FOUND, [pOwnerType](NetCon *pCon) {
        *pOwnerType = pCon->ownerType;
        return MOS_RC__SUCCESS;
    });
    if (rc == MOS_RC__NOT_FOUND)
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "Requested owner type for an invalid hCon %lx with pNet %p",
                  (unsigned long)hCon, (void *)pNet);
    return rc;
}

void net_GetPeerAddr(Net *pNet, HNetCon hCon, NetAddress *pAddr)
{
    MOS_ASSERT(pAddr != nullptr);
    netAddress_Init(pAddr);
    net_WithCon(pNet, hCon, (BOOL)FALSE, [pAddr](NetCon *pCon) { return netCon_GetPeerAddr(pCon, pAddr); });
}

Mos_RC net_SetConPrivilegedSend(Net *pNet, HNetCon hCon, BOOL bValue)
{
    return net_WithCon(pNet, hCon, MOS_RC__INVALID, [bValue](NetCon *pCon) {
        netCon_ModifyPrivilegedSend(pCon, bValue);
        return MOS_RC__SUCCESS;
    });
}

Mos_RC net_GetConPrivilegedSend(Net *pNet, HNetCon hCon, BOOL *pbValue)
{
    return net_WithCon(pNet, hCon, MOS_RC__INVALID, [pbValue](NetCon *pCon) {
        *pbValue = pCon->bPrivilegedSend;
        return MOS_RC__SUCCESS;
    });
}

Mos_RC net_SetConIndependentId(Net *pNet, HNetCon hCon, UINT64 id)
{
    return net_WithCon(pNet, hCon, MOS_RC__INVALID, [id](NetCon *pCon) {
        netCon_SetIndependentId(pCon, id);
        return MOS_RC__SUCCESS;
    });
}

Port net_GetListenPort(Net *pNet)
{
    return netListen_GetPort(&pNet->listen);
}
