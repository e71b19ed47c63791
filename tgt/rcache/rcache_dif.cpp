#include "tgt/rcache/rcache_dif.h"

#include <cstring>

#include "mos/mos_dbg.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"
#include "tgt/tgt_conf.h"

void rcacheDif_Init(CacheDif *pCacheDif)
{
    memset(pCacheDif, 0, sizeof(*pCacheDif));
    mosMemPool_CreateEx(&pCacheDif->t10DifHitCoaleceBufferPool, "RCache T10DIF Hit Coalesce Buffers", nullptr, nullptr,
                        RCACHE_DIF__T10DIF_COALESCE_BUF_SIZE_IN_BYTES, (UINT32)tgtInitParam_G.netParam.maxRcvMsg, 0, FALSE,
                        MOS_TIMER__FREE_HANDLER_LIST);
}

void rcacheDif_Finit(CacheDif *pCacheDif)
{
    rcacheDif_Destroy(pCacheDif);
    mosMemPool_Destroy(&pCacheDif->t10DifHitCoaleceBufferPool);
}

void rcacheDif_Destroy(CacheDif *pCacheDif)
{
    if (pCacheDif->pDifBuf == nullptr)
        return;
    if (pCacheDif->bExcludedFromCore)
        mos_CoreDumpExcludeInclude(pCacheDif->pDifBuf, pCacheDif->sizeToAlloc, FALSE);
    mos_FreePageAligned(pCacheDif->pDifBuf);
    pCacheDif->pDifBuf = nullptr;
    pCacheDif->sizeToAlloc = 0;
    pCacheDif->bExcludedFromCore = FALSE;
}

Mos_RC rcacheDif_ChangeSize(CacheDif *pCacheDif, UINT64 cacheSizeInLb)
{
    rcacheDif_Destroy(pCacheDif);
    if (cacheSizeInLb == 0)
        return MOS_RC__SUCCESS;
    const UINT64 bytes = (cacheSizeInLb * RCACHE_DIF__BYTES_PER_LB + 4095) & ~(UINT64)4095;
    pCacheDif->pDifBuf = static_cast<UINT8 *>(mos_AllocPageAligned(bytes));
    if (pCacheDif->pDifBuf == nullptr) {
        MOS_ERROR(MOS_COMP_TGT_RCACHE, "No memory for a T10DIF area of %lu bytes", (unsigned long)bytes);
        return MOS_RC__NO_RESOURCES;
    }
    pCacheDif->sizeToAlloc = bytes;
    if (tgtInitParam_G.bRamcacheCoreDumpExclude) {
        mos_CoreDumpExcludeInclude(pCacheDif->pDifBuf, bytes, TRUE);
        pCacheDif->bExcludedFromCore = TRUE;
    }
    return MOS_RC__SUCCESS;
}

T10Dif *rcacheDif_GetDifBufIndexPtr(CacheDif *pCacheDif, UINT64 index)
{
    Exp(pCacheDif->pDifBuf == ((void *)0));
    Exp(index >= pCacheDif->sizeToAlloc / RCACHE_DIF__BYTES_PER_LB);
    return reinterpret_cast<T10Dif *>(pCacheDif->pDifBuf + index * RCACHE_DIF__BYTES_PER_LB);
}

void *rcacheDif_AllocT10DifBufForReadHitCoalescing(CacheDif *pCacheDif)
{
    void *pBuf = nullptr;
    if (mosMemPool_AllocNoWait(&pCacheDif->t10DifHitCoaleceBufferPool, &pBuf) != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_TGT_RCACHE, MOS_FREQ_LOW, "No T10DIF coalesce buffer left (%u in the pool)",
                  mosMemPool_GetSize(&pCacheDif->t10DifHitCoaleceBufferPool));
        return nullptr;
    }
    return pBuf;
}

void rcacheDif_FreeT10DifBufReadHitCoalescing(CacheDif *pCacheDif, void *pDifBuf)
{
    mosMemPool_Free(&pCacheDif->t10DifHitCoaleceBufferPool, pDifBuf);
}

UINT32 rcacheDif_GetFreeCoalesceCount(CacheDif *pCacheDif)
{
    return mosMemPool_GetNumOfFreeEntries(&pCacheDif->t10DifHitCoaleceBufferPool);
}

BOOL rcacheDif_IsT10DifCoalesceUsed(CacheDif *pCacheDif)
{
    return rcacheDif_GetFreeCoalesceCount(pCacheDif) < mosMemPool_GetSize(&pCacheDif->t10DifHitCoaleceBufferPool);
}

void rcacheDif_AssertValid(CacheDif *pCacheDif)
{
    mosMemPool_AssertValid(&pCacheDif->t10DifHitCoaleceBufferPool);
}
