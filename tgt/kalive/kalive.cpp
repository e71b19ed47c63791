#include "tgt/kalive/kalive.h"

#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_timer.h"
#include "mos/mos_trace.h"
#include "mos/umt/mos_umt.h"
#include "tgt/cont/cont_net.h"
#include "tgt/cont/cont_root.h"
#include "tgt/tgt_conf.h"
#include "tgt/tgt_contention.h"
#include "tgt/tgt_sdbg.h"
#include "tgt/tgt_umt_class.h"

namespace {
BOOL kalive_IsBlockedLocked(const Kalive *pAlive)
{
    const UINT64 sinceMs = mosTicks_TicksToMillis(mosTicks_DiffInTicks(mosTicks_GetCurrentTick(), pAlive->lastGoodTime));
    return sinceMs >= pAlive->keepaliveTimeoutMs || pAlive->bBlocked || pAlive->bStop;
}

void kalive_SendOne(Kalive *pAlive, UINT32 runId)
{
    OstrelTgtNot_KeepAlive rec{};
    rec.timeInTicks = mosTicks_GetCurrentTick();
    {
        MosFastlockGuard guard(&pAlive->aliveFastlock);
        rec.tgtId = pAlive->myTgtId;
        pAlive->numOfSndMsg++;
    }
    rec.runId = runId;
    const Mos_RC rc = contOstrel_SendNotifRecord(pAlive->pCont, KALIVE_MSG_TYPE__KEEP_ALIVE, KALIVE__OSTREL_RECV_GROUP,
                                                 &rec, sizeof(rec));
    if (rc != MOS_RC__SUCCESS)
        MOS_TRACE(MOS_COMP_TGT_KALIVE, MOS_FREQ_MED, "Keep-alive not sent: %s", mosRc_GetStr(rc));
}

// The sending loop: one round a period until paused.
void kalive_StartIntr(void *pArg)
{
    Kalive *pAlive = static_cast<Kalive *>(pArg);
    const UINT32 runId = cont_GetRunId(pAlive->pCont);
    const MosTimerQ_ID q = mosTimer_GetClosestQ((UINT32)(tgtInitParam_G.keepAliveSleepBtwnReqInSec * 1000));
    while (!__atomic_load_n(&pAlive->bStop, __ATOMIC_ACQUIRE)) {
        if (cont_IsSchedThredStuck(pAlive->pCont))
            MOS_TRACE(MOS_COMP_TGT_KALIVE, MOS_FREQ_LOW, "KA aborted due to stuck sched thread");
        else
            kalive_SendOne(pAlive, runId);
        mosUmt_SleepByQ(q);
    }
}
} // namespace

void kalive_Init(Kalive *pAlive, Cont *pCont)
{
    memset(static_cast<void *>(pAlive), 0, sizeof(*pAlive));
    MOS_FASTLOCK_CREATE(&pAlive->aliveFastlock, TGT_CONTENTION__KALIVE);
    pAlive->pCont = pCont;
    pAlive->lastGoodTime = mosTicks_GetCurrentTick();
    pAlive->bBlocked = TRUE;
    pAlive->bStop = TRUE;
    if (pTgtSdbg_g != nullptr)
        mosObjType_RegObj(&pTgtSdbg_g->kaliveType, &pAlive->sdbgObj, "Keep-alive");
}

void kalive_Start(Kalive *pAlive, UINT64 tgtId, UINT32 keepaliveTimeoutMs)
{
    {
        MosFastlockGuard guard(&pAlive->aliveFastlock);
        pAlive->myTgtId = tgtId;
        pAlive->keepaliveTimeoutMs = keepaliveTimeoutMs;
        if (!pAlive->bStop)
            return;
        pAlive->lastGoodTime = mosTicks_GetCurrentTick();
        pAlive->bBlocked = FALSE;
        __atomic_store_n(&pAlive->bStop, FALSE, __ATOMIC_RELEASE);
    }
    HMosUmt_UThread h = mosUmt_CreateUThreadEx(kalive_StartIntr, pAlive, nullptr, nullptr, FALSE,
                                               tgt_GetUmtClassId(MOS_UMT_CLASS_TYPE__TGT_KEEP_ALIVE));
    MOS_ASSERT(h != nullptr);
}

void kalive_Update(Kalive *pAlive, UINT64 tgtId, UINT32 keepaliveTimeoutMs)
{
    kalive_Start(pAlive, tgtId, keepaliveTimeoutMs);
}

void kalive_Pause(Kalive *pAlive, BOOL bPause)
{
    MosFastlockGuard guard(&pAlive->aliveFastlock);
    __atomic_store_n(&pAlive->bStop, bPause, __ATOMIC_RELEASE);
    MOS_TRACE(MOS_COMP_TGT_KALIVE, MOS_FREQ_LOW, "keep-alive paused %u", (unsigned)bPause);
}

BOOL kalive_IsBlocked(Kalive *pAlive)
{
    MosFastlockGuard guard(&pAlive->aliveFastlock);
    return kalive_IsBlockedLocked(pAlive);
}

void kalive_KeepAlive(Kalive *pAlive, MosTicks_Cnt time)
{
    pAlive->numOfRcvMsg++;
    // A time this process has not reached yet was never sent by it.
    if (mosTicks_IsFirstBigger(time, mosTicks_GetCurrentTick())) {
        MOS_TRACE(MOS_COMP_TGT_KALIVE, MOS_FREQ_LOW, "Keep-alive echo from the future %lu ignored",
                  (unsigned long)time);
        return;
    }
    if (mosTicks_IsFirstBigger(time, pAlive->lastGoodTime)) {
        pAlive->lastGoodTime = time;
        pAlive->bBlocked = FALSE;
        pAlive->numOfGoodMsg++;
    }
}

void kalive_RecvNotif(Kalive *pAlive, NetRpcData *pReq)
{
    OstrelTgtNot_KeepAliveRsp rec{};
    const UINT32 len = NET_IOV__GET_SIZE(&pReq->iov);
    const Context type = pReq->context;
    if (len == sizeof(rec))
        contNet_CopyFromIov(&pReq->iov, &rec, sizeof(rec));
    contNet_FreeBufferIov(pAlive->pCont, &pReq->iov);
    if (len == 0)
        return;
    if (type != KALIVE_MSG_TYPE__KEEP_ALIVE_RSP || len != sizeof(rec)) {
        MOS_TRACE(MOS_COMP_TGT_KALIVE, MOS_FREQ_LOW, "Not a keep-alive reply: type %u, %u bytes", (unsigned)type,
                  (unsigned)len);
        return;
    }
    const UINT32 myRunId = cont_GetRunId(pAlive->pCont);
    MosFastlockGuard guard(&pAlive->aliveFastlock);
    if (pAlive->bStop || rec.runId != myRunId) {
        MOS_TRACE(MOS_COMP_TGT_KALIVE, MOS_FREQ_LOW, "Old keep-alive msg %u %u", myRunId, rec.runId);
        return;
    }
    if (rec.tgtId != pAlive->myTgtId) {
        MOS_TRACE(MOS_COMP_TGT_KALIVE, MOS_FREQ_LOW, "Keep-alive reply for server %lx, not %lx, ignored",
                  (unsigned long)rec.tgtId, (unsigned long)pAlive->myTgtId);
        return;
    }
    kalive_KeepAlive(pAlive, rec.timeInTicks);
}

void kalive_Query(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    (void)pName;
    Kalive *pAlive = MOS_CONTAINER_OF(pObj, Kalive, sdbgObj);
    KaliveQuery *pQ = static_cast<KaliveQuery *>(pData);
    MosFastlockGuard guard(&pAlive->aliveFastlock);
    pQ->lastGoodTime = pAlive->lastGoodTime;
    pQ->numOfSndMsg = pAlive->numOfSndMsg;
    pQ->numOfRcvMsg = pAlive->numOfRcvMsg;
    pQ->numOfGoodMsg = pAlive->numOfGoodMsg;
    pQ->keepaliveTimeoutMs = pAlive->keepaliveTimeoutMs;
    pQ->bBlocked = (UINT32)kalive_IsBlockedLocked(pAlive);
    pQ->bStop = (UINT32)pAlive->bStop;
}
