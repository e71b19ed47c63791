#include "net/net_path_mgr.h"

#include <cstdlib>
#include <cstring>

#include "mos/mos_dbg.h"
#include "mos/mos_trace.h"
#include "mos/sdbg/sdbg_exports.h"
#include "mos/mos_diag_counters.h"
#include "mos/mos_timer.h"
#include "net/net_con.h"
#include "net/net_path_intrn.h"
#include "net/net_path_mgr_intrn.h"

namespace {
enum : MosContentionId {
    NET_PATH_MGR__LOCK_ID = 310,
};


// The timer queue that wakes a buffer wait at the latest: the closest below the time left.
MosTimerQ_ID netPathMgr_WaitQ(MosTicks_Cnt endTicks)
{
    const MosTicks_Cnt now = mosTicks_GetCurrentTick();
    const UINT64 leftMs = mosTicks_IsFirstBigger(endTicks, now) ? mosTicks_TicksToMillis(endTicks - now) : 0;
    const MosTimerQ_ID q = mosTimer_GetClosestQBelow((UINT32)MOS_MIN(leftMs, (UINT64)UINT32_MAX));
    return q < MOS_TIMER_QUEUE_ID__LAST ? q : MOS_TIMER_QUEUE_ID__100MILLI;
}

UINT32 netPathMgr_MilliOrDefault(UINT64 configured, UINT32 defaultMilli)
{
    return configured == 0 ? defaultMilli : (UINT32)MOS_MIN(configured, (UINT64)UINT32_MAX);
}
} // namespace


void netPathMgr_Init(NetPathMgr *pMgr, Net *pNet)
{
    memset(static_cast<void *>(pMgr), 0, sizeof(*pMgr));
    pMgr->pNet = pNet;
    MOS_FASTLOCK_CREATE(&pMgr->lock, NET_PATH_MGR__LOCK_ID);
    mosDList_InitAnchor(&pMgr->regPaths);
    mosMitCond_Init(&pMgr->waitForMem);
    mosMitCond_Init(&pMgr->unfreezeCond);
    MOS_ASSERT_SUCCESS(mosDynamicMemPool_Create(&pMgr->kaMitPool, "KA-pool", netPathMgr_KaUnitSize(),
                                                NET_PATH_MGR__KA_MITS_NUM_PER_BLOCK,
                                                NET_PATH_MGR__KA_MITS_NUM_BLOCKS, 1, 8));
    pMgr->pNullBuf = malloc(NET_PATH_MGR__NULL_BUF_SIZE);
    MOS_ASSERT(pMgr->pNullBuf != nullptr);
    MosObj_Type *pType = mosObjType_GetPtrByID(SDBG_EXPORTS_OBJ_TYPE__NET_PATH_MGR);
    if (pType != nullptr)
        mosObjType_RegObj(pType, &pMgr->sdbgObj, "net path manager");

    const NetConfParam *pConf = net_GetConf(pNet);
    const UINT32 sndIdle =
        netPathMgr_MilliOrDefault(pConf->kaSndQuiteSocketTimeoutMs, NET_PATH__DEFAULT_KA_SND_IDLE_THRESH_MILLI);
    const UINT32 rcvIdle =
        netPathMgr_MilliOrDefault(pConf->kaRcvcQuiteSocketTimeoutMs, NET_PATH__DEFAULT_KA_RCV_IDLE_THRESH_MIILI);
    const UINT32 freq = netPathMgr_MilliOrDefault(pConf->kaSndFrequency, NET_PATH__DEFAULT_KA_SND_FREQ);
    netPathMgr_SetKaSndIdleThreshInMIlli(pMgr, sndIdle);
    netPathMgr_SetKaRcvParams(pMgr, rcvIdle, freq);
    MOS_TRACE(MOS_COMP_NET_PATH_MNGR, MOS_FREQ_LOW,
              "Path MGR %p starting. KA-RCV-idle %d Ms. KA-SEND-idle %d Ms KA-SEND-freq %d Ms", (void *)pMgr,
              (int)NET_PATH_KA_IDLE_THRESH_TO_MILLI(pMgr->kaRcvIdleThresh),
              (int)NET_PATH_KA_IDLE_THRESH_TO_MILLI(pMgr->kaSndIdleThresh),
              (int)NET_PATH_KA_IDLE_THRESH_TO_MILLI(pMgr->kaSndFreq));
}

void netPathMgr_Destroy(NetPathMgr *pMgr)
{
    netPathMgr_StopKa(pMgr);
    MOS_ASSERT(pMgr->regPaths.counter == 0);
    if (mosObj_IsRegistered(&pMgr->sdbgObj))
        mosObjType_UnregObj(mosObjType_GetPtrByID(SDBG_EXPORTS_OBJ_TYPE__NET_PATH_MGR), &pMgr->sdbgObj);
    mosDynamicMemPool_Destroy(&pMgr->kaMitPool);
    free(pMgr->pNullBuf);
    pMgr->pNullBuf = nullptr;
    mosMitCond_Destroy(&pMgr->waitForMem);
    mosMitCond_Destroy(&pMgr->unfreezeCond);
    mosFastlockBase_Destroy(&pMgr->lock);
}

void netPathMgr_SetKaRcvParams(NetPathMgr *pMgr, UINT32 threashInMIlli, UINT32 sndFreq)
{
    if (threashInMIlli == 0) {
        MOS_TRACE(MOS_COMP_NET_PATH_MNGR, MOS_FREQ_LOW, "WARNING: KA Receive-idle and send mechanisms has been disabled");
        pMgr->kaRcvIdleThresh = 0;
        pMgr->kaSndFreq = 0;
        return;
    }
    pMgr->kaRcvIdleThresh = NET_PATH_KA_IDLE_THRESH_FROM_MILLI(threashInMIlli);
    if (sndFreq == 0) {
        MOS_TRACE(MOS_COMP_NET_PATH_MNGR, MOS_FREQ_LOW, "WARNING: KA send mechanisms has been disabled");
        pMgr->kaSndFreq = 0;
        return;
    }
    pMgr->kaSndFreq = (UINT16)MOS_MAX(pMgr->kaRcvIdleThresh / sndFreq, 1u);
    MOS_TRACE(MOS_COMP_NET_PATH_MNGR, MOS_FREQ_LOW, "Will send every %u Ms, idle after %u Ms",
              NET_PATH_KA_IDLE_THRESH_TO_MILLI(pMgr->kaSndFreq),
              NET_PATH_KA_IDLE_THRESH_TO_MILLI(pMgr->kaRcvIdleThresh));
}

void netPathMgr_SetKaSndIdleThreshInMIlli(NetPathMgr *pMgr, UINT32 threashInMIlli)
{
    if (threashInMIlli == 0) {
        pMgr->kaSndIdleThresh = 0;
        MOS_TRACE(MOS_COMP_NET_PATH_MNGR, MOS_FREQ_LOW, "KA Send-Idle mechanism has been disabled");
        return;
    }
    pMgr->kaSndIdleThresh = NET_PATH_KA_IDLE_THRESH_FROM_MILLI(threashInMIlli);
    MOS_TRACE(MOS_COMP_NET_PATH_MNGR, MOS_FREQ_LOW, "Updated to %u Ms",
              NET_PATH_KA_IDLE_THRESH_TO_MILLI(pMgr->kaSndIdleThresh));
}

void netPathMgr_SetKaSndFrequency(NetPathMgr *pMgr, UINT32 freq)
{
    netPathMgr_SetKaRcvParams(pMgr, NET_PATH__DEFAULT_KA_RCV_IDLE_THRESH_MIILI, freq);
}

void netPathMgr_SetKaRcvIdleThreshInMIlli(NetPathMgr *pMgr, UINT32 threashInMIlli)
{
    netPathMgr_SetKaRcvParams(pMgr, threashInMIlli, NET_PATH__DEFAULT_KA_SND_FREQ);
}

void netPathMgr_GetKaParams(NetPathMgr *pMgr, UINT16 *pRcvIdleThresh, UINT16 *pSndIdleThresh, UINT16 *pSndFreq)
{
    *pRcvIdleThresh = pMgr->kaRcvIdleThresh;
    *pSndIdleThresh = pMgr->kaSndIdleThresh;
    *pSndFreq = pMgr->kaSndFreq;
}

void netPathMgr_Freeze(NetPathMgr *pMgr, BOOL bShouldFreeze, BOOL bWithLocks)
{
    MOS_ASSERT_WITH_DESC(bShouldFreeze || bWithLocks, "unfreezing needs the lock");
    if (bWithLocks)
        mosFastlockBase_Acquire(&pMgr->lock);
    pMgr->bFreeze = bShouldFreeze;
    if (!bShouldFreeze)
        mosMitCond_Signal(&pMgr->unfreezeCond, MOS_RC__SUCCESS);
    if (bWithLocks)
        mosFastlockBase_Release(&pMgr->lock);
}

void netPathMgr_FreezeUnlock(NetPathMgr *pMgr)
{
    __atomic_store_n(&pMgr->bFreeze, TRUE, __ATOMIC_RELEASE);
}

BOOL netPathMgr_IsFrozen(NetPathMgr *pMgr)
{
    MosFastlockGuard guard(&pMgr->lock);
    return pMgr->bFreeze;
}

// The task's area names its path; the manager is the path's net's. A path that is dying does not
// wait: it will not reconnect, and it must be able to end while the layer is frozen.
Mos_RC netPathMgr_WaitIfFrozen_CK(MosMit *pMit, Mos_RC rc)
{
    NetPathMgr *pMgr = netPathMgr_OfMit(pMit);
    MOS_MIT_BEGIN(pMit);
    mosFastlockBase_Acquire(&pMgr->lock);
    while (netPathMgr_OfMit(pMit)->bFreeze && !__atomic_load_n(&netMit_GetArea(pMit)->pPath->bDie, __ATOMIC_ACQUIRE)) {
        MOS_MIT_COND_WAIT(pMit, rc, &netPathMgr_OfMit(pMit)->unfreezeCond, &netPathMgr_OfMit(pMit)->lock, 0);
        pMgr = netPathMgr_OfMit(pMit);
        // One waiter wakes per unfreeze; pass it on so that every frozen path goes on.
        if (!pMgr->bFreeze)
            mosMitCond_Signal(&pMgr->unfreezeCond, MOS_RC__SUCCESS);
    }
    mosFastlockBase_Release(&netPathMgr_OfMit(pMit)->lock);
    MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
    MOS_MIT_END(pMit);
}

void netPathMgr_WakeFrozen(NetPathMgr *pMgr)
{
    MosFastlockGuard guard(&pMgr->lock);
    mosMitCond_Broadcast(&pMgr->unfreezeCond, MOS_RC__SUCCESS);
}

void netPathMgr_Unblock(NetPathMgr *pMgr)
{
    MosFastlockGuard guard(&pMgr->lock);
    mosMitCond_Broadcast(&pMgr->waitForMem, MOS_RC__SUCCESS);
    __atomic_add_fetch(&pMgr->freeID, 1, __ATOMIC_SEQ_CST);
}

UINT32 netPathMgr_GetFreeId(NetPathMgr *pMgr)
{
    return __atomic_load_n(&pMgr->freeID, __ATOMIC_SEQ_CST);
}

UINT32 netPathMgr_NumMemWaiters(NetPathMgr *pMgr)
{
    MosFastlockGuard guard(&pMgr->lock);
    return pMgr->waitForMem.waiters.counter;
}

void *netPathMgr_GetNullBuf(NetPathMgr *pMgr, UINT32 *pBufSize)
{
    *pBufSize = NET_PATH_MGR__NULL_BUF_SIZE;
    return pMgr->pNullBuf;
}

void netPathMgr_Query(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    MOS_UNUSED(pName);
    NetPathMgr *pMgr = MOS_CONTAINER_OF(pObj, NetPathMgr, sdbgObj);
    NetPathMgr_Query *pQuery = static_cast<NetPathMgr_Query *>(pData);
    UINT32 usage = 0, maxBlocks = 0, minBlocks = 0;
    mosDynamicMemPool_GetStats(&pMgr->kaMitPool, &usage, &maxBlocks, &minBlocks);
    MosFastlockGuard guard(&pMgr->lock);
    pQuery->numRegPaths = pMgr->regPaths.counter;
    pQuery->kaSent = pMgr->kaSent;
    pQuery->kaAllocFailed = pMgr->kaAllocFailed;
    pQuery->memWaiters = pMgr->waitForMem.waiters.counter;
    pQuery->kaMaxThreads = maxBlocks * NET_PATH_MGR__KA_MITS_NUM_PER_BLOCK;
    pQuery->kaThreadsNum = usage;
}

void netPathMgr_RegPath(NetPathMgr *pMgr, NetPath *pPath, BOOL bSendKaInstantly)
{
    NetPathMgr_Reg *pReg = &pPath->regMgr;
    pReg->memPoolBuffer = nullptr;
    pReg->bWaitForMem = FALSE;
    pReg->bWantOut = FALSE;
    pReg->bSendingKA = FALSE;
    pReg->bBusy = FALSE;
    pReg->allocRcvBufferEndTicks = 0;
    memset(pPath->ka, 0, sizeof(pPath->ka));
    netPath_IncreaseRefCount(pPath);
    mosMitCond_Init(&pReg->cond);
    MosFastlockGuard guard(&pMgr->lock);
    mosDList_InsertTail(&pMgr->regPaths, &pReg->node);
    if (bSendKaInstantly)
        netPathMgr_PathNeedsKA(pMgr, pPath);
}

Mos_RC netPathMgr_UnRegPath_CK(MosMit *pMit, Mos_RC rc)
{
    NetPathMgr *pMgr = netPathMgr_OfMit(pMit);
    NetPath *pPath = netMit_GetArea(pMit)->pPath;
    MOS_MIT_BEGIN(pMit);
    mosFastlockBase_Acquire(&pMgr->lock);
    MOS_ASSERT(!pPath->regMgr.bWaitForMem);
    pPath->regMgr.bWantOut = TRUE;
    netPathMgr_AbortPathAllocUnlocked(pMgr, pPath);
    pPath->regMgr.bWantOut = TRUE;
    while (netMit_GetArea(pMit)->pPath->regMgr.bSendingKA || netMit_GetArea(pMit)->pPath->regMgr.bWaitForMem ||
           netMit_GetArea(pMit)->pPath->regMgr.bBusy) {
        MOS_MIT_AWAIT(pMit, rc, mosMitCond_WaitIntf(pMit, &netMit_GetArea(pMit)->pPath->regMgr.cond,
                                                     &netPathMgr_OfMit(pMit)->lock, 0));
    }
    pMgr = netPathMgr_OfMit(pMit);
    pPath = netMit_GetArea(pMit)->pPath;
    MOS_ASSERT(mosDList_IsLinked(&pPath->regMgr.node));
    mosDList_Remove(&pMgr->regPaths, &pPath->regMgr.node);
    mosDList_InitNode(&pPath->regMgr.node);
    mosFastlockBase_Release(&pMgr->lock);
    netPath_DecreaseRefCount(pPath);
    MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
    MOS_MIT_END(pMit);
}

void netPathMgr_AbortPathAllocUnlocked(NetPathMgr *pMgr, NetPath *pPath)
{
    pPath->regMgr.bWantOut = FALSE;
    if (pPath->regMgr.bWaitForMem)
        mosMitCond_SignalWaiter(&pMgr->waitForMem, netMit_GetMit(&pPath->rcvMit), MOS_RC__ABORTED);
}

void netPathMgr_ReleaseBufferForRecv(NetPath *pPath, UINT32 grpID, NetSmallIov *pIOV)
{
    NetCon *pCon = netPath_GetCon(pPath);
    if (pCon != nullptr)
        netCon_FreeBuffer(pCon, grpID, pIOV);
}

// Waits, bounded by allocRcvBufferWaitMillis, for the consumer's buffers of the frame in the
// task's head. MOS_RC__ABORTED when none came or the path is leaving.
Mos_RC netPathMgr_AllocBufferForRecv_CK(MosMit *pMit, Mos_RC rc)
{
    NetPath *pPath = netMit_GetArea(pMit)->pPath;
    NetPathMgr *pMgr = netPathMgr_OfMit(pMit);
    Socket_Header *pHead = &netMit_GetArea(pMit)->extHeader.header;
    MOS_MIT_BEGIN(pMit);
    MOS_ASSERT(!pPath->regMgr.bWaitForMem);
    NET_IOV__RESET(&pPath->rcvIov);
    if (pHead->dataLen == 0)
        MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
    {
        const UINT64 waitMs = net_GetConf(pPath->pNet)->allocRcvBufferWaitMillis;
        MOS_ASSERT(waitMs != 0);
        pPath->regMgr.allocRcvBufferEndTicks = mosTicks_GetCurrentTick() + mosTicks_MillisToTicks(waitMs);
    }
    for (;;) {
        pPath = netMit_GetArea(pMit)->pPath;
        pMgr = netPathMgr_OfMit(pMit);
        pHead = &netMit_GetArea(pMit)->extHeader.header;
        {
            const UINT32 freeId = netPathMgr_GetFreeId(pMgr);
            netConManager_AllocBufferForRecv(net_GetConManager(pPath->pNet), pHead->grpID, &pPath->rcvIov,
                                             pHead->dataLen, pHead->context,
                                             (SocketHeaderType)SOCKET_HEADER__GET_HEADER_TYPE(pHead->prop),
                                             netMit_GetArea(pMit)->extHeader.metaData);
            if (!NET_IOV__IS_EMPTY(&pPath->rcvIov)) {
                MOS_ASSERT(NET_IOV__GET_SIZE(&pPath->rcvIov) == pHead->dataLen);
                MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
            }
            netPath_CountDiag(pPath, MOS_DIAG_COUNTER__FAILED_TO_ALLOC_RCV_BUFFER);
            net_OnRcvBufferAllocFailure(pPath->pNet);
            const MosTicks_Cnt now = mosTicks_GetCurrentTick();
            if (!mosTicks_IsFirstBigger(pPath->regMgr.allocRcvBufferEndTicks, now))
                MOS_MIT_RETURN(pMit, MOS_RC__ABORTED);
            mosFastlockBase_Acquire(&pMgr->lock);
            if (netPathMgr_GetFreeId(pMgr) != freeId) {
                mosFastlockBase_Release(&pMgr->lock);
                continue;
            }
            if (pPath->regMgr.bWantOut) {
                mosFastlockBase_Release(&pMgr->lock);
                MOS_MIT_RETURN(pMit, MOS_RC__ABORTED);
            }
            pPath->regMgr.bWaitForMem = TRUE;
        }
        MOS_MIT_AWAIT(pMit, rc,
                      mosMitCond_WaitByQIntf(
                          pMit, &netPathMgr_OfMit(pMit)->waitForMem, &netPathMgr_OfMit(pMit)->lock,
                          netPathMgr_WaitQ(netMit_GetArea(pMit)->pPath->regMgr.allocRcvBufferEndTicks)));
        pPath = netMit_GetArea(pMit)->pPath;
        pMgr = netPathMgr_OfMit(pMit);
        pPath->regMgr.bWaitForMem = FALSE;
        if (pPath->regMgr.bWantOut || rc == MOS_RC__ABORTED) {
            mosMitCond_Signal(&pPath->regMgr.cond, MOS_RC__SUCCESS);
            mosFastlockBase_Release(&pMgr->lock);
            MOS_MIT_RETURN(pMit, MOS_RC__ABORTED);
        }
        mosFastlockBase_Release(&pMgr->lock);
    }
    MOS_MIT_END(pMit);
}
