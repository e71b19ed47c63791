#include "net/net_path_mgr.h"

#include <cstdlib>
#include <cstring>

#include "mos/mos_dbg.h"
#include "mos/mos_trace.h"
#include "mos/sdbg/sdbg_exports.h"
#include "net/net_path_mgr_intrn.h"

namespace {
enum : MosContentionId {
    NET_PATH_MGR__LOCK_ID = 310,
};

// A keep-alive unit: the task and its own (empty) payload list.
struct NetPathMgr_KaUnit {
    NetMit mit;
    NetSmallIov iov;
    MosDynamicMemPool_Buffer buf;
};

UINT32 netPathMgr_MilliOrDefault(UINT64 configured, UINT32 defaultMilli)
{
    return configured == 0 ? defaultMilli : (UINT32)MOS_MIN(configured, (UINT64)UINT32_MAX);
}
} // namespace

UINT32 netPathMgr_KaUnitSize(void)
{
    return sizeof(NetPathMgr_KaUnit);
}

void netPathMgr_Init(NetPathMgr *pMgr, Net *pNet)
{
    memset(static_cast<void *>(pMgr), 0, sizeof(*pMgr));
    pMgr->pNet = pNet;
    MOS_FASTLOCK_CREATE(&pMgr->lock, NET_PATH_MGR__LOCK_ID);
    mosDList_InitAnchor(&pMgr->regPaths);
    mosMitCond_Init(&pMgr->waitForMem);
    mosMitCond_Init(&pMgr->unfreezeCond);
    MOS_ASSERT_SUCCESS(mosDynamicMemPool_Create(&pMgr->kaMitPool, "KA-pool", sizeof(NetPathMgr_KaUnit),
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

// The task's area names its path; the manager is the path's net's.
Mos_RC netPathMgr_WaitIfFrozen_CK(MosMit *pMit, Mos_RC rc)
{
    NetPathMgr *pMgr = netPathMgr_OfMit(pMit);
    MOS_MIT_BEGIN(pMit);
    mosFastlockBase_Acquire(&pMgr->lock);
    while (pMgr->bFreeze) {
        MOS_MIT_COND_WAIT(pMit, rc, &pMgr->unfreezeCond, &pMgr->lock, 0);
        pMgr = netPathMgr_OfMit(pMit);
        // One waiter wakes per unfreeze; pass it on so that every frozen path goes on.
        if (!pMgr->bFreeze)
            mosMitCond_Signal(&pMgr->unfreezeCond, MOS_RC__SUCCESS);
    }
    mosFastlockBase_Release(&pMgr->lock);
    MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
    MOS_MIT_END(pMit);
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
