// TLS over a loopback socket pair of the messaging engine: the handshake driven by the secure
// steps on both sockets, whole messages through the session, and the order of queued secure
// senders.
#include <gtest/gtest.h>

#include <vector>

#include "mos/usr/security/mos_security.h"
#include "net/net_path_intrn.h"
#include "net/security/net_sec.h"
#include "test/support/net_test_env.h"
#include "test/support/scratch_dir.h"
#include "test/support/tls_support.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new NetRuntimeEnv);

struct Iov {
    NetSmallIov iov;
    Iov() { NET_IOV__INIT(&iov); }
    ~Iov() { netIov_Destroy(&iov); }
    void Add(std::vector<UINT8> &bytes) { netIov_AddBuffer(&iov, bytes.data(), (UINT32)bytes.size(), NET_IOV_BUF_TYPE__USER_FIRST); }
};

class NetSecSocketTest : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        dir_ = new ScratchDir;
        tlstest::TlsCerts certs;
        ASSERT_TRUE(tlstest::makeTlsCerts(dir_->path(), &certs));
        MosSecurityConf conf{};
        conf.bEnable = TRUE;
        conf.sslConf = tlstest::sslConf(0, certs.serverKeyPair, tlstest::kServerPassword, certs.caFile);
        ASSERT_EQ(mosSecurity_Init(&conf), MOS_RC__SUCCESS);
        MosSslConf client = tlstest::sslConf(1, certs.clientKeyPair, "", certs.caFile);
        ASSERT_EQ(mosSsl_UpdateConf(&client), MOS_RC__SUCCESS);
    }
    static void TearDownTestSuite()
    {
        mosSecurityLayer_Destroy();
        delete dir_;
    }

    void SetUp() override
    {
        netEngineTest_Start(&engine_);
        ASSERT_EQ(netEngineTest_OpenPair(net(), &pair_), MOS_RC__SUCCESS);
        // Both sockets carry a session; the handshake runs as one task per side.
        for (NetSocket *pSock : {&pair_.client, &pair_.server}) {
            const BOOL bServer = pSock == &pair_.server;
            MosSslSessionParams params{bServer ? MOS_SSL_CONTEXT_ID__DEFAULT : MOS_SSL_CONTEXT_ID__CUSTOM_1, nullptr};
            MosSslSocketHandle *pHandle = mosSsl_CreateSocketHandle(&params, bServer);
            ASSERT_NE(pHandle, nullptr);
            netSec_SocketSetSsl(&pSock->secSocket, pHandle);
            pSock->secSocket.pSecureSendCK = netSec_Send_CK;
            pSock->secSocket.pSecureRecvCK = netSec_Recv_CK;
        }
        Iov clientIov, serverIov;
        NetTestTask clientTask, serverTask;
        MosMit *pClient = netTestTask_Start(&clientTask, net(), &pair_.client, &clientIov.iov, netSec_SslHandshake_CK);
        MosMit *pServer = netTestTask_Start(&serverTask, net(), &pair_.server, &serverIov.iov, netSec_SslHandshake_CK);
        ASSERT_EQ(mosMit_JoinSync(pClient), MOS_RC__SUCCESS);
        ASSERT_EQ(mosMit_JoinSync(pServer), MOS_RC__SUCCESS);
        EXPECT_EQ(clientIov.iov.numOfUsedBuffers, 0u); // the temporary ciphertext buffers are gone
    }
    void TearDown() override
    {
        for (NetSocket *pSock : {&pair_.client, &pair_.server, &pair_.listener}) {
            EXPECT_EQ(netTestTask_Run(net(), pSock, nullptr, netSec_Disconnect_CK), MOS_RC__SUCCESS);
            EXPECT_EQ(netTestTask_Run(net(), pSock, nullptr, netSock_Disconnect_CK), MOS_RC__SUCCESS);
            netSocket_Destroy(pSock);
        }
        netEngineTest_Stop(&engine_);
    }
    Net *net() { return &engine_.net; }

    // A secure sender of one list; important ones go ahead of ordinary queued ones.
    MosMit *StartSend(NetTestTask *pTask, NetSmallIov *pIov, BOOL bImportant)
    {
        netMit_InitEx(&pTask->netMit, net_GetWorkerMitSched(net()), net(), nullptr, FALSE, TRUE);
        pTask->netMit.area.sockArea.pSock = &pair_.client;
        pTask->netMit.area.pIov = pIov;
        netMit_SetImportance(&pTask->netMit, bImportant);
        MosMit *pMit = netMit_GetMit(&pTask->netMit);
        mosMit_Start(pMit, netSock_Send_CK);
        return pMit;
    }
    UINT32 Queued()
    {
        NetSecSocket *pPart = &pair_.client.secSocket;
        MosFastlockGuard guard(&pPart->secSendListLock);
        return pPart->secSendList.mitList.counter;
    }

    static ScratchDir *dir_;
    NetEngineForTest engine_;
    NetSocketPair pair_;
};
ScratchDir *NetSecSocketTest::dir_ = nullptr;

std::vector<UINT8> pattern(size_t n, UINT8 seed)
{
    std::vector<UINT8> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = (UINT8)(i * 7 + seed + (i >> 10));
    return v;
}
} // namespace

TEST_F(NetSecSocketTest, AnImportantSenderQueuedLaterGoesOutBeforeAnOrdinaryOne)
{
    // The first sender's message is far larger than the kernel's buffers: it owns the secure list
    // until the server reads.
    netSocket_SetSndBufSize(&pair_.client, 64);
    netSocket_SetRcvBufSize(&pair_.server, 64);
    std::vector<UINT8> big = pattern(4u << 20, 1), ordinary = pattern(1000, 2), important = pattern(700, 3);
    Iov bigIov, ordinaryIov, importantIov;
    bigIov.Add(big);
    ordinaryIov.Add(ordinary);
    importantIov.Add(important);
    NetTestTask bigTask, ordinaryTask, importantTask;
    MosMit *pBig = StartSend(&bigTask, &bigIov.iov, FALSE);
    ASSERT_TRUE(umtTest_WaitFor([&] { return pair_.client.secSocket.secSendList.pCurrMit == pBig; }));
    MosMit *pOrdinary = StartSend(&ordinaryTask, &ordinaryIov.iov, FALSE);
    ASSERT_TRUE(umtTest_WaitFor([&] { return Queued() == 1; }));
    MosMit *pImportant = StartSend(&importantTask, &importantIov.iov, TRUE);
    ASSERT_TRUE(umtTest_WaitFor([&] { return Queued() == 2; }));

    // One receive of the three lengths in a row, in plaintext, through however many records and
    // 4 KB reads it takes.
    std::vector<UINT8> got(big.size() + important.size() + ordinary.size());
    Iov rcvIov;
    rcvIov.Add(got);
    EXPECT_EQ(netTestTask_Run(net(), &pair_.server, &rcvIov.iov, netSock_Recv_CK), MOS_RC__SUCCESS);
    for (MosMit *pMit : {pBig, pOrdinary, pImportant})
        EXPECT_EQ(mosMit_JoinSync(pMit), MOS_RC__SUCCESS);
    std::vector<UINT8> expected = big;
    expected.insert(expected.end(), important.begin(), important.end());
    expected.insert(expected.end(), ordinary.begin(), ordinary.end());
    EXPECT_TRUE(got == expected);
    EXPECT_EQ(bigIov.iov.numOfUsedBuffers, 1u); // each sender's list is as it was
}

TEST_F(NetSecSocketTest, AFailedSocketEndsTheOwnerAndAbortsTheQueuedSecureSenders)
{
    netSocket_SetSndBufSize(&pair_.client, 64);
    netSocket_SetRcvBufSize(&pair_.server, 64);
    std::vector<UINT8> big = pattern(4u << 20, 1), small = pattern(100, 2);
    Iov bigIov, smallIov;
    bigIov.Add(big);
    smallIov.Add(small);
    NetTestTask bigTask, smallTask;
    MosMit *pBig = StartSend(&bigTask, &bigIov.iov, FALSE);
    ASSERT_TRUE(umtTest_WaitFor([&] { return pair_.client.secSocket.secSendList.pCurrMit == pBig; }));
    MosMit *pSmall = StartSend(&smallTask, &smallIov.iov, FALSE);
    ASSERT_TRUE(umtTest_WaitFor([&] { return Queued() == 1; }));
    // The secure disconnect fails the socket itself, so it never waits for senders that would
    // otherwise hand the list on among themselves.
    EXPECT_EQ(netTestTask_Run(net(), &pair_.client, nullptr, netSec_Disconnect_CK), MOS_RC__SUCCESS);
    EXPECT_EQ(mosMit_JoinSync(pBig), MOS_RC__ERROR);
    EXPECT_EQ(mosMit_JoinSync(pSmall), MOS_RC__NOT_CONN);
    EXPECT_EQ(Queued(), 0u);
    EXPECT_EQ(pair_.client.secSocket.secSendList.pCurrMit, nullptr);
}
