#include "tgt/ioh/ioh.h"

#include <atomic>
#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_crc.h"
#include "mos/mos_diag_counters.h"
#include "mos/mos_trace.h"
#include "mos/umt/mos_umt.h"
#include "tgt/ioh/ioh_intrn.h"
#include "tgt/tgt_conf.h"
#include "tgt/tgt_contention.h"
#include "tgt/tgt_sdbg.h"

namespace {

void ioh_Inc(UINT32 *pCounter, UINT32 by = 1)
{
    std::atomic_ref<UINT32>(*pCounter).fetch_add(by, std::memory_order_relaxed);
}

// The diagnostic counter of a result, or MOS_DIAG_COUNTER__LAST.
MosDiagCounterType ioh_DiagCounterOf(Mos_RC rc)
{
    switch (rc) {
#define IOH_DIAG(code, name)                                                                                       \
    case code:                                                                                                     \
        return MOS_DIAG_COUNTER__##name;
        IOH_DIAG(MOS_RC__IO_FAULT_NOT_PRI, IO_FAULT_NOT_PRI)
        IOH_DIAG(MOS_RC__IO_FAULT_NOT_SEC, IO_FAULT_NOT_SEC)
        IOH_DIAG(MOS_RC__IO_FAULT_BLOCKED, IO_FAULT_BLOCKED)
        IOH_DIAG(MOS_RC__IO_FAULT_NO_VOL, IO_FAULT_NO_VOL)
        IOH_DIAG(MOS_RC__IO_FAULT_NO_COMB, IO_FAULT_NO_COMB)
        IOH_DIAG(MOS_RC__IO_FAULT_WRONG_VOL_GEN, IO_FAULT_WRONG_VOL_GEN)
        IOH_DIAG(MOS_RC__IO_FAULT_WRONG_COMB_GEN, IO_FAULT_WRONG_COMB_GEN)
        IOH_DIAG(MOS_RC__IO_FAULT_TEST_FAILED, IO_FAULT_TEST_FAILED)
        IOH_DIAG(MOS_RC__IO_HARD_ERROR, IO_HARD_ERROR)
        IOH_DIAG(MOS_RC__IO_ZERO_BUF, IO_ZERO_BUF)
        IOH_DIAG(MOS_RC__UNKNOWN_MSG, UNKNOWN_MSG)
        IOH_DIAG(MOS_RC__IO_FAULT_OLD_SCSI_GEN, IO_FAULT_OLD_SCSI_GEN)
        IOH_DIAG(MOS_RC__IO_FAULT_NEW_SCSI_GEN, IO_FAULT_NEW_SCSI_GEN)
        IOH_DIAG(MOS_RC__IO_FAULT_RESERVATION_CONFLICT, IO_FAULT_RESERVATION_CONFLICT)
        IOH_DIAG(MOS_RC__IO_FAULT_NO_SPACE, IO_FAULT_NO_SPACE)
        IOH_DIAG(MOS_RC__IO_FAULT_QUIESCED, IO_FAULT_QUIESCED)
        IOH_DIAG(MOS_RC__SUCCESS, IO_PROCESSED)
        IOH_DIAG(MOS_RC__IO_FAULT_VOL_NOT_THIN, IO_FAULT_VOL_NOT_THIN)
        IOH_DIAG(MOS_RC__IO_FAULT_VOL_HAS_SNAPSHOTS, IO_FAULT_VOL_HAS_SNAPSHOTS)
        IOH_DIAG(MOS_RC__IO_FAULT_IS_QUIESCED, IO_FAULT_IS_QUIESCED)
#undef IOH_DIAG
    default:
        return MOS_DIAG_COUNTER__LAST;
    }
}

void ioh_WatchdogFired(MosAsyncObj *pObj, INT32 rc)
{
    (void)rc;
    IohIoTimer *pTimer = MOS_CONTAINER_OF(pObj, IohIoTimer, timerReq.asyncObj);
    MOS_ERROR(MOS_COMP_TGT_IOH, "IO took too long %p, Umt %p", (const void *)pTimer->pReq, (void *)pTimer->pUmt);
    MOS_ASSERT(!(1));
}

void ioh_AddPayload(IohResp *pIoRes, void *p, UINT32 len)
{
    // An empty buffer in a response's list leaves the reader waiting for bytes that never come.
    if (len == 0)
        return;
    MOS_ASSERT(pIoRes->numOfRspBufs < 2);
    pIoRes->rspBufs[pIoRes->numOfRspBufs++] = IohBuf{p, len};
}

// Read data whose guards do not verify is not sent: the reader gets a hard error and repairs from
// the partner; the server keeps running.
Mos_RC ioh_VerifyReadGuards(IohResp *pIoRes, CombId combId, UINT32 offsetInComb, UINT32 sizeInLbs)
{
    Mos_RC rc = mosT10Dif_VerifyT10DIFBuffer(pIoRes->pReadData, pIoRes->pReadDif, 0, 0, 0, sizeInLbs);
    if (rc == MOS_RC__SUCCESS)
        return rc;
    MOS_ERROR(MOS_COMP_TGT_IOH, "(T10DIF) T10 DIF verification failure of read data. comb %lx offset %u size %u",
              (unsigned long)combId, offsetInComb, sizeInLbs);
    return MOS_RC__IO_HARD_ERROR;
}

// Runs the operation of a request whose shape was accepted; attaches the payload of its type.
Mos_RC ioh_Dispatch(Ioh *pIoh, const IohMsgCtx *pCtx, const IohReqView *pView, IohResp *pIoRes)
{
    switch (pCtx->msgType) {
    case TGT_MSG_TYPE__IO_READ_PRI: {
        TgtReq_IoRead rec = iohReqView_Record<TgtReq_IoRead>(pView);
        BOOL bT10Dif = FALSE;
        Mos_RC rc = iohComb_ReadPrimary(pIoh, pCtx, &rec, pIoRes, &bT10Dif);
        if (rc == MOS_RC__SUCCESS)
            pIoh->pHooks->addToIoLimiter(pIoh->pCont, rec.sizeInLbs);
        // Guards that are not handed on, or that the Quillet asked to have checked, are checked here.
        if (rc == MOS_RC__SUCCESS && bT10Dif &&
            (!ioh_PeerHasDif(pCtx->peerVer) || (rec.flags & TGT_IO_RD__T10DIF_STRICT_VERIFY) != 0))
            rc = ioh_VerifyReadGuards(pIoRes, rec.combId, rec.offsetInComb, rec.sizeInLbs);
        if (rc == MOS_RC__SUCCESS) {
            ioh_AddPayload(pIoRes, pIoRes->pReadData, rec.sizeInLbs * 512);
            if (bT10Dif && ioh_PeerHasDif(pCtx->peerVer))
                ioh_AddPayload(pIoRes, pIoRes->pReadDif, rec.sizeInLbs * (UINT32)sizeof(T10Dif));
        }
        return rc;
    }
    case TGT_MSG_TYPE__IO_READ_SEC: {
        TgtReq_IoReadSec rec = iohReqView_Record<TgtReq_IoReadSec>(pView);
        BOOL bT10Dif = FALSE;
        Mos_RC rc = iohComb_ReadSecondary(pIoh, pCtx, rec.combId, rec.offsetInComb, rec.sizeInLbs, rec.combGenNum,
                                          rec.devVto, rec.copyReason, pIoRes->pReadData, pIoRes->pReadDif, &bT10Dif);
        if (rc == MOS_RC__SUCCESS && bT10Dif)
            rc = ioh_VerifyReadGuards(pIoRes, rec.combId, rec.offsetInComb, rec.sizeInLbs);
        if (rc == MOS_RC__SUCCESS) {
            ioh_AddPayload(pIoRes, pIoRes->pReadData, rec.sizeInLbs * 512);
            if (bT10Dif)
                ioh_AddPayload(pIoRes, pIoRes->pReadDif, rec.sizeInLbs * (UINT32)sizeof(T10Dif));
        }
        return rc;
    }
    case TGT_MSG_TYPE__IO_WRITE_PRI:
    case TGT_MSG_TYPE__IO_WRITE_PRI_ZERO:
    case TGT_MSG_TYPE__IO_WRITE_TEST_A_SET: {
        Mos_RC rc = iohComb_WritePrimary(pIoh, pCtx, pView, pIoRes);
        if (rc == MOS_RC__SUCCESS)
            pIoh->pHooks->addToIoLimiter(pIoh->pCont, iohReqView_Record<TgtReq_IoWrite>(pView).sizeInLbs);
        return rc;
    }
    case TGT_MSG_TYPE__IO_WRITE_SEC:
    case TGT_MSG_TYPE__IO_WRITE_SEC_ZERO:
    case TGT_MSG_TYPE__IO_WRITE_SEC_COPY: {
        Mos_RC rc = iohComb_WriteSecondary(pIoh, pCtx, pView, pIoRes);
        if (rc == MOS_RC__SUCCESS && pCtx->msgType == TGT_MSG_TYPE__IO_WRITE_SEC_COPY)
            ioh_AddPayload(pIoRes, &pIoRes->resWriteSecCopy, sizeof(pIoRes->resWriteSecCopy));
        return rc;
    }
    case TGT_MSG_TYPE__IO_WRITE_DUMMY:
        return MOS_RC__SUCCESS;
    case TGT_MSG_TYPE__TRIM_PRI: {
        TgtReq_Trim rec = iohReqView_Record<TgtReq_Trim>(pView);
        return iohComb_TrimPrimary(pIoh, pCtx, &rec, pIoRes);
    }
    case TGT_MSG_TYPE__TRIM_SEC: {
        TgtReq_TrimSec rec = iohReqView_Record<TgtReq_TrimSec>(pView);
        return iohComb_TrimSecondary(pIoh, pCtx, &rec);
    }
    case TGT_MSG_TYPE__CHECK_FOR_ERROR: {
        TgtReq_CheckForError rec = iohReqView_Record<TgtReq_CheckForError>(pView);
        BOOL bT10Dif = FALSE;
        Mos_RC rc = iohComb_ReadSecondary(pIoh, pCtx, rec.combId, rec.offsetInComb, rec.sizeInLbs, rec.combGenNum,
                                          rec.devVto, COPY_TYPE__SCAN, pIoRes->pReadData, pIoRes->pReadDif, &bT10Dif);
        if (rc == MOS_RC__SUCCESS && rec.bReturnChecksum) {
            pIoRes->checksum = mosCrc_CalcCrc32OneBuffer(pIoRes->pReadData, (size_t)rec.sizeInLbs * 512);
            ioh_AddPayload(pIoRes, &pIoRes->checksum, sizeof(pIoRes->checksum));
        }
        return rc;
    }
    case TGT_MSG_TYPE__CLEAN_REMOTE_TOOTH_LIST: {
        TgtReq_CleanToothList rec = iohReqView_Record<TgtReq_CleanToothList>(pView);
        return ioh_CleanToothList(pIoh, &rec);
    }
    case TGT_MSG_TYPE__READ_COMB_BM:
    case TGT_MSG_TYPE__READ_COMB_FINE_DRL: {
        TgtReq_ReadCombDrl rec = iohReqView_Record<TgtReq_ReadCombDrl>(pView);
        if (pIoRes->pDrlRsp == nullptr || !ioh_ReadCombDrl(pIoh, &rec, pIoRes->pDrlRsp))
            return MOS_RC__IO_HARD_ERROR;
        if (pCtx->msgType == TGT_MSG_TYPE__READ_COMB_FINE_DRL) {
            ioh_AddPayload(pIoRes, pIoRes->pDrlRsp, ioh_DrlRspSize(pIoRes->pDrlRsp->numOfBits, TRUE));
        } else {
            UINT32 len = ioh_ConvertFineDrlToOld(pIoRes->pDrlRsp, &pIoRes->oldDrl);
            ioh_AddPayload(pIoRes, &pIoRes->oldDrl, len);
        }
        return MOS_RC__SUCCESS;
    }
    case TGT_MSG_TYPE__RESET_COMB_BM: {
        TgtReq_ResetCombDrl rec = iohReqView_Record<TgtReq_ResetCombDrl>(pView);
        return ioh_ResetCombDrl(pIoh, &rec) ? MOS_RC__SUCCESS : MOS_RC__IO_HARD_ERROR;
    }
    case TGT_MSG_TYPE__GET_NEXT_TOOTH: {
        TgtReq_GetNextTooth rec = iohReqView_Record<TgtReq_GetNextTooth>(pView);
        memset(&pIoRes->rspNextTooth, 0, sizeof(pIoRes->rspNextTooth));
        Mos_RC rc = ioh_GetCombNextTooth(pIoh, &rec, &pIoRes->rspNextTooth);
        if (rc == MOS_RC__SUCCESS)
            ioh_AddPayload(pIoRes, &pIoRes->rspNextTooth, sizeof(pIoRes->rspNextTooth));
        return rc;
    }
    case TGT_MSG_TYPE__READ_TOOTH_LIST: {
        TgtReq_GetToothList rec = iohReqView_Record<TgtReq_GetToothList>(pView);
        memset(&pIoRes->rspToothList, 0, sizeof(pIoRes->rspToothList));
        Mos_RC rc = ioh_ReadToothList(pIoh, &rec, &pIoRes->rspToothList);
        if (rc == MOS_RC__SUCCESS)
            ioh_AddPayload(pIoRes, &pIoRes->rspToothList, sizeof(pIoRes->rspToothList));
        return rc;
    }
    default:
        MOS_UNREACHABLE("a type with a shape has an operation");
    }
}

} // namespace

void ioh_Init(Ioh *pIoh, Cont *pCont, const IohHooks *pHooks, Elock *pElock)
{
    memset(static_cast<void *>(pIoh), 0, sizeof(*pIoh));
    pIoh->pCont = pCont;
    pIoh->pHooks = pHooks;
    pIoh->pElock = pElock;
    MOS_FASTLOCK_CREATE(&pIoh->fastLock, TGT_CONTENTION__IOH);
    MOS_FASTLOCK_CREATE(&pIoh->flushInfo.fastLock, TGT_CONTENTION__IOH_FLUSH);
    MOS_ASSERT(pTgtSdbg_g != nullptr);
    mosObjType_RegObj(&pTgtSdbg_g->iohType, &pIoh->sdbgObj, "ioh");
}

void ioh_Destroy(Ioh *pIoh)
{
    mosObjType_UnregObj(&pTgtSdbg_g->iohType, &pIoh->sdbgObj);
    mosFastlockBase_Destroy(&pIoh->flushInfo.fastLock);
    mosFastlockBase_Destroy(&pIoh->fastLock);
}

BOOL ioh_NewRequestIsRead(Ioh *pIoh, const IohReq *pReq)
{
    (void)pIoh;
    return ioh_MsgTypeIsRead(pReq->msgType);
}

void ioh_NewRequest(Ioh *pIoh, const IohReq *pReq, IohResp *pIoRes)
{
    pIoRes->bDelayResp = FALSE;
    pIoRes->numOfRspBufs = 0;
    IohMsgCtx ctx{pReq->msgType, ioh_PeerVersion(pReq->peerVer), mosTicks_GetCurrentTick()};
    if (pReq->peerVer == TGT_PEER_VER__UNKNOWN)
        MOS_DIAG_COUNT(PELLAR_IO_VERSION_UNKNOWN);

    IohIoTimer timer{};
    timer.pReq = pReq;
    timer.pUmt = mosUmt_GetUThreadHdlNoAssert();
    mosTimerReq_Init(&timer.timerReq, ioh_WatchdogFired);
    mosTimerReq_AddByQ(&timer.timerReq, IOH__WATCHDOG_QUEUE);

    IohReqView view{};
    Mos_RC rc = ioh_ReqCheckShape(pReq, &view);
    if (rc == MOS_RC__SUCCESS)
        rc = ioh_Dispatch(pIoh, &ctx, &view, pIoRes);
    if (rc != MOS_RC__SUCCESS)
        pIoRes->numOfRspBufs = 0;
    if (rc == MOS_RC__IO_FAULT_OLD_SCSI_GEN &&
        (ctx.msgType == TGT_MSG_TYPE__IO_READ_PRI || ctx.msgType == TGT_MSG_TYPE__IO_WRITE_PRI ||
         ctx.msgType == TGT_MSG_TYPE__IO_WRITE_PRI_ZERO || ctx.msgType == TGT_MSG_TYPE__IO_WRITE_TEST_A_SET ||
         ctx.msgType == TGT_MSG_TYPE__TRIM_PRI))
        ioh_AddPayload(pIoRes, &pIoRes->resIoRW, sizeof(pIoRes->resIoRW));
    if (rc == MOS_RC__LOGICAL_BLOCK_CHECK_GUARD_FAILED && ctx.msgType == TGT_MSG_TYPE__IO_READ_PRI &&
        !ioh_PeerHasDif(ctx.peerVer)) {
        MOS_ERROR(MOS_COMP_TGT_IOH, "(T10DIF) IO from Quillet without DIF support. Deegrading error code");
        rc = MOS_RC__IO_HARD_ERROR;
    }
    pIoRes->rc = rc;
    if (tgtInitParam_G.bDit)
        MOS_TRACE(MOS_COMP_TGT_IOH, MOS_FREQ_LOW, "Msg %u completed. rc=%d (%s) (dit)", ctx.msgType, (int)rc,
                  MOS_RC__GET_STR(rc));
    if (tgtInitParam_G.bSdbgExtraInfo) {
        MosDiagCounterType counter = ioh_DiagCounterOf(rc);
        if (counter != MOS_DIAG_COUNTER__LAST)
            mosDiagCounters_Count(counter);
    }
    if (pIoRes->bDelayResp) {
        // Only client reads and writes delay; all of their records keep volId at byte 24.
        UINT64 volId;
        memcpy(&volId, static_cast<const UINT8 *>(pReq->bufs[0].p) + offsetof(TgtReq_IoWrite, volId), sizeof(volId));
        if (!pIoh->pHooks->hangDelayResponse(pIoh->pCont, volId, pIoRes))
            pIoRes->bDelayResp = FALSE;
    }
    mosTimerReq_Abort(&timer.timerReq);
    mosTimerReq_Destroy(&timer.timerReq);
}

BOOL ioh_IsCacheSkip(Ioh *pIoh, UINT64 volId, CombId combId, UINT32 sizeInLbs, UINT32 offsetInComb, BOOL bWrite)
{
    const IohHooks *h = pIoh->pHooks;
    if (h->cacheSkipRule(pIoh->pCont, sizeInLbs, offsetInComb, bWrite))
        return TRUE;
    IohVol *pVol = h->acquireVol(pIoh->pCont, volId);
    if (pVol == nullptr) {
        if (tgtInitParam_G.bDit)
            MOS_TRACE(MOS_COMP_TGT_IOH, MOS_FREQ_LOW, "%lx - No vol (dit)", (unsigned long)volId);
        return TRUE;
    }
    BOOL bVolCached = h->isVolCached(pVol);
    h->releaseVol(pIoh->pCont, pVol);
    if (!bVolCached)
        return TRUE;
    IohComb *pIohComb = h->acquireIohComb(pIoh->pCont, combId);
    if (pIohComb == nullptr) {
        if (tgtInitParam_G.bDit)
            MOS_TRACE(MOS_COMP_TGT_IOH, MOS_FREQ_LOW, "No combId %lx (dit)", (unsigned long)combId);
        return TRUE;
    }
    BOOL bCached = h->isCombCached(pIohComb->pRaid, bWrite);
    h->releaseIohComb(pIoh->pCont, combId);
    return !bCached;
}

BOOL ioh_IsHeldCacheSkip(Ioh *pIoh, IohVol *pVol, RaidComb *pRaid, UINT32 sizeInLbs, UINT32 offsetInComb, BOOL bWrite)
{
    const IohHooks *h = pIoh->pHooks;
    return h->cacheSkipRule(pIoh->pCont, sizeInLbs, offsetInComb, bWrite) || !h->isVolCached(pVol) ||
           !h->isCombCached(pRaid, bWrite);
}

// ---- quiesce ----

Mos_RC ioh_StartQuiesce(Ioh *pIoh, UINT32 gen)
{
    MosFastlockGuard guard(&pIoh->fastLock);
    INT32 diff = (INT32)(gen - pIoh->quiesceGenerationNum);
    if (diff > 0) {
        pIoh->bQuiesced = TRUE;
        pIoh->quiesceGenerationNum = gen;
        return MOS_RC__SUCCESS;
    }
    if (diff == 0 && pIoh->bQuiesced)
        return MOS_RC__SUCCESS;
    return MOS_RC__WRONG_QUIESCE_GEN;
}

Mos_RC ioh_StopQuiesce(Ioh *pIoh, UINT32 gen)
{
    MosFastlockGuard guard(&pIoh->fastLock);
    if (gen != pIoh->quiesceGenerationNum)
        return MOS_RC__WRONG_QUIESCE_GEN;
    pIoh->bQuiesced = FALSE;
    return MOS_RC__SUCCESS;
}

void ioh_UpdateQuiesce(Ioh *pIoh, UINT32 gen, BOOL bQuiesced)
{
    MosFastlockGuard guard(&pIoh->fastLock);
    pIoh->quiesceGenerationNum = gen;
    pIoh->bQuiesced = bQuiesced;
}

BOOL ioh_IsQuiesced(Ioh *pIoh)
{
    MosFastlockGuard guard(&pIoh->fastLock);
    return pIoh->bQuiesced;
}

UINT32 ioh_GetQuiesceGenNum(Ioh *pIoh)
{
    MosFastlockGuard guard(&pIoh->fastLock);
    return pIoh->quiesceGenerationNum;
}

// ---- flush tracker ----

void ioh_UpdateFlushInfoStartQuery(Ioh *pIoh)
{
    MosFastlockGuard guard(&pIoh->flushInfo.fastLock);
    pIoh->flushInfo.currentIoCnt++;
    pIoh->flushInfo.ioStartedWhileFlushCnt++;
    pIoh->flushInfo.bIsFlushed = FALSE;
}

void ioh_UpdateFlushInfoEndQuery(Ioh *pIoh)
{
    MosFastlockGuard guard(&pIoh->flushInfo.fastLock);
    MOS_ASSERT(pIoh->flushInfo.currentIoCnt > 0);
    pIoh->flushInfo.currentIoCnt--;
}

void ioh_UpdateFlushInfoStartFlush(Ioh *pIoh)
{
    MosFastlockGuard guard(&pIoh->flushInfo.fastLock);
    pIoh->flushInfo.ioStartedWhileFlushCnt = 0;
}

void ioh_UpdateFlushInfoEndFlush(Ioh *pIoh)
{
    MosFastlockGuard guard(&pIoh->flushInfo.fastLock);
    if (pIoh->flushInfo.ioStartedWhileFlushCnt == 0)
        pIoh->flushInfo.bIsFlushed = TRUE;
}

BOOL ioh_QueryIsQuietAndFlushed(Ioh *pIoh)
{
    MosFastlockGuard guard(&pIoh->flushInfo.fastLock);
    return pIoh->flushInfo.currentIoCnt == 0 && pIoh->flushInfo.bIsFlushed;
}

// ---- statistics ----

UINT32 ioh_LatBucket(UINT64 ioLatMicro)
{
    UINT32 b = ioLatMicro == 0 ? 0 : 64 - (UINT32)__builtin_clzll(ioLatMicro);
    if (b < 8)
        return 0;
    if (b <= 17)
        return b - 7;
    return IOH__NUM_LAT_BUCKETS - 1;
}

void ioh_UpdateStats(Ioh *pIoh, UINT32 sizeInLbs, UINT32 msgType, BOOL bWrite, BOOL bPrimary, UINT64 ioLatMicro)
{
    if (!tgtInitParam_G.bSdbgExtraInfo)
        return;
    IohQuery *q = &pIoh->query;
    if (ioLatMicro != 0) {
        ioh_Inc(&(bWrite ? q->ioLatWrite : q->ioLatRead)[ioh_LatBucket(ioLatMicro)]);
        return;
    }
    ioh_Inc(&q->totalInLbs, sizeInLbs);
    if (sizeInLbs < 8 || sizeInLbs > IOH__MAX_IO_SIZE_IN_LBS) {
        ioh_Inc(&q->smallIosCount);
        return;
    }
    ioh_Inc(&q->ioCount[(31 - __builtin_clz(sizeInLbs)) - IOH__POWER_OF_MIN_IO_SIZE_IN_LBS]);
    struct TypeCounter {
        UINT32 msgType;
        BOOL bWrite, bPrimary;
        UINT32 *pCounter;
    };
    const TypeCounter table[] = {
        {TGT_MSG_TYPE__IO_READ_PRI, FALSE, TRUE, &q->readCountPri},
        {TGT_MSG_TYPE__IO_READ_SEC, FALSE, FALSE, &q->readCountSec},
        {TGT_MSG_TYPE__IO_WRITE_PRI, TRUE, TRUE, &q->writeCountPri},
        {TGT_MSG_TYPE__IO_WRITE_SEC, TRUE, FALSE, &q->writeCountSec},
        {TGT_MSG_TYPE__IO_WRITE_PRI_ZERO, TRUE, TRUE, &q->writeZeroCountPri},
        {TGT_MSG_TYPE__IO_WRITE_SEC_ZERO, TRUE, FALSE, &q->writeZeroCountSec},
        {TGT_MSG_TYPE__IO_WRITE_TEST_A_SET, TRUE, TRUE, &q->writeTestAndSetCountPri},
        {TGT_MSG_TYPE__TRIM_PRI, TRUE, TRUE, &q->trimCountPri},
        {TGT_MSG_TYPE__TRIM_SEC, TRUE, FALSE, &q->trimCountSec},
    };
    for (const TypeCounter &t : table)
        if (t.msgType == msgType) {
            MOS_ASSERT(t.bWrite == bWrite && t.bPrimary == bPrimary);
            ioh_Inc(t.pCounter);
            return;
        }
    MOS_UNREACHABLE("statistics of a type that is not counted");
}

void ioh_UpdateReadCacheStats(Ioh *pIoh, UINT64 ioLatMicro)
{
    if (tgtInitParam_G.bSdbgExtraInfo)
        ioh_Inc(&pIoh->query.ioLatReadCache[ioh_LatBucket(ioLatMicro)]);
}

void iohStats_Start(Ioh *pIoh, UINT32 sizeInLbs, UINT32 msgType, BOOL bWrite, BOOL bPrimary)
{
    ioh_UpdateStats(pIoh, sizeInLbs, msgType, bWrite, bPrimary, 0);
}

void iohStats_End(Ioh *pIoh, const IohMsgCtx *pCtx, UINT32 sizeInLbs, UINT32 msgType, BOOL bWrite, BOOL bPrimary)
{
    UINT64 ticks = mosTicks_GetCurrentTick() - pCtx->startTick;
    UINT64 micros = (UINT64)((unsigned __int128)ticks * 1000000u / mosTicks_GetFreq());
    ioh_UpdateStats(pIoh, sizeInLbs, msgType, bWrite, bPrimary, micros == 0 ? 1 : micros);
}

BOOL ioh_IsTimeExceededUpToElock(MosTicks_Cnt startTick, CombId combId, UINT32 offsetInComb)
{
    if (!tgtInitParam_G.bElockTimeCheck)
        return FALSE;
    UINT64 passed = mosTicks_TicksToMillis(mosTicks_GetCurrentTick() - startTick);
    if (passed <= tgtInitParam_G.bElockTimeThresh)
        return FALSE;
    MOS_ERROR(MOS_COMP_TGT_IOH,
              "IO took too long until elock was taken, Time passed:%luTime allowed: %lucombId: %lx offsetInComb: %u",
              (unsigned long)passed, (unsigned long)tgtInitParam_G.bElockTimeThresh, (unsigned long)combId,
              offsetInComb);
    return TRUE;
}

void ioh_Query(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    (void)pName;
    const Ioh *pIoh = MOS_CONTAINER_OF(pObj, Ioh, sdbgObj);
    memcpy(pData, &pIoh->query, sizeof(pIoh->query));
}

// ---- ranges ----

Mos_RC ioh_CheckRange(UINT32 offsetInComb, UINT32 sizeInLbs)
{
    UINT64 combLbs = combSizeInLbs_g;
    if ((UINT64)offsetInComb >= combLbs || (UINT64)sizeInLbs > combLbs - offsetInComb ||
        (UINT64)(offsetInComb % IOH__MAX_IO_SIZE_IN_LBS) + sizeInLbs > IOH__MAX_IO_SIZE_IN_LBS) {
        MOS_ERROR(MOS_COMP_TGT_IOH, "IO of size %u at offset %u leaves the comb or its tooth", sizeInLbs,
                  offsetInComb);
        return MOS_RC__INVALID;
    }
    return MOS_RC__SUCCESS;
}

Mos_RC ioh_CheckTrimRange(UINT32 offsetInComb)
{
    if (offsetInComb % IOH__MAX_IO_SIZE_IN_LBS != 0 ||
        (UINT64)offsetInComb + IOH__MAX_IO_SIZE_IN_LBS > (UINT64)combSizeInLbs_g) {
        MOS_ERROR(MOS_COMP_TGT_IOH, "Trim at offset %u is not a whole tooth of the comb", offsetInComb);
        return MOS_RC__INVALID;
    }
    return MOS_RC__SUCCESS;
}
