// Wall-clock time. A MosTime strictly between -800000000 and 800000000 is a relative time (a
// duration in seconds); any other value is an absolute time (seconds since the epoch).
#pragma once

#include <ctime>
#include <sys/time.h>

#include "mos/mos_rc.h"
#include "mos/mos_ticks.h"
#include "mos/mos_types.h"

typedef INT64 MosTime;

#define MOS_TIME__RELATIVE_LIMIT 800000000ll

static inline BOOL mosTime_IsRelative(MosTime t)
{
    return (t < MOS_TIME__RELATIVE_LIMIT && t > (0 - MOS_TIME__RELATIVE_LIMIT)) ? TRUE : FALSE;
}

MosTime mosTime_GetCurrentTime(void);
MosTime mosTime_GetToday(void);
void mosTime_InitSystemUpTimestamp(void);
MosTime mosTime_GetSystemStartUpTime(void);
void mosTime_GetSystemStartUpTimeVal(timeval *out_pTimeVal);
MosTicks_Cnt mosTime_GetSystemStartUpTicks(void);

MosTime mosTime_AddSeconds(MosTime mosTime, MosTime seconds);
MosTime mosTime_DiffSeconds(MosTime timeFrom, MosTime timeTo);
INT64 mosTime_DiffDays(MosTime timeFrom, MosTime timeTo);
int mosTime_Compare(MosTime timeA, MosTime timeB);

void mosTimeVal_AddMilliseconds(timeval *pTimeVal, UINT64 ms);
void mosTimeVal_DecMilliseconds(timeval *pTimeVal, UINT64 ms);
// Local time of the value; any output pointer may be null. Year as in 2017, month 1 to 12.
void mosTimeVal_GetDetails(const timeval *pTimeVal, UINT32 *pYear, UINT32 *pMonth, UINT32 *pDay, UINT32 *pHour,
                           UINT32 *pMin, UINT32 *pSec, UINT32 *pUSec);
void mos_CurTimeDetails(UINT32 *pYear, UINT32 *pMonth, UINT32 *pDay, UINT32 *pHour, UINT32 *pMin, UINT32 *pSec,
                        UINT32 *pUSec);
// Minutes east of UTC, daylight saving included.
INT32 mos_TimeZoneOffset(void);
void mos_TimeToLocalTime(time_t time, struct tm *pLocalTime);

// Sleeps the calling OS thread for at least nanos nanoseconds, across signals.
void mos_NanoSleep(UINT64 nanos);
