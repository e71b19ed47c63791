// Requests, responses, notifications and receive groups between two messaging roots over
// loopback: echo requests arrive byte-exact over 4 paths, time-outs end a request and return a
// late response's buffers, killed paths let every sender return, a request to a peer that never
// connects ends by its time-out, a channel that moved on answers BUSY, privileged mode holds
// ordinary requests back, a response overtakes the messages queued before it, and messages queued
// while a chain of sends stops at its limit still go out.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <latch>
#include <thread>

#include "net/net_channel.h"
#include "net/net_con_send.h"
#include "test/support/net_rpc_support.h"
#include "test/support/net_support.h"
#include "test/support/umt_test_support.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new NetTestRuntimeEnv);

constexpr ConId kServerId = 0x5e2;
constexpr ConId kClientId = 0xc12;
constexpr UINT32 kGrp = NET__RECV_GROUP__DEF;

struct Side {
    NetTestUpper upper;
    NetRpcTestConsumer consumer;
    std::unique_ptr<NetForTest> p;
    Net *net() { return &p->net; }

    void Start(ConId myId, Port listenPort)
    {
        netTestUpper_Init(&upper);
        NetCallback cb = netTestUpper_NetCallback(&upper);
        p = netTest_Create(nullptr, &cb, myId, NET_OWNER_TYPE__TGT);
        netRpcTest_AddGroup(&consumer, net(), kGrp, 4);
        net_Start(net(), listenPort);
    }
    void Stop()
    {
        if (!p)
            return;
        // The group's workers live on the test's scheduler: they end after the net, before it.
        net_Destroy(net());
        net_FreeRecvGroup(net(), consumer.pGroup);
        mosUmtSchedThrd_Destroy(&p->sched);
        p.reset();
    }
};

class NetRpc : public NetTwoSidesTest<Side, kServerId, kClientId> {
  protected:
    // The client connected with all its paths up on both sides.
    void ConnectClientUp(UINT32 portals, UINT32 paths)
    {
        ConnectClient(portals, paths);
        ASSERT_TRUE(umtTest_WaitFor([&] {
            UINT32 all, connected, validated;
            netTest_CountPaths(client_.net(), hClient_, &all, &connected, &validated);
            UINT32 sAll, sConnected, sValidated;
            netTest_CountPaths(server_.net(), ServerCon(), &sAll, &sConnected, &sValidated);
            return connected == portals * paths && sConnected == portals * paths;
        }));
    }
    NetChannel *ChannelOf(Net *pNet, HNetCon hCon)
    {
        NetCon *pCon = netConManager_AcquireCon(&pNet->conManager, hCon);
        NetChannel *pChan = pCon != nullptr ? pCon->pChan : nullptr;
        if (pCon != nullptr)
            netConManager_ReleaseCon(&pNet->conManager, pCon);
        return pChan;
    }

    // Payload i of a burst: sizes around the in-head limit and past a page, bytes from i.
    static std::vector<UINT8> Payload(UINT32 i)
    {
        static const UINT32 sizes[] = {0, 1, 99, 100, 101, 4096, 9000};
        std::vector<UINT8> v(sizes[i % 7]);
        for (size_t k = 0; k < v.size(); k++)
            v[k] = (UINT8)(i * 31 + k * 7);
        return v;
    }
};
} // namespace

TEST_F(NetRpc, TenThousandEchoRequestsOverFourPathsArriveByteExact)
{
    ConnectClientUp(2, 2);
    constexpr UINT32 kSenders = 4, kPerSender = 2500;
    std::atomic<UINT32> bad{0};
    std::vector<std::thread> threads;
    for (UINT32 s = 0; s < kSenders; s++) {
        threads.emplace_back([&, s] {
            umtTest_RunAsUmt([&] {
                for (UINT32 i = 0; i < kPerSender; i++) {
                    const std::vector<UINT8> payload = Payload(s * kPerSender + i);
                    std::vector<UINT8> echoed;
                    Context ctx = 0;
                    const Mos_RC rc = netRpcTest_Call(&client_.consumer, hClient_, kGrp, payload, &echoed, &ctx);
                    if (rc != MOS_RC__SUCCESS || ctx != MOS_RC__SUCCESS || echoed != payload)
                        bad++;
                }
            });
        });
    }
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(bad.load(), 0u);
    EXPECT_EQ(server_.consumer.requests.load(), (int)(kSenders * kPerSender));
    EXPECT_TRUE(umtTest_WaitFor([&] {
        return server_.consumer.buffersGiven == server_.consumer.buffersReturned &&
               client_.consumer.buffersGiven == client_.consumer.buffersReturned;
    }));
    EXPECT_EQ(client_.net()->conManager.dbgQuery.numOfReq, 0u);
}

// The response comes after the time-out: the requester keeps TIMEOUT, and the late response
// finds nothing pending, so its buffers go back to the group that gave them.
TEST_F(NetRpc, TimedOutRequestEndsWithTimeoutAndItsLateResponseBuffersAreReturned)
{
    ConnectClientUp(1, 1);
    server_.consumer.bHoldRequests = true;
    umtTest_RunAsUmt([&] {
        Context ctx = 0;
        EXPECT_EQ(netRpcTest_Call(&client_.consumer, hClient_, kGrp, Payload(5), nullptr, &ctx,
                                  MOS_TIMER_QUEUE_ID__500MILLI),
                  MOS_RC__TIMEOUT);
        EXPECT_EQ(ctx, (Context)MOS_RC__TIMEOUT);
    });
    ASSERT_EQ(server_.consumer.held.size(), 1u);
    umtTest_RunAsUmt([&] { netRpcTest_Answer(&server_.consumer, server_.consumer.held[0]); });
    EXPECT_TRUE(umtTest_WaitFor([&] {
        return client_.consumer.buffersGiven > 0 && client_.consumer.buffersGiven == client_.consumer.buffersReturned;
    }));
    EXPECT_EQ(client_.net()->conManager.dbgQuery.numOfReq, 0u);
}

// A request to a peer that never comes up ends when its time-out runs out or the connect fails
// (never by the 1-minute guard): a port nobody listens on, a listener that takes the TCP
// connection but never answers its NEW_CON (the request waits for the connect until its timer
// takes it out), and a connection that was never asked to connect.
TEST_F(NetRpc, RequestToAPeerThatNeverConnectsEndsByItsTimeout)
{
    client_.Start(kClientId, 0);
    NetCon_RemoteHosts hosts = netTest_LoopbackHosts(1, netEngineTest_FreePort(), 1);
    const HNetCon hNever = net_AllocClientConList(client_.net(), 0x777, NET_OWNER_TYPE__TGT, &client_.upper.conCB, &hosts);
    const int mute = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_GE(mute, 0);
    struct sockaddr_in sa {};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t saLen = sizeof(sa);
    ASSERT_EQ(bind(mute, reinterpret_cast<sockaddr *>(&sa), sizeof(sa)), 0);
    ASSERT_EQ(listen(mute, 8), 0);
    ASSERT_EQ(getsockname(mute, reinterpret_cast<sockaddr *>(&sa), &saLen), 0);
    hosts.port = ntohs(sa.sin_port);
    const HNetCon hMute = net_AllocClientConList(client_.net(), 0x779, NET_OWNER_TYPE__TGT, &client_.upper.conCB, &hosts);
    hosts.port = netEngineTest_FreePort();
    const HNetCon hIdle = net_AllocClientConList(client_.net(), 0x778, NET_OWNER_TYPE__TGT, &client_.upper.conCB, &hosts);
    ASSERT_TRUE(net_Connect(client_.net(), hNever, FALSE));
    ASSERT_TRUE(net_Connect(client_.net(), hMute, FALSE));
    struct Case {
        HNetCon hCon;
        Mos_RC expected[2];
    } cases[] = {{hNever, {MOS_RC__TIMEOUT, MOS_RC__NOT_CONN}},
                 {hMute, {MOS_RC__TIMEOUT, MOS_RC__NOT_CONN}},
                 {hIdle, {MOS_RC__NOT_CONN, MOS_RC__NOT_CONN}}};
    for (const Case &c : cases) {
        const auto start = std::chrono::steady_clock::now();
        umtTest_RunAsUmt([&] {
            const Mos_RC rc = netRpcTest_Call(&client_.consumer, c.hCon, kGrp, Payload(3), nullptr, nullptr,
                                              MOS_TIMER_QUEUE_ID__500MILLI);
            EXPECT_TRUE(rc == c.expected[0] || rc == c.expected[1]) << mosRc_GetStr(rc);
        });
        // Far below the guard's minute, far above the half-second queue on a slow machine.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    }
    EXPECT_EQ(client_.net()->conManager.dbgQuery.numOfReq, 0u);
    net_Disconnect(client_.net(), hNever);
    net_Disconnect(client_.net(), hMute);
    net_Disconnect(client_.net(), hIdle);
    close(mute);
}

// A burst of requests from 8 senders while one path, then every path, is cut: every sender
// returns, each request with success, NOT_CONN (it was queued or in flight when its paths went)
// or TIMEOUT, and none stays pending.
TEST_F(NetRpc, KillingPathsMidBurstLetsEverySenderReturn)
{
    ConnectClientUp(2, 2);
    for (const bool bEveryPath : {false, true}) {
        SCOPED_TRACE(bEveryPath ? "every path" : "one path");
        ASSERT_TRUE(umtTest_WaitFor([&] { return net_IsFullyConnected(client_.net(), hClient_); }));
        constexpr UINT32 kSenders = 8, kPerSender = 300;
        std::atomic<UINT32> returned{0}, unexpected{0};
        std::vector<std::thread> threads;
        for (UINT32 s = 0; s < kSenders; s++) {
            threads.emplace_back([&, s] {
                umtTest_RunAsUmt([&] {
                    for (UINT32 i = 0; i < kPerSender; i++) {
                        const Mos_RC rc = netRpcTest_Call(&client_.consumer, hClient_, kGrp, Payload(s + i), nullptr,
                                                          nullptr, MOS_TIMER_QUEUE_ID__2SEC);
                        if (rc != MOS_RC__SUCCESS && rc != MOS_RC__NOT_CONN && rc != MOS_RC__TIMEOUT)
                            unexpected++;
                        returned++;
                    }
                });
            });
        }
        EXPECT_TRUE(umtTest_WaitFor([&] { return returned.load() > 200; }));
        NetCon *pCon = netConManager_AcquireCon(&client_.net()->conManager, hClient_);
        EXPECT_NE(pCon, nullptr);
        if (pCon != nullptr) {
            // Client paths live on across reconnects: the arrays stay as they are.
            for (UINT32 portal = 0; portal < (bEveryPath ? 2u : 1u); portal++)
                for (UINT32 path = 0; path < (bEveryPath ? 2u : 1u); path++)
                    netPath_MarkAsError(pCon->pPortalsArr[portal]->pPathsArr[path]);
            netConManager_ReleaseCon(&client_.net()->conManager, pCon);
        }
        for (auto &t : threads)
            t.join();
        EXPECT_EQ(returned.load(), kSenders * kPerSender);
        EXPECT_EQ(unexpected.load(), 0u);
        EXPECT_EQ(client_.net()->conManager.dbgQuery.numOfReq, 0u);
    }
}

// The server's channel has moved on to receive number 10: a request stamped 5 is answered BUSY
// without reaching the consumer, a notification stamped 5 is dropped with its buffers, and a
// request stamped 10 goes through.
TEST_F(NetRpc, OldChannelNumberIsRefusedWithBusy)
{
    ConnectClientUp(1, 1);
    NetChannel *pServerChan = ChannelOf(server_.net(), ServerCon());
    NetChannel *pClientChan = ChannelOf(client_.net(), hClient_);
    ASSERT_NE(pServerChan, nullptr);
    ASSERT_NE(pClientChan, nullptr);
    umtTest_RunAsUmt([&] { EXPECT_TRUE(netChannel_ChangeChanNum(pServerChan, 10, FALSE)); });
    netChannel_UpdateSendId(pClientChan, 5);
    const UINT32 rejectedBefore = mosDiagCounters_Get(MOS_DIAG_COUNTER__NET_CHAN_REJECTED_MSG);
    umtTest_RunAsUmt([&] {
        Context ctx = 0;
        EXPECT_EQ(netRpcTest_Call(&client_.consumer, hClient_, kGrp, Payload(4), nullptr, &ctx), MOS_RC__SUCCESS);
        EXPECT_EQ(ctx, (Context)MOS_RC__BUSY);
        NetRpcMsg notif;
        NetRpcData *pData = netMsgSndAsync_Init(&notif, client_.net(), NET_MSG_TYPE__NOTIFICATION, TRUE, nullptr);
        pData->grpId = kGrp;
        std::vector<UINT8> bytes = Payload(5);
        netIov_AddBuffer(&pData->iov, bytes.data(), (UINT32)bytes.size(), NET_IOV_BUF_TYPE__USER_FIRST);
        EXPECT_EQ(netRpc_SendNotification(client_.net(), hClient_, &notif, TRUE), MOS_RC__SUCCESS);
        netMsgSndAsync_Destroy(&notif);
    });
    EXPECT_EQ(server_.consumer.requests.load(), 0);
    EXPECT_TRUE(umtTest_WaitFor([&] {
        return mosDiagCounters_Get(MOS_DIAG_COUNTER__NET_CHAN_REJECTED_MSG) == rejectedBefore + 2 &&
               server_.consumer.buffersGiven == server_.consumer.buffersReturned;
    }));
    EXPECT_EQ(server_.consumer.notifs.load(), 0);
    netChannel_UpdateSendId(pClientChan, 10);
    umtTest_RunAsUmt([&] {
        Context ctx = 0;
        std::vector<UINT8> echoed;
        EXPECT_EQ(netRpcTest_Call(&client_.consumer, hClient_, kGrp, Payload(4), &echoed, &ctx), MOS_RC__SUCCESS);
        EXPECT_EQ(ctx, (Context)MOS_RC__SUCCESS);
        EXPECT_EQ(echoed, Payload(4));
    });
    EXPECT_EQ(server_.consumer.requests.load(), 1);
}

// While the client's connection is in privileged mode a privileged request goes at once, stamped
// with channel number 0; an ordinary one waits until the mode ends, and fails with NOT_CONN when
// it is still on after the 2-second wait.
TEST_F(NetRpc, PrivilegedModeHoldsOrdinaryRequestsAndLetsPrivilegedOnesThroughOnChannelZero)
{
    ConnectClientUp(1, 1);
    NetCon *pCon = netConManager_AcquireCon(&client_.net()->conManager, hClient_);
    ASSERT_NE(pCon, nullptr);
    netChannel_UpdateSendId(pCon->pChan, 7);
    auto waitingForPrivilege = [&] {
        MosFastlockGuard g(&pCon->conFastlock);
        return pCon->privilegedCond.waiters.counter == 1;
    };
    auto call = [&](bool bPrivileged) {
        Mos_RC rc = MOS_RC__ILLEGAL;
        umtTest_RunAsUmt([&] {
            rc = netRpcTest_Call(&client_.consumer, hClient_, kGrp, Payload(6), nullptr, nullptr,
                                 MOS_TIMER_QUEUE_ID__10SEC, bPrivileged);
        });
        return rc;
    };
    netCon_ModifyPrivilegedSend(pCon, TRUE);
    EXPECT_EQ(call(true), MOS_RC__SUCCESS);
    EXPECT_EQ(server_.consumer.lastRecvChanNum.load(), 0u);

    Mos_RC held = MOS_RC__ILLEGAL;
    std::thread ordinary([&] { held = call(false); });
    EXPECT_TRUE(umtTest_WaitFor(waitingForPrivilege));
    EXPECT_EQ(server_.consumer.requests.load(), 1);
    netCon_ModifyPrivilegedSend(pCon, FALSE);
    ordinary.join();
    EXPECT_EQ(held, MOS_RC__SUCCESS);
    EXPECT_EQ(server_.consumer.lastRecvChanNum.load(), 7u);

    netCon_ModifyPrivilegedSend(pCon, TRUE);
    EXPECT_EQ(call(false), MOS_RC__NOT_CONN);
    EXPECT_EQ(server_.consumer.requests.load(), 2);
    netCon_ModifyPrivilegedSend(pCon, FALSE);
    netConManager_ReleaseCon(&client_.net()->conManager, pCon);
    EXPECT_EQ(client_.net()->conManager.dbgQuery.numOfReq, 0u);
}

// A connection that lost its only path is DISCONNECTED: a request on it fails at once, well
// inside its own time-out, and counts the peer as unreachable.
TEST_F(NetRpc, RequestOnADisconnectedConnectionFailsAtOnceAndCountsTheUnreachablePeer)
{
    ConnectClientUp(1, 1);
    server_.Stop();
    ASSERT_TRUE(umtTest_WaitFor([&] { return !net_IsConnected(client_.net(), hClient_); }));
    const UINT32 before = mosDiagCounters_Get(MOS_DIAG_COUNTER__REMOTE_IS_UNREACHABLE);
    const auto start = std::chrono::steady_clock::now();
    umtTest_RunAsUmt([&] {
        EXPECT_EQ(netRpcTest_Call(&client_.consumer, hClient_, kGrp, Payload(2), nullptr, nullptr,
                                  MOS_TIMER_QUEUE_ID__1MIN),
                  MOS_RC__NOT_CONN);
    });
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(30));
    EXPECT_GT(mosDiagCounters_Get(MOS_DIAG_COUNTER__REMOTE_IS_UNREACHABLE), before);
    EXPECT_EQ(client_.net()->conManager.dbgQuery.numOfReq, 0u);
}

// The server's only path is busy (its send loop taken from its wait, as a sender on an idle
// connection takes it) while 100 notifications and then a response queue up: when the path is
// free again the response goes out first, the notifications after it in their order.
TEST_F(NetRpc, AResponseQueuedBehindAHundredNotificationsIsSentFirst)
{
    ConnectClientUp(1, 1);
    server_.consumer.bHoldRequests = true;
    Mos_RC requestRc = MOS_RC__ILLEGAL;
    std::thread requester([&] {
        umtTest_RunAsUmt([&] {
            requestRc = netRpcTest_Call(&client_.consumer, hClient_, kGrp, Payload(6), nullptr, nullptr,
                                        MOS_TIMER_QUEUE_ID__15SEC);
        });
    });
    ASSERT_TRUE(umtTest_WaitFor([&] { return server_.consumer.requests.load() == 1; }));
    NetCon *pCon = netConManager_AcquireCon(&server_.net()->conManager, ServerCon());
    ASSERT_NE(pCon, nullptr);
    MosMit *pLoop = nullptr;
    {
        MosFastlockGuard g(&pCon->conFastlock);
        pLoop = mosMitCond_NextMitToWake(&pCon->senderCond);
        ASSERT_NE(pLoop, nullptr);
        ASSERT_TRUE(mosMitCond_TakeWaiter(&pCon->senderCond, pLoop));
    }
    constexpr int kNotifs = 100;
    std::vector<NetRpcMsg> notifs(kNotifs);
    UINT8 bytes[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    for (NetRpcMsg &m : notifs) {
        NetRpcData *pData = netMsgSndAsync_Init(&m, server_.net(), NET_MSG_TYPE__NOTIFICATION, FALSE, nullptr);
        pData->grpId = kGrp;
        netIov_AddBuffer(&pData->iov, bytes, sizeof(bytes), NET_IOV_BUF_TYPE__USER_FIRST);
        EXPECT_EQ(netRpc_SendNotification(server_.net(), ServerCon(), &m, FALSE), MOS_RC__SUCCESS);
    }
    std::thread responder([&] { umtTest_RunAsUmt([&] { netRpcTest_Answer(&server_.consumer, server_.consumer.held[0]); }); });
    EXPECT_TRUE(umtTest_WaitFor([&] {
        MosFastlockGuard g(&pCon->conFastlock);
        return pCon->prioritizedMsgQueue.counter == 1 && pCon->msgQueue.counter == (UINT32)kNotifs;
    }));
    client_.consumer.bRecordTypes = true;
    mosMit_Resume(pLoop, MOS_RC__NOTHING_TO_DO);
    responder.join();
    requester.join();
    EXPECT_EQ(requestRc, MOS_RC__SUCCESS);
    EXPECT_TRUE(umtTest_WaitFor([&] {
        return client_.consumer.notifs.load() == kNotifs && server_.consumer.sendDones.load() == kNotifs;
    }));
    {
        std::lock_guard<std::mutex> lock(client_.consumer.mu);
        ASSERT_EQ(client_.consumer.types.size(), (size_t)kNotifs + 1);
        EXPECT_EQ(client_.consumer.types[0], SOCKET_HEADER_TYPE__SND_RCV_CB);
        for (size_t i = 1; i < client_.consumer.types.size(); i++)
            EXPECT_EQ(client_.consumer.types[i], SOCKET_HEADER_TYPE__NOTIF) << i;
    }
    for (NetRpcMsg &m : notifs)
        netMsgSndAsync_Destroy(&m);
    netConManager_ReleaseCon(&server_.net()->conManager, pCon);
}

// A path that finishes a send hands itself to the next queued message only up to the chain's
// limit. With the limit at 0 every send that took the idle send loop gives it back while other
// senders keep queueing: whatever queued meanwhile must still go out, or it waits for a send that
// may never come. Bursts of notifications from many threads end with sends racing each other.
TEST_F(NetRpc, MessagesQueuedWhileTheChainStopsAtItsLimitAreStillSent)
{
    ConnectClientUp(1, 1);
    server_.net()->confParam.maxPrioritySends = 0;
    constexpr int kRounds = 500, kSenders = 8, kPerSender = 2;
    std::vector<NetRpcMsg> msgs(kSenders * kPerSender);
    std::vector<UINT8> bytes(9000, 0x5a);
    for (int round = 1; round <= kRounds; round++) {
        std::vector<std::thread> threads;
        std::latch start(kSenders);
        for (int s = 0; s < kSenders; s++) {
            threads.emplace_back([&, s] {
                umtTest_RunAsUmt([&] {
                    start.arrive_and_wait();
                    for (int i = 0; i < kPerSender; i++) {
                        NetRpcMsg &m = msgs[s * kPerSender + i];
                        NetRpcData *pData =
                            netMsgSndAsync_Init(&m, server_.net(), NET_MSG_TYPE__NOTIFICATION, FALSE, nullptr);
                        pData->grpId = kGrp;
                        netIov_AddBuffer(&pData->iov, bytes.data(), (UINT32)(1 + (s * 977 + i * 131) % bytes.size()),
                                         NET_IOV_BUF_TYPE__USER_FIRST);
                        EXPECT_EQ(netRpc_SendNotification(server_.net(), ServerCon(), &m, FALSE), MOS_RC__SUCCESS);
                    }
                });
            });
        }
        for (auto &t : threads)
            t.join();
        const int total = round * kSenders * kPerSender;
        ASSERT_TRUE(umtTest_WaitFor([&] {
            return client_.consumer.notifs.load() == total && server_.consumer.sendDones.load() == total;
        })) << "round " << round << ": " << client_.consumer.notifs.load() << " of " << total << " arrived";
        for (NetRpcMsg &m : msgs)
            netMsgSndAsync_Destroy(&m);
    }
}
