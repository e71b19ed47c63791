// A test build with hook points switched on: this file's hook points are live.
#define MOS_UT_HOOKS_ENABLED 1

#include <gtest/gtest.h>

#include <cstring>

#include "mos/mos_ut.h"

namespace {

int sideEffects_G = 0;

int hookedSend(UINT64 bytes)
{
    MOS_UT_HOOK_RETURN(MOS_UT_ENTRY__osNet_Send, bytes, int);
    sideEffects_G++;
    return static_cast<int>(bytes);
}

void hookedSuspend(UINT64 ctx)
{
    MOS_UT_HOOK_RETURN_VOID(MOS_UT_ENTRY__suspendUThread, ctx);
    sideEffects_G++;
}

struct LiveHooks : ::testing::Test {
    void SetUp() override
    {
        memset(MOS_UT__HOOKS_TABLE, 0, sizeof(MOS_UT__HOOKS_TABLE));
        sideEffects_G = 0;
    }
    void TearDown() override { memset(MOS_UT__HOOKS_TABLE, 0, sizeof(MOS_UT__HOOKS_TABLE)); }
};

} // namespace

TEST_F(LiveHooks, ThresholdDecidesAndActionValueIsReturned)
{
    MOS_UT__HOOKS_TABLE[MOS_UT_ENTRY__osNet_Send] = {MOS_UT_THRESH_FUNC__EqualsTo, 100,
                                                     MOS_UT_ACTION_FUNC__ReturnConstant, static_cast<UINT64>(-104),
                                                     TRUE};
    EXPECT_EQ(hookedSend(99), 99);
    EXPECT_EQ(hookedSend(100), -104);
    EXPECT_EQ(sideEffects_G, 1);

    // Without bReturnFromHook the action runs and the function goes on.
    MOS_UT__HOOKS_TABLE[MOS_UT_ENTRY__osNet_Send].bReturnFromHook = FALSE;
    EXPECT_EQ(hookedSend(100), 100);

    // Threshold 0 is off, whatever the rest says.
    MOS_UT__HOOKS_TABLE[MOS_UT_ENTRY__osNet_Send].threshFuncId = MOS_UT_THRESH_FUNC__None;
    MOS_UT__HOOKS_TABLE[MOS_UT_ENTRY__osNet_Send].bReturnFromHook = TRUE;
    EXPECT_EQ(hookedSend(100), 100);
}

TEST_F(LiveHooks, CountTimesFiresTheNextNCalls)
{
    MOS_UT__HOOKS_TABLE[MOS_UT_ENTRY__suspendUThread] = {MOS_UT_THRESH_FUNC__CountTimes, 2,
                                                         MOS_UT_ACTION_FUNC__None, 0, TRUE};
    for (int i = 0; i < 5; i++)
        hookedSuspend(0);
    EXPECT_EQ(sideEffects_G, 3);
}
