// The Ostrel's queries, the network and device tests, the oscillation counters and the
// self-test. Most hand the work to a manager and answer its code; the server counters and the
// oscillation counters answers are built here.
//
// Every request value that a manager or the runtime would meet with a stop of the process (an
// unsupported counter count, a self-test command or mask outside its rules, a synchronous device
// test that could outlive the command timer) is refused here with MOS_RC__INVALID and no change:
// the values come from the network.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"
#include "tgt/cont/cont.h"
#include "tgt/cont/cont_cmd_intrn.h"
#include "tgt/cont/cont_cmd_query_rec.h"
#include "tgt/cont/cont_comb.h"
#include "tgt/cont/cont_dev.h"
#include "tgt/cont/cont_tgt.h"
#include "tgt/cont/cont_vtree.h"

namespace {

// A synchronous device test runs on the command's thread, under the 5-minute command timer: its
// time limits together must leave room for the results and the answer.
constexpr UINT32 kSyncDiskTestMaxSeconds = 240;

constexpr MosOscCnt_CounterType kTgtOscCntTypes[NUM_TGT_OSC_CNT_TYPES] = {
    MosOscCnt_CounterType(2),  MosOscCnt_CounterType(6),  MosOscCnt_CounterType(10), MosOscCnt_CounterType(14),
    MosOscCnt_CounterType(18), MosOscCnt_CounterType(22), MosOscCnt_CounterType(26), MosOscCnt_CounterType(27),
    MosOscCnt_CounterType(30), MosOscCnt_CounterType(31), MosOscCnt_CounterType(32), MosOscCnt_CounterType(33),
    MosOscCnt_CounterType(34)};

// A zeroed heap buffer of len bytes appended to the response, for the caller to fill.
void *contCmd_AppendNew(NetRpcData *pRes, UINT32 len)
{
    void *p = mos_MemCalloc(len, len, __func__, FALSE);
    netIov_AddBuffer(&pRes->iov, p, len, CONT_NET_BUF_TYPE__NET_ALLOC);
    return p;
}

void contCmd_TraceStep(const CHAR_A *pStep, UINT64 id, Mos_RC rc)
{
    // The start at medium level, the end at high level when it went well.
    const bool bStart = strcmp(pStep, "Start") == 0;
    const MosTraceFrequency freq = !bStart && rc == MOS_RC__SUCCESS ? MOS_FREQ_HIGH : MOS_FREQ_MED;
    MOS_TRACE(MOS_COMP_TGT_CONT, freq, "%s %lx - %s rc = %s", "", (unsigned long)id, pStep,
              (UINT32)rc >= (UINT32)MOS_RC__LAST ? "MOS_RC__UNKNOWN" : mosRc_GetStr(rc));
}

UINT32 contCmd_NumDevs(Cont *pCont)
{
    return contMngr_Count(&pCont->devMngr.devs);
}

// A per-device answer: a head {numDevs, entry size} and the manager's entries.
template <class E, class Fill> Mos_RC contCmd_PerDevAnswer(ContCmdCtx *pCtx, Fill fill)
{
    const UINT32 room = std::min<UINT32>(contCmd_NumDevs(pCtx->pCont), 0xFF);
    std::vector<E> entries(room);
    const UINT32 n = room != 0 ? fill(entries.data(), room) : 0;
    const OstrelTgtRsp_TgtDevHead head{(UINT8)n, (UINT32)sizeof(E)};
    contCmd_AppendAnswer(pCtx->pRes, &head, sizeof(head));
    if (n != 0)
        contCmd_AppendAnswer(pCtx->pRes, entries.data(), n * (UINT32)sizeof(E));
    return MOS_RC__SUCCESS;
}

// A heap answer of a manager, handed over to the response.
Mos_RC contCmd_AppendHeap(ContCmdCtx *pCtx, Mos_RC rc, UINT8 *pAnswer, UINT32 len)
{
    if (rc == MOS_RC__SUCCESS && pAnswer != nullptr)
        netIov_AddBuffer(&pCtx->pRes->iov, pAnswer, len, CONT_NET_BUF_TYPE__NET_ALLOC);
    else if (pAnswer != nullptr)
        mos_MemFree(pAnswer);
    return rc;
}

struct ContCmdDiskTestReq {
    UINT32 numDevs;
    UINT32 numTests;
    const ContDevDiskTestDev *pDevs;
    std::vector<ContDevDiskTestParam> params;
};

ContCmdDiskTestReq contCmd_ReadDiskTest(ContCmdCtx *pCtx)
{
    const auto head = contCmd_RecAt<OstrelTgtReq_StartDevTest>(pCtx, 0);
    ContCmdDiskTestReq r{head.numDevs, head.numTestsPerDev,
                         reinterpret_cast<const ContDevDiskTestDev *>(pCtx->pRec + sizeof(head)), {}};
    const UINT64 paramsOff = sizeof(head) + (UINT64)head.numDevs * sizeof(ContDevDiskTestDev);
    r.params.resize(head.numTestsPerDev);
    for (UINT32 i = 0; i < head.numTestsPerDev; i++)
        r.params[i] = contCmd_RecAt<ContDevDiskTestParam>(pCtx, paramsOff + (UINT64)i * sizeof(ContDevDiskTestParam));
    return r;
}

Mos_RC contCmd_DiskTest(ContCmdCtx *pCtx, const ContCmdDiskTestReq &r, BOOL bSync)
{
    const UINT64 firstId = r.numDevs != 0 ? r.pDevs[0].devId : 0;
    contCmd_TraceStep("Start", firstId, MOS_RC__SUCCESS);
    const Mos_RC rc = contDevMngr_DiskTest(&pCtx->pCont->devMngr, r.pDevs, r.numDevs, r.params.data(), r.numTests,
                                           bSync);
    contCmd_TraceStep("Done", firstId, rc);
    return rc;
}

Mos_RC contCmd_GetTgtDiskTest(ContCmdCtx *pCtx, const ContDevDiskTestDev *pDevs, UINT32 numDevs)
{
    const UINT64 firstId = numDevs != 0 ? pDevs[0].devId : 0;
    contCmd_TraceStep("Start", firstId, MOS_RC__SUCCESS);
    std::vector<UINT8> answer(sizeof(ContDevDiskTestRspHead) + 2ull * CONT_DEV__DISK_TEST_RESULT_SIZE * numDevs);
    const Mos_RC rc = contDevMngr_GetDiskTest(&pCtx->pCont->devMngr, pDevs, numDevs, answer.data());
    if (rc == MOS_RC__SUCCESS)
        contCmd_AppendAnswer(pCtx->pRes, answer.data(), (UINT32)answer.size());
    contCmd_TraceStep("Done", firstId, rc);
    return rc;
}

const CHAR_A *contCmd_OscTypeName(UINT32 type)
{
    return type < MOS_OSC_CNT_TYPE__LAST ? MOS_OSC_CNT_TYPE_STRINGS[type] : "OSC_CNT_TYPE_UNKNOWN";
}

void contCmd_UpdateOscCountersIntrn(Cont *pCont, const OstrelTgtReq_OscCounterParams *pEntries, UINT32 numCntrs,
                                    const UINT64 *pDevIds, UINT32 numDevs, BOOL bResetAll)
{
    for (UINT32 i = 0; i < numCntrs; i++) {
        const OstrelTgtReq_OscCounterParams &e = pEntries[i];
        const auto type = (MosOscCnt_CounterType)e.counterType;
        const BOOL bReset = e.shouldReset != 0;
        switch (e.counterType) {
        case 2: case 6: case 10: case 14: case 18: case 22:
            contTgtMngr_UpdateOscCounter(&pCont->tgtMngr, type, bReset, &e.counterParams);
            break;
        case 26: case 27:
            contDevMngr_UpdateOscCounter(pCont, pDevIds, numDevs, bResetAll, type, e.counterParams.windowParams,
                                         bReset);
            break;
        case 30: case 31: case 32: case 33: case 34: {
            ContOscCntUpdateParams p{};
            p.type = type;
            p.bReset = bReset;
            memcpy(p.windowParams, e.counterParams.windowParams, sizeof(p.windowParams));
            cont_UpdateOscCounter(pCont, &p);
            break;
        }
        default:
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_MED, "Unsupported Counter Type %d", (int)e.counterType);
            break;
        }
    }
}

const CHAR_A *contCmd_GetSelfTestCmdDesc(UINT32 cmd)
{
    switch (cmd) {
    case TGT_SELF_TEST_CMD__RCACHE:
        return "RCache";
    case TGT_SELF_TEST_CMD__MEM_POOL_STATE:
        return "Mem Pool State";
    default:
        return "Last";
    }
}

// The pools' states the Ostrel expects; a pool in another state is traced and makes the answer a
// failure: a state the Ostrel did not expect is its finding, not a reason to stop serving.
BOOL contCmd_SelfTestMemPoolState(Cont *pCont, UINT32 unusedMask, UINT32 emptyMask)
{
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "emptyMaskAll=%x, unusedMaskAll=%x", emptyMask, unusedMask);
    const UINT32 either = unusedMask | emptyMask;
    BOOL bOk = TRUE;
    if ((either & TGT_SELF_TEST_POOL__NET_BUF_PRI) != 0)
        bOk &= rcacheNetBuf_IsMemPoolState(&pCont->cachePri, (emptyMask & TGT_SELF_TEST_POOL__NET_BUF_PRI) != 0);
    if ((either & TGT_SELF_TEST_POOL__NET_BUF_SEC) != 0)
        bOk &= rcacheNetBuf_IsMemPoolState(&pCont->cacheSec, (emptyMask & TGT_SELF_TEST_POOL__NET_BUF_SEC) != 0);
    const UINT32 freeCtx = mosMemPool_GetNumOfFreeEntries(&pCont->ioCtxPool);
    if ((emptyMask & TGT_SELF_TEST_POOL__MSG_CTX) != 0 && freeCtx != 0)
        bOk = FALSE;
    if ((unusedMask & TGT_SELF_TEST_POOL__MSG_CTX) != 0 && mosMemPool_GetSize(&pCont->ioCtxPool) - 1 != freeCtx)
        bOk = FALSE;
    if (!bOk)
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "SelfTest failed: pools not in the expected state (%u I/O contexts free)",
                  freeCtx);
    return bOk;
}

} // namespace

Mos_RC contCmd_GetTgtDevLatencyBwcCmd(ContCmdCtx *pCtx)
{
    return contCmd_PerDevAnswer<OstrelTgtRsp_DevLatencyBwc>(pCtx, [&](OstrelTgtRsp_DevLatencyBwc *p, UINT32 room) {
        return contDevMngr_GetTgtDevLatencyBwc(&pCtx->pCont->devMngr, p, room);
    });
}

Mos_RC contCmd_GetTgtDevIoBwcCmd(ContCmdCtx *pCtx)
{
    return contCmd_PerDevAnswer<OstrelTgtRsp_DevIoBwc>(pCtx, [&](OstrelTgtRsp_DevIoBwc *p, UINT32 room) {
        std::vector<UINT64> ids(room);
        return contDevMngr_GetTgtDevIoBwc(&pCtx->pCont->devMngr, p, ids.data(), room);
    });
}

Mos_RC contCmd_GetTgtDevCapacityCmd(ContCmdCtx *pCtx)
{
    const UINT32 room = contCmd_NumDevs(pCtx->pCont);
    std::vector<OstrelTgtRsp_DevCapacity> entries(room);
    const UINT32 n = room != 0 ? contDevMngr_GetTgtDevCapacity(&pCtx->pCont->devMngr, entries.data(), room) : 0;
    const ContDevCapacityRspHead head{n, (UINT32)sizeof(OstrelTgtRsp_DevCapacity)};
    contCmd_AppendAnswer(pCtx->pRes, &head, sizeof(head));
    if (n != 0)
        contCmd_AppendAnswer(pCtx->pRes, entries.data(), n * (UINT32)sizeof(OstrelTgtRsp_DevCapacity));
    return MOS_RC__SUCCESS;
}

Mos_RC contCmd_GetDevLatencyBwcCmd(ContCmdCtx *pCtx)
{
    Cont *pCont = pCtx->pCont;
    const UINT64 devId = contCmd_RecAt<OstrelTgtReq_DevBwc>(pCtx, 0).devId;
    ContDev *pDev = cont_AcquireContDev(pCont, devId);
    if (pDev == nullptr)
        return MOS_RC__NOT_FOUND;
    auto *pAns = static_cast<OstrelTgtRsp_DevLatencyBwc *>(contCmd_AppendNew(pCtx->pRes, sizeof(OstrelTgtRsp_DevLatencyBwc)));
    contDev_GetLatencyBwc(pDev, pAns);
    cont_ReleaseContDev(pCont, devId);
    return MOS_RC__SUCCESS;
}

Mos_RC contCmd_GetTgtNetBwcCmd(ContCmdCtx *pCtx)
{
    UINT8 *p = nullptr;
    UINT32 len = 0;
    const Mos_RC rc = contTgtMngr_GetNetBwc(&pCtx->pCont->tgtMngr, &p, &len);
    return contCmd_AppendHeap(pCtx, rc, p, len);
}

Mos_RC contCmd_GetTgtConStateCmd(ContCmdCtx *pCtx)
{
    UINT8 *p = nullptr;
    UINT32 len = 0;
    const Mos_RC rc = contTgtMngr_GetTgtConState(&pCtx->pCont->tgtMngr, &p, &len);
    return contCmd_AppendHeap(pCtx, rc, p, len);
}

Mos_RC contCmd_NetTestCmd(ContCmdCtx *pCtx)
{
    const auto rec = contCmd_RecAt<OstrelTgtReq_NetTest>(pCtx, 0);
    contCmd_TraceStep("Start", 0, MOS_RC__SUCCESS);
    const Mos_RC rc = contTgtMngr_NetTest(&pCtx->pCont->tgtMngr, (UINT64)rec.networkTestSizeGb << 21, rec.parallelIOs,
                                          rec.networkTestLengthMilli);
    contCmd_TraceStep("Done", 0, rc);
    return rc;
}

Mos_RC contCmd_GetNetTestCmd(ContCmdCtx *pCtx)
{
    OstrelTgtRsp_NetTest *pRes = nullptr;
    UINT32 n = 0;
    const Mos_RC rc = contTgtMngr_GetNetTest(&pCtx->pCont->tgtMngr, &pRes, &n);
    if (rc == MOS_RC__SUCCESS) {
        const OstrelTgtRsp_GetNetTest head{n, (UINT32)sizeof(OstrelTgtRsp_NetTest)};
        contCmd_AppendAnswer(pCtx->pRes, &head, sizeof(head));
        if (n != 0)
            contCmd_AppendAnswer(pCtx->pRes, pRes, n * (UINT32)sizeof(OstrelTgtRsp_NetTest));
    }
    if (pRes != nullptr)
        mos_MemFree(pRes);
    return rc;
}

Mos_RC contCmd_DiskTestCmd(ContCmdCtx *pCtx)
{
    return contCmd_DiskTest(pCtx, contCmd_ReadDiskTest(pCtx), FALSE);
}

Mos_RC contCmd_GetDiskTestCmd(ContCmdCtx *pCtx)
{
    const auto head = contCmd_RecAt<OstrelTgtReq_QueryDevTest>(pCtx, 0);
    return contCmd_GetTgtDiskTest(pCtx, reinterpret_cast<const ContDevDiskTestDev *>(pCtx->pRec + sizeof(head)),
                                  head.numDevs);
}

Mos_RC contCmd_DiskTestSyncCmd(ContCmdCtx *pCtx)
{
    const ContCmdDiskTestReq r = contCmd_ReadDiskTest(pCtx);
    // The test runs on this thread while the command lock is held: without a time limit, or with
    // limits that add up to the command timer, it would stop the process instead of answering.
    UINT64 seconds = 0;
    BOOL bBounded = r.numTests != 0;
    for (const ContDevDiskTestParam &p : r.params) {
        bBounded = bBounded && p.limitInSeconds != 0;
        seconds += p.limitInSeconds;
    }
    if (!bBounded || seconds > kSyncDiskTestMaxSeconds) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Synchronous disk test refused: %u sets, %lu seconds", r.numTests,
                  (unsigned long)seconds);
        return MOS_RC__INVALID;
    }
    const Mos_RC rc = contCmd_DiskTest(pCtx, r, TRUE);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    return contCmd_GetTgtDiskTest(pCtx, r.pDevs, r.numDevs);
}

Mos_RC contCmd_GetVteeDelGenCmd(ContCmdCtx *pCtx)
{
    contCmd_TraceStep("Start", 0, MOS_RC__SUCCESS);
    const Mos_RC rc = contVtreeMngr_GetVteeDelGen(
        &pCtx->pCont->vtreeMngr, reinterpret_cast<const OstrelTgtReq_QueryVtreeDelGen *>(pCtx->pRec), pCtx->recLen,
        pCtx->pRes);
    contCmd_TraceStep("Done", 0, rc);
    return rc;
}

Mos_RC contCmd_GetVteeUsageCmd(ContCmdCtx *pCtx)
{
    const auto rec = contCmd_RecAt<OstrelTgtReq_QueryVtreeSize>(pCtx, 0);
    const Mos_RC rc = contVtreeMngr_GetVteeUsage(&pCtx->pCont->vtreeMngr, &rec, pCtx->pRes);
    contCmd_TraceStep("Done", rec.vtreeId, rc);
    return rc;
}

Mos_RC contCmd_GetCombStatsCmd(ContCmdCtx *pCtx)
{
    return contCombMngr_GetCombStats(&pCtx->pCont->combMngr, pCtx->pRes);
}

Mos_RC contCmd_GetCountersCmd(ContCmdCtx *pCtx)
{
    Cont *pCont = pCtx->pCont;
    const UINT32 room = contCmd_NumDevs(pCont);
    std::vector<OstrelTgtRsp_DevCounters> devs(room);
    const UINT32 n = room != 0 ? contDevMngr_GetTgtDevCounters(&pCont->devMngr, devs.data(), room) : 0;
    const UINT32 len = (UINT32)sizeof(OstrelTgtRsp_TgtCounters) + n * (UINT32)sizeof(OstrelTgtRsp_DevCounters);
    auto *pAns = static_cast<UINT8 *>(contCmd_AppendNew(pCtx->pRes, len));
    auto *pHead = reinterpret_cast<OstrelTgtRsp_TgtCounters *>(pAns);
    pHead->numDevs = n;
    pHead->devStructSize = sizeof(OstrelTgtRsp_DevCounters);
    if (n != 0)
        memcpy(pAns + sizeof(OstrelTgtRsp_TgtCounters), devs.data(), n * sizeof(OstrelTgtRsp_DevCounters));
    OstrelTgtRsp_RAMCacheCounters cache{};
    rcache_GetCounters(&pCont->readCache, &cache);
    pHead->cacheCounters = cache;
    OstrelTgtRsp_FlcacheDevCounters flDevs[CONT_CMD__MAX_FLCACHE_DEVS] = {};
    UINT32 numFl = 0;
    flcache_GetCacheCounters(&pCont->flcache, flDevs, &numFl);
    pHead->numFlcacheDevs = std::min(numFl, CONT_CMD__MAX_FLCACHE_DEVS);
    memcpy(pHead->flcacheDevCounters, flDevs, sizeof(flDevs));
    OstrelTgtRsp_FlcachePoolCounters pool{};
    flcache_GetCachePoolCounters(&pCont->flcache, &pool);
    pHead->flcachePoolCounters = pool;
    return MOS_RC__SUCCESS;
}

Mos_RC contCmd_UpdateOscCountersCmd(ContCmdCtx *pCtx)
{
    Cont *pCont = pCtx->pCont;
    const auto rec = contCmd_RecAt<OstrelTgtReq_UpdateOscCounter>(pCtx, 0);
    if (rec.resetAllCntrs != 0) {
        for (MosOscCnt_CounterType type : kTgtOscCntTypes) {
            OstrelTgtReq_OscCounterParams e{};
            e.counterType = type;
            e.shouldReset = 1;
            contCmd_UpdateOscCountersIntrn(pCont, &e, 1, nullptr, 0, TRUE);
        }
        return MOS_RC__SUCCESS;
    }
    if (rec.numCntrs == 0 || rec.numCntrs > NUM_TGT_OSC_CNT_TYPES) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Update oscillating counters refused: %u counters", rec.numCntrs);
        return MOS_RC__INVALID;
    }
    for (UINT32 i = 0; i < rec.numCntrs; i++) {
        const OstrelTgtReq_OscCounterParams &e = rec.cntrParams[i];
        const MosOscCnt_WindowParams *w = e.counterParams.windowParams;
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_MED,
                  "Update oscillating counters parameters: Counter type=%s short window: size=%u threshold=%u medium "
                  "window: size=%u threshold=%u long window: size=%u threshold=%u",
                  contCmd_OscTypeName(e.counterType), w[0].sizeInSec, w[0].threshold, w[1].sizeInSec, w[1].threshold,
                  w[2].sizeInSec, w[2].threshold);
    }
    std::vector<UINT64> devIds(rec.numDevs);
    for (UINT32 i = 0; i < rec.numDevs; i++)
        devIds[i] = contCmd_RecAt<UINT64>(pCtx, sizeof(rec) + (UINT64)i * sizeof(UINT64));
    contCmd_UpdateOscCountersIntrn(pCont, rec.cntrParams, rec.numCntrs, devIds.data(), rec.numDevs, FALSE);
    return MOS_RC__SUCCESS;
}

Mos_RC contCmd_GetOscCountersCmd(ContCmdCtx *pCtx)
{
    Cont *pCont = pCtx->pCont;
    const UINT64 delta = contCmd_RecAt<OstrelTgtReq_GetOscCounter>(pCtx, 0).timeDeltaInMillis;
    // One slot beyond the answer's room tells an overflow from a full answer.
    constexpr UINT32 kRoom = MOS_OSC_CNT__MAX_COUNTERS_PER_TGT + 1;
    std::vector<MosOscCnt_QueryCounter> cnts(kRoom);
    UINT32 n = cont_GatherOscCounters(pCont, cnts.data(), kRoom, delta);
    n += contTgtMngr_GatherOscCounters(&pCont->tgtMngr, cnts.data() + n, kRoom - n, delta);
    n += contDevMngr_GatherOscCounters(&pCont->devMngr, cnts.data() + n, kRoom - n, delta);
    MOS_ASSERT(n <= kRoom);
    qsort(cnts.data(), n, sizeof(MosOscCnt_QueryCounter), mosOscCnt_CompareCnts);
    if (n > MOS_OSC_CNT__MAX_COUNTERS_PER_TGT) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Oscillating counters overflow: more than %u changed, answer capped",
                  MOS_OSC_CNT__MAX_COUNTERS_PER_TGT);
        n = MOS_OSC_CNT__MAX_COUNTERS_PER_TGT;
    }
    const UINT32 len = (UINT32)sizeof(OstrelTgtRsp_GetOscCounters) + n * (UINT32)sizeof(MosOscCnt_QueryCounter);
    auto *pAns = static_cast<UINT8 *>(contCmd_AppendNew(pCtx->pRes, len));
    memcpy(pAns, &n, sizeof(n));
    if (n != 0)
        memcpy(pAns + sizeof(OstrelTgtRsp_GetOscCounters), cnts.data(), n * sizeof(MosOscCnt_QueryCounter));
    return MOS_RC__SUCCESS;
}

Mos_RC contCmd_SelfTestCmd(ContCmdCtx *pCtx)
{
    const auto rec = contCmd_RecAt<OstrelTgtReq_SelfTest>(pCtx, 0);
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "SelfTest: cmd=%s", contCmd_GetSelfTestCmdDesc(rec.cmd));
    switch (rec.cmd) {
    case TGT_SELF_TEST_CMD__RCACHE:
        if (rec.u.rcache.cmd != TGT_RCACHE_SELF_TEST_CMD__ALL_REF_COUNT_ZERO)
            break;
        if (!rcache_SelfTestPasses(&pCtx->pCont->readCache, rec.u.rcache.cmd)) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "SelfTest failed: a read-cache block is in use");
            return MOS_RC__ERROR;
        }
        return MOS_RC__SUCCESS;
    case TGT_SELF_TEST_CMD__MEM_POOL_STATE: {
        const UINT32 unused = rec.u.memPoolState.unusedMask & 0xFF, empty = rec.u.memPoolState.emptyMask & 0xFF;
        if ((unused & empty) != 0) // a pool cannot be both empty and unused
            break;
        return contCmd_SelfTestMemPoolState(pCtx->pCont, unused, empty) ? MOS_RC__SUCCESS : MOS_RC__ERROR;
    }
    default:
        break;
    }
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "SelfTest refused: cmd=%u", rec.cmd);
    return MOS_RC__INVALID;
}
