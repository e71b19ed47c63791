#include "tgt/cont/cont_cmd.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "mos/mos_diag_counters.h"
#include "mos/mos_timer.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"
#include "mos/umt/mos_umt.h"
#include "net/net.h"
#include "tgt/cont/cont.h"
#include "tgt/cont/cont_cmd_intrn.h"
#include "tgt/tgt_conf.h"
#include "tgt/tgt_contention.h"

namespace {

constexpr UINT16 kNo = CONT_CMD__NO_OFFSET;
constexpr UINT8 kNoCount = 0xFF;

constexpr ContCmdLen L(UINT32 head)
{
    return {head, 0, 0, kNoCount, kNoCount, false, false, false};
}
// head + n x stride, n a UINT32 at countOff; bMinOne: n >= 1.
constexpr ContCmdLen LN(UINT32 head, UINT32 stride, UINT8 countOff, bool bMinOne)
{
    return {head, stride, 0, countOff, kNoCount, bMinOne, false, false};
}
constexpr ContCmdLen LNM(UINT32 head, UINT32 stride1, UINT8 count1Off, UINT32 stride2, UINT8 count2Off)
{
    return {head, stride1, stride2, count1Off, count2Off, false, false, false};
}
constexpr ContCmdLen kAnyLen{0, 0, 0, kNoCount, kNoCount, false, true, false};
constexpr ContCmdLen kAtLeast14{14, 0, 0, kNoCount, kNoCount, false, false, true};

constexpr ContCmdLock R = CONT_CMD_LOCK__READ, W = CONT_CMD_LOCK__WRITE, RW = CONT_CMD_LOCK__BY_FLAG,
                      NL = CONT_CMD_LOCK__NONE;
constexpr UINT8 kNone = 0;
constexpr UINT8 G = CONT_CMD_CHECK__GEN;
constexpr UINT8 G_N = CONT_CMD_CHECK__GEN | CONT_CMD_CHECK__NOT_RECONF;
constexpr UINT8 G_F = CONT_CMD_CHECK__GEN | CONT_CMD_CHECK__FLAG;
constexpr UINT8 G0_N = CONT_CMD_CHECK__GEN_OWN | CONT_CMD_CHECK__NOT_RECONF;
constexpr UINT8 N = CONT_CMD_CHECK__NOT_RECONF;
constexpr UINT8 G_IN = CONT_CMD_CHECK__GEN | CONT_CMD_CHECK__IN_RECONF;

#define CMD(name) TGT_MSG_TYPE__##name, "TGT_MSG_TYPE__" #name, CONT_CMD_KIND__HANDLED
#define DEPRECATED(name)                                                                                               \
    TGT_MSG_TYPE__##name, "TGT_MSG_TYPE__" #name, CONT_CMD_KIND__DEPRECATED, kAnyLen, NL, kNone, kNo, kNo, nullptr
#define GENERIC(type, name, handler) type, name, CONT_CMD_KIND__HANDLED, kAnyLen, NL, kNone, kNo, kNo, handler

// Types that are not here answer 46. A handled type without a handler yet answers 46 as well, but
// only once it passed admission, its length rule and its checks.
constexpr ContCmdSpec kSpecs[] = {
    {GENERIC(NET_MSG_TYPE__NET_KA, "NET_MSG_TYPE__NET_KA", nullptr)},
    {GENERIC(NET_MSG_TYPE__CONFIGURE_TRACE_FREQS, "NET_MSG_TYPE__CONFIGURE_TRACE_FREQS", contCmd_ConfigureTraceFreqsCmd)},
    {GENERIC(NET_MSG_TYPE__QUERY_DIAG_COUNTERS, "NET_MSG_TYPE__QUERY_DIAG_COUNTERS", contCmd_QueryDiagCountersCmd)},
    {GENERIC(NET_MSG_TYPE__RESET_DIAG_COUNTERS, "NET_MSG_TYPE__RESET_DIAG_COUNTERS", contCmd_ResetDiagCountersCmd)},
    {GENERIC(NET_MSG_TYPE__CHALLENGE_RESPONSE, "NET_MSG_TYPE__CHALLENGE_RESPONSE", contCmd_ChallengeResponseCmd)},
    {GENERIC(NET_MSG_TYPE__QUERY_DIAG_COUNTERS_EXT, "NET_MSG_TYPE__QUERY_DIAG_COUNTERS_EXT",
             contCmd_QueryDiagCountersExtCmd)},
    {CMD(GET_VER), L(0), R, kNone, kNo, kNo, contCmd_GetVerCmd},
    {CMD(ADD_OSTREL), L(70), NL, kNone, kNo, kNo, contCmd_AddOstrelCmd}, // locks for itself
    {DEPRECATED(ADD_DEV_1_30)},
    {CMD(REM_DEV), L(10), R, G_N, 8, kNo, contCmd_RemDevCmd},
    {CMD(ADD_TGT), LN(14, 538, 0, true), RW, G_F, 12, 8, contCmd_AddTgtGroupCmd},
    {CMD(REM_TGT), L(10), R, G_N, 8, kNo, contCmd_RemTgtCmd},
    {CMD(ADD_VOL), LN(14, 56, 0, true), RW, G_F, 12, 8, contCmd_AddVolGroupCmd},
    {CMD(UPDATE_VOL), LN(10, 52, 0, true), R, G_N, 8, kNo, contCmd_UpdateVolCmd},
    {CMD(REM_VOL), L(10), R, G_N, 8, kNo, contCmd_RemVolCmd},
    {DEPRECATED(ADD_COMB_1_30)},
    {CMD(SET_COMB_STATE), L(40), R, G_N, 32, kNo, contCmd_SetCombStateCmd},
    {CMD(REM_COMB), L(10), R, G_N, 8, kNo, contCmd_RemCombCmd},
    {CMD(RECONF_START), L(2), W, G, 0, kNo, contCmd_ReconfStartCmd},
    {CMD(RECONF_DONE), L(2), W, G_IN, 0, kNo, contCmd_ReconfDoneCmd},
    {CMD(START_MIGRATE), L(34), R, G_N, 28, kNo, contCmd_StartMigrateCmd},
    {CMD(ABORT_MIGRATE), L(20), R, G_N, 16, kNo, contCmd_AbortMigrateCmd},
    {CMD(CLEAN_UP), L(2), W, kNone, kNo, kNo, contCmd_CleanUpCmd},
    {CMD(END_MIGRATE), L(38), R, G_N, 32, kNo, contCmd_EndMigrateCmd},
    {CMD(GET_DIRTY_INFO), LN(16, 8, 10, true), R, G_N, 14, kNo, contCmd_GetDirtyInfoCmd},
    {CMD(ADD_VTREE), LN(14, 24, 0, true), RW, G_F, 12, 8, contCmd_AddVtreeGroupCmd},
    {CMD(REM_VTREES), LN(6, 8, 0, false), R, G_N, 4, kNo, contCmd_RemVtreesCmd},
    {CMD(UPDATE_VTREE), LN(14, 32, 0, true), R, G_F, 12, 8, contCmd_UpdateVtreeCmd},
    {CMD(CREATE_SNAP_START), LN(6, 8, 0, true), R, G_N, 4, kNo, contCmd_QuiescedVolumesCmd},
    {DEPRECATED(CREATE_SNAP_END_2_010)},
    {CMD(UPDATE_DRL_INFO), L(6), R, G_N, 0, kNo, contCmd_UpdateDrlInfoCmd},
    {CMD(SET_NET_COPY_LIMIT), L(14), R, G_N, 0, kNo, contCmd_SetNetCopyLimitCmd},
    {CMD(GET_TGT_DEV_LATENCY_BWC), kAnyLen, R, G0_N, kNo, kNo, contCmd_GetTgtDevLatencyBwcCmd},
    {CMD(GET_TGT_NET_BWC), kAnyLen, R, G0_N, kNo, kNo, contCmd_GetTgtNetBwcCmd},
    {CMD(START_NET_TEST), L(12), R, G0_N, kNo, kNo, contCmd_NetTestCmd},
    {CMD(GET_NET_TEST_RES), kAnyLen, R, G0_N, kNo, kNo, contCmd_GetNetTestCmd},
    {CMD(START_DISK_TEST), LNM(18, 12, 0, 16, 8), R, G_N, 16, kNo, contCmd_DiskTestCmd},
    {CMD(GET_DISK_TEST_RES), LN(10, 12, 0, false), R, G_N, 8, kNo, contCmd_GetDiskTestCmd},
    {CMD(GET_TGT_DEV_IO_BWC), kAnyLen, R, G0_N, kNo, kNo, contCmd_GetTgtDevIoBwcCmd},
    {CMD(GET_DEV_LATENCY_BWC), L(8), R, G0_N, kNo, kNo, contCmd_GetDevLatencyBwcCmd},
    {CMD(QUERY_VTREE_DEL_GEN), LN(6, 8, 0, true), R, G_N, 4, kNo, contCmd_GetVteeDelGenCmd},
    {CMD(GET_DEV_CAPACITY), kAnyLen, R, G0_N, kNo, kNo, contCmd_GetTgtDevCapacityCmd},
    {CMD(UPDATE_MULTIHEADS), LN(14, 8340, 0, true), RW, G_F, 12, 8, contCmd_AddHeadGroupCmd},
    {CMD(UPDATE_DEV_SNAP_CAP_LIMIT), LN(10, 16, 2, true), R, G_N, 0, kNo, contCmd_UpdateDevSnapCapGroupCmd},
    {CMD(QUERY_VTREE_SIZE), L(10), R, G_N, 0, kNo, contCmd_GetVteeUsageCmd},
    {CMD(GET_TGT_PROP), L(0), R, kNone, kNo, kNo, contCmd_GetTgtPropCmd},
    {CMD(GET_CON_STATE), L(0), R, kNone, kNo, kNo, contCmd_GetTgtConStateCmd},
    {CMD(START_DISK_TEST_SYNC), LNM(18, 12, 0, 16, 8), R, G_N, 16, kNo, contCmd_DiskTestSyncCmd},
    {CMD(UPDATE_DEV_THROTTLING_CONF), LN(10, 48, 0, false), R, G_N, 8, kNo, contCmd_UpdateThrottleConfCmd},
    {CMD(QUERY_IS_QUIET_AND_FLUSHED), L(0), R, G0_N, kNo, kNo, contCmd_QueryIsQuietAndFlushedCmd},
    {CMD(START_QUIESCE), L(10), R, G_N, 4, kNo, contCmd_StartQuiesceCmd},
    {CMD(STOP_QUIESCE), L(10), R, G_N, 4, kNo, contCmd_StopQuiesceCmd},
    {CMD(SET_REBUILD_REBALANCE_DEST_LIMITS_1_30), L(10), R, G_N, 0, kNo, contCmd_DeprecatedDestLimitsCmd},
    {CMD(QUERY_ALL_VTREES_SIZE), L(0), R, G0_N, kNo, kNo, contCmd_QueryAllVtreesSizeCmd},
    {CMD(UPDATE_DEV_SCAN_CONF), LN(10, 24, 0, false), R, G_N, 8, kNo, contCmd_UpdateDevScanConfCmd},
    {CMD(UPDATE_PERF_PARAMS), L(42), RW, G_F, 40, 36, contCmd_UpdatePerfParamsCmd},
    {CMD(ADD_DEV), LN(18, 280, 0, false), RW, G_F, 12, 8, contCmd_AddDevGroupCmd},
    {CMD(UPDATE_CACHE_FREEZE), L(6), R, G_N, 0, kNo, contCmd_UpdateCacheFreezeCmd},
    {CMD(UPDATE_CACHE_ENABLE), L(6), R, G_N, 0, kNo, contCmd_UpdateCacheEnableCmd},
    {CMD(PURGE_CACHE), L(2), R, G_N, 0, kNo, contCmd_PurgeCacheCmd},
    {CMD(UPDATE_CACHE_SIZE), L(6), R, G_N, 0, kNo, contCmd_UpdateCacheSizeCmd},
    {CMD(GET_TGT_COUNTERS), kAnyLen, R, G0_N, kNo, kNo, contCmd_GetCountersCmd},
    {CMD(UPDATE_DEV_RAMCACHE_USE), LN(10, 8, 6, true), R, G_N, 0, kNo, contCmd_UpdateDevRamcacheUseCmd},
    {CMD(UPDATE_DEV_RAMCACHE_WRITE_MODE), LN(10, 8, 6, true), R, G_N, 0, kNo, contCmd_UpdateDevRamcacheWriteModeCmd},
    {CMD(DUMP_CACHE), L(2), R, G_N, 0, kNo, contCmd_DumpCacheCmd},
    {CMD(UPDATE_DEV_CHECKSUM), LN(10, 8, 6, true), R, G_N, 0, kNo, contCmd_UpdateDevChecksumCmd},
    {CMD(FLCACHE_SET_CONF), L(762), RW, G_F, 0, 2, contCmd_FlcacheSetConfCmd},
    {CMD(FLCACHE_DEV_USE_UPDATE), L(522), R, G_N, 516, kNo, contCmd_FlcacheDevUseUpdateCmd},
    {CMD(FLCACHE_QUERY), L(6), R, G_N, 0, kNo, contCmd_FlcacheQueryCmd},
    {CMD(ADD_COMB), LN(18, 104, 0, false), RW, G_F, 16, 8, contCmd_AddCombGroupCmd},
    {CMD(UPDATE_OSC_COUNTER), LN(432, 8, 6, false), RW, G_F, 0, 2, contCmd_UpdateOscCountersCmd},
    {CMD(GET_OSC_COUNTERS), L(10), R, G_N, 0, kNo, contCmd_GetOscCountersCmd},
    {CMD(CONFIG_SECURITY), L(14), RW, G_F, 4, 0, contCmd_ConfigSecurityCmd},
    {CMD(GENERATE_CSR), L(6), RW, G_F, 4, 0, contCmd_GenerateCsrCmd},
    {CMD(UPDATE_CERTIFICATE), LN(10, 1, 6, false), RW, G_F, 4, 0, contCmd_UpdateCertificateCmd},
    {CMD(SET_REBUILD_REBALANCE_DEST_LIMITS), kAtLeast14, R, G_N, 0, kNo, contCmd_SetRebuildRebalanceDestLimitsCmd},
    {CMD(SELF_TEST), L(12), NL, kNone, kNo, kNo, contCmd_SelfTestCmd},
    {CMD(QUERY_MULTIHEAD_COMB_STATS), kAnyLen, R, G0_N, kNo, kNo, contCmd_GetCombStatsCmd},
    {CMD(UPDATE_LED_STATUS), L(38), R, G_N, 0, kNo, contCmd_UpdateLedStatusCmd},
    {CMD(QUERY_DEV_METADATA), kAnyLen, R, N, kNo, kNo, contCmd_QueryDevMetadataCmd},
    {CMD(QUERY_DEV_ADVANCED_METADATA), L(34), R, G_N, 0, kNo, contCmd_QueryDevAdvanceMetadataCmd},
    {CMD(CREATE_SNAP_END), LN(48, 8, 0, true), R, G_N, 4, kNo, contCmd_UnquiescedVolumesCmd},
};
#undef CMD
#undef DEPRECATED
#undef GENERIC

constexpr bool contCmd_IsTableSound()
{
    for (size_t i = 0; i < std::size(kSpecs); i++) {
        const ContCmdSpec &s = kSpecs[i];
        if (i > 0 && kSpecs[i - 1].type >= s.type)
            return false; // lookup by binary search
        const UINT64 recMin = s.len.bAnyLen ? 0 : s.len.head;
        // Every offset the dispatcher reads lies inside the fixed head.
        if (s.genOff != kNo && s.genOff + 2u > recMin)
            return false;
        if (s.flagOff != kNo && s.flagOff + 4u > recMin)
            return false;
        if (s.len.count1Off != kNoCount && s.len.count1Off + 4u > recMin)
            return false;
        if (s.len.count2Off != kNoCount && s.len.count2Off + 4u > recMin)
            return false;
        if ((s.checks & (CONT_CMD_CHECK__GEN | CONT_CMD_CHECK__GEN_OWN)) == CONT_CMD_CHECK__GEN && s.genOff == kNo)
            return false;
        if ((s.checks & CONT_CMD_CHECK__FLAG) != 0 && s.flagOff == kNo)
            return false;
        if (s.lock == CONT_CMD_LOCK__BY_FLAG && s.flagOff == kNo)
            return false;
    }
    return true;
}
static_assert(contCmd_IsTableSound());

BOOL contCmd_IsAdmittedBeforeAttach(UINT32 type)
{
    return type - TGT_MSG_TYPE__GET_VER <= 1u || type == TGT_MSG_TYPE__GET_TGT_PROP;
}

// One watch timer of a running command, on the dispatching thread's stack.
struct ContCmdTimer {
    MosTimer_Req timerReq;
    NetRpcData *pReq;
    HMosUmt_UThread pUmt;
    UINT32 cmdId;
    Cont *pCont;
};

ContCmdTimer *contCmd_TimerOf(MosAsyncObj *pObj)
{
    return MOS_CONTAINER_OF(MOS_CONTAINER_OF(pObj, MosTimer_Req, asyncObj), ContCmdTimer, timerReq);
}

void contCmd_TimerExpired(MosAsyncObj *pObj, INT32 rc)
{
    (void)rc;
    ContCmdTimer *pTimer = contCmd_TimerOf(pObj);
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Command took too long - %u, Umt %p, context=%u", pTimer->cmdId,
              static_cast<void *>(pTimer->pUmt), (unsigned)pTimer->pReq->context);
    MOS_PANIC("!(1)", "a command ran for 5 minutes");
}

void contCmd_SmallTimerExpired(MosAsyncObj *pObj, INT32 rc)
{
    (void)rc;
    ContCmdTimer *pTimer = contCmd_TimerOf(pObj);
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Long operation detected - %u, Umt %p, context=%u", pTimer->cmdId,
              static_cast<void *>(pTimer->pUmt), (unsigned)pTimer->pReq->context);
    (void)mosOscCnt_FailureOccurrence(&pTimer->pCont->longOpOscCnt, 1);
}

// Both timers armed for the life of one dispatch. The runtime's abort waits for a callback that
// is running, so neither timer is touched after the guard is gone.
class ContCmdTimers {
  public:
    ContCmdTimers(Cont *pCont, NetRpcData *pReq)
    {
        Arm(long_, pCont, pReq, contCmd_TimerExpired, MOS_TIMER_QUEUE_ID__5MIN);
        mosUmt_SetTimeLimitMilli(tgtInitParam_G.ostrelToTgtNetSendTimeout);
        Arm(short_, pCont, pReq, contCmd_SmallTimerExpired, MOS_TIMER_QUEUE_ID__10SEC);
    }
    ~ContCmdTimers()
    {
        for (ContCmdTimer *p : {&long_, &short_}) {
            (void)mosTimerReq_Abort(&p->timerReq);
            mosTimerReq_Destroy(&p->timerReq);
        }
        mosUmt_SetTimeLimitMilli(~0ull);
    }
    ContCmdTimers(const ContCmdTimers &) = delete;
    ContCmdTimers &operator=(const ContCmdTimers &) = delete;

  private:
    static void Arm(ContCmdTimer &t, Cont *pCont, NetRpcData *pReq, MosAsyncObj_CK pCK, MosTimerQ_ID q)
    {
        t.pReq = pReq;
        t.pUmt = mosUmt_GetUThreadHdl();
        t.cmdId = (UINT32)pReq->context;
        t.pCont = pCont;
        mosTimerReq_Init(&t.timerReq, pCK);
        MOS_ASSERT(mosTimerReq_AddByQ(&t.timerReq, q) == MOS_RC__PENDING);
    }
    ContCmdTimer long_{};
    ContCmdTimer short_{};
};

void contCmd_Unlock(Cont *pCont, LockState lockState)
{
    switch (lockState) {
    case UNLOCKED:
        return;
    case READ_LOCKED:
        mosUmtRWLock_ReleaseReadLock(&pCont->rwLock);
        return;
    case WRITE_LOCKED:
        mosUmtRWLock_ReleaseWriteLock(&pCont->rwLock);
        return;
    }
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Unknown locking state %d", (int)lockState);
    MOS_UNREACHABLE("unknown locking state");
}

BOOL contCmd_IsFailureTraced(Mos_RC rc)
{
    return rc == MOS_RC__INTERFACE_ERROR || rc == MOS_RC__TGT_WRONG_GEN_NUM || rc == MOS_RC__UNKNOWN_MSG ||
           rc == MOS_RC__NO_RESOURCES || rc == MOS_RC__WRONG_RECONF_MODE || rc == MOS_RC__DEPRECATED_MSG;
}

// Admission before any lock: 65 to go on, else the answer.
Mos_RC contCmd_Admit(Cont *pCont, UINT32 type, const UINT8 *pPayload)
{
    if (contCmd_IsAdmittedBeforeAttach(type))
        return MOS_RC__SUCCESS;
    if (!pCont->bRecvAddOstrel) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_MED, "Command before Add Ostrel");
        return MOS_RC__WRONG_RECONF_MODE;
    }
    UINT64 addressed;
    memcpy(&addressed, pPayload, sizeof(addressed));
    if (addressed == 0 || addressed == cont_GetTgtId(pCont))
        return MOS_RC__SUCCESS;
    // The own id is set by add-manager under the write lock: look again under the lock.
    mosUmtRWLock_AcquireReadLock(&pCont->rwLock);
    const UINT64 own = cont_GetTgtId(pCont);
    mosUmtRWLock_ReleaseReadLock(&pCont->rwLock);
    if (addressed == own)
        return MOS_RC__SUCCESS;
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Wrong TGT id %lx - %lx, command %u", (unsigned long)addressed,
              (unsigned long)own, type);
    return MOS_RC__WRONG_TGT_ID;
}

// The table's lock and checks, then the handler.
Mos_RC contCmd_Run(ContCmdCtx *pCtx)
{
    const ContCmdSpec *pSpec = pCtx->pSpec;
    Cont *pCont = pCtx->pCont;
    const BOOL bFlag =
        pSpec->flagOff != kNo ? contCmd_RecAt<UINT32>(pCtx, pSpec->flagOff) != 0 : (pSpec->checks & CONT_CMD_CHECK__IN_RECONF) != 0;
    LockState want = UNLOCKED;
    switch (pSpec->lock) {
    case CONT_CMD_LOCK__NONE:
        break;
    case CONT_CMD_LOCK__READ:
        want = READ_LOCKED;
        break;
    case CONT_CMD_LOCK__WRITE:
        want = WRITE_LOCKED;
        break;
    case CONT_CMD_LOCK__BY_FLAG:
        want = bFlag ? WRITE_LOCKED : READ_LOCKED;
        break;
    }
    Mos_RC rc = MOS_RC__SUCCESS;
    const UINT8 checks = pSpec->checks;
    if ((checks & (CONT_CMD_CHECK__GEN | CONT_CMD_CHECK__GEN_OWN | CONT_CMD_CHECK__NOT_RECONF | CONT_CMD_CHECK__FLAG |
                   CONT_CMD_CHECK__IN_RECONF)) != 0) {
        const BOOL bCheckGen = (checks & (CONT_CMD_CHECK__GEN | CONT_CMD_CHECK__GEN_OWN)) != 0;
        const UINT16 gen = (checks & CONT_CMD_CHECK__GEN) != 0 ? contCmd_RecAt<UINT16>(pCtx, pSpec->genOff)
                                                               : pCont->ostrelTgtConnectionGenNum;
        const BOOL bCheckReconfig =
            (checks & (CONT_CMD_CHECK__NOT_RECONF | CONT_CMD_CHECK__FLAG | CONT_CMD_CHECK__IN_RECONF)) != 0;
        const BOOL bWanted = (checks & CONT_CMD_CHECK__NOT_RECONF) != 0 ? FALSE : bFlag;
        rc = contCmd_DoubleCheckLock(pCont, bWanted, bCheckReconfig, gen, bCheckGen, want, &pCtx->lockState);
    } else {
        pCtx->lockState = want == UNLOCKED ? UNLOCKED : contCmd_LockByType(pCont, want);
    }
    if (rc == MOS_RC__SUCCESS)
        rc = pSpec->pHandler != nullptr ? pSpec->pHandler(pCtx) : MOS_RC__ILLEGAL;
    contCmd_Unlock(pCont, pCtx->lockState);
    return rc;
}

Mos_RC contCmd_Dispatch(Cont *pCont, NetRpcData *pReq, NetRpcData *pRes, HNetCon hCon)
{
    const UINT32 type = (UINT32)pReq->context;
    const UINT32 len = NET_IOV__GET_SIZE(&pReq->iov);
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_HIGH, "Executing command:pMsgCtx=%p, msgLen=%u, msgType=%u",
              static_cast<void *>(pReq), len, type);
    // The receive path hands over what the peer sent: a payload of another shape is the peer's
    // fault, not this process's.
    if (pReq->iov.numOfUsedBuffers != 1 || len < CONT_CMD__TGT_ID_SIZE)
        return MOS_RC__INTERFACE_ERROR;
    const UINT8 *pPayload = static_cast<const UINT8 *>(NET_IOV__GET(&pReq->iov, 0, nullptr));
    Mos_RC rc = contCmd_Admit(pCont, type, pPayload);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    const ContCmdSpec *pSpec = contCmd_FindSpec(type);
    if (pSpec == nullptr || pSpec->kind == CONT_CMD_KIND__UNHANDLED)
        return MOS_RC__UNKNOWN_MSG;
    if (pSpec->kind == CONT_CMD_KIND__DEPRECATED)
        return MOS_RC__DEPRECATED_MSG;
    ContCmdCtx ctx{pCont, pReq, pRes, hCon, pSpec, pPayload + CONT_CMD__TGT_ID_SIZE, len - CONT_CMD__TGT_ID_SIZE,
                   UNLOCKED};
    rc = contCmd_CheckLen(pSpec, ctx.pRec, ctx.recLen, !tgtInitParam_G.bAllowDifferentRequestLen);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    return contCmd_Run(&ctx);
}

} // namespace

void contCmd_Init(ContCmd *pContCmd)
{
    MOS_FASTLOCK_CREATE(&pContCmd->fastLock, TGT_CONTENTION__CONT_CMD);
    pContCmd->updateUmtPerfParamCtx = {};
    mosUmtSem_Init(&pContCmd->addRemDevSem);
    mosUmtSem_IncInter(&pContCmd->addRemDevSem, 1, TRUE);
}

std::span<const ContCmdSpec> contCmd_Specs(void)
{
    return kSpecs;
}

const ContCmdSpec *contCmd_FindSpec(UINT32 type)
{
    const ContCmdSpec *pEnd = std::end(kSpecs);
    const ContCmdSpec *p =
        std::lower_bound(std::begin(kSpecs), pEnd, type, [](const ContCmdSpec &s, UINT32 t) { return s.type < t; });
    return p != pEnd && p->type == type ? p : nullptr;
}

Mos_RC contCmd_CheckLen(const ContCmdSpec *pSpec, const UINT8 *pRec, UINT32 recLen, BOOL bExact)
{
    const ContCmdLen &l = pSpec->len;
    if (l.bAnyLen)
        return MOS_RC__SUCCESS;
    if (recLen < l.head)
        return MOS_RC__INTERFACE_ERROR;
    auto count = [&](UINT8 off) -> UINT64 {
        if (off == kNoCount)
            return 0;
        UINT32 n;
        memcpy(&n, pRec + off, sizeof(n));
        return n;
    };
    const UINT64 n1 = count(l.count1Off);
    // 64 bits: a count near 2^32 times a stride must not wrap into a small length.
    const UINT64 need = (UINT64)l.head + n1 * l.stride1 + count(l.count2Off) * l.stride2;
    if (need > recLen)
        return MOS_RC__INTERFACE_ERROR;
    if (!bExact || l.bAtLeast)
        return MOS_RC__SUCCESS;
    if (need != recLen)
        return MOS_RC__INTERFACE_ERROR;
    if (l.bMinOne && n1 == 0) {
        const BOOL bInCycle = pSpec->flagOff != kNo && count((UINT8)pSpec->flagOff) != 0;
        if (!bInCycle)
            return MOS_RC__INTERFACE_ERROR;
    }
    return MOS_RC__SUCCESS;
}

LockState contCmd_LockByType(Cont *pCont, LockState lockState)
{
    if (lockState == READ_LOCKED)
        mosUmtRWLock_AcquireReadLock(&pCont->rwLock);
    else if (lockState == WRITE_LOCKED)
        mosUmtRWLock_AcquireWriteLock(&pCont->rwLock);
    else
        MOS_UNREACHABLE("a command lock of no mode");
    return lockState;
}

Mos_RC contCmd_DoubleCheckLock(Cont *pCont, BOOL bReconfigInProgress, BOOL bCheckReconfig,
                               UINT16 ostrelTgtConnectionGenNum, BOOL bCheckGen, LockState lockState,
                               LockState *pLockState)
{
    auto reconfigOk = [&] {
        return !bCheckReconfig ||
               (bReconfigInProgress == pCont->bReconfigInProgress && pCont->bRecvReconStartAtleastOnce);
    };
    *pLockState = UNLOCKED;
    if (!reconfigOk())
        return MOS_RC__WRONG_RECONF_MODE;
    if (bCheckGen && ostrelTgtConnectionGenNum != pCont->ostrelTgtConnectionGenNum)
        return MOS_RC__TGT_WRONG_GEN_NUM;
    if (lockState != UNLOCKED)
        *pLockState = contCmd_LockByType(pCont, lockState);
    if (bCheckGen && ostrelTgtConnectionGenNum != pCont->ostrelTgtConnectionGenNum)
        return MOS_RC__TGT_WRONG_GEN_NUM;
    return reconfigOk() ? MOS_RC__SUCCESS : MOS_RC__WRONG_RECONF_MODE;
}

void contCmd_AppendAnswer(NetRpcData *pRes, const void *pAnswer, UINT32 len)
{
    void *p = mos_MemCalloc(len, len, __func__, FALSE);
    memcpy(p, pAnswer, len);
    netIov_AddBuffer(&pRes->iov, p, len, CONT_NET_BUF_TYPE__NET_ALLOC);
}

void contCmd_NewRequest(Cont *pCont, NetRpcData *pReq, NetRpcData *pRes, HNetCon hCon)
{
    const UINT32 type = (UINT32)pReq->context;
    mosUmt_SetMyDebugInfo(type);
    Mos_RC rc;
    {
        ContCmdTimers timers(pCont, pReq);
        pRes->grpId = pReq->grpId;
        pRes->context = 0;
        rc = contCmd_Dispatch(pCont, pReq, pRes, hCon);
        if (rc == MOS_RC__ILLEGAL)
            rc = MOS_RC__UNKNOWN_MSG;
        if (contCmd_IsFailureTraced(rc))
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_MED, "Command %u failed %s", type, mosRc_GetStr(rc));
        pRes->context = rc;
    }
}

Mos_RC contCmd_RecvKeepAliveNotif(void *pObj, NetRpcData *pReq)
{
    Cont *pCont = static_cast<Cont *>(pObj);
    contOstrel_RecvKeepAliveNotif(&pCont->ostrel, pReq);
    return MOS_RC__SUCCESS;
}

Mos_RC contCmd_DeprecatedDestLimitsCmd(ContCmdCtx *)
{
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Got deprecated TGT_MSG_TYPE__SET_REBUILD_REBALANCE_DEST_LIMITS_1_30 - ignoring");
    return MOS_RC__SUCCESS;
}

Mos_RC contCmd_QueryAllVtreesSizeCmd(ContCmdCtx *pCtx)
{
    return contVtreeMngr_GetAllVteeUsage(&pCtx->pCont->vtreeMngr, pCtx->pRes);
}

Mos_RC contCmd_DumpCacheCmd(ContCmdCtx *)
{
    return MOS_RC__SUCCESS;
}

Mos_RC contCmd_ResetDiagCountersCmd(ContCmdCtx *)
{
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Reset all diagnostics counters command received");
    mosDiagCounters_ResetAll();
    return MOS_RC__SUCCESS;
}
