// The path manager's keep-alive task: every 100 ms it walks the registered paths, marks a silent
// or stuck one in error and starts a keep-alive frame where one is due.
#include <unistd.h>

#include "linux/net/net_poll.h"
#include "mos/mit/mos_mit_timer.h"
#include "mos/mos_dbg.h"
#include "mos/mos_trace.h"
#include "mos/mos_diag_counters.h"
#include "mos/usr/mos_net.h"
#include "net/net_con.h"
#include "net/net_path_intrn.h"
#include "net/net_path_mgr_intrn.h"

namespace {
// The socket's receive wait status once a read event woke a waiting task that has not run yet.
constexpr UINT32 kRcvWokenNotScheduled = 2;

struct NetPathMgr_KaUnit {
    NetMit mit;
    NetSmallIov iov;
    MosDynamicMemPool_Buffer buf;
};

// Takes the path back from the unlocked stretch of the walk (lock held again).
void netPathMgr_TakeBack(NetPath *pPath)
{
    MOS_ASSERT(pPath->regMgr.bBusy);
    pPath->regMgr.bBusy = FALSE;
    if (pPath->regMgr.bWantOut)
        mosMitCond_Signal(&pPath->regMgr.cond, MOS_RC__SUCCESS);
}

void netPathMgr_KaMitDtor(MosMit *pMit)
{
    Net_MitArea *pArea = netMit_GetArea(pMit);
    NetPath *pPath = pArea->pPath;
    MOS_ASSERT(pPath != nullptr);
    NetPathMgr *pMgr = net_GetPathMgr(pPath->pNet);
    NetPathMgr_KaUnit *pUnit = MOS_CONTAINER_OF(pArea, NetPathMgr_KaUnit, mit.area);
    pArea->pPath = nullptr;
    netIov_Destroy(&pUnit->iov);
    MosDynamicMemPool_Buffer buf = pUnit->buf;
    mosDynamicMemPool_Free(&pMgr->kaMitPool, &buf);
    {
        MosFastlockGuard guard(&pMgr->lock);
        MOS_ASSERT(pPath->regMgr.bSendingKA);
        pPath->regMgr.bSendingKA = FALSE;
        pPath->regMgr.memPoolBuffer = nullptr;
        if (pPath->regMgr.bWantOut)
            mosMitCond_Signal(&pPath->regMgr.cond, MOS_RC__SUCCESS);
    }
    netPath_DecreaseRefCount(pPath);
}

Mos_RC netPathMgr_Reschedule(MosMit *pMit)
{
    mosMit_Resume(pMit, MOS_RC__SUCCESS);
    return MOS_RC__PENDING;
}

NetPathMgr *netPathMgr_OfKaMit(MosMit *pMit)
{
    return MOS_CONTAINER_OF(netMit_GetArea(pMit), NetPathMgr, kaMit.area);
}

void netPathMgr_KaTaskDtor(MosMit *pMit)
{
    __atomic_store_n(&netPathMgr_OfKaMit(pMit)->bKaRunning, FALSE, __ATOMIC_RELEASE);
}

Mos_RC netPathMgr_KA_CK(MosMit *pMit, Mos_RC rc)
{
    MOS_MIT_BEGIN(pMit);
    for (;;) {
        mosTimerReq_Init(&pMit->scratch.timer.timerReq, mosMitTimer_CK);
        MOS_MIT_WAIT(pMit, rc, TRUE, mosTimerReq_Add(&pMit->scratch.timer.timerReq, NET_PATH_KA_TICK_MILLI));
        if (__atomic_load_n(&netPathMgr_OfKaMit(pMit)->bKaStop, __ATOMIC_ACQUIRE))
            break;
        MOS_MIT_CALL(pMit, rc, netPathMgr_KaWalk_CK);
    }
    MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
    MOS_MIT_END(pMit);
}
} // namespace

UINT32 netPathMgr_KaUnitSize(void)
{
    return sizeof(NetPathMgr_KaUnit);
}

void netPathMgr_Start(NetPathMgr *pMgr)
{
    MosMit_Scheduler *pPollSched = &net_GetPoll(pMgr->pNet)->sched;
    netMit_InitEx(&pMgr->kaMit, pPollSched, pMgr->pNet, netPathMgr_KaTaskDtor, FALSE, FALSE);
    pMgr->bKaStop = FALSE;
    pMgr->bKaRunning = TRUE;
    mosMit_Start(netMit_GetMit(&pMgr->kaMit), netPathMgr_KA_CK);
}

void netPathMgr_StopKa(NetPathMgr *pMgr)
{
    __atomic_store_n(&pMgr->bKaStop, TRUE, __ATOMIC_RELEASE);
    while (__atomic_load_n(&pMgr->bKaRunning, __ATOMIC_ACQUIRE))
        usleep(1000);
}

// KEEPALIVE check of a path, once per tick: whether a keep-alive is due, and the oscillation
// event to report (NET_OSC_TYPE__NONE for none).
static BOOL netPath_IsKaNeeded(NetPath *pPath, NetOscType *pOscEventType)
{
    NetPathMgr *pMgr = net_GetPathMgr(pPath->pNet);
    *pOscEventType = NET_OSC_TYPE__NONE;
    const UINT64 totals[2] = {__atomic_load_n(&pPath->sock.dirStat[NET_SOCKET_DIRECTION_VAL__SEND].totalBytes.total, __ATOMIC_RELAXED),
                              __atomic_load_n(&pPath->sock.dirStat[NET_SOCKET_DIRECTION_VAL__RCV].totalBytes.total, __ATOMIC_RELAXED)};
    for (UINT32 dir = 0; dir < 2; dir++) {
        if (totals[dir] == pPath->ka[dir].sockTotalBytes) {
            pPath->ka[dir].idleItr++;
        } else {
            pPath->ka[dir].idleItr = 0;
            pPath->ka[dir].sockTotalBytes = totals[dir];
        }
    }
    const UINT32 sndItr = pPath->ka[NET_PATH_KA__SEND].idleItr;
    const UINT32 rcvItr = pPath->ka[NET_PATH_KA__RCV].idleItr;
    NetCon *pCon = netPath_GetCon(pPath);
    UINT32 rcvThresh = pMgr->kaRcvIdleThresh;
    const UINT32 sndThresh = pMgr->kaSndIdleThresh;
    const UINT32 freq = pMgr->kaSndFreq;
    if (pCon != nullptr && pCon->ownerType == NET_OWNER_TYPE__CLI)
        rcvThresh = 20;
    NET_PATH_TRACE(pPath, MOS_FREQ_HIGH, "KA check Receive ITR %d. Send ITR %d", (int)rcvItr, (int)sndItr);
    if ((sndThresh != 0 && sndItr == NET_PATH_KA_ASSERT_FACTOR * sndThresh) ||
        (rcvThresh != 0 && rcvItr == NET_PATH_KA_ASSERT_FACTOR * rcvThresh))
        NET_PATH_TRACE(pPath, MOS_FREQ_LOW, "DEBUG ASSERT, Reason:%s", "Socket deadlocked. Crashing.");

    if (rcvThresh != 0 && rcvItr >= rcvThresh) {
        const BOOL bGrace =
            pPath->regMgr.bWaitForMem ||
            pPath->sock.dirStat[NET_SOCKET_DIRECTION_VAL__RCV].condWaitStatus == kRcvWokenNotScheduled ||
            (pCon != nullptr && pCon->ownerType == NET_OWNER_TYPE__CLS &&
             pPath->peerVersion < net_GetMyNumericVersion());
        if (bGrace && rcvItr < NET_PATH_KA_GRACE_FACTOR * rcvThresh) {
            if (rcvItr == rcvThresh) {
                NET_PATH_TRACE(pPath, MOS_FREQ_LOW, "Grace time for receiving a KA");
                netPath_CountDiag(pPath, MOS_DIAG_COUNTER__NET_KA_GRACE_TIME);
            }
        } else {
            if (rcvItr == rcvThresh || rcvItr == NET_PATH_KA_GRACE_FACTOR * rcvThresh) {
                NET_PATH_TRACE(pPath, MOS_FREQ_LOW, "didn't receive message for %d iterations from %s:%d. Marking as down",
                               (int)rcvItr, netAddress_ToStr(netPath_GetPeerAddr(pPath)),
                               (int)netAddress_GetPort(netPath_GetPeerAddr(pPath)));
                netSocket_MarkAsError(&pPath->sock);
                netPath_CountDiag(pPath, MOS_DIAG_COUNTER__KA_CAUSED_DISCONNECT);
                *pOscEventType = NET_OSC_TYPE__RCV_KA_DISCONNECT;
            }
            return FALSE;
        }
    }
    if (sndThresh != 0 && sndItr == sndThresh) {
        NET_PATH_TRACE(pPath, MOS_FREQ_LOW, "didn't manage to send message for %d iteration. Marking as down",
                       (int)sndThresh);
        netSocket_MarkAsError(&pPath->sock);
        netPath_CountDiag(pPath, MOS_DIAG_COUNTER__WRITE_KA_CAUSED_DISCONNECT);
        *pOscEventType = NET_OSC_TYPE__SND_KA_DISCONNECT;
        return FALSE;
    }
    // A tick right after bytes went out (count 0) asks for nothing: the peer needs only one frame
    // per receive-idle period, and an idle path still gets one every interval.
    if (freq != 0 && sndItr != 0 && sndItr % freq == 0 && __atomic_load_n(&pPath->inflightSends, __ATOMIC_ACQUIRE) == 0) {
        NET_PATH_TRACE(pPath, MOS_FREQ_HIGH, "need to send KA. KA iteration %d", (int)sndItr);
        return TRUE;
    }
    return FALSE;
}

void netPathMgr_PathNeedsKA(NetPathMgr *pMgr, NetPath *pPath)
{
    MOS_ASSERT(!pPath->regMgr.bSendingKA);
    MosDynamicMemPool_Buffer buf = {};
    if (mosDynamicMemPool_Alloc(&pMgr->kaMitPool, &buf) != MOS_RC__SUCCESS) {
        UINT32 usage = 0, maxBlocks = 0, minBlocks = 0;
        mosDynamicMemPool_GetStats(&pMgr->kaMitPool, &usage, &maxBlocks, &minBlocks);
        const UINT32 limit = NET_PATH_MGR__KA_MITS_NUM_BLOCKS * NET_PATH_MGR__KA_MITS_MAX_EXTEND_FACTOR;
        BOOL bGot = FALSE;
        if (maxBlocks < limit) {
            mosDynamicMemPool_UpdateMaxNumBlocks(&pMgr->kaMitPool,
                                                 MOS_MIN(maxBlocks + NET_PATH_MGR__KA_MITS_EXTEND_NUM_BLOCKS, limit));
            MOS_DIAG_COUNT(NET_KA_POOL_EXTENDED);
            bGot = mosDynamicMemPool_Alloc(&pMgr->kaMitPool, &buf) == MOS_RC__SUCCESS;
        }
        if (!bGot) {
            pMgr->kaAllocFailed++;
            netPath_CountDiag(pPath, MOS_DIAG_COUNTER__FAILED_TO_ALLOC_KA);
            return;
        }
    }
    pMgr->kaSent++;
    NetPathMgr_KaUnit *pUnit = static_cast<NetPathMgr_KaUnit *>(buf.pBuffer);
    pUnit->buf = buf;
    netMit_InitEx(&pUnit->mit, net_GetWorkerMitSched(pMgr->pNet), pMgr->pNet, netPathMgr_KaMitDtor, TRUE, FALSE);
    pPath->regMgr.bSendingKA = TRUE;
    pPath->regMgr.memPoolBuffer = pUnit;
    pUnit->mit.area.pPath = pPath;
    pUnit->mit.area.sockArea.pSock = &pPath->sock;
    {
        // The path's reference, under the manager's lock: the path is registered, so it lives.
        MosFastlockGuard guard(&pPath->lock);
        MOS_ASSERT(pPath->refCount != 0);
        pPath->refCount++;
    }
    NET_IOV__INIT(&pUnit->iov);
    pUnit->mit.area.pIov = &pUnit->iov;
    mosMit_Start(netMit_GetMit(&pUnit->mit), netPath_SendKA_CK);
}

Mos_RC netPath_SendKA_CK(MosMit *pMit, Mos_RC rc)
{
    NetPath *pPath = netMit_GetArea(pMit)->pPath;
    MOS_MIT_BEGIN(pMit);
    NET_PATH_TRACE(pPath, MOS_FREQ_HIGH, "sending KA. KA iteration %d", (int)pPath->ka[NET_PATH_KA__SEND].idleItr);
    socketHeader_FillKeepAlive(&netMit_GetArea(pMit)->extHeader, net_GetMyNumericVersion(),
                               net_GetNetIdentifier(pPath->pNet));
    MOS_MIT_CALL(pMit, rc, netPath_SendMsg_CK);
    MOS_MIT_RETURN(pMit, rc);
    MOS_MIT_END(pMit);
}

// One walk of the registry, oldest registration first. The lock is let go only with the current
// path marked busy, so that it stays registered (its unregistration waits) until it is taken back.
Mos_RC netPathMgr_KaWalk_CK(MosMit *pMit, Mos_RC rc)
{
    NetPathMgr *pMgr = netPathMgr_OfKaMit(pMit);
    MOS_MIT_BEGIN(pMit);
    mosFastlockBase_Acquire(&pMgr->lock);
    pMgr->pCurKaPath = pMgr->regPaths.counter != 0 ? netPath_GetByRegMgr(MOS_CONTAINER_OF(
                                                         mosDList_First(&pMgr->regPaths), NetPathMgr_Reg, node))
                                                   : nullptr;
    pMgr->kaWalkCount = 0;
    while (pMgr->pCurKaPath != nullptr) {
        {
            NetPath *pPath = pMgr->pCurKaPath;
            if (!pPath->regMgr.bWantOut) {
                if (pMgr->bFreeze) {
                    netSocket_MarkAsError(&pPath->sock);
                } else {
                    NetOscType osc = NET_OSC_TYPE__NONE;
                    const BOOL bNeedKa = netPath_IsKaNeeded(pPath, &osc);
                    if (osc != NET_OSC_TYPE__NONE && netPath_GetCon(pPath) != nullptr) {
                        pPath->regMgr.bBusy = TRUE;
                        mosFastlockBase_Release(&pMgr->lock);
                        netCon_ReportOscEvent(osc, netPath_GetCon(pPath), netPath_GetPeerAddr(pPath));
                        mosFastlockBase_Acquire(&pMgr->lock);
                        netPathMgr_TakeBack(pPath);
                    }
                    if (bNeedKa && !pPath->regMgr.bSendingKA && !pPath->regMgr.bWantOut)
                        netPathMgr_PathNeedsKA(pMgr, pPath);
                }
            }
            pMgr->kaWalkCount++;
            if (pMgr->kaWalkCount % NET_PATH_MGR__MAX_CONSEQ_PATHS == 0)
                pPath->regMgr.bBusy = TRUE;
        }
        if (pMgr->pCurKaPath->regMgr.bBusy) {
            mosFastlockBase_Release(&pMgr->lock);
            MOS_MIT_WAIT(pMit, rc, FALSE, netPathMgr_Reschedule(pMit));
            pMgr = netPathMgr_OfKaMit(pMit);
            mosFastlockBase_Acquire(&pMgr->lock);
            netPathMgr_TakeBack(pMgr->pCurKaPath);
        }
        {
            MosDList_Node *pNext = mosDList_Next(&pMgr->pCurKaPath->regMgr.node);
            pMgr->pCurKaPath = pNext != nullptr ? netPath_GetByRegMgr(MOS_CONTAINER_OF(pNext, NetPathMgr_Reg, node))
                                                : nullptr;
        }
    }
    mosFastlockBase_Release(&pMgr->lock);
    MOS_MIT_RETURN(pMit, MOS_RC__SUCCESS);
    MOS_MIT_END(pMit);
}
