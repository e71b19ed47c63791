#include "mos/mos_time_intrn.h"

#include <cerrno>
#include <ctime>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"

MosTime startUpTime_G = 0;
MosTicks_Cnt startUpTick_G = 0;
timeval startUpTimeVal_G = {0, 0};

MosTime mosTime_GetCurrentTime(void)
{
    return (MosTime)time(nullptr);
}

MosTime mosTime_GetToday(void)
{
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    local.tm_hour = 0;
    local.tm_min = 0;
    local.tm_sec = 0;
    local.tm_isdst = -1;
    return (MosTime)mktime(&local);
}

void mosTime_InitSystemUpTimestamp(void)
{
    startUpTime_G = mosTime_GetCurrentTime();
    startUpTick_G = mosTicks_GetCurrentTick();
    gettimeofday(&startUpTimeVal_G, nullptr);
}

MosTime mosTime_GetSystemStartUpTime(void)
{
    return startUpTime_G;
}

void mosTime_GetSystemStartUpTimeVal(timeval *out_pTimeVal)
{
    *out_pTimeVal = startUpTimeVal_G;
}

MosTicks_Cnt mosTime_GetSystemStartUpTicks(void)
{
    return startUpTick_G;
}

MosTime mosTime_AddSeconds(MosTime mosTime, MosTime seconds)
{
    MOS_ASSERT((seconds < 800000000ll && seconds > (0-800000000ll)));
    MosTime result = mosTime + seconds;
    MOS_ASSERT(mosTime_IsRelative(result) == mosTime_IsRelative(mosTime));
    return result;
}

static void mosTime_CheckSameKind(MosTime timeA, MosTime timeB)
{
    if (mosTime_IsRelative(timeA) != mosTime_IsRelative(timeB))
        MOS_ERROR(MOS_COMP_MOS, "ASSERT condition (%s) failed.",
                  "mosTime_IsRelative(timeA) == mosTime_IsRelative(timeB)");
}

MosTime mosTime_DiffSeconds(MosTime timeFrom, MosTime timeTo)
{
    mosTime_CheckSameKind(timeFrom, timeTo);
    MosTime result = timeTo - timeFrom;
    MOS_ASSERT((result < 800000000ll && result > (0-800000000ll)));
    return result;
}

INT64 mosTime_DiffDays(MosTime timeFrom, MosTime timeTo)
{
    return mosTime_DiffSeconds(timeFrom, timeTo) / 86400;
}

int mosTime_Compare(MosTime timeA, MosTime timeB)
{
    mosTime_CheckSameKind(timeA, timeB);
    if (timeA > timeB)
        return 1;
    if (timeA < timeB)
        return -1;
    return 0;
}

void mosTimeVal_AddMilliseconds(timeval *pTimeVal, UINT64 ms)
{
    UINT64 usec = (UINT64)pTimeVal->tv_usec + (ms % 1000) * 1000;
    pTimeVal->tv_sec += (time_t)(ms / 1000 + usec / 1000000);
    pTimeVal->tv_usec = (suseconds_t)(usec % 1000000);
}

void mosTimeVal_DecMilliseconds(timeval *pTimeVal, UINT64 ms)
{
    UINT64 totalMs = (UINT64)pTimeVal->tv_sec * 1000 + (UINT64)pTimeVal->tv_usec / 1000;
    UINT64 subMsUsec = (UINT64)pTimeVal->tv_usec % 1000;
    // The whole milliseconds stop at zero; the microseconds below a millisecond stay.
    totalMs = ms >= totalMs ? 0 : totalMs - ms;
    pTimeVal->tv_sec = (time_t)(totalMs / 1000);
    pTimeVal->tv_usec = (suseconds_t)((totalMs % 1000) * 1000 + subMsUsec);
}

static void mosTime_SplitTm(const struct tm &local, UINT32 usec, UINT32 *pYear, UINT32 *pMonth, UINT32 *pDay,
                            UINT32 *pHour, UINT32 *pMin, UINT32 *pSec, UINT32 *pUSec)
{
    if (pYear != nullptr)
        *pYear = (UINT32)(local.tm_year + 1900);
    if (pMonth != nullptr)
        *pMonth = (UINT32)(local.tm_mon + 1);
    if (pDay != nullptr)
        *pDay = (UINT32)local.tm_mday;
    if (pHour != nullptr)
        *pHour = (UINT32)local.tm_hour;
    if (pMin != nullptr)
        *pMin = (UINT32)local.tm_min;
    if (pSec != nullptr)
        *pSec = (UINT32)local.tm_sec;
    if (pUSec != nullptr)
        *pUSec = usec;
}

void mosTimeVal_GetDetails(const timeval *pTimeVal, UINT32 *pYear, UINT32 *pMonth, UINT32 *pDay, UINT32 *pHour,
                           UINT32 *pMin, UINT32 *pSec, UINT32 *pUSec)
{
    time_t t = pTimeVal->tv_sec;
    struct tm local;
    localtime_r(&t, &local);
    mosTime_SplitTm(local, (UINT32)pTimeVal->tv_usec, pYear, pMonth, pDay, pHour, pMin, pSec, pUSec);
}

void mos_CurTimeDetails(UINT32 *pYear, UINT32 *pMonth, UINT32 *pDay, UINT32 *pHour, UINT32 *pMin, UINT32 *pSec,
                        UINT32 *pUSec)
{
    timeval now;
    int ret = gettimeofday(&now, nullptr);
    MOS_ASSERT(ret == 0);
    mosTimeVal_GetDetails(&now, pYear, pMonth, pDay, pHour, pMin, pSec, pUSec);
}

INT32 mos_TimeZoneOffset(void)
{
    time_t now = time(nullptr);
    struct tm local;
    localtime_r(&now, &local);
    return (INT32)(local.tm_gmtoff / 60);
}

void mos_TimeToLocalTime(time_t time, struct tm *pLocalTime)
{
    localtime_r(&time, pLocalTime);
}

void mos_NanoSleep(UINT64 nanos)
{
    timespec req;
    req.tv_sec = (time_t)(nanos / 1000000000ull);
    req.tv_nsec = (long)(nanos % 1000000000ull);
    timespec rem;
    while (nanosleep(&req, &rem) != 0 && errno == EINTR)
        req = rem;
}
