#include "tgt/phy/phy_dev_io.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "mos/mos_dbg.h"
#include "mos/mos_diag_counters.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_scramble.h"
#include "mos/umt/mos_umt_limiter.h"
#include "tgt/file/file.h"
#include "tgt/phy/stmp.h"
#include "tgt/phy/tgt_t10dif.h"
#include "tgt/phy/zmp.h"
#include "tgt/rcache/rcache.h"
#include "tgt/rcache/rcache_net_buf.h"
#include "tgt/tgt_conf.h"

static_assert(offsetof(MosAsyncIO_Req, callerCK) == 0);
static_assert(PHY_DEV__ZERO_PAD_BUF_LBS == ZMP__BUFFER_SIZE_IN_LBS);
static_assert(PHY_DEV__TEST_HISTORY == sizeof(PhyDev::testHistory) / sizeof(PhyDevTestHistory));

namespace {
void (*readCacheStatsHook_G)(UINT64 latencyMicro) = nullptr;

T10Dif *guardsOf(void *pZeroPadBuf)
{
    return reinterpret_cast<T10Dif *>(static_cast<UINT8 *>(pZeroPadBuf) + (size_t)PHY_DEV__MAX_IO_LBS * LB_SIZE_IN_BYTES);
}

void highPrioStart(PhyDev *pDev)
{
    MosFastlockGuard g(&pDev->limiterFastLock);
    pDev->curHighPrioOps++;
    pDev->lastHighPrioTimeStamp = phyAddDevProgress_NowUsec();
}

void highPrioEnd(PhyDev *pDev, UINT32 sizeInLbs)
{
    MosFastlockGuard g(&pDev->limiterFastLock);
    MOS_ASSERT(pDev->curHighPrioOps > 0);
    pDev->curHighPrioOps--;
    phyDev_UpdateLimiterIODone(&pDev->rebuildLimiter, sizeInLbs, TRUE);
    phyDev_UpdateLimiterIODone(&pDev->rebalanceLimiter, sizeInLbs, TRUE);
}

UINT64 nowUsec() { return phyAddDevProgress_NowUsec(); }

// Every write, whatever its result, leaves no cached copy of what it covered.
void invalidateCache(PhyDev *pDev, UINT64 offsetInLbs, UINT32 sizeInLbs)
{
    if (pDev->pRcache != nullptr)
        rcache_Invalidate(pDev->pRcache, pDev->header.devId, pDev->ramcacheGenNum, offsetInLbs, sizeInLbs);
}

// Zeros (obfuscated with the key) and their guards over [lbInTooth, lbInTooth + count) of a pad
// buffer. Every guard is written, so none left by an earlier user of the buffer survives.
void padZeros(void *pBuf, UINT32 lbInTooth, UINT32 count, UINT64 key)
{
    if (count == 0)
        return;
    UINT8 *pData = static_cast<UINT8 *>(pBuf) + (size_t)lbInTooth * LB_SIZE_IN_BYTES;
    T10Dif *pDif = guardsOf(pBuf) + lbInTooth;
    if (key != 0) {
        mosT10Dif_CreateEncryptedZeroDataAndDif(pData, pDif, 0, 0, 0, count, key);
        return;
    }
    // The data part of a pool buffer is zeros on return.
    for (UINT32 i = 0; i < count; i++)
        pDif[i].guard = t10dif_ZeroBufGuard_G;
}

Mos_RC decodeForCache(void *pBuf, T10Dif *pDif, UINT32 sizeInLbs, UINT64 key, RdIoFlags rdIoFlags)
{
    if (!rdIoFlags.bT10Dif) {
        if (key != 0)
            mos_Encrypt(pBuf, sizeInLbs, key);
        return MOS_RC__SUCCESS;
    }
    mosDiagCounters_Count(MOS_DIAG_COUNTER__T10DIF_GEN_READ_INTO_CACHE);
    NetSmallIov data, dif;
    NET_IOV__INIT(&data);
    NET_IOV__INIT(&dif);
    netIov_AddBuffer(&data, pBuf, sizeInLbs * LB_SIZE_IN_BYTES, RCACHE_MD__BUF_TYPE_RCACHE);
    netIov_AddBuffer(&dif, pDif, sizeInLbs * (UINT32)sizeof(T10Dif), RCACHE_MD__BUF_TYPE_RCACHE_DIF);
    Mos_RC rc = tgtT10Dif_EncryptIov(&data, &dif, key);
    netIov_Destroy(&data);
    netIov_Destroy(&dif);
    if (rc == MOS_RC__LOGICAL_BLOCK_CHECK_GUARD_FAILED) {
        MOS_TRACE(MOS_COMP_T10DIF, MOS_FREQ_LOW, "Read into cache failed DIF verification over Decrypt: rc=%u",
                  (unsigned)rc);
        tgtT10Dif_VerifyFailure(MOS_DIAG_COUNTER__T10DIF_VERIFY_FAIL_CACHE_DCRPT);
    }
    return rc;
}

void attach(RCacheIoBuf *pIob, void *pBuf, T10Dif *pDif, UINT32 sizeInLbs)
{
    netIov_AddBuffer(&pIob->dataIov, pBuf, sizeInLbs * LB_SIZE_IN_BYTES, RCACHE_MD__BUF_TYPE_RCACHE);
    if (pDif != nullptr)
        netIov_AddBuffer(&pIob->difIov, pDif, sizeInLbs * (UINT32)sizeof(T10Dif), RCACHE_MD__BUF_TYPE_RCACHE_DIF);
    pIob->bufSizeInLbs = sizeInLbs;
}

// No cache buffer: the exact range goes into a buffer of the primary pool and stays out of the
// cache.
Mos_RC readIntoPool(PhyDev *pDev, RCacheIoBuf *pIob, UINT64 offsetInLbs, UINT32 sizeInLbs, UINT32 copyReason,
                    RdIoFlags rdIoFlags, CombId combId, UINT32 offsetInComb)
{
    if (pIob->pNetBufPool == nullptr)
        return MOS_RC__NO_RESOURCES;
    void *pDif = nullptr;
    void *pBuf = rcacheNetBuf_Allocate(pIob->pNetBufPool, sizeInLbs, TRUE, &pDif);
    if (pBuf == nullptr)
        return MOS_RC__NO_RESOURCES;
    Mos_RC rc = phyDev_Read(pDev, pBuf, static_cast<T10Dif *>(pDif), offsetInLbs, sizeInLbs, copyReason, combId,
                            offsetInComb, rdIoFlags);
    if (rc == MOS_RC__SUCCESS)
        rc = decodeForCache(pBuf, static_cast<T10Dif *>(pDif), sizeInLbs, pIob->obfuscationKey, rdIoFlags);
    if (rc != MOS_RC__SUCCESS) {
        rcacheNetBuf_Free(pIob->pNetBufPool, pBuf, pDif, sizeInLbs);
        return rc;
    }
    pIob->pOwnBuf = pBuf;
    pIob->pOwnDif = static_cast<T10Dif *>(pDif);
    pIob->bOwnFromPool = TRUE;
    pIob->offsetInCacheBuffers = 0;
    attach(pIob, pBuf, static_cast<T10Dif *>(pDif), sizeInLbs);
    return MOS_RC__SUCCESS;
}

PhyDevRebLimiter *limiterOf(PhyDev *pDev, UINT32 copyReason, MosUmt_Sem **ppSem)
{
    switch (copyReason) {
    case COPY_TYPE__MIGRATION:
        *ppSem = &pDev->parallelRebalanceToDev;
        return &pDev->rebalanceLimiter;
    case COPY_TYPE__FWD_REBUILD:
    case COPY_TYPE__DEGRADED_BACK_REBUILD:
    case COPY_TYPE__REVERSE_REBUILD:
    case COPY_TYPE__NORM_BACK_REBUILD:
        *ppSem = &pDev->parallelRebuildToDev;
        return &pDev->rebuildLimiter;
    default:
        MOS_UNREACHABLE("a copy reason without a limiter is throttled");
    }
}

void setWindow(PhyDevRebLimiter *pLimiter, UINT32 quietMs, UINT32 iops, UINT32 bwKb)
{
    if (quietMs == 0) {
        pLimiter->bSlidingWindowIsUsed = FALSE;
        return;
    }
    if (pLimiter->bSlidingWindowInit) {
        TgtBwcSlidingWindow_UpdateParams(&pLimiter->slidingWindow, quietMs, iops, bwKb * 2);
    } else {
        TgtBwcSlidingWindow_Init(&pLimiter->slidingWindow, quietMs, iops, bwKb * 2);
        pLimiter->bSlidingWindowInit = TRUE;
    }
    pLimiter->bSlidingWindowIsUsed = TRUE;
}

UINT64 chooseOffset(PhyDevTestJob *pJob)
{
    PhyDevTest *t = pJob->pTest;
    const UINT32 size = t->ioSizeInLbs;
    if (t->pattern == DEV_TEST_PATTERN_TYPE__WRITE_RAND || t->pattern == DEV_TEST_PATTERN_TYPE__READ_RAND) {
        UINT64 r = (UINT64)lrand48();
        UINT64 span = t->lastLb - size - t->startOffset;
        return t->startOffset + ((span * r) >> 31);
    }
    UINT64 off = pJob->nextOffset;
    pJob->nextOffset = off + size;
    if (pJob->nextOffset + size - 1 > t->lastLb)
        pJob->nextOffset = t->startOffset;
    return off;
}

BOOL isWritePattern(UINT32 pattern)
{
    return pattern == DEV_TEST_PATTERN_TYPE__WRITE_SEQ || pattern == DEV_TEST_PATTERN_TYPE__WRITE_RAND;
}
} // namespace

void rcacheIoBuf_Init(RCacheIoBuf *pIob, UINT64 obfuscationKey, RcacheNetBuf *pNetBufPool)
{
    *pIob = RCacheIoBuf{};
    NET_IOV__INIT(&pIob->dataIov);
    NET_IOV__INIT(&pIob->difIov);
    pIob->obfuscationKey = obfuscationKey;
    pIob->pNetBufPool = pNetBufPool;
}

void phyDev_SetReadCacheStatsHook(void (*pHook)(UINT64 latencyMicro)) { readCacheStatsHook_G = pHook; }

Mos_RC phyDev_ReadResult(Mos_RC fileRc)
{
    if (fileRc == MOS_RC__SUCCESS || fileRc == MOS_RC__LOGICAL_BLOCK_CHECK_GUARD_FAILED)
        return fileRc;
    return MOS_RC__IO_HARD_ERROR;
}

Mos_RC phyDev_Write(PhyDev *pDev, const void *pData, T10Dif *pDifBuf, UINT64 offsetInLbs, UINT32 sizeInLbs,
                    WrIoFlags wrIoFlags, UINT32 copyReason, CombId combId, UINT32 offsetInComb, UINT64 obfuscationKey)
{
    Exp(sizeInLbs > PHY_DEV__MAX_IO_LBS || sizeInLbs == 0);
    if (wrIoFlags.bT10Dif) {
        mosDiagCounters_Count(MOS_DIAG_COUNTER__T10DIF_VERIFY_WR_DISK);
        Mos_RC rc = mosT10Dif_VerifyT10DIF(wrIoFlags.bZeroWrite ? nullptr : pData, pDifBuf, 0,
                                           combId_GetRowIndex(combId), offsetInComb, sizeInLbs, obfuscationKey);
        if (rc != MOS_RC__SUCCESS) {
            MOS_TRACE(MOS_COMP_T10DIF, MOS_FREQ_LOW, "(T10DIF) T10 DIF verification failure: sizeInLbs=%u", sizeInLbs);
            tgtT10Dif_VerifyFailure(MOS_DIAG_COUNTER__T10DIF_VERIFY_FAIL_PHY_WRITE);
            return rc;
        }
    }
    const BOOL bHighPrio = copyReason == COPY_TYPE__NONE;
    if (bHighPrio)
        highPrioStart(pDev);
    Mos_RC rc = file_Write(pDev->pFile, pData, offsetInLbs, sizeInLbs, FILE_IO_TYPE__IO, combId, offsetInComb);
    if (bHighPrio)
        highPrioEnd(pDev, sizeInLbs);
    return rc;
}

Mos_RC phyDev_Read(PhyDev *pDev, void *pData, T10Dif *pDifBuf, UINT64 offsetInLbs, UINT32 sizeInLbs,
                   UINT32 copyReason, CombId combId, UINT32 offsetInComb, RdIoFlags rdIoFlags)
{
    Exp(sizeInLbs > PHY_DEV__MAX_IO_LBS || sizeInLbs == 0);
    const BOOL bHighPrio = copyReason == COPY_TYPE__NONE;
    if (bHighPrio)
        highPrioStart(pDev);
    Mos_RC rc = file_Read(pDev->pFile, pData, pDifBuf, offsetInLbs, sizeInLbs, FILE_IO_TYPE__IO, FALSE, combId,
                          offsetInComb, rdIoFlags);
    if (bHighPrio)
        highPrioEnd(pDev, sizeInLbs);
    if (rc == MOS_RC__LOGICAL_BLOCK_CHECK_GUARD_FAILED) {
        MOS_TRACE(MOS_COMP_T10DIF, MOS_FREQ_LOW, "(T10DIF) DIF Verification Failed: pData=%p, pDif=%p", pData,
                  (void *)pDifBuf);
        mosDiagCounters_Count(rdIoFlags.bPrimary ? MOS_DIAG_COUNTER__T10DIF_VERIFY_FAIL_DISK_RD_PRI
                                                 : MOS_DIAG_COUNTER__T10DIF_VERIFY_FAIL_DISK_RD_SEC);
    }
    return phyDev_ReadResult(rc);
}

Mos_RC phyDev_WriteWithZeroPad(PhyDev *pDev, const void *pData, T10Dif *pDifBuf, UINT64 offsetInLbs,
                               UINT32 sizeInLbs, WrIoFlags wrIoFlags, UINT32 copyReason, CombId combId,
                               UINT32 offsetInComb, UINT64 obfuscationKey, Zmp *pZmp)
{
    Exp(sizeInLbs > PHY_DEV__MAX_IO_LBS || sizeInLbs == 0);
    if (!pDev->bDevZeroPadEnabled || sizeInLbs == PHY_DEV__MAX_IO_LBS || !wrIoFlags.bZeroPad) {
        Mos_RC rc = phyDev_Write(pDev, pData, pDifBuf, offsetInLbs, sizeInLbs, wrIoFlags, copyReason, combId,
                                 offsetInComb, obfuscationKey);
        invalidateCache(pDev, offsetInLbs, sizeInLbs);
        return rc;
    }
    MOS_ASSERT_WITH_DESC(pZmp != nullptr, "a padded write needs a zero-buffer pool");
    const UINT64 first = offsetInLbs / PHY_DEV__MAX_IO_LBS * PHY_DEV__MAX_IO_LBS;
    const UINT32 left = (UINT32)(offsetInLbs - first);
    Exp(left + sizeInLbs > PHY_DEV__MAX_IO_LBS); // the write stays inside its tooth
    const UINT32 right = PHY_DEV__MAX_IO_LBS - left - sizeInLbs;
    void *pBuf = zmp_Allocate(pZmp, PHY_DEV__ZERO_PAD_BUF_LBS, TRUE);
    MOS_ASSERT(pBuf != nullptr);
    __atomic_add_fetch(&pDev->zeroCount, 1, __ATOMIC_RELAXED);
    __atomic_add_fetch(&pDev->zeroIOSize, (UINT64)PHY_DEV__MAX_IO_LBS, __ATOMIC_RELAXED);
    __atomic_add_fetch(&pDev->zeroOverhead, (UINT64)(PHY_DEV__MAX_IO_LBS - sizeInLbs), __ATOMIC_RELAXED);

    padZeros(pBuf, 0, left, obfuscationKey);
    UINT8 *pMid = static_cast<UINT8 *>(pBuf) + (size_t)left * LB_SIZE_IN_BYTES;
    T10Dif *pMidDif = guardsOf(pBuf) + left;
    if (pData == nullptr) {
        padZeros(pBuf, left, sizeInLbs, obfuscationKey); // a zero write
    } else {
        memcpy(pMid, pData, (size_t)sizeInLbs * LB_SIZE_IN_BYTES);
        if (pDifBuf != nullptr)
            memcpy(pMidDif, pDifBuf, (size_t)sizeInLbs * sizeof(T10Dif));
        else
            mosT10Dif_GenT10DIF(pMid, pMidDif, 0, combId_GetRowIndex(combId), offsetInComb, sizeInLbs);
    }
    padZeros(pBuf, left + sizeInLbs, right, obfuscationKey);

    // The buffer holds the data itself now, zeros included.
    WrIoFlags toothFlags = wrIoFlags;
    toothFlags.bZeroWrite = 0;
    Mos_RC rc = phyDev_Write(pDev, pBuf, guardsOf(pBuf), first, PHY_DEV__MAX_IO_LBS, toothFlags, copyReason, combId,
                             offsetInComb - left, obfuscationKey);
    memset(pBuf, 0, (size_t)(obfuscationKey != 0 ? PHY_DEV__ZERO_PAD_BUF_LBS : PHY_DEV__MAX_IO_LBS) * LB_SIZE_IN_BYTES);
    zmp_Free(pZmp, pBuf);
    invalidateCache(pDev, first, PHY_DEV__MAX_IO_LBS);
    return rc;
}

Mos_RC phyDev_ReadWithCache(PhyDev *pDev, RCacheIoBuf *pIob, UINT64 offsetInLbs, UINT32 sizeInLbs,
                            UINT32 copyReason, RdIoFlags rdIoFlags, CombId combId, UINT32 offsetInComb)
{
    Exp(sizeInLbs > PHY_DEV__MAX_IO_LBS || sizeInLbs == 0);
    const UINT64 start = offsetInLbs / RCACHE__PAGE_LBS * RCACHE__PAGE_LBS;
    const UINT64 end = (offsetInLbs + sizeInLbs + RCACHE__PAGE_LBS - 1) / RCACHE__PAGE_LBS * RCACHE__PAGE_LBS;
    const UINT32 size = (UINT32)(end - start);
    const UINT32 lead = (UINT32)(offsetInLbs - start);
    Cache *pCache = pDev->pRcache;
    const UINT64 t0 = nowUsec();
    if (pCache == nullptr || size > RCACHE__MAX_IO_IN_LB)
        return readIntoPool(pDev, pIob, offsetInLbs, sizeInLbs, copyReason, rdIoFlags, combId, offsetInComb);

    const UINT64 devId = pDev->header.devId;
    const UINT16 gen = pDev->ramcacheGenNum;
    BOOL bCoalesced = FALSE;
    Mos_RC rc = rcache_RetrieveData(pCache, devId, gen, start, size, pIob->obfuscationKey, &pIob->dataIov,
                                    &pIob->difIov, rdIoFlags, &bCoalesced);
    if (rc == MOS_RC__SUCCESS) {
        pIob->bFoundInCache = TRUE;
        pIob->bCoalesced = bCoalesced;
        pIob->devId = devId;
        pIob->devGenNum = gen;
        pIob->lba = start;
        pIob->bufSizeInLbs = size;
        pIob->offsetInCacheBuffers = lead;
        if (readCacheStatsHook_G != nullptr)
            readCacheStatsHook_G(nowUsec() - t0);
        return MOS_RC__SUCCESS;
    }
    T10Dif *pDif = nullptr;
    void *pBuf = rcache_AllocBuffer(pCache, size, &pDif);
    if (pBuf == nullptr)
        return readIntoPool(pDev, pIob, offsetInLbs, sizeInLbs, copyReason, rdIoFlags, combId, offsetInComb);
    rc = phyDev_Read(pDev, pBuf, pDif, start, size, copyReason, combId, offsetInComb - lead, rdIoFlags);
    if (rc == MOS_RC__SUCCESS)
        rc = decodeForCache(pBuf, pDif, size, pIob->obfuscationKey, rdIoFlags);
    if (rc != MOS_RC__SUCCESS) {
        rcache_FreeBuffer(pCache, pBuf, size, TRUE);
        return rc;
    }
    if (rcache_InsertData(pCache, devId, gen, start, size, pBuf, rdIoFlags.bT10Dif, FALSE) == MOS_RC__SUCCESS) {
        pIob->bInCache = TRUE;
        pIob->devId = devId;
        pIob->devGenNum = gen;
        pIob->lba = start;
    } else {
        pIob->pOwnBuf = pBuf; // served from the buffer, given back to the cache afterwards
        pIob->pOwnDif = pDif;
    }
    pIob->offsetInCacheBuffers = lead;
    attach(pIob, pBuf, pDif, size);
    if (readCacheStatsHook_G != nullptr)
        readCacheStatsHook_G(nowUsec() - t0);
    return MOS_RC__SUCCESS;
}

Mos_RC phyDev_UpdateCacheAfterWrite(PhyDev *pDev, RCacheIoBuf *pIob, UINT64 offsetInLbs, UINT32 sizeInLbs,
                                    void *pData, WrIoFlags wrIoFlags)
{
    Cache *pCache = pDev->pRcache;
    // Only data that lives in cache memory can become entries, and only whole pages.
    if (pCache == nullptr || pIob->bOwnFromPool || offsetInLbs % RCACHE__PAGE_LBS != 0 ||
        sizeInLbs % RCACHE__PAGE_LBS != 0 || sizeInLbs == 0 || sizeInLbs > RCACHE__MAX_IO_IN_LB)
        return MOS_RC__NOT_FOUND;
    const UINT64 devId = pDev->header.devId;
    const UINT16 gen = pDev->ramcacheGenNum;
    Mos_RC rc = rcache_InsertData(pCache, devId, gen, offsetInLbs, sizeInLbs, pData, wrIoFlags.bT10Dif,
                                  pIob->obfuscationKey != 0 ? TRUE : FALSE);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    pIob->bInCache = TRUE;
    pIob->devId = devId;
    pIob->devGenNum = gen;
    pIob->lba = offsetInLbs;
    pIob->offsetInCacheBuffers = 0;
    attach(pIob, pData, nullptr, sizeInLbs);
    return MOS_RC__SUCCESS;
}

void phyDev_ReleaseCacheIoBuf(PhyDev *pDev, RCacheIoBuf *pIob)
{
    Cache *pCache = pDev->pRcache;
    if (pIob->bFoundInCache || pIob->bInCache) {
        if (pIob->bCoalesced && !NET_IOV__IS_EMPTY(&pIob->difIov))
            rcache_FreeT10DifCoalesceBuffer(pCache, NET_IOV__GET(&pIob->difIov, 0, nullptr));
        rcache_CompleteBufferUsage(pCache, pIob->devId, pIob->devGenNum, pIob->lba, pIob->bufSizeInLbs,
                                   &pIob->dataIov);
    }
    if (pIob->pOwnBuf != nullptr) {
        if (pIob->bOwnFromPool)
            rcacheNetBuf_Free(pIob->pNetBufPool, pIob->pOwnBuf, pIob->pOwnDif, pIob->bufSizeInLbs);
        else
            rcache_FreeBuffer(pCache, pIob->pOwnBuf, pIob->bufSizeInLbs, TRUE);
    }
    netIov_Destroy(&pIob->dataIov);
    netIov_Destroy(&pIob->difIov);
    rcacheIoBuf_Init(pIob, pIob->obfuscationKey, pIob->pNetBufPool);
}

namespace {
// len bytes of the list from byte skip on, into pOut; FALSE when the list ends first.
BOOL copyOutIov(const NetSmallIov *pIov, size_t skip, size_t len, UINT8 *pOut)
{
    for (UINT32 i = 0; len > 0 && i < pIov->numOfUsedBuffers; i++) {
        UINT32 bufLen = 0;
        const UINT8 *p = static_cast<const UINT8 *>(NET_IOV__GET(pIov, i, &bufLen));
        if (skip >= bufLen) {
            skip -= bufLen;
            continue;
        }
        const size_t take = std::min(len, (size_t)bufLen - skip);
        memcpy(pOut, p + skip, take);
        pOut += take;
        len -= take;
        skip = 0;
    }
    return len == 0;
}
} // namespace

BOOL phyDev_CopyOutCacheIoBuf(const RCacheIoBuf *pIob, void *pData, T10Dif *pDif, UINT32 sizeInLbs)
{
    const size_t lead = pIob->offsetInCacheBuffers;
    if (!copyOutIov(&pIob->dataIov, lead * LB_SIZE_IN_BYTES, (size_t)sizeInLbs * LB_SIZE_IN_BYTES,
                    static_cast<UINT8 *>(pData)))
        return FALSE;
    if (pDif == nullptr || NET_IOV__IS_EMPTY(&pIob->difIov))
        return TRUE;
    return copyOutIov(&pIob->difIov, lead * sizeof(T10Dif), (size_t)sizeInLbs * sizeof(T10Dif),
                      reinterpret_cast<UINT8 *>(pDif));
}

void phyDev_UpdateLimiterIODone(PhyDevRebLimiter *pLimiter, UINT32 sizeInLbs, BOOL bHighPrio)
{
    if (!pLimiter->bSlidingWindowIsUsed)
        return;
    if (bHighPrio)
        TgtBwcSlidingWindow_AddIO(&pLimiter->slidingWindow, 1, sizeInLbs);
    if (pLimiter->maxLbsDuringHighPrio != 0 && TgtBwcSlidingWindow_IsSilent(&pLimiter->slidingWindow)) {
        if (tgtInitParam_G.bScehme3ThrottlingDebug)
            MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "SCHEME 3: IO finished, pop");
        mosLimiter_Pop(&pLimiter->limiter);
    }
}

void phyDev_StartThrottling(PhyDev *pDev, UINT32 sizeInLbs, UINT32 copyReason, BOOL bIsPrimary)
{
    MosUmt_Sem *pSem = nullptr;
    PhyDevRebLimiter *pLimiter = limiterOf(pDev, copyReason, &pSem);
    UINT32 waiting = __atomic_add_fetch(&pLimiter->waitingCnt, 1, __ATOMIC_ACQ_REL);
    if (bIsPrimary && pLimiter->maxLbsDuringHighPrio != 0) {
        if (tgtInitParam_G.bScehme3ThrottlingDebug)
            MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "SCHEME 3: start throttling, add %u LBs to %s limiter , wait count %u",
                      sizeInLbs, pLimiter == &pDev->rebuildLimiter ? "rebuild" : "rebalance", waiting);
        mosUmtLimiter_Add(&pLimiter->limiter, sizeInLbs);
    }
    MOS_ASSERT_SUCCESS(mosUmtSem_DecTimed(pSem, 1, 0));
    MOS_ASSERT_SUCCESS(mosUmtSem_DecTimed(&pDev->parallelLowPrioOperationsToDev, 1, 0));
    __atomic_sub_fetch(&pLimiter->waitingCnt, 1, __ATOMIC_ACQ_REL);
}

void phyDev_EndThrottling(PhyDev *pDev, UINT32 sizeInLbs, UINT32 copyReason)
{
    (void)sizeInLbs;
    MosUmt_Sem *pSem = nullptr;
    limiterOf(pDev, copyReason, &pSem);
    mosUmtSem_IncInter(pSem, 1, TRUE);
    mosUmtSem_IncInter(&pDev->parallelLowPrioOperationsToDev, 1, TRUE);
    MosFastlockGuard g(&pDev->limiterFastLock);
    phyDev_UpdateLimiterIODone(&pDev->rebuildLimiter, 0, FALSE);
    phyDev_UpdateLimiterIODone(&pDev->rebalanceLimiter, 0, FALSE);
    if (tgtInitParam_G.bScehme3ThrottlingDebug)
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "SCHEME 3: Copy finished, curHighPrioOps is %u", pDev->curHighPrioOps);
}

void phyDev_UpdateDevThrottlingConf(PhyDev *pDev, PhyDevThrottlingInfo *pInfo)
{
    PhyDevThrottlingInfo &t = *pInfo;
    if (t.rebuildConcurrentIOLimit == 0)
        t.rebuildConcurrentIOLimit = PHY_DEV__DEFAULT_PARALLEL_LIMIT;
    if (t.rebalanceConcurrentIOLimit == 0)
        t.rebalanceConcurrentIOLimit = PHY_DEV__DEFAULT_PARALLEL_LIMIT;
    UINT32 oldRebuild, oldRebalance;
    {
        MosFastlockGuard g(&pDev->limiterFastLock);
        pDev->rebuildLimiter.maxLbsDuringHighPrio = t.rebuildBWLimitKB * 2;
        pDev->rebalanceLimiter.maxLbsDuringHighPrio = t.rebalanceBWLimitKB * 2;
        setWindow(&pDev->rebuildLimiter, t.rebuildQuietPeriodMs, t.rebuildAppIopsPerDeviceThreshold,
                  t.rebuildAppBwPerDeviceThresholdKB);
        setWindow(&pDev->rebalanceLimiter, t.rebalanceQuietPeriodMs, t.rebalanceAppIopsPerDeviceThreshold,
                  t.rebalanceAppBwPerDeviceThresholdKB);
        mosLimiter_UpdateLimits(&pDev->rebuildLimiter.limiter, t.rebuildBWLimitKB * 2, 1);
        mosLimiter_UpdateLimits(&pDev->rebalanceLimiter.limiter, t.rebalanceBWLimitKB * 2, 1);
        if (tgtInitParam_G.bScehme3ThrottlingDebug) {
            MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "SCHEME 3: update rebuild BW to %u LBs", t.rebuildBWLimitKB * 2);
            MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "SCHEME 3: update rebalance BW to %u LBs",
                      t.rebalanceBWLimitKB * 2);
        }
        oldRebuild = pDev->rebuildLimit;
        oldRebalance = pDev->rebalanceLimit;
        const UINT32 oldMax = std::max(oldRebuild, oldRebalance);
        const UINT32 newMax = std::max(t.rebuildConcurrentIOLimit, t.rebalanceConcurrentIOLimit);
        if (t.rebuildConcurrentIOLimit > oldRebuild)
            mosUmtSem_IncInter(&pDev->parallelRebuildToDev, t.rebuildConcurrentIOLimit - oldRebuild, TRUE);
        if (t.rebalanceConcurrentIOLimit > oldRebalance)
            mosUmtSem_IncInter(&pDev->parallelRebalanceToDev, t.rebalanceConcurrentIOLimit - oldRebalance, TRUE);
        if (newMax > oldMax)
            mosUmtSem_IncInter(&pDev->parallelLowPrioOperationsToDev, newMax - oldMax, TRUE);
        pDev->rebuildLimit = t.rebuildConcurrentIOLimit;
        pDev->rebalanceLimit = t.rebalanceConcurrentIOLimit;
    }
    // Units of a shrunk limit are taken back as the copies holding them end.
    if (t.rebuildConcurrentIOLimit < oldRebuild)
        MOS_ASSERT_SUCCESS(mosUmtSem_DecTimed(&pDev->parallelRebuildToDev, oldRebuild - t.rebuildConcurrentIOLimit, 0));
    if (t.rebalanceConcurrentIOLimit < oldRebalance)
        MOS_ASSERT_SUCCESS(
            mosUmtSem_DecTimed(&pDev->parallelRebalanceToDev, oldRebalance - t.rebalanceConcurrentIOLimit, 0));
    const UINT32 oldMax = std::max(oldRebuild, oldRebalance);
    const UINT32 newMax = std::max(t.rebuildConcurrentIOLimit, t.rebalanceConcurrentIOLimit);
    if (newMax < oldMax && newMax != 0)
        MOS_ASSERT_SUCCESS(mosUmtSem_DecTimed(&pDev->parallelLowPrioOperationsToDev, oldMax - newMax, 0));
}

void phyDev_GetDevThrottlingInfo(PhyDev *pDev, UINT32 *pRebuildWaiting, UINT32 *pRebalanceWaiting)
{
    *pRebuildWaiting = __atomic_load_n(&pDev->rebuildLimiter.waitingCnt, __ATOMIC_ACQUIRE);
    *pRebalanceWaiting = __atomic_load_n(&pDev->rebalanceLimiter.waitingCnt, __ATOMIC_ACQUIRE);
}

void phyDev_AddToScanLimiter(PhyDev *pDev, UINT32 sizeInLbs) { mosUmtLimiter_Add(&pDev->scanLimiter, sizeInLbs); }

void phyDev_PopFromScanLimiter(PhyDev *pDev) { mosUmtLimiter_Pop(&pDev->scanLimiter); }

void phyDev_UpdateScanBWLimit(PhyDev *pDev, UINT32 scanBWLimitKb)
{
    mosLimiter_UpdateLimits(&pDev->scanLimiter, scanBWLimitKb * 2, 2);
}

Mos_RC phyDev_TestStart(PhyDev *pDev, PhyDevTest *pTest, UINT32 pattern, UINT32 ioSizeInLbs, UINT64 totalLbs,
                        UINT32 timeLimitSec, UINT32 testNum)
{
    const UINT64 start = pDev->teethOffsetInLbs, last = pDev->totalSizeInLbs - 1;
    if (pattern < DEV_TEST_PATTERN_TYPE__WRITE_SEQ || pattern > DEV_TEST_PATTERN_TYPE__READ_RAND || ioSizeInLbs == 0 ||
        ioSizeInLbs > PHY_DEV__MAX_IO_LBS || start + ioSizeInLbs > last) {
        MOS_ERROR(MOS_COMP_TGT_PHY, "Disk test refused: pattern %u, I/O size %u LB", pattern, ioSizeInLbs);
        return MOS_RC__INVALID;
    }
    pDev->testHistoryIndex = (pDev->testHistoryIndex + 1) % PHY_DEV__TEST_HISTORY;
    PhyDevTest &t = *pTest;
    t = PhyDevTest{};
    t.pDev = pDev;
    t.pattern = pattern;
    t.ioSizeInLbs = ioSizeInLbs;
    t.startOffset = start;
    t.lastLb = last;
    t.timeLimitSec = timeLimitSec;
    t.testNum = testNum;
    t.pBuf = stmp_Allocate(&stmp_g, PHY_DEV__MAX_IO_LBS, TRUE, TRUE);
    MOS_ASSERT(t.pBuf != nullptr);
    mosUmtSem_Init(&t.sem);
    file_Lock(pDev->pFile);
    t.numOfJobs = (UINT32)std::min<UINT64>(tgtInitParam_G.diskTestNumJobs, PHY_DEV_TEST__MAX_NUM_OF_JOBS);
    const UINT64 perJob = t.numOfJobs == 0 ? 0 : totalLbs / ((UINT64)ioSizeInLbs * t.numOfJobs);
    const UINT64 stripe = (last + 1 - start) / std::max<UINT32>(t.numOfJobs, 1);
    t.startUsec = nowUsec();
    for (UINT32 j = 0; j < t.numOfJobs; j++) {
        PhyDevTestJob &job = t.jobs[j];
        job.pTest = &t;
        job.ioCount = (UINT32)std::max<UINT64>(perJob, 1);
        job.nextOffset = start + stripe * j / ioSizeInLbs * ioSizeInLbs;
        if (job.nextOffset + ioSizeInLbs - 1 > last)
            job.nextOffset = start;
    }
    for (UINT32 j = 0; j < t.numOfJobs; j++)
        phyDev_TestIoCK(&t.jobs[j].req.callerCK, 0);
    return MOS_RC__SUCCESS;
}

void phyDev_TestIoCK(MosAsyncObj *pObj, INT32 rc)
{
    (void)rc;
    auto *pJob = reinterpret_cast<PhyDevTestJob *>(pObj);
    PhyDevTest *t = pJob->pTest;
    File *pFile = t->pDev->pFile;
    if (tgtInitParam_G.bDiskTestTrace)
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_MED,
                  "devId %lx, doneCount %u, ioCount %u, ioSizeLbs %u, nextOffset %lu, offsetInLbs %lu, lastLB %lu",
                  (unsigned long)t->pDev->header.devId, pJob->doneCount, pJob->ioCount, t->ioSizeInLbs,
                  (unsigned long)pJob->nextOffset, (unsigned long)t->startOffset, (unsigned long)t->lastLb);
    if (pJob->doneCount > 0 && !mosAsyncIOReq_IsSuccess(&pJob->req))
        __atomic_store_n(&t->bFailed, TRUE, __ATOMIC_RELEASE);
    const UINT64 elapsedSec = (nowUsec() - t->startUsec) / 1000000;
    if (!__atomic_load_n(&t->bStop, __ATOMIC_ACQUIRE) && pJob->doneCount < pJob->ioCount &&
        (t->timeLimitSec == 0 || elapsedSec <= t->timeLimitSec) && tgtInitParam_G.bPhyDevIoEnabled) {
        pJob->doneCount++;
        const UINT64 off = chooseOffset(pJob);
        Mos_RC ioRc = isWritePattern(t->pattern)
                          ? file_WriteZeroAsync(pFile, &pJob->req, phyDev_TestIoCK, off, t->ioSizeInLbs, FALSE,
                                                FILE_IO_TYPE__GENERAL)
                          : file_ReadAsync(pFile, &pJob->req, phyDev_TestIoCK, t->pBuf, off, t->ioSizeInLbs, FALSE,
                                           FILE_IO_TYPE__GENERAL);
        if (ioRc == MOS_RC__PENDING)
            return;
        // Not taken: the job ends here, failed.
        MOS_ERROR(MOS_COMP_TGT_PHY, "Disk test I/O not accepted: %s", mosRc_GetStr(ioRc));
        __atomic_store_n(&t->bFailed, TRUE, __ATOMIC_RELEASE);
    }
    __atomic_add_fetch(&t->totalIos, (UINT64)pJob->doneCount, __ATOMIC_ACQ_REL);
    const UINT32 before = mosUmtSem_GetCount(&t->sem);
    mosUmtSem_IncInter(&t->sem, 1, TRUE);
    if (tgtInitParam_G.bDiskTestTrace)
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_MED, "Test sem increased to %u", before + 1);
}

void phyDev_TestEnd(PhyDev *pDev, PhyDevTest *pTest, UINT32 pattern, UINT32 ioSizeInLbs)
{
    PhyDevTest &t = *pTest;
    if (t.numOfJobs != 0)
        MOS_ASSERT_SUCCESS(mosUmtSem_DecTimed(&t.sem, t.numOfJobs, 0));
    const UINT64 durationMs = (nowUsec() - t.startUsec) / 1000;
    file_UnLock(pDev->pFile);
    stmp_Free(&stmp_g, t.pBuf, PHY_DEV__MAX_IO_LBS, TRUE);
    mosUmtSem_Destroy(&t.sem);
    MOS_ASSERT(t.testNum != 0);
    PhyDevTestHistory &h = pDev->testHistory[pDev->testHistoryIndex];
    h.devId = pDev->header.devId;
    h.testNum = t.testNum;
    h.durationMs = durationMs + 1;
    h.numOfIos = __atomic_load_n(&t.totalIos, __ATOMIC_ACQUIRE);
    h.totalLbs = h.numOfIos * ioSizeInLbs;
    h.pattern = pattern;
    h.rc = __atomic_load_n(&t.bFailed, __ATOMIC_ACQUIRE) ? MOS_RC__ERROR : MOS_RC__SUCCESS;
}
