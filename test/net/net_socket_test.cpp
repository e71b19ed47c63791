#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "mos/usr/mos_net.h"
#include "test/support/net_test_env.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new NetRuntimeEnv);

struct Iov {
    NetSmallIov iov;
    Iov() { NET_IOV__INIT(&iov); }
    Iov(void *p, UINT32 len) : Iov() { netIov_AddBuffer(&iov, p, len, NET_IOV_BUF_TYPE__USER_FIRST); }
    ~Iov() { netIov_Destroy(&iov); }
};

class NetSocketTest : public ::testing::Test {
  protected:
    void SetUp() override { netEngineTest_Start(&engine_); }
    void TearDown() override { netEngineTest_Stop(&engine_); }

    Net *net() { return &engine_.net; }

    void OpenPair()
    {
        ASSERT_EQ(netEngineTest_OpenPair(net(), &pair_), MOS_RC__SUCCESS);
        bOpen_ = true;
    }

    void ClosePair()
    {
        if (!bOpen_)
            return;
        for (NetSocket *pSock : {&client_, &server_}) {
            EXPECT_EQ(netTestTask_Run(net(), pSock, nullptr, netSock_Disconnect_CK), MOS_RC__SUCCESS);
            EXPECT_EQ(pSock->state, SOCKET_STATE__INIT);
            EXPECT_EQ(pSock->socket, MOS_NET__INVALID_SOCKET);
            netSocket_Destroy(pSock);
        }
        EXPECT_EQ(netTestTask_Run(net(), &listener_, nullptr, netSock_Disconnect_CK), MOS_RC__SUCCESS);
        netSocket_Destroy(&listener_);
        bOpen_ = false;
    }

    // Shrinks the kernel's buffers so that a few hundred KB block a sender.
    void SmallBuffers()
    {
        netSocket_SetSndBufSize(&client_, 64);
        netSocket_SetRcvBufSize(&server_, 64);
    }

    NetEngineForTest engine_;
    NetSocketPair pair_;
    NetSocket &listener_ = pair_.listener;
    NetSocket &client_ = pair_.client;
    NetSocket &server_ = pair_.server;
    bool bOpen_ = false;
};

bool WaitFor(const std::function<bool()> &pred)
{
    return umtTest_WaitFor(pred);
}
} // namespace

TEST_F(NetSocketTest, ConnectAcceptSendAndPartialReceive)
{
    OpenPair();
    std::vector<UINT8> out(300000), in(300000);
    for (size_t i = 0; i < out.size(); i++)
        out[i] = (UINT8)(i * 7);
    Iov head(out.data(), 100), body(out.data() + 100, (UINT32)out.size() - 100);
    netIov_AddIov(&head.iov, &body.iov);
    NetTestTask send;
    MosMit *pSend = netTestTask_Start(&send, net(), &client_, &head.iov, netSock_Send_CK);
    Iov rcv(in.data(), (UINT32)in.size());
    EXPECT_EQ(netTestTask_Run(net(), &server_, &rcv.iov, netSock_Recv_CK), MOS_RC__SUCCESS);
    EXPECT_EQ(mosMit_JoinSync(pSend), MOS_RC__SUCCESS);
    EXPECT_EQ(in, out);

    // A partial receive ends as soon as bytes arrived and says how many.
    UINT8 small[10] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10};
    Iov smallOut(small, 10);
    EXPECT_EQ(netTestTask_Run(net(), &client_, &smallOut.iov, netSock_Send_CK), MOS_RC__SUCCESS);
    UINT8 big[1000] = {};
    Iov bigIn(big, sizeof(big));
    NetTestTask partial;
    netMit_InitEx(&partial.netMit, net_GetWorkerMitSched(net()), net(), nullptr, FALSE, TRUE);
    partial.netMit.area.sockArea.pSock = &server_;
    partial.netMit.area.sockArea.bPartialRecv = TRUE;
    partial.netMit.area.pIov = &bigIn.iov;
    mosMit_Start(netMit_GetMit(&partial.netMit), netSock_Recv_CK);
    EXPECT_EQ(mosMit_JoinSync(netMit_GetMit(&partial.netMit)), MOS_RC__SUCCESS);
    EXPECT_EQ(partial.netMit.area.sockArea.partialRecvOffset, 10u);
    EXPECT_EQ(memcmp(big, small, 10), 0);

    NetSocketQuery q;
    netSocket_Query(&client_, &q);
    EXPECT_EQ(q.state, (UINT32)SOCKET_STATE__CONNECTED);
    EXPECT_EQ(q.sendBytes, 300010u);
    EXPECT_EQ(q.noDelay, 1u);
    ClosePair();
}

// A refused connect leaves the socket INIT without descriptor, and it can connect again.
TEST_F(NetSocketTest, RefusedConnectLeavesTheSocketReusable)
{
    // A port that was just free: nobody listens there.
    NetAddress addr;
    ASSERT_EQ(netAddress_BuildFromString(&addr, "127.0.0.1", netEngineTest_FreePort()), MOS_RC__SUCCESS);
    NetSocket sock;
    netSocket_Create(&sock, net(), &addr, SOCKET_ROLE__SNDRCV);
    EXPECT_EQ(netTestTask_Run(net(), &sock, nullptr, netSock_Connect_CK), MOS_RC__NOT_CONN);
    EXPECT_EQ(sock.state, SOCKET_STATE__INIT);
    EXPECT_EQ(sock.socket, MOS_NET__INVALID_SOCKET);
    EXPECT_EQ(netTestTask_Run(net(), &sock, nullptr, netSock_Connect_CK), MOS_RC__NOT_CONN);
    netSocket_Destroy(&sock);
}

// Senders that find the send direction owned wait in order; each sends its whole list before
// the next one starts, so the peer sees the lists one after the other in the order they queued.
TEST_F(NetSocketTest, QueuedSendersKeepTheirOrder)
{
    OpenPair();
    SmallBuffers();
    const UINT32 kLen = 256 * 1024;
    const int kSenders = 4;
    std::vector<std::vector<UINT8>> data;
    std::vector<std::unique_ptr<Iov>> iovs;
    for (int i = 0; i < kSenders; i++) {
        data.emplace_back(kLen, (UINT8)('A' + i));
        iovs.push_back(std::make_unique<Iov>(data.back().data(), kLen));
    }
    std::vector<NetTestTask> tasks(kSenders);
    std::vector<MosMit *> mits;
    mits.push_back(netTestTask_Start(&tasks[0], net(), &client_, &iovs[0]->iov, netSock_Send_CK));
    ASSERT_TRUE(WaitFor([&] { return client_.dirStat[NET_SOCKET_DIRECTION_VAL__SEND].brokenOps > 0; }));
    for (int i = 1; i < kSenders; i++) {
        mits.push_back(netTestTask_Start(&tasks[i], net(), &client_, &iovs[i]->iov, netSock_Send_CK));
        ASSERT_TRUE(WaitFor([&] { return client_.os.sendList.mitList.counter == (UINT32)i; }));
    }
    EXPECT_EQ(client_.os.sendList.pCurrMit, mits[0]);
    std::vector<UINT8> in(kLen * kSenders);
    Iov rcv(in.data(), (UINT32)in.size());
    EXPECT_EQ(netTestTask_Run(net(), &server_, &rcv.iov, netSock_Recv_CK), MOS_RC__SUCCESS);
    for (MosMit *pMit : mits)
        EXPECT_EQ(mosMit_JoinSync(pMit), MOS_RC__SUCCESS);
    for (int i = 0; i < kSenders; i++)
        for (UINT32 b = 0; b < kLen; b += 4096)
            ASSERT_EQ(in[(size_t)i * kLen + b], (UINT8)('A' + i)) << "sender " << i << " byte " << b;
    EXPECT_EQ(client_.os.sendList.pCurrMit, nullptr);
    ClosePair();
}

// An error while a sender is blocked and two more wait: the blocked one is aborted and, when it
// lets go, the waiting ones are aborted too; none of them is left waiting.
TEST_F(NetSocketTest, ErrorAbortsTheBlockedSenderAndItsWaiters)
{
    OpenPair();
    SmallBuffers();
    const UINT32 kLen = 512 * 1024;
    std::vector<UINT8> data(kLen, 1);
    Iov iov(data.data(), kLen);
    NetTestTask tasks[3];
    MosMit *mits[3];
    mits[0] = netTestTask_Start(&tasks[0], net(), &client_, &iov.iov, netSock_Send_CK);
    ASSERT_TRUE(WaitFor([&] { return client_.dirStat[NET_SOCKET_DIRECTION_VAL__SEND].brokenOps > 0; }));
    for (int i = 1; i < 3; i++) {
        mits[i] = netTestTask_Start(&tasks[i], net(), &client_, &iov.iov, netSock_Send_CK);
        ASSERT_TRUE(WaitFor([&] { return client_.os.sendList.mitList.counter == (UINT32)i; }));
    }
    netSocket_MarkAsError(&client_);
    EXPECT_EQ(client_.state, SOCKET_STATE__IN_ERR);
    // The blocked sender may be between two waits when the error comes (the kernel drained some of
    // its bytes and woke it): it then finds the socket down itself. Either way it fails.
    const Mos_RC first = mosMit_JoinSync(mits[0]);
    EXPECT_TRUE(first == MOS_RC__ABORTED || first == MOS_RC__NOT_CONN) << first;
    for (int i = 1; i < 3; i++)
        EXPECT_EQ(mosMit_JoinSync(mits[i]), MOS_RC__ABORTED);
    EXPECT_EQ(client_.os.sendList.mitList.counter, 0u);
    EXPECT_EQ(client_.os.sendList.pCurrMit, nullptr);
    // A send on a socket that is down fails at once.
    EXPECT_EQ(netTestTask_Run(net(), &client_, &iov.iov, netSock_Send_CK), MOS_RC__NOT_CONN);
    ClosePair();
}

// A disconnect while a receiver waits and a sender is blocked ends both, then closes.
TEST_F(NetSocketTest, DisconnectEndsWaitingTransfers)
{
    OpenPair();
    SmallBuffers();
    std::vector<UINT8> data(512 * 1024, 1);
    Iov out(data.data(), (UINT32)data.size());
    UINT8 buf[64];
    Iov in(buf, sizeof(buf));
    NetTestTask sender, receiver;
    MosMit *pSend = netTestTask_Start(&sender, net(), &client_, &out.iov, netSock_Send_CK);
    MosMit *pRecv = netTestTask_Start(&receiver, net(), &client_, &in.iov, netSock_Recv_CK);
    ASSERT_TRUE(WaitFor([&] {
        return client_.dirStat[NET_SOCKET_DIRECTION_VAL__SEND].brokenOps > 0 &&
               client_.dirStat[NET_SOCKET_DIRECTION_VAL__RCV].condWaitStatus == 1;
    }));
    EXPECT_EQ(netTestTask_Run(net(), &client_, nullptr, netSock_Disconnect_CK), MOS_RC__SUCCESS);
    EXPECT_EQ(mosMit_JoinSync(pSend), MOS_RC__ABORTED);
    EXPECT_EQ(mosMit_JoinSync(pRecv), MOS_RC__ABORTED);
    EXPECT_EQ(client_.state, SOCKET_STATE__INIT);
    // The peer sees the close: once what arrived before it is read, its receive fails.
    Mos_RC rc = MOS_RC__SUCCESS;
    for (int i = 0; i < 100000 && rc == MOS_RC__SUCCESS; i++)
        rc = netTestTask_Run(net(), &server_, &in.iov, netSock_Recv_CK);
    EXPECT_TRUE(rc == MOS_RC__NOT_CONN || rc == MOS_RC__ABORTED) << mosRc_GetStr(rc);
    netSocket_Destroy(&client_);
    for (NetSocket *pSock : {&server_, &listener_}) {
        EXPECT_EQ(netTestTask_Run(net(), pSock, nullptr, netSock_Disconnect_CK), MOS_RC__SUCCESS);
        netSocket_Destroy(pSock);
    }
    bOpen_ = false;
}
