// Receive groups and the completion of requests without a wire: a group's workers follow its
// target, an asynchronous request gets exactly one callback whichever of its response and its
// send completion comes first, and a response on another connection than the request's is
// dropped with its buffers.
#include <gtest/gtest.h>

#include <thread>

#include "net/net_channel.h"
#include "net/net_con_send.h"
#include "test/support/net_rpc_support.h"
#include "test/support/net_support.h"
#include "test/support/umt_test_support.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new NetTestRuntimeEnv);

constexpr UINT32 kGrp = NET__RECV_GROUP__DEF;

class NetRecvGroupTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        netTestUpper_Init(&upper_);
        p_ = netTest_Create();
        netRpcTest_AddGroup(&consumer_, &p_->net, kGrp, 1);
    }
    void TearDown() override
    {
        net_Destroy(&p_->net);
        net_FreeRecvGroup(&p_->net, consumer_.pGroup);
        mosUmtSchedThrd_Destroy(&p_->sched);
        p_.reset();
    }
    Net *net() { return &p_->net; }

    // A client connection that never connects: a valid connection object to hand messages to.
    HNetCon IdleCon(ConId id)
    {
        NetCon_RemoteHosts hosts = netTest_LoopbackHosts(1, netEngineTest_FreePort(), 1);
        return net_AllocClientConList(net(), id, NET_OWNER_TYPE__TGT, &upper_.conCB, &hosts);
    }

    // A response frame's record as the receive path fills it, with a buffer from the consumer.
    NetRpcData Response(UINT32 len)
    {
        NetRpcData data;
        memset(static_cast<void *>(&data), 0, sizeof(data));
        NET_IOV__INIT(&data.iov);
        data.grpId = kGrp;
        data.context = MOS_RC__SUCCESS;
        netRpcTest_Alloc(&consumer_, kGrp, &data.iov, len, 0, SOCKET_HEADER_TYPE__SND_RCV_CB, nullptr);
        return data;
    }

    NetTestUpper upper_;
    NetRpcTestConsumer consumer_;
    std::unique_ptr<NetForTest> p_;
};

std::atomic<bool> gateOpen_G{false};
std::atomic<int> inside_G{0};

Mos_RC netRecvGroupTest_BlockingNotif(void *, NetRpcData *)
{
    inside_G++;
    while (!gateOpen_G)
        mosUmt_Yield();
    inside_G--;
    return MOS_RC__SUCCESS;
}
} // namespace

// 10 workers take 10 blocking notifications at once; lowered to 4, exactly 6 exit (the removal
// count drains to 0 and the waiter is woken) and no more than 4 run at once afterwards.
TEST_F(NetRecvGroupTest, LoweringTenWorkersToFourMakesExactlySixExit)
{
    NetRecvGrpCallback cb = consumer_.pGroup->recvCB;
    cb.pRecvNotifFunc = netRecvGroupTest_BlockingNotif;
    NetRecvGroup *pGroup = net_AllocRecvGroup(net(), kGrp + 1, &cb, MosUmtClassId{0, 0});
    auto inject = [&](UINT32 n) {
        for (UINT32 i = 0; i < n; i++) {
            NetMsgRcv *pRcv = net_AllocMsgForRecv(net());
            ASSERT_NE(pRcv, nullptr);
            NetRpcData data;
            memset(static_cast<void *>(&data), 0, sizeof(data));
            NET_IOV__INIT(&data.iov);
            data.grpId = kGrp + 1;
            netMsgRcv_Init(pRcv, &data, NET_MSG_TYPE__NOTIFICATION, i, 1, nullptr, 0, nullptr);
            netRecvGroup_RecvMsg(pGroup, pRcv);
        }
    };
    netRecvGroup_SetNumOfWorkers(pGroup, 10);
    EXPECT_EQ(netRecvGroup_GetNumOfWorkers(pGroup), 10u);
    gateOpen_G = false;
    inject(10);
    EXPECT_TRUE(umtTest_WaitFor([] { return inside_G.load() == 10; }));
    gateOpen_G = true;
    EXPECT_TRUE(umtTest_WaitFor([] { return inside_G.load() == 0; }));

    netRecvGroup_SetNumOfWorkers(pGroup, 4);
    EXPECT_EQ(netRecvGroup_GetNumOfWorkers(pGroup), 4u);
    umtTest_RunAsUmt([&] { EXPECT_EQ(netRecvGroup_WaitForAllUmtRemoval(pGroup, 60000), MOS_RC__SUCCESS); });
    EXPECT_FALSE(netRecvGroup_IsRemoveInProgress(pGroup));

    gateOpen_G = false;
    inject(10);
    EXPECT_TRUE(umtTest_WaitFor([] { return inside_G.load() == 4; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(inside_G.load(), 4);
    gateOpen_G = true;
    EXPECT_TRUE(umtTest_WaitFor([&] {
        NetRecvGroupQuery q;
        netRecvGroup_Query(&pGroup->sdbgObj, nullptr, &q);
        return q.numOfReqPending == 0 && q.numOfReqInProgress == 0;
    }));
    net_FreeRecvGroup(net(), pGroup);
}

// Whichever of the response and the send's completion comes first, an asynchronous requester
// gets one callback, after both, with the response in its message.
TEST_F(NetRecvGroupTest, AsyncRequestGetsOneCallbackWhicheverOfResponseAndSendDoneComesFirst)
{
    const HNetCon hCon = IdleCon(0x901);
    ASSERT_NE(hCon, 0u);
    for (const bool bResponseFirst : {true, false}) {
        SCOPED_TRACE(bResponseFirst ? "response first" : "send done first");
        const int before = consumer_.rpcResponses.load();
        NetRpcMsg msg;
        NetRpcData *pReq = netMsgSndAsync_Init(&msg, net(), NET_MSG_TYPE__SNDRCV, FALSE, nullptr);
        pReq->grpId = kGrp;
        NetCon *pCon = netConManager_AcquireCon(&net()->conManager, hCon); // the send's reference
        ASSERT_NE(pCon, nullptr);
        msg.msgSnd.pOldConPtr = pCon;
        netConManager_AddMsgToHash(&net()->conManager, &msg);
        NetRpcData rsp = Response(300);
        if (bResponseFirst) {
            netRpc_OnRpcResp(net(), pCon, msg.msgSnd.msgId, &rsp, nullptr);
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
            EXPECT_EQ(consumer_.rpcResponses.load(), before);
            netCon_SendDone(&msg, MOS_RC__SUCCESS);
        } else {
            netCon_SendDone(&msg, MOS_RC__SUCCESS);
            EXPECT_EQ(consumer_.rpcResponses.load(), before);
            netRpc_OnRpcResp(net(), pCon, msg.msgSnd.msgId, &rsp, nullptr);
        }
        EXPECT_TRUE(umtTest_WaitFor([&] { return consumer_.rpcResponses.load() == before + 1; }));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(consumer_.rpcResponses.load(), before + 1);
        EXPECT_EQ(NetMsgSnd_GetRc(&msg.msgSnd), MOS_RC__SUCCESS);
        EXPECT_EQ(NET_IOV__GET_SIZE(&msg.msgSnd.rpcRes.iov), 300u);
        EXPECT_EQ(msg.msgSnd.flags & (NET_MSG_SND_FLAGS__RSP_ARRIVED | NET_MSG_SND_FLAGS__SEND_DONE),
                  (UINT32)(NET_MSG_SND_FLAGS__RSP_ARRIVED | NET_MSG_SND_FLAGS__SEND_DONE));
        netRpcTest_Free(&consumer_, kGrp, &msg.msgSnd.rpcRes.iov);
        netMsgSndAsync_Destroy(&msg);
    }
    EXPECT_EQ(consumer_.buffersGiven.load(), consumer_.buffersReturned.load());
    net_Disconnect(net(), hCon);
}

// A response whose id is pending but which came on another connection completes nothing: the
// request stays pending and the frame's buffers go back to the group.
TEST_F(NetRecvGroupTest, ResponseOnAnotherConnectionIsDroppedWithItsBuffers)
{
    const HNetCon hA = IdleCon(0x902), hB = IdleCon(0x903);
    NetCon *pA = netConManager_AcquireCon(&net()->conManager, hA);
    NetCon *pB = netConManager_AcquireCon(&net()->conManager, hB);
    ASSERT_TRUE(pA != nullptr && pB != nullptr);
    NetRpcMsg msg;
    netMsgSndAsync_Init(&msg, net(), NET_MSG_TYPE__SNDRCV, FALSE, nullptr);
    msg.msgSnd.pOldConPtr = pA;
    netConManager_AddMsgToHash(&net()->conManager, &msg);
    NetRpcData rsp = Response(40);
    netRpc_OnRpcResp(net(), pB, msg.msgSnd.msgId, &rsp, nullptr);
    EXPECT_EQ(consumer_.buffersGiven.load(), consumer_.buffersReturned.load());
    EXPECT_EQ(net()->conManager.dbgQuery.numOfReq, 1u);
    EXPECT_EQ(msg.msgSnd.flags & NET_MSG_SND_FLAGS__RSP_ARRIVED, 0u);
    EXPECT_EQ(netRpc_AbortTimer(&msg, FALSE), &msg);
    EXPECT_EQ(net()->conManager.dbgQuery.numOfReq, 0u);
    netMsgSndAsync_Destroy(&msg);
    netConManager_ReleaseCon(&net()->conManager, pA);
    netConManager_ReleaseCon(&net()->conManager, pB);
    net_Disconnect(net(), hA);
    net_Disconnect(net(), hB);
}

// Channel numbers compare in wrap-around order; a difference of exactly 2^31 is older when the
// message's number is the larger one.
TEST(NetChannelOrder, NumbersCompareAcrossTheWrap)
{
    struct Case {
        UINT32 msg, current;
        bool newer, older;
    } cases[] = {
        {1, 0xFFFFFFFFu, true, false},        {0xFFFFFFFFu, 1, false, true},
        {0x80000001u, 1, false, true},        {1, 0x80000001u, true, false},
        {5, 5, false, false},                 {6, 5, true, false},
        {0x7FFFFFFFu, 0, true, false},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(netChannel_IsNewer(c.msg, c.current), c.newer) << c.msg << " vs " << c.current;
        EXPECT_EQ(netChannel_IsOlder(c.msg, c.current), c.older) << c.msg << " vs " << c.current;
    }
}
