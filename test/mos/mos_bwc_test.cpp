#include <gtest/gtest.h>

#include "mos/mos_bwc.h"
#include "test/support/mos_container_support.h"
#include "test/support/test_clock.h"

namespace {

// The test clock's 100 ticks per second; it starts on a 5-second boundary.
constexpr UINT64 kTicksPerSec = 100;
constexpr UINT64 kStart = 1000 * kTicksPerSec;
void setSeconds(double secs)
{
    testNow_G = (MosTicks_Cnt)(secs * kTicksPerSec + 0.5);
}

struct Bwc : ::testing::Test {
    TestClock clock{kStart};

    void SetUp() override
    {
        MosBWC_InitParams params = {5, TRUE};
        ASSERT_EQ(mosBWCLayer_Init(&params), MOS_RC__SUCCESS);
    }
    void TearDown() override { mosBWCLayer_Destroy(); }

    static MosBWC_QueryWindow last(MosBWC_Counter *pCounter)
    {
        MosBWC_QueryWindow w;
        EXPECT_EQ(mosBWC_GetLastWindow(pCounter, &w), MOS_RC__SUCCESS);
        return w;
    }
};

} // namespace

TEST_F(Bwc, EnableStatesOfCounterAndLayer)
{
    MosBWC_InitParams off = {5, FALSE};
    ASSERT_EQ(mosBWCLayer_Init(&off), MOS_RC__SUCCESS);
    MosBWC_Counter c;
    mosBWC_Create(&c, 5);
    EXPECT_EQ(c.state, MOS_BWC__ENABLE_STATE__DEFAULT);

    // A counter left to the layer records nothing while the layer is off.
    EXPECT_FALSE(mosBWC_IsEnabled(&c));
    EXPECT_EQ(mosBWC_EventOccurrence(&c, 10, 1), MOS_RC__INVALID);
    MosBWC_QueryWindow w;
    EXPECT_EQ(mosBWC_GetLastWindow(&c, &w), MOS_RC__INVALID);
    UINT32 avgW = 99, avgO = 99;
    EXPECT_EQ(mosBWC_GetLastAvgs(&c, &avgW, &avgO), MOS_RC__INVALID);
    EXPECT_EQ(avgW, 0u);
    EXPECT_EQ(avgO, 0u);

    struct {
        MosBWC_EnableState layer;
        MosBWC_EnableState counter;
        BOOL bEnabled;
    } cases[] = {
        {MOS_BWC__ENABLE_STATE__ENABLED, MOS_BWC__ENABLE_STATE__DEFAULT, TRUE},
        {MOS_BWC__ENABLE_STATE__DISABLED, MOS_BWC__ENABLE_STATE__ENABLED, TRUE},
        {MOS_BWC__ENABLE_STATE__ENABLED, MOS_BWC__ENABLE_STATE__DISABLED, FALSE},
        {MOS_BWC__ENABLE_STATE__DISABLED, MOS_BWC__ENABLE_STATE__DEFAULT, FALSE},
    };
    for (const auto &k : cases) {
        ASSERT_EQ(mosBWC_SetActiveState(MOS_BWC__ALL_COUNTERS, k.layer), MOS_RC__SUCCESS);
        ASSERT_EQ(mosBWC_SetActiveState(&c, k.counter), MOS_RC__SUCCESS);
        EXPECT_EQ(mosBWC_IsEnabled(&c), k.bEnabled) << k.layer << "/" << k.counter;
        EXPECT_EQ(mosBWC_EventOccurrence(&c, 1, 1), k.bEnabled ? MOS_RC__SUCCESS : MOS_RC__INVALID);
        EXPECT_EQ(mosBWC_IsEnabled(MOS_BWC__ALL_COUNTERS), k.layer == MOS_BWC__ENABLE_STATE__ENABLED);
    }
    EXPECT_EQ(mosBWC_SetActiveState(MOS_BWC__ALL_COUNTERS, MOS_BWC__ENABLE_STATE__DEFAULT), MOS_RC__INVALID);
    EXPECT_EQ(mosBWC_SetActiveState(&c, (MosBWC_EnableState)3), MOS_RC__INVALID);
    EXPECT_EQ(mosBWC_SetActiveState(MOS_BWC__ALL_COUNTERS, (MosBWC_EnableState)3), MOS_RC__INVALID);
    mosBWC_Destroy(&c);
}

TEST_F(Bwc, EventsOneSecondApartReportTheEndedWindow)
{
    MosBWC_Counter c;
    mosBWC_Create(&c, 5);
    EXPECT_EQ(c.windows[0].startCNT, kStart);
    EXPECT_EQ(c.windows[0].endCNT, kStart + 5 * kTicksPerSec);

    for (int i = 0; i < 5; i++) {
        setSeconds(1000 + i);
        ASSERT_EQ(mosBWC_EventOccurrence(&c, (UINT32)(i + 1), 1), MOS_RC__SUCCESS);
    }

    // While the window runs, the last window is the one before it: nothing happened there.
    setSeconds(1004.5);
    MosBWC_QueryWindow w = last(&c);
    EXPECT_EQ(w.numOccured, 0u);
    EXPECT_EQ(w.totalWeight, 0u);

    for (double t : {1005.0, 1007.0, 1009.99}) {
        setSeconds(t);
        w = last(&c);
        EXPECT_EQ(w.numOccured, 5u) << t;
        EXPECT_EQ(w.totalWeight, 15u) << t;
        EXPECT_EQ(w.maxWeight, 5u) << t;
        EXPECT_EQ(w.minWeight, 1u) << t;
        EXPECT_EQ(w.numSeconds, 5u) << t;
    }
    UINT32 avgWeight = 0, avgOccur = 0;
    ASSERT_EQ(mosBWC_GetLastAvgs(&c, &avgWeight, &avgOccur), MOS_RC__SUCCESS);
    EXPECT_EQ(avgWeight, 3u);
    EXPECT_EQ(avgOccur, 1u);

    // A whole window after the end, the last complete window is the quiet one after it.
    for (double t : {1010.0, 1100.0}) {
        setSeconds(t);
        w = last(&c);
        EXPECT_EQ(w.numOccured, 0u) << t;
        EXPECT_EQ(w.totalWeight, 0u) << t;
        EXPECT_EQ(w.numSeconds, 0u) << t;
        ASSERT_EQ(mosBWC_GetLastAvgs(&c, &avgWeight, &avgOccur), MOS_RC__SUCCESS);
        EXPECT_EQ(avgWeight, 0u);
        EXPECT_EQ(avgOccur, 0u);
    }
    mosBWC_Destroy(&c);
}

// After an event in [1000, 1005), a second one comes after a gap: it must go into the window
// that holds it, and the window before that must report what happened there.
TEST_F(Bwc, AGapRollsToTheWindowHoldingTheEvent)
{
    struct {
        double second;
        UINT32 previousEvents; // in the window just before the second event's
        double windowStart;    // of the second event's window
    } cases[] = {
        {1005.0, 1, 1005}, {1009.99, 1, 1005}, {1010.0, 0, 1010}, {1010.01, 0, 1010},
        {1014.99, 0, 1010}, {1015.0, 0, 1015}, {1203.0, 0, 1200},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.second);
        setSeconds(1000);
        MosBWC_Counter c;
        mosBWC_Create(&c, 5);
        ASSERT_EQ(mosBWC_EventOccurrence(&c, 100, 1), MOS_RC__SUCCESS);
        setSeconds(k.second);
        ASSERT_EQ(mosBWC_EventOccurrence(&c, 7, 2), MOS_RC__SUCCESS);
        const MosBWC_Window &cur = c.windows[c.currWinIndex];
        EXPECT_EQ(cur.startCNT, (UINT64)(k.windowStart * kTicksPerSec));
        EXPECT_EQ(cur.endCNT, cur.startCNT + 5 * kTicksPerSec);
        EXPECT_EQ(cur.numOccured, 2u);

        MosBWC_QueryWindow w = last(&c);
        EXPECT_EQ(w.numOccured, k.previousEvents);
        EXPECT_EQ(w.totalWeight, k.previousEvents * 100u);

        setSeconds(k.windowStart + 5);
        w = last(&c);
        EXPECT_EQ(w.numOccured, 2u);
        EXPECT_EQ(w.totalWeight, 7u);
        EXPECT_EQ(w.numSeconds, 5u);
        mosBWC_Destroy(&c);
    }
}

TEST_F(Bwc, WindowSizesOfCounterAndLayer)
{
    MosBWC_Counter c;
    mosBWC_Create(&c, MOS_BWC__WIN_SIZE_GLOBAL);
    EXPECT_EQ(c.windows[0].endCNT - c.windows[0].startCNT, 5 * kTicksPerSec);

    EXPECT_EQ(mosBWC_ChangeWindowSize(MOS_BWC__ALL_COUNTERS, MOS_BWC__WIN_SIZE_GLOBAL), MOS_RC__INVALID);
    for (UINT32 bad : {0u, 3601u}) {
        EXPECT_EQ(mosBWC_ChangeWindowSize(&c, bad), MOS_RC__INVALID);
        EXPECT_EQ(mosBWC_ChangeWindowSize(MOS_BWC__ALL_COUNTERS, bad), MOS_RC__INVALID);
    }
    EXPECT_EQ(mosBWC_ChangeWindowSize(&c, 3600), MOS_RC__SUCCESS);
    EXPECT_EQ(mosBWC_ChangeWindowSize(&c, MOS_BWC__WIN_SIZE_GLOBAL), MOS_RC__SUCCESS);

    // The counter follows the layer from its next window on.
    ASSERT_EQ(mosBWC_ChangeWindowSize(MOS_BWC__ALL_COUNTERS, 10), MOS_RC__SUCCESS);
    ASSERT_EQ(mosBWC_EventOccurrence(&c, 1, 1), MOS_RC__SUCCESS);
    setSeconds(1005);
    ASSERT_EQ(mosBWC_EventOccurrence(&c, 1, 1), MOS_RC__SUCCESS);
    EXPECT_EQ(c.windows[c.currWinIndex].endCNT, (UINT64)1015 * kTicksPerSec);
    setSeconds(1015);
    EXPECT_EQ(last(&c).numSeconds, 10u);

    // No parameters: 5-second windows, counters off.
    ASSERT_EQ(mosBWCLayer_Init(nullptr), MOS_RC__SUCCESS);
    EXPECT_FALSE(mosBWC_IsEnabled(MOS_BWC__ALL_COUNTERS));
    MosBWC_Counter d;
    mosBWC_Create(&d, MOS_BWC__WIN_SIZE_GLOBAL);
    EXPECT_EQ(d.windows[0].endCNT - d.windows[0].startCNT, 5 * kTicksPerSec);
}

TEST_F(Bwc, CreatingWithAnInvalidSizeIsABrokenInvariant)
{
    MosBWC_Counter c;
    EXPECT_PANIC(mosBWC_Create(&c, 0), "rc == MOS_RC__SUCCESS");
}
