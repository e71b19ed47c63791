#include "mos/mos_cyclic_file.h"

#include <pthread.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>
#include <ctime>
#include <new>

#include "mos/mos_assert.h"
#include "mos/mos_fastlock.h"
#include "mos/mos_osthrd.h"
#include "mos/mos_ticks.h"

namespace {

struct MosCyclicFileLayer {
    MosOsThrd asyncThrd;
    MosFastlock_Base lock;
    MosOsw_CondVar cond;
    MosDList_Anchor asyncFiles;
    UINT32 thrdSleepMillis;
    BOOL bBusy;
    BOOL bDie;
    volatile BOOL bIoIsBlocked;
    BOOL bInit;
};

MosCyclicFileLayer cyclicFileLayer_G;

constexpr MosContentionId kCyclicFileLockId = 0;
// Room for any generation name; creation makes sure the real names stay within 256 characters.
constexpr size_t kNameBufSize = MOS_CYCLIC_FILE__MAX_NAME_LEN + MOS_CYCLIC_FILE__MAX_PREFIX_LEN + 16;

// Callers of this module must not hold its lock: the lock is not recursive.
void mosCyclicFile_Lock(void)
{
    MOS_ASSERT(!mosFastlockBase_IsLockedByCurrentThread(&cyclicFileLayer_G.lock));
    mosFastlockBase_Acquire(&cyclicFileLayer_G.lock);
}

void mosCyclicFile_Unlock(void)
{
    mosFastlockBase_Release(&cyclicFileLayer_G.lock);
}

// The stream and the rotation flag change on the dump thread outside the lock while writers test
// them under it.
FILE *mosCyclicFile_Stream(const MosCyclicFile *pFile)
{
    return __atomic_load_n(&pFile->pFile, __ATOMIC_ACQUIRE);
}

void mosCyclicFile_SetStream(MosCyclicFile *pFile, FILE *pStream)
{
    __atomic_store_n(&pFile->pFile, pStream, __ATOMIC_RELEASE);
}

BOOL mosCyclicFile_IsWritable(const MosCyclicFile *pFile)
{
    return mosCyclicFile_Stream(pFile) != nullptr || __atomic_load_n(&pFile->bRecycleInProgress, __ATOMIC_ACQUIRE);
}

void mosCyclicFile_GenName(const MosCyclicFile *pFile, UINT32 generation, char *pName, size_t nameSize)
{
    snprintf(pName, nameSize, "%s/%s.%d", pFile->pDirName, pFile->namePrefix, (int)generation);
}

FILE *mosCyclicFile_OpenGen0(const MosCyclicFile *pFile, const char *pMode)
{
    char name[kNameBufSize];
    mosCyclicFile_GenName(pFile, 0, name, sizeof(name));
    return fopen(name, pMode);
}

// Rotates when generation 0 has reached its size limit; also retries the reopen that an earlier
// rotation could not do, so that one failure does not end the file's output for good.
Mos_RC mosCyclicFile_RecycleIfNeeded(MosCyclicFile *pFile)
{
    FILE *pStream = mosCyclicFile_Stream(pFile);
    if (pStream == nullptr) {
        if (!pFile->bReopenPending)
            return MOS_RC__ERROR;
        pStream = mosCyclicFile_OpenGen0(pFile, "a");
        if (pStream == nullptr)
            return MOS_RC__ERROR;
        pFile->bReopenPending = FALSE;
        mosCyclicFile_SetStream(pFile, pStream);
    }
    long pos = ftell(pStream);
    if (pos < 0)
        return MOS_RC__ERROR;
    if ((UINT64)pos < pFile->maxFileSize)
        return MOS_RC__SUCCESS;

    __atomic_store_n(&pFile->bRecycleInProgress, TRUE, __ATOMIC_RELEASE);
    mosCyclicFile_SetStream(pFile, nullptr);
    int closeRc = fclose(pStream);
    MOS_ASSERT(closeRc == 0);
    char from[kNameBufSize];
    char to[kNameBufSize];
    mosCyclicFile_GenName(pFile, pFile->history - 1, to, sizeof(to));
    unlink(to);
    for (UINT32 g = pFile->history - 1; g > 0; g--) {
        mosCyclicFile_GenName(pFile, g - 1, from, sizeof(from));
        mosCyclicFile_GenName(pFile, g, to, sizeof(to));
        rename(from, to);
    }
    pStream = mosCyclicFile_OpenGen0(pFile, "w");
    if (pStream == nullptr)
        pFile->bReopenPending = TRUE;
    mosCyclicFile_SetStream(pFile, pStream);
    __atomic_store_n(&pFile->bRecycleInProgress, FALSE, __ATOMIC_RELEASE);
    return pStream == nullptr ? MOS_RC__ERROR : MOS_RC__SUCCESS;
}

UINT64 mosCyclicFile_NowMillis(void)
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (UINT64)ts.tv_sec * 1000 + (UINT64)ts.tv_nsec / 1000000;
}

// Used part of the ring.
UINT32 mosCyclicFile_UsedBytes(const MosCyclicFile_Async *pAsync)
{
    if (pAsync->endOffset >= pAsync->startOffset)
        return pAsync->endOffset - pAsync->startOffset;
    return pAsync->logBufSize - pAsync->startOffset + pAsync->endOffset;
}

// Reserves a contiguous slice of the ring (one reservation at a time, under the lock); null when
// the line does not fit and is lost.
char *mosCyclicFile_AcquireBuf(MosCyclicFile *pFile, UINT32 size)
{
    MosCyclicFile_Async *pAsync = &pFile->async;
    MOS_ASSERT(pAsync->pBufUsedNow == nullptr);
    UINT32 start = pAsync->startOffset;
    UINT32 end = pAsync->endOffset;
    UINT32 sliceOffset;
    if (end < start) {
        if (start - end - 1 < size)
            return nullptr;
        sliceOffset = end;
    } else {
        UINT32 contiguous = pAsync->logBufSize - end;
        UINT32 wrapped = start == 0 ? 0 : start - 1;
        if (contiguous >= size) {
            sliceOffset = end;
        } else if (wrapped >= size) {
            // The unused tail becomes a visible filler so that the file shows where the ring wrapped.
            UINT32 tailLen = contiguous;
            char *pTail = pAsync->pLogBuffer + end;
            if (tailLen != 0) {
                memset(pTail, '*', tailLen);
                char text[160];
                int textLen = snprintf(text, sizeof(text),
                                       "\n***********************************Skipped %d bytes due to "
                                       "wrapping***********************************",
                                       (int)tailLen);
                UINT32 copyLen = MOS_MIN((UINT32)textLen, tailLen);
                memcpy(pTail, text, copyLen);
                for (UINT32 off = copyLen + 159; off < tailLen; off += 160)
                    pTail[off] = '\n';
                pTail[tailLen - 1] = '\n';
            }
            sliceOffset = 0;
        } else {
            return nullptr;
        }
    }
    pAsync->pBufUsedNow = pAsync->pLogBuffer + sliceOffset;
    pAsync->bufUsedSize = size;
    pAsync->endOffset = sliceOffset + size;
    return pAsync->pBufUsedNow;
}

// Completes the reservation with the bytes actually used.
void mosCyclicFile_AdvanceBuf(MosCyclicFile *pFile, UINT32 usedSize)
{
    MosCyclicFile_Async *pAsync = &pFile->async;
    MOS_ASSERT(pAsync->pBufUsedNow != nullptr);
    MOS_ASSERT(usedSize <= pAsync->bufUsedSize);
    pAsync->endOffset = (UINT32)(pAsync->pBufUsedNow - pAsync->pLogBuffer) + usedSize;
    pAsync->pBufUsedNow = nullptr;
    pAsync->bufUsedSize = 0;
    MOS_ASSERT(usedSize == 0 || pAsync->endOffset != pAsync->startOffset);
}

BOOL mosCyclicFile_ShouldDumpAsync(MosCyclicFile *pFile, MosTicks_Cnt ticksSlept, BOOL bConsiderTicks)
{
    MosCyclicFile_Async *pAsync = &pFile->async;
    BOOL bPeriodPassed = bConsiderTicks && mosTicks_TicksToMillis(ticksSlept) >= pAsync->thrdSleepMilli;
    if (mosCyclicFile_Stream(pFile) == nullptr)
        return pFile->bReopenPending && (bPeriodPassed || pAsync->pWaitForDump != nullptr);
    if (pAsync->pWaitForDump != nullptr && pAsync->lostTraces != 0)
        return TRUE;
    UINT64 used = mosCyclicFile_UsedBytes(pAsync);
    if (used * 100 >= (UINT64)pAsync->dumpOnPercent * pAsync->logBufSize)
        return TRUE;
    if (used == 0 && pAsync->lostTraces == 0)
        return FALSE;
    if (pAsync->pWaitForDump != nullptr)
        return TRUE;
    return bPeriodPassed;
}

void mosCyclicFile_WriteBytes(MosCyclicFile *pFile, const char *pBytes, UINT32 len)
{
    FILE *pStream = mosCyclicFile_Stream(pFile);
    if (pStream != nullptr && len != 0)
        fwrite(pBytes, 1, len, pStream);
}

// Writes dumped bytes, rotating each time generation 0 reaches its size limit: one pass can
// carry a whole ring, megabytes, and must not make one generation that large. A cut falls after a
// newline, so a generation passes its limit by less than one line.
void mosCyclicFile_WriteBytesRotating(MosCyclicFile *pFile, const char *pBytes, UINT32 len)
{
    while (len != 0) {
        FILE *pStream = mosCyclicFile_Stream(pFile);
        if (pStream == nullptr)
            return;
        long pos = ftell(pStream);
        if (pos < 0) {
            mosCyclicFile_WriteBytes(pFile, pBytes, len);
            return;
        }
        if (pos > 0 && (UINT64)pos >= pFile->maxFileSize) {
            if (mosCyclicFile_RecycleIfNeeded(pFile) != MOS_RC__SUCCESS)
                return;
            continue;
        }
        UINT64 room = pFile->maxFileSize > (UINT64)pos ? pFile->maxFileSize - (UINT64)pos : 0;
        UINT32 piece = len;
        if (room < len) {
            UINT32 from = room == 0 ? 0 : (UINT32)room - 1;
            const void *pNewline = memchr(pBytes + from, '\n', len - from);
            if (pNewline != nullptr)
                piece = (UINT32)(static_cast<const char *>(pNewline) - pBytes) + 1;
        }
        mosCyclicFile_WriteBytes(pFile, pBytes, piece);
        pBytes += piece;
        len -= piece;
    }
}

// Writes out the ring's bytes from start to end (wrapping at its end) and the count of lines lost.
void mosCyclicFile_WriteOutRing(MosCyclicFile *pFile, UINT32 start, UINT32 end, UINT32 lost)
{
    MosCyclicFile_Async *pAsync = &pFile->async;
    if (end >= start) {
        mosCyclicFile_WriteBytesRotating(pFile, pAsync->pLogBuffer + start, end - start);
    } else {
        mosCyclicFile_WriteBytesRotating(pFile, pAsync->pLogBuffer + start, pAsync->logBufSize - start);
        mosCyclicFile_WriteBytesRotating(pFile, pAsync->pLogBuffer, end);
    }
    mosCyclicFile_RecycleIfNeeded(pFile);
    if (lost != 0)
        mosCyclicFile_WriteFormattedSyncVariadic(pFile, FALSE, TRUE, FALSE, "-----Skipped %d traces-----\n",
                                                 (int)lost);
}

// Writes one file's ring out. Entered and left with the lock held; the disk is written without it.
void mosCyclicFile_AsyncDump(MosCyclicFile *pFile)
{
    MosCyclicFile_Async *pAsync = &pFile->async;
    MosTicks_Cnt now = mosTicks_GetCurrentTick();
    // A dump waiter is served only by a pass whose snapshot was taken after it asked: lines it
    // wrote while an earlier pass was on the disk are still in the ring. The thread loops again
    // at once while a waiter remains.
    BOOL bServesWaiter = TRUE;
    if (!pAsync->bDie && mosCyclicFile_ShouldDumpAsync(pFile, mosTicks_DiffInTicks(now, pAsync->startTick), TRUE)) {
        MosOsw_CondVar *pWaiterAtSnapshot = pAsync->pWaitForDump;
        UINT32 waitSeqAtSnapshot = pAsync->dumpWaitSeq;
        pAsync->bBusy = TRUE;
        UINT32 start = pAsync->startOffset;
        UINT32 end = pAsync->endOffset;
        UINT32 lost = pAsync->lostTraces;
        pAsync->lostTraces = 0;
        mosCyclicFile_Unlock();

        if (mosCyclicFile_Stream(pFile) == nullptr)
            mosCyclicFile_RecycleIfNeeded(pFile);
        mosCyclicFile_WriteOutRing(pFile, start, end, lost);
        FILE *pStream = mosCyclicFile_Stream(pFile);
        if (pStream != nullptr)
            fflush(pStream);

        mosFastlockBase_Acquire(&cyclicFileLayer_G.lock);
        if (end == pAsync->logBufSize) {
            pAsync->startOffset = 0;
            if (pAsync->endOffset == pAsync->logBufSize)
                pAsync->endOffset = 0;
        } else {
            pAsync->startOffset = end;
        }
        pAsync->startTick = mosTicks_GetCurrentTick();
        bServesWaiter = pAsync->pWaitForDump == pWaiterAtSnapshot && pAsync->dumpWaitSeq == waitSeqAtSnapshot;
    }
    if (bServesWaiter && pAsync->pWaitForDump != nullptr) {
        mosOSWCond_Signal(pAsync->pWaitForDump);
        pAsync->pWaitForDump = nullptr;
    }
    pAsync->bBusy = FALSE;
}

BOOL mosCyclicFile_AnyWaiter(void)
{
    for (MosDList_Node *pNode = mosDList_First(&cyclicFileLayer_G.asyncFiles); pNode != nullptr;
         pNode = mosDList_Next(pNode)) {
        MosCyclicFile *pFile = MOS_CONTAINER_OF(pNode, MosCyclicFile, async.node);
        if (pFile->async.pWaitForDump != nullptr)
            return TRUE;
    }
    return FALSE;
}

void mosCyclicFile_Thrd(void *pArg)
{
    MOS_UNUSED(pArg);
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);

    mosFastlockBase_Acquire(&cyclicFileLayer_G.lock);
    while (!cyclicFileLayer_G.bDie) {
        // A caller that registered while the previous pass ran would otherwise wait a whole period.
        if (!mosCyclicFile_AnyWaiter()) {
            if (cyclicFileLayer_G.asyncFiles.counter != 0)
                mosOSWCond_TimedWait(&cyclicFileLayer_G.cond, &cyclicFileLayer_G.lock,
                                     cyclicFileLayer_G.thrdSleepMillis);
            else
                mosOSWCond_Wait(&cyclicFileLayer_G.cond, &cyclicFileLayer_G.lock);
        }
        if (cyclicFileLayer_G.bDie)
            continue;
        if (cyclicFileLayer_G.bIoIsBlocked) {
            // Nothing is written any more: release whoever waits for a dump.
            for (MosDList_Node *pNode = mosDList_First(&cyclicFileLayer_G.asyncFiles); pNode != nullptr;
                 pNode = mosDList_Next(pNode)) {
                MosCyclicFile_Async *pAsync = &MOS_CONTAINER_OF(pNode, MosCyclicFile, async.node)->async;
                if (pAsync->pWaitForDump != nullptr) {
                    mosOSWCond_Signal(pAsync->pWaitForDump);
                    pAsync->pWaitForDump = nullptr;
                }
            }
            continue;
        }
        cyclicFileLayer_G.bBusy = TRUE;
        for (MosDList_Node *pNode = mosDList_First(&cyclicFileLayer_G.asyncFiles); pNode != nullptr;
             pNode = mosDList_Next(pNode)) {
            mosCyclicFile_AsyncDump(MOS_CONTAINER_OF(pNode, MosCyclicFile, async.node));
        }
        cyclicFileLayer_G.bBusy = FALSE;
    }
    mosCyclicFile_Unlock();
}

void mosCyclicFile_WriteSyncLocked(MosCyclicFile *pFile, BOOL bWriteTime, BOOL bRotate, const char *pFormat,
                                   va_list ap)
{
    if (mosCyclicFile_Stream(pFile) == nullptr && pFile->bReopenPending)
        mosCyclicFile_RecycleIfNeeded(pFile);
    FILE *pStream = mosCyclicFile_Stream(pFile);
    if (pStream == nullptr)
        return;
    if (bWriteTime) {
        char stamp[MOS_CYCLIC_FILE__TIME_STAMP_SIZE + 1];
        UINT32 len = mosCyclicFile_FormatTimeStamp(stamp, sizeof(stamp));
        fwrite(stamp, 1, len, pStream);
    }
    vfprintf(pStream, pFormat, ap);
    fflush(pStream);
    if (bRotate)
        mosCyclicFile_RecycleIfNeeded(pFile);
}

void mosCyclicFile_WriteAsync(MosCyclicFile *pFile, BOOL bWriteTime, const char *pFormat, va_list ap)
{
    mosCyclicFile_Lock();
    MosCyclicFile_Async *pAsync = &pFile->async;
    // A dying file's ring is freed as soon as its destroyer lets go of the lock.
    char *pSlice = (mosCyclicFile_IsWritable(pFile) && !pAsync->bDie)
                       ? mosCyclicFile_AcquireBuf(pFile, MOS_CYCLIC_FILE__SLICE_SIZE)
                       : nullptr;
    if (pSlice == nullptr) {
        pAsync->lostTraces++;
    } else {
        UINT32 stampLen = 0;
        if (bWriteTime) {
            char stamp[MOS_CYCLIC_FILE__TIME_STAMP_SIZE + 1];
            stampLen = mosCyclicFile_FormatTimeStamp(stamp, sizeof(stamp));
            memcpy(pSlice, stamp, stampLen);
        }
        int textLen = vsnprintf(pSlice + stampLen, MOS_CYCLIC_FILE__SLICE_SIZE - stampLen, pFormat, ap);
        if (textLen < 0)
            textLen = 0;
        // An over-long line is cut to the slice and still ends the line.
        pSlice[MOS_CYCLIC_FILE__SLICE_SIZE - 1] = '\n';
        mosCyclicFile_AdvanceBuf(pFile, MOS_MIN(stampLen + (UINT32)textLen, MOS_CYCLIC_FILE__SLICE_SIZE));
    }
    mosCyclicFile_Unlock();
}

} // namespace

namespace {

void mosCyclicFile_Put2(char *p, int v)
{
    p[0] = (char)('0' + (v / 10) % 10);
    p[1] = (char)('0' + v % 10);
}

} // namespace

// Every line carries a stamp: the broken-down time is worked out once a second per thread and
// the digits are written by hand, which costs a fraction of a formatted print.
UINT32 mosCyclicFile_FormatTimeStamp(char *pBuf, UINT32 bufSize)
{
    static thread_local time_t cachedSec_T = (time_t)-1;
    static thread_local char cachedPrefix_T[16]; // "dd/mm hh:mm:ss."
    timeval tv;
    gettimeofday(&tv, nullptr);
    if (tv.tv_sec != cachedSec_T) {
        tm local;
        localtime_r(&tv.tv_sec, &local);
        char *p = cachedPrefix_T;
        mosCyclicFile_Put2(p, local.tm_mday);
        p[2] = '/';
        mosCyclicFile_Put2(p + 3, local.tm_mon + 1);
        p[5] = ' ';
        mosCyclicFile_Put2(p + 6, local.tm_hour);
        p[8] = ':';
        mosCyclicFile_Put2(p + 9, local.tm_min);
        p[11] = ':';
        mosCyclicFile_Put2(p + 12, local.tm_sec);
        p[14] = '.';
        cachedSec_T = tv.tv_sec;
    }
    char stamp[MOS_CYCLIC_FILE__TIME_STAMP_SIZE + 1];
    memcpy(stamp, cachedPrefix_T, 15);
    int usec = (int)tv.tv_usec;
    for (int i = 20; i >= 15; i--) {
        stamp[i] = (char)('0' + usec % 10);
        usec /= 10;
    }
    stamp[21] = ' ';
    stamp[22] = '\0';
    if (bufSize == 0)
        return 0;
    UINT32 len = MOS_MIN((UINT32)MOS_CYCLIC_FILE__TIME_STAMP_SIZE, bufSize - 1);
    memcpy(pBuf, stamp, len);
    pBuf[len] = '\0';
    return len;
}

Mos_RC mosCyclicFileLayer_Create(void)
{
    memset(&cyclicFileLayer_G, 0, sizeof(cyclicFileLayer_G));
    mosDList_InitAnchor(&cyclicFileLayer_G.asyncFiles);
    // Waited on with an OS condition: always an adaptive lock.
    MOS_FASTLOCK_CREATE_ADAPTIVE(&cyclicFileLayer_G.lock, kCyclicFileLockId);
    mosOSWCond_Init(&cyclicFileLayer_G.cond);
    Mos_RC rc = mosOsThrd_CreateNamed(&cyclicFileLayer_G.asyncThrd, mosCyclicFile_Thrd, nullptr, "trc dump");
    if (rc != MOS_RC__SUCCESS) {
        mosOSWCond_Destroy(&cyclicFileLayer_G.cond);
        mosFastlockBase_Destroy(&cyclicFileLayer_G.lock);
        return rc;
    }
    cyclicFileLayer_G.bInit = TRUE;
    return MOS_RC__SUCCESS;
}

void mosCyclicFileLayer_Destroy(void)
{
    if (!cyclicFileLayer_G.bInit)
        return;
    MOS_ASSERT_WITH_DESC(((&cyclicFileLayer_G.asyncFiles)->counter) == 0, "");
    mosCyclicFile_Lock();
    cyclicFileLayer_G.bDie = TRUE;
    mosOSWCond_Signal(&cyclicFileLayer_G.cond);
    mosCyclicFile_Unlock();
    mosOsThrd_Destroy(&cyclicFileLayer_G.asyncThrd);
    cyclicFileLayer_G.bInit = FALSE;
    mosOSWCond_Destroy(&cyclicFileLayer_G.cond);
    mosFastlockBase_Destroy(&cyclicFileLayer_G.lock);
}

BOOL mosCyclicFileLayer_ThrdBelongs(void)
{
    if (!cyclicFileLayer_G.bInit)
        return FALSE;
    return mosOsThrd_EqualCurr(&cyclicFileLayer_G.asyncThrd) ||
           mosFastlockBase_IsLockedByCurrentThread(&cyclicFileLayer_G.lock);
}

Mos_RC mosCyclicFile_Create(MosCyclicFile *pCyclicFile, const MosCyclicFile_InitParams *pInitParams)
{
    MOS_ASSERT(cyclicFileLayer_G.bInit);
    MOS_ASSERT(pInitParams != nullptr && pInitParams->pDir != nullptr && pInitParams->pPrefix != nullptr);
    memset(pCyclicFile, 0, sizeof(*pCyclicFile));
    mosDList_InitNode(&pCyclicFile->async.node);
    // The configuration allows 0 generations; the current file always needs one.
    UINT32 history = pInitParams->history == 0 ? 1 : pInitParams->history;
    size_t prefixLen = strlen(pInitParams->pPrefix);
    size_t dirLen = strlen(pInitParams->pDir);
    char longest[kNameBufSize];
    int nameLen = snprintf(longest, sizeof(longest), "%s/%s.%d", pInitParams->pDir, pInitParams->pPrefix,
                           (int)(history - 1));
    if (prefixLen > MOS_CYCLIC_FILE__MAX_PREFIX_LEN || dirLen >= sizeof(pCyclicFile->dirName) || nameLen < 0 ||
        (size_t)nameLen >= MOS_CYCLIC_FILE__MAX_NAME_LEN)
        return MOS_RC__NO_RESOURCES;
    memcpy(pCyclicFile->namePrefix, pInitParams->pPrefix, prefixLen + 1);
    memcpy(pCyclicFile->dirName, pInitParams->pDir, dirLen + 1);
    pCyclicFile->pDirName = pCyclicFile->dirName;
    pCyclicFile->maxFileSize = pInitParams->maxFileSize;
    pCyclicFile->history = history;
    pCyclicFile->bAsync = pInitParams->bAsync ? TRUE : FALSE;

    FILE *pStream = mosCyclicFile_OpenGen0(pCyclicFile, "a");
    if (pStream == nullptr)
        return MOS_RC__ERROR;
    mosCyclicFile_SetStream(pCyclicFile, pStream);
    mosCyclicFile_RecycleIfNeeded(pCyclicFile);
    if (!pCyclicFile->bAsync)
        return MOS_RC__SUCCESS;

    MosCyclicFile_Async *pAsync = &pCyclicFile->async;
    pAsync->thrdSleepMilli = pInitParams->thrdSleepMilli != 0 ? pInitParams->thrdSleepMilli
                                                               : MOS_CYCLIC_FILE__DEFAULT_SLEEP_MILLI;
    pAsync->dumpOnPercent = (pInitParams->dumpOnPercent > 0 && pInitParams->dumpOnPercent < 100)
                                ? pInitParams->dumpOnPercent
                                : MOS_CYCLIC_FILE__DEFAULT_DUMP_PERCENT;
    pAsync->logBufSize = pInitParams->logBufSize != 0 ? pInitParams->logBufSize : MOS_CYCLIC_FILE__DEFAULT_BUF_SIZE;
    pAsync->pLogBuffer = new (std::nothrow) char[pAsync->logBufSize];
    if (pAsync->pLogBuffer == nullptr) {
        FILE *pOpen = mosCyclicFile_Stream(pCyclicFile);
        if (pOpen != nullptr)
            fclose(pOpen);
        mosCyclicFile_SetStream(pCyclicFile, nullptr);
        return MOS_RC__NO_RESOURCES;
    }
    pAsync->startTick = mosTicks_GetCurrentTick();

    mosCyclicFile_Lock();
    mosDList_InsertTail(&cyclicFileLayer_G.asyncFiles, &pAsync->node);
    if (cyclicFileLayer_G.thrdSleepMillis == 0 || pAsync->thrdSleepMilli < cyclicFileLayer_G.thrdSleepMillis)
        cyclicFileLayer_G.thrdSleepMillis = pAsync->thrdSleepMilli;
    if (cyclicFileLayer_G.asyncFiles.counter == 1)
        mosOSWCond_Signal(&cyclicFileLayer_G.cond);
    mosCyclicFile_Unlock();
    return MOS_RC__SUCCESS;
}

void mosCyclicFile_Destroy(MosCyclicFile *pCyclicFile)
{
    if (pCyclicFile->bAsync) {
        MosCyclicFile_Async *pAsync = &pCyclicFile->async;
        mosCyclicFile_Lock();
        pAsync->bDie = TRUE;
        while (pAsync->bBusy) {
            mosCyclicFile_Unlock();
            usleep(1000);
            mosCyclicFile_Lock();
        }
        if (mosDList_IsLinked(&pAsync->node))
            mosDList_Remove(&cyclicFileLayer_G.asyncFiles, &pAsync->node);
        UINT32 start = pAsync->startOffset;
        UINT32 end = pAsync->endOffset;
        UINT32 lost = pAsync->lostTraces;
        mosCyclicFile_Unlock();
        MOS_ASSERT(pAsync->pLogBuffer != nullptr);
        // What the dump thread has not written yet is written now rather than dropped.
        if (!cyclicFileLayer_G.bIoIsBlocked)
            mosCyclicFile_WriteOutRing(pCyclicFile, start, end, lost);
        delete[] pAsync->pLogBuffer;
        pAsync->pLogBuffer = nullptr;
    }
    // Synchronous writers use the stream under the lock: it is taken from them under the lock too.
    const BOOL bLock = cyclicFileLayer_G.bInit;
    if (bLock)
        mosCyclicFile_Lock();
    FILE *pStream = mosCyclicFile_Stream(pCyclicFile);
    mosCyclicFile_SetStream(pCyclicFile, nullptr);
    pCyclicFile->bReopenPending = FALSE;
    if (bLock)
        mosCyclicFile_Unlock();
    if (pStream != nullptr)
        fclose(pStream);
}

void mosCyclicFile_WriteFormattedSync(MosCyclicFile *pCyclicFile, BOOL bAcquireLock, BOOL bWriteTime, BOOL bRotate,
                                      const char *pFormat, va_list *pParamList)
{
    if (cyclicFileLayer_G.bIoIsBlocked)
        return;
    if (bAcquireLock)
        mosCyclicFile_Lock();
    va_list ap;
    va_copy(ap, *pParamList);
    mosCyclicFile_WriteSyncLocked(pCyclicFile, bWriteTime, bRotate, pFormat, ap);
    va_end(ap);
    if (bAcquireLock)
        mosCyclicFile_Unlock();
}

void mosCyclicFile_WriteFormattedSyncVariadic(MosCyclicFile *pCyclicFile, BOOL bAcquireLock, BOOL bWriteTime,
                                              BOOL bRotate, const char *pFormat, ...)
{
    va_list ap;
    va_start(ap, pFormat);
    mosCyclicFile_WriteFormattedSync(pCyclicFile, bAcquireLock, bWriteTime, bRotate, pFormat, &ap);
    va_end(ap);
}

void mosCyclicFile_WriteFormattedThrough(MosCyclicFile *pCyclicFile, BOOL bWriteTime, const char *pFormat,
                                         va_list *pParamList)
{
    if (cyclicFileLayer_G.bIoIsBlocked)
        return;
    mosCyclicFile_Lock();
    if (pCyclicFile->bAsync) {
        MosCyclicFile_Async *pAsync = &pCyclicFile->async;
        // The dump thread writes the stream without the lock: its pass ends first, and no other
        // one begins while the lock is held.
        while (pAsync->bBusy) {
            mosCyclicFile_Unlock();
            usleep(1000);
            mosCyclicFile_Lock();
        }
        // A dying file's ring belongs to its destroyer.
        if (pAsync->bDie) {
            mosCyclicFile_Unlock();
            return;
        }
        // Every reservation of the ring is made and completed under the lock: it is whole here.
        mosCyclicFile_WriteOutRing(pCyclicFile, pAsync->startOffset, pAsync->endOffset, pAsync->lostTraces);
        pAsync->startOffset = 0;
        pAsync->endOffset = 0;
        pAsync->lostTraces = 0;
    }
    va_list ap;
    va_copy(ap, *pParamList);
    mosCyclicFile_WriteSyncLocked(pCyclicFile, bWriteTime, FALSE, pFormat, ap);
    va_end(ap);
    mosCyclicFile_Unlock();
}

void mosCyclicFile_WriteFormatted(MosCyclicFile *pCyclicFile, BOOL bWriteTime, BOOL bRotate, BOOL bParamList,
                                  va_list *pParamList, const char *pFormat, ...)
{
    if (cyclicFileLayer_G.bIoIsBlocked)
        return;
    va_list ap;
    if (bParamList)
        va_copy(ap, *pParamList);
    else
        va_start(ap, pFormat);
    if (pCyclicFile->bAsync) {
        mosCyclicFile_WriteAsync(pCyclicFile, bWriteTime, pFormat, ap);
    } else {
        mosCyclicFile_Lock();
        mosCyclicFile_WriteSyncLocked(pCyclicFile, bWriteTime, bRotate, pFormat, ap);
        mosCyclicFile_Unlock();
    }
    va_end(ap);
}

void mosCyclicFile_WriteRaw(MosCyclicFile *pCyclicFile, const void *pBuf, UINT32 bufSize, BOOL bWriteHeader,
                            BOOL bRotate)
{
    if (cyclicFileLayer_G.bIoIsBlocked)
        return;
    char stamp[MOS_CYCLIC_FILE__TIME_STAMP_SIZE + 1];
    UINT32 stampLen = bWriteHeader ? mosCyclicFile_FormatTimeStamp(stamp, sizeof(stamp)) : 0;
    mosCyclicFile_Lock();
    if (!pCyclicFile->bAsync) {
        if (mosCyclicFile_Stream(pCyclicFile) == nullptr && pCyclicFile->bReopenPending)
            mosCyclicFile_RecycleIfNeeded(pCyclicFile);
        FILE *pStream = mosCyclicFile_Stream(pCyclicFile);
        if (pStream != nullptr) {
            fwrite(stamp, 1, stampLen, pStream);
            fwrite(pBuf, 1, bufSize, pStream);
            fflush(pStream);
            if (bRotate)
                mosCyclicFile_RecycleIfNeeded(pCyclicFile);
        }
        mosCyclicFile_Unlock();
        return;
    }
    MosCyclicFile_Async *pAsync = &pCyclicFile->async;
    UINT64 need = (UINT64)bufSize + stampLen;
    char *pSlice = (mosCyclicFile_IsWritable(pCyclicFile) && !pAsync->bDie && need <= pAsync->logBufSize)
                       ? mosCyclicFile_AcquireBuf(pCyclicFile, (UINT32)need)
                       : nullptr;
    if (pSlice == nullptr) {
        pAsync->lostTraces++;
    } else {
        memcpy(pSlice, stamp, stampLen);
        memcpy(pSlice + stampLen, pBuf, bufSize);
        mosCyclicFile_AdvanceBuf(pCyclicFile, (UINT32)need);
        if (!pAsync->bBusy && mosCyclicFile_ShouldDumpAsync(pCyclicFile, 0, FALSE))
            mosOSWCond_Signal(&cyclicFileLayer_G.cond);
    }
    mosCyclicFile_Unlock();
}

void mosCyclicFile_DumpAllNow(MosCyclicFile *pCyclicFile, UINT32 millisToWait)
{
    if (cyclicFileLayer_G.bIoIsBlocked || !pCyclicFile->bAsync)
        return;
    MosCyclicFile_Async *pAsync = &pCyclicFile->async;
    mosCyclicFile_Lock();
    if (pAsync->pWaitForDump == nullptr && !pAsync->bDie &&
        (pAsync->startOffset != pAsync->endOffset || pAsync->lostTraces != 0 || pCyclicFile->bReopenPending)) {
        MosOsw_CondVar waitCond;
        mosOSWCond_Init(&waitCond);
        pAsync->pWaitForDump = &waitCond;
        pAsync->dumpWaitSeq++;
        if (!cyclicFileLayer_G.bBusy)
            mosOSWCond_Signal(&cyclicFileLayer_G.cond);
        UINT64 deadline = mosCyclicFile_NowMillis() + millisToWait;
        // The dump thread clears the waiter when it has signalled it.
        while (pAsync->pWaitForDump == &waitCond) {
            if (millisToWait == 0) {
                mosOSWCond_Wait(&waitCond, &cyclicFileLayer_G.lock);
                continue;
            }
            UINT64 now = mosCyclicFile_NowMillis();
            if (now >= deadline)
                break;
            mosOSWCond_TimedWait(&waitCond, &cyclicFileLayer_G.lock, deadline - now);
        }
        if (pAsync->pWaitForDump == &waitCond)
            pAsync->pWaitForDump = nullptr;
        mosOSWCond_Destroy(&waitCond);
    }
    mosCyclicFile_Unlock();
}

void mosCyclicFile_BlockAllIO(void)
{
    cyclicFileLayer_G.bIoIsBlocked = TRUE;
}

BOOL mosCyclicFile_IsIOBlocked(void)
{
    return cyclicFileLayer_G.bIoIsBlocked;
}
