#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

#include "mos/mos_ticks_intrn.h"
#include "mos/mos_time.h"
#include "test/support/panic_expect.h"

namespace {

MosTicks_Cnt fakeNow_G = 0;
MosTicks_Cnt fakeClock()
{
    return fakeNow_G;
}

struct Ticks : ::testing::Test {
    void SetUp() override
    {
        mosTicks_SetOsFreqForTest(100);
        ASSERT_EQ(mosTicks_Init(nullptr), MOS_RC__SUCCESS);
    }
    void TearDown() override
    {
        mosTicks_SetClockForTest(nullptr);
        mosTicks_SetOsFreqForTest(0);
        mosTicks_Init(nullptr);
    }
};

} // namespace

TEST_F(Ticks, ConversionsAtOneHundredTicksPerSecond)
{
    EXPECT_EQ(mosTicks_G.mult, 10u);
    EXPECT_FALSE(mosTicks_G.bMultShifted);
    EXPECT_EQ(mosTicks_GetFreq(), 100u);
    struct {
        UINT64 millis;
        MosTicks_Cnt ticks;
    } toTicks[] = {{0, 0}, {1, 1}, {5, 1}, {10, 1}, {19, 1}, {25, 2}, {1000, 100},
                   // Milliseconds are clamped to 32 bits before the division.
                   {4294967295ull, 429496729}, {1ull << 40, 429496729}};
    for (auto &c : toTicks)
        EXPECT_EQ(mosTicks_MillisToTicks(c.millis), c.ticks) << c.millis << " ms";
    struct {
        MosTicks_Cnt ticks;
        UINT64 millis;
    } toMillis[] = {{0, 0}, {1, 10}, {3, 30}, {1ull << 62, ~0ull}, {~0ull, ~0ull}};
    for (auto &c : toMillis)
        EXPECT_EQ(mosTicks_TicksToMillis(c.ticks), c.millis) << c.ticks << " ticks";
}

TEST_F(Ticks, RatesThatDoNotDivideASecondFailStartUp)
{
    struct {
        long rate;
        Mos_RC rc;
        UINT64 mult;
    } cases[] = {{300, MOS_RC__ERROR, 0}, {2000, MOS_RC__ERROR, 0}, {1000, MOS_RC__SUCCESS, 1},
                 {250, MOS_RC__SUCCESS, 4}, {100, MOS_RC__SUCCESS, 10}};
    for (auto &c : cases) {
        mosTicks_SetOsFreqForTest(c.rate);
        UINT64 mult = 0;
        BOOL bShifted = TRUE;
        EXPECT_EQ(mosTicks_GetFreqDetails(&mult, &bShifted), c.rc) << c.rate;
        EXPECT_EQ(mosTicks_Init(nullptr), c.rc) << c.rate;
        if (c.rc == MOS_RC__SUCCESS) {
            EXPECT_EQ(mult, c.mult);
            EXPECT_EQ(mosTicks_G.mult, c.mult);
            EXPECT_FALSE(bShifted);
        }
    }
    mosTicks_SetOsFreqForTest(0);
    EXPECT_EQ(mosTicks_GetOsFreq(), sysconf(_SC_CLK_TCK));
}

TEST_F(Ticks, WrapSafeComparison)
{
    const MosTicks_Cnt max = ~0ull;
    struct {
        MosTicks_Cnt first, second;
        BOOL bBigger;
    } cases[] = {{2, 1, TRUE}, {1, 2, FALSE}, {7, 7, FALSE}, {5, max - 2, TRUE}, {max - 2, 5, FALSE},
                 {0, max, TRUE}, {max, 0, FALSE}};
    for (auto &c : cases) {
        EXPECT_EQ(mosTicks_IsFirstBigger(c.first, c.second), c.bBigger) << c.first << " vs " << c.second;
    }
    EXPECT_EQ(mosTicks_DiffInTicks(5, max - 2), 8u);
}

TEST_F(Ticks, MilliBudgetOnADrivenClock)
{
    mosTicks_SetClockForTest(fakeClock);
    fakeNow_G = 1000;
    EXPECT_EQ(mosTicks_GetCurrentTick(), 1000u);
    EXPECT_EQ(mosTicks_TimeLimitMilliBudget(0), 18446744073709551615ull);
    EXPECT_EQ(mosTicks_TimeLimitMilliBudget(1000), 0u);
    EXPECT_EQ(mosTicks_TimeLimitMilliBudget(999), 0u);
    EXPECT_EQ(mosTicks_TimeLimitMilliBudget(1005), 50u);
    // A deadline set just before the counter wraps is still in the future after it wraps.
    fakeNow_G = ~0ull - 1;
    EXPECT_EQ(mosTicks_TimeLimitMilliBudget(3), 50u);
    fakeNow_G = 4;
    EXPECT_EQ(mosTicks_TimeLimitMilliBudget(3), 0u);
}

TEST_F(Ticks, RealClockAdvancesWithTime)
{
    MosTicks_Cnt before = mosTicks_GetCurrentTick();
    timespec req{0, 30 * 1000 * 1000};
    while (nanosleep(&req, &req) != 0) {
    }
    // At 100 ticks a second, 30 ms cover at least two tick boundaries.
    EXPECT_GE(mosTicks_DiffInTicks(mosTicks_GetCurrentTick(), before), 2u);
    EXPECT_EQ(mosTicks_GetCurrentThreadTick() != 0, true);
}

TEST_F(Ticks, ThreadClockCanBeCpuTime)
{
    MosTicks_InitParams params{TRUE};
    ASSERT_EQ(mosTicks_Init(&params), MOS_RC__SUCCESS);
    EXPECT_EQ(mosTicks_G.pGetTicksThreadFunc, mosTicks_GetCurrentUsrRunThreadTick);
    MosTicks_Cnt start = mosTicks_GetCurrentThreadTick();
    // Burn user CPU time until the per-thread clock moves: it must, and by little.
    volatile UINT64 sink = 0;
    while (mosTicks_GetCurrentThreadTick() == start)
        for (int i = 0; i < 100000; i++)
            sink = sink + i;
    EXPECT_LT(mosTicks_GetCurrentThreadTick() - start, 100u);
    ASSERT_EQ(mosTicks_Init(nullptr), MOS_RC__SUCCESS);
    EXPECT_EQ(mosTicks_G.pGetTicksThreadFunc, mosTicks_GetCurrentTick);
}

// ---- Wall-clock time ----

namespace {
struct LocalTimeZone : ::testing::Test {
    void SetUp() override
    {
        const char *pTz = getenv("TZ");
        bHadTz_ = pTz != nullptr;
        if (bHadTz_)
            savedTz_ = pTz;
    }
    void TearDown() override
    {
        if (bHadTz_)
            setenv("TZ", savedTz_.c_str(), 1);
        else
            unsetenv("TZ");
        tzset();
    }
    static void use(const char *pTz)
    {
        setenv("TZ", pTz, 1);
        tzset();
    }
    bool bHadTz_ = false;
    std::string savedTz_;
};
} // namespace

TEST(Time, KindsAndArithmetic)
{
    MosTime now = mosTime_GetCurrentTime();
    EXPECT_FALSE(mosTime_IsRelative(now));
    EXPECT_TRUE(mosTime_IsRelative(799999999));
    EXPECT_FALSE(mosTime_IsRelative(800000000));
    EXPECT_FALSE(mosTime_IsRelative(-800000000));
    EXPECT_EQ(mosTime_AddSeconds(now, 60), now + 60);
    EXPECT_EQ(mosTime_AddSeconds(100, -30), 70);
    EXPECT_EQ(mosTime_DiffSeconds(now, now + 90), 90);
    EXPECT_EQ(mosTime_DiffSeconds(now + 90, now), -90);
    EXPECT_EQ(mosTime_DiffDays(now, now + 3 * 86400 + 86399), 3);
    EXPECT_EQ(mosTime_Compare(now, now + 1), -1);
    EXPECT_EQ(mosTime_Compare(now + 1, now), 1);
    EXPECT_EQ(mosTime_Compare(now, now), 0);
    // Mixed kinds are reported and still compared.
    EXPECT_EQ(mosTime_Compare(now, 100), 1);
    EXPECT_EQ(mosTime_Compare(100, now), -1);
}

TEST(TimeDeath, BrokenTimeArithmeticPanics)
{
    MosTime now = mosTime_GetCurrentTime();
    EXPECT_PANIC(mosTime_AddSeconds(10, 800000000), "");
    // The sum would turn an absolute time into a relative one.
    EXPECT_PANIC(mosTime_AddSeconds(800000001, -700000000), "");
    EXPECT_PANIC(mosTime_DiffSeconds(0, now), "");
}

TEST(Time, TimeValMilliseconds)
{
    struct {
        timeval start;
        INT64 deltaMs; // positive: add, negative: subtract
        timeval expected;
    } cases[] = {
        {{1, 500000}, 600, {2, 100000}},   {{1, 500250}, 2500, {4, 250}},
        {{1, 500250}, -500, {1, 250}},     {{1, 500250}, -1500, {0, 250}},
        {{1, 500250}, -2000, {0, 250}},    {{0, 999}, -1, {0, 999}},
        {{10, 0}, -10000, {0, 0}},
    };
    for (auto &c : cases) {
        timeval tv = c.start;
        if (c.deltaMs >= 0)
            mosTimeVal_AddMilliseconds(&tv, (UINT64)c.deltaMs);
        else
            mosTimeVal_DecMilliseconds(&tv, (UINT64)-c.deltaMs);
        EXPECT_EQ(tv.tv_sec, c.expected.tv_sec) << c.start.tv_sec << "." << c.start.tv_usec << " " << c.deltaMs;
        EXPECT_EQ(tv.tv_usec, c.expected.tv_usec) << c.start.tv_sec << "." << c.start.tv_usec << " " << c.deltaMs;
    }
}

TEST_F(LocalTimeZone, DetailsTodayAndOffset)
{
    use("UTC");
    timeval tv{1497139200 + 3723, 7}; // 2017-06-11 01:02:03.000007 UTC
    UINT32 year, month, day, hour, min, sec, usec;
    mosTimeVal_GetDetails(&tv, &year, &month, &day, &hour, &min, &sec, &usec);
    EXPECT_EQ(year, 2017u);
    EXPECT_EQ(month, 6u);
    EXPECT_EQ(day, 11u);
    EXPECT_EQ(hour, 1u);
    EXPECT_EQ(min, 2u);
    EXPECT_EQ(sec, 3u);
    EXPECT_EQ(usec, 7u);
    mosTimeVal_GetDetails(&tv, nullptr, nullptr, &day, nullptr, nullptr, nullptr, nullptr);
    mos_CurTimeDetails(&year, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr);
    EXPECT_GE(year, 2024u);
    EXPECT_EQ(mos_TimeZoneOffset(), 0);
    MosTime today = mosTime_GetToday();
    EXPECT_EQ(today % 86400, 0);
    EXPECT_LT(mosTime_GetCurrentTime() - today, 86400);

    use("EST5");
    EXPECT_EQ(mos_TimeZoneOffset(), -300);
    mosTimeVal_GetDetails(&tv, nullptr, nullptr, &day, &hour, nullptr, nullptr, nullptr);
    EXPECT_EQ(day, 10u);
    EXPECT_EQ(hour, 20u);
    today = mosTime_GetToday();
    EXPECT_EQ((today - 5 * 3600) % 86400, 0);
    struct tm local;
    mos_TimeToLocalTime(1497139200, &local);
    EXPECT_EQ(local.tm_hour, 19);
}

TEST(Time, StartUpStamps)
{
    MosTime before = mosTime_GetCurrentTime();
    mosTime_InitSystemUpTimestamp();
    EXPECT_GE(mosTime_GetSystemStartUpTime(), before);
    EXPECT_LE(mosTime_GetSystemStartUpTime(), mosTime_GetCurrentTime());
    timeval tv;
    mosTime_GetSystemStartUpTimeVal(&tv);
    EXPECT_LE(tv.tv_sec - mosTime_GetSystemStartUpTime(), 1);
    EXPECT_FALSE(mosTicks_IsFirstBigger(mosTime_GetSystemStartUpTicks(), mosTicks_GetCurrentTick()));
}
