// Asynchronous I/O: every device transfer of the storage server goes through the kernel's
// asynchronous I/O. A context (one kernel context and its reaper threads) holds open files; a
// request names a file, buffer, byte offset, size and direction and a completion callback.
// Submission never blocks: a request beyond the file's or the context's limit of requests in
// flight waits in a FIFO queue and is submitted when an earlier request completes. Reaper
// threads collect completions and call each callback on the reaper thread, with no lock held.
//
// On top of it, blocking forms for user-mode threads: one transfer, a bulk waited for together,
// a transfer with a time budget (which never lets the kernel touch the caller's buffer once it
// has given up), and zero writes of any length.
#pragma once

#include "mos/mos_dlist.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_obj.h"
#include "mos/mos_osthrd.h"
#include "mos/mos_rc.h"
#include "mos/mos_ticks.h"
#include "mos/mos_types.h"
#include "mos/umt/mos_umt_semaphore.h"
#include "mos/usr/linux/mos_async_io.h"
#include "mos/usr/mos_io.h"

#define MOS_ASYNC_IO__DEFAULT_FILE_MAX_INFLIGHTS 100u
// Completions a reaper takes per call, and control blocks it submits per call.
#define MOS_ASYNC_IO__REAPER_BATCH 20u
#define MOS_ASYNC_IO__REAPER_WAIT_SECONDS 1
// A time limit of all ones for the timed zero write: no limit.
#define MOS_ASYNC_IO__NO_TIME_LIMIT 0xFFFFFFFFFFFFFFFFull

// Start parameters of the layer (configuration keys dbg_io_timeout_enable, dbg_io_good_ios,
// dbg_io_timeout_millis): after deltaGoodIos synchronous operations, every later one fails
// after millisTimeout milliseconds without doing any I/O.
struct MosAsyncIO_InitParams {
    BOOL bDebugTimeouts;
    UINT32 deltaGoodIos;
    UINT32 millisTimeout;
};

// Allocator of the timed operations' private memory, in logical blocks of 512 bytes.
typedef void *(*MosAsyncIO_MemAllocFunc)(void *pMemPool, UINT32 sizeInLb);
typedef void (*MosAsyncIO_MemFreeFunc)(void *pMemPool, void *pMem, UINT32 sizeInLb);

struct MosAsyncIO_File;
struct MosAsyncIO_Req;
struct MosAsyncIO_Submitter;

// The context's admission state.
struct MosAsyncIO_OS {
    MosFastlock_Base lock;
    MosAsyncObj_Anchor waiters; // requests waiting for a context slot, FIFO
    MosAsyncIO_OsPort osPort;
    BOOL bNativeAsync;
    const MosAsyncIO_Backend *pBackend;
};

// The file's admission state.
struct MosAsyncIO_FileOS {
    MosFastlock_Base lock;
    MosAsyncObj_Anchor waiters;  // requests waiting for a file slot, FIFO
    MosDList_Anchor submitted;   // requests handed to the kernel, oldest first
    MosAsyncIO_Submitter *pSubmitter;
    // Transfers whose waiter gave up on them (time budget spent) and whose completion has not
    // come yet. The writes among them fence their byte ranges: a request that overlaps one of
    // them, or a request already held back, waits in `fenced` until the late write has landed,
    // so that a retry can never be overtaken by the stale write it replaces.
    MosDList_Anchor lateWrites;
    MosAsyncObj_Anchor fenced;
    UINT32 lateIos;      // given-up transfers still in flight
    UINT64 lateIosTotal; // given-up transfers since the open
};

// The context; owned by its creator.
struct MosAsyncIO {
    MosAsyncIO_OS os;
    MosObj obj;
    MosOsThrd *pReapers; // thrdNum reaper threads
    MosDList_Anchor files;
    MosFastlock_Base fileListLock;
    void *memPool;
    MosAsyncIO_MemAllocFunc memAllocFunc;
    MosAsyncIO_MemFreeFunc memFreeFunc;
    UINT32 inflights;    // requests handed to the kernel
    UINT32 maxInflights; // the context's limit (its maxReq)
    UINT32 thrdNum;
    UINT32 krnLowRsrc; // submissions the kernel refused for lack of resources
    BOOL bDie; // read by the reapers without the lock (atomic access)
};

// One open file; allocated by the layer.
struct MosAsyncIO_File {
    MosAsyncIO *pAsyncIO;
    MosDList_Node asyncIONode;
    MosAsyncIO_FileOS os;
    MosObj obj;
    MosIO fd;
    MosFastlock_Base timedIoLock; // decides the race between a time-out and a late completion
    UINT32 inflights;             // requests between admission and completion
    UINT32 maxInflights;
    BOOL bAllowPartialIO; // a short transfer counts as success
    // The four below are read and written with atomic access.
    MosTicks_Cnt fileOpenStartTick; // set while the open runs, else 0
    BOOL bSkipLongIoValidation;
    BOOL bClosing;
    UINT32 refCount; // 1 for the opener + 1 per request from submission to callback end
    char *pPath;
};

// The caller's handle of an open file.
struct MosAsyncIO_FileHandle {
    MosAsyncIO_File *pFile;
};
typedef MosAsyncIO_FileHandle mosAsyncIO_FileHandle;

// The caller's request; it must stay valid until its callback has run. The callback receives
// &callerCK and MOS_RC__SUCCESS or MOS_RC__ERROR (as mosAsyncIOReq_IsSuccess would judge).
struct MosAsyncIO_Req {
    MosAsyncObj callerCK;
    MosAsyncIO_OsReq req;
    MosAsyncIO_File *pFile;
    int osRC;       // 0, or the error number of a failed transfer
    UINT32 bytesIO; // bytes transferred
    MosTicks_Cnt ioSubmitedTick; // 0: not submitted
    MosTicks_Cnt ioTimeInTicks;  // set by the synchronous completions
    UINT64 magic;                // the caller's; not used here
};

struct MosMit;
struct MosAsyncIOReq_Mit {
    MosAsyncIO_Req req;
    MosMit *pMit;
};

// A request that raises a uthread semaphore when it completes.
struct MosAsyncIOReq_Sync {
    MosAsyncIO_Req req;
    MosUmt_Sem *pSem;
};

// One element of a bulk, filled by the caller.
struct MosAsyncIO_BulkReq {
    MosAsyncIO_File *pFile;
    UINT64 offset; // bytes
    void *pBuf;
    UINT32 size; // bytes
    BOOL bWrite;
    MosAsyncIOReq_Sync syncReq;
};

struct MosAsyncIO_FileEnumContext {
    MosDList_Node *pAsyncIoFileNode; // the next file to give, null at the end
    MosAsyncIO *pAsyncIO;
};

#pragma pack(push, 1)
struct MosAsyncIO_Query {
    UINT32 bDie;
    UINT32 inflights;
    UINT32 maxInflights;
    UINT32 waiters;
    UINT32 thrdNum;
    UINT32 krnLowRsrc;
};
struct MosAsyncIOFile_Query {
    UINT32 inflights;
    UINT32 maxInflights;
    UINT32 waiters;
};
#pragma pack(pop)
static_assert(sizeof(MosAsyncIO_Query) == 24, "context query record");
static_assert(offsetof(MosAsyncIO_Query, krnLowRsrc) == 20, "context query record");
static_assert(sizeof(MosAsyncIOFile_Query) == 12, "file query record");
static_assert(offsetof(MosAsyncIOFile_Query, waiters) == 8, "file query record");

// Layer.
Mos_RC mosAsyncIOLayer_Create(const MosAsyncIO_InitParams *pInitParams);
void mosAsyncIOLayer_Destroy(void);

// Contexts.
Mos_RC mosAsyncIO_Create(MosAsyncIO *pAsyncIO, UINT32 maxReq, UINT32 maxThrds, BOOL bNativeAsync);
// As mosAsyncIO_Create over another backend than the kernel's (tests).
Mos_RC mosAsyncIO_CreateWithBackend(MosAsyncIO *pAsyncIO, UINT32 maxReq, UINT32 maxThrds, BOOL bNativeAsync,
                                    const MosAsyncIO_Backend *pBackend);
void mosAsyncIO_Destroy(MosAsyncIO *pAsyncIO);
Mos_RC mosAsyncIO_RaiseThrdsPrio(MosAsyncIO *pAsyncIO);
// Binds reaper i to the i-th set CPU of the mask (bit c mod 8 of byte c / 8), cycling.
Mos_RC mosAsyncIO_BindToCpus(MosAsyncIO *pAsyncIO, const UINT8 *pBitMask, UINT32 bitNum);
UINT32 mosAsyncIO_WaitersNum(MosAsyncIO *pAsyncIO);

// Files.
Mos_RC mosAsyncIO_OpenFileEx(MosAsyncIO *pAsyncIO, MosAsyncIO_FileHandle *pFileHandle, const char *pFileName,
                             UINT32 maxInflight, BOOL bCreateFileIfNeeded, BOOL bAllowPartialIO);
Mos_RC mosAsyncIO_OpenFile(MosAsyncIO *pAsyncIO, MosAsyncIO_FileHandle *pFile, const char *pFileName,
                           UINT32 maxInflight);
// Drops the opener's reference and clears the handle; the file closes when the last request
// holding it has completed.
void mosAsyncIO_CloseFile(MosAsyncIO_FileHandle *pFileHandle);
Mos_RC mosAsyncIO_ExtendAndReserveFile(MosAsyncIO_FileHandle *pFileHandle, UINT64 size);
Mos_RC mosAsyncIO_Flush(MosAsyncIO_FileHandle *pFileHandle);
void mosAsyncIO_SetFileMaxInflight(MosAsyncIO_FileHandle *pFileHandle, UINT32 maxInFlight);
UINT32 mosAsyncIOFile_InflightsNum(MosAsyncIO_FileHandle *pFileHandle);
// Requests queued at the file, including those held back behind a late write.
UINT32 mosAsyncIOFile_WaitersNum(MosAsyncIO_FileHandle *pFileHandle);
// Timed transfers given up on whose completion has not come yet, and all given up since open.
UINT32 mosAsyncIOFile_LateIosNum(MosAsyncIO_FileHandle *pFileHandle);
UINT64 mosAsyncIOFile_LateIosTotal(MosAsyncIO_FileHandle *pFileHandle);
const char *mosAsyncIOFile_GetPath(MosAsyncIO_FileHandle *pFileHandle);
void mosAsyncIOFile_SetSkipLongIoValidation(MosAsyncIO_FileHandle *pFileHandle, BOOL bSkip);
BOOL mosAsyncIOFile_ShouldSkipLongIoValidation(MosAsyncIO_FileHandle *pFileHandle);

Mos_RC mos_StartAsyncIOFileEnum(MosAsyncIO_FileEnumContext *pEnumContext, MosAsyncIO *pAsyncIO);
Mos_RC mos_GetNextAsyncIOFile(MosAsyncIO_FileEnumContext *pEnumContext, MosAsyncIO_FileHandle *pFileHandle);
void mos_FinishAsyncIOFileEnum(MosAsyncIO_FileEnumContext *pEnumContext);
// Milliseconds since the oldest request of the file in the kernel was submitted (or since its
// open started, while it runs and when longer); 0 when idle.
UINT64 mosAsyncIo_GetLongestPendingIo(MosAsyncIO_FileHandle *pAsyncIosHandle);

// Requests.
void mosAsyncIOReq_Init(MosAsyncIO_Req *pReq, MosAsyncIO_File *pFile, MosAsyncObj_CK pCK, void *pBuf, UINT64 offset,
                        UINT32 size, BOOL bWrite);
// As mosAsyncIOReq_Init for a micro-task: the completion resumes pMit with MOS_RC__SUCCESS or
// MOS_RC__ERROR through its scheduler.
void mosAsyncIO_InitMitReq(MosMit *pMit, MosAsyncIOReq_Mit *pReq, MosAsyncIO_File *pFile, void *pBuf, UINT64 offset,
                           UINT32 size, BOOL bWrite);
void mosAsyncIO_MitCK(MosAsyncObj *pObj, INT32 rc);
// Always MOS_RC__PENDING; the callback reports the result. A range ending beyond 2^63 - 1 bytes
// completes at once, on the caller's thread, with MOS_RC__INVALID_ARG (osRC EINVAL).
Mos_RC mosAsyncIO_DoIO(MosAsyncIO_Req *pReq);
Mos_RC mosAsyncIO_ReadAsync(MosAsyncIO_Req *pReq, MosAsyncIO_FileHandle *pFileHandle, MosAsyncObj_CK pCK,
                            UINT64 offset, void *pBuf, UINT32 size);
Mos_RC mosAsyncIO_WriteZeroAsync(MosAsyncIO_Req *pReq, MosAsyncIO_FileHandle *pFileHandle, MosAsyncObj_CK pCK,
                                 UINT64 offset, UINT32 size);
BOOL mosAsyncIOReq_IsSuccess(MosAsyncIO_Req *pReq);

// Synchronous and timed transfers; they run on a user-mode thread.
Mos_RC mosAsyncIO_DoIOSyncBulk(MosAsyncIO_BulkReq *pBulkReq, UINT32 numBulkReqs);
Mos_RC mosAsyncIO_DoIOSync(MosAsyncIO_FileHandle *pFileHandle, UINT64 offset, void *pBuf, UINT32 size, BOOL bWrite);
Mos_RC mosAsyncIO_DoIOSyncEx(MosAsyncIO_FileHandle *pFileHandle, UINT64 offset, void *pBuf, UINT32 size, BOOL bWrite,
                             MosTicks_Cnt *pIoTimeInTicks);
// Gives up after timeLimitInMillis: MOS_RC__ERROR with the time equal to the limit. The transfer
// runs through private memory, so the caller's buffer is never touched after the return; a
// given-up write keeps its range fenced until it has landed.
Mos_RC mosAsyncIO_DoIOTimedSync(MosAsyncIO_FileHandle *pFileHandle, UINT64 offset, void *pBuf, UINT32 size,
                                BOOL bWrite, UINT64 timeLimitInMillis, MosTicks_Cnt *pIoTimeInTicks);
Mos_RC mosAsyncIO_WriteZeroSync(MosAsyncIO_FileHandle *pFileHandle, UINT64 offset, UINT64 size,
                                MosTicks_Cnt *pIoTimeInTicks);
Mos_RC mosAsyncIO_WriteZeroTimedSync(MosAsyncIO_FileHandle *pFileHandle, UINT64 offset, UINT64 size,
                                     UINT64 timeLimitInMillis, MosTicks_Cnt *pIoTimeInTicks);

// Completions of the synchronous forms.
void mosAsyncIO_SyncCK(MosAsyncObj *pObj, INT32 rc);
void mosAsyncIO_TimedSyncCK(MosAsyncObj *pObj, INT32 rc);
