// Device reads and writes: the only way the data path reaches a device.
//
// A read or write covers at most one tooth (2048 LB; more is a broken invariant of the caller).
// Client I/O (COPY_TYPE__NONE) is counted as high priority under limiterFastLock, and each one
// that ends feeds the rebuild and rebalance limiters' silent windows: copies wait in those
// limiters while client I/O keeps a window busy and one is let through when it falls silent.
//
// Reads: a guard failure (MOS_RC__LOGICAL_BLOCK_CHECK_GUARD_FAILED, 411) keeps its code; every
// other failure answers MOS_RC__IO_HARD_ERROR. Writes with bT10Dif verify the guards (over zero
// data with bZeroWrite) before anything reaches the device.
//
// Zero padding: a write of part of a new tooth (bZeroPad, the device's bDevZeroPadEnabled, fewer
// than 2048 LB) is written as the whole tooth from a buffer of the zero-buffer pool: zeros with
// zero guards (or obfuscated zeros with their guards) around the data and the data's own guards.
// Every padded block's guard is written afresh from the pad, so no guard of an earlier pad can
// survive in the buffer; a pad of size 0 is skipped. The buffer goes back to the pool all zeros.
// Every write, padded or not, successful or not, invalidates its range in the RAM read cache.
//
// Cached reads widen the request to 4 KB pages and ask the cache; a miss reads the widened range
// into a cache buffer and inserts it. The buffers of either end up in the RCacheIoBuf, which the
// caller gives back with phyDev_ReleaseCacheIoBuf once the data has been sent. When no cache
// buffer can be had the range is read into a buffer of the primary pool and not inserted.
//
// The disk test runs up to 32 jobs of asynchronous I/O from the teeth offset to the device end
// with one shared buffer; the result goes into the other of two history slots.
#pragma once

#include "mos/env/mos_net_iov.h"
#include "mos/mos_t10dif.h"
#include "mos/usr/mos_async_io.h"
#include "tgt/phy/phy_dev.h"
#include "tgt/phy/phy_io_flags.h"

struct Cache;
struct RcacheNetBuf;
struct Zmp;

#define PHY_DEV__MAX_IO_LBS 2048u
#define PHY_DEV__ZERO_PAD_BUF_LBS 2056u // 2048 LB of data, then 2 bytes of guard per LB
#define RCACHE__PAGE_LBS 8u

// The buffers that carry one I/O's data through the RAM read cache.
struct RCacheIoBuf {
    NetSmallIov dataIov;
    NetSmallIov difIov;
    UINT64 obfuscationKey; // the volume tree's
    RcacheNetBuf *pNetBufPool; // the primary pool: where a read goes when the cache has no buffer
    UINT32 bufSizeInLbs;        // of the buffers (the widened range)
    UINT32 offsetInCacheBuffers; // LB from the buffers' start to the request's
    BOOL bFoundInCache;         // the cache served the read (pages held)
    BOOL bCoalesced;            // the guards are one coalesced buffer of the cache
    BOOL bInCache;              // filled from the device and inserted (pages held)
    // Entries held in the cache: released with these.
    UINT64 devId;
    UINT16 devGenNum;
    UINT64 lba;
    // A buffer of the I/O's own (not in the cache): a cache buffer the cache did not take, or a
    // buffer of the primary pool.
    void *pOwnBuf;
    T10Dif *pOwnDif;
    BOOL bOwnFromPool;
};

void rcacheIoBuf_Init(RCacheIoBuf *pIob, UINT64 obfuscationKey, RcacheNetBuf *pNetBufPool);

Mos_RC phyDev_Write(PhyDev *pDev, const void *pData, T10Dif *pDifBuf, UINT64 offsetInLbs, UINT32 sizeInLbs,
                    WrIoFlags wrIoFlags, UINT32 copyReason, CombId combId, UINT32 offsetInComb, UINT64 obfuscationKey);
Mos_RC phyDev_Read(PhyDev *pDev, void *pData, T10Dif *pDifBuf, UINT64 offsetInLbs, UINT32 sizeInLbs,
                   UINT32 copyReason, CombId combId, UINT32 offsetInComb, RdIoFlags rdIoFlags);
// Pads when the device pads, the count is not 2048 and bZeroPad is set (pZmp is then required).
Mos_RC phyDev_WriteWithZeroPad(PhyDev *pDev, const void *pData, T10Dif *pDifBuf, UINT64 offsetInLbs,
                               UINT32 sizeInLbs, WrIoFlags wrIoFlags, UINT32 copyReason, CombId combId,
                               UINT32 offsetInComb, UINT64 obfuscationKey, Zmp *pZmp);
Mos_RC phyDev_ReadWithCache(PhyDev *pDev, RCacheIoBuf *pIob, UINT64 offsetInLbs, UINT32 sizeInLbs,
                            UINT32 copyReason, RdIoFlags rdIoFlags, CombId combId, UINT32 offsetInComb);
// A write whose data lives in a cache buffer (no network buffer in the I/O buffer) puts it into
// the cache; MOS_RC__SUCCESS when inserted.
Mos_RC phyDev_UpdateCacheAfterWrite(PhyDev *pDev, RCacheIoBuf *pIob, UINT64 offsetInLbs, UINT32 sizeInLbs,
                                    void *pData, WrIoFlags wrIoFlags);
// Gives back what the I/O buffer holds (cache pages, a cache buffer, a pool buffer).
void phyDev_ReleaseCacheIoBuf(PhyDev *pDev, RCacheIoBuf *pIob);
// Copies the request's sizeInLbs LB (from offsetInCacheBuffers on) out of the I/O buffer, and their
// guards when pDif is given and the buffer holds guards; FALSE when the buffer holds less.
BOOL phyDev_CopyOutCacheIoBuf(const RCacheIoBuf *pIob, void *pData, T10Dif *pDif, UINT32 sizeInLbs);
// The read's code as the caller sees it: 411 stays, other failures are hard errors.
Mos_RC phyDev_ReadResult(Mos_RC fileRc);

// The I/O handler's read-cache statistics (the layer above registers it; null: none).
void phyDev_SetReadCacheStatsHook(void (*pHook)(UINT64 latencyMicro));

// Copies.
void phyDev_StartThrottling(PhyDev *pDev, UINT32 sizeInLbs, UINT32 copyReason, BOOL bIsPrimary);
void phyDev_EndThrottling(PhyDev *pDev, UINT32 sizeInLbs, UINT32 copyReason);
void phyDev_UpdateDevThrottlingConf(PhyDev *pDev, PhyDevThrottlingInfo *pInfo);
void phyDev_GetDevThrottlingInfo(PhyDev *pDev, UINT32 *pRebuildWaiting, UINT32 *pRebalanceWaiting);
void phyDev_UpdateLimiterIODone(PhyDevRebLimiter *pLimiter, UINT32 sizeInLbs, BOOL bHighPrio);
void phyDev_AddToScanLimiter(PhyDev *pDev, UINT32 sizeInLbs);
void phyDev_PopFromScanLimiter(PhyDev *pDev);
void phyDev_UpdateScanBWLimit(PhyDev *pDev, UINT32 scanBWLimitKb);

// Disk test.
#define PHY_DEV__TEST_HISTORY 2u
#define PHY_DEV_TEST__MAX_NUM_OF_JOBS 32u

enum DevTestPatternType : UINT32 {
    DEV_TEST_PATTERN_TYPE__WRITE_SEQ = 1,
    DEV_TEST_PATTERN_TYPE__WRITE_RAND = 2,
    DEV_TEST_PATTERN_TYPE__READ_SEQ = 3,
    DEV_TEST_PATTERN_TYPE__READ_RAND = 4,
};

struct PhyDevTest;

struct PhyDevTestJob {
    MosAsyncIO_Req req; // first: the completion gets the job from it
    PhyDevTest *pTest;
    UINT32 ioCount;   // I/Os to issue
    UINT32 doneCount; // issued
    UINT64 nextOffset;
};
static_assert(offsetof(PhyDevTestJob, req) == 0);

struct PhyDevTest {
    PhyDev *pDev;
    PhyDevTestJob jobs[PHY_DEV_TEST__MAX_NUM_OF_JOBS];
    UINT32 numOfJobs;
    MosUmt_Sem sem; // one unit per finished job
    void *pBuf;
    UINT32 pattern;
    UINT32 ioSizeInLbs;
    UINT64 startOffset; // the teeth offset
    UINT64 lastLb;      // the device's last LB
    UINT64 startUsec;
    UINT32 timeLimitSec; // 0: none
    UINT32 testNum;
    BOOL bFailed;
    BOOL bStop;
    UINT64 totalIos; // atomic
};

Mos_RC phyDev_TestStart(PhyDev *pDev, PhyDevTest *pTest, UINT32 pattern, UINT32 ioSizeInLbs, UINT64 totalLbs,
                        UINT32 timeLimitSec, UINT32 testNum);
void phyDev_TestEnd(PhyDev *pDev, PhyDevTest *pTest, UINT32 pattern, UINT32 ioSizeInLbs);
void phyDev_TestIoCK(MosAsyncObj *pObj, INT32 rc);
