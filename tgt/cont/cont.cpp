#include "tgt/cont/cont.h"

#include <sys/random.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_dbg.h"
#include "mos/mos_load.h"
#include "mos/mos_perf.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"
#include "tgt/cont/cont_raid_state.h"
#include "tgt/cont/cont_wd_state.h"
#include "tgt/phy/stmp.h"
#include "tgt/tgt_conf.h"
#include "tgt/tgt_contention.h"
#include "tgt/tgt_umt_class.h"

Cont cont_g;

namespace {
constexpr MosOscCnt_CounterType kOscTypes[] = {
    MOS_OSC_CNT_TYPE__MEMORY_ALLOCATION_FAILURES,
    MOS_OSC_CNT_TYPE__SOCKET_ALLOCATION_FAILURES,
    MOS_OSC_CNT_TYPE__PELLAR_LONG_OPERATIONS,
    MOS_OSC_CNT_TYPE__PELLAR_RECEIVE_BUFFER_ALLOCATION_FAILURES,
    MOS_OSC_CNT_TYPE__PELLAR_NET_PAUSE_TOGGLE,
};

void cont_NextStage(Cont *pCont)
{
    pCont->ostrel.stage++;
}

void cont_InitOscCounters(Cont *pCont)
{
    for (UINT32 t = 0; t < MOS_OSC_CNT_TYPE__LAST; t++)
        mosOscCnt_InitOscParamsWithDefaults((MosOscCnt_CounterType)t, &pCont->perTypeOscCntParams[t]);
    for (MosOscCnt_CounterType type : kOscTypes) {
        MosOscCnt_CounterDescriptor desc{};
        desc.type = type;
        desc.descriptorSize = sizeof(desc.OSCDesc.tgtInfo);
        desc.OSCDesc.tgtInfo.tgtId = pCont->ostrel.tgtId;
        mosOscCnt_Create(cont_GetMosOscCntArr(pCont, type), &pCont->perTypeOscCntParams[type], &desc);
    }
}

void cont_InitCopyPools(Cont *pCont)
{
    Mos_RC rc = mosDynamicMemPool_Create(&pCont->copySndBufferPool, "Copy send buffers", CONT__COPY_UNIT_SIZE, 10,
                                         20, 1, 4096);
    Exp(rc != MOS_RC__SUCCESS);
    rc = mosDynamicMemPool_Create(&pCont->copyRcvBufferPool, "Copy receive buffers", CONT__COPY_UNIT_SIZE, 10, 20, 1,
                                  4096);
    Exp(rc != MOS_RC__SUCCESS);
}

void cont_InitZeroBuffer(Cont *pCont)
{
    pCont->zeroedBuffer = static_cast<UINT8 *>(mos_AllocPageAligned(CONT__COPY_UNIT_SIZE));
    Exp(pCont->zeroedBuffer == nullptr);
    memset(pCont->zeroedBuffer, 0, CONT__COPY_UNIT_SIZE);
    pCont->zeroedT10DifBuff = pCont->zeroedBuffer + 1024 * 1024;
}

void cont_InitNet(Cont *pCont, UINT16 port, UINT64 myConId, BOOL bInitRecvGrps)
{
    contNet_Init(pCont, &pCont->net, myConId, bInitRecvGrps);
    contIo_Start(pCont);
    contNet_Start(&pCont->net, port);
    contWd_Init(pCont);
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Listening on port %u", (unsigned)port);
}

UINT64 cont_GetTgtIdHook(void *pCtx)
{
    return cont_GetTgtId(static_cast<Cont *>(pCtx));
}

// The cache's reports to the Ostrel wait for the Ostrel link: until then none is sent and each
// stays owed.
void cont_SetRcacheHooks(Cont *pCont)
{
    Rcache_ContHooks hooks{};
    hooks.pSendRequest = nullptr;
    hooks.pGetTgtId = cont_GetTgtIdHook;
    hooks.pCtx = pCont;
    hooks.pBlocking = pCont->pBlockingRcacheAlloc;
    hooks.changeSizeClass = tgt_GetUmtClassId(MOS_UMT_CLASS_TYPE__TGT_RCACHE_CHANGE_SIZE);
    hooks.purgeClass = tgt_GetUmtClassId(MOS_UMT_CLASS_TYPE__TGT_RCACHE_PURGE);
    hooks.updateOstrelClass = tgt_GetUmtClassId(MOS_UMT_CLASS_TYPE__TGT_RCACHE_UPDATE_OSTREL);
    hooks.pNetBufPri = &pCont->cachePri;
    hooks.pNetBufSec = &pCont->cacheSec;
    rcache_SetContHooks(&pCont->readCache, &hooks);
}

// A flash-cache device's header changed: the device map learns it at once.
void cont_ReloadDevMap(void *pCtx)
{
    Cont *pCont = static_cast<Cont *>(pCtx);
    (void)phy_ReloadDevMap(&pCont->phy, pCont, nullptr);
}

void cont_SetFlcacheHooks(Cont *pCont)
{
    Flcache_ContHooks hooks{};
    contFlcacheDevMngr_FillFlcacheHooks(pCont, &hooks);
    hooks.monitorClass = tgt_GetUmtClassId(MOS_UMT_CLASS_TYPE__TGT_FLCACHE);
    flcache_SetContHooks(&pCont->flcache, &hooks);
}

void cont_InitCacheLimit(Cont *pCont)
{
    UINT64 totalRamKb = 0;
    if (mos_GetNodeTotalRam(&totalRamKb) != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "DEBUG ASSERT");
        return;
    }
    const TgtConfParam &c = tgtInitParam_G;
    pCont->cacheSizeLimitInMb =
        cont_CalcCacheSizeLimitInMb(totalRamKb, c.ramcacheHostMemoryThershold, c.ramcacheAllowedLowMemoryPercentage,
                                    c.ramcacheAllowedHighMemoryPercentage);
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Total RAM %lu KB, cache size limit %u MB", (unsigned long)totalRamKb,
              pCont->cacheSizeLimitInMb);
}
} // namespace

void cont_Init(Cont *pCont, UINT16 port, UINT64 myConId, BOOL bInitRecvGrps, BOOL bInitNet)
{
    memset(static_cast<void *>(pCont), 0, sizeof(*pCont));
    pCont->hOstrelCon = 0;
    pCont->runId = cont_DrawRunId();
    pCont->umtSchedLastNotStuckTicks = mosTicks_GetCurrentTick();
    pCont->pAddCombTest = nullptr;

    mosUmtRWLock_Init(&pCont->rwLock);
    MOS_FASTLOCK_CREATE(&pCont->fastLock, TGT_CONTENTION__CONT);

    contOstrel_Init(&pCont->ostrel, pCont);
    contCmd_Init(&pCont->cmd);
    pCont->ostrel.stage = 1;

    stmp_Init(&stmp_g, (UINT32)tgtInitParam_G.stmpMemorySizeInLbs);
    cont_NextStage(pCont);
    const char *pLogDir = mosLoad_GetLogDir();
    dumpMgr_Init(pCont, &pCont->dumpMgr, pLogDir != nullptr ? pLogDir : ".");
    phy_Init(&pCont->phy, pCont);
    contDev_SetFileHooks();
    cont_NextStage(pCont);

    cont_InitOscCounters(pCont);
    cont_NextStage(pCont);
    contObj_Init(&pCont->objs, CONT_OBJ_TYPE__OSTREL, CONT_OBJ_TYPE__EXAMPLE);
    cont_NextStage(pCont);
    contTgtMngr_Init(&pCont->tgtMngr, pCont);
    contExampleMngr_Init(&pCont->exampleMngr);
    contVtreeMngr_Init(&pCont->vtreeMngr, pCont);
    contVolMngr_Init(&pCont->volMngr, contIo_GetVolHooks());
    contHeadMngr_Init(&pCont->headMngr);
    contHead_SetHeadLayerHooks();
    contDevMngr_Init(&pCont->devMngr, pCont);
    contCombMngr_Init(&pCont->combMngr, pCont);
    contComb_SetDevHooks();
    contRaid_Start(pCont);
    ioh_Init(&pCont->ioh, pCont, contIo_GetIohHooks(), &pCont->elock);
    cont_NextStage(pCont);

    rcacheNetBuf_Init(&pCont->cachePri, pCont, &pCont->net.net, TRUE, "Primary");
    rcacheNetBuf_Init(&pCont->cacheSec, pCont, &pCont->net.net, FALSE, "Secondary");
    rcache_Init(&pCont->readCache, pCont);
    phy_SetCache(&pCont->phy, &pCont->readCache);
    contFlcacheDevMngr_Init(&pCont->flcacheDevMngr);
    contFlcacheDevMngr_SetIo(&pCont->flcacheDevMngr, phyMultiDev_GetAsyncIO(&pCont->phy.mDev), cont_ReloadDevMap,
                             pCont);
    flcache_Init(&pCont->flcache, pCont);
    contRaidCtrl_Init(&pCont->raidCtrl);
    cont_NextStage(pCont);
    cont_InitCopyPools(pCont);
    cont_NextStage(pCont);
    mosMemPool_CreateEx(&pCont->ioCtxPool, "Pellar IO Context pool", nullptr, nullptr, CONT__IO_CTX_SIZE,
                        (UINT32)tgtInitParam_G.netParam.maxRcvMsg, 0, FALSE, MOS_TIMER__FREE_HANDLER_LIST);
    cont_NextStage(pCont);
    zmp_Init(&pCont->zmpPri, CONT__ZMP_BUFFER_SIZE_IN_LBS, (UINT32)tgtInitParam_G.zmpMemorySizeInbuffers);
    zmp_Init(&pCont->zmpSec, CONT__ZMP_BUFFER_SIZE_IN_LBS, (UINT32)tgtInitParam_G.zmpMemorySizeInbuffers);
    cont_NextStage(pCont);
    cont_InitZeroBuffer(pCont);
    cont_NextStage(pCont);

    if (bInitNet) {
        cont_InitNet(pCont, port, myConId, bInitRecvGrps);
        cont_NextStage(pCont);
        contYarrin_Init(&pCont->yarrin, pCont, cont_GetNetObj(pCont), contYarrin_GetContHooks(), &pCont->raidCtrl,
                        nullptr, 0, nullptr);
    }

    Mos_RC rc = MosPerfLinear_Init(nullptr, "Pellar", MOS_PERF_NUM_REQUEST_STAGES, MOS_PERF_REQUEST_STAGES);
    Exp(rc != MOS_RC__SUCCESS && rc != MOS_RC__ALREADY_EXISTS);
    pCont->ostrel.stage = CONT__STAGE_BUILT;

    pCont->bIsVmware = cont_IsVmwareGuest(mosCpu_GetInfo());
    cont_InitCacheLimit(pCont);

    pCont->pBlockingRcacheAlloc = static_cast<MosBlocking *>(calloc(1, sizeof(MosBlocking)));
    Exp(pCont->pBlockingRcacheAlloc == nullptr);
    rc = mosBlocking_Create(pCont->pBlockingRcacheAlloc, "Blocking for rcache allocation and init", 1);
    Exp(rc != MOS_RC__SUCCESS);
    cont_SetRcacheHooks(pCont);
    cont_SetFlcacheHooks(pCont);

    mosUmtSem_Init(&pCont->handleUpdatePerfParamsRequestSem);
    mosUmtSem_IncInter(&pCont->handleUpdatePerfParamsRequestSem, 1, TRUE);
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Controller built: runId %u, VMware guest %u", pCont->runId,
              (unsigned)pCont->bIsVmware);
}

void cont_InitEnd(Cont *pCont)
{
    MOS_ASSERT_SUCCESS(elock_Init(&pCont->elock, 0, (UINT32)tgtInitParam_G.totalUmts));
}

BOOL cont_IsSchedThredStuck(Cont *pCont)
{
    if (!mosUmtSchedThrd_IsStuck()) {
        pCont->umtSchedLastNotStuckTicks = mosTicks_GetCurrentTick();
        return FALSE;
    }
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Stuck scheduler thread identified");
    const UINT64 allowed = tgtInitParam_G.schedThrdStuckAllowedMilli;
    if (allowed == 0)
        return TRUE;
    const UINT64 stuckMillis =
        mosTicks_TicksToMillis(mosTicks_DiffInTicks(mosTicks_GetCurrentTick(), pCont->umtSchedLastNotStuckTicks));
    if (stuckMillis < allowed)
        return TRUE;
    MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "UMT scheduler hit threshold. Going down");
    MOS_UNREACHABLE("UMT scheduler hit threshold. Going down");
}

UINT32 cont_CalcCacheSizeLimitInMb(UINT64 totalRamKb, UINT64 thresholdKb, UINT64 lowPercent, UINT64 highPercent)
{
    const UINT64 percent = totalRamKb < thresholdKb ? lowPercent : highPercent;
    return (UINT32)(totalRamKb * percent / 102400);
}

BOOL cont_IsVmwareGuest(const MosCpu_X86CpuInfo *pCpu)
{
    constexpr UINT32 kHypervisorBit = 1u << 31; // leaf 1, ECX
    if (pCpu == nullptr || (pCpu->processorInfoAndFeatureBits.ecx & kHypervisorBit) == 0)
        return FALSE;
    return memcmp(pCpu->manufacturerID, CONT__VMWARE_VENDOR, 12) == 0 ||
           memcmp(pCpu->vmwareVendorID, CONT__VMWARE_VENDOR, 12) == 0;
}

MosOscCnt_Counter *cont_GetMosOscCntArr(Cont *pCont, MosOscCnt_CounterType type)
{
    switch (type) {
    case MOS_OSC_CNT_TYPE__MEMORY_ALLOCATION_FAILURES:
        return &pCont->memFailOscCnt;
    case MOS_OSC_CNT_TYPE__SOCKET_ALLOCATION_FAILURES:
        return &pCont->sockFailOscCnt;
    case MOS_OSC_CNT_TYPE__PELLAR_LONG_OPERATIONS:
        return &pCont->longOpOscCnt;
    case MOS_OSC_CNT_TYPE__PELLAR_RECEIVE_BUFFER_ALLOCATION_FAILURES:
        return &pCont->rcvBufferAllocFailureOscCnt;
    case MOS_OSC_CNT_TYPE__PELLAR_NET_PAUSE_TOGGLE:
        return &pCont->netPauseToggleOscCnt;
    default:
        MOS_UNREACHABLE("not an oscillation counter of the controller");
    }
}

void cont_UpdateOscCounter(Cont *pCont, const ContOscCntUpdateParams *pParams)
{
    MosOscCnt_Counter *pCounter = cont_GetMosOscCntArr(pCont, pParams->type);
    if (pParams->bReset) {
        mosOscCnt_ResetCounter(pCounter);
        return;
    }
    for (UINT8 w = 0; w < MOS_OSC_CNT__NUM_WINDOWS; w++) {
        // The window sizes come from the Ostrel: one the counter refuses is traced and left, and
        // the counter keeps what it had for that window and the ones after it.
        Mos_RC rc = mosOscCnt_SetWindowParams(pCounter, w, &pParams->windowParams[w]);
        if (rc != MOS_RC__SUCCESS) {
            MOS_TRACE(MOS_COMP_TGT_CONT, MOS_FREQ_LOW, "Oscillation counter %d: window %u of %u s refused, %s",
                      (int)pParams->type, (unsigned)w, pParams->windowParams[w].sizeInSec, mosRc_GetStr(rc));
            return;
        }
    }
}

UINT32 cont_GatherOscCounters(Cont *pCont, MosOscCnt_QueryCounter *pArray, UINT32 maxCounters, UINT64 timeDelta)
{
    UINT32 n = 0;
    for (MosOscCnt_CounterType type : kOscTypes) {
        if (n >= maxCounters)
            break;
        MosOscCnt_Counter *pCounter = cont_GetMosOscCntArr(pCont, type);
        if (mosOscCnt_HasCounterChanged(pCounter, timeDelta) && mosOscCnt_GetCounter(pCounter, &pArray[n]) == MOS_RC__SUCCESS)
            n++;
    }
    return n;
}

void cont_GetZeroedBuffers(Cont *pCont, UINT8 **ppDataBuf, UINT8 **ppDifBuf)
{
    MOS_ASSERT(pCont->zeroedBuffer != nullptr && pCont->zeroedT10DifBuff != nullptr);
    *ppDataBuf = pCont->zeroedBuffer;
    *ppDifBuf = pCont->zeroedT10DifBuff;
}

ContObj *cont_GetObjs(Cont *pCont)
{
    return &pCont->objs;
}
ContTgtMngr *cont_GetTgtMngr(Cont *pCont)
{
    return &pCont->tgtMngr;
}
ContNet *cont_GetContNet(Cont *pCont)
{
    return &pCont->net;
}
MosOscCnt_CounterParams *cont_GetOscCntParams(Cont *pCont, MosOscCnt_CounterType type)
{
    return &pCont->perTypeOscCntParams[type];
}
Ioh *cont_GetIoh(Cont *pCont)
{
    return &pCont->ioh;
}
MosMemPool *cont_GetIoCtxPool(Cont *pCont)
{
    return &pCont->ioCtxPool;
}
MosFastlock_Base *cont_GetCopyRcvLock(Cont *pCont)
{
    return &pCont->fastLock;
}
BOOL *cont_GetCopyRcvAllocFailed(Cont *pCont)
{
    return &pCont->bCopyRcvAllocFailed;
}
RcacheNetBuf *cont_GetCachePrimary(Cont *pCont)
{
    return &pCont->cachePri;
}
RcacheNetBuf *cont_GetCacheSecondary(Cont *pCont)
{
    return &pCont->cacheSec;
}
Cache *cont_GetCache(Cont *pCont)
{
    return &pCont->readCache;
}
MosDynamicMemPool *cont_GetCopySndPool(Cont *pCont)
{
    return &pCont->copySndBufferPool;
}
MosDynamicMemPool *cont_GetCopyRcvPool(Cont *pCont)
{
    return &pCont->copyRcvBufferPool;
}
BOOL cont_GetReconfigInProgress(Cont *pCont)
{
    return pCont->bReconfigInProgress;
}
Net *cont_GetNetObj(Cont *pCont)
{
    return &pCont->net.net;
}
DumpMgr *cont_GetDumpMgr(Cont *pCont)
{
    return &pCont->dumpMgr;
}
HNetCon cont_GetOstrelCon(Cont *pCont)
{
    return pCont->hOstrelCon;
}
void cont_UpdateOstrelCon(Cont *pCont, HNetCon hCon)
{
    pCont->hOstrelCon = hCon;
}
Zmp *cont_getZmp(Cont *pCont, BOOL bPrimary)
{
    return bPrimary ? &pCont->zmpPri : &pCont->zmpSec;
}
UINT64 cont_GetTgtId(Cont *pCont)
{
    return pCont->ostrel.tgtId;
}
UINT32 cont_GetRunId(Cont *pCont)
{
    return pCont->runId;
}

BOOL cont_IsOstrelBlocked(Cont *pCont)
{
    return contOstrel_IsBlocked(&pCont->ostrel);
}

Mos_RC cont_CheckDegradePermit(Cont *pCont, UINT64 peerTgtId)
{
    ContTgt *pTgt = static_cast<ContTgt *>(contObj_Acquire(&pCont->objs, peerTgtId, CONT_OBJ_TYPE__TGT));
    if (pTgt == nullptr)
        return MOS_RC__RETRY;
    const Mos_RC rc = contTgt_CheckDegradePermit(pTgt);
    contObj_Release(&pCont->objs, peerTgtId, CONT_OBJ_TYPE__TGT);
    return rc;
}

UINT32 cont_DrawRunId(void)
{
    UINT32 id = 0;
    while (id == 0) {
        if (getrandom(&id, sizeof(id), 0) != (ssize_t)sizeof(id))
            id = (UINT32)mosTicks_GetCurrentTick() ^ (UINT32)getpid() ^ (UINT32)lrand48();
    }
    return id;
}
MosBlocking *cont_GetRcacheBlockingThread(Cont *pCont)
{
    return pCont->pBlockingRcacheAlloc;
}
