#include "tgt/cmonitor/cmonitor.h"

#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_diag_counters.h"
#include "mos/mos_timer.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"
#include "mos/umt/mos_umt.h"
#include "tgt/cont/cont_root.h"
#include "tgt/cont/cont_tgt.h"
#include "tgt/tgt_conf.h"
#include "tgt/tgt_contention.h"
#include "tgt/tgt_sdbg.h"
#include "tgt/tgt_umt_class.h"

namespace {
constexpr size_t kMaxVectorBytes = sizeof(OstrelTgtNot_ConVector) + 4096 * sizeof(OstrelTgtNot_PeerConState);

void cmonitor_Round(ConMonitor *pMonitor)
{
    UINT32 len = 0;
    OstrelTgtNot_ConVector *pVec = cmonitor_BuildVector(pMonitor, &len);
    Mos_RC rc = MOS_RC__ERROR;
    if (pVec != nullptr) {
        rc = contOstrel_SendNotifRecord(pMonitor->pCont, CMONITOR_MSG_TYPE__CON_VECTOR, CMONITOR__OSTREL_RECV_GROUP,
                                        pVec, len);
        mos_MemFree(pVec);
    }
    pMonitor->stats.numMsgs++;
    if (rc == MOS_RC__SUCCESS) {
        pMonitor->stats.numGoodMsgs++;
        pMonitor->stats.lastGoodTime = mosTicks_GetCurrentTick();
        return;
    }
    MOS_DIAG_COUNT(CMATRIX_VECTOR_NOT_SENT);
    MOS_TRACE(MOS_COMP_TGT_CON_MONITOR, MOS_FREQ_MED, "Failed to send Connectivity Vector (tgtId=%lx)",
              (unsigned long)pMonitor->myTgtId);
}

void cmonitor_ThreadMain(void *pArg)
{
    ConMonitor *pMonitor = static_cast<ConMonitor *>(pArg);
    const MosTimerQ_ID q = mosTimer_GetClosestQ((UINT32)(tgtInitParam_G.conMonitorSleepBtwnMsgsInSec * 1000));
    MOS_TRACE(MOS_COMP_TGT_CON_MONITOR, MOS_FREQ_LOW, "Pellar Connectivity Monitor thread started (tgtId=%lx)",
              (unsigned long)pMonitor->myTgtId);
    while (!__atomic_load_n(&pMonitor->bStop, __ATOMIC_ACQUIRE)) {
        if (!__atomic_load_n(&pMonitor->bPaused, __ATOMIC_ACQUIRE))
            cmonitor_Round(pMonitor);
        mosUmt_SleepByQ(q);
    }
}
} // namespace

void cmonitor_Init(ConMonitor *pMonitor)
{
    memset(static_cast<void *>(pMonitor), 0, sizeof(*pMonitor));
    MOS_FASTLOCK_CREATE(&pMonitor->fastlock, TGT_CONTENTION__CON_MONITOR);
    pMonitor->bStop = TRUE;
    pMonitor->bPaused = TRUE;
    pMonitor->stats.initTime = mosTicks_GetCurrentTick();
    if (pTgtSdbg_g != nullptr)
        mosObjType_RegObj(&pTgtSdbg_g->conMonitorType, &pMonitor->sdbgObj, "Connectivity monitor");
}

void cmonitor_Start(ConMonitor *pMonitor, Cont *pCont, UINT64 tgtId)
{
    MOS_ASSERT(pMonitor->bStop && pMonitor->pCont == nullptr);
    {
        MosFastlockGuard guard(&pMonitor->fastlock);
        pMonitor->pCont = pCont;
        pMonitor->myTgtId = tgtId;
        pMonitor->vectorGenNum = 1;
        pMonitor->stats.startTime = mosTicks_GetCurrentTick();
        __atomic_store_n(&pMonitor->bPaused, FALSE, __ATOMIC_RELEASE);
        __atomic_store_n(&pMonitor->bStop, FALSE, __ATOMIC_RELEASE);
    }
    HMosUmt_UThread h = mosUmt_CreateUThreadEx(cmonitor_ThreadMain, pMonitor, nullptr, nullptr, FALSE,
                                               tgt_GetUmtClassId(MOS_UMT_CLASS_TYPE__TGT_CON_MONITOR));
    MOS_ASSERT(h != nullptr);
}

void cmonitor_Update(ConMonitor *pMonitor, UINT64 tgtId)
{
    MosFastlockGuard guard(&pMonitor->fastlock);
    pMonitor->myTgtId = tgtId;
    __atomic_store_n(&pMonitor->bPaused, FALSE, __ATOMIC_RELEASE);
}

void cmonitor_Pause(ConMonitor *pMonitor, BOOL bPause)
{
    MosFastlockGuard guard(&pMonitor->fastlock);
    __atomic_store_n(&pMonitor->bPaused, bPause, __ATOMIC_RELEASE);
    MOS_TRACE(MOS_COMP_TGT_CON_MONITOR, MOS_FREQ_LOW, "C-monitor paused %u", (unsigned)bPause);
}

OstrelTgtNot_ConVector *cmonitor_BuildVector(ConMonitor *pMonitor, UINT32 *pLen)
{
    MosFastlockGuard guard(&pMonitor->fastlock);
    ContTgtMngr *pMngr = cont_GetTgtMngr(pMonitor->pCont);
    contTgtMngr_Lock(pMngr);
    const UINT32 nPeers = contTgtMngr_GetNumOfTgts(pMngr);
    const size_t len = sizeof(OstrelTgtNot_ConVector) + (size_t)nPeers * sizeof(OstrelTgtNot_PeerConState);
    auto *pVec = static_cast<OstrelTgtNot_ConVector *>(mos_MemCalloc(len, kMaxVectorBytes, __func__, TRUE));
    if (pVec == nullptr) {
        contTgtMngr_Unlock(pMngr);
        return nullptr;
    }
    pVec->conStateStructSize = sizeof(OstrelTgtNot_PeerConState);
    pVec->nPeerTgts = nPeers;
    cont_GetAllPeersConState(pMonitor->pCont, pVec->conStateArr, nPeers);
    contTgtMngr_Unlock(pMngr);
    pVec->tgtId = pMonitor->myTgtId;
    pVec->conVectorGenNum = pMonitor->vectorGenNum++;
    for (UINT32 i = 0; i < nPeers; i++)
        if (!pVec->conStateArr[i].bConnected || pVec->conStateArr[i].bHiccups)
            pVec->nDisconnected++;
    *pLen = (UINT32)len;
    return pVec;
}

void cmonitor_Query(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    (void)pName;
    ConMonitor *pMonitor = MOS_CONTAINER_OF(pObj, ConMonitor, sdbgObj);
    ConMonitorQuery *pQ = static_cast<ConMonitorQuery *>(pData);
    MosFastlockGuard guard(&pMonitor->fastlock);
    memset(pQ, 0, sizeof(*pQ));
    pQ->myTgtId = pMonitor->myTgtId;
    pQ->vectorGenNum = pMonitor->vectorGenNum;
    pQ->bStop = (UINT32)pMonitor->bStop;
    pQ->bPaused = (UINT32)pMonitor->bPaused;
    pQ->numMsgs = pMonitor->stats.numMsgs;
    pQ->numGoodMsgs = pMonitor->stats.numGoodMsgs;
    pQ->initTime = pMonitor->stats.initTime;
    pQ->startTime = pMonitor->stats.startTime;
    pQ->lastGoodTime = pMonitor->stats.lastGoodTime;
}
