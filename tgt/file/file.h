// The device file: the storage server's handle on one block device or preallocated file, over
// the runtime's asynchronous I/O. Every synchronous device read or write of the physical layer
// passes file_Read, file_Write or file_WriteZero; the asynchronous forms serve the comb-array
// hardening, device tests and metadata writes.
//
// Contract:
// - A File embeds the runtime's file handle as its first member and may be passed wherever the
//   runtime wants one.
// - Open, reopen, extend and close take the write side of closeRwLock; every I/O holds the read
//   side for its duration, so close waits for running I/O and blocks new I/O.
// - A synchronous operation makes up to two attempts; an attempt that took 25 s or more is not
//   repeated. After the last failed attempt the file is marked failed (bHasIoFailed) and the
//   device object is told (write always, read when asked). A failed file, or one with two long
//   (over 5 s) failed I/Os, refuses I/O with MOS_RC__IO_HARD_ERROR until a successful I/O (a read
//   or zero write with bIgnorePrevIoErr) or a close clears the state.
// - An exhausted time budget of the calling user-mode thread answers MOS_RC__TIMEOUT without I/O:
//   it is the caller's deadline, not the device's fault, so it neither marks the file failed nor
//   reports the device.
// - An I/O beyond the file's end is refused with MOS_RC__PARAMETER_OUT_OF_RANGE, counted as an
//   error and reported to the device object; it never reaches the device.
// - With device I/O switched off (tgt_dev__io_enabled off and bAlwaysEnableIo off) only metadata
//   I/O below TGT_FILE__SIM_REAL_VOL_SIZE is real, and only with tgt_dev__io_enabled_md on; all
//   else is simulated: reads give zeros, writes succeed, asynchronous forms complete at once.
// - Calls up to the device objects go through the hooks registered with file_SetDevHooks; with
//   none registered, or a file without a device object, nothing is reported.
#pragma once

#include "mos/mos_bwc.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_obj.h"
#include "mos/mos_ticks.h"
#include "mos/mos_t10dif.h"
#include "mos/umt/mos_umt_rwlock.h"
#include "mos/usr/mos_async_io.h"
#include "tgt/phy/phy_io_flags.h"
#include "tgt/phy/phy_layout.h"
#include "tgt/phy/tgt_bwc.h"

#define FILE__LONG_IO_THRESHOLD_IN_MS 5000u
#define FILE__LONG_IO_LIMIT_FOR_RETRY_IN_MS (5u * FILE__LONG_IO_THRESHOLD_IN_MS)
#define FILE__NUM_OF_IO_ATTEMPTS 2u
#define FILE__NUM_OF_LONG_IO_ERROR_TO_DEV_ERROR 2u
#define TGT_FILE__SIM_REAL_VOL_SIZE 430080ull
#define FILE__NAME_LEN 64u
#define FILE__GAPS_BWC_WINDOW_SIZE 30u
// The Quillet block driver's device nodes; a device file never opens one.
#define FILE__QUILLET_DEV_PREFIX "/dev/qulet"
// Bits of a device error report.
#define FILE__DEV_ERROR_READ 1u
#define FILE__DEV_ERROR_WRITE 2u

enum FileIoType : UINT32 {
    FILE_IO_TYPE__GENERAL = 0,
    FILE_IO_TYPE__BM = 1,
    FILE_IO_TYPE__COMB_MAP = 2,
    FILE_IO_TYPE__TOOTH_MAP = 3,
    FILE_IO_TYPE__IO = 4,
    FILE_IO_TYPE__COUNT = 5,
};

struct FileIoCounters {
    UINT64 writes;
    UINT64 reads;
    UINT64 writeErrors;
    UINT64 readErrors;
    UINT64 writeDataInLbs;
    UINT64 readDataInLbs;
};
static_assert(sizeof(FileIoCounters) == 48);

struct FileQueryRaw {
    FileIoCounters ioCounters[FILE_IO_TYPE__COUNT];
    UINT64 fileSizeInLbs; // the simulated size
    char name[FILE__NAME_LEN];
    UINT32 sampleGrn;
};

struct FileQuery {
    MosBWC_QueryWindow readSizeBwc;
    MosBWC_QueryWindow writeSizeBwc;
    MosBWC_QueryWindow readLatencyBwc;
    MosBWC_QueryWindow writeLatencyBwc;
    FileQueryRaw raw;
};
static_assert(sizeof(FileQuery) == 400);

// The device-state record of the Ostrel's notification.
#pragma pack(push, 1)
struct OstrelTgt_FileState {
    UINT64 updateGenNum;
    UINT32 longestGapInMillis;
    UINT32 pendingGapInMillis;
    UINT32 longestPendingIosInMillis;
    UINT32 gapCount;
    UINT32 inprogressIosCount;
    UINT32 lastIoTimeInMillis;
    UINT32 longIoReadErrorCount;
    UINT32 longIoWriteErrorCount;
    UINT32 ioReadErrorCount;
    UINT32 ioWriteErrorCount;
    UINT32 bReadError;
    UINT32 bWriteError;
    UINT32 bSlowDiskAlert;
    MosBWC_QueryWindow lastGapWindow;
};
#pragma pack(pop)
static_assert(sizeof(OstrelTgt_FileState) == 80);
static_assert(offsetof(OstrelTgt_FileState, gapCount) == 20);
static_assert(offsetof(OstrelTgt_FileState, ioWriteErrorCount) == 44);
static_assert(offsetof(OstrelTgt_FileState, bSlowDiskAlert) == 56);
static_assert(offsetof(OstrelTgt_FileState, lastGapWindow) == 60);

struct Cont;
struct ContDev;

// The device objects' side, registered by the controller at start-up.
struct FileDevHooks {
    // Records errors (FILE__DEV_ERROR_*) on the device and reports new ones.
    Mos_RC (*pUpdateDeviceError)(ContDev *pDev, Cont *pCont, UINT32 flags);
    void (*pLongSuccessfulIoOscOccurrence)(ContDev *pDev);
    void (*pLongIoOscOccurrence)(ContDev *pDev);
};

struct File {
    MosAsyncIO_FileHandle mosDev; // first: a File is the runtime's file handle
    MosAsyncIO *pAsyncIO;
    MosUmt_RWLock closeRwLock;
    MosFastlock_Base ioErrorFastlock;
    FileQueryRaw dbg;
    MosObj sdbgObj;
    BOOL bOpen;
    BOOL bMosOpenInProcess;
    OstrelTgt_FileState fileState;
    BOOL bHasIoFailed;
    TgtBwc readSizeBwc;
    TgtBwc writeSizeBwc;
    TgtBwc readLatencyBwc;
    TgtBwc writeLatencyBwc;
    Cont *pCont;
    ContDev *pContDev;
    BOOL bAlwaysEnableIo;
    BOOL bAppendable;
    MosTicks_Cnt lastIoEndTick;
    MosBWC_Counter gapsBwc; // under ioErrorFastlock
    char name[FILE__NAME_LEN];
};
static_assert(offsetof(File, mosDev) == 0);

void file_SetDevHooks(const FileDevHooks *pHooks);

void file_InitEx(File *pFile, Cont *pCont, ContDev *pContDev, BOOL bAlwaysEnableIo, BOOL bAppendable);
void file_Init(File *pFile, Cont *pCont, ContDev *pContDev);
void file_Destroy(File *pFile);

Mos_RC file_OpenEx(File *pFile, const char *pPath, MosAsyncIO *pAsyncIO, BOOL bCreateFileIfNeeded,
                   BOOL bAllowPartialIO);
Mos_RC file_Open(File *pFile, const char *pPath, MosAsyncIO *pAsyncIO);
Mos_RC file_ReopenStart(File *pFile, const char *pNewPath, MosAsyncIO *pAsyncIO);
Mos_RC file_ExtendAndReserveFile(File *pFile, UINT64 sizeInLbs);
void file_Close(File *pFile);

UINT64 file_GetSize(File *pFile);
UINT64 file_GetSizeBytes(File *pFile);
Mos_RC file_GetSectorSizeInBytes(File *pFile, UINT32 *pSectorSize);
void file_UpdateName(File *pFile, const char *pName);
const char *file_GetPath(File *pFile);
void file_CopyPath(File *pFile, char *pOut);

Mos_RC file_Read(File *pFile, void *pBuf, T10Dif *pDif, UINT64 lbOffset, UINT32 lbCount, FileIoType ioType,
                 BOOL bReportErrors, CombId combId, UINT32 offsetInComb, RdIoFlags flags);
Mos_RC file_Write(File *pFile, const void *pBuf, UINT64 lbOffset, UINT32 lbCount, FileIoType ioType, CombId combId,
                  UINT32 offsetInComb);
Mos_RC file_WriteZero(File *pFile, UINT64 lbOffset, UINT32 lbCount, FileIoType ioType, WrZeIoFlags flags);
// MOS_RC__PENDING: the callback runs (at once when simulated). Completion bookkeeping is the
// caller's. With bLock off the caller holds file_Lock around its series of I/Os.
Mos_RC file_ReadAsync(File *pFile, MosAsyncIO_Req *pReq, MosAsyncObj_CK pCK, void *pBuf, UINT64 lbOffset,
                      UINT32 lbCount, BOOL bLock, FileIoType ioType);
Mos_RC file_WriteZeroAsync(File *pFile, MosAsyncIO_Req *pReq, MosAsyncObj_CK pCK, UINT64 lbOffset, UINT32 lbCount,
                           BOOL bLock, FileIoType ioType);
void file_Lock(File *pFile);
void file_UnLock(File *pFile);
void file_SetFileMaxInflight(File *pFile, UINT32 maxInflight);
BOOL file_IsDiskPartitioned(File *pFile);
UINT32 file_GetStructSize(void);

// Copies the error state; TRUE when the Ostrel should be told, with the milliseconds to report.
BOOL file_GetFileState(File *pFile, OstrelTgt_FileState *pState, UINT64 *pMillis);
void file_ClearDeviceStateGapCounters(File *pFile, UINT64 genNum, BOOL bForce);
// DEV_TYPE__DATA_FLASH, DEV_TYPE__DATA_SPINDLE or DEV_TYPE__NONE by timing random reads of
// bufferSizeInLbs (8 to 64) into pBuf.
DevType file_GetDeviceType(File *pFile, void *pBuf, UINT32 bufferSizeInLbs);

void file_Query(MosObj *pObj, const CHAR_A *pName, void *pData);
