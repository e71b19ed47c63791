// Inside the device file: completion bookkeeping, the budgeted transfer, and the clock seam.
#pragma once

#include "tgt/file/file.h"

// Bookkeeping of one finished synchronous transfer: MOS_RC__SUCCESS or MOS_RC__IO_HARD_ERROR.
Mos_RC file_HandleIoDone(File *pFile, UINT64 ioTimeInMillis, UINT32 pending, Mos_RC rc, BOOL bWrite);
// One transfer within the calling user-mode thread's time budget; MOS_RC__TIMEOUT without I/O
// when the budget is spent.
Mos_RC file_DoIOSyncEx(File *pFile, UINT64 byteOffset, void *pBuf, UINT32 bytes, BOOL bWrite,
                       MosTicks_Cnt *pIoTimeInTicks);

// Microseconds of the monotonic clock that times transfers; tests put their own clock in
// (null restores the real one).
typedef UINT64 (*FileUsecClock)(void);
void file_SetUsecClockForTest(FileUsecClock pClock);
UINT64 file_NowUsec(void);
