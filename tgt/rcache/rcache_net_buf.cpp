#include "tgt/rcache/rcache_net_buf.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include "mos/mos_dbg.h"
#include "mos/mos_trace.h"
#include "mos/umt/mos_umt_mempool.h"
#include "net/net.h"
#include "tgt/rcache/rcache_net_buf_intrn.h"
#include "tgt/tgt_conf.h"
#include "tgt/tgt_contention.h"
#include "tgt/tgt_sdbg.h"

namespace {
constexpr const CHAR_A *kPrintReasonNames[RCACHE_NET_BUF_PRINT_REASON_LAST] = {
    "About to block net", "About to free net", "IOs are quiesced"};

constexpr UINT64 kSumOfBaseSizesInLbs = [] {
    UINT64 sum = 0;
    for (const RcacheNetBufPairClass &c : rcacheNetBufPairClasses_G)
        sum += (UINT64)c.blockSizeInLbs * c.baseNumBlocks;
    return sum;
}();

const CHAR_A *setName(BOOL bPri) { return bPri ? "Primary" : "Secondary"; }

UINT32 baseCount(UINT32 index) { return rcacheNetBufPairClasses_G[index].baseNumBlocks; }
UINT32 blockLbs(UINT32 index) { return rcacheNetBufPairClasses_G[index].blockSizeInLbs; }

void printStatusLocked(RcacheNetBuf *pCache, RcacheNetBuf_PrintReason printReason)
{
    const MosTraceFrequency freq = tgtInitParam_G.bDit ? MOS_FREQ_LOW : MOS_FREQ_HIGH;
    if (!MOS_TRACE_COND(MOS_COMP_TGT_RCACHE, freq))
        return;
    CHAR_A status[160];
    size_t used = 0;
    for (UINT32 i = 0; i < RCACHE_NET_BUF__NUM_POOLS && used < sizeof(status); i++)
        used += (size_t)snprintf(status + used, sizeof(status) - used, "%s:%u ", rcacheNetBufPairClasses_G[i].pName,
                                 pCache->perPoolNumOfAllocations[i]);
    MOS_TRACE(MOS_COMP_TGT_RCACHE, freq, "%s - Pool allocation status for \"%s\": %s",
              kPrintReasonNames[printReason], pCache->poolName, status);
}

// Both blocks of the pair, or neither.
bool tryAllocPair(RcacheNetBufMemDifPairPool *pPair, bool bDif, void **ppData, void **ppDif)
{
    if (mosMemPool_AllocNoWait(&pPair->dataPool, ppData) != MOS_RC__SUCCESS)
        return false;
    if (bDif && mosMemPool_AllocNoWait(&pPair->difPool, ppDif) != MOS_RC__SUCCESS) {
        mosMemPool_Free(&pPair->dataPool, *ppData);
        *ppData = nullptr;
        return false;
    }
    return true;
}

void refuseLocked(RcacheNetBuf *pCache, RcacheNetBufMemDifPairPool *pPair, UINT32 sizeInLbs)
{
    const UINT32 i = pPair->index;
    pCache->numOfFailedReq++;
    pCache->perPoolNumOfFailedReq[i]++;
    if (pCache->pNet != nullptr)
        net_SetBlockState(pCache->pNet, TRUE);
    if (pPair->bAllocationFailed)
        return;
    pCache->numOfCacheFull++;
    pCache->perPoolNumOfCacheFull[i]++;
    MOS_TRACE(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW, "Io buffers no resources %u %u", pCache->currentAllocatedInLbs,
              sizeInLbs);
    printStatusLocked(pCache, RCACHE_NET_BUF_PRINT_REASON_ABOUT_TO_BLOCK);
    pPair->bAllocationFailed = TRUE;
}

// Called after the freed blocks are back in their pools: an allocation that then finds the pair
// empty must have refused before this look, so its pause is undone here.
void resumeLocked(RcacheNetBuf *pCache, RcacheNetBufMemDifPairPool *pPair, UINT32 sizeInLbs)
{
    if (!pPair->bAllocationFailed)
        return;
    pPair->bAllocationFailed = FALSE;
    if (pCache->pNet != nullptr)
        net_SetBlockState(pCache->pNet, FALSE);
    MOS_TRACE(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW, "Io buffers has resources %u (%u)", pCache->currentAllocatedInLbs,
              sizeInLbs);
    printStatusLocked(pCache, RCACHE_NET_BUF_PRINT_REASON_ABOUT_TO_FREE);
}

// What the runtime would refuse, asked before any pool changes.
Mos_RC checkResizable(MosMemPool *pPool, UINT32 newNumBlocks)
{
    MosFastlockGuard guard(&pPool->fastlock);
    if (pPool->numBlocks == newNumBlocks)
        return MOS_RC__SUCCESS;
    if (pPool->bGuardPage)
        return MOS_RC__INVALID;
    if (pPool->pOldMem != nullptr || !pPool->bIsReadyToUse)
        return MOS_RC__BUSY;
    return MOS_RC__SUCCESS;
}

void traceResized(const RcacheNetBufMemDifPairPool *pPair, bool bData, UINT32 numBlocks, bool bReduce)
{
    if (bData)
        MOS_TRACE(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW, "Resized dataPool of memPoolIndex %u to contains %u blocks - %s",
                  pPair->index, numBlocks, bReduce ? "reducing" : "expanding");
    else
        MOS_TRACE(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW, "Resized  difPool of memPoolIndex %u to contains %u blocks",
                  pPair->index, numBlocks);
}

// Data first when shrinking, DIF first when growing; a failure of the second puts the first back.
Mos_RC resizePair(RcacheNetBufMemDifPairPool *pPair, UINT32 newNumBlocks)
{
    const UINT32 oldNumBlocks = mosMemPool_GetSize(&pPair->dataPool);
    const bool bReduce = newNumBlocks <= oldNumBlocks;
    MosMemPool *pFirst = bReduce ? &pPair->dataPool : &pPair->difPool;
    MosMemPool *pSecond = bReduce ? &pPair->difPool : &pPair->dataPool;
    Mos_RC rc = mosMemPool_Resize(pFirst, newNumBlocks);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    traceResized(pPair, bReduce, newNumBlocks, bReduce);
    rc = mosMemPool_Resize(pSecond, newNumBlocks);
    if (rc == MOS_RC__SUCCESS) {
        traceResized(pPair, !bReduce, newNumBlocks, bReduce);
        return rc;
    }
    const Mos_RC undoRc = mosMemPool_Resize(pFirst, oldNumBlocks);
    MOS_ERROR(MOS_COMP_TGT_RCACHE, "Resize of memPoolIndex %u to %u blocks failed (%s); putting it back: %s",
              pPair->index, newNumBlocks, mosRc_GetStr(rc), mosRc_GetStr(undoRc));
    return rc;
}
} // namespace

RcacheNetBufMemDifPairPool *rcacheNetBuf_GetPoolPair(RcacheNetBuf *pCache, UINT32 sizeInLbs)
{
    Exp(sizeInLbs == 0);
    Exp(sizeInLbs > combSizeInLbs_g);
    Exp(sizeInLbs > RCACHE_NET_BUF__MAX_SIZE_IN_LBS);
    const UINT32 size = MOS_MAX(sizeInLbs, RCACHE_NET_BUF__MIN_CLASS_IN_LBS);
    const UINT32 b = 31u - (UINT32)__builtin_clz(2 * size - 1); // 5..11
    return pCache->cacheMemPool.allocSizeToMemPool[b - 5];
}

void rcacheNetBuf_Init(RcacheNetBuf *pCache, Cont *pCont, Net *pNet, BOOL bPri, const CHAR_A *poolName)
{
    Exp(pTgtSdbg_g == ((void *)0));
    memset(pCache, 0, sizeof(*pCache));
    mosFastlockBase_Create(&pCache->fastlock, TGT_CONTENTION__NET_BUF, __FILE__, __LINE__);
    pCache->pCont = pCont;
    pCache->pNet = pNet;
    const UINT64 mask = tgtInitParam_G.guardPageEnableMask;
    const BOOL bGuard = (mask & (bPri ? 1u : 2u)) != 0;
    MOS_TRACE(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW, "%s NetBuf MemPool enabling Guard Page: guardPageEnableMask=%lx",
              setName(bPri), (unsigned long)mask);

    RcacheNetBufPool &pools = pCache->cacheMemPool;
    for (UINT32 i = 0; i < RCACHE_NET_BUF__NUM_POOLS; i++) {
        RcacheNetBufMemDifPairPool &pair = pools.memPoolPairArray[i];
        const UINT32 numBlocks = baseCount(i) * RCACHE_NET_BUF__INITIAL_MULT;
        pair.index = i;
        mosMemPool_CreateEx(&pair.dataPool, "Io buffers - G5", mosUmtMemPool_YieldIfShould, nullptr,
                            blockLbs(i) * 512u, numBlocks, RCACHE_NET_BUF__DATA_ALIGNMENT, bGuard,
                            MOS_TIMER__FREE_HANDLER_STACK);
        mosMemPool_CreateEx(&pair.difPool, "Io DIF buffers", mosUmtMemPool_YieldIfShould, nullptr,
                            blockLbs(i) * RCACHE_NET_BUF__DIF_BYTES_PER_LB, numBlocks,
                            RCACHE_NET_BUF__DIF_ALIGNMENT, FALSE, MOS_TIMER__FREE_HANDLER_STACK);
        MOS_TRACE(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW, "T10DIF:Buffers: buf_size=%u KB, num_buf=%u", blockLbs(i) / 2,
                  numBlocks);
        pCache->perPoolTotalSizeInLbs[i] = blockLbs(i) * baseCount(i);
        pCache->totalSizeInLbs += blockLbs(i) * numBlocks;
    }
    UINT32 pair = 0;
    for (UINT32 c = 0; c < RCACHE_NET_BUF__NUM_SIZE_CLASSES; c++) {
        const UINT32 classLbs = RCACHE_NET_BUF__MIN_CLASS_IN_LBS << c;
        while (pair < RCACHE_NET_BUF__NUM_POOLS && blockLbs(pair) < classLbs)
            pair++;
        MOS_ASSERT(pair < RCACHE_NET_BUF__NUM_POOLS);
        pools.allocSizeToMemPool[c] = &pools.memPoolPairArray[pair];
    }
    if (poolName != nullptr)
        strncpy(pCache->poolName, poolName, RCACHE_NET_BUF__POOL_NAME_SIZE - 1);
    mosObjType_RegObj(&pTgtSdbg_g->netBufType, &pCache->sdbgObj, pCache->poolName);
}

void rcacheNetBuf_Destroy(RcacheNetBuf *pCache)
{
    if (pCache->cacheMemPool.allocSizeToMemPool[0] == nullptr)
        return;
    if (pTgtSdbg_g != nullptr)
        mosObjType_UnregObj(&pTgtSdbg_g->netBufType, &pCache->sdbgObj);
    for (RcacheNetBufMemDifPairPool &pair : pCache->cacheMemPool.memPoolPairArray) {
        mosMemPool_Destroy(&pair.difPool);
        mosMemPool_Destroy(&pair.dataPool);
    }
    mosFastlockBase_Destroy(&pCache->fastlock);
    memset(pCache, 0, sizeof(*pCache));
}

void *rcacheNetBuf_Allocate(RcacheNetBuf *pCache, UINT32 sizeInLbs, BOOL bWait, void **ppDIF)
{
    RcacheNetBufMemDifPairPool *pPair = rcacheNetBuf_GetPoolPair(pCache, sizeInLbs);
    void *pData = nullptr;
    void *pDif = nullptr;
    if (bWait) {
        mosUmtMemPool_AllocWait(&pPair->dataPool, &pData);
        if (ppDIF != nullptr)
            mosUmtMemPool_AllocWait(&pPair->difPool, &pDif);
    } else if (!tryAllocPair(pPair, ppDIF != nullptr, &pData, &pDif)) {
        // Looked at again under the lock that frees take after returning their blocks, so a
        // block that came back in between is taken instead of pausing reception for nothing.
        MosFastlockGuard guard(&pCache->fastlock);
        if (!tryAllocPair(pPair, ppDIF != nullptr, &pData, &pDif)) {
            refuseLocked(pCache, pPair, sizeInLbs);
            return nullptr;
        }
    }
    if (ppDIF != nullptr)
        *ppDIF = pDif;
    if (tgtInitParam_G.bSdbgExtraInfo) {
        MosFastlockGuard guard(&pCache->fastlock);
        pCache->numOfAllocations++;
        pCache->currentAllocatedInLbs += sizeInLbs;
        pCache->perPoolNumOfAllocations[pPair->index]++;
        pCache->perPoolCurrentAllocatedInLbs[pPair->index] += sizeInLbs;
    }
    return pData;
}

void rcacheNetBuf_Free(RcacheNetBuf *pCache, void *pData, void *pDif, UINT32 sizeInLbs)
{
    RcacheNetBufMemDifPairPool *pPair = rcacheNetBuf_GetPoolPair(pCache, sizeInLbs);
    Exp(pData == ((void *)0));
    if (pDif != nullptr)
        mosMemPool_Free(&pPair->difPool, pDif);
    mosMemPool_Free(&pPair->dataPool, pData);
    MosFastlockGuard guard(&pCache->fastlock);
    if (tgtInitParam_G.bSdbgExtraInfo) {
        const UINT32 i = pPair->index;
        Exp(pCache->numOfAllocations == 0 || pCache->perPoolNumOfAllocations[i] == 0);
        Exp(pCache->currentAllocatedInLbs < sizeInLbs || pCache->perPoolCurrentAllocatedInLbs[i] < sizeInLbs);
        pCache->numOfAllocations--;
        pCache->currentAllocatedInLbs -= sizeInLbs;
        pCache->perPoolNumOfAllocations[i]--;
        pCache->perPoolCurrentAllocatedInLbs[i] -= sizeInLbs;
    }
    resumeLocked(pCache, pPair, sizeInLbs);
}

Mos_RC rcacheNetBuf_FreeDIF(RcacheNetBuf *pCache, void *pDif, UINT32 sizeInLbs)
{
    RcacheNetBufMemDifPairPool *pPair = rcacheNetBuf_GetPoolPair(pCache, sizeInLbs);
    if (pDif == nullptr) {
        MOS_ERROR(MOS_COMP_TGT_RCACHE, "No DIF block to free for %u LB in \"%s\"", sizeInLbs, pCache->poolName);
        return MOS_RC__INVALID_ARG;
    }
    mosMemPool_Free(&pPair->difPool, pDif);
    MosFastlockGuard guard(&pCache->fastlock);
    resumeLocked(pCache, pPair, sizeInLbs);
    return MOS_RC__SUCCESS;
}

Mos_RC rcacheNetBuf_Resize(RcacheNetBuf *pCache, UINT32 cacheSizeMult, BOOL bPri)
{
    if (cacheSizeMult == 0 || (UINT64)cacheSizeMult * kSumOfBaseSizesInLbs > UINT32_MAX) {
        MOS_ERROR(MOS_COMP_TGT_RCACHE, "%s NetBuf: multiplier %u refused", setName(bPri), cacheSizeMult);
        return MOS_RC__INVALID_ARG;
    }
    for (RcacheNetBufMemDifPairPool &pair : pCache->cacheMemPool.memPoolPairArray) {
        const UINT32 newNumBlocks = baseCount(pair.index) * cacheSizeMult;
        for (MosMemPool *pPool : {&pair.dataPool, &pair.difPool}) {
            const Mos_RC rc = checkResizable(pPool, newNumBlocks);
            if (rc != MOS_RC__SUCCESS) {
                MOS_ERROR(MOS_COMP_TGT_RCACHE, "%s NetBuf: %s of memPoolIndex %u cannot take %u blocks (%s)",
                          setName(bPri), pPool == &pair.dataPool ? "dataPool" : "difPool", pair.index,
                          newNumBlocks, mosRc_GetStr(rc));
                return rc;
            }
        }
    }
    Mos_RC rc = MOS_RC__SUCCESS;
    for (RcacheNetBufMemDifPairPool &pair : pCache->cacheMemPool.memPoolPairArray) {
        rc = resizePair(&pair, baseCount(pair.index) * cacheSizeMult);
        if (rc != MOS_RC__SUCCESS)
            break;
    }
    MosFastlockGuard guard(&pCache->fastlock);
    pCache->totalSizeInLbs = 0;
    for (RcacheNetBufMemDifPairPool &pair : pCache->cacheMemPool.memPoolPairArray)
        pCache->totalSizeInLbs += blockLbs(pair.index) * mosMemPool_GetSize(&pair.dataPool);
    return rc;
}

void rcacheNetBuf_PrintNumAllocStatus(RcacheNetBuf *pCache, RcacheNetBuf_PrintReason printReason)
{
    Exp(printReason >= RCACHE_NET_BUF_PRINT_REASON_LAST);
    MosFastlockGuard guard(&pCache->fastlock);
    printStatusLocked(pCache, printReason);
}

BOOL rcacheNetBuf_IsMemPoolState(RcacheNetBuf *pCache, BOOL bIsEmpty)
{
    BOOL bOk = TRUE;
    for (RcacheNetBufMemDifPairPool &pair : pCache->cacheMemPool.memPoolPairArray) {
        MOS_TRACE(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW, "Verifying pool: Index=%u, blockSize=%u Lbs", pair.index,
                  blockLbs(pair.index));
        for (MosMemPool *pPool : {&pair.dataPool, &pair.difPool}) {
            const UINT32 freeCount = mosMemPool_GetNumOfFreeEntries(pPool);
            const UINT32 size = mosMemPool_GetSize(pPool);
            if (bIsEmpty ? freeCount != 0 : freeCount == size)
                continue;
            MOS_ERROR(MOS_COMP_TGT_RCACHE, "Pool %s of index %u has %u free of %u", pPool->obj.pName, pair.index,
                      freeCount, size);
            bOk = FALSE;
        }
    }
    return bOk;
}

void rcacheNetBuf_SelfTestMemPoolState(RcacheNetBuf *pCache, BOOL bIsEmpty)
{
    MOS_ASSERT(rcacheNetBuf_IsMemPoolState(pCache, bIsEmpty));
}

void rcacheNetBuf_AssertValid(RcacheNetBuf *pCache)
{
    for (RcacheNetBufMemDifPairPool &pair : pCache->cacheMemPool.memPoolPairArray) {
        mosMemPool_AssertValid(&pair.dataPool);
        mosMemPool_AssertValid(&pair.difPool);
    }
}

void rcacheNetBuf_Query(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    MOS_UNUSED(pName);
    RcacheNetBuf *pCache = MOS_CONTAINER_OF(pObj, RcacheNetBuf, sdbgObj);
    RcacheNetBufQuery *pQuery = static_cast<RcacheNetBufQuery *>(pData);
    MosFastlockGuard guard(&pCache->fastlock);
    pQuery->numOfAllocations = pCache->numOfAllocations;
    pQuery->currentAllocatedInLbs = pCache->currentAllocatedInLbs;
    pQuery->totalSizeInLbs = pCache->totalSizeInLbs;
    pQuery->numOfCacheFull = pCache->numOfCacheFull;
    pQuery->numOfFailedReq = pCache->numOfFailedReq;
    memcpy(pQuery->perPoolNumOfAllocations, pCache->perPoolNumOfAllocations, sizeof(pQuery->perPoolNumOfAllocations));
    memcpy(pQuery->perPoolCurrentAllocatedInLbs, pCache->perPoolCurrentAllocatedInLbs,
           sizeof(pQuery->perPoolCurrentAllocatedInLbs));
    memcpy(pQuery->perPoolTotalSizeInLbs, pCache->perPoolTotalSizeInLbs, sizeof(pQuery->perPoolTotalSizeInLbs));
    memcpy(pQuery->perPoolNumOfCacheFull, pCache->perPoolNumOfCacheFull, sizeof(pQuery->perPoolNumOfCacheFull));
    memcpy(pQuery->perPoolNumOfFailedReq, pCache->perPoolNumOfFailedReq, sizeof(pQuery->perPoolNumOfFailedReq));
    memcpy(pQuery->poolName, pCache->poolName, sizeof(pQuery->poolName));
    pQuery->poolName[RCACHE_NET_BUF__POOL_NAME_SIZE - 1] = 0;
}
