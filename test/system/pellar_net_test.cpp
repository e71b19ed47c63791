// The pellar on the network, met by the test peers: a test Ostrel attaches it (the repository
// file records the pair), it keeps alive every second and reports its connectivity, a restarted
// pellar re-attaches with a new run id, a foreign Ostrel is refused while the old one is heard
// and told the server is blocked once it is not, commands are admitted only after the attach and
// only for this server, and malformed input is refused without stopping the process.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>

#include "test/peers/sim_peer.h"
#include "test/peers/wire_peer.h"
#include "test/support/net_support.h"
#include "test/support/pellar_process.h"

namespace {
::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new NetTestRuntimeEnv);

using namespace std::chrono_literals;
constexpr uint32_t kKeepAlive = 1001, kConVector = 1007;

template <typename T> T at(const std::vector<uint8_t> &b, size_t off)
{
    T v{};
    memcpy(&v, b.data() + off, sizeof(v));
    return v;
}

class PellarNet : public ::testing::Test {
  protected:
    void SetUp() override
    {
        ASSERT_TRUE(std::filesystem::exists(pellarPath())) << pellarPath();
        port_ = freePort();
    }
    std::unique_ptr<PellarProcess> Start(const ScratchDir &dir, int port)
    {
        auto p = std::make_unique<PellarProcess>(dir, "tgt_port " + std::to_string(port) + "\nsdbg_port 0\n");
        EXPECT_TRUE(p->waitListening(port)) << p->output();
        return p;
    }
    std::string Repository(const ScratchDir &dir) const { return readFile(dir.file("rep_tgt.txt")); }
    ScratchDir dir_;
    int port_ = 0;
};

TEST_F(PellarNet, AttachRecordsThePairKeepsAliveEverySecondAndReportsConnectivity)
{
    auto p = Start(dir_, port_);
    OstrelSim ostrel;
    ASSERT_TRUE(ostrel.Connect((uint16_t)port_, 0x1));
    std::vector<uint8_t> answer;
    ASSERT_EQ(ostrel.Attach({}, &answer), MOS_RC__SUCCESS) << p->traces();
    ASSERT_EQ(answer.size(), 16u);
    EXPECT_EQ(at<uint32_t>(answer, 12), 1u); // after a restart: no reconfiguration seen yet

    const std::string rep = Repository(dir_);
    ASSERT_EQ(rep.size(), 512u);
    EXPECT_STREQ(rep.c_str(), "ostrelId=a,tgtId=11");

    ASSERT_TRUE(ostrel.WaitReports(kKeepAlive, 4, 30s)) << p->traces();
    const std::vector<SimReport> kas = ostrel.Reports(kKeepAlive);
    for (size_t i = 0; i < kas.size(); i++) {
        ASSERT_EQ(kas[i].payload.size(), 20u);
        EXPECT_EQ(kas[i].grp, 14u);
        EXPECT_EQ(at<uint64_t>(kas[i].payload, 8), 0x11u);
        EXPECT_EQ(at<uint32_t>(kas[i].payload, 16), at<uint32_t>(kas[0].payload, 16));
        EXPECT_NE(at<uint32_t>(kas[i].payload, 16), 0u);
        if (i > 0) { // one a second: never two in one burst, never seconds apart
            EXPECT_GT(kas[i].at - kas[i - 1].at, 400ms);
            EXPECT_GT(at<uint64_t>(kas[i].payload, 0), at<uint64_t>(kas[i - 1].payload, 0));
        }
    }
    EXPECT_LT(kas.back().at - kas.front().at, 15s);

    ASSERT_TRUE(ostrel.WaitReports(kConVector, 2, 30s));
    const std::vector<SimReport> vecs = ostrel.Reports(kConVector);
    for (size_t i = 0; i < vecs.size(); i++) {
        ASSERT_EQ(vecs[i].payload.size(), 24u); // no peers
        EXPECT_EQ(vecs[i].grp, 13u);
        EXPECT_EQ(at<uint32_t>(vecs[i].payload, 0), 16u);
        EXPECT_EQ(at<uint64_t>(vecs[i].payload, 4), 0x11u);
        EXPECT_EQ(at<uint32_t>(vecs[i].payload, 12), (uint32_t)(i + 1));
        EXPECT_EQ(at<uint32_t>(vecs[i].payload, 16), 0u);
        EXPECT_EQ(at<uint32_t>(vecs[i].payload, 20), 0u);
    }

    EXPECT_EQ(ostrel.Attach({}), MOS_RC__ALREADY_EXISTS); // the same pair again
    EXPECT_EQ(Repository(dir_).substr(0, 20), std::string("ostrelId=a,tgtId=11\0", 20));
}

TEST_F(PellarNet, ARestartedPellarReattachesWithANewRunIdWithoutRewritingItsFile)
{
    uint32_t firstRunId = 0;
    {
        auto p = Start(dir_, port_);
        OstrelSim ostrel;
        ASSERT_TRUE(ostrel.Connect((uint16_t)port_, 0x1));
        ASSERT_EQ(ostrel.Attach({}), MOS_RC__SUCCESS);
        ASSERT_TRUE(ostrel.WaitReports(kKeepAlive, 1, 30s));
        firstRunId = at<uint32_t>(ostrel.Reports(kKeepAlive)[0].payload, 16);
        p->signal(SIGKILL);
        ASSERT_TRUE(p->exited(30s));
    }
    struct stat before {};
    ASSERT_EQ(stat(dir_.file("rep_tgt.txt").c_str(), &before), 0);
    const int port2 = freePort();
    auto p = Start(dir_, port2);
    OstrelSim ostrel;
    ASSERT_TRUE(ostrel.Connect((uint16_t)port2, 0x1));
    ASSERT_EQ(ostrel.Attach({.bNew = 0}), MOS_RC__SUCCESS) << p->traces();
    ASSERT_TRUE(ostrel.WaitReports(kKeepAlive, 1, 30s));
    EXPECT_NE(at<uint32_t>(ostrel.Reports(kKeepAlive)[0].payload, 16), firstRunId);
    struct stat after {};
    ASSERT_EQ(stat(dir_.file("rep_tgt.txt").c_str(), &after), 0);
    EXPECT_EQ(after.st_mtim.tv_sec, before.st_mtim.tv_sec);
    EXPECT_EQ(after.st_mtim.tv_nsec, before.st_mtim.tv_nsec);
}

TEST_F(PellarNet, AForeignOstrelIsRefusedWhileTheOldOneIsHeardAndToldOnceItIsBlocked)
{
    auto p = Start(dir_, port_);
    OstrelSim owner(0x0A01), foreign(0x0B01);
    ASSERT_TRUE(owner.Connect((uint16_t)port_, 0x1));
    ASSERT_TRUE(foreign.Connect((uint16_t)port_, 0x1));
    ASSERT_EQ(owner.Attach({.keepaliveTimeoutMs = 2000}), MOS_RC__SUCCESS);
    ASSERT_TRUE(owner.WaitReports(kKeepAlive, 2, 30s));
    const OstrelSim::AddManager other{.ostrelId = 0x0B, .tgtId = 0x22};
    EXPECT_EQ(foreign.Attach(other), MOS_RC__TGT_ACTIVE_ATTACH_TO_OTHER_OSTREL);

    // The owner falls silent; echoes that name another server or come from another run count
    // for nothing.
    owner.SetKeepAliveEcho(false);
    const SimReport last = owner.Reports(kKeepAlive).back();
    std::vector<uint8_t> wrongTgt = last.payload, wrongRun = last.payload;
    wrongTgt[8] ^= 0xff;
    wrongRun[16] ^= 0xff;
    bool blocked = false;
    for (int i = 0; i < 60 && !blocked; i++) {
        EXPECT_EQ(owner.Notify(2013, 25, wrongTgt), MOS_RC__SUCCESS);
        EXPECT_EQ(owner.Notify(2013, 25, wrongRun), MOS_RC__SUCCESS);
        std::this_thread::sleep_for(500ms);
        blocked = foreign.Attach(other) == MOS_RC__TGT_ALREADY_ATTACH_TO_OTHER_OSTREL;
    }
    EXPECT_TRUE(blocked) << p->traces();

    owner.SetKeepAliveEcho(true); // heard again: active once more
    bool active = false;
    for (int i = 0; i < 60 && !active; i++) {
        std::this_thread::sleep_for(500ms);
        active = foreign.Attach(other) == MOS_RC__TGT_ACTIVE_ATTACH_TO_OTHER_OSTREL;
    }
    EXPECT_TRUE(active);
    EXPECT_FALSE(p->exited(0ms));
    EXPECT_NE(p->traces().find("Old keep-alive msg"), std::string::npos);
}

TEST_F(PellarNet, CommandsAreAdmittedOnlyAfterTheAttachAndOnlyForThisServer)
{
    auto p = Start(dir_, port_);
    OstrelSim ostrel;
    ASSERT_TRUE(ostrel.Connect((uint16_t)port_, 0x1));
    EXPECT_EQ(ostrel.Command(2004, 0, std::vector<uint8_t>(10)), MOS_RC__WRONG_RECONF_MODE);
    EXPECT_EQ(ostrel.Attach({.tgtId = 0}), MOS_RC__INVALID);          // no id to take
    EXPECT_EQ(ostrel.Attach({.generation = 0}), MOS_RC__INVALID);     // no generation
    EXPECT_EQ(ostrel.Request(2001, 20, {std::vector<uint8_t>(4)}), MOS_RC__INTERFACE_ERROR); // no TgtId
    ASSERT_EQ(ostrel.Attach({}), MOS_RC__SUCCESS);
    EXPECT_EQ(ostrel.Command(2004, 0x99, std::vector<uint8_t>(10)), MOS_RC__WRONG_TGT_ID);
    EXPECT_EQ(ostrel.Command(2100, 0, {}), MOS_RC__UNKNOWN_MSG);
    EXPECT_EQ(ostrel.Command(2100, 0x11, {}), MOS_RC__UNKNOWN_MSG);
    EXPECT_EQ(ostrel.Attach({.generation = 0xFFFF}), MOS_RC__ERROR) // older by serial order
        << "a stale generation from the same Ostrel for this server";
    EXPECT_FALSE(p->exited(0ms));
}

// Data-path requests reach the I/O handler: a comb this server does not hold is answered 16, a
// command type on the data path 46; malformed writes are refused and the connection goes on.
TEST_F(PellarNet, DataPathRequestsReachTheHandlerAndMalformedWritesAreRefused)
{
    auto p = Start(dir_, port_);
    QuilletSim quillet;
    ASSERT_TRUE(quillet.Connect((uint16_t)port_, 0x1));
    EXPECT_EQ(quillet.Read(0x8000, 0, 8), MOS_RC__IO_FAULT_NO_COMB);
    EXPECT_EQ(quillet.Write(0x8000, 0, 8, 8 * 512), MOS_RC__IO_FAULT_NO_COMB);
    EXPECT_EQ(quillet.Read(0x8000, 2040, 16), MOS_RC__INVALID); // crosses a tooth
    EXPECT_EQ(quillet.Request(2020, 22, {std::vector<uint8_t>(100)}), MOS_RC__UNKNOWN_MSG);
    EXPECT_EQ(quillet.Write(0x8000, 0, 8, 8 * 512 - 1), MOS_RC__INVALID); // a byte short
    EXPECT_EQ(quillet.Write(0x8000, 0, 8, 7 * 512), MOS_RC__INVALID);     // disagrees with the record
    EXPECT_EQ(quillet.Write(0x8000, 0, 8, 8 * 512, 0x4), MOS_RC__INVALID); // guards announced, none sent
    EXPECT_EQ(quillet.Write(0x8000, 0, 4096, 4096 * 512), MOS_RC__INVALID); // beyond one tooth
    // The dummy write is answered on the same connection: nothing was lost on the way.
    EXPECT_EQ(quillet.Request(2106, 23, {std::vector<uint8_t>(1)}), MOS_RC__SUCCESS);
    EXPECT_FALSE(p->exited(0ms));
}

// The frames a pellar sends, byte by byte, through an encoder of the test's own.
TEST_F(PellarNet, WireFramesOfTheAnswerAndTheKeepAlives)
{
    auto p = Start(dir_, port_);
    WirePeer wire;
    ASSERT_TRUE(wire.Connect((uint16_t)port_));
    ASSERT_TRUE(wire.Send(WirePeer::NewCon(0x0A77, 0x3000, net_GetMyNumericVersion(), 0x1234, 0x5678)));
    std::vector<uint8_t> payload(8 + 70, 0);
    payload[8] = 0x0A;              // ostrelId
    payload[16] = 0x33;             // tgtId
    payload[28] = 1;                // bNew
    payload[8 + 36] = 1;            // generation
    const uint32_t combSize = 16777216; // the default comb size (a size of 0 is refused)
    memcpy(payload.data() + 8 + 24, &combSize, 4);
    const uint32_t timeout = 5000;  // keep-alive time-out
    memcpy(payload.data() + 8 + 66, &timeout, 4);
    std::vector<uint8_t> req = WirePeer::Notif(20, 2001, payload);
    WirePeer::Put32(req, 0, 0x42890241u); // a request
    WirePeer::Put32(req, 4, 77);          // its message id
    ASSERT_TRUE(wire.Send(req));

    bool answered = false;
    std::vector<std::chrono::steady_clock::time_point> kas;
    const auto deadline = std::chrono::steady_clock::now() + 30s;
    while (kas.size() < 3 && std::chrono::steady_clock::now() < deadline) {
        std::vector<uint8_t> head, body;
        ASSERT_TRUE(wire.RecvFrame(head, body, 5000)) << p->traces();
        const uint32_t prop = at<uint32_t>(head, 0);
        EXPECT_EQ(prop & 0xFFFF00FFu, 0x42890041u); // prefix and version on every frame
        const uint32_t type = prop & 0xF00u;
        if (type == 0x600) { // the layer's own keep-alive: answer in kind
            ASSERT_TRUE(wire.Send(WirePeer::KeepAlive(net_GetMyNumericVersion(), 0x1234, 0x5678)));
        } else if (type == 0x300) {
            EXPECT_EQ(at<uint32_t>(head, 16), 77u); // the request's message id
            EXPECT_EQ(at<uint32_t>(head, 8), (uint32_t)MOS_RC__SUCCESS);
            EXPECT_EQ(body.size(), 16u);
            answered = true;
        } else if (type == 0x100) {
            const uint32_t context = at<uint32_t>(head, 8);
            if (context == kKeepAlive) {
                EXPECT_EQ(at<uint32_t>(head, 4), 20u);  // dataLen
                EXPECT_EQ(at<uint32_t>(head, 12), 14u); // the Ostrel's keep-alive group
                EXPECT_EQ(at<uint32_t>(head, 24), 20u); // carried in the head
                ASSERT_EQ(body.size(), 20u);
                EXPECT_EQ(at<uint64_t>(body, 8), 0x33u);
                kas.push_back(std::chrono::steady_clock::now());
            } else {
                EXPECT_EQ(context, kConVector);
                EXPECT_EQ(at<uint32_t>(head, 12), 13u);
            }
        }
    }
    EXPECT_TRUE(answered);
    ASSERT_EQ(kas.size(), 3u);
    EXPECT_GT(kas[2] - kas[0], 1200ms); // a schedule of about one a second
}

// A pellar dialing a peer with a smaller id opens with a connection frame that names it: the
// prefix and version, the frame type, its owner type (a server), its id and software version.
TEST_F(PellarNet, WireFrameOfAPellarDialingItsPeer)
{
    WirePeer peer;
    uint16_t peerPort = 0;
    ASSERT_TRUE(peer.Listen(&peerPort));
    auto p = Start(dir_, port_);
    OstrelSim ostrel;
    ASSERT_TRUE(ostrel.Connect((uint16_t)port_, 0x1));
    ASSERT_EQ(ostrel.Attach({.tgtId = 0x21}), MOS_RC__SUCCESS);
    ASSERT_EQ(ostrel.Reconf(true), MOS_RC__SUCCESS);
    ASSERT_EQ(ostrel.AddPeers({{0x12, peerPort}}, true), MOS_RC__SUCCESS);
    ASSERT_EQ(ostrel.Reconf(false), MOS_RC__SUCCESS);
    ASSERT_TRUE(peer.Accept(30000)) << p->traces();
    std::vector<uint8_t> head, body;
    ASSERT_TRUE(peer.RecvFrame(head, body, 30000)) << p->traces();
    const uint32_t prop = at<uint32_t>(head, 0);
    EXPECT_EQ(prop & 0xFFFF00FFu, 0x42890041u);
    EXPECT_EQ(prop & 0xF00u, 0x400u);   // a connection frame
    EXPECT_EQ(prop & 0xF000u, 0x1000u); // owner type: a storage server
    EXPECT_EQ(at<uint64_t>(head, 4), 0x21u);
    EXPECT_EQ(at<uint32_t>(head, 16), net_GetMyNumericVersion());
}

} // namespace

namespace {

// The last connectivity vector's state of one peer: -1 when the vector does not list it.
int peerConnected(const OstrelSim &ostrel, uint64_t peerId)
{
    const std::vector<SimReport> vecs = ostrel.Reports(kConVector);
    if (vecs.empty())
        return -1;
    const std::vector<uint8_t> &v = vecs.back().payload;
    const uint32_t n = at<uint32_t>(v, 16);
    if (v.size() != 24 + 16 * (size_t)n)
        return -2;
    for (uint32_t i = 0; i < n; i++)
        if (at<uint64_t>(v, 24 + 16 * i) == peerId)
            return at<uint32_t>(v, 24 + 16 * i + 8) != 0 && at<uint32_t>(v, 24 + 16 * i + 12) == 0 ? 1 : 0;
    return -1;
}

bool waitPeerState(const OstrelSim &ostrel, uint64_t peerId, int state)
{
    const auto deadline = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < deadline) {
        if (peerConnected(ostrel, peerId) == state)
            return true;
        std::this_thread::sleep_for(200ms);
    }
    return false;
}

// Two pellars made peers by their Ostrels: the larger id connects, the channel is synchronised,
// both report the other connected, and a killed peer shows as disconnected.
TEST_F(PellarNet, TwoPellarsConnectAsPeersAndAKilledPeerShowsInTheVector)
{
    ScratchDir dirB;
    const int portB = freePort();
    auto a = Start(dir_, port_);
    auto b = Start(dirB, portB);
    OstrelSim oa(0x0A01), ob(0x0B01);
    ASSERT_TRUE(oa.Connect((uint16_t)port_, 0x1));
    ASSERT_TRUE(ob.Connect((uint16_t)portB, 0x2));
    ASSERT_EQ(oa.Attach({.tgtId = 0x21}), MOS_RC__SUCCESS);
    ASSERT_EQ(ob.Attach({.tgtId = 0x12}), MOS_RC__SUCCESS);
    // Before any reconfiguration cycle, outside one: refused.
    EXPECT_EQ(oa.AddPeers({{0x12, (uint16_t)portB}}, false), MOS_RC__WRONG_RECONF_MODE);
    for (auto [pOstrel, peer] : {std::pair{&oa, OstrelSim::Peer{0x12, (uint16_t)portB}},
                                 std::pair{&ob, OstrelSim::Peer{0x21, (uint16_t)port_}}}) {
        ASSERT_EQ(pOstrel->Reconf(true), MOS_RC__SUCCESS);
        EXPECT_EQ(pOstrel->AddPeers({peer}, true, 1, 5), MOS_RC__INTERFACE_ERROR); // a count beyond the payload
        EXPECT_EQ(pOstrel->AddPeers({peer}, true, 2), MOS_RC__TGT_WRONG_GEN_NUM);
        ASSERT_EQ(pOstrel->AddPeers({peer}, true), MOS_RC__SUCCESS);
        ASSERT_EQ(pOstrel->Reconf(false), MOS_RC__SUCCESS);
    }
    EXPECT_TRUE(waitPeerState(oa, 0x12, 1)) << a->traces();
    EXPECT_TRUE(waitPeerState(ob, 0x21, 1)) << b->traces();
    EXPECT_NE(a->traces().find("Client 21 tgt ID 12"), std::string::npos);
    EXPECT_NE(b->traces().find("Server 12 tgt ID 21"), std::string::npos);
    EXPECT_TRUE(umtTest_WaitFor([&] { return b->traces().find("Success!! 12 tgt ID 21") != std::string::npos; }))
        << b->traces();

    b->signal(SIGKILL);
    ASSERT_TRUE(b->exited(30s));
    EXPECT_TRUE(waitPeerState(oa, 0x12, 0)) << a->traces();
    EXPECT_FALSE(a->exited(0ms));
}

} // namespace
