#include "linux/net/net_poll.h"

#include <cstring>

#include "mos/mos_dbg.h"
#include "mos/mos_ticks.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils.h"
#include "mos/sdbg/sdbg_exports.h"
#include "mos/usr/mos_net.h"
#include "mos/mos_utils_mem.h"
#include "net/net_root.h"
#include "net/net_common_umt_class.h"

enum : MosContentionId {
    NET_POLL__LOCK_ID = 310,
    NET_POLL__OS_LOCK_ID = 311,
};

namespace {
inline NetPoll *netPoll_OfOs(NetPoll_OS *pOs)
{
    return MOS_CONTAINER_OF(pOs, NetPoll, os);
}

void netPollEvt_ReadReady(NetPoll_RegFd *pReg)
{
    NetPoll_OS *pOs = MOS_CONTAINER_OF(pReg, NetPoll_OS, evtReg);
    mosNet_IoEvtRecv(&pOs->epollEvt);
    netPoll_OfOs(pOs)->dbgQuery.numOfWakeup++;
}

void netPollEvt_ErrorCK(NetPoll_RegFd *pReg)
{
    MOS_UNUSED(pReg);
    MOS_UNREACHABLE("error event on the poll loop's wake-up event");
}

PNetPoll_EventCK netPoll_OrNop(PNetPoll_EventCK ck)
{
    return ck != nullptr ? ck : netPollEvt_Nop;
}

void netPoll_ProcessToRemSockets(NetPoll *pPoll)
{
    if (__atomic_load_n(&pPoll->os.remSocketList.counter, __ATOMIC_ACQUIRE) == 0)
        return;
    NetPollRegFd_Anchor list;
    {
        MosFastlockGuard guard(&pPoll->os.pollFastlock);
        list = pPoll->os.remSocketList;
        mosDList_InitAnchor(&pPoll->os.remSocketList);
    }
    MosDList_Node *pNode = mosDList_First(&list);
    while (pNode != nullptr) {
        MosDList_Node *pNext = mosDList_Next(pNode);
        mosDList_InitNode(pNode);
        NetPoll_RegFd *pReg = MOS_CONTAINER_OF(pNode, NetPoll_RegFd, node);
        mosNet_EpollRemSocket(&pPoll->os.epollSet, pReg->sock);
        MOS_ASSERT(pReg->magic == NET_POLL__MAGIC);
        pReg->magic = 0;
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_HIGH, "socket %d with registration block %p successfully removed from poll",
                  pReg->sock, (void *)pReg);
        MOS_ASSERT(pReg->pUnregDoneCK != nullptr);
        pReg->pUnregDoneCK(pReg);
        pNode = pNext;
    }
}

void netPoll_ExecuteEvents(NetPoll *pPoll, int count)
{
    for (int i = 0; i < count; i++) {
        const struct epoll_event &ev = pPoll->os.epollSet.pEvents[i];
        NetPoll_RegFd *pReg = static_cast<NetPoll_RegFd *>(ev.data.ptr);
        MOS_ASSERT(pReg->magic == NET_POLL__MAGIC);
        if ((ev.events & (EPOLLERR | EPOLLHUP)) != 0)
            pReg->pErrorCK(pReg);
        if ((ev.events & EPOLLOUT) != 0)
            pReg->pWriteReadyCK(pReg);
        if ((ev.events & EPOLLIN) != 0)
            pReg->pReadReadyCK(pReg);
    }
}

int netPoll_Poll(NetPoll *pPoll, UINT64 sleepMillis)
{
    netPoll_ProcessToRemSockets(pPoll);
    return mosNet_Epoll(&pPoll->os.epollSet, NET_POLL__SOCKET_ARRAY__SIZE, (int)sleepMillis);
}

void netPoll_RunOneMit(NetPoll *pPoll)
{
    MosDList_Node *pNode;
    {
        MosFastlockGuard guard(&pPoll->lock);
        pNode = mosDList_RemoveHead(&pPoll->mitWaiters);
    }
    if (pNode != nullptr) {
        MosMit *pMit = MOS_CONTAINER_OF(pNode, MosMit, node);
        mosMit_Run(pMit, pMit->nextRC);
    }
}

// The loop's interval: the configured time-out, or the first polled timer queue's sleep time
// when that is shorter (the queue would otherwise fire late).
UINT64 netPoll_LoopIntervalMillis(NetPoll *pPoll)
{
    UINT64 interval = pPoll->pConfParam->pollTimeout;
    if (pPoll->pConfParam->bPollTimers) {
        const UINT64 qSleep = mosTimerQ_GetSleepTimeMillis(net_GetPollStartQ(pPoll->pNet));
        if (qSleep < interval) {
            MOS_TRACE(MOS_COMP_NET, MOS_FREQ_MED,
                      "Overriding poll timeout due to timer Q restrictions.Timeout given %ld. Overwritten value %d",
                      (long)interval, (int)qSleep);
            interval = qSleep;
        }
    }
    return interval;
}

UINT64 netPoll_SleepMillis(MosTicks_Cnt lastSample, MosTicks_Cnt intervalTicks, UINT64 intervalMillis)
{
    const MosTicks_Cnt elapsed = mosTicks_DiffInTicks(mosTicks_GetCurrentTick(), lastSample);
    MosTicks_Cnt sleepTicks = 0;
    if (elapsed < intervalTicks) {
        sleepTicks = intervalTicks - elapsed;
        if (sleepTicks >= 2)
            sleepTicks -= NET_POLL_OVERHEAD_TICKS;
    }
    const UINT64 sleepMillis = mosTicks_TicksToMillis(sleepTicks);
    if (sleepMillis > intervalMillis)
        MOS_TRACE(MOS_COMP_NET, MOS_FREQ_LOW, "ERROR: ASSERT condition (%s) failed.", "sleepTimeMilli <= loopIntervalMilli");
    return sleepMillis;
}

void netPoll_Loop(void *pArg)
{
    NetPoll *pPoll = static_cast<NetPoll *>(pArg);
    const BOOL bCrashOnViolation = mosUtilsLayer_GetCrashOnIntrViolation();
    const UINT64 overshootFactor = mosUtilsLayer_GetPollLoopMaxOvershootFactor();
    (void)mosUtilsLayer_GetPollLoopTimeFactor();
    const UINT64 intervalMillis = netPoll_LoopIntervalMillis(pPoll);
    const MosTicks_Cnt intervalTicks = mosTicks_MillisToTicks(intervalMillis);
    MosTicks_Cnt lastSample = mosTicks_GetCurrentTick();
    for (;;) {
        mosUmtEvent_Wait(&pPoll->pauseEvent);
        if (__atomic_load_n(&pPoll->bStop, __ATOMIC_ACQUIRE))
            break;
        const UINT64 sleepMillis = netPoll_SleepMillis(lastSample, intervalTicks, intervalMillis);
        const int count = netPoll_Poll(pPoll, sleepMillis);
        const MosTicks_Cnt now = mosTicks_GetCurrentTick();
        if (!mosTicks_IsFirstBigger(lastSample + intervalTicks, now)) {
            const UINT64 overshootMillis = mosTicks_TicksToMillis(mosTicks_DiffInTicks(now, lastSample + intervalTicks));
            if (bCrashOnViolation)
                MOS_ASSERT(overshootFactor * overshootMillis <= intervalMillis);
            if (pPoll->pConfParam->bPollTimers)
                mosTimer_PollQRange(net_GetPollStartQ(pPoll->pNet), net_GetPollEndQ(pPoll->pNet));
            lastSample = now;
        }
        if (count > 0) {
            pPoll->dbgQuery.numOfGoodWakeup++;
            pPoll->dbgQuery.numOfFdSet += (UINT32)count;
            netPoll_ExecuteEvents(pPoll, count);
        } else {
            pPoll->dbgQuery.numOfDummyWakeup++;
        }
        netPoll_RunOneMit(pPoll);
    }
    // Removals requested before the stop still get their confirmation.
    netPoll_ProcessToRemSockets(pPoll);
}
} // namespace

void netPollEvt_Nop(NetPoll_RegFd *pReg)
{
    MOS_UNUSED(pReg);
}

void netPollRegFD_Init(NetPoll_RegFd *pReg, SOCKET sock, PNetPoll_EventCK pUnregDoneCK, PNetPoll_EventCK pReadReadyCK,
                       PNetPoll_EventCK pWriteReadyCK, PNetPoll_EventCK pErrorCK)
{
    memset(static_cast<void *>(pReg), 0, sizeof(*pReg));
    pReg->sock = sock;
    pReg->pUnregDoneCK = netPoll_OrNop(pUnregDoneCK);
    pReg->pReadReadyCK = netPoll_OrNop(pReadReadyCK);
    pReg->pWriteReadyCK = netPoll_OrNop(pWriteReadyCK);
    pReg->pErrorCK = netPoll_OrNop(pErrorCK);
}

void netPoll_InitIntrn(NetPoll *pPoll)
{
    NetPoll_OS *pOs = &pPoll->os;
    mosDList_InitAnchor(&pOs->remSocketList);
    MOS_FASTLOCK_CREATE(&pOs->pollFastlock, NET_POLL__OS_LOCK_ID);
    mosNet_EpollInit(&pOs->epollSet.epollFd);
    pOs->epollSet.pEvents = static_cast<struct epoll_event *>(
        mos_MemCalloc(NET_POLL__SOCKET_ARRAY__SIZE * sizeof(struct epoll_event),
                      NET_POLL__SOCKET_ARRAY__SIZE * sizeof(struct epoll_event), __func__, TRUE));
    MOS_ASSERT(pOs->epollSet.pEvents != nullptr);
    MOS_ASSERT_SUCCESS(mosNet_IoEvtCreate(&pOs->epollEvt));
    const SOCKET evtFd = pOs->epollEvt.bEventFd ? pOs->epollEvt.eventFD : pOs->epollEvt.readFD;
    netPollRegFD_Init(&pOs->evtReg, evtFd, nullptr, netPollEvt_ReadReady, nullptr, netPollEvt_ErrorCK);
    netPoll_AddSocket(pPoll, &pOs->evtReg);
    netPollRegFd_SetTriggers(pPoll, &pOs->evtReg, TRUE, FALSE, TRUE);
}

void netPoll_Init(NetPoll *pPoll, Net *pNet, NetConfParam *pConfParam)
{
    memset(static_cast<void *>(pPoll), 0, sizeof(*pPoll));
    pPoll->pNet = pNet;
    pPoll->pConfParam = pConfParam;
    pPoll->dbgQuery.numOfSockets = NET_POLL__SOCKET_ARRAY__SIZE;
    pPoll->sched.pSchedCK = netPoll_SingleShotMitScheduler;
    mosDList_InitAnchor(&pPoll->mitWaiters);
    netPoll_InitIntrn(pPoll);
    MosObj_Type *pType = mosObjType_GetPtrByID(SDBG_EXPORTS_OBJ_TYPE__NET_POLL);
    if (pType != nullptr)
        mosObjType_RegObj(pType, &pPoll->sdbgObj, "net poll");
    MOS_FASTLOCK_CREATE(&pPoll->lock, NET_POLL__LOCK_ID);
    mosUmtEvent_Init(&pPoll->pauseEvent, FALSE);
    mosUmtEvent_Set(&pPoll->pauseEvent);
}

void netPoll_Start(NetPoll *pPoll, BOOL bHighPrio)
{
    Mos_RC rc = mosUmtBound_CreateEx(&pPoll->umtBound, "net_poll", netPoll_Loop, pPoll, nullptr, bHighPrio,
                                     common_GetUmtClassId(MOS_UMT_CLASS_TYPE__COMMON_NET_POLL));
    MOS_ASSERT_WITH_DESC(rc == MOS_RC__SUCCESS, "failed to start the poll loop");
    pPoll->bStarted = TRUE;
    if (pPoll->pConfParam->pollCpu != NET_POLL__NO_CPU)
        mosUmtBound_BindToCpu(&pPoll->umtBound, (UINT32)pPoll->pConfParam->pollCpu);
}

void netPoll_Destroy(NetPoll *pPoll)
{
    if (pPoll->bStarted) {
        __atomic_store_n(&pPoll->bStop, TRUE, __ATOMIC_RELEASE);
        mosUmtEvent_Set(&pPoll->pauseEvent);
        netPoll_Wakeup(pPoll);
        mosUmtBound_Destroy(&pPoll->umtBound, TRUE);
        pPoll->bStarted = FALSE;
    }
    MOS_ASSERT_WITH_DESC(pPoll->dbgQuery.numOfSocketsInArray == 1, "sockets still registered with the poll");
    mosNet_EpollRemSocket(&pPoll->os.epollSet, pPoll->os.evtReg.sock);
    mosNet_IoEvtDestroy(&pPoll->os.epollEvt);
    osNet_Close(pPoll->os.epollSet.epollFd);
    mos_MemFree(pPoll->os.epollSet.pEvents);
    if (mosObj_IsRegistered(&pPoll->sdbgObj))
        mosObjType_UnregObj(mosObjType_GetPtrByID(SDBG_EXPORTS_OBJ_TYPE__NET_POLL), &pPoll->sdbgObj);
    mosUmtEvent_Destroy(&pPoll->pauseEvent);
    mosFastlockBase_Destroy(&pPoll->lock);
    mosFastlockBase_Destroy(&pPoll->os.pollFastlock);
}

void netPoll_Pause(NetPoll *pPoll, BOOL bPause)
{
    if (bPause)
        mosUmtEvent_Reset(&pPoll->pauseEvent);
    else
        mosUmtEvent_Set(&pPoll->pauseEvent);
}

void netPoll_Query(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    MOS_UNUSED(pName);
    NetPoll *pPoll = MOS_CONTAINER_OF(pObj, NetPoll, sdbgObj);
    memcpy(pData, &pPoll->dbgQuery, sizeof(pPoll->dbgQuery));
}

void netPoll_AddSocket(NetPoll *pPoll, NetPoll_RegFd *pReg)
{
    MOS_TRACE(MOS_COMP_NET, MOS_FREQ_HIGH, "New socket %d added with registration block %p", pReg->sock, (void *)pReg);
    MOS_ASSERT(pReg->magic == 0);
    pReg->magic = NET_POLL__MAGIC;
    mosNet_EpollAddSocket(&pPoll->os.epollSet, pReg->sock, pReg);
    __atomic_add_fetch(&pPoll->dbgQuery.numOfSocketsInArray, 1, __ATOMIC_RELAXED);
}

void netPollRegFd_SetTriggers(NetPoll *pPoll, NetPoll_RegFd *pReg, BOOL bRead, BOOL bWrite, BOOL bError)
{
    mosNet_EpollModSocket(&pPoll->os.epollSet, pReg->sock, pReg, bRead, bWrite, bError);
}

void netPollRegFd_ModWriteCK(NetPoll_RegFd *pReg, PNetPoll_EventCK pWriteReadyCK)
{
    pReg->pWriteReadyCK = netPoll_OrNop(pWriteReadyCK);
}

Mos_RC netPoll_RemSocket(NetPoll *pPoll, NetPoll_RegFd *pReg)
{
    MOS_TRACE(MOS_COMP_NET, MOS_FREQ_HIGH, "socket %d with registration block %p requested to be removed from poll",
              pReg->sock, (void *)pReg);
    MOS_ASSERT(__atomic_load_n(&pPoll->dbgQuery.numOfSocketsInArray, __ATOMIC_RELAXED) != 0);
    MOS_ASSERT(pReg->magic == NET_POLL__MAGIC);
    __atomic_sub_fetch(&pPoll->dbgQuery.numOfSocketsInArray, 1, __ATOMIC_RELAXED);
    {
        MosFastlockGuard guard(&pPoll->os.pollFastlock);
        mosDList_InsertTail(&pPoll->os.remSocketList, &pReg->node);
    }
    netPoll_Wakeup(pPoll);
    return MOS_RC__PENDING;
}

void netPoll_Wakeup(NetPoll *pPoll)
{
    mosNet_IoEvtSend(&pPoll->os.epollEvt);
}

void netPoll_SingleShotMitScheduler(MosMit *pMit)
{
    NetPoll *pPoll = MOS_CONTAINER_OF(pMit->pSched, NetPoll, sched);
    MosFastlockGuard guard(&pPoll->lock);
    mosDList_InsertTail(&pPoll->mitWaiters, &pMit->node);
}
