#include "tgt/phy/phy_dev.h"

#include <algorithm>
#include <cstring>
#include <memory>

#include "mos/mos_dbg.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"
#include "tgt/file/file.h"
#include "tgt/phy/stmp.h"
#include "tgt/rcache/rcache.h"
#include "tgt/tgt_conf.h"
#include "tgt/tgt_contention.h"

namespace {
constexpr UINT32 kDrlShmIndex[PHY_DEV_DRL_TYPE__COUNT] = {PHY_DEV__DBM_ACTIVE_INDEX, PHY_DEV__DBM_REBUILD_INDEX};
constexpr RdIoFlags kNoRdFlags{.flags = 0};
constexpr WrZeIoFlags kNoZeFlags{.flags = 0};

// A zeroed header-sized scratch buffer from the temporary-buffer budget.
struct HeaderBuf {
    HeaderBuf() : p(static_cast<UINT8 *>(stmp_Allocate(&stmp_g, PHY_DEV__HEADER_SIZE, TRUE, TRUE)))
    {
        MOS_ASSERT(p != nullptr);
        memset(p, 0, PHY_DEV__HEADER_SIZE * LB_SIZE_IN_BYTES);
    }
    ~HeaderBuf() { stmp_Free(&stmp_g, p, PHY_DEV__HEADER_SIZE, TRUE); }
    HeaderBuf(const HeaderBuf &) = delete;
    HeaderBuf &operator=(const HeaderBuf &) = delete;
    std::span<UINT8> span() { return {p, PHY_DEV__HEADER_SIZE * LB_SIZE_IN_BYTES}; }
    UINT8 *p;
};

Mos_RC writeCounters(PhyDev *pDev)
{
    HeaderBuf buf;
    PhyDevCounters c{pDev->scanCompareErrorsCounter, pDev->localDiskFixesCounter, pDev->MBsScannedCounter};
    phyDevCounters_Encode(&c, buf.span());
    return file_Write(pDev->pFile, buf.p, PHY_DEV__COUNTERS_OFFSET, 1, FILE_IO_TYPE__GENERAL, COMB_ID_INVALID, 0);
}

Mos_RC readCounters(PhyDev *pDev)
{
    HeaderBuf buf;
    Mos_RC rc = file_Read(pDev->pFile, buf.p, nullptr, PHY_DEV__COUNTERS_OFFSET, 1, FILE_IO_TYPE__GENERAL, TRUE,
                          COMB_ID_INVALID, 0, kNoRdFlags);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    PhyDevCounters c{};
    phyDevCounters_Decode(buf.span(), &c);
    pDev->scanCompareErrorsCounter = c.scanCompareErrors;
    pDev->localDiskFixesCounter = c.localDiskFixes;
    pDev->MBsScannedCounter = c.MBsScanned;
    return MOS_RC__SUCCESS;
}

void traceOffsets(const PhyDevHeader *pHeader)
{
    const PhyDevOffsets &o = pHeader->devOffsets;
    MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "Offsets: %lu - %lu - %lu - %lu - %lu - %lu",
              (unsigned long)o.combsMapOffset, (unsigned long)o.teethMapOffset, (unsigned long)o.activeBmOffset,
              (unsigned long)o.rebuildBmOffset, (unsigned long)o.freeSpaceOffset, (unsigned long)o.teethOffset);
    MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW,
              "Sizes: devSize %lu number of combs %lu number of teeth %lu dirty granularity %u,BM mode %s",
              (unsigned long)o.devSizeInLbs, (unsigned long)o.maxNumOfCombs, (unsigned long)o.numOfTeeth,
              o.dirtyGranularity, (pHeader->flags & PHY_DEV_HDR_FLAG__MEM_DRL) ? "memory" : "disk");
}

// The size rules of an added device; the rounded size in *pSize.
Mos_RC checkSize(UINT64 sizeInLbs, UINT64 *pSize)
{
    UINT64 size = sizeInLbs / TOOTH_SIZE_LB * TOOTH_SIZE_LB;
    *pSize = size;
    MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "Verifying device size: %lx to min/max: %lx/%lx", (unsigned long)size,
              (unsigned long)tgtInitParam_G.phyDevMinCapacityInLbs,
              (unsigned long)(tgtInitParam_G.phyDevMaxCapacityInGbs * GB_IN_LBS));
    if (size < tgtInitParam_G.phyDevMinCapacityInLbs || sizeInLbs < TOOTH_SIZE_LB) {
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "Device is too small %lx", (unsigned long)sizeInLbs);
        return MOS_RC__DEV_SIZE_TOO_SMALL;
    }
    if (size > tgtInitParam_G.phyDevMaxCapacityInGbs * GB_IN_LBS) {
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "Device is too big %lx", (unsigned long)sizeInLbs);
        return MOS_RC__DEV_SIZE_TOO_LARGE;
    }
    return MOS_RC__SUCCESS;
}

Mos_RC initDrls(PhyDev *pDev, PhyAddDevProgress *pProgress, const PhyDevOffsets &o, TgtDevId devId, BOOL bMemDrl,
                BOOL bNew)
{
    const UINT64 offsets[PHY_DEV_DRL_TYPE__COUNT] = {o.activeBmOffset, o.rebuildBmOffset};
    const char *pSteps[PHY_DEV_DRL_TYPE__COUNT] = {"Init Active DBM", "Init Rebuild DBM"};
    for (UINT32 i = 0; i < PHY_DEV_DRL_TYPE__COUNT; i++) {
        PhyDevBm &b = pDev->drls[i];
        b.dirtyOffset = offsets[i];
        b.dirtySizeInLbs = o.rebuildBmOffset - o.activeBmOffset;
        UINT64 start = phyAddDevProgress_NowUsec();
        Mos_RC rc = drl_Init(&b.drl, o.numOfTeeth * TOOTH_SIZE_LB, o.teethOffset, offsets[i], o.dirtyGranularity,
                             bMemDrl ? nullptr : pDev->pFile, nullptr, nullptr, bNew, bMemDrl && !bNew, devId,
                             kDrlShmIndex[i]);
        phyAddDevProgress_Stamp(pProgress, pSteps[i], start);
        if (rc != MOS_RC__SUCCESS) {
            MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "Failed to init dirty %s bit map on device: %lx device name: %s",
                      i == PHY_DEV_DRL_TYPE__ACTIVE ? "active" : "rebuild", (unsigned long)devId,
                      file_GetPath(pDev->pFile));
            return MOS_RC__ERROR;
        }
        b.bEnabled = TRUE;
    }
    return MOS_RC__SUCCESS;
}

UINT32 parallelLimit(UINT32 limit) { return limit == 0 ? PHY_DEV__DEFAULT_PARALLEL_LIMIT : limit; }

// Semaphores, rate limiters and the scan limiter of copies to the device; the limits were stored
// from the throttling information before.
void initThrottling(PhyDev *pDev, UINT32 scanBWLimitKb)
{
    pDev->rebuildLimit = parallelLimit(pDev->rebuildLimit);
    pDev->rebalanceLimit = parallelLimit(pDev->rebalanceLimit);
    mosUmtSem_Init(&pDev->parallelRebuildToDev);
    mosUmtSem_Init(&pDev->parallelRebalanceToDev);
    mosUmtSem_Init(&pDev->parallelLowPrioOperationsToDev);
    mosUmtSem_IncInter(&pDev->parallelRebuildToDev, pDev->rebuildLimit, TRUE);
    mosUmtSem_IncInter(&pDev->parallelRebalanceToDev, pDev->rebalanceLimit, TRUE);
    mosUmtSem_IncInter(&pDev->parallelLowPrioOperationsToDev, std::max(pDev->rebuildLimit, pDev->rebalanceLimit),
                       TRUE);
    mosLimiter_Init(&pDev->rebuildLimiter.limiter, pDev->rebuildLimiter.maxLbsDuringHighPrio, 1);
    mosLimiter_Init(&pDev->rebalanceLimiter.limiter, pDev->rebalanceLimiter.maxLbsDuringHighPrio, 1);
    mosLimiter_Init(&pDev->scanLimiter, scanBWLimitKb * 2, 2);
    mosFastlockBase_Create(&pDev->limiterFastLock, TGT_CONTENTION__PHY_DEV_LIMITER, __FILE__, __LINE__);
    pDev->bRuntimeUp = TRUE;
}

void destroyThrottling(PhyDev *pDev)
{
    // The windows are made with the throttling information, before the rest.
    for (PhyDevRebLimiter *l : {&pDev->rebuildLimiter, &pDev->rebalanceLimiter}) {
        if (l->bSlidingWindowInit)
            TgtBwcSlidingWindow_Destroy(&l->slidingWindow);
        l->bSlidingWindowInit = l->bSlidingWindowIsUsed = FALSE;
    }
    if (!pDev->bRuntimeUp)
        return;
    mosLimiter_Destroy(&pDev->rebuildLimiter.limiter);
    mosLimiter_Destroy(&pDev->rebalanceLimiter.limiter);
    mosLimiter_Destroy(&pDev->scanLimiter);
    mosUmtSem_Destroy(&pDev->parallelRebuildToDev);
    mosUmtSem_Destroy(&pDev->parallelRebalanceToDev);
    mosUmtSem_Destroy(&pDev->parallelLowPrioOperationsToDev);
    mosFastlockBase_Destroy(&pDev->limiterFastLock);
    pDev->bRuntimeUp = FALSE;
}

// The limits and silent windows of the throttling information (KB become LB).
void storeThrottling(PhyDev *pDev, const PhyDevThrottlingInfo *pInfo)
{
    PhyDevThrottlingInfo none{};
    const PhyDevThrottlingInfo &t = pInfo != nullptr ? *pInfo : none;
    pDev->rebuildLimit = t.rebuildConcurrentIOLimit;
    pDev->rebalanceLimit = t.rebalanceConcurrentIOLimit;
    pDev->rebuildLimiter.maxLbsDuringHighPrio = t.rebuildBWLimitKB * 2;
    pDev->rebalanceLimiter.maxLbsDuringHighPrio = t.rebalanceBWLimitKB * 2;
    struct {
        PhyDevRebLimiter *l;
        UINT32 frameMs, iops, bwKb;
    } w[] = {{&pDev->rebuildLimiter, t.rebuildQuietPeriodMs, t.rebuildAppIopsPerDeviceThreshold,
              t.rebuildAppBwPerDeviceThresholdKB},
             {&pDev->rebalanceLimiter, t.rebalanceQuietPeriodMs, t.rebalanceAppIopsPerDeviceThreshold,
              t.rebalanceAppBwPerDeviceThresholdKB}};
    for (auto &x : w) {
        if (x.frameMs == 0)
            continue;
        TgtBwcSlidingWindow_Init(&x.l->slidingWindow, x.frameMs, x.iops, x.bwKb * 2);
        x.l->bSlidingWindowInit = x.l->bSlidingWindowIsUsed = TRUE;
    }
}

Mos_RC initInternal(PhyDev *pDev, PhyAddDevProgress *pProgress, const PhyDevOffsets &o, TgtDevId devId, BOOL bMemDrl,
                    BOOL bNew, UINT32 scanBWLimitKb)
{
    MOS_ASSERT(o.maxNumOfCombs != 0 && o.maxNumOfCombs <= 0xFFFFFFFFull);
    pDev->maxNumOfCombs = (UINT32)o.maxNumOfCombs;
    pDev->numOfTeeth = o.numOfTeeth;
    initThrottling(pDev, scanBWLimitKb);
    Exp(o.combsMapOffset + PHY_DEV__COMBS_MAP_SIZE > o.teethMapOffset);
    Mos_RC rc = phyDevComb_Init(&pDev->devComb, pDev->pFile, o, bNew, pDev->pmDevFastlock, pProgress);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    Exp(o.teethMapOffset + phyToothMap_CalcSizeInLbs((UINT32)o.numOfTeeth) > o.activeBmOffset);
    rc = phyToothMap_Init(&pDev->toothMap, pProgress, (UINT32)o.numOfTeeth, o.teethMapOffset, pDev->pFile, bNew);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    Exp(o.rebuildBmOffset + (o.rebuildBmOffset - o.activeBmOffset) > o.teethOffset);
    rc = initDrls(pDev, pProgress, o, devId, bMemDrl, bNew);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    pDev->teethOffsetInLbs = o.teethOffset;
    return MOS_RC__SUCCESS;
}

// A stored header is restamped only when its layout is the one this device gets now.
bool mayRestamp(const PhyDevHeader &stored, const PhyDevHeader &fresh)
{
    if (phyDev_CheckHeaderSignature(&stored) != MOS_RC__SUCCESS)
        return true; // nothing of ours to keep
    PhyDevOffsets a = stored.devOffsets, b = fresh.devOffsets;
    return memcmp(&a, &b, sizeof(a)) == 0 && stored.combSizeInLbs == fresh.combSizeInLbs;
}

Mos_RC fixHeader(PhyDev *pDev, HeaderBuf &buf, const PhyDevHeader &fresh)
{
    PhyDevHeader stored{};
    if (phyDev_ReadHeader(pDev, &stored) == MOS_RC__SUCCESS && !mayRestamp(stored, fresh)) {
        MOS_ERROR(MOS_COMP_TGT_PHY, "Fix device header refused: the stored layout or comb size differs (comb size %u)",
                  stored.combSizeInLbs);
        return MOS_RC__SUCCESS;
    }
    phyDevHeader_Encode(&fresh, buf.span());
    Mos_RC rc = file_Write(pDev->pFile, buf.p, PHY_DEV__HEADER_OFFSET, PHY_DEV__HEADER_SIZE, FILE_IO_TYPE__GENERAL,
                           COMB_ID_INVALID, 0);
    MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "Fix device header. rc=%u", (unsigned)rc);
    return rc;
}

Mos_RC formatMetadata(PhyDev *pDev, UINT64 size, PhyAddDevProgress *pProgress)
{
    UINT64 start = phyAddDevProgress_NowUsec();
    Mos_RC rc = file_WriteZero(pDev->pFile, 0, PHY_DEV__BM_OFFSET, FILE_IO_TYPE__GENERAL, kNoZeFlags);
    phyAddDevProgress_Stamp(pProgress, "Zero Write New Device Header", start);
    if (rc != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "Io error %s, size %u", file_GetPath(pDev->pFile), PHY_DEV__BM_OFFSET);
        return MOS_RC__TGT_ADD_DEV_IO_ERROR;
    }
    start = phyAddDevProgress_NowUsec();
    rc = file_WriteZero(pDev->pFile, size - PHY_DEV__PAD_AT_THE_END, PHY_DEV__PAD_AT_THE_END, FILE_IO_TYPE__GENERAL,
                        kNoZeFlags);
    phyAddDevProgress_Stamp(pProgress, "Zero Pad New Device Header", start);
    if (rc != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "Io error");
        return MOS_RC__TGT_ADD_DEV_IO_ERROR;
    }
    return MOS_RC__SUCCESS;
}

Mos_RC checkExisting(PhyDev *pDev, HeaderBuf &buf, TgtId tgtId, TgtDevId devId, PhyDevHeader *pHeader,
                     PhyAddDevProgress *pProgress)
{
    UINT64 start = phyAddDevProgress_NowUsec();
    Mos_RC rc = file_Write(pDev->pFile, buf.p, PHY_DEV__EMPTY_OFFSET, PHY_DEV__EMPTY_SIZE_CHECKED_LBS,
                           FILE_IO_TYPE__GENERAL, COMB_ID_INVALID, 0);
    phyAddDevProgress_Stamp(pProgress, "Test for Read Only", start);
    if (rc != MOS_RC__SUCCESS)
        return MOS_RC__TGT_ADD_DEV_IO_ERROR;
    start = phyAddDevProgress_NowUsec();
    rc = phyDev_ReadHeader(pDev, pHeader);
    phyAddDevProgress_Stamp(pProgress, "Read Device Header", start);
    if (rc != MOS_RC__SUCCESS)
        return MOS_RC__TGT_ADD_DEV_IO_ERROR;
    if (phyDev_CheckHeader(pHeader, tgtId, devId) != MOS_RC__SUCCESS ||
        phyDev_ValidateOffsets(&pHeader->devOffsets) != MOS_RC__SUCCESS)
        return MOS_RC__TGT_ADD_DEVICE_VALIDATION_FAILED;
    if (pHeader->devOffsets.dirtyGranularity != PHY_DEV__DIRTY_GRANULARITY_IN_LBS)
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "Device granularity ignored ,dirty granularity: on dev %u requested %u",
                  pHeader->devOffsets.dirtyGranularity, PHY_DEV__DIRTY_GRANULARITY_IN_LBS);
    traceOffsets(pHeader);
    return MOS_RC__SUCCESS;
}

PhyDevBm *enabledLog(PhyDev *pDev, UINT32 drlType)
{
    MOS_ASSERT(drlType < PHY_DEV_DRL_TYPE__COUNT);
    PhyDevBm *b = &pDev->drls[drlType];
    return b->bEnabled ? b : nullptr;
}

Mos_RC initWithBuf(PhyDev *pDev, HeaderBuf &buf, UINT64 sizeInLbs, UINT32 dirtyGranularity, TgtId tgtId,
                   TgtDevId devId, BOOL bMemDrl, BOOL bNew, PhyAddDevProgress *pProgress, UINT32 scanBWLimitKb)
{
    MOS_ASSERT(dirtyGranularity == PHY_DEV__DIRTY_GRANULARITY_IN_LBS);
    UINT64 size;
    Mos_RC rc = checkSize(sizeInLbs, &size);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    if (file_IsDiskPartitioned(pDev->pFile)) {
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "Device partitioned");
        return MOS_RC__TGT_ADD_DEV_IS_PARTITIONED;
    }
    UINT64 start = phyAddDevProgress_NowUsec();
    rc = bNew ? writeCounters(pDev) : readCounters(pDev);
    phyAddDevProgress_Stamp(pProgress, "Read Device Counters", start);
    if (rc != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "Can't read the hardened scan counters from %s",
                  file_GetPath(pDev->pFile));
        return MOS_RC__TGT_ADD_DEV_IO_ERROR;
    }
    PhyDevHeader header{};
    if (bNew || tgtInitParam_G.bPhyDevFixHeader) {
        PhyDevOffsets o{};
        rc = phyDev_CalcDevOffsets(size, (UINT32)tgtInitParam_G.bmWriteSizeInLbs, dirtyGranularity, &o);
        if (rc != MOS_RC__SUCCESS)
            return rc;
        phyDev_BuildPhyDevHeader(&header, tgtId, devId, &o, bMemDrl ? PHY_DEV_HDR_FLAG__MEM_DRL : 0, DEV_TYPE__NONE);
        traceOffsets(&header);
        if (!bNew && (rc = fixHeader(pDev, buf, header)) != MOS_RC__SUCCESS)
            return MOS_RC__TGT_ADD_DEV_IO_ERROR;
    }
    if (bNew) {
        if ((rc = formatMetadata(pDev, size, pProgress)) != MOS_RC__SUCCESS)
            return rc;
    } else {
        if ((rc = checkExisting(pDev, buf, tgtId, devId, &header, pProgress)) != MOS_RC__SUCCESS)
            return rc;
        if (header.devOffsets.devSizeInLbs != size) {
            MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "Device size changed totalSizeInLbs %lx sizeInLbs %lx",
                      (unsigned long)header.devOffsets.devSizeInLbs, (unsigned long)size);
            return MOS_RC__TGT_ADD_DEV_SIZE_PROBLEM;
        }
    }
    BOOL bHeaderMemDrl = (header.flags & PHY_DEV_HDR_FLAG__MEM_DRL) ? TRUE : FALSE;
    rc = initInternal(pDev, pProgress, header.devOffsets, devId, bHeaderMemDrl, bNew, scanBWLimitKb);
    if (rc != MOS_RC__SUCCESS)
        return rc == MOS_RC__TGT_ADD_DEVICE_VALIDATION_FAILED ? rc : MOS_RC__TGT_ADD_DEV_IO_ERROR;
    pDev->totalSizeInLbs = size;
    if (bMemDrl != bHeaderMemDrl && (rc = phyDev_ChangeBmWorkMode(pDev, devId, bMemDrl, &header)) != MOS_RC__SUCCESS)
        return rc;
    if (bNew || header.type == DEV_TYPE__NONE) {
        void *pTypeBuf = stmp_Allocate(&stmp_g, PHY_DEV__DEV_TYPE_BUF_LBS, TRUE, TRUE);
        header.type = file_GetDeviceType(pDev->pFile, pTypeBuf, PHY_DEV__DEV_TYPE_BUF_LBS);
        stmp_Free(&stmp_g, pTypeBuf, PHY_DEV__DEV_TYPE_BUF_LBS, TRUE);
        // The header of a new device is written only now, after everything it describes.
        if (phyDev_WriteHeader(pDev, &header) != MOS_RC__SUCCESS)
            return MOS_RC__TGT_ADD_DEV_IO_ERROR;
    }
    pDev->header = header;
    return MOS_RC__SUCCESS;
}

// A zeroed device without a temporary of its size on the (small) user-mode thread stack.
void resetDev(PhyDev *pDev)
{
    static const PhyDev kZero{};
    *pDev = kZero;
}

Mos_RC readHeader(File *pFile, PhyDevHeader *pHeader)
{
    HeaderBuf buf;
    Mos_RC rc = file_Read(pFile, buf.p, nullptr, PHY_DEV__HEADER_OFFSET, PHY_DEV__HEADER_SIZE, FILE_IO_TYPE__GENERAL,
                          TRUE, COMB_ID_INVALID, 0, kNoRdFlags);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    return phyDevHeader_Decode(buf.span(), pHeader);
}

void destroyParts(PhyDev *pDev)
{
    for (auto &b : pDev->drls) {
        if (b.bEnabled)
            drl_Destroy(&b.drl);
        b.bEnabled = FALSE;
    }
    if (pDev->toothMap.bInit) {
        // Teeth still counted belong to combs that the layers above did not release; the map goes
        // with the device either way.
        pDev->toothMap.currBaseTeeth = pDev->toothMap.currSnapTeeth = pDev->toothMap.currThinBaseTeeth = 0;
        phyToothMap_Destroy(&pDev->toothMap);
    }
    phyDevComb_DestroyArr(&pDev->devComb);
    destroyThrottling(pDev);
}
} // namespace

Mos_RC phyDev_Init(PhyDev *pDev, Cont *pCont, File *pFile, UINT64 sizeInLbs, UINT32 dirtyGranularity, TgtId tgtId,
                   TgtDevId devId, BOOL bMemDrl, BOOL bNew, const PhyDevThrottlingInfo *pThrottlingInfo,
                   BOOL bQaDevError, BOOL bDevZeroPadEnabled, BOOL bChecksumEnabled, MosFastlock_Base *pmDevFastlock,
                   TgtBwc *pDevBwc, PhyAddDevProgress *pProgress, BOOL bUseCache, UINT32 ramcacheWriteMode,
                   UINT32 scanBWLimitKb)
{
    resetDev(pDev);
    pDev->pFile = pFile;
    pDev->pCont = pCont;
    pDev->pDevBwc = pDevBwc;
    pDev->pmDevFastlock = pmDevFastlock;
    pDev->bQaDevError = bQaDevError;
    pDev->bDevZeroPadEnabled = bDevZeroPadEnabled;
    pDev->bChecksumEnabled = bChecksumEnabled;
    pDev->bUseCache = bUseCache;
    pDev->ramcacheWriteMode = ramcacheWriteMode;
    storeThrottling(pDev, pThrottlingInfo);
    if (pProgress != nullptr)
        pProgress->devId = devId;
    HeaderBuf buf;
    Mos_RC rc =
        initWithBuf(pDev, buf, sizeInLbs, dirtyGranularity, tgtId, devId, bMemDrl, bNew, pProgress, scanBWLimitKb);
    if (rc != MOS_RC__SUCCESS) {
        destroyParts(pDev);
        resetDev(pDev);
    }
    return rc;
}

BOOL phyDev_Destroy(PhyDev *pDev)
{
    destroyParts(pDev);
    resetDev(pDev);
    return TRUE;
}

BOOL phyDev_IsInitialized(const PhyDev *pDev) { return pDev->totalSizeInLbs != 0 ? TRUE : FALSE; }

Mos_RC phyDev_WriteHeader(PhyDev *pDev, const PhyDevHeader *pHeader)
{
    HeaderBuf buf;
    phyDevHeader_Encode(pHeader, buf.span());
    return file_Write(pDev->pFile, buf.p, PHY_DEV__HEADER_OFFSET, PHY_DEV__HEADER_SIZE, FILE_IO_TYPE__GENERAL,
                      COMB_ID_INVALID, 0);
}

Mos_RC phyDev_ReadHeader(PhyDev *pDev, PhyDevHeader *pHeader) { return readHeader(pDev->pFile, pHeader); }

Mos_RC phyDev_WriteZeroHeaderAndCounters(PhyDev *pDev)
{
    return file_WriteZero(pDev->pFile, PHY_DEV__HEADER_OFFSET, PHY_DEV__EMPTY_OFFSET - PHY_DEV__HEADER_OFFSET,
                          FILE_IO_TYPE__GENERAL, kNoZeFlags);
}

Mos_RC phyDev_ValidateDeviceHeader(PhyDev *pDev, TgtId tgtId, TgtDevId devId)
{
    PhyDevHeader h{};
    if (phyDev_ReadHeader(pDev, &h) != MOS_RC__SUCCESS)
        return MOS_RC__ERROR;
    return phyDev_CheckHeader(&h, tgtId, devId);
}

Mos_RC phyDev_Validate(PhyDev *pDev, UINT64 sizeInLbs, UINT32 dirtyGranularity, TgtId tgtId, TgtDevId devId)
{
    PhyDevHeader h{};
    if (phyDev_ReadHeader(pDev, &h) != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "Io error");
        return MOS_RC__TGT_ADD_DEV_IO_ERROR;
    }
    if (phyDev_CheckHeader(&h, tgtId, devId) != MOS_RC__SUCCESS)
        return MOS_RC__TGT_ADD_DEVICE_VALIDATION_FAILED;
    UINT64 size = sizeInLbs / TOOTH_SIZE_LB * TOOTH_SIZE_LB;
    if (size != pDev->totalSizeInLbs) {
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "Device size changed totalSizeInLbs %lx sizeInLbs %lx",
                  (unsigned long)pDev->totalSizeInLbs, (unsigned long)size);
        return MOS_RC__TGT_ADD_DEV_SIZE_PROBLEM;
    }
    if (h.devOffsets.dirtyGranularity != dirtyGranularity)
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW,
                  "Device granularity ignored ,dirty granularity: on device %u requested %u",
                  h.devOffsets.dirtyGranularity, dirtyGranularity);
    return MOS_RC__SUCCESS;
}

Mos_RC phyDev_ValidateBmWorkMode(PhyDev *pDev, BOOL bMemDrl)
{
    BOOL bStored = (pDev->header.flags & PHY_DEV_HDR_FLAG__MEM_DRL) ? TRUE : FALSE;
    if (bStored == bMemDrl)
        return MOS_RC__SUCCESS;
    PhyDevHeader h = pDev->header;
    Mos_RC rc = phyDev_ChangeBmWorkMode(pDev, h.devId, bMemDrl, &h);
    if (rc == MOS_RC__SUCCESS)
        pDev->header = h;
    return rc;
}

Mos_RC phyDev_ChangeBmWorkMode(PhyDev *pDev, TgtDevId devId, BOOL bMemDrl, PhyDevHeader *pHeader)
{
    if (file_WriteZero(pDev->pFile, PHY_DEV__EMPTY_OFFSET, PHY_DEV__EMPTY_SIZE_CHECKED_LBS, FILE_IO_TYPE__GENERAL,
                       kNoZeFlags) != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "Change BM mode devId %lx, failed. Device write error",
                  (unsigned long)devId);
        return MOS_RC__IO_HARD_ERROR;
    }
    Drl *pActive = &pDev->drls[PHY_DEV_DRL_TYPE__ACTIVE].drl;
    Drl *pRebuild = &pDev->drls[PHY_DEV_DRL_TYPE__REBUILD].drl;
    drl_Lock(pActive, TRUE);
    drl_Lock(pRebuild, TRUE);
    bool bOk = true;
    bool bReleasedShm = false;
    if (bMemDrl) {
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "Change BM mode devId %lx to memory", (unsigned long)devId);
        drl_MoveToSharedMem(pActive, devId, PHY_DEV__DBM_ACTIVE_INDEX);
        drl_MoveToSharedMem(pRebuild, devId, PHY_DEV__DBM_REBUILD_INDEX);
        pHeader->flags |= PHY_DEV_HDR_FLAG__MEM_DRL;
    } else {
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "Change BM mode devId %lx to disk", (unsigned long)devId);
        bReleasedShm = drl_MoveToDisk(pActive, devId, PHY_DEV__DBM_ACTIVE_INDEX, pDev->pFile);
        bReleasedShm = drl_MoveToDisk(pRebuild, devId, PHY_DEV__DBM_REBUILD_INDEX, pDev->pFile) || bReleasedShm;
        bOk = drl_Flush(pRebuild, FALSE) && drl_Flush(pActive, FALSE);
        pHeader->flags &= ~PHY_DEV_HDR_FLAG__MEM_DRL;
    }
    bOk = bOk && phyDev_WriteHeader(pDev, pHeader) == MOS_RC__SUCCESS;
    if (!bOk) {
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "Change BM mode failed due to device error - Planned exception");
        mosDbg_PlannedCrashModuleWithDesc("Change BM mode failed due to device error");
    }
    if (bReleasedShm) {
        drl_DestroyShm(pActive);
        drl_DestroyShm(pRebuild);
    }
    drl_Unlock(pRebuild, TRUE);
    drl_Unlock(pActive, TRUE);
    return MOS_RC__SUCCESS;
}

BOOL phyDev_CheckDevAfterError(PhyDev *pDev)
{
    WrZeIoFlags ze{.flags = 0};
    ze.bIgnorePrevIoErr = 1;
    if (file_WriteZero(pDev->pFile, PHY_DEV__EMPTY_OFFSET, 1, FILE_IO_TYPE__GENERAL, ze) != MOS_RC__SUCCESS)
        return FALSE;
    HeaderBuf buf;
    RdIoFlags rd{.flags = 0};
    rd.bIgnorePrevIoErr = 1;
    return file_Read(pDev->pFile, buf.p, nullptr, PHY_DEV__EMPTY_OFFSET, 1, FILE_IO_TYPE__GENERAL, FALSE,
                     COMB_ID_INVALID, 0, rd) == MOS_RC__SUCCESS
               ? TRUE
               : FALSE;
}

void phyDev_IncreaseScanCompareErrorsCounter(PhyDev *pDev)
{
    pDev->scanCompareErrorsCounter++;
    writeCounters(pDev);
}

void phyDev_ResetCompareErrorsCounter(PhyDev *pDev)
{
    pDev->scanCompareErrorsCounter = 0;
    writeCounters(pDev);
}

void phyDev_ResetReadErrorFixesCounter(PhyDev *pDev)
{
    pDev->localDiskFixesCounter = 0;
    writeCounters(pDev);
}

void phyDev_IncreaseLocalDiskFixesCounter(PhyDev *pDev)
{
    __atomic_add_fetch(&pDev->localDiskFixesCounter, 1, __ATOMIC_RELAXED);
    writeCounters(pDev);
}

void phyDev_IncreaseMBsScannedCounter(PhyDev *pDev)
{
    UINT32 n = __atomic_add_fetch(&pDev->MBsScannedCounter, 1, __ATOMIC_RELAXED);
    if (n % PHY_DEV__MBS_SCANNED_HARDEN_EVERY == 0)
        writeCounters(pDev);
}

void phyDev_GetScanCounters(PhyDev *pDev, UINT32 *pCompareErrors, UINT32 *pMBsScanned)
{
    *pCompareErrors = pDev->scanCompareErrorsCounter;
    *pMBsScanned = pDev->MBsScannedCounter;
}

PhyToothIndex phyDev_AllocTooth(PhyDev *pDev) { return phyToothMap_AllocTooth(&pDev->toothMap); }

PhyToothIndex phyDev_AllocToothAndUpdate(PhyDev *pDev, CombId combId, UINT32 toothInComb, VtoId vtoId, UINT32 time,
                                         PhyToothList *pToothList, BOOL bThin, BOOL *out_pbIsFirstTooth)
{
    return phyToothMap_AllocToothAndUpdate(&pDev->toothMap, combId, toothInComb, vtoId, time, pToothList, bThin,
                                           out_pbIsFirstTooth);
}

BOOL phyDev_UpdateTooth(PhyDev *pDev, CombId combId, UINT32 toothInComb, VtoId vtoId, UINT32 time,
                        PhyToothList *pToothList, PhyToothIndex toothIndex, BOOL bThin, BOOL bForce,
                        BOOL bLeaveRemainder, BOOL *out_pbIsFirstTooth, UINT32 *pMapUpdate)
{
    return phyToothMap_UpdateTooth(&pDev->toothMap, pDev->header.devId, combId, toothInComb, vtoId, time, pToothList,
                                   toothIndex, bThin, bForce, bLeaveRemainder, out_pbIsFirstTooth, pMapUpdate);
}

void phyDev_RollbackUpdateTooth(PhyDev *pDev, CombTId combTId, PhyToothList *pToothList, PhyToothIndex toothIndex)
{
    phyToothMap_RollbackUpdateTooth(&pDev->toothMap, combTId, pToothList, toothIndex);
}

void phyDev_AllocToothSpecific(PhyDev *pDev, CombId combId, PhyToothList *pToothList, PhyToothIndex toothIndex,
                               BOOL bThin, BOOL *out_pbIsNewTooth)
{
    phyToothMap_AllocToothSpecific(&pDev->toothMap, combId, pToothList, toothIndex, bThin, out_pbIsNewTooth);
}

void phyDev_FreeTooth(PhyDev *pDev, CombTId combTId, PhyToothList *pToothList, PhyToothIndex toothIndex,
                      BOOL bValidate, BOOL *out_isLastTooth)
{
    phyToothMap_FreeTooth(&pDev->toothMap, combTId, pToothList, toothIndex, bValidate, TRUE, out_isLastTooth);
}

BOOL phyDev_HardenToothArr(PhyDev *pDev, UINT32 mapUpdate) { return phyToothMap_HardenAll(&pDev->toothMap, mapUpdate); }

BOOL phyDev_HardenCombArr(PhyDev *pDev, BOOL bForce, UINT32 mapUpdate)
{
    // The tooth map first: a comb slot on the device never names teeth the map does not hold.
    if (!phyToothMap_HardenAll(&pDev->toothMap, mapUpdate))
        return FALSE;
    PhyDevComb &c = pDev->devComb;
    // Callers that keep their own record of changes (the comb layer) force the write: the image
    // is written even when the array's change number has not moved.
    UINT64 changeNumber = bForce ? phyDevComb_PartialAllocDone(&c) : __atomic_load_n(&c.devChangeNumber, __ATOMIC_ACQUIRE);
    return phyDevComb_Harden(&c, bForce, changeNumber);
}

void phyDev_HardenAllCombArr_Async(void *pArg)
{
    auto *pJob = static_cast<PhyDevHardenJob *>(pArg);
    pJob->bOk = phyDev_HardenCombArr(pJob->pDev, TRUE, pJob->mapUpdate);
    if (!pJob->bOk)
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "Device error on harden comb array");
    if (pJob->pActionSem != nullptr)
        mosUmtSem_IncInter(pJob->pActionSem, 1, TRUE);
}

UINT64 phyDev_GetCombNode(PhyDev *pDev, PhyDevAddr devAddr, UINT64 *pOffsetInComb)
{
    UINT64 rel = devAddr.devAddrBits.devOffset - pDev->teethOffsetInLbs;
    *pOffsetInComb = rel % combSizeInLbs_g;
    return rel / combSizeInLbs_g;
}

UINT32 phyDev_GetMaxNumOfCombs(PhyDev *pDev) { return pDev->maxNumOfCombs; }

BOOL phyDev_IsClean(PhyDev *pDev, UINT32 drlType, UINT64 offsetInLbs)
{
    PhyDevBm *b = enabledLog(pDev, drlType);
    return b == nullptr ? TRUE : drl_IsClean(&b->drl, offsetInLbs);
}

BOOL phyDev_IsAllDirty(PhyDev *pDev, UINT32 drlType, UINT64 offsetInLbs, UINT64 sizeInLbs, UINT32 *pGranularity)
{
    PhyDevBm *b = enabledLog(pDev, drlType);
    if (b == nullptr)
        return TRUE;
    if (pGranularity != nullptr)
        *pGranularity = drl_GetGranularity(&b->drl);
    return drl_IsAllDirty(&b->drl, offsetInLbs, sizeInLbs);
}

BOOL phyDev_IsAllClean(PhyDev *pDev, UINT32 drlType, UINT64 offsetInLbs, UINT64 sizeInLbs)
{
    PhyDevBm *b = enabledLog(pDev, drlType);
    return b == nullptr ? TRUE : drl_IsAllClean(&b->drl, offsetInLbs, sizeInLbs);
}

BOOL phyDev_SetDirty(PhyDev *pDev, UINT32 drlType, UINT64 offsetInLbs, UINT64 sizeInLbs, BOOL bHarden,
                     UINT32 offsetInToothLbs, BOOL bIsFine)
{
    PhyDevBm *b = enabledLog(pDev, drlType);
    return b == nullptr ? TRUE : drl_SetDirty(&b->drl, offsetInLbs, sizeInLbs, bHarden, offsetInToothLbs, bIsFine);
}

BOOL phyDev_ResetDirty(PhyDev *pDev, UINT32 drlType, UINT64 offsetInLbs, UINT64 sizeInLbs, BOOL bHarden)
{
    PhyDevBm *b = enabledLog(pDev, drlType);
    return b == nullptr ? TRUE : drl_ResetDirty(&b->drl, offsetInLbs, sizeInLbs, bHarden, TRUE);
}

BOOL phyDev_ResetFineDirty(PhyDev *pDev, UINT32 drlType, UINT64 offsetInLbs, UINT64 sizeInLbs,
                           UINT32 offsetInToothLbs)
{
    PhyDevBm *b = enabledLog(pDev, drlType);
    return b == nullptr ? TRUE : drl_ResetFineDirty(&b->drl, offsetInLbs, sizeInLbs, offsetInToothLbs);
}

BOOL phyDev_FlushBm(PhyDev *pDev, UINT32 drlType)
{
    PhyDevBm *b = enabledLog(pDev, drlType);
    return b == nullptr ? TRUE : drl_Flush(&b->drl, TRUE);
}

void phyDev_LockDrl(PhyDev *pDev) { drl_Lock(&pDev->drls[PHY_DEV_DRL_TYPE__ACTIVE].drl, FALSE); }
void phyDev_UnlockDrl(PhyDev *pDev) { drl_Unlock(&pDev->drls[PHY_DEV_DRL_TYPE__ACTIVE].drl, FALSE); }

BOOL phyDev_CopyBits(PhyDev *pDev, UINT32 srcType, UINT32 destType, UINT32 key, UINT32 fineDrlNumBits)
{
    MOS_ASSERT(srcType != destType);
    PhyDevBm *pSrc = enabledLog(pDev, srcType);
    PhyDevBm *pDest = enabledLog(pDev, destType);
    if (pSrc == nullptr || pDest == nullptr)
        return TRUE;
    drl_CopyFineBits(&pSrc->drl, &pDest->drl, key, fineDrlNumBits);
    return TRUE;
}

Mos_RC phyDev_ReadDevId(const char *pPath, MosAsyncIO *pAio, TgtDevId *pDevId, TgtId *pTgtId)
{
    // Off the user-mode thread's small stack.
    auto pFile = std::make_unique<File>();
    File &file = *pFile;
    file_Init(&file, nullptr, nullptr);
    Mos_RC rc = file_Open(&file, pPath, pAio);
    if (rc != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "failed to open file: path=%s, %s", pPath, mosRc_GetStr(rc));
        file_Destroy(&file);
        return rc;
    }
    PhyDevHeader h{};
    rc = readHeader(&file, &h);
    file_Close(&file);
    file_Destroy(&file);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    if (phyDev_CheckHeaderSignature(&h) != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW,
                  "Invalid device header signature : path=%s, devVersion=%lx, sigStart=%lx, sigEnd=%lx", pPath,
                  (unsigned long)h.devVersion, (unsigned long)h.sigStart, (unsigned long)h.sigEnd);
        return MOS_RC__INVALID_DEVICE_HEADER_SIGNATURE;
    }
    *pDevId = h.devId;
    *pTgtId = h.tgtId;
    return MOS_RC__SUCCESS;
}

void phyDev_Query(PhyDev *pDev, PhyDevQuery *pQuery)
{
    PhyDevQuery q{};
    const PhyDevComb &c = pDev->devComb;
    q.teethOffsetInLbs = pDev->teethOffsetInLbs;
    q.maxNumOfCombs = pDev->maxNumOfCombs;
    q.curNumOfCombs = c.curNumOfCombs;
    q.numOfCombsAddedFromRestart = c.numOfCombsAddedFromRestart;
    q.totalSizeInLbs = pDev->totalSizeInLbs;
    q.zeroCount = pDev->zeroCount;
    q.zeroIOSize = pDev->zeroIOSize;
    q.zeroOverhead = pDev->zeroOverhead;
    q.combArrayHardens = c.combArrayHardens;
    q.combArrayHardenInLbs = c.combArrayHardenInLbs;
    const PhyToothMap &m = pDev->toothMap;
    q.toothArrayHardens = m.toothArrayHardens;
    q.toothArrayHardenInLbs = m.toothArrayHardenInLbs;
    q.toothArrayHardenMaxInLbs = m.toothArrayHardenMaxInLbs;
    q.currSnapTeeth = m.currSnapTeeth;
    q.currBaseTeeth = m.currBaseTeeth;
    q.currThinBaseTeeth = m.currThinBaseTeeth;
    q.snapReservedTeeth = m.snapReservedTeeth;
    q.maxNumOfTeeth = m.maxNumOfTeeth;
    q.fineDrlGranularity = pDev->header.devOffsets.dirtyGranularity / 2;
    const FineDrl &a = pDev->drls[PHY_DEV_DRL_TYPE__ACTIVE].drl.FineGranularityDrl;
    const FineDrl &r = pDev->drls[PHY_DEV_DRL_TYPE__REBUILD].drl.FineGranularityDrl;
    q.fineDrlMaximalNumberOfTeeth = a.numOfSupportedTeeth;
    q.fineDrlSuccsefullTeethAllocsActive = a.succsefullTeethAllocs;
    q.fineDrlSuccsefullTeethAllocsRebuild = r.succsefullTeethAllocs;
    q.fineDrlFailedTeethAllocsActive = a.failedTeethAllocs;
    q.fineDrlFailedTeethAllocsRebuild = r.failedTeethAllocs;
    q.fineDrlCurrentTeethAllocsActive = a.currentTeethAllocs;
    q.fineDrlCurrentTeethAllocsRebuild = r.currentTeethAllocs;
    *pQuery = q;
}

void phyDev_UpdateDevRamcacheUse(PhyDev *pDev, BOOL bUseCache)
{
    MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "devId %lx: device will %s RAM Read Cache",
              (unsigned long)pDev->header.devId, bUseCache ? "use" : "not use");
    // Entries cached under the old generation are never served once the device has left.
    if (pDev->bUseCache && !bUseCache)
        pDev->ramcacheGenNum++;
    if (pDev->pRcache != nullptr && !pDev->bUseCache != !bUseCache) {
        if (bUseCache)
            rcache_AddDevice(pDev->pRcache, pDev->header.devId, FALSE); // the command runs outside a cycle
        else
            rcache_RemoveDevice(pDev->pRcache, pDev->header.devId);
    }
    pDev->bUseCache = bUseCache;
}

void phyDev_UpdateDevRamcacheWriteMode(PhyDev *pDev, UINT32 ramcacheWriteMode)
{
    pDev->ramcacheWriteMode = ramcacheWriteMode;
}

Mos_RC phyDev_UpdateT10DIFNonPersistent(PhyDev *pDev, UINT32 bEnable)
{
    if (bEnable > 1) {
        MOS_ERROR(MOS_COMP_TGT_PHY, "devId %lx: NonPersistent T10 DIF mode %u refused",
                  (unsigned long)pDev->header.devId, bEnable);
        return MOS_RC__INVALID;
    }
    pDev->bChecksumEnabled = bEnable;
    MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "devId %lx: set NonPersistent T10 DIF to %sabled",
              (unsigned long)pDev->header.devId, bEnable ? "en" : "dis");
    return MOS_RC__SUCCESS;
}

void phyDev_SetFileMaxInflight(PhyDev *pDev, UINT32 maxInflight) { file_SetFileMaxInflight(pDev->pFile, maxInflight); }

void phyDev_SetFile(PhyDev *pDev, File *pFile) { pDev->pFile = pFile; }

void phyDev_SetDestBwLimits(PhyDev *pDev, UINT32 rebuildBwLimitKb, UINT32 rebalanceBwLimitKb)
{
    pDev->destRebuildBwLimitLbs = rebuildBwLimitKb * 2;
    pDev->destRebalanceBwLimitLbs = rebalanceBwLimitKb * 2;
}

UINT32 phyDev_GetLbsPerRebJob(PhyDev *pDev, BOOL bRebuild)
{
    return bRebuild ? pDev->destRebuildBwLimitLbs : pDev->destRebalanceBwLimitLbs;
}
