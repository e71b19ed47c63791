#include "tgt/cont/cont_net.h"

#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"
#include "net/net_common_umt_class.h"
#include "net/net_rpc.h"
#include "tgt/cont/cont_obj.h"
#include "tgt/cont/cont_root.h"
#include "tgt/ioh/ioh.h"
#include "tgt/phy/stmp.h"
#include "tgt/rcache/rcache.h"
#include "tgt/rcache/rcache_net_buf.h"
#include "tgt/tgt_conf.h"
#include "tgt/tgt_contention.h"
#include "tgt/tgt_umt_class.h"

namespace {
constexpr size_t kMaxHeapBuffer = 16u * 1024u * 1024u + 4096u;
// Offsets of the two write records' fields that size a write's buffers.
constexpr UINT32 kRecSizeInLbsOff = offsetof(TgtReq_IoWrite, sizeInLbs);
constexpr UINT32 kIoWriteFlagsOff = offsetof(TgtReq_IoWrite, flags);
constexpr UINT32 kIoWriteSecFlagsOff = offsetof(TgtReq_IoWriteSec, flags);
static_assert(offsetof(TgtReq_IoWriteSec, sizeInLbs) == kRecSizeInLbsOff);

struct GroupRow {
    UINT32 id;
    CommonUmtClassType classType;
    netRecvGroup_RecvRequestCB pRequest;
    netRecvGroup_RecvRequestIsReadCB pIsRead;
    netRecvGroup_RecvNotifCB pNotif;
};

Cont *contNet_Cont(void *pObj)
{
    return static_cast<Cont *>(pObj);
}

UINT32 contNet_Read32(const UINT8 *p, UINT32 off)
{
    UINT32 v;
    memcpy(&v, p + off, sizeof(v));
    return v;
}

void *contNet_HeapAlloc(UINT32 len)
{
    return mos_MemMalloc(len, kMaxHeapBuffer, "contNet_AllocBuffer", TRUE);
}

PellarIOCtx *contNet_GetIoCtx(NetSmallIov *pIov)
{
    NetIovUserContext *pUser = netIov_GetUserCtx(pIov);
    if (pUser == nullptr || pUser->pUserCtx == nullptr || pUser->userCtxSize != sizeof(PellarIOCtx))
        return nullptr;
    return static_cast<PellarIOCtx *>(pUser->pUserCtx);
}

void contNet_SetElement(IOBufferElement *pElem, void *pBuf, UINT32 size, ContNetBufType type)
{
    pElem->buffer = pBuf;
    pElem->sizeInBytes = size;
    pElem->bufferType = type;
}

// Frees what the list and a context's unappended local buffers hold, last to first, so that a
// pool's DIF block goes back together with the data block before it.
struct FreeEntry {
    void *pBuf;
    UINT32 len;
    UINT32 type;
};

void contNet_FreeOne(Cont *pCont, const FreeEntry &e, FreeEntry *pPendingDif)
{
    switch (e.type) {
    case CONT_NET_BUF_TYPE__NET_ALLOC:
        mos_MemFree(e.pBuf);
        break;
    case CONT_NET_BUF_TYPE__PRI_DIF:
    case CONT_NET_BUF_TYPE__SEC_DIF:
        if (pPendingDif->pBuf != nullptr) { // two DIF blocks in a row: give the first back alone
            rcacheNetBuf_FreeDIF(pPendingDif->type == CONT_NET_BUF_TYPE__PRI_DIF ? cont_GetCachePrimary(pCont) : cont_GetCacheSecondary(pCont),
                                 pPendingDif->pBuf, pPendingDif->len / CONT_NET__DIF_PER_LB);
        }
        *pPendingDif = e;
        break;
    case CONT_NET_BUF_TYPE__PRI:
    case CONT_NET_BUF_TYPE__SEC: {
        MOS_ASSERT(e.len % CONT_NET__LB == 0);
        RcacheNetBuf *pPool = e.type == CONT_NET_BUF_TYPE__PRI ? cont_GetCachePrimary(pCont) : cont_GetCacheSecondary(pCont);
        rcacheNetBuf_Free(pPool, e.pBuf, pPendingDif->pBuf, e.len / CONT_NET__LB);
        *pPendingDif = FreeEntry{};
        break;
    }
    case CONT_NET_BUF_TYPE__COPY_RCV_POOL: {
        BOOL bUnblock = FALSE;
        {
            MosFastlockGuard guard(cont_GetCopyRcvLock(pCont));
            (void)mosDynamicMemPool_ScanNFree(cont_GetCopyRcvPool(pCont), e.pBuf);
            if (*cont_GetCopyRcvAllocFailed(pCont)) {
                *cont_GetCopyRcvAllocFailed(pCont) = FALSE;
                bUnblock = TRUE;
            }
        }
        if (bUnblock)
            net_SetBlockState(cont_GetNetObj(pCont), FALSE);
        break;
    }
    case CONT_NET_BUF_TYPE_STMP:
        stmp_Free(&stmp_g, e.pBuf, (e.len + CONT_NET__LB - 1) / CONT_NET__LB, TRUE);
        break;
    case CONT_NET_BUF_TYPE__COPY_SND_POOL:
        (void)mosDynamicMemPool_ScanNFree(cont_GetCopySndPool(pCont), e.pBuf);
        break;
    case CONT_NET_BUF_TYPE__RCACHE:
        rcache_FreeBuffer(cont_GetCache(pCont), e.pBuf, e.len / CONT_NET__LB, TRUE);
        break;
    default: // STATIC, and the DIF parts freed with their data
        break;
    }
}

void contNet_FreeEntries(Cont *pCont, NetSmallIov *pIov, PellarIOCtx *pCtx)
{
    FreeEntry entries[NET_IOV__SIZE_OF_ARRAY + 3];
    UINT32 n = 0;
    for (UINT32 i = 0; i < pIov->numOfUsedBuffers && n < NET_IOV__SIZE_OF_ARRAY; i++) {
        UINT32 len = 0;
        void *p = NET_IOV__GET(pIov, i, &len);
        entries[n++] = FreeEntry{p, len, NET_IOV__GET_TYPE(pIov, i)};
    }
    if (pCtx != nullptr) {
        for (IOBufferElement *pElem : {&pCtx->localTestASetDifBuf, &pCtx->localDataBuf, &pCtx->localDifBuf}) {
            if (pElem->buffer != nullptr)
                entries[n++] = FreeEntry{pElem->buffer, pElem->sizeInBytes, pElem->bufferType};
            *pElem = IOBufferElement{};
        }
    }
    FreeEntry pendingDif{};
    while (n > 0)
        contNet_FreeOne(pCont, entries[--n], &pendingDif);
    if (pendingDif.pBuf != nullptr)
        rcacheNetBuf_FreeDIF(pendingDif.type == CONT_NET_BUF_TYPE__PRI_DIF ? cont_GetCachePrimary(pCont) : cont_GetCacheSecondary(pCont),
                             pendingDif.pBuf, pendingDif.len / CONT_NET__DIF_PER_LB);
}

void contNet_ReleaseIoCtx(Cont *pCont, NetSmallIov *pIov, PellarIOCtx *pCtx)
{
    memset(pCtx, 0, sizeof(*pCtx));
    mosMemPool_Free(cont_GetIoCtxPool(pCont), pCtx);
    netIov_ResetUserCtx(pIov);
}

// A write of a data group: the record, then the data and (with guards attached) the DIF block of
// one pool pair; what is not received is kept in the context. FALSE when the pool is dry (the
// pool paused reception) or the temporary budget has no room.
BOOL contNet_AllocWrite(Cont *pCont, NetSmallIov *pIov, PellarIOCtx *pCtx, UINT32 sizeInLbs, UINT32 flags,
                        BOOL bPri, BOOL bZero, BOOL bTestASet)
{
    const UINT32 dataLbs = bTestASet ? 2 * sizeInLbs : sizeInLbs;
    RcacheNetBuf *pPool = bPri ? cont_GetCachePrimary(pCont) : cont_GetCacheSecondary(pCont);
    const ContNetBufType dataType = bPri ? CONT_NET_BUF_TYPE__PRI : CONT_NET_BUF_TYPE__SEC;
    const ContNetBufType difType = bPri ? CONT_NET_BUF_TYPE__PRI_DIF : CONT_NET_BUF_TYPE__SEC_DIF;
    void *pRec = contNet_HeapAlloc(CONT_NET__IO_REQ_RECORD_SIZE);
    if (pRec == nullptr)
        return FALSE;
    void *pDif = nullptr;
    void *pData = rcacheNetBuf_Allocate(pPool, dataLbs, FALSE, &pDif);
    if (pData == nullptr) {
        mos_MemFree(pRec);
        return FALSE;
    }
    void *pScratch = nullptr, *pScratchDif = nullptr;
    const UINT32 scratchDifLbs = (sizeInLbs * CONT_NET__DIF_PER_LB + CONT_NET__LB - 1) / CONT_NET__LB;
    if (bTestASet) {
        pScratch = stmp_Allocate(&stmp_g, sizeInLbs, FALSE, TRUE);
        pScratchDif = pScratch != nullptr ? stmp_Allocate(&stmp_g, scratchDifLbs, FALSE, TRUE) : nullptr;
        if (pScratchDif == nullptr) {
            if (pScratch != nullptr)
                stmp_Free(&stmp_g, pScratch, sizeInLbs, TRUE);
            rcacheNetBuf_Free(pPool, pData, pDif, dataLbs);
            mos_MemFree(pRec);
            return FALSE;
        }
    }
    netIov_AddBuffer(pIov, pRec, CONT_NET__IO_REQ_RECORD_SIZE, CONT_NET_BUF_TYPE__NET_ALLOC);
    const UINT32 dataBytes = dataLbs * CONT_NET__LB, difBytes = dataLbs * CONT_NET__DIF_PER_LB;
    if (bZero) {
        memset(pData, 0, dataBytes);
        contNet_SetElement(&pCtx->localDataBuf, pData, dataBytes, dataType);
        contNet_SetElement(&pCtx->localDifBuf, pDif, difBytes, difType);
        return TRUE;
    }
    netIov_AddBuffer(pIov, pData, dataBytes, dataType);
    if ((flags & TGT_IO_WR__T10DIF_ATTACHED) != 0)
        netIov_AddBuffer(pIov, pDif, difBytes, difType);
    else
        contNet_SetElement(bTestASet ? &pCtx->localTestASetDifBuf : &pCtx->localDifBuf, pDif, difBytes, difType);
    if (bTestASet) {
        contNet_SetElement(&pCtx->localDataBuf, pScratch, sizeInLbs * CONT_NET__LB, CONT_NET_BUF_TYPE_STMP);
        contNet_SetElement(&pCtx->localDifBuf, pScratchDif, scratchDifLbs * CONT_NET__LB, CONT_NET_BUF_TYPE_STMP);
    }
    return TRUE;
}

// A copy: the record, then one unit of the copy receive pool (data, then its DIF part). FALSE
// when the pool is dry: reception is blocked until a copy buffer is freed.
BOOL contNet_AllocCopy(Cont *pCont, NetSmallIov *pIov, PellarIOCtx *pCtx, UINT32 sizeInLbs, UINT32 flags)
{
    MosDynamicMemPool_Buffer unit{};
    Mos_RC rc = mosDynamicMemPool_Alloc(cont_GetCopyRcvPool(pCont), &unit);
    if (rc == MOS_RC__NO_RESOURCES) {
        MosFastlockGuard guard(cont_GetCopyRcvLock(pCont));
        rc = mosDynamicMemPool_Alloc(cont_GetCopyRcvPool(pCont), &unit);
        if (rc != MOS_RC__SUCCESS) {
            if (!*cont_GetCopyRcvAllocFailed(pCont))
                MOS_TRACE(MOS_COMP_TGT_NET, MOS_FREQ_LOW, "Copy receive pool exhausted: receiving blocked");
            *cont_GetCopyRcvAllocFailed(pCont) = TRUE;
            net_SetBlockState(cont_GetNetObj(pCont), TRUE);
            return FALSE;
        }
    }
    if (rc != MOS_RC__SUCCESS)
        return FALSE;
    void *pRec = contNet_HeapAlloc(CONT_NET__IO_REQ_RECORD_SIZE);
    if (pRec == nullptr) {
        FreeEntry pending{};
        contNet_FreeOne(pCont, FreeEntry{unit.pBuffer, 0, CONT_NET_BUF_TYPE__COPY_RCV_POOL}, &pending);
        return FALSE;
    }
    UINT8 *pData = static_cast<UINT8 *>(unit.pBuffer);
    UINT8 *pDif = pData + CONT_NET__MAX_IO_LBS * CONT_NET__LB;
    netIov_AddBuffer(pIov, pRec, CONT_NET__IO_REQ_RECORD_SIZE, CONT_NET_BUF_TYPE__NET_ALLOC);
    netIov_AddBuffer(pIov, pData, sizeInLbs * CONT_NET__LB, CONT_NET_BUF_TYPE__COPY_RCV_POOL);
    if ((flags & TGT_IO_WR__T10DIF_ATTACHED) != 0)
        netIov_AddBuffer(pIov, pDif, sizeInLbs * CONT_NET__DIF_PER_LB, CONT_NET_BUF_TYPE__COPY_RCV_POOL_DIF);
    else
        contNet_SetElement(&pCtx->localDifBuf, pDif, sizeInLbs * CONT_NET__DIF_PER_LB,
                           CONT_NET_BUF_TYPE__COPY_RCV_POOL_DIF);
    return TRUE;
}

// The data-path groups' choice of buffers; the list stays empty when none can be given now.
void contNet_AllocIo(Cont *pCont, UINT32 conGrpId, NetSmallIov *pIov, PellarIOCtx *pCtx, UINT32 len, Context context,
                     SocketHeaderType type, const UINT8 *pExt)
{
    const BOOL bRequest = type == SOCKET_HEADER_TYPE__SND_RCV;
    BOOL bWrite = FALSE, bPri = TRUE, bCopy = FALSE;
    if (conGrpId == CONT_NET__RECV_GROUP__INI_IO)
        bWrite = context == TGT_MSG_TYPE__IO_WRITE_PRI || context == TGT_MSG_TYPE__IO_WRITE_PRI_ZERO ||
                 context == TGT_MSG_TYPE__IO_WRITE_TEST_A_SET;
    else if (conGrpId == CONT_NET__RECV_GROUP__TGT_IO_MAIN) {
        bWrite = bRequest && (context == TGT_MSG_TYPE__IO_WRITE_SEC || context == TGT_MSG_TYPE__IO_WRITE_SEC_ZERO);
        bPri = FALSE;
    } else {
        bCopy = bRequest && len > CONT_NET__IO_REQ_RECORD_SIZE;
        bPri = FALSE;
    }
    if (conGrpId != CONT_NET__RECV_GROUP__INI_IO && type != SOCKET_HEADER_TYPE__SND_RCV &&
        type != SOCKET_HEADER_TYPE__SND_RCV_CB) {
        MOS_TRACE(MOS_COMP_TGT_NET, MOS_FREQ_LOW, "Bad header type %u", (unsigned)type);
        return;
    }
    if (bWrite || bCopy) {
        const BOOL bZero = context == TGT_MSG_TYPE__IO_WRITE_PRI_ZERO || context == TGT_MSG_TYPE__IO_WRITE_SEC_ZERO;
        const BOOL bTestASet = context == TGT_MSG_TYPE__IO_WRITE_TEST_A_SET;
        const UINT32 flags = contNet_Read32(pExt, bPri ? kIoWriteFlagsOff : kIoWriteSecFlagsOff);
        const UINT32 sizeInLbs = contNet_GetWriteIoSizeInLbs(len, flags, contNet_Read32(pExt, kRecSizeInLbsOff), bZero,
                                                             bTestASet);
        if (sizeInLbs != 0 && (!bTestASet || 2 * sizeInLbs <= CONT_NET__MAX_IO_LBS)) {
            const BOOL bGiven = bCopy ? contNet_AllocCopy(pCont, pIov, pCtx, sizeInLbs, flags)
                                      : contNet_AllocWrite(pCont, pIov, pCtx, sizeInLbs, flags, bPri, bZero, bTestASet);
            if (!bGiven)
                return;
            if (NET_IOV__GET_SIZE(pIov) == len)
                return;
            contNet_FreeEntries(pCont, pIov, pCtx);
            NET_IOV__RESET(pIov);
        }
        MOS_TRACE(MOS_COMP_TGT_NET, MOS_FREQ_LOW, "Malformed write %u of %u bytes in group %u refused",
                  (unsigned)context, (unsigned)len, (unsigned)conGrpId);
        pCtx->bMalformed = TRUE;
    }
    void *p = contNet_HeapAlloc(len);
    if (p != nullptr)
        netIov_AddBuffer(pIov, p, len, CONT_NET_BUF_TYPE__NET_ALLOC);
}

void contNet_DefaultIoRequest(Cont *pCont, NetRpcData *pReq, HNetCon hCon)
{
    (void)hCon;
    contNet_SendIORc(pCont, pReq, pReq->context == TGT_MSG_TYPE__IO_WRITE_DUMMY ? MOS_RC__SUCCESS : MOS_RC__UNKNOWN_MSG);
}

BOOL contNet_DefaultIoRequestIsRead(Cont *pCont, NetRpcData *pReq)
{
    (void)pCont;
    (void)pReq;
    return FALSE;
}

// Finds a registered peer by its connection id, runs fn on it and releases it.
template <typename Fn>
void contNet_WithPeer(Cont *pCont, ConId conId, Fn fn)
{
    ContTgt *pTgt = static_cast<ContTgt *>(contObj_Acquire(cont_GetObjs(pCont), conId, CONT_OBJ_TYPE__TGT));
    if (pTgt == nullptr)
        return;
    fn(pTgt);
    contObj_Release(cont_GetObjs(pCont), conId, CONT_OBJ_TYPE__TGT);
}
} // namespace

UINT32 contNet_GetWriteIoSizeInLbs(UINT32 msgLen, UINT32 flags, UINT32 sizeInLbsFromCmd, BOOL bIsWriteZero,
                                   BOOL bIsTestASet)
{
    if (bIsWriteZero)
        return sizeInLbsFromCmd <= CONT_NET__MAX_IO_LBS ? sizeInLbsFromCmd : 0;
    if (msgLen <= CONT_NET__IO_REQ_RECORD_SIZE)
        return 0;
    const UINT32 payload = msgLen - CONT_NET__IO_REQ_RECORD_SIZE;
    const UINT32 perLb = (flags & TGT_IO_WR__T10DIF_ATTACHED) != 0 ? CONT_NET__LB + CONT_NET__DIF_PER_LB : CONT_NET__LB;
    if (payload % perLb != 0)
        return 0;
    const UINT32 size = payload / perLb;
    if (size == 0 || size > CONT_NET__MAX_IO_LBS || (UINT64)msgLen <= (UINT64)size * CONT_NET__LB)
        return 0;
    if (bIsTestASet)
        return size % 2 == 0 && size / 2 == sizeInLbsFromCmd ? size / 2 : 0;
    return size == sizeInLbsFromCmd ? size : 0;
}

UINT32 contNet_CopyFromIov(const NetSmallIov *pIov, void *pDst, UINT32 len)
{
    UINT32 done = 0;
    for (UINT32 i = 0; i < pIov->numOfUsedBuffers && done < len; i++) {
        UINT32 bufLen = 0;
        const void *p = NET_IOV__GET(pIov, i, &bufLen);
        const UINT32 n = MOS_MIN(bufLen, len - done);
        memcpy(static_cast<UINT8 *>(pDst) + done, p, n);
        done += n;
    }
    return done;
}

void contNet_Init(Cont *pCont, ContNet *pContNet, UINT64 myConId, BOOL bInitRecvGrps)
{
    memset(static_cast<void *>(pContNet), 0, sizeof(*pContNet));
    pContNet->netConCB = NetConCallback{contNet_ConnectedNotif, contNet_DisconnectedNotif, nullptr,
                                        contNet_VersionDiscoveryNotif, contNet_OscillationNotif, pCont};
    MOS_FASTLOCK_CREATE(&pContNet->fastLock, TGT_CONTENTION__CONT_NET);
    pContNet->pIoRequestCK = contNet_DefaultIoRequest;
    pContNet->pIoRequestIsReadCK = contNet_DefaultIoRequestIsRead;

    NetCallback cb;
    net_InitEmptyNetCallback(&cb);
    cb.pNewConnectionFunc = contNet_NewConArrived;
    cb.pObjNet = pCont;
    cb.pOnRcvBufferAllocFailureFunc = contNet_OnRcvBufferAllocFailure;
    cb.pOnRcvBufferAllocFailureArg = pCont;
    cb.pOnNetPausedToggleFunc = contNet_OnNetPausedToggle;
    cb.pOnNetPausedToggleArg = pCont;
    const NetOwnerType owner = myConId == CONT_NET__OSTREL_S_CON_ID ? NET_OWNER_TYPE__OSTREL_S : NET_OWNER_TYPE__TGT;
    net_Init(&pContNet->net, nullptr, &cb, CONT_NET__NUM_OF_RECV_GROUPS, myConId, owner, &tgtInitParam_G.netParam);
    if (bInitRecvGrps) {
        const TgtConfParam &c = tgtInitParam_G;
        const GroupRow rows[] = {
            {CONT_NET__RECV_GROUP__CONTROL, MOS_UMT_CLASS_TYPE__NET_RECV_GRP_COMMON_TGT_CTRL, contNet_RecvRequest,
             nullptr, contNet_RecvNotif},
            {CONT_NET__RECV_GROUP__CONTROL_SEC, MOS_UMT_CLASS_TYPE__NET_RECV_GRP_COMMON_TGT_CTRL_SEC,
             contNet_RecvRequest, nullptr, contNet_RecvNotif},
            {CONT_NET__RECV_GROUP__INI_IO, MOS_UMT_CLASS_TYPE__NET_RECV_GRP_COMMON_INI_IO, contNet_RecvIORequest,
             contNet_RecvIORequestIsRead, contNet_RecvNotif},
            {CONT_NET__RECV_GROUP__TGT_IO_MAIN, MOS_UMT_CLASS_TYPE__NET_RECV_GRP_COMMON_TGT_IO_MAIN,
             contNet_RecvIORequest, contNet_RecvIORequestIsRead, contNet_RecvNotif},
            {CONT_NET__RECV_GROUP__TGT_IO_COPY, MOS_UMT_CLASS_TYPE__NET_RECV_GRP_COMMON_TGT_IO_COPY,
             contNet_RecvIORequest, contNet_RecvIORequestIsRead, contNet_RecvNotif},
            {CONT_NET__RECV_GROUP__KEEPALIVE, MOS_UMT_CLASS_TYPE__NET_RECV_GRP_COMMON_TGT_KEEP_ALIVE,
             contNet_RecvIORequest, nullptr, contCmd_RecvKeepAliveNotif},
            {CONT_NET__RECV_GROUP__YARRIN, MOS_UMT_CLASS_TYPE__NET_RECV_GRP_COMMON_TGT_YARRIN, contNet_RecvRequest,
             nullptr, contCmd_RecvKeepAliveNotif},
            {CONT_NET__RECV_GROUP__SMS, MOS_UMT_CLASS_TYPE__NET_RECV_GRP_COMMON_TGT_SMS, contNet_RecvRequest, nullptr,
             contCmd_RecvKeepAliveNotif},
            {CONT_NET__RECV_GROUP__OSTREL_CONTROL, MOS_UMT_CLASS_TYPE__NET_RECV_GRP_COMMON_OSTREL_CONTROL,
             contNet_RecvRequest, nullptr, contNet_RecvNotif},
        };
        const UINT64 workers[] = {c.threadCont,
                                  c.threadContSecond,
                                  tgtPerfInitParam_G.threadIniIo,
                                  tgtPerfInitParam_G.threadTgtIoMain,
                                  tgtPerfInitParam_G.threadTgtIoCopy,
                                  c.threadKeepalive,
                                  c.threadYarrin,
                                  c.threadSms,
                                  0};
        for (UINT32 i = 0; i < sizeof(rows) / sizeof(rows[0]); i++) {
            const GroupRow &r = rows[i];
            NetRecvGrpCallback grpCB{contNet_AllocBuffer, contNet_FreeBuffer, r.pNotif, r.pRequest, r.pIsRead,
                                     contNet_RecvRpcResponse, contNet_SendAsyncDone, pCont};
            pContNet->recvGroupArr[r.id] =
                net_AllocRecvGroup(&pContNet->net, r.id, &grpCB, tgt_GetUmtClassId(r.classType));
            MOS_ASSERT_WITH_DESC(pContNet->recvGroupArr[r.id] != nullptr, "receive group not allocated");
            if (workers[i] != 0)
                netRecvGroup_SetNumOfWorkers(pContNet->recvGroupArr[r.id], (UINT32)workers[i]);
        }
    }
    net_SetPollTimerQs(&pContNet->net, MOS_TIMER_QUEUE_ID__100MILLI, MOS_TIMER_QUEUE_ID__5MIN);
}

void contNet_Start(ContNet *pContNet, Port port)
{
    net_Start(&pContNet->net, port);
}

void contNet_UpdateConId(ContNet *pContNet, ConId conId)
{
    net_UpdateConId(&pContNet->net, conId);
}

void contNet_SetIoHandler(ContNet *pContNet, ContNet_IoRequestCK pIoCK, ContNet_IoRequestIsReadCK pIsReadCK)
{
    pContNet->pIoRequestCK = pIoCK != nullptr ? pIoCK : contNet_DefaultIoRequest;
    pContNet->pIoRequestIsReadCK = pIsReadCK != nullptr ? pIsReadCK : contNet_DefaultIoRequestIsRead;
}

HNetCon contNet_AllocConEx(ContNet *pContNet, ConId conId, const NetCon_RemoteHosts *pHosts,
                           const NetSecConParams *pSecParams)
{
    return net_AllocClientConList(&pContNet->net, conId, NET_OWNER_TYPE__TGT, &pContNet->netConCB, pHosts, pSecParams);
}

HNetCon contNet_AllocCon(ContNet *pContNet, ConId conId, const NetCon_RemoteHosts *pHosts)
{
    return contNet_AllocConEx(pContNet, conId, pHosts, nullptr);
}

void contNet_DestroyMsg(Cont *pCont, NetRpcMsg *pMsg)
{
    contNet_FreeBufferIov(pCont, &pMsg->msgSnd.rpcRes.iov);
    contNet_FreeBufferIov(pCont, &pMsg->msgSnd.rpcReq.iov);
    netMsgSndAsync_DestroyValidate(pMsg);
}

void contNet_AddBuffToIov(NetRpcMsg *pMsg, void *buffer, UINT32 sizeInBytes, ContNetBufType bufferType, BOOL bIsReq)
{
    NetRpcData *pData = bIsReq ? &pMsg->msgSnd.rpcReq : &pMsg->msgSnd.rpcRes;
    netIov_AddBuffer(&pData->iov, buffer, sizeInBytes, bufferType);
}

void contNet_SetLocalDataBuf(PellarIOCtx *pIoCtx, void *pData, UINT32 sizeInLbs, ContNetBufType dataBufType)
{
    contNet_SetElement(&pIoCtx->localDataBuf, pData, sizeInLbs * CONT_NET__LB, dataBufType);
}

void contNet_AllocBuffer(void *pObj, UINT32 conGrpId, NetSmallIov *pIov, UINT32 len, Context context,
                         SocketHeaderType type, const UINT8 *pExtHeader)
{
    Cont *pCont = contNet_Cont(pObj);
    PellarIOCtx *pCtx = nullptr;
    Mos_RC rc = mosMemPool_AllocNoWait(cont_GetIoCtxPool(pCont), reinterpret_cast<PVOID *>(&pCtx));
    if (rc != MOS_RC__SUCCESS || pCtx == nullptr) {
        // The pool is as large as the messages the layer receives at once; the path waits.
        MOS_TRACE(MOS_COMP_TGT_NET, MOS_FREQ_LOW, "No I/O context for message %u", (unsigned)context);
        return;
    }
    memset(pCtx, 0, sizeof(*pCtx));
    pCtx->bRequest = TRUE;
    pCtx->msgCode = context;
    pCtx->rcvGrp = conGrpId;
    NetIovUserContext user{pCtx, sizeof(*pCtx), 0};
    netIov_AttachUserCtx(pIov, &user);
    MOS_TRACE(MOS_COMP_TGT_NET, MOS_FREQ_HIGH, "Alloc Msg Ctx: msgCode=%u, pMsgCtx=%p, freeSize=%u, pIov=%p",
              (unsigned)context, static_cast<void *>(pCtx), (unsigned)len, static_cast<void *>(pIov));
    if (conGrpId < CONT_NET__RECV_GROUP__CONTROL || conGrpId > CONT_NET__RECV_GROUP__SMS) {
        MOS_TRACE(MOS_COMP_TGT_NET, MOS_FREQ_LOW, "Bad group %u", (unsigned)conGrpId);
    } else if (conGrpId >= CONT_NET__RECV_GROUP__INI_IO && conGrpId <= CONT_NET__RECV_GROUP__TGT_IO_COPY) {
        contNet_AllocIo(pCont, conGrpId, pIov, pCtx, len, context, type, pExtHeader);
    } else {
        void *p = contNet_HeapAlloc(len);
        if (p != nullptr)
            netIov_AddBuffer(pIov, p, len, CONT_NET_BUF_TYPE__NET_ALLOC);
    }
    if (NET_IOV__IS_EMPTY(pIov)) {
        MOS_TRACE(MOS_COMP_TGT_NET, MOS_FREQ_HIGH, "Discard Msg Ctx: msgCode=%u, pMsgCtx=%p, freeSize=%u",
                  (unsigned)context, static_cast<void *>(pCtx), (unsigned)len);
        contNet_ReleaseIoCtx(pCont, pIov, pCtx);
    }
}

void contNet_FreeBuffer(void *pObj, UINT32 conGrpId, NetSmallIov *pIov)
{
    (void)conGrpId;
    contNet_FreeBufferIov(contNet_Cont(pObj), pIov);
}

void contNet_FreeBufferIov(Cont *pCont, NetSmallIov *pIov)
{
    PellarIOCtx *pCtx = contNet_GetIoCtx(pIov);
    contNet_FreeEntries(pCont, pIov, pCtx);
    NET_IOV__RESET(pIov);
    if (pCtx != nullptr && pCtx->bRequest)
        contNet_ReleaseIoCtx(pCont, pIov, pCtx);
}

Mos_RC contNet_RecvNotif(void *pObj, NetRpcData *pReq)
{
    Cont *pCont = contNet_Cont(pObj);
    NetRpcData res{};
    NET_IOV__INIT(&res.iov);
    res.grpId = pReq->grpId;
    contCmd_NewRequest(pCont, pReq, &res, NET_CON__INVALID_HCON);
    MOS_TRACE(MOS_COMP_TGT_NET, MOS_FREQ_HIGH, "Cmd processing completed:pReq={pMsgCtx=%p}, pResp={size=%u, result=%u}",
              static_cast<void *>(pReq), (unsigned)NET_IOV__GET_SIZE(&res.iov), (unsigned)res.context);
    contNet_FreeBufferIov(pCont, &res.iov);
    netIov_Destroy(&res.iov);
    contNet_FreeBufferIov(pCont, &pReq->iov);
    return MOS_RC__SUCCESS;
}

void contNet_RecvRequest(HNetCon hCon, void *pObj, NetRpcData *pReq)
{
    Cont *pCont = contNet_Cont(pObj);
    Net *pNet = cont_GetNetObj(pCont);
    NetRpcMsg resp;
    NetRpcData *pRes = netRecvGroup_InitResponse(pNet, &resp, pReq, TRUE);
    const Context type = pReq->context;
    contCmd_NewRequest(pCont, pReq, pRes, hCon);
    MOS_TRACE(MOS_COMP_TGT_NET, MOS_FREQ_HIGH, "Cmd processing completed:pReq={pMsgCtx=%p}, pResp={size=%u, result=%u}",
              static_cast<void *>(pReq), (unsigned)NET_IOV__GET_SIZE(&pRes->iov), (unsigned)pRes->context);
    const Mos_RC rc = netRecvGroup_SendResponse(pNet, &resp, pReq, TRUE);
    if (rc != MOS_RC__SUCCESS)
        MOS_TRACE(MOS_COMP_TGT_NET, MOS_FREQ_LOW, "WARNING: Failed to send response for %u, with RC: %s",
                  (unsigned)type, mosRc_GetStr(rc));
    contNet_DestroyMsg(pCont, &resp);
}

void contNet_RecvIORequest(HNetCon hCon, void *pObj, NetRpcData *pReq)
{
    Cont *pCont = contNet_Cont(pObj);
    if (tgtInitParam_G.bSdbgExtraInfo)
        __atomic_add_fetch(&cont_GetIoh(pCont)->query.ioFlow.startToRun, 1, __ATOMIC_RELAXED);
    PellarIOCtx *pCtx = contNet_GetIoCtx(&pReq->iov);
    BOOL bMalformed = FALSE;
    if (pCtx != nullptr) {
        for (IOBufferElement *pElem : {&pCtx->localTestASetDifBuf, &pCtx->localDataBuf, &pCtx->localDifBuf}) {
            if (pElem->buffer != nullptr)
                netIov_AddBuffer(&pReq->iov, pElem->buffer, pElem->sizeInBytes, pElem->bufferType);
            *pElem = IOBufferElement{};
        }
        bMalformed = pCtx->bMalformed;
    }
    if (bMalformed)
        contNet_SendIORc(pCont, pReq, MOS_RC__INVALID);
    else
        cont_GetContNet(pCont)->pIoRequestCK(pCont, pReq, hCon);
}

void contNet_SendIOResponse(Cont *pCont, const IohResp *pRes, NetRpcData *pReq)
{
    Net *pNet = cont_GetNetObj(pCont);
    NetRpcMsg resp;
    NetRpcData *pRsp = netRecvGroup_InitResponse(pNet, &resp, pReq, TRUE);
    pRsp->context = pRes->rc;
    pRsp->grpId = pReq->grpId;
    for (UINT32 i = 0; i < pRes->numOfRspBufs; i++)
        netIov_AddBuffer(&pRsp->iov, pRes->rspBufs[i].p, pRes->rspBufs[i].len, CONT_NET_BUF_TYPE__STATIC);
    const Context type = pReq->context;
    MOS_TRACE(MOS_COMP_TGT_NET, MOS_FREQ_HIGH, "Sending IO Response to client: pReq=%p, pRes=%p",
              static_cast<void *>(pReq), static_cast<const void *>(pRes));
    const Mos_RC rc = netRecvGroup_SendResponse(pNet, &resp, pReq, TRUE);
    if (rc != MOS_RC__SUCCESS)
        MOS_TRACE(MOS_COMP_TGT_NET, MOS_FREQ_LOW, "WARNING: Failed to send response for %u, with RC: %s",
                  (unsigned)type, mosRc_GetStr(rc));
    contNet_DestroyMsg(pCont, &resp);
}

void contNet_SendIORc(Cont *pCont, NetRpcData *pReq, Mos_RC rc)
{
    IohResp res{};
    res.rc = rc;
    contNet_SendIOResponse(pCont, &res, pReq);
}

BOOL contNet_RecvIORequestIsRead(void *pObj, NetRpcData *pReq)
{
    Cont *pCont = contNet_Cont(pObj);
    return cont_GetContNet(pCont)->pIoRequestIsReadCK(pCont, pReq);
}

void contNet_RecvRpcResponse(void *pObj, NetRpcMsg *pMsg)
{
    (void)pObj;
    (void)pMsg;
    MOS_UNREACHABLE("the server sends every message synchronously");
}

void contNet_SendAsyncDone(void *pObj, NetRpcMsg *pMsg)
{
    (void)pObj;
    (void)pMsg;
    MOS_UNREACHABLE("the server sends every message synchronously");
}

void contNet_NewConArrived(void *pObjNet, ConId conId, NetOwnerType ownerType, NetConCallback **ppConCB,
                           BOOL *pbPrivilegedSend)
{
    Cont *pCont = contNet_Cont(pObjNet);
    *ppConCB = nullptr;
    *pbPrivilegedSend = FALSE;
    switch (ownerType) {
    case NET_OWNER_TYPE__TGT:
        *pbPrivilegedSend = TRUE;
        *ppConCB = &cont_GetContNet(pCont)->netConCB;
        break;
    case NET_OWNER_TYPE__INI:
    case NET_OWNER_TYPE__OSTREL:
    case NET_OWNER_TYPE__OSTREL_S:
    case NET_OWNER_TYPE__SMS:
        *ppConCB = &cont_GetContNet(pCont)->netConCB;
        break;
    default:
        MOS_TRACE(MOS_COMP_TGT_NET, MOS_FREQ_LOW, "Connection %lx of owner type %#x not served", (unsigned long)conId,
                  (unsigned)ownerType);
        break;
    }
}

void contNet_ConnectedNotif(void *pObj, HNetCon hCon, ConId conId, NetOwnerType ownerType,
                            NetConChannelData *pChannelData)
{
    Cont *pCont = contNet_Cont(pObj);
    if (ownerType == NET_OWNER_TYPE__TGT)
        contNet_WithPeer(pCont, conId, [&](ContTgt *pTgt) { contTgt_ConnectedNotif(pTgt, hCon, pChannelData); });
    else if (ownerType == NET_OWNER_TYPE__OSTREL && hCon == NET_CON__INVALID_HCON)
        MOS_TRACE(MOS_COMP_TGT_NET, MOS_FREQ_LOW, "Ostrel connection %lx without a handle", (unsigned long)conId);
}

void contNet_DisconnectedNotif(void *pObj, HNetCon hCon, ConId conId, NetOwnerType ownerType,
                               NetConChannelData *pChannelData)
{
    Cont *pCont = contNet_Cont(pObj);
    if (ownerType != NET_OWNER_TYPE__TGT)
        return;
    MOS_TRACE(MOS_COMP_TGT_NET, MOS_FREQ_LOW, "Con %lx disconnected", (unsigned long)conId);
    contNet_WithPeer(pCont, conId, [&](ContTgt *pTgt) { contTgt_DisconnectedNotif(pTgt, hCon, pChannelData); });
}

void contNet_VersionDiscoveryNotif(void *pObj, HNetCon hCon, ConId conId, UINT32 version)
{
    (void)hCon;
    contNet_WithPeer(contNet_Cont(pObj), conId, [&](ContTgt *pTgt) { contTgt_SetPeerVersion(pTgt, version); });
}

void contNet_OscillationNotif(void *pObj, HNetCon hCon, ConId conId, NetOscType counterType, const NetAddress *pAddr)
{
    static const char *const kNames[] = {"NONE", "SOCKET_DOWN", "IO_ERROR", "RCV_KA_DISCONNECT", "SND_KA_DISCONNECT",
                                         "RPC_LINGERED_1SEC", "RPC_LINGERED_3SEC"};
    MOS_TRACE(MOS_COMP_TGT_NET, MOS_FREQ_LOW, "Con %lx - Oscillation of type %u (%s) reported", (unsigned long)conId,
              (unsigned)counterType, counterType <= NET_OSC_TYPE__RPC_LINGERED_3SEC ? kNames[counterType] : "UNKNOWN");
    contNet_WithPeer(contNet_Cont(pObj), conId,
                     [&](ContTgt *pTgt) { contTgt_OscillationNotif(pTgt, hCon, counterType, pAddr); });
}

void contNet_OnNetPausedToggle(void *pArg)
{
    (void)mosOscCnt_FailureOccurrence(cont_GetMosOscCntArr(contNet_Cont(pArg), MOS_OSC_CNT_TYPE__PELLAR_NET_PAUSE_TOGGLE), 1);
}

void contNet_OnRcvBufferAllocFailure(void *pArg)
{
    (void)mosOscCnt_FailureOccurrence(cont_GetMosOscCntArr(contNet_Cont(pArg), MOS_OSC_CNT_TYPE__PELLAR_RECEIVE_BUFFER_ALLOCATION_FAILURES), 1);
}
