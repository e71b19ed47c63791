// Size-limited files that rotate through a fixed number of generations ("<dir>/<prefix>.<g>",
// generation 0 the current one). A file is written either synchronously (each line straight to
// the file under the layer's lock) or asynchronously: a line is formatted into a ring in memory
// under a short lock and one shared dump thread writes the rings out. An asynchronous writer
// never waits for the disk: when its ring is full the line is counted as lost and the count is
// written with the next dump.
#pragma once

#include <cstdarg>
#include <cstdio>

#include "mos/mos_dlist.h"
#include "mos/mos_rc.h"
#include "mos/mos_types.h"
#include "mos/usr/linux/mos_condvar.h"

// One line of an asynchronous file takes at most this many bytes of its ring.
#define MOS_CYCLIC_FILE__SLICE_SIZE 512u
// "dd/mm hh:mm:ss.uuuuuu "
#define MOS_CYCLIC_FILE__TIME_STAMP_SIZE 22u
#define MOS_CYCLIC_FILE__MAX_PREFIX_LEN 32u
#define MOS_CYCLIC_FILE__MAX_NAME_LEN 256u
#define MOS_CYCLIC_FILE__DEFAULT_SLEEP_MILLI 1000u
#define MOS_CYCLIC_FILE__DEFAULT_DUMP_PERCENT 10u
#define MOS_CYCLIC_FILE__DEFAULT_BUF_SIZE 5242880u

struct MosOsw_CondVar;

struct MosCyclicFile_Async {
    MosDList_Node node;
    UINT64 startTick;
    MosOsw_CondVar *pWaitForDump;
    char *pLogBuffer;
    UINT32 dumpOnPercent;
    UINT32 thrdSleepMilli;
    char *pBufUsedNow;
    UINT32 bufUsedSize;
    UINT32 logBufSize;
    UINT32 startOffset;
    UINT32 endOffset;
    UINT32 lostTraces;
    BOOL bBusy;
    BOOL bDie;
    // Counts dump requests: a waiter registered again at the same address is still a new one.
    UINT32 dumpWaitSeq;
};

struct MosCyclicFile {
    MosCyclicFile_Async async;
    FILE *pFile;
    char namePrefix[MOS_CYCLIC_FILE__MAX_PREFIX_LEN + 1];
    const char *pDirName;
    UINT32 maxFileSize;
    UINT32 history;
    BOOL bAsync;
    BOOL bRecycleInProgress;
    // A reopen during rotation failed: the next rotation or write tries again.
    BOOL bReopenPending;
    char dirName[MOS_CYCLIC_FILE__MAX_NAME_LEN];
};

struct MosCyclicFile_InitParams {
    BOOL bUseFile;
    BOOL bAsync;
    const char *pDir;
    const char *pPrefix;
    UINT32 history;
    UINT32 maxFileSize;
    UINT32 dumpOnPercent;
    UINT32 thrdSleepMilli;
    UINT32 logBufSize;
};

Mos_RC mosCyclicFileLayer_Create(void);
void mosCyclicFileLayer_Destroy(void);
// TRUE on the dump thread and on a thread that holds the layer's lock.
BOOL mosCyclicFileLayer_ThrdBelongs(void);

Mos_RC mosCyclicFile_Create(MosCyclicFile *pCyclicFile, const MosCyclicFile_InitParams *pInitParams);
void mosCyclicFile_Destroy(MosCyclicFile *pCyclicFile);

void mosCyclicFile_WriteFormatted(MosCyclicFile *pCyclicFile, BOOL bWriteTime, BOOL bRotate, BOOL bParamList,
                                  va_list *pParamList, const char *pFormat, ...)
    __attribute__((format(printf, 6, 7)));
void mosCyclicFile_WriteRaw(MosCyclicFile *pCyclicFile, const void *pBuf, UINT32 bufSize, BOOL bWriteHeader,
                            BOOL bRotate);
void mosCyclicFile_WriteFormattedSync(MosCyclicFile *pCyclicFile, BOOL bAcquireLock, BOOL bWriteTime, BOOL bRotate,
                                      const char *pFormat, va_list *pParamList);
void mosCyclicFile_WriteFormattedSyncVariadic(MosCyclicFile *pCyclicFile, BOOL bAcquireLock, BOOL bWriteTime,
                                              BOOL bRotate, const char *pFormat, ...)
    __attribute__((format(printf, 5, 6)));
// Writes the line straight to the file (waiting for the disk), after every line that the ring
// holds, so that a full ring can neither drop it nor let it overtake older lines: for the few
// lines that say why the process ends. Takes the layer's lock.
void mosCyclicFile_WriteFormattedThrough(MosCyclicFile *pCyclicFile, BOOL bWriteTime, const char *pFormat,
                                         va_list *pParamList);
// Writes out the ring now and waits for it at most millisToWait (0: without limit).
void mosCyclicFile_DumpAllNow(MosCyclicFile *pCyclicFile, UINT32 millisToWait);
// From now on every write and dump request returns at once (the panic path).
void mosCyclicFile_BlockAllIO(void);
BOOL mosCyclicFile_IsIOBlocked(void);

// "dd/mm hh:mm:ss.uuuuuu " of now, local time; pBuf holds at least 23 characters.
UINT32 mosCyclicFile_FormatTimeStamp(char *pBuf, UINT32 bufSize);
