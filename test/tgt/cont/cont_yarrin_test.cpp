// The installation-agent link against a fake agent on a loopback port: metadata rounds, the RAID
// controller list, the back-off after failed rounds, the LED command and the poller's life.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>
#include <vector>

#include "test/fakes/fake_yarrin.h"
#include "mos/mos_utils_mem.h"
#include "test/support/net_support.h"
#include "tgt/cont/cont_yarrin.h"
#include "tgt/tgt_conf.h"
#include "tgt/tgt_umt_class.h"

namespace {

::testing::Environment *const env_G = ::testing::AddGlobalTestEnvironment(new NetTestRuntimeEnv(tgt_UmtClassInit));

// The server's devices as the poller sees them, and the metadata it left in them.
struct Devices {
    struct Dev {
        UINT64 id;
        std::string path;
    };
    std::vector<Dev> devs, flcacheDevs;
    std::map<std::pair<bool, UINT64>, std::string> stored; // serial stored per (flash-cache, id)
    std::map<UINT64, std::string> mapPaths;               // the device map's paths of unknown devices
};
Devices *pDevs_G = nullptr;

const ContYarrinHooks kHooks = {
    [](Cont *, BOOL bFlcache) -> UINT32 { return (UINT32)(bFlcache ? pDevs_G->flcacheDevs : pDevs_G->devs).size(); },
    [](Cont *, BOOL bFlcache, UINT64 *pIds, CHAR_A (*pPaths)[CONT_YARRIN__PATH_LEN], UINT32 max) -> UINT32 {
        const auto &v = bFlcache ? pDevs_G->flcacheDevs : pDevs_G->devs;
        UINT32 n = 0;
        for (; n < v.size() && n < max; n++) {
            pIds[n] = v[n].id;
            snprintf(pPaths[n], CONT_YARRIN__PATH_LEN, "%s", v[n].path.c_str());
        }
        return n;
    },
    [](Cont *, BOOL bFlcache, UINT64 id, const MosMedia_Metadata *p) -> BOOL {
        pDevs_G->stored[{bFlcache == TRUE, id}] = p->constMetadata.serialNumber;
        return TRUE;
    },
    [](Cont *, UINT64 devId, CHAR_A (*pPath)[CONT_YARRIN__PATH_LEN]) -> BOOL {
        for (const auto &d : pDevs_G->devs)
            if (d.id == devId) {
                snprintf(*pPath, CONT_YARRIN__PATH_LEN, "%s", d.path.c_str());
                return TRUE;
            }
        auto it = pDevs_G->mapPaths.find(devId);
        if (it == pDevs_G->mapPaths.end())
            return FALSE;
        snprintf(*pPath, CONT_YARRIN__PATH_LEN, "%s", it->second.c_str());
        return TRUE;
    },
};

class ContYarrinTest : public ::testing::Test {
  protected:
    void SetUp() override
    {
        tgtConf_SetDefaults();
        tgtInitParam_G.devMetadataPollingFreq = MOS_TIMER_QUEUE_ID__1SEC;
        tgtInitParam_G.devMetadataPollingFreqFailure = MOS_TIMER_QUEUE_ID__5MIN;
        pDevs_G = &devs;
        NetCallback cb;
        net_InitEmptyNetCallback(&cb);
        client_ = netTest_Create(nullptr, &cb, 0x11, NET_OWNER_TYPE__TGT);
        NetRecvGrpCallback grpCB{
            [](void *, UINT32, NetSmallIov *pIov, UINT32 len, Context, SocketHeaderType, const UINT8 *) {
                netIov_AddBuffer(pIov, malloc(len), len, NET_IOV_BUF_TYPE__USER_FIRST);
            },
            [](void *, UINT32, NetSmallIov *pIov) {
                for (UINT32 i = 0; i < pIov->numOfUsedBuffers; i++)
                    free(NET_IOV__GET(pIov, i, nullptr));
                NET_IOV__RESET(pIov);
            },
            [](void *, NetRpcData *) { return MOS_RC__SUCCESS; },
            [](HNetCon, void *, NetRpcData *) {},
            nullptr,
            [](void *, NetRpcMsg *) {},
            [](void *, NetRpcMsg *) {},
            this};
        group_ = net_AllocRecvGroup(&client_->net, FakeYarrin::kGroup, &grpCB, MosUmtClassId{0, 0});
        net_Start(&client_->net, 0);
        contRaidCtrl_Init(&raid);
    }
    void TearDown() override
    {
        if (bLinkUp_)
            down();
        contRaidCtrl_Destroy(&raid);
        net_Destroy(&client_->net);
        net_FreeRecvGroup(&client_->net, group_);
        mosUmtSchedThrd_Destroy(&client_->sched);
        pDevs_G = nullptr;
    }
    // The link to the fake agent; with bPoller its poller runs on its own.
    void up(bool bPoller = false)
    {
        tgtInitParam_G.bDevMetadataPolling = bPoller ? TRUE : FALSE;
        contYarrin_Init(&link, nullptr, &client_->net, &kHooks, &raid, "127.0.0.1", agent.port(), nullptr);
        bLinkUp_ = true;
    }
    void down()
    {
        umtTest_RunAsUmt([&] { contYarrin_Destroy(&link); });
        bLinkUp_ = false;
    }
    MosTimerQ_ID pollOnce()
    {
        MosTimerQ_ID q = MOS_TIMER_QUEUE_ID__LAST;
        umtTest_RunAsUmt([&] { q = contYarrin_PollOnce(&link); });
        return q;
    }
    // The first round connects; rounds then collect.
    void connect()
    {
        pollOnce();
        ASSERT_TRUE(umtTest_WaitFor([&] { return net_IsConnected(&client_->net, link.hCon) == TRUE; }));
    }
    std::vector<std::string> raidSerials()
    {
        UINT16 n = 0;
        MosMedia_RaidController *p = nullptr;
        EXPECT_EQ(contRaidCtrl_GetMetadata(&raid, &n, &p), MOS_RC__SUCCESS);
        std::vector<std::string> out;
        for (UINT16 i = 0; i < n; i++)
            out.push_back(p[i].serialNumber);
        mos_MemFree(p);
        return out;
    }

    FakeYarrin agent;
    Devices devs;
    ContRaidCtrl raid{};
    ContYarrin link{};
    std::unique_ptr<NetForTest> client_;
    NetRecvGroup *group_ = nullptr;
    bool bLinkUp_ = false;
};

// A round stores every device's metadata and keeps the first four distinct RAID controllers, each
// once however many disks sit behind it; a controller without serial number is not kept.
TEST_F(ContYarrinTest, ARoundKeepsFourControllersUniqueBySerial)
{
    struct Disk {
        const char *path, *serial, *raid;
    };
    const Disk disks[] = {{"/dev/sda", "S-A", "R1"}, {"/dev/sdb", "S-B", "R1"}, {"/dev/sdc", "S-C", ""},
                          {"/dev/sdd", "S-D", "R2"}, {"/dev/sde", "S-E", "R3"}, {"/dev/sdf", "S-F", "R4"},
                          {"/dev/sdg", "S-G", "R5"}, {"/dev/sdh", "S-H", "R2"}};
    UINT64 id = 0x100;
    for (const Disk &d : disks) {
        devs.devs.push_back({id++, d.path});
        agent.script(d.path, {MOS_RC__SUCCESS, d.serial, d.raid});
    }
    devs.flcacheDevs.push_back({0x900, "/dev/nvme0n1"});
    agent.script("/dev/nvme0n1", {MOS_RC__SUCCESS, "S-FLASH", "R6"});
    up();
    connect();
    EXPECT_TRUE(agent.mediaRequests().empty()) << "the connecting round asks nothing";
    EXPECT_EQ(pollOnce(), MOS_TIMER_QUEUE_ID__1SEC);
    EXPECT_EQ(agent.mediaRequests().size(), 9u);
    EXPECT_EQ(raidSerials(), (std::vector<std::string>{"R1", "R2", "R3", "R4"}));
    ASSERT_EQ(devs.stored.size(), 9u);
    EXPECT_EQ(devs.stored[std::make_pair(false, (UINT64)0x100)], "S-A");
    EXPECT_EQ(devs.stored[std::make_pair(false, (UINT64)0x107)], "S-H");
    EXPECT_EQ(devs.stored[std::make_pair(true, (UINT64)0x900)], "S-FLASH");

    // The next round starts the list afresh.
    devs.devs.resize(1);
    devs.flcacheDevs.clear();
    pollOnce();
    EXPECT_EQ(raidSerials(), std::vector<std::string>{"R1"});
}

// More than four failed rounds in a row put the poller on the slower queue until a round succeeds;
// a kind with no device does not count as a success.
TEST_F(ContYarrinTest, FailedRoundsBackOffUntilOneSucceeds)
{
    devs.devs.push_back({0x100, "/dev/sda"});
    agent.script("/dev/sda", {MOS_RC__ERROR, "S-A", "R1"});
    up();
    connect();
    for (int round = 1; round <= 4; round++)
        EXPECT_EQ(pollOnce(), MOS_TIMER_QUEUE_ID__1SEC) << "round " << round;
    EXPECT_EQ(pollOnce(), MOS_TIMER_QUEUE_ID__5MIN) << "the fifth failure backs off";
    EXPECT_EQ(pollOnce(), MOS_TIMER_QUEUE_ID__5MIN);
    EXPECT_EQ(link.failCount, CONT_YARRIN__MAX_FAIL_COUNT);
    EXPECT_TRUE(devs.stored.empty());
    agent.scriptAll(MOS_RC__SUCCESS);
    EXPECT_EQ(pollOnce(), MOS_TIMER_QUEUE_ID__1SEC);
    EXPECT_EQ(link.failCount, 0u);
}

// The LED command reaches the agent with the device's path; a device the server does not know is
// answered 126 without asking the agent.
TEST_F(ContYarrinTest, LedCommandFindsThePathOrAnswers126)
{
    devs.devs.push_back({0x100, "/dev/sda"});
    devs.mapPaths[0x200] = "/dev/sdz"; // a device of the map without an object
    up();
    connect();
    auto led = [&](UINT64 devId, UINT32 on) {
        OstrelTgtReq_UpdateLedStatus rec{};
        rec.devId = devId;
        rec.isLedOn = on;
        Mos_RC rc = MOS_RC__ILLEGAL;
        umtTest_RunAsUmt([&] { rc = contCmd_UpdateLedStatus(&link, &rec); });
        return rc;
    };
    EXPECT_EQ(led(0x999, 1), MOS_RC__TGT_DEVICE_NOT_FOUND);
    EXPECT_TRUE(agent.ledRequests().empty());
    EXPECT_EQ(led(0x100, 1), MOS_RC__SUCCESS);
    agent.setLedAnswer(MOS_RC__NOT_FOUND);
    EXPECT_EQ(led(0x200, 0), MOS_RC__NOT_FOUND) << "the agent's code is the answer";
    auto reqs = agent.ledRequests();
    ASSERT_EQ(reqs.size(), 2u);
    EXPECT_STREQ(reqs[0].path, "/dev/sda");
    EXPECT_EQ(reqs[0].bLedOn, TRUE);
    EXPECT_EQ(reqs[0].subDevNum, 0u);
    EXPECT_STREQ(reqs[1].path, "/dev/sdz");
    EXPECT_EQ(reqs[1].bLedOn, FALSE);
}

// The poller connects and collects on its own and ends when the link goes; with polling off
// nothing connects and nothing is asked.
TEST_F(ContYarrinTest, PollerRunsOnlyWhenPollingIsOn)
{
    devs.devs.push_back({0x100, "/dev/sda"});
    agent.script("/dev/sda", {MOS_RC__SUCCESS, "S-A", "R1"});
    up(false);
    EXPECT_EQ(link.hCon, NET_CON__INVALID_HCON);
    down();
    EXPECT_TRUE(agent.mediaRequests().empty());

    up(true);
    EXPECT_TRUE(umtTest_WaitFor([&] { return !agent.mediaRequests().empty(); }));
    down();
    EXPECT_EQ(devs.stored[std::make_pair(false, (UINT64)0x100)], "S-A");
}

} // namespace
