#include "tgt/cont/cont_yarrin.h"

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_timer.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"
#include "net/net_msg.h"
#include "net/net_root.h"
#include "net/net_rpc.h"
#include "tgt/cont/cont.h"
#include "tgt/cont/cont_cmd_intrn.h"
#include "tgt/cont/cont_dev.h"
#include "tgt/cont/cont_flcache_dev.h"
#include "tgt/cont/cont_net.h"
#include "tgt/tgt_conf.h"
#include "tgt/tgt_contention.h"
#include "tgt/tgt_umt_class.h"

namespace {

BOOL contRaidCtrl_HasSerial(const MosMedia_RaidController *pCtrl)
{
    return pCtrl->serialNumber[0] != '\0';
}

BOOL contRaidCtrl_SameSerial(const MosMedia_RaidController *a, const MosMedia_RaidController *b)
{
    return strncmp(a->serialNumber, b->serialNumber, sizeof(a->serialNumber)) == 0;
}

// One request to the agent on its group, waiting for the answer on the given timer queue. The
// answer's bytes (at most maxAnswer) go to pAnswer; *pAnswerLen gets their count.
Mos_RC contYarrin_Rpc(ContYarrin *pYarrin, UINT32 msgType, const void *pPayload, UINT32 len, MosTimerQ_ID q,
                      void *pAnswer, UINT32 maxAnswer, UINT32 *pAnswerLen)
{
    if (pYarrin->hCon == NET_CON__INVALID_HCON)
        return MOS_RC__NOT_CONN;
    Net *pNet = pYarrin->pNet;
    NetRpcMsg msg;
    NetRpcData *pReq = netMsgSndAsync_Init(&msg, pNet, NET_MSG_TYPE__SNDRCV, TRUE, nullptr);
    pReq->grpId = CONT_NET__RECV_GROUP__YARRIN;
    pReq->context = msgType;
    netIov_AddBuffer(&pReq->iov, const_cast<void *>(pPayload), len, CONT_NET_BUF_TYPE__STATIC);
    Mos_RC rc = netRpc_SendRequestWithTO(pNet, pYarrin->hCon, &msg, TRUE, q);
    if (rc == MOS_RC__SUCCESS)
        rc = (Mos_RC)msg.msgSnd.rpcRes.context;
    UINT32 got = 0;
    NetSmallIov *pRes = &msg.msgSnd.rpcRes.iov;
    for (UINT32 i = 0; i < pRes->numOfUsedBuffers; i++) {
        UINT32 n = 0;
        const UINT8 *p = static_cast<const UINT8 *>(NET_IOV__GET(pRes, i, &n));
        UINT32 take = std::min(n, maxAnswer - got);
        if (take > 0)
            memcpy(static_cast<UINT8 *>(pAnswer) + got, p, take);
        got += take;
    }
    if (pAnswerLen != nullptr)
        *pAnswerLen = got;
    if (!NET_IOV__IS_EMPTY(pRes))
        netConManager_FreeBuffer(net_GetConManager(pNet), CONT_NET__RECV_GROUP__YARRIN, pRes);
    NET_IOV__RESET(&pReq->iov); // the payload is the caller's
    netMsgSndAsync_DestroyValidate(&msg);
    return rc;
}

void contYarrin_NotifUp(void *pObj, HNetCon, ConId, NetOwnerType, NetConChannelData *)
{
    contYarrin_ConnectedNotif(static_cast<ContYarrin *>(pObj));
}

void contYarrin_NotifDown(void *pObj, HNetCon, ConId, NetOwnerType, NetConChannelData *)
{
    contYarrin_DisconnectedNotif(static_cast<ContYarrin *>(pObj));
}

NetConCallback contYarrin_ConCallback(ContYarrin *pYarrin)
{
    NetConCallback cb{};
    cb.pConFunc = contYarrin_NotifUp;
    cb.pDisconFunc = contYarrin_NotifDown;
    cb.pObjCon = pYarrin;
    return cb;
}

// One kind of device for a round: ids and paths for as many devices as there are now. A kind with
// no device asks nothing and leaves the failure count alone: a server without flash-cache devices
// would otherwise clear the count every round and never slow down for an agent that fails.
void contYarrin_CollectKind(ContYarrin *pYarrin, BOOL bFlcache)
{
    const ContYarrinHooks *h = pYarrin->pHooks;
    UINT32 n = std::min(h->getNumOfDevs(pYarrin->pCont, bFlcache), CONT_YARRIN__MAX_DEVS);
    if (n == 0)
        return;
    auto *pIds = static_cast<UINT64 *>(mos_MemMalloc(n * sizeof(UINT64), n * sizeof(UINT64), __func__, TRUE));
    auto *pPaths = static_cast<CHAR_A(*)[CONT_YARRIN__PATH_LEN]>(
        mos_MemMalloc((size_t)n * CONT_YARRIN__PATH_LEN, (size_t)n * CONT_YARRIN__PATH_LEN, __func__, TRUE));
    UINT32 got = 0;
    Mos_RC rc = MOS_RC__NO_RESOURCES;
    if (pIds == nullptr || pPaths == nullptr) {
        MOS_ERROR(MOS_COMP_TGT_CONT, "%p:%s:%05u: No resources for metadata poller\n", (void *)pYarrin, __func__,
                  (unsigned)__LINE__);
    } else {
        got = std::min(h->getDevPaths(pYarrin->pCont, bFlcache, pIds, pPaths, n), n);
        rc = contYarrin_CollectMetadata(pYarrin, bFlcache, pIds, pPaths, got);
    }
    mos_MemFree(pPaths);
    mos_MemFree(pIds);
    if (got != 0 || rc != MOS_RC__SUCCESS)
        contYarrin_UpdatePollerFailCount(pYarrin, rc);
}

} // namespace

// ---- RAID-controller list ----

void contRaidCtrl_Init(ContRaidCtrl *pRaidCtrl)
{
    memset(static_cast<void *>(pRaidCtrl), 0, sizeof(*pRaidCtrl));
    MOS_FASTLOCK_CREATE(&pRaidCtrl->fastlock, TGT_CONTENTION__RAID_CTRL);
}

void contRaidCtrl_Destroy(ContRaidCtrl *pRaidCtrl)
{
    mosFastlockBase_Destroy(&pRaidCtrl->fastlock);
}

void contRaidCtrl_Reset(ContRaidCtrl *pRaidCtrl)
{
    MosFastlockGuard guard(&pRaidCtrl->fastlock);
    memset(pRaidCtrl->raidCtrls, 0, sizeof(pRaidCtrl->raidCtrls));
    pRaidCtrl->raidCtrlNum = 0;
}

void contRaidCtrl_Add(ContRaidCtrl *pRaidCtrl, const MosMedia_RaidController *pCtrl)
{
    if (pCtrl == nullptr || !contRaidCtrl_HasSerial(pCtrl))
        return;
    MosFastlockGuard guard(&pRaidCtrl->fastlock);
    for (UINT32 i = 0; i < pRaidCtrl->raidCtrlNum; i++)
        if (contRaidCtrl_SameSerial(&pRaidCtrl->raidCtrls[i], pCtrl))
            return;
    if (pRaidCtrl->raidCtrlNum < CONT_RAID_CTRL__MAX_NUM)
        pRaidCtrl->raidCtrls[pRaidCtrl->raidCtrlNum++] = *pCtrl;
}

Mos_RC contRaidCtrl_GetMetadata(ContRaidCtrl *pRaidCtrl, UINT16 *pCount, MosMedia_RaidController **ppCtrls)
{
    MosFastlockGuard guard(&pRaidCtrl->fastlock);
    *pCount = pRaidCtrl->raidCtrlNum;
    *ppCtrls = nullptr;
    if (pRaidCtrl->raidCtrlNum == 0)
        return MOS_RC__SUCCESS;
    size_t bytes = (size_t)pRaidCtrl->raidCtrlNum * sizeof(MosMedia_RaidController);
    *ppCtrls = static_cast<MosMedia_RaidController *>(mos_MemMalloc(bytes, bytes, __func__, TRUE));
    if (*ppCtrls == nullptr)
        return MOS_RC__NO_RESOURCES;
    memcpy(*ppCtrls, pRaidCtrl->raidCtrls, bytes);
    return MOS_RC__SUCCESS;
}

// ---- the link ----

void contYarrin_Init(ContYarrin *pYarrin, Cont *pCont, Net *pNet, const ContYarrinHooks *pHooks,
                     ContRaidCtrl *pRaidCtrl, const CHAR_A *pHost, UINT32 port, MosUmt_Sched *pSched)
{
    memset(static_cast<void *>(pYarrin), 0, sizeof(*pYarrin));
    pYarrin->pCont = pCont;
    pYarrin->pNet = pNet;
    pYarrin->pHooks = pHooks;
    pYarrin->pRaidCtrl = pRaidCtrl;
    snprintf(pYarrin->host, sizeof(pYarrin->host), "%s", pHost != nullptr ? pHost : CONT_YARRIN__DEFAULT_HOST);
    pYarrin->port = port != 0 ? port : CONT_YARRIN__DEFAULT_PORT;
    pYarrin->sleepQ = (MosTimerQ_ID)tgtInitParam_G.devMetadataPollingFreq;
    MOS_FASTLOCK_CREATE(&pYarrin->fastLock, TGT_CONTENTION__YARRIN);
    mosUmtSem_Init(&pYarrin->abortSem);
    if (!tgtInitParam_G.bDevMetadataPolling) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "%p:%s:%05u: Metadata Poller is disabled\n", (void *)pYarrin,
                  __func__, (unsigned)__LINE__);
        return;
    }
    pYarrin->hPoller = mosUmt_CreateUThreadEx(contYarrin_CollectMetadataLoop, pYarrin,
                                              pSched, nullptr, TRUE,
                                              tgt_GetUmtClassId(MOS_UMT_CLASS_TYPE__TGT_METADATA_POLLER));
    pYarrin->bPollerStarted = pYarrin->hPoller != nullptr;
    if (pYarrin->bPollerStarted)
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "%p:%s:%05u: Metadata Poller started successfully\n",
                  (void *)pYarrin, __func__, (unsigned)__LINE__);
    else
        MOS_ERROR(MOS_COMP_TGT_CONT, "%p:%s:%05u: Metadata Poller could not be started\n", (void *)pYarrin, __func__,
                  (unsigned)__LINE__);
}

void contYarrin_Destroy(ContYarrin *pYarrin)
{
    {
        MosFastlockGuard guard(&pYarrin->fastLock);
        pYarrin->bAbort = TRUE;
    }
    if (pYarrin->bPollerStarted) {
        mosUmtSem_IncInter(&pYarrin->abortSem, 1, TRUE);
        mosUmt_JoinSync(pYarrin->hPoller);
        pYarrin->bPollerStarted = FALSE;
    }
    contYarrin_Disconnect(pYarrin);
    mosUmtSem_Destroy(&pYarrin->abortSem);
    mosFastlockBase_Destroy(&pYarrin->fastLock);
    memset(static_cast<void *>(pYarrin), 0, sizeof(*pYarrin));
}

BOOL contYarrin_ShouldAbort(ContYarrin *pYarrin)
{
    MosFastlockGuard guard(&pYarrin->fastLock);
    return pYarrin->bAbort;
}

void contYarrin_GetYarrinHost(ContYarrin *pYarrin, NetCon_RemoteHosts *pHosts)
{
    memset(pHosts, 0, sizeof(*pHosts));
    pHosts->numOfSocketPerIp = 1;
    pHosts->hostsCount = 1;
    pHosts->port = pYarrin->port;
    pHosts->maxNumHosts = CONT_YARRIN__MAX_HOSTS;
    snprintf(pHosts->hosts[0], sizeof(pHosts->hosts[0]), "%s", pYarrin->host);
}

Mos_RC contYarrin_Connect(ContYarrin *pYarrin)
{
    NetCon_RemoteHosts hosts;
    contYarrin_GetYarrinHost(pYarrin, &hosts);
    static_assert(NET_CON__MAX_NUM_OF_IP_PER_HOST >= 1);
    NetConCallback cb = contYarrin_ConCallback(pYarrin);
    HNetCon hCon = net_AllocClientConList(pYarrin->pNet, CONT_NET__YARRIN_CON_ID, NET_OWNER_TYPE__YARRIN, &cb, &hosts);
    if (hCon == NET_CON__INVALID_HCON) {
        MOS_ERROR(MOS_COMP_TGT_CONT, "%p:%s:%05u: Alloc client for Yarrin con failed\n", (void *)pYarrin, __func__,
                  (unsigned)__LINE__);
        return MOS_RC__ERROR;
    }
    (void)net_SetConIndependentId(pYarrin->pNet, hCon, (UINT64)getpid() + CONT_YARRIN__INDEPENDENT_ID_BASE);
    pYarrin->hCon = hCon;
    if (!net_Connect(pYarrin->pNet, hCon, FALSE)) {
        MOS_ERROR(MOS_COMP_TGT_CONT, "%p:%s:%05u: Connect to Yarrin failed\n", (void *)pYarrin, __func__,
                  (unsigned)__LINE__);
        contYarrin_Disconnect(pYarrin);
        return MOS_RC__ERROR;
    }
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "%p:%s:%05u: Connected to Yarrin\n", (void *)pYarrin, __func__,
              (unsigned)__LINE__);
    return MOS_RC__SUCCESS;
}

void contYarrin_Disconnect(ContYarrin *pYarrin)
{
    if (pYarrin->hCon != NET_CON__INVALID_HCON)
        net_Disconnect(pYarrin->pNet, pYarrin->hCon);
    pYarrin->hCon = NET_CON__INVALID_HCON;
}

Mos_RC contYarrin_GetMediaInfo(ContYarrin *pYarrin, const CHAR_A *pDevPath, MosMedia_Metadata *pMetadata,
                               MosMedia_RaidController *pRaidCtrl)
{
    CHAR_A path[CONT_YARRIN__PATH_LEN];
    snprintf(path, sizeof(path), "%s", pDevPath);
    UINT8 answer[CONT_YARRIN__MEDIA_ANSWER_SIZE];
    UINT32 got = 0;
    Mos_RC rc = contYarrin_Rpc(pYarrin, YARRIN_MSG_TYPE__GET_MEDIA_INFO, path, (UINT32)strlen(path) + 1,
                               MOS_TIMER_QUEUE_ID__10SEC, answer, sizeof(answer), &got);
    if (rc == MOS_RC__SUCCESS && got < sizeof(answer)) {
        MOS_ERROR(MOS_COMP_TGT_CONT, "Yarrin answered %u bytes of metadata for %s, not %u", got, path,
                  (unsigned)sizeof(answer));
        rc = MOS_RC__INVALID;
    }
    if (rc != MOS_RC__SUCCESS) {
        MOS_ERROR(MOS_COMP_TGT_CONT, "%p:%s:%05u: Get device metadata request failed: %s\n", (void *)pYarrin,
                  __func__, (unsigned)__LINE__, MOS_RC__GET_STR(rc));
        return rc;
    }
    memcpy(pMetadata, answer, sizeof(*pMetadata));
    memcpy(pRaidCtrl, answer + sizeof(*pMetadata), sizeof(*pRaidCtrl));
    // Texts from outside end within their fields.
    pMetadata->constMetadata.serialNumber[sizeof(pMetadata->constMetadata.serialNumber) - 1] = '\0';
    pRaidCtrl->serialNumber[sizeof(pRaidCtrl->serialNumber) - 1] = '\0';
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_MED, "%p:%s:%05u: Get device metadata succeeded for dev serial: %s\n",
              (void *)pYarrin, __func__, (unsigned)__LINE__, pMetadata->constMetadata.serialNumber);
    return MOS_RC__SUCCESS;
}

Mos_RC contYarrin_ChangeLedMode(ContYarrin *pYarrin, const MosMedia_LedCmdReq *pReq)
{
    Mos_RC rc = contYarrin_Rpc(pYarrin, YARRIN_MSG_TYPE__CHANGE_MEDIA_LED, pReq, sizeof(*pReq),
                               MOS_TIMER_QUEUE_ID__5SEC, nullptr, 0, nullptr);
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "%p:%s:%05u: Light Dev LED rc: %s\n", (void *)pYarrin, __func__,
              (unsigned)__LINE__, MOS_RC__GET_STR(rc));
    return rc;
}

void contYarrin_ConnectedNotif(ContYarrin *pYarrin)
{
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "%p:%s:%05u: Connected to Yarrin\n", (void *)pYarrin, __func__,
              (unsigned)__LINE__);
}

void contYarrin_DisconnectedNotif(ContYarrin *pYarrin)
{
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "%p:%s:%05u: Disonnected from Yarrin\n", (void *)pYarrin, __func__,
              (unsigned)__LINE__);
}

Mos_RC contYarrin_CollectMetadata(ContYarrin *pYarrin, BOOL bFlcache, const UINT64 *pIds,
                                  const CHAR_A (*pPaths)[CONT_YARRIN__PATH_LEN], UINT32 n)
{
    Mos_RC rc = MOS_RC__SUCCESS;
    for (UINT32 i = 0; i < n && !contYarrin_ShouldAbort(pYarrin); i++) {
        CHAR_A path[CONT_YARRIN__PATH_LEN];
        snprintf(path, sizeof(path), "%.*s", (int)CONT_YARRIN__PATH_LEN - 1, pPaths[i]);
        MosMedia_RaidController ctrl{};
        rc = contYarrin_GetMediaInfo(pYarrin, path, &pYarrin->metadata, &ctrl);
        if (rc == MOS_RC__SUCCESS) {
            (void)pYarrin->pHooks->storeMetadata(pYarrin->pCont, bFlcache, pIds[i], &pYarrin->metadata);
            contRaidCtrl_Add(pYarrin->pRaidCtrl, &ctrl);
        }
        mosUmt_Yield();
    }
    return rc;
}

void contYarrin_UpdatePollerFailCount(ContYarrin *pYarrin, Mos_RC rc)
{
    if (rc == MOS_RC__SUCCESS) {
        pYarrin->failCount = 0;
        return;
    }
    if (pYarrin->failCount >= CONT_YARRIN__MAX_FAIL_COUNT)
        return;
    if (++pYarrin->failCount == CONT_YARRIN__MAX_FAIL_COUNT)
        MOS_ERROR(MOS_COMP_TGT_CONT, "%p:%s:%05u: Too many metadata query failures. Querying with lower frequency\n",
                  (void *)pYarrin, __func__, (unsigned)__LINE__);
}

MosTimerQ_ID contYarrin_PollOnce(ContYarrin *pYarrin)
{
    // A connection that is down is brought back by the messaging layer's own retries of its path;
    // only a connection that could not be set up at all is asked for again.
    if (pYarrin->hCon == NET_CON__INVALID_HCON) {
        (void)contYarrin_Connect(pYarrin);
    } else if (net_IsConnected(pYarrin->pNet, pYarrin->hCon)) {
        contRaidCtrl_Reset(pYarrin->pRaidCtrl);
        contYarrin_CollectKind(pYarrin, FALSE);
        contYarrin_CollectKind(pYarrin, TRUE);
    }
    pYarrin->sleepQ = (MosTimerQ_ID)(pYarrin->failCount > CONT_YARRIN__FAILURES_BEFORE_BACKOFF
                                         ? tgtInitParam_G.devMetadataPollingFreqFailure
                                         : tgtInitParam_G.devMetadataPollingFreq);
    return pYarrin->sleepQ;
}

void contYarrin_CollectMetadataLoop(void *pArg)
{
    ContYarrin *pYarrin = static_cast<ContYarrin *>(pArg);
    while (!contYarrin_ShouldAbort(pYarrin)) {
        MosTimerQ_ID q = contYarrin_PollOnce(pYarrin);
        if (contYarrin_ShouldAbort(pYarrin))
            break;
        (void)mosUmtSem_DecTimed(&pYarrin->abortSem, 1, mosTimerQMillis_G[q]);
    }
    contYarrin_Disconnect(pYarrin);
}

Mos_RC contCmd_UpdateLedStatus(ContYarrin *pYarrin, const OstrelTgtReq_UpdateLedStatus *pReq)
{
    MosMedia_LedCmdReq led{};
    led.bLedOn = pReq->isLedOn != 0 ? TRUE : FALSE;
    led.subDevNum = 0;
    CHAR_A path[CONT_YARRIN__PATH_LEN] = {};
    if (pYarrin->pHooks == nullptr || !pYarrin->pHooks->getDevPath(pYarrin->pCont, pReq->devId, &path)) {
        MOS_ERROR(MOS_COMP_TGT_CONT, "LED of device %016lx: no such device", (unsigned long)pReq->devId);
        return MOS_RC__TGT_DEVICE_NOT_FOUND;
    }
    snprintf(led.path, sizeof(led.path), "%.*s", (int)sizeof(led.path) - 1, path);
    return contYarrin_ChangeLedMode(pYarrin, &led);
}

Mos_RC contCmd_UpdateLedStatusCmd(ContCmdCtx *pCtx)
{
    const auto rec = contCmd_RecAt<OstrelTgtReq_UpdateLedStatus>(pCtx, 0);
    return contCmd_UpdateLedStatus(&pCtx->pCont->yarrin, &rec);
}

// ---- the controller's side ----

namespace {

UINT32 contYarrin_ContNumOfDevs(Cont *pCont, BOOL bFlcache)
{
    if (!bFlcache)
        return contMngr_Count(&pCont->devMngr.devs);
    MosFastlockGuard guard(&pCont->flcacheDevMngr.fastlock);
    return pCont->flcacheDevMngr.numOfObjs;
}

UINT32 contYarrin_ContDevPaths(Cont *pCont, BOOL bFlcache, UINT64 *pIds, CHAR_A (*pPaths)[CONT_YARRIN__PATH_LEN],
                               UINT32 maxDevs)
{
    static_assert(FLCACHE__DEV_PATH_LEN == CONT_YARRIN__PATH_LEN && CONT_DEV__PATH_LEN == CONT_YARRIN__PATH_LEN);
    if (!bFlcache)
        return contDevMngr_GetPaths(&pCont->devMngr, pIds, pPaths, maxDevs);
    UINT64 ids[MAX_NUM_FLCACHE_DEV_PER_TGT];
    CHAR_A paths[MAX_NUM_FLCACHE_DEV_PER_TGT][FLCACHE__DEV_PATH_LEN];
    UINT32 n = std::min(contFlcacheDevMngr_GetPaths(&pCont->flcacheDevMngr, ids, paths), maxDevs);
    for (UINT32 i = 0; i < n; i++) {
        pIds[i] = ids[i];
        memcpy(pPaths[i], paths[i], CONT_YARRIN__PATH_LEN);
    }
    return n;
}

BOOL contYarrin_ContStoreMetadata(Cont *pCont, BOOL bFlcache, UINT64 id, const MosMedia_Metadata *pMetadata)
{
    const ContObjType type = bFlcache ? CONT_OBJ_TYPE__FLCACHE : CONT_OBJ_TYPE__DEV;
    void *pObj = contObj_AcquireWriteLock(&pCont->objs, id, type);
    if (pObj == nullptr)
        return FALSE;
    if (bFlcache) {
        ContFlcacheDev *pDev = static_cast<ContFlcacheDev *>(pObj);
        MosFastlockGuard guard(&pDev->fastLock); // its manager's query reads under it
        pDev->cacheDevMetadata = *pMetadata;
    } else {
        static_cast<ContDev *>(pObj)->devMetadata = *pMetadata;
    }
    contObj_ReleaseWriteLock(&pCont->objs, id, type);
    return TRUE;
}

BOOL contYarrin_ContDevPath(Cont *pCont, UINT64 devId, CHAR_A (*pPath)[CONT_YARRIN__PATH_LEN])
{
    if (ContDev *pDev = static_cast<ContDev *>(contObj_AcquireReadLock(&pCont->objs, devId, CONT_OBJ_TYPE__DEV))) {
        contDev_CopyDevPath(pDev, *pPath);
        contObj_ReleaseReadLock(&pCont->objs, devId, CONT_OBJ_TYPE__DEV);
        return TRUE;
    }
    static_assert(PHY_DEV_MAP__PATH_LEN == CONT_YARRIN__PATH_LEN);
    UINT32 count = 0;
    return phy_GetDevPath(&pCont->phy, devId, *pPath, &count);
}

const ContYarrinHooks kContHooks = {contYarrin_ContNumOfDevs, contYarrin_ContDevPaths, contYarrin_ContStoreMetadata,
                                    contYarrin_ContDevPath};

} // namespace

const ContYarrinHooks *contYarrin_GetContHooks(void)
{
    return &kContHooks;
}
