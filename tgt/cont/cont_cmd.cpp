#include "tgt/cont/cont_cmd.h"

#include <cstring>

#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"
#include "net/net.h"
#include "tgt/cont/cont.h"
#include "tgt/tgt_conf.h"

namespace {
constexpr UINT32 kTgtIdSize = sizeof(UINT64);

BOOL contCmd_IsAdmittedBeforeAttach(Context type)
{
    return type - TGT_MSG_TYPE__GET_VER <= 1u || type == TGT_MSG_TYPE__GET_TGT_PROP;
}

// The stale-generation test: the server's generation is newer than the record's.
BOOL contCmd_IsGenStale(UINT16 serverGen, UINT16 recordGen)
{
    return serverGen != 0 && (INT16)(UINT16)(serverGen - recordGen) > 0;
}

Mos_RC contCmd_AddOstrelIntrn(Cont *pCont, const OstrelTgtReq_AddOstrel &rec, HNetCon hCon)
{
    UINT64 knownTgtId = 0, knownOstrelId = 0;
    Mos_RC rc = contOstrel_ValidateOstrel(pCont, &pCont->ostrel, rec.tgtId, rec.ostrelId, &knownTgtId, &knownOstrelId);
    switch (rc) {
    case MOS_RC__ALREADY_EXISTS:
    case MOS_RC__TGT_ACTIVE_ATTACH_TO_THIS_OSTREL:
    case MOS_RC__TGT_ACTIVE_ATTACH_TO_OTHER_OSTREL:
        return rc;
    case MOS_RC__TGT_ALREADY_ATTACH_TO_THIS_OSTREL:
    case MOS_RC__TGT_ALREADY_ATTACH_TO_OTHER_OSTREL:
        if (!rec.bForceClean)
            return rc;
        // Forgetting every object of the old adoption belongs to the reconfiguration cycle; the
        // link itself starts afresh.
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Call cleanup, rc is %s", mosRc_GetStr(rc));
        (void)contOstrel_RemOstrel(&pCont->ostrel);
        [[fallthrough]];
    case MOS_RC__SUCCESS:
        // The link's first keep-alive and vector go out as the adoption starts them: they must
        // find the adopting Ostrel's connection already in place.
        cont_UpdateOstrelCon(pCont, hCon);
        return contOstrel_AddOstrel(&pCont->ostrel, pCont, rec.tgtId, rec.ostrelId, rec.keepaliveTimeoutMs,
                                    rec.bNew, knownTgtId, knownOstrelId);
    default:
        MOS_UNREACHABLE("unexpected validation result");
    }
}

void contCmd_UpdateInfoOnAddOstrel(Cont *pCont, const OstrelTgtReq_AddOstrel &rec, Mos_RC rc, HNetCon hCon)
{
    if (rc == MOS_RC__SUCCESS)
        contNet_UpdateConId(&pCont->net, rec.tgtId);
    if (rc != MOS_RC__SUCCESS && rc != MOS_RC__ALREADY_EXISTS && rc != MOS_RC__TGT_ACTIVE_ATTACH_TO_THIS_OSTREL &&
        rc != MOS_RC__TGT_ALREADY_ATTACH_TO_THIS_OSTREL)
        return;
    kalive_Update(&pCont->ostrel.kalive, rec.tgtId, rec.keepaliveTimeoutMs);
    tgtPerfInitParam_G.keepaliveTimeMs = rec.keepaliveTimeoutMs;
    cmonitor_Update(&pCont->ostrel.conMonitor, rec.tgtId);
    if (rec.combSizeInLbs != 0 && rec.combSizeInLbs != combSizeInLbs_g) {
        if (combSizeInLbs_g == TGT__DEFAULT_COMB_SIZE_IN_LBS && rec.combSizeInLbs % 2048 == 0) {
            combSizeInLbs_g = rec.combSizeInLbs;
            teethInComb_g = rec.combSizeInLbs / 2048;
        } else {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Comb size %u refused, the server keeps %u",
                      rec.combSizeInLbs, combSizeInLbs_g);
        }
    }
    (void)rcache_UpdateState(cont_GetCache(pCont), rec.bCacheEnabled, rec.bCacheFrozen,
                             (UINT64)rec.cacheSizeInMb * 2048);
    cont_UpdateOstrelCon(pCont, hCon);
}

Mos_RC contCmd_AddOstrelCmd(Cont *pCont, NetRpcData *pReq, const UINT8 *pRec, UINT32 recLen, NetRpcData *pRes,
                            HNetCon hCon)
{
    if (recLen < sizeof(OstrelTgtReq_AddOstrel) ||
        (!tgtInitParam_G.bAllowDifferentRequestLen && recLen != sizeof(OstrelTgtReq_AddOstrel)))
        return MOS_RC__INTERFACE_ERROR;
    OstrelTgtReq_AddOstrel rec;
    memcpy(&rec, pRec, sizeof(rec));
    if (!contCmd_IsVersionAccepted(pReq->senderVersion, net_GetMyNumericVersion()))
        return (pReq->senderVersion >> 24) <= 1 ? MOS_RC__ERROR : MOS_RC__OSTREL_TOO_OLD;
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW,
              "Processing AddOstrelCmd: tgtId=%lx, ostrelId=%lx, bCacheEnabled=%s, bCahceFrozen=%s, cacheSize=%dMB",
              (unsigned long)rec.tgtId, (unsigned long)rec.ostrelId, rec.bCacheEnabled ? "true" : "false",
              rec.bCacheFrozen ? "true" : "false", (int)rec.cacheSizeInMb);
    if (cont_IsSchedThredStuck(pCont)) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "AddOstrel failed due to busy sched thread");
        return MOS_RC__ERROR;
    }
    if (rec.tgtId == 0 || rec.ostrelTgtConnectionGenNum == 0) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add Ostrel refused: tgtId %lx, generation %u",
                  (unsigned long)rec.tgtId, (unsigned)rec.ostrelTgtConnectionGenNum);
        return MOS_RC__INVALID;
    }
    mosUmtRWLock_AcquireWriteLock(&pCont->rwLock);
    Mos_RC rc;
    if (rec.bNew && rec.cacheSizeInMb > pCont->cacheSizeLimitInMb) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "TGT: %016lx Requested cache size %d exceeds limit %d",
                  (unsigned long)rec.tgtId, (int)rec.cacheSizeInMb, (int)pCont->cacheSizeLimitInMb);
        rc = MOS_RC__TGT_CACHE_EXCEEDS_LIMIT;
    } else if (rec.tgtId == cont_GetTgtId(pCont) &&
               contCmd_IsGenStale(pCont->ostrelTgtConnectionGenNum, rec.ostrelTgtConnectionGenNum)) {
        rc = MOS_RC__ERROR;
    } else {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Add Ostrel ID %lx current %lx ostrelTgtConnectionGenNum %u (%u)Comb size %u",
                  (unsigned long)rec.ostrelId, (unsigned long)pCont->ostrel.ostrelId,
                  (unsigned)rec.ostrelTgtConnectionGenNum, (unsigned)pCont->ostrelTgtConnectionGenNum,
                  rec.combSizeInLbs);
        pCont->bRecvAddOstrel = TRUE;
        rc = contCmd_AddOstrelIntrn(pCont, rec, hCon);
        if (rc == MOS_RC__SUCCESS || rc == MOS_RC__ALREADY_EXISTS)
            pCont->ostrelTgtConnectionGenNum = rec.ostrelTgtConnectionGenNum;
        auto *pAns = static_cast<OstrelTgtRsp_AddOstrel *>(
            mos_MemCalloc(sizeof(OstrelTgtRsp_AddOstrel), sizeof(OstrelTgtRsp_AddOstrel), __func__, FALSE));
        pAns->bReconfigDoneReceived = pCont->bReconfigDoneReceived;
        pAns->bIsVmware = pCont->bIsVmware;
        pAns->cacheSizeLimitInMb = pCont->cacheSizeLimitInMb;
        pAns->bTgtAfterRestart = !pCont->bRecvReconStartAtleastOnce;
        netIov_AddBuffer(&pRes->iov, pAns, sizeof(*pAns), CONT_NET_BUF_TYPE__NET_ALLOC);
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "%s %lx - %s rc = %s", "TgtId", (unsigned long)rec.tgtId, "Done",
                  mosRc_GetStr(rc));
    }
    contCmd_UpdateInfoOnAddOstrel(pCont, rec, rc, hCon);
    mosUmtRWLock_ReleaseWriteLock(&pCont->rwLock);
    return rc;
}
} // namespace

BOOL contCmd_IsVersionAccepted(UINT32 senderVersion, UINT32 ownVersion)
{
    const BOOL bSame = (senderVersion >> 24) == (ownVersion >> 24) &&
                       ((senderVersion >> 16) & 0xFF) == ((ownVersion >> 16) & 0xFF) &&
                       (senderVersion & 0xFFFF) / 10000 == (ownVersion & 0xFFFF) / 10000;
    return bSame || senderVersion > ownVersion;
}

void contCmd_NewRequest(Cont *pCont, NetRpcData *pReq, NetRpcData *pRes, HNetCon hCon)
{
    const Context type = pReq->context;
    pRes->context = 0;
    const UINT32 len = NET_IOV__GET_SIZE(&pReq->iov);
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_HIGH, "Executing command:pMsgCtx=%p, msgLen=%u, msgType=%u",
              static_cast<void *>(pReq), (unsigned)len, (unsigned)type);
    Mos_RC rc;
    if (pReq->iov.numOfUsedBuffers != 1 || len < kTgtIdSize) {
        rc = MOS_RC__INTERFACE_ERROR;
    } else {
        const UINT8 *pPayload = static_cast<const UINT8 *>(NET_IOV__GET(&pReq->iov, 0, nullptr));
        UINT64 addressed;
        memcpy(&addressed, pPayload, sizeof(addressed));
        if (!contCmd_IsAdmittedBeforeAttach(type) && !pCont->bRecvAddOstrel) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_MED, "Command before Add Ostrel");
            rc = MOS_RC__WRONG_RECONF_MODE;
        } else if (!contCmd_IsAdmittedBeforeAttach(type) && addressed != 0 && addressed != cont_GetTgtId(pCont)) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Wrong TGT id %lx - %lx, command %u", (unsigned long)addressed,
                      (unsigned long)cont_GetTgtId(pCont), (unsigned)type);
            rc = MOS_RC__WRONG_TGT_ID;
        } else if (type == TGT_MSG_TYPE__ADD_OSTREL) {
            rc = contCmd_AddOstrelCmd(pCont, pReq, pPayload + kTgtIdSize, len - kTgtIdSize, pRes, hCon);
        } else {
            rc = MOS_RC__UNKNOWN_MSG;
        }
    }
    if (rc == 0)
        rc = MOS_RC__UNKNOWN_MSG;
    if (rc == MOS_RC__INTERFACE_ERROR || rc == MOS_RC__TGT_WRONG_GEN_NUM || rc == MOS_RC__UNKNOWN_MSG ||
        rc == MOS_RC__WRONG_RECONF_MODE)
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_MED, "Command %u failed %s", (unsigned)type, mosRc_GetStr(rc));
    pRes->context = rc;
}

Mos_RC contCmd_RecvKeepAliveNotif(void *pObj, NetRpcData *pReq)
{
    Cont *pCont = static_cast<Cont *>(pObj);
    contOstrel_RecvKeepAliveNotif(&pCont->ostrel, pReq);
    return MOS_RC__SUCCESS;
}
