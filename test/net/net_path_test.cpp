// Paths and connections over loopback, two messaging roots in one process: a client connection of
// 3 portals × 2 paths comes up and validates; a cut path reconnects; a silent peer is marked down
// by keep-alive; a malformed head closes only its own path; a restarted peer's new identity is
// adopted and the old one refused; a ninth portal is refused.
#include <gtest/gtest.h>

#include "mos/mos_diag_counters.h"
#include "mos/mos_obj.h"
#include "mos/sdbg/sdbg_exports.h"
#include "test/support/panic_expect.h"
#include "test/peers/wire_peer.h"
#include "test/support/net_support.h"
#include "test/support/umt_test_support.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new NetTestRuntimeEnv);

constexpr ConId kServerId = 0x5e1;
constexpr ConId kClientId = 0xc11;

// One side: a root object, its upper layer and its default receive group.
struct Side {
    NetTestUpper upper;
    NetTestGroup group;
    std::unique_ptr<NetForTest> p;
    Net *net() { return &p->net; }

    void Start(ConId myId, Port listenPort)
    {
        netTestUpper_Init(&upper);
        NetCallback cb = netTestUpper_NetCallback(&upper);
        p = netTest_Create(nullptr, &cb, myId, NET_OWNER_TYPE__TGT);
        group.pNet = net();
        net_AddRecvGroup(net(), NET__RECV_GROUP__DEF, &group, netTestGroup_Ops());
        net_Start(net(), listenPort);
    }
    void Stop()
    {
        if (p)
            netTest_Destroy(p);
    }
};

class NetPaths : public NetTwoSidesTest<Side, kServerId, kClientId> {
  protected:
    // All n paths of both sides connected and validated.
    bool AllUp(UINT32 n)
    {
        return umtTest_WaitFor([&] {
            UINT32 paths, connected, validated;
            netTest_CountPaths(client_.net(), hClient_, &paths, &connected, &validated);
            if (connected != n || validated != n)
                return false;
            netTest_CountPaths(server_.net(), ServerCon(), &paths, &connected, &validated);
            return connected == n && validated == n;
        });
    }
};
} // namespace

TEST_F(NetPaths, ThreePortalsOfTwoPathsComeUpValidateAndCarryNotifications)
{
    ConnectClient();
    ASSERT_TRUE(AllUp(6));
    EXPECT_TRUE(net_IsConnected(client_.net(), hClient_));
    EXPECT_TRUE(net_IsFullyValidated(client_.net(), hClient_, FALSE));
    EXPECT_EQ(client_.upper.connects.load(), 1);
    EXPECT_EQ(server_.upper.connects.load(), 1);
    UINT32 version = 0;
    EXPECT_TRUE(net_GetPeerVersion(client_.net(), hClient_, TRUE, 1000, &version));
    EXPECT_EQ(version, net_GetMyNumericVersion());

    NetCon_GetConState state;
    ASSERT_TRUE(net_GetConState(client_.net(), hClient_, &state));
    EXPECT_EQ(state.conState, CON_STATE__CONNECTED);
    EXPECT_EQ(state.hostsCount, 3u);

    // The debug registry answers for the client connection: its portals, each with both paths up.
    MosObj_Type *pConType = mosObjType_GetPtrByID(SDBG_EXPORTS_OBJ_TYPE__NET_CON);
    ASSERT_NE(pConType, nullptr);
    EXPECT_EQ(mosObjType_SizeAssociated(pConType), 648u);
    NetCon_Query query{};
    BOOL bFound = FALSE;
    mosObjType_EnumStart(pConType);
    for (MosObj *pObj; !bFound && (pObj = mosObjType_EnumGetNextObj(pConType)) != nullptr;) {
        mosObj_Query(pObj, pConType, &query);
        bFound = query.conType == CON_TYPE__CLIENT;
    }
    mosObjType_EnumStop(pConType);
    ASSERT_TRUE(bFound);
    EXPECT_EQ(query.conId, kServerId);
    EXPECT_EQ(query.hCon, hClient_);
    EXPECT_EQ(query.conState, CON_STATE__CONNECTED);
    EXPECT_EQ(query.peerVersion, net_GetMyNumericVersion());
    ASSERT_EQ(query.numOfPortals, 3u);
    for (UINT32 i = 0; i < 3; i++) {
        SCOPED_TRACE(i);
        EXPECT_STREQ(query.portals[i].addr, state.portals[i].addr);
        EXPECT_EQ(query.portals[i].numOfPaths, 2u);
        EXPECT_EQ(query.portals[i].numOfConnectedPaths, 2u);
        EXPECT_EQ(query.portals[i].numOfValidatedPaths, 2u);
    }

    // A 30-byte notification travels in the head and lands scattered across a 7-byte first buffer
    // and the rest; a 5000-byte one is read after the head.
    WirePeer peer;
    ASSERT_TRUE(peer.Connect(port_));
    const NetIdentifier *pId = net_GetNetIdentifier(client_.net());
    ASSERT_TRUE(peer.Send(WirePeer::NewCon(kClientId, NET_OWNER_TYPE__TGT, net_GetMyNumericVersion(), pId->timeStamp,
                                           pId->magicNumber)));
    std::vector<UINT8> small(30);
    for (size_t i = 0; i < small.size(); i++)
        small[i] = (UINT8)(i * 7 + 1);
    ASSERT_TRUE(peer.Send(WirePeer::Notif(NET__RECV_GROUP__DEF, 5, small)));
    std::vector<UINT8> big(5000);
    for (size_t i = 0; i < big.size(); i++)
        big[i] = (UINT8)(i * 13 + 3);
    std::vector<UINT8> bigHead(128, 0);
    WirePeer::Put32(bigHead, 0, 0x42890141u);
    WirePeer::Put32(bigHead, 1, (uint32_t)big.size());
    WirePeer::Put32(bigHead, 3, NET__RECV_GROUP__DEF);
    ASSERT_TRUE(peer.Send(bigHead));
    ASSERT_TRUE(peer.Send(big));
    ASSERT_TRUE(umtTest_WaitFor([&] {
        std::lock_guard<std::mutex> lock(server_.group.mu);
        return server_.group.payloads.size() == 2;
    }));
    std::lock_guard<std::mutex> lock(server_.group.mu);
    EXPECT_EQ(server_.group.payloads[0], small);
    EXPECT_EQ(server_.group.payloads[1], big);
}

TEST_F(NetPaths, ASingleRootReachesOneHostOverOnePath)
{
    netTestUpper_Init(&client_.upper);
    NetCallback cb = netTestUpper_NetCallback(&client_.upper);
    NetConfParam conf;
    netConfParam_SetDefaults(&conf);
    conf.bPollTimers = !mosTimer_G.bThrdsUsed;
    MosUmt_SchedThrd sched;
    MOS_ASSERT_SUCCESS(mosUmtSchedThrd_Create(&sched, "single root", 2, 2, 0));
    Net *pNet = net_SingleCreate(&cb, &sched.base, 28, kClientId, NET_OWNER_TYPE__TGT, &conf);
    net_SetPollTimerQs(pNet, MOS_TIMER_QUEUE_ID__100MILLI, MOS_TIMER_QUEUE_ID__5MIN);
    net_SingleStart(pNet, 0);

    const HNetCon hCon = net_AllocClientConIntr(pNet, kServerId, 0, NET_OWNER_TYPE__TGT, &client_.upper.conCB,
                                                "127.0.0.1", port_);
    ASSERT_NE(hCon, 0u);
    ASSERT_TRUE(net_Connect(pNet, hCon, FALSE));
    EXPECT_TRUE(umtTest_WaitFor([&] {
        UINT32 paths, connected, validated;
        netTest_CountPaths(pNet, hCon, &paths, &connected, &validated);
        return paths == 1 && validated == 1;
    }));
    NetCon_GetConState info;
    ASSERT_TRUE(net_GetConInfo(pNet, hCon, &info));
    EXPECT_EQ(info.hostsCount, 1u);
    EXPECT_TRUE(info.portals[0].bConnected);
    EXPECT_FALSE(net_GetConInfo(pNet, hCon + 1, &info)); // an unknown handle

    net_Disconnect(pNet, hCon);
    net_Destroy(pNet);
    free(pNet);
    mosUmtSchedThrd_Destroy(&sched);
}

TEST_F(NetPaths, ACutPathReconnects)
{
    ConnectClient(1, 2);
    ASSERT_TRUE(AllUp(2));
    NetCon *pCon = netConManager_AcquireCon(&client_.net()->conManager, hClient_);
    ASSERT_NE(pCon, nullptr);
    NetPath *pPath = pCon->pPortalsArr[0]->pPathsArr[0];
    netPath_MarkAsError(pPath);
    netConManager_ReleaseCon(&client_.net()->conManager, pCon);
    EXPECT_TRUE(umtTest_WaitFor([&] { return mosDiagCounters_Get(MOS_DIAG_COUNTER__SOCKET_DOWN) != 0; }));
    EXPECT_TRUE(AllUp(2));
    EXPECT_TRUE(net_IsConnected(client_.net(), hClient_));
}

TEST_F(NetPaths, ASilentPeerIsMarkedDownByKeepAlive)
{
    WirePeer silent;
    ASSERT_TRUE(silent.Connect(port_));
    ASSERT_TRUE(silent.Send(WirePeer::NewCon(0xabc, NET_OWNER_TYPE__TGT, 1, 0x1111, 0x2222)));
    const UINT32 before = mosDiagCounters_Get(MOS_DIAG_COUNTER__KA_CAUSED_DISCONNECT);
    // The server's keep-alives arrive, but nothing comes back: 20 ticks later the path is down.
    std::vector<uint8_t> head;
    ASSERT_TRUE(silent.RecvHead(head, 5000));
    EXPECT_EQ(head[1] & 0x0F, 0x06); // KEEPALIVE
    EXPECT_TRUE(silent.WaitClosed(20000));
    EXPECT_GT(mosDiagCounters_Get(MOS_DIAG_COUNTER__KA_CAUSED_DISCONNECT), before);
}

TEST_F(NetPaths, AMalformedHeadClosesOnlyItsOwnPath)
{
    ConnectClient(1, 2);
    ASSERT_TRUE(AllUp(2));
    const NetIdentifier *pId = net_GetNetIdentifier(client_.net());
    WirePeer bad;
    ASSERT_TRUE(bad.Connect(port_));
    ASSERT_TRUE(bad.Send(WirePeer::NewCon(kClientId, NET_OWNER_TYPE__TGT, net_GetMyNumericVersion(), pId->timeStamp,
                                          pId->magicNumber)));
    std::vector<uint8_t> ka;
    ASSERT_TRUE(bad.RecvHead(ka, 5000)); // the server's keep-alive: the path is up
    const UINT32 illegal = mosDiagCounters_Get(MOS_DIAG_COUNTER__RECEIVED_ILLEGAL_HEADER);
    std::vector<uint8_t> garbage(128, 0x5a);
    ASSERT_TRUE(bad.Send(garbage));
    EXPECT_TRUE(bad.WaitClosed(20000));
    EXPECT_GT(mosDiagCounters_Get(MOS_DIAG_COUNTER__RECEIVED_ILLEGAL_HEADER), illegal);
    UINT32 paths, connected, validated;
    netTest_CountPaths(client_.net(), hClient_, &paths, &connected, &validated);
    EXPECT_EQ(connected, 2u);
    NetCon_GetConState state;
    ASSERT_TRUE(net_GetConState(server_.net(), ServerCon(), &state));
    EXPECT_EQ(state.conState, CON_STATE__CONNECTED) << state.hostsCount;
    netTest_CountPaths(server_.net(), ServerCon(), &paths, &connected, &validated);
    EXPECT_EQ(connected, 2u);
}

// The client's two paths die at once on its disconnect: each dying path must drop only its own
// references on the connection, or one frees it while the other is still to unlock it.
TEST_F(NetPaths, ARestartedPeersNewIdentityIsAdoptedAndTheOldOneRefused)
{
    ConnectClient(1, 2);
    ASSERT_TRUE(AllUp(2));
    const NetIdentifier oldId = *net_GetNetIdentifier(client_.net());
    net_Disconnect(client_.net(), hClient_);
    hClient_ = 0;
    client_.Stop();
    ASSERT_TRUE(umtTest_WaitFor([&] { return !net_IsConnected(server_.net(), ServerCon()); }));

    ConnectClient(1, 2); // a new incarnation: same id, new identity
    const NetIdentifier newId = *net_GetNetIdentifier(client_.net());
    ASSERT_FALSE(NET_ID__IS_MATCH(&oldId, &newId));
    ASSERT_TRUE(AllUp(2));
    NetCon *pCon = netConManager_AcquireCon(&server_.net()->conManager, ServerCon());
    ASSERT_NE(pCon, nullptr);
    EXPECT_TRUE(NET_ID__IS_MATCH(&pCon->peerId, &newId));
    netConManager_ReleaseCon(&server_.net()->conManager, pCon);

    const UINT32 mismatches = mosDiagCounters_Get(MOS_DIAG_COUNTER__MESSAGE_PEER_ID_MISMATCH);
    WirePeer stale;
    ASSERT_TRUE(stale.Connect(port_));
    ASSERT_TRUE(stale.Send(WirePeer::NewCon(kClientId, NET_OWNER_TYPE__TGT, net_GetMyNumericVersion(), oldId.timeStamp,
                                            oldId.magicNumber)));
    EXPECT_TRUE(stale.WaitClosed(20000));
    EXPECT_GT(mosDiagCounters_Get(MOS_DIAG_COUNTER__MESSAGE_PEER_ID_MISMATCH), mismatches);
    EXPECT_TRUE(AllUp(2));
}

TEST_F(NetPaths, ANinthPortalIsRefused)
{
    WirePeer peers[9];
    for (UINT32 i = 0; i < 9; i++) {
        const std::string src = "127.0.0." + std::to_string(i + 2);
        ASSERT_TRUE(peers[i].Connect(port_, src.c_str()));
        ASSERT_TRUE(peers[i].Send(WirePeer::NewCon(0x99, NET_OWNER_TYPE__TGT, 1, 0x1234, 0x5678)));
        if (i < 8) {
            std::vector<uint8_t> head;
            ASSERT_TRUE(peers[i].RecvHead(head, 5000)) << i; // its keep-alive: the path is up
            ASSERT_TRUE(peers[i].Send(WirePeer::KeepAlive(1, 0x1234, 0x5678)));
        }
    }
    EXPECT_TRUE(peers[8].WaitClosed(20000));
    UINT32 paths, connected, validated, portals;
    netTest_CountPaths(server_.net(), net_GetCon(server_.net(), 0x99), &paths, &connected, &validated, &portals);
    EXPECT_EQ(portals, 8u);
    for (auto &peer : peers)
        peer.Close();
}

TEST(NetGlobal, ASecondRegistrationOfTheDebugTypesStopsTheProcess)
{
    EXPECT_PANIC(net_GlobalInit(), "netSdbg_bRegistered_G");
}
