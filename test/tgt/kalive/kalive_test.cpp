#include <gtest/gtest.h>

#include "test/support/test_clock.h"
#include "tgt/kalive/kalive.h"

namespace {

// The blocked rule and which echoes count: the time-out runs from the echoed send time, an older
// echo changes nothing, and a send time this process has not reached yet is never believed.
TEST(Kalive, BlockedRuleAndEchoes)
{
    TestClock clock(1000);
    Kalive alive;
    kalive_Init(&alive, nullptr);
    EXPECT_TRUE(kalive_IsBlocked(&alive)); // before the first attach
    // As kalive_Start leaves it, without its sending loop.
    alive.bStop = FALSE;
    alive.bBlocked = FALSE;
    alive.keepaliveTimeoutMs = 5000;
    alive.lastGoodTime = 1000;
    EXPECT_FALSE(kalive_IsBlocked(&alive));

    testNow_G = 1200; // 2 s later: an echo of the send at 1100
    kalive_KeepAlive(&alive, 1100);
    EXPECT_EQ(alive.lastGoodTime, 1100u);
    EXPECT_EQ(alive.numOfGoodMsg, 1u);

    kalive_KeepAlive(&alive, 1050); // older than the newest: counted as received only
    EXPECT_EQ(alive.lastGoodTime, 1100u);
    EXPECT_EQ(alive.numOfRcvMsg, 2u);
    EXPECT_EQ(alive.numOfGoodMsg, 1u);

    kalive_KeepAlive(&alive, 1000000); // a forged future time
    EXPECT_EQ(alive.lastGoodTime, 1100u);
    EXPECT_EQ(alive.numOfGoodMsg, 1u);

    testNow_G = 1599; // 4.99 s after the echoed send time
    EXPECT_FALSE(kalive_IsBlocked(&alive));
    testNow_G = 1600; // exactly 5 s
    EXPECT_TRUE(kalive_IsBlocked(&alive));
    testNow_G = 1650;
    kalive_KeepAlive(&alive, 1640); // a newer echo unblocks
    EXPECT_FALSE(kalive_IsBlocked(&alive));

    kalive_Pause(&alive, TRUE);
    EXPECT_TRUE(kalive_IsBlocked(&alive));
}

} // namespace
