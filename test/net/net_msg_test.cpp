#include <gtest/gtest.h>

#include <cstring>

#include "net/net_msg.h"
#include "net/net_rpc.h"
#include "test/support/net_engine_support.h"
#include "test/support/umt_test_support.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new UmtRuntimeEnv);

class NetMsgTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        memset(static_cast<void *>(&net_), 0, sizeof(net_));
        net_.nextMsgId = 500;
    }
    Net net_;
};
} // namespace

TEST_F(NetMsgTest, FreshRequestReadsAsTimedOutUntilAResultIsSet)
{
    NetRpcMsg msg;
    NetRpcData *pReq = netMsgSndAsync_Init(&msg, &net_, NET_MSG_TYPE__SNDRCV, FALSE, nullptr);
    EXPECT_EQ(pReq, &msg.msgSnd.rpcReq);
    EXPECT_EQ(msg.msgSnd.rpcReq.context, (UINT32)MOS_RC__TIMEOUT);
    EXPECT_EQ(msg.msgSnd.rpcRes.context, (UINT32)MOS_RC__TIMEOUT);
    EXPECT_EQ(msg.msgSnd.rpcReq.grpId, 0u);
    EXPECT_EQ(msg.msgSnd.msgId, 500u);
    EXPECT_EQ(msg.msgSnd.flags, (UINT32)NET_MSG_SND_FLAGS__INIT);
    EXPECT_PANIC(NetMsgSnd_GetRc(&msg.msgSnd), "pMsg->netRc == MOS_RC__ILLEGAL");
    NetMsgSnd_SetRc(&msg.msgSnd, MOS_RC__NOT_CONN);
    NetMsgSnd_SetRc(&msg.msgSnd, MOS_RC__SUCCESS);
    EXPECT_EQ(NetMsgSnd_GetRc(&msg.msgSnd), MOS_RC__SUCCESS);
    EXPECT_PANIC(NetMsgSnd_SetRc(&msg.msgSnd, MOS_RC__ERROR), "pMsg->netRc == MOS_RC__SUCCESS");
    netMsgSndAsync_Destroy(&msg);
}

// Reuse gives a new id and keeps the request's payload; the response record is emptied. A
// response takes the id of the request it answers.
TEST_F(NetMsgTest, ReuseKeepsTheRequestAndResponsesTakeTheRequestId)
{
    char req[16] = "request", rsp[16] = "response";
    NetRpcMsg msg;
    NetRpcData *pReq = netMsgSndAsync_Init(&msg, &net_, NET_MSG_TYPE__SNDRCV, FALSE, nullptr);
    pReq->context = 2103;
    pReq->grpId = 7;
    netIov_AddBuffer(&pReq->iov, req, sizeof(req), NET_IOV_BUF_TYPE__USER_FIRST);
    NetRpcData received;
    memset(static_cast<void *>(&received), 0, sizeof(received));
    NET_IOV__INIT(&received.iov);
    received.context = MOS_RC__SUCCESS;
    netIov_AddBuffer(&received.iov, rsp, sizeof(rsp), NET_IOV_BUF_TYPE__USER_FIRST);
    netMsgSnd_UpdateCbData(&msg.msgSnd, &received, MOS_RC__SUCCESS);
    EXPECT_EQ(msg.msgSnd.rpcRes.context, (UINT32)MOS_RC__SUCCESS);
    EXPECT_EQ(NET_IOV__GET_DATA(&msg.msgSnd.rpcRes.iov), rsp);
    const UINT32 firstId = msg.msgSnd.msgId;

    netMsgSndAsync_Reuse(&msg);
    EXPECT_NE(msg.msgSnd.msgId, firstId);
    EXPECT_EQ(msg.msgSnd.netRc, MOS_RC__ILLEGAL);
    EXPECT_EQ(msg.msgSnd.rpcReq.context, 2103u);
    EXPECT_EQ(NET_IOV__GET_DATA(&msg.msgSnd.rpcReq.iov), req);
    EXPECT_EQ(msg.msgSnd.rpcRes.iov.numOfUsedBuffers, 0u);
    EXPECT_EQ(msg.msgSnd.rpcRes.context, (UINT32)MOS_RC__TIMEOUT);

    NetMsgRcv rcv;
    netMsgRcv_Init(&rcv, &received, NET_MSG_TYPE__SNDRCV, 4242, 1, nullptr, 0, nullptr);
    EXPECT_EQ(NET_IOV__GET_DATA(&rcv.req.iov), rsp);
    NetRpcMsg answer;
    netMsgSndAsync_InitResp(&answer, &net_, &rcv, NET_MSG_TYPE__NOTIFICATION, FALSE);
    EXPECT_EQ(answer.msgSnd.msgId, 4242u);
    netMsgRcv_Destroy(&rcv);
    netIov_Destroy(&received.iov);
    netMsgSndAsync_Destroy(&answer);
    // Both lists still hold buffers: the validating destroy refuses.
    netIov_AddBuffer(&msg.msgSnd.rpcRes.iov, rsp, sizeof(rsp), NET_IOV_BUF_TYPE__USER_FIRST);
    EXPECT_PANIC(netMsgSndAsync_DestroyValidate(&msg), "bValidate");
    netMsgSndAsync_Destroy(&msg);
}

// A synchronous sender whose pending request is never answered is woken by the time-out with
// TIMEOUT.
TEST_F(NetMsgTest, TimerExpiryCompletesASentSynchronousRequest)
{
    NetRpcMsg msg;
    ASSERT_TRUE(mosHash_CreateNamedHash(&net_.conManager.pendingRequestHash, 16, MOS_HASHING_METHOD__MODULO, 0,
                                        nullptr, nullptr, "test_rpc_hash", 1));
    umtTest_RunAsUmt([&] {
        MosUmt_Sem sem;
        netMsgSndAsync_Init(&msg, &net_, NET_MSG_TYPE__SNDRCV, TRUE, &sem);
        netConManager_AddMsgToHash(&net_.conManager, &msg);
        msg.msgSnd.flags |= NET_MSG_SND_FLAGS__SEND_DONE;
        netMsgSndSync_StartCount(&msg);
        ASSERT_EQ(mosTimerReq_Add(&msg.timerReq, 100), MOS_RC__PENDING);
        EXPECT_EQ(mosUmtSem_DecTimed(&sem, 1, 0), MOS_RC__SUCCESS);
        EXPECT_EQ(NetMsgSnd_GetRc(&msg.msgSnd), MOS_RC__TIMEOUT);
        EXPECT_TRUE(msg.msgSnd.bMsgAborted);
        EXPECT_NE(msg.msgSnd.flags & NET_MSG_SND_FLAGS__ABNORMAL, 0u);
        EXPECT_GE(netMsgSndSync_GetCount(&msg), 50000u);
        netMsgSndAsync_Destroy(&msg);
    });
    EXPECT_EQ(mosHash_GetRecNum(&net_.conManager.pendingRequestHash), 0u);
    mosHash_Delete(&net_.conManager.pendingRequestHash);
}
