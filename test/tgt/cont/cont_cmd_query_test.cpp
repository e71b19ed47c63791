// Query, test and counter commands through the command door of an in-process controller
// without devices or peers.
#include <gtest/gtest.h>

#include "test/support/cont_cmd_rig.h"
#include "tgt/cont/cont_cmd_intrn.h"
#include "tgt/cont/cont_cmd_query_rec.h"

namespace {

class ContCmdRuntimeEnv : public ::testing::Environment {
  public:
    void SetUp() override { ASSERT_TRUE(ContCmdRig::initRuntime()); }
};
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new ContCmdRuntimeEnv);

template <class T> std::vector<UINT8> bytesOf(const T &rec, std::vector<UINT8> tail = {})
{
    std::vector<UINT8> b(sizeof(rec));
    memcpy(b.data(), &rec, sizeof(rec));
    b.insert(b.end(), tail.begin(), tail.end());
    return b;
}

class ContCmdQuery : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ContCmdRig::buildController();
        ContCmdRig::adopt(4, FALSE);
    }
};

TEST_F(ContCmdQuery, ServerCountersWithoutDevicesAreTheFixedHead)
{
    std::vector<UINT8> ans;
    ASSERT_EQ(ContCmdRig::send(TGT_MSG_TYPE__GET_TGT_COUNTERS, 0, {}, &ans), MOS_RC__SUCCESS);
    ASSERT_EQ(ans.size(), 1540u);
    OstrelTgtRsp_TgtCounters head;
    memcpy(&head, ans.data(), sizeof(head));
    EXPECT_EQ(head.numDevs, 0u);
    EXPECT_EQ(head.devStructSize, 1024u);
}

TEST_F(ContCmdQuery, UnknownDeviceLatencyIsNotFoundWithoutPayload)
{
    std::vector<UINT8> ans{1};
    EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__GET_DEV_LATENCY_BWC, 0, bytesOf(OstrelTgtReq_DevBwc{0x4242}), &ans),
              MOS_RC__NOT_FOUND);
    EXPECT_TRUE(ans.empty());
}

// Nothing changed within the delta: only the count. A counter of the controller that failed just
// now is answered with its descriptor.
TEST_F(ContCmdQuery, OscillationCountersAnswerWhatChanged)
{
    std::vector<UINT8> ans;
    ASSERT_EQ(ContCmdRig::send(TGT_MSG_TYPE__GET_OSC_COUNTERS, 0, bytesOf(OstrelTgtReq_GetOscCounter{4, 0}), &ans),
              MOS_RC__SUCCESS);
    ASSERT_EQ(ans.size(), 4u);
    EXPECT_EQ(ans, std::vector<UINT8>(4, 0));

    (void)mosOscCnt_FailureOccurrence(&cont_g.longOpOscCnt, 1u << 20); // past every threshold
    ASSERT_EQ(ContCmdRig::send(TGT_MSG_TYPE__GET_OSC_COUNTERS, 0,
                               bytesOf(OstrelTgtReq_GetOscCounter{4, 3600ull * 1000}), &ans),
              MOS_RC__SUCCESS);
    ASSERT_GE(ans.size(), 4u + sizeof(MosOscCnt_QueryCounter));
    UINT32 n;
    memcpy(&n, ans.data(), sizeof(n));
    ASSERT_EQ(ans.size(), 4u + n * sizeof(MosOscCnt_QueryCounter));
    bool bFound = false;
    for (UINT32 i = 0; i < n; i++) {
        MosOscCnt_QueryCounter c;
        memcpy(&c, ans.data() + 4 + i * sizeof(c), sizeof(c));
        bFound = bFound || c.desc.type == MOS_OSC_CNT_TYPE__PELLAR_LONG_OPERATIONS;
    }
    EXPECT_TRUE(bFound);
}

// Requests that the runtime would meet with a stop of the process are refused and change nothing.
TEST_F(ContCmdQuery, RequestsOutsideTheirRulesAreRefused)
{
    OstrelTgtReq_UpdateOscCounter osc{};
    osc.ostrelTgtConnectionGenNum = 4;
    for (UINT16 numCntrs : {UINT16(0), UINT16(14)}) {
        osc.numCntrs = numCntrs;
        EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__UPDATE_OSC_COUNTER, 0, bytesOf(osc)), MOS_RC__INVALID) << numCntrs;
    }
    // Type 1 is not a server's: traced and skipped, the rest applied.
    osc.numCntrs = 2;
    osc.cntrParams[0].counterType = 1;
    osc.cntrParams[1].counterType = MOS_OSC_CNT_TYPE__PELLAR_LONG_OPERATIONS;
    osc.cntrParams[1].shouldReset = 1;
    EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__UPDATE_OSC_COUNTER, 0, bytesOf(osc)), MOS_RC__SUCCESS);
    // A window longer than a counter takes, sent twice (the second time the counter refuses it):
    // the server answers and keeps its windows.
    osc.numCntrs = 1;
    osc.cntrParams[0] = {};
    osc.cntrParams[0].counterType = MOS_OSC_CNT_TYPE__PELLAR_LONG_OPERATIONS;
    osc.cntrParams[0].counterParams.windowParams[0] = {MOS_OSC_CNT__MAX_WINDOW_SIZE_IN_SECONDS + 1, 5};
    for (int i = 0; i < 2; i++)
        EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__UPDATE_OSC_COUNTER, 0, bytesOf(osc)), MOS_RC__SUCCESS) << i;

    struct SelfCase {
        UINT32 cmd, a, b, d; // d: the check fails
    };
    for (const SelfCase &c : {SelfCase{TGT_SELF_TEST_CMD__LAST, 0, 0, 0}, SelfCase{7, 0, 0, 0},
                              SelfCase{TGT_SELF_TEST_CMD__RCACHE, 1, 0, 0},
                              SelfCase{TGT_SELF_TEST_CMD__MEM_POOL_STATE, TGT_SELF_TEST_POOL__MSG_CTX,
                                       TGT_SELF_TEST_POOL__MSG_CTX | TGT_SELF_TEST_POOL__NET_BUF_PRI, 0}}) {
        OstrelTgtReq_SelfTest st{};
        st.cmd = c.cmd;
        st.u.memPoolState = {c.a, c.b};
        EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__SELF_TEST, 0, bytesOf(st)), MOS_RC__INVALID) << c.cmd;
    }
    // A pool state the server is not in (an idle server's I/O contexts are not all taken) is
    // answered as a failed self-test, and the server goes on answering.
    for (const SelfCase &c : {SelfCase{TGT_SELF_TEST_CMD__MEM_POOL_STATE, 0, TGT_SELF_TEST_POOL__MSG_CTX, 1},
                              SelfCase{TGT_SELF_TEST_CMD__MEM_POOL_STATE, 0, 0, 0}}) {
        OstrelTgtReq_SelfTest st{};
        st.cmd = c.cmd;
        st.u.memPoolState = {c.a, c.b};
        EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__SELF_TEST, 0, bytesOf(st)), c.d != 0 ? MOS_RC__ERROR : MOS_RC__SUCCESS);
    }

    // A synchronous device test without a time limit, or with limits that reach the command
    // timer, is refused before it starts.
    struct SyncCase {
        std::vector<UINT32> limits;
    };
    for (const SyncCase &c : {SyncCase{{0}}, SyncCase{{10, 0}}, SyncCase{{300}}, SyncCase{{200, 100}}, SyncCase{{}}}) {
        const OstrelTgtReq_StartDevTest head{1, 12, (UINT32)c.limits.size(), 16, 4};
        std::vector<UINT8> tail(12 + 16 * c.limits.size());
        const ContDevDiskTestDev dev{0x31, 1};
        memcpy(tail.data(), &dev, sizeof(dev));
        for (size_t i = 0; i < c.limits.size(); i++) {
            const OstrelTgtReq_DevTestParams p{1, 4, 0, c.limits[i]};
            memcpy(tail.data() + 12 + 16 * i, &p, sizeof(p));
        }
        EXPECT_EQ(ContCmdRig::send(TGT_MSG_TYPE__START_DISK_TEST_SYNC, 0, bytesOf(head, tail)), MOS_RC__INVALID);
    }
    EXPECT_FALSE(contDevMngr_IsDiskTestInProg(&cont_g.devMngr));
}

TEST_F(ContCmdQuery, DeviceAnswersWithoutDevicesHoldTheirHeadsOnly)
{
    std::vector<UINT8> ans;
    ASSERT_EQ(ContCmdRig::send(TGT_MSG_TYPE__GET_TGT_DEV_LATENCY_BWC, 0, {}, &ans), MOS_RC__SUCCESS);
    EXPECT_EQ(ans, (std::vector<UINT8>{0, 164, 0, 0, 0}));
    ASSERT_EQ(ContCmdRig::send(TGT_MSG_TYPE__GET_TGT_DEV_IO_BWC, 0, {}, &ans), MOS_RC__SUCCESS);
    EXPECT_EQ(ans, (std::vector<UINT8>{0, 0x80, 1, 0, 0}));
    ASSERT_EQ(ContCmdRig::send(TGT_MSG_TYPE__GET_DEV_CAPACITY, 0, {}, &ans), MOS_RC__SUCCESS);
    EXPECT_EQ(ans, (std::vector<UINT8>{0, 0, 0, 0, 32, 0, 0, 0}));
}

} // namespace
