#include "tgt/flcache/flcache.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"
#include "mos/mos_utils_mem.h"
#include "tgt/tgt_contention.h"
#include "tgt/tgt_sdbg.h"

#define FLCACHE_ERR__TEXT(name, text) text,
const CHAR_A *const FLCACHE_ERR__STRINGS[FLCACHE_ERR__COUNT] = {FLCACHE_ERR__LIST(FLCACHE_ERR__TEXT)};
#undef FLCACHE_ERR__TEXT

namespace {

constexpr UINT64 kNoDriverHandle = ~0ull;

struct OpmodePair {
    UINT32 ostrel;
    UINT32 driver;
};
constexpr OpmodePair kOpmodes[] = {
    {FLCACHE_OPERATIONAL_MODE__PASS_THROUGH_NONE, FLCACHE_DRV_OPMODE__PASS_THROUGH_NONE},
    {FLCACHE_OPERATIONAL_MODE__PASS_THROUGH_READ, FLCACHE_DRV_OPMODE__PASS_THROUGH_READ},
    {FLCACHE_OPERATIONAL_MODE__PASS_THROUGH_WRITE, FLCACHE_DRV_OPMODE__PASS_THROUGH_WRITE},
    {FLCACHE_OPERATIONAL_MODE__PASS_THROUGH_READ_AND_WRITE, FLCACHE_DRV_OPMODE__PASS_THROUGH_READ_AND_WRITE},
    {FLCACHE_OPERATIONAL_MODE__PASS_THROUGH_WRITE_MISS, FLCACHE_DRV_OPMODE__PASS_THROUGH_WRITE_MISS},
};

// Copies a path into a fixed field, always NUL-terminated within it.
void copyPath(CHAR_A *pDst, size_t dstLen, const CHAR_A *pSrc)
{
    snprintf(pDst, dstLen, "%s", pSrc != nullptr ? pSrc : "");
}

BOOL idInList(const UINT64 *pList, UINT32 n, UINT64 id)
{
    for (UINT32 i = 0; i < n; i++)
        if (pList[i] == id)
            return TRUE;
    return FALSE;
}

Mos_RC kernelDevNum(const CHAR_A *pPath, UINT64 *pDevNum)
{
    struct stat st {};
    if (stat(pPath, &st) != 0) {
        int err = errno;
        MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW, "stat(%s) failed: errno %d", pPath, err);
        return MOS_RC__FLCACHE_DEV_NOT_FOUND;
    }
    *pDevNum = (UINT64)st.st_rdev;
    return MOS_RC__SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// The driver exchange. Callers hold driverLock for writing.

Mos_RC allocCmdBuffer(Flcache *pFlcache)
{
    if (pFlcache->pIocmd == nullptr)
        pFlcache->pIocmd = static_cast<UINT8 *>(
            mos_MemCalloc(FLCACHE_DRV__CMD_BUFFER_SIZE, FLCACHE_DRV__CMD_BUFFER_SIZE, __func__, TRUE));
    return pFlcache->pIocmd != nullptr ? MOS_RC__SUCCESS : MOS_RC__NO_MEMORY;
}

// One command whose payload sits right after the header in the command buffer. *pStatus gets the
// driver's status; the call fails when the ioctl itself did.
Mos_RC sendCmd(Flcache *pFlcache, FlcacheDrvCmd cmd, UINT32 payloadSize, UINT32 *pStatus)
{
    if (pFlcache->driverControlFileHandle == FLCACHE_INVALID_DRIVER_DEV_HANDLE)
        return MOS_RC__NOT_READY;
    auto *pHdr = reinterpret_cast<FlcacheDrvCmdHeader *>(pFlcache->pIocmd);
    pHdr->zero = 0;
    pHdr->cmd = cmd;
    pHdr->status = 0;
    pHdr->payloadSize = payloadSize;
    pHdr->pPayload = (UINT64)(uintptr_t)(pFlcache->pIocmd + sizeof(FlcacheDrvCmdHeader));
    Mos_RC rc = pFlcache->port.pIoctl(pFlcache->port.pCtx, pFlcache->driverControlFileHandle,
                                      FLCACHE_DRV__IOCTL_REQUEST, pHdr);
    *pStatus = pHdr->status;
    MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_MED, "cmd %u: ioctl status = 0x%x, ioctlRc=%u", (unsigned)cmd,
              pHdr->status, (unsigned)rc);
    if (rc != MOS_RC__SUCCESS)
        MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW, "cmd %u: ioctl failed: %s", (unsigned)cmd, mosRc_GetStr(rc));
    return rc;
}

UINT8 *payload(Flcache *pFlcache)
{
    return pFlcache->pIocmd + sizeof(FlcacheDrvCmdHeader);
}

// A command whose refusal by the driver fails the caller (MOS_RC__ERROR, traced).
Mos_RC sendCmdChecked(Flcache *pFlcache, FlcacheDrvCmd cmd, UINT32 payloadSize)
{
    UINT32 status = 0;
    Mos_RC rc = sendCmd(pFlcache, cmd, payloadSize, &status);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    if (status >= FLCACHE_DRV_STATUS__ERROR) {
        MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW, "cmd %u refused by the driver: status 0x%x", (unsigned)cmd,
                  status);
        return MOS_RC__ERROR;
    }
    return MOS_RC__SUCCESS;
}

// Query (1104), repeated while the driver is busy. On success the answer is in the command
// buffer's payload; another status clears the payload (an empty answer).
Mos_RC sendWaitingQueryIoctl(Flcache *pFlcache)
{
    for (;;) {
        auto *pQ = reinterpret_cast<FlcacheDrvQuery *>(payload(pFlcache));
        memset(pQ, 0, sizeof(*pQ));
        pQ->cacheHandle = (UINT32)pFlcache->driverCacheHandle;
        pQ->maxSources = FLCACHE_DRV__MAX_SOURCES;
        UINT32 status = 0;
        Mos_RC rc = sendCmd(pFlcache, FLCACHE_DRV_CMD__QUERY, sizeof(FlcacheDrvQuery), &status);
        if (rc != MOS_RC__SUCCESS)
            return rc;
        if (status == FLCACHE_DRV_STATUS__BUSY) {
            mosUmt_SleepByQ(FLCACHE__BUSY_RETRY_QUEUE);
            continue;
        }
        if (status != FLCACHE_DRV_STATUS__SUCCESS) {
            MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW, "ioctlRc(%d)", (int)status);
            memset(pQ, 0, sizeof(*pQ));
        }
        return MOS_RC__SUCCESS;
    }
}

// A query answer is read only once its counts fit their records.
Mos_RC checkQueryAnswer(const FlcacheDrvQuery *pQ)
{
    if (pQ->numCacheDevs > FLCACHE_DRV__MAX_CACHE_DEVS || pQ->numSources > FLCACHE_DRV__MAX_SOURCES) {
        MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW,
                  "flcache_UpdateState: malformed driver answer: numCacheDevs(%u), numSources(%u)",
                  pQ->numCacheDevs, pQ->numSources);
        return MOS_RC__INVALID;
    }
    if (pQ->numCacheDevs != 0 && pQ->pageSizeBytes % 1024 != 0) {
        MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW,
                  "flcache_UpdateState: malformed driver answer: pageSizeBytes(%u)", pQ->pageSizeBytes);
        return MOS_RC__INVALID;
    }
    return MOS_RC__SUCCESS;
}

Mos_RC stopSource(Flcache *pFlcache, UINT64 kernelDevNum, const CHAR_A *pName)
{
    MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW, "stopping source: handle(%d), name(%s)",
              (int)pFlcache->driverCacheHandle, pName);
    auto *pSrc = reinterpret_cast<FlcacheDrvSource *>(payload(pFlcache));
    memset(pSrc, 0, sizeof(*pSrc));
    pSrc->kernelDevNum = kernelDevNum;
    pSrc->cacheHandle = (UINT32)pFlcache->driverCacheHandle;
    return sendCmdChecked(pFlcache, FLCACHE_DRV_CMD__STOP_SOURCE, sizeof(*pSrc));
}

Mos_RC stopCache(Flcache *pFlcache, UINT32 numOfCacheDevices)
{
    MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW, "stopping cache: handle(%lu), numOfCacheDevices(%d)",
              (unsigned long)pFlcache->driverCacheHandle, (int)numOfCacheDevices);
    auto *pStart = reinterpret_cast<FlcacheDrvStartCache *>(payload(pFlcache));
    memset(pStart, 0, sizeof(*pStart));
    pStart->cacheHandle = (UINT32)pFlcache->driverCacheHandle;
    return sendCmdChecked(pFlcache, FLCACHE_DRV_CMD__STOP_CACHE, sizeof(*pStart));
}

FlcacheFlashDev *acquireCacheDev(Flcache *pFlcache, FlcacheDevId id)
{
    const Flcache_ContHooks &h = pFlcache->hooks;
    return h.pAcquireCacheDev != nullptr ? h.pAcquireCacheDev(h.pCtx, id) : nullptr;
}

void releaseCacheDev(Flcache *pFlcache, FlcacheDevId id)
{
    const Flcache_ContHooks &h = pFlcache->hooks;
    if (h.pReleaseCacheDev != nullptr)
        h.pReleaseCacheDev(h.pCtx, id);
}

// Start the pool (1101) with the applied cache configuration. A device whose kernel number cannot
// be had gets error bit 1 and fails the start.
Mos_RC startCache(Flcache *pFlcache, const Flcache_cacheConf *pCc)
{
    auto *pStart = reinterpret_cast<FlcacheDrvStartCache *>(payload(pFlcache));
    memset(pStart, 0, sizeof(*pStart));
    pStart->cacheHandle = (UINT32)pFlcache->driverCacheHandle;
    copyPath(pStart->cacheName, sizeof(pStart->cacheName), FLCACHE_DRV__CACHE_NAME);
    pStart->numCacheDevs = pCc->cacheObjDevListSize;
    for (UINT32 i = 0; i < pCc->cacheObjDevListSize; i++) {
        const FlcacheDevId id = pCc->cacheObjDevList[i];
        FlcacheFlashDev *pDev = acquireCacheDev(pFlcache, id);
        if (pDev == nullptr) {
            MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW, "cache device %lu is not registered", (unsigned long)id);
            return MOS_RC__FLCACHE_DEV_NOT_FOUND;
        }
        FlcacheDrvCacheDevRec &rec = pStart->devs[i];
        Mos_RC rc = kernelDevNum(pDev->cacheDevPath, &rec.kernelDevNum);
        if (rc != MOS_RC__SUCCESS) {
            pDev->flcacheErr |= FLCACHE_ERR_BIT(DEVICE_NOT_EXIST);
            releaseCacheDev(pFlcache, id);
            return rc;
        }
        rec.objId = flcache_GenerateDriverObjectId(pFlcache);
        pDev->flcacheDriverHandle = rec.objId;
        copyPath(rec.path, sizeof(rec.path), pDev->cacheDevPath);
        rec.tgtCacheDevId = id;
        releaseCacheDev(pFlcache, id);
    }
    pStart->pageSizeBytes = pCc->pageSize * 1024;
    pStart->maxIoSize = pCc->maxIoSize;
    pStart->cachConfId = pCc->cachConfId;
    pStart->opmode = flcache_OstrelToDriverOpmode(pCc->opmode);
    pStart->maxSize = (UINT64)pStart->pageSizeBytes << 32;
    return sendCmdChecked(pFlcache, FLCACHE_DRV_CMD__START_CACHE, sizeof(*pStart));
}

FlcacheSourceDev *findSourceRecord(Flcache *pFlcache, UINT64 devId)
{
    for (UINT32 i = 0; i < pFlcache->sourceDevArrLen; i++)
        if (pFlcache->pSourceDevList[i]->tgtDevId == devId)
            return pFlcache->pSourceDevList[i];
    return nullptr;
}

// Start one source (1105). Its path comes from its record; a path without a kernel number marks
// the record with error bit 1.
Mos_RC startSource(Flcache *pFlcache, UINT64 devId, UINT64 sourceConfId, UINT32 ostrelOpmode)
{
    CHAR_A path[FLCACHE__DEV_PATH_LEN] = {};
    {
        MosFastlockGuard guard(&pFlcache->sourceDevArrfFastlock);
        FlcacheSourceDev *pRec = findSourceRecord(pFlcache, devId);
        if (pRec == nullptr) {
            MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW, "source %lu has no record", (unsigned long)devId);
            return MOS_RC__TGT_DEVICE_NOT_FOUND;
        }
        memcpy(path, pRec->sourceDevPath, sizeof(path));
    }
    auto *pSrc = reinterpret_cast<FlcacheDrvSource *>(payload(pFlcache));
    memset(pSrc, 0, sizeof(*pSrc));
    Mos_RC rc = kernelDevNum(path, &pSrc->kernelDevNum);
    const UINT32 objId = rc == MOS_RC__SUCCESS ? flcache_GenerateDriverObjectId(pFlcache) : 0;
    {
        MosFastlockGuard guard(&pFlcache->sourceDevArrfFastlock);
        FlcacheSourceDev *pRec = findSourceRecord(pFlcache, devId);
        if (pRec != nullptr && rc != MOS_RC__SUCCESS)
            pRec->flcacheErr |= FLCACHE_ERR_BIT(DEVICE_NOT_EXIST);
        if (pRec != nullptr && rc == MOS_RC__SUCCESS)
            pRec->flcacheDriverHandle = objId;
    }
    if (rc != MOS_RC__SUCCESS)
        return rc;
    pSrc->objId = objId;
    memcpy(pSrc->path, path, sizeof(pSrc->path));
    pSrc->sourceConfId = sourceConfId;
    pSrc->cacheHandle = (UINT32)pFlcache->driverCacheHandle;
    pSrc->tgtDevId = devId;
    pSrc->opmode = flcache_OstrelToDriverOpmode(ostrelOpmode);
    return sendCmdChecked(pFlcache, FLCACHE_DRV_CMD__START_SOURCE, sizeof(*pSrc));
}

// Stops every source and the pool that the driver reports: the state an earlier run left. The
// answer is copied out of the command buffer (the stop commands reuse it) to the heap: a query
// answer is larger than a uthread's stack.
Mos_RC cleanDriverState(Flcache *pFlcache)
{
    Mos_RC rc = sendWaitingQueryIoctl(pFlcache);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    auto *pQ = static_cast<FlcacheDrvQuery *>(mos_MemMalloc(sizeof(FlcacheDrvQuery), sizeof(FlcacheDrvQuery), __func__, TRUE));
    if (pQ == nullptr)
        return MOS_RC__NO_MEMORY;
    memcpy(pQ, payload(pFlcache), sizeof(*pQ));
    rc = checkQueryAnswer(pQ);
    for (UINT32 i = 0; rc == MOS_RC__SUCCESS && i < pQ->numSources; i++) {
        pQ->sources[i].path[FLCACHE_DRV__SOURCE_PATH_LEN - 1] = '\0';
        rc = stopSource(pFlcache, pQ->sources[i].kernelDevNum, pQ->sources[i].path);
    }
    if (rc == MOS_RC__SUCCESS && pQ->numCacheDevs != 0)
        rc = stopCache(pFlcache, pQ->numCacheDevs);
    mos_MemFree(pQ);
    return rc;
}

// Reads a checked query answer into lastKnownConf, the pool and device counters, and the error
// bits. Caller holds confFastlock.
void updateStateLocked(Flcache *pFlcache, const FlcacheDrvQuery *pQ)
{
    Flcache_conf &lk = pFlcache->lastKnownConf;
    memset(&lk, 0, sizeof(lk));
    lk.cacheConf.cachConfId = pQ->cachConfId;
    lk.cacheConf.cacheObjDevListSize = pQ->numCacheDevs;
    if (pQ->numCacheDevs != 0) {
        lk.cacheConf.maxIoSize = pQ->maxIoSize;
        lk.cacheConf.opmode = flcache_DriverOpmodeToOstrel(pQ->opmode);
        lk.cacheConf.pageSize = pQ->pageSizeBytes / 1024;
    }
    lk.sourceConf.sourceConfId = pQ->sourceConfId;
    lk.sourceConf.sourceDevListSize = pQ->numSources;

    pFlcache->poolCounters = pQ->poolCounters;
    if (pQ->poolCounters.lowResourcesInitiatedPassthroughMode != 0) {
        pFlcache->globalCacheErrors |= FLCACHE_ERR_BIT(LOW_RESOURCES);
        pFlcache->bInErrorState = TRUE;
    }
    for (UINT32 i = 0; i < pQ->numCacheDevs; i++) {
        const FlcacheDrvQueryCacheDev &d = pQ->cacheDevs[i];
        lk.cacheConf.cacheObjDevList[i] = d.tgtCacheDevId;
        FlcacheFlashDev *pDev = acquireCacheDev(pFlcache, d.tgtCacheDevId);
        if (pDev == nullptr)
            continue;
        UINT32 err = 0;
        if (d.counters.monitorErrOutstandingLimit != 0)
            err |= FLCACHE_ERR_BIT(HEAVY_LOAD_CACHE_SKIP);
        if (d.counters.monitorErrStuckIo != 0)
            err |= FLCACHE_ERR_BIT(STUCK_IO);
        if (d.counters.ioErrors != 0 && d.counters.ioErrors != pDev->flcacheCacheDevCounters.ioErrors)
            err |= FLCACHE_ERR_BIT(CARD_IO_ERROR);
        pDev->flcacheCacheDevCounters = d.counters;
        pDev->flcacheDriverHandle = d.objId;
        if (err != 0) {
            pDev->flcacheErr |= err;
            pFlcache->bInErrorState = TRUE;
        }
        releaseCacheDev(pFlcache, d.tgtCacheDevId);
    }
    MosFastlockGuard guard(&pFlcache->sourceDevArrfFastlock);
    for (UINT32 i = 0; i < pQ->numSources; i++) {
        const FlcacheDrvQuerySource &s = pQ->sources[i];
        lk.sourceConf.sourceDevList[i] = s.tgtDevId;
        pFlcache->lastKnownSourceDevNum[i] = s.kernelDevNum;
        FlcacheSourceDev *pRec = findSourceRecord(pFlcache, s.tgtDevId);
        if (pRec == nullptr)
            continue;
        pRec->flcacheSourceDevCounters = s.counters;
        pRec->flcacheSourceDevCounters.opmode = flcache_DriverOpmodeToOstrel(s.opmode);
        pRec->flcacheDriverHandle = s.objId;
    }
}

// Query and read the answer (flcache_UpdateState). A malformed answer changes nothing.
Mos_RC queryAndUpdateState(Flcache *pFlcache)
{
    Mos_RC rc = sendWaitingQueryIoctl(pFlcache);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    const auto *pQ = reinterpret_cast<const FlcacheDrvQuery *>(payload(pFlcache));
    rc = checkQueryAnswer(pQ);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    MosFastlockGuard guard(&pFlcache->confFastlock);
    updateStateLocked(pFlcache, pQ);
    return MOS_RC__SUCCESS;
}

// What the driver should report for an applied configuration: sources run only inside a pool.
Flcache_sourceConf expectedSources(const Flcache_conf &c)
{
    Flcache_sourceConf s = c.sourceConf;
    if (c.cacheConf.cacheObjDevListSize == 0)
        s.sourceDevListSize = 0;
    return s;
}

// Start the sources of the applied configuration that the driver does not run and stop those it
// runs that left (flcache_ApplySourceConf).
Mos_RC applySourceConf(Flcache *pFlcache, const Flcache_conf &applied, const Flcache_conf &known)
{
    const Flcache_sourceConf want = expectedSources(applied);
    const Flcache_sourceConf &have = known.sourceConf;
    for (UINT32 i = 0; i < have.sourceDevListSize; i++) {
        if (idInList(want.sourceDevList, want.sourceDevListSize, have.sourceDevList[i]))
            continue;
        CHAR_A name[32];
        snprintf(name, sizeof(name), "%lu", (unsigned long)have.sourceDevList[i]);
        Mos_RC rc = stopSource(pFlcache, pFlcache->lastKnownSourceDevNum[i], name);
        if (rc != MOS_RC__SUCCESS)
            return rc;
    }
    for (UINT32 i = 0; i < want.sourceDevListSize; i++) {
        if (idInList(have.sourceDevList, have.sourceDevListSize, want.sourceDevList[i]))
            continue;
        Mos_RC rc = startSource(pFlcache, want.sourceDevList[i], want.sourceConfId, applied.cacheConf.opmode);
        if (rc != MOS_RC__SUCCESS)
            return rc;
    }
    return MOS_RC__SUCCESS;
}

// A new cache configuration: everything the driver runs goes, then the pool and its sources are
// started anew.
Mos_RC applyCacheConf(Flcache *pFlcache, const Flcache_conf &applied, const Flcache_conf &known)
{
    for (UINT32 i = 0; i < known.sourceConf.sourceDevListSize; i++) {
        CHAR_A name[32];
        snprintf(name, sizeof(name), "%lu", (unsigned long)known.sourceConf.sourceDevList[i]);
        Mos_RC rc = stopSource(pFlcache, pFlcache->lastKnownSourceDevNum[i], name);
        if (rc != MOS_RC__SUCCESS)
            return rc;
    }
    if (known.cacheConf.cacheObjDevListSize != 0) {
        Mos_RC rc = stopCache(pFlcache, known.cacheConf.cacheObjDevListSize);
        if (rc != MOS_RC__SUCCESS)
            return rc;
    }
    if (applied.cacheConf.cacheObjDevListSize == 0)
        return MOS_RC__SUCCESS;
    Mos_RC rc = startCache(pFlcache, &applied.cacheConf);
    for (UINT32 i = 0; rc == MOS_RC__SUCCESS && i < applied.sourceConf.sourceDevListSize; i++)
        rc = startSource(pFlcache, applied.sourceConf.sourceDevList[i], applied.sourceConf.sourceConfId,
                         applied.cacheConf.opmode);
    return rc;
}

void closeControlDevice(Flcache *pFlcache)
{
    mosUmtRWLock_AcquireWriteLock(&pFlcache->driverLock);
    if (pFlcache->driverControlFileHandle != FLCACHE_INVALID_DRIVER_DEV_HANDLE)
        pFlcache->port.pClose(pFlcache->port.pCtx, pFlcache->driverControlFileHandle);
    pFlcache->driverControlFileHandle = FLCACHE_INVALID_DRIVER_DEV_HANDLE;
    mos_MemFree(pFlcache->pIocmd);
    pFlcache->pIocmd = nullptr;
    mosUmtRWLock_ReleaseWriteLock(&pFlcache->driverLock);
}

// A failure of driver control: the error state, then the report (which may stay owed).
void reportFailure(Flcache *pFlcache, UINT32 errBits)
{
    {
        MosFastlockGuard guard(&pFlcache->confFastlock);
        pFlcache->globalCacheErrors |= errBits;
        pFlcache->bInErrorState = TRUE;
    }
    (void)flcache_SendErrNotification(pFlcache);
}

void periodicMonitor(void *pArg)
{
    auto *pFlcache = static_cast<Flcache *>(pArg);
    while (pFlcache->bEnable && pFlcache->driverControlFileHandle != FLCACHE_INVALID_DRIVER_DEV_HANDLE) {
        if (flcache_MonitorRound(pFlcache) != MOS_RC__SUCCESS)
            break;
        mosUmt_SleepByQ(FLCACHE__MONITOR_QUEUE);
    }
}

// The handle file's first 3 characters are the driver's number of this server's pool.
void readHandleFile(Flcache *pFlcache, const CHAR_A *pPath)
{
    FILE *pFile = fopen(pPath, "r");
    if (pFile == nullptr) {
        MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW, "file %s doesn't exists, function returns 100", pPath);
        pFlcache->driverCacheHandle = FLCACHE__DEFAULT_CACHE_HANDLE;
        return;
    }
    CHAR_A buf[4] = {};
    const size_t n = fread(buf, 1, 3, pFile);
    fclose(pFile);
    CHAR_A *pEnd = nullptr;
    const unsigned long v = n == 3 ? strtoul(buf, &pEnd, 10) : 0;
    if (n != 3 || pEnd != buf + 3) {
        MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW, "file %s holds no cache handle (\"%s\"): driver control stays off",
                  pPath, buf);
        pFlcache->bHandleFileBad = TRUE;
        return;
    }
    pFlcache->driverCacheHandle = v;
}

// Gives back the records of devices in no target list: each trades places with the last record
// and is zeroed, and the one moved into its place is looked at next. With bKeepKnown a record of a
// source the driver still runs stays too. Caller holds sourceDevArrfFastlock.
void dropUnusedRecordsLocked(Flcache *pFlcache, BOOL bKeepKnown)
{
    const Flcache_sourceConf &known = pFlcache->lastKnownConf.sourceConf;
    for (UINT32 i = 0; i < pFlcache->sourceDevArrLen;) {
        FlcacheSourceDev *p = pFlcache->pSourceDevList[i];
        if (p->bUseFlcache || (bKeepKnown && idInList(known.sourceDevList, known.sourceDevListSize, p->tgtDevId))) {
            i++;
            continue;
        }
        const UINT32 last = --pFlcache->sourceDevArrLen;
        pFlcache->pSourceDevList[i] = pFlcache->pSourceDevList[last];
        pFlcache->pSourceDevList[last] = p;
        memset(p, 0, sizeof(*p));
    }
}

// Finds or (bCreate) creates the source record of devId. Caller holds sourceDevArrfFastlock.
// A full array first gives back records that left every list; null when it is still full.
FlcacheSourceDev *getSourceRecordLocked(Flcache *pFlcache, UINT64 devId, BOOL bCreate)
{
    FlcacheSourceDev *pRec = findSourceRecord(pFlcache, devId);
    if (pRec != nullptr || !bCreate)
        return pRec;
    if (pFlcache->sourceDevArrLen == FLCACHE__MAX_SOURCE_RECORDS) {
        dropUnusedRecordsLocked(pFlcache, TRUE);
        if (pFlcache->sourceDevArrLen == FLCACHE__MAX_SOURCE_RECORDS)
            return nullptr;
    }
    pRec = pFlcache->pSourceDevList[pFlcache->sourceDevArrLen++];
    memset(pRec, 0, sizeof(*pRec));
    pRec->tgtDevId = devId;
    return pRec;
}

// Appends one device to the target source list. Caller holds confFastlock. TRUE when appended.
Mos_RC addOneSourceLocked(Flcache *pFlcache, UINT64 devId, const CHAR_A *pPath, BOOL *pbAdded)
{
    Flcache_sourceConf &t = pFlcache->targetConf.sourceConf;
    *pbAdded = FALSE;
    if (idInList(t.sourceDevList, t.sourceDevListSize, devId)) {
        MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW, "flcache_AddSourceDevice: TgtDevId: %lu is already exists!!!",
                  (unsigned long)devId);
        return MOS_RC__SUCCESS;
    }
    if (t.sourceDevListSize >= FLCACHE__MAX_SOURCE_DEVS) {
        MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW, "flcache_AddSourceDevice: TgtDevId: %lu refused: %u sources",
                  (unsigned long)devId, t.sourceDevListSize);
        return MOS_RC__TOO_MANY_DEVICES;
    }
    MosFastlockGuard guard(&pFlcache->sourceDevArrfFastlock);
    FlcacheSourceDev *pRec = getSourceRecordLocked(pFlcache, devId, TRUE);
    if (pRec == nullptr) {
        MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW, "flcache_AddSourceDevice: TgtDevId: %lu refused: no free record",
                  (unsigned long)devId);
        return MOS_RC__TOO_MANY_DEVICES;
    }
    copyPath(pRec->sourceDevPath, sizeof(pRec->sourceDevPath), pPath);
    pRec->bUseFlcache = TRUE;
    t.sourceDevList[t.sourceDevListSize++] = devId;
    *pbAdded = TRUE;
    return MOS_RC__SUCCESS;
}

// While driver control is off nothing else gives records back. Caller holds confFastlock.
void reclaimWhileOffLocked(Flcache *pFlcache)
{
    if (!pFlcache->bEnable)
        flcache_RemUnusedSourceDev(pFlcache);
}

// The path of one listed cache device and its checks (flcache_CacheReconfig).
Mos_RC resolveCacheDevPath(Flcache *pFlcache, const Flcache_ostrelCacheConf *pConf, UINT32 i, CHAR_A *pPath)
{
    const FlcacheDevId id = pConf->cacheObjDevList[i];
    const Flcache_ContHooks &h = pFlcache->hooks;
    Mos_RC rc = flcache_GetDevicePathFromId(pFlcache, id, pPath, FLCACHE__DEV_PATH_LEN);
    if (rc == MOS_RC__FLCACHE_MULTIPLE_PATHS_TO_DEVICE)
        return rc;
    const BOOL bFound = rc == MOS_RC__SUCCESS;
    if (!bFound)
        copyPath(pPath, FLCACHE__DEV_PATH_LEN, pConf->cacheDevPath[i]);
    rc = h.pValidateCacheDev != nullptr ? h.pValidateCacheDev(h.pCtx, id, pPath, pConf->bForceIgnoreSignature)
                                        : MOS_RC__SUCCESS;
    if (rc != MOS_RC__SUCCESS && !(bFound && rc == MOS_RC__DEV_ALREADY_TAKEN_BY_US_OR_ANOTHER)) {
        MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW, "cache device %lu at %s: signature check: %s",
                  (unsigned long)id, pPath, mosRc_GetStr(rc));
        return rc;
    }
    UINT64 devNum = 0;
    return kernelDevNum(pPath, &devNum);
}

// Registers the listed cache devices. On a failure the devices this command registered anew are
// removed again; those that were registered before stay (an applied configuration may use them).
Mos_RC registerCacheDevs(Flcache *pFlcache, const Flcache_ostrelCacheConf *pConf)
{
    const Flcache_ContHooks &h = pFlcache->hooks;
    FlcacheDevId added[MAX_NUM_FLCACHE_DEV_PER_TGT];
    UINT32 numAdded = 0;
    Mos_RC rc = MOS_RC__SUCCESS;
    for (UINT32 i = 0; i < pConf->cacheObjDevListSize && rc == MOS_RC__SUCCESS; i++) {
        const FlcacheDevId id = pConf->cacheObjDevList[i];
        CHAR_A path[FLCACHE__DEV_PATH_LEN] = {};
        rc = resolveCacheDevPath(pFlcache, pConf, i, path);
        if (rc != MOS_RC__SUCCESS)
            break;
        const FlcacheDevId older =
            h.pFindCacheDevByPath != nullptr ? h.pFindCacheDevByPath(h.pCtx, path, id) : 0;
        if (older != 0 && h.pRemCacheDev != nullptr) {
            MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW, "cache device %lu at %s replaces %lu", (unsigned long)id,
                      path, (unsigned long)older);
            (void)h.pRemCacheDev(h.pCtx, older);
        }
        rc = h.pAddCacheDev != nullptr ? h.pAddCacheDev(h.pCtx, id, path, kNoDriverHandle) : MOS_RC__NOT_READY;
        if (rc == MOS_RC__SUCCESS)
            added[numAdded++] = id;
        else if (rc == MOS_RC__ALREADY_EXISTS)
            rc = MOS_RC__SUCCESS;
    }
    if (rc != MOS_RC__SUCCESS) {
        mosUmtRWLock_AcquireWriteLock(&pFlcache->cacheDevRwLock);
        for (UINT32 i = 0; i < numAdded; i++)
            (void)h.pRemCacheDev(h.pCtx, added[i]);
        mosUmtRWLock_ReleaseWriteLock(&pFlcache->cacheDevRwLock);
    }
    return rc;
}

BOOL pathsTerminated(const Flcache_ostrelCacheConf *pConf)
{
    for (UINT32 i = 0; i < pConf->cacheObjDevListSize; i++)
        if (memchr(pConf->cacheDevPath[i], '\0', FLCACHE__DEV_PATH_LEN) == nullptr)
            return FALSE;
    return TRUE;
}

UINT32 collectErrors(Flcache *pFlcache, OstrelTgtReq_UpdateFlcacheError *pReq)
{
    const Flcache_conf &c = pFlcache->conf;
    for (UINT32 i = 0; i < c.cacheConf.cacheObjDevListSize; i++) {
        const FlcacheDevId id = c.cacheConf.cacheObjDevList[i];
        FlcacheFlashDev *pDev = acquireCacheDev(pFlcache, id);
        if (pDev == nullptr)
            continue;
        if (pDev->flcacheErr != 0)
            pReq->cacheDevErr[pReq->cacheDevErrListSize++] = {id, pDev->flcacheErr};
        releaseCacheDev(pFlcache, id);
    }
    MosFastlockGuard guard(&pFlcache->sourceDevArrfFastlock);
    for (UINT32 i = 0; i < c.sourceConf.sourceDevListSize; i++) {
        const FlcacheSourceDev *pRec = findSourceRecord(pFlcache, c.sourceConf.sourceDevList[i]);
        if (pRec != nullptr && pRec->flcacheErr != 0)
            pReq->sourceDevErr[pReq->sourceDevErrListSize++] = {pRec->tgtDevId, pRec->flcacheErr};
    }
    return pReq->globalCacheErrors;
}

void clearReported(Flcache *pFlcache, const OstrelTgtReq_UpdateFlcacheError &req)
{
    MosFastlockGuard guard(&pFlcache->confFastlock);
    pFlcache->globalCacheErrors &= ~req.globalCacheErrors;
    pFlcache->bInErrorState = FALSE;
    for (UINT32 i = 0; i < req.cacheDevErrListSize; i++) {
        FlcacheFlashDev *pDev = acquireCacheDev(pFlcache, req.cacheDevErr[i].devId);
        if (pDev == nullptr)
            continue;
        pDev->flcacheErr &= ~req.cacheDevErr[i].err;
        releaseCacheDev(pFlcache, req.cacheDevErr[i].devId);
    }
    MosFastlockGuard srcGuard(&pFlcache->sourceDevArrfFastlock);
    for (UINT32 i = 0; i < req.sourceDevErrListSize; i++) {
        FlcacheSourceDev *pRec = findSourceRecord(pFlcache, req.sourceDevErr[i].devId);
        if (pRec != nullptr)
            pRec->flcacheErr &= ~req.sourceDevErr[i].err;
    }
}

} // namespace

const CHAR_A *flcache_ErrName(UINT32 bitIndex)
{
    return bitIndex < FLCACHE_ERR__COUNT ? FLCACHE_ERR__STRINGS[bitIndex] : "FLCACHE_ERR__UNKNOWN";
}

UINT32 flcache_OstrelToDriverOpmode(UINT32 ostrelOpmode)
{
    for (const OpmodePair &p : kOpmodes)
        if (p.ostrel == ostrelOpmode)
            return p.driver;
    return FLCACHE_DRV_OPMODE__INVALID;
}

UINT32 flcache_DriverOpmodeToOstrel(UINT32 driverOpmode)
{
    for (const OpmodePair &p : kOpmodes)
        if (p.driver == driverOpmode)
            return p.ostrel;
    return FLCACHE_OPERATIONAL_MODE__INVALID;
}

BOOL flcache_CacheConfEqual(const Flcache_cacheConf *pA, const Flcache_cacheConf *pB)
{
    if (pA->cacheObjDevListSize != pB->cacheObjDevListSize)
        return FALSE;
    if (pA->cacheObjDevListSize == 0)
        return TRUE;
    if (pA->maxIoSize != pB->maxIoSize || pA->opmode != pB->opmode || pA->pageSize != pB->pageSize)
        return FALSE;
    for (UINT32 i = 0; i < pA->cacheObjDevListSize; i++)
        if (!idInList(pB->cacheObjDevList, pB->cacheObjDevListSize, pA->cacheObjDevList[i]))
            return FALSE;
    return TRUE;
}

BOOL flcache_SourceConfEqual(const Flcache_sourceConf *pA, const Flcache_sourceConf *pB)
{
    if (pA->sourceDevListSize != pB->sourceDevListSize)
        return FALSE;
    for (UINT32 i = 0; i < pA->sourceDevListSize; i++)
        if (!idInList(pB->sourceDevList, pB->sourceDevListSize, pA->sourceDevList[i]))
            return FALSE;
    return TRUE;
}

UINT32 flcache_GenerateDriverObjectId(Flcache *pFlcache)
{
    MosFastlockGuard guard(&pFlcache->DriverObjectIdLock);
    return ++pFlcache->driverObjectId;
}

// ---------------------------------------------------------------------------------------------
// Life

void flcache_Init(Flcache *pFlcache, Cont *pCont)
{
    flcache_InitEx(pFlcache, pCont, nullptr, nullptr, nullptr);
}

void flcache_InitEx(Flcache *pFlcache, Cont *pCont, const FlcacheDrvPort *pPort, const CHAR_A *pDriverPath,
                    const CHAR_A *pHandleFile)
{
    MOS_ASSERT_WITH_DESC(pTgtSdbg_g != nullptr, "debug types registered");
    memset(static_cast<void *>(pFlcache), 0, sizeof(*pFlcache));
    pFlcache->pCont = pCont;
    pFlcache->driverControlFileHandle = FLCACHE_INVALID_DRIVER_DEV_HANDLE;
    pFlcache->port = *(pPort != nullptr ? pPort : flcacheDrv_KernelPort());
    MOS_FASTLOCK_CREATE(&pFlcache->sourceDevArrfFastlock, TGT_CONTENTION__FLCACHE_SOURCE_DEV);
    MOS_FASTLOCK_CREATE(&pFlcache->confFastlock, TGT_CONTENTION__FLCACHE_CONF);
    MOS_FASTLOCK_CREATE(&pFlcache->DriverObjectIdLock, TGT_CONTENTION__FLCACHE_OBJ_ID);
    mosUmtRWLock_Init(&pFlcache->cacheDevRwLock);
    mosUmtRWLock_Init(&pFlcache->driverLock);
    copyPath(pFlcache->cacheDriverPath, sizeof(pFlcache->cacheDriverPath),
             pDriverPath != nullptr ? pDriverPath : FLCACHE__DRIVER_PATH);
    readHandleFile(pFlcache, pHandleFile != nullptr ? pHandleFile : FLCACHE__HANDLE_FILE);
    pFlcache->driverObjectId = (UINT32)(pFlcache->driverCacheHandle * 100);
    for (UINT32 i = 0; i < FLCACHE__MAX_SOURCE_RECORDS; i++)
        pFlcache->pSourceDevList[i] = &pFlcache->sourceDevArr[i];
    mosObjType_RegObj(&pTgtSdbg_g->flcacheType, &pFlcache->sdbgObj, "flcache");
}

void flcache_SetContHooks(Flcache *pFlcache, const Flcache_ContHooks *pHooks)
{
    MosFastlockGuard guard(&pFlcache->confFastlock);
    pFlcache->hooks = *pHooks;
}

void flcache_Destroy(Flcache *pFlcache)
{
    flcache_CacheDisable(pFlcache);
    if (pFlcache->hMonitor != nullptr)
        mosUmt_JoinSync(pFlcache->hMonitor);
    pFlcache->hMonitor = nullptr;
    if (pTgtSdbg_g != nullptr)
        mosObjType_UnregObj(&pTgtSdbg_g->flcacheType, &pFlcache->sdbgObj);
    mosUmtRWLock_Destroy(&pFlcache->driverLock);
    mosUmtRWLock_Destroy(&pFlcache->cacheDevRwLock);
}

// ---------------------------------------------------------------------------------------------
// Driver control

Mos_RC flcache_CacheStateInit(Flcache *pFlcache)
{
    if (pFlcache->bHandleFileBad)
        return MOS_RC__FLCACHE_INVALID_DRIVER_PATH;
    mosUmtRWLock_AcquireWriteLock(&pFlcache->driverLock);
    Mos_RC rc = allocCmdBuffer(pFlcache);
    if (rc == MOS_RC__SUCCESS && pFlcache->driverControlFileHandle == FLCACHE_INVALID_DRIVER_DEV_HANDLE) {
        pFlcache->driverControlFileHandle = pFlcache->port.pOpen(pFlcache->port.pCtx, pFlcache->cacheDriverPath);
        if (pFlcache->driverControlFileHandle < 0) {
            pFlcache->driverControlFileHandle = FLCACHE_INVALID_DRIVER_DEV_HANDLE;
            MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW, "flcache_CacheStateInit: mos_DevOpen(%s) Failed",
                      pFlcache->cacheDriverPath);
            rc = MOS_RC__FLCACHE_INVALID_DRIVER_PATH;
        }
    }
    if (rc == MOS_RC__SUCCESS) {
        memset(payload(pFlcache), 0, sizeof(FlcacheDrvVersion));
        UINT32 status = 0;
        rc = sendCmd(pFlcache, FLCACHE_DRV_CMD__GET_VERSION, sizeof(FlcacheDrvVersion), &status);
        const UINT32 version = reinterpret_cast<const FlcacheDrvVersion *>(payload(pFlcache))->ioctl_version;
        if (rc != MOS_RC__SUCCESS || version != FLCACHE_DRV__API_VERSION) {
            MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW, "flcache_CacheStateInit: ioctl_version %u, expected %u",
                      version, FLCACHE_DRV__API_VERSION);
            rc = MOS_RC__FLCACHE_API_VERSION_MISMATCH;
        }
    }
    if (rc == MOS_RC__SUCCESS)
        rc = cleanDriverState(pFlcache);
    if (rc == MOS_RC__SUCCESS)
        rc = queryAndUpdateState(pFlcache);
    mosUmtRWLock_ReleaseWriteLock(&pFlcache->driverLock);
    if (rc != MOS_RC__SUCCESS)
        return rc;

    MosFastlockGuard guard(&pFlcache->confFastlock);
    Flcache_conf &t = pFlcache->targetConf;
    Flcache_conf &lk = pFlcache->lastKnownConf;
    pFlcache->conf = lk;
    if (t.cacheConf.cachConfId == 0)
        t.cacheConf = lk.cacheConf;
    else if (flcache_CacheConfEqual(&t.cacheConf, &lk.cacheConf))
        pFlcache->conf.cacheConf.cachConfId = lk.cacheConf.cachConfId = t.cacheConf.cachConfId;
    if (t.sourceConf.sourceConfId == 0)
        t.sourceConf = lk.sourceConf;
    else if (flcache_SourceConfEqual(&t.sourceConf, &lk.sourceConf))
        pFlcache->conf.sourceConf.sourceConfId = lk.sourceConf.sourceConfId = t.sourceConf.sourceConfId;
    else
        t.sourceConf.sourceConfId++;
    // Ids that happen to match would hide a configuration the driver does not run.
    if (!flcache_CacheConfEqual(&t.cacheConf, &lk.cacheConf) && t.cacheConf.cachConfId == lk.cacheConf.cachConfId)
        t.cacheConf.cachConfId++;
    if (!flcache_SourceConfEqual(&t.sourceConf, &lk.sourceConf) &&
        t.sourceConf.sourceConfId == lk.sourceConf.sourceConfId)
        t.sourceConf.sourceConfId++;
    return MOS_RC__SUCCESS;
}

Mos_RC flcache_CacheEnable(Flcache *pFlcache)
{
    if (pFlcache->hMonitor != nullptr) {
        // A monitor that ended after a failed round is joined before another starts.
        mosUmt_JoinSync(pFlcache->hMonitor);
        pFlcache->hMonitor = nullptr;
    }
    Mos_RC rc = flcache_CacheStateInit(pFlcache);
    if (rc != MOS_RC__SUCCESS) {
        MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW, "flcache_CacheEnable: flcache_CacheStateInit Failed (%s)",
                  mosRc_GetStr(rc));
        closeControlDevice(pFlcache);
        reportFailure(pFlcache, rc == MOS_RC__FLCACHE_API_VERSION_MISMATCH ? FLCACHE_ERR_BIT(API_VERSION_MISMATCH)
                                : rc == MOS_RC__FLCACHE_INVALID_DRIVER_PATH ? FLCACHE_ERR_BIT(INVALID_DRIVER_PATH)
                                                                            : 0);
        return rc;
    }
    pFlcache->bEnable = TRUE;
    if (!pFlcache->hooks.bNoMonitorThread) {
        pFlcache->hMonitor = mosUmt_CreateUThreadEx(periodicMonitor, pFlcache, nullptr, nullptr, TRUE,
                                                    pFlcache->hooks.monitorClass);
        MOS_ASSERT(pFlcache->hMonitor != nullptr);
    }
    return MOS_RC__SUCCESS;
}

void flcache_CacheDisable(Flcache *pFlcache)
{
    pFlcache->bEnable = FALSE;
    closeControlDevice(pFlcache);
    MosFastlockGuard guard(&pFlcache->confFastlock);
    flcache_RemUnusedSourceDev(pFlcache);
}

Mos_RC flcache_MonitorRound(Flcache *pFlcache)
{
    Flcache_conf prev;
    Flcache_conf applied;
    Flcache_conf known;
    BOOL bNewCache;
    BOOL bNewSource;
    {
        MosFastlockGuard guard(&pFlcache->confFastlock);
        MOS_ASSERT(!pFlcache->bConfBusy);
        pFlcache->bConfBusy = TRUE;
        bNewCache = pFlcache->targetConf.cacheConf.cachConfId != pFlcache->conf.cacheConf.cachConfId;
        bNewSource = pFlcache->targetConf.sourceConf.sourceConfId != pFlcache->conf.sourceConf.sourceConfId;
        prev = pFlcache->conf;
        pFlcache->conf = pFlcache->targetConf;
        applied = pFlcache->conf;
        known = pFlcache->lastKnownConf;
    }
    mosUmtRWLock_AcquireWriteLock(&pFlcache->driverLock);
    Mos_RC rc = pFlcache->pIocmd != nullptr ? MOS_RC__SUCCESS : MOS_RC__NOT_READY;
    if (rc == MOS_RC__SUCCESS && bNewCache)
        rc = applyCacheConf(pFlcache, applied, known);
    else if (rc == MOS_RC__SUCCESS && bNewSource)
        rc = applySourceConf(pFlcache, applied, known);
    if (rc == MOS_RC__SUCCESS)
        rc = queryAndUpdateState(pFlcache);
    mosUmtRWLock_ReleaseWriteLock(&pFlcache->driverLock);

    BOOL bReport;
    BOOL bCleanUp = FALSE;
    FlcacheDevId inUse[MAX_NUM_FLCACHE_DEV_PER_TGT];
    UINT32 numInUse = 0;
    {
        MosFastlockGuard guard(&pFlcache->confFastlock);
        if (rc != MOS_RC__SUCCESS) {
            pFlcache->conf = prev;
            pFlcache->bInErrorState = TRUE;
        } else {
            const Flcache_sourceConf want = expectedSources(pFlcache->conf);
            if (!flcache_CacheConfEqual(&pFlcache->lastKnownConf.cacheConf, &pFlcache->conf.cacheConf)) {
                pFlcache->globalCacheErrors |= FLCACHE_ERR_BIT(INCONSISTENT_CACHE_CONF);
                pFlcache->bInErrorState = TRUE;
            }
            if (!flcache_SourceConfEqual(&pFlcache->lastKnownConf.sourceConf, &want)) {
                pFlcache->globalCacheErrors |= FLCACHE_ERR_BIT(INCONSISTENT_SOURCE_CONF);
                pFlcache->bInErrorState = TRUE;
            }
            bCleanUp = pFlcache->conf.cacheConf.cachConfId == pFlcache->targetConf.cacheConf.cachConfId &&
                       pFlcache->conf.sourceConf.sourceConfId == pFlcache->targetConf.sourceConf.sourceConfId;
            numInUse = pFlcache->conf.cacheConf.cacheObjDevListSize;
            memcpy(inUse, pFlcache->conf.cacheConf.cacheObjDevList, sizeof(inUse));
        }
        bReport = pFlcache->bInErrorState;
    }
    if (rc != MOS_RC__SUCCESS)
        MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW, "flcache_PeriodicMonitor: round failed (%s): driver control off",
                  mosRc_GetStr(rc));
    if (bReport)
        (void)flcache_SendErrNotification(pFlcache);
    if (bCleanUp) {
        const Flcache_ContHooks &h = pFlcache->hooks;
        if (h.pRemUnusedCacheDev != nullptr)
            h.pRemUnusedCacheDev(h.pCtx, inUse, numInUse);
        MosFastlockGuard guard(&pFlcache->confFastlock);
        flcache_RemUnusedSourceDev(pFlcache);
    }
    if (rc != MOS_RC__SUCCESS)
        flcache_CacheDisable(pFlcache);
    MosFastlockGuard guard(&pFlcache->confFastlock);
    pFlcache->bConfBusy = FALSE;
    return rc;
}

// ---------------------------------------------------------------------------------------------
// Commands

Mos_RC flcache_CacheReconfig(Flcache *pFlcache, const Flcache_ostrelCacheConf *pNewOstrelCacheConf)
{
    const Flcache_ostrelCacheConf *pIn = pNewOstrelCacheConf;
    if (pIn->cacheObjDevListSize > MAX_NUM_FLCACHE_DEV_PER_TGT) {
        MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW, "flcache_CacheReconfig: %u cache devices, at most %u",
                  pIn->cacheObjDevListSize, MAX_NUM_FLCACHE_DEV_PER_TGT);
        return MOS_RC__TOO_MANY_FLCACHE_DEVS;
    }
    if (!pathsTerminated(pIn)) {
        MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW, "flcache_CacheReconfig: a cache device path without its end");
        return MOS_RC__INVALID_ARG;
    }
    Mos_RC rc = registerCacheDevs(pFlcache, pIn);
    if (rc != MOS_RC__SUCCESS)
        return rc;

    Flcache_cacheConf next{};
    next.maxIoSize = pIn->maxIoSize;
    next.opmode = pIn->opmode;
    next.pageSize = pIn->pageSize;
    next.cacheObjDevListSize = pIn->cacheObjDevListSize;
    memcpy(next.cacheObjDevList, pIn->cacheObjDevList, sizeof(next.cacheObjDevList));
    {
        MosFastlockGuard guard(&pFlcache->confFastlock);
        Flcache_cacheConf &t = pFlcache->targetConf.cacheConf;
        if (!flcache_CacheConfEqual(&next, &t)) {
            next.cachConfId = t.cachConfId + 1;
            t = next;
        }
    }
    if (!pFlcache->bEnable && pIn->cacheObjDevListSize != 0)
        return flcache_CacheEnable(pFlcache);
    return MOS_RC__SUCCESS;
}

Mos_RC flcache_SourceReconfig(Flcache *pFlcache, const Flcache_ostrelSourceConf *pNewOstrelSourceConf)
{
    const Flcache_ostrelSourceDevList &in = pNewOstrelSourceConf->sourceDeviceList;
    if (in.sourceDevListSize > FLCACHE__MAX_SOURCE_DEVS) {
        MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW, "flcache_SourceReconfig: %u sources, at most %u",
                  in.sourceDevListSize, FLCACHE__MAX_SOURCE_DEVS);
        return MOS_RC__TOO_MANY_DEVICES;
    }
    // Every path is taken before the target changes, so a refused list changes nothing.
    CHAR_A paths[FLCACHE__MAX_SOURCE_DEVS][FLCACHE__DEV_PATH_LEN] = {};
    const Flcache_ContHooks &h = pFlcache->hooks;
    for (UINT32 i = 0; i < in.sourceDevListSize; i++) {
        Mos_RC rc = h.pCopyDevPath != nullptr ? h.pCopyDevPath(h.pCtx, in.sourceDevList[i], paths[i])
                                              : MOS_RC__NOT_FOUND;
        paths[i][FLCACHE__DEV_PATH_LEN - 1] = '\0';
        if (rc != MOS_RC__SUCCESS) {
            MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW, "flcache_SourceReconfig: tgtDevId(%lu) is no device here",
                      (unsigned long)in.sourceDevList[i]);
            return MOS_RC__TGT_DEVICE_NOT_FOUND;
        }
    }
    Flcache_sourceConf next{};
    next.sourceDevListSize = in.sourceDevListSize;
    memcpy(next.sourceDevList, in.sourceDevList, sizeof(next.sourceDevList));

    MosFastlockGuard guard(&pFlcache->confFastlock);
    if (flcache_SourceConfEqual(&next, &pFlcache->targetConf.sourceConf))
        return MOS_RC__SUCCESS;
    flcache_RemoveAllTargetConfSourceDevice(pFlcache);
    Mos_RC rc = MOS_RC__SUCCESS;
    for (UINT32 i = 0; i < in.sourceDevListSize && rc == MOS_RC__SUCCESS; i++) {
        MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW,
                  "flcache_SourceReconfig: configure source: device(%s), tgtDevId(%lu)", paths[i],
                  (unsigned long)in.sourceDevList[i]);
        const UINT64 id = in.sourceDevList[i];
        const CHAR_A *pPath = paths[i];
        BOOL bAdded = FALSE;
        rc = addOneSourceLocked(pFlcache, id, pPath, &bAdded);
        if (bAdded)
            pFlcache->targetConf.sourceConf.sourceConfId++;
    }
    reclaimWhileOffLocked(pFlcache);
    return rc;
}

Mos_RC flcache_AddSourceDevice(Flcache *pFlcache, const UINT64 devId[], const CHAR_A *const devPath[],
                               UINT32 numOfDeviecs, BOOL bConfLock)
{
    if (bConfLock)
        mosFastlockBase_Acquire(&pFlcache->confFastlock);
    Mos_RC rc = MOS_RC__SUCCESS;
    BOOL bAny = FALSE;
    for (UINT32 i = 0; i < numOfDeviecs && rc == MOS_RC__SUCCESS; i++) {
        BOOL bAdded = FALSE;
        rc = addOneSourceLocked(pFlcache, devId[i], devPath[i], &bAdded);
        bAny |= bAdded;
    }
    if (bAny)
        pFlcache->targetConf.sourceConf.sourceConfId++;
    reclaimWhileOffLocked(pFlcache);
    if (bConfLock)
        mosFastlockBase_Release(&pFlcache->confFastlock);
    return rc;
}

void flcache_RemoveSourceDevice(Flcache *pFlcache, UINT64 devId, BOOL bConfLock)
{
    if (bConfLock)
        mosFastlockBase_Acquire(&pFlcache->confFastlock);
    Flcache_sourceConf &t = pFlcache->targetConf.sourceConf;
    UINT32 pos = t.sourceDevListSize;
    for (UINT32 i = 0; i < t.sourceDevListSize; i++)
        if (t.sourceDevList[i] == devId)
            pos = i;
    if (pos == t.sourceDevListSize) {
        MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW, "flcache_RemoveSourceDevice: TgtDevId: %lu wasn't found!!!",
                  (unsigned long)devId);
    } else {
        {
            MosFastlockGuard guard(&pFlcache->sourceDevArrfFastlock);
            FlcacheSourceDev *pRec = findSourceRecord(pFlcache, devId);
            MOS_ASSERT(pRec != nullptr);
            pRec->bUseFlcache = FALSE;
        }
        const UINT32 last = --t.sourceDevListSize;
        t.sourceDevList[pos] = t.sourceDevList[last];
        t.sourceDevList[last] = 0;
        t.sourceConfId++;
        reclaimWhileOffLocked(pFlcache);
    }
    if (bConfLock)
        mosFastlockBase_Release(&pFlcache->confFastlock);
}

BOOL flcache_IsFlcacheEnabledOnDevice(Flcache *pFlcache, UINT64 devId)
{
    MosFastlockGuard guard(&pFlcache->confFastlock);
    MosFastlockGuard srcGuard(&pFlcache->sourceDevArrfFastlock);
    const FlcacheSourceDev *pRec = findSourceRecord(pFlcache, devId);
    return pRec != nullptr ? pRec->bUseFlcache : FALSE;
}

void flcache_RemoveAllTargetConfSourceDevice(Flcache *pFlcache)
{
    Flcache_sourceConf &t = pFlcache->targetConf.sourceConf;
    if (t.sourceDevListSize == 0)
        return;
    {
        MosFastlockGuard guard(&pFlcache->sourceDevArrfFastlock);
        for (UINT32 i = 0; i < t.sourceDevListSize; i++) {
            FlcacheSourceDev *pRec = findSourceRecord(pFlcache, t.sourceDevList[i]);
            MOS_ASSERT(pRec != nullptr && pRec->tgtDevId == t.sourceDevList[i]);
            pRec->bUseFlcache = FALSE;
        }
    }
    memset(t.sourceDevList, 0, sizeof(t.sourceDevList));
    t.sourceDevListSize = 0;
    t.sourceConfId++;
}

void flcache_RemUnusedSourceDev(Flcache *pFlcache)
{
    MosFastlockGuard guard(&pFlcache->sourceDevArrfFastlock);
    dropUnusedRecordsLocked(pFlcache, FALSE);
}

void flcache_PrintAllSourceDev(Flcache *pFlcache, const CHAR_A *descriptionStr)
{
    const CHAR_A *pDesc = descriptionStr != nullptr ? descriptionStr : "flcache_PrintAllSourceDev";
    MosFastlockGuard guard(&pFlcache->sourceDevArrfFastlock);
    for (UINT32 i = 0; i < pFlcache->sourceDevArrLen; i++) {
        const FlcacheSourceDev *p = pFlcache->pSourceDevList[i];
        MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW,
                  "%s: tgtDevId(%lu), sourceDevPath(%s), bUseFlcache(%d), flcacheDriverHandle(%lu), flcacheErr(%d)",
                  pDesc, (unsigned long)p->tgtDevId, p->sourceDevPath, p->bUseFlcache,
                  (unsigned long)p->flcacheDriverHandle, (int)p->flcacheErr);
    }
}

// ---------------------------------------------------------------------------------------------
// Queries, counters, reports

void flcache_CacheQuery(Flcache *pFlcache, Flcache_ostrelQueryRes *pRes)
{
    memset(pRes, 0, sizeof(*pRes));
    MosFastlockGuard guard(&pFlcache->confFastlock);
    const Flcache_conf &c = pFlcache->conf;
    const Flcache_conf &t = pFlcache->targetConf;
    if (pFlcache->bConfBusy || c.cacheConf.cachConfId != t.cacheConf.cachConfId ||
        c.sourceConf.sourceConfId != t.sourceConf.sourceConfId)
        return;
    pRes->bValid = TRUE;
    pRes->maxIoSize = c.cacheConf.maxIoSize;
    pRes->opmode = c.cacheConf.opmode;
    pRes->pageSize = c.cacheConf.pageSize;
    for (UINT32 i = 0; i < c.cacheConf.cacheObjDevListSize; i++) {
        const FlcacheDevId id = c.cacheConf.cacheObjDevList[i];
        Flcache_ostrelQueryCacheDev &d = pRes->cacheDevs[pRes->numCacheDevs++];
        d.id = id;
        FlcacheFlashDev *pDev = acquireCacheDev(pFlcache, id);
        if (pDev == nullptr)
            continue;
        memcpy(d.path, pDev->cacheDevPath, sizeof(d.path));
        d.size = pDev->devSize;
        releaseCacheDev(pFlcache, id);
    }
    pRes->numSourceDevs = c.sourceConf.sourceDevListSize;
    memcpy(pRes->sourceDevList, c.sourceConf.sourceDevList, sizeof(pRes->sourceDevList));
}

void flcache_GetCacheCounters(Flcache *pFlcache, OstrelTgtRsp_FlcacheDevCounters flcacheDevCounters[],
                              UINT32 *pNumFlcacheDevs)
{
    MosFastlockGuard guard(&pFlcache->confFastlock);
    *pNumFlcacheDevs = 0;
    if (!pFlcache->bEnable)
        return;
    const Flcache_cacheConf &cc = pFlcache->conf.cacheConf;
    for (UINT32 i = 0; i < cc.cacheObjDevListSize; i++) {
        // A device object removed under the applied configuration answers zero counters.
        FlcacheFlashDev *pDev = acquireCacheDev(pFlcache, cc.cacheObjDevList[i]);
        memset(&flcacheDevCounters[i], 0, sizeof(flcacheDevCounters[i]));
        if (pDev == nullptr)
            continue;
        flcacheDevCounters[i] = pDev->flcacheCacheDevCounters;
        releaseCacheDev(pFlcache, cc.cacheObjDevList[i]);
    }
    *pNumFlcacheDevs = cc.cacheObjDevListSize;
}

void flcache_GetCachePoolCounters(Flcache *pFlcache, OstrelTgtRsp_FlcachePoolCounters *pFlcachePoolCounter)
{
    memset(pFlcachePoolCounter, 0, sizeof(*pFlcachePoolCounter));
    if (!pFlcache->bEnable)
        return;
    MosFastlockGuard guard(&pFlcache->confFastlock);
    *pFlcachePoolCounter = pFlcache->poolCounters;
}

void flcache_GetSourceCounters(Flcache *pFlcache, UINT64 sourceTgtId, TgtFlcacheSourceDeviceCounters *pFlcacheCounter)
{
    memset(pFlcacheCounter, 0, sizeof(*pFlcacheCounter));
    if (!pFlcache->bEnable)
        return;
    MosFastlockGuard guard(&pFlcache->confFastlock);
    MosFastlockGuard srcGuard(&pFlcache->sourceDevArrfFastlock);
    const FlcacheSourceDev *pRec = findSourceRecord(pFlcache, sourceTgtId);
    if (pRec != nullptr)
        *pFlcacheCounter = pRec->flcacheSourceDevCounters;
}

void flcache_Query(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    (void)pName;
    Flcache *pFlcache = MOS_CONTAINER_OF(pObj, Flcache, sdbgObj);
    auto *pQ = static_cast<FlcacheQuery *>(pData);
    memset(pQ, 0, sizeof(*pQ));
    pQ->driverCacheHandle = pFlcache->driverCacheHandle;
    memcpy(pQ->cacheDriverPath, pFlcache->cacheDriverPath, sizeof(pQ->cacheDriverPath));
    pQ->bConfBusy = pFlcache->bConfBusy;
    pQ->bEnable = pFlcache->bEnable;
    pQ->globalCacheErrors = pFlcache->globalCacheErrors;
    pQ->bInErrorState = pFlcache->bInErrorState;
    flcache_GetCachePoolCounters(pFlcache, &pQ->poolCounters);
}

Mos_RC flcache_GetDevicePathFromId(Flcache *pFlcache, UINT64 devId, CHAR_A *pDeviceName, UINT32 nameLen)
{
    if (nameLen < FLCACHE__DEV_PATH_LEN)
        MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW, "nameLen < %d", (int)FLCACHE__DEV_PATH_LEN);
    const Flcache_ContHooks &h = pFlcache->hooks;
    CHAR_A path[FLCACHE__DEV_PATH_LEN] = {};
    UINT32 count = 0;
    if (h.pGetDevPath == nullptr || !h.pGetDevPath(h.pCtx, devId, path, &count) || count == 0)
        return MOS_RC__INVALID_FLCACHE_DEV_ID;
    path[FLCACHE__DEV_PATH_LEN - 1] = '\0';
    if (count > 1) {
        MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW, "devId(%lu), path found in %s, and in another path",
                  (unsigned long)devId, path);
        return MOS_RC__FLCACHE_MULTIPLE_PATHS_TO_DEVICE;
    }
    MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW, "devId(%lu), path found in %s", (unsigned long)devId, path);
    copyPath(pDeviceName, nameLen < FLCACHE__DEV_PATH_LEN ? nameLen : FLCACHE__DEV_PATH_LEN, path);
    return MOS_RC__SUCCESS;
}

Mos_RC flcache_SendErrNotification(Flcache *pFlcache)
{
    OstrelTgtReq_UpdateFlcacheError req{};
    const Flcache_ContHooks &h = pFlcache->hooks;
    {
        MosFastlockGuard guard(&pFlcache->confFastlock);
        req.sourceTgtId = h.pGetTgtId != nullptr ? h.pGetTgtId(h.pCtx) : 0;
        req.globalCacheErrors = pFlcache->globalCacheErrors;
        collectErrors(pFlcache, &req);
    }
    const Mos_RC rc = h.pSendRequest != nullptr ? h.pSendRequest(h.pCtx, OSTREL_MSG_TYPE__UPDATE_FLCACHE_ERROR,
                                                                 FLCACHE__OSTREL_RECV_GROUP, &req, sizeof(req))
                                                : MOS_RC__NOT_READY;
    if (rc == MOS_RC__SUCCESS) {
        clearReported(pFlcache, req);
        return MOS_RC__SUCCESS;
    }
    MOS_TRACE(MOS_COMP_TGT_FLCACHE, MOS_FREQ_LOW, "flcache_sendErrNotification: contOstrel_SendRequest rc is %s",
              mosRc_GetStr(rc));
    if (rc == MOS_RC__ERROR || rc == MOS_RC__RETRY || rc == MOS_RC__TIMEOUT)
        return MOS_RC__TIMEOUT;
    return rc;
}
