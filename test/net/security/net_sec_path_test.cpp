// Paths upgraded to TLS between two messaging roots of one process, and the server's answers to
// clients that ask for TLS or do not: certificates from a test authority made by the openssl
// command once per program; raw peers that speak the frame format byte by byte, in the clear or
// through a TLS session of their own.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <thread>

#include "mos/mos_diag_counters.h"
#include "mos/usr/security/mos_security.h"
#include "net/security/net_sec.h"
#include "test/peers/wire_peer.h"
#include "test/support/net_rpc_support.h"
#include "test/support/net_support.h"
#include "test/support/scratch_dir.h"
#include "test/support/tls_support.h"
#include "test/support/umt_test_support.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new NetTestRuntimeEnv);

constexpr ConId kServerId = 0x5e1;
constexpr ConId kClientId = 0xc11;
constexpr MosSslContextIdType kServerCtx = MOS_SSL_CONTEXT_ID__DEFAULT;
constexpr MosSslContextIdType kClientCtx = MOS_SSL_CONTEXT_ID__CUSTOM_1;
constexpr MosSslContextIdType kDistrustCtx = MOS_SSL_CONTEXT_ID__CUSTOM_2; // trusts another authority

NetSecConParams secParams(NetSecModeType mode, NetSecServerPolicy policy, MosSslContextIdType ctx,
                          MosSecurityCertOpaque *pOpq = nullptr)
{
    NetSecConParams p;
    netSecConf_ResetConParams(&p);
    p.secMode = mode;
    p.serverSecPolicy = policy;
    p.protoParams.ssl.sslContextId = ctx;
    p.protoParams.ssl.pPeerCertOpq = pOpq;
    return p;
}

// A root object whose server side runs by the given parameters, its upper layer initialised.
std::unique_ptr<NetForTest> createNet(NetTestUpper *pUpper, ConId myId, const NetSecConParams &server)
{
    netTestUpper_Init(pUpper);
    NetCallback cb = netTestUpper_NetCallback(pUpper);
    NetConfParam conf;
    netConfParam_SetDefaults(&conf);
    conf.securityParams.serverParams = server;
    return netTest_Create(&conf, &cb, myId, NET_OWNER_TYPE__TGT);
}

// One side: a root object with its security configuration, its upper layer and its default
// receive group.
struct Side {
    NetTestUpper upper;
    NetTestGroup group;
    std::unique_ptr<NetForTest> p;
    Net *net() { return &p->net; }

    void Start(ConId myId, Port listenPort, const NetSecConParams &server)
    {
        p = createNet(&upper, myId, server);
        group.pNet = net();
        net_AddRecvGroup(net(), NET__RECV_GROUP__DEF, &group, netTestGroup_Ops());
        net_Start(net(), listenPort);
    }
    void Stop()
    {
        if (p)
            netTest_Destroy(p);
    }
    size_t Received()
    {
        std::lock_guard<std::mutex> lock(group.mu);
        return group.payloads.size();
    }
};

// A side whose default group answers requests by echoing them.
struct RpcSide {
    NetTestUpper upper;
    NetRpcTestConsumer consumer;
    std::unique_ptr<NetForTest> p;
    Net *net() { return &p->net; }

    void Start(ConId myId, Port listenPort, const NetSecConParams &server)
    {
        p = createNet(&upper, myId, server);
        netRpcTest_AddGroup(&consumer, net(), NET__RECV_GROUP__DEF, 4);
        net_Start(net(), listenPort);
    }
    void Stop()
    {
        if (!p)
            return;
        net_Destroy(net());
        net_FreeRecvGroup(net(), consumer.pGroup);
        mosUmtSchedThrd_Destroy(&p->sched);
        p.reset();
    }
};

// Writes one data frame on a path as a task of the path's root object, the way a connection's
// message does.
Mos_RC sendOnPath(NetPath *pPath, const std::vector<UINT8> &payload, UINT32 msgId)
{
    NetSmallIov iov;
    NET_IOV__INIT(&iov);
    netIov_AddBuffer(&iov, const_cast<UINT8 *>(payload.data()), (UINT32)payload.size(), NET_IOV_BUF_TYPE__USER_FIRST);
    NetTestTask task;
    netPath_IncreaseRefCount(pPath);
    netMit_InitEx(&task.netMit, net_GetWorkerMitSched(pPath->pNet), pPath->pNet, nullptr, FALSE, TRUE);
    task.netMit.area.pPath = pPath;
    task.netMit.area.sockArea.pSock = &pPath->sock;
    task.netMit.area.pIov = &iov;
    socketHeader_FillData(&task.netMit.area.extHeader, NET_MSG_TYPE__NOTIFICATION, 7, NET__RECV_GROUP__DEF, msgId, 0);
    MosMit *pMit = netMit_GetMit(&task.netMit);
    mosMit_Start(pMit, netPath_Send_CK);
    const Mos_RC rc = mosMit_JoinSync(pMit);
    netPath_DecreaseRefCount(pPath);
    netIov_Destroy(&iov);
    return rc;
}

std::vector<UINT8> pattern(size_t n, UINT8 seed)
{
    std::vector<UINT8> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = (UINT8)(i * 31 + seed + (i >> 8));
    return v;
}

// A client of our own over a blocking socket: asks for the upgrade, runs the handshake through a
// TLS session of the client's context, and then writes heads through it, each in as many TLS
// records as asked.
class TlsWirePeer {
  public:
    ~TlsWirePeer()
    {
        mosSsl_DestroySocketHandle(h_);
        if (fd_ >= 0)
            close(fd_);
    }
    bool Connect(Port port)
    {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in dst{};
        dst.sin_family = AF_INET;
        dst.sin_port = htons(port);
        inet_pton(AF_INET, "127.0.0.1", &dst.sin_addr);
        if (fd_ < 0 || connect(fd_, reinterpret_cast<sockaddr *>(&dst), sizeof(dst)) != 0 ||
            !SendRaw(head(0x42890741u, 0, 0)))
            return false;
        std::vector<uint8_t> rsp(128);
        for (size_t got = 0; got < rsp.size();) {
            const ssize_t n = RecvSome(rsp.data() + got, rsp.size() - got);
            if (n <= 0)
                return false;
            got += (size_t)n;
        }
        if (rsp != head(0x42890841u, 0x700, MOS_RC__SUCCESS))
            return false;
        MosSslSessionParams params{kClientCtx, nullptr};
        h_ = mosSsl_CreateSocketHandle(&params, FALSE);
        if (h_ == nullptr)
            return false;
        for (int round = 0; round < 200; round++) {
            BOOL bRead = FALSE, bWrite = FALSE;
            const Mos_RC rc = mosSsl_Handshake(h_, &bRead, &bWrite);
            if (rc == MOS_RC__SUCCESS)
                return true;
            if (rc != MOS_RC__PENDING || !Flush() || (bRead && !Feed()))
                return false;
        }
        return false;
    }
    // Writes bytes in `records` TLS records, each sent on its own.
    bool Send(const std::vector<uint8_t> &bytes, size_t records = 1)
    {
        const size_t step = (bytes.size() + records - 1) / records;
        for (size_t off = 0; off < bytes.size(); off += step) {
            UINT32 taken = 0;
            const UINT32 n = (UINT32)std::min(step, bytes.size() - off);
            if (mosSsl_WritePrepare(h_, bytes.data() + off, n, &taken) != MOS_RC__SUCCESS || taken != n || !Flush())
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return true;
    }
    // Reads one 128-byte head through the session.
    bool RecvHead(std::vector<uint8_t> &out)
    {
        out.assign(128, 0);
        size_t got = 0;
        while (got < 128) {
            UINT32 n = 0;
            const Mos_RC rc = mosSsl_Read(h_, out.data() + got, (UINT32)(128 - got), &n);
            if (rc == MOS_RC__SUCCESS)
                got += n;
            else if (rc != MOS_RC__PENDING || !Feed())
                return false;
        }
        return true;
    }
    // Whether the server closed the socket (what arrives meanwhile is dropped).
    bool WaitClosed()
    {
        uint8_t buf[4096];
        for (;;) {
            const ssize_t n = RecvSome(buf, sizeof(buf));
            if (n <= 0)
                return n == 0 || errno != EAGAIN;
        }
    }

    static std::vector<uint8_t> head(uint32_t prop, uint32_t w4, uint32_t w5)
    {
        std::vector<uint8_t> h(128, 0);
        WirePeer::Put32(h, 0, prop);
        WirePeer::Put32(h, 4, w4);
        WirePeer::Put32(h, 5, w5);
        return h;
    }
    static uint32_t word(const std::vector<uint8_t> &h, size_t w)
    {
        return (uint32_t)h[w * 4] | (uint32_t)h[w * 4 + 1] << 8 | (uint32_t)h[w * 4 + 2] << 16 |
               (uint32_t)h[w * 4 + 3] << 24;
    }

  private:
    bool SendRaw(const std::vector<uint8_t> &bytes)
    {
        return send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == (ssize_t)bytes.size();
    }
    // Up to len bytes within 20 s; -1 with EAGAIN when none came.
    ssize_t RecvSome(uint8_t *p, size_t len)
    {
        pollfd pfd{fd_, POLLIN, 0};
        if (poll(&pfd, 1, 20000) <= 0) {
            errno = EAGAIN;
            return -1;
        }
        return recv(fd_, p, len, 0);
    }
    bool Flush()
    {
        const UINT8 *pData = nullptr;
        UINT32 size = 0;
        const Mos_RC rc = mosSsl_WriteGetData(h_, &pData, &size);
        if (rc == MOS_RC__NO_MORE_ELEMENTS)
            return true;
        if (rc != MOS_RC__SUCCESS || !SendRaw(std::vector<uint8_t>(pData, pData + size)))
            return false;
        mosSsl_WriteDone(h_);
        return true;
    }
    bool Feed()
    {
        uint8_t buf[4096];
        const ssize_t n = RecvSome(buf, sizeof(buf));
        return n > 0 && mosSsl_ReadPrepare(h_, buf, (UINT32)n) == MOS_RC__SUCCESS;
    }

    int fd_ = -1;
    MosSslSocketHandle *h_ = nullptr;
};

// A server of our own that answers every NEW_SSL_CON with the RESPONSE words it was given.
class FakeTlsServer {
  public:
    FakeTlsServer(uint32_t w4, uint32_t w5) : w4_(w4), w5_(w5)
    {
        port_ = netEngineTest_FreePort();
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        const int one = 1;
        setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port_);
        inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        ok_ = bind(fd_, reinterpret_cast<sockaddr *>(&a), sizeof(a)) == 0 && listen(fd_, 8) == 0;
        thread_ = std::thread([this] { Serve(); });
    }
    ~FakeTlsServer()
    {
        stop_ = true;
        thread_.join();
        close(fd_);
    }
    bool ok() const { return ok_; }
    Port port() const { return port_; }
    int answered() const { return answered_; }

  private:
    void Serve()
    {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            const int c = accept(fd_, nullptr, nullptr);
            if (c < 0)
                continue;
            uint8_t in[128];
            size_t got = 0;
            while (got < sizeof(in)) {
                const ssize_t n = recv(c, in + got, sizeof(in) - got, 0);
                if (n <= 0)
                    break;
                got += (size_t)n;
            }
            const std::vector<uint8_t> rsp = TlsWirePeer::head(0x42890841u, w4_, w5_);
            if (got == sizeof(in) && send(c, rsp.data(), rsp.size(), MSG_NOSIGNAL) == (ssize_t)rsp.size())
                answered_++;
            close(c);
        }
    }
    uint32_t w4_, w5_;
    Port port_ = 0;
    int fd_ = -1;
    bool ok_ = false;
    std::atomic<bool> stop_{false};
    std::atomic<int> answered_{0};
    std::thread thread_;
};

class NetSecPaths : public ::testing::Test {
  protected:
    static void SetUpTestSuite()
    {
        dir_ = new ScratchDir;
        ASSERT_TRUE(tlstest::makeTlsCerts(dir_->path(), &certs_));
        MosSecurityConf conf{};
        conf.bEnable = TRUE;
        conf.sslConf = tlstest::sslConf(kServerCtx, certs_.serverKeyPair, tlstest::kServerPassword, certs_.caFile);
        ASSERT_EQ(mosSecurity_Init(&conf), MOS_RC__SUCCESS);
        MosSslConf client = tlstest::sslConf(kClientCtx, certs_.clientKeyPair, "", certs_.caFile);
        ASSERT_EQ(mosSsl_UpdateConf(&client), MOS_RC__SUCCESS);
        MosSslConf distrust = tlstest::sslConf(kDistrustCtx, certs_.clientKeyPair, "", dir_->file("rogueca.pem"));
        ASSERT_EQ(mosSsl_UpdateConf(&distrust), MOS_RC__SUCCESS);
    }
    static void TearDownTestSuite()
    {
        mosSecurityLayer_Destroy();
        delete dir_;
        dir_ = nullptr;
    }

    void SetUp() override
    {
        opq_ = mosSecurity_AllocCertOpaque();
        ASSERT_NE(opq_, nullptr);
    }
    void TearDown() override
    {
        if (hClient_ != 0)
            net_Disconnect(client_.net(), hClient_);
        client_.Stop();
        server_.Stop();
        mosSecurity_FreeCertOpaque(opq_);
    }

    void StartServer(NetSecModeType mode, NetSecServerPolicy policy)
    {
        port_ = netEngineTest_FreePort();
        server_.Start(kServerId, port_, secParams(mode, policy, kServerCtx));
    }
    void ConnectClient(const NetSecConParams &params, UINT32 paths = 2, Port port = 0)
    {
        NetSecConParams none;
        netSecConf_ResetConParams(&none);
        client_.Start(kClientId, 0, none);
        NetCon_RemoteHosts hosts = netTest_LoopbackHosts(1, port != 0 ? port : port_, paths);
        hClient_ = net_AllocClientConList(client_.net(), kServerId, NET_OWNER_TYPE__TGT, &client_.upper.conCB, &hosts,
                                          &params);
        ASSERT_NE(hClient_, 0u);
        ASSERT_TRUE(net_Connect(client_.net(), hClient_, FALSE));
    }
    bool AllUp(UINT32 n)
    {
        return umtTest_WaitFor([&] {
            UINT32 paths, connected, validated;
            netTest_CountPaths(client_.net(), hClient_, &paths, &connected, &validated);
            if (connected != n || validated != n)
                return false;
            netTest_CountPaths(server_.net(), net_GetCon(server_.net(), kClientId), &paths, &connected, &validated);
            return connected == n && validated == n;
        });
    }
    // The i-th path of a side's connection to its peer.
    static NetPath *PathOf(Net *pNet, HNetCon hCon, UINT32 i)
    {
        NetCon *pCon = netConManager_AcquireCon(&pNet->conManager, hCon);
        if (pCon == nullptr)
            return nullptr;
        NetPath *pPath = pCon->pPortalsArr[0] != nullptr ? pCon->pPortalsArr[0]->pPathsArr[i] : nullptr;
        netConManager_ReleaseCon(&pNet->conManager, pCon);
        return pPath;
    }
    // Whether a raw peer's path was taken: the server's first keep-alive arrives on an accepted
    // path, a refused one is closed.
    static bool Accepted(WirePeer &peer)
    {
        std::vector<uint8_t> head;
        return peer.RecvHead(head, 10000) && TlsWirePeer::word(head, 0) == 0x42890641u;
    }

    static ScratchDir *dir_;
    static tlstest::TlsCerts certs_;
    Port port_ = 0;
    Side server_;
    Side client_;
    HNetCon hClient_ = 0;
    MosSecurityCertOpaque *opq_ = nullptr;
};
ScratchDir *NetSecPaths::dir_ = nullptr;
tlstest::TlsCerts NetSecPaths::certs_;
} // namespace

TEST_F(NetSecPaths, UpgradedPathsComeUpAndCarryFramesBothWaysByteExact)
{
    StartServer(NET_SEC_MODE__SECURE_SSL, NET_SEC_SERVER_POLICY__SOCKET);
    ConnectClient(secParams(NET_SEC_MODE__SECURE_SSL, NET_SEC_SERVER_POLICY__SOCKET, kClientCtx, opq_));
    ASSERT_TRUE(AllUp(2));
    const HNetCon hServer = net_GetCon(server_.net(), kClientId);
    for (UINT32 i = 0; i < 2; i++) {
        EXPECT_EQ(PathOf(client_.net(), hClient_, i)->sock.secSocket.secMode, NET_SEC_MODE__SECURE_SSL) << i;
        EXPECT_EQ(PathOf(server_.net(), hServer, i)->sock.secSocket.secMode, NET_SEC_MODE__SECURE_SSL) << i;
    }
    // A payload inside the head, one that spans many TLS records and read buffers, and one back.
    const std::vector<UINT8> small = pattern(60, 1), big = pattern(300000, 2), back = pattern(5000, 3);
    ASSERT_EQ(sendOnPath(PathOf(client_.net(), hClient_, 0), small, 1), MOS_RC__SUCCESS);
    ASSERT_EQ(sendOnPath(PathOf(client_.net(), hClient_, 1), big, 2), MOS_RC__SUCCESS);
    ASSERT_EQ(sendOnPath(PathOf(server_.net(), hServer, 0), back, 3), MOS_RC__SUCCESS);
    ASSERT_TRUE(umtTest_WaitFor([&] { return server_.Received() == 2 && client_.Received() == 1; }));
    {
        std::lock_guard<std::mutex> lock(server_.group.mu);
        const bool smallFirst = server_.group.payloads[0].size() == small.size();
        EXPECT_EQ(server_.group.payloads[smallFirst ? 0 : 1], small);
        EXPECT_EQ(server_.group.payloads[smallFirst ? 1 : 0], big);
    }
    std::lock_guard<std::mutex> lock(client_.group.mu);
    EXPECT_EQ(client_.group.payloads[0], back);
}

TEST_F(NetSecPaths, AServerInTheClearAnswersAnUpgradeWith432AndClosesTheSocket)
{
    StartServer(NET_SEC_MODE__UNSECURE, NET_SEC_SERVER_POLICY__SOCKET);
    WirePeer peer;
    ASSERT_TRUE(peer.Connect(port_));
    ASSERT_TRUE(peer.Send(TlsWirePeer::head(0x42890741u, 0, 0)));
    std::vector<uint8_t> rsp;
    ASSERT_TRUE(peer.RecvHead(rsp, 10000));
    EXPECT_EQ(rsp, TlsWirePeer::head(0x42890841u, 0x700, MOS_RC__NET_SECURITY_DISABLED_ON_SERVER));
    EXPECT_TRUE(peer.WaitClosed(10000));

    // The messaging layer's own client records the refusal and never comes up.
    ConnectClient(secParams(NET_SEC_MODE__SECURE_SSL, NET_SEC_SERVER_POLICY__SOCKET, kClientCtx, opq_));
    ASSERT_TRUE(umtTest_WaitFor([&] { return __atomic_load_n(&opq_->rc, __ATOMIC_ACQUIRE) != 0; }));
    EXPECT_EQ(opq_->rc, MOS_RC__NET_SECURITY_DISABLED_ON_SERVER);
    EXPECT_FALSE(net_IsConnected(client_.net(), hClient_));
    // The server may have begun its side of the handshake before the client refused it; under load
    // its clean-up can trail the client's verdict, so only what it settles on is checked.
    EXPECT_TRUE(umtTest_WaitFor([&] { return net_GetCon(server_.net(), kClientId) == 0u; }));
}

TEST_F(NetSecPaths, AClientTakesOnlyAWellEchoedSuccessAsLeaveToUpgrade)
{
    struct Case {
        uint32_t msgId, rc;
        Mos_RC expected;
    };
    const Case cases[] = {
        {0x700, MOS_RC__NET_SECURITY_DISABLED_ON_SERVER, MOS_RC__NET_SECURITY_DISABLED_ON_SERVER},
        {0x000, MOS_RC__SUCCESS, MOS_RC__ERROR}, // success with a wrong echo
        {0x700, MOS_RC__PENDING, MOS_RC__ERROR}, // a code the task machinery would wait on for ever
        {0x700, 100000, MOS_RC__ERROR},          // no code at all
    };
    for (const Case &c : cases) {
        FakeTlsServer fake(c.msgId, c.rc);
        ASSERT_TRUE(fake.ok());
        MosSecurityCertOpaque *pOpq = mosSecurity_AllocCertOpaque();
        ConnectClient(secParams(NET_SEC_MODE__SECURE_SSL, NET_SEC_SERVER_POLICY__SOCKET, kClientCtx, pOpq), 1,
                      fake.port());
        // Refused, the path retries: a second answer shows the first attempt ended.
        EXPECT_TRUE(umtTest_WaitFor([&] { return fake.answered() >= 2; })) << c.rc;
        EXPECT_EQ(pOpq->rc, c.expected) << c.rc;
        EXPECT_FALSE(net_IsConnected(client_.net(), hClient_));
        net_Disconnect(client_.net(), hClient_);
        hClient_ = 0;
        client_.Stop();
        mosSecurity_FreeCertOpaque(pOpq);
    }
}

TEST_F(NetSecPaths, PlainClientsAreTakenOrRefusedByTheServersPolicy)
{
    struct Case {
        NetSecModeType mode;
        NetSecServerPolicy policy;
        const char *src;
        bool accepted;
    };
    const Case cases[] = {
        {NET_SEC_MODE__UNSECURE, NET_SEC_SERVER_POLICY__SOCKET, "127.0.0.2", true},
        {NET_SEC_MODE__SECURE_SSL, NET_SEC_SERVER_POLICY__SOCKET, "127.0.0.1", false},
        {NET_SEC_MODE__SECURE_SSL, NET_SEC_SERVER_POLICY__ALLOW_UNSECURE, "127.0.0.2", true},
        {NET_SEC_MODE__SECURE_SSL, NET_SEC_SERVER_POLICY__ALLOW_LOCAL_UNSECURE, "127.0.0.1", true},
        {NET_SEC_MODE__SECURE_SSL, NET_SEC_SERVER_POLICY__ALLOW_LOCAL_UNSECURE, "127.0.0.2", false},
    };
    for (const Case &c : cases) {
        StartServer(c.mode, c.policy);
        WirePeer peer;
        ASSERT_TRUE(peer.Connect(port_, c.src));
        ASSERT_TRUE(peer.Send(WirePeer::NewCon(0xabc, NET_OWNER_TYPE__TGT, net_GetMyNumericVersion(), 0x1111, 0x2222)));
        if (c.accepted) {
            EXPECT_TRUE(Accepted(peer)) << c.policy << " " << c.src;
        } else {
            EXPECT_TRUE(peer.WaitClosed(10000)) << c.policy << " " << c.src;
            EXPECT_EQ(net_GetCon(server_.net(), 0xabc), 0u);
        }
        peer.Close();
        server_.Stop();
    }
}

TEST_F(NetSecPaths, TheConnectFrameInsideTlsPassesTheSameHeadCheck)
{
    StartServer(NET_SEC_MODE__SECURE_SSL, NET_SEC_SERVER_POLICY__SOCKET);
    const std::vector<uint8_t> good =
        WirePeer::NewCon(0xabc, NET_OWNER_TYPE__TGT, net_GetMyNumericVersion(), 0x1111, 0x2222);
    std::vector<uint8_t> badVersion = good, badPrefix = good;
    badVersion[0] = 0x40;
    WirePeer::Put32(badPrefix, 0, 0x42880441u);
    struct Case {
        const std::vector<uint8_t> *pHead;
        size_t records;
        bool accepted;
    };
    const Case cases[] = {{&good, 2, true}, {&badVersion, 1, false}, {&badPrefix, 1, false}};
    for (const Case &c : cases) {
        const UINT32 illegal = mosDiagCounters_Get(MOS_DIAG_COUNTER__RECEIVED_ILLEGAL_HEADER);
        TlsWirePeer peer;
        ASSERT_TRUE(peer.Connect(port_));
        // A head split over two TLS records is taken only once both are decrypted.
        ASSERT_TRUE(peer.Send(*c.pHead, c.records));
        if (c.accepted) {
            std::vector<uint8_t> ka;
            ASSERT_TRUE(peer.RecvHead(ka));
            EXPECT_EQ(TlsWirePeer::word(ka, 0), 0x42890641u);
        } else {
            EXPECT_TRUE(peer.WaitClosed());
            EXPECT_GT(mosDiagCounters_Get(MOS_DIAG_COUNTER__RECEIVED_ILLEGAL_HEADER), illegal);
        }
    }
}

TEST_F(NetSecPaths, AServerWhoseCertificateTheClientDoesNotTrustIsRefused)
{
    StartServer(NET_SEC_MODE__SECURE_SSL, NET_SEC_SERVER_POLICY__SOCKET);
    ConnectClient(secParams(NET_SEC_MODE__SECURE_SSL, NET_SEC_SERVER_POLICY__SOCKET, kDistrustCtx, opq_), 1);
    // The client's check of the server fails and is recorded in its holder; the path never comes up.
    ASSERT_TRUE(umtTest_WaitFor([&] { return __atomic_load_n(&opq_->rc, __ATOMIC_ACQUIRE) != 0; }));
    EXPECT_NE(opq_->rc, MOS_RC__SUCCESS);
    EXPECT_FALSE(net_IsConnected(client_.net(), hClient_));
    // The server may have begun its side of the handshake before the client refused it; under load
    // its clean-up can trail the client's verdict, so only what it settles on is checked.
    EXPECT_TRUE(umtTest_WaitFor([&] { return net_GetCon(server_.net(), kClientId) == 0u; }));
}

TEST_F(NetSecPaths, NewParametersReconnectEveryPathUnderThem)
{
    StartServer(NET_SEC_MODE__SECURE_SSL, NET_SEC_SERVER_POLICY__ALLOW_UNSECURE);
    NetSecConParams plain;
    netSecConf_ResetConParams(&plain);
    ConnectClient(plain);
    ASSERT_TRUE(AllUp(2));
    auto allInMode = [&](NetSecModeType mode) {
        return umtTest_WaitFor([&] {
            if (!AllUp(2))
                return false;
            for (UINT32 i = 0; i < 2; i++) {
                NetPath *pPath = PathOf(client_.net(), hClient_, i);
                if (pPath == nullptr || !netPath_IsConnected(pPath) || pPath->sock.secSocket.secMode != mode)
                    return false;
            }
            return true;
        });
    };
    EXPECT_TRUE(allInMode(NET_SEC_MODE__UNSECURE));
    const NetSecConParams tls = secParams(NET_SEC_MODE__SECURE_SSL, NET_SEC_SERVER_POLICY__SOCKET, kClientCtx, opq_);
    ASSERT_EQ(net_UpdateConSecParams(client_.net(), hClient_, &tls), MOS_RC__SUCCESS);
    EXPECT_TRUE(allInMode(NET_SEC_MODE__SECURE_SSL));
    // And back: a socket that carried a session reconnects in the clear.
    ASSERT_EQ(net_UpdateConSecParams(client_.net(), hClient_, nullptr), MOS_RC__SUCCESS);
    EXPECT_TRUE(allInMode(NET_SEC_MODE__UNSECURE));

    EXPECT_EQ(net_UpdateConSecParams(server_.net(), net_GetCon(server_.net(), kClientId), &tls), MOS_RC__ILLEGAL);
    EXPECT_EQ(net_UpdateConSecParams(client_.net(), 0, &tls), MOS_RC__ERROR);
}

TEST_F(NetSecPaths, EchoRequestsOverUpgradedPathsComeBackByteExactBothWays)
{
    const Port port = netEngineTest_FreePort();
    RpcSide server, client;
    server.Start(kServerId, port, secParams(NET_SEC_MODE__SECURE_SSL, NET_SEC_SERVER_POLICY__SOCKET, kServerCtx));
    client.Start(kClientId, 0, secParams(NET_SEC_MODE__UNSECURE, NET_SEC_SERVER_POLICY__SOCKET, kServerCtx));
    NetCon_RemoteHosts hosts = netTest_LoopbackHosts(1, port, 2);
    const NetSecConParams tls = secParams(NET_SEC_MODE__SECURE_SSL, NET_SEC_SERVER_POLICY__SOCKET, kClientCtx, opq_);
    const HNetCon hClient =
        net_AllocClientConList(client.net(), kServerId, NET_OWNER_TYPE__TGT, &client.upper.conCB, &hosts, &tls);
    ASSERT_NE(hClient, 0u);
    ASSERT_TRUE(net_Connect(client.net(), hClient, FALSE));
    ASSERT_TRUE(umtTest_WaitFor([&] {
        UINT32 paths, connected, validated;
        netTest_CountPaths(client.net(), hClient, &paths, &connected, &validated);
        UINT32 sPaths, sConnected, sValidated;
        netTest_CountPaths(server.net(), net_GetCon(server.net(), kClientId), &sPaths, &sConnected, &sValidated);
        return validated == 2 && sValidated == 2;
    }));
    EXPECT_EQ(PathOf(client.net(), hClient, 0)->sock.secSocket.secMode, NET_SEC_MODE__SECURE_SSL);

    // Sizes around the in-head limit, past a TLS record and past the 4 KB read buffer; requests
    // from several uthreads at once on each side.
    static const UINT32 sizes[] = {0, 1, 100, 101, 4096, 16385, 70000};
    std::atomic<UINT32> bad{0}, done{0};
    auto burst = [&](RpcSide *pFrom, HNetCon hCon, UINT32 seed) {
        std::vector<std::thread> threads;
        for (UINT32 t = 0; t < 3; t++)
            threads.emplace_back([&, t] {
                umtTest_RunAsUmt([&] {
                    for (UINT32 i = 0; i < 40; i++) {
                        const std::vector<UINT8> payload = pattern(sizes[i % 7], (UINT8)(seed + t * 40 + i));
                        std::vector<UINT8> echoed;
                        if (netRpcTest_Call(&pFrom->consumer, hCon, NET__RECV_GROUP__DEF, payload, &echoed,
                                            nullptr) != MOS_RC__SUCCESS ||
                            echoed != payload)
                            bad++;
                        done++;
                    }
                });
            });
        for (auto &th : threads)
            th.join();
    };
    burst(&client, hClient, 1);
    burst(&server, net_GetCon(server.net(), kClientId), 2);
    EXPECT_EQ(done.load(), 240u);
    EXPECT_EQ(bad.load(), 0u);
    net_Disconnect(client.net(), hClient);
    client.Stop();
    server.Stop();
}
