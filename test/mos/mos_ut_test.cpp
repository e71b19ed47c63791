#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "mos/mos_ticks.h"
#include "mos/mos_ut.h"
#include "test/support/panic_expect.h"

namespace {

struct FaultHooks : ::testing::Test {
    void SetUp() override
    {
        ASSERT_EQ(mosTicks_Init(nullptr), MOS_RC__SUCCESS);
        memset(MOS_UT__HOOKS_TABLE, 0, sizeof(MOS_UT__HOOKS_TABLE));
    }
    void TearDown() override { memset(MOS_UT__HOOKS_TABLE, 0, sizeof(MOS_UT__HOOKS_TABLE)); }
};

MosUTHookEntry entryWith(UINT64 threshParam, UINT64 actionParam = 0)
{
    MosUTHookEntry e{};
    e.threshFuncParam = threshParam;
    e.actionFuncParam = actionParam;
    return e;
}

int evaluations_G = 0;

UINT64 countedCtx(UINT64 v)
{
    evaluations_G++;
    return v;
}

// A hooked function as product code writes it; with hooks off the hook must vanish entirely.
int hookedRead(UINT64 ctx)
{
    MOS_UT_HOOK_RETURN(MOS_UT_ENTRY__osNet_Recv, countedCtx(ctx), int);
    MOS_UT_HOOK(MOS_UT_ENTRY__osNet_Send, countedCtx(ctx));
    return 1;
}

} // namespace

TEST_F(FaultHooks, NameLookups)
{
    struct Case {
        UINT32 (*lookup)(const CHAR_A *);
        const char *name;
        UINT32 expected;
    } cases[] = {
        {mosUt_GetThreshFuncIdFromName, "mosUtThresh_IsOdd", MOS_UT_THRESH_FUNC__IsOdd},
        {mosUt_GetThreshFuncIdFromName, "None", 0},
        {mosUt_GetThreshFuncIdFromName, "mosUtThresh_CountTimes", 9},
        {mosUt_GetThreshFuncIdFromName, "mosUtThresh_isodd", MOS_UT_THRESH_FUNC__LAST},
        {mosUt_GetThreshFuncIdFromName, "no such function", 10},
        {mosUt_GetThreshFuncIdFromName, nullptr, 10},
        {mosUt_GetEntryIdFromName, "ChooseSendPath", 0},
        {mosUt_GetEntryIdFromName, "T10Dif_UtHook_TestAndSetCmp", 15},
        {mosUt_GetEntryIdFromName, "suspendUThread", 20},
        {mosUt_GetEntryIdFromName, "osNet_Recv_", MOS_UT_ENTRY__LAST},
        {mosUt_GetActionFuncIdFromName, "mosUtAction_DelayThread", 5},
        {mosUt_GetActionFuncIdFromName, "None", 0},
        {mosUt_GetActionFuncIdFromName, "", MOS_UT_ACTION_FUNC__LAST},
    };
    for (const Case &c : cases)
        EXPECT_EQ(c.lookup(c.name), c.expected) << (c.name != nullptr ? c.name : "(null)");
    EXPECT_STREQ(entryNamesTable[MOS_UT_ENTRY__LAST], "INVALID");
    EXPECT_STREQ(threshFuncNamesTable[MOS_UT_THRESH_FUNC__LAST], "INVALID");
    EXPECT_STREQ(actionFuncNamesTable[MOS_UT_ACTION_FUNC__LAST], "INVALID");
    // Every table name is found at its own index.
    for (UINT32 i = 0; i < MOS_UT_ENTRY__LAST; i++)
        EXPECT_EQ(mosUt_GetEntryIdFromName(entryNamesTable[i]), i);
    for (UINT32 i = 0; i < MOS_UT_THRESH_FUNC__LAST; i++)
        EXPECT_EQ(mosUt_GetThreshFuncIdFromName(threshFuncNamesTable[i]), i);
    for (UINT32 i = 0; i < MOS_UT_ACTION_FUNC__LAST; i++)
        EXPECT_EQ(mosUt_GetActionFuncIdFromName(actionFuncNamesTable[i]), i);
}

TEST_F(FaultHooks, ThresholdFunctions)
{
    struct Case {
        UINT32 func;
        UINT64 param;
        UINT64 ctx;
        BOOL fires;
    } cases[] = {
        {MOS_UT_THRESH_FUNC__Always, 0, 12345, TRUE},
        {MOS_UT_THRESH_FUNC__EqualsTo, 7, 7, TRUE},
        {MOS_UT_THRESH_FUNC__EqualsTo, 7, 8, FALSE},
        {MOS_UT_THRESH_FUNC__BiggerThan, 7, 8, TRUE},
        {MOS_UT_THRESH_FUNC__BiggerThan, 7, 7, FALSE},
        {MOS_UT_THRESH_FUNC__BiggerThan, 7, ~0ull, TRUE}, // unsigned comparison
        {MOS_UT_THRESH_FUNC__SmallerThan, 7, 6, TRUE},
        {MOS_UT_THRESH_FUNC__SmallerThan, 7, 7, FALSE},
        {MOS_UT_THRESH_FUNC__SmallerThan, 7, ~0ull, FALSE},
        {MOS_UT_THRESH_FUNC__DifferentThan, 7, 7, FALSE},
        {MOS_UT_THRESH_FUNC__DifferentThan, 7, 0, TRUE},
        {MOS_UT_THRESH_FUNC__RandOneOf, 0, 0, TRUE},
        {MOS_UT_THRESH_FUNC__RandOneOf, 1, 0, TRUE},
        {MOS_UT_THRESH_FUNC__IsEven, 0, 4, TRUE},
        {MOS_UT_THRESH_FUNC__IsEven, 0, 0x100000003ull, FALSE},
        {MOS_UT_THRESH_FUNC__IsEven, 0, 0x100000000ull, TRUE}, // only the low 32 bits count
        {MOS_UT_THRESH_FUNC__IsOdd, 0, 5, TRUE},
        {MOS_UT_THRESH_FUNC__IsOdd, 0, 0x100000000ull, FALSE},
        {MOS_UT_THRESH_FUNC__CountTimes, 0, 0, FALSE},
    };
    for (const Case &c : cases) {
        MosUTHookEntry e = entryWith(c.param);
        EXPECT_EQ(mosUt_ThreshFuncs[c.func](&e, c.ctx), c.fires)
            << threshFuncNamesTable[c.func] << " param " << c.param << " ctx " << c.ctx;
    }
    EXPECT_EQ(mosUt_ThreshFuncs[MOS_UT_THRESH_FUNC__None], nullptr);

    MosUTHookEntry e = entryWith(3);
    const BOOL expected[] = {TRUE, TRUE, TRUE, FALSE, FALSE, FALSE};
    for (BOOL fires : expected)
        EXPECT_EQ(mosUtThresh_CountTimes(&e, 0), fires);
    EXPECT_EQ(e.threshFuncParam, 0u);
}

TEST_F(FaultHooks, ActionFunctions)
{
    MosUTHookEntry e = entryWith(0, 42);
    EXPECT_EQ(mosUtAction_ReturnConstant(&e, 9), 42u);
    EXPECT_EQ(mosUtAction_ReturnUserCtx(&e, 9), 9u);
    for (int i = 0; i < 20; i++)
        EXPECT_LT(mosUtAction_ReturnRandLimited(&e, 0), 42u);
    e.actionFuncParam = 10000;
    EXPECT_EQ(mosUtAction_SpinInPlace(&e, 0), 10000u);

    e.actionFuncParam = 30;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(mosUtAction_DelayThread(&e, 0), 30u);
    // Ticks are coarse; the wait is at least one tick short of the request, never less.
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(10));
    e.actionFuncParam = 0;
    EXPECT_EQ(mosUtAction_DelayThread(&e, 0), 0u);

    EXPECT_PANIC(mosUtAction_ReturnRandLimited(&e, 0), "");
}

TEST_F(FaultHooks, ProductBuildHasNoLiveHooks)
{
    // Configuration is accepted and not stored.
    EXPECT_EQ(mosUt_ConfigureEntry(MOS_UT_ENTRY__osNet_Recv, MOS_UT_THRESH_FUNC__Always, 0,
                                   MOS_UT_ACTION_FUNC__ReturnConstant, 5, TRUE),
              MOS_RC__SUCCESS);
    MosUTConfEntry conf{};
    strcpy(conf.entryName, "osNet_Send");
    strcpy(conf.threshFuncName, "mosUtThresh_Always");
    strcpy(conf.actionFuncName, "mosUtAction_ReturnConstant");
    conf.bReturnFromHook = TRUE;
    EXPECT_EQ(mosUt_DigestConfArray(&conf, 1), MOS_RC__SUCCESS);
    for (const MosUTHookEntry &e : MOS_UT__HOOKS_TABLE)
        EXPECT_EQ(e.threshFuncId, 0u);

    // Even an armed entry does nothing: the hook points are empty, their arguments unevaluated.
    MOS_UT__HOOKS_TABLE[MOS_UT_ENTRY__osNet_Recv] = {MOS_UT_THRESH_FUNC__Always, 0,
                                                      MOS_UT_ACTION_FUNC__ReturnConstant, 5, TRUE};
    evaluations_G = 0;
    EXPECT_EQ(hookedRead(3), 1);
    EXPECT_EQ(evaluations_G, 0);

    EXPECT_EQ(mosUt_LayerInit(), MOS_RC__SUCCESS);
    mosUt_LayerFinit();
}
