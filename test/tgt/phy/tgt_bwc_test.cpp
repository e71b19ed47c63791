// Windowed I/O counters: the locked rate counter and the silence window on a driven clock.
#include <gtest/gtest.h>

#include "test/support/test_clock.h"
#include "test/support/tgt_test_support.h"
#include "tgt/phy/tgt_bwc.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new TgtRuntimeEnv);

// 100 ticks a second: a window of 1000 ms has frames of 10 ticks and cycles of 100.
TEST(SlidingWindow, IoOfAnEarlierCycleNoLongerCounts)
{
    TestClock clock(1000);
    TgtBwcSlidingWindow w;
    TgtBwcSlidingWindow_Init(&w, 1000, 0, 0);
    EXPECT_EQ(w.frameSizeInMS, 100u);
    EXPECT_TRUE(TgtBwcSlidingWindow_IsSilent(&w));
    testNow_G = 1095; // last frame of the cycle 1000..1099
    TgtBwcSlidingWindow_AddIO(&w, 1, 8);
    EXPECT_FALSE(TgtBwcSlidingWindow_IsSilent(&w)) << "with both maxima 0 one I/O breaks the silence";
    testNow_G = 1100; // a new cycle, only 5 ticks later
    EXPECT_TRUE(TgtBwcSlidingWindow_IsSilent(&w));
    TgtBwcSlidingWindow_Destroy(&w);
}

TEST(SlidingWindow, LimitsAllowSomeIoAndUpdateClearsTheFrames)
{
    TestClock clock(5000);
    TgtBwcSlidingWindow w;
    TgtBwcSlidingWindow_Init(&w, 2000, 2, 100);
    TgtBwcSlidingWindow_AddIO(&w, 2, 100);
    EXPECT_TRUE(TgtBwcSlidingWindow_IsSilent(&w));
    testNow_G = 5010;
    TgtBwcSlidingWindow_AddIO(&w, 1, 101);
    EXPECT_FALSE(TgtBwcSlidingWindow_IsSilent(&w)) << "LB above the maximum in one frame";
    TgtBwcSlidingWindow_UpdateParams(&w, 2000, 2, 100);
    EXPECT_TRUE(TgtBwcSlidingWindow_IsSilent(&w));
    TgtBwcSlidingWindow_Destroy(&w);
}

TEST(SlidingWindow, WindowShorterThanTenMillisecondsIsABrokenInvariant)
{
    TgtBwcSlidingWindow w;
    EXPECT_PANIC(TgtBwcSlidingWindow_Init(&w, 9, 0, 0), "frameSizeInMS == 0");
}

TEST(TgtBwc, WeightsAboveAToothAreRefusedOnlyWhenValidated)
{
    TgtBwc c;
    tgtBwc_Init(&c);
    tgtBWC_EventOccurrenceIntrn(&c, 100000, 1, FALSE);
    tgtBWC_EventOccurrenceIntrn(&c, 2048, 1, TRUE);
    EXPECT_PANIC(tgtBWC_EventOccurrenceIntrn(&c, 2049, 1, TRUE), "weight > 2048");
    tgtBwc_Destroy(&c);
}
} // namespace
