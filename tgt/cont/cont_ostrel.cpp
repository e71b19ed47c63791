#include "tgt/cont/cont_ostrel.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "mos/mos_trace.h"
#include "mos/umt/mos_umt.h"
#include "net/net_rpc.h"
#include "tgt/cont/cont_net.h"
#include "tgt/cont/cont_root.h"
#include "tgt/tgt_conf.h"
#include "tgt/tgt_sdbg.h"

namespace {
BOOL contOstrel_WriteRepository(UINT64 tgtId, UINT64 ostrelId)
{
    CHAR_A block[CONT_OSTREL__REP_BLOCK_SIZE] = {};
    snprintf(block, sizeof(block), "ostrelId=%lx,tgtId=%lx", (unsigned long)ostrelId, (unsigned long)tgtId);
    const CHAR_A *pName = contOstrel_RepositoryName();
    for (UINT32 i = 0; i < CONT_OSTREL__REP_WRITE_TRIES; i++) {
        mosUmt_Yield();
        const int fd = open(pName, O_CREAT | O_WRONLY, 0644);
        if (fd < 0)
            continue;
        const BOOL bWritten = pwrite(fd, block, sizeof(block), 0) == (ssize_t)sizeof(block) && fsync(fd) == 0;
        close(fd);
        if (bWritten)
            return TRUE;
    }
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Repository file %s not written, error %d", pName, errno);
    return FALSE;
}
} // namespace

const CHAR_A *contOstrel_RepositoryName(void)
{
    const CHAR_A *pName = tgtInitParam_G.repName;
    return pName[0] != '\0' ? pName : CONT_OSTREL__REP_DEFAULT_NAME;
}

void contOstrel_Init(ContOstrel *pOstrel, Cont *pCont)
{
    memset(static_cast<void *>(pOstrel), 0, sizeof(*pOstrel));
    kalive_Init(&pOstrel->kalive, pCont);
    cmonitor_Init(&pOstrel->conMonitor);
    raidSyncPool_Init(&pOstrel->syncPool, 0);
    pOstrel->bFirstConfig = TRUE;
    pOstrel->bSecurityEnabled = FALSE;
    mosUmtSem_Init(&pOstrel->secSem);
    mosUmtSem_IncInter(&pOstrel->secSem, 1, TRUE);
    if (pTgtSdbg_g != nullptr)
        mosObjType_RegObj(&pTgtSdbg_g->ostrelType, &pOstrel->sdbgObj, "Ostrel link");
}

// Read without a lock: the ids change only under the command lock, and a query may see one of
// an attach's two stores.
void contOstrel_Query(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    (void)pName;
    const ContOstrel *pOstrel = MOS_CONTAINER_OF(pObj, ContOstrel, sdbgObj);
    ContOstrelQuery q{};
    q.tgtId = __atomic_load_n(&pOstrel->tgtId, __ATOMIC_RELAXED);
    q.ostrelId = __atomic_load_n(&pOstrel->ostrelId, __ATOMIC_RELAXED);
    q.stage = __atomic_load_n(&pOstrel->stage, __ATOMIC_RELAXED);
    memcpy(pData, &q, sizeof(q));
}

Mos_RC contOstrel_ReadValuesFromRepository(Cont *pCont, UINT64 *pTgtId, UINT64 *pOstrelId)
{
    (void)pCont;
    const int fd = open(contOstrel_RepositoryName(), O_RDONLY);
    if (fd < 0)
        return MOS_RC__NOT_FOUND;
    CHAR_A block[CONT_OSTREL__REP_BLOCK_SIZE + 1] = {};
    const ssize_t n = pread(fd, block, CONT_OSTREL__REP_BLOCK_SIZE, 0);
    close(fd);
    unsigned long ostrelId = 0, tgtId = 0;
    if (n <= 0 || sscanf(block, "ostrelId=%lx,tgtId=%lx", &ostrelId, &tgtId) != 2)
        return MOS_RC__NO_RESULTS_RETURNED;
    *pTgtId = tgtId;
    *pOstrelId = ostrelId;
    return MOS_RC__SUCCESS;
}

Mos_RC contOstrel_ValidateOstrel(Cont *pCont, ContOstrel *pOstrel, UINT64 tgtId, UINT64 ostrelId,
                                 UINT64 *pKnownTgtId, UINT64 *pKnownOstrelId)
{
    *pKnownTgtId = pOstrel->tgtId;
    *pKnownOstrelId = pOstrel->ostrelId;
    if (tgtId == pOstrel->tgtId && ostrelId == pOstrel->ostrelId)
        return MOS_RC__ALREADY_EXISTS;
    if (pOstrel->tgtId == 0 && pOstrel->ostrelId == 0) {
        if (contOstrel_ReadValuesFromRepository(pCont, pKnownTgtId, pKnownOstrelId) != MOS_RC__SUCCESS)
            *pKnownTgtId = *pKnownOstrelId = 0;
        if (*pKnownTgtId == tgtId && *pKnownOstrelId == ostrelId)
            return MOS_RC__SUCCESS;
    }
    if (*pKnownTgtId == 0 && *pKnownOstrelId == 0)
        return MOS_RC__SUCCESS;
    const BOOL bBlocked = kalive_IsBlocked(&pOstrel->kalive);
    if (ostrelId == *pKnownOstrelId)
        return bBlocked ? MOS_RC__TGT_ALREADY_ATTACH_TO_THIS_OSTREL : MOS_RC__TGT_ACTIVE_ATTACH_TO_THIS_OSTREL;
    return bBlocked ? MOS_RC__TGT_ALREADY_ATTACH_TO_OTHER_OSTREL : MOS_RC__TGT_ACTIVE_ATTACH_TO_OTHER_OSTREL;
}

Mos_RC contOstrel_AddOstrel(ContOstrel *pOstrel, Cont *pCont, UINT64 tgtId, UINT64 ostrelId,
                            UINT32 keepaliveTimeoutMs, BOOL bNew, UINT64 knownTgtId, UINT64 knownOstrelId)
{
    if (tgtId != pOstrel->tgtId || ostrelId != pOstrel->ostrelId) {
        if (!bNew && knownTgtId == 0 && knownOstrelId == 0)
            return MOS_RC__NOT_FOUND;
        if ((tgtId != knownTgtId || ostrelId != knownOstrelId) && !contOstrel_WriteRepository(tgtId, ostrelId))
            return MOS_RC__ERROR;
    }
    pOstrel->tgtId = tgtId;
    pOstrel->ostrelId = ostrelId;
    if (pOstrel->bFirstConfig) {
        kalive_Start(&pOstrel->kalive, tgtId, keepaliveTimeoutMs);
        cmonitor_Start(&pOstrel->conMonitor, pCont, tgtId);
        pOstrel->bFirstConfig = FALSE;
    } else {
        kalive_Update(&pOstrel->kalive, tgtId, keepaliveTimeoutMs);
        cmonitor_Update(&pOstrel->conMonitor, tgtId);
    }
    return MOS_RC__SUCCESS;
}

Mos_RC contOstrel_RemOstrel(ContOstrel *pOstrel)
{
    Mos_RC rc = MOS_RC__ERROR;
    int err = 0;
    for (UINT32 i = 0; i < CONT_OSTREL__REP_REMOVE_TRIES && rc != MOS_RC__SUCCESS; i++) {
        if (unlink(contOstrel_RepositoryName()) == 0 || errno == ENOENT)
            rc = MOS_RC__SUCCESS;
        else
            err = errno;
    }
    if (rc != MOS_RC__SUCCESS)
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Remove local file failed, error %u (%s)", (unsigned)err,
                  strerror(err));
    pOstrel->tgtId = 0;
    pOstrel->ostrelId = 0;
    return rc;
}

Mos_RC contOstrel_SendRequest(Cont *pCont, NetRpcMsg *pMsg)
{
    const HNetCon hCon = cont_GetOstrelCon(pCont);
    if (hCon == NET_CON__INVALID_HCON)
        return MOS_RC__TIMEOUT;
    const Mos_RC rc = netRpc_SendRequestWithTO(cont_GetNetObj(pCont), hCon, pMsg, TRUE, MOS_TIMER_QUEUE_ID__1SEC);
    return rc == MOS_RC__SUCCESS ? (Mos_RC)pMsg->msgSnd.rpcRes.context : MOS_RC__TIMEOUT;
}

Mos_RC contOstrel_SendNotif(Cont *pCont, NetRpcMsg *pMsg)
{
    const HNetCon hCon = cont_GetOstrelCon(pCont);
    if (hCon == NET_CON__INVALID_HCON)
        return MOS_RC__NOT_CONN;
    return netRpc_SendNotification(cont_GetNetObj(pCont), hCon, pMsg, TRUE);
}

namespace {
template <typename SendFn>
Mos_RC contOstrel_SendRecord(Cont *pCont, NetMsgType kind, UINT32 msgType, UINT32 grpId, const void *pRec, UINT32 len,
                             SendFn send)
{
    NetRpcMsg msg;
    NetRpcData *pData = netMsgSndAsync_Init(&msg, cont_GetNetObj(pCont), kind, TRUE, nullptr);
    pData->context = msgType;
    pData->grpId = grpId;
    if (len != 0)
        netIov_AddBuffer(&pData->iov, const_cast<void *>(pRec), len, CONT_NET_BUF_TYPE__STATIC);
    const Mos_RC rc = send(pCont, &msg);
    contNet_DestroyMsg(pCont, &msg);
    return rc;
}
} // namespace

Mos_RC contOstrel_SendNotifRecord(Cont *pCont, UINT32 msgType, UINT32 grpId, const void *pRec, UINT32 len)
{
    return contOstrel_SendRecord(pCont, NET_MSG_TYPE__NOTIFICATION, msgType, grpId, pRec, len, contOstrel_SendNotif);
}

Mos_RC contOstrel_SendRequestRecord(Cont *pCont, UINT32 msgType, const void *pRec, UINT32 len)
{
    return contOstrel_SendRecord(pCont, NET_MSG_TYPE__SNDRCV, msgType, CONT_OSTREL__RECV_GROUP, pRec, len,
                                 contOstrel_SendRequest);
}

void contOstrel_RecvKeepAliveNotif(ContOstrel *pOstrel, NetRpcData *pReq)
{
    kalive_RecvNotif(&pOstrel->kalive, pReq);
}

BOOL contOstrel_IsBlocked(ContOstrel *pOstrel)
{
    return kalive_IsBlocked(&pOstrel->kalive);
}
