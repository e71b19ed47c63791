// The root object: its settings and their refusals, the block state and its hook, the whitelist,
// the identity it draws and the keep-alive thresholds it hands the path manager.
#include <gtest/gtest.h>

#include "mos/mos_diag_counters.h"
#include "test/support/net_support.h"
#include "test/support/umt_test_support.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new NetTestRuntimeEnv);

int toggles_G = 0;
void CountToggle(void *pArg)
{
    (*static_cast<int *>(pArg))++;
}

class NetObject : public ::testing::Test {
  protected:
    void SetUp() override
    {
        toggles_G = 0;
        NetCallback cb;
        net_InitEmptyNetCallback(&cb);
        cb.pOnNetPausedToggleFunc = CountToggle;
        cb.pOnNetPausedToggleArg = &toggles_G;
        p_ = netTest_Create(nullptr, &cb);
    }
    void TearDown() override { netTest_Destroy(p_); }
    Net *net() { return &p_->net; }
    std::unique_ptr<NetForTest> p_;
};
} // namespace

TEST_F(NetObject, SocketBufferSizesRefuseBadValuesAndBumpTheGenerationOnChange)
{
    struct Case {
        UINT32 snd, rcv;
        Mos_RC rc;
        UINT64 wantSnd, wantRcv;
    };
    const Case cases[] = {
        {0, 0, MOS_RC__PARAMETER_OUT_OF_RANGE, 0, 0},      {63, 0, MOS_RC__PARAMETER_OUT_OF_RANGE, 0, 0},
        {0, 131073, MOS_RC__PARAMETER_OUT_OF_RANGE, 0, 0}, {64, 0, MOS_RC__SUCCESS, 64, 0},
        {0, 131072, MOS_RC__SUCCESS, 64, 131072},          {131072, 1, MOS_RC__PARAMETER_OUT_OF_RANGE, 64, 131072},
    };
    for (const Case &c : cases) {
        UINT64 snd = 0, rcv = 0;
        const UINT8 genBefore = net_GetSocketBufferSizes(net(), &snd, &rcv);
        EXPECT_EQ(net_SetSocketBufferSize(net(), c.snd, c.rcv), c.rc) << c.snd << "/" << c.rcv;
        const UINT8 genAfter = net_GetSocketBufferSizes(net(), &snd, &rcv);
        EXPECT_EQ(snd, c.wantSnd);
        EXPECT_EQ(rcv, c.wantRcv);
        EXPECT_EQ(genAfter, (UINT8)(genBefore + (c.rc == MOS_RC__SUCCESS ? 1 : 0)));
    }
}

TEST_F(NetObject, BlockStateCallsTheHookOnFlipsAndWakesBufferWaitersWheneverCleared)
{
    NetPathMgr *pMgr = &net()->pathMgr;
    const UINT32 flips = mosDiagCounters_Get(MOS_DIAG_COUNTER__NET_PAUSED_TOGGLE);
    UINT32 freeId = netPathMgr_GetFreeId(pMgr);

    net_SetBlockState(net(), TRUE);
    net_SetBlockState(net(), TRUE);
    EXPECT_TRUE(net_IsPaused(net()));
    EXPECT_EQ(toggles_G, 1);
    EXPECT_EQ(netPathMgr_GetFreeId(pMgr), freeId); // blocking wakes nobody

    net_SetBlockState(net(), FALSE);
    net_SetBlockState(net(), FALSE);
    EXPECT_FALSE(net_IsPaused(net()));
    EXPECT_EQ(toggles_G, 2);
    EXPECT_EQ(netPathMgr_GetFreeId(pMgr), freeId + 2); // every clear wakes the waiters
    EXPECT_EQ(mosDiagCounters_Get(MOS_DIAG_COUNTER__NET_PAUSED_TOGGLE), flips + 2);
}

TEST_F(NetObject, WhitelistIsEnabledByItsFirstAddressAndDisabledByRemovingTheLast)
{
    NetAddress a, local;
    ASSERT_EQ(netAddress_BuildFromString(&a, "10.1.2.3", 7072), MOS_RC__SUCCESS);
    ASSERT_EQ(netAddress_BuildFromString(&local, "127.0.0.1", 7072), MOS_RC__SUCCESS);
    PackedNetAddress packed;
    netAddress_GetPacked(&a, &packed);

    EXPECT_TRUE(net_IsPeerAllowed(net(), &a));
    EXPECT_EQ(net_RmvAddressFromWhiteList(net(), &packed), MOS_RC__NOT_FOUND);
    EXPECT_EQ(net_AddAddressToWhiteList(net(), &packed), MOS_RC__SUCCESS);
    EXPECT_TRUE(net()->whitelistEnabled);
    EXPECT_EQ(net_AddAddressToWhiteList(net(), &packed), MOS_RC__ALREADY_EXISTS);
    EXPECT_TRUE(net_IsAddressInWhiteList(net(), &packed));

    NetAddress other;
    ASSERT_EQ(netAddress_BuildFromString(&other, "10.1.2.4", 7072), MOS_RC__SUCCESS);
    EXPECT_FALSE(net_IsPeerAllowed(net(), &other));
    EXPECT_TRUE(net_IsPeerAllowed(net(), &a));
    EXPECT_TRUE(net_IsPeerAllowed(net(), &local)); // the local host is always let in

    EXPECT_EQ(net_RmvAddressFromWhiteList(net(), &packed), MOS_RC__SUCCESS);
    EXPECT_FALSE(net()->whitelistEnabled);
    EXPECT_TRUE(net_IsPeerAllowed(net(), &other));
}

TEST_F(NetObject, SendTimeoutSettersRefuseOutOfRangeValues)
{
    EXPECT_EQ(net_SetSendTimeoutInMilli(net(), 99), MOS_RC__PARAMETER_OUT_OF_RANGE);
    EXPECT_EQ(net_SetSendTimeoutInMilli(net(), 300001), MOS_RC__PARAMETER_OUT_OF_RANGE);
    EXPECT_EQ(net()->confParam.sendTimeout, (UINT64)MOS_TIMER_QUEUE_ID__5SEC);
    EXPECT_EQ(net_SetSendTimeoutInMilli(net(), 100), MOS_RC__SUCCESS);
    EXPECT_EQ(net()->confParam.sendTimeout, (UINT64)MOS_TIMER_QUEUE_ID__100MILLI);
    EXPECT_EQ(net_SetSendTimeoutTimerQ(net(), 10), MOS_RC__PARAMETER_OUT_OF_RANGE);
    EXPECT_EQ(net_SetSendTimeoutTimerQ(net(), MOS_TIMER_QUEUE_ID__1MIN), MOS_RC__SUCCESS);
}

TEST_F(NetObject, IdentityIsKnownAndDiffersBetweenIncarnations)
{
    NetIdentifier other;
    net_SetNetIdentifier(&other);
    EXPECT_TRUE(NET_ID__IS_KNOWN(net_GetNetIdentifier(net())));
    EXPECT_TRUE(NET_ID__IS_KNOWN(&other));
    EXPECT_FALSE(NET_ID__IS_MATCH(net_GetNetIdentifier(net()), &other));
}

TEST_F(NetObject, KeepAliveThresholdsFollowTheSetters)
{
    NetPathMgr *pMgr = &net()->pathMgr;
    UINT16 rcv = 0, snd = 0, freq = 0;
    netPathMgr_GetKaParams(pMgr, &rcv, &snd, &freq);
    EXPECT_EQ(rcv, 20);
    EXPECT_EQ(snd, 60);
    EXPECT_EQ(freq, 5);
    net_SetKaRcvParams(net(), 150, 4);
    netPathMgr_GetKaParams(pMgr, &rcv, &snd, &freq);
    EXPECT_EQ(rcv, 1);
    EXPECT_EQ(freq, 1);
    net_SetKaRcvParams(net(), 2000, 0);
    netPathMgr_GetKaParams(pMgr, &rcv, &snd, &freq);
    EXPECT_EQ(rcv, 20);
    EXPECT_EQ(freq, 0);
    net_SetKaRcvParams(net(), 0, 4);
    netPathMgr_GetKaParams(pMgr, &rcv, &snd, &freq);
    EXPECT_EQ(rcv, 0);
    EXPECT_EQ(freq, 0);
    net_SetKaSndIdleThreshInMIlli(net(), 0);
    netPathMgr_GetKaParams(pMgr, &rcv, &snd, &freq);
    EXPECT_EQ(snd, 0);
}

// A configured 0 for the receive-idle time, the send-idle time and the frequency means the
// defaults, never "disabled".
TEST(NetObjectConf, ZeroKeepAliveSettingsMeanTheDefaults)
{
    NetConfParam conf;
    netConfParam_SetDefaults(&conf);
    conf.kaRcvcQuiteSocketTimeoutMs = 0;
    conf.kaSndQuiteSocketTimeoutMs = 0;
    conf.kaSndFrequency = 0;
    auto p = netTest_Create(&conf);
    UINT16 rcv = 0, snd = 0, freq = 0;
    netPathMgr_GetKaParams(&p->net.pathMgr, &rcv, &snd, &freq);
    EXPECT_EQ(rcv, 20);
    EXPECT_EQ(snd, 60);
    EXPECT_EQ(freq, 5);
    netTest_Destroy(p);
}

TEST(NetObjectStart, StartsAndStopsWithoutAListener)
{
    auto p = netTest_Create();
    net_Start(&p->net, 0);
    EXPECT_EQ(net_GetNumOfNetWorkers(&p->net), NET_WORK_GROUP__DEF_NUM_OF_WORKERS);
    net_Pause(&p->net, TRUE, TRUE);
    EXPECT_TRUE(netPathMgr_IsFrozen(&p->net.pathMgr));
    net_Pause(&p->net, FALSE, TRUE);
    EXPECT_FALSE(netPathMgr_IsFrozen(&p->net.pathMgr));
    netTest_Destroy(p);
}
