#include "tgt/file/file_intrn.h"

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "mos/mos_dbg.h"
#include "mos/mos_diag_counters.h"
#include "mos/mos_trace.h"
#include "mos/umt/mos_umt.h"
#include "mos/mos_utils_blkdev.h"
#include "tgt/tgt_conf.h"
#include "tgt/tgt_contention.h"
#include "tgt/tgt_sdbg.h"

namespace {
FileDevHooks devHooks_G{};
FileUsecClock usecClock_G = nullptr;

UINT64 realUsec()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (UINT64)ts.tv_sec * 1000000ull + (UINT64)ts.tv_nsec / 1000;
}

bool ioEnabled(const File *pFile) { return pFile->bAlwaysEnableIo || tgtInitParam_G.bPhyDevIoEnabled; }
bool runtimeInUse(const File *pFile) { return ioEnabled(pFile) || tgtInitParam_G.bPhyDevIoEnabledMd; }

// Only metadata below the boundary stays real when device I/O is switched off.
bool isSimulated(const File *pFile, UINT64 lbOffset)
{
    if (ioEnabled(pFile))
        return false;
    return !(tgtInitParam_G.bPhyDevIoEnabledMd && lbOffset < TGT_FILE__SIM_REAL_VOL_SIZE);
}

UINT64 simulatedSize(File *pFile)
{
    if (pFile->dbg.fileSizeInLbs == 0)
        pFile->dbg.fileSizeInLbs = tgtInitParam_G.phyDevSimulatedDevSizeInGb * GB_IN_LBS;
    return pFile->dbg.fileSizeInLbs;
}

UINT32 queuedIos(File *pFile)
{
    if (pFile->mosDev.pFile == nullptr)
        return 0;
    return mosAsyncIOFile_WaitersNum(&pFile->mosDev) + mosAsyncIOFile_InflightsNum(&pFile->mosDev);
}

void countAttempt(File *pFile, FileIoType ioType, BOOL bWrite, UINT32 lbCount, bool bFailed)
{
    FileIoCounters &c = pFile->dbg.ioCounters[ioType];
    __atomic_add_fetch(bWrite ? &c.writes : &c.reads, 1, __ATOMIC_RELAXED);
    __atomic_add_fetch(bWrite ? &c.writeDataInLbs : &c.readDataInLbs, lbCount, __ATOMIC_RELAXED);
    if (bFailed)
        __atomic_add_fetch(bWrite ? &c.writeErrors : &c.readErrors, 1, __ATOMIC_RELAXED);
}

void reportDeviceError(File *pFile, UINT32 kind)
{
    if (pFile->pContDev != nullptr && devHooks_G.pUpdateDeviceError != nullptr)
        devHooks_G.pUpdateDeviceError(pFile->pContDev, pFile->pCont, kind);
}

UINT32 longIoCount(const File *pFile)
{
    return pFile->fileState.longIoReadErrorCount + pFile->fileState.longIoWriteErrorCount;
}

// A range past the end never reaches the device: the caller is told and the device object
// learns of it, and the process goes on.
bool isPastEnd(File *pFile, UINT64 lbOffset, UINT32 lbCount, FileIoType ioType, BOOL bWrite)
{
    // A closed file has no end to pass: its attempts are refused as such.
    if (!pFile->bOpen || (bWrite && pFile->bAppendable && !isSimulated(pFile, lbOffset)))
        return false;
    UINT64 size = file_GetSize(pFile);
    if (lbOffset + lbCount <= size)
        return false;
    MOS_ERROR(MOS_COMP_TGT_PHY, "%s past the end of %s: %lu + %u > %lu", bWrite ? "Write" : "Read", pFile->name,
              (unsigned long)lbOffset, lbCount, (unsigned long)size);
    countAttempt(pFile, ioType, bWrite, lbCount, true);
    reportDeviceError(pFile, bWrite ? FILE__DEV_ERROR_WRITE : FILE__DEV_ERROR_READ);
    return true;
}

void recordLatency(File *pFile, BOOL bWrite, UINT64 startUsec, UINT32 lbCount)
{
    UINT64 end = file_NowUsec();
    UINT32 usec = end > startUsec ? (UINT32)MOS_MIN(end - startUsec, (UINT64)0xFFFFFFFFu) : 0;
    tgtBWC_EventOccurrenceIntrn(bWrite ? &pFile->writeLatencyBwc : &pFile->readLatencyBwc, usec, 1, FALSE);
    tgtBWC_EventOccurrenceIntrn(bWrite ? &pFile->writeSizeBwc : &pFile->readSizeBwc, lbCount, 1, FALSE);
}

enum class SyncKind { READ, WRITE, WRITE_ZERO };

struct SyncOp {
    SyncKind kind;
    void *pBuf;
    T10Dif *pDif;
    UINT64 lbOffset;
    UINT32 lbCount;
    FileIoType ioType;
    CombId combId;
    UINT32 offsetInComb;
    BOOL bT10Dif;
    BOOL bIgnorePrevIoErr;
};

bool isRefused(File *pFile, const SyncOp &op)
{
    if (!pFile->bOpen)
        return true;
    bool bFailedState = longIoCount(pFile) > 1 || pFile->bHasIoFailed;
    // A write never overrides the failed state: only a read or a zero write may probe the device.
    if (op.kind == SyncKind::WRITE)
        return bFailedState;
    return bFailedState && !op.bIgnorePrevIoErr;
}

Mos_RC transfer(File *pFile, const SyncOp &op, MosTicks_Cnt *pTicks)
{
    UINT64 bytesOffset = op.lbOffset * LB_SIZE_IN_BYTES;
    if (op.kind != SyncKind::WRITE_ZERO)
        return file_DoIOSyncEx(pFile, bytesOffset, op.pBuf, op.lbCount * LB_SIZE_IN_BYTES,
                               op.kind == SyncKind::WRITE, pTicks);
    INT64 budget = mosUmt_GetTimeLimitMilliBudget();
    if (budget == 0) {
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "Time budget exceeded on reading from %s", pFile->name);
        return MOS_RC__TIMEOUT;
    }
    UINT64 limit = budget < 0 ? MOS_ASYNC_IO__NO_TIME_LIMIT : (UINT64)budget;
    return mosAsyncIO_WriteZeroTimedSync(&pFile->mosDev, bytesOffset, (UINT64)op.lbCount * LB_SIZE_IN_BYTES, limit,
                                         pTicks);
}

void traceBeforeIo(File *pFile, const SyncOp &op)
{
    if (!tgtInitParam_G.bDitExtra)
        return;
    if (op.kind == SyncKind::READ)
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_MED, "Read from disk (%s %lu) (%lx %u) (%u %p)", pFile->name,
                  (unsigned long)op.lbOffset, (unsigned long)op.combId, op.offsetInComb, op.lbCount, op.pBuf);
    else if (op.kind == SyncKind::WRITE)
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_MED, "Write to disk (%s %lu) (%lx %u) (%u %p)", pFile->name,
                  (unsigned long)op.lbOffset, (unsigned long)op.combId, op.offsetInComb, op.lbCount, op.pBuf);
    else
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_MED, " Write zero to disk %lu %u", (unsigned long)op.lbOffset,
                  op.lbCount);
}

void traceFailure(File *pFile, const SyncOp &op, Mos_RC rc)
{
    (void)pFile;
    if (op.kind == SyncKind::READ)
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_MED, " Read error from disk %lu, %u %s", (unsigned long)op.lbOffset,
                  op.lbCount, MOS_RC__GET_STR(rc));
    else
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_MED, " Write error to disk %lu, %u %s", (unsigned long)op.lbOffset,
                  op.lbCount, MOS_RC__GET_STR(rc));
}

// One attempt; *pIoTimeMs gets the time it took (0 when refused).
Mos_RC syncAttempt(File *pFile, const SyncOp &op, UINT64 *pIoTimeMs)
{
    BOOL bWrite = op.kind != SyncKind::READ;
    *pIoTimeMs = 0;
    if (isSimulated(pFile, op.lbOffset)) {
        if (op.kind == SyncKind::READ) {
            memset(op.pBuf, 0, (size_t)op.lbCount * LB_SIZE_IN_BYTES);
            if (op.bT10Dif) {
                MOS_TRACE(MOS_COMP_T10DIF, MOS_FREQ_HIGH,
                          "(T10DIF) Pellar Read (masked off disk -> Memory) Generates Zero Data T10 DIF: sizeInLbs=%x",
                          op.lbCount);
                mosT10Dif_GenT10DIF(nullptr, op.pDif, 0, combId_GetRowIndex(op.combId), 0, op.lbCount);
            }
        }
        countAttempt(pFile, op.ioType, bWrite, op.lbCount, false);
        return MOS_RC__SUCCESS;
    }
    Mos_RC rc = MOS_RC__IO_HARD_ERROR;
    mosUmtRWLock_AcquireReadLock(&pFile->closeRwLock);
    if (!isRefused(pFile, op)) {
        if (queuedIos(pFile) == 0)
            pFile->lastIoEndTick = mosTicks_GetCurrentTick();
        traceBeforeIo(pFile, op);
        UINT64 startUsec = file_NowUsec();
        MosTicks_Cnt ticks = 0;
        rc = transfer(pFile, op, &ticks);
        if (rc == MOS_RC__TIMEOUT) {
            mosUmtRWLock_ReleaseReadLock(&pFile->closeRwLock);
            countAttempt(pFile, op.ioType, bWrite, op.lbCount, false);
            return rc;
        }
        if (rc == MOS_RC__SUCCESS && op.kind == SyncKind::READ && op.bT10Dif) {
            mosT10Dif_GenT10DIF(op.pBuf, op.pDif, 0, combId_GetRowIndex(op.combId), 0, op.lbCount);
            mosDiagCounters_Count(MOS_DIAG_COUNTER__T10DIF_GEN_READ_FROM_DRIVE);
        }
        *pIoTimeMs = mosTicks_TicksToMillis(ticks);
        rc = file_HandleIoDone(pFile, *pIoTimeMs, queuedIos(pFile) + 1, rc, bWrite);
        if (op.kind != SyncKind::WRITE_ZERO)
            recordLatency(pFile, bWrite, startUsec, op.lbCount);
    }
    mosUmtRWLock_ReleaseReadLock(&pFile->closeRwLock);
    countAttempt(pFile, op.ioType, bWrite, op.lbCount, rc != MOS_RC__SUCCESS);
    if (rc != MOS_RC__SUCCESS)
        traceFailure(pFile, op, rc);
    return rc;
}

Mos_RC syncOp(File *pFile, const SyncOp &op, BOOL bReportErrors)
{
    BOOL bWrite = op.kind != SyncKind::READ;
    if (isPastEnd(pFile, op.lbOffset, op.lbCount, op.ioType, bWrite))
        return MOS_RC__PARAMETER_OUT_OF_RANGE;
    Mos_RC rc = MOS_RC__IO_HARD_ERROR;
    for (UINT32 attempt = 0; attempt < FILE__NUM_OF_IO_ATTEMPTS; attempt++) {
        UINT64 ioTimeMs = 0;
        rc = syncAttempt(pFile, op, &ioTimeMs);
        if (rc == MOS_RC__SUCCESS || rc == MOS_RC__TIMEOUT)
            return rc;
        if (ioTimeMs >= FILE__LONG_IO_LIMIT_FOR_RETRY_IN_MS)
            break;
    }
    pFile->bHasIoFailed = TRUE;
    if (bWrite || bReportErrors)
        reportDeviceError(pFile, bWrite ? FILE__DEV_ERROR_WRITE : FILE__DEV_ERROR_READ);
    return rc;
}

enum class AsyncKind { READ, WRITE_ZERO };

Mos_RC asyncOp(File *pFile, AsyncKind kind, MosAsyncIO_Req *pReq, MosAsyncObj_CK pCK, void *pBuf, UINT64 lbOffset,
               UINT32 lbCount, BOOL bLock, FileIoType ioType)
{
    BOOL bWrite = kind == AsyncKind::WRITE_ZERO;
    if (isSimulated(pFile, lbOffset)) {
        if (kind == AsyncKind::READ)
            memset(pBuf, 0, (size_t)lbCount * LB_SIZE_IN_BYTES);
        countAttempt(pFile, ioType, bWrite, lbCount, false);
        pReq->callerCK.pCK = pCK;
        pCK(&pReq->callerCK, MOS_RC__SUCCESS);
        return MOS_RC__PENDING;
    }
    if (isPastEnd(pFile, lbOffset, lbCount, ioType, bWrite))
        return MOS_RC__PARAMETER_OUT_OF_RANGE;
    for (UINT32 attempt = 0; attempt < FILE__NUM_OF_IO_ATTEMPTS; attempt++) {
        if (bLock)
            mosUmtRWLock_AcquireReadLock(&pFile->closeRwLock);
        UINT32 longIos = bWrite ? pFile->fileState.longIoWriteErrorCount : pFile->fileState.longIoReadErrorCount;
        bool bRefused = !pFile->bOpen || pFile->bHasIoFailed || longIos > 1;
        Mos_RC rc = MOS_RC__IO_HARD_ERROR;
        if (!bRefused) {
            UINT64 offset = lbOffset * LB_SIZE_IN_BYTES;
            UINT32 bytes = lbCount * LB_SIZE_IN_BYTES;
            rc = bWrite ? mosAsyncIO_WriteZeroAsync(pReq, &pFile->mosDev, pCK, offset, bytes)
                        : mosAsyncIO_ReadAsync(pReq, &pFile->mosDev, pCK, offset, pBuf, bytes);
            Exp(rc != MOS_RC__PENDING);
        }
        if (bLock)
            mosUmtRWLock_ReleaseReadLock(&pFile->closeRwLock);
        countAttempt(pFile, ioType, bWrite, lbCount, bRefused);
        if (!bRefused)
            return rc;
    }
    reportDeviceError(pFile, bWrite ? FILE__DEV_ERROR_WRITE : FILE__DEV_ERROR_READ);
    return MOS_RC__IO_HARD_ERROR;
}

// The simulated size of a name "/tmp/mos_sim_dev_%u_%u_size_%u" (the last number in GB).
void takeSimulatedSizeFromName(File *pFile, const char *pName)
{
    unsigned a = 0, b = 0, gb = 0;
    int consumed = 0;
    if (sscanf(pName, "/tmp/mos_sim_dev_%u_%u_size_%u%n", &a, &b, &gb, &consumed) == 3 && pName[consumed] == '\0')
        pFile->dbg.fileSizeInLbs = (UINT64)gb * GB_IN_LBS;
}
} // namespace

UINT64 file_NowUsec(void)
{
    FileUsecClock pClock = __atomic_load_n(&usecClock_G, __ATOMIC_ACQUIRE);
    return pClock != nullptr ? pClock() : realUsec();
}

void file_SetUsecClockForTest(FileUsecClock pClock)
{
    __atomic_store_n(&usecClock_G, pClock, __ATOMIC_RELEASE);
}

void file_SetDevHooks(const FileDevHooks *pHooks)
{
    devHooks_G = pHooks != nullptr ? *pHooks : FileDevHooks{};
}

void file_InitEx(File *pFile, Cont *pCont, ContDev *pContDev, BOOL bAlwaysEnableIo, BOOL bAppendable)
{
    Exp(pTgtSdbg_g == ((void *)0));
    memset(pFile, 0, sizeof(*pFile));
    mosUmtRWLock_Init(&pFile->closeRwLock);
    mosFastlockBase_Create(&pFile->ioErrorFastlock, TGT_CONTENTION__FILE_IO_ERROR, __FILE__, __LINE__);
    tgtBwc_Init(&pFile->readSizeBwc);
    tgtBwc_Init(&pFile->writeSizeBwc);
    tgtBwc_Init(&pFile->readLatencyBwc);
    tgtBwc_Init(&pFile->writeLatencyBwc);
    mosBWC_Create(&pFile->gapsBwc, FILE__GAPS_BWC_WINDOW_SIZE);
    pFile->dbg.sampleGrn = (UINT32)file_NowUsec();
    pFile->pCont = pCont;
    pFile->pContDev = pContDev;
    pFile->bAlwaysEnableIo = bAlwaysEnableIo;
    pFile->bAppendable = bAppendable;
    mosObjType_RegObj(&pTgtSdbg_g->fileType, &pFile->sdbgObj, pFile->name);
}

void file_Init(File *pFile, Cont *pCont, ContDev *pContDev)
{
    file_InitEx(pFile, pCont, pContDev, FALSE, FALSE);
}

void file_Destroy(File *pFile)
{
    if (pTgtSdbg_g != nullptr && mosObj_IsRegistered(&pFile->sdbgObj))
        mosObjType_UnregObj(&pTgtSdbg_g->fileType, &pFile->sdbgObj);
    mosBWC_Destroy(&pFile->gapsBwc);
    tgtBwc_Destroy(&pFile->writeLatencyBwc);
    tgtBwc_Destroy(&pFile->readLatencyBwc);
    tgtBwc_Destroy(&pFile->writeSizeBwc);
    tgtBwc_Destroy(&pFile->readSizeBwc);
    mosFastlockBase_Destroy(&pFile->ioErrorFastlock);
    mosUmtRWLock_Destroy(&pFile->closeRwLock);
    memset(pFile, 0, sizeof(*pFile));
}

Mos_RC file_OpenEx(File *pFile, const char *pPath, MosAsyncIO *pAsyncIO, BOOL bCreateFileIfNeeded,
                   BOOL bAllowPartialIO)
{
    mosUmtRWLock_AcquireWriteLock(&pFile->closeRwLock);
    file_UpdateName(pFile, pPath);
    Mos_RC rc = MOS_RC__SUCCESS;
    if (strncmp(pPath, FILE__QUILLET_DEV_PREFIX, strlen(FILE__QUILLET_DEV_PREFIX)) == 0) {
        rc = MOS_RC__ERROR;
    } else if (runtimeInUse(pFile)) {
        pFile->bMosOpenInProcess = TRUE;
        rc = mosAsyncIO_OpenFileEx(pAsyncIO, &pFile->mosDev, pPath, tgtPerfInitParam_G.maxReqPerAsyncFile,
                                   bCreateFileIfNeeded, bAllowPartialIO);
        pFile->bMosOpenInProcess = FALSE;
    }
    if (rc == MOS_RC__SUCCESS) {
        pFile->pAsyncIO = pAsyncIO;
        pFile->bOpen = TRUE;
    } else {
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, " Open error %s, %s", pPath, MOS_RC__GET_STR(rc));
    }
    mosUmtRWLock_ReleaseWriteLock(&pFile->closeRwLock);
    return rc;
}

Mos_RC file_Open(File *pFile, const char *pPath, MosAsyncIO *pAsyncIO)
{
    return file_OpenEx(pFile, pPath, pAsyncIO, FALSE, FALSE);
}

Mos_RC file_ReopenStart(File *pFile, const char *pNewPath, MosAsyncIO *pAsyncIO)
{
    mosUmtRWLock_AcquireWriteLock(&pFile->closeRwLock);
    Mos_RC rc = MOS_RC__SUCCESS;
    if (runtimeInUse(pFile)) {
        if (pFile->mosDev.pFile != nullptr)
            mosAsyncIO_CloseFile(&pFile->mosDev);
        pFile->bOpen = FALSE;
        rc = mosAsyncIO_OpenFile(pAsyncIO, &pFile->mosDev, pNewPath, tgtPerfInitParam_G.maxReqPerAsyncFile);
    }
    if (rc == MOS_RC__SUCCESS) {
        file_UpdateName(pFile, pNewPath);
        pFile->pAsyncIO = pAsyncIO;
        pFile->bOpen = TRUE;
    }
    mosUmtRWLock_ReleaseWriteLock(&pFile->closeRwLock);
    return rc;
}

Mos_RC file_ExtendAndReserveFile(File *pFile, UINT64 sizeInLbs)
{
    mosUmtRWLock_AcquireWriteLock(&pFile->closeRwLock);
    Mos_RC rc = MOS_RC__SUCCESS;
    if (runtimeInUse(pFile))
        rc = mosAsyncIO_ExtendAndReserveFile(&pFile->mosDev, sizeInLbs * LB_SIZE_IN_BYTES);
    if (rc == MOS_RC__SUCCESS && simulatedSize(pFile) < sizeInLbs)
        pFile->dbg.fileSizeInLbs = sizeInLbs;
    mosUmtRWLock_ReleaseWriteLock(&pFile->closeRwLock);
    return rc;
}

void file_Close(File *pFile)
{
    mosUmtRWLock_AcquireWriteLock(&pFile->closeRwLock);
    if (pFile->mosDev.pFile != nullptr)
        mosAsyncIO_CloseFile(&pFile->mosDev);
    pFile->bOpen = FALSE;
    mosFastlockBase_Acquire(&pFile->ioErrorFastlock);
    memset(&pFile->fileState, 0, sizeof(pFile->fileState));
    mosFastlockBase_Release(&pFile->ioErrorFastlock);
    pFile->bHasIoFailed = FALSE;
    mosUmtRWLock_ReleaseWriteLock(&pFile->closeRwLock);
}

UINT64 file_GetSize(File *pFile)
{
    if (!pFile->bOpen)
        return 0;
    if (ioEnabled(pFile) && pFile->mosDev.pFile != nullptr)
        return mosIO_GetSizeLb(&pFile->mosDev.pFile->fd);
    return simulatedSize(pFile);
}

UINT64 file_GetSizeBytes(File *pFile)
{
    return file_GetSize(pFile) * LB_SIZE_IN_BYTES;
}

Mos_RC file_GetSectorSizeInBytes(File *pFile, UINT32 *pSectorSize)
{
    if (runtimeInUse(pFile) && pFile->mosDev.pFile != nullptr)
        return mosIO_GetSectorSizeInBytes(&pFile->mosDev.pFile->fd, pSectorSize);
    *pSectorSize = LB_SIZE_IN_BYTES;
    return MOS_RC__SUCCESS;
}

void file_UpdateName(File *pFile, const char *pName)
{
    snprintf(pFile->name, sizeof(pFile->name), "%s", pName);
    memcpy(pFile->dbg.name, pFile->name, sizeof(pFile->name));
    takeSimulatedSizeFromName(pFile, pName);
}

const char *file_GetPath(File *pFile)
{
    return pFile->name;
}

void file_CopyPath(File *pFile, char *pOut)
{
    memcpy(pOut, pFile->name, FILE__NAME_LEN);
}

Mos_RC file_Read(File *pFile, void *pBuf, T10Dif *pDif, UINT64 lbOffset, UINT32 lbCount, FileIoType ioType,
                 BOOL bReportErrors, CombId combId, UINT32 offsetInComb, RdIoFlags flags)
{
    SyncOp op{SyncKind::READ, pBuf, pDif, lbOffset, lbCount, ioType, combId, offsetInComb,
              (BOOL)flags.bT10Dif, (BOOL)flags.bIgnorePrevIoErr};
    return syncOp(pFile, op, bReportErrors);
}

Mos_RC file_Write(File *pFile, const void *pBuf, UINT64 lbOffset, UINT32 lbCount, FileIoType ioType, CombId combId,
                  UINT32 offsetInComb)
{
    SyncOp op{SyncKind::WRITE, const_cast<void *>(pBuf), nullptr, lbOffset, lbCount, ioType, combId, offsetInComb,
              FALSE, FALSE};
    return syncOp(pFile, op, TRUE);
}

Mos_RC file_WriteZero(File *pFile, UINT64 lbOffset, UINT32 lbCount, FileIoType ioType, WrZeIoFlags flags)
{
    SyncOp op{SyncKind::WRITE_ZERO, nullptr, nullptr, lbOffset, lbCount, ioType, COMB_ID_INVALID, 0, FALSE,
              (BOOL)flags.bIgnorePrevIoErr};
    return syncOp(pFile, op, TRUE);
}

Mos_RC file_ReadAsync(File *pFile, MosAsyncIO_Req *pReq, MosAsyncObj_CK pCK, void *pBuf, UINT64 lbOffset,
                      UINT32 lbCount, BOOL bLock, FileIoType ioType)
{
    return asyncOp(pFile, AsyncKind::READ, pReq, pCK, pBuf, lbOffset, lbCount, bLock, ioType);
}

Mos_RC file_WriteZeroAsync(File *pFile, MosAsyncIO_Req *pReq, MosAsyncObj_CK pCK, UINT64 lbOffset, UINT32 lbCount,
                           BOOL bLock, FileIoType ioType)
{
    return asyncOp(pFile, AsyncKind::WRITE_ZERO, pReq, pCK, nullptr, lbOffset, lbCount, bLock, ioType);
}

void file_Lock(File *pFile)
{
    mosUmtRWLock_AcquireReadLock(&pFile->closeRwLock);
}

void file_UnLock(File *pFile)
{
    mosUmtRWLock_ReleaseReadLock(&pFile->closeRwLock);
}

void file_SetFileMaxInflight(File *pFile, UINT32 maxInflight)
{
    if (pFile->mosDev.pFile != nullptr)
        mosAsyncIO_SetFileMaxInflight(&pFile->mosDev, maxInflight);
}

BOOL file_IsDiskPartitioned(File *pFile)
{
    return mos_IsDiskPartitioned(pFile->name);
}

UINT32 file_GetStructSize(void)
{
    return sizeof(File);
}

Mos_RC file_DoIOSyncEx(File *pFile, UINT64 byteOffset, void *pBuf, UINT32 bytes, BOOL bWrite,
                       MosTicks_Cnt *pIoTimeInTicks)
{
    INT64 budget = mosUmt_GetTimeLimitMilliBudget();
    if (budget < 0)
        return mosAsyncIO_DoIOSyncEx(&pFile->mosDev, byteOffset, pBuf, bytes, bWrite, pIoTimeInTicks);
    if (budget == 0) {
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "Time budget exceeded on reading from %s", pFile->name);
        return MOS_RC__TIMEOUT;
    }
    return mosAsyncIO_DoIOTimedSync(&pFile->mosDev, byteOffset, pBuf, bytes, bWrite, (UINT64)budget, pIoTimeInTicks);
}

Mos_RC file_HandleIoDone(File *pFile, UINT64 ioTimeInMillis, UINT32 pending, Mos_RC rc, BOOL bWrite)
{
    OstrelTgt_FileState &st = pFile->fileState;
    if (rc == MOS_RC__SUCCESS) {
        (bWrite ? st.longIoWriteErrorCount : st.longIoReadErrorCount) = 0;
        pFile->bHasIoFailed = FALSE;
        UINT64 threshold = tgtInitParam_G.devLongSuccessfulIosTimeMs;
        MosTicks_Cnt now = mosTicks_GetCurrentTick();
        MosTicks_Cnt last = pFile->lastIoEndTick;
        if (last != 0 && ioTimeInMillis > threshold && mosTicks_IsFirstBigger(now, last)) {
            UINT64 gap = mosTicks_TicksToMillis(mosTicks_DiffInTicks(now, last));
            if (gap > threshold) {
                mosFastlockBase_Acquire(&pFile->ioErrorFastlock);
                st.gapCount++;
                st.longestGapInMillis = (UINT32)MOS_MAX((UINT64)st.longestGapInMillis, gap);
                st.updateGenNum++;
                st.lastIoTimeInMillis = (UINT32)ioTimeInMillis;
                st.inprogressIosCount = queuedIos(pFile);
                mosBWC_EventOccurrence(&pFile->gapsBwc, (UINT32)gap, 1);
                mosFastlockBase_Release(&pFile->ioErrorFastlock);
            }
        }
        pFile->lastIoEndTick = now;
        if ((UINT64)pending * threshold < ioTimeInMillis && pFile->pContDev != nullptr &&
            devHooks_G.pLongSuccessfulIoOscOccurrence != nullptr)
            devHooks_G.pLongSuccessfulIoOscOccurrence(pFile->pContDev);
        return MOS_RC__SUCCESS;
    }
    bool bLong = ioTimeInMillis > FILE__LONG_IO_THRESHOLD_IN_MS;
    mosFastlockBase_Acquire(&pFile->ioErrorFastlock);
    if (bLong) {
        (bWrite ? st.longIoWriteErrorCount : st.longIoReadErrorCount)++;
        MOS_TRACE(MOS_COMP_TGT_PHY, MOS_FREQ_LOW, "Long IO. w: #%u R: %u detected (%lu ms)", st.longIoWriteErrorCount,
                  st.longIoReadErrorCount, (unsigned long)ioTimeInMillis);
    }
    (bWrite ? st.ioWriteErrorCount : st.ioReadErrorCount)++;
    mosFastlockBase_Release(&pFile->ioErrorFastlock);
    if (bLong && pFile->pContDev != nullptr && devHooks_G.pLongIoOscOccurrence != nullptr)
        devHooks_G.pLongIoOscOccurrence(pFile->pContDev);
    return MOS_RC__IO_HARD_ERROR;
}

BOOL file_GetFileState(File *pFile, OstrelTgt_FileState *pState, UINT64 *pMillis)
{
    UINT64 longestPending = pFile->mosDev.pFile != nullptr ? mosAsyncIo_GetLongestPendingIo(&pFile->mosDev) : 0;
    MosTicks_Cnt now = mosTicks_GetCurrentTick();
    UINT64 pendingGap = 0;
    MosBWC_QueryWindow gaps{};
    mosFastlockBase_Acquire(&pFile->ioErrorFastlock);
    *pState = pFile->fileState;
    if (queuedIos(pFile) > 0 && pFile->lastIoEndTick != 0 && mosTicks_IsFirstBigger(now, pFile->lastIoEndTick))
        pendingGap = mosTicks_TicksToMillis(mosTicks_DiffInTicks(now, pFile->lastIoEndTick));
    mosBWC_GetLastWindow(&pFile->gapsBwc, &gaps);
    mosFastlockBase_Release(&pFile->ioErrorFastlock);
    pState->pendingGapInMillis = (UINT32)MOS_MIN(pendingGap, (UINT64)0xFFFFFFFFu);
    pState->longestPendingIosInMillis = (UINT32)MOS_MIN(longestPending, (UINT64)0xFFFFFFFFu);
    pState->bSlowDiskAlert = gaps.numOccured >= tgtInitParam_G.devLongSuccessfulGapToNotify;
    pState->lastGapWindow = gaps;

    const TgtConfParam &c = tgtInitParam_G;
    bool bNotify = pState->longestGapInMillis != 0 || pendingGap >= c.devLongSuccessfulIosTimeMs ||
                   pendingGap >= c.devInflightLongIosLowThreas || pendingGap >= c.devInflightLongIosHighThreas;
    UINT64 millis = pendingGap;
    if (c.bTreatLongIoAsGap && longestPending > c.devLongIoToGapThreshold) {
        bNotify = true;
        millis = MOS_MAX(millis, longestPending);
    }
    if (bNotify)
        *pMillis = millis;
    return bNotify ? TRUE : FALSE;
}

void file_ClearDeviceStateGapCounters(File *pFile, UINT64 genNum, BOOL bForce)
{
    mosFastlockBase_Acquire(&pFile->ioErrorFastlock);
    if (bForce || genNum == pFile->fileState.updateGenNum) {
        pFile->fileState.longestGapInMillis = 0;
        pFile->fileState.inprogressIosCount = 0;
        pFile->fileState.lastIoTimeInMillis = 0;
    }
    mosFastlockBase_Release(&pFile->ioErrorFastlock);
}

DevType file_GetDeviceType(File *pFile, void *pBuf, UINT32 bufferSizeInLbs)
{
    constexpr UINT32 kMaxReads = 50;
    constexpr UINT32 kRunToDecide = 6;
    constexpr UINT64 kFastUsec = 500;
    constexpr UINT64 kSlowUsec = 5000;
    Exp(bufferSizeInLbs < 8 || bufferSizeInLbs > 64);
    UINT64 offsetRange = file_GetSize(pFile);
    Exp(bufferSizeInLbs > offsetRange);
    offsetRange -= bufferSizeInLbs - 1;
    UINT32 fastRun = 0;
    UINT32 slowRun = 0;
    DevType type = DEV_TYPE__NONE;
    // Each read takes the read side of the close lock itself: holding it across the loop as well
    // would let a waiting close deadlock the second acquisition.
    for (UINT32 i = 0; i < kMaxReads; i++) {
        UINT64 r = (UINT64)lrand48() & 0xFFFFFFFFull;
        UINT64 offset = (r * offsetRange) >> 31;
        UINT64 start = file_NowUsec();
        Mos_RC rc = file_Read(pFile, pBuf, nullptr, offset, bufferSizeInLbs, FILE_IO_TYPE__GENERAL, TRUE,
                              COMB_ID_INVALID, 0, RdIoFlags{0});
        if (rc != MOS_RC__SUCCESS)
            break;
        UINT64 end = file_NowUsec();
        UINT64 usec = end > start ? end - start : 0;
        if (usec < kFastUsec) {
            fastRun++;
            slowRun = 0;
        } else if (usec > kSlowUsec) {
            slowRun++;
            fastRun = 0;
        }
        if (fastRun == kRunToDecide) {
            type = DEV_TYPE__DATA_FLASH;
            break;
        }
        if (slowRun == kRunToDecide) {
            type = DEV_TYPE__DATA_SPINDLE;
            break;
        }
    }
    return type;
}

void file_Query(MosObj *pObj, const CHAR_A *pName, void *pData)
{
    (void)pName;
    File *pFile = MOS_CONTAINER_OF(pObj, File, sdbgObj);
    FileQuery *pQuery = static_cast<FileQuery *>(pData);
    tgtBwc_GetLastWindow(&pFile->readSizeBwc, &pQuery->readSizeBwc);
    tgtBwc_GetLastWindow(&pFile->writeSizeBwc, &pQuery->writeSizeBwc);
    tgtBwc_GetLastWindow(&pFile->readLatencyBwc, &pQuery->readLatencyBwc);
    tgtBwc_GetLastWindow(&pFile->writeLatencyBwc, &pQuery->writeLatencyBwc);
    memcpy(&pQuery->raw, &pFile->dbg, sizeof(pFile->dbg));
}
