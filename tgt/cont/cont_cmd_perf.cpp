// Performance parameters and throttling. UPDATE_PERF_PARAMS validates every value together,
// applies the cheap ones at once and changes the receive groups' thread counts on a user-mode
// thread of its own after the command answered: fewer threads first, so the process never holds
// the old and the new count of a group at once. A second update while that thread runs is
// answered MOS_RC__UMT_NUM_UPDATE_IS_STUCK after the other values were applied.
//
// Throttling entries that break the rules below are refused (MOS_RC__INVALID) before any device
// is touched: they come from the Ostrel.
#include "mos/mos_timer.h"
#include "mos/mos_trace.h"
#include "mos/umt/mos_umt.h"
#include "mos/umt/mos_umt_sched_thrd.h"
#include "net/net.h"
#include "net/net_rcv_group.h"
#include "tgt/cont/cont.h"
#include "tgt/cont/cont_cmd_intrn.h"
#include "tgt/cont/cont_dev.h"
#include "tgt/phy/phy_dev_io.h"
#include "tgt/raid/raid_resync.h"
#include "tgt/tgt_conf.h"
#include "tgt/tgt_umt_class.h"

namespace {

constexpr UINT32 kMaxSocketBufferKb = 131072;
constexpr UINT32 kDefaultSocketBufferKb = 128;
constexpr UINT32 kMinSocketBufferKb = 64;
constexpr UINT32 kMinQuietPeriodMs = 10;
constexpr UINT32 kRecvGroupWaitMillis = 2000;
constexpr UINT32 kMaxPolls = 20;

template <class T> bool contCmd_In(T v, UINT64 lo, UINT64 hi)
{
    return v >= lo && v <= hi;
}

// One kind of copy (rebuild or rebalance).
bool contCmd_IsThrottleKindValid(UINT32 concurrent, UINT32 bwKb, UINT32 quietMs, UINT32 appIops, UINT32 appBwKb)
{
    if (bwKb != 0 && concurrent == 0)
        return false;
    if (bwKb == 0 && (quietMs != 0 || appIops != 0 || appBwKb != 0))
        return false;
    if (quietMs != 0 && (appIops == 0 || appBwKb == 0 || quietMs < kMinQuietPeriodMs))
        return false;
    return true;
}

// The record is packed: its counts are read by value, never through a member pointer.
struct ContCmdRecvGroupCount {
    UINT32 grpId;
    UINT16 (*pRequested)(const Tgt_PerformanceParamsV200 &);
    UINT16 TgtPerfParam::*pCurrent;
};
constexpr ContCmdRecvGroupCount kRecvGroupCounts[] = {
    {CONT_NET__RECV_GROUP__INI_IO, [](const Tgt_PerformanceParamsV200 &p) -> UINT16 { return p.threadIniIo; },
     &TgtPerfParam::threadIniIo},
    {CONT_NET__RECV_GROUP__TGT_IO_MAIN, [](const Tgt_PerformanceParamsV200 &p) -> UINT16 { return p.threadTgtIoMain; },
     &TgtPerfParam::threadTgtIoMain},
    {CONT_NET__RECV_GROUP__TGT_IO_COPY, [](const Tgt_PerformanceParamsV200 &p) -> UINT16 { return p.threadTgtIoCopy; },
     &TgtPerfParam::threadTgtIoCopy},
};

struct ContCmdUmtUpdateArg {
    Cont *pCont;
    Tgt_PerformanceParamsV200 params;
};

// Shrinks (bShrink) or grows the groups whose requested count moves that way.
void contCmd_ResizeRecvGroups(Cont *pCont, const Tgt_PerformanceParamsV200 &p, BOOL bShrink)
{
    for (const ContCmdRecvGroupCount &g : kRecvGroupCounts) {
        NetRecvGroup *pGroup = pCont->net.recvGroupArr[g.grpId];
        const UINT32 want = g.pRequested(p);
        const UINT32 cur = tgtPerfInitParam_G.*g.pCurrent;
        if (pGroup == nullptr || (bShrink ? want >= cur : want <= cur))
            continue;
        if (bShrink)
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Reducing maximum UMTs limit for RcvGrp %u from %u to %u",
                      g.grpId, cur, want);
        netRecvGroup_SetNumOfWorkers(pGroup, want);
        if (bShrink && netRecvGroup_IsRemoveInProgress(pGroup)) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Configuration of RcvGrp %u UMTs is in progress...", g.grpId);
            if (netRecvGroup_WaitForAllUmtRemoval(pGroup, kRecvGroupWaitMillis) != MOS_RC__SUCCESS) {
                MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Configuration of RcvGrp %u UMTs is taking too long!!!",
                          g.grpId);
                MOS_UNREACHABLE("a receive group did not shrink");
            }
        }
        tgtPerfInitParam_G.*g.pCurrent = (UINT16)want;
    }
}

// The network's workers, when the count moves that way; a change that does not settle within 20
// polls of 100 ms stops the process (the network would run with a count nobody chose).
void contCmd_ResizeNetWorkers(Cont *pCont, UINT32 want, BOOL bShrink)
{
    NetConfParam &net = tgtInitParam_G.netParam;
    const UINT32 cur = (UINT32)net.pollWorkers;
    // A controller built without its network has no workers to change.
    if (pCont->net.recvGroupArr[CONT_NET__RECV_GROUP__CONTROL] == nullptr || (bShrink ? want >= cur : want <= cur))
        return;
    const Mos_RC rc = net_ReSetNumOfNetWorkers(&pCont->net.net, want);
    if (rc != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "net_ReSetNumOfNetWorkers ReSet to %u returned %d", want, (int)rc);
        MOS_UNREACHABLE("the network refused a worker count in range");
    }
    for (UINT32 i = 0; net_IsNumberOfWorkersBeingConfigured(&pCont->net.net); i++) {
        if (i == kMaxPolls) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Configuration of net workers is stuck for too long");
            MOS_UNREACHABLE("network workers did not settle");
        }
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Configuration of net workers is in progress");
        mosUmt_SleepByQ(MOS_TIMER_QUEUE_ID__100MILLI);
    }
    net.pollWorkers = want;
}

// The copy pool, when its count moves that way. A worker leaves only once its copy ended, which
// may take long: a shrink that has not settled after 20 polls is traced, not a reason to stop the
// server, and the pool goes on shrinking as copies end.
void contCmd_ResizeCopyPool(UINT32 want, BOOL bShrink)
{
    const UINT32 cur = tgtPerfInitParam_G.threadCopyIo;
    if (bShrink ? want >= cur : want <= cur)
        return;
    if (RaidSyncPool *pPool = raidSyncPool_Get()) {
        MosUMT_UThreadPool *pThreads = &pPool->rebuildThreadPool;
        mosUmtPool_Resize(pThreads, want);
        for (UINT32 i = 0; bShrink && mosUmtPool_GetNumOfRemovePending(pThreads) != 0; i++) {
            if (i == kMaxPolls) {
                MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Configuration of copy io UMTs is stuck for too long");
                break;
            }
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Configuration of copy io UMTs is in progress");
            mosUmt_SleepByQ(MOS_TIMER_QUEUE_ID__100MILLI);
        }
    }
    tgtPerfInitParam_G.threadCopyIo = (UINT16)want;
}

void contCmd_UpdateUmtPerfParams_Async(void *pArg)
{
    auto *pUpd = static_cast<ContCmdUmtUpdateArg *>(pArg);
    Cont *pCont = pUpd->pCont;
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Decrease UMT resources ...");
    contCmd_ResizeNetWorkers(pCont, pUpd->params.numNetWorkerThreads, TRUE);
    contCmd_ResizeRecvGroups(pCont, pUpd->params, TRUE);
    contCmd_ResizeCopyPool(pUpd->params.threadCopyIo, TRUE);
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Increase UMT resources ...");
    contCmd_ResizeNetWorkers(pCont, pUpd->params.numNetWorkerThreads, FALSE);
    contCmd_ResizeRecvGroups(pCont, pUpd->params, FALSE);
    contCmd_ResizeCopyPool(pUpd->params.threadCopyIo, FALSE);
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Re-Configuring UMT resources completed !!!");
    delete pUpd;
    MosFastlockGuard g(&pCont->cmd.fastLock);
    MOS_ASSERT(pCont->cmd.updateUmtPerfParamCtx.bActive);
    pCont->cmd.updateUmtPerfParamCtx = {};
}

Mos_RC contCmd_UpdateUmtPerfParams(Cont *pCont, const Tgt_PerformanceParamsV200 &params)
{
    {
        MosFastlockGuard g(&pCont->cmd.fastLock);
        if (pCont->cmd.updateUmtPerfParamCtx.bActive) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW,
                      "Re-Configuring UMT resources is already active. ignoring this request !!!");
            return MOS_RC__UMT_NUM_UPDATE_IS_STUCK;
        }
        pCont->cmd.updateUmtPerfParamCtx.bActive = TRUE;
    }
    auto *pArg = new ContCmdUmtUpdateArg{pCont, params};
    HMosUmt_UThread hUmt = mosUmt_CreateUThreadEx(contCmd_UpdateUmtPerfParams_Async, pArg, nullptr, nullptr, FALSE,
                                                  tgt_GetUmtClassId(MOS_UMT_CLASS_TYPE__TGT_CFG));
    MOS_ASSERT(hUmt != nullptr);
    return MOS_RC__SUCCESS;
}

// Both sets of data-path buffers take the new multiplier before it is stored; a set that cannot
// answers the update with its code (the multiplier stays the old one).
Mos_RC contCmd_UpdateNumIoBuffs(Cont *pCont, UINT32 numIoBuffs)
{
    for (BOOL bPri : {TRUE, FALSE}) {
        const Mos_RC rc = rcacheNetBuf_Resize(bPri ? &pCont->cachePri : &pCont->cacheSec, numIoBuffs, bPri);
        if (rc != MOS_RC__SUCCESS) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "The %s I/O buffers were not resized to %u times: %s",
                      bPri ? "primary" : "secondary", numIoBuffs, mosRc_GetStr(rc));
            return rc;
        }
    }
    return MOS_RC__SUCCESS;
}

// The values that are cheap to change, at once; a failure's code, else 65.
Mos_RC contCmd_ApplyPerfParams(Cont *pCont, Tgt_PerformanceParamsV200 p)
{
    TgtPerfParam &cur = tgtPerfInitParam_G;
    NetConfParam &net = tgtInitParam_G.netParam;
    if (p.numIoBuffs != cur.numIoBuffs || pCont->bReconfigInProgress) {
        const Mos_RC rc = contCmd_UpdateNumIoBuffs(pCont, p.numIoBuffs);
        if (rc != MOS_RC__SUCCESS)
            return rc;
        cur.numIoBuffs = p.numIoBuffs;
    }
    if (p.numOfSocketsPerIpPellarToPellar != cur.numOfSocketsPerIpPellarToPellar) {
        contTgtMngr_UpdateNumOfSocketsOnAllTgts(&pCont->tgtMngr, p.numOfSocketsPerIpPellarToPellar);
        cur.numOfSocketsPerIpPellarToPellar = p.numOfSocketsPerIpPellarToPellar;
    }
    if (p.keepaliveTimeMs != cur.keepaliveTimeMs) {
        kalive_Update(&pCont->ostrel.kalive, cont_GetTgtId(pCont), p.keepaliveTimeMs);
        cmonitor_Update(&pCont->ostrel.conMonitor, cont_GetTgtId(pCont));
        cur.keepaliveTimeMs = p.keepaliveTimeMs;
    }
    if (p.recvBufferInKb != net.recvBufferInKb || p.sendBufferInKb != net.sendBufferInKb) {
        // Only a value that changes is corrected: an unchanged one is what the server runs with.
        auto fix = [](UINT32 *pKb, UINT64 curKb, const char *pName) {
            const UINT32 fixed = contCmd_FixSocketBufferKb(*pKb);
            if (*pKb == curKb || fixed == *pKb)
                return;
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Change pPerfParams->%s to %d", pName, (int)fixed);
            *pKb = fixed;
        };
        UINT32 recvKb = p.recvBufferInKb, sendKb = p.sendBufferInKb;
        fix(&recvKb, net.recvBufferInKb, "recvBufferInKb");
        fix(&sendKb, net.sendBufferInKb, "sendBufferInKb");
        p.recvBufferInKb = recvKb;
        p.sendBufferInKb = sendKb;
        const Mos_RC rc = net_SetSocketBufferSize(&pCont->net.net, p.sendBufferInKb, p.recvBufferInKb);
        if (rc != MOS_RC__SUCCESS) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "net_SetSocketBufferSize returned %d", (int)rc);
            return rc;
        }
        net.recvBufferInKb = p.recvBufferInKb;
        net.sendBufferInKb = p.sendBufferInKb;
    }
    // One network setting: set when it changes, stored only once the network took it.
    auto setNet = [&](UINT16 want, UINT64 *pNetValue, UINT16 *pPerfValue, Mos_RC (*set)(Net *, UINT64),
                      const char *pName) {
        if (want == *pNetValue)
            return MOS_RC__SUCCESS;
        const Mos_RC rc = set(&pCont->net.net, want);
        if (rc != MOS_RC__SUCCESS) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "%s returned %d", pName, (int)rc);
            return rc;
        }
        *pNetValue = want;
        *pPerfValue = want;
        return MOS_RC__SUCCESS;
    };
    Mos_RC rc = setNet(p.netAllocRcvBufferWaitMillis, &net.allocRcvBufferWaitMillis, &cur.netAllocRcvBufferWaitMillis,
                       net_SetAllocBufferWaitMillis, "net_SetAllocBufferWait");
    if (rc == MOS_RC__SUCCESS)
        rc = setNet(p.netBreakDoIOLoop, &net.breakDoIOLoop, &cur.netBreakDoIOLoop, net_SetBreakDoIOLoop,
                    "net_SetBreakDoIOLoop");
    if (rc != MOS_RC__SUCCESS)
        return rc;
    if (p.maxReqPerAsyncFile != cur.maxReqPerAsyncFile) {
        contDevMngr_SetFileMaxInflight(&pCont->devMngr, p.maxReqPerAsyncFile);
        cur.maxReqPerAsyncFile = p.maxReqPerAsyncFile;
    }
    if (p.umtOsThrds != cur.umtOsThrds) {
        Mos_RC rc = mosUmtSched_Resize(mosUmt_GetDefaultScheduler(), p.umtOsThrds);
        if (rc != MOS_RC__SUCCESS) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "mosUmtSched_Resize returned %d", (int)rc);
            return rc == MOS_RC__BUSY ? MOS_RC__UMT_NUM_UPDATE_IS_STUCK : rc;
        }
        cur.umtOsThrds = p.umtOsThrds;
    }
    return contCmd_UpdateUmtPerfParams(pCont, p);
}

} // namespace

UINT32 contCmd_FixSocketBufferKb(UINT32 requestedKb)
{
    if (requestedKb == 0)
        return kDefaultSocketBufferKb;
    return requestedKb < kMinSocketBufferKb ? kMinSocketBufferKb : requestedKb;
}

BOOL contCmd_ArePerfParamsInRange(const Tgt_PerformanceParamsV200 *pParams)
{
    const Tgt_PerformanceParamsV200 p = *pParams;
    const bool bInRange = contCmd_In(p.numOfSocketsPerIpPellarToPellar, 1, 8) &&
                          contCmd_In(p.keepaliveTimeMs, 2000, 3600000) && contCmd_In(p.numNetWorkerThreads, 2, 16) &&
                          p.recvBufferInKb <= kMaxSocketBufferKb && p.sendBufferInKb <= kMaxSocketBufferKb &&
                          contCmd_In(p.maxReqPerAsyncFile, 1, 2000) && contCmd_In(p.threadIniIo, 100, 500) &&
                          contCmd_In(p.threadTgtIoMain, 100, 500) && contCmd_In(p.threadTgtIoCopy, 100, 164) &&
                          contCmd_In(p.threadCopyIo, 100, 164) && contCmd_In(p.umtOsThrds, 1, 32) &&
                          contCmd_In(p.numIoBuffs, 1, 10) && contCmd_In(p.netAllocRcvBufferWaitMillis, 100, 10000) &&
                          p.netBreakDoIOLoop <= 100;
    if (!bInRange) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "One of the values of the parameters is out of its legal boundaries");
        return FALSE;
    }
    if (p.umtOsThrds < p.numNetWorkerThreads) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW,
                  "The requested num of net workers is %u, the requested num of os threads is %u",
                  (unsigned)p.numNetWorkerThreads, (unsigned)p.umtOsThrds);
        return FALSE;
    }
    return TRUE;
}

BOOL contCmd_ValidateThrottlingInfo(const OstrelTgtThrottlingInfo *pInfo)
{
    const OstrelTgtThrottlingInfo t = *pInfo;
    return contCmd_IsThrottleKindValid(t.rebuildConcurrentIOLimit, t.rebuildBWLimitKB, t.rebuildQuietPeriodMs,
                                       t.rebuildAppIopsPerDeviceThreshold, t.rebuildAppBwPerDeviceThresholdKB) &&
           contCmd_IsThrottleKindValid(t.rebalanceConcurrentIOLimit, t.rebalanceBWLimitKB, t.rebalanceQuietPeriodMs,
                                       t.rebalanceAppIopsPerDeviceThreshold,
                                       t.rebalanceAppBwPerDeviceThresholdKB);
}

Mos_RC contCmd_UpdatePerfParamsCmd(ContCmdCtx *pCtx)
{
    Cont *pCont = pCtx->pCont;
    const auto p = contCmd_RecAt<Tgt_PerformanceParamsV200>(pCtx, 0);
    MOS_ASSERT_SUCCESS(mosUmtSem_DecTimed(&pCont->handleUpdatePerfParamsRequestSem, 1, 0));
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW,
              "Update Perf Params: numOfSocketsPerIpPellarToPellar = %u, keepaliveTimeMs = %u, numNetWorkerThreads = "
              "%u, recvBufferInKb = %u, sendBufferInKb = %u, maxReqPerAsyncFile = %u, threadIniIo = %u, "
              "threadTgtIoMain = %u, threadTgtIoCopy = %u, threadCopyIo = %u, umtOsThrds = %u, numIoBuffs = %u, "
              "netAllocRcvBufferWaitMillis = %u, netBreakDoIOLoop = %u",
              (unsigned)p.numOfSocketsPerIpPellarToPellar, (unsigned)p.keepaliveTimeMs,
              (unsigned)p.numNetWorkerThreads, (unsigned)p.recvBufferInKb, (unsigned)p.sendBufferInKb,
              (unsigned)p.maxReqPerAsyncFile, (unsigned)p.threadIniIo, (unsigned)p.threadTgtIoMain,
              (unsigned)p.threadTgtIoCopy, (unsigned)p.threadCopyIo, (unsigned)p.umtOsThrds, (unsigned)p.numIoBuffs,
              (unsigned)p.netAllocRcvBufferWaitMillis, (unsigned)p.netBreakDoIOLoop);
    Mos_RC rc;
    if (!contCmd_ArePerfParamsInRange(&p)) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Invalid parameters");
        rc = MOS_RC__INVALID_PERFORMANCE_PARAMETER;
    } else {
        rc = contCmd_ApplyPerfParams(pCont, p);
    }
    tgtConf_UpdatePerfParamsQuery(&tgtPerfInitParam_G, &tgtInitParam_G.netParam);
    mosUmtSem_IncInter(&pCont->handleUpdatePerfParamsRequestSem, 1, TRUE);
    return rc;
}

Mos_RC contCmd_UpdateThrottleConfCmd(ContCmdCtx *pCtx)
{
    const auto head = contCmd_RecAt<OstrelTgtReq_UpdateThrottleConf>(pCtx, 0);
    for (UINT32 i = 0; i < head.numDevs; i++) {
        const auto e =
            contCmd_RecAt<OstrelTgt_DevThrottleConf>(pCtx, sizeof(head) + (UINT64)i * sizeof(OstrelTgt_DevThrottleConf));
        const OstrelTgtThrottlingInfo &t = e.throttleConf;
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW,
                  "Throttling info: Dev id: %016lx  rebuildConcurrentIOLimit=%u, rebalanceConcurrentIOLimit=%u, "
                  "rebuildBWLimitKB=%u, rebalanceBWLimitKB=%u, rebuildQuietPeriodMs=%u, rebalanceQuietPeriodMs=%u, "
                  "rebuildAppIopsPerDeviceThreshold=%u, rebalanceAppIopsPerDeviceThreshold=%u, "
                  "rebuildAppBwPerDeviceThresholdKB=%u, rebalanceAppBwPerDeviceThresholdKB=%u",
                  (unsigned long)e.devId, t.rebuildConcurrentIOLimit, t.rebalanceConcurrentIOLimit, t.rebuildBWLimitKB,
                  t.rebalanceBWLimitKB, t.rebuildQuietPeriodMs, t.rebalanceQuietPeriodMs,
                  t.rebuildAppIopsPerDeviceThreshold, t.rebalanceAppIopsPerDeviceThreshold,
                  t.rebuildAppBwPerDeviceThresholdKB, t.rebalanceAppBwPerDeviceThresholdKB);
        if (!contCmd_ValidateThrottlingInfo(&t))
            return MOS_RC__INVALID;
    }
    // Entries in order: an unknown device stops the list there, the earlier ones stay applied.
    Cont *pCont = pCtx->pCont;
    for (UINT32 i = 0; i < head.numDevs; i++) {
        const auto e =
            contCmd_RecAt<OstrelTgt_DevThrottleConf>(pCtx, sizeof(head) + (UINT64)i * sizeof(OstrelTgt_DevThrottleConf));
        ContDev *pDev = cont_AcquireContDev(pCont, e.devId);
        if (pDev == nullptr) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Throttling info: no device %016lx", (unsigned long)e.devId);
            return MOS_RC__NOT_FOUND;
        }
        PhyDevThrottlingInfo info = contCmd_PhyThrottling(e.throttleConf);
        if (pDev->pPhyDev != nullptr)
            phyDev_UpdateDevThrottlingConf(pDev->pPhyDev, &info);
        cont_ReleaseContDev(pCont, e.devId);
    }
    return MOS_RC__SUCCESS;
}
