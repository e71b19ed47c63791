#include "tgt/cont/cont_cmd.h"

#include <cstring>
#include <vector>

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
// The generation test, before and again under the lock taken here: 65 with the lock held, 31 (the
// lock held when it was taken) or 70 for a reconfiguration state that does not match.
Mos_RC contCmd_LockChecked(Cont *pCont, UINT16 gen, BOOL bCheckReconfig, BOOL bReconfigFlag, BOOL bWrite,
                           BOOL *pbLocked)
{
    *pbLocked = FALSE;
    auto reconfigOk = [&] {
        return !bCheckReconfig || (bReconfigFlag == pCont->bReconfigInProgress && pCont->bRecvReconStartAtleastOnce);
    };
    if (!reconfigOk())
        return MOS_RC__WRONG_RECONF_MODE;
    if (gen != pCont->ostrelTgtConnectionGenNum)
        return MOS_RC__TGT_WRONG_GEN_NUM;
    if (bWrite)
        mosUmtRWLock_AcquireWriteLock(&pCont->rwLock);
    else
        mosUmtRWLock_AcquireReadLock(&pCont->rwLock);
    *pbLocked = TRUE;
    if (gen != pCont->ostrelTgtConnectionGenNum)
        return MOS_RC__TGT_WRONG_GEN_NUM;
    return reconfigOk() ? MOS_RC__SUCCESS : MOS_RC__WRONG_RECONF_MODE;
}

void contCmd_Unlock(Cont *pCont, BOOL bLocked, BOOL bWrite)
{
    if (!bLocked)
        return;
    if (bWrite)
        mosUmtRWLock_ReleaseWriteLock(&pCont->rwLock);
    else
        mosUmtRWLock_ReleaseReadLock(&pCont->rwLock);
}

Mos_RC contCmd_Reconf(Cont *pCont, Context type, const UINT8 *pRec, UINT32 recLen)
{
    if (recLen < sizeof(UINT16) || (!tgtInitParam_G.bAllowDifferentRequestLen && recLen != sizeof(UINT16)))
        return MOS_RC__INTERFACE_ERROR;
    UINT16 gen;
    memcpy(&gen, pRec, sizeof(gen));
    const BOOL bStart = type == TGT_MSG_TYPE__RECONF_START;
    BOOL bLocked = FALSE;
    Mos_RC rc = MOS_RC__SUCCESS;
    if (!bStart && !pCont->bReconfigInProgress)
        rc = MOS_RC__WRONG_RECONF_MODE;
    else
        rc = contCmd_LockChecked(pCont, gen, !bStart, TRUE, TRUE, &bLocked);
    if (rc == MOS_RC__SUCCESS) {
        pCont->bReconfigInProgress = bStart;
        pCont->bReconfigDoneReceived = !bStart;
        if (bStart)
            pCont->bRecvReconStartAtleastOnce = TRUE;
    }
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "%s %lx - %s rc = %s", bStart ? "Reconf start" : "Reconf done",
              (unsigned long)cont_GetTgtId(pCont), "Done", mosRc_GetStr(rc));
    contCmd_Unlock(pCont, bLocked, TRUE);
    return rc;
}

ContTgt *contCmd_TgtOfNode(MosDList_Node *pNode)
{
    return MOS_CONTAINER_OF(pNode, ContTgt, listNode);
}

// The ids of the listed peers (bMarkedOnly: those still marked); bMarkAll marks every one first.
std::vector<UINT64> contCmd_PeerIds(Cont *pCont, BOOL bMarkAll, BOOL bMarkedOnly)
{
    std::vector<UINT64> ids;
    ContTgtMngr *pMngr = &pCont->tgtMngr;
    contTgtMngr_Lock(pMngr);
    for (MosDList_Node *p = mosDList_First(&pMngr->tgtAnchor); p != nullptr; p = mosDList_Next(p)) {
        ContTgt *pTgt = contCmd_TgtOfNode(p);
        if (bMarkAll)
            pTgt->bMark = TRUE;
        if (!bMarkedOnly || pTgt->bMark)
            ids.push_back(pTgt->tgtId);
    }
    contTgtMngr_Unlock(pMngr);
    return ids;
}

Mos_RC contCmd_AddTgtGroup(Cont *pCont, const UINT8 *pRec, UINT32 recLen)
{
    OstrelTgtReq_AddTgtArr head;
    if (recLen < sizeof(head))
        return MOS_RC__INTERFACE_ERROR;
    memcpy(&head, pRec, sizeof(head));
    // The count comes from the network: the elements must be in the payload, whatever the length
    // test says.
    const UINT64 need = sizeof(head) + (UINT64)head.numOfTgts * sizeof(OstrelTgtReq_AddTgt);
    if (head.tgtStructSize != sizeof(OstrelTgtReq_AddTgt) || need > recLen ||
        (!tgtInitParam_G.bAllowDifferentRequestLen && (need != recLen || head.numOfTgts == 0)))
        return MOS_RC__INTERFACE_ERROR;
    const BOOL bWrite = head.bReconfigInProgress != 0;
    BOOL bLocked = FALSE;
    Mos_RC rc = contCmd_LockChecked(pCont, head.ostrelTgtConnectionGenNum, TRUE, bWrite, bWrite, &bLocked);
    if (rc == MOS_RC__SUCCESS) {
        if (bWrite)
            (void)contCmd_PeerIds(pCont, TRUE, FALSE);
        for (UINT32 i = 0; i < head.numOfTgts; i++) {
            OstrelTgtReq_AddTgt elem;
            memcpy(&elem, pRec + sizeof(head) + (size_t)i * sizeof(elem), sizeof(elem));
            const Mos_RC one = elem.tgtId != 0 ? contCmd_AddTgt(pCont, &elem) : MOS_RC__ERROR;
            if (one != MOS_RC__SUCCESS && one != MOS_RC__ALREADY_EXISTS)
                rc = MOS_RC__ERROR;
        }
        if (bWrite)
            for (UINT64 id : contCmd_PeerIds(pCont, FALSE, TRUE))
                MOS_ASSERT(contCmd_RemTgtIntern(pCont, id, FALSE) == MOS_RC__SUCCESS);
    }
    contCmd_Unlock(pCont, bLocked, bWrite);
    return rc;
}
} // namespace

Mos_RC contCmd_AddTgt(Cont *pCont, const OstrelTgtReq_AddTgt *pElem)
{
    NetCon_RemoteHosts hosts = pElem->hosts;
    hosts.hostsCount = MOS_MIN(hosts.hostsCount, NET_CON__MAX_NUM_OF_IP_PER_HOST);
    hosts.maxNumHosts = NET_CON__MAX_NUM_OF_IP_PER_HOST;
    for (auto &host : hosts.hosts)
        host[NET_CON__MAX_HOST_NAME - 1] = '\0';
    const UINT64 id = pElem->tgtId;
    auto known = [&](ContTgt *pTgt) {
        pTgt->bMark = FALSE;
        contTgt_Validate(pTgt, pElem->hostGenNum, &hosts);
        contObj_ReleaseWriteLock(&pCont->objs, id, CONT_OBJ_TYPE__TGT);
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_MED, "%s %lx - %s rc = %s", "TgtId", (unsigned long)id, "Done",
                  mosRc_GetStr(MOS_RC__ALREADY_EXISTS));
        return MOS_RC__ALREADY_EXISTS;
    };
    if (ContTgt *pTgt = static_cast<ContTgt *>(contObj_AcquireWriteLock(&pCont->objs, id, CONT_OBJ_TYPE__TGT)))
        return known(pTgt);
    Mos_RC rc = MOS_RC__SUCCESS;
    if (ContTgt *pTgt = static_cast<ContTgt *>(contObj_AddStart(&pCont->objs, id, CONT_OBJ_TYPE__TGT, &rc)))
        return known(pTgt);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    auto *pTgt = static_cast<ContTgt *>(mos_MemCalloc(sizeof(ContTgt), sizeof(ContTgt), __func__, FALSE));
    contTgtMngr_TgtInit(&pCont->tgtMngr, pTgt, id, pElem->hostGenNum, &hosts);
    contObj_AddSyncDone(&pCont->objs, &pTgt->accessLock, id, CONT_OBJ_TYPE__TGT, pTgt, &pTgt->hashRecord);
    rc = contTgt_Add(pCont, pTgt, &hosts);
    contObj_AddDone(&pCont->objs, &pTgt->accessLock, id, CONT_OBJ_TYPE__TGT);
    if (rc != MOS_RC__SUCCESS)
        MOS_ASSERT(contCmd_RemTgtIntern(pCont, id, TRUE) == MOS_RC__SUCCESS);
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_MED, "%s %lx - %s rc = %s", "TgtId", (unsigned long)id, "Done",
              mosRc_GetStr(rc));
    return rc;
}

Mos_RC contCmd_RemTgtIntern(Cont *pCont, UINT64 tgtId, BOOL bRollback)
{
    ContTgt *pTgt = static_cast<ContTgt *>(contObj_Rem(&pCont->objs, tgtId, CONT_OBJ_TYPE__TGT));
    if (pTgt == nullptr) {
        MOS_ASSERT(!bRollback);
        return MOS_RC__NOT_FOUND;
    }
    if (!bRollback)
        contTgt_Rem(pTgt);
    contTgtMngr_TgtDestroy(&pCont->tgtMngr, pTgt);
    mos_MemFree(pTgt);
    return MOS_RC__SUCCESS;
}

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
        } else if (type == TGT_MSG_TYPE__RECONF_START || type == TGT_MSG_TYPE__RECONF_DONE) {
            rc = contCmd_Reconf(pCont, type, pPayload + kTgtIdSize, len - kTgtIdSize);
        } else if (type == TGT_MSG_TYPE__ADD_TGT) {
            rc = contCmd_AddTgtGroup(pCont, pPayload + kTgtIdSize, len - kTgtIdSize);
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
