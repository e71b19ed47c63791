#include "mos/mos_ticks_intrn.h"

#include <atomic>
#include <ctime>
#include <sys/resource.h>
#include <unistd.h>

#include "mos/mos_assert.h"
#include "mos/mos_trace.h"

// The kernel reports times to user space in units of 1/100 s on Linux; the values stand until
// mosTicks_Init has read the real rate.
MosTicks_Global mosTicks_G = {10, FALSE, mosTicks_GetCurrentTick};

namespace {
UINT64 ticksPerSecond_G = 100;
std::atomic<PMosTicks_GetTicksFunc> testClock_G{nullptr};
std::atomic<long> testOsFreq_G{0};
} // namespace

long mosTicks_GetOsFreq(void)
{
    long freq = testOsFreq_G.load(std::memory_order_relaxed);
    if (freq != 0)
        return freq;
    long sysConfRC = sysconf(_SC_CLK_TCK);
    MOS_ASSERT(sysConfRC != -1);
    return sysConfRC;
}

Mos_RC mosTicks_GetFreqDetails(UINT64 *pMult, BOOL *pBMultShifted)
{
    long freq = mosTicks_GetOsFreq();
    if (freq <= 0 || freq > 1000 || (1000 % freq) != 0) {
        MOS_TRACE(MOS_COMP_MOS, MOS_FREQ_HIGH, "Cannot handle frequency %ld", freq);
        return MOS_RC__ERROR;
    }
    *pMult = (UINT64)(1000 / freq);
    *pBMultShifted = FALSE;
    return MOS_RC__SUCCESS;
}

Mos_RC mosTicks_Init(const MosTicks_InitParams *pArgs)
{
    BOOL bRealThreadTicks = (pArgs != nullptr) && pArgs->bUmtRealThreadTicks;
    UINT64 mult = 0;
    BOOL bShifted = FALSE;
    Mos_RC rc = mosTicks_GetFreqDetails(&mult, &bShifted);
    if (rc != MOS_RC__SUCCESS)
        return rc;
    mosTicks_G.pGetTicksThreadFunc =
        bRealThreadTicks ? mosTicks_GetCurrentUsrRunThreadTick : mosTicks_GetCurrentTick;
    mosTicks_G.mult = mult;
    mosTicks_G.bMultShifted = bShifted;
    ticksPerSecond_G = 1000 / mult;
    return MOS_RC__SUCCESS;
}

void mosTicks_Destroy(void) {}

// The monotonic clocks count from boot, like the kernel's tick counter, but are read without
// entering the kernel. A test clock stands in for both.
static inline MosTicks_Cnt mosTicks_ReadClock(clockid_t clockId)
{
    PMosTicks_GetTicksFunc pClock = testClock_G.load(std::memory_order_relaxed);
    if (__builtin_expect(pClock != nullptr, 0))
        return pClock();
    timespec now;
    clock_gettime(clockId, &now);
    return (MosTicks_Cnt)now.tv_sec * ticksPerSecond_G +
           (MosTicks_Cnt)now.tv_nsec * ticksPerSecond_G / 1000000000ull;
}

MosTicks_Cnt mosTicks_GetCurrentTick(void)
{
    return mosTicks_ReadClock(CLOCK_MONOTONIC);
}

MosTicks_Cnt mosTicks_GetCurrentThreadTick(void)
{
    return mosTicks_G.pGetTicksThreadFunc();
}

MosTicks_Cnt mosTicks_GetCurrentTickCoarse(void)
{
    return mosTicks_ReadClock(CLOCK_MONOTONIC_COARSE);
}

MosTicks_Cnt mosTicks_GetCurrentThreadTickCoarse(void)
{
    if (__builtin_expect(mosTicks_G.pGetTicksThreadFunc == mosTicks_GetCurrentTick, 1))
        return mosTicks_GetCurrentTickCoarse();
    return mosTicks_G.pGetTicksThreadFunc();
}

BOOL mosTicks_ThreadClockIsTickClock(void)
{
    return mosTicks_G.pGetTicksThreadFunc == mosTicks_GetCurrentTick ? TRUE : FALSE;
}

MosTicks_Cnt mosTicks_GetCurrentUsrRunThreadTick(void)
{
    rusage usage;
    int ret = getrusage(RUSAGE_THREAD, &usage);
    MOS_ASSERT(ret == 0);
    UINT64 millis = (UINT64)usage.ru_utime.tv_sec * 1000 + ((UINT64)usage.ru_utime.tv_usec + 999) / 1000;
    return mosTicks_MillisToTicks(millis);
}

UINT64 mosTicks_TicksToMillis(MosTicks_Cnt tickCNT)
{
    UINT64 millis;
    // A huge tick count (a budget of "forever") saturates instead of wrapping to a small one.
    if (__builtin_mul_overflow(tickCNT, mosTicks_G.mult, &millis))
        return ~(UINT64)0;
    if (millis == 0 && tickCNT != 0)
        return 1;
    return millis;
}

MosTicks_Cnt mosTicks_MillisToTicks(UINT64 millis)
{
    if (millis > 4294967295ull)
        millis = 4294967295ull;
    MosTicks_Cnt ticks = millis / mosTicks_G.mult;
    if (ticks == 0 && millis != 0)
        return 1;
    return ticks;
}

MosTicks_Cnt mosTicks_GetFreq(void)
{
    return mosTicks_MillisToTicks(1000);
}

MosTicks_Cnt mosTicks_DiffInTicks(MosTicks_Cnt bigTick, MosTicks_Cnt smallTick)
{
    return bigTick - smallTick;
}

BOOL mosTicks_IsFirstBigger(MosTicks_Cnt firstOP, MosTicks_Cnt secondOP)
{
    return (INT64)(firstOP - secondOP) > 0 ? TRUE : FALSE;
}

UINT64 mosTicks_TimeLimitMilliBudget(MosTicks_Cnt deadlineTimeTick)
{
    if (deadlineTimeTick == 0)
        return 18446744073709551615ull;
    MosTicks_Cnt now = mosTicks_GetCurrentTick();
    if (!mosTicks_IsFirstBigger(deadlineTimeTick, now))
        return 0;
    return mosTicks_TicksToMillis(deadlineTimeTick - now);
}

void mosTicks_SetClockForTest(PMosTicks_GetTicksFunc pClock)
{
    testClock_G.store(pClock, std::memory_order_relaxed);
}

void mosTicks_SetOsFreqForTest(long ticksPerSecond)
{
    testOsFreq_G.store(ticksPerSecond, std::memory_order_relaxed);
}
